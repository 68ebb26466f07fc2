#pragma once
// What all peers' ledgers hold in bytes together (read and not yet served,
// packets still arriving, held by jobs, waiting to be sent), with one bound
// for the whole Host and a part of it for each machine. Each ledger bounds
// its own peer, but peers are many: one machine may take as many addresses
// of its /64 as it likes, and each would otherwise bring a whole budget and
// a packet larger than it. The ledgers report every change of what they
// hold here (WorkLedger::shareTotal), and ask here how much more their
// machine may take.
//
// A machine's part is the bound shared among the machines with a ledger now
// and one more (a newcomer's): machines a part or more past their own
// stop while a part is still free. A machine may borrow past its part while
// the total has room, but the more it holds past its part the earlier it
// stops: when the total fills, the machine that holds the most gives way
// first, and those within their part read on.
//
// Being within its part never takes a machine past the bound: parts shrink
// as machines join, so machines joining one at a time, each filling the
// part of its time, would together hold the sum of limit/(k+1), several
// times the bound. Whatever is let in here keeps the total within the
// limit. What the Host sends its peers asks too (WorkLedger::hasRoomToSend):
// frames and audio a machine has no room for are dropped, and a control
// packet whose answers it has no room for waits, so what is told without
// asking is bounded apart: the answers of a packet already let through, and
// the few replies of a login or of a paced change.
// The last kReserveFraction of it is kept from ordinary reads: its first half for replies and (from its middle) for the first
// packets of a machine that holds next to nothing and for the rest of a
// packet holding its machine's place, so a newcomer is served and the
// others' requests can still be answered while they hold the rest; its
// last half for what is read past a peer's budget alone (frame
// acknowledgements, input), which replies never reach, so a watcher within
// its part is not held behind the others' packets or replies.
//
// Nothing is refused here: a ledger that finds no room waits, and is woken
// once its machine has room again (bytes given back, or a machine gone and
// the parts grown). Any thread; calls no ledger under its lock. Room is
// asked for before the bytes are told (adjust), not taken: callers asking
// at once on different threads may each be told the same room.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

class WorkLedger;

class HostByteTotal {
public:
    // What all Viewers' packets and replies may hold in the Host together.
    static constexpr size_t kDefaultLimitBytes = size_t{512} << 20;
    // The part of the bound that ordinary reads leave to reads past a
    // budget, replies, newcomers and packets holding a machine's place.
    static constexpr size_t kReserveFraction = 64;

    explicit HostByteTotal(size_t limitBytes = kDefaultLimitBytes);
    HostByteTotal(const HostByteTotal&) = delete;
    HostByteTotal& operator=(const HostByteTotal&) = delete;

    size_t limit() const { return limit_; }
    size_t bytesInUse() const;
    size_t bytesOf(const std::string& machine) const;
    // The part of each machine now.
    size_t part() const;

    // Why bytes are asked for: a read (packets, a packet's place), or what
    // may use the reserve (a read past the budget, a reply).
    enum class Use : uint8_t { read, reserve };

    // Used by the ledgers (WorkLedger) only.
    void join(const std::string& machine);
    // The machine's ledger goes: once it had the last and holds nothing,
    // the other machines' parts grow, and ledgers to wake, once their
    // machines have room, are added to `wake`.
    void leave(const std::string& machine, std::vector<std::weak_ptr<WorkLedger>>& wake);
    // The machine now holds `now` bytes where it held `before`: ledgers to
    // wake, once room returned to their machines, are added to `wake`.
    void adjust(const std::string& machine, size_t before, size_t now,
                std::vector<std::weak_ptr<WorkLedger>>& wake);
    // How much more the machine may take now.
    size_t roomFor(const std::string& machine, Use use) const;
    // Whether a reply of `bytes` may be queued for the machine now: within
    // the first half of the reserve, by the rule of parts or within the
    // machine's own part.
    bool mayQueue(const std::string& machine, size_t bytes) const;
    // One packet still arriving per machine, among those holding their
    // peers' places, may set the rest of it (`rest` bytes) aside past the
    // machine's part, while it fits whole outside the reserve's last half:
    // so the machine's own packets never keep all of its packets from
    // arriving. False when another holds it or the rest does not fit.
    // `holder` is the peer's ledger.
    bool takePlace(const std::string& machine, const void* holder, size_t rest);
    // Given back when the holder's packet ends; the machine's waiting
    // ledgers are added to `wake`.
    void givePlace(const std::string& machine, const void* holder, std::vector<std::weak_ptr<WorkLedger>>& wake);
    size_t placeRoom() const;
    // Counts every time room may have come back (bytes given back, a place
    // given back, a machine gone). Read before looking for room.
    uint64_t releases() const;
    // Wakes `ledger` (through `adjust`) once its machine has room again.
    // True when room came back since the caller read `seen` and its machine
    // has some now: those wakes went out before it was listed, so it looks
    // again itself.
    bool wakeWhenRoom(const std::string& machine, const std::weak_ptr<WorkLedger>& ledger, uint64_t seen);

private:
    struct Machine {
        size_t ledgers = 0;
        size_t bytes = 0;
        // Ledgers waiting for room for this machine.
        std::vector<std::weak_ptr<WorkLedger>> waiting;
        // The ledger whose packet holds the machine's place (takePlace).
        const void* placeHolder = nullptr;
    };
    size_t roomLocked(const Machine& machine, Use use) const;
    // What the total leaves below `ceiling`, whoever asks.
    size_t leftBelowLocked(size_t ceiling) const;
    // Moves the waiters of every machine with room now to `wake`.
    void wakeThoseWithRoomLocked(std::vector<std::weak_ptr<WorkLedger>>& wake);
    // What the rule of parts leaves the machine below `ceiling`.
    size_t roomBelowLocked(const Machine& machine, size_t ceiling) const;
    size_t partLocked() const;

    const size_t limit_;
    mutable std::mutex mutex_;
    size_t total_ = 0;
    uint64_t releases_ = 0;
    std::map<std::string, Machine> machines_;
};

}  // namespace platform
