#include "HostApp/Protocol/InputControlPayloads.h"

#include "HostApp/Protocol/AuxWireFormat.h"

std::vector<uint8_t> PointerEventControlPayload::encode() const {
    std::vector<uint8_t> out;
    auxwire::Writer w(out);
    w.u8(buttonMask);
    w.u16(x);
    w.u16(y);
    w.u16(framebufferWidth);
    w.u16(framebufferHeight);
    return out;
}

std::optional<PointerEventControlPayload> PointerEventControlPayload::decode(std::span<const uint8_t> bytes) {
    auxwire::Reader r(bytes);
    PointerEventControlPayload p;
    p.buttonMask = r.u8();
    p.x = r.u16();
    p.y = r.u16();
    p.framebufferWidth = r.u16();
    p.framebufferHeight = r.u16();
    if (!r.ok()) return std::nullopt;
    return p;
}

std::vector<uint8_t> GestureEventControlPayload::encode() const {
    std::vector<uint8_t> out;
    auxwire::Writer w(out);
    w.u8(static_cast<uint8_t>(kind));
    w.u16(x);
    w.u16(y);
    w.u16(framebufferWidth);
    w.u16(framebufferHeight);
    w.i16(deltaX);
    w.i16(deltaY);
    w.i16(unitsOrAmount);
    return out;
}

std::optional<GestureEventControlPayload> GestureEventControlPayload::decode(std::span<const uint8_t> bytes) {
    auxwire::Reader r(bytes);
    GestureEventControlPayload p;
    uint8_t kind = r.u8();
    p.x = r.u16();
    p.y = r.u16();
    p.framebufferWidth = r.u16();
    p.framebufferHeight = r.u16();
    p.deltaX = r.i16();
    p.deltaY = r.i16();
    p.unitsOrAmount = r.i16();
    if (!r.ok() || (kind != 1 && kind != 2)) return std::nullopt;
    p.kind = static_cast<GestureEventKind>(kind);
    return p;
}

std::optional<HostShortcutKind> hostShortcutKindFromRaw(uint8_t raw) {
    if ((raw >= 1 && raw <= 5) || (raw >= 10 && raw <= 20) || raw == 22 || raw == 23 || raw == 50 || raw == 51 ||
        raw == 100 || raw == 101 || raw == 160 || raw == 161) {
        return static_cast<HostShortcutKind>(raw);
    }
    return std::nullopt;
}

std::vector<uint8_t> HostShortcutControlPayload::encode() const { return {static_cast<uint8_t>(kind)}; }

std::optional<HostShortcutControlPayload> HostShortcutControlPayload::decode(std::span<const uint8_t> bytes) {
    if (bytes.empty()) return std::nullopt;
    auto kind = hostShortcutKindFromRaw(bytes[0]);
    if (!kind) return std::nullopt;
    return HostShortcutControlPayload{*kind};
}

std::vector<uint8_t> KeyEventControlPayload::encode() const {
    std::vector<uint8_t> out;
    auxwire::Writer w(out);
    w.u32(keysym);
    w.u8(down ? 1 : 0);
    return out;
}

std::optional<KeyEventControlPayload> KeyEventControlPayload::decode(std::span<const uint8_t> bytes) {
    auxwire::Reader r(bytes);
    KeyEventControlPayload p;
    p.keysym = r.u32();
    p.down = r.u8() != 0;
    if (!r.ok()) return std::nullopt;
    return p;
}

std::vector<uint8_t> RawKeyEventControlPayload::encode() const {
    std::vector<uint8_t> out;
    auxwire::Writer w(out);
    w.u16(keyCode);
    w.u64(flags);
    w.u8(down ? 1 : 0);
    return out;
}

std::optional<RawKeyEventControlPayload> RawKeyEventControlPayload::decode(std::span<const uint8_t> bytes) {
    auxwire::Reader r(bytes);
    RawKeyEventControlPayload p;
    p.keyCode = r.u16();
    p.flags = r.u64();
    p.down = r.u8() != 0;
    if (!r.ok()) return std::nullopt;
    return p;
}

std::vector<uint8_t> SystemDefinedKeyEventControlPayload::encode() const {
    std::vector<uint8_t> out;
    auxwire::Writer(out).u16(keyType);
    return out;
}

std::optional<SystemDefinedKeyEventControlPayload> SystemDefinedKeyEventControlPayload::decode(
    std::span<const uint8_t> bytes) {
    auxwire::Reader r(bytes);
    SystemDefinedKeyEventControlPayload p;
    p.keyType = r.u16();
    if (!r.ok()) return std::nullopt;
    return p;
}

std::vector<uint8_t> DragPullRequestPayload::encode() const {
    std::vector<uint8_t> out;
    auxwire::Writer w(out);
    w.u32(snapshotID);
    w.u32(index);
    return out;
}

std::optional<DragPullRequestPayload> DragPullRequestPayload::decode(std::span<const uint8_t> bytes) {
    auxwire::Reader r(bytes);
    DragPullRequestPayload p;
    p.snapshotID = r.u32();
    p.index = r.u32();
    if (!r.ok()) return std::nullopt;
    return p;
}
