#include "Platform/Runtime/Dispatch.h"

#include <algorithm>
#include <cassert>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "Platform/Runtime/Clock.h"
#include "Platform/Runtime/Runtime.h"
#include "Platform/Runtime/WorkLedger.h"

namespace platform {

// ---------------------------------------------------------------- common

namespace {
std::atomic<uint64_t> nextQueueIdentity{1};
thread_local std::vector<uint64_t> tlsRunningQueues;

uint64_t secondsToNs(double seconds) {
    if (!(seconds > 0)) return 0;
    if (seconds > 1e9) seconds = 1e9;  // a deadline centuries away is "never"
    return static_cast<uint64_t>(seconds * 1e9);
}
}  // namespace

QueueCore::QueueCore(std::string l) : label(std::move(l)), identity(nextQueueIdentity++) {}
QueueCore::~QueueCore() = default;
Runtime::~Runtime() = default;

CurrentQueueScope::CurrentQueueScope(uint64_t identity) {
    tlsRunningQueues.push_back(identity);
}
CurrentQueueScope::~CurrentQueueScope() { tlsRunningQueues.pop_back(); }
bool CurrentQueueScope::isRunning(uint64_t identity) {
    for (auto id : tlsRunningQueues)
        if (id == identity) return true;
    return false;
}

DispatchWorkItem::DispatchWorkItem(Work work) : work_(std::move(work)) {}
void DispatchWorkItem::cancel() { cancelled_.store(true); }
bool DispatchWorkItem::isCancelled() const { return cancelled_.load(); }
void DispatchWorkItem::perform() {
    if (!cancelled_.load() && work_) work_();
}
DispatchWorkItemRef makeWorkItem(Work work) { return std::make_shared<DispatchWorkItem>(std::move(work)); }

DispatchQueue::DispatchQueue(std::string label) : core_(Runtime::current().makeQueue(label)) {}
DispatchQueue::DispatchQueue(std::shared_ptr<QueueCore> core) : core_(std::move(core)) {}
DispatchQueue::~DispatchQueue() = default;
DispatchQueue DispatchQueue::main() { return DispatchQueue(Runtime::current().mainQueue()); }
DispatchQueue DispatchQueue::global(QualityOfService qos) {
    return DispatchQueue(Runtime::current().globalQueue(qos));
}
void DispatchQueue::suspend() const { core_->suspend(); }
void DispatchQueue::resume() const { core_->resume(); }
const std::string& DispatchQueue::label() const { return core_->label; }

void DispatchQueue::async(Work work, size_t heldBytes) const {
    core_->enqueue(0, WorkLedger::chargedToCurrent(std::move(work), heldBytes,
                                                   core_->dropsWorkOfGonePeers.load(std::memory_order_relaxed)));
}
void DispatchQueue::setDropsWorkOfGonePeers(bool drops) const {
    core_->dropsWorkOfGonePeers.store(drops, std::memory_order_relaxed);
}
void DispatchQueue::async(const DispatchWorkItemRef& item) const {
    core_->enqueue(0, [item] { item->perform(); });
}
void DispatchQueue::asyncFirst(Work work) const { core_->enqueueFirst(std::move(work)); }
void DispatchQueue::asyncAfter(double seconds, Work work) const {
    core_->enqueue(secondsToNs(seconds), std::move(work));
}
void DispatchQueue::asyncAfter(double seconds, const DispatchWorkItemRef& item) const {
    core_->enqueue(secondsToNs(seconds), [item] { item->perform(); });
}
void DispatchQueue::sync(const Work& work) const {
    if (isCurrent()) {
        work();
        return;
    }
    core_->runSync(work);
}
double DispatchQueue::longestWorkItemSecondsForTesting() const {
    return static_cast<double>(core_->statistics->longestWorkNs.load()) / 1e9;
}
void DispatchQueue::resetLongestWorkItemForTesting() const { core_->statistics->longestWorkNs.store(0); }
bool DispatchQueue::isCurrent() const { return CurrentQueueScope::isRunning(core_->identity); }
void DispatchQueue::dispatchPrecondition() const {
    if (!isCurrent()) {
        std::fprintf(stderr, "dispatch precondition failed: not on queue %s\n", core_->label.c_str());
        std::abort();
    }
}

// ---------------------------------------------------------------- timers

namespace {
thread_local uint64_t currentFiringDeadlineNs = 0;
}  // namespace

uint64_t DispatchTimer::firingDeadlineNs() { return currentFiringDeadlineNs; }

struct DispatchTimer::State : std::enable_shared_from_this<DispatchTimer::State> {
    DispatchQueue queue;
    double interval;
    double initialDelay;
    Work handler;
    std::atomic<bool> cancelled{false};
    std::atomic<bool> resumed{false};
    // When the next firing is due; touched only by the firing itself.
    uint64_t deadlineNs = 0;
    State(DispatchQueue q, double i, Work h, double d)
        : queue(std::move(q)), interval(i), initialDelay(d), handler(std::move(h)) {}

