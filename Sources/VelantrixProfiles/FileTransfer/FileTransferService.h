#pragma once
// The file-transfer engine of one end of a Host–Viewer link. It owns no
// connection: it turns batches, listings and peer-send exchanges into
// FileTransferPackets for its send hooks, stages what the peer sends, and
// reports through its hooks. Sending runs on one send queue per target
// (so a peer that stops reading holds only its own batches), receiving on
// its receive queue; receive-side and outgoing-batch hooks are queued to
// the main queue, onStatus runs on the send queue for the send side.

#include <climits>
#include <cstdint>
#include <deque>
#include <map>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "Platform/Files/ConfinedFolder.h"
#include "Platform/Runtime/Dispatch.h"
#include "Platform/Runtime/WorkLedger.h"
#include "Platform/Files/FileHandles.h"
#include "Platform/Files/TreeWalk.h"
#include "Platform/Foundation/Uuid.h"
#include "VelantrixProfiles/FileTransfer/FileTransferHook.h"
#include "VelantrixProfiles/FileTransfer/FileTransferPacket.h"
#include "VelantrixProfiles/FileTransfer/FileTransferPeerSend.h"
#include "VelantrixProfiles/FileTransfer/FileTransferReceiveState.h"
#include "VelantrixProfiles/FileTransfer/RemoteDirectoryEntry.h"

// What the receiver knew of a batch when it started.
struct FileTransferBatchStartInfo {
    FileTransferIntent intent = FileTransferIntent::copy;
    std::optional<std::string> destinationHint;
    FileTransferDeliveryOptions deliveryOptions;
    // The peer session that sent it ("" when not told), and the peer that
    // session belongs to (FileTransferService::principalOf), whose bounds
    // what the owner keeps for the batch counts against: on its account,
    // when its work is charged to one.
    std::string session;
    std::string peer;
    std::shared_ptr<platform::WorkLedger> ledger;
    bool operator==(const FileTransferBatchStartInfo&) const = default;
};

class FileTransferService : public std::enable_shared_from_this<FileTransferService> {
public:
    using URL = std::filesystem::path;
    // A send hook reports whether any connection took the packet.
    using SendPacket = bool(FileTransferPacket packet);
    using RoutedSendPacket = bool(FileTransferPacket packet, const std::optional<std::string>& routingToken);

