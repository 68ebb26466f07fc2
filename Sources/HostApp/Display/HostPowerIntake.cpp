// The power intake of the application's sleep and wake observers, and the
// server's policy for them: Viewer sessions stay connected through sleep, a
// physical capture moves onto the headless virtual display before the
// screens go dark, and capture is rebuilt in two passes once the window
// server has settled after a wake.

#include <cstdio>

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "HostApp/Display/HeadlessVirtualDisplay.h"

namespace {

// The window server needs this long after a wake before displays and
// captures can be rebuilt; the second pass follows once the first settled.
constexpr double kWakeStabilizationSeconds = 4.0;
constexpr double kWakeSecondPassSeconds = kWakeStabilizationSeconds + 1.2;
// Zero-frame recovery reacts quickly for this long after a wake.
constexpr double kWakeRapidZeroFrameRecoverySeconds = 300.0;
constexpr double kWakeAudioRestartSeconds = 0.3;
constexpr double kWakeMotionRestartSeconds = 0.4;

}  // namespace

void V230HostAudioAuxServer::noteHostPowerState(const std::string& reason, bool screensSleeping,
                                                bool preflightHeadlessCapture) {
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    auto work = [weak, reason, screensSleeping, preflightHeadlessCapture] {
        if (auto self = weak.lock()) self->handleHostPowerState(reason, screensSleeping, preflightHeadlessCapture);
    };
    if (!preflightHeadlessCapture) {
        queue.async(work);
        return;
    }
    // The will-sleep handler must not return before the preflight is done:
    // the Mac sleeps as soon as it does.
    if (queue.isCurrent()) {
        work();
    } else {
        queue.sync(work);
    }
}

void V230HostAudioAuxServer::resetZeroFrameStateForPowerChange(bool restartRecovery) {
    audio.zeroAudioWindows = 0;
    if (restartRecovery) {
        audio.audioZeroFrameRecoveryAttempts = 0;
        audio.audioZeroFrameRecoveryExhausted = false;
        if (audio.audioCapture) audio.audioCaptureWatchdogStartedAt = platform::Clock::now();
    }
    streamControl.zeroVideoWindows = 0;
    streamControl.videoZeroFrameRecoveryAttempts = 0;
    streamControl.nextVideoZeroFrameRecoveryNs = 0;
}

void V230HostAudioAuxServer::handleHostPowerState(const std::string& reason, bool screensSleeping,
                                                  bool preflightHeadlessCapture) {
    queue.dispatchPrecondition();
    auto& sc = streamControl;
    if (screensSleeping) {
        ++hostPowerTransitionGeneration;
        if (preflightHeadlessCapture) {
            if (authorizedViewersPresent()) beginSleepRecoveryViewerReconnectGrace(reason + " preflight");
            if (!preflightHeadlessCaptureBeforeSleep(reason)) fallBackToNativeSleepAfterFailedPreflight(reason);
        }
        platform::cancelWorkItem(displayTarget.displayTopologyRecoveryTask);
        platform::cancelWorkItem(sc.initialVideoCaptureStartTask);
        cancelPendingHeadlessCaptureTransition();
        cancelHeadlessDesktopPromotionRetry();
        if (sc.mediaIdleWarmHoldTask) {
            publish("viewer media idle; warm capture hold released (" + reason + ")");
            cancelMediaIdleWarmHold();
        }
        HeadlessVirtualDisplay::shared().cancelPendingPresetActivation();

        const bool wasAsleep = screensAreSleeping;
        screensAreSleeping = true;
        resetZeroFrameStateForPowerChange(!wasAsleep);

        cancelSleepPreflightPhysicalRecovery();
        virtualDisplayWakeStabilizationDeadline.reset();
        publish("power: " + reason + "; keeping viewer sessions connected");
        broadcastHostError("power: host is sleeping; preserving viewer sessions and media");
        if (!suppressSystemSleepAssertionUntilWake) switchPhysicalCaptureToHeadlessIfNeeded(reason);
        return;
    }

    if (!screensAreSleeping) {
        // The second of "system did wake" and "screens did wake".
        resetZeroFrameStateForPowerChange(false);
        return;
    }
    screensAreSleeping = false;
    if (suppressSystemSleepAssertionUntilWake) {
        suppressSystemSleepAssertionUntilWake = false;
        updateViewerIdleSleepAssertion();
    }
    resetZeroFrameStateForPowerChange(true);
    if (sleepRecoveryViewerReconnectGraceDeadline) beginSleepRecoveryViewerReconnectGrace(reason + " wake");

    const auto now = platform::Clock::now();
    virtualDisplayWakeStabilizationDeadline = now.addingSeconds(kWakeStabilizationSeconds);
    sc.wakeRapidZeroFrameRecoveryDeadline = now.addingSeconds(kWakeRapidZeroFrameRecoverySeconds);
    broadcastHostError("power: host woke; rebuilding media capture");
    resetVideoAckWindow();
    char delay[16];
    std::snprintf(delay, sizeof delay, "%.1f", kWakeStabilizationSeconds);
    publish("power: " + reason + "; waiting " + delay + "s for WindowServer before rebuilding active media capture");
    if (sc.isPaused) return;

    sc.videoStartRetryAttempts = 0;
    headlessRealizeRetryAttempts = 0;
    audio.audioStartRetryAttempts = 0;
    // Each pass belongs to this wake: a sleep or a later wake raises the
    // generation, and a pass of an earlier wake then does nothing.
    const uint64_t wake = ++hostPowerTransitionGeneration;
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    for (const bool first : {true, false}) {
        queue.asyncAfter(first ? kWakeStabilizationSeconds : kWakeSecondPassSeconds, [weak, wake, reason, first] {
            auto self = weak.lock();
            if (!self || self->hostPowerTransitionGeneration != wake || self->screensAreSleeping ||
                self->streamControl.isPaused) {
                return;
            }
            self->runWakeMediaRecoveryPass(reason, first);
        });
    }
}

void V230HostAudioAuxServer::runWakeMediaRecoveryPass(const std::string& reason, bool firstPass) {
    queue.dispatchPrecondition();
    auto& sc = streamControl;
    if (firstPass) {
        virtualDisplayWakeStabilizationDeadline.reset();
        publish("power: wake stabilization complete; rebuilding active media capture");
        if (!sleepPreflightPhysicalCaptureRequest) {
            applyVideoCaptureMode(sc.currentVideoMode);
        } else {
            isAwaitingSleepPreflightPhysicalRecovery = true;
            startSleepPreflightPhysicalRecovery(reason + " wake");
        }
        if (!authorizedAudioSessions.empty()) restartAudioCapture(kWakeAudioRestartSeconds);
        restartMotionStream("Host woke", kWakeMotionRestartSeconds);
        return;
    }
    if (!isAwaitingSleepPreflightPhysicalRecovery) {
        resumeAuxVideoCaptureAfterZeroFrameSuspension(reason + " wake settle");
        applyVideoCaptureMode(sc.currentVideoMode);
    }
    if (sc.videoCapture) sc.videoCapture->forceKeyFrameRequested.set(1);
    broadcastHostSessionInfo();
    publish("power: wake media recovery second pass complete");
}
