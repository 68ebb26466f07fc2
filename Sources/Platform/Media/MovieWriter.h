#pragma once
// A movie file writer: one MPEG-4 file with a video track (HEVC tagged
// hvc1, or H.264 High) and, when it takes one, an AAC track, fed BGRA
// pictures and interleaved float32 stereo PCM stamped on one source time
// line. Every time handed in is a source time in nanoseconds; the movie
// starts at the session's source time, and samples from before it are
// dropped. Backed by libavformat, libavcodec (libx265, libx264, the native
// AAC encoder) and libswscale.
//
// Set-up (inputs), starting, appending and marking inputs finished are
// driven from one queue at a time; finishWriting() completes the file on the
// writer's own queue and calls its completion there. A lock keeps a late
// append from meeting the finishing work.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "Platform/Runtime/Dispatch.h"
#include "Platform/Files/FileHandles.h"
#include "Platform/Foundation/Result.h"
#include "Platform/Media/VideoEncoder.h"

namespace platform {

struct MovieVideoSettings {
    VideoCodec codec = VideoCodec::hevc;
    int width = 0;  // even, at least 2
    int height = 0;
    int64_t averageBitRate = 0;
    int maxKeyFrameInterval = 60;  // frames
};

// Where a movie goes: a file already made, empty (exclusively, and with
// the rights of whoever it is for), written through its descriptor alone
// and never opened again by a path; `path` is what messages and callers
// call it, and `discard` takes the file away when nothing was written.
struct MovieOutput {
    FileHandle file;
    std::filesystem::path path;
    std::function<void()> discard;
};

// Faults a test can make every writer report.
struct MovieWriterFaults {
    bool refuseHEVC = false;        // the HEVC encoder cannot be opened
    bool refuseAudioInput = false;  // the writer does not take the audio track
    bool failStartWriting = false;  // starting fails, with no description
    bool failAppend = false;        // an append fails the writer, with no description
};

class MovieWriter : public std::enable_shared_from_this<MovieWriter> {
public:
    enum class WriterStatus { unknown, writing, completed, failed };

    // The AAC track's format: 48 kHz stereo at 192,000 b/s, in frames of
    // 1,024 samples.
    static constexpr int audioSampleRate = 48000;
    static constexpr int audioChannels = 2;
    static constexpr int64_t audioBitRate = 192000;
    static constexpr int aacFrameSamples = 1024;
    // The frame rate rate control assumes; real times set each frame's place.
    static constexpr int nominalFrameRate = 30;
    static constexpr int videoTimeScale = 90000;

    // Creates the file exclusively, with the process's rights and not
    // through a link: an existing file refuses the writer.
    static Result<std::shared_ptr<MovieWriter>> create(const std::filesystem::path& file);
    // Writes into a file made by the caller.
    static Result<std::shared_ptr<MovieWriter>> create(MovieOutput output);
    ~MovieWriter();
    MovieWriter(const MovieWriter&) = delete;
    MovieWriter& operator=(const MovieWriter&) = delete;

    // Before startWriting(): false when the writer cannot take the track
    // (its encoder cannot be opened, or a video track is already there).
    bool addVideoInput(const MovieVideoSettings& settings);
    bool addAudioInput();
    std::optional<VideoCodec> videoCodec() const;
    bool hasAudioInput() const;

    // Writes the file's header; false (and failed for good) when that
    // fails. True again while writing; false once finishing has begun.
    bool startWriting();
    void startSession(uint64_t sourceTimeNs);

    // Converts the picture (any size, rows may be padded) to 4:2:0 at the
    // track's size with a high-quality scaler, into the one reused frame.
    bool renderVideoFrame(const BGRAImage& picture);
    // Encodes the rendered frame at that source time; a time not after the
    // last frame's, or before the session, is dropped (true).
    bool appendRenderedVideoFrame(uint64_t timeNs);
    // Whole interleaved float32 stereo frames placed at their own time: a
    // gap of more than one AAC frame is filled with silence, a block that
    // starts more than 1 ms before the end of the audio written is dropped.
    bool appendAudio(std::span<const uint8_t> pcm, uint64_t timeNs);
    bool isReadyForMoreVideo() const;
    bool isReadyForMoreAudio() const;
    void markVideoFinished();
    void markAudioFinished();

    // Flushes the encoders and writes the index on the writer's queue, then
    // calls the completion there: true when the file is complete. A writer
    // that never started reports false and removes its empty file.
    void finishWriting(std::function<void(bool completed)> completion);

    WriterStatus status() const;
    // What went wrong, when the library said.
    std::optional<std::string> errorDescription() const;
    const std::filesystem::path& file() const { return file_; }
    // The finished movie's size, read from its descriptor; none before.
    std::optional<uint64_t> fileSize() const;

    static void setFaultsForTesting(MovieWriterFaults faults);

private:
    struct Codecs;
    MovieWriter(std::filesystem::path file, std::function<void()> discard);
    // Takes the unwritten file away, once.
    void discardOnce();
    bool fail(std::optional<std::string> description);
    bool encodeAndWrite(bool video, bool flush);
    bool encodeAudioFrames(bool drain);
    bool finishNow();

    const std::filesystem::path file_;
    std::function<void()> discard_;
    // The writer's own queue: finishing runs and completes here.
    DispatchQueue queue_{"v230.host.recording.writer"};
    mutable std::mutex lock_;
    std::unique_ptr<Codecs> codecs_;
    WriterStatus status_ = WriterStatus::unknown;
    bool headerWritten_ = false;
    bool finishing_ = false;
    bool videoFinished_ = false;
    bool audioFinished_ = false;
    std::optional<std::string> error_;
    std::optional<uint64_t> fileSize_;
    uint64_t sessionStartNs_ = 0;
    int64_t lastVideoPts_ = -1;
    // Audio samples per channel handed to the encoder's queue so far,
    // silence included: where the next block belongs.
    int64_t audioSamplesQueued_ = 0;
    int64_t audioPts_ = 0;
};

}  // namespace platform
