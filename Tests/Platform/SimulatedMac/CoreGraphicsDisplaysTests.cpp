#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "Platform/Runtime/Clock.h"
#include "Platform/SimulatedMac/CoreGraphicsDisplays.h"
#include "Platform/SimulatedMac/EventPosting.h"
#include "Platform/Foundation/NotificationCenter.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"
#include "Platform/SimulatedMac/SkyLightSpaces.h"
#include "Support/TestSupport.h"

using namespace platform;

namespace {

class CoreGraphicsDisplays : public platform::testing::VirtualTimeTest {
protected:
    void SetUp() override {
        VirtualTimeTest::SetUp();
        token = NotificationCenter::defaultCenter().addObserver(
            kScreenParametersChangedNotification, [this](const Notification&) { ++screenChanges; });
    }
    void TearDown() override {
        NotificationCenter::defaultCenter().removeObserver(token);
        VirtualTimeTest::TearDown();
    }

    SimulatedDisplaySystem& displays() { return SimulatedMachine::current().component<SimulatedDisplaySystem>(); }

    CGDisplayMode modeOf(CGDirectDisplayID id, int w, int h, int pw, double hz) {
        auto all = CGDisplayCopyAllDisplayModes(id, {true});
        for (const auto& m : *all) {
            if (m.width == w && m.height == h && m.pixelWidth == pw && m.refreshRate == hz) return m;
        }
        ADD_FAILURE() << "no mode " << w << "x" << h;
        return {};
    }

    CGError applyMode(CGDirectDisplayID id, const CGDisplayMode& m) {
        CGDisplayConfigRef config;
        EXPECT_EQ(CGBeginDisplayConfiguration(&config), kCGErrorSuccess);
        if (CGError e = CGConfigureDisplayWithDisplayMode(config, id, m); e != kCGErrorSuccess) {
            CGCancelDisplayConfiguration(config);
            return e;
        }
        return CGCompleteDisplayConfiguration(config, CGConfigureOption::forSession);
    }

    NotificationCenter::Token token = 0;
    int screenChanges = 0;
};

}  // namespace

TEST_F(CoreGraphicsDisplays, DefaultMachineIsOneBuiltInHiDPIPanel) {
    std::vector<CGDirectDisplayID> online, active;
    ASSERT_EQ(CGGetOnlineDisplayList(online), kCGErrorSuccess);
    ASSERT_EQ(CGGetActiveDisplayList(active), kCGErrorSuccess);
    ASSERT_EQ(online, std::vector<CGDirectDisplayID>{1});
    EXPECT_EQ(active, online);
    EXPECT_EQ(CGMainDisplayID(), 1u);
    EXPECT_TRUE(CGDisplayIsBuiltin(1));
    EXPECT_FALSE(CGDisplayIsInMirrorSet(1));
    EXPECT_EQ(CGDisplayBounds(1), (CGRect{0, 0, 1512, 982}));
    auto current = CGDisplayCopyDisplayMode(1);
    ASSERT_TRUE(current);
    EXPECT_EQ(current->pixelWidth, 3024);
    EXPECT_EQ(current->pixelHeight, 1964);
    EXPECT_EQ(current->refreshRate, 120);

    // Scaled and plain variants of the sizes the capture modes ask for.
    auto all = *CGDisplayCopyAllDisplayModes(1, {true});
    auto has = [&](int w, int h, int pw) {
        return std::any_of(all.begin(), all.end(),
                           [&](const CGDisplayMode& m) { return m.width == w && m.height == h && m.pixelWidth == pw; });
    };
    EXPECT_TRUE(has(1920, 1080, 3840));
    EXPECT_TRUE(has(1920, 1080, 1920));
    EXPECT_TRUE(has(2560, 1440, 2560));
    EXPECT_TRUE(has(1280, 800, 2560));
    EXPECT_TRUE(CGDisplayCreateUUIDFromDisplayID(1).has_value());
    EXPECT_FALSE(CGDisplayCreateUUIDFromDisplayID(77).has_value());
}

