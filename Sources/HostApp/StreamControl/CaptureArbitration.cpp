// Stream control's entry points as the control dispatch and the login reach
// them. Until capture arbitration and frame delivery run, each notes what it
// was asked.

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"

void V230HostAudioAuxServer::applyVideoCaptureRequest(const CaptureModeControlPayload& request,
                                                      const platform::UUID& sourceID) {
    publish("capture: request from " + sourceID.id8() + " noted: " + request.summary());
}

void V230HostAudioAuxServer::applyVideoChromaMode(VideoChromaMode mode) {
    publish("capture: chroma preference noted: " + name(mode));
}

void V230HostAudioAuxServer::recordVideoFrameAck(const platform::UUID& from) {
    // Acknowledgements come with every frame; noting each would drown the log.
    (void)from;
}

void V230HostAudioAuxServer::requestKeyFrameFromViewer(const platform::UUID& from) {
    publish("capture: key frame requested by " + from.id8());
}

void V230HostAudioAuxServer::scheduleInitialVideoCaptureStart() {
    publish("capture: initial capture start requested");
}
