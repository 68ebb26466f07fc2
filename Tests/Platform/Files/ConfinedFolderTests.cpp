// A folder a peer named is reached beneath its top without following a
// link, and what is done in it afterwards stays in the folder that was
// opened, whatever its path leads to later.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "Platform/Files/ConfinedFolder.h"
#include "Platform/Files/FileIO.h"
#include "Platform/Files/FileMoves.h"
#include "Support/ChildConditions.h"
#include "Support/OwnershipWatch.h"
#include "Support/TestSupport.h"

using platform::ConfinedFolder;
using platform::FileMoves;
namespace fs = std::filesystem;

namespace {

class ConfinedFolderTest : public VirtualTimeTest {
protected:
    void SetUp() override {
        home = dataRoot->path() / "home";
        outside = dataRoot->path() / "outside";
        fs::create_directories(home / "Docs" / "Deep");
        fs::create_directories(outside);
        fs::create_directory_symlink(outside, home / "Leak");
        fs::create_directory_symlink(home / "Docs", home / "DocsAlias");
    }
    std::shared_ptr<ConfinedFolder> top() {
        auto opened = ConfinedFolder::openTop(home);
        EXPECT_TRUE(opened.ok());
        return opened.ok() ? *opened : nullptr;
    }
    fs::path staged(const std::string& name, const std::string& text) {
        const fs::path path = dataRoot->path() / "staging" / name;
        fs::create_directories(path.parent_path());
        std::ofstream(path) << text;
        return path;
    }
    // The Host's staging folder `relative` (below the data root) as the
    // Host opens it: from the data root down, never through a link.
    platform::Result<platform::FolderHandle> openStaging(const fs::path& relative) const {
        auto opened = platform::FolderHandle::open(dataRoot->path());
        for (const auto& part : relative)
            if (opened) opened = opened->child(part.string(), false);
        return opened;
    }
    // A staged item moved in as the Host moves it: beneath its folder so opened.
    platform::Status moveInFromStaging(const ConfinedFolder& folder, const fs::path& item, const std::string& name) const {
        auto staging = openStaging(item.parent_path().lexically_relative(dataRoot->path()));
        if (!staging) return platform::Status::failure(staging.error());
        return folder.moveIn(*staging, item.filename().string(), name);
    }
    bool outsideIsEmpty() const { return fs::is_empty(outside); }

    fs::path home, outside;
};

// Whether the user may write a folder is found by a real attempt, which
// leaves nothing behind: a sandbox that refuses the access question itself
// (faccessat2 answered EPERM) sways neither answer.
TEST_F(ConfinedFolderTest, WhetherTheUserMayWriteIsARealAttemptAFilterRefusingTheQuestionDoesNotSway) {
    for (fs::path up = home; up != dataRoot->path().parent_path(); up = up.parent_path())
        ASSERT_EQ(::chmod(up.c_str(), 0755), 0);
    fs::create_directories(home / "Closed");
    testsupport::giveToUnprivileged((home / "Docs").c_str());
    ASSERT_EQ(::chmod((home / "Closed").c_str(), 0555), 0);
    EXPECT_TRUE(testsupport::runInChild({.refuseFaccessat2 = true, .unprivileged = true}, [&] {
        auto root = top();
        if (!root) return false;
        auto docs = root->openBeneath("Docs", false);
        auto closed = root->openBeneath("Closed", false);
        if (!docs || !closed) return false;
        EXPECT_TRUE((*docs)->mayWrite().ok()) << (*docs)->mayWrite().error();
        EXPECT_TRUE(platform::FileIO::mayWrite(home / "Docs"));
        const auto refused = (*closed)->mayWrite();
        EXPECT_FALSE(refused.ok());
        if (!refused.ok()) {
            EXPECT_NE(refused.error().find("the user may not write here"), std::string::npos) << refused.error();
        }
        EXPECT_FALSE(platform::FileIO::mayWrite(home / "Closed"));
        std::vector<fs::path> left(fs::directory_iterator(home / "Docs"), {});
        EXPECT_EQ(left, std::vector<fs::path>{home / "Docs" / "Deep"}) << "the attempt leaves nothing";
        return !::testing::Test::HasFailure();
    }));
    ::chmod((home / "Closed").c_str(), 0755);
}

TEST_F(ConfinedFolderTest, OpensOnlyBeneathItsTopAndThroughNoLink) {
    struct Case {
        const char* relative;
        bool create;
        bool opens;
    };
    const Case cases[] = {
        {"Docs/Deep", false, true},
        {"./Docs//Deep/", false, true},
        {"", false, true},
        {"Leak", false, false},
        {"Leak/New", true, false},
        {"DocsAlias/Deep", false, false},
        {"Docs/../../outside", false, false},
        {"/etc", false, false},
        {"Missing", false, false},
        {"Made/Below", true, true},
    };
    auto home = top();
    // With the kernel resolving beneath the folder, and one component at a
    // time where it cannot.
    for (const bool stepwise : {false, true}) {
        ConfinedFolder::setResolveBeneathUnavailableForTesting(stepwise);
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.relative) + (stepwise ? " (one component at a time)" : ""));
            auto opened = home->openBeneath(c.relative, c.create);
            EXPECT_EQ(opened.ok(), c.opens);
        }
    }
    ConfinedFolder::setResolveBeneathUnavailableForTesting(false);
    EXPECT_TRUE(fs::is_directory(this->home / "Made" / "Below"));
    EXPECT_TRUE(outsideIsEmpty());
}

