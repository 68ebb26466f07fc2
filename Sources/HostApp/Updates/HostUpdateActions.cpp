// The update checks the shell starts: the hourly timer runs, and the
// checks themselves arrive with the updates' own change.

#include "HostApp/HostProbeDelegate.h"
#include "Platform/UserDefaults.h"
#include "VelantrixProfiles/Localization/VelantrixL10n.h"

void HostProbeDelegate::presentUpgradeNoticeIfNeeded() { assertMainQueue(); }

void HostProbeDelegate::checkForHostUpdateOnLaunch() { assertMainQueue(); }

void HostProbeDelegate::startHourlyUpdateCheck() {
    assertMainQueue();
    if (updates.hourlyUpdateTimer) updates.hourlyUpdateTimer->cancel();
    updates.hourlyUpdateTimer = std::make_unique<platform::DispatchTimer>(platform::DispatchQueue::main(), 3600.0, [] {});
    updates.hourlyUpdateTimer->resume();
}

void HostProbeDelegate::requestOnlineUpdateAction() { assertMainQueue(); }

void HostProbeDelegate::toggleAutoUpdateMenuAction(platform::MenuItem& sender) {
    assertMainQueue();
    const bool enabled = sender.state != platform::ControlStateValue::on;
    platform::UserDefaults::standard().set("host.autoUpdate.enabled", platform::PlistValue(enabled));
    sender.state = enabled ? platform::ControlStateValue::on : platform::ControlStateValue::off;
}

void HostProbeDelegate::refreshOnlineUpdateButtonPresentation() {
    assertMainQueue();
    auto button = summary.summaryUpdateButton.lock();
    if (!button) return;
    const bool inProgress = updates.onlineUpdateRequestInProgress;
    button->text = inProgress ? VelantrixL10n::text("host.checkingUpdateButton", "Checking for Update\u2026")
                              : VelantrixL10n::text("host.updateVersionButton", "Update Version");
    button->isEnabled = !inProgress;
}
