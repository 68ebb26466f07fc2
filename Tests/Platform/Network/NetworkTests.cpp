#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Runtime/Dispatch.h"
#include "Platform/Runtime/HostByteTotal.h"
#include "Platform/Network/Network.h"
#include "Platform/Runtime/Runtime.h"
#include "Platform/Runtime/VirtualRuntime.h"
#include "Support/TestSupport.h"

using namespace platform;

namespace {

// Generous: these waits end on an event; the bound only keeps a broken
// build from hanging.
constexpr double kEventTimeout = 30;

std::string stateName(ConnectionState state) {
    switch (state) {
        case ConnectionState::setup: return "setup";
        case ConnectionState::preparing: return "preparing";
        case ConnectionState::waiting: return "waiting";
        case ConnectionState::ready: return "ready";
        case ConnectionState::failed: return "failed";
        case ConnectionState::cancelled: return "cancelled";
    }
    return "?";
}

std::vector<uint8_t> pattern(size_t size, uint32_t seed) {
    std::vector<uint8_t> bytes(size);
    uint32_t x = seed | 1;
    for (auto& b : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x >> 24);
    }
    return bytes;
}

std::vector<uint8_t> text(const std::string& s) { return {s.begin(), s.end()}; }

// Everything one connection delivers, in delivery order. Handlers run on the
// connection's queue; the test reads under the lock.
struct Recorder {
    std::mutex mutex;
    std::vector<uint8_t> bytes;
    std::vector<std::string> events;  // "state:ready", "data:N", "complete", "complete:error"
    std::string failure;              // the error of the last failed or waiting state
    size_t target = SIZE_MAX;
    DispatchSemaphore reachedTarget;
    DispatchSemaphore completed;
    std::array<DispatchSemaphore, 6> stateSeen;

    static std::shared_ptr<Recorder> attach(TcpConnection& connection, size_t target = SIZE_MAX) {
        auto r = std::make_shared<Recorder>();
        r->target = target;
        connection.stateUpdateHandler = [r](ConnectionState state, const std::string& error) {
            {
                std::lock_guard lock(r->mutex);
                r->events.push_back("state:" + stateName(state));
                if (state == ConnectionState::failed || state == ConnectionState::waiting) r->failure = error;
            }
            r->stateSeen[static_cast<size_t>(state)].signal();
        };
        connection.receiveHandler = [r](std::span<const uint8_t> data, bool isComplete, const std::string& error) {
            bool reached = false;
            {
                std::lock_guard lock(r->mutex);
                if (!data.empty()) {
                    const bool before = r->bytes.size() >= r->target;
                    r->bytes.insert(r->bytes.end(), data.begin(), data.end());
                    r->events.push_back("data:" + std::to_string(data.size()));
                    reached = !before && r->bytes.size() >= r->target;
                }
                if (isComplete) r->events.push_back(error.empty() ? "complete" : "complete:" + error);
            }
            if (reached) r->reachedTarget.signal();
            if (isComplete) r->completed.signal();
        };
        return r;
    }

    bool waitState(ConnectionState state) { return stateSeen[static_cast<size_t>(state)].wait(kEventTimeout); }
    std::vector<std::string> snapshot() {
        std::lock_guard lock(mutex);
        return events;
    }
    std::vector<uint8_t> received() {
        std::lock_guard lock(mutex);
        return bytes;
    }
    size_t countPrefix(const std::string& prefix) {
        std::lock_guard lock(mutex);
        size_t n = 0;
        for (auto& e : events)
            if (e.rfind(prefix, 0) == 0) n++;
        return n;
    }
};

// Collects send completions; each call records its error ("" = written).
struct Completions {
    std::mutex mutex;
    std::vector<std::string> errors;
    DispatchSemaphore fired;

    TcpConnection::SendCompletion make() {
        return [this](const std::string& error) {
            {
                std::lock_guard lock(mutex);
                errors.push_back(error);
            }
            fired.signal();
        };
    }
    std::vector<std::string> all() {
        std::lock_guard lock(mutex);
        return errors;
    }
};

class NetworkTest : public ::testing::Test {
protected:
    void SetUp() override {
        Runtime::install(nullptr);  // real sockets need the real runtime
        serverQueue.emplace("test.network.server");
        clientQueue.emplace("test.network.client");
    }

    void TearDown() override {
        for (auto& listener : listeners) listener->cancel();
        serverQueue->sync([] {});  // no hand-over to this fixture is still running
    }

    // A listener on host (empty: all interfaces), port 0, handing over on
    // the server queue unless told otherwise. Accepted connections are kept
    // unstarted for the test to take with nextAccepted().
    std::shared_ptr<TcpListener> listenOn(const std::string& host, bool noDelay = false,
                                          std::optional<DispatchQueue> queue = std::nullopt) {
        auto result = TcpListener::listen(0, TcpListenerOptions{noDelay, host});
        if (!result) return nullptr;
        auto listener = *result;
        listener->newConnectionHandler = [this](std::shared_ptr<TcpConnection> connection) {
            {
                std::lock_guard lock(acceptedMutex);
                accepted.push_back(std::move(connection));
            }
            acceptedSignal.signal();
        };
        listener->start(queue ? *queue : *serverQueue);
        listeners.push_back(listener);
        return listener;
    }

    std::shared_ptr<TcpConnection> nextAccepted() {
        if (!acceptedSignal.wait(kEventTimeout)) return nullptr;
        std::lock_guard lock(acceptedMutex);
        auto connection = accepted.front();
        accepted.pop_front();
        return connection;
    }

    size_t acceptedCount() {
        std::lock_guard lock(acceptedMutex);
        return accepted.size();
    }

    // A started client; the recorder sees everything from the first state on.
    std::pair<std::shared_ptr<TcpConnection>, std::shared_ptr<Recorder>> connectTo(
        const std::string& host, uint16_t port, size_t target = SIZE_MAX, size_t maxUnsent = 0) {
        auto connection = TcpConnection::connect(host, port);
        auto recorder = Recorder::attach(*connection, target);
        if (maxUnsent) connection->setMaxUnsentBytes(maxUnsent);
        connection->start(*clientQueue);
        return {connection, recorder};
    }

