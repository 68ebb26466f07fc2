#pragma once
// Whole-file reads and crash-safe writes. Files that must never be seen
// half-written (settings, keys, requests, received files) go through
// writeAtomically: readers see either the old content or the new one.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

#include "Platform/Clock.h"
#include "Platform/Result.h"

namespace platform {

struct FileIO {
    // Writes a temporary file beside `path`, flushes it to disk, renames it
    // over `path` and flushes the folder. Creates the parent folder when
    // missing. Without `mode` an existing file keeps its permissions and a
    // new one gets 0666 less the umask. No temporary file is left behind on
    // failure.
    static Status writeAtomically(const std::filesystem::path& path, std::span<const uint8_t> bytes,
                                  std::optional<std::filesystem::perms> mode = std::nullopt);

    // Reads a regular file whole; fails when it holds more than maxBytes.
    static Result<std::vector<uint8_t>> readAll(const std::filesystem::path& path,
                                                size_t maxBytes = 64u * 1024 * 1024);

    // When the item (not a link's target) last changed; none when it
    // cannot be read.
    static std::optional<Date> modificationDate(const std::filesystem::path& path);
    static Status setModificationDate(const std::filesystem::path& path, Date date);
};

}  // namespace platform
