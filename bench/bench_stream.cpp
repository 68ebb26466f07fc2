// The shared video stream as Viewers receive it, and the platform encoder
// against the ffmpeg command line.
//
// Stream: the Host (real runtime, one simulated display of the stream's
// size) streams to Viewers that run in a child process, log in on loopback
// and acknowledge every frame as it arrives. Reported per run: frames a
// second delivered to the first Viewer (fps), capture-to-receipt latency
// (p50_ms, p95_ms) and the Host process's CPU per delivered frame
// (cpu_ms_per_frame); the Viewers' own CPU is not counted.
//
// Encoder and FfmpegCli: the platform encoder and the ffmpeg command line
// encode the same raw frames (pictures of the simulated display) with the
// same settings (VideoEncoder::libraryOptions), as fast as each can;
// items_per_second is frames a second.
//
// Delivery: the same Host and Viewers with frames handed straight to
// delivery, no capture or encoder: the CPU that each further Viewer costs.
//
// Still: the screen changes for 0.4 s and stands still for 0.4 s, over and
// over; still_p95_ms and still_max_ms are how long the last change before
// each still spell took from capture to the Viewer (a frame left inside the
// encoder would only arrive with the next change).
//
// Record: a recording of the whole screen runs through the 10 s measured;
// movie_fps is the movie's frames (counted by ffprobe) a second.
//
// Arguments: codec (0 H.264, 1 HEVC), width, height [, Viewers, scene]. A
// stream of 3024 x 1964 comes from the built-in 1512 x 982 HiDPI panel in
// Easy, the size a default Viewer asks for. FfmpegCli's fourth argument
// sets x265's frame threads (0: the encoder's own choice).

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "HostApp/Protocol/SessionPayloads.h"
#include "Platform/Runtime/Clock.h"
#include "Platform/SimulatedMac/CoreGraphicsDisplays.h"
#include "Platform/Security/Crypto.h"
#include "Platform/Security/Directory.h"
#include "Platform/Files/Folders.h"
#include "Platform/SimulatedMac/ScreenCaptureKit.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"
#include "Platform/Media/VideoEncoder.h"

extern char** environ;

using namespace platform;

namespace {

constexpr const char* kPassword = "bench password";
constexpr double kWarmupSeconds = 2.0;
constexpr double kMeasureSeconds = 5.0;
constexpr double kRecordSeconds = 10.0;
// A frame later than this after the one before ends a still spell.
constexpr double kStillGapMs = 150.0;
constexpr double kSceneSpellSeconds = 0.4;

// What the screen does while a stream is measured.
enum Scene : int64_t { moving = 0, movingAndStill = 1, recorded = 2 };
constexpr int kRawFrames = 16;
constexpr int kEncodedFrames = 240;

// ---------------------------------------------------------------- Viewers (child process)

std::atomic<bool> measuring{false};

// One Viewer on the video channel: identity, sealed login, then an
// acknowledgement for every frame.
class BenchViewer {
public:
    BenchViewer(uint16_t port, std::string user, std::array<uint8_t, 20> request, int index)
        : queue_("bench.viewer." + std::to_string(index)), user_(std::move(user)), request_(request) {
        connection_ = TcpConnection::connect("127.0.0.1", port);
        connection_->stateUpdateHandler = [this](ConnectionState state, const std::string&) {
            if (state != ConnectionState::ready) return;
            HostIdentityChallengePayload challenge;
            send(AuxPacketType::hostIdentityChallenge, challenge.encode());
        };
        connection_->receiveHandler = [this](std::span<const uint8_t> data, bool, const std::string&) {
            cutter_.append(data);
            for (auto next = cutter_.next(); next.status == AuxPacketCutter::Status::packet; next = cutter_.next())
                handle(next.header, next.payload);
        };
        connection_->start(queue_);
    }
    ~BenchViewer() { connection_->cancel(); }

