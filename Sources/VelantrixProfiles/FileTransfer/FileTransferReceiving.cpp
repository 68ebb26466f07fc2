// The receiving half of FileTransferService: batches from the peer staged
// below the inbox, one folder per batch. A path from the peer is resolved
// one component at a time below the batch folder without following links,
// and a file takes its name only once it arrived whole, so nothing is
// written outside the batch and no half file looks complete.

#include <algorithm>
#include <map>
#include <cmath>

#include "Platform/Runtime/Dispatch.h"
#include "Platform/Files/Folders.h"
#include "VelantrixProfiles/FileTransfer/FileTransferService.h"
#include "VelantrixProfiles/FileTransfer/FileTransferStagedItems.h"

using platform::UUID;
using platform::WorkLedger;
using Held = platform::WorkLedger::Held;

namespace {

// A folder reached for a batch, with the descriptor it holds open on the
// batch's peer's account (declared first: given back after it closes).
struct HeldFolder {
    WorkLedger::Holding descriptor;
    platform::FolderHandle folder;
};

// The folder holding the last component, created as needed below the
// batch's folder. The way down holds two at a time (a folder and the next),
// both on the peer's account while it is walked.
platform::Result<HeldFolder> parentFolder(const InboundBatch& batch, const std::vector<std::string>& parts,
                                          bool includeLast, bool cleanup = false, bool* lastMade = nullptr) {
    using R = platform::Result<HeldFolder>;
    // Cleanup is the Host's own and never refused by the peer's bound.
    std::optional<WorkLedger::Charged> hostsOwn;
    if (cleanup) hostsOwn.emplace(nullptr);
    const auto ledger = cleanup ? nullptr : batch.place.ledger();
    auto walking = WorkLedger::Holding::take(ledger, Held::descriptors, 2);
    if (!walking) return R::failure(WorkLedger::descriptorRefusal(ledger, "too many open descriptors", 2));
    auto current = batch.root.reopen();
    if (!current) return R::failure(current.error());
    const size_t count = includeLast ? parts.size() : parts.size() - 1;
    for (size_t i = 0; i < count; ++i) {
        auto next = current->child(parts[i], true, i + 1 == count ? lastMade : nullptr);
        if (!next) return R::failure(next.error());
        current = std::move(next);
    }
    walking->shrink(1);
    return HeldFolder{std::move(*walking), std::move(*current)};
}

}  // namespace

std::optional<std::vector<std::string>> FileTransferService::safeReceivedPath(const std::string& path) {
    if (path.empty() || path.front() == '/' || path.find('\0') != std::string::npos) return std::nullopt;
    if (path.size() > FileTransferService::maxReceivedPathBytes) return std::nullopt;
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        const size_t slash = path.find('/', start);
        auto part = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (part.empty() || part == "." || part == ".." || part.size() > FileTransferService::maxReceivedNameBytes)
            return std::nullopt;
        if (parts.size() == FileTransferService::maxReceivedPathDepth) return std::nullopt;
        parts.push_back(std::move(part));
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    return parts;
}

void FileTransferService::handleIncomingPacket(FileTransferPacket packet, const std::optional<std::string>& session) {
    std::string from = session.value_or("");
    // Every packet is charged until it is handled, a listing request too:
    // it waits on its own queue, but it waits all the same.
    const size_t bytes = FileTransferPacket::fixedSize + packet.path.size() + packet.data.size();
    if (packet.op == FileTransferOp::listDir) return queueListing(std::move(packet), from, bytes);
    std::weak_ptr<FileTransferService> weak = weak_from_this();
    // The packet's bytes wait here: they are charged to the sender's peer
    // (the ledger current, if any) until it has been handled.
    inboundQueue_.async(
        [weak, packet = std::move(packet), from = std::move(from)]() mutable {
            auto self = weak.lock();
            if (!self) return;
            self->processIncoming(packet, from);
        },
        bytes);
}

void FileTransferService::setWriteHookForTesting(std::function<void(size_t bytes)> hook) {
    inboundQueue_.sync([&] { writeHookForTesting_ = std::move(hook); });
}

