#include "HostApp/Capture/HostDisplayGeometry.h"

#include <cstdio>

std::string HostDisplayGeometry::summary() const {
    const double scale =
        logicalWidth < 1 ? 1.0 : static_cast<double>(pixelWidth) / static_cast<double>(logicalWidth);
    char text[200];
    std::snprintf(text, sizeof text, "display=%u %dx%d px=%dx%d scale=%.1fx %.0fHz%s", displayID, logicalWidth,
                  logicalHeight, pixelWidth, pixelHeight, scale, refreshRate, isHiDPI ? " HiDPI" : "");
    return text;
}
