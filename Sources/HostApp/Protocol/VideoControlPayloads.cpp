#include "HostApp/Protocol/VideoControlPayloads.h"

#include "HostApp/Protocol/AuxWireFormat.h"

using auxwire::clampTo;

std::vector<uint8_t> VideoPreferenceControlPayload::encode() const { return {rawValue(chromaMode)}; }

std::optional<VideoPreferenceControlPayload> VideoPreferenceControlPayload::decode(std::span<const uint8_t> bytes) {
    if (bytes.empty()) return std::nullopt;
    auto mode = videoChromaModeFromRaw(bytes[0]);
    if (!mode) return std::nullopt;
    return VideoPreferenceControlPayload{*mode};
}

std::vector<uint8_t> VideoStatsPayload::encode() const {
    std::vector<uint8_t> out;
    out.reserve(encodedSize);
    auxwire::Writer w(out);
    w.u16(clampTo<uint16_t>(captureFrames));
    w.u16(clampTo<uint16_t>(encodeSubmits));
    w.u16(clampTo<uint16_t>(encodeDrops));
    w.u16(clampTo<uint16_t>(framesSent));
    w.u32(clampTo<uint32_t>(bytesSent));
    return out;
}

std::optional<VideoStatsPayload> VideoStatsPayload::decode(std::span<const uint8_t> bytes) {
    auxwire::Reader r(bytes);
    VideoStatsPayload p;
    p.captureFrames = r.u16();
    p.encodeSubmits = r.u16();
    p.encodeDrops = r.u16();
    p.framesSent = r.u16();
    p.bytesSent = r.u32();
    if (!r.ok()) return std::nullopt;
    return p;
}
