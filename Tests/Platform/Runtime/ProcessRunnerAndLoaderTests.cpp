// The process runner with its tool table and time limit, and the run-time
// loader with the simulated Dock. (The workspace, Accessibility tree, audio
// processes and system version of the simulated machine are exercised by
// the Host shortcut tests that read them.)

#include <gtest/gtest.h>

#include <signal.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

#include "Platform/Runtime/Clock.h"
#include "Platform/Runtime/Dispatch.h"
#include "Platform/SimulatedMac/DynamicLoader.h"
#include "Platform/Runtime/ProcessRunner.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"
#include "Support/TestSupport.h"

using namespace platform;

namespace {

// Processes of the group that are still alive (zombies left to init aside).
int livingMembersOfGroup(pid_t group) {
    int living = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (!std::getline(stat, line)) continue;
        const auto close = line.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(line.substr(close + 2));
        char state = 0;
        pid_t parent = 0, pgrp = 0;
        rest >> state >> parent >> pgrp;
        living += pgrp == group && state != 'Z';
    }
    return living;
}

class Tools : public VirtualTimeTest {
protected:
    std::string script(const std::string& name, const std::string& body) {
        const auto path = dataRoot->path() / name;
        std::ofstream(path) << "#!/bin/sh\necho \"$*\" > \"$0.args\"\n" << body << "\n";
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
        return path;
    }
    static void map(const std::string& tool, const std::string& standIn) {
        SimulatedMachine::current().component<SimulatedTools>().setTool(tool, standIn);
    }
};

TEST_F(Tools, ARunEndsAsTheToolDidAndUnmappedToolsNeverRun) {
    using R = ProcessTermination::Reason;
    const struct {
        const char* body;
        R reason;
        int status;
    } cases[] = {{"exit 0", R::exit, 0}, {"exit 3", R::exit, 3}, {"kill -USR1 $$", R::uncaughtSignal, SIGUSR1}};
    for (const auto& c : cases) {
        map("/usr/bin/open", script("open", c.body));
        auto run = ProcessRunner::run("/usr/bin/open", {"-a", "Launchpad"});
        ASSERT_TRUE(run.ok()) << c.body;
        EXPECT_EQ(run->reason, c.reason) << c.body;
        EXPECT_EQ(run->status, c.status) << c.body;
    }
    std::ifstream args(dataRoot->path() / "open.args");
    std::string line;
    EXPECT_TRUE(std::getline(args, line) && line == "-a Launchpad");

    auto missing = ProcessRunner::run("/usr/bin/osascript", {});
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error(), "The file \u201Cosascript\u201D doesn\u2019t exist.");
    const auto plain = dataRoot->path() / "plain";
    std::ofstream(plain) << "not a program\n";
    map("/usr/bin/osascript", plain);
    EXPECT_EQ(ProcessRunner::run("/usr/bin/osascript", {}).error(),
              "You don\u2019t have permission to execute \u201Cosascript\u201D.");
}

TEST_F(Tools, AToolPastItsLimitIsTerminatedThenKilledAndReaped) {
    // The first dies of SIGTERM; the second ignores it (so does the sleep it
    // starts) and goes with SIGKILL a second later, its whole group too.
    for (const char* body : {"echo $$ > \"$0.pid\"; exec sleep 30", "trap '' TERM; echo $$ > \"$0.pid\"; sleep 30"}) {
        const auto tool = script("hang", body);
        map("/usr/bin/open", tool);
        auto run = ProcessRunner::run("/usr/bin/open", {}, 0.2);
        ASSERT_TRUE(run.ok());
        EXPECT_EQ(run->reason, ProcessTermination::Reason::timedOut);
        pid_t pid = 0;
        std::ifstream(tool + ".pid") >> pid;
        EXPECT_EQ(pid, run->processIdentifier);
        EXPECT_EQ(::kill(pid, 0), -1) << body;
        EXPECT_EQ(errno, ESRCH) << body;
        // What the leader started dies of the same SIGKILL, a moment later.
        EXPECT_TRUE(runUntil([&] { return livingMembersOfGroup(pid) == 0; }, 2)) << body;
    }
}

TEST_F(Tools, TheLoaderReportsEachFailureOnceAndBalancesOpens) {
    auto& dock = SimulatedMachine::current().component<SimulatedDockExecutable>();
    auto& loader = SimulatedMachine::current().component<SimulatedDynamicLoader>();
    dock.setNotificationStatus(7);
    platform::dlerror();  // whatever earlier lookups on this thread left
    auto handle = platform::dlopen(kDockExecutablePath, kRTLDNow);
    ASSERT_TRUE(handle);
    EXPECT_FALSE(platform::dlerror());
    auto send = lookupFunction<CoreDockSendNotificationFunction>(*handle, "CoreDockSendNotification");
    ASSERT_TRUE(send);
    EXPECT_EQ((*send)("com.apple.launchpad.toggle", 0), 7);
    EXPECT_FALSE(lookupFunction<CoreDockSendNotificationFunction>(*handle, "CGSMainConnectionID"));
    EXPECT_EQ(platform::dlerror(), "dlsym(" + std::string(kDockExecutablePath) + ", CGSMainConnectionID): symbol not found");
    EXPECT_FALSE(platform::dlerror()) << "read once";
    EXPECT_EQ(loader.openCount(kDockExecutablePath), 1);
    EXPECT_EQ(platform::dlclose(*handle), 0);
    EXPECT_EQ(platform::dlclose(*handle), -1);
    EXPECT_TRUE(platform::dlerror());
    EXPECT_EQ(loader.openCount(kDockExecutablePath), 0);
}

}  // namespace

TEST_F(Tools, UnderTheTestRuntimeAToolsLimitPassesInVirtualTimeWithOtherWorkRunningMeanwhile) {
    map("/usr/bin/open", script("hang", "exec sleep 30"));
    DispatchQueue tools("test.tools"), other("test.other");
    std::vector<uint64_t> ticks;
    const uint64_t start = Clock::uptimeNs();
    for (double at : {1.0, 2.5, 4.0}) other.asyncAfter(at, [&] { ticks.push_back(Clock::uptimeNs() - start); });
    std::optional<ProcessTermination> ended;
    tools.async([&] {
        auto run = ProcessRunner::run("/usr/bin/open", {}, 3);
        if (run.ok()) ended = *run;
    });
    advance(0);
    ASSERT_TRUE(ended);
    EXPECT_EQ(ended->reason, ProcessTermination::Reason::timedOut);
    // The limit took three seconds of the test's clock, not of the real one,
    // and what fell due on other queues meanwhile ran on time.
    const uint64_t waited = Clock::uptimeNs() - start;
    EXPECT_GE(waited, 3'000'000'000u);
    EXPECT_LT(waited, static_cast<uint64_t>((3 + ProcessRunner::killGraceSeconds) * 1e9));
    EXPECT_EQ(ticks, (std::vector<uint64_t>{1'000'000'000, 2'500'000'000}));
    EXPECT_DOUBLE_EQ(tools.longestWorkItemSecondsForTesting(), static_cast<double>(waited) / 1e9);
}
