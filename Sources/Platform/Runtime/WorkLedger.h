#pragma once
// What one peer's packets cost the process, wherever that cost sits: the
// bytes read for it and not yet served, and every job its packets started
// on any queue (one job each, plus the bytes a job says it holds). A peer's
// connections share one ledger. While the bytes read and the jobs' bytes
// together reach the budget, or the jobs their count, nothing more is read
// from its connections; while its jobs alone reach either bound, nothing
// more is served from them either. So whatever road a peer's packets take,
// what they leave behind is bounded (at most twice the budget, read and
// held) and paid back before more is taken. Bytes read but not served never
// stop serving: serving is what gives them back.
//
// A packet still arriving is charged too (ArrivingPacket), by the reader
// that buffers it: one of them at a time holds the peer's place and may
// arrive whole, however large; the others count against the budget. So are
// the bytes waiting to be sent to the peer, with a bound of their own.
//
// All these bytes also count on the Host's total (HostByteTotal, shareTotal),
// under the peer's machine: while the machine has no room there, nothing more
// is read from its peers, the packet holding a peer's place included, and
// replies wait, within its part or not.
//
// Work posted with DispatchQueue::async while a ledger is current on the
// posting thread (WorkLedger::Charged) is charged to it, and runs with it
// current, so work that hops on is charged too. When the peer is gone
// (cancel()), its charged jobs still waiting on a queue that drops a gone
// peer's work are dropped unrun; on other queues they run, as they may keep
// shared state right.
//
// Any thread.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Runtime/HostByteTotal.h"
#include "Platform/Runtime/HeldPool.h"

namespace platform {

class TcpConnection;
using Work = std::function<void()>;

class WorkLedger : public std::enable_shared_from_this<WorkLedger> {
public:
    // Jobs a peer may have waiting or running at once: far above what a
    // person's use starts, low enough that a flood of cheap jobs cannot
    // bury a queue that other Viewers need.
    static constexpr size_t kDefaultMaxJobs = 256;

    // `owner` names the peer (its log scope); `limitBytes` bounds the bytes
    // read and not yet served together with those held by its jobs.
    WorkLedger(std::string owner, size_t limitBytes, size_t maxJobs = kDefaultMaxJobs);
    ~WorkLedger();
    WorkLedger(const WorkLedger&) = delete;
    WorkLedger& operator=(const WorkLedger&) = delete;

    const std::string& owner() const { return owner_; }
    size_t limit() const { return limit_; }
    // Counts what this ledger holds in bytes on `total` too, as `machine`'s
    // (the peer's /64 or IPv4 address), from now until it goes. Once, before
    // anything is charged.
    void shareTotal(std::shared_ptr<HostByteTotal> total, std::string machine);
    const std::shared_ptr<HostByteTotal>& total() const { return total_; }
    size_t maxJobs() const { return maxJobs_; }
    // What the peer's packets hold: bytes read and not yet served (packets
    // still arriving included) plus bytes held by jobs.
    size_t bytesInUse() const;
    size_t jobsInUse() const;
    // Bytes of packets still arriving on the peer's connections, the one
    // that holds its place included.
    size_t arrivingBytes() const;
    // The peer's jobs are at either bound: its connections are neither read
    // nor served until work returns.
    bool overBudget() const;
    // Runs `resume` once the jobs are under budget again (at once when they
    // are now). On whatever thread gave the room back; keep it short.
    void whenUnderBudget(Work resume);

