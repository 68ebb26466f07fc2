// Capture-mode arbitration between Viewers: every Viewer's request (type 18)
// and chroma preference (type 21) is turned into the one shared request and
// one decision: leave the stream alone, re-announce it, change its bit rate
// in place, restart its encoder, or prepare a display anew. iOS Viewers
// have two roads of their own (the Mac's display at its current mode, and
// the dedicated Motion stream), and the Mac Viewers get their mode back
// once the iOS Viewer that owned the capture has left. Server queue only.

#include <algorithm>

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "HostApp/Capture/HostHardware.h"
#include "HostApp/Capture/VideoStreamProfile.h"
#include "HostApp/Display/HeadlessVirtualDisplay.h"
#include "HostApp/Display/HostDisplayModeSwitcher.h"

using platform::UUID;
using Request = CaptureModeControlPayload;

namespace {

// 4:4:4 is encoded only while the longer encoded side stays within this.
constexpr int k444MaxEncodedSide = 1920;
// What a Viewer's rates are brought within before they reach an encoder.
constexpr int kMinViewerFps = 1;
constexpr int kMaxViewerFps = 60;
constexpr int64_t kMinBitrate = 1'000'000;

const char* chromaText(VideoChromaMode chroma) { return chroma == VideoChromaMode::yuv444 ? "4:4:4" : "4:2:0"; }

bool isIOSRequest(const Request& r) { return r.flags & Request::flagIOSBuiltInDisplay; }

// The longer side the encoder would produce for the request.
int encodedLongSide(const Request& r) {
    return std::min(std::max(r.pixelWidth, r.pixelHeight), transportMaxDimension(r));
}

// Mode, backend, sizes and flags; a change of the Wi-Fi mark alone keeps
// the shape.
bool sameShape(const Request& a, const Request& b) {
    const uint8_t mask = static_cast<uint8_t>(~Request::flagWiFiRoute);
    return a.mode == b.mode && a.backend == b.backend && a.logicalWidth == b.logicalWidth &&
           a.logicalHeight == b.logicalHeight && a.pixelWidth == b.pixelWidth && a.pixelHeight == b.pixelHeight &&
           (a.flags & mask) == (b.flags & mask);
}

int64_t largestCatalogueBitrate() {
    int64_t largest = 0;
    for (const auto& definition : DisplayProfileCatalog::modes())
        largest = std::max({largest, definition.bitrate420, definition.bitrate444});
    return largest;
}

}  // namespace

Request V230HostAudioAuxServer::clampedRateControl(Request request) {
    request.fps = std::clamp(request.fps, kMinViewerFps, kMaxViewerFps);
    request.bitrate = std::clamp(request.bitrate, kMinBitrate, largestCatalogueBitrate());
    return request;
}

