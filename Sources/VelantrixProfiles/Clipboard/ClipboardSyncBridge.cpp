#include "VelantrixProfiles/Clipboard/ClipboardSyncBridge.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <system_error>

#include "Platform/Runtime/Clock.h"
#include "Platform/Files/FileMoves.h"
#include "Platform/Files/Folders.h"
#include "Platform/Foundation/Uuid.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kMaxSourceIDBytes = 128;

// A sender's identifier names a folder, so it may only hold characters
// that cannot climb out of the inbox or name anything special.
bool isSafeSourceID(const std::string& id) {
    if (id.empty() || id.size() > kMaxSourceIDBytes) return false;
    return std::all_of(id.begin(), id.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
               c == '.';
    });
}

// Where the inbox lives: the caches folder, else the temporary folder.
fs::path cachesFolder() {
    fs::path base = platform::Folders::caches();
    if (base.empty()) {
        std::error_code ec;
        base = fs::temp_directory_path(ec);
    }
    return base.lexically_normal();
}

// <caches>/NorvessalClipboardInbox/<peerLabel>, opened beneath the caches
// one folder at a time, never through a link. Callable on any queue.
platform::Result<std::shared_ptr<platform::ConfinedFolder>> openInbox(const std::string& peerLabel, bool create) {
    auto opened = platform::ConfinedFolder::openTop(cachesFolder(), create);
    if (!opened) return opened;
    return (*opened)->openBeneath(fs::path(ClipboardSyncBridge::inboxFolderName) / peerLabel, create);
}

// What one batch folder holds, read beneath the inbox's descriptor.
size_t countBatch(const platform::ConfinedFolder& inbox, const std::string& name, int64_t& bytes) {
    bytes = 0;
    auto batch = inbox.openBeneath(name, false);
    if (!batch) return 0;
    auto entries = (*batch)->list();
    if (!entries) return 0;
    for (const auto& entry : *entries) bytes += static_cast<int64_t>(entry.size);
    return entries->size();
}

// The bytes an item keeps alive while it waits: what its sender is
// charged for it.
size_t heldBytesOf(const ClipboardTransferItem& item) {
    size_t bytes = item.text ? item.text->size() : 0;
    if (item.imageData) bytes += item.imageData->size();
    for (const auto& file : item.files) bytes += file.filename.size() + file.data.size();
    return bytes;
}

size_t heldBytesOf(const ClipboardTransfer& transfer) {
    size_t bytes = transfer.sourceID.size();
    for (const auto& item : transfer.items) bytes += heldBytesOf(item);
    return bytes;
}

}  // namespace

ClipboardSyncBridge::ClipboardSyncBridge(std::string peerLabel, platform::Pasteboard pasteboard, int64_t maxFileBytes,
                                         int64_t maxTotalFileBytes)
    : peerLabel_(std::move(peerLabel)),
      pasteboard_(std::move(pasteboard)),
      sourceID_(platform::UUID::random().uuidString()),
      maxFileBytes_(maxFileBytes),
      maxTotalFileBytes_(maxTotalFileBytes),
      pollQueue_(platform::DispatchQueue::main()),
      lastObservedChangeCount_(pasteboard_.changeCount()),
      inboxQueue_("clipboard inbox " + peerLabel_),
      pictureQueue_("clipboard pictures " + peerLabel_) {
    inboxQueue_.setDropsWorkOfGonePeers(true);
    pictureQueue_.setDropsWorkOfGonePeers(true);
}

ClipboardSyncBridge::~ClipboardSyncBridge() { stop(); }

std::string ClipboardSyncBridge::fittedFilename(const std::string& name, const std::string& suffix, size_t maxBytes) {
    return platform::FileMoves::fittedName(name, suffix, maxBytes);
}

