// The first-run permission onboarding: whether onboarding is pending (the
// installer's marker matched against the running build), the setup mode's
// status item and menu, and the state machine that drives the permission
// guide until the user confirms or closes it. Main queue only; every timer
// and guide callback holds the delegate weakly.

#include "HostApp/Shell/DiagnosticLogBuffer.h"
#include "HostApp/HostProbeDelegate.h"
#include "HostApp/Shell/HostVersionStrings.h"
#include "Platform/SimulatedMac/Accessibility.h"
#include "Platform/AppKit/AppKitScreen.h"
#include "Platform/Files/FileIO.h"
#include "Platform/Files/Folders.h"
#include "Platform/SimulatedMac/ScreenCaptureKit.h"
#include "Platform/Foundation/UnicodeText.h"
#include "Platform/Foundation/UserDefaults.h"
#include "VelantrixProfiles/Localization/VelantrixL10n.h"

using platform::Application;
using platform::DispatchQueue;
using platform::Menu;
using platform::MenuItem;
using Step = InitialInstallOnboardingStep;

namespace {

// The installer writes a build number and a line break; anything larger is
// not a marker of ours.
constexpr size_t kMarkerMaxBytes = 4096;
constexpr double kOnboardingPollSeconds = 1.0;
constexpr int kCompletionCountdownSeconds = 3;
constexpr double kGuideCornerInset = 16;

constexpr const char* kOpenGuideAction = "openInitialInstallGuideFromStatusMenu";
constexpr const char* kAccessibilityAction = "openAccessibilitySettingsFromStatusMenu";
constexpr const char* kScreenCaptureAction = "openScreenCaptureSettingsFromStatusMenu";
constexpr const char* kQuitAction = "requestQuitMenuAction:";

std::string completionMessage(int seconds) {
    return VelantrixL10n::format("host.initialOnboardingCompleteMessageFormat",
                                 "Installation is complete. This window will close in %d seconds.", seconds);
}

}  // namespace

// --- Whether onboarding is pending ------------------------------------------------------

std::filesystem::path HostProbeDelegate::initialInstallOnboardingMarkerURL() {
    return platform::Folders::machineApplicationSupport() / "initial-install-onboarding-build";
}

bool HostProbeDelegate::hasPendingInitialInstallOnboarding() {
    // The marker outlives the onboarding in a process the installer started:
    // without this, every later activation would raise the finished guide.
    if (onboarding.initialInstallOnboardingStep == Step::completed) return false;
    const std::string build = hostBundleVersionString();
    if (!hostIsInitialInstallLaunch) {
        auto completed = platform::UserDefaults::standard().objectForKey("host.initialInstallOnboarding.completedBuild");
        if (completed && completed->isString() && completed->asString() == build) return false;
    }
    return initialInstallOnboardingMarkerMatches(build);
}

bool HostProbeDelegate::initialInstallOnboardingMarkerMatches(const std::string& build) {
    // Read on the main queue before the server starts and on every poll:
    // anything but a small regular file there (a FIFO, a device) must be
    // "no match" at once, never a wait.
    auto read = platform::FileIO::readAll(initialInstallOnboardingMarkerURL(), kMarkerMaxBytes);
    if (!read) return false;
    const std::string bytes(read->begin(), read->end());
    if (!platform::UnicodeText::isValidUTF8(bytes)) return false;
    return platform::UnicodeText::trimmingWhitespace(bytes) == build;
}

// --- Setup-mode status item -----------------------------------------------------------------

