#pragma once
// Keeps one pasteboard and a peer's clipboard in step. Outgoing, it polls
// the pasteboard's change count every 0.6 s and turns new content into a
// one-item ClipboardTransfer for its delivery callback, keeping it pending
// and offering it again on later ticks until it is delivered or the
// pasteboard changes. Incoming, it writes a peer's transfer to the
// pasteboard and records the change count that write produced, so it never
// sends its own write back. It knows nothing of sockets or sessions.
//
// Confined to the main queue: the poll timer fires there, the owner calls
// every method there (receiveRemoteTransfer() aside, which any thread may
// call) and sets the callbacks once before start(). Owned by a
// std::shared_ptr (the timer, a picture being converted and the inbox's
// housekeeping hold it weakly). A peer's picture is converted, and its
// files written, on queues of the bridge's own; either lands a moment
// after handleRemoteTransfer() returns, unless a newer transfer came
// meanwhile: a value superseded before its work starts is dropped unworked.
//
// What a peer's transfer costs is charged to the ledger current when it
// arrives (platform::WorkLedger), the bytes it holds included, wherever
// that work runs; a peer that is gone by the time its picture or files
// would be worked on has them dropped, and a picture whose peer goes, or
// which a newer transfer supersedes, while it is being converted stops
// within a slice of its rows. With no ledger current (a Viewer's
// own bridge) nothing is charged.
//
// Received files land in the inbox, one batch folder per transfer, written
// and flushed off the main queue. The inbox is reached from the caches
// folder down without following a link, is kept within a number of
// batches, files and bytes,
// and is pruned on a queue of its own, never on the main queue.

#include <atomic>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Files/ConfinedFolder.h"
#include "Platform/Runtime/Dispatch.h"
#include "Platform/Runtime/Log.h"
#include "Platform/AppKit/Pasteboard.h"
#include "Platform/Runtime/WorkLedger.h"
#include "VelantrixProfiles/Clipboard/ClipboardTransfer.h"

class ClipboardSyncBridge : public std::enable_shared_from_this<ClipboardSyncBridge> {
public:
    static constexpr double pollIntervalSeconds = 0.6;
    // Batch folders older than this are removed when the bridge starts.
    static constexpr double inboxRetentionSeconds = 24 * 60 * 60;
    static constexpr const char* inboxFolderName = "NorvessalClipboardInbox";
    // What the inbox keeps at most: past any of these the oldest batches
    // are removed, except the newest and any the pasteboard names. A
    // transfer's files stop at maxInboxFiles.
    static constexpr size_t maxInboxBatches = 64;
    static constexpr size_t maxInboxFiles = 4096;
    static constexpr int64_t maxInboxBytes = int64_t{256} << 20;
    // The longest file name written, in bytes, where the file system
    // does not say.
    static constexpr size_t defaultMaxFilenameBytes = 255;
    static inline const platform::PasteboardType legacyFilenamesType = platform::kPasteboardTypeLegacyFilenames;

    ClipboardSyncBridge(std::string peerLabel, platform::Pasteboard pasteboard, int64_t maxFileBytes,
                        int64_t maxTotalFileBytes);
    ~ClipboardSyncBridge();
    ClipboardSyncBridge(const ClipboardSyncBridge&) = delete;
    ClipboardSyncBridge& operator=(const ClipboardSyncBridge&) = delete;

    // Hands a transfer over for delivery without waiting for it, and calls
    // the outcome once, from any thread: true when at least one peer got
    // it. Until then the change is not offered again. Unset counts as not
    // delivered.
    using DeliveryOutcome = std::function<void(bool delivered)>;
    std::function<void(const ClipboardTransfer&, DeliveryOutcome)> onOutgoingTransfer;
    // The status texts (applied, failed, pending delivery).
    std::function<void(const std::string&)> onStatus;
    // Gate for both directions; unset means enabled.
    std::function<bool()> isSyncEnabled;
    // Whether received files may be written below the inbox (the owner's
    // rights may reach further than the user's); unset means they may.
    std::function<bool(const std::filesystem::path&)> mayWriteInbox;
    // Runs when start() has begun polling, so that a test can see what the
    // owner had wired by then.
    std::function<void()> onStartedForTesting;

