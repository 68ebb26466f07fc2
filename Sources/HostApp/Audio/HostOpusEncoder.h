#pragma once
// HostOpusEncoder is responsible for turning the captured system audio
// (interleaved float32 stereo at 48 kHz) into Opus packets of 20 ms, each
// stamped with the presentation time of its first sample. Blocks of any
// size go in; samples short of a packet wait for the next block, and the
// packets of one unbroken run are exactly 20 ms apart.
//
// Threads: every method may be called from any thread; one lock guards the
// codec, the pending samples and the time chain.
//
// Lifetime: the server keeps one for its whole life. An encoder that libopus
// would not create or configure stays inactive: it never yields a packet.

#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

struct OpusEncoder;

class HostOpusEncoder {
public:
    static constexpr int sampleRate = 48000;
    static constexpr int channels = 2;
    static constexpr int frameSamples = 960;  // per channel: 20 ms
    static constexpr size_t frameBytes = frameSamples * channels * sizeof(float);
    static constexpr int maxPacketBytes = 4000;
    static constexpr uint64_t frameDurationNs = 20000000;
    // The settings: music at a high, constrained variable bit rate over the
    // full band.
    static constexpr int application = 2049;  // OPUS_APPLICATION_AUDIO
    static constexpr int bitrate = 512000;
    static constexpr int complexity = 10;

    struct Packet {
        std::vector<uint8_t> payload;
        uint64_t timestampNs = 0;
    };

    HostOpusEncoder();
    ~HostOpusEncoder();
    HostOpusEncoder(const HostOpusEncoder&) = delete;
    HostOpusEncoder& operator=(const HostOpusEncoder&) = delete;

    bool isActive() const { return isActive_; }

    // The packets this block completes, in order. A block that finds no
    // samples waiting starts a new time chain at its own time.
    std::vector<Packet> encodeFrames(std::span<const uint8_t> pcm, uint64_t timestampNs);
    // Forgets the waiting samples and the time chain and resets the codec,
    // as for a new stream.
    void reset();
    // Forgets the waiting samples and the time chain but keeps the codec
    // state: for a gap in the input, after which the next block's time holds.
    void discardPending();

private:
    mutable std::mutex lock_;
    OpusEncoder* encoder_ = nullptr;        // null when creation or configuration failed
    std::vector<uint8_t> pendingPCM_;       // fewer than frameBytes after each call
    std::optional<uint64_t> nextTimestampNs_;  // the next packet's time; none starts a chain
    bool isActive_ = false;
};
