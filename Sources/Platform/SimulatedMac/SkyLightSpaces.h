#pragma once
// The window server's Spaces as the Host reaches them: functions that are
// not public and are found at run time by name (DynamicLoader.h), the
// managed-display-spaces list they return, and the simulated Spaces that
// react to the system's Control-Arrow shortcuts. Tests decide whether the
// framework and each of its symbols are present.

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Platform/SimulatedMac/CoreGraphicsDisplays.h"
#include "Platform/Runtime/Dispatch.h"
#include "Platform/SimulatedMac/DynamicLoader.h"
#include "Platform/SimulatedMac/EventPosting.h"
#include "Platform/Foundation/PropertyList.h"

namespace platform {

inline constexpr const char* kSkyLightFrameworkPath = "/System/Library/PrivateFrameworks/SkyLight.framework/SkyLight";

using CGSConnectionID = int32_t;

// Signatures of the functions found by name.
using CGSMainConnectionIDFunction = std::function<CGSConnectionID()>;
// The retained managed-display-spaces list, or none.
using CGSCopyManagedDisplaySpacesFunction = std::function<std::optional<PlistValue>(CGSConnectionID)>;
// The display's UUID in canonical text form, or none.
using CGDisplayCreateUUIDFunction = std::function<std::optional<std::string>(CGDirectDisplayID)>;
using AXUIElementPostKeyboardEventFunction =
    std::function<AXError(const AXUIElementRef&, uint16_t charCode, uint16_t virtualKey, bool keyDown)>;

// One display's Spaces in the simulated window server.
struct SimulatedSpacesDisplay {
    std::string identifier;  // the display's UUID text
    std::vector<uint64_t> spaceIDs;
    uint64_t currentSpaceID = 0;
    bool operator==(const SimulatedSpacesDisplay&) const = default;
};

// What the window server does with a Control-Arrow shortcut.
enum class SpacesKeyResponse { apply, ignore, applyLate };

// The Spaces of the simulated machine. Until a test sets them, every active
// display has one Space and the main display two.
class SimulatedSpaces {
public:
    void setFrameworkPresent(bool present);
    void setSymbolPresent(const std::string& symbol, bool present);
    bool frameworkPresent() const;
    bool symbolPresent(const std::string& symbol) const;

    void setDisplays(std::vector<SimulatedSpacesDisplay> displays);
    std::vector<SimulatedSpacesDisplay> displays();
    // The display the shortcuts act on; empty: the first with two or more Spaces.
    void setFocusedDisplay(std::string identifier);
    void setKeyResponse(SpacesKeyResponse response, double lateSeconds = 0.5);
    // Replaces the list the window server returns with a raw value (for
    // malformed lists); none returns to the simulated displays.
    void setManagedDisplaySpacesOverride(std::optional<PlistValue> list);

    // The list as CGSCopyManagedDisplaySpaces returns it.
    PlistValue managedDisplaySpaces();
    // Reacts to a posted key: Control with Left or Right Arrow steps a Space.
    void handleKeyEvent(const PostedEvent& event);
    // Space switches performed so far.
    uint64_t switchCount() const;

private:
    // Fills in the default Spaces on first use (reads the display system, so
    // never called with lock_ held).
    void ensureInitialised();
    void step(bool forward, std::string identifier);

    mutable std::mutex lock_;
    bool initialised_ = false;
    bool frameworkPresent_ = true;
    std::set<std::string> absentSymbols_;
    std::vector<SimulatedSpacesDisplay> displays_;
    std::string focused_;
    SpacesKeyResponse response_ = SpacesKeyResponse::apply;
    double lateSeconds_ = 0.5;
    std::optional<PlistValue> override_;
    uint64_t switches_ = 0;
    std::optional<DispatchQueue> lateQueue_;
};

}  // namespace platform