    // Bytes waiting to be sent to the peer, on any of its connections
    // (TcpConnection::setSendBudget), have a bound of their own: a reply is
    // built and queued for the peer only while it fits under it, so a peer
    // that does not read gets no more. A packet larger than the bound goes
    // when nothing waits.
    static constexpr size_t kMaxSendingBytes = size_t{32} << 20;
    // What a queued send holds beside its bytes (its place in the queue,
    // its buffer's allocation, its completion). A connection charges it
    // with every send, so room is asked for with it: a send that fits the
    // budget then also fits the connection's own backlog bound, which is
    // no larger, and a slow reader's connection waits instead of being
    // closed for a backlog its budget let through.
    static constexpr size_t kSendOverheadBytes = 256;
    size_t sendingBytes() const;
    bool hasRoomToSend(size_t bytes) const;
    // Bytes a test sets on the account as if queued on the peer's
    // connections, and takes off as if they were written.
    void chargeSendingForTesting(size_t bytes) { chargeSending(bytes); }
    void releaseSendingForTesting(size_t bytes) { releaseSending(bytes); }
    // Runs `resume` once `bytes` more would fit (at once, here, when they
    // do now; else on a queue of the runtime's), unless the peer is gone
    // first, or `owner` (whatever the resumed work is for: a connection's
    // turns, a session's stream) is. A peer stays while its connections
    // come and go, so a gone owner's wait is dropped rather than kept
    // until room comes back. Keep it short.
    void whenRoomToSend(size_t bytes, Work resume, std::weak_ptr<const void> owner);
    // Waits for room listed now.
    size_t sendWaiters() const;

    // The peer is gone: what it still has waiting on a dropping queue is
    // dropped, and no waiter is resumed any more.
    void cancel();
    bool isCancelled() const { return cancelled_.load(std::memory_order_acquire); }

    // One job's share of the ledger: a job and its bytes, charged when made
    // and given back when destroyed, whether the job ran or not.
    class Charge {
    public:
        Charge(std::shared_ptr<WorkLedger> ledger, size_t bytes);
        ~Charge();
        Charge(const Charge&) = delete;
        Charge& operator=(const Charge&) = delete;
        const std::shared_ptr<WorkLedger>& ledger() const { return ledger_; }

    private:
        std::shared_ptr<WorkLedger> ledger_;
        size_t bytes_;
    };

    // A packet still arriving on one of the peer's connections: the part of
    // it its reader has buffered, charged while it is buffered and given
    // back when the reader destroys it (the packet was served, or the
    // connection went). One such packet per peer holds the peer's place: its
    // bytes are not held against the budget, and its connection may read
    // the rest of it whatever the budget says, so that a packet larger than
    // the budget still arrives, one at a time, however many connections the
    // peer opens. The others count against the budget as any byte read, and
    // once it is used their connections wait: the place passes to the
    // oldest of them when it is given back. Its reader's queue only.
    class ArrivingPacket {
    public:
        // `wholeBytes`: the packet's size as its header announces it.
        ArrivingPacket(std::shared_ptr<WorkLedger> ledger, const std::shared_ptr<TcpConnection>& reader,
                       size_t wholeBytes);
        ~ArrivingPacket();
        ArrivingPacket(const ArrivingPacket&) = delete;
        ArrivingPacket& operator=(const ArrivingPacket&) = delete;

        // Bytes of it buffered now.
        void arrived(size_t bytes);
        size_t wholeBytes() const { return whole_; }
        // While it holds the place and some of it has still to come: when
        // it took the place (uptime ns), and how much of it has arrived.
        // Nothing otherwise: it waits for the place, or for room for the
        // rest of it on the Host's total (its peer is not at fault, and its
        // time starts again once it reads on), or has all arrived.
        struct Progress {
            uint64_t placeSinceNs = 0;
            size_t bytes = 0;
        };
        std::optional<Progress> arrivalProgress();

    private:
        friend class WorkLedger;
        const std::shared_ptr<WorkLedger> ledger_;
        // Its connection, to tell and to wake it; never dereferenced
        // without the weak reference.
        const TcpConnection* const readerKey_;
        const std::weak_ptr<TcpConnection> reader_;
        const size_t whole_;
        // Under the ledger's mutex.
        size_t bytes_ = 0;
        bool place_ = false;
        // When it took the place.
        uint64_t placeSinceNs_ = 0;
    };

