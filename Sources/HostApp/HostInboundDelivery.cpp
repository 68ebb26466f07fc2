// Delivery of files the Viewers send. The packet hook sees every
// file-transfer packet of a Viewer session before the service does: it
// remembers which session named a batch's destination, and serves
// peer-send requests (a Viewer asking for files from the Host user's home
// folder) itself.

#include <unistd.h>

#include <algorithm>
#include <set>
#include <system_error>

#include "HostApp/HostProbeDelegate.h"
#include "Platform/Dispatch.h"
#include "Platform/Folders.h"
#include "Platform/SimulatedMachine.h"
#include "Platform/UnicodeText.h"
#include "VelantrixProfiles/FileTransfer/FileTransferCenter.h"
#include "VelantrixProfiles/Localization/VelantrixL10n.h"

using platform::DispatchQueue;
using platform::UUID;
namespace fs = std::filesystem;

namespace {
// Tilde expanded, then ".", ".." and repeated separators removed without
// touching the disk; a relative path is taken from "/".
fs::path standardizedPath(const std::string& path) {
    fs::path expanded = platform::Folders::expandingTildeInPath(path);
    if (expanded.is_relative()) expanded = fs::path("/") / expanded;
    auto normal = expanded.lexically_normal();
    if (normal.has_relative_path() && !normal.has_filename()) normal = normal.parent_path();
    return normal;
}

// The path with every link resolved, or nothing when nothing is there.
std::optional<fs::path> resolvedExistingPath(const fs::path& path) {
    std::error_code error;
    auto real = fs::canonical(path, error);
    if (error) return std::nullopt;
    return real;
}
}  // namespace

void HostProbeDelegate::handleIncomingFileTransferPacket(FileTransferPacket packet, const UUID& viewerSession) {
    std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
    const UUID batchID = packet.batchID;
    switch (packet.op) {
        case FileTransferOp::directSave:
            // The service starts the batch only after this packet and
            // queues its start to the main queue behind this hop, so the
            // token is in place before the batch's decision.
            DispatchQueue::main().async([weak, batchID, token = viewerSession.uuidString()] {
                if (auto self = weak.lock()) self->noteInboundRoutingToken(batchID, token);
            });
            break;
        case FileTransferOp::cancelBatch:
            DispatchQueue::main().async([weak, batchID] {
                auto self = weak.lock();
                if (!self) return;
                self->fileDelivery.inboundFileTransferRoutingTokens.erase(batchID);
                self->fileDelivery.managedCopyInboundBatchIDs.erase(batchID);
            });
            break;
        case FileTransferOp::peerSendRequest:
            servePeerSendRequest(packet, viewerSession);
            return;
        default:
            break;
    }
    components.fileTransferService->handleIncomingPacket(std::move(packet), viewerSession.uuidString());
}

void HostProbeDelegate::noteInboundRoutingToken(const UUID& batchID, const std::string& token) {
    auto& d = fileDelivery;
    auto& order = d.inboundRoutingTokenOrder;
    if (d.inboundFileTransferRoutingTokens.insert_or_assign(batchID, token).second) order.push_back(batchID);
    // Tokens of batches that never started go first, oldest first; those
    // of started batches leave with their batch.
    for (auto it = order.begin(); order.size() > FileTransferService::maxPendingDestinations && it != order.end();) {
        if (!d.inboundFileTransferRoutingTokens.contains(*it)) {
            it = order.erase(it);
        } else if (FileTransferCenter::shared().rows.contains(*it)) {
            ++it;
        } else {
            d.inboundFileTransferRoutingTokens.erase(*it);
            it = order.erase(it);
        }
    }
}

std::optional<ViewerPathConfinement> HostProbeDelegate::viewerPathConfinement() const {
    auto server = audioServer();
    const std::string console = server ? server->currentConsoleSessionState().username
                                       : platform::SimulatedMachine::current().consoleSession().userName;
    return ViewerPathConfinement::forConsoleUser(console);
}

void HostProbeDelegate::handleInboundBatchAbandoned(const UUID& batchID) {
    assertMainQueue();
    forgetInboundBatch(batchID);
    fileDelivery.inboundFileTransferRoutingTokens.erase(batchID);
    fileDelivery.managedCopyInboundBatchIDs.erase(batchID);
    FileTransferCenter::shared().failTask(batchID, VelantrixL10n::text("fileTransfer.cancelled", "Cancelled"));
}

