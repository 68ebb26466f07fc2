// One flooding peer sending valid input and control packets as fast as the
// Host takes them, on as many connections as it can open, against the
// Viewers beside it.
//
// The Host runs in a child process (real runtime, in-memory directory). A
// second Viewer streams the Easy mode on 7347 from 127.0.0.1 and
// acknowledges every frame; the flooding peers, from 127.0.0.2 on (as many as
// the second argument, one by default), each try to log in the first
// argument's count of connections (alternately on 7346 and 7347; those past
// the Host's caps are refused) and send pointer moves, keys,
// gestures, scrolls, system and media keys, key-frame requests,
// acknowledgements, an unchanged video preference, audio control and
// identity challenges on every one for the flood's length; half way through,
// a third Viewer connects from 127.0.0.1 and logs in. The closing note gives
// how many flooding connections got in, the second Viewer's frames per
// second before and during the flood, the third Viewer's connect-to-login
// time, the Host's RSS before and 10 s after, and how much its log grew.
// What it should show: the second Viewer keeps 0.8 of its rate or more, the
// third logs in within a second, and the Host's RSS 10 s after is within
// 64 MiB of before, however many connections or peers flood.
// FloodSeconds (environment NORVESSAL_FLOOD_SECONDS, default 15) sets the
// flood's length.
//
// CancelledCopies/stage:N runs against a whole Host (its delegate and file
// delivery too) in a second child process, once a first Viewer has come
// and gone: a peer (127.0.0.1N) logs in and
// gives up 400 copies at one stage, each cancelled by the Viewer as soon as
// it reached the stage, then leaves. Stages: 0 before the start (a
// directSave alone), 1 while the named folder is opened, 2 in the middle of
// a file, 3 once ended, while a copy without a folder waits for a save
// location, 4 once ended, while the Host's user is asked about a taken name.
// The closing note gives the Host's descriptors (counted in /proc) and RSS
// before, at their peak, 2 s after the last copy and 10 s after the peer
// left, and the items left in its staging then. What it should show:
// descriptors and staging back where they were 10 s after the peer left,
// and the peak bounded whatever the count of copies.
//
// UnfinishedPackets/connections:C/peers:P/split:S runs against the same
// whole Host: each peer (127.0.0.2N) logs in C connections on 7346; each
// announces a 64 MiB packet (its header in two writes when S is 1), sends
// all of its payload but the last MiB and stops, without closing, until the
// Host ends it. The closing note gives how many
// connections the Host ended and when, and its descriptors and RSS before,
// at their peak and 10 s after the peers left. What it should show: one
// packet of a peer arrives at a time, so the peak grows by at most one
// 64 MiB packet and the peer's budget a peer, whatever C is or however its
// headers were split; each connection is ended within its packet's
// whole-arrival bound (platform::ReceiveTurns::arrivalBoundSeconds); 10 s after
// the peers left descriptors and RSS are back where they were.
//
// UnreadListings/peers:P runs against the same whole Host, whose home
// holds "Listed" (12,000 files, more than a listing takes): beside a
// watcher of the Easy stream, each peer (127.0.0.3N) logs in on 7346,
// opens its file channel and asks for "~/Listed" on it over and over for
// FloodSeconds, never reading that channel; then the peers leave. The
// closing note gives the watcher's frames per second before and during,
// and the Host's descriptors and RSS before, at their peak and 10 s after
// the peers left. What it should show: the peak grows by no more than a
// peer may have waiting to be sent (32 MiB) and the listings it builds a
// peer, the watcher keeps its rate, and RSS is back within a few MiB of
// before 10 s after the peers left.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BenchHost.h"
#include "HostApp/AuxServer/AuxAdmission.h"
#include "HostApp/Capture/CaptureModeControlPayload.h"
#include "HostApp/Protocol/InputControlPayloads.h"
#include "Platform/Network/Network.h"
#include "Platform/Runtime/Clock.h"
#include "Platform/Runtime/WorkLedger.h"
#include "VelantrixProfiles/FileTransfer/FileTransferPacket.h"
#include "VelantrixProfiles/FileTransfer/FileTransferService.h"
#include "VelantrixProfiles/FileTransfer/FileTransferStagedItems.h"

namespace {

BenchHost gHost;
// The whole Host, for what only its delegate does (file delivery).
BenchHost gWholeHost;

double seconds() { return StreamingViewer::seconds(); }

int logIn(uint16_t port, uint8_t associatedData, AuxPacketCutter& cutter, const char* from = nullptr) {
    return logInViewer(gHost, port, associatedData, cutter, from);
}

// Connects (from `from` when given) and logs in on the port; the socket,
// or -1.

// Reads and drops everything, so the Host never finds the socket full.
void drain(int fd, std::atomic<bool>& running) {
    const timeval timeout{0, 200000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    uint8_t buffer[65536];
    while (running) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n == 0) return;
    }
}


