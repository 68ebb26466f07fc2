// The return to the physical display after a preflighted sleep: once the
// Mac is awake, capture stays on the temporary virtual display until the
// physical display is usable again, checked every 0.75 s for 45 s and again
// on every later display change; then it either goes back to the pre-lid
// physical capture or keeps a healthy virtual capture while a Viewer watches.

#include <algorithm>

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "HostApp/Display/HeadlessVirtualDisplay.h"

namespace {

constexpr double kRecoveryWindowSeconds = 45.0;
constexpr double kRecoveryCheckSeconds = 0.75;
constexpr double kRecoveryCaptureRestartSeconds = 0.2;
// Checks between two key-frame requests while waiting.
constexpr int kRecoveryKeyFrameEvery = 8;

}  // namespace

void V230HostAudioAuxServer::startSleepPreflightPhysicalRecovery(const std::string& reason) {
    queue.dispatchPrecondition();
    if (!isAwaitingSleepPreflightPhysicalRecovery || screensAreSleeping || authorizedVideoSessions.empty() ||
        !sleepPreflightPhysicalCaptureRequest) {
        return;
    }
    if (!sleepPreflightPhysicalRecoveryDeadline) {
        sleepPreflightPhysicalRecoveryDeadline = platform::Clock::now().addingSeconds(kRecoveryWindowSeconds);
        sleepPreflightPhysicalRecoveryRetryCount = 0;
        publish("power: " + reason +
                "; waiting for the physical display to return before releasing the temporary virtual mirror");
    }
    scheduleSleepPreflightPhysicalRecovery(reason, 0);
}

void V230HostAudioAuxServer::scheduleSleepPreflightPhysicalRecovery(const std::string& reason, double afterSeconds) {
    queue.dispatchPrecondition();
    if (!isAwaitingSleepPreflightPhysicalRecovery || screensAreSleeping || !sleepPreflightPhysicalCaptureRequest)
        return;
    if (sleepPreflightPhysicalRecoveryTask) sleepPreflightPhysicalRecoveryTask->cancel();
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    sleepPreflightPhysicalRecoveryTask = platform::makeWorkItem([weak, reason] {
        if (auto self = weak.lock()) self->attemptSleepPreflightPhysicalRecovery(reason);
    });
    queue.asyncAfter(std::max(0.0, afterSeconds), sleepPreflightPhysicalRecoveryTask);
}

void V230HostAudioAuxServer::attemptSleepPreflightPhysicalRecovery(const std::string& reason) {
    queue.dispatchPrecondition();
    sleepPreflightPhysicalRecoveryTask.reset();
    if (!isAwaitingSleepPreflightPhysicalRecovery || screensAreSleeping || authorizedVideoSessions.empty() ||
        !sleepPreflightPhysicalCaptureRequest) {
        if (authorizedVideoSessions.empty()) cancelSleepPreflightPhysicalRecovery();
        return;
    }
    if (restorePhysicalCaptureAfterSleepIfAvailable(reason)) return;
    if (!sleepPreflightPhysicalRecoveryDeadline) return;
    if (platform::Clock::now() >= *sleepPreflightPhysicalRecoveryDeadline) {
        // Still awaiting: the next display change opens a new window.
        sleepPreflightPhysicalRecoveryDeadline.reset();
        sleepPreflightPhysicalRecoveryRetryCount = 0;
        publish("power: " + reason +
                "; physical display did not return before the recovery window closed; retaining the temporary "
                "virtual mirror until the next display change");
        return;
    }
    const int count = ++sleepPreflightPhysicalRecoveryRetryCount;
    if (count == 1) {
        publish("power: " + reason + "; physical display is not ready yet; preserving the temporary virtual mirror");
        restartVideoCapture(kRecoveryCaptureRestartSeconds);
    } else if (count % kRecoveryKeyFrameEvery == 0) {
        publish("power: " + reason + "; still waiting for physical display after " + std::to_string(count) +
                " checks");
        if (streamControl.videoCapture) streamControl.videoCapture->forceKeyFrameRequested.set(1);
    }
    scheduleSleepPreflightPhysicalRecovery(reason, kRecoveryCheckSeconds);
}

void V230HostAudioAuxServer::scheduleSleepPreflightPhysicalRecoveryAfterDisplayChange() {
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    queue.async([weak] {
        auto self = weak.lock();
        if (self && self->isAwaitingSleepPreflightPhysicalRecovery && !self->screensAreSleeping)
            self->startSleepPreflightPhysicalRecovery("display parameters changed");
    });
}

void V230HostAudioAuxServer::cancelSleepPreflightPhysicalRecovery() {
    queue.dispatchPrecondition();
    if (sleepPreflightPhysicalRecoveryTask) sleepPreflightPhysicalRecoveryTask->cancel();
    sleepPreflightPhysicalRecoveryTask.reset();
    sleepPreflightPhysicalRecoveryDeadline.reset();
    sleepPreflightPhysicalRecoveryRetryCount = 0;
    isAwaitingSleepPreflightPhysicalRecovery = false;
}

bool V230HostAudioAuxServer::restorePhysicalCaptureAfterSleepIfAvailable(const std::string& reason) {
    queue.dispatchPrecondition();
    if (screensAreSleeping || !sleepPreflightPhysicalCaptureRequest || authorizedVideoSessions.empty()) return false;
    const auto usable = usablePhysicalDisplayID();
    if (!usable) return false;
    auto& sc = streamControl;
    const auto snapshot = HeadlessVirtualDisplay::shared().stateSnapshot();
    if (useHeadlessVirtualDisplay && snapshot.isActive && snapshot.displayID == selectedDisplayID && sc.videoCapture &&
        sc.videoCapture->displayID == snapshot.displayID && sc.lastVideoConfig) {
        // Switching now would interrupt a Viewer who is watching a working
        // stream; the pre-lid request is restored once video goes idle.
        physicalDisplayID = *usable;
        cancelSleepPreflightPhysicalRecovery();
        lastDisplayLayout.reset();
        publish("power: " + reason + "; physical display returned; retaining healthy virtual capture while Viewer is "
                "active");
        const auto layout = currentDisplayLayout();
        publish("display layout " + layout.summary());
        broadcastDisplayLayout(layout);
        sc.videoCapture->forceKeyFrameRequested.set(1);
        return true;
    }
    cancelSleepPreflightPhysicalRecovery();
    HeadlessVirtualDisplay::shared().stop(false);
    const VideoCaptureMode mode = restorePreLidCaptureRequest();
    selectedDisplayID = physicalDisplayID = *usable;
    sleepPreflightPhysicalCaptureRequest.reset();
    sleepPreflightPhysicalVideoMode.reset();
    lastDisplayLayout.reset();
    sc.videoStartRetryAttempts = 0;
    headlessRealizeRetryAttempts = 0;
    publish("power: " + reason + "; restored pre-lid physical capture on display " + std::to_string(*usable));
    applyVideoCaptureMode(mode);
    return true;
}
