// The marker rule, setup mode and its menu, and the permission guide's
// state machine from the first advance to normal mode.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "OnboardingTestFixture.h"
#include "Platform/AppKit/AppKitScreen.h"

using namespace platform;

namespace {

struct MarkerCase {
    const char* name;
    std::string marker;  // empty: no marker file
    HostLaunchFlags flags;
    bool completedThisBuild;
    bool setupMode;
    bool guideShown;
};

TEST_F(OnboardingTest, TheMarkerAndTheCompletedBuildDecideTheMode) {
    const std::string build = hostBundleVersionString();
    const MarkerCase cases[] = {
        {"build and a line break, plain launch", build + "\n", {}, false, true, true},
        {"another build, plain launch", build + "-other\n", {}, false, false, false},
        {"no marker, plain launch", "", {}, false, false, false},
        {"completed build, plain launch", build + "\n", {}, true, false, false},
        {"completed build, installer launch", build + "\n", {false, true}, true, true, true},
        {"another build, installer launch", build + "-other", {false, true}, false, true, false},
        {"not UTF-8, plain launch", "\xff\xfe" + build, {}, false, false, false},
        {"larger than 4 KiB, plain launch", build + std::string(4100, ' '), {}, false, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SimulatedMachine::install(std::make_shared<SimulatedMachine>());
        setGrants(true, false);
        std::filesystem::remove(HostProbeDelegate::initialInstallOnboardingMarkerURL());
        if (!c.marker.empty()) writeMarker(c.marker);
        auto& defaults = UserDefaults::standard();
        defaults.removeObject("host.initialInstallOnboarding.completedBuild");
        if (c.completedThisBuild) defaults.set("host.initialInstallOnboarding.completedBuild", PlistValue(build));
        launch(c.flags);
        EXPECT_EQ(delegate->lifecycle.hostNormalModeStarted, !c.setupMode);
        EXPECT_EQ(delegate->audioServer() == nullptr, c.setupMode);
        EXPECT_EQ(guideVisible(), c.guideShown);
        EXPECT_EQ(delegate->onboarding.setupModeStatusItem != nullptr, c.setupMode);
        if (c.setupMode && !c.guideShown) {
            EXPECT_TRUE(diagnosticsContain("permissions: no onboarding pending; skipping first-run prompts"));
            auto& browsing = SimulatedMachine::current().component<SimulatedBonjourBrowsing>();
            advance(1.4);
            EXPECT_TRUE(browsing.browses().empty());
            advance(0.1);
            ASSERT_EQ(browsing.browses().size(), 1u) << "the Local Network browse at 1.5 s";
            EXPECT_EQ(browsing.browses()[0].descriptor, (NetworkBrowseDescriptor{"_velantrix-host._tcp", "local"}));
            EXPECT_TRUE(browsing.browses()[0].includePeerToPeer);
        }
        onMain([&] { delegate->handleTerminationSignal(15); });
        runUntilIdle();
    }
}

TEST_F(OnboardingTest, SetupModeHasItsOwnStatusItemAndMenuWhoseMarksFollowTheGrants) {
    launchForOnboarding();
    EXPECT_EQ(delegate->audioServer(), nullptr);
    EXPECT_FALSE(AppleEventManager::shared().hasEventHandler(kCoreEventClass, kAEQuitApplication));
    EXPECT_TRUE(AppleEventManager::shared().hasEventHandler(kInternetEventClass, kAEGetURL));
    auto items = StatusBar::system().items();
    ASSERT_EQ(items.size(), 1u);
    ASSERT_NE(items[0]->button->image, nullptr);
    EXPECT_EQ(items[0]->button->image->symbolName, "lock.shield");
    EXPECT_EQ(items[0]->button->toolTip, "Norvessal Host Setup");

    auto menu = items[0]->menu;
    ASSERT_NE(menu, nullptr);
    std::vector<std::string> titles;
    for (const auto& item : menu->items()) titles.push_back(item->isSeparatorItem() ? "-" : item->title);
    EXPECT_EQ(titles, (std::vector<std::string>{"Norvessal Host Setup", "Setup has not started",
                                                "-", "Open Permission Guide", "Accessibility Settings",
                                                "Screen Recording Settings", "-", "Quit Host..."}));
    EXPECT_FALSE(menu->itemAtIndex(0)->isEnabled);
    EXPECT_FALSE(menu->itemAtIndex(1)->isEnabled);
    EXPECT_EQ(menu->itemAtIndex(4)->state, ControlStateValue::off);

    SimulatedMachine::current().setPermission(Permission::accessibility, true);
    advance(1.0);
    EXPECT_EQ(menu->itemAtIndex(4)->state, ControlStateValue::on) << "within one 1.0 s tick";
    EXPECT_EQ(menu->itemAtIndex(1)->title, "Waiting for Accessibility and Screen Recording");
    EXPECT_EQ(menu->itemAtIndex(5)->state, ControlStateValue::off);

    onMain([&] { menu->performActionForItemAtIndex(5); });
    EXPECT_EQ(openedCount(screenCapturePane), 1u);
}

TEST_F(OnboardingTest, WithoutTheSymbolTheSetupItemShowsText) {
    SimulatedMachine::current().component<SimulatedSystemSymbols>().remove("lock.shield");
    launchForOnboarding();
    auto items = StatusBar::system().items();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0]->button->image, nullptr);
    EXPECT_EQ(items[0]->button->title(), "Norvessal");
}

