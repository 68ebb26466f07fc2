#pragma once
// What the Host shortcuts keep between calls: only how long a system tool
// (open, osascript) may run before it is stopped, since each run blocks
// the server queue and with it all input, logins and hops onto it. Held by
// the server and read on its queue.

struct HostShortcutState {
    // Real seconds a tool may run; then SIGTERM, SIGKILL a second later.
    double toolTimeLimitSeconds = 10;
};
