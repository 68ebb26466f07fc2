#pragma once
// HostMovieRecorder is responsible for one recording of the Host: the
// shared stream's captured frames, cropped to a region of the display and
// scaled into a movie frame that fits 1920 x 1080, and the system audio,
// written into one MPEG-4 file by the platform's movie writer.
//
// Threads: appendVideo() is called on the video capture's queue,
// appendAudio() on the audio capture's queue and finish() on the server
// queue; each only queues work on the recorder's own queue and never waits,
// so neither capture blocks on the writer. All recording state lives on that
// queue. Queued work holds the recorder weakly; the owner holds it until
// finish()'s completion has run.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "Platform/Runtime/AtomicInt.h"
#include "Platform/SimulatedMac/CoreGraphicsDisplays.h"
#include "Platform/Runtime/Dispatch.h"
#include "Platform/Media/MovieWriter.h"
#include "Platform/Media/PixelBuffer.h"
#include "Platform/Foundation/Result.h"

class HostMovieRecorder : public std::enable_shared_from_this<HostMovieRecorder> {
public:
    enum class RecorderError { cannotCreateWriter };
    static std::string description(RecorderError error);

    // Sizes fixed at creation: the captured frames' size (each side at least
    // 2), the recorded region in source pixels (origin at the bottom left;
    // it may reach past the right or top edge) and the movie's frame size.
    struct Geometry {
        platform::CGSize sourceSize;
        platform::CGRect cropRect;
        platform::CGSize outputSize;
    };
    static Geometry geometry(const platform::CGRect& region, int sourceWidth, int sourceHeight);
    // The average bit rate of the movie's video at that frame size.
    static int64_t averageBitRate(platform::VideoCodec codec, const platform::CGSize& outputSize);
    // The frame rectangle (rows from the top) that a frame of the given size
    // gives the crop: clamped to the source size fixed at creation and to
    // the frame itself; none when less than 2 x 2 is left.
    struct PixelRect {
        int x = 0, y = 0, width = 0, height = 0;
        bool operator==(const PixelRect&) const = default;
    };
    static std::optional<PixelRect> frameCrop(const Geometry& geometry, int frameWidth, int frameHeight);

    // At most one frame per this interval reaches the movie (about 30 a
    // second), whatever the capture rate.
    static constexpr uint64_t minimumFrameIntervalNs = 33'000'000;
    // Frames waiting on the recorder's queue beyond this are dropped before
    // they are queued, so a slow encoder neither holds the capture's buffers
    // nor grows memory.
    static constexpr int64_t maxQueuedVideoFrames = 2;

    // Builds the writer and its tracks; writes nothing yet. `region` is
    // normalised (fractions of the frame, origin at the bottom left).
    static platform::Result<std::shared_ptr<HostMovieRecorder>> create(const std::filesystem::path& outputURL,
                                                                       const platform::CGRect& region, int sourceWidth,
                                                                       int sourceHeight, uint64_t sessionStartNs);
    // Into a movie file the caller made, written through its descriptor.
    static platform::Result<std::shared_ptr<HostMovieRecorder>> create(platform::MovieOutput output,
                                                                       const platform::CGRect& region, int sourceWidth,
                                                                       int sourceHeight, uint64_t sessionStartNs);

    // Any thread. The buffer is held until its turn on the recorder's queue.
    void appendVideo(const std::shared_ptr<platform::PixelBuffer>& pixelBuffer, uint64_t timestampNs);
    // Any thread. Whole frames of interleaved float32 stereo; the bytes are
    // copied.
    void appendAudio(std::span<const uint8_t> pcm, uint64_t timestampNs);
    // Finishes the movie; the completion runs exactly once, on the writer's
    // thread, with true when the file was completed.
    void finish(std::function<void(bool completed)> completion);

    // The last failure, if any; never cleared. Any thread.
    std::optional<std::string> failureMessage() const;
    // The finished movie's size; none before it is finished. Any thread.
    std::optional<uint64_t> movieSize() const { return writer->fileSize(); }
    // Returns once the work queued so far has run; for benchmarks, which
    // run on real threads.
    void waitUntilIdleForTesting() const { queue.sync([] {}); }

    const std::filesystem::path outputURL;
    const uint64_t sessionStartNs;
    const Geometry sizes;
    // The codec of the video track (HEVC unless the writer refused it).
    const platform::VideoCodec videoCodec;

private:
    static platform::Result<std::shared_ptr<HostMovieRecorder>> create(std::shared_ptr<platform::MovieWriter> writer,
                                                                       const platform::CGRect& region, int sourceWidth,
                                                                       int sourceHeight, uint64_t sessionStartNs);
    HostMovieRecorder(std::filesystem::path outputURL, uint64_t sessionStartNs, Geometry sizes,
                      std::shared_ptr<platform::MovieWriter> writer);

    // Recorder queue only.
    bool startIfNeededLocked();
    void appendVideoLocked(const platform::PixelBuffer& pixelBuffer, uint64_t timestampNs);
    void appendAudioLocked(std::span<const uint8_t> pcm, uint64_t timestampNs);
    void setFailure(std::string text);

    platform::DispatchQueue queue{"v230.host.recording"};
    const std::shared_ptr<platform::MovieWriter> writer;
    // Frames queued by appendVideo() whose turn has not come.
    AtomicInt queuedVideoFrames;
    // The writer has started and its session is open.
    bool started = false;
    // Times of the last frame and audio block handed to the writer; 0 for none.
    uint64_t lastVideoTsNs = 0;
    uint64_t lastAudioTsNs = 0;
    // Written on the recorder's queue, read by the owner after finishing.
    mutable std::mutex failureLock;
    std::optional<std::string> failureMessage_;
};
