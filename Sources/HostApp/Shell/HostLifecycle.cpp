// How the Host starts, chooses between the permission setup mode and normal
// running, brings normal mode up in a fixed order, reacts to activation,
// reopen, sleep and wake, and quits (confirmation sheet, automatic
// confirmation of an installer's quit request, tear-down).

#include <cstdio>
#include <cstdlib>

#include "HostApp/AuxServer/AuxAdmission.h"
#include "HostApp/AuxServer/FileTransferChannelState.h"
#include "HostApp/Shell/DiagnosticLogBuffer.h"
#include "HostApp/Shell/HostLaunchAtLogin.h"
#include "HostApp/HostProbeDelegate.h"
#include "HostApp/Shell/HostVersionStrings.h"
#include "HostApp/Input/HostInputSourceKind.h"
#include "Platform/SimulatedMac/Accessibility.h"
#include "Platform/Files/Folders.h"
#include "Platform/Files/InstanceLock.h"
#include "Platform/SimulatedMac/ScreenCaptureKit.h"
#include "Platform/Runtime/DescriptorLimit.h"
#include "Platform/Runtime/FreedMemory.h"
#include "Platform/Runtime/WorkLedger.h"
#include "Platform/Runtime/Signals.h"
#include "Platform/Runtime/Log.h"
#include "Platform/SimulatedMac/TextInputSources.h"
#include "Platform/Foundation/UserDefaults.h"
#include "Platform/AppKit/Workspace.h"
#include "VelantrixProfiles/Localization/VelantrixL10n.h"

using platform::Application;
using platform::DispatchQueue;
using platform::NotificationCenter;

namespace {
constexpr double kSummaryAutoCloseSeconds = 5.0;
constexpr double kQuitAutoConfirmSeconds = 5.0;
constexpr double kRefreshIntervalSeconds = 2.0;

std::string quitAutoConfirmNote() {
    return VelantrixL10n::format("host.quitAutoConfirmNoteFormat",
                                 "The installer is restarting Norvessal Host. Without any action the Host quits and "
                                 "reopens automatically in %d seconds.",
                                 5);
}
}  // namespace

void assertMainQueue() { DispatchQueue::main().dispatchPrecondition(); }

HostProbeDelegate::HostProbeDelegate(HostLaunchFlags launch, V230HostAudioAuxServerConfiguration serverConfiguration)
    : hostIsUnattendedUpgradeLaunch(launch.unattendedUpgrade),
      hostIsInitialInstallLaunch(launch.initialInstall),
      serverConfiguration_(std::move(serverConfiguration)) {
    components.clipboardBridge = std::make_shared<ClipboardSyncBridge>("Viewer", platform::Pasteboard::general(),
                                                                       33554432, 50331648);
    components.fileTransferService = std::make_shared<FileTransferService>("Viewer", 262144);
    presentation.statusLabel =
        platform::View::label(VelantrixL10n::text("host.checkingScreenSharing", "Checking Screen Sharing..."));
    presentation.audioStatusLabel = platform::View::label(VelantrixL10n::text("host.auxStarting", "Aux: starting..."));
    presentation.summaryStatusLabel =
        platform::View::label(VelantrixL10n::text("host.starting", "Norvessal Host is starting..."));
    presentation.summaryAddressLabel =
        platform::View::label(VelantrixL10n::text("host.ipsChecking", "Host IPs: checking..."));
    presentation.summaryViewerLabel =
        platform::View::label(VelantrixL10n::text("host.viewerNone", "Viewer: none connected"));
}

HostProbeDelegate::~HostProbeDelegate() = default;

void HostProbeDelegate::log(const std::string& text) const { components.diagnosticLog->append(text); }

// --- Launch ------------------------------------------------------------------------

