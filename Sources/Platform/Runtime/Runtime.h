#pragma once
// The runtime behind dispatch queues and clocks. The real runtime is in
// force unless a test installs the virtual-time one (VirtualRuntime.h).

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <memory>
#include <string>

#include "Platform/Runtime/Clock.h"
#include "Platform/Runtime/Dispatch.h"

namespace platform {

// How long a queue's work items ran, in the runtime's own time (virtual
// time under the test runtime, where a blocking wait inside an item passes
// it). Shared with whatever runs the items, which may outlive the core.
struct QueueWorkStatistics {
    std::atomic<uint64_t> longestWorkNs{0};
    void record(uint64_t ns) {
        uint64_t seen = longestWorkNs.load(std::memory_order_relaxed);
        while (ns > seen && !longestWorkNs.compare_exchange_weak(seen, ns, std::memory_order_relaxed)) {
        }
    }
};

// Per-queue state owned by a runtime. Queue handles share one core.
struct QueueCore {
    explicit QueueCore(std::string l);
    virtual ~QueueCore();
    virtual void enqueue(uint64_t delayNs, Work work) = 0;
    // Ahead of every item already queued (after those put first before it).
    virtual void enqueueFirst(Work work) = 0;
    virtual void runSync(const Work& work) = 0;
    // Counted: work waits while the count is above zero.
    virtual void suspend() = 0;
    virtual void resume() = 0;

    const std::string label;
    // Charged work of a peer that is gone by the time it would run is
    // dropped here (DispatchQueue::setDropsWorkOfGonePeers).
    std::atomic<bool> dropsWorkOfGonePeers{false};
    // Unique for the life of the process; what "runs on this queue" compares.
    const uint64_t identity;
    const std::shared_ptr<QueueWorkStatistics> statistics = std::make_shared<QueueWorkStatistics>();
};

class Runtime {
public:
    virtual ~Runtime();
    virtual uint64_t uptimeNs() = 0;
    virtual Date now() = 0;
    virtual std::shared_ptr<QueueCore> makeQueue(const std::string& label) = 0;
    virtual std::shared_ptr<QueueCore> mainQueue() = 0;
    // The global queue of that quality of service; made on first use.
    virtual std::shared_ptr<QueueCore> globalQueue(QualityOfService qos) = 0;
    virtual void sleepFor(double seconds) = 0;
    // Whether a blocking wait of the calling thread (for a child process,
    // say) passes this runtime's own time through sleepFor rather than
    // real time: the virtual runtime's driver thread does.
    virtual bool waitsInVirtualTime() { return false; }
    // Runs the main queue's work for at most `seconds` (the virtual runtime
    // runs every queue's due work meanwhile), returning early once `until`
    // holds. The one place where main-queue work may run inside other
    // main-queue work: the application's modal runs nest here.
    virtual void runMainQueue(double seconds, const std::function<bool()>& until) = 0;

    // Semaphore support: the runtime decides how a wait passes time.
    struct SemaphoreState {
        std::mutex m;
        std::condition_variable cv;
        long count = 0;
    };
    virtual void semaphoreSignal(SemaphoreState& s) = 0;
    virtual bool semaphoreWait(SemaphoreState& s, double timeoutSeconds /* <0 forever */) = 0;

    static Runtime& current();
    // Installs a runtime for the process; nullptr restores the real one.
    static void install(std::shared_ptr<Runtime> runtime);
    // Raised by every install: what was made for one runtime (a queue held
    // process-wide) is made afresh for the next.
    static uint64_t installCount();
};

// Marks the calling thread as running a queue's work for its lifetime.
class CurrentQueueScope {
public:
    explicit CurrentQueueScope(uint64_t identity);
    ~CurrentQueueScope();
    static bool isRunning(uint64_t identity);
};

// Hands a wrapper of `work` to `post` and blocks the calling thread until
// the work has run on whichever thread `post` sends it to.
void postAndWait(const std::function<void(Work)>& post, const Work& work);

// Runs the real main queue on the calling thread until stopMainLoop().
void runMainLoop();
void stopMainLoop();

}  // namespace platform
