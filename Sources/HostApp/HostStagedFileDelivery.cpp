// Bringing a received batch's staged items into the folder chosen for it,
// telling the user in the progress window and, for a managed copy, sending
// the asking Viewer its receipt. Main queue.

#include "HostApp/HostProbeDelegate.h"
#include "Platform/FileMoves.h"
#include "Platform/WorkspaceFileViewer.h"
#include "VelantrixProfiles/FileTransfer/FileTransferCenter.h"
#include "VelantrixProfiles/Localization/VelantrixL10n.h"

using platform::UUID;
namespace fs = std::filesystem;

void HostProbeDelegate::tryDeliverFileBatch(const UUID& batchID) {
    assertMainQueue();
    auto& d = fileDelivery;
    auto destination = d.pendingFileDestinations.find(batchID);
    auto staged = d.pendingFileURLs.find(batchID);
    if (destination == d.pendingFileDestinations.end() || staged == d.pendingFileURLs.end()) return;
    const fs::path folder = destination->second;
    const std::vector<fs::path> items = std::move(staged->second);
    d.pendingFileDestinations.erase(destination);
    d.pendingFileURLs.erase(staged);
    d.pendingFileDeliveryOptions.erase(batchID);
    size_t unreceived = 0;
    if (auto failed = d.unreceivedFileCounts.find(batchID); failed != d.unreceivedFileCounts.end()) {
        unreceived = failed->second;
        d.unreceivedFileCounts.erase(failed);
    }
    if (d.latestInboundFileBatchID == batchID) d.latestInboundFileBatchID.reset();

    std::error_code ignored;
    FileTransferDeliveryResult result;
    result.deliveredURLs = moveStagedFiles(items, folder);
    result.failedItemCount = items.size() - result.deliveredURLs.size() + unreceived;
    // The batch's staging folder goes once delivery leaves it empty; what
    // failed stays staged until the next start.
    if (!items.empty()) fs::remove(items.front().parent_path(), ignored);
    finishFileDelivery(batchID, items.size(), folder, result);
}

std::vector<fs::path> HostProbeDelegate::moveStagedFiles(const std::vector<fs::path>& items, const fs::path& folder) {
    std::error_code ignored;
    fs::create_directories(folder, ignored);
    std::vector<fs::path> delivered;
    for (const auto& item : items) {
        const fs::path name = item.filename();
        using platform::FileMoves;
        fs::path candidate = folder / name;
        FileMoves::NameUse use = FileMoves::nameUse(candidate);
        for (int n = 1; use == FileMoves::NameUse::taken && n <= FileMoves::maxNameVariants; n++) {
            const std::string ext = name.extension().string();
            candidate = folder / (name.stem().string() + " " + std::to_string(n) + ext);
            use = FileMoves::nameUse(candidate);
        }
        if (use != FileMoves::NameUse::free) {
            log("files: skipped " + name.string() + ": no usable name in " + folder.string());
            continue;
        }
        if (auto moved = platform::FileMoves::moveNoReplace(item, candidate); !moved) {
            log("files: failed to deliver " + name.string() + " -> " + candidate.string() + ": " + moved.error());
            continue;
        }
        delivered.push_back(candidate);
    }
    return delivered;
}

void HostProbeDelegate::finishFileDelivery(const UUID& batchID, size_t requestedCount, const fs::path& folder,
                                           const FileTransferDeliveryResult& result) {
    assertMainQueue();
    const size_t saved = result.deliveredURLs.size();
    const size_t failed = result.failedItemCount;
    log("files: saved " + std::to_string(saved) + "/" + std::to_string(requestedCount) + " item(s) to " +
        folder.string());
    auto& center = FileTransferCenter::shared();
    if (result.stoppedByUser) {
        center.failTask(batchID, VelantrixL10n::format("fileTransfer.center.stopped", "Stopped after saving %d item(s)", saved));
    } else if (failed > 0) {
        center.failTask(batchID, VelantrixL10n::format("fileTransfer.center.partialSave",
                                                       "Saved %d item(s); %d could not be saved", saved, failed));
    } else {
        center.completeTask(batchID,
                            VelantrixL10n::format("fileTransfer.center.savedTo", "Saved %d item(s) to %@", saved,
                                                  folder.filename().string()),
                            1.5);
    }
    if (fileDelivery.managedCopyInboundBatchIDs.contains(batchID)) {
        if (result.stoppedByUser) {
            sendManagedCopyDeliveryResponse(
                batchID, false, VelantrixL10n::format("fileTransfer.stoppedDetail", "Stopped after saving %d item(s).", saved));
        } else if (failed > 0) {
            sendManagedCopyDeliveryResponse(batchID, false,
                                            VelantrixL10n::format("fileTransfer.partialSaveDetail",
                                                                  "Saved %d item(s); %d could not be saved.", saved, failed));
        } else {
            sendManagedCopyDeliveryResponse(batchID, true, std::nullopt);
        }
    } else {
        fileDelivery.inboundFileTransferRoutingTokens.erase(batchID);
    }
    if (saved > 0) platform::WorkspaceFileViewer::activateFileViewerSelecting(result.deliveredURLs);
}

void HostProbeDelegate::sendManagedCopyDeliveryResponse(const UUID& batchID, bool accepted,
                                                        const std::optional<std::string>& message) {
    assertMainQueue();
    auto& d = fileDelivery;
    const bool managed = d.managedCopyInboundBatchIDs.erase(batchID) > 0;
    auto token = d.inboundFileTransferRoutingTokens.find(batchID);
    if (token == d.inboundFileTransferRoutingTokens.end()) return;
    const std::string routingToken = token->second;
    d.inboundFileTransferRoutingTokens.erase(token);
    // Only managed copies get a receipt, and only the session that named
    // the destination hears it.
    if (!managed) return;
    components.fileTransferService->sendPeerSendResponse(batchID, accepted, message, routingToken);
}
