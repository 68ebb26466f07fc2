#include <gtest/gtest.h>

#include "DisplayTestSupport.h"
#include "Platform/Runtime/Clock.h"

using namespace platform;
using Switcher = HostDisplayModeSwitcher;

namespace {

class ModeSwitch : public DisplayTest {
protected:
    Switcher::SwitchResult switchTo(VideoCaptureMode mode, std::optional<uint32_t> preferred = std::nullopt,
                                    bool allowFallback = true) {
        const DisplayModeTarget t = Switcher::displayModeTarget(mode);
        return Switcher::switchDisplayMode(t.logicalWidth, t.logicalHeight, t.pixelWidth, t.pixelHeight,
                                           t.preferHiDPI, false, t.requireExactMatch, preferred, allowFallback);
    }

    // The switch lands on a mode: its logical and pixel size and refresh rate.
    void expectLanded(const Switcher::SwitchResult& r, uint32_t display, int w, int h, int pw, int ph, double hz) {
        ASSERT_TRUE(r.isSuccess()) << r.message();
        EXPECT_EQ(r.geometry().displayID, display);
        EXPECT_EQ(r.geometry().logicalWidth, w);
        EXPECT_EQ(r.geometry().logicalHeight, h);
        EXPECT_EQ(r.geometry().pixelWidth, pw);
        EXPECT_EQ(r.geometry().pixelHeight, ph);
        EXPECT_EQ(r.geometry().refreshRate, hz);
        const CGDisplayMode now = current(display);
        EXPECT_EQ(now.width, w);
        EXPECT_EQ(now.pixelWidth, pw);
        EXPECT_EQ(now.refreshRate, hz);
    }

    double virtualSeconds() { return Clock::uptimeSeconds(); }
};

}  // namespace

// --- Choosing a mode ----------------------------------------------------------------

TEST_F(ModeSwitch, CatalogueTargetsOnTheBuiltInPanel) {
    displays().configureBuiltInWithExternal1440();
    // The main display (the panel) is tried first. Of each size the 120 Hz
    // variant wins through the refresh penalty.
    expectLanded(switchTo(VideoCaptureMode::physical1080), 1, 1920, 1080, 1920, 1080, 120);
    expectLanded(switchTo(VideoCaptureMode::physical1440), 1, 2560, 1440, 2560, 1440, 120);
    expectLanded(switchTo(VideoCaptureMode::easy), 1, 1280, 800, 2560, 1600, 120);
    expectLanded(switchTo(VideoCaptureMode::pro), 1, 1920, 1080, 3840, 2160, 120);
    // Max's canvas is larger than any mode: the nearest scaled 16:9 mode.
    expectLanded(switchTo(VideoCaptureMode::max), 1, 1920, 1080, 3840, 2160, 120);
}

TEST_F(ModeSwitch, CatalogueTargetsOnTheExternalMonitor) {
    displays().configureBuiltInWithExternal1440();
    // 60 Hz beats 50 Hz of the same size.
    expectLanded(switchTo(VideoCaptureMode::physical1080, 2, false), 2, 1920, 1080, 1920, 1080, 60);
    // No 16:10 mode: all modes are ranked and the scaled 1280x720 is nearest.
    expectLanded(switchTo(VideoCaptureMode::easy, 2, false), 2, 1280, 720, 2560, 1440, 60);
    // The only scaled mode is 1000 points away, so the plain 1920x1080 wins
    // despite the HiDPI penalty.
    expectLanded(switchTo(VideoCaptureMode::pro, 2, false), 2, 1920, 1080, 1920, 1080, 60);
    expectLanded(switchTo(VideoCaptureMode::max, 2, false), 2, 2560, 1440, 2560, 1440, 60);
    // The panel was never touched.
    EXPECT_EQ(current(1).ioDisplayModeID, 1);
}

TEST_F(ModeSwitch, EqualScoresTryTheLargerPixelWidthFirst) {
    SimulatedDisplay d = SimulatedDisplaySystem::plainMonitor(4, 1024, 768, 0, 0);
    d.modes = {plain(1600, 900, 60, 1), plain(2240, 1260, 60, 2), plain(1024, 768, 60, 3)};
    d.currentMode = d.modes[2];
    displays().setDisplays({d});
    // Both are 500 points from the target; without a pixel target nothing
    // passes the aspect filter and all modes are ranked.
    auto r = Switcher::switchDisplayMode(1920, 1080, 0, 0, false, false, false, std::nullopt, true);
    expectLanded(r, 4, 2240, 1260, 2240, 1260, 60);
    EXPECT_TRUE(logContains("[NorvessalHost] display switch try display=4 target=1920x1080 px=0x0 preferHiDPI=false "
                            "-> point=2240x1260 pixel=2240x1260 id=2"));
    EXPECT_FALSE(logContains("-> point=1600x900"));
}

