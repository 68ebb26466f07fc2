// Coexistence with the Mac's own Screen Sharing on a Mac that started
// without a physical display: while no Viewer is connected the Host yields
// the desktop, removes its virtual display and captures Screen Sharing's
// display as it stands, parking its headless request; when Screen Sharing
// goes away or a Viewer needs the Host, the headless template comes back.
// After display changes that can leave Screen Sharing stuck, a restart of
// the service is requested from the privileged updater ("heal").

#include <algorithm>

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "HostApp/Capture/HostHardware.h"
#include "HostApp/Capture/VideoStreamProfile.h"
#include "HostApp/Display/HeadlessVirtualDisplay.h"
#include "HostApp/Display/HostDisplayModeSwitcher.h"
#include "HostApp/Updates/HostOnlineUpdateRequest.h"
#include "Platform/Runtime/Clock.h"
#include "Platform/Runtime/ProcessRunner.h"
#include "Platform/Foundation/UnicodeText.h"

namespace {

// A positive probe is trusted this long.
constexpr uint64_t kServiceProbeReuseNs = 1 * platform::Clock::nsPerSecond;
// Screen Sharing's display may vanish this long before the Host takes back
// the desktop (it flickers while a session reconnects).
constexpr uint64_t kScreenSharingDisplayGoneNs = 5 * platform::Clock::nsPerSecond;
// A heal is asked for only this soon after Screen Sharing was seen, and at
// most once per interval.
constexpr uint64_t kHealSightingWindowNs = 120 * platform::Clock::nsPerSecond;
constexpr uint64_t kHealIntervalNs = 60 * platform::Clock::nsPerSecond;
constexpr double kHealAfterModeSwitchSeconds = 3.0;
constexpr double kHealAfterReleaseSeconds = 0.6;
constexpr double kScreenSharingCaptureRestartSeconds = 0.1;
constexpr double kScreenSharingLayoutRepublishSeconds = 0.35;

// The request as the Host's own headless display would serve it: no iOS
// built-in capture, no explicit choice, sized by the adaptive resolution.
CaptureModeControlPayload headlessTemplate(CaptureModeControlPayload request) {
    request.backend = VideoCaptureBackend::headlessVirtual;
    request.flags &= static_cast<uint8_t>(~CaptureModeControlPayload::flagIOSBuiltInDisplay);
    request.controlIntent = 0;
    return withResolution(request, resolvedAdaptiveResolution(request));
}

int evenPixelSide(int side) { return std::max(2, side) & ~1; }

}  // namespace

bool V230HostAudioAuxServer::isScreenSharingServiceActive(const std::string& reason) const {
    queue.dispatchPrecondition();
    const uint64_t now = platform::Clock::uptimeNs();
    const bool answered = screenSharingServiceActivityCheckedAtNs != 0;
    if (answered && now - screenSharingServiceActivityCheckedAtNs < kServiceProbeReuseNs)
        return screenSharingServiceWasActive;
    // launchctl may hang for its whole time limit: it runs on its own queue,
    // one probe at a time, and until it answers the last answer stands.
    if (!screenSharingProbeInFlight) {
        screenSharingProbeInFlight = true;
        // The answer is taken later on the server itself; this look changes
        // nothing of it now.
        const std::weak_ptr<V230HostAudioAuxServer> weak =
            const_cast<V230HostAudioAuxServer*>(this)->weak_from_this();
        screenSharingProbeQueue.async([weak, reason] {
            const bool active = probeScreenSharingService();
            auto self = weak.lock();
            if (!self) return;
            self->queue.async([weak, active, reason] {
                if (auto server = weak.lock()) server->takeScreenSharingServiceProbeAnswer(active, reason);
            });
        });
    }
    return screenSharingServiceWasActive;
}

void V230HostAudioAuxServer::takeScreenSharingServiceProbeAnswer(bool active, const std::string& reason) {
    queue.dispatchPrecondition();
    screenSharingProbeInFlight = false;
    const bool changed = active != screenSharingServiceWasActive;
    screenSharingServiceWasActive = active;
    screenSharingServiceActivityCheckedAtNs = platform::Clock::uptimeNs();
    // Whoever asked went on with the old answer: a different one is looked
    // at again at once, as the asker would have had it.
    if (changed && !stopped_) reconcileHeadlessScreenSharingCapture(reason.empty() ? "timer" : reason);
}

