// The shared capture's life: the default start after a login, the build of
// the capture for the request in force with its callbacks wired back here,
// the start retry, restart, retire, pause, idle teardown, and key-frame
// requests. Every capture carries the generation it was built with; the
// generation is the only link between a capture and the current state, so
// anything a retired capture still reports is ignored.

#include <algorithm>

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "HostApp/Display/HeadlessVirtualDisplay.h"
#include "HostApp/Capture/VideoStreamProfile.h"
#include "Platform/SimulatedMac/ScreenCaptureKit.h"

using platform::UUID;

namespace {

constexpr double kInitialStartDelaySeconds = 0.45;
constexpr double kPermissionRetrySeconds = 1.0;
constexpr double kPresetRetrySeconds = 0.1;
constexpr double kKeyFrameRepeatSeconds = 0.5;
constexpr int kMaxStartRetries = 6;
// More retired captures than this are worth a warning: the system keeps
// ignoring stop requests.
constexpr size_t kRetiredCaptureWarningCount = 4;

std::string awaitingConfigSummary(VideoCaptureMode mode) { return "video: awaiting " + modeTitle(mode) + " config"; }

// The longest side the shared canvas may have while the Motion stream runs.
std::optional<int> motionBudgetCap(VideoCaptureMode mode) {
    switch (mode) {
        case VideoCaptureMode::easy: return 2560;
        case VideoCaptureMode::pro:
        case VideoCaptureMode::max: return 2880;
        default: return std::nullopt;
    }
}

}  // namespace

void V230HostAudioAuxServer::scheduleInitialVideoCaptureStart() {
    queue.dispatchPrecondition();
    auto& sc = streamControl;
    if (sc.initialVideoCaptureStartTask) sc.initialVideoCaptureStartTask->cancel();
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    sc.initialVideoCaptureStartTask = platform::makeWorkItem([weak] {
        auto self = weak.lock();
        if (!self) return;
        auto& state = self->streamControl;
        if (self->screensAreSleeping || state.videoCaptureModeWasRequested || self->authorizedVideoSessions.empty() ||
            state.videoCapture) {
            return;
        }
        state.initialVideoCaptureStartTask.reset();
        self->publish("video: initial capture-mode request not received; starting default " +
                      modeTitle(state.currentVideoMode));
        auto& request = state.currentCaptureRequest;
        // An explicit choice survives only when it already was this stream.
        if (request.codec != VideoStreamCodec::hevc || request.fps != 60) request.controlIntent = 0;
        request.codec = VideoStreamCodec::hevc;
        request.fps = 60;
        self->applyVideoCaptureMode(state.currentVideoMode);
        self->requestVideoKeyframeWithDelayedRetry();
    });
    publish("video: awaiting initial capture-mode request");
    queue.asyncAfter(kInitialStartDelaySeconds, sc.initialVideoCaptureStartTask);
}

namespace {

// Replaces a pending start retry with a new one `delay` from now.
void armStartRetry(platform::DispatchWorkItemRef& task, const platform::DispatchQueue& queue, double delay,
                   std::weak_ptr<V230HostAudioAuxServer> weak) {
    if (task) task->cancel();
    task = platform::makeWorkItem([weak] {
        if (auto self = weak.lock()) self->startVideoCapture();
    });
    queue.asyncAfter(delay, task);
}

void cancelStartRetries(StreamControlState& sc) {
    for (auto* task : {&sc.videoStartPermissionRetryTask, &sc.videoStartPresetRetryTask}) {
        if (*task) (*task)->cancel();
        task->reset();
    }
}

}  // namespace

