// A folder a peer named is reached beneath its top without following a
// link, and what is done in it afterwards stays in the folder that was
// opened, whatever its path leads to later.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <map>

#include "Platform/Files/ConfinedFolder.h"
#include "Platform/Files/FileMoves.h"
#include "Support/OwnershipWatch.h"
#include "Support/TestSupport.h"

using platform::ConfinedFolder;
using platform::FileMoves;
using platform::FileOwner;
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
    std::shared_ptr<ConfinedFolder> top(std::optional<FileOwner> owner = std::nullopt) {
        auto opened = ConfinedFolder::openTop(home, owner);
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

TEST_F(ConfinedFolderTest, WhatIsMadeOnAnotherUsersBehalfBelongsToThatUser) {
    if (::geteuid() != 0) GTEST_SKIP() << "giving files away needs root";
    const passwd* nobody = ::getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    const FileOwner owner{nobody->pw_uid, nobody->pw_gid};
    auto folder = top(owner)->openBeneath("New/Inner", true);
    ASSERT_TRUE(folder.ok());
    const fs::path tree = dataRoot->path() / "staging" / "tree";
    fs::create_directories(tree / "sub");
    std::ofstream(tree / "sub" / "f.txt") << "f";
    ASSERT_TRUE(moveInFromStaging(**folder, tree, "tree").ok());
    ASSERT_TRUE((*folder)->writeFile("w.txt", std::vector<uint8_t>{'w'}).ok());
    ASSERT_TRUE((*folder)->copyIn(**folder, "w.txt", "copy.txt").ok());
    for (const fs::path& made : {home / "New", home / "New" / "Inner", home / "New" / "Inner" / "tree",
                                 home / "New" / "Inner" / "tree" / "sub" / "f.txt", home / "New" / "Inner" / "w.txt",
                                 home / "New" / "Inner" / "copy.txt"}) {
        SCOPED_TRACE(made.string());
        struct stat info{};
        ASSERT_EQ(::lstat(made.c_str(), &info), 0);
        EXPECT_EQ(info.st_uid, owner.uid);
        EXPECT_EQ(info.st_gid, owner.gid);
    }
    struct stat existing{};
    ASSERT_EQ(::stat(home.c_str(), &existing), 0);
    EXPECT_EQ(existing.st_uid, ::geteuid()) << "what was there already keeps its owner";
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

std::optional<FileOwner> nobodyOwner() {
    const passwd* nobody = ::getpwnam("nobody");
    if (!nobody) return std::nullopt;
    return FileOwner{nobody->pw_uid, nobody->pw_gid};
}

struct stat lstatOf(const fs::path& p) {
    struct stat info{};
    EXPECT_EQ(::lstat(p.c_str(), &info), 0) << p;
    return info;
}

// Whatever the Host copies into a folder of another user's is that user's,
// without a set-ID bit, before it has a name there: a user watching the
// folder never sees a file of root's or a set-ID item, not even under a
// temporary name. The folder is looked at between every two steps of
// each item's making, so no moment depends on the scheduler.
TEST_F(ConfinedFolderTest, ACopyForAnotherUserIsNeverSeenAsRootsOrSetId) {
    if (::geteuid() != 0) GTEST_SKIP() << "giving files away needs root";
    const auto owner = nobodyOwner();
    ASSERT_TRUE(owner);
    std::ofstream(home / "Docs" / "tool") << "#!/bin/sh\necho run as root\n";
    ::chmod((home / "Docs" / "tool").c_str(), 04755);
    fs::create_directories(home / "Docs" / "Kit" / "Shared");
    std::ofstream(home / "Docs" / "Kit" / "tool") << "#!/bin/sh\n";
    ::chmod((home / "Docs" / "Kit" / "tool").c_str(), 06755);
    ::chmod((home / "Docs" / "Kit" / "Shared").c_str(), 02775);
    fs::create_directories(home / "Backups");
    ::chown((home / "Backups").c_str(), owner->uid, owner->gid);
    auto docs = top(owner)->openBeneath("Docs", false);
    auto backups = top(owner)->openBeneath("Backups", false);
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
    EXPECT_GE(steps, 8u) << "four items, each looked at before its owner and before its mode";
    const auto seen = watch.finish();
    EXPECT_EQ(seen, std::vector<std::string>{}) << "an item of root's or with a set-ID bit was visible";
    EXPECT_GE(watch.looked(), 4u);

    struct Case {
        fs::path item;
        mode_t mode;
    };
    for (const auto& c : {Case{home / "Backups" / "tool", 0755}, Case{home / "Backups" / "Kit", 0755},
                          Case{home / "Backups" / "Kit" / "tool", 0755},
                          Case{home / "Backups" / "Kit" / "Shared", 0775}}) {
        SCOPED_TRACE(c.item.string());
        const auto info = lstatOf(c.item);
        EXPECT_EQ(info.st_uid, owner->uid);
        EXPECT_EQ(info.st_gid, owner->gid);
        EXPECT_EQ(info.st_mode & 07777, c.mode);
    }
    size_t entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(home / "Backups")) entries++;
    EXPECT_EQ(entries, 2u) << "no temporary is left";
}

// An item moved in from staging is given to the owner, set-ID bits taken
// away, while it is still in staging: at the moment it moves it is theirs.
TEST_F(ConfinedFolderTest, AnItemMovedInIsTheOwnersBeforeItMoves) {
    if (::geteuid() != 0) GTEST_SKIP() << "giving files away needs root";
    const auto owner = nobodyOwner();
    ASSERT_TRUE(owner);
    const fs::path tree = dataRoot->path() / "staging" / "tree";
    fs::create_directories(tree / "sub");
    std::ofstream(tree / "sub" / "tool") << "t";
    ::chmod((tree / "sub" / "tool").c_str(), 04755);
    fs::create_symlink("sub/tool", tree / "link");
    std::vector<uid_t> ownersAtTheMove;
    FileMoves::setMoveFailureForTesting([&](const fs::path& name) {
        // Moved from the staging folder as opened: the hook hears the name.
        const fs::path from = tree.parent_path() / name;
        for (const fs::path& p : {from, from / "sub", from / "sub" / "tool", from / "link"})
            ownersAtTheMove.push_back(lstatOf(p).st_uid);
        return false;
    });
    auto folder = top(owner)->openBeneath("Docs", false);
    ASSERT_TRUE(folder.ok());
    const bool moved = moveInFromStaging(**folder, tree, "tree").ok();
    FileMoves::setMoveFailureForTesting(nullptr);
    ASSERT_TRUE(moved);
    EXPECT_EQ(ownersAtTheMove, std::vector<uid_t>(4, owner->uid));
    const auto tool = lstatOf(home / "Docs" / "tree" / "sub" / "tool");
    EXPECT_EQ(tool.st_uid, owner->uid);
    EXPECT_EQ(tool.st_mode & 07777, 0755u);
}

// What moves in is the item given away in staging, even when the staging
// path leads elsewhere by the time of the move: nothing of root's arrives.
TEST_F(ConfinedFolderTest, AnItemMovedInIsTheOneGivenAwayWhereverItsPathLeadsLater) {
    if (::geteuid() != 0) GTEST_SKIP() << "giving files away needs root";
    const auto owner = nobodyOwner();
    ASSERT_TRUE(owner);
    const fs::path item = staged("tool", "given");
    const fs::path staging = item.parent_path();
    FileMoves::setMoveFailureForTesting([&](const fs::path&) {
        // Between the give-away and the move, the staging path comes to
        // hold a set-user-ID file of root's under the same name.
        fs::rename(staging, dataRoot->path() / "given");
        fs::create_directories(staging);
        std::ofstream(staging / "tool") << "planted";
        ::chmod((staging / "tool").c_str(), 04755);
        return false;
    });
    auto folder = top(owner)->openBeneath("Docs", false);
    ASSERT_TRUE(folder.ok());
    const bool moved = moveInFromStaging(**folder, item, "tool").ok();
    FileMoves::setMoveFailureForTesting(nullptr);
    ASSERT_TRUE(moved);
    const auto tool = lstatOf(home / "Docs" / "tool");
    EXPECT_EQ(tool.st_uid, owner->uid);
    EXPECT_EQ(tool.st_mode & (S_ISUID | S_ISGID), 0u);
    std::string text;
    std::getline(std::ifstream(home / "Docs" / "tool"), text);
    EXPECT_EQ(text, "given");
    EXPECT_TRUE(fs::exists(staging / "tool")) << "the planted file stays where it was";
}

// A link planted in place of the staging folder leads the give-away
// nowhere: what it points at is neither given to the owner nor moved in.
// Planted before the folder is opened, the open fails; planted after, the
// item moved in and back out is the one of the folder that was opened.
TEST_F(ConfinedFolderTest, AStagingFolderSwappedForALinkGivesNothingAway) {
    if (::geteuid() != 0) GTEST_SKIP() << "giving files away needs root";
    const auto owner = nobodyOwner();
    ASSERT_TRUE(owner);
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
        auto folder = top(owner)->openBeneath("Docs", false);
        ASSERT_TRUE(folder.ok());
        EXPECT_EQ(opened.ok(), !plantedFirst);
        if (opened) {
            ASSERT_TRUE((*folder)->moveIn(*opened, "tool", "tool").ok());
            EXPECT_EQ(lstatOf(home / "Docs" / "tool").st_uid, owner->uid);
            ASSERT_TRUE((*folder)->moveOut("tool", *opened, "tool").ok());
            std::string text;
            std::getline(std::ifstream(aside / "tool"), text);
            EXPECT_EQ(text, "staged") << "back in the folder that was opened";
        }
        EXPECT_FALSE(fs::exists(home / "Docs" / "tool"));
        EXPECT_EQ(lstatOf(outside / "tool").st_uid, 0u) << "not given away";
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

// A tree far deeper than any walk's bound, moved in for another user under
// a descriptor limit far below its depth, is refused whole: nothing
// arrives and the staged tree stays as it was. The Host's own removal of
// it, with the walker's usual bound and under the same limit, takes it
// all. The descriptors the process holds are the same after each.
TEST_F(ConfinedFolderTest, ADeepTreeIsRefusedWholeWithDescriptorsFlatAndItsStagingRemoved) {
    if (::geteuid() != 0) GTEST_SKIP() << "giving files away needs root";
    const auto owner = nobodyOwner();
    ASSERT_TRUE(owner);
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
    auto folder = top(owner)->openBeneath("Docs", false);
    ASSERT_TRUE(folder.ok());
    auto stagingFolder = openStaging("staging");
    ASSERT_TRUE(stagingFolder.ok());
    rlimit saved{};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    rlimit lowered = saved;
    lowered.rlim_cur = std::min<rlim_t>(256, saved.rlim_max);
    ::setrlimit(RLIMIT_NOFILE, &lowered);
    const size_t before = openDescriptors();
    const bool moved = moveInFromStaging(**folder, staging / "deep", "deep").ok();
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

// Acting for another user, every call through the folder is that user's as
// the kernel decides it: what the user may not open, read or write is
// refused though the process (root) could, nothing is left behind by a
// refusal, and what is made is the user's. Each row is one road; the
// allowed rows show the same road open where the user may.
TEST_F(ConfinedFolderTest, ActingForAnotherUserEveryRoadIsThatUsersRights) {
    if (::geteuid() != 0) GTEST_SKIP() << "taking another user's rights needs root";
    const auto owner = nobodyOwner();
    ASSERT_TRUE(owner);
    const auto account = platform::FileIdentity::Account::named("nobody");
    ASSERT_TRUE(account);
    // The user's home and a folder of theirs; beside them a root-only
    // folder, a folder of root's the user may only look into, and a
    // root-only file in the user's own folder.
    fs::create_directories(home / "Private");
    fs::create_directories(home / "Shut");
    std::ofstream(home / "Private" / "inner.txt") << "root's";
    std::ofstream(home / "Docs" / "mine.txt") << "the user's";
    std::ofstream(home / "Docs" / "secret.txt") << "root's secret";
    fs::create_directories(home / "Docs" / "Kit");
    std::ofstream(home / "Docs" / "Kit" / "secret.txt") << "root's secret";
    for (const fs::path& p : {home, home / "Docs", home / "Docs" / "mine.txt", home / "Docs" / "Kit"})
        ASSERT_EQ(::chown(p.c_str(), owner->uid, owner->gid), 0);
    ::chmod((home / "Private").c_str(), 0700);
    ::chmod((home / "Docs" / "secret.txt").c_str(), 0600);
    ::chmod((home / "Docs" / "Kit" / "secret.txt").c_str(), 0600);
    auto opened = ConfinedFolder::openTop(home, owner, false, *account);
    ASSERT_TRUE(opened.ok()) << opened.error();
    const auto user = *opened;
    auto docs = user->openBeneath("Docs", false);
    ASSERT_TRUE(docs.ok());

    struct Case {
        const char* name;
        std::function<bool()> run;
        bool allowed;
        // What must (allowed) or must not (refused) be there afterwards.
        fs::path made;
    };
    const Case cases[] = {
        {"open a root-only folder", [&] { return user->openBeneath("Private", false).ok(); }, false, {}},
        {"list a root-only folder",
         [&] {
             auto folder = user->openBeneath("Private", false);
             return folder.ok() && (*folder)->list().ok();
         },
         false, {}},
        {"make a folder in root's folder", [&] { return user->openBeneath("Shut/New", true).ok(); }, false,
         home / "Shut" / "New"},
        {"make one folder in root's folder",
         [&] {
             auto shut = user->openBeneath("Shut", false);
             return shut.ok() && (*shut)->makeFolder("New").ok();
         },
         false, home / "Shut" / "New"},
        {"write into root's folder",
         [&] {
             auto shut = user->openBeneath("Shut", false);
             return shut.ok() && (*shut)->mayWrite().ok();
         },
         false, {}},
        {"move an item from staging into root's folder",
         [&] {
             auto shut = user->openBeneath("Shut", false);
             return shut.ok() && moveInFromStaging(**shut, staged("moved", "x"), "moved").ok();
         },
         false, home / "Shut" / "moved"},
        {"copy a root-only file", [&] { return user->copyIn(**docs, "secret.txt", "secret.txt").ok(); }, false,
         home / "secret.txt"},
        {"copy a folder holding a root-only file", [&] { return user->copyIn(**docs, "Kit", "Kit").ok(); }, false,
         home / "Kit"},
        {"make folders in the user's own", [&] { return user->openBeneath("Made/Deep", true).ok(); }, true,
         home / "Made" / "Deep"},
        {"copy the user's file", [&] { return user->copyIn(**docs, "mine.txt", "mine.txt").ok(); }, true,
         home / "mine.txt"},
        {"move from staging into the user's own",
         [&] { return moveInFromStaging(**docs, staged("arrived", "x"), "arrived").ok(); }, true, home / "Docs" / "arrived"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.run(), c.allowed);
        if (c.made.empty()) continue;
        struct stat info{};
        const bool there = ::lstat(c.made.c_str(), &info) == 0;
        EXPECT_EQ(there, c.allowed);
        if (there && c.allowed) {
            EXPECT_EQ(info.st_uid, owner->uid);
            EXPECT_EQ(info.st_gid, owner->gid);
        }
    }
    EXPECT_EQ(::getuid(), 0u) << "the process keeps its own rights";
    EXPECT_TRUE(fs::exists(home / "Private" / "inner.txt")) << "the calling thread has root's rights back";
}

// For another user, every folder a fallback road makes in the user's
// folder (a move where the file system refuses the no-replace flag, a copy
// of a tree) is the user's from the moment it exists: made by the user,
// never a folder of root's given away after.
TEST_F(ConfinedFolderTest, FoldersTheFallbackRoadsMakeForAnotherUserAreTheirsFromTheStart) {
    if (::geteuid() != 0) GTEST_SKIP() << "giving files away needs root";
    const auto owner = nobodyOwner();
    ASSERT_TRUE(owner);
    fs::create_directories(home / "Docs" / "Kit" / "Inner");
    for (const fs::path& p : {home / "Docs", home / "Docs" / "Kit", home / "Docs" / "Kit" / "Inner"})
        ASSERT_EQ(::chown(p.c_str(), owner->uid, owner->gid), 0);
    auto docs = top(owner)->openBeneath("Docs", false);
    ASSERT_TRUE(docs.ok());
    struct Case {
        const char* road;
        std::function<platform::Status()> run;
        fs::path arrives;
    };
    const Case cases[] = {
        {"a move without the no-replace flag",
         [&] {
             const fs::path tree = dataRoot->path() / "staging" / "tree";
             fs::create_directories(tree / "sub");
             std::ofstream(tree / "sub" / "f.txt") << "f";
             FileMoves::setNoReplaceRefusedForTesting(true);
             auto moved = moveInFromStaging(**docs, tree, "tree");
             FileMoves::setNoReplaceRefusedForTesting(false);
             return moved;
         },
         home / "Docs" / "tree" / "sub"},
        {"a copy of a tree", [&] { return (*docs)->copyIn(**docs, "Kit", "Copy"); }, home / "Docs" / "Copy" / "Inner"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.road);
        // Looked at the moment each folder is made, before it has its owner.
        std::vector<uid_t> ownersWhenMade;
        FileMoves::setFallbackFailureForTesting([&](FileMoves::FallbackStep step, const std::string&) {
            if (step != FileMoves::FallbackStep::folderMade) return false;
            struct stat info{};
            std::vector<fs::path> made;
            for (const auto& entry : fs::recursive_directory_iterator(home / "Docs"))
                if (entry.is_directory() && fs::status(entry.path()).permissions() == fs::perms::owner_all)
                    made.push_back(entry.path());
            for (const auto& p : made) {
                if (::lstat(p.c_str(), &info) == 0) ownersWhenMade.push_back(info.st_uid);
            }
            return false;
        });
        const auto done = c.run();
        FileMoves::setFallbackFailureForTesting(nullptr);
        ASSERT_TRUE(done.ok()) << done.error();
        ASSERT_FALSE(ownersWhenMade.empty());
        EXPECT_EQ(ownersWhenMade, std::vector<uid_t>(ownersWhenMade.size(), owner->uid));
        EXPECT_EQ(lstatOf(c.arrives).st_uid, owner->uid);
    }
}

// A write check the kernel cannot answer (an old kernel: ENOSYS; a
// container's filter: EPERM) is decided by writing as the user, with or
// without unnamed files: a folder of root's is refused, never allowed,
// and the user's own is allowed; nothing is left in either.
TEST_F(ConfinedFolderTest, AWriteCheckTheKernelCannotAnswerIsDecidedAsTheUserNeverAllowed) {
    if (::geteuid() != 0) GTEST_SKIP() << "taking another user's rights needs root";
    const auto owner = nobodyOwner();
    const auto account = platform::FileIdentity::Account::named("nobody");
    ASSERT_TRUE(owner && account);
    fs::create_directories(home / "Shut");
    fs::create_directories(home / "Mine");
    ASSERT_EQ(::chown((home / "Mine").c_str(), owner->uid, owner->gid), 0);
    auto opened = ConfinedFolder::openTop(home, owner, false, *account);
    ASSERT_TRUE(opened.ok());
    struct Case {
        int accessCallError;
        bool noUnnamedFiles;
    };
    const Case cases[] = {{0, false}, {ENOSYS, false}, {ENOSYS, true}, {EPERM, false}, {EPERM, true}};
    for (const auto& c : cases) {
        for (const auto& [folder, mayWrite] : {std::pair{"Shut", false}, std::pair{"Mine", true}}) {
            SCOPED_TRACE(std::string(folder) + " access call error " + std::to_string(c.accessCallError) +
                         (c.noUnnamedFiles ? ", no unnamed files" : ""));
            auto inner = (*opened)->openBeneath(folder, false);
            ASSERT_TRUE(inner.ok());
            ConfinedFolder::setWriteCheckFaultsForTesting({c.accessCallError, c.noUnnamedFiles});
            const bool allowed = (*inner)->mayWrite().ok();
            ConfinedFolder::setWriteCheckFaultsForTesting({});
            EXPECT_EQ(allowed, mayWrite);
            EXPECT_TRUE(fs::is_empty(home / folder));
        }
    }
}

// Moving an item back out of another user's folder into the Host's
// staging is done with that user's rights: the name lies where the user
// can put anything under it. Where the user may not write the staging
// folder, nothing moves.
TEST_F(ConfinedFolderTest, MovingOutForAnotherUserIsDoneWithThatUsersRights) {
    if (::geteuid() != 0) GTEST_SKIP() << "taking another user's rights needs root";
    const auto owner = nobodyOwner();
    const auto account = platform::FileIdentity::Account::named("nobody");
    ASSERT_TRUE(owner && account);
    ASSERT_EQ(::chown((home / "Docs").c_str(), owner->uid, owner->gid), 0);
    auto opened = ConfinedFolder::openTop(home, owner, false, *account);
    ASSERT_TRUE(opened.ok());
    auto docs = (*opened)->openBeneath("Docs", false);
    ASSERT_TRUE(docs.ok());
    struct Case {
        const char* staging;
        bool usersToo;
    };
    for (const auto& c : {Case{"root's staging", false}, Case{"staging the user may write", true}}) {
        SCOPED_TRACE(c.staging);
        const fs::path staging = dataRoot->path() / "staging";
        fs::create_directories(staging);
        ::chmod(staging.c_str(), c.usersToo ? 0777 : 0755);
        std::ofstream(home / "Docs" / "item") << "the user's";
        auto folder = openStaging("staging");
        ASSERT_TRUE(folder.ok());
        EXPECT_EQ((*docs)->moveOut("item", *folder, "item").ok(), c.usersToo);
        EXPECT_EQ(fs::exists(staging / "item"), c.usersToo);
        EXPECT_EQ(fs::exists(home / "Docs" / "item"), !c.usersToo);
        fs::remove_all(staging);
        fs::remove(home / "Docs" / "item");
    }
}

}  // namespace
