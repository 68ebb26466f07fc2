#include "VelantrixProfiles/FileTransfer/SendDestinationPicker.h"

#include <algorithm>
#include <map>
#include <set>

#include "Platform/AppKit/AppKitApplication.h"
#include "Platform/AppKit/AppKitControls.h"
#include "Platform/AppKit/AppKitModal.h"
#include "Platform/AppKit/AppKitOutlineView.h"
#include "Platform/AppKit/AppKitSplitView.h"
#include "Platform/AppKit/AppKitTableView.h"
#include "Platform/AppKit/AppKitTextField.h"
#include "Platform/Runtime/Dispatch.h"
#include "Platform/Files/Folders.h"
#include "Platform/Foundation/UnicodeText.h"
#include "VelantrixProfiles/FileTransfer/FileTransferService.h"

using platform::View;
using platform::UUID;

namespace {

constexpr platform::ModalResponse kSendCode = 1;
constexpr platform::ModalResponse kCancelCode = 0;
// How long a folder waits for its listing before it shows as empty.
constexpr double kListingTimeoutSeconds = 6.0;

constexpr const char* kStatusBrowsingUnavailable = "Remote browsing unavailable; use a preset or type a folder path.";
constexpr const char* kStatusTypedPathStillUsed = "Remote browsing unavailable; the typed path will still be used.";

// One folder row of the outline.
class FolderNode : public platform::Object {
public:
    FolderNode(std::string n, std::string p, const std::shared_ptr<FolderNode>& up = nullptr, bool loading = false)
        : name(std::move(n)), path(std::move(p)), parent(up), placeholder(loading) {}
    std::string name;
    // Sent in listing requests and put into the path field; a listing's
    // resolved path replaces it ("~" becomes the device's home path).
    std::string path;
    std::weak_ptr<FolderNode> parent;
    // Absent: never listed. One placeholder: a listing in flight.
    // Otherwise the listed subfolders, possibly none.
    std::optional<std::vector<std::shared_ptr<FolderNode>>> children;
    // The "Loading..." row.
    const bool placeholder;

