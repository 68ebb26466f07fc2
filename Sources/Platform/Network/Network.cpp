#include "Platform/Network/Network.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <thread>
#include <unordered_map>
#include <utility>

#include "Platform/Runtime/Clock.h"
#include "Platform/Runtime/Log.h"

namespace platform {

namespace {

std::string errnoText(int error) {
    char buffer[256];
    // GNU strerror_r: returns a pointer that may or may not be buffer.
    return strerror_r(error, buffer, sizeof buffer);
}

std::string addressText(const sockaddr_storage& address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
    } else if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
            inet_ntop(AF_INET, &v6.sin6_addr.s6_addr[12], text, sizeof text);
        } else {
            inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
        }
    }
    return text;
}

uint16_t portOf(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    return 0;
}

// The layer's one I/O thread. Sockets register with a handler and an id;
// events for an id that was removed (the socket closed meanwhile, its
// number perhaps reused) find no handler and are dropped.
class IoLoop {
public:
    using Handler = std::function<void(uint64_t registration, uint32_t events)>;

    // Never destroyed: connections may be released during static
    // destruction, and the thread may still be waiting in epoll_wait then.
    static IoLoop& shared() {
        static IoLoop* loop = new IoLoop;
        return *loop;
    }

    // Returns the registration id, or 0 with errno set.
    uint64_t add(int fd, uint32_t events, Handler handler) {
        std::lock_guard lock(mutex_);
        const uint64_t id = nextId_++;
        handlers_.emplace(id, std::make_shared<Handler>(std::move(handler)));
        epoll_event event{};
        event.events = events;
        event.data.u64 = id;
        if (epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event) != 0) {
            const int error = errno;
            handlers_.erase(id);
            errno = error;
            return 0;
        }
        return id;
    }

    bool modify(int fd, uint64_t id, uint32_t events) {
        epoll_event event{};
        event.events = events;
        event.data.u64 = id;
        return epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd, &event) == 0;
    }

    void remove(int fd, uint64_t id) {
        epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
        std::lock_guard lock(mutex_);
        handlers_.erase(id);
    }

    // Accepting at the descriptor limit would leave the listener readable
    // forever; this spare descriptor is given up to accept and close one
    // pending connection instead.
    enum class Shed { one, nonePending, failed };
    Shed shedPendingConnection(int listenFd) {
        std::lock_guard lock(spareMutex_);
        if (spareFd_ >= 0) ::close(spareFd_);
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        const int error = errno;
        if (fd >= 0) ::close(fd);
        spareFd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        // Without the spare (another thread took the slot) the next shed
        // would fail the same way: the caller must stop watching a while.
        if (spareFd_ < 0) return Shed::failed;
        if (fd >= 0) return Shed::one;
        return error == EAGAIN || error == EWOULDBLOCK ? Shed::nonePending : Shed::failed;
    }

    // Takes the spare back if it was lost; listeners call it before they
    // watch their socket again.
    void restoreSpare() {
        std::lock_guard lock(spareMutex_);
        if (spareFd_ < 0) spareFd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    }

private:
    IoLoop() {
        epollFd_ = epoll_create1(EPOLL_CLOEXEC);
        if (epollFd_ < 0) {
            Log::line("network: epoll_create1 failed: " + errnoText(errno));
            std::abort();
        }
        spareFd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        std::thread([this] { run(); }).detach();
    }

    void run() {
        epoll_event events[64];
        for (;;) {
            const int count = epoll_wait(epollFd_, events, 64, -1);
            if (count < 0) {
                if (errno == EINTR) continue;
                Log::line("network: epoll_wait failed: " + errnoText(errno));
                return;
            }
            for (int i = 0; i < count; ++i) {
                // epoll_event is packed on x86-64: its fields are copied out,
                // never bound to a reference, which would be misaligned.
                const uint64_t key = events[i].data.u64;
                const uint32_t flags = events[i].events;
                std::shared_ptr<Handler> handler;
                {
                    std::lock_guard lock(mutex_);
                    auto it = handlers_.find(key);
                    if (it != handlers_.end()) handler = it->second;
                }
                if (handler) (*handler)(key, flags);
            }
        }
    }

    int epollFd_ = -1;
    // Shed on the I/O thread, restored on a listener's queue.
    std::mutex spareMutex_;
    int spareFd_ = -1;
    std::mutex mutex_;
    std::unordered_map<uint64_t, std::shared_ptr<Handler>> handlers_;
    uint64_t nextId_ = 1;
};

// Binds a client socket to a numeric local address of its family (port
// chosen by the kernel); false with `error` set otherwise.
bool bindLocal(int fd, sa_family_t family, const std::string& address, std::string& error) {
    sockaddr_storage local{};
    socklen_t length = 0;
    if (family == AF_INET) {
        auto& v4 = reinterpret_cast<sockaddr_in&>(local);
        v4.sin_family = AF_INET;
        length = inet_pton(AF_INET, address.c_str(), &v4.sin_addr) == 1 ? sizeof v4 : 0;
    } else if (family == AF_INET6) {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(local);
        v6.sin6_family = AF_INET6;
        length = inet_pton(AF_INET6, address.c_str(), &v6.sin6_addr) == 1 ? sizeof v6 : 0;
    }
    if (length == 0) {
        error = "local address " + address + " does not fit the destination's family";
        return false;
    }
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), length) != 0) {
        error = "cannot bind to " + address + ": " + errnoText(errno);
        return false;
    }
    return true;
}