    // Listings hold at most this many bytes, so a reply stays within a
    // data-channel frame.
    static constexpr size_t maxListingReplyBytes = 8388608 - FileTransferPacket::fixedSize - 65535;
    // An entry's text takes at least this many bytes besides its name
    // ({"d":false,"n":"","s":0} and a comma): a listing keeps in memory no
    // more names than one reply could carry, whatever the folder holds, and
    // a folder whose listing fits a frame is listed whole.
    static constexpr size_t minEncodedEntryBytes = 25;
    // A folder is listed through two descriptors: the home it is opened
    // beneath, and itself.
    static constexpr size_t kListingDescriptors = 2;
    static constexpr size_t maxPeerSendPaths = 256;
    static constexpr size_t maxResponseMessageCharacters = 1024;
    static constexpr size_t maxItemNames = 64;
    // What all sessions together may keep open on the receive side; a
    // peer's own batches are bounded on its account (WorkLedger::Held::
    // batches), from their start until the owner lets go of them. A
    // batchStart past either bound is refused. Where the accounts share a
    // Host-wide pool of this many places (as the Host's do), a batch takes
    // its place from its machine's share of it before it gets here, or
    // waits for one on a carrier that can: this bound is then never
    // reached, and no few machines can fill it.
    static constexpr size_t maxOpenInboundBatches = 32;
    // An inbound batch that gets no packet for this long is cancelled.
    static constexpr double inboundBatchIdleSeconds = 120;
    // An open inbound batch that got no packet for this long may give its
    // place to another machine's (givePlacesBackTo): long enough that a
    // batch whose frames are flowing, or wait a moment for room, is never
    // the one, short enough that a newcomer is not kept waiting long.
    static constexpr double displaceableAfterIdleSeconds = 10;
    // Past its share, a sender keeps its open batches' places while it
    // sends at least this fast on average, over as long as the idle time
    // above: a frame buys the time its bytes, and placeKeepingFrameBytes
    // more when it moves the copy on (makes a folder, begins a file, writes
    // to it, ends it whole), take at this rate, and at most
    // that idle time is saved up. A copy streaming at any honest pace keeps
    // its places, and so does one of many small files or folders (64
    // frames a second is enough); one small frame now and then, or frames
    // that change nothing, which once kept all of a sender's batches from
    // ever counting as idle, buy next to nothing.
    static constexpr double placeKeepingBytesPerSecond = 64 << 10;
    static constexpr size_t placeKeepingFrameBytes = 1024;
    // A batch folder a removal left (out of descriptors, a disk's error) is
    // tried again, at the next removal and after a pause, a few times: a
    // failed batch's staging must not stay until the next start. Bounded;
    // what passes the bound waits for the start-up sweep.
    static constexpr size_t maxStagingLeftForRetry = 256;
    static constexpr int stagingRemovalAttempts = 5;
    static constexpr double stagingRemovalRetrySeconds = 5;
    // Destinations one peer (principalOf) named ahead of their batches,
    // over all its sessions, in number and in bytes: past either, its own
    // oldest go, never another peer's.
    static constexpr size_t maxPendingDestinationsPerPeer = FileTransferReceiveState::maxDestinationsPerPeer;
    static constexpr size_t maxPendingDestinationBytesPerPeer = FileTransferReceiveState::maxDestinationBytesPerPeer;
    // Batch IDs the peer cancelled: the oldest go past it.
    static constexpr size_t maxPeerCancelledBatches = 256;
    // What a received path may be, checked when its mkdir or fileStart
    // arrives, before anything is made: no deeper than the tree walker
    // goes (a batch folder's items are walked from it, so its deepest
    // entry sits at the path's depth), no name longer than the file system
    // takes, and the whole short enough that the batch folder's name
    // (seconds, two short IDs: 28 bytes, 64 kept) and the path still name
    // it in one call from the staging folder.
    static constexpr size_t maxReceivedPathDepth = static_cast<size_t>(platform::TreeWalk::defaultMaxDepth);
    static constexpr size_t maxReceivedNameBytes = NAME_MAX;
    static constexpr size_t maxReceivedPathBytes = PATH_MAX - 1 - 64;
    // The components of a relative path the peer sent, or nothing when it is
    // empty, absolute, holds a NUL or an empty, "." or ".." component, or is
    // past what staging can hold. Checked before anything is made, so a
    // path refused leaves nothing.
    static std::optional<std::vector<std::string>> safeReceivedPath(const std::string& path);
    // Listing requests this end sent and still awaits, the oldest forgotten
    // past it; a reply is taken only for one of them, from its session.
    static constexpr size_t maxAwaitedListings = 256;

