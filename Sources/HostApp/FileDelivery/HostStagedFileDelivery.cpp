// Bringing a received batch's staged items into the folder chosen for it,
// telling the user in the progress window and, for a managed copy, sending
// the asking Viewer its receipt. Main queue.

#include <cerrno>
#include <optional>
#include <utility>

#include "HostApp/HostProbeDelegate.h"
#include "Platform/Runtime/Dispatch.h"
#include "Platform/Runtime/WorkLedger.h"
#include "Platform/Files/FileMoves.h"
#include "Platform/Files/TreeWalk.h"
#include "Platform/AppKit/WorkspaceFileViewer.h"
#include "VelantrixProfiles/FileTransfer/FileTransferCenter.h"
#include "VelantrixProfiles/FileTransfer/FileTransferStagedItems.h"
#include "VelantrixProfiles/FileTransferWindow/FileTransferConflictResolver.h"
#include "VelantrixProfiles/Localization/VelantrixL10n.h"

using platform::DispatchQueue;
using platform::UUID;
using platform::WorkLedger;
namespace fs = std::filesystem;

namespace {
// The one way received items enter a user's folder without asking: under
// their own name, or "name 1.ext", "name 2.ext", ... when taken, never over
// anything, each move relative to the folder as it was opened and to the
// item's staging folder opened the way staging is. `onFailure` hears each
// item that could not be moved. The result is stopped when the stop came
// before every item had its turn.
FileTransferDeliveryResult moveNumbered(
    const std::vector<fs::path>& items, const platform::ConfinedFolder& folder,
    const std::function<void(const fs::path& name, const fs::path& candidate, const std::string& error)>& onFailure,
    const std::shared_ptr<std::atomic<bool>>& stop = nullptr) {
    using platform::FileMoves;
    FileTransferDeliveryResult moves;
    // Staging may lie in the console user's home, where a folder above a
    // batch can be swapped for a link: each item is reached beneath its
    // batch folder opened from the data root down, never through a link,
    // once for the items that share it. One that cannot be opened so
    // leaves its items staged.
    std::optional<std::pair<fs::path, platform::Result<platform::FolderHandle>>> staging;
    const size_t maxName = FileMoves::maxNameBytesAt(folder.fd());
    for (const auto& item : items) {
        if (stop && stop->load()) {
            moves.stoppedByUser = true;
            break;
        }
        const fs::path path = item.lexically_normal();
        const fs::path name = path.filename();
        if (!staging || staging->first != path.parent_path())
            staging.emplace(path.parent_path(), FileTransferStagedItems::open(path.parent_path()));
        auto failed = [&](const fs::path& candidate, const std::string& error, size_t leftInFolder = 0) {
            moves.noteFailed(name.string(), leftInFolder);
            if (onFailure) onFailure(name, candidate, error);
        };
        if (!staging->second) {
            failed(folder.path() / name, staging->second.error());
            continue;
        }
        // Other deliveries into the same folder run at the same time, so a
        // name found free can be taken before the move into it: the move
        // never replaces, and a name lost that way sends the search on to
        // the next free one. Both searches are bounded.
        for (int attempt = 0;; ++attempt) {
            // Names come from the sender: the search for a free one is
            // bounded, and a name the file system refuses is not searched
            // at all.
            // A variant of a name as long as the file system takes is
            // shortened at the end of its stem, its extension kept.
            const auto candidate = FileMoves::freeVariantAt(folder.fd(), name, [&](const fs::path&, int n) {
                return fs::path(FileMoves::fittedName(name.string(), " " + std::to_string(n), maxName));
            });
            if (!candidate) {
                failed(folder.path() / name, "no usable name in " + folder.path().string());
                break;
            }
            errno = 0;
            platform::MoveReport report;
            auto moved = folder.moveIn(*staging->second, name.string(), candidate->string(), &report);
            if (moved) {
                moves.deliveredURLs.push_back(folder.path() / *candidate);
                break;
            }
            if (errno == EEXIST && report.leftAtTarget == 0 && attempt < FileMoves::maxNameVariants) continue;
            failed(folder.path() / *candidate, moved.error(), report.leftAtTarget);
            break;
        }
    }
    return moves;
}

// The receipt of a delivery where items failed: which ones, as far as
// the delivery knows them, and what failed moves left in the folder all
// the same, so the Viewer is not told less arrived than did.
std::string partialSaveDetail(const FileTransferDeliveryResult& result) {
    const size_t saved = result.deliveredURLs.size(), failed = result.failedItemCount;
    std::string text;
    if (result.failedNames.empty()) {
        text = VelantrixL10n::format("fileTransfer.partialSaveDetail", "Saved %d item(s); %d could not be saved.", saved,
                                     failed);
    } else {
        // The result keeps the first names alone.
        std::string names;
        for (size_t i = 0; i < result.failedNames.size(); i++) names += (i > 0 ? ", " : "") + result.failedNames[i];
        if (failed > result.failedNames.size()) names += ", \u2026";
        text = VelantrixL10n::format("fileTransfer.partialSaveNamedDetail", "Saved %d item(s); %d could not be saved: %@.",
                                     saved, failed, names);
    }
    if (result.leftAtTarget > 0)
        text += " " + VelantrixL10n::format("fileTransfer.leftAtTargetDetail",
                                            "%d item(s) of what could not be saved remain in the folder.",
                                            result.leftAtTarget);
    return text;
}

std::string deliveryFailureLine(const fs::path& name, const fs::path& candidate, const std::string& error) {
    return "files: failed to deliver " + name.string() + " -> " + candidate.string() + ": " + error;
}

// A folder the Host's own user chose (a panel, Finder's window): opened,
// and made when missing, as its path says. Its descriptor is on `ledger`'s
// account while it is open; none when that would pass the peer's bound.
std::shared_ptr<platform::ConfinedFolder> openChosenFolder(const fs::path& folder,
                                                           const std::shared_ptr<platform::WorkLedger>& ledger = nullptr) {
    // On the peer's account before it is opened.
    auto held = platform::WorkLedger::Holding::take(ledger, platform::WorkLedger::Held::descriptors);
    if (!held) return nullptr;
    auto opened = platform::ConfinedFolder::openTop(folder, true);
    if (!opened) return nullptr;
    if (!ledger) return *opened;
    struct Charged {
        platform::WorkLedger::Holding descriptor;
        std::shared_ptr<platform::ConfinedFolder> folder;
    };
    auto charged = std::make_shared<Charged>(Charged{std::move(*held), std::move(*opened)});
    return std::shared_ptr<platform::ConfinedFolder>(charged, charged->folder.get());
}

// The staging folder, and a folder's copy across file systems with the walk
// of its tree (the most a move holds open at once).
constexpr size_t kDeliveryDescriptors = 1 + platform::FileMoves::kCopyDescriptors + platform::TreeWalk::kDescriptors;

}  // namespace

