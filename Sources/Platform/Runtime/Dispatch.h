#pragma once
// Serial dispatch queues, work items, timers and semaphores.
//
// Every deferred or repeated piece of work in the Host goes through these
// types. Two runtimes sit behind them: the real one (one thread per serial
// queue, the main queue on the main thread) and the virtual-time one used by
// tests (every queue on one virtual clock, driven by the test thread). Code
// outside Sources/Platform never starts a thread, sleeps or reads a clock on
// its own; it uses these types and platform::Clock.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <string>

namespace platform {

using Work = std::function<void()>;

// A unit of work that can be cancelled before it runs. Cancelling after it
// started has no effect on the running body.
class DispatchWorkItem {
public:
    explicit DispatchWorkItem(Work work);
    void cancel();
    bool isCancelled() const;
    // Runs the body unless cancelled.
    void perform();

private:
    Work work_;
    std::atomic<bool> cancelled_{false};
};
using DispatchWorkItemRef = std::shared_ptr<DispatchWorkItem>;
DispatchWorkItemRef makeWorkItem(Work work);
// Cancels the item held, if any, and lets go of it, so that a later
// schedule starts from nothing.
inline void cancelWorkItem(DispatchWorkItemRef& item) {
    if (item) item->cancel();
    item.reset();
}

struct QueueCore;  // runtime-owned per-queue state

// The quality of service of a global queue.
enum class QualityOfService { background, utility, defaultService, userInitiated, userInteractive };

// A serial queue. Copies are handles to the same queue.
class DispatchQueue {
public:
    explicit DispatchQueue(std::string label);
    DispatchQueue(const DispatchQueue&) = default;
    DispatchQueue& operator=(const DispatchQueue&) = default;
    ~DispatchQueue();

    // The main queue of the current runtime.
    static DispatchQueue main();
    // A concurrent queue of the runtime for work of that quality of service:
    // a small pool of threads in the real runtime, one more queue on the
    // virtual clock in tests. Work on it must not rely on running alone.
    static DispatchQueue global(QualityOfService qos);

    const std::string& label() const;

    // Work posted while a peer's ledger is current on the calling thread is
    // charged to that peer (see WorkLedger): one job, plus `heldBytes` for
    // what the work keeps alive until it has run.
    void async(Work work, size_t heldBytes = 0) const;
    void async(const DispatchWorkItemRef& item) const;
    // This queue serves only Viewers' work: a job whose peer is gone by the
    // time it would run is dropped unrun. Set once, when the queue is made.
    void setDropsWorkOfGonePeers(bool drops) const;
    void asyncAfter(double seconds, Work work) const;
    void asyncAfter(double seconds, const DispatchWorkItemRef& item) const;
    // Runs the work ahead of everything already queued here, once the item
    // running now returns; several such run in the order posted. For work
    // that makes what waits behind it moot (a stop signal), never for
    // ordinary work, which would lose its order.
    void asyncFirst(Work work) const;

    // Runs the work on the queue and waits for it. Runs inline when the
    // caller already runs on this queue, so a hop onto the current queue
    // never deadlocks.
    void sync(const Work& work) const;
    template <class F>
    auto syncValue(F&& f) const -> decltype(f()) {
        using R = decltype(f());
        if constexpr (std::is_void_v<R>) {
            sync(std::forward<F>(f));
        } else {
            std::optional<R> result;
            sync([&] { result.emplace(f()); });
            return std::move(*result);
        }
    }

    // The queue-specific key: true when the calling code runs on this queue
    // (inside one of its work items, or inline in a sync onto it).
    bool isCurrent() const;

    // Asserts, in debug builds and tests, that the caller runs on the queue.
    void dispatchPrecondition() const;

    // Holds back the queue's work (a sync onto it waits) until resume();
    // calls nest. The work running at that moment finishes.
    void suspend() const;
    void resume() const;

    // The longest any one work item ran on this queue (a sync onto it
    // included), in the runtime's time, and a fresh start of that record.
    double longestWorkItemSecondsForTesting() const;
    void resetLongestWorkItemForTesting() const;

    bool operator==(const DispatchQueue& other) const { return core_ == other.core_; }

    const std::shared_ptr<QueueCore>& coreForRuntime() const { return core_; }
    explicit DispatchQueue(std::shared_ptr<QueueCore> core);

private:
    std::shared_ptr<QueueCore> core_;
};

// A repeating timer on a queue. Starts on resume(); cancel() stops it for
// good. The handler never runs after cancel() returned on the timer's queue.
class DispatchTimer {
public:
    DispatchTimer(DispatchQueue queue, double intervalSeconds, Work handler,
                  double initialDelaySeconds = -1);
    ~DispatchTimer();
    DispatchTimer(const DispatchTimer&) = delete;
    DispatchTimer& operator=(const DispatchTimer&) = delete;

    void resume();
    void cancel();
    bool isCancelled() const;

    // Inside a timer's handler, the time its firing was due (a firing runs
    // at or after it); 0 anywhere else.
    static uint64_t firingDeadlineNs();

private:
    struct State;
    std::shared_ptr<State> state_;
};

// A counting semaphore. In the virtual runtime a wait runs other queues'
// due work and advances virtual time instead of blocking.
class DispatchSemaphore {
public:
    explicit DispatchSemaphore(int value = 0);
    ~DispatchSemaphore();
    void signal();
    void wait();
    // True when the semaphore was taken, false on time-out.
    bool wait(double timeoutSeconds);

private:
    struct State;
    std::shared_ptr<State> state_;
};

// A polling loop's pause: sleeps in the real runtime, advances virtual time
// (running what falls due meanwhile) in the virtual one.
void sleepFor(double seconds);

}  // namespace platform
