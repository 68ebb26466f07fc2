// The warm hold that keeps capture running for a while after the last
// Viewer left, as the session server reaches it: the capture is kept for a
// returning Viewer and torn down once the hold ends with nobody back.

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"

namespace {
constexpr double kWarmHoldSeconds = 120;
}

void V230HostAudioAuxServer::endMediaIdleWarmHoldForViewerReturn(const platform::UUID& id) {
    publish("media warm hold: Viewer " + id.id8() + " returned");
    if (streamControl.mediaIdleWarmHoldTask) streamControl.mediaIdleWarmHoldTask->cancel();
    streamControl.mediaIdleWarmHoldTask.reset();
}

bool V230HostAudioAuxServer::canHoldMediaWarm() const { return true; }

void V230HostAudioAuxServer::beginMediaIdleWarmHold() {
    publish("media warm hold: begin");
    if (streamControl.mediaIdleWarmHoldTask) return;
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    streamControl.mediaIdleWarmHoldTask = platform::makeWorkItem([weak] {
        auto self = weak.lock();
        if (!self) return;
        self->streamControl.mediaIdleWarmHoldTask.reset();
        if (self->authorizedVideoSessions.empty() && self->authorizedAudioSessions.empty())
            self->performVideoCaptureIdleTeardown();
    });
    queue.asyncAfter(kWarmHoldSeconds, streamControl.mediaIdleWarmHoldTask);
}

void V230HostAudioAuxServer::endMediaIdleWarmHoldAndTeardown(const std::string& reason) {
    publish("media warm hold: teardown (" + reason + ")");
    cancelMediaIdleWarmHold();
    if (authorizedVideoSessions.empty()) performVideoCaptureIdleTeardown();
}

void V230HostAudioAuxServer::cancelMediaIdleWarmHold() {
    publish("media warm hold: cancelled");
    if (streamControl.mediaIdleWarmHoldTask) streamControl.mediaIdleWarmHoldTask->cancel();
    streamControl.mediaIdleWarmHoldTask.reset();
}
