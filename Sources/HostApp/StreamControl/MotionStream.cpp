// The Motion stream: a second, dedicated capture of the captured display,
// encoded small at a fixed 18 Mb/s for iOS Viewers, who are bound to it
// instead of the shared stream while it runs. It opens when the shared
// canvas is beyond the Easy class or an iOS Viewer shares a headless Host
// with another Viewer, and is released once no iOS Viewer is left. It has
// its own generation, encode gate and attempt count, and caps the shared
// canvas while it runs. Server queue only, except the congestion check and
// the cadence records, which run on the capture's threads.

#include <algorithm>
#include <cmath>

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "HostApp/Capture/HostHardware.h"
#include "HostApp/Capture/VideoStreamProfile.h"
#include "HostApp/Display/HeadlessVirtualDisplay.h"

using platform::UUID;
using Request = CaptureModeControlPayload;

namespace {

constexpr int64_t kMotionBitrate = 18'000'000;
constexpr int kMotionMaxEncodedSide = 2304;
constexpr int kMaxStartAttempts = 3;
constexpr double kDefaultIdleReleaseSeconds = 120;
constexpr double kMinDelaySeconds = 0.1;
constexpr uint8_t kRaisedFlag = 0x02;
constexpr uint8_t kSupersampledIOSFlags = Request::flagIOSBuiltInDisplay | Request::flagSupersampled;

bool hasPrefix(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }
bool contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }
int even(int value) { return value & ~1; }

}  // namespace

std::vector<UUID> V230HostAudioAuxServer::motionStreamSubscribers() const {
    std::vector<UUID> out;
    for (const UUID& id : authorizedVideoSessions)
        if (isIOSViewerSession(id)) out.push_back(id);
    return out;
}

Request V230HostAudioAuxServer::preferredMotionStreamBaseRequest() const {
    const auto& sc = streamControl;
    auto qualifies = [](const Request& r) { return (r.flags & kSupersampledIOSFlags) == kSupersampledIOSFlags; };
    if (sc.motionStreamRequest && qualifies(*sc.motionStreamRequest)) return *sc.motionStreamRequest;
    for (const auto& [id, request] : sc.lastVideoRequestBySource)
        if (qualifies(request)) return request;
    Request base;
    base.mode = VideoCaptureMode::physical1080;
    base.backend = VideoCaptureBackend::physical;
    base.codec = VideoStreamCodec::hevc;
    base.chromaMode = VideoChromaMode::yuv420;
    base.logicalWidth = base.pixelWidth = 1920;
    base.logicalHeight = base.pixelHeight = 1080;
    base.fps = 60;
    base.bitrate = 14'000'000;
    base.flags = Request::flagIOSBuiltInDisplay;
    base.controlIntent = 0;
    return base;
}

std::pair<int, int> V230HostAudioAuxServer::motionStreamEncodedPixels(const Request& request) const {
    const auto& active = streamControl.activeVideoCaptureRequest;
    int width = active.pixelWidth, height = active.pixelHeight;
    if (width < 2 || height < 2) {
        width = request.pixelWidth;
        height = request.pixelHeight;
    }
    const int cap = std::min(transportMaxDimension(request), kMotionMaxEncodedSide);
    const double scale = std::min(1.0, static_cast<double>(cap) / std::max({width, height, 1}));
    auto side = [scale](int pixels) { return even(std::max(2, static_cast<int>(std::floor(pixels * scale)))); };
    return {side(width), side(height)};
}

Request V230HostAudioAuxServer::motionStreamEncodedRequest(const Request& request) const {
    if (!(request.flags & Request::flagIOSBuiltInDisplay)) return request;
    const auto& active = streamControl.activeVideoCaptureRequest;
    const int width = std::max(request.pixelWidth, active.pixelWidth);
    const int height = std::max(request.pixelHeight, active.pixelHeight);
    const double s = std::min({1920.0 / std::max(width, 1), 1080.0 / std::max(height, 1), 0.8});
    const int w = even(static_cast<int>(std::lround(width * s)));
    const int h = even(static_cast<int>(std::lround(height * s)));

    Request out = request;
    if (request.pixelWidth < w || request.pixelHeight < h) {
        out.mode = VideoCaptureMode::physical1080;
        out.bitrate = kMotionBitrate;
        out.pixelWidth = w;
        out.pixelHeight = h;
        out.flags |= kRaisedFlag;
        out.controlIntent = 0;
        return out;
    }
    if (out.bitrate != kMotionBitrate) {
        out.bitrate = kMotionBitrate;
        out.controlIntent = 0;
    }
    const auto [pw, ph] = motionStreamEncodedPixels(request);
    if (pw != out.pixelWidth || ph != out.pixelHeight) {
        out.pixelWidth = pw;
        out.pixelHeight = ph;
        out.controlIntent = 0;
    }
    return out;
}