TEST_F(ConfinedFolderTest, AFolderSwappedForALinkAfterOpeningKeepsEverythingInTheOpenedOne) {
    auto folder = top()->openBeneath("Docs", false);
    ASSERT_TRUE(folder.ok());
    fs::rename(home / "Docs", home / "Moved");
    fs::create_directory_symlink(outside, home / "Docs");

    ASSERT_TRUE(moveInFromStaging(**folder, staged("a.txt", "a"), "a.txt").ok());
    ASSERT_TRUE((*folder)->writeFile("b.txt", std::vector<uint8_t>{'b'}).ok());
    ASSERT_TRUE((*folder)->makeFolder("Sub").ok());
    EXPECT_TRUE(outsideIsEmpty());
    EXPECT_TRUE(fs::exists(home / "Moved" / "a.txt"));
    EXPECT_TRUE(fs::exists(home / "Moved" / "b.txt"));
    EXPECT_TRUE(fs::is_directory(home / "Moved" / "Sub"));
}

TEST_F(ConfinedFolderTest, MovesAndWritesNeverReplace) {
    auto folder = top()->openBeneath("Docs", false);
    ASSERT_TRUE(folder.ok());
    std::ofstream(home / "Docs" / "taken.txt") << "old";
    EXPECT_FALSE(moveInFromStaging(**folder, staged("t.txt", "new"), "taken.txt").ok());
    EXPECT_FALSE((*folder)->writeFile("taken.txt", std::vector<uint8_t>{'n'}).ok());
    EXPECT_FALSE((*folder)->makeFolder("taken.txt").ok());
    std::ifstream in(home / "Docs" / "taken.txt");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "old");
    size_t entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(home / "Docs")) entries++;
    EXPECT_EQ(entries, 2u) << "no temporary is left";
}

// The process's umask for the life of the object.
class ScopedUmask {
public:
    explicit ScopedUmask(mode_t mask) : saved_(::umask(mask)) {}
    ~ScopedUmask() { ::umask(saved_); }

private:
    mode_t saved_;
};

