// Peers asking the Host to send them a folder of 200,000 files, beside a
// Viewer that watches the stream.
//
// The whole Host (its delegate, which serves peer-send requests, on the real
// runtime and an in-memory directory) runs in a child process, with a data
// root whose home holds "Wide": 200,000 empty files. A second Viewer streams
// the Easy mode on 7347 from 127.0.0.1 and acknowledges every frame; then
// each peer, from 127.0.0.2 on (as many as the second argument), logs in on
// 7346 and asks for "~/Wide" as many times as the first argument says (the
// Host serves 4 of a peer's requests at once), reading everything the Host
// sends. Half way through the sends a third Viewer logs in from 127.0.0.1;
// then the peers close their connections and leave.
//
// The closing note gives the Host's RSS before, at its peak while it sends,
// and 10 s after the peers left; the sends its peers' accounts still hold
// then, by the Host's own count (and how long after the peers left that
// count reached zero); the files the peers were announced and received; the
// second Viewer's frames per second before and during the sends; and the
// third Viewer's connect-to-login time. What it should show: the peak grows
// by a window per send, not by the folder's list; within 10 s of leaving
// the count is zero and the RSS back within a few MiB of before; the
// second Viewer keeps 0.8 of its rate and the third logs in within a
// second.
// SendSeconds (environment NORVESSAL_PEER_SEND_SECONDS, default 10) sets
// how long the peers stay.

#include <benchmark/benchmark.h>
#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>

#include "BenchHost.h"
#include "HostApp/HostProbeDelegate.h"
#include "Platform/AppKit/AppKit.h"
#include "Platform/Network/NetworkBrowser.h"
#include "Platform/Runtime/ProcessRunner.h"
#include "Platform/Runtime/WorkLedger.h"
#include "VelantrixProfiles/FileTransfer/FileTransferPacket.h"
#include "VelantrixProfiles/FileTransfer/FileTransferPeerSend.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kFolderFiles = 200'000;

struct WholeHost {
    BenchHost host;
    // Asks the child how many sends the peers' accounts hold.
    int askFd = -1, answerFd = -1;
};
WholeHost gHost;
std::string gPeers[16];

double seconds() { return StreamingViewer::seconds(); }

fs::path benchRoot() { return fs::temp_directory_path() / ("bench-flood-peer-sends-" + std::to_string(::getpid())); }

