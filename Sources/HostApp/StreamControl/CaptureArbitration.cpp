// Capture-mode requests as the control dispatch and the login reach them.
// Until arbitration between Viewers exists, the latest request is the one
// in force: it is applied as it stands.

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "HostApp/Display/HostDisplayModeSwitcher.h"

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

void V230HostAudioAuxServer::applyEasyAdaptivePhysicalCapture(uint32_t displayID,
                                                              const std::optional<CaptureModeControlPayload>& base) {
    queue.dispatchPrecondition();
    // Until Easy's adaptive sizing and bit rate exist, Easy on a real display
    // captures it at its current mode with the Easy preset's budget.
    auto& sc = streamControl;
    const auto from = base.value_or(sc.currentCaptureRequest);
    auto request = CaptureModeControlPayload::preset(VideoCaptureMode::easy, from.chromaMode, VideoCaptureBackend::physical);
    request.codec = from.codec;
    request.flags = static_cast<uint8_t>(request.flags & ~(CaptureModeControlPayload::flagHiDPI |
                                                           CaptureModeControlPayload::flagIOSBuiltInDisplay));
    if (auto layout = HostDisplayModeSwitcher::displayLayout(displayID)) {
        request.logicalWidth = static_cast<int>(layout->targetWidth);
        request.logicalHeight = static_cast<int>(layout->targetHeight);
        request.pixelWidth = static_cast<int>(layout->pixelWidth);
        request.pixelHeight = static_cast<int>(layout->pixelHeight);
        if (layout->flags & DisplayLayoutPayload::hiDPIFlag) request.flags |= CaptureModeControlPayload::flagHiDPI;
    }
    const auto previousRequest = sc.currentCaptureRequest;
    const uint32_t previousDisplay = selectedDisplayID;
    const bool virtualWasActive = useHeadlessVirtualDisplay || HeadlessVirtualDisplay::shared().stateSnapshot().isActive;
    if (virtualWasActive) HeadlessVirtualDisplay::shared().stop(false);
    useHeadlessVirtualDisplay = false;
    displaySelectionIsManual = false;
    selectedDisplayID = physicalDisplayID = displayID;
    sc.currentCaptureRequest = request;
    sc.currentVideoMode = VideoCaptureMode::easy;
    sc.currentVideoChromaMode = request.chromaMode;
    resumeAuxVideoCaptureAfterZeroFrameSuspension("easy adaptive physical capture");
    sc.videoStartRetryAttempts = 0;
    headlessRealizeRetryAttempts = 0;
    const std::string id = std::to_string(displayID);
    if (request == previousRequest && !virtualWasActive && previousDisplay == displayID && sc.videoCapture) {
        publish("easy adaptive physical capture unchanged on display " + id);
        return;
    }
    lastDisplayLayout.reset();
    publish("easy adaptive: capturing physical display " + id + " at current display mode " + request.summary());
    broadcastHostError("display: easy adaptive physical capture display=" + id +
                       " at current display mode (no host resolution switch)");
    const auto layout = currentDisplayLayout();
    publish("display layout " + layout.summary());
    broadcastDisplayLayout(layout);
    scheduleDisplayLayoutPublish(0.35);
    restartAudioCaptureOnDisplaySwitch(0.1);
    restartVideoCapture(0.1);
}
