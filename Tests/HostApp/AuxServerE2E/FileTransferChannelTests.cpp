// The file-data port against real loopback connections: the endpoint, the
// token handshake and its limits, the carrier packets take, and the send
// window towards a Viewer that stops reading.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <thread>

#include "AuxServerTestFixture.h"
#include "HostApp/Protocol/FileTransferEndpointPayload.h"
#include "Platform/Runtime/WorkLedger.h"
#include "VelantrixProfiles/FileTransfer/FileTransferChannelConnection.h"

namespace {

// A Viewer's data connection, driven by the virtual runtime.
struct ChannelClient {
    std::shared_ptr<platform::TcpConnection> connection;
    std::shared_ptr<FileTransferChannelConnection> channel;
    std::vector<FileTransferPacket> packets;
    bool ended = false;

    explicit ChannelClient(uint16_t port, const std::string& from = {}) {
        connection = platform::TcpConnection::connect("127.0.0.1", port, from);
        channel = std::make_shared<FileTransferChannelConnection>(connection, platform::DispatchQueue("test.channel"),
                                                                  "viewer channel", [](const std::string&) {});
        channel->onFrame = [this](std::span<const uint8_t> p) {
            if (auto packet = FileTransferPacket::decode(p)) packets.push_back(std::move(*packet));
        };
        channel->onEnded = [this](const std::optional<std::string>&) { ended = true; };
        channel->start();
    }
    void sendRaw(std::vector<uint8_t> bytes) { connection->send(std::move(bytes)); }
};

FileTransferPacket packetWithPath(std::string path) {
    return FileTransferPacket{FileTransferOp::mkdir, platform::UUID::random(), 0, 0, std::move(path), {}};
}

class FileChannel : public AuxServerTest {
protected:
    std::unique_ptr<AuxTestClient> viewer;
    platform::UUID session;
    FileTransferEndpointPayload endpoint;
    std::vector<std::pair<FileTransferPacket, platform::UUID>> incoming;
    std::vector<platform::UUID> ended;

