// The one tree walker: bounded in depth, entries and descriptors, never
// through a link, every failure reported, and a tree past its bounds
// refused before anything is visited.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "Platform/Files/FileHandles.h"
#include "Platform/Files/TreeWalk.h"
#include "Support/TestSupport.h"

using platform::FileHandle;
using platform::TreeEntry;
using platform::TreeWalk;
namespace fs = std::filesystem;

namespace {

// Lowers the process's descriptor limit for the life of the object.
class DescriptorLimit {
public:
    explicit DescriptorLimit(rlim_t soft) {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit lowered = saved_;
        lowered.rlim_cur = std::min<rlim_t>(soft, saved_.rlim_max);
        ::setrlimit(RLIMIT_NOFILE, &lowered);
    }
    ~DescriptorLimit() { ::setrlimit(RLIMIT_NOFILE, &saved_); }

private:
    rlimit saved_{};
};

class TreeWalkTest : public VirtualTimeTest {
protected:
    void SetUp() override {
        base = dataRoot->path() / "walk";
        fs::create_directories(base);
        folder = FileHandle(::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ASSERT_TRUE(folder.isOpen());
    }
    void TearDown() override {
        TreeWalk::setResolveBeneathUnavailableForTesting(false);
        TreeWalk::setNamesPerReadForTesting(0);
    }
    void write(const fs::path& p, const std::string& text) {
        fs::create_directories(p.parent_path());
        std::ofstream(p) << text;
    }
    // A chain of `levels` nested folders "d/d/d/...", made by descriptor
    // (its path is far past PATH_MAX), with a file at the bottom.
    void makeDeepChain(const std::string& name, int levels) {
        FileHandle at(::openat(folder.fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ASSERT_EQ(::mkdirat(at.fd(), name.c_str(), 0755), 0);
        at = FileHandle(::openat(at.fd(), name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        for (int i = 0; i < levels; i++) {
            ASSERT_EQ(::mkdirat(at.fd(), "d", 0755), 0);
            at = FileHandle(::openat(at.fd(), "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            ASSERT_TRUE(at.isOpen());
        }
        FileHandle file(::openat(at.fd(), "bottom", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        ASSERT_TRUE(file.isOpen());
    }
    std::vector<std::string> visitOrder(const std::string& name, TreeWalk::Order order) {
        std::vector<std::string> seen;
        TreeWalk::Options options;
        options.order = order;
        auto walked = TreeWalk::walk(folder.fd(), name, options, [&](const TreeEntry& e) {
            seen.push_back(e.relative);
            return platform::success();
        });
        EXPECT_TRUE(walked.ok()) << (walked.ok() ? "" : walked.error().message);
        return seen;
    }

    fs::path base;
    FileHandle folder;
};

TEST_F(TreeWalkTest, VisitsParentsOrChildrenFirstAndNeverFollowsALink) {
    write(base / "t" / "a" / "f.txt", "12345");
    write(base / "t" / "b.txt", "xy");
    fs::create_directories(base / "outside" / "secret");
    write(base / "outside" / "secret" / "s.txt", "s");
    fs::create_directory_symlink(base / "outside", base / "t" / "a" / "link");
    for (const bool stepwise : {false, true}) {
        TreeWalk::setResolveBeneathUnavailableForTesting(stepwise);
        SCOPED_TRACE(stepwise ? "one component at a time" : "resolved at once");
        const auto parents = visitOrder("t", TreeWalk::Order::parentsFirst);
        const auto children = visitOrder("t", TreeWalk::Order::childrenFirst);
        ASSERT_EQ(parents.size(), 5u);
        ASSERT_EQ(children.size(), 5u);
        EXPECT_EQ(std::set<std::string>(parents.begin(), parents.end()),
                  (std::set<std::string>{"", "a", "a/f.txt", "a/link", "b.txt"}))
            << "the link is met as a link and nothing below it is visited";
        auto before = [](const std::vector<std::string>& v, const std::string& x, const std::string& y) {
            return std::find(v.begin(), v.end(), x) < std::find(v.begin(), v.end(), y);
        };
        EXPECT_TRUE(before(parents, "", "a") && before(parents, "a", "a/f.txt"));
        EXPECT_TRUE(before(children, "a/f.txt", "a") && before(children, "a", "") && children.back() == "");
    }
    auto summary = TreeWalk::scan(folder.fd(), "t");
    ASSERT_TRUE(summary.ok());
    EXPECT_EQ(summary->entries, 5u);
    EXPECT_EQ(summary->files, 2u);
    EXPECT_EQ(summary->folders, 2u);
    EXPECT_EQ(summary->bytes, 7u);
    EXPECT_EQ(summary->depth, 2);
}

// A tree far deeper than the bound, under a descriptor limit far below its
// depth: refused whole before anything is visited, and the descriptors
// the process holds are the same after.
TEST_F(TreeWalkTest, ATreePastTheBoundsIsRefusedWholeWithDescriptorsFlat) {
    makeDeepChain("deep", 2000);
    write(base / "wide" / "x", "");
    for (int i = 0; i < 20; i++) write(base / "wide" / ("f" + std::to_string(i)), "");
    DescriptorLimit limit(256);
    const size_t before = openDescriptors();
    struct Case {
        const char* name;
        const char* item;
        int maxDepth;
        size_t maxEntries;
        size_t namesPerRead = 0;
    };
    const Case cases[] = {
        {"2,000 levels against the default bound", "deep", TreeWalk::defaultMaxDepth, TreeWalk::defaultMaxEntries},
        {"one level past the bound", "deep", 2000, TreeWalk::defaultMaxEntries},
        {"more entries than the bound", "wide", TreeWalk::defaultMaxDepth, 10},
        {"more entries than the bound, met on a later reading", "wide", TreeWalk::defaultMaxDepth, 10, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TreeWalk::setNamesPerReadForTesting(c.namesPerRead);
        for (const auto order : {TreeWalk::Order::parentsFirst, TreeWalk::Order::childrenFirst}) {
            TreeWalk::Options options;
            options.order = order;
            options.maxDepth = c.maxDepth;
            options.maxEntries = c.maxEntries;
            size_t visits = 0;
            auto walked = TreeWalk::walk(folder.fd(), c.item, options, [&](const TreeEntry&) {
                visits++;
                return platform::success();
            });
            ASSERT_FALSE(walked.ok());
            EXPECT_TRUE(walked.error().pastBounds);
            EXPECT_EQ(visits, 0u) << "nothing is visited of a tree that is refused";
        }
    }
    TreeWalk::setNamesPerReadForTesting(0);
    // Within its bounds the same chain is walked whole, at the same cost
    // in descriptors.
    TreeWalk::Options options;
    options.maxDepth = 2001;
    size_t deepest = 0;
    auto walked = TreeWalk::walk(folder.fd(), "deep", options, [&](const TreeEntry& e) {
        deepest = std::max<size_t>(deepest, static_cast<size_t>(e.depth));
        EXPECT_LE(openDescriptors(), before + 4) << e.relative.size();
        return platform::success();
    });
    ASSERT_TRUE(walked.ok()) << walked.error().message;
    EXPECT_EQ(deepest, 2001u);
    EXPECT_EQ(openDescriptors(), before);
    // Removed children first, which also leaves nothing the data root's
    // removal (by path) could not reach.
    options.order = TreeWalk::Order::childrenFirst;
    auto removed = TreeWalk::walk(folder.fd(), "deep", options, [](const TreeEntry& e) {
        const int flags = e.kind == platform::FileSystemEntryKind::folder ? AT_REMOVEDIR : 0;
        if (::unlinkat(e.folder, e.name.c_str(), flags) != 0) return platform::Status::failure("unlink");
        return platform::success();
    });
    ASSERT_TRUE(removed.ok()) << removed.error().message;
    EXPECT_FALSE(fs::exists(base / "deep"));
    EXPECT_EQ(openDescriptors(), before);
}

TEST_F(TreeWalkTest, EveryFailureIsReported) {
    write(base / "t" / "a" / "f", "");
    write(base / "t" / "b" / "g", "");
    write(base / "t" / "c", "");
    // A visitor's failure stops the walk and says where.
    auto stopped = TreeWalk::walk(folder.fd(), "t", {}, [](const TreeEntry& e) {
        return e.relative == "b" ? platform::Status::failure("refused") : platform::success();
    });
    ASSERT_FALSE(stopped.ok());
    EXPECT_EQ(stopped.error().relative, "b");
    EXPECT_EQ(stopped.error().message, "refused");
    EXPECT_FALSE(stopped.error().pastBounds);
    // With a handler the walk hears each failure and goes on past it,
    // without what was below.
    std::vector<std::string> failures, seen;
    TreeWalk::Options options;
    options.onError = [&](const platform::TreeWalkFailure& f) { failures.push_back(f.relative); };
    auto carried = TreeWalk::walk(folder.fd(), "t", options, [&](const TreeEntry& e) {
        seen.push_back(e.relative);
        return e.relative == "a" ? platform::Status::failure("refused") : platform::success();
    });
    EXPECT_TRUE(carried.ok());
    EXPECT_EQ(failures, std::vector<std::string>{"a"});
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "a/f"), 0);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "b/g"), 1);
    // A missing item is a failure, not an empty tree.
    EXPECT_FALSE(TreeWalk::scan(folder.fd(), "missing").ok());
}

// Every pass reads a folder a few names at a time and goes on from where
// it stopped, also after a folder below it: each entry is met once and
// each name read about once. Asked to stop, a walk ends before the next
// entry, with an error handler or without, and says why.
TEST_F(TreeWalkTest, AWideFolderIsWalkedInWindowsAndAWalkStopsWhenAsked) {
    std::set<std::string> all = {""};
    for (int i = 0; i < 60; i++) {
        const std::string name = "f" + std::to_string(i);
        write(base / "t" / name, "");
        all.insert(name);
    }
    write(base / "t" / "sub" / "g", "");
    all.insert("sub");
    all.insert("sub/g");
    TreeWalk::setNamesPerReadForTesting(7);
    for (const bool scanFirst : {true, false}) {
        SCOPED_TRACE(scanFirst ? "scanned first" : "not scanned first");
        TreeWalk::Options options;
        options.scanFirst = scanFirst;
        std::multiset<std::string> seen;
        const auto effort = TreeWalk::effortForTesting();
        auto walked = TreeWalk::walk(folder.fd(), "t", options, [&](const TreeEntry& e) {
            seen.insert(e.relative);
            return platform::success();
        });
        ASSERT_TRUE(walked.ok()) << walked.error().message;
        EXPECT_EQ(seen, std::multiset<std::string>(all.begin(), all.end()));
        const size_t passes = scanFirst ? 2 : 1;
        EXPECT_LE(TreeWalk::effortForTesting().namesRead - effort.namesRead, passes * all.size() * 5 / 4);
    }
    for (const bool handled : {false, true}) {
        SCOPED_TRACE(handled ? "with an error handler" : "without");
        size_t visits = 0, failures = 0;
        TreeWalk::Options options;
        options.stop = [&] { return visits == 10; };
        if (handled) options.onError = [&](const platform::TreeWalkFailure&) { failures++; };
        auto stopped = TreeWalk::walk(folder.fd(), "t", options, [&](const TreeEntry&) {
            visits++;
            return platform::success();
        });
        ASSERT_FALSE(stopped.ok());
        EXPECT_EQ(stopped.error().error, ECANCELED);
        EXPECT_EQ(visits, 10u);
        EXPECT_EQ(failures, 0u);
    }
}

TEST_F(TreeWalkTest, AFileIsOpenedOnlyIfItIsStillTheOneTheWalkMet) {
    write(base / "t" / "f.txt", "bytes");
    write(base / "other", "other");
    std::vector<std::string> read;
    auto walked = TreeWalk::walk(folder.fd(), "t", {}, [&](const TreeEntry& e) {
        if (e.kind != platform::FileSystemEntryKind::file) return platform::success();
        auto first = e.openForReading();
        EXPECT_TRUE(first.ok());
        // Swapped for a link between the walk's look and the open.
        fs::rename(base / "t" / "f.txt", base / "t" / "moved");
        fs::create_symlink(base / "other", base / "t" / "f.txt");
        EXPECT_FALSE(e.openForReading().ok());
        return platform::success();
    });
    EXPECT_TRUE(walked.ok());
}

// Whether the file system says in a folder's listing what each item is.
bool listingGivesTypes(const fs::path& folder) {
    DIR* dir = ::opendir(folder.c_str());
    bool typed = dir != nullptr;
    while (dir) {
        const dirent* found = ::readdir(dir);
        if (!found) break;
        typed = typed && found->d_type != DT_UNKNOWN;
    }
    if (dir) ::closedir(dir);
    return typed;
}

// Removal has no bound: a chain far past the walk's depth bound, and a
// folder of many more items than one read holds, go whole under a
// descriptor limit far below the depth, with no more descriptors held at
// the bottom than at the top; and each name is read about once, however
// wide its folder, with no lstat where the listing tells what an item is.
// What comes into a folder while it is removed goes with it.
TEST_F(TreeWalkTest, RemovalTakesATreeOfAnyShapeWithDescriptorsFlatAndEachNameReadOnce) {
    makeDeepChain("deep", 600);
    ASSERT_EQ(::mkdirat(folder.fd(), "wide", 0755), 0);
    FileHandle wide(::openat(folder.fd(), "wide", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (int i = 0; i < 2000; i++) ASSERT_EQ(::mkdirat(wide.fd(), ("d" + std::to_string(i)).c_str(), 0755), 0);
    for (int i = 0; i < 100; i++) write(base / "wide" / ("f" + std::to_string(i)), "");
    write(base / "wide" / "d7" / "f", "x");
    wide.close();
    TreeWalk::setNamesPerReadForTesting(16);
    DescriptorLimit limit(128);
    const size_t before = openDescriptors();
    for (const char* item : {"deep", "wide"}) {
        SCOPED_TRACE(item);
        const bool typed = listingGivesTypes(base / item);
        const auto effort = TreeWalk::effortForTesting();
        size_t most = 0, calls = 0;
        auto removed = TreeWalk::remove(folder.fd(), item, [&](int at, const std::string& name, int flags) {
            // At the bottom, and now and then on the way up.
            if (++calls % 97 == 0 || name == "bottom") most = std::max(most, openDescriptors());
            // Late items, nearly all placed before where the reading is.
            if (calls == 1900)
                for (int i = 0; i < 50; i++) write(base / "wide" / ("late" + std::to_string(i)), "");
            return ::unlinkat(at, name.c_str(), flags);
        });
        ASSERT_TRUE(removed.ok()) << removed.error().relative.size() << " " << removed.error().message;
        EXPECT_FALSE(fs::exists(base / item));
        EXPECT_LE(most, before + 3);
        EXPECT_EQ(openDescriptors(), before);
        const auto spent = TreeWalk::effortForTesting();
        EXPECT_EQ(removed->entries, calls + 1) << "everything below the item went through the unlink given";
        // Read again in full after each few folders, the wide folder's
        // names would be read a hundred times over.
        EXPECT_LE(spent.namesRead - effort.namesRead, removed->entries * 5 / 4);
        if (typed) {
            EXPECT_EQ(spent.looks - effort.looks, 1u) << "only the item itself is looked at";
        }
    }
}

// A link is removed as a link; a folder moved out of the tree while it is
// removed is not the way back up, so what is beside it outside stays; an
// item that cannot go is reported and keeps only the folders above it.
TEST_F(TreeWalkTest, RemovalStaysBeneathTheItemAndReportsWhatItLeaves) {
    write(base / "outside" / "keep.txt", "keep");
    write(base / "t" / "a" / "b" / "c" / "f", "");
    write(base / "t" / "a" / "g", "");
    fs::create_directory_symlink(base / "outside", base / "t" / "link");
    for (const bool stepwise : {false, true}) {
        TreeWalk::setResolveBeneathUnavailableForTesting(stepwise);
        SCOPED_TRACE(stepwise ? "one component at a time" : "resolved at once");
        write(base / "m" / "a" / "b" / "c" / "f", "");
        write(base / "m" / "a" / "h", "");
        bool moved = false;
        auto removed = TreeWalk::remove(folder.fd(), "m", [&](int at, const std::string& name, int flags) {
            // Below b, b is taken out of the tree into "outside".
            if (name == "f" && !moved) {
                moved = true;
                fs::rename(base / "m" / "a" / "b", base / "outside" / "b");
            }
            return ::unlinkat(at, name.c_str(), flags);
        });
        EXPECT_TRUE(moved);
        EXPECT_TRUE(removed.ok()) << removed.error().message;
        EXPECT_FALSE(fs::exists(base / "m"));
        EXPECT_TRUE(fs::exists(base / "outside" / "keep.txt")) << "the way up led outside the tree";
        fs::remove_all(base / "outside" / "b");
    }
    auto kept = TreeWalk::remove(folder.fd(), "t", [](int at, const std::string& name, int flags) {
        if (name == "f") {
            errno = EBUSY;
            return -1;
        }
        return ::unlinkat(at, name.c_str(), flags);
    });
    ASSERT_FALSE(kept.ok());
    EXPECT_EQ(kept.error().relative, "a/b/c/f");
    EXPECT_EQ(kept.error().error, EBUSY);
    EXPECT_TRUE(fs::exists(base / "t" / "a" / "b" / "c" / "f"));
    EXPECT_FALSE(fs::exists(base / "t" / "a" / "g"));
    EXPECT_FALSE(fs::is_symlink(base / "t" / "link"));
    EXPECT_TRUE(fs::exists(base / "outside" / "keep.txt"));
}

// What a walk leaves out is neither counted nor visited: a hidden folder
// far past the depth bound does not refuse the rest.
TEST_F(TreeWalkTest, WhatIsLeftOutCountsAgainstNoBound) {
    write(base / "t" / "visible.txt", "12");
    makeDeepChain("t/.cache", 200);
    TreeWalk::Options options;
    options.leaveOut = [](const TreeEntry& e) { return e.name.starts_with("."); };
    std::vector<std::string> seen;
    auto walked = TreeWalk::walk(folder.fd(), "t", options, [&](const TreeEntry& e) {
        seen.push_back(e.relative);
        return platform::success();
    });
    ASSERT_TRUE(walked.ok()) << walked.error().message;
    EXPECT_EQ(seen, (std::vector<std::string>{"", "visible.txt"}));
    EXPECT_EQ(walked->entries, 2u);
    EXPECT_FALSE(TreeWalk::scan(folder.fd(), "t").ok()) << "counted, the hidden chain is past the bound";
}

}  // namespace