// A second of everything a Viewer may send, valid and harmless: keys go
// down and up again, the video preference is the one in force.
std::vector<uint8_t> floodMix() {
    std::vector<uint8_t> mix;
    auto add = [&](AuxPacketType type, const std::vector<uint8_t>& payload) {
        auto packet = makeAuxPacket(type, 0, payload, 0);
        mix.insert(mix.end(), packet.begin(), packet.end());
    };
    std::array<uint8_t, 32> challenge{};
    for (uint16_t i = 0; i < 64; ++i) {
        add(AuxPacketType::pointerEvent, PointerEventControlPayload{0, uint16_t(i * 10), uint16_t(i * 5), 1920, 1080}.encode());
        add(AuxPacketType::keyEvent, KeyEventControlPayload{0x61, true}.encode());
        add(AuxPacketType::keyEvent, KeyEventControlPayload{0x61, false}.encode());
        GestureEventControlPayload scroll;
        scroll.framebufferWidth = 1920;
        scroll.framebufferHeight = 1080;
        scroll.deltaY = 2;
        add(AuxPacketType::gestureEvent, scroll.encode());
        GestureEventControlPayload magnify = scroll;
        magnify.kind = GestureEventKind::magnify;
        magnify.unitsOrAmount = 0;
        add(AuxPacketType::gestureEvent, magnify.encode());
        add(AuxPacketType::rawKeyEvent, RawKeyEventControlPayload{0, 0, true}.encode());
        add(AuxPacketType::rawKeyEvent, RawKeyEventControlPayload{0, 0, false}.encode());
        add(AuxPacketType::systemDefinedKeyEvent, SystemDefinedKeyEventControlPayload{16}.encode());  // play
        add(AuxPacketType::keyFrameRequest, {});
        add(AuxPacketType::videoFrameAck, {});
        add(AuxPacketType::videoPreferenceControl, {0});
        add(AuxPacketType::audioControl, AudioControlPayload{}.encode());
        add(AuxPacketType::hostIdentityChallenge, std::vector<uint8_t>(challenge.begin(), challenge.end()));
    }
    return mix;
}

std::atomic<uint64_t> gLogBytes{0};
// NORVESSAL_FLOOD_LOG names a file that keeps a copy of the Host's log.
void readHostLog() {
    const char* copyPath = std::getenv("NORVESSAL_FLOOD_LOG");
    FILE* copy = copyPath ? std::fopen(copyPath, "w") : nullptr;
    char buffer[65536];
    for (ssize_t n; (n = ::read(gHost.logFd, buffer, sizeof buffer)) > 0;) {
        gLogBytes += static_cast<uint64_t>(n);
        if (copy) std::fwrite(buffer, 1, static_cast<size_t>(n), copy), std::fflush(copy);
    }
}

// Read and dropped, so that the whole Host never waits on a full pipe.
void drainWholeHostLog() {
    char buffer[65536];
    while (::read(gWholeHost.logFd, buffer, sizeof buffer) > 0) {
    }
}

void BM_FloodAgainstOtherViewers(benchmark::State& state) {
    const double floodSeconds = numberFromEnvironment("NORVESSAL_FLOOD_SECONDS", 15.0);
    for (auto _ : state) {
        std::atomic<bool> running{true};
        StreamingViewer second;
        std::thread secondThread([&] { second.run(gHost, running); });
        platform::sleepFor(6);  // the stream starts and settles
        const double beforeFrom = seconds() - 4, beforeTo = seconds();
        const double rssBefore = hostRssMiB(gHost);
        const uint64_t logBefore = gLogBytes;

        const int perPeer = static_cast<int>(state.range(0));
        const int peers = static_cast<int>(state.range(1));
        const int asked = perPeer * peers;
        std::vector<int> flooders;
        for (int peer = 0; peer < peers; ++peer) {
            const std::string from = "127.0.0." + std::to_string(2 + peer);
            for (int i = 0; i < perPeer; ++i) {
                AuxPacketCutter cutter(AuxPacketCutter::postLoginPayloadLimit);
                const bool audio = i % 2 == 0;
                const int fd =
                    logIn(audio ? gHost.audioPort : gHost.videoPort, audio ? 0x01 : 0x02, cutter, from.c_str());
                if (fd >= 0) flooders.push_back(fd);
            }
        }
        if (flooders.empty()) {
            state.SkipWithError("the flooding Viewer did not get in");
            running = false;
            secondThread.join();
            return;
        }
        std::atomic<bool> flooding{true};
        std::atomic<uint64_t> packetsSent{0};
        const auto mix = floodMix();
        const uint64_t packetsPerMix = 64 * 13;
        std::vector<std::thread> threads;
        for (int fd : flooders) {
            threads.emplace_back([&, fd] { drain(fd, running); });
            threads.emplace_back([&, fd] {
                while (flooding && writeAll(fd, mix)) packetsSent += packetsPerMix;
            });
        }
        const double floodStart = seconds();
        platform::sleepFor(floodSeconds / 2);
        const double loginStart = seconds();
        AuxPacketCutter thirdCutter(AuxPacketCutter::postLoginPayloadLimit);
        const int third = logIn(gHost.audioPort, 0x01, thirdCutter);
        const double loginSeconds = third >= 0 ? seconds() - loginStart : -1;
        if (third >= 0) threads.emplace_back([&, third] { drain(third, running); });
        platform::sleepFor(floodStart + floodSeconds - seconds());
        flooding = false;
        const double floodEnd = seconds();
        for (int fd : flooders) ::shutdown(fd, SHUT_WR);
        platform::sleepFor(10);
        const double rssAfter = hostRssMiB(gHost);
        const uint64_t logGrowth = gLogBytes - logBefore;
        const double fpsBefore = second.fps(beforeFrom, beforeTo);
        const double fpsDuring = second.fps(floodStart + 1, floodEnd);
        running = false;
        for (auto& t : threads) t.join();
        secondThread.join();

        state.counters["flooders_in"] = double(flooders.size());
        state.counters["fps_before"] = fpsBefore;
        state.counters["fps_during"] = fpsDuring;
        state.counters["third_login_s"] = loginSeconds;
        state.counters["rss_growth_MiB"] = rssAfter - rssBefore;
        state.counters["log_growth_MiB"] = double(logGrowth) / (1 << 20);
        state.counters["flood_packets_per_s"] = double(packetsSent) / (floodEnd - floodStart);
        std::printf(
            "\nClosing note: %.1f s flood, %.0f packets/s from %d peer(s)' %zu connection(s) (%d tried)\n"
            "  second Viewer (Easy): %.1f fps before, %.1f fps during (%.2f of before)\n"
            "  third Viewer: connect to login %.3f s\n"
            "  Host RSS: %.1f MiB before, %.1f MiB 10 s after (%+.1f MiB)\n"
            "  Host log grew %.2f MiB\n",
            floodEnd - floodStart, double(packetsSent) / (floodEnd - floodStart), peers, flooders.size(), asked, fpsBefore,
            fpsDuring,
            fpsBefore > 0 ? fpsDuring / fpsBefore : 0, loginSeconds, rssBefore, rssAfter, rssAfter - rssBefore,
            double(logGrowth) / (1 << 20));
        for (int fd : flooders) ::close(fd);
        for (int fd : {third, second.fd})
            if (fd >= 0) ::close(fd);
    }
}
// --- Copies given up at each stage ---------------------------------------------