    // Holds a queue until the returned semaphore is signalled, so that what
    // the connection delivers meanwhile piles up behind it.
    std::shared_ptr<DispatchSemaphore> holdQueue(const DispatchQueue& queue) {
        auto gate = std::make_shared<DispatchSemaphore>();
        auto held = std::make_shared<DispatchSemaphore>();
        queue.async([gate, held] {
            held->signal();
            gate->wait(kEventTimeout);
        });
        held->wait(kEventTimeout);
        return gate;
    }

    std::optional<DispatchQueue> serverQueue, clientQueue;
    std::vector<std::shared_ptr<TcpListener>> listeners;
    std::mutex acceptedMutex;
    std::deque<std::shared_ptr<TcpConnection>> accepted;
    DispatchSemaphore acceptedSignal;
};

class NetworkLoopbackTest : public NetworkTest, public ::testing::WithParamInterface<std::string> {};

}  // namespace

// ---------------------------------------------------------------- round trips

TEST_P(NetworkLoopbackTest, EchoRoundTripWithAddresses) {
    const std::string host = GetParam();
    auto listener = listenOn(host, /*noDelay=*/true);
    if (!listener && host == "::1") GTEST_SKIP() << "no IPv6 loopback here";
    ASSERT_TRUE(listener);
    ASSERT_NE(listener->port(), 0);

    const std::vector<uint8_t> payload = pattern(100 * 1024, 7);
    auto [client, clientRecorder] = connectTo(host, listener->port(), payload.size());
    auto server = nextAccepted();
    ASSERT_TRUE(server);
    std::weak_ptr<TcpConnection> weakServer = server;
    server->receiveHandler = [weakServer](std::span<const uint8_t> data, bool, const std::string&) {
        if (auto self = weakServer.lock(); self && !data.empty()) self->send({data.begin(), data.end()});
    };
    server->start(*serverQueue);
    ASSERT_TRUE(clientRecorder->waitState(ConnectionState::ready));

    for (size_t offset = 0; offset < payload.size(); offset += 10 * 1024) {
        client->send({payload.begin() + offset, payload.begin() + offset + 10 * 1024});
    }
    ASSERT_TRUE(clientRecorder->reachedTarget.wait(kEventTimeout));
    EXPECT_EQ(clientRecorder->received(), payload);

    EXPECT_EQ(client->remoteAddress(), host);
    EXPECT_EQ(client->remotePort(), listener->port());
    EXPECT_EQ(server->remoteAddress(), host);
    EXPECT_NE(server->remotePort(), 0);
    EXPECT_EQ(client->state(), ConnectionState::ready);
    EXPECT_EQ(clientRecorder->snapshot().front(), "state:preparing");
}

INSTANTIATE_TEST_SUITE_P(BothFamilies, NetworkLoopbackTest, ::testing::Values("127.0.0.1", "::1"));

TEST_F(NetworkTest, DualStackListenerShowsPeersInTheirOwnFamily) {
    auto listener = listenOn("");
    ASSERT_TRUE(listener);

    auto [v4, v4Recorder] = connectTo("127.0.0.1", listener->port());
    auto fromV4 = nextAccepted();
    ASSERT_TRUE(fromV4);
    EXPECT_EQ(fromV4->remoteAddress(), "127.0.0.1");  // not "::ffff:127.0.0.1"

    if (auto probe = TcpListener::listen(0, TcpListenerOptions{false, "::1"}); probe) {
        (*probe)->cancel();
        auto [v6, v6Recorder] = connectTo("::1", listener->port());
        auto fromV6 = nextAccepted();
        ASSERT_TRUE(fromV6);
        EXPECT_EQ(fromV6->remoteAddress(), "::1");
    }
}

TEST_F(NetworkTest, LargeSendArrivesIntactAndItsCompletionFires) {
    auto listener = listenOn("127.0.0.1");
    ASSERT_TRUE(listener);
    const std::vector<uint8_t> payload = pattern(8 * 1024 * 1024, 99);
    auto [client, clientRecorder] = connectTo("127.0.0.1", listener->port());
    auto server = nextAccepted();
    ASSERT_TRUE(server);
    auto serverRecorder = Recorder::attach(*server, payload.size());
    server->start(*serverQueue);

    Completions completions;
    client->send(payload, completions.make());
    ASSERT_TRUE(serverRecorder->reachedTarget.wait(kEventTimeout));
    ASSERT_TRUE(completions.fired.wait(kEventTimeout));
    EXPECT_EQ(completions.all(), std::vector<std::string>{""});
    EXPECT_EQ(client->unsentBytes(), 0u);
    EXPECT_TRUE(serverRecorder->received() == payload);
}

// ---------------------------------------------------------------- bounded memory

TEST_F(NetworkTest, BacklogAboveTheLimitFailsTheConnectionAndEveryPendingSend) {
    auto listener = listenOn("127.0.0.1");
    ASSERT_TRUE(listener);
    auto [client, clientRecorder] = connectTo("127.0.0.1", listener->port(), SIZE_MAX, 1024 * 1024);
    auto stalledPeer = nextAccepted();  // never started: it never reads
    ASSERT_TRUE(stalledPeer);
    ASSERT_TRUE(clientRecorder->waitState(ConnectionState::ready));
    EXPECT_EQ(client->maxUnsentBytes(), 1024u * 1024u);

    Completions completions;
    const std::vector<uint8_t> chunk = pattern(256 * 1024, 3);
    size_t sends = 0;
    while (client->state() == ConnectionState::ready && sends < 1024) {
        client->send(chunk, completions.make());
        sends++;
    }
    ASSERT_EQ(client->state(), ConnectionState::failed);
    EXPECT_EQ(client->unsentBytes(), 0u);  // the backlog is freed

    client->send(chunk, completions.make());  // after the failure
    sends++;
    ASSERT_TRUE(clientRecorder->waitState(ConnectionState::failed));
    clientQueue->sync([] {});

    auto errors = completions.all();
    ASSERT_EQ(errors.size(), sends);  // every send heard back exactly once
    EXPECT_NE(clientRecorder->failure.find("backlog"), std::string::npos) << clientRecorder->failure;
    EXPECT_EQ(errors.back(), clientRecorder->failure);
    size_t failed = 0;
    for (auto& e : errors) {
        if (e.empty()) continue;
        EXPECT_EQ(e, clientRecorder->failure);
        failed++;
    }
    EXPECT_GE(failed, 2u);
    EXPECT_EQ(clientRecorder->countPrefix("complete:"), 1u);
}

