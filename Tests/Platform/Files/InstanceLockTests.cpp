// The exclusive lock that makes one process the owner of a data root.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <fstream>

#include "Platform/Files/InstanceLock.h"
#include "Support/TestSupport.h"

using namespace platform;
namespace fs = std::filesystem;

namespace {

TEST(InstanceLock, OneHoldPerProcessSharedAndReleasedWithItsLastOwner) {
    TemporaryDataRoot root;
    const fs::path file = root.path() / "support" / "host.lock";
    auto first = InstanceLock::acquire(file);
    ASSERT_TRUE(first.ok()) << first.error().message;
    auto again = InstanceLock::acquire(file);
    ASSERT_TRUE(again.ok()) << "this process's own lock is no other holder";
    EXPECT_EQ(*again, *first);

    // Another open file of the lock, as another process would have.
    const int other = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(other, 0);
    EXPECT_NE(::flock(other, LOCK_EX | LOCK_NB), 0) << "held while an owner remains";
    first = InstanceLock::acquire(root.path() / "elsewhere.lock");
    EXPECT_NE(::flock(other, LOCK_EX | LOCK_NB), 0);
    again = InstanceLock::acquire(root.path() / "elsewhere.lock");
    EXPECT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0) << "released with its last owner";

    // The other holder names itself as a Host does.
    ASSERT_EQ(::ftruncate(other, 0), 0);
    ASSERT_EQ(::pwrite(other, "4242\n", 5, 0), 5);
    auto refused = InstanceLock::acquire(file);
    ASSERT_FALSE(refused.ok());
    EXPECT_TRUE(refused.error().heldElsewhere);
    EXPECT_EQ(refused.error().holderPid, 4242);
    ::close(other);
}

TEST(InstanceLock, ALinkAtTheLocksNameIsNeitherFollowedNorTaken) {
    TemporaryDataRoot root;
    const fs::path target = root.path() / "someone-elses-file";
    std::ofstream(target) << "keep";
    fs::create_symlink(target, root.path() / "host.lock");
    auto lock = InstanceLock::acquire(root.path() / "host.lock");
    ASSERT_FALSE(lock.ok());
    EXPECT_FALSE(lock.error().heldElsewhere);
    std::ifstream in(target);
    std::string text;
    in >> text;
    EXPECT_EQ(text, "keep");
}

}  // namespace
