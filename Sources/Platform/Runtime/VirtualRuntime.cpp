#include "Platform/Runtime/VirtualRuntime.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace platform {

namespace {

struct VirtualQueueCore : QueueCore {
    std::weak_ptr<VirtualRuntime> runtime;
    VirtualQueueCore(std::string label, std::weak_ptr<VirtualRuntime> rt)
        : QueueCore(std::move(label)), runtime(std::move(rt)) {}
    void enqueue(uint64_t delayNs, Work work) override {
        if (auto rt = runtime.lock()) rt->post(identity, delayNs, std::move(work), statistics);
    }
    void enqueueFirst(Work work) override {
        if (auto rt = runtime.lock()) rt->postFirst(identity, std::move(work), statistics);
    }
    void runSync(const Work& work) override {
        if (auto rt = runtime.lock()) rt->runSyncOn(identity, work, statistics);
    }
    void suspend() override {
        if (auto rt = runtime.lock()) rt->suspendQueue(identity);
    }
    void resume() override {
        if (auto rt = runtime.lock()) rt->resumeQueue(identity);
    }
};

constexpr double kStartDate = 1767603600.0;  // 2026-01-05 09:00:00 UTC

}  // namespace

std::shared_ptr<VirtualRuntime> VirtualRuntime::install() {
    auto rt = std::make_shared<VirtualRuntime>();
    rt->driver_ = std::this_thread::get_id();
    rt->main_ = std::make_shared<VirtualQueueCore>("com.apple.main-thread", rt);
    Runtime::install(rt);
    return rt;
}

bool VirtualRuntime::isDriverThread() const { return std::this_thread::get_id() == driver_; }

uint64_t VirtualRuntime::uptimeNs() {
    std::lock_guard<std::mutex> g(m_);
    return nowNs_;
}

Date VirtualRuntime::now() {
    std::lock_guard<std::mutex> g(m_);
    return Date{kStartDate + static_cast<double>(nowNs_ - 1000ull * 1000000000ull) / 1e9};
}

std::shared_ptr<QueueCore> VirtualRuntime::makeQueue(const std::string& label) {
    return std::make_shared<VirtualQueueCore>(label, weak_from_this());
}

std::shared_ptr<QueueCore> VirtualRuntime::mainQueue() { return main_; }

std::shared_ptr<QueueCore> VirtualRuntime::globalQueue(QualityOfService qos) {
    std::lock_guard<std::mutex> g(m_);
    auto& core = globals_[qos];
    if (!core) core = std::make_shared<VirtualQueueCore>("com.apple.root.global", weak_from_this());
    return core;
}

void VirtualRuntime::suspendQueue(uint64_t queueIdentity) {
    std::lock_guard<std::mutex> g(m_);
    suspended_.insert(queueIdentity);
    if (suspended_.count(queueIdentity) != 1) return;
    // Its items wait aside, in their order, so that finding the next item
    // to run never walks past a suspended queue's backlog (hundreds of
    // items, for every item run).
    auto& parked = parked_[queueIdentity];
    for (auto it = items_.begin(); it != items_.end();) {
        if (it->second.queue != queueIdentity) {
            ++it;
            continue;
        }
        parked.insert(items_.extract(it++));
    }
}

void VirtualRuntime::resumeQueue(uint64_t queueIdentity) {
    std::lock_guard<std::mutex> g(m_);
    auto it = suspended_.find(queueIdentity);
    if (it != suspended_.end()) suspended_.erase(it);
    if (!suspended_.count(queueIdentity)) {
        if (auto parked = parked_.find(queueIdentity); parked != parked_.end()) {
            items_.merge(parked->second);
            parked_.erase(parked);
        }
    }
    posted_.notify_all();
}

VirtualRuntime::Items& VirtualRuntime::itemsOfLocked(uint64_t queueIdentity) {
    return suspended_.count(queueIdentity) ? parked_[queueIdentity] : items_;
}

void VirtualRuntime::post(uint64_t queueIdentity, uint64_t delayNs, Work work,
                          std::shared_ptr<QueueWorkStatistics> statistics) {
    std::lock_guard<std::mutex> g(m_);
    uint64_t due = nowNs_ + delayNs;
    uint64_t seq = seq_++;
    itemsOfLocked(queueIdentity)
        .emplace(std::make_pair(due, seq), Item{due, seq, queueIdentity, std::move(work), std::move(statistics)});
    posted_.notify_all();
}

