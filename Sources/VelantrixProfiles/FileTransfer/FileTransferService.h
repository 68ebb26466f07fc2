#pragma once
// The file-transfer engine of one end of a Host–Viewer link. It owns no
// connection: it turns batches, listings and peer-send exchanges into
// FileTransferPackets for its send hooks, stages what the peer sends, and
// reports through its hooks. Sending runs on its send queue, receiving on
// its receive queue; receive-side and outgoing-batch hooks are queued to
// the main queue, onStatus runs on the send queue for the send side.

#include <cstdint>
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
    FileTransferHook<void(const platform::UUID&, bool cancelled)> onOutgoingBatchCompleted{hookMutex_};
    FileTransferHook<void(const platform::UUID& requestID, const std::string& path,
                          const std::vector<RemoteDirectoryEntry>&)>
        onDirectoryListing{hookMutex_};
    FileTransferHook<void(const platform::UUID&, const FileTransferPeerSendResponse&)> onPeerSendResponse{hookMutex_};

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
    void handleIncomingPacket(FileTransferPacket packet);
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
    void sendFile(const OutgoingEntry& entry, const platform::UUID& batchID, uint64_t& sentBytes,
                  uint64_t totalBytes, const std::optional<std::string>& routingToken);
    void status(const std::string& text);
    // Runs `body` on the main queue if the service still exists then.
    void onMain(std::function<void(FileTransferService&)> body);

    // Receiving (FileTransferReceiving.cpp).
    void processIncoming(FileTransferPacket& packet);
    void beginBatch(const FileTransferPacket& packet);
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
    platform::DispatchQueue sendQueue_{"velantrix.filetransfer.send"};
    platform::DispatchQueue inboundQueue_{"velantrix.filetransfer.recv"};
    // Outgoing batches whose sending must stop; shared by both queues and
    // callers of cancelOutgoingBatch.
    mutable std::mutex outgoingLock_;
    std::set<platform::UUID> outgoingCancelled_;
    // Receive queue only.
    FileTransferReceiveState receive_;
    std::function<bool(const std::string&)> writeFailureForTesting_;
};
