#include "HostApp/Protocol/AudioControlPayloads.h"

#include <algorithm>

#include "HostApp/Protocol/AuxWireFormat.h"

std::vector<uint8_t> AudioControlPayload::encode() const {
    std::vector<uint8_t> out;
    auxwire::Writer w(out);
    w.u8(static_cast<uint8_t>((listenHereOnly ? listenHereOnlyBit : 0) | (valuePresent ? valuePresentBit : 0) |
                              (muteHostOutput ? muteHostOutputBit : 0)));
    if (valuePresent) w.u32(value);
    return out;
}

std::optional<AudioControlPayload> AudioControlPayload::decode(std::span<const uint8_t> bytes) {
    if (bytes.empty()) return std::nullopt;
    uint8_t b = bytes[0];
    AudioControlPayload p;
    p.listenHereOnly = (b & listenHereOnlyBit) != 0;
    p.muteHostOutput = (b & muteHostOutputBit) != 0;
    p.valuePresent = (b & valuePresentBit) != 0 && bytes.size() >= 2;
    if ((b & valuePresentBit) != 0 && bytes.size() >= 5) {
        auxwire::Reader r(bytes.subspan(1));
        p.value = r.u32();
    }
    return p;
}

std::vector<uint8_t> HostRecordingControlPayload::encode() const {
    std::vector<uint8_t> out;
    auxwire::Writer w(out);
    w.u8(static_cast<uint8_t>(action));
    w.u16(auxwire::unitToU16(x));
    w.u16(auxwire::unitToU16(y));
    w.u16(auxwire::unitToU16(width));
    w.u16(auxwire::unitToU16(height));
    return out;
}

std::optional<HostRecordingControlPayload> HostRecordingControlPayload::decode(std::span<const uint8_t> bytes) {
    auxwire::Reader r(bytes);
    uint8_t action = r.u8();
    double x = auxwire::u16ToUnit(r.u16());
    double y = auxwire::u16ToUnit(r.u16());
    double width = auxwire::u16ToUnit(r.u16());
    double height = auxwire::u16ToUnit(r.u16());
    if (!r.ok() || action > 1) return std::nullopt;
    HostRecordingControlPayload p;
    p.action = static_cast<HostRecordingAction>(action);
    p.width = std::min(1.0, std::max(minimumSide, width));
    p.height = std::min(1.0, std::max(minimumSide, height));
    p.x = std::min(1.0 - p.width, x);
    p.y = std::min(1.0 - p.height, y);
    return p;
}

std::vector<uint8_t> HostRecordingStatePayload::encode() const {
    std::vector<uint8_t> out;
    auxwire::Writer w(out);
    w.u8(static_cast<uint8_t>(state));
    w.u64(fileSize);
    w.string16(path);
    w.string16(message);
    return out;
}

std::optional<HostRecordingStatePayload> HostRecordingStatePayload::decode(std::span<const uint8_t> bytes) {
    auxwire::Reader r(bytes);
    uint8_t state = r.u8();
    HostRecordingStatePayload p;
    p.fileSize = r.u64();
    p.path = r.string16();
    p.message = r.string16();
    if (!r.ok() || state < 1 || state > 4) return std::nullopt;
    p.state = static_cast<HostRecordingState>(state);
    return p;
}
