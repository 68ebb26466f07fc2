#pragma once
// TCP listener and connection over POSIX sockets.
//
// One I/O thread, owned by this layer and started on first use, waits on
// every socket with epoll. Everything a connection or listener reports is
// delivered, in order, on the dispatch queue its owner passed to start().
// Work posted to a queue holds only a weak reference to the connection or
// listener: once the object is gone, nothing more of it runs.

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "Platform/Network/PacketFraming.h"
#include "Platform/Runtime/Dispatch.h"
#include "Platform/Foundation/Result.h"
#include "Platform/Runtime/WorkLedger.h"

namespace platform {

// `waiting`: a client connection whose peer refused or could not be
// reached, when it was asked to wait (see setWaitsWhenUnreachable).
enum class ConnectionState { setup, preparing, waiting, ready, failed, cancelled };

class TcpListener;
class TcpConnection;

// The pace of full turns (ReceiveTurns::kPacketsPerTurn packets each) that
// the connections sharing it may take: a burst of as many as it allows in
// a second, then that many a second. A peer that always has more to send
// gets this share of its reader's time however many connections it opens.
// Any thread.
class ReceiveTurnBudget {
public:
    // Far above what a person's input needs, low enough that a flood leaves
    // the encoder and the other Viewers most of the Host's time.
    static constexpr double kDefaultFullTurnsPerSecond = 400;
    explicit ReceiveTurnBudget(double fullTurnsPerSecond = kDefaultFullTurnsPerSecond)
        : perSecond_(fullTurnsPerSecond) {}
    ReceiveTurnBudget(const ReceiveTurnBudget&) = delete;
    ReceiveTurnBudget& operator=(const ReceiveTurnBudget&) = delete;

    // Takes one full turn; the seconds the turn after it must wait (0:
    // none). Turns taken past the burst are paid back by waiting.
    double takeFullTurn();
    // Full turns taken by every connection of the process so far: one
    // that rises means some peer sent more than a turn serves at once.
    static uint64_t fullTurnsTakenEver();

private:
    std::mutex mutex_;
    const double perSecond_;
    // Turns that may still be taken at once; below zero, turns taken on
    // credit. None before the first.
    std::optional<double> tokens_;
    uint64_t tokensAtNs_ = 0;
};

// One connection's turns on its reader's queue, so that a connection with
// more to serve than one turn waits behind everything else queued there:
// its reader serves at most kPacketsPerTurn of what was read, then yields;
// reading stays held (what the peer sends waits in the kernel's buffers and
// then in the peer's) until the reader has caught up. While its peer's work
// is over budget the turn waits for the work instead, and reading goes on
// only as far as the connection may read past its budget (for what its
// reader serves out of turn); a peer that leaves meanwhile ends the
// connection at once. Used on the reader's queue only.
class ReceiveTurns {
public:
    static constexpr int kPacketsPerTurn = 64;
    // A packet that holds its peer's place (WorkLedger::ArrivingPacket)
    // arrives at a least average rate, measured over its whole arrival and
    // not between two of its bytes: by `t` seconds after it took the
    // place, at least (t - kArrivalGraceSeconds) * kLeastArrivalBytesPerSecond
    // of it has arrived, or its connection ends. A 64 MiB packet is thus
    // whole within about 5 minutes, and one that stops, or trickles a byte
    // now and then, gives the place and what it holds back within that,
    // never later. The grace is as long as TCP waits for a vanished peer
    // (keepalive, user timeout); the rate, two megabits a second, is below
    // the uplink of a busy wireless or remote link a Viewer is used on, so
    // an honest upload arrives. What a slow one holds meanwhile is its
    // peer's, within the Host-wide total.
    static constexpr double kArrivalGraceSeconds = 30;
    static constexpr double kLeastArrivalBytesPerSecond = 256 << 10;
    // The longest a packet of `wholeBytes` may take to arrive once it holds
    // the place.
    static constexpr double arrivalBoundSeconds(size_t wholeBytes) {
        return kArrivalGraceSeconds + static_cast<double>(wholeBytes) / kLeastArrivalBytesPerSecond;
    }

