#pragma once
// A Host-wide total of one kind a peer's account holds (WorkLedger::Held),
// shared fairly among the machines whose peers hold or wait for some. Every
// peer's account stays bounded on its own; the pool keeps a few machines
// from taking the whole total between them, since a machine may take any
// number of addresses (a /64) and so any number of peers' bounds.
//
// A machine takes a place only while it holds less than its share: the total
// divided among the machines that hold or wait for places and one more, so
// that the place a newcomer needs is left free. Two machines at their shares
// hold at most 16 + 11 of 32 places, and a third always finds one. A machine
// at its share waits (its peers' accounts hold the waiters, see
// WorkLedger::whenHeldFree); a place given back goes to the waiting machine
// holding the fewest, then to the one that waited longest.
//
// The pool never calls a ledger: what it decides comes back to its caller as
// offers, each a place already counted for the ledger it names, which the
// caller hands on (WorkLedger::deliverOffers) outside every lock. A ledger
// calls it under its own lock, never the other way round.
//
// Any thread.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

class WorkLedger;

class HeldPool {
public:
    explicit HeldPool(size_t total);
    HeldPool(const HeldPool&) = delete;
    HeldPool& operator=(const HeldPool&) = delete;

    size_t total() const { return total_; }
    // Places held now, by all machines and by one, offers on their way
    // included.
    size_t held() const;
    size_t heldBy(const std::string& machine) const;
    // Machines that hold or wait for places.
    size_t machinesSharing() const;
    // Ledgers waiting for a place.
    size_t waiting() const;

    // A place offered to a ledger, already counted for its machine: given
    // back as that machine's when the ledger is gone before it takes it.
    struct Offer {
        std::weak_ptr<WorkLedger> ledger;
        std::string machine;
    };
    using Offers = std::vector<Offer>;

    // `amount` for `machine` when they fit the total and its share (the last
    // of them taken while it holds less than the share).
    bool tryTake(const std::string& machine, size_t amount);
    // `ledger` waits for a place for `machine`, once however often it asks.
    Offers wait(const std::string& machine, const std::weak_ptr<WorkLedger>& ledger, const WorkLedger* key);
    // `amount` given back by `machine`; `waiter`, when set, waits for one
    // again before the places are handed on, so that it is weighed with
    // the others.
    Offers give(const std::string& machine, size_t amount, const std::weak_ptr<WorkLedger>& waiter = {},
                const WorkLedger* key = nullptr);
    // The ledger waits no longer (its peer is gone): its machine counts only
    // for what it still holds.
    Offers stopWaiting(const std::string& machine, const WorkLedger* key);

private:
    struct Waiter {
        std::weak_ptr<WorkLedger> ledger;
        const WorkLedger* key = nullptr;
    };
    struct Machine {
        size_t held = 0;
        // Its peers' ledgers waiting, in the order they asked.
        std::deque<Waiter> waiting;
        // When it started waiting, for ties among those holding as few.
        uint64_t waitingSince = 0;
    };
    size_t sharingLocked() const;
    bool underShareLocked(size_t held, size_t machines) const { return held * (machines + 1) < total_; }
    void addWaiterLocked(Machine& machine, const std::weak_ptr<WorkLedger>& ledger, const WorkLedger* key);
    // Hands free places to the waiting machines under their shares.
    Offers serveLocked();
    void forgetIdleLocked();

    const size_t total_;
    mutable std::mutex mutex_;
    size_t held_ = 0;
    std::map<std::string, Machine> machines_;
    uint64_t nextWaitSerial_ = 0;
};

}  // namespace platform
