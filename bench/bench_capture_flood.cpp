// One logged-in Viewer changing the capture mode as fast as it likes, against
// a Viewer that watches the shared stream.
//
// The Host runs in a child process (real runtime, in-memory directory). A
// second Viewer streams the Easy mode on 7347 and acknowledges every frame;
// the flooding Viewer logs in on 7347 too (acknowledging its frames, so it
// is never pruned) and sends explicit capture-mode requests (requestCycle
// says which), NORVESSAL_CAPTURE_REQUESTS_PER_SECOND of them (default 50; 0
// as fast as the Host reads) for NORVESSAL_FLOOD_SECONDS (default 15). Its
// last request asks for the watcher's mode again (Easy keeps the display at
// the mode the flood left it in, so a flood of every mode may end on a
// smaller canvas). The closing note gives the watcher's frames per second
// before and during the flood, and the Host's RSS before, at its highest
// during the flood and 10 s after.

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BenchHost.h"
#include "HostApp/Capture/CaptureModeControlPayload.h"
#include "Platform/Runtime/Clock.h"

namespace {

BenchHost gHost;

double seconds() { return StreamingViewer::seconds(); }

int logIn(uint16_t port, uint8_t associatedData, AuxPacketCutter& cutter) {
    return logInViewer(gHost, port, associatedData, cutter);
}


// Every mode in both chromas on its default backend, each marked as the
// user's choice, so that none is a refresh the Host may ignore. With
// NORVESSAL_CAPTURE_FLOOD=formats, only the watcher's mode, in both codecs
// and chromas: every request still rebuilds the encoder, but the stream
// keeps the watcher's size. With =none, nothing: the baseline.
std::vector<std::vector<uint8_t>> requestCycle() {
    std::vector<std::vector<uint8_t>> cycle;
    const char* flood = std::getenv("NORVESSAL_CAPTURE_FLOOD");
    // The same length of time without requests, for the RSS a stream of
    // this size reaches on its own.
    if (flood && std::string(flood) == "none") return cycle;
    if (flood && std::string(flood) == "formats") {
        for (auto codec : {VideoStreamCodec::hevc, VideoStreamCodec::h264}) {
            for (auto chroma : {VideoChromaMode::yuv420, VideoChromaMode::yuv444}) {
                auto request = CaptureModeControlPayload::preset(VideoCaptureMode::easy, chroma,
                                                                 VideoCaptureBackend::physical);
                request.codec = codec;
                request.controlIntent = CaptureModeControlPayload::intentExplicit;
                cycle.push_back(makeAuxPacket(AuxPacketType::captureModeControl, 0, request.encode(), 0));
            }
        }
        return cycle;
    }
    for (auto mode : kAllVideoCaptureModes) {
        for (auto chroma : {VideoChromaMode::yuv420, VideoChromaMode::yuv444}) {
            auto request = CaptureModeControlPayload::preset(
                mode, chroma,
                captureModeDefinition(mode).defaultUsesHeadlessVirtualDisplay ? VideoCaptureBackend::headlessVirtual
                                                                              : VideoCaptureBackend::physical);
            request.controlIntent = CaptureModeControlPayload::intentExplicit;
            cycle.push_back(makeAuxPacket(AuxPacketType::captureModeControl, 0, request.encode(), 0));
        }
    }
    return cycle;
}

void BM_CaptureModeFloodAgainstAWatcher(benchmark::State& state) {
    const double floodSeconds = numberFromEnvironment("NORVESSAL_FLOOD_SECONDS", 15.0);
    const double perSecond = numberFromEnvironment("NORVESSAL_CAPTURE_REQUESTS_PER_SECOND", 50.0);
    for (auto _ : state) {
        std::atomic<bool> running{true};
        StreamingViewer watcher;
        std::thread watcherThread([&] { watcher.run(gHost, running); });
        platform::sleepFor(6);  // the stream starts and settles
        const double beforeFrom = seconds() - 4, beforeTo = seconds();
        const double rssBefore = hostRssMiB(gHost);

        AuxPacketCutter cutter(AuxPacketCutter::postLoginPayloadLimit);
        const int flooder = logIn(gHost.videoPort, 0x02, cutter);
        if (flooder < 0) {
            state.SkipWithError("the flooding Viewer did not get in");
            running = false;
            watcherThread.join();
            return;
        }
        std::atomic<bool> flooding{true};
        std::atomic<uint64_t> sent{0};
        std::thread drainer([&] { readAcknowledgingFrames(flooder, cutter, running); });
        std::thread sender([&] {
            const auto cycle = requestCycle();
            const double start = seconds();
            for (size_t i = 0; flooding && !cycle.empty(); ++i) {
                if (!writeAll(flooder, cycle[i % cycle.size()])) return;
                ++sent;
                if (perSecond > 0) platform::sleepFor(std::max(0.0, start + double(i + 1) / perSecond - seconds()));
            }
            auto watched = CaptureModeControlPayload::preset(VideoCaptureMode::easy, VideoChromaMode::yuv420,
                                                             VideoCaptureBackend::physical);
            watched.controlIntent = CaptureModeControlPayload::intentExplicit;
            writeAll(flooder, makeAuxPacket(AuxPacketType::captureModeControl, 0, watched.encode(), 0));
        });
        std::atomic<double> rssPeak{0};
        std::thread sampler([&] {
            while (flooding) {
                rssPeak = std::max(rssPeak.load(), hostRssMiB(gHost));
                platform::sleepFor(0.1);
            }
        });
        const double floodStart = seconds();
        platform::sleepFor(floodSeconds);
        flooding = false;
        const double floodEnd = seconds();
        sender.join();
        sampler.join();
        // The last request outlasts the hold before its Viewer leaves.
        platform::sleepFor(2);
        ::shutdown(flooder, SHUT_WR);
        platform::sleepFor(8);
        const double rssAfter = hostRssMiB(gHost);
        const double fpsBefore = watcher.fps(beforeFrom, beforeTo);
        const double fpsDuring = watcher.fps(floodStart + 1, floodEnd);
        running = false;
        drainer.join();
        watcherThread.join();

        state.counters["fps_before"] = fpsBefore;
        state.counters["fps_during"] = fpsDuring;
        state.counters["rss_growth_MiB"] = rssAfter - rssBefore;
        state.counters["requests_per_s"] = double(sent) / (floodEnd - floodStart);
        std::printf(
            "\nClosing note: %.1f s of capture-mode requests, %llu sent (%.0f a second)\n"
            "  watching Viewer (Easy): %.1f fps before, %.1f fps during (%.2f of before)\n"
            "  Host RSS: %.1f MiB before, %.1f MiB at most during the flood, %.1f MiB 10 s after (%+.1f MiB)\n",
            floodEnd - floodStart, static_cast<unsigned long long>(sent.load()), double(sent) / (floodEnd - floodStart),
            fpsBefore, fpsDuring, fpsBefore > 0 ? fpsDuring / fpsBefore : 0, rssBefore, rssPeak.load(), rssAfter,
            rssAfter - rssBefore);
        for (int fd : {flooder, watcher.fd})
            if (fd >= 0) ::close(fd);
    }
}
BENCHMARK(BM_CaptureModeFloodAgainstAWatcher)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    // The Host starts before any thread does, as it would on its own.
    gHost = startBenchHost("bench-capture-flood-");
    // NORVESSAL_HOST_LOG names a file that keeps the Host's log.
    std::thread logReader([] {
        const char* path = std::getenv("NORVESSAL_HOST_LOG");
        FILE* keep = path ? std::fopen(path, "w") : nullptr;
        char buffer[65536];
        for (ssize_t n; (n = ::read(gHost.logFd, buffer, sizeof buffer)) > 0;)
            if (keep) std::fwrite(buffer, 1, static_cast<size_t>(n), keep), std::fflush(keep);
    });
    logReader.detach();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    stopBenchHost(gHost);
    return 0;
}