void HostProbeDelegate::applicationDidFinishLaunching() {
    assertMainQueue();
    // A relaunch flag left by an earlier process (killed before it could
    // act on it) is not this one's to honour.
    triggerScreenCaptureRelaunchIfNeeded("start-up");
    const std::string marker = hostBuildMarkerString();
    log("build marker: " + marker);
    platform::Log::raw("[NorvessalHost] build marker: " + marker);
    platform::Log::raw("[NorvessalHost] verifier: Velantrix-HostRoute-ThunderboltIPv6First");
    platform::Log::raw("[NorvessalHost] verifier: Velantrix-HostRoute-TypedAddressAdvertisement");
    platform::Log::raw("[NorvessalHost] verifier: Velantrix-HostRoute-ThunderboltMemberPorts");
    std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
    HostLaunchAtLogin::configureDefaultIfNeeded([weak](const std::string& text) {
        if (auto self = weak.lock()) self->log("launch-at-login: " + text);
    });

    if (!hostIsInitialInstallLaunch && !hasPendingInitialInstallOnboarding()) {
        startHostInNormalMode();
        return;
    }
    if (platform::AXIsProcessTrusted() && platform::CGPreflightScreenCaptureAccess()) {
        log("permissions: both grants already active — auto-completing onboarding (headless-safe)");
        completeInitialInstallOnboardingAfterConfirmation();
        onboarding.initialInstallOnboardingStep = InitialInstallOnboardingStep::completed;
        terminateInstallerIfRunning();
        startHostInNormalMode();
        return;
    }

    log("permissions: setup mode — permission guide only");
    // An installer's launch whose marker names another build: no onboarding
    // drives this setup mode, yet the grants still decide when it ends.
    onboarding.setupModeWithoutOnboarding = !hasPendingInitialInstallOnboarding();
    configureSetupModeStatusItem();
    installPermissionURLHandler();
    resumeInitialInstallOnboardingIfPending();
    DispatchQueue::main().asyncAfter(1.5, [weak] {
        if (auto self = weak.lock()) self->triggerLocalNetworkPermissionPrompt();
    });
}

void HostProbeDelegate::installPermissionURLHandler() {
    std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
    platform::AppleEventManager::shared().setEventHandler(
        platform::kInternetEventClass, platform::kAEGetURL,
        [weak](const platform::AppleEvent& event, platform::AppleEvent& reply) {
            if (auto self = weak.lock()) self->handlePermissionURLEvent(event, reply);
        });
}

void HostProbeDelegate::resumeInitialInstallOnboardingIfPending() {
    if (!hasPendingInitialInstallOnboarding()) {
        log("permissions: no onboarding pending; skipping first-run prompts");
        // Without the poll nothing would notice the grants, and setup mode
        // would last until the user quits.
        if (onboarding.setupModeWithoutOnboarding) observeInitialInstallPermissionCompletion();
    } else if (!isFinishingStep(onboarding.initialInstallOnboardingStep)) {
        observeInitialInstallPermissionCompletion();
        advanceInitialInstallOnboarding();
    }
}