void FileTransferService::processIncoming(FileTransferPacket& packet, const std::string& session) {
    inboundQueue_.dispatchPrecondition();
    const UUID id = packet.batchID;
    const SessionBatchKey key{session, id};
    // Only the session's own batch: under another session's ID the key
    // finds nothing, so it can neither write into, end, nor cancel that
    // batch.
    InboundBatch* batch = receive_.openBatch(key);
    if (batch) {
        batch->lastPacketNs = platform::Clock::uptimeNs();
        // Its bytes buy its sender time at the least pace; a frame's own
        // time only once it has moved the copy on (below): a frame that
        // changes nothing keeps no place, however many are sent.
        const uint64_t serial = batch->serial, progress = batch->progress;
        const size_t bytes = FileTransferPacket::fixedSize + packet.path.size() + packet.data.size();
        handleIncoming(packet, session, batch);
        const InboundBatch* after = receive_.openBatch(key);
        notePace(session, after && after->serial == serial && after->progress > progress ? 1 : 0, bytes);
        return;
    }
    handleIncoming(packet, session, nullptr);
}

void FileTransferService::handleIncoming(FileTransferPacket& packet, const std::string& session, InboundBatch* batch) {
    const UUID id = packet.batchID;
    const SessionBatchKey key{session, id};
    switch (packet.op) {
        case FileTransferOp::batchStart: return beginBatch(packet, session);
        case FileTransferOp::mkdir:
            if (batch) makeFolder(*batch, packet.path);
            return;
        case FileTransferOp::fileStart:
            if (batch) beginFile(*batch, packet);
            return;
        case FileTransferOp::fileChunk:
            if (batch) writeChunk(id, *batch, packet);
            return;
        case FileTransferOp::fileEnd:
            if (batch) endFile(*batch, packet);
            return;
        case FileTransferOp::batchEnd:
            if (batch) endBatch(key);
            return;
        case FileTransferOp::batchIntent:
            if (batch) {
                if (auto intent = fileTransferIntentFromRaw(static_cast<uint8_t>(packet.value1 & 0xFF)))
                    batch->intent = *intent;
            }
            return;
        case FileTransferOp::cancelBatch:
            noteOutgoingCancelled(id, session);
            receive_.takeDestination(key);
            // The owner hears of it while it still has the batch, arriving
            // or ended and waiting to be saved: what it holds for the batch
            // goes with it.
            if (!batch && !receive_.held(key)) return;
            if (batch) dropInbound(key);
            onMain([id](FileTransferService& self) {
                self.status("cancelled by peer for batch " + id.id8());
                if (auto hook = self.onInboundBatchAbandoned.get()) hook(id);
            });
            return;
        case FileTransferOp::directSave:
            // Counted against the sender's peer: its flood pushes out only
            // its own oldest destinations.
            receive_.rememberDestination(key, principalOf(session),
                                         {packet.path, FileTransferDeliveryOptions(packet.value1)});
            return;
        case FileTransferOp::listDir: return;  // queued beside the receive queue
        case FileTransferOp::listDirReply: return handleListDirReply(packet, session);
        case FileTransferOp::peerSendRequest: return;  // served before the packet reaches the service
        case FileTransferOp::peerSendResponse:
            // Only a Host that asks a Viewer to send listens for answers;
            // any other is dropped here, never queued on the main queue.
            if (!onPeerSendResponse.get()) return;
            if (auto response = FileTransferPeerSendResponse::decode(packet.data)) {
                onMain([id, r = *response](FileTransferService& self) {
                    if (auto hook = self.onPeerSendResponse.get()) hook(id, r);
                });
            }
            return;
    }
}

platform::Result<platform::FolderHandle> FileTransferService::openStagingRoot() const {
    return FileTransferStagedItems::open(stagingRootPath(), true);
}

platform::Status FileTransferService::prepareStaging() const {
    auto prepared = FileTransferStagedItems::prepare(stagingRootPath());
    if (!prepared) return platform::Status::failure(prepared.error());
    return platform::success();
}

void FileTransferService::sendCancelTo(const UUID& id, const std::string& session) {
    FileTransferPacket cancel;
    cancel.op = FileTransferOp::cancelBatch;
    cancel.batchID = id;
    send(std::move(cancel), session.empty() ? std::nullopt : std::optional<std::string>(session));
}

void FileTransferService::refuseBatch(const SessionBatchKey& key, const std::string& why) {
    receive_.takeDestination(key);
    sendCancelTo(key.id, key.session);
    if (!FileTransferReceiveState::mayLogNow(receive_.lastRefusalLineNs, platform::Clock::uptimeNs())) return;
    if (auto hook = onLogLine.get()) hook("file transfer: " + why + "; refused batch " + key.id.id8());
}

