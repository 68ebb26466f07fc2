#pragma once
// The first-install permission onboarding: the setup-mode status item, the
// guide window and the step the onboarding is at.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Platform/Clock.h"
#include "Platform/Dispatch.h"
#include "HostApp/MainMenuState.h"

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
    std::shared_ptr<platform::StatusItem> setupModeStatusItem;
    std::shared_ptr<platform::Menu> setupModeStatusMenu;
    std::shared_ptr<platform::MenuItem> setupModeStepMenuItem;
    bool permissionRequestInProgress = false;
    std::optional<PermissionRequestKind> queuedPermissionRequest;
    InitialInstallOnboardingStep initialInstallOnboardingStep = InitialInstallOnboardingStep::idle;
    std::shared_ptr<InitialInstallGuideWindow> initialInstallGuideWindow;
    bool initialInstallGuideDismissed = false;
    bool initialInstallOnboardingAwaitingReturn = false;
    bool initialInstallOnboardingAwaitingPermissionGrant = false;
    platform::Date initialInstallOnboardingLastPermissionRequest = platform::Date{-1e12};  // the distant past
    std::optional<std::string> initialInstallOnboardingFeedbackMessage;
    // The 1.0 s onboarding poll, later the completion countdown.
    std::unique_ptr<platform::DispatchTimer> initialInstallOnboardingTimer;
    int initialInstallCompletionSecondsRemaining = 0;
    int initialInstallOnboardingConfirmBlockCount = 0;
    bool initialInstallRequestedAccessibility = false;
    bool initialInstallRequestedScreenCapture = false;
    std::shared_ptr<platform::NetworkBrowser> localNetworkPromptBrowser;
};
