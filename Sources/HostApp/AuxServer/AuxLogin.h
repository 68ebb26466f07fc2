#pragma once
// What the server keeps for one Viewer connection between accept and
// removal: its receive buffer, the ephemeral key its login is sealed to, and
// where it stands in the identity and login exchange.

#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "HostApp/Protocol/AuxPacket.h"
#include "HostApp/Protocol/SessionPayloads.h"
#include "Platform/Crypto.h"
#include "Platform/Dispatch.h"
#include "Platform/Network.h"
#include "Platform/Uuid.h"

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
    AuxSessionContext(platform::UUID id, AuxChannel channel, std::shared_ptr<platform::TcpConnection> connection)
        : id(id), channel(channel), connection(std::move(connection)) {}

    const platform::UUID id;
    const AuxChannel channel;
    const std::shared_ptr<platform::TcpConnection> connection;
    // Cuts this connection's bytes into packets; its limit rises at login.
    AuxPacketCutter cutter{AuxPacketCutter::preLoginPayloadLimit};
    // Fresh for each connection; a login sealed to another connection's
    // key cannot be opened here, which is what defeats a replay.
    platform::crypto::X25519KeyPair hostEphemeral = platform::crypto::X25519KeyPair::generate();
    // The Viewer has had its identity proof, so it knows the key to seal to.
    bool identityAnswered = false;
    // A password check is running off the queue.
    bool loginInFlight = false;
    bool authorized = false;
    // Set when the session is being closed; nothing more of it is dispatched.
    bool closed = false;
    // Types already logged as ignored or dropped, so a chatty peer logs once.
    std::set<uint8_t> notedTypes;
    // Closes the connection unless it has logged in in time.
    platform::DispatchWorkItemRef loginDeadline;
};
