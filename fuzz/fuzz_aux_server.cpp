// Feeds arbitrary bytes to the real Viewer session server over an
// in-process loopback connection, on a connection that has not logged in or
// on one that just did (the in-memory directory knows the console user), and
// checks what comes back: whole packets only, and before login nothing but
// at most two identity proofs and a login refusal. Every connection must be
// gone from the server once the fuzzer has closed it.
//
// First input byte: bit 0 picks the video port, bit 1 logs in first. The
// rest is written to the connection, then the write side is shut.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string_view>

#include "FuzzServer.h"
#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "HostApp/Protocol/AuxPacket.h"
#include "HostApp/Protocol/SessionPayloads.h"
#include "Platform/Security/Crypto.h"
#include "Platform/Security/Directory.h"
#include "Platform/Files/Folders.h"
#include "Platform/Runtime/Log.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"
#include "Platform/Runtime/VirtualRuntime.h"

namespace {

namespace crypto = platform::crypto;

struct Harness : FuzzServer {
    Harness() : FuzzServer("fuzz-aux-server", "pw") {}

    // Virtual time stands still while the fuzzer runs, so the server's
    // delayed work (the timers a session cancels when it leaves, the warm
    // hold of the capture its Viewer left) would never fall due and would
    // pile up with every input. Every so many inputs the capture is let go
    // and the clock moves past the longest delay, so what the inputs left
    // behind runs and is freed.
    static constexpr int kInputsPerDrain = 256;
    static constexpr double kLongestDelaySeconds = 180;
    int inputsSinceDrain = 0;

    void drainDelayedWork() {
        if (++inputsSinceDrain < kInputsPerDrain) return;
        inputsSinceDrain = 0;
        // Nobody is connected: without its hold the capture stops, and
        // moving the clock runs no frames.
        server->queue.sync([&] { server->endMediaIdleWarmHoldAndTeardown("fuzz input done"); });
        runtime->advance(kLongestDelaySeconds);
    }
};

Harness& harness() {
    static Harness* h = new Harness;
    return *h;
}

struct ReceivedPacket {
    AuxPacketType type;
    std::vector<uint8_t> payload;
};

// The Viewer's end: a raw socket, and the packets read from it so far.
struct Viewer {
    int fd = -1;
    AuxPacketCutter cutter{AuxPacketCutter::postLoginPayloadLimit};
    std::vector<ReceivedPacket> packets;
    bool ended = false;

    explicit Viewer(uint16_t port) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) std::abort();
    }
    ~Viewer() { ::close(fd); }

    void write(std::span<const uint8_t> bytes) {
        // The server may close first; what it did not take is of no interest.
        while (!bytes.empty()) {
            const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n <= 0) return;
            bytes = bytes.subspan(static_cast<size_t>(n));
        }
    }
    void send(AuxPacketType type, std::span<const uint8_t> payload) { write(makeAuxPacket(type, 0, payload, 0)); }

    // Reads what is there; true once the server has closed.
    bool poll() {
        uint8_t buffer[65536];
        for (;;) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0) {
                cutter.append({buffer, static_cast<size_t>(n)});
                for (;;) {
                    auto next = cutter.next();
                    if (next.status == AuxPacketCutter::Status::needMoreData) break;
                    // The server only ever sends whole, valid packets.
                    if (next.status != AuxPacketCutter::Status::packet) std::abort();
                    packets.push_back({next.header.type, {next.payload.begin(), next.payload.end()}});
                }
                continue;
            }
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) ended = true;
            return ended;
        }
    }
    const ReceivedPacket* waitFor(AuxPacketType type) {
        auto& h = harness();
        const ReceivedPacket* found = nullptr;
        h.runtime->runUntil([&] {
            poll();
            for (const auto& p : packets)
                if (p.type == type) found = &p;
            return found || ended;
        });
        return found;
    }
};

// Proves the identity, then logs in with a login sealed to the proof's key.
bool logIn(Viewer& viewer, uint8_t channelByte) {
    std::array<uint8_t, 32> challenge{};
    challenge.fill(0x42);
    viewer.send(AuxPacketType::hostIdentityChallenge, challenge);
    auto reply = viewer.waitFor(AuxPacketType::hostIdentityProof);
    if (!reply) return false;
    auto proof = HostIdentityProofPayload::decode(reply->payload);
    if (!proof) std::abort();

    auto viewerKey = crypto::X25519KeyPair::generate();
    auto secret = viewerKey.sharedSecret(proof->hostEphemeralPublicKey);
    if (!secret) std::abort();
    auto salt = ViewerLoginPayload::keyDerivationSalt(viewerKey.publicKey(), proof->hostEphemeralPublicKey);
    std::string_view info = ViewerLoginPayload::keyDerivationInfo;
    auto key = crypto::hkdfSha256(*secret, salt, {reinterpret_cast<const uint8_t*>(info.data()), info.size()}, 32);
    const uint8_t aad[1] = {channelByte};
    ViewerLoginPayload login;
    login.viewerPublicKey = viewerKey.publicKey();
    ViewerLoginCredentials credentials{harness().user, "pw", "Fuzz Viewer", std::nullopt};
    login.sealedBox = crypto::chachaPolySeal(credentials.encode(), key, crypto::randomBytes(12), aad);
    viewer.send(AuxPacketType::viewerLogin, login.encode());
    return viewer.waitFor(AuxPacketType::hostSessionInfo) != nullptr;
}

}  // namespace

// The server is started, and its start-up warm-up run, before the first
// input, so no input is charged with them.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    harness();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    auto& h = harness();
    const bool video = data[0] & 1;
    const bool loggedIn = data[0] & 2;
    Viewer viewer(video ? h.server->boundVideoPort() : h.server->boundAudioPort());
    if (loggedIn && !logIn(viewer, video ? 2 : 1)) std::abort();
    const size_t before = viewer.packets.size();

    viewer.write({data + 1, size - 1});
    ::shutdown(viewer.fd, SHUT_WR);
    if (!h.runtime->runUntil([&] { return viewer.poll(); })) std::abort();

    if (!loggedIn) {
        size_t proofs = 0;
        for (size_t i = before; i < viewer.packets.size(); ++i) {
            const auto type = viewer.packets[i].type;
            if (type != AuxPacketType::hostIdentityProof && type != AuxPacketType::hostStatus) std::abort();
            proofs += type == AuxPacketType::hostIdentityProof;
        }
        if (proofs > AuxAdmission::maxChallengesBeforeLogin) std::abort();
    }
    // Nothing of the connection is left behind.
    h.runtime->runUntilIdle();
    const bool gone = h.server->queue.syncValue([&] {
        return h.server->audioSessions.empty() && h.server->videoSessions.empty() &&
               h.server->authorizedAudioSessions.empty() && h.server->authorizedVideoSessions.empty();
    });
    if (!gone || h.server->pendingConnectionCountForTesting() != 0) std::abort();
    h.drainDelayedWork();
    return 0;
}
