#pragma once
// SHA-256 over data that arrives in pieces (a file read block by block), so
// a digest of gigabytes never needs them in memory at once.

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>

namespace platform::crypto {

class Sha256Stream {
public:
    Sha256Stream();
    ~Sha256Stream();
    Sha256Stream(const Sha256Stream&) = delete;
    Sha256Stream& operator=(const Sha256Stream&) = delete;

    void update(std::span<const uint8_t> data);
    // The digest of everything given; the stream is spent afterwards.
    std::array<uint8_t, 32> finish();

    // The digest of a whole file read in blocks; none when it cannot be read.
    static std::optional<std::array<uint8_t, 32>> ofFile(const std::filesystem::path& path);

private:
    struct Context;
    std::unique_ptr<Context> context_;
};

}  // namespace platform::crypto
