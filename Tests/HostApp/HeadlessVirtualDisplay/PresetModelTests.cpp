// The model: presets built from the catalogue, their families, and the two
// read-only views of the display's state.

#include "HeadlessVirtualDisplayTestSupport.h"

namespace {

std::vector<std::string> titles(const std::vector<Preset>& presets) {
    std::vector<std::string> out;
    for (const auto& p : presets) out.push_back(p.title);
    return out;
}

TEST(HeadlessVirtualDisplayPresets, StaticPresetsCopyTheirCatalogueResolutions) {
    struct Row {
        const Preset& preset;
        const ResolutionProfile& resolution;
    };
    const Row rows[] = {
        {HeadlessVirtualDisplay::standard1080Preset(), DisplayProfileCatalog::fullHD1080},
        {HeadlessVirtualDisplay::standard1440Preset(), DisplayProfileCatalog::qhd1440},
        {HeadlessVirtualDisplay::easyPreset(), DisplayProfileCatalog::easy.resolution},
        {HeadlessVirtualDisplay::easyComfortablePreset(), DisplayProfileCatalog::easyComfortable},
        {HeadlessVirtualDisplay::hidpi1440Preset(), DisplayProfileCatalog::hidpi1440},
        {HeadlessVirtualDisplay::maxCanvasPreset(), DisplayProfileCatalog::maxCanvas},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.resolution.title);
        EXPECT_EQ(row.preset.title, row.resolution.title);
        EXPECT_EQ(row.preset.resolution, row.resolution);
        EXPECT_EQ(row.preset.pixelWidth, row.resolution.pixelWidth);
        EXPECT_EQ(row.preset.pixelHeight, row.resolution.pixelHeight);
        EXPECT_EQ(row.preset.hiDPI, row.resolution.hiDPI);
        // The derived point size agrees with the catalogue's own.
        EXPECT_EQ(row.preset.logicalWidth(), row.resolution.logicalWidth);
        EXPECT_EQ(row.preset.logicalHeight(), row.resolution.logicalHeight);
    }
    EXPECT_EQ(HeadlessVirtualDisplay::hidpi1440Preset().title, "HiDPI 1080");
    EXPECT_EQ(HeadlessVirtualDisplay::hidpi1440Preset().logicalWidth(), 1920);
}

TEST(HeadlessVirtualDisplayPresets, ListsKeepTheirOrder) {
    EXPECT_EQ(titles(HeadlessVirtualDisplay::presets()),
              (std::vector<std::string>{"1080p", "1440p", "Easy Compact", "Easy Comfortable", "HiDPI 1080",
                                        "Max Canvas"}));
    EXPECT_EQ(titles(HeadlessVirtualDisplay::standardPresets()), (std::vector<std::string>{"1080p", "1440p"}));
    EXPECT_EQ(titles(HeadlessVirtualDisplay::hidpiPresets()),
              (std::vector<std::string>{"Easy Compact", "Easy Comfortable", "HiDPI 1080", "Max Canvas"}));
}

TEST(HeadlessVirtualDisplayPresets, SummaryNamesSizesAndScale) {
    EXPECT_EQ(HeadlessVirtualDisplay::maxCanvasPreset().summary(), "Max Canvas logical=2880x1620 px=5760x3240 HiDPI");
    EXPECT_EQ(HeadlessVirtualDisplay::standard1080Preset().summary(), "1080p logical=1920x1080 px=1920x1080");
    EXPECT_EQ(HeadlessVirtualDisplay::easyPreset().summary(), "Easy Compact logical=1280x800 px=2560x1600 HiDPI");
}

TEST(HeadlessVirtualDisplayPresets, LogicalSizeIsHalvedForHiDPIAndNeverBelowOne) {
    Preset odd{"odd", DisplayProfileCatalog::easyCompact, 1001, 1, true};
    EXPECT_EQ(odd.logicalWidth(), 500);
    EXPECT_EQ(odd.logicalHeight(), 1);
    odd.pixelWidth = 0;
    odd.hiDPI = false;
    EXPECT_EQ(odd.logicalWidth(), 1);
    EXPECT_EQ(odd.logicalHeight(), 1);
}

TEST(HeadlessVirtualDisplayPresets, EqualityComparesEveryField) {
    Preset renamed = HeadlessVirtualDisplay::standard1080Preset();
    renamed.title = "1080p custom";
    EXPECT_FALSE(renamed == HeadlessVirtualDisplay::standard1080Preset());
    Preset other = HeadlessVirtualDisplay::standard1080Preset();
    other.resolution.title = "other";
    EXPECT_FALSE(other == HeadlessVirtualDisplay::standard1080Preset());
    EXPECT_EQ(Preset::from(DisplayProfileCatalog::fullHD1080), HeadlessVirtualDisplay::standard1080Preset());
}

