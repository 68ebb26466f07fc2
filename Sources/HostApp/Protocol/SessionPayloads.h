#pragma once
// The payloads of a Viewer session's start: the Host identity exchange
// (41, 42), the sealed login (36) with its plaintext, and the session
// information the Host sends after login and whenever it changes (35).
// Little-endian; texts are a u16 byte length followed by UTF-8.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Type 35: what a Viewer is told about the Host's console session.
struct HostSessionInfoPayload {
    static constexpr uint8_t currentVersion = 1;
    static constexpr uint8_t loginWindowBit = 0x01;
    static constexpr uint8_t lockedBit = 0x02;
    static constexpr uint8_t loginDoneBit = 0x04;
    static constexpr uint8_t canSwitchDesktopsBit = 0x08;
    static constexpr uint8_t viewportPresentBit = 0x10;
    static constexpr uint8_t pictureInPicturePresentBit = 0x20;

    // A rectangle in [0, 1] units; on the wire four u16 65535ths.
    struct Region {
        double x = 0;
        double y = 0;
        double width = 0;
        double height = 0;
        bool operator==(const Region&) const = default;
    };

    bool isLoginWindow = false;
    bool isLocked = false;
    bool loginDone = false;
    // Set only when the Host can really step between desktops.
    bool canSwitchDesktops = false;
    uint16_t osMajorVersion = 0;
    std::optional<Region> viewport;
    std::optional<Region> pictureInPicture;
    std::string consoleUserName;
    std::string consoleDisplayName;
    std::string hostIdentifier;  // upper-case UUID

    // Region values are clamped to [0, 1]; an absent region is sent as zeros.
    std::vector<uint8_t> encode() const;
    // Version 1 only; the bytes of an absent region and bytes after the
    // last text are ignored.
    static std::optional<HostSessionInfoPayload> decode(std::span<const uint8_t> bytes);
    bool operator==(const HostSessionInfoPayload&) const = default;
};

// Type 41: the Viewer's challenge, exactly 32 random bytes.
struct HostIdentityChallengePayload {
    static constexpr size_t encodedSize = 32;

    std::array<uint8_t, 32> challenge{};

    std::vector<uint8_t> encode() const;
    static std::optional<HostIdentityChallengePayload> decode(std::span<const uint8_t> bytes);
    bool operator==(const HostIdentityChallengePayload&) const = default;
};

// Type 42: the Host's answer. The signature covers the challenge and the
// connection's ephemeral key together, so the key a Viewer seals its
// password to is vouched for by the Host's long-term identity.
struct HostIdentityProofPayload {
    static constexpr size_t encodedSize = 128;
    static constexpr std::string_view signatureContext = "velantrix-host-identity-proof-v1";

    std::array<uint8_t, 32> hostPublicKey{};           // Ed25519
    std::array<uint8_t, 32> hostEphemeralPublicKey{};  // X25519, fresh for each connection
    std::array<uint8_t, 64> signature{};               // Ed25519 over signedMessage(...)

    // The UTF-8 context, then the challenge, then the ephemeral key.
    static std::vector<uint8_t> signedMessage(const std::array<uint8_t, 32>& challenge,
                                              const std::array<uint8_t, 32>& hostEphemeralPublicKey);

    std::vector<uint8_t> encode() const;
    // Exactly 128 bytes.
    static std::optional<HostIdentityProofPayload> decode(std::span<const uint8_t> bytes);
    bool operator==(const HostIdentityProofPayload&) const = default;
};

// Type 36: the Viewer's credentials sealed to the connection's ephemeral
// key. The key is HKDF-SHA256 over the X25519 shared secret with
// keyDerivationSalt(...) and keyDerivationInfo; the associated data is the
// one byte of the channel the login arrives on.
struct ViewerLoginPayload {
    static constexpr size_t nonceSize = 12;
    static constexpr size_t tagSize = 16;
    static constexpr size_t minimumSize = 32 + nonceSize + tagSize;
    static constexpr std::string_view keyDerivationInfo = "velantrix-aux-login-v1";
    static constexpr uint8_t audioChannelAssociatedData = 0x01;
    static constexpr uint8_t videoChannelAssociatedData = 0x02;

    std::array<uint8_t, 32> viewerPublicKey{};  // X25519, the Viewer's ephemeral key
    // IETF ChaCha20-Poly1305 in its combined form: nonce 12 | ciphertext | tag 16.
    std::vector<uint8_t> sealedBox;

    // The viewer key followed by the Host's ephemeral key.
    static std::array<uint8_t, 64> keyDerivationSalt(const std::array<uint8_t, 32>& viewerPublicKey,
                                                     const std::array<uint8_t, 32>& hostEphemeralPublicKey);

    std::vector<uint8_t> encode() const;
    // At least 60 bytes (key, nonce and tag; the ciphertext may be empty,
    // though no valid plaintext is).
    static std::optional<ViewerLoginPayload> decode(std::span<const uint8_t> bytes);
    bool operator==(const ViewerLoginPayload&) const = default;
};

// The plaintext inside a ViewerLoginPayload.
struct ViewerLoginCredentials {
    static constexpr uint8_t currentVersion = 1;
    static constexpr size_t captureRequestSize = 20;

    std::string userName;
    std::string password;
    std::string viewerDisplayName;
    // A capture request in the type 18 layout, applied after a video login;
    // kept as bytes for the capture-mode decoder.
    std::optional<std::array<uint8_t, captureRequestSize>> captureRequest;

    std::vector<uint8_t> encode() const;
    // Version 1; each text valid UTF-8 without NUL; then nothing or exactly
    // the 20 request bytes. Anything else does not decode.
    static std::optional<ViewerLoginCredentials> decode(std::span<const uint8_t> bytes);
    bool operator==(const ViewerLoginCredentials&) const = default;
};