TEST_F(NetworkTest, SlowConsumerStopsTheSocketBeingReadUntilItDrains) {
    auto listener = listenOn("127.0.0.1");
    ASSERT_TRUE(listener);
    const std::vector<uint8_t> payload = pattern(64 * 1024 * 1024, 11);
    auto [client, clientRecorder] = connectTo("127.0.0.1", listener->port(), SIZE_MAX, 128 * 1024 * 1024);
    auto server = nextAccepted();
    ASSERT_TRUE(server);
    auto serverRecorder = Recorder::attach(*server, payload.size());
    auto gate = holdQueue(*serverQueue);
    server->start(*serverQueue);

    Completions completions;
    client->send(payload, completions.make());
    // With the consumer stalled the server reads at most a few MiB, so the
    // 64 MiB cannot all leave the client. (A wait for something that must
    // not happen; without backpressure it happens in milliseconds.)
    EXPECT_FALSE(completions.fired.wait(1.0));
    EXPECT_GT(client->unsentBytes(), 16u * 1024 * 1024);

    gate->signal();
    ASSERT_TRUE(completions.fired.wait(kEventTimeout));
    ASSERT_TRUE(serverRecorder->reachedTarget.wait(kEventTimeout));
    EXPECT_TRUE(serverRecorder->received() == payload);
}

TEST_F(NetworkTest, HeldReadingLeavesTheBytesWithThePeerUntilReleased) {
    auto listener = listenOn("127.0.0.1");
    ASSERT_TRUE(listener);
    const std::vector<uint8_t> payload = pattern(32 * 1024 * 1024, 5);
    auto [client, clientRecorder] = connectTo("127.0.0.1", listener->port(), SIZE_MAX, 64 * 1024 * 1024);
    auto server = nextAccepted();
    ASSERT_TRUE(server);
    auto serverRecorder = Recorder::attach(*server, payload.size());
    server->setReadingHeld(true);
    server->start(*serverQueue);

    Completions completions;
    client->send(payload, completions.make());
    // Nothing is read while held, so most of it stays unsent at the client.
    // (A wait for something that must not happen.)
    EXPECT_FALSE(completions.fired.wait(0.5));
    EXPECT_TRUE(serverRecorder->received().empty());
    EXPECT_GT(client->unsentBytes(), 16u * 1024 * 1024);

    server->setReadingHeld(false);
    ASSERT_TRUE(completions.fired.wait(kEventTimeout));
    ASSERT_TRUE(serverRecorder->reachedTarget.wait(kEventTimeout));
    EXPECT_TRUE(serverRecorder->received() == payload);
}

// Connections sharing a read-ahead budget read no more together than the
// budget, each reads on as soon as the others' bytes are consumed, and one
// that goes with bytes still queued gives their room back.
TEST_F(NetworkTest, ConnectionsSharingAReadAheadBudgetReadNoMoreThanItTogether) {
    auto listener = listenOn("127.0.0.1");
    ASSERT_TRUE(listener);
    constexpr size_t kBudget = 1 << 20;
    constexpr int kConnections = 3;
    auto budget = std::make_shared<WorkLedger>("peer", kBudget);
    const std::vector<uint8_t> payload = pattern(24 * 1024 * 1024, 17);
    std::vector<std::shared_ptr<TcpConnection>> clients, servers;
    std::vector<std::shared_ptr<Recorder>> recorders;
    for (int i = 0; i < kConnections; ++i) {
        clients.push_back(connectTo("127.0.0.1", listener->port(), SIZE_MAX, 64 * 1024 * 1024).first);
        auto server = nextAccepted();
        ASSERT_TRUE(server);
        recorders.push_back(Recorder::attach(*server, payload.size()));
        server->setReadAheadBudget(budget);
        servers.push_back(server);
    }
    auto gate = holdQueue(*serverQueue);
    for (auto& server : servers) server->start(*serverQueue);
    Completions completions;
    for (auto& client : clients) client->send(payload, completions.make());
    // With the reader held, the three read only the shared megabyte between
    // them. (A wait for something that must not happen: apart, each would
    // read its own 4 MiB.)
    EXPECT_FALSE(completions.fired.wait(1.0));
    EXPECT_LE(budget->bytesInUse(), kBudget);
    EXPECT_GT(budget->bytesInUse(), 0u);

    gate->signal();
    for (auto& recorder : recorders) {
        ASSERT_TRUE(recorder->reachedTarget.wait(kEventTimeout)) << "every connection reads on as room returns";
        EXPECT_TRUE(recorder->received() == payload);
    }
    // Each send reports before `completions` goes: their completions run
    // on the clients' queue.
    for (int i = 0; i < kConnections; ++i) ASSERT_TRUE(completions.fired.wait(kEventTimeout));
    serverQueue->sync([] {});
    EXPECT_EQ(budget->bytesInUse(), 0u) << "consumed bytes give their room back";

    gate = holdQueue(*serverQueue);
    for (auto& client : clients) client->send(pattern(256 * 1024, 3));
    for (int i = 0; i < 100 && budget->bytesInUse() == 0; ++i) platform::sleepFor(0.01);
    EXPECT_GT(budget->bytesInUse(), 0u);
    servers.clear();
    // (The socket thread may hold one a moment longer.)
    for (int i = 0; i < 500 && budget->bytesInUse() > 0; ++i) platform::sleepFor(0.01);
    EXPECT_EQ(budget->bytesInUse(), 0u) << "a connection gone gives back what it never delivered";
    gate->signal();
}

