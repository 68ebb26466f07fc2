#pragma once
// Posting synthetic input into the window server: event sources; mouse,
// scroll-wheel and keyboard events (with flags, the click-state field and
// attached Unicode text) posted at an event tap; AppKit system-defined
// events for media and system keys; the pointer location in Quartz and in
// AppKit coordinates; and keyboard events through the Accessibility
// interface.
//
// The simulated machine (SimulatedEventTap) records the recent posted events
// in order with their virtual time, moves its cursor with mouse events, keeps
// the keys and buttons currently down, and hands keyboard events to the
// Spaces simulation, which reacts to the Control-Arrow shortcuts. Tests can
// make the creation of each kind of event fail. The log sums posted events
// into at most one line a second, counting each kind and tap but never
// naming a key code or typed text.

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Platform/SimulatedMac/CoreGraphicsDisplays.h"

namespace platform {

enum class CGEventTapLocation { hid, session, annotatedSession };

// Modifier bits of an event's flags.
inline constexpr uint64_t kCGEventFlagMaskShift = 0x00020000;
inline constexpr uint64_t kCGEventFlagMaskControl = 0x00040000;
inline constexpr uint64_t kCGEventFlagMaskAlternate = 0x00080000;
inline constexpr uint64_t kCGEventFlagMaskCommand = 0x00100000;

// Quartz event types, with the window server's numbers. `systemDefined` is
// AppKit's type for media and system keys.
enum class CGEventType : uint32_t {
    null = 0,
    leftMouseDown = 1,
    leftMouseUp = 2,
    rightMouseDown = 3,
    rightMouseUp = 4,
    mouseMoved = 5,
    leftMouseDragged = 6,
    rightMouseDragged = 7,
    keyDown = 10,
    keyUp = 11,
    flagsChanged = 12,
    systemDefined = 14,
    scrollWheel = 22,
    otherMouseDown = 25,
    otherMouseUp = 26,
    otherMouseDragged = 27,
};

enum class CGMouseButton : uint32_t { left = 0, right = 1, center = 2 };
enum class CGScrollEventUnit : uint32_t { pixel = 0, line = 1 };

// Integer fields of an event.
inline constexpr uint32_t kCGMouseEventClickState = 1;

// Where a source takes its modifier and button state from.
enum class CGEventSourceStateID : int32_t { privateState = -1, combinedSessionState = 0, hidSystemState = 1 };

struct CGEventSource {
    CGEventSourceStateID state = CGEventSourceStateID::hidSystemState;
};
using CGEventSourceRef = std::shared_ptr<CGEventSource>;
CGEventSourceRef CGEventSourceCreate(CGEventSourceStateID state);

// How an event reached the window server.
enum class PostedEventRoute { eventTap, accessibility };

// One event as created and, once posted, as the simulated machine records it.
struct PostedEvent {
    CGEventType type = CGEventType::null;
    CGPoint location;  // Quartz space: points, origin top left of the main display
    CGMouseButton button = CGMouseButton::left;
    uint64_t flags = 0;
    int64_t clickState = 0;  // the click-state field; 0 when not set
    // Scroll wheel.
    CGScrollEventUnit scrollUnits = CGScrollEventUnit::pixel;
    uint32_t wheelCount = 0;
    int32_t wheel1 = 0;  // vertical
    int32_t wheel2 = 0;  // horizontal
    int32_t wheel3 = 0;
    // Keyboard.
    uint16_t keyCode = 0;
    bool keyDown = false;
    std::u16string text;  // Unicode string attached to a keyboard event
    // System-defined events.
    int16_t subtype = 0;
    int64_t data1 = 0;
    int64_t data2 = 0;
    // Set when posted.
    PostedEventRoute route = PostedEventRoute::eventTap;
    CGEventTapLocation tap = CGEventTapLocation::hid;
    uint64_t uptimeNs = 0;

