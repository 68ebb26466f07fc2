#pragma once
// The Host's application delegate and the one owner of the shell's state:
// it chooses between the permission setup mode and normal running, brings
// the Host up and down, wires the Viewer session server and the clipboard
// bridge together, and shows the summary window, the About panel and the
// Host's alerts. Every method runs on the main queue and asserts it, except
// the hooks that say otherwise.
//
// Each Part of the shell keeps its fields in a state struct of its own,
// declared in its own header, and its methods in its own .cpp file.

#include <array>
#include <filesystem>
#include <cstdint>
#include <optional>
#include <vector>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "HostApp/ComponentWiringState.h"
#include "HostApp/FileDelivery/HostFileDeliveryState.h"
#include "HostApp/Shell/HostLifecycleState.h"
#include "HostApp/Onboarding/InitialInstallGuideWindow.h"
#include "HostApp/Shell/MainMenuState.h"
#include "HostApp/Onboarding/PermissionOnboardingState.h"
#include "HostApp/Onboarding/ScreenCaptureRelaunchState.h"
#include "HostApp/Shell/StatusPresentationState.h"
#include "HostApp/Shell/SummaryWindowState.h"
#include "HostApp/FileDelivery/ViewerPathConfinement.h"
#include "HostApp/Updates/HostUpdateState.h"
#include "Platform/AppKit/AppKit.h"
#include "VelantrixProfiles/ReleaseFeed/VelantrixReleaseFeed.h"
#include "Platform/AppKit/AppKitMenu.h"
#include "Platform/AppKit/AppKitServices.h"
#include "Platform/AppKit/AppKitStatusBar.h"
#include "HostApp/Display/HostDisplayModeSwitcher.h"
#include "VelantrixProfiles/FileTransferWindow/FileTransferDeliveryResult.h"
#include "VelantrixProfiles/FileTransfer/SendDestinationPicker.h"

// The two launch flags, noted by `main` by plain presence.
struct HostLaunchFlags {
    bool unattendedUpgrade = false;  // "--velantrix-unattended-upgrade"
    bool initialInstall = false;     // "--velantrix-initial-install"
};

// Who triggered an action: the log says "menu" for a menu item.
enum class HostActionSender { none, menuItem, control };

