#pragma once
// Termination signals delivered as ordinary work on the main queue, so the
// shutdown path runs with the same rules as everything else, but ahead of
// whatever waits there: a stop begins as soon as the main queue's running
// item returns, however long its backlog.

#include <functional>

namespace platform {

// Blocks SIGINT and SIGTERM for the process (call before any queue or
// socket thread starts) and hands each one that arrives to
// deliverTerminationSignal. SIGPIPE is ignored.
void installTerminationHandler(std::function<void(int)> handler);

// What the watcher does with a signal that arrived: runs `handler(signal)`
// on the main queue ahead of every item already queued there. Tests call it
// in place of a real signal.
void deliverTerminationSignal(const std::function<void(int)>& handler, int signal);

}  // namespace platform