bool V230HostAudioAuxServer::motionStreamNeedsSupersampledUpgrade(const Request& request) const {
    const auto& sc = streamControl;
    if (!sc.motionStreamCapture || !(request.flags & Request::flagSupersampled)) return false;
    if (!sc.lastMotionStreamVideoConfig) return true;
    const auto [w, h] = motionStreamEncodedPixels(request);
    const auto& config = *sc.lastMotionStreamVideoConfig;
    return !(static_cast<int>(config.width) == w && static_cast<int>(config.height) == h &&
             config.chromaMode == request.chromaMode);
}

bool V230HostAudioAuxServer::isMotionStreamDiagnosticNotice(const std::string& message) {
    for (const char* prefix : {"stream-start:", "capture frame geometry:", "capture canvas mismatch:",
                               "capture canvas changed:", "hidpi source not ready:", "encoder active:",
                               "encoder output size mismatch"}) {
        if (hasPrefix(message, prefix)) return true;
    }
    if (contains(message, "unavailable for ScreenCaptureKit")) return true;
    return contains(message, "(OSStatus ") && (contains(message, "; retrying ") || contains(message, "; falling back to "));
}

void V230HostAudioAuxServer::ensureMotionStream(const std::string& reason) {
    queue.dispatchPrecondition();
    auto& sc = streamControl;
    if (!HostHardware::isAppleSilicon() || sc.motionStreamCapture || sc.motionStreamStartInFlight ||
        screensAreSleeping || sc.isPaused || sc.motionStreamStartAttempts >= kMaxStartAttempts ||
        motionStreamSubscribers().empty()) {
        return;
    }
    if (screenSharingCaptureDisplayID != 0 && !usablePhysicalDisplayID() && startupPhysicalDisplayID == 0 &&
        !screensAreSleeping && !isPreflightingHeadlessCaptureForSleep && !sleepPreflightPhysicalCaptureRequest) {
        publish("Motion stream: deferring until the viewer session takes over the topology (" + reason + ")");
        return;
    }
    uint32_t displayID = sc.activeVideoCaptureDisplayID;
    if (displayID == 0) {
        displayID = useHeadlessVirtualDisplay ? HeadlessVirtualDisplay::shared().stateSnapshot().displayID
                                              : (physicalDisplayID != 0 ? physicalDisplayID : selectedDisplayID);
    }
    if (displayID == 0) return;

    const Request request = motionStreamEncodedRequest(preferredMotionStreamBaseRequest());
    sc.motionStreamRequest = request;
    auto profile = VideoStreamProfile::forDisplay(displayID, request, true, std::nullopt);
    profile.keyframeIntervalSeconds = 4;
    profile.burstBitrateRatio = 1.2;
    profile.burstWindowSeconds = 2;

    ++sc.motionStreamStartAttempts;
    sc.motionStreamStartInFlight = true;
    const uint64_t generation = ++sc.motionStreamCaptureGeneration;
    publish("Motion stream: opening " + request.summary() + " display=" + std::to_string(displayID) + " (" + reason +
            ")");

    auto capture = HostVideoCapture::create(displayID, profile, profile, false, false);
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    // Runs `work` on the server queue while the server lives and the
    // capture is still the current Motion capture.
    auto onCurrent = [weak, q = queue, generation](auto work) {
        q.async([weak, generation, work = std::move(work)] {
            auto self = weak.lock();
            if (self && self->streamControl.motionStreamCaptureGeneration == generation) work(*self);
        });
    };
    capture->checkNetworkCongestion = [weak] {
        auto self = weak.lock();
        return self && self->streamControl.motionStreamEncodeBlocked.value() != 0;
    };
    capture->onStarted = [onCurrent, title = profile.title(), displayID] {
        onCurrent([title, displayID](V230HostAudioAuxServer& s) {
            s.streamControl.motionStreamStartInFlight = false;
            s.streamControl.motionStreamStartAttempts = 0;
            s.publish("Motion stream started " + title + " display=" + std::to_string(displayID));
            s.attachMotionStreamSubscribers("stream started");
        });
    };
    capture->onConfig = [weak, q = queue, generation, request, displayID](const VideoStreamConfigPayload& config) {
        q.async([weak, generation, request, displayID, config] {
            if (auto self = weak.lock()) self->acceptMotionStreamConfig(config, generation, request, displayID);
        });
    };
    capture->onFrame = [weak, generation, producer = capture.get()](std::span<const uint8_t> bytes, bool isKeyFrame,
                                                                    uint64_t timestampNs) {
        // The hand-over records the enqueue cadence, once per frame.
        if (auto self = weak.lock())
            self->broadcastVideoFrame(bytes, isKeyFrame, timestampNs, generation, HostVideoStreamKind::motionStream,
                                      &producer->forceKeyFrameRequested);
    };
    capture->onCapturedFrame = [onCurrent, generation] {
        onCurrent([generation](V230HostAudioAuxServer& s) { s.recordMotionStreamCapturedFrame(generation); });
    };
    capture->onCapturedIdleFrame = [onCurrent, generation] {
        onCurrent([generation](V230HostAudioAuxServer& s) { s.recordMotionStreamCapturedIdleFrame(generation); });
    };
    capture->onError = [onCurrent](const std::string& message) {
        onCurrent([message](V230HostAudioAuxServer& s) {
            if (isMotionStreamDiagnosticNotice(message)) {
                s.publish("aux Motion stream: " + message);
                return;
            }
            s.publish("Motion stream error: " + message + "; subscribers stay on the shared capture");
            s.broadcastHostError("video: dedicated stream unavailable; using the shared capture");
            s.stopMotionStream("capture error", false);
        });
    };
    capture->onRecordingFrame = [weak](const std::shared_ptr<platform::PixelBuffer>&, uint64_t timestampNs) {
        auto self = weak.lock();
        if (self && CadenceProbe::requested()) self->streamControl.cadenceDebugMotionCapture.record(timestampNs);
    };

    sc.motionStreamCapture = capture;
    reconcileSharedCanvasMotionBudget("Motion stream opened");
    capture->start();
}

