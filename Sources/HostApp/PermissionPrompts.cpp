// Permission prompts and the relaunch after a Screen Recording grant:
// entry points the lifecycle calls, filled by their own change.

#include "HostApp/HostProbeDelegate.h"

void HostProbeDelegate::triggerLocalNetworkPermissionPrompt() { assertMainQueue(); }

void HostProbeDelegate::triggerScreenCaptureRelaunchIfNeeded(const std::string&) { assertMainQueue(); }