void FileTransferService::beginBatch(const FileTransferPacket& packet, const std::string& session) {
    const UUID id = packet.batchID;
    const SessionBatchKey key{session, id};
    // The place its carrier took for it at the door, when it took one: it
    // goes back however the start ends.
    const auto ledger = WorkLedger::current();
    std::optional<WorkLedger::Holding> place;
    if (ledger) place = ledger->claimSetAside(Held::batches);
    // An ID another session's batch has, open or still being saved by the
    // owner, is not this session's to start: the owner names its batches
    // by ID alone, and that batch is left as it is.
    if (receive_.claimedByAnother(key)) {
        receive_.takeDestination(key);
        sendCancelTo(id, session);
        if (FileTransferReceiveState::mayLogNow(receive_.lastForeignIDLineNs, platform::Clock::uptimeNs())) {
            if (auto hook = onLogLine.get()) hook("file transfer: refused batch " + id.id8() + " of another session's ID");
        }
        return;
    }
    // A repeated start would otherwise leak the earlier file handle and
    // leave its folder behind.
    if (receive_.openBatch(key)) dropInbound(key);
    const std::string principal = principalOf(session);
    // The batch is its peer's from here until the owner lets go of it:
    // its place, and its folder's descriptor, are on the peer's account. A
    // carrier that cannot wait for a place (a control connection, whose
    // acknowledgements and input must keep flowing) has it refused.
    if (!place) place = WorkLedger::Holding::take(ledger, Held::batches);
    if (receive_.openCount() >= maxOpenInboundBatches) return refuseBatch(key, "too many open batches");
    if (!place) {
        // Said as it is: its peer's places may be held by batches that
        // have all arrived and wait to be saved; with places of its own
        // left, its machine is at its share of the Host-wide total.
        size_t open = 0;
        for (const auto& [k, entry] : receive_.batches) open += entry.open && entry.principal == principal;
        const size_t bound = WorkLedger::heldBound(Held::batches);
        return refuseBatch(key, open >= bound || ledger->held(Held::batches) < bound
                                    ? "too many open batches"
                                    : "too many batches of its Viewer being saved");
    }
    // Its folder's descriptor: first the staging folder's it is made in
    // (reached with one more, taken on the way), then its own beside it. A
    // peer without the two it is made with is refused here, not admitted
    // with files that could not be staged.
    std::optional<WorkLedger::Holding> rootDescriptor;
    if (!ledger || ledger->descriptorsWouldFit(2)) rootDescriptor = WorkLedger::Holding::take(ledger, Held::descriptors);
    if (!rootDescriptor) return refuseBatch(key, WorkLedger::descriptorRefusal(ledger, "too many open descriptors", 2));

    InboundBatch batch;
    batch.place = std::move(*place);
    batch.stagedBytes = *WorkLedger::Holding::take(ledger, Held::stagedBytes, 0);
    batch.rootDescriptor = std::move(*rootDescriptor);
    batch.serial = ++inboundSerial_;
    batch.lastPacketNs = platform::Clock::uptimeNs();
    batch.openedNs = batch.lastPacketNs;
    batch.startedAt = platform::Clock::now();
    const auto seconds = static_cast<long long>(std::trunc(batch.startedAt.secondsSince1970));
    // A fresh folder under a name nobody can guess ahead: a link or folder
    // planted under it makes the creation fail, never redirects it.
    const std::string name = std::to_string(seconds) + "-" + id.id8() + "-" + UUID::random().id8();
    batch.rootDir = stagingRootPath() / name;
    if (auto staging = openStagingRoot()) {
        // Its own folder could not be made, or was made and not opened (it
        // is gone again then): each of its files is answered as not staged,
        // with the reason, and nothing of it is left behind.
        if (!batch.rootDescriptor.grow(1))
            batch.stagingFailure = WorkLedger::descriptorRefusal(ledger, "too many open descriptors");
        else if (auto root = staging->newChild(name))
            batch.root = std::move(*root);
        else
            batch.stagingFailure = root.error();
    } else {
        batch.stagingFailure = staging.error();
    }
    // The staging folder is closed: its own alone stays.
    batch.rootDescriptor.shrink(batch.rootDescriptor.amount() > 1 ? 1 : 0);
    if (batch.root.fd() < 0) batch.rootDescriptor.reset();
    batch.totalExpectedBytes = packet.value1;
    batch.totalFilesExpected = static_cast<int64_t>(batchStartFileCount(packet.value2));
    batch.intent = batchStartIntent(packet.value2);
    batch.itemNames = decodeItemNames(packet.data);
    if (auto pending = receive_.takeDestination(key)) {
        batch.destinationHint = std::move(pending->path);
        batch.deliveryOptions = pending->deliveryOptions;
    }
    const FileTransferBatchStartInfo info{batch.intent, batch.destinationHint, batch.deliveryOptions, session, principal,
                                          ledger};
    const auto count = batch.totalFilesExpected;
    const auto total = batch.totalExpectedBytes;
    const auto names = batch.itemNames;
    const uint64_t serial = batch.serial;
    receive_.open(key, principal, std::move(batch));
    watchIdleBatch(key, serial, inboundBatchIdleSeconds);
    onMain([id, count, total, names, info](FileTransferService& self) {
        self.status("receiving " + std::to_string(count) + " item(s), " + byteString(total) + " from " +
                    self.peerLabel_);
        if (auto hook = self.onBatchStarted.get()) hook(id, count, total, names, info);
        if (auto hook = self.onBatchStartedWithIntent.get()) hook(id, count, total, info.intent, names);
    });
}

