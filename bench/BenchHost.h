#pragma once
// A Host in a child process (real runtime, in-memory directory), as it would
// run on a machine, and the raw-socket Viewer pieces the benchmarks talk to
// it with: loopback connections, whole writes, packet reads, the identity
// challenge and the sealed login.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "HostApp/HostProbeDelegate.h"
#include "HostApp/Capture/CaptureModeControlPayload.h"
#include "HostApp/Protocol/AuxPacket.h"
#include "HostApp/Protocol/FileTransferEndpointPayload.h"
#include "HostApp/Protocol/SessionPayloads.h"
#include "Platform/Runtime/Clock.h"
#include "Platform/Security/Crypto.h"
#include "Platform/Security/Directory.h"
#include "Platform/Files/Folders.h"
#include "Platform/Runtime/Runtime.h"
#include "Platform/Runtime/Signals.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"
#include "VelantrixProfiles/FileTransfer/FileTransferChannelConnection.h"

inline constexpr const char* kBenchPassword = "bench password";

struct BenchHost {
    pid_t pid = -1;
    uint16_t audioPort = 0, videoPort = 0;
    int logFd = -1;  // the Host's standard error
    std::string user;
    std::filesystem::path root;  // its data root
};

class SilentRegistration : public platform::DnsServiceRegistration {
public:
    void publish(const platform::DnsServiceDescription&) override {}
    void withdraw() override {}
};

// Each run has a data root of its own, so runs never meet one another's Host.
inline std::filesystem::path benchHostRoot(const std::string& rootPrefix, pid_t pid) {
    return std::filesystem::temp_directory_path() / (rootPrefix + std::to_string(pid));
}

// The child's side: serves until SIGTERM, after sending its bound audio and
// video ports down `portPipe`.
[[noreturn]] inline void runBenchHost(int portPipe, const std::string& user, const std::string& rootPrefix) {
    platform::installTerminationHandler([](int) { platform::stopMainLoop(); });
    platform::Folders::setOverrideRoot(benchHostRoot(rootPrefix, getpid()));
    auto directory = std::make_shared<platform::InMemoryDirectory>();
    directory->setUser(user, kBenchPassword);
    V230HostAudioAuxServerConfiguration configuration;
    configuration.audioPort = configuration.videoPort = configuration.filePort = 0;
    configuration.directory = directory;
    configuration.dnsRegistration = std::make_shared<SilentRegistration>();
    configuration.routeRecordSource = [] { return BonjourAdvertiser::Routes{}; };
    auto server = std::make_shared<V230HostAudioAuxServer>(configuration);
    server->start();
    const uint16_t ports[2] = {server->boundAudioPort(), server->boundVideoPort()};
    if (::write(portPipe, ports, sizeof ports) != sizeof ports) std::_Exit(1);
    ::close(portPipe);
    platform::runMainLoop();
    server->stopForTermination();
    std::_Exit(0);
}

// Forks the Host; call before any thread starts. Returns once its ports are
// bound. Its standard error comes back on `logFd`, which must be read all
// along: a full pipe would stall the Host.
inline BenchHost startBenchHost(const std::string& rootPrefix) {
    BenchHost host;
    int ports[2], log[2];
    if (::pipe(ports) != 0 || ::pipe(log) != 0) std::abort();
    host.user = platform::SimulatedMachine::current().consoleSession().userName;
    host.pid = ::fork();
    if (host.pid == 0) {
        ::dup2(log[1], STDERR_FILENO);
        ::close(log[0]);
        ::close(ports[0]);
        runBenchHost(ports[1], host.user, rootPrefix);
    }
    ::close(log[1]);
    ::close(ports[1]);
    uint16_t bound[2] = {};
    if (::read(ports[0], bound, sizeof bound) != sizeof bound) std::abort();
    ::close(ports[0]);
    host.audioPort = bound[0];
    host.videoPort = bound[1];
    host.logFd = log[0];
    host.root = benchHostRoot(rootPrefix, host.pid);
    return host;
}

