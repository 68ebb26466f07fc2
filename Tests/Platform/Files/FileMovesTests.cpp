// Moves into a user's folder never replace what is there, and a failed
// move leaves both sides as they were.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>

#include "Platform/Files/FileHandles.h"
#include "Platform/Files/FileMoves.h"
#include "Platform/Files/TreeWalk.h"
#include "Platform/Foundation/Uuid.h"
#include "Support/TestSupport.h"

using platform::FileMoves;
using platform::MoveReport;
namespace fs = std::filesystem;

namespace {

std::string contents(const fs::path& p) {
    std::ifstream in(p);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class FileMovesTest : public VirtualTimeTest {
protected:
    fs::path write(const fs::path& p, const std::string& text) {
        fs::create_directories(p.parent_path());
        std::ofstream(p) << text;
        return p;
    }
    // A folder on another file system, when the machine has a tmpfs.
    std::optional<fs::path> otherFileSystem() {
        struct stat here{}, there{};
        if (::stat(dataRoot->path().c_str(), &here) != 0 || ::stat("/dev/shm", &there) != 0) return std::nullopt;
        if (here.st_dev == there.st_dev) return std::nullopt;
        auto folder = fs::path("/dev/shm") / ("moves-" + platform::UUID::random().uuidString());
        fs::create_directories(folder);
        cleanup.push_back(folder);
        return folder;
    }
    ~FileMovesTest() override {
        FileMoves::setFallbackFailureForTesting(nullptr);
        FileMoves::setCopyFailureForTesting(nullptr);
        FileMoves::setNoReplaceRefusedForTesting(false);
        for (auto& f : cleanup) fs::remove_all(f);
    }
    std::vector<fs::path> cleanup;
};

TEST_F(FileMovesTest, TakenTargetsAreNeverReplaced) {
    const fs::path dir = dataRoot->path() / "m";
    struct Case {
        const char* name;
        std::function<void(const fs::path& target)> occupy;
    };
    const std::vector<Case> cases = {
        {"file", [&](const fs::path& t) { write(t, "old"); }},
        {"folder", [](const fs::path& t) { fs::create_directories(t / "inside"); }},
        {"dangling link", [&](const fs::path& t) { fs::create_symlink(dir / "nowhere", t); }},
    };
    int i = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto from = write(dir / ("new" + std::to_string(i)), "new");
        const auto to = dir / ("taken" + std::to_string(i++));
        c.occupy(to);
        EXPECT_TRUE(FileMoves::isTaken(to));
        EXPECT_FALSE(FileMoves::moveNoReplace(from, to).ok());
        EXPECT_EQ(contents(from), "new");
    }
    const auto from = write(dir / "free-src", "x");
    ASSERT_TRUE(FileMoves::moveNoReplace(from, dir / "free").ok());
    EXPECT_FALSE(fs::exists(from));
    EXPECT_EQ(contents(dir / "free"), "x");
}

TEST_F(FileMovesTest, AcrossFileSystemsTheBytesArriveOrNothingDoes) {
    auto other = otherFileSystem();
    if (!other) GTEST_SKIP() << "no second file system";
    const auto from = write(dataRoot->path() / "src" / "tree" / "f.bin", std::string(100000, 'z'));
    ASSERT_TRUE(FileMoves::moveNoReplace(from.parent_path(), *other / "tree").ok());
    EXPECT_EQ(contents(*other / "tree" / "f.bin"), std::string(100000, 'z'));
    EXPECT_FALSE(fs::exists(from.parent_path()));

    const auto second = write(dataRoot->path() / "src" / "g.txt", "g");
    FileMoves::setCopyFailureForTesting([](const fs::path&) { return true; });
    EXPECT_FALSE(FileMoves::moveNoReplace(second, *other / "g.txt").ok());
    EXPECT_EQ(contents(second), "g") << "the item stays where it was";
    std::vector<fs::path> left;
    for (const auto& e : fs::directory_iterator(*other)) left.push_back(e.path().filename());
    EXPECT_EQ(left, std::vector<fs::path>{"tree"}) << "no temporary is left behind";
}

TEST_F(FileMovesTest, ExchangeSwapsTwoItems) {
    const auto a = write(dataRoot->path() / "x" / "a", "A");
    const auto b = write(dataRoot->path() / "x" / "b", "B");
    ASSERT_TRUE(FileMoves::exchange(a, b).ok());
    EXPECT_EQ(contents(a), "B");
    EXPECT_EQ(contents(b), "A");
}

std::vector<std::string> namesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(FileMovesTest, ReplacePutsTheNewItemInOneStepWhateverTheKinds) {
    struct Case {
        const char* name;
        bool newIsFolder, oldIsFolder;
    };
    const Case cases[] = {
        {"file over file", false, false},
        {"folder over folder", true, true},
        {"file over folder", false, true},
        {"folder over file", true, false},
    };
    int i = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // GCC 12 at -O3 warns of an overlapping copy inside the std::string
        // inlines of "literal" + string: its -Wrestrict false positive (GCC bug 105651).
#pragma GCC diagnostic push
#if !defined(__clang__)  // a warning only GCC has
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
        const fs::path dir = dataRoot->path() / ("r" + std::to_string(i++));
#pragma GCC diagnostic pop
        const fs::path existing = dir / "item";
        if (c.oldIsFolder) write(existing / "old.txt", "old"); else write(existing, "old");
        const fs::path incoming = FileMoves::temporaryName(dir);
        if (c.newIsFolder) write(incoming / "new.txt", "new"); else write(incoming, "new");
        ASSERT_TRUE(FileMoves::replace(incoming, existing).ok());
        EXPECT_EQ(contents(c.newIsFolder ? existing / "new.txt" : existing), "new");
        EXPECT_FALSE(fs::exists(existing / "old.txt"));
        EXPECT_EQ(namesIn(dir), std::vector<std::string>{"item"}) << "the old item and the temporary are gone";
    }
    // Nothing to bring in: the existing item stays.
    const fs::path dir = dataRoot->path() / "missing";
    write(dir / "item", "old");
    EXPECT_FALSE(FileMoves::replace(dir / "absent", dir / "item").ok());
    EXPECT_EQ(contents(dir / "item"), "old");
}

