// The system requests with their activation wait, System Settings panes,
// the Local Network browse, and the relaunch after a Screen Recording grant.

#include <gtest/gtest.h>

#include <set>

#include "HostApp/Shell/CommandLine.h"
#include "OnboardingTestFixture.h"
#include "Platform/Foundation/Bundle.h"
#include "Platform/Runtime/ProcessInfo.h"

using namespace platform;

namespace {

class PermissionPromptsTest : public OnboardingTest {
protected:
    ~PermissionPromptsTest() override { ProcessInfo::setArgumentsForTesting(std::nullopt); }
    static std::vector<ProcessRunner::DetachedLaunch> launches() {
        return SimulatedMachine::current().component<SimulatedProcessLaunches>().detachedLaunches();
    }
    void requestScreenRecording() {
        onMain([&] { delegate->requestScreenCapturePermissionAndOpenSettings(); });
        advance(0.5);
    }
};

TEST_F(PermissionPromptsTest, ActiveTheRequestRunsAtHalfASecondInactiveThePaneOpensAtTwoAndAHalf) {
    launchForOnboarding(false, true, {});
    ASSERT_TRUE(app().isActive());
    onMain([&] {
        delegate->onboarding.initialInstallOnboardingAwaitingPermissionGrant = true;
        delegate->requestAccessibilityWhenActive(4);
    });
    advance(0.4);
    EXPECT_EQ(prompts().requestCount(Permission::accessibility), 0);
    advance(0.1);
    EXPECT_EQ(prompts().requestCount(Permission::accessibility), 1);
    EXPECT_FALSE(delegate->onboarding.initialInstallOnboardingAwaitingPermissionGrant);
    EXPECT_TRUE(diagnosticsContain("permissions: requesting Accessibility through TCC (preflight=false, active=true)"));
    EXPECT_TRUE(diagnosticsContain("permissions: Accessibility request returned granted=false"));

    app().simulateOtherApplicationCameForwardForTesting();
    onMain([&] { delegate->requestScreenRecordingWhenActive(4); });
    advance(2.4);
    EXPECT_EQ(openedCount(screenCapturePane), 0u);
    advance(0.1);
    EXPECT_EQ(openedCount(screenCapturePane), 1u);
    EXPECT_TRUE(diagnosticsContain("permissions: Screen Recording not frontmost in time; opening pane"));
    EXPECT_FALSE(diagnosticsContain("requesting Screen Recording through TCC"));
}

TEST_F(PermissionPromptsTest, APromptHoldsOnlyItsQueueAndItsAnswerCountsWhenItComes) {
    launchForOnboarding(false, true, {});
    prompts().setPolicy(Permission::accessibility, {PermissionPromptPolicy::Answer::grant, 3.0});
    std::optional<bool> awaitingWhilePromptUp;
    DispatchQueue::main().asyncAfter(2.0, [&] {
        awaitingWhilePromptUp = delegate->onboarding.initialInstallOnboardingAwaitingPermissionGrant;
    });
    onMain([&] {
        delegate->onboarding.initialInstallOnboardingAwaitingPermissionGrant = true;
        delegate->requestAccessibilityWhenActive(4);
    });
    advance(5);
    ASSERT_TRUE(awaitingWhilePromptUp.has_value()) << "the main queue ran while the prompt was up";
    EXPECT_TRUE(*awaitingWhilePromptUp);
    EXPECT_FALSE(delegate->onboarding.initialInstallOnboardingAwaitingPermissionGrant);
    EXPECT_TRUE(diagnosticsContain("permissions: Accessibility request returned granted=true"));
    EXPECT_TRUE(AXIsProcessTrusted());
}

TEST_F(PermissionPromptsTest, ADeniedScreenRecordingRequestIsLoggedAndKeepsTheMarker) {
    launch();
    SimulatedMachine::current().setPermission(Permission::screenRecording, false);
    prompts().setPolicy(Permission::screenRecording, {PermissionPromptPolicy::Answer::deny, 0});
    requestScreenRecording();
    EXPECT_TRUE(diagnosticsContain("permissions: Screen Recording request returned granted=false"));
    EXPECT_TRUE(diagnosticsContain("permissions: Screen Recording denied — if no system prompt appeared"));
    EXPECT_TRUE(delegate->relaunch.pendingScreenCaptureRelaunch);
    EXPECT_TRUE(defaultsFlag("host.pendingScreenCaptureRelaunch"));
}

TEST_F(PermissionPromptsTest, AGrantWhileRunningAsksToRestartAndLaterSilencesItForTheProcess) {
    launch();
    SimulatedMachine::current().setPermission(Permission::screenRecording, false);
    requestScreenRecording();
    app().scriptAlertResponseForTesting(kAlertSecondButtonReturn, 0.3);
    std::set<std::string> alertsSeen;
    DispatchTimer watch(DispatchQueue::main(), 0.1, [&] {
        for (const auto& alert : app().shownAlerts()) alertsSeen.insert(alert->messageText);
    });
    watch.resume();
    SimulatedMachine::current().setPermission(Permission::screenRecording, true);
    advance(2.0);
    watch.cancel();
    EXPECT_EQ(alertsSeen, std::set<std::string>{"Restart Required"}) << "within one 2 s refresh";
    EXPECT_TRUE(diagnosticsContain("permissions: Screen Recording restart postponed by the user"));
    EXPECT_TRUE(delegate->relaunch.screenCaptureRelaunchDeclined);
    EXPECT_FALSE(defaultsFlag("host.pendingScreenCaptureRelaunch"));
    advance(10);
    EXPECT_TRUE(app().shownAlerts().empty());
    EXPECT_EQ(diagnosticsCount("permissions: Screen Recording restart postponed by the user"), 1u);
    quitHost();
    EXPECT_TRUE(launches().empty()) << "declined: no relaunch at termination";
}

TEST_F(PermissionPromptsTest, QuitAndReopenLaunchesOnceWithTheOriginalOptionsLessTheLaunchFlags) {
    ProcessInfo::setArgumentsForTesting(std::vector<std::string>{
        "/old/norvessal-host", "--audio-port=0", "--velantrix-initial-install", "--data-root", "/tmp/d a$\"",
        "--velantrix-unattended", "--console-user", "--velantrix-initial-install"});
    Bundle::setMainForTesting(Bundle("/opt/NorvessalHost", std::filesystem::path("/opt/NorvessalHost/norvessal-host"),
                                     {{"CFBundleVersion", "77"}}));
    launch();
    SimulatedMachine::current().setPermission(Permission::screenRecording, false);
    requestScreenRecording();
    app().scriptAlertResponseForTesting(kAlertFirstButtonReturn);
    SimulatedMachine::current().setPermission(Permission::screenRecording, true);
    advance(2.0);
    Bundle::setMainForTesting(std::nullopt);
    EXPECT_TRUE(app().isTerminated()) << "quit without the sheet";
    const auto all = launches();
    ASSERT_EQ(all.size(), 1u);
    const auto& launch = all[0];
    EXPECT_EQ(launch.argv, (std::vector<std::string>{"/opt/NorvessalHost/norvessal-host", "--audio-port=0",
                                                     "--data-root", "/tmp/d a$\"", "--console-user",
                                                     "--velantrix-initial-install"}))
        << "a flag given as an option's value is that option's value";
    EXPECT_EQ(launch.waitForProcess, ProcessInfo::processIdentifier());
    EXPECT_GE(launch.waitLimitSeconds, HostProbeDelegate::serverStopWaitLimitSeconds + 10)
        << "the helper outlasts the Host's own wait for its server to stop";
    EXPECT_TRUE(diagnosticsContain("permissions: scheduled Host relaunch (reason=user confirmed restart)"));
    EXPECT_TRUE(diagnosticsContain("permissions: skip Host relaunch (rate limited, reason=application termination)"));
}

TEST_F(PermissionPromptsTest, AQuitRightAfterTheRequestRelaunchesOnceEvenWithoutTheGrant) {
    launch();
    SimulatedMachine::current().setPermission(Permission::screenRecording, false);
    requestScreenRecording();
    quitHost();
    EXPECT_TRUE(app().isTerminated()) << "a pending relaunch quits without the sheet";
    EXPECT_EQ(launches().size(), 1u);
    EXPECT_TRUE(diagnosticsContain(
        "permissions: quitting after the Screen Recording request — relaunching (reason=application termination)"));
    EXPECT_FALSE(defaultsFlag("host.pendingScreenCaptureRelaunch"));
}

TEST_F(PermissionPromptsTest, AStaleMarkerFromAnEarlierProcessIsConsumedWithoutARelaunch) {
    UserDefaults::standard().set("host.pendingScreenCaptureRelaunch", PlistValue(true));
    launch();
    EXPECT_TRUE(diagnosticsContain(
        "permissions: consumed the Screen Recording relaunch marker from an earlier launch (reason=start-up)"));
    quitHost();
    EXPECT_TRUE(launches().empty());
}

// The earlier process's marker is not a refusal: the relaunch this process
// owes for its own request is still made.
TEST_F(PermissionPromptsTest, AStaleMarkerFromAnEarlierProcessLeavesThisProcesssOwnRelaunch) {
    UserDefaults::standard().set("host.pendingScreenCaptureRelaunch", PlistValue(true));
    launch();
    ASSERT_TRUE(diagnosticsContain(
        "permissions: consumed the Screen Recording relaunch marker from an earlier launch (reason=start-up)"));
    SimulatedMachine::current().setPermission(Permission::screenRecording, false);
    requestScreenRecording();
    quitHost();
    EXPECT_TRUE(app().isTerminated());
    EXPECT_EQ(launches().size(), 1u);
    EXPECT_TRUE(diagnosticsContain(
        "permissions: quitting after the Screen Recording request — relaunching (reason=application termination)"));
}

// Setup mode has no status refresh: only the start-up keeps a later quit
// from acting on a flag that this process never set.
TEST_F(PermissionPromptsTest, AFlagSetByAnotherProcessIsClearedAtStartUpAndNeverRelaunches) {
    const int32_t pid = ProcessInfo::processIdentifier();
    const uint64_t started = ProcessInfo::processStartTime().value_or(0);
    struct OwnerCase {
        const char* name;
        std::optional<std::string> owner;
    };
    const OwnerCase cases[] = {
        {"no owner recorded", std::nullopt},
        {"another process", HostProbeDelegate::relaunchOwnerRecord(pid + 1, started)},
        {"an earlier process with this identifier", HostProbeDelegate::relaunchOwnerRecord(pid, started + 1)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SimulatedMachine::install(std::make_shared<SimulatedMachine>());
        auto& defaults = UserDefaults::standard();
        defaults.set("host.pendingScreenCaptureRelaunch", PlistValue(true));
        if (c.owner)
            defaults.set("host.pendingScreenCaptureRelaunchOwner", PlistValue(*c.owner));
        else
            defaults.removeObject("host.pendingScreenCaptureRelaunchOwner");
        launchForOnboarding();
        ASSERT_NE(delegate->onboarding.setupModeStatusItem, nullptr);
        EXPECT_FALSE(defaultsFlag("host.pendingScreenCaptureRelaunch"));
        quitHost();
        EXPECT_TRUE(app().isTerminated());
        EXPECT_TRUE(launches().empty());
    }
}

TEST_F(PermissionPromptsTest, AStopSignalNeverRelaunchesEvenWhenARelaunchIsOwed) {
    for (int signal : {2, 15}) {
        SCOPED_TRACE(signal);
        SimulatedMachine::install(std::make_shared<SimulatedMachine>());
        launch();
        SimulatedMachine::current().setPermission(Permission::screenRecording, false);
        requestScreenRecording();
        ASSERT_TRUE(delegate->relaunch.pendingScreenCaptureRelaunch);
        onMain([&] { delegate->handleTerminationSignal(signal); });
        runUntilIdle();
        EXPECT_TRUE(app().isTerminated());
        EXPECT_TRUE(launches().empty());
        EXPECT_FALSE(defaultsFlag("host.pendingScreenCaptureRelaunch"));
        EXPECT_TRUE(diagnosticsContain("permissions: stopped by a signal — no Screen Recording relaunch"));
    }
}

TEST_F(PermissionPromptsTest, CompletingOnboardingAfterAScreenRecordingRequestClearsTheMarker) {
    launchForOnboarding(true, false);
    onMain([&] { guide()->openButtons()[1]->performClick(); });
    advance(0.5);
    ASSERT_TRUE(defaultsFlag("host.pendingScreenCaptureRelaunch"));
    EXPECT_EQ(prompts().requestCount(Permission::screenRecording), 1);
    onMain([&] { guide()->window()->performClose(); });
    runUntilIdle();
    EXPECT_FALSE(defaultsFlag("host.pendingScreenCaptureRelaunch"));
    EXPECT_FALSE(delegate->relaunch.pendingScreenCaptureRelaunch);
    onMain([&] { delegate->lifecycle.terminationConfirmed = true; });
    quitHost();
    EXPECT_TRUE(launches().empty());
}

struct PaneCase {
    const char* anchor;
    std::vector<std::string> failing;
    std::vector<std::string> opened;  // tried, in order
    bool success;
};

TEST_F(PermissionPromptsTest, SettingsPanesTryTheirURLsInOrderAndLogTheFirstSuccess) {
    const std::string localNew =
        "x-apple.systempreferences:com.apple.settings.PrivacySecurity.extension.privacy-localnetwork";
    const std::string localOld = "x-apple.systempreferences:com.apple.preference.security?Privacy_LocalNetwork";
    const std::string axOld = accessibilityPane;
    const std::string axNew = "x-apple.systempreferences:com.apple.settings.PrivacySecurity.extension?"
                              "Privacy_Accessibility";
    const PaneCase cases[] = {
        {"Privacy_LocalNetwork", {}, {localNew}, true},
        {"Privacy_LocalNetwork", {localNew}, {localNew, localOld}, true},
        {"Privacy_Accessibility", {}, {axOld}, true},
        {"Privacy_Accessibility", {axOld}, {axOld, axNew}, true},
        {"Privacy_Accessibility", {axOld, axNew}, {axOld, axNew}, false},
    };
    launch();
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.anchor) + " failing " + std::to_string(c.failing.size()));
        const size_t before = workspace().openedURLs().size();
        const size_t successes = diagnosticsCount(std::string("permissions: opened System Settings pane ") + c.anchor);
        for (const auto& url : c.failing) workspace().setURLFails(url, true);
        onMain([&] { delegate->openSystemSettingsPrivacyPane(c.anchor); });
        for (const auto& url : c.failing) workspace().setURLFails(url, false);
        const auto opened = workspace().openedURLs();
        EXPECT_EQ(std::vector<std::string>(opened.begin() + static_cast<std::ptrdiff_t>(before), opened.end()),
                  c.opened);
        EXPECT_EQ(diagnosticsCount(std::string("permissions: opened System Settings pane ") + c.anchor),
                  successes + (c.success ? 1 : 0));
        EXPECT_EQ(diagnosticsContain(std::string("permissions: failed to open System Settings pane ") + c.anchor),
                  !c.success);
    }
}