TEST_F(OnboardingTest, AnInactiveHostShowsTheGuideOnlyOnceActiveAndAsksForActivationAtOnce) {
    std::optional<bool> guideVisibleWhenActivated;
    std::optional<bool> awaitingReturnWhenActivated;
    auto token = app().notificationCenter().addObserver(kApplicationDidBecomeActiveNotification,
                                                        [&](const Notification&) {
                                                            guideVisibleWhenActivated = guideVisible();
                                                            awaitingReturnWhenActivated =
                                                                delegate->onboarding
                                                                    .initialInstallOnboardingAwaitingReturn;
                                                        });
    ASSERT_FALSE(app().isActive());
    launchForOnboarding();
    app().notificationCenter().removeObserver(token);
    ASSERT_TRUE(guideVisibleWhenActivated.has_value()) << "activation was asked for without any time passing";
    EXPECT_FALSE(*guideVisibleWhenActivated);
    EXPECT_TRUE(*awaitingReturnWhenActivated);
    EXPECT_TRUE(guideVisible()) << "shown once active";
    EXPECT_EQ(step(), Step::confirmation);
    EXPECT_TRUE(diagnosticsContain("permissions: initial install showing permission guide"));
    EXPECT_EQ(guide()->titleLabel()->text, "Authorize Norvessal Host");
    ASSERT_EQ(guide()->openButtons().size(), 2u);
    EXPECT_EQ(guide()->openButtons()[1]->text, "2. Authorize Screen Recording and System Audio");
}

TEST_F(OnboardingTest, APermissionButtonMovesTheGuideToTheCornerAndRequestsOncePerProcess) {
    launchForOnboarding();
    const auto visible = Screen::main()->visibleFrame;
    auto& window = *guide()->window();
    auto clickAccessibility = [&] {
        onMain([&] { guide()->openButtons()[0]->performClick(); });
        runUntilIdle();
    };
    clickAccessibility();
    EXPECT_EQ(window.frame.x + window.frame.width, visible.width - 16);
    EXPECT_EQ(window.frame.y + window.frame.height, visible.height - 16);
    EXPECT_TRUE(delegate->onboarding.initialInstallOnboardingAwaitingPermissionGrant);
    advance(0.5);
    EXPECT_EQ(prompts().requestCount(Permission::accessibility), 1) << "active: the request at 0.5 s";
    EXPECT_FALSE(delegate->onboarding.initialInstallOnboardingAwaitingPermissionGrant) << "cleared by its answer";

    clickAccessibility();
    advance(3);
    EXPECT_EQ(prompts().requestCount(Permission::accessibility), 1) << "never fired twice";
    EXPECT_EQ(openedCount(accessibilityPane), 1u);
    EXPECT_TRUE(diagnosticsContain("permissions: Accessibility already requested; opening pane only (never re-fire)"));

    // Back to the Host within 2.0 s of the click: the guide stays beside
    // System Settings; after 2.0 s it comes back to the centre.
    const CGRect corner = window.frame;
    clickAccessibility();
    app().simulateOtherApplicationCameForwardForTesting();
    advance(1.9);
    app().activate(true);
    runUntilIdle();
    EXPECT_EQ(window.frame, corner);
    app().simulateOtherApplicationCameForwardForTesting();
    advance(0.2);
    app().activate(true);
    runUntilIdle();
    EXPECT_TRUE(window.isCentered());
    EXPECT_NE(window.frame, corner);
}

