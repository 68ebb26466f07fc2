#pragma once
// The one way the Host goes through a tree of files: below an open folder,
// never through a link, at most `maxDepth` levels and `maxEntries` entries
// deep, and with a small fixed number of descriptors open whatever the
// depth (a folder is opened again from the walk's root by its relative path
// instead of keeping one descriptor per level). Every pass reads a folder a
// few thousand names at a time, from where it stopped, so what a walk
// holds is a bounded window of the tree whatever a folder's width: the
// names of one path through it and a few thousand of each folder on it.
// Every walk but a removal, which has no bound, first scans the tree
// without changing anything, so a tree past a bound is refused whole before
// the visitor sees a single entry, unless its caller made that pass itself;
// every failure is reported.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "Platform/Files/FileHandles.h"
#include "Platform/Foundation/Result.h"

namespace platform {

// One item met by a walk. The descriptors in it are the walk's own and are
// valid only while the visitor runs.
struct TreeEntry {
    // Below the walked item: empty for the item itself, "a/b" for b in a.
    // A string, not a path: a deep tree's paths are built once a level, and
    // a path object splits itself into one allocation per component.
    std::string relative;
    // Its name in `folder` (for the walked item, the name it was walked by).
    std::string name;
    // The open folder holding it.
    int folder = -1;
    // 0 for the walked item, 1 for its children, ...
    int depth = 0;
    FileSystemEntryKind kind = FileSystemEntryKind::other;
    // As lstat gives them when the walk reached it.
    mode_t mode = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    uint64_t size = 0;
    dev_t device = 0;
    ino_t inode = 0;

    // Opens the entry, a regular file, for reading: without following a
    // link, without blocking on a file swapped for a pipe, close-on-exec,
    // and only if it is still the file the walk met.
    Result<FileHandle> openForReading() const;
};

// What a scan found below (and including) the walked item.
struct TreeSummary {
    size_t entries = 0;
    size_t files = 0;
    size_t folders = 0;
    uint64_t bytes = 0;
    int depth = 0;
};

// Why a walk stopped (or, with an error handler, what it skipped).
struct TreeWalkFailure {
    // The entry it concerns, relative to the walked item.
    std::string relative;
    std::string message;
    // The tree is deeper or larger than the walk's bounds; nothing was
    // visited.
    bool pastBounds = false;
    // errno of the failing call, 0 for a bound or a visitor's failure.
    int error = 0;
};

using TreeWalkResult = Result<TreeSummary, TreeWalkFailure>;

class TreeWalk {
public:
    // Deep enough for any tree a person makes; the descriptors held stay
    // the same at any depth, but each level costs an open of its path.
    static constexpr int defaultMaxDepth = 128;
    // Bounds the names read, and so the time of one walk.
    static constexpr size_t defaultMaxEntries = 1'000'000;
    // What a walk holds open at once (the root, the folder it is in, and
    // while it moves to the next the two on the way there), on the account
    // of the peer whose work it is.
    static constexpr size_t kDescriptors = 4;

    enum class Order {
        // A folder before what is in it: copies, giving away.
        parentsFirst,
        // What is in a folder before the folder: removal, modes set last.
        childrenFirst,
    };

    struct Options {
        Order order = Order::parentsFirst;
        int maxDepth = defaultMaxDepth;
        size_t maxEntries = defaultMaxEntries;
        // When set, a folder that cannot be opened or read (and a visitor's
        // failure) is handed here and the walk goes on without what is
        // below it; when not, the walk stops at the first failure. Bounds
        // are never skipped.
        std::function<void(const TreeWalkFailure&)> onError;
        // When set, an entry below the walked item for which it answers
        // true is left out of the walk: neither counted against the bounds
        // nor visited, and a folder's content not read. What an operation
        // does not touch (hidden items it does not send) cannot make it
        // refuse the rest.
        std::function<bool(const TreeEntry&)> leaveOut;
        // When set, asked before each entry: once it answers true the walk
        // ends there with a failure of error ECANCELED, whatever onError,
        // so a walk for someone who has gone ends within an entry.
        std::function<bool()> stop;
        // False: no scan before the acting pass. For a caller that has just
        // made a pass of its own over the tree that changed nothing (one
        // that counted what it will do) and refused a tree past the bounds
        // then; a tree that grew past them since stops the walk where it is
        // met.
        bool scanFirst = true;
    };

    using Visitor = std::function<Status(const TreeEntry&)>;

    // Counts the item `name` of `folder` and everything below it, changing
    // nothing; fails past the bounds or (without an error handler) at the
    // first entry it cannot read.
    static TreeWalkResult scan(int folder, const std::string& name, const Options& options);
    static TreeWalkResult scan(int folder, const std::string& name) { return scan(folder, name, Options{}); }

    // Scans (unless told not to), then visits the item and everything below
    // it in `options.order`.
    // A link is visited as a link and never followed; the visitor of a
    // folder in parents-first order may make what is below it. Returns what
    // the scan counted.
    static TreeWalkResult walk(int folder, const std::string& name, const Options& options, const Visitor& visit);

    // How an item below the removed one is unlinked (flags as unlinkat's);
    // unset: unlinkat itself.
    using Unlink = std::function<int(int folder, const std::string& name, int flags)>;

    // Removes the item `name` of `folder` and, for a folder, everything
    // below it, at any depth: the Host's own staging must never outlive a
    // batch because of its shape. It is a children-first walk with no
    // bound: the descriptors held stay the same at any depth, no link is
    // followed and nothing outside the item is touched. It takes what an
    // entry is from its folder's listing (lstat only where the file system
    // does not say) and reads a folder a few thousand names at a time from
    // where it stopped, so its cost grows with the entries it removes,
    // whatever a folder's width, and the names held are those of one path
    // through the tree and a few thousand of each folder on it. What can
    // go goes; the first failure is returned, with what was removed in the
    // summary otherwise. The item itself is removed with unlinkat, what is
    // below it with `unlink`. Unlike the other passes it reads a folder
    // again from its start until a reading takes nothing, since what it
    // takes may move names back past where it stopped.
    static TreeWalkResult remove(int folder, const std::string& name, const Unlink& unlink = {});

    // The folder `relative` beneath `folder` (empty: `folder` itself), no
    // component a link or "..": in one call where the kernel resolves
    // beneath a folder, else one component at a time holding at most two
    // descriptors. Close-on-exec; -1 with errno on failure.
    static int openFolderBeneath(int folder, const std::filesystem::path& relative);

    // How many names of one folder a pass reads at a time (0: the
    // default); tests only.
    static void setNamesPerReadForTesting(size_t names);

    // What this thread's walks have asked of the file system so far: the
    // names read from folders and the items looked at with lstat; tests
    // and benches only.
    struct Effort {
        uint64_t namesRead = 0;
        uint64_t looks = 0;
    };
    static Effort effortForTesting();

    // Makes openFolderBeneath go one component at a time, as on a kernel
    // without the call that resolves beneath a folder; tests only.
    static void setResolveBeneathUnavailableForTesting(bool unavailable);
};

// The walk's failure as the one-message status the file moves return.
inline Status toStatus(const TreeWalkFailure& failure) {
    return Status::failure(failure.relative.empty() ? failure.message
                                                    : failure.relative + ": " + failure.message);
}

}  // namespace platform
