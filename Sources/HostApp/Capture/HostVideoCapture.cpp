#include "HostApp/Capture/HostVideoCapture.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <tuple>
#include <utility>

#include "HostApp/Display/HostDisplayModeSwitcher.h"
#include "Platform/Runtime/Clock.h"

using namespace platform;

namespace {

std::string sizeText(int width, int height) { return std::to_string(width) + "x" + std::to_string(height); }

std::string codecTitle(VideoStreamCodec codec) { return codec == VideoStreamCodec::hevc ? "HEVC" : "H264"; }

// The canvas for a frame: the frame's shape at the given long edge (up or
// down), each side even and at least 2.
std::pair<int, int> canvasForFrame(int width, int height, int longEdge) {
    const int64_t longer = std::max({width, height, 1});
    auto side = [&](int v) {
        return static_cast<int>(std::max<int64_t>(static_cast<int64_t>(v) * longEdge / longer, 2) & ~int64_t{1});
    };
    return {side(width), side(height)};
}

// A Wi-Fi route tolerates short bursts less well than a wire.
constexpr double kWiFiBurstBitrateRatio = 1.2;

}  // namespace

// ------------------------------------------------------------ readiness

SleepPreflightReadiness SleepPreflightReadinessCondition::value() const {
    std::lock_guard<std::mutex> guard(lock_);
    return value_;
}

void SleepPreflightReadinessCondition::set(SleepPreflightReadiness readiness) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        value_ = std::move(readiness);
    }
    changed_.signal();
}

SleepPreflightReadiness SleepPreflightReadinessCondition::waitWhilePending(double timeoutSeconds) {
    const uint64_t deadline = Clock::uptimeNs() + static_cast<uint64_t>(std::max(0.0, timeoutSeconds) * 1e9);
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (!value_.isPending()) return value_;
        }
        const uint64_t now = Clock::uptimeNs();
        if (now >= deadline) return value();
        // A signal left from an earlier change only costs one more look.
        changed_.wait(static_cast<double>(deadline - now) / 1e9);
    }
}

void HostRecordingSourceSize::set(int width, int height) {
    std::lock_guard<std::mutex> guard(lock_);
    size_ = CGSize{static_cast<double>(width), static_cast<double>(height)};
}

CGSize HostRecordingSourceSize::value() const {
    std::lock_guard<std::mutex> guard(lock_);
    return size_;
}

// ------------------------------------------------------------ construction

HostVideoCapture::Queues HostVideoCapture::Queues::make() {
    return Queues{DispatchQueue("v230.host.video.capture"), DispatchQueue("v230.host.video.lifecycle"),
                  DispatchQueue("v230.host.video.pacer")};
}

std::shared_ptr<HostVideoCapture> HostVideoCapture::create(uint32_t displayID, VideoStreamProfile requestedProfile,
                                                           VideoStreamProfile activeProfile, bool requireExactDisplay,
                                                           bool pacedDelivery, Queues queues) {
    return std::shared_ptr<HostVideoCapture>(new HostVideoCapture(displayID, std::move(requestedProfile),
                                                                  std::move(activeProfile), requireExactDisplay,
                                                                  pacedDelivery, std::move(queues)));
}

HostVideoCapture::HostVideoCapture(uint32_t id, VideoStreamProfile requested, VideoStreamProfile active, bool exact,
                                   bool paced, Queues q)
    : displayID(id),
      requestedProfile(std::move(requested)),
      activeProfile(std::move(active)),
      requireExactDisplay(exact),
      pacedDelivery(paced),
      queues(std::move(q)),
      fps_(std::clamp(activeProfile.fps, 1, VideoStreamProfile::maximumFps)),
      bitrate_(std::max<int64_t>(activeProfile.bitrate, 1)),
      capturedDisplayID_(id) {}

HostVideoCapture::~HostVideoCapture() = default;

std::optional<SCDisplay> HostVideoCapture::selectTargetDisplay(const std::vector<SCDisplay>& displays,
                                                               uint32_t displayID, bool requireExactDisplay) {
    if (displays.empty()) return std::nullopt;
    for (const auto& d : displays) {
        if (d.displayID == displayID) return d;
    }
    if (requireExactDisplay) return std::nullopt;
    const CGDirectDisplayID main = CGMainDisplayID();
    for (const auto& d : displays) {
        if (d.displayID == main) return d;
    }
    return displays.front();
}

