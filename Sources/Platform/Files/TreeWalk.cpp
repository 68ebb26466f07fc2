#include "Platform/Files/TreeWalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <set>
#include <string_view>
#include <vector>

namespace fs = std::filesystem;

namespace platform {
namespace {

std::atomic<bool> resolveBeneathUnavailable{false};
std::atomic<size_t> removalFoldersPerRead{0};

FileSystemEntryKind kindOf(mode_t mode) {
    if (S_ISREG(mode)) return FileSystemEntryKind::file;
    if (S_ISDIR(mode)) return FileSystemEntryKind::folder;
    if (S_ISLNK(mode)) return FileSystemEntryKind::link;
    return FileSystemEntryKind::other;
}

TreeEntry entryFrom(const std::string& relative, const std::string& name, int depth, const struct stat& info) {
    TreeEntry entry;
    entry.relative = relative;
    entry.name = name;
    entry.depth = depth;
    entry.kind = kindOf(info.st_mode);
    entry.mode = info.st_mode;
    entry.uid = info.st_uid;
    entry.gid = info.st_gid;
    entry.size = S_ISREG(info.st_mode) ? static_cast<uint64_t>(info.st_size) : 0;
    entry.device = info.st_dev;
    entry.inode = info.st_ino;
    return entry;
}

int openChildFolder(int folder, const std::string& name) {
    return ::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// The whole path in one call; -1 with errno ENOSYS where the kernel cannot.
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

// The names in an open folder, "." and ".." left out; none (errno set) when
// it cannot be read, or when it holds more than `limit` names (E2BIG), so a
// folder of millions of names is not read into memory.
std::optional<std::vector<std::string>> namesIn(int folder, size_t limit) {
    const int listing = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0) return std::nullopt;
    DIR* dir = ::fdopendir(listing);
    if (!dir) {
        const int cause = errno;
        ::close(listing);
        errno = cause;
        return std::nullopt;
    }
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir);
        if (!entry) break;
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        if (names.size() >= limit) {
            ::closedir(dir);
            errno = E2BIG;
            return std::nullopt;
        }
        names.push_back(name);
    }
    const int cause = errno;
    ::closedir(dir);
    if (cause != 0) {
        errno = cause;
        return std::nullopt;
    }
    return names;
}

std::string errorText(const std::string& what, int error) { return what + ": " + std::strerror(error); }

// One pass over a tree: the scan (no visitor) or the acting pass.
class Pass {
public:
    Pass(int folder, const std::string& name, const TreeWalk::Options& options, const TreeWalk::Visitor* visit)
        : folder_(folder), name_(name), options_(options), visit_(visit) {}