    void SetUp() override {
        AuxServerTest::SetUp();
        server->onFileTransferIncomingPacket = [this](FileTransferPacket p, const platform::UUID& id) {
            incoming.emplace_back(std::move(p), id);
        };
        server->onFileTransferSessionEnded = [this](const platform::UUID& id) { ended.push_back(id); };
        viewer = audioClient();
        ASSERT_TRUE(viewer->logIn(consoleUser, password, "Viewer"));
        auto announced = viewer->waitForPacket(AuxPacketType::fileTransferEndpoint);
        ASSERT_TRUE(announced);
        endpoint = *FileTransferEndpointPayload::decode(announced->payload);
        EXPECT_EQ(endpoint.port, server->boundFilePort());
        session = server->queue.syncValue([&] { return *server->authorizedAudioSessions.begin(); });
    }
    std::unique_ptr<ChannelClient> openChannel(const std::string& from = {}) {
        auto c = std::make_unique<ChannelClient>(endpoint.port, from);
        runUntil([&] { return c->ended || c->connection->state() == platform::ConnectionState::ready; });
        return c;
    }
    // A data connection on a plain socket that shows its token (the
    // fixture's session's unless given) and is then read only when the test
    // chooses; -1 when it could not be set up.
    int unreadChannelSocket(std::optional<FileTransferEndpointPayload> of = std::nullopt) {
        const auto& endpoint = of ? *of : this->endpoint;
        const auto authorized = logCount("file aux: channel authorized");
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        // A small buffer of its own: the kernel does not take megabytes
        // for it while the test does not read.
        const int buffer = 64 << 10;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(endpoint.port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        auto tokenFrame = FileTransferChannelConnection::encodeFrame(endpoint.token);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::write(fd, tokenFrame.data(), tokenFrame.size()) != static_cast<ssize_t>(tokenFrame.size()) ||
            !runUntil([&] { return logCount("file aux: channel authorized") > authorized; })) {
            ::close(fd);
            return -1;
        }
        return fd;
    }
    bool authorize(ChannelClient& c) {
        const auto before = logCount("file aux: channel authorized");
        c.channel->sendFrame(endpoint.token);
        return runUntil([&] { return logCount("file aux: channel authorized") > before; });
    }
};

TEST_F(FileChannel, ATokenAuthorisesAndPacketsPreferTheChannel) {
    // Without a channel, packets ride type 31 on the control connection.
    EXPECT_TRUE(server->sendFileTransferPacket(packetWithPath("control"), session));
    auto viaControl = viewer->waitForPacket(AuxPacketType::fileTransferPacket);
    ASSERT_TRUE(viaControl);
    EXPECT_EQ(FileTransferPacket::decode(viaControl->payload)->path, "control");

    auto first = openChannel();
    ASSERT_TRUE(authorize(*first));
    EXPECT_TRUE(logContains("file aux: channel authorized for session " + session.id8()));
    EXPECT_TRUE(server->sendFileTransferPacket(packetWithPath("routed"), session));
    EXPECT_TRUE(server->broadcastFileTransferPacket(packetWithPath("everyone")));
    ASSERT_TRUE(runUntil([&] { return first->packets.size() == 2; }));
    EXPECT_EQ(first->packets[0].path, "routed");
    EXPECT_EQ(first->packets[1].path, "everyone");

    // Packets from the Viewer reach the hook with its session; one that
    // does not decode is dropped and the channel stays.
    first->channel->sendFrame(std::vector<uint8_t>{1, 2, 3});
    first->channel->sendFrame(packetWithPath("up").encode());
    ASSERT_TRUE(runUntil([&] { return incoming.size() == 1; }));
    EXPECT_EQ(incoming[0].first.path, "up");
    EXPECT_EQ(incoming[0].second, session);
    EXPECT_TRUE(logContains("file aux: malformed packet from session " + session.id8()));

    // A second channel with the same token replaces the first.
    auto second = openChannel();
    ASSERT_TRUE(authorize(*second));
    ASSERT_TRUE(runUntil([&] { return first->ended; }));
    auto lines = logLines();
    auto closed = std::find_if(lines.begin(), lines.end(), [&](const std::string& l) {
        return l.find("file aux: channel closed for session " + session.id8()) != std::string::npos;
    });
    auto authorized = std::find_if(closed, lines.end(), [&](const std::string& l) {
        return l.find("file aux: channel authorized for session") != std::string::npos;
    });
    EXPECT_NE(authorized, lines.end());  // the closed line came first
    EXPECT_TRUE(ended.empty());          // replaced, not ended
    EXPECT_TRUE(server->sendFileTransferPacket(packetWithPath("second"), session));
    ASSERT_TRUE(runUntil([&] { return second->packets.size() == 1; }));

    // The channel ending unreplaced ends the session's transfers.
    second->connection->cancel();
    ASSERT_TRUE(runUntil([&] { return ended.size() == 1; }));
    EXPECT_EQ(ended[0], session);
}

TEST_F(FileChannel, ConnectionsWithoutAValidTokenAreRefused) {
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        double silence;
        const char* line;
    };
    std::vector<uint8_t> stranger(16, 0xAB);
    const Case cases[] = {
        {"unknown token", FileTransferChannelConnection::encodeFrame(stranger), 0, "token mismatch"},
        {"15 bytes", FileTransferChannelConnection::encodeFrame(std::vector<uint8_t>(15, 1)), 0, "token mismatch"},
        {"8 MiB header", {'F', 'T', 'R', 'X', 0, 0, 0x80, 0}, 0, "token mismatch"},
        {"silence", {}, 10.5, "file aux: no token within 10 s; dropping connection"},
    };
    for (const auto& c : cases) {
        // Refusal lines share the pre-login allowance of a second.
        advance(1.1);
        log->clear();
        auto client = openChannel();
        if (!c.bytes.empty()) client->sendRaw(c.bytes);
        if (c.silence > 0) {
            runUntilIdle();
            advance(c.silence);
        }
        EXPECT_TRUE(runUntil([&] { return client->ended; })) << c.name;
        EXPECT_TRUE(logContains(c.line)) << c.name;
        EXPECT_FALSE(logContains("channel authorized")) << c.name;
    }

