// The simulated machine's side of posted input: the cursor, what is held
// down, the two coordinate spaces, failing creation, trust prompts and
// user-activity declarations.

#include <gtest/gtest.h>

#include "Platform/Accessibility.h"
#include "Platform/EventPosting.h"
#include "Platform/PowerManagement.h"
#include "Platform/SimulatedMachine.h"
#include "Support/TestSupport.h"

using namespace platform;

namespace {

class SimulatedInput : public VirtualTimeTest {
protected:
    SimulatedEventTap& tap() { return SimulatedMachine::current().component<SimulatedEventTap>(); }
    static void post(const CGEventRef& e) { CGEventPost(CGEventTapLocation::hid, e); }
};

TEST_F(SimulatedInput, MouseEventsMoveTheCursorSeenInBothSpaces) {
    post(CGEventCreateMouseEvent(nullptr, CGEventType::leftMouseDown, {100, 200}, CGMouseButton::left));
    EXPECT_EQ(CGEventGetLocation(CGEventCreate(nullptr)), (CGPoint{100, 200}));
    // AppKit counts from the bottom of the 982-point main display.
    EXPECT_EQ(NSEvent::mouseLocation(), (CGPoint{100, 782}));
    EXPECT_EQ(tap().buttonsDown(), (std::set<CGMouseButton>{CGMouseButton::left}));
    post(CGEventCreateScrollWheelEvent2(nullptr, CGScrollEventUnit::line, 1, 3, 9, 9));
    EXPECT_EQ(tap().events().back().wheel2, 0) << "only the wheels counted are set";
    post(CGEventCreateMouseEvent(nullptr, CGEventType::leftMouseUp, {5, 6}, CGMouseButton::left));
    EXPECT_TRUE(tap().buttonsDown().empty());
    EXPECT_EQ(tap().cursorLocation(), (CGPoint{5, 6}));
}

TEST_F(SimulatedInput, KeysDownFollowKeyEventsButNotTypedText) {
    post(CGEventCreateKeyboardEvent(nullptr, 12, true));
    auto text = CGEventCreateKeyboardEvent(nullptr, 0, true);
    CGEventKeyboardSetUnicodeString(text, u"x");
    post(text);
    EXPECT_EQ(tap().keysDown(), (std::set<uint16_t>{12}));
    post(CGEventCreateKeyboardEvent(nullptr, 12, false));
    EXPECT_TRUE(tap().keysDown().empty());
    for (const auto& line : logLines()) EXPECT_EQ(line.find("12"), std::string::npos) << line;
}

TEST_F(SimulatedInput, CreationFailsAfterTheGivenSuccesses) {
    tap().failCreation(SimulatedEventKind::keyboard, 1);
    EXPECT_TRUE(CGEventCreateKeyboardEvent(nullptr, 1, true));
    EXPECT_FALSE(CGEventCreateKeyboardEvent(nullptr, 1, true));
    EXPECT_TRUE(CGEventCreateMouseEvent(nullptr, CGEventType::mouseMoved, {}, CGMouseButton::left));
    tap().clearCreationFailure(SimulatedEventKind::keyboard);
    EXPECT_TRUE(CGEventCreateKeyboardEvent(nullptr, 1, true));
    tap().failCreation(SimulatedEventKind::systemDefined);
    auto e = NSEvent::otherEvent(CGEventType::systemDefined, {}, 0xA00, 0, 0, 8, 1, -1);
    ASSERT_TRUE(e);
    EXPECT_FALSE(e->cgEvent());
}

TEST_F(SimulatedInput, PromptsAreCountedOnlyWhenAskedForAndUntrusted) {
    auto& ax = SimulatedMachine::current().component<SimulatedAccessibility>();
    EXPECT_TRUE(AXIsProcessTrustedWithOptions({{kAXTrustedCheckOptionPrompt, true}}));
    SimulatedMachine::current().setPermission(Permission::accessibility, false);
    EXPECT_FALSE(AXIsProcessTrustedWithOptions({{kAXTrustedCheckOptionPrompt, false}}));
    EXPECT_FALSE(AXIsProcessTrustedWithOptions({{kAXTrustedCheckOptionPrompt, true}}));
    EXPECT_EQ(ax.promptCount(), 1);
}

TEST_F(SimulatedInput, UserActivityIsRecordedEvenWhenItFails) {
    auto& power = SimulatedMachine::current().component<SimulatedPowerManagement>();
    IOPMAssertionID id = 0;
    EXPECT_EQ(IOPMAssertionDeclareUserActivity("a", IOPMUserActiveType::local, id), kIOReturnSuccess);
    EXPECT_NE(id, 0u);
    power.setUserActivityError(kIOReturnError);
    advance(1);
    EXPECT_EQ(IOPMAssertionDeclareUserActivity("b", IOPMUserActiveType::remote, id), kIOReturnError);
    auto declared = power.userActivityDeclarations();
    ASSERT_EQ(declared.size(), 2u);
    EXPECT_EQ(declared[1].name, "b");
    EXPECT_EQ(declared[1].result, kIOReturnError);
    EXPECT_EQ(declared[1].uptimeNs - declared[0].uptimeNs, 1'000'000'000u);
}

}  // namespace