std::string HostVideoCapture::displayList(const std::vector<SCDisplay>& displays) {
    std::string text;
    for (const auto& d : displays) {
        if (!text.empty()) text += ",";
        text += std::to_string(d.displayID);
    }
    return text;
}

std::shared_ptr<SCStream> HostVideoCapture::streamForTesting() const {
    std::lock_guard<std::mutex> guard(lock_);
    return stream_;
}

// ------------------------------------------------------------ start

void HostVideoCapture::start() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (started_) return;
        started_ = true;
    }
    auto self = shared_from_this();
    queues.lifecycle.async([self] { self->startStep(displayLookupRetries); });
}

void HostVideoCapture::startStep(int retriesLeft) {
    if (stopped_) return;
    auto content = SCShareableContent::current();
    if (!content) {
        reportStartFailure(content.error());
        return;
    }
    auto chosen = selectTargetDisplay(content->displays, displayID, requireExactDisplay);
    if (!chosen && requireExactDisplay && retriesLeft > 0) {
        // A display that was just created or reconfigured reaches the
        // shareable content a moment later.
        auto self = shared_from_this();
        queues.lifecycle.asyncAfter(displayLookupRetryDelaySeconds,
                                    [self, retriesLeft] { self->startStep(retriesLeft - 1); });
        return;
    }
    if (!chosen) {
        reportStartFailure("video target display " + std::to_string(displayID) +
                           " unavailable for ScreenCaptureKit. available=" + displayList(content->displays));
        return;
    }
    if (chosen->displayID != displayID) {
        notice("stream-start: video target display " + std::to_string(displayID) +
               " unavailable; using ScreenCaptureKit display " + std::to_string(chosen->displayID) +
               ". available=" + displayList(content->displays));
    }
    beginStream(*chosen);
}

void HostVideoCapture::beginStream(const SCDisplay& display) {
    SCStreamConfiguration configuration;  // the display's full backing size
    std::weak_ptr<HostVideoCapture> weak = weak_from_this();
    std::lock_guard<std::mutex> guard(lock_);
    if (stopped_) return;
    configuration.minimumFrameInterval = 1.0 / fps_;
    auto stream = SCStream::create(display, configuration);
    // The stream holds its handlers; they hold this object weakly so that
    // dropping the capture ends the stream.
    stream->setFrameHandler(framesQueue_, [weak](const SCCapturedFrame& frame) {
        if (auto self = weak.lock()) self->takeFrame(frame);
    });
    stream->onStoppedWithError = [weak](const std::string& error) {
        if (auto self = weak.lock(); self && !self->stopped_) self->notice("ScreenCaptureKit stream stopped: " + error);
    };
    stream_ = stream;
    capturedDisplayID_ = display.displayID;
    // Started under the lock, so that a concurrent stop() finds either no
    // stream or one whose start was already asked for.
    auto self = shared_from_this();
    stream->startCapture([self](const std::string& error) {
        if (self->stopped_) return;
        if (!error.empty()) {
            {
                std::lock_guard<std::mutex> g(self->lock_);
                self->stream_.reset();
            }
            self->reportStartFailure(error);
            return;
        }
        if (self->onStarted) self->onStarted();
    });
}

void HostVideoCapture::reportStartFailure(const std::string& message) {
    sleepPreflightReadinessCondition.set(SleepPreflightReadiness::failed());
    if (onError) onError(message);
}

void HostVideoCapture::notice(const std::string& text) {
    if (onError) onError(text);
}

// ------------------------------------------------------------ stop

