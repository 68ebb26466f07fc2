// BGRA to BT.709 limited-range planar 4:2:0 at the same size: our converter
// against libswscale set up as the video encoder set it up before (bilinear,
// full-range RGB in, BT.709 limited out), on the same desktop picture.
//
// Ours/Library: one thread converts the whole picture.
// OursBanded/LibraryBanded: the picture split into the encoder's bands
// (one per core up to 8, at least 128 rows each), the calling thread and
// band-1 helpers converting one band each, a band per swscale context as
// the encoder had them.
//
// Arguments: width, height. items_per_second is pictures a second (wall
// time for the banded runs, since the helpers do the work).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <barrier>
#include <functional>
#include <thread>
#include <vector>

#include "BenchPictures.h"
#include "Platform/Media/PixelConversion.h"

extern "C" {
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

using namespace platform;

namespace {

struct Output {
    AVFrame* frame = av_frame_alloc();
    Output(int width, int height) {
        frame->format = AV_PIX_FMT_YUV420P;
        frame->width = width;
        frame->height = height;
        av_frame_get_buffer(frame, 0);
    }
    ~Output() { av_frame_free(&frame); }
};

SwsContext* libraryConverter(int width, int rows) {
    SwsContext* scaler =
        sws_getContext(width, rows, AV_PIX_FMT_BGRA, width, rows, AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr,
                       nullptr);
    if (scaler) {
        sws_setColorspaceDetails(scaler, sws_getCoefficients(SWS_CS_DEFAULT), 1, sws_getCoefficients(SWS_CS_ITU709),
                                 0, 0, 1 << 16, 1 << 16);
    }
    return scaler;
}

// The band of rows [first, first + rows) of the picture into the frame.
struct Band {
    int first, rows;
};

void convertOurs(const PixelBuffer& picture, AVFrame* f, Band band) {
    const size_t chroma = size_t(band.first / 2);
    convertBGRAToI420(picture.data() + size_t(band.first) * picture.bytesPerRow(), int(picture.bytesPerRow()),
                      picture.width(), band.rows, f->data[0] + size_t(band.first) * f->linesize[0], f->linesize[0],
                      f->data[1] + chroma * f->linesize[1], f->linesize[1], f->data[2] + chroma * f->linesize[2],
                      f->linesize[2]);
}

void convertLibrary(SwsContext* scaler, const PixelBuffer& picture, AVFrame* f, Band band) {
    const uint8_t* source[4] = {picture.data() + size_t(band.first) * picture.bytesPerRow(), nullptr, nullptr,
                                nullptr};
    const int sourceStrides[4] = {int(picture.bytesPerRow()), 0, 0, 0};
    const size_t chroma = size_t(band.first / 2);
    uint8_t* planes[4] = {f->data[0] + size_t(band.first) * f->linesize[0], f->data[1] + chroma * f->linesize[1],
                          f->data[2] + chroma * f->linesize[2], nullptr};
    sws_scale(scaler, source, sourceStrides, 0, band.rows, planes, f->linesize);
}

// The encoder's split: even heights, the last band taking the rest.
std::vector<Band> encoderBands(int height) {
    const int cores = int(std::max(1u, std::thread::hardware_concurrency()));
    const int count = std::clamp(height / 128, 1, std::min(cores, 8));
    const int rowsPerBand = std::max(2, (height / count) & ~1);
    std::vector<Band> bands;
    for (int i = 0; i < count; ++i) {
        const int first = i * rowsPerBand;
        bands.push_back({first, i + 1 == count ? height - first : rowsPerBand});
    }
    return bands;
}

// Helpers that each convert their band of every picture with the caller.
class BandRunner {
public:
    BandRunner(int bands, std::function<void(int)> work)
        : work_(std::move(work)), start_(bands), done_(bands) {
        for (int band = 1; band < bands; ++band) {
            helpers_.emplace_back([this, band] {
                for (;;) {
                    start_.arrive_and_wait();
                    if (stopping_) return;
                    work_(band);
                    done_.arrive_and_wait();
                }
            });
        }
    }
    ~BandRunner() {
        stopping_ = true;
        start_.arrive_and_wait();
        for (auto& helper : helpers_) helper.join();
    }
    void run() {
        start_.arrive_and_wait();
        work_(0);
        done_.arrive_and_wait();
    }

private:
    std::function<void(int)> work_;
    std::barrier<> start_, done_;
    bool stopping_ = false;  // written before the start barrier that releases the helpers
    std::vector<std::thread> helpers_;
};

void Ours(benchmark::State& state) {
    const int width = int(state.range(0)), height = int(state.range(1));
    const auto picture = desktopPictures(width, height, 1).front();
    Output out(width, height);
    for (auto _ : state) {
        convertOurs(*picture, out.frame, {0, height});
        benchmark::DoNotOptimize(out.frame->data[0][0]);
    }
    state.SetItemsProcessed(state.iterations());
}

void Library(benchmark::State& state) {
    const int width = int(state.range(0)), height = int(state.range(1));
    const auto picture = desktopPictures(width, height, 1).front();
    Output out(width, height);
    SwsContext* scaler = libraryConverter(width, height);
    for (auto _ : state) {
        convertLibrary(scaler, *picture, out.frame, {0, height});
        benchmark::DoNotOptimize(out.frame->data[0][0]);
    }
    sws_freeContext(scaler);
    state.SetItemsProcessed(state.iterations());
}

void OursBanded(benchmark::State& state) {
    const int width = int(state.range(0)), height = int(state.range(1));
    const auto picture = desktopPictures(width, height, 1).front();
    Output out(width, height);
    const auto bands = encoderBands(height);
    BandRunner runner(int(bands.size()), [&](int band) { convertOurs(*picture, out.frame, bands[size_t(band)]); });
    for (auto _ : state) {
        runner.run();
        benchmark::DoNotOptimize(out.frame->data[0][0]);
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["bands"] = double(bands.size());
}

void LibraryBanded(benchmark::State& state) {
    const int width = int(state.range(0)), height = int(state.range(1));
    const auto picture = desktopPictures(width, height, 1).front();
    Output out(width, height);
    const auto bands = encoderBands(height);
    std::vector<SwsContext*> scalers;
    for (const auto& band : bands) scalers.push_back(libraryConverter(width, band.rows));
    BandRunner runner(int(bands.size()), [&](int band) {
        convertLibrary(scalers[size_t(band)], *picture, out.frame, bands[size_t(band)]);
    });
    for (auto _ : state) {
        runner.run();
        benchmark::DoNotOptimize(out.frame->data[0][0]);
    }
    for (auto* scaler : scalers) sws_freeContext(scaler);
    state.SetItemsProcessed(state.iterations());
    state.counters["bands"] = double(bands.size());
}

void sizes(benchmark::internal::Benchmark* b) {
    b->Args({3024, 1964})->Args({1920, 1080})->Unit(benchmark::kMillisecond);
}

}  // namespace

BENCHMARK(Ours)->Apply(sizes);
BENCHMARK(Library)->Apply(sizes);
BENCHMARK(OursBanded)->Apply(sizes)->UseRealTime();
BENCHMARK(LibraryBanded)->Apply(sizes)->UseRealTime();
