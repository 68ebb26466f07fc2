// The Host under a bounded hostile load on loopback, against a well-behaved
// Viewer.
//
// The Host runs in a child process (real runtime, in-memory directory), as
// it would on a machine. ProofAndLogin times one Viewer's identity proof and
// sealed login against the idle Host; BareProofAndLoginCrypto does the same
// cryptography with the libraries alone, the floor under it.
//
// The closing note comes from one run of the load: from 127.0.0.1, 5,000
// connections opened and dropped, challenge floods on connections that never
// read, and 500 half-open connections, while a Viewer on 127.0.0.2 proves
// and logs in every 0.5 s. It gives the Viewer's proof and login times, the
// Host's peak descriptors and RSS growth, the log lines per second, and the
// time from SIGTERM, sent as the load ends, to the Host's exit.

#include <benchmark/benchmark.h>

#include <dirent.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "BenchHost.h"
#include "Platform/Runtime/Clock.h"
#include "Platform/Runtime/Dispatch.h"

namespace crypto = platform::crypto;

namespace {

constexpr const char* kViewerAddress = "127.0.0.2";

BenchHost gHost;

// A read on a Viewer's connection gives up after 5 s, so a Host that stops
// answering fails a session rather than hanging the benchmark.
int connectFrom(const char* local, uint16_t port, bool blocking = true) {
    return connectLoopback(port, {.from = local, .blocking = blocking, .receiveTimeoutSeconds = 5});
}

struct ViewerTimes {
    double proofMs = -1, loginMs = -1;
};

// One well-behaved Viewer: proof, verified, then the login; times from the
// connect to the proof and from the login to the session information.
ViewerTimes viewerSession() {
    ViewerTimes times;
    const uint64_t start = platform::Clock::uptimeNs();
    const int fd = connectFrom(kViewerAddress, gHost.audioPort);
    if (fd < 0) return times;
    AuxPacketCutter cutter(AuxPacketCutter::postLoginPayloadLimit);
    const auto [challenge, proof] = challengeHost(fd, cutter);
    if (proof && crypto::ed25519Verify(proof->hostPublicKey,
                                       HostIdentityProofPayload::signedMessage(challenge.challenge,
                                                                               proof->hostEphemeralPublicKey),
                                       proof->signature)) {
        const uint64_t proved = platform::Clock::uptimeNs();
        times.proofMs = double(proved - start) / 1e6;
        writeAll(fd, makeAuxPacket(AuxPacketType::viewerLogin, 0, sealedLogin(*proof, gHost.user, 1), 0));
        if (readUntil(fd, cutter, AuxPacketType::hostSessionInfo))
            times.loginMs = double(platform::Clock::uptimeNs() - proved) / 1e6;
    }
    ::close(fd);
    return times;
}

// --- Benchmarks -------------------------------------------------------------------------

void BM_ProofAndLogin(benchmark::State& state) {
    for (auto _ : state) {
        auto times = viewerSession();
        if (times.loginMs < 0) state.SkipWithError("the Viewer did not get in");
    }
}
BENCHMARK(BM_ProofAndLogin)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same cryptography, both ends, with nothing around it.
void BM_BareProofAndLoginCrypto(benchmark::State& state) {
    auto identity = crypto::Ed25519Key::generate();
    for (auto _ : state) {
        auto hostEphemeral = crypto::X25519KeyPair::generate();
        std::array<uint8_t, 32> challenge{};
        auto message = HostIdentityProofPayload::signedMessage(challenge, hostEphemeral.publicKey());
        auto signature = identity.sign(message);
        benchmark::DoNotOptimize(crypto::ed25519Verify(identity.publicKey(), message, signature));
        HostIdentityProofPayload proof;
        proof.hostEphemeralPublicKey = hostEphemeral.publicKey();
        auto login = ViewerLoginPayload::decode(sealedLogin(proof, gHost.user, 1));
        auto secret = hostEphemeral.sharedSecret(login->viewerPublicKey);
        auto salt = ViewerLoginPayload::keyDerivationSalt(login->viewerPublicKey, hostEphemeral.publicKey());
        std::string_view info = ViewerLoginPayload::keyDerivationInfo;
        auto key = crypto::hkdfSha256(*secret, salt, {reinterpret_cast<const uint8_t*>(info.data()), info.size()}, 32);
        const uint8_t aad[1] = {1};
        benchmark::DoNotOptimize(crypto::chachaPolyOpen(login->sealedBox, key, aad));
    }
}
BENCHMARK(BM_BareProofAndLoginCrypto)->Unit(benchmark::kMillisecond);

// --- The load and the closing note -------------------------------------------------------------

size_t hostDescriptors() {
    size_t count = 0;
    if (DIR* dir = ::opendir(("/proc/" + std::to_string(gHost.pid) + "/fd").c_str())) {
        while (dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.';
        ::closedir(dir);
    }
    return count;
}

double percentile(std::vector<double> values, double p) {
    values.erase(std::remove(values.begin(), values.end(), -1.0), values.end());
    if (values.empty()) return -1;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p * double(values.size() - 1) + 0.5))];
}

struct LogCounter {
    std::mutex mutex;
    // Lines per whole second of uptime, all and those about peers that
    // never logged in.
    std::map<uint64_t, size_t> all, unauthenticated;
};

void readHostLog(LogCounter& counter) {
    std::string pending;
    char buffer[65536];
    for (ssize_t n; (n = ::read(gHost.logFd, buffer, sizeof buffer)) > 0;) {
        pending.append(buffer, static_cast<size_t>(n));
        const uint64_t second = platform::Clock::uptimeNs() / 1'000'000'000;
        std::lock_guard lock(counter.mutex);
        for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
            const std::string line = pending.substr(0, end);
            counter.all[second]++;
            if (line.find("before login") != std::string::npos || line.find("aux: refused") != std::string::npos ||
                line.find("did not log in") != std::string::npos)
                counter.unauthenticated[second]++;
        }
    }
}

