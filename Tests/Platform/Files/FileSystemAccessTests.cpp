// Listing one folder level and the simulated security-scoped bookmarks.

#include <gtest/gtest.h>

#include <fstream>

#include "Platform/Files/FileSystemAccess.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"
#include "Support/TestSupport.h"

namespace fs = std::filesystem;
using platform::FileSystemAccess;

class FileSystemAccessTest : public VirtualTimeTest {
protected:
    std::string folder(const std::string& name) {
        auto path = dataRoot->path() / name;
        fs::create_directories(path);
        return path.string();
    }
};

TEST_F(FileSystemAccessTest, PathsStandardiseLexically) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {{"/a/./b/../c/", "/a/c"}, {"/..", "/"}, {"/", "/"}, {"/a//b", "/a/b"}, {"rel/x/..", "rel"}};
    for (const auto& c : cases) EXPECT_EQ(platform::standardizedPath(c.in), c.out) << c.in;
    EXPECT_EQ(platform::lastPathComponent("/a/b/"), "b");
}

TEST_F(FileSystemAccessTest, BookmarksResolveUntilTheFolderIsReplacedOrGone) {
    constexpr auto create = FileSystemAccess::kBookmarkCreationWithSecurityScope;
    constexpr auto resolve = FileSystemAccess::kBookmarkResolutionWithSecurityScope;
    const auto path = folder("Granted");
    EXPECT_FALSE(FileSystemAccess::bookmarkData(path + "/missing", create));
    std::ofstream(path + "/file") << "x";
    EXPECT_FALSE(FileSystemAccess::bookmarkData(path + "/file", create));
    EXPECT_FALSE(FileSystemAccess::resolveBookmarkData({'b', 'p', 'l'}, resolve));

    const auto data = *FileSystemAccess::bookmarkData(path + "/.", create);
    auto resolved = FileSystemAccess::resolveBookmarkData(data, resolve);
    ASSERT_TRUE(resolved);
    EXPECT_EQ(resolved->path, path);
    EXPECT_FALSE(resolved->isStale);

    // Moved away (still alive, so its inode cannot be reused) and replaced.
    fs::rename(path, path + "-moved");
    EXPECT_FALSE(FileSystemAccess::resolveBookmarkData(data, resolve));
    folder("Granted");
    resolved = FileSystemAccess::resolveBookmarkData(data, resolve);
    ASSERT_TRUE(resolved);
    EXPECT_TRUE(resolved->isStale);
}

TEST_F(FileSystemAccessTest, ScopesAnswerByReadabilityUnlessATestDecides) {
    const auto path = folder("Scoped");
    auto& scopes = platform::SimulatedMachine::current().component<platform::SimulatedSecurityScopes>();
    EXPECT_FALSE(FileSystemAccess::startAccessingSecurityScopedResource(path + "/none"));
    EXPECT_TRUE(FileSystemAccess::startAccessingSecurityScopedResource(path));
    EXPECT_EQ(scopes.open.at(path), 1);
    FileSystemAccess::setScopeAnswerForTesting(path, false);
    EXPECT_FALSE(FileSystemAccess::startAccessingSecurityScopedResource(path));
    FileSystemAccess::stopAccessingSecurityScopedResource(path);
    EXPECT_TRUE(scopes.open.empty());

    std::ofstream(path + "/.dot") << "x";
    fs::create_directories(path + "/d");
    auto listing = FileSystemAccess::listDirectory(path);
    ASSERT_TRUE(listing);
    ASSERT_EQ(listing->size(), 1u);
    EXPECT_TRUE(listing->front().isDirectory);
    FileSystemAccess::setListingFailureForTesting(path + "/", true);
    EXPECT_FALSE(FileSystemAccess::listDirectory(path));
}