size_t hostDescriptors(const BenchHost& host) {
    std::error_code error;
    const auto folder = std::filesystem::path("/proc") / std::to_string(host.pid) / "fd";
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(folder, error), {}));
}

// Everything below the Host's inbox, where it stages what Viewers send.
size_t stagedItems() {
    std::error_code error;
    return static_cast<size_t>(
        std::distance(std::filesystem::recursive_directory_iterator(FileTransferStagedItems::inboxRoot(), error), {}));
}

enum class CopyStage { beforeTheStart, folderBeingOpened, filesArriving, waitingForASaveLocation, askedAboutATakenName };
constexpr size_t kCopyChunk = 64 * 1024;

// A copy's packets up to `stage` (whole from the stages after its end on),
// into ~/In when `named`, then its Viewer's cancel when `cancelled`.
std::vector<uint8_t> copyPackets(const platform::UUID& id, CopyStage stage, bool named,
                                 FileTransferDeliveryOptions options, bool cancelled) {
    using Op = FileTransferOp;
    std::vector<uint8_t> out;
    auto add = [&](Op op, uint64_t value1, uint64_t value2, std::string path, std::vector<uint8_t> data = {}) {
        const FileTransferPacket packet{op, id, value1, value2, std::move(path), std::move(data)};
        auto aux = makeAuxPacket(AuxPacketType::fileTransferPacket, 0, packet.encode(), 0);
        out.insert(out.end(), aux.begin(), aux.end());
    };
    const std::vector<uint8_t> chunk(kCopyChunk, 'c');
    const auto intent = named ? FileTransferIntent::managedCopy : FileTransferIntent::copy;
    if (named) add(Op::directSave, options.rawValue, 0, "~/In");
    if (stage >= CopyStage::folderBeingOpened)
        add(Op::batchStart, 2 * kCopyChunk, packBatchStartValue2(intent, 1), "",
            FileTransferService::encodeItemNames({"a.bin"}));
    if (stage >= CopyStage::filesArriving) {
        add(Op::fileStart, 2 * kCopyChunk, 0, "a.bin");
        add(Op::fileChunk, 0, 0, "a.bin", chunk);
    }
    if (stage >= CopyStage::waitingForASaveLocation) {
        add(Op::fileChunk, kCopyChunk, 0, "a.bin", chunk);
        add(Op::fileEnd, 2 * kCopyChunk, 0, "a.bin");
        add(Op::batchEnd, 0, 0, "");
    }
    if (cancelled) add(Op::cancelBatch, 0, 0, "");
    return out;
}

std::vector<uint8_t> copyGivenUp(CopyStage stage) {
    const auto options = stage == CopyStage::askedAboutATakenName ? FileTransferDeliveryOptions::promptForConflicts
                                                                  : FileTransferDeliveryOptions();
    return copyPackets(platform::UUID::random(), stage, stage != CopyStage::waitingForASaveLocation, options, true);
}