    TreeWalkResult run() {
        struct stat info{};
        if (::fstatat(folder_, name_.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            const int cause = errno;
            return failure({{}, errorText("stat " + name_, cause), false, cause});
        }
        TreeEntry top = entryFrom({}, name_, 0, info);
        top.folder = folder_;
        count(top);
        if (!S_ISDIR(info.st_mode)) {
            if (!visit(top)) return *failure_;
            return summary_;
        }
        root_ = FileHandle(openChildFolder(folder_, name_));
        if (!root_.isOpen() || !sameItem(root_.fd(), top))
            return failure({{}, errorText("open " + name_, root_.isOpen() ? ESTALE : errno), false,
                            root_.isOpen() ? ESTALE : errno});
        if (order() == TreeWalk::Order::parentsFirst && !visit(top)) return *failure_;
        auto names = namesIn(root_.fd(), remainingNames());
        if (!names) {
            const int cause = errno;
            if (cause == E2BIG) return pastBounds({}, "more than " + std::to_string(options_.maxEntries) + " items");
            return failure({{}, errorText("read folder " + name_, cause), false, cause});
        }
        listed_ += names->size();
        stack_.push_back({top, std::move(*names), 0});
        while (!stack_.empty()) {
            if (!step()) return *failure_;
        }
        return summary_;
    }

private:
    struct Frame {
        TreeEntry entry;
        std::vector<std::string> names;
        size_t next = 0;
    };

    TreeWalk::Order order() const { return options_.order; }
    size_t remainingNames() const { return options_.maxEntries > listed_ ? options_.maxEntries - listed_ : 0; }

    static std::string_view parentOf(const std::string& relative) {
        const auto slash = relative.rfind('/');
        return slash == std::string::npos ? std::string_view() : std::string_view(relative).substr(0, slash);
    }

    static bool sameItem(int fd, const TreeEntry& entry) {
        struct stat opened{};
        return ::fstat(fd, &opened) == 0 && opened.st_dev == entry.device && opened.st_ino == entry.inode;
    }

    void count(const TreeEntry& entry) {
        summary_.entries++;
        if (entry.depth > summary_.depth) summary_.depth = entry.depth;
        if (entry.kind == FileSystemEntryKind::folder) summary_.folders++;
        if (entry.kind == FileSystemEntryKind::file) {
            summary_.files++;
            summary_.bytes += entry.size;
        }
    }

    TreeWalkResult failure(TreeWalkFailure f) {
        failure_ = std::move(f);
        return *failure_;
    }
    TreeWalkResult pastBounds(const std::string& relative, const std::string& what) {
        return failure({relative, "the tree is too large to handle whole (" + what + ")", true, 0});
    }

    // Whether the walk goes on after a failure: it does, skipping what the
    // failure concerns, only where the caller handles failures; the scan
    // leaves reporting them to the acting pass.
    bool carryOn(TreeWalkFailure f) {
        if (options_.onError) {
            if (visit_) options_.onError(f);
            return true;
        }
        failure_ = std::move(f);
        return false;
    }

    // The visitor on one entry; false when the walk must stop (failure_
    // set). `skipped` tells a failure the walk carries on from.
    bool visit(const TreeEntry& entry, bool* skipped = nullptr) {
        if (!visit_) return true;
        auto done = (*visit_)(entry);
        if (done) return true;
        if (skipped) *skipped = true;
        return carryOn({entry.relative, done.error(), false, 0});
    }

    // The descriptor of the folder the top frame lists, opened again from
    // the root when the walk has been elsewhere since.
    int frameFolder() {
        const Frame& top = stack_.back();
        if (top.entry.relative.empty()) return root_.fd();
        if (!current_.isOpen() || currentRelative_ != top.entry.relative) {
            // Back up from a child by "..", when that is still the folder
            // the frame lists (a deep tree is then left in one step a
            // level); from the root by path otherwise.
            FileHandle up;
            if (current_.isOpen() && parentOf(currentRelative_) == top.entry.relative) {
                up = FileHandle(::openat(current_.fd(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
                if (up.isOpen() && !sameItem(up.fd(), top.entry)) up.close();
            }
            current_ = up.isOpen() ? std::move(up)
                                   : FileHandle(TreeWalk::openFolderBeneath(root_.fd(), top.entry.relative));
            currentRelative_ = top.entry.relative;
            if (current_.isOpen() && !sameItem(current_.fd(), top.entry)) {
                current_.close();
                errno = ESTALE;
            }
        }
        return current_.isOpen() ? current_.fd() : -1;
    }

    bool step() {
        Frame& top = stack_.back();
        if (top.next == top.names.size()) return leave();
        const std::string child = top.names[top.next++];
        const std::string relative = top.entry.relative.empty() ? child : top.entry.relative + "/" + child;
        const int depth = static_cast<int>(stack_.size());
        const int folder = frameFolder();
        if (folder < 0) {
            const int cause = errno;
            stack_.back().next = stack_.back().names.size();
            return carryOn({stack_.back().entry.relative, errorText("open folder", cause), false, cause});
        }
        struct stat info{};
        if (::fstatat(folder, child.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            const int cause = errno;
            return carryOn({relative, errorText("stat", cause), false, cause});
        }
        TreeEntry entry = entryFrom(relative, child, depth, info);
        entry.folder = folder;
        if (options_.leaveOut && options_.leaveOut(entry)) return true;
        if (depth > options_.maxDepth) {
            pastBounds(relative, "more than " + std::to_string(options_.maxDepth) + " levels");
            return false;
        }
        count(entry);
        if (entry.kind != FileSystemEntryKind::folder) return visit(entry);

        if (order() == TreeWalk::Order::parentsFirst) {
            bool skipped = false;
            if (!visit(entry, &skipped)) return false;
            if (skipped) return true;
        }
        // The visitor may have used descriptors of its own; the folder is
        // still the one the frame lists.
        FileHandle opened(openChildFolder(folder, child));
        if (!opened.isOpen() || !sameItem(opened.fd(), entry)) {
            const int cause = opened.isOpen() ? ESTALE : errno;
            return carryOn({relative, errorText("open folder", cause), false, cause});
        }
        auto names = namesIn(opened.fd(), remainingNames());
        if (!names) {
            const int cause = errno;
            if (cause == E2BIG) {
                pastBounds(relative, "more than " + std::to_string(options_.maxEntries) + " items");
                return false;
            }
            return carryOn({relative, errorText("read folder", cause), false, cause});
        }
        listed_ += names->size();
        current_ = std::move(opened);
        currentRelative_ = relative;
        stack_.push_back({std::move(entry), std::move(*names), 0});
        return true;
    }

    // A folder's items are done: in children-first order the folder itself
    // is visited now, from its parent.
    bool leave() {
        TreeEntry entry = std::move(stack_.back().entry);
        stack_.pop_back();
        if (order() != TreeWalk::Order::childrenFirst || !visit_) return true;
        if (stack_.empty()) {
            // The walked item: its own folder descriptor is let go first.
            current_.close();
            root_.close();
            entry.folder = folder_;
            return visit(entry);
        }
        const int parent = frameFolder();
        if (parent < 0) {
            const int cause = errno;
            return carryOn({entry.relative, errorText("open folder", cause), false, cause});
        }
        entry.folder = parent;
        return visit(entry);
    }

    const int folder_;
    const std::string name_;
    const TreeWalk::Options& options_;
    // Null for the scan.
    const TreeWalk::Visitor* visit_;
    TreeSummary summary_;
    // Names read so far, bounded by maxEntries.
    size_t listed_ = 0;
    // The walked folder; every other folder is reached from it.
    FileHandle root_;
    // The folder last opened below the root, and its path there: the only
    // other descriptor the walk holds between steps.
    FileHandle current_;
    std::string currentRelative_;
    std::vector<Frame> stack_;
    std::optional<TreeWalkFailure> failure_;
};


// The removal of a tree of any depth. Each folder on the path from the top
// to where the removal is has a level: its name, its identity, and the
// names in it that could not go. Going down is by name from the folder
// held; going back up is by "..", taken only when it is the folder the
// level recorded (a folder moved meanwhile would otherwise lead out of the
// tree), else by the names from the top. Between steps the top, the
// current folder and, while one is read, its listing are open.
class Removal {
public:
    Removal(int folder, const std::string& name, const TreeWalk::Unlink& unlink)
        : folder_(folder), name_(name), unlink_(unlink) {}

    TreeWalkResult run() {
        struct stat info{};
        if (::fstatat(folder_, name_.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            const int cause = errno;
            return TreeWalkFailure{{}, errorText("stat " + name_, cause), false, cause};
        }
        if (!S_ISDIR(info.st_mode)) {
            if (::unlinkat(folder_, name_.c_str(), 0) != 0) {
                const int cause = errno;
                return TreeWalkFailure{{}, errorText("remove " + name_, cause), false, cause};
            }
            removed_.entries = removed_.files = 1;
            return removed_;
        }
        root_ = FileHandle(openChildFolder(folder_, name_));
        if (!root_.isOpen() || !isItem(root_.fd(), info.st_dev, info.st_ino)) {
            const int cause = root_.isOpen() ? ESTALE : errno;
            return TreeWalkFailure{{}, errorText("open " + name_, cause), false, cause};
        }
        levels_.push_back({name_, info.st_dev, info.st_ino, {}, {}, false});
        while (!levels_.empty()) {
            if (!step()) break;
        }
        current_.close();
        root_.close();
        if (failure_) return *failure_;
        return removed_;
    }

private:
    struct Level {
        std::string name;
        dev_t device = 0;
        ino_t inode = 0;
        // Folders found in it and not gone into yet.
        std::vector<std::string> folders;
        // Names in it that could not be removed: not looked for again.
        std::set<std::string> kept;
        // It could not be read to its end: what was found in it is dealt
        // with, and it is not read again.
        bool unreadable = false;
    };

    // Folders of one folder held at once; past it the folder is read again
    // once they are gone, so a folder of millions of folders costs a few
    // reads, not its whole listing in memory.
    static constexpr size_t defaultFoldersPerRead = 4096;
    static size_t foldersPerRead() {
        const size_t set = removalFoldersPerRead.load();
        return set == 0 ? defaultFoldersPerRead : set;
    }

    static bool isItem(int fd, dev_t device, ino_t inode) {
        struct stat opened{};
        return ::fstat(fd, &opened) == 0 && opened.st_dev == device && opened.st_ino == inode;
    }

    int here() const { return levels_.size() == 1 ? root_.fd() : current_.fd(); }

    std::string relativeOf(const std::string& name) const {
        std::string relative;
        for (size_t i = 1; i < levels_.size(); i++) relative += levels_[i].name + "/";
        return relative + name;
    }

    int unlink(int folder, const std::string& name, int flags) {
        return unlink_ ? unlink_(folder, name, flags) : ::unlinkat(folder, name.c_str(), flags);
    }

    // Notes a failure (the first is returned) and keeps `name` in the
    // current folder.
    void keep(const std::string& name, const std::string& what, int cause) {
        if (!failure_) failure_ = TreeWalkFailure{relativeOf(name), errorText(what, cause), false, cause};
        levels_.back().kept.insert(name);
    }

    // Reads the current folder: everything in it but folders is removed
    // there and then, folders are noted for going into.
    void read() {
        Level& level = levels_.back();
        const int listing = ::openat(here(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        DIR* dir = listing >= 0 ? ::fdopendir(listing) : nullptr;
        if (!dir) {
            const int cause = errno;
            if (listing >= 0) ::close(listing);
            if (!failure_) failure_ = TreeWalkFailure{relativeOf({}), errorText("read folder", cause), false, cause};
            level.unreadable = true;
            return;
        }
        for (;;) {
            errno = 0;
            const dirent* found = ::readdir(dir);
            if (!found) break;
            const std::string name = found->d_name;
            if (name == "." || name == ".." || level.kept.contains(name)) continue;
            struct stat info{};
            if (::fstatat(here(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno != ENOENT) keep(name, "stat", errno);
                continue;
            }
            if (S_ISDIR(info.st_mode)) {
                if (level.folders.size() < foldersPerRead()) level.folders.push_back(name);
                continue;
            }
            if (unlink(here(), name, 0) != 0) {
                if (errno != ENOENT) keep(name, "remove", errno);
                continue;
            }
            removed_.entries++;
            removed_.files++;
        }
        const int cause = errno;
        ::closedir(dir);
        if (cause != 0) {
            if (!failure_) failure_ = TreeWalkFailure{relativeOf({}), errorText("read folder", cause), false, cause};
            level.unreadable = true;
        }
    }

    // One step: into a folder of the current one, or, when nothing but what
    // was kept is left in it, back up with it removed.
    bool step() {
        Level& level = levels_.back();
        if (level.folders.empty() && !level.unreadable) read();
        if (level.folders.empty()) return leave();
        const std::string name = std::move(level.folders.back());
        level.folders.pop_back();
        struct stat info{};
        if (::fstatat(here(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) keep(name, "stat", errno);
            return true;
        }
        if (!S_ISDIR(info.st_mode)) {
            // Swapped since it was read: removed as what it is now.
            if (unlink(here(), name, 0) != 0 && errno != ENOENT) keep(name, "remove", errno);
            return true;
        }
        FileHandle opened(openChildFolder(here(), name));
        if (!opened.isOpen() || !isItem(opened.fd(), info.st_dev, info.st_ino)) {
            keep(name, "open folder", opened.isOpen() ? ESTALE : errno);
            return true;
        }
        current_ = std::move(opened);
        levels_.push_back({name, info.st_dev, info.st_ino, {}, {}, false});
        return true;
    }

    bool leave() {
        Level done = std::move(levels_.back());
        levels_.pop_back();
        const bool whole = done.kept.empty();
        if (levels_.empty()) {
            current_.close();
            root_.close();
            if (whole && ::unlinkat(folder_, name_.c_str(), AT_REMOVEDIR) != 0 && !failure_) {
                const int cause = errno;
                failure_ = TreeWalkFailure{{}, errorText("remove " + name_, cause), false, cause};
            }
            if (whole && !failure_) {
                removed_.entries++;
                removed_.folders++;
            }
            return false;
        }
        if (levels_.size() > 1) {
            const Level& parent = levels_.back();
            FileHandle up(::openat(current_.fd(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (!up.isOpen() || !isItem(up.fd(), parent.device, parent.inode)) {
                std::string path;
                for (size_t i = 1; i < levels_.size(); i++) path += (i > 1 ? "/" : "") + levels_[i].name;
                up = FileHandle(TreeWalk::openFolderBeneath(root_.fd(), path));
                if (!up.isOpen() || !isItem(up.fd(), parent.device, parent.inode)) {
                    // The tree changed under the removal: it stops rather
                    // than guess where it is.
                    const int cause = up.isOpen() ? ESTALE : errno;
                    if (!failure_) failure_ = TreeWalkFailure{path, errorText("open folder", cause), false, cause};
                    return false;
                }
            }
            current_ = std::move(up);
        } else {
            current_.close();
        }
        if (!whole) {
            levels_.back().kept.insert(done.name);
        } else if (unlink(here(), done.name, AT_REMOVEDIR) != 0) {
            if (errno != ENOENT) keep(done.name, "remove", errno);
        } else {
            removed_.entries++;
            removed_.folders++;
        }
        return true;
    }

    const int folder_;
    const std::string name_;
    const TreeWalk::Unlink& unlink_;
    FileHandle root_;
    // The folder of the last level below the top.
    FileHandle current_;
    std::vector<Level> levels_;
    TreeSummary removed_;
    std::optional<TreeWalkFailure> failure_;
};
}  // namespace

Result<FileHandle> TreeEntry::openForReading() const {
    using R = Result<FileHandle>;
    FileHandle file(::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!file.isOpen()) return R::failure(errorText("open " + relative, errno));
    struct stat info{};
    if (::fstat(file.fd(), &info) != 0) return R::failure(errorText("stat " + relative, errno));
    if (!S_ISREG(info.st_mode) || info.st_dev != device || info.st_ino != inode)
        return R::failure("open " + relative + ": no longer the file it was");
    return file;
}

TreeWalkResult TreeWalk::scan(int folder, const std::string& name, const Options& options) {
    return Pass(folder, name, options, nullptr).run();
}

TreeWalkResult TreeWalk::walk(int folder, const std::string& name, const Options& options, const Visitor& visit) {
    auto scanned = scan(folder, name, options);
    if (!scanned) return scanned;
    return Pass(folder, name, options, &visit).run();
}

TreeWalkResult TreeWalk::remove(int folder, const std::string& name, const Unlink& unlink) {
    return Removal(folder, name, unlink).run();
}

int TreeWalk::openFolderBeneath(int folder, const fs::path& relative) {
    std::vector<std::string> parts;
    if (relative.is_absolute() || relative.has_root_name()) {
        errno = EXDEV;
        return -1;
    }
    for (const auto& part : relative) {
        const std::string name = part.string();
        if (name.empty() || name == ".") continue;
        if (name == "..") {
            errno = EXDEV;
            return -1;
        }
        parts.push_back(name);
    }
    if (parts.empty()) return ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    fs::path joined;
    for (const auto& part : parts) joined /= part;
    const int once = openBeneathAtOnce(folder, joined);
    // A path past PATH_MAX, or a rename racing the resolution, is taken one
    // component at a time instead.
    if (once >= 0 || (errno != ENOSYS && errno != ENAMETOOLONG && errno != EAGAIN)) return once;
    FileHandle opened(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!opened.isOpen()) return -1;
    for (const auto& part : parts) {
        FileHandle next(openChildFolder(opened.fd(), part));
        if (!next.isOpen()) return -1;
        opened = std::move(next);
    }
    return opened.release();
}

void TreeWalk::setRemovalFoldersPerReadForTesting(size_t folders) { removalFoldersPerRead = folders; }

void TreeWalk::setResolveBeneathUnavailableForTesting(bool unavailable) { resolveBeneathUnavailable = unavailable; }

}  // namespace platform