void ClipboardSyncBridge::start() {
    if (pollTimer_) return;
    removeStaleInboxBatches();
    std::weak_ptr<ClipboardSyncBridge> weak = weak_from_this();
    pollTimer_ = std::make_unique<platform::DispatchTimer>(
        pollQueue_, pollIntervalSeconds,
        [weak] {
            if (auto self = weak.lock()) self->pollPasteboard();
        },
        pollIntervalSeconds);
    pollTimer_->resume();
    if (onStartedForTesting) onStartedForTesting();
}

void ClipboardSyncBridge::stop() {
    if (!pollTimer_) return;
    pollTimer_->cancel();
    pollTimer_.reset();
}

void ClipboardSyncBridge::report(const std::string& text) const {
    if (onStatus) onStatus(text);
}

void ClipboardSyncBridge::reportFromPeer(const std::string& kind, const std::string& text) {
    std::optional<std::string> line;
    {
        std::lock_guard lock(peerLinesLock_);
        line = peerLines_.admit(kind, text);
    }
    if (line) report(*line);
}

void ClipboardSyncBridge::clearPending() {
    pendingOutgoingTransfer_.reset();
    pendingOutgoingChangeCount_.reset();
    lastPendingDeliveryStatusChangeCount_.reset();
}

void ClipboardSyncBridge::markPasteboardChangedExternally() {
    clearPending();
    lastObservedChangeCount_ = pasteboard_.changeCount();
}

// --- Outgoing ------------------------------------------------------------------------

void ClipboardSyncBridge::pollPasteboard() {
    pollQueue_.dispatchPrecondition();
    if (!syncEnabled()) {
        // Changes made while sync is off are absorbed, never sent later.
        lastObservedChangeCount_ = pasteboard_.changeCount();
        return;
    }
    const int changeCount = pasteboard_.changeCount();
    if (pendingOutgoingTransfer_ && pendingOutgoingChangeCount_) {
        if (changeCount == *pendingOutgoingChangeCount_) return deliverPendingOutgoingTransfer();
        clearPending();  // overtaken by a newer change, examined below
    }
    if (changeCount == lastObservedChangeCount_) return;
    auto item = extractClipboardItem();
    if (!item) {
        lastObservedChangeCount_ = changeCount;
        return;
    }
    ClipboardTransfer transfer{sourceID_, nextSequence_, platform::Clock::uptimeNs(), {*item}};
    if (auto problem = transfer.encodingProblem()) {
        // Content that can never be encoded is settled at once: offering it
        // again on every tick would fail the same way for ever.
        lastObservedChangeCount_ = changeCount;
        report("clipboard encode failed: " + *problem);
        return;
    }
    ++nextSequence_;
    pendingOutgoingTransfer_ = std::move(transfer);
    pendingOutgoingChangeCount_ = changeCount;
    // Only a delivery settles the change; until then every tick retries.
    deliverPendingOutgoingTransfer();
}

void ClipboardSyncBridge::deliverPendingOutgoingTransfer() {
    if (!pendingOutgoingTransfer_ || !pendingOutgoingChangeCount_) return;
    const uint64_t sequence = pendingOutgoingTransfer_->sequence;
    // One offer of a change at a time: its outcome settles it or leaves it
    // to the next tick.
    if (deliveryInFlightSequence_ == sequence) return;
    if (!onOutgoingTransfer) return outgoingDeliveryFinished(sequence, false);
    deliveryInFlightSequence_ = sequence;
    onOutgoingTransfer(*pendingOutgoingTransfer_,
                       [weak = weak_from_this(), queue = pollQueue_, sequence](bool delivered) {
                           queue.async([weak, sequence, delivered] {
                               if (auto self = weak.lock()) self->outgoingDeliveryFinished(sequence, delivered);
                           });
                       });
}

void ClipboardSyncBridge::outgoingDeliveryFinished(uint64_t sequence, bool delivered) {
    pollQueue_.dispatchPrecondition();
    if (deliveryInFlightSequence_ == sequence) deliveryInFlightSequence_.reset();
    // A newer change overtook this one while it was out: the newer one's
    // own delivery settles the pasteboard.
    if (!pendingOutgoingTransfer_ || pendingOutgoingTransfer_->sequence != sequence) return;
    if (delivered) {
        lastObservedChangeCount_ = *pendingOutgoingChangeCount_;
        clearPending();
        return;
    }
    if (lastPendingDeliveryStatusChangeCount_ == pendingOutgoingChangeCount_) return;
    lastPendingDeliveryStatusChangeCount_ = pendingOutgoingChangeCount_;
    report("clipboard pending delivery: no authorized " + peerLabel_ + " session");
}