constexpr size_t kReadChunk = 256 * 1024;
constexpr int kMaxReadsPerEvent = 8;     // lets other sockets have a turn
constexpr int kMaxAcceptsPerEvent = 64;
constexpr int kMaxIovecs = 64;
const std::string kCancelledError = "connection cancelled";

}  // namespace

// ---------------------------------------------------------------------------
// TcpConnection

struct TcpConnection::Endpoint {
    sockaddr_storage address{};
    socklen_t length = 0;
};

std::shared_ptr<TcpConnection> TcpConnection::connect(const std::string& host, uint16_t port,
                                                      std::string localAddress) {
    auto connection = std::make_shared<TcpConnection>(PrivateTag{}, -1, std::string(), uint16_t{0});
    connection->connectHost_ = host;
    connection->connectPort_ = port;
    connection->localAddress_ = std::move(localAddress);
    return connection;
}

TcpConnection::TcpConnection(PrivateTag, int fd, std::string remoteAddress, uint16_t remotePort,
                             size_t maxUnsentBytes)
    : fd_(fd), remoteAddress_(std::move(remoteAddress)), remotePort_(remotePort), maxUnsent_(maxUnsentBytes) {}

TcpConnection::~TcpConnection() {
    WorkLedger::Wakeup toWake;
    {
        std::lock_guard lock(mutex_);
        closeSocketLocked();
        removeUnsentLocked(unsent_);
        // Deliveries still queued will never report back: their room goes
        // back to the others now.
        if (readAheadBudget_ && undelivered_ > 0) toWake = readAheadBudget_->release(undelivered_);
    }
    WorkLedger::wake(std::move(toWake));
}

void TcpConnection::start(DispatchQueue queue) {
    std::unique_lock lock(mutex_);
    if (queue_ || cancelled_) return;
    queue_ = std::move(queue);
    for (auto& [completion, error] : earlyCompletions_) postCompletionLocked(std::move(completion), error);
    earlyCompletions_.clear();
    if (state_ == ConnectionState::failed) {  // a send overflowed the backlog before start()
        postReceiveLocked({}, true, failure_);
        setStateLocked(ConnectionState::failed, failure_);
        return;
    }
    setStateLocked(ConnectionState::preparing, {});
    if (fd_ >= 0) {
        becomeReadyLocked();
        return;
    }

    // Resolve without the lock so that state() and send() stay responsive.
    const std::string host = connectHost_;
    const std::string service = std::to_string(connectPort_);
    lock.unlock();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* list = nullptr;
    const int status = getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    std::vector<Endpoint> endpoints;
    for (addrinfo* entry = list; status == 0 && entry; entry = entry->ai_next) {
        if (entry->ai_addrlen > sizeof(sockaddr_storage)) continue;
        Endpoint endpoint;
        std::memcpy(&endpoint.address, entry->ai_addr, entry->ai_addrlen);
        endpoint.length = entry->ai_addrlen;
        endpoints.push_back(endpoint);
    }
    if (list) freeaddrinfo(list);
    lock.lock();

    if (state_ != ConnectionState::preparing) return;  // cancelled meanwhile
    if (status != 0) {
        failLocked("cannot resolve " + host + ": " + gai_strerror(status));
        return;
    }
    endpoints_ = std::move(endpoints);
    nextEndpoint_ = 0;
    connectNextLocked();
}

void TcpConnection::connectNextLocked() {
    while (nextEndpoint_ < endpoints_.size()) {
        const Endpoint& endpoint = endpoints_[nextEndpoint_++];
        const int fd = ::socket(endpoint.address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            lastConnectErrno_ = errno;
            lastConnectError_ = errnoText(errno);
            continue;
        }
        fd_ = fd;
        remoteAddress_ = addressText(endpoint.address);
        remotePort_ = portOf(endpoint.address);
        if (!localAddress_.empty() && !bindLocal(fd, endpoint.address.ss_family, localAddress_, lastConnectError_)) {
            lastConnectErrno_ = 0;
            closeSocketLocked();
            continue;
        }
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&endpoint.address), endpoint.length) == 0) {
            becomeReadyLocked();
            return;
        }
        // An interrupted non-blocking connect goes on in the background.
        if (errno == EINPROGRESS || errno == EINTR) {
            connecting_ = true;
            updateInterestLocked();
            return;
        }
        lastConnectErrno_ = errno;
        lastConnectError_ = errnoText(errno);
        closeSocketLocked();
    }
    const bool unreachable =
        lastConnectErrno_ == ECONNREFUSED || lastConnectErrno_ == ENETUNREACH || lastConnectErrno_ == EHOSTUNREACH;
    if (waitsWhenUnreachable_ && unreachable) {
        connecting_ = false;
        endpoints_.clear();
        setStateLocked(ConnectionState::waiting, lastConnectError_);
        return;
    }
    failLocked(lastConnectError_.empty() ? "no address for " + connectHost_ : lastConnectError_);
}

void TcpConnection::setWaitsWhenUnreachable(bool waits) {
    std::lock_guard lock(mutex_);
    waitsWhenUnreachable_ = waits;
}

