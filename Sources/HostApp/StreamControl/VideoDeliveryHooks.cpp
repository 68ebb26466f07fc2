// Frame delivery's and the Motion stream's entry points as session removal
// reaches them. Until those paths run, each notes what it was asked.

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"

void V230HostAudioAuxServer::updateVideoGateLocked(uint64_t nowNs) {
    // Recomputed on every removal; nothing to gate until frames flow.
    (void)nowNs;
}

void V230HostAudioAuxServer::scheduleMotionStreamIdleRelease(const std::string& reason,
                                                             std::optional<double> delay) {
    publish("motion stream: idle release requested (" + reason + ")" +
            (delay ? " after " + std::to_string(*delay) + " s" : std::string()));
}

void V230HostAudioAuxServer::stopMotionStream(const std::string& reason, bool resetAttempts) {
    publish("motion stream: stop requested (" + reason + ")" + (resetAttempts ? " reset attempts" : ""));
}

void V230HostAudioAuxServer::reconcileSharedCanvasWiFiDeliveryShaping(const std::string& reason) {
    publish("video delivery: Wi-Fi shaping reconcile requested (" + reason + ")");
}

void V230HostAudioAuxServer::restoreSharedModeAfterIOSCaptureEnded() {
    publish("capture: shared mode restore after iOS capture requested");
}
