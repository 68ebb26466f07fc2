// Stream control's entry points as the control dispatch and the login reach
// them. Until capture arbitration and frame delivery run, each notes what it
// was asked.

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"

void V230HostAudioAuxServer::applyVideoCaptureRequest(const CaptureModeControlPayload& request,
                                                      const platform::UUID& sourceID) {
    publish("capture: request from " + sourceID.id8() + " noted: " + request.summary());
}

void V230HostAudioAuxServer::applyIOSBuiltInDisplayCaptureRequest(const CaptureModeControlPayload& request) {
    publish("capture: iOS built-in display request noted: " + request.summary());
}

void V230HostAudioAuxServer::applyVideoChromaMode(VideoChromaMode mode) {
    publish("capture: chroma preference noted: " + name(mode));
}

void V230HostAudioAuxServer::recordVideoFrameAck(const platform::UUID& from) {
    // Acknowledgements come with every frame; noting each would drown the log.
    (void)from;
}

void V230HostAudioAuxServer::requestVideoKeyframeWithDelayedRetry() {
    publish("capture: key frame requested");
}

void V230HostAudioAuxServer::scheduleInitialVideoCaptureStart() {
    publish("capture: initial capture start requested");
}

void V230HostAudioAuxServer::retireVideoCaptureOnLifecycleQueue() {
    queue.dispatchPrecondition();
    auto retired = std::move(videoCapture);
    if (!retired) return;
    // Stopping may block until the stream has stopped; never on the server
    // queue.
    captureLifecycleQueue.async([retired] { retired->stop(true); });
    publish("capture: shared capture retired");
}
