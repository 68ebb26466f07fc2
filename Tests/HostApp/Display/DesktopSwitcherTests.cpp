#include <gtest/gtest.h>

#include "HostApp/Display/DesktopSwitcher.h"
#include "Platform/SimulatedMac/CoreGraphicsDisplays.h"
#include "Platform/SimulatedMac/EventPosting.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"
#include "Support/TestSupport.h"

using namespace platform;
using Kind = DesktopSwitcher::RequestOutcome::Kind;

namespace {

class DesktopStepping : public platform::testing::VirtualTimeTest {
protected:
    SimulatedSpaces& spaces() { return SimulatedMachine::current().component<SimulatedSpaces>(); }
    SimulatedDisplaySystem& displays() { return SimulatedMachine::current().component<SimulatedDisplaySystem>(); }
    std::vector<PostedEvent> posted() {
        return SimulatedMachine::current().component<SimulatedEventTap>().keyboardEvents();
    }
    std::string uuid(uint32_t id) { return *CGDisplayCreateUUIDFromDisplayID(id); }

    static PlistValue space(const char* key, uint64_t id) {
        PlistValue d;
        d.set(key, id);
        return d;
    }
};

}  // namespace

TEST_F(DesktopStepping, ForwardFromTheFirstOfTwoSpacesIsRequestedAndReached) {
    ASSERT_TRUE(DesktopSwitcher::canSwitchDesktops());
    const auto before = spaces().displays()[0];
    const uint64_t start = Clock::uptimeNs();

    auto outcome = DesktopSwitcher::requestStep(true, CGMainDisplayID());
    ASSERT_EQ(outcome.kind, Kind::requested);
    const auto& request = *outcome.request;
    EXPECT_EQ(request, (DesktopSwitcher::Request{uuid(1), before.spaceIDs[1], before.spaceIDs}));
    EXPECT_TRUE(DesktopSwitcher::didReach(request));
    EXPECT_EQ(DesktopSwitcher::position(request), (DesktopSwitcher::Position{2, 2}));

    // Control down, Right Arrow down, Right Arrow up, Control up, 30 ms apart.
    auto events = posted();
    ASSERT_EQ(events.size(), 4u);
    const std::pair<uint16_t, bool> expected[] = {{59, true}, {124, true}, {124, false}, {59, false}};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(events[i].keyCode, expected[i].first) << i;
        EXPECT_EQ(events[i].keyDown, expected[i].second) << i;
        EXPECT_EQ(events[i].route, PostedEventRoute::accessibility);
        EXPECT_EQ(events[i].uptimeNs - start, i * 30'000'000ull) << i;
    }
    EXPECT_EQ(Clock::uptimeNs() - start, 90'000'000ull);
}

TEST_F(DesktopStepping, NoStepBeyondEitherEnd) {
    EXPECT_EQ(DesktopSwitcher::requestStep(false, 1).kind, Kind::atEdge);
    EXPECT_TRUE(posted().empty());
    ASSERT_EQ(DesktopSwitcher::requestStep(true, 1).kind, Kind::requested);
    const size_t postedSoFar = posted().size();
    EXPECT_EQ(DesktopSwitcher::requestStep(true, 1).kind, Kind::atEdge);
    EXPECT_EQ(posted().size(), postedSoFar);
    auto back = DesktopSwitcher::requestStep(false, 1);
    ASSERT_EQ(back.kind, Kind::requested);
    EXPECT_EQ(DesktopSwitcher::position(*back.request), (DesktopSwitcher::Position{1, 2}));
}

TEST_F(DesktopStepping, UnavailableWithoutSkyLight) {
    spaces().setFrameworkPresent(false);
    EXPECT_FALSE(DesktopSwitcher::canSwitchDesktops());
    EXPECT_TRUE(DesktopSwitcher::managedDisplays().empty());
    EXPECT_EQ(DesktopSwitcher::requestStep(true, 1).kind, Kind::unavailable);
    EXPECT_TRUE(posted().empty());
}