    bool loggedIn() const { return loggedIn_; }
    struct Results {
        uint64_t frames = 0;
        std::vector<double> latenciesMs;
        // Latency of the last frame before each still spell.
        std::vector<double> stillLatenciesMs;
    };
    // Frames and latencies of the measured window; read after it ended.
    Results results() {
        return queue_.syncValue([this] {
            Results r{frames_, latenciesMs_, stillLatenciesMs_};
            // A still spell running at the end counts once it is long enough.
            if (lastReceiptNs_ && static_cast<double>(Clock::uptimeNs() - lastReceiptNs_) / 1e6 > kStillGapMs)
                r.stillLatenciesMs.push_back(lastLatencyMs_);
            return r;
        });
    }

private:
    void send(AuxPacketType type, std::span<const uint8_t> payload) {
        connection_->send(makeAuxPacket(type, 0, payload, Clock::uptimeNs()));
    }
    void handle(const AuxPacketHeader& header, std::span<const uint8_t> payload) {
        switch (header.type) {
            case AuxPacketType::hostIdentityProof:
                if (auto proof = HostIdentityProofPayload::decode(payload)) logIn(proof->hostEphemeralPublicKey);
                break;
            case AuxPacketType::hostSessionInfo:
                loggedIn_ = true;
                break;
            case AuxPacketType::videoFrame:
                send(AuxPacketType::videoFrameAck, {});
                if (measuring) {
                    const uint64_t now = Clock::uptimeNs();
                    const double latencyMs = static_cast<double>(now - header.timestampNs) / 1e6;
                    if (lastReceiptNs_ && static_cast<double>(now - lastReceiptNs_) / 1e6 > kStillGapMs)
                        stillLatenciesMs_.push_back(lastLatencyMs_);
                    frames_++;
                    latenciesMs_.push_back(latencyMs);
                    lastReceiptNs_ = now;
                    lastLatencyMs_ = latencyMs;
                }
                break;
            default:
                break;
        }
    }
    void logIn(const std::array<uint8_t, 32>& hostKey) {
        auto viewerKey = crypto::X25519KeyPair::generate();
        auto secret = viewerKey.sharedSecret(hostKey);
        if (!secret) return;
        const auto salt = ViewerLoginPayload::keyDerivationSalt(viewerKey.publicKey(), hostKey);
        const auto& info = ViewerLoginPayload::keyDerivationInfo;
        const auto key = crypto::hkdfSha256(*secret, salt, {reinterpret_cast<const uint8_t*>(info.data()), info.size()}, 32);
        const uint8_t aad[1] = {ViewerLoginPayload::videoChannelAssociatedData};
        ViewerLoginPayload login;
        login.viewerPublicKey = viewerKey.publicKey();
        login.sealedBox = crypto::chachaPolySeal(ViewerLoginCredentials{user_, kPassword, "Bench Viewer", request_}.encode(),
                                                 key, crypto::randomBytes(12), aad);
        send(AuxPacketType::viewerLogin, login.encode());
    }

    DispatchQueue queue_;
    std::shared_ptr<TcpConnection> connection_;
    AuxPacketCutter cutter_{AuxPacketCutter::postLoginPayloadLimit};
    const std::string user_;
    const std::array<uint8_t, 20> request_;
    std::atomic<bool> loggedIn_{false};
    uint64_t frames_ = 0;
    std::vector<double> latenciesMs_;
    std::vector<double> stillLatenciesMs_;
    uint64_t lastReceiptNs_ = 0;
    double lastLatencyMs_ = 0;
};

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size())))];
}

