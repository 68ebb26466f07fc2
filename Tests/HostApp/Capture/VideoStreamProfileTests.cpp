#include <gtest/gtest.h>

#include "HostApp/Capture/HostHardware.h"
#include "HostApp/Capture/VideoStreamProfile.h"
#include "Platform/SimulatedMac/CoreGraphicsDisplays.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"
#include "Platform/SimulatedMac/SimulatedProcessor.h"
#include "Support/TestSupport.h"

namespace {

CaptureModeControlPayload request(VideoCaptureMode mode, VideoChromaMode chroma = VideoChromaMode::yuv420) {
    return CaptureModeControlPayload::preset(mode, chroma, VideoCaptureBackend::physical);
}

class VideoStreamProfileTest : public platform::testing::VirtualTimeTest {
protected:
    void presentIntelMac() {
        platform::SimulatedMachine::current().component<platform::SimulatedProcessor>().setAppleSilicon(false);
    }
    platform::SimulatedDisplaySystem& displays() {
        return platform::SimulatedMachine::current().component<platform::SimulatedDisplaySystem>();
    }
    // The built-in 3024 x 1964 panel as display 7.
    void presentBuiltInPanel() { displays().setDisplays({platform::SimulatedDisplaySystem::builtInPanel(7)}); }
};

using Size = std::pair<int, int>;

}  // namespace

TEST(VideoStreamProfileScaledSize, ScalesTheLongerSideDownAndKeepsSidesEven) {
    EXPECT_EQ(VideoStreamProfile::scaledSize(3024, 1964, 2560), Size(2560, 1662));
    EXPECT_EQ(VideoStreamProfile::scaledSize(1964, 3024, 2560), Size(1662, 2560));
    // Exact ratios stay exact: no pixel is lost to floating rounding.
    EXPECT_EQ(VideoStreamProfile::scaledSize(5760, 3240, 3840), Size(3840, 2160));
    EXPECT_EQ(VideoStreamProfile::scaledSize(3840, 2160, 2880), Size(2880, 1620));
    EXPECT_EQ(VideoStreamProfile::scaledSize(5760, 3240, 1920), Size(1920, 1080));
}

TEST(VideoStreamProfileScaledSize, NeverScalesUpAndNeverGoesBelowTwo) {
    EXPECT_EQ(VideoStreamProfile::scaledSize(1, 1, 10), Size(2, 2));
    EXPECT_EQ(VideoStreamProfile::scaledSize(1001, 501, 4000), Size(1000, 500));
    EXPECT_EQ(VideoStreamProfile::scaledSize(0, -7, 100), Size(2, 2));
    EXPECT_EQ(VideoStreamProfile::scaledSize(4000, 10, 100), Size(100, 2));
    EXPECT_EQ(VideoStreamProfile::scaledSize(1920, 1080, 0), Size(2, 2));
}

TEST_F(VideoStreamProfileTest, TransportMaximumFollowsModeChromaAndRouteFlags) {
    EXPECT_EQ(transportMaxDimension(request(VideoCaptureMode::physical1080)), 1920);
    EXPECT_EQ(transportMaxDimension(request(VideoCaptureMode::physical1440)), 2560);
    EXPECT_EQ(transportMaxDimension(request(VideoCaptureMode::easy)), 3200);
    EXPECT_EQ(transportMaxDimension(request(VideoCaptureMode::pro, VideoChromaMode::yuv444)), 3840);
    EXPECT_EQ(transportMaxDimension(request(VideoCaptureMode::max)), 5760);

    auto max = request(VideoCaptureMode::max);
    max.flags |= CaptureModeControlPayload::flagWiFiRoute;
    EXPECT_EQ(transportMaxDimension(max), 3840);
    max.flags |= CaptureModeControlPayload::flagReduced;
    EXPECT_EQ(transportMaxDimension(max), 1920);
    // Supersampled requests always travel at 2880, whatever else is set.
    max.flags |= CaptureModeControlPayload::flagSupersampled;
    EXPECT_EQ(transportMaxDimension(max), 2880);
    auto small = request(VideoCaptureMode::physical1080);
    small.flags |= CaptureModeControlPayload::flagSupersampled;
    EXPECT_EQ(transportMaxDimension(small), 2880);
}

TEST_F(VideoStreamProfileTest, TransportMaximumIsCappedOnIntel) {
    presentIntelMac();
    EXPECT_FALSE(HostHardware::isAppleSilicon());
    EXPECT_EQ(transportMaxDimension(request(VideoCaptureMode::max, VideoChromaMode::yuv444)), 3840);
    EXPECT_EQ(transportMaxDimension(request(VideoCaptureMode::easy)), 3200);
}