void HostProbeDelegate::startHostInNormalMode() {
    assertMainQueue();
    if (lifecycle.hostNormalModeStarted) return;
    lifecycle.hostNormalModeStarted = true;
    onboarding.setupModeWithoutOnboarding = false;
    log("permissions: starting Host in normal mode (in-process after onboarding)");
    removeSetupModeStatusItem();
    configureMainMenu();
    configureStatusItem();

    std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
    auto& distributed = NotificationCenter::distributedCenter();
    lifecycle.languageObserver = distributed.addObserver(
        VelantrixL10n::languageChangedDistributedNotification,
        [weak](const platform::Notification& n) {
            auto it = n.userInfo.find(VelantrixL10n::languageChangedDistributedIdentifierKey);
            if (it != n.userInfo.end()) VelantrixL10n::applyReceivedLanguageOverride(it->second);
            if (auto self = weak.lock()) self->refreshHostLocalization();
        },
        DispatchQueue::main());
    HostInputSourceKind::refreshCachedCJKInputMethod();
    lifecycle.inputSourceObserver = distributed.addObserver(
        platform::kTISNotifySelectedKeyboardInputSourceChanged,
        [](const platform::Notification&) { HostInputSourceKind::refreshCachedCJKInputMethod(); }, DispatchQueue::main());
    registerWorkspacePowerObservers();

    // Before any Viewer can reach the Host, so nothing of this run is taken;
    // and only by the data root's one Host, as another Host's staging holds
    // batches waiting for a save location.
    auto hold = platform::InstanceLock::acquire(hostLockFileURL());
    if (hold) {
        lifecycle.hostLock = *hold;
        // Staging is checked here once; a batch never checks it again.
        (void)components.fileTransferService->prepareStaging();
        removeEarlierInboxFolders();
    } else {
        log("files: staging of earlier runs kept (" + hold.error().message + ")");
    }
    startAudioAuxServer();
    // A Host nobody can reach has already quit; it must not say "running".
    if (Application::shared().isTerminated()) return;
    configureClipboardBridgeIfNeeded();

    installPermissionURLHandler();

    if (hostIsUnattendedUpgradeLaunch) {
        log("upgrade: unattended installer relaunch");
    } else {
        ensureSummaryWindow();
        updateHostPresentation();
        if (!summary.summaryWindow->isMiniaturized()) bringSummaryWindowForward();
        scheduleSummaryWindowAutoClose(kSummaryAutoCloseSeconds);
        DispatchQueue::main().async([weak] {
            if (auto self = weak.lock()) self->presentUpgradeNoticeIfNeeded();
        });
        checkForHostUpdateOnLaunch();
    }

    updateHostPresentation();
    refresh(true, false);

    platform::AppleEventManager::shared().setEventHandler(
        platform::kCoreEventClass, platform::kAEQuitApplication,
        [weak](const platform::AppleEvent& event, platform::AppleEvent& reply) {
            if (auto self = weak.lock()) self->handleQuitAppleEvent(event, reply);
        });

    if (hostIsUnattendedUpgradeLaunch) {
        log("permissions: deferred interactive prompts for unattended upgrade launch");
    } else {
        DispatchQueue::main().asyncAfter(0.35, [weak] {
            if (auto self = weak.lock()) self->resumeInitialInstallOnboardingIfPending();
        });
        DispatchQueue::main().asyncAfter(2.5, [weak] {
            if (auto self = weak.lock()) self->triggerLocalNetworkPermissionPrompt();
        });
    }

    lifecycle.timer = std::make_unique<platform::DispatchTimer>(DispatchQueue::main(), kRefreshIntervalSeconds, [weak] {
        auto self = weak.lock();
        if (!self) return;
        HostInputSourceKind::refreshCachedCJKInputMethod();
        self->refresh(false, false);
    });
    lifecycle.timer->resume();
    startHourlyUpdateCheck();

    auto& app = Application::shared();
    app.setServicesProvider(shared_from_this());
    app.updateDynamicServices();
}

void HostProbeDelegate::bringSummaryWindowForward() { bringWindowToFront(*summary.summaryWindow); }

// --- Activation and reopen -------------------------------------------------------------

void HostProbeDelegate::applicationDidBecomeActive() {
    assertMainQueue();
    HostInputSourceKind::refreshCachedCJKInputMethod();
    if (hostIsUnattendedUpgradeLaunch || !hasPendingInitialInstallOnboarding()) return;
    if (onboarding.initialInstallOnboardingAwaitingPermissionGrant) {
        const double since =
            platform::Clock::now().timeIntervalSince(onboarding.initialInstallOnboardingLastPermissionRequest);
        if (since < 2.0) return;
        onboarding.initialInstallOnboardingAwaitingPermissionGrant = false;
    }
    onboarding.initialInstallOnboardingAwaitingReturn = false;
    std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
    DispatchQueue::main().async([weak] {
        auto self = weak.lock();
        if (!self) return;
        if (auto& guide = self->onboarding.initialInstallGuideWindow) {
            guide->window()->center();
            guide->window()->orderFrontRegardless();
        }
        if (self->hasPendingInitialInstallOnboarding() &&
            !isFinishingStep(self->onboarding.initialInstallOnboardingStep)) {
            self->observeInitialInstallPermissionCompletion();
            self->advanceInitialInstallOnboarding();
        }
    });
}

