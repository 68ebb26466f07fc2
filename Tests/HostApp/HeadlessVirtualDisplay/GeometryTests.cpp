// Reading, correcting and storing the display's geometry, and the two
// blocking waits.

#include "HeadlessVirtualDisplayTestSupport.h"

namespace {

using namespace platform;
using Geometry = Peer::Geometry;

Geometry reading(int w, int h, int pw, int ph, int x = 7, int y = -3) {
    return Geometry{42, x, y, w, h, pw, ph, static_cast<double>(pw) / w > 1.25};
}

TEST(HeadlessVirtualDisplayNormalizedGeometry, HiDPIPresetReportedOneToOneGetsItsPointSize) {
    const auto n = Peer::normalizedGeometry(reading(2560, 1600, 2560, 1600), HeadlessVirtualDisplay::easyPreset());
    EXPECT_EQ(n, (Geometry{42, 7, -3, 1280, 800, 2560, 1600, true}));
}

TEST(HeadlessVirtualDisplayNormalizedGeometry, OneToOneReadingOfAnotherSizeIsKept) {
    const auto g = reading(1920, 1080, 1920, 1080);
    EXPECT_EQ(Peer::normalizedGeometry(g, HeadlessVirtualDisplay::easyPreset()), g);
    // A true 2x reading needs no correction.
    const auto hi = reading(1280, 800, 2560, 1600);
    EXPECT_EQ(Peer::normalizedGeometry(hi, HeadlessVirtualDisplay::easyPreset()), hi);
}

TEST(HeadlessVirtualDisplayNormalizedGeometry, StandardPresetReportedShortByOneToSixteenIsCompleted) {
    const Preset& p = HeadlessVirtualDisplay::standard1080Preset();
    for (int shortBy : {1, 16}) {
        SCOPED_TRACE(shortBy);
        const auto n = Peer::normalizedGeometry(reading(1920, 1080 - shortBy, 1920, 1080 - shortBy), p);
        EXPECT_EQ(n, (Geometry{42, 7, -3, 1920, 1080, 1920, 1080, false}));
    }
    for (int shortBy : {0, 17, 20}) {
        SCOPED_TRACE(shortBy);
        const auto g = reading(1920, 1080 - shortBy, 1920, 1080 - shortBy);
        EXPECT_EQ(Peer::normalizedGeometry(g, p), g);
    }
    // Both heights must be short; so must the width match in points and pixels.
    const auto pixelsFull = reading(1920, 1064, 1920, 1080);
    EXPECT_EQ(Peer::normalizedGeometry(pixelsFull, p), pixelsFull);
    const auto narrower = reading(1900, 1064, 1920, 1064);
    EXPECT_EQ(Peer::normalizedGeometry(narrower, p), narrower);
    // A HiDPI preset is never completed this way.
    const auto hi = reading(1280, 790, 2560, 1590);
    EXPECT_EQ(Peer::normalizedGeometry(hi, HeadlessVirtualDisplay::easyPreset()), hi);
}

TEST(HeadlessVirtualDisplayNormalizedGeometry, WithoutExpectedPresetNothingChanges) {
    const auto g = reading(2560, 1600, 2560, 1600);
    EXPECT_EQ(Peer::normalizedGeometry(g, std::nullopt), g);
}

using HeadlessVirtualDisplayGeometry = HeadlessDisplayTest;

TEST_F(HeadlessVirtualDisplayGeometry, HiDPIPresetShownAtOneToOneIsStoredAtItsPointSize) {
    const uint32_t id = startAndGetID(HeadlessVirtualDisplay::easyPreset());
    displays().setCurrentMode(id, CGDisplayMode{2560, 1600, 2560, 1600, 120, true, 0, 3});
    hvd().refreshGeometry();
    const auto s = hvd().stateSnapshot();
    EXPECT_EQ(s.logicalWidth, 1280);
    EXPECT_EQ(s.logicalHeight, 800);
    EXPECT_EQ(s.pixelWidth, 2560);
    EXPECT_EQ(s.pixelHeight, 1600);
    EXPECT_TRUE(s.isHiDPI);
    EXPECT_EQ(Peer::currentPreset(hvd()), HeadlessVirtualDisplay::easyPreset());
}

TEST_F(HeadlessVirtualDisplayGeometry, StandardPresetReportedShortIsCompletedOnlyWithinSixteen) {
    const uint32_t id = startAndGetID(HeadlessVirtualDisplay::standard1080Preset());
    displays().setCurrentMode(id, CGDisplayMode{1920, 1064, 1920, 1064, 60, true, 0, 3});
    hvd().refreshGeometry();
    EXPECT_EQ(hvd().stateSnapshot().logicalHeight, 1080);
    EXPECT_EQ(hvd().stateSnapshot().pixelHeight, 1080);
    EXPECT_EQ(Peer::currentPreset(hvd()), HeadlessVirtualDisplay::standard1080Preset());

    displays().setCurrentMode(id, CGDisplayMode{1920, 1060, 1920, 1060, 60, true, 0, 3});
    hvd().refreshGeometry();
    EXPECT_EQ(hvd().stateSnapshot().logicalHeight, 1060);
    EXPECT_EQ(Peer::currentPreset(hvd()), std::nullopt);
    EXPECT_EQ(hvd().summary(), "virtual display=" + std::to_string(id) + " logical=1920x1060 px=1920x1060");
}

TEST_F(HeadlessVirtualDisplayGeometry, PresetIsIdentifiedByPointSizeAndScale) {
    ASSERT_NE(startAndGetID(HeadlessVirtualDisplay::easyPreset()), 0u);
    const uint32_t id = hvd().stateSnapshot().displayID;
    // Readings that need no correction against the preset held before.
    Peer::applyRealizedGeometry(hvd(), Geometry{id, 0, 0, 1920, 1080, 3840, 2160, true});
    EXPECT_EQ(Peer::currentPreset(hvd()), HeadlessVirtualDisplay::hidpi1440Preset());
    Peer::applyRealizedGeometry(hvd(), Geometry{id, 0, 0, 1920, 1080, 1920, 1080, false});
    EXPECT_EQ(Peer::currentPreset(hvd()), HeadlessVirtualDisplay::standard1080Preset());  // not registered, still named
    Peer::applyRealizedGeometry(hvd(), Geometry{id, 0, 0, 1000, 700, 1000, 700, false});
    EXPECT_EQ(Peer::currentPreset(hvd()), std::nullopt);
}

TEST_F(HeadlessVirtualDisplayGeometry, ReadingWithoutPixelSizeUsesTheLargerPointSize) {
    auto monitor = SimulatedDisplaySystem::plainMonitor(4, 1600, 900, 1512.5, -0.5);
    monitor.currentMode->pixelWidth = 0;
    monitor.currentMode->pixelHeight = 0;
    displays().addDisplay(monitor);
    const auto g = Peer::currentGeometry(4);
    ASSERT_TRUE(g);
    EXPECT_EQ(*g, (Geometry{4, 1513, -1, 1600, 900, 1600, 900, false}));  // halves away from zero
    EXPECT_EQ(Peer::currentGeometry(0), std::nullopt);
    displays().setCurrentMode(4, std::nullopt);
    EXPECT_EQ(Peer::currentGeometry(4), std::nullopt);
}

TEST_F(HeadlessVirtualDisplayGeometry, PresetRefreshLeavesTheGeometryWhenItsModeIsNotShown) {
    const uint32_t id = startAndGetID(HeadlessVirtualDisplay::easyPreset());
    const auto before = hvd().stateSnapshot();
    hvd().refreshGeometry(HeadlessVirtualDisplay::maxCanvasPreset());
    EXPECT_EQ(hvd().stateSnapshot(), before);
    hvd().refreshGeometry(HeadlessVirtualDisplay::standard1080Preset());  // not registered
    EXPECT_EQ(hvd().stateSnapshot(), before);
    // Once shown, its own sizes are stored and the origin is read.
    displays().setCurrentMode(id, CGDisplayMode{2880, 1620, 5760, 3240, 120, true, 0, 3});
    hvd().refreshGeometry(HeadlessVirtualDisplay::maxCanvasPreset());
    EXPECT_EQ(hvd().stateSnapshot().logicalWidth, 2880);
    EXPECT_EQ(hvd().stateSnapshot().x, before.x);
    EXPECT_EQ(Peer::currentPreset(hvd()), HeadlessVirtualDisplay::maxCanvasPreset());
}

TEST_F(HeadlessVirtualDisplayGeometry, UnreadableDisplayKeepsTheStoredGeometry) {
    const uint32_t id = startAndGetID(HeadlessVirtualDisplay::easyPreset());
    const auto before = hvd().stateSnapshot();
    displays().setCurrentMode(id, std::nullopt);
    hvd().refreshGeometry();
    EXPECT_EQ(hvd().stateSnapshot(), before);
}

TEST_F(HeadlessVirtualDisplayGeometry, RemovalWaitReturnsAtOnceForADisplayAlreadyGone) {
    const double before = now();
    Peer::waitForDisplayRemoval(77, 2.4);
    Peer::waitForDisplayRemoval(0, 2.4);
    EXPECT_EQ(elapsedSince(before), 0);
}

TEST_F(HeadlessVirtualDisplayGeometry, RemovalWaitForAStayingDisplayEndsAfterItsTimeout) {
    const double before = now();
    Peer::waitForDisplayRemoval(1, 0.5);
    EXPECT_GE(elapsedSince(before), 0.5);
    EXPECT_LE(elapsedSince(before), 0.5 + 0.17);
}

TEST_F(HeadlessVirtualDisplayGeometry, MainDisplayWait) {
    displays().configureBuiltInWithExternal1440();
    double before = now();
    EXPECT_TRUE(Peer::waitForMainDisplay(1, 2));
    EXPECT_EQ(elapsedSince(before), 0);
    before = now();
    EXPECT_FALSE(Peer::waitForMainDisplay(2, 1));
    EXPECT_GE(elapsedSince(before), 1.0);
    // Becoming main during the wait ends it.
    DispatchQueue other("test.other");
    other.asyncAfter(0.3, [] {
        SimulatedMachine::current().component<SimulatedDisplaySystem>().setMainDisplayOverride(2);
    });
    before = now();
    EXPECT_TRUE(Peer::waitForMainDisplay(2, 5));
    EXPECT_LT(elapsedSince(before), 0.5);
}

}  // namespace