    bool isWaiting() const { return children && children->size() == 1 && children->front()->placeholder; }
};

using Node = std::shared_ptr<FolderNode>;
using ListingHandler = std::function<void(const UUID&, const std::string&, const std::vector<RemoteDirectoryEntry>&)>;

// Owns the window for the life of one present() and answers its table,
// outline and close box.
class PickerController : public platform::WindowDelegate,
                         public platform::TableViewDelegate,
                         public platform::OutlineViewDataSource,
                         public platform::OutlineViewDelegate,
                         public std::enable_shared_from_this<PickerController> {
public:
    PickerController(std::vector<SendDestinationOption> p, std::vector<SendDestinationPicker::Preset> ps,
                     std::optional<SendDestinationResult> previous, std::shared_ptr<FileTransferService> service,
                     std::function<void(std::optional<SendDestinationResult>)> done, std::string title,
                     std::string header)
        : peers(std::move(p)),
          presets(std::move(ps)),
          previousChoice(std::move(previous)),
          directoryService(std::move(service)),
          completion(std::move(done)),
          windowTitle(std::move(title)),
          headerText(std::move(header)) {}

    void run();

    // --- Actions ---------------------------------------------------------------
    void presetClicked(View& sender);
    void loadTypedPath();
    void outlineDoubleClicked();
    void sendClicked();
    void cancelClicked();

    // --- Window, table and outline ------------------------------------------------
    bool windowShouldClose(platform::Window&) override;
    int numberOfRowsInTableView(platform::TableView&) override;
    std::shared_ptr<View> tableViewViewFor(platform::TableView&, const platform::TableColumn*, int row) override;
    void tableViewSelectionDidChange(platform::TableView&) override;
    int outlineViewNumberOfChildrenOfItem(platform::OutlineView&, const platform::OutlineItem& item) override;
    platform::OutlineItem outlineViewChildOfItem(platform::OutlineView&, int index,
                                                 const platform::OutlineItem& item) override;
    bool outlineViewIsItemExpandable(platform::OutlineView&, const platform::OutlineItem& item) override;
    std::shared_ptr<View> outlineViewViewFor(platform::OutlineView&, const platform::TableColumn*,
                                             const platform::OutlineItem& item) override;
    void outlineViewSelectionDidChange(platform::OutlineView&) override;

private:
    void installDirectoryListingHandler();
    void handleListing(const UUID& requestID, const std::string& path, const std::vector<RemoteDirectoryEntry>& entries);
    void buildWindow();
    std::shared_ptr<View> buildPeerPane();
    std::shared_ptr<View> buildFolderPane();
    void resetFolderRoots();
    void requestListing(const Node& node);
    void applyListing(const std::vector<RemoteDirectoryEntry>& entries, const std::string& resolvedPath,
                      const Node& node);
    void loadPath(const std::string& path);
    static std::string folderDisplayName(const std::string& path);
    void setStatus(const std::string& text) { statusLabel->text = text; }
    // The device listings go to: the selected option's ID when it names
    // a session, else every device.
    std::optional<std::string> listingRoutingToken() const;
    static Node nodeOf(const platform::OutlineItem& item) { return std::dynamic_pointer_cast<FolderNode>(item); }

    const std::vector<SendDestinationOption> peers;
    const std::vector<SendDestinationPicker::Preset> presets;
    const std::optional<SendDestinationResult> previousChoice;
    const std::shared_ptr<FileTransferService> directoryService;
    std::function<void(std::optional<SendDestinationResult>)> completion;
    const std::string windowTitle;
    const std::string headerText;
    std::shared_ptr<platform::Window> window;
    std::shared_ptr<platform::TableView> peerTable;
    std::shared_ptr<platform::OutlineView> outlineView;
    std::shared_ptr<platform::TextField> pathField;
    std::shared_ptr<View> statusLabel;
    std::shared_ptr<View> rememberCheckbox;
    std::shared_ptr<View> sendButton;
    size_t selectedPeerIndex = 0;
    std::vector<Node> roots;
    // Listing request → the folder waiting for it.
    std::map<UUID, Node> activeRequests;
    // The service's listing hook before the picker opened; replies the
    // picker did not ask for still reach it.
    ListingHandler previousListingHandler;
};

void PickerController::run() {
    installDirectoryListingHandler();
    buildWindow();
    platform::Application::shared().activate(true);
    const platform::ModalResponse code = platform::runModalForWindow(window);
    window->orderOut();
    if (directoryService) directoryService->onDirectoryListing = previousListingHandler;

    std::optional<SendDestinationResult> result;
    if (code == kSendCode && !peers.empty()) {
        const size_t index = std::min(selectedPeerIndex, peers.size() - 1);
        result = SendDestinationResult{peers[index], platform::UnicodeText::trimmed(pathField->text), rememberCheckbox->isOn};
    }
    auto done = std::move(completion);
    if (done) done(std::move(result));
}

void PickerController::installDirectoryListingHandler() {
    if (!directoryService) return;
    previousListingHandler = directoryService->onDirectoryListing.get();
    std::weak_ptr<PickerController> weak = weak_from_this();
    directoryService->onDirectoryListing = [weak](const UUID& requestID, const std::string& path,
                                                  const std::vector<RemoteDirectoryEntry>& entries) {
        if (auto self = weak.lock()) self->handleListing(requestID, path, entries);
    };
}

void PickerController::handleListing(const UUID& requestID, const std::string& path,
                                     const std::vector<RemoteDirectoryEntry>& entries) {
    auto it = activeRequests.find(requestID);
    if (it == activeRequests.end()) {
        // Not ours, answered twice, or too late: whoever listened before.
        if (previousListingHandler) previousListingHandler(requestID, path, entries);
        return;
    }
    Node node = it->second;
    activeRequests.erase(it);
    applyListing(entries, path, node);
}

// --- Layout ------------------------------------------------------------------------

void PickerController::buildWindow() {
    window = platform::Window::make({820, 520}, platform::kWindowStyleTitled | platform::kWindowStyleClosable);
    window->title = windowTitle;
    window->setLevel(platform::kModalPanelWindowLevel);
    window->isReleasedWhenClosed = false;
    window->setDelegate(weak_from_this());

    auto header = View::label(headerText);
    header->font = {13, platform::FontWeight::medium};
    header->maximumNumberOfLines = 0;
    header->wrapsWords = true;

    auto split = platform::SplitView::make();
    split->isVertical = true;
    split->dividerStyle = platform::SplitView::DividerStyle::thin;
    split->size = {780, 340};
    split->addArrangedSubview(buildPeerPane());
    split->addArrangedSubview(buildFolderPane());

    std::weak_ptr<PickerController> weak = weak_from_this();
    auto act = [weak](void (PickerController::*method)()) {
        return [weak, method](View&) {
            if (auto self = weak.lock()) ((*self).*method)();
        };
    };
    rememberCheckbox = View::checkbox("Remember this choice for next time", nullptr);
    rememberCheckbox->isOn = previousChoice && previousChoice->remember;
    auto gap = View::plain();
    gap->horizontalContentHugging = 1;
    auto cancel = View::button("Cancel", act(&PickerController::cancelClicked));
    cancel->roundedBezel = true;
    cancel->keyEquivalent = "\x1b";
    cancel->actionName = "cancelClicked";
    sendButton = View::button("Send", act(&PickerController::sendClicked));
    sendButton->roundedBezel = true;
    sendButton->keyEquivalent = "\r";
    sendButton->actionName = "sendClicked";
    sendButton->isEnabled = !peers.empty();
    auto bottom = View::stack(View::Orientation::horizontal, {rememberCheckbox, gap, cancel, sendButton});

    auto content = View::stack(View::Orientation::vertical, {header, split, bottom});
    content->edgeInsets = {18, 20, 18, 20};
    window->contentView = content;

    if (previousChoice) {
        for (size_t i = 0; i < peers.size(); ++i) {
            if (peers[i].id == previousChoice->peer.id) {
                selectedPeerIndex = i;
                break;
            }
        }
    }
    if (!peers.empty()) peerTable->selectRow(static_cast<int>(selectedPeerIndex));
    resetFolderRoots();
    window->center();
}

std::shared_ptr<View> PickerController::buildPeerPane() {
    auto title = View::label("Devices");
    title->font = {12, platform::FontWeight::medium};
    peerTable = platform::TableView::make();
    peerTable->hasHeaderView = false;
    peerTable->rowHeight = 44;
    peerTable->addTableColumn(std::make_shared<platform::TableColumn>("device"));
    peerTable->delegate = weak_from_this();
    peerTable->reloadData();
    auto scroll = platform::ScrollView::make();
    scroll->hasVerticalScroller = true;
    scroll->setDocumentView(peerTable);
    return View::stack(View::Orientation::vertical, {title, scroll});
}

std::shared_ptr<View> PickerController::buildFolderPane() {
    std::weak_ptr<PickerController> weak = weak_from_this();
    auto title = View::label("Save into folder");
    title->font = {12, platform::FontWeight::medium};

    std::vector<std::shared_ptr<View>> presetButtons;
    for (const auto& preset : presets) {
        auto button = View::button(preset.title, [weak](View& sender) {
            if (auto self = weak.lock()) self->presetClicked(sender);
        });
        button->identifier = preset.path;
        button->roundedBezel = true;
        button->controlSize = View::ControlSize::small;
        button->actionName = "presetClicked:";
        presetButtons.push_back(button);
    }
    auto presetRow = View::stack(View::Orientation::horizontal, presetButtons);

    pathField = platform::TextField::make("~/Desktop");
    pathField->identifier = "path";
    pathField->text = previousChoice ? previousChoice->destination
                                     : (presets.empty() ? std::string("~/Desktop") : presets.front().path);
    auto load = View::button("Load", [weak](View&) {
        if (auto self = weak.lock()) self->loadTypedPath();
    });
    load->roundedBezel = true;
    load->actionName = "loadTypedPath";
    load->isEnabled = directoryService != nullptr;
    auto pathRow = View::stack(View::Orientation::horizontal, {pathField, load});

    outlineView = platform::OutlineView::make();
    outlineView->hasHeaderView = false;
    outlineView->rowHeight = 24;
    auto column = std::make_shared<platform::TableColumn>("folder");
    outlineView->addTableColumn(column);
    outlineView->outlineTableColumn = column;
    outlineView->dataSource = weak_from_this();
    outlineView->delegate = weak_from_this();
    outlineView->doubleActionName = "outlineDoubleClicked";
    outlineView->doubleAction = [weak](View&) {
        if (auto self = weak.lock()) self->outlineDoubleClicked();
    };
    auto scroll = platform::ScrollView::make();
    scroll->hasVerticalScroller = true;
    scroll->setDocumentView(outlineView);

    statusLabel = View::label(directoryService ? "" : kStatusBrowsingUnavailable);
    statusLabel->identifier = "status";
    statusLabel->font = {11, platform::FontWeight::regular};
    statusLabel->textColor = platform::Color::secondaryLabel;
    return View::stack(View::Orientation::vertical, {title, presetRow, pathRow, scroll, statusLabel});
}

// --- Device table ----------------------------------------------------------------------

int PickerController::numberOfRowsInTableView(platform::TableView&) {
    return static_cast<int>(std::max<size_t>(1, peers.size()));
}

std::shared_ptr<View> PickerController::tableViewViewFor(platform::TableView&, const platform::TableColumn*, int row) {
    if (peers.empty()) return View::label("No connected device");
    const auto& peer = peers.at(static_cast<size_t>(row));
    auto name = View::label(peer.displayName);
    name->font = {12, platform::FontWeight::medium};
    name->lineBreakMode = View::LineBreakMode::truncatingTail;
    std::vector<std::shared_ptr<View>> lines{name};
    if (peer.detailText && !peer.detailText->empty()) {
        auto detail = View::label(*peer.detailText);
        detail->font = {10, platform::FontWeight::regular, true};
        detail->textColor = platform::Color::secondaryLabel;
        detail->lineBreakMode = View::LineBreakMode::truncatingMiddle;
        lines.push_back(detail);
    }
    return View::stack(View::Orientation::vertical, lines);
}

void PickerController::tableViewSelectionDidChange(platform::TableView& table) {
    const int row = table.selectedRow();
    // An empty selection keeps the device and its folders.
    if (row < 0 || static_cast<size_t>(row) >= peers.size() || static_cast<size_t>(row) == selectedPeerIndex) return;
    selectedPeerIndex = static_cast<size_t>(row);
    // The folder tree belongs to the device; the typed path stays.
    resetFolderRoots();
}

// --- Folder outline ----------------------------------------------------------------------

void PickerController::resetFolderRoots() {
    // Late replies to these requests now go to the previous hook.
    activeRequests.clear();
    roots.clear();
    std::set<std::string> used{"~"};
    roots.push_back(std::make_shared<FolderNode>("Home", "~"));
    for (const auto& preset : presets)
        if (used.insert(preset.path).second) roots.push_back(std::make_shared<FolderNode>(preset.title, preset.path));
    if (previousChoice) {
        const std::string destination = platform::UnicodeText::trimmed(previousChoice->destination);
        if (!destination.empty() && !used.count(destination))
            roots.insert(roots.begin(), std::make_shared<FolderNode>(folderDisplayName(destination), destination));
    }
    outlineView->reloadData();
    setStatus(directoryService ? "Select a folder, use a preset, or type a path and click Load."
                               : kStatusBrowsingUnavailable);
}

std::optional<std::string> PickerController::listingRoutingToken() const {
    if (peers.empty()) return std::nullopt;
    const std::string& id = peers[std::min(selectedPeerIndex, peers.size() - 1)].id;
    return UUID::parse(id) ? std::optional<std::string>(id) : std::nullopt;
}

void PickerController::requestListing(const Node& node) {
    if (node->placeholder || node->isWaiting()) return;
    if (!directoryService) {
        setStatus(kStatusTypedPathStillUsed);
        return;
    }
    node->children = std::vector<Node>{std::make_shared<FolderNode>("Loading...", node->path, node, true)};
    outlineView->reloadItem(node, true);
    outlineView->expandItem(node);

    const UUID requestID = directoryService->requestDirectoryListing(node->path, listingRoutingToken());
    activeRequests[requestID] = node;
    const std::string device =
        peers.empty() ? std::string("device") : peers[std::min(selectedPeerIndex, peers.size() - 1)].displayName;
    setStatus("Loading " + node->path + " from " + device + "...");

    std::weak_ptr<PickerController> weak = weak_from_this();
    std::weak_ptr<FolderNode> weakNode = node;
    platform::DispatchQueue::main().asyncAfter(kListingTimeoutSeconds, [weak, weakNode, requestID] {
        auto self = weak.lock();
        auto node = weakNode.lock();
        if (!self || !node) return;
        auto it = self->activeRequests.find(requestID);
        if (it == self->activeRequests.end() || it->second != node) return;
        self->activeRequests.erase(it);
        node->children = std::vector<Node>{};
        self->outlineView->reloadItem(node, true);
        self->setStatus("No folder list response for " + node->path + "; type a path or use a preset.");
    });
}

void PickerController::applyListing(const std::vector<RemoteDirectoryEntry>& entries, const std::string& resolvedPath,
                                    const Node& node) {
    if (!resolvedPath.empty()) node->path = resolvedPath;
    std::vector<Node> children;
    for (const auto& entry : entries) {
        if (!entry.isDirectory || entry.hasUnsafeName()) continue;
        children.push_back(
            std::make_shared<FolderNode>(entry.name, RemoteDirectoryEntry::childPath(node->path, entry.name), node));
    }
    const bool none = children.empty();
    node->children = std::move(children);
    outlineView->reloadItem(node, true);
    outlineView->expandItem(node);
    setStatus(none ? "No subfolders in " + node->path + "; this folder is selected." : "Loaded " + node->path);
    if (nodeOf(outlineView->itemAtRow(outlineView->selectedRow())) == node) pathField->text = node->path;
}

void PickerController::loadPath(const std::string& typed) {
    const std::string path = platform::UnicodeText::trimmed(typed);
    if (path.empty()) {
        platform::beep();
        return;
    }
    if (!directoryService) {
        setStatus(kStatusTypedPathStillUsed);
        return;
    }
    auto found = std::find_if(roots.begin(), roots.end(), [&](const Node& root) { return root->path == path; });
    Node root;
    if (found != roots.end()) {
        root = *found;
    } else {
        root = std::make_shared<FolderNode>(folderDisplayName(path), path);
        roots.insert(roots.begin(), root);
    }
    outlineView->reloadData();
    outlineView->deselectAll();
    outlineView->selectRow(outlineView->rowForItem(root));
    // A root listed before is listed again; one in flight is not.
    if (root->children && !root->isWaiting()) root->children.reset();
    requestListing(root);
}

std::string PickerController::folderDisplayName(const std::string& path) {
    if (path == "~") return "Home";
    std::string expanded = platform::Folders::expandingTildeInPath(path);
    while (expanded.size() > 1 && expanded.back() == '/') expanded.pop_back();
    const size_t slash = expanded.rfind('/');
    std::string last = slash == std::string::npos ? expanded : expanded.substr(slash + 1);
    return last.empty() ? path : last;
}

int PickerController::outlineViewNumberOfChildrenOfItem(platform::OutlineView&, const platform::OutlineItem& item) {
    if (!item) return static_cast<int>(roots.size());
    auto node = nodeOf(item);
    return node && node->children ? static_cast<int>(node->children->size()) : 0;
}

platform::OutlineItem PickerController::outlineViewChildOfItem(platform::OutlineView&, int index,
                                                               const platform::OutlineItem& item) {
    if (!item) return roots.at(static_cast<size_t>(index));
    return nodeOf(item)->children->at(static_cast<size_t>(index));
}

bool PickerController::outlineViewIsItemExpandable(platform::OutlineView&, const platform::OutlineItem& item) {
    auto node = nodeOf(item);
    return node && !node->placeholder;
}

std::shared_ptr<View> PickerController::outlineViewViewFor(platform::OutlineView&, const platform::TableColumn*,
                                                           const platform::OutlineItem& item) {
    auto node = nodeOf(item);
    if (!node) return nullptr;
    auto label = View::label(node->name);
    label->textColor = node->placeholder ? platform::Color::secondaryLabel : platform::Color::label;
    label->lineBreakMode = View::LineBreakMode::truncatingTail;
    return label;
}

void PickerController::outlineViewSelectionDidChange(platform::OutlineView& outline) {
    auto node = nodeOf(outline.itemAtRow(outline.selectedRow()));
    if (!node || node->placeholder) return;
    pathField->text = node->path;
    if (!node->children) requestListing(node);
}

// --- Actions -------------------------------------------------------------------------------

void PickerController::presetClicked(View& sender) {
    if (sender.identifier.empty()) return;
    pathField->text = sender.identifier;
    loadPath(sender.identifier);
}

void PickerController::loadTypedPath() { loadPath(pathField->text); }

void PickerController::outlineDoubleClicked() {
    auto node = nodeOf(outlineView->itemAtRow(outlineView->clickedRow()));
    if (!node || node->placeholder) return;
    if (outlineView->isItemExpanded(node)) {
        outlineView->collapseItem(node);
        return;
    }
    if (!node->children) requestListing(node);
    outlineView->expandItem(node);
}

void PickerController::sendClicked() {
    if (peers.empty()) {
        platform::stopModalWithCode(kCancelCode);
        return;
    }
    if (platform::UnicodeText::trimmed(pathField->text).empty()) {
        platform::beep();
        return;
    }
    platform::stopModalWithCode(kSendCode);
}

void PickerController::cancelClicked() { platform::stopModalWithCode(kCancelCode); }

bool PickerController::windowShouldClose(platform::Window&) {
    platform::stopModalWithCode(kCancelCode);
    return true;
}

}  // namespace

const std::vector<SendDestinationPicker::Preset>& SendDestinationPicker::defaultPresets() {
    static const std::vector<Preset> presets{
        {"Desktop", "~/Desktop"},
        {"Downloads", "~/Downloads"},
        {"Documents", "~/Documents"},
    };
    return presets;
}

void SendDestinationPicker::present(const std::string& windowTitle, const std::string& headerText,
                                    const std::vector<SendDestinationOption>& peers, const std::vector<Preset>& presets,
                                    const std::optional<SendDestinationResult>& previousChoice,
                                    const std::shared_ptr<FileTransferService>& directoryService,
                                    std::function<void(std::optional<SendDestinationResult>)> completion) {
    auto controller = std::make_shared<PickerController>(peers, presets, previousChoice, directoryService,
                                                         std::move(completion), windowTitle, headerText);
    controller->run();
}