void V230HostAudioAuxServer::applyVideoCaptureRequest(const Request& arrived, const UUID& sourceID) {
    queue.dispatchPrecondition();
    auto& sc = streamControl;
    sc.lastVideoRequestBySource[sourceID] = arrived;
    reconcileSharedCanvasWiFiDeliveryShaping("capture request from " + sourceID.id8());
    if (!shouldApplyVideoCaptureRequest(arrived, sourceID)) return;

    cancelPendingHeadlessCaptureTransition();
    // A newer request replaces one held for a real display (and is held in
    // its place when it asks for one that is still missing).
    displayTarget.physicalRequestHeldOnVirtualDisplay.reset();
    sc.videoCaptureModeWasRequested = true;
    if (sc.initialVideoCaptureStartTask) sc.initialVideoCaptureStartTask->cancel();
    sc.initialVideoCaptureStartTask.reset();

    Request request = arrived;
    const bool ios = isIOSRequest(request);
    if (!ios && sharedCanvasHasWiFiMacSubscriberRequest()) request.flags |= Request::flagWiFiRoute;
    if (request.chromaMode == VideoChromaMode::yuv444 && encodedLongSide(request) > k444MaxEncodedSide) {
        publish("video request 4:4:4 demoted to 4:2:0: encoded canvas exceeds the 4:4:4 encode budget");
        request.chromaMode = VideoChromaMode::yuv420;
    }

    // Every road ends with a key frame for the requesting Viewer.
    struct KeyFrameAtEnd {
        V230HostAudioAuxServer& server;
        ~KeyFrameAtEnd() { server.requestVideoKeyframeWithDelayedRetry(); }
    } keyFrameAtEnd{*this};

    if (sc.auxVideoCaptureSuspendedForZeroFrames) {
        if (sc.suspendedVideoCaptureRequest == request) {
            publish("video: keeping Screen Sharing fallback for unchanged capture request " + request.summary());
            return;
        }
        resumeAuxVideoCaptureAfterZeroFrameSuspension("viewer changed capture request");
    }
    headlessRealizeRetryAttempts = 0;
    displayTarget.headlessRealizeSlowRetryAttempts = 0;

    // Screen Sharing hand-off on a Mac that started without a display.
    const bool quiet = startupPhysicalDisplayID == 0 && !screensAreSleeping && !isPreflightingHeadlessCaptureForSleep &&
                       !sleepPreflightPhysicalCaptureRequest && !ios;
    const auto usablePhysical = usablePhysicalDisplayID();
    if (quiet && !usablePhysical) {
        // Both the capture of Screen Sharing's display and the request kept
        // for afterwards reach an encoder: the rates as on every other road.
        const Request clamped = clampedRateControl(request);
        if (videoSessions.empty() && audioSessions.empty()) {
            if (auto sharing = activeScreenSharingDisplayID()) {
                applyScreenSharingDisplayCapture(*sharing, clamped);
                return;
            }
        }
        if (deferredHeadlessCaptureRequestForScreenSharing) {
            Request headless = clamped;
            headless.backend = VideoCaptureBackend::headlessVirtual;
            headless = withResolution(headless, resolvedAdaptiveResolution(headless));
            headless.controlIntent = 0;
            deferredHeadlessCaptureRequestForScreenSharing = headless;
            if (reconcileHeadlessScreenSharingCapture("capture request")) return;
        }
    }
    if (!activeScreenSharingDisplayID()) {
        deferredHeadlessCaptureRequestForScreenSharing.reset();
        screenSharingCaptureDisplayID = 0;
    }

    if (request.mode == VideoCaptureMode::easy && !useHeadlessVirtualDisplay && !ios && usablePhysical) {
        applyEasyAdaptivePhysicalCapture(*usablePhysical, request);
        return;
    }

    // Beyond this point the request's rates may reach an encoder as they stand.
    request = clampedRateControl(request);

    if (ios) {
        Request motion = request;
        motion.controlIntent = 0;
        sc.motionStreamRequest = motion;
        const bool concurrentViewerOnHeadlessHost =
            !usablePhysical && (audioSessions.size() >= 2 || videoSessions.size() >= 2);
        if (!concurrentViewerOnHeadlessHost) {
            sc.iosBuiltInCaptureSessionID = sourceID;
            applyIOSBuiltInDisplayCaptureRequest(request);
            return;
        }
        if (HostHardware::isAppleSilicon()) {
            if (motionStreamNeedsSupersampledUpgrade(request))
                stopMotionStream("iOS supersampled request upgrades the dedicated stream", true);
            ensureMotionStream("iOS request with a concurrent Viewer on a headless Host");
        }
        if (!sc.motionStreamCapture) {
            const std::string text =
                "display: kept shared virtual mode for concurrent iOS viewer on headless Host from " + sourceID.id8();
            publish(text);
            broadcastHostError(text);
        } else {
            publish("display: dedicated iOS motion stream for " + sourceID.id8() + "; shared virtual mode kept");
            sendMotionStreamConfig(sourceID, "iOS request on a running Motion stream");
        }
        return;
    }

    if (shouldPreserveIOSBuiltInCapture(request, sourceID)) {
        const std::string text = "display: kept active iOS built-in capture; preserved another Viewer's " +
                                 modeTitle(request.mode) + " request";
        publish(text);
        broadcastHostError(text);
        resendCurrentVideoConfigIfAvailable("preserved active iOS built-in capture");
        return;
    }

    // The backend as the console allows it.
    const auto console = currentConsoleSessionState();
    const bool consoleNotReady = !console.loginDone || console.isLocked || console.isLoginWindow;
    if (request.backend == VideoCaptureBackend::headlessVirtual && consoleNotReady) {
        if (!usablePhysical) {
            publish("capture request kept on headless virtual display; loginwindow/locked session has no physical display");
            broadcastHostError("display: no physical display available; keeping loginwindow/locked capture on headless "
                               "virtual display");
        } else {
            publish("capture request backend virtual overridden to physical for loginwindow/locked session");
            broadcastHostError("display: loginwindow/locked session forcing physical display capture");
            request.backend = VideoCaptureBackend::physical;
        }
    } else if (request.backend == VideoCaptureBackend::physical && useHeadlessVirtualDisplay &&
               captureModeDefinition(request.mode).defaultUsesHeadlessVirtualDisplay) {
        publish("capture request backend physical normalized to virtual default for " + modeTitle(request.mode));
        request.backend = VideoCaptureBackend::headlessVirtual;
    }
    if (request.backend == VideoCaptureBackend::headlessVirtual)
        request = withResolution(request, resolvedAdaptiveResolution(request));

    const Request previous = sc.currentCaptureRequest;
    request.controlIntent = 0;
    sc.currentCaptureRequest = request;
    sc.currentVideoChromaMode = request.chromaMode;

    if (!sameShape(request, previous)) {
        if (request.backend == VideoCaptureBackend::headlessVirtual) scheduleScreenSharingRecoveryAfterModeSwitchIfNeeded();
        applyVideoCaptureMode(request.mode);
        return;
    }
    if (shouldReapplyCaptureMode(request)) {
        publish("capture mode unchanged but display state drifted; reapplying " + request.summary());
        applyVideoCaptureMode(request.mode);
        return;
    }
    // The default start was cancelled above: with nothing running, a
    // re-sent configuration alone would leave the Viewer without a picture.
    if (!sc.videoCapture) {
        publish("capture mode unchanged but no capture runs; applying " + request.summary());
        applyVideoCaptureMode(request.mode);
        return;
    }
    if (request.chromaMode == previous.chromaMode && request.fps == previous.fps && request.codec == previous.codec) {
        if (request.bitrate == previous.bitrate) {
            publish("capture mode unchanged; resending video config");
            resendCurrentVideoConfigIfAvailable("unchanged capture mode");
        } else {
            publish("dynamic bitrate update: bitrate=" + std::to_string(request.bitrate));
            if (sc.videoCapture) sc.videoCapture->updateRateControl(request.fps, request.bitrate);
            resendCurrentVideoConfigIfAvailable("bitrate update");
        }
        return;
    }
    publish("capture format changed; restarting stream with " + request.summary());
    restartVideoCapture(0.1);
}