    bool isKeyboard() const { return type == CGEventType::keyDown || type == CGEventType::keyUp; }
};

// A created event, changed by the setters below until it is posted.
struct CGEvent {
    PostedEvent event;
    CGEventSourceRef source;
};
using CGEventRef = std::shared_ptr<CGEvent>;

// Each returns null when the system cannot create the event. A null source
// stands for the default one.
CGEventRef CGEventCreate(const CGEventSourceRef& source);
CGEventRef CGEventCreateMouseEvent(const CGEventSourceRef& source, CGEventType type, CGPoint location,
                                   CGMouseButton button);
CGEventRef CGEventCreateScrollWheelEvent2(const CGEventSourceRef& source, CGScrollEventUnit units,
                                          uint32_t wheelCount, int32_t wheel1, int32_t wheel2, int32_t wheel3);
CGEventRef CGEventCreateKeyboardEvent(const CGEventSourceRef& source, uint16_t keyCode, bool keyDown);

// The location of an event; for one made by CGEventCreate, where the
// pointer is now (Quartz space).
CGPoint CGEventGetLocation(const CGEventRef& event);
void CGEventSetFlags(const CGEventRef& event, uint64_t flags);
void CGEventSetType(const CGEventRef& event, CGEventType type);
void CGEventSetIntegerValueField(const CGEventRef& event, uint32_t field, int64_t value);
void CGEventKeyboardSetUnicodeString(const CGEventRef& event, const std::u16string& text);
void CGEventPost(CGEventTapLocation tap, const CGEventRef& event);

// Creates and posts one keyboard event at the given tap with the given flags.
void CGEventPostKeyboard(CGEventTapLocation tap, uint16_t keyCode, bool keyDown, uint64_t flags);

// AppKit's event object, as far as media and system keys need it.
class NSEvent {
public:
    // An "other" event. Only the system-defined type is modelled; null when
    // the event cannot be made.
    static std::shared_ptr<NSEvent> otherEvent(CGEventType type, CGPoint location, uint64_t modifierFlags,
                                               double timestamp, int64_t windowNumber, int16_t subtype,
                                               int64_t data1, int64_t data2);
    // The Quartz event behind it; null when there is none.
    CGEventRef cgEvent() const { return cgEvent_; }
    // The pointer location in AppKit screen coordinates: points, origin at
    // the bottom left of the main display.
    static CGPoint mouseLocation();

    explicit NSEvent(CGEventRef cgEvent) : cgEvent_(std::move(cgEvent)) {}

private:
    CGEventRef cgEvent_;
};

// --- Accessibility key posting ----------------------------------------------

using AXError = int32_t;
inline constexpr AXError kAXErrorSuccess = 0;
inline constexpr AXError kAXErrorAPIDisabled = -25211;

// An Accessibility element; only the system-wide element can post keys.
struct AXUIElementRef {
    bool systemWide = false;
};
AXUIElementRef AXUIElementCreateSystemWide();

// Posts one key through Accessibility; the event carries the modifiers
// currently held by earlier Accessibility posts. Fails with
// kAXErrorAPIDisabled when the Host is not trusted for Accessibility.
AXError AXUIElementPostKeyboardEvent(const AXUIElementRef& element, uint16_t charCode, uint16_t virtualKey,
                                     bool keyDown);

// --- The simulated machine's side ----------------------------------------------

// The kinds of event whose creation tests can make fail.
enum class SimulatedEventKind { mouse, scrollWheel, keyboard, systemDefined };

// The posted-event record of the simulated machine, with its cursor and the
// keys and buttons held down.
class SimulatedEventTap {
public:
    // A long session posts input for hours: only this many of the latest
    // events are kept, far more than any test looks back on.
    static constexpr size_t kRecentEventLimit = 4096;
    // Posted events are summed into one log line at most this often.
    static constexpr uint64_t kSummaryIntervalNs = 1'000'000'000;

    void record(PostedEvent event);
    // The most recent events, oldest first (at most kRecentEventLimit).
    std::vector<PostedEvent> events() const;
    size_t recordedEventCount() const;
    // Only the key-down and key-up events.
    std::vector<PostedEvent> keyboardEvents() const;
    void clear();

    CGPoint cursorLocation() const;
    void setCursorLocation(CGPoint location);
    // Key codes and buttons down now, as posted events left them.
    std::set<uint16_t> keysDown() const;
    std::set<CGMouseButton> buttonsDown() const;

    // Creation of that kind fails after `successesFirst` more successes,
    // until cleared.
    void failCreation(SimulatedEventKind kind, int successesFirst = 0);
    void clearCreationFailure(SimulatedEventKind kind);
    // Takes one creation of that kind: false when it fails.
    bool admitCreation(SimulatedEventKind kind);

    // Modifier flags held by Accessibility posts so far.
    uint64_t heldModifierFlags() const;
    void noteAccessibilityKey(uint16_t keyCode, bool keyDown);

private:
    // Counts `event` towards the summary; returns the line to write when
    // one is due.
    std::optional<std::string> summarizeLocked(const PostedEvent& event);

    mutable std::mutex lock_;
    std::deque<PostedEvent> events_;
    // Posted since the last summary line, by label ("key down via=hid").
    std::map<std::string, uint64_t> unsummarized_;
    uint64_t unsummarizedTotal_ = 0;
    // Uptime of the last summary line; none before the first.
    std::optional<uint64_t> lastSummaryNs_;
    CGPoint cursor_;
    std::set<uint16_t> keysDown_;
    std::set<CGMouseButton> buttonsDown_;
    std::map<SimulatedEventKind, int> failAfter_;
    uint64_t heldModifiers_ = 0;
};

}  // namespace platform