void FileTransferService::watchIdleBatch(const SessionBatchKey& key, uint64_t serial, double afterSeconds) {
    std::weak_ptr<FileTransferService> weak = weak_from_this();
    inboundQueue_.asyncAfter(afterSeconds, [weak, key, serial] {
        auto self = weak.lock();
        if (!self) return;
        const InboundBatch* batch = self->receive_.openBatch(key);
        if (!batch || batch->serial != serial) return;
        const double idle = double(platform::Clock::uptimeNs() - batch->lastPacketNs) / 1e9;
        if (idle + 1e-9 >= inboundBatchIdleSeconds) return self->abandonInbound(key, true, "idle");
        self->watchIdleBatch(key, serial, inboundBatchIdleSeconds - idle);
    });
}

void FileTransferService::sessionHeard(const std::string& session, size_t frames, size_t bytes) {
    std::weak_ptr<FileTransferService> weak = weak_from_this();
    inboundQueue_.async([weak, session, frames, bytes] {
        auto self = weak.lock();
        if (!self) return;
        const uint64_t now = platform::Clock::uptimeNs();
        bool open = false;
        for (auto& [key, entry] : self->receive_.batches) {
            if (!entry.open || key.session != session) continue;
            entry.open->lastPacketNs = now;
            open = true;
        }
        // Only a session with batches here is kept track of.
        if (open) self->notePace(session, frames, bytes);
    });
}

void FileTransferService::notePace(const std::string& session, size_t frames, size_t bytes) {
    auto& pace = receive_.paces[session];
    const uint64_t now = platform::Clock::uptimeNs();
    const double left = pace.atNs == 0 ? 0 : std::max(0.0, pace.seconds - double(now - pace.atNs) / 1e9);
    const double paid = double(bytes) + double(frames) * double(placeKeepingFrameBytes);
    pace.seconds = std::min(displaceableAfterIdleSeconds, left + paid / placeKeepingBytesPerSecond);
    pace.atNs = now;
}

uint64_t FileTransferService::quietFromNs(const std::string& session) const {
    const auto it = receive_.paces.find(session);
    if (it == receive_.paces.end()) return 0;
    return it->second.atNs + static_cast<uint64_t>(it->second.seconds * 1e9);
}

void FileTransferService::givePlacesBackTo(const std::shared_ptr<platform::HeldPool>& pool) {
    std::weak_ptr<FileTransferService> weak = weak_from_this();
    pool->whenPlacesWanted([weak, weakPool = std::weak_ptr<platform::HeldPool>(pool)] {
        auto self = weak.lock();
        if (!self) return;
        // The Host's own work, whichever peer's place was given back here.
        const WorkLedger::Charged hostsOwn(nullptr);
        self->inboundQueue_.async([weak, weakPool] {
            auto self = weak.lock();
            auto pool = weakPool.lock();
            if (self && pool) self->givePlacesBack(pool);
        });
    });
}