bool V230HostAudioAuxServer::shouldApplyVideoCaptureRequest(const Request& request, const UUID& sourceID) {
    auto& sc = streamControl;
    std::optional<VideoCaptureMode> previous;
    if (auto it = sc.lastCaptureModeBySource.find(sourceID); it != sc.lastCaptureModeBySource.end())
        previous = it->second;
    sc.lastCaptureModeBySource[sourceID] = request.mode;

    if (isIOSRequest(request) || (request.controlIntent & Request::intentExplicit)) return true;
    if (!(request.flags & Request::flagAutomaticRefresh) && previous && *previous != request.mode) {
        publish("capture mode inferred as explicit legacy selection from " + sourceID.id8() + ": " +
                modeTitle(request.mode));
        return true;
    }
    if (sc.videoCaptureIsWarmIdle) return true;
    if (!sc.videoCaptureModeWasRequested && !sc.lastVideoConfig && !sc.videoCapture &&
        !headlessPresetActivationIsPending()) {
        return true;
    }
    publish("capture mode refresh ignored from " + sourceID.id8() + "; keeping shared " +
            modeTitle(sc.currentVideoMode));
    resendCurrentVideoConfigIfAvailable("ignored automatic capture mode refresh");
    const auto layout = currentDisplayLayout();
    publish("display layout " + layout.summary());
    broadcastDisplayLayout(layout);
    requestVideoKeyframeWithDelayedRetry();
    return false;
}