void HostProbeDelegate::configureSetupModeStatusItem() {
    assertMainQueue();
    if (onboarding.setupModeStatusItem) return;
    const std::string title = VelantrixL10n::text("host.setupMenuTitle", "Norvessal Host Setup");
    auto item = platform::StatusBar::system().statusItem(platform::kVariableStatusItemLength);
    if (auto symbol = platform::Image::systemSymbol("lock.shield", title)) {
        symbol->size = {15, 15};
        item->button->image = symbol;
        item->button->imagePosition = platform::ImagePosition::imageOnly;
    } else {
        item->button->imagePosition = platform::ImagePosition::noImage;
        item->button->attributedTitle = platform::AttributedString("Norvessal", platform::menuBarFont());
    }
    item->button->toolTip = title;

    std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
    auto menu = Menu::make(title);
    auto line = [&menu](std::string text) {
        auto info = MenuItem::make(std::move(text));
        info->isEnabled = false;
        menu->addItem(info);
        return info;
    };
    auto action = [&menu, weak](std::string text, const char* selector, void (HostProbeDelegate::*body)()) {
        auto entry = MenuItem::make(std::move(text));
        entry->setAction(selector, [weak, body](MenuItem&) {
            if (auto self = weak.lock()) ((*self).*body)();
        });
        menu->addItem(entry);
    };
    line(title);
    onboarding.setupModeStepMenuItem = line("");
    menu->addItem(MenuItem::separator());
    action("Open Permission Guide", kOpenGuideAction, &HostProbeDelegate::openInitialInstallGuideFromStatusMenu);
    action("Accessibility Settings", kAccessibilityAction, &HostProbeDelegate::openAccessibilitySettingsFromStatusMenu);
    action("Screen Recording Settings", kScreenCaptureAction,
           &HostProbeDelegate::openScreenCaptureSettingsFromStatusMenu);
    menu->addItem(MenuItem::separator());
    auto quit = MenuItem::make("Quit Host...");
    quit->setAction(kQuitAction, [weak](MenuItem&) {
        if (auto self = weak.lock()) self->requestQuitMenuAction(HostActionSender::menuItem);
    });
    menu->addItem(quit);
    menu->delegate =
        std::weak_ptr<platform::MenuDelegate>(std::static_pointer_cast<platform::MenuDelegate>(shared_from_this()));
    onboarding.setupModeStatusItem = item;
    onboarding.setupModeStatusMenu = menu;
    item->menu = menu;
    refreshSetupModeStatusMenuLocalization();
}

void HostProbeDelegate::refreshSetupModeStatusMenuLocalization() {
    assertMainQueue();
    auto menu = onboarding.setupModeStatusMenu;
    if (!menu) return;
    const std::string title = VelantrixL10n::text("host.setupMenuTitle", "Norvessal Host Setup");
    menu->title = title;
    if (auto first = menu->itemAtIndex(0)) first->title = title;
    if (auto step = onboarding.setupModeStepMenuItem) {
        switch (onboarding.initialInstallOnboardingStep) {
            case Step::accessibility:
            case Step::screenCapture:
            case Step::confirmation:
                step->title = VelantrixL10n::text("host.setupMenuWaiting",
                                                  "Waiting for Accessibility and Screen Recording");
                break;
            case Step::completionCountdown:
            case Step::completed:
                step->title = VelantrixL10n::text("host.setupMenuFinishing", "Permissions granted — finishing setup");
                break;
            case Step::idle: step->title = VelantrixL10n::text("host.setupMenuIdle", "Setup has not started"); break;
        }
    }
    setMenuItemTitle(*menu, kOpenGuideAction, VelantrixL10n::text("host.setupMenuGuide", "Open Permission Guide"));
    setMenuItemTitle(*menu, kAccessibilityAction,
                     VelantrixL10n::text("host.setupMenuAccessibility", "Accessibility Settings"));
    setMenuItemTitle(*menu, kScreenCaptureAction,
                     VelantrixL10n::text("host.setupMenuScreenCapture", "Screen Recording Settings"));
    setMenuItemTitle(*menu, kQuitAction, VelantrixL10n::text("host.quitHostMenu", "Quit Host..."));
    bool accessibilityMarked = false, screenCaptureMarked = false;
    for (const auto& item : menu->items()) {
        if (item->action == kAccessibilityAction && !accessibilityMarked) {
            item->state = platform::checkMarkState(platform::AXIsProcessTrusted());
            accessibilityMarked = true;
        } else if (item->action == kScreenCaptureAction && !screenCaptureMarked) {
            item->state = platform::checkMarkState(platform::CGPreflightScreenCaptureAccess());
            screenCaptureMarked = true;
        }
    }
}

