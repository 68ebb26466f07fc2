// Creating and showing the window, the Host pop-up, the direction switch,
// the pane titles, the execute button with its guidance, Refresh and the
// destination lookup.

#include "VelantrixProfiles/FileTransferWindow/FileTransferWindowController.h"

#include "Platform/AppKit/AppKitApplication.h"
#include "Platform/SimulatedMac/ComputerName.h"
#include "Platform/Files/FileSystemAccess.h"
#include "Platform/Foundation/UnicodeText.h"
#include "VelantrixProfiles/FileTransfer/FileTransferCenter.h"
#include "VelantrixProfiles/Localization/VelantrixL10n.h"

using platform::UnicodeText;
using platform::View;

namespace {

// A device name without the "●" marks the owner may decorate it with.
std::string cleanedDeviceName(std::string name) {
    static const std::string kDot = "\u25CF";
    for (size_t at; (at = name.find(kDot)) != std::string::npos;) name.erase(at, kDot.size());
    return std::string(UnicodeText::trimmingWhitespace(name));
}

}  // namespace

FileTransferWindowController::FileTransferWindowController(Dependencies deps, std::shared_ptr<platform::Window> window)
    : WindowController(std::move(window)), deps_(std::move(deps)) {
    if (!deps_.cancelBatch) deps_.cancelBatch = [](const platform::UUID&) {};
}

std::shared_ptr<FileTransferWindowController> FileTransferWindowController::make(Dependencies deps) {
    using namespace platform;
    auto window = Window::make(CGSize{1280, 800}, kWindowStyleTitled | kWindowStyleClosable |
                                                      kWindowStyleMiniaturizable | kWindowStyleResizable);
    window->minSize = CGSize{1100, 680};
    window->title = VelantrixL10n::text("fileTransfer.windowTitle", "File Transfer");
    window->isReleasedWhenClosed = false;
    window->setCollectionBehavior(258);
    window->center();
    auto controller = std::shared_ptr<FileTransferWindowController>(
        new FileTransferWindowController(std::move(deps), std::move(window)));
    // Progress rows no longer pull the progress window forward while this
    // window is in use.
    FileTransferCenter::shared().autoPresentToFront = false;
    controller->buildUI();
    controller->refreshHostSelector();
    controller->selectDirection(TransferPanelDirection::sendToHost);
    controller->loadLocalRoots();
    if (auto roots = controller->resolvedAuthorizedLocalRoots(); !roots.empty())
        controller->lastAuthorizedFolderURL_ = roots.front().path;
    if (controller->deps_.setDirectoryListingHandler) {
        std::weak_ptr<FileTransferWindowController> weak = controller;
        controller->deps_.setDirectoryListingHandler(
            [weak](const UUID& requestID, const std::string& resolvedPath, const std::vector<RemoteDirectoryEntry>& entries) {
                if (auto self = weak.lock()) self->handleRemoteListing(requestID, resolvedPath, entries);
            });
    }
    return controller;
}

FileTransferWindowController::~FileTransferWindowController() {
    for (const auto& [path, url] : activeSecurityScopedURLs_) platform::FileSystemAccess::stopAccessingSecurityScopedResource(url);
}

void FileTransferWindowController::show() {
    refreshHostSelector();
    foregroundWindow();
}

std::string FileTransferWindowController::defaultLocalDeviceName() {
    if (auto name = std::string(UnicodeText::trimmingWhitespace(platform::ComputerName::localizedName())); !name.empty())
        return name;
    if (auto name = std::string(UnicodeText::trimmingWhitespace(platform::ComputerName::processHostName()));
        !name.empty())
        return name;
    return "This Mac";
}

void FileTransferWindowController::refreshHostSelector() {
    auto& selector = views_.hostSelector;
    if (!selector) return;
    selector->items.clear();
    selector->selectedIndex.reset();
    const auto peers = deps_.connectedPeers ? deps_.connectedPeers() : std::vector<Peer>{};
    if (peers.empty()) {
        remoteRoots_.clear();
        reload(views_.rightOutlineView);
        selector->items.push_back({VelantrixL10n::text("fileTransfer.noHostConnected", "No Host connected"), 0, ""});
        selector->selectedIndex = 0;
        selector->isEnabled = false;
        clearSelectedPeer();
        return;
    }
    selector->isEnabled = true;
    for (const auto& peer : peers) selector->items.push_back({peer.name, 0, peer.id});
    if (selectedPeerID_) {
        for (size_t i = 0; i < peers.size(); ++i) {
            if (peers[i].id != *selectedPeerID_) continue;
            // The pop-up shows the Host the copies go to.
            selector->selectedIndex = i;
            return;
        }
    }
    selector->selectedIndex = 0;
    hostSelectionChanged();
}