TEST(HeadlessVirtualDisplayPresets, FamilyStartsWithThePreferredPreset) {
    EXPECT_EQ(titles(Peer::familyPresets(HeadlessVirtualDisplay::easyPreset())),
              (std::vector<std::string>{"Easy Compact", "Easy Comfortable", "HiDPI 1080", "Max Canvas"}));
    EXPECT_EQ(titles(Peer::familyPresets(HeadlessVirtualDisplay::maxCanvasPreset())),
              (std::vector<std::string>{"Max Canvas", "Easy Compact", "Easy Comfortable", "HiDPI 1080"}));
    EXPECT_EQ(titles(Peer::familyPresets(HeadlessVirtualDisplay::standard1440Preset())),
              (std::vector<std::string>{"1440p", "1080p"}));
}

TEST(HeadlessVirtualDisplayPresets, FamilyOfAPresetOutsideTheStaticsHasTheWholeList) {
    Preset custom{"Custom", DisplayProfileCatalog::easyComfortable, 3000, 2000, true};
    EXPECT_EQ(titles(Peer::familyPresets(custom)),
              (std::vector<std::string>{"Custom", "Easy Compact", "Easy Comfortable", "HiDPI 1080", "Max Canvas"}));
    Preset standardCustom{"Wide", DisplayProfileCatalog::fullHD1080, 2000, 1000, false};
    EXPECT_EQ(titles(Peer::familyPresets(standardCustom)), (std::vector<std::string>{"Wide", "1080p", "1440p"}));
}

using HeadlessVirtualDisplayState = HeadlessDisplayTest;

TEST_F(HeadlessVirtualDisplayState, InactiveBeforeAnyDisplay) {
    EXPECT_EQ(hvd().stateSnapshot(), HeadlessVirtualDisplay::StateSnapshot{});
    EXPECT_FALSE(hvd().stateSnapshot().isActive);
    EXPECT_EQ(hvd().summary(), "virtual display inactive");
    EXPECT_TRUE(hvd().registeredPresetsOfLiveDisplay().empty());
}

TEST_F(HeadlessVirtualDisplayState, ObjectWithIdentifierZeroCountsAsInactive) {
    Peer::holdObjectWithoutIdentifier(hvd());
    EXPECT_FALSE(hvd().stateSnapshot().isActive);
    EXPECT_EQ(hvd().summary(), "virtual display inactive");
}

TEST_F(HeadlessVirtualDisplayState, SnapshotAndSummaryDescribeTheLiveDisplay) {
    const uint32_t id = startAndGetID(HeadlessVirtualDisplay::easyPreset());
    ASSERT_NE(id, 0u);
    const auto snapshot = hvd().stateSnapshot();
    EXPECT_TRUE(snapshot.isActive);
    EXPECT_EQ(snapshot.displayID, id);
    EXPECT_EQ(snapshot.x, 1512);  // joined to the right of the built-in panel
    EXPECT_EQ(snapshot.y, 0);
    EXPECT_EQ(snapshot.logicalWidth, 1280);
    EXPECT_EQ(snapshot.logicalHeight, 800);
    EXPECT_EQ(snapshot.pixelWidth, 2560);
    EXPECT_EQ(snapshot.pixelHeight, 1600);
    EXPECT_TRUE(snapshot.isHiDPI);
    EXPECT_EQ(hvd().summary(), "virtual display=" + std::to_string(id) +
                                   " logical=1280x800 px=2560x1600 HiDPI preset=Easy Compact");
    EXPECT_EQ(hvd().registeredPresetsOfLiveDisplay(), Peer::familyPresets(HeadlessVirtualDisplay::easyPreset()));

    hvd().stop(false);
    EXPECT_EQ(hvd().stateSnapshot(), HeadlessVirtualDisplay::StateSnapshot{});
    EXPECT_EQ(hvd().summary(), "virtual display inactive");
}

TEST_F(HeadlessVirtualDisplayState, QueuesCarryTheirLabels) {
    EXPECT_EQ(Peer::eventQueueLabel(hvd()), "com.velantrix.virtualdisplay.events");
    EXPECT_EQ(Peer::activationQueueLabel(hvd()), "com.velantrix.virtualdisplay.preset-activation");
}

}  // namespace