// The whole Host, as main() runs it (its application, its delegate, file
// delivery and all), in a child process with an in-memory directory; call
// before any thread starts. Returns once its ports are bound, read from its
// "aux: server started" line. Its standard error comes back on `logFd`,
// which must be read all along.
inline BenchHost startWholeBenchHost(const std::string& rootPrefix) {
    BenchHost host;
    int log[2];
    if (::pipe(log) != 0) std::abort();
    host.user = platform::SimulatedMachine::current().consoleSession().userName;
    host.pid = ::fork();
    if (host.pid == 0) {
        ::dup2(log[1], STDERR_FILENO);
        ::close(log[0]);
        ::close(log[1]);
        platform::Folders::setOverrideRoot(benchHostRoot(rootPrefix, getpid()));
        auto directory = std::make_shared<platform::InMemoryDirectory>();
        directory->setUser(host.user, kBenchPassword);
        V230HostAudioAuxServerConfiguration configuration;
        configuration.audioPort = configuration.videoPort = configuration.filePort = 0;
        configuration.directory = directory;
        configuration.dnsRegistration = std::make_shared<SilentRegistration>();
        configuration.routeRecordSource = [] { return BonjourAdvertiser::Routes{}; };
        HostProbeDelegate::runUntilTerminated(HostLaunchFlags{}, configuration);
    }
    ::close(log[1]);
    host.logFd = log[0];
    host.root = benchHostRoot(rootPrefix, host.pid);
    const std::string started = "aux: server started audio=";
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(host.logFd, buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<size_t>(n));
        const size_t at = text.find(started);
        if (at == std::string::npos || text.find('\n', at) == std::string::npos) continue;
        unsigned audio = 0, video = 0;
        if (std::sscanf(text.c_str() + at + started.size(), "%u video=%u", &audio, &video) != 2) std::abort();
        host.audioPort = static_cast<uint16_t>(audio);
        host.videoPort = static_cast<uint16_t>(video);
        return host;
    }
    std::abort();
}

// SIGTERM, then the wait for the Host's exit; the wait status.
inline int stopBenchHost(const BenchHost& host) {
    ::kill(host.pid, SIGTERM);
    int status = 0;
    ::waitpid(host.pid, &status, 0);
    return status;
}

// A number the run is given in the environment, or `fallback`.
inline double numberFromEnvironment(const char* name, double fallback) {
    const char* value = std::getenv(name);
    return value ? std::atof(value) : fallback;
}

