#pragma once
// 128-bit identifiers for Viewer sessions, transfer batches and the Host
// itself, written in the canonical upper-case 8-4-4-4-12 form.

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

struct UUID {
    std::array<uint8_t, 16> bytes{};

    // A fresh random (version 4, RFC 4122 variant) identifier.
    static UUID random();
    // Accepts the 36-character 8-4-4-4-12 form in upper or lower case.
    static std::optional<UUID> parse(std::string_view text);

    // "E621E1F8-C36C-495A-93FC-0C247A3E6E5F"
    std::string uuidString() const;
    // The first 8 characters of uuidString(), for log lines.
    std::string id8() const;

    auto operator<=>(const UUID&) const = default;
};

}  // namespace platform

template <>
struct std::hash<platform::UUID> {
    size_t operator()(const platform::UUID& u) const noexcept;
};
