#include "VelantrixProfiles/Clipboard/ClipboardSyncBridge.h"

#include <algorithm>
#include <cmath>
#include <system_error>

#include "Platform/Clock.h"
#include "Platform/FileIO.h"
#include "Platform/FileMoves.h"
#include "Platform/Folders.h"
#include "Platform/Uuid.h"

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


// The next name tried when `candidate` is taken: its stem and extension
// come from the candidate itself, so three a.txt give a.txt, a-1.txt and
// a-1-2.txt.
fs::path nextCandidate(const fs::path& candidate, int n) {
    const fs::path name = candidate.filename();
    std::string extension = name.extension().string();
    if (!extension.empty()) extension.erase(0, 1);
    std::string next = name.stem().string() + "-" + std::to_string(n);
    if (!extension.empty()) next += "." + extension;
    return candidate.parent_path() / next;
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
      lastObservedChangeCount_(pasteboard_.changeCount()) {}

ClipboardSyncBridge::~ClipboardSyncBridge() { stop(); }

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

void ClipboardSyncBridge::handleRemoteTransfer(const ClipboardTransfer& transfer) {
    pollQueue_.dispatchPrecondition();
    if (!syncEnabled()) {
        report("clipboard ignored remote transfer: sync disabled");
        return;
    }
    applyTransferToPasteboard(transfer);
}

void ClipboardSyncBridge::applyTransferToPasteboard(const ClipboardTransfer& transfer) {
    // Whatever arrives now supersedes an image still being converted.
    ++incomingTransferCount_;
    if (!transfer.items.empty() && transfer.items.front().kind == ClipboardTransferItemKind::image)
        return convertThenApplyImage(transfer.items.front());
    // Cleared even for a transfer without items: the peer emptied its
    // clipboard.
    pasteboard_.clearContents();
    if (!transfer.items.empty()) {
        const ClipboardTransferItem& item = transfer.items.front();
        switch (item.kind) {
            case ClipboardTransferItemKind::text:
                if (item.text) {
                    pasteboard_.setString(*item.text, platform::kPasteboardTypeString);
                    report("clipboard applied text from " + peerLabel_);
                }
                break;
            case ClipboardTransferItemKind::image:
                break;  // taken above
            case ClipboardTransferItemKind::files: {
                auto urls = materializeFiles(item.files, transfer.sourceID);
                if (urls.empty()) {
                    report("clipboard file apply failed from " + peerLabel_);
                    break;
                }
                pasteboard_.writeFileURLs(urls);
                report("clipboard applied " + std::to_string(urls.size()) + " file(s) from " + peerLabel_);
                break;
            }
        }
    }
    // Echo suppression: the next tick finds this count settled.
    lastObservedChangeCount_ = pasteboard_.changeCount();
}

void ClipboardSyncBridge::convertThenApplyImage(const ClipboardTransferItem& item) {
    // Shared, not copied again: the bytes go to the converter and then,
    // under their own type, onto the pasteboard.
    auto encoded = item.imageData ? std::make_shared<const std::vector<uint8_t>>(*item.imageData) : nullptr;
    const bool keepPng = item.imageTypeIdentifier == "public.png";
    const uint64_t transferNumber = incomingTransferCount_;
    const int changeCount = pasteboard_.changeCount();
    std::weak_ptr<ClipboardSyncBridge> weak = weak_from_this();
    // A picture can be large: it is converted off the main queue, by rows,
    // and only the result comes back.
    platform::DispatchQueue::global(platform::QualityOfService::utility)
        .async([weak, encoded, keepPng, transferNumber, changeCount, queue = pollQueue_] {
            std::optional<std::vector<uint8_t>> tiff;
            if (encoded) {
                if (auto converted = platform::BitmapImage::tiffRepresentationOfData(*encoded); converted.ok())
                    tiff = std::move(*converted);
            }
            queue.async([weak, encoded, keepPng, transferNumber, changeCount, tiff = std::move(tiff)] {
                auto self = weak.lock();
                if (!self) return;
                // A later transfer, or a copy on the Host, came meanwhile:
                // the newer content stays.
                if (transferNumber != self->incomingTransferCount_ || changeCount != self->pasteboard_.changeCount())
                    return;
                self->pasteboard_.clearContents();
                if (!tiff) {
                    self->report("clipboard image apply failed from " + self->peerLabel_);
                } else {
                    self->pasteboard_.setData(*tiff, platform::kPasteboardTypeTIFF);
                    if (keepPng) self->pasteboard_.setData(*encoded, platform::kPasteboardTypePNG);
                    self->report("clipboard applied image from " + self->peerLabel_);
                }
                self->lastObservedChangeCount_ = self->pasteboard_.changeCount();
            });
        });
}

// --- Received files ------------------------------------------------------------------

fs::path ClipboardSyncBridge::inboxFolder() const {
    fs::path base = platform::Folders::caches();
    if (base.empty()) {
        std::error_code ec;
        base = fs::temp_directory_path(ec);
    }
    return base / inboxFolderName / peerLabel_;
}

std::string ClipboardSyncBridge::sanitizedFilename(const std::string& filename) {
    std::string name = filename;
    std::replace_if(name.begin(), name.end(), [](char c) { return c == '/' || c == ':' || c == '\0'; }, '-');
    return name.empty() ? "clipboard-item" : name;
}

std::shared_ptr<platform::ConfinedFolder> ClipboardSyncBridge::makeBatchFolder(const std::string& sourceID) {
    if (!isSafeSourceID(sourceID)) {
        report("clipboard inbox create failed: invalid source identifier");
        return nullptr;
    }
    fs::path base = platform::Folders::caches();
    if (base.empty()) {
        std::error_code ec;
        base = fs::temp_directory_path(ec);
    }
    // Below the caches every folder is opened without following a link,
    // and the batch gets a fresh name nobody can guess ahead: a link
    // planted in the inbox makes the creation fail, never redirects it.
    const std::optional<platform::FileOwner> owner = inboxOwner ? inboxOwner() : std::nullopt;
    auto top = platform::ConfinedFolder::openTop(base, owner, true);
    if (!top) {
        report("clipboard inbox create failed: " + top.error());
        return nullptr;
    }
    auto inbox = (*top)->openBeneath(fs::path(inboxFolderName) / peerLabel_, true);
    if (!inbox) {
        report("clipboard inbox create failed: " + inbox.error());
        return nullptr;
    }
    const auto seconds = static_cast<long long>(std::trunc(platform::Clock::now().secondsSince1970));
    auto batch = (*inbox)->makeFolder(std::to_string(seconds) + "-" + platform::UUID::random().uuidString());
    if (!batch) {
        report("clipboard inbox create failed: " + batch.error());
        return nullptr;
    }
    return *batch;
}

std::vector<fs::path> ClipboardSyncBridge::materializeFiles(const std::vector<ClipboardTransferFile>& files,
                                                            const std::string& sourceID) {
    std::vector<fs::path> written;
    if (mayWriteInbox && !mayWriteInbox(inboxFolder())) {
        report("clipboard inbox refused: outside the console user's home");
        return written;
    }
    auto batch = makeBatchFolder(sourceID);
    if (!batch) return written;
    int64_t total = 0;
    for (size_t i = 0; i < files.size(); ++i) {
        const ClipboardTransferFile& file = files[i];
        const std::string name = sanitizedFilename(file.filename);
        const auto size = static_cast<int64_t>(file.data.size());
        if (size > maxFileBytes_) {
            report("clipboard file too large: " + name + " (" + std::to_string(size) + " bytes)");
            continue;
        }
        if (total + size > maxTotalFileBytes_) {
            report("clipboard transfer too large: skipped " + std::to_string(files.size() - i) + " file(s)");
            break;
        }
        // "." and ".." always exist, so they too end up with a new name
        // inside the batch instead of replacing a folder.
        const auto candidate = platform::FileMoves::freeVariantAt(batch->fd(), name, nextCandidate);
        if (!candidate) {
            report("clipboard file skipped: its name cannot be used (" + std::to_string(name.size()) + " bytes)");
            continue;
        }
        if (auto ok = batch->writeFile(candidate->string(), file.data); !ok) {
            report("clipboard file write failed for " + name + ": " + ok.error());
            continue;
        }
        total += size;
        written.push_back(batch->path() / *candidate);
    }
    return written;
}

void ClipboardSyncBridge::removeStaleInboxBatches() {
    const fs::path inbox = inboxFolder();
    std::error_code ec;
    fs::directory_iterator it(inbox, ec);
    if (ec) return;  // no inbox yet
    // A batch the pasteboard still offers stays, however old.
    const auto referenced = pasteboard_.readFileURLs();
    const platform::Date now = platform::Clock::now();
    std::vector<fs::path> stale;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) break;
        const fs::path batch = it->path();
        if (!it->is_directory(ec) || it->is_symlink(ec)) continue;
        auto changed = platform::FileIO::modificationDate(batch);
        if (!changed || now.timeIntervalSince(*changed) <= inboxRetentionSeconds) continue;
        if (std::any_of(referenced.begin(), referenced.end(), [&](const fs::path& url) { return platform::Folders::contains(batch, url); }))
            continue;
        stale.push_back(batch);
    }
    for (const auto& batch : stale) fs::remove_all(batch, ec);
}