TEST_F(VideoStreamProfileTest, SupersampledRequestResolvesToHiDPI1080OnAppleSilicon) {
    auto r = request(VideoCaptureMode::physical1080);
    r.flags |= CaptureModeControlPayload::flagSupersampled;
    auto resolved = resolvedAdaptiveResolution(r);
    EXPECT_EQ(resolved, DisplayProfileCatalog::hidpi1080);
    EXPECT_EQ(resolved, DisplayProfileCatalog::hidpi1440);
    EXPECT_EQ(resolved.title, "HiDPI 1080");
    EXPECT_EQ(resolved.pixelWidth, 3840);

    presentIntelMac();
    EXPECT_EQ(resolvedAdaptiveResolution(r), DisplayProfileCatalog::fullHD1080);
}

TEST_F(VideoStreamProfileTest, EasyResolvesToTheAdaptiveResolutionMatchingItsSizes) {
    auto easy = request(VideoCaptureMode::easy);
    EXPECT_EQ(resolvedAdaptiveResolution(easy), DisplayProfileCatalog::easyCompact);
    easy.logicalWidth = 1600;
    easy.logicalHeight = 900;
    easy.pixelWidth = 3200;
    easy.pixelHeight = 1800;
    EXPECT_EQ(resolvedAdaptiveResolution(easy), DisplayProfileCatalog::easyComfortable);
    easy.pixelHeight = 1801;  // all four sizes must match
    EXPECT_EQ(resolvedAdaptiveResolution(easy), DisplayProfileCatalog::easyCompact);

    // Only Easy adapts: a Pro request with Easy Comfortable's sizes stays Pro.
    auto pro = request(VideoCaptureMode::pro);
    pro.logicalWidth = 1600;
    pro.logicalHeight = 900;
    pro.pixelWidth = 3200;
    pro.pixelHeight = 1800;
    EXPECT_EQ(resolvedAdaptiveResolution(pro), DisplayProfileCatalog::hidpi1440);
}

TEST_F(VideoStreamProfileTest, StrictModeProfileMatchesItsCatalogueCanvas) {
    auto profile = VideoStreamProfile::forDisplay(7, request(VideoCaptureMode::pro), false, std::nullopt);
    EXPECT_EQ(profile.displayID, 7u);
    EXPECT_EQ(profile.mode, VideoCaptureMode::pro);
    EXPECT_EQ(profile.width, 3840);
    EXPECT_EQ(profile.height, 2160);
    EXPECT_TRUE(profile.strictEncodedSizeRequired);
    EXPECT_EQ(profile.validationMaxDimension, 3840);
    EXPECT_EQ(profile.fps, 60);
    EXPECT_EQ(profile.bitrate, 36'000'000);
    EXPECT_EQ(profile.keyframeIntervalSeconds, 2);
    EXPECT_DOUBLE_EQ(profile.burstBitrateRatio, 1.5);
    EXPECT_EQ(profile.burstWindowSeconds, 1);
    EXPECT_EQ(profile.title(), "HEVC 3840x2160 @60fps");
    EXPECT_EQ(profile.validationErrorForRequestedMode(), std::nullopt);
}

TEST_F(VideoStreamProfileTest, DimensionCapShrinksTheCanvasAndItsValidation) {
    auto profile = VideoStreamProfile::forDisplay(7, request(VideoCaptureMode::max), false, 2880);
    EXPECT_EQ(profile.width, 2880);
    EXPECT_EQ(profile.height, 1620);
    EXPECT_EQ(profile.validationMaxDimension, 2880);
    EXPECT_EQ(profile.validationErrorForRequestedMode(), std::nullopt);
}

TEST_F(VideoStreamProfileTest, StrictModeRejectsACanvasOfTheWrongShape) {
    auto r = request(VideoCaptureMode::pro);
    r.pixelWidth = 3024;
    r.pixelHeight = 1964;
    presentBuiltInPanel();
    auto profile = VideoStreamProfile::forDisplay(7, r, false, std::nullopt);
    EXPECT_EQ(profile.validationErrorForRequestedMode(),
              "HiDPI 1080 mode requires encoded 3840x2160 backing, got HEVC 3024x1964 on display 7");
}