TEST_F(PermissionPromptsTest, OneLocalNetworkBrowseAtATimeEndedByReadyOrFailure) {
    auto& browsing = SimulatedMachine::current().component<SimulatedBonjourBrowsing>();
    SimulatedBonjourBrowsing::Script slow;
    slow.states = {{5.0, {NetworkBrowserState::Kind::failed, "no daemon"}}};
    browsing.setScript(slow);
    launch({true, false});  // an unattended upgrade triggers nothing by itself
    onMain([&] { delegate->triggerLocalNetworkPermissionPrompt(); });
    advance(1);
    onMain([&] { delegate->triggerLocalNetworkPermissionPrompt(); });
    EXPECT_EQ(browsing.browses().size(), 1u) << "a second trigger during a browse does nothing";
    advance(4);
    EXPECT_EQ(delegate->onboarding.localNetworkPromptBrowser, nullptr);
    EXPECT_TRUE(diagnosticsContain("permissions: Local Network prompt trigger finished (failed: no daemon)"));
    SimulatedBonjourBrowsing::Script ready;
    ready.states = {{0, {NetworkBrowserState::Kind::ready, ""}}};
    browsing.setScript(ready);
    onMain([&] { delegate->triggerLocalNetworkPermissionPrompt(); });
    runUntilIdle();
    EXPECT_EQ(browsing.browses().size(), 2u);
    EXPECT_TRUE(diagnosticsContain("permissions: Local Network prompt trigger finished (ready)"));
}

TEST(HostCommandLineLaunchFlags, AreDroppedWhereverTheParserWouldTakeThem) {
    struct Case {
        std::vector<std::string> args, kept;
    };
    const Case cases[] = {
        {{"--velantrix-initial-install", "--audio-port=1"}, {"--audio-port=1"}},
        {{"--velantrix-u", "--video-port", "2"}, {"--video-port", "2"}},
        {{"--data-root", "--velantrix-initial-install"}, {"--data-root", "--velantrix-initial-install"}},
        {{"--", "--velantrix-initial-install"}, {"--", "--velantrix-initial-install"}},
        {{"--velantrix", "x"}, {"--velantrix", "x"}},  // ambiguous: not a flag
    };
    for (const auto& c : cases) EXPECT_EQ(HostCommandLine::withoutLaunchFlags(c.args), c.kept);
}

}  // namespace