bool HostProbeDelegate::applicationShouldHandleReopen(bool hasVisibleWindows) {
    assertMainQueue();
    if (!hasVisibleWindows) {
        if (summary.summaryAutoCloseWorkItem) summary.summaryAutoCloseWorkItem->cancel();
        summary.summaryAutoCloseWorkItem.reset();
        ensureSummaryWindow();
        updateHostPresentation();
        summary.summaryWindow->deminiaturize();
        bringSummaryWindowForward();
    }
    return true;
}

bool HostProbeDelegate::applicationShouldTerminateAfterLastWindowClosed() {
    assertMainQueue();
    return false;
}

// --- Power -----------------------------------------------------------------------------

void HostProbeDelegate::registerWorkspacePowerObservers() {
    assertMainQueue();
    if (!lifecycle.workspacePowerObservers.empty()) return;
    struct PowerEvent {
        const char* notification;
        const char* reason;
        bool screensSleeping;
        bool preflightHeadlessCapture;
    };
    static constexpr PowerEvent kEvents[] = {
        {platform::kWorkspaceWillSleepNotification, "system will sleep", true, true},
        {platform::kWorkspaceScreensDidSleepNotification, "screens did sleep", true, false},
        {platform::kWorkspaceDidWakeNotification, "system did wake", false, false},
        {platform::kWorkspaceScreensDidWakeNotification, "screens did wake", false, false},
    };
    std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
    auto& center = platform::Workspace::notificationCenter();
    for (const auto& event : kEvents) {
        lifecycle.workspacePowerObservers.push_back(center.addObserver(
            event.notification,
            [weak, event](const platform::Notification&) {
                auto self = weak.lock();
                if (!self) return;
                const std::string reason = event.reason;
                self->log(event.screensSleeping ? "power: " + reason + "; keeping Host Aux viewer sessions connected"
                                                : "power: " + reason);
                if (auto server = self->audioServer())
                    server->noteHostPowerState(reason, event.screensSleeping, event.preflightHeadlessCapture);
                if (event.screensSleeping) {
                    self->updateHostPresentation();
                } else {
                    self->refresh(true, false);
                }
            },
            DispatchQueue::main()));
    }
}

void HostProbeDelegate::unregisterWorkspacePowerObservers() {
    assertMainQueue();
    for (auto token : lifecycle.workspacePowerObservers) platform::Workspace::notificationCenter().removeObserver(token);
    lifecycle.workspacePowerObservers.clear();
}

// --- Quitting --------------------------------------------------------------------------

platform::TerminateReply HostProbeDelegate::applicationShouldTerminate() {
    assertMainQueue();
    if (lifecycle.terminationConfirmed) return platform::TerminateReply::now;
    if (relaunch.pendingScreenCaptureRelaunch || hasPendingInitialInstallOnboarding()) {
        lifecycle.terminationConfirmed = true;
        return platform::TerminateReply::now;
    }
    if (!lifecycle.terminationConfirmationInProgress) {
        lifecycle.terminationConfirmationInProgress = true;
        presentQuitHostConfirmation();
    } else if (lifecycle.quitRequestedByExternalTool && !lifecycle.quitAutoConfirmWorkItem) {
        // The installer asked while the user's own quit sheet was up: that
        // sheet must confirm itself too, or the installer waits forever.
        if (auto alert = lifecycle.quitConfirmationAlert.lock()) {
            alert->informativeText += "\n\n" + quitAutoConfirmNote();
            armQuitAutoConfirm(alert);
        }
    }
    return platform::TerminateReply::later;
}