TEST_F(ModeSwitch, RefreshPenaltyFavoursFasterModesUpTo240Hz) {
    SimulatedDisplay d = SimulatedDisplaySystem::plainMonitor(4, 1024, 768, 0, 0);
    d.modes = {plain(1920, 1080, 50, 1), plain(1920, 1080, 59, 2), plain(1920, 1080, 0, 3),
               plain(1920, 1080, 144, 4), plain(1024, 768, 60, 5)};
    d.currentMode = d.modes[4];
    displays().setDisplays({d});
    auto r = Switcher::switchDisplayMode(1920, 1080, 1920, 1080, false, false, false, std::nullopt, true);
    expectLanded(r, 4, 1920, 1080, 1920, 1080, 144);

    // A rate of 0 counts as 60 Hz and so beats 59 Hz; above 240 Hz there is
    // nothing more to gain and the list order decides.
    d.modes = {plain(1920, 1080, 50, 1), plain(1920, 1080, 59, 2), plain(1920, 1080, 0, 3), plain(1024, 768, 60, 5)};
    displays().setDisplays({d});
    expectLanded(Switcher::switchDisplayMode(1920, 1080, 1920, 1080, false, false, false, std::nullopt, true), 4, 1920,
                 1080, 1920, 1080, 0);
    d.modes = {plain(1920, 1080, 240, 1), plain(1920, 1080, 360, 2), plain(1024, 768, 60, 5)};
    d.currentMode = d.modes[2];
    displays().setDisplays({d});
    expectLanded(Switcher::switchDisplayMode(1920, 1080, 1920, 1080, false, false, false, std::nullopt, true), 4, 1920,
                 1080, 1920, 1080, 240);
}

TEST_F(ModeSwitch, RequireHiDPIKeepsOnlyScaledModes) {
    displays().configureBuiltInWithExternal1440();
    auto r = Switcher::switchDisplayMode(1920, 1080, 1920, 1080, false, true, false, 2, false);
    expectLanded(r, 2, 1280, 720, 2560, 1440, 60);
}

TEST_F(ModeSwitch, ModeAlreadyCurrentSucceedsWithoutSavingAnOriginal) {
    auto r = Switcher::switchDisplayMode(1512, 982, 3024, 1964, true, false, false, std::nullopt, true);
    expectLanded(r, 1, 1512, 982, 3024, 1964, 120);
    EXPECT_EQ(savedCount(), 0u);
    EXPECT_TRUE(displays().appliedChanges().empty());
}

TEST_F(ModeSwitch, FallsThroughToTheNextDisplayWhenOneHasNoModes) {
    displays().configureBuiltInWithExternal1440();
    displays().setModeListUnavailable(1, true);
    expectLanded(switchTo(VideoCaptureMode::physical1440), 2, 2560, 1440, 2560, 1440, 60);
}

TEST_F(ModeSwitch, SlowModeSettlesWithinTheWait) {
    DisplayConfigurationBehaviour slow;
    slow.settleDelaySeconds = 1.0;
    displays().setBehaviour(1, slow);
    const double start = virtualSeconds();
    expectLanded(switchTo(VideoCaptureMode::physical1080), 1, 1920, 1080, 1920, 1080, 120);
    EXPECT_GE(virtualSeconds() - start, 1.0);
    EXPECT_LT(virtualSeconds() - start, 1.2);
}

// --- Failure texts -------------------------------------------------------------------

TEST_F(ModeSwitch, NoActiveDisplays) {
    displays().configureHeadless();
    auto r = switchTo(VideoCaptureMode::physical1080, 5, false);
    ASSERT_FALSE(r.isSuccess());
    EXPECT_EQ(r.message(), "Host has no active displays");

    // With fallback the main display ID is still tried.
    r = switchTo(VideoCaptureMode::physical1080);
    ASSERT_FALSE(r.isSuccess());
    EXPECT_EQ(r.message(),
              "no active display switched to logical 1920x1080 / pixel 1920x1080; display 0 has no switchable modes");
}