void BM_CancelledCopies(benchmark::State& state) {
    constexpr int kCopies = 400;
    const auto stage = static_cast<CopyStage>(state.range(0));
    const std::string from = "127.0.0." + std::to_string(10 + state.range(0));
    // What a Host keeps once it has served a first Viewer is not counted
    // against the first stage.
    static const bool warmedUp = [] {
        AuxPacketCutter cutter(AuxPacketCutter::postLoginPayloadLimit);
        const int fd = logInViewer(gWholeHost, gWholeHost.audioPort, 0x01, cutter, "127.0.0.9");
        if (fd >= 0) ::close(fd);
        platform::sleepFor(10);
        return fd >= 0;
    }();
    if (!warmedUp) {
        state.SkipWithError("the Viewer did not get in");
        return;
    }
    for (auto _ : state) {
        const size_t descriptorsBefore = hostDescriptors(gWholeHost);
        const size_t stagedBefore = stagedItems();
        const double rssBefore = hostRssMiB(gWholeHost);
        AuxPacketCutter cutter(AuxPacketCutter::postLoginPayloadLimit);
        const int fd = logInViewer(gWholeHost, gWholeHost.audioPort, 0x01, cutter, from.c_str());
        if (fd < 0) {
            state.SkipWithError("the Viewer did not get in");
            return;
        }
        std::atomic<bool> running{true};
        std::thread reader([&] { drain(fd, running); });
        // The Host's figures at their highest while the copies come.
        std::atomic<bool> sampling{true};
        size_t descriptorsPeak = descriptorsBefore;
        double rssPeak = rssBefore;
        std::thread sampler([&] {
            while (sampling) {
                descriptorsPeak = std::max(descriptorsPeak, hostDescriptors(gWholeHost));
                rssPeak = std::max(rssPeak, hostRssMiB(gWholeHost));
                platform::sleepFor(0.05);
            }
        });
        // The name the question is about is taken by a copy that arrives
        // whole first.
        if (stage == CopyStage::askedAboutATakenName) {
            writeAll(fd, copyPackets(platform::UUID::random(), stage, true, {}, false));
            platform::sleepFor(2);
        }
        const double start = seconds();
        for (int i = 0; i < kCopies; ++i) writeAll(fd, copyGivenUp(stage));
        const double sent = seconds() - start;
        platform::sleepFor(2);
        const size_t descriptorsSettled = hostDescriptors(gWholeHost);
        const size_t stagedSettled = stagedItems();
        running = false;
        reader.join();
        ::close(fd);
        platform::sleepFor(10);
        sampling = false;
        sampler.join();
        const size_t descriptorsAfter = hostDescriptors(gWholeHost);
        const size_t stagedAfter = stagedItems();
        const double rssAfter = hostRssMiB(gWholeHost);

        state.counters["copies_per_s"] = kCopies / sent;
        state.counters["fds_before"] = double(descriptorsBefore);
        state.counters["fds_peak"] = double(descriptorsPeak);
        state.counters["fds_2s_after_last_copy"] = double(descriptorsSettled);
        state.counters["fds_10s_after_leaving"] = double(descriptorsAfter);
        state.counters["rss_peak_growth_MiB"] = rssPeak - rssBefore;
        state.counters["rss_10s_after_leaving_growth_MiB"] = rssAfter - rssBefore;
        state.counters["staged_10s_after_leaving"] = double(stagedAfter);
        const char* names[] = {"before the start", "while its folder is opened", "while its file arrives",
                               "once ended, waiting for a save location",
                               "once ended, asked about a taken name"};
        std::printf(
            "\nClosing note: %d copies given up %s, sent in %.2f s\n"
            "  Host descriptors: %zu before, %zu at the peak, %zu 2 s after the last copy, %zu 10 s after the peer "
            "left\n"
            "  Host RSS: %.1f MiB before, %.1f MiB at the peak, %.1f MiB 10 s after the peer left\n"
            "  items in staging: %zu before, %zu 2 s after the last copy, %zu 10 s after the peer left\n",
            kCopies, names[state.range(0)], sent, descriptorsBefore, descriptorsPeak, descriptorsSettled,
            descriptorsAfter, rssBefore, rssPeak, rssAfter, stagedBefore, stagedSettled, stagedAfter);
    }
}
BENCHMARK(BM_CancelledCopies)
    ->ArgName("stage")
    ->DenseRange(0, 4)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

// The Host's descriptors and RSS at their highest, sampled every 50 ms
// from construction until stop().
class HostPeaks {
public:
    explicit HostPeaks(const BenchHost& host)
        : host_(host), descriptors_(hostDescriptors(host)), rss_(hostRssMiB(host)), sampler_([this] { sample(); }) {}
    ~HostPeaks() { stop(); }
    void stop() {
        sampling_ = false;
        if (sampler_.joinable()) sampler_.join();
    }
    size_t descriptors() const { return descriptors_; }
    double rssMiB() const { return rss_; }

private:
    void sample() {
        while (sampling_) {
            descriptors_ = std::max(descriptors_.load(), hostDescriptors(host_));
            rss_ = std::max(rss_.load(), hostRssMiB(host_));
            platform::sleepFor(0.05);
        }
    }
    const BenchHost& host_;
    std::atomic<bool> sampling_{true};
    std::atomic<size_t> descriptors_;
    std::atomic<double> rss_;
    std::thread sampler_;
};

constexpr double kMiB = 1 << 20;

// --- Packets that never finish arriving ----------------------------------------

// Each connection announces the largest packet a logged-in Viewer may send
// and sends all of its payload but the last MiB.
constexpr size_t kUnfinishedPayloadBytes = AuxPacketCutter::postLoginPayloadLimit;
constexpr size_t kUnfinishedSentBytes = kUnfinishedPayloadBytes - (size_t{1} << 20);

