// The simulated machine's side of posted input: the cursor in both
// coordinate spaces, what is held down, and failing creation.

#include <gtest/gtest.h>

#include "Platform/SimulatedMac/EventPosting.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"
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

namespace {

using SimulatedInputHistory = VirtualTimeTest;

std::vector<std::string> summaryLines(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (const auto& line : lines)
        if (line.rfind("[SimulatedEvents] ", 0) == 0) out.push_back(line);
    return out;
}

TEST_F(SimulatedInputHistory, PostsWithinASecondShareOneSummaryLineWithCounts) {
    auto post = [](CGEventType type) {
        CGEventPost(CGEventTapLocation::hid, CGEventCreateMouseEvent(nullptr, type, {1, 2}, CGMouseButton::left));
    };
    post(CGEventType::mouseMoved);  // the first is told at once
    post(CGEventType::mouseMoved);
    post(CGEventType::leftMouseDown);
    CGEventPostKeyboard(CGEventTapLocation::session, 12, true, 0);
    advance(0.5);
    post(CGEventType::mouseMoved);
    EXPECT_EQ(summaryLines(logLines()), (std::vector<std::string>{"[SimulatedEvents] posted 1 event(s): "
                                                                   "mouse type=5 via=hid x1"}));
    advance(0.5);
    post(CGEventType::leftMouseUp);
    EXPECT_EQ(summaryLines(logLines()).back(),
              "[SimulatedEvents] posted 5 event(s): key down via=session x1, mouse type=1 via=hid x1, "
              "mouse type=2 via=hid x1, mouse type=5 via=hid x2");
    EXPECT_EQ(SimulatedMachine::current().component<SimulatedEventTap>().events().size(), 6u);
}

TEST_F(SimulatedInputHistory, AnHourOfPointerMovesAt120HzKeepsTheTapFlat) {
    auto& tap = SimulatedMachine::current().component<SimulatedEventTap>();
    constexpr int kPerSecond = 120;
    constexpr int kSeconds = 3600;
    size_t keptAfterAMinute = 0;
    for (int i = 0; i < kPerSecond * kSeconds; ++i) {
        const CGPoint at{static_cast<double>(i % 1000), static_cast<double>(i % 700)};
        CGEventPost(CGEventTapLocation::hid,
                    CGEventCreateMouseEvent(nullptr, CGEventType::mouseMoved, at, CGMouseButton::left));
        if (i == kPerSecond * 60) keptAfterAMinute = tap.recordedEventCount();
        advance(1.0 / kPerSecond);
    }
    EXPECT_EQ(keptAfterAMinute, SimulatedEventTap::kRecentEventLimit);
    EXPECT_EQ(tap.recordedEventCount(), SimulatedEventTap::kRecentEventLimit);
    const auto kept = tap.events();
    const int last = kPerSecond * kSeconds - 1;
    EXPECT_EQ(kept.back().location, (CGPoint{static_cast<double>(last % 1000), static_cast<double>(last % 700)}));
    EXPECT_EQ(tap.cursorLocation(), kept.back().location);
    // One line a second at most, whatever the rate, and between them they
    // count every move but those of the last second.
    const auto lines = summaryLines(logLines());
    EXPECT_LE(lines.size(), size_t{kSeconds + 1});
    long long counted = 0;
    for (const auto& line : lines) counted += std::stoll(line.substr(line.find("posted ") + 7));
    EXPECT_GT(counted, kPerSecond * (kSeconds - 2));
    EXPECT_LE(counted, kPerSecond * kSeconds);
}

}  // namespace
