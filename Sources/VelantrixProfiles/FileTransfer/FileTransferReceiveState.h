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
#include <tuple>
#include <unordered_set>
#include <utility>
#include <vector>

#include "Platform/Runtime/Clock.h"
#include "Platform/Runtime/WorkLedger.h"
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
    // Its descriptor on the peer's account, given back once it is closed
    // (declared first, so the handle closes before it goes).
    platform::WorkLedger::Holding descriptor;
    platform::FileHandle handle;
    uint64_t expectedSize = 0;
    uint64_t received = 0;
};

// A batch being received, filed under its session and ID (SessionBatch).
struct InboundBatch {
    // On the peer's account while the batch is open: its place among the
    // peer's batches, the bytes written into its staging (a failed file's
    // given back once it is removed), and the descriptor of its folder.
    // The first two go on with the completed batch to whoever saves it.
    platform::WorkLedger::Holding place;
    platform::WorkLedger::Holding stagedBytes;
    platform::WorkLedger::Holding rootDescriptor;
    // Uptime of the batch's last packet; a batch idle too long is dropped.
    uint64_t lastPacketNs = 0;
    // Uptime of its start: a batch is given time to get going before its
    // place may go to another machine.
    uint64_t openedNs = 0;
    std::filesystem::path rootDir;
    platform::FolderHandle root;
    // Why `root` could not be made, when it could not: every item of the
    // batch fails as one that could not be staged.
    std::string stagingFailure;
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
    // Frames that moved the copy on (made a folder, began a file, wrote to
    // it, ended it): what earns its sender a frame's time on top of its
    // bytes.
    uint64_t progress = 0;
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

// What a completed batch still holds on its peer's account when the owner
// hears of it: its place among the peer's batches and the bytes it staged.
// Whoever keeps the batch's items keeps these with them, until it has let
// go of the batch and its items are delivered or removed; what nobody
// takes is given back once the completion has been heard.
struct ReceivedBatchHoldings {
    platform::WorkLedger::Holding place;
    platform::WorkLedger::Holding stagedBytes;
};

// Destination and options a directSave gives before its batch starts.
struct PendingDestination {
    std::string path;
    FileTransferDeliveryOptions deliveryOptions;
};

// A batch ID as the receiving side files it: under the session that sent
// it, so another session naming the same ID finds nothing of it. Ordered
// by ID first, so that the sessions that named one ID sit side by side.
struct SessionBatchKey {
    std::string session;
    platform::UUID id;
    bool operator==(const SessionBatchKey&) const = default;
    bool operator<(const SessionBatchKey& other) const {
        return std::tie(id, session) < std::tie(other.id, other.session);
    }
};

// What one session's batch ID stands for: the destination its directSave
// named, waiting for the batch; the batch while it is open; then, while
// the owner still saves it and answers for it by this ID, the claim that
// keeps another session from starting a batch under the same ID. An ID
// that stands for none of these is not kept.
struct SessionBatch {
    // The peer the session belongs to (FileTransferService::principalOf):
    // what the ID holds counts against that peer's bounds.
    std::string principal;
    std::optional<PendingDestination> destination;
    std::optional<InboundBatch> open;
    bool claimed = false;
};

struct FileTransferReceiveState {
    // Every batch ID a peer session sent that still stands for something.
    std::map<SessionBatchKey, SessionBatch> batches;

    // What each peer's IDs hold, so that one peer's flood pushes out only
    // its own oldest: destinations waiting for their batch (and their
    // bytes), and the IDs of ended batches the owner still answers for. A
    // peer that holds none of these is not kept. Its open batches are on
    // its account (InboundBatch::place).
    struct PeerIDs {
        std::deque<SessionBatchKey> destinations;
        size_t destinationBytes = 0;
        std::deque<SessionBatchKey> held;
    };
    std::map<std::string, PeerIDs> peers;
    size_t openTotal = 0;

    // How long what each session with open batches sent lets it count as
    // still sending (FileTransferService::placeKeepingBytesPerSecond): the
    // seconds its bytes bought, left as of `atNs`. Gone with the session.
    struct SendingPace {
        double seconds = 0;
        uint64_t atNs = 0;
    };
    std::map<std::string, SendingPace> paces;

    // Bounds per peer, over all its sessions. A destination may be 64 KiB
    // long: a peer's stay within a byte bound too. The held IDs bound only
    // an owner that never lets go: the Host releases each batch it saved.
    static constexpr size_t maxDestinationsPerPeer = 256;
    static constexpr size_t maxDestinationBytesPerPeer = size_t{4} << 20;
    static constexpr size_t maxHeldIDsPerPeer = 256;

