#include "HostApp/Protocol/DisplayControlPayloads.h"

#include <cstdio>

#include "HostApp/Protocol/AuxWireFormat.h"

using auxwire::clampTo;

std::string DisplayLayoutPayload::summary() const {
    char flagText[8];
    std::snprintf(flagText, sizeof flagText, "0x%02x", flags);
    auto rect = [](int64_t w, int64_t h, int64_t x, int64_t y) {
        return std::to_string(w) + "x" + std::to_string(h) + "@" + std::to_string(x) + "," + std::to_string(y);
    };
    std::string text = "display " + std::to_string(displayID) + " target=" +
                       rect(targetWidth, targetHeight, targetX, targetY) +
                       " union=" + rect(unionWidth, unionHeight, unionX, unionY) +
                       " logical=" + std::to_string(targetWidth) + "x" + std::to_string(targetHeight) +
                       " backing=" + std::to_string(pixelWidth) + "x" + std::to_string(pixelHeight) +
                       " flags=" + flagText;
    if (isHiDPI()) text += " HiDPI";
    return text;
}

std::vector<uint8_t> DisplayLayoutPayload::encode() const {
    std::vector<uint8_t> out;
    out.reserve(encodedSize);
    auxwire::Writer w(out);
    w.u32(displayID);
    w.i32(clampTo<int32_t>(targetX));
    w.i32(clampTo<int32_t>(targetY));
    w.u32(clampTo<uint32_t>(targetWidth));
    w.u32(clampTo<uint32_t>(targetHeight));
    w.i32(clampTo<int32_t>(unionX));
    w.i32(clampTo<int32_t>(unionY));
    w.u32(clampTo<uint32_t>(unionWidth));
    w.u32(clampTo<uint32_t>(unionHeight));
    w.u32(clampTo<uint32_t>(pixelWidth));
    w.u32(clampTo<uint32_t>(pixelHeight));
    w.u8(flags);
    return out;
}

std::optional<DisplayLayoutPayload> DisplayLayoutPayload::decode(std::span<const uint8_t> bytes) {
    auxwire::Reader r(bytes);
    DisplayLayoutPayload p;
    p.displayID = r.u32();
    p.targetX = r.i32();
    p.targetY = r.i32();
    p.targetWidth = r.u32();
    p.targetHeight = r.u32();
    p.unionX = r.i32();
    p.unionY = r.i32();
    p.unionWidth = r.u32();
    p.unionHeight = r.u32();
    p.pixelWidth = r.u32();
    p.pixelHeight = r.u32();
    p.flags = r.u8();
    if (!r.ok()) return std::nullopt;
    return p;
}

std::vector<uint8_t> HostDisplayModeControlPayload::encode() const { return {static_cast<uint8_t>(mode)}; }

std::optional<HostDisplayModeControlPayload> HostDisplayModeControlPayload::decode(std::span<const uint8_t> bytes) {
    if (bytes.empty() || bytes[0] > 2) return std::nullopt;
    return HostDisplayModeControlPayload{static_cast<HostDisplayMode>(bytes[0])};
}

std::vector<uint8_t> HostPhysicalDisplayControlPayload::encode() const { return {static_cast<uint8_t>(action)}; }

std::optional<HostPhysicalDisplayControlPayload> HostPhysicalDisplayControlPayload::decode(
    std::span<const uint8_t> bytes) {
    if (bytes.empty() || (bytes[0] != 1 && bytes[0] != 2)) return std::nullopt;
    return HostPhysicalDisplayControlPayload{static_cast<HostPhysicalDisplayAction>(bytes[0])};
}
