// The Host's folders in the right tree: four fixed roots, each folder
// listed one level at a time when opened, with a "Loading..." row while the
// Host is asked, a notice after 6 s and a retry row after 20 s without a
// reply. Replies name the folder's resolved path, which the folder, its
// rows and a destination chosen on it take over.

#include <algorithm>

#include "Platform/Runtime/Dispatch.h"
#include "VelantrixProfiles/FileTransferWindow/FileTransferWindowController.h"
#include "VelantrixProfiles/Localization/VelantrixL10n.h"

namespace {

constexpr double kStillLoadingSeconds = 6.0;
constexpr double kNoResponseSeconds = 20.0;

}  // namespace

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

void FileTransferWindowController::loadRemoteChildren(const FileTransferNodePtr& node) {
    if (!node || !node->isContainer() || node->pendingRequestID) return;
    if (node->childrenLoaded) {
        const bool retryRow = node->children && !node->children->empty() &&
                              node->children->front()->kind == FileTransferNode::Kind::placeholder;
        if (!retryRow) return;
    }
    node->childrenLoaded = true;
    node->children = NodeList{makePlaceholder(VelantrixL10n::text("fileTransfer.loading", "Loading..."), node)};
    const auto requestID = deps_.requestDirectoryListing ? deps_.requestDirectoryListing(node->path) : platform::UUID::random();
    node->pendingRequestID = requestID;
    pendingRemoteRequests_[requestID] = node;
    scheduleListingChecks(node, requestID);
}

// Each check acts only on the request it was scheduled for: a retry sent
// meanwhile gets its own full 20 s.
void FileTransferWindowController::scheduleListingChecks(const FileTransferNodePtr& node, const platform::UUID& requestID) {
    std::weak_ptr<FileTransferWindowController> weakSelf = weak_from_this();
    std::weak_ptr<FileTransferNode> weakNode = node;
    auto main = platform::DispatchQueue::main();
    main.asyncAfter(kStillLoadingSeconds, [weakSelf, weakNode, requestID] {
        auto self = weakSelf.lock();
        auto node = weakNode.lock();
        if (!self || !node || !self->isPendingRequest(*node, requestID)) return;
        setText(self->views_.rightStatusLabel,
                VelantrixL10n::text("fileTransfer.listingStillLoading", "Still loading this Host folder..."));
    });
    main.asyncAfter(kNoResponseSeconds, [weakSelf, weakNode, requestID] {
        auto self = weakSelf.lock();
        auto node = weakNode.lock();
        if (!self || !node || !self->isPendingRequest(*node, requestID)) return;
        self->pendingRemoteRequests_.erase(requestID);
        node->childrenLoaded = false;
        node->children = NodeList{self->makePlaceholder(
            VelantrixL10n::text("fileTransfer.retryListing", "No response \u2014 double-click to try again"), node)};
        node->pendingRequestID.reset();
        if (self->views_.rightOutlineView) self->views_.rightOutlineView->reloadItem(node, true);
        setText(self->views_.rightStatusLabel,
                VelantrixL10n::text("fileTransfer.noListingResponse", "No response for directory listing"));
    });
}

bool FileTransferWindowController::isPendingRequest(const FileTransferNode& node, const platform::UUID& requestID) const {
    if (node.pendingRequestID != requestID) return false;
    auto it = pendingRemoteRequests_.find(requestID);
    return it != pendingRemoteRequests_.end() && it->second.get() == &node;
}

void FileTransferWindowController::reloadRemoteChildren(const FileTransferNodePtr& node) {
    if (!node) return;
    if (node->pendingRequestID) pendingRemoteRequests_.erase(*node->pendingRequestID);
    node->pendingRequestID.reset();
    node->childrenLoaded = false;
    node->children.reset();
    loadRemoteChildren(node);
    if (views_.rightOutlineView) views_.rightOutlineView->reloadItem(node, true);
}

void FileTransferWindowController::forgetRemoteRequests() {
    for (auto& [id, node] : pendingRemoteRequests_) node->pendingRequestID.reset();
    pendingRemoteRequests_.clear();
}

void FileTransferWindowController::handleRemoteListing(const platform::UUID& requestID, const std::string& resolvedPath,
                                                       const std::vector<RemoteDirectoryEntry>& entries) {
    auto pending = pendingRemoteRequests_.find(requestID);
    if (pending == pendingRemoteRequests_.end()) return;
    const auto folder = pending->second;
    pendingRemoteRequests_.erase(pending);
    folder->pendingRequestID.reset();
    const std::string oldPath = folder->path;
    if (!resolvedPath.empty()) {
        folder->path = resolvedPath;
        learnRemoteHome(oldPath, resolvedPath);
    }
    if (targetDirectoryPath_ == oldPath) targetDirectoryPath_ = folder->path;

    NodeList rows;
    for (const bool folders : {true, false}) {
        for (const auto& entry : entries) {
            if (entry.isDirectory != folders || entry.hasUnsafeName()) continue;
            auto row = std::make_shared<FileTransferNode>(
                entry.name, RemoteDirectoryEntry::childPath(folder->path, entry.name),
                folders ? FileTransferNode::Kind::directory : FileTransferNode::Kind::file, folder);
            if (!folders) {
                row->size = entry.size;
                row->modificationDate = entry.modificationDate;
            }
            rows.push_back(std::move(row));
        }
    }
    std::stable_sort(rows.begin(), rows.end(),
                     [this](const FileTransferNodePtr& a, const FileTransferNodePtr& b) { return compareNodes(*a, *b); });
    folder->children = std::move(rows);
    if (views_.rightOutlineView) views_.rightOutlineView->reloadItem(folder, true);
    if (direction_ == TransferPanelDirection::receiveFromHost) {
        updateLeftCheckboxState();
        updateExecuteButton();
    }
    if (!folder->children->empty())
        setText(views_.rightStatusLabel, VelantrixL10n::format("fileTransfer.loadedFolder", "Loaded: %@", folder->path));
    else if (entries.empty())
        setText(views_.rightStatusLabel,
                VelantrixL10n::text("fileTransfer.noSubfolders", "No subfolders. This folder is selected."));
    if (targetDirectoryPath_ == folder->path)
        setText(views_.rightStatusLabel, VelantrixL10n::format("fileTransfer.targetSelected", "Target: %@", folder->path));
}

// "~" answered with P makes P the home; "~/X" answered with ".../X" makes
// the rest the home.
void FileTransferWindowController::learnRemoteHome(const std::string& askedPath, const std::string& resolvedPath) {
    if (askedPath == "~") {
        remoteHomePath_ = resolvedPath;
    } else if (askedPath.starts_with("~/")) {
        const std::string suffix = askedPath.substr(1);
        if (resolvedPath.size() > suffix.size() && resolvedPath.ends_with(suffix))
            remoteHomePath_ = resolvedPath.substr(0, resolvedPath.size() - suffix.size());
    }
}
