#pragma once
// A video compression session: takes BGRA pictures, converts and scales them
// to 4:2:0 or 4:4:4 at the encoded size, and encodes them as H.264 (High /
// High 4:4:4 Predictive) or HEVC (Main / Main 4:4:4) for a low-latency live
// stream: no B-frames, closed GOPs, an IDR on request and after every build,
// average bit rate under a burst ceiling. Backed by libavcodec and
// libswscale: the machine's hardware encoder where one opens (VAAPI on a
// render node, NVENC, Quick Sync, tried in that order, 4:2:0 only), else
// libx264 / libx265. A hardware encoder that fails while running is
// replaced by the software one for the rest of the session, whose first
// frame is a key frame.
//
// Software HEVC above 1080p encodes two pictures side by side to hold the
// frame rate, so a picture's frame comes back from the call after the one
// that submitted it: framesInFlight() tells the caller that something is
// held, and submitting the same picture again brings it out.
//
// Bitstream: parameter sets are raw NAL units (no start code, no length);
// an encoded frame is its NAL units, each behind a 4-byte big-endian length.
// Parameter sets live only in parameterSets(): any the encoder repeats in a
// frame are left out of that frame.
//
// Not thread-safe: one session is driven from one thread (or queue) at a time.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Platform/Foundation/Result.h"

namespace platform {

enum class VideoCodec { h264, hevc };
enum class ChromaSubsampling { yuv420, yuv444 };

struct VideoEncoderSettings {
    VideoCodec codec = VideoCodec::hevc;
    ChromaSubsampling chroma = ChromaSubsampling::yuv420;
    int width = 0;  // encoded size; even, at least 2
    int height = 0;
    int fps = 60;
    int64_t bitrate = 0;  // average, bits per second
    int keyframeIntervalSeconds = 2;
    // The bit rate may rise to bitrate x burstBitrateRatio, measured over
    // burstWindowSeconds.
    double burstBitrateRatio = 1.5;
    int burstWindowSeconds = 1;

    bool operator==(const VideoEncoderSettings&) const = default;
};

struct VideoParameterSets {
    std::vector<uint8_t> vps;  // HEVC only; empty for H.264
    std::vector<uint8_t> sps;
    std::vector<uint8_t> pps;

    bool operator==(const VideoParameterSets&) const = default;
};

// A BGRA picture somebody else owns; rows may be padded.
struct BGRAImage {
    const uint8_t* pixels = nullptr;
    int width = 0;
    int height = 0;
    int bytesPerRow = 0;
};

// One encoded frame. `data` points into the session's own buffer and stays
// valid until the session's next encode, reconfigure or destruction.
struct EncodedVideoFrame {
    std::span<const uint8_t> data;
    bool isKeyFrame = false;
    uint64_t presentationTimeNs = 0;
};

enum class RateControlChange { unchanged, inPlace, rebuilt };

// One option handed to the encoder library (libx264 or libx265) by name,
// as its command-line tools spell it.
struct VideoEncoderLibraryOption {
    std::string name;
    std::string value;
    bool operator==(const VideoEncoderLibraryOption&) const = default;
};

// The hardware encoders, in the order they are tried.
enum class HardwareVideoEncoder { vaapi, nvenc, quickSync };

// Stands in for the machine's video hardware, for tests: which devices
// open, and a failure while running. An encoder opened on such a device is
// the software library, under the hardware encoder's name.
struct VideoHardwareForTesting {
    std::vector<HardwareVideoEncoder> devices;
    // The hardware encoder fails at this encode call of a session (1 is
    // the first); 0 never.
    int failAtEncode = 0;
};

class VideoEncoder {
public:
    static Result<std::unique_ptr<VideoEncoder>> create(const VideoEncoderSettings& settings);
    ~VideoEncoder();
    VideoEncoder(const VideoEncoder&) = delete;
    VideoEncoder& operator=(const VideoEncoder&) = delete;

    const VideoEncoderSettings& settings() const { return settings_; }
    // The parameter sets of the current build.
    const VideoParameterSets& parameterSets() const { return parameterSets_; }
    // For tests that need parameter sets no real encoder makes.
    VideoParameterSets& parameterSetsForTesting() { return parameterSets_; }
    // Raised by 1 at every build, so a caller sees when to announce the
    // parameter sets again.
    uint64_t buildNumber() const { return buildNumber_; }
    // The libavcodec encoder in use ("hevc_vaapi", "libx265", ...).
    const std::string& encoderName() const { return encoderName_; }
    // Why the hardware encoder was given up for software, once it was.
    const std::optional<std::string>& hardwareFailure() const { return hardwareFailure_; }
    // Pictures submitted whose frame has not come back yet.
    int framesInFlight() const { return framesInFlight_; }

