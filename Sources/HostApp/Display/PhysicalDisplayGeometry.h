#pragma once
// The server's decisions about a real display and a capture mode: whether
// the display's current layout already serves a request, whether a switch
// reached a geometry the mode accepts, how to name what the mode requires,
// and which physical mode to fall back to. Pure functions of their arguments
// and of the display-profile catalogue; the server's methods of the same
// names call them.

#include <string>

#include "HostApp/Protocol/DisplayControlPayloads.h"
#include "HostApp/Capture/CaptureModeControlPayload.h"
#include "HostApp/Capture/HostDisplayGeometry.h"
#include "HostApp/Capture/VideoCaptureMode.h"

struct PhysicalDisplayGeometry {
    PhysicalDisplayGeometry() = delete;

    // The physical capture mode to use on a real display when the server
    // gives up on the headless virtual display.
    static VideoCaptureMode physicalFallbackMode(VideoCaptureMode mode, const HostDisplayGeometry& geometry);
    // Whether a display's geometry meets the mode's resolution exactly.
    static bool geometrySatisfiesStrictMode(const HostDisplayGeometry& geometry, VideoCaptureMode mode);
    // What the mode requires, as the strict-mismatch messages name it.
    static std::string strictGeometrySummary(VideoCaptureMode mode);
    // Whether a real display's current layout already serves the request,
    // so that no mode switch is needed.
    static bool physicalDisplayLayout(const DisplayLayoutPayload& layout, const CaptureModeControlPayload& request);
};
