// Whatever road a Viewer's packets take, the work they leave on other
// queues is its peer's: bounded, paid back before more of its packets are
// served, never at another peer's cost, and dropped when it leaves.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <map>

#include "AuxServerTestFixture.h"
#include "HostApp/AuxServer/AuxAdmission.h"
#include "HostApp/Protocol/FileTransferEndpointPayload.h"
#include "HostApp/Protocol/InputControlPayloads.h"
#include "VelantrixProfiles/FileTransfer/FileTransferChannelConnection.h"
#include "Platform/Network/Network.h"
#include "Platform/Runtime/Clock.h"
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
    static std::vector<uint8_t> packetFrom(const std::string& sender, size_t dataBytes = 0) {
        return FileTransferPacket{FileTransferOp::listDirReply, UUID::random(), 0, 0, sender,
                                  std::vector<uint8_t>(dataBytes, 0x5A)}
            .encode();
    }
    // A logged-in session of the peer at `address` on the channel, and its
    // peer's ledger.
    UUID sessionFrom(const std::string& address, AuxChannel channel = AuxChannel::audio) {
        return server->queue.syncValue([&] {
            const auto& authorized =
                channel == AuxChannel::audio ? server->authorizedAudioSessions : server->authorizedVideoSessions;
            for (const auto& [session, from] : server->viewerSessionRemoteAddresses)
                if (from == address && authorized.count(session)) return session;
            return UUID();
        });
    }
    std::shared_ptr<platform::WorkLedger> ledgerOf(const std::string& address) {
        const UUID session = sessionFrom(address);
        return server->queue.syncValue([&] { return server->ledgerOfSession(session); });
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

    // Stuck again, and the flooder leaves while it is past its budget, the
    // rest of its flood unread: it is seen leaving all the same, and
    // everything on its account ends.
    stuck.suspend();
    for (int i = 0; i < kSent; ++i) flooder->send(AuxPacketType::fileTransferPacket, packetFrom("flooder"));
    flooder->flush();
    ASSERT_TRUE(runUntil([&] { return receivedFrom("flooder") >= kSent + kBudget; }));
    const auto id = sessionFrom("127.0.0.2");
    const auto ledger = ledgerOf("127.0.0.2");
    ASSERT_TRUE(ledger && ledger->overBudget());
    flooder.reset();
    ASSERT_TRUE(runUntil([&] { return server->sessionReleaseCountForTesting(id) == 1; }))
        << "a peer that leaves past its budget is seen leaving";
    EXPECT_TRUE(ledger->isCancelled());
    stuck.resume();
    runUntilIdle();
    EXPECT_EQ(ran["flooder"], kSent) << "the gone peer's waiting work was dropped";
    EXPECT_EQ(ran["other"], 1);
    EXPECT_EQ(ledger->jobsInUse(), 0u);
    EXPECT_EQ(ledger->bytesInUse(), 0u);
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

// A packet larger than the peer's budget still arrives, but one per peer
// at a time however many connections it starts them on: the others wait
// within the budget, their connections unread, and each arrives once the
// one before it was served. One that stops arriving ends its connection
// after the bound and gives its place back.
TEST_F(PeerLedger, APacketLargerThanTheBudgetArrivesOnePerPeerAtATime) {
    int received = 0;
    server->queue.sync([&] { server->onFileTransferPacket = [&](FileTransferPacket, const UUID&) { ++received; }; });
    std::vector<std::unique_ptr<AuxTestClient>> senders;
    for (size_t i = 0; i < AuxAdmission::maxLoggedInPerSource; ++i) senders.push_back(audioFrom("127.0.0.2", "Sender"));
    const auto ledger = ledgerOf("127.0.0.2");
    ASSERT_TRUE(ledger);
    // Each connection starts a packet a MiB larger than the budget and
    // sends all of it but its last half MiB.
    constexpr size_t kBudget = AuxAdmission::workBudgetBytesPerPeer;
    const auto packet =
        makeAuxPacket(AuxPacketType::fileTransferPacket, 0, packetFrom("sender", kBudget + (1 << 20)), 0);
    const auto cut = static_cast<std::ptrdiff_t>(packet.size() - (512 << 10));
    for (auto& sender : senders) {
        sender->sendRaw({packet.begin(), packet.begin() + cut});
        sender->flush();
    }
    // One packet, the budget, and what each connection may read past it.
    const size_t bound = packet.size() + kBudget + senders.size() * AuxAdmission::readAheadPastBudgetBytes;
    size_t mostWaiting = 0, mostCharged = 0;
    runUntil(
        [&] {
            mostWaiting = std::max(mostWaiting, server->queue.syncValue([&] {
                return server->bytesWaitingToBeServedForTesting("127.0.0.2");
            }));
            mostCharged = std::max(mostCharged, ledger->bytesInUse());
            return mostWaiting > bound;
        },
        3);
    EXPECT_GE(mostWaiting, static_cast<size_t>(cut)) << "a packet larger than the budget arrives";
    EXPECT_LE(mostWaiting, bound) << "the Host holds one such packet of a peer, not one per connection";
    EXPECT_GE(mostCharged + (256 << 10), mostWaiting) << "what it holds is on the peer's account";

    // The rest goes: every packet arrives, one after another.
    for (auto& sender : senders) {
        sender->sendRaw({packet.begin() + cut, packet.end()});
        sender->flush();
    }
    ASSERT_TRUE(runUntil([&] {
        advance(0.05);
        return server->queue.syncValue([&] { return received; }) == static_cast<int>(senders.size());
    })) << server->queue.syncValue([&] { return received; }) << " of " << senders.size();
    EXPECT_TRUE(runUntil([&] { return ledger->bytesInUse() == 0; })) << ledger->bytesInUse() << " bytes on the account";

    // One that stops arriving ends its connection after the bound.
    senders[0]->sendRaw({packet.begin(), packet.begin() + (1 << 20)});
    senders[0]->flush();
    ASSERT_TRUE(runUntil([&] { return ledger->arrivingBytes() >= (1u << 20); }));
    // What arrived covers the least rate for a while past the grace.
    const double covered = static_cast<double>(1 << 20) / platform::ReceiveTurns::kLeastArrivalBytesPerSecond;
    advance(platform::ReceiveTurns::kArrivalGraceSeconds + covered - 1);
    EXPECT_FALSE(senders[0]->isClosed());
    advance(2);
    EXPECT_TRUE(senders[0]->waitClosed()) << "a packet that stopped arriving ends its connection";
    EXPECT_TRUE(runUntil([&] { return ledger->arrivingBytes() == 0; })) << "and gives its place back";
    EXPECT_EQ(logCount("(a packet still arriving came slower than 256 KiB/s after its first 30 s)"), 1u);
}

// However many peers each hold a packet larger than their budget, what
// they hold together stays within the Host's total; a Viewer from another
// machine still logs in within a second and is served meanwhile; and once
// the senders go on, every packet arrives, nothing refused, and the total
// reads zero.
TEST_F(PeerLedger, PeersHoldingLargePacketsStayWithinTheHostTotalAndANewcomerIsStillServed) {
    constexpr size_t kTotal = size_t{24} << 20;
    server->stopForTermination();
    V230HostAudioAuxServerConfiguration configuration;
    configuration.hostByteTotalBytes = kTotal;
    startServer(configuration);
    std::map<std::string, int> received;
    server->queue.sync([&] {
        server->onFileTransferPacket = [&](FileTransferPacket packet, const UUID&) { ++received[packet.path]; };
    });
    auto receivedFrom = [&](const std::string& sender) {
        return server->queue.syncValue([&] { return received[sender]; });
    };
    // Four peers, six connections each: apart, each could hold a packet,
    // its budget and what its connections read past it, twice the total
    // between them.
    const std::vector<std::string> peers = {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"};
    std::vector<std::unique_ptr<AuxTestClient>> senders;
    for (const auto& peer : peers)
        for (size_t i = 0; i < AuxAdmission::maxLoggedInPerSource; ++i) senders.push_back(audioFrom(peer, "Sender"));
    std::vector<std::shared_ptr<platform::WorkLedger>> ledgers;
    for (const auto& peer : peers) ledgers.push_back(ledgerOf(peer));
    ASSERT_TRUE(ledgers[0] && ledgers[0]->total());
    const auto total = ledgers[0]->total();
    ASSERT_EQ(total->limit(), kTotal);
    const auto packet = makeAuxPacket(AuxPacketType::fileTransferPacket, 0,
                                      packetFrom("sender", AuxAdmission::workBudgetBytesPerPeer + (1 << 20)), 0);
    const auto cut = static_cast<std::ptrdiff_t>(packet.size() - (512 << 10));
    for (auto& sender : senders) {
        sender->sendRaw({packet.begin(), packet.begin() + cut});
        sender->flush();
    }
    size_t mostBuffered = 0, mostCharged = 0;
    auto look = [&] {
        const size_t buffered = server->queue.syncValue([&] {
            size_t sum = 0;
            for (const auto& peer : peers) sum += server->bytesWaitingToBeServedForTesting(peer);
            return sum;
        });
        mostBuffered = std::max(mostBuffered, buffered);
        mostCharged = std::max(mostCharged, total->bytesInUse());
        return mostBuffered > kTotal || mostCharged > kTotal;
    };
    runUntil(look, 3);
    EXPECT_GE(mostBuffered, kTotal / 2) << "the peers filled what they may";
    EXPECT_LE(mostBuffered, kTotal) << "the Host holds its total, not every peer's bound";
    EXPECT_LE(mostCharged, kTotal);
    size_t onTheLedgers = 0;
    for (const auto& ledger : ledgers) onTheLedgers += ledger->bytesInUse() + ledger->sendingBytes();
    EXPECT_LE(onTheLedgers, total->bytesInUse()) << "what the accounts hold is on the total";

    // A Viewer of another machine, meanwhile.
    const uint64_t startNs = platform::Clock::uptimeNs();
    auto newcomer = audioFrom("127.0.0.9", "Newcomer");
    EXPECT_LE(double(platform::Clock::uptimeNs() - startNs) / 1e9, 1.0) << "it logs in within a second";
    newcomer->send(AuxPacketType::fileTransferPacket, packetFrom("newcomer", 1024));
    newcomer->flush();
    EXPECT_TRUE(runUntil([&] { return receivedFrom("newcomer") == 1; })) << "and is served";
    EXPECT_LE(double(platform::Clock::uptimeNs() - startNs) / 1e9, 1.0);

    // The rest goes: every packet arrives, none refused.
    for (auto& sender : senders) {
        sender->sendRaw({packet.begin() + cut, packet.end()});
        sender->flush();
    }
    ASSERT_TRUE(runUntil([&] {
        advance(0.05);
        look();
        return receivedFrom("sender") == static_cast<int>(senders.size());
    })) << receivedFrom("sender") << " of " << senders.size() << [&] {
        std::string t = " total " + std::to_string(total->bytesInUse()) + " part " + std::to_string(total->part());
        for (size_t i = 0; i < ledgers.size(); ++i)
            t += "; " + peers[i] + " " + std::to_string(ledgers[i]->bytesInUse()) + " arriving " +
                 std::to_string(ledgers[i]->arrivingBytes()) + " machine " + std::to_string(total->bytesOf(peers[i]));
        return t;
    }();
    EXPECT_LE(mostBuffered, kTotal);
    EXPECT_LE(mostCharged, kTotal);
    for (const auto& sender : senders) EXPECT_FALSE(sender->isClosed());
    EXPECT_TRUE(runUntil([&] { return total->bytesInUse() == 0; })) << total->bytesInUse() << " bytes on the total";
}

// Where a packet's header arrives in pieces, on either carrier, the account
// still learns its whole size from the whole header: every byte the Host
// buffers is on the peer's account, whatever the split (at every byte of
// the header, and a byte a read), and all of it goes back once served.
TEST_F(PeerLedger, APacketWhoseHeaderArrivesInPiecesIsChargedWholeOnEveryCarrier) {
    int served = 0;
    server->queue.sync([&] {
        server->onFileTransferPacket = [&](FileTransferPacket, const UUID&) { ++served; };
        server->onFileTransferIncomingPacket = [&](FileTransferPacket, const UUID&) { ++served; };
    });
    auto servedNow = [&] { return server->queue.syncValue([&] { return served; }); };
    auto viewer = audioFrom("127.0.0.2", "Viewer");
    const auto announced = viewer->waitForPacket(AuxPacketType::fileTransferEndpoint);
    ASSERT_TRUE(announced);
    const auto endpoint = *FileTransferEndpointPayload::decode(announced->payload);
    const UUID session = sessionFrom("127.0.0.2");
    const auto ledger = ledgerOf("127.0.0.2");
    ASSERT_TRUE(ledger);
    // The Viewer's data channel, from the same peer.
    auto channel = platform::TcpConnection::connect("127.0.0.1", endpoint.port, "127.0.0.2");
    channel->start(platform::DispatchQueue("test.data-channel"));
    channel->send(FileTransferChannelConnection::encodeFrame(endpoint.token));
    ASSERT_TRUE(runUntil([&] { return logCount("file aux: channel authorized") == 1; }));

    struct Carrier {
        const char* name;
        size_t headerBytes;
        std::vector<uint8_t> packet;
        std::function<void(std::vector<uint8_t>)> send;
        // What the Host buffers of it now.
        std::function<size_t()> held;
    };
    const auto payload = packetFrom("split", 64 << 10);
    const std::vector<Carrier> carriers{
        {"control connection", AuxPacketHeader::size,
         makeAuxPacket(AuxPacketType::fileTransferPacket, 0, payload, 0),
         [&](std::vector<uint8_t> bytes) {
             viewer->sendRaw(std::move(bytes));
             viewer->flush();
         },
         [&] { return server->queue.syncValue([&] { return server->bytesWaitingToBeServedForTesting("127.0.0.2"); }); }},
        {"data channel", FileTransferChannelConstants::headerSize, FileTransferChannelConnection::encodeFrame(payload),
         [&](std::vector<uint8_t> bytes) { channel->send(std::move(bytes)); },
         [&] {
             return server->queue.syncValue([&] {
                 auto found = server->fileTransferChannels.find(session);
                 return found == server->fileTransferChannels.end() ? size_t{0}
                                                                   : found->second->bufferedBytesForTesting();
             });
         }},
    };
    for (const auto& carrier : carriers) {
        const auto& packet = carrier.packet;
        // Each split of the header in two reads, then a byte a read.
        for (size_t split = 1; split <= carrier.headerBytes; ++split) {
            const bool bytewise = split == carrier.headerBytes;
            SCOPED_TRACE(std::string(carrier.name) + (bytewise ? ", a byte a read" : ", split after byte " +
                                                                                          std::to_string(split)));
            std::vector<size_t> cuts;
            for (size_t at = bytewise ? 1 : split; at < carrier.headerBytes; at += bytewise ? 1 : carrier.headerBytes)
                cuts.push_back(at);
            size_t sent = 0;
            for (size_t cut : cuts) {
                carrier.send({packet.begin() + std::ptrdiff_t(sent), packet.begin() + std::ptrdiff_t(cut)});
                sent = cut;
                ASSERT_TRUE(runUntil([&] { return carrier.held() == sent; }));
                EXPECT_EQ(ledger->bytesInUse(), sent) << "a header in pieces is charged as read";
            }
            // All of it but its last byte.
            carrier.send({packet.begin() + std::ptrdiff_t(sent), packet.end() - 1});
            ASSERT_TRUE(runUntil([&] { return carrier.held() == packet.size() - 1; }));
            EXPECT_GE(ledger->bytesInUse(), packet.size() - 1) << "what the Host holds is on the account";
            EXPECT_EQ(ledger->arrivingBytes(), packet.size() - 1) << "as the packet still arriving it is";
            const int before = servedNow();
            carrier.send({packet.end() - 1, packet.end()});
            ASSERT_TRUE(runUntil([&] { return servedNow() == before + 1; }));
            EXPECT_TRUE(runUntil([&] { return ledger->bytesInUse() == 0; })) << ledger->bytesInUse();
        }
    }
}

// A packet that holds the peer's place has a bound on its whole arrival,
// not on the gap between two of its bytes: one trickled a byte at a time,
// each well within any gap a stall rule would allow, ends its connection
// within its bound and gives the place back, whose next packet then
// arrives.
TEST_F(PeerLedger, APacketTrickledAByteAtATimeEndsWithinItsWholeArrivalBound) {
    auto trickler = audioFrom("127.0.0.2", "Trickler");
    auto next = audioFrom("127.0.0.2", "Next");
    const auto ledger = ledgerOf("127.0.0.2");
    ASSERT_TRUE(ledger);
    const auto packet = makeAuxPacket(AuxPacketType::fileTransferPacket, 0,
                                      packetFrom("trickle", AuxAdmission::workBudgetBytesPerPeer + (1 << 20)), 0);
    const double bound = platform::ReceiveTurns::arrivalBoundSeconds(packet.size());
    // Its header in two reads, then the first MiB at once.
    trickler->sendRaw({packet.begin(), packet.begin() + 10});
    trickler->flush();
    ASSERT_TRUE(runUntil([&] { return ledger->bytesInUse() == 10; }));
    trickler->sendRaw({packet.begin() + 10, packet.begin() + (1 << 20)});
    trickler->flush();
    ASSERT_TRUE(runUntil([&] { return ledger->arrivingBytes() == size_t{1} << 20; }));
    const uint64_t startNs = platform::Clock::uptimeNs();
    // Another connection of the peer starts one too: it waits for the place.
    next->sendRaw({packet.begin(), packet.begin() + (1 << 20)});
    next->flush();
    // A byte every 20 s, looked at every second.
    size_t at = 1 << 20;
    for (int second = 1; second <= int(bound) + 20 && !trickler->isClosed(); ++second) {
        advance(1);
        if (second % 20 != 0 || trickler->isClosed()) continue;
        trickler->sendRaw({packet.begin() + std::ptrdiff_t(at), packet.begin() + std::ptrdiff_t(at + 1)});
        trickler->flush();
        ++at;
        runUntil(
            [&] {
                return trickler->isClosed() || server->queue.syncValue([&] {
                    return server->bytesWaitingToBeServedForTesting("127.0.0.2") == at + (1 << 20);
                });
            },
            2);
    }
    ASSERT_TRUE(trickler->waitClosed()) << "a trickled packet is never ended";
    EXPECT_LE(double(platform::Clock::uptimeNs() - startNs) / 1e9, bound) << "ended within its bound";
    EXPECT_EQ(logCount("(a packet still arriving came slower than 256 KiB/s after its first 30 s)"), 1u);
    // The place passed on: the other connection's packet arrives whole.
    next->sendRaw({packet.begin() + (1 << 20), packet.end()});
    next->flush();
    EXPECT_TRUE(runUntil([&] { return server->queue.syncValue([&] {
        return server->bytesWaitingToBeServedForTesting("127.0.0.2") == 0;
    }) && ledger->bytesInUse() == 0; })) << ledger->bytesInUse();
    EXPECT_FALSE(next->isClosed());
}

// Past its budget a peer's packets that start work wait, but what keeps its
// own stream going is still served: its frame acknowledgements, even behind
// a packet that waits, and the login of another of its connections.
TEST_F(PeerLedger, APeerPastItsBudgetKeepsItsStreamAndLogsInAgain) {
    platform::DispatchQueue stuck("test.viewer-work");
    stuck.setDropsWorkOfGonePeers(true);
    stuck.suspend();
    int received = 0;
    server->queue.sync([&] {
        server->onFileTransferPacket = [&](FileTransferPacket, const UUID&) {
            ++received;
            stuck.async([] {});
        };
    });
    auto receivedNow = [&] { return server->queue.syncValue([&] { return received; }); };
    auto audio = audioFrom("127.0.0.2", "Viewer");
    auto video = std::make_unique<AuxTestClient>(runtime, server->boundVideoPort(), 0x02, "127.0.0.2");
    ASSERT_TRUE(video->waitConnected() && video->logIn(consoleUser, password, "Viewer"));
    const UUID watching = sessionFrom("127.0.0.2", AuxChannel::video);
    // The frames are the test's: no capture starts.
    server->queue.sync([&] {
        if (auto& start = server->streamControl.initialVideoCaptureStartTask) start->cancel();
    });
    const auto ledger = ledgerOf("127.0.0.2");
    ASSERT_TRUE(ledger);
    constexpr int kBudget = static_cast<int>(platform::WorkLedger::kDefaultMaxJobs);
    for (int i = 0; i < kBudget + 10; ++i) audio->send(AuxPacketType::fileTransferPacket, packetFrom("viewer"));
    audio->flush();
    ASSERT_TRUE(runUntil([&] { return receivedNow() == kBudget; }));
    ASSERT_TRUE(ledger->overBudget());

    // Frames went out unacknowledged; their acknowledgements come behind a
    // packet that starts work.
    auto outstanding = [&] {
        return server->queue.syncValue([&] { return server->streamControl.videoSessionOutstandingAcks[watching]; });
    };
    server->queue.sync([&] {
        server->streamControl.videoSessionOutstandingAcks[watching] = 9;
        server->streamControl.videoSessionLastAckNs[watching] = platform::Clock::uptimeNs();
    });
    video->send(AuxPacketType::fileTransferPacket, packetFrom("viewer"));
    for (int i = 0; i < 9; ++i) video->send(AuxPacketType::videoFrameAck, {});
    video->flush();
    EXPECT_TRUE(runUntil([&] { return outstanding() == 0; })) << outstanding() << " frames unacknowledged";
    advance(4);
    EXPECT_TRUE(server->queue.syncValue([&] { return server->authorizedVideoSessions.count(watching) == 1; }))
        << "the Viewer keeps its stream";
    EXPECT_EQ(receivedNow(), kBudget) << "its work still waits";

    // Another connection of the peer logs in meanwhile.
    auto again = std::make_unique<AuxTestClient>(runtime, server->boundAudioPort(), 0x01, "127.0.0.2");
    EXPECT_TRUE(again->waitConnected() && again->logIn(consoleUser, password, "Viewer again"));

    // And sends a packet larger than the budget: it arrives whole
    // meanwhile, and waits for the work however long that takes, since it
    // stopped arriving because it is all there.
    const auto large = packetFrom("viewer", AuxAdmission::workBudgetBytesPerPeer + (1 << 20));
    again->send(AuxPacketType::fileTransferPacket, large);
    again->flush();
    ASSERT_TRUE(runUntil([&] { return ledger->arrivingBytes() == AuxPacketHeader::size + large.size(); }));
    advance(platform::ReceiveTurns::arrivalBoundSeconds(large.size()) + 1);
    EXPECT_FALSE(again->isClosed());
    EXPECT_EQ(receivedNow(), kBudget);

    stuck.resume();
    EXPECT_TRUE(runUntil([&] { return receivedNow() == kBudget + 12; })) << receivedNow();
}

// Past its budget a watcher's input and acknowledgements are served as
// they come, however many arrive at once: 600 pointer moves ahead of its
// acknowledgements (more than a connection may hold past the budget) take
// no room from them, and every one of 100 acknowledgements read at once
// counts. The watcher keeps its video; only its costly work waits.
TEST_F(PeerLedger, APeerPastItsBudgetIsServedItsInputAndEveryAcknowledgementHoweverMany) {
    platform::DispatchQueue stuck("test.viewer-work");
    stuck.setDropsWorkOfGonePeers(true);
    stuck.suspend();
    int received = 0;
    server->queue.sync([&] {
        server->onFileTransferPacket = [&](FileTransferPacket, const UUID&) {
            ++received;
            stuck.async([] {});
        };
    });
    auto audio = audioFrom("127.0.0.2", "Viewer");
    auto video = std::make_unique<AuxTestClient>(runtime, server->boundVideoPort(), 0x02, "127.0.0.2");
    ASSERT_TRUE(video->waitConnected() && video->logIn(consoleUser, password, "Viewer"));
    const UUID watching = sessionFrom("127.0.0.2", AuxChannel::video);
    server->queue.sync([&] {
        if (auto& start = server->streamControl.initialVideoCaptureStartTask) start->cancel();
    });
    const auto ledger = ledgerOf("127.0.0.2");
    ASSERT_TRUE(ledger);
    constexpr int kBudget = static_cast<int>(platform::WorkLedger::kDefaultMaxJobs);
    for (int i = 0; i < kBudget + 10; ++i) audio->send(AuxPacketType::fileTransferPacket, packetFrom("viewer"));
    audio->flush();
    ASSERT_TRUE(runUntil([&] { return server->queue.syncValue([&] { return received; }) == kBudget; }));
    ASSERT_TRUE(ledger->overBudget());

    auto outstanding = [&] {
        return server->queue.syncValue([&] { return server->streamControl.videoSessionOutstandingAcks[watching]; });
    };
    auto framesOut = [&](int frames) {
        server->queue.sync([&] {
            server->streamControl.videoSessionOutstandingAcks[watching] = frames;
            server->streamControl.videoSessionLastAckNs[watching] = platform::Clock::uptimeNs();
        });
    };
    // 600 moves at 120 Hz, then the acknowledgements of 9 frames.
    framesOut(9);
    const size_t eventsBefore = postedEvents().size();
    constexpr int kMoves = 600;
    for (int i = 0; i < kMoves; ++i)
        video->send(AuxPacketType::pointerEvent,
                    PointerEventControlPayload{0, uint16_t(i % 1000), uint16_t(i % 700), 1920, 1080}.encode());
    for (int i = 0; i < 9; ++i) video->send(AuxPacketType::videoFrameAck, {});
    video->flush();
    EXPECT_TRUE(runUntil([&] { return outstanding() == 0; })) << outstanding() << " frames unacknowledged";
    EXPECT_GT(postedEvents().size(), eventsBefore) << "its input reached the machine";
    advance(4);
    EXPECT_TRUE(server->queue.syncValue([&] { return server->authorizedVideoSessions.count(watching) == 1; }))
        << "the watcher keeps its video";

    // 100 acknowledgements, all read before the server looks at them.
    constexpr int kAcks = 100;
    framesOut(kAcks);
    const size_t readBefore = ledger->bytesInUse();
    server->queue.suspend();
    for (int i = 0; i < kAcks; ++i) video->send(AuxPacketType::videoFrameAck, {});
    video->flush();
    EXPECT_TRUE(runUntil([&] { return ledger->bytesInUse() >= readBefore + kAcks * AuxPacketHeader::size; }));
    server->queue.resume();
    EXPECT_TRUE(runUntil([&] { return outstanding() == 0; })) << outstanding() << " of " << kAcks << " unserved";
    EXPECT_EQ(server->queue.syncValue([&] { return received; }), kBudget) << "its costly work still waits";

    stuck.resume();
    EXPECT_TRUE(runUntil([&] { return server->queue.syncValue([&] { return received; }) == kBudget + 10; }));
}

// A peer that never reads, on every connection it may open, asks for
// answers as fast as its turns go (audio controls; Host shortcuts, whose
// texts go to every Viewer) while it takes audio and acknowledges frames it
// never reads: what the Host really queues for it, read from its
// connections, stays within its send budget and one answer per connection,
// and is on its account. Its packets wait, not its acknowledgements;
// another Viewer is answered meanwhile; and once the peer reads, every
// answer it asked for comes, none dropped.
TEST_F(PeerLedger, WhatAPeerThatDoesNotReadIsSentStaysWithinItsSendBudget) {
    const std::string peer = "127.0.0.2";
    constexpr size_t kAudioConnections = AuxAdmission::maxLoggedInPerSource - 2;
    constexpr int kControls = 60'000;
    constexpr int kShortcuts = 20'000;
    const std::string notActive = "audio: listening here only is not active for this Viewer";
    std::vector<std::unique_ptr<AuxTestClient>> audio, video;
    auto likeAViewer = [](AuxTestClient& c) {
        // As a Viewer does: its small packets are not held back for the
        // acknowledgement of its last, which a Host sending into a closed
        // window gives only when it probes.
        const int on = 1;
        EXPECT_EQ(setsockopt(c.descriptor(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on), 0);
    };
    for (size_t i = 0; i < kAudioConnections; ++i) {
        audio.push_back(audioFrom(peer, "Quiet"));
        likeAViewer(*audio.back());
    }
    for (size_t i = 0; i < 2; ++i) {
        video.push_back(std::make_unique<AuxTestClient>(runtime, server->boundVideoPort(), 0x02, peer));
        ASSERT_TRUE(video.back()->waitConnected() && video.back()->logIn(consoleUser, password, "Quiet"));
        likeAViewer(*video.back());
    }
    auto honest = audioFrom("127.0.0.3", "Honest");
    // The frames are the test's: no capture starts.
    server->queue.sync([&] {
        if (auto& start = server->streamControl.initialVideoCaptureStartTask) start->cancel();
    });
    const auto ledger = ledgerOf(peer);
    ASSERT_TRUE(ledger);
    for (auto& c : audio) c->setReadingPaused(true);
    for (auto& c : video) c->setReadingPaused(true);

    // Answers to itself on three connections, texts to everyone on the
    // fourth; the watchers only acknowledge.
    auto repeated = [](AuxPacketType type, const std::vector<uint8_t>& payload, int times) {
        const auto packet = makeAuxPacket(type, 0, payload, 0);
        std::vector<uint8_t> bytes;
        for (int i = 0; i < times; ++i) bytes.insert(bytes.end(), packet.begin(), packet.end());
        return bytes;
    };
    for (size_t i = 0; i + 1 < audio.size(); ++i) {
        audio[i]->sendRaw(repeated(AuxPacketType::audioControl, {0x00}, kControls));
        audio[i]->flush();
    }
    audio.back()->sendRaw(repeated(AuxPacketType::hostShortcut,
                                   HostShortcutControlPayload{HostShortcutKind::appExpose}.encode(), kShortcuts));
    audio.back()->flush();

    // A key frame to every watcher every 50 ms, each acknowledged at once,
    // unread.
    const auto frame = std::make_shared<const std::vector<uint8_t>>(
        makeAuxPacket(AuxPacketType::videoFrame, 1, std::vector<uint8_t>(256 << 10, 0x42), 0));
    const size_t bound = platform::WorkLedger::kMaxSendingBytes +
                         AuxAdmission::maxLoggedInPerSource * V230HostAudioAuxServer::kAnswerRoomBytes + (64 << 10);
    size_t mostQueued = 0, mostCharged = 0, queuedUncharged = 0;
    size_t fewestConnections = AuxAdmission::maxLoggedInPerSource;
    auto look = [&] {
        const auto held = server->queue.syncValue([&] { return server->holdingsOfPeerForTesting(peer); });
        const size_t charged = ledger->sendingBytes();
        mostQueued = std::max(mostQueued, held.unsentBytes);
        mostCharged = std::max(mostCharged, charged);
        fewestConnections = std::min(fewestConnections, held.connections);
        if (held.unsentBytes > charged) queuedUncharged = std::max(queuedUncharged, held.unsentBytes - charged);
    };
    // Until the Host queues past the bound, or the peer has sat at its
    // budget for a second of the clock.
    int atTheBudget = 0;
    runUntil(
        [&] {
            server->queue.sync([&] {
                server->deliverVideoFrame(frame, true, V230HostAudioAuxServer::HostVideoStreamKind::shared,
                                          platform::Clock::uptimeNs());
            });
            for (auto& c : video) {
                c->send(AuxPacketType::videoFrameAck, {});
                c->flush();
            }
            advance(0.05);
            look();
            const bool full = ledger->sendingBytes() + (1 << 20) >= platform::WorkLedger::kMaxSendingBytes;
            atTheBudget = full ? atTheBudget + 1 : 0;
            return mostQueued > bound || atTheBudget >= 20;
        },
        120);
    ASSERT_LE(mostQueued, bound) << "the Host queued past the peer's send budget (" << mostCharged
                                 << " on its account at most, " << fewestConnections << " connections left)";
    EXPECT_EQ(atTheBudget, 20) << "the peer's sends reached their budget and stayed there";
    EXPECT_LE(mostCharged, bound);
    EXPECT_LE(queuedUncharged, 64u << 10) << "what is queued is on the account";
    EXPECT_EQ(fewestConnections, AuxAdmission::maxLoggedInPerSource) << "no connection closed for its backlog";

    // Meanwhile another Viewer is answered; and the quiet peer's
    // acknowledgements that come behind a packet waiting for its room (a
    // Host shortcut) are served at once.
    const auto answersTo = [&](const AuxTestClient& c) {
        size_t n = 0;
        for (const auto& p : c.packets())
            if (p.header.type == AuxPacketType::hostStatus && p.text() == notActive) ++n;
        return n;
    };
    honest->send(AuxPacketType::audioControl, std::vector<uint8_t>{0x00});
    honest->flush();
    EXPECT_TRUE(runUntil([&] { return answersTo(*honest) == 1; }));
    auto outstanding = [&] {
        return server->queue.syncValue([&] {
            int sum = 0;
            for (const auto& id : server->authorizedVideoSessions)
                sum += server->streamControl.videoSessionOutstandingAcks[id];
            return sum;
        });
    };
    const size_t watchers = server->queue.syncValue([&] {
        for (const auto& id : server->authorizedVideoSessions) {
            server->streamControl.videoSessionOutstandingAcks[id] = 9;
            server->streamControl.videoSessionLastAckNs[id] = platform::Clock::uptimeNs();
        }
        return server->authorizedVideoSessions.size();
    });
    ASSERT_EQ(watchers, video.size()) << "the watchers keep their video";
    for (auto& c : video) {
        c->send(AuxPacketType::hostShortcut, HostShortcutControlPayload{HostShortcutKind::appExpose}.encode());
        for (int i = 0; i < 9; ++i) c->send(AuxPacketType::videoFrameAck, {});
        c->flush();
    }
    EXPECT_TRUE(runUntil([&] { return outstanding() == 0; })) << outstanding() << " frames unacknowledged";
    look();
    EXPECT_LE(mostQueued, bound);

    // It reads: every answer it asked for comes.
    for (auto& c : audio) c->setReadingPaused(false);
    for (auto& c : video) c->setReadingPaused(false);
    EXPECT_TRUE(runUntil(
        [&] {
            advance(0.05);
            look();
            return std::all_of(audio.begin(), audio.end() - 1,
                               [&](const auto& c) { return answersTo(*c) == size_t{kControls}; });
        },
        120))
        << answersTo(*audio[0]) << " of " << kControls << " answers";
    EXPECT_LE(mostQueued, bound);
}

// A peer that reads nothing keeps its account full while its connections
// come and go, each leaving with a packet that waits for room for its
// answer: what the Host keeps waiting for the peer's room is what its live
// connections wait for, not one wait for every connection it ever had.
TEST_F(PeerLedger, ConnectionsThatLeaveWhileWaitingForRoomLeaveNoWaitBehind) {
    const std::string peer = "127.0.0.2";
    auto stays = audioFrom(peer, "Stays");
    const auto ledger = ledgerOf(peer);
    ASSERT_TRUE(ledger);
    ledger->chargeSendingForTesting(platform::WorkLedger::kMaxSendingBytes);
    auto held = [&] { return server->queue.syncValue([&] { return server->holdingsOfPeerForTesting(peer); }); };
    size_t mostWaits = 0;
    for (size_t i = 0; i < 3 * AuxAdmission::maxLoggedInPerSource; ++i) {
        auto comer = audioFrom(peer, "Comer");
        comer->send(AuxPacketType::audioControl, std::vector<uint8_t>{0x00});
        comer->flush();
        ASSERT_TRUE(runUntil([&] { return held().bufferedBytes > 0; })) << "its packet never waited, at " << i;
        runUntilIdle();
        mostWaits = std::max(mostWaits, ledger->sendWaiters());
        comer.reset();
        ASSERT_TRUE(runUntil([&] { return held().connections == 1; })) << "it never left, at " << i;
    }
    EXPECT_LE(mostWaits, 2u) << "waits of connections gone were kept";
    ledger->releaseSendingForTesting(platform::WorkLedger::kMaxSendingBytes);
    EXPECT_EQ(ledger->sendWaiters(), 0u);
}

// A frame that must take its stream's configuration with it asks room for
// both: the frame that just fits what a slow watcher's peer has left is
// held back instead of pushing the peer past its budget (a watcher alone on
// its account would lose its video to its connection's own backlog bound),
// and the configuration goes out with the next frame that fits, so the
// Viewer never decodes a frame without it.
TEST_F(PeerLedger, AFrameThatMustAnnounceItsStreamAsksRoomForTheConfigurationToo) {
    using Kind = V230HostAudioAuxServer::HostVideoStreamKind;
    constexpr size_t kMax = platform::WorkLedger::kMaxSendingBytes;
    constexpr size_t kOverhead = platform::WorkLedger::kSendOverheadBytes;
    const size_t header = makeAuxPacket(AuxPacketType::videoFrame, 1, {}, 0).size();
    auto keyFrame = [&](size_t packetBytes) {
        return std::make_shared<const std::vector<uint8_t>>(
            makeAuxPacket(AuxPacketType::videoFrame, 1, std::vector<uint8_t>(packetBytes - header, 0x42), 0));
    };
    // The stream's configuration, sent to each watcher as it logs in.
    VideoStreamConfigPayload config;
    config.codec = VideoStreamCodec::h264;
    config.sps = std::vector<uint8_t>(64, 0x67);
    config.pps = {0x68, 2};
    // Alone on its account, the watcher's connection holds all of it; with
    // two, the account can pass its budget while each connection is far
    // from its own bound.
    // The configuration goes with a frame that must announce it, or alone,
    // when the stream's configuration changes.
    int round = 0;
    for (const auto& row : {std::pair{size_t{1}, false}, std::pair{size_t{2}, false}, std::pair{size_t{1}, true},
                            std::pair{size_t{2}, true}}) {
        // Named apart: a lambda may not capture a structured binding.
        const size_t watchers = row.first;
        const bool alone = row.second;
        SCOPED_TRACE(std::to_string(watchers) + " watcher(s) on the peer, the configuration " +
                     (alone ? "alone" : "with a frame"));
        const std::string peer = "127.0.0." + std::to_string(2 + round++);
        // The last watcher's leaving let the stream go.
        server->queue.sync([&] { server->streamControl.lastVideoConfig = config; });
        std::vector<std::unique_ptr<AuxTestClient>> video;
        for (size_t i = 0; i < watchers; ++i) {
            video.push_back(std::make_unique<AuxTestClient>(runtime, server->boundVideoPort(), 0x02, peer));
            ASSERT_TRUE(video.back()->waitConnected() && video.back()->logIn(consoleUser, password, "Slow"));
        }
        // The frames are the test's: no capture starts.
        server->queue.sync([&] {
            if (auto& start = server->streamControl.initialVideoCaptureStartTask) start->cancel();
        });
        const auto ledger = server->queue.syncValue([&] { return server->ledgerOfPeerForTesting(peer); });
        ASSERT_TRUE(ledger);
        auto sessionsOfPeer = [&] {
            return server->queue.syncValue([&] {
                std::vector<UUID> ids;
                for (const auto& [session, from] : server->viewerSessionRemoteAddresses)
                    if (from == peer && server->authorizedVideoSessions.count(session)) ids.push_back(session);
                return ids;
            });
        };
        ASSERT_EQ(sessionsOfPeer().size(), watchers);
        auto deliver = [&](const platform::TcpConnection::SharedBytes& frame) {
            server->queue.sync(
                [&] { server->deliverVideoFrame(frame, true, Kind::shared, platform::Clock::uptimeNs()); });
        };
        auto acknowledge = [&] {
            for (auto& c : video) {
                c->send(AuxPacketType::videoFrameAck, {});
                c->flush();
            }
        };
        for (auto& c : video) c->setReadingPaused(true);

        // Frames while every watcher has room for them and some is left,
        // until the sockets take nothing more: what waits for the peer no
        // longer goes down (the statistics each second may still add to it).
        const auto fill = keyFrame(1 << 20);
        auto roomForMore = [&] { return ledger->hasRoomToSend(watchers * (fill->size() + kOverhead) + (64 << 10)); };
        size_t last = 0;
        int still = 0;
        ASSERT_TRUE(runUntil(
            [&] {
                const bool sent = roomForMore();
                if (sent) {
                    deliver(fill);
                    acknowledge();
                }
                advance(0.05);
                const size_t now = ledger->sendingBytes();
                still = !sent && now >= last ? still + 1 : 0;
                last = now;
                return still >= 20 && !roomForMore();
            },
            120));
        ASSERT_LE(last, kMax);
        // And the sockets take nothing more, whatever slack they kept: what
        // is queued for the peer from here on stays on its account.
        auto sendBuffers = [&](int bytes) {
            const auto ids = sessionsOfPeer();
            const auto descriptors = server->queue.syncValue([&] {
                std::vector<int> fds;
                for (const auto& id : ids) fds.push_back(server->videoSessions.at(id)->fileDescriptorForTesting());
                return fds;
            });
            for (const int fd : descriptors) EXPECT_EQ(setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes), 0);
        };
        sendBuffers(4096);

        // The stream must be announced to every watcher again, and the next
        // frame fits what the peer has left, but not with the configuration
        // and what its send holds; or a frame leaves less than the
        // configuration takes, and the configuration changes.
        const size_t configBytes = makeAuxPacket(AuxPacketType::videoStreamConfig, 0, config.encode(), 0).size();
        const size_t afterDelivery = server->queue.syncValue([&] {
            const size_t room = kMax - ledger->sendingBytes() - kOverhead;
            if (alone) {
                server->deliverVideoFrame(keyFrame(room - configBytes), true, Kind::shared, platform::Clock::uptimeNs());
                server->broadcastVideoConfig(config, Kind::shared);
            } else {
                for (const auto& [session, from] : server->viewerSessionRemoteAddresses)
                    if (from == peer) server->streamControl.videoStreamKindAnnounced.erase(session);
                server->deliverVideoFrame(keyFrame(room - configBytes - 1), true, Kind::shared,
                                          platform::Clock::uptimeNs());
            }
            return ledger->sendingBytes();
        });
        EXPECT_LE(afterDelivery, kMax) << "the configuration went past the peer's send budget";
        acknowledge();
        advance(0.5);
        const bool kept = sessionsOfPeer().size() == watchers;
        EXPECT_TRUE(kept) << "a watcher lost its video";
        for (auto& c : video) EXPECT_FALSE(c->isClosed());
        if (!kept) continue;

        // It reads again: once all has gone, the next frame goes with the
        // configuration, to every watcher.
        sendBuffers(4 << 20);
        for (auto& c : video) c->setReadingPaused(false);
        ASSERT_TRUE(runUntil(
            [&] {
                acknowledge();
                advance(0.05);
                return ledger->sendingBytes() == 0;
            },
            120));
        deliver(keyFrame(header + 16));
        // What each watcher got of the stream, the last frame's size last.
        auto configAndFrames = [](const AuxTestClient& c) {
            std::vector<std::pair<AuxPacketType, size_t>> seen;
            for (const auto& p : c.packets())
                if (p.header.type == AuxPacketType::videoStreamConfig || p.header.type == AuxPacketType::videoFrame)
                    seen.emplace_back(p.header.type, p.payload.size());
            return seen;
        };
        for (auto& c : video) {
            ASSERT_TRUE(runUntil([&] {
                advance(0.05);
                const auto seen = configAndFrames(*c);
                return !seen.empty() && seen.back() == std::pair{AuxPacketType::videoFrame, size_t{16}};
            }));
            std::vector<AuxPacketType> seen;
            for (const auto& [type, bytes] : configAndFrames(*c)) seen.push_back(type);
            EXPECT_EQ(std::count(seen.begin(), seen.end(), AuxPacketType::videoStreamConfig), 2)
                << "once at login, once announced again";
            ASSERT_GE(seen.size(), 2u);
            EXPECT_EQ(seen[seen.size() - 2], AuxPacketType::videoStreamConfig)
                << "the configuration held back is sent with the next frame, just before it";
        }
        for (auto& c : video) c->close();
        ASSERT_TRUE(runUntil([&] { return sessionsOfPeer().empty(); }));
    }
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

// A Viewer whose frames were skipped because it did not read gets a key
// frame asked for once it has read, though the screen stays still and no
// frame comes that would ask for it.
TEST_F(PeerLedger, AViewerSkippedForNoRoomGetsAKeyFrameOnceItReadsOnAStillScreen) {
    const std::string peer = "127.0.0.2";
    auto audio = audioFrom(peer, "Slow");
    auto video = std::make_unique<AuxTestClient>(runtime, server->boundVideoPort(), 0x02, peer);
    ASSERT_TRUE(video->waitConnected() && video->logIn(consoleUser, password, "Slow"));
    server->queue.sync([&] {
        if (auto& start = server->streamControl.initialVideoCaptureStartTask) start->cancel();
    });
    const auto ledger = ledgerOf(peer);
    ASSERT_TRUE(ledger);
    const UUID vid = sessionFrom(peer, AuxChannel::video);
    video->setReadingPaused(true);
    const auto frame = std::make_shared<const std::vector<uint8_t>>(
        makeAuxPacket(AuxPacketType::videoFrame, 1, std::vector<uint8_t>(1 << 20, 0x42), 0));
    bool skipped = false;
    for (int i = 0; i < 400 && !skipped; ++i) {
        server->queue.sync([&] {
            server->deliverVideoFrame(frame, true, V230HostAudioAuxServer::HostVideoStreamKind::shared,
                                      platform::Clock::uptimeNs());
            skipped = server->streamControl.videoSessionsWaitingForRoom.count(vid) > 0;
        });
        video->send(AuxPacketType::videoFrameAck, {});
        video->flush();
        advance(0.05);
    }
    ASSERT_TRUE(skipped) << "a frame was skipped for want of room";
    const uint64_t before =
        server->queue.syncValue([&] { return server->streamControl.lastSkippedViewerKeyFrameRequestNs; });
    // No frame comes any more; the Viewer reads what waits for it.
    video->setReadingPaused(false);
    EXPECT_TRUE(runUntil([&] { return ledger->sendingBytes() == 0; }, 60));
    for (int i = 0; i < 20; ++i) advance(0.05);
    const uint64_t after =
        server->queue.syncValue([&] { return server->streamControl.lastSkippedViewerKeyFrameRequestNs; });
    EXPECT_NE(after, before) << "room came back and no key frame was asked for";

    // From here what waits to be sent to the peer is set on its account
    // directly, the Viewer reading all there is: what it has room for is
    // then exact, whatever the machine's pace.
    using Kind = V230HostAudioAuxServer::HostVideoStreamKind;
    constexpr size_t kMax = platform::WorkLedger::kMaxSendingBytes;
    const size_t header = makeAuxPacket(AuxPacketType::videoFrame, 1, {}, 0).size();
    auto frameOf = [&](size_t packetBytes) {
        return std::make_shared<const std::vector<uint8_t>>(
            makeAuxPacket(AuxPacketType::videoFrame, 1, std::vector<uint8_t>(packetBytes - header, 0x42), 0));
    };
    auto deliver = [&](const platform::TcpConnection::SharedBytes& f, bool key) {
        server->queue.sync([&] { server->deliverVideoFrame(f, key, Kind::shared, platform::Clock::uptimeNs()); });
    };
    auto requested = [&] {
        return server->queue.syncValue([&] { return server->streamControl.lastSkippedViewerKeyFrameRequestNs; });
    };
    auto skippedFrames = [&] {
        return server->queue.syncValue([&] { return server->streamControl.videoSessionSkippedFrames[vid]; });
    };
    auto settled = [&] {
        for (int i = 0; i < 10; ++i) advance(0.05);
    };
    ASSERT_TRUE(runUntil([&] { return ledger->sendingBytes() == 0; }, 60));
    deliver(frame, true);
    ASSERT_TRUE(runUntil([&] { return ledger->sendingBytes() == 0; }, 60));

    // A small frame skipped; room comes back for it alone, and the key
    // frame then asked for is too large for it: it is skipped in turn, and
    // once all the room is back a key frame is asked for again.
    ledger->chargeSendingForTesting(kMax);
    deliver(frameOf(4096), false);
    ASSERT_TRUE(server->queue.syncValue([&] { return server->streamControl.videoSessionsWaitingForRoom.count(vid) > 0; }));
    const uint64_t beforeSmall = requested();
    ledger->releaseSendingForTesting(8192 + platform::WorkLedger::kSendOverheadBytes);
    settled();
    ASSERT_NE(requested(), beforeSmall) << "room for the small frame came back and no key frame was asked for";
    const auto skippedBefore = skippedFrames();
    deliver(frame, true);
    ASSERT_GT(skippedFrames(), skippedBefore) << "the key frame asked for did not fit what came back";
    const uint64_t afterSkippedKeyFrame = requested();
    ledger->releaseSendingForTesting(kMax - 8192 - platform::WorkLedger::kSendOverheadBytes);
    settled();
    EXPECT_NE(requested(), afterSkippedKeyFrame) << "room came back and no key frame was asked for";
    deliver(frame, true);

    // The wait set by a configuration of the other stream (a Motion
    // stream's, just before that stream closes): once room is back, the
    // deltas of the session's own stream still ask for its key frame.
    ledger->chargeSendingForTesting(kMax);
    const bool waiting = server->queue.syncValue([&] {
        server->sendVideoStreamConfig(vid, server->videoSessions.at(vid), VideoStreamConfigPayload{}, Kind::motionStream);
        return server->streamControl.videoSessionsAwaitingKeyFrame.count(vid) > 0;
    });
    ASSERT_TRUE(waiting);
    ledger->releaseSendingForTesting(kMax);
    settled();
    const uint64_t afterOtherStreamsWait = requested();
    for (int i = 0; i < 10; ++i) {
        deliver(frameOf(2000), false);
        advance(0.6);
    }
    EXPECT_NE(requested(), afterOtherStreamsWait) << "its deltas were skipped and no key frame was asked for";
}

}  // namespace