TEST_F(CoreGraphicsDisplays, ModeListWithoutDuplicatesHidesScaledTwinsOfPlainSizes) {
    auto withDuplicates = *CGDisplayCopyAllDisplayModes(1, {true});
    auto plain = *CGDisplayCopyAllDisplayModes(1, {false});
    EXPECT_LT(plain.size(), withDuplicates.size());
    // 1920x1080 exists plain, so its scaled twin is hidden; 1600x900 has no
    // plain twin and stays.
    auto count = [](const std::vector<CGDisplayMode>& l, int w, int pw) {
        return std::count_if(l.begin(), l.end(), [&](const CGDisplayMode& m) { return m.width == w && m.pixelWidth == pw; });
    };
    EXPECT_EQ(count(plain, 1920, 3840), 0);
    EXPECT_GT(count(plain, 1920, 1920), 0);
    EXPECT_GT(count(plain, 1600, 3200), 0);
    EXPECT_FALSE(CGDisplayCopyAllDisplayModes(42, {true}).has_value());
}

TEST_F(CoreGraphicsDisplays, CompletedTransactionChangesModeBoundsAndNotifies) {
    const CGDisplayMode target = modeOf(1, 1920, 1080, 1920, 60);
    ASSERT_EQ(applyMode(1, target), kCGErrorSuccess);
    EXPECT_EQ(*CGDisplayCopyDisplayMode(1), target);
    EXPECT_EQ(CGDisplayBounds(1), (CGRect{0, 0, 1920, 1080}));
    runUntilIdle();
    EXPECT_EQ(screenChanges, 1);
    auto changes = displays().appliedChanges();
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].display, 1u);
    EXPECT_EQ(changes[0].option, CGConfigureOption::forSession);
}

TEST_F(CoreGraphicsDisplays, ForeignModesAndCancelledTransactionsChangeNothing) {
    CGDisplayMode foreign{1234, 777, 1234, 777, 60, true, 999, 3};
    EXPECT_EQ(applyMode(1, foreign), kCGErrorIllegalArgument);

    CGDisplayConfigRef config;
    ASSERT_EQ(CGBeginDisplayConfiguration(&config), kCGErrorSuccess);
    ASSERT_EQ(CGConfigureDisplayWithDisplayMode(config, 1, modeOf(1, 1920, 1080, 1920, 60)), kCGErrorSuccess);
    ASSERT_EQ(CGCancelDisplayConfiguration(config), kCGErrorSuccess);
    // A finished transaction cannot be completed afterwards.
    EXPECT_NE(CGCompleteDisplayConfiguration(config, CGConfigureOption::forSession), kCGErrorSuccess);
    EXPECT_EQ(CGDisplayCopyDisplayMode(1)->width, 1512);
    runUntilIdle();
    EXPECT_EQ(screenChanges, 0);
    EXPECT_TRUE(displays().appliedChanges().empty());
}

TEST_F(CoreGraphicsDisplays, InjectedBeginAndConfigureFailures) {
    displays().setBeginError(kCGErrorCannotComplete);
    CGDisplayConfigRef config;
    EXPECT_EQ(CGBeginDisplayConfiguration(&config), kCGErrorCannotComplete);
    EXPECT_EQ(config, nullptr);

    displays().setBeginError(kCGErrorSuccess);
    displays().setBeginReturnsNullConfiguration(true);
    EXPECT_EQ(CGBeginDisplayConfiguration(&config), kCGErrorSuccess);
    EXPECT_EQ(config, nullptr);
    displays().setBeginReturnsNullConfiguration(false);

    const CGDisplayMode rejected = modeOf(1, 1920, 1080, 1920, 60);
    DisplayConfigurationBehaviour b;
    b.rejectedModeIDs = {rejected.ioDisplayModeID};
    displays().setBehaviour(1, b);
    EXPECT_EQ(applyMode(1, rejected), kCGErrorIllegalArgument);
    EXPECT_EQ(applyMode(1, modeOf(1, 1920, 1080, 1920, 120)), kCGErrorSuccess);

    b = {};
    b.completeError = kCGErrorRangeCheck;
    displays().setBehaviour(1, b);
    EXPECT_EQ(applyMode(1, modeOf(1, 2560, 1440, 2560, 60)), kCGErrorRangeCheck);
    EXPECT_EQ(CGDisplayCopyDisplayMode(1)->width, 1920);
}

