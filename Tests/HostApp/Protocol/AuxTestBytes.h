#pragma once
// Byte-vector helpers for the aux codec tests: expected wire bytes are
// written by hand as hex (and ASCII for texts), never produced by encode().

#include <cstdint>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace auxtest {

// "32 4D 32 4D" -> {0x32, 0x4D, 0x32, 0x4D}; blanks are ignored.
inline std::vector<uint8_t> hex(std::string_view text) {
    std::vector<uint8_t> out;
    int high = -1;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        else if (c == ' ' || c == '\n' || c == '|') continue;
        else throw std::invalid_argument("bad hex digit");
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    if (high >= 0) throw std::invalid_argument("odd hex digits");
    return out;
}

inline std::vector<uint8_t> ascii(std::string_view text) { return {text.begin(), text.end()}; }

inline std::vector<uint8_t> cat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline std::vector<uint8_t> repeat(uint8_t byte, size_t n) { return std::vector<uint8_t>(n, byte); }

inline std::vector<uint8_t> prefix(const std::vector<uint8_t>& v, size_t n) { return {v.begin(), v.begin() + n}; }

}  // namespace auxtest
