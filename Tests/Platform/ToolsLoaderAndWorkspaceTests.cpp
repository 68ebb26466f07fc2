// The process runner with its tool table and time limit, the run-time
// loader with the simulated Dock, and the simulated machine's installed
// bundles, activation, opening, Accessibility tree, audio processes and
// system version.

#include <gtest/gtest.h>

#include <signal.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "Platform/Accessibility.h"
#include "Platform/CoreAudio.h"
#include "Platform/DynamicLoader.h"
#include "Platform/ProcessInfo.h"
#include "Platform/ProcessRunner.h"
#include "Platform/SimulatedMachine.h"
#include "Platform/Workspace.h"
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

TEST_F(Tools, TheDockLoadsAndAnswersAsTheMachineSays) {
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
    EXPECT_EQ(dock.calls(), (std::vector<SimulatedDockExecutable::Call>{{"com.apple.launchpad.toggle", 0}}));
    EXPECT_FALSE(lookupFunction<CoreDockSendNotificationFunction>(*handle, "CGSMainConnectionID"));
    EXPECT_EQ(platform::dlerror(), "dlsym(" + std::string(kDockExecutablePath) + ", CGSMainConnectionID): symbol not found");
    EXPECT_FALSE(platform::dlerror()) << "read once";
    EXPECT_EQ(loader.openCount(kDockExecutablePath), 1);
    EXPECT_EQ(platform::dlclose(*handle), 0);
    EXPECT_EQ(platform::dlclose(*handle), -1);
    EXPECT_TRUE(platform::dlerror());
    EXPECT_EQ(loader.openCount(kDockExecutablePath), 0);

    dock.setNotificationFunctionPresent(false);
    EXPECT_FALSE(lookupFunction<CoreDockSendNotificationFunction>(*platform::dlopen(kDockExecutablePath, kRTLDNow),
                                                                  "CoreDockSendNotification"));
    dock.setPresent(false);
    EXPECT_FALSE(platform::dlopen(kDockExecutablePath, kRTLDNow));
    EXPECT_TRUE(platform::dlerror()->starts_with("dlopen(" + std::string(kDockExecutablePath) + ", 2)"));
}

using SimulatedMac = VirtualTimeTest;

TEST_F(SimulatedMac, OpenedApplicationsLaunchComeForwardOrFailAsSet) {
    auto& workspace = SimulatedMachine::current().component<SimulatedWorkspace>();
    EXPECT_EQ(Workspace::urlForApplication("com.apple.exposelauncher"), "/System/Applications/Mission Control.app");
    EXPECT_FALSE(Workspace::applicationBundleExists("/Applications/Launchpad.app"));
    EXPECT_EQ(ApplicationBundle::at("/System/Applications/Launchpad.app")->bundleIdentifier,
              "com.apple.launchpad.launcher");

    std::vector<std::optional<std::string>> answers;
    auto record = [&](const std::optional<std::string>& error) { answers.push_back(error); };
    Workspace::openApplication("/System/Applications/Launchpad.app", true, record);
    workspace.setOpenOutcome({SimulatedWorkspace::OpenOutcome::Kind::error, "denied", 1});
    Workspace::openApplication("/System/Applications/Launchpad.app", true, record);
    workspace.setOpenOutcome({SimulatedWorkspace::OpenOutcome::Kind::noAnswer});
    Workspace::openApplication("/System/Applications/Launchpad.app", true, record);
    EXPECT_TRUE(answers.empty()) << "answers come on another queue";
    advance(5);
    EXPECT_EQ(answers, (std::vector<std::optional<std::string>>{std::nullopt, "denied"}));
    auto launched = Workspace::runningApplications("com.apple.launchpad.launcher");
    ASSERT_EQ(launched.size(), 1u);
    EXPECT_TRUE(launched[0].isActive);
    EXPECT_EQ(launched[0].bundleURL, "/System/Applications/Launchpad.app");

    workspace.addApplication({.processIdentifier = 9, .bundleIdentifier = "com.apple.Music"});
    workspace.setActivationRefused(9, true);
    EXPECT_FALSE(Workspace::runningApplications("com.apple.Music")[0].activate(kApplicationActivateAllWindows));
    workspace.setActivationRefused(9, false);
    EXPECT_TRUE(Workspace::runningApplications("com.apple.Music")[0].activate(kApplicationActivateAllWindows));
    EXPECT_TRUE(Workspace::runningApplications("com.apple.Music")[0].isActive);
    EXPECT_FALSE(Workspace::runningApplications("com.apple.launchpad.launcher")[0].isActive);
}