void V230HostAudioAuxServer::acceptMotionStreamConfig(const VideoStreamConfigPayload& config, uint64_t generation,
                                                      const Request& request, uint32_t displayID) {
    queue.dispatchPrecondition();
    (void)request;
    (void)displayID;
    auto& sc = streamControl;
    if (generation != sc.motionStreamCaptureGeneration) return;
    if (sc.acceptedMotionStreamConfig && sc.acceptedMotionStreamConfig->generation == generation &&
        sc.acceptedMotionStreamConfig->config == config) {
        return;
    }
    sc.acceptedMotionStreamConfig = StreamControlState::AcceptedConfig{generation, config};
    sc.lastMotionStreamVideoConfig = config;
    sc.motionStreamStartInFlight = false;
    publish("iOS motion stream config " + videoConfigText(config));
    attachMotionStreamSubscribers("config accepted");
}

void V230HostAudioAuxServer::attachMotionStreamSubscribers(const std::string& reason) {
    queue.dispatchPrecondition();
    auto& sc = streamControl;
    if (!sc.lastMotionStreamVideoConfig) return;
    int sent = 0;
    for (const UUID& id : motionStreamSubscribers()) {
        auto connection = videoSessions.find(id);
        if (connection == videoSessions.end()) continue;
        sendVideoStreamConfig(id, connection->second, *sc.lastMotionStreamVideoConfig, HostVideoStreamKind::motionStream);
        ++sent;
    }
    if (sent == 0) return;
    if (sc.motionStreamCapture) sc.motionStreamCapture->forceKeyFrameRequested.set(1);
    publish("Motion stream config sent to " + std::to_string(sent) + " subscriber(s) (" + reason + ")");
}

bool V230HostAudioAuxServer::sendMotionStreamConfig(const UUID& sessionID, const std::string& reason) {
    queue.dispatchPrecondition();
    auto& sc = streamControl;
    auto connection = videoSessions.find(sessionID);
    if (!sc.lastMotionStreamVideoConfig || connection == videoSessions.end()) return false;
    sendVideoStreamConfig(sessionID, connection->second, *sc.lastMotionStreamVideoConfig,
                          HostVideoStreamKind::motionStream);
    if (sc.motionStreamCapture) sc.motionStreamCapture->forceKeyFrameRequested.set(1);
    publish("Motion stream config sent to " + sessionID.id8() + " (" + reason + ")");
    return true;
}

void V230HostAudioAuxServer::stopMotionStream(const std::string& reason, bool resetAttempts) {
    queue.dispatchPrecondition();
    auto& sc = streamControl;
    // A close for good also calls off a pending reopen, which would
    // otherwise bring the stream back after it was released.
    if (resetAttempts && sc.motionStreamRestartTask) {
        sc.motionStreamRestartTask->cancel();
        sc.motionStreamRestartTask.reset();
    }
    if (!sc.motionStreamCapture) return;
    auto stopped = std::move(sc.motionStreamCapture);
    sc.motionStreamCapture.reset();
    ++sc.motionStreamCaptureGeneration;
    sc.acceptedMotionStreamConfig.reset();
    sc.lastMotionStreamVideoConfig.reset();
    sc.motionStreamStartInFlight = false;
    sc.motionStreamEncodeBlocked.set(0);
    if (resetAttempts) sc.motionStreamStartAttempts = 0;
    sc.motionStreamCaptureFrames = 0;
    sc.motionStreamIdleCaptureFrames = 0;
    sc.motionStreamFramesSent = 0;
    sc.motionStreamBytesSent = 0;
    if (sc.motionStreamIdleReleaseTask) sc.motionStreamIdleReleaseTask->cancel();
    sc.motionStreamIdleReleaseTask.reset();
    publish("Motion stream: closing (" + reason + ")");
    captureLifecycleQueue.async([stopped] { stopped->stop(true); });
    if (!motionStreamSubscribers().empty())
        resendCurrentVideoConfigIfAvailable("dedicated Motion stream closed: " + reason);
}

