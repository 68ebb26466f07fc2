#pragma once
// A started server on ephemeral loopback ports, in virtual time, with an
// in-memory directory that knows the console user.

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "Support/AuxTestClient.h"
#include "Support/RecordingRegistration.h"
#include "HostApp/AuxServer/AuxAdmission.h"
#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "Platform/Runtime/Clock.h"
#include "Platform/Security/Directory.h"
#include "Platform/SimulatedMac/EventPosting.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"
#include "Support/TestSupport.h"

// Answers "right..." passwords as valid and others as invalid, after
// `delaySeconds` of virtual time (and `failDelaySeconds` more for a wrong
// one, as a PAM module's fail delay), and records when each check ran.
class ScriptedDirectory : public platform::Directory {
public:
    struct Check {
        std::string password;
        double start, end;
    };
    platform::CredentialCheck verify(const std::string&, const std::string& password) override {
        const double start = platform::Clock::uptimeSeconds();
        if (gate) gate();
        const bool right = password.rfind("right", 0) == 0;
        platform::sleepFor(delaySeconds + (right ? 0 : failDelaySeconds));
        std::lock_guard lock(mutex);
        checks.push_back({password, start, platform::Clock::uptimeSeconds()});
        return right ? platform::CredentialCheck::valid : platform::CredentialCheck::invalid;
    }
    std::vector<Check> snapshot() {
        std::lock_guard lock(mutex);
        return checks;
    }
    double delaySeconds = 0;
    double failDelaySeconds = 0;
    std::function<void()> gate;  // runs before the delay

private:
    std::mutex mutex;
    std::vector<Check> checks;
};

class AuxServerTest : public platform::testing::VirtualTimeTest {
protected:
    static constexpr const char* password = "correct horse battery";

    std::shared_ptr<RecordingRegistration> registration = std::make_shared<RecordingRegistration>();
    // What the advertisement sees of the machine's interfaces.
    BonjourAdvertiser::Routes routes{{{"lan", "eth0", "192.0.2.10"}}, {"02:00:00:00:00:01"}};

    void SetUp() override {
        VirtualTimeTest::SetUp();
        consoleUser = platform::SimulatedMachine::current().consoleSession().userName;
        directory = std::make_shared<platform::InMemoryDirectory>();
        directory->setUser(consoleUser, password);
        startServer();
    }

    void TearDown() override {
        if (server) server->stopForTermination();
        server.reset();
        VirtualTimeTest::TearDown();
    }

    // Until the hold of the change applied last has ended, and the next
    // waiting, if any, is applied: a change that rebuilt the stream holds
    // from when it flows again.
    void advanceThroughTheHold() {
        auto pacer = [&](auto ask) { return server->queue.syncValue([&] { return ask(server->streamControl.changePacer); }); };
        const uint64_t applied = pacer([](const StreamChangePacer& p) { return p.appliedCount(); });
        for (double waited = 0; waited < StreamChangePacer::longestHoldSeconds; waited += 0.05) {
            if (pacer([&](const StreamChangePacer& p) {
                    return p.appliedCount() != applied || (p.pendingCount() == 0 && !p.holding());
                }))
                return;
            advance(0.05);
        }
        ADD_FAILURE() << "a hold longer than the longest there is";
    }

    virtual void startServer(V230HostAudioAuxServerConfiguration configuration = {}) {
        configuration.audioPort = 0;
        configuration.videoPort = 0;
        configuration.filePort = 0;
        configuration.bindAddress = bindAddress;
        if (!configuration.directory) configuration.directory = directory;
        configuration.countSessionReleasesForTesting = true;
        if (!configuration.dnsRegistration) configuration.dnsRegistration = registration;
        if (!configuration.routeRecordSource)
            configuration.routeRecordSource = [this] { return routes; };
        server = std::make_shared<V230HostAudioAuxServer>(configuration);
        server->start();
    }

