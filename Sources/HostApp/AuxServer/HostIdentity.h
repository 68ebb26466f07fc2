#pragma once
// The Host's long-term identity: the Ed25519 key that signs identity proofs
// and the Host identifier (a UUID) that Viewers remember it by. Both live in
// "host-identity.key" in the Host's application-support folder, so a Viewer
// that pinned the key recognises the same Host after a restart.
//
// File layout (57 bytes, written atomically with mode 0600):
//   offset  0  4  magic "NVHI"
//   offset  4  1  format version, 1
//   offset  5 16  Host identifier, the UUID's 16 bytes
//   offset 21 32  Ed25519 seed
//   offset 53  4  the first 4 bytes of SHA-256 over bytes 0..52
// The check bytes let a damaged file be told apart from a valid one, so a
// flipped bit never turns into a silently different identity.

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "Platform/Security/Crypto.h"
#include "Platform/Foundation/Uuid.h"

struct HostIdentity {
    static constexpr const char* fileName = "host-identity.key";
    static constexpr size_t encodedSize = 57;

    platform::crypto::Ed25519Key signingKey;
    platform::UUID hostIdentifier;

    static HostIdentity generate();

    std::vector<uint8_t> encode() const;
    // Nothing unless the bytes are exactly one valid file of the layout above.
    static std::optional<HostIdentity> decode(std::span<const uint8_t> bytes);

    // Folders::applicationSupport() / "host-identity.key".
    static std::filesystem::path defaultPath();

    // Reads the identity at `path`; a missing file is created, an unreadable
    // or corrupt one is replaced. Every such event is reported through `log`.
    // When the new file cannot be written the identity still serves this run.
    static HostIdentity loadOrCreate(const std::filesystem::path& path,
                                     const std::function<void(const std::string&)>& log);
};