    // What else the Host keeps for the peer, beside bytes and jobs: the
    // descriptors it holds open for it, the bytes it has staged on disk,
    // its open batches, listings and sends, and its copies waiting for the
    // Host's user to pick a folder. Each kind has its bound; what would
    // pass it is refused by whoever asks for it, or waits its turn where
    // the asker can wait (whenHeldFree).
    enum class Held : uint8_t { descriptors, stagedBytes, batches, listings, sends, saveLocations };
    static constexpr size_t kHeldKinds = 6;
    static constexpr size_t heldBound(Held kind) {
        switch (kind) {
            // Its connections, and the folders and files its transfers
            // keep open: far above a person's use, a small share of the
            // process's limit.
            case Held::descriptors: return 512;
            // The disk's free space bounds it first in most cases; this
            // keeps one peer from filling a large one.
            case Held::stagedBytes: return size_t{64} << 30;
            // Received batches from their start until the Host has let go
            // of them (saved, or given up), whatever stage they are at.
            case Held::batches: return 16;
            // Listings waiting, being made or waiting for room to be sent.
            case Held::listings: return 4;
            // Sends of the Host's files the peer asked for, waiting or
            // being sent.
            case Held::sends: return 4;
            // Received copies whose save-location panel waits for the
            // Host's user: they wait on a person, not on the Host, so they
            // hold no place among the batches in flight.
            case Held::saveLocations: return 16;
        }
        return 0;
    }
    static const char* heldName(Held kind);
    size_t held(Held kind) const;

    // The files and folders the Host's file layer holds open while the
    // peer's work is current are counted apart from its holdings (by the
    // handles themselves, FileHandle), so that what is really open can be
    // held against what the account says: each one opened should find a
    // descriptor of the peer's held for it beyond its connections' sockets,
    // from its open until it is closed. How many it ever found too few, at
    // most, tells a road that charges fewer than it opens, or gives back
    // before it closes, even one whose files are open only within a job.
    void noteFileOpened();
    void noteFileClosed();
    size_t mostFilesOpenPastItsHoldings() const;

    // The descriptors all peers hold together have a Host-wide total too,
    // below the process's own limit: what lies above it is kept for the
    // connections that have not logged in yet (bounded by their waiting
    // rooms) and the Host's own files, so that however many peers hold
    // their bound, a login is still accepted and the Host still works. Of
    // the total, `keptForConnections` are further kept for logged-in
    // connections' sockets (bounded by the logged-in connection cap): a
    // peer's files and folders never take the place a login needs. No
    // total until the Host sets one at start (SIZE_MAX: none). Of the rest,
    // `keptForMoves` are kept for room taken for a copy's moves (Reserve):
    // however full the total is of work that waits on a person or on room,
    // copies are still saved, one after the other, and give back what they
    // held while they waited.
    static constexpr size_t kDescriptorsKeptForMoves = 16;
    static void setHostDescriptorTotal(size_t total, size_t keptForConnections, size_t keptForMoves = 0);
    static size_t hostDescriptorTotal();
    static size_t hostDescriptorsKeptForConnections();
    // What all peers' Holdings of descriptors hold now.
    static size_t hostDescriptorsHeld();
    // Whether `amount` more descriptors for `ledger` would be refused by the
    // Host-wide total, not by the peer's own bound: the reason a refusal
    // gives names the one that refused.
    static bool refusedByHostDescriptorTotal(const std::shared_ptr<WorkLedger>& ledger, size_t amount = 1);
    // What a refusal of `amount` descriptors says: `peerReason` when the
    // peer's own bound refused them, else that the Host's total did.
    static std::string descriptorRefusal(const std::shared_ptr<WorkLedger>& ledger, const std::string& peerReason,
                                         size_t amount = 1);
    // For work that found no `amount` descriptors for the peer and waits
    // for them rather than look again on a timer: `retry` runs, on a queue
    // of the runtime's as the Host's own work, once descriptors given back
    // (the peer's own, or another's while the Host-wide total stands in the
    // way) leave room for `amount`, or soon when they fit already. It then
    // takes them itself, and waits again if another was quicker. Never once
    // the peer is gone, or `owner` (the work that waits, when given): its
    // wait goes with it.
    // `forMoves`: room for a Reserve, which may use the part kept for moves.
    void whenDescriptorsGivenBack(size_t amount, Work retry, std::weak_ptr<const void> owner = {},
                                  bool forMoves = false);
    static size_t descriptorWaitersForTesting();
    // Whether `amount` more descriptors would be the peer's now, within its
    // own bound and the Host-wide total.
    bool descriptorsWouldFit(size_t amount, bool forMoves = false) const;

