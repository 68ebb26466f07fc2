// Moving the shared stream onto the headless virtual display and away from
// it: the guarded wait for a pending preset that restarts capture once when
// it goes live, what to capture when it never does, the short series of
// realise retries while the virtual display yields no stream, and the
// fallbacks to a real display at its own mode or at a physical capture mode.

#include <algorithm>
#include <cstdio>

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "HostApp/Capture/VideoStreamProfile.h"
#include "HostApp/Display/HostDisplayModeSwitcher.h"

namespace {

constexpr double kTransitionPollSeconds = 0.1;
constexpr int kMaxFastRealizeRetries = 2;
constexpr double kRealizeRetryFloorSeconds = 0.15;

VideoCaptureMode physicalCounterpart(VideoCaptureMode mode) {
    switch (mode) {
        case VideoCaptureMode::easy: return VideoCaptureMode::physical1080;
        case VideoCaptureMode::pro:
        case VideoCaptureMode::max: return VideoCaptureMode::physical1440;
        default: return mode;
    }
}

// Whether the virtual display's current mode is the preset's, read from the
// system rather than from the display owner's bookkeeping.
bool virtualDisplayShows(const HeadlessVirtualDisplay::Preset& preset) {
    auto& headless = HeadlessVirtualDisplay::shared();
    const auto snapshot = headless.stateSnapshot();
    if (!snapshot.isActive || snapshot.displayID == 0) return false;
    const auto registered = headless.registeredPresetsOfLiveDisplay();
    if (std::find(registered.begin(), registered.end(), preset) == registered.end()) return false;
    const auto mode = platform::CGDisplayCopyDisplayMode(snapshot.displayID);
    return mode && mode->width == preset.logicalWidth() && mode->height == preset.logicalHeight() &&
           HostDisplayModeSwitcher::pixelWidth(*mode) == preset.pixelWidth &&
           HostDisplayModeSwitcher::pixelHeight(*mode) == preset.pixelHeight;
}

HostDisplayModeSwitcher::SwitchResult switchToTarget(const DisplayModeTarget& t, uint32_t preferred,
                                                      bool allowFallback) {
    return HostDisplayModeSwitcher::switchDisplayMode(t.logicalWidth, t.logicalHeight, t.pixelWidth, t.pixelHeight,
                                                      t.preferHiDPI, false, t.requireExactMatch, preferred,
                                                      allowFallback);
}

}  // namespace

void V230HostAudioAuxServer::cancelPendingHeadlessCaptureTransition() {
    queue.dispatchPrecondition();
    auto& dt = displayTarget;
    ++dt.headlessCaptureTransitionGeneration;
    if (dt.headlessCaptureTransitionTask) dt.headlessCaptureTransitionTask->cancel();
    dt.headlessCaptureTransitionTask.reset();
}

void V230HostAudioAuxServer::beginHeadlessCaptureTransition(const CaptureModeControlPayload& request,
                                                            const HeadlessVirtualDisplay::Preset& preset,
                                                            VideoCaptureMode previousMode) {
    queue.dispatchPrecondition();
    cancelPendingHeadlessCaptureTransition();
    const uint64_t generation = ++displayTarget.headlessCaptureTransitionGeneration;
    const uint32_t displayID = HeadlessVirtualDisplay::shared().stateSnapshot().displayID;
    publish("video mode transition " + modeTitle(previousMode) + " -> " + modeTitle(request.mode) +
            " pending; keeping current capture visible");
    scheduleHeadlessCaptureTransition(request, preset, displayID, generation, kTransitionPollSeconds);
}

