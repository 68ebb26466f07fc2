#include "Platform/Runtime/WorkLedger.h"

#include <algorithm>
#include <iterator>
#include <limits>
#include <mutex>
#include <optional>
#include <utility>

#include "Platform/Network/Network.h"
#include "Platform/Runtime/Clock.h"
#include "Platform/Runtime/Dispatch.h"

namespace platform {

namespace {
thread_local std::shared_ptr<WorkLedger> tlsCurrentLedger;
thread_local std::shared_ptr<WorkLedger::Reserve> tlsCurrentReserve;

// The process's descriptor table is one, whoever holds its entries: what
// all peers hold together, and the total the Host set for it.
std::atomic<size_t> hostDescriptorsHeldNow{0};
std::atomic<size_t> hostDescriptorTotalNow{SIZE_MAX};
std::atomic<size_t> hostDescriptorsKeptNow{0};
std::atomic<size_t> hostDescriptorsKeptForMovesNow{0};
// Of what Reserves hold, what lies beyond the work's part: the part kept
// for moves in use. Reserves are taken one at a time, so that two never
// both count on the same room of it.
std::mutex hostMovesMutex;
std::atomic<size_t> hostMovesBeyondWork{0};

// What of `held` lies in the work's part (and the connections' beyond it).
size_t heldOutsideMoves(size_t held) {
    return held - std::min(held, hostMovesBeyondWork.load(std::memory_order_acquire));
}

// Who asks for descriptors of the Host-wide total: a peer's work, which
// leaves the parts kept for connections and for moves alone; a logged-in
// connection's socket, which may take any (the logged-in connections are
// no more than the part kept for them); and room for a copy's moves, which
// beyond the work's part may hold the part kept for moves, and no more.
// However full the total is of work that waits, on a person or on room,
// copies are then saved one after another, and logins still get in.
enum class DescriptorUse { work, connection, moves };

size_t hostWorkPart() {
    const size_t total = hostDescriptorTotalNow.load(std::memory_order_acquire);
    const size_t connections = hostDescriptorsKeptNow.load(std::memory_order_acquire);
    const size_t kept = hostDescriptorsKeptForMovesNow.load(std::memory_order_acquire);
    return total - std::min(total, connections + kept);
}

// Of `more` for moves with `held` held now, what would lie beyond the
// work's part; nothing when that does not fit the part kept for moves
// (under hostMovesMutex).
std::optional<size_t> hostMovesBeyondWorkFor(size_t held, size_t more) {
    const size_t total = hostDescriptorTotalNow.load(std::memory_order_acquire);
    const size_t kept = hostDescriptorsKeptForMovesNow.load(std::memory_order_acquire);
    const size_t work = hostWorkPart();
    const size_t inWork = heldOutsideMoves(held);
    const size_t beyond = more - std::min(more, work - std::min(work, inWork));
    const size_t used = hostMovesBeyondWork.load(std::memory_order_acquire);
    if (beyond > kept - std::min(kept, used) || more > total - std::min(total, held)) return std::nullopt;
    return beyond;
}

bool hostHasRoomFor(size_t held, size_t more, DescriptorUse use) {
    switch (use) {
        case DescriptorUse::work: {
            const size_t work = hostWorkPart();
            return more <= work - std::min(work, heldOutsideMoves(held));
        }
        case DescriptorUse::connection: {
            const size_t total = hostDescriptorTotalNow.load(std::memory_order_acquire);
            return more <= total - std::min(total, held);
        }
        case DescriptorUse::moves: {
            std::lock_guard lock(hostMovesMutex);
            return hostMovesBeyondWorkFor(held, more).has_value();
        }
    }
    return false;
}

void countHostDescriptors(WorkLedger::Held kind, size_t more) {
    if (kind == WorkLedger::Held::descriptors) hostDescriptorsHeldNow.fetch_add(more, std::memory_order_acq_rel);
}

void uncountHostDescriptors(WorkLedger::Held kind, size_t less) {
    if (kind == WorkLedger::Held::descriptors) hostDescriptorsHeldNow.fetch_sub(less, std::memory_order_acq_rel);
}

// Work waiting for descriptors to be given back (whenDescriptorsGivenBack),
// Host-wide: a peer's may wait on another peer's. Never destroyed, so that
// a thread still giving back descriptors at exit finds it.
struct DescriptorWaiter {
    std::weak_ptr<WorkLedger> ledger;
    const WorkLedger* key = nullptr;
    size_t amount = 0;
    bool forMoves = false;
    Work retry;
    // The work that waits, when its caller named it: gone, its wait goes
    // too.
    std::weak_ptr<const void> owner;
    bool owned = false;
    bool ownerGone() const { return owned && owner.expired(); }
    bool gone() const {
        const auto alive = ledger.lock();
        return !alive || alive->isCancelled() || ownerGone();
    }
};
struct DescriptorWaiters {
    std::mutex mutex;
    std::vector<DescriptorWaiter> waiting;
};
DescriptorWaiters& descriptorWaiters() {
    static auto* waiters = new DescriptorWaiters;
    return *waiters;
}

// Destroyed outside the lock: what a wait kept may give back more.
void dropDescriptorWaitersOf(const WorkLedger* ledger) {
    std::vector<DescriptorWaiter> gone;
    {
        auto& waiters = descriptorWaiters();
        std::lock_guard lock(waiters.mutex);
        const auto kept = std::partition(waiters.waiting.begin(), waiters.waiting.end(),
                                         [ledger](const DescriptorWaiter& waiter) { return waiter.key != ledger; });
        gone.assign(std::make_move_iterator(kept), std::make_move_iterator(waiters.waiting.end()));
        waiters.waiting.erase(kept, waiters.waiting.end());
    }
}

// Wakes the waiters whose descriptors fit now, and only those: a peer at
// its own bound waits for its own to come back, not for every other
// peer's. Called after every give-back, once it is counted, so a waiter
// whose need comes to fit is woken by the give-back that made it fit.
// Each goes on to a queue of the runtime's as the Host's own work, never
// run here: a give-back happens under its holder's locks (a connection
// closing its socket), which a retry may need.
void wakeDescriptorWaiters() {
    std::vector<DescriptorWaiter> woken;
    // Let go after the lock: a ledger whose last holder went meanwhile is
    // destroyed here, and that gives back what it kept.
    std::vector<std::shared_ptr<WorkLedger>> looked;
    {
        auto& waiters = descriptorWaiters();
        std::lock_guard lock(waiters.mutex);
        if (waiters.waiting.empty()) return;
        const auto stay = std::partition(waiters.waiting.begin(), waiters.waiting.end(), [&](const DescriptorWaiter& w) {
            auto ledger = w.ledger.lock();
            if (!ledger) return false;
            const bool waits =
                !ledger->isCancelled() && !w.ownerGone() && !ledger->descriptorsWouldFit(w.amount, w.forMoves);
            looked.push_back(std::move(ledger));
            return waits;
        });
        woken.assign(std::make_move_iterator(stay), std::make_move_iterator(waiters.waiting.end()));
        waiters.waiting.erase(stay, waiters.waiting.end());
    }
    if (woken.empty()) return;
    const WorkLedger::Charged nobody(nullptr);
    DispatchQueue::global(QualityOfService::utility).async([woken = std::move(woken)] {
        for (const auto& waiter : woken)
            if (!waiter.gone()) waiter.retry();
    });
}

// Takes `more` of the Host-wide total, unless that would pass the part of
// it open to the asker.
bool takeHostDescriptors(size_t more, DescriptorUse use) {
    size_t held = hostDescriptorsHeldNow.load(std::memory_order_acquire);
    do {
        if (!hostHasRoomFor(held, more, use)) return false;
    } while (!hostDescriptorsHeldNow.compare_exchange_weak(held, held + more, std::memory_order_acq_rel));
    return true;
}

// For a Reserve: `more` of the work's part and, past it, of the part kept
// for moves; what it took of the latter, or nothing when refused.
std::optional<size_t> takeHostDescriptorsForMoves(size_t more) {
    std::lock_guard lock(hostMovesMutex);
    size_t held = hostDescriptorsHeldNow.load(std::memory_order_acquire);
    for (;;) {
        const auto beyond = hostMovesBeyondWorkFor(held, more);
        if (!beyond) return std::nullopt;
        if (hostDescriptorsHeldNow.compare_exchange_weak(held, held + more, std::memory_order_acq_rel)) {
            hostMovesBeyondWork.fetch_add(*beyond, std::memory_order_acq_rel);
            return beyond;
        }
    }
}

void giveBackHostDescriptorsForMoves(size_t beyond) {
    if (beyond == 0) return;
    std::lock_guard lock(hostMovesMutex);
    hostMovesBeyondWork.fetch_sub(std::min(hostMovesBeyondWork.load(std::memory_order_acquire), beyond),
                                  std::memory_order_acq_rel);
}
}  // namespace

std::string WorkLedger::descriptorRefusal(const std::shared_ptr<WorkLedger>& ledger, const std::string& peerReason,
                                         size_t amount) {
    return refusedByHostDescriptorTotal(ledger, amount) ? "too many descriptors open on the Host" : peerReason;
}

void WorkLedger::setHostDescriptorTotal(size_t total, size_t keptForConnections, size_t keptForMoves) {
    hostDescriptorsKeptNow.store(std::min(total, keptForConnections), std::memory_order_release);
    hostDescriptorsKeptForMovesNow.store(std::min(total - std::min(total, keptForConnections), keptForMoves),
                                         std::memory_order_release);
    hostDescriptorTotalNow.store(total, std::memory_order_release);
    wakeDescriptorWaiters();
}

void WorkLedger::whenDescriptorsGivenBack(size_t amount, Work retry, std::weak_ptr<const void> owner, bool forMoves) {
    if (isCancelled()) return;
    std::vector<DescriptorWaiter> gone;
    {
        auto& waiters = descriptorWaiters();
        std::lock_guard lock(waiters.mutex);
        // Waits whose work went meanwhile (a listing whose session ended)
        // leave as others come: only live ones are kept between give-backs.
        const auto live = std::partition(waiters.waiting.begin(), waiters.waiting.end(),
                                         [](const DescriptorWaiter& w) { return !w.ownerGone() && !w.ledger.expired(); });
        gone.assign(std::make_move_iterator(live), std::make_move_iterator(waiters.waiting.end()));
        waiters.waiting.erase(live, waiters.waiting.end());
        const bool owned = owner.owner_before(std::weak_ptr<const void>()) ||
                           std::weak_ptr<const void>().owner_before(owner);
        waiters.waiting.push_back({weak_from_this(), this, amount, forMoves, std::move(retry), std::move(owner), owned});
    }
    gone.clear();
    // Gone meanwhile: cancel() may have dropped its waits before this one.
    if (isCancelled()) return dropDescriptorWaitersOf(this);
    // Descriptors given back between the asker's failed take and the line
    // above found nobody waiting: once it waits, a give-back either finds
    // it or is seen here (every give-back counts before it wakes).
    if (descriptorsWouldFit(amount, forMoves)) wakeDescriptorWaiters();
}

size_t WorkLedger::descriptorWaitersForTesting() {
    auto& waiters = descriptorWaiters();
    std::lock_guard lock(waiters.mutex);
    return waiters.waiting.size();
}

bool WorkLedger::descriptorsWouldFit(size_t amount, bool forMoves) const {
    {
        std::lock_guard lock(mutex_);
        const size_t k = static_cast<size_t>(Held::descriptors);
        if (held_[k] + amount > heldBound(Held::descriptors) || !heldWaiters_[k].empty()) return false;
    }
    return hostHasRoomFor(hostDescriptorsHeld(), amount, forMoves ? DescriptorUse::moves : DescriptorUse::work);
}

size_t WorkLedger::hostDescriptorTotal() { return hostDescriptorTotalNow.load(std::memory_order_acquire); }

size_t WorkLedger::hostDescriptorsKeptForConnections() {
    return hostDescriptorsKeptNow.load(std::memory_order_acquire);
}

size_t WorkLedger::hostDescriptorsHeld() { return hostDescriptorsHeldNow.load(std::memory_order_acquire); }

bool WorkLedger::refusedByHostDescriptorTotal(const std::shared_ptr<WorkLedger>& ledger, size_t amount) {
    if (ledger && ledger->held(Held::descriptors) + amount > heldBound(Held::descriptors)) return false;
    return !hostHasRoomFor(hostDescriptorsHeld(), amount, DescriptorUse::work);
}

WorkLedger::WorkLedger(std::string owner, size_t limitBytes, size_t maxJobs)
    : owner_(std::move(owner)), limit_(std::max<size_t>(limitBytes, 1)), maxJobs_(std::max<size_t>(maxJobs, 1)) {}

WorkLedger::~WorkLedger() {
    // A ledger let go without being cancelled takes its waits with it too.
    dropDescriptorWaitersOf(this);
    // What it still keeps in a pool (set aside, as no holding outlives it)
    // and its waiting go back there, cancelled or not.
    for (size_t k = 0; k < kHeldKinds; ++k) {
        if (!pools_[k]) continue;
        auto offers = pools_[k]->give(machine_, held_[k]);
        auto more = pools_[k]->stopWaiting(machine_, this);
        offers.insert(offers.end(), more.begin(), more.end());
        deliverOffers(pools_[k], std::move(offers), static_cast<Held>(k));
    }
    if (!total_) return;
    // Whatever is still told (nothing, once every holder let go) goes back.
    std::vector<std::weak_ptr<WorkLedger>> ledgers;
    total_->givePlace(machine_, this, ledgers);
    total_->adjust(machine_, toldTotal_, 0, ledgers);
    total_->leave(machine_, ledgers);
    if (ledgers.empty()) return;
    // The last holder may let go under its connection's lock: the others'
    // readers are woken on a queue of their own.
    const Charged nobody(nullptr);
    DispatchQueue::global(QualityOfService::utility).async(
        [ledgers = std::move(ledgers)]() mutable { wake(Wakeup{{}, {}, std::move(ledgers)}); });
}

void WorkLedger::shareTotal(std::shared_ptr<HostByteTotal> total, std::string machine) {
    std::lock_guard lock(mutex_);
    if (total_ || !total) return;
    total_ = std::move(total);
    machine_ = std::move(machine);
    total_->join(machine_);
    settleTotalLocked();
}

void WorkLedger::settleTotalLocked(Wakeup& wakeup) {
    if (!total_) return;
    const size_t holds = readBytes_ + jobBytes_ + arrivingBytes_ + placeBytes_ + placeReserved_ + sendingBytes_;
    if (holds == toldTotal_) return;
    total_->adjust(machine_, toldTotal_, holds, wakeup.ledgers);
    toldTotal_ = holds;
}

void WorkLedger::totalHasRoom() {
    Wakeup wakeup;
    std::vector<Work> resumed;
    {
        std::lock_guard lock(mutex_);
        if (cancelled_.load(std::memory_order_acquire)) return;
        if (!readingStoppedLocked()) wakeup.readers = std::exchange(waitingReaders_, {});
        resumed = takeSendWaitersLocked();
    }
    resumeSends(std::move(resumed));
    wake(std::move(wakeup));
}

size_t WorkLedger::bytesInUse() const {
    std::lock_guard lock(mutex_);
    return readBytes_ + jobBytes_ + arrivingBytes_ + placeBytes_;
}

size_t WorkLedger::arrivingBytes() const {
    std::lock_guard lock(mutex_);
    return arrivingBytes_ + placeBytes_;
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
    std::vector<SendWaiter> droppedSends;
    std::vector<std::deque<HeldWaiter>> droppedHeld;
    std::vector<HeldPool::Offers> offers(kHeldKinds);
    bool descriptorsGivenBack = false;
    {
        std::lock_guard lock(mutex_);
        cancelled_.store(true, std::memory_order_release);
        // Waiters hold their owners' turns, and their requests' places;
        // nobody will take them again.
        dropped = std::exchange(waiters_, {});
        droppedSends = std::exchange(sendWaiters_, {});
        for (size_t k = 0; k < kHeldKinds; ++k) {
            droppedHeld.push_back(std::exchange(heldWaiters_[k], {}));
            // Work that was to claim a place set aside for it never will.
            const size_t unclaimed = std::min(held_[k], setAside_[k]);
            held_[k] -= unclaimed;
            uncountHostDescriptors(static_cast<Held>(k), unclaimed);
            descriptorsGivenBack |= static_cast<Held>(k) == Held::descriptors && unclaimed > 0;
            setAside_[k] = 0;
            if (!pools_[k]) continue;
            // A peer that leaves gives up its wait: its machine no longer
            // counts among those sharing the pool for it.
            offers[k] = pools_[k]->give(machine_, unclaimed);
            auto more = pools_[k]->stopWaiting(machine_, this);
            offers[k].insert(offers[k].end(), more.begin(), more.end());
        }
    }
    for (size_t k = 0; k < kHeldKinds; ++k)
        if (pools_[k]) deliverOffers(pools_[k], std::move(offers[k]), static_cast<Held>(k));
    // Its waits for descriptors go with it, and what it had set aside of
    // them may be another's turn.
    dropDescriptorWaitersOf(this);
    if (descriptorsGivenBack) wakeDescriptorWaiters();
}

std::string WorkLedger::machine() const {
    std::lock_guard lock(mutex_);
    return machine_;
}

void WorkLedger::shareHostWide(Held kind, std::shared_ptr<HeldPool> pool, std::string machine) {
    std::lock_guard lock(mutex_);
    pools_[static_cast<size_t>(kind)] = std::move(pool);
    machine_ = std::move(machine);
}

std::vector<HeldPool::Offer> WorkLedger::givenBackToPoolLocked(Held kind, size_t amount) {
    const size_t k = static_cast<size_t>(kind);
    const bool waits = !cancelled_.load(std::memory_order_acquire) && !heldWaiters_[k].empty() &&
                       held_[k] < heldBound(kind);
    if (!waits) return pools_[k]->give(machine_, amount);
    return pools_[k]->give(machine_, amount, weak_from_this(), this);
}

void WorkLedger::deliverOffers(const std::shared_ptr<HeldPool>& pool, std::vector<HeldPool::Offer> offers, Held kind) {
    const size_t k = static_cast<size_t>(kind);
    for (size_t next = 0; next < offers.size(); ++next) {
        auto offer = std::move(offers[next]);
        HeldPool::Offers more;
        std::function<void(Holding)> granted;
        auto ledger = offer.ledger.lock();
        if (!ledger) {
            more = pool->give(offer.machine, 1);
        } else {
            std::lock_guard lock(ledger->mutex_);
            if (!ledger->cancelled_.load(std::memory_order_acquire) && !ledger->heldWaiters_[k].empty() &&
                ledger->held_[k] < heldBound(kind)) {
                ledger->held_[k] += 1;
                granted = std::move(ledger->heldWaiters_[k].front().granted);
                ledger->heldWaiters_[k].pop_front();
                if (!ledger->heldWaiters_[k].empty() && ledger->held_[k] < heldBound(kind))
                    more = pool->wait(ledger->machine_, ledger, ledger.get());
            } else {
                // Its waiter left, or its own places filled meanwhile.
                more = pool->give(ledger->machine_, 1);
            }
        }
        if (granted) granted(Holding(ledger, kind, 1));
        offers.insert(offers.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
    }
    // Whatever the pool decided under the locks, a need for places back
    // included, is acted on here, outside them.
    pool->askForPlacesBackIfWanted();
}

uint64_t WorkLedger::whenHeldFree(Held kind, std::function<void(Holding)> granted) {
    const size_t k = static_cast<size_t>(kind);
    HeldPool::Offers offers;
    std::shared_ptr<HeldPool> pool;
    uint64_t ticket = 0;
    {
        std::lock_guard lock(mutex_);
        if (cancelled_.load(std::memory_order_acquire)) return 0;
        if (!heldWaiters_[k].empty() || held_[k] >= heldBound(kind)) {
            ticket = ++nextHeldTicket_;
            heldWaiters_[k].push_back({ticket, std::move(granted)});
            return ticket;
        }
        pool = pools_[k];
        if (pool && !pool->tryTake(machine_, 1)) {
            // Past its machine's share of the Host-wide total it waits here,
            // as past its own places, and the pool knows it waits.
            ticket = ++nextHeldTicket_;
            heldWaiters_[k].push_back({ticket, std::move(granted)});
            offers = pool->wait(machine_, weak_from_this(), this);
        } else {
            held_[k] += 1;
            countHostDescriptors(kind, 1);
            pool.reset();
        }
    }
    if (pool) {
        deliverOffers(pool, std::move(offers), kind);
        return ticket;
    }
    granted(Holding(shared_from_this(), kind, 1));
    return 0;
}

void WorkLedger::stopWaitingForHeld(Held kind, uint64_t ticket) {
    const size_t k = static_cast<size_t>(kind);
    HeldPool::Offers offers;
    std::shared_ptr<HeldPool> pool;
    std::function<void(Holding)> withdrawn;
    {
        std::lock_guard lock(mutex_);
        auto& waiters = heldWaiters_[k];
        // In the order they came, so by ticket: found without a walk when
        // thousands wait.
        const auto it = std::lower_bound(waiters.begin(), waiters.end(), ticket,
                                         [](const HeldWaiter& waiter, uint64_t t) { return waiter.ticket < t; });
        if (ticket == 0 || it == waiters.end() || it->ticket != ticket) return;
        withdrawn = std::move(it->granted);
        waiters.erase(it);
        // The last of its waiters gone, the peer's machine no longer waits
        // in the pool for it.
        if (waiters.empty() && pools_[k]) {
            pool = pools_[k];
            offers = pool->stopWaiting(machine_, this);
        }
    }
    if (pool) deliverOffers(pool, std::move(offers), kind);
}

size_t WorkLedger::waitingFor(Held kind) const {
    std::lock_guard lock(mutex_);
    return heldWaiters_[static_cast<size_t>(kind)].size();
}

std::vector<std::function<void(WorkLedger::Holding)>> WorkLedger::serveHeldWaitersLocked(Held kind) {
    const size_t k = static_cast<size_t>(kind);
    std::vector<std::function<void(Holding)>> served;
    while (!heldWaiters_[k].empty() && held_[k] < heldBound(kind) && !cancelled_.load(std::memory_order_acquire)) {
        held_[k] += 1;
        countHostDescriptors(kind, 1);
        served.push_back(std::move(heldWaiters_[k].front().granted));
        heldWaiters_[k].pop_front();
    }
    return served;
}

void WorkLedger::setAside(Holding place) {
    if (place.ledger_.get() != this) return;
    {
        std::lock_guard lock(mutex_);
        // Nobody will claim it for a peer that is gone: it goes back (below,
        // outside the lock) rather than stay on the account.
        if (!cancelled_.load(std::memory_order_acquire)) {
            setAside_[static_cast<size_t>(place.kind_)] += std::exchange(place.amount_, 0);
            return;
        }
    }
    place.reset();
}

std::optional<WorkLedger::Holding> WorkLedger::claimSetAside(Held kind) {
    const size_t k = static_cast<size_t>(kind);
    std::lock_guard lock(mutex_);
    if (setAside_[k] == 0) return std::nullopt;
    setAside_[k] -= 1;
    return Holding(shared_from_this(), kind, 1);
}

size_t WorkLedger::sendWaiters() const {
    std::lock_guard lock(mutex_);
    return sendWaiters_.size();
}

size_t WorkLedger::sendingBytes() const {
    std::lock_guard lock(mutex_);
    return sendingBytes_;
}

bool WorkLedger::hasRoomToSend(size_t bytes) const {
    std::lock_guard lock(mutex_);
    return roomToSendLocked(bytes);
}

void WorkLedger::whenRoomToSend(size_t bytes, Work resume, std::weak_ptr<const void> owner) {
    std::vector<SendWaiter> gone;
    {
        std::lock_guard lock(mutex_);
        if (cancelled_.load(std::memory_order_acquire)) return;
        const uint64_t seen = total_ ? total_->releases() : 0;
        if (!roomToSendLocked(bytes)) {
            // Those whose owners went since, so that a peer whose
            // connections come and go while it reads nothing keeps no more
            // waits than it has owners: destroyed outside the lock.
            const auto kept = std::stable_partition(sendWaiters_.begin(), sendWaiters_.end(),
                                                    [](const SendWaiter& w) { return !w.owner.expired(); });
            std::move(kept, sendWaiters_.end(), std::back_inserter(gone));
            sendWaiters_.erase(kept, sendWaiters_.end());
            sendWaiters_.push_back({bytes, std::move(resume), std::move(owner)});
            // Room may come back on the total rather than here.
            if (total_ && total_->wakeWhenRoom(machine_, weak_from_this(), seen)) lookAgainSoon();
            return;
        }
    }
    resume();
}

void WorkLedger::chargeSending(size_t bytes) {
    std::lock_guard lock(mutex_);
    sendingBytes_ += bytes;
    settleTotalLocked();
}

std::vector<Work> WorkLedger::takeSendWaitersLocked() {
    std::vector<Work> resumed;
    const uint64_t seen = total_ ? total_->releases() : 0;
    for (auto it = sendWaiters_.begin(); it != sendWaiters_.end();) {
        const bool gone = it->owner.expired();
        if (!gone && !roomToSendLocked(it->bytes)) {
            ++it;
            continue;
        }
        // A gone owner's wait ends unrun, destroyed with what was resumed,
        // outside the lock.
        resumed.push_back(gone ? Work([dropped = std::move(it->resume)] {}) : std::move(it->resume));
        it = sendWaiters_.erase(it);
    }
    if (!sendWaiters_.empty() && total_ && total_->wakeWhenRoom(machine_, weak_from_this(), seen)) lookAgainSoon();
    return resumed;
}

void WorkLedger::lookAgainSoon() {
    // Room came back on the total between looking and being listed there:
    // those wakes went out without this ledger. Never under the caller's
    // locks: on a queue of its own, as the Host's own work.
    const Charged nobody(nullptr);
    DispatchQueue::global(QualityOfService::utility).async(
        [weak = weak_from_this()] { wake(Wakeup{{}, {}, {weak}}); });
}

void WorkLedger::releaseSending(size_t bytes) {
    std::vector<Work> resumed;
    Wakeup wakeup;
    {
        std::lock_guard lock(mutex_);
        sendingBytes_ -= std::min(sendingBytes_, bytes);
        settleTotalLocked(wakeup);
        resumed = takeSendWaitersLocked();
    }
    // Only other peers' ledgers: this connection's own lock is held.
    resumeSends(std::move(resumed));
    if (!wakeup.ledgers.empty()) {
        const Charged nobody(nullptr);
        DispatchQueue::global(QualityOfService::utility).async(
            [ledgers = std::move(wakeup.ledgers)]() mutable { wake(Wakeup{{}, {}, std::move(ledgers)}); });
    }
}

void WorkLedger::resumeSends(std::vector<Work> resumed) {
    if (resumed.empty()) return;
    // Never under the lock of the connection that wrote (a waiter may give
    // back a charge, which wakes connections): on a queue of their own, as
    // the Host's own work.
    const Charged nobody(nullptr);
    DispatchQueue::global(QualityOfService::utility).async([resumed = std::move(resumed)] {
        for (const auto& resume : resumed) resume();
    });
}

size_t WorkLedger::roomFor(const std::shared_ptr<TcpConnection>& reader, size_t unsettled, size_t pastBudget) {
    std::lock_guard lock(mutex_);
    const uint64_t seen = total_ ? total_->releases() : 0;
    const auto totalRoom = [&](HostByteTotal::Use use) {
        return total_ ? total_->roomFor(machine_, use) : std::numeric_limits<size_t>::max();
    };
    size_t room = readingStoppedLocked() ? 0 : limit_ - readBytes_ - jobBytes_ - arrivingBytes_;
    if (room > 0) room = std::min(room, totalRoom(HostByteTotal::Use::read));
    if (room == 0 && pastBudget > 0) {
        // What it holds counts against what it may read past the budget,
        // a packet of it still arriving included (the one holding the
        // place aside: that one has its own room).
        size_t holds = unsettled;
        for (const ArrivingPacket* packet : waitingForThePlace_)
            if (packet->readerKey_ == reader.get()) holds += packet->bytes_;
        // Those packets are served as read: they use the total's reserve.
        if (holds < pastBudget) room = std::min(pastBudget - holds, totalRoom(HostByteTotal::Use::reserve));
    }
    // The packet holding the place arrives whole, whatever the rest of the
    // peer holds, but within what the total leaves its machine; past that,
    // if it holds the machine's place too.
    if (place_ && place_->readerKey_ == reader.get()) {
        const size_t rest = place_->whole_ - std::min(place_->whole_, place_->bytes_ + unsettled);
        if (total_ && !placeGranted_ && rest > 0 &&
            (totalRoom(HostByteTotal::Use::read) >= rest || total_->takePlace(machine_, this, rest))) {
            placeGranted_ = true;
            placeReserved_ = rest;
            settleTotalLocked();
        }
        // Until then it reads nothing: what it read would only hold room.
        if (!total_ || placeGranted_) room = std::max(room, rest);
        else room = 0;
    } else if (total_ && std::any_of(waitingForThePlace_.begin(), waitingForThePlace_.end(),
                                     [&](const ArrivingPacket* packet) { return packet->readerKey_ == reader.get(); })) {
        // A packet waiting for the place reads on once it holds it: halves
        // of packets waiting on many peers would fill the total.
        room = 0;
    }
    if (room > 0) return room;
    if (total_ && total_->wakeWhenRoom(machine_, weak_from_this(), seen)) lookAgainSoon();
    const bool listed =
        std::any_of(waitingReaders_.begin(), waitingReaders_.end(), [&](const std::weak_ptr<TcpConnection>& w) {
            return !w.owner_before(reader) && !reader.owner_before(w);
        });
    if (!listed) waitingReaders_.push_back(reader);
    return 0;
}

void WorkLedger::charge(size_t bytes, const TcpConnection* reader) {
    std::lock_guard lock(mutex_);
    readBytes_ += bytes;
    // What the place's reader reads was set aside for it.
    if (reader && place_ && place_->readerKey_ == reader) placeReserved_ -= std::min(placeReserved_, bytes);
    settleTotalLocked();
}

WorkLedger::Wakeup WorkLedger::release(size_t bytes) {
    std::lock_guard lock(mutex_);
    readBytes_ -= std::min(readBytes_, bytes);
    Wakeup wakeup = wakeupLocked();
    settleTotalLocked(wakeup);
    return wakeup;
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
    settleTotalLocked();
}

void WorkLedger::releaseJob(size_t bytes) {
    Wakeup wakeup;
    {
        std::lock_guard lock(mutex_);
        jobs_ -= std::min<size_t>(jobs_, 1);
        jobBytes_ -= std::min(jobBytes_, bytes);
        wakeup = wakeupLocked();
        settleTotalLocked(wakeup);
    }
    wake(std::move(wakeup));
}

void WorkLedger::wake(Wakeup wakeup) {
    for (auto& waiter : wakeup.waiters) waiter();
    for (auto& weak : wakeup.readers)
        if (auto connection = weak.lock()) connection->budgetHasRoom();
    for (auto& weak : wakeup.ledgers)
        if (auto ledger = weak.lock()) ledger->totalHasRoom();
}

void WorkLedger::passThePlaceLocked(ArrivingPacket& packet, Wakeup& wakeup) {
    if (total_) total_->givePlace(machine_, this, wakeup.ledgers);
    placeGranted_ = false;
    placeReserved_ = 0;
    placeBytes_ -= std::min(placeBytes_, packet.bytes_);
    packet.place_ = false;
    place_ = nullptr;
    if (waitingForThePlace_.empty()) return;
    ArrivingPacket* next = waitingForThePlace_.front();
    waitingForThePlace_.pop_front();
    arrivingBytes_ -= std::min(arrivingBytes_, next->bytes_);
    placeBytes_ += next->bytes_;
    next->place_ = true;
    next->placeSinceNs_ = Clock::uptimeNs();
    place_ = next;
    // Its connection may read again even while the budget is used.
    wakeup.readers.push_back(next->reader_);
}

WorkLedger::ArrivingPacket::ArrivingPacket(std::shared_ptr<WorkLedger> ledger,
                                           const std::shared_ptr<TcpConnection>& reader, size_t wholeBytes)
    : ledger_(std::move(ledger)), readerKey_(reader.get()), reader_(reader), whole_(wholeBytes) {
    std::lock_guard lock(ledger_->mutex_);
    if (ledger_->place_) {
        ledger_->waitingForThePlace_.push_back(this);
        return;
    }
    ledger_->place_ = this;
    place_ = true;
    placeSinceNs_ = Clock::uptimeNs();
}

WorkLedger::ArrivingPacket::~ArrivingPacket() {
    Wakeup wakeup;
    {
        std::lock_guard lock(ledger_->mutex_);
        if (place_) {
            ledger_->passThePlaceLocked(*this, wakeup);
        } else {
            std::erase(ledger_->waitingForThePlace_, this);
            ledger_->arrivingBytes_ -= std::min(ledger_->arrivingBytes_, bytes_);
        }
        auto more = ledger_->wakeupLocked();
        wakeup.readers.insert(wakeup.readers.end(), more.readers.begin(), more.readers.end());
        wakeup.waiters = std::move(more.waiters);
        ledger_->settleTotalLocked(wakeup);
    }
    wake(std::move(wakeup));
}

void WorkLedger::ArrivingPacket::arrived(size_t bytes) {
    Wakeup wakeup;
    {
        std::lock_guard lock(ledger_->mutex_);
        size_t& kind = place_ ? ledger_->placeBytes_ : ledger_->arrivingBytes_;
        kind = kind - std::min(kind, bytes_) + bytes;
        const bool gaveBack = bytes < bytes_;
        bytes_ = bytes;
        if (gaveBack) wakeup = ledger_->wakeupLocked();
        // Bytes that arrive here were held as read until now, and their
        // reader gives them back as read next: told then, once, so that the
        // total never counts them twice meanwhile.
        if (gaveBack) ledger_->settleTotalLocked(wakeup);
    }
    wake(std::move(wakeup));
}

std::optional<WorkLedger::ArrivingPacket::Progress> WorkLedger::ArrivingPacket::arrivalProgress() {
    std::lock_guard lock(ledger_->mutex_);
    if (!place_ || bytes_ >= whole_) return std::nullopt;
    if (ledger_->total_ && !ledger_->placeGranted_) {
        placeSinceNs_ = Clock::uptimeNs();
        return std::nullopt;
    }
    return Progress{placeSinceNs_, bytes_};
}

WorkLedger::Charge::Charge(std::shared_ptr<WorkLedger> ledger, size_t bytes)
    : ledger_(std::move(ledger)), bytes_(bytes) {
    if (ledger_) ledger_->chargeJob(bytes_);
}

WorkLedger::Charge::~Charge() {
    if (ledger_) ledger_->releaseJob(bytes_);
}

const char* WorkLedger::heldName(Held kind) {
    switch (kind) {
        case Held::descriptors: return "descriptors";
        case Held::stagedBytes: return "staged bytes";
        case Held::batches: return "batches";
        case Held::listings: return "listings";
        case Held::sends: return "sends";
        case Held::saveLocations: return "copies waiting for a save location";
    }
    return "?";
}

size_t WorkLedger::held(Held kind) const {
    std::lock_guard lock(mutex_);
    return held_[static_cast<size_t>(kind)];
}

void WorkLedger::noteFileOpened() {
    std::lock_guard lock(mutex_);
    filesOpen_ += 1;
    noteFilesPastHoldingsLocked();
}

void WorkLedger::noteFilesPastHoldingsLocked() {
    // Room a Reserve took and nothing drew yet is held for no file.
    const size_t descriptors = held_[static_cast<size_t>(Held::descriptors)];
    const size_t heldForFiles = descriptors - std::min(descriptors, connectionSockets_ + reservedIdle_);
    if (filesOpen_ > heldForFiles)
        mostFilesOpenPastHoldings_ = std::max(mostFilesOpenPastHoldings_, filesOpen_ - heldForFiles);
}

void WorkLedger::noteFileClosed() {
    std::lock_guard lock(mutex_);
    filesOpen_ -= std::min<size_t>(filesOpen_, 1);
}

size_t WorkLedger::mostFilesOpenPastItsHoldings() const {
    std::lock_guard lock(mutex_);
    return mostFilesOpenPastHoldings_;
}

std::optional<WorkLedger::Holding> WorkLedger::Holding::take(std::shared_ptr<WorkLedger> ledger, Held kind,
                                                            size_t amount) {
    Holding holding(std::move(ledger), kind, 0);
    if (!holding.grow(amount)) return std::nullopt;
    return holding;
}

std::optional<WorkLedger::Holding> WorkLedger::Holding::takeForConnection(std::shared_ptr<WorkLedger> ledger) {
    Holding holding(std::move(ledger), Held::descriptors, 0);
    holding.connection_ = true;
    if (!holding.grow(1)) return std::nullopt;
    return holding;
}

WorkLedger::Holding::Holding(std::shared_ptr<WorkLedger> ledger, Held kind, size_t amount)
    : ledger_(std::move(ledger)), kind_(kind), amount_(amount) {}

WorkLedger::Holding::Holding(Holding&& other) noexcept
    : ledger_(std::move(other.ledger_)),
      kind_(other.kind_),
      amount_(std::exchange(other.amount_, 0)),
      connection_(other.connection_),
      moves_(other.moves_),
      beyondWork_(std::exchange(other.beyondWork_, 0)),
      drawnFrom_(std::move(other.drawnFrom_)) {}

WorkLedger::Holding& WorkLedger::Holding::operator=(Holding&& other) noexcept {
    if (this != &other) {
        reset();
        ledger_ = std::move(other.ledger_);
        kind_ = other.kind_;
        amount_ = std::exchange(other.amount_, 0);
        connection_ = other.connection_;
        moves_ = other.moves_;
        beyondWork_ = std::exchange(other.beyondWork_, 0);
        drawnFrom_ = std::move(other.drawnFrom_);
    }
    return *this;
}

bool WorkLedger::Holding::grow(size_t more) {
    if (!ledger_) return true;
    if (kind_ == Held::descriptors && !connection_ && more > 0) {
        // One that holds the peer's own stays the peer's: a holding is all
        // of one or all of the other.
        auto reserve = drawnFrom_ ? drawnFrom_ : amount_ == 0 ? tlsCurrentReserve : nullptr;
        if (reserve && reserve->whole_.ledger_ == ledger_) {
            std::lock_guard lock(ledger_->mutex_);
            if (reserve->whole_.amount_ - reserve->inUse_ >= more) {
                reserve->inUse_ += more;
                ledger_->reservedIdle_ -= more;
                amount_ += more;
                drawnFrom_ = std::move(reserve);
                return true;
            }
        }
        // Drawn from a reserve, it stays all the reserve's.
        if (drawnFrom_) return false;
    }
    std::lock_guard lock(ledger_->mutex_);
    size_t& held = ledger_->held_[static_cast<size_t>(kind_)];
    if (more > heldBound(kind_) - std::min(held, heldBound(kind_))) return false;
    // A place that frees goes to whoever waited for it first.
    if (more > 0 && !ledger_->heldWaiters_[static_cast<size_t>(kind_)].empty()) return false;
    // The one rule for every road a peer's descriptors take: past the
    // Host-wide total nothing more is held, so the reserve above it stays
    // the logins' and the Host's own.
    if (kind_ == Held::descriptors && more > 0 && moves_) {
        const auto beyond = takeHostDescriptorsForMoves(more);
        if (!beyond) return false;
        beyondWork_ += *beyond;
    } else if (kind_ == Held::descriptors && more > 0 &&
               !takeHostDescriptors(more, connection_ ? DescriptorUse::connection : DescriptorUse::work)) {
        return false;
    }
    // And only within the peer's machine's share of the Host-wide total.
    const auto& pool = ledger_->pools_[static_cast<size_t>(kind_)];
    if (more > 0 && pool && !pool->tryTake(ledger_->machine_, more)) return false;
    held += more;
    amount_ += more;
    if (connection_) ledger_->connectionSockets_ += more;
    return true;
}

void WorkLedger::Holding::shrink(size_t less) {
    less = std::min(less, amount_);
    if (!ledger_ || less == 0) return;
    if (drawnFrom_) {
        {
            std::lock_guard lock(ledger_->mutex_);
            drawnFrom_->inUse_ -= less;
            ledger_->reservedIdle_ += less;
            amount_ -= less;
            ledger_->noteFilesPastHoldingsLocked();
        }
        // The last holding drawn from a reserve that was let go of gives
        // the whole of it back, outside the lock.
        if (amount_ == 0) drawnFrom_.reset();
        return;
    }
    std::vector<std::function<void(Holding)>> served;
    std::shared_ptr<HeldPool> pool;
    HeldPool::Offers offers;
    {
        std::lock_guard lock(ledger_->mutex_);
        size_t& held = ledger_->held_[static_cast<size_t>(kind_)];
        held -= std::min(held, less);
        // The part kept for moves is given back first, and before the
        // total hears of it: the work's part never looks larger meanwhile.
        if (moves_) {
            const size_t beyond = std::min(less, beyondWork_);
            beyondWork_ -= beyond;
            giveBackHostDescriptorsForMoves(beyond);
        }
        uncountHostDescriptors(kind_, less);
        amount_ -= less;
        if (connection_) ledger_->connectionSockets_ -= std::min(ledger_->connectionSockets_, less);
        // Given back while what it was held for is still open, it leaves
        // the account saying less than is open: told as an open would.
        if (kind_ == Held::descriptors) ledger_->noteFilesPastHoldingsLocked();
        pool = ledger_->pools_[static_cast<size_t>(kind_)];
        // A pooled place goes back to the pool, which hands it to the
        // waiting machine holding the fewest, this peer's among them.
        if (pool) offers = ledger_->givenBackToPoolLocked(kind_, less);
        else served = ledger_->serveHeldWaitersLocked(kind_);
    }
    // A place given back passes to the oldest waiter for one.
    const auto ledger = ledger_;
    for (auto& granted : served) granted(Holding(ledger, kind_, 1));
    if (pool) deliverOffers(pool, std::move(offers), kind_);
    if (kind_ == Held::descriptors) wakeDescriptorWaiters();
}

void WorkLedger::Holding::reset() { shrink(amount_); }

std::shared_ptr<WorkLedger> WorkLedger::current() { return tlsCurrentLedger; }

std::shared_ptr<WorkLedger::Reserve> WorkLedger::Reserve::take(std::shared_ptr<WorkLedger> ledger, size_t amount) {
    // Taken from the peer itself, never drawn from a reserve current here.
    const Use none(nullptr);
    Holding whole(std::move(ledger), Held::descriptors, 0);
    whole.moves_ = true;
    if (!whole.grow(amount)) return nullptr;
    const auto owner = whole.ledger_;
    std::shared_ptr<Reserve> reserve(new Reserve(std::move(whole)));
    if (owner) {
        std::lock_guard lock(owner->mutex_);
        owner->reservedIdle_ += amount;
    }
    return reserve;
}

WorkLedger::Reserve::~Reserve() {
    if (const auto& ledger = whole_.ledger_) {
        std::lock_guard lock(ledger->mutex_);
        ledger->reservedIdle_ -= std::min(ledger->reservedIdle_, whole_.amount_ - inUse_);
    }
}

WorkLedger::Reserve::Use::Use(std::shared_ptr<Reserve> reserve)
    : previous_(std::exchange(tlsCurrentReserve, std::move(reserve))) {}

WorkLedger::Reserve::Use::~Use() { tlsCurrentReserve = std::move(previous_); }

std::shared_ptr<WorkLedger::Reserve> WorkLedger::Reserve::current() { return tlsCurrentReserve; }

size_t WorkLedger::descriptorsReservedIdle() const {
    std::lock_guard lock(mutex_);
    return reservedIdle_;
}

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
