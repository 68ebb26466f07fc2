// The video frame path against the encoder alone.
//
// FramePath runs each captured buffer through HostVideoCapture's frame path
// (key-frame and congestion checks, viewport, recording tap, crop and scale,
// encode) and builds the type 20 frame packet into one reused buffer, as the
// server does once per frame. EncoderAlone hands the same buffers to a
// platform::VideoEncoder with the same settings and does nothing else. Both
// encode the same sequence of moving pictures the same number of times; the
// difference is what the path costs on top of libavcodec.
//
// Arguments: codec (0 H.264, 1 HEVC), width, height. Wall time, because the
// encoders work on their own threads.

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "BenchPictures.h"
#include "HostApp/Protocol/AuxPacket.h"
#include "HostApp/Capture/HostVideoCapture.h"
#include "Platform/Media/PixelBuffer.h"
#include "Platform/Media/VideoEncoder.h"

using namespace platform;

namespace {

constexpr int kPictures = 8;
constexpr uint64_t kFrameNs = 16'666'667;
constexpr int kIterations = 240;

VideoStreamProfile profileFor(const benchmark::State& state) {
    VideoStreamProfile p;
    p.codec = state.range(0) == 0 ? VideoStreamCodec::h264 : VideoStreamCodec::hevc;
    p.chromaMode = VideoChromaMode::yuv420;
    p.width = int(state.range(1));
    p.height = int(state.range(2));
    p.fps = 60;
    p.bitrate = p.width * p.height >= 2560 * 1600 ? 24'000'000 : 14'000'000;
    return p;
}

VideoEncoderSettings settingsFor(const VideoStreamProfile& p) {
    VideoEncoderSettings s;
    s.codec = p.codec == VideoStreamCodec::h264 ? VideoCodec::h264 : VideoCodec::hevc;
    s.chroma = ChromaSubsampling::yuv420;
    s.width = p.width;
    s.height = p.height;
    s.fps = p.fps;
    s.bitrate = p.bitrate;
    s.keyframeIntervalSeconds = p.keyframeIntervalSeconds;
    s.burstBitrateRatio = p.burstBitrateRatio;
    s.burstWindowSeconds = p.burstWindowSeconds;
    return s;
}

void EncoderAlone(benchmark::State& state) {
    const auto profile = profileFor(state);
    const auto frames = desktopPictures(profile.width, profile.height, kPictures);
    auto created = VideoEncoder::create(settingsFor(profile));
    if (!created) {
        state.SkipWithError(created.error().c_str());
        return;
    }
    auto encoder = std::move(*created);
    uint64_t ts = 0;
    size_t bytes = 0;
    auto encode = [&](const PixelBuffer& b) {
        auto result = encoder->encode({b.data(), b.width(), b.height(), b.bytesPerRow()}, ts += kFrameNs, false);
        if (result && *result) bytes += (*result)->data.size();
    };
    encode(*frames[0]);  // the opening IDR, outside the measurement as on the other side
    int i = 1;
    for (auto _ : state) encode(*frames[i++ % kPictures]);
    state.counters["bytes/frame"] = double(bytes) / double(state.iterations() + 1);
}

void FramePath(benchmark::State& state) {
    const auto profile = profileFor(state);
    const auto frames = desktopPictures(profile.width, profile.height, kPictures);
    auto capture = HostVideoCapture::create(1, profile, profile, true, false);
    std::vector<uint8_t> packet;
    size_t bytes = 0, submitted = 0, recorded = 0;
    std::string failure;
    capture->checkNetworkCongestion = [] { return false; };
    capture->onSample = [&](bool s) { submitted += s ? 1 : 0; };
    capture->onRecordingFrame = [&](const std::shared_ptr<PixelBuffer>&, uint64_t) { recorded++; };
    capture->onError = [&](const std::string& m) {
        if (!m.starts_with("capture frame geometry:") && !m.starts_with("encoder active:")) failure = m;
    };
    capture->onFrame = [&](std::span<const uint8_t> frame, bool key, uint64_t ts) {
        packet.clear();
        makeAuxPacket(packet, AuxPacketType::videoFrame, key ? 1 : 0, frame, ts);
        bytes += frame.size();
    };
    uint64_t ts = 0;
    SCCapturedFrame frame;
    frame.status = SCFrameStatus::complete;
    auto feed = [&](const std::shared_ptr<PixelBuffer>& b) {
        frame.buffer = b;
        frame.timestampNs = ts += kFrameNs;
        capture->processFrameForTesting(frame);
    };
    feed(frames[0]);  // builds the encoder and sends the opening IDR
    if (!failure.empty()) {
        state.SkipWithError(failure.c_str());
        return;
    }
    int i = 1;
    for (auto _ : state) feed(frames[i++ % kPictures]);
    benchmark::DoNotOptimize(packet.data());
    state.counters["bytes/frame"] = double(bytes) / double(state.iterations() + 1);
    if (submitted != size_t(state.iterations()) + 1 || recorded != submitted) state.SkipWithError("frames went missing");
}

void configure(benchmark::internal::Benchmark* b) {
    b->ArgNames({"hevc", "w", "h"})->Iterations(kIterations)->Repetitions(3)->ReportAggregatesOnly(true);
    b->UseRealTime()->Unit(benchmark::kMillisecond);
}

}  // namespace

// Each pair side by side, so both halves of a comparison see the same machine.
BENCHMARK(EncoderAlone)->Args({0, 1920, 1080})->Apply(configure);
BENCHMARK(FramePath)->Args({0, 1920, 1080})->Apply(configure);
BENCHMARK(EncoderAlone)->Args({0, 2560, 1600})->Apply(configure);
BENCHMARK(FramePath)->Args({0, 2560, 1600})->Apply(configure);
BENCHMARK(EncoderAlone)->Args({1, 1920, 1080})->Apply(configure);
BENCHMARK(FramePath)->Args({1, 1920, 1080})->Apply(configure);
BENCHMARK(EncoderAlone)->Args({1, 2560, 1600})->Apply(configure);
BENCHMARK(FramePath)->Args({1, 2560, 1600})->Apply(configure);