// Peers' ledgers share the Host's total, each under its machine: three
// addresses of one /64 hold no more than one machine may, however large
// their own budgets; once that machine holds more than its part it waits
// while another machine, holding less, reads on; and everything arrives
// whole once the reader serves it.
TEST_F(NetworkTest, PeersOfOneMachineShareItsPartOfTheHostTotalAndTheOneHoldingTheMostWaitsFirst) {
    auto listener = listenOn("127.0.0.1");
    ASSERT_TRUE(listener);
    constexpr size_t kTotal = size_t{4} << 20;
    auto total = std::make_shared<HostByteTotal>(kTotal);
    const std::string sixtyFour = "2001:db8:1:2::/64", other = "192.0.2.7";
    std::vector<std::shared_ptr<WorkLedger>> ledgers;
    for (const char* address : {"2001:db8:1:2::1", "2001:db8:1:2::2", "2001:db8:1:2::3", "192.0.2.7"}) {
        // Budgets far above the total: only the total holds them.
        ledgers.push_back(std::make_shared<WorkLedger>(address, size_t{64} << 20));
        ledgers.back()->shareTotal(total, ledgers.size() <= 3 ? sixtyFour : other);
    }
    const std::vector<uint8_t> payload = pattern(8 * 1024 * 1024, 29);
    std::vector<std::shared_ptr<TcpConnection>> clients, servers;
    std::vector<std::shared_ptr<Recorder>> recorders;
    for (const auto& ledger : ledgers) {
        clients.push_back(connectTo("127.0.0.1", listener->port(), SIZE_MAX, 64 * 1024 * 1024).first);
        auto server = nextAccepted();
        ASSERT_TRUE(server);
        recorders.push_back(Recorder::attach(*server, payload.size()));
        server->setReadAheadBudget(ledger);
        servers.push_back(server);
    }
    auto gate = holdQueue(*serverQueue);
    for (auto& server : servers) server->start(*serverQueue);
    Completions completions;
    // Where reading stops: a machine past its part stops the earlier the
    // more it holds; one within its part at the end of the read share.
    const size_t part = total->part();
    const size_t readCeiling = kTotal - kTotal / HostByteTotal::kReserveFraction;
    const size_t machineStop = (readCeiling + part) / 2;
    auto settle = [&](const std::function<bool()>& reached) {
        for (int i = 0; i < 1000 && !reached(); ++i) platform::sleepFor(0.01);
        return reached();
    };
    for (size_t i = 0; i < 3; ++i) clients[i]->send(payload, completions.make());
    EXPECT_TRUE(settle([&] { return total->bytesOf(sixtyFour) + 64 * 1024 >= machineStop; }))
        << total->bytesOf(sixtyFour) << " of " << machineStop;
    EXPECT_LE(total->bytesOf(sixtyFour), machineStop) << "the /64 holds one machine's share, not one per address";
    size_t fromTheSixtyFour = 0;
    for (size_t i = 0; i < 3; ++i) fromTheSixtyFour += ledgers[i]->bytesInUse();
    EXPECT_EQ(fromTheSixtyFour, total->bytesOf(sixtyFour)) << "the total is what its ledgers hold";

    // The other machine, holding less, still reads: up to where the read
    // share ends, the /64 holding the most waiting meanwhile.
    const size_t heldByTheSixtyFour = total->bytesOf(sixtyFour);
    clients[3]->send(payload, completions.make());
    EXPECT_TRUE(settle([&] { return total->bytesInUse() + 64 * 1024 >= readCeiling; })) << total->bytesInUse();
    EXPECT_GT(ledgers[3]->bytesInUse(), kTotal / 4);
    EXPECT_EQ(total->bytesOf(sixtyFour), heldByTheSixtyFour) << "the machine holding the most gave way";
    EXPECT_LE(total->bytesInUse(), readCeiling);

    gate->signal();
    for (auto& recorder : recorders) {
        ASSERT_TRUE(recorder->reachedTarget.wait(kEventTimeout)) << "each reads on as room returns";
        EXPECT_TRUE(recorder->received() == payload);
    }
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(completions.fired.wait(kEventTimeout));
    serverQueue->sync([] {});
    EXPECT_EQ(total->bytesInUse(), 0u);
}

// A connection on a peer's account holds one of its descriptors while its
// socket is open, whichever way the socket closes; past the bound a further
// one is refused and left as it was; one that moves to another account
// takes its descriptor along.
TEST_F(NetworkTest, AConnectionOnAPeersAccountHoldsOneOfItsDescriptorsWhileItsSocketIsOpen) {
    using Held = WorkLedger::Held;
    auto listener = listenOn("127.0.0.1");
    ASSERT_TRUE(listener);
    auto peer = std::make_shared<WorkLedger>("peer", 1 << 20);
    auto other = std::make_shared<WorkLedger>("other", 1 << 20);
    constexpr size_t kBound = WorkLedger::heldBound(Held::descriptors);
    // The rest of the bound is what else the peer holds open.
    auto elsewhere = WorkLedger::Holding::take(peer, Held::descriptors, kBound - 2);
    ASSERT_TRUE(elsewhere);
    std::vector<std::shared_ptr<TcpConnection>> clients, servers;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(connectTo("127.0.0.1", listener->port()).first);
        servers.push_back(nextAccepted());
        ASSERT_TRUE(servers.back());
    }
    EXPECT_TRUE(servers[0]->setReadAheadBudget(peer));
    EXPECT_TRUE(servers[0]->setReadAheadBudget(peer)) << "the same account again takes nothing more";
    EXPECT_TRUE(servers[1]->setReadAheadBudget(peer));
    EXPECT_EQ(peer->held(Held::descriptors), kBound);
    EXPECT_FALSE(servers[2]->setReadAheadBudget(peer)) << "past the bound";
    EXPECT_EQ(servers[2]->readAheadBudget(), nullptr);
    EXPECT_EQ(peer->held(Held::descriptors), kBound);

    servers[0]->cancel();
    EXPECT_EQ(peer->held(Held::descriptors), kBound - 1) << "a cancelled connection gives its socket back";
    EXPECT_TRUE(servers[2]->setReadAheadBudget(peer));
    servers[2]->abort("refused by the test");
    EXPECT_EQ(peer->held(Held::descriptors), kBound - 1) << "a failed connection gives its socket back";
    servers[1].reset();
    EXPECT_EQ(peer->held(Held::descriptors), kBound - 2) << "a dropped connection gives its socket back";
    EXPECT_TRUE(servers[2]->setReadAheadBudget(other));
    EXPECT_EQ(other->held(Held::descriptors), 0u) << "a closed socket is nobody's descriptor";

    EXPECT_TRUE(servers[3]->setReadAheadBudget(peer));
    EXPECT_TRUE(servers[3]->setReadAheadBudget(other));
    EXPECT_EQ(peer->held(Held::descriptors), kBound - 2);
    EXPECT_EQ(other->held(Held::descriptors), 1u);
    EXPECT_TRUE(servers[3]->setReadAheadBudget(nullptr));
    EXPECT_EQ(other->held(Held::descriptors), 0u);
    elsewhere.reset();
    EXPECT_EQ(peer->held(Held::descriptors), 0u);
}