    // Some amount of one kind, held by the object that keeps the thing and
    // given back when it goes (or is moved from): nothing is counted beside
    // the state. With no ledger (the Host's own work) it holds nothing and
    // is never refused.
    class Reserve;
    class Holding {
    public:
        Holding() = default;
        // `amount` of `kind`, unless that would pass the kind's bound (for
        // descriptors, or the Host-wide total's part for peers' work).
        static std::optional<Holding> take(std::shared_ptr<WorkLedger> ledger, Held kind, size_t amount = 1);
        // A logged-in connection's socket: one of its peer's descriptors,
        // which may use the part of the Host-wide total kept for them.
        static std::optional<Holding> takeForConnection(std::shared_ptr<WorkLedger> ledger);
        Holding(Holding&& other) noexcept;
        Holding& operator=(Holding&& other) noexcept;
        Holding(const Holding&) = delete;
        Holding& operator=(const Holding&) = delete;
        ~Holding() { reset(); }

        // `more` of it, unless that would pass the bound (then nothing is
        // added and false comes back).
        bool grow(size_t more);
        void shrink(size_t less);
        // Gives back all it holds.
        void reset();
        size_t amount() const { return amount_; }
        Held kind() const { return kind_; }
        const std::shared_ptr<WorkLedger>& ledger() const { return ledger_; }

    private:
        friend class WorkLedger;
        friend class Reserve;
        Holding(std::shared_ptr<WorkLedger> ledger, Held kind, size_t amount);
        std::shared_ptr<WorkLedger> ledger_;
        Held kind_ = Held::descriptors;
        size_t amount_ = 0;
        // A logged-in connection's socket (takeForConnection).
        bool connection_ = false;
        // A Reserve's room, which may use the part kept for moves, and how
        // much of that part it holds.
        bool moves_ = false;
        size_t beyondWork_ = 0;
        // Descriptors drawn from a Reserve go back to it, not to the peer.
        std::shared_ptr<Reserve> drawnFrom_;
    };

    // Descriptors taken at once for work that opens them later, on another
    // queue and step by step (a copy's moves, once its peer had room for
    // them): while a Use of it is current on a thread, that thread's takes
    // of the peer's descriptors draw from it as far as it has room, and
    // what they give back is its again. So the peer's other work, which
    // may take room meanwhile, never leaves the work short halfway. It is
    // on the account whole, from its take until it and everything drawn
    // from it are gone: the account may say more than is open while part
    // of it is idle, never less.
    class Reserve {
    public:
        // Nothing when `amount` more would pass the peer's bound or the
        // Host-wide total, of which it may use the part kept for moves:
        // room for a copy's moves, and nothing kept longer than they run.
        // With no ledger, one that holds nothing.
        static std::shared_ptr<Reserve> take(std::shared_ptr<WorkLedger> ledger, size_t amount);
        ~Reserve();
        Reserve(const Reserve&) = delete;
        Reserve& operator=(const Reserve&) = delete;
        // Makes `reserve` the one this thread's takes draw from, for the
        // scope (null: none).
        class Use {
        public:
            explicit Use(std::shared_ptr<Reserve> reserve);
            ~Use();
            Use(const Use&) = delete;
            Use& operator=(const Use&) = delete;

        private:
            std::shared_ptr<Reserve> previous_;
        };
        static std::shared_ptr<Reserve> current();

    private:
        friend class Holding;
        explicit Reserve(Holding whole) : whole_(std::move(whole)) {}
        Holding whole_;
        // Of whole_, what holdings drawn from it hold; under the ledger's
        // mutex.
        size_t inUse_ = 0;
    };
    // Of the descriptors held, those reserved and not drawn yet.
    size_t descriptorsReservedIdle() const;

