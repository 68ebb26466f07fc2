#include "Platform/Runtime/WorkLedger.h"

#include <algorithm>
#include <utility>

#include "Platform/Network/Network.h"

namespace platform {

namespace {
thread_local std::shared_ptr<WorkLedger> tlsCurrentLedger;
}  // namespace

WorkLedger::WorkLedger(std::string owner, size_t limitBytes, size_t maxJobs)
    : owner_(std::move(owner)), limit_(std::max<size_t>(limitBytes, 1)), maxJobs_(std::max<size_t>(maxJobs, 1)) {}

size_t WorkLedger::bytesInUse() const {
    std::lock_guard lock(mutex_);
    return readBytes_ + jobBytes_;
}

size_t WorkLedger::jobsInUse() const {
    std::lock_guard lock(mutex_);
    return jobs_;
}

bool WorkLedger::overBudget() const {
    std::lock_guard lock(mutex_);
    return overBudgetLocked();
}

void WorkLedger::whenUnderBudget(Work resume) {
    {
        std::lock_guard lock(mutex_);
        if (cancelled_.load(std::memory_order_acquire)) return;
        if (overBudgetLocked()) {
            waiters_.push_back(std::move(resume));
            return;
        }
    }
    resume();
}

void WorkLedger::cancel() {
    std::vector<Work> dropped;
    {
        std::lock_guard lock(mutex_);
        cancelled_.store(true, std::memory_order_release);
        // Waiters hold their owners' turns; nobody will take them again.
        dropped = std::exchange(waiters_, {});
    }
}

size_t WorkLedger::roomFor(const std::shared_ptr<TcpConnection>& reader) {
    std::lock_guard lock(mutex_);
    if (!readingStoppedLocked()) return limit_ - readBytes_ - jobBytes_;
    const bool listed =
        std::any_of(waitingReaders_.begin(), waitingReaders_.end(), [&](const std::weak_ptr<TcpConnection>& w) {
            return !w.owner_before(reader) && !reader.owner_before(w);
        });
    if (!listed) waitingReaders_.push_back(reader);
    return 0;
}

void WorkLedger::charge(size_t bytes) {
    std::lock_guard lock(mutex_);
    readBytes_ += bytes;
}

WorkLedger::Wakeup WorkLedger::release(size_t bytes) {
    std::lock_guard lock(mutex_);
    readBytes_ -= std::min(readBytes_, bytes);
    return wakeupLocked();
}

WorkLedger::Wakeup WorkLedger::wakeupLocked() {
    Wakeup wakeup;
    if (!readingStoppedLocked()) wakeup.readers = std::exchange(waitingReaders_, {});
    if (!overBudgetLocked()) wakeup.waiters = std::exchange(waiters_, {});
    return wakeup;
}

void WorkLedger::chargeJob(size_t bytes) {
    std::lock_guard lock(mutex_);
    ++jobs_;
    jobBytes_ += bytes;
}

void WorkLedger::releaseJob(size_t bytes) {
    Wakeup wakeup;
    {
        std::lock_guard lock(mutex_);
        jobs_ -= std::min<size_t>(jobs_, 1);
        jobBytes_ -= std::min(jobBytes_, bytes);
        wakeup = wakeupLocked();
    }
    wake(std::move(wakeup));
}

void WorkLedger::wake(Wakeup wakeup) {
    for (auto& waiter : wakeup.waiters) waiter();
    for (auto& weak : wakeup.readers)
        if (auto connection = weak.lock()) connection->budgetHasRoom();
}

WorkLedger::Charge::Charge(std::shared_ptr<WorkLedger> ledger, size_t bytes)
    : ledger_(std::move(ledger)), bytes_(bytes) {
    if (ledger_) ledger_->chargeJob(bytes_);
}

WorkLedger::Charge::~Charge() {
    if (ledger_) ledger_->releaseJob(bytes_);
}

std::shared_ptr<WorkLedger> WorkLedger::current() { return tlsCurrentLedger; }

WorkLedger::Charged::Charged(std::shared_ptr<WorkLedger> ledger)
    : previous_(std::exchange(tlsCurrentLedger, std::move(ledger))) {}

WorkLedger::Charged::~Charged() { tlsCurrentLedger = std::move(previous_); }

Work WorkLedger::chargedToCurrent(Work work, size_t bytes, bool dropWhenGone) {
    if (!tlsCurrentLedger) return work;
    auto charge = std::make_shared<Charge>(tlsCurrentLedger, bytes);
    return [charge = std::move(charge), work = std::move(work), dropWhenGone]() mutable {
        const auto& ledger = charge->ledger();
        if (dropWhenGone && ledger->isCancelled()) {
            charge.reset();
            return;
        }
        {
            const Charged scope(ledger);
            work();
        }
        // What the job held goes back as soon as it is done, not when the
        // queue gets round to destroying it.
        work = nullptr;
        charge.reset();
    };
}

}  // namespace platform
