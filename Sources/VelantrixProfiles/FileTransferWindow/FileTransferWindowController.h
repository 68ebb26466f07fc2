#pragma once
// The Viewer's two-pane File Transfer window: this device's folders on the
// left, the selected Host's on the right, a direction switch deciding which
// pane is the source (tick items) and which the destination (pick a
// folder), and an execute button that starts the copy. It never talks to
// the transfer engine itself: everything of the outside world reaches it
// through the closures of `Dependencies`, supplied by its owner.
//
// The methods are split by concern: tree operations, sorting and metadata
// texts, Host selection and the execute button, the layout, the outline
// rows, the selection controls, and the Host tree. Main thread only; the
// controller takes no lock.

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Platform/AppKit/AppKitAlert.h"
#include "Platform/AppKit/AppKitControls.h"
#include "Platform/AppKit/AppKitOutlineView.h"
#include "Platform/AppKit/AppKitPanel.h"
#include "Platform/AppKit/AppKitWindow.h"
#include "Platform/Foundation/TextCollation.h"
#include "Platform/Foundation/Uuid.h"
#include "VelantrixProfiles/FileTransfer/FileTransferPacket.h"
#include "VelantrixProfiles/FileTransfer/RemoteDirectoryEntry.h"
#include "VelantrixProfiles/FileTransferWindow/FileTransferNode.h"

// Which way items go: index 0 and 1, as the direction switch's segments.
enum class TransferPanelDirection { sendToHost, receiveFromHost };

// The views that later operations update; unset until buildUI() ran.
struct FileTransferWindowViews {
    std::shared_ptr<platform::View> hostSelector;
    std::shared_ptr<platform::SegmentedControl> directionControl;
    std::shared_ptr<platform::OutlineView> leftOutlineView, rightOutlineView;
    std::shared_ptr<platform::View> leftTitleLabel, rightTitleLabel;
    std::shared_ptr<platform::View> leftTopCheckbox, rightTopCheckbox;
    std::shared_ptr<platform::View> leftStatusLabel, rightStatusLabel;
    std::shared_ptr<platform::View> backupCheckbox;
    std::shared_ptr<platform::View> executeButton;
    std::shared_ptr<platform::View> transferSummaryLabel;
    std::shared_ptr<platform::View> transferStatusLabel;
    std::shared_ptr<platform::View> transferProgressRow;
    std::shared_ptr<platform::ProgressIndicator> transferProgressIndicator;
    std::shared_ptr<platform::View> cancelTransferButton;
    std::shared_ptr<platform::View> progressStack;
};