    // Waits (in real time, for the socket thread) until `count` more work
    // items than `before` wait on the runtime, without running any.
    bool waitForPostedWork(size_t before, size_t count) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (runtime->pendingCount() < before + count) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::yield();
        }
        return true;
    }

    std::unique_ptr<AuxTestClient> audioClient(const std::string& from = {}) {
        auto c = std::make_unique<AuxTestClient>(runtime, server->boundAudioPort(), 0x01, from);
        EXPECT_TRUE(c->waitConnected());
        return c;
    }
    std::unique_ptr<AuxTestClient> videoClient() {
        auto c = std::make_unique<AuxTestClient>(runtime, server->boundVideoPort(), 0x02);
        EXPECT_TRUE(c->waitConnected());
        return c;
    }

    // Runs the runtime until the server lists this many sessions on the channel.
    bool waitForSessions(size_t audio, size_t video) {
        return runUntil([&] {
            return server->queue.syncValue(
                [&] { return server->audioSessions.size() == audio && server->videoSessions.size() == video; });
        });
    }

    // A peer's flood on two of its connections, and what the Host holds of
    // it while virtual time stands still (past the burst of turns a peer
    // may take at once, its turns wait): what `waiting` reads never passes
    // the peer's budget and one read; once time moves, every packet is
    // served. `send(i, bytes)` sends on the peer's connection i (0 or 1);
    // `packet(n)` is one framed packet carrying n bytes of data; `waiting`
    // and `served` are read on the server queue.
    //
    // In two steps, each run once the socket thread has read all it may, so
    // that what the Host holds does not depend on how that thread keeps pace
    // with the test: the first connection sends more than the budget, in
    // packets enough to use up the burst, and its turns run until they
    // wait; then the second sends, and its first turn runs. Bytes waiting
    // for their turns that had left the peer's budget would let the second
    // connection read most of a budget of its own. Only the packets that use
    // up the burst are small: the rest are large, as bytes are what is
    // bounded, and large packets cost the server little to serve.
    void expectHeldWithinThePeersBudgetThenServed(const std::shared_ptr<platform::WorkLedger>& ledger,
                                                  const std::function<void(int, std::vector<uint8_t>)>& send,
                                                  const std::function<std::vector<uint8_t>(size_t)>& packet,
                                                  const std::function<size_t()>& waiting,
                                                  const std::function<int()>& served) {
        ASSERT_TRUE(ledger);
        const size_t budget = ledger->limit();
        int sent = 0;
        auto flood = [&](size_t smallPackets, size_t largeBytes) {
            std::vector<uint8_t> bytes;
            const auto small = packet(0), large = packet(64 * 1024);
            for (size_t i = 0; i < smallPackets; ++i) bytes.insert(bytes.end(), small.begin(), small.end());
            for (size_t at = 0; at < largeBytes; at += large.size()) bytes.insert(bytes.end(), large.begin(), large.end());
            sent += static_cast<int>(smallPackets + (largeBytes + large.size() - 1) / large.size());
            return bytes;
        };
        // Read as far as the peer's budget lets it, or all of it, while the
        // server queue holds what was read.
        auto readAllItMay = [&](size_t target, const std::function<void()>& sendIt) {
            server->queue.suspend();
            sendIt();
            EXPECT_TRUE(runUntil([&] { return ledger->bytesInUse() >= std::min(budget, target); }, 30))
                << ledger->bytesInUse() << " bytes read of " << std::min(budget, target);
            server->queue.resume();
        };
        size_t mostWaiting = 0;
        auto serveTheTurnsDue = [&] {
            runUntilIdle();
            mostWaiting = std::max(mostWaiting, server->queue.syncValue(waiting));
        };
        const size_t burstPackets = (static_cast<size_t>(V230HostAudioAuxServer::kFullTurnsPerSecond) + 2) *
                                    platform::ReceiveTurns::kPacketsPerTurn;
        readAllItMay(budget, [&] { send(0, flood(burstPackets * 5 / 4, budget)); });
        serveTheTurnsDue();
        auto second = flood(2 * platform::ReceiveTurns::kPacketsPerTurn, budget * 3 / 4);
        readAllItMay(ledger->bytesInUse() + second.size(), [&] { send(1, std::move(second)); });
        serveTheTurnsDue();
        EXPECT_GT(mostWaiting, 0u) << "nothing ever waited: the case tests nothing";
        EXPECT_LE(mostWaiting, budget + 256 * 1024);
        ASSERT_TRUE(runUntil(
            [&] {
                advance(0.05);
                return server->queue.syncValue(served) == sent;
            },
            60))
            << server->queue.syncValue(served) << " of " << sent;
    }

    size_t logCount(const std::string& text) const { return log->count(text); }
    // Every event the Host posted on the simulated machine, in order.
    static std::vector<platform::PostedEvent> postedEvents() {
        return platform::SimulatedMachine::current().component<platform::SimulatedEventTap>().events();
    }

    // Where the server listens; a test of other addresses sets it in its
    // constructor.
    std::string bindAddress = "127.0.0.1";
    std::string consoleUser;
    std::shared_ptr<platform::InMemoryDirectory> directory;
    std::shared_ptr<V230HostAudioAuxServer> server;
};