void StagedBatchItems::reset() {
    if (items_.empty()) return stagedBytes_.reset();
    // On a utility queue, as a large tree takes long to remove; its bytes
    // are given back once they are gone (delivered ones went before).
    auto stagedBytes = std::make_shared<platform::WorkLedger::Holding>(std::move(stagedBytes_));
    DispatchQueue::global(platform::QualityOfService::utility).async([items = std::exchange(items_, {}), stagedBytes] {
        FileTransferStagedItems::remove(items);
        FileTransferStagedItems::removeBatchFolderOf(items);
        stagedBytes->reset();
    });
}

void HostProbeDelegate::tryDeliverFileBatch(const UUID& batchID) {
    assertMainQueue();
    auto& d = fileDelivery;
    auto* batch = d.inboundBatch(batchID);
    if (!batch || !batch->destination || !batch->staged || batch->deliveryStop || batch->waitingForDescriptors) return;
    // What the moves hold open at once is on the peer's account: the
    // staging folder, the chosen folder when it is not open yet, and a copy
    // across file systems. A peer without room for them waits, its items
    // staged, until it has it: a copy that arrived whole is never failed
    // for the peer's other work, or other peers', holding descriptors. The
    // room is taken here, at once, and the moves draw on it as they go, so
    // that work which takes room meanwhile (another copy woken with this
    // one, a question's move) never leaves them short.
    // One that may ask about taken names holds its staging folder for as
    // long as it runs, and room for one item's move at a time, which it
    // gives back while a question waits on a person. Only room for moves,
    // which end on their own, may come from the part of the Host's total
    // kept for them.
    const bool asks = batch->deliveryOptions.contains(FileTransferDeliveryOptions::promptForConflicts);
    const size_t moves =
        asks ? FileTransferConflictResolver::kMoveDescriptors : kDeliveryDescriptors + (batch->destinationFolder ? 0 : 1);
    static_assert(kDeliveryDescriptors + 1 <= WorkLedger::kDescriptorsKeptForMoves &&
                  FileTransferConflictResolver::kMoveDescriptors <= WorkLedger::kDescriptorsKeptForMoves);
    // Nothing is taken unless all of it fits, the staging folder counted
    // with the room: a copy that took one and gave it back for want of the
    // other would wake the next such copy, which would do the same.
    const auto& ledger = batch->ledger;
    const bool stagingFits = !asks || !ledger || ledger->descriptorsWouldFit(1);
    const size_t withStaging = moves + (asks ? 1 : 0);
    std::optional<WorkLedger::Holding> askingStaging;
    std::shared_ptr<WorkLedger::Reserve> reserve;
    if (stagingFits && (!ledger || ledger->descriptorsWouldFit(withStaging, true))) {
        if (asks) askingStaging = WorkLedger::Holding::take(ledger, WorkLedger::Held::descriptors);
        if (!asks || askingStaging) reserve = WorkLedger::Reserve::take(ledger, moves);
        if (!reserve) askingStaging.reset();
    }
    if (!reserve) {
        // Waits for what it found none of: the staging folder, or the room.
        const bool forMoves = stagingFits;
        const size_t needed = forMoves ? withStaging : 1;
        auto owner = std::make_shared<const bool>(true);
        batch->waitingForDescriptors = owner;
        std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
        batch->ledger->whenDescriptorsGivenBack(
            needed,
            [weak, batchID, serial = batch->serial] {
                DispatchQueue::main().async([weak, batchID, serial] {
                    auto self = weak.lock();
                    if (!self) return;
                    auto* waiting = self->fileDelivery.inboundBatch(batchID, serial);
                    if (!waiting) return;
                    waiting->waitingForDescriptors.reset();
                    self->tryDeliverFileBatch(batchID);
                });
            },
            owner, forMoves);
        return;
    }
    const fs::path folder = *batch->destination;
    // The delivery holds the staged items from here, and lets them go
    // when it ends.
    auto staged = std::make_shared<StagedBatchItems>(std::move(*batch->staged));
    const std::vector<fs::path> items = staged->items();
    // A Viewer-named folder was opened when it was checked; one the user
    // picked is opened now, off the main queue.
    std::shared_ptr<platform::ConfinedFolder> opened = std::move(batch->destinationFolder);
    const FileTransferDeliveryOptions options = batch->deliveryOptions;
    const FileTransferDeliveryResult unsaved = std::move(batch->unsavedOnArrival);
    if (d.latestInboundFileBatchID == batchID) d.latestInboundFileBatchID.reset();

    std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
    const uint64_t serial = batch->serial;
    auto stop = std::make_shared<std::atomic<bool>>(false);
    batch->deliveryStop = stop;
    // What the engine refused at the door or could not receive whole
    // counts, named, as failed too. A stop that came after the last item
    // had its turn changed nothing: only a delivery that ended early
    // reports itself stopped.
    auto finish = [weak, batchID, serial, staged, items, folder, unsaved](FileTransferDeliveryResult result) {
        auto self = weak.lock();
        const bool stopped = result.stoppedByUser;
        if (stopped) {
            // Stopped: what was saved stays, the items not moved go.
            result.failedItemCount = 0;
        } else {
            result.noteFailuresOf(unsaved);
        }
        // What was not delivered (stopped, or failed: a full disk, a
        // refused folder) goes with its batch, and the batch's staging
        // folder last; a moved item is no longer there to remove.
        staged->reset();
        if (self) self->finishFileDelivery(batchID, serial, items.size(), folder, result);
    };
    if (!options.contains(FileTransferDeliveryOptions::promptForConflicts)) {
        // Moves may copy across file systems: off the main queue, which
        // only hears the outcome.
        DispatchQueue::global(platform::QualityOfService::utility).async([weak, items, folder, opened, finish, stop,
                                                                          ledger = batch->ledger, reserve] {
            auto self = weak.lock();
            if (!self) return;
            // The peer's work, though the Host's user may have picked the
            // folder: what the moves open is on its account, drawn from the
            // room taken for them.
            const platform::WorkLedger::Charged charged(ledger);
            const WorkLedger::Reserve::Use drawing(reserve);
            FileTransferDeliveryResult result;
            // The staging folder its items are moved from is on the peer's
            // account while they are; without room for it nothing moves, as
            // when it cannot be opened.
            const auto staging = platform::WorkLedger::Holding::take(ledger, platform::WorkLedger::Held::descriptors);
            auto target = !staging ? nullptr : opened ? opened : openChosenFolder(folder, ledger);
            if (target) {
                result = moveNumbered(
                    items, *target,
                    [&self](const fs::path& name, const fs::path& candidate, const std::string& error) {
                        self->log(deliveryFailureLine(name, candidate, error));
                    },
                    stop);
            } else {
                for (const auto& item : items) result.noteFailed(item.filename().string());
            }
            // The delegate is let go on the main queue, never here.
            DispatchQueue::main().async([finish, result, self = std::move(self)] { finish(result); });
        });
        return;
    }
    // A delivery that asks keeps its items' staging folder open for as long
    // as it runs, questions included: taken above, given back with the
    // delivery. The room for moves is the resolver's.
    auto heldWhileAsking = std::make_shared<WorkLedger::Holding>(std::move(*askingStaging));
    auto finishAsking = [finish, heldWhileAsking](FileTransferDeliveryResult result) {
        finish(std::move(result));
        heldWhileAsking->reset();
    };
    auto parent = FileTransferCenter::shared().foregroundPresentationWindow();
    if (!parent) parent = summary.summaryWindow;
    const bool backup = options.contains(FileTransferDeliveryOptions::backupBeforeOverwrite);
    auto shouldStop = [stop] { return stop->load(); };
    // The resolver works on the account current as it begins, the peer's,
    // and on the room taken for it.
    const WorkLedger::Charged charged(batch->ledger);
    const WorkLedger::Reserve::Use drawing(reserve);
    auto endQuestion =
        opened ? FileTransferConflictResolver::deliver(items, std::move(opened), parent, true, backup, finishAsking,
                                                       shouldStop)
               : FileTransferConflictResolver::deliver(items, folder, parent, true, backup, finishAsking, shouldStop);
    if (auto* delivering = d.inboundBatch(batchID, serial)) delivering->endDeliveryQuestion = std::move(endQuestion);
}

