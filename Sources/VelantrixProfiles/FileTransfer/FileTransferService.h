#pragma once
// The file-transfer engine of one end of a Host–Viewer link. It owns no
// connection: it turns batches, listings and peer-send exchanges into
// FileTransferPackets for its send hooks, stages what the peer sends, and
// reports through its hooks. Sending runs on one send queue per target
// (so a peer that stops reading holds only its own batches), receiving on
// its receive queue; receive-side and outgoing-batch hooks are queued to
// the main queue, onStatus runs on the send queue for the send side.

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
#include <vector>

#include "Platform/Dispatch.h"
#include "Platform/FileHandles.h"
#include "Platform/Uuid.h"
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
    // The peer session that sent it ("" when not told).
    std::string session;
    bool operator==(const FileTransferBatchStartInfo&) const = default;
};

class FileTransferService : public std::enable_shared_from_this<FileTransferService> {
public:
    using URL = std::filesystem::path;
    // A send hook reports whether any connection took the packet.
    using SendPacket = bool(FileTransferPacket packet);
    using RoutedSendPacket = bool(FileTransferPacket packet, const std::optional<std::string>& routingToken);

    // Listings hold at most this many entries, so a reply stays within a
    // data-channel frame.
    static constexpr size_t maxListingReplyBytes = 8388608 - FileTransferPacket::fixedSize - 65535;
    static constexpr size_t maxPeerSendPaths = 256;
    static constexpr size_t maxResponseMessageCharacters = 1024;
    static constexpr size_t maxItemNames = 64;
    // What one peer session, and all of them together, may keep open on
    // the receive side: a batchStart past either bound is refused.
    static constexpr size_t maxOpenInboundBatchesPerSession = 8;
    static constexpr size_t maxOpenInboundBatches = 32;
    // An inbound batch that gets no packet for this long is cancelled.
    static constexpr double inboundBatchIdleSeconds = 120;
    // Destinations named ahead of their batch, and batch IDs the peer
    // cancelled: the oldest go past these bounds.
    static constexpr size_t maxPendingDestinations = 256;
    // A destination may be 64 KiB long: the ones held together stay within
    // this many bytes too.
    static constexpr size_t maxPendingDestinationBytes = size_t{4} << 20;
    static constexpr size_t maxPeerCancelledBatches = 256;

    FileTransferService(std::string peerLabel, int64_t chunkSize);
    ~FileTransferService();

private:
    // Every hook shares this lock (declared before them).
    mutable std::mutex hookMutex_;

public:
    FileTransferHook<SendPacket> sendPacket{hookMutex_};
    FileTransferHook<RoutedSendPacket> routedSendPacket{hookMutex_};
    FileTransferHook<void(const std::string&)> onStatus{hookMutex_};
    // Batch ID, staged top-level items, intent, files that failed.
    FileTransferHook<void(const platform::UUID&, const std::vector<URL>&, FileTransferIntent, size_t failedFiles)>
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
    // An inbound batch this end dropped on its own (refused past the
    // limits, idle, or its session ended); on the main queue.
    FileTransferHook<void(const platform::UUID&)> onInboundBatchAbandoned{hookMutex_};
    // Lines for the owner's log as they stand (not status texts).
    FileTransferHook<void(const std::string&)> onLogLine{hookMutex_};
    // The folder listings are confined to and "~" names; unset, this user's
    // home. Empty confines listings to nothing.
    FileTransferHook<std::filesystem::path()> listingHome{hookMutex_};

    // --- Sending (any thread; the batch runs on the send queue) ------------
    std::optional<platform::UUID> sendURLs(const std::vector<URL>& urls, FileTransferIntent intent,
                                           const std::optional<std::string>& destination,
                                           FileTransferDeliveryOptions deliveryOptions,
                                           const std::optional<std::string>& routingToken,
                                           const std::optional<platform::UUID>& batchID = std::nullopt);
    void cancelOutgoingBatch(const platform::UUID& batchID);
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
    // IDs forgotten.
    void sessionEnded(const std::string& session);
    // Queries for the main queue; never from the receive queue.
    std::optional<std::string> destinationHint(const platform::UUID& batchID);
    FileTransferDeliveryOptions deliveryOptions(const platform::UUID& batchID);
    std::optional<FileTransferIntent> intent(const platform::UUID& batchID);
    // Drops an inbound batch and its staging folder.
    void cancelBatch(const platform::UUID& batchID);
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