// argv: --stream-viewers port viewers user request-hex seconds
int runViewers(char** argv) {
    const double measureSeconds = std::stod(argv[6]);
    const auto port = static_cast<uint16_t>(std::stoi(argv[2]));
    const int count = std::stoi(argv[3]);
    std::array<uint8_t, 20> request{};
    for (size_t i = 0; i < request.size(); ++i) request[i] = static_cast<uint8_t>(std::stoi(std::string(argv[5] + 2 * i, 2), nullptr, 16));
    std::vector<std::unique_ptr<BenchViewer>> viewers;
    for (int i = 0; i < count; ++i) viewers.push_back(std::make_unique<BenchViewer>(port, argv[4], request, i));
    for (int waited = 0; !std::all_of(viewers.begin(), viewers.end(), [](auto& v) { return v->loggedIn(); }); ++waited) {
        if (waited > 1000) return 2;
        sleepFor(0.01);
    }
    sleepFor(kWarmupSeconds);
    measuring = true;
    std::printf("start\n");
    std::fflush(stdout);
    sleepFor(measureSeconds);
    measuring = false;
    std::printf("stop\n");
    for (auto& v : viewers) {
        const auto r = v->results();
        const double stillMax =
            r.stillLatenciesMs.empty() ? 0 : *std::max_element(r.stillLatenciesMs.begin(), r.stillLatenciesMs.end());
        std::printf("%llu %.3f %.3f %.3f %.3f %zu\n", static_cast<unsigned long long>(r.frames),
                    percentile(r.latenciesMs, 0.5), percentile(r.latenciesMs, 0.95),
                    percentile(r.stillLatenciesMs, 0.95), stillMax, r.stillLatenciesMs.size());
    }
    std::fflush(stdout);
    _exit(0);
}

// ---------------------------------------------------------------- Host (this process)

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Runs a program, optionally reading its standard output; returns its pid.
pid_t spawn(const std::vector<std::string>& args, int* stdoutFd) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int pipeFds[2] = {-1, -1};
    if (stdoutFd && pipe(pipeFds) == 0) {
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    }
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    if (stdoutFd) {
        close(pipeFds[1]);
        *stdoutFd = pipeFds[0];
    }
    return pid;
}

bool isBuiltInPanelSize(int width, int height) { return width == 3024 && height == 1964; }

CaptureModeControlPayload requestFor(const benchmark::State& state) {
    const int width = static_cast<int>(state.range(1));
    const auto mode = width > 1920 ? VideoCaptureMode::easy : VideoCaptureMode::physical1080;
    auto request = CaptureModeControlPayload::preset(mode, VideoChromaMode::yuv420, VideoCaptureBackend::physical);
    request.codec = state.range(0) == 0 ? VideoStreamCodec::h264 : VideoStreamCodec::hevc;
    request.fps = 60;
    return request;
}

class NoAdvertisement : public DnsServiceRegistration {
public:
    void publish(const DnsServiceDescription&) override {}
    void withdraw() override {}
};

void useMachineWithOneDisplay(int width, int height) {
    SimulatedMachine::install(std::make_shared<SimulatedMachine>());
    SimulatedMachine::current().component<SimulatedDisplaySystem>().setDisplays(
        {isBuiltInPanelSize(width, height) ? SimulatedDisplaySystem::builtInPanel(1)
                                           : SimulatedDisplaySystem::plainMonitor(1, width, height, 0, 0)});
}

// The movie's frames, as ffprobe counts them; -1 when it cannot.
int64_t movieFrames(const std::filesystem::path& movie) {
    const std::string command = "ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames "
                                "-of default=noprint_wrappers=1:nokey=1 '" + movie.string() + "'";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return -1;
    long long frames = -1;
    if (std::fscanf(pipe, "%lld", &frames) != 1) frames = -1;
    pclose(pipe);
    return frames;
}