    // The open batch of `key`; none when that session has none under it.
    InboundBatch* openBatch(const SessionBatchKey& key) {
        auto it = batches.find(key);
        return it == batches.end() || !it->second.open ? nullptr : &*it->second.open;
    }
    // The session whose batch is open under `id`, whichever it is: a
    // claim lets one session at a time have one there. For the owner,
    // which names its batches by ID alone.
    std::optional<SessionBatchKey> openUnder(const platform::UUID& id) const {
        for (auto it = batches.lower_bound({"", id}); it != batches.end() && it->first.id == id; ++it)
            if (it->second.open) return it->first;
        return std::nullopt;
    }
    // Whether the session's batch of that ID has ended and the owner still
    // saves it.
    bool held(const SessionBatchKey& key) const {
        auto it = batches.find(key);
        return it != batches.end() && it->second.claimed && !it->second.open;
    }
    // Whether another session than `key`'s has a claim on its ID.
    bool claimedByAnother(const SessionBatchKey& key) const {
        for (auto it = batches.lower_bound({"", key.id}); it != batches.end() && it->first.id == key.id; ++it)
            if (it->second.claimed && it->first.session != key.session) return true;
        return false;
    }
    size_t openCount() const { return openTotal; }
    size_t destinationCount() const {
        size_t count = 0;
        for (const auto& [principal, peer] : peers) count += peer.destinations.size();
        return count;
    }

    // Keeps the directSave's destination for the session's batch of that
    // ID, in place of any it named before; past the peer's bounds its
    // oldest destinations go, never another peer's.
    void rememberDestination(const SessionBatchKey& key, const std::string& principal, PendingDestination destination) {
        auto [it, added] = batches.try_emplace(key);
        if (added) it->second.principal = principal;
        auto& entry = it->second;
        auto& peer = peers[entry.principal];
        if (entry.destination) {
            peer.destinationBytes -= entry.destination->path.size();
        } else {
            peer.destinations.push_back(key);
        }
        peer.destinationBytes += destination.path.size();
        entry.destination = std::move(destination);
        while (peer.destinations.size() > maxDestinationsPerPeer ||
               (peer.destinations.size() > 1 && peer.destinationBytes > maxDestinationBytesPerPeer))
            takeDestination(SessionBatchKey(peer.destinations.front()));
    }
    // Removes the session's destination for its batch of that ID; none
    // when it has none.
    std::optional<PendingDestination> takeDestination(const SessionBatchKey& key) {
        auto it = batches.find(key);
        if (it == batches.end() || !it->second.destination) return std::nullopt;
        auto& peer = peers[it->second.principal];
        PendingDestination taken = std::move(*it->second.destination);
        it->second.destination.reset();
        std::erase(peer.destinations, key);
        peer.destinationBytes -= taken.path.size();
        forgetIfEmpty(it);
        return taken;
    }

    // The batch of `key` starts (none of it is open now): the ID is
    // claimed for its session.
    InboundBatch& open(const SessionBatchKey& key, const std::string& principal, InboundBatch batch) {
        auto [it, added] = batches.try_emplace(key);
        if (added) it->second.principal = principal;
        if (it->second.claimed) std::erase(peers[it->second.principal].held, key);
        it->second.claimed = true;
        it->second.open = std::move(batch);
        openTotal += 1;
        return *it->second.open;
    }
    // The batch ended whole: the owner still saves it, so its ID stays
    // claimed until the owner lets go of it (release), or until the peer's
    // newer ones push it out.
    void close(const SessionBatchKey& key) {
        auto it = batches.find(key);
        if (it == batches.end() || !it->second.open) return;
        it->second.open.reset();
        auto& peer = peers[it->second.principal];
        openTotal -= 1;
        peer.held.push_back(key);
        while (peer.held.size() > maxHeldIDsPerPeer) releaseHeld(SessionBatchKey(peer.held.front()));
    }
    // The batch was dropped before it ended: nothing of it is left for
    // anyone to save or answer for, so its ID is free again.
    void drop(const SessionBatchKey& key) {
        auto it = batches.find(key);
        if (it == batches.end() || !it->second.open) return;
        it->second.open.reset();
        it->second.claimed = false;
        openTotal -= 1;
        forgetIfEmpty(it);
    }
    // The owner let go of the ended batch under `id`.
    void release(const platform::UUID& id) {
        std::vector<SessionBatchKey> held;
        for (auto it = batches.lower_bound({"", id}); it != batches.end() && it->first.id == id; ++it)
            if (it->second.claimed && !it->second.open) held.push_back(it->first);
        for (const auto& key : held) releaseHeld(key);
    }
    void releaseHeld(const SessionBatchKey& key) {
        auto it = batches.find(key);
        if (it == batches.end() || it->second.open || !it->second.claimed) return;
        it->second.claimed = false;
        std::erase(peers[it->second.principal].held, key);
        forgetIfEmpty(it);
    }
    // The session ended (its open batches already dropped): its waiting
    // destinations go; the IDs of its ended batches stay claimed while
    // the owner still saves them.
    void sessionEnded(const std::string& session) {
        std::vector<SessionBatchKey> named;
        for (const auto& [key, entry] : batches)
            if (key.session == session && entry.destination) named.push_back(key);
        for (const auto& key : named) takeDestination(key);
        paces.erase(session);
    }

    void forgetIfEmpty(std::map<SessionBatchKey, SessionBatch>::iterator it) {
        const std::string principal = it->second.principal;
        if (!it->second.destination && !it->second.open && !it->second.claimed) batches.erase(it);
        auto peer = peers.find(principal);
        if (peer != peers.end() && peer->second.destinations.empty() && peer->second.held.empty())
            peers.erase(peer);
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