TEST_F(CoreGraphicsDisplays, SettleDelayShowsTheModeOnlyAfterVirtualTime) {
    DisplayConfigurationBehaviour b;
    b.settleDelaySeconds = 2.0;
    displays().setBehaviour(1, b);
    const CGDisplayMode target = modeOf(1, 2560, 1440, 2560, 120);
    ASSERT_EQ(applyMode(1, target), kCGErrorSuccess);
    EXPECT_EQ(CGDisplayCopyDisplayMode(1)->width, 1512);
    advance(1.9);
    EXPECT_EQ(CGDisplayCopyDisplayMode(1)->width, 1512);
    runUntilIdle();
    EXPECT_EQ(screenChanges, 0);
    advance(0.2);
    EXPECT_EQ(*CGDisplayCopyDisplayMode(1), target);
    runUntilIdle();
    EXPECT_EQ(screenChanges, 1);
}

TEST_F(CoreGraphicsDisplays, NeverSettlingAndWrongOutcomes) {
    DisplayConfigurationBehaviour never;
    never.settleDelaySeconds = std::nullopt;
    displays().setBehaviour(1, never);
    ASSERT_EQ(applyMode(1, modeOf(1, 2560, 1440, 2560, 120)), kCGErrorSuccess);
    advance(60);
    EXPECT_EQ(CGDisplayCopyDisplayMode(1)->width, 1512);

    DisplayConfigurationBehaviour wrong;
    const CGDisplayMode landing = modeOf(1, 1280, 800, 1280, 60);
    wrong.outcome = [landing](const CGDisplayMode&) { return landing; };
    displays().setBehaviour(1, wrong);
    ASSERT_EQ(applyMode(1, modeOf(1, 1920, 1080, 3840, 120)), kCGErrorSuccess);
    EXPECT_EQ(*CGDisplayCopyDisplayMode(1), landing);
}

TEST_F(CoreGraphicsDisplays, LaterChangeSupersedesAModeStillSettling) {
    DisplayConfigurationBehaviour slow;
    slow.settleDelaySeconds = 1.0;
    displays().setBehaviour(1, slow);
    ASSERT_EQ(applyMode(1, modeOf(1, 2560, 1440, 2560, 120)), kCGErrorSuccess);
    advance(0.5);
    ASSERT_EQ(applyMode(1, modeOf(1, 1920, 1080, 1920, 120)), kCGErrorSuccess);
    advance(0.6);  // the first change's time has come, but it was superseded
    EXPECT_EQ(CGDisplayCopyDisplayMode(1)->width, 1512);
    advance(0.5);
    EXPECT_EQ(CGDisplayCopyDisplayMode(1)->width, 1920);
}

TEST_F(CoreGraphicsDisplays, TopologyChangesNotifyAndMoveTheMainDisplay) {
    displays().configureBuiltInWithExternal1440();
    runUntilIdle();
    EXPECT_EQ(screenChanges, 1);
    std::vector<CGDirectDisplayID> active;
    CGGetActiveDisplayList(active);
    EXPECT_EQ(active, (std::vector<CGDirectDisplayID>{1, 2}));
    EXPECT_EQ(CGDisplayBounds(2), (CGRect{1512, 0, 2560, 1440}));

    // The display moved to the global origin becomes the main display.
    CGDisplayConfigRef config;
    ASSERT_EQ(CGBeginDisplayConfiguration(&config), kCGErrorSuccess);
    ASSERT_EQ(CGConfigureDisplayOrigin(config, 2, 0, 0), kCGErrorSuccess);
    ASSERT_EQ(CGConfigureDisplayOrigin(config, 1, -1512, 0), kCGErrorSuccess);
    ASSERT_EQ(CGCompleteDisplayConfiguration(config, CGConfigureOption::forSession), kCGErrorSuccess);
    EXPECT_EQ(CGMainDisplayID(), 2u);
    runUntilIdle();
    EXPECT_EQ(screenChanges, 2);

    displays().removeDisplay(2);
    runUntilIdle();
    EXPECT_EQ(screenChanges, 3);
    EXPECT_EQ(CGMainDisplayID(), 1u);
    EXPECT_EQ(CGDisplayBounds(2), CGRect{});

    // With no display at all the last main display is still reported.
    displays().configureHeadless();
    EXPECT_EQ(CGMainDisplayID(), 1u);
    CGGetActiveDisplayList(active);
    EXPECT_TRUE(active.empty());
}