// Runs the Host with Viewers in a child process and reports what they
// received. With `injectedFrameBytes`, no capture runs: frames of that size
// are handed to delivery at 60 a second, so that only delivery is measured.
void runStream(benchmark::State& state, size_t injectedFrameBytes) {
    const auto root = std::filesystem::temp_directory_path() / ("norvessal-bench-" + std::to_string(getpid()));
    Folders::setOverrideRoot(root);
    useMachineWithOneDisplay(static_cast<int>(state.range(1)), static_cast<int>(state.range(2)));
    const std::string user = SimulatedMachine::current().consoleSession().userName;
    auto directory = std::make_shared<InMemoryDirectory>();
    directory->setUser(user, kPassword);
    V230HostAudioAuxServerConfiguration configuration;
    configuration.audioPort = configuration.videoPort = configuration.filePort = 0;
    configuration.bindAddress = "127.0.0.1";
    configuration.directory = directory;
    configuration.dnsRegistration = std::make_shared<NoAdvertisement>();
    configuration.routeRecordSource = [] { return BonjourAdvertiser::Routes{}; };
    auto server = std::make_shared<V230HostAudioAuxServer>(configuration);
    server->start();
    std::atomic<bool> injecting{injectedFrameBytes > 0};
    std::optional<DispatchQueue> injector;
    if (injecting) {
        // Paused: no capture is ever built; delivery gets frames from here.
        server->queue.sync([&] { server->streamControl.isPaused = true; });
        injector.emplace("bench.frames");
        injector->async([&] {
            const std::vector<uint8_t> frame(injectedFrameBytes, 0x5A);
            uint64_t next = Clock::uptimeNs();
            for (int i = 0; injecting; ++i) {
                // A login's request raises the generation; frames follow it.
                const uint64_t generation =
                    server->queue.syncValue([&] { return server->streamControl.videoCaptureGeneration; });
                server->broadcastVideoFrame(frame, i % 120 == 0, Clock::uptimeNs(), generation,
                                            V230HostAudioAuxServer::HostVideoStreamKind::shared);
                next += 16'666'667;
                const uint64_t now = Clock::uptimeNs();
                if (next > now) sleepFor(static_cast<double>(next - now) / 1e9);
            }
        });
    }

    const auto scene = static_cast<Scene>(state.range(4));
    // The screen alternates between changing and standing still.
    std::atomic<bool> alternating{scene == movingAndStill};
    std::optional<DispatchQueue> sceneQueue;
    auto& screen = SimulatedMachine::current().component<SimulatedScreenCapture>();
    if (alternating) {
        sceneQueue.emplace("bench.scene");
        sceneQueue->async([&] {
            for (bool still = false; alternating; still = !still) {
                screen.setPictureHeldStill(still);
                sleepFor(kSceneSpellSeconds);
            }
            screen.setPictureHeldStill(false);
        });
    }
    const double measureSeconds = scene == recorded ? kRecordSeconds : kMeasureSeconds;

    std::string requestHex;
    for (uint8_t byte : requestFor(state).encode()) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", byte);
        requestHex += hex;
    }
    const int viewers = static_cast<int>(state.range(3));
    int fd = -1;
    const pid_t child = spawn({"/proc/self/exe", "--stream-viewers", std::to_string(server->boundVideoPort()),
                               std::to_string(viewers), user, requestHex, std::to_string(measureSeconds)},
                              &fd);
    FILE* output = child > 0 ? fdopen(fd, "r") : nullptr;
    char line[256];
    auto nextLine = [&] { return output && std::fgets(line, sizeof line, output) ? std::string(line) : std::string(); };
    double cpuAtStart = 0, cpuAtStop = 0;
    uint64_t recordStartNs = 0, recordStopNs = 0;
    std::shared_ptr<DispatchSemaphore> recordingFinished;
    // frames, p50, p95, still p95, still max, still spells
    std::vector<std::array<double, 6>> perViewer;
    for (auto _ : state) {
        if (nextLine() != "start\n") break;
        cpuAtStart = cpuSeconds();
        if (scene == recorded) {
            recordStartNs = Clock::uptimeNs();
            server->queue.sync([&] { server->startHostRecording(CGRect{0, 0, 1, 1}, UUID::random()); });
        }
        if (nextLine() != "stop\n") break;
        cpuAtStop = cpuSeconds();
        if (scene == recorded) {
            recordStopNs = Clock::uptimeNs();
            recordingFinished = server->queue.syncValue([&] {
                server->stopHostRecording(false);
                return server->recording.lastFinish;
            });
        }
        for (int i = 0; i < viewers; ++i) {
            std::array<double, 6> v{};
            if (std::sscanf(nextLine().c_str(), "%lf %lf %lf %lf %lf %lf", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]) == 6)
                perViewer.push_back(v);
        }
        state.SetIterationTime(measureSeconds);
    }
    if (output) std::fclose(output);
    if (child > 0) waitpid(child, nullptr, 0);
    injecting = false;
    if (injector) injector->sync([] {});
    alternating = false;
    if (sceneQueue) sceneQueue->sync([] {});
    int64_t movie = -1;
    if (recordingFinished && recordingFinished->wait(30)) {
        std::error_code error;
        for (const auto& f : std::filesystem::recursive_directory_iterator(Folders::movies(), error)) {
            if (f.path().extension() == ".mp4") movie = movieFrames(f.path());
        }
    }
    server->stopForTermination();
    server.reset();
    std::filesystem::remove_all(root);
    if (perViewer.size() != static_cast<size_t>(viewers) || perViewer[0][0] < 1) {
        state.SkipWithError("the Viewers did not report");
        return;
    }
    double slowest = perViewer[0][0];
    for (const auto& v : perViewer) slowest = std::min(slowest, v[0]);
    state.counters["fps"] = perViewer[0][0] / measureSeconds;
    state.counters["fps_slowest"] = slowest / measureSeconds;
    state.counters["p50_ms"] = perViewer[0][1];
    state.counters["p95_ms"] = perViewer[0][2];
    state.counters["cpu_ms_per_frame"] = (cpuAtStop - cpuAtStart) * 1e3 / perViewer[0][0];
    if (scene == movingAndStill) {
        state.counters["still_p95_ms"] = perViewer[0][3];
        state.counters["still_max_ms"] = perViewer[0][4];
        state.counters["still_spells"] = perViewer[0][5];
    }
    if (scene == recorded) {
        if (movie < 0) {
            state.SkipWithError("no movie to count");
            return;
        }
        state.counters["movie_frames"] = static_cast<double>(movie);
        state.counters["movie_fps"] = static_cast<double>(movie) / (static_cast<double>(recordStopNs - recordStartNs) / 1e9);
    }
}