void V230HostAudioAuxServer::scheduleHeadlessCaptureTransition(const CaptureModeControlPayload& request,
                                                               const HeadlessVirtualDisplay::Preset& preset,
                                                               uint32_t displayID, uint64_t generation,
                                                               double after) {
    queue.dispatchPrecondition();
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    auto item = platform::makeWorkItem([weak, request, preset, displayID, generation] {
        auto self = weak.lock();
        if (!self) return;
        auto& s = *self;
        auto& dt = s.displayTarget;
        dt.headlessCaptureTransitionTask.reset();
        auto& headless = HeadlessVirtualDisplay::shared();
        const auto snapshot = headless.stateSnapshot();
        if (dt.headlessCaptureTransitionGeneration != generation || !s.useHeadlessVirtualDisplay ||
            !snapshot.isActive || snapshot.displayID != displayID ||
            !(s.streamControl.currentCaptureRequest == request)) {
            return;
        }
        switch (headless.presetReadiness(preset)) {
            case HeadlessVirtualDisplay::PresetReadiness::pending:
                // No limit here: the display gives up a pending activation
                // at its own deadline.
                s.scheduleHeadlessCaptureTransition(request, preset, displayID, generation, kTransitionPollSeconds);
                return;
            case HeadlessVirtualDisplay::PresetReadiness::ready:
                ++dt.headlessCaptureTransitionGeneration;
                s.headlessRealizeRetryAttempts = 0;
                dt.headlessRealizeSlowRetryAttempts = 0;
                s.streamControl.currentVideoMode = request.mode;
                s.lastDisplayLayout.reset();
                headless.refreshGeometry(preset);
                s.publish("video mode transition active " + modeTitle(request.mode) + "; restarting capture once");
                s.scheduleDisplayLayoutPublish(0.05);
                s.restartAudioCaptureOnDisplaySwitch(0.05);
                s.restartVideoCapture(0);
                return;
            default:
                ++dt.headlessCaptureTransitionGeneration;
                s.finishHeadlessCaptureTransitionInFallback(request);
                return;
        }
    });
    displayTarget.headlessCaptureTransitionTask = item;
    queue.asyncAfter(after, item);
}

void V230HostAudioAuxServer::finishHeadlessCaptureTransitionInFallback(const CaptureModeControlPayload& request) {
    queue.dispatchPrecondition();
    auto& sc = streamControl;
    const std::string requested = modeTitle(request.mode);
    if (sc.videoCapture && sc.lastVideoConfig) {
        // The running capture has a picture: it stays.
        sc.currentCaptureRequest = sc.activeVideoCaptureRequest;
        sc.currentVideoMode = sc.currentCaptureRequest.mode;
        if (sc.currentCaptureRequest.backend == VideoCaptureBackend::physical) {
            HeadlessVirtualDisplay::shared().stop(true);
            useHeadlessVirtualDisplay = false;
            displaySelectionIsManual = false;
            if (sc.activeVideoCaptureDisplayID != 0) selectedDisplayID = physicalDisplayID = sc.activeVideoCaptureDisplayID;
        }
        publish("video mode transition to " + requested + " timed out; keeping active " +
                modeTitle(sc.currentVideoMode) + " capture");
        resendCurrentVideoConfigIfAvailable("virtual preset activation fallback");
        const auto layout = currentDisplayLayout();
        publish("display layout " + layout.summary());
        broadcastDisplayLayout(layout);
        requestVideoKeyframeWithDelayedRetry();
        return;
    }
    // Otherwise capture whatever preset the display already shows.
    for (VideoCaptureMode m : {sc.currentVideoMode, VideoCaptureMode::easy, VideoCaptureMode::pro,
                               VideoCaptureMode::max}) {
        CaptureModeControlPayload candidate = request;
        if (m != request.mode) {
            const auto& resolution = captureModeDefinition(m).resolution;
            candidate.mode = m;
            candidate.logicalWidth = resolution.logicalWidth;
            candidate.logicalHeight = resolution.logicalHeight;
            candidate.pixelWidth = resolution.pixelWidth;
            candidate.pixelHeight = resolution.pixelHeight;
            candidate.flags = static_cast<uint8_t>(resolution.hiDPI
                                                       ? (candidate.flags | CaptureModeControlPayload::flagHiDPI)
                                                       : (candidate.flags & ~CaptureModeControlPayload::flagHiDPI));
            candidate.controlIntent = 0;
        }
        ResolutionProfile resolved = resolvedAdaptiveResolution(candidate);
        if (conformRequestToResolution(candidate, resolved)) resolved = resolvedAdaptiveResolution(candidate);
        if (!virtualDisplayShows(HeadlessVirtualDisplay::Preset::from(resolved))) continue;
        sc.currentCaptureRequest = candidate;
        sc.currentVideoMode = m;
        lastDisplayLayout.reset();
        publish("video mode transition to " + requested + " timed out; starting active fallback " + modeTitle(m));
        broadcastHostError("display: " + requested + " activation timed out; using " + modeTitle(m) + " fallback");
        scheduleDisplayLayoutPublish(0.05);
        restartAudioCaptureOnDisplaySwitch(0.05);
        restartVideoCapture(0);
        return;
    }
    publish("video mode transition to " + requested + " timed out with no active virtual fallback");
    broadcastHostError("display: " + requested + " activation timed out; no virtual fallback available");
}

