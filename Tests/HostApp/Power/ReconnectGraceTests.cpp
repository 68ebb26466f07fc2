// The sleep assertions and the two reconnect graces that keep the Mac awake
// for a Viewer that is connected or coming back.

#include <gtest/gtest.h>

#include "PowerTestFixture.h"

namespace {
constexpr const char* kIdle = "PreventUserIdleSystemSleep";
constexpr const char* kSystem = "PreventSystemSleep";
}  // namespace

TEST_F(PowerTest, AssertionNamesFollowWhatKeepsTheHostAwakeAndAreNeverHeldTwice) {
    const struct {
        const char* situation;
        std::optional<double> iosGraceLeft, sleepGraceLeft;  // seconds to each deadline; none: no grace
        bool asleep;
        const char* name;  // nullptr: nothing held
    } cases[] = {
        {"iOS grace", 10.0, std::nullopt, false, "Norvessal iOS Viewer reconnect grace"},
        {"sleep grace", std::nullopt, 10.0, false, "Norvessal Viewer sleep-recovery reconnect grace"},
        {"both graces", 10.0, 10.0, false, "Norvessal iOS Viewer reconnect grace"},
        {"sleep grace past its deadline while asleep", std::nullopt, -10.0, true,
         "Norvessal Viewer sleep-recovery reconnect grace"},
        {"sleep grace past its deadline while awake", std::nullopt, -10.0, false, nullptr},
        {"iOS grace past its deadline while asleep", -10.0, std::nullopt, true, nullptr},
    };
    auto deadline = [](std::optional<double> left) -> std::optional<platform::Date> {
        if (!left) return std::nullopt;
        return platform::Clock::now().addingSeconds(*left);
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.situation);
        onQueue([&] {
            server->iosViewerBackgroundSleepGraceDeadline = deadline(c.iosGraceLeft);
            server->sleepRecoveryViewerReconnectGraceDeadline = deadline(c.sleepGraceLeft);
            server->screensAreSleeping = c.asleep;
            server->updateViewerIdleSleepAssertion();
        });
        std::map<std::string, std::string> expected;
        if (c.name) expected = {{kIdle, c.name}, {kSystem, c.name}};
        EXPECT_EQ(heldAssertions(), expected);
        onQueue([&] {
            server->iosViewerBackgroundSleepGraceDeadline.reset();
            server->sleepRecoveryViewerReconnectGraceDeadline.reset();
            server->updateViewerIdleSleepAssertion();
        });
        EXPECT_TRUE(heldAssertions().empty());
    }
    onQueue([&] { server->screensAreSleeping = false; });
    auto v = viewer();
    const std::map<std::string, std::string> active{{kIdle, "Norvessal active Viewer session"},
                                                    {kSystem, "Norvessal active Viewer session"}};
    EXPECT_EQ(heldAssertions(), active);
    // A grace begun while a Viewer is connected renames nothing and adds
    // nothing.
    onQueue([&] { server->beginIOSViewerBackgroundSleepGrace(); });
    EXPECT_EQ(heldAssertions(), active);
    EXPECT_EQ(platform::SimulatedMachine::current().component<platform::SimulatedPowerManagement>()
                  .heldAssertions()
                  .size(),
              2u);
}

TEST_F(PowerTest, LastViewerLostInSleepKeepsTheHostAwakeUntilTheGraceExpiresAfterWake) {
    auto v = viewer("Mac Viewer", false);
    const auto held = heldAssertions();
    notify("screens did sleep");
    v->client->close();
    EXPECT_TRUE(runUntil([&] {
        return logContains("power: last Viewer transport disconnected during sleep recovery; retaining Host "
                           "recovery state for 900 seconds while the Viewer reconnects");
    }));
    advance(2000);  // never expires while the screens sleep
    EXPECT_EQ(heldAssertions(), held);

    notify("screens did wake");
    EXPECT_TRUE(logContains("power: screens did wake wake; retaining Host recovery state for 900 seconds"));
    advance(899);
    EXPECT_EQ(heldAssertions(), held);
    advance(2);
    EXPECT_TRUE(logContains("power: Viewer sleep-recovery reconnect grace expired; restoring normal idle teardown"));
    EXPECT_TRUE(heldAssertions().empty());
}