void V230HostAudioAuxServer::startVideoCapture() {
    queue.dispatchPrecondition();
    auto& sc = streamControl;
    if (screensAreSleeping || sc.videoCapture || authorizedVideoSessions.empty()) return;
    // A console unlock, a chroma or bit-rate change must not bring video
    // back while the Host says it is paused.
    if (sc.isPaused) return;
    if (sc.auxVideoCaptureSuspendedForZeroFrames) {
        publish("video: Aux capture suspended after zero-frame recovery; waiting on Screen Sharing fallback");
        return;
    }
    sc.videoSendInFlight.set(0);

    if (!platform::CGPreflightScreenCaptureAccess()) {
        if (!sc.didRequestScreenCaptureTrust) {
            sc.didRequestScreenCaptureTrust = true;
            platform::CGRequestScreenCaptureAccess();
            broadcastHostError("video: Host needs Screen Recording permission for remote display");
        }
        publish("screen recording permission missing for video, will retry in 1s");
        armStartRetry(sc.videoStartPermissionRetryTask, queue, kPermissionRetrySeconds, weak_from_this());
        return;
    }
    sc.didRequestScreenCaptureTrust = false;

    uint32_t displayID = selectedDisplayID;
    bool requireExactDisplay = displaySelectionIsManual;
    if (useHeadlessVirtualDisplay) {
        auto& headless = HeadlessVirtualDisplay::shared();
        if (!headless.stateSnapshot().isActive) {
            publish("video session authorized; preparing headless virtual display");
            applyVideoCaptureMode(sc.currentVideoMode);
            return;
        }
        const auto preset = HeadlessVirtualDisplay::Preset::from(resolvedAdaptiveResolution(sc.currentCaptureRequest));
        if (headless.presetReadiness(preset) == HeadlessVirtualDisplay::PresetReadiness::pending) {
            armStartRetry(sc.videoStartPresetRetryTask, queue, kPresetRetrySeconds, weak_from_this());
            return;
        }
        headless.refreshGeometry(preset);
        requireExactDisplay = true;
    }

    const CaptureModeControlPayload request = sc.currentCaptureRequest;
    sc.videoConfigSummary = awaitingConfigSummary(sc.currentVideoMode);
    const bool permitsAdaptivePhysicalGeometry =
        request.backend == VideoCaptureBackend::physical &&
        ((screenSharingCaptureDisplayID != 0 && screenSharingCaptureDisplayID == displayID) ||
         (request.mode == VideoCaptureMode::pro && (request.flags & CaptureModeControlPayload::flagHiDPI)));
    std::optional<int> cap;
    if (sc.motionStreamCapture) cap = motionBudgetCap(request.mode);
    sc.sharedCanvasMotionBudgetApplied = cap.has_value();
    const auto profile = VideoStreamProfile::forDisplay(displayID, request, permitsAdaptivePhysicalGeometry, cap);

    if (!(request.flags & CaptureModeControlPayload::flagIOSBuiltInDisplay)) {
        if (auto error = profile.validationErrorForRequestedMode()) {
            publish("video profile rejected: " + *error);
            broadcastHostError(*error);
            sc.videoConfigSummary = "video stopped: " + *error;
            return;
        }
    }

    sc.currentVideoCongestionWindow = std::max(1, videoCongestionWindow(request, profile.fps));
    resetVideoAckWindow();
    const uint64_t generation = ++sc.videoCaptureGeneration;
    auto capture = HostVideoCapture::create(displayID, profile, profile, requireExactDisplay, false);

    // Each callback holds the server weakly and hops onto its queue, except
    // the congestion query and the recording tap, which run on the
    // capture's thread.
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    auto onQueue = [weak, q = queue](auto work) {
        q.async([weak, work = std::move(work)] {
            if (auto self = weak.lock()) work(*self);
        });
    };
    auto isCurrent = [generation](V230HostAudioAuxServer& s) {
        return s.streamControl.videoCaptureGeneration == generation;
    };
    capture->checkNetworkCongestion = [weak] {
        auto self = weak.lock();
        return self && self->streamControl.videoEncodeBlocked.value() != 0;
    };
    capture->onStarted = [onQueue, isCurrent, title = profile.title(), displayID] {
        onQueue([isCurrent, title, displayID](V230HostAudioAuxServer& s) {
            if (!isCurrent(s)) return;
            s.streamControl.videoStartRetryAttempts = 0;
            s.publish("aux video started " + title + " display=" + std::to_string(displayID));
        });
    };
    capture->onConfig = [onQueue, generation, request, displayID](const VideoStreamConfigPayload& config) {
        onQueue([config, generation, request, displayID](V230HostAudioAuxServer& s) {
            s.acceptVideoCaptureConfig(config, generation, request, displayID);
        });
    };
    // The capture calls onFrame, so it is alive while the frame is handed on.
    capture->onFrame = [weak, generation, producer = capture.get()](std::span<const uint8_t> bytes, bool isKeyFrame,
                                                                    uint64_t timestampNs) {
        if (auto self = weak.lock())
            self->broadcastVideoFrame(bytes, isKeyFrame, timestampNs, generation, HostVideoStreamKind::shared,
                                      &producer->forceKeyFrameRequested);
    };
    capture->onDisplayLayout = [onQueue, isCurrent](const DisplayLayoutPayload& layout) {
        onQueue([isCurrent, layout](V230HostAudioAuxServer& s) {
            auto& last = s.lastDisplayLayout;
            if (!isCurrent(s) || (last && *last == layout)) return;
            last = layout;
            s.publish("display layout authoritative " + layout.summary());
            s.broadcastDisplayLayout(layout);
        });
    };
    capture->onCapturedFrame = [onQueue, generation] {
        onQueue([generation](V230HostAudioAuxServer& s) { s.recordCapturedVideoFrame(generation); });
    };
    capture->onCapturedIdleFrame = [onQueue, generation] {
        onQueue([generation](V230HostAudioAuxServer& s) { s.recordCapturedIdleVideoFrame(generation); });
    };
    capture->onSample = [onQueue, generation](bool submitted) {
        onQueue([generation, submitted](V230HostAudioAuxServer& s) { s.recordVideoSample(submitted, generation); });
    };
    capture->onError = [onQueue, isCurrent](const std::string& message) {
        onQueue([isCurrent, message](V230HostAudioAuxServer& s) {
            if (!isCurrent(s)) return;
            s.scheduleVideoStartRetryIfNeeded(message);
            s.publish("aux video: " + message);
            if (!isVideoDiagnosticNotice(message) && message.find("unavailable for ScreenCaptureKit") == std::string::npos)
                s.broadcastHostError("video: " + message);
        });
    };
    capture->onRetiredStreamRetained = [onQueue](const std::shared_ptr<HostVideoCapture>& retired) {
        onQueue([retired](V230HostAudioAuxServer& s) {
            auto& list = s.streamControl.retiredVideoCaptures;
            if (std::find(list.begin(), list.end(), retired) == list.end()) list.push_back(retired);
            if (list.size() > kRetiredCaptureWarningCount)
                s.publish("video: multiple retired captures retained; ScreenCaptureKit daemon ignored stopCapture");
        });
    };
    capture->onRetiredStreamRecovered = [onQueue](const std::shared_ptr<HostVideoCapture>& retired) {
        onQueue([retired](V230HostAudioAuxServer& s) { std::erase(s.streamControl.retiredVideoCaptures, retired); });
    };

    sc.videoCapture = capture;
    reconcileSharedCanvasWiFiDeliveryShaping("shared capture rebuilt");
    capture->onRecordingFrame = [weak](const std::shared_ptr<platform::PixelBuffer>& buffer, uint64_t timestampNs) {
        auto self = weak.lock();
        if (!self) return;
        if (CadenceProbe::requested()) self->streamControl.cadenceDebugSharedCapture.record(timestampNs);
        self->recording.hostRecordingSourceSize.set(buffer->width(), buffer->height());
        if (auto recorder = self->recording.hostRecording.load()) recorder->appendVideo(buffer, timestampNs);
    };
    capture->start();
}

