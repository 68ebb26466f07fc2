#pragma once
// Where the files of each inbound batch go, which Viewer session a batch
// or a listing answers to, and which received batch last left its files
// on the clipboard. Main queue only, except the listing requesters, which
// the server queue writes and the service's receive queue reads.

#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Platform/ConfinedFolder.h"
#include "Platform/Uuid.h"
#include "VelantrixProfiles/FileTransfer/FileTransferPacket.h"

struct HostFileDeliveryState {
    // Keyed by batch.
    std::map<platform::UUID, std::filesystem::path> pendingFileDestinations;
    // A Viewer-named destination as it was opened when checked: the
    // batch's moves work in this folder, whatever its path leads to later.
    std::map<platform::UUID, std::shared_ptr<platform::ConfinedFolder>> pendingDestinationFolders;
    std::map<platform::UUID, std::vector<std::filesystem::path>> pendingFileURLs;
    std::map<platform::UUID, FileTransferDeliveryOptions> pendingFileDeliveryOptions;
    // The session (its upper-case UUID string) that named a batch's
    // destination: its receipt goes there and nowhere else.
    std::map<platform::UUID, std::string> inboundFileTransferRoutingTokens;
    // The order directSave named them in, so the oldest go first.
    std::deque<platform::UUID> inboundRoutingTokenOrder;
    std::set<platform::UUID> managedCopyInboundBatchIDs;
    // Files of a completed batch the engine could not receive whole; they
    // count as failed when the batch is delivered.
    std::map<platform::UUID, size_t> unreceivedFileCounts;
    // Batches refused or cancelled before the engine reported them complete:
    // a completion that still arrives has its staged items removed, not
    // recorded. Newest last; bounded, as a cancelled batch may never end.
    static constexpr size_t maxAbandonedBatches = 256;
    std::deque<platform::UUID> abandonedInboundBatchIDs;
    // The received batch whose files the clipboard now holds.
    std::optional<platform::UUID> latestInboundFileBatchID;

    // Listing request → the session that asked, so the reply reaches that
    // Viewer only. Bounded: a Viewer that floods requests loses the oldest
    // entries (their replies then go to every Viewer, as before).
    static constexpr size_t maxListingRequesters = 1024;
    std::mutex listingRequestersLock;
    std::map<platform::UUID, platform::UUID> listingRequesters;
    std::deque<platform::UUID> listingRequestOrder;
};