void TcpConnection::becomeReadyLocked() {
    connecting_ = false;
    endpoints_.clear();
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (getpeername(fd_, reinterpret_cast<sockaddr*>(&peer), &length) == 0) {
        remoteAddress_ = addressText(peer);
        remotePort_ = portOf(peer);
    }
    setStateLocked(ConnectionState::ready, {});
    writeLocked();  // sends made before the connection was ready
    if (state_ != ConnectionState::ready) return;
    updateInterestLocked();
}

ConnectionState TcpConnection::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

void TcpConnection::send(std::vector<uint8_t> bytes, SendCompletion completion) {
    std::lock_guard lock(mutex_);
    enqueueLocked(PendingSend{std::move(bytes), 0, std::move(completion), nullptr, true});
}

void TcpConnection::send(SharedBytes bytes, SendCompletion completion, CompletionReport report) {
    if (!bytes) bytes = std::make_shared<const std::vector<uint8_t>>();
    std::lock_guard lock(mutex_);
    enqueueLocked(PendingSend{{}, 0, std::move(completion), std::move(bytes), report == CompletionReport::always});
}

void TcpConnection::addUnsentLocked(size_t bytes) {
    unsent_ += bytes;
    if (sendBudget_) sendBudget_->chargeSending(bytes);
}

void TcpConnection::removeUnsentLocked(size_t bytes) {
    unsent_ -= bytes;
    if (sendBudget_) sendBudget_->releaseSending(bytes);
}

void TcpConnection::setSendBudget(std::shared_ptr<WorkLedger> budget) {
    std::lock_guard lock(mutex_);
    if (sendBudget_ == budget) return;
    if (sendBudget_) sendBudget_->releaseSending(unsent_);
    sendBudget_ = std::move(budget);
    if (sendBudget_) sendBudget_->chargeSending(unsent_);
}

std::shared_ptr<WorkLedger> TcpConnection::sendBudget() const {
    std::lock_guard lock(mutex_);
    return sendBudget_;
}

bool TcpConnection::budgetHasRoomFor(size_t bytes) const {
    const auto budget = sendBudget();
    return !budget || budget->hasRoomToSend(bytes);
}

void TcpConnection::enqueueLocked(PendingSend send) {
    if (state_ == ConnectionState::cancelled || state_ == ConnectionState::failed) {
        postCompletionLocked(std::move(send.completion),
                             state_ == ConnectionState::cancelled ? kCancelledError : failure_);
        return;
    }
    addUnsentLocked(send.view().size() + kQueuedSendOverhead);
    pending_.push_back(std::move(send));
    if (state_ == ConnectionState::ready) {
        writeLocked();
        if (state_ != ConnectionState::ready) return;
    }
    if (unsent_ > maxUnsent_) {
        failLocked("send backlog above " + std::to_string(maxUnsent_) + " bytes; the peer is not reading");
        return;
    }
    updateInterestLocked();
}

void TcpConnection::cancel() {
    std::lock_guard lock(mutex_);
    if (cancelled_.exchange(true)) return;
    closeSocketLocked();
    connecting_ = false;
    endpoints_.clear();
    std::deque<PendingSend> pending;
    pending.swap(pending_);
    removeUnsentLocked(unsent_);
    for (auto& send : pending) postCompletionLocked(std::move(send.completion), kCancelledError);
    state_ = ConnectionState::cancelled;
    receiveDone_ = true;
    if (!queue_) {  // never started: nothing will ever be delivered
        earlyCompletions_.clear();
        stateUpdateHandler = nullptr;
        receiveHandler = nullptr;
        return;
    }
    queue_->async([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) return;
        StateUpdateHandler handler = std::move(self->stateUpdateHandler);
        self->stateUpdateHandler = nullptr;
        self->receiveHandler = nullptr;
        if (handler) handler(ConnectionState::cancelled, {});
    });
}

std::string TcpConnection::remoteAddress() const {
    std::lock_guard lock(mutex_);
    return remoteAddress_;
}

uint16_t TcpConnection::remotePort() const {
    std::lock_guard lock(mutex_);
    return remotePort_;
}

size_t TcpConnection::unsentBytes() const {
    std::lock_guard lock(mutex_);
    return unsent_;
}

void TcpConnection::setMaxUnsentBytes(size_t limit) {
    std::lock_guard lock(mutex_);
    maxUnsent_ = limit;
}

void TcpConnection::setMaxUndeliveredBytes(size_t limit) {
    std::lock_guard lock(mutex_);
    maxUndelivered_ = std::max<size_t>(limit, 1);
    if (state_ == ConnectionState::ready) updateInterestLocked();
}

int TcpConnection::fileDescriptorForTesting() const {
    std::lock_guard lock(mutex_);
    return fd_;
}

