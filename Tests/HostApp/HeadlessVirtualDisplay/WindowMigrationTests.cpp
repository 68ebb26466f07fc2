// Moving other applications' windows onto the virtual display: which
// windows move and where to, the sweeps that follow workspace notifications,
// and turning migration off.

#include <atomic>
#include <thread>

#include "HeadlessVirtualDisplayTestSupport.h"

namespace {

using namespace platform;

RunningApplication app(int32_t pid, std::optional<std::string> bundle,
                       ApplicationActivationPolicy policy = ApplicationActivationPolicy::regular) {
    return RunningApplication{pid, std::move(bundle), "app " + std::to_string(pid), policy, false};
}

TEST(HeadlessVirtualDisplayWindowFrame, TranslationKeepsTheOffsetWithinTheMargins) {
    const CGRect moved = HeadlessVirtualDisplay::translatedWindowFrame(
        CGRect{-1820, 50, 1000, 800}, CGRect{-1920, 0, 1920, 1080}, CGRect{0, 0, 1280, 720});
    EXPECT_EQ(moved, (CGRect{100, 20, 1000, 680}));
}

TEST(HeadlessVirtualDisplayWindowFrame, TranslationNeverGrowsAndKeepsTheSmallestSize) {
    const CGRect source{0, 0, 3000, 2000};
    // Larger than the target: shrunk to the target less 40, placed 20 in.
    EXPECT_EQ(HeadlessVirtualDisplay::translatedWindowFrame(CGRect{500, 500, 2500, 1500}, source,
                                                            CGRect{100, 50, 1280, 800}),
              (CGRect{120, 70, 1240, 760}));
    // A tiny target still allows 240 x 160, anchored at the top-left margin.
    EXPECT_EQ(HeadlessVirtualDisplay::translatedWindowFrame(CGRect{900, 900, 600, 400}, source,
                                                            CGRect{0, 0, 200, 100}),
              (CGRect{20, 20, 240, 160}));
    // A small window is not enlarged and a window near the far edge is pulled in.
    EXPECT_EQ(HeadlessVirtualDisplay::translatedWindowFrame(CGRect{2900, 1950, 100, 50}, source,
                                                            CGRect{0, 0, 1280, 800}),
              (CGRect{1160, 730, 100, 50}));
}

class HeadlessVirtualDisplayWindowMoves : public HeadlessDisplayTest {
protected:
    HeadlessVirtualDisplayWindowMoves() { displays().configureBuiltInWithExternal1440(); }
    static CGRect frame(uint64_t window) { return accessibility().window(window)->frame; }
};

TEST_F(HeadlessVirtualDisplayWindowMoves, SkipsWhenThereIsNothingToMove) {
    EXPECT_EQ(hvd().moveApplicationWindows(2, 2).message,
              "window migration skipped; source display already matches virtual desktop");
    EXPECT_EQ(hvd().moveApplicationWindows(0, 2).message,
              "window migration skipped; source display already matches virtual desktop");
    EXPECT_EQ(hvd().moveApplicationWindows(99, 2).message, "window migration skipped; display bounds unavailable");
    EXPECT_EQ(hvd().moveApplicationWindows(1, 99).message, "window migration skipped; display bounds unavailable");
    SimulatedMachine::current().setPermission(Permission::accessibility, false);
    EXPECT_EQ(hvd().moveApplicationWindows(1, 2).message,
              "window migration skipped; Accessibility permission missing");
    EXPECT_EQ(hvd().moveApplicationWindows(1, 2).movedCount, 0);
}

TEST_F(HeadlessVirtualDisplayWindowMoves, MovesOnlyOtherApplicationsWindowsCentredOnTheSource) {
    workspace().setMainBundleIdentifier(std::string("com.velantrix.NorvessalHost"));
    const CGRect onSource{300, 200, 800, 500};
    std::vector<uint64_t> untouched;
    const std::vector<RunningApplication> skipped = {
        app(10, std::string("com.velantrix.NorvessalHost")),
        app(11, std::string("com.apple.dock")),
        app(12, std::string("com.apple.systemuiserver")),
        app(13, std::string("com.apple.WindowManager")),
        app(14, std::string("com.example.gone")),
        app(15, std::string("com.example.agent"), ApplicationActivationPolicy::prohibited),
        app(0, std::string("com.example.kernel")),
    };
    for (auto a : skipped) {
        if (a.processIdentifier == 14) a.isTerminated = true;
        workspace().addApplication(a);
        untouched.push_back(accessibility().addWindow(a.processIdentifier, onSource));
    }
    workspace().addApplication(app(100, std::string("com.example.editor")));
    workspace().addApplication(app(101, std::nullopt));  // no bundle identifier: not skipped for that
    workspace().addApplication(app(102, std::string("com.example.accessory"), ApplicationActivationPolicy::accessory));
    const auto a = accessibility().addWindow(100, CGRect{100, 100, 1000, 700});
    const auto b = accessibility().addWindow(100, CGRect{1700, 100, 600, 400});  // centred on display 2
    const auto c = accessibility().addWindow(101, CGRect{200, 300, 500, 400});
    const auto d = accessibility().addWindow(102, CGRect{1000, 600, 500, 400});  // centre (1250, 800) on display 1
    untouched.push_back(b);

    const auto result = hvd().moveApplicationWindows(1, 2);
    EXPECT_EQ(result.movedCount, 3);
    EXPECT_EQ(result.message, "moved 3 window(s) from display 1 to virtual display 2");
    // Display 1 is 1512 x 982 at the origin, display 2 is 2560 x 1440 at x = 1512.
    EXPECT_EQ(frame(a), (CGRect{1612, 100, 1000, 700}));
    EXPECT_EQ(frame(c), (CGRect{1712, 300, 500, 400}));
    EXPECT_EQ(frame(d), (CGRect{2512, 600, 500, 400}));
    for (auto w : untouched) EXPECT_EQ(frame(w), w == b ? (CGRect{1700, 100, 600, 400}) : onSource);
    // Skipped applications are never even asked.
    for (const auto& s : skipped) {
        EXPECT_EQ(accessibility().messagingTimeout(AXUIElementCreateApplication(s.processIdentifier)), std::nullopt);
    }
    EXPECT_EQ(accessibility().messagingTimeout(AXUIElementCreateApplication(100)), 0.2f);
    EXPECT_EQ(accessibility().messagingTimeout(AXUIElement{100, a}), 0.2f);
}

TEST_F(HeadlessVirtualDisplayWindowMoves, HostWithoutBundleIdentifierSkipsOnlyEmptyIdentifiers) {
    workspace().addApplication(app(20, std::string("")));
    workspace().addApplication(app(21, std::nullopt));
    const auto empty = accessibility().addWindow(20, CGRect{100, 100, 400, 300});
    const auto none = accessibility().addWindow(21, CGRect{100, 100, 400, 300});
    EXPECT_EQ(hvd().moveApplicationWindows(1, 2).movedCount, 1);
    EXPECT_EQ(frame(empty), (CGRect{100, 100, 400, 300}));
    EXPECT_NE(frame(none), (CGRect{100, 100, 400, 300}));
}

TEST_F(HeadlessVirtualDisplayWindowMoves, WindowsOfFortyPointsOrLessAreIgnored) {
    workspace().addApplication(app(100, std::string("com.example.editor")));
    const auto small = accessibility().addWindow(100, CGRect{100, 100, 40, 41});
    EXPECT_EQ(hvd().moveApplicationWindows(1, 2).message, "window migration found no app windows centered on display 1");
    const auto handled = accessibility().addWindow(100, CGRect{100, 100, 41, 41});
    EXPECT_EQ(hvd().moveApplicationWindows(1, 2).movedCount, 1);
    EXPECT_EQ(frame(small), (CGRect{100, 100, 40, 41}));
    EXPECT_EQ(frame(handled), (CGRect{1612, 100, 41, 41}));
}

TEST_F(HeadlessVirtualDisplayWindowMoves, UnreadableFramesAreSkipped) {
    workspace().addApplication(app(100, std::string("com.example.editor")));
    const CGRect f{100, 100, 400, 300};
    const auto refused = accessibility().addWindow(100, f);
    accessibility().updateWindow(refused, [](SimulatedAXWindow& w) { w.refusedReads.insert(kAXSizeAttribute); });
    const auto wrongType = accessibility().addWindow(100, f);
    accessibility().updateWindow(wrongType, [](SimulatedAXWindow& w) {
        w.readOverrides[kAXPositionAttribute] = AXValueCreate(CGSize{100, 100});
    });
    const auto text = accessibility().addWindow(100, f);
    accessibility().updateWindow(text, [](SimulatedAXWindow& w) { w.readOverrides[kAXSizeAttribute] = std::string("big"); });
    const auto empty = accessibility().addWindow(100, f);
    accessibility().updateWindow(empty, [](SimulatedAXWindow& w) { w.readOverrides[kAXPositionAttribute] = std::monostate{}; });
    for (auto w : {refused, wrongType, text, empty}) EXPECT_EQ(HeadlessVirtualDisplay::axWindowFrame(AXUIElement{100, w}), std::nullopt);
    EXPECT_EQ(hvd().moveApplicationWindows(1, 2).message, "window migration found no app windows centered on display 1");
}

TEST_F(HeadlessVirtualDisplayWindowMoves, UnreadableWindowListGivesNoWindows) {
    workspace().addApplication(app(100, std::string("com.example.editor")));
    workspace().addApplication(app(101, std::string("com.example.viewer")));
    accessibility().addWindow(100, CGRect{100, 100, 400, 300});
    accessibility().addWindow(101, CGRect{100, 100, 400, 300});
    accessibility().overrideWindowList(100, kAXErrorCannotComplete);
    accessibility().overrideWindowList(101, kAXErrorSuccess, std::string("not a list"));
    EXPECT_EQ(hvd().moveApplicationWindows(1, 2).message, "window migration found no app windows centered on display 1");
}

TEST_F(HeadlessVirtualDisplayWindowMoves, ResizeRefusalStillCountsWhenTheMoveWorks) {
    workspace().addApplication(app(100, std::string("com.example.editor")));
    const auto w = accessibility().addWindow(100, CGRect{100, 100, 400, 300});
    accessibility().updateWindow(w, [](SimulatedAXWindow& x) { x.refusedWrites.insert(kAXSizeAttribute); });
    EXPECT_EQ(hvd().moveApplicationWindows(1, 2).movedCount, 1);
    EXPECT_EQ(frame(w), (CGRect{1612, 100, 400, 300}));
}

TEST_F(HeadlessVirtualDisplayWindowMoves, WindowsRefusingBothChangesAreReportedAsTried) {
    workspace().addApplication(app(100, std::string("com.example.editor")));
    for (int i = 0; i < 2; ++i) {
        const auto w = accessibility().addWindow(100, CGRect{100.0 + i, 100, 400, 300});
        accessibility().updateWindow(w, [](SimulatedAXWindow& x) {
            x.refusedWrites = {kAXSizeAttribute, kAXPositionAttribute};
        });
    }
    const auto result = hvd().moveApplicationWindows(1, 2);
    EXPECT_EQ(result.movedCount, 0);
    EXPECT_EQ(result.message, "window migration tried 2 window(s) from display 1 but none accepted repositioning");
}

// --- Migration after promotion ---

class HeadlessVirtualDisplayMigration : public HeadlessDisplayTest {
protected:
    // Display 1 (the reference) refuses to mirror, so the layout ends up
    // extended: the virtual display (1280 x 800) at the origin, display 1 at
    // x = 1280 and display 2 at x = 2792.
    HeadlessVirtualDisplayMigration() {
        displays().configureBuiltInWithExternal1440();
        v = startAndGetID(HeadlessVirtualDisplay::easyPreset());
        DisplayConfigurationBehaviour b;
        b.mirrorError = kCGErrorCannotComplete;
        displays().setBehaviour(1, b);
        workspace().addApplication(app(100, std::string("com.example.editor")));
    }
    static CGRect frame(uint64_t window) { return accessibility().window(window)->frame; }
    HeadlessVirtualDisplay::PromotionResult promote() { return hvd().promoteToPrimaryDesktop(1, true, std::nullopt); }
    std::string vText() const { return std::to_string(v); }