// What the Host makes in a folder has the mode the process's umask leaves:
// a folder 0777 less it, a written file 0666 less it, a created file its
// given mode less it. A copy has its source's mode, an item moved in keeps
// its own, and what was there already is left as it was.
TEST_F(ConfinedFolderTest, WhatIsMadeHasItsModeLessTheUmask) {
    const ScopedUmask umask(027);
    ::chmod(home.c_str(), 0711);
    auto folder = top()->openBeneath("New/Inner", true);
    ASSERT_TRUE(folder.ok());
    const fs::path tree = dataRoot->path() / "staging" / "tree";
    fs::create_directories(tree / "sub");
    std::ofstream(tree / "sub" / "f.txt") << "f";
    ::chmod((tree / "sub" / "f.txt").c_str(), 0664);
    ASSERT_TRUE(moveInFromStaging(**folder, tree, "tree").ok());
    auto sub = (*folder)->openBeneath("tree/sub", false);
    ASSERT_TRUE(sub.ok());
    ASSERT_TRUE((*folder)->copyIn(**sub, "f.txt", "copy.txt").ok());
    ASSERT_TRUE((*folder)->writeFile("w.txt", std::vector<uint8_t>{'w'}).ok());
    ASSERT_TRUE((*folder)->createFile("c.txt", 0604).ok());
    ASSERT_TRUE((*folder)->makeFolder("Made").ok());
    struct Case {
        fs::path item;
        mode_t mode;
    };
    const fs::path inner = home / "New" / "Inner";
    for (const auto& c : {Case{home, 0711}, Case{home / "New", 0750}, Case{inner, 0750}, Case{inner / "Made", 0750},
                          Case{inner / "w.txt", 0640}, Case{inner / "c.txt", 0600},
                          Case{inner / "tree" / "sub" / "f.txt", 0664}, Case{inner / "copy.txt", 0664}}) {
        SCOPED_TRACE(c.item.string());
        struct stat info{};
        ASSERT_EQ(::lstat(c.item.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, c.mode);
    }
}

TEST_F(ConfinedFolderTest, ListsItsItemsLinksAsLinksAndDotFilesLeftOut) {
    std::ofstream(home / "file.txt") << "abc";
    std::ofstream(home / ".hidden") << "h";
    auto items = top()->list();
    ASSERT_TRUE(items.ok());
    std::map<std::string, platform::FileSystemEntry> byName;
    for (const auto& item : *items) byName[item.name] = item;
    ASSERT_EQ(byName.size(), 4u);
    EXPECT_EQ(byName.at("file.txt").kind, platform::FileSystemEntryKind::file);
    EXPECT_EQ(byName.at("file.txt").size, 3u);
    EXPECT_EQ(byName.at("Docs").kind, platform::FileSystemEntryKind::folder);
    EXPECT_EQ(byName.at("Leak").kind, platform::FileSystemEntryKind::link);
    EXPECT_EQ(byName.at("DocsAlias").kind, platform::FileSystemEntryKind::link);
}

struct stat lstatOf(const fs::path& p) {
    struct stat info{};
    EXPECT_EQ(::lstat(p.c_str(), &info), 0) << p;
    return info;
}

// Whatever the Host copies into a folder is without a set-ID bit before it
// has a name there: a user watching the folder never sees a set-ID item,
// not even under a temporary name. The folder is looked at between the
// steps of each file's making, so no moment depends on the scheduler.
TEST_F(ConfinedFolderTest, ACopyIsNeverSeenWithASetIdBit) {
    std::ofstream(home / "Docs" / "tool") << "#!/bin/sh\necho run as root\n";
    ::chmod((home / "Docs" / "tool").c_str(), 04755);
    fs::create_directories(home / "Docs" / "Kit" / "Shared");
    std::ofstream(home / "Docs" / "Kit" / "tool") << "#!/bin/sh\n";
    ::chmod((home / "Docs" / "Kit").c_str(), 0755);
    ::chmod((home / "Docs" / "Kit" / "tool").c_str(), 06755);
    ::chmod((home / "Docs" / "Kit" / "Shared").c_str(), 02775);
    fs::create_directories(home / "Backups");
    auto docs = top()->openBeneath("Docs", false);
    auto backups = top()->openBeneath("Backups", false);
    ASSERT_TRUE(docs.ok() && backups.ok());

    platform::testing::OwnershipWatch watch(home / "Backups");
    ASSERT_TRUE(watch.started());
    size_t steps = 0;
    FileMoves::setSettleStepForTesting([&] {
        steps++;
        watch.lookNow();
    });
    const bool copied =
        (*backups)->copyIn(**docs, "tool", "tool").ok() && (*backups)->copyIn(**docs, "Kit", "Kit").ok();
    FileMoves::setSettleStepForTesting(nullptr);
    ASSERT_TRUE(copied);
    EXPECT_GE(steps, 2u) << "two files, each looked at before its mode";
    EXPECT_EQ(platform::testing::OwnershipWatch::setIdLines(watch.finish()), std::vector<std::string>{}) << "an item with a set-ID bit was visible";
    EXPECT_GE(watch.looked(), 4u);

    struct Case {
        fs::path item;
        mode_t mode;
    };
    for (const auto& c : {Case{home / "Backups" / "tool", 0755}, Case{home / "Backups" / "Kit", 0755},
                          Case{home / "Backups" / "Kit" / "tool", 0755},
                          Case{home / "Backups" / "Kit" / "Shared", 0775}}) {
        SCOPED_TRACE(c.item.string());
        EXPECT_EQ(lstatOf(c.item).st_mode & 07777, c.mode);
    }
    size_t entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(home / "Backups")) entries++;
    EXPECT_EQ(entries, 2u) << "no temporary is left";
}