void HostProbeDelegate::servePeerSendRequest(const FileTransferPacket& packet, const UUID& viewerSession) {
    auto& service = *components.fileTransferService;
    const std::string token = viewerSession.uuidString();
    auto refuse = [&](const std::string& logLine, const std::string& message) {
        log(logLine);
        service.sendPeerSendResponse(packet.batchID, false, message, token);
    };

    auto request = FileTransferService::peerSendRequest(packet);
    if (!request) {
        refuse("files: rejected malformed peer send request", "The Host could not read the requested transfer.");
        return;
    }
    const auto confinement = viewerPathConfinement();
    const fs::path homeFolder =
        confinement ? confinement->home() : standardizedPath(platform::Folders::home().string());
    const std::string home = resolvedExistingPath(homeFolder).value_or(homeFolder).string();

    std::vector<fs::path> kept;
    std::set<std::string> seen;
    // A request names at most as many paths as a sender may put in one;
    // the rest are not examined.
    const size_t examined = std::min(request->sourcePaths.size(), FileTransferService::maxPeerSendPaths);
    for (size_t i = 0; i < examined; i++) {
        auto candidate = resolvedExistingPath(standardizedPath(request->sourcePaths[i]));
        if (!candidate) continue;
        const std::string path = candidate->string();
        if (home.empty() || !platform::Folders::contains(home, *candidate)) continue;
        if (::access(path.c_str(), R_OK) != 0) continue;
        if (!seen.insert(path).second) continue;
        kept.push_back(*candidate);
    }
    if (kept.empty()) {
        refuse("files: rejected peer send request with no readable Home paths",
               "The requested files are no longer available on the Host.");
        return;
    }
    log("files: requested send of " + std::to_string(kept.size()) + " item(s) to Viewer session " + token.substr(0, 8));
    auto queued = service.sendURLs(kept, FileTransferIntent::managedCopy, request->destination,
                                   request->deliveryOptions(), token, packet.batchID);
    if (!queued) {
        refuse("files: could not queue peer send request", "The Host could not prepare the requested transfer.");
        return;
    }
    service.sendPeerSendResponse(packet.batchID, true, std::nullopt, token);
}

void HostProbeDelegate::handleFileTransferSessionEnded(const UUID& viewerSession) {
    assertMainQueue();
    // Every uncompleted inbound batch of the session, whether it named a
    // destination or not, goes with it.
    components.fileTransferService->sessionEnded(viewerSession.uuidString());
    const std::string token = viewerSession.uuidString();
    std::vector<UUID> abandoned;
    for (const auto& [batchID, owner] : fileDelivery.inboundFileTransferRoutingTokens)
        if (owner == token && !fileDelivery.pendingFileURLs.contains(batchID)) abandoned.push_back(batchID);
    for (const auto& batchID : abandoned) {
        // Items already moving stop before the next one; what was saved
        // stays and the delivery's end says so.
        if (stopInboundDelivery(batchID)) {
            log("files: stopped delivery of batch " + batchID.id8() + " of ended Viewer session " +
                viewerSession.id8());
            continue;
        }
        // Nobody is left to receive a receipt or to be told to stop.
        components.fileTransferService->cancelBatch(batchID);
        forgetInboundBatch(batchID);
        fileDelivery.inboundFileTransferRoutingTokens.erase(batchID);
        fileDelivery.managedCopyInboundBatchIDs.erase(batchID);
        FileTransferCenter::shared().failTask(batchID, VelantrixL10n::text("fileTransfer.cancelled", "Cancelled"));
        log("files: cancelled batch " + batchID.id8() + " of ended Viewer session " + viewerSession.id8());
    }
}

namespace {
// Staged items and, once empty, the batch's staging folder; on a utility
// queue, as a large tree takes long to remove.
void removeStaged(const std::vector<fs::path>& items) {
    DispatchQueue::global(platform::QualityOfService::utility).async([items] {
        std::error_code ignored;
        for (const auto& item : items) fs::remove_all(item, ignored);
        if (!items.empty()) fs::remove(items.front().parent_path(), ignored);
    });
}
}  // namespace

void HostProbeDelegate::forgetInboundBatch(const UUID& batchID) {
    auto& abandoned = fileDelivery.abandonedInboundBatchIDs;
    if (auto staged = fileDelivery.pendingFileURLs.find(batchID); staged != fileDelivery.pendingFileURLs.end()) {
        removeStaged(staged->second);
    } else if (std::find(abandoned.begin(), abandoned.end(), batchID) == abandoned.end()) {
        abandoned.push_back(batchID);
        if (abandoned.size() > HostFileDeliveryState::maxAbandonedBatches) abandoned.pop_front();
    }
    fileDelivery.pendingFileDestinations.erase(batchID);
    fileDelivery.pendingFileURLs.erase(batchID);
    fileDelivery.dropStartedInboundBatches.erase(batchID);
    fileDelivery.batchesAwaitingSaveLocation.erase(batchID);
    fileDelivery.pendingFileDeliveryOptions.erase(batchID);
    fileDelivery.unreceivedFileCounts.erase(batchID);
    if (fileDelivery.latestInboundFileBatchID == batchID) fileDelivery.latestInboundFileBatchID.reset();
}