    FileTransferService(std::string peerLabel, int64_t chunkSize);
    ~FileTransferService();

private:
    // Every hook shares this lock (declared before them).
    mutable std::mutex hookMutex_;

public:
    FileTransferHook<SendPacket> sendPacket{hookMutex_};
    FileTransferHook<RoutedSendPacket> routedSendPacket{hookMutex_};
    FileTransferHook<void(const std::string&)> onStatus{hookMutex_};
    // Batch ID, staged top-level items, intent, what could not be saved
    // as it arrived (refused at the door, or not received whole), named:
    // the batch's receipt begun; and what the batch holds on its peer's
    // account, for whoever keeps its items to take with them.
    FileTransferHook<void(const platform::UUID&, const std::vector<URL>&, FileTransferIntent,
                          const FileTransferDeliveryResult& unsaved, ReceivedBatchHoldings& held)>
        onBatchCompleted{hookMutex_};
    FileTransferHook<void(const platform::UUID&, int64_t fileCount, uint64_t totalBytes,
                          const std::vector<std::string>& itemNames, const FileTransferBatchStartInfo&)>
        onBatchStarted{hookMutex_};
    FileTransferHook<void(const platform::UUID&, int64_t fileCount, uint64_t totalBytes, FileTransferIntent,
                          const std::vector<std::string>& itemNames)>
        onBatchStartedWithIntent{hookMutex_};
    FileTransferHook<void(const platform::UUID&, uint64_t received, uint64_t total)> onBatchProgress{hookMutex_};
    FileTransferHook<void(const platform::UUID&, int64_t fileCount, uint64_t totalBytes, FileTransferIntent,
                          const std::vector<std::string>& itemNames)>
        onOutgoingBatchStarted{hookMutex_};
    FileTransferHook<void(const platform::UUID&, uint64_t sent, uint64_t total)> onOutgoingBatchProgress{hookMutex_};
    // Every outgoing batch the service accepted ends here exactly once,
    // also one whose items all vanished before anything was sent (then
    // after an onOutgoingBatchStarted of no files). `failedItems` counts
    // the items that could not be sent; above 0 the batch failed.
    FileTransferHook<void(const platform::UUID&, bool cancelled, size_t failedItems)> onOutgoingBatchCompleted{
        hookMutex_};
    FileTransferHook<void(const platform::UUID& requestID, const std::string& path,
                          const std::vector<RemoteDirectoryEntry>&)>
        onDirectoryListing{hookMutex_};
    FileTransferHook<void(const platform::UUID&, const FileTransferPeerSendResponse&)> onPeerSendResponse{hookMutex_};
    // An inbound batch this end dropped on its own (idle, or its session
    // ended), or that its peer cancelled while it arrived or, ended, was
    // still the owner's to save; on the main queue.
    FileTransferHook<void(const platform::UUID&)> onInboundBatchAbandoned{hookMutex_};
    // A session's end, once every packet it sent before it has been
    // handled and what that reported reached the main queue; on the main
    // queue. Nothing the session sent is reported after it.
    FileTransferHook<void(const std::string& session)> onSessionEnded{hookMutex_};
    // Lines for the owner's log as they stand (not status texts).
    FileTransferHook<void(const std::string&)> onLogLine{hookMutex_};
    // The folder listings are confined to and "~" names; unset, this user's
    // home. Empty confines listings to nothing.
    FileTransferHook<std::filesystem::path()> listingHome{hookMutex_};

    // --- Sending (any thread; the batch runs on the send queue) ------------
    // `afterSending`, when set, runs on the send queue once the batch was
    // sent, failed or cancelled, after what it held is released; never
    // when no batch is returned.
    std::optional<platform::UUID> sendURLs(const std::vector<URL>& urls, FileTransferIntent intent,
                                           const std::optional<std::string>& destination,
                                           FileTransferDeliveryOptions deliveryOptions,
                                           const std::optional<std::string>& routingToken,
                                           const std::optional<platform::UUID>& batchID = std::nullopt,
                                           platform::Work afterSending = {});
    // An item a peer named, found in a folder opened without following a
    // link; "." is that folder itself. `name` may be a relative path: the
    // folders on its way are then opened, again without following a link,
    // only when the item is walked.
    struct ConfinedSendItem {
        std::shared_ptr<const platform::ConfinedFolder> folder;
        std::string name;
    };
    // As sendURLs, but each item and everything below it is reached from
    // its folder's descriptor and never through a link, so an item or a
    // folder swapped for a link after the items were checked leads nowhere
    // outside what was opened. What the process may not read fails as an
    // item.
    std::optional<platform::UUID> sendConfinedItems(const std::vector<ConfinedSendItem>& items,
                                                    FileTransferIntent intent,
                                                    const std::optional<std::string>& destination,
                                                    FileTransferDeliveryOptions deliveryOptions,
                                                    const std::optional<std::string>& routingToken,
                                                    const std::optional<platform::UUID>& batchID = std::nullopt,
                                                    platform::Work afterSending = {});
    void cancelOutgoingBatch(const platform::UUID& batchID);
    // Whether the batch sendURLs returned still waits for its send queue or
    // is being sent. Any thread.
    bool isOutgoingBatchPending(const platform::UUID& batchID) const;
    std::optional<platform::UUID> requestPeerSend(const std::vector<std::string>& paths, const std::string& destination,
                                                  FileTransferDeliveryOptions deliveryOptions);
    void sendPeerSendResponse(const platform::UUID& batchID, bool accepted, const std::optional<std::string>& message,
                              const std::optional<std::string>& routingToken);
    static std::optional<FileTransferPeerSendRequest> peerSendRequest(const FileTransferPacket& packet);
    static std::optional<FileTransferPeerSendResponse> peerSendResponse(const FileTransferPacket& packet);

