#include "HostApp/Protocol/DragPayloads.h"

#include <algorithm>

#include "HostApp/Protocol/AuxWireFormat.h"

std::vector<uint8_t> DragSnapshotPayload::encode() const {
    const size_t count = std::min(items.size(), maxDescribedItems);
    std::vector<uint8_t> out;
    out.reserve(5 + count * 10);
    auxwire::Writer w(out);
    w.u32(snapshotID);
    w.u8(static_cast<uint8_t>(count));
    for (size_t i = 0; i < count; ++i) {
        w.u64(items[i].size);
        w.string16(items[i].name);
    }
    return out;
}

std::optional<DragSnapshotPayload> DragSnapshotPayload::decode(std::span<const uint8_t> bytes) {
    auxwire::Reader r(bytes);
    DragSnapshotPayload p;
    p.snapshotID = r.u32();
    const uint8_t count = r.u8();
    for (uint8_t i = 0; i < count && r.ok(); ++i) {
        DragSnapshotItemRecord item;
        item.size = r.u64();
        item.name = r.string16();
        if (r.ok()) p.items.push_back(std::move(item));
    }
    if (!r.ok()) return std::nullopt;
    return p;
}

std::vector<uint8_t> DragSnapshotEndPayload::encode() const {
    std::vector<uint8_t> out;
    auxwire::Writer w(out);
    w.u32(snapshotID);
    return out;
}

std::optional<DragSnapshotEndPayload> DragSnapshotEndPayload::decode(std::span<const uint8_t> bytes) {
    auxwire::Reader r(bytes);
    DragSnapshotEndPayload p;
    p.snapshotID = r.u32();
    if (!r.ok()) return std::nullopt;
    return p;
}
