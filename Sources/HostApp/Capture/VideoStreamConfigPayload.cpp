#include "HostApp/Capture/VideoStreamConfigPayload.h"

#include <algorithm>

namespace {

void putU16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void putU32(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

size_t announcedSize(const std::vector<uint8_t>& set) {
    return std::min(set.size(), VideoStreamConfigPayload::maxParameterSetSize);
}

}  // namespace

std::vector<uint8_t> VideoStreamConfigPayload::encode() const {
    const size_t vpsSize = announcedSize(vps), spsSize = announcedSize(sps), ppsSize = announcedSize(pps);
    std::vector<uint8_t> out;
    out.reserve(fixedSize + vpsSize + spsSize + ppsSize);
    out.push_back(rawValue(codec));
    out.push_back(rawValue(mode));
    out.push_back(rawValue(chromaMode));
    out.push_back(0);
    putU32(out, width);
    putU32(out, height);
    putU16(out, fps);
    putU16(out, 0);
    putU32(out, bitrate);
    putU16(out, static_cast<uint16_t>(vpsSize));
    putU16(out, static_cast<uint16_t>(spsSize));
    putU16(out, static_cast<uint16_t>(ppsSize));
    putU16(out, 0);
    out.insert(out.end(), vps.begin(), vps.begin() + static_cast<ptrdiff_t>(vpsSize));
    out.insert(out.end(), sps.begin(), sps.begin() + static_cast<ptrdiff_t>(spsSize));
    out.insert(out.end(), pps.begin(), pps.begin() + static_cast<ptrdiff_t>(ppsSize));
    return out;
}

std::string VideoStreamConfigPayload::resolutionSummary() const {
    const auto& definition = captureModeDefinition(mode);
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    if (!definition.resolution.hiDPI) return size;
    return definition.title + " backing=" + size;
}