TEST_F(FileMovesTest, CopiesNeverReplaceAndLeaveTheSource) {
    const fs::path dir = dataRoot->path() / "c";
    write(dir / "tree" / "deep" / "f.txt", "f");
    ASSERT_TRUE(FileMoves::copyNoReplace(dir / "tree", dir / "copy").ok());
    EXPECT_EQ(contents(dir / "copy" / "deep" / "f.txt"), "f");
    EXPECT_EQ(contents(dir / "tree" / "deep" / "f.txt"), "f");
    write(dir / "taken", "kept");
    EXPECT_FALSE(FileMoves::copyNoReplace(dir / "tree", dir / "taken").ok());
    EXPECT_EQ(contents(dir / "taken"), "kept");
    FileMoves::setCopyFailureForTesting([](const fs::path&) { return true; });
    EXPECT_FALSE(FileMoves::copyNoReplace(dir / "tree", dir / "again").ok());
    EXPECT_EQ(namesIn(dir), (std::vector<std::string>{"copy", "taken", "tree"})) << "no temporary is left";
}

TEST_F(FileMovesTest, FreeVariantSearchIsBoundedAndStopsAtAnUnusableName) {
    const fs::path dir = dataRoot->path() / "v";
    write(dir / "taken", "x");
    write(dir / "taken+1", "x");
    const std::string tooLong(300, 'n');
    struct Case {
        const char* name;
        fs::path first;
        // What next() returns for (previous, n); it is asked with the
        // previous candidate so that variants may build on each other.
        std::function<fs::path(const fs::path&, int)> next;
        std::optional<fs::path> expected;
        int expectedCalls;
    };
    const std::vector<Case> cases = {
        {"free at once", dir / "free", [](const fs::path& p, int) { return p; }, dir / "free", 0},
        {"variants chain on the previous one", dir / "taken",
         [](const fs::path& p, int n) { return fs::path(p.string() + "+" + std::to_string(n)); },
         dir / "taken+1+2", 2},
        {"a refused name is not searched", dir / tooLong, [&](const fs::path&, int) { return dir / "free"; },
         std::nullopt, 0},
        {"a refused variant ends the search", dir / "taken", [&](const fs::path&, int) { return dir / tooLong; },
         std::nullopt, 1},
        {"all taken", dir / "taken", [&](const fs::path&, int) { return dir / "taken"; }, std::nullopt,
         FileMoves::maxNameVariants},
    };
    for (const auto& c : cases) {
        int calls = 0;
        const auto found = FileMoves::freeVariant(c.first, [&](const fs::path& previous, int n) {
            EXPECT_EQ(n, ++calls) << c.name;
            return c.next(previous, n);
        });
        EXPECT_EQ(found, c.expected) << c.name;
        EXPECT_EQ(calls, c.expectedCalls) << c.name;
    }
}