std::optional<fs::path> HostProbeDelegate::resolveDestinationHint(const std::string& hint) {
    const std::string trimmed(platform::UnicodeText::trimmingWhitespace(hint));
    if (trimmed.empty()) return std::nullopt;
    const fs::path folder = standardizedPath(trimmed);
    std::error_code error;
    const auto status = fs::status(folder, error);
    if (fs::exists(status)) {
        if (fs::is_directory(status)) return folder;
        return std::nullopt;
    }
    // A dangling link is something: creating through it would land elsewhere.
    if (fs::is_symlink(fs::symlink_status(folder, error))) return std::nullopt;
    fs::create_directories(folder, error);
    if (error) return std::nullopt;
    return folder;
}

void HostProbeDelegate::handleInboundBatchStarted(const UUID& batchID, int64_t fileCount, uint64_t totalBytes,
                                                  const std::vector<std::string>& itemNames,
                                                  const FileTransferBatchStartInfo& start) {
    assertMainQueue();
    // Decided from what the engine knew when the batch started: a small
    // batch may already have ended, and the engine forgotten it, by now.
    auto& center = FileTransferCenter::shared();
    auto& d = fileDelivery;
    d.latestInboundFileBatchID = batchID;
    std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
    center.addTask({batchID, FileTransferDirection::incoming, "Viewer", fileCount, totalBytes, itemNames},
                   [weak, batchID] {
                       auto self = weak.lock();
                       if (!self) return;
                       // Saved items are never reported "Cancelled".
                       if (self->stopInboundDelivery(batchID)) return;
                       self->sendManagedCopyDeliveryResponse(batchID, false,
                                                             VelantrixL10n::text("fileTransfer.cancelled", "Cancelled"));
                       self->components.fileTransferService->cancelBatch(batchID);
                       self->components.fileTransferService->notifyPeerCancel(batchID);
                       self->forgetInboundBatch(batchID);
                   });
    if (start.intent == FileTransferIntent::dropToFinder) {
        // A later batchIntent may still turn it into a copy.
        d.dropStartedInboundBatches[batchID] = start;
        center.setSubtitle(batchID, VelantrixL10n::text("fileTransfer.center.droppingToFinder", "Dropping into Finder\u2026"));
        return;
    }
    decideInboundDestination(batchID, start);
}

void HostProbeDelegate::decideInboundDestination(const UUID& batchID, const FileTransferBatchStartInfo& start) {
    assertMainQueue();
    auto& center = FileTransferCenter::shared();
    auto& d = fileDelivery;
    std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
    const bool managed = start.intent == FileTransferIntent::managedCopy;
    if (managed) {
        d.pendingFileDeliveryOptions[batchID] = start.deliveryOptions;
        d.managedCopyInboundBatchIDs.insert(batchID);
    }
    std::optional<fs::path> folder;
    if (start.destinationHint) {
        // Checked before anything is made: a Viewer acts with the console
        // user's rights, not the Host process's.
        const auto confinement = viewerPathConfinement();
        const std::string trimmed(platform::UnicodeText::trimmingWhitespace(*start.destinationHint));
        if (confinement && !confinement->allows(standardizedPath(trimmed))) {
            log("files: refused destination outside the console user's home for batch " + batchID.id8());
        } else {
            folder = resolveDestinationHint(*start.destinationHint);
        }
    }
    if (folder) {
        d.pendingFileDestinations[batchID] = *folder;
        center.setSubtitle(batchID, VelantrixL10n::format("fileTransfer.center.savingTo", "Saving to %@\u2026",
                                                          folder->filename().string()));
        tryDeliverFileBatch(batchID);
        return;
    }
    if (managed) {
        const std::string refusal =
            VelantrixL10n::text("fileTransfer.center.destUnavailable", "The destination folder is not available on this device.");
        sendManagedCopyDeliveryResponse(batchID, false, refusal);
        components.fileTransferService->cancelBatch(batchID);
        components.fileTransferService->notifyPeerCancel(batchID);
        forgetInboundBatch(batchID);
        center.failTask(batchID, refusal);
        return;
    }
    const auto waiting = std::count_if(d.batchesAwaitingSaveLocation.begin(), d.batchesAwaitingSaveLocation.end(),
                                       [&](const auto& entry) { return entry.second == start.session; });
    if (static_cast<size_t>(waiting) >= HostFileDeliveryState::maxBatchesAwaitingSaveLocationPerViewer) {
        const std::string refusal = VelantrixL10n::text(
            "fileTransfer.center.tooManyAwaitingSaveLocation",
            "Too many received batches from this Viewer are waiting for a save location.");
        log("files: refused batch " + batchID.id8() + ": too many batches of its Viewer wait for a save location");
        if (!start.session.empty())
            components.fileTransferService->sendPeerSendResponse(batchID, false, refusal, start.session);
        components.fileTransferService->cancelBatch(batchID);
        components.fileTransferService->notifyPeerCancel(batchID);
        forgetInboundBatch(batchID);
        center.failTask(batchID, refusal);
        return;
    }
    d.batchesAwaitingSaveLocation[batchID] = start.session;
    center.orderFront();
    center.pickSaveLocation(
        batchID, std::nullopt,
        [weak, batchID](const fs::path& folder) {
            if (auto self = weak.lock()) self->saveLocationPicked(batchID, folder);
        },
        [weak, batchID] {
            if (auto self = weak.lock()) self->saveLocationCancelled(batchID);
        });
}