void FileTransferService::givePlacesBack(const std::shared_ptr<platform::HeldPool>& pool) {
    inboundQueue_.dispatchPrecondition();
    const uint64_t look = ++placesLook_;
    const auto idleNs = static_cast<uint64_t>(displaceableAfterIdleSeconds * 1e9);
    // Only a batch that is idle gives its place: cancelling one whose
    // frames still come would throw away work going on, and a batch that
    // has ended is being saved. Idle is judged by its sender, not by the
    // batch: a session's batches share one stream, so a copy whose frames
    // wait behind the same sender's other data looks idle while that data
    // comes. And by its sender's pace, not its last frame: a small frame a
    // second would keep every batch of the session forever. So the machine
    // that waits waits for one of theirs to idle or end; each look waits
    // no longer than until the first of them could count as idle, well
    // within the idle time that would end it anyway.
    for (auto machines = pool->takeBackFrom(); !machines.empty(); machines = pool->takeBackFrom()) {
        const uint64_t now = platform::Clock::uptimeNs();
        std::optional<SessionBatchKey> idlest;
        uint64_t idlestSince = 0;
        std::optional<uint64_t> nextIdleInNs;
        for (const auto& machine : machines) {
            for (const auto& [key, entry] : receive_.batches) {
                if (!entry.open || entry.open->place.amount() == 0) continue;
                const auto& ledger = entry.open->place.ledger();
                if (!ledger || ledger->machine() != machine) continue;
                // Quiet once what its sender sent no longer pays for it,
                // and given the idle time to get going.
                const uint64_t since = std::max(quietFromNs(key.session), entry.open->openedNs + idleNs);
                if (now < since) {
                    nextIdleInNs = std::min(nextIdleInNs.value_or(UINT64_MAX), since - now);
                } else if (!idlest || since < idlestSince) {
                    idlest = key;
                    idlestSince = since;
                }
            }
            if (idlest) break;
        }
        if (!idlest) {
            // None of theirs is open here (all are being saved): the place
            // one gives back goes to the waiter, and any change that leaves
            // places wanted makes the pool ask again. Else look again when
            // the first could count as idle.
            if (!nextIdleInNs) return;
            std::weak_ptr<FileTransferService> weak = weak_from_this();
            const WorkLedger::Charged hostsOwn(nullptr);
            inboundQueue_.asyncAfter(double(*nextIdleInNs) / 1e9,
                                     [weak, weakPool = std::weak_ptr<platform::HeldPool>(pool), look] {
                                         auto self = weak.lock();
                                         auto pool = weakPool.lock();
                                         if (self && pool && self->placesLook_ == look) self->givePlacesBack(pool);
                                     });
            return;
        }
        // Its place passes to the machine waiting as it goes.
        abandonInbound(*idlest, true, "its place went to another machine");
    }
}

void FileTransferService::abandonInbound(const SessionBatchKey& key, bool tellPeer, const std::string& why) {
    if (!receive_.openBatch(key)) return;
    const UUID id = key.id;
    dropInbound(key);
    if (tellPeer) sendCancelTo(id, key.session);
    onMain([id, why](FileTransferService& self) {
        self.status("cancelled batch " + id.id8() + " (" + why + ")");
        if (auto hook = self.onInboundBatchAbandoned.get()) hook(id);
    });
}