bool TcpConnection::enableKeepAlive(int idleSeconds, int intervalSeconds, int probes) {
    std::lock_guard lock(mutex_);
    if (fd_ < 0) return false;
    const int on = 1;
    // Data the peer never acknowledges fails the connection in the same
    // time: keepalive probes are not sent while a send waits.
    const unsigned userTimeoutMs = static_cast<unsigned>(idleSeconds + intervalSeconds * probes) * 1000U;
    return setsockopt(fd_, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == 0 &&
           setsockopt(fd_, IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds) == 0 &&
           setsockopt(fd_, IPPROTO_TCP, TCP_KEEPINTVL, &intervalSeconds, sizeof intervalSeconds) == 0 &&
           setsockopt(fd_, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes) == 0 &&
           setsockopt(fd_, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof userTimeoutMs) == 0;
}

void TcpConnection::setReadingPaused(bool paused) {
    std::lock_guard lock(mutex_);
    readingPaused_ = paused;
    if (state_ == ConnectionState::ready) updateInterestLocked();
}

void TcpConnection::setReadingHeld(bool held) {
    std::lock_guard lock(mutex_);
    if (readingHeld_ == held) return;
    readingHeld_ = held;
    if (state_ == ConnectionState::ready) updateInterestLocked();
}

bool TcpConnection::setReadAheadBudget(std::shared_ptr<WorkLedger> budget) {
    WorkLedger::Wakeup toWake;
    {
        std::lock_guard lock(mutex_);
        if (readAheadBudget_ == budget) return true;
        // Taken from the new account before the old one's is given back, so
        // a refusal leaves the connection as it was. A closed socket holds
        // nothing.
        std::optional<WorkLedger::Holding> socket;
        if (fd_ >= 0) {
            socket = WorkLedger::Holding::takeForConnection(budget);
            if (!socket) return false;
        }
        socketHeld_ = socket ? std::move(*socket) : WorkLedger::Holding();
        if (readAheadBudget_) toWake = readAheadBudget_->release(undelivered_);
        readAheadBudget_ = std::move(budget);
        if (readAheadBudget_) readAheadBudget_->charge(undelivered_);
        if (state_ == ConnectionState::ready) updateInterestLocked();
    }
    WorkLedger::wake(std::move(toWake));
    return true;
}

std::shared_ptr<WorkLedger> TcpConnection::readAheadBudget() const {
    std::lock_guard lock(mutex_);
    return readAheadBudget_;
}

void TcpConnection::setReadAheadPastBudget(size_t bytes) {
    std::lock_guard lock(mutex_);
    readAheadPastBudget_ = bytes;
    if (state_ == ConnectionState::ready) updateInterestLocked();
}

void TcpConnection::setEndsWhenThePeerLeaves(bool ends) {
    std::lock_guard lock(mutex_);
    endsWhenThePeerLeaves_ = ends;
    // Heard while it was not yet set.
    if (ends && hangupSeen_ && state_ == ConnectionState::ready) hangupWhileUnreadLocked();
}

void TcpConnection::abort(const std::string& error) {
    std::lock_guard lock(mutex_);
    failLocked(error);
}

size_t TcpConnection::readRoomLocked() {
    if (undelivered_ >= maxUndelivered_) return 0;
    const size_t room = maxUndelivered_ - undelivered_;
    if (!readAheadBudget_) return room;
    return std::min(room, readAheadBudget_->roomFor(shared_from_this(), undelivered_, readAheadPastBudget_));
}

void TcpConnection::hangupWhileUnreadLocked() {
    hangupSeen_ = true;
    if (!endsWhenThePeerLeaves_ || receiveDone_) return;
    receiveDone_ = true;
    postReceiveLocked({}, true, {});
}

void TcpConnection::budgetHasRoom() {
    std::lock_guard lock(mutex_);
    if (state_ == ConnectionState::ready) updateInterestLocked();
}

size_t TcpConnection::maxUnsentBytes() const {
    std::lock_guard lock(mutex_);
    return maxUnsent_;
}

void TcpConnection::handleEvents(uint64_t registration, uint32_t events) {
    std::lock_guard lock(mutex_);
    if (registration != registration_ || fd_ < 0) return;  // stale event

    if (connecting_) {
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
        if (error == 0 && !(events & (EPOLLERR | EPOLLHUP))) {
            becomeReadyLocked();
            return;
        }
        lastConnectErrno_ = error != 0 ? error : ECONNREFUSED;
        lastConnectError_ = errnoText(lastConnectErrno_);
        closeSocketLocked();
        connectNextLocked();
        return;
    }

    if (events & EPOLLERR) {
        int error = 0;
        socklen_t length = sizeof error;
        getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0) {
            failLocked(errnoText(error));
            return;
        }
    }
    if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) && (interest_ & EPOLLIN)) {
        readLocked();
        if (state_ != ConnectionState::ready) return;
    } else if ((events & (EPOLLRDHUP | EPOLLHUP)) && !receiveDone_) {
        hangupWhileUnreadLocked();
    }
    if ((events & (EPOLLOUT | EPOLLHUP | EPOLLERR)) && !pending_.empty()) {
        writeLocked();
        if (state_ != ConnectionState::ready) return;
    }
    updateInterestLocked();
}