    ReceiveTurns(std::shared_ptr<TcpConnection> connection, DispatchQueue queue, PacketFraming framing,
                 std::shared_ptr<ReceiveTurnBudget> budget = nullptr);
    ReceiveTurns(const ReceiveTurns&) = delete;
    ReceiveTurns& operator=(const ReceiveTurns&) = delete;

    // The pace this connection's full turns share (its own by default).
    void setBudget(std::shared_ptr<ReceiveTurnBudget> budget);
    // The ledger of the peer whose work this connection's packets start:
    // while it is over budget no turn is served.
    void setLedger(std::shared_ptr<WorkLedger> ledger) { ledger_ = std::move(ledger); }
    // The peer's work is over its budget: the reader should yield now,
    // even in the middle of a turn.
    bool mustWaitForWork() const { return ledger_ && ledger_->overBudget(); }
    // The peer has no room for `bytes` more waiting to be sent to it
    // (WorkLedger::hasRoomToSend): a packet whose serving queues that much
    // for the peer waits, so that a peer that does not read stops being
    // served instead of having its answers pile up here.
    bool mustWaitForRoomToSend(size_t bytes) const { return ledger_ && !ledger_->hasRoomToSend(bytes); }
    // A full turn ended with more left, or the peer's work is over budget,
    // or (`roomToSend` > 0) the packet first in line must wait for that
    // much room to send its answers: `nextTurn` is queued, after the
    // budget's wait (reading held), or once the peer's work is back under
    // its budget, or once the peer has that room, unless a turn already
    // waits. `nextTurn` must hold its owner weakly.
    void yield(Work nextTurn, size_t roomToSend = 0);
    // Everything read was served: reading resumes.
    void caughtUp();
    // A turn waits on the queue: bytes delivered meanwhile wait for it
    // instead of taking a turn of their own.
    bool turnQueued() const { return state_->queued; }
    // The queued turn waits for the peer (its work to return, or room to
    // send to it): the reader serves out of turn only what carries no work
    // and queues no answer, and ends the connection when the peer leaves.
    bool waitingForThePeer() const { return state_->waitingForThePeer; }

    // The connection gives its bytes back only when the reader says so
    // (TcpConnection::setReceiverConsumes, set by the constructor): every
    // byte the reader buffers stays charged to the connection's read-ahead
    // and its peer's ledger until it is served. `delivered` counts what the
    // reader was handed; `settle`, after serving, gives back what was
    // served and keeps the rest charged. The first packet buffered, once
    // its whole header has arrived and while the rest has not, is a packet
    // still arriving: against a shared budget it is charged as such
    // (WorkLedger::ArrivingPacket) until it is served, so that one larger
    // than the budget can arrive whole within its bound
    // (arrivalBoundSeconds). Its size is read here, with the framing the
    // reader cuts its packets by, and nowhere else.
    struct Buffered {
        // The bytes the reader still buffers, first packet first; packets
        // it served out of turn are no longer among them.
        std::span<const uint8_t> bytes;
        // Packets the reader has taken from the front of its buffer so
        // far: a new count means the packet first in it was served.
        uint64_t packetsTaken = 0;
        // The largest payload the first packet may announce to be taken
        // as arriving: the limit in force, or 0 once the stream is bad or
        // ending (its bytes then stay charged as read until it goes).
        size_t maxPayloadBytes = 0;
    };
    void delivered(size_t bytes) { heldBytes_ += bytes; }
    void settle(const Buffered& buffered);

private:
    struct State {
        bool queued = false;
        bool waitingForThePeer = false;
    };
    // Checks now and then that the packet holding the place still arrives.
    void watchArrival();

