// Moves into a user's folder never replace what is there, and a failed
// move leaves both sides as they were.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "Platform/FileMoves.h"
#include "Platform/Uuid.h"
#include "Support/TestSupport.h"

using platform::FileMoves;
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

}  // namespace
