#pragma once
// What the server keeps for one Viewer connection between accept and
// removal: its receive buffer, the ephemeral key its login is sealed to, and
// where it stands in the identity and login exchange; and a login waiting
// for its password check.

#include <cstdint>
#include <memory>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "HostApp/AuxServer/AuxAdmission.h"
#include "HostApp/Input/CoalescedInput.h"
#include "HostApp/Protocol/AuxPacket.h"
#include "HostApp/Protocol/SessionPayloads.h"
#include "Platform/Runtime/Clock.h"
#include "Platform/Security/Crypto.h"
#include "Platform/Runtime/Dispatch.h"
#include "Platform/Network/Network.h"
#include "Platform/Foundation/Uuid.h"

enum class AuxChannel : uint8_t;

// Code words of a refused login, in the order the checks run.
namespace auxlogin {
inline constexpr const char* identityRequired = "identity-required";
inline constexpr const char* malformedLogin = "malformed-login";
inline constexpr const char* notConsoleUser = "not-console-user";
inline constexpr const char* invalidCredentials = "invalid-credentials";
inline constexpr const char* authUnavailable = "auth-unavailable";

// Derives the key a login on this connection is sealed with; nothing when
// the agreement gives the all-zero secret (a low-order Viewer key).
std::optional<std::vector<uint8_t>> loginKey(const platform::crypto::X25519KeyPair& hostEphemeral,
                                             const std::array<uint8_t, 32>& viewerPublicKey);
}  // namespace auxlogin

struct AuxSessionContext {
    AuxSessionContext(platform::UUID id, AuxChannel channel, std::shared_ptr<platform::TcpConnection> connection,
                      platform::DispatchQueue queue, std::shared_ptr<AuxPeerAccount> account)
        : id(id),
          channel(channel),
          connection(connection),
          account(std::move(account)),
          turns(connection, std::move(queue), auxPacketFraming, this->account->turns) {}

    const platform::UUID id;
    const AuxChannel channel;
    const std::shared_ptr<platform::TcpConnection> connection;
    // Cuts this connection's bytes into packets; its limit rises at login.
    AuxPacketCutter cutter{AuxPacketCutter::preLoginPayloadLimit};
    // Fresh for each connection, made at its first identity challenge (a
    // connection that never asks costs no key); a login sealed to another
    // connection's key cannot be opened here, which is what defeats a replay.
    std::optional<platform::crypto::X25519KeyPair> hostEphemeral;
    // Identity challenges received before login, and answered after it: each
    // proof is a signature on the server queue, so a connection gets two.
    int challengesBeforeLogin = 0;
    int challengesAfterLogin = 0;
    // The Viewer has had its identity proof, so it knows the key to seal to.
    bool identityAnswered = false;
    // A password check is running off the queue.
    bool loginInFlight = false;
    bool authorized = false;
    // Set when the session is being closed; nothing more of it is dispatched.
    bool closed = false;
    // Types already logged as ignored or dropped, so a chatty peer logs once.
    // Before login nothing is logged as it happens: these, and a bad
    // challenge or a repeated login, go into the connection's one line.
    std::set<uint8_t> notedTypes;
    bool sentBadChallenge = false;
    bool sentSecondLogin = false;
    // Input that only restates what came before it, held until the next
    // other packet or the end of the turn.
    CoalescedInput coalescedInput;
    // Its peer's account, which its turns, its read-ahead once logged in,
    // the work its packets start and its key-frame pace are charged to.
    // Never null.
    const std::shared_ptr<AuxPeerAccount> account;
    // A later key-frame request of this connection waits for the peer's
    // pace: every key frame costs the encoder, and a Viewer asking for one
    // per frame, on however many connections, would slow everyone's stream.
    bool keyFrameRequestWaiting = false;
    // Desktop steps: the steps this connection may still take at once (a
    // few at once, then one per interval); past them a step is dropped.
    struct RateBucket {
        std::optional<double> tokens;  // full until first used
        uint64_t refilledNs = 0;
    };
    RateBucket desktopSteps;
    // Its turns on the server queue, paced by its peer's account
    // (V230HostAudioAuxServer::kFullTurnsPerSecond) and held while the
    // peer's work is over its budget, so a peer that always has more to
    // send costs the Host a bounded share of its time however many
    // connections it opens.
    platform::ReceiveTurns turns;
    // The stream ended (with this error, empty for a clean end) while
    // packets were still waiting their turn; told once they are served.
    std::optional<std::string> endOfStream;
    // When it was accepted; it must have logged in 30 s later.
    const uint64_t acceptedNs = platform::Clock::uptimeNs();
};

// A sealed login that opened and names the console user, waiting for a free
// password-check slot and for its address's turn.
struct WaitingPasswordCheck {
    std::shared_ptr<AuxSessionContext> session;
    ViewerLoginCredentials credentials;
    // The connection's remote address, which pacing counts against.
    std::string address;
};
