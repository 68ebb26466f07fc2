#pragma once
// Little-endian writing and bounds-checked reading of aux payload fields,
// shared by every payload codec so that no decoder indexes a buffer by hand.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace auxwire {

// Appends fields to a payload under construction.
class Writer {
public:
    explicit Writer(std::vector<uint8_t>& out) : out_(out) {}

    void u8(uint8_t v) { out_.push_back(v); }
    void u16(uint16_t v) { put(v, 2); }
    void u32(uint32_t v) { put(v, 4); }
    void u64(uint64_t v) { put(v, 8); }
    void i16(int16_t v) { put(static_cast<uint16_t>(v), 2); }
    void i32(int32_t v) { put(static_cast<uint32_t>(v), 4); }
    void bytes(std::span<const uint8_t> b) { out_.insert(out_.end(), b.begin(), b.end()); }

    // A u16 byte length followed by the UTF-8 bytes; a text longer than
    // 65,535 bytes is cut at the last whole character that fits, so the
    // receiver never sees a broken sequence.
    void string16(std::string_view text) {
        size_t n = std::min<size_t>(text.size(), 0xFFFF);
        if (n < text.size()) {
            while (n > 0 && (static_cast<uint8_t>(text[n]) & 0xC0) == 0x80) --n;
        }
        u16(static_cast<uint16_t>(n));
        out_.insert(out_.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n));
    }

private:
    void put(uint64_t v, int width) {
        for (int i = 0; i < width; ++i) out_.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    std::vector<uint8_t>& out_;
};

// Reads fields front to back; every read checks the remaining length first
// and a failed read leaves the reader failed, so a decoder can read all its
// fields and test `ok()` once.
class Reader {
public:
    explicit Reader(std::span<const uint8_t> in) : in_(in) {}

    bool ok() const { return ok_; }
    size_t remaining() const { return ok_ ? in_.size() - pos_ : 0; }

    uint8_t u8() { return static_cast<uint8_t>(get(1)); }
    uint16_t u16() { return static_cast<uint16_t>(get(2)); }
    uint32_t u32() { return static_cast<uint32_t>(get(4)); }
    uint64_t u64() { return get(8); }
    int16_t i16() { return static_cast<int16_t>(u16()); }
    int32_t i32() { return static_cast<int32_t>(u32()); }

    std::span<const uint8_t> bytes(size_t n) {
        if (!take(n)) return {};
        return in_.subspan(pos_ - n, n);
    }

    // The length is checked against what is left before any allocation.
    std::string string16() {
        uint16_t n = u16();
        auto b = bytes(n);
        if (!ok_) return {};
        return std::string(reinterpret_cast<const char*>(b.data()), b.size());
    }

    template <size_t N>
    void copy(std::array<uint8_t, N>& out) {
        auto b = bytes(N);
        if (ok_) std::memcpy(out.data(), b.data(), N);
    }

private:
    bool take(size_t n) {
        if (!ok_ || in_.size() - pos_ < n) {
            ok_ = false;
            return false;
        }
        pos_ += n;
        return true;
    }
    uint64_t get(int width) {
        if (!take(static_cast<size_t>(width))) return 0;
        uint64_t v = 0;
        for (int i = 0; i < width; ++i) v |= static_cast<uint64_t>(in_[pos_ - width + i]) << (8 * i);
        return v;
    }

    std::span<const uint8_t> in_;
    size_t pos_ = 0;
    bool ok_ = true;
};

template <class To, class From>
To clampTo(From v) {
    if (std::cmp_less(v, std::numeric_limits<To>::min())) return std::numeric_limits<To>::min();
    if (std::cmp_greater(v, std::numeric_limits<To>::max())) return std::numeric_limits<To>::max();
    return static_cast<To>(v);
}

// A normalised coordinate in [0, 1] as a u16 of 65535ths; NaN reads as 0.
inline uint16_t unitToU16(double v) {
    if (!(v > 0)) return 0;
    if (v >= 1) return 0xFFFF;
    return static_cast<uint16_t>(std::lround(v * 65535.0));
}

inline double u16ToUnit(uint16_t v) { return static_cast<double>(v) / 65535.0; }

}  // namespace auxwire