void HostProbeDelegate::presentQuitHostConfirmation() {
    assertMainQueue();
    auto& app = Application::shared();
    app.activate(true);
    auto alert = platform::Alert::make();
    alert->alertStyle = platform::Alert::Style::warning;
    alert->messageText = VelantrixL10n::text("host.quitTitle", "Quit Norvessal Host?");
    alert->informativeText = VelantrixL10n::text(
        "host.quitMessage",
        "After quitting, Viewer will not be able to connect to this Host device until Norvessal Host is opened again.");
    if (lifecycle.quitRequestedByExternalTool) alert->informativeText += "\n\n" + quitAutoConfirmNote();
    alert->addButton(VelantrixL10n::text("host.quitButton", "Quit Host"));
    alert->addButton(VelantrixL10n::text("host.keepRunningButton", "Keep Running"));

    std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
    beginHostForegroundSheet(alert, ensureSummaryWindow(), [weak](platform::ModalResponse response) {
        auto self = weak.lock();
        if (!self) return;
        if (self->lifecycle.quitAutoConfirmWorkItem) self->lifecycle.quitAutoConfirmWorkItem->cancel();
        self->lifecycle.quitAutoConfirmWorkItem.reset();
        self->lifecycle.terminationConfirmationInProgress = false;
        self->lifecycle.quitConfirmationAlert.reset();
        // The installer's request is answered by this sheet either way; a
        // later quit of the same process asks the user afresh.
        self->lifecycle.quitRequestedByExternalTool = false;
        const bool quit = response == platform::kAlertFirstButtonReturn;
        if (quit) self->lifecycle.terminationConfirmed = true;
        Application::shared().replyToApplicationShouldTerminate(quit);
    });

    lifecycle.quitConfirmationAlert = alert;
    if (lifecycle.quitRequestedByExternalTool) armQuitAutoConfirm(alert);
}

void HostProbeDelegate::armQuitAutoConfirm(const std::shared_ptr<platform::Alert>& alert) {
    std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
    std::weak_ptr<platform::Alert> weakAlert = alert;
    lifecycle.quitAutoConfirmWorkItem = platform::makeWorkItem([weak, weakAlert] {
        auto self = weak.lock();
        auto alert = weakAlert.lock();
        if (!self || !alert) return;
        self->log("quit: auto-confirmed the external quit request");
        // Shown or still waiting behind another sheet: the installer's
        // request is answered either way, as a click on "Quit Host" would.
        alert->endWithResponse(platform::kAlertFirstButtonReturn);
    });
    DispatchQueue::main().asyncAfter(kQuitAutoConfirmSeconds, lifecycle.quitAutoConfirmWorkItem);
}

void HostProbeDelegate::handleQuitAppleEvent(const platform::AppleEvent&, platform::AppleEvent&) {
    assertMainQueue();
    lifecycle.quitRequestedByExternalTool = true;
    log("quit: external quit request (installer/updater)");
    DispatchQueue::main().async([] { Application::shared().terminate(); });
}

void HostProbeDelegate::requestQuitMenuAction(HostActionSender) {
    assertMainQueue();
    Application::shared().terminate();
}

void HostProbeDelegate::handleTerminationSignal(int signal) {
    assertMainQueue();
    platform::Log::line(std::string("host: received ") + (signal == 2 ? "SIGINT" : "SIGTERM") + ", shutting down");
    lifecycle.terminationConfirmed = true;
    lifecycle.terminationBySignal = true;
    Application::shared().terminate();
}

std::filesystem::path HostProbeDelegate::hostLockFileURL() {
    return platform::Folders::applicationSupport() / "host.lock";
}

