#pragma once
// The display reports of the Host's diagnostics that need more than the
// switcher's own view: the headless virtual display a capture request calls
// for, and the server's display-selection report that heads the diagnostics.
// The server gathers its fields and the headless display's state (under that
// display's lock) and hands them here as plain values.

#include <cstdint>
#include <string>

#include "VelantrixProfiles/DisplayProfiles/DisplayProfileCatalog.h"

// The virtual display a capture request calls for.
struct HeadlessVirtualDisplayTarget {
    int logicalWidth = 0;
    int logicalHeight = 0;
    int scale = 1;  // pixels per point, at least 1

    // The target for an adaptive resolution: its logical size, and the whole
    // pixels per point of its width.
    static HeadlessVirtualDisplayTarget forResolution(const ResolutionProfile& resolution);

    // e.g. "logical=1512x982 @2x px=3024x1964 HiDPI"
    std::string summary() const;
};

// What the server's display-selection report reads.
struct DisplaySelectionState {
    uint32_t selectedDisplayID = 0;
    bool displaySelectionIsManual = false;
    bool useHeadlessVirtualDisplay = false;
    // Read only while the headless display is in use.
    bool headlessDisplayIsActive = false;
    HeadlessVirtualDisplayTarget virtualTemplate;
    std::string virtualActualSummary;
    uint32_t physicalDisplayID = 0;
};

// "Selected display: ..." followed by the switcher's display report.
std::string displaySelectionReport(const DisplaySelectionState& state);