void TcpConnection::readLocked() {
    thread_local std::vector<uint8_t> buffer(kReadChunk);
    for (int round = 0; round < kMaxReadsPerEvent; ++round) {
        if (receiveDone_ || readingPaused_ || readingHeld_) return;
        const size_t room = readRoomLocked();
        if (room == 0) return;
        const ssize_t count = ::recv(fd_, buffer.data(), std::min(buffer.size(), room), 0);
        if (count > 0) {
            undelivered_ += static_cast<size_t>(count);
            if (readAheadBudget_) readAheadBudget_->charge(static_cast<size_t>(count), this);
            unhandedBytes_.insert(unhandedBytes_.end(), buffer.begin(), buffer.begin() + count);
            if (!deliveryQueued_) postDeliveryLocked();
            continue;
        }
        if (count == 0) {
            receiveDone_ = true;
            postReceiveLocked({}, true, {});
            return;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return;
        failLocked(errnoText(errno));
        return;
    }
}

void TcpConnection::writeLocked() {
    while (!pending_.empty()) {
        iovec vectors[kMaxIovecs];
        int used = 0;
        for (auto it = pending_.begin(); it != pending_.end() && used < kMaxIovecs; ++it, ++used) {
            const auto bytes = it->view();
            vectors[used].iov_base = const_cast<uint8_t*>(bytes.data() + it->offset);
            vectors[used].iov_len = bytes.size() - it->offset;
        }
        msghdr message{};
        message.msg_iov = vectors;
        message.msg_iovlen = static_cast<size_t>(used);
        const ssize_t written = ::sendmsg(fd_, &message, MSG_NOSIGNAL);
        if (written < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            failLocked(errnoText(errno));
            return;
        }
        size_t left = static_cast<size_t>(written);
        removeUnsentLocked(left);
        while (!pending_.empty()) {
            PendingSend& front = pending_.front();
            const size_t remaining = front.view().size() - front.offset;
            if (left < remaining) {
                front.offset += left;
                break;
            }
            left -= remaining;
            if (front.reportSuccess) postCompletionLocked(std::move(front.completion), {});
            pending_.pop_front();
            removeUnsentLocked(kQueuedSendOverhead);
        }
        if (written == 0) return;  // only empty sends were left
    }
}

void TcpConnection::failLocked(const std::string& error) {
    if (state_ == ConnectionState::failed || state_ == ConnectionState::cancelled) return;
    closeSocketLocked();
    connecting_ = false;
    endpoints_.clear();
    failure_ = error;
    std::deque<PendingSend> pending;
    pending.swap(pending_);
    removeUnsentLocked(unsent_);
    for (auto& send : pending) postCompletionLocked(std::move(send.completion), error);
    if (!receiveDone_) {
        receiveDone_ = true;
        postReceiveLocked({}, true, error);
    }
    setStateLocked(ConnectionState::failed, error);
}

void TcpConnection::closeSocketLocked() {
    if (fd_ < 0) return;
    if (registration_ != 0) IoLoop::shared().remove(fd_, registration_);
    registration_ = 0;
    interest_ = 0;
    ::close(fd_);  // never retried: Linux releases the descriptor even on EINTR
    fd_ = -1;
    socketHeld_.reset();
}

// Watches the socket for exactly what the connection can use now. With
// nothing to watch it leaves epoll altogether, since a hung-up socket is
// reported even with an empty event mask and would wake the thread forever.
void TcpConnection::updateInterestLocked() {
    if (fd_ < 0) return;
    uint32_t wanted = 0;
    if (connecting_) {
        wanted = EPOLLOUT;
    } else if (state_ == ConnectionState::ready) {
        if (!receiveDone_ && !readingPaused_ && !readingHeld_ && readRoomLocked() > 0) {
            wanted |= EPOLLIN;
        } else if (!receiveDone_ && !hangupSeen_) {
            // Nothing is read, but a peer that leaves is still heard.
            wanted |= EPOLLRDHUP;
        }
        if (!pending_.empty()) wanted |= EPOLLOUT;
    }
    if (wanted == interest_) return;
    IoLoop& loop = IoLoop::shared();
    if (wanted == 0) {
        loop.remove(fd_, registration_);
        registration_ = 0;
    } else if (registration_ == 0) {
        registration_ = loop.add(fd_, wanted, [weak = weak_from_this()](uint64_t id, uint32_t events) {
            if (auto self = weak.lock()) self->handleEvents(id, events);
        });
        if (registration_ == 0) {
            failLocked("cannot watch socket: " + errnoText(errno));
            return;
        }
    } else if (!loop.modify(fd_, registration_, wanted)) {
        failLocked("cannot watch socket: " + errnoText(errno));
        return;
    }
    interest_ = wanted;
}

void TcpConnection::setStateLocked(ConnectionState state, const std::string& error) {
    state_ = state;
    if (!queue_) return;
    queue_->async([weak = weak_from_this(), state, error] {
        auto self = weak.lock();
        if (!self || self->cancelled_) return;
        if (self->stateUpdateHandler) self->stateUpdateHandler(state, error);
    });
}

void TcpConnection::postReceiveLocked(std::vector<uint8_t> data, bool isComplete, const std::string& error) {
    if (!queue_) return;
    queue_->async([weak = weak_from_this(), data = std::move(data), isComplete, error] {
        auto self = weak.lock();
        if (!self) return;
        if (!self->cancelled_ && self->receiveHandler) self->receiveHandler(data, isComplete, error);
        if (!data.empty() && !self->receiverConsumes_) self->consume(data.size());
    });
}

void TcpConnection::postDeliveryLocked() {
    if (!queue_) return;
    deliveryQueued_ = true;
    queue_->async([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) return;
        std::vector<uint8_t> data;
        {
            std::lock_guard lock(self->mutex_);
            data.swap(self->unhandedBytes_);
            self->deliveryQueued_ = false;
        }
        if (!self->cancelled_ && self->receiveHandler) self->receiveHandler(data, false, {});
        if (!data.empty() && !self->receiverConsumes_) self->consume(data.size());
    });
}

