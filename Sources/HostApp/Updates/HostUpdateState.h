#pragma once
// The update checks' state on the delegate, for the life of the process:
// the hourly timer, the install flow in progress and the two update
// windows. Main queue only.

#include <memory>

#include "HostApp/Updates/HostAutoUpdateCountdownWindow.h"
#include "HostApp/Updates/HostUpdateProgressWindow.h"
#include "Platform/Runtime/Dispatch.h"

struct HostUpdateState {
    // From the start of a manual or countdown-triggered install flow until
    // it ended: the only guard against two such flows at once.
    bool onlineUpdateRequestInProgress = false;
    // The window of the last request handed to the updater. Never emptied,
    // so after the first hand-over the hourly check stays off for the run.
    std::shared_ptr<HostUpdateProgressWindow> onlineUpdateProgressWindow;
    // The countdown while it is up; emptied when it triggers, is skipped or
    // closes.
    std::shared_ptr<HostAutoUpdateCountdownWindow> autoUpdateCountdownWindow;
    // Repeats every hour for the life of the process.
    std::unique_ptr<platform::DispatchTimer> hourlyUpdateTimer;
};