// Pieces read one by one while the reader is busy wait as one delivery, so
// a peer sending many small ones takes one place in its reader's queue; what
// is read after the delivery ran is a delivery of its own.
TEST_F(NetworkTest, PiecesReadWhileTheReaderIsBusyReachItAsOneDelivery) {
    auto listener = listenOn("127.0.0.1", true);
    ASSERT_TRUE(listener);
    auto [client, clientRecorder] = connectTo("127.0.0.1", listener->port());
    auto server = nextAccepted();
    ASSERT_TRUE(server);
    auto recorder = Recorder::attach(*server);
    // Only to see each piece read before the next is sent.
    auto budget = std::make_shared<WorkLedger>("peer", 1 << 20);
    server->setReadAheadBudget(budget);
    auto gate = holdQueue(*serverQueue);
    server->start(*serverQueue);
    std::vector<uint8_t> sent;
    constexpr int kPieces = 20;
    for (int i = 0; i < kPieces; ++i) {
        const auto piece = pattern(47, static_cast<uint32_t>(i));
        sent.insert(sent.end(), piece.begin(), piece.end());
        client->send(piece);
        for (int w = 0; w < 500 && budget->bytesInUse() < sent.size(); ++w) platform::sleepFor(0.01);
        ASSERT_EQ(budget->bytesInUse(), sent.size()) << i;
    }
    gate->signal();
    serverQueue->sync([] {});
    EXPECT_EQ(recorder->received(), sent);
    EXPECT_EQ(recorder->countPrefix("data:"), 1u) << "one delivery for every piece read meanwhile";

    client->send(pattern(47, 99));
    for (int w = 0; w < 500 && recorder->countPrefix("data:") < 2; ++w) platform::sleepFor(0.01);
    EXPECT_EQ(recorder->countPrefix("data:"), 2u) << "bytes read after it ran are delivered on their own";
    EXPECT_EQ(budget->bytesInUse(), 0u);
}

// A budget of full turns: a burst of a second's worth, then that many a
// second, however many take from it.
class ReceiveTurnBudgetTest : public VirtualTimeTest {};

TEST_F(ReceiveTurnBudgetTest, AllowsABurstThenPacesTurnsWhoeverTakesThem) {
    struct Case {
        double perSecond;
        int taken;
        double expectedWait;  // before the turn after the last one taken
    };
    for (const Case c : {Case{400, 400, 0}, Case{400, 401, 1.0 / 400}, Case{400, 600, 200.0 / 400},
                         Case{10, 30, 2.0}}) {
        ReceiveTurnBudget budget(c.perSecond);
        double wait = 0;
        for (int i = 0; i < c.taken; ++i) wait = budget.takeFullTurn();
        EXPECT_NEAR(wait, c.expectedWait, 1e-9) << c.perSecond << " " << c.taken;
        advance(c.expectedWait + 1.0);
        EXPECT_EQ(budget.takeFullTurn(), 0) << "waiting pays the credit back";
    }
}

// ---------------------------------------------------------------- end and cancel

TEST_F(NetworkTest, EndOfStreamIsReportedOnceEvenWhenALaterSendFails) {
    auto listener = listenOn("127.0.0.1");
    ASSERT_TRUE(listener);
    auto [client, clientRecorder] = connectTo("127.0.0.1", listener->port());
    auto server = nextAccepted();
    ASSERT_TRUE(server);
    auto serverRecorder = Recorder::attach(*server);
    server->start(*serverQueue);
    ASSERT_TRUE(clientRecorder->waitState(ConnectionState::ready));

    client->send(text("bye"));
    client->cancel();
    ASSERT_TRUE(serverRecorder->completed.wait(kEventTimeout));
    EXPECT_EQ(serverRecorder->received(), text("bye"));
    EXPECT_EQ(serverRecorder->snapshot().back(), "complete");
    EXPECT_EQ(server->state(), ConnectionState::ready);  // our half may still send

    // The peer is gone: writing eventually fails the connection, which must
    // not report the end of stream a second time.
    Completions completions;
    std::string error;
    for (int i = 0; i < 50 && error.empty(); ++i) {
        server->send(text("x"), completions.make());
        ASSERT_TRUE(completions.fired.wait(kEventTimeout));
        error = completions.all().back();
    }
    ASSERT_FALSE(error.empty());
    ASSERT_TRUE(serverRecorder->waitState(ConnectionState::failed));
    serverQueue->sync([] {});
    EXPECT_EQ(serverRecorder->countPrefix("complete"), 1u);
    EXPECT_EQ(serverRecorder->snapshot().back(), "state:failed");
}

