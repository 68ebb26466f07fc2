#include "Platform/FileMoves.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include "Platform/Uuid.h"

namespace fs = std::filesystem;

namespace platform {
namespace {
std::mutex failureLock;
std::function<bool(const fs::path&)> copyFailure;
std::function<bool(const fs::path&)> moveFailure;
bool noReplaceRefused = false;

Status errnoFailure(const std::string& what) { return Status::failure(what + ": " + std::strerror(errno)); }

// Closes a descriptor when it goes out of scope.
struct ScopedFd {
    int fd = -1;
    ~ScopedFd() {
        if (fd >= 0) ::close(fd);
    }
};

int openFolderAt(int folder, const fs::path& name) {
    return ::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

bool isFolderAt(int folder, const fs::path& name) {
    struct stat info{};
    return ::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode);
}

// The names in an open folder, "." and ".." left out.
std::optional<std::vector<std::string>> childNames(int folder) {
    const int copy = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (copy < 0) return std::nullopt;
    DIR* dir = ::fdopendir(copy);
    if (!dir) {
        ::close(copy);
        return std::nullopt;
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    return names;
}

int renameNoReplaceAt(int fromFolder, const fs::path& from, int toFolder, const fs::path& to) {
    {
        std::lock_guard lock(failureLock);
        if (noReplaceRefused) {
            errno = EINVAL;
            return -1;
        }
    }
    return ::renameat2(fromFolder, from.c_str(), toFolder, to.c_str(), RENAME_NOREPLACE);
}

Status moveWithoutTheFlag(int fromFolder, const fs::path& from, int toFolder, const fs::path& to);

// A rename that never replaces, also where the file system does not know
// the flag (network file systems): then a file is hard-linked and
// unlinked, and a folder is made anew (which fails when the name is taken)
// and its children moved into it the same way. Fails with errno set.
Status renameNoReplaceAnywhere(int fromFolder, const fs::path& from, int toFolder, const fs::path& to) {
    if (renameNoReplaceAt(fromFolder, from, toFolder, to) == 0) return success();
    if (errno != EINVAL && errno != ENOSYS) return errnoFailure("rename");
    return moveWithoutTheFlag(fromFolder, from, toFolder, to);
}

Status moveWithoutTheFlag(int fromFolder, const fs::path& from, int toFolder, const fs::path& to) {
    struct stat info{};
    if (::fstatat(fromFolder, from.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return errnoFailure("rename");
    if (!S_ISDIR(info.st_mode)) {
        if (::linkat(fromFolder, from.c_str(), toFolder, to.c_str(), 0) != 0) return errnoFailure("link");
        ::unlinkat(fromFolder, from.c_str(), 0);
        return success();
    }
    if (::mkdirat(toFolder, to.c_str(), info.st_mode & 07777) != 0) return errnoFailure("mkdir");
    ScopedFd source{openFolderAt(fromFolder, from)};
    ScopedFd target{openFolderAt(toFolder, to)};
    if (source.fd < 0 || target.fd < 0) return errnoFailure("open folder");
    const auto names = childNames(source.fd);
    if (!names) return errnoFailure("read folder");
    std::vector<std::string> moved;
    for (const auto& name : *names) {
        if (auto child = renameNoReplaceAnywhere(source.fd, name, target.fd, name); !child) {
            // Back where they were, so a failure leaves the source whole.
            const int cause = errno;
            for (const auto& back : moved) renameNoReplaceAnywhere(target.fd, back, source.fd, back);
            ::unlinkat(toFolder, to.c_str(), AT_REMOVEDIR);
            errno = cause;
            return child;
        }
        moved.push_back(name);
    }
    if (::unlinkat(fromFolder, from.c_str(), AT_REMOVEDIR) != 0) return errnoFailure("remove folder");
    return success();
}

// Removes an item and, for a folder, everything below it, never through a
// link.
void removeTreeAt(int folder, const fs::path& name) {
    if (::unlinkat(folder, name.c_str(), 0) == 0 || (errno != EISDIR && errno != EPERM)) return;
    {
        ScopedFd child{openFolderAt(folder, name)};
        if (child.fd < 0) return;
        if (const auto names = childNames(child.fd))
            for (const auto& entry : *names) removeTreeAt(child.fd, entry);
    }
    ::unlinkat(folder, name.c_str(), AT_REMOVEDIR);
}

Status copyFileAt(int fromFolder, const fs::path& from, int toFolder, const fs::path& to, mode_t mode) {
    ScopedFd in{::openat(fromFolder, from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC)};
    if (in.fd < 0) return errnoFailure("open");
    ScopedFd out{::openat(toFolder, to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode & 07777)};
    if (out.fd < 0) return errnoFailure("create");
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const ssize_t n = ::read(in.fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errnoFailure("read");
        if (n == 0) break;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(out.fd, buffer.data() + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return errnoFailure("write");
            done += w;
        }
    }
    // Flushed before the copy takes its final name.
    if (::fsync(out.fd) != 0) return errnoFailure("fsync");
    return success();
}

// A copy of a file, a link or a whole folder, made by descriptor: nothing
// below the target is reached through a link, even one planted meanwhile.
Status copyTreeAt(int fromFolder, const fs::path& from, int toFolder, const fs::path& to) {
    struct stat info{};
    if (::fstatat(fromFolder, from.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return errnoFailure("stat");
    if (S_ISREG(info.st_mode)) return copyFileAt(fromFolder, from, toFolder, to, info.st_mode);
    if (S_ISLNK(info.st_mode)) {
        std::vector<char> target(static_cast<size_t>(PATH_MAX) + 1);
        const ssize_t n = ::readlinkat(fromFolder, from.c_str(), target.data(), target.size() - 1);
        if (n < 0) return errnoFailure("readlink");
        target[static_cast<size_t>(n)] = '\0';
        if (::symlinkat(target.data(), toFolder, to.c_str()) != 0) return errnoFailure("symlink");
        return success();
    }
    if (!S_ISDIR(info.st_mode)) return Status::failure("copy: " + from.string() + " is no file or folder");
    if (::mkdirat(toFolder, to.c_str(), (info.st_mode & 07777) | S_IRWXU) != 0) return errnoFailure("mkdir");
    ScopedFd source{openFolderAt(fromFolder, from)};
    ScopedFd target{openFolderAt(toFolder, to)};
    if (source.fd < 0 || target.fd < 0) return errnoFailure("open folder");
    const auto names = childNames(source.fd);
    if (!names) return errnoFailure("read folder");
    for (const auto& name : *names)
        if (auto copied = copyTreeAt(source.fd, name, target.fd, name); !copied) return copied;
    ::fchmod(target.fd, info.st_mode & 07777);
    return success();
}

// The copy under a temporary name beside `to`, flushed, then renamed
// without replacing; the source stays.
Status copyIntoPlace(int fromFolder, const fs::path& from, int toFolder, const fs::path& to) {
    const fs::path temporary = to.parent_path() / FileMoves::temporaryName(fs::path()).filename();
    auto copied = copyTreeAt(fromFolder, from, toFolder, temporary);
    bool injected = false;
    {
        std::lock_guard lock(failureLock);
        injected = copied && copyFailure && copyFailure(from);
    }
    if (!copied || injected) {
        removeTreeAt(toFolder, temporary);
        return injected ? Status::failure("No space left on device") : copied;
    }
    if (auto placed = renameNoReplaceAnywhere(toFolder, temporary, toFolder, to); !placed) {
        removeTreeAt(toFolder, temporary);
        return placed;
    }
    return success();
}

Status copyThenRename(int fromFolder, const fs::path& from, int toFolder, const fs::path& to) {
    if (auto copied = copyIntoPlace(fromFolder, from, toFolder, to); !copied) return copied;
    removeTreeAt(fromFolder, from);  // a source left behind is only untidy
    return success();
}
}  // namespace

bool FileMoves::isTaken(const fs::path& path) { return isTakenAt(AT_FDCWD, path); }

bool FileMoves::isTakenAt(int folder, const fs::path& name) {
    struct stat info{};
    return ::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

FileMoves::NameUse FileMoves::nameUse(const fs::path& path) { return nameUseAt(AT_FDCWD, path); }

FileMoves::NameUse FileMoves::nameUseAt(int folder, const fs::path& name) {
    struct stat info{};
    if (::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) return NameUse::taken;
    return errno == ENOENT ? NameUse::free : NameUse::unusable;
}

std::optional<fs::path> FileMoves::freeVariant(const fs::path& first,
                                               const std::function<fs::path(const fs::path&, int)>& next) {
    return freeVariantAt(AT_FDCWD, first, next);
}

std::optional<fs::path> FileMoves::freeVariantAt(int folder, const fs::path& first,
                                                 const std::function<fs::path(const fs::path&, int)>& next) {
    fs::path candidate = first;
    NameUse use = nameUseAt(folder, candidate);
    for (int n = 1; use == NameUse::taken && n <= maxNameVariants; ++n) {
        candidate = next(candidate, n);
        use = nameUseAt(folder, candidate);
    }
    if (use != NameUse::free) return std::nullopt;
    return candidate;
}

fs::path FileMoves::temporaryName(const fs::path& folder) {
    return folder / (".norvessal-" + UUID::random().uuidString() + ".partial");
}

Status FileMoves::copyNoReplace(const fs::path& from, const fs::path& to) {
    return copyNoReplaceAt(AT_FDCWD, from, AT_FDCWD, to);
}

Status FileMoves::copyNoReplaceAt(int fromFolder, const fs::path& from, int toFolder, const fs::path& to) {
    if (isTakenAt(toFolder, to)) return Status::failure("copy: " + to.string() + " exists");
    return copyIntoPlace(fromFolder, from, toFolder, to);
}

Status FileMoves::replace(const fs::path& incoming, const fs::path& existing) {
    return replaceAt(AT_FDCWD, incoming, existing);
}

Status FileMoves::replaceAt(int folder, const fs::path& incoming, const fs::path& existing) {
    if (!isFolderAt(folder, incoming) && !isFolderAt(folder, existing)) {
        if (::renameat(folder, incoming.c_str(), folder, existing.c_str()) != 0) return errnoFailure("rename");
        return success();
    }
    if (auto swapped = exchangeAt(folder, incoming, existing); !swapped) return swapped;
    removeTreeAt(folder, incoming);  // the old item, now under the temporary name
    return success();
}

Status FileMoves::moveNoReplace(const fs::path& from, const fs::path& to) {
    return moveNoReplaceAt(AT_FDCWD, from, AT_FDCWD, to);
}

Status FileMoves::moveNoReplaceAt(int fromFolder, const fs::path& from, int toFolder, const fs::path& to) {
    {
        std::lock_guard lock(failureLock);
        if (moveFailure && moveFailure(from)) return Status::failure("rename: Input/output error");
    }
    if (renameNoReplaceAt(fromFolder, from, toFolder, to) == 0) return success();
    if (errno == EXDEV) return copyThenRename(fromFolder, from, toFolder, to);
    if (errno != EINVAL && errno != ENOSYS) return errnoFailure("rename");
    auto moved = moveWithoutTheFlag(fromFolder, from, toFolder, to);
    if (!moved && errno == EXDEV) return copyThenRename(fromFolder, from, toFolder, to);
    return moved;
}

Status FileMoves::exchange(const fs::path& a, const fs::path& b) { return exchangeAt(AT_FDCWD, a, b); }

Status FileMoves::exchangeAt(int folder, const fs::path& a, const fs::path& b) {
    if (::renameat2(folder, a.c_str(), folder, b.c_str(), RENAME_EXCHANGE) != 0) return errnoFailure("exchange");
    return success();
}

void FileMoves::removeAt(int folder, const fs::path& name) { removeTreeAt(folder, name); }

void FileMoves::setCopyFailureForTesting(std::function<bool(const fs::path&)> fails) {
    std::lock_guard lock(failureLock);
    copyFailure = std::move(fails);
}

void FileMoves::setMoveFailureForTesting(std::function<bool(const fs::path&)> fails) {
    std::lock_guard lock(failureLock);
    moveFailure = std::move(fails);
}

void FileMoves::setNoReplaceRefusedForTesting(bool refused) {
    std::lock_guard lock(failureLock);
    noReplaceRefused = refused;
}

}  // namespace platform
