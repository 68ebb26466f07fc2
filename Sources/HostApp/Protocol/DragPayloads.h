#pragma once
// What the Host tells Viewers about a drag in progress on the Host: the
// drag snapshot (38), naming and sizing the dragged files, and its end
// (40). The Viewer's pull of one item (39) is DragPullRequestPayload.
// All little-endian.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// One described item: its size (all ones for a folder) and its file name.
struct DragSnapshotItemRecord {
    uint64_t size = 0;
    std::string name;
    bool operator==(const DragSnapshotItemRecord&) const = default;
};

// Type 38: snapshot id (u32), count (u8), then count records of size (u64)
// and name (u16 text).
struct DragSnapshotPayload {
    // A drag of more items is described by its first 255; a pull may still
    // name any of them.
    static constexpr size_t maxDescribedItems = 255;

    uint32_t snapshotID = 0;
    std::vector<DragSnapshotItemRecord> items;

    // Describes at most the first maxDescribedItems items.
    std::vector<uint8_t> encode() const;
    static std::optional<DragSnapshotPayload> decode(std::span<const uint8_t> bytes);
    bool operator==(const DragSnapshotPayload&) const = default;
};

// Type 40: the snapshot id (u32) of the drag that ended.
struct DragSnapshotEndPayload {
    static constexpr size_t encodedSize = 4;

    uint32_t snapshotID = 0;

    std::vector<uint8_t> encode() const;
    static std::optional<DragSnapshotEndPayload> decode(std::span<const uint8_t> bytes);
    bool operator==(const DragSnapshotEndPayload&) const = default;
};