void FileTransferService::sessionEnded(const std::string& session) {
    std::weak_ptr<FileTransferService> weak = weak_from_this();
    // The Host's own work, never dropped with its peer's: queued behind
    // every packet the session handed in, so that a batch it started
    // before its end is ended by it, and its owner hears of the end after
    // it heard of everything the session sent.
    const platform::WorkLedger::Charged hostsOwn(nullptr);
    inboundQueue_.async([weak, session] {
        auto self = weak.lock();
        if (!self) return;
        auto& r = self->receive_;
        std::vector<SessionBatchKey> ended;
        for (const auto& [key, entry] : r.batches)
            if (key.session == session && entry.open) ended.push_back(key);
        for (const auto& key : ended) self->abandonInbound(key, false, "session ended");
        r.sessionEnded(session);
        self->onMain([session](FileTransferService& service) {
            if (auto hook = service.onSessionEnded.get()) hook(session);
        });
    });
    {
        // Batches still queued for the session find their target gone and
        // end; the queue itself is not kept for a session that left.
        std::lock_guard queues(sendQueuesLock_);
        sendQueues_.erase(session);
        if (!session.empty() && endedSessions_.insert(session).second) endedSessionOrder_.push_back(session);
        while (endedSessionOrder_.size() > maxRememberedEndedSessions) {
            endedSessions_.erase(endedSessionOrder_.front());
            endedSessionOrder_.pop_front();
        }
    }
    // Its listings still waiting find their generation gone; they, and
    // what they hold on their peer's account, go once the lock is let go:
    // what that gives back may wake work that asks for it.
    decltype(listingSessions_)::node_type endedListings;
    {
        std::lock_guard listings(listingLock_);
        endedListings = listingSessions_.extract(session);
        std::erase_if(awaitedListings_, [&](const auto& entry) { return entry.second == session; });
        std::erase_if(awaitedListingOrder_, [&](const UUID& id) { return !awaitedListings_.contains(id); });
    }
    std::lock_guard lock(outgoingLock_);
    for (auto it = outgoingCancelled_.begin(); it != outgoingCancelled_.end();) {
        if (!outgoingActive_.contains(it->first)) it->second.erase(session);
        it = it->second.empty() ? outgoingCancelled_.erase(it) : std::next(it);
    }
    std::erase_if(outgoingCancelledOrder_, [&](const UUID& id) { return !outgoingCancelled_.contains(id); });
    // Its batches, waiting or being sent, stop before their next entry or
    // chunk, and those still waiting walk nothing: nobody is left to take
    // them, and what they hold goes back now, not when a packet fails.
    if (session.empty()) return;
    for (auto& [id, target] : outgoingTargets_)
        if (target.session == session) target.ended = true;
}

void FileTransferService::noteTopLevel(InboundBatch& batch, const std::string& path) {
    // A folder made only because a file's path runs through it is an item
    // of the batch like any other, so it is delivered or removed with it.
    auto [name, added] = batch.topLevelNames.insert(path.substr(0, path.find('/')));
    if (added) batch.topLevelEntries.push_back(batch.rootDir / *name);
}

void FileTransferService::noteUnsaved(InboundBatch& batch, const std::string& path, const std::string& line) {
    batch.unsaved.noteFailed(path);
    onMain([line](FileTransferService& self) { self.status(line); });
}

void FileTransferService::makeFolder(InboundBatch& batch, const std::string& path) {
    // A folder refused at the door, or not made, is missing from what the
    // batch delivers: the receipt names it.
    auto parts = safeReceivedPath(path);
    if (!parts) return noteUnsaved(batch, path, "dropped unsafe folder path \"" + path + "\"");
    if (!batch.stagingFailure.empty())
        return noteUnsaved(batch, path, "receive failed for \"" + path + "\": could not be staged: " + batch.stagingFailure);
    bool made = false;
    auto folder = parentFolder(batch, *parts, true, false, &made);
    if (!folder) return noteUnsaved(batch, path, "receive failed for \"" + path + "\": " + folder.error());
    noteTopLevel(batch, path);
    // A folder made anew moves the copy on; one asked for again does not.
    if (made) ++batch.progress;
}

void FileTransferService::failCurrentFile(InboundBatch& batch, std::string path, const std::string& cause) {
    if (batch.current) {
        batch.current->handle.close();
        // Its bytes are the peer's for as long as they are on disk.
        if (auto folder = parentFolder(batch, batch.current->components, false, true)) {
            folder->folder.removeFile(batch.current->temporaryName);
            batch.stagedBytes.shrink(batch.current->received);
        }
        batch.current.reset();
    }
    batch.currentFailed = true;
    noteUnsaved(batch, path, "receive failed for \"" + path + "\": " + cause);
}

void FileTransferService::beginFile(InboundBatch& batch, const FileTransferPacket& packet) {
    if (batch.current) failCurrentFile(batch, batch.current->relativePath, "next file began before it ended");
    batch.currentFailed = false;
    auto parts = safeReceivedPath(packet.path);
    if (!parts) return failCurrentFile(batch, packet.path, "unsafe path");
    if (!batch.stagingFailure.empty())
        return failCurrentFile(batch, packet.path, "could not be staged: " + batch.stagingFailure);
    auto folder = parentFolder(batch, *parts, false);
    if (!folder) return failCurrentFile(batch, packet.path, folder.error());
    if (parts->size() > 1) noteTopLevel(batch, packet.path);
    auto available = folder->folder.availableBytes();
    if (available && packet.value1 > *available)
        return failCurrentFile(batch, packet.path, "declared size exceeds free space");
    InboundFile file;
    file.relativePath = packet.path;
    file.components = *parts;
    file.name = parts->back();
    file.temporaryName = ".vtx-" + UUID::random().id8() + ".part";
    auto descriptor = WorkLedger::Holding::take(batch.place.ledger(), Held::descriptors);
    if (!descriptor)
        return failCurrentFile(batch, packet.path,
                               WorkLedger::descriptorRefusal(batch.place.ledger(), "too many open descriptors"));
    file.descriptor = std::move(*descriptor);
    auto handle = folder->folder.createFile(file.temporaryName);
    if (!handle) return failCurrentFile(batch, packet.path, handle.error());
    file.handle = std::move(*handle);
    file.expectedSize = packet.value1;
    batch.current = std::move(file);
    ++batch.progress;
}

