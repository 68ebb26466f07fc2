// Makes a display show the capture mode the shared stream should have, and
// then restarts the encoder, the audio capture and the layout announcement
// on it: a mode switch of the real display, checked against the mode's
// geometry, or the headless virtual display's preset, with the fallbacks
// when neither can show the mode. The one step every capture-mode path
// ends in.

#include <algorithm>
#include <cstdio>

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "HostApp/Capture/VideoStreamProfile.h"
#include "HostApp/Display/HostDisplayModeSwitcher.h"

namespace {

constexpr double kPhysicalSettleSeconds = 0.65;
constexpr int kMaxSlowRealizeRetries = 2;

// A slow retry counts when it runs: one cancelled before its time is given
// back, or a few mode changes in a row would spend them all unrun.
void cancelSlowRealizeRetry(DisplayTargetState& dt) {
    if (!dt.headlessRealizeSlowRetryTask) return;
    dt.headlessRealizeSlowRetryTask->cancel();
    dt.headlessRealizeSlowRetryTask.reset();
    dt.headlessRealizeSlowRetryAttempts = std::max(0, dt.headlessRealizeSlowRetryAttempts - 1);
}

}  // namespace

void V230HostAudioAuxServer::cancelHeadlessRealizeRetries() {
    queue.dispatchPrecondition();
    auto& dt = displayTarget;
    if (dt.headlessRealizeRetryTask) dt.headlessRealizeRetryTask->cancel();
    dt.headlessRealizeRetryTask.reset();
    cancelSlowRealizeRetry(dt);
}

void V230HostAudioAuxServer::applyVideoCaptureMode(VideoCaptureMode mode) {
    queue.dispatchPrecondition();
    // A retry still pending carries the mode it was scheduled with; it must
    // not come back later and revert this newer application.
    cancelHeadlessRealizeRetries();
    applyVideoCaptureModeFromRealizeRetry(mode);
}