bool V230HostAudioAuxServer::probeScreenSharingService() {
    auto run = platform::ProcessRunner::runCapturingOutput(
        "/bin/launchctl", {"print", "system/com.apple.screensharing"}, screenSharingProbeTimeLimitSeconds);
    // Output that is not UTF-8 counts as empty: no state line.
    if (!run || !run->termination.succeeded() || !platform::UnicodeText::isValidUTF8(run->standardOutput)) return false;
    std::string_view rest = run->standardOutput;
    while (!rest.empty()) {
        const size_t end = std::min(rest.find('\n'), rest.size());
        const auto line = platform::UnicodeText::trimmingWhitespace(rest.substr(0, end));
        rest.remove_prefix(std::min(end + 1, rest.size()));
        if (line.rfind("state = ", 0) == 0) return line == "state = running";
    }
    return false;
}

bool V230HostAudioAuxServer::reconcileHeadlessScreenSharingCapture(const std::string& reason) {
    queue.dispatchPrecondition();
    const bool sleepWorkPending =
        screensAreSleeping || isPreflightingHeadlessCaptureForSleep || sleepPreflightPhysicalCaptureRequest;
    if (startupPhysicalDisplayID != 0 || sleepWorkPending || usablePhysicalDisplayID()) return false;

    const auto screenSharingDisplay = activeScreenSharingDisplayID(reason);
    const uint64_t now = platform::Clock::uptimeNs();
    if (!screenSharingDisplay) {
        if (deferredHeadlessCaptureRequestForScreenSharing && displayTarget.screenSharingDisplayLastSeenNs != 0 &&
            now - displayTarget.screenSharingDisplayLastSeenNs < kScreenSharingDisplayGoneNs) {
            return true;
        }
        return restoreHeadlessTemplateAfterScreenSharingCapture(reason);
    }
    const uint32_t display = *screenSharingDisplay;
    displayTarget.screenSharingDisplayLastSeenNs = now;
    auto& sc = streamControl;
    if (!videoSessions.empty() || !audioSessions.empty()) {
        if (screenSharingCaptureDisplayID != 0 && !authorizedVideoSessions.empty())
            restoreHeadlessTemplateAfterScreenSharingCapture(reason);
        return false;
    }
    const auto snapshot = HeadlessVirtualDisplay::shared().stateSnapshot();
    if (screenSharingCaptureDisplayID == display && !useHeadlessVirtualDisplay && !snapshot.isActive &&
        selectedDisplayID == display && sc.currentCaptureRequest.backend == VideoCaptureBackend::physical) {
        return true;
    }
    if (!deferredHeadlessCaptureRequestForScreenSharing && !snapshot.isActive) return false;
    const CaptureModeControlPayload base =
        deferredHeadlessCaptureRequestForScreenSharing.value_or(headlessTemplate(sc.currentCaptureRequest));
    publish("screen sharing topology detected after " + reason + "; yielding headless virtual display");
    applyScreenSharingDisplayCapture(display, base);
    return true;
}

void V230HostAudioAuxServer::applyScreenSharingDisplayCapture(uint32_t displayID,
                                                              const CaptureModeControlPayload& base) {
    queue.dispatchPrecondition();
    auto& sc = streamControl;
    const CaptureModeControlPayload deferred = headlessTemplate(base);
    deferredHeadlessCaptureRequestForScreenSharing = deferred;
    screenSharingCaptureDisplayID = displayID;

    // Screen Sharing's display is captured as it stands: its own size, and
    // 4:4:4 only where the encoder runs it.
    const auto layout = HostDisplayModeSwitcher::displayLayout(displayID);
    const int width = evenPixelSide(layout ? layout->pixelWidth : deferred.pixelWidth);
    const int height = evenPixelSide(layout ? layout->pixelHeight : deferred.pixelHeight);
    CaptureModeControlPayload request = base;
    request.logicalWidth = request.pixelWidth = width;
    request.logicalHeight = request.pixelHeight = height;
    const uint8_t hiDPI = layout ? (layout->flags & CaptureModeControlPayload::flagHiDPI) : 0;
    request.flags = static_cast<uint8_t>(
        (base.flags & ~(CaptureModeControlPayload::flagHiDPI | CaptureModeControlPayload::flagIOSBuiltInDisplay)) |
        hiDPI);
    request.backend = VideoCaptureBackend::physical;
    const bool encoderRuns444 = HostHardware::isAppleSilicon() && base.codec == VideoStreamCodec::hevc;
    request.chromaMode = encoderRuns444 ? base.chromaMode : VideoChromaMode::yuv420;
    request.fps = std::clamp(base.fps, 1, 60);
    request.controlIntent = 0;

    const CaptureModeControlPayload previousRequest = sc.currentCaptureRequest;
    const uint32_t previousSelection = selectedDisplayID;
    auto& headless = HeadlessVirtualDisplay::shared();
    const bool virtualDisplayWasPresent = headless.stateSnapshot().isActive;
    if (useHeadlessVirtualDisplay || virtualDisplayWasPresent) headless.stop(false);

    useHeadlessVirtualDisplay = false;
    displaySelectionIsManual = false;
    selectedDisplayID = physicalDisplayID = displayID;
    sc.currentCaptureRequest = request;
    sc.currentVideoMode = base.mode;
    sc.currentVideoChromaMode = request.chromaMode;
    resumeAuxVideoCaptureAfterZeroFrameSuspension("screen sharing display capture");
    sc.videoStartRetryAttempts = 0;
    headlessRealizeRetryAttempts = 0;

    const std::string id = std::to_string(displayID);
    if (request == previousRequest && !virtualDisplayWasPresent && previousSelection == displayID && sc.videoCapture) {
        publish("screen sharing capture unchanged on display " + id);
        return;
    }
    lastDisplayLayout.reset();
    publish("screen sharing: capturing shared display " + id + " with " + request.summary());
    broadcastHostError("display: screen sharing session active; capturing shared display=" + id +
                       " without changing display topology (requested mode " + modeTitle(base.mode) +
                       " controls encoder output)");
    const auto current = currentDisplayLayout();
    publish("display layout " + current.summary());
    broadcastDisplayLayout(current);
    scheduleDisplayLayoutPublish(kScreenSharingLayoutRepublishSeconds);
    restartAudioCaptureOnDisplaySwitch(kScreenSharingCaptureRestartSeconds);
    restartVideoCapture(kScreenSharingCaptureRestartSeconds);
}

