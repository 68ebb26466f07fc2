// Sleep and wake: Viewer sessions kept through sleep, the sleep preflight
// and its native-sleep fallback, the two wake passes and the return to the
// physical display.

#include <gtest/gtest.h>

#include "Platform/SimulatedMac/ScreenSharingService.h"
#include "PowerTestFixture.h"

namespace {
constexpr const char* kFirstPass = "power: wake stabilization complete; rebuilding active media capture";
constexpr const char* kSecondPass = "power: wake media recovery second pass complete";
}  // namespace

TEST_F(PowerTest, WakePassesRunOncePerWakeAndAnEarlierWakesPassesDoNothing) {
    auto v = viewer();
    run(1, {v.get()});
    notify("screens did sleep");
    notify("system did wake");
    notify("screens did wake");  // absorbed: the screens are already awake
    EXPECT_EQ(logCount("waiting 4.0s for WindowServer before rebuilding active media capture"), 1u);
    advance(3.9);
    EXPECT_EQ(logCount(kFirstPass), 0u);
    advance(0.2);
    EXPECT_EQ(logCount(kFirstPass), 1u);
    advance(1.0);
    EXPECT_EQ(logCount(kSecondPass), 0u);
    advance(0.2);
    EXPECT_EQ(logCount(kSecondPass), 1u);

    // Woken, asleep again and woken again within the first wake's 4 s: only
    // the latest wake's passes run, each once.
    notify("screens did sleep");
    notify("screens did wake");
    advance(2.5);
    notify("screens did sleep");
    notify("screens did wake");
    advance(3.9);  // the first of these wakes' passes are due by now
    EXPECT_EQ(logCount(kFirstPass), 1u);
    advance(0.2);
    EXPECT_EQ(logCount(kFirstPass), 2u);
    advance(1.2);
    EXPECT_EQ(logCount(kSecondPass), 2u);
}

TEST_F(PowerTest, WakeWhilePausedSetsItsDeadlinesButSchedulesNoPass) {
    auto v = viewer();
    notify("screens did sleep");
    onQueue([&] { server->streamControl.isPaused = true; });
    notify("system did wake");
    onQueue([&] {
        EXPECT_TRUE(server->virtualDisplayWakeStabilizationDeadline);
        EXPECT_TRUE(server->streamControl.wakeRapidZeroFrameRecoveryDeadline);
    });
    EXPECT_TRUE(wasTold(*v, "power: host woke; rebuilding media capture"));
    advance(10);
    EXPECT_EQ(logCount(kFirstPass), 0u);
}

TEST_F(PowerTest, ScreensSleepingMovesPhysicalCaptureToHeadlessAndDefersTheDisplay) {
    auto v = viewer();
    run(1, {v.get()});
    notify("screens did sleep");
    onQueue([&] {
        EXPECT_TRUE(server->useHeadlessVirtualDisplay);
        EXPECT_EQ(server->streamControl.currentCaptureRequest.backend, VideoCaptureBackend::headlessVirtual);
        // Only a preflight saves the request to come back to.
        EXPECT_FALSE(server->sleepPreflightPhysicalCaptureRequest);
    });
    EXPECT_TRUE(logContains("power: headless virtual display creation deferred until screens wake"));
    EXPECT_FALSE(HeadlessVirtualDisplay::shared().stateSnapshot().isActive);
    EXPECT_TRUE(wasTold(*v, "power: host is sleeping; preserving viewer sessions and media"));
    EXPECT_FALSE(v->client->isClosed());
}

TEST_F(PowerTest, WillSleepMovesAPhysicalCaptureOntoTheVirtualDisplayBeforeTheHandlerReturns) {
    auto v = viewer();
    run(1, {v.get()});
    const auto physicalRequest = onQueue([&] { return server->streamControl.currentCaptureRequest; });
    const size_t configsAccepted = logCount("aux video config ");
    const double before = platform::Clock::uptimeSeconds();
    // The capture is built and becomes ready while this call holds the
    // server queue.
    server->noteHostPowerState("system will sleep", true, true);
    EXPECT_LE(platform::Clock::uptimeSeconds() - before, 4.1);
    EXPECT_TRUE(logContains("power: system will sleep; headless video ready before screens sleep"));
    const uint32_t virtualID = HeadlessVirtualDisplay::shared().stateSnapshot().displayID;
    ASSERT_NE(virtualID, 0u);
    onQueue([&] {
        const auto& sc = server->streamControl;
        EXPECT_TRUE(server->useHeadlessVirtualDisplay);
        ASSERT_TRUE(sc.videoCapture);
        EXPECT_EQ(sc.videoCapture->displayID, virtualID);
        EXPECT_TRUE(sc.lastVideoConfig);
        EXPECT_EQ(server->sleepPreflightPhysicalCaptureRequest, physicalRequest);
        EXPECT_FALSE(server->suppressSystemSleepAssertionUntilWake);
    });
    EXPECT_EQ(heldAssertions().size(), 2u);
    EXPECT_FALSE(logContains("headless preflight failed"));
    // The capture's own report of that configuration changes nothing.
    run(0.5, {v.get()});
    EXPECT_EQ(logCount("aux video config "), configsAccepted + 1);
}