std::optional<ClipboardTransferItem> ClipboardSyncBridge::extractClipboardItem() const {
    const auto types = pasteboard_.types();
    auto has = [&](const platform::PasteboardType& t) { return std::find(types.begin(), types.end(), t) != types.end(); };
    // Files copied on the Host stay on the Host.
    if (has(platform::kPasteboardTypeFileURL) || has(legacyFilenamesType)) return std::nullopt;
    if (auto image = makeImageTransferItem()) return image;
    auto text = pasteboard_.stringForType(platform::kPasteboardTypeString);
    if (text && !text->empty()) return ClipboardTransferItem{ClipboardTransferItemKind::text, *text, {}, {}, {}};
    return std::nullopt;
}

std::optional<ClipboardTransferItem> ClipboardSyncBridge::makeImageTransferItem() const {
    auto png = pasteboard_.dataForType(platform::kPasteboardTypePNG);
    if (!png || png->empty()) {
        png.reset();
        if (auto tiff = pasteboard_.dataForType(platform::kPasteboardTypeTIFF)) {
            if (auto image = platform::BitmapImage::fromData(*tiff); image.ok()) png = pngData(*image);
        }
    }
    if (!png) return std::nullopt;
    return ClipboardTransferItem{ClipboardTransferItemKind::image, std::nullopt, std::move(*png), "public.png", {}};
}

std::optional<std::vector<uint8_t>> ClipboardSyncBridge::pngData(const platform::BitmapImage& image) {
    // The decoded image already is its bitmap representation: its pixels
    // go to PNG without another TIFF round.
    auto png = image.pngRepresentation();
    if (!png.ok()) return std::nullopt;
    return std::move(*png);
}

// --- Incoming ------------------------------------------------------------------------

void ClipboardSyncBridge::receiveRemoteTransfer(ClipboardTransfer transfer) {
    // Charged to whoever sent it until it is applied or superseded: a
    // sender of values larger than its budget waits for each to land.
    auto charge = std::make_unique<platform::WorkLedger::Charge>(platform::WorkLedger::current(), heldBytesOf(transfer));
    std::unique_ptr<RemoteValue> superseded;
    bool taskQueued = false;
    {
        std::lock_guard lock(latestRemoteLock_);
        taskQueued = latestRemoteTransfer_.has_value();
        if (taskQueued) superseded = std::make_unique<RemoteValue>(std::move(*latestRemoteTransfer_));
        latestRemoteTransfer_ = RemoteValue{std::move(transfer), std::move(charge)};
    }
    // The superseded transfer (up to a whole payload) is freed, and its
    // charge given back, here, outside the lock. A task already queued
    // applies the newer one.
    superseded.reset();
    if (taskQueued) return;
    pollQueue_.async([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->applyLatestRemoteTransfer();
    });
}

void ClipboardSyncBridge::applyLatestRemoteTransfer() {
    pollQueue_.dispatchPrecondition();
    std::optional<RemoteValue> latest;
    {
        std::lock_guard lock(latestRemoteLock_);
        latest.swap(latestRemoteTransfer_);
    }
    if (!latest) return;
    // The work it starts is its sender's, whoever queued this task.
    const platform::WorkLedger::Charged sender(latest->charge->ledger());
    if (!syncEnabled()) {
        reportFromPeer("ignored", "clipboard ignored remote transfer: sync disabled");
        return;
    }
    applyTransferToPasteboard(std::move(latest->transfer));
}

