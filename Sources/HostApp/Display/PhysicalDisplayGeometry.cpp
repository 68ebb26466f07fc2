#include "HostApp/Display/PhysicalDisplayGeometry.h"

#include <cstdlib>

VideoCaptureMode PhysicalDisplayGeometry::physicalFallbackMode(VideoCaptureMode mode,
                                                               const HostDisplayGeometry& geometry) {
    auto hasLogicalSizeOf = [&](const ResolutionProfile& r) {
        return geometry.logicalWidth == r.logicalWidth && geometry.logicalHeight == r.logicalHeight;
    };
    if (!geometry.isHiDPI && hasLogicalSizeOf(DisplayProfileCatalog::fullHD1080)) return VideoCaptureMode::physical1080;
    if (!geometry.isHiDPI && hasLogicalSizeOf(DisplayProfileCatalog::qhd1440)) return VideoCaptureMode::physical1440;
    switch (mode) {
        case VideoCaptureMode::easy: return VideoCaptureMode::physical1080;
        case VideoCaptureMode::pro:
        case VideoCaptureMode::max: return VideoCaptureMode::physical1440;
        case VideoCaptureMode::physical1080:
        case VideoCaptureMode::physical1440: return mode;
    }
    return mode;
}

bool PhysicalDisplayGeometry::geometrySatisfiesStrictMode(const HostDisplayGeometry& geometry, VideoCaptureMode mode) {
    const ResolutionProfile& r = captureModeDefinition(mode).resolution;
    if (geometry.logicalWidth != r.logicalWidth || geometry.logicalHeight != r.logicalHeight) return false;
    if (!r.hiDPI) return true;
    return geometry.pixelWidth == r.pixelWidth && geometry.pixelHeight == r.pixelHeight && geometry.isHiDPI;
}

std::string PhysicalDisplayGeometry::strictGeometrySummary(VideoCaptureMode mode) {
    const CaptureModeProfileDefinition& definition = captureModeDefinition(mode);
    const ResolutionProfile& r = definition.resolution;
    if (definition.requireStrictGeometry) return r.strictGeometrySummary();
    return std::to_string(r.logicalWidth) + "x" + std::to_string(r.logicalHeight);
}

bool PhysicalDisplayGeometry::physicalDisplayLayout(const DisplayLayoutPayload& layout,
                                                    const CaptureModeControlPayload& request) {
    const bool strict = captureModeDefinition(request.mode).requireStrictGeometry;
    const int64_t logicalTolerance = strict ? 0 : 16;
    const int64_t pixelTolerance = strict ? 0 : 32;
    auto within = [](int64_t a, int64_t b, int64_t tolerance) { return std::llabs(a - b) <= tolerance; };
    if (!within(layout.targetWidth, request.logicalWidth, logicalTolerance) ||
        !within(layout.targetHeight, request.logicalHeight, logicalTolerance) ||
        !within(layout.pixelWidth, request.pixelWidth, pixelTolerance) ||
        !within(layout.pixelHeight, request.pixelHeight, pixelTolerance)) {
        return false;
    }
    if (request.flags & CaptureModeControlPayload::flagHiDPI) return layout.isHiDPI();
    if (strict) return !layout.isHiDPI();
    return true;
}