    void start() {
        deadlineNs = Clock::uptimeNs() + toNs(initialDelay);
        arm();
    }
    static uint64_t toNs(double seconds) { return static_cast<uint64_t>(std::max(0.0, seconds) * 1e9); }

    // Firings keep to their deadlines, one interval apart, whatever the
    // handler costs; one that falls behind fires at once, without a backlog.
    void arm() {
        const uint64_t now = Clock::uptimeNs();
        std::weak_ptr<State> weak = shared_from_this();
        queue.asyncAfter(deadlineNs > now ? static_cast<double>(deadlineNs - now) / 1e9 : 0.0, [weak] {
            auto self = weak.lock();
            if (!self || self->cancelled.load()) return;
            currentFiringDeadlineNs = self->deadlineNs;
            self->handler();
            currentFiringDeadlineNs = 0;
            if (self->cancelled.load()) return;
            self->deadlineNs = std::max(self->deadlineNs + toNs(self->interval), Clock::uptimeNs());
            self->arm();
        });
    }
};

DispatchTimer::DispatchTimer(DispatchQueue queue, double intervalSeconds, Work handler,
                             double initialDelaySeconds)
    : state_(std::make_shared<State>(std::move(queue), intervalSeconds, std::move(handler),
                                     initialDelaySeconds < 0 ? intervalSeconds : initialDelaySeconds)) {}
DispatchTimer::~DispatchTimer() { cancel(); }
void DispatchTimer::resume() {
    if (state_->resumed.exchange(true) || state_->cancelled.load()) return;
    state_->start();
}
void DispatchTimer::cancel() { state_->cancelled.store(true); }
bool DispatchTimer::isCancelled() const { return state_->cancelled.load(); }

// ---------------------------------------------------------------- semaphores

struct DispatchSemaphore::State : Runtime::SemaphoreState {};

DispatchSemaphore::DispatchSemaphore(int value) : state_(std::make_shared<State>()) { state_->count = value; }
DispatchSemaphore::~DispatchSemaphore() = default;
void DispatchSemaphore::signal() { Runtime::current().semaphoreSignal(*state_); }
void DispatchSemaphore::wait() { Runtime::current().semaphoreWait(*state_, -1); }
bool DispatchSemaphore::wait(double timeoutSeconds) {
    return Runtime::current().semaphoreWait(*state_, timeoutSeconds < 0 ? 0 : timeoutSeconds);
}

void sleepFor(double seconds) { Runtime::current().sleepFor(seconds); }

// ---------------------------------------------------------------- real runtime

namespace {

// One worker per serial queue. The worker outlives the queue's handles as
// long as it has work, so work posted just before the last handle goes away
// still runs, as it would on a Mac.
struct Worker {
    std::mutex m;
    std::condition_variable cv;
    std::multimap<std::pair<uint64_t, uint64_t>, Work> items;
    uint64_t seq = 0;
    bool orphaned = false;
    bool stopRequested = false;  // main loop only
    uint64_t identity = 0;
    // suspend() calls not yet resumed; no work starts while above zero.
    int suspendCount = 0;
    // Several threads take work from it (a global queue).
    bool pooled = false;
    // Raised at every enqueue; lets an idle worker watch for new work
    // without the lock.
    std::atomic<uint64_t> enqueued{0};
    // The queue's record of how long its items ran.
    std::shared_ptr<QueueWorkStatistics> statistics;
};

uint64_t monotonicNs();

// Runs one item of the worker's queue, timed.
void runTimed(Worker& w, Work& work) {
    CurrentQueueScope scope(w.identity);
    const uint64_t start = monotonicNs();
    work();
    w.statistics->record(monotonicNs() - start);
}

// How long an idle worker keeps watching for new work before it sleeps on
// its condition variable. Waking a sleeping thread costs tens of
// microseconds on a virtual machine; frames and audio buffers arrive in
// bursts a few microseconds apart, so a short watch saves most hops that
// wake-up.
constexpr uint64_t kIdleSpinNs = 20000;

// Watches the worker for new work for at most kIdleSpinNs; true when some
// arrived. Called without the lock.
bool spinForWork(Worker& w, uint64_t seen) {
    const uint64_t start = monotonicNs();
    for (unsigned i = 1;; ++i) {
        if (w.enqueued.load(std::memory_order_acquire) != seen) return true;
        if ((i & 63) == 0 && monotonicNs() - start > kIdleSpinNs) return false;
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
}

uint64_t monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

void runWorker(const std::shared_ptr<Worker>& w, bool isMain) {
    std::unique_lock<std::mutex> lock(w->m);
    for (;;) {
        if (isMain && w->stopRequested) {
            w->stopRequested = false;
            return;
        }
        if (w->items.empty()) {
            if (w->orphaned && !isMain) return;
            const uint64_t seen = w->enqueued.load(std::memory_order_acquire);
            lock.unlock();
            const bool arrived = spinForWork(*w, seen);
            lock.lock();
            if (!arrived && w->items.empty() && !w->stopRequested && !(w->orphaned && !isMain)) w->cv.wait(lock);
            continue;
        }
        if (w->suspendCount > 0) {
            w->cv.wait(lock);
            continue;
        }
        auto it = w->items.begin();
        uint64_t now = monotonicNs();
        if (it->first.first > now) {
            w->cv.wait_for(lock, std::chrono::nanoseconds(it->first.first - now));
            continue;
        }
        Work work = std::move(it->second);
        w->items.erase(it);
        // Another thread of a pool may take the next item meanwhile.
        if (w->pooled && !w->items.empty()) w->cv.notify_one();
        lock.unlock();
        runTimed(*w, work);
        work = nullptr;  // release captures outside the lock
        lock.lock();
    }
}

// Runs the main worker's due work on the calling (main) thread until the
// deadline passes or `until` holds; may run inside main-queue work.
void drainMainWorker(Worker& w, uint64_t deadline, const std::function<bool()>& until) {
    for (;;) {
        if (until && until()) return;
        std::unique_lock<std::mutex> lock(w.m);
        const uint64_t now = monotonicNs();
        if (now >= deadline) return;
        if (w.items.empty() || w.items.begin()->first.first > now) {
            uint64_t wake = deadline;
            if (!w.items.empty()) wake = std::min(wake, w.items.begin()->first.first);
            w.cv.wait_for(lock, std::chrono::nanoseconds(wake - now));
            continue;
        }
        auto it = w.items.begin();
        Work work = std::move(it->second);
        w.items.erase(it);
        lock.unlock();
        runTimed(w, work);
    }
}

struct RealQueueCore : QueueCore {
    std::shared_ptr<Worker> worker = std::make_shared<Worker>();
    bool isMain;
    std::once_flag started;

    RealQueueCore(std::string label, bool main) : QueueCore(std::move(label)), isMain(main) {
        worker->identity = identity;
        worker->statistics = statistics;
    }
    ~RealQueueCore() override {
        std::lock_guard<std::mutex> g(worker->m);
        worker->orphaned = true;
        worker->cv.notify_all();
    }
    virtual void ensureThread() {
        if (isMain) return;
        std::call_once(started, [this] {
            auto w = worker;
            std::thread([w] { runWorker(w, false); }).detach();
        });
    }
    // Items run in (due, posting order); an item due at 0 goes before
    // every item queued, each of which was due at a later instant.
    void insert(uint64_t dueNs, Work work) {
        ensureThread();
        std::lock_guard<std::mutex> g(worker->m);
        auto it = worker->items.emplace(std::make_pair(dueNs, worker->seq++), std::move(work));
        worker->enqueued.fetch_add(1, std::memory_order_release);
        // The worker only needs waking when its next deadline moved earlier.
        if (it == worker->items.begin()) worker->cv.notify_one();
    }
    void enqueue(uint64_t delayNs, Work work) override { insert(monotonicNs() + delayNs, std::move(work)); }
    void enqueueFirst(Work work) override { insert(0, std::move(work)); }
    void runSync(const Work& work) override {
        postAndWait([this](Work w) { enqueue(0, std::move(w)); }, work);
    }
    void suspend() override {
        std::lock_guard<std::mutex> g(worker->m);
        worker->suspendCount++;
    }
    void resume() override {
        std::lock_guard<std::mutex> g(worker->m);
        if (worker->suspendCount > 0) worker->suspendCount--;
        worker->cv.notify_all();
    }
};

// A global queue: a few threads share one worker, so its items run
// concurrently. A sync runs on the caller's thread, as nothing orders it
// against the other items.
struct ConcurrentQueueCore : RealQueueCore {
    static constexpr int kThreads = 4;
    std::once_flag poolStarted;
    explicit ConcurrentQueueCore(std::string label) : RealQueueCore(std::move(label), false) { worker->pooled = true; }
    void ensureThread() override {
        std::call_once(poolStarted, [this] {
            for (int i = 0; i < kThreads; ++i) {
                auto w = worker;
                std::thread([w] { runWorker(w, false); }).detach();
            }
        });
    }
    void runSync(const Work& work) override {
        CurrentQueueScope scope(identity);
        work();
    }
};

const char* globalQueueLabel(QualityOfService qos) {
    switch (qos) {
        case QualityOfService::background: return "com.apple.root.background-qos";
        case QualityOfService::utility: return "com.apple.root.utility-qos";
        case QualityOfService::defaultService: return "com.apple.root.default-qos";
        case QualityOfService::userInitiated: return "com.apple.root.user-initiated-qos";
        case QualityOfService::userInteractive: return "com.apple.root.user-interactive-qos";
    }
    return "com.apple.root.default-qos";
}

class RealRuntime : public Runtime {
public:
    uint64_t uptimeNs() override { return monotonicNs(); }
    Date now() override {
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        return Date{static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9};
    }
    std::shared_ptr<QueueCore> makeQueue(const std::string& label) override {
        return std::make_shared<RealQueueCore>(label, false);
    }
    std::shared_ptr<QueueCore> mainQueue() override { return main_; }
    std::shared_ptr<QueueCore> globalQueue(QualityOfService qos) override {
        std::lock_guard<std::mutex> g(globalsLock_);
        auto& core = globals_[static_cast<int>(qos)];
        if (!core) core = std::make_shared<ConcurrentQueueCore>(globalQueueLabel(qos));
        return core;
    }
    void sleepFor(double seconds) override {
        if (seconds > 0) std::this_thread::sleep_for(std::chrono::nanoseconds(secondsToNs(seconds)));
    }
    void runMainQueue(double seconds, const std::function<bool()>& until) override {
        drainMainWorker(*main_->worker, monotonicNs() + secondsToNs(seconds), until);
    }
    void semaphoreSignal(SemaphoreState& s) override {
        std::lock_guard<std::mutex> g(s.m);
        s.count++;
        s.cv.notify_one();
    }
    bool semaphoreWait(SemaphoreState& s, double timeoutSeconds) override {
        std::unique_lock<std::mutex> lock(s.m);
        if (timeoutSeconds < 0) {
            s.cv.wait(lock, [&] { return s.count > 0; });
        } else if (!s.cv.wait_for(lock, std::chrono::nanoseconds(secondsToNs(timeoutSeconds)),
                                  [&] { return s.count > 0; })) {
            return false;
        }
        s.count--;
        return true;
    }
    std::shared_ptr<RealQueueCore> main_ = std::make_shared<RealQueueCore>("com.apple.main-thread", true);
    std::mutex globalsLock_;
    std::shared_ptr<QueueCore> globals_[5];
};

RealRuntime& realRuntime() {
    static RealRuntime* runtime = new RealRuntime();  // never destroyed: queues may outlive main()
    return *runtime;
}

std::mutex installedLock;
std::shared_ptr<Runtime> installed;
std::atomic<Runtime*> currentRuntime{nullptr};
std::atomic<uint64_t> installs{0};

}  // namespace

Runtime& Runtime::current() {
    Runtime* r = currentRuntime.load(std::memory_order_acquire);
    return r ? *r : realRuntime();
}

uint64_t Runtime::installCount() { return installs.load(std::memory_order_acquire); }

void Runtime::install(std::shared_ptr<Runtime> runtime) {
    std::lock_guard<std::mutex> g(installedLock);
    installs.fetch_add(1, std::memory_order_acq_rel);
    installed = std::move(runtime);
    currentRuntime.store(installed.get(), std::memory_order_release);
}

void postAndWait(const std::function<void(Work)>& post, const Work& work) {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    post([&] {
        work();
        std::lock_guard<std::mutex> g(m);
        done = true;
        cv.notify_all();
    });
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return done; });
}

void runMainLoop() {
    auto& rt = realRuntime();
    runWorker(rt.main_->worker, true);
}

void stopMainLoop() {
    auto w = realRuntime().main_->worker;
    std::lock_guard<std::mutex> g(w->m);
    w->stopRequested = true;
    w->cv.notify_all();
}

uint64_t Clock::uptimeNs() { return Runtime::current().uptimeNs(); }
Date Clock::now() { return Runtime::current().now(); }

}  // namespace platform
