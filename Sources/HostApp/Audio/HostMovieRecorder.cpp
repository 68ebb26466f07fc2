#include "HostApp/Audio/HostMovieRecorder.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

using namespace platform;

namespace {

constexpr double kMaxOutputWidth = 1920;
constexpr double kMaxOutputHeight = 1080;
constexpr double kMinAspect = 0.1;
constexpr int64_t kMinBitRate = 4'000'000;
constexpr int kMaxKeyFrameInterval = 60;

double regionSide(double v) { return std::isnan(v) ? 0.01 : std::min(1.0, std::max(0.01, std::fabs(v))); }
double regionOrigin(double v) { return std::isnan(v) || v < 0 ? 0.0 : std::min(1.0, v); }
double evenOutputSide(double v) { return std::max(2.0, 2 * std::round(v / 2)); }

}  // namespace

std::string HostMovieRecorder::description(RecorderError error) {
    switch (error) {
        case RecorderError::cannotCreateWriter: return "cannot create movie writer";
    }
    return "cannot create movie writer";
}

HostMovieRecorder::Geometry HostMovieRecorder::geometry(const CGRect& region, int sourceWidth, int sourceHeight) {
    Geometry g;
    g.sourceSize =
        CGSize{static_cast<double>(std::max(sourceWidth, 2)), static_cast<double>(std::max(sourceHeight, 2))};
    const double w = regionSide(region.width), h = regionSide(region.height);
    g.cropRect = CGRect{regionOrigin(region.x) * g.sourceSize.width, regionOrigin(region.y) * g.sourceSize.height,
                        w * g.sourceSize.width, h * g.sourceSize.height};
    const double aspect = std::max(kMinAspect, g.cropRect.width / std::max(g.cropRect.height, 1.0));
    // Always fitted to the 1920 x 1080 box, small crops enlarged.
    if (aspect >= kMaxOutputWidth / kMaxOutputHeight) {
        g.outputSize = CGSize{kMaxOutputWidth, evenOutputSide(kMaxOutputWidth / aspect)};
    } else {
        g.outputSize = CGSize{evenOutputSide(aspect * kMaxOutputHeight), kMaxOutputHeight};
    }
    return g;
}

int64_t HostMovieRecorder::averageBitRate(VideoCodec codec, const CGSize& outputSize) {
    const auto pixels = static_cast<int64_t>(outputSize.width) * static_cast<int64_t>(outputSize.height);
    return std::max(pixels * (codec == VideoCodec::hevc ? 4 : 6), kMinBitRate);
}

std::optional<HostMovieRecorder::PixelRect> HostMovieRecorder::frameCrop(const Geometry& g, int frameWidth,
                                                                          int frameHeight) {
    const int W = static_cast<int>(g.sourceSize.width), H = static_cast<int>(g.sourceSize.height);
    const double minX = std::floor(g.cropRect.x), minY = std::floor(g.cropRect.y);
    const double integralWidth = std::ceil(g.cropRect.x + g.cropRect.width) - minX;
    const double integralHeight = std::ceil(g.cropRect.y + g.cropRect.height) - minY;
    PixelRect r;
    r.x = std::clamp(static_cast<int>(minX), 0, W - 2);
    const int y = std::clamp(static_cast<int>(minY), 0, H - 2);
    r.width = std::max(2, static_cast<int>(std::min<double>(integralWidth, W - r.x)));
    r.height = std::max(2, static_cast<int>(std::min<double>(integralHeight, H - y)));
    // The region's y counts from the bottom edge; rows count from the top.
    r.y = std::max(0, H - y - r.height);
    // After a display mode change a frame may be smaller than the size the
    // crop was made for: never read past the frame's own end.
    r.width = std::min(r.width, frameWidth - r.x);
    r.height = std::min(r.height, frameHeight - r.y);
    if (r.width < 2 || r.height < 2) return std::nullopt;
    return r;
}

Result<std::shared_ptr<HostMovieRecorder>> HostMovieRecorder::create(const std::filesystem::path& outputURL,
                                                                     const CGRect& region, int sourceWidth,
                                                                     int sourceHeight, uint64_t sessionStartNs) {
    auto created = MovieWriter::create(outputURL);
    if (!created) return Result<std::shared_ptr<HostMovieRecorder>>::failure(description(RecorderError::cannotCreateWriter));
    return create(*created, region, sourceWidth, sourceHeight, sessionStartNs);
}

Result<std::shared_ptr<HostMovieRecorder>> HostMovieRecorder::create(MovieOutput output, const CGRect& region,
                                                                     int sourceWidth, int sourceHeight,
                                                                     uint64_t sessionStartNs) {
    auto created = MovieWriter::create(std::move(output));
    if (!created) return Result<std::shared_ptr<HostMovieRecorder>>::failure(description(RecorderError::cannotCreateWriter));
    return create(*created, region, sourceWidth, sourceHeight, sessionStartNs);
}