bool V230HostAudioAuxServer::shouldPreserveIOSBuiltInCapture(const Request& request, const UUID& sourceID) const {
    const auto& owner = streamControl.iosBuiltInCaptureSessionID;
    return !isIOSRequest(request) && isIOSRequest(streamControl.currentCaptureRequest) && owner &&
           *owner != sourceID && authorizedAudioSessions.count(*owner) && audioSessions.size() > 1;
}

bool V230HostAudioAuxServer::shouldReapplyCaptureMode(const Request& request) const {
    if (streamControl.currentVideoMode != request.mode) return true;
    if (request.backend == VideoCaptureBackend::physical) {
        if (useHeadlessVirtualDisplay || selectedDisplayID == 0) return true;
        const auto layout = HostDisplayModeSwitcher::displayLayout(selectedDisplayID);
        return !layout || !physicalDisplayLayout(*layout, request);
    }
    auto& headless = HeadlessVirtualDisplay::shared();
    if (!useHeadlessVirtualDisplay || !headless.stateSnapshot().isActive) return true;
    const auto preset = HeadlessVirtualDisplay::Preset::from(resolvedAdaptiveResolution(request));
    const auto registered = headless.registeredPresetsOfLiveDisplay();
    if (std::find(registered.begin(), registered.end(), preset) == registered.end()) return true;
    if (!captureModeDefinition(request.mode).requireStrictGeometry) return false;
    const auto readiness = headless.presetReadiness(preset);
    return readiness != HeadlessVirtualDisplay::PresetReadiness::ready &&
           readiness != HeadlessVirtualDisplay::PresetReadiness::inactive;
}

void V230HostAudioAuxServer::applyIOSBuiltInDisplayCaptureRequest(const Request& request) {
    queue.dispatchPrecondition();
    auto& sc = streamControl;
    if (const auto displayID = usablePhysicalDisplayID()) {
        Request physical = request;
        physical.backend = VideoCaptureBackend::physical;
        if (const auto layout = HostDisplayModeSwitcher::displayLayout(*displayID)) {
            physical.logicalWidth = layout->targetWidth;
            physical.logicalHeight = layout->targetHeight;
            physical.pixelWidth = layout->pixelWidth;
            physical.pixelHeight = layout->pixelHeight;
            physical.flags = static_cast<uint8_t>((layout->flags & Request::flagHiDPI) |
                                                  (request.flags & Request::flagIOSBuiltInDisplay));
            Request asSent = physical;
            asSent.controlIntent = request.controlIntent;
            if (!(request.backend == VideoCaptureBackend::physical && asSent == request)) physical.controlIntent = 0;
        } else if (request.backend != VideoCaptureBackend::physical) {
            physical.controlIntent = 0;
        }
        const Request previous = sc.currentCaptureRequest;
        const uint32_t previousDisplay = selectedDisplayID;
        if (useHeadlessVirtualDisplay) HeadlessVirtualDisplay::shared().stop(true);
        useHeadlessVirtualDisplay = false;
        displaySelectionIsManual = false;
        selectedDisplayID = physicalDisplayID = *displayID;
        sc.currentCaptureRequest = physical;
        sc.currentVideoMode = request.mode;
        sc.currentVideoChromaMode = request.chromaMode;
        if (previous == physical && previousDisplay == *displayID) {
            if (!sc.videoCapture && !authorizedVideoSessions.empty()) {
                publish("iOS built-in display capture unchanged; starting encoder");
                restartVideoCapture(0.1);
            } else {
                publish("iOS built-in display capture unchanged");
            }
            return;
        }
        lastDisplayLayout.reset();
        publish("iOS built-in display capture using physical display " + std::to_string(*displayID) +
                "; keeping current display mode; restarting encoder with " + physical.summary());
        broadcastHostError("display: iOS built-in display capture using physical display=" +
                           std::to_string(*displayID) + " without switching host resolution");
        restartVideoCapture(0.1);
        return;
    }

    Request headless = request;
    headless.backend = VideoCaptureBackend::headlessVirtual;
    headless.flags &= static_cast<uint8_t>(~Request::flagIOSBuiltInDisplay);
    headless.controlIntent = 0;
    if (useHeadlessVirtualDisplay && HeadlessVirtualDisplay::shared().stateSnapshot().isActive && sc.videoCapture &&
        !sc.isPaused && sc.currentCaptureRequest.matchesCaptureShape(headless)) {
        publish("iOS built-in display request matches the live headless capture; keeping " + headless.summary());
        resendCurrentVideoConfigIfAvailable("unchanged iOS built-in headless capture");
        requestVideoKeyframeWithDelayedRetry();
        return;
    }
    publish("iOS built-in display request received on headless Host; using headless virtual capture " +
            headless.summary());
    broadcastHostError("display: no physical display; normalized iOS built-in capture to headless virtual display");
    sc.currentCaptureRequest = headless;
    sc.currentVideoMode = request.mode;
    sc.currentVideoChromaMode = request.chromaMode;
    useHeadlessVirtualDisplay = true;
    displaySelectionIsManual = false;
    applyVideoCaptureMode(request.mode);
}

