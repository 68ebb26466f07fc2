#pragma once
// A started server on ephemeral loopback ports, in virtual time, with an
// in-memory directory that knows the console user.

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "Support/AuxTestClient.h"
#include "Support/RecordingRegistration.h"
#include "HostApp/AuxServer/AuxAdmission.h"
#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "Platform/Security/Directory.h"
#include "Platform/SimulatedMac/EventPosting.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"
#include "Support/TestSupport.h"

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

    // A peer's flood, already sent: while virtual time stands still (past
    // the allowance's burst its turns wait), what `waiting` reads of it never
    // passes the peer's budget and one read; once time moves, all `sent`
    // are served. `served` is read on the server queue.
    void expectHeldWithinThePeersBudgetThenServed(const std::function<size_t()>& waiting,
                                                  const std::function<int()>& served, int sent) {
        size_t mostWaiting = 0;
        for (int i = 0; i < 50; ++i) {
            runUntilIdle();
            mostWaiting = std::max(mostWaiting, server->queue.syncValue(waiting));
        }
        EXPECT_GT(mostWaiting, 0u) << "nothing ever waited: the case tests nothing";
        EXPECT_LE(mostWaiting, AuxAdmission::workBudgetBytesPerPeer + 256 * 1024);
        ASSERT_TRUE(runUntil([&] {
            advance(0.05);
            return server->queue.syncValue(served) == sent;
        })) << server->queue.syncValue(served) << " of " << sent;
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
