#pragma once
// Decides what a peer may cost the Host: how many of its connections are
// admitted before login and how many may stay logged in, how many identity
// proofs it gets, when its password checks may start, the share of reading
// its connections have together, and how much of it reaches the log. All
// limits live here, as named constants.
//
// Before login a connection is counted against its machine (machineOf): one
// IPv6 machine may take any address of its /64, so counting addresses would
// let it rotate through them and take every place. The places are shared
// (AuxWaitingRoom): a newcomer from a machine that holds few takes the place
// of the oldest of the machine that holds the most. A failed password paces
// the address that failed; a /64 is paced as one source only once its
// failures come from more than one address, as a machine rotating its
// addresses makes them. After login a connection is counted against its
// peer (sourceOf), the exact address, so that each machine of a LAN has a
// share of its own.
//
// Not thread-safe: the server uses it on its queue only.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "HostApp/AuxServer/AuxWaitingRoom.h"
#include "HostApp/Protocol/AuxPacket.h"
#include "Platform/Security/Directory.h"
#include "Platform/Network/Network.h"
#include "Platform/Runtime/WorkLedger.h"

// Everything one peer may cost the Host, however many connections and
// sessions it opens: the pace of its connections' turns, the ledger of the
// bytes read ahead for it and of the work its packets started on any queue
// (its log scope too), and when its last key-frame request was passed on,
// so that more connections buy no more key frames of the encoder.
//
// Held by each of the peer's connections (and by nothing else for long):
// when the last one goes, its work still waiting is dropped and `onGone`
// runs, on the thread that let go of it.
struct AuxPeerAccount {
    AuxPeerAccount(std::string peer, size_t workBudgetBytes);
    ~AuxPeerAccount();
    AuxPeerAccount(const AuxPeerAccount&) = delete;
    AuxPeerAccount& operator=(const AuxPeerAccount&) = delete;

    // The peer (AuxAdmission::sourceOf), which also names its log scope.
    const std::string peer;
    const std::shared_ptr<platform::WorkLedger> ledger;
    const std::shared_ptr<platform::ReceiveTurnBudget> turns;
    // Server queue only: when the peer last asked for a key frame.
    std::optional<uint64_t> lastKeyFrameAskNs;
    // Set once by the owner when the account is made.
    std::function<void(const std::string& peer)> onGone;
};

class AuxAdmission {
public:
    // Connections that have not logged in (or, on the file port, not shown
    // a token), in total and from one machine. A machine's share holds all
    // three connections of each of eight Viewers of one LAN logging in at
    // once, and stays below the early drop: one machine alone never makes
    // another's connections drop.
    static constexpr size_t maxPendingConnections = 64;
    static constexpr size_t maxPendingPerMachine = 24;
    // From this many pending connections on, a new one is dropped with a
    // probability rising linearly from earlyDropMinimum to 1 at the cap.
    static constexpr size_t earlyDropThreshold = 32;
    static constexpr double earlyDropMinimum = 0.3;
    // Identity challenges answered before login; the next one closes.
    static constexpr int maxChallengesBeforeLogin = 2;
    // Identity challenges answered after login; later ones are ignored.
    static constexpr int maxChallengesAfterLogin = 2;
    // Bytes read ahead of the server for a connection before login: two of
    // the largest packets it may send.
    static constexpr size_t preLoginReadAheadBytes =
        2 * (AuxPacketHeader::size + AuxPacketCutter::preLoginPayloadLimit);
    // Password checks running at once: over all machines, each on a worker
    // queue of its own, so that one's fail delay (seconds in a PAM module)
    // holds no other; of the addresses of one machine that gave no right
    // password in the window; and of one address, whose checks run one
    // after another.
    static constexpr size_t passwordCheckSlots = 16;
    static constexpr size_t passwordChecksPerMachine = 4;
    // Failed logins from one address inside the window before its checks
    // are paced, and the longest pause between them.
    static constexpr size_t failuresBeforePacing = 3;
    // Addresses of one /64 whose failures make it one source: from then on
    // its addresses that gave no right password in the window check one at
    // a time, paced by the failures of the whole /64, each address counting
    // for no more than failuresBeforePacing of them (an address paced by
    // its own stale password adds nothing past that to its neighbours'
    // pause). A machine rotating its addresses is then paced as one source
    // is: at most about a dozen wrong answers in 20 s whichever way it
    // spreads its guesses.
    static constexpr size_t failingAddressesBeforeMachinePacing = 2;
    static constexpr double failureWindowSeconds = 600;
    static constexpr double maxPacingSeconds = 30;
    // Lines a connection that never logged in may write per second; the
    // rest are only counted in the once-a-second summary. The budget's
    // second runs from one statistics tick to the next, so a reader's second
    // can straddle two budgets: two lines each, plus one summary, keep any
    // second of the log at five lines or fewer under attack.
    static constexpr size_t preLoginLinesPerSecond = 2;

