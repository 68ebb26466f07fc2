// The simulated machine's side of posted input: the cursor in both
// coordinate spaces, what is held down, and failing creation.

#include <gtest/gtest.h>

#include "Platform/EventPosting.h"
#include "Platform/SimulatedMachine.h"
#include "Support/TestSupport.h"

using namespace platform;

namespace {

using SimulatedInput = VirtualTimeTest;

TEST_F(SimulatedInput, EventsMoveTheCursorAndHoldKeysAndButtons) {
    auto& tap = SimulatedMachine::current().component<SimulatedEventTap>();
    auto post = [](const CGEventRef& e) { CGEventPost(CGEventTapLocation::hid, e); };
    post(CGEventCreateMouseEvent(nullptr, CGEventType::leftMouseDown, {100, 200}, CGMouseButton::left));
    post(CGEventCreateKeyboardEvent(nullptr, 12, true));
    auto text = CGEventCreateKeyboardEvent(nullptr, 0, true);
    CGEventKeyboardSetUnicodeString(text, u"x");
    post(text);  // typed text holds no key
    EXPECT_EQ(CGEventGetLocation(CGEventCreate(nullptr)), (CGPoint{100, 200}));
    EXPECT_EQ(NSEvent::mouseLocation(), (CGPoint{100, 782})) << "AppKit counts from the bottom of 982 points";
    EXPECT_EQ(tap.buttonsDown(), (std::set<CGMouseButton>{CGMouseButton::left}));
    EXPECT_EQ(tap.keysDown(), (std::set<uint16_t>{12}));
    post(CGEventCreateMouseEvent(nullptr, CGEventType::leftMouseUp, {5, 6}, CGMouseButton::left));
    post(CGEventCreateKeyboardEvent(nullptr, 12, false));
    EXPECT_TRUE(tap.buttonsDown().empty() && tap.keysDown().empty());
    tap.failCreation(SimulatedEventKind::keyboard, 1);  // one more, then none
    EXPECT_TRUE(CGEventCreateKeyboardEvent(nullptr, 1, true));
    EXPECT_FALSE(CGEventCreateKeyboardEvent(nullptr, 1, true));
}

}  // namespace