TEST_F(OnboardingTest, ConfirmingTwiceWithAccessibilityMissingCompletesAndCountsDownIntoNormalMode) {
    workspace().addApplication({4242, "com.apple.installer", "Installer"});
    launchForOnboarding(false, true);
    auto confirm = [&] {
        onMain([&] { guide()->primaryButton()->performClick(); });
        runUntilIdle();
    };
    confirm();
    EXPECT_EQ(step(), Step::confirmation);
    EXPECT_TRUE(guide()->messageLabel()->text.starts_with(
        "Accessibility is still disabled. Enable it before confirming installation.\n\nClick each item"));
    EXPECT_TRUE(diagnosticsContain("permissions: confirm pending (attempt #1) ax=false sr=true"));

    confirm();
    EXPECT_EQ(step(), Step::completionCountdown);
    EXPECT_EQ(guide()->titleLabel()->text, "Norvessal Host installation is complete");
    EXPECT_TRUE(guide()->openButtons().empty());
    EXPECT_EQ(UserDefaults::standard().stringForKey("host.initialInstallOnboarding.completedBuild"),
              hostBundleVersionString());
    EXPECT_TRUE(diagnosticsContain("permissions: initial install onboarding completed for build " +
                                   hostBundleVersionString() + " (granted=false)"));
    for (int left : {3, 2, 1}) {
        EXPECT_EQ(guide()->messageLabel()->text,
                  "Installation is complete. This window will close in " + std::to_string(left) + " seconds.");
        EXPECT_TRUE(guideVisible());
        EXPECT_EQ(delegate->audioServer(), nullptr);
        advance(1.0);
    }
    EXPECT_FALSE(guideVisible());
    EXPECT_EQ(step(), Step::completed);
    EXPECT_FALSE(diagnosticsContain("closed by user")) << "ordered out, not closed";
    EXPECT_TRUE(diagnosticsContain("permissions: initial install completion countdown finished"));
    EXPECT_EQ(workspace().terminateRequests(), std::vector<int32_t>{4242});
    EXPECT_NE(delegate->audioServer(), nullptr);
    EXPECT_EQ(delegate->onboarding.setupModeStatusItem, nullptr);
    EXPECT_EQ(delegate->onboarding.initialInstallOnboardingTimer, nullptr);

    // Afterwards, in this installer-started process whose marker still
    // matches: activation leaves the finished guide hidden, installer URLs
    // are served again, and quitting asks.
    EXPECT_FALSE(delegate->hasPendingInitialInstallOnboarding());
    app().simulateOtherApplicationCameForwardForTesting();
    app().activate(true);
    runUntilIdle();
    EXPECT_FALSE(guideVisible());
    sendURL("norvessalhost://accessibility");
    advance(0.5);
    EXPECT_EQ(prompts().requestCount(Permission::accessibility), 1);
    quitHost();
    EXPECT_FALSE(app().isTerminated());
    advance(0.15);  // the quit sheet follows its window a moment later
    ASSERT_EQ(app().shownAlerts().size(), 1u);
    EXPECT_EQ(app().shownAlerts()[0]->messageText, "Quit Norvessal Host?");
}

struct CloseCase {
    const char* name;
    bool confirmFirst;     // close during the countdown
    bool useCloseButton;   // "Close" rather than the close box
    bool completionRecordedTwice;
};

