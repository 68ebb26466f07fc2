#include "Platform/FileMoves.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <system_error>

#include "Platform/Uuid.h"

namespace fs = std::filesystem;

namespace platform {
namespace {
std::mutex failureLock;
std::function<bool(const fs::path&)> copyFailure;
std::function<bool(const fs::path&)> moveFailure;

Status errnoFailure(const std::string& what) { return Status::failure(what + ": " + std::strerror(errno)); }

int renameNoReplace(const fs::path& from, const fs::path& to) {
    return ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
}

// Flushes a copied file's bytes before it takes its final name.
void flush(const fs::path& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

void flushTree(const fs::path& root) {
    std::error_code error;
    if (fs::is_symlink(fs::symlink_status(root, error))) return;
    if (fs::is_regular_file(root, error)) return flush(root);
    for (auto it = fs::recursive_directory_iterator(root, error); !error && it != fs::recursive_directory_iterator();
         it.increment(error))
        if (it->is_regular_file(error) && !it->is_symlink(error)) flush(it->path());
}

// The copy under a temporary name beside `to`, flushed, then renamed
// without replacing; the source stays.
Status copyIntoPlace(const fs::path& from, const fs::path& to) {
    const fs::path temporary = FileMoves::temporaryName(to.parent_path());
    std::error_code error;
    fs::copy(from, temporary, fs::copy_options::recursive | fs::copy_options::copy_symlinks, error);
    bool injected = false;
    {
        std::lock_guard lock(failureLock);
        injected = !error && copyFailure && copyFailure(from);
    }
    if (error || injected) {
        std::error_code ignored;
        fs::remove_all(temporary, ignored);
        return Status::failure(injected ? "No space left on device" : error.message());
    }
    flushTree(temporary);
    if (renameNoReplace(temporary, to) != 0) {
        auto failure = errnoFailure("rename");
        std::error_code ignored;
        fs::remove_all(temporary, ignored);
        return failure;
    }
    return success();
}

Status copyThenRename(const fs::path& from, const fs::path& to) {
    if (auto copied = copyIntoPlace(from, to); !copied) return copied;
    std::error_code ignored;
    fs::remove_all(from, ignored);  // a source left behind is only untidy
    return success();
}

bool isFolder(const fs::path& path) {
    struct stat info{};
    return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}
}  // namespace

bool FileMoves::isTaken(const fs::path& path) {
    struct stat info{};
    return ::lstat(path.c_str(), &info) == 0;
}

FileMoves::NameUse FileMoves::nameUse(const fs::path& path) {
    struct stat info{};
    if (::lstat(path.c_str(), &info) == 0) return NameUse::taken;
    return errno == ENOENT ? NameUse::free : NameUse::unusable;
}

std::optional<fs::path> FileMoves::freeVariant(const fs::path& first,
                                               const std::function<fs::path(const fs::path&, int)>& next) {
    fs::path candidate = first;
    NameUse use = nameUse(candidate);
    for (int n = 1; use == NameUse::taken && n <= maxNameVariants; ++n) {
        candidate = next(candidate, n);
        use = nameUse(candidate);
    }
    if (use != NameUse::free) return std::nullopt;
    return candidate;
}

fs::path FileMoves::temporaryName(const fs::path& folder) {
    return folder / (".norvessal-" + UUID::random().uuidString() + ".partial");
}

Status FileMoves::copyNoReplace(const fs::path& from, const fs::path& to) {
    if (isTaken(to)) return Status::failure("copy: " + to.string() + " exists");
    return copyIntoPlace(from, to);
}

Status FileMoves::replace(const fs::path& incoming, const fs::path& existing) {
    if (!isFolder(incoming) && !isFolder(existing)) {
        if (::rename(incoming.c_str(), existing.c_str()) != 0) return errnoFailure("rename");
        return success();
    }
    if (auto swapped = exchange(incoming, existing); !swapped) return swapped;
    std::error_code ignored;
    fs::remove_all(incoming, ignored);  // the old item, now under the temporary name
    return success();
}

Status FileMoves::moveNoReplace(const fs::path& from, const fs::path& to) {
    {
        std::lock_guard lock(failureLock);
        if (moveFailure && moveFailure(from)) return Status::failure("rename: Input/output error");
    }
    if (renameNoReplace(from, to) == 0) return success();
    if (errno == EXDEV) return copyThenRename(from, to);
    if (errno == EINVAL || errno == ENOSYS) {
        // The file system does not know the flag: a hard link cannot
        // replace either (folders are not linked and fail here).
        if (::link(from.c_str(), to.c_str()) != 0) {
            if (errno == EXDEV) return copyThenRename(from, to);
            return errnoFailure("link");
        }
        ::unlink(from.c_str());
        return success();
    }
    return errnoFailure("rename");
}

Status FileMoves::exchange(const fs::path& a, const fs::path& b) {
    if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) != 0) return errnoFailure("exchange");
    return success();
}

void FileMoves::setCopyFailureForTesting(std::function<bool(const fs::path&)> fails) {
    std::lock_guard lock(failureLock);
    copyFailure = std::move(fails);
}

void FileMoves::setMoveFailureForTesting(std::function<bool(const fs::path&)> fails) {
    std::lock_guard lock(failureLock);
    moveFailure = std::move(fails);
}

}  // namespace platform
