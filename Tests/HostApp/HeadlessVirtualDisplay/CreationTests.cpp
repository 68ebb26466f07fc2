// Creation through the virtual-display classes, reuse of a live display, the
// failure texts, and teardown with its bounded wait.

#include "HeadlessVirtualDisplayTestSupport.h"

namespace {

using namespace platform;

std::vector<std::string> keys(const ObjCObjectRef& object) {
    std::vector<std::string> out;
    for (const auto& [key, value] : object->assignments()) out.push_back(key);
    return out;
}

int64_t integer(const ObjCValue& v) {
    const auto* i = std::get_if<int64_t>(&v);
    return i ? *i : -1;
}

// (width, height, refresh rate) of each mode object in a settings object.
std::vector<std::tuple<int64_t, int64_t, double>> modeList(const ObjCObjectRef& settings) {
    std::vector<std::tuple<int64_t, int64_t, double>> out;
    const auto value = settings->valueForKey("modes");
    for (const auto& m : std::get<std::vector<ObjCObjectRef>>(value)) {
        out.emplace_back(integer(m->valueForKey("width")), integer(m->valueForKey("height")),
                         std::get<double>(m->valueForKey("refreshRate")));
    }
    return out;
}

using HeadlessVirtualDisplayCreation = HeadlessDisplayTest;

TEST_F(HeadlessVirtualDisplayCreation, MatchingTheBuiltInPanelCreatesTheHiDPIFamily) {
    ASSERT_EQ(start(HeadlessVirtualDisplay::easyPreset()), std::nullopt);
    const uint32_t id = hvd().stateSnapshot().displayID;
    ASSERT_NE(id, 0u);
    EXPECT_TRUE(logContains("[HeadlessVirtualDisplay] created preset display virtual display=" + std::to_string(id) +
                            " logical=1280x800 px=2560x1600 HiDPI preset=Easy Compact"
                            " presets=Easy Compact,Easy Comfortable,HiDPI 1080,Max Canvas"));

    ASSERT_EQ(classes().descriptors().size(), 1u);
    const auto descriptor = classes().descriptors().front();
    EXPECT_EQ(keys(descriptor), (std::vector<std::string>{"name", "maxPixelsWide", "maxPixelsHigh",
                                                          "sizeInMillimeters", "vendorID", "productID", "serialNum",
                                                          "queue"}));
    EXPECT_EQ(std::get<std::string>(descriptor->valueForKey("name")), "Norvessal Presets");
    EXPECT_EQ(integer(descriptor->valueForKey("maxPixelsWide")), 5760);
    EXPECT_EQ(integer(descriptor->valueForKey("maxPixelsHigh")), 3240);
    // The panel's 302 x 196 mm over 3024 x 1964 pixels, scaled to 2880 x 1620 points.
    const auto size = std::get<CGSize>(descriptor->valueForKey("sizeInMillimeters"));
    EXPECT_NEAR(size.width, 302.0 * 2880 / 3024, 1e-9);
    EXPECT_NEAR(size.height, 196.0 * 1620 / 1964, 1e-9);
    EXPECT_EQ(integer(descriptor->valueForKey("vendorID")), ('Q' << 16) | ('V' << 8) | 'R');
    EXPECT_EQ(integer(descriptor->valueForKey("productID")), 0x484456);
    // Letter, HiDPI bit, width clamped to 4095 and height, ORed together.
    const auto serial = static_cast<uint32_t>(integer(descriptor->valueForKey("serialNum")));
    EXPECT_TRUE(serial >> 24 >= 'A' && serial >> 24 <= 'Z');
    EXPECT_EQ(serial & 0xFFFFFF, (1u << 23) | (4095u << 12) | 3240u);
    EXPECT_TRUE(Peer::isEventQueue(hvd(), std::get<DispatchQueue>(descriptor->valueForKey("queue"))));

    ASSERT_EQ(classes().appliedSettings().size(), 1u);
    const auto settings = classes().appliedSettings().front();
    EXPECT_EQ(integer(settings->valueForKey("hiDPI")), 1);
    // The panel refreshes at 120 Hz, so every preset gets a 120 and a 60 Hz mode.
    using M = std::tuple<int64_t, int64_t, double>;
    EXPECT_EQ(modeList(settings), (std::vector<M>{{1280, 800, 120}, {1280, 800, 60}, {1600, 900, 120}, {1600, 900, 60},
                                                  {1920, 1080, 120}, {1920, 1080, 60}, {2880, 1620, 120},
                                                  {2880, 1620, 60}}));

    const auto shown = displays().display(id);
    ASSERT_TRUE(shown);
    EXPECT_EQ(shown->vendorNumber, 0x515652u);
    EXPECT_EQ(shown->modelNumber, 0x484456u);
}

TEST_F(HeadlessVirtualDisplayCreation, StandardFamilyWithoutMatchingDisplay) {
    ASSERT_EQ(start(HeadlessVirtualDisplay::standard1440Preset(), 0), std::nullopt);
    const auto descriptor = classes().descriptors().front();
    EXPECT_EQ(integer(descriptor->valueForKey("maxPixelsWide")), 2560);
    EXPECT_EQ(integer(descriptor->valueForKey("maxPixelsHigh")), 1440);
    // No HiDPI flag, yet a width of 2560 reaches into bit 23 on its own.
    const auto serial = static_cast<uint32_t>(integer(descriptor->valueForKey("serialNum")));
    EXPECT_EQ(serial & 0xFFFFFF, (2560u << 12) | 1440u);
    EXPECT_EQ(serial >> 24, Peer::descriptorSerialNumber(16, 16, true) >> 24);
    const auto size = std::get<CGSize>(descriptor->valueForKey("sizeInMillimeters"));
    EXPECT_NEAR(size.width, 2560 * 25.4 / 110, 1e-9);
    EXPECT_NEAR(size.height, 1440 * 25.4 / 110, 1e-9);
    const auto settings = classes().appliedSettings().front();
    EXPECT_EQ(integer(settings->valueForKey("hiDPI")), 0);
    using M = std::tuple<int64_t, int64_t, double>;
    EXPECT_EQ(modeList(settings), (std::vector<M>{{2560, 1440, 60}, {1920, 1080, 60}}));
    EXPECT_TRUE(logContains("presets=1440p,1080p"));
}

TEST_F(HeadlessVirtualDisplayCreation, HiDPIFamilyWithoutMatchingDisplayUsesTheFallbackDensity) {
    ASSERT_EQ(start(HeadlessVirtualDisplay::easyPreset(), 0), std::nullopt);
    const auto size = std::get<CGSize>(classes().descriptors().front()->valueForKey("sizeInMillimeters"));
    EXPECT_NEAR(size.width, 665.0, 0.5);
    EXPECT_NEAR(size.height, 374.0, 0.5);
    EXPECT_EQ(modeList(classes().appliedSettings().front()).size(), 4u);  // 60 Hz only
}

TEST(HeadlessVirtualDisplaySerialNumber, FieldsAreOredTogether) {
    const uint32_t hi = Peer::descriptorSerialNumber(5760, 3240, true);
    const uint32_t letter = hi >> 24;
    EXPECT_GE(letter, uint32_t{'A'});
    EXPECT_LE(letter, uint32_t{'Z'});
    EXPECT_EQ((hi >> 12) & 0xFFF, 4095u);
    EXPECT_EQ(hi & 0xFFF, 3240u);
    EXPECT_NE(hi & (1u << 23), 0u);
    // A clamped width of 4095 fills bit 23 whatever the flag.
    EXPECT_EQ(Peer::descriptorSerialNumber(5760, 3240, false), hi);

    const uint32_t standard = Peer::descriptorSerialNumber(1920, 1080, false);
    EXPECT_EQ(standard >> 24, letter);  // the same letter for every display
    EXPECT_EQ(standard & (1u << 23), 0u);
    EXPECT_EQ((standard >> 12) & 0x7FF, 1920u);
    EXPECT_EQ(standard & 0xFFF, 1080u);
    EXPECT_NE(Peer::descriptorSerialNumber(1920, 1080, true), standard);
    EXPECT_NE(Peer::descriptorSerialNumber(2048, 16, false) & (1u << 23), 0u);
    EXPECT_EQ(Peer::descriptorSerialNumber(-5, -5, false) & 0xFFFFFF, 0u);
}

using HeadlessVirtualDisplayRefreshRates = HeadlessDisplayTest;

TEST_F(HeadlessVirtualDisplayRefreshRates, MatchingRateFirstThenSixtyUnlessTooClose) {
    EXPECT_EQ(Peer::preferredRefreshRates(0), (std::vector<double>{60}));
    EXPECT_EQ(Peer::preferredRefreshRates(1), (std::vector<double>{120, 60}));
    EXPECT_EQ(Peer::preferredRefreshRates(99), (std::vector<double>{60}));  // unknown display

    auto monitor = SimulatedDisplaySystem::plainMonitor(4, 1920, 1080, 1512, 0);
    monitor.currentMode->refreshRate = 59.94;
    displays().addDisplay(monitor);
    EXPECT_EQ(Peer::preferredRefreshRates(4), (std::vector<double>{59.94}));
    displays().updateDisplay(4, [](SimulatedDisplay& d) { d.currentMode->refreshRate = 60.6; });
    EXPECT_EQ(Peer::preferredRefreshRates(4), (std::vector<double>{60.6, 60}));
    displays().updateDisplay(4, [](SimulatedDisplay& d) { d.currentMode->refreshRate = 0; });
    EXPECT_EQ(Peer::preferredRefreshRates(4), (std::vector<double>{60}));
}

TEST_F(HeadlessVirtualDisplayRefreshRates, MatchingRefreshRateGivesOneModePerPreset) {
    auto monitor = SimulatedDisplaySystem::plainMonitor(4, 1920, 1080, 1512, 0);
    monitor.currentMode->refreshRate = 59.94;
    displays().addDisplay(monitor);
    ASSERT_EQ(start(HeadlessVirtualDisplay::easyPreset(), 4), std::nullopt);
    for (const auto& [w, h, hz] : modeList(classes().appliedSettings().front())) EXPECT_EQ(hz, 59.94);
}

TEST_F(HeadlessVirtualDisplayRefreshRates, PhysicalSizeNeedsAUsableMatchingDisplay) {
    EXPECT_EQ(Peer::scaledPhysicalSize(1000, 500, 0), std::nullopt);
    EXPECT_EQ(Peer::scaledPhysicalSize(1000, 500, 99), std::nullopt);
    auto monitor = SimulatedDisplaySystem::plainMonitor(4, 2000, 1000, 1512, 0);
    monitor.physicalSizeMM = {400, 10};  // not above 10 mm in both directions
    displays().addDisplay(monitor);
    EXPECT_EQ(Peer::scaledPhysicalSize(1000, 500, 4), std::nullopt);
    // A mode without pixel sizes falls back to the rounded bounds.
    displays().updateDisplay(4, [](SimulatedDisplay& d) {
        d.physicalSizeMM = {400, 200};
        d.currentMode->pixelWidth = 0;
        d.currentMode->pixelHeight = 0;
        d.bounds.width = 1999.5;
    });
    const auto size = Peer::scaledPhysicalSize(1000, 500, 4);
    ASSERT_TRUE(size);
    EXPECT_NEAR(size->width, 400.0 * 1000 / 2000, 1e-9);
    EXPECT_NEAR(size->height, 200.0 * 500 / 1000, 1e-9);
}

// --- Reuse and replacement ---

TEST_F(HeadlessVirtualDisplayCreation, PresetOfTheSameFamilyReusesTheDisplay) {
    const uint32_t id = startAndGetID(HeadlessVirtualDisplay::easyPreset());
    ASSERT_NE(id, 0u);
    log->clear();
    ASSERT_EQ(start(HeadlessVirtualDisplay::easyComfortablePreset()), std::nullopt);
    EXPECT_EQ(classes().displaysCreated(), 1u);
    EXPECT_EQ(hvd().stateSnapshot().displayID, id);
    EXPECT_FALSE(logContains("stopping display"));
    EXPECT_EQ(hvd().presetReadiness(HeadlessVirtualDisplay::easyComfortablePreset()), Readiness::pending);
    advance(0.5);
    EXPECT_EQ(hvd().presetReadiness(HeadlessVirtualDisplay::easyComfortablePreset()), Readiness::ready);
    EXPECT_TRUE(logContains("[HeadlessVirtualDisplay] preferred preset ready Easy Comfortable logical=1600x900 "
                            "px=3200x1800 HiDPI display=" + std::to_string(id)));
}

TEST_F(HeadlessVirtualDisplayCreation, PresetOfTheOtherFamilyReplacesTheDisplay) {
    const uint32_t first = startAndGetID(HeadlessVirtualDisplay::easyPreset());
    ASSERT_NE(first, 0u);
    classes().setRemovalDelay(0.5);
    const double before = now();
    ASSERT_EQ(start(HeadlessVirtualDisplay::standard1080Preset()), std::nullopt);
    EXPECT_GE(elapsedSince(before), 0.5);  // waited for the old display to leave
    EXPECT_TRUE(logContains("[HeadlessVirtualDisplay] stopping display=" + std::to_string(first)));
    EXPECT_FALSE(displays().display(first));
    EXPECT_EQ(classes().displaysCreated(), 2u);
    const auto snapshot = hvd().stateSnapshot();
    EXPECT_NE(snapshot.displayID, first);
    EXPECT_EQ(snapshot.logicalWidth, 1920);
    EXPECT_FALSE(snapshot.isHiDPI);
    EXPECT_EQ(hvd().registeredPresetsOfLiveDisplay(), HeadlessVirtualDisplay::standardPresets());
}

TEST_F(HeadlessVirtualDisplayCreation, ModesArrivingLateCreateAPendingDisplay) {
    classes().setModesAppearAfter(1.0);
    const uint32_t id = startAndGetID(HeadlessVirtualDisplay::easyPreset());
    ASSERT_NE(id, 0u);
    EXPECT_TRUE(logContains("[HeadlessVirtualDisplay] created pending virtual display=" + std::to_string(id) +
                            " logical=1280x800 px=2560x1600 HiDPI preset=Easy Compact presets=Easy Compact,"));
    // Until the window server reports a mode the preset's own sizes stand in.
    EXPECT_EQ(hvd().stateSnapshot().pixelWidth, 2560);
    EXPECT_EQ(hvd().presetReadiness(HeadlessVirtualDisplay::easyPreset()), Readiness::pending);
}

// --- Failures ---

struct FailureCase {
    const char* name;
    std::function<void(SimulatedVirtualDisplayClasses&)> inject;
    std::string expected;
};

class HeadlessVirtualDisplayCreationFailure : public HeadlessDisplayTest,
                                              public ::testing::WithParamInterface<FailureCase> {};

TEST_P(HeadlessVirtualDisplayCreationFailure, ReturnsItsTextAndLeavesNoDisplay) {
    GetParam().inject(classes());
    EXPECT_EQ(start(HeadlessVirtualDisplay::easyPreset()), GetParam().expected);
    EXPECT_FALSE(hvd().stateSnapshot().isActive);
    EXPECT_EQ(hvd().summary(), "virtual display inactive");
    EXPECT_FALSE(logContains("created"));
    // A display made before the failure is detached again.
    advance(1.0);
    EXPECT_EQ(displays().displayIDs(), (std::vector<CGDirectDisplayID>{1}));
    EXPECT_TRUE(classes().attachedDisplayIDs().empty());
}

VirtualDisplayClassFaults faults(bool VirtualDisplayClassFaults::*field) {
    VirtualDisplayClassFaults f;
    f.*field = true;
    return f;
}

std::function<void(SimulatedVirtualDisplayClasses&)> fault(bool VirtualDisplayClassFaults::*field) {
    return [field](SimulatedVirtualDisplayClasses& c) { c.setFaults(faults(field)); };
}

std::function<void(SimulatedVirtualDisplayClasses&)> absent(const char* name) {
    return [name](SimulatedVirtualDisplayClasses& c) { c.setClassPresent(name, false); };
}

INSTANTIATE_TEST_SUITE_P(
    EveryStep, HeadlessVirtualDisplayCreationFailure,
    ::testing::Values(
        FailureCase{"NoDescriptorClass", absent("CGVirtualDisplayDescriptor"), "CGVirtualDisplay private SPI unavailable"},
        FailureCase{"NoSettingsClass", absent("CGVirtualDisplaySettings"), "CGVirtualDisplay private SPI unavailable"},
        FailureCase{"NoModeClass", absent("CGVirtualDisplayMode"), "CGVirtualDisplay private SPI unavailable"},
        FailureCase{"NoDisplayClass", absent("CGVirtualDisplay"), "CGVirtualDisplay private SPI unavailable"},
        FailureCase{"DisplayInitMissing", fault(&VirtualDisplayClassFaults::displayInitMissing),
                    "CGVirtualDisplay init unavailable"},
        FailureCase{"DisplayAllocationFails", fault(&VirtualDisplayClassFaults::displayAllocationFails),
                    "CGVirtualDisplay init unavailable"},
        FailureCase{"DisplayInitReturnsNil", fault(&VirtualDisplayClassFaults::displayInitReturnsNil),
                    "CGVirtualDisplay init failed"},
        FailureCase{"ModeInitMissing", fault(&VirtualDisplayClassFaults::modeInitMissing),
                    "CGVirtualDisplayMode init unavailable"},
        FailureCase{"ModeAllocationFails", fault(&VirtualDisplayClassFaults::modeAllocationFails),
                    "CGVirtualDisplayMode allocation failed"},
        FailureCase{"ModeInitReturnsNil", fault(&VirtualDisplayClassFaults::modeInitReturnsNil),
                    "CGVirtualDisplayMode init failed"},
        FailureCase{"ApplySettingsMissing", fault(&VirtualDisplayClassFaults::applySettingsMissing),
                    "CGVirtualDisplay applySettings unavailable"},
        FailureCase{"SettingsRejected", fault(&VirtualDisplayClassFaults::applySettingsRejects),
                    "CGVirtualDisplay rejected preset display [Easy Compact, Easy Comfortable, HiDPI 1080, Max Canvas]"},
        FailureCase{"DisplayIDZero", fault(&VirtualDisplayClassFaults::displayIDZero),
                    "CGVirtualDisplay returned displayID 0"},
        FailureCase{"DisplayIDMissing", fault(&VirtualDisplayClassFaults::displayIDMissing),
                    "CGVirtualDisplay returned displayID 0"}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST_F(HeadlessVirtualDisplayCreation, FailedReplacementLeavesNoDisplay) {
    ASSERT_NE(startAndGetID(HeadlessVirtualDisplay::easyPreset()), 0u);
    classes().setFaults(faults(&VirtualDisplayClassFaults::applySettingsRejects));
    EXPECT_EQ(start(HeadlessVirtualDisplay::standard1080Preset()),
              "CGVirtualDisplay rejected preset display [1080p, 1440p]");
    EXPECT_FALSE(hvd().stateSnapshot().isActive);
}

// --- Teardown ---

using HeadlessVirtualDisplayTeardown = HeadlessDisplayTest;

TEST_F(HeadlessVirtualDisplayTeardown, WaitEndsWhenTheDisplayHasGone) {
    const uint32_t id = startAndGetID(HeadlessVirtualDisplay::easyPreset());
    classes().setRemovalDelay(0.5);
    const double before = now();
    hvd().stop(true);
    const double waited = elapsedSince(before);
    EXPECT_GE(waited, 0.5);
    EXPECT_LE(waited, 0.5 + 0.17);
    EXPECT_FALSE(displays().display(id));
    EXPECT_TRUE(logContains("[HeadlessVirtualDisplay] stopping display=" + std::to_string(id)));
    EXPECT_EQ(hvd().stateSnapshot(), HeadlessVirtualDisplay::StateSnapshot{});
}

TEST_F(HeadlessVirtualDisplayTeardown, WaitGivesUpAfterItsBound) {
    const uint32_t id = startAndGetID(HeadlessVirtualDisplay::easyPreset());
    classes().setRemovalDelay(60);
    const double before = now();
    hvd().stop(true);
    const double waited = elapsedSince(before);
    EXPECT_GE(waited, 2.4);
    EXPECT_LE(waited, 2.4 + 0.17);
    EXPECT_TRUE(displays().display(id));  // still listed: the wait only bounds the caller
}

TEST_F(HeadlessVirtualDisplayTeardown, WithoutWaitReturnsAtOnce) {
    const uint32_t id = startAndGetID(HeadlessVirtualDisplay::easyPreset());
    const double before = now();
    hvd().stop(false);
    EXPECT_EQ(elapsedSince(before), 0);
    EXPECT_FALSE(hvd().stateSnapshot().isActive);
    advance(1.0);
    EXPECT_FALSE(displays().display(id));
}

TEST_F(HeadlessVirtualDisplayTeardown, NothingToStopWritesNothingAndDoesNotWait) {
    const double before = now();
    hvd().stop(true);
    EXPECT_EQ(elapsedSince(before), 0);
    EXPECT_FALSE(logContains("stopping"));
}

}  // namespace
