// How the Host asks macOS for Accessibility and Screen Recording (only
// while it is the active application, the request itself off the main
// queue, the System Settings pane as the fallback), how it opens a Privacy
// & Security pane, how it makes macOS ask for Local Network access, and how
// it restarts itself after a Screen Recording grant: a persistent marker, a
// restart prompt while it runs, and a detached relaunch once it has gone.

#include "HostApp/Shell/CommandLine.h"
#include "HostApp/Shell/DiagnosticLogBuffer.h"
#include "HostApp/HostProbeDelegate.h"
#include "Platform/SimulatedMac/Accessibility.h"
#include "Platform/Foundation/Bundle.h"
#include "Platform/Network/NetworkBrowser.h"
#include "Platform/Runtime/ProcessInfo.h"
#include "Platform/Runtime/ProcessRunner.h"
#include "Platform/SimulatedMac/ScreenCaptureKit.h"
#include "Platform/Foundation/URL.h"
#include "Platform/Foundation/UserDefaults.h"
#include "Platform/AppKit/Workspace.h"
#include "VelantrixProfiles/Discovery/VelantrixDiscovery.h"
#include "VelantrixProfiles/Localization/VelantrixL10n.h"

using platform::Application;
using platform::DispatchQueue;

namespace {

constexpr double kActivationCheckSeconds = 0.5;
constexpr double kRelaunchRateLimitSeconds = 300;
// How long the relaunch waits for this process to end before it gives up:
// past the process's own wait for the server's tear-down, with a margin for
// what runs before and after it, so a slow stop never loses a relaunch.
constexpr double kRelaunchWaitLimitSeconds = HostProbeDelegate::serverStopWaitLimitSeconds + 20;
constexpr const char* kTerminationReason = "application termination";
constexpr const char* kPendingRelaunchKey = "host.pendingScreenCaptureRelaunch";
constexpr const char* kPendingRelaunchOwnerKey = "host.pendingScreenCaptureRelaunchOwner";
constexpr const char* kRelaunchAtKey = "host.screenCaptureRelaunchAt";

std::string thisProcessRelaunchOwner() {
    return HostProbeDelegate::relaunchOwnerRecord(platform::ProcessInfo::processIdentifier(),
                                                  platform::ProcessInfo::processStartTime().value_or(0));
}

// The stored flag counts only for the process that set it: a flag left by a
// process that was killed is no later process's to act on.
bool storedRelaunchFlagIsThisProcess() {
    auto& defaults = platform::UserDefaults::standard();
    if (!defaults.boolForKey(kPendingRelaunchKey)) return false;
    auto owner = defaults.objectForKey(kPendingRelaunchOwnerKey);
    return owner && owner->isString() && owner->asString() == thisProcessRelaunchOwner();
}

// What differs between the two system requests.
struct SystemRequest {
    const char* name;    // "Accessibility", "Screen Recording"
    const char* anchor;  // the pane opened when the Host is not frontmost in time
    bool (*preflight)();
    bool (*request)();
};

bool requestAccessibilityWithPrompt() {
    return platform::AXIsProcessTrustedWithOptions({{platform::kAXTrustedCheckOptionPrompt, true}});
}

SystemRequest systemRequest(PermissionRequestKind kind) {
    if (kind == PermissionRequestKind::screenCapture)
        return {"Screen Recording", "Privacy_ScreenCapture", platform::CGPreflightScreenCaptureAccess,
                platform::CGRequestScreenCaptureAccess};
    return {"Accessibility", "Privacy_Accessibility", platform::AXIsProcessTrusted, requestAccessibilityWithPrompt};
}

}  // namespace

std::string HostProbeDelegate::relaunchOwnerRecord(int32_t pid, uint64_t startTime) {
    return std::to_string(pid) + "@" + std::to_string(startTime);
}

void HostProbeDelegate::prepareForSystemPermissionPrompt() {
    assertMainQueue();
    for (const auto& window : {summary.summaryWindow, summary.detailWindow}) {
        if (!window) continue;
        window->setLevel(platform::kNormalWindowLevel);
        window->orderBack();
    }
}

// --- Waiting for activation, then the system request --------------------------------------

void HostProbeDelegate::requestAccessibilityWhenActive(int remainingChecks) {
    requestPermissionWhenActive(PermissionRequestKind::accessibility, remainingChecks);
}

void HostProbeDelegate::requestScreenRecordingWhenActive(int remainingChecks) {
    requestPermissionWhenActive(PermissionRequestKind::screenCapture, remainingChecks);
}