    // Sixteen silent connections are all the server keeps: from sixteen
    // machines holding one each, the next goes, and takes nobody's place.
    advance(1.1);
    log->clear();
    std::vector<std::unique_ptr<ChannelClient>> silent;
    for (int i = 0; i < 16; ++i) silent.push_back(openChannel("127.0.0." + std::to_string(10 + i)));
    ASSERT_TRUE(runUntil([&] { return server->queue.syncValue([&] { return server->fileTransferChannel.pending.size() == 16; }); }));
    auto seventeenth = openChannel("127.0.0.40");
    EXPECT_TRUE(runUntil([&] { return seventeenth->ended; }));
    EXPECT_TRUE(logContains("file aux: too many pending data connections; dropping connection"));
    for (const auto& s : silent) EXPECT_FALSE(s->ended);
}

// The data connections waiting for their token are shared among machines:
// one address holds half of them at most, and with a second holding the
// rest, both renewing theirs at the 10 s deadline, a logged-in Viewer's data
// channel takes the place of the oldest of the first and works, ten times
// out of ten.
TEST_F(FileChannel, SilentConnectionsOfAFewMachinesNeverKeepAViewersChannelOut) {
    std::map<std::string, std::vector<std::unique_ptr<ChannelClient>>> silent;
    auto pendingChannels = [&] { return server->queue.syncValue([&] { return server->fileTransferChannel.pending.size(); }); };
    // Each machine opens 16, as if it could hold them all.
    auto renew = [&] {
        for (const char* machine : {"127.0.0.7", "127.0.0.8"}) {
            auto& held = silent[machine];
            std::erase_if(held, [](const auto& c) { return c->ended; });
            for (size_t opened = held.size(); opened < FileTransferChannelState::maxPendingChannels; ++opened)
                held.push_back(openChannel(machine));
            runUntilIdle();
            EXPECT_EQ(server->queue.syncValue([&] { return server->fileTransferChannel.room.countOf(machine); }),
                      FileTransferChannelState::maxPendingChannelsPerMachine)
                << machine;
        }
    };
    for (int attempt = 0; attempt < 10; ++attempt) {
        SCOPED_TRACE("attempt " + std::to_string(attempt));
        renew();
        ASSERT_EQ(pendingChannels(), FileTransferChannelState::maxPendingChannels);
        auto channel = openChannel();
        runUntilIdle();
        // It took a silent one's place.
        EXPECT_EQ(server->queue.syncValue([&] {
            return server->fileTransferChannel.room.countOf("127.0.0.7") +
                   server->fileTransferChannel.room.countOf("127.0.0.8");
        }),
                  FileTransferChannelState::maxPendingChannels - 1);
        ASSERT_TRUE(authorize(*channel));
        const std::string path = "attempt " + std::to_string(attempt);
        EXPECT_TRUE(server->sendFileTransferPacket(packetWithPath(path), session));
        ASSERT_TRUE(runUntil([&] { return channel->packets.size() == 1; }));
        EXPECT_EQ(channel->packets[0].path, path);
        channel->connection->cancel();
        ASSERT_TRUE(runUntil([&] { return ended.size() == size_t(attempt) + 1; }));
        // The silent ones meet their deadline.
        advance(FileTransferChannelState::tokenDeadlineSeconds + 0.5);
        runUntilIdle();
    }
}

TEST_F(FileChannel, AFailingRandomSourceAnnouncesNoEndpoint) {
    server->stopForTermination();
    V230HostAudioAuxServerConfiguration configuration;
    configuration.fileTransferTokenSource = []() -> FileTransferChannelToken { throw std::runtime_error("no entropy"); };
    startServer(configuration);
    auto client = audioClient();
    ASSERT_TRUE(client->logIn(consoleUser, password, "Viewer"));
    client->settle();
    for (const auto& p : client->packets()) EXPECT_NE(p.header.type, AuxPacketType::fileTransferEndpoint);
    EXPECT_TRUE(logContains("file aux: no endpoint for session"));
    EXPECT_TRUE(logContains("no entropy"));
}

