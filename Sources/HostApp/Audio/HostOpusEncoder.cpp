#include "HostApp/Audio/HostOpusEncoder.h"

#include <cstring>

#include <opus/opus.h>

#include "Platform/Runtime/Log.h"

HostOpusEncoder::HostOpusEncoder() {
    int error = OPUS_OK;
    OpusEncoder* encoder = opus_encoder_create(sampleRate, channels, application, &error);
    if (!encoder || error != OPUS_OK) {
        if (encoder) opus_encoder_destroy(encoder);
        platform::Log::raw("[opus-encoder] failed to create: error " + std::to_string(error));
        return;
    }
    // Every setting is applied before any result is looked at.
    const int results[] = {
        opus_encoder_ctl(encoder, OPUS_SET_BITRATE(bitrate)),
        opus_encoder_ctl(encoder, OPUS_SET_COMPLEXITY(complexity)),
        opus_encoder_ctl(encoder, OPUS_SET_VBR(1)),
        opus_encoder_ctl(encoder, OPUS_SET_VBR_CONSTRAINT(1)),
        opus_encoder_ctl(encoder, OPUS_SET_MAX_BANDWIDTH(OPUS_BANDWIDTH_FULLBAND)),
        opus_encoder_ctl(encoder, OPUS_SET_SIGNAL(OPUS_SIGNAL_MUSIC)),
    };
    for (int result : results) {
        if (result != OPUS_OK) {
            opus_encoder_destroy(encoder);
            platform::Log::raw("[opus-encoder] failed to configure high-quality audio");
            return;
        }
    }
    encoder_ = encoder;
    isActive_ = true;
}

HostOpusEncoder::~HostOpusEncoder() {
    if (encoder_) opus_encoder_destroy(encoder_);
}

std::vector<HostOpusEncoder::Packet> HostOpusEncoder::encodeFrames(std::span<const uint8_t> pcm,
                                                                   uint64_t timestampNs) {
    std::vector<Packet> packets;
    if (!isActive_ || pcm.empty()) return packets;
    std::lock_guard<std::mutex> guard(lock_);
    if (!encoder_) return packets;
    if (pendingPCM_.empty()) nextTimestampNs_ = timestampNs;
    pendingPCM_.insert(pendingPCM_.end(), pcm.begin(), pcm.end());

    size_t consumed = 0;
    uint8_t buffer[maxPacketBytes];
    float frame[frameSamples * channels];
    while (pendingPCM_.size() - consumed >= frameBytes) {
        // Copied out so that the codec reads aligned floats.
        std::memcpy(frame, pendingPCM_.data() + consumed, frameBytes);
        consumed += frameBytes;
        const uint64_t t = nextTimestampNs_.value_or(timestampNs);
        nextTimestampNs_ = t + frameDurationNs;
        const opus_int32 n = opus_encode_float(encoder_, frame, frameSamples, buffer, maxPacketBytes);
        if (n <= 0) {
            // The frame's 20 ms are used up all the same, so the chain stays
            // true to the input.
            platform::Log::raw("[opus-encoder] encode error: " + std::to_string(n));
            continue;
        }
        packets.push_back({std::vector<uint8_t>(buffer, buffer + n), t});
    }
    pendingPCM_.erase(pendingPCM_.begin(), pendingPCM_.begin() + static_cast<std::ptrdiff_t>(consumed));
    return packets;
}

void HostOpusEncoder::reset() {
    std::lock_guard<std::mutex> guard(lock_);
    pendingPCM_.clear();
    nextTimestampNs_.reset();
    if (isActive_) opus_encoder_ctl(encoder_, OPUS_RESET_STATE);
}

void HostOpusEncoder::discardPending() {
    std::lock_guard<std::mutex> guard(lock_);
    pendingPCM_.clear();
    nextTimestampNs_.reset();
}