void HostVideoCapture::stop(bool wait) {
    stopped_ = true;
    std::shared_ptr<SCStream> stream;
    {
        std::lock_guard<std::mutex> guard(lock_);
        stream = std::move(stream_);  // leaves stream_ empty
    }
    if (sleepPreflightReadinessCondition.value().isPending()) {
        sleepPreflightReadinessCondition.set(SleepPreflightReadiness::failed());
    }
    auto self = shared_from_this();

    if (stream) {
        struct StopState {
            std::mutex lock;
            bool finished = false;
            bool retained = false;
        };
        auto state = std::make_shared<StopState>();
        auto stopped = std::make_shared<DispatchSemaphore>(0);
        // The completion keeps the stream (and this object) alive until the
        // system has really ended it.
        stream->stopCapture([self, state, stopped, stream](const std::string&) {
            bool wasRetained;
            {
                std::lock_guard<std::mutex> g(state->lock);
                state->finished = true;
                wasRetained = state->retained;
            }
            if (wasRetained && self->onRetiredStreamRecovered) self->onRetiredStreamRecovered(self);
            stopped->signal();
        });
        auto retainIfStillRunning = [self, state] {
            {
                std::lock_guard<std::mutex> g(state->lock);
                if (state->finished || state->retained) return;
                state->retained = true;
            }
            if (self->onRetiredStreamRetained) self->onRetiredStreamRetained(self);
        };
        if (wait) {
            if (!stopped->wait(streamStopTimeoutSeconds)) retainIfStillRunning();
        } else {
            queues.lifecycle.asyncAfter(streamStopTimeoutSeconds, retainIfStillRunning);
        }
    }

    // The encoder belongs to the frame path; it lets go of it on its queue.
    auto released = std::make_shared<DispatchSemaphore>(0);
    queues.capture.async([self, released] {
        self->encoder_.reset();
        self->lastBuffer_.reset();
        {
            std::lock_guard<std::mutex> guard(self->waitingLock_);
            self->waitingFrame_.reset();
        }
        released->signal();
    });
    if (wait) released->wait(encoderStopTimeoutSeconds);
}

// ------------------------------------------------------------ steering

void HostVideoCapture::updateRateControl(int fps, int64_t bitrate) {
    fps = std::clamp(fps, 1, VideoStreamProfile::maximumFps);
    bitrate = std::max<int64_t>(bitrate, 1);
    std::shared_ptr<SCStream> stream;
    bool fpsChanged;
    {
        std::lock_guard<std::mutex> guard(lock_);
        fpsChanged = fps != fps_;
        fps_ = fps;
        bitrate_ = bitrate;
        pendingRateControl_ = std::make_pair(fps, bitrate);
        stream = stream_;
    }
    if (stream && fpsChanged) {
        SCStreamConfiguration configuration;
        configuration.minimumFrameInterval = 1.0 / fps;
        stream->updateConfiguration(configuration, nullptr);
    }
}

void HostVideoCapture::tightenBurstCeilingForWiFi() {
    auto self = shared_from_this();
    queues.lifecycle.async([self] {
        std::lock_guard<std::mutex> guard(self->lock_);
        self->wifiBurstCeiling_ = true;
    });
}

void HostVideoCapture::setViewportROI(std::optional<CGRect> roi) {
    if (roi && !(std::isfinite(roi->x) && std::isfinite(roi->y) && std::isfinite(roi->width) &&
                 std::isfinite(roi->height) && roi->width > 0 && roi->height > 0)) {
        roi.reset();
    }
    std::lock_guard<std::mutex> guard(viewportROILock);
    viewportROI_ = roi;
}

std::optional<CGRect> HostVideoCapture::viewportROINormalized() const {
    std::lock_guard<std::mutex> guard(viewportROILock);
    return viewportROI_;
}