TEST_F(ModeSwitch, PreferredDisplayThatIsNotActiveWithoutFallback) {
    auto r = switchTo(VideoCaptureMode::physical1080, 9, false);
    ASSERT_FALSE(r.isSuccess());
    EXPECT_EQ(r.message(), "Host has no active displays");
}

TEST_F(ModeSwitch, NoCandidateQuotesTheWholeModeList) {
    auto r = Switcher::switchDisplayMode(1000, 1000, 0, 0, false, true, true, 1, false);
    ASSERT_FALSE(r.isSuccess());
    EXPECT_EQ(r.message(), "no active display switched to logical 1000x1000 / pixel 0x0 (exact required); display 1 "
                           "bounds 1512x982@0,0 has no exact HiDPI candidate for logical 1000x1000 / pixel 0x0; modes: " +
                               Switcher::displayModeListDescription(Switcher::candidateModes(1)));
    EXPECT_NE(r.message().find("640x480[px 640x480] 60Hz notDesktop"), std::string::npos);
}

TEST_F(ModeSwitch, RejectedCandidatesQuoteAtMostEightAttempts) {
    DisplayConfigurationBehaviour refusing;
    refusing.configureError = kCGErrorIllegalArgument;
    displays().setBehaviour(1, refusing);
    // No pixel target: every usable mode is a candidate, 12 are tried.
    auto r = Switcher::switchDisplayMode(1920, 1080, 0, 0, false, false, false, 1, false);
    ASSERT_FALSE(r.isSuccess());
    const std::string& m = r.message();
    EXPECT_EQ(m.rfind("no active display switched to logical 1920x1080 / pixel 0x0; display 1 rejected candidates: "
                      "1920x1080[px 1920x1080] CG 1001, 1920x1080[px 1920x1080] CG 1001, ",
                      0),
              0u)
        << m;
    EXPECT_EQ(occurrences(m, "] CG 1001"), 8u);
    EXPECT_EQ(occurrences(allLog(), "display switch try display=1 "), 12u);
    // Nothing was applied, so the display keeps its mode; the original stays
    // saved until a caller restores it.
    EXPECT_EQ(current(1).ioDisplayModeID, 1);
    EXPECT_EQ(savedCount(), 1u);
}

TEST_F(ModeSwitch, ConfigurationThatCannotBeginEndsTheSwitch) {
    displays().configureBuiltInWithExternal1440();
    displays().setBeginError(kCGErrorCannotComplete);
    auto r = switchTo(VideoCaptureMode::physical1080);
    ASSERT_FALSE(r.isSuccess());
    EXPECT_EQ(r.message(), "display configuration could not begin");
    // Display 2 was not tried.
    EXPECT_FALSE(logContains("try display=2"));
}

TEST_F(ModeSwitch, ModeThatNeverSettlesCostsThreeVirtualSecondsPerCandidate) {
    DisplayConfigurationBehaviour never;
    never.settleDelaySeconds = std::nullopt;
    displays().setBehaviour(1, never);
    const double start = virtualSeconds();
    auto r = switchTo(VideoCaptureMode::physical1080, 1, false);
    ASSERT_FALSE(r.isSuccess());
    // Four 16:9 sizes at two refresh rates: eight candidates of 3 s each.
    EXPECT_EQ(occurrences(r.message(), "] applied but actual is bounds 1512x982 current 1512x982[px 3024x1964]"), 8u);
    // 25 polls of 0.12 s each, and not one more.
    EXPECT_NEAR(virtualSeconds() - start, 24.0, 1e-6);
}

TEST_F(ModeSwitch, CompletionErrorIsAnAttemptNoteAndARestoreFailure) {
    // A 16:10 mode, so that no 16:9 candidate below is already current.
    ASSERT_TRUE(switchTo(VideoCaptureMode::easy).isSuccess());
    DisplayConfigurationBehaviour refusing;
    refusing.completeError = kCGErrorRangeCheck;
    displays().setBehaviour(1, refusing);

    auto r = switchTo(VideoCaptureMode::physical1080, 1, false);
    ASSERT_FALSE(r.isSuccess());
    EXPECT_EQ(r.message().rfind("no active display switched to logical 1920x1080 / pixel 1920x1080; display 1 "
                                "rejected candidates: 1920x1080[px 1920x1080] CG 1007, 1920x1080[px 1920x1080] CG "
                                "1007, ",
                                0),
              0u)
        << r.message();
    EXPECT_EQ(occurrences(r.message(), "] CG 1007"), 8u);
    EXPECT_EQ(current(1).width, 1280);

    auto restore = Switcher::restoreOriginalMode(1);
    ASSERT_TRUE(restore.has_value());
    ASSERT_FALSE(restore->isSuccess());
    EXPECT_EQ(restore->message(), "restore mode id=1 CG 1007");
    EXPECT_EQ(savedCount(), 1u);
}