void Stream(benchmark::State& state) { runStream(state, 0); }

// A 1080p frame at 14 Mb/s and 60 fps is about 29 KB.
void Delivery(benchmark::State& state) { runStream(state, 29'000); }

// ---------------------------------------------------------------- encoder against ffmpeg

VideoEncoderSettings settingsFor(const benchmark::State& state) {
    const auto request = requestFor(state);
    VideoEncoderSettings s;
    s.codec = request.codec == VideoStreamCodec::hevc ? VideoCodec::hevc : VideoCodec::h264;
    s.width = static_cast<int>(state.range(1));
    s.height = static_cast<int>(state.range(2));
    s.fps = 60;
    s.bitrate = request.bitrate;
    return s;
}

// The simulated display's pictures, as the stream captures them, written
// once per size to a file the command line can read.
struct RawFrames {
    std::vector<std::vector<uint8_t>> frames;
    std::filesystem::path file;
};

const RawFrames& rawFrames(int width, int height) {
    static std::map<std::pair<int, int>, RawFrames> cache;
    auto& raw = cache[{width, height}];
    if (!raw.frames.empty()) return raw;
    useMachineWithOneDisplay(width, height);
    auto content = SCShareableContent::current();
    if (!content || content->displays.empty()) return raw;
    SCStreamConfiguration configuration;
    auto stream = SCStream::create(content->displays[0], configuration);
    std::mutex lock;
    std::vector<std::vector<uint8_t>> frames;
    stream->setFrameHandler(DispatchQueue("bench.raw.frames"), [&](const SCCapturedFrame& frame) {
        if (frame.status != SCFrameStatus::complete || !frame.buffer) return;
        std::vector<uint8_t> bytes(static_cast<size_t>(width) * height * 4);
        for (int y = 0; y < height; ++y)
            std::memcpy(&bytes[static_cast<size_t>(y) * width * 4], frame.buffer->data() + static_cast<size_t>(y) * frame.buffer->bytesPerRow(),
                        static_cast<size_t>(width) * 4);
        std::lock_guard<std::mutex> guard(lock);
        if (frames.size() < kRawFrames) frames.push_back(std::move(bytes));
    });
    stream->startCapture(nullptr);
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(lock);
            if (frames.size() >= kRawFrames) break;
        }
        sleepFor(0.01);
    }
    stream->stopCapture(nullptr);
    sleepFor(0.05);
    std::lock_guard<std::mutex> guard(lock);
    raw.frames = std::move(frames);
    raw.file = std::filesystem::temp_directory_path() /
               ("norvessal-bench-" + std::to_string(getpid()) + "-" + std::to_string(width) + "x" + std::to_string(height) + ".bgra");
    std::ofstream out(raw.file, std::ios::binary);
    for (const auto& f : raw.frames) out.write(reinterpret_cast<const char*>(f.data()), static_cast<std::streamsize>(f.size()));
    return raw;
}