void ClipboardSyncBridge::handleRemoteTransfer(const ClipboardTransfer& transfer) {
    pollQueue_.dispatchPrecondition();
    if (!syncEnabled()) {
        reportFromPeer("ignored", "clipboard ignored remote transfer: sync disabled");
        return;
    }
    applyTransferToPasteboard(transfer);
}

std::optional<ClipboardTransferItem> ClipboardSyncBridge::PendingItem::take() {
    std::lock_guard guard(lock);
    std::optional<ClipboardTransferItem> taken;
    taken.swap(item);
    return taken;
}

void ClipboardSyncBridge::PendingItem::supersede() {
    superseded.store(true, std::memory_order_release);
    take();
}

std::shared_ptr<ClipboardSyncBridge::PendingItem> ClipboardSyncBridge::awaitWork(ClipboardTransferItem item) {
    auto pending = std::make_shared<PendingItem>();
    pending->item = std::move(item);
    itemAwaitingWork_ = pending;
    return pending;
}

bool ClipboardSyncBridge::isLatest(uint64_t transferNumber, int changeCount) const {
    return transferNumber == incomingTransferCount_ && changeCount == pasteboard_.changeCount();
}

void ClipboardSyncBridge::applyTransferToPasteboard(ClipboardTransfer transfer) {
    // Whatever arrives now supersedes a picture or files still waiting for
    // their work: dropped before it starts, their bytes freed now.
    ++incomingTransferCount_;
    if (auto waiting = itemAwaitingWork_.lock()) waiting->supersede();
    itemAwaitingWork_.reset();
    if (!transfer.items.empty() && transfer.items.front().kind == ClipboardTransferItemKind::image)
        return convertThenApplyImage(std::move(transfer.items.front()));
    if (!transfer.items.empty() && transfer.items.front().kind == ClipboardTransferItemKind::files)
        return writeThenApplyFiles(std::move(transfer.items.front()), transfer.sourceID);
    // Cleared even for a transfer without items: the peer emptied its
    // clipboard.
    pasteboard_.clearContents();
    if (!transfer.items.empty()) {
        const ClipboardTransferItem& item = transfer.items.front();
        if (item.kind == ClipboardTransferItemKind::text && item.text) {
            pasteboard_.setString(*item.text, platform::kPasteboardTypeString);
            reportFromPeer("applied", "clipboard applied text from " + peerLabel_);
        }
    }
    // Echo suppression: the next tick finds this count settled.
    lastObservedChangeCount_ = pasteboard_.changeCount();
}

// A peer's picture being converted, between two slices of its rows.
struct ClipboardSyncBridge::PictureConversion {
    // Shared, not copied again: the bytes go to the converter and then,
    // under their own type, onto the pasteboard.
    std::shared_ptr<const std::vector<uint8_t>> encoded;
    platform::BitmapImage::TiffConversion tiff;
    // Marked once a newer transfer comes: its landing would be refused.
    std::shared_ptr<PendingItem> pending;
    bool keepPng = false;
    uint64_t transferNumber = 0;
    int changeCount = 0;

    PictureConversion(std::shared_ptr<const std::vector<uint8_t>> bytes, std::shared_ptr<PendingItem> item, bool png,
                      uint64_t number, int count)
        : encoded(std::move(bytes)),
          tiff(encoded ? std::span<const uint8_t>(*encoded) : std::span<const uint8_t>()),
          pending(std::move(item)),
          keepPng(png),
          transferNumber(number),
          changeCount(count) {}
};

void ClipboardSyncBridge::convertThenApplyImage(ClipboardTransferItem item) {
    const size_t held = heldBytesOf(item);
    const uint64_t transferNumber = incomingTransferCount_;
    const int changeCount = pasteboard_.changeCount();
    // A picture can be large: it is converted off the main queue, by rows,
    // one at a time, and only the result comes back.
    pictureQueue_.async(
        [weak = weak_from_this(), pending = awaitWork(std::move(item)), transferNumber, changeCount,
         pictures = pictureQueue_, queue = pollQueue_] {
            auto taken = pending->take();
            if (!taken) return;  // superseded before its turn: not converted
            auto encoded = taken->imageData ? std::make_shared<const std::vector<uint8_t>>(std::move(*taken->imageData))
                                            : nullptr;
            const bool keepPng = taken->imageTypeIdentifier == "public.png";
            taken.reset();
            convertPictureSlices(weak,
                                 std::make_shared<PictureConversion>(std::move(encoded), pending, keepPng,
                                                                     transferNumber, changeCount),
                                 pictures, queue);
        },
        held);
}