void FileTransferWindowController::hostSelectionChanged() {
    auto& selector = views_.hostSelector;
    if (!selector) return;
    const View::PopUpItem* item = selector->selectedIndex && *selector->selectedIndex < selector->items.size()
                                      ? &selector->items[*selector->selectedIndex]
                                      : nullptr;
    if (!item || item->identifier.empty()) {
        clearSelectedPeer();
        return;
    }
    const std::string id = item->identifier;
    const std::string title = item->title;
    if (deps_.openFileTransferForPeer && deps_.openFileTransferForPeer(id)) {
        setText(views_.rightStatusLabel,
                VelantrixL10n::format("fileTransfer.openedOtherHost", "Opened File Transfer for %@ in its Host window.",
                                      title));
        const auto& first = selector->items.front().identifier;
        if (!first.empty() && first != id) {
            selector->selectedIndex = 0;
            hostSelectionChanged();
        } else {
            clearSelectedPeer();
        }
        return;
    }
    if (selectedPeerID_ != id) remoteHomePath_.reset();
    selectedPeerID_ = id;
    selectedPeerName_ = title;
    updatePaneTitles();
    forgetRemoteRequests();
    remoteRoots_.clear();
    reload(views_.rightOutlineView);
    loadRemoteRoots();
    updateExecuteButton();
}

void FileTransferWindowController::clearSelectedPeer() {
    if (selectedPeerID_) remoteHomePath_.reset();
    // A late reply would otherwise rewrite the target, the status line and
    // the learned home of a Host that is no longer selected.
    forgetRemoteRequests();
    selectedPeerID_.reset();
    selectedPeerName_.reset();
    // Without these the button would stay enabled, naming a Host that is
    // no longer selected, and pressing it would copy nowhere.
    updatePaneTitles();
    updateExecuteButton();
}

void FileTransferWindowController::selectDirection(TransferPanelDirection d) {
    direction_ = d;
    const bool sending = d == TransferPanelDirection::sendToHost;
    if (views_.directionControl) views_.directionControl->selectedSegment = sending ? 0 : 1;
    if (views_.leftTopCheckbox) views_.leftTopCheckbox->isHidden = !sending;
    if (views_.rightTopCheckbox) views_.rightTopCheckbox->isHidden = sending;
    if (views_.leftOutlineView) views_.leftOutlineView->allowsMultipleSelection = sending;
    if (views_.rightOutlineView) views_.rightOutlineView->allowsMultipleSelection = !sending;
    updatePaneTitles();
    updateArrowLabel();
    setAllChecked(sourceRoots(), false);
    targetDirectoryPath_.reset();
    previousTargetNode_.reset();
    setText(views_.leftStatusLabel, "");
    setText(views_.rightStatusLabel, "");
    reload(views_.leftOutlineView);
    reload(views_.rightOutlineView);
    updateLeftCheckboxState();
    updateExecuteButton();
}

void FileTransferWindowController::directionChanged() {
    const bool receive = views_.directionControl && views_.directionControl->selectedSegment != 0;
    selectDirection(receive ? TransferPanelDirection::receiveFromHost : TransferPanelDirection::sendToHost);
}

void FileTransferWindowController::refreshClicked() {
    refreshHostSelector();
    forgetRemoteRequests();
    remoteRoots_.clear();
    reload(views_.rightOutlineView);
    if (selectedPeerID_) loadRemoteRoots();
    localRoots_.clear();
    reload(views_.leftOutlineView);
    loadLocalRoots();
}

void FileTransferWindowController::updatePaneTitles() {
    if (!views_.leftTitleLabel || !views_.rightTitleLabel) return;
    auto local = cleanedDeviceName(deps_.localDeviceName ? deps_.localDeviceName() : "");
    if (local.empty()) local = VelantrixL10n::text("fileTransfer.viewerFallback", "This Mac");
    auto host = cleanedDeviceName(selectedPeerName_.value_or(""));
    if (host.empty()) host = VelantrixL10n::text("fileTransfer.hostFallback", "Host");
    const bool sending = direction_ == TransferPanelDirection::sendToHost;
    const std::pair<const char*, const char*> source{"fileTransfer.sourceRole", "Source"};
    const std::pair<const char*, const char*> destination{"fileTransfer.destinationRole", "Destination"};
    const auto& leftRole = sending ? source : destination;
    const auto& rightRole = sending ? destination : source;
    views_.leftTitleLabel->text = paneTitle(local, leftRole.first, leftRole.second);
    views_.rightTitleLabel->text = paneTitle(host, rightRole.first, rightRole.second);
}

std::string FileTransferWindowController::paneTitle(const std::string& deviceName, const std::string& roleKey,
                                                    const std::string& roleDefault) {
    return VelantrixL10n::format("fileTransfer.paneTitleFormat", "%@ (%@)", deviceName,
                                 VelantrixL10n::text(roleKey, roleDefault));
}

