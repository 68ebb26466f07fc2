#pragma once
// The Viewer's chroma preference (21) and the Host's per-second video
// statistics (22). Little-endian.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "HostApp/Capture/VideoCaptureMode.h"

// Type 21: one byte, 0 = 4:2:0, 1 = 4:4:4.
struct VideoPreferenceControlPayload {
    VideoChromaMode chromaMode = VideoChromaMode::yuv420;

    std::vector<uint8_t> encode() const;
    // The first byte must be 0 or 1; bytes after it are ignored.
    static std::optional<VideoPreferenceControlPayload> decode(std::span<const uint8_t> bytes);
    bool operator==(const VideoPreferenceControlPayload&) const = default;
};

// Type 22: the shared stream's counters of the last second.
struct VideoStatsPayload {
    static constexpr size_t encodedSize = 12;

    // Wide in memory; each is clamped to its wire width (u16, bytesSent u32).
    int64_t captureFrames = 0;
    int64_t encodeSubmits = 0;
    int64_t encodeDrops = 0;
    int64_t framesSent = 0;
    int64_t bytesSent = 0;

    std::vector<uint8_t> encode() const;
    // At least 12 bytes; bytes after them are ignored.
    static std::optional<VideoStatsPayload> decode(std::span<const uint8_t> bytes);
    bool operator==(const VideoStatsPayload&) const = default;
};
