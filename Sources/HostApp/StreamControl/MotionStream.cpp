// The Motion stream for iOS Viewers and the Wi-Fi delivery shaping, as the
// shared pipeline reaches them. No Motion capture is built yet: iOS Viewers
// receive the shared stream, and each entry point notes what it was asked.

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"

void V230HostAudioAuxServer::ensureMotionStream(const std::string& reason) {
    publish("motion stream: requested (" + reason + ")");
}

void V230HostAudioAuxServer::scheduleMotionStreamIdleRelease(const std::string& reason,
                                                             std::optional<double> delay) {
    publish("motion stream: idle release requested (" + reason + ")" +
            (delay ? " after " + std::to_string(*delay) + " s" : std::string()));
}

void V230HostAudioAuxServer::stopMotionStream(const std::string& reason, bool resetAttempts) {
    publish("motion stream: stop requested (" + reason + ")" + (resetAttempts ? " reset attempts" : ""));
}

void V230HostAudioAuxServer::updateMotionStreamGateLocked(uint64_t nowNs) {
    // Without a Motion capture there is nothing to gate.
    (void)nowNs;
    streamControl.motionStreamEncodeBlocked.set(0);
}

void V230HostAudioAuxServer::recordMotionStreamCapturedFrame(uint64_t generation) {
    if (generation == streamControl.motionStreamCaptureGeneration) streamControl.motionStreamCaptureFrames++;
}

void V230HostAudioAuxServer::recordMotionStreamCapturedIdleFrame(uint64_t generation) {
    if (generation == streamControl.motionStreamCaptureGeneration) streamControl.motionStreamIdleCaptureFrames++;
}

void V230HostAudioAuxServer::reconcileSharedCanvasWiFiDeliveryShaping(const std::string& reason) {
    publish("video delivery: Wi-Fi shaping reconcile requested (" + reason + ")");
}