void ClipboardSyncBridge::convertPictureSlices(std::weak_ptr<ClipboardSyncBridge> weak,
                                               std::shared_ptr<PictureConversion> picture,
                                               platform::DispatchQueue pictures, platform::DispatchQueue queue) {
    // A newer transfer came, or the bridge is gone: this picture would not
    // land, and only the latest value is worked on.
    if (picture->pending->superseded.load(std::memory_order_acquire) || weak.expired()) return;
    if (!picture->tiff.convertRows(pictureRowsPerSlice)) {
        // The next slice is a job of the same peer's on the picture queue,
        // which drops a gone peer's work: a Viewer that leaves takes its
        // conversion with it within a slice.
        const size_t holding = (picture->encoded ? picture->encoded->size() : 0) + picture->tiff.bytesWritten();
        pictures.async([weak = std::move(weak), picture = std::move(picture), pictures,
                        queue] { convertPictureSlices(weak, picture, pictures, queue); },
                       holding);
        return;
    }
    std::optional<std::vector<uint8_t>> tiff;
    if (auto converted = picture->tiff.result(); converted.ok()) tiff = std::move(*converted);
    const auto encoded = picture->encoded;
    const bool keepPng = picture->keepPng;
    const uint64_t transferNumber = picture->transferNumber;
    const int changeCount = picture->changeCount;
    picture.reset();
    const size_t landing = (tiff ? tiff->size() : 0) + (keepPng && encoded ? encoded->size() : 0);
    // Some pictures are converted in one slice (an interlaced PNG, another
    // format), so their sender may have gone while it ran; the main queue
    // runs a gone peer's work, so the landing asks itself.
    queue.async(
        [weak, encoded, keepPng, transferNumber, changeCount, tiff = std::move(tiff),
         sender = platform::WorkLedger::current()] {
            auto self = weak.lock();
            if (!self || (sender && sender->isCancelled())) return;
            // A later transfer, or a copy on the Host, came
            // meanwhile: the newer content stays.
            if (!self->isLatest(transferNumber, changeCount)) return;
            self->pasteboard_.clearContents();
            if (!tiff) {
                self->reportFromPeer("apply failed", "clipboard image apply failed from " + self->peerLabel_);
            } else {
                self->pasteboard_.setData(*tiff, platform::kPasteboardTypeTIFF);
                if (keepPng) self->pasteboard_.setData(*encoded, platform::kPasteboardTypePNG);
                self->reportFromPeer("applied", "clipboard applied image from " + self->peerLabel_);
            }
            self->lastObservedChangeCount_ = self->pasteboard_.changeCount();
        },
        landing);
}

void ClipboardSyncBridge::writeThenApplyFiles(ClipboardTransferItem item, const std::string& sourceID) {
    auto failed = [&] {
        pasteboard_.clearContents();
        reportFromPeer("apply failed", "clipboard file apply failed from " + peerLabel_);
        trimInbox();
        lastObservedChangeCount_ = pasteboard_.changeCount();
    };
    if (!isSafeSourceID(sourceID)) {
        reportFromPeer("inbox create failed", "clipboard inbox create failed: invalid source identifier");
        return failed();
    }
    if (mayWriteInbox && !mayWriteInbox(inboxFolder())) {
        reportFromPeer("inbox refused", "clipboard inbox refused: outside the console user's home");
        return failed();
    }
    const size_t held = heldBytesOf(item);
    const uint64_t transferNumber = incomingTransferCount_;
    const int changeCount = pasteboard_.changeCount();
    // Each file is flushed before it takes its name: on the inbox queue,
    // so a transfer of thousands of them never holds the main queue.
    inboxQueue_.async(
        [weak = weak_from_this(), pending = awaitWork(std::move(item)), transferNumber, changeCount,
         queue = pollQueue_] {
            auto self = weak.lock();
            auto taken = pending->take();
            if (!self || !taken) return;  // superseded before its turn: nothing written
            auto written = self->materializeFiles(taken->files);
            taken.reset();
            queue.async([weak, transferNumber, changeCount, written = std::move(written)]() mutable {
                if (auto self = weak.lock()) self->landFiles(transferNumber, changeCount, std::move(written));
            });
        },
        held);
}

