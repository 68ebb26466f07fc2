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
#include <unordered_set>
#include <utility>
#include <vector>

#include "Platform/Runtime/Clock.h"
#include "Platform/Files/FileHandles.h"
#include "Platform/Foundation/Uuid.h"
#include "VelantrixProfiles/FileTransfer/FileTransferPacket.h"
#include "VelantrixProfiles/FileTransferWindow/FileTransferDeliveryResult.h"

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
    // The session that sent the batch ("" when the sender is not told), and
    // the principal its bounds count against (FileTransferService::principalOf).
    std::string session;
    std::string principal;
    // Uptime of the batch's last packet; a batch idle too long is dropped.
    uint64_t lastPacketNs = 0;
    std::filesystem::path rootDir;
    platform::FolderHandle root;
    // Top-level items, each once, in arrival order, and their names, so
    // that a packet finds whether its item is noted in constant time
    // however many the batch holds.
    std::vector<std::filesystem::path> topLevelEntries;
    std::unordered_set<std::string> topLevelNames;
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
    // What could not be saved as it arrived: refused at the door (an
    // unsafe path, past the depth or a length), or never made or received
    // whole. The batch's receipt begins with it.
    FileTransferDeliveryResult unsaved;
    // Which start of this ID the batch is (see inboundSerial_).
    uint64_t serial = 0;
};

// Destination and options a directSave gives before its batch starts.
struct PendingDestination {
    std::string path;
    FileTransferDeliveryOptions deliveryOptions;
    std::string session;
};

// A peer's batch ID as the receiving side files it: a session's IDs are
// its own, so another session naming the same ID finds nothing.
using SessionBatchKey = std::pair<std::string, platform::UUID>;

struct FileTransferReceiveState {
    std::map<platform::UUID, InboundBatch> inbound;
    std::map<SessionBatchKey, PendingDestination> pendingDestinations;
    // Oldest first, so the oldest is dropped when the bound is reached.
    std::deque<SessionBatchKey> pendingDestinationOrder;
    // The bytes of the pending destinations' paths, kept as they change.
    size_t pendingDestinationBytes = 0;

    // The open batch `id` of `session`; none when it is not open or belongs
    // to another session.
    InboundBatch* batchOf(const platform::UUID& id, const std::string& session) {
        auto it = inbound.find(id);
        return it == inbound.end() || it->second.session != session ? nullptr : &it->second;
    }

    // Removes the session's pending destination for the batch, from the
    // order too; none when it has none.
    std::optional<PendingDestination> takePendingDestination(const std::string& session, const platform::UUID& id) {
        const SessionBatchKey key{session, id};
        auto it = pendingDestinations.find(key);
        if (it == pendingDestinations.end()) return std::nullopt;
        PendingDestination taken = std::move(it->second);
        pendingDestinations.erase(it);
        std::erase(pendingDestinationOrder, key);
        pendingDestinationBytes -= taken.path.size();
        return taken;
    }

    // Which session a batch ID belongs to, kept past the batch's end: the
    // owner delivers and answers for a batch by its ID long after its last
    // packet, so another session may not start one under it meanwhile.
    // Each live session keeps its newest IDs; an ended session's stay until
    // the bound of ended ones pushes them out, oldest first.
    static constexpr size_t maxOwnedBatchIDsPerSession = 256;
    static constexpr size_t maxEndedSessionBatchIDs = 4096;
    std::map<platform::UUID, std::string> batchOwners;
    std::map<std::string, std::deque<platform::UUID>> ownedBatchOrder;
    std::deque<SessionBatchKey> endedSessionBatchOrder;

    // Whether `id` is another session's than `session`.
    bool ownedByAnother(const platform::UUID& id, const std::string& session) const {
        auto it = batchOwners.find(id);
        return it != batchOwners.end() && it->second != session;
    }
    void noteOwner(const platform::UUID& id, const std::string& session) {
        if (!batchOwners.try_emplace(id, session).second) return;
        auto& order = ownedBatchOrder[session];
        order.push_back(id);
        while (order.size() > maxOwnedBatchIDsPerSession) {
            forgetOwner(order.front(), session);
            order.pop_front();
        }
    }
    void ownerEnded(const std::string& session) {
        auto order = ownedBatchOrder.extract(session);
        if (!order) return;
        for (const auto& id : order.mapped()) endedSessionBatchOrder.emplace_back(session, id);
        while (endedSessionBatchOrder.size() > maxEndedSessionBatchIDs) {
            const auto& [owner, id] = endedSessionBatchOrder.front();
            forgetOwner(id, owner);
            endedSessionBatchOrder.pop_front();
        }
    }
    void forgetOwner(const platform::UUID& id, const std::string& session) {
        if (auto it = batchOwners.find(id); it != batchOwners.end() && it->second == session) batchOwners.erase(it);
    }

    // Uptimes of the last "too many open batches" and "another session's
    // ID" lines, so a flood writes one a second of each.
    std::optional<uint64_t> lastRefusalLineNs;
    std::optional<uint64_t> lastForeignIDLineNs;

    // Whether a line last written at `last` may be written again `now`, at
    // most one a second; notes `now` when it may.
    static bool mayLogNow(std::optional<uint64_t>& last, uint64_t now) {
        if (last && now - *last < 1'000'000'000) return false;
        last = now;
        return true;
    }
};
