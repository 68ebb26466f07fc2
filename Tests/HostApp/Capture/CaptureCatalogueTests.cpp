#include <gtest/gtest.h>

#include "HostApp/Capture/HostDisplayGeometry.h"
#include "HostApp/Capture/VideoCaptureMode.h"

TEST(DisplayProfileCatalogLookup, KnowsExactlyTheFiveModeCodes) {
    for (uint8_t raw = 0; raw < 10; ++raw) {
        auto definition = DisplayProfileCatalog::modeProfile(raw);
        const bool known = raw == 0 || raw == 1 || raw == 3 || raw == 4 || raw == 6;
        EXPECT_EQ(definition.has_value(), known) << int(raw);
        if (definition) {
            EXPECT_EQ(static_cast<uint8_t>(definition->kind), raw);
        }
        EXPECT_EQ(videoCaptureModeFromRaw(raw).has_value(), known) << int(raw);
    }
    EXPECT_EQ(modeTitle(VideoCaptureMode::max), "Max");
    EXPECT_EQ(DisplayProfileCatalog::modeProfileOrEasy(2), DisplayProfileCatalog::easy);
    EXPECT_EQ(DisplayProfileCatalog::easy.resolution, DisplayProfileCatalog::easyCompact);
}

TEST(DisplayProfileCatalogLookup, HiDPI1080IsOneValueUnderBothNames) {
    EXPECT_EQ(&DisplayProfileCatalog::hidpi1080, &DisplayProfileCatalog::hidpi1440);
    EXPECT_EQ(DisplayProfileCatalog::pro.resolution, DisplayProfileCatalog::hidpi1080);
    // Profiles equal in six fields but not the kind are different resolutions.
    ResolutionProfile other = DisplayProfileCatalog::hidpi1440;
    other.kind = ResolutionKind::hidpi1080;
    EXPECT_NE(other, DisplayProfileCatalog::hidpi1440);
}

TEST(DisplayProfileCatalogLookup, StrictSummaryNamesTheBackingOnlyForHiDPI) {
    EXPECT_EQ(DisplayProfileCatalog::hidpi1440.strictGeometrySummary(), "HiDPI 1080 1920x1080 (3840x2160 backing)");
    EXPECT_EQ(DisplayProfileCatalog::fullHD1080.strictGeometrySummary(), "1080p 1920x1080");
}

TEST(WireEnumerations, UnknownValuesDoNotConvert) {
    EXPECT_EQ(videoStreamCodecFromRaw(1), VideoStreamCodec::h264);
    EXPECT_EQ(videoStreamCodecFromRaw(2), VideoStreamCodec::hevc);
    EXPECT_FALSE(videoStreamCodecFromRaw(0));
    EXPECT_FALSE(videoStreamCodecFromRaw(3));
    EXPECT_EQ(videoChromaModeFromRaw(1), VideoChromaMode::yuv444);
    EXPECT_FALSE(videoChromaModeFromRaw(2));
    EXPECT_EQ(videoCaptureBackendFromRaw(1), VideoCaptureBackend::headlessVirtual);
    EXPECT_FALSE(videoCaptureBackendFromRaw(2));
}

TEST(HostDisplayGeometrySummary, FormatsScaleRefreshAndHiDPI) {
    HostDisplayGeometry g{1, 1512, 982, 3024, 1964, 120.0, true};
    EXPECT_EQ(g.summary(), "display=1 1512x982 px=3024x1964 scale=2.0x 120Hz HiDPI");
    HostDisplayGeometry bare{4294967295u, 0, 0, 1920, 1080, 59.94, false};
    EXPECT_EQ(bare.summary(), "display=4294967295 0x0 px=1920x1080 scale=1.0x 60Hz");
}
