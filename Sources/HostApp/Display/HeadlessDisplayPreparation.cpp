// Gets the headless virtual display ready to be captured for the shared
// request: created or switched to the request's preset, selected as the
// captured display, and made the main desktop (off the server queue, or
// synchronously ahead of sleep). Tells the caller how long to let it
// settle, and the Viewers when it cannot be prepared.

#include <algorithm>
#include <cstdio>

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "HostApp/Capture/VideoStreamProfile.h"
#include "HostApp/Display/DisplayDiagnostics.h"

namespace {

constexpr const char* kVirtualDisplayName = "Norvessal Presets";
// A display created afresh needs longer than one switched in place.
constexpr double kCreatedSettleSeconds = 0.8;
constexpr double kSwitchedSettleSeconds = 0.3;
constexpr double kMaxSleepSettleSeconds = 0.9;
// How long after Screen Sharing's display was last seen it is still
// blamed for a virtual display that cannot be prepared.
constexpr uint64_t kScreenSharingBlameWindowNs = 120'000'000'000ULL;

VideoCaptureMode modeOfResolutionKind(ResolutionKind kind) {
    switch (kind) {
        case ResolutionKind::fullHD1080: return VideoCaptureMode::physical1080;
        case ResolutionKind::qhd1440: return VideoCaptureMode::physical1440;
        case ResolutionKind::hidpi1080: return VideoCaptureMode::easy;
        case ResolutionKind::hidpi1440: return VideoCaptureMode::pro;
        case ResolutionKind::canvas2880: return VideoCaptureMode::max;
    }
    return VideoCaptureMode::easy;
}

}  // namespace

HeadlessVirtualDisplay::Preset V230HostAudioAuxServer::currentRequestPreset() const {
    return HeadlessVirtualDisplay::Preset::from(resolvedAdaptiveResolution(streamControl.currentCaptureRequest));
}

std::optional<double> V230HostAudioAuxServer::prepareHeadlessVirtualDisplay(VideoCaptureMode mode) {
    queue.dispatchPrecondition();
    using Readiness = HeadlessVirtualDisplay::PresetReadiness;
    auto& headless = HeadlessVirtualDisplay::shared();
    auto& dt = displayTarget;
    if (screensAreSleeping) {
        publish("headless virtual display deferred while screens are asleep");
        return std::nullopt;
    }
    if (virtualDisplayWakeStabilizationDeadline) {
        const double left = virtualDisplayWakeStabilizationDeadline->timeIntervalSince(platform::Clock::now());
        if (left > 0) {
            char line[96];
            std::snprintf(line, sizeof line, "headless virtual display deferred %.1fs after wake", left);
            publish(line);
            return std::nullopt;
        }
        virtualDisplayWakeStabilizationDeadline.reset();
    }

    const auto preset = currentRequestPreset();
    const auto target = HeadlessVirtualDisplayTarget::forResolution(preset.resolution);
    const auto before = headless.stateSnapshot();
    const auto registered = headless.registeredPresetsOfLiveDisplay();
    const bool create = !before.isActive || before.displayID == 0 ||
                        std::find(registered.begin(), registered.end(), preset) == registered.end();
    const uint32_t reference = physicalDisplayID != 0 ? physicalDisplayID : selectedDisplayID;
    const uint32_t mainDisplay = platform::CGMainDisplayID();

    std::optional<std::string> error;
    if (create) {
        error = headless.startPresetDisplay(preset, kVirtualDisplayName, reference);
    } else if (!headless.activatePreset(preset)) {
        publish("headless virtual display in-place switch to " + modeTitle(mode) + " failed; rebuilding");
        error = headless.startPresetDisplay(preset, kVirtualDisplayName, reference);
    }
    if (error) {
        publish("headless virtual display failed: " + *error);
        broadcastHostError("display: headless virtual display failed: " + *error);
        return std::nullopt;
    }

    selectedDisplayID = headless.stateSnapshot().displayID;
    displaySelectionIsManual = true;
    headless.refreshGeometry();
    const uint32_t virtualID = headless.stateSnapshot().displayID;
    Readiness readiness = headless.presetReadiness(preset);

    if (isPreflightingHeadlessCaptureForSleep) {
        const auto now = platform::Clock::now();
        if (readiness == Readiness::pending) {
            publish("headless sleep preflight waiting briefly for " + modeTitle(mode) + " preset activation");
            const double timeout =
                dt.sleepPreflightDeadline
                    ? std::min(kMaxSleepSettleSeconds, std::max(0.0, dt.sleepPreflightDeadline->timeIntervalSince(now)))
                    : 0.0;
            readiness = headless.settlePresetActivationBeforeSleep(preset, timeout);
        }
        if (readiness != Readiness::ready && !headless.activePreset()) {
            cancelHeadlessDesktopPromotionRetry();
            publish("headless sleep preflight failed; no verified active virtual preset");
            broadcastHostError("display: no verified virtual preset available before sleep");
            return std::nullopt;
        }
        cancelHeadlessDesktopPromotionRetry();
        const auto result = headless.promoteToPrimaryDesktopBeforeSleep(
            mainDisplay, dt.sleepPreflightDeadline.value_or(platform::Clock::now()));
        if (!result.applied) {
            publish("headless sleep preflight promotion failed: " + result.message);
            broadcastHostError("display: headless sleep preflight promotion failed: " + result.message);
            return std::nullopt;
        }
        dt.sleepPreflightDesktopIsReady = true;
        dt.headlessDesktopPromotionRetryAttempts = 0;
        publish("headless sleep preflight ready " + result.message);
    } else if (readiness == Readiness::ready) {
        cancelHeadlessDesktopPromotionRetry();
        if (mainDisplay != virtualID || create) {
            headless.refreshGeometry(preset);
            // The promotion carries the generation of the cancel just above,
            // so a late answer cannot end a series begun after it.
            ++dt.headlessDesktopPromotionRetryAttempts;
            promoteHeadlessDesktopOffQueue(mainDisplay, virtualID, preset, dt.headlessDesktopPromotionGeneration);
        } else {
            publish("headless virtual desktop already primary display=" + std::to_string(mainDisplay) +
                    "; skipping desktop promotion");
        }
    } else if (readiness == Readiness::pending) {
        publish("headless virtual desktop promotion deferred until " + modeTitle(mode) + " preset activation settles");
        beginHeadlessDesktopPromotionRetry(mainDisplay, virtualID, preset);
    } else {
        cancelHeadlessDesktopPromotionRetry();
        publish("headless virtual desktop promotion skipped; " + modeTitle(mode) +
                " preset activation settled in fallback");
    }

    publish("headless virtual display active " + headless.summary() + " target " + target.summary());
    if (isPreflightingHeadlessCaptureForSleep) return 0.0;
    return create ? kCreatedSettleSeconds : kSwitchedSettleSeconds;
}

