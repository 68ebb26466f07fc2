#pragma once
// The Accessibility interface as the Host uses it to move other
// applications' windows and to find controls such as a Dock tile:
// application, window and other elements, their attributes ("AXWindows",
// "AXChildren", "AXTitle", "AXDescription", "AXPosition", "AXSize"), point
// and size values, messaging time-outs, and whether the Host is trusted for
// Accessibility (asking macOS to prompt the user when it is not).
//
// On the simulated machine each running application's windows are records
// tests create (SimulatedAccessibility); a window can refuse to be read or
// changed attribute by attribute, or report a value of the wrong type.
// Other elements form a tree per application whose attributes tests give
// as they like: any may be missing or of the wrong type. The
// trust flag is the machine's Accessibility permission; the machine counts
// the prompts it was asked to show.

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "Platform/SimulatedMac/CoreGraphicsDisplays.h"
#include "Platform/SimulatedMac/EventPosting.h"

namespace platform {

inline constexpr AXError kAXErrorFailure = -25200;
inline constexpr AXError kAXErrorIllegalArgument = -25201;
inline constexpr AXError kAXErrorInvalidUIElement = -25202;
inline constexpr AXError kAXErrorCannotComplete = -25204;
inline constexpr AXError kAXErrorAttributeUnsupported = -25205;
inline constexpr AXError kAXErrorNoValue = -25212;

inline constexpr const char* kAXWindowsAttribute = "AXWindows";
inline constexpr const char* kAXPositionAttribute = "AXPosition";
inline constexpr const char* kAXSizeAttribute = "AXSize";
inline constexpr const char* kAXChildrenAttribute = "AXChildren";
inline constexpr const char* kAXTitleAttribute = "AXTitle";
inline constexpr const char* kAXDescriptionAttribute = "AXDescription";

enum class AXValueType { cgPoint, cgSize, cgRect, cfRange };

// A typed Accessibility value.
struct AXValue {
    AXValueType type = AXValueType::cgPoint;
    CGRect storage;  // a point uses x, y; a size width, height
};
AXValue AXValueCreate(const CGPoint& point);
AXValue AXValueCreate(const CGSize& size);
AXValueType AXValueGetType(const AXValue& value);
// False when the value is of another type.
bool AXValueGetValue(const AXValue& value, CGPoint& point);
bool AXValueGetValue(const AXValue& value, CGSize& size);

// An application element (window 0) or one of its windows.
struct AXUIElement {
    int32_t processIdentifier = 0;
    uint64_t window = 0;
    bool operator==(const AXUIElement&) const = default;
    auto operator<=>(const AXUIElement&) const = default;
};

// What an attribute holds: nothing, a typed value, a list of elements, text.
using AXAttributeValue = std::variant<std::monostate, AXValue, std::vector<AXUIElement>, std::string>;

AXUIElement AXUIElementCreateApplication(int32_t pid);
AXError AXUIElementSetMessagingTimeout(const AXUIElement& element, float seconds);
AXError AXUIElementCopyAttributeValue(const AXUIElement& element, const std::string& attribute,
                                      AXAttributeValue& value);
AXError AXUIElementSetAttributeValue(const AXUIElement& element, const std::string& attribute,
                                     const AXAttributeValue& value);
// Whether the Host may drive other applications through Accessibility.
bool AXIsProcessTrusted();
// The same, with options; kAXTrustedCheckOptionPrompt set to true makes
// macOS show its permission prompt when the Host is not trusted.
inline constexpr const char* kAXTrustedCheckOptionPrompt = "AXTrustedCheckOptionPrompt";
bool AXIsProcessTrustedWithOptions(const std::map<std::string, bool>& options);

// One window of a running application on the simulated machine.
struct SimulatedAXWindow {
    uint64_t id = 0;  // given by addWindow
    int32_t processIdentifier = 0;
    CGRect frame;                               // position and size, in global points
    std::set<std::string> refusedWrites;        // setting these fails
    std::set<std::string> refusedReads;         // reading these fails
    std::map<std::string, AXAttributeValue> readOverrides;  // read back instead of the frame
};

// One element of an application's tree other than its windows.
struct SimulatedAXElement {
    uint64_t id = 0;  // given by addElement, from the windows' numbering
    int32_t processIdentifier = 0;
    uint64_t parent = 0;  // 0: directly under the application
    std::map<std::string, AXAttributeValue> attributes;
};

// The Accessibility side of the simulated machine. Reached through
// SimulatedMachine::current().component<SimulatedAccessibility>().
class SimulatedAccessibility {
public:
    // Adds a window to an application's "AXWindows" (after its others).
    uint64_t addWindow(int32_t pid, const CGRect& frame);
    void updateWindow(uint64_t id, const std::function<void(SimulatedAXWindow&)>& edit);
    std::optional<SimulatedAXWindow> window(uint64_t id) const;
    // What reading "AXWindows" of an application gives instead of its
    // windows: an error, or (with kAXErrorSuccess) another value.
    // Adds an element under the application (parent 0) or under another
    // element. Its attributes read back exactly as given; "AXChildren",
    // unless given, lists the elements added under it in order (the
    // application's "AXChildren" lists those added directly under it).
    AXUIElement addElement(int32_t pid, uint64_t parent, std::map<std::string, AXAttributeValue> attributes);
    void overrideWindowList(int32_t pid, AXError error, AXAttributeValue value = {});
    // The last messaging time-out set on an element; none when never set.
    std::optional<float> messagingTimeout(const AXUIElement& element) const;
    // How often the permission prompt was shown.
    int promptCount() const;
    void notePrompt();

    AXError setMessagingTimeout(const AXUIElement& element, float seconds);
    AXError copyAttribute(const AXUIElement& element, const std::string& attribute, AXAttributeValue& value) const;
    AXError setAttribute(const AXUIElement& element, const std::string& attribute, const AXAttributeValue& value);

private:
    std::vector<AXUIElement> childrenLocked(int32_t pid, uint64_t parent) const;
    AXError copyElementAttributeLocked(const AXUIElement& element, const std::string& attribute,
                                       AXAttributeValue& value) const;

    mutable std::mutex lock_;
    uint64_t nextID_ = 1;
    std::vector<SimulatedAXWindow> windows_;  // in creation order
    std::vector<SimulatedAXElement> elements_;  // in creation order
    std::map<int32_t, std::pair<AXError, AXAttributeValue>> windowListOverrides_;
    std::map<AXUIElement, float> timeouts_;
    int prompts_ = 0;
};

}  // namespace platform
