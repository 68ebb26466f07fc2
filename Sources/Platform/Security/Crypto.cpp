#include "Platform/Security/Crypto.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <stdexcept>

namespace platform::crypto {
namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};
struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
};
struct KdfFree {
    void operator()(EVP_KDF* p) const { EVP_KDF_free(p); }
};
struct KdfCtxFree {
    void operator()(EVP_KDF_CTX* p) const { EVP_KDF_CTX_free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

constexpr size_t kNonceSize = 12;
constexpr size_t kTagSize = 16;

// OpenSSL treats a null pointer with length 0 differently from call to call;
// an empty span may carry one, so every empty input gets a real address.
const unsigned char* bytes(std::span<const uint8_t> s) {
    static const unsigned char empty = 0;
    return s.empty() ? &empty : s.data();
}

[[noreturn]] void fail(const char* what) { throw std::runtime_error(std::string("crypto: ") + what); }

// The 32-byte public half of a raw key of the given type.
std::array<uint8_t, 32> rawPublic(EVP_PKEY* key) {
    std::array<uint8_t, 32> out{};
    size_t len = out.size();
    if (EVP_PKEY_get_raw_public_key(key, out.data(), &len) != 1 || len != out.size())
        fail("cannot read a raw public key");
    return out;
}

// True for the encodings of the eight points of small order (and their
// non-canonical spellings). Such a "public key" has no private key behind it,
// yet signatures under it verify for many messages: an all-zero key with an
// all-zero signature passes OpenSSL's check for one message in four.
bool hasSmallOrder(std::span<const uint8_t> encoded) {
    static const uint8_t table[7][32] = {
        {0x00},                                                                         // 0: order 4
        {0x01},                                                                         // 1: identity
        {0x26, 0xe8, 0x95, 0x8f, 0xc2, 0xb2, 0x27, 0xb0, 0x45, 0xc3, 0xf4, 0x89, 0xf2, 0xef, 0x98, 0xf0,
         0xd5, 0xdf, 0xac, 0x05, 0xd3, 0xc6, 0x33, 0x39, 0xb1, 0x38, 0x02, 0x88, 0x6d, 0x53, 0xfc, 0x05},  // order 8
        {0xc7, 0x17, 0x6a, 0x70, 0x3d, 0x4d, 0xd8, 0x4f, 0xba, 0x3c, 0x0b, 0x76, 0x0d, 0x10, 0x67, 0x0f,
         0x2a, 0x20, 0x53, 0xfa, 0x2c, 0x39, 0xcc, 0xc6, 0x4e, 0xc7, 0xfd, 0x77, 0x92, 0xac, 0x03, 0x7a},  // order 8
        {0xec, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
         0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f},  // p-1: order 2
        {0xed, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
         0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f},  // p: 0
        {0xee, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
         0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f},  // p+1: 1
    };
    for (const auto& entry : table) {
        // The top bit is the sign of x; every sign of a small-order y is refused.
        if (std::equal(entry, entry + 31, encoded.begin()) && (encoded[31] & 0x7f) == entry[31]) return true;
    }
    return false;
}

Pkey privateKey(int type, const std::array<uint8_t, 32>& raw) {
    Pkey key(EVP_PKEY_new_raw_private_key(type, nullptr, raw.data(), raw.size()));
    if (!key) fail("cannot load a raw private key");
    return key;
}

}  // namespace

std::vector<uint8_t> randomBytes(size_t n) {
    std::vector<uint8_t> out(n);
    // RAND_bytes takes an int; larger requests are served in pieces.
    size_t done = 0;
    while (done < n) {
        const size_t chunk = std::min<size_t>(n - done, INT_MAX);
        if (RAND_bytes(out.data() + done, static_cast<int>(chunk)) != 1) fail("random generator failed");
        done += chunk;
    }
    return out;
}

// --- X25519 -----------------------------------------------------------------

X25519KeyPair X25519KeyPair::generate() {
    auto raw = randomBytes(32);
    auto pair = fromPrivateRaw(raw);
    OPENSSL_cleanse(raw.data(), raw.size());
    return std::move(*pair);
}

std::optional<X25519KeyPair> X25519KeyPair::fromPrivateRaw(std::span<const uint8_t> privateRaw) {
    if (privateRaw.size() != 32) return std::nullopt;
    X25519KeyPair pair;
    std::copy(privateRaw.begin(), privateRaw.end(), pair.private_.begin());
    pair.publicKey_ = rawPublic(privateKey(EVP_PKEY_X25519, pair.private_).get());
    return pair;
}

std::optional<std::array<uint8_t, 32>> X25519KeyPair::sharedSecret(std::span<const uint8_t> peerPublic32) const {
    if (peerPublic32.size() != 32) return std::nullopt;
    Pkey peer(EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, peerPublic32.data(), 32));
    if (!peer) return std::nullopt;
    Pkey own = privateKey(EVP_PKEY_X25519, private_);
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, own.get(), nullptr));
    if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1) fail("cannot start key agreement");
    if (EVP_PKEY_derive_set_peer(ctx.get(), peer.get()) != 1) return std::nullopt;
    std::array<uint8_t, 32> secret{};
    size_t len = secret.size();
    // OpenSSL itself refuses an all-zero result here; the check below keeps
    // that guarantee whatever the provider does.
    if (EVP_PKEY_derive(ctx.get(), secret.data(), &len) != 1 || len != secret.size()) return std::nullopt;
    uint8_t any = 0;
    for (uint8_t b : secret) any |= b;
    if (any == 0) return std::nullopt;
    return secret;
}

