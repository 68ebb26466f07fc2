#include "Platform/SimulatedMac/EventPosting.h"

#include <string>

#include "Platform/Runtime/Clock.h"
#include "Platform/Runtime/Log.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"
#include "Platform/SimulatedMac/SkyLightSpaces.h"

namespace platform {

namespace {

SimulatedEventTap& simulatedTap() { return SimulatedMachine::current().component<SimulatedEventTap>(); }

uint64_t modifierFlagOfKey(uint16_t keyCode) {
    switch (keyCode) {
        case 56: case 60: return kCGEventFlagMaskShift;
        case 59: case 62: return kCGEventFlagMaskControl;
        case 58: case 61: return kCGEventFlagMaskAlternate;
        case 55: case 54: return kCGEventFlagMaskCommand;
        default: return 0;
    }
}

const char* tapName(CGEventTapLocation tap) {
    switch (tap) {
        case CGEventTapLocation::hid: return "hid";
        case CGEventTapLocation::session: return "session";
        case CGEventTapLocation::annotatedSession: return "annotated";
    }
    return "?";
}

bool isMouseType(CGEventType type) {
    switch (type) {
        case CGEventType::leftMouseDown: case CGEventType::leftMouseUp: case CGEventType::rightMouseDown:
        case CGEventType::rightMouseUp: case CGEventType::mouseMoved: case CGEventType::leftMouseDragged:
        case CGEventType::rightMouseDragged: case CGEventType::otherMouseDown: case CGEventType::otherMouseUp:
        case CGEventType::otherMouseDragged:
            return true;
        default:
            return false;
    }
}

// The summary names the kind of event and where it went, never the key or
// the text: what a Viewer types may be a password.
std::string summaryLabel(const PostedEvent& e) {
    const std::string via = e.route == PostedEventRoute::accessibility ? "ax" : tapName(e.tap);
    if (e.isKeyboard())
        return std::string(e.keyDown ? "key down" : "key up") + (e.text.empty() ? "" : " (text)") + " via=" + via;
    const char* kind = isMouseType(e.type) ? "mouse" : "event";
    return std::string(kind) + " type=" + std::to_string(static_cast<unsigned>(e.type)) + " via=" + via;
}

void deliver(PostedEvent event) {
    event.uptimeNs = Clock::uptimeNs();
    SimulatedMachine& machine = SimulatedMachine::current();
    machine.component<SimulatedEventTap>().record(event);
    if (event.isKeyboard()) machine.component<SimulatedSpaces>().handleKeyEvent(event);
}

CGEventRef make(const CGEventSourceRef& source, SimulatedEventKind kind, PostedEvent event) {
    if (!simulatedTap().admitCreation(kind)) return nullptr;
    auto e = std::make_shared<CGEvent>();
    e->event = std::move(event);
    e->source = source;
    return e;
}

}  // namespace

CGEventSourceRef CGEventSourceCreate(CGEventSourceStateID state) {
    return std::make_shared<CGEventSource>(CGEventSource{state});
}

CGEventRef CGEventCreate(const CGEventSourceRef& source) {
    auto e = std::make_shared<CGEvent>();
    e->event.location = simulatedTap().cursorLocation();
    e->source = source;
    return e;
}

CGEventRef CGEventCreateMouseEvent(const CGEventSourceRef& source, CGEventType type, CGPoint location,
                                   CGMouseButton button) {
    PostedEvent e;
    e.type = type;
    e.location = location;
    e.button = button;
    return make(source, SimulatedEventKind::mouse, e);
}

CGEventRef CGEventCreateScrollWheelEvent2(const CGEventSourceRef& source, CGScrollEventUnit units,
                                          uint32_t wheelCount, int32_t wheel1, int32_t wheel2, int32_t wheel3) {
    PostedEvent e;
    e.type = CGEventType::scrollWheel;
    e.location = simulatedTap().cursorLocation();
    e.scrollUnits = units;
    e.wheelCount = wheelCount;
    e.wheel1 = wheel1;
    e.wheel2 = wheelCount >= 2 ? wheel2 : 0;
    e.wheel3 = wheelCount >= 3 ? wheel3 : 0;
    return make(source, SimulatedEventKind::scrollWheel, e);
}

CGEventRef CGEventCreateKeyboardEvent(const CGEventSourceRef& source, uint16_t keyCode, bool keyDown) {
    PostedEvent e;
    e.type = keyDown ? CGEventType::keyDown : CGEventType::keyUp;
    e.keyCode = keyCode;
    e.keyDown = keyDown;
    return make(source, SimulatedEventKind::keyboard, e);
}

CGPoint CGEventGetLocation(const CGEventRef& event) { return event ? event->event.location : CGPoint{}; }

void CGEventSetFlags(const CGEventRef& event, uint64_t flags) {
    if (event) event->event.flags = flags;
}

void CGEventSetType(const CGEventRef& event, CGEventType type) {
    if (event) event->event.type = type;
}

void CGEventSetIntegerValueField(const CGEventRef& event, uint32_t field, int64_t value) {
    if (event && field == kCGMouseEventClickState) event->event.clickState = value;
}

void CGEventKeyboardSetUnicodeString(const CGEventRef& event, const std::u16string& text) {
    if (event) event->event.text = text;
}

void CGEventPost(CGEventTapLocation tap, const CGEventRef& event) {
    if (!event) return;
    PostedEvent posted = event->event;
    posted.route = PostedEventRoute::eventTap;
    posted.tap = tap;
    deliver(std::move(posted));
}

void CGEventPostKeyboard(CGEventTapLocation tap, uint16_t keyCode, bool keyDown, uint64_t flags) {
    auto event = CGEventCreateKeyboardEvent(nullptr, keyCode, keyDown);
    CGEventSetFlags(event, flags);
    CGEventPost(tap, event);
}

std::shared_ptr<NSEvent> NSEvent::otherEvent(CGEventType type, CGPoint location, uint64_t modifierFlags, double,
                                             int64_t, int16_t subtype, int64_t data1, int64_t data2) {
    if (type != CGEventType::systemDefined) return nullptr;
    PostedEvent e;
    e.type = type;
    e.location = location;
    e.flags = modifierFlags;
    e.subtype = subtype;
    e.data1 = data1;
    e.data2 = data2;
    return std::make_shared<NSEvent>(make(nullptr, SimulatedEventKind::systemDefined, e));
}

CGPoint NSEvent::mouseLocation() {
    const CGPoint quartz = simulatedTap().cursorLocation();
    const double mainHeight = CGDisplayBounds(CGMainDisplayID()).height;
    return CGPoint{quartz.x, mainHeight - quartz.y};
}

// --- Accessibility ----------------------------------------------------------------

AXUIElementRef AXUIElementCreateSystemWide() { return AXUIElementRef{true}; }

AXError AXUIElementPostKeyboardEvent(const AXUIElementRef& element, uint16_t, uint16_t virtualKey, bool keyDown) {
    SimulatedMachine& machine = SimulatedMachine::current();
    if (!machine.permissionGranted(Permission::accessibility)) return kAXErrorAPIDisabled;
    if (!element.systemWide) return kAXErrorAPIDisabled;
    SimulatedEventTap& tap = machine.component<SimulatedEventTap>();
    tap.noteAccessibilityKey(virtualKey, keyDown);
    PostedEvent e;
    e.type = keyDown ? CGEventType::keyDown : CGEventType::keyUp;
    e.keyCode = virtualKey;
    e.keyDown = keyDown;
    e.flags = tap.heldModifierFlags();
    e.route = PostedEventRoute::accessibility;
    deliver(std::move(e));
    return kAXErrorSuccess;
}

// --- The simulated machine's side ----------------------------------------------------

void SimulatedEventTap::record(PostedEvent event) {
    std::lock_guard<std::mutex> g(lock_);
    switch (event.type) {
        case CGEventType::keyDown:
            // Typed text is no key held on the keyboard.
            if (event.text.empty()) keysDown_.insert(event.keyCode);
            break;
        case CGEventType::keyUp:
            keysDown_.erase(event.keyCode);
            break;
        case CGEventType::leftMouseDown: case CGEventType::rightMouseDown: case CGEventType::otherMouseDown:
            buttonsDown_.insert(event.button);
            break;
        case CGEventType::leftMouseUp: case CGEventType::rightMouseUp: case CGEventType::otherMouseUp:
            buttonsDown_.erase(event.button);
            break;
        default:
            break;
    }
    if (isMouseType(event.type)) cursor_ = event.location;
    auto summary = summarizeLocked(event);
    events_.push_back(std::move(event));
    if (events_.size() > kRecentEventLimit) events_.pop_front();
    // Written outside the lock would reorder lines of two posting threads;
    // the log's own lock never calls back here.
    if (summary) Log::raw(*summary);
}

std::optional<std::string> SimulatedEventTap::summarizeLocked(const PostedEvent& event) {
    ++unsummarized_[summaryLabel(event)];
    ++unsummarizedTotal_;
    if (lastSummaryNs_ && event.uptimeNs - *lastSummaryNs_ < kSummaryIntervalNs) return std::nullopt;
    lastSummaryNs_ = event.uptimeNs;
    std::string line = "[SimulatedEvents] posted " + std::to_string(unsummarizedTotal_) + " event(s):";
    const char* separator = " ";
    for (const auto& [label, count] : unsummarized_) {
        line += separator + label + " x" + std::to_string(count);
        separator = ", ";
    }
    unsummarized_.clear();
    unsummarizedTotal_ = 0;
    return line;
}

size_t SimulatedEventTap::recordedEventCount() const {
    std::lock_guard<std::mutex> g(lock_);
    return events_.size();
}

std::vector<PostedEvent> SimulatedEventTap::events() const {
    std::lock_guard<std::mutex> g(lock_);
    return {events_.begin(), events_.end()};
}

std::vector<PostedEvent> SimulatedEventTap::keyboardEvents() const {
    std::lock_guard<std::mutex> g(lock_);
    std::vector<PostedEvent> keys;
    for (const auto& e : events_)
        if (e.isKeyboard()) keys.push_back(e);
    return keys;
}

void SimulatedEventTap::clear() {
    std::lock_guard<std::mutex> g(lock_);
    events_.clear();
}

CGPoint SimulatedEventTap::cursorLocation() const {
    std::lock_guard<std::mutex> g(lock_);
    return cursor_;
}

void SimulatedEventTap::setCursorLocation(CGPoint location) {
    std::lock_guard<std::mutex> g(lock_);
    cursor_ = location;
}

std::set<uint16_t> SimulatedEventTap::keysDown() const {
    std::lock_guard<std::mutex> g(lock_);
    return keysDown_;
}

std::set<CGMouseButton> SimulatedEventTap::buttonsDown() const {
    std::lock_guard<std::mutex> g(lock_);
    return buttonsDown_;
}

void SimulatedEventTap::failCreation(SimulatedEventKind kind, int successesFirst) {
    std::lock_guard<std::mutex> g(lock_);
    failAfter_[kind] = successesFirst;
}

void SimulatedEventTap::clearCreationFailure(SimulatedEventKind kind) {
    std::lock_guard<std::mutex> g(lock_);
    failAfter_.erase(kind);
}

bool SimulatedEventTap::admitCreation(SimulatedEventKind kind) {
    std::lock_guard<std::mutex> g(lock_);
    auto it = failAfter_.find(kind);
    if (it == failAfter_.end()) return true;
    if (it->second <= 0) return false;
    --it->second;
    return true;
}

uint64_t SimulatedEventTap::heldModifierFlags() const {
    std::lock_guard<std::mutex> g(lock_);
    return heldModifiers_;
}

void SimulatedEventTap::noteAccessibilityKey(uint16_t keyCode, bool keyDown) {
    std::lock_guard<std::mutex> g(lock_);
    const uint64_t flag = modifierFlagOfKey(keyCode);
    if (flag == 0) return;
    if (keyDown) {
        heldModifiers_ |= flag;
    } else {
        heldModifiers_ &= ~flag;
    }
}

}  // namespace platform