TEST_F(NetworkTest, CancelIsIdempotentAndNothingButCancelledFollows) {
    auto listener = listenOn("127.0.0.1");
    ASSERT_TRUE(listener);
    auto [client, clientRecorder] = connectTo("127.0.0.1", listener->port());
    auto server = nextAccepted();
    ASSERT_TRUE(server);
    auto serverRecorder = Recorder::attach(*server, 3);
    server->start(*serverQueue);
    client->send(text("abc"));
    ASSERT_TRUE(serverRecorder->reachedTarget.wait(kEventTimeout));

    // Data and end of stream arrive while the server's queue is held, so
    // their deliveries wait behind the gate when cancel() comes.
    auto gate = holdQueue(*serverQueue);
    Completions written;
    client->send(text("def"), written.make());
    ASSERT_TRUE(written.fired.wait(kEventTimeout));
    client->cancel();
    // A round trip through the same I/O thread, begun after the above
    // arrived, makes sure the server's socket events were handled first.
    {
        DispatchQueue otherQueue("test.network.other");
        auto probeListener = listenOn("127.0.0.1", false, otherQueue);
        ASSERT_TRUE(probeListener);
        auto [probe, probeRecorder] = connectTo("127.0.0.1", probeListener->port());
        auto probeServer = nextAccepted();
        ASSERT_TRUE(probeServer);
        auto probeServerRecorder = Recorder::attach(*probeServer, 1);
        probeServer->start(otherQueue);
        probe->send(text("p"));
        ASSERT_TRUE(probeServerRecorder->reachedTarget.wait(kEventTimeout));
    }

    server->cancel();
    server->cancel();
    EXPECT_EQ(server->state(), ConnectionState::cancelled);
    gate->signal();
    ASSERT_TRUE(serverRecorder->waitState(ConnectionState::cancelled));
    serverQueue->sync([] {});

    EXPECT_EQ(serverRecorder->snapshot(),
              (std::vector<std::string>{"state:preparing", "state:ready", "data:3", "state:cancelled"}));
    EXPECT_EQ(serverRecorder->received(), text("abc"));
    bool handlersReleased = false;
    serverQueue->sync([&] { handlersReleased = !server->receiveHandler && !server->stateUpdateHandler; });
    EXPECT_TRUE(handlersReleased);

    Completions late;
    server->send(text("late"), late.make());
    ASSERT_TRUE(late.fired.wait(kEventTimeout));
    EXPECT_EQ(late.all(), std::vector<std::string>{"connection cancelled"});
}

TEST_F(NetworkTest, CancelReportsPendingSendsAsFailedAndFreesTheBacklog) {
    auto listener = listenOn("127.0.0.1");
    ASSERT_TRUE(listener);
    auto [client, clientRecorder] = connectTo("127.0.0.1", listener->port(), SIZE_MAX, 128 * 1024 * 1024);
    auto stalledPeer = nextAccepted();
    ASSERT_TRUE(stalledPeer);
    ASSERT_TRUE(clientRecorder->waitState(ConnectionState::ready));

    Completions completions;
    client->send(pattern(32 * 1024 * 1024, 5), completions.make());  // far beyond the socket buffers
    ASSERT_GT(client->unsentBytes(), 0u);
    client->cancel();
    EXPECT_EQ(client->unsentBytes(), 0u);
    ASSERT_TRUE(completions.fired.wait(kEventTimeout));
    EXPECT_EQ(completions.all(), std::vector<std::string>{"connection cancelled"});
    ASSERT_TRUE(clientRecorder->waitState(ConnectionState::cancelled));
    EXPECT_EQ(clientRecorder->countPrefix("state:cancelled"), 1u);
}

// A peer that never reads is sent only what its send budget allows, and
// the memory that holds its queued sends stays within that budget however
// small they are: a flood of tiny replies costs what it holds, not only its
// bytes. Every send is given back, and the budget reads zero, once the
// connection ends.
TEST_F(NetworkTest, SmallSendsToAPeerThatNeverReadsHoldNoMoreMemoryThanItsSendBudget) {
    auto listener = listenOn("127.0.0.1");
    ASSERT_TRUE(listener);
    auto [client, clientRecorder] = connectTo("127.0.0.1", listener->port(), SIZE_MAX, SIZE_MAX);
    auto stalledPeer = nextAccepted();
    ASSERT_TRUE(stalledPeer);
    ASSERT_TRUE(clientRecorder->waitState(ConnectionState::ready));
    auto peer = std::make_shared<WorkLedger>("peer", 1 << 20);
    client->setSendBudget(peer);
    // Fill the socket buffers first, so what follows stays queued.
    Completions fill;
    client->send(pattern(8 * 1024 * 1024, 3), fill.make());
    struct Told {
        std::atomic<size_t> count{0}, target{SIZE_MAX};
        DispatchSemaphore all;
        void one() {
            if (count.fetch_add(1) + 1 == target.load()) all.signal();
        }
    };
    auto told = std::make_shared<Told>();
    returnFreedMemory();
    const size_t before = residentBytes();
    size_t sent = 0;
    constexpr size_t kReply = 60;
    while (peer->hasRoomToSend(kReply)) {
        client->send(std::vector<uint8_t>(kReply, uint8_t(sent)), [told](const std::string&) { told->one(); });
        sent += 1;
    }
    [[maybe_unused]] const size_t held = residentBytes() - std::min(residentBytes(), before);
    EXPECT_LE(peer->sendingBytes(), WorkLedger::kMaxSendingBytes) << "what its room let through, with what each holds";
#if !NORVESSAL_SANITIZED_BUILD
    EXPECT_LE(held, WorkLedger::kMaxSendingBytes + (size_t{4} << 20))
        << sent << " sends of " << kReply << " bytes hold " << held / 1024 << " KiB";
#endif
    told->target = sent;
    if (told->count.load() == sent) told->all.signal();
    client->cancel();
    EXPECT_EQ(peer->sendingBytes(), 0u);
    EXPECT_TRUE(told->all.wait(kEventTimeout)) << told->count.load() << " of " << sent << " sends told";
}

