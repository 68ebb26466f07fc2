#pragma once
// What the Host keeps for each inbound batch until it is saved or given up,
// the peer sends it serves, and which received batch last left its files
// on the clipboard. Main queue only, except the peer sends (under their
// lock) and the drag pulls (server queue).

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Platform/Files/ConfinedFolder.h"
#include "Platform/Runtime/Log.h"
#include "Platform/Runtime/WorkLedger.h"
#include "Platform/Foundation/Uuid.h"
#include "VelantrixProfiles/FileTransfer/FileTransferService.h"

// A completed batch's staged items until they are delivered: whatever ends
// the batch has them removed (beneath staging's descriptors, off the main
// queue) when this goes or is reset, unless delivery took them first. The
// bytes they hold stay on the batch's peer's account until that removal
// has run, so the account says what is on disk.
class StagedBatchItems {
public:
    StagedBatchItems() = default;
    explicit StagedBatchItems(std::vector<std::filesystem::path> items,
                              platform::WorkLedger::Holding stagedBytes = {})
        : items_(std::move(items)), stagedBytes_(std::move(stagedBytes)) {}
    StagedBatchItems(StagedBatchItems&& other) noexcept
        : items_(std::exchange(other.items_, {})), stagedBytes_(std::move(other.stagedBytes_)) {}
    StagedBatchItems& operator=(StagedBatchItems&& other) noexcept {
        if (this != &other) {
            reset();
            items_ = std::exchange(other.items_, {});
            stagedBytes_ = std::move(other.stagedBytes_);
        }
        return *this;
    }
    StagedBatchItems(const StagedBatchItems&) = delete;
    StagedBatchItems& operator=(const StagedBatchItems&) = delete;
    ~StagedBatchItems() { reset(); }

    const std::vector<std::filesystem::path>& items() const { return items_; }
    // Removes what is still staged, and the batch's staging folder once empty.
    void reset();

private:
    std::vector<std::filesystem::path> items_;
    platform::WorkLedger::Holding stagedBytes_;
};

// The save-location panel up for a batch: withdrawn when this goes, so that
// a batch that ended leaves nobody asked for it. Its place among its peer's
// copies waiting for the Host's user goes with it.
class SaveLocationPanel {
public:
    SaveLocationPanel(const platform::UUID& batchID, platform::WorkLedger::Holding place)
        : batchID_(batchID), place_(std::move(place)) {}
    SaveLocationPanel(SaveLocationPanel&& other) noexcept
        : batchID_(std::exchange(other.batchID_, std::nullopt)), place_(std::move(other.place_)) {}
    SaveLocationPanel& operator=(SaveLocationPanel&& other) noexcept {
        if (this != &other) {
            withdraw();
            batchID_ = std::exchange(other.batchID_, std::nullopt);
            place_ = std::move(other.place_);
        }
        return *this;
    }
    SaveLocationPanel(const SaveLocationPanel&) = delete;
    SaveLocationPanel& operator=(const SaveLocationPanel&) = delete;
    ~SaveLocationPanel() { withdraw(); }

private:
    // Ends the panel if it is still up (shown, or waiting its turn).
    void withdraw();
    std::optional<platform::UUID> batchID_;
    platform::WorkLedger::Holding place_;
};

// What the Host keeps for one inbound batch of a Viewer, from its start
// until its delivery has ended or it is given up. Everything the batch
// holds on the Host's side is held here and nowhere beside it, so that the
// entry going, however the batch ends, lets go of all of it: the folder it
// was to be saved in (and the home it was opened beneath), its staged
// items, its place among its peer's batches; each on that peer's account.
struct InboundBatchDelivery {
    // Which start of the batch ID this is: an answer from off the main
    // queue finds its batch only while it is still this one.
    uint64_t serial = 0;
    // The session that sent it (its upper-case UUID string; empty when
    // none) and that session's peer.
    std::string session;
    std::string peer;
    // The peer's account (none for the Host's own work), and the batch's
    // place on it once it completed (the engine holds it until then). A
    // copy that waits for the Host's user to pick its folder holds no place
    // among the batches once it has arrived: its panel holds one among
    // the copies waiting for a save location instead.
    std::shared_ptr<platform::WorkLedger> ledger;
    platform::WorkLedger::Holding place;
    // A managed copy whose session named its folder owes that session
    // one receipt.
    bool managed = false;
    bool namedItsFolder = false;
    FileTransferDeliveryOptions deliveryOptions;
    // Begun as a Finder drop, with what was known at its start: where it
    // goes is decided when it completes, from the intent then in force.
    std::optional<FileTransferBatchStartInfo> dropStart;
    // Its named folder is being looked for off the main queue.
    bool checkingDestination = false;
    // Its save-location panel, while it is up.
    std::optional<SaveLocationPanel> saveLocationPanel;
    std::optional<std::filesystem::path> destination;
    // A Viewer-named folder as it was opened when checked: the batch's
    // moves work in this folder, whatever its path leads to later. Its
    // descriptors (the home's too, when it was opened beneath the home)
    // are on the peer's account while anything holds it.
    std::shared_ptr<platform::ConfinedFolder> destinationFolder;
    // Set once the batch completed.
    std::optional<StagedBatchItems> staged;
    // What the engine refused at the door or could not receive whole;
    // counted and named as failed when the batch is delivered.
    FileTransferDeliveryResult unsavedOnArrival;
    // While its items move: the flag that stops the moves before the next
    // item (read off the main queue), and what ends a question about a
    // taken name open for it.
    std::shared_ptr<std::atomic<bool>> deliveryStop;
    std::function<void()> endDeliveryQuestion;
    // While its moves wait for descriptors its peer has no room for: the
    // wait's owner, so that it ends with the batch.
    std::shared_ptr<const bool> waitingForDescriptors;

    bool owesReceipt() const { return managed && namedItsFolder && !session.empty(); }
};

struct HostFileDeliveryState {
    // Every inbound batch the Host has heard start and not yet let go of.
    std::map<platform::UUID, InboundBatchDelivery> inboundBatches;
    uint64_t lastInboundSerial = 0;

    InboundBatchDelivery* inboundBatch(const platform::UUID& batchID) {
        auto it = inboundBatches.find(batchID);
        return it == inboundBatches.end() ? nullptr : &it->second;
    }
    // The batch, when it is still the start `serial` names.
    InboundBatchDelivery* inboundBatch(const platform::UUID& batchID, uint64_t serial) {
        auto* batch = inboundBatch(batchID);
        return batch && batch->serial == serial ? batch : nullptr;
    }

    // Each peer send of a Viewer, from its admission until it was sent,
    // failed or given up, holds a place on its peer's account
    // (WorkLedger::Held::sends, over all the peer's sessions): past the
    // kind's bound the next is refused at once, so a Viewer that stops
    // reading cannot pile requests, and the folders each holds, up in its
    // send queue.
    // The folders a peer send's items lie in that it keeps open until it
    // is sent, each a descriptor on its peer's account; items in further
    // folders are reached from the home again, still without following a
    // link, when they are walked.
    static constexpr size_t maxFoldersHeldPerPeerSend = 8;
    struct PeerSends {
        std::mutex lock;
        // Refusals are logged once a second at most, however many come.
        platform::LineRateLimiter refusalLines;
    };
    std::shared_ptr<PeerSends> peerSends = std::make_shared<PeerSends>();
    // The received batch whose files the clipboard now holds.
    std::optional<platform::UUID> latestInboundFileBatchID;

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
