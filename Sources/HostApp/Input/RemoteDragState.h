#pragma once
// What the server keeps of a drag on the Host: the poll of the drag
// pasteboard and the snapshot currently announced to the Viewers. Touched
// only on the server queue, except `dragPollQueue`, where the pasteboard's
// contents and the files' attributes are read.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

#include "Platform/Runtime/Dispatch.h"

// One dragged file as the Viewers are told about it.
struct HostDragItem {
    std::filesystem::path url;
    bool isDirectory = false;
    // All ones for a folder; 0 when the attributes cannot be read.
    uint64_t size = 0;
    bool operator==(const HostDragItem&) const = default;
};

struct RemoteDragState {
    static constexpr uint64_t folderSize = UINT64_MAX;

    // Fires 0.5 s after start, then every 0.2 s, on the server queue.
    std::unique_ptr<platform::DispatchTimer> dragPollTimer;
    // Where the drag pasteboard's contents are read, off the server queue.
    platform::DispatchQueue dragPollQueue{"v230.host.drag.poll"};
    // The drag pasteboard's change count at the last poll; -1 so the first
    // poll reads it.
    int64_t lastDragChangeCount = -1;
    // The current (or last) snapshot; the first is 1, and 0 is skipped
    // when the count wraps.
    uint32_t currentDragSnapshotID = 0;
    // Every URL of the current snapshot, in order, including those past
    // the 255 the snapshot describes; empty when no drag is announced.
    std::vector<std::filesystem::path> currentDragURLs;
};