void V230HostAudioAuxServer::scheduleVideoStartRetryIfNeeded(const std::string& afterError) {
    queue.dispatchPrecondition();
    auto& sc = streamControl;
    if (!useHeadlessVirtualDisplay || afterError.find("unavailable for ScreenCaptureKit") == std::string::npos ||
        videoSessions.empty() || sc.lastVideoConfig) {
        return;
    }
    if (sc.videoStartRetryAttempts >= kMaxStartRetries) {
        publish("aux video retry exhausted for display " + std::to_string(selectedDisplayID));
        return;
    }
    const int attempt = ++sc.videoStartRetryAttempts;
    const double delay = std::min(attempt * 0.4, 2.0);
    char line[128];
    std::snprintf(line, sizeof line, "aux video retry %d/%d waiting for display %u in %.2fs", attempt,
                  kMaxStartRetries, selectedDisplayID, delay);
    publish(line);
    restartVideoCapture(delay);
}

void V230HostAudioAuxServer::restartVideoCapture(double afterSeconds) {
    queue.dispatchPrecondition();
    auto& sc = streamControl;
    if (screensAreSleeping || authorizedVideoSessions.empty()) return;
    if (sc.auxVideoCaptureSuspendedForZeroFrames) {
        publish("video: restart skipped while Screen Sharing fallback is active");
        return;
    }
    auto old = std::move(sc.videoCapture);
    sc.videoCapture.reset();
    const uint64_t generation = ++sc.videoCaptureGeneration;
    // A Viewer's change that stopped the stream holds the next one back
    // until the Viewers watching have it again (a paused stream is not
    // started again: nothing to wait for).
    if (!sc.isPaused) sc.changePacer.streamStopped();
    cancelStartRetries(sc);
    sc.lastVideoConfig.reset();
    sc.videoConfigSummary = awaitingConfigSummary(sc.currentVideoMode);
    sc.framePackets.releaseIdle();

    if (isPreflightingHeadlessCaptureForSleep) {
        // The sleep preflight holds this queue until the new capture is
        // ready, so a start queued behind it would only run after the Mac
        // slept: build it now. Only the old capture's stop goes elsewhere.
        if (old) captureLifecycleQueue.async([old] { old->stop(true); });
        startVideoCapture();
        return;
    }

    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    captureLifecycleQueue.async([weak, old, generation, afterSeconds, serverQueue = queue] {
        // Stopped even when the server is gone: a capture left running
        // would keep its encoder threads busy for nobody.
        if (old) old->stop(true);
        if (weak.expired()) return;
        serverQueue.asyncAfter(std::max(0.0, afterSeconds), [weak, generation] {
            auto self = weak.lock();
            if (!self || self->streamControl.videoCaptureGeneration != generation || self->screensAreSleeping ||
                self->authorizedVideoSessions.empty() || self->streamControl.isPaused) {
                return;
            }
            self->startVideoCapture();
        });
    });
}

