// Permission onboarding of a first install. Until the guide arrives with
// its own change, no onboarding is ever pending, and completing one only
// reports whether both grants are in place.

#include "HostApp/HostProbeDelegate.h"
#include "Platform/Accessibility.h"
#include "Platform/ScreenCaptureKit.h"

bool HostProbeDelegate::hasPendingInitialInstallOnboarding() { return false; }

void HostProbeDelegate::configureSetupModeStatusItem() { assertMainQueue(); }

void HostProbeDelegate::removeSetupModeStatusItem() { assertMainQueue(); }

void HostProbeDelegate::refreshSetupModeStatusMenuLocalization() { assertMainQueue(); }

void HostProbeDelegate::observeInitialInstallPermissionCompletion() { assertMainQueue(); }

void HostProbeDelegate::advanceInitialInstallOnboarding() { assertMainQueue(); }

bool HostProbeDelegate::completeInitialInstallOnboardingAfterConfirmation() {
    assertMainQueue();
    return platform::AXIsProcessTrusted() && platform::CGPreflightScreenCaptureAccess();
}