void ClipboardSyncBridge::landFiles(uint64_t transferNumber, int changeCount, std::optional<WrittenBatch> written) {
    pollQueue_.dispatchPrecondition();
    // The batch counts whether or not it is named: the bounds may remove it.
    if (written) recordInboxBatch({written->name, written->urls.size(), written->bytes});
    if (!isLatest(transferNumber, changeCount)) return trimInbox();
    pasteboard_.clearContents();
    if (!written || written->urls.empty()) {
        reportFromPeer("apply failed", "clipboard file apply failed from " + peerLabel_);
    } else {
        pasteboard_.writeFileURLs(written->urls);
        reportFromPeer("applied",
                       "clipboard applied " + std::to_string(written->urls.size()) + " file(s) from " + peerLabel_);
    }
    // Once the pasteboard names the new batch, the older ones it named are
    // free to go.
    trimInbox();
    lastObservedChangeCount_ = pasteboard_.changeCount();
}

// --- Received files ------------------------------------------------------------------

fs::path ClipboardSyncBridge::inboxFolder() const { return cachesFolder() / inboxFolderName / peerLabel_; }

std::string ClipboardSyncBridge::sanitizedFilename(const std::string& filename) {
    std::string name = filename;
    std::replace_if(name.begin(), name.end(), [](char c) { return c == '/' || c == ':' || c == '\0'; }, '-');
    return name.empty() ? "clipboard-item" : name;
}

std::shared_ptr<platform::ConfinedFolder> ClipboardSyncBridge::makeBatchFolder() {
    // From the caches folder down every folder is opened without following a
    // link, and the batch gets a fresh name nobody can guess ahead: a link
    // planted on the way makes the creation fail, never redirects it.
    auto inbox = openInbox(peerLabel_, true);
    if (!inbox) {
        reportFromPeer("inbox create failed", "clipboard inbox create failed: " + inbox.error());
        return nullptr;
    }
    const auto seconds = static_cast<long long>(std::trunc(platform::Clock::now().secondsSince1970));
    auto batch = (*inbox)->makeFolder(std::to_string(seconds) + "-" + platform::UUID::random().uuidString());
    if (!batch) {
        reportFromPeer("inbox create failed", "clipboard inbox create failed: " + batch.error());
        return nullptr;
    }
    return *batch;
}

