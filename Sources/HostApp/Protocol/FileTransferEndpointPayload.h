#pragma once
// Type 37: tells a logged-in Viewer (on its audio connection) which port
// carries file data and the token its first frame there must present.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

struct FileTransferEndpointPayload {
    static constexpr size_t encodedSize = 18;
    static constexpr size_t tokenSize = 16;

    uint16_t port = 7348;  // the file port actually listening
    std::array<uint8_t, tokenSize> token{};

    // Port u16 little-endian, then the 16 token bytes.
    std::vector<uint8_t> encode() const;
    // Exactly 18 bytes.
    static std::optional<FileTransferEndpointPayload> decode(std::span<const uint8_t> bytes);
    bool operator==(const FileTransferEndpointPayload&) const = default;
};
