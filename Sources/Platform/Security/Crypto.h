#pragma once
// The handful of primitives the login and identity exchange is built from:
// X25519 agreement, HKDF-SHA256, ChaCha20-Poly1305 in the combined layout
// (nonce 12 | ciphertext | tag 16), Ed25519 signatures, SHA-256, random
// bytes and unpadded base64url. Backed by OpenSSL 3.
//
// Input that can come from the network (peer keys, sealed boxes,
// signatures) is answered with "nothing" when it is unusable. Sizes that only
// a programming error can get wrong (a 20-byte key given to seal) throw
// std::invalid_argument rather than producing a result that looks good.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace platform::crypto {

// n bytes from the system's cryptographic generator; throws
// std::runtime_error when the generator cannot deliver (never weak bytes).
std::vector<uint8_t> randomBytes(size_t n);

// One X25519 key pair. Holds the raw key bytes and wipes them on destruction;
// moving is allowed, copying is not (a private key should live in one place).
struct X25519KeyPair {
    static X25519KeyPair generate();
    // Nothing unless the input is exactly 32 bytes.
    static std::optional<X25519KeyPair> fromPrivateRaw(std::span<const uint8_t> privateRaw);

    std::array<uint8_t, 32> publicKey() const { return publicKey_; }
    std::array<uint8_t, 32> privateRaw() const { return private_; }
    // The shared secret with a peer's public key; nothing when the peer key
    // is not 32 bytes or the result is all zero (a low-order peer point,
    // which would make the "secret" known to anyone).
    std::optional<std::array<uint8_t, 32>> sharedSecret(std::span<const uint8_t> peerPublic32) const;

    X25519KeyPair(X25519KeyPair&& other) noexcept;
    X25519KeyPair& operator=(X25519KeyPair&& other) noexcept;
    X25519KeyPair(const X25519KeyPair&) = delete;
    X25519KeyPair& operator=(const X25519KeyPair&) = delete;
    ~X25519KeyPair();

private:
    X25519KeyPair() = default;
    std::array<uint8_t, 32> private_{};
    std::array<uint8_t, 32> publicKey_{};
};

// HKDF-SHA256 (extract then expand). An empty salt means HashLen zero bytes.
// Throws std::invalid_argument when length is 0 or above 255 * 32.
std::vector<uint8_t> hkdfSha256(std::span<const uint8_t> ikm, std::span<const uint8_t> salt,
                                std::span<const uint8_t> info, size_t length);

// IETF ChaCha20-Poly1305. Returns nonce | ciphertext | tag. Throws
// std::invalid_argument unless the key is 32 bytes and the nonce 12.
std::vector<uint8_t> chachaPolySeal(std::span<const uint8_t> plaintext, std::span<const uint8_t> key32,
                                    std::span<const uint8_t> nonce12, std::span<const uint8_t> aad);
// Opens nonce | ciphertext | tag; nothing on any failure: wrong key size,
// input shorter than 28 bytes, a tag that does not verify.
std::optional<std::vector<uint8_t>> chachaPolyOpen(std::span<const uint8_t> combined,
                                                   std::span<const uint8_t> key32,
                                                   std::span<const uint8_t> aad);

// An Ed25519 signing key, kept as its 32-byte seed (wiped on destruction).
struct Ed25519Key {
    static Ed25519Key generate();
    // Nothing unless the seed is exactly 32 bytes.
    static std::optional<Ed25519Key> fromSeed(std::span<const uint8_t> seed32);

    std::array<uint8_t, 32> seed() const { return seed_; }
    std::array<uint8_t, 32> publicKey() const { return publicKey_; }
    std::array<uint8_t, 64> sign(std::span<const uint8_t> message) const;

    Ed25519Key(const Ed25519Key&) = default;
    Ed25519Key& operator=(const Ed25519Key&) = default;
    ~Ed25519Key();

private:
    Ed25519Key() = default;
    std::array<uint8_t, 32> seed_{};
    std::array<uint8_t, 32> publicKey_{};
};

// False for a wrong signature and for keys or signatures of the wrong size.
bool ed25519Verify(std::span<const uint8_t> publicKey32, std::span<const uint8_t> message,
                   std::span<const uint8_t> signature64);

std::array<uint8_t, 32> sha256(std::span<const uint8_t> data);

// RFC 4648 section 5 alphabet ('-' and '_'), without '=' padding.
std::string base64UrlNoPad(std::span<const uint8_t> data);

}  // namespace platform::crypto
