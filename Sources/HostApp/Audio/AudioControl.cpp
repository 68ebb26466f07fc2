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
