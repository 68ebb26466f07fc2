#include "Platform/Files/ConfinedFolder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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

// The process's umask, read without changing it (setting it to read it
// would change it for a moment for every thread). Read each time: a file
// written costs a flush, which dwarfs it. A kernel too old to report it
// is taken to have the usual 022.
mode_t currentUmask() {
    FILE* status = std::fopen("/proc/self/status", "re");
    unsigned found = 022;
    if (status) {
        char line[256];
        while (std::fgets(line, sizeof line, status))
            if (std::sscanf(line, "Umask: %o", &found) == 1) break;
        std::fclose(status);
    }
    return static_cast<mode_t>(found & 0777);
}

}  // namespace

Result<std::shared_ptr<ConfinedFolder>> ConfinedFolder::openTop(const fs::path& path, bool create) {
    using R = Result<std::shared_ptr<ConfinedFolder>>;
    if (create) {
        std::error_code ignored;
        fs::create_directories(path, ignored);
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return R::failure(errnoFailureText("open " + path.string()));
    std::shared_ptr<ConfinedFolder> folder(new ConfinedFolder());
    folder->handle_ = FileHandle(fd);
    folder->path_ = path;
    return folder;
}

void ConfinedFolder::setResolveBeneathUnavailableForTesting(bool unavailable) {
    TreeWalk::setResolveBeneathUnavailableForTesting(unavailable);
}

std::shared_ptr<const ConfinedFolder> ConfinedFolder::top() const { return top_ ? top_ : shared_from_this(); }

Result<std::shared_ptr<ConfinedFolder>> ConfinedFolder::openBeneath(const fs::path& relative, bool create) const {
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
            const bool made = ::mkdirat(opened.fd(), part.c_str(), 0777) == 0;
            if (!made && errno != EEXIST) return R::failure(errnoFailureText("mkdir " + part));
            FileHandle next(openFolderNoFollow(opened.fd(), part));
            if (!next.isOpen()) return R::failure(errnoFailureText("open " + part));
            opened = std::move(next);
        }
    }
    return child(std::move(opened), joined);
}

std::shared_ptr<ConfinedFolder> ConfinedFolder::child(FileHandle handle, const fs::path& relative) const {
    std::shared_ptr<ConfinedFolder> folder(new ConfinedFolder());
    folder->handle_ = std::move(handle);
    folder->path_ = (path_ / relative).lexically_normal();
    folder->relative_ = relative_ / relative;
    folder->top_ = top();
    return folder;
}

bool ConfinedFolder::isTaken(const std::string& name) const { return FileMoves::isTakenAt(fd(), name); }

Status ConfinedFolder::mayWrite() const {
    const int refused = WriteAttempt::in(fd());
    if (refused == 0) return success();
    return Status::failure(WriteAttempt::failureText(path_.string() + ": the user may not write here", refused));
}

Status ConfinedFolder::moveIn(const FolderHandle& staging, const std::string& fromName, const std::string& name,
                              MoveReport* report) const {
    // More than one name would reach past the staging folder as opened.
    if (!isOneName(fromName)) return Status::failure("move " + fromName + ": not one name");
    // From the folder as opened, never by a path: one that leads elsewhere
    // now would bring in what it leads to.
    return FileMoves::moveNoReplaceAt(staging.fd(), fromName, fd(), name, report);
}

Status ConfinedFolder::moveOut(const std::string& name, const FolderHandle& staging, const std::string& toName) const {
    if (!isOneName(toName)) return Status::failure("move " + toName + ": not one name");
    return FileMoves::moveNoReplaceAt(fd(), name, staging.fd(), toName);
}

Result<FileHandle> ConfinedFolder::createFile(const std::string& name, mode_t mode) const {
    using R = Result<FileHandle>;
    if (!isOneName(name)) return R::failure("create " + name + ": not one name");
    FileHandle made(::openat(fd(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode & 0777));
    if (!made.isOpen()) return R::failure(errnoFailureText("create " + (path_ / name).string()));
    return R(std::move(made));
}

Status ConfinedFolder::copyIn(const ConfinedFolder& from, const std::string& fromName, const std::string& name) const {
    return FileMoves::copyNoReplaceAt(from.fd(), fromName, fd(), name);
}

Status ConfinedFolder::replace(const std::string& incoming, const std::string& existing) const {
    return FileMoves::replaceAt(fd(), incoming, existing);
}

Result<std::shared_ptr<ConfinedFolder>> ConfinedFolder::makeFolder(const std::string& name) const {
    using R = Result<std::shared_ptr<ConfinedFolder>>;
    if (!isOneName(name)) return R::failure("mkdir " + name + ": not one name");
    if (::mkdirat(fd(), name.c_str(), 0777) != 0) return R::failure(errnoFailureText("mkdir " + name));
    FileHandle made(openFolderNoFollow(fd(), name));
    if (!made.isOpen()) return R::failure(errnoFailureText("open " + name));
    return R(child(std::move(made), name));
}

Status ConfinedFolder::writeFile(const std::string& name, std::span<const uint8_t> bytes) const {
    return FileMoves::writeNewFileAt(fd(), name, bytes, 0666 & ~currentUmask());
}

std::optional<FileSystemEntry> ConfinedFolder::entry(const std::string& name) const {
    return FileSystemItems::entryAt(fd(), name);
}

Result<std::vector<FileSystemEntry>> ConfinedFolder::list(size_t maxEntries) const {
    auto entries = FileSystemItems::listFolderAt(fd(), maxEntries);
    if (!entries) return Result<std::vector<FileSystemEntry>>::failure(entries.error() + " " + path_.string());
    return entries;
}

Result<std::vector<FileSystemEntry>> ConfinedFolder::list(const FileSystemItems::ListingOrder& order, bool* cut) const {
    auto entries = FileSystemItems::listFolderAt(fd(), order, cut);
    if (!entries) return Result<std::vector<FileSystemEntry>>::failure(entries.error() + " " + path_.string());
    return entries;
}

Status ConfinedFolder::remove(const std::string& name) const { return FileMoves::removeAt(fd(), name); }

}  // namespace platform