    // --- Receiving (any thread; runs on the receive queue) -----------------
    // `session` names the peer session the packet came from; it bounds
    // what that session may open and is where refusals go.
    void handleIncomingPacket(FileTransferPacket packet, const std::optional<std::string>& session = std::nullopt);
    // The session is gone: its uncompleted inbound batches are cancelled
    // and their staging removed, its pending destinations and cancelled
    // IDs forgotten. Call it on the queue that hands its packets in: it
    // reaches the session's batches after every packet handed in before.
    void sessionEnded(const std::string& session);
    // Queries for the main queue; never from the receive queue.
    std::optional<std::string> destinationHint(const platform::UUID& batchID);
    FileTransferDeliveryOptions deliveryOptions(const platform::UUID& batchID);
    std::optional<FileTransferIntent> intent(const platform::UUID& batchID);
    // Drops an inbound batch and its staging folder.
    void cancelBatch(const platform::UUID& batchID);
    // Gives `pool`'s places back when it wants some (HeldPool::
    // whenPlacesWanted): of the machines it names, furthest past its share
    // first, the open batch idle longest (open for displaceableAfterIdleSeconds,
    // its sender no longer paying for it by its pace) is cancelled as an
    // idle batch is, and
    // its place goes to the machine that waits. When none of theirs is idle
    // yet, it looks again when the first would be. Once, before batches
    // arrive.
    void givePlacesBackTo(const std::shared_ptr<platform::HeldPool>& pool);
    // The session sent `frames` frames of `bytes` that are kept elsewhere
    // for now (its batches waiting for a place): its open batches are not
    // idle, and it is sending at the pace those frames show.
    void sessionHeard(const std::string& session, size_t frames, size_t bytes);
    // The owner no longer saves or answers for the ended inbound batch:
    // another session may start one under its ID again.
    void releaseInboundBatch(const platform::UUID& batchID);
    // Tells the peer this end abandons the batch.
    void notifyPeerCancel(const platform::UUID& batchID);

    // --- Listings (any thread) ---------------------------------------------
    platform::UUID requestDirectoryListing(const std::string& path,
                                           const std::optional<std::string>& routingToken = std::nullopt);

    // --- Text helpers shared with the progress rows -------------------------
    // "%.1f MB" of decimal megabytes from 1,000,000 bytes, else "%.1f KB" of
    // binary kilobytes; always with a full stop.
    static std::string byteString(uint64_t bytes);
    static std::vector<std::string> transferItemNames(const std::vector<URL>& urls);
    // The name an item travels and shows under: the last path component,
    // also of a folder URL ending in "/".
    static URL lastPathComponent(const URL& url);
    static std::vector<uint8_t> encodeItemNames(const std::vector<std::string>& names);
    static std::vector<std::string> decodeItemNames(std::span<const uint8_t> data);

    // Whom the per-peer bounds count a session's request against: the peer
    // whose work it is, when the owner charges its work to one (a Host
    // keeps one ledger per Viewer address, however many sessions that
    // address opens), else the session itself.
    static std::string principalOf(const std::string& session);

    // The folder batches from this peer are staged in.
    URL stagingRoot() const;
    // The same folder, made when missing and opened from the data root down
    // (else from the caches folder) without following a link: what is
    // listed or removed there stays beneath it.
    platform::Result<platform::FolderHandle> openStagingRoot() const;
    // Checks staging once, before any batch: see
    // FileTransferStagedItems::prepare. Nothing on a batch's way checks it.
    platform::Status prepareStaging() const;
    const std::string& peerLabel() const { return peerLabel_; }
    int64_t chunkSize() const { return chunkSize_; }