    // Removes stale inbox batches and starts polling; does nothing while
    // polling.
    void start();
    // Stops polling. A pending transfer survives until the next start().
    void stop();
    // Applies a peer's transfer to the pasteboard.
    void handleRemoteTransfer(const ClipboardTransfer& transfer);
    // Takes a peer's transfer from any thread and applies it on the main
    // queue. A clipboard holds one value: a transfer still waiting when a
    // newer one comes is dropped, so however fast transfers come, one task
    // at most waits on the main queue and one transfer in memory. Until it
    // is applied or dropped, its bytes are charged to the ledger current
    // here, so a peer sending faster than the main queue applies waits.
    void receiveRemoteTransfer(ClipboardTransfer transfer);
    // Treats the pasteboard's current content as settled: it is not sent.
    void markPasteboardChangedExternally();

    const std::string& peerLabel() const { return peerLabel_; }
    const std::string& sourceID() const { return sourceID_; }
    // Where a peer's files land: <Caches>/NorvessalClipboardInbox/<peerLabel>.
    std::filesystem::path inboxFolder() const;

    // Cleans a peer-supplied file name: "/", ":" and NUL become "-"; an
    // empty result becomes "clipboard-item".
    static std::string sanitizedFilename(const std::string& filename);
    // `name` with `suffix` put before its extension, cut to `maxBytes` at
    // the end of its stem, between whole UTF-8 characters. The extension is
    // kept unless it is too long to be one; then the whole is cut.
    static std::string fittedFilename(const std::string& name, const std::string& suffix, size_t maxBytes);

    // Smaller inbox bounds, so a test reaches them with a few small
    // transfers; tests only.
    void setInboxBoundsForTesting(size_t batches, size_t files, int64_t bytes);

private:
    void pollPasteboard();
    void deliverPendingOutgoingTransfer();
    void outgoingDeliveryFinished(uint64_t sequence, bool delivered);
    void clearPending();
    std::optional<ClipboardTransferItem> extractClipboardItem() const;
    std::optional<ClipboardTransferItem> makeImageTransferItem() const;
    static std::optional<std::vector<uint8_t>> pngData(const platform::BitmapImage& image);
    // One peer transfer applied, its value owned: text at once, a picture
    // or files once their work on their own queue is done.
    void applyTransferToPasteboard(ClipboardTransfer transfer);
    // A peer's item whose work waits on a queue: emptied (its bytes freed)
    // when a newer transfer supersedes it, so that work finds nothing to do.
    // A picture whose conversion has begun learns it was superseded
    // between two slices of its rows, and stops.
    struct PendingItem {
        std::mutex lock;
        std::optional<ClipboardTransferItem> item;
        std::atomic<bool> superseded{false};
        std::optional<ClipboardTransferItem> take();
        void supersede();
    };
    // The item now waiting for its work, if any, and who came after it.
    std::shared_ptr<PendingItem> awaitWork(ClipboardTransferItem item);
    // Whether nothing newer (a transfer, or a copy on the Host) came since
    // the work of `transferNumber` began at `changeCount`.
    bool isLatest(uint64_t transferNumber, int changeCount) const;
    // Puts a peer's picture on the pasteboard once the picture queue has
    // made its TIFF; the status follows then.
    void convertThenApplyImage(ClipboardTransferItem item);
    // Rows of a picture converted in one job of the picture queue: a few
    // milliseconds' work for the widest picture taken.
    static constexpr uint32_t pictureRowsPerSlice = 64;
    struct PictureConversion;
    // One slice of the picture's rows, on the picture queue; the next is
    // queued behind it, and the finished TIFF hops to `queue` to land.
    static void convertPictureSlices(std::weak_ptr<ClipboardSyncBridge> weak,
                                     std::shared_ptr<PictureConversion> picture, platform::DispatchQueue pictures,
                                     platform::DispatchQueue queue);
    // Writes a peer's files into a new inbox batch on the inbox queue, then
    // names them on the pasteboard.
    void writeThenApplyFiles(ClipboardTransferItem item, const std::string& sourceID);
    // What the inbox queue hands back: the batch written and its files.
    struct WrittenBatch {
        std::string name;
        std::vector<std::filesystem::path> urls;
        int64_t bytes = 0;
    };
    // The most descriptors writing received files holds open at once.
    static constexpr size_t kWriteDescriptors = 3;
    // On the inbox queue.
    std::optional<WrittenBatch> materializeFiles(const std::vector<ClipboardTransferFile>& files);
    void landFiles(uint64_t transferNumber, int changeCount, std::optional<WrittenBatch> written);
    // A new batch folder of the inbox under a name of the Host's, or none
    // (reported) when the inbox cannot be reached without following a link.
    std::shared_ptr<platform::ConfinedFolder> makeBatchFolder();
    // Removes day-old batches nobody names, on the inbox queue, and takes
    // the others into the inbox's account.
    void removeStaleInboxBatches();
    void applyLatestRemoteTransfer();
    // One batch folder of the inbox and what it holds.
    struct InboxBatch {
        std::string name;
        size_t files = 0;
        int64_t bytes = 0;
    };
    void recordInboxBatch(InboxBatch batch);
    // Batches found at start, oldest first, counted before this run's own;
    // the day-old ones among them go unless the pasteboard names them.
    void adoptInboxBatches(std::vector<InboxBatch> found, std::vector<std::string> stale);
    // Removes batches beneath the inbox's descriptor, on the inbox queue.
    void removeInboxBatches(std::vector<std::string> names) const;
    // Removes the oldest batches, on the inbox queue, until the inbox is
    // within its bounds or only the newest and named ones are left.
    void trimInbox();
    bool syncEnabled() const { return !isSyncEnabled || isSyncEnabled(); }
    void report(const std::string& text) const;
    // A line the peer's transfer caused, limited per kind; any queue.
    void reportFromPeer(const std::string& kind, const std::string& text);