void VirtualRuntime::postFirst(uint64_t queueIdentity, Work work, std::shared_ptr<QueueWorkStatistics> statistics) {
    std::lock_guard<std::mutex> g(m_);
    // Due at 0: before every item queued, which all fell due later.
    uint64_t seq = seq_++;
    itemsOfLocked(queueIdentity)
        .emplace(std::make_pair(uint64_t{0}, seq), Item{0, seq, queueIdentity, std::move(work), std::move(statistics)});
    posted_.notify_all();
}

bool VirtualRuntime::runOne(uint64_t limit, std::optional<uint64_t> onlyQueue) {
    Item item;
    {
        std::lock_guard<std::mutex> g(m_);
        if (clockHeldLocked()) limit = std::min(limit, nowNs_);
        auto it = items_.begin();
        for (; it != items_.end(); ++it) {
            if (it->first.first > limit) return false;
            if (onlyQueue && it->second.queue != *onlyQueue) continue;
            // A queue already running on this thread is serial: its next
            // item waits until the running one returns.
            if (std::find(busy_.begin(), busy_.end(), it->second.queue) != busy_.end()) continue;
            if (suspended_.count(it->second.queue)) continue;
            break;
        }
        if (it == items_.end()) return false;
        item = std::move(it->second);
        items_.erase(it);
        nowNs_ = std::max(nowNs_, item.due);
        busy_.push_back(item.queue);
    }
    runAs(item.queue, item.work, item.statistics.get());
    item.work = nullptr;
    std::lock_guard<std::mutex> g(m_);
    busy_.erase(std::find(busy_.begin(), busy_.end(), item.queue));
    return true;
}

void VirtualRuntime::runUntilIdle() {
    for (;;) {
        uint64_t now = uptimeNs();
        if (!runOne(now)) return;
    }
}

void VirtualRuntime::advance(double seconds) {
    uint64_t target = uptimeNs() + static_cast<uint64_t>(std::max(0.0, seconds) * 1e9);
    do {
        while (runOne(target)) {
        }
    } while (turnWhileClockHeld());
    std::lock_guard<std::mutex> g(m_);
    nowNs_ = std::max(nowNs_, target);
}

bool VirtualRuntime::runUntil(const std::function<bool()>& predicate, double realTimeoutSeconds) {
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::microseconds(static_cast<int64_t>(realTimeoutSeconds * 1e6));
    for (;;) {
        runUntilIdle();
        if (predicate()) return true;
        // Checked on every turn: called from inside a work item, the item
        // due first may be its own queue's, which cannot run until it
        // returns; the wait would otherwise never see the deadline.
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::unique_lock<std::mutex> lock(m_);
        bool runnable = !items_.empty() && items_.begin()->first.first <= nowNs_;
        if (!runnable) posted_.wait_for(lock, std::chrono::milliseconds(5));
    }
}

void VirtualRuntime::holdClock(double realLimitSeconds) {
    std::lock_guard<std::mutex> g(m_);
    const auto until = std::chrono::steady_clock::now() +
                       std::chrono::microseconds(static_cast<int64_t>(realLimitSeconds * 1e6));
    clockHeldUntil_ = clockHolds_++ == 0 ? until : std::max(clockHeldUntil_, until);
}

void VirtualRuntime::releaseClock() {
    std::lock_guard<std::mutex> g(m_);
    if (clockHolds_ > 0) clockHolds_--;
    posted_.notify_all();
}

bool VirtualRuntime::clockHeldLocked() const {
    return clockHolds_ > 0 && std::chrono::steady_clock::now() < clockHeldUntil_;
}

bool VirtualRuntime::turnWhileClockHeld() {
    {
        std::lock_guard<std::mutex> g(m_);
        if (!clockHeldLocked()) return false;
    }
    if (runOne(uptimeNs())) return true;
    std::unique_lock<std::mutex> lock(m_);
    posted_.wait_for(lock, std::chrono::milliseconds(5));
    return true;
}

size_t VirtualRuntime::pendingCount() {
    std::lock_guard<std::mutex> g(m_);
    size_t parked = 0;
    for (const auto& [queue, items] : parked_) parked += items.size();
    return items_.size() + parked;
}

void VirtualRuntime::runAs(uint64_t queueIdentity, const Work& work, QueueWorkStatistics* statistics) {
    CurrentQueueScope scope(queueIdentity);
    const uint64_t start = uptimeNs();
    work();
    if (statistics) statistics->record(uptimeNs() - start);
}