DisplayTransitionResult V230HostAudioAuxServer::applyHeadlessVirtualDisplayTemplate(VideoCaptureMode requestedMode) {
    queue.dispatchPrecondition();
    auto& headless = HeadlessVirtualDisplay::shared();
    const uint32_t previous = selectedDisplayID;
    const auto delay = prepareHeadlessVirtualDisplay(requestedMode);
    if (!delay) {
        const auto snapshot = headless.stateSnapshot();
        if (snapshot.isActive) {
            selectedDisplayID = snapshot.displayID;
        } else if (selectedDisplayID == 0) {
            selectedDisplayID = previous;
        }
        const std::string title = modeTitle(requestedMode);
        const std::string kept = std::to_string(selectedDisplayID);
        publish("headless virtual display request " + title + " unavailable; keeping current display " + kept);
        broadcastHostError("display: headless request " + title + " unavailable; preserving current display=" + kept);
        const uint64_t seen = displayTarget.screenSharingDisplayLastSeenNs;
        if (seen != 0 && platform::Clock::uptimeNs() < seen + kScreenSharingBlameWindowNs)
            broadcastHostError(
                "display: mode switch blocked while Screen Sharing owns the desktop; disconnect Screen Sharing and retry");
        return {0.2, requestedMode, false};
    }
    if (!isPreflightingHeadlessCaptureForSleep) return {*delay, requestedMode, true};

    const auto active = headless.activePreset();
    if (!active || *active == currentRequestPreset()) return {*delay, requestedMode, true};
    // Ahead of sleep there is no time to wait for the requested preset:
    // the one the display already shows is captured instead.
    const VideoCaptureMode fallback = modeOfResolutionKind(active->resolution.kind);
    auto request = streamControl.currentCaptureRequest.withMode(fallback);
    conformRequestToResolution(request, resolvedAdaptiveResolution(request));
    streamControl.currentCaptureRequest = request;
    publish("headless sleep preflight using active fallback " + modeTitle(fallback) + " after " +
            modeTitle(requestedMode) + " did not settle");
    return {*delay, fallback, true};
}

double V230HostAudioAuxServer::enableHeadlessVirtualDisplay(VideoCaptureMode mode) {
    queue.dispatchPrecondition();
    useHeadlessVirtualDisplay = true;
    const uint32_t previous = selectedDisplayID;
    const auto delay = prepareHeadlessVirtualDisplay(mode);
    if (!HeadlessVirtualDisplay::shared().stateSnapshot().isActive) {
        if (selectedDisplayID == 0) selectedDisplayID = previous;
        const std::string kept = std::to_string(selectedDisplayID);
        publish("headless virtual display template " + modeTitle(mode) +
                " unavailable; keeping preference enabled and preserving display " + kept);
        broadcastHostError("display: headless virtual display template " + modeTitle(mode) +
                           " unavailable; preserving display=" + kept);
    }
    return delay.value_or(0.15);
}

bool V230HostAudioAuxServer::headlessPresetActivationIsPending() const {
    auto& headless = HeadlessVirtualDisplay::shared();
    return useHeadlessVirtualDisplay && headless.stateSnapshot().isActive &&
           headless.presetReadiness(currentRequestPreset()) == HeadlessVirtualDisplay::PresetReadiness::pending;
}