TEST_F(ModeSwitch, RejectionNotesOfSeveralDisplaysAreJoined) {
    displays().setDisplays({SimulatedDisplaySystem::builtInPanel(1),
                            SimulatedDisplaySystem::plainMonitor(2, 1920, 1080, 1512, 0)});
    displays().setModeListUnavailable(1, true);
    auto r = Switcher::switchDisplayMode(1920, 1080, 1920, 1080, false, true, false, std::nullopt, true);
    ASSERT_FALSE(r.isSuccess());
    EXPECT_EQ(r.message(),
              "no active display switched to logical 1920x1080 / pixel 1920x1080; display 1 has no switchable modes | "
              "display 2 bounds 1920x1080@1512,0 has no best HiDPI candidate for logical 1920x1080 / pixel "
              "1920x1080; modes: 1920x1080[px 1920x1080] 60Hz");
}

TEST_F(ModeSwitch, WrongOutcomeIsReportedWithTheActualMode) {
    DisplayConfigurationBehaviour wrong;
    const CGDisplayMode landing = plain(1280, 800, 60, 24);
    wrong.outcome = [landing](const CGDisplayMode&) { return landing; };
    displays().setBehaviour(1, wrong);
    auto r = switchTo(VideoCaptureMode::physical1080, 1, false);
    ASSERT_FALSE(r.isSuccess());
    EXPECT_NE(r.message().find("display 1 rejected candidates: 1920x1080[px 1920x1080] applied but actual is bounds "
                               "1280x800 current 1280x800[px 1280x800]"),
              std::string::npos)
        << r.message();
}

TEST_F(ModeSwitch, ExactMatchOfTheOtherHiDPIKindIsNotAccepted) {
    displays().setCurrentMode(1, plain(1920, 1080, 120, 19));
    auto r = Switcher::switchDisplayMode(1512, 982, 3024, 1964, false, false, true, 1, false);
    ASSERT_FALSE(r.isSuccess());
    const std::string note = "1512x982[px 3024x1964] settled as 1512x982[px 3024x1964] and is not exact target";
    EXPECT_EQ(r.message(), "no active display switched to logical 1512x982 / pixel 3024x1964 (exact required); "
                           "display 1 rejected candidates: " + note + ", " + note);
    // The last applied candidate stays on the display.
    EXPECT_EQ(current(1).width, 1512);
}

TEST_F(ModeSwitch, ExactMatchAcceptsTheRightKind) {
    auto r = Switcher::switchDisplayMode(1920, 1080, 3840, 2160, true, false, true, 1, false);
    expectLanded(r, 1, 1920, 1080, 3840, 2160, 120);
}

// --- Originals ---------------------------------------------------------------------

TEST_F(ModeSwitch, OriginalIsSavedOnceAndRestored) {
    const CGDisplayMode original = current(1);
    ASSERT_TRUE(switchTo(VideoCaptureMode::physical1080).isSuccess());
    ASSERT_TRUE(switchTo(VideoCaptureMode::physical1440).isSuccess());
    EXPECT_EQ(savedCount(), 1u);
    auto lines = Switcher::restoreAllOriginalModes();
    EXPECT_EQ(lines, std::vector<std::string>{"restored display=1 1512x982 px=3024x1964 scale=2.0x 120Hz HiDPI"});
    EXPECT_EQ(current(1), original);
    EXPECT_EQ(savedCount(), 0u);
    EXPECT_TRUE(Switcher::restoreAllOriginalModes().empty());
}