std::optional<ClipboardSyncBridge::WrittenBatch> ClipboardSyncBridge::materializeFiles(
    const std::vector<ClipboardTransferFile>& files) {
    inboxQueue_.dispatchPrecondition();
    // The folders and the file a write holds open at once are on the
    // sender's account: its walk down to the inbox, or the batch folder
    // and the file being written.
    const auto sender = platform::WorkLedger::current();
    const auto descriptors =
        platform::WorkLedger::Holding::take(sender, platform::WorkLedger::Held::descriptors, kWriteDescriptors);
    if (!descriptors) {
        reportFromPeer("inbox create failed",
                       "clipboard inbox create failed: " +
                           platform::WorkLedger::descriptorRefusal(sender, "too many descriptors held", kWriteDescriptors));
        return std::nullopt;
    }
    auto batch = makeBatchFolder();
    if (!batch) return std::nullopt;
    WrittenBatch written{batch->path().filename().string(), {}, 0};
    const size_t maxName = platform::FileMoves::maxNameBytesAt(batch->fd());
    int64_t& total = written.bytes;
    for (size_t i = 0; i < files.size(); ++i) {
        const ClipboardTransferFile& file = files[i];
        const std::string name = sanitizedFilename(file.filename);
        const auto size = static_cast<int64_t>(file.data.size());
        if (size > maxFileBytes_) {
            reportFromPeer("file too large", "clipboard file too large: " + name + " (" + std::to_string(size) + " bytes)");
            continue;
        }
        if (total + size > maxTotalFileBytes_ || written.urls.size() >= inboxFileBound_) {
            reportFromPeer("transfer too large", "clipboard transfer too large: skipped " + std::to_string(files.size() - i) + " file(s)");
            break;
        }
        // A name too long for the file system is shortened, and so is each
        // numbered variant, so every file arrives: its stem and extension
        // come from the candidate before it, so three a.txt give a.txt,
        // a-1.txt and a-1-2.txt. "." and ".." always exist, so they too end
        // up with a new name inside the batch instead of naming a folder.
        bool shortened = false;
        auto fit = [&](const std::string& candidate, const std::string& suffix) {
            std::string fitted = fittedFilename(candidate, suffix, maxName);
            if (fitted.size() < candidate.size() + suffix.size()) shortened = true;
            return fitted;
        };
        const auto candidate = platform::FileMoves::freeVariantAt(
            batch->fd(), fit(name, ""),
            [&](const fs::path& previous, int n) {
                // Appended rather than "-" + ...: GCC 12 at -O3 warns of an
                // overlapping copy in that form (-Wrestrict, a false positive).
                std::string suffix = "-";
                suffix += std::to_string(n);
                return fs::path(fit(previous.string(), suffix));
            });
        if (!candidate) {
            reportFromPeer("file skipped", "clipboard file skipped: its name cannot be used (" + std::to_string(name.size()) + " bytes)");
            continue;
        }
        if (auto ok = batch->writeFile(candidate->string(), file.data); !ok) {
            reportFromPeer("write failed", "clipboard file write failed for " + name + ": " + ok.error());
            continue;
        }
        // A sender may name thousands of files so in each transfer: one
        // line a second, the others counted in it.
        if (shortened)
            reportFromPeer("shortened", "clipboard file name shortened to fit: " + std::to_string(name.size()) +
                                            " bytes, saved under " + std::to_string(candidate->string().size()));
        total += size;
        written.urls.push_back(batch->path() / *candidate);
    }
    return written;
}

// --- Inbox housekeeping --------------------------------------------------------------

void ClipboardSyncBridge::setInboxBoundsForTesting(size_t batches, size_t files, int64_t bytes) {
    inboxBatchBound_ = batches;
    inboxFileBound_ = files;
    inboxByteBound_ = bytes;
}

void ClipboardSyncBridge::recordInboxBatch(InboxBatch batch) {
    inboxFiles_ += batch.files;
    inboxBytes_ += batch.bytes;
    inboxBatches_.push_back(std::move(batch));
}

void ClipboardSyncBridge::adoptInboxBatches(std::vector<InboxBatch> found, std::vector<std::string> stale) {
    pollQueue_.dispatchPrecondition();
    // Decided here, with the pasteboard as it is now: a day-old batch it
    // names stays, however old.
    const fs::path inbox = inboxFolder();
    const auto named = pasteboard_.readFileURLs();
    std::vector<std::string> removed;
    for (auto& name : stale) {
        const fs::path folder = inbox / name;
        if (std::any_of(named.begin(), named.end(), [&](const fs::path& url) { return platform::Folders::contains(folder, url); }))
            continue;
        std::erase_if(found, [&](const InboxBatch& b) { return b.name == name; });
        removed.push_back(std::move(name));
    }
    removeInboxBatches(std::move(removed));
    // A batch made by this run since the listing is known already.
    std::erase_if(found, [&](const InboxBatch& b) {
        return std::any_of(inboxBatches_.begin(), inboxBatches_.end(), [&](const InboxBatch& known) { return known.name == b.name; });
    });
    for (auto it = found.rbegin(); it != found.rend(); ++it) {
        inboxFiles_ += it->files;
        inboxBytes_ += it->bytes;
        inboxBatches_.push_front(std::move(*it));
    }
    trimInbox();
}