X25519KeyPair::X25519KeyPair(X25519KeyPair&& other) noexcept
    : private_(other.private_), publicKey_(other.publicKey_) {
    OPENSSL_cleanse(other.private_.data(), other.private_.size());
}

X25519KeyPair& X25519KeyPair::operator=(X25519KeyPair&& other) noexcept {
    if (this != &other) {
        private_ = other.private_;
        publicKey_ = other.publicKey_;
        OPENSSL_cleanse(other.private_.data(), other.private_.size());
    }
    return *this;
}

X25519KeyPair::~X25519KeyPair() { OPENSSL_cleanse(private_.data(), private_.size()); }

// --- HKDF -------------------------------------------------------------------

std::vector<uint8_t> hkdfSha256(std::span<const uint8_t> ikm, std::span<const uint8_t> salt,
                                std::span<const uint8_t> info, size_t length) {
    if (length == 0 || length > 255 * 32) throw std::invalid_argument("hkdfSha256: length out of range");
    std::unique_ptr<EVP_KDF, KdfFree> kdf(EVP_KDF_fetch(nullptr, OSSL_KDF_NAME_HKDF, nullptr));
    if (!kdf) fail("HKDF unavailable");
    std::unique_ptr<EVP_KDF_CTX, KdfCtxFree> ctx(EVP_KDF_CTX_new(kdf.get()));
    if (!ctx) fail("cannot create an HKDF context");

    // RFC 5869: a missing salt is HashLen zero bytes. Spelled out so that the
    // result does not depend on how the provider reads an empty parameter.
    static const uint8_t zeroSalt[32] = {};
    std::span<const uint8_t> effectiveSalt = salt.empty() ? std::span<const uint8_t>(zeroSalt) : salt;

    char digest[] = "SHA256";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<unsigned char*>(bytes(ikm)), ikm.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<unsigned char*>(effectiveSalt.data()),
                                          effectiveSalt.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, const_cast<unsigned char*>(bytes(info)), info.size()),
        OSSL_PARAM_construct_end(),
    };
    std::vector<uint8_t> out(length);
    if (EVP_KDF_derive(ctx.get(), out.data(), out.size(), params) != 1) fail("HKDF derivation failed");
    return out;
}

// --- ChaCha20-Poly1305 ------------------------------------------------------

std::vector<uint8_t> chachaPolySeal(std::span<const uint8_t> plaintext, std::span<const uint8_t> key32,
                                    std::span<const uint8_t> nonce12, std::span<const uint8_t> aad) {
    if (key32.size() != 32) throw std::invalid_argument("chachaPolySeal: key must be 32 bytes");
    if (nonce12.size() != kNonceSize) throw std::invalid_argument("chachaPolySeal: nonce must be 12 bytes");
    if (plaintext.size() > INT_MAX || aad.size() > INT_MAX)
        throw std::invalid_argument("chachaPolySeal: input too large");

    CipherCtx ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_chacha20_poly1305(), nullptr, key32.data(), nonce12.data()) != 1)
        fail("cannot start ChaCha20-Poly1305");

    std::vector<uint8_t> out(kNonceSize + plaintext.size() + kTagSize);
    std::copy(nonce12.begin(), nonce12.end(), out.begin());
    int len = 0;
    if (!aad.empty() && EVP_EncryptUpdate(ctx.get(), nullptr, &len, aad.data(), static_cast<int>(aad.size())) != 1)
        fail("cannot add associated data");
    int written = 0;
    if (!plaintext.empty()) {
        if (EVP_EncryptUpdate(ctx.get(), out.data() + kNonceSize, &len, plaintext.data(),
                              static_cast<int>(plaintext.size())) != 1)
            fail("encryption failed");
        written = len;
    }
    if (EVP_EncryptFinal_ex(ctx.get(), out.data() + kNonceSize + written, &len) != 1) fail("encryption failed");
    written += len;
    if (static_cast<size_t>(written) != plaintext.size()) fail("encryption produced an unexpected length");
    if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_GET_TAG, kTagSize, out.data() + kNonceSize + written) != 1)
        fail("cannot read the tag");
    return out;
}

