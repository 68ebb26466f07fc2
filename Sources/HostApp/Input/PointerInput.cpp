// A Viewer's pointer (type 25) and trackpad gestures (type 28) as Quartz
// mouse and scroll events: framebuffer points mapped onto the captured
// display, button transitions, click counts and wheel clicks.

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "HostApp/Display/HostDisplayModeSwitcher.h"
#include "Platform/Runtime/Clock.h"

using platform::CGEventType;
using platform::CGMouseButton;
using platform::CGPoint;

namespace {

constexpr uint8_t kLeft = 0x01, kMiddle = 0x02, kRight = 0x04;
constexpr uint64_t kDoubleClickNs = 500'000'000;
constexpr double kDoubleClickDistance = 6.0;
constexpr int kScrollClamp = 800;
constexpr uint16_t kControlKeyCode = 59;

struct ButtonEvents {
    uint8_t bit;
    CGMouseButton button;
    CGEventType down, up, dragged;
};
// In the order releases, presses and drags are considered.
constexpr ButtonEvents kLeftEvents{kLeft, CGMouseButton::left, CGEventType::leftMouseDown, CGEventType::leftMouseUp,
                                   CGEventType::leftMouseDragged};
constexpr ButtonEvents kRightEvents{kRight, CGMouseButton::right, CGEventType::rightMouseDown,
                                    CGEventType::rightMouseUp, CGEventType::rightMouseDragged};
constexpr ButtonEvents kMiddleEvents{kMiddle, CGMouseButton::center, CGEventType::otherMouseDown,
                                     CGEventType::otherMouseUp, CGEventType::otherMouseDragged};
constexpr ButtonEvents kButtons[] = {kLeftEvents, kRightEvents, kMiddleEvents};

// +12 for the first bit alone, -12 for the second alone, else 0.
int wheelDelta(uint8_t mask, uint8_t plus, uint8_t minus) {
    const bool p = mask & plus, m = mask & minus;
    return p == m ? 0 : (p ? 12 : -12);
}

double clamp01(double v) { return std::clamp(v, 0.0, 1.0); }

}  // namespace

void V230HostAudioAuxServer::applyPointerEvent(const PointerEventControlPayload& event,
                                               const platform::UUID& sourceID) {
    queue.dispatchPrecondition();
    if (event.framebufferWidth == 0 || event.framebufferHeight == 0) return;
    if (!ensureInputTrust()) return;
    wakeHostForRemoteInputIfLocked();
    auto point = displayPoint(event.x, event.y, event.framebufferWidth, event.framebufferHeight);
    if (!point) return;
    postScrollIfNeeded(event.buttonMask, *point);
    auto& masks = remoteInput.inputButtonMasks;
    auto stored = masks.find(sourceID);
    const uint8_t previous = stored == masks.end() ? 0 : stored->second;
    const uint8_t current = event.buttonMask & (kLeft | kMiddle | kRight);
    postPointerTransition(previous, current, *point);
    if (current != 0) {
        masks[sourceID] = current;
    } else if (stored != masks.end()) {
        masks.erase(stored);
    }
}

void V230HostAudioAuxServer::applyGestureEvent(const GestureEventControlPayload& event, const platform::UUID&) {
    queue.dispatchPrecondition();
    // Gestures do not wake a locked Host: a pinch is no reason to light it.
    if (!ensureInputTrust()) return;
    if (auto point = displayPoint(event.x, event.y, event.framebufferWidth, event.framebufferHeight))
        postMouse(CGEventType::mouseMoved, CGMouseButton::left, *point);
    if (event.kind == GestureEventKind::scroll) {
        postSmoothScroll(event.deltaX, event.deltaY, event.unitsOrAmount == 1);
        return;
    }
    const int amount = event.unitsOrAmount;
    if (amount == 0) return;
    const int magnitude = std::abs(amount);
    const int steps = magnitude < 80 ? 1 : magnitude < 320 ? magnitude / 80 : 4;
    for (int i = 0; i < steps; ++i) {
        if (amount > 0) {
            postKeyCombo(24, platform::kCGEventFlagMaskCommand | platform::kCGEventFlagMaskShift);
        } else {
            postKeyCombo(27, platform::kCGEventFlagMaskCommand);
        }
    }
}

std::optional<CGPoint> V230HostAudioAuxServer::displayPoint(int x, int y, int framebufferWidth,
                                                            int framebufferHeight) const {
    if (framebufferWidth <= 0 || framebufferHeight <= 0) return std::nullopt;
    const uint32_t display = selectedDisplayID != 0 ? selectedDisplayID : HostDisplayModeSwitcher::defaultDisplayID();
    const platform::CGRect bounds = platform::CGDisplayBounds(display);
    if (bounds.width <= 0 || bounds.height <= 0) return std::nullopt;

    // A coordinate past the edge counts as the last pixel.
    double nx = static_cast<double>(std::clamp(x, 0, framebufferWidth - 1)) / std::max(framebufferWidth - 1, 1);
    double ny = static_cast<double>(std::clamp(y, 0, framebufferHeight - 1)) / std::max(framebufferHeight - 1, 1);

    // In max mode the Viewer may be shown only its viewport of the display
    // (origin bottom left).
    const auto& videoCapture = streamControl.videoCapture;
    if (videoCapture && videoCapture->requestedProfile.mode == VideoCaptureMode::max) {
        if (auto roi = videoCapture->viewportROINormalized()) {
            nx = clamp01(roi->x + roi->width * nx);
            ny = clamp01((1 - roi->y - roi->height) + roi->height * ny);
        }
    }
    return CGPoint{bounds.x + std::max(bounds.width - 1, 1.0) * nx, bounds.y + std::max(bounds.height - 1, 1.0) * ny};
}

