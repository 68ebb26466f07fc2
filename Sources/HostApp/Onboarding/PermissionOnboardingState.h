#pragma once
// The first-install permission onboarding: the setup-mode status item, the
// guide window and the step the onboarding is at.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Platform/Runtime/Clock.h"
#include "Platform/Runtime/Dispatch.h"
#include "HostApp/Shell/MainMenuState.h"

class InitialInstallGuideWindow;
namespace platform {
class NetworkBrowser;
}

enum class PermissionRequestKind { screenCapture, accessibility, localNetwork };

enum class InitialInstallOnboardingStep { idle, accessibility, screenCapture, confirmation, completionCountdown, completed };

// The steps after both grants: the guide no longer comes back.
inline bool isFinishingStep(InitialInstallOnboardingStep step) {
    return step == InitialInstallOnboardingStep::completionCountdown || step == InitialInstallOnboardingStep::completed;
}

struct PermissionOnboardingState {
    // The setup mode's menu-bar item, its menu and the menu's step line.
    std::shared_ptr<platform::StatusItem> setupModeStatusItem;
    std::shared_ptr<platform::Menu> setupModeStatusMenu;
    std::shared_ptr<platform::MenuItem> setupModeStepMenuItem;
    // An installer URL's request holds the one slot for 5.5 s; one more
    // waits, the newest replacing an older one.
    bool permissionRequestInProgress = false;
    std::optional<PermissionRequestKind> queuedPermissionRequest;
    InitialInstallOnboardingStep initialInstallOnboardingStep = InitialInstallOnboardingStep::idle;
    // Setup mode was entered although the installer's marker names no
    // onboarding of this build (a missing grant alone): the guide and the
    // poll run all the same, and both grants end it.
    bool setupModeWithoutOnboarding = false;
    // Made on first use and kept for the life of the process.
    std::shared_ptr<InitialInstallGuideWindow> initialInstallGuideWindow;
    // The user closed the guide: nothing brings it back by itself.
    bool initialInstallGuideDismissed = false;
    // The guide waits until the Host is the active application again.
    bool initialInstallOnboardingAwaitingReturn = false;
    // A permission was just opened from the guide: the guide stays beside
    // System Settings until 2 s have passed or the system request returned.
    bool initialInstallOnboardingAwaitingPermissionGrant = false;
    platform::Date initialInstallOnboardingLastPermissionRequest = platform::Date{-1e12};  // the distant past
    // Shown once above the guide's message after a refused confirmation.
    std::optional<std::string> initialInstallOnboardingFeedbackMessage;
    // The 1.0 s onboarding poll, later the completion countdown.
    std::unique_ptr<platform::DispatchTimer> initialInstallOnboardingTimer;
    int initialInstallCompletionSecondsRemaining = 0;
    // Confirmations refused for a missing permission (one at most).
    int initialInstallOnboardingConfirmBlockCount = 0;
    // The guide fired that system request in this process: never again.
    bool initialInstallRequestedAccessibility = false;
    bool initialInstallRequestedScreenCapture = false;
    // The browse of a running Local Network prompt trigger; one at a time.
    std::shared_ptr<platform::NetworkBrowser> localNetworkPromptBrowser;
};