void V230HostAudioAuxServer::restartMotionStream(const std::string& reason, double afterSeconds) {
    queue.dispatchPrecondition();
    auto& sc = streamControl;
    if (!sc.motionStreamCapture) return;
    stopMotionStream(reason, true);
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    sc.motionStreamRestartTask = platform::makeWorkItem([weak, reason] {
        auto self = weak.lock();
        if (!self) return;
        self->streamControl.motionStreamRestartTask.reset();
        if (!self->screensAreSleeping && !self->streamControl.isPaused) self->ensureMotionStream(reason);
    });
    queue.asyncAfter(std::max(afterSeconds, kMinDelaySeconds), sc.motionStreamRestartTask);
}

void V230HostAudioAuxServer::scheduleMotionStreamIdleRelease(const std::string& reason, std::optional<double> delay) {
    queue.dispatchPrecondition();
    auto& sc = streamControl;
    if (!sc.motionStreamCapture) return;
    if (sc.motionStreamIdleReleaseTask) sc.motionStreamIdleReleaseTask->cancel();
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    sc.motionStreamIdleReleaseTask = platform::makeWorkItem([weak, reason] {
        auto self = weak.lock();
        if (!self) return;
        self->streamControl.motionStreamIdleReleaseTask.reset();
        if (!self->streamControl.motionStreamCapture || !self->motionStreamSubscribers().empty()) return;
        self->stopMotionStream(reason, true);
        self->reconcileSharedCanvasMotionBudget("Motion stream idle-released");
    });
    queue.asyncAfter(std::max(delay.value_or(kDefaultIdleReleaseSeconds), kMinDelaySeconds),
                     sc.motionStreamIdleReleaseTask);
}

void V230HostAudioAuxServer::reconcileSharedCanvasMotionBudget(const std::string& reason) {
    queue.dispatchPrecondition();
    auto& sc = streamControl;
    const VideoCaptureMode mode = sc.currentCaptureRequest.mode;
    const bool budgetMode = mode == VideoCaptureMode::easy || mode == VideoCaptureMode::pro || mode == VideoCaptureMode::max;
    const bool wanted = sc.motionStreamCapture && budgetMode;
    if (wanted == sc.sharedCanvasMotionBudgetApplied) return;
    sc.sharedCanvasMotionBudgetApplied = wanted;
    const std::string state =
        wanted ? "on (max " + std::to_string(mode == VideoCaptureMode::easy ? 2560 : 2880) + "px)" : "off";
    publish("video delivery: shared-canvas motion budget " + state + " (" + reason + ")");
    if (sc.videoCapture) restartVideoCapture(0.05);
}

void V230HostAudioAuxServer::updateMotionStreamGateLocked(uint64_t nowNs) {
    auto& sc = streamControl;
    if (!sc.motionStreamCapture) {
        sc.motionStreamEncodeBlocked.set(0);
        return;
    }
    const int window = sc.currentVideoCongestionWindow;
    int64_t total = 0, leastReady = 0;
    int subscribers = 0, ready = 0;
    for (const UUID& id : motionStreamSubscribers()) {
        auto entry = sc.videoSessionOutstandingAcks.find(id);
        const int64_t out = entry == sc.videoSessionOutstandingAcks.end() ? 0 : std::max(entry->second, 0);
        total += out;
        ++subscribers;
        if (videoSessionIsBackedUp(id, nowNs, window)) continue;
        leastReady = ready == 0 ? out : std::min(leastReady, out);
        ++ready;
    }
    const int64_t w = std::max(window, 1);
    const bool blocked = ready > 0 ? w < leastReady : subscribers > 0 && w * subscribers < total;
    sc.motionStreamEncodeBlocked.set(blocked ? 1 : 0);
}

void V230HostAudioAuxServer::recordMotionStreamCapturedFrame(uint64_t generation) {
    if (generation == streamControl.motionStreamCaptureGeneration) streamControl.motionStreamCaptureFrames++;
}

void V230HostAudioAuxServer::recordMotionStreamCapturedIdleFrame(uint64_t generation) {
    if (generation == streamControl.motionStreamCaptureGeneration) streamControl.motionStreamIdleCaptureFrames++;
}
