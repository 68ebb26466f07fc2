// The update checks the shell starts: the hourly timer runs, and the
// checks themselves arrive with the updates' own change.

#include "HostApp/HostProbeDelegate.h"

void HostProbeDelegate::presentUpgradeNoticeIfNeeded() { assertMainQueue(); }

void HostProbeDelegate::checkForHostUpdateOnLaunch() { assertMainQueue(); }

void HostProbeDelegate::startHourlyUpdateCheck() {
    assertMainQueue();
    if (updates.hourlyUpdateTimer) updates.hourlyUpdateTimer->cancel();
    updates.hourlyUpdateTimer = std::make_unique<platform::DispatchTimer>(platform::DispatchQueue::main(), 3600.0, [] {});
    updates.hourlyUpdateTimer->resume();
}

void HostProbeDelegate::requestOnlineUpdateAction() { assertMainQueue(); }