TEST_F(DesktopStepping, UnavailableWithoutTheKeyPostingFunction) {
    spaces().setSymbolPresent("AXUIElementPostKeyboardEvent", false);
    EXPECT_FALSE(DesktopSwitcher::canSwitchDesktops());
    EXPECT_FALSE(DesktopSwitcher::managedDisplays().empty());
    EXPECT_EQ(DesktopSwitcher::requestStep(true, 1).kind, Kind::unavailable);
}

TEST_F(DesktopStepping, WorksWithoutDisplayUUIDsThroughTheListOrder) {
    spaces().setSymbolPresent("CGDisplayCreateUUIDFromDisplayID", false);
    EXPECT_TRUE(DesktopSwitcher::canSwitchDesktops());
    auto outcome = DesktopSwitcher::requestStep(true, 1);
    ASSERT_EQ(outcome.kind, Kind::requested);
    EXPECT_TRUE(DesktopSwitcher::didReach(*outcome.request));
}

TEST_F(DesktopStepping, ResolvedFunctionsAreKeptUntilTheImagesChange) {
    ASSERT_TRUE(DesktopSwitcher::canSwitchDesktops());
    // Resolved once: a later change of the loaded images is not seen...
    spaces().setFrameworkPresent(false);
    EXPECT_TRUE(DesktopSwitcher::canSwitchDesktops());
    // ...until a new machine (a new process image) is installed.
    SimulatedMachine::install(std::make_shared<SimulatedMachine>());
    spaces().setFrameworkPresent(false);
    EXPECT_FALSE(DesktopSwitcher::canSwitchDesktops());
}

TEST_F(DesktopStepping, IgnoredShortcutIsNotReached) {
    spaces().setKeyResponse(SpacesKeyResponse::ignore);
    auto outcome = DesktopSwitcher::requestStep(true, 1);
    ASSERT_EQ(outcome.kind, Kind::requested);
    EXPECT_FALSE(DesktopSwitcher::didReach(*outcome.request));
    EXPECT_EQ(DesktopSwitcher::position(*outcome.request), (DesktopSwitcher::Position{1, 2}));
}

TEST_F(DesktopStepping, LateShortcutIsReachedLater) {
    spaces().setKeyResponse(SpacesKeyResponse::applyLate, 0.4);
    auto outcome = DesktopSwitcher::requestStep(true, 1);
    ASSERT_EQ(outcome.kind, Kind::requested);
    EXPECT_FALSE(DesktopSwitcher::didReach(*outcome.request));
    advance(0.4);
    EXPECT_TRUE(DesktopSwitcher::didReach(*outcome.request));
}

TEST_F(DesktopStepping, DisplayWithOneSpaceIsNeverTheTarget) {
    displays().configureBuiltInWithExternal1440();
    spaces().setDisplays({{uuid(1), {1}, 1}, {uuid(2), {4, 5, 6}, 5}});
    auto outcome = DesktopSwitcher::requestStep(true, 1);
    ASSERT_EQ(outcome.kind, Kind::requested);
    EXPECT_EQ(outcome.request->displayIdentifier, uuid(2));
    EXPECT_EQ(outcome.request->expectedSpaceID, 6u);
    EXPECT_TRUE(DesktopSwitcher::didReach(*outcome.request));
    EXPECT_EQ(DesktopSwitcher::position(*outcome.request), (DesktopSwitcher::Position{3, 3}));
}

TEST_F(DesktopStepping, TargetIsPreferredThenMainThenListOrder) {
    displays().configureBuiltInWithExternal1440();
    const std::vector<DisplaySpaces> list{{uuid(2), 4, {4, 5}}, {uuid(1), 1, {1, 2}}, {"Other", 7, {7, 8}}};
    EXPECT_EQ(DesktopSwitcher::targetDisplay(2, list)->identifier, uuid(2));
    EXPECT_EQ(DesktopSwitcher::targetDisplay(1, list)->identifier, uuid(1));
    EXPECT_EQ(DesktopSwitcher::targetDisplay(99, list)->identifier, uuid(1));  // the main display
    const std::vector<DisplaySpaces> single{{uuid(1), 1, {1}}, {"Other", 7, {7, 8}}};
    EXPECT_EQ(DesktopSwitcher::targetDisplay(1, single)->identifier, "Other");
    EXPECT_FALSE(DesktopSwitcher::targetDisplay(1, {{uuid(1), 1, {1}}}).has_value());
}