void V230HostAudioAuxServer::applyVideoChromaMode(VideoChromaMode chroma) {
    queue.dispatchPrecondition();
    auto& sc = streamControl;
    // A refusal is news to the Viewer that asked (and, asked again, is
    // rate-limited with the rest of its lines).
    if (chroma == VideoChromaMode::yuv444 && encodedLongSide(sc.currentCaptureRequest) > k444MaxEncodedSide) {
        publish("video chroma 4:4:4 exceeds the 4:4:4 encode budget on this canvas; keeping 4:2:0");
        chroma = VideoChromaMode::yuv420;
    }
    // A preference for what is already in force is a no-op and says
    // nothing: a Viewer may repeat it at any rate.
    if (sc.currentVideoChromaMode == chroma) return;
    sc.currentVideoChromaMode = chroma;
    auto& request = sc.currentCaptureRequest;
    if (request.chromaMode != chroma) {
        if (chroma == VideoChromaMode::yuv444) request.codec = VideoStreamCodec::hevc;
        request.controlIntent = 0;
    }
    request.chromaMode = chroma;
    resumeAuxVideoCaptureAfterZeroFrameSuspension("video chroma request");
    sc.videoStartRetryAttempts = 0;
    publish(std::string("video chroma requested ") + chromaText(chroma) + "; restarting encoder with " +
            request.summary());
    restartVideoCapture(0);
}

void V230HostAudioAuxServer::restoreSharedModeAfterIOSCaptureEnded() {
    queue.dispatchPrecondition();
    auto& sc = streamControl;
    if (!isIOSRequest(sc.currentCaptureRequest)) return;
    auto isIOS = [this](const UUID& id) { return isIOSViewerSession(id); };
    if (std::any_of(authorizedVideoSessions.begin(), authorizedVideoSessions.end(), isIOS) ||
        std::any_of(authorizedAudioSessions.begin(), authorizedAudioSessions.end(), isIOS)) {
        return;
    }
    std::vector<std::pair<std::string, UUID>> candidates;
    for (const auto& [id, mode] : sc.lastCaptureModeBySource)
        if (authorizedVideoSessions.count(id) && !isIOS(id)) candidates.emplace_back(id.uuidString(), id);
    if (candidates.empty()) return;
    const UUID id = std::min_element(candidates.begin(), candidates.end())->second;
    const VideoCaptureMode mode = sc.lastCaptureModeBySource.at(id);
    if (mode == sc.currentVideoMode) return;

    Request base;
    if (auto last = sc.lastVideoRequestBySource.find(id);
        last != sc.lastVideoRequestBySource.end() && last->second.mode == mode && !isIOSRequest(last->second)) {
        base = last->second;
    } else {
        base = Request::preset(mode, VideoChromaMode::yuv420,
                               captureModeDefinition(mode).defaultUsesHeadlessVirtualDisplay
                                   ? VideoCaptureBackend::headlessVirtual
                                   : VideoCaptureBackend::physical);
    }
    publish("display: iOS capture ended; restoring " + modeTitle(mode) + " for remaining Viewer " + id.id8());
    base.controlIntent = Request::intentExplicit;
    applyVideoCaptureRequest(base, id);
}
