#include "HostApp/Capture/CaptureModeControlPayload.h"

#include <algorithm>

#include "HostApp/Protocol/AuxWireFormat.h"

namespace {

uint16_t clampU16(int64_t v) { return static_cast<uint16_t>(std::clamp<int64_t>(v, 0, 0xFFFF)); }
uint32_t clampU32(int64_t v) { return static_cast<uint32_t>(std::clamp<int64_t>(v, 0, 0xFFFF'FFFFLL)); }

uint16_t readU16(std::span<const uint8_t> b, size_t at) {
    return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}

uint32_t readU32(std::span<const uint8_t> b, size_t at) {
    return static_cast<uint32_t>(b[at]) | (static_cast<uint32_t>(b[at + 1]) << 8) |
           (static_cast<uint32_t>(b[at + 2]) << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

// The mode with its catalogue size, frame rate and bit rate (for the
// payload's chroma), not chosen by the user.
void takeModeDefaults(CaptureModeControlPayload& p, VideoCaptureMode mode) {
    const auto& definition = captureModeDefinition(mode);
    p.mode = mode;
    p.logicalWidth = definition.resolution.logicalWidth;
    p.logicalHeight = definition.resolution.logicalHeight;
    p.pixelWidth = definition.resolution.pixelWidth;
    p.pixelHeight = definition.resolution.pixelHeight;
    p.fps = definition.fps;
    p.bitrate = definition.bitrate(p.chromaMode == VideoChromaMode::yuv444);
    p.controlIntent = 0;
}

}  // namespace

CaptureModeControlPayload CaptureModeControlPayload::preset(VideoCaptureMode mode, VideoChromaMode chromaMode,
                                                            VideoCaptureBackend backend) {
    CaptureModeControlPayload p;
    p.backend = backend;
    p.codec = VideoStreamCodec::hevc;
    p.chromaMode = chromaMode;
    takeModeDefaults(p, mode);
    p.flags = captureModeDefinition(mode).resolution.hiDPI ? flagHiDPI : 0;
    return p;
}

CaptureModeControlPayload CaptureModeControlPayload::withMode(VideoCaptureMode newMode) const {
    if (newMode == mode) return *this;
    CaptureModeControlPayload p = *this;
    takeModeDefaults(p, newMode);
    return p;
}

bool CaptureModeControlPayload::matchesCaptureShape(const CaptureModeControlPayload& other) const {
    CaptureModeControlPayload a = *this;
    a.controlIntent = other.controlIntent;
    return a == other;
}

std::string CaptureModeControlPayload::summary() const {
    return modeTitle(mode) + " backend=" + name(backend) + " codec=" + name(codec) + " chroma=" +
           (chromaMode == VideoChromaMode::yuv444 ? "4:4:4" : "4:2:0") + " logical=" +
           std::to_string(logicalWidth) + "x" + std::to_string(logicalHeight) + " pixel=" +
           std::to_string(pixelWidth) + "x" + std::to_string(pixelHeight) + " bitrate=" + std::to_string(bitrate);
}

std::vector<uint8_t> CaptureModeControlPayload::encode() const {
    std::vector<uint8_t> out;
    out.reserve(wireSize);
    auxwire::Writer w(out);
    w.u8(rawValue(mode));
    w.u8(rawValue(backend));
    w.u8(rawValue(codec));
    w.u8(rawValue(chromaMode));
    w.u16(clampU16(logicalWidth));
    w.u16(clampU16(logicalHeight));
    w.u16(clampU16(pixelWidth));
    w.u16(clampU16(pixelHeight));
    w.u16(clampU16(fps));
    w.u32(clampU32(bitrate));
    w.u8(flags);
    w.u8(controlIntent);
    return out;
}

std::optional<CaptureModeControlPayload> CaptureModeControlPayload::decode(std::span<const uint8_t> bytes) {
    if (bytes.empty()) return std::nullopt;
    const auto mode = videoCaptureModeFromRaw(bytes[0]);
    if (!mode) return std::nullopt;
    // A short or partly unknown request still names a mode: honour the mode
    // with its catalogue defaults rather than dropping the Viewer's choice.
    const auto fallback = preset(*mode, VideoChromaMode::yuv420, VideoCaptureBackend::headlessVirtual);
    if (bytes.size() < wireSize) return fallback;
    const auto backend = videoCaptureBackendFromRaw(bytes[1]);
    const auto codec = videoStreamCodecFromRaw(bytes[2]);
    const auto chroma = videoChromaModeFromRaw(bytes[3]);
    if (!backend || !codec || !chroma) return fallback;

    CaptureModeControlPayload p;
    p.mode = *mode;
    p.backend = *backend;
    p.codec = *codec;
    p.chromaMode = *chroma;
    p.logicalWidth = readU16(bytes, 4);
    p.logicalHeight = readU16(bytes, 6);
    p.pixelWidth = readU16(bytes, 8);
    p.pixelHeight = readU16(bytes, 10);
    p.fps = readU16(bytes, 12);
    p.bitrate = readU32(bytes, 14);
    p.flags = bytes[18];
    p.controlIntent = bytes[19];
    return p;
}
