#include "Platform/ConfinedFolder.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

#include <dirent.h>

#include "Platform/FileMoves.h"

namespace fs = std::filesystem;

namespace platform {
namespace {

std::string errorText(const std::string& what) { return what + ": " + std::strerror(errno); }

std::atomic<bool> resolveBeneathUnavailable{false};

int openFolderNoFollow(int folder, const std::string& name) {
    return ::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// The whole path in one call where the kernel resolves beneath a folder
// itself; -1 with errno ENOSYS where it cannot.
int openBeneathAtOnce(int folder, const fs::path& relative) {
    if (resolveBeneathUnavailable) {
        errno = ENOSYS;
        return -1;
    }
#ifdef SYS_openat2
    open_how how{};
    how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const long fd = ::syscall(SYS_openat2, folder, relative.c_str(), &how, sizeof how);
    // A sandbox that filters the call answers EPERM: taken as its absence.
    if (fd < 0 && errno == EPERM) errno = ENOSYS;
    return static_cast<int>(fd);
#else
    (void)folder;
    (void)relative;
    errno = ENOSYS;
    return -1;
#endif
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

void chownTree(int folder, const std::string& name, const FileOwner& owner) {
    if (::fchownat(folder, name.c_str(), owner.uid, owner.gid, AT_SYMLINK_NOFOLLOW) != 0) return;
    const int child = openFolderNoFollow(folder, name);
    if (child < 0) return;
    const int listing = ::dup(child);
    DIR* dir = listing < 0 ? nullptr : ::fdopendir(listing);
    if (!dir && listing >= 0) ::close(listing);
    std::vector<std::string> names;
    if (dir) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string entryName = entry->d_name;
            if (entryName != "." && entryName != "..") names.push_back(entryName);
        }
        ::closedir(dir);
    }
    for (const auto& entryName : names) chownTree(child, entryName, owner);
    ::close(child);
}

}  // namespace

Result<std::shared_ptr<ConfinedFolder>> ConfinedFolder::openTop(const fs::path& path, std::optional<FileOwner> owner,
                                                                bool create) {
    using R = Result<std::shared_ptr<ConfinedFolder>>;
    if (create) {
        std::error_code ignored;
        fs::create_directories(path, ignored);
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return R::failure(errorText("open " + path.string()));
    std::shared_ptr<ConfinedFolder> folder(new ConfinedFolder());
    folder->handle_ = FileHandle(fd);
    folder->path_ = path;
    folder->owner_ = owner;
    return folder;
}

void ConfinedFolder::setResolveBeneathUnavailableForTesting(bool unavailable) {
    resolveBeneathUnavailable = unavailable;
}

std::shared_ptr<const ConfinedFolder> ConfinedFolder::top() const { return top_ ? top_ : shared_from_this(); }

Result<std::shared_ptr<ConfinedFolder>> ConfinedFolder::openBeneath(const fs::path& relative, bool create) const {
    using R = Result<std::shared_ptr<ConfinedFolder>>;
    const auto parts = componentsBeneath(relative);
    if (!parts) return R::failure("open " + relative.string() + ": leaves " + path_.string());
    fs::path joined;
    for (const auto& part : *parts) joined /= part;

    FileHandle opened;
    int fd = -1;
    if (!create && !parts->empty()) fd = openBeneathAtOnce(this->fd(), joined);
    if (fd >= 0) {
        opened = FileHandle(fd);
    } else if (!create && !parts->empty() && errno != ENOSYS) {
        return R::failure(errorText("open " + (path_ / joined).string()));
    } else {
        // One component at a time: each opened without following a link,
        // so a component swapped for one between the steps fails the open.
        opened = FileHandle(::openat(this->fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!opened.isOpen()) return R::failure(errorText("open " + path_.string()));
        for (const auto& part : *parts) {
            const bool made = create && ::mkdirat(opened.fd(), part.c_str(), 0777) == 0;
            if (create && !made && errno != EEXIST) return R::failure(errorText("mkdir " + part));
            FileHandle next(openFolderNoFollow(opened.fd(), part));
            if (!next.isOpen()) return R::failure(errorText("open " + part));
            if (made && owner_) ::fchown(next.fd(), owner_->uid, owner_->gid);
            opened = std::move(next);
        }
    }
    std::shared_ptr<ConfinedFolder> folder(new ConfinedFolder());
    folder->handle_ = std::move(opened);
    folder->path_ = (path_ / joined).lexically_normal();
    folder->relative_ = relative_ / joined;
    folder->owner_ = owner_;
    folder->top_ = top();
    return folder;
}

bool ConfinedFolder::isTaken(const std::string& name) const { return FileMoves::isTakenAt(fd(), name); }

void ConfinedFolder::giveToOwner(const std::string& name) const {
    if (owner_) chownTree(fd(), name, *owner_);
}

Status ConfinedFolder::moveIn(const fs::path& from, const std::string& name) const {
    auto moved = FileMoves::moveNoReplaceAt(AT_FDCWD, from, fd(), name);
    if (moved) giveToOwner(name);
    return moved;
}

Status ConfinedFolder::moveOut(const std::string& name, const fs::path& to) const {
    return FileMoves::moveNoReplaceAt(fd(), name, AT_FDCWD, to);
}

Status ConfinedFolder::copyIn(const ConfinedFolder& from, const std::string& fromName, const std::string& name) const {
    auto copied = FileMoves::copyNoReplaceAt(from.fd(), fromName, fd(), name);
    if (copied) giveToOwner(name);
    return copied;
}

Status ConfinedFolder::replace(const std::string& incoming, const std::string& existing) const {
    return FileMoves::replaceAt(fd(), incoming, existing);
}

Result<std::shared_ptr<ConfinedFolder>> ConfinedFolder::makeFolder(const std::string& name) const {
    using R = Result<std::shared_ptr<ConfinedFolder>>;
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
        return R::failure("mkdir " + name + ": not one name");
    if (::mkdirat(fd(), name.c_str(), 0700) != 0) return R::failure(errorText("mkdir " + name));
    FileHandle made(openFolderNoFollow(fd(), name));
    if (!made.isOpen()) return R::failure(errorText("open " + name));
    if (owner_) ::fchown(made.fd(), owner_->uid, owner_->gid);
    std::shared_ptr<ConfinedFolder> folder(new ConfinedFolder());
    folder->handle_ = std::move(made);
    folder->path_ = path_ / name;
    folder->relative_ = relative_ / name;
    folder->owner_ = owner_;
    folder->top_ = top();
    return folder;
}

Status ConfinedFolder::writeFile(const std::string& name, std::span<const uint8_t> bytes) const {
    // The temporary's length does not depend on the final name's, so every
    // name the file system takes can arrive.
    const std::string temporary = FileMoves::temporaryName(fs::path()).string();
    FileHandle file(::openat(fd(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!file.isOpen()) return Status::failure(errorText("create"));
    auto written = file.writeAll(bytes);
    if (written && ::fsync(file.fd()) != 0) written = Status::failure(errorText("fsync"));
    if (written && owner_) ::fchown(file.fd(), owner_->uid, owner_->gid);
    file.close();
    if (written) written = FileMoves::moveNoReplaceAt(fd(), temporary, fd(), name);
    if (!written) ::unlinkat(fd(), temporary.c_str(), 0);
    return written;
}

std::optional<FileSystemEntry> ConfinedFolder::entry(const std::string& name) const {
    return FileSystemItems::entryAt(fd(), name);
}

Result<std::vector<FileSystemEntry>> ConfinedFolder::list() const {
    auto entries = FileSystemItems::listFolderAt(fd());
    if (!entries) return Result<std::vector<FileSystemEntry>>::failure(entries.error() + " " + path_.string());
    return entries;
}

void ConfinedFolder::remove(const std::string& name) const { FileMoves::removeAt(fd(), name); }

}  // namespace platform