TEST_F(ModeSwitch, RestoreAllGoesInIDOrderAndKeepsFailedEntries) {
    displays().configureBuiltInWithExternal1440();
    ASSERT_TRUE(switchTo(VideoCaptureMode::physical1080, 2, false).isSuccess());
    ASSERT_TRUE(switchTo(VideoCaptureMode::physical1080, 1, false).isSuccess());
    DisplayConfigurationBehaviour refusing;
    refusing.configureError = kCGErrorIllegalArgument;
    displays().setBehaviour(2, refusing);

    auto lines = Switcher::restoreAllOriginalModes();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "restored display=1 1512x982 px=3024x1964 scale=2.0x 120Hz HiDPI");
    EXPECT_EQ(lines[1], "restore display 2 failed: restore mode id=100 CG 1001");
    {
        std::lock_guard<std::mutex> g(Switcher::savedModeLock);
        ASSERT_EQ(Switcher::savedModes.size(), 1u);
        EXPECT_EQ(Switcher::savedModes.begin()->first, 2u);
    }

    // A later restore of that display alone succeeds and clears the entry.
    displays().setBehaviour(2, {});
    auto single = Switcher::restoreOriginalMode(2);
    ASSERT_TRUE(single && single->isSuccess());
    EXPECT_EQ(current(2).ioDisplayModeID, 100);
    EXPECT_EQ(savedCount(), 0u);
    EXPECT_FALSE(Switcher::restoreOriginalMode(2).has_value());
    EXPECT_FALSE(Switcher::restoreOriginalMode(0).has_value());
}

TEST_F(ModeSwitch, OriginalOfADisplayThatWentAwayIsKeptUntilItReturns) {
    displays().configureBuiltInWithExternal1440();
    ASSERT_TRUE(switchTo(VideoCaptureMode::physical1080, 2, false).isSuccess());
    displays().removeDisplay(2);
    EXPECT_EQ(Switcher::restoreAllOriginalModes(),
              std::vector<std::string>{"restore display 2 failed: restore mode id=100 CG 1001"});
    EXPECT_EQ(savedCount(), 1u);

    SimulatedDisplay back = SimulatedDisplaySystem::external1440(2, 1512, 0);
    back.currentMode = back.modes[2];  // still in the switched mode
    displays().addDisplay(back);
    EXPECT_EQ(Switcher::restoreAllOriginalModes(),
              std::vector<std::string>{"restored display=2 2560x1440 px=2560x1440 scale=1.0x 60Hz"});
    EXPECT_EQ(current(2).ioDisplayModeID, 100);
    EXPECT_EQ(savedCount(), 0u);
}

TEST_F(ModeSwitch, RestoreThatNeverSettlesTakesThreeVirtualSeconds) {
    ASSERT_TRUE(switchTo(VideoCaptureMode::physical1440).isSuccess());
    DisplayConfigurationBehaviour never;
    never.settleDelaySeconds = std::nullopt;
    displays().setBehaviour(1, never);
    const double start = virtualSeconds();
    auto r = Switcher::restoreOriginalMode(1);
    ASSERT_TRUE(r.has_value());
    ASSERT_FALSE(r->isSuccess());
    EXPECT_EQ(r->message(), "restore mode id=1 applied but actual is bounds 2560x1440 current 2560x1440[px 2560x1440]");
    EXPECT_NEAR(virtualSeconds() - start, 3.0, 1e-6);
    EXPECT_EQ(savedCount(), 1u);
}

TEST_F(ModeSwitch, ApplyingTheCurrentModeTouchesNothing) {
    auto r = Switcher::applyDisplayMode(current(1), 1, "restore");
    ASSERT_TRUE(r.isSuccess());
    EXPECT_TRUE(displays().appliedChanges().empty());
    displays().setBeginReturnsNullConfiguration(true);
    r = Switcher::applyDisplayMode(plain(1920, 1080, 60, 20), 1, "restore");
    ASSERT_FALSE(r.isSuccess());
    EXPECT_EQ(r.message(), "display configuration could not begin for restore");
}

// --- Displays and geometry -----------------------------------------------------------

