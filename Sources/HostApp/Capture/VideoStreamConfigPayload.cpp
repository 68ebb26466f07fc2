#include "HostApp/Capture/VideoStreamConfigPayload.h"

#include <algorithm>

#include "HostApp/Protocol/AuxWireFormat.h"

namespace {

size_t announcedSize(const std::vector<uint8_t>& set) {
    return std::min(set.size(), VideoStreamConfigPayload::maxParameterSetSize);
}

}  // namespace

std::vector<uint8_t> VideoStreamConfigPayload::encode() const {
    const size_t vpsSize = announcedSize(vps), spsSize = announcedSize(sps), ppsSize = announcedSize(pps);
    std::vector<uint8_t> out;
    out.reserve(fixedSize + vpsSize + spsSize + ppsSize);
    auxwire::Writer w(out);
    w.u8(rawValue(codec));
    w.u8(rawValue(mode));
    w.u8(rawValue(chromaMode));
    w.u8(0);
    w.u32(width);
    w.u32(height);
    w.u16(fps);
    w.u16(0);
    w.u32(bitrate);
    w.u16(static_cast<uint16_t>(vpsSize));
    w.u16(static_cast<uint16_t>(spsSize));
    w.u16(static_cast<uint16_t>(ppsSize));
    w.u16(0);
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