class HostProbeDelegate : public platform::ApplicationDelegate,
                          public platform::MenuDelegate,
                          public platform::ServicesProvider,
                          public std::enable_shared_from_this<HostProbeDelegate> {
public:
    // `serverConfiguration` is what the server is made with (ports, console
    // user; tests add loopback, a directory and a DNS-SD registration).
    HostProbeDelegate(HostLaunchFlags launch, V230HostAudioAuxServerConfiguration serverConfiguration);
    ~HostProbeDelegate() override;

    // Set once by `main`, never changed.
    const bool hostIsUnattendedUpgradeLaunch;
    const bool hostIsInitialInstallLaunch;

    // --- Entry point and application lifecycle (HostLifecycle.cpp) -----------------
    void applicationDidFinishLaunching() override;
    // Brings the Host up, once per process.
    void startHostInNormalMode();
    void applicationDidBecomeActive() override;
    bool applicationShouldHandleReopen(bool hasVisibleWindows) override;
    bool applicationShouldTerminateAfterLastWindowClosed() override;
    platform::TerminateReply applicationShouldTerminate() override;
    void presentQuitHostConfirmation();
    void handleQuitAppleEvent(const platform::AppleEvent& event, platform::AppleEvent& reply);
    void requestQuitMenuAction(HostActionSender sender);
    void applicationWillTerminate() override;
    // After the run loop ended: waits up to `seconds` for the server's
    // tear-down that termination began; true when it is done (or none ran).
    bool waitForServerStopAfterRunLoop(double seconds);
    void terminateInstallerIfRunning();
    void registerWorkspacePowerObservers();
    void unregisterWorkspacePowerObservers();
    // SIGINT or SIGTERM: quit without asking, with the usual tear-down.
    void handleTerminationSignal(int signal);
    // The whole life of a Host process after its command line: the
    // application with a delegate for `configuration`, run until a
    // termination (a signal included), then the server's tear-down waited
    // for, and the process ended with the application's status.
    [[noreturn]] static void runUntilTerminated(const HostLaunchFlags& flags,
                                                const V230HostAudioAuxServerConfiguration& configuration);
    // The lock file whose holder is the one Host of its data root, in the
    // Host's application-support folder.
    static std::filesystem::path hostLockFileURL();
    // How long the process waits after its run loop for the server's
    // tear-down; a relaunch helper must wait longer than this.
    static constexpr double serverStopWaitLimitSeconds = 10;
    // How a relaunch flag names the process that set it (its identifier and
    // start time), so that no later process acts on it.
    static std::string relaunchOwnerRecord(int32_t pid, uint64_t startTime);
    // Setup mode without the installer's onboarding: on to normal mode once
    // both grants are present.
    void leaveSetupModeIfGranted();

    // --- Component wiring (ComponentWiring.cpp) ---------------------------------------
    void startAudioAuxServer();
    void configureClipboardBridgeIfNeeded();
    // The server, from any thread.
    std::shared_ptr<V230HostAudioAuxServer> audioServer() const { return components.audioServer.load(); }

    // --- Summary window, About panel and alerts (SummaryWindow.cpp) -------------------
    std::shared_ptr<platform::Window> makeSummaryWindow();
    void showSummaryWindowAction(HostActionSender sender);
    void scheduleSummaryWindowAutoClose(double after);
    void showAboutPanelAction(HostActionSender sender);
    // Shows the alert as a sheet on the summary window and waits for it,
    // running the main queue meanwhile.
    platform::ModalResponse runHostModalAlert(const std::shared_ptr<platform::Alert>& alert);
    // Brings the window forward at once and begins the alert as a sheet on
    // it 0.15 s later (after any sheet already there); returns at once.
    void beginHostForegroundSheet(const std::shared_ptr<platform::Alert>& alert,
                                  const std::shared_ptr<platform::Window>& window,
                                  std::function<void(platform::ModalResponse)> completion);
    // Creates the summary window when there is none, then begins the alert
    // as a foreground sheet on it.
    void presentHostAlertSheet(const std::shared_ptr<platform::Alert>& alert,
                               std::function<void(platform::ModalResponse)> completion = nullptr);
    // Floating level, the Host's Spaces placement, visible while inactive.
    static void raiseWindowLevelAndPlacement(platform::Window& window, int level);
    // Floating and placed as above, de-miniaturised, made key and ordered
    // front, the application activated, and made key once more.
    static void bringWindowToFront(platform::Window& window);

    // --- Status refresh and presentation (StatusPresentation.cpp) ---------------------
    // Any thread: one coalesced update on the main queue per turn.
    void updateHostPresentation();
    void updateHostPresentationNow();
    void refresh(bool forceDisplayDiagnostics, bool probeScreenSharing);
    void refreshButtonPressed();
    std::vector<std::string> connectedViewerAddresses() const;
    std::string connectedViewerText() const;
    // The four numbers of a dotted IPv4 address, or none.
    static std::optional<std::array<int, 4>> ipv4Octets(const std::string& text);
    static std::string routeAddressText(const VelantrixRouteRecord& route,
                                        const std::vector<std::string>& currentViewerAddresses);
    static std::string summaryAddressText(const std::vector<VelantrixRouteRecord>& routes,
                                          const std::vector<std::string>& currentViewerAddresses);
    static std::string menuAddressText(const std::vector<VelantrixRouteRecord>& routes,
                                       const std::vector<std::string>& currentViewerAddresses);
    void probeRoutesAsync(int64_t generation);
    void checkLocalVNC(int64_t generation);
    void refreshDisplayState(int64_t generation, bool forceDisplayDiagnostics);
    void updateDisplayPopup(const std::vector<DisplaySelectionOption>& options, uint32_t selectedID);
    // Any thread but the server queue.
    static std::string hostDisplayDiagnostics(const std::shared_ptr<V230HostAudioAuxServer>& server);
    void useDisplayButtonPressed();
    void virtualDisplayCheckboxChanged(platform::View& checkbox);

    // --- Main menu and status item (MainMenu.cpp) --------------------------------------
    void configureMainMenu();
    void configureStatusItem();
    void updateStatusItemButtonTitle(platform::StatusBarButton& button);
    std::string hostStatusItemHostName() const;
    void menuWillOpen(platform::Menu& menu) override;
    std::shared_ptr<platform::MenuItem> makeHostLanguageMenuItem();
    void hostLanguageMenuAction(platform::MenuItem& sender);
    void refreshHostLanguageMenuPresentation(platform::Menu& menu);
    void refreshHostLocalization();
    void refreshHostMainMenuLocalization();
    void refreshHostStatusMenuLocalization();
    void localizeTopMenu(platform::Menu& menu, size_t index, const std::string& title);
    void setMenuItemTitle(platform::Menu& menu, const std::string& action, const std::string& title);
    void launchAtLoginCheckboxChanged(platform::View& checkbox);
    void toggleLaunchAtLoginMenuAction(platform::MenuItem& sender);
    void updateLaunchAtLoginCheckbox();
    void openWebsiteMenuAction();
    void openUserGuideMenuAction();
    void openPrivacyPolicyMenuAction();
    void openTermsOfServiceMenuAction();
    void openReleaseNotesMenuAction();
    // Opens a page of the product site in the website language.
    void openHostWebsite(const std::string& path, const std::optional<std::string>& fragment);

    // --- Permission onboarding (PermissionOnboarding.cpp) ------------------------------
    using PermissionRequestKind = ::PermissionRequestKind;
    using InitialInstallOnboardingStep = ::InitialInstallOnboardingStep;
    // The installer's marker: "initial-install-onboarding-build" in the
    // machine-wide Application Support folder.
    static std::filesystem::path initialInstallOnboardingMarkerURL();
    bool hasPendingInitialInstallOnboarding();
    bool initialInstallOnboardingMarkerMatches(const std::string& build);
    void configureSetupModeStatusItem();
    void removeSetupModeStatusItem();
    void refreshSetupModeStatusMenuLocalization();
    void openInitialInstallGuideFromStatusMenu();
    void openAccessibilitySettingsFromStatusMenu();
    void openScreenCaptureSettingsFromStatusMenu();
    void observeInitialInstallPermissionCompletion();
    void advanceInitialInstallOnboarding();
    void presentInitialInstallOnboardingStep();
    void handleInitialInstallGuidePrimary(InitialInstallOnboardingStep step);
    void handleInitialInstallGuideOpen(InitialInstallOnboardingStep step, int index);
    void confirmInitialInstallOnboarding();
    bool completeInitialInstallOnboardingAfterConfirmation();
    void presentInitialInstallCompletionCountdown();
    void advanceInitialInstallCompletionCountdown();
    void finishInitialInstallCompletionCountdown();
    std::shared_ptr<InitialInstallGuideWindow> makeInitialInstallGuideWindow();
    void openInitialInstallPermissionPane(PermissionRequestKind kind);

    // --- Permission prompts and relaunch (PermissionPrompts.cpp) -----------------------
    void prepareForSystemPermissionPrompt();
    void requestAccessibilityWhenActive(int remainingChecks);
    void requestScreenRecordingWhenActive(int remainingChecks);
    void requestScreenCapturePermissionAndOpenSettings();
    void triggerScreenCaptureRelaunchIfNeeded(const std::string& reason);
    void presentScreenCaptureRestartPrompt();
    void scheduleHostRelaunch(const std::string& reason);
    void openSystemSettingsPrivacyPane(const std::string& anchor);
    void triggerLocalNetworkPermissionPrompt();

    // --- Installer permission requests (InstallerPermissionRequests.cpp) ---------------
    void handlePermissionURLEvent(const platform::AppleEvent& event, platform::AppleEvent& reply);
    void enqueueInstallerPermissionRequest(PermissionRequestKind kind);

    // --- Update checks (Updates/HostUpdateChecks.cpp) -------------------------------------
    void checkForHostUpdateOnLaunch();
    void startHourlyUpdateCheck();
    void performHourlyUpdateCheck();
    void presentAutoUpdateCountdownWindow(const VelantrixReleaseFeed::Product& latest);
    // The manual install flow ("Update Version").
    void requestOnlineUpdateAction();
    void presentUpdateCheckFailedAlert();
    void presentHostUpToDateAlert();
    void presentAutomaticUpdaterUnavailableAlert();
    void refreshOnlineUpdateButtonPresentation();
    void setHostAutoUpdateEnabled(bool enabled);
    // The "Automatically Install Updates" items; the sender is the item
    // chosen.
    void toggleAutoUpdateMenuAction(platform::MenuItem& sender);
    void presentUpgradeNoticeIfNeeded();

    // --- Host outgoing sends and inbound delivery (HostOutgoingSends.cpp, HostInboundDelivery.cpp)
    // The Services messages: the files of the request's pasteboard go to
    // the device and folder the user picks next. An empty pasteboard sets
    // `error`.
    bool performService(const std::string& message, const platform::Pasteboard& pasteboard,
                        const std::optional<std::string>& userData, std::optional<std::string>& error) override;
    void sendFilesToVelantrixViewer(const platform::Pasteboard& pasteboard, const std::optional<std::string>& userData,
                                    std::optional<std::string>& error);
    void sendFilesToViewer(const platform::Pasteboard& pasteboard, const std::optional<std::string>& userData,
                           std::optional<std::string>& error);
    void sendFilesViaVelantrix(const platform::Pasteboard& pasteboard, const std::optional<std::string>& userData,
                               std::optional<std::string>& error);
    void sendToViewer(const platform::Pasteboard& pasteboard, const std::optional<std::string>& userData,
                      std::optional<std::string>& error);
    void sendToHost(const platform::Pasteboard& pasteboard, const std::optional<std::string>& userData,
                    std::optional<std::string>& error);
    // The file URLs of a Services pasteboard, each file once, as first read.
    static std::vector<std::filesystem::path> serviceFileURLs(const platform::Pasteboard& pasteboard);
    // One option per file peer; without any, one "viewer" option for all.
    static std::vector<SendDestinationOption> sendDestinationOptions(const std::vector<FileTransferPeer>& peers,
                                                                     const std::vector<std::string>& viewerNames);
    // Asks where the files go (modal), then sends them there.
    void presentSendDestinationPicker(const std::vector<std::filesystem::path>& urls);
    void dispatchSendToViewer(const std::vector<std::filesystem::path>& urls, const std::string& destination,
                              const std::optional<std::string>& routingToken);
    // The drag-pull hook; server queue. The item goes to the pulling session.
    void handleDragPullRequest(uint32_t snapshotID, uint32_t index, const platform::UUID& sessionID);
    void invalidateInboundFileClipboardClaim(const std::string& reason);
    // The Viewers' names as one text ("Norvessal" when there is none).
    static std::string viewerDisplayNameSummary(const std::vector<std::string>& names);
    // The file-packet hooks; server queue.
    void handleIncomingFileTransferPacket(FileTransferPacket packet, const platform::UUID& viewerSession);
    // The service's send hook: to the session a routing token names, a
    // listing reply to the session that asked, else to every Viewer.
    // Whether any connection took the packet. Any thread.
    bool routeFileTransferPacket(FileTransferPacket packet, const std::optional<std::string>& routingToken);
    // A Viewer session can no longer take part in transfers. Any queue; on
    // the one that hands its packets in, so that the end reaches its
    // batches after everything it sent (forgetEndedSessionBatches).
    void handleFileTransferSessionEnded(const platform::UUID& viewerSession);
    // The ended session's inbound batches, complete or not, are cancelled
    // and forgotten; those being delivered stop before their next item.
    // Main queue, after every batch the session started was reported.
    void forgetEndedSessionBatches(const std::string& session);
    // An inbound batch its Viewer cancelled, or the engine dropped on its
    // own (idle, or its session ended): its row fails and the Host forgets
    // it; one being delivered stops before its next item.
    void handleInboundBatchAbandoned(const platform::UUID& batchID);
    // Where Viewers' paths must stay, or none when the Host runs as the
    // console user. Any thread.
    std::optional<ViewerPathConfinement> viewerPathConfinement() const;
    // A destination path a Viewer sent, as a folder: standardised, created
    // when missing; nothing for a file or a folder that cannot be made.
    static std::optional<std::filesystem::path> resolveDestinationHint(const std::string& hint);
    // The destination a Viewer named, opened for the batch's moves: beneath
    // the console user's home without following links under confinement,
    // else as resolveDestinationHint finds it; then it must be a folder the
    // process may write, as a real attempt there finds. Why not otherwise.
    // Touches the disk and the directory service: utility queue.
    static platform::Result<std::shared_ptr<platform::ConfinedFolder>> openDestinationHint(
        const std::string& hint, const std::optional<ViewerPathConfinement>& confinement);
    // The receive decision once the destination was looked for (main queue).
    void continueInboundBatchStart(const platform::UUID& batchID, bool managed,
                                   std::shared_ptr<platform::ConfinedFolder> folder);
    // The service's inbound batch hooks (main queue): the receive decision
    // from what the engine knew at the batch's start, and the staged items
    // once the batch is complete.
    void handleInboundBatchStarted(const platform::UUID& batchID, int64_t fileCount, uint64_t totalBytes,
                                   const std::vector<std::string>& itemNames, const FileTransferBatchStartInfo& start);
    // What the batch holds on its peer's account goes on with its items.
    void handleInboundBatchCompleted(const platform::UUID& batchID, const std::vector<std::filesystem::path>& staged,
                                     FileTransferIntent intent, const FileTransferDeliveryResult& unsaved,
                                     ReceivedBatchHoldings& held);
    // Where a batch that is not a Finder drop goes: the folder it names,
    // a refusal, or the save-location panel (main queue).
    void decideInboundDestination(const platform::UUID& batchID, const FileTransferBatchStartInfo& start);

    // --- Staged-file delivery (HostStagedFileDelivery.cpp) ----------------------------
    // Delivers once both the destination and the staged items are known.
    void tryDeliverFileBatch(const platform::UUID& batchID);
    // Moves without asking and never over anything: a clash gets "name 1.ext".
    // Once `stop` is set no further item moves.
    std::vector<std::filesystem::path> moveStagedFiles(const std::vector<std::filesystem::path>& items,
                                                       const platform::ConfinedFolder& folder,
                                                       const std::shared_ptr<std::atomic<bool>>& stop = nullptr);
    // A cancel, or its Viewer leaving, while a batch's items are moving:
    // no further item moves and the delivery's own end reports what was
    // saved. False when no delivery of the batch is under way.
    bool stopInboundDelivery(const platform::UUID& batchID);
    // The end of the delivery of the batch's start `serial`.
    void finishFileDelivery(const platform::UUID& batchID, uint64_t serial, size_t requestedCount,
                            const std::filesystem::path& folder, const FileTransferDeliveryResult& result);
    // A managed copy's one receipt, to the session that named its folder.
    void sendManagedCopyDeliveryResponse(const platform::UUID& batchID, bool accepted,
                                         const std::optional<std::string>& message);
    // The Finder drop: the items moved off the main queue into the folder
    // Finder shows (`shownFolder`), else onto the Desktop of the user the
    // drop is for; then the row, the log and the reveal on it. No receipt.
    // `held` is given back as what it holds goes: the staged bytes once
    // what was not moved is removed, the batch's place once it is let go.
    void deliverDroppedFiles(const std::vector<std::filesystem::path>& staged,
                             const std::optional<std::filesystem::path>& shownFolder, const platform::UUID& batchID,
                             std::shared_ptr<ReceivedBatchHoldings> held);
    // The folder of Finder's front window, asked by script; nothing when
    // Finder shows none or the script fails (logged).
    std::optional<std::filesystem::path> frontFinderWindowPath();
    // The Desktop, or Downloads when the Desktop is kept in iCloud.
    static std::filesystem::path defaultDropDestination();
    // The drop's moves, off the main queue: numbered names on clashes, as
    // moveStagedFiles, without logging. The URLs where the items landed.
    // The folders they are moved from and into are on `ledger`'s account
    // while they are open; without room for them nothing moves.
    static std::vector<std::filesystem::path> moveFilesOffMain(
        const std::vector<std::filesystem::path>& urls, const std::filesystem::path& folder,
        const std::shared_ptr<platform::WorkLedger>& ledger = nullptr);
    static bool isICloudManaged(const std::filesystem::path& url);
    // What an earlier run left in the inbox (failed items stay staged until
    // then) goes at start-up, off the main queue.
    void removeEarlierInboxFolders();
    // The save-location panel's two answers for the inbound batch's start
    // `serial`.
    void saveLocationPicked(const platform::UUID& batchID, uint64_t serial, const std::filesystem::path& folder);
    // The picked folder as opened off the main queue: recorded for the
    // batch's delivery, or, with a `refusal`, the batch ends unsaved and
    // the Viewer session that sent it is told.
    void savePickedLocation(const platform::UUID& batchID, const std::filesystem::path& folder,
                            std::shared_ptr<platform::ConfinedFolder> opened,
                            const std::optional<std::string>& refusal);
    void saveLocationCancelled(const platform::UUID& batchID, uint64_t serial);

    // --- State, one struct per Part -------------------------------------------------------
    HostLifecycleState lifecycle;
    ComponentWiringState components;
    StatusPresentationState presentation;
    MainMenuState menus;
    SummaryWindowState summary;
    PermissionOnboardingState onboarding;
    ScreenCaptureRelaunchState relaunch;
    HostUpdateState updates;
    HostFileDeliveryState fileDelivery;

private:
    // The summary window, made when there is none.
    const std::shared_ptr<platform::Window>& ensureSummaryWindow();
    // Floating, on the active Space, visible while inactive; made key, the
    // application activated, and made key again (normal start and reopen).
    void bringSummaryWindowForward();
    // The installer's and updater's URL requests ('GURL'), in both modes.
    void installPermissionURLHandler();
    // The onboarding resume shared by the activation, the normal start and
    // the Show Host Status action.
    void resumeInitialInstallOnboardingIfPending();
    // The guide's close box: onboarding skipped, the Host starts anyway.
    void handleInitialInstallGuideClosed();
    // The onboarding step the guide shows, with its callbacks set.
    std::shared_ptr<InitialInstallGuideWindow> ensureInitialInstallGuideWindow();
    // The activation wait shared by both system requests.
    void requestPermissionWhenActive(PermissionRequestKind kind, int remainingChecks);
    // Confirms the quit sheet by itself after 5 s (an installer's request).
    void armQuitAutoConfirm(const std::shared_ptr<platform::Alert>& alert);
    // The install flow from its fetch on (manual and countdown-triggered).
    void runOnlineUpdateFlow();
    // Fetches the feed on a later turn of the main queue, unless the
    // delegate is gone by then, and keeps the delegate until the answer.
    void fetchLatestFeedForUpdateCheck(
        std::function<void(HostProbeDelegate&, std::optional<VelantrixReleaseFeed>)> then);
    // Appends to the diagnostics log.
    void log(const std::string& text) const;
    // What the five Services messages share.
    void handleServicesSend(const platform::Pasteboard& pasteboard, std::optional<std::string>& error);
    // Inbound delivery (HostInboundDelivery.cpp). Server queue, except
    // forgetInboundBatch (main queue).
    // Examines the paths on a utility queue; the answer goes out from
    // `replyQueue`, the queue that asked.
    void servePeerSendRequest(const FileTransferPacket& packet, const platform::UUID& viewerSession,
                              const platform::DispatchQueue& replyQueue);
    // The Viewer-named items of a peer send that may be sent: inside the
    // console user's home, readable, distinct. Under confinement each is
    // kept with the folder it was checked in, opened without following a
    // link, for the send to read by descriptor; otherwise by path.
    struct PeerSendSources {
        std::vector<std::filesystem::path> paths;
        std::vector<FileTransferService::ConfinedSendItem> confined;
        size_t count() const { return paths.size() + confined.size(); }
    };
    // Utility queue.
    static PeerSendSources peerSendSources(const std::vector<std::string>& paths,
                                           const std::optional<ViewerPathConfinement>& confinement);
    // Drops the batch's entry, and with it everything it held, and its claim.
    void forgetInboundBatch(const platform::UUID& batchID);
    void refuseBatchAwaitingSaveLocation(const platform::UUID& batchID, const std::string& text);

    const V230HostAudioAuxServerConfiguration serverConfiguration_;
};

// Asserts that the caller runs on the main queue.
void assertMainQueue();