    std::shared_ptr<TcpConnection> connection_;
    DispatchQueue queue_;
    const PacketFraming framing_;
    std::shared_ptr<ReceiveTurnBudget> budget_;
    std::shared_ptr<WorkLedger> ledger_;
    std::shared_ptr<State> state_ = std::make_shared<State>();
    bool held_ = false;
    size_t heldBytes_ = 0;
    // Its charge, and the count of packets taken when it began: it is the
    // first packet buffered until that count moves. Shared only with the
    // check that it still arrives, which holds it weakly.
    std::shared_ptr<WorkLedger::ArrivingPacket> arriving_;
    uint64_t arrivingAfter_ = 0;
};

// One TCP stream: non-blocking sends with a bounded backlog, receives
// delivered chunk by chunk with backpressure towards a slow consumer.
//
// Lifetime: the connection lives as long as its owners hold it. Dropping
// the last reference closes the socket silently (no callback of any kind).
// cancel() closes it with notice: pending send completions report
// "connection cancelled" and the state handler hears `cancelled` once; no
// receive or other state callback runs after cancel() returned, except one
// that was already running on the queue at that moment. After the
// `cancelled` delivery both handlers are released, which breaks any cycle
// they formed with the owner.
class TcpConnection : public std::enable_shared_from_this<TcpConnection> {
    struct PrivateTag {};

public:
    // A stalled peer must not grow memory without bound: a backlog of
    // unsent bytes above this is a send error.
    static constexpr size_t kDefaultMaxUnsentBytes = size_t{32} << 20;
    // Reading stops while more than this, already delivered to the queue,
    // has not been consumed by the receive handler.
    static constexpr size_t kMaxUndeliveredBytes = size_t{4} << 20;

    using StateUpdateHandler = std::function<void(ConnectionState, const std::string& error)>;
    using ReceiveHandler =
        std::function<void(std::span<const uint8_t> data, bool isComplete, const std::string& error)>;
    // Empty error means the bytes were written to the socket.
    using SendCompletion = std::function<void(const std::string& error)>;

    // A client connection to host:port. The address is resolved and the
    // non-blocking connect begins on start(): the state becomes ready on
    // success, failed (with the error) otherwise. Host names other than
    // numeric addresses are resolved synchronously inside start().
    // `localAddress`, when given, is the numeric address the connection
    // leaves from (a loopback alias stands in for another machine).
    static std::shared_ptr<TcpConnection> connect(const std::string& host, uint16_t port,
                                                  std::string localAddress = {});

    TcpConnection(PrivateTag, int fd, std::string remoteAddress, uint16_t remotePort,
                  size_t maxUnsentBytes = kDefaultMaxUnsentBytes);
    ~TcpConnection();
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;

    // Set once by the owner before start(); called on the start() queue.
    StateUpdateHandler stateUpdateHandler;
    // Called for every chunk read, then once with isComplete = true at end
    // of stream or on failure (with the error); never after cancel().
    ReceiveHandler receiveHandler;

    // Client connections, before start(): a refused or unreachable connect
    // is reported as `waiting` with the error's text instead of `failed`,
    // and the connection stays waiting until cancelled, as a connection that
    // waits for its path to become usable does. Other errors still fail.
    void setWaitsWhenUnreachable(bool waits);

    // Begins delivering on `queue`. Later calls are ignored.
    void start(DispatchQueue queue);
    ConnectionState state() const;

    // Never blocks. Bytes queue until the socket takes them; the
    // completion fires on the queue once they are written, or with the
    // error when the connection failed or was cancelled first. Sends made
    // before start() are written once the connection is ready.
    void send(std::vector<uint8_t> bytes, SendCompletion completion = {});

    // Bytes that several connections send as they are (one video frame to
    // every Viewer): nobody writes to them once they are handed over, and
    // each connection holds a reference until they are written.
    using SharedBytes = std::shared_ptr<const std::vector<uint8_t>>;
    enum class CompletionReport {
        always,       // as send() above
        failureOnly,  // the completion runs only with an error; a write that
                      // succeeds posts nothing to the queue
    };
    // As send() above, without a copy of the bytes.
    void send(SharedBytes bytes, SendCompletion completion,
              CompletionReport report = CompletionReport::always);

    // Idempotent; see the class comment.
    void cancel();

