#pragma once
// The secret that admits one Viewer session to the file-data port: the Host
// announces it on the session's control connection after login, and the
// first frame on a new data connection must carry exactly these bytes.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

struct FileTransferChannelToken {
    static constexpr size_t size = 16;

    std::array<uint8_t, size> bytes{};

    // A fresh token from the system's cryptographic random source.
    FileTransferChannelToken();
    // Nothing unless exactly 16 bytes are given.
    static std::optional<FileTransferChannelToken> withBytes(std::span<const uint8_t> bytes);

    // The first 4 bytes as lower-case hex, for log lines only.
    std::string shortDescription() const;

    auto operator<=>(const FileTransferChannelToken&) const = default;
    bool operator==(const FileTransferChannelToken&) const = default;
};

template <>
struct std::hash<FileTransferChannelToken> {
    size_t operator()(const FileTransferChannelToken& t) const noexcept;
};