bool HostProbeDelegate::stopInboundDelivery(const UUID& batchID) {
    assertMainQueue();
    auto* batch = fileDelivery.inboundBatch(batchID);
    if (!batch || !batch->deliveryStop) return false;
    batch->deliveryStop->store(true);
    // A question left open would hold the delivery, its folder and its
    // staged items until someone answers it.
    if (auto endQuestion = batch->endDeliveryQuestion) endQuestion();
    auto& rows = FileTransferCenter::shared().rows;
    if (auto row = rows.find(batchID); row != rows.end()) row->second->cancelEndsRow = false;
    return true;
}

std::vector<fs::path> HostProbeDelegate::moveStagedFiles(const std::vector<fs::path>& items,
                                                         const platform::ConfinedFolder& folder,
                                                         const std::shared_ptr<std::atomic<bool>>& stop) {
    return moveNumbered(
               items, folder,
               [this](const fs::path& name, const fs::path& candidate, const std::string& error) {
                   log(deliveryFailureLine(name, candidate, error));
               },
               stop)
        .deliveredURLs;
}

std::vector<fs::path> HostProbeDelegate::moveFilesOffMain(const std::vector<fs::path>& urls, const fs::path& folder,
                                                          const std::shared_ptr<platform::WorkLedger>& ledger) {
    // As a delivery's: the staging folder the items are moved from, and the
    // folder they go to.
    const auto staging = platform::WorkLedger::Holding::take(ledger, platform::WorkLedger::Held::descriptors);
    if (!staging) return {};
    auto opened = openChosenFolder(folder, ledger);
    return opened ? moveNumbered(urls, *opened, nullptr).deliveredURLs : std::vector<fs::path>{};
}