TEST_F(FileChannel, ASenderWaitsForAViewerThatStopsReading) {
    // A plain socket the test reads from only once the server has a sender
    // waiting for room.
    const int fd = unreadChannelSocket();
    ASSERT_GE(fd, 0);

    constexpr size_t packets = 40, chunk = 1 << 20;
    std::atomic<size_t> received{0};
    std::thread reader([&] {
        while (server->fileTransferChannel.sendWindow->waiting.load() == 0) std::this_thread::yield();
        std::vector<uint8_t> buffer(1 << 16);
        const size_t expected = packets * (8 + FileTransferPacket::fixedSize + chunk);
        while (received < expected) {
            auto n = ::read(fd, buffer.data(), buffer.size());
            if (n <= 0) break;
            received += static_cast<size_t>(n);
        }
    });
    size_t mostUnsent = 0;
    for (size_t i = 0; i < packets; ++i) {
        FileTransferPacket packet{FileTransferOp::fileChunk, session, i * chunk, 0, "", std::vector<uint8_t>(chunk, 7)};
        EXPECT_TRUE(server->sendFileTransferPacket(std::move(packet), session));
        mostUnsent = std::max(mostUnsent, server->queue.syncValue([&] {
            auto it = server->fileTransferChannels.find(session);
            return it == server->fileTransferChannels.end() ? size_t{0} : it->second->unsentBytes();
        }));
    }
    reader.join();
    ::close(fd);
    EXPECT_EQ(received.load(), packets * (8 + FileTransferPacket::fixedSize + chunk));
    EXPECT_LE(mostUnsent, FileTransferChannelState::sendWindowBytes + chunk + 64);
    EXPECT_FALSE(logContains("send error"));
}

TEST_F(FileChannel, FramesSentBeforeTheViewerEndsItsStreamAreAllServed) {
    // More frames than one turn serves, then the end of the stream: the
    // frames still waiting for their turn are not dropped with it.
    const int fd = unreadChannelSocket();
    ASSERT_GE(fd, 0);
    constexpr size_t packets = 3 * platform::ReceiveTurns::kPacketsPerTurn;
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < packets; ++i) {
        // Appended rather than "p" + ...: GCC 12 at -O3 warns of an
        // overlapping copy in that form (-Wrestrict, a false positive).
        std::string path = "p";
        path += std::to_string(i);
        auto frame = FileTransferChannelConnection::encodeFrame(packetWithPath(path).encode());
        bytes.insert(bytes.end(), frame.begin(), frame.end());
    }
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::shutdown(fd, SHUT_WR);
    ASSERT_TRUE(runUntil([&] { return ended.size() == 1; }));
    ::close(fd);
    ASSERT_EQ(incoming.size(), packets);
    EXPECT_EQ(incoming.back().first.path, "p" + std::to_string(packets - 1));
}

}  // namespace

