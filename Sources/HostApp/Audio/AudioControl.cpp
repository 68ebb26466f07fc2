// Audio control and Host recording requests as the control dispatch hands
// them over.

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"

void V230HostAudioAuxServer::applyAudioControl(const AudioControlPayload& control, const platform::UUID& sourceID,
                                               const std::shared_ptr<platform::TcpConnection>& connection) {
    (void)connection;
    publish("audio: control from " + sourceID.id8() + " listenHereOnly=" + (control.listenHereOnly ? "1" : "0") +
            " muteHostOutput=" + (control.muteHostOutput ? "1" : "0"));
}

void V230HostAudioAuxServer::handleHostRecordingControl(std::span<const uint8_t> payload,
                                                        const platform::UUID& sourceID) {
    publish("recording: control from " + sourceID.id8() + " (" + std::to_string(payload.size()) + " bytes)");
}

void V230HostAudioAuxServer::updateAudioSendConnections() {
    // Recomputed on every audio login and removal; nothing to fan out until
    // audio capture runs.
}

void V230HostAudioAuxServer::startAudioCapture() { publish("audio: capture start requested"); }

void V230HostAudioAuxServer::restartAudioCapture(double afterSeconds) {
    publish("audio: capture restart requested after " + std::to_string(afterSeconds) + " s");
}

void V230HostAudioAuxServer::stopAudioCapture(bool resetRetryAttempts) {
    publish(std::string("audio: capture stop requested") + (resetRetryAttempts ? " (reset retries)" : ""));
}

void V230HostAudioAuxServer::releaseExclusiveAudioListening(const std::string& reason) {
    exclusiveAudioSessionID.reset();
    publish("audio: exclusive listening released (" + reason + ")");
}

std::string V230HostAudioAuxServer::restoreViewerHostOutputAfterExclusiveListening() {
    return "Host output left unchanged.";
}

void V230HostAudioAuxServer::stopHostRecording(bool notifyStopped) {
    hostRecordingSessionID.reset();
    publish(std::string("recording: stop requested") + (notifyStopped ? " (notify)" : ""));
}
