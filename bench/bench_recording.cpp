// A kept frame through the Host recorder against the libraries alone.
//
// Recorder hands each captured buffer to HostMovieRecorder::appendVideo, 34
// ms after the last so the gate keeps every one, and waits until the
// recorder's queue has cropped, converted and scaled, encoded and muxed it.
// LibrariesAlone converts and scales the same pictures with libswscale
// (same filter and threads) and encodes them with libavcodec at the same size and
// settings (libx265 ultrafast, no B-frames, 30 fps nominal, a key frame
// every 60, the recorder's bit rate), and does nothing else. The
// difference is what the recorder costs on top of the libraries.
//
// Arguments: the captured width and height, recorded whole (at 1920 x 1080
// that is the movie's own size, which the recorder converts without its
// scaler while LibrariesAlone still runs libswscale). Wall time,
// because the encoder and the recorder's queue work on their own threads;
// the CPU column is the whole process's, every thread included, which a
// busy machine distorts less.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

#include "BenchPictures.h"
#include "HostApp/Audio/HostMovieRecorder.h"
#include "Platform/Runtime/Dispatch.h"
#include "Platform/Media/PixelBuffer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

using namespace platform;

namespace {

constexpr int kPictures = 8;
constexpr uint64_t kFrameNs = 34'000'000;
constexpr int kIterations = 150;

HostMovieRecorder::Geometry geometryFor(const benchmark::State& state) {
    return HostMovieRecorder::geometry({0, 0, 1, 1}, int(state.range(0)), int(state.range(1)));
}

void Recorder(benchmark::State& state) {
    const auto frames = desktopPictures(int(state.range(0)), int(state.range(1)), kPictures);
    const auto file = std::filesystem::temp_directory_path() /
                      ("bench_recording_" + std::to_string(state.range(0)) + ".mp4");
    std::filesystem::remove(file);
    auto created = HostMovieRecorder::create(file, {0, 0, 1, 1}, int(state.range(0)), int(state.range(1)), 1);
    if (!created) {
        state.SkipWithError(created.error().c_str());
        return;
    }
    auto recorder = *created;
    uint64_t ts = 1;
    int i = 0;
    auto record = [&] {
        recorder->appendVideo(frames[i++ % kPictures], ts += kFrameNs);
        recorder->waitUntilIdleForTesting();
    };
    record();  // the opening key frame, outside the measurement as on the other side
    for (auto _ : state) record();
    // The completion comes on the writer's own thread.
    bool completed = false;
    DispatchSemaphore finished;
    recorder->finish([&](bool c) {
        completed = c;
        finished.signal();
    });
    finished.wait(30);
    std::filesystem::remove(file);
    if (!completed) state.SkipWithError("the movie was not completed");
}

void LibrariesAlone(benchmark::State& state) {
    const auto frames = desktopPictures(int(state.range(0)), int(state.range(1)), kPictures);
    const auto g = geometryFor(state);
    const int width = int(g.outputSize.width), height = int(g.outputSize.height);
    const AVCodec* codec = avcodec_find_encoder_by_name("libx265");
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    ctx->width = width;
    ctx->height = height;
    ctx->pix_fmt = AV_PIX_FMT_YUV420P;
    ctx->time_base = AVRational{1, 90000};
    ctx->framerate = AVRational{30, 1};
    ctx->gop_size = 60;
    ctx->max_b_frames = 0;
    ctx->bit_rate = HostMovieRecorder::averageBitRate(VideoCodec::hevc, g.outputSize);
    ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    av_opt_set(ctx->priv_data, "preset", "ultrafast", 0);
    av_opt_set(ctx->priv_data, "x265-params", "bframes=0:log-level=error", 0);
    if (avcodec_open2(ctx, codec, nullptr) < 0) {
        state.SkipWithError("libx265 did not open");
        avcodec_free_context(&ctx);
        return;
    }
    AVFrame* frame = av_frame_alloc();
    frame->format = ctx->pix_fmt;
    frame->width = width;
    frame->height = height;
    av_frame_get_buffer(frame, 0);
    AVPacket* packet = av_packet_alloc();
    // The recorder's scaler: bicubic, BT.709, in bands on four threads.
    SwsContext* scaler = sws_alloc_context();
    const std::pair<const char*, int64_t> options[] = {
        {"srcw", frames[0]->width()}, {"srch", frames[0]->height()}, {"dstw", width}, {"dsth", height},
        {"src_format", AV_PIX_FMT_BGRA}, {"dst_format", AV_PIX_FMT_YUV420P}, {"sws_flags", SWS_BICUBIC},
        {"threads", std::clamp(std::thread::hardware_concurrency(), 1u, 4u)}};
    for (const auto& [name, value] : options) av_opt_set_int(scaler, name, value, 0);
    if (sws_init_context(scaler, nullptr, nullptr) < 0) state.SkipWithError("no scaler");
    sws_setColorspaceDetails(scaler, sws_getCoefficients(SWS_CS_DEFAULT), 1, sws_getCoefficients(SWS_CS_ITU709), 0,
                             0, 1 << 16, 1 << 16);
    AVFrame* source = av_frame_alloc();
    int64_t pts = 0;
    size_t bytes = 0;
    int i = 0;
    auto encode = [&] {
        PixelBuffer& b = *frames[i++ % kPictures];
        source->format = AV_PIX_FMT_BGRA;
        source->width = b.width();
        source->height = b.height();
        source->data[0] = b.data();
        source->linesize[0] = b.bytesPerRow();
        source->buf[0] = av_buffer_create(b.data(), size_t(b.height()) * size_t(b.bytesPerRow()),
                                          [](void*, uint8_t*) {}, nullptr, AV_BUFFER_FLAG_READONLY);
        av_frame_make_writable(frame);
        sws_scale_frame(scaler, frame, source);
        av_frame_unref(source);
        frame->pts = pts += 3060;
        avcodec_send_frame(ctx, frame);
        while (avcodec_receive_packet(ctx, packet) >= 0) {
            bytes += size_t(packet->size);
            av_packet_unref(packet);
        }
    };
    encode();
    for (auto _ : state) encode();
    state.counters["bytes/frame"] = double(bytes) / double(state.iterations() + 1);
    sws_freeContext(scaler);
    av_frame_free(&source);
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&ctx);
}

void configure(benchmark::internal::Benchmark* b) {
    b->ArgNames({"w", "h"})->Iterations(kIterations)->Repetitions(3)->ReportAggregatesOnly(true);
    b->UseRealTime()->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);
}

}  // namespace

// Each pair side by side, so both halves of a comparison see the same machine.
BENCHMARK(LibrariesAlone)->Args({1920, 1080})->Apply(configure);
BENCHMARK(Recorder)->Args({1920, 1080})->Apply(configure);
BENCHMARK(LibrariesAlone)->Args({3024, 1964})->Apply(configure);
BENCHMARK(Recorder)->Args({3024, 1964})->Apply(configure);
BENCHMARK(LibrariesAlone)->Args({3840, 2160})->Apply(configure);
BENCHMARK(Recorder)->Args({3840, 2160})->Apply(configure);
