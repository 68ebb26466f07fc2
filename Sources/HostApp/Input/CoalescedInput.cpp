#include "HostApp/Input/CoalescedInput.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace {

constexpr uint8_t kButtonBits = 0x07;
constexpr uint8_t kWheelBits = 0x78;

// Whether the two deltas add up to one a scroll event can carry.
bool sumFits(int16_t a, int16_t b) {
    const int sum = int{a} + int{b};
    return sum >= std::numeric_limits<int16_t>::min() && sum <= std::numeric_limits<int16_t>::max();
}

bool usesLineUnits(const GestureEventControlPayload& g) { return g.unitsOrAmount == 1; }

}  // namespace

CoalescedInput::Fold CoalescedInput::fold(AuxPacketType type, std::span<const uint8_t> payload,
                                          uint8_t heldButtons) {
    switch (type) {
        case AuxPacketType::videoFrameAck:
            // Saturates far beyond any window: acks only ever lower a count.
            if (frameAcks < std::numeric_limits<uint32_t>::max()) ++frameAcks;
            return Fold::absorbed;
        case AuxPacketType::keyFrameRequest:
            keyFrameRequested = true;
            return Fold::absorbed;
        case AuxPacketType::pointerEvent: {
            auto event = PointerEventControlPayload::decode(payload);
            if (!event || event->framebufferWidth == 0 || event->framebufferHeight == 0) return Fold::dispatch;
            if ((event->buttonMask & kWheelBits) || (event->buttonMask & kButtonBits) != heldButtons)
                return Fold::dispatch;
            // A scroll held before this move happened before it.
            if (scroll) return Fold::flushThenRetry;
            pointerMove = *event;
            return Fold::absorbed;
        }
        case AuxPacketType::gestureEvent: {
            auto event = GestureEventControlPayload::decode(payload);
            if (!event || event->kind != GestureEventKind::scroll) return Fold::dispatch;
            if (pointerMove) return Fold::flushThenRetry;
            if (scroll && usesLineUnits(*scroll) != usesLineUnits(*event)) return Fold::flushThenRetry;
            if (scroll) {
                // A sum past what one event carries would lose distance:
                // the held scroll goes as it is and this one starts anew.
                if (!sumFits(scroll->deltaX, event->deltaX) || !sumFits(scroll->deltaY, event->deltaY))
                    return Fold::flushThenRetry;
                event->deltaX = static_cast<int16_t>(scroll->deltaX + event->deltaX);
                event->deltaY = static_cast<int16_t>(scroll->deltaY + event->deltaY);
            }
            scroll = *event;
            return Fold::absorbed;
        }
        default:
            return Fold::dispatch;
    }
}

CoalescedInput CoalescedInput::take() { return std::exchange(*this, CoalescedInput{}); }
