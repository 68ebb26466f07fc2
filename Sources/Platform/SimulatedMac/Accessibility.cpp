#include "Platform/SimulatedMac/Accessibility.h"

#include <algorithm>

#include "Platform/SimulatedMac/PermissionPrompts.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"

namespace platform {

namespace {
SimulatedAccessibility& ax() { return SimulatedMachine::current().component<SimulatedAccessibility>(); }
}  // namespace

AXValue AXValueCreate(const CGPoint& point) { return AXValue{AXValueType::cgPoint, CGRect{point.x, point.y, 0, 0}}; }
AXValue AXValueCreate(const CGSize& size) { return AXValue{AXValueType::cgSize, CGRect{0, 0, size.width, size.height}}; }
AXValueType AXValueGetType(const AXValue& value) { return value.type; }

bool AXValueGetValue(const AXValue& value, CGPoint& point) {
    if (value.type != AXValueType::cgPoint) return false;
    point = CGPoint{value.storage.x, value.storage.y};
    return true;
}

bool AXValueGetValue(const AXValue& value, CGSize& size) {
    if (value.type != AXValueType::cgSize) return false;
    size = CGSize{value.storage.width, value.storage.height};
    return true;
}

AXUIElement AXUIElementCreateApplication(int32_t pid) { return AXUIElement{pid, 0}; }
AXError AXUIElementSetMessagingTimeout(const AXUIElement& element, float seconds) {
    return ax().setMessagingTimeout(element, seconds);
}
AXError AXUIElementCopyAttributeValue(const AXUIElement& element, const std::string& attribute,
                                      AXAttributeValue& value) {
    return ax().copyAttribute(element, attribute, value);
}
AXError AXUIElementSetAttributeValue(const AXUIElement& element, const std::string& attribute,
                                     const AXAttributeValue& value) {
    return ax().setAttribute(element, attribute, value);
}
bool AXIsProcessTrusted() { return SimulatedMachine::current().permissionGranted(Permission::accessibility); }

bool AXIsProcessTrustedWithOptions(const std::map<std::string, bool>& options) {
    const bool trusted = AXIsProcessTrusted();
    auto prompt = options.find(kAXTrustedCheckOptionPrompt);
    if (prompt == options.end() || !prompt->second) return trusted;
    if (!trusted) ax().notePrompt();
    return SimulatedMachine::current().component<SimulatedPermissionPrompts>().request(Permission::accessibility);
}

int SimulatedAccessibility::promptCount() const {
    std::lock_guard<std::mutex> g(lock_);
    return prompts_;
}

void SimulatedAccessibility::notePrompt() {
    std::lock_guard<std::mutex> g(lock_);
    ++prompts_;
}

uint64_t SimulatedAccessibility::addWindow(int32_t pid, const CGRect& frame) {
    std::lock_guard<std::mutex> g(lock_);
    SimulatedAXWindow w;
    w.id = nextID_++;
    w.processIdentifier = pid;
    w.frame = frame;
    windows_.push_back(w);
    return w.id;
}

void SimulatedAccessibility::updateWindow(uint64_t id, const std::function<void(SimulatedAXWindow&)>& edit) {
    std::lock_guard<std::mutex> g(lock_);
    for (auto& w : windows_) {
        if (w.id == id) edit(w);
    }
}

std::optional<SimulatedAXWindow> SimulatedAccessibility::window(uint64_t id) const {
    std::lock_guard<std::mutex> g(lock_);
    for (const auto& w : windows_) {
        if (w.id == id) return w;
    }
    return std::nullopt;
}

AXUIElement SimulatedAccessibility::addElement(int32_t pid, uint64_t parent,
                                              std::map<std::string, AXAttributeValue> attributes) {
    std::lock_guard<std::mutex> g(lock_);
    elements_.push_back(SimulatedAXElement{nextID_++, pid, parent, std::move(attributes)});
    return AXUIElement{pid, elements_.back().id};
}

std::vector<AXUIElement> SimulatedAccessibility::childrenLocked(int32_t pid, uint64_t parent) const {
    std::vector<AXUIElement> children;
    for (const auto& e : elements_) {
        if (e.processIdentifier == pid && e.parent == parent) children.push_back(AXUIElement{pid, e.id});
    }
    return children;
}

void SimulatedAccessibility::overrideWindowList(int32_t pid, AXError error, AXAttributeValue value) {
    std::lock_guard<std::mutex> g(lock_);
    windowListOverrides_[pid] = {error, std::move(value)};
}

std::optional<float> SimulatedAccessibility::messagingTimeout(const AXUIElement& element) const {
    std::lock_guard<std::mutex> g(lock_);
    auto it = timeouts_.find(element);
    if (it == timeouts_.end()) return std::nullopt;
    return it->second;
}

AXError SimulatedAccessibility::setMessagingTimeout(const AXUIElement& element, float seconds) {
    if (seconds < 0) return kAXErrorIllegalArgument;
    std::lock_guard<std::mutex> g(lock_);
    timeouts_[element] = seconds;
    return kAXErrorSuccess;
}

AXError SimulatedAccessibility::copyAttribute(const AXUIElement& element, const std::string& attribute,
                                              AXAttributeValue& value) const {
    value = std::monostate{};
    if (!AXIsProcessTrusted()) return kAXErrorAPIDisabled;
    std::lock_guard<std::mutex> g(lock_);
    if (element.window == 0) {
        if (attribute == kAXChildrenAttribute) {
            value = childrenLocked(element.processIdentifier, 0);
            return kAXErrorSuccess;
        }
        if (attribute != kAXWindowsAttribute) return kAXErrorAttributeUnsupported;
        auto o = windowListOverrides_.find(element.processIdentifier);
        if (o != windowListOverrides_.end()) {
            if (o->second.first != kAXErrorSuccess) return o->second.first;
            value = o->second.second;
            return kAXErrorSuccess;
        }
        std::vector<AXUIElement> list;
        for (const auto& w : windows_) {
            if (w.processIdentifier == element.processIdentifier) list.push_back(AXUIElement{w.processIdentifier, w.id});
        }
        value = std::move(list);
        return kAXErrorSuccess;
    }
    auto it = std::find_if(windows_.begin(), windows_.end(), [&](const SimulatedAXWindow& w) {
        return w.id == element.window && w.processIdentifier == element.processIdentifier;
    });
    if (it == windows_.end()) return copyElementAttributeLocked(element, attribute, value);
    if (it->refusedReads.count(attribute)) return kAXErrorCannotComplete;
    if (auto o = it->readOverrides.find(attribute); o != it->readOverrides.end()) {
        value = o->second;
        return kAXErrorSuccess;
    }
    if (attribute == kAXPositionAttribute) {
        value = AXValueCreate(CGPoint{it->frame.x, it->frame.y});
    } else if (attribute == kAXSizeAttribute) {
        value = AXValueCreate(CGSize{it->frame.width, it->frame.height});
    } else {
        return kAXErrorAttributeUnsupported;
    }
    return kAXErrorSuccess;
}

AXError SimulatedAccessibility::copyElementAttributeLocked(const AXUIElement& element, const std::string& attribute,
                                                          AXAttributeValue& value) const {
    auto it = std::find_if(elements_.begin(), elements_.end(), [&](const SimulatedAXElement& e) {
        return e.id == element.window && e.processIdentifier == element.processIdentifier;
    });
    if (it == elements_.end()) return kAXErrorInvalidUIElement;
    if (auto a = it->attributes.find(attribute); a != it->attributes.end()) {
        value = a->second;
        return kAXErrorSuccess;
    }
    if (attribute == kAXChildrenAttribute) {
        value = childrenLocked(element.processIdentifier, it->id);
        return kAXErrorSuccess;
    }
    return kAXErrorNoValue;
}

AXError SimulatedAccessibility::setAttribute(const AXUIElement& element, const std::string& attribute,
                                             const AXAttributeValue& value) {
    if (!AXIsProcessTrusted()) return kAXErrorAPIDisabled;
    std::lock_guard<std::mutex> g(lock_);
    auto it = std::find_if(windows_.begin(), windows_.end(), [&](const SimulatedAXWindow& w) {
        return w.id == element.window && w.processIdentifier == element.processIdentifier;
    });
    if (element.window == 0 || it == windows_.end()) return kAXErrorInvalidUIElement;
    if (it->refusedWrites.count(attribute)) return kAXErrorCannotComplete;
    auto* typed = std::get_if<AXValue>(&value);
    if (!typed) return kAXErrorIllegalArgument;
    if (attribute == kAXPositionAttribute) {
        CGPoint p;
        if (!AXValueGetValue(*typed, p)) return kAXErrorIllegalArgument;
        it->frame.x = p.x;
        it->frame.y = p.y;
    } else if (attribute == kAXSizeAttribute) {
        CGSize s;
        if (!AXValueGetValue(*typed, s)) return kAXErrorIllegalArgument;
        it->frame.width = s.width;
        it->frame.height = s.height;
    } else {
        return kAXErrorAttributeUnsupported;
    }
    return kAXErrorSuccess;
}

}  // namespace platform
