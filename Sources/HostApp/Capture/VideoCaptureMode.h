#pragma once
// The enumerations of a capture request that cross the wire, with their
// conversions from wire values (which fail for unknown values) and their
// names in log texts.

#include <cstdint>
#include <optional>
#include <string>

#include "VelantrixProfiles/DisplayProfiles/DisplayProfileCatalog.h"

// Raw values are the wire and catalogue codes.
enum class VideoCaptureMode : uint8_t { physical1080 = 0, physical1440 = 1, easy = 3, pro = 4, max = 6 };

enum class VideoCaptureBackend : uint8_t { physical = 0, headlessVirtual = 1 };

// Raw values are the wire codes of type 18 and type 19.
enum class VideoStreamCodec : uint8_t { h264 = 1, hevc = 2 };

enum class VideoChromaMode : uint8_t { yuv420 = 0, yuv444 = 1 };

inline constexpr VideoCaptureMode kAllVideoCaptureModes[] = {
    VideoCaptureMode::physical1080, VideoCaptureMode::physical1440, VideoCaptureMode::easy,
    VideoCaptureMode::pro, VideoCaptureMode::max};

constexpr uint8_t rawValue(VideoCaptureMode m) { return static_cast<uint8_t>(m); }
constexpr uint8_t rawValue(VideoCaptureBackend b) { return static_cast<uint8_t>(b); }
constexpr uint8_t rawValue(VideoStreamCodec c) { return static_cast<uint8_t>(c); }
constexpr uint8_t rawValue(VideoChromaMode c) { return static_cast<uint8_t>(c); }

constexpr std::optional<VideoCaptureMode> videoCaptureModeFromRaw(uint8_t raw) {
    switch (raw) {
        case 0: return VideoCaptureMode::physical1080;
        case 1: return VideoCaptureMode::physical1440;
        case 3: return VideoCaptureMode::easy;
        case 4: return VideoCaptureMode::pro;
        case 6: return VideoCaptureMode::max;
        default: return std::nullopt;
    }
}

constexpr std::optional<VideoCaptureBackend> videoCaptureBackendFromRaw(uint8_t raw) {
    if (raw > 1) return std::nullopt;
    return static_cast<VideoCaptureBackend>(raw);
}

constexpr std::optional<VideoStreamCodec> videoStreamCodecFromRaw(uint8_t raw) {
    if (raw != 1 && raw != 2) return std::nullopt;
    return static_cast<VideoStreamCodec>(raw);
}

constexpr std::optional<VideoChromaMode> videoChromaModeFromRaw(uint8_t raw) {
    if (raw > 1) return std::nullopt;
    return static_cast<VideoChromaMode>(raw);
}

inline std::string name(VideoCaptureMode m) {
    switch (m) {
        case VideoCaptureMode::physical1080: return "physical1080";
        case VideoCaptureMode::physical1440: return "physical1440";
        case VideoCaptureMode::easy: return "easy";
        case VideoCaptureMode::pro: return "pro";
        case VideoCaptureMode::max: return "max";
    }
    return "easy";
}

inline std::string name(VideoCaptureBackend b) {
    return b == VideoCaptureBackend::physical ? "physical" : "headlessVirtual";
}

inline std::string name(VideoStreamCodec c) { return c == VideoStreamCodec::hevc ? "hevc" : "h264"; }

inline std::string name(VideoChromaMode c) { return c == VideoChromaMode::yuv444 ? "yuv444" : "yuv420"; }

// The catalogue definition of a mode, or the Easy definition when the
// catalogue has none for its code.
inline const CaptureModeProfileDefinition& captureModeDefinition(VideoCaptureMode m) {
    return DisplayProfileCatalog::modeProfileOrEasy(rawValue(m));
}

// The title every log line and Viewer message uses to name a mode.
inline const std::string& modeTitle(VideoCaptureMode m) { return captureModeDefinition(m).title; }
