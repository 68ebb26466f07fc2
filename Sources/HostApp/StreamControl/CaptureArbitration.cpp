// Capture-mode requests as the control dispatch and the login reach them.
// Until arbitration between Viewers exists, the latest request is the one
// in force: it is applied as it stands.

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"

void V230HostAudioAuxServer::applyVideoCaptureRequest(const CaptureModeControlPayload& request,
                                                      const platform::UUID& sourceID) {
    publish("capture: request from " + sourceID.id8() + " noted: " + request.summary());
    auto& sc = streamControl;
    sc.currentCaptureRequest = request;
    sc.currentVideoMode = request.mode;
    sc.currentVideoChromaMode = request.chromaMode;
    sc.videoCaptureModeWasRequested = true;
    applyVideoCaptureMode(request.mode);
    requestVideoKeyframeWithDelayedRetry();
}

void V230HostAudioAuxServer::applyIOSBuiltInDisplayCaptureRequest(const CaptureModeControlPayload& request) {
    publish("capture: iOS built-in display request noted: " + request.summary());
}

void V230HostAudioAuxServer::applyVideoChromaMode(VideoChromaMode mode) {
    publish("capture: chroma preference noted: " + name(mode));
}

void V230HostAudioAuxServer::restoreSharedModeAfterIOSCaptureEnded() {
    publish("capture: shared mode restore after iOS capture requested");
}
