// The Host tree's four fixed roots, and the entry points of browsing and
// transfers that the window's controls are wired to. Listing folders,
// granting folder access and running transfers come later; until then
// those entry points do nothing.

#include "VelantrixProfiles/FileTransferWindow/FileTransferWindowController.h"
#include "VelantrixProfiles/Localization/VelantrixL10n.h"

void FileTransferWindowController::loadRemoteRoots() {
    if (!selectedPeerID_) return;
    static constexpr struct {
        const char* key;
        const char* name;
        const char* path;
    } kRoots[] = {{"fileTransfer.home", "Home", "~"},
                  {"fileTransfer.desktop", "Desktop", "~/Desktop"},
                  {"fileTransfer.documents", "Documents", "~/Documents"},
                  {"fileTransfer.downloads", "Downloads", "~/Downloads"}};
    remoteRoots_.clear();
    for (const auto& root : kRoots)
        remoteRoots_.push_back(std::make_shared<FileTransferNode>(VelantrixL10n::text(root.key, root.name), root.path,
                                                                  FileTransferNode::Kind::directory, nullptr));
    reload(views_.rightOutlineView);
}

void FileTransferWindowController::loadLocalRoots() {}

std::vector<std::filesystem::path> FileTransferWindowController::resolvedAuthorizedLocalRoots() { return {}; }

void FileTransferWindowController::addLocalFolder() {}

void FileTransferWindowController::outlineViewDoubleClicked(platform::View& sender) { (void)sender; }

void FileTransferWindowController::handleRemoteListing(const platform::UUID& requestID, const std::string& resolvedPath,
                                                       const std::vector<RemoteDirectoryEntry>& entries) {
    (void)requestID, (void)resolvedPath, (void)entries;
}

void FileTransferWindowController::executeTransfer() {}

void FileTransferWindowController::cancelActiveTransfer() {}