void Encoder(benchmark::State& state) {
    const auto settings = settingsFor(state);
    const auto& raw = rawFrames(settings.width, settings.height);
    for (auto _ : state) {
        const uint64_t start = Clock::uptimeNs();
        auto encoder = VideoEncoder::create(settings);
        if (!encoder) {
            state.SkipWithError(encoder.error().c_str());
            return;
        }
        for (int i = 0; i < kEncodedFrames; ++i) {
            const auto& f = raw.frames[static_cast<size_t>(i) % raw.frames.size()];
            auto frame = (*encoder)->encode({f.data(), settings.width, settings.height, settings.width * 4},
                                            static_cast<uint64_t>(i) * 16'666'667, false);
            benchmark::DoNotOptimize(frame);
        }
        state.SetIterationTime(static_cast<double>(Clock::uptimeNs() - start) / 1e9);
    }
    state.SetItemsProcessed(state.iterations() * kEncodedFrames);
}

void FfmpegCli(benchmark::State& state) {
    const auto settings = settingsFor(state);
    const auto& raw = rawFrames(settings.width, settings.height);
    const bool hevc = settings.codec == VideoCodec::hevc;
    const int frameThreads = static_cast<int>(state.range(3));
    const auto ceiling = static_cast<int64_t>(static_cast<double>(settings.bitrate) * settings.burstBitrateRatio);
    std::vector<std::string> args = {"ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin",
                                     "-f", "rawvideo", "-pix_fmt", "bgra",
                                     "-s", std::to_string(settings.width) + "x" + std::to_string(settings.height),
                                     "-framerate", std::to_string(settings.fps), "-stream_loop", "-1",
                                     "-i", raw.file.string(), "-frames:v", std::to_string(kEncodedFrames),
                                     "-c:v", hevc ? "libx265" : "libx264",
                                     "-threads", std::to_string(hevc && frameThreads > 0 ? frameThreads : VideoEncoder::libraryThreadCount(settings)),
                                     "-b:v", std::to_string(settings.bitrate), "-maxrate", std::to_string(ceiling),
                                     "-bufsize", std::to_string(ceiling * settings.burstWindowSeconds),
                                     "-g", std::to_string(settings.fps * settings.keyframeIntervalSeconds), "-bf", "0",
                                     "-pix_fmt", "yuv420p"};
    for (auto option : VideoEncoder::libraryOptions(settings)) {
        if (option.name == "x265-params" && frameThreads > 0) {
            const auto at = option.value.find("frame-threads=");
            option.value.replace(at, option.value.find(':', at) - at, "frame-threads=" + std::to_string(frameThreads));
        }
        // GCC 12 at -O3 warns of an overlapping copy inside the std::string
        // inlines of "literal" + string: its -Wrestrict false positive (GCC bug 105651).
#pragma GCC diagnostic push
#if !defined(__clang__)  // a warning only GCC has
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
        args.push_back("-" + (option.name == "profile" ? std::string("profile:v") : option.name));
#pragma GCC diagnostic pop
        args.push_back(option.value);
    }
    for (const char* tail : {"-f", "null", "-"}) args.emplace_back(tail);
    for (auto _ : state) {
        const uint64_t start = Clock::uptimeNs();
        const pid_t pid = spawn(args, nullptr);
        int status = -1;
        if (pid <= 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("ffmpeg failed");
            return;
        }
        state.SetIterationTime(static_cast<double>(Clock::uptimeNs() - start) / 1e9);
    }
    state.SetItemsProcessed(state.iterations() * kEncodedFrames);
}