// Network file systems refuse the no-replace flag: a folder still arrives
// whole, and a taken name still stops it with the source untouched.
TEST_F(FileMovesTest, WithoutTheNoReplaceFlagFoldersAndFilesStillMoveAndNeverReplace) {
    FileMoves::setNoReplaceRefusedForTesting(true);
    struct Case {
        const char* name;
        bool folder;
        bool taken;
    };
    const Case cases[] = {
        {"file", false, false},
        {"folder tree", true, false},
        {"file onto a taken name", false, true},
        {"folder onto a taken name", true, true},
    };
    int i = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path dir = dataRoot->path() / ("nr" + std::to_string(i++));
        const fs::path from = dir / "src";
        const fs::path probe = c.folder ? from / "deep" / "f.txt" : from;
        write(probe, "new");
        if (c.folder) fs::create_symlink("deep/f.txt", from / "link");
        if (c.taken) write(dir / "to", "old");
        const auto moved = FileMoves::moveNoReplace(from, dir / "to");
        EXPECT_EQ(moved.ok(), !c.taken);
        if (c.taken) {
            EXPECT_EQ(contents(dir / "to"), "old");
            EXPECT_EQ(contents(probe), "new") << "the source stays whole";
            continue;
        }
        EXPECT_FALSE(fs::exists(from)) << "the emptied source is gone";
        EXPECT_EQ(contents(c.folder ? dir / "to" / "deep" / "f.txt" : dir / "to"), "new");
        if (c.folder) {
            EXPECT_TRUE(fs::is_symlink(dir / "to" / "link"));
        }
    }
}

TEST_F(FileMovesTest, WithoutTheNoReplaceFlagAFolderCopiedAcrossFileSystemsTakesItsName) {
    auto other = otherFileSystem();
    if (!other) GTEST_SKIP() << "no second file system";
    FileMoves::setNoReplaceRefusedForTesting(true);
    write(dataRoot->path() / "x" / "tree" / "f.txt", "f");
    ASSERT_TRUE(FileMoves::moveNoReplace(dataRoot->path() / "x" / "tree", *other / "tree").ok());
    EXPECT_EQ(contents(*other / "tree" / "f.txt"), "f");
    EXPECT_EQ(namesIn(*other), std::vector<std::string>{"tree"}) << "no temporary is left";
}

// An unprivileged user no account on the machine has.
constexpr uid_t kUnprivilegedUid = 54321;
constexpr gid_t kUnprivilegedGid = 54322;

// Gives `tree` to that user, so that `work` run by asUnprivileged may change it.
void giveToUnprivileged(const fs::path& tree) {
    if (::geteuid() != 0) return;
    ::lchown(tree.c_str(), kUnprivilegedUid, kUnprivilegedGid);
    for (const auto& e : fs::recursive_directory_iterator(tree))
        ::lchown(e.path().c_str(), kUnprivilegedUid, kUnprivilegedGid);
}

