#pragma once
// The update checks' state on the delegate: the hourly timer, the manual
// request in progress and the update windows.

#include <memory>

#include "Platform/AppKitWindow.h"
#include "Platform/Dispatch.h"

struct HostUpdateState {
    std::unique_ptr<platform::DispatchTimer> hourlyUpdateTimer;
    bool onlineUpdateRequestInProgress = false;
    std::shared_ptr<platform::Window> onlineUpdateProgressWindow;
    std::shared_ptr<platform::Window> autoUpdateCountdownWindow;
};