TEST_F(SimulatedMac, ElementTreesReadBackAsGivenAndListTheirChildren) {
    auto& ax = SimulatedMachine::current().component<SimulatedAccessibility>();
    const auto list = ax.addElement(42, 0, {{kAXDescriptionAttribute, std::string("Dock")}});
    const auto tile = ax.addElement(42, list.window, {{kAXTitleAttribute, AXValueCreate(CGPoint{1, 2})}});
    AXAttributeValue value;
    EXPECT_EQ(AXUIElementCopyAttributeValue(AXUIElementCreateApplication(42), kAXChildrenAttribute, value), kAXErrorSuccess);
    EXPECT_EQ(std::get<std::vector<AXUIElement>>(value), std::vector<AXUIElement>{list});
    EXPECT_EQ(AXUIElementCopyAttributeValue(list, kAXChildrenAttribute, value), kAXErrorSuccess);
    EXPECT_EQ(std::get<std::vector<AXUIElement>>(value), std::vector<AXUIElement>{tile});
    EXPECT_EQ(AXUIElementCopyAttributeValue(tile, kAXTitleAttribute, value), kAXErrorSuccess);
    EXPECT_EQ(std::get<AXValue>(value).type, AXValueType::cgPoint) << "mistyped values read back as they are";
    EXPECT_EQ(AXUIElementCopyAttributeValue(tile, kAXSizeAttribute, value), kAXErrorNoValue);
    SimulatedMachine::current().setPermission(Permission::accessibility, false);
    EXPECT_EQ(AXUIElementCopyAttributeValue(tile, kAXTitleAttribute, value), kAXErrorAPIDisabled);
}

TEST_F(SimulatedMac, AudioProcessReadsFailWhereTheMachineSays) {
    auto& audio = SimulatedMachine::current().component<SimulatedAudioProcesses>();
    audio.setProcesses({{5, "com.apple.Music", 1}, {6, "org.videolan.vlc", 0, -1, -2}});
    const AudioObjectPropertyAddress list{kAudioHardwarePropertyProcessObjectList};
    const AudioObjectPropertyAddress running{kAudioProcessPropertyIsRunningOutput}, bundle{kAudioProcessPropertyBundleID};
    uint32_t size = 0, isRunning = 0;
    std::vector<AudioObjectID> objects;
    std::string id;
    ASSERT_EQ(AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, list, size), noErr);
    EXPECT_EQ(size, 8u);
    ASSERT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, list, 4, objects), noErr);
    EXPECT_EQ(objects, std::vector<AudioObjectID>{5});
    EXPECT_EQ(AudioObjectGetPropertyData(5, running, isRunning), noErr);
    EXPECT_EQ(isRunning, 1u);
    EXPECT_EQ(AudioObjectGetPropertyData(5, bundle, id), noErr);
    EXPECT_EQ(id, "com.apple.Music");
    EXPECT_EQ(AudioObjectGetPropertyData(6, running, isRunning), -1);
    EXPECT_EQ(AudioObjectGetPropertyData(6, bundle, id), -2);
    EXPECT_EQ(AudioObjectGetPropertyData(99, bundle, id), kAudioHardwareBadObjectError);
    audio.setListErrors(-3, -4);
    EXPECT_EQ(AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, list, size), -3);
    EXPECT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, list, 8, objects), -4);
}

TEST_F(SimulatedMac, SystemVersionIsAMachineSetting) {
    EXPECT_EQ(ProcessInfo::operatingSystemVersionString(), "Version 14.5 (Build 23F79)");
    SimulatedMachine::current().component<SimulatedSystemVersion>().setOperatingSystemVersionString(
        "Version 15.0 (Build 24A335)");
    EXPECT_EQ(ProcessInfo::operatingSystemVersionString(), "Version 15.0 (Build 24A335)");
}

}  // namespace
