#pragma once
// Posting synthetic input into the window server: keyboard events at an
// event tap, and keyboard events through the Accessibility interface.
//
// The simulated machine records every posted event with its virtual time,
// logs it, and hands keyboard events to the Spaces simulation, which reacts
// to the Control-Arrow shortcuts.

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

enum class CGEventTapLocation { hid, session, annotatedSession };

// Modifier bits of an event's flags.
inline constexpr uint64_t kCGEventFlagMaskShift = 0x00020000;
inline constexpr uint64_t kCGEventFlagMaskControl = 0x00040000;
inline constexpr uint64_t kCGEventFlagMaskAlternate = 0x00080000;
inline constexpr uint64_t kCGEventFlagMaskCommand = 0x00100000;

using AXError = int32_t;
inline constexpr AXError kAXErrorSuccess = 0;
inline constexpr AXError kAXErrorAPIDisabled = -25211;

// An Accessibility element; only the system-wide element can post keys.
struct AXUIElementRef {
    bool systemWide = false;
};
AXUIElementRef AXUIElementCreateSystemWide();

enum class PostedEventRoute { eventTap, accessibility };

struct PostedKeyboardEvent {
    uint16_t keyCode = 0;
    bool keyDown = false;
    uint64_t flags = 0;
    PostedEventRoute route = PostedEventRoute::eventTap;
    CGEventTapLocation tap = CGEventTapLocation::hid;
    uint64_t uptimeNs = 0;  // when it was posted
};

// Posts one keyboard event at the given tap with the given flags.
void CGEventPostKeyboard(CGEventTapLocation tap, uint16_t keyCode, bool keyDown, uint64_t flags);

// Posts one key through Accessibility; the event carries the modifiers
// currently held by earlier Accessibility posts. Fails with
// kAXErrorAPIDisabled when the Host is not trusted for Accessibility.
AXError AXUIElementPostKeyboardEvent(const AXUIElementRef& element, uint16_t charCode, uint16_t virtualKey,
                                     bool keyDown);

// The posted-event record of the simulated machine.
class SimulatedEventTap {
public:
    void record(PostedKeyboardEvent event);
    std::vector<PostedKeyboardEvent> keyboardEvents() const;
    void clear();
    // Modifier flags held by Accessibility posts so far.
    uint64_t heldModifierFlags() const;
    void noteAccessibilityKey(uint16_t keyCode, bool keyDown);

private:
    mutable std::mutex lock_;
    std::vector<PostedKeyboardEvent> events_;
    uint64_t heldModifiers_ = 0;
};

}  // namespace platform
