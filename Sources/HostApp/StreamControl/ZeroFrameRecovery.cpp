// Zero-frame recovery: a shared capture that delivers neither frames nor
// idle frames is restarted, moved between the headless and a physical
// display, and as a last resort stopped so that the screen is left to
// Screen Sharing (the fallback) until the video mode changes. Attempts are
// kept apart by a back-off in system uptime. Server queue only.

#include <cstdio>

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "Platform/Runtime/Clock.h"

namespace {

constexpr double kRestartDelaySeconds = 5;
constexpr uint64_t kScreenSharingIdleBackoffNs = 15 * platform::Clock::nsPerSecond;
constexpr int kWakeWindowMaxAttempts = 12;

void resetZeroFrameCounters(StreamControlState& sc) {
    sc.zeroVideoWindows = 0;
    sc.videoZeroFrameRecoveryAttempts = 0;
    sc.nextVideoZeroFrameRecoveryNs = 0;
    sc.wakeRapidZeroFrameRecoveryDeadline.reset();
}

}  // namespace

void V230HostAudioAuxServer::watchVideoZeroFrameWindow(int capturedFrames, int idleFrames) {
    queue.dispatchPrecondition();
    auto& sc = streamControl;
    if (videoSessions.empty() || (sc.videoCapture && (capturedFrames > 0 || idleFrames > 0))) {
        resetZeroFrameCounters(sc);
        return;
    }
    if (!sc.videoCapture) {
        // Between a restart's stop and its new start: the attempts made so
        // far stand, or a slow stop would restart the capture forever and
        // never reach the fallback.
        sc.zeroVideoWindows = 0;
        return;
    }
    ++sc.zeroVideoWindows;
    if (sc.zeroVideoWindows == 3 || sc.zeroVideoWindows >= 6) attemptVideoZeroFrameRecovery(selectedDisplayID);
}

void V230HostAudioAuxServer::attemptVideoZeroFrameRecovery(uint32_t displayID) {
    queue.dispatchPrecondition();
    auto& sc = streamControl;
    const uint64_t now = platform::Clock::uptimeNs();
    if (sc.nextVideoZeroFrameRecoveryNs != 0 && now < sc.nextVideoZeroFrameRecoveryNs) return;

    const bool screenUnavailable = screensAreSleeping || (!useHeadlessVirtualDisplay && !usablePhysicalDisplayID());
    if (screenUnavailable) {
        if (auto sharing = activeScreenSharingDisplayID(); sharing && *sharing == selectedDisplayID) {
            publish("video: shared display idle (no content updates); keeping Screen Sharing capture");
            sc.nextVideoZeroFrameRecoveryNs = now + kScreenSharingIdleBackoffNs;
            sc.videoZeroFrameRecoveryAttempts = 0;
            return;
        }
        publish("video: no frames on physical display=" + std::to_string(displayID) +
                "; switching to headless virtual capture instead of restart loop");
        // The same back-off as a restart: the switch needs time to show frames.
        sc.nextVideoZeroFrameRecoveryNs =
            now + static_cast<uint64_t>(kRestartDelaySeconds * platform::Clock::nsPerSecond);
        switchPhysicalCaptureToHeadlessIfNeeded("zero frames while screen unavailable");
        return;
    }

    const bool inWakeWindow =
        sc.wakeRapidZeroFrameRecoveryDeadline && platform::Clock::now() < *sc.wakeRapidZeroFrameRecoveryDeadline;
    const int allowedRestarts = inWakeWindow ? kWakeWindowMaxAttempts : 1;
    if (sc.videoZeroFrameRecoveryAttempts >= allowedRestarts) {
        suspendAuxVideoCaptureForZeroFrames(displayID);
        return;
    }
    sc.videoZeroFrameRecoveryAttempts = std::max(sc.videoZeroFrameRecoveryAttempts, 0) + 1;
    sc.nextVideoZeroFrameRecoveryNs = now + static_cast<uint64_t>(kRestartDelaySeconds * platform::Clock::nsPerSecond);
    char text[160];
    std::snprintf(text, sizeof text, "video: no frames captured on display=%u; recovery attempt %d, next retry in %.0fs",
                  displayID, sc.videoZeroFrameRecoveryAttempts, kRestartDelaySeconds);
    publish(text);
    broadcastHostError(text);
    restartVideoCapture(0.1);
}

void V230HostAudioAuxServer::suspendAuxVideoCaptureForZeroFrames(uint32_t displayID) {
    queue.dispatchPrecondition();
    auto& sc = streamControl;
    if (sc.auxVideoCaptureSuspendedForZeroFrames) return;
    if (useHeadlessVirtualDisplay) {
        if (const auto physical = usablePhysicalDisplayID()) {
            const std::string text = "video: no valid ScreenCaptureKit frames on virtual display=" +
                                     std::to_string(displayID) + "; falling back to physical display=" +
                                     std::to_string(*physical) + " instead of Screen Sharing";
            publish(text);
            broadcastHostError(text);
            applyEasyAdaptivePhysicalCapture(*physical, sc.currentCaptureRequest);
            return;
        }
    }
    sc.auxVideoCaptureSuspendedForZeroFrames = true;
    sc.suspendedVideoCaptureRequest = sc.currentCaptureRequest;
    resetZeroFrameCounters(sc);
    const std::string text = "video: no valid ScreenCaptureKit frames on display=" + std::to_string(displayID) +
                             "; using Screen Sharing fallback until video mode changes";
    publish(text);
    broadcastHostError(text);
    sc.videoConfigSummary = "video: Screen Sharing fallback";
    retireVideoCaptureOnLifecycleQueue();
    sc.videoSendInFlight.set(0);
    sc.videoEncodeBlocked.set(0);
}

void V230HostAudioAuxServer::resumeAuxVideoCaptureAfterZeroFrameSuspension(const std::string& reason) {
    queue.dispatchPrecondition();
    auto& sc = streamControl;
    resetZeroFrameCounters(sc);
    if (!sc.auxVideoCaptureSuspendedForZeroFrames) return;
    sc.auxVideoCaptureSuspendedForZeroFrames = false;
    sc.suspendedVideoCaptureRequest.reset();
    publish("video: retrying Aux capture after fallback suspension (" + reason + ")");
}
