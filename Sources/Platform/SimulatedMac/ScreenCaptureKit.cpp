#include "Platform/SimulatedMac/ScreenCaptureKit.h"

#include <algorithm>

#include "Platform/Runtime/Clock.h"
#include "Platform/Runtime/Log.h"
#include "Platform/SimulatedMac/PermissionPrompts.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"
#include "Platform/SimulatedMac/SimulatedSystemAudio.h"

namespace platform {

namespace {
SimulatedScreenCapture& controls() { return SimulatedMachine::current().component<SimulatedScreenCapture>(); }

inline void backgroundPixel(uint8_t* p, int x, int y, int w, int h) {
    p[0] = static_cast<uint8_t>((x * 255) / std::max(1, w - 1));  // B
    p[1] = static_cast<uint8_t>((y * 255) / std::max(1, h - 1));  // G
    p[2] = 96;                                                     // R
    p[3] = 255;
}

int squareSide(const PixelBuffer& b) { return std::max(8, std::min(b.width(), b.height()) / 10); }

int squareX(const PixelBuffer& b, int64_t position) {
    int side = squareSide(b);
    int span = std::max(1, b.width() - side);
    int64_t x = (position * 8) % (2 * span);
    return static_cast<int>(x < span ? x : 2 * span - x);  // back and forth
}
}  // namespace

bool CGPreflightScreenCaptureAccess() {
    return SimulatedMachine::current().permissionGranted(Permission::screenRecording);
}

bool CGRequestScreenCaptureAccess() {
    controls().noteScreenCaptureAccessRequest();
    Log::raw("[SimulatedMachine] screen capture access requested");
    return SimulatedMachine::current().component<SimulatedPermissionPrompts>().request(Permission::screenRecording);
}

Result<SCShareableContent> SCShareableContent::current() {
    controls().noteShareableContentFetch();
    if (!SimulatedMachine::current().permissionGranted(Permission::screenRecording))
        return Failure{"The user declined TCCs for application, window, display capture"};
    SCShareableContent content;
    std::vector<CGDirectDisplayID> ids;
    if (CGGetActiveDisplayList(ids) != kCGErrorSuccess) return Failure{"display list unavailable"};
    for (auto id : ids) {
        auto mode = CGDisplayCopyDisplayMode(id);
        CGRect bounds = CGDisplayBounds(id);
        SCDisplay d;
        d.displayID = id;
        d.width = static_cast<int>(bounds.width);
        d.height = static_cast<int>(bounds.height);
        d.frame = bounds;
        d.pixelWidth = mode && mode->pixelWidth > 0 ? mode->pixelWidth : d.width;
        d.pixelHeight = mode && mode->pixelHeight > 0 ? mode->pixelHeight : d.height;
        content.displays.push_back(d);
    }
    return content;
}

std::shared_ptr<SCStream> SCStream::create(SCDisplay display, SCStreamConfiguration configuration) {
    return std::shared_ptr<SCStream>(new SCStream(display, configuration));
}

SCStream::SCStream(SCDisplay display, SCStreamConfiguration configuration)
    : display_(display), configuration_(configuration) {}

SCStream::~SCStream() {
    if (timer_) timer_->cancel();
}

void SCStream::setFrameHandler(DispatchQueue queue, std::function<void(const SCCapturedFrame&)> handler) {
    std::lock_guard<std::mutex> g(lock_);
    queue_ = queue;
    handler_ = std::move(handler);
}

bool SCStream::isRunning() const {
    std::lock_guard<std::mutex> g(lock_);
    return running_;
}

uint64_t SCStream::framesDelivered() const {
    std::lock_guard<std::mutex> g(lock_);
    return delivered_;
}

void SCStream::startCapture(std::function<void(const std::string&)> completion) {
    DispatchQueue queue = [&] {
        std::lock_guard<std::mutex> g(lock_);
        if (!queue_) queue_ = DispatchQueue("v230.sck.stream");
        return *queue_;
    }();
    const double delay = controls().startDelay();
    if (delay > 0) {
        auto self = shared_from_this();
        queue.asyncAfter(delay, [self, queue, completion = std::move(completion)]() mutable {
            self->startNow(queue, std::move(completion));
        });
        return;
    }
    startNow(queue, std::move(completion));
}

void SCStream::startNow(DispatchQueue queue, std::function<void(const std::string&)> completion) {
    std::unique_lock<std::mutex> lock(lock_);
    std::string error;
    if (auto injected = controls().startError(display_.displayID)) {
        error = *injected;
    } else if (!CGDisplayIsActive(display_.displayID)) {
        error = "display " + std::to_string(display_.displayID) + " is not available";
    } else if (running_) {
        error = "stream already running";
    }
    bool startedAudio = false;
    if (error.empty()) {
        running_ = true;
        startFrameTimerLocked(queue);
        if (configuration_.capturesAudio && audioHandler_) {
            std::weak_ptr<SCStream> weak = shared_from_this();
            const auto format = SimulatedMachine::current().component<SimulatedSystemAudio>().format();
            audioRate_ = std::max<int64_t>(1, static_cast<int64_t>(format.sampleRate));
            audioBlockFrames_ = std::max<uint32_t>(1, format.framesPerBlock);
            // The first block starts with the sample playing now.
            nextAudioSample_ =
                static_cast<int64_t>(static_cast<unsigned __int128>(Clock::uptimeNs()) * audioRate_ / 1000000000u);
            // A tick a microsecond after each block's end, so that a tick
            // never comes just short of the block it is for.
            audioTimer_ = std::make_unique<DispatchTimer>(
                *audioQueue_, static_cast<double>(audioBlockFrames_) / static_cast<double>(audioRate_) + 1e-6, [weak] {
                    if (auto self = weak.lock()) self->pumpAudio();
                });
            audioTimer_->resume();
            startedAudio = true;
        }
        controls().noteStarted();
    }
    lock.unlock();
    if (startedAudio) SimulatedMachine::current().component<SimulatedSystemAudio>().noteStreamStarted(shared_from_this());
    queue.async([completion = std::move(completion), error] {
        if (completion) completion(error);
    });
}

Status SCStream::addStreamOutput(SCStreamOutputType type, DispatchQueue queue, SampleHandler handler) {
    if (auto injected = controls().addStreamOutputError(type)) return Failure{*injected};
    std::lock_guard<std::mutex> g(lock_);
    if (type == SCStreamOutputType::audio) {
        if (audioHandler_) return Failure{"audio output already added"};
        audioQueue_ = queue;
        audioHandler_ = std::move(handler);
        return success();
    }
    if (hasScreenOutput_) return Failure{"screen output already added"};
    hasScreenOutput_ = true;
    queue_ = queue;
    handler_ = [handler = std::move(handler)](const SCCapturedFrame& frame) {
        CMSampleBuffer sample;
        sample.presentationTimeStamp = CMTime::make(static_cast<int64_t>(frame.timestampNs), 1000000000);
        sample.imageBuffer = frame.buffer;
        handler(sample, SCStreamOutputType::screen);
    };
    return success();
}

Status SCStream::removeStreamOutput(SCStreamOutputType type) {
    std::lock_guard<std::mutex> g(lock_);
    if (type == SCStreamOutputType::audio) {
        if (!audioHandler_) return Failure{"audio output not found"};
        audioHandler_ = nullptr;
        if (audioTimer_) audioTimer_->cancel();
        return success();
    }
    if (!hasScreenOutput_) return Failure{"screen output not found"};
    hasScreenOutput_ = false;
    handler_ = nullptr;
    return success();
}

void SCStream::pumpAudio() {
    auto& systemAudio = SimulatedMachine::current().component<SimulatedSystemAudio>();
    for (;;) {
        std::unique_lock<std::mutex> lock(lock_);
        if (!running_ || !audioHandler_) return;
        const int64_t nowSample =
            static_cast<int64_t>(static_cast<unsigned __int128>(Clock::uptimeNs()) * audioRate_ / 1000000000u);
        if (nextAudioSample_ + audioBlockFrames_ > nowSample) return;
        const int64_t first = nextAudioSample_;
        nextAudioSample_ += audioBlockFrames_;
        auto handler = audioHandler_;
        const uint32_t frames = audioBlockFrames_;
        lock.unlock();
        handler(systemAudio.makeBlock(first, frames), SCStreamOutputType::audio);
    }
}

void SCStream::stopBySystem(const std::string& error) {
    std::unique_lock<std::mutex> lock(lock_);
    if (!running_) return;
    running_ = false;
    if (timer_) timer_->cancel();
    if (audioTimer_) audioTimer_->cancel();
    DispatchQueue queue = queue_ ? *queue_ : DispatchQueue("v230.sck.stream");
    lock.unlock();
    std::weak_ptr<SCStream> weak = shared_from_this();
    queue.async([weak, error] {
        auto self = weak.lock();
        if (self && self->onStoppedWithError) self->onStoppedWithError(error);
    });
}

void SCStream::stopCapture(std::function<void(const std::string&)> completion) {
    std::unique_lock<std::mutex> lock(lock_);
    DispatchQueue queue = queue_ ? *queue_ : DispatchQueue("v230.sck.stream");
    if (timer_) timer_->cancel();
    if (audioTimer_) audioTimer_->cancel();
    if (!running_) {
        lock.unlock();
        queue.async([completion = std::move(completion)] {
            if (completion) completion("stream is not running");
        });
        return;
    }
    if (controls().ignoresStop(display_.displayID)) {
        // The system sits on the request: no more frames, and no answer
        // until the test lets the stream end.
        pendingStop_ = std::move(completion);
        lock.unlock();
        controls().noteIgnoredStop(shared_from_this());
        return;
    }
    running_ = false;
    lock.unlock();
    queue.async([completion = std::move(completion)] {
        if (completion) completion("");
    });
}

void SCStream::finishIgnoredStop() {
    std::unique_lock<std::mutex> lock(lock_);
    if (!pendingStop_) return;
    auto completion = std::move(pendingStop_);
    pendingStop_ = nullptr;
    running_ = false;
    DispatchQueue queue = *queue_;
    lock.unlock();
    queue.async([completion = std::move(completion)] { completion(""); });
}

void SCStream::updateConfiguration(SCStreamConfiguration configuration,
                                   std::function<void(const std::string&)> completion) {
    std::unique_lock<std::mutex> lock(lock_);
    bool intervalChanged = configuration.minimumFrameInterval != configuration_.minimumFrameInterval;
    configuration_ = configuration;
    DispatchQueue queue = queue_ ? *queue_ : DispatchQueue("v230.sck.stream");
    if (running_ && intervalChanged) {
        if (timer_) timer_->cancel();
        startFrameTimerLocked(queue);
    }
    lock.unlock();
    queue.async([completion = std::move(completion)] {
        if (completion) completion("");
    });
}

void SCStream::renderInto(PixelBuffer& b, int64_t position) {
    const int w = b.width(), h = b.height(), side = squareSide(b);
    const int y0 = (h - side) / 2;
    auto paintRect = [&](int x0, bool square) {
        for (int y = y0; y < std::min(h, y0 + side); ++y) {
            uint8_t* row = b.data() + static_cast<size_t>(y) * b.bytesPerRow();
            for (int x = x0; x < std::min(w, x0 + side); ++x) {
                uint8_t* p = row + x * 4;
                if (square) {
                    p[0] = 255, p[1] = 255, p[2] = 255, p[3] = 255;
                } else {
                    backgroundPixel(p, x, y, w, h);
                }
            }
        }
    };
    if (b.producerTag < 0) {
        for (int y = 0; y < h; ++y) {
            uint8_t* row = b.data() + static_cast<size_t>(y) * b.bytesPerRow();
            for (int x = 0; x < w; ++x) backgroundPixel(row + x * 4, x, y, w, h);
        }
    } else {
        paintRect(squareX(b, b.producerTag), false);
    }
    paintRect(squareX(b, position), true);
    b.producerTag = position;
}

void SCStream::startFrameTimerLocked(const DispatchQueue& queue) {
    const double interval = std::max(0.001, configuration_.minimumFrameInterval);
    std::weak_ptr<SCStream> weak = shared_from_this();
    timer_ = std::make_unique<DispatchTimer>(queue, interval, [weak] {
        if (auto self = weak.lock()) self->tick();
    });
    timer_->resume();
}

uint64_t SCStream::refreshInstant(uint64_t dueNs, uint64_t nowNs, uint64_t lastStampNs) {
    // A display's frames carry their refresh instants, one interval apart,
    // not the moment a busy machine got round to copying them: consumers
    // that thin frames by their spacing (the recorder keeps one per 33 ms)
    // would otherwise drop a frame whenever one tick ran late and the next
    // on time. The refresh is when the frame timer's firing was due.
    const uint64_t stamp = dueNs != 0 ? std::min(dueNs, nowNs) : nowNs;
    return std::max(stamp, lastStampNs + 1);
}

void SCStream::tick() {
    auto& c = controls();
    if (c.framesStopped()) return;
    std::unique_lock<std::mutex> lock(lock_);
    if (!running_ || !handler_) return;
    SCCapturedFrame frame;
    frame.timestampNs = lastFrameStampNs_ =
        refreshInstant(DispatchTimer::firingDeadlineNs(), Clock::uptimeNs(), lastFrameStampNs_);
    const int outW = configuration_.width > 0 ? configuration_.width : display_.pixelWidth;
    const int outH = configuration_.height > 0 ? configuration_.height : display_.pixelHeight;
    frame.contentRect = CGRect{0, 0, static_cast<double>(outW), static_cast<double>(outH)};
    frame.scaleFactor = display_.width > 0 ? static_cast<double>(display_.pixelWidth) / display_.width : 1.0;
    const bool still = c.pictureHeldStill();
    if (still && delivered_ > 0) {
        frame.status = SCFrameStatus::idle;
    } else {
        if (!still) position_++;
        frame.status = SCFrameStatus::complete;
        frame.buffer = pool_->acquire(outW, outH);
        renderInto(*frame.buffer, position_);
    }
    delivered_++;
    auto handler = handler_;
    lock.unlock();
    handler(frame);
}

// ---------------------------------------------------------------- controls

void SimulatedScreenCapture::setPictureHeldStill(bool still) {
    std::lock_guard<std::mutex> g(lock_);
    still_ = still;
}
bool SimulatedScreenCapture::pictureHeldStill() const {
    std::lock_guard<std::mutex> g(lock_);
    return still_;
}
void SimulatedScreenCapture::setFramesStopped(bool stopped) {
    std::lock_guard<std::mutex> g(lock_);
    stopped_ = stopped;
}
bool SimulatedScreenCapture::framesStopped() const {
    std::lock_guard<std::mutex> g(lock_);
    return stopped_;
}
void SimulatedScreenCapture::setIgnoresStop(CGDirectDisplayID display, bool ignores) {
    std::lock_guard<std::mutex> g(lock_);
    ignoresStop_[display] = ignores;
}
bool SimulatedScreenCapture::ignoresStop(CGDirectDisplayID display) const {
    std::lock_guard<std::mutex> g(lock_);
    auto it = ignoresStop_.find(display);
    return it != ignoresStop_.end() && it->second;
}
void SimulatedScreenCapture::noteIgnoredStop(const std::shared_ptr<SCStream>& stream) {
    std::lock_guard<std::mutex> g(lock_);
    ignoredStops_.push_back(stream);
}
void SimulatedScreenCapture::releaseIgnoredStops() {
    std::vector<std::weak_ptr<SCStream>> streams;
    {
        std::lock_guard<std::mutex> g(lock_);
        streams.swap(ignoredStops_);
        ignoresStop_.clear();
    }
    for (auto& w : streams)
        if (auto s = w.lock()) s->finishIgnoredStop();
}
void SimulatedScreenCapture::setStartError(CGDirectDisplayID display, std::optional<std::string> error) {
    std::lock_guard<std::mutex> g(lock_);
    if (error) {
        startErrors_[display] = *error;
    } else {
        startErrors_.erase(display);
    }
}
std::optional<std::string> SimulatedScreenCapture::startError(CGDirectDisplayID display) const {
    std::lock_guard<std::mutex> g(lock_);
    auto it = startErrors_.find(display);
    if (it == startErrors_.end()) return std::nullopt;
    return it->second;
}
void SimulatedScreenCapture::setStartDelay(double seconds) {
    std::lock_guard<std::mutex> g(lock_);
    startDelay_ = seconds;
}
double SimulatedScreenCapture::startDelay() const {
    std::lock_guard<std::mutex> g(lock_);
    return startDelay_;
}
void SimulatedScreenCapture::setAddStreamOutputError(SCStreamOutputType type, std::optional<std::string> error) {
    std::lock_guard<std::mutex> g(lock_);
    if (error) {
        addOutputErrors_[type] = *error;
    } else {
        addOutputErrors_.erase(type);
    }
}
std::optional<std::string> SimulatedScreenCapture::addStreamOutputError(SCStreamOutputType type) const {
    std::lock_guard<std::mutex> g(lock_);
    auto it = addOutputErrors_.find(type);
    if (it == addOutputErrors_.end()) return std::nullopt;
    return it->second;
}
size_t SimulatedScreenCapture::shareableContentFetches() const {
    std::lock_guard<std::mutex> g(lock_);
    return fetches_;
}
void SimulatedScreenCapture::noteShareableContentFetch() {
    std::lock_guard<std::mutex> g(lock_);
    fetches_++;
}
size_t SimulatedScreenCapture::screenCaptureAccessRequests() const {
    std::lock_guard<std::mutex> g(lock_);
    return accessRequests_;
}
void SimulatedScreenCapture::noteScreenCaptureAccessRequest() {
    std::lock_guard<std::mutex> g(lock_);
    accessRequests_++;
}
size_t SimulatedScreenCapture::streamsStarted() const {
    std::lock_guard<std::mutex> g(lock_);
    return started_;
}
void SimulatedScreenCapture::noteStarted() {
    std::lock_guard<std::mutex> g(lock_);
    started_++;
}

}  // namespace platform
