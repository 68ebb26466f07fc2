// Detached launches for real: the program waits for a process to end,
// gives up after its bound, runs in a session of its own and gets its
// arguments byte for byte, with no shell in between.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>

#include "Platform/Runtime/ProcessRunner.h"
#include "Platform/Runtime/ProcessUser.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"
#include "Support/TestSupport.h"

using namespace platform;
namespace fs = std::filesystem;

namespace {

// A child of the test that lives until release() (or destruction).
class HeldChild {
public:
    HeldChild() {
        int fds[2];
        EXPECT_EQ(::pipe(fds), 0);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(fds[1]);
            char byte;
            while (::read(fds[0], &byte, 1) < 0 && errno == EINTR) {
            }
            ::_exit(0);
        }
        ::close(fds[0]);
        release_ = fds[1];
    }
    ~HeldChild() { release(); }
    void release() {
        if (release_ >= 0) ::close(release_);
        release_ = -1;
        if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
        pid_ = 0;
    }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = 0;
    int release_ = -1;
};

// Whether the process (not our child) ends within the time; a process
// already gone counts as ended.
bool endsWithin(int32_t pid, int milliseconds) {
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0) return errno == ESRCH;
    pollfd p{fd, POLLIN, 0};
    int r;
    do {
        r = ::poll(&p, 1, milliseconds);
    } while (r < 0 && errno == EINTR);
    ::close(fd);
    return r > 0;
}

class DetachedLaunchTest : public ::testing::Test {
protected:
    DetachedLaunchTest() { SimulatedMachine::install(std::make_shared<SimulatedMachine>()); }
    TemporaryDataRoot root;
    fs::path file(const std::string& name) const { return root.path() / name; }
};

TEST_F(DetachedLaunchTest, TheProgramStartsOnlyAfterTheWatchedProcessEnded) {
    HeldChild child;
    const auto target = file("after-child");
    auto launched = ProcessRunner::launchDetached({{"/usr/bin/touch", target.string()}, child.pid(), 10});
    ASSERT_TRUE(launched.ok()) << launched.error();
    EXPECT_FALSE(endsWithin(*launched, 200)) << "still waiting while the child lives";
    EXPECT_FALSE(fs::exists(target));
    EXPECT_NE(::getsid(*launched), ::getsid(0)) << "a session of its own";
    EXPECT_NE(::getpgid(*launched), ::getpgrp()) << "outside the caller's process group";
    child.release();
    ASSERT_TRUE(endsWithin(*launched, 10000));
    EXPECT_TRUE(fs::exists(target));
}

// A process whose output or errors went through the guard that ends with
// it hands the program /dev/null there instead, and only there: a log
// that is a file stays the program's.
TEST_F(DetachedLaunchTest, OutputThatEndsWithTheProcessIsNotHandedOn) {
    // Files of its own for the launch, whatever this process writes to;
    // named as the kernel names them.
    const auto outLog = file("output.log"), errLog = file("errors.log");
    const int keptOut = ::dup(STDOUT_FILENO), keptErr = ::dup(STDERR_FILENO);
    const int outFile = ::open(outLog.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    const int errFile = ::open(errLog.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    ASSERT_TRUE(keptOut >= 0 && keptErr >= 0 && outFile >= 0 && errFile >= 0);
    const std::string outName = fs::canonical(outLog).string(), errName = fs::canonical(errLog).string();
    for (const auto& [outGuarded, errGuarded] :
         {std::pair{false, false}, {true, false}, {false, true}, {true, true}}) {
        SCOPED_TRACE(std::string("output ") + (outGuarded ? "guarded" : "to a file") + ", errors " +
                     (errGuarded ? "guarded" : "to a file"));
        ProcessUser::setOutputEndsWithThisProcessForTesting(STDOUT_FILENO, outGuarded);
        ProcessUser::setOutputEndsWithThisProcessForTesting(STDERR_FILENO, errGuarded);
        const auto target = file(std::string("fds-") + (outGuarded ? "o" : "-") + (errGuarded ? "e" : "-"));
        std::fflush(stdout);
        ::dup2(outFile, STDOUT_FILENO);
        ::dup2(errFile, STDERR_FILENO);
        auto launched = ProcessRunner::launchDetached(
            {{"/bin/sh", "-c",
              "o=$(readlink /proc/$$/fd/1); e=$(readlink /proc/$$/fd/2); printf '%s\\n%s\\n' \"$o\" \"$e\" > \"$0\"",
              target.string()},
             std::nullopt,
             10});
        ::dup2(keptOut, STDOUT_FILENO);
        ::dup2(keptErr, STDERR_FILENO);
        ProcessUser::setOutputEndsWithThisProcessForTesting(STDOUT_FILENO, false);
        ProcessUser::setOutputEndsWithThisProcessForTesting(STDERR_FILENO, false);
        ASSERT_TRUE(launched.ok()) << launched.error();
        ASSERT_TRUE(endsWithin(*launched, 10000));
        std::ifstream in(target);
        std::string out, err;
        std::getline(in, out);
        std::getline(in, err);
        EXPECT_EQ(out, outGuarded ? "/dev/null" : outName);
        EXPECT_EQ(err, errGuarded ? "/dev/null" : errName);
    }
    for (const int fd : {keptOut, keptErr, outFile, errFile}) ::close(fd);
}

TEST_F(DetachedLaunchTest, AProcessAlivePastTheBoundStartsNothing) {
    HeldChild child;
    const auto target = file("never");
    auto launched = ProcessRunner::launchDetached({{"/usr/bin/touch", target.string()}, child.pid(), 0.2});
    ASSERT_TRUE(launched.ok()) << launched.error();
    ASSERT_TRUE(endsWithin(*launched, 10000)) << "gave up after its bound";
    child.release();
    EXPECT_FALSE(fs::exists(target));
}

TEST_F(DetachedLaunchTest, ArgumentsArriveUnchangedWithoutAShell) {
    const std::string names[] = {
        "quote \" dollar $HOME back ` tick `id` and  blanks ",
        "semi;colon|pipe&amp>gt<lt'single'",
        "-starts-with-dash",
    };
    for (const auto& name : names) {
        SCOPED_TRACE(name);
        const auto target = file(name);
        // A process already gone: the program starts at once.
        HeldChild gone;
        const pid_t pid = gone.pid();
        gone.release();
        auto launched = ProcessRunner::launchDetached({{"/usr/bin/touch", "--", target.string()}, pid, 10});
        ASSERT_TRUE(launched.ok()) << launched.error();
        ASSERT_TRUE(endsWithin(*launched, 10000));
        EXPECT_TRUE(fs::exists(target));
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(root.path()), fs::directory_iterator()), 3);
}

TEST_F(DetachedLaunchTest, ARecordingMachineRunsNothing) {
    auto& launches = SimulatedMachine::current().component<SimulatedProcessLaunches>();
    launches.setRecordsInsteadOfLaunching(true);
    const ProcessRunner::DetachedLaunch launch{{"/usr/bin/touch", file("recorded").string()}, std::nullopt, 10};
    EXPECT_TRUE(ProcessRunner::launchDetached(launch).ok());
    EXPECT_EQ(launches.detachedLaunches(), std::vector<ProcessRunner::DetachedLaunch>{launch});
    EXPECT_FALSE(fs::exists(file("recorded")));
    launches.setRecordsInsteadOfLaunching(false);
    EXPECT_FALSE(ProcessRunner::launchDetached({{}, std::nullopt, 10}).ok()) << "no program";
}

}  // namespace
