#pragma once
// Steps the Mac to the next or previous desktop (Space). macOS offers no
// public way, so the Spaces of each display are read from the window
// server's private framework, found at run time, and one step is made by
// posting the system's own shortcut (Control with an arrow key) through
// Accessibility. The caller then checks whether the display arrived and
// where it now stands.
//
// A namespace of static functions over lazily resolved functions; no other
// state. The functions are resolved once and kept (they are looked up again
// only when the loaded images change, which in tests means a new simulated
// machine).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Foundation/PropertyList.h"
#include "Platform/SimulatedMac/SkyLightSpaces.h"

// One managed display's Spaces.
struct DisplaySpaces {
    std::string identifier;  // matched against the displays' UUID text
    uint64_t currentSpaceID = 0;  // 0 when unknown
    std::vector<uint64_t> spaceIDs;
    bool operator==(const DisplaySpaces&) const = default;
};

class DesktopSwitcher {
public:
    DesktopSwitcher() = delete;

    // A posted step awaiting verification.
    struct Request {
        std::string displayIdentifier;
        uint64_t expectedSpaceID = 0;
        std::vector<uint64_t> spaceIDs;  // the display's Spaces when the step was posted
        bool operator==(const Request&) const = default;
    };

    struct RequestOutcome {
        enum class Kind { requested, atEdge, unavailable };
        Kind kind = Kind::unavailable;
        std::optional<Request> request;  // set for `requested`
        static RequestOutcome requested(Request r) { return {Kind::requested, std::move(r)}; }
        static RequestOutcome atEdge() { return {Kind::atEdge, std::nullopt}; }
        static RequestOutcome unavailable() { return {Kind::unavailable, std::nullopt}; }
    };

    struct Position {
        int index = 0;  // 1-based
        int total = 0;
        bool operator==(const Position&) const = default;
    };

    // The run-time functions; each absent when its library or symbol is.
    static std::optional<platform::CGSMainConnectionIDFunction> mainConnectionID();
    static std::optional<platform::CGSCopyManagedDisplaySpacesFunction> copyManagedDisplaySpaces();
    static std::optional<platform::CGDisplayCreateUUIDFunction> createDisplayUUID();
    static std::optional<platform::AXUIElementPostKeyboardEventFunction> postKeyboardEvent();
    // What the session info advertises: the three functions a step needs resolved.
    static bool canSwitchDesktops();

    // Posts one step on the preferred display (else the main display or
    // another with two or more Spaces). Blocks for the three 30 ms pauses
    // when it posts.
    static RequestOutcome requestStep(bool forward, uint32_t preferredDisplayID);
    // Whether the request's display now shows the expected Space.
    static bool didReach(const Request& request);
    // The 1-based position of the display's current Space and the count,
    // read afresh.
    static std::optional<Position> position(const Request& request);

    static std::vector<DisplaySpaces> managedDisplays();
    static std::optional<DisplaySpaces> targetDisplay(uint32_t preferredDisplayID,
                                                      const std::vector<DisplaySpaces>& displays);
    static std::optional<uint64_t> spaceIdentifier(const platform::PlistValue::Dictionary& space);
};
