#include "Platform/EventPosting.h"

#include <cstdio>

#include "Platform/Clock.h"
#include "Platform/Log.h"
#include "Platform/SimulatedMachine.h"
#include "Platform/SkyLightSpaces.h"

namespace platform {

namespace {

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

void deliver(PostedKeyboardEvent event) {
    char text[160];
    std::snprintf(text, sizeof text, "[SimulatedEvents] key %u %s flags=0x%llx via=%s t=%.3f", event.keyCode,
                  event.keyDown ? "down" : "up", static_cast<unsigned long long>(event.flags),
                  event.route == PostedEventRoute::accessibility ? "ax" : tapName(event.tap),
                  static_cast<double>(event.uptimeNs) / 1e9);
    Log::raw(text);
    SimulatedMachine& machine = SimulatedMachine::current();
    machine.component<SimulatedEventTap>().record(event);
    machine.component<SimulatedSpaces>().handleKeyEvent(event);
}

}  // namespace

AXUIElementRef AXUIElementCreateSystemWide() { return AXUIElementRef{true}; }

void CGEventPostKeyboard(CGEventTapLocation tap, uint16_t keyCode, bool keyDown, uint64_t flags) {
    deliver(PostedKeyboardEvent{keyCode, keyDown, flags, PostedEventRoute::eventTap, tap, Clock::uptimeNs()});
}

AXError AXUIElementPostKeyboardEvent(const AXUIElementRef& element, uint16_t, uint16_t virtualKey, bool keyDown) {
    SimulatedMachine& machine = SimulatedMachine::current();
    if (!machine.permissionGranted(Permission::accessibility)) return kAXErrorAPIDisabled;
    if (!element.systemWide) return kAXErrorAPIDisabled;
    SimulatedEventTap& tap = machine.component<SimulatedEventTap>();
    tap.noteAccessibilityKey(virtualKey, keyDown);
    deliver(PostedKeyboardEvent{virtualKey, keyDown, tap.heldModifierFlags(), PostedEventRoute::accessibility,
                                CGEventTapLocation::hid, Clock::uptimeNs()});
    return kAXErrorSuccess;
}

void SimulatedEventTap::record(PostedKeyboardEvent event) {
    std::lock_guard<std::mutex> g(lock_);
    events_.push_back(event);
}

std::vector<PostedKeyboardEvent> SimulatedEventTap::keyboardEvents() const {
    std::lock_guard<std::mutex> g(lock_);
    return events_;
}

void SimulatedEventTap::clear() {
    std::lock_guard<std::mutex> g(lock_);
    events_.clear();
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