void FileTransferService::writeChunk(const UUID& id, InboundBatch& batch, const FileTransferPacket& packet) {
    if (!batch.current) return;  // no file open, or it failed: dropped without a word
    auto& file = *batch.current;
    const uint64_t length = packet.data.size();
    if (packet.path != file.relativePath) return failCurrentFile(batch, file.relativePath, "chunk for another file");
    if (packet.value1 != file.received) return failCurrentFile(batch, file.relativePath, "chunk out of order");
    if (length > file.expectedSize - file.received)
        return failCurrentFile(batch, file.relativePath, "more bytes than declared");
    if (writeHookForTesting_) writeHookForTesting_(packet.data.size());
    if (writeFailureForTesting_ && writeFailureForTesting_(file.relativePath))
        return failCurrentFile(batch, file.relativePath, "write: No space left on device");
    // Charged before it is written: a peer past its staging bound finds no
    // room, as on a full disk.
    if (!batch.stagedBytes.grow(length))
        return failCurrentFile(batch, file.relativePath, "write: no room left in its peer's staging");
    if (auto written = file.handle.writeAll(packet.data); !written) {
        // What of it reached the disk goes with the file.
        file.received += length;
        return failCurrentFile(batch, file.relativePath, written.error());
    }
    file.received += length;
    batch.totalReceivedBytes += length;
    if (length > 0) ++batch.progress;
    onMain([id, received = batch.totalReceivedBytes, total = batch.totalExpectedBytes](FileTransferService& self) {
        if (auto hook = self.onBatchProgress.get()) hook(id, received, total);
    });
}

void FileTransferService::endFile(InboundBatch& batch, const FileTransferPacket& packet) {
    if (!batch.current) {
        batch.currentFailed = false;
        return;
    }
    auto& file = *batch.current;
    // An end that names another file, or another size than the start
    // announced, is no end of this one.
    if (packet.path != file.relativePath) return failCurrentFile(batch, file.relativePath, "end for another file");
    if (packet.value1 != file.expectedSize)
        return failCurrentFile(batch, file.relativePath, "end announces another size");
    if (file.received != file.expectedSize) return failCurrentFile(batch, file.relativePath, "ended short");
    file.handle.close();
    file.descriptor.reset();
    auto folder = parentFolder(batch, file.components, false);
    if (!folder) return failCurrentFile(batch, file.relativePath, folder.error());
    if (auto renamed = folder->folder.rename(file.temporaryName, file.name); !renamed)
        return failCurrentFile(batch, file.relativePath, renamed.error());
    const auto path = file.relativePath;
    batch.current.reset();
    noteTopLevel(batch, path);
    ++batch.progress;
}

void FileTransferService::endBatch(const SessionBatchKey& key) {
    InboundBatch* open = receive_.openBatch(key);
    if (!open) return;
    const UUID id = key.id;
    auto& batch = *open;
    if (batch.current) failCurrentFile(batch, batch.current->relativePath, "batch ended while the file was open");
    auto entries = batch.topLevelEntries;
    auto root = batch.rootDir;
    auto intent = batch.intent;
    auto unsaved = std::move(batch.unsaved);
    // Its place and its staged bytes go on with the batch to the owner; a
    // completion nobody hears gives them back.
    auto held = std::make_shared<ReceivedBatchHoldings>(
        ReceivedBatchHoldings{std::move(batch.place), std::move(batch.stagedBytes)});
    receive_.close(key);
    // Nothing staged means nothing to deliver: the folder goes now rather
    // than at the next start-up.
    if (entries.empty()) {
        removalQueue_.async([weak = weak_from_this(), root,
                             staged = std::make_shared<WorkLedger::Holding>(std::move(held->stagedBytes))] {
            if (auto self = weak.lock()) self->removeStagedFolder(root);
            staged->reset();
        });
    }
    onMain([id, entries, root, intent, unsaved = std::move(unsaved), held](FileTransferService& self) {
        self.status("received " + std::to_string(entries.size()) + " item(s) into " + root.string());
        if (auto hook = self.onBatchCompleted.get()) hook(id, entries, intent, unsaved, *held);
        held->place.reset();
        held->stagedBytes.reset();
    });
}

