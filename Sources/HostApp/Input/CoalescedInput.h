#pragma once
// What one connection sent that only restates or adds to what came just
// before it, held so that a burst costs one action instead of one per
// packet, as an event system coalesces a flood of motion: pointer moves keep
// the latest position, scroll deltas add up, frame acknowledgements are
// counted and key-frame requests kept once. Presses, releases and keys are
// never held. Whatever is held is let go before the connection's next other
// packet, so input stays in the order it was sent.
//
// Plain data, owned by one connection's context on the server queue.

#include <cstdint>
#include <optional>
#include <span>

#include "HostApp/Protocol/AuxPacket.h"
#include "HostApp/Protocol/InputControlPayloads.h"

class CoalescedInput {
public:
    enum class Fold : uint8_t {
        absorbed,        // held; nothing to do now
        flushThenRetry,  // coalescible, but not behind what is held: let that go first
        dispatch,        // not coalescible: let go what is held, then handle the packet as it stands
    };

    // Folds a logged-in connection's packet into what is held. A pointer
    // event is a move only when it changes no button (`heldButtons`, the
    // buttons this connection holds down now) and turns no wheel. A payload
    // that does not decode is never absorbed: it is reported as it stands.
    Fold fold(AuxPacketType type, std::span<const uint8_t> payload, uint8_t heldButtons);

    bool empty() const { return !pointerMove && !scroll && frameAcks == 0 && !keyFrameRequested; }
    // Hands over what is held and holds nothing afterwards.
    CoalescedInput take();

    // The latest move (button state unchanged).
    std::optional<PointerEventControlPayload> pointerMove;
    // A scroll gesture at the latest position with the deltas summed, as
    // far as one event carries them; a scroll that would take the sum
    // further is held after this one goes.
    std::optional<GestureEventControlPayload> scroll;
    // Acknowledgements received.
    uint32_t frameAcks = 0;
    bool keyFrameRequested = false;
};
