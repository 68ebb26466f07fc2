// Pointer messages and gestures become the mouse, scroll and key events a
// local mouse and trackpad would give, at the right place on the display.

#include "InputTestSupport.h"

#include "HostApp/Capture/HostVideoCapture.h"
#include "HostApp/Capture/VideoStreamProfile.h"

using namespace platform;
using T = CGEventType;

namespace {

using PointerInjection = InputTest;

TEST_F(PointerInjection, ButtonMasksBecomeDownsUpsDragsAndMoves) {
    struct Step { uint8_t mask; uint16_t x, y; };
    const struct { std::vector<Step> steps; std::vector<std::pair<T, CGPoint>> events; } cases[] = {
        {{{0x01, 10, 10}, {0x01, 20, 30}}, {{T::leftMouseDown, {10, 10}}, {T::leftMouseDragged, {20, 30}}}},
        {{{0x01, 5, 5}, {0x05, 5, 5}}, {{T::leftMouseDown, {5, 5}}, {T::rightMouseDown, {5, 5}}}},
        {{{0x07, 1, 2}, {0x00, 3, 4}},
         {{T::leftMouseDown, {1, 2}}, {T::rightMouseDown, {1, 2}}, {T::otherMouseDown, {1, 2}},
          {T::leftMouseUp, {3, 4}}, {T::rightMouseUp, {3, 4}}, {T::otherMouseUp, {3, 4}}}},
        {{{0x06, 7, 7}, {0x06, 8, 8}},
         {{T::rightMouseDown, {7, 7}}, {T::otherMouseDown, {7, 7}}, {T::rightMouseDragged, {8, 8}}}},
        {{{0x00, 9, 9}}, {{T::mouseMoved, {9, 9}}}},
    };
    for (const auto& c : cases) {
        tap().clear();
        for (const auto& s : c.steps) pointer(s.mask, s.x, s.y);
        auto posted = events();
        ASSERT_EQ(posted.size(), c.events.size());
        for (size_t i = 0; i < posted.size(); ++i) {
            EXPECT_EQ(posted[i].type, c.events[i].first) << i;
            EXPECT_EQ(posted[i].location, c.events[i].second) << i;
        }
        pointer(0, 0, 0);  // everything up for the next case
    }
    tap().clear();
    onQueue([&] { server->applyPointerEvent({0x01, 5, 5, 0, 10}, viewer); });
    EXPECT_TRUE(events().empty()) << "a zero-sized framebuffer is ignored";
    onQueue([&] { EXPECT_FALSE(server->remoteInput.inputButtonMasks.count(viewer)); });
}

TEST_F(PointerInjection, WheelBitsScrollTwelvePixelsAfterAMove) {
    onQueue([&] { server->postScrollIfNeeded(0x18, {4, 4}); });
    EXPECT_TRUE(events().empty()) << "opposite wheel bits cancel out";
    onQueue([&] { server->postScrollIfNeeded(0x28, {4, 4}); });
    auto posted = events();
    ASSERT_EQ(posted.size(), 2u);
    EXPECT_EQ(posted[0].type, T::mouseMoved);
    EXPECT_EQ(posted[1].scrollUnits, CGScrollEventUnit::pixel);
    EXPECT_EQ(std::make_pair(posted[1].wheel1, posted[1].wheel2), std::make_pair(12, -12));
}

TEST_F(PointerInjection, ClickStateCountsDoubleClicksWithinTimeAndDistance) {
    const struct {
        double gap;
        uint16_t dx, dy;
        int64_t second;
    } cases[] = {{0.4, 3, 4, 2}, {0.5, 0, 0, 2}, {0.501, 0, 0, 1}, {0.1, 4, 4, 2}, {0.1, 6, 1, 1}};
    for (const auto& c : cases) {
        advance(5);
        tap().clear();
        pointer(0x01, 100, 100);
        pointer(0x00, 100, 100);
        advance(c.gap);
        pointer(0x01, 100 + c.dx, 100 + c.dy);
        pointer(0x00, 100 + c.dx, 100 + c.dy);
        auto posted = events();
        ASSERT_EQ(posted.size(), 4u);
        EXPECT_EQ(posted[0].clickState, 1);
        EXPECT_EQ(posted[2].clickState, c.second) << c.gap << " s, " << c.dx << "," << c.dy;
        EXPECT_EQ(posted[3].clickState, c.second);
    }
    pointer(0x01, 106, 101);  // a third quick click stays a double click
    EXPECT_EQ(events().back().clickState, 2);
    pointer(0x04, 106, 101);
    EXPECT_EQ(events().back().clickState, 0) << "right clicks carry no count";
}

TEST_F(PointerInjection, LeftPressLiftsAControlHeldThroughTheKeys) {
    key(0xFFE3, true);
    pointer(0x01, 50, 50);
    pointer(0x01, 60, 50);
    auto posted = events();
    ASSERT_EQ(posted.size(), 4u);
    EXPECT_EQ(posted[0].flags, kCGEventFlagMaskControl);
    EXPECT_EQ(std::make_pair(posted[1].type, posted[1].keyCode), std::make_pair(T::keyUp, uint16_t{59}));
    EXPECT_EQ(posted[2].type, T::leftMouseDown);
    for (size_t i = 1; i < 4; ++i) EXPECT_EQ(posted[i].flags, 0u);
}

TEST_F(PointerInjection, FramebufferPointsMapOntoTheDisplayEdgeToEdge) {
    const struct { int x, y, w, h; std::optional<CGPoint> expected; } cases[] = {
        {0, 0, 1, 1, CGPoint{0, 0}},            {5000, 0, 100, 100, CGPoint{1511, 0}},
        {99, 99, 100, 100, CGPoint{1511, 981}}, {-3, 50, 101, 101, CGPoint{0, 490.5}},
        {1, 1, 0, 10, std::nullopt},
    };
    for (const auto& c : cases)
        onQueue([&] { EXPECT_EQ(server->displayPoint(c.x, c.y, c.w, c.h), c.expected) << c.x << "," << c.y; });
    // Max mode shows the Viewer only its viewport (origin bottom left).
    auto request = CaptureModeControlPayload::preset(VideoCaptureMode::max, VideoChromaMode::yuv420,
                                                     VideoCaptureBackend::physical);
    auto profile = VideoStreamProfile::forDisplay(1, request, false, std::nullopt);
    auto capture = HostVideoCapture::create(1, profile, profile, true, false);
    capture->setViewportROI(CGRect{0.5, 0.5, 0.5, 0.5});
    onQueue([&] {
        server->streamControl.videoCapture = capture;
        EXPECT_EQ(server->displayPoint(0, 0, 100, 100), (CGPoint{755.5, 0}));
        EXPECT_EQ(server->displayPoint(99, 99, 100, 100), (CGPoint{1511, 490.5}));
        server->streamControl.videoCapture.reset();
        server->selectedDisplayID = 77;  // a display that is not there has no points
        EXPECT_EQ(server->displayPoint(1, 1, 10, 10), std::nullopt);
    });
}

TEST_F(PointerInjection, MagnifyStepsBecomeZoomCombos) {
    const struct {
        int16_t amount;
        uint16_t key;
        size_t combos;
    } cases[] = {{79, 24, 1},  {80, 24, 1},  {239, 24, 2},    {240, 24, 3},
                 {319, 24, 3}, {320, 24, 4}, {-1000, 27, 4}, {0, 0, 0}};
    for (const auto& c : cases) {
        tap().clear();
        GestureEventControlPayload g{GestureEventKind::magnify, 10, 10, kWidth, kHeight, 0, 0, c.amount};
        onQueue([&] { server->applyGestureEvent(g, viewer); });
        size_t combos = 0;
        for (const auto& e : tap().keyboardEvents()) {
            if (!e.keyDown || e.keyCode != c.key) continue;
            ++combos;
            EXPECT_EQ(e.flags, c.amount > 0 ? 0x120000u : 0x100000u);
        }
        EXPECT_EQ(combos, c.combos) << c.amount;
        EXPECT_EQ(events().front().type, T::mouseMoved);
    }
}

TEST_F(PointerInjection, GestureScrollIsClampedAndKeepsItsUnits) {
    GestureEventControlPayload g{GestureEventKind::scroll, 0, 0, 0, 0, -2000, 30, 1};
    onQueue([&] { server->applyGestureEvent(g, viewer); });
    auto posted = events();
    ASSERT_EQ(posted.size(), 1u) << "no framebuffer size: no move, but still the scroll";
    EXPECT_EQ(posted[0].scrollUnits, CGScrollEventUnit::line);
    EXPECT_EQ(std::make_pair(posted[0].wheel1, posted[0].wheel2), std::make_pair(30, -800));
}

}  // namespace
