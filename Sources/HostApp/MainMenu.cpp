// Main menu and status item: built by their own change; these are the
// entry points the lifecycle and the summary window call.

#include "HostApp/HostProbeDelegate.h"

void HostProbeDelegate::configureMainMenu() { assertMainQueue(); }

void HostProbeDelegate::configureStatusItem() { assertMainQueue(); }

void HostProbeDelegate::refreshHostLocalization() { assertMainQueue(); }

void HostProbeDelegate::launchAtLoginCheckboxChanged(platform::View&) { assertMainQueue(); }
