// The warm hold that keeps capture running for a while after the last
// Viewer left, as the session server reaches it.

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"

void V230HostAudioAuxServer::endMediaIdleWarmHoldForViewerReturn(const platform::UUID& id) {
    publish("media warm hold: Viewer " + id.id8() + " returned");
}

bool V230HostAudioAuxServer::canHoldMediaWarm() const { return true; }

void V230HostAudioAuxServer::beginMediaIdleWarmHold() { publish("media warm hold: begin"); }

void V230HostAudioAuxServer::endMediaIdleWarmHoldAndTeardown(const std::string& reason) {
    publish("media warm hold: teardown (" + reason + ")");
}

void V230HostAudioAuxServer::cancelMediaIdleWarmHold() { publish("media warm hold: cancelled"); }