    // Makes every write of received bytes to a file whose relative path
    // this accepts fail, as a full disk would. Receive queue reads it.
    void setWriteFailureForTesting(std::function<bool(const std::string& relativePath)> fails);
    // Runs `work` on the receive queue and waits for it.
    void syncReceiveQueueForTesting(const platform::Work& work) { inboundQueue_.sync(work); }
    // Inbound batches open now, and pending destinations and peer-cancelled
    // IDs held (receive queue and lock respectively).
    size_t openInboundBatchCountForTesting();
    // How far an open batch of `session` ("" for one with none) has moved on: its folders made,
    // files begun, written and ended; nothing once it is not open.
    std::optional<uint64_t> batchProgressForTesting(const std::string& session, const platform::UUID& batch);
    size_t pendingDestinationCountForTesting();
    size_t peerCancelledCountForTesting() const;
    // Listings computed so far (not those answered empty at once).
    size_t listingsComputedForTesting() const;
    // Calls `hook` with each chunk's length before it is written, as a
    // slow disk would hold the write. Receive queue reads it.
    void setWriteHookForTesting(std::function<void(size_t bytes)> hook);
    // Waits until every staging removal queued so far has run.
    void syncRemovalQueueForTesting() { removalQueue_.sync([] {}); }
    // Batch folders a removal left that are still to be tried again.
    size_t stagingLeftForTesting() { return removalQueue_.syncValue([&] { return stagingLeft_.size(); }); }

private:
    // What one batch sends: a path, or an item reached by descriptor.
    struct SendSource {
        URL url;
        std::shared_ptr<const platform::ConfinedFolder> folder;
        std::string name;
    };
    // One pass over a batch's sources, told what the walk meets as it
    // meets it: the first pass counts, the second sends. Neither keeps a
    // list, so a batch holds the walker's window of its tree, never the
    // whole of it.
    struct SendPass {
        // A folder, by the path it travels under.
        std::function<void(const std::string& path)> folder;
        // A regular file as the walk met it (its descriptors hold for the
        // call alone).
        std::function<void(const platform::TreeEntry& file, const std::string& path)> file;
        // An item that cannot be read: announced as a file that never ends,
        // so the receiver fails that item by name.
        std::function<void(const std::string& path)> failed;
        // An item whose path is not UTF-8: no packet may name it, so it is
        // not sent, and only this end counts it failed.
        std::function<void(const std::string& path)> unnamable;
        // The batch is to stop (cancelled, or its target gone).
        std::function<bool()> stop;
    };
    // How one source's walk ended.
    enum class SourceWalk {
        walked,
        // Nothing of it is there (vanished, or its folder gone).
        vanished,
        // Its walk failed before anything of it was met (past the walker's
        // bounds, or not readable at all), or part-way; `error` says why.
        failed,
        stopped,
    };

    // Sending (FileTransferSending.cpp).
    bool send(FileTransferPacket packet, const std::optional<std::string>& routingToken);
    bool isOutgoingCancelled(const platform::UUID& batchID) const;
    std::optional<platform::UUID> queueSend(std::vector<SendSource> sources, FileTransferIntent intent,
                                            const std::optional<std::string>& destination,
                                            FileTransferDeliveryOptions deliveryOptions,
                                            const std::optional<std::string>& routingToken,
                                            const std::optional<platform::UUID>& batchID, platform::Work afterSending);
    void performSend(const std::vector<SendSource>& sources, const platform::UUID& batchID, FileTransferIntent intent,
                     const std::optional<std::string>& destination, FileTransferDeliveryOptions options,
                     const std::optional<std::string>& routingToken);
    // A source walked by the tree walker, told to `pass` as it goes: one
    // reached by descriptor from its folder, else named by its path and
    // walked from the folder that holds it (a link the user chose is
    // followed to that folder). `visited` says whether the walk met
    // anything of it; `error` why it failed.
    SourceWalk walkSource(const SendSource& source, const SendPass& pass, bool& visited, std::string& error);
    SourceWalk walkConfinedSource(const SendSource& source, const SendPass& pass, bool& visited, std::string& error);
    // False when the file could not be read whole: it then gets no
    // fileEnd, so the receiver fails that item.
    bool sendFile(const platform::TreeEntry& entry, const std::string& path, const platform::UUID& batchID,
                  uint64_t& sentBytes, uint64_t totalBytes, const std::optional<std::string>& routingToken);
    void status(const std::string& text);
    // Runs `body` on the main queue if the service still exists then.
    void onMain(std::function<void(FileTransferService&)> body);

