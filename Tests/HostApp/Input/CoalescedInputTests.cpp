// Which of a connection's packets fold into the input it holds, and what
// the fold keeps: the latest move, summed scrolls, counted acknowledgements.

#include <gtest/gtest.h>

#include <vector>

#include "HostApp/Input/CoalescedInput.h"

namespace {

using Fold = CoalescedInput::Fold;

std::vector<uint8_t> pointer(uint8_t mask, uint16_t x, uint16_t y) {
    PointerEventControlPayload p;
    p.buttonMask = mask;
    p.x = x;
    p.y = y;
    p.framebufferWidth = 1000;
    p.framebufferHeight = 800;
    return p.encode();
}

std::vector<uint8_t> scroll(int16_t dx, int16_t dy, int16_t units = 0, uint16_t x = 10) {
    GestureEventControlPayload g;
    g.kind = GestureEventKind::scroll;
    g.x = x;
    g.framebufferWidth = 1000;
    g.framebufferHeight = 800;
    g.deltaX = dx;
    g.deltaY = dy;
    g.unitsOrAmount = units;
    return g.encode();
}

struct Step {
    AuxPacketType type;
    std::vector<uint8_t> payload;
    uint8_t heldButtons;
    Fold expected;
};

struct FoldCase {
    const char* name;
    std::vector<Step> steps;
};

TEST(CoalescedInputFold, EachPacketFoldsOrAsksForWhatIsHeldToGoFirst) {
    GestureEventControlPayload magnify;
    magnify.kind = GestureEventKind::magnify;
    magnify.framebufferWidth = magnify.framebufferHeight = 100;
    const FoldCase cases[] = {
        {"moves fold", {{AuxPacketType::pointerEvent, pointer(0, 1, 1), 0, Fold::absorbed},
                        {AuxPacketType::pointerEvent, pointer(0, 2, 2), 0, Fold::absorbed}}},
        {"a drag with the button already down folds",
         {{AuxPacketType::pointerEvent, pointer(0x01, 1, 1), 0x01, Fold::absorbed}}},
        {"a press is never held", {{AuxPacketType::pointerEvent, pointer(0x01, 1, 1), 0, Fold::dispatch}}},
        {"a release is never held", {{AuxPacketType::pointerEvent, pointer(0, 1, 1), 0x04, Fold::dispatch}}},
        {"wheel clicks are never held", {{AuxPacketType::pointerEvent, pointer(0x08, 1, 1), 0, Fold::dispatch}}},
        {"no framebuffer is not a move", {{AuxPacketType::pointerEvent, PointerEventControlPayload{}.encode(), 0,
                                           Fold::dispatch}}},
        {"a short pointer payload is reported", {{AuxPacketType::pointerEvent, {1, 2, 3}, 0, Fold::dispatch}}},
        {"keys are never held", {{AuxPacketType::keyEvent, {1, 0, 0, 0, 0, 0, 0, 0}, 0, Fold::dispatch},
                                 {AuxPacketType::rawKeyEvent, std::vector<uint8_t>(12, 0), 0, Fold::dispatch}}},
        {"a move after a scroll waits for it", {{AuxPacketType::gestureEvent, scroll(0, 5), 0, Fold::absorbed},
                                                {AuxPacketType::pointerEvent, pointer(0, 1, 1), 0,
                                                 Fold::flushThenRetry}}},
        {"a scroll after a move waits for it", {{AuxPacketType::pointerEvent, pointer(0, 1, 1), 0, Fold::absorbed},
                                                {AuxPacketType::gestureEvent, scroll(0, 5), 0, Fold::flushThenRetry}}},
        {"line and pixel scrolls do not add", {{AuxPacketType::gestureEvent, scroll(0, 5, 1), 0, Fold::absorbed},
                                               {AuxPacketType::gestureEvent, scroll(0, 5, 0), 0,
                                                Fold::flushThenRetry}}},
        {"other gestures are never held", {{AuxPacketType::gestureEvent, magnify.encode(), 0, Fold::dispatch}}},
        {"acks and key-frame requests fold beside a move",
         {{AuxPacketType::pointerEvent, pointer(0, 1, 1), 0, Fold::absorbed},
          {AuxPacketType::videoFrameAck, {}, 0, Fold::absorbed},
          {AuxPacketType::keyFrameRequest, {}, 0, Fold::absorbed},
          {AuxPacketType::pointerEvent, pointer(0, 3, 3), 0, Fold::absorbed}}},
    };
    for (const auto& c : cases) {
        CoalescedInput held;
        for (size_t i = 0; i < c.steps.size(); ++i) {
            const Step& step = c.steps[i];
            EXPECT_EQ(held.fold(step.type, step.payload, step.heldButtons), step.expected) << c.name << " step " << i;
        }
    }
}

TEST(CoalescedInputFold, ABurstKeepsTheLatestMoveTheSummedScrollAndTheCounts) {
    CoalescedInput held;
    for (uint16_t i = 1; i <= 100; ++i) ASSERT_EQ(held.fold(AuxPacketType::pointerEvent, pointer(0, i, 2 * i), 0),
                                                 Fold::absorbed);
    for (int i = 0; i < 5; ++i) held.fold(AuxPacketType::videoFrameAck, {}, 0);
    held.fold(AuxPacketType::keyFrameRequest, {}, 0);
    held.fold(AuxPacketType::keyFrameRequest, {}, 0);
    CoalescedInput taken = held.take();
    EXPECT_TRUE(held.empty());
    ASSERT_TRUE(taken.pointerMove);
    EXPECT_EQ(taken.pointerMove->x, 100);
    EXPECT_EQ(taken.pointerMove->y, 200);
    EXPECT_EQ(taken.frameAcks, 5u);
    EXPECT_TRUE(taken.keyFrameRequested);

    for (int i = 0; i < 10; ++i) held.fold(AuxPacketType::gestureEvent, scroll(3, -7, 0, static_cast<uint16_t>(i)), 0);
    ASSERT_TRUE(held.scroll);
    EXPECT_EQ(held.scroll->deltaX, 30);
    EXPECT_EQ(held.scroll->deltaY, -70);
    EXPECT_EQ(held.scroll->x, 9) << "the scroll lands where the last one was";
}

// A burst whose sum passes what one scroll event carries: everything held
// goes as events of at most +-32,767 each, in the order scrolled, and their
// deltas add up to the whole distance (the server's flush-and-retry loop
// stands in here).
TEST(CoalescedInputFold, AScrollBurstPastOneEventsRangeGoesAsFurtherEventsLosingNothing) {
    struct ScrollCase {
        const char* name;
        std::vector<std::pair<int16_t, int16_t>> scrolls;
        std::vector<std::pair<int, int>> posted;  // the events let go, in order
    };
    const auto repeat = [](int n, int16_t dx, int16_t dy) {
        return std::vector<std::pair<int16_t, int16_t>>(static_cast<size_t>(n), {dx, dy});
    };
    const ScrollCase cases[] = {
        {"fits in one", repeat(3, 100, -200), {{300, -600}}},
        {"down past the range", repeat(3, 0, 30000), {{0, 30000}, {0, 30000}, {0, 30000}}},
        {"up past the range", repeat(2, 0, -20000), {{0, -20000}, {0, -20000}}},
        {"the extremes themselves fit", {{32767, -32768}}, {{32767, -32768}}},
        {"one axis passing sends both as they are",
         {{20000, 1}, {20000, 1}, {1, 1}}, {{20000, 1}, {20001, 2}}},
        {"a back-and-forth never passes", {{30000, 0}, {-30000, 0}, {30000, 0}}, {{30000, 0}}},
        {"many small ones", repeat(1000, 0, 100), {{0, 32700}, {0, 32700}, {0, 32700}, {0, 1900}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CoalescedInput held;
        std::vector<std::pair<int, int>> posted;
        const auto post = [&](const CoalescedInput& taken) {
            if (taken.scroll) posted.emplace_back(taken.scroll->deltaX, taken.scroll->deltaY);
        };
        for (const auto& [dx, dy] : c.scrolls) {
            const auto payload = scroll(dx, dy);
            Fold fold = held.fold(AuxPacketType::gestureEvent, payload, 0);
            if (fold == Fold::flushThenRetry) {
                post(held.take());
                fold = held.fold(AuxPacketType::gestureEvent, payload, 0);
            }
            ASSERT_EQ(fold, Fold::absorbed);
        }
        post(held.take());
        EXPECT_EQ(posted, c.posted);
    }
}

}  // namespace
