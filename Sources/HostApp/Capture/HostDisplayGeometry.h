#pragma once
// One display's identity and geometry as the Host's capture and display
// management see it: its size in points and pixels, refresh rate, HiDPI.

#include <cstdint>
#include <string>

struct HostDisplayGeometry {
    uint32_t displayID = 0;
    int logicalWidth = 0;
    int logicalHeight = 0;
    int pixelWidth = 0;
    int pixelHeight = 0;
    double refreshRate = 0;  // Hz
    bool isHiDPI = false;

    bool operator==(const HostDisplayGeometry&) const = default;

    // e.g. "display=1 1512x982 px=3024x1964 scale=2.0x 120Hz HiDPI"
    std::string summary() const;
};