void HostProbeDelegate::requestPermissionWhenActive(PermissionRequestKind kind, int remainingChecks) {
    assertMainQueue();
    std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
    DispatchQueue::main().asyncAfter(kActivationCheckSeconds, [weak, kind, remainingChecks] {
        auto self = weak.lock();
        if (!self) return;
        const SystemRequest request = systemRequest(kind);
        if (remainingChecks < 1) {
            self->log(std::string("permissions: ") + request.name + " not frontmost in time; opening pane");
            self->openSystemSettingsPrivacyPane(request.anchor);
            return;
        }
        if (!Application::shared().isActive()) {
            self->requestPermissionWhenActive(kind, remainingChecks - 1);
            return;
        }
        self->log(std::string("permissions: requesting ") + request.name + " through TCC (preflight=" +
                  logFlagText(request.preflight()) + ", active=true)");
        // The request may hold its thread while the system prompt is up.
        DispatchQueue::global(platform::QualityOfService::userInitiated).async([weak, kind, request] {
            const bool granted = request.request();
            DispatchQueue::main().async([weak, kind, request, granted] {
                auto self = weak.lock();
                if (!self) return;
                self->log(std::string("permissions: ") + request.name + " request returned granted=" +
                          logFlagText(granted));
                if (kind == PermissionRequestKind::screenCapture && !granted)
                    self->log("permissions: Screen Recording denied — if no system prompt appeared, macOS is "
                              "suppressing prompts (session state); the user must enable \u201CNorvessal Host\u201D "
                              "manually in System Settings → Privacy & Security → Screen Recording, or restart the Mac");
                self->log(std::string("permissions: ") + request.name + " postflight=" + logFlagText(request.preflight()) +
                          "; keeping the system prompt frontmost");
                self->onboarding.initialInstallOnboardingAwaitingPermissionGrant = false;
            });
        });
    });
}

void HostProbeDelegate::requestScreenCapturePermissionAndOpenSettings() {
    assertMainQueue();
    if (platform::CGPreflightScreenCaptureAccess()) {
        openSystemSettingsPrivacyPane("Privacy_ScreenCapture");
        return;
    }
    relaunch.pendingScreenCaptureRelaunch = true;
    auto& defaults = platform::UserDefaults::standard();
    defaults.set(kPendingRelaunchOwnerKey, platform::PlistValue(thisProcessRelaunchOwner()));
    defaults.set(kPendingRelaunchKey, platform::PlistValue(true));
    prepareForSystemPermissionPrompt();
    Application::shared().activate(true);
    requestScreenRecordingWhenActive(4);
}

// --- The relaunch after a Screen Recording grant --------------------------------------------

void HostProbeDelegate::triggerScreenCaptureRelaunchIfNeeded(const std::string& reason) {
    assertMainQueue();
    auto& defaults = platform::UserDefaults::standard();
    const bool stored = defaults.boolForKey(kPendingRelaunchKey);
    const bool terminating = reason == kTerminationReason;
    if (!relaunch.pendingScreenCaptureRelaunch) {
        if (stored && !storedRelaunchFlagIsThisProcess()) {
            // Left by an earlier process (a crash, a quit by macOS): not ours
            // to act on. Nor a refusal: a request this process makes later
            // still owes its relaunch.
            defaults.set(kPendingRelaunchKey, platform::PlistValue(false));
            log("permissions: consumed the Screen Recording relaunch marker from an earlier launch (reason=" + reason +
                ")");
            return;
        }
        relaunch.pendingScreenCaptureRelaunch = stored;
    }
    if (terminating && lifecycle.terminationBySignal && relaunch.pendingScreenCaptureRelaunch) {
        // A service manager or a terminal stopped the Host: a new one
        // started now would run outside what was stopped. Only the user's
        // quit relaunches.
        relaunch.pendingScreenCaptureRelaunch = false;
        defaults.set(kPendingRelaunchKey, platform::PlistValue(false));
        log("permissions: stopped by a signal — no Screen Recording relaunch");
        return;
    }
    if (!terminating) {
        if (relaunch.pendingScreenCaptureRelaunch && platform::CGPreflightScreenCaptureAccess())
            presentScreenCaptureRestartPrompt();
        return;
    }
    if (relaunch.pendingScreenCaptureRelaunch && !relaunch.screenCaptureRelaunchDeclined) {
        relaunch.pendingScreenCaptureRelaunch = false;
        defaults.set(kPendingRelaunchKey, platform::PlistValue(false));
        log("permissions: quitting after the Screen Recording request — relaunching (reason=" + reason + ")");
        scheduleHostRelaunch(reason);
    }
}