// One logged-in connection of a peer that stops in the middle of a packet
// without closing, or trickles the rest of it: what it sends, and when the
// Host ended it.
struct UnfinishedPacket {
    int fd = -1;
    // Its header in two writes, apart long enough for the Host to read
    // them apart.
    bool splitHeader = false;
    // After its first MiB, one byte every kTrickleGapSeconds instead of
    // the rest.
    bool trickle = false;
    static constexpr double kTrickleGapSeconds = 20;
    // All of it instead of all but its last MiB.
    bool whole = false;
    std::atomic<double> endedAt{-1};  // when its end was read, or -1
    std::atomic<double> sentAt{-1};   // when all it sends was written, or -1

    // Until all is sent, the connection refuses the rest, or (trickling)
    // the Host ended it or `running` is cleared.
    void send(const std::atomic<bool>& running) {
        AuxPacketHeader header;
        header.type = AuxPacketType::clipboardTransfer;
        header.payloadLength = static_cast<uint32_t>(kUnfinishedPayloadBytes);
        const auto encoded = header.encode();
        const size_t firstWrite = splitHeader ? 10 : encoded.size();
        if (!writeAll(fd, std::vector<uint8_t>(encoded.begin(), encoded.begin() + firstWrite))) return;
        if (splitHeader) {
            platform::sleepFor(0.2);
            if (!writeAll(fd, std::vector<uint8_t>(encoded.begin() + firstWrite, encoded.end()))) return;
        }
        const std::vector<uint8_t> chunk(size_t{1} << 20, 't');
        if (trickle) {
            if (!writeAll(fd, chunk)) return;
            const std::vector<uint8_t> byte(1, 't');
            double next = seconds() + kTrickleGapSeconds;
            while (running && endedAt < 0) {
                if (seconds() < next) {
                    platform::sleepFor(0.1);
                    continue;
                }
                if (!writeAll(fd, byte)) return;
                next += kTrickleGapSeconds;
            }
            return;
        }
        const size_t toSend = whole ? kUnfinishedPayloadBytes : kUnfinishedSentBytes;
        for (size_t sent = 0; sent < toSend; sent += chunk.size())
            if (!writeAll(fd, chunk)) return;
        sentAt = seconds();
    }
    // Reads and drops what the Host sends until it ends the connection or
    // `running` is cleared.
    void watch(const std::atomic<bool>& running) {
        const timeval timeout{0, 200000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        std::vector<uint8_t> buffer(65536);
        while (running) {
            const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))) continue;
            endedAt = seconds();
            return;
        }
    }
};