size_t peakPerSecond(const std::map<uint64_t, size_t>& counts, uint64_t from, uint64_t to) {
    size_t peak = 0;
    for (const auto& [second, n] : counts)
        if (second >= from && second <= to) peak = std::max(peak, n);
    return peak;
}

void runLoadAndReport(LogCounter& log) {
    platform::sleepFor(1.5);  // the benchmarks' last sessions settle
    const size_t baseDescriptors = hostDescriptors();
    const double baseRss = hostRssMiB(gHost);

    std::atomic<bool> loadRunning{true};
    std::atomic<size_t> peakDescriptors{baseDescriptors};
    std::atomic<double> peakRss{baseRss};
    platform::DispatchQueue monitor("bench.admission.monitor");
    platform::DispatchSemaphore monitorDone;
    monitor.async([&] {
        while (loadRunning) {
            peakDescriptors = std::max(peakDescriptors.load(), hostDescriptors());
            peakRss = std::max(peakRss.load(), hostRssMiB(gHost));
            platform::sleepFor(0.01);
        }
        monitorDone.signal();
    });

    std::vector<ViewerTimes> viewer;
    std::mutex viewerMutex;
    platform::DispatchQueue viewerQueue("bench.admission.viewer");
    platform::DispatchSemaphore viewerDone;
    viewerQueue.async([&] {
        while (loadRunning) {
            auto times = viewerSession();
            {
                std::lock_guard lock(viewerMutex);
                viewer.push_back(times);
            }
            platform::sleepFor(0.5);
        }
        viewerDone.signal();
    });

    // The attacker: one process, one source, about ten seconds.
    const uint64_t loadStart = platform::Clock::uptimeNs();
    std::vector<int> floods, halfOpen;
    std::vector<uint8_t> challenges;
    for (int i = 0; i < 1000; ++i) {
        auto packet = makeAuxPacket(AuxPacketType::hostIdentityChallenge, 0, std::vector<uint8_t>(32, 9), 0);
        challenges.insert(challenges.end(), packet.begin(), packet.end());
    }
    for (int i = 0; i < 5000; ++i) {
        const int dropped = connectFrom("127.0.0.1", gHost.audioPort);
        if (dropped >= 0) ::close(dropped);
        if (i % 10 == 0) {
            // A thousand challenges that are never read, on a connection
            // kept open until 32 newer ones exist.
            const int fd = connectFrom("127.0.0.1", gHost.audioPort, false);
            if (fd >= 0) {
                ::send(fd, challenges.data(), challenges.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                floods.push_back(fd);
            }
            if (floods.size() > 32) ::close(floods.front()), floods.erase(floods.begin());
        }
        // Half-open connections at the end hold their places for the rest.
        if (i >= 4500) {
            const int fd = connectFrom("127.0.0.1", gHost.audioPort, false);
            if (fd >= 0) halfOpen.push_back(fd);
        }
        platform::sleepFor(0.002);
    }
    const uint64_t loadEnd = platform::Clock::uptimeNs();

    // SIGTERM right after the load, with whatever it left queued.
    const int status = stopBenchHost(gHost);
    const double termination = double(platform::Clock::uptimeNs() - loadEnd) / 1e9;
    loadRunning = false;
    monitorDone.wait();
    viewerDone.wait();
    for (int fd : floods) ::close(fd);
    for (int fd : halfOpen) ::close(fd);

    std::vector<double> proofs, logins;
    for (const auto& t : viewer) proofs.push_back(t.proofMs), logins.push_back(t.loginMs);
    size_t failed = 0;
    for (const auto& t : viewer) failed += t.loginMs < 0;
    const uint64_t from = loadStart / 1'000'000'000, to = loadEnd / 1'000'000'000;
    std::lock_guard lock(log.mutex);
    std::printf(
        "\nClosing note: %.1f s of load from 127.0.0.1 (5,000 dropped, %zu challenge floods of 1,000, %zu "
        "half-open), a Viewer on %s every 0.5 s\n"
        "  Viewer identity proof: p50 %.2f ms, p99 %.2f ms; login: p50 %.2f ms, p99 %.2f ms (%zu sessions, %zu "
        "failed)\n"
        "  Host descriptors: %zu before, peak %zu (+%zu)\n"
        "  Host RSS: %.1f MiB before, peak %.1f MiB (+%.1f MiB)\n"
        "  Log lines per second during the load: peak %zu (%zu about unauthenticated peers)\n"
        "  SIGTERM to exit: %.3f s (exit status %d)\n",
        double(loadEnd - loadStart) / 1e9, size_t(5000 / 10), size_t(500), kViewerAddress,
        percentile(proofs, 0.5), percentile(proofs, 0.99), percentile(logins, 0.5), percentile(logins, 0.99),
        viewer.size(), failed, baseDescriptors, peakDescriptors.load(), peakDescriptors.load() - baseDescriptors,
        baseRss, peakRss.load(), peakRss.load() - baseRss, peakPerSecond(log.all, from, to),
        peakPerSecond(log.unauthenticated, from, to), termination, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
}

}  // namespace

int main(int argc, char** argv) {
    // The Host starts before any thread does, as it would on its own.
    gHost = startBenchHost("bench-admission-");
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);

    // The Host's log is read all along: a full pipe would stall it.
    static LogCounter log;
    platform::DispatchQueue logQueue("bench.admission.log");
    logQueue.async([] { readHostLog(log); });

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    runLoadAndReport(log);
    return 0;
}