    // Receiving (FileTransferReceiving.cpp).
    void processIncoming(FileTransferPacket& packet, const std::string& session);
    void handleIncoming(FileTransferPacket& packet, const std::string& session, InboundBatch* batch);
    void beginBatch(const FileTransferPacket& packet, const std::string& session);
    // `why` names the bound it would pass, for the log.
    void refuseBatch(const SessionBatchKey& key, const std::string& why);
    // A cancelBatch to the session that sent the batch ("" for every peer).
    void sendCancelTo(const platform::UUID& id, const std::string& session);
    void watchIdleBatch(const SessionBatchKey& key, uint64_t serial, double afterSeconds);
    // The session sent `frames` frames of `bytes` for its batches: they
    // buy it time as one still sending (placeKeepingBytesPerSecond).
    void notePace(const std::string& session, size_t frames, size_t bytes);
    // Uptime from which the session counts as no longer sending.
    uint64_t quietFromNs(const std::string& session) const;
    // Drops the batch, tells its sender (unless it is gone) and the owner.
    void abandonInbound(const SessionBatchKey& key, bool tellPeer, const std::string& why);
    // Gives back what `pool` wants of the open batches (givePlacesBackTo).
    void givePlacesBack(const std::shared_ptr<platform::HeldPool>& pool);
    // Where stagingRoot() is, without making it.
    URL stagingRootPath() const;
    void noteOutgoingCancelled(const platform::UUID& batchID, const std::string& session);
    void makeFolder(InboundBatch& batch, const std::string& path);
    void beginFile(InboundBatch& batch, const FileTransferPacket& packet);
    void writeChunk(const platform::UUID& id, InboundBatch& batch, const FileTransferPacket& packet);
    void endFile(InboundBatch& batch, const FileTransferPacket& packet);
    // Taken by value: callers pass the open file's own path, and the file
    // goes before the path is written into the status line.
    void failCurrentFile(InboundBatch& batch, std::string path, const std::string& cause);
    // Notes an item of the batch that could not be saved, and says so.
    void noteUnsaved(InboundBatch& batch, const std::string& path, const std::string& line);
    void noteTopLevel(InboundBatch& batch, const std::string& path);
    void endBatch(const SessionBatchKey& key);
    void dropInbound(const SessionBatchKey& key);

    // Listings (FileTransferListing.cpp).
    // Queues the request on its session's queue, with a place among its
    // peer's listings (WorkLedger::Held::listings: waiting, being made, or
    // waiting for room to be sent) that it holds until its reply was
    // queued or it was dropped; past the kind's bound it is answered at
    // once with an empty listing. Its `queuedBytes` are given back once it
    // is answered (or dropped).
    void queueListing(FileTransferPacket packet, const std::string& session, size_t queuedBytes);
    // Whether the session whose listings run under `generation` is still
    // there.
    bool isListingSessionLive(const std::string& session, uint64_t generation) const;
    // Computes the listing and queues its reply, unless its session ended
    // since it was queued.
    // False, with nothing made, when the folder's descriptors cannot be
    // had now: the request waits for them.
    bool runListing(const FileTransferPacket& packet, const std::string& session, uint64_t generation);
    // The folder examined and its encoded listing.
    std::optional<std::pair<std::string, std::vector<uint8_t>>> listing(const FileTransferPacket& packet);
    void sendListingReply(const platform::UUID& requestID, const std::string& path, std::vector<uint8_t> data,
                          const std::string& session);
    // Hands on a reply to a listing this end asked `session` (or every
    // peer) for; any other is dropped.
    void handleListDirReply(const FileTransferPacket& packet, const std::string& session);

