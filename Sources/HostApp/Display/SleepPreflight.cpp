// The sleep preflight: before the Mac sleeps with a Viewer watching, capture
// moves onto the headless virtual display and the new capture must have
// produced its stream configuration within a 4 s budget, so that streaming
// goes on with the lid closed. When it cannot, the Mac sleeps natively with
// the sessions still open. Also the lid-close move of a physical capture.

#include <algorithm>

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "HostApp/Display/HeadlessVirtualDisplay.h"
#include "Platform/SimulatedMac/PowerManagement.h"

namespace {

constexpr double kSleepPreflightBudgetSeconds = 4.0;

// Detaches the shared capture and stops it where stopping may block.
void detachSharedCapture(V230HostAudioAuxServer& server, const std::string& summary) {
    auto& sc = server.streamControl;
    ++sc.videoCaptureGeneration;
    auto detached = std::move(sc.videoCapture);
    sc.videoCapture.reset();
    sc.lastVideoConfig.reset();
    sc.videoConfigSummary = summary;
    if (detached) server.captureLifecycleQueue.async([detached] { detached->stop(true); });
}

}  // namespace

bool V230HostAudioAuxServer::preflightHeadlessCaptureBeforeSleep(const std::string& reason) {
    queue.dispatchPrecondition();
    auto& sc = streamControl;
    if (screensAreSleeping || sc.isPaused || authorizedVideoSessions.empty()) return true;

    cancelSleepPreflightPhysicalRecovery();
    virtualDisplayWakeStabilizationDeadline.reset();
    displayTarget.sleepPreflightDeadline = platform::Clock::now().addingSeconds(kSleepPreflightBudgetSeconds);
    displayTarget.sleepPreflightDesktopIsReady = false;
    isPreflightingHeadlessCaptureForSleep = true;
    publish("power: " + reason + "; preflighting headless virtual capture before screens sleep");

    if (!useHeadlessVirtualDisplay) {
        // An iOS Viewer's built-in display capture is not the Mac's own
        // arrangement: nothing to return to after wake.
        if (!(sc.currentCaptureRequest.flags & CaptureModeControlPayload::flagIOSBuiltInDisplay)) {
            sleepPreflightPhysicalCaptureRequest = sc.currentCaptureRequest;
            sleepPreflightPhysicalVideoMode = sc.currentVideoMode;
        }
        switchPhysicalCaptureToHeadlessIfNeeded(reason + " preflight");
    } else {
        auto& request = sc.currentCaptureRequest;
        request.backend = VideoCaptureBackend::headlessVirtual;
        request.flags &= static_cast<uint8_t>(~CaptureModeControlPayload::flagIOSBuiltInDisplay);
        request.controlIntent = 0;
        applyVideoCaptureMode(sc.currentVideoMode);
    }

    const bool ready = displayTarget.sleepPreflightDesktopIsReady && waitForHeadlessVideoCaptureBeforeSleep(reason);
    isPreflightingHeadlessCaptureForSleep = false;
    displayTarget.sleepPreflightDeadline.reset();
    return ready;
}

bool V230HostAudioAuxServer::waitForHeadlessVideoCaptureBeforeSleep(const std::string& reason) {
    queue.dispatchPrecondition();
    auto& sc = streamControl;
    const auto snapshot = HeadlessVirtualDisplay::shared().stateSnapshot();
    if (!snapshot.isActive || selectedDisplayID != snapshot.displayID || !sc.videoCapture ||
        sc.videoCapture->displayID != snapshot.displayID) {
        return false;
    }
    const uint64_t generation = sc.videoCaptureGeneration;
    const auto capture = sc.videoCapture;
    const auto& deadline = displayTarget.sleepPreflightDeadline;
    const double left = deadline ? std::max(0.0, deadline->timeIntervalSince(platform::Clock::now())) : 0;
    // The capture's own threads settle its readiness; this queue only waits.
    const auto readiness = capture->sleepPreflightReadinessCondition.waitWhilePending(left);
    const bool unchanged = generation == sc.videoCaptureGeneration && capture == sc.videoCapture;
    if (readiness.kind == SleepPreflightReadiness::Kind::ready && unchanged) {
        acceptVideoCaptureConfig(*readiness.config, generation, sc.currentCaptureRequest, snapshot.displayID);
        publish("power: " + reason + "; headless video ready before screens sleep");
        return true;
    }
    if (unchanged) detachSharedCapture(*this, "video stopped: sleep preflight did not become ready");
    return false;
}

VideoCaptureMode V230HostAudioAuxServer::restorePreLidCaptureRequest() {
    auto& sc = streamControl;
    const CaptureModeControlPayload& saved = *sleepPreflightPhysicalCaptureRequest;
    const VideoCaptureMode mode = sleepPreflightPhysicalVideoMode.value_or(saved.mode);
    useHeadlessVirtualDisplay = false;
    displaySelectionIsManual = false;
    CaptureModeControlPayload request = saved;
    // An explicit choice only survives when it was a physical one.
    if (saved.backend != VideoCaptureBackend::physical) request.controlIntent = 0;
    request.backend = VideoCaptureBackend::physical;
    sc.currentCaptureRequest = request;
    sc.currentVideoMode = mode;
    sc.currentVideoChromaMode = saved.chromaMode;
    return mode;
}

void V230HostAudioAuxServer::fallBackToNativeSleepAfterFailedPreflight(const std::string& reason) {
    queue.dispatchPrecondition();
    detachSharedCapture(*this, "video stopped: sleep preflight failed");
    streamControl.acceptedVideoConfig.reset();
    HeadlessVirtualDisplay::shared().stop(false);
    if (sleepPreflightPhysicalCaptureRequest) restorePreLidCaptureRequest();
    if (physicalDisplayID != 0) selectedDisplayID = physicalDisplayID;
    sleepPreflightPhysicalCaptureRequest.reset();
    sleepPreflightPhysicalVideoMode.reset();
    displayTarget.sleepPreflightDesktopIsReady = false;
    suppressSystemSleepAssertionUntilWake = true;
    if (viewerSystemSleepAssertionID != 0) {
        platform::IOPMAssertionRelease(viewerSystemSleepAssertionID);
        viewerSystemSleepAssertionID = 0;
    }
    publish("power: " + reason + "; headless preflight failed; released system-sleep assertion for native sleep");
    broadcastHostError("power: headless capture unavailable; using native sleep behavior");
}

void V230HostAudioAuxServer::switchPhysicalCaptureToHeadlessIfNeeded(const std::string& reason) {
    queue.dispatchPrecondition();
    auto& sc = streamControl;
    if (useHeadlessVirtualDisplay || authorizedVideoSessions.empty()) return;
    auto& request = sc.currentCaptureRequest;
    request.backend = VideoCaptureBackend::headlessVirtual;
    if (request.flags & CaptureModeControlPayload::flagIOSBuiltInDisplay) sc.iosBuiltInCaptureSessionID.reset();
    request.flags &= static_cast<uint8_t>(~CaptureModeControlPayload::flagIOSBuiltInDisplay);
    request.controlIntent = 0;
    useHeadlessVirtualDisplay = true;
    displaySelectionIsManual = false;
    sc.lastVideoConfig.reset();
    lastDisplayLayout.reset();
    sc.videoStartRetryAttempts = 0;
    headlessRealizeRetryAttempts = 0;
    publish("power: " + reason +
            "; moving active physical capture to headless virtual display so lid-close streaming continues");
    if (screensAreSleeping) {
        publish("power: headless virtual display creation deferred until screens wake");
        return;
    }
    applyVideoCaptureMode(sc.currentVideoMode);
}