TEST_F(ModeSwitch, PhysicalDisplaysLeaveOutMirrorsSleepersAndSoftwareDisplays) {
    auto builtIn = SimulatedDisplaySystem::builtInPanel(1);
    auto mirror = SimulatedDisplaySystem::plainMonitor(2, 1920, 1080, 0, 0);
    mirror.mirrorOf = 1;
    auto asleep = SimulatedDisplaySystem::plainMonitor(3, 1920, 1080, 1512, 0);
    asleep.asleep = true;
    auto software = SimulatedDisplaySystem::plainMonitor(4, 1920, 1080, 3432, 0);
    software.vendorNumber = kUnknownDisplayVendor;
    software.modelNumber = kVirtualDisplayModel;
    auto sizeless = SimulatedDisplaySystem::plainMonitor(5, 1920, 1080, 5352, 0);
    sizeless.physicalSizeMM = {0, 0};
    auto real = SimulatedDisplaySystem::plainMonitor(6, 1920, 1080, 7272, 0);
    auto offline = SimulatedDisplaySystem::plainMonitor(7, 1920, 1080, 9192, 0);
    offline.online = false;
    displays().setDisplays({builtIn, mirror, asleep, software, sizeless, real, offline});

    EXPECT_EQ(Switcher::activeDisplayIDs(), (std::vector<uint32_t>{1, 2, 3, 4, 5, 6}));
    // The built-in panel is in the mirror set too, and stays.
    EXPECT_EQ(Switcher::activePhysicalDisplayIDs(), (std::vector<uint32_t>{1, 6}));
    EXPECT_EQ(Switcher::activePhysicalDisplayIDs(6), (std::vector<uint32_t>{1}));

    displays().configureMirroredPair();
    EXPECT_EQ(Switcher::activePhysicalDisplayIDs(), (std::vector<uint32_t>{1}));
}

TEST_F(ModeSwitch, ActiveListIsEmptyWhenTheListCannotBeRead) {
    displays().setDisplayListError(kCGErrorFailure);
    EXPECT_TRUE(Switcher::activeDisplayIDs().empty());
}

TEST_F(ModeSwitch, DefaultDisplayPrefersTheActiveMainDisplay) {
    displays().configureBuiltInWithExternal1440();
    EXPECT_EQ(Switcher::defaultDisplayID(), 1u);
    displays().updateDisplay(1, [](SimulatedDisplay& d) { d.active = false; });
    EXPECT_EQ(Switcher::defaultDisplayID(), 2u);
}

TEST_F(ModeSwitch, SameModeByIDOrBySizeAndNearRefresh) {
    EXPECT_TRUE(Switcher::isSameMode(plain(1920, 1080, 60, 7), plain(1280, 720, 50, 7)));
    EXPECT_TRUE(Switcher::isSameMode(plain(1920, 1080, 60, 0), plain(1920, 1080, 59.94, 8)));
    EXPECT_TRUE(Switcher::isSameMode(plain(1920, 1080, 60, 7), plain(1920, 1080, 60.5, 8)));
    EXPECT_FALSE(Switcher::isSameMode(plain(1920, 1080, 60, 7), plain(1920, 1080, 50, 8)));
    EXPECT_FALSE(Switcher::isSameMode(plain(1920, 1080, 60, 0), scaled(1920, 1080, 60, 0)));
    // A missing pixel size counts as the logical size.
    EXPECT_TRUE(Switcher::isSameMode(CGDisplayMode{1920, 1080, 0, 0, 60, true, 0, 0}, plain(1920, 1080, 60, 0)));
}

TEST_F(ModeSwitch, CurrentGeometryFallsBackToTheGivenModeAndBounds) {
    auto g = Switcher::currentGeometry(1, std::nullopt);
    EXPECT_EQ(g, (HostDisplayGeometry{1, 1512, 982, 3024, 1964, 120, true}));

    displays().updateDisplay(1, [](SimulatedDisplay& d) {
        d.currentMode.reset();
        d.bounds = {0, 0, 1439.6, 899.5};
    });
    g = Switcher::currentGeometry(1, scaled(1600, 900, 60, 11));
    EXPECT_EQ(g, (HostDisplayGeometry{1, 1600, 900, 3200, 1800, 60, true}));
    g = Switcher::currentGeometry(1, std::nullopt);
    EXPECT_EQ(g, (HostDisplayGeometry{1, 1440, 900, 1440, 900, 0, false}));
}

TEST_F(ModeSwitch, ModeTargetsComeFromTheCatalogue) {
    EXPECT_EQ(Switcher::displayModeTarget(VideoCaptureMode::physical1080),
              (DisplayModeTarget{1920, 1080, 1920, 1080, false, false}));
    EXPECT_EQ(Switcher::displayModeTarget(VideoCaptureMode::physical1440),
              (DisplayModeTarget{2560, 1440, 2560, 1440, false, false}));
    EXPECT_EQ(Switcher::displayModeTarget(VideoCaptureMode::easy), (DisplayModeTarget{1280, 800, 2560, 1600, true, false}));
    EXPECT_EQ(Switcher::displayModeTarget(VideoCaptureMode::pro), (DisplayModeTarget{1920, 1080, 3840, 2160, true, false}));
    EXPECT_EQ(Switcher::displayModeTarget(VideoCaptureMode::max), (DisplayModeTarget{2880, 1620, 5760, 3240, true, false}));
    // A code the catalogue does not know takes the Easy definition.
    EXPECT_EQ(Switcher::displayModeTarget(static_cast<VideoCaptureMode>(2)),
              Switcher::displayModeTarget(VideoCaptureMode::easy));
}

