// The Viewer's display commands as the session server reaches them.

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "HostApp/Display/HeadlessVirtualDisplay.h"

void V230HostAudioAuxServer::applyVideoCaptureMode(VideoCaptureMode mode) {
    // Until displays are prepared for a mode, the selected display is
    // captured with the request as it stands.
    publish("display: capture mode " + modeTitle(mode) + " requested");
    auto& sc = streamControl;
    if (sc.currentCaptureRequest.mode != mode) sc.currentCaptureRequest = sc.currentCaptureRequest.withMode(mode);
    sc.currentVideoMode = mode;
    if (useHeadlessVirtualDisplay && !HeadlessVirtualDisplay::shared().stateSnapshot().isActive) {
        publish("display: headless virtual display not prepared; capture waits");
        return;
    }
    restartVideoCapture(0);
}

void V230HostAudioAuxServer::applyHostDisplayMode(HostDisplayMode mode) {
    publish("display: host display mode " + std::to_string(static_cast<int>(mode)) + " requested");
}

void V230HostAudioAuxServer::applyHostPhysicalDisplayAction(HostPhysicalDisplayAction action) {
    publish(std::string("display: physical display action ") +
            (action == HostPhysicalDisplayAction::main ? "main" : "next") + " requested");
}

void V230HostAudioAuxServer::cancelPendingHeadlessCaptureTransition() {}
