#pragma once
// Where the files of each inbound batch go, which Viewer session a batch
// answers to, and which received batch last left its files on the
// clipboard. Main queue only, except the drag pulls (server queue).

#include <atomic>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Platform/Files/ConfinedFolder.h"
#include "Platform/Runtime/Log.h"
#include "Platform/Foundation/Uuid.h"
#include "VelantrixProfiles/FileTransfer/FileTransferService.h"

struct HostFileDeliveryState {
    // Keyed by batch.
    std::map<platform::UUID, std::filesystem::path> pendingFileDestinations;
    // A Viewer-named destination as it was opened when checked: the
    // batch's moves work in this folder, whatever its path leads to later.
    std::map<platform::UUID, std::shared_ptr<platform::ConfinedFolder>> pendingDestinationFolders;
    // Batches whose named destination is being looked for off the main
    // queue: the answer is kept only while its batch still waits for it,
    // so one that ended or became a drop meanwhile leaves nothing open.
    std::set<platform::UUID> destinationChecks;
    std::map<platform::UUID, std::vector<std::filesystem::path>> pendingFileURLs;
    std::map<platform::UUID, FileTransferDeliveryOptions> pendingFileDeliveryOptions;
    // The session (its upper-case UUID string) that named a started
    // batch's destination: its receipt goes there and nowhere else. Taken
    // from the batch's start, which the engine files under (session, ID),
    // so a batch answers only to the session that sent it and its
    // directSave; it leaves with its batch.
    std::map<platform::UUID, std::string> inboundFileTransferRoutingTokens;
    std::set<platform::UUID> managedCopyInboundBatchIDs;
    // Batches whose items are moving into their folder, each with the flag
    // that stops the moves before the next item (read off the main queue).
    std::map<platform::UUID, std::shared_ptr<std::atomic<bool>>> deliveryStops;
    // Batches that began as a Finder drop, with what was known at their
    // start: where they go is decided when they complete, from the intent
    // then in force. Each leaves with its batch.
    std::map<platform::UUID, FileTransferBatchStartInfo> dropStartedInboundBatches;
    // Copies whose save-location panel is up, with the session that sent
    // each and its peer: a peer may keep only so many waiting over all its
    // sessions (a Viewer that reconnects gets no more), the next is refused.
    static constexpr size_t maxBatchesAwaitingSaveLocationPerPeer = 8;
    struct AwaitingSaveLocation {
        std::string session;
        std::string peer;
    };
    std::map<platform::UUID, AwaitingSaveLocation> batchesAwaitingSaveLocation;
    // What of a completed batch the engine refused at the door or could
    // not receive whole; counted and named as failed when the batch is
    // delivered.
    std::map<platform::UUID, FileTransferDeliveryResult> unsavedOnArrival;
    // Batches refused or cancelled before the engine reported them complete:
    // a completion that still arrives has its staged items removed, not
    // recorded. Newest last; bounded, as a cancelled batch may never end.
    static constexpr size_t maxAbandonedBatches = 256;
    std::deque<platform::UUID> abandonedInboundBatchIDs;
    // Peer sends of each Viewer waiting for their send queue or being sent,
    // by peer (over all its sessions): past the bound the next is refused
    // at once,
    // so a Viewer that stops reading cannot pile requests, and the folders
    // each holds, up in its send queue. The server queue admits, the send
    // queue releases: under the lock. Shared with the releases queued.
    static constexpr size_t maxPeerSendsPerViewer = 4;
    // The folders a peer send's items lie in that it keeps open until it
    // is sent; items in further folders are reached from the home again,
    // still without following a link, when they are walked.
    static constexpr size_t maxFoldersHeldPerPeerSend = 8;
    struct PeerSends {
        std::mutex lock;
        std::map<std::string, size_t> byPeer;
        // Refusals are logged once a second at most, however many come.
        platform::LineRateLimiter refusalLines;
        bool admit(const std::string& peer) {
            std::lock_guard guard(lock);
            auto& count = byPeer[peer];
            if (count >= maxPeerSendsPerViewer) return false;
            count += 1;
            return true;
        }
        void release(const std::string& peer) {
            std::lock_guard guard(lock);
            auto it = byPeer.find(peer);
            if (it == byPeer.end()) return;
            if (--it->second == 0) byPeer.erase(it);
        }
        size_t heldForTesting(const std::string& peer) {
            std::lock_guard guard(lock);
            auto it = byPeer.find(peer);
            return it == byPeer.end() ? 0 : it->second;
        }
    };
    std::shared_ptr<PeerSends> peerSends = std::make_shared<PeerSends>();
    // The received batch whose files the clipboard now holds.
    std::optional<platform::UUID> latestInboundFileBatchID;

    // Drops where a batch was to go and how: the folder it named (opened,
    // or still being looked for), its options, a save panel waiting for
    // it, and its unreceived files. Its staged items stay.
    void forgetDestination(const platform::UUID& batchID) {
        destinationChecks.erase(batchID);
        pendingFileDestinations.erase(batchID);
        pendingDestinationFolders.erase(batchID);
        pendingFileDeliveryOptions.erase(batchID);
        batchesAwaitingSaveLocation.erase(batchID);
        unsavedOnArrival.erase(batchID);
    }

    // Drag pulls being served, by item and Viewer session, so a repeat while
    // one waits or runs is dropped instead of sending the item again; its
    // batch leaves once sent. Server queue only.
    struct DragPullKey {
        uint32_t snapshotID = 0;
        uint32_t index = 0;
        platform::UUID session;
        auto operator<=>(const DragPullKey&) const = default;
    };
    struct DragPulls {
        std::map<DragPullKey, platform::UUID> inFlight;
        // Repeats dropped since the last line, which is written once a second.
        size_t droppedRepeats = 0;
        std::optional<uint64_t> lastRepeatLineNs;
    };
    DragPulls dragPulls;
};