// --- Display order -----------------------------------------------------------------

class DisplayOrder : public DisplayTest {
protected:
    void SetUp() override {
        DisplayTest::SetUp();
        // 3 is main (at the origin), 9 the largest, 5 the smallest.
        displays().setDisplays({SimulatedDisplaySystem::plainMonitor(3, 1280, 800, 0, 0),
                                SimulatedDisplaySystem::plainMonitor(5, 1024, 768, 1280, 0),
                                SimulatedDisplaySystem::plainMonitor(9, 2560, 1440, 2304, 0)});
    }
};

TEST_F(DisplayOrder, PreferredThenMainThenLargestFirst) {
    EXPECT_EQ(Switcher::orderedActiveDisplayIDs(std::nullopt, true), (std::vector<uint32_t>{3, 9, 5}));
    EXPECT_EQ(Switcher::orderedActiveDisplayIDs(5, true), (std::vector<uint32_t>{5, 3, 9}));
    EXPECT_EQ(Switcher::orderedActiveDisplayIDs(7, true), (std::vector<uint32_t>{3, 9, 5}));
    EXPECT_EQ(Switcher::orderedActiveDisplayIDs(7, false), std::vector<uint32_t>{});
    EXPECT_EQ(Switcher::orderedActiveDisplayIDs(9, false), std::vector<uint32_t>{9});
    EXPECT_EQ(Switcher::orderedActiveDisplayIDs(std::nullopt, false), (std::vector<uint32_t>{3, 9, 5}));
}

TEST_F(DisplayOrder, EqualAreasKeepTheListOrder) {
    displays().setDisplays({SimulatedDisplaySystem::plainMonitor(8, 1024, 768, 0, 0),
                            SimulatedDisplaySystem::plainMonitor(6, 1920, 1080, 1024, 0),
                            SimulatedDisplaySystem::plainMonitor(2, 1920, 1080, 2944, 0),
                            SimulatedDisplaySystem::plainMonitor(4, 1920, 1080, 4864, 0)});
    EXPECT_EQ(Switcher::orderedActiveDisplayIDs(std::nullopt, true), (std::vector<uint32_t>{8, 6, 2, 4}));
    // A display with negative size counts as area 0.
    displays().updateDisplay(6, [](SimulatedDisplay& d) { d.bounds.width = -1920; });
    EXPECT_EQ(Switcher::orderedActiveDisplayIDs(std::nullopt, true), (std::vector<uint32_t>{8, 2, 4, 6}));
}

TEST_F(DisplayOrder, NextDisplayWrapsAndStartsOverForUnknownIDs) {
    EXPECT_EQ(Switcher::nextDisplayID(3), 9u);
    EXPECT_EQ(Switcher::nextDisplayID(9), 5u);
    EXPECT_EQ(Switcher::nextDisplayID(5), 3u);
    EXPECT_EQ(Switcher::nextDisplayID(42), 3u);
    EXPECT_EQ(Switcher::nextDisplayID(std::nullopt), 3u);
}

TEST_F(DisplayOrder, HeadlessOrderHoldsOnlyTheMainID) {
    ASSERT_EQ(Switcher::defaultDisplayID(), 3u);
    displays().configureHeadless();
    EXPECT_EQ(Switcher::orderedActiveDisplayIDs(std::nullopt, true), std::vector<uint32_t>{3});
    EXPECT_EQ(Switcher::nextDisplayID(3), 3u);
}

TEST_F(DisplayOrder, AppendUniqueNeedsTheSourceAndNoRepeat) {
    std::vector<uint32_t> list{1};
    Switcher::appendUnique(2, list, {1, 2});
    Switcher::appendUnique(2, list, {1, 2});
    Switcher::appendUnique(3, list, {1, 2});
    EXPECT_EQ(list, (std::vector<uint32_t>{1, 2}));
}
