#include <gtest/gtest.h>

#include "DisplayTestSupport.h"
#include "HostApp/Display/DisplayDiagnostics.h"

using namespace platform;
using Switcher = HostDisplayModeSwitcher;

namespace {

DisplayLayoutPayload layout(uint32_t id, int64_t tx, int64_t ty, int64_t tw, int64_t th, int64_t ux, int64_t uy,
                            int64_t uw, int64_t uh, int64_t pw, int64_t ph, uint8_t flags) {
    DisplayLayoutPayload p;
    p.displayID = id;
    p.targetX = tx;
    p.targetY = ty;
    p.targetWidth = tw;
    p.targetHeight = th;
    p.unionX = ux;
    p.unionY = uy;
    p.unionWidth = uw;
    p.unionHeight = uh;
    p.pixelWidth = pw;
    p.pixelHeight = ph;
    p.flags = flags;
    return p;
}

const char* kExternalEntry =
    "  display 2 bounds 2560x1440@1512,0 current 2560x1440[px 2560x1440] 60Hz id=100 flags=7\n"
    "    modes: 2560x1440[px 2560x1440] 60Hz, 2560x1440[px 2560x1440] 50Hz, 1920x1080[px 1920x1080] 60Hz, "
    "1920x1080[px 1920x1080] 50Hz, 1280x720[px 2560x1440] 60Hz HiDPI, 1600x900[px 1600x900] 60Hz, "
    "1280x720[px 1280x720] 60Hz, 1024x768[px 1024x768] 60Hz";
const char* kPanelTitle = "display 1 main bounds 1512x982@0,0 current 1512x982[px 3024x1964] 120Hz HiDPI id=1 flags=7";

}  // namespace

using DisplayLayout = DisplayTest;

TEST_F(DisplayLayout, TwoDisplaysSideBySide) {
    displays().setDisplays({SimulatedDisplaySystem::plainMonitor(1, 1920, 1080, 0, 0),
                            SimulatedDisplaySystem::plainMonitor(2, 2560, 1440, 1920, 0)});
    EXPECT_EQ(Switcher::displayLayout(1), layout(1, 0, 0, 1920, 1080, 0, 0, 4480, 1440, 1920, 1080, 0));
    EXPECT_EQ(Switcher::displayLayout(2), layout(2, 1920, 0, 2560, 1440, 0, 0, 4480, 1440, 2560, 1440, 0));
}

TEST_F(DisplayLayout, DisplaysLeftOfAndAboveTheMainDisplay) {
    displays().setDisplays({SimulatedDisplaySystem::builtInPanel(1),
                            SimulatedDisplaySystem::external1440(2, -2560, -458)});
    EXPECT_EQ(Switcher::displayLayout(1), layout(1, 0, 0, 1512, 982, -2560, -458, 4072, 1440, 3024, 1964, 1));
}

TEST_F(DisplayLayout, SingleDisplayUsesTheModeSizeForTheUnion) {
    displays().updateDisplay(1, [](SimulatedDisplay& d) { d.bounds = {-200, 30, 1000, 700}; });
    EXPECT_EQ(Switcher::displayLayout(1), layout(1, -200, 30, 1512, 982, -200, 30, 1512, 982, 3024, 1964, 1));
}

TEST_F(DisplayLayout, DisplayWithoutModeUsesItsRoundedBounds) {
    displays().updateDisplay(1, [](SimulatedDisplay& d) {
        d.currentMode.reset();
        d.bounds = {0.4, -0.5, 1439.6, 899.5};
    });
    EXPECT_EQ(Switcher::displayLayout(1), layout(1, 0, -1, 1440, 900, 0, -1, 1440, 900, 1440, 900, 0));
}

TEST_F(DisplayLayout, GoneOrEmptyDisplayHasNoLayout) {
    EXPECT_FALSE(Switcher::displayLayout(77).has_value());
    displays().updateDisplay(1, [](SimulatedDisplay& d) { d.bounds.height = 0; });
    EXPECT_FALSE(Switcher::displayLayout(1).has_value());
}

// --- Texts -------------------------------------------------------------------------

using DisplayTexts = DisplayTest;

TEST_F(DisplayTexts, ModeDescriptions) {
    EXPECT_EQ(Switcher::modeDescription(current(1)), "1512x982[px 3024x1964] 120Hz HiDPI id=1 flags=7");
    EXPECT_EQ(Switcher::modeDescription(CGDisplayMode{640, 480, 640, 480, 59.94, false, 25, 1}),
              "640x480[px 640x480] 60Hz notDesktop id=25 flags=1");
    // No pixel size: the logical size stands in; no rate: no "Hz".
    EXPECT_EQ(Switcher::modeDescription(CGDisplayMode{1024, 768, 0, -1, 0, true, -5, 0}),
              "1024x768[px 1024x768] id=-5 flags=0");
    // Exactly 1.25 times is not HiDPI.
    EXPECT_EQ(Switcher::modeDescription(CGDisplayMode{1000, 800, 1250, 1000, 60, true, 3, 2}),
              "1000x800[px 1250x1000] 60Hz id=3 flags=2");
    EXPECT_FALSE(Switcher::isHiDPI(CGDisplayMode{0, 0, 100, 100, 60, true, 1, 0}));
}

