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
// Shares shrink as machines come, and places are kept as long as their
// batches stay open: machines that came first could otherwise hold every
// place for as long as they cared to, and keep a newcomer out. So when a
// machine under its share waits and no place is free, the pool asks whoever
// keeps what its places stand for (whenPlacesWanted) to give one back of a
// machine past its share (takeBackFrom): never of one that would then hold
// fewer than the waiter, so places do not pass to and fro between machines
// whose shares do not divide the total evenly.
//
// The pool never calls a ledger: what it decides comes back to its caller as
// offers, each a place already counted for the ledger it names, which the
// caller hands on (WorkLedger::deliverOffers) outside every lock. A ledger
// calls it under its own lock, never the other way round. Likewise a need
// for places back is only noted under the lock; the caller asks for them
// (askForPlacesBackIfWanted) once it is outside every lock.
//
// Any thread.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
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

    // `ask` runs, outside every lock and on whatever thread handed on the
    // pool's offers, when a machine under its share waits and no place is
    // free: whoever keeps what the places stand for then gives back what it
    // can of the machines takeBackFrom names. Asked once until it calls
    // takeBackFrom, and again whenever a change finds places still wanted.
    // Once, before the pool is used.
    void whenPlacesWanted(std::function<void()> ask);
    // Asks for places back when the pool found it needs some. Called by
    // whoever handed on the pool's offers, outside every lock.
    void askForPlacesBackIfWanted();
    // The machines one of whose places should be given back now, the one
    // furthest past its share first: those past their share holding at
    // least two more than the waiting machine under its share that holds
    // the fewest. None while a place is free or nobody under its share
    // waits. A place given back then goes to that waiting machine.
    std::vector<std::string> takeBackFrom();

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
    bool overShareLocked(size_t held, size_t machines) const { return held * (machines + 1) > total_; }
    // Hands free places to the waiting machines under their shares, and
    // notes whether places are wanted back.
    Offers serveLocked();
    std::vector<std::string> takeBackFromLocked() const;
    void forgetIdleLocked();

    const size_t total_;
    mutable std::mutex mutex_;
    size_t held_ = 0;
    std::map<std::string, Machine> machines_;
    uint64_t nextWaitSerial_ = 0;
    // Who gives places back (whenPlacesWanted), and where the asking stands:
    // due once the pool found places wanted, out once asked, until the
    // asked one looks at what is wanted (takeBackFrom).
    std::function<void()> askForPlaces_;
    enum class Asking : uint8_t { none, due, out };
    Asking asking_ = Asking::none;
};

}  // namespace platform