void V230HostAudioAuxServer::retireVideoCaptureOnLifecycleQueue() {
    queue.dispatchPrecondition();
    auto& sc = streamControl;
    ++sc.videoCaptureGeneration;
    cancelStartRetries(sc);
    auto retired = std::move(sc.videoCapture);
    sc.videoCapture.reset();
    sc.lastVideoConfig.reset();
    sc.framePackets.releaseIdle();
    // Stopping may block until the stream has stopped; never on this queue.
    if (retired) captureLifecycleQueue.async([retired] { retired->stop(true); });
}

void V230HostAudioAuxServer::setPaused(bool paused) {
    queue.dispatchPrecondition();
    auto& sc = streamControl;
    if (paused == sc.isPaused) return;
    sc.isPaused = paused;
    if (paused) {
        // Nothing starts the stream again: a change's hold waits for it no
        // more.
        sc.changePacer.streamPaused();
        ++sc.videoCaptureGeneration;
        cancelStartRetries(sc);
        auto stopped = std::move(sc.videoCapture);
        sc.videoCapture.reset();
        if (stopped) captureLifecycleQueue.async([stopped] { stopped->stop(true); });
        stopAudioCapture(true);
        return;
    }
    if (sc.currentCaptureRequest.flags & CaptureModeControlPayload::flagIOSBuiltInDisplay) {
        applyIOSBuiltInDisplayCaptureRequest(sc.currentCaptureRequest);
    } else {
        applyVideoCaptureMode(sc.currentVideoMode);
    }
    startAudioCapture();
}

void V230HostAudioAuxServer::performVideoCaptureIdleTeardown() {
    queue.dispatchPrecondition();
    auto& sc = streamControl;
    if (sc.initialVideoCaptureStartTask) sc.initialVideoCaptureStartTask->cancel();
    sc.initialVideoCaptureStartTask.reset();
    cancelPendingHeadlessCaptureTransition();
    stopMotionStream("media idle teardown", true);
    sc.videoCaptureModeWasRequested = false;
    sc.auxVideoCaptureSuspendedForZeroFrames = false;
    sc.suspendedVideoCaptureRequest.reset();
    sc.zeroVideoWindows = 0;
    sc.videoZeroFrameRecoveryAttempts = 0;
    sc.nextVideoZeroFrameRecoveryNs = 0;
    sc.wakeRapidZeroFrameRecoveryDeadline.reset();
    sc.videoSendInFlight.set(0);
    sc.videoEncodeBlocked.set(0);
    retireVideoCaptureOnLifecycleQueue();
    sc.activeVideoCaptureDisplayID = 0;
    sc.videoStartRetryAttempts = 0;
    releaseHeadlessVirtualDisplayIfIdle();
}

void V230HostAudioAuxServer::requestVideoKeyframeWithDelayedRetry() {
    queue.dispatchPrecondition();
    if (authorizedVideoSessions.empty()) return;
    auto ask = [](V230HostAudioAuxServer& s) {
        auto& sc = s.streamControl;
        if (sc.videoCapture) sc.videoCapture->forceKeyFrameRequested.set(1);
        const bool iosViewer = std::any_of(s.authorizedVideoSessions.begin(), s.authorizedVideoSessions.end(),
                                           [&](const UUID& id) { return s.isIOSViewerSession(id); });
        if (iosViewer && sc.motionStreamCapture) sc.motionStreamCapture->forceKeyFrameRequested.set(1);
    };
    ask(*this);
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    queue.asyncAfter(kKeyFrameRepeatSeconds, [weak, ask] {
        auto self = weak.lock();
        if (self && !self->screensAreSleeping && !self->authorizedVideoSessions.empty()) ask(*self);
    });
}

void V230HostAudioAuxServer::recordCapturedVideoFrame(uint64_t generation) {
    if (generation == streamControl.videoCaptureGeneration) streamControl.videoCaptureFrames++;
}

void V230HostAudioAuxServer::recordCapturedIdleVideoFrame(uint64_t generation) {
    if (generation == streamControl.videoCaptureGeneration) streamControl.videoCaptureIdleFrames++;
}

void V230HostAudioAuxServer::recordVideoSample(bool submitted, uint64_t generation) {
    if (generation != streamControl.videoCaptureGeneration) return;
    (submitted ? streamControl.videoEncodeSubmits : streamControl.videoEncodeDrops)++;
}