    const std::string peerLabel_;
    // The pasteboard kept in step (the general one on the Host).
    platform::Pasteboard pasteboard_;
    // Written into every outgoing transfer; drawn once, here.
    const std::string sourceID_;
    // A single received file above this is skipped.
    const int64_t maxFileBytes_;
    // A received transfer's files stop where they would pass this total.
    const int64_t maxTotalFileBytes_;
    platform::DispatchQueue pollQueue_;
    std::unique_ptr<platform::DispatchTimer> pollTimer_;
    // The last change count that is settled: sent, written by the bridge
    // itself, skipped or absorbed. Starts at the count seen at creation, so
    // what was there before is never sent.
    int lastObservedChangeCount_;
    uint64_t nextSequence_ = 1;
    // The last built transfer not yet delivered, with the change count it
    // was built from; set and cleared together.
    std::optional<ClipboardTransfer> pendingOutgoingTransfer_;
    std::optional<int> pendingOutgoingChangeCount_;
    // The sequence of the transfer handed over and not yet answered.
    std::optional<uint64_t> deliveryInFlightSequence_;
    // The pending change whose delivery failure was reported (once each).
    std::optional<int> lastPendingDeliveryStatusChangeCount_;
    // Raised by every peer transfer applied, so a picture or files whose
    // work ends after a newer transfer arrived are dropped.
    uint64_t incomingTransferCount_ = 0;
    // The peer item whose picture or files wait for their queue; emptied
    // by the next transfer applied.
    std::weak_ptr<PendingItem> itemAwaitingWork_;
    // The latest peer transfer not yet applied, and its charge to the
    // sender's ledger (its bytes, until it is applied or superseded); a
    // main-queue task to apply it is queued exactly while it is set.
    struct RemoteValue {
        ClipboardTransfer transfer;
        std::unique_ptr<platform::WorkLedger::Charge> charge;
    };
    std::mutex latestRemoteLock_;
    std::optional<RemoteValue> latestRemoteTransfer_;
    // The inbox's batches, oldest first, and their totals: what decides
    // which go when it is over its bounds.
    std::deque<InboxBatch> inboxBatches_;
    size_t inboxBatchBound_ = maxInboxBatches;
    size_t inboxFileBound_ = maxInboxFiles;
    int64_t inboxByteBound_ = maxInboxBytes;
    size_t inboxFiles_ = 0;
    int64_t inboxBytes_ = 0;
    // Writes, lists and removes batches, so the main queue never waits on
    // a disk flush or a tree removal. A gone peer's files are dropped here;
    // the inbox's own housekeeping, charged to nobody, always runs.
    platform::DispatchQueue inboxQueue_;
    // Converts peers' pictures, one at a time, a slice of rows per job; a
    // gone peer's are dropped, a picture half converted included.
    platform::DispatchQueue pictureQueue_;
    // What the peer's transfers cause comes at the peer's rate (a transfer
    // may hold thousands of files, and transfers come as fast as it sends
    // them): one line a second per kind, the rest counted into the next.
    std::mutex peerLinesLock_;
    platform::LineRateLimiter peerLines_;
};