void BM_UnfinishedPackets(benchmark::State& state) {
    const int perPeer = static_cast<int>(state.range(0));
    const int peers = static_cast<int>(state.range(1));
    const bool splitHeaders = state.range(2) != 0;
    // What a peer's account lets the Host hold of packets still arriving:
    // one of them whole, however large, and the budget for the rest.
    const double boundPerPeerMiB =
        double(AuxPacketHeader::size + kUnfinishedPayloadBytes + AuxAdmission::workBudgetBytesPerPeer) / kMiB;
    for (auto _ : state) {
        platform::sleepFor(2);  // what an earlier case left has settled
        const size_t descriptorsBefore = hostDescriptors(gWholeHost);
        const double rssBefore = hostRssMiB(gWholeHost);
        HostPeaks peaks(gWholeHost);
        std::vector<std::unique_ptr<UnfinishedPacket>> connections;
        for (int peer = 0; peer < peers; ++peer) {
            const std::string from = "127.0.0." + std::to_string(20 + peer);
            for (int i = 0; i < perPeer; ++i) {
                AuxPacketCutter cutter(AuxPacketCutter::postLoginPayloadLimit);
                const int fd = logInViewer(gWholeHost, gWholeHost.audioPort, 0x01, cutter, from.c_str());
                if (fd < 0) continue;
                connections.push_back(std::make_unique<UnfinishedPacket>());
                connections.back()->fd = fd;
                connections.back()->splitHeader = splitHeaders;
            }
        }
        if (connections.empty()) {
            state.SkipWithError("the peers did not get in");
            return;
        }
        std::atomic<bool> running{true};
        std::vector<std::thread> threads;
        const double start = seconds();
        for (const auto& connection : connections) {
            threads.emplace_back([&running, c = connection.get()] { c->send(running); });
            threads.emplace_back([&running, c = connection.get()] { c->watch(running); });
        }
        // A peer's packets take its place one after the other, each for its
        // whole-arrival bound at most; past that, with margin, the peers
        // give up.
        const double giveUpAt =
            start +
            perPeer * (platform::ReceiveTurns::arrivalBoundSeconds(AuxPacketHeader::size + kUnfinishedPayloadBytes) +
                       10) +
            30;
        auto allEnded = [&] {
            return std::all_of(connections.begin(), connections.end(), [](const auto& c) { return c->endedAt >= 0; });
        };
        while (!allEnded() && seconds() < giveUpAt) platform::sleepFor(0.1);
        const double leftAt = seconds();
        size_t endedByHost = 0;
        double firstEnded = -1, lastEnded = -1;
        for (const auto& connection : connections) {
            const double at = connection->endedAt;
            if (at < 0) continue;
            endedByHost += 1;
            firstEnded = firstEnded < 0 ? at - start : std::min(firstEnded, at - start);
            lastEnded = std::max(lastEnded, at - start);
        }
        // The peers leave: whatever is still blocked in a send is woken.
        for (const auto& connection : connections) ::shutdown(connection->fd, SHUT_RDWR);
        running = false;
        for (auto& t : threads) t.join();
        for (const auto& connection : connections) ::close(connection->fd);
        platform::sleepFor(leftAt + 10 - seconds());
        peaks.stop();
        const size_t descriptorsAfter = hostDescriptors(gWholeHost);
        const double rssAfter = hostRssMiB(gWholeHost);
        const double peakGrowth = peaks.rssMiB() - rssBefore;
        const double bound = peers * boundPerPeerMiB;

        state.counters["connections_in"] = double(connections.size());
        state.counters["ended_by_host"] = double(endedByHost);
        state.counters["last_ended_s"] = lastEnded;
        state.counters["fds_before"] = double(descriptorsBefore);
        state.counters["fds_peak"] = double(peaks.descriptors());
        state.counters["fds_10s_after_leaving"] = double(descriptorsAfter);
        state.counters["rss_peak_growth_MiB"] = peakGrowth;
        state.counters["rss_10s_after_leaving_growth_MiB"] = rssAfter - rssBefore;
        state.counters["rss_peak_bound_MiB"] = bound;
        state.counters["rss_peak_within_bound"] = peakGrowth <= bound ? 1 : 0;
        std::printf(
            "\nClosing note: %d peer(s), %zu connection(s) in of %d, each sent %.0f MiB of a %.0f MiB packet (its "
            "header %s) and stopped\n"
            "  ended by the Host: %zu, the first %.1f s and the last %.1f s after they stopped\n"
            "  Host descriptors: %zu before, %zu at the peak, %zu 10 s after the peers left\n"
            "  Host RSS: %.1f MiB before, %.1f MiB at the peak (%+.1f MiB; %s the %.0f MiB the accounts allow), "
            "%.1f MiB 10 s after the peers left (%+.1f MiB)\n",
            peers, connections.size(), perPeer * peers, double(kUnfinishedSentBytes) / kMiB,
            double(kUnfinishedPayloadBytes) / kMiB, splitHeaders ? "in two writes" : "whole", endedByHost, firstEnded, lastEnded, descriptorsBefore,
            peaks.descriptors(), descriptorsAfter, rssBefore, peaks.rssMiB(), peakGrowth,
            peakGrowth <= bound ? "within" : "above", bound, rssAfter, rssAfter - rssBefore);
    }
}
// The arguments: how many connections each peer logs in, how many peers,
// and whether each header comes in two writes.
BENCHMARK(BM_UnfinishedPackets)
    ->ArgNames({"connections", "peers", "split"})
    ->Args({6, 1, 0})
    ->Args({6, 2, 0})
    ->Args({6, 1, 1})
    ->Args({6, 2, 1})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