inline double hostRssMiB(const BenchHost& host) {
    std::ifstream status("/proc/" + std::to_string(host.pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024;
    return 0;
}

// --- A Viewer on raw sockets -------------------------------------------------------------

struct LoopbackOptions {
    const char* from = nullptr;  // the local address to bind, or any
    bool blocking = true;        // a non-blocking connect may still be in progress on return
    bool noDelay = false;
    int receiveTimeoutSeconds = 0;  // none when 0
};

// A connection to the Host's `port` on 127.0.0.1; the socket, or -1.
inline int connectLoopback(uint16_t port, const LoopbackOptions& options = {}) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (options.blocking ? 0 : SOCK_NONBLOCK), 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    if (options.from) {
        inet_pton(AF_INET, options.from, &address.sin_addr);
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    address.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    if (options.receiveTimeoutSeconds > 0) {
        const timeval timeout{options.receiveTimeoutSeconds, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    if (options.noDelay) {
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
        (options.blocking || errno != EINPROGRESS)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// False when the connection refused the rest.
inline bool writeAll(int fd, const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Reads packets until one of `type` arrives; nothing on close or time-out.
inline std::optional<std::vector<uint8_t>> readUntil(int fd, AuxPacketCutter& cutter, AuxPacketType type) {
    uint8_t buffer[65536];
    for (;;) {
        for (auto next = cutter.next(); next.status == AuxPacketCutter::Status::packet; next = cutter.next())
            if (next.header.type == type) return std::vector<uint8_t>(next.payload.begin(), next.payload.end());
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return std::nullopt;
        cutter.append({buffer, static_cast<size_t>(n)});
    }
}

struct IdentityExchange {
    HostIdentityChallengePayload challenge;
    std::optional<HostIdentityProofPayload> proof;  // as received, not yet verified
};

// A fresh random challenge sent, and the Host's answer to it.
inline IdentityExchange challengeHost(int fd, AuxPacketCutter& cutter) {
    IdentityExchange exchange;
    auto random = platform::crypto::randomBytes(32);
    std::copy(random.begin(), random.end(), exchange.challenge.challenge.begin());
    writeAll(fd, makeAuxPacket(AuxPacketType::hostIdentityChallenge, 0, exchange.challenge.encode(), 0));
    auto reply = readUntil(fd, cutter, AuxPacketType::hostIdentityProof);
    if (reply) exchange.proof = HostIdentityProofPayload::decode(*reply);
    return exchange;
}

// The login payload for `user`, sealed to the proof's ephemeral key; the
// associated data names the channel it is sent on.
inline std::vector<uint8_t> sealedLogin(const HostIdentityProofPayload& proof, const std::string& user,
                                        uint8_t associatedData) {
    namespace crypto = platform::crypto;
    auto viewerKey = crypto::X25519KeyPair::generate();
    auto secret = viewerKey.sharedSecret(proof.hostEphemeralPublicKey);
    auto salt = ViewerLoginPayload::keyDerivationSalt(viewerKey.publicKey(), proof.hostEphemeralPublicKey);
    std::string_view info = ViewerLoginPayload::keyDerivationInfo;
    auto key = crypto::hkdfSha256(*secret, salt, {reinterpret_cast<const uint8_t*>(info.data()), info.size()}, 32);
    const uint8_t aad[1] = {associatedData};
    ViewerLoginPayload login;
    login.viewerPublicKey = viewerKey.publicKey();
    ViewerLoginCredentials credentials{user, kBenchPassword, "Bench Viewer", std::nullopt};
    login.sealedBox = crypto::chachaPolySeal(credentials.encode(), key, crypto::randomBytes(12), aad);
    return login.encode();
}

// Connects (from `from` when given) and logs in on the port as the bench
// user; the socket, or -1.
inline int logInViewer(const BenchHost& host, uint16_t port, uint8_t associatedData, AuxPacketCutter& cutter,
                       const char* from = nullptr) {
    const int fd = connectLoopback(port, {.from = from, .noDelay = true, .receiveTimeoutSeconds = 10});
    if (fd < 0) return -1;
    const auto proof = challengeHost(fd, cutter).proof;
    if (!proof) return ::close(fd), -1;
    writeAll(fd, makeAuxPacket(AuxPacketType::viewerLogin, 0, sealedLogin(*proof, host.user, associatedData), 0));
    if (!readUntil(fd, cutter, AuxPacketType::hostSessionInfo)) return ::close(fd), -1;
    return fd;
}

// Reads everything and acknowledges every frame, as a Viewer that keeps up
// would, so the Host never finds the socket full nor prunes the connection;
// `onFrame` hears each frame as it arrives. Until `running` is cleared or
// the Host closes the connection.
inline void readAcknowledgingFrames(int fd, AuxPacketCutter& cutter, const std::atomic<bool>& running,
                                    const std::function<void()>& onFrame = {}) {
    const timeval timeout{0, 200000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    const auto ack = makeAuxPacket(AuxPacketType::videoFrameAck, 0, {}, 0);
    std::vector<uint8_t> buffer(262144);
    while (running) {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n == 0) return;
        if (n < 0) continue;
        cutter.append({buffer.data(), static_cast<size_t>(n)});
        for (auto next = cutter.next(); next.status == AuxPacketCutter::Status::packet; next = cutter.next()) {
            if (next.header.type != AuxPacketType::videoFrame) continue;
            if (onFrame) onFrame();
            writeAll(fd, ack);
        }
    }
}

// A Viewer watching the Easy stream on the video port: every frame
// acknowledged, as a Viewer that keeps up would, and its arrival time kept.
struct StreamingViewer {
    int fd = -1;
    std::mutex mutex;
    std::vector<double> frames;

    static double seconds() { return double(platform::Clock::uptimeNs()) / 1e9; }

    void run(const BenchHost& host, std::atomic<bool>& running) {
        AuxPacketCutter cutter(AuxPacketCutter::postLoginPayloadLimit);
        fd = logInViewer(host, host.videoPort, 0x02, cutter);
        if (fd < 0) return;
        auto request = CaptureModeControlPayload::preset(VideoCaptureMode::easy, VideoChromaMode::yuv420,
                                                         VideoCaptureBackend::physical);
        writeAll(fd, makeAuxPacket(AuxPacketType::captureModeControl, 0, request.encode(), 0));
        readAcknowledgingFrames(fd, cutter, running, [this] {
            std::lock_guard lock(mutex);
            frames.push_back(seconds());
        });
    }
    double fps(double from, double to) {
        std::lock_guard lock(mutex);
        size_t n = 0;
        for (double t : frames) n += t >= from && t < to;
        return double(n) / (to - from);
    }
};

// --- The file-data connection ------------------------------------------------------------

// One frame of the file-data connection: its magic, the payload's length
// (32-bit little-endian) and the payload.
inline std::vector<uint8_t> fileChannelFrame(std::span<const uint8_t> payload) {
    namespace constants = FileTransferChannelConstants;
    std::vector<uint8_t> frame(constants::magic.begin(), constants::magic.end());
    const auto length = static_cast<uint32_t>(payload.size());
    for (int shift = 0; shift < 32; shift += 8) frame.push_back(static_cast<uint8_t>(length >> shift));
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

// The file-data connection of a Viewer logged in on the audio port as
// `audioFd` (read through `cutter`): connected (from `from` when given, so
// that it is the same peer's) to the port the Host announced there, and
// shown the token. The socket, or -1.
inline int openFileChannel(int audioFd, AuxPacketCutter& cutter, const char* from = nullptr) {
    const auto announced = readUntil(audioFd, cutter, AuxPacketType::fileTransferEndpoint);
    const auto endpoint = announced ? FileTransferEndpointPayload::decode(*announced) : std::nullopt;
    if (!endpoint) return -1;
    const int fd = connectLoopback(endpoint->port, {.from = from, .noDelay = true});
    if (fd < 0) return -1;
    if (!writeAll(fd, fileChannelFrame(endpoint->token))) return ::close(fd), -1;
    return fd;
}