void encoderPair(benchmark::internal::Benchmark* b) {
    b->ArgNames({"hevc", "w", "h", "frame_threads"})->Iterations(1)->Repetitions(2)->UseManualTime()->Unit(benchmark::kMillisecond);
}

void stream(benchmark::internal::Benchmark* b) {
    b->ArgNames({"hevc", "w", "h", "viewers", "scene"})->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
}

}  // namespace

// The streams the Host promises at 60 fps: Easy from the built-in panel and
// Physical 1080p, each codec; then one of them to eight Viewers; the last
// change before the screen stands still; a recording beside the Easy stream.
BENCHMARK(Stream)->Args({1, 3024, 1964, 1, moving})->Apply(stream);
BENCHMARK(Stream)->Args({0, 3024, 1964, 1, moving})->Apply(stream);
BENCHMARK(Stream)->Args({0, 1920, 1080, 1, moving})->Apply(stream);
BENCHMARK(Stream)->Args({1, 1920, 1080, 1, moving})->Apply(stream);
BENCHMARK(Stream)->Args({1, 1920, 1080, 8, moving})->Apply(stream);
BENCHMARK(Stream)->Args({1, 3024, 1964, 1, movingAndStill})->Apply(stream);
BENCHMARK(Stream)->Args({1, 3024, 1964, 1, recorded})->Apply(stream);
// Delivery alone (no capture, no encoder), to one and to eight Viewers.
BENCHMARK(Delivery)->Args({1, 1920, 1080, 1, moving})->Apply(stream);
BENCHMARK(Delivery)->Args({1, 1920, 1080, 8, moving})->Apply(stream);
// Each encoder case beside its command-line twin; at the Easy size the
// command line also with one, two and three frame threads (up to two
// frames of delay), the best of which is the anchor for the stream.
BENCHMARK(Encoder)->Args({1, 3024, 1964, 0})->Apply(encoderPair);
BENCHMARK(FfmpegCli)->Args({1, 3024, 1964, 1})->Apply(encoderPair);
BENCHMARK(FfmpegCli)->Args({1, 3024, 1964, 2})->Apply(encoderPair);
BENCHMARK(FfmpegCli)->Args({1, 3024, 1964, 3})->Apply(encoderPair);
BENCHMARK(Encoder)->Args({0, 3024, 1964, 0})->Apply(encoderPair);
BENCHMARK(FfmpegCli)->Args({0, 3024, 1964, 0})->Apply(encoderPair);
BENCHMARK(Encoder)->Args({0, 1920, 1080, 0})->Apply(encoderPair);
BENCHMARK(FfmpegCli)->Args({0, 1920, 1080, 0})->Apply(encoderPair);
BENCHMARK(Encoder)->Args({1, 1920, 1080, 0})->Apply(encoderPair);
BENCHMARK(FfmpegCli)->Args({1, 1920, 1080, 0})->Apply(encoderPair);
// Whether 1080p HEVC would gain from a second frame thread too.
BENCHMARK(FfmpegCli)->Args({1, 1920, 1080, 2})->Apply(encoderPair);

int main(int argc, char** argv) {
    // The same program plays the Viewers, in a process of their own.
    if (argc >= 7 && std::string(argv[1]) == "--stream-viewers") return runViewers(argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (const auto& f : std::filesystem::directory_iterator(std::filesystem::temp_directory_path())) {
        if (f.path().filename().string().starts_with("norvessal-bench-" + std::to_string(getpid())))
            std::filesystem::remove_all(f.path());
    }
    return 0;
}