    // Encodes one picture of any size (scaled to the encoded size). Nothing
    // is returned while the encoder holds the frame back (see
    // framesInFlight()); otherwise the oldest frame not yet returned. When
    // a hardware encoder fails here, the software one takes the picture as
    // a key frame and buildNumber() rises: the caller announces the new
    // parameter sets before the frame. `unchanged` says the caller feeds
    // the picture it fed last, pixels untouched: when its conversion is
    // still at hand it is submitted again rather than made anew.
    Result<std::optional<EncodedVideoFrame>> encode(const BGRAImage& image, uint64_t presentationTimeNs,
                                                    bool forceKeyFrame, bool unchanged = false);

    // New settings. Bit-rate changes are applied in place where the encoder
    // supports it (H.264); anything else rebuilds the encoder, which changes
    // buildNumber() and may change the parameter sets.
    Result<RateControlChange> reconfigure(const VideoEncoderSettings& settings);
    Result<RateControlChange> updateRateControl(int fps, int64_t bitrate);
    Result<RateControlChange> setBurstBitrateRatio(double ratio);

    // What a build hands the library for these settings besides the rate
    // and size: preset, tune, profile, threading and the codec's own
    // parameters. Benchmarks pass the same to the command-line tool.
    static std::vector<VideoEncoderLibraryOption> libraryOptions(const VideoEncoderSettings& settings);
    // The threads the library encodes with (0: the library decides), and
    // the bands the colour conversion is split into.
    static int libraryThreadCount(const VideoEncoderSettings& settings);
    // Pictures software encodes side by side: two for HEVC above 1080p,
    // whose single-picture rate falls short there; else one.
    static int frameThreads(const VideoEncoderSettings& settings);
    // The libavcodec encoder of a hardware kind (none: software) for a codec.
    static std::string libraryEncoderName(std::optional<HardwareVideoEncoder> hardware, VideoCodec codec);
    // Replaces the machine's devices until called again with none.
    static void setHardwareForTesting(std::optional<VideoHardwareForTesting> hardware);
    static int conversionBands(int sourceWidth, int sourceHeight, const VideoEncoderSettings& settings);
    // How many CPUs the process was given (its affinity, at least one):
    // the library's threads and the conversion bands are sized from it.
    static int processCPUCount();

    // For the process's other library encoders (the movie writer's): their
    // threads allocate and free as the stream's do, so the same large-block
    // size applies from their first open, and a close returns what they
    // freed to the system soon after, as a stream encoder's close does.
    static void libraryEncoderOpening();
    static void libraryEncoderClosed();
    // Library encoders built and not yet closed, in the whole process: a
    // leak checker's report inside the library must not hide one never
    // closed.
    static int openLibraryEncoderCountForTesting();
    // Passes that gave what closed encoders freed back to the system; one
    // follows every close, shared by closes that come together.
    static int freedMemoryReturnsForTesting();

private:
    struct Codec;
    class BandWorkers;
    explicit VideoEncoder(const VideoEncoderSettings& settings);
    Status build();
    // Opens the encoder of one kind (none: software) into codec_.
    Status open(std::optional<HardwareVideoEncoder> hardware);
    // Hands the converted picture to the encoder and takes back a frame if
    // one is ready.
    Result<std::optional<EncodedVideoFrame>> submit(uint64_t presentationTimeNs, bool keyFrame);
    Status prepareScaler(const BGRAImage& image);
    // BGRA into the codec's picture, band by band in parallel when it can.
    Status convert(const BGRAImage& image);

    VideoEncoderSettings settings_;
    VideoParameterSets parameterSets_;
    uint64_t buildNumber_ = 0;
    // libav state: the codec context, the one reusable picture and packet,
    // and the BGRA -> YUV scaler (rebuilt only when the source size changes).
    std::unique_ptr<Codec> codec_;
    // Helper threads of the colour conversion; kept across rebuilds.
    std::unique_ptr<BandWorkers> bandWorkers_;
    // The first frame after a build must be an IDR whatever the caller asks.
    bool keyFramePending_ = true;
    int64_t lastPts_ = -1;
    std::string encoderName_;
    // Set once the hardware failed: this session stays on software.
    std::optional<std::string> hardwareFailure_;
    int framesInFlight_ = 0;
    // Encode calls on the hardware so far (for the injected failure).
    int hardwareEncodes_ = 0;
    // Reused output: the length-prefixed NAL units of the last frame.
    std::vector<uint8_t> output_;
};

}  // namespace platform