class FileTransferWindowController : public platform::WindowController,
                                     public platform::OutlineViewDataSource,
                                     public platform::OutlineViewDelegate,
                                     public std::enable_shared_from_this<FileTransferWindowController> {
public:
    using NodeList = std::vector<FileTransferNodePtr>;
    // How a path is turned into the key paths are compared by.
    using PathKey = std::function<std::string(const std::string& path)>;

    struct Peer {
        std::string id;
        std::string name;
    };

    // The outside world, as nine closures. The window calls them on the
    // main thread; an empty closure counts as one that does nothing and
    // returns nothing.
    struct Dependencies {
        using ListingHandler = std::function<void(const platform::UUID& requestID, const std::string& resolvedPath,
                                                  const std::vector<RemoteDirectoryEntry>& entries)>;

        // The owner's raw packet path to the Host; kept, never used here.
        std::function<void(const FileTransferPacket&)> sendPacket;
        // Asks for one Host folder's listing; returns the request's ID.
        std::function<platform::UUID(const std::string& path)> requestDirectoryListing;
        // Installs the receiver of listing replies (called once).
        std::function<void(ListingHandler handler)> setDirectoryListingHandler;
        // Sends local items to the selected Host: (files, intent, target
        // folder, peer ID, options) → batch ID.
        std::function<std::optional<platform::UUID>(const std::vector<std::filesystem::path>& urls,
                                                    FileTransferIntent intent,
                                                    const std::optional<std::string>& targetFolder,
                                                    const std::optional<std::string>& peerID,
                                                    FileTransferDeliveryOptions options)>
            sendFiles;
        // Asks the Host to send its items into a local folder → batch ID.
        std::function<std::optional<platform::UUID>(const std::vector<std::string>& remotePaths,
                                                    const std::string& localTargetFolder,
                                                    FileTransferDeliveryOptions options)>
            requestPeerSend;
        std::function<std::string()> localDeviceName;
        // The connected Hosts, in the pop-up's order.
        std::function<std::vector<Peer>()> connectedPeers;
        // True: another window already serves that Host and came forward.
        std::function<bool(const std::string& peerID)> openFileTransferForPeer;
        std::function<void(const platform::UUID& batchID)> cancelBatch = [](const platform::UUID&) {};
    };

    // The designated initializer: builds the window (not shown yet), fills
    // the Host pop-up, selects sending, loads the roots and installs the
    // listing handler.
    static std::shared_ptr<FileTransferWindowController> make(Dependencies deps);
    ~FileTransferWindowController() override;

    void show();
    // This computer's name, for the owner's `localDeviceName`.
    static std::string defaultLocalDeviceName();

    // ---- Tree operations (no state of the window).
    static void propagateCheckDown(const FileTransferNodePtr& node, bool checked);
    static void setAllChecked(const NodeList& nodes, bool checked);
    static bool allNodesChecked(const NodeList& nodes);
    static bool anyNodeChecked(const NodeList& nodes);
    static bool anyNodeMixed(const NodeList& nodes);
    static NodeList collectCheckedFileNodes(const NodeList& nodes);
    // Each item once, minus those inside a container also present, in
    // path order. Keys come from `key`: this device's tilde expansion by
    // default, `hostPathKey` for the Host tree.
    static NodeList uniqueTopLevelNodes(const NodeList& nodes, const PathKey& key = localPathKey);
    static std::string formatBytes(uint64_t bytes);
    // "~" and "~user" expanded as this device's folders.
    static std::string localPathKey(const std::string& path);
    // "~" and "~/…" expanded with the Host's home when it is known; else
    // the path as it stands, so "~" forms compare only with "~" forms.
    static std::string hostPathKey(const std::string& path, const std::optional<std::string>& hostHome);

    // ---- Sorting and metadata texts.
    bool compareNodes(const FileTransferNode& a, const FileTransferNode& b) const;
    void sortLoadedTree(const FileTransferNodePtr& node);
    void resortBothTrees();
    std::string metadataText(const std::string& columnIdentifier, const FileTransferNode& node);
    std::shared_ptr<platform::View> makeMetadataCell(const std::string& columnIdentifier, const FileTransferNode& node);
    void updateArrowLabel();

    // ---- Host selection, direction and the execute button.
    void refreshHostSelector();
    void hostSelectionChanged();
    void selectDirection(TransferPanelDirection direction);
    void directionChanged();
    void refreshClicked();
    void updatePaneTitles();
    std::string paneTitle(const std::string& deviceName, const std::string& roleKey, const std::string& roleDefault);
    void updateExecuteButton();
    static std::string transferSetupGuidance(bool hasSource, bool hasTarget, bool hasPeer);
    std::optional<std::string> currentDestinationPath();
    static FileTransferNodePtr makeLocalNode(const std::string& name, const std::string& path,
                                             FileTransferNode::Kind kind);

    // ---- Selection controls and the source status line.
    void sourceCheckboxToggled(platform::View& sender);
    void updateLeftCheckboxState();
    void updateSourceStatusLabel();
    void setAllSourceItemsSelected(bool checked);
    void leftSelectAllClicked();
    void rightSelectAllClicked();
    void backupToggled();

    // ---- This device's folders and folder grants.
    struct LocalRoot {
        std::string name;
        std::string path;
    };
    // Standard folders not inside a grant, then the grants; ticks and
    // listings below the old roots are dropped.
    void loadLocalRoots();
    // The stored grants that resolve, open and are not inside another, in
    // stored order.
    std::vector<LocalRoot> resolvedAuthorizedLocalRoots();
    bool appendLocalRoot(const std::string& name, const std::string& path, FileTransferNode::Kind kind);
    bool startSecurityScopedAccess(const std::string& path);
    // Whether a transfer may write into the folder without asking.
    bool isFolderAuthorized(const std::string& path);
    void loadLocalChildren(const FileTransferNodePtr& node);
    bool localDirectoryNeedsAuthorization(const FileTransferNode& node);
    void addLocalFolder();
    void presentFolderAuthorizationPanel(const std::optional<std::string>& suggestedPath);
    void addLocalBookmark(const std::string& path);
    // Asks whether to allow transfers into the folder; the completion runs
    // once with the answer. A request while one is shown is dropped.
    void presentFolderAuthorizationConfirmation(const std::string& path, std::function<void(bool)> completion);
    void authorizationConfirmationAllowPressed();
    void authorizationConfirmationCancelPressed();
    // Tilde expanded, "." and ".." removed lexically, no trailing "/".
    static std::string normalizedLocalPath(const std::string& path);
    // Component-wise: "/a/bc" is not within "/a/b"; everything is within "/".
    static bool pathLiesWithin(const std::string& path, const std::string& root);

    // ---- The Host's folders.
    void loadRemoteRoots();
    void loadRemoteChildren(const FileTransferNodePtr& node);
    void reloadRemoteChildren(const FileTransferNodePtr& node);
    void handleRemoteListing(const platform::UUID& requestID, const std::string& resolvedPath,
                             const std::vector<RemoteDirectoryEntry>& entries);

    // ---- Outline delegate and actions.
    std::shared_ptr<platform::View> outlineViewViewFor(platform::OutlineView& view, const platform::TableColumn* column,
                                                       const platform::OutlineItem& item) override;
    bool outlineViewShouldSelectItem(platform::OutlineView& view, const platform::OutlineItem& item) override;
    bool outlineViewShouldExpandItem(platform::OutlineView& view, const platform::OutlineItem& item) override;
    void outlineViewSelectionDidChange(platform::OutlineView& view) override;
    void outlineViewDoubleClicked(platform::View& sender);

    // ---- Starting a transfer: the execute button's action.
    void executeTransfer();
    // The first listed folder row (never a file or placeholder) whose path
    // is `path`, literally or after this device's tilde expansion; rows
    // never listed are not looked into.
    static FileTransferNodePtr destinationNode(const NodeList& roots, const std::string& path);

    // ---- Following the transfer. The owner reports each batch with these
    // calls, on the main thread; a call for any batch but the one the
    // window follows changes nothing.
    void transferDidStart(const platform::UUID& batchID, int64_t fileCount, uint64_t totalBytes);
    void transferDidUpdateProgress(const platform::UUID& batchID, uint64_t sentBytes, uint64_t total);
    // Every byte went out; the Host is now saving the batch.
    void transferDidFinishSending(const platform::UUID& batchID);
    void transferDidRequestCancellation(const platform::UUID& batchID);
    // `peerConfirmed`: the Host's save receipt for the batch arrived.
    void transferDidComplete(const platform::UUID& batchID, bool cancelled, bool peerConfirmed);
    void transferDidFail(const platform::UUID& batchID, const std::string& message,
                         const std::optional<std::string>& summary);
    // The owner lost its session with the Host: no receipt and no further
    // report can come, so the followed batch, also one waiting for the
    // Host's save ("Waiting for Save…"), ends failed.
    void hostSessionDidEnd();
    // The Cancel button's action.
    void cancelActiveTransfer();
    // Raises the window (for an alert, or when shown) and returns it; none
    // without one.
    std::shared_ptr<platform::Window> foregroundWindow();
    // The running transfer is over: no batch is active in the window.
    void endActiveTransfer();

    // ---- Demo mode: sample trees on both sides and no transfers, for the
    // rest of the window's life.
    void showDemoListing();
    // A fresh sample tree under one root named `sideName`.
    static NodeList demoRoots(const std::string& sideName);

    // ---- Outline data source.
    int outlineViewNumberOfChildrenOfItem(platform::OutlineView& view, const platform::OutlineItem& item) override;
    platform::OutlineItem outlineViewChildOfItem(platform::OutlineView& view, int index,
                                                 const platform::OutlineItem& item) override;
    bool outlineViewIsItemExpandable(platform::OutlineView& view, const platform::OutlineItem& item) override;
    void outlineViewSortDescriptorsDidChange(platform::OutlineView& view,
                                             const std::vector<platform::SortDescriptor>& old) override;

    // ---- What tests read and install.
    const FileTransferWindowViews& views() const { return views_; }
    TransferPanelDirection direction() const { return direction_; }
    const NodeList& localRoots() const { return localRoots_; }
    const NodeList& remoteRoots() const { return remoteRoots_; }
    const std::vector<platform::SortDescriptor>& fileTreeSortDescriptors() const { return fileTreeSortDescriptors_; }
    const std::optional<std::string>& targetDirectoryPath() const { return targetDirectoryPath_; }
    const std::optional<std::string>& selectedPeerID() const { return selectedPeerID_; }
    const std::optional<std::string>& selectedPeerName() const { return selectedPeerName_; }
    bool backupEnabled() const { return backupEnabled_; }
    void setLocalRootsForTesting(NodeList roots);
    void setRemoteRootsForTesting(NodeList roots);
    void setRemoteHomePathForTesting(std::optional<std::string> home) { remoteHomePath_ = std::move(home); }
    const std::optional<std::filesystem::path>& lastAuthorizedFolderURL() const { return lastAuthorizedFolderURL_; }
    const std::shared_ptr<platform::OpenPanel>& folderAuthorizationPanel() const { return folderAuthorizationPanel_; }
    const std::shared_ptr<platform::Panel>& authorizationConfirmationPanel() const {
        return authorizationConfirmationPanel_;
    }
    const std::optional<std::string>& remoteHomePath() const { return remoteHomePath_; }
    size_t pendingRemoteRequestCount() const { return pendingRemoteRequests_.size(); }
    void setActiveTransferBatchIDForTesting(std::optional<platform::UUID> id) { activeTransferBatchID_ = id; }
    const std::optional<platform::UUID>& activeTransferBatchID() const { return activeTransferBatchID_; }
    const std::set<platform::UUID>& cancelledTransferBatchIDs() const { return cancelledTransferBatchIDs_; }
    bool demoMode() const { return demoMode_; }

private:
    FileTransferWindowController(Dependencies deps, std::shared_ptr<platform::Window> window);

    // The layout, built once.
    void buildUI();
    struct FilePane {
        std::shared_ptr<platform::View> container;
        std::shared_ptr<platform::OutlineView> outlineView;
        std::shared_ptr<platform::View> selectAllControl;
        std::shared_ptr<platform::View> statusLabel;
        std::shared_ptr<platform::View> titleLabel;
    };
    FilePane buildFilePane(const std::string& label, bool hasCheckbox, bool showsFolderAccess);
    // Wires a control to one of the controller's methods, held weakly.
    void bindAction(platform::View& control, const std::string& name, void (FileTransferWindowController::*method)());

    // No Host is selected any more; the titles and the button say so.
    void clearSelectedPeer();
    // Listings asked of the previous Host, or of discarded rows, must not
    // land: their replies are ignored from now on.
    void forgetRemoteRequests();
    // Sending and receiving, once the window decided a transfer may start.
    void performTransfer(const std::vector<std::filesystem::path>& urls, const std::string& targetDir,
                         const std::string& peerID);
    void requestReceiveTransfer(const std::vector<std::string>& paths, const std::string& targetDir);
    FileTransferDeliveryOptions transferDeliveryOptions() const;
    // Lists the destination folder again after a successful batch.
    void refreshDestinationAfterSuccessfulTransfer(TransferPanelDirection direction,
                                                   const std::optional<std::string>& targetPath,
                                                   const FileTransferNodePtr& targetNode);
    // The window starts following a batch the owner accepted.
    void beginTransfer(const platform::UUID& batchID, int64_t itemCount, TransferPanelDirection direction,
                       const std::string& targetDir);
    bool isActiveTransfer(const platform::UUID& batchID) const;
    void presentCompletionAlert(TransferPanelDirection direction, bool peerConfirmed, int64_t count,
                                const std::string& peerName);
    // Raises `window` and begins `alert` as a sheet on it; the window's
    // level and behaviour come back when the sheet ends.
    static void beginRaisedSheet(const std::shared_ptr<platform::Alert>& alert,
                                 const std::shared_ptr<platform::Window>& window);
    void presentDemoListingAlert();

    // The 6 s and 20 s checks of one listing request.
    void scheduleListingChecks(const FileTransferNodePtr& node, const platform::UUID& requestID);
    bool isPendingRequest(const FileTransferNode& node, const platform::UUID& requestID) const;
    void learnRemoteHome(const std::string& askedPath, const std::string& resolvedPath);
    FileTransferNodePtr makePlaceholder(const std::string& name, const FileTransferNodePtr& folder) const;
    bool isSourceTree(const platform::OutlineView& view) const;
    const NodeList& rootsOf(const platform::OutlineView& view) const;
    const NodeList& sourceRoots() const;
    std::shared_ptr<platform::OutlineView> sourceOutlineView() const;
    std::shared_ptr<platform::View> sourceStatusLabel() const;
    // The unique top-level items the source tree's ticks stand for.
    NodeList sourceTransferItems() const;
    // The name order of the locale, made on first use after each re-sort.
    const platform::TextCollation& nameCollation() const;
    static void reload(const std::shared_ptr<platform::OutlineView>& view);
    static void setText(const std::shared_ptr<platform::View>& view, const std::string& text);

    Dependencies deps_;
    TransferPanelDirection direction_ = TransferPanelDirection::sendToHost;
    // Root rows of the left (this device) and right (Host) trees; replacing
    // an array releases its tree, so the outline view is reloaded with it.
    NodeList localRoots_;
    // The order shared by both trees.
    std::vector<platform::SortDescriptor> fileTreeSortDescriptors_{platform::SortDescriptor{"name", true}};
    NodeList remoteRoots_;
    // The chosen destination folder, held as a path so that it survives
    // re-sorting and a change of Host.
    std::optional<std::string> targetDirectoryPath_;
    // Set and cleared together.
    std::optional<std::string> selectedPeerID_;
    std::optional<std::string> selectedPeerName_;
    bool backupEnabled_ = false;
    // The destination row that carries the target marker.
    FileTransferNodePtr previousTargetNode_;
    // Set while a batch runs: the window is busy.
    std::optional<platform::UUID> activeTransferBatchID_;
    // The count and Host name the progress and outcome texts show; kept
    // after the batch ends.
    int64_t activeTransferItemCount_ = 0;
    std::string activeTransferPeerName_ = "Host";
    // Where the active batch goes, for the refresh after it succeeded.
    std::optional<TransferPanelDirection> activeTransferDirection_;
    std::optional<std::string> activeTransferTargetPath_;
    FileTransferNodePtr activeTransferTargetNode_;
    // Batches whose cancellation was asked in this window: they end as
    // cancelled whatever the owner reports.
    std::set<platform::UUID> cancelledTransferBatchIDs_;
    // Sample trees instead of a Host; never ends.
    bool demoMode_ = false;
    // The Host's home folder once a listing reply told it; "~" paths of the
    // Host tree are compared against it, never against this device's home.
    std::optional<std::string> remoteHomePath_;
    std::optional<std::filesystem::path> lastAuthorizedFolderURL_;
    // Folder scopes this controller opened, by standardised path; all are
    // stopped when it goes.
    std::map<std::string, std::string> activeSecurityScopedURLs_;
    std::shared_ptr<platform::OpenPanel> folderAuthorizationPanel_;
    std::shared_ptr<platform::Panel> authorizationConfirmationPanel_;
    std::function<void(bool)> authorizationConfirmationFinish_;
    // Host listings in flight, each to the folder row waiting for it.
    std::map<platform::UUID, FileTransferNodePtr> pendingRemoteRequests_;
    mutable std::unique_ptr<platform::TextCollation> nameCollation_;
    FileTransferWindowViews views_;
};