TEST_F(CoreGraphicsDisplays, MirroredPairAndListErrors) {
    displays().configureMirroredPair();
    EXPECT_TRUE(CGDisplayIsInMirrorSet(1));
    EXPECT_TRUE(CGDisplayIsInMirrorSet(2));
    EXPECT_EQ(CGDisplayMirrorsDisplay(2), 1u);
    EXPECT_EQ(CGDisplayBounds(2), CGDisplayBounds(1));

    // Ending the mirroring through a transaction.
    CGDisplayConfigRef config;
    ASSERT_EQ(CGBeginDisplayConfiguration(&config), kCGErrorSuccess);
    ASSERT_EQ(CGConfigureDisplayMirrorOfDisplay(config, 2, 0), kCGErrorSuccess);
    EXPECT_EQ(CGConfigureDisplayMirrorOfDisplay(config, 2, 2), kCGErrorIllegalArgument);
    ASSERT_EQ(CGCompleteDisplayConfiguration(config, CGConfigureOption::forSession), kCGErrorSuccess);
    EXPECT_FALSE(CGDisplayIsInMirrorSet(1));

    displays().setDisplayListError(kCGErrorFailure);
    std::vector<CGDirectDisplayID> online{99};
    EXPECT_EQ(CGGetOnlineDisplayList(online), kCGErrorFailure);
    EXPECT_TRUE(online.empty());
}

TEST_F(CoreGraphicsDisplays, RectUnionIgnoresEmptyRectangles) {
    EXPECT_EQ(CGRectUnion({0, 0, 1920, 1080}, {1920, 0, 2560, 1440}), (CGRect{0, 0, 4480, 1440}));
    EXPECT_EQ(CGRectUnion({10, 10, 0, 0}, {-5, -5, 10, 10}), (CGRect{-5, -5, 10, 10}));
    EXPECT_EQ(CGRectUnion({}, {}), CGRect{});
}

// --- Event posting and the simulated Spaces -------------------------------------

class SimulatedSpacesTests : public platform::testing::VirtualTimeTest {
protected:
    SimulatedSpaces& spaces() { return SimulatedMachine::current().component<SimulatedSpaces>(); }
    SimulatedEventTap& tap() { return SimulatedMachine::current().component<SimulatedEventTap>(); }
};

TEST_F(SimulatedSpacesTests, DefaultMachineHasTwoSpacesOnTheMainDisplay) {
    auto list = spaces().displays();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].identifier, *CGDisplayCreateUUIDFromDisplayID(1));
    EXPECT_EQ(list[0].spaceIDs.size(), 2u);
    EXPECT_EQ(list[0].currentSpaceID, list[0].spaceIDs[0]);

    const PlistValue dict = spaces().managedDisplaySpaces();
    ASSERT_TRUE(dict.isArray());
    const PlistValue* entry = dict.at(0);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ((*entry)["Display Identifier"]->asString(), list[0].identifier);
    EXPECT_EQ((*(*entry)["Current Space"])["ManagedSpaceID"]->asInteger(), int64_t(list[0].spaceIDs[0]));
    EXPECT_EQ((*entry)["Spaces"]->asArray()->size(), 2u);
}

TEST_F(SimulatedSpacesTests, ControlArrowAtTheHIDTapStepsWithoutWrapping) {
    const auto before = spaces().displays()[0];
    CGEventPostKeyboard(CGEventTapLocation::hid, 124, true, 0);  // no Control: nothing
    EXPECT_EQ(spaces().displays()[0].currentSpaceID, before.currentSpaceID);
    CGEventPostKeyboard(CGEventTapLocation::hid, 124, true, kCGEventFlagMaskControl);
    EXPECT_EQ(spaces().displays()[0].currentSpaceID, before.spaceIDs[1]);
    CGEventPostKeyboard(CGEventTapLocation::hid, 124, true, kCGEventFlagMaskControl);
    EXPECT_EQ(spaces().displays()[0].currentSpaceID, before.spaceIDs[1]);
    CGEventPostKeyboard(CGEventTapLocation::hid, 123, true, kCGEventFlagMaskControl);
    EXPECT_EQ(spaces().displays()[0].currentSpaceID, before.spaceIDs[0]);
    EXPECT_EQ(spaces().switchCount(), 2u);

    auto events = tap().keyboardEvents();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[1].keyCode, 124);
    EXPECT_EQ(events[1].flags, kCGEventFlagMaskControl);
    EXPECT_TRUE(logContains("[SimulatedEvents] posted 1 event(s): key down via=hid x1"));
}