void FileTransferWindowController::updateExecuteButton() {
    auto& button = views_.executeButton;
    if (!button) return;
    const size_t count = sourceTransferItems().size();
    if (activeTransferBatchID_) {
        button->isEnabled = false;
        button->text = VelantrixL10n::text("fileTransfer.copying", "Copying…");
        return;
    }
    const bool sending = direction_ == TransferPanelDirection::sendToHost;
    const bool disabled = !selectedPeerID_ || !targetDirectoryPath_ || count == 0;
    button->isEnabled = !disabled;
    if (disabled) {
        button->text = sending ? VelantrixL10n::text("fileTransfer.copySelected", "Copy Selected Items")
                               : VelantrixL10n::text("fileTransfer.receiveSelected", "Receive Selected Items");
        const auto guidance = transferSetupGuidance(count > 0, targetDirectoryPath_.has_value(), selectedPeerID_.has_value());
        setText(views_.transferSummaryLabel, guidance);
        setText(views_.transferStatusLabel, guidance);
        return;
    }
    const std::string host = selectedPeerName_.value_or("Host");
    button->text = sending ? VelantrixL10n::format("fileTransfer.copyToHost", "Copy %d Item(s) to %@", static_cast<int64_t>(count), host)
                           : VelantrixL10n::format("fileTransfer.receiveFromHost", "Receive %d Item(s) from %@", static_cast<int64_t>(count), host);
    setText(views_.transferSummaryLabel,
            sending ? VelantrixL10n::format("fileTransfer.readyToCopy", "Ready to copy to %@", *targetDirectoryPath_)
                    : VelantrixL10n::format("fileTransfer.readyToReceive", "Ready to receive into %@", *targetDirectoryPath_));
    setText(views_.transferStatusLabel, VelantrixL10n::text("fileTransfer.readyToTransfer", "Start the transfer when ready."));
}

std::string FileTransferWindowController::transferSetupGuidance(bool hasSource, bool hasTarget, bool hasPeer) {
    if (!hasPeer) return VelantrixL10n::text("fileTransfer.connectHostGuidance", "Connect to a Host to transfer files.");
    if (!hasSource)
        return VelantrixL10n::text("fileTransfer.selectItemsGuidance", "Select one or more files or folders to transfer.");
    if (!hasTarget)
        return VelantrixL10n::text("fileTransfer.selectDestinationGuidance", "Select a destination folder to continue.");
    return "";
}

std::optional<std::string> FileTransferWindowController::currentDestinationPath() {
    const auto& tree =
        direction_ == TransferPanelDirection::sendToHost ? views_.rightOutlineView : views_.leftOutlineView;
    if (tree) {
        auto node = std::dynamic_pointer_cast<FileTransferNode>(tree->itemAtRow(tree->selectedRow()));
        if (node && node->isContainer()) {
            targetDirectoryPath_ = node->path;
            previousTargetNode_ = node;
            return targetDirectoryPath_;
        }
    }
    return targetDirectoryPath_;
}

FileTransferNodePtr FileTransferWindowController::makeLocalNode(const std::string& name, const std::string& path,
                                                                FileTransferNode::Kind kind) {
    return std::make_shared<FileTransferNode>(name, path, kind, nullptr);
}

void FileTransferWindowController::setLocalRootsForTesting(NodeList roots) {
    localRoots_ = std::move(roots);
    reload(views_.leftOutlineView);
    updateLeftCheckboxState();
}

void FileTransferWindowController::setRemoteRootsForTesting(NodeList roots) {
    remoteRoots_ = std::move(roots);
    reload(views_.rightOutlineView);
    updateLeftCheckboxState();
}

// ---- Small shared helpers.

const FileTransferWindowController::NodeList& FileTransferWindowController::sourceRoots() const {
    return direction_ == TransferPanelDirection::sendToHost ? localRoots_ : remoteRoots_;
}

std::shared_ptr<platform::OutlineView> FileTransferWindowController::sourceOutlineView() const {
    return direction_ == TransferPanelDirection::sendToHost ? views_.leftOutlineView : views_.rightOutlineView;
}

std::shared_ptr<View> FileTransferWindowController::sourceStatusLabel() const {
    return direction_ == TransferPanelDirection::sendToHost ? views_.leftStatusLabel : views_.rightStatusLabel;
}

FileTransferWindowController::NodeList FileTransferWindowController::sourceTransferItems() const {
    const auto checked = collectCheckedFileNodes(sourceRoots());
    if (direction_ == TransferPanelDirection::sendToHost) return uniqueTopLevelNodes(checked, localPathKey);
    const auto home = remoteHomePath_;
    return uniqueTopLevelNodes(checked, [home](const std::string& path) { return hostPathKey(path, home); });
}

void FileTransferWindowController::reload(const std::shared_ptr<platform::OutlineView>& view) {
    if (view) view->reloadData();
}

void FileTransferWindowController::setText(const std::shared_ptr<View>& view, const std::string& text) {
    if (view) view->text = text;
}