// TricklingPackets/peers:P runs against the same whole Host: each peer
// (127.0.0.4N) logs in two connections on 7346. The first announces a
// 64 MiB packet in a header of two writes, sends its first MiB and then one
// byte every 20 s; the second sends a whole 64 MiB packet behind it, which
// waits for the peer's place. The closing note gives when the Host ended
// each trickling connection against the whole-arrival bound of its packet,
// when the second packets were all taken, and the Host's RSS peak against
// what the accounts allow. What it should show: every trickling packet is
// ended within its bound, the packet behind it then arrives, and the peak
// grows by at most one packet and the budget a peer.
void BM_TricklingPackets(benchmark::State& state) {
    const int peers = static_cast<int>(state.range(0));
    const size_t wholeBytes = AuxPacketHeader::size + kUnfinishedPayloadBytes;
    const double arrivalBound = platform::ReceiveTurns::arrivalBoundSeconds(wholeBytes);
    const double boundPerPeerMiB = double(wholeBytes + AuxAdmission::workBudgetBytesPerPeer) / kMiB;
    for (auto _ : state) {
        platform::sleepFor(2);  // what an earlier case left has settled
        const double rssBefore = hostRssMiB(gWholeHost);
        HostPeaks peaks(gWholeHost);
        std::vector<std::unique_ptr<UnfinishedPacket>> tricklers, followers;
        for (int peer = 0; peer < peers; ++peer) {
            const std::string from = "127.0.0." + std::to_string(40 + peer);
            AuxPacketCutter cutter(AuxPacketCutter::postLoginPayloadLimit);
            const int first = logInViewer(gWholeHost, gWholeHost.audioPort, 0x01, cutter, from.c_str());
            AuxPacketCutter secondCutter(AuxPacketCutter::postLoginPayloadLimit);
            const int second = logInViewer(gWholeHost, gWholeHost.audioPort, 0x01, secondCutter, from.c_str());
            if (first < 0 || second < 0) continue;
            tricklers.push_back(std::make_unique<UnfinishedPacket>());
            tricklers.back()->fd = first;
            tricklers.back()->splitHeader = true;
            tricklers.back()->trickle = true;
            followers.push_back(std::make_unique<UnfinishedPacket>());
            followers.back()->fd = second;
            followers.back()->whole = true;
        }
        if (tricklers.empty()) {
            state.SkipWithError("the peers did not get in");
            return;
        }
        std::atomic<bool> running{true};
        std::vector<std::thread> threads;
        const double start = seconds();
        for (const auto* group : {&tricklers, &followers}) {
            for (const auto& connection : *group) {
                threads.emplace_back([&running, c = connection.get()] { c->send(running); });
                threads.emplace_back([&running, c = connection.get()] { c->watch(running); });
            }
            // The trickling packets take the places first.
            platform::sleepFor(1);
        }
        auto done = [&] {
            for (size_t i = 0; i < tricklers.size(); ++i)
                if (tricklers[i]->endedAt < 0 || followers[i]->sentAt < 0) return false;
            return true;
        };
        const double giveUpAt = start + arrivalBound + 60;
        while (!done() && seconds() < giveUpAt) platform::sleepFor(0.1);
        double lastEnded = -1, lastFollowerSent = -1;
        size_t endedWithinBound = 0, followersSent = 0;
        for (size_t i = 0; i < tricklers.size(); ++i) {
            const double ended = tricklers[i]->endedAt, sent = followers[i]->sentAt;
            if (ended >= 0) {
                lastEnded = std::max(lastEnded, ended - start);
                endedWithinBound += ended - start <= arrivalBound + 1 ? 1 : 0;
            }
            if (sent >= 0) {
                followersSent += 1;
                lastFollowerSent = std::max(lastFollowerSent, sent - start);
            }
        }
        for (const auto* group : {&tricklers, &followers})
            for (const auto& connection : *group) ::shutdown(connection->fd, SHUT_RDWR);
        running = false;
        for (auto& t : threads) t.join();
        for (const auto* group : {&tricklers, &followers})
            for (const auto& connection : *group) ::close(connection->fd);
        peaks.stop();
        const double peakGrowth = peaks.rssMiB() - rssBefore;
        const double bound = peers * boundPerPeerMiB;
        state.counters["trickling_ended_within_bound"] = double(endedWithinBound);
        state.counters["last_trickling_ended_s"] = lastEnded;
        state.counters["arrival_bound_s"] = arrivalBound;
        state.counters["followers_arrived"] = double(followersSent);
        state.counters["rss_peak_growth_MiB"] = peakGrowth;
        state.counters["rss_peak_within_bound"] = peakGrowth <= bound ? 1 : 0;
        std::printf(
            "\nClosing note: %d peer(s), each trickling a byte every %.0f s of a %.0f MiB packet (header in two "
            "writes) with a whole one behind it\n"
            "  trickling packets ended by the Host within their %.1f s bound: %zu of %zu, the last %.1f s after "
            "they began\n"
            "  packets behind them taken whole: %zu, the last %.1f s after they began\n"
            "  Host RSS: %.1f MiB before, %.1f MiB at the peak (%+.1f MiB; %s the %.0f MiB the accounts allow)\n",
            peers, UnfinishedPacket::kTrickleGapSeconds, double(kUnfinishedPayloadBytes) / kMiB, arrivalBound,
            endedWithinBound, tricklers.size(), lastEnded, followersSent, lastFollowerSent, rssBefore,
            peaks.rssMiB(), peakGrowth, peakGrowth <= bound ? "within" : "above", bound);
    }
}
BENCHMARK(BM_TricklingPackets)->ArgNames({"peers"})->Arg(1)->Arg(2)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// --- Listings nobody reads -------------------------------------------------------

constexpr size_t kListedEntries = 12'000;
// Listing requests written at a time.
constexpr int kListingsPerWrite = 16;

// "Listed" in the whole Host's home, holding more entries than a listing
// takes; made once.
bool makeListedFolder() {
    const auto folder = platform::Folders::home() / "Listed";
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) return false;
    for (size_t i = 0; i < kListedEntries; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "entry %05zu of a folder listed over and over.txt", i);
        std::ofstream(folder / name).put('l');
    }
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(folder, error), {})) >=
           kListedEntries;
}

// A peer logged in on the audio port that asks for "~/Listed" on its file
// channel, over and over, and never reads that channel.
struct UnreadListings {
    int control = -1, channel = -1;
    std::atomic<uint64_t> asked{0};

    bool start(const char* from) {
        AuxPacketCutter cutter(AuxPacketCutter::postLoginPayloadLimit);
        control = logInViewer(gWholeHost, gWholeHost.audioPort, 0x01, cutter, from);
        if (control < 0) return false;
        channel = openFileChannel(control, cutter, from);
        return channel >= 0;
    }
    void ask(const std::atomic<bool>& asking) {
        std::vector<uint8_t> requests;
        for (int i = 0; i < kListingsPerWrite; ++i) {
            const FileTransferPacket packet{FileTransferOp::listDir, platform::UUID::random(), 0, 0, "~/Listed", {}};
            const auto frame = fileChannelFrame(packet.encode());
            requests.insert(requests.end(), frame.begin(), frame.end());
        }
        while (asking && writeAll(channel, requests)) asked += kListingsPerWrite;
    }
};

