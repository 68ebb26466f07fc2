// Whatever road a Viewer's packets take, the work they leave on other
// queues is its peer's: bounded, paid back before more of its packets are
// served, never at another peer's cost, and dropped when it leaves.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>

#include "AuxServerTestFixture.h"
#include "HostApp/AuxServer/AuxAdmission.h"
#include "Platform/Runtime/Dispatch.h"
#include "Platform/Runtime/WorkLedger.h"

using platform::UUID;

namespace {

class PeerLedger : public AuxServerTest {
protected:
    std::unique_ptr<AuxTestClient> audioFrom(const std::string& address, const std::string& name) {
        auto client = std::make_unique<AuxTestClient>(runtime, server->boundAudioPort(), 0x01, address);
        EXPECT_TRUE(client->waitConnected() && client->logIn(consoleUser, password, name));
        return client;
    }
    // A file-transfer packet over the control connection, handed on at
    // once: the sender's name travels as its path.
    static std::vector<uint8_t> packetFrom(const std::string& sender) {
        return FileTransferPacket{FileTransferOp::listDirReply, UUID::random(), 0, 0, sender, {}}.encode();
    }
};

// A road nobody named: each packet leaves one job on a queue that does not
// move. Past its peer's budget the flooder's packets wait in its
// socket; another peer is served meanwhile; once the work returns the rest
// is served, nothing lost; and what is still waiting when the flooder
// leaves is dropped.
TEST_F(PeerLedger, WorkAPeersPacketsLeaveOnAnyQueueIsBoundedPerPeerAndDroppedWhenItLeaves) {
    platform::DispatchQueue stuck("test.viewer-work");
    stuck.setDropsWorkOfGonePeers(true);
    stuck.suspend();
    std::map<std::string, int> received;
    std::map<std::string, int> ran;
    server->queue.sync([&] {
        server->onFileTransferPacket = [&](FileTransferPacket packet, const UUID&) {
            received[packet.path]++;
            stuck.async([&ran, sender = packet.path] { ran[sender]++; });
        };
    });
    auto flooder = audioFrom("127.0.0.2", "Flooder");
    auto other = audioFrom("127.0.0.3", "Other");
    constexpr int kSent = 3 * static_cast<int>(platform::WorkLedger::kDefaultMaxJobs);
    auto receivedFrom = [&](const std::string& sender) {
        return server->queue.syncValue([&] { return received[sender]; });
    };
    // A few first, so that the budget runs out in the middle of a turn.
    constexpr int kFirst = 10;
    for (int i = 0; i < kFirst; ++i) flooder->send(AuxPacketType::fileTransferPacket, packetFrom("flooder"));
    flooder->settle();
    for (int i = kFirst; i < kSent; ++i) flooder->send(AuxPacketType::fileTransferPacket, packetFrom("flooder"));
    flooder->flush();
    constexpr int kBudget = static_cast<int>(platform::WorkLedger::kDefaultMaxJobs);
    ASSERT_TRUE(runUntil([&] { return receivedFrom("flooder") >= kBudget; }));
    for (int i = 0; i < 4; ++i) {
        advance(0.5);
        runUntilIdle();
    }
    EXPECT_EQ(receivedFrom("flooder"), kBudget) << "served past its budget";

    other->send(AuxPacketType::fileTransferPacket, packetFrom("other"));
    other->settle();
    EXPECT_EQ(receivedFrom("other"), 1) << "another peer is not held";

    // The work returns: the rest of the flood is served, in budget-sized
    // steps, and nothing was lost.
    stuck.resume();
    ASSERT_TRUE(runUntil([&] { return receivedFrom("flooder") == kSent; }));
    runUntilIdle();
    EXPECT_EQ(ran["flooder"], kSent);

    // Stuck again, and the flooder leaves with work waiting: it is dropped.
    stuck.suspend();
    for (int i = 0; i < 10; ++i) flooder->send(AuxPacketType::fileTransferPacket, packetFrom("flooder"));
    flooder->settle();
    ASSERT_EQ(receivedFrom("flooder"), kSent + 10);
    const auto id = server->queue.syncValue([&] {
        for (const auto& [session, address] : server->viewerSessionRemoteAddresses)
            if (address == "127.0.0.2") return session;
        return UUID();
    });
    flooder.reset();
    ASSERT_TRUE(runUntil([&] { return server->sessionReleaseCountForTesting(id) == 1; }));
    stuck.resume();
    runUntilIdle();
    EXPECT_EQ(ran["flooder"], kSent) << "the gone peer's waiting work was dropped";
    EXPECT_EQ(ran["other"], 1);
}

// What was read for a peer and waits for its connections' turns is its
// budget's too: however many connections it floods on, the Host holds no
// more of its packets than the budget (and one read) before it serves them,
// and serves them all in the end.
TEST_F(PeerLedger, PacketsWaitingForTheirTurnsAreHeldWithinThePeersBudget) {
    int received = 0;
    server->queue.sync([&] { server->onFileTransferPacket = [&](FileTransferPacket, const UUID&) { ++received; }; });
    std::vector<std::unique_ptr<AuxTestClient>> flooders;
    flooders.push_back(audioFrom("127.0.0.2", "Flooder"));
    flooders.push_back(audioFrom("127.0.0.2", "Flooder"));
    const auto ledger = server->queue.syncValue([&] {
        return server->ledgerOfSession(*server->authorizedAudioSessions.begin());
    });
    expectHeldWithinThePeersBudgetThenServed(
        ledger,
        [&](int i, std::vector<uint8_t> bytes) {
            flooders[size_t(i)]->sendRaw(std::move(bytes));
            flooders[size_t(i)]->flush();
        },
        [](size_t dataBytes) {
            const FileTransferPacket packet{FileTransferOp::listDirReply, UUID::random(), 0, 0, "flooder",
                                            std::vector<uint8_t>(dataBytes, 'x')};
            return makeAuxPacket(AuxPacketType::fileTransferPacket, 0, packet.encode(), 0);
        },
        [&] { return server->bytesWaitingToBeServedForTesting("127.0.0.2"); }, [&] { return received; });
}

// Logged-in connections are watched for a peer that vanished without a
// word, so its places under the caps come back within about 30 s.
TEST_F(PeerLedger, LoggedInConnectionsAreWatchedForAVanishedPeer) {
    auto viewer = audioFrom("127.0.0.2", "Viewer");
    const auto connection = server->queue.syncValue([&] { return server->audioSessions.begin()->second; });
    const int fd = connection->fileDescriptorForTesting();
    ASSERT_GE(fd, 0);
    auto option = [&](int level, int name) {
        int value = 0;
        socklen_t length = sizeof value;
        EXPECT_EQ(getsockopt(fd, level, name, &value, &length), 0);
        return value;
    };
    EXPECT_EQ(option(SOL_SOCKET, SO_KEEPALIVE), 1);
    const int idle = option(IPPROTO_TCP, TCP_KEEPIDLE);
    const int interval = option(IPPROTO_TCP, TCP_KEEPINTVL);
    const int probes = option(IPPROTO_TCP, TCP_KEEPCNT);
    EXPECT_LE(idle + interval * probes, 30);
    EXPECT_LE(option(IPPROTO_TCP, TCP_USER_TIMEOUT), 30'000);
}

}  // namespace