void HostProbeDelegate::removeSetupModeStatusItem() {
    assertMainQueue();
    if (onboarding.setupModeStatusItem) platform::StatusBar::system().removeStatusItem(onboarding.setupModeStatusItem);
    onboarding.setupModeStatusItem.reset();
    onboarding.setupModeStatusMenu.reset();
    onboarding.setupModeStepMenuItem.reset();
}

void HostProbeDelegate::openInitialInstallGuideFromStatusMenu() {
    assertMainQueue();
    onboarding.initialInstallGuideDismissed = false;
    onboarding.initialInstallOnboardingAwaitingReturn = false;
    if (isFinishingStep(onboarding.initialInstallOnboardingStep)) return;
    if (hasPendingInitialInstallOnboarding()) {
        observeInitialInstallPermissionCompletion();
        advanceInitialInstallOnboarding();
    } else if (onboarding.setupModeWithoutOnboarding) {
        // No onboarding of this build drives the guide: the user asked for
        // it, so it shows, and its buttons lead to normal mode as they do
        // in onboarding.
        observeInitialInstallPermissionCompletion();
        onboarding.initialInstallOnboardingStep = Step::confirmation;
        presentInitialInstallOnboardingStep();
    }
}

void HostProbeDelegate::leaveSetupModeIfGranted() {
    assertMainQueue();
    if (!onboarding.setupModeWithoutOnboarding || lifecycle.hostNormalModeStarted ||
        isFinishingStep(onboarding.initialInstallOnboardingStep))
        return;
    if (!platform::AXIsProcessTrusted() || !platform::CGPreflightScreenCaptureAccess()) return;
    log("permissions: both grants present — leaving setup mode");
    onboarding.setupModeWithoutOnboarding = false;
    onboarding.initialInstallOnboardingStep = Step::completed;
    if (onboarding.initialInstallOnboardingTimer) onboarding.initialInstallOnboardingTimer->cancel();
    onboarding.initialInstallOnboardingTimer.reset();
    // Ordered out, not closed: closing would run the guide-closed handling.
    if (onboarding.initialInstallGuideWindow) onboarding.initialInstallGuideWindow->window()->orderOut();
    startHostInNormalMode();
}

void HostProbeDelegate::openAccessibilitySettingsFromStatusMenu() {
    assertMainQueue();
    openSystemSettingsPrivacyPane("Privacy_Accessibility");
    refreshSetupModeStatusMenuLocalization();
}

void HostProbeDelegate::openScreenCaptureSettingsFromStatusMenu() {
    assertMainQueue();
    openSystemSettingsPrivacyPane("Privacy_ScreenCapture");
    refreshSetupModeStatusMenuLocalization();
}

// --- The state machine ---------------------------------------------------------------------

void HostProbeDelegate::observeInitialInstallPermissionCompletion() {
    assertMainQueue();
    if (onboarding.initialInstallOnboardingTimer) return;
    std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
    onboarding.initialInstallOnboardingTimer =
        std::make_unique<platform::DispatchTimer>(DispatchQueue::main(), kOnboardingPollSeconds, [weak] {
            auto self = weak.lock();
            if (!self) return;
            self->leaveSetupModeIfGranted();
            self->advanceInitialInstallOnboarding();
            self->refreshSetupModeStatusMenuLocalization();
        });
    onboarding.initialInstallOnboardingTimer->resume();
}

void HostProbeDelegate::advanceInitialInstallOnboarding() {
    assertMainQueue();
    if (!hasPendingInitialInstallOnboarding() || onboarding.initialInstallGuideDismissed ||
        isFinishingStep(onboarding.initialInstallOnboardingStep))
        return;
    auto& app = Application::shared();
    if (onboarding.initialInstallOnboardingStep != Step::confirmation) {
        onboarding.initialInstallOnboardingStep = Step::confirmation;
        onboarding.initialInstallOnboardingAwaitingPermissionGrant = false;
        onboarding.initialInstallOnboardingAwaitingReturn = !app.isActive();
        log("permissions: initial install showing permission guide");
    }
    if (onboarding.initialInstallOnboardingAwaitingPermissionGrant) return;
    if (onboarding.initialInstallGuideWindow && onboarding.initialInstallGuideWindow->window()->isVisible()) return;
    if (!app.isActive()) app.activate(true);
    if (!onboarding.initialInstallOnboardingAwaitingReturn) presentInitialInstallOnboardingStep();
}