TEST_F(OnboardingTest, ClosingTheGuideAtAnyStepStartsNormalMode) {
    const CloseCase cases[] = {
        {"close box at confirmation", false, false, false},
        {"close box during the countdown", true, false, true},
        {"Close button during the countdown", true, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SimulatedMachine::install(std::make_shared<SimulatedMachine>());
        launchForOnboarding();
        ASSERT_TRUE(guideVisible());
        if (c.confirmFirst) {
            // Refused once for the missing grants, then confirmed.
            for (int click = 0; click < 2; ++click) onMain([&] { guide()->primaryButton()->performClick(); });
            advance(1.0);
            ASSERT_EQ(step(), Step::completionCountdown);
        }
        onMain([&] {
            if (c.useCloseButton) {
                guide()->primaryButton()->performClick();
            } else {
                guide()->window()->performClose();
            }
        });
        runUntilIdle();
        EXPECT_EQ(step(), Step::completed);
        EXPECT_FALSE(guideVisible());
        EXPECT_NE(delegate->audioServer(), nullptr) << "normal mode at once";
        EXPECT_EQ(diagnosticsCount("permissions: initial install onboarding completed for build"),
                  c.completionRecordedTwice ? 2u : 1u);
        EXPECT_EQ(diagnosticsContain("permissions: initial install guide closed by user — Host started anyway"),
                  !c.useCloseButton);
        onMain([&] { delegate->handleTerminationSignal(15); });
        runUntilIdle();
    }
}

TEST_F(OnboardingTest, ClosingTheFinishedGuideAgainDoesNotCompleteAgain) {
    launchForOnboarding();
    onMain([&] { guide()->window()->performClose(); });
    runUntilIdle();
    ASSERT_EQ(step(), Step::completed);
    UserDefaults::standard().set("host.pendingScreenCaptureRelaunch", PlistValue(true));
    onMain([&] {
        guide()->window()->makeKeyAndOrderFront();
        guide()->window()->performClose();
    });
    runUntilIdle();
    EXPECT_TRUE(defaultsFlag("host.pendingScreenCaptureRelaunch")) << "a relaunch marker set later stays";
    EXPECT_EQ(diagnosticsCount("permissions: initial install onboarding completed for build"), 1u);
}

// A FIFO at the marker: a blocking open would hold the launch (and every
// later poll) until some process writes to it.
TEST_F(OnboardingTest, AFifoAtTheMarkerIsNoMatchAndTheLaunchGoesOn) {
    const auto marker = HostProbeDelegate::initialInstallOnboardingMarkerURL();
    std::filesystem::create_directories(marker.parent_path());
    ASSERT_EQ(::mkfifo(marker.c_str(), 0600), 0);
    launch();
    EXPECT_TRUE(delegate->lifecycle.hostNormalModeStarted);
    EXPECT_FALSE(delegate->hasPendingInitialInstallOnboarding());
}

// An installer's launch whose marker names another build, with Screen
// Recording missing: setup mode although no onboarding of this build is due.
class SetupModeWithoutOnboarding : public OnboardingTest {
protected:
    void SetUp() override {
        setGrants(true, false);
        writeMarker(hostBundleVersionString() + "-other\n");
        launch({false, true});
        ASSERT_NE(delegate->onboarding.setupModeStatusItem, nullptr);
        ASSERT_FALSE(guideVisible());
    }
};

TEST_F(SetupModeWithoutOnboarding, EndsAndServesWithinOnePollOnceBothGrantsArePresent) {
    advance(3.0);
    EXPECT_FALSE(delegate->lifecycle.hostNormalModeStarted) << "one grant is still missing";
    setGrants(true, true);
    advance(1.0);
    EXPECT_TRUE(delegate->lifecycle.hostNormalModeStarted);
    EXPECT_NE(delegate->audioServer(), nullptr);
    EXPECT_EQ(delegate->onboarding.setupModeStatusItem, nullptr);
    EXPECT_TRUE(diagnosticsContain("permissions: both grants present — leaving setup mode"));
}

TEST_F(SetupModeWithoutOnboarding, OpenPermissionGuideShowsTheGuideWhoseCloseServes) {
    auto menu = delegate->onboarding.setupModeStatusMenu;
    ASSERT_EQ(menu->itemAtIndex(3)->title, "Open Permission Guide");
    onMain([&] { menu->performActionForItemAtIndex(3); });
    runUntilIdle();
    ASSERT_TRUE(guideVisible());
    EXPECT_EQ(guide()->titleLabel()->text, "Authorize Norvessal Host");
    onMain([&] { guide()->window()->performClose(); });
    runUntilIdle();
    EXPECT_TRUE(delegate->lifecycle.hostNormalModeStarted);
}

}  // namespace