TEST_F(NetworkTest, DroppingAConnectionSilencesItsQueuedDeliveries) {
    auto listener = listenOn("127.0.0.1");
    ASSERT_TRUE(listener);
    auto [client, clientRecorder] = connectTo("127.0.0.1", listener->port());
    auto server = nextAccepted();
    ASSERT_TRUE(server);
    server->start(*serverQueue);
    ASSERT_TRUE(clientRecorder->waitState(ConnectionState::ready));

    auto gate = holdQueue(*clientQueue);
    Completions completions;
    client->send(text("hello"), completions.make());  // written at once; its completion waits behind the gate
    std::weak_ptr<TcpConnection> weakClient = client;
    client.reset();
    // Nothing queued keeps it alive; the socket thread may hold it for the
    // instant it handles the write that just went out.
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(kEventTimeout);
    while (!weakClient.expired() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(weakClient.expired());
    gate->signal();
    clientQueue->sync([] {});
    EXPECT_TRUE(completions.all().empty());
}

// ---------------------------------------------------------------- failures

TEST_F(NetworkTest, ConnectToAClosedPortFails) {
    auto listener = listenOn("127.0.0.1");
    ASSERT_TRUE(listener);
    const uint16_t port = listener->port();
    listener->cancel();
    listener->cancel();

    auto [client, clientRecorder] = connectTo("127.0.0.1", port);
    ASSERT_TRUE(clientRecorder->waitState(ConnectionState::failed));
    EXPECT_EQ(client->state(), ConnectionState::failed);
    EXPECT_FALSE(clientRecorder->failure.empty());
    clientQueue->sync([] {});
    EXPECT_EQ(clientRecorder->countPrefix("complete:" + clientRecorder->failure), 1u);

    Completions completions;
    client->send(text("x"), completions.make());
    ASSERT_TRUE(completions.fired.wait(kEventTimeout));
    EXPECT_EQ(completions.all(), std::vector<std::string>{clientRecorder->failure});
    serverQueue->sync([] {});
    EXPECT_EQ(acceptedCount(), 0u);  // the cancelled listener handed nothing over
}

TEST_F(NetworkTest, ListenReportsBadAddressesAndBusyPorts) {
    auto bad = TcpListener::listen(0, TcpListenerOptions{false, "not-an-address"});
    ASSERT_FALSE(bad);
    EXPECT_NE(bad.error().find("not-an-address"), std::string::npos);

    auto first = TcpListener::listen(0, TcpListenerOptions{false, "127.0.0.1"});
    ASSERT_TRUE(first) << first.error();
    auto second = TcpListener::listen((*first)->port(), TcpListenerOptions{false, "127.0.0.1"});
    ASSERT_FALSE(second);
    EXPECT_NE(second.error().find(std::to_string((*first)->port())), std::string::npos);
}

TEST_F(NetworkTest, ConnectionAcceptedButNeverTakenIsClosed) {
    auto result = TcpListener::listen(0, TcpListenerOptions{false, "127.0.0.1"});
    ASSERT_TRUE(result);
    auto listener = *result;
    listeners.push_back(listener);
    listener->start(*serverQueue);  // no handler: nobody takes the connection

    auto [client, clientRecorder] = connectTo("127.0.0.1", listener->port());
    ASSERT_TRUE(clientRecorder->completed.wait(kEventTimeout));
    EXPECT_TRUE(clientRecorder->received().empty());
}

// ---------------------------------------------------------------- descriptor limit

namespace {

// A blocking client socket, connected by connectRaw (which needs no new
// descriptor, so it works at any limit).
int openRaw() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval timeout{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);  // a connect, too
    return fd;
}

int connectRaw(int fd, uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    return fd;
}

// True when the Host closed the connection without sending anything.
bool closedUnread(int fd) {
    char byte;
    const ssize_t n = ::recv(fd, &byte, 1, 0);
    return n == 0 || (n < 0 && errno == ECONNRESET);
}

void setDescriptorLimit(rlim_t soft) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = soft;
    setrlimit(RLIMIT_NOFILE, &limit);
}

// Runs in a child process: it lowers the descriptor limit of the process.
// Exits 0 when everything held; prints what did not otherwise.
[[noreturn]] void listenerAtTheDescriptorLimit() {
    auto runtime = VirtualRuntime::install();
    LogCapture log;
    DispatchQueue queue("test.network.limit");
    int failed = 0;
    auto check = [&](bool ok, const char* what) {
        if (!ok) std::fprintf(stderr, "FAILED: %s\n", what), failed++;
    };

    // An echo connection through the I/O thread: every round trip is a turn
    // of its loop, in which a listener still watched would be woken again.
    auto echo = *TcpListener::listen(0, TcpListenerOptions{false, "127.0.0.1"});
    std::shared_ptr<TcpConnection> echoServer;
    echo->newConnectionHandler = [&](std::shared_ptr<TcpConnection> c) {
        echoServer = c;
        c->receiveHandler = [weak = std::weak_ptr<TcpConnection>(c)](std::span<const uint8_t> data, bool, const std::string&) {
            if (auto self = weak.lock(); self && !data.empty()) self->send({data.begin(), data.end()});
        };
        c->start(queue);
    };
    echo->start(queue);
    auto ping = TcpConnection::connect("127.0.0.1", echo->port());
    size_t echoed = 0;
    ping->receiveHandler = [&](std::span<const uint8_t> data, bool, const std::string&) { echoed += data.size(); };
    ping->start(queue);
    auto roundTrips = [&](size_t count) {
        for (size_t i = 0; i < count; ++i) {
            const size_t before = echoed;
            ping->send({1});
            if (!runtime->runUntil([&] { return echoed > before; })) return false;
        }
        return true;
    };
    check(roundTrips(1), "echo works");

    auto listener = *TcpListener::listen(0, TcpListenerOptions{false, "127.0.0.1"});
    size_t handedOver = 0;
    listener->newConnectionHandler = [&](std::shared_ptr<TcpConnection>) { handedOver++; };
    std::vector<int> clients;
    for (int i = 0; i < 3; ++i) clients.push_back(connectRaw(openRaw(), listener->port()));

    // Every descriptor number below 64 in use, the I/O thread's spare among
    // them: each pending connection is accepted into the spare's place and
    // closed, and the spare taken back.
    rlimit original{};
    getrlimit(RLIMIT_NOFILE, &original);
    setDescriptorLimit(64);
    std::vector<int> fillers;
    for (int fd; (fd = ::dup(0)) >= 0;) fillers.push_back(fd);
    listener->start(queue);
    for (int fd : clients) check(closedUnread(fd), "a pending connection is shed");
    check(listener->takeAcceptFailures().count == 3, "three failures, one per shed connection");

    // Below every open descriptor the spare cannot come back: the listener
    // stops watching instead of failing in a loop.
    for (int i = 0; i < 2; ++i) ::close(fillers.back()), fillers.pop_back();
    clients = {openRaw(), openRaw()};
    setDescriptorLimit(3);
    for (int fd : clients) connectRaw(fd, listener->port());
    uint64_t failures = 0;
    for (int i = 0; i < 1000 && failures == 0; ++i) {
        roundTrips(1);
        failures += listener->takeAcceptFailures().count;
    }
    check(failures == 1, "the spare is lost once");
    check(roundTrips(50), "the loop keeps serving other sockets");
    check(listener->takeAcceptFailures().count == 0, "no accept while paused");
    for (const auto& line : log.lines()) check(line.find("accept") == std::string::npos, "no line per failure");

    // With descriptors to spare again, the pause ends on its own.
    setDescriptorLimit(original.rlim_cur);
    for (int fd : fillers) ::close(fd);
    runtime->advance(TcpListener::kRearmDelaySeconds);
    check(runtime->runUntil([&] { return handedOver == 2; }), "both wait and are then handed over");
    runtime->runUntilIdle();
    check(handedOver == 2, "nothing was handed over twice");
    std::fflush(stderr);
    std::_Exit(failed == 0 ? 0 : 1);
}

}  // namespace