TEST_F(SimulatedSpacesTests, AccessibilityPostsCarryHeldModifiersAndNeedTrust) {
    const AXUIElementRef systemWide = AXUIElementCreateSystemWide();
    EXPECT_EQ(AXUIElementPostKeyboardEvent(systemWide, 0, 59, true), kAXErrorSuccess);
    EXPECT_EQ(AXUIElementPostKeyboardEvent(systemWide, 0, 124, true), kAXErrorSuccess);
    EXPECT_EQ(AXUIElementPostKeyboardEvent(systemWide, 0, 124, false), kAXErrorSuccess);
    EXPECT_EQ(AXUIElementPostKeyboardEvent(systemWide, 0, 59, false), kAXErrorSuccess);
    auto events = tap().keyboardEvents();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[1].flags & kCGEventFlagMaskControl, kCGEventFlagMaskControl);
    EXPECT_EQ(events[3].flags & kCGEventFlagMaskControl, 0u);
    EXPECT_EQ(events[0].route, PostedEventRoute::accessibility);
    EXPECT_EQ(spaces().switchCount(), 1u);

    SimulatedMachine::current().setPermission(Permission::accessibility, false);
    EXPECT_EQ(AXUIElementPostKeyboardEvent(systemWide, 0, 59, true), kAXErrorAPIDisabled);
    EXPECT_EQ(AXUIElementPostKeyboardEvent(AXUIElementRef{}, 0, 59, true), kAXErrorAPIDisabled);
    EXPECT_EQ(tap().keyboardEvents().size(), 4u);
}

TEST_F(SimulatedSpacesTests, IgnoredAndLateShortcuts) {
    const auto ids = spaces().displays()[0].spaceIDs;
    spaces().setKeyResponse(SpacesKeyResponse::ignore);
    CGEventPostKeyboard(CGEventTapLocation::hid, 124, true, kCGEventFlagMaskControl);
    EXPECT_EQ(spaces().displays()[0].currentSpaceID, ids[0]);

    spaces().setKeyResponse(SpacesKeyResponse::applyLate, 0.4);
    CGEventPostKeyboard(CGEventTapLocation::hid, 124, true, kCGEventFlagMaskControl);
    EXPECT_EQ(spaces().displays()[0].currentSpaceID, ids[0]);
    advance(0.5);
    EXPECT_EQ(spaces().displays()[0].currentSpaceID, ids[1]);
}

TEST_F(SimulatedSpacesTests, FunctionsAreFoundByNameUnlessAbsent) {
    auto skyLight = dlopenLazy(kSkyLightFrameworkPath);
    ASSERT_TRUE(skyLight);
    auto connection = lookupFunction<CGSMainConnectionIDFunction>(*skyLight, "CGSMainConnectionID");
    auto copy = lookupFunction<CGSCopyManagedDisplaySpacesFunction>(*skyLight, "CGSCopyManagedDisplaySpaces");
    ASSERT_TRUE(connection && copy);
    EXPECT_TRUE((*copy)((*connection)()).has_value());
    // A symbol asked for under the wrong signature is not handed out.
    EXPECT_FALSE(lookupFunction<CGSMainConnectionIDFunction>(*skyLight, "CGSCopyManagedDisplaySpaces"));
    EXPECT_FALSE(lookupFunction<CGSMainConnectionIDFunction>(allLoadedImages(), "CGSMainConnectionID"));
    EXPECT_TRUE(lookupFunction<AXUIElementPostKeyboardEventFunction>(allLoadedImages(), "AXUIElementPostKeyboardEvent"));

    spaces().setSymbolPresent("CGSCopyManagedDisplaySpaces", false);
    EXPECT_FALSE(lookupFunction<CGSCopyManagedDisplaySpacesFunction>(*skyLight, "CGSCopyManagedDisplaySpaces"));
    spaces().setFrameworkPresent(false);
    EXPECT_FALSE(dlopenLazy(kSkyLightFrameworkPath));
    EXPECT_FALSE(lookupFunction<CGSMainConnectionIDFunction>(*skyLight, "CGSMainConnectionID"));

    const uint64_t generation = dynamicLoaderGeneration();
    SimulatedMachine::install(std::make_shared<SimulatedMachine>());
    EXPECT_NE(dynamicLoaderGeneration(), generation);
}