void ClipboardSyncBridge::removeInboxBatches(std::vector<std::string> names) const {
    if (names.empty()) return;
    // The inbox's own housekeeping: charged to nobody, so it runs whoever
    // is gone by then.
    const platform::WorkLedger::Charged hostsOwn(nullptr);
    inboxQueue_.async([weak = weak_from_this(), main = pollQueue_, peerLabel = peerLabel_, names = std::move(names)] {
        auto folder = openInbox(peerLabel, false);
        if (!folder) return;  // gone, or reachable only through a link
        std::optional<std::string> failure;
        for (const auto& name : names) {
            if (auto removed = (*folder)->remove(name); !removed && !failure) failure = removed.error();
        }
        if (!failure) return;
        // One line for the whole round, said where the statuses are.
        main.async([weak, failure = std::move(*failure)] {
            if (auto self = weak.lock()) self->report("clipboard inbox cleanup failed: " + failure);
        });
    });
}

void ClipboardSyncBridge::trimInbox() {
    pollQueue_.dispatchPrecondition();
    auto over = [&] {
        return inboxBatches_.size() > inboxBatchBound_ || inboxFiles_ > inboxFileBound_ || inboxBytes_ > inboxByteBound_;
    };
    if (!over()) return;
    const fs::path inbox = inboxFolder();
    const auto named = pasteboard_.readFileURLs();
    std::vector<std::string> removed;
    // The newest batch stays whatever it holds, and so does every batch
    // the pasteboard names: a paste must still find its files.
    for (auto it = inboxBatches_.begin(); over() && it != inboxBatches_.end() && std::next(it) != inboxBatches_.end();) {
        const fs::path folder = inbox / it->name;
        if (std::any_of(named.begin(), named.end(), [&](const fs::path& url) { return platform::Folders::contains(folder, url); })) {
            ++it;
            continue;
        }
        inboxFiles_ -= it->files;
        inboxBytes_ -= it->bytes;
        removed.push_back(std::move(it->name));
        it = inboxBatches_.erase(it);
    }
    removeInboxBatches(std::move(removed));
}

void ClipboardSyncBridge::removeStaleInboxBatches() {
    // The folder is listed on the inbox queue; what goes is decided back on
    // the main queue, where the pasteboard is read.
    const platform::Date now = platform::Clock::now();
    const platform::WorkLedger::Charged hostsOwn(nullptr);
    inboxQueue_.async([weak = weak_from_this(), peerLabel = peerLabel_, now, main = pollQueue_] {
        auto inbox = openInbox(peerLabel, false);
        if (!inbox) return;  // none yet, or reachable only through a link
        auto entries = (*inbox)->list();
        if (!entries) return;
        std::vector<std::pair<platform::Date, InboxBatch>> kept;
        std::vector<std::string> stale;
        for (const auto& entry : *entries) {
            if (entry.kind != platform::FileSystemEntryKind::folder) continue;
            if (entry.modificationDate && now.timeIntervalSince(*entry.modificationDate) > inboxRetentionSeconds)
                stale.push_back(entry.name);
            InboxBatch batch{entry.name, 0, 0};
            batch.files = countBatch(**inbox, entry.name, batch.bytes);
            kept.emplace_back(entry.modificationDate.value_or(now), std::move(batch));
        }
        std::stable_sort(kept.begin(), kept.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        std::vector<InboxBatch> found;
        for (auto& [date, batch] : kept) found.push_back(std::move(batch));
        main.async([weak, found = std::move(found), stale = std::move(stale)]() mutable {
            if (auto self = weak.lock()) self->adoptInboxBatches(std::move(found), std::move(stale));
        });
    });
}
