#pragma once
// The virtual-time runtime for tests: every queue runs on the thread that
// drives it (the test), on one virtual clock. Work falls due in time order;
// blocking waits advance virtual time instead of sleeping, so an hourly
// timer or an 8 s deadline costs microseconds and never flakes.
//
// Threads of the platform layer (socket I/O) may post work from outside;
// it runs the next time the test drives the runtime.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "Platform/Runtime/Runtime.h"

namespace platform {

class VirtualRuntime : public Runtime, public std::enable_shared_from_this<VirtualRuntime> {
public:
    // Installs a fresh virtual runtime for the process (uptime starts at
    // 1000 s, the date at 2026-01-05 09:00:00 UTC) and returns it.
    static std::shared_ptr<VirtualRuntime> install();

    // Runs everything due now, including work that this work posts for now.
    void runUntilIdle();
    // Moves the clock forward, running what falls due in time order.
    void advance(double seconds);
    // Runs due work, waiting up to realTimeoutSeconds of real time for
    // other threads (sockets) to post more, until the predicate holds.
    // Virtual time does not move.
    bool runUntil(const std::function<bool()>& predicate, double realTimeoutSeconds = 10);
    // Number of work items not yet run (timers included).
    size_t pendingCount();
    // While held, the clock stands still even for blocking waits in work
    // on this thread: they run what is due now and wait in real time for
    // the sockets' threads instead, until released, or for at most
    // realLimitSeconds (a hang guard). The test's own clients act only
    // from this thread or from their queues' work: an exchange they carry
    // on from their work while the Host's work blocks here would otherwise
    // see the Host's clock run past its deadlines in no time.
    void holdClock(double realLimitSeconds);
    void releaseClock();

    uint64_t uptimeNs() override;
    Date now() override;
    std::shared_ptr<QueueCore> makeQueue(const std::string& label) override;
    std::shared_ptr<QueueCore> mainQueue() override;
    std::shared_ptr<QueueCore> globalQueue(QualityOfService qos) override;
    void sleepFor(double seconds) override;
    bool waitsInVirtualTime() override { return isDriverThread(); }
    void runMainQueue(double seconds, const std::function<bool()>& until) override;
    void semaphoreSignal(SemaphoreState& s) override;
    bool semaphoreWait(SemaphoreState& s, double timeoutSeconds) override;

    // Internal: used by the virtual queues.
    // The statistics, when given, record how long in virtual time each of
    // the queue's items ran.
    void post(uint64_t queueIdentity, uint64_t delayNs, Work work,
              std::shared_ptr<QueueWorkStatistics> statistics = nullptr);
    // Ahead of everything queued, on every queue.
    void postFirst(uint64_t queueIdentity, Work work, std::shared_ptr<QueueWorkStatistics> statistics = nullptr);
    void runSyncOn(uint64_t queueIdentity, const Work& work,
                   const std::shared_ptr<QueueWorkStatistics>& statistics = nullptr);
    void suspendQueue(uint64_t queueIdentity);
    void resumeQueue(uint64_t queueIdentity);

private:
    struct Item {
        uint64_t due;
        uint64_t seq;
        uint64_t queue;
        Work work;
        std::shared_ptr<QueueWorkStatistics> statistics;
    };
    // Runs the work as the queue's, recording its virtual duration.
    void runAs(uint64_t queueIdentity, const Work& work, QueueWorkStatistics* statistics);
    // Runs one item due at or before `limit` whose queue is not busy on this
    // thread's stack; false when none.
    bool runOne(uint64_t limit, std::optional<uint64_t> onlyQueue = std::nullopt);
    bool isDriverThread() const;
    bool clockHeldLocked() const;
    // While the clock is held: runs what is due now, or waits a moment of
    // real time for other threads to post; false once it is not held.
    bool turnWhileClockHeld();

    std::mutex m_;
    std::condition_variable posted_;
    uint64_t nowNs_ = 1000ull * 1000000000ull;
    uint64_t seq_ = 0;
    using Items = std::multimap<std::pair<uint64_t, uint64_t>, Item>;  // (due, seq)
    // Where a queue's new items go: aside while it is suspended.
    Items& itemsOfLocked(uint64_t queueIdentity);
    Items items_;
    // The items of each suspended queue, back in items_ once it resumes.
    std::map<uint64_t, Items> parked_;
    std::vector<uint64_t> busy_;  // queues executing on the driver thread
    std::multiset<uint64_t> suspended_;  // one entry per suspend() not yet resumed
    size_t clockHolds_ = 0;
    std::chrono::steady_clock::time_point clockHeldUntil_;
    std::map<QualityOfService, std::shared_ptr<QueueCore>> globals_;
    std::thread::id driver_;
    std::shared_ptr<QueueCore> main_;
};

}  // namespace platform
