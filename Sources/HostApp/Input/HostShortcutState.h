#pragma once
// What the Host shortcuts keep between calls: the queue their system tools
// (open, osascript) and workspace opens run and wait on, so the server
// queue never does, and how long such a tool may run before it is stopped.
// Held by the server.

#include <atomic>

#include "Platform/Dispatch.h"

struct HostShortcutState {
    // Serial: a Launchpad or application-opening request that arrives while
    // one runs waits its turn here.
    platform::DispatchQueue toolQueue{"v230.host.shortcut.tools"};
    // Real seconds a tool may run; then SIGTERM, SIGKILL a second later.
    // Read on toolQueue.
    std::atomic<double> toolTimeLimitSeconds{10};
};
