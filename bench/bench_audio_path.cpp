// The audio path against libopus alone.
//
// AudioPath takes each captured block (1,024 frames of 48 kHz float stereo,
// one buffer per channel, as the capture stream delivers it) through the
// conversion to interleaved stereo, the Host's Opus encoder (20 ms packets
// with their time chain) and the type 6 packet build, as the capture queue
// does for every block. OpusAlone hands the same samples, already
// interleaved, to opus_encode_float with the same settings, 960 frames at a
// time, and does nothing else. One iteration is 15 blocks, which is exactly
// 16 packets for both.

#include <benchmark/benchmark.h>

#include <opus/opus.h>

#include <cstring>
#include <memory>
#include <vector>

#include "HostApp/Audio/HostAudioCapture.h"
#include "HostApp/Audio/HostOpusEncoder.h"
#include "HostApp/Protocol/AuxPacket.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"
#include "Platform/SimulatedMac/SimulatedSystemAudio.h"

using namespace platform;

namespace {

constexpr int kBlocks = 15;
constexpr uint32_t kBlockFrames = 1024;
constexpr int kPackets = kBlocks * kBlockFrames / 960;

std::vector<CMSampleBuffer> capturedBlocks() {
    auto& audio = SimulatedMachine::current().component<SimulatedSystemAudio>();
    std::vector<CMSampleBuffer> blocks;
    for (int i = 0; i < kBlocks; ++i) blocks.push_back(audio.makeBlock(48000000 + int64_t(i) * kBlockFrames, kBlockFrames));
    return blocks;
}

void AudioPath(benchmark::State& state) {
    const auto blocks = capturedBlocks();
    auto capture = HostAudioCapture::create(1, true, DispatchQueue("bench.audio.capture"),
                                            DispatchQueue("bench.audio.lifecycle"), {});
    HostOpusEncoder encoder;
    uint64_t timestampNs = 1000000000000;
    size_t bytes = 0;
    for (auto _ : state) {
        for (const auto& block : blocks) {
            auto pcm = capture->interleavedFloat32Stereo(block);
            for (const auto& packet : encoder.encodeFrames(*pcm, timestampNs)) {
                auto message = makeAuxPacket(AuxPacketType::audioFrame, 1, packet.payload, packet.timestampNs);
                bytes += message.size();
                benchmark::DoNotOptimize(message.data());
            }
            timestampNs += 21333333;
        }
    }
    state.counters["packets/s"] = benchmark::Counter(double(state.iterations()) * kPackets, benchmark::Counter::kIsRate);
    benchmark::DoNotOptimize(bytes);
}

void OpusAlone(benchmark::State& state) {
    const auto blocks = capturedBlocks();
    // The same samples, interleaved once up front.
    std::vector<float> pcm;
    for (const auto& block : blocks) {
        const auto& channels = block.dataBuffer->blocks;
        for (uint32_t i = 0; i < kBlockFrames; ++i) {
            for (int c = 0; c < 2; ++c) {
                float v;
                std::memcpy(&v, channels[c].bytes.data() + i * 4, 4);
                pcm.push_back(v);
            }
        }
    }
    int error = 0;
    OpusEncoder* encoder = opus_encoder_create(48000, 2, OPUS_APPLICATION_AUDIO, &error);
    opus_encoder_ctl(encoder, OPUS_SET_BITRATE(512000));
    opus_encoder_ctl(encoder, OPUS_SET_COMPLEXITY(10));
    opus_encoder_ctl(encoder, OPUS_SET_VBR(1));
    opus_encoder_ctl(encoder, OPUS_SET_VBR_CONSTRAINT(1));
    opus_encoder_ctl(encoder, OPUS_SET_MAX_BANDWIDTH(OPUS_BANDWIDTH_FULLBAND));
    opus_encoder_ctl(encoder, OPUS_SET_SIGNAL(OPUS_SIGNAL_MUSIC));
    unsigned char packet[4000];
    size_t bytes = 0;
    for (auto _ : state) {
        for (int k = 0; k < kPackets; ++k) bytes += opus_encode_float(encoder, pcm.data() + k * 960 * 2, 960, packet, 4000);
        benchmark::DoNotOptimize(packet);
    }
    opus_encoder_destroy(encoder);
    state.counters["packets/s"] = benchmark::Counter(double(state.iterations()) * kPackets, benchmark::Counter::kIsRate);
    benchmark::DoNotOptimize(bytes);
}

}  // namespace

BENCHMARK(AudioPath)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(OpusAlone)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);