bool V230HostAudioAuxServer::restoreHeadlessTemplateAfterScreenSharingCapture(const std::string& reason) {
    queue.dispatchPrecondition();
    if (!deferredHeadlessCaptureRequestForScreenSharing) {
        screenSharingCaptureDisplayID = 0;
        return false;
    }
    const CaptureModeControlPayload deferred = *deferredHeadlessCaptureRequestForScreenSharing;
    deferredHeadlessCaptureRequestForScreenSharing.reset();
    screenSharingCaptureDisplayID = 0;
    selectedDisplayID = physicalDisplayID = 0;
    if (authorizedVideoSessions.empty()) return false;

    auto& sc = streamControl;
    useHeadlessVirtualDisplay = true;
    displaySelectionIsManual = true;
    sc.currentCaptureRequest = deferred;
    sc.currentVideoMode = deferred.mode;
    sc.currentVideoChromaMode = deferred.chromaMode;
    lastDisplayLayout.reset();
    publish("screen sharing surface released after " + reason + "; restoring headless " + modeTitle(deferred.mode) +
            " template");
    applyVideoCaptureMode(deferred.mode);
    scheduleScreenSharingRecoveryAfterModeSwitchIfNeeded();
    return true;
}

void V230HostAudioAuxServer::scheduleScreenSharingRecoveryAfterModeSwitchIfNeeded() {
    queue.dispatchPrecondition();
    auto eligible = [](const V230HostAudioAuxServer& s) {
        return s.startupPhysicalDisplayID == 0 && !s.screensAreSleeping && !s.isPreflightingHeadlessCaptureForSleep &&
               !s.sleepPreflightPhysicalCaptureRequest && s.displayTarget.screenSharingDisplayLastSeenNs != 0;
    };
    if (!eligible(*this)) return;
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    queue.asyncAfter(kHealAfterModeSwitchSeconds, [weak, eligible] {
        auto self = weak.lock();
        if (!self || !eligible(*self)) return;
        const uint64_t now = platform::Clock::uptimeNs();
        if (now >= self->displayTarget.screenSharingDisplayLastSeenNs + kHealSightingWindowNs) return;
        const uint64_t last = self->lastScreenSharingRecoveryRequestNs;
        if (last != 0 && now - last < kHealIntervalNs) return;
        self->lastScreenSharingRecoveryRequestNs = now;
        // Said after the attempt: an unwritable spool requests nothing.
        if (auto filed = HostOnlineUpdateRequest::requestScreenSharingRecovery())
            self->publish("screen sharing heal: requesting service restart after virtual display mode switch");
        else
            self->publish("screen sharing heal: no service restart requested after virtual display mode switch: " +
                          std::string(HostOnlineUpdateRequest::describe(filed.error())));
    });
}

void V230HostAudioAuxServer::requestScreenSharingRecoveryAfterVirtualDisplayReleaseIfNeeded(bool immediate) {
    queue.dispatchPrecondition();
    if (startupPhysicalDisplayID != 0) return;
    if (immediate) {
        (void)HostOnlineUpdateRequest::requestScreenSharingRecovery();
        return;
    }
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    queue.asyncAfter(kHealAfterReleaseSeconds, [weak] {
        auto self = weak.lock();
        if (self && !self->screensAreSleeping) (void)HostOnlineUpdateRequest::requestScreenSharingRecovery();
    });
}