std::shared_ptr<InitialInstallGuideWindow> HostProbeDelegate::makeInitialInstallGuideWindow() {
    assertMainQueue();
    auto guide = InitialInstallGuideWindow::make();
    std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
    guide->onWindowClosed = [weak] {
        if (auto self = weak.lock()) self->handleInitialInstallGuideClosed();
    };
    return guide;
}

std::shared_ptr<InitialInstallGuideWindow> HostProbeDelegate::ensureInitialInstallGuideWindow() {
    if (!onboarding.initialInstallGuideWindow) onboarding.initialInstallGuideWindow = makeInitialInstallGuideWindow();
    return onboarding.initialInstallGuideWindow;
}

void HostProbeDelegate::presentInitialInstallOnboardingStep() {
    assertMainQueue();
    if (onboarding.initialInstallOnboardingStep != Step::confirmation) return;
    auto guide = ensureInitialInstallGuideWindow();
    std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
    guide->onPrimary = [weak] {
        if (auto self = weak.lock()) self->handleInitialInstallGuidePrimary(Step::confirmation);
    };
    guide->onOpenButton = [weak](int index) {
        if (auto self = weak.lock()) self->handleInitialInstallGuideOpen(Step::confirmation, index);
    };
    std::string message = VelantrixL10n::text(
        "host.initialOnboardingConfirmMessage",
        "Click each item below to open its System Settings page and turn on the Norvessal Host switch:\n"
        "1. Accessibility\n2. Screen Recording (includes System Audio)\n\n"
        "Local Network needs no manual setup — macOS asks automatically, just click Allow.\n"
        "When both are on, click \u201CI Have Enabled All Permissions\u201D.\n\n"
        "If Norvessal Host is missing from a list, click + at the bottom of the pane, add "
        "/Applications/NorvessalHost.app, then turn it on.");
    if (onboarding.initialInstallOnboardingFeedbackMessage) {
        message = *onboarding.initialInstallOnboardingFeedbackMessage + "\n\n" + message;
        onboarding.initialInstallOnboardingFeedbackMessage.reset();
    }
    guide->configure(
        VelantrixL10n::text("host.initialOnboardingConfirmTitle", "Authorize Norvessal Host"), message,
        VelantrixL10n::text("host.initialOnboardingConfirmAll", "I Have Enabled All Permissions"),
        {VelantrixL10n::text("host.initialOnboardingAccessibilityItem", "1. Authorize Accessibility"),
         VelantrixL10n::text("host.initialOnboardingScreenRecordingItem",
                             "2. Authorize Screen Recording and System Audio")});
    Application::shared().activate(true);
    auto& window = *guide->window();
    if (!window.isVisible()) window.makeKeyAndOrderFront();
    window.orderFrontRegardless();
}

void HostProbeDelegate::handleInitialInstallGuideOpen(Step step, int index) {
    assertMainQueue();
    onboarding.initialInstallOnboardingAwaitingPermissionGrant = true;
    onboarding.initialInstallOnboardingLastPermissionRequest = platform::Clock::now();
    auto screen = platform::Screen::main();
    if (screen && onboarding.initialInstallGuideWindow) {
        auto& window = *onboarding.initialInstallGuideWindow->window();
        const auto& visible = screen->visibleFrame;
        // Beside System Settings, 16 pt from the visible frame's top-right.
        window.setFrameTopLeftPoint({visible.x + visible.width - window.frame.width - kGuideCornerInset,
                                     visible.y + visible.height - kGuideCornerInset});
        window.orderFrontRegardless();
    }
    if (step != Step::confirmation) return;
    if (index == 0) openInitialInstallPermissionPane(PermissionRequestKind::accessibility);
    if (index == 1) openInitialInstallPermissionPane(PermissionRequestKind::screenCapture);
}