TEST_F(DesktopStepping, SpacesListIsReadDefensively) {
    PlistValue good;
    good.set("Display Identifier", "D1");
    good.set("Current Space", space("id64", 7));
    PlistValue list{PlistValue::Array{}};
    PlistValue spacesOfGood{PlistValue::Array{}};
    spacesOfGood.append(space("id64", 7));
    spacesOfGood.append(space("ManagedSpaceID", 8));
    spacesOfGood.append(space("type", 0));  // no identifier: left out
    PlistValue named;
    named.set("ManagedSpaceID", "not a number");
    named.set("id64", 9);
    spacesOfGood.append(named);
    good.set("Spaces", spacesOfGood);
    list.append(good);
    PlistValue unnamed;
    unnamed.set("Spaces", PlistValue::Array{space("id64", 1), space("id64", 2)});
    list.append(unnamed);
    PlistValue emptyName;
    emptyName.set("Display Identifier", "");
    list.append(emptyName);
    PlistValue noCurrent;
    noCurrent.set("Display Identifier", "D2");
    list.append(noCurrent);
    spaces().setManagedDisplaySpacesOverride(list);

    EXPECT_EQ(DesktopSwitcher::managedDisplays(),
              (std::vector<DisplaySpaces>{{"D1", 7, {7, 8, 9}}, {"D2", 0, {}}}));

    // One element that is not a dictionary spoils the whole list.
    list.append("junk");
    spaces().setManagedDisplaySpacesOverride(list);
    EXPECT_TRUE(DesktopSwitcher::managedDisplays().empty());
    spaces().setManagedDisplaySpacesOverride(PlistValue("not a list"));
    EXPECT_TRUE(DesktopSwitcher::managedDisplays().empty());
}

TEST_F(DesktopStepping, CurrentSpaceWithoutIdentifierIsUnavailable) {
    PlistValue entry;
    entry.set("Display Identifier", uuid(1));
    entry.set("Current Space", space("type", 0));
    entry.set("Spaces", PlistValue::Array{space("ManagedSpaceID", 1), space("ManagedSpaceID", 2)});
    spaces().setManagedDisplaySpacesOverride(PlistValue(PlistValue::Array{entry}));
    EXPECT_EQ(DesktopSwitcher::managedDisplays()[0].currentSpaceID, 0u);
    EXPECT_EQ(DesktopSwitcher::requestStep(true, 1).kind, Kind::unavailable);
    EXPECT_TRUE(posted().empty());
}

TEST_F(DesktopStepping, PositionIsGoneWhenTheDisplayLostItsSpaces) {
    auto outcome = DesktopSwitcher::requestStep(true, 1);
    ASSERT_EQ(outcome.kind, Kind::requested);
    spaces().setDisplays({{uuid(1), {outcome.request->expectedSpaceID}, outcome.request->expectedSpaceID}});
    EXPECT_TRUE(DesktopSwitcher::didReach(*outcome.request));
    EXPECT_FALSE(DesktopSwitcher::position(*outcome.request).has_value());
    spaces().setDisplays({});
    EXPECT_FALSE(DesktopSwitcher::didReach(*outcome.request));
}

TEST_F(DesktopStepping, SpaceIdentifierPrefersManagedSpaceID) {
    PlistValue both;
    both.set("ManagedSpaceID", 5);
    both.set("id64", 6);
    EXPECT_EQ(DesktopSwitcher::spaceIdentifier(*both.asDictionary()), 5u);
    EXPECT_EQ(DesktopSwitcher::spaceIdentifier(*space("id64", 0xFFFFFFFFFFFFFFF0ull).asDictionary()),
              0xFFFFFFFFFFFFFFF0ull);
    EXPECT_FALSE(DesktopSwitcher::spaceIdentifier(*space("uuid", 1).asDictionary()).has_value());
}