HeadlessRealizeDecision V230HostAudioAuxServer::scheduleHeadlessRealizeRetryIfNeeded(VideoCaptureMode mode) {
    queue.dispatchPrecondition();
    if (videoSessions.empty() || streamControl.lastVideoConfig) {
        headlessRealizeRetryAttempts = 0;
        return HeadlessRealizeDecision::notNeeded;
    }
    if (screensAreSleeping) {
        publish("aux video: waiting for wake before retrying headless virtual display");
        return HeadlessRealizeDecision::scheduledOrWaitingForWake;
    }
    if (headlessRealizeRetryAttempts >= kMaxFastRealizeRetries) return HeadlessRealizeDecision::exhausted;
    const int attempt = ++headlessRealizeRetryAttempts;
    double floor = kRealizeRetryFloorSeconds;
    if (virtualDisplayWakeStabilizationDeadline)
        floor = std::max(0.0, virtualDisplayWakeStabilizationDeadline->timeIntervalSince(platform::Clock::now()) +
                                  kRealizeRetryFloorSeconds);
    const double delay = std::max(std::min(3.0, 1.0 + 0.6 * attempt), floor);
    char line[160];
    std::snprintf(line, sizeof line, "aux video: headless virtual display retry %d/%d for %s in %.2fs", attempt,
                  kMaxFastRealizeRetries, modeTitle(mode).c_str(), delay);
    publish(line);

    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    auto& task = displayTarget.headlessRealizeRetryTask;
    if (task) task->cancel();
    task = platform::makeWorkItem([weak, mode] {
        auto self = weak.lock();
        if (!self) return;
        self->displayTarget.headlessRealizeRetryTask.reset();
        if (self->screensAreSleeping || self->videoSessions.empty() || self->streamControl.lastVideoConfig ||
            !self->useHeadlessVirtualDisplay) {
            return;
        }
        self->applyVideoCaptureModeFromRealizeRetry(mode);
    });
    queue.asyncAfter(delay, task);
    return HeadlessRealizeDecision::scheduledOrWaitingForWake;
}