void HostProbeDelegate::handleInitialInstallGuidePrimary(Step step) {
    assertMainQueue();
    if (step == Step::confirmation) confirmInitialInstallOnboarding();
}

void HostProbeDelegate::confirmInitialInstallOnboarding() {
    assertMainQueue();
    const bool ax = platform::AXIsProcessTrusted();
    const bool sr = platform::CGPreflightScreenCaptureAccess();
    if (!(ax && sr) && onboarding.initialInstallOnboardingConfirmBlockCount < 1) {
        const int count = ++onboarding.initialInstallOnboardingConfirmBlockCount;
        onboarding.initialInstallOnboardingFeedbackMessage =
            !ax ? VelantrixL10n::text("host.initialOnboardingMissingAccessibility",
                                      "Accessibility is still disabled. Enable it before confirming installation.")
                : VelantrixL10n::text("host.initialOnboardingMissingScreenRecording",
                                      "Screen Recording is still disabled. Enable it before confirming installation.");
        log("permissions: confirm pending (attempt #" + std::to_string(count) + ") ax=" + logFlagText(ax) +
            " sr=" + logFlagText(sr));
        onboarding.initialInstallOnboardingAwaitingPermissionGrant = false;
        onboarding.initialInstallOnboardingAwaitingReturn = false;
        presentInitialInstallOnboardingStep();
        return;
    }
    onboarding.initialInstallOnboardingConfirmBlockCount = 0;
    completeInitialInstallOnboardingAfterConfirmation();
    onboarding.initialInstallOnboardingStep = Step::completionCountdown;
    onboarding.initialInstallOnboardingAwaitingPermissionGrant = false;
    onboarding.initialInstallOnboardingAwaitingReturn = false;
    onboarding.initialInstallCompletionSecondsRemaining = kCompletionCountdownSeconds;
    presentInitialInstallCompletionCountdown();
}

bool HostProbeDelegate::completeInitialInstallOnboardingAfterConfirmation() {
    assertMainQueue();
    const bool granted = platform::AXIsProcessTrusted() && platform::CGPreflightScreenCaptureAccess();
    const std::string build = hostBundleVersionString();
    auto& defaults = platform::UserDefaults::standard();
    defaults.set("host.initialInstallOnboarding.completedBuild", platform::PlistValue(build));
    // The Host goes on in this process: no relaunch is owed.
    relaunch.pendingScreenCaptureRelaunch = false;
    defaults.set("host.pendingScreenCaptureRelaunch", platform::PlistValue(false));
    if (onboarding.initialInstallOnboardingTimer) onboarding.initialInstallOnboardingTimer->cancel();
    onboarding.initialInstallOnboardingTimer.reset();
    log("permissions: initial install onboarding completed for build " + build + " (granted=" + logFlagText(granted) +
        ")");
    return granted;
}

// --- Completion countdown ----------------------------------------------------------------

void HostProbeDelegate::presentInitialInstallCompletionCountdown() {
    assertMainQueue();
    auto guide = ensureInitialInstallGuideWindow();
    std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
    guide->onPrimary = [weak] {
        if (auto self = weak.lock()) self->finishInitialInstallCompletionCountdown();
    };
    guide->onOpenButton = nullptr;
    guide->configure(
        VelantrixL10n::text("host.initialOnboardingCompleteTitle", "Norvessal Host installation is complete"),
        completionMessage(onboarding.initialInstallCompletionSecondsRemaining),
        VelantrixL10n::text("host.initialOnboardingClose", "Close"), {});
    auto& window = *guide->window();
    if (!window.isVisible()) window.makeKeyAndOrderFront();
    window.orderFrontRegardless();
    if (onboarding.initialInstallOnboardingTimer) onboarding.initialInstallOnboardingTimer->cancel();
    onboarding.initialInstallOnboardingTimer =
        std::make_unique<platform::DispatchTimer>(DispatchQueue::main(), 1.0, [weak] {
            if (auto self = weak.lock()) self->advanceInitialInstallCompletionCountdown();
        });
    onboarding.initialInstallOnboardingTimer->resume();
}