TEST(ListenerAtTheDescriptorLimit, ShedsPendingConnectionsThenPausesWithoutSpinningOrLogging) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(listenerAtTheDescriptorLimit(), ::testing::ExitedWithCode(0), "");
}

// ---------------------------------------------------------------- a storm while the queue waits

// Clients that connect and close while the server queue's thread waits:
// the listener accepts a bounded number ahead of the queue, the rest wait
// in the kernel's backlog, and each one is handed over once the queue runs.
TEST_F(NetworkTest, AStormWhileTheQueueWaitsStaysInTheBacklogAndIsHandedOverAfter) {
    constexpr size_t kClients = 2000;
    auto listener = *TcpListener::listen(0, TcpListenerOptions{false, "127.0.0.1"});
    listeners.push_back(listener);
    std::atomic<size_t> handedOver{0};
    DispatchSemaphore allHandedOver;
    listener->newConnectionHandler = [&](std::shared_ptr<TcpConnection>) {
        if (++handedOver == kClients) allHandedOver.signal();
    };
    listener->start(*serverQueue);

    const size_t baseline = openDescriptors();
    auto gate = holdQueue(*serverQueue);
    for (size_t i = 0; i < kClients; ++i) ::close(connectRaw(openRaw(), listener->port()));
    // The accepts are the I/O thread's: watched for a fifth of a second.
    size_t most = 0;
    for (int slice = 0; slice < 20; ++slice) {
        const size_t open = openDescriptors();
        most = std::max(most, open - std::min(baseline, open));
        pollfd none{-1, 0, 0};
        ::poll(&none, 0, 10);
    }
    EXPECT_LE(most, TcpListener::kMaxWaitingToBeTaken + 2) << "descriptors held for the waiting queue";

    gate->signal();
    EXPECT_TRUE(allHandedOver.wait(kEventTimeout));
    EXPECT_EQ(handedOver.load(), kClients) << "each connected once";
    serverQueue->sync([] {});
    EXPECT_LE(openDescriptors(), baseline + 2) << "every one closed once taken";
}

// ---------------------------------------------------------------- shared buffers

TEST_F(NetworkTest, OneSharedBufferReachesEveryPeerWholeAndReportsOnlyFailures) {
    auto listener = listenOn("127.0.0.1");
    ASSERT_TRUE(listener);
    auto shared = std::make_shared<const std::vector<uint8_t>>(pattern(1024 * 1024, 7));
    std::vector<std::shared_ptr<TcpConnection>> senders, clients;
    std::vector<std::shared_ptr<Recorder>> recorders;
    for (int i = 0; i < 3; ++i) {
        auto [client, recorder] = connectTo("127.0.0.1", listener->port(), 2 * shared->size());
        senders.push_back(nextAccepted());
        ASSERT_TRUE(senders.back());
        senders.back()->start(*serverQueue);
        recorders.push_back(recorder);
        clients.push_back(client);
    }
    Completions successes, failures;
    for (auto& sender : senders) {
        sender->send(shared, successes.make(), TcpConnection::CompletionReport::failureOnly);
        sender->send(shared, successes.make(), TcpConnection::CompletionReport::always);
    }
    for (auto& recorder : recorders) ASSERT_TRUE(recorder->reachedTarget.wait(kEventTimeout));
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(successes.fired.wait(kEventTimeout));
    serverQueue->sync([] {});
    // Only the sends that asked to hear of success did; the buffer is whole.
    EXPECT_EQ(successes.all(), std::vector<std::string>(3, ""));
    for (auto& recorder : recorders) {
        auto received = recorder->received();
        ASSERT_EQ(received.size(), 2 * shared->size());
        EXPECT_TRUE(std::equal(shared->begin(), shared->end(), received.begin()));
    }
    // A failure is reported however the send asked.
    senders[0]->cancel();
    senders[0]->send(shared, failures.make(), TcpConnection::CompletionReport::failureOnly);
    ASSERT_TRUE(failures.fired.wait(kEventTimeout));
    EXPECT_EQ(failures.all(), std::vector<std::string>{"connection cancelled"});
    EXPECT_EQ(shared.use_count(), 1);
}

namespace {
TEST_F(NetworkTest, AClientAskedToWaitReportsARefusedConnectAsWaitingUntilCancelled) {
    auto listener = listenOn("127.0.0.1");
    ASSERT_TRUE(listener);
    const uint16_t port = listener->port();
    listener->cancel();

    auto client = TcpConnection::connect("127.0.0.1", port);
    client->setWaitsWhenUnreachable(true);
    auto recorder = Recorder::attach(*client, SIZE_MAX);
    client->start(*clientQueue);
    ASSERT_TRUE(recorder->waitState(ConnectionState::waiting));
    EXPECT_EQ(recorder->failure, std::strerror(ECONNREFUSED));
    clientQueue->sync([] {});
    EXPECT_EQ(client->state(), ConnectionState::waiting) << "it stays waiting";
    client->cancel();
    ASSERT_TRUE(recorder->waitState(ConnectionState::cancelled));
}
}  // namespace