// Runs `work` as that user where the tests run as root (in a child process,
// whose exit status carries the answer), so folder modes bind as they do
// for a Host that runs as a user; directly otherwise.
bool asUnprivileged(const std::function<bool()>& work) {
    if (::geteuid() != 0) return work();
    const pid_t child = ::fork();
    if (child == 0) {
        ::alarm(30);
        if (::setgroups(0, nullptr) != 0 || ::setgid(kUnprivilegedGid) != 0 || ::setuid(kUnprivilegedUid) != 0)
            ::_exit(2);
        ::_exit(work() ? 0 : 1);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::vector<std::string> filesBelow(const fs::path& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        names.push_back(it->path().lexically_relative(folder).string());
    std::sort(names.begin(), names.end());
    return names;
}

// Where the no-replace flag is refused a folder is placed item by item:
// it arrives whole (a read-only one too) and is then a success even if
// its source cannot be removed; a failure before that takes away what was
// placed, or says how much it could not, and the source stays whole.
TEST_F(FileMovesTest, WithoutTheNoReplaceFlagAFolderArrivesWholeOrTheSourceStaysWhole) {
    using Step = FileMoves::FallbackStep;
    const std::vector<std::string> whole = {"a", "a/f.txt", "b.txt"};
    // Fails the third item placed below the top, whichever comes first,
    // and every undo.
    int placed = 0;
    const auto failedMoveBack = [&placed](Step step, const std::string& relative) {
        if (step == Step::undo) return true;
        return step == Step::place && !relative.empty() && ++placed == 3;
    };
    struct Case {
        const char* name;
        // Run as a user, for whom modes bind.
        bool unprivileged;
        // Through the copy road rather than the move.
        bool copy;
        mode_t sourceMode;
        // The source's parent may not be changed by the user.
        bool sourceStuck;
        std::function<bool(Step, const std::string&)> fails;
        bool ok;
        size_t itemsAtTarget;
        // What stays at the source; none when it is gone.
        std::optional<std::vector<std::string>> source;
        size_t leftAtTarget;
    };
    const std::vector<Case> cases = {
        {"a read-only folder", true, false, 0555, false, nullptr, true, 3, std::nullopt, 0},
        {"a read-only folder copied", true, true, 0555, false, nullptr, true, 3, whole, 0},
        {"a source that cannot be removed", true, false, 0755, true, nullptr, true, 3, std::vector<std::string>{}, 0},
        {"a source removal that fails", false, false, 0755, false,
         [](Step step, const std::string&) { return step == Step::removeSource; }, true, 3, whole, 0},
        {"a source folder that cannot be read", true, false, 0300, false, nullptr, false, 0, whole, 0},
        {"a failure on the first child", false, false, 0755, false,
         [](Step step, const std::string& r) { return step == Step::place && !r.empty(); }, false, 0, whole, 0},
        {"a failed move-back", false, false, 0755, false, failedMoveBack, false, 2, whole, 3},
    };
    FileMoves::setNoReplaceRefusedForTesting(true);
    int i = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.sourceStuck && ::geteuid() != 0) continue;  // a user may always change their own folders
        const fs::path dir = dataRoot->path() / ("rows" + std::to_string(i++));
        const fs::path staging = dir / "staging";
        const fs::path from = staging / "src";
        const fs::path to = dir / "dest" / "to";
        write(from / "a" / "f.txt", "f");
        write(from / "b.txt", "b");
        fs::create_directories(dir / "dest");
        if (c.unprivileged) giveToUnprivileged(dir);
        if (c.sourceStuck) ::chown(staging.c_str(), 0, 0);
        ::chmod(staging.c_str(), c.sourceStuck ? 0555 : 0755);
        ::chmod(from.c_str(), c.sourceMode);
        FileMoves::setFallbackFailureForTesting(c.fails);
        MoveReport report;
        const auto move = [&] {
            if (c.copy) return FileMoves::copyNoReplace(from, to).ok();
            return FileMoves::moveNoReplaceAt(AT_FDCWD, from, AT_FDCWD, to, &report).ok();
        };
        const bool ok = c.unprivileged ? asUnprivileged(move) : move();
        ::chmod(staging.c_str(), 0755);
        struct stat made{};
        const bool arrived = ::stat(to.c_str(), &made) == 0;
        if (fs::exists(from)) ::chmod(from.c_str(), 0755);
        if (arrived) ::chmod(to.c_str(), 0755);

        EXPECT_EQ(ok, c.ok);
        EXPECT_EQ(arrived ? filesBelow(to).size() : 0, c.itemsAtTarget);
        EXPECT_EQ(namesIn(dir / "dest").size(), arrived ? 1u : 0u) << "no temporary or half-made folder beside it";
        EXPECT_EQ(arrived, c.ok || c.leftAtTarget > 0) << "a failed move takes away the folder it made";
        if (c.source) {
            EXPECT_TRUE(fs::exists(from));
            EXPECT_EQ(filesBelow(from), *c.source);
        } else {
            EXPECT_FALSE(fs::exists(from));
        }
        if (!c.unprivileged) {
            EXPECT_EQ(report.leftAtTarget, c.leftAtTarget);
        }
        if (c.ok) {
            EXPECT_EQ(made.st_mode & 07777, c.sourceMode) << "the folder arrives with the source's mode, given last";
            EXPECT_EQ(filesBelow(to), whole);
            EXPECT_EQ(contents(to / "a" / "f.txt"), "f");
        }
        if (c.fails && c.ok) {
            EXPECT_TRUE(logContains("could not be removed"));
        }
    }
}

