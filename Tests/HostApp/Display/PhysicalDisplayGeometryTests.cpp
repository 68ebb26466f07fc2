#include <gtest/gtest.h>

#include "HostApp/Display/PhysicalDisplayGeometry.h"

namespace {

using Checks = PhysicalDisplayGeometry;

HostDisplayGeometry geometry(int w, int h, int pw, int ph) {
    return HostDisplayGeometry{1, w, h, pw, ph, 60, static_cast<double>(pw) / w > 1.25};
}

DisplayLayoutPayload layoutOf(int64_t w, int64_t h, int64_t pw, int64_t ph, bool hiDPI) {
    DisplayLayoutPayload p;
    p.displayID = 1;
    p.targetWidth = w;
    p.targetHeight = h;
    p.unionWidth = w;
    p.unionHeight = h;
    p.pixelWidth = pw;
    p.pixelHeight = ph;
    p.flags = hiDPI ? DisplayLayoutPayload::hiDPIFlag : 0;
    return p;
}

CaptureModeControlPayload request(VideoCaptureMode mode, int w, int h, int pw, int ph, bool askHiDPI) {
    CaptureModeControlPayload r;
    r.mode = mode;
    r.logicalWidth = w;
    r.logicalHeight = h;
    r.pixelWidth = pw;
    r.pixelHeight = ph;
    r.flags = askHiDPI ? CaptureModeControlPayload::flagHiDPI : 0;
    return r;
}

}  // namespace

TEST(PhysicalFallbackMode, PlainCatalogueSizesWinOverTheRequestedMode) {
    // A plain 1080p display falls back to physical1080 even for Pro.
    EXPECT_EQ(Checks::physicalFallbackMode(VideoCaptureMode::pro, geometry(1920, 1080, 1920, 1080)),
              VideoCaptureMode::physical1080);
    EXPECT_EQ(Checks::physicalFallbackMode(VideoCaptureMode::physical1080, geometry(2560, 1440, 2560, 1440)),
              VideoCaptureMode::physical1440);
    // The same logical size scaled goes by the requested mode.
    EXPECT_EQ(Checks::physicalFallbackMode(VideoCaptureMode::pro, geometry(1920, 1080, 3840, 2160)),
              VideoCaptureMode::physical1440);
    EXPECT_EQ(Checks::physicalFallbackMode(VideoCaptureMode::easy, geometry(1920, 1080, 3840, 2160)),
              VideoCaptureMode::physical1080);
}

TEST(PhysicalFallbackMode, ByRequestedModeOnOtherDisplays) {
    const HostDisplayGeometry panel = geometry(1512, 982, 3024, 1964);
    EXPECT_EQ(Checks::physicalFallbackMode(VideoCaptureMode::easy, panel), VideoCaptureMode::physical1080);
    EXPECT_EQ(Checks::physicalFallbackMode(VideoCaptureMode::pro, panel), VideoCaptureMode::physical1440);
    EXPECT_EQ(Checks::physicalFallbackMode(VideoCaptureMode::max, panel), VideoCaptureMode::physical1440);
    EXPECT_EQ(Checks::physicalFallbackMode(VideoCaptureMode::physical1080, panel), VideoCaptureMode::physical1080);
    EXPECT_EQ(Checks::physicalFallbackMode(VideoCaptureMode::physical1440, panel), VideoCaptureMode::physical1440);
}

TEST(StrictGeometry, ScaledResolutionsNeedPixelsAndHiDPI) {
    EXPECT_TRUE(Checks::geometrySatisfiesStrictMode(geometry(1920, 1080, 3840, 2160), VideoCaptureMode::pro));
    EXPECT_FALSE(Checks::geometrySatisfiesStrictMode(geometry(1920, 1080, 1920, 1080), VideoCaptureMode::pro));
    EXPECT_FALSE(Checks::geometrySatisfiesStrictMode(geometry(1920, 1080, 3840, 2150), VideoCaptureMode::pro));
    HostDisplayGeometry notFlagged = geometry(1920, 1080, 3840, 2160);
    notFlagged.isHiDPI = false;
    EXPECT_FALSE(Checks::geometrySatisfiesStrictMode(notFlagged, VideoCaptureMode::pro));
    EXPECT_FALSE(Checks::geometrySatisfiesStrictMode(geometry(1920, 1081, 3840, 2160), VideoCaptureMode::pro));
    EXPECT_TRUE(Checks::geometrySatisfiesStrictMode(geometry(2880, 1620, 5760, 3240), VideoCaptureMode::max));
}