void BM_UnreadListings(benchmark::State& state) {
    const double askSeconds = numberFromEnvironment("NORVESSAL_FLOOD_SECONDS", 15.0);
    static const bool made = makeListedFolder();
    if (!made) {
        state.SkipWithError("the folder to list could not be made");
        return;
    }
    const int peers = static_cast<int>(state.range(0));
    for (auto _ : state) {
        std::atomic<bool> running{true};
        StreamingViewer watcher;
        std::thread watcherThread([&] { watcher.run(gWholeHost, running); });
        platform::sleepFor(6);  // the stream starts and settles
        const double beforeFrom = seconds() - 4, beforeTo = seconds();
        const size_t descriptorsBefore = hostDescriptors(gWholeHost);
        const double rssBefore = hostRssMiB(gWholeHost);
        HostPeaks peaks(gWholeHost);

        std::vector<std::unique_ptr<UnreadListings>> inside;
        bool allIn = true;
        for (int peer = 0; peer < peers && allIn; ++peer) {
            inside.push_back(std::make_unique<UnreadListings>());
            allIn = inside.back()->start(("127.0.0." + std::to_string(30 + peer)).c_str());
        }
        std::atomic<bool> asking{allIn}, reading{true};
        std::vector<std::thread> threads;
        const double start = seconds();
        for (const auto& peer : inside) {
            if (peer->control >= 0) threads.emplace_back([&reading, p = peer.get()] { drain(p->control, reading); });
            if (peer->channel >= 0) threads.emplace_back([&asking, p = peer.get()] { p->ask(asking); });
        }
        if (allIn) platform::sleepFor(askSeconds);
        const double leftAt = seconds();
        const double fpsDuring = watcher.fps(start + 1, leftAt);
        // The peers leave: a request blocked in its send is woken.
        asking = false;
        for (const auto& peer : inside)
            for (int fd : {peer->control, peer->channel})
                if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
        reading = false;
        for (auto& t : threads) t.join();
        uint64_t asked = 0;
        for (const auto& peer : inside) {
            asked += peer->asked;
            for (int fd : {peer->control, peer->channel})
                if (fd >= 0) ::close(fd);
        }
        platform::sleepFor(leftAt + 10 - seconds());
        peaks.stop();
        const size_t descriptorsAfter = hostDescriptors(gWholeHost);
        const double rssAfter = hostRssMiB(gWholeHost);
        const double fpsBefore = watcher.fps(beforeFrom, beforeTo);
        running = false;
        watcherThread.join();
        if (watcher.fd >= 0) ::close(watcher.fd);
        if (!allIn) {
            state.SkipWithError("the peers did not get in");
            return;
        }

        const double peakGrowth = peaks.rssMiB() - rssBefore;
        state.counters["listings_asked_per_s"] = double(asked) / (leftAt - start);
        state.counters["fps_before"] = fpsBefore;
        state.counters["fps_during"] = fpsDuring;
        state.counters["fds_before"] = double(descriptorsBefore);
        state.counters["fds_peak"] = double(peaks.descriptors());
        state.counters["fds_10s_after_leaving"] = double(descriptorsAfter);
        state.counters["rss_peak_growth_MiB"] = peakGrowth;
        state.counters["rss_peak_growth_per_peer_MiB"] = peakGrowth / peers;
        state.counters["rss_10s_after_leaving_growth_MiB"] = rssAfter - rssBefore;
        std::printf(
            "\nClosing note: %d peer(s) asked for a listing of %zu entries %.0f times a second for %.1f s, "
            "reading none\n"
            "  watcher (Easy): %.1f fps before, %.1f fps during (%.2f of before)\n"
            "  Host descriptors: %zu before, %zu at the peak, %zu 10 s after the peers left\n"
            "  Host RSS: %.1f MiB before, %.1f MiB at the peak (%+.1f MiB, %+.1f MiB a peer; %.0f MiB a peer may "
            "wait to be sent), %.1f MiB 10 s after the peers left (%+.1f MiB)\n",
            peers, kListedEntries, double(asked) / (leftAt - start), leftAt - start, fpsBefore, fpsDuring,
            fpsBefore > 0 ? fpsDuring / fpsBefore : 0, descriptorsBefore, peaks.descriptors(), descriptorsAfter,
            rssBefore, peaks.rssMiB(), peakGrowth, peakGrowth / peers,
            double(platform::WorkLedger::kMaxSendingBytes) / kMiB, rssAfter, rssAfter - rssBefore);
    }
}
// The argument: how many peers ask.
BENCHMARK(BM_UnreadListings)
    ->ArgName("peers")
    ->Arg(1)
    ->Arg(4)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

// The arguments: how many connections each flooding peer tries to log in,
// and how many peers flood.
BENCHMARK(BM_FloodAgainstOtherViewers)
    ->ArgNames({"connections", "peers"})
    ->Args({2, 1})
    ->Args({16, 1})
    ->Args({32, 1})
    ->Args({6, 6})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    // The Host starts before any thread does, as it would on its own.
    gHost = startBenchHost("bench-flood-");
    gWholeHost = startWholeBenchHost("bench-flood-whole-");
    // What the parent reads of the whole Host's folders is its data root's.
    platform::Folders::setOverrideRoot(gWholeHost.root);
    std::thread logReader(readHostLog);
    logReader.detach();
    std::thread wholeLogReader(drainWholeHostLog);
    wholeLogReader.detach();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    stopBenchHost(gHost);
    stopBenchHost(gWholeHost);
    return 0;
}