TEST_F(VideoStreamProfileTest, AdaptiveGeometryFollowsTheDisplayAndIsNotStrict) {
    presentBuiltInPanel();
    auto profile = VideoStreamProfile::forDisplay(7, request(VideoCaptureMode::pro), true, std::nullopt);
    EXPECT_EQ(profile.width, 3024);
    EXPECT_EQ(profile.height, 1964);
    EXPECT_FALSE(profile.strictEncodedSizeRequired);
    EXPECT_EQ(profile.validationErrorForRequestedMode(), std::nullopt);

    auto capped = VideoStreamProfile::forDisplay(7, request(VideoCaptureMode::pro), true, 2560);
    EXPECT_EQ(capped.width, 2560);
    EXPECT_EQ(capped.height, 1662);
}

TEST_F(VideoStreamProfileTest, CanvasWithTheDisplaysAspectAtTheExpectedLongEdgePassesStrictValidation) {
    // A 16:10 display in Max on a Wi-Fi route: the expected canvas is
    // 3840x2160, the request's 3840x2400 keeps the display's own shape.
    displays().setDisplays({platform::SimulatedDisplaySystem::plainMonitor(9, 5120, 3200, 0, 0)});
    auto r = request(VideoCaptureMode::max);
    r.pixelWidth = 5120;
    r.pixelHeight = 3200;
    r.flags |= CaptureModeControlPayload::flagWiFiRoute;
    auto profile = VideoStreamProfile::forDisplay(9, r, false, std::nullopt);
    EXPECT_EQ(profile.width, 3840);
    EXPECT_EQ(profile.height, 2400);
    EXPECT_TRUE(profile.matchesDisplayAspectAtLongEdge(3840));
    EXPECT_EQ(profile.validationErrorForRequestedMode(), std::nullopt);
}

TEST(VideoStreamProfileAspect, NeedsTheLongEdgeTheRatioAndTheOrientation) {
    VideoStreamProfile p;
    p.width = 2560;
    p.height = 1662;
    p.displayPixelWidth = 3024;
    p.displayPixelHeight = 1964;
    EXPECT_TRUE(p.matchesDisplayAspectAtLongEdge(2560));
    EXPECT_FALSE(p.matchesDisplayAspectAtLongEdge(2558));
    p.displayPixelWidth = 1964;  // portrait display, landscape canvas
    p.displayPixelHeight = 3024;
    EXPECT_FALSE(p.matchesDisplayAspectAtLongEdge(2560));
    p.displayPixelWidth = 1920;  // 16:9 against 1.54
    p.displayPixelHeight = 1080;
    EXPECT_FALSE(p.matchesDisplayAspectAtLongEdge(2560));
    p.displayPixelWidth = 0;  // display unknown
    EXPECT_FALSE(p.matchesDisplayAspectAtLongEdge(2560));
}

TEST_F(VideoStreamProfileTest, FrameRateAndBitRateFallBackToTheDefinition) {
    auto r = request(VideoCaptureMode::physical1440, VideoChromaMode::yuv444);
    r.fps = 0;
    r.bitrate = 0;
    r.codec = VideoStreamCodec::h264;
    auto profile = VideoStreamProfile::forDisplay(1, r, false, std::nullopt);
    EXPECT_EQ(profile.fps, 60);
    EXPECT_EQ(profile.bitrate, 32'000'000);
    EXPECT_EQ(profile.chromaMode, VideoChromaMode::yuv444);
    EXPECT_EQ(profile.title(), "H264 2560x1440 @60fps");

    r.fps = 65'535;
    EXPECT_EQ(VideoStreamProfile::forDisplay(1, r, false, std::nullopt).fps, 120);
}

TEST_F(VideoStreamProfileTest, RequestWithoutSizesTakesTheResolvedResolution) {
    auto r = request(VideoCaptureMode::physical1440);
    r.pixelWidth = 0;
    r.pixelHeight = 0;
    auto profile = VideoStreamProfile::forDisplay(1, r, false, std::nullopt);
    EXPECT_EQ(profile.width, 2560);
    EXPECT_EQ(profile.height, 1440);
}

TEST_F(VideoStreamProfileTest, BitRateTooSmallToEncodeIsRaisedToTheFloorAndZeroTakesTheMode) {
    auto r = request(VideoCaptureMode::easy);
    r.bitrate = 500;
    EXPECT_EQ(VideoStreamProfile::forDisplay(7, r, false, std::nullopt).bitrate, VideoStreamProfile::minimumBitrate);
    r.bitrate = 0;
    EXPECT_EQ(VideoStreamProfile::forDisplay(7, r, false, std::nullopt).bitrate, 24000000);
    r.bitrate = 6000000;
    EXPECT_EQ(VideoStreamProfile::forDisplay(7, r, false, std::nullopt).bitrate, 6000000);
}