// A removal takes what it can and says what stays, rather than keeping
// quiet about it; a read-only folder of its own is no obstacle.
TEST_F(FileMovesTest, RemovalTakesWhatItCanAndReportsWhatStays) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs a folder the remover may not change";
    const fs::path dir = dataRoot->path() / "remove";
    write(dir / "tree" / "locked" / "kept.txt", "k");
    write(dir / "tree" / "readonly" / "gone.txt", "g");
    write(dir / "tree" / "gone.txt", "g");
    giveToUnprivileged(dir);
    // Not the remover's to change: what is in it stays.
    ::chown((dir / "tree" / "locked").c_str(), 0, 0);
    ::chmod((dir / "tree" / "locked").c_str(), 0555);
    ::chmod((dir / "tree" / "readonly").c_str(), 0555);
    const bool removed = asUnprivileged([&] { return FileMoves::removeAt(AT_FDCWD, dir / "tree").ok(); });
    ::chmod((dir / "tree" / "locked").c_str(), 0755);
    EXPECT_FALSE(removed);
    EXPECT_EQ(filesBelow(dir / "tree"), (std::vector<std::string>{"locked", "locked/kept.txt"}));
}

// A removal has no depth bound: a tree deeper than the walker's, with a
// read-only folder of its own at the bottom, goes whole.
TEST_F(FileMovesTest, RemovalTakesATreeDeeperThanTheWalksBound) {
    const fs::path dir = dataRoot->path() / "remove-deep";
    fs::path bottom = dir / "tree";
    for (int i = 0; i < platform::TreeWalk::defaultMaxDepth + 72; i++) bottom /= "d";
    write(bottom / "locked" / "f.txt", "f");
    ::chmod((bottom / "locked").c_str(), 0555);
    auto folder = platform::FileHandle(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const auto removed = FileMoves::removeAt(folder.fd(), "tree");
    EXPECT_TRUE(removed.ok()) << removed.error();
    EXPECT_FALSE(fs::exists(dir / "tree"));
}

// No copy carries a set-user-ID or set-group-ID bit, whether it is a file
// linked in whole or part of a tree; the sticky bit stays on a folder only.
TEST_F(FileMovesTest, CopiesCarryNoSetIdBit) {
    const fs::path dir = dataRoot->path() / "setid";
    write(dir / "tool", "#!/bin/sh\n");
    write(dir / "tree" / "tool", "#!/bin/sh\n");
    fs::create_directories(dir / "tree" / "shared");
    ::chmod((dir / "tool").c_str(), 06755);
    ::chmod((dir / "tree" / "tool").c_str(), 04755);
    ::chmod((dir / "tree" / "shared").c_str(), 03775);
    ::chmod((dir / "tree").c_str(), 02755);
    ASSERT_TRUE(FileMoves::copyNoReplace(dir / "tool", dir / "tool copy").ok());
    ASSERT_TRUE(FileMoves::copyNoReplace(dir / "tree", dir / "tree copy").ok());
    struct Case {
        fs::path item;
        mode_t mode;
    };
    for (const auto& c : {Case{dir / "tool copy", 0755}, Case{dir / "tree copy", 0755},
                          Case{dir / "tree copy" / "tool", 0755}, Case{dir / "tree copy" / "shared", 01775}}) {
        SCOPED_TRACE(c.item.string());
        struct stat info{};
        ASSERT_EQ(::lstat(c.item.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, c.mode);
    }
    EXPECT_EQ(namesIn(dir), (std::vector<std::string>{"tool", "tool copy", "tree", "tree copy"}));
}

}  // namespace
