#pragma once
// A Viewer's capture request (aux type 18): the mode, backend, codec and
// chroma it wants, the canvas size, frame rate, bit rate, route flags and
// whether the user chose it explicitly.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "HostApp/Capture/VideoCaptureMode.h"

struct CaptureModeControlPayload {
    // Bits of `flags`; bits 1 and 5 are carried through without meaning here.
    static constexpr uint8_t flagHiDPI = 0x01;
    static constexpr uint8_t flagAutomaticRefresh = 0x04;
    static constexpr uint8_t flagWiFiRoute = 0x08;
    static constexpr uint8_t flagSupersampled = 0x10;
    static constexpr uint8_t flagReduced = 0x40;
    static constexpr uint8_t flagIOSBuiltInDisplay = 0x80;
    // Bit of `controlIntent`.
    static constexpr uint8_t intentExplicit = 0x01;

    static constexpr size_t wireSize = 20;

    VideoCaptureMode mode = VideoCaptureMode::easy;
    VideoCaptureBackend backend = VideoCaptureBackend::headlessVirtual;
    VideoStreamCodec codec = VideoStreamCodec::hevc;
    VideoChromaMode chromaMode = VideoChromaMode::yuv420;
    int logicalWidth = 0;
    int logicalHeight = 0;
    int pixelWidth = 0;
    int pixelHeight = 0;
    int fps = 0;
    int64_t bitrate = 0;  // bits per second
    uint8_t flags = 0;
    uint8_t controlIntent = 0;

    bool operator==(const CaptureModeControlPayload&) const = default;

    // The catalogue's default request for a mode, HEVC, intent 0.
    static CaptureModeControlPayload preset(VideoCaptureMode mode, VideoChromaMode chromaMode,
                                            VideoCaptureBackend backend);

    // This request moved to another mode: sizes, frame rate and bit rate of
    // the new mode's definition; flags kept; intent cleared.
    CaptureModeControlPayload withMode(VideoCaptureMode newMode) const;

    // Equal in everything but `controlIntent`.
    bool matchesCaptureShape(const CaptureModeControlPayload& other) const;

    std::string summary() const;

    // Sizes, frame rate and bit rate are clamped to their wire widths.
    std::vector<uint8_t> encode() const;
    static std::optional<CaptureModeControlPayload> decode(std::span<const uint8_t> bytes);
};
