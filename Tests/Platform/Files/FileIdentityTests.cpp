// A thread that takes a user's file identity is refused by the kernel what
// that user may not do, makes files that user owns, and gets root's rights
// back at its end; other threads keep root's rights throughout.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "Platform/Files/FileIdentity.h"
#include "Support/TestSupport.h"

using platform::FileIdentity;
namespace fs = std::filesystem;

namespace {

// Groups nobody is in, given to the test account as a supplementary one,
// and one it is not given.
constexpr gid_t kGivenGroup = 4242;
constexpr gid_t kOtherGroup = 4343;

class FileIdentityTest : public VirtualTimeTest {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "taking another user's identity needs root";
        const passwd* entry = ::getpwnam("nobody");
        ASSERT_NE(entry, nullptr);
        nobody = FileIdentity::Account{entry->pw_uid, entry->pw_gid, {entry->pw_gid, kGivenGroup}};
        folder = dataRoot->path() / "files";
        fs::create_directories(folder);
        fs::permissions(folder, fs::perms::all);
    }
    // A file of root's with `group` and `mode`.
    fs::path file(const std::string& name, gid_t group, mode_t mode) {
        const fs::path path = folder / name;
        std::ofstream(path) << name;
        EXPECT_EQ(::chown(path.c_str(), 0, group), 0);
        EXPECT_EQ(::chmod(path.c_str(), mode), 0);
        return path;
    }
    // 0 when the file opens for reading, else the error.
    static int openError(const fs::path& path) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return errno;
        ::close(fd);
        return 0;
    }
    static std::pair<uid_t, gid_t> ownerOfNew(const fs::path& path) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        EXPECT_GE(fd, 0) << path << ": " << std::strerror(errno);
        struct stat info{};
        if (fd >= 0) {
            ::fstat(fd, &info);
            ::close(fd);
        }
        return {info.st_uid, info.st_gid};
    }

    FileIdentity::Account nobody;
    fs::path folder;
};

TEST_F(FileIdentityTest, TheKernelDecidesByTheUsersIdsAndGroups) {
    struct Case {
        const char* name;
        gid_t group;
        mode_t mode;
        bool byNobody;  // whose file it is
        int underIdentity;
    };
    const Case cases[] = {
        {"root's own 0600", 0, 0600, false, EACCES},
        {"the user's own 0600", 0, 0600, true, 0},
        {"readable by a supplementary group of the user", kGivenGroup, 0640, false, 0},
        {"readable by a group the user is not in", kOtherGroup, 0640, false, EACCES},
        {"readable by everyone", 0, 0644, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path path = file(c.name, c.group, c.mode);
        if (c.byNobody) {
            ASSERT_EQ(::chown(path.c_str(), nobody.uid, nobody.gid), 0);
        }
        {
            FileIdentity identity(nobody);
            ASSERT_TRUE(identity.ok()) << identity.error();
            EXPECT_TRUE(identity.switched());
            EXPECT_EQ(openError(path), c.underIdentity);
        }
        EXPECT_EQ(openError(path), 0) << "root's rights are back";
    }
}

TEST_F(FileIdentityTest, WhatTheThreadMakesIsTheUsersAndOtherThreadsStayRoot) {
    const fs::path secret = file("secret", 0, 0600);
    std::vector<gid_t> groupsBefore(static_cast<size_t>(::getgroups(0, nullptr)));
    ::getgroups(static_cast<int>(groupsBefore.size()), groupsBefore.data());
    // Started before the switch: a thread made under it would inherit it.
    std::promise<void> switched;
    int otherOpen = -1;
    std::pair<uid_t, gid_t> otherMade;
    std::thread other([&, go = switched.get_future()]() mutable {
        go.wait();
        otherOpen = openError(secret);
        otherMade = ownerOfNew(folder / "made-by-another-thread");
    });
    {
        FileIdentity identity(nobody);
        EXPECT_TRUE(identity.ok()) << identity.error();
        EXPECT_EQ(ownerOfNew(folder / "made-as-user"), std::make_pair(nobody.uid, nobody.gid));
        switched.set_value();
        other.join();
        EXPECT_EQ(otherOpen, 0) << "another thread keeps root's rights";
        EXPECT_EQ(otherMade, std::make_pair(uid_t{0}, gid_t{0}));
        EXPECT_EQ(openError(secret), EACCES);
    }
    EXPECT_EQ(ownerOfNew(folder / "made-after"), std::make_pair(uid_t{0}, gid_t{0}));
    std::vector<gid_t> groupsAfter(static_cast<size_t>(::getgroups(0, nullptr)));
    ::getgroups(static_cast<int>(groupsAfter.size()), groupsAfter.data());
    EXPECT_EQ(groupsAfter, groupsBefore);
}

TEST_F(FileIdentityTest, TheProcessesOwnUserChangesNothingAndAccountsComeFromTheDirectory) {
    {
        FileIdentity same(FileIdentity::Account{::geteuid(), ::getegid(), {}});
        EXPECT_TRUE(same.ok());
        EXPECT_FALSE(same.switched());
        EXPECT_EQ(openError(file("still-root", 0, 0600)), 0);
    }
    auto named = FileIdentity::Account::named("nobody");
    ASSERT_TRUE(named);
    EXPECT_EQ(named->uid, nobody.uid);
    EXPECT_NE(std::find(named->groups.begin(), named->groups.end(), named->gid), named->groups.end());
    EXPECT_FALSE(FileIdentity::Account::named("no-such-user-here"));
    const auto unknown = FileIdentity::Account::ofOwner(54321, 54322);
    EXPECT_EQ(unknown.groups, std::vector<gid_t>{54322});
}

}  // namespace
