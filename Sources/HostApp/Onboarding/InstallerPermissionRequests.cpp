// The installer's and updater's requests, delivered as URLs of the Host's
// two schemes: one asks the Host to quit for an upgrade, the others to ask
// for Accessibility and/or Screen Recording, which go through a one-slot
// queue so that two system prompts never compete. During the onboarding
// every request only brings the permission guide back. Main queue only.

#include "HostApp/Shell/DiagnosticLogBuffer.h"
#include "HostApp/HostProbeDelegate.h"
#include "Platform/SimulatedMac/Accessibility.h"
#include "Platform/Foundation/UnicodeText.h"
#include "Platform/Foundation/URL.h"

using platform::Application;
using platform::DispatchQueue;

namespace {
// How long a request holds the slot, whatever its outcome.
constexpr double kPermissionRequestSlotSeconds = 5.5;
// The second half of a request for both permissions.
constexpr double kFollowUpRequestSeconds = 0.4;

const char* caseName(PermissionRequestKind kind) {
    switch (kind) {
        case PermissionRequestKind::screenCapture: return "screenCapture";
        case PermissionRequestKind::accessibility: return "accessibility";
        case PermissionRequestKind::localNetwork: return "localNetwork";
    }
    return "?";
}
}  // namespace

void HostProbeDelegate::handlePermissionURLEvent(const platform::AppleEvent& event, platform::AppleEvent&) {
    assertMainQueue();
    if (!event.directObject) return;
    auto url = platform::URL::parse(*event.directObject);
    if (!url || (url->scheme() != "velantrixhost" && url->scheme() != "norvessalhost")) return;
    const std::string key = platform::UnicodeText::lowercased(url->host().value_or("") + url->path());

    if (key == "update/restart") {
        log("upgrade: received installer restart request");
        lifecycle.terminationConfirmed = true;
        DispatchQueue::main().async([] { Application::shared().terminate(); });
        return;
    }
    if (hasPendingInitialInstallOnboarding()) {
        onboarding.initialInstallGuideDismissed = false;
        onboarding.initialInstallOnboardingAwaitingPermissionGrant = false;
        onboarding.initialInstallOnboardingAwaitingReturn = false;
        if (!isFinishingStep(onboarding.initialInstallOnboardingStep)) {
            observeInitialInstallPermissionCompletion();
            advanceInitialInstallOnboarding();
        }
        return;
    }

    auto& window = *ensureSummaryWindow();
    updateHostPresentation();
    // On every Space, unlike the normal start's move to the active one.
    window.setLevel(platform::kFloatingWindowLevel);
    window.setCollectionBehavior((window.collectionBehavior() & ~platform::kWindowMoveToActiveSpace) |
                                 platform::kWindowCanJoinAllSpaces | platform::kWindowFullScreenAuxiliary);
    window.hidesOnDeactivate = false;
    window.deminiaturize();
    window.makeKeyAndOrderFront();
    Application::shared().activate(true);
    window.makeKeyAndOrderFront();

    if (key.find("accessibility") != std::string::npos) {
        enqueueInstallerPermissionRequest(PermissionRequestKind::accessibility);
    } else if (key.find("screen") != std::string::npos || key.find("recording") != std::string::npos) {
        enqueueInstallerPermissionRequest(PermissionRequestKind::screenCapture);
    } else {
        enqueueInstallerPermissionRequest(PermissionRequestKind::accessibility);
        std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
        DispatchQueue::main().asyncAfter(kFollowUpRequestSeconds, [weak] {
            if (auto self = weak.lock()) self->enqueueInstallerPermissionRequest(PermissionRequestKind::screenCapture);
        });
    }
}

void HostProbeDelegate::enqueueInstallerPermissionRequest(PermissionRequestKind kind) {
    assertMainQueue();
    if (onboarding.permissionRequestInProgress) {
        onboarding.queuedPermissionRequest = kind;
        log(std::string("permissions: queued installer permission request ") + caseName(kind));
        return;
    }
    onboarding.permissionRequestInProgress = true;
    switch (kind) {
        case PermissionRequestKind::screenCapture: requestScreenCapturePermissionAndOpenSettings(); break;
        case PermissionRequestKind::accessibility:
            if (!platform::AXIsProcessTrusted()) {
                prepareForSystemPermissionPrompt();
                Application::shared().activate(true);
                requestAccessibilityWhenActive(4);
            } else {
                openSystemSettingsPrivacyPane("Privacy_Accessibility");
            }
            break;
        case PermissionRequestKind::localNetwork: openSystemSettingsPrivacyPane("Privacy_LocalNetwork"); break;
    }
    std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
    DispatchQueue::main().asyncAfter(kPermissionRequestSlotSeconds, [weak] {
        auto self = weak.lock();
        if (!self) return;
        self->onboarding.permissionRequestInProgress = false;
        if (auto queued = self->onboarding.queuedPermissionRequest) {
            self->onboarding.queuedPermissionRequest.reset();
            self->enqueueInstallerPermissionRequest(*queued);
        }
    });
}