    // One of `kind` for work that can wait for it: `granted` gets it at
    // once, here, when one is free and nobody waits for one; else once one
    // is given back and the earlier waiters were served, on whatever thread
    // gave it back (keep it short). Never once the peer is gone. Where the
    // kind has a Host-wide pool, a place is free only when the pool has one
    // for the peer's machine too: past the machine's share the waiter waits
    // here all the same, and leaves the pool with the peer.
    // Returns the wait's ticket (0 when granted at once or never), which
    // stopWaitingForHeld withdraws.
    uint64_t whenHeldFree(Held kind, std::function<void(Holding)> granted);
    // The work that waited under `ticket` went (its channel closed, its
    // batch was refused): it waits no more, so it neither holds the next
    // place given back nor counts its machine among those waiting for one.
    // Nothing when it was served already.
    void stopWaitingForHeld(Held kind, uint64_t ticket);
    // Every place of `kind` this peer takes is also taken from `pool`, as
    // `machine`'s (the peer's machine: its addresses share one part of the
    // total). Once, before the ledger is used.
    void shareHostWide(Held kind, std::shared_ptr<HeldPool> pool, std::string machine);
    // The peer's machine in the Host-wide pools and total ("" when none).
    std::string machine() const;
    // Waiters for `kind` not yet served.
    size_t waitingFor(Held kind) const;
    // A place taken at a carrier's door for work that a queue takes up
    // later: it stays on the account, set aside, until that work claims it
    // (claimSetAside) or the peer is gone. One of `kind` set aside is any
    // such work's of the peer: they are alike.
    void setAside(Holding place);
    std::optional<Holding> claimSetAside(Held kind);

    // The ledger the calling thread's work is charged to, if any.
    static std::shared_ptr<WorkLedger> current();
    // Makes `ledger` current on this thread for the scope (null: work is
    // charged to nobody, for work that is the Host's own).
    class Charged {
    public:
        explicit Charged(std::shared_ptr<WorkLedger> ledger);
        ~Charged();
        Charged(const Charged&) = delete;
        Charged& operator=(const Charged&) = delete;

    private:
        std::shared_ptr<WorkLedger> previous_;
    };

    // `work` charged to the current ledger (unchanged when none is): it
    // holds one job and `bytes` until it has run or been dropped, runs with
    // that ledger current, and is skipped when `dropWhenGone` and the peer
    // is gone by the time it would run. Used by the dispatch queues.
    static Work chargedToCurrent(Work work, size_t bytes, bool dropWhenGone);

private:
    friend class TcpConnection;
    // Read-ahead, for the peer's connections: room left now (a connection
    // finding none is woken once room returns), bytes read, bytes served.
    // `unsettled` is what the connection read that its reader has not yet
    // given back or charged otherwise. The connection whose packet holds the
    // place has room for the rest of it; without room, a connection may
    // still hold up to `pastBudget` (TcpConnection::setReadAheadPastBudget).
    struct Wakeup {
        std::vector<std::weak_ptr<TcpConnection>> readers;
        std::vector<Work> waiters;
        // Ledgers whose machines the total has room for again.
        std::vector<std::weak_ptr<WorkLedger>> ledgers;
    };
    size_t roomFor(const std::shared_ptr<TcpConnection>& reader, size_t unsettled, size_t pastBudget);
    // `reader`: the connection that read them, if any.
    void charge(size_t bytes, const TcpConnection* reader = nullptr);
    // What to wake (outside the caller's locks, with wake()).
    Wakeup release(size_t bytes);

    void chargeJob(size_t bytes);
    void releaseJob(size_t bytes);
    // Bytes queued on, and written by, the peer's connections.
    void chargeSending(size_t bytes);
    void releaseSending(size_t bytes);
    // Wakes what waited for room, outside every lock.
    static void wake(Wakeup wakeup);
    bool overBudgetLocked() const { return jobBytes_ >= limit_ || jobs_ >= maxJobs_; }
    bool readingStoppedLocked() const {
        return overBudgetLocked() || readBytes_ + jobBytes_ + arrivingBytes_ >= limit_;
    }
    // Tells the total what the ledger holds now; a release may wake other
    // peers' ledgers.
    void settleTotalLocked(Wakeup& wakeup);
    void settleTotalLocked() {
        Wakeup ignored;
        settleTotalLocked(ignored);
    }
    // The total has room for this ledger's machine again: its readers read
    // on, its replies that fit go.
    void totalHasRoom();
    // Send waiters that fit now, out of the list.
    std::vector<Work> takeSendWaitersLocked();
    static void resumeSends(std::vector<Work> resumed);
    // The place passes on from `packet`, which gives it back.
    void passThePlaceLocked(ArrivingPacket& packet, Wakeup& wakeup);
    // What a release may wake: readers once reading may go on, waiters
    // once serving may.
    Wakeup wakeupLocked();

