// The execute button: decide whether a copy can start now, gather the ticked
// items and the destination, ask for access to an ungranted folder of this
// device, and hand the batch to the owner. Also finding and re-listing the
// destination folder once a batch has succeeded.

#include "Platform/Runtime/Dispatch.h"
#include "Platform/Files/FileSystemAccess.h"
#include "Platform/Files/Folders.h"
#include "VelantrixProfiles/FileTransferWindow/FileTransferWindowController.h"
#include "VelantrixProfiles/Localization/VelantrixL10n.h"

using platform::Folders;

void FileTransferWindowController::executeTransfer() {
    if (demoMode_) {
        presentDemoListingAlert();
        return;
    }
    const bool sending = direction_ == TransferPanelDirection::sendToHost;
    const auto items = sourceTransferItems();
    if (items.empty()) return;
    const auto destination = currentDestinationPath();
    if (!destination || !selectedPeerID_) return;

    if (!sending) {
        const std::string folder = platform::standardizedPath(Folders::expandingTildeInPath(*destination));
        if (!isFolderAuthorized(folder)) {
            std::weak_ptr<FileTransferWindowController> weakSelf = weak_from_this();
            presentFolderAuthorizationConfirmation(folder, [weakSelf, folder](bool allowed) {
                auto self = weakSelf.lock();
                if (!allowed || !self) return;
                self->addLocalBookmark(folder);
                // Once the panel is gone and the roots rebuilt, the whole
                // sequence runs again on what the window shows then; a
                // transfer begun while the question was up stays the one
                // the window follows and its Cancel keeps working.
                platform::DispatchQueue::main().async([weakSelf] {
                    auto again = weakSelf.lock();
                    if (again && !again->activeTransferBatchID_) again->executeTransfer();
                });
            });
            return;
        }
        std::vector<std::string> paths;
        for (const auto& item : items) paths.push_back(item->path);
        requestReceiveTransfer(paths, *destination);
        return;
    }
    std::vector<std::filesystem::path> urls;
    for (const auto& item : items) urls.emplace_back(Folders::expandingTildeInPath(item->path));
    performTransfer(urls, *destination, *selectedPeerID_);
}

FileTransferDeliveryOptions FileTransferWindowController::transferDeliveryOptions() const {
    auto options = FileTransferDeliveryOptions::promptForConflicts;
    if (backupEnabled_) options.insert(FileTransferDeliveryOptions::backupBeforeOverwrite);
    return options;
}

void FileTransferWindowController::performTransfer(const std::vector<std::filesystem::path>& urls,
                                                   const std::string& targetDir, const std::string& peerID) {
    const auto batchID = deps_.sendFiles ? deps_.sendFiles(urls, FileTransferIntent::managedCopy, targetDir, peerID,
                                                           transferDeliveryOptions())
                                         : std::nullopt;
    if (!batchID) {
        setText(views_.transferStatusLabel,
                VelantrixL10n::text("fileTransfer.couldNotStart", "The transfer could not be started."));
        return;
    }
    beginTransfer(*batchID, static_cast<int64_t>(urls.size()), TransferPanelDirection::sendToHost, targetDir);
}

void FileTransferWindowController::requestReceiveTransfer(const std::vector<std::string>& paths,
                                                          const std::string& targetDir) {
    // Routing the request to the selected Host is the owner's part.
    const auto batchID =
        deps_.requestPeerSend ? deps_.requestPeerSend(paths, targetDir, transferDeliveryOptions()) : std::nullopt;
    if (!batchID) {
        setText(views_.transferStatusLabel,
                VelantrixL10n::text("fileTransfer.couldNotStart", "The transfer could not be started."));
        return;
    }
    beginTransfer(*batchID, static_cast<int64_t>(paths.size()), TransferPanelDirection::receiveFromHost, targetDir);
}

FileTransferNodePtr FileTransferWindowController::destinationNode(const NodeList& roots, const std::string& path) {
    const std::string expanded = Folders::expandingTildeInPath(path);
    for (const auto& node : roots) {
        const bool matches = node->path == path || Folders::expandingTildeInPath(node->path) == expanded;
        if (matches && node->isContainer()) return node;
        if (node->children)
            if (auto found = destinationNode(*node->children, path)) return found;
    }
    return nullptr;
}

void FileTransferWindowController::refreshDestinationAfterSuccessfulTransfer(TransferPanelDirection direction,
                                                                            const std::optional<std::string>& targetPath,
                                                                            const FileTransferNodePtr& targetNode) {
    if (!targetPath) return;
    if (direction == TransferPanelDirection::sendToHost) {
        auto node = targetNode ? targetNode : destinationNode(remoteRoots_, *targetPath);
        if (!node) return;
        reloadRemoteChildren(node);
        if (views_.rightOutlineView) views_.rightOutlineView->expandItem(node);
        return;
    }
    auto node = targetNode ? targetNode : destinationNode(localRoots_, *targetPath);
    if (!node) return;
    node->children.reset();
    loadLocalChildren(node);
    if (auto& outline = views_.leftOutlineView) {
        outline->reloadItem(node, true);
        outline->expandItem(node);
    }
}
