// Desktop promotion: the layout transaction, the main-display wait, and the
// sleep preflight variant.

#include "HeadlessVirtualDisplayTestSupport.h"

namespace {

using namespace platform;

class HeadlessVirtualDisplayPromotion : public HeadlessDisplayTest {
protected:
    // The built-in panel (1, at the origin) and a 1440p monitor (2) to its
    // right; the virtual display joins to the right of both.
    uint32_t machineWithVirtualDisplay() {
        displays().configureBuiltInWithExternal1440();
        return startAndGetID(HeadlessVirtualDisplay::easyPreset());
    }
    static double originX(uint32_t id) { return displays().display(id)->bounds.x; }
    static bool anyOriginApplied() {
        for (const auto& c : displays().appliedChanges()) {
            if (c.originOnly) return true;
        }
        return false;
    }
    static void failMirror(uint32_t id) {
        DisplayConfigurationBehaviour b;
        b.mirrorError = kCGErrorCannotComplete;
        displays().setBehaviour(id, b);
    }
};

TEST_F(HeadlessVirtualDisplayPromotion, VirtualDisplayBecomesMainWithTheReferenceMirrored) {
    const uint32_t v = machineWithVirtualDisplay();
    ASSERT_EQ(originX(v), 1512 + 2560);
    const auto result = hvd().promoteToPrimaryDesktop(1, true, std::nullopt);
    EXPECT_TRUE(result.applied);
    EXPECT_EQ(result.message, "virtual display " + std::to_string(v) +
                                  " promoted to main desktop; display 1 mirrored to virtual desktop; "
                                  "window migration found no app windows centered on display 1");
    EXPECT_EQ(CGMainDisplayID(), v);
    EXPECT_EQ(CGDisplayMirrorsDisplay(1), v);
    EXPECT_EQ(originX(v), 0);
    EXPECT_EQ(originX(2), 1280);  // right of the virtual display
    EXPECT_EQ(displays().display(2)->bounds.y, 0);
    // The stored geometry was refreshed after the move.
    EXPECT_EQ(hvd().stateSnapshot().x, 0);
    for (const auto& c : displays().appliedChanges()) {
        if (c.originOnly || c.mirrorOf) {
            EXPECT_EQ(c.option, CGConfigureOption::forSession);
        }
    }
}

TEST_F(HeadlessVirtualDisplayPromotion, ReferenceZeroMeansTheCurrentMainDisplay) {
    const uint32_t v = machineWithVirtualDisplay();
    const auto result = hvd().promoteToPrimaryDesktop(0, false, std::nullopt);
    EXPECT_EQ(result.message, "virtual display " + std::to_string(v) +
                                  " promoted to main desktop; display 1 mirrored to virtual desktop; "
                                  "window migration skipped for sleep preflight");
}

TEST_F(HeadlessVirtualDisplayPromotion, ReferenceEqualToTheVirtualDisplayIsNotMirrored) {
    const uint32_t v = machineWithVirtualDisplay();
    const auto result = hvd().promoteToPrimaryDesktop(v, false, std::nullopt);
    EXPECT_EQ(result.message, "virtual display " + std::to_string(v) +
                                  " promoted to main desktop; physical mirror not requested; "
                                  "window migration skipped for sleep preflight");
    EXPECT_EQ(CGDisplayMirrorsDisplay(1), 0u);
    EXPECT_EQ(originX(1), 1280);
    EXPECT_EQ(originX(2), 1280 + 1512);
}

TEST_F(HeadlessVirtualDisplayPromotion, OthersLineUpReferenceFirstThenByIdentifier) {
    displays().setDisplays({SimulatedDisplaySystem::plainMonitor(7, 1000, 700, 0, 0),
                            SimulatedDisplaySystem::plainMonitor(5, 800, 600, 1000, 0),
                            SimulatedDisplaySystem::plainMonitor(3, 900, 500, 1800, 0)});
    const uint32_t v = startAndGetID(HeadlessVirtualDisplay::easyPreset(), 7);
    failMirror(7);
    const auto failed = hvd().promoteToPrimaryDesktop(7, false, std::nullopt);
    EXPECT_EQ(failed.message, "virtual display " + std::to_string(v) +
                                  " promoted to main desktop; display 7 mirror failed CG 1004; using extended layout; "
                                  "window migration skipped for sleep preflight");
    EXPECT_EQ(originX(v), 0);
    EXPECT_EQ(originX(7), 1280);
    EXPECT_EQ(originX(3), 1280 + 1000);
    EXPECT_EQ(originX(5), 1280 + 1000 + 900);

    displays().setBehaviour(7, DisplayConfigurationBehaviour{});
    const auto mirrored = hvd().promoteToPrimaryDesktop(7, false, std::nullopt);
    EXPECT_TRUE(mirrored.applied);
    EXPECT_EQ(CGDisplayMirrorsDisplay(7), v);
    EXPECT_EQ(originX(3), 1280);
    EXPECT_EQ(originX(5), 1280 + 900);
}

TEST_F(HeadlessVirtualDisplayPromotion, NarrowVirtualDisplayStillAdvancesByOnePoint) {
    const uint32_t v = machineWithVirtualDisplay();
    displays().updateDisplay(v, [](SimulatedDisplay& d) { d.bounds.width = 0.4; });
    hvd().promoteToPrimaryDesktop(v, false, std::nullopt);
    EXPECT_EQ(originX(1), 1);
    EXPECT_EQ(originX(2), 1 + 1512);
}

TEST_F(HeadlessVirtualDisplayPromotion, WithoutVirtualDisplayNothingHappens) {
    displays().configureBuiltInWithExternal1440();
    Peer::enableMigration(hvd());
    const auto result = hvd().promoteToPrimaryDesktop(1, true, std::nullopt);
    EXPECT_FALSE(result.applied);
    EXPECT_EQ(result.message, "virtual display inactive");
    EXPECT_TRUE(Peer::migrationEnabled(hvd()));  // a running migration is left alone
    EXPECT_TRUE(displays().appliedChanges().empty());
}

TEST_F(HeadlessVirtualDisplayPromotion, FailuresBeforeTheTransactionLeaveTheLayout) {
    uint32_t v = 0;
    {
        SCOPED_TRACE("bounds");
        displays().configureBuiltInWithExternal1440();
        classes().setModesAppearAfter(1000);
        v = startAndGetID(HeadlessVirtualDisplay::easyPreset());
        EXPECT_EQ(hvd().promoteToPrimaryDesktop(1, true, std::nullopt).message, "virtual display bounds unavailable");
        hvd().stop(true);
        classes().setModesAppearAfter(0);
    }
    v = startAndGetID(HeadlessVirtualDisplay::easyPreset());
    {
        SCOPED_TRACE("inactive display");
        displays().updateDisplay(v, [](SimulatedDisplay& d) { d.active = false; });
        EXPECT_EQ(hvd().promoteToPrimaryDesktop(1, true, std::nullopt).message,
                  "virtual display " + std::to_string(v) + " is not active");
        displays().updateDisplay(v, [](SimulatedDisplay& d) { d.active = true; });
    }
    {
        SCOPED_TRACE("begin");
        displays().setBeginError(kCGErrorFailure);
        EXPECT_EQ(hvd().promoteToPrimaryDesktop(1, true, std::nullopt).message, "display configuration could not begin");
        displays().setBeginError(kCGErrorSuccess);
        displays().setBeginReturnsNullConfiguration(true);
        EXPECT_EQ(hvd().promoteToPrimaryDesktop(1, true, std::nullopt).message, "display configuration could not begin");
        displays().setBeginReturnsNullConfiguration(false);
    }
    EXPECT_FALSE(anyOriginApplied());
    EXPECT_FALSE(Peer::migrationEnabled(hvd()));
}

TEST_F(HeadlessVirtualDisplayPromotion, FailedOriginOrApplyCancelsTheWholeLayout) {
    const uint32_t v = machineWithVirtualDisplay();
    DisplayConfigurationBehaviour b;
    b.originError = kCGErrorIllegalArgument;
    displays().setBehaviour(v, b);
    auto result = hvd().promoteToPrimaryDesktop(1, true, std::nullopt);
    EXPECT_FALSE(result.applied);
    EXPECT_EQ(result.message, "virtual display origin update failed CG 1001");

    displays().setBehaviour(v, DisplayConfigurationBehaviour{});
    displays().setBehaviour(2, b);
    result = hvd().promoteToPrimaryDesktop(1, true, std::nullopt);
    EXPECT_EQ(result.message, "display 2 origin update failed CG 1001");
    EXPECT_FALSE(anyOriginApplied());
    EXPECT_EQ(CGDisplayMirrorsDisplay(1), 0u);  // the mirror went with the cancelled transaction

    DisplayConfigurationBehaviour c;
    c.completeError = kCGErrorCannotComplete;
    displays().setBehaviour(2, c);
    result = hvd().promoteToPrimaryDesktop(1, true, std::nullopt);
    EXPECT_EQ(result.message, "display layout apply failed CG 1004");
    EXPECT_FALSE(anyOriginApplied());
    EXPECT_EQ(CGMainDisplayID(), 1u);
    EXPECT_FALSE(Peer::migrationEnabled(hvd()));
    EXPECT_EQ(Peer::observerCount(hvd()), 0u);
}

TEST_F(HeadlessVirtualDisplayPromotion, MainDisplayThatDoesNotChangeIsReportedAfterTwoSeconds) {
    const uint32_t v = machineWithVirtualDisplay();
    displays().setMainDisplayOverride(1);
    const double before = now();
    const auto result = hvd().promoteToPrimaryDesktop(1, true, std::nullopt);
    EXPECT_GE(elapsedSince(before), 2.0);
    EXPECT_LE(elapsedSince(before), 2.0 + 0.17);
    EXPECT_FALSE(result.applied);
    EXPECT_EQ(result.message, "display layout applied but main display is still 1; display 1 mirrored to virtual "
                              "desktop; window migration found no app windows centered on display 1");
    (void)v;
}

TEST_F(HeadlessVirtualDisplayPromotion, MainDisplayWaitIsBoundedByTheDeadline) {
    machineWithVirtualDisplay();
    displays().setMainDisplayOverride(1);
    double before = now();
    hvd().promoteToPrimaryDesktop(1, false, platform::Clock::now().addingSeconds(0.5));
    EXPECT_GE(elapsedSince(before), 0.5);
    EXPECT_LE(elapsedSince(before), 0.5 + 0.17);
    before = now();
    hvd().promoteToPrimaryDesktop(1, false, platform::Clock::now().addingSeconds(-5));
    EXPECT_LE(elapsedSince(before), 0.17);  // one look, no waiting beyond a single step
}

using HeadlessVirtualDisplaySleepPreflight = HeadlessVirtualDisplayPromotion;

TEST_F(HeadlessVirtualDisplaySleepPreflight, PastDeadlineAttemptsNothing) {
    machineWithVirtualDisplay();
    const auto result = hvd().promoteToPrimaryDesktopBeforeSleep(1, platform::Clock::now());
    EXPECT_FALSE(result.applied);
    EXPECT_EQ(result.message, "sleep preflight deadline expired before desktop promotion");
    EXPECT_TRUE(displays().appliedChanges().empty());
}

TEST_F(HeadlessVirtualDisplaySleepPreflight, DeadlinePassingWhileBoundsAreUnknown) {
    displays().configureBuiltInWithExternal1440();
    classes().setModesAppearAfter(1000);
    ASSERT_NE(startAndGetID(HeadlessVirtualDisplay::easyPreset()), 0u);
    const double before = now();
    const auto result = hvd().promoteToPrimaryDesktopBeforeSleep(1, platform::Clock::now().addingSeconds(0.5));
    EXPECT_GE(elapsedSince(before), 0.5);
    EXPECT_LE(elapsedSince(before), 0.5 + 0.041);
    EXPECT_FALSE(result.applied);
    EXPECT_EQ(result.message, "sleep preflight deadline expired before desktop promotion");
    EXPECT_FALSE(anyOriginApplied());
}

TEST_F(HeadlessVirtualDisplaySleepPreflight, RetriesUntilTheBoundsAreKnownAndMovesNoWindows) {
    displays().configureBuiltInWithExternal1440();
    classes().setModesAppearAfter(0.2);
    const uint32_t v = startAndGetID(HeadlessVirtualDisplay::easyPreset());
    const auto app = accessibility().addWindow(100, CGRect{100, 100, 800, 600});
    workspace().addApplication(RunningApplication{100, std::string("com.example.editor"), "Editor"});
    const double before = now();
    const auto result = hvd().promoteToPrimaryDesktopBeforeSleep(1, platform::Clock::now().addingSeconds(3));
    EXPECT_TRUE(result.applied);
    EXPECT_EQ(result.message, "virtual display " + std::to_string(v) +
                                  " promoted to main desktop; display 1 mirrored to virtual desktop; "
                                  "window migration skipped for sleep preflight");
    EXPECT_LT(elapsedSince(before), 0.5);
    EXPECT_EQ(hvd().stateSnapshot().x, 0);
    EXPECT_FALSE(Peer::migrationEnabled(hvd()));
    EXPECT_EQ(Peer::observerCount(hvd()), 0u);
    EXPECT_EQ(accessibility().messagingTimeout(AXUIElementCreateApplication(100)), std::nullopt);
    EXPECT_EQ(accessibility().window(app)->frame, (CGRect{100, 100, 800, 600}));
}

TEST_F(HeadlessVirtualDisplaySleepPreflight, OtherFailuresAreReturnedAtOnce) {
    const uint32_t v = machineWithVirtualDisplay();
    displays().setBeginError(kCGErrorFailure);
    const double before = now();
    const auto result = hvd().promoteToPrimaryDesktopBeforeSleep(1, platform::Clock::now().addingSeconds(3));
    EXPECT_EQ(result.message, "display configuration could not begin");
    EXPECT_EQ(elapsedSince(before), 0);
    (void)v;
}

}  // namespace