    const std::string peerLabel_;
    const int64_t chunkSize_;
    // One send queue per target (a routing token; "" for every peer), so a
    // peer that stops reading holds only the batches sent to it.
    std::mutex sendQueuesLock_;
    std::map<std::string, platform::DispatchQueue> sendQueues_;
    // Sessions that ended, newest last, so a send picked for one is refused
    // rather than given a queue of its own. Bounded: the oldest go first.
    static constexpr size_t maxRememberedEndedSessions = 1024;
    std::set<std::string> endedSessions_;
    std::deque<std::string> endedSessionOrder_;
    platform::DispatchQueue inboundQueue_{"velantrix.filetransfer.recv"};
    // Staging folders are removed here, so no removal holds receiving.
    platform::DispatchQueue removalQueue_{"velantrix.filetransfer.staging-removal"};
    // Batch folders a removal left, removal queue only.
    struct LeftInStaging {
        std::filesystem::path folder;
        int attempts = 1;
    };
    std::vector<LeftInStaging> stagingLeft_;
    bool stagingRetryQueued_ = false;
    // Removes a batch's staging folder and tries again what earlier ones
    // left. Removal queue only.
    void removeStagedFolder(const std::filesystem::path& folder);
    void retryStagingLeft();
    void queueStagingRetry();
    // Outgoing batches whose sending must stop, with the sessions that
    // cancelled each ("" for this end), oldest first; shared by both queues
    // and callers of cancelOutgoingBatch. Bounded, but never by dropping
    // the cancellation of a batch being sent.
    mutable std::mutex outgoingLock_;
    std::map<platform::UUID, std::set<std::string>> outgoingCancelled_;
    // Where each batch from sendURLs until its sending returned goes ("" for
    // every peer), so a session's cancel stops only its own batches; and
    // whether that session has ended, which stops the batch too.
    struct OutgoingTarget {
        std::string session;
        bool ended = false;
    };
    std::map<platform::UUID, OutgoingTarget> outgoingTargets_;
    std::deque<platform::UUID> outgoingCancelledOrder_;
    std::set<platform::UUID> outgoingActive_;
    // Batches from sendURLs until their sending returned, started or not.
    std::set<platform::UUID> outgoingPending_;
    // Raised by every inbound batch start, so an idle check of an earlier
    // batch of the same session and ID stops.
    uint64_t inboundSerial_ = 0;
    // Raised by every look at what a pool wants back, so that only the
    // latest look's later one runs. Receive queue only.
    uint64_t placesLook_ = 0;
    // Receive queue only.
    FileTransferReceiveState receive_;
    std::function<bool(const std::string&)> writeFailureForTesting_;
    std::function<void(size_t)> writeHookForTesting_;

    // Each session's listings run on a queue of its own, so neither its
    // batches nor another session's packets wait behind them. An entry
    // leaves when its session ends; a listing queued before then finds
    // its generation gone and is not computed, and one whose peer is gone
    // (its ledger cancelled) is dropped by the queue.
    struct ListingRequest;
    struct ListingSession {
        platform::DispatchQueue queue;
        uint64_t generation = 0;
        // Requests waiting for their peer to have room for their reply, or
        // for the descriptors to read their folder: kept here, so that they
        // go, with their places, when the session does.
        std::vector<std::shared_ptr<ListingRequest>> waiting;
    };
    mutable std::mutex listingLock_;
    std::map<std::string, ListingSession> listingSessions_;
    uint64_t listingGeneration_ = 0;
    size_t listingsComputed_ = 0;
    // Listings this end asked for, each with where it went ("" for every
    // peer), oldest first; under listingLock_.
    std::map<platform::UUID, std::string> awaitedListings_;
    std::deque<platform::UUID> awaitedListingOrder_;
    // Uptimes of the last refusal lines, so a flood writes one a second.
    std::optional<uint64_t> lastListingRefusalLineNs_;
};