DisplayTransitionResult V230HostAudioAuxServer::fallbackToPhysicalNativeCapture(const std::string& reason) {
    queue.dispatchPrecondition();
    auto& sc = streamControl;
    const auto id = usablePhysicalDisplayID();
    if (!id) {
        publish("headless physical fallback skipped: no real display (" + reason + ")");
        broadcastHostError("display: headless physical fallback skipped; no real display");
        sc.currentCaptureRequest.backend = VideoCaptureBackend::headlessVirtual;
        sc.currentCaptureRequest.flags =
            static_cast<uint8_t>(sc.currentCaptureRequest.flags & ~CaptureModeControlPayload::flagIOSBuiltInDisplay);
        sc.currentCaptureRequest.controlIntent = 0;
        useHeadlessVirtualDisplay = true;
        displaySelectionIsManual = false;
        return {0, sc.currentVideoMode, false};
    }
    HeadlessVirtualDisplay::shared().stop(true);
    useHeadlessVirtualDisplay = false;
    displaySelectionIsManual = true;
    selectedDisplayID = physicalDisplayID = *id;
    const std::string text = std::to_string(*id);
    const std::string title = modeTitle(sc.currentVideoMode);
    VideoCaptureMode finalMode = physicalCounterpart(sc.currentVideoMode);
    const auto restored = HostDisplayModeSwitcher::restoreOriginalMode(*id);
    if (!restored) {
        publish("headless physical fallback capturing current physical mode for display " + text + " (" + reason + ")");
        broadcastHostError("display: headless " + title + " unrealized; capturing physical display=" + text);
    } else if (restored->isSuccess()) {
        const auto& g = restored->geometry();
        selectedDisplayID = physicalDisplayID = g.displayID;
        finalMode = physicalFallbackMode(sc.currentVideoMode, g);
        publish("headless fallback to physical native " + g.summary() + " (" + reason + ")");
        broadcastHostError("display: headless " + title + " unrealized; using physical display " + g.summary());
    } else {
        publish("headless physical fallback restore failed: " + restored->message() + " (" + reason + ")");
        broadcastHostError("display: headless physical fallback restore failed: " + restored->message());
    }
    if (sc.currentCaptureRequest.backend != VideoCaptureBackend::physical) sc.currentCaptureRequest.controlIntent = 0;
    sc.currentCaptureRequest.backend = VideoCaptureBackend::physical;
    return {0.5, finalMode, true};
}

DisplayTransitionResult V230HostAudioAuxServer::resolvePhysicalFallback(VideoCaptureMode mode,
                                                                        VideoCaptureMode previousMode,
                                                                        const std::string& reason) {
    queue.dispatchPrecondition();
    const std::string keeping = "; keeping " + modeTitle(previousMode);
    if (mode == VideoCaptureMode::physical1080 || mode == VideoCaptureMode::physical1440) {
        broadcastHostError("display switch warning: " + reason + keeping);
        return {0, previousMode, false};
    }
    const VideoCaptureMode q = physicalCounterpart(mode);
    const auto result =
        switchToTarget(HostDisplayModeSwitcher::displayModeTarget(q), selectedDisplayID, !displaySelectionIsManual);
    if (result.isSuccess()) {
        const auto& g = result.geometry();
        selectedDisplayID = physicalDisplayID = g.displayID;
        publish("host physical fallback switched mode=" + modeTitle(q) + " " + g.summary());
        broadcastHostError("display switch warning: " + reason + "; using physical fallback " + modeTitle(q) + " " +
                           g.summary());
        return {0.65, q, true};
    }
    if (q == VideoCaptureMode::physical1440) {
        if (auto native = nativePhysicalFallbackResult(reason + "; " + result.message())) return *native;
    }
    broadcastHostError("display switch warning: " + reason + "; fallback " + modeTitle(q) +
                       " failed: " + result.message() + keeping);
    return {0, previousMode, false};
}

std::optional<DisplayTransitionResult> V230HostAudioAuxServer::nativePhysicalFallbackResult(const std::string& reason) {
    queue.dispatchPrecondition();
    const auto result = switchToTarget(HostDisplayModeSwitcher::displayModeTarget(VideoCaptureMode::physical1080),
                                       selectedDisplayID, true);
    if (!result.isSuccess()) {
        publish("host physical native fallback failed: " + result.message());
        return std::nullopt;
    }
    const auto& g = result.geometry();
    selectedDisplayID = physicalDisplayID = g.displayID;
    publish("host physical native fallback switched mode=physical1080 " + g.summary());
    broadcastHostError("display switch warning: " + reason + "; using native physical1080 " + g.summary());
    return DisplayTransitionResult{0.65, VideoCaptureMode::physical1080, true};
}