void HostProbeDelegate::presentScreenCaptureRestartPrompt() {
    assertMainQueue();
    if (relaunch.screenCaptureRestartPromptVisible) return;
    relaunch.screenCaptureRestartPromptVisible = true;
    auto alert = platform::Alert::make();
    alert->messageText = VelantrixL10n::text("host.screenCaptureRestartTitle", "Restart Required");
    alert->informativeText =
        VelantrixL10n::text("host.screenCaptureRestartMessage",
                            "Screen Recording is now allowed. Quit and reopen Norvessal Host so it can share the "
                            "Mac's screen.");
    alert->addButton(VelantrixL10n::text("host.screenCaptureRestartButton", "Quit and Reopen"));
    alert->addButton(VelantrixL10n::text("host.screenCaptureRestartLater", "Later"));
    auto& window = *alert->window();
    window.setCollectionBehavior(window.collectionBehavior() | platform::kWindowCanJoinAllSpaces |
                                 platform::kWindowFullScreenAuxiliary);
    window.hidesOnDeactivate = false;
    // The delegate must outlive the nested run even if its owner lets go.
    auto keep = shared_from_this();
    const platform::ModalResponse response = alert->runModal();
    relaunch.screenCaptureRestartPromptVisible = false;
    if (response == platform::kAlertFirstButtonReturn) {
        scheduleHostRelaunch("user confirmed restart");
        lifecycle.terminationConfirmed = true;
        Application::shared().terminate();
        return;
    }
    relaunch.pendingScreenCaptureRelaunch = false;
    platform::UserDefaults::standard().set(kPendingRelaunchKey, platform::PlistValue(false));
    relaunch.screenCaptureRelaunchDeclined = true;
    log("permissions: Screen Recording restart postponed by the user");
}

void HostProbeDelegate::scheduleHostRelaunch(const std::string& reason) {
    assertMainQueue();
    auto& defaults = platform::UserDefaults::standard();
    const double now = platform::Clock::now().secondsSince1970;
    const double last = defaults.doubleForKey(kRelaunchAtKey);
    if (now - last < kRelaunchRateLimitSeconds) {
        log("permissions: skip Host relaunch (rate limited, reason=" + reason + ")");
        return;
    }
    defaults.set(kRelaunchAtKey, platform::PlistValue(now));

    const auto bundle = platform::Bundle::main();
    std::string executable = bundle.executablePath() ? bundle.executablePath()->string() : std::string();
    if (executable.empty()) executable = bundle.bundlePath().string();
    // The new process gets this one's options (ports, data root, console
    // user), but neither launch flag: the installer's launch is over.
    auto arguments = platform::ProcessInfo::arguments();
    std::vector<std::string> argv{executable};
    if (!arguments.empty()) {
        auto kept = HostCommandLine::withoutLaunchFlags({arguments.begin() + 1, arguments.end()});
        argv.insert(argv.end(), kept.begin(), kept.end());
    }
    auto launched = platform::ProcessRunner::launchDetached(
        {argv, platform::ProcessInfo::processIdentifier(), kRelaunchWaitLimitSeconds});
    if (launched) {
        log("permissions: scheduled Host relaunch (reason=" + reason + ")");
    } else {
        log("permissions: Host relaunch failed: " + launched.error());
    }
}

// --- System Settings and the Local Network prompt ----------------------------------------------

void HostProbeDelegate::openSystemSettingsPrivacyPane(const std::string& anchor) {
    assertMainQueue();
    prepareForSystemPermissionPrompt();
    std::vector<std::string> candidates;
    if (anchor == "Privacy_LocalNetwork") {
        candidates = {"x-apple.systempreferences:com.apple.settings.PrivacySecurity.extension.privacy-localnetwork",
                      "x-apple.systempreferences:com.apple.preference.security?Privacy_LocalNetwork"};
    } else {
        candidates = {"x-apple.systempreferences:com.apple.preference.security?" + anchor,
                      "x-apple.systempreferences:com.apple.settings.PrivacySecurity.extension?" + anchor};
    }
    for (const auto& candidate : candidates) {
        if (!platform::URL::parse(candidate)) continue;
        if (platform::Workspace::open(candidate)) {
            log("permissions: opened System Settings pane " + anchor);
            return;
        }
    }
    log("permissions: failed to open System Settings pane " + anchor);
}

void HostProbeDelegate::triggerLocalNetworkPermissionPrompt() {
    assertMainQueue();
    if (onboarding.localNetworkPromptBrowser) return;
    log("permissions: triggering Local Network permission prompt (browse)");
    auto browser = platform::NetworkBrowser::make({VelantrixDiscovery::serviceType, "local"}, true);
    onboarding.localNetworkPromptBrowser = browser;
    browser->browseResultsChangedHandler = [](const std::vector<platform::NetworkBrowseResult>&) {};
    std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
    std::weak_ptr<platform::NetworkBrowser> weakBrowser = browser;
    browser->stateUpdateHandler = [weak, weakBrowser](const platform::NetworkBrowserState& state) {
        auto self = weak.lock();
        if (!self) return;
        // Only this browse's own states: an older browser's late cancel must
        // not forget a newer one.
        const bool current = self->onboarding.localNetworkPromptBrowser == weakBrowser.lock();
        using Kind = platform::NetworkBrowserState::Kind;
        if (state.kind == Kind::ready || state.kind == Kind::failed) {
            if (auto browser = weakBrowser.lock()) browser->cancel();
            if (current) self->onboarding.localNetworkPromptBrowser.reset();
            self->log("permissions: Local Network prompt trigger finished (" + state.description() + ")");
        } else if (state.kind == Kind::cancelled) {
            if (current) self->onboarding.localNetworkPromptBrowser.reset();
        }
    };
    browser->start(DispatchQueue::main());
}