void V230HostAudioAuxServer::applyVideoCaptureModeFromRealizeRetry(VideoCaptureMode mode) {
    queue.dispatchPrecondition();
    auto& sc = streamControl;
    cancelPendingHeadlessCaptureTransition();
    if (sc.isPaused) return;
    resumeAuxVideoCaptureAfterZeroFrameSuspension("video mode request");
    if (authorizedVideoSessions.empty()) {
        sc.currentVideoMode = mode;
        sc.currentCaptureRequest = sc.currentCaptureRequest.withMode(mode);
        publish("capture display preparation deferred until an authorized Viewer connects");
        return;
    }
    if (reconcileHeadlessScreenSharingCapture("video mode request")) return;
    if (!screensAreSleeping && !sleepPreflightPhysicalCaptureRequest && mode == VideoCaptureMode::easy &&
        !isPreflightingHeadlessCaptureForSleep) {
        if (auto display = usablePhysicalDisplayID()) {
            applyEasyAdaptivePhysicalCapture(*display, std::nullopt);
            return;
        }
    }
    if (sc.currentCaptureRequest.mode != mode) sc.currentCaptureRequest = sc.currentCaptureRequest.withMode(mode);

    auto& request = sc.currentCaptureRequest;
    if (request.backend == VideoCaptureBackend::physical && !usablePhysicalDisplayID()) {
        // Giving up the virtual display with no real display to move to
        // would leave the Viewers without any stream: the request is served
        // from the virtual display instead.
        publish("capture preset backend requested real display; no real display available, keeping virtual display");
        broadcastHostError("display: headless physical fallback skipped; no real display");
        // Held, not forgotten: the topology recovery gives it back once a
        // real display appears.
        displayTarget.physicalRequestHeldOnVirtualDisplay = request;
        request.backend = VideoCaptureBackend::headlessVirtual;
        request.controlIntent = 0;
    }
    const bool wantsVirtual = request.backend == VideoCaptureBackend::headlessVirtual;
    if (wantsVirtual != useHeadlessVirtualDisplay) {
        if (wantsVirtual) {
            useHeadlessVirtualDisplay = true;
            displaySelectionIsManual = true;
            publish("capture preset backend requested virtual display");
        } else {
            HeadlessVirtualDisplay::shared().stop(true);
            useHeadlessVirtualDisplay = false;
            displaySelectionIsManual = false;
            if (physicalDisplayID != 0) selectedDisplayID = physicalDisplayID;
            publish("capture preset backend requested real display " + std::to_string(selectedDisplayID));
        }
    }

    const VideoCaptureMode previousMode = sc.currentVideoMode;
    if (useHeadlessVirtualDisplay) {
        const auto t = applyHeadlessVirtualDisplayTemplate(mode);
        if (t.restart) {
            const auto preset = currentRequestPreset();
            if (HeadlessVirtualDisplay::shared().presetReadiness(preset) ==
                HeadlessVirtualDisplay::PresetReadiness::pending) {
                beginHeadlessCaptureTransition(sc.currentCaptureRequest, preset, previousMode);
                return;
            }
            headlessRealizeRetryAttempts = 0;
            displayTarget.headlessRealizeSlowRetryAttempts = 0;
            completeVideoCaptureMode(mode, previousMode, {t.delay, t.mode, true});
            return;
        }
        if (isPreflightingHeadlessCaptureForSleep) return;
        switch (scheduleHeadlessRealizeRetryIfNeeded(mode)) {
            case HeadlessRealizeDecision::scheduledOrWaitingForWake:
                completeVideoCaptureMode(mode, previousMode, {0, previousMode, false});
                return;
            case HeadlessRealizeDecision::exhausted:
                if (startupPhysicalDisplayID == 0 && !videoSessions.empty() &&
                    displayTarget.headlessRealizeSlowRetryAttempts < kMaxSlowRealizeRetries) {
                    scheduleHeadlessRealizeSlowRetry(mode);
                }
                completeVideoCaptureMode(mode, previousMode,
                                         fallbackToPhysicalNativeCapture("headless " + modeTitle(mode) + " unrealized"));
                return;
            case HeadlessRealizeDecision::notNeeded:
                if (videoSessions.empty()) {
                    completeVideoCaptureMode(mode, previousMode, {0, previousMode, false});
                } else {
                    completeVideoCaptureMode(
                        mode, previousMode,
                        fallbackToPhysicalNativeCapture("headless " + modeTitle(mode) + " unrealized on switch"));
                }
                return;
        }
        return;
    }

    // The physical road.
    HostDisplayModeSwitcher::SwitchResult switched = HostDisplayModeSwitcher::SwitchResult::failure("");
    if (mode == VideoCaptureMode::pro) {
        const auto& r = captureModeDefinition(VideoCaptureMode::pro).resolution;
        switched = HostDisplayModeSwitcher::switchDisplayMode(r.logicalWidth, r.logicalHeight, r.pixelWidth,
                                                              r.pixelHeight, r.hiDPI, r.hiDPI, false,
                                                              selectedDisplayID, !displaySelectionIsManual);
    } else {
        const auto t = HostDisplayModeSwitcher::displayModeTarget(mode);
        switched = HostDisplayModeSwitcher::switchDisplayMode(t.logicalWidth, t.logicalHeight, t.pixelWidth,
                                                              t.pixelHeight, t.preferHiDPI, false, t.requireExactMatch,
                                                              selectedDisplayID, !displaySelectionIsManual);
    }
    if (!switched.isSuccess()) {
        publish("host display switch warning: " + switched.message());
        if (mode == VideoCaptureMode::pro) {
            broadcastHostError("display switch warning: no HiDPI Pro mode available; keeping " +
                               modeTitle(previousMode));
            completeVideoCaptureMode(mode, previousMode, {0, previousMode, false});
        } else {
            completeVideoCaptureMode(mode, previousMode, resolvePhysicalFallback(mode, previousMode, switched.message()));
        }
        return;
    }

    const HostDisplayGeometry g = switched.geometry();
    const auto& def = captureModeDefinition(mode);
    selectedDisplayID = physicalDisplayID = g.displayID;
    const std::string title = modeTitle(mode);
    if (def.requireStrictGeometry && !geometrySatisfiesStrictMode(g, mode)) {
        const std::string detail = "mode=" + title + " expected " + strictGeometrySummary(mode) + ", got " + g.summary();
        publish("host display strict-mode mismatch: " + detail);
        if (g.isHiDPI && mode == VideoCaptureMode::pro) {
            auto& r = sc.currentCaptureRequest;
            const bool unchanged = r.logicalWidth == g.logicalWidth && r.logicalHeight == g.logicalHeight &&
                                   r.pixelWidth == g.pixelWidth && r.pixelHeight == g.pixelHeight &&
                                   (r.flags & CaptureModeControlPayload::flagHiDPI);
            r.logicalWidth = g.logicalWidth;
            r.logicalHeight = g.logicalHeight;
            r.pixelWidth = g.pixelWidth;
            r.pixelHeight = g.pixelHeight;
            r.flags |= CaptureModeControlPayload::flagHiDPI;
            if (!unchanged) r.controlIntent = 0;
            publish("host display using nearest HiDPI Pro mode " + g.summary());
            broadcastHostError("display: exact Pro geometry unavailable; using nearest HiDPI mode " + g.summary());
            completeVideoCaptureMode(mode, previousMode, {kPhysicalSettleSeconds, VideoCaptureMode::pro, true});
        } else {
            completeVideoCaptureMode(mode, previousMode,
                                     resolvePhysicalFallback(mode, previousMode, "strict mismatch " + detail));
        }
        return;
    }
    if (def.requireStrictGeometry ||
        (g.logicalWidth == def.resolution.logicalWidth && g.logicalHeight == def.resolution.logicalHeight)) {
        publish("host display switched mode=" + title + " " + g.summary());
        broadcastHostError("display: switched mode=" + title + " " + g.summary());
        completeVideoCaptureMode(mode, previousMode, {kPhysicalSettleSeconds, mode, true});
        return;
    }
    const std::string detail = "mode=" + title + " expected logical " + std::to_string(def.resolution.logicalWidth) +
                               "x" + std::to_string(def.resolution.logicalHeight) + ", got " + g.summary();
    publish("host display logical-mode mismatch: " + detail);
    completeVideoCaptureMode(mode, previousMode, resolvePhysicalFallback(mode, previousMode, "logical mismatch " + detail));
}

