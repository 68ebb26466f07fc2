#include "Platform/Files/FileMoves.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include "Platform/Files/FileHandles.h"
#include "Platform/Runtime/Log.h"
#include "Platform/Runtime/WorkLedger.h"
#include "Platform/Files/TreeWalk.h"
#include "Platform/Foundation/Uuid.h"

namespace fs = std::filesystem;

namespace platform {
namespace {
std::mutex failureLock;
std::function<bool(const fs::path&)> copyFailure;
std::function<bool(const fs::path&)> moveFailure;
std::function<bool(const fs::path&)> acrossFileSystems;
std::function<bool(FileMoves::FallbackStep, const std::string&)> fallbackFailure;
bool noReplaceRefused = false;
std::function<void()> settleStep;

void settleStepForTesting() {
    std::function<void()> step;
    {
        std::lock_guard lock(failureLock);
        step = settleStep;
    }
    if (step) step();
}

Status failureWith(const std::string& what, int cause) { return Status::failure(what + ": " + std::strerror(cause)); }
Status errnoFailure(const std::string& what) { return failureWith(what, errno); }

bool fallbackFails(FileMoves::FallbackStep step, const std::string& relative) {
    std::lock_guard lock(failureLock);
    return fallbackFailure && fallbackFailure(step, relative);
}

bool isFolderAt(int folder, const fs::path& name) {
    struct stat info{};
    return ::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode);
}

std::string parentOf(const std::string& relative) {
    const auto slash = relative.rfind('/');
    return slash == std::string::npos ? std::string() : relative.substr(0, slash);
}

int openMadeFolder(int folder, const std::string& name) {
    return ::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// The mode a copy gets: never a set-user-ID or set-group-ID bit; the
// sticky bit only on a folder.
mode_t copyMode(mode_t mode, bool folder) { return mode & (folder ? 01777 : 0777); }

// Gives an open item its mode.
Status settle(int fd, std::optional<mode_t> mode) {
    settleStepForTesting();
    if (mode && ::fchmod(fd, *mode) != 0) return errnoFailure("chmod");
    return success();
}

// A test's look at (or failure of) a folder just made, before anything
// is placed in it; errno is set as for a failed step.
bool folderMadeFails(const std::string& relative) {
    if (!fallbackFails(FileMoves::FallbackStep::folderMade, relative)) return false;
    errno = EIO;
    return true;
}

// A folder below the top of something being built, opened again by its
// path there; the last one is kept, as items come folder by folder.
class FolderCursor {
public:
    int open(int top, const std::string& relative) {
        if (relative.empty()) return top;
        if (!folder_.isOpen() || relative_ != relative) {
            folder_ = FileHandle(TreeWalk::openFolderBeneath(top, relative));
            relative_ = relative;
        }
        return folder_.fd();
    }
    void close() { folder_.close(); }

private:
    FileHandle folder_;
    std::string relative_;
};

Status writeBytes(int out, std::span<const uint8_t> bytes) {
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t w = ::write(out, bytes.data() + done, bytes.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return errnoFailure("write");
        done += static_cast<size_t>(w);
    }
    return success();
}

Status copyBytes(int in, int out) {
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errnoFailure("read");
        if (n == 0) return success();
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(out, buffer.data() + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return errnoFailure("write");
            done += w;
        }
    }
}

// A new file `name` in the open folder `folder`: made unnamed, filled,
// given its mode and flushed, then linked in under its name,
// which fails when the name is taken. Where the file system has no unnamed
// files it is made under a temporary name instead (private, 0600, until it
// has its mode) and renamed without replacing.
Status placeNewFile(int folder, const std::string& name, const std::function<Status(int fd)>& fill, mode_t mode,
                    const std::function<bool()>& failsNow = nullptr,
                    MoveReport* report = nullptr);

Status finishFile(int fd, const std::function<Status(int fd)>& fill, mode_t mode,
                  const std::function<bool()>& failsNow) {
    if (auto filled = fill(fd); !filled) return filled;
    if (auto settled = settle(fd, mode); !settled) return settled;
    // Flushed before the file takes its final name.
    if (::fsync(fd) != 0) return errnoFailure("fsync");
    if (failsNow && failsNow()) return Status::failure("No space left on device");
    return success();
}

Status moveNoReplaceIn(int fromFolder, const fs::path& from, int toFolder, const fs::path& to, MoveReport* report);

Status placeNewFile(int folder, const std::string& name, const std::function<Status(int fd)>& fill, mode_t mode,
                    const std::function<bool()>& failsNow, MoveReport* report) {
    FileHandle unnamed(::openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
    if (unnamed.isOpen()) {
        if (auto done = finishFile(unnamed.fd(), fill, mode, failsNow); !done) return done;
        if (::linkat(unnamed.fd(), "", folder, name.c_str(), AT_EMPTY_PATH) == 0) return success();
        // Linking by the descriptor itself takes a privilege; its
        // /proc/self/fd entry does not.
        if (errno != ENOENT && errno != EPERM) return errnoFailure("link " + name);
        const std::string self = "/proc/self/fd/" + std::to_string(unnamed.fd());
        if (::linkat(AT_FDCWD, self.c_str(), folder, name.c_str(), AT_SYMLINK_FOLLOW) != 0)
            return errnoFailure("link " + name);
        return success();
    }
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return errnoFailure("create");
    const std::string temporary = FileMoves::temporaryName(fs::path()).string();
    FileHandle named(::openat(folder, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!named.isOpen()) return errnoFailure("create");
    auto done = finishFile(named.fd(), fill, mode, failsNow);
    named.close();
    if (done) done = moveNoReplaceIn(folder, temporary, folder, name, report);
    if (!done) ::unlinkat(folder, temporary.c_str(), 0);
    return done;
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

// Unlinks one item of a tree being removed; a folder of that tree it may
// not change for want of its write bit (one the Host made read-only) gets
// that bit back when it is the Host's. Never used on the folder the tree
// sits in, whose mode is not the removal's to change.
int unlinkWritable(int folder, const std::string& name, int flags) {
    if (::unlinkat(folder, name.c_str(), flags) == 0) return 0;
    if (errno != EACCES || folder < 0) return -1;
    struct stat info{};
    if (::fstat(folder, &info) != 0 || ::fchmod(folder, (info.st_mode & 07777) | S_IRWXU) != 0) {
        errno = EACCES;
        return -1;
    }
    return ::unlinkat(folder, name.c_str(), flags);
}

// Removes an item and, for a folder, everything below it at any depth,
// never through a link: what can go goes, and the first failure is
// reported.
Status removeTreeAt(int folder, const fs::path& name) {
    auto removed = TreeWalk::remove(folder, name.string(), [](int at, const std::string& item, int flags) {
        return unlinkWritable(at, item, flags);
    });
    if (!removed) return toStatus(removed.error());
    return success();
}

// The source of a move that is whole at its target: its removal failing
// (an NFS ".nfsXXXX" left in it, a folder that is busy) does not undo the
// move, so it is told in the log only.
void removeMovedSource(int fromFolder, const fs::path& from, const fs::path& to) {
    Status removed = fallbackFails(FileMoves::FallbackStep::removeSource, "")
                         ? Status::failure("remove: Device or resource busy")
                         : removeTreeAt(fromFolder, from);
    if (!removed)
        Log::line("files: moved to " + to.string() + ", but its source " + from.string() +
                  " could not be removed: " + removed.error());
}

// A move where the file system refuses the no-replace flag. A file is
// hard-linked. A folder is made anew under the target name (which fails
// when the name is taken), private, and every
// item below is placed the same way (folders made, everything else
// hard-linked) while the source stays whole; only when all is placed do
// the new folders get the source's modes (a read-only folder last of all)
// and the source go. A failure before then removes what was placed.
// `cause` hears the errno of the failing call (EXDEV sends the caller
// across file systems).
class MoveWithoutTheFlag {
public:
    MoveWithoutTheFlag(int fromFolder, const fs::path& from, int toFolder, const fs::path& to, MoveReport* report)
        : fromFolder_(fromFolder), from_(from), toFolder_(toFolder), to_(to), report_(report) {}

    // A folder's move holds its new top, the folder below it last placed
    // into and a folder just made (the walk holds its own).
    static constexpr size_t kDescriptors = 3;

    Status run(int& cause) {
        cause = 0;
        struct stat info{};
        if (::fstatat(fromFolder_, from_.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            cause = errno;
            return errnoFailure("rename");
        }
        // On the account of the peer whose work it is before any is opened,
        // given back once they are closed; past its bound the move fails as
        // an open would.
        std::optional<WorkLedger::Holding> held;
        if (S_ISDIR(info.st_mode)) {
            held = WorkLedger::Holding::take(WorkLedger::current(), WorkLedger::Held::descriptors, kDescriptors);
            if (!held) {
                cause = EMFILE;
                return failureWith("open folder", EMFILE);
            }
        }
        if (!S_ISDIR(info.st_mode)) {
            if (fallbackFails(FileMoves::FallbackStep::place, "")) {
                cause = EIO;
                return failureWith("link", EIO);
            }
            if (::linkat(fromFolder_, from_.c_str(), toFolder_, to_.c_str(), 0) != 0) {
                cause = errno;
                return errnoFailure("link");
            }
            removeMovedSource(fromFolder_, from_, to_);
            return success();
        }
        auto walked = TreeWalk::walk(fromFolder_, from_.string(), {},
                                     [this](const TreeEntry& entry) { return place(entry); });
        if (!walked) {
            cause = cause_ != 0 ? cause_ : (walked.error().error != 0 ? walked.error().error : EIO);
            undo();
            return toStatus(walked.error());
        }
        cursor_.close();
        giveModes();
        top_.close();
        removeMovedSource(fromFolder_, from_, to_);
        return success();
    }

private:
    Status place(const TreeEntry& entry) {
        if (fallbackFails(FileMoves::FallbackStep::place, entry.relative)) {
            cause_ = EIO;
            return failureWith("place", EIO);
        }
        const bool isTop = entry.relative.empty();
        const int folder = isTop ? toFolder_ : cursor_.open(top_.fd(), parentOf(entry.relative));
        const std::string name = isTop ? to_.string() : entry.name;
        if (!isTop && folder < 0) return fail("open folder");
        if (entry.kind != FileSystemEntryKind::folder) {
            if (::linkat(entry.folder, entry.name.c_str(), folder, name.c_str(), 0) != 0) return fail("link");
            placed_.push_back({entry.relative, false});
            return success();
        }
        // Private until everything is in it: nothing can be put in or
        // taken out by anyone else, whatever the source's mode.
        if (::mkdirat(folder, name.c_str(), 0700) != 0) return fail("mkdir");
        placed_.push_back({entry.relative, true});
        if (folderMadeFails(entry.relative)) return fail("mkdir");
        FileHandle made(openMadeFolder(folder, name));
        if (!made.isOpen()) return fail("open folder");
        modes_.push_back({entry.relative, copyMode(entry.mode, true)});
        if (isTop) top_ = std::move(made);
        return success();
    }

    Status fail(const std::string& what) {
        cause_ = errno;
        return errnoFailure(what);
    }

    // Modes last, deepest first, so a read-only folder is filled before it
    // becomes read-only. The items are in place: a mode that cannot be
    // set is logged, not a failure of the move.
    void giveModes() {
        FolderCursor cursor;
        for (auto it = modes_.rbegin(); it != modes_.rend(); ++it) {
            const int folder = cursor.open(top_.fd(), it->first);
            if (folder < 0 || ::fchmod(folder, it->second) != 0)
                Log::line("files: could not give " + (to_ / it->first).string() + " its mode: " + std::strerror(errno));
        }
    }

    // Takes away what was placed, newest first; what cannot go is
    // counted, and the source (never changed) still holds all of it.
    void undo() {
        cursor_.close();
        size_t left = 0;
        for (auto it = placed_.rbegin(); it != placed_.rend(); ++it) {
            const auto& [relative, isFolder] = *it;
            const int flags = isFolder ? AT_REMOVEDIR : 0;
            bool removed = false;
            if (!fallbackFails(FileMoves::FallbackStep::undo, relative)) {
                if (relative.empty()) {
                    top_.close();
                    removed = ::unlinkat(toFolder_, to_.c_str(), flags) == 0;
                } else {
                    const int folder = cursor_.open(top_.fd(), parentOf(relative));
                    removed = folder >= 0 && ::unlinkat(folder, fs::path(relative).filename().c_str(), flags) == 0;
                }
            }
            if (!removed) left++;
        }
        cursor_.close();
        top_.close();
        if (left > 0)
            Log::line("files: a failed move to " + to_.string() + " left " + std::to_string(left) +
                      " item(s) there; its source " + from_.string() + " is whole");
        if (report_) report_->leftAtTarget = left;
    }

    const int fromFolder_;
    const fs::path from_;
    const int toFolder_;
    const fs::path to_;
    MoveReport* const report_;
    // The new top folder, and the folder below it last placed into.
    FileHandle top_;
    FolderCursor cursor_;
    // What was placed, parents first, for the undo; whether each is a folder.
    std::vector<std::pair<std::string, bool>> placed_;
    // The mode each new folder gets once everything is in place.
    std::vector<std::pair<std::string, mode_t>> modes_;
    int cause_ = 0;
};

// A rename that never replaces, also where the file system does not know
// the flag.
Status moveNoReplaceIn(int fromFolder, const fs::path& from, int toFolder, const fs::path& to, MoveReport* report) {
    if (renameNoReplaceAt(fromFolder, from, toFolder, to) == 0) return success();
    if (errno != EINVAL && errno != ENOSYS) return errnoFailure("rename");
    int cause = 0;
    return MoveWithoutTheFlag(fromFolder, from, toFolder, to, report).run(cause);
}

// A copy of a tree under `name` in the open folder `folder`, built by
// descriptor from the source's walk: nothing below the target is reached
// through a link, even one planted meanwhile. The copy's top is a private
// folder (0700) until everything in it has its mode; folders get
// theirs last, deepest first.
class TreeCopy {
public:
    TreeCopy(int folder, std::string name) : folder_(folder), name_(std::move(name)) {}

    Status run(int fromFolder, const fs::path& from) {
        auto walked = TreeWalk::walk(fromFolder, from.string(), {},
                                     [this](const TreeEntry& entry) { return copy(entry); });
        cursor_.close();
        if (!walked) return toStatus(walked.error());
        FolderCursor cursor;
        for (auto it = modes_.rbegin(); it != modes_.rend(); ++it) {
            const int made = cursor.open(top_.fd(), it->first);
            if (made < 0 || ::fchmod(made, it->second) != 0) return errnoFailure("chmod");
        }
        return success();
    }

private:
    Status copy(const TreeEntry& entry) {
        const bool isTop = entry.relative.empty();
        const int folder = isTop ? folder_ : cursor_.open(top_.fd(), parentOf(entry.relative));
        if (!isTop && folder < 0) return errnoFailure("open folder");
        const std::string name = isTop ? name_ : entry.name;
        switch (entry.kind) {
            case FileSystemEntryKind::file: {
                auto in = entry.openForReading();
                if (!in) return Status::failure(in.error());
                // Unnamed until whole, like a single file.
                return placeNewFile(folder, name, [&](int fd) { return copyBytes(in->fd(), fd); },
                                    copyMode(entry.mode, false));
            }
            case FileSystemEntryKind::link: {
                std::vector<char> target(static_cast<size_t>(PATH_MAX) + 1);
                const ssize_t n = ::readlinkat(entry.folder, entry.name.c_str(), target.data(), target.size() - 1);
                if (n < 0) return errnoFailure("readlink");
                target[static_cast<size_t>(n)] = '\0';
                if (::symlinkat(target.data(), folder, name.c_str()) != 0) return errnoFailure("symlink");
                return success();
            }
            case FileSystemEntryKind::folder: {
                if (::mkdirat(folder, name.c_str(), 0700) != 0) return errnoFailure("mkdir");
                FileHandle made(openMadeFolder(folder, name));
                if (folderMadeFails(entry.relative)) return errnoFailure("mkdir");
                if (!made.isOpen()) return errnoFailure("open folder");
                modes_.push_back({entry.relative, copyMode(entry.mode, true)});
                if (isTop) top_ = std::move(made);
                return success();
            }
            case FileSystemEntryKind::other:
                break;
        }
        return Status::failure("copy: " + entry.relative + " is no file or folder");
    }

    const int folder_;
    const std::string name_;
    FileHandle top_;
    FolderCursor cursor_;
    std::vector<std::pair<std::string, mode_t>> modes_;
};

bool copyFailsNow(const fs::path& from) {
    std::lock_guard lock(failureLock);
    return copyFailure && copyFailure(from);
}

// The copy in place under `to`, never replacing; the source stays. A file
// is made unnamed and linked in once whole; anything else is built under
// a temporary name beside `to` and renamed without replacing.
Status copyIntoPlace(int fromFolder, const fs::path& from, int toFolder, const fs::path& to, MoveReport* report) {
    // The folder copied into, and while a tree is copied its new top, the
    // folder below it last placed into, and a file's source and its copy
    // (the walk holds its own): on the account of the peer whose work it
    // is before any is opened; past its bound the copy fails as an open
    // would.
    auto held = WorkLedger::Holding::take(WorkLedger::current(), WorkLedger::Held::descriptors, FileMoves::kCopyDescriptors);
    if (!held) return failureWith("open folder", EMFILE);
    const fs::path parentPart = to.parent_path();
    FileHandle folder(::openat(toFolder, parentPart.empty() ? "." : parentPart.c_str(),
                               O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.isOpen()) return errnoFailure("open folder");
    const std::string name = to.filename().string();
    struct stat info{};
    if (::fstatat(fromFolder, from.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return errnoFailure("stat");
    if (S_ISREG(info.st_mode)) {
        TreeEntry source;
        source.folder = fromFolder;
        source.name = from.string();
        source.relative = from.filename().string();
        source.uid = info.st_uid;
        source.gid = info.st_gid;
        source.device = info.st_dev;
        source.inode = info.st_ino;
        auto in = source.openForReading();
        if (!in) return Status::failure(in.error());
        return placeNewFile(
            folder.fd(), name, [&](int fd) { return copyBytes(in->fd(), fd); }, copyMode(info.st_mode, false),
            [&] { return copyFailsNow(from); }, report);
    }
    const std::string temporary = FileMoves::temporaryName(fs::path()).string();
    auto copied = TreeCopy(folder.fd(), temporary).run(fromFolder, from);
    // The copy's own are closed: the folder alone stays open, and the move
    // into place takes what it opens itself.
    held->shrink(FileMoves::kCopyDescriptors - 1);
    if (copied && copyFailsNow(from)) copied = Status::failure("No space left on device");
    if (copied) copied = moveNoReplaceIn(folder.fd(), temporary, folder.fd(), name, report);
    if (!copied) {
        // Callers take the next free name when the last step found the
        // name taken: the cleanup must not change why it failed.
        const int why = errno;
        removeTreeAt(folder.fd(), temporary);
        errno = why;
    }
    return copied;
}

Status copyThenRename(int fromFolder, const fs::path& from, int toFolder, const fs::path& to, MoveReport* report) {
    if (auto copied = copyIntoPlace(fromFolder, from, toFolder, to, report); !copied)
        return copied;
    removeMovedSource(fromFolder, from, to);
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
    return copyIntoPlace(fromFolder, from, toFolder, to, nullptr);
}

Status FileMoves::writeNewFileAt(int folder, const std::string& name, std::span<const uint8_t> bytes, mode_t mode) {
    // The new file, on the account of the peer whose work it is before it
    // is opened.
    const auto held = WorkLedger::Holding::take(WorkLedger::current(), WorkLedger::Held::descriptors);
    if (!held) return failureWith("create", EMFILE);
    return placeNewFile(folder, name, [&](int fd) { return writeBytes(fd, bytes); }, copyMode(mode, false));
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
    // The old item, now under the temporary name: the new one is in place
    // whatever becomes of it.
    if (auto removed = removeTreeAt(folder, incoming); !removed)
        Log::line("files: the item replaced by " + existing.string() + " could not be removed: " + removed.error());
    return success();
}

Status FileMoves::moveNoReplace(const fs::path& from, const fs::path& to) {
    return moveNoReplaceAt(AT_FDCWD, from, AT_FDCWD, to);
}

Status FileMoves::moveNoReplaceAt(int fromFolder, const fs::path& from, int toFolder, const fs::path& to,
                                  MoveReport* report) {
    bool across = false;
    {
        std::lock_guard lock(failureLock);
        if (moveFailure && moveFailure(from)) return Status::failure("rename: Input/output error");
        across = acrossFileSystems && acrossFileSystems(from);
    }
    if (across) return copyThenRename(fromFolder, from, toFolder, to, report);
    if (renameNoReplaceAt(fromFolder, from, toFolder, to) == 0) return success();
    if (errno == EXDEV) return copyThenRename(fromFolder, from, toFolder, to, report);
    if (errno != EINVAL && errno != ENOSYS) return errnoFailure("rename");
    int cause = 0;
    auto moved = MoveWithoutTheFlag(fromFolder, from, toFolder, to, report).run(cause);
    if (!moved && cause == EXDEV) return copyThenRename(fromFolder, from, toFolder, to, report);
    return moved;
}

Status FileMoves::exchange(const fs::path& a, const fs::path& b) { return exchangeAt(AT_FDCWD, a, b); }

Status FileMoves::exchangeAt(int folder, const fs::path& a, const fs::path& b) {
    if (::renameat2(folder, a.c_str(), folder, b.c_str(), RENAME_EXCHANGE) != 0) return errnoFailure("exchange");
    return success();
}

Status FileMoves::removeAt(int folder, const fs::path& name) { return removeTreeAt(folder, name); }

namespace {
// An extension longer than this is no extension worth keeping: the name is
// cut as a whole.
constexpr size_t maxKeptExtensionBytes = 32;

// `text` cut to at most `bytes`, never inside a UTF-8 character.
std::string cutBetweenCharacters(const std::string& text, size_t bytes) {
    if (text.size() <= bytes) return text;
    size_t end = bytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
}
}  // namespace

std::string FileMoves::fittedName(const std::string& name, const std::string& suffix, size_t maxBytes) {
    const fs::path path(name);
    std::string stem = path.stem().string();
    std::string extension = path.extension().string();
    if (extension.size() > maxKeptExtensionBytes || extension.size() + suffix.size() >= maxBytes) {
        stem = name;
        extension.clear();
    }
    const size_t room = maxBytes > suffix.size() + extension.size() ? maxBytes - suffix.size() - extension.size() : 0;
    return cutBetweenCharacters(stem, room) + suffix + extension;
}

size_t FileMoves::maxNameBytesAt(int folder) {
    const long limit = ::fpathconf(folder, _PC_NAME_MAX);
    if (limit <= 0) return defaultMaxNameBytes;
    return std::min(static_cast<size_t>(limit), defaultMaxNameBytes);
}

void FileMoves::setCopyFailureForTesting(std::function<bool(const fs::path&)> fails) {
    std::lock_guard lock(failureLock);
    copyFailure = std::move(fails);
}

void FileMoves::setMoveFailureForTesting(std::function<bool(const fs::path&)> fails) {
    std::lock_guard lock(failureLock);
    moveFailure = std::move(fails);
}

void FileMoves::setAcrossFileSystemsForTesting(std::function<bool(const fs::path&)> across) {
    std::lock_guard lock(failureLock);
    acrossFileSystems = std::move(across);
}

void FileMoves::setFallbackFailureForTesting(std::function<bool(FallbackStep, const std::string&)> fails) {
    std::lock_guard lock(failureLock);
    fallbackFailure = std::move(fails);
}

void FileMoves::setNoReplaceRefusedForTesting(bool refused) {
    std::lock_guard lock(failureLock);
    noReplaceRefused = refused;
}

void FileMoves::setSettleStepForTesting(std::function<void()> step) {
    std::lock_guard lock(failureLock);
    settleStep = std::move(step);
}

}  // namespace platform
