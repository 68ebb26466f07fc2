#include <gtest/gtest.h>

#include <array>

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

// The catalogue is data that Viewers and displays are matched against: one
// wrong size or title silently breaks a mode, so every field is checked.
TEST(DisplayProfileCatalogLookup, HoldsTheSixResolutionsFieldForField) {
    using K = ResolutionKind;
    const std::array<ResolutionProfile, 6> expected{{
        {K::fullHD1080, "1080p", 1920, 1080, 1920, 1080, false},
        {K::qhd1440, "1440p", 2560, 1440, 2560, 1440, false},
        {K::hidpi1080, "Easy Compact", 1280, 800, 2560, 1600, true},
        {K::hidpi1080, "Easy Comfortable", 1600, 900, 3200, 1800, true},
        {K::hidpi1440, "HiDPI 1080", 1920, 1080, 3840, 2160, true},
        {K::canvas2880, "Max Canvas", 2880, 1620, 5760, 3240, true},
    }};
    EXPECT_EQ(DisplayProfileCatalog::resolutions(), expected);
    EXPECT_EQ(DisplayProfileCatalog::fullHD1080, expected[0]);
    EXPECT_EQ(DisplayProfileCatalog::qhd1440, expected[1]);
    EXPECT_EQ(DisplayProfileCatalog::easyCompact, expected[2]);
    EXPECT_EQ(DisplayProfileCatalog::easyComfortable, expected[3]);
    EXPECT_EQ(DisplayProfileCatalog::hidpi1440, expected[4]);
    EXPECT_EQ(DisplayProfileCatalog::maxCanvas, expected[5]);
    const std::array<ResolutionProfile, 2> adaptive{expected[2], expected[3]};
    EXPECT_EQ(DisplayProfileCatalog::adaptiveEasyResolutions(), adaptive);
}

TEST(DisplayProfileCatalogLookup, ModeDefinitionsFollowTheModeTable) {
    struct Row {
        uint8_t raw;
        const char* title;
        ResolutionProfile resolution;
        bool strict, preferHiDPI, headless;
        int64_t bitrate420, bitrate444;
        int streamMax;
    };
    const Row rows[] = {
        {0, "Physical 1080p", DisplayProfileCatalog::fullHD1080, false, false, false, 14'000'000, 20'000'000, 1920},
        {1, "Physical 1440p", DisplayProfileCatalog::qhd1440, false, false, false, 24'000'000, 32'000'000, 2560},
        {3, "Easy", DisplayProfileCatalog::easyCompact, false, true, true, 24'000'000, 32'000'000, 3200},
        {4, "Pro", DisplayProfileCatalog::hidpi1440, true, true, true, 36'000'000, 48'000'000, 3840},
        {6, "Max", DisplayProfileCatalog::maxCanvas, true, true, true, 48'000'000, 64'000'000, 5760},
    };
    for (const auto& row : rows) {
        const auto d = DisplayProfileCatalog::modeProfile(row.raw);
        ASSERT_TRUE(d.has_value()) << int(row.raw);
        EXPECT_EQ(d->title, row.title);
        EXPECT_EQ(d->resolution, row.resolution) << row.title;
        EXPECT_EQ(d->requireStrictGeometry, row.strict) << row.title;
        EXPECT_EQ(d->preferHiDPIPhysicalSwitch, row.preferHiDPI) << row.title;
        EXPECT_EQ(d->defaultUsesHeadlessVirtualDisplay, row.headless) << row.title;
        EXPECT_EQ(d->fps, 60) << row.title;
        EXPECT_EQ(d->bitrate(false), row.bitrate420) << row.title;
        EXPECT_EQ(d->bitrate(true), row.bitrate444) << row.title;
        EXPECT_EQ(d->streamMaxDimension(false), row.streamMax) << row.title;
        EXPECT_EQ(d->streamMaxDimension(true), row.streamMax) << row.title;
        EXPECT_EQ(modeTitle(*videoCaptureModeFromRaw(row.raw)), row.title);
    }
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
