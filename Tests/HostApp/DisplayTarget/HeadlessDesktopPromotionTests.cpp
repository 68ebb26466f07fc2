#include <gtest/gtest.h>

#include "DisplayTargetFixture.h"

TEST_F(DisplayTargetTest, PromotionWaitsForThePendingPresetThenRunsOnce) {
    virtualDisplayClasses().setModesAppearAfter(1.0);
    apply(VideoCaptureMode::pro, VideoCaptureBackend::headlessVirtual);
    EXPECT_TRUE(logContains("headless virtual desktop promotion deferred until Pro preset activation settles"));
    advance(0.9);
    EXPECT_FALSE(logContains("headless virtual desktop ready"));
    advance(3);
    EXPECT_EQ(logCount("headless virtual desktop ready"), 1u);
    EXPECT_EQ(platform::CGMainDisplayID(), virtualDisplayID());
}

// A display whose bounds stay unknown: the series goes on, but only for
// five promotions; and a result that comes back after a cancel is dropped.
TEST_F(DisplayTargetTest, PromotionWithoutBoundsIsBoundedAndLateResultsAreDropped) {
    apply(VideoCaptureMode::pro, VideoCaptureBackend::headlessVirtual);
    advance(3);
    const uint32_t virtualID = virtualDisplayID();
    ASSERT_NE(virtualID, 0u);
    displays().updateDisplay(virtualID, [](platform::SimulatedDisplay& d) { d.bounds.width = d.bounds.height = 0; });
    const auto preset = HeadlessVirtualDisplay::Preset::from(DisplayProfileCatalog::pro.resolution);
    const std::string deferred = "headless virtual desktop promotion deferred: virtual display bounds unavailable";

    onServer([&] { server->beginHeadlessDesktopPromotionRetry(1, virtualID, preset); });
    advance(10);
    EXPECT_EQ(logCount(deferred), 5u);
    EXPECT_EQ(logCount("headless virtual desktop promotion retries exhausted"), 1u);
    EXPECT_TRUE(received(*viewer, "display: headless virtual desktop promotion failed after retries"));

    onServer([&] {
        server->promoteHeadlessDesktopOffQueue(1, virtualID, preset,
                                               server->displayTarget.headlessDesktopPromotionGeneration);
        server->cancelHeadlessDesktopPromotionRetry();
    });
    advance(2);
    EXPECT_EQ(logCount(deferred), 5u);
}