HostVideoCapture::PixelRect HostVideoCapture::cropRectangle(const CGRect& roi, int frameWidth, int frameHeight) {
    const int w = std::max(frameWidth, 0), h = std::max(frameHeight, 0);
    if (!(std::isfinite(roi.x) && std::isfinite(roi.y) && std::isfinite(roi.width) && std::isfinite(roi.height))) {
        return {0, 0, w, h};
    }
    auto unit = [](double v) { return std::clamp(v, 0.0, 1.0); };
    // One axis: [begin, end) in pixels, inside [0, size), at least `minimum`.
    auto span = [](double from, double to, int size) {
        int begin = std::clamp(static_cast<int>(std::floor(from * size)), 0, size);
        int end = std::clamp(static_cast<int>(std::ceil(to * size)), 0, size);
        const int minimum = std::min(2, size);
        if (end - begin < minimum) {
            end = std::min(size, begin + minimum);
            begin = std::max(0, end - minimum);
        }
        return std::make_pair(begin, end);
    };
    const auto [left, right] = span(unit(roi.x), unit(roi.x + roi.width), w);
    // The viewport's origin is at the bottom left, the frame's rows run down.
    const auto [top, bottom] = span(1.0 - unit(roi.y + roi.height), 1.0 - unit(roi.y), h);
    return {left, top, right - left, bottom - top};
}

// ------------------------------------------------------------ frame path

VideoEncoderSettings HostVideoCapture::encoderSettings(int canvasWidth, int canvasHeight) const {
    VideoEncoderSettings s;
    s.codec = activeProfile.codec == VideoStreamCodec::h264 ? VideoCodec::h264 : VideoCodec::hevc;
    s.chroma = activeProfile.chromaMode == VideoChromaMode::yuv444 ? ChromaSubsampling::yuv444
                                                                   : ChromaSubsampling::yuv420;
    s.width = canvasWidth;
    s.height = canvasHeight;
    s.keyframeIntervalSeconds = std::max(1, activeProfile.keyframeIntervalSeconds);
    s.burstWindowSeconds = std::max(1, activeProfile.burstWindowSeconds);
    s.burstBitrateRatio = std::max(1.0, activeProfile.burstBitrateRatio);
    std::lock_guard<std::mutex> guard(lock_);
    s.fps = fps_;
    s.bitrate = bitrate_;
    if (wifiBurstCeiling_) s.burstBitrateRatio = std::min(s.burstBitrateRatio, kWiFiBurstBitrateRatio);
    return s;
}

void HostVideoCapture::takeFrame(const SCCapturedFrame& frame) {
    if (stopped_) return;
    noteCapturedFrame(frame);
    const bool picture = frame.status == SCFrameStatus::complete && frame.buffer;
    bool schedule;
    {
        std::lock_guard<std::mutex> guard(waitingLock_);
        // A newer picture replaces one still waiting; a report without a
        // picture never does.
        if (picture || !waitingFrame_) waitingFrame_ = frame;
        schedule = !std::exchange(waitingFrameScheduled_, true);
    }
    if (!schedule) return;
    std::weak_ptr<HostVideoCapture> weak = weak_from_this();
    queues.capture.async([weak] {
        if (auto self = weak.lock()) self->encodeWaitingFrame();
    });
}

void HostVideoCapture::noteCapturedFrame(const SCCapturedFrame& frame) {
    if (frame.status == SCFrameStatus::idle) {
        if (onCapturedIdleFrame) onCapturedIdleFrame();
        return;
    }
    if (frame.status != SCFrameStatus::complete || !frame.buffer) return;
    if (onCapturedFrame) onCapturedFrame();
    if (onRecordingFrame) onRecordingFrame(frame.buffer, frame.timestampNs);
}

void HostVideoCapture::encodeWaitingFrame() {
    std::optional<SCCapturedFrame> frame;
    {
        std::lock_guard<std::mutex> guard(waitingLock_);
        frame = std::exchange(waitingFrame_, std::nullopt);
        waitingFrameScheduled_ = false;
    }
    if (frame) handleFrame(*frame);
}

void HostVideoCapture::handleFrame(const SCCapturedFrame& frame) {
    if (stopped_) return;
    if (frame.status == SCFrameStatus::idle) {
        // A still picture sends no complete frames; a Viewer that asks for a
        // key frame meanwhile gets the last picture again.
        if (!lastBuffer_ || !encoder_ || forceKeyFrameRequested.value() == 0) return;
        if (!readyToEncode()) return;
        forceKeyFrameRequested.readAndClear();
        encodeAndDeliver(*lastBuffer_, frame.timestampNs, true);
        return;
    }
    if (frame.status != SCFrameStatus::complete || !frame.buffer) return;
    const auto& buffer = frame.buffer;
    if (!matchEncoderToFrame(buffer->width(), buffer->height())) return;
    lastBuffer_ = buffer;
    if (!readyToEncode()) return;
    const bool keyFrame = forceKeyFrameRequested.readAndClear() != 0;
    encodeAndDeliver(*buffer, frame.timestampNs, keyFrame);
}