    // The peer's address without port ("127.0.0.1", "::1"); IPv4 peers of
    // a dual-stack listener show as IPv4. Empty until known.
    std::string remoteAddress() const;
    uint16_t remotePort() const;
    // Bytes accepted by send() and not yet written to the socket, each
    // send still queued counted with what it costs beside its bytes.
    size_t unsentBytes() const;
    // What a queued send holds beside its bytes: counted with them, on the
    // send budget too, so that a flood of small packets is bounded by what
    // it really holds and not by its bytes alone.
    static constexpr size_t kQueuedSendOverhead = WorkLedger::kSendOverheadBytes;

    void setMaxUnsentBytes(size_t limit);
    size_t maxUnsentBytes() const;
    // How much may be read ahead of the receive handler (default
    // kMaxUndeliveredBytes); a peer not yet trusted gets less.
    void setMaxUndeliveredBytes(size_t limit);
    // Notices a peer that vanished without a word: idle for `idleSeconds`,
    // the kernel probes every `intervalSeconds`, and after `probes`
    // unanswered ones (or as long unacknowledged while sending) the
    // connection fails. False when the socket would not take it.
    bool enableKeepAlive(int idleSeconds, int intervalSeconds, int probes);
    // The socket, for tests that read its options; -1 once closed.
    int fileDescriptorForTesting() const;
    // While paused nothing more is read from the socket, however much the
    // receive handler consumed: a reader that cannot keep up leaves the
    // peer's bytes in the socket. Bytes already read are still delivered.
    // The file data channel pauses on its queued bytes.
    void setReadingPaused(bool paused);
    // The same for the server's fair turns, kept apart from the pause so
    // that neither owner releases what the other holds: while held,
    // nothing more is read; what the peer sends waits in the kernel's
    // buffers and then in the peer's, instead of in this process. The
    // owner holds a connection whose bytes it has not caught up with and
    // releases it once it has. Any thread.
    void setReadingHeld(bool held);
    // Shares the read-ahead room with other connections: reading stops
    // while either this connection's limit or the budget is used up. The
    // bytes already read move to the new budget. Null: this connection's
    // limit alone. The budget is its peer's account, and the socket one of
    // the descriptors the peer holds (WorkLedger::Held::descriptors) until
    // it closes: false, and nothing changed, when the peer holds its bound
    // of them already, or all peers the Host-wide total (the owner refuses
    // the connection).
    bool setReadAheadBudget(std::shared_ptr<WorkLedger> budget);
    std::shared_ptr<WorkLedger> readAheadBudget() const;
    // Bytes waiting to be sent on this connection count on `budget` (its
    // peer's account, WorkLedger::sendingBytes) for as long as they wait;
    // those waiting now move to it. Null: on nobody's.
    void setSendBudget(std::shared_ptr<WorkLedger> budget);
    std::shared_ptr<WorkLedger> sendBudget() const;
    // Whether `bytes` more may wait here within that budget (always with
    // none): what the Host sends without a reply to wait for (frames,
    // audio, texts to every Viewer) is skipped for a peer with no room.
    bool budgetHasRoomFor(size_t bytes) const;
    // What this connection may still have read and not consumed while its
    // budget has no room (0 by default): room to reach the packets its
    // owner serves past the budget (a Viewer's frame acknowledgements and
    // input), which give it back once served, never a share of its own.
    // Charged to the budget as any byte read.
    void setReadAheadPastBudget(size_t bytes);
    // While set, a peer that closes its side while nothing is read from
    // this connection (held, paused or out of room) ends the stream at
    // once: the receive handler hears the end, and what the peer sent and
    // was not read is dropped. Unset, the end is heard once reading resumes
    // and has read everything before it. An owner that stops reading until
    // its peer's work returns sets it, so that a peer that left is not
    // waited for. Watching for the hangup costs no read. Any thread.
    void setEndsWhenThePeerLeaves(bool ends);
    // Ends the connection as an error of its socket would, with `error`:
    // pending sends and the receive handler hear it, then the state
    // handler `failed`. Any thread.
    void abort(const std::string& error);
    // The receive handler gives back the bytes it was handed itself, with
    // consume(), once it has served them, instead of when it returns: bytes
    // it keeps to serve later stay charged to this connection's limit and
    // budget, so a reader that buffers them cannot read past either. Set
    // before start().
    void setReceiverConsumes(bool receiverConsumes);
    // Bytes handed to the receive handler that it has now served (only with
    // setReceiverConsumes). Any thread.
    void consume(size_t bytes);

private:
    friend class WorkLedger;
    friend class TcpListener;
    struct Endpoint;
    struct PendingSend {
        std::vector<uint8_t> bytes;
        size_t offset = 0;
        SendCompletion completion;
        // Set instead of `bytes` for a shared buffer.
        SharedBytes shared;
        bool reportSuccess = true;
        std::span<const uint8_t> view() const { return shared ? std::span<const uint8_t>(*shared) : bytes; }
    };
    void enqueueLocked(PendingSend send);
    // The bytes waiting to be sent grew or shrank, on the send budget too.
    void addUnsentLocked(size_t bytes);
    void removeUnsentLocked(size_t bytes);