void HostProbeDelegate::saveLocationPicked(const UUID& batchID, const fs::path& folder) {
    assertMainQueue();
    // The row was cancelled while the panel was up: the batch is gone.
    fileDelivery.batchesAwaitingSaveLocation.erase(batchID);
    auto& rows = FileTransferCenter::shared().rows;
    if (auto row = rows.find(batchID); row == rows.end() || row->second->finished) return;
    fileDelivery.pendingFileDestinations[batchID] = folder;
    FileTransferCenter::shared().setSubtitle(
        batchID, VelantrixL10n::format("fileTransfer.center.savingTo", "Saving to %@\u2026", folder.filename().string()));
    tryDeliverFileBatch(batchID);
}

void HostProbeDelegate::saveLocationCancelled(const UUID& batchID) {
    assertMainQueue();
    components.fileTransferService->cancelBatch(batchID);
    components.fileTransferService->notifyPeerCancel(batchID);
    // Whether or not the batch had completed, nothing of it stays staged.
    forgetInboundBatch(batchID);
    FileTransferCenter::shared().completeTask(
        batchID, VelantrixL10n::text("fileTransfer.center.cancelledNoDest", "Cancelled \u2014 no save location chosen"),
        1.0);
}

void HostProbeDelegate::removeEarlierInboxFolders() {
    // Listed now, before this run stages anything; removed off the main
    // queue, as a tree of any size may be left.
    const fs::path inbox = components.fileTransferService->stagingRoot();
    std::vector<fs::path> earlier;
    std::error_code error;
    for (auto it = fs::directory_iterator(inbox, error); !error && it != fs::directory_iterator(); it.increment(error))
        earlier.push_back(it->path());
    if (earlier.empty()) return;
    log("files: removing " + std::to_string(earlier.size()) + " staging folder(s) of an earlier run");
    DispatchQueue::global(platform::QualityOfService::utility).async([earlier = std::move(earlier)] {
        std::error_code ignored;
        for (const auto& folder : earlier) fs::remove_all(folder, ignored);
    });
}

void HostProbeDelegate::handleInboundBatchCompleted(const UUID& batchID, const std::vector<fs::path>& staged,
                                                    FileTransferIntent intent, size_t failedFiles) {
    assertMainQueue();
    auto& abandoned = fileDelivery.abandonedInboundBatchIDs;
    if (auto it = std::find(abandoned.begin(), abandoned.end(), batchID); it != abandoned.end()) {
        abandoned.erase(it);
        removeStaged(staged);
        return;
    }
    // Decided from the intent in force now, not the one it began with.
    auto dropStarted = fileDelivery.dropStartedInboundBatches.extract(batchID);
    if (intent == FileTransferIntent::dropToFinder) {
        const fs::path folder = frontFinderWindowPath().value_or(defaultDropDestination());
        deliverDroppedFiles(staged, folder, batchID);
        return;
    }
    fileDelivery.pendingFileURLs[batchID] = staged;
    if (failedFiles > 0) fileDelivery.unreceivedFileCounts[batchID] = failedFiles;
    if (dropStarted) {
        auto start = dropStarted.mapped();
        start.intent = intent;
        decideInboundDestination(batchID, start);
        return;
    }
    tryDeliverFileBatch(batchID);
}