bool HostVideoCapture::readyToEncode() {
    applyPendingRateControl();
    if (!encoder_) return false;
    const bool congested = checkNetworkCongestion && checkNetworkCongestion();
    if (onSample) onSample(!congested);
    return !congested;
}

bool HostVideoCapture::matchEncoderToFrame(int width, int height) {
    if (width == frameWidth_ && height == frameHeight_) return encoder_ != nullptr || retryEncoderBuild();
    const bool first = frameWidth_ == 0;
    frameWidth_ = width;
    frameHeight_ = height;
    uint32_t display;
    {
        std::lock_guard<std::mutex> guard(lock_);
        display = capturedDisplayID_;
    }
    auto reportLayout = [&] {
        if (!onDisplayLayout) return;
        if (auto layout = HostDisplayModeSwitcher::displayLayout(display)) onDisplayLayout(*layout);
    };
    int canvasWidth = activeProfile.width, canvasHeight = activeProfile.height;
    if (first) {
        notice("capture frame geometry: " + sizeText(width, height) + " display=" + std::to_string(display) +
               " encoded=" + sizeText(canvasWidth, canvasHeight));
        const double frameAspect = static_cast<double>(width) / height;
        const double canvasAspect = static_cast<double>(canvasWidth) / std::max(canvasHeight, 1);
        if (std::fabs(frameAspect - canvasAspect) > 0.02) {
            notice("capture canvas mismatch: frame " + sizeText(width, height) + " encoded " +
                   sizeText(canvasWidth, canvasHeight));
        }
        const auto& wanted = activeProfile.requestedResolution;
        if (wanted.hiDPI && (width < wanted.pixelWidth || height < wanted.pixelHeight)) {
            notice("hidpi source not ready: frame " + sizeText(width, height) + " below backing " +
                   sizeText(wanted.pixelWidth, wanted.pixelHeight));
        }
    } else {
        // The canvas keeps its long edge and follows the frame's new shape.
        std::tie(canvasWidth, canvasHeight) =
            canvasForFrame(width, height, std::max(activeProfile.width, activeProfile.height));
        if (encoder_ && canvasWidth == canvasWidth_ && canvasHeight == canvasHeight_) {
            // Same canvas: the encoder's scaler adapts to the new source size.
            reportLayout();
            return true;
        }
        notice("capture canvas changed: " + sizeText(canvasWidth, canvasHeight));
    }
    reportLayout();
    return buildEncoder(canvasWidth, canvasHeight);
}

bool HostVideoCapture::buildEncoder(int canvasWidth, int canvasHeight) {
    encoder_.reset();
    wantedCanvasWidth_ = canvasWidth;
    wantedCanvasHeight_ = canvasHeight;
    const auto settings = encoderSettings(canvasWidth, canvasHeight);
    auto created = encoderFactoryForTesting ? encoderFactoryForTesting(settings) : VideoEncoder::create(settings);
    if (!created) return encoderBuildFailed(created.error());
    encoder_ = std::move(*created);
    canvasWidth_ = canvasWidth;
    canvasHeight_ = canvasHeight;
    return announceConfig();
}

bool HostVideoCapture::retryEncoderBuild() {
    if (wantedCanvasWidth_ == 0 || ++framesSinceBuildFailure_ < buildRetryGapFrames_) return false;
    return buildEncoder(wantedCanvasWidth_, wantedCanvasHeight_);
}

bool HostVideoCapture::encoderBuildFailed(const std::string& error) {
    encoder_.reset();
    if (sleepPreflightReadinessCondition.value().isPending()) {
        sleepPreflightReadinessCondition.set(SleepPreflightReadiness::failed());
    }
    // Each later attempt waits twice as many frames as the one before, so a
    // lasting failure costs about one build a second, and a passing one
    // only a few frames.
    buildRetryGapFrames_ = std::min(std::max(1, buildRetryGapFrames_ * 2), maxBuildRetryGapFrames);
    framesSinceBuildFailure_ = 0;
    if (reportedBuildErrors_.insert(error).second && onError) onError(error);
    return false;
}

