// The warm hold: when the last Viewer of a channel leaves, the shared video
// capture and the audio capture keep running for a while, so a Viewer that
// reconnects gets the running stream instead of a rebuilt one. The hold
// ends when a Viewer returns, when it expires with nobody back (then what
// no Viewer uses is torn down), or when the Host cannot hold at all.
// Server queue only.

#include <algorithm>
#include <cmath>

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"

namespace {
constexpr double kWarmHoldSeconds = 120;
}

bool V230HostAudioAuxServer::canHoldMediaWarm() const {
    return !streamControl.isPaused && !screensAreSleeping && !isPreflightingHeadlessCaptureForSleep &&
           !sleepPreflightPhysicalCaptureRequest && (streamControl.videoCapture || audio.audioCapture);
}

void V230HostAudioAuxServer::beginMediaIdleWarmHold() {
    queue.dispatchPrecondition();
    auto& sc = streamControl;
    if (sc.mediaIdleWarmHoldTask) return;
    double hold = kWarmHoldSeconds;
    if (iosViewerBackgroundSleepGraceDeadline)
        hold = std::max(hold, iosViewerBackgroundSleepGraceDeadline->timeIntervalSince(platform::Clock::now()));
    publish("viewer media idle; holding capture warm for " + std::to_string(static_cast<int64_t>(std::floor(hold))) +
            "s so a reconnect does not rebuild the stream");
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    sc.mediaIdleWarmHoldTask = platform::makeWorkItem([weak] {
        auto self = weak.lock();
        if (!self) return;
        self->streamControl.mediaIdleWarmHoldTask.reset();
        // A second hop, so a login queued meanwhile is seen first.
        self->queue.async([weak] {
            auto server = weak.lock();
            if (!server || !server->authorizedVideoSessions.empty() || !server->authorizedAudioSessions.empty()) return;
            server->publish("viewer media idle; warm capture hold expired");
            server->streamControl.videoCaptureIsWarmIdle = false;
            server->performVideoCaptureIdleTeardown();
            server->stopAudioCaptureAndResetRecovery();
        });
    });
    sc.videoCaptureIsWarmIdle = true;
    queue.asyncAfter(hold, sc.mediaIdleWarmHoldTask);
}

void V230HostAudioAuxServer::stopAudioCaptureAndResetRecovery() {
    stopAudioCapture(true);
    audio.audioZeroFrameRecoveryAttempts = 0;
    audio.audioZeroFrameRecoveryExhausted = false;
}

void V230HostAudioAuxServer::endMediaIdleWarmHoldAndTeardown(const std::string& reason) {
    queue.dispatchPrecondition();
    if (streamControl.mediaIdleWarmHoldTask)
        publish("viewer media idle; ending warm capture hold (" + reason + ")");
    cancelMediaIdleWarmHold();
    if (authorizedVideoSessions.empty()) performVideoCaptureIdleTeardown();
    if (authorizedAudioSessions.empty()) stopAudioCaptureAndResetRecovery();
}

void V230HostAudioAuxServer::endMediaIdleWarmHoldForViewerReturn(const platform::UUID& id) {
    queue.dispatchPrecondition();
    auto& sc = streamControl;
    if (!sc.videoCaptureIsWarmIdle && !sc.mediaIdleWarmHoldTask) return;
    cancelMediaIdleWarmHold();
    if (!sc.videoCapture && !audio.audioCapture) return;
    publish("viewer session " + id.id8() + " connected; reusing the warm capture");
    resendCurrentVideoConfigIfAvailable("reused warm capture");
}

void V230HostAudioAuxServer::cancelMediaIdleWarmHold() {
    auto& sc = streamControl;
    if (sc.mediaIdleWarmHoldTask) sc.mediaIdleWarmHoldTask->cancel();
    sc.mediaIdleWarmHoldTask.reset();
    sc.videoCaptureIsWarmIdle = false;
}
