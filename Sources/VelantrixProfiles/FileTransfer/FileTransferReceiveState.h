#pragma once
// What the receiving side of a FileTransferService knows of the batches in
// flight. Touched only on the service's receive queue.

#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Platform/Clock.h"
#include "Platform/FileHandles.h"
#include "Platform/Uuid.h"
#include "VelantrixProfiles/FileTransfer/FileTransferPacket.h"

// The file of a batch being written: under a temporary name in its folder
// until its last byte, renamed to its own name only when complete. Only
// the file itself is held open; its folder is found again below the batch
// folder when the file ends, so a batch holds two descriptors at most.
struct InboundFile {
    std::string relativePath;
    std::vector<std::string> components;
    std::string name;
    std::string temporaryName;
    platform::FileHandle handle;
    uint64_t expectedSize = 0;
    uint64_t received = 0;
};

struct InboundBatch {
    // The session that sent the batch ("" when the sender is not told).
    std::string session;
    // Uptime of the batch's last packet; a batch idle too long is dropped.
    uint64_t lastPacketNs = 0;
    std::filesystem::path rootDir;
    platform::FolderHandle root;
    // Top-level items, each once, in arrival order.
    std::vector<std::filesystem::path> topLevelEntries;
    // The file open now; none between files.
    std::optional<InboundFile> current;
    // A file that failed: its later chunks are dropped without a word until
    // the next fileStart.
    bool currentFailed = false;
    uint64_t totalExpectedBytes = 0;
    int64_t totalFilesExpected = 0;
    uint64_t totalReceivedBytes = 0;
    FileTransferIntent intent = FileTransferIntent::copy;
    std::vector<std::string> itemNames;
    std::optional<std::string> destinationHint;
    FileTransferDeliveryOptions deliveryOptions;
    platform::Date startedAt;
    size_t failedFiles = 0;
    // Which start of this ID the batch is (see inboundSerial_).
    uint64_t serial = 0;
};

// Destination and options a directSave gives before its batch starts.
struct PendingDestination {
    std::string path;
    FileTransferDeliveryOptions deliveryOptions;
    std::string session;
};

struct FileTransferReceiveState {
    std::map<platform::UUID, InboundBatch> inbound;
    std::map<platform::UUID, PendingDestination> pendingDestinations;
    // Oldest first, so the oldest is dropped when the bound is reached.
    std::deque<platform::UUID> pendingDestinationOrder;
    // The bytes of the pending destinations' paths, kept as they change.
    size_t pendingDestinationBytes = 0;

    // Removes the batch's pending destination, from the order too; none when
    // it has none.
    std::optional<PendingDestination> takePendingDestination(const platform::UUID& id) {
        auto it = pendingDestinations.find(id);
        if (it == pendingDestinations.end()) return std::nullopt;
        PendingDestination taken = std::move(it->second);
        pendingDestinations.erase(it);
        std::erase(pendingDestinationOrder, id);
        pendingDestinationBytes -= taken.path.size();
        return taken;
    }
    // Uptime of the last "too many open batches" line, so a flood writes
    // one a second.
    std::optional<uint64_t> lastRefusalLineNs;

    // Whether a line last written at `last` may be written again `now`, at
    // most one a second; notes `now` when it may.
    static bool mayLogNow(std::optional<uint64_t>& last, uint64_t now) {
        if (last && now - *last < 1'000'000'000) return false;
        last = now;
        return true;
    }
};