std::optional<std::vector<uint8_t>> chachaPolyOpen(std::span<const uint8_t> combined,
                                                   std::span<const uint8_t> key32,
                                                   std::span<const uint8_t> aad) {
    if (key32.size() != 32 || combined.size() < kNonceSize + kTagSize) return std::nullopt;
    if (combined.size() > INT_MAX || aad.size() > INT_MAX) return std::nullopt;
    const auto nonce = combined.first(kNonceSize);
    const auto ciphertext = combined.subspan(kNonceSize, combined.size() - kNonceSize - kTagSize);
    const auto tag = combined.last(kTagSize);

    CipherCtx ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_chacha20_poly1305(), nullptr, key32.data(), nonce.data()) != 1)
        return std::nullopt;
    int len = 0;
    if (!aad.empty() && EVP_DecryptUpdate(ctx.get(), nullptr, &len, aad.data(), static_cast<int>(aad.size())) != 1)
        return std::nullopt;
    std::vector<uint8_t> plain(ciphertext.size());
    int written = 0;
    if (!ciphertext.empty()) {
        if (EVP_DecryptUpdate(ctx.get(), plain.data(), &len, ciphertext.data(), static_cast<int>(ciphertext.size())) != 1)
            return std::nullopt;
        written = len;
    }
    if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_TAG, kTagSize, const_cast<uint8_t*>(tag.data())) != 1)
        return std::nullopt;
    // Final is where the tag is checked; whatever was decrypted before a
    // failed check is wiped, never handed out.
    unsigned char tail[16];
    if (EVP_DecryptFinal_ex(ctx.get(), tail, &len) != 1 || static_cast<size_t>(written + len) != plain.size()) {
        OPENSSL_cleanse(plain.data(), plain.size());
        return std::nullopt;
    }
    return plain;
}

// --- Ed25519 ----------------------------------------------------------------

Ed25519Key Ed25519Key::generate() {
    auto raw = randomBytes(32);
    auto key = fromSeed(raw);
    OPENSSL_cleanse(raw.data(), raw.size());
    return *key;
}

std::optional<Ed25519Key> Ed25519Key::fromSeed(std::span<const uint8_t> seed32) {
    if (seed32.size() != 32) return std::nullopt;
    Ed25519Key key;
    std::copy(seed32.begin(), seed32.end(), key.seed_.begin());
    key.publicKey_ = rawPublic(privateKey(EVP_PKEY_ED25519, key.seed_).get());
    return key;
}

std::array<uint8_t, 64> Ed25519Key::sign(std::span<const uint8_t> message) const {
    Pkey key = privateKey(EVP_PKEY_ED25519, seed_);
    MdCtx ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestSignInit_ex(ctx.get(), nullptr, nullptr, nullptr, nullptr, key.get(), nullptr) != 1)
        fail("cannot start signing");
    std::array<uint8_t, 64> signature{};
    size_t len = signature.size();
    if (EVP_DigestSign(ctx.get(), signature.data(), &len, bytes(message), message.size()) != 1 ||
        len != signature.size())
        fail("signing failed");
    return signature;
}

Ed25519Key::~Ed25519Key() { OPENSSL_cleanse(seed_.data(), seed_.size()); }

bool ed25519Verify(std::span<const uint8_t> publicKey32, std::span<const uint8_t> message,
                   std::span<const uint8_t> signature64) {
    if (publicKey32.size() != 32 || signature64.size() != 64 || hasSmallOrder(publicKey32)) return false;
    Pkey key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, publicKey32.data(), 32));
    if (!key) return false;
    MdCtx ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestVerifyInit_ex(ctx.get(), nullptr, nullptr, nullptr, nullptr, key.get(), nullptr) != 1)
        return false;
    return EVP_DigestVerify(ctx.get(), signature64.data(), signature64.size(), bytes(message), message.size()) == 1;
}

// --- SHA-256 and base64url --------------------------------------------------

std::array<uint8_t, 32> sha256(std::span<const uint8_t> data) {
    std::array<uint8_t, 32> out{};
    unsigned int len = 0;
    if (EVP_Digest(bytes(data), data.size(), out.data(), &len, EVP_sha256(), nullptr) != 1 || len != out.size())
        fail("SHA-256 failed");
    return out;
}

std::string base64UrlNoPad(std::span<const uint8_t> data) {
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= data.size(); i += 3) {
        const uint32_t v = (uint32_t(data[i]) << 16) | (uint32_t(data[i + 1]) << 8) | data[i + 2];
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        out += alphabet[v & 63];
    }
    const size_t rest = data.size() - i;
    if (rest == 1) {
        const uint32_t v = uint32_t(data[i]) << 16;
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
    } else if (rest == 2) {
        const uint32_t v = (uint32_t(data[i]) << 16) | (uint32_t(data[i + 1]) << 8);
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
    }
    return out;
}

}  // namespace platform::crypto
