#pragma once
// The stream configuration (aux type 19) a Viewer needs before it can decode
// a frame: codec, canvas, frame rate, bit rate and the codec's parameter
// sets as raw NAL units (no start codes, no length prefixes; H.264 has no VPS).

#include <cstdint>
#include <string>
#include <vector>

#include "HostApp/Capture/VideoCaptureMode.h"

struct VideoStreamConfigPayload {
    static constexpr size_t fixedSize = 28;
    static constexpr size_t maxParameterSetSize = 0xFFFF;

    VideoCaptureMode mode = VideoCaptureMode::easy;
    VideoStreamCodec codec = VideoStreamCodec::hevc;
    VideoChromaMode chromaMode = VideoChromaMode::yuv420;
    uint32_t width = 0;
    uint32_t height = 0;
    uint16_t fps = 0;
    uint32_t bitrate = 0;  // bits per second
    std::vector<uint8_t> vps;
    std::vector<uint8_t> sps;
    std::vector<uint8_t> pps;

    bool operator==(const VideoStreamConfigPayload&) const = default;

    // Parameter sets longer than 65,535 bytes go out cut to that length, so
    // the announced lengths always agree with the bytes that follow.
    std::vector<uint8_t> encode() const;

    // e.g. "2560x1440", or "Pro backing=3840x2160" for a HiDPI mode.
    std::string resolutionSummary() const;
};
