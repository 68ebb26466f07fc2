#include "Platform/Files/ConfinedFolder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <vector>

#include "Platform/Files/FileMoves.h"
#include "Platform/Files/TreeWalk.h"

namespace fs = std::filesystem;

namespace platform {
namespace {

int openFolderNoFollow(int folder, const std::string& name) {
    return ::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// One item's name: nothing that leads to another folder.
bool isOneName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// The components of a path a peer named, or none when one of them would
// leave the folder (absolute, "..") or is no name at all.
std::optional<std::vector<std::string>> componentsBeneath(const fs::path& relative) {
    if (relative.is_absolute() || relative.has_root_name()) return std::nullopt;
    std::vector<std::string> parts;
    for (const auto& part : relative) {
        const std::string name = part.string();
        if (name.empty() || name == ".") continue;
        if (name == "..") return std::nullopt;
        parts.push_back(name);
    }
    return parts;
}

// What a call made with the rights of a user it could not take answers.
template <class T>
struct Refused;
template <class T>
struct Refused<Result<T>> {
    static Result<T> with(const std::string& error) { return Result<T>::failure("act as the user: " + error); }
};
template <class T>
struct Refused<std::optional<T>> {
    static std::optional<T> with(const std::string&) { return std::nullopt; }
};
// A name that cannot be looked at is no name to take.
template <>
struct Refused<bool> {
    static bool with(const std::string&) { return true; }
};

std::mutex writeCheckLock;
ConfinedFolder::WriteCheckFaults writeCheckFaults;

ConfinedFolder::WriteCheckFaults currentWriteCheckFaults() {
    std::lock_guard lock(writeCheckLock);
    return writeCheckFaults;
}

// Whether the thread's file identity may make and remove items in
// `folder`. AT_EACCESS has the kernel check the file-system ids and
// groups; the C library's own stand-in for a kernel without the call
// checks the effective ID instead (root's, allowed everything), so the
// call is made directly. Where the call cannot be made (an old kernel, or
// a container's filter that answers EPERM) the write itself is tried with
// the thread's identity: an unnamed file, else a private folder made and
// removed at once. What cannot be decided either way is refused.
bool mayWriteAt(int folder) {
    const auto faults = currentWriteCheckFaults();
    int checked = -1;
#ifdef SYS_faccessat2
    if (faults.accessCallError != 0) {
        errno = faults.accessCallError;
    } else {
        checked = static_cast<int>(::syscall(SYS_faccessat2, folder, ".", W_OK | X_OK, AT_EACCESS));
    }
#else
    errno = ENOSYS;
#endif
    if (checked == 0) return true;
    if (errno != ENOSYS && errno != EPERM) return false;
    // An unnamed file, never visible, made and let go.
    if (!faults.noUnnamedFiles) {
        const int probe = ::openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
        if (probe >= 0) {
            ::close(probe);
            return true;
        }
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return false;
    }
    // A file system without unnamed files: an empty private folder, the
    // user's own, made and taken away again.
    const std::string probe = FileMoves::temporaryName(fs::path()).string();
    if (::mkdirat(folder, probe.c_str(), 0700) != 0) return false;
    return ::unlinkat(folder, probe.c_str(), AT_REMOVEDIR) == 0;
}

}  // namespace

template <class Work>
auto ConfinedFolder::asUser(Work work) const -> decltype(work()) {
    if (!actAs_) return work();
    // Callers read errno after a failure (a name taken meanwhile is tried
    // again): it is the work's, not that of giving the rights back.
    std::optional<decltype(work())> done;
    int error = 0;
    {
        FileIdentity identity(*actAs_);
        if (!identity) return Refused<decltype(work())>::with(identity.error());
        done.emplace(work());
        error = errno;
    }
    errno = error;
    return std::move(*done);
}

Result<std::shared_ptr<ConfinedFolder>> ConfinedFolder::openTop(const fs::path& path, std::optional<FileOwner> owner,
                                                                bool create, std::optional<FileIdentity::Account> actAs) {
    using R = Result<std::shared_ptr<ConfinedFolder>>;
    std::shared_ptr<ConfinedFolder> folder(new ConfinedFolder());
    if (actAs) folder->actAs_ = std::make_shared<const FileIdentity::Account>(std::move(*actAs));
    folder->path_ = path;
    folder->owner_ = owner;
    return folder->asUser([&]() -> R {
        if (create) {
            std::error_code ignored;
            fs::create_directories(path, ignored);
        }
        const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return R::failure(errnoFailureText("open " + path.string()));
        folder->handle_ = FileHandle(fd);
        return folder;
    });
}

void ConfinedFolder::setResolveBeneathUnavailableForTesting(bool unavailable) {
    TreeWalk::setResolveBeneathUnavailableForTesting(unavailable);
}

std::shared_ptr<const ConfinedFolder> ConfinedFolder::top() const { return top_ ? top_ : shared_from_this(); }

Result<std::shared_ptr<ConfinedFolder>> ConfinedFolder::openBeneath(const fs::path& relative, bool create) const {
    // With the user's rights, a folder the user may not enter is not
    // opened, and one made here is the user's from the start.
    return asUser([&] { return openBeneathAsIs(relative, create); });
}

Result<std::shared_ptr<ConfinedFolder>> ConfinedFolder::openBeneathAsIs(const fs::path& relative, bool create) const {
    using R = Result<std::shared_ptr<ConfinedFolder>>;
    const auto parts = componentsBeneath(relative);
    if (!parts) return R::failure("open " + relative.string() + ": leaves " + path_.string());
    fs::path joined;
    for (const auto& part : *parts) joined /= part;

    FileHandle opened;
    if (!create) {
        // Where the kernel resolves beneath a folder, in one call; else one
        // component at a time, each opened without following a link, so a
        // component swapped for one between the steps fails the open.
        opened = FileHandle(TreeWalk::openFolderBeneath(this->fd(), joined));
        if (!opened.isOpen()) return R::failure(errnoFailureText("open " + (path_ / joined).string()));
    } else {
        opened = FileHandle(::openat(this->fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!opened.isOpen()) return R::failure(errnoFailureText("open " + path_.string()));
        for (const auto& part : *parts) {
            // A folder made here is private until it is the owner's.
            const bool made = ::mkdirat(opened.fd(), part.c_str(), owner_ ? 0700 : 0777) == 0;
            if (!made && errno != EEXIST) return R::failure(errnoFailureText("mkdir " + part));
            FileHandle next(openFolderNoFollow(opened.fd(), part));
            if (!next.isOpen()) return R::failure(errnoFailureText("open " + part));
            if (made && owner_) {
                if (::fchown(next.fd(), owner_->uid, owner_->gid) != 0 || ::fchmod(next.fd(), 0755) != 0)
                    return R::failure(errnoFailureText("give " + part + " to its owner"));
            }
            opened = std::move(next);
        }
    }
    std::shared_ptr<ConfinedFolder> folder(new ConfinedFolder());
    folder->handle_ = std::move(opened);
    folder->path_ = (path_ / joined).lexically_normal();
    folder->relative_ = relative_ / joined;
    folder->owner_ = owner_;
    folder->actAs_ = actAs_;
    folder->top_ = top();
    return folder;
}

bool ConfinedFolder::isTaken(const std::string& name) const {
    return asUser([&] { return FileMoves::isTakenAt(fd(), name); });
}

Status ConfinedFolder::mayWrite() const {
    return asUser([&] {
        if (mayWriteAt(fd())) return success();
        return Status::failure(path_.string() + ": the user may not write here");
    });
}

Status ConfinedFolder::moveIn(const FolderHandle& staging, const std::string& fromName, const std::string& name,
                              MoveReport* report) const {
    // More than one name would reach past the staging folder as opened.
    if (!isOneName(fromName)) return Status::failure("move " + fromName + ": not one name");
    // The move itself has the process's rights (the staging it leaves is
    // the Host's alone): where the user could not put the item, it is not
    // put there.
    if (actAs_) {
        if (auto writable = mayWrite(); !writable) return writable;
    }
    if (owner_) {
        // Given away while still in staging, where only the Host reaches
        // it: no moment in the destination, a folder the owner can write,
        // holds an item of the Host's.
        if (auto given = FileMoves::giveAwayAt(staging.fd(), fromName, *owner_); !given) return given;
    }
    // From the folder as opened, never by a path: one that leads elsewhere
    // now would bring in (and, with an owner, give away) what it leads to.
    return FileMoves::moveNoReplaceAt(staging.fd(), fromName, fd(), name, report);
}

Status ConfinedFolder::moveOut(const std::string& name, const FolderHandle& staging, const std::string& toName) const {
    if (!isOneName(toName)) return Status::failure("move " + toName + ": not one name");
    // The name lies in the user's folder, where the user can put anything
    // under it by the time of the move: only the user's rights take it.
    return asUser([&] { return FileMoves::moveNoReplaceAt(fd(), name, staging.fd(), toName); });
}

Result<FileHandle> ConfinedFolder::createFile(const std::string& name, mode_t mode) const {
    using R = Result<FileHandle>;
    if (!isOneName(name)) return R::failure("create " + name + ": not one name");
    return asUser([&]() -> R {
        // Private until it is the owner's and has its mode.
        FileHandle made(::openat(fd(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!made.isOpen()) return R::failure(errnoFailureText("create " + (path_ / name).string()));
        const bool settled = (!owner_ || ::fchown(made.fd(), owner_->uid, owner_->gid) == 0) &&
                             ::fchmod(made.fd(), mode & 0777) == 0;
        if (!settled) {
            const int error = errno;
            const std::string text = errnoFailureText("give " + name + " its owner and mode");
            made.close();
            ::unlinkat(fd(), name.c_str(), 0);
            errno = error;
            return R::failure(text);
        }
        return R(std::move(made));
    });
}

void ConfinedFolder::setWriteCheckFaultsForTesting(WriteCheckFaults faults) {
    std::lock_guard lock(writeCheckLock);
    writeCheckFaults = faults;
}

Status ConfinedFolder::copyIn(const ConfinedFolder& from, const std::string& fromName, const std::string& name) const {
    // Read and made with the user's rights: what the user may not read is
    // not copied, and the copy is the user's from its first byte.
    auto copy = [&] { return FileMoves::copyNoReplaceAt(from.fd(), fromName, fd(), name, owner_); };
    return actAs_ || !from.actAs_ ? asUser(copy) : from.asUser(copy);
}

Status ConfinedFolder::replace(const std::string& incoming, const std::string& existing) const {
    return asUser([&] { return FileMoves::replaceAt(fd(), incoming, existing); });
}

Result<std::shared_ptr<ConfinedFolder>> ConfinedFolder::makeFolder(const std::string& name) const {
    using R = Result<std::shared_ptr<ConfinedFolder>>;
    if (!isOneName(name)) return R::failure("mkdir " + name + ": not one name");
    return asUser([&] { return makeFolderAsIs(name); });
}

Result<std::shared_ptr<ConfinedFolder>> ConfinedFolder::makeFolderAsIs(const std::string& name) const {
    using R = Result<std::shared_ptr<ConfinedFolder>>;
    if (::mkdirat(fd(), name.c_str(), 0700) != 0) return R::failure(errnoFailureText("mkdir " + name));
    FileHandle made(openFolderNoFollow(fd(), name));
    if (!made.isOpen()) return R::failure(errnoFailureText("open " + name));
    if (owner_ && ::fchown(made.fd(), owner_->uid, owner_->gid) != 0) {
        const std::string error = errnoFailureText("give " + name + " to its owner");
        made.close();
        ::unlinkat(fd(), name.c_str(), AT_REMOVEDIR);
        return R::failure(error);
    }
    std::shared_ptr<ConfinedFolder> folder(new ConfinedFolder());
    folder->handle_ = std::move(made);
    folder->path_ = path_ / name;
    folder->relative_ = relative_ / name;
    folder->owner_ = owner_;
    folder->actAs_ = actAs_;
    folder->top_ = top();
    return folder;
}

Status ConfinedFolder::writeFile(const std::string& name, std::span<const uint8_t> bytes) const {
    return asUser([&] { return FileMoves::writeNewFileAt(fd(), name, bytes, 0644, owner_); });
}

std::optional<FileSystemEntry> ConfinedFolder::entry(const std::string& name) const {
    return asUser([&] { return FileSystemItems::entryAt(fd(), name); });
}

Result<std::vector<FileSystemEntry>> ConfinedFolder::list(size_t maxEntries) const {
    auto entries = asUser([&] { return FileSystemItems::listFolderAt(fd(), maxEntries); });
    if (!entries) return Result<std::vector<FileSystemEntry>>::failure(entries.error() + " " + path_.string());
    return entries;
}

Status ConfinedFolder::remove(const std::string& name) const {
    return asUser([&] { return FileMoves::removeAt(fd(), name); });
}

}  // namespace platform