TEST_F(DisplayTexts, BoundsAreRoundedHalfAwayFromZero) {
    displays().updateDisplay(1, [](SimulatedDisplay& d) { d.bounds = {-0.5, 10.5, 1919.5, 1080.4}; });
    EXPECT_EQ(Switcher::boundsDescription(1), "1920x1080@-1,11");
    EXPECT_EQ(Switcher::boundsDescription(99), "0x0@0,0");
}

TEST_F(DisplayTexts, ModeListDropsRepeatsAndStopsAtThirtyTwo) {
    const std::vector<CGDisplayMode> repeated{plain(1920, 1080, 60, 1), scaled(1280, 720, 60, 2),
                                              plain(1920, 1080, 60, 3)};
    EXPECT_EQ(Switcher::displayModeListDescription(repeated),
              "1920x1080[px 1920x1080] 60Hz, 1280x720[px 2560x1440] 60Hz HiDPI");
    EXPECT_EQ(Switcher::displayModeListDescription({}), "");

    std::vector<CGDisplayMode> many;
    for (int i = 0; i < 40; ++i) many.push_back(plain(800 + i, 600, 60, i + 1));
    const std::string text = Switcher::displayModeListDescription(many);
    EXPECT_EQ(occurrences(text, ", "), 31u);
    EXPECT_NE(text.find("831x600"), std::string::npos);
    EXPECT_EQ(text.find("832x600"), std::string::npos);
}

TEST_F(DisplayTexts, DiagnosticsListDisplaysLargestFirst) {
    displays().configureBuiltInWithExternal1440();
    EXPECT_EQ(Switcher::displayDiagnostics(), std::string("Displays:\n") + kExternalEntry + "\n  " + kPanelTitle +
                                                  "\n    modes: " +
                                                  Switcher::displayModeListDescription(Switcher::candidateModes(1)));
    displays().configureHeadless();
    EXPECT_EQ(Switcher::displayDiagnostics(), "Displays: none");
}

TEST_F(DisplayTexts, SelectionOptionsNameEachDisplay) {
    displays().configureBuiltInWithExternal1440();
    displays().updateDisplay(2, [](SimulatedDisplay& d) { d.currentMode.reset(); });
    auto options = Switcher::displaySelectionOptions();
    ASSERT_EQ(options.size(), 2u);
    EXPECT_EQ(options[0], (DisplaySelectionOption{2, "display 2 bounds 2560x1440@1512,0 current unknown"}));
    EXPECT_EQ(options[1], (DisplaySelectionOption{1, kPanelTitle}));
}

TEST_F(DisplayTexts, HeadlessTargetSummaries) {
    EXPECT_EQ((HeadlessVirtualDisplayTarget{1512, 982, 2}.summary()), "logical=1512x982 @2x px=3024x1964 HiDPI");
    EXPECT_EQ((HeadlessVirtualDisplayTarget{1920, 1080, 1}.summary()), "logical=1920x1080 px=1920x1080");
    const auto comfortable = HeadlessVirtualDisplayTarget::forResolution(DisplayProfileCatalog::easyComfortable);
    EXPECT_EQ(comfortable.summary(), "logical=1600x900 @2x px=3200x1800 HiDPI");
    // Whole pixels per point only, and never below 1.
    ResolutionProfile odd = DisplayProfileCatalog::fullHD1080;
    odd.pixelWidth = 3000;
    EXPECT_EQ(HeadlessVirtualDisplayTarget::forResolution(odd).scale, 1);
    odd.logicalWidth = 0;
    EXPECT_EQ(HeadlessVirtualDisplayTarget::forResolution(odd).scale, 3000);
    odd.pixelWidth = 0;
    EXPECT_EQ(HeadlessVirtualDisplayTarget::forResolution(odd).scale, 1);
}

TEST_F(DisplayTexts, ServerSelectionReport) {
    DisplaySelectionState real;
    real.selectedDisplayID = 1;
    EXPECT_EQ(displaySelectionReport(real), "Selected display: 1 (auto; backend real display; switch fallback on)\n" +
                                                Switcher::displayDiagnostics());

    DisplaySelectionState headless;
    headless.displaySelectionIsManual = true;
    headless.useHeadlessVirtualDisplay = true;
    headless.headlessDisplayIsActive = true;
    headless.virtualTemplate = {1512, 982, 2};
    headless.virtualActualSummary = "virtual display 9 live";
    headless.physicalDisplayID = 1;
    EXPECT_EQ(displaySelectionReport(headless),
              "Selected display: 0 (manual; backend headless virtual active; switch fallback off)\n"
              "Virtual template: logical=1512x982 @2x px=3024x1964 HiDPI\nVirtual actual: virtual display 9 live\n"
              "Physical display: 1\n" +
                  Switcher::displayDiagnostics());

    headless.headlessDisplayIsActive = false;
    displays().configureHeadless();
    const std::string text = displaySelectionReport(headless);
    EXPECT_NE(text.find("backend headless virtual requested (fallback active);"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 15), "\nDisplays: none");
}