    void handleEvents(uint64_t registration, uint32_t events);
    void connectNextLocked();
    void becomeReadyLocked();
    void readLocked();
    void writeLocked();
    void failLocked(const std::string& error);
    void closeSocketLocked();
    void updateInterestLocked();
    void setStateLocked(ConnectionState state, const std::string& error);
    void postReceiveLocked(std::vector<uint8_t> data, bool isComplete, const std::string& error);
    // Hands unhandedBytes_ to the receive handler in one queued delivery.
    void postDeliveryLocked();
    void postCompletionLocked(SendCompletion completion, const std::string& error);
    // Whether a read may take bytes now, and how many.
    size_t readRoomLocked();
    // The peer closed its side while nothing was being read.
    void hangupWhileUnreadLocked();
    // Resumes reading once a shared budget has room again.
    void budgetHasRoom();

    mutable std::mutex mutex_;
    int fd_ = -1;
    ConnectionState state_ = ConnectionState::setup;
    // Read by queued deliveries without the lock, so a delivery that runs
    // after cancel() can tell without waiting for a socket operation.
    std::atomic<bool> cancelled_{false};
    // Set by start(); every callback goes there.
    std::optional<DispatchQueue> queue_;
    // Why the connection failed; reported to sends made afterwards.
    std::string failure_;
    std::string remoteAddress_;
    uint16_t remotePort_ = 0;

    // Outgoing bytes in send order, the first possibly partly written.
    std::deque<PendingSend> pending_;
    size_t unsent_ = 0;
    // Charged with unsent_ as well, when set.
    std::shared_ptr<WorkLedger> sendBudget_;
    size_t maxUnsent_;
    bool readingPaused_ = false;

    // Completions that fell due before start() named a queue.
    std::vector<std::pair<SendCompletion, std::string>> earlyCompletions_;

    // Bytes handed to the queue whose receive handler has not returned (or,
    // with receiverConsumes_, has not consumed).
    size_t undelivered_ = 0;
    std::atomic<bool> receiverConsumes_{false};
    // Bytes read while a delivery still waits on the queue join it there:
    // a connection holds one item of its reader's queue however many small
    // pieces its peer sends, so a flood of them is one backlog that its
    // reader serves in turns (ReceiveTurns), not a queue of deliveries
    // ahead of every other connection's.
    std::vector<uint8_t> unhandedBytes_;
    bool deliveryQueued_ = false;
    size_t maxUndelivered_ = kMaxUndeliveredBytes;
    // Charged with every undelivered byte as well, when set.
    std::shared_ptr<WorkLedger> readAheadBudget_;
    // The socket, on that budget's account while it is open.
    WorkLedger::Holding socketHeld_;
    // Read past a budget without room (setReadAheadPastBudget).
    size_t readAheadPastBudget_ = 0;
    // The owner asked for no more reads for now (setReadingHeld).
    bool readingHeld_ = false;
    // The peer closed its side while nothing was read: it is not watched
    // for again (a hung-up socket would wake the I/O thread forever).
    bool hangupSeen_ = false;
    bool endsWhenThePeerLeaves_ = false;
    // End of stream or failure was delivered (or suppressed by cancel).
    bool receiveDone_ = false;