void V230HostAudioAuxServer::postScrollIfNeeded(uint8_t mask, CGPoint at) {
    const int deltaY = wheelDelta(mask, 0x08, 0x10);
    const int deltaX = wheelDelta(mask, 0x40, 0x20);
    if (deltaX == 0 && deltaY == 0) return;
    postMouse(CGEventType::mouseMoved, CGMouseButton::left, at);
    postSmoothScroll(deltaX, deltaY, false);
}

void V230HostAudioAuxServer::postSmoothScroll(int deltaX, int deltaY, bool useLineUnits) {
    if (deltaX == 0 && deltaY == 0) return;
    const auto units = useLineUnits ? platform::CGScrollEventUnit::line : platform::CGScrollEventUnit::pixel;
    auto event = platform::CGEventCreateScrollWheelEvent2(remoteInput.inputEventSource, units, 2,
                                                          std::clamp(deltaY, -kScrollClamp, kScrollClamp),
                                                          std::clamp(deltaX, -kScrollClamp, kScrollClamp), 0);
    if (event) platform::CGEventPost(platform::CGEventTapLocation::hid, event);
}

void V230HostAudioAuxServer::postPointerTransition(uint8_t from, uint8_t to, CGPoint at) {
    for (const auto& b : kButtons)
        if ((from & b.bit) && !(to & b.bit)) postMouse(b.up, b.button, at);
    for (const auto& b : kButtons) {
        if ((from & b.bit) || !(to & b.bit)) continue;
        if (b.bit == kLeft && (remoteInput.inputKeyboardFlags & platform::kCGEventFlagMaskControl)) {
            // A held Control would turn the click into a secondary click.
            remoteInput.inputKeyboardFlags &= ~platform::kCGEventFlagMaskControl;
            postKeyboardEvent(kControlKeyCode, false, remoteInput.inputKeyboardFlags);
        }
        postMouse(b.down, b.button, at);
    }
    if (from != to) return;  // the downs and ups carried the position
    for (const auto& b : kButtons) {
        if (to & b.bit) return postMouse(b.dragged, b.button, at);
    }
    postMouse(CGEventType::mouseMoved, CGMouseButton::left, at);
}

void V230HostAudioAuxServer::postMouse(CGEventType type, CGMouseButton button, CGPoint at) {
    auto event = platform::CGEventCreateMouseEvent(remoteInput.inputEventSource, type, at, button);
    if (!event) return;
    platform::CGEventSetFlags(event, remoteInput.inputKeyboardFlags);
    if (const int64_t clicks = mouseClickState(type, button, at); clicks > 0)
        platform::CGEventSetIntegerValueField(event, platform::kCGMouseEventClickState, clicks);
    platform::CGEventPost(platform::CGEventTapLocation::hid, event);
    if (type == CGEventType::leftMouseUp && button == CGMouseButton::left) {
        remoteInput.lastLeftClickUpNs = platform::Clock::uptimeNs();
        remoteInput.lastLeftClickPoint = at;
    }
}

int64_t V230HostAudioAuxServer::mouseClickState(CGEventType type, CGMouseButton button, CGPoint at) {
    RemoteInputState& s = remoteInput;
    if (button != CGMouseButton::left) return 0;
    switch (type) {
        case CGEventType::leftMouseDown: {
            const uint64_t now = platform::Clock::uptimeNs();
            const bool continues = s.lastLeftClickPoint && s.lastLeftClickUpNs != 0 &&
                                   now - s.lastLeftClickUpNs <= kDoubleClickNs &&
                                   std::hypot(at.x - s.lastLeftClickPoint->x, at.y - s.lastLeftClickPoint->y) <=
                                       kDoubleClickDistance;
            s.activeLeftClickState = continues ? std::min<int64_t>(s.activeLeftClickState + 1, 2) : 1;
            return s.activeLeftClickState;
        }
        case CGEventType::leftMouseUp:
        case CGEventType::leftMouseDragged:
            return s.activeLeftClickState;
        default:
            return 0;
    }
}

void V230HostAudioAuxServer::releasePointerButtons(uint8_t mask) {
    queue.dispatchPrecondition();
    // Where the pointer is now, in the same Quartz space the events use: the
    // AppKit location has its origin at the bottom and would drop a drag at
    // the vertically mirrored spot.
    const CGPoint at = platform::CGEventGetLocation(platform::CGEventCreate(nullptr));
    for (const auto& b : kButtons)
        if (mask & b.bit) postMouse(b.up, b.button, at);
}