// What moves in is the item of the staging folder as it was opened, even
// when the staging path leads elsewhere by the time of the move: the
// set-user-ID file planted there stays where it is.
TEST_F(ConfinedFolderTest, AnItemMovedInIsTheStagedOneWhereverItsPathLeadsLater) {
    const fs::path item = staged("tool", "given");
    const fs::path staging = item.parent_path();
    FileMoves::setMoveFailureForTesting([&](const fs::path&) {
        // Just before the move, the staging path comes to hold a
        // set-user-ID file under the same name.
        fs::rename(staging, dataRoot->path() / "given");
        fs::create_directories(staging);
        std::ofstream(staging / "tool") << "planted";
        ::chmod((staging / "tool").c_str(), 04755);
        return false;
    });
    auto folder = top()->openBeneath("Docs", false);
    ASSERT_TRUE(folder.ok());
    const bool moved = moveInFromStaging(**folder, item, "tool").ok();
    FileMoves::setMoveFailureForTesting(nullptr);
    ASSERT_TRUE(moved);
    const auto tool = lstatOf(home / "Docs" / "tool");
    EXPECT_EQ(tool.st_mode & (S_ISUID | S_ISGID), 0u);
    std::string text;
    std::getline(std::ifstream(home / "Docs" / "tool"), text);
    EXPECT_EQ(text, "given");
    EXPECT_TRUE(fs::exists(staging / "tool")) << "the planted file stays where it was";
}

// A link planted in place of the staging folder leads the move nowhere:
// what it points at is not moved in. Planted before the folder is opened,
// the open fails; planted after, the item moved in and back out is the one
// of the folder that was opened.
TEST_F(ConfinedFolderTest, AStagingFolderSwappedForALinkMovesNothingOfWhereItLeads) {
    std::ofstream(outside / "tool") << "root's";
    for (const bool plantedFirst : {true, false}) {
        SCOPED_TRACE(plantedFirst ? "planted before the open" : "planted after the open");
        const fs::path staging = staged("tool", "staged").parent_path();
        const fs::path aside = dataRoot->path() / "staging-aside";
        auto plant = [&] {
            fs::rename(staging, aside);
            fs::create_directory_symlink(outside, staging);
        };
        if (plantedFirst) plant();
        auto opened = openStaging("staging");
        if (!plantedFirst) plant();
        auto folder = top()->openBeneath("Docs", false);
        ASSERT_TRUE(folder.ok());
        EXPECT_EQ(opened.ok(), !plantedFirst);
        if (opened) {
            ASSERT_TRUE((*folder)->moveIn(*opened, "tool", "tool").ok());
            ASSERT_TRUE((*folder)->moveOut("tool", *opened, "tool").ok());
            std::string text;
            std::getline(std::ifstream(aside / "tool"), text);
            EXPECT_EQ(text, "staged") << "back in the folder that was opened";
        }
        EXPECT_FALSE(fs::exists(home / "Docs" / "tool"));
        std::string text;
        std::getline(std::ifstream(outside / "tool"), text);
        EXPECT_EQ(text, "root's");
        fs::remove(staging);
        fs::remove_all(aside);
    }
}