    // Client side only: where to connect, and the addresses still to try.
    std::string connectHost_;
    uint16_t connectPort_ = 0;
    std::string localAddress_;
    std::vector<Endpoint> endpoints_;
    size_t nextEndpoint_ = 0;
    std::string lastConnectError_;
    int lastConnectErrno_ = 0;
    bool waitsWhenUnreachable_ = false;
    bool connecting_ = false;

    // Registration with the I/O thread; 0 while the socket is not watched.
    uint64_t registration_ = 0;
    uint32_t interest_ = 0;
};

struct TcpListenerOptions {
    // TCP_NODELAY on every accepted socket.
    bool noDelay = false;
    // Empty: all interfaces, on a dual-stack IPv6 socket (IPv4 when IPv6
    // is unavailable). Otherwise a numeric IPv4 or IPv6 address.
    std::string bindAddress;
};

// A listening socket that hands every accepted connection, not yet
// started, to newConnectionHandler on its queue.
//
// It never spins on a failing accept. At the descriptor limit it gives up
// the I/O thread's spare descriptor to accept and close one pending
// connection, then takes the spare back; when the spare cannot be taken
// back, or accept fails for another reason, it stops watching the socket
// for kRearmDelaySeconds. Failures are counted, not logged, so the owner can
// sum them into one line.
class TcpListener : public std::enable_shared_from_this<TcpListener> {
    struct PrivateTag {};

public:
    static constexpr double kRearmDelaySeconds = 0.1;
    // Connections accepted and not yet taken by the queue's handler. Past
    // it the socket is not read until the queue takes some: the rest wait
    // in the kernel's backlog, not as this process's descriptors, however
    // long the queue's thread waits for the processor.
    static constexpr size_t kMaxWaitingToBeTaken = 64;
    // How many are accepted and wait to be taken now.
    size_t waitingToBeTaken() const;

    struct AcceptFailures {
        uint64_t count = 0;
        std::string lastError;  // empty when count is 0
    };
    // port 0 binds any free port; port() tells which.
    static Result<std::shared_ptr<TcpListener>> listen(uint16_t port, TcpListenerOptions options = {});

    TcpListener(PrivateTag, int fd, uint16_t port, bool noDelay);
    ~TcpListener();
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;

    // Set once before start(). A connection nobody takes is closed.
    std::function<void(std::shared_ptr<TcpConnection>)> newConnectionHandler;

    uint16_t port() const { return port_; }
    void start(DispatchQueue queue);
    // Idempotent: closes the socket; connections accepted but not yet
    // handed over are closed, and the handler is not called again.
    void cancel();

    // Accept failures since the previous call (each one shed a pending
    // connection or paused the listener). Any thread.
    AcceptFailures takeAcceptFailures();

private:
    void handleEvents(uint64_t registration, uint32_t events);
    void closeLocked();
    void watchLocked();
    // Stops watching the socket and watches it again after the delay.
    void pauseLocked();
    // On the queue: one accepted connection was taken; the socket is read
    // again once the waiting ones are below the bound.
    void taken();

    mutable std::mutex mutex_;
    int fd_;
    const uint16_t port_;
    const bool noDelay_;
    std::atomic<bool> cancelled_{false};
    std::optional<DispatchQueue> queue_;
    uint64_t registration_ = 0;
    AcceptFailures acceptFailures_;
    // Accepted and queued for the handler, not yet taken.
    size_t waitingToBeTaken_ = 0;
    // The socket is not read because kMaxWaitingToBeTaken wait: taken()
    // reads it again (a pause for a failed accept ends on its own timer).
    bool heldForTheQueue_ = false;
};

}  // namespace platform
