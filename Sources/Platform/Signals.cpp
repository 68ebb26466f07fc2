#include "Platform/Signals.h"

#include <pthread.h>
#include <signal.h>

#include <thread>

#include "Platform/Dispatch.h"

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
            DispatchQueue::main().async([handler, sig] { handler(sig); });
        }
    }).detach();
}

}  // namespace platform