TEST(StrictGeometry, PlainResolutionsNeedOnlyTheLogicalSize) {
    EXPECT_TRUE(Checks::geometrySatisfiesStrictMode(geometry(1920, 1080, 3840, 2160), VideoCaptureMode::physical1080));
    EXPECT_TRUE(Checks::geometrySatisfiesStrictMode(geometry(2560, 1440, 2560, 1440), VideoCaptureMode::physical1440));
    EXPECT_FALSE(Checks::geometrySatisfiesStrictMode(geometry(1920, 1080, 1920, 1080), VideoCaptureMode::physical1440));
}

TEST(StrictGeometry, SummaryNamesStrictResolutionsInFull) {
    EXPECT_EQ(Checks::strictGeometrySummary(VideoCaptureMode::pro),
              DisplayProfileCatalog::hidpi1440.strictGeometrySummary());
    EXPECT_EQ(Checks::strictGeometrySummary(VideoCaptureMode::max),
              DisplayProfileCatalog::maxCanvas.strictGeometrySummary());
    EXPECT_EQ(Checks::strictGeometrySummary(VideoCaptureMode::easy), "1280x800");
    EXPECT_EQ(Checks::strictGeometrySummary(VideoCaptureMode::physical1440), "2560x1440");
    EXPECT_EQ(Checks::strictGeometrySummary(static_cast<VideoCaptureMode>(5)), "1280x800");
}

TEST(LayoutSatisfiesRequest, NonStrictModesAllowSixteenPointsAndThirtyTwoPixels) {
    const auto r = request(VideoCaptureMode::physical1080, 1920, 1080, 1920, 1080, false);
    EXPECT_TRUE(Checks::physicalDisplayLayout(layoutOf(1936, 1080, 1920, 1080, false), r));
    EXPECT_FALSE(Checks::physicalDisplayLayout(layoutOf(1937, 1080, 1920, 1080, false), r));
    EXPECT_TRUE(Checks::physicalDisplayLayout(layoutOf(1920, 1064, 1920, 1080, false), r));
    EXPECT_TRUE(Checks::physicalDisplayLayout(layoutOf(1920, 1080, 1888, 1112, false), r));
    EXPECT_FALSE(Checks::physicalDisplayLayout(layoutOf(1920, 1080, 1920, 1113, false), r));
    // A plain request does not mind a HiDPI display in a non-strict mode.
    EXPECT_TRUE(Checks::physicalDisplayLayout(layoutOf(1920, 1080, 1920, 1080, true), r));
}

TEST(LayoutSatisfiesRequest, StrictModesNeedExactSizesAndTheRightKind) {
    const auto r = request(VideoCaptureMode::pro, 1920, 1080, 3840, 2160, true);
    EXPECT_TRUE(Checks::physicalDisplayLayout(layoutOf(1920, 1080, 3840, 2160, true), r));
    EXPECT_FALSE(Checks::physicalDisplayLayout(layoutOf(1921, 1080, 3840, 2160, true), r));
    EXPECT_FALSE(Checks::physicalDisplayLayout(layoutOf(1920, 1080, 3840, 2161, true), r));
    EXPECT_FALSE(Checks::physicalDisplayLayout(layoutOf(1920, 1080, 3840, 2160, false), r));

    // A strict request not asking for HiDPI is not served by a HiDPI layout.
    const auto plainAsk = request(VideoCaptureMode::pro, 1920, 1080, 3840, 2160, false);
    EXPECT_FALSE(Checks::physicalDisplayLayout(layoutOf(1920, 1080, 3840, 2160, true), plainAsk));
    EXPECT_TRUE(Checks::physicalDisplayLayout(layoutOf(1920, 1080, 3840, 2160, false), plainAsk));

    // A non-strict request asking for HiDPI needs a HiDPI layout.
    const auto easy = request(VideoCaptureMode::easy, 1280, 800, 2560, 1600, true);
    EXPECT_TRUE(Checks::physicalDisplayLayout(layoutOf(1290, 800, 2560, 1600, true), easy));
    EXPECT_FALSE(Checks::physicalDisplayLayout(layoutOf(1290, 800, 2560, 1600, false), easy));
}
