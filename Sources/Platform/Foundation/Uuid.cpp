#include "Platform/Foundation/Uuid.h"

#include <openssl/rand.h>

#include <cstring>
#include <stdexcept>

#include "Platform/Foundation/HexDigits.h"

namespace platform {

namespace {
constexpr char kHex[] = "0123456789ABCDEF";
// Positions of the dashes in the 36-character form.
constexpr bool isDashAt(size_t i) { return i == 8 || i == 13 || i == 18 || i == 23; }
}  // namespace

UUID UUID::random() {
    UUID u;
    // Identifiers must never repeat; running without a working random source
    // is not a state the Host can continue in.
    if (RAND_bytes(u.bytes.data(), static_cast<int>(u.bytes.size())) != 1)
        throw std::runtime_error("random source unavailable");
    u.bytes[6] = static_cast<uint8_t>((u.bytes[6] & 0x0F) | 0x40);  // version 4
    u.bytes[8] = static_cast<uint8_t>((u.bytes[8] & 0x3F) | 0x80);  // variant 10xx
    return u;
}

std::optional<UUID> UUID::parse(std::string_view text) {
    if (text.size() != 36) return std::nullopt;
    UUID u;
    size_t byte = 0;
    for (size_t i = 0; i < 36;) {
        if (isDashAt(i)) {
            if (text[i] != '-') return std::nullopt;
            ++i;
            continue;
        }
        int hi = hexDigitValue(text[i]);
        int lo = hexDigitValue(text[i + 1]);
        if (hi < 0 || lo < 0 || isDashAt(i + 1)) return std::nullopt;
        u.bytes[byte++] = static_cast<uint8_t>(hi << 4 | lo);
        i += 2;
    }
    return u;
}

std::string UUID::uuidString() const {
    std::string s;
    s.reserve(36);
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) s.push_back('-');
        s.push_back(kHex[bytes[i] >> 4]);
        s.push_back(kHex[bytes[i] & 0x0F]);
    }
    return s;
}

std::string UUID::id8() const { return uuidString().substr(0, 8); }

}  // namespace platform

size_t std::hash<platform::UUID>::operator()(const platform::UUID& u) const noexcept {
    uint64_t a, b;
    std::memcpy(&a, u.bytes.data(), 8);
    std::memcpy(&b, u.bytes.data() + 8, 8);
    return static_cast<size_t>(a ^ (b * 0x9E3779B97F4A7C15ull));
}