// How many levels a chain of folders "name/d/d/..." has, counted by
// descriptor, one open at a time, without a walker and its bound.
size_t chainLevels(int folder, const char* name) {
    size_t levels = 0;
    platform::FileHandle at(::openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    while (at.isOpen()) {
        levels++;
        at = platform::FileHandle(::openat(at.fd(), "d", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    return levels;
}

// A tree far deeper than any walk's bound, moved in item by item (the file
// system refuses the no-replace flag) under a descriptor limit far below
// its depth, is refused whole: nothing arrives and the staged tree stays
// as it was. The Host's own removal of it, with the walker's usual bound
// and under the same limit, takes it all. The descriptors the process
// holds are the same after each.
TEST_F(ConfinedFolderTest, ADeepTreeIsRefusedWholeWithDescriptorsFlatAndItsStagingRemoved) {
    const fs::path staging = dataRoot->path() / "staging";
    fs::create_directories(staging);
    constexpr size_t levels = 2001;
    {
        platform::FileHandle at(::open(staging.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ASSERT_EQ(::mkdirat(at.fd(), "deep", 0755), 0);
        at = platform::FileHandle(::openat(at.fd(), "deep", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        for (size_t i = 1; i < levels; i++) {
            ASSERT_EQ(::mkdirat(at.fd(), "d", 0755), 0);
            at = platform::FileHandle(::openat(at.fd(), "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        }
    }
    auto folder = top()->openBeneath("Docs", false);
    ASSERT_TRUE(folder.ok());
    auto stagingFolder = openStaging("staging");
    ASSERT_TRUE(stagingFolder.ok());
    rlimit saved{};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    rlimit lowered = saved;
    lowered.rlim_cur = std::min<rlim_t>(256, saved.rlim_max);
    ::setrlimit(RLIMIT_NOFILE, &lowered);
    const size_t before = openDescriptors();
    FileMoves::setNoReplaceRefusedForTesting(true);
    const bool moved = moveInFromStaging(**folder, staging / "deep", "deep").ok();
    FileMoves::setNoReplaceRefusedForTesting(false);
    const size_t afterTheMove = openDescriptors();
    const size_t staged = chainLevels(stagingFolder->fd(), "deep");
    const auto removed = FileMoves::removeAt(stagingFolder->fd(), "deep");
    const size_t afterTheRemoval = openDescriptors();
    ::setrlimit(RLIMIT_NOFILE, &saved);

    EXPECT_FALSE(moved);
    EXPECT_EQ(afterTheMove, before);
    EXPECT_FALSE(fs::exists(home / "Docs" / "deep")) << "nothing of it arrives";
    EXPECT_EQ(staged, levels) << "the staged tree stays whole";
    EXPECT_TRUE(removed.ok()) << (removed.ok() ? "" : removed.error());
    EXPECT_EQ(afterTheRemoval, before);
    EXPECT_EQ(chainLevels(stagingFolder->fd(), "deep"), 0u) << "the staged tree is gone";
}

// A batch's fresh staging folder made at the descriptor limit cannot be
// opened: it fails, and what it made is gone, as nobody holds it to remove
// it later. With room again, the same name is made and opened.
TEST_F(ConfinedFolderTest, ANewFolderMadeButNotOpenedAtTheDescriptorLimitIsRemoved) {
    const fs::path staging = dataRoot->path() / "staging";
    fs::create_directories(staging);
    auto stagingFolder = openStaging("staging");
    ASSERT_TRUE(stagingFolder.ok());
    platform::testing::DescriptorsUsedUp usedUp;
    ASSERT_TRUE(usedUp.reached());
    auto made = stagingFolder->newChild("batch");
    const int error = errno;
    usedUp.free();
    ASSERT_FALSE(made.ok());
    EXPECT_EQ(error, EMFILE) << "the open failed, not the making";
    EXPECT_FALSE(fs::exists(staging / "batch")) << "the folder made is gone";
    auto again = stagingFolder->newChild("batch");
    ASSERT_TRUE(again.ok()) << again.error();
    EXPECT_TRUE(fs::is_directory(staging / "batch"));
}

}  // namespace