void TcpConnection::postCompletionLocked(SendCompletion completion, const std::string& error) {
    if (!completion) return;
    if (!queue_) {
        earlyCompletions_.emplace_back(std::move(completion), error);
        return;
    }
    queue_->async([weak = weak_from_this(), completion = std::move(completion), error] {
        if (weak.lock()) completion(error);
    });
}

void TcpConnection::setReceiverConsumes(bool receiverConsumes) { receiverConsumes_ = receiverConsumes; }

void TcpConnection::consume(size_t bytes) {
    WorkLedger::Wakeup toWake;
    {
        std::lock_guard lock(mutex_);
        bytes = std::min(bytes, undelivered_);
        undelivered_ -= bytes;
        if (readAheadBudget_) toWake = readAheadBudget_->release(bytes);
        if (state_ == ConnectionState::ready) updateInterestLocked();
    }
    // Outside this connection's lock: a woken one takes its own.
    WorkLedger::wake(std::move(toWake));
}

// ---------------------------------------------------------------------------
// ReceiveTurnBudget, ReceiveTurns

namespace {
std::atomic<uint64_t> fullTurnsTaken{0};
}  // namespace

uint64_t ReceiveTurnBudget::fullTurnsTakenEver() { return fullTurnsTaken.load(std::memory_order_relaxed); }

double ReceiveTurnBudget::takeFullTurn() {
    fullTurnsTaken.fetch_add(1, std::memory_order_relaxed);
    std::lock_guard lock(mutex_);
    const uint64_t now = Clock::uptimeNs();
    double tokens = perSecond_;
    if (tokens_) {
        const double elapsed = static_cast<double>(now - tokensAtNs_) / 1e9;
        tokens = std::min(perSecond_, *tokens_ + elapsed * perSecond_);
    }
    tokens -= 1;
    tokens_ = tokens;
    tokensAtNs_ = now;
    return tokens >= 0 ? 0 : -tokens / perSecond_;
}

ReceiveTurns::ReceiveTurns(std::shared_ptr<TcpConnection> connection, DispatchQueue queue, PacketFraming framing,
                           std::shared_ptr<ReceiveTurnBudget> budget)
    : connection_(std::move(connection)),
      queue_(std::move(queue)),
      framing_(framing),
      budget_(budget ? std::move(budget) : std::make_shared<ReceiveTurnBudget>()) {
    connection_->setReceiverConsumes(true);
}

void ReceiveTurns::settle(const Buffered& buffered) {
    const size_t bytes = buffered.bytes.size();
    if (arriving_ && buffered.packetsTaken != arrivingAfter_) arriving_.reset();  // served
    if (bytes == 0) arriving_.reset();  // gone with its stream
    auto budget = connection_->readAheadBudget();
    // The first packet buffered is a packet still arriving once its whole
    // header announces more than has arrived: against a shared budget it
    // is charged as such until it is served, before its bytes are given
    // back as read (so that no other connection takes their room
    // meanwhile). Until its header is whole its size is unknown, and its
    // bytes are charged as read like any other.
    if (!arriving_ && budget && bytes > 0) {
        const auto payload = framing_.payloadBytes(buffered.bytes);
        if (payload && *payload <= buffered.maxPayloadBytes && framing_.headerBytes + size_t{*payload} > bytes) {
            arriving_ = std::make_shared<WorkLedger::ArrivingPacket>(std::move(budget), connection_,
                                                                     framing_.headerBytes + size_t{*payload});
            arrivingAfter_ = buffered.packetsTaken;
            watchArrival();
        }
    }
    size_t asArriving = 0;
    if (arriving_) {
        asArriving = std::min(bytes, arriving_->wholeBytes());
        arriving_->arrived(asArriving);
    }
    // Every other byte buffered stays charged as read until it is served.
    const size_t keep = std::min(heldBytes_, bytes - asArriving);
    if (heldBytes_ == keep) return;
    connection_->consume(heldBytes_ - keep);
    heldBytes_ = keep;
}

namespace {

std::string arrivalBoundText() {
    char text[96];
    std::snprintf(text, sizeof text, "a packet still arriving came slower than %g KiB/s after its first %g s",
                  ReceiveTurns::kLeastArrivalBytesPerSecond / (1 << 10), ReceiveTurns::kArrivalGraceSeconds);
    return text;
}

// Checks, when the packet holding the place would fall below its least
// average rate, that it has not; ends its connection if it has, else checks
// again when due.
void checkArrivalWhenDue(std::weak_ptr<WorkLedger::ArrivingPacket> weakPacket,
                         std::weak_ptr<TcpConnection> weakConnection, const DispatchQueue& queue) {
    auto packet = weakPacket.lock();
    if (!packet) return;
    const uint64_t now = Clock::uptimeNs();
    const auto graceNs = static_cast<uint64_t>(ReceiveTurns::kArrivalGraceSeconds * 1e9);
    // Not yet holding the place, it waits for it (or, within its machine's
    // part, for the room others hold on the Host's total): its peer is not
    // at fault, and its bound starts when it reads on (it is looked at again
    // before its grace could have run out). Whole, it waits to be served.
    uint64_t dueNs = now + graceNs;
    if (const auto progress = packet->arrivalProgress()) {
        // When what has arrived is what the least rate asks for: past it,
        // one more byte is owed.
        const auto owedFromNs = progress->placeSinceNs + graceNs +
                                static_cast<uint64_t>(static_cast<double>(progress->bytes) /
                                                      ReceiveTurns::kLeastArrivalBytesPerSecond * 1e9);
        if (owedFromNs < now) {
            if (auto connection = weakConnection.lock()) connection->abort(arrivalBoundText());
            return;
        }
        dueNs = owedFromNs + 1;
    }
    // The check is the connection's own, never a job of the peer's work.
    const WorkLedger::Charged nobody(nullptr);
    queue.asyncAfter(static_cast<double>(dueNs - now) / 1e9, [weakPacket, weakConnection, queue] {
        checkArrivalWhenDue(weakPacket, weakConnection, queue);
    });
}

}  // namespace