    // Logged-in connections (7346 and 7347 after login, 7348 once it showed
    // its token), in total and from one peer: a Viewer uses three, so a
    // peer holds two Viewers. A connection past either is refused at
    // accept, or closed when its login or token would pass it.
    static constexpr size_t maxLoggedInConnections = 48;
    static constexpr size_t maxLoggedInPerSource = 6;
    // Bytes a peer's logged-in connections may have read and not yet served,
    // together with those its work holds on any queue: past it nothing more
    // is read from the peer, and past it in work alone nothing more is
    // served either, until its work returns. What one connection may read
    // ahead on its own, so that a crowd of peers flooding together holds a
    // bounded share of the Host's memory (a packet or frame larger than it
    // still arrives, one per peer at a time: platform::WorkLedger::
    // ArrivingPacket).
    static constexpr size_t workBudgetBytesPerPeer = platform::TcpConnection::kMaxUndeliveredBytes;
    // Received batches of all peers together, from their start until the
    // Host has let go of them (each peer also holds at most
    // WorkLedger::heldBound(Held::batches)). Shared among machines
    // (HeldPool): past its machine's share a batch waits for a place, so
    // that no two machines can hold them all.
    static constexpr size_t maxBatchesInAll = 32;
    // What a logged-in control connection may read past its peer's budget,
    // to reach the packets served while its peer's work is over it (frame
    // acknowledgements, key-frame requests, input): those are served as
    // they are read and give their room back at once, so it is held only
    // by packets that wait for the work, and a few dozen KiB over all the
    // peer's connections.
    static constexpr size_t readAheadPastBudgetBytes = 16 * 1024;

    enum class Verdict : uint8_t {
        admitted,
        overTotalCap,
        overMachineCap,
        droppedEarly,
        overLoggedInTotalCap,
        overLoggedInSourceCap,
    };

    // Uniform in [0, 1); the default is seeded from the system's random
    // source. Tests inject a fixed sequence.
    using RandomSource = std::function<double()>;
    // `byteTotalBytes`: what all peers' accounts may hold in bytes together.
    explicit AuxAdmission(RandomSource random = {},
                          size_t byteTotalBytes = platform::HostByteTotal::kDefaultLimitBytes);

    // Who a peer is for the limits after login: its exact address, an
    // IPv4-mapped IPv6 address counted as IPv4 (never a /64: a whole IPv6
    // LAN shares one). Anything else counts as itself.
    static std::string sourceOf(const std::string& address);
    // Whose share a connection takes before login: the peer for IPv4, the
    // /64 of an IPv6 address ("2001:db8:1:2::/64"), whose low half one
    // machine may choose at will.
    static std::string machineOf(const std::string& address);
    // The chance that a new connection is dropped with `pending` already
    // admitted (0 below the threshold, 1 at the cap).
    static double earlyDropProbability(size_t pending);
    // The pause before a source's next password check after `failures`
    // failed logins in the window: 0 below the threshold, then 1, 2, 4 ...
    // seconds, never above maxPacingSeconds.
    static double pacingDelaySeconds(size_t failures);

    // --- Connections -----------------------------------------------------------
    // Admits a new unauthenticated connection from `address`, or says why
    // not; a refusal is counted for the summary. An admitted connection
    // holds its place until release() or until it is closed or dropped. A
    // newcomer that took another's place (AuxWaitingRoom) leaves that one in
    // `displaced`, already out of the room, for the caller to close; the
    // newcomer of a machine that holds few is never dropped early either.
    Verdict admit(const std::shared_ptr<platform::TcpConnection>& connection, const std::string& address,
                  std::shared_ptr<platform::TcpConnection>* displaced = nullptr);
    // The connection was closed, or it logged in (or showed its token) and
    // was taken by logIn().
    void release(const platform::TcpConnection* connection);
    size_t pendingCount();
    // Those of the machine of `address`.
    size_t pendingCountFrom(const std::string& address);