void VirtualRuntime::runSyncOn(uint64_t queueIdentity, const Work& work,
                               const std::shared_ptr<QueueWorkStatistics>& statistics) {
    if (!isDriverThread()) {
        // A platform thread waits for the test to run the work.
        postAndWait([&](Work w) { post(queueIdentity, 0, std::move(w), statistics); }, work);
        return;
    }
    // A suspended queue holds the caller until it is resumed: meanwhile
    // everything else falls due in time order, as it would while the
    // caller's thread waits. Nothing left to run means nothing can resume
    // it, a deadlock on a Mac too.
    for (;;) {
        {
            std::lock_guard<std::mutex> g(m_);
            if (!suspended_.count(queueIdentity)) break;
        }
        if (!runOne(UINT64_MAX) && !turnWhileClockHeld()) {
            std::fprintf(stderr, "virtual runtime: sync onto a suspended queue that nothing resumes\n");
            std::abort();
        }
    }
    // Work already due on the queue runs first, as it would on a serial
    // queue; then the caller's work runs inline on this thread.
    uint64_t now = uptimeNs();
    while (runOne(now, queueIdentity)) {
    }
    bool wasBusy;
    {
        std::lock_guard<std::mutex> g(m_);
        wasBusy = std::find(busy_.begin(), busy_.end(), queueIdentity) != busy_.end();
        busy_.push_back(queueIdentity);
    }
    (void)wasBusy;
    runAs(queueIdentity, work, statistics.get());
    std::lock_guard<std::mutex> g(m_);
    busy_.erase(std::find(busy_.begin(), busy_.end(), queueIdentity));
}

void VirtualRuntime::sleepFor(double seconds) {
    if (!isDriverThread()) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
        return;
    }
    advance(seconds);
}

void VirtualRuntime::runMainQueue(double seconds, const std::function<bool()>& until) {
    if (!isDriverThread()) return;
    const uint64_t target = uptimeNs() + static_cast<uint64_t>(std::max(0.0, seconds) * 1e9);
    const uint64_t mainQueue = main_->identity;
    // Inside main-queue work the main queue counts as busy; a modal run is
    // the one case where its work may run nested, so it steps aside here.
    bool nested;
    {
        std::lock_guard<std::mutex> g(m_);
        auto it = std::find(busy_.begin(), busy_.end(), mainQueue);
        nested = it != busy_.end();
        if (nested) busy_.erase(it);
    }
    bool stoppedEarly = false;
    for (;;) {
        if (until && until()) {
            stoppedEarly = true;
            break;
        }
        if (!runOne(target) && !turnWhileClockHeld()) break;
    }
    std::lock_guard<std::mutex> g(m_);
    if (!stoppedEarly) nowNs_ = std::max(nowNs_, target);
    if (nested) busy_.push_back(mainQueue);
}

void VirtualRuntime::semaphoreSignal(SemaphoreState& s) {
    {
        std::lock_guard<std::mutex> g(s.m);
        s.count++;
        s.cv.notify_all();
    }
    // Wake a driver that waits for posts from other threads.
    std::lock_guard<std::mutex> g(m_);
    posted_.notify_all();
}

bool VirtualRuntime::semaphoreWait(SemaphoreState& s, double timeoutSeconds) {
    auto take = [&] {
        std::lock_guard<std::mutex> g(s.m);
        if (s.count > 0) {
            s.count--;
            return true;
        }
        return false;
    };
    if (!isDriverThread()) {
        std::unique_lock<std::mutex> lock(s.m);
        s.cv.wait(lock, [&] { return s.count > 0; });
        s.count--;
        return true;
    }
    const bool forever = timeoutSeconds < 0;
    const uint64_t deadline =
        forever ? UINT64_MAX : uptimeNs() + static_cast<uint64_t>(timeoutSeconds * 1e9);
    for (;;) {
        if (take()) return true;
        if (runOne(deadline) || turnWhileClockHeld()) continue;
        if (!forever) {
            std::lock_guard<std::mutex> g(m_);
            nowNs_ = std::max(nowNs_, deadline);
            return take();
        }
        // Nothing can run in virtual time: only another thread can signal.
        std::unique_lock<std::mutex> lock(m_);
        posted_.wait_for(lock, std::chrono::milliseconds(5));
    }
}

}  // namespace platform