    uint32_t v = 0;
};

TEST_F(HeadlessVirtualDisplayMigration, PromotionMovesWindowsFromTheOldMainDisplay) {
    const auto a = accessibility().addWindow(100, CGRect{1380, 100, 1000, 700});
    const auto b = accessibility().addWindow(100, CGRect{1300, 500, 600, 400});
    const auto result = promote();
    EXPECT_TRUE(result.applied);
    EXPECT_EQ(result.message, "virtual display " + vText() +
                                  " promoted to main desktop; display 1 mirror failed CG 1004; using extended layout; "
                                  "moved 2 window(s) from display 1 to virtual display " + vText());
    EXPECT_EQ(frame(a), (CGRect{100, 80, 1000, 700}));
    EXPECT_EQ(frame(b), (CGRect{20, 380, 600, 400}));
    EXPECT_TRUE(Peer::migrationEnabled(hvd()));
    EXPECT_EQ(Peer::observerCount(hvd()), 3u);
}

TEST_F(HeadlessVirtualDisplayMigration, MovedWindowsMakeAPromotionCountEvenWhenMainDidNotChange) {
    accessibility().addWindow(100, CGRect{1380, 100, 1000, 700});
    displays().setMainDisplayOverride(1);
    const auto result = promote();
    EXPECT_TRUE(result.applied);
    EXPECT_EQ(result.message.rfind("display layout applied but main display is still 1; ", 0), 0u);
}

TEST_F(HeadlessVirtualDisplayMigration, SweepAfterPromotionCatchesTheOtherDisplays) {
    const auto onSecond = accessibility().addWindow(100, CGRect{3000, 200, 800, 600});
    promote();
    advance(0.6);
    EXPECT_FALSE(logContains("window sweep"));
    advance(0.1);
    EXPECT_TRUE(logContains("[HeadlessVirtualDisplay] window sweep after desktop promotion: window migration found no "
                            "app windows centered on display 1; moved 1 window(s) from display 2 to virtual display " +
                            vText()));
    EXPECT_EQ(frame(onSecond), (CGRect{208, 180, 800, 600}));
}

TEST_F(HeadlessVirtualDisplayMigration, BurstOfNotificationsGivesOneSweepAfterTheLast) {
    promote();
    advance(1);
    log->clear();
    accessibility().addWindow(200, CGRect{3000, 200, 800, 600});
    workspace().launchApplication(app(200, std::string("com.example.new")));
    advance(0.3);
    workspace().activateApplication(200);
    advance(0.3);
    workspace().unhideApplication(200);
    advance(0.6);
    EXPECT_FALSE(logContains("window sweep"));
    advance(0.1);
    EXPECT_EQ(logCount("window sweep"), 1u);
    EXPECT_TRUE(logContains("[HeadlessVirtualDisplay] window sweep after app unhide: "));
    EXPECT_TRUE(logContains("moved 1 window(s) from display 2 to virtual display " + vText()));
}

TEST_F(HeadlessVirtualDisplayMigration, EachNotificationNamesItsReason) {
    promote();
    advance(1);
    workspace().launchApplication(app(200, std::string("com.example.new")));
    advance(1);
    workspace().activateApplication(200);
    advance(1);
    EXPECT_TRUE(logContains("window sweep after app launch: window migration found no app windows centered on display 1"));
    EXPECT_TRUE(logContains("window sweep after app activate: "));
}

TEST_F(HeadlessVirtualDisplayMigration, SweepWithOnlySkippedDisplaysLogsNothing) {
    promote();
    advance(1);
    log->clear();
    SimulatedMachine::current().setPermission(Permission::accessibility, false);
    EXPECT_EQ(hvd().enforceVirtualDesktopWindowPlacement("test"), "");
    workspace().launchApplication(app(200, std::string("com.example.new")));
    advance(1);
    EXPECT_FALSE(logContains("window sweep"));
}

TEST_F(HeadlessVirtualDisplayMigration, SweepDoesNothingWhileMigrationIsOff) {
    accessibility().addWindow(100, CGRect{3000, 200, 800, 600});
    EXPECT_EQ(hvd().enforceVirtualDesktopWindowPlacement("test"), "");
    hvd().scheduleVirtualDesktopWindowMigration("test", 0);
    hvd().ensureWindowMigrationObservers();
    EXPECT_EQ(Peer::observerCount(hvd()), 0u);
    advance(1);
    EXPECT_FALSE(logContains("window sweep"));
}

TEST_F(HeadlessVirtualDisplayMigration, ScheduledSweepWaitsAtLeastATenthOfASecond) {
    promote();
    advance(1);
    log->clear();
    accessibility().addWindow(100, CGRect{3000, 200, 800, 600});
    hvd().scheduleVirtualDesktopWindowMigration("manual", 0);
    advance(0.09);
    EXPECT_FALSE(logContains("window sweep"));
    advance(0.02);
    EXPECT_TRUE(logContains("window sweep after manual: "));
}

TEST_F(HeadlessVirtualDisplayMigration, StoppingTurnsMigrationOff) {
    promote();
    EXPECT_TRUE(Peer::hasPendingSweep(hvd()));
    hvd().stop(false);
    EXPECT_FALSE(Peer::migrationEnabled(hvd()));
    EXPECT_FALSE(Peer::hasPendingSweep(hvd()));
    EXPECT_EQ(Peer::observerCount(hvd()), 0u);
    workspace().launchApplication(app(200, std::string("com.example.new")));
    advance(2);
    EXPECT_FALSE(logContains("window sweep"));
}

TEST_F(HeadlessVirtualDisplayMigration, NextPromotionStartsMigrationAfresh) {
    promote();
    const auto second = hvd().promoteToPrimaryDesktop(1, false, std::nullopt);
    EXPECT_TRUE(second.applied);
    EXPECT_FALSE(Peer::migrationEnabled(hvd()));
    EXPECT_EQ(Peer::observerCount(hvd()), 0u);
    advance(2);
    EXPECT_FALSE(logContains("window sweep"));
}

// The migration fields are reached from the promotion caller, the thread
// that posts workspace notifications and the event queue at once.
TEST_F(HeadlessVirtualDisplayMigration, MigrationStateSurvivesConcurrentUse) {
    promote();
    std::atomic<bool> go{false};
    std::thread poster([&] {
        while (!go) std::this_thread::yield();
        for (int i = 0; i < 20000; ++i) {
            workspace().activateApplication(100);
        }
    });
    std::thread toggler([&] {
        while (!go) std::this_thread::yield();
        for (int i = 0; i < 5000; ++i) {
            hvd().cancelVirtualDesktopWindowMigration();
            Peer::enableMigration(hvd());
            hvd().ensureWindowMigrationObservers();
        }
    });
    go = true;
    for (int i = 0; i < 5000; ++i) {
        hvd().scheduleVirtualDesktopWindowMigration("driver", 0.65);
        Peer::observerCount(hvd());
    }
    poster.join();
    toggler.join();
    EXPECT_EQ(Peer::observerCount(hvd()), 3u);
    hvd().cancelVirtualDesktopWindowMigration();
    EXPECT_EQ(Peer::observerCount(hvd()), 0u);
    EXPECT_FALSE(Peer::hasPendingSweep(hvd()));
    advance(2);
    EXPECT_FALSE(logContains("window sweep after app activate"));
}

}  // namespace
