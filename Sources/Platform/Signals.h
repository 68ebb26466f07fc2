#pragma once
// Termination signals delivered as ordinary work on the main queue, so the
// shutdown path runs with the same rules as everything else.

#include <functional>

namespace platform {

// Blocks SIGINT and SIGTERM for the process (call before any queue or
// socket thread starts) and runs `handler(signal)` on the main queue when
// one arrives. SIGPIPE is ignored.
void installTerminationHandler(std::function<void(int)> handler);

}  // namespace platform
