#pragma once
// Whole-file reads and crash-safe writes. Files that must never be seen
// half-written (settings, keys, requests, received files) go through
// writeAtomically: readers see either the old content or the new one.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <sys/types.h>
#include <vector>

#include "Platform/Runtime/Clock.h"
#include "Platform/Foundation/Result.h"

namespace platform {

// What a file looked like on disk, to notice that it was replaced or edited
// since it was last read. A missing file has a stamp of its own.
struct FileStamp {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    int64_t modifiedNs = 0;
    bool operator==(const FileStamp&) const = default;

    static FileStamp of(const std::filesystem::path& path);
};

// What a write or rename that must not replace anything did. An entry
// already at the target is no failure, but callers often must tell it apart
// from having written.
enum class NoReplaceOutcome { done, targetExists };

struct FileIO {
    // Writes a temporary file beside `path`, flushes it to disk, renames it
    // over `path` and flushes the folder. Creates the parent folder when
    // missing. Without `mode` an existing file keeps its permissions and a
    // new one gets 0666 less the umask; `mode` applies whatever the umask.
    // No temporary file is left behind on failure.
    static Status writeAtomically(const std::filesystem::path& path, std::span<const uint8_t> bytes,
                                  std::optional<std::filesystem::perms> mode = std::nullopt);

    // The no-replace mode of writeAtomically: the finished temporary only
    // takes the name when nothing (of any kind) is there yet; otherwise the
    // existing entry stays untouched, the temporary is removed and the answer
    // is targetExists.
    struct NoReplace {};
    static constexpr NoReplace noReplace{};
    static Result<NoReplaceOutcome> writeAtomically(const std::filesystem::path& path, std::span<const uint8_t> bytes,
                                                    std::optional<std::filesystem::perms> mode, NoReplace);

    // Renames `from` to `to` in one step unless an entry exists at `to`, and
    // flushes the folder. Uses the kernel's no-replace rename, else a hard
    // link and an unlink where the file system lacks it.
    static Result<NoReplaceOutcome> renameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to);

    // Removes the file (or empty folder) at `path`, never what a link there
    // leads to; nothing there is no failure.
    static Status remove(const std::filesystem::path& path);

    // Whether the process may make files in the folder `path`, by a real
    // attempt (see WriteAttempt).
    static bool mayWrite(const std::filesystem::path& path);
    // Replaces mayWrite's answer for every path; nullopt restores it.
    static void setMayWriteForTesting(std::optional<bool> answer);

    // Reads a regular file whole; fails when it holds more than maxBytes.
    static Result<std::vector<uint8_t>> readAll(const std::filesystem::path& path,
                                                size_t maxBytes = 64u * 1024 * 1024);

    // When the item (not a link's target) last changed; none when it
    // cannot be read.
    static std::optional<Date> modificationDate(const std::filesystem::path& path);
    static Status setModificationDate(const std::filesystem::path& path, Date date);
};

}  // namespace platform
