#pragma once
// Standard Base64 (RFC 4648 section 4, '+' and '/', '=' padding), as stored
// values carry bytes in JSON text.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

std::string base64Encode(std::span<const uint8_t> data);
// Strict: the length must be a multiple of four, padding only at the end,
// no white space and no character outside the alphabet; otherwise none.
std::optional<std::vector<uint8_t>> base64Decode(std::string_view text);

}  // namespace platform
