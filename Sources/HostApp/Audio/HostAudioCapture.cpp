#include "HostApp/Audio/HostAudioCapture.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "HostApp/Capture/HostVideoCapture.h"
#include "Platform/Runtime/Log.h"

using namespace platform;

namespace {

enum class SampleKind { float32, int16, int32 };

template <class T>
T load(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <SampleKind kind>
float sampleAt(const uint8_t* p) {
    if constexpr (kind == SampleKind::float32) {
        return load<float>(p);  // as stored, unclamped
    } else if constexpr (kind == SampleKind::int16) {
        return std::clamp(static_cast<float>(load<int16_t>(p)) / 32767.0f, -1.0f, 1.0f);
    } else {
        return std::clamp(static_cast<float>(load<int32_t>(p)) * 4.656612873077393e-10f, -1.0f, 1.0f);
    }
}

template <SampleKind kind>
void fillStereo(uint8_t* out, const uint8_t* left, const uint8_t* right, size_t frames, size_t stride) {
    for (size_t i = 0; i < frames; ++i) {
        const float pair[2] = {sampleAt<kind>(left + i * stride), sampleAt<kind>(right + i * stride)};
        std::memcpy(out + i * 8, pair, 8);
    }
}

// Writes `frames` left/right pairs, taking each channel's samples `stride`
// bytes apart; every layout comes down to this.
void fillStereo(SampleKind kind, uint8_t* out, const uint8_t* left, const uint8_t* right, size_t frames,
                size_t stride) {
    switch (kind) {
        case SampleKind::float32: return fillStereo<SampleKind::float32>(out, left, right, frames, stride);
        case SampleKind::int16: return fillStereo<SampleKind::int16>(out, left, right, frames, stride);
        case SampleKind::int32: return fillStereo<SampleKind::int32>(out, left, right, frames, stride);
    }
}

std::optional<SampleKind> sampleKind(const AudioStreamBasicDescription& asbd) {
    const bool isFloat = asbd.mFormatFlags & kAudioFormatFlagIsFloat;
    const bool isInteger = asbd.mFormatFlags & kAudioFormatFlagIsSignedInteger;
    if (isFloat && asbd.mBitsPerChannel == 32) return SampleKind::float32;
    if (isInteger && asbd.mBitsPerChannel == 16) return SampleKind::int16;
    if (isInteger && asbd.mBitsPerChannel == 32) return SampleKind::int32;
    return std::nullopt;
}

// A sample rate as a decimal that always shows a fraction ("48000.0").
std::string rateText(double rate) {
    char text[64];
    auto [end, ec] = std::to_chars(text, text + sizeof text, rate);
    std::string s(text, ec == std::errc() ? end : text);
    if (s.find_first_of(".eni") == std::string::npos) s += ".0";
    return s;
}

const char* boolText(bool b) { return b ? "true" : "false"; }

}  // namespace

std::shared_ptr<HostAudioCapture> HostAudioCapture::create(uint32_t displayID, bool requireExactDisplay,
                                                           DispatchQueue sampleQueue, DispatchQueue lifecycleQueue,
                                                           Callbacks callbacks) {
    return std::shared_ptr<HostAudioCapture>(new HostAudioCapture(
        displayID, requireExactDisplay, std::move(sampleQueue), std::move(lifecycleQueue), std::move(callbacks)));
}

HostAudioCapture::HostAudioCapture(uint32_t id, bool exact, DispatchQueue sample, DispatchQueue lifecycle,
                                   Callbacks callbacks)
    : displayID(id),
      requireExactDisplay(exact),
      sampleQueue(std::move(sample)),
      lifecycleQueue(std::move(lifecycle)),
      callbacks_(std::move(callbacks)) {}

std::shared_ptr<SCStream> HostAudioCapture::streamForTesting() const {
    return lifecycleQueue.syncValue([this] { return stream_; });
}

void HostAudioCapture::reportError(const std::string& text) const {
    if (callbacks_.onError) callbacks_.onError(text);
}

// ------------------------------------------------------------ start

void HostAudioCapture::start() {
    auto task = std::make_shared<StartTask>();
    lifecycleQueue.sync([&] { startTask_ = task; });
    auto self = shared_from_this();
    sampleQueue.async([self, task] { self->lookUpDisplay(task, 0); });
}

void HostAudioCapture::lookUpDisplay(const std::shared_ptr<StartTask>& task, int retriesDone) {
    if (task->cancelled) return;
    auto content = SCShareableContent::current();
    if (!content) {
        reportError(content.error());
        return endStart(task);
    }
    auto chosen = HostVideoCapture::selectTargetDisplay(content->displays, displayID, requireExactDisplay);
    if (!chosen && requireExactDisplay && retriesDone < displayLookupRetries) {
        // A display that was just created reaches the shareable content a
        // moment later.
        // The task holds its pause, so the pause holds the task weakly; the
        // capture keeps the task until a stop lets go of it.
        auto self = shared_from_this();
        auto pause = makeWorkItem([self, weakTask = std::weak_ptr<StartTask>(task), retriesDone] {
            if (auto task = weakTask.lock()) self->lookUpDisplay(task, retriesDone + 1);
        });
        const bool cancelled = lifecycleQueue.syncValue([&] {
            if (!task->cancelled) task->pause = pause;
            return task->cancelled.load();
        });
        if (!cancelled) sampleQueue.asyncAfter(displayLookupRetryDelaySeconds, pause);
        return;
    }
    const std::string available = HostVideoCapture::displayList(content->displays);
    if (!chosen) {
        reportError("audio target display " + std::to_string(displayID) +
                    " unavailable for ScreenCaptureKit. available=" + available);
        return endStart(task);
    }
    if (chosen->displayID != displayID) {
        reportError("audio target display " + std::to_string(displayID) + " unavailable; using ScreenCaptureKit display " +
                    std::to_string(chosen->displayID) + ". available=" + available);
    }
    beginStream(task, *chosen);
}

void HostAudioCapture::beginStream(const std::shared_ptr<StartTask>& task, const SCDisplay& display) {
    SCStreamConfiguration configuration;
    configuration.capturesAudio = true;
    configuration.excludesCurrentProcessAudio = false;  // the Host's own sounds belong to the Mac's audio
    configuration.sampleRate = 48000;
    configuration.channelCount = 2;
    // The picture is not wanted; keep it as small and rare as the stream
    // allows.
    configuration.width = 16;
    configuration.height = 16;
    configuration.minimumFrameInterval = 1.0;
    configuration.queueDepth = 2;
    auto stream = SCStream::create(display, configuration);

    std::weak_ptr<HostAudioCapture> weak = weak_from_this();
    stream->onStoppedWithError = [weak](const std::string& error) {
        if (auto self = weak.lock()) self->handleStreamStopped(error);
    };
    auto output = [weak](const CMSampleBuffer& buffer, SCStreamOutputType type) {
        if (auto self = weak.lock()) self->handleSampleBuffer(buffer, type);
    };
    for (auto type : {SCStreamOutputType::audio, SCStreamOutputType::screen}) {
        if (auto added = stream->addStreamOutput(type, sampleQueue, output); !added) {
            reportError(added.error());
            return endStart(task);
        }
    }
    auto self = shared_from_this();
    stream->startCapture([self, task, stream](const std::string& error) {
        if (!error.empty()) {
            self->reportError(error);
            return self->endStart(task);
        }
        self->finishStart(task, stream);
    });
}

void HostAudioCapture::finishStart(const std::shared_ptr<StartTask>& task, const std::shared_ptr<SCStream>& stream) {
    if (task->cancelled) {
        stopAndDetach(stream, nullptr);
        return endStart(task);
    }
    if (beforeStoringStreamForTesting) beforeStoringStreamForTesting();
    // A stop that came after the check above finds no stream to stop; the
    // stream must not outlive it, feeding frames to an owner that moved on.
    const bool stored = lifecycleQueue.syncValue([&] {
        if (stopped_) return false;
        stream_ = stream;
        return true;
    });
    if (!stored) {
        stopAndDetach(stream, nullptr);
        return endStart(task);
    }
    if (callbacks_.onStarted) callbacks_.onStarted();
    endStart(task);
}

void HostAudioCapture::endStart(const std::shared_ptr<StartTask>& task) {
    lifecycleQueue.sync([&] {
        if (startTask_ == task) startTask_.reset();
    });
}

// ------------------------------------------------------------ stop

void HostAudioCapture::stopAndDetach(const std::shared_ptr<SCStream>& stream, std::function<void()> done) {
    stream->stopCapture([stream, done = std::move(done)](const std::string&) {
        (void)stream->removeStreamOutput(SCStreamOutputType::audio);
        (void)stream->removeStreamOutput(SCStreamOutputType::screen);
        if (done) done();
    });
}

void HostAudioCapture::stop(bool wait) {
    std::shared_ptr<SCStream> stream;
    lifecycleQueue.sync([&] {
        stopped_ = true;
        if (auto task = std::move(startTask_)) {
            task->cancelled = true;
            if (task->pause) task->pause->cancel();
        }
        stream = std::move(stream_);
    });
    if (!stream) return;
    auto stopped = std::make_shared<DispatchSemaphore>(0);
    stopAndDetach(stream, [stopped] { stopped->signal(); });
    // Whether the stream ended in time is not looked at: the caller goes on
    // and the stop finishes in the background.
    if (wait) (void)stopped->wait(stopTimeoutSeconds);
}

// ------------------------------------------------------------ samples

void HostAudioCapture::handleStreamStopped(const std::string& error) {
    reportError("ScreenCaptureKit stream stopped: " + error);
}

uint64_t HostAudioCapture::timestampNs(const CMTime& time) {
    constexpr uint32_t special = CMTime::kPositiveInfinity | CMTime::kNegativeInfinity | CMTime::kIndefinite;
    if (!(time.flags & CMTime::kValid) || (time.flags & special) || time.timescale == 0) return 0;
    // Exact: seconds times 10^9, truncated toward zero.
    const __int128 ns = static_cast<__int128>(time.value) * 1000000000 / time.timescale;
    if (ns < 0 || ns > static_cast<__int128>(UINT64_MAX)) return 0;
    return static_cast<uint64_t>(ns);
}

void HostAudioCapture::handleSampleBuffer(const CMSampleBuffer& buffer, SCStreamOutputType type) {
    if (type != SCStreamOutputType::audio) return;  // the 16 x 16 picture is not looked at
    if (!CMSampleBufferIsValid(buffer) || !CMSampleBufferDataIsReady(buffer)) {
        Log::raw("[NorvessalHost] [AUDIO] Invalid or not ready sampleBuffer");
        return;
    }
    if (callbacks_.onSampleBuffer) callbacks_.onSampleBuffer();
    const uint64_t ts = timestampNs(CMSampleBufferGetPresentationTimeStamp(buffer));
    auto pcm = interleavedFloat32Stereo(buffer);
    if (!pcm || pcm->empty()) {
        Log::raw("[NorvessalHost] [AUDIO] drop frame: cannot convert sampleBuffer at ts=" + std::to_string(ts));
        return;
    }
    if (callbacks_.onFrame) callbacks_.onFrame(*pcm, ts);
}

std::optional<std::vector<uint8_t>> HostAudioCapture::interleavedFloat32Stereo(const CMSampleBuffer& buffer) {
    const auto* asbd = CMAudioFormatDescriptionGetStreamBasicDescription(CMSampleBufferGetFormatDescription(buffer));
    if (!asbd) return std::nullopt;
    const uint32_t channels = asbd->mChannelsPerFrame;
    if (channels == 0 || channels > maximumChannels) return std::nullopt;
    const auto kind = sampleKind(*asbd);
    if (!kind) return std::nullopt;
    const size_t bytesPerSample = asbd->mBitsPerChannel / 8;

    AudioBufferList list(channels);
    std::shared_ptr<const CMBlockBuffer> retained;  // keeps the samples alive until we return
    if (CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer(buffer, list, retained) != noErr) return std::nullopt;

    if (!didLogFormat_) {
        didLogFormat_ = true;
        Log::raw("[NorvessalHost] ASBD rate=" + rateText(asbd->mSampleRate) + " channels=" + std::to_string(channels) +
                 " bits=" + std::to_string(asbd->mBitsPerChannel) +
                 " float=" + boolText(asbd->mFormatFlags & kAudioFormatFlagIsFloat) +
                 " int=" + boolText(asbd->mFormatFlags & kAudioFormatFlagIsSignedInteger) +
                 " interleaved=" + boolText(!(asbd->mFormatFlags & kAudioFormatFlagIsNonInterleaved)) +
                 " buffers=" + std::to_string(list.mNumberBuffers));
    }

    const uint8_t* left = nullptr;
    const uint8_t* right = nullptr;
    size_t frames = 0;
    size_t stride = bytesPerSample;
    if (list.mNumberBuffers == 0) return std::nullopt;
    const AudioBuffer& first = list.mBuffers[0];
    if (!first.mData) return std::nullopt;
    left = right = static_cast<const uint8_t*>(first.mData);
    const size_t firstSamples = first.mDataByteSize / bytesPerSample;
    if (list.mNumberBuffers == 1 || channels == 1) {
        if (firstSamples == 0) return std::nullopt;
        if (list.mNumberBuffers == 1 && channels >= 2) {
            // Interleaved: left and right are the first two samples of each
            // frame. A single sample has no right partner to read.
            if (firstSamples < 2) return std::nullopt;
            frames = firstSamples >= channels ? firstSamples / channels : 1;
            stride = bytesPerSample * channels;
            right = left + bytesPerSample;
        } else {
            frames = firstSamples;  // mono: each sample on both sides
        }
    } else {
        const AudioBuffer& second = list.mBuffers[1];
        if (!second.mData) return std::nullopt;
        right = static_cast<const uint8_t*>(second.mData);
        frames = std::min(firstSamples, second.mDataByteSize / bytesPerSample);
        if (frames == 0) return std::nullopt;
    }

    std::vector<uint8_t> out(frames * 8);
    fillStereo(*kind, out.data(), left, right, frames, stride);
    return out;
}