void HostProbeDelegate::finishFileDelivery(const UUID& batchID, uint64_t serial, size_t requestedCount,
                                           const fs::path& folder, const FileTransferDeliveryResult& result) {
    assertMainQueue();
    const size_t saved = result.deliveredURLs.size();
    const size_t failed = result.failedItemCount;
    log("files: saved " + std::to_string(saved) + "/" + std::to_string(requestedCount) + " item(s) to " +
        folder.string());
    auto& center = FileTransferCenter::shared();
    if (result.stoppedByUser) {
        center.failTask(batchID, VelantrixL10n::format("fileTransfer.center.stopped", "Stopped after saving %d item(s)", saved));
    } else if (failed > 0) {
        std::string text =
            VelantrixL10n::format("fileTransfer.center.partialSave", "Saved %d item(s); %d could not be saved", saved, failed);
        if (result.leftAtTarget > 0)
            text += VelantrixL10n::format("fileTransfer.center.leftAtTarget", "; %d item(s) of them remain in the folder",
                                          result.leftAtTarget);
        center.failTask(batchID, text);
    } else {
        center.completeTask(batchID,
                            VelantrixL10n::format("fileTransfer.center.savedTo", "Saved %d item(s) to %@", saved,
                                                  folder.filename().string()),
                            1.5);
    }
    // A start under the same ID since is another batch, with a receipt of its own.
    auto* batch = fileDelivery.inboundBatch(batchID, serial);
    if (batch && batch->owesReceipt()) {
        if (result.stoppedByUser) {
            sendManagedCopyDeliveryResponse(
                batchID, false, VelantrixL10n::format("fileTransfer.stoppedDetail", "Stopped after saving %d item(s).", saved));
        } else if (failed > 0) {
            sendManagedCopyDeliveryResponse(batchID, false, partialSaveDetail(result));
        } else {
            sendManagedCopyDeliveryResponse(batchID, true, std::nullopt);
        }
    }
    // Saved and answered for: another session may use its ID now.
    if (batch) forgetInboundBatch(batchID);
    if (saved > 0) platform::WorkspaceFileViewer::activateFileViewerSelecting(result.deliveredURLs);
}

void HostProbeDelegate::sendManagedCopyDeliveryResponse(const UUID& batchID, bool accepted,
                                                        const std::optional<std::string>& message) {
    assertMainQueue();
    // Only managed copies get a receipt, only one, and only the session
    // that named the destination hears it.
    auto* batch = fileDelivery.inboundBatch(batchID);
    if (!batch || !batch->owesReceipt()) return;
    batch->managed = false;
    components.fileTransferService->sendPeerSendResponse(batchID, accepted, message, batch->session);
}