    // --- Logged-in connections -------------------------------------------------------
    // Moves a connection that logged in (or showed its token) from the
    // pending ones to the logged-in ones, or says which cap it would pass;
    // a refusal is counted for the summary. It holds its place until
    // release() or until it is closed.
    Verdict logIn(const std::shared_ptr<platform::TcpConnection>& connection, const std::string& address);
    size_t loggedInCount();
    size_t loggedInCountFrom(const std::string& address);
    // The peer's account, shared by all its connections while any holds
    // it; made, with `onGone` set, when it has none. Its batch places are
    // taken from the Host-wide pool, as its machine's.
    std::shared_ptr<AuxPeerAccount> accountFor(const std::string& address,
                                               const std::function<void(const std::string& peer)>& onGone = {});
    // What every account's bytes count on too, each under its machine
    // (machineOf), so that a machine's many addresses share one part.
    const std::shared_ptr<platform::HostByteTotal>& byteTotal() const { return byteTotal_; }
    // The Host-wide batch places every account takes its own from.
    const std::shared_ptr<platform::HeldPool>& batchPlaces() const { return batchPlaces_; }
    // Every account alive now, for the stop: their peers' waiting work is
    // dropped.
    std::vector<std::shared_ptr<AuxPeerAccount>> liveAccounts();

    // --- Password checks -----------------------------------------------------------
    // When a check for `address` may start: now when a slot is free, the
    // address and its machine have room for one more and neither is paced;
    // a time when only pacing holds it back; nothing while slots or its own
    // check are busy.
    std::optional<uint64_t> checkMayStartAtNs(const std::string& address, uint64_t nowNs);
    // Of the logins waiting, given by their addresses, the one to start now:
    // machines in turn, and the addresses of a machine in turn, from where
    // the last start left off, so that no machine and no address waits
    // behind another's queue of logins. Nothing when none may start;
    // `wakeAtNs` then says the earliest time pacing lets one through.
    std::optional<size_t> nextCheck(const std::vector<std::string>& waitingAddresses, uint64_t nowNs,
                                    std::optional<uint64_t>& wakeAtNs);
    void checkStarted(const std::string& address);
    // A wrong password counts against the address, and against its machine
    // as above; a right one clears the count of its own address and lets
    // that address be paced by its own mistakes alone for the window; a
    // directory that could not be asked changes neither.
    void checkFinished(const std::string& address, platform::CredentialCheck verdict, uint64_t nowNs);
    size_t checksRunning() const { return checksRunning_; }

    // --- Log -------------------------------------------------------------------------
    // Whether a connection that never logged in may write its one line now;
    // when not, its end is counted under `reason` for the summary.
    bool mayLogPreLoginEnd(const std::string& reason);
    void countAcceptFailures(uint64_t count, const std::string& lastError);
    // The summary of the second that just ended, if anything was counted,
    // and a fresh allowance of lines for the next one. Called once a second.
    std::optional<std::string> takeSecondSummary();

private:
    struct Pending {
        std::weak_ptr<platform::TcpConnection> connection;
        const platform::TcpConnection* key;
        // Its peer.
        std::string owner;
    };
    struct MachineRecord {
        // Wrong passwords inside the window, oldest first, with the exact
        // address each came from: a right one clears only its own.
        std::deque<std::pair<uint64_t, std::string>> failures;
        // Addresses of the machine that gave a right password inside the
        // window, and when: their own mistakes alone pace them, so a
        // neighbour guessing on the same /64 holds back no one already in.
        std::map<std::string, uint64_t> provenNs;
        // Addresses whose check runs now, and whether each is proven.
        std::map<std::string, bool> running;
    };
    // The round robin of nextCheck: the machine served last, and for each
    // machine the address served last.
    struct CheckTurns {
        std::string machine;
        std::map<std::string, std::string> addressOf;
    };

    // Forgets connections that were dropped, closed or failed.
    void sweep();
    // Why a connection from `peer` may not join the logged-in ones now.
    std::optional<Verdict> loggedInCapFor(const std::string& peer);
    void forgetOldFailures(MachineRecord& record, uint64_t nowNs);

    RandomSource random_;
    const std::shared_ptr<platform::HostByteTotal> byteTotal_;
    AuxWaitingRoom pending_{maxPendingConnections, maxPendingPerMachine};
    std::vector<Pending> loggedIn_;
    std::map<std::string, std::weak_ptr<AuxPeerAccount>> accounts_;
    // The Host-wide batch places, shared by every account it made.
    const std::shared_ptr<platform::HeldPool> batchPlaces_ = std::make_shared<platform::HeldPool>(maxBatchesInAll);
    std::map<std::string, MachineRecord> machines_;
    size_t checksRunning_ = 0;
    CheckTurns checkTurns_;

    // This second's refusals, accept failures and unlogged ends.
    std::map<Verdict, uint64_t> refusals_;
    uint64_t acceptFailures_ = 0;
    std::string lastAcceptError_;
    std::map<std::string, uint64_t> quietEnds_;
    size_t linesThisSecond_ = 0;
};