// "Wide" in the home of the data root, made once.
void makeFolder(const fs::path& root) {
    const fs::path wide = root / "home" / "Wide";
    fs::create_directories(wide);
    const int folder = ::open(wide.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (size_t i = 0; i < kFolderFiles; i++) {
        const std::string name = "file " + std::to_string(i);
        const int file = ::openat(folder, name.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        if (file >= 0) ::close(file);
    }
    ::close(folder);
}

// The child: the whole Host, as `main` runs it, until SIGTERM. Its ports go
// down `portPipe`; each byte read from `askPipe` is answered on
// `answerPipe` with the sends the peers' accounts hold (a uint64_t).
[[noreturn]] void runWholeHost(int portPipe, int askPipe, int answerPipe, const std::string& user,
                               const fs::path& root, int peers) {
    platform::Folders::setOverrideRoot(root);
    auto& machine = platform::SimulatedMachine::current();
    platform::SimulatedBonjourBrowsing::Script ready;
    ready.states = {{0, {platform::NetworkBrowserState::Kind::ready, ""}}};
    machine.component<platform::SimulatedBonjourBrowsing>().setScript(ready);
    machine.component<platform::SimulatedProcessLaunches>().setRecordsInsteadOfLaunching(true);
    auto directory = std::make_shared<platform::InMemoryDirectory>();
    directory->setUser(user, kBenchPassword);
    V230HostAudioAuxServerConfiguration configuration;
    configuration.audioPort = configuration.videoPort = configuration.filePort = 0;
    configuration.bindAddress = "127.0.0.1";
    configuration.directory = directory;
    configuration.dnsRegistration = std::make_shared<SilentRegistration>();
    configuration.routeRecordSource = [] { return BonjourAdvertiser::Routes{}; };
    auto* delegate = new std::shared_ptr<HostProbeDelegate>(std::make_shared<HostProbeDelegate>(HostLaunchFlags{},
                                                                                                 configuration));
    platform::installTerminationHandler([delegate](int sig) { (*delegate)->handleTerminationSignal(sig); });
    auto& app = platform::Application::shared();
    app.setDelegate(*delegate);
    app.setActivationPolicy(platform::ApplicationActivationPolicy::regular);
    std::thread([delegate, portPipe, askPipe, answerPipe, peers] {
        for (;;) {
            auto server = (*delegate)->audioServer();
            if (server && server->boundAudioPort() != 0 && server->boundVideoPort() != 0) {
                const uint16_t ports[2] = {server->boundAudioPort(), server->boundVideoPort()};
                if (::write(portPipe, ports, sizeof ports) != sizeof ports) std::_Exit(1);
                ::close(portPipe);
                break;
            }
            platform::sleepFor(0.02);
        }
        for (char asked; ::read(askPipe, &asked, 1) == 1;) {
            uint64_t held = 0;
            if (auto server = (*delegate)->audioServer()) {
                held = server->queue.syncValue([&] {
                    uint64_t sends = 0;
                    for (int peer = 0; peer < peers; ++peer)
                        if (auto ledger = server->ledgerOfPeerForTesting(gPeers[peer]))
                            sends += ledger->held(platform::WorkLedger::Held::sends);
                    return sends;
                });
            }
            if (::write(answerPipe, &held, sizeof held) != sizeof held) break;
        }
    }).detach();
    const int status = app.run();
    (*delegate)->waitForServerStopAfterRunLoop(5);
    std::fflush(nullptr);
    std::_Exit(status);
}

WholeHost startWholeHost(int peers) {
    WholeHost whole;
    const fs::path root = benchRoot();
    makeFolder(root);
    int ports[2], log[2], ask[2], answer[2];
    if (::pipe(ports) != 0 || ::pipe(log) != 0 || ::pipe(ask) != 0 || ::pipe(answer) != 0) std::abort();
    whole.host.user = platform::SimulatedMachine::current().consoleSession().userName;
    whole.host.pid = ::fork();
    if (whole.host.pid == 0) {
        ::dup2(log[1], STDERR_FILENO);
        for (int fd : {log[0], ports[0], ask[1], answer[0]}) ::close(fd);
        runWholeHost(ports[1], ask[0], answer[1], whole.host.user, root, peers);
    }
    for (int fd : {log[1], ports[1], ask[0], answer[1]}) ::close(fd);
    uint16_t bound[2] = {};
    if (::read(ports[0], bound, sizeof bound) != sizeof bound) std::abort();
    ::close(ports[0]);
    whole.host.audioPort = bound[0];
    whole.host.videoPort = bound[1];
    whole.host.logFd = log[0];
    whole.askFd = ask[1];
    whole.answerFd = answer[0];
    return whole;
}

// The sends the peers' accounts hold now, by the Host's count.
uint64_t sendsHeld() {
    const char asked = 1;
    uint64_t held = 0;
    if (::write(gHost.askFd, &asked, 1) != 1 || ::read(gHost.answerFd, &held, sizeof held) != sizeof held) return ~0ull;
    return held;
}

// Keeps the child's standard error from filling its pipe.
void readHostLog() {
    char buffer[65536];
    while (::read(gHost.host.logFd, buffer, sizeof buffer) > 0) {
    }
}

// A peer: logged in on 7346, its requests sent, and everything the Host
// sends read, counting the files announced and those that started.
struct Peer {
    int fd = -1;
    std::atomic<uint64_t> announced{0}, fileStarts{0};

    bool start(const char* from, int requests) {
        AuxPacketCutter cutter(AuxPacketCutter::postLoginPayloadLimit);
        fd = logInViewer(gHost.host, gHost.host.audioPort, 0x01, cutter, from);
        if (fd < 0) return false;
        for (int i = 0; i < requests; ++i) {
            FileTransferPacket packet;
            packet.op = FileTransferOp::peerSendRequest;
            packet.batchID = platform::UUID::random();
            packet.data = FileTransferPeerSendRequest({"~/Wide"}, "Inbox", {}).encode();
            if (!writeAll(fd, makeAuxPacket(AuxPacketType::fileTransferPacket, 0, packet.encode(), 0))) return false;
        }
        return true;
    }
    void read(const std::atomic<bool>& running) {
        const timeval timeout{0, 200000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        AuxPacketCutter cutter(AuxPacketCutter::postLoginPayloadLimit);
        std::vector<uint8_t> buffer(262144);
        while (running) {
            const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (n == 0) return;
            if (n < 0) continue;
            cutter.append({buffer.data(), static_cast<size_t>(n)});
            for (auto next = cutter.next(); next.status == AuxPacketCutter::Status::packet; next = cutter.next()) {
                if (next.header.type != AuxPacketType::fileTransferPacket) continue;
                auto packet = FileTransferPacket::decode(next.payload);
                if (!packet) continue;
                if (packet->op == FileTransferOp::batchStart) announced += batchStartFileCount(packet->value2);
                if (packet->op == FileTransferOp::fileStart) fileStarts += 1;
            }
        }
    }
};

void BM_PeerSendsOfAWideFolder(benchmark::State& state) {
    const double sendSeconds = numberFromEnvironment("NORVESSAL_PEER_SEND_SECONDS", 10.0);
    const int requests = static_cast<int>(state.range(0));
    const int peers = static_cast<int>(state.range(1));
    for (auto _ : state) {
        std::atomic<bool> running{true};
        StreamingViewer second;
        std::thread secondThread([&] { second.run(gHost.host, running); });
        platform::sleepFor(6);  // the stream starts and settles
        const double beforeFrom = seconds() - 4, beforeTo = seconds();
        const double rssBefore = hostRssMiB(gHost.host);

        std::vector<std::unique_ptr<Peer>> inside;
        std::vector<std::thread> threads;
        std::atomic<bool> reading{true};
        const double sendStart = seconds();
        for (int peer = 0; peer < peers; ++peer) {
            auto one = std::make_unique<Peer>();
            if (!one->start(gPeers[peer].c_str(), requests)) continue;
            threads.emplace_back([&reading, p = one.get()] { p->read(reading); });
            inside.push_back(std::move(one));
        }
        // The Host's RSS, sampled while the peers are in.
        std::atomic<bool> sampling{true};
        std::atomic<double> peak{rssBefore};
        std::thread sampler([&] {
            while (sampling) {
                peak = std::max(peak.load(), hostRssMiB(gHost.host));
                platform::sleepFor(0.05);
            }
        });
        platform::sleepFor(sendSeconds / 2);
        const double loginStart = seconds();
        AuxPacketCutter thirdCutter(AuxPacketCutter::postLoginPayloadLimit);
        const int third = logInViewer(gHost.host, gHost.host.audioPort, 0x01, thirdCutter);
        const double loginSeconds = third >= 0 ? seconds() - loginStart : -1;
        platform::sleepFor(sendStart + sendSeconds - seconds());
        const uint64_t heldAtLeaving = sendsHeld();
        const double leftAt = seconds();
        const double fpsDuring = second.fps(sendStart + std::min(1.0, sendSeconds / 4), leftAt);
        for (const auto& peer : inside) ::shutdown(peer->fd, SHUT_RDWR);
        reading = false;
        for (auto& t : threads) t.join();
        for (const auto& peer : inside) ::close(peer->fd);
        double zeroAfter = -1;
        while (seconds() < leftAt + 10) {
            if (zeroAfter < 0 && sendsHeld() == 0) zeroAfter = seconds() - leftAt;
            platform::sleepFor(0.02);
        }
        sampling = false;
        sampler.join();
        const double rssAfter = hostRssMiB(gHost.host);
        const uint64_t heldAfter = sendsHeld();
        const double fpsBefore = second.fps(beforeFrom, beforeTo);
        running = false;
        secondThread.join();
        uint64_t announced = 0, started = 0;
        for (const auto& peer : inside) {
            announced += peer->announced;
            started += peer->fileStarts;
        }

        state.counters["peers_in"] = double(inside.size());
        state.counters["rss_peak_growth_MiB"] = peak - rssBefore;
        state.counters["rss_growth_after_MiB"] = rssAfter - rssBefore;
        state.counters["sends_held_after"] = double(heldAfter);
        state.counters["sends_zero_after_s"] = zeroAfter;
        state.counters["fps_before"] = fpsBefore;
        state.counters["fps_during"] = fpsDuring;
        state.counters["third_login_s"] = loginSeconds;
        std::printf(
            "\nClosing note: %d peer(s) in of %d, %d request(s) each for a folder of %zu files, for %.1f s\n"
            "  files announced %llu, fileStarts received %llu; sends held when they left %llu\n"
            "  Host RSS: %.1f MiB before, %.1f MiB at the peak (%+.1f MiB), %.1f MiB 10 s after they left "
            "(%+.1f MiB)\n"
            "  sends the peers' accounts hold 10 s after they left: %llu (zero %.2f s after)\n"
            "  second Viewer (Easy): %.1f fps before, %.1f fps during (%.2f of before)\n"
            "  third Viewer: connect to login %.3f s\n",
            int(inside.size()), peers, requests, kFolderFiles, leftAt - sendStart, (unsigned long long)announced,
            (unsigned long long)started, (unsigned long long)heldAtLeaving, rssBefore, peak.load(),
            peak.load() - rssBefore, rssAfter, rssAfter - rssBefore, (unsigned long long)heldAfter, zeroAfter,
            fpsBefore, fpsDuring, fpsBefore > 0 ? fpsDuring / fpsBefore : 0, loginSeconds);
        for (int fd : {third, second.fd})
            if (fd >= 0) ::close(fd);
    }
}
// The arguments: how many requests each peer makes, and how many peers.
BENCHMARK(BM_PeerSendsOfAWideFolder)
    ->ArgNames({"requests", "peers"})
    ->Args({1, 4})
    ->Args({4, 4})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    constexpr int kMostPeers = 4;
    for (int peer = 0; peer < kMostPeers; ++peer) gPeers[peer] = "127.0.0." + std::to_string(2 + peer);
    // The Host starts before any thread does, as it would on its own.
    gHost = startWholeHost(kMostPeers);
    std::thread logReader(readHostLog);
    logReader.detach();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    stopBenchHost(gHost.host);
    std::error_code ignored;
    fs::remove_all(benchRoot(), ignored);
    return 0;
}