void ReceiveTurns::watchArrival() { checkArrivalWhenDue(arriving_, connection_, queue_); }

void ReceiveTurns::setBudget(std::shared_ptr<ReceiveTurnBudget> budget) {
    budget_ = budget ? std::move(budget) : std::make_shared<ReceiveTurnBudget>();
}

void ReceiveTurns::yield(Work nextTurn, size_t roomToSend) {
    const bool forWork = mustWaitForWork();
    const bool forRoom = !forWork && roomToSend > 0 && ledger_;
    if (forWork || forRoom) {
        // Reading goes on as far as the peer's budget and what the
        // connection may read past it allow, for what the reader serves out
        // of turn; a peer that leaves is not waited for.
        if (held_) {
            held_ = false;
            connection_->setReadingHeld(false);
        }
        if (!state_->waitingForThePeer) {
            state_->waitingForThePeer = true;
            connection_->setEndsWhenThePeerLeaves(true);
        }
    } else if (!held_) {
        held_ = true;
        connection_->setReadingHeld(true);
    }
    if (state_->queued) return;
    state_->queued = true;
    // Its state weakly: a turn waiting for room ends with its connection's.
    Work turn = [weakState = std::weak_ptr<State>(state_), weakConnection = std::weak_ptr<TcpConnection>(connection_),
                 nextTurn = std::move(nextTurn)] {
        const auto state = weakState.lock();
        if (!state) return;
        state->queued = false;
        if (state->waitingForThePeer) {
            state->waitingForThePeer = false;
            if (auto connection = weakConnection.lock()) connection->setEndsWhenThePeerLeaves(false);
        }
        nextTurn();
    };
    // A turn is the connection's own, never a job of the peer's work.
    const WorkLedger::Charged nobody(nullptr);
    if (forWork || forRoom) {
        auto queueTurn = [queue = queue_, turn = std::move(turn)]() mutable {
            const WorkLedger::Charged nobody(nullptr);
            queue.async(std::move(turn));
        };
        if (forWork) {
            ledger_->whenUnderBudget(std::move(queueTurn));
        } else {
            // Once the peer has read enough of what waits for it (a peer
            // that leaves first ends its connection, and this never runs).
            ledger_->whenRoomToSend(roomToSend, std::move(queueTurn), state_);
        }
        return;
    }
    const double wait = budget_->takeFullTurn();
    if (wait > 0) {
        queue_.asyncAfter(wait, std::move(turn));
    } else {
        queue_.async(std::move(turn));
    }
}

void ReceiveTurns::caughtUp() {
    if (!held_) return;
    held_ = false;
    connection_->setReadingHeld(false);
}

// ---------------------------------------------------------------------------
// TcpListener

namespace {

// Returns the listening socket, or -1 with `error` and errno set.
int openListeningSocket(const sockaddr_storage& address, socklen_t length, bool dualStack, std::string& error) {
    const int fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = errnoText(errno);
        return -1;
    }
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (address.ss_family == AF_INET6) {
        const int v6only = dualStack ? 0 : 1;
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
    }
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0 || ::listen(fd, SOMAXCONN) != 0) {
        const int saved = errno;
        error = errnoText(saved);
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

}  // namespace