namespace {

// A Viewer that stops reading: replies and other packets that are not file
// chunks never wait for it, and stop being queued once its peer has as much
// waiting to be sent as it may, over all its sessions; a chunk waiting on
// it fails once it has taken nothing for 30 s, which also closes its data
// connection.
TEST_F(FileChannel, AViewerThatStopsReadingHoldsNoCallerAndFailsItsBatchAfterThirtySeconds) {
    const int fd = unreadChannelSocket();
    ASSERT_GE(fd, 0);
    // Another Viewer of the same peer, which does not read either.
    auto other = audioClient();
    ASSERT_TRUE(other->logIn(consoleUser, password, "Viewer too"));
    auto announced = other->waitForPacket(AuxPacketType::fileTransferEndpoint);
    ASSERT_TRUE(announced);
    const int otherFd = unreadChannelSocket(FileTransferEndpointPayload::decode(announced->payload));
    ASSERT_GE(otherFd, 0);
    const auto sessions = server->queue.syncValue([&] {
        std::vector<platform::UUID> ids(server->authorizedAudioSessions.begin(), server->authorizedAudioSessions.end());
        return ids;
    });
    ASSERT_EQ(sessions.size(), 2u);
    const auto peer = server->queue.syncValue([&] { return server->ledgerOfSession(session); });
    auto unsent = [&] {
        return server->queue.syncValue([&] {
            size_t bytes = 0;
            for (const auto& id : sessions)
                if (auto it = server->fileTransferChannels.find(id); it != server->fileTransferChannels.end())
                    bytes += it->second->unsentBytes();
            return bytes;
        });
    };

    constexpr size_t replies = 400, replyBytes = 256 << 10;
    const uint64_t before = platform::Clock::uptimeNs();
    size_t taken = 0, mostUnsent = 0;
    for (size_t i = 0; i < replies; ++i) {
        FileTransferPacket reply{FileTransferOp::listDirReply, platform::UUID::random(), 0, 0, "/",
                                 std::vector<uint8_t>(replyBytes, '[')};
        taken += server->sendFileTransferPacket(std::move(reply), sessions[i % 2]) ? 1 : 0;
        mostUnsent = std::max(mostUnsent, unsent());
    }
    EXPECT_EQ(platform::Clock::uptimeNs(), before) << "no reply waited";
    EXPECT_LT(taken, replies) << "a Viewer far behind is not queued without end";
    EXPECT_LE(mostUnsent, platform::WorkLedger::kMaxSendingBytes) << "over both sessions of the peer";
    EXPECT_EQ(peer->sendingBytes(), unsent()) << "what waits to be sent is on the peer's account";

    const platform::UUID batch = platform::UUID::random();
    FileTransferPacket chunk{FileTransferOp::fileChunk, batch, 0, 0, "f", std::vector<uint8_t>(1 << 20, 1)};
    const uint64_t waitFrom = platform::Clock::uptimeNs();
    EXPECT_FALSE(server->sendFileTransferPacket(std::move(chunk), session));
    const double waited = double(platform::Clock::uptimeNs() - waitFrom) / 1e9;
    EXPECT_GE(waited, FileTransferChannelState::stalledTargetSeconds);
    EXPECT_LT(waited, FileTransferChannelState::stalledTargetSeconds + 1);
    EXPECT_TRUE(logContains("file transfer: session " + session.id8() + " stopped reading; batch " + batch.id8() +
                            " failed"));
    EXPECT_TRUE(runUntil([&] { return !ended.empty(); }));
    EXPECT_EQ(ended, std::vector<platform::UUID>{session});
    ::close(fd);
    ::close(otherFd);
}

// A batch's entries and its end wait for room when the peer's send budget
// is spent by another of its sessions, and are never dropped: each goes, in
// order, once the peer has read.
TEST_F(FileChannel, ABatchsEntriesAndEndWaitForTheirPeersRoomAndAreNeverDropped) {
    auto other = audioClient();
    ASSERT_TRUE(other->logIn(consoleUser, password, "Viewer too"));
    auto announced = other->waitForPacket(AuxPacketType::fileTransferEndpoint);
    ASSERT_TRUE(announced);
    const int otherFd = unreadChannelSocket(FileTransferEndpointPayload::decode(announced->payload));
    ASSERT_GE(otherFd, 0);
    const auto otherSession = server->queue.syncValue([&] {
        for (const auto& id : server->authorizedAudioSessions)
            if (id != session) return id;
        return platform::UUID{};
    });
    const auto peer = server->queue.syncValue([&] { return server->ledgerOfSession(session); });
    const platform::UUID batch = platform::UUID::random();
    const std::string name = "a file whose name is longer than a small reply";
    std::vector<FileTransferPacket> entries{{FileTransferOp::fileStart, batch, 0, 0, name, {}},
                                            {FileTransferOp::fileEnd, batch, 0, 0, name, {}},
                                            {FileTransferOp::batchEnd, batch, 0, 0, name, {}}};
    // Large replies, then ever smaller ones to the last few bytes of room
    // (a few of each: a connection holding thousands of tiny sends would
    // pass its own bound), again until the room stays spent once the
    // socket thread has written nothing for a while (the socket's own
    // buffers are full too). Filled to the brim, the unread connection
    // waits: its own backlog bound is no smaller than the budget.
    size_t queued = 0;
    auto spent = [&] { return !peer->hasRoomToSend(entries[0].encodedSize() + AuxPacketHeader::size); };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    do {
        for (size_t bytes : {size_t{256} << 10, size_t{4} << 10, size_t{128}, size_t{2}}) {
            FileTransferPacket reply{FileTransferOp::listDirReply, platform::UUID::random(), 0, 0, "/",
                                     std::vector<uint8_t>(bytes, '[')};
            while (server->sendFileTransferPacket(reply, otherSession)) queued += 8 + reply.encodedSize();
        }
        for (auto quietSince = std::chrono::steady_clock::now();
             std::chrono::steady_clock::now() - quietSince < std::chrono::milliseconds(300) &&
             std::chrono::steady_clock::now() < deadline;) {
            const size_t sending = peer->sendingBytes();
            std::this_thread::yield();
            runUntilIdle();
            if (peer->sendingBytes() != sending) quietSince = std::chrono::steady_clock::now();
        }
    } while (!spent() && std::chrono::steady_clock::now() < deadline);
    EXPECT_FALSE(logContains("send backlog above")) << "a connection was closed for what its budget let through";
    ASSERT_TRUE(spent()) << "the peer's budget was never spent; " << peer->sendingBytes() << " bytes wait";

    // Sent from a thread of their own, as the batch's send queue does.
    std::atomic<int> taken{0}, done{0};
    std::thread sender([&] {
        for (const auto& entry : entries) {
            taken += server->sendFileTransferPacket(entry, session) ? 1 : 0;
            done += 1;
        }
    });
    EXPECT_TRUE(runUntil([&] { return server->fileTransferChannel.sendWindow->waiting.load() > 0 || done == 3; }));
    std::atomic<size_t> received{0};
    std::thread reader([&] {
        std::vector<uint8_t> buffer(1 << 16);
        while (received < queued) {
            auto n = ::read(otherFd, buffer.data(), buffer.size());
            if (n <= 0) break;
            received += static_cast<size_t>(n);
        }
    });
    EXPECT_TRUE(runUntil([&] { return done.load() == 3; }));
    sender.join();
    reader.join();
    ::close(otherFd);
    EXPECT_EQ(received.load(), queued) << "every reply the other session was sent reached it";
    EXPECT_EQ(taken.load(), 3) << "each went once there was room";
    viewer->settle();
    std::vector<FileTransferOp> arrived;
    for (const auto& p : viewer->packets())
        if (p.header.type == AuxPacketType::fileTransferPacket)
            if (auto packet = FileTransferPacket::decode(p.payload); packet && packet->batchID == batch)
                arrived.push_back(packet->op);
    EXPECT_EQ(arrived, (std::vector<FileTransferOp>{FileTransferOp::fileStart, FileTransferOp::fileEnd,
                                                    FileTransferOp::batchEnd}));
}

// A Viewer logged in on video alone can open batches over type 31: its
// file work ends with that session too, not at the idle timer.
TEST_F(FileChannel, AVideoOnlyViewerEndsItsFileWorkWhenItLeaves) {
    auto video = videoClient();
    ASSERT_TRUE(video->logIn(consoleUser, password, "Video Only"));
    const auto videoSession = server->queue.syncValue([&] {
        for (const auto& [id, name] : server->viewerSessionNames)
            if (name == "Video Only") return id;
        return platform::UUID{};
    });
    ASSERT_FALSE(server->queue.syncValue([&] { return server->authorizedAudioSessions.count(videoSession) > 0; }));
    video->close();
    ASSERT_TRUE(runUntil([&] { return std::find(ended.begin(), ended.end(), videoSession) != ended.end(); }));
    EXPECT_EQ(std::count(ended.begin(), ended.end(), session), 0) << "the audio Viewer stays";
}

}  // namespace
