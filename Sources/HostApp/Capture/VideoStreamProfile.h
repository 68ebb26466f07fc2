#pragma once
// The resolved settings of one video stream: which display it reads, the
// encoded canvas, codec, chroma, frame rate, bit rate and rate-control
// pacing; and the catalogue rules that turn a capture request into them.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "HostApp/Capture/CaptureModeControlPayload.h"
#include "VelantrixProfiles/DisplayProfiles/DisplayProfileCatalog.h"

// The resolution a request asks for: "HiDPI 1080" for a supersampled request
// on Apple silicon; for Easy, the adaptive Easy resolution matching the
// request's four sizes; otherwise the resolution of the mode's definition.
ResolutionProfile resolvedAdaptiveResolution(const CaptureModeControlPayload& request);

// The longest encoded side, in pixels, that the transport allows for a request.
int transportMaxDimension(const CaptureModeControlPayload& request);

struct VideoStreamProfile {
    // The lowest average bit rate a stream is encoded at, bits per second.
    static constexpr int64_t minimumBitrate = 100000;
    // The highest frame rate a stream runs at: beyond any display's refresh
    // a higher rate only inflates the key-frame interval and the encoder's
    // timing.
    static constexpr int maximumFps = 120;

    uint32_t displayID = 0;
    VideoCaptureMode mode = VideoCaptureMode::easy;
    ResolutionProfile requestedResolution;
    VideoStreamCodec codec = VideoStreamCodec::hevc;
    VideoChromaMode chromaMode = VideoChromaMode::yuv420;
    int width = 0;   // encoded size
    int height = 0;
    // The mode insists on its exact canvas; validation checks the encoded size.
    bool strictEncodedSizeRequired = false;
    // The longest side the canvas was limited to when it was built.
    int validationMaxDimension = 0;
    int fps = 60;
    int64_t bitrate = 0;  // average, bits per second
    // Rate-control pacing; the Motion stream overrides all three.
    int keyframeIntervalSeconds = 2;
    double burstBitrateRatio = 1.5;
    int burstWindowSeconds = 1;
    // The display's pixel size when the profile was built (0 when unknown).
    int displayPixelWidth = 0;
    int displayPixelHeight = 0;

    bool operator==(const VideoStreamProfile&) const = default;

    // `maxDimensionCap`, when given, further limits the longer encoded side.
    static VideoStreamProfile forDisplay(uint32_t displayID, const CaptureModeControlPayload& request,
                                         bool permitsAdaptivePhysicalGeometry,
                                         std::optional<int> maxDimensionCap);

    // Scales so that the longer side is at most `maxDimension`, rounds each
    // side down, then down to an even number of at least 2.
    static std::pair<int, int> scaledSize(int width, int height, int maxDimension);

    // The longer encoded side equals `longEdge` and the canvas has the
    // display's aspect ratio (within 0.02) and orientation.
    bool matchesDisplayAspectAtLongEdge(int longEdge) const;

    // e.g. "HEVC 3840x2160 @60fps"
    std::string title() const;

    // Why this profile cannot serve a strict mode, or nothing when it can.
    std::optional<std::string> validationErrorForRequestedMode() const;

    // A display's current pixel size: from its layout, else its bounds.
    struct DisplayShape {
        int pixelWidth = 0;
        int pixelHeight = 0;
    };
    static std::optional<DisplayShape> displayShape(uint32_t displayID);
};