void V230HostAudioAuxServer::scheduleHeadlessRealizeSlowRetry(VideoCaptureMode mode) {
    queue.dispatchPrecondition();
    auto& dt = displayTarget;
    cancelSlowRealizeRetry(dt);
    const int attempt = ++dt.headlessRealizeSlowRetryAttempts;
    const double delay = attempt == 1 ? 4.0 : 12.0;
    char line[192];
    std::snprintf(line, sizeof line,
                  "aux video: slow headless realize retry %d/%d for %s in %.0fs (fallback picture stays meanwhile)",
                  attempt, kMaxSlowRealizeRetries, modeTitle(mode).c_str(), delay);
    publish(line);
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    dt.headlessRealizeSlowRetryTask = platform::makeWorkItem([weak, mode] {
        auto self = weak.lock();
        if (!self) return;
        self->displayTarget.headlessRealizeSlowRetryTask.reset();
        if (self->screensAreSleeping || self->videoSessions.empty() || !self->useHeadlessVirtualDisplay) return;
        self->headlessRealizeRetryAttempts = 0;
        self->applyVideoCaptureModeFromRealizeRetry(mode);
    });
    queue.asyncAfter(delay, dt.headlessRealizeSlowRetryTask);
}

void V230HostAudioAuxServer::completeVideoCaptureMode(VideoCaptureMode requestedMode, VideoCaptureMode previousMode,
                                                      const DisplayTransitionResult& result) {
    queue.dispatchPrecondition();
    auto& sc = streamControl;
    const VideoCaptureMode f = result.mode;
    sc.currentVideoMode = f;
    sc.currentCaptureRequest = sc.currentCaptureRequest.withMode(f);
    sc.videoStartRetryAttempts = 0;
    lastDisplayLayout.reset();
    const std::string where = " on display " + std::to_string(selectedDisplayID);
    if (!result.restart) {
        const auto layout = currentDisplayLayout();
        publish("display layout " + layout.summary());
        broadcastDisplayLayout(layout);
        publish("video mode kept " + modeTitle(f) + where + "; preset not applied; " + sc.currentCaptureRequest.summary());
        return;
    }
    const char* word = f == requestedMode ? (previousMode == requestedMode ? "verified" : "requested")
                                          : (f == previousMode ? "kept" : "fallback");
    publish(std::string("video mode ") + word + " " + modeTitle(f) + where + "; restarting encoder with " +
            sc.currentCaptureRequest.summary());
    scheduleDisplayLayoutPublish(result.delay);
    restartAudioCaptureOnDisplaySwitch(result.delay);
    restartVideoCapture(result.delay);
}