void HostProbeDelegate::advanceInitialInstallCompletionCountdown() {
    assertMainQueue();
    if (onboarding.initialInstallOnboardingStep != Step::completionCountdown) return;
    const int left = --onboarding.initialInstallCompletionSecondsRemaining;
    if (left <= 0) {
        finishInitialInstallCompletionCountdown();
        return;
    }
    if (onboarding.initialInstallGuideWindow) onboarding.initialInstallGuideWindow->setMessage(completionMessage(left));
}

void HostProbeDelegate::finishInitialInstallCompletionCountdown() {
    assertMainQueue();
    if (onboarding.initialInstallOnboardingStep != Step::completionCountdown) return;
    onboarding.initialInstallOnboardingStep = Step::completed;
    onboarding.initialInstallCompletionSecondsRemaining = 0;
    if (onboarding.initialInstallOnboardingTimer) onboarding.initialInstallOnboardingTimer->cancel();
    onboarding.initialInstallOnboardingTimer.reset();
    // Ordered out, not closed: closing would run the guide-closed handling.
    if (onboarding.initialInstallGuideWindow) onboarding.initialInstallGuideWindow->window()->orderOut();
    log("permissions: initial install completion countdown finished");
    if (summary.summaryWindow) summary.summaryWindow->close();
    terminateInstallerIfRunning();
    startHostInNormalMode();
}

void HostProbeDelegate::handleInitialInstallGuideClosed() {
    assertMainQueue();
    // Once completed, a later close of the guide must not complete again
    // (that would clear a relaunch marker set since).
    if (onboarding.initialInstallOnboardingStep == Step::completed) return;
    onboarding.initialInstallGuideDismissed = true;
    onboarding.initialInstallOnboardingAwaitingPermissionGrant = false;
    completeInitialInstallOnboardingAfterConfirmation();
    onboarding.initialInstallOnboardingStep = Step::completed;
    terminateInstallerIfRunning();
    startHostInNormalMode();
    log("permissions: initial install guide closed by user — Host started anyway");
}

// --- Opening a permission from the guide ------------------------------------------------

void HostProbeDelegate::openInitialInstallPermissionPane(PermissionRequestKind kind) {
    assertMainQueue();
    if (kind == PermissionRequestKind::localNetwork) {
        log("permissions: Local Network item clicked — triggering prompt and opening pane");
        triggerLocalNetworkPermissionPrompt();
        openSystemSettingsPrivacyPane("Privacy_LocalNetwork");
        return;
    }
    const bool screenCapture = kind == PermissionRequestKind::screenCapture;
    const std::string name = screenCapture ? "Screen Recording" : "Accessibility";
    const char* anchor = screenCapture ? "Privacy_ScreenCapture" : "Privacy_Accessibility";
    const bool granted = screenCapture ? platform::CGPreflightScreenCaptureAccess() : platform::AXIsProcessTrusted();
    bool& requested = screenCapture ? onboarding.initialInstallRequestedScreenCapture
                                    : onboarding.initialInstallRequestedAccessibility;
    // Each system request fires at most once per process; later clicks
    // only open the pane.
    if (granted || requested) {
        log("permissions: " + name +
            (granted ? " already granted; opening pane" : " already requested; opening pane only (never re-fire)"));
        openSystemSettingsPrivacyPane(anchor);
        return;
    }
    requested = true;
    log("permissions: requesting " + name + " from guide (prompt = injection)");
    if (screenCapture) {
        requestScreenCapturePermissionAndOpenSettings();
    } else if (platform::AXIsProcessTrusted()) {
        openSystemSettingsPrivacyPane(anchor);
    } else {
        prepareForSystemPermissionPrompt();
        Application::shared().activate(true);
        requestAccessibilityWhenActive(4);
    }
}