void FileTransferService::dropInbound(const SessionBatchKey& key) {
    InboundBatch* batch = receive_.openBatch(key);
    if (!batch) return;
    auto root = batch->rootDir;
    // What it staged is the peer's until it is removed.
    auto staged = std::make_shared<WorkLedger::Holding>(std::move(batch->stagedBytes));
    receive_.drop(key);  // closes any open file
    removalQueue_.async([weak = weak_from_this(), root, staged] {
        if (auto self = weak.lock()) self->removeStagedFolder(root);
        staged->reset();
    });
}

void FileTransferService::removeStagedFolder(const std::filesystem::path& folder) {
    removalQueue_.dispatchPrecondition();
    retryStagingLeft();
    if (FileTransferStagedItems::remove({folder}) > 0 && stagingLeft_.size() < maxStagingLeftForRetry)
        stagingLeft_.push_back({folder});
    queueStagingRetry();
}

void FileTransferService::retryStagingLeft() {
    removalQueue_.dispatchPrecondition();
    std::erase_if(stagingLeft_, [](LeftInStaging& left) {
        if (FileTransferStagedItems::remove({left.folder}) == 0) return true;
        return ++left.attempts >= stagingRemovalAttempts;
    });
}

void FileTransferService::queueStagingRetry() {
    if (stagingLeft_.empty() || stagingRetryQueued_) return;
    stagingRetryQueued_ = true;
    // The Host's own work: it outlives the peer whose batch left the folder.
    const WorkLedger::Charged nobody(nullptr);
    removalQueue_.asyncAfter(stagingRemovalRetrySeconds, [weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) return;
        self->stagingRetryQueued_ = false;
        self->retryStagingLeft();
        self->queueStagingRetry();
    });
}

size_t FileTransferService::openInboundBatchCountForTesting() {
    return inboundQueue_.syncValue([&] { return receive_.openCount(); });
}

std::optional<uint64_t> FileTransferService::batchProgressForTesting(const std::string& session, const UUID& batch) {
    return inboundQueue_.syncValue([&]() -> std::optional<uint64_t> {
        const auto* open = receive_.openBatch({session, batch});
        if (!open) return std::nullopt;
        return open->progress;
    });
}

size_t FileTransferService::pendingDestinationCountForTesting() {
    return inboundQueue_.syncValue([&] { return receive_.destinationCount(); });
}

void FileTransferService::cancelBatch(const UUID& batchID) {
    std::weak_ptr<FileTransferService> weak = weak_from_this();
    inboundQueue_.async([weak, batchID] {
        auto self = weak.lock();
        if (!self) return;
        if (auto key = self->receive_.openUnder(batchID)) self->dropInbound(*key);
    });
}

void FileTransferService::releaseInboundBatch(const UUID& batchID) {
    std::weak_ptr<FileTransferService> weak = weak_from_this();
    inboundQueue_.async([weak, batchID] {
        if (auto self = weak.lock()) self->receive_.release(batchID);
    });
}

std::optional<std::string> FileTransferService::destinationHint(const UUID& batchID) {
    return inboundQueue_.syncValue([&]() -> std::optional<std::string> {
        auto key = receive_.openUnder(batchID);
        return key ? receive_.openBatch(*key)->destinationHint : std::nullopt;
    });
}

FileTransferDeliveryOptions FileTransferService::deliveryOptions(const UUID& batchID) {
    return inboundQueue_.syncValue([&] {
        auto key = receive_.openUnder(batchID);
        return key ? receive_.openBatch(*key)->deliveryOptions : FileTransferDeliveryOptions();
    });
}

std::optional<FileTransferIntent> FileTransferService::intent(const UUID& batchID) {
    return inboundQueue_.syncValue([&]() -> std::optional<FileTransferIntent> {
        auto key = receive_.openUnder(batchID);
        if (!key) return std::nullopt;
        return receive_.openBatch(*key)->intent;
    });
}