    // The folder batches from this peer are staged in.
    URL stagingRoot() const;
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
    size_t pendingDestinationCountForTesting();
    size_t peerCancelledCountForTesting() const;
    // Waits until every staging removal queued so far has run.
    void syncRemovalQueueForTesting() { removalQueue_.sync([] {}); }

private:
    struct OutgoingEntry {
        URL absolute;
        std::string relativePath;
        bool isDir = false;
        uint64_t size = 0;
    };

    // Sending (FileTransferSending.cpp).
    bool send(FileTransferPacket packet, const std::optional<std::string>& routingToken);
    bool isOutgoingCancelled(const platform::UUID& batchID) const;
    void performSend(const std::vector<URL>& urls, const platform::UUID& batchID, FileTransferIntent intent,
                     const std::optional<std::string>& destination, FileTransferDeliveryOptions options,
                     const std::optional<std::string>& routingToken);
    void walk(const URL& url, const std::string& basePath, bool topLevel, std::vector<OutgoingEntry>& entries,
              uint64_t& totalBytes, uint64_t& totalFiles);
    // False when the file could not be read whole: it then gets no
    // fileEnd, so the receiver fails that item.
    bool sendFile(const OutgoingEntry& entry, const platform::UUID& batchID, uint64_t& sentBytes,
                  uint64_t totalBytes, const std::optional<std::string>& routingToken);
    void status(const std::string& text);
    // Runs `body` on the main queue if the service still exists then.
    void onMain(std::function<void(FileTransferService&)> body);

    // Receiving (FileTransferReceiving.cpp).
    void processIncoming(FileTransferPacket& packet, const std::string& session);
    void beginBatch(const FileTransferPacket& packet, const std::string& session);
    void refuseBatch(const platform::UUID& id, const std::string& session);
    // A cancelBatch to the session that sent the batch ("" for every peer).
    void sendCancelTo(const platform::UUID& id, const std::string& session);
    void rememberDestination(const platform::UUID& id, PendingDestination destination);
    void watchIdleBatch(const platform::UUID& id, uint64_t serial, double afterSeconds);
    // Drops the batch, tells its sender (unless it is gone) and the owner.
    void abandonInbound(const platform::UUID& id, bool tellPeer, const std::string& why);
    platform::Result<platform::FolderHandle> openStagingRoot() const;
    // Where stagingRoot() is, without making it.
    URL stagingRootPath() const;
    void noteOutgoingCancelled(const platform::UUID& batchID, const std::string& session);
    void makeFolder(InboundBatch& batch, const std::string& path);
    void beginFile(InboundBatch& batch, const FileTransferPacket& packet);
    void writeChunk(const platform::UUID& id, InboundBatch& batch, const FileTransferPacket& packet);
    void endFile(InboundBatch& batch, const FileTransferPacket& packet);
    void failCurrentFile(InboundBatch& batch, const std::string& path, const std::string& cause);
    void noteTopLevel(InboundBatch& batch, const std::string& path);
    void endBatch(const platform::UUID& id);
    void dropInbound(const platform::UUID& id);

    // Listings (FileTransferListing.cpp).
    void handleListDirRequest(const FileTransferPacket& packet);
    void handleListDirReply(const FileTransferPacket& packet);

    const std::string peerLabel_;
    const int64_t chunkSize_;
    // One send queue per target (a routing token; "" for every peer), so a
    // peer that stops reading holds only the batches sent to it.
    platform::DispatchQueue sendQueueFor(const std::optional<std::string>& routingToken);
    std::mutex sendQueuesLock_;
    std::map<std::string, platform::DispatchQueue> sendQueues_;
    platform::DispatchQueue inboundQueue_{"velantrix.filetransfer.recv"};
    // Staging folders are removed here, so no removal holds receiving.
    platform::DispatchQueue removalQueue_{"velantrix.filetransfer.staging-removal"};
    // Outgoing batches whose sending must stop, with the session that
    // cancelled each ("" for this end), oldest first; shared by both queues
    // and callers of cancelOutgoingBatch. Bounded, but never by dropping
    // the cancellation of a batch being sent.
    mutable std::mutex outgoingLock_;
    std::map<platform::UUID, std::string> outgoingCancelled_;
    std::deque<platform::UUID> outgoingCancelledOrder_;
    std::set<platform::UUID> outgoingActive_;
    // Raised by every inbound batch start, so an idle check of an earlier
    // batch of the same ID stops.
    uint64_t inboundSerial_ = 0;
    // Receive queue only.
    FileTransferReceiveState receive_;
    std::function<bool(const std::string&)> writeFailureForTesting_;
};