bool HostVideoCapture::announceConfig() {
    const auto& s = encoder_->settings();
    const auto& sets = encoder_->parameterSets();
    for (const auto* set : {&sets.vps, &sets.sps, &sets.pps}) {
        // A configuration would carry it cut short, and no Viewer could
        // decode the stream: no configuration, no frames.
        if (set->size() > VideoStreamConfigPayload::maxParameterSetSize) {
            return encoderBuildFailed("video encoder: a parameter set of " + std::to_string(set->size()) +
                                      " bytes is longer than a stream configuration carries");
        }
    }
    buildRetryGapFrames_ = 0;
    reportedBuildErrors_.clear();
    announcedBuild_ = encoder_->buildNumber();
    notice("encoder active: " + codecTitle(activeProfile.codec) + " " + sizeText(s.width, s.height) + " " +
           std::to_string(s.fps) + "fps " + std::to_string(s.bitrate) + " encoder=" + encoder_->encoderName());
    VideoStreamConfigPayload config;
    config.mode = activeProfile.mode;
    config.codec = activeProfile.codec;
    config.chromaMode = activeProfile.chromaMode;
    config.width = static_cast<uint32_t>(s.width);
    config.height = static_cast<uint32_t>(s.height);
    config.fps = static_cast<uint16_t>(std::min(s.fps, 0xFFFF));
    config.bitrate = static_cast<uint32_t>(std::min<int64_t>(s.bitrate, std::numeric_limits<uint32_t>::max()));
    config.vps = sets.vps;
    config.sps = sets.sps;
    config.pps = sets.pps;
    if (sleepPreflightReadinessCondition.value().isPending()) {
        sleepPreflightReadinessCondition.set(SleepPreflightReadiness::ready(config));
    }
    if (onConfig) onConfig(config);
    return true;
}

void HostVideoCapture::applyPendingRateControl() {
    std::optional<std::pair<int, int64_t>> rate;
    bool wifi;
    {
        std::lock_guard<std::mutex> guard(lock_);
        rate = std::exchange(pendingRateControl_, std::nullopt);
        wifi = wifiBurstCeiling_;
    }
    if (!encoder_) return;  // the next build takes the current values
    Result<RateControlChange> change = RateControlChange::unchanged;
    if (rate) change = encoder_->updateRateControl(rate->first, rate->second);
    if (change && wifi && encoder_->settings().burstBitrateRatio > kWiFiBurstBitrateRatio) {
        change = encoder_->setBurstBitrateRatio(kWiFiBurstBitrateRatio);
    }
    if (!change) {
        // A failed rebuild leaves no usable encoder; later frames try again.
        encoderBuildFailed(change.error());
        return;
    }
    if (encoder_->buildNumber() != announcedBuild_) announceConfig();
}

void HostVideoCapture::encodeAndDeliver(const PixelBuffer& buffer, uint64_t timestampNs, bool forceKeyFrame) {
    const uint64_t arrivedNs = Clock::uptimeNs();
    encodePicture(buffer, timestampNs, forceKeyFrame);
    const uint64_t serial = ++pictureSerial_;
    if (!encoder_) return;
    const int held = encoder_->framesInFlight();
    if (held == 0) return;
    if (forceKeyFrame) {
        // A Viewer waiting for a key frame gets it now, not frames later.
        pushOutHeldFrames(buffer, held);
        return;
    }
    // The encoder holds the latest pictures' frames until it gets more
    // pictures; if the screen has stopped changing, none come, so the same
    // picture is fed again, once per held frame, when the next picture is
    // overdue. Those repeats code as near-empty frames and are never
    // repeated.
    armHeldFrameRepeat(serial, held, arrivedNs);
}

