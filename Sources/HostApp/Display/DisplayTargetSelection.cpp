// The server's questions about real displays and capture modes, and its
// display-selection report. The geometry rules themselves live in
// PhysicalDisplayGeometry; the server asks them about its own state.

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "HostApp/Display/DisplayDiagnostics.h"
#include "HostApp/Display/HeadlessVirtualDisplay.h"
#include "HostApp/Display/PhysicalDisplayGeometry.h"

VideoCaptureMode V230HostAudioAuxServer::physicalFallbackMode(VideoCaptureMode mode,
                                                              const HostDisplayGeometry& geometry) const {
    return PhysicalDisplayGeometry::physicalFallbackMode(mode, geometry);
}

bool V230HostAudioAuxServer::geometrySatisfiesStrictMode(const HostDisplayGeometry& geometry,
                                                         VideoCaptureMode mode) const {
    return PhysicalDisplayGeometry::geometrySatisfiesStrictMode(geometry, mode);
}

std::string V230HostAudioAuxServer::strictGeometrySummary(VideoCaptureMode mode) const {
    return PhysicalDisplayGeometry::strictGeometrySummary(mode);
}

bool V230HostAudioAuxServer::physicalDisplayLayout(const DisplayLayoutPayload& layout,
                                                   const CaptureModeControlPayload& request) const {
    return PhysicalDisplayGeometry::physicalDisplayLayout(layout, request);
}

std::string V230HostAudioAuxServer::displayDiagnostics() {
    return queue.syncValue([this] {
        DisplaySelectionState state;
        state.selectedDisplayID = selectedDisplayID;
        state.physicalDisplayID = physicalDisplayID;
        state.displaySelectionIsManual = displaySelectionIsManual;
        state.useHeadlessVirtualDisplay = useHeadlessVirtualDisplay;
        if (useHeadlessVirtualDisplay) {
            auto& headless = HeadlessVirtualDisplay::shared();
            state.headlessDisplayIsActive = headless.stateSnapshot().isActive;
            state.virtualTemplate =
                HeadlessVirtualDisplayTarget::forResolution(resolvedAdaptiveResolution(streamControl.currentCaptureRequest));
            state.virtualActualSummary = headless.summary();
        }
        return displaySelectionReport(state);
    });
}