    const std::string owner_;
    const size_t limit_;
    const size_t maxJobs_;
    mutable std::mutex mutex_;
    size_t readBytes_ = 0;
    size_t jobBytes_ = 0;
    size_t jobs_ = 0;
    // Packets still arriving: the one holding the place (its bytes in
    // placeBytes_, outside the budget), the others oldest first (their
    // bytes in arrivingBytes_, inside it).
    ArrivingPacket* place_ = nullptr;
    std::deque<ArrivingPacket*> waitingForThePlace_;
    size_t placeBytes_ = 0;
    size_t arrivingBytes_ = 0;
    // With a total: the packet holding the place reads on only once the
    // rest of it is set aside there whole (placeGranted_), so that packets
    // of many peers never fill the total with halves none can finish. What
    // is set aside and not yet read, told to the total with the rest.
    bool placeGranted_ = false;
    size_t placeReserved_ = 0;
    std::vector<std::weak_ptr<TcpConnection>> waitingReaders_;
    std::vector<Work> waiters_;
    bool roomToSendLocked(size_t bytes) const {
        bytes += kSendOverheadBytes;
        if (sendingBytes_ != 0 && sendingBytes_ + bytes > kMaxSendingBytes) return false;
        return !total_ || total_->mayQueue(machine_, bytes);
    }
    size_t sendingBytes_ = 0;
    struct SendWaiter {
        size_t bytes;
        Work resume;
        std::weak_ptr<const void> owner;
    };
    std::vector<SendWaiter> sendWaiters_;
    size_t held_[kHeldKinds] = {};
    // Notes files open past the descriptors held for them, when there are.
    void noteFilesPastHoldingsLocked();
    // Of held_'s descriptors, the logged-in connections' sockets.
    size_t connectionSockets_ = 0;
    size_t filesOpen_ = 0;
    size_t mostFilesOpenPastHoldings_ = 0;
    // Of held_'s descriptors, those Reserves hold and nothing has drawn.
    size_t reservedIdle_ = 0;
    // Of held_, what carriers set aside for work still on its way.
    size_t setAside_[kHeldKinds] = {};
    struct HeldWaiter {
        uint64_t ticket = 0;
        std::function<void(Holding)> granted;
    };
    std::deque<HeldWaiter> heldWaiters_[kHeldKinds];
    uint64_t nextHeldTicket_ = 0;
    // The Host-wide pool each kind is shared with, if any, and the peer's
    // machine there and in the total. Set before the ledger is shared, read
    // under mutex_.
    std::shared_ptr<HeldPool> pools_[kHeldKinds];
    std::string machine_;
    // The pool's answer to places of a pooled kind given back: what it
    // offers, this ledger included when its waiters can take one.
    std::vector<HeldPool::Offer> givenBackToPoolLocked(Held kind, size_t amount);
    // Hands each place the pool offered to its ledger, where its oldest
    // waiter takes it, or gives it back when none can any more (the pool
    // offers it on). Outside every lock.
    // Wakes this ledger's waiters on another thread, to look for room again.
    void lookAgainSoon();
    static void deliverOffers(const std::shared_ptr<HeldPool>& pool, std::vector<HeldPool::Offer> offers, Held kind);
    // The waiters a release of `kind` serves, each with its place already
    // counted; run outside the lock.
    std::vector<std::function<void(Holding)>> serveHeldWaitersLocked(Held kind);
    std::atomic<bool> cancelled_{false};
    // Set once by shareTotal; what it was last told this ledger holds.
    std::shared_ptr<HostByteTotal> total_;
    size_t toldTotal_ = 0;
};

}  // namespace platform