void HostVideoCapture::armHeldFrameRepeat(uint64_t serial, int held, uint64_t fromNs) {
    int fps;
    {
        std::lock_guard<std::mutex> guard(lock_);
        fps = fps_;
    }
    const auto dueNs = fromNs + static_cast<uint64_t>(heldFrameRepeatDelayFrames * 1e9 / fps);
    const uint64_t now = Clock::uptimeNs();
    std::weak_ptr<HostVideoCapture> weak = weak_from_this();
    queues.capture.asyncAfter(dueNs > now ? static_cast<double>(dueNs - now) / 1e9 : 0.0, [weak, serial, held] {
        auto self = weak.lock();
        if (!self || self->stopped_ || serial != self->pictureSerial_ || !self->lastBuffer_) return;
        // A congested network takes no frames now; the held ones wait for
        // it, and are not forgotten when the screen stays still meanwhile.
        if (self->checkNetworkCongestion && self->checkNetworkCongestion()) {
            self->armHeldFrameRepeat(serial, held, Clock::uptimeNs());
            return;
        }
        self->pushOutHeldFrames(*self->lastBuffer_, held);
    });
}

void HostVideoCapture::pushOutHeldFrames(const PixelBuffer& buffer, int held) {
    for (int i = 0; i < held && encoder_ && encoder_->framesInFlight() > 0; ++i) {
        encodePicture(buffer, Clock::uptimeNs(), false, true);
    }
}

void HostVideoCapture::encodePicture(const PixelBuffer& buffer, uint64_t timestampNs, bool forceKeyFrame,
                                     bool repeat) {
    BGRAImage image{buffer.data(), buffer.width(), buffer.height(), buffer.bytesPerRow()};
    if (auto roi = viewportROINormalized()) {
        // Worked out from this frame's own size, so a viewport set for an
        // earlier, larger frame can never reach past this one.
        const PixelRect r = cropRectangle(*roi, buffer.width(), buffer.height());
        image.pixels = buffer.data() + static_cast<size_t>(r.y) * static_cast<size_t>(buffer.bytesPerRow()) +
                       static_cast<size_t>(r.x) * 4;
        image.width = r.width;
        image.height = r.height;
    }
    auto encoded = encoder_->encode(image, timestampNs, forceKeyFrame, repeat);
    if (!encoded) {
        if (onError) onError(encoded.error());
        return;
    }
    if (encoder_->buildNumber() != announcedBuild_) {
        // The hardware gave up and software took over inside this call: its
        // parameter sets go out before its first (key) frame.
        if (const auto& failure = encoder_->hardwareFailure(); failure && !hardwareFailureReported_) {
            hardwareFailureReported_ = true;
            notice(*failure + "; falling back to " + encoder_->encoderName());
        }
        if (!announceConfig()) return;
    }
    if (!*encoded) return;
    const EncodedVideoFrame& frame = **encoded;
    if (pacedDelivery) {
        deliverPaced(frame.data, frame.isKeyFrame, frame.presentationTimeNs);
    } else if (onFrame) {
        onFrame(frame.data, frame.isKeyFrame, frame.presentationTimeNs);
    }
}

void HostVideoCapture::deliverPaced(std::span<const uint8_t> bytes, bool isKeyFrame, uint64_t timestampNs) {
    // Frames leave at most one frame interval apart, smoothing the bursts of
    // a stalled capture; the encoder's buffer is reused, so the bytes travel
    // as a copy.
    int fps;
    {
        std::lock_guard<std::mutex> guard(lock_);
        fps = fps_;
    }
    const uint64_t interval = 1'000'000'000ull / static_cast<uint64_t>(fps);
    const uint64_t now = Clock::uptimeNs();
    const uint64_t slot = lastPacedDeliveryNs_ == 0 ? now : std::max(now, lastPacedDeliveryNs_ + interval);
    lastPacedDeliveryNs_ = slot;
    auto copy = std::make_shared<std::vector<uint8_t>>(bytes.begin(), bytes.end());
    auto self = shared_from_this();
    queues.pacer.asyncAfter(static_cast<double>(slot - now) / 1e9, [self, copy, isKeyFrame, timestampNs] {
        if (!self->stopped_ && self->onFrame) self->onFrame(*copy, isKeyFrame, timestampNs);
    });
}