Result<std::shared_ptr<HostMovieRecorder>> HostMovieRecorder::create(std::shared_ptr<MovieWriter> writer,
                                                                     const CGRect& region, int sourceWidth,
                                                                     int sourceHeight, uint64_t sessionStartNs) {
    using R = Result<std::shared_ptr<HostMovieRecorder>>;
    const Geometry g = geometry(region, sourceWidth, sourceHeight);
    const std::filesystem::path outputURL = writer->file();
    bool added = false;
    for (VideoCodec codec : {VideoCodec::hevc, VideoCodec::h264}) {
        MovieVideoSettings video{codec, static_cast<int>(g.outputSize.width), static_cast<int>(g.outputSize.height),
                                 averageBitRate(codec, g.outputSize), kMaxKeyFrameInterval};
        if ((added = writer->addVideoInput(video))) break;
    }
    if (!added) return R::failure(description(RecorderError::cannotCreateWriter));
    // Refused, the movie simply has no sound.
    writer->addAudioInput();
    return std::shared_ptr<HostMovieRecorder>(new HostMovieRecorder(outputURL, sessionStartNs, g, std::move(writer)));
}

HostMovieRecorder::HostMovieRecorder(std::filesystem::path url, uint64_t startNs, Geometry g,
                                     std::shared_ptr<MovieWriter> w)
    : outputURL(std::move(url)),
      sessionStartNs(startNs),
      sizes(g),
      videoCodec(w->videoCodec().value_or(VideoCodec::hevc)),
      writer(std::move(w)) {}

void HostMovieRecorder::appendVideo(const std::shared_ptr<PixelBuffer>& pixelBuffer, uint64_t timestampNs) {
    if (!pixelBuffer) return;
    if (queuedVideoFrames.increment() > maxQueuedVideoFrames) {
        queuedVideoFrames.decrement();
        return;
    }
    std::weak_ptr<HostMovieRecorder> weak = weak_from_this();
    queue.async([weak, pixelBuffer, timestampNs] {
        auto self = weak.lock();
        if (!self) return;
        self->queuedVideoFrames.decrement();
        self->appendVideoLocked(*pixelBuffer, timestampNs);
    });
}

void HostMovieRecorder::appendAudio(std::span<const uint8_t> pcm, uint64_t timestampNs) {
    // Only whole 8-byte frames are audio; a block without one is nothing.
    const size_t whole = pcm.size() - pcm.size() % 8;
    if (whole == 0) return;
    std::weak_ptr<HostMovieRecorder> weak = weak_from_this();
    queue.async([weak, block = std::vector<uint8_t>(pcm.begin(), pcm.begin() + static_cast<std::ptrdiff_t>(whole)),
                 timestampNs] {
        if (auto self = weak.lock()) self->appendAudioLocked(block, timestampNs);
    });
}

void HostMovieRecorder::finish(std::function<void(bool completed)> completion) {
    std::weak_ptr<HostMovieRecorder> weak = weak_from_this();
    queue.async([weak, completion = std::move(completion)] {
        auto self = weak.lock();
        if (!self) {
            completion(false);
            return;
        }
        self->writer->markVideoFinished();
        self->writer->markAudioFinished();
        self->writer->finishWriting([weak, completion](bool completed) { completion(completed && !weak.expired()); });
    });
}

std::optional<std::string> HostMovieRecorder::failureMessage() const {
    std::lock_guard<std::mutex> guard(failureLock);
    return failureMessage_;
}

void HostMovieRecorder::setFailure(std::string text) {
    std::lock_guard<std::mutex> guard(failureLock);
    failureMessage_ = std::move(text);
}

bool HostMovieRecorder::startIfNeededLocked() {
    queue.dispatchPrecondition();
    if (started) return true;
    if (writer->startWriting()) {
        // The time from creation to the first sample is the movie's opening.
        writer->startSession(sessionStartNs);
        started = true;
        return true;
    }
    setFailure(writer->errorDescription().value_or("writer failed to start"));
    return false;
}

void HostMovieRecorder::appendVideoLocked(const PixelBuffer& pixelBuffer, uint64_t timestampNs) {
    if (!startIfNeededLocked()) return;
    // Compared by adding, not subtracting: an older frame must not wrap
    // around into a huge interval and hand the writer a time going back.
    if (lastVideoTsNs != 0 && timestampNs < lastVideoTsNs + minimumFrameIntervalNs) return;
    if (!writer->isReadyForMoreVideo()) return;
    const auto crop = frameCrop(sizes, pixelBuffer.width(), pixelBuffer.height());
    if (!crop) return;
    const BGRAImage picture{pixelBuffer.data() + static_cast<size_t>(crop->y) * pixelBuffer.bytesPerRow() +
                                static_cast<size_t>(crop->x) * 4,
                            crop->width, crop->height, pixelBuffer.bytesPerRow()};
    if (!writer->renderVideoFrame(picture)) {
        setFailure("recording crop render failed");
        return;
    }
    if (!writer->appendRenderedVideoFrame(timestampNs)) {
        setFailure(writer->errorDescription().value_or("video append failed"));
    }
    lastVideoTsNs = timestampNs;
}

void HostMovieRecorder::appendAudioLocked(std::span<const uint8_t> pcm, uint64_t timestampNs) {
    if (!startIfNeededLocked()) return;
    if (!writer->isReadyForMoreAudio()) return;
    if (lastAudioTsNs != 0 && timestampNs == lastAudioTsNs) return;
    if (!writer->appendAudio(pcm, timestampNs)) {
        setFailure(writer->errorDescription().value_or("audio append failed"));
    }
    lastAudioTsNs = timestampNs;
}