void HostProbeDelegate::applicationWillTerminate() {
    assertMainQueue();
    triggerScreenCaptureRelaunchIfNeeded("application termination");
    if (lifecycle.timer) lifecycle.timer->cancel();
    lifecycle.timer.reset();
    if (onboarding.initialInstallOnboardingTimer) onboarding.initialInstallOnboardingTimer->cancel();
    onboarding.initialInstallOnboardingTimer.reset();
    auto& distributed = NotificationCenter::distributedCenter();
    for (auto* observer : {&lifecycle.languageObserver, &lifecycle.inputSourceObserver}) {
        if (*observer) distributed.removeObserver(**observer);
        observer->reset();
    }
    unregisterWorkspacePowerObservers();
    components.clipboardBridge->stop();
    // The server queue may be busy for seconds (a mode switch, a sleep
    // preflight): the tear-down is queued there, never waited for here.
    if (auto server = components.audioServer.exchange(nullptr)) {
        lifecycle.serverStopped = std::make_shared<platform::DispatchSemaphore>(0);
        server->beginTermination([stopped = lifecycle.serverStopped] { stopped->signal(); });
    }
}

bool HostProbeDelegate::waitForServerStopAfterRunLoop(double seconds) {
    return !lifecycle.serverStopped || lifecycle.serverStopped->wait(seconds);
}

namespace {

// The descriptors kept above the peers' total: connections that have not
// logged in (each waiting room holds its own bound) and the Host's own (its
// listeners, log, lock file, settings, queues' and encoders' descriptors, a
// directory lookup). Logged-in connections, data channels included, are
// their peers' and have their part of the total kept for them.
constexpr size_t kHostsOwnDescriptors = 128;
constexpr size_t kReservedDescriptors =
    AuxAdmission::maxPendingConnections + FileTransferChannelState::maxPendingChannels + kHostsOwnDescriptors;

}  // namespace

void HostProbeDelegate::runUntilTerminated(const HostLaunchFlags& flags,
                                           const V230HostAudioAuxServerConfiguration& configuration) {
    // Before any thread: what a Viewer's large packet held leaves the
    // process with it.
    platform::FreedMemory::giveBackLargeBuffersAtOnce();
    // Before any thread too: the Host takes all the descriptors it may, and
    // its peers together hold no more than a total below them.
    platform::WorkLedger::setHostDescriptorTotal(
        platform::DescriptorLimit::hostTotalFor(platform::DescriptorLimit::raiseToHardLimit(), kReservedDescriptors),
        AuxAdmission::maxLoggedInConnections, platform::WorkLedger::kDescriptorsKeptForMoves);
    // The application holds its delegate weakly; this keeps it for the life
    // of the process (never destroyed: the signal thread may still hold it).
    auto* delegate =
        new std::shared_ptr<HostProbeDelegate>(std::make_shared<HostProbeDelegate>(flags, configuration));

    platform::installTerminationHandler([delegate](int sig) { (*delegate)->handleTerminationSignal(sig); });

    auto& app = platform::Application::shared();
    app.setDelegate(*delegate);
    app.setActivationPolicy(platform::ApplicationActivationPolicy::regular);
    const int status = app.run();
    // The server's tear-down (and a recording's movie, up to 3 s) finishes
    // on its own queues; the run loop is over, so nothing waits behind this.
    (*delegate)->waitForServerStopAfterRunLoop(serverStopWaitLimitSeconds);
    // The tear-down is done, but work on other queues (a status probe, a
    // login-item update) may still be running and reads process-wide
    // objects: end without destroying them under it.
    std::fflush(nullptr);
    std::_Exit(status);
}

void HostProbeDelegate::terminateInstallerIfRunning() {
    assertMainQueue();
    auto installers = platform::Workspace::runningApplications("com.apple.installer");
    if (installers.empty()) return;
    log("permissions: closing Installer app (guide closed)");
    for (const auto& installer : installers) installer.terminate();
}
