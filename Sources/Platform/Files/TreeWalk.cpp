#include "Platform/Files/TreeWalk.h"

#include "Platform/Runtime/WorkLedger.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

namespace fs = std::filesystem;

namespace platform {
namespace {

std::atomic<bool> resolveBeneathUnavailable{false};
std::atomic<size_t> namesPerReadSet{0};
thread_local TreeWalk::Effort effort;

FileSystemEntryKind kindOf(mode_t mode) {
    if (S_ISREG(mode)) return FileSystemEntryKind::file;
    if (S_ISDIR(mode)) return FileSystemEntryKind::folder;
    if (S_ISLNK(mode)) return FileSystemEntryKind::link;
    return FileSystemEntryKind::other;
}

TreeEntry entryFrom(const std::string& name, int depth, const struct stat& info) {
    TreeEntry entry;
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

FileSystemEntryKind kindOfType(unsigned char type) {
    switch (type) {
        case DT_REG: return FileSystemEntryKind::file;
        case DT_DIR: return FileSystemEntryKind::folder;
        case DT_LNK: return FileSystemEntryKind::link;
        default: return FileSystemEntryKind::other;
    }
}

std::string errorText(const std::string& what, int error) { return what + ": " + std::strerror(error); }

// One name of a folder, with the type its listing gave (DT_UNKNOWN where
// the file system keeps none there).
struct Name {
    std::string name;
    unsigned char type = DT_UNKNOWN;
};

// How far a folder's listing has been read: the names read and not yet
// dealt with, and where the next read starts when they were not the last.
struct Listing {
    std::vector<Name> names;
    size_t next = 0;
    // A position the folder's listing gave; none: the start.
    std::optional<off_t> resume;
    bool ended = false;
};

// Reads the names of the folder open as `folder` (a descriptor whose
// position is the walk's own) from `listing.resume` on, "." and ".." left
// out, at most `room` of them; `ended` tells whether they were the last.
// `buffer` takes what the kernel gives at once. False with errno when the
// folder cannot be read.
bool readNames(int folder, size_t room, Listing& listing, std::vector<char>& buffer) {
    listing.names.clear();
    listing.next = 0;
    listing.ended = false;
    off_t position = listing.resume.value_or(0);
    if (::lseek(folder, position, SEEK_SET) < 0) return false;
    if (buffer.empty()) buffer.resize(32 * 1024);
    for (;;) {
        const ssize_t got = ::getdents64(folder, buffer.data(), buffer.size());
        if (got < 0) return false;
        if (got == 0) {
            listing.ended = true;
            return true;
        }
        for (ssize_t at = 0; at < got;) {
            const auto* found = reinterpret_cast<const dirent64*>(buffer.data() + at);
            at += found->d_reclen;
            const off_t here = position;
            position = found->d_off;
            const std::string_view name = found->d_name;
            if (name == "." || name == "..") continue;
            effort.namesRead++;
            if (listing.names.size() == room) {
                listing.resume = here;
                return true;
            }
            listing.names.push_back({std::string(name), found->d_type});
        }
    }
}

// One pass over a tree: the scan (no visitor), the acting pass of a walk,
// or a removal. Each reads a folder a few thousand names at a time, from
// where it stopped, so that a folder of millions of items holds only those
// in memory and each name is read about once. A removal has no bound; it
// takes what an entry is from its folder's listing (lstat only where the
// file system does not say), so its entries carry their name, depth and
// kind, with an identity and mode for folders only, and their relative path
// is made only for a failure.
class Pass {
public:
    Pass(int folder, const std::string& name, const TreeWalk::Options& options, const TreeWalk::Visitor* visit,
         bool removal = false)
        : folder_(folder), name_(name), options_(options), visit_(visit), removal_(removal) {}

    static constexpr size_t kDescriptors = TreeWalk::kDescriptors;

    TreeWalkResult run() {
        // Its few descriptors are on the account of the peer whose work it
        // is, from before they are opened. A removal
        // is the Host's own cleanup, never refused by a peer's bound.
        std::optional<WorkLedger::Charged> hostsOwn;
        if (removal_) {
            hostsOwn.emplace(nullptr);
        } else {
            held_ = WorkLedger::Holding::take(WorkLedger::current(), WorkLedger::Held::descriptors, kDescriptors);
            if (!held_) return failure({{}, errorText("walk " + name_, EMFILE), false, EMFILE});
        }
        struct stat info{};
        effort.looks++;
        if (::fstatat(folder_, name_.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            const int cause = errno;
            return failure({{}, errorText("stat " + name_, cause), false, cause});
        }
        if (stopped()) return *failure_;
        TreeEntry top = entryFrom(name_, 0, info);
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
        Frame frame{std::move(top), 0, {}, false, 0};
        switch (read(frame, root_.fd())) {
            case Read::done: break;
            case Read::pastBounds: return pastBounds({}, "more than " + std::to_string(options_.maxEntries) + " items");
            case Read::failed: {
                const int cause = errno;
                return failure({{}, errorText("read folder " + name_, cause), false, cause});
            }
        }
        stack_.push_back(std::move(frame));
        while (!stack_.empty()) {
            if (!step()) return *failure_;
        }
        return summary_;
    }

private:
    struct Frame {
        // Its relative path is in path_ while it is on the stack, not here:
        // a deep tree would otherwise hold a path a level.
        TreeEntry entry;
        size_t pathLength = 0;
        Listing listing;
        // Its listing was read in more than one go, and how many of its
        // items were visited without failure since it was last read from
        // its start.
        bool resumed = false;
        size_t taken = 0;
    };

    enum class Read { done, failed, pastBounds };

    // Names of one folder a pass reads at a time.
    static constexpr size_t defaultNamesPerRead = 4096;
    static size_t namesPerRead() {
        const size_t set = namesPerReadSet.load();
        return set == 0 ? defaultNamesPerRead : set;
    }

    TreeWalk::Order order() const { return options_.order; }
    size_t remainingNames() const { return options_.maxEntries > listed_ ? options_.maxEntries - listed_ : 0; }

    static bool sameItem(int fd, const TreeEntry& entry) {
        struct stat opened{};
        return ::fstat(fd, &opened) == 0 && opened.st_dev == entry.device && opened.st_ino == entry.inode;
    }

    // The path below the walked item of `name` in the folder of the top
    // frame.
    std::string relativeOf(const std::string& name) const { return path_.empty() ? name : path_ + "/" + name; }
    std::string relativeOf(const TreeEntry& entry) const {
        if (entry.depth == 0) return {};
        return removal_ ? relativeOf(entry.name) : entry.relative;
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
        return carryOn({relativeOf(entry), done.error(), false, 0});
    }

    // The visitor on an item of the top frame's folder.
    bool visitItem(const TreeEntry& entry) {
        bool skipped = false;
        if (!visit(entry, &skipped)) return false;
        if (!skipped) stack_.back().taken++;
        return true;
    }

    // Reads on in `frame`'s folder, open as `fd`, a few thousand names at
    // a time; a walk no more than what is left of its bound, so a folder
    // with more names than that is past it.
    Read read(Frame& frame, int fd) {
        const size_t room = removal_ ? namesPerRead() : std::min(namesPerRead(), remainingNames());
        if (!readNames(fd, room, frame.listing, buffer_)) return Read::failed;
        listed_ += frame.listing.names.size();
        if (!frame.listing.ended) {
            if (room < namesPerRead()) return Read::pastBounds;
            frame.resumed = true;
        }
        return Read::done;
    }

    // Whether the caller has asked the walk to stop; failure_ says so then.
    bool stopped() {
        if (!options_.stop || !options_.stop()) return false;
        failure_ = TreeWalkFailure{path_, "stopped", false, ECANCELED};
        return true;
    }

    // Nothing more of the frame's folder is read.
    static void finish(Frame& frame) {
        frame.listing.next = frame.listing.names.size();
        frame.listing.ended = true;
        frame.resumed = false;
    }

    // The descriptor of the top frame's folder: the root, the folder last
    // opened, or, when the walk has been elsewhere since, that folder
    // opened again, up by ".." from a child when that is still the folder
    // the frame lists (a deep tree is then left in one step a level), from
    // the root by its path otherwise.
    int frameFolder() {
        const size_t level = stack_.size() - 1;
        if (level == 0) return root_.fd();
        const Frame& top = stack_.back();
        if (!current_.isOpen() || currentLevel_ != level) {
            FileHandle up;
            if (current_.isOpen() && currentLevel_ == level + 1) {
                up = FileHandle(::openat(current_.fd(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
                if (up.isOpen() && !sameItem(up.fd(), top.entry)) up.close();
            }
            current_ = up.isOpen() ? std::move(up) : FileHandle(TreeWalk::openFolderBeneath(root_.fd(), path_));
            currentLevel_ = level;
            if (current_.isOpen() && !sameItem(current_.fd(), top.entry)) {
                current_.close();
                errno = ESTALE;
            }
        }
        return current_.isOpen() ? current_.fd() : -1;
    }

    bool step() {
        if (stopped()) return false;
        Frame& top = stack_.back();
        Listing& listing = top.listing;
        if (listing.next == listing.names.size()) {
            if (listing.ended) {
                // A removal that read a folder in several goes may have
                // passed names: those that came in meanwhile before the
                // position it went on from, and, where a file system counts
                // positions in names, those that what it took moved back.
                // The folder is read again from its start until a reading
                // takes nothing.
                if (!removal_ || !top.resumed || top.taken == 0) return leave();
                listing.resume.reset();
                top.resumed = false;
                top.taken = 0;
            }
            return readOn();
        }
        const Name child = std::move(listing.names[listing.next++]);
        const int depth = static_cast<int>(stack_.size());
        const int folder = frameFolder();
        if (folder < 0) {
            const int cause = errno;
            finish(top);
            return carryOn({path_, errorText("open folder", cause), false, cause});
        }
        TreeEntry entry;
        if (!removal_ || child.type == DT_UNKNOWN) {
            struct stat info{};
            if (!look(folder, child.name, info)) {
                const int cause = errno;
                if (removal_ && cause == ENOENT) return true;
                return carryOn({relativeOf(child.name), errorText("stat", cause), false, cause});
            }
            entry = entryFrom(child.name, depth, info);
        } else {
            entry.name = child.name;
            entry.depth = depth;
            entry.kind = kindOfType(child.type);
        }
        if (!removal_) entry.relative = relativeOf(child.name);
        entry.folder = folder;
        if (options_.leaveOut && options_.leaveOut(entry)) return true;
        if (depth > options_.maxDepth) {
            pastBounds(relativeOf(child.name), "more than " + std::to_string(options_.maxDepth) + " levels");
            return false;
        }
        count(entry);
        if (entry.kind != FileSystemEntryKind::folder) return visitItem(entry);

        if (order() == TreeWalk::Order::parentsFirst) {
            bool skipped = false;
            if (!visit(entry, &skipped)) return false;
            if (skipped) return true;
        }
        // The visitor may have used descriptors of its own; the folder is
        // still the one the frame lists.
        FileHandle opened(openChildFolder(folder, child.name));
        if (!opened.isOpen() && removal_ && (errno == ENOENT || errno == ENOTDIR || errno == ELOOP)) {
            // Gone, or no longer a folder since it was listed: removed as
            // what it is now.
            struct stat info{};
            if (!look(folder, child.name, info)) {
                const int cause = errno;
                if (cause == ENOENT) return true;
                return carryOn({relativeOf(child.name), errorText("stat", cause), false, cause});
            }
            if (!S_ISDIR(info.st_mode)) {
                entry = entryFrom(child.name, depth, info);
                entry.folder = folder;
                return visitItem(entry);
            }
            errno = ENOTDIR;
        }
        if (!opened.isOpen() || !identify(opened.fd(), entry)) {
            const int cause = opened.isOpen() ? ESTALE : errno;
            return carryOn({relativeOf(child.name), errorText("open folder", cause), false, cause});
        }
        Frame frame{std::move(entry), 0, {}, false, 0};
        switch (read(frame, opened.fd())) {
            case Read::done: break;
            case Read::pastBounds:
                pastBounds(relativeOf(child.name), "more than " + std::to_string(options_.maxEntries) + " items");
                return false;
            case Read::failed: {
                const int cause = errno;
                return carryOn({relativeOf(child.name), errorText("read folder", cause), false, cause});
            }
        }
        current_ = std::move(opened);
        currentLevel_ = static_cast<size_t>(depth);
        if (!path_.empty()) path_ += '/';
        path_ += child.name;
        frame.pathLength = path_.size();
        frame.entry.relative.clear();
        stack_.push_back(std::move(frame));
        return true;
    }

    // lstat of `name` in `folder`.
    static bool look(int folder, const std::string& name, struct stat& info) {
        effort.looks++;
        return ::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
    }

    // Whether the opened folder is the one the walk met; a removal, which
    // met it in a listing, takes its identity from what it opened.
    bool identify(int fd, TreeEntry& entry) const {
        if (!removal_) return sameItem(fd, entry);
        struct stat opened{};
        if (::fstat(fd, &opened) != 0) return false;
        entry.mode = opened.st_mode;
        entry.uid = opened.st_uid;
        entry.gid = opened.st_gid;
        entry.device = opened.st_dev;
        entry.inode = opened.st_ino;
        return true;
    }

    // The rest of the top frame's folder, read where its last reading
    // stopped.
    bool readOn() {
        Frame& top = stack_.back();
        const int folder = frameFolder();
        const Read got = folder >= 0 ? read(top, folder) : Read::failed;
        if (got == Read::done) return true;
        if (got == Read::pastBounds) {
            pastBounds(path_, "more than " + std::to_string(options_.maxEntries) + " items");
            return false;
        }
        const int cause = errno;
        finish(top);
        return carryOn({path_, errorText(folder < 0 ? "open folder" : "read folder", cause), false, cause});
    }

    // A folder's items are done: in children-first order the folder itself
    // is visited now, from its parent.
    bool leave() {
        TreeEntry entry = std::move(stack_.back().entry);
        stack_.pop_back();
        if (!removal_ && entry.depth > 0) entry.relative = path_;
        path_.resize(stack_.empty() ? 0 : stack_.back().pathLength);
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
            return carryOn({relativeOf(entry), errorText("open folder", cause), false, cause});
        }
        entry.folder = parent;
        return visitItem(entry);
    }

    const int folder_;
    const std::string name_;
    const TreeWalk::Options& options_;
    // Null for the scan.
    const TreeWalk::Visitor* visit_;
    const bool removal_;
    TreeSummary summary_;
    // Names read so far, bounded by maxEntries.
    size_t listed_ = 0;
    // The descriptors held for the folders below, given back after them
    // (members go last to first).
    std::optional<WorkLedger::Holding> held_;
    // The walked folder; every other folder is reached from it.
    FileHandle root_;
    // The folder last opened below the root, and its level: the only other
    // descriptor the walk holds between steps.
    FileHandle current_;
    size_t currentLevel_ = 0;
    // The relative path of the top frame's folder.
    std::string path_;
    std::vector<Frame> stack_;
    std::vector<char> buffer_;
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
    if (options.scanFirst) {
        auto scanned = scan(folder, name, options);
        if (!scanned) return scanned;
    }
    return Pass(folder, name, options, &visit).run();
}

TreeWalkResult TreeWalk::remove(int folder, const std::string& name, const Unlink& unlink) {
    Options options;
    options.order = Order::childrenFirst;
    options.maxDepth = std::numeric_limits<int>::max();
    options.maxEntries = std::numeric_limits<size_t>::max();
    std::optional<TreeWalkFailure> first;
    // The errno of the last unlink that failed: a visitor's failure carries
    // none of its own.
    int cause = 0;
    options.onError = [&](const TreeWalkFailure& failure) {
        if (first) return;
        first = failure;
        if (first->error == 0) first->error = cause;
    };
    TreeSummary removed;
    const Visitor visit = [&](const TreeEntry& entry) {
        const bool folder = entry.kind == FileSystemEntryKind::folder;
        const int flags = folder ? AT_REMOVEDIR : 0;
        const int done = entry.depth == 0 || !unlink ? ::unlinkat(entry.folder, entry.name.c_str(), flags)
                                                     : unlink(entry.folder, entry.name, flags);
        if (done != 0) {
            if (errno == ENOENT) return success();
            cause = errno;
            return Status::failure(errorText(entry.depth == 0 ? "remove " + entry.name : "remove", cause));
        }
        removed.entries++;
        (folder ? removed.folders : removed.files)++;
        removed.depth = std::max(removed.depth, entry.depth);
        return success();
    };
    auto walked = Pass(folder, name, options, &visit, true).run();
    if (!walked) return walked;
    if (first) return *first;
    return removed;
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

void TreeWalk::setNamesPerReadForTesting(size_t names) { namesPerReadSet = names; }

TreeWalk::Effort TreeWalk::effortForTesting() { return effort; }

void TreeWalk::setResolveBeneathUnavailableForTesting(bool unavailable) { resolveBeneathUnavailable = unavailable; }

}  // namespace platform