TEST_F(PowerTest, FailedPreflightSleepsNativelyAndWithholdsTheSystemAssertionUntilWake) {
    auto v = viewer();
    run(1, {v.get()});
    EXPECT_EQ(heldAssertions().size(), 2u);
    const auto physicalRequest = onQueue([&] { return server->streamControl.currentCaptureRequest; });
    // No frame ever reaches the new capture's encoder: it never gets ready.
    screenCapture().setFramesStopped(true);
    const double before = platform::Clock::uptimeSeconds();
    notify("system will sleep");
    EXPECT_LE(platform::Clock::uptimeSeconds() - before, 4.5);
    EXPECT_TRUE(logContains("power: system will sleep; headless preflight failed; released system-sleep assertion "
                            "for native sleep"));
    EXPECT_TRUE(wasTold(*v, "power: headless capture unavailable; using native sleep behavior"));
    onQueue([&] {
        EXPECT_FALSE(server->isPreflightingHeadlessCaptureForSleep);
        EXPECT_FALSE(server->sleepPreflightPhysicalCaptureRequest);
        EXPECT_FALSE(server->useHeadlessVirtualDisplay);
        EXPECT_EQ(server->streamControl.currentCaptureRequest, physicalRequest);
        EXPECT_EQ(server->selectedDisplayID, monitorID);
        EXPECT_FALSE(server->streamControl.videoCapture);
    });
    EXPECT_FALSE(HeadlessVirtualDisplay::shared().stateSnapshot().isActive);
    const std::map<std::string, std::string> idleOnly{
        {"PreventUserIdleSystemSleep", "Norvessal active Viewer session"}};
    EXPECT_EQ(heldAssertions(), idleOnly);
    auto second = viewer("Second Viewer");
    EXPECT_EQ(heldAssertions(), idleOnly);

    screenCapture().setFramesStopped(false);
    notify("system did wake");
    EXPECT_EQ(heldAssertions().count("PreventSystemSleep"), 1u);
}

TEST_F(PowerTest, PhysicalRecoveryChecksFor45sThenWaitsForTheNextDisplayChange) {
    auto v = viewer("Mac Viewer", false);
    // Capture meanwhile runs on a display that is not a physical one.
    machineDisplays().removeDisplay(monitorID);
    platform::SimulatedMachine::current().component<platform::SimulatedScreenSharingService>().beginSession(41, 320,
                                                                                                            180);
    onQueue([&] {
        server->selectedDisplayID = 41;
        server->sleepPreflightPhysicalCaptureRequest = smallRequest();
        server->sleepPreflightPhysicalVideoMode = VideoCaptureMode::physical1080;
        server->isAwaitingSleepPreflightPhysicalRecovery = true;
        server->startSleepPreflightPhysicalRecovery("system did wake wake");
    });
    const uint64_t atStart = generation();
    advance(0.5);  // check 1 and the capture restart it asks for
    const uint64_t afterFirstCheck = generation();
    EXPECT_NE(afterFirstCheck, atStart);
    EXPECT_EQ(logCount("physical display is not ready yet; preserving the temporary virtual mirror"), 1u);
    advance(0.75 * 15);
    for (const char* checks : {"after 8 checks", "after 16 checks"})
        EXPECT_EQ(logCount(std::string("still waiting for physical display ") + checks), 1u) << checks;
    EXPECT_EQ(logCount("still waiting for physical display after 24 checks"), 0u);
    advance(34);
    EXPECT_EQ(logCount("physical display did not return before the recovery window closed"), 1u);
    EXPECT_EQ(generation(), afterFirstCheck);  // no restart after check 1

    const size_t waits = logCount("still waiting for physical display");
    advance(10);
    EXPECT_EQ(logCount("still waiting for physical display"), waits);

    machineDisplays().addDisplay(platform::SimulatedDisplaySystem::plainMonitor(monitorID, 320, 180, 0, 0));
    server->scheduleSleepPreflightPhysicalRecoveryAfterDisplayChange();
    runUntilIdle();
    EXPECT_TRUE(logContains("power: display parameters changed; restored pre-lid physical capture on display 7"));
    onQueue([&] {
        EXPECT_FALSE(server->useHeadlessVirtualDisplay);
        EXPECT_FALSE(server->isAwaitingSleepPreflightPhysicalRecovery);
        EXPECT_FALSE(server->sleepPreflightPhysicalCaptureRequest);
        EXPECT_EQ(server->streamControl.currentCaptureRequest.backend, VideoCaptureBackend::physical);
        EXPECT_EQ(server->selectedDisplayID, monitorID);
    });
}
