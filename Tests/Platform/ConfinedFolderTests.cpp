// A folder a peer named is reached beneath its top without following a
// link, and what is done in it afterwards stays in the folder that was
// opened, whatever its path leads to later.

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "Platform/ConfinedFolder.h"
#include "Support/TestSupport.h"

using platform::ConfinedFolder;
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

    ASSERT_TRUE((*folder)->moveIn(staged("a.txt", "a"), "a.txt").ok());
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
    EXPECT_FALSE((*folder)->moveIn(staged("t.txt", "new"), "taken.txt").ok());
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
    ASSERT_TRUE((*folder)->moveIn(tree, "tree").ok());
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

}  // namespace
