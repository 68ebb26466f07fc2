#include "Platform/Runtime/Signals.h"

#include <pthread.h>
#include <signal.h>

#include <thread>

#include "Platform/Runtime/Dispatch.h"

namespace platform {

void installTerminationHandler(std::function<void(int)> handler) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);
    std::thread([set, handler = std::move(handler)] {
        for (;;) {
            int sig = 0;
            if (sigwait(&set, &sig) != 0) continue;
            deliverTerminationSignal(handler, sig);
        }
    }).detach();
}

void deliverTerminationSignal(const std::function<void(int)>& handler, int signal) {
    // Work queued before the stop no longer matters: once the stop has
    // ended the run loop, it is never run.
    DispatchQueue::main().asyncFirst([handler, signal] { handler(signal); });
}

}  // namespace platform