TEST_F(PowerTest, ARefusedAssertionIsLoggedWithItsCodeAndTriedAgain) {
    auto& power = platform::SimulatedMachine::current().component<platform::SimulatedPowerManagement>();
    power.setAssertionCreationError(platform::kIOReturnError);
    auto v = viewer();
    EXPECT_TRUE(logContains("power: could not prevent idle system sleep (-536870212)"));
    EXPECT_TRUE(logContains("power: could not prevent system sleep (-536870212)"));
    EXPECT_TRUE(heldAssertions().empty());
    power.setAssertionCreationError(platform::kIOReturnSuccess);
    auto second = viewer("Second Viewer");
    EXPECT_EQ(heldAssertions().size(), 2u);
}

TEST_F(PowerTest, IOSGraceRenewsOnASecondBeginExpiresEvenInSleepAndEndsQuietlyWhenNoneRuns) {
    onQueue([&] { server->endIOSViewerBackgroundSleepGrace("iOS Viewer returned to foreground"); });
    EXPECT_FALSE(logContains("ended iOS Viewer reconnect grace"));
    onQueue([&] { server->beginIOSViewerBackgroundSleepGrace(); });
    EXPECT_TRUE(logContains("power: iOS Viewer backgrounded; keeping Host awake for up to 15 minutes while it "
                            "reconnects"));
    advance(600);
    onQueue([&] { server->beginIOSViewerBackgroundSleepGrace(); });
    notify("screens did sleep");
    advance(899);
    EXPECT_EQ(heldAssertions().size(), 2u);
    advance(2);
    EXPECT_TRUE(logContains("power: iOS Viewer reconnect grace expired; restoring normal sleep policy"));
    EXPECT_TRUE(heldAssertions().empty());
}

TEST_F(PowerTest, TerminationLeavesNoAssertionHeldEvenDuringSleepRecovery) {
    auto v = viewer();
    notify("screens did sleep");
    onQueue([&] { server->beginIOSViewerBackgroundSleepGrace(); });
    server->stopForTermination();
    EXPECT_TRUE(heldAssertions().empty());
    onQueue([&] {
        EXPECT_FALSE(server->sleepRecoveryViewerReconnectGraceDeadline);
        EXPECT_FALSE(server->iosViewerBackgroundSleepGraceDeadline);
    });
}

TEST_F(PowerTest, IdleReleaseRestoresThePreLidRequestAndRemovesTheVirtualDisplay) {
    startVirtualDisplay();
    const auto preLid = smallRequest();
    onQueue([&] {
        server->sleepPreflightPhysicalCaptureRequest = preLid;
        server->useHeadlessVirtualDisplay = true;
        server->beginSleepRecoveryViewerReconnectGrace("system will sleep preflight");
    });
    onQueue([&] { server->releaseHeadlessVirtualDisplayIfIdle(); });
    EXPECT_TRUE(logContains("viewer video idle; retaining headless virtual display for Viewer sleep recovery"));
    EXPECT_TRUE(HeadlessVirtualDisplay::shared().stateSnapshot().isActive);
    advance(901);  // the grace expires and releases what it kept
    EXPECT_TRUE(logContains("viewer video idle; restored pre-lid physical capture request"));
    EXPECT_TRUE(logContains("viewer video idle; released headless virtual display"));
    EXPECT_FALSE(HeadlessVirtualDisplay::shared().stateSnapshot().isActive);
    onQueue([&] {
        EXPECT_FALSE(server->useHeadlessVirtualDisplay);
        EXPECT_EQ(server->streamControl.currentCaptureRequest, preLid);
        EXPECT_EQ(server->selectedDisplayID, monitorID);
        EXPECT_FALSE(server->sleepPreflightPhysicalCaptureRequest);
    });
}