Result<std::shared_ptr<TcpListener>> TcpListener::listen(uint16_t port, TcpListenerOptions options) {
    sockaddr_storage address{};
    auto& v4 = reinterpret_cast<sockaddr_in&>(address);
    auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
    std::string error;
    int fd = -1;
    if (options.bindAddress.empty()) {
        v6.sin6_family = AF_INET6;
        v6.sin6_addr = in6addr_any;
        v6.sin6_port = htons(port);
        fd = openListeningSocket(address, sizeof v6, true, error);
        if (fd < 0 && (errno == EAFNOSUPPORT || errno == EPROTONOSUPPORT || errno == EADDRNOTAVAIL)) {
            address = {};
            v4.sin_family = AF_INET;
            v4.sin_addr.s_addr = htonl(INADDR_ANY);
            v4.sin_port = htons(port);
            fd = openListeningSocket(address, sizeof v4, false, error);
        }
    } else if (inet_pton(AF_INET, options.bindAddress.c_str(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(port);
        fd = openListeningSocket(address, sizeof v4, false, error);
    } else if (inet_pton(AF_INET6, options.bindAddress.c_str(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(port);
        fd = openListeningSocket(address, sizeof v6, false, error);
    } else {
        return Failure{"cannot listen: \"" + options.bindAddress + "\" is not a numeric IP address"};
    }
    if (fd < 0) {
        return Failure{"cannot listen on port " + std::to_string(port) + ": " + error};
    }

    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    return std::make_shared<TcpListener>(PrivateTag{}, fd, portOf(bound), options.noDelay);
}

TcpListener::TcpListener(PrivateTag, int fd, uint16_t port, bool noDelay)
    : fd_(fd), port_(port), noDelay_(noDelay) {}

TcpListener::~TcpListener() {
    std::lock_guard lock(mutex_);
    closeLocked();
}

void TcpListener::start(DispatchQueue queue) {
    std::lock_guard lock(mutex_);
    if (queue_ || fd_ < 0) return;
    queue_ = std::move(queue);
    watchLocked();
}

void TcpListener::watchLocked() {
    registration_ = IoLoop::shared().add(fd_, EPOLLIN, [weak = weak_from_this()](uint64_t id, uint32_t events) {
        if (auto self = weak.lock()) self->handleEvents(id, events);
    });
    if (registration_ == 0) {
        // Counted like a failed accept, and tried again after the delay.
        acceptFailures_.count++;
        acceptFailures_.lastError = "cannot watch the socket: " + errnoText(errno);
        pauseLocked();
    }
}

void TcpListener::pauseLocked() {
    if (registration_ != 0) IoLoop::shared().remove(fd_, registration_);
    registration_ = 0;
    queue_->asyncAfter(kRearmDelaySeconds, [weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) return;
        std::lock_guard lock(self->mutex_);
        if (self->cancelled_ || self->fd_ < 0 || self->registration_ != 0) return;
        IoLoop::shared().restoreSpare();
        if (self->waitingToBeTaken_ >= kMaxWaitingToBeTaken) {
            self->heldForTheQueue_ = true;
            return;
        }
        self->watchLocked();
    });
}

void TcpListener::taken() {
    std::lock_guard lock(mutex_);
    waitingToBeTaken_--;
    if (!heldForTheQueue_ || cancelled_ || fd_ < 0 || waitingToBeTaken_ >= kMaxWaitingToBeTaken) return;
    heldForTheQueue_ = false;
    watchLocked();
}

void TcpListener::cancel() {
    std::lock_guard lock(mutex_);
    if (cancelled_.exchange(true)) return;
    closeLocked();
    if (!queue_) {
        newConnectionHandler = nullptr;
        return;
    }
    // Released on the queue, behind any hand-over already queued, so the
    // handler is never destroyed while it runs.
    queue_->async([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->newConnectionHandler = nullptr;
    });
}

TcpListener::AcceptFailures TcpListener::takeAcceptFailures() {
    std::lock_guard lock(mutex_);
    return std::exchange(acceptFailures_, AcceptFailures{});
}

void TcpListener::closeLocked() {
    if (fd_ < 0) return;
    if (registration_ != 0) IoLoop::shared().remove(fd_, registration_);
    registration_ = 0;
    ::close(fd_);
    fd_ = -1;
}

size_t TcpListener::waitingToBeTaken() const {
    std::lock_guard lock(mutex_);
    return waitingToBeTaken_;
}

void TcpListener::handleEvents(uint64_t registration, uint32_t) {
    std::lock_guard lock(mutex_);
    if (registration != registration_ || fd_ < 0) return;
    for (int i = 0; i < kMaxAcceptsPerEvent; ++i) {
        if (waitingToBeTaken_ >= kMaxWaitingToBeTaken) {
            // Not read again until the queue has taken some.
            IoLoop::shared().remove(fd_, registration_);
            registration_ = 0;
            heldForTheQueue_ = true;
            return;
        }
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        const int fd = ::accept4(fd_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            const int error = errno;
            if (error == EAGAIN || error == EWOULDBLOCK) return;
            // A connection that died in the backlog, or a signal: next one.
            if (error == EINTR || error == ECONNABORTED || error == EPROTO) continue;
            // At the descriptor limit one pending connection is shed per
            // failure, so the backlog drains instead of waking this loop
            // forever (the kernel reports the limit even when nothing is
            // pending); anything else, or a spare that is gone, pauses.
            const auto shed = error == EMFILE || error == ENFILE ? IoLoop::shared().shedPendingConnection(fd_)
                                                                 : IoLoop::Shed::failed;
            if (shed == IoLoop::Shed::nonePending) return;
            acceptFailures_.count++;
            acceptFailures_.lastError = errnoText(error);
            if (shed == IoLoop::Shed::one) continue;
            pauseLocked();
            return;
        }
        if (noDelay_) {
            const int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        }
        auto connection = std::make_shared<TcpConnection>(TcpConnection::PrivateTag{}, fd, addressText(peer),
                                                          portOf(peer));
        waitingToBeTaken_++;
        queue_->async([weak = weak_from_this(), connection = std::move(connection)] {
            auto self = weak.lock();
            if (!self) return;
            self->taken();
            if (self->cancelled_) return;
            if (self->newConnectionHandler) self->newConnectionHandler(connection);
        });
    }
}

}  // namespace platform
