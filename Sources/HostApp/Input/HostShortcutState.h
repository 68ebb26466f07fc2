#pragma once
// What the Host shortcuts keep between calls: the queue their system tools
// (open, osascript) and workspace opens run and wait on, so the server
// queue never does, and how long such a tool may run before it is stopped.
// Held by the server.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "Platform/Runtime/Dispatch.h"

// The Viewer requests whose work runs on the shortcut tool queue.
enum class HostShortcutTool : uint8_t { missionControl, launchpad };
inline constexpr size_t kHostShortcutToolCount = 2;

struct HostShortcutState {
    // Serial: a request of one kind that arrives while another kind's work
    // runs waits its turn here.
    platform::DispatchQueue toolQueue{"v230.host.shortcut.tools"};
    // Per kind, whether its work waits on toolQueue or runs there. A
    // request of a kind already waiting or running is dropped, so a Viewer
    // repeating one cannot pile up tool runs. Set on the server queue,
    // cleared on toolQueue.
    std::array<std::atomic<bool>, kHostShortcutToolCount> toolBusy{};
    // Real seconds a tool may run; then SIGTERM, SIGKILL a second later.
    // Read on toolQueue.
    std::atomic<double> toolTimeLimitSeconds{10};
};
