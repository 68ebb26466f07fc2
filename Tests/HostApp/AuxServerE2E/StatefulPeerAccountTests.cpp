// Roads nobody named: several peers take seeded random steps against the
// real server (valid and malformed packets on every channel, batches
// cancelled at any stage, listings they never read, packets that stop
// arriving, leaves, vanishings and returns). After every step each live
// peer's account is within its bounds; once all have left, every account
// reads zero and the Host's descriptors and memory are back.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>

#include "AuxServerTestFixture.h"
#include "Support/FileTransferTestViewer.h"
#include "HostApp/AuxServer/AuxAdmission.h"
#include "HostApp/Protocol/FileTransferEndpointPayload.h"
#include "Platform/Files/Folders.h"
#include "Platform/Runtime/WorkLedger.h"
#include "VelantrixProfiles/FileTransfer/FileTransferChannelConnection.h"

namespace fs = std::filesystem;
using platform::UUID;
using Op = FileTransferOp;
using Bytes = std::vector<uint8_t>;

namespace {

size_t openDescriptors() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

double residentMiB() {
    returnFreedMemory();
    return static_cast<double>(residentBytes()) / (1 << 20);
}

// Steps are read from bytes, so a seed's generator and a fuzzer's input
// drive the same interpreter.
class StepBytes {
public:
    explicit StepBytes(Bytes bytes) : bytes_(std::move(bytes)) {}
    uint8_t next() { return at_ < bytes_.size() ? bytes_[at_++] : 0; }
    size_t pick(size_t n) { return n ? next() % n : 0; }
    bool done() const { return at_ >= bytes_.size(); }

private:
    Bytes bytes_;
    size_t at_ = 0;
};

// The largest packet a step sends whole or in part.
constexpr size_t kLargestPacket = AuxAdmission::workBudgetBytesPerPeer + (4 << 20);

class StatefulPeerAccounts : public AuxServerTest {
protected:
    std::shared_ptr<FileTransferService> host = std::make_shared<FileTransferService>("Viewer", 262144);

    struct Peer {
        std::string address;
        std::unique_ptr<FileTransferTestViewer> viewer;
        // A data channel whose replies are never read.
        int quiet = -1;
        // Another control connection of the same peer.
        std::unique_ptr<AuxTestClient> extra;
        std::shared_ptr<platform::WorkLedger> ledger;
        std::vector<UUID> batches;
    };
    std::vector<Peer> peers;
    // Every account a peer ever had: all must drain.
    std::vector<std::shared_ptr<platform::WorkLedger>> accounts;

    void SetUp() override {
        AuxServerTest::SetUp();
        std::weak_ptr<V230HostAudioAuxServer> weakServer = server;
        host->routedSendPacket = [weakServer](FileTransferPacket p, const std::optional<std::string>& token) {
            auto s = weakServer.lock();
            if (!s) return false;
            if (auto id = token ? UUID::parse(*token) : std::nullopt) return s->sendFileTransferPacket(std::move(p), *id);
            return s->broadcastFileTransferPacket(std::move(p));
        };
        auto toHost = [this](FileTransferPacket p, const UUID& id) { host->handleIncomingPacket(std::move(p), id.uuidString()); };
        server->onFileTransferPacket = toHost;
        server->onFileTransferIncomingPacket = toHost;
        server->onFileTransferSessionEnded = [this](const UUID& id) { host->sessionEnded(id.uuidString()); };
        const fs::path home = platform::Folders::home();
        fs::create_directories(home / "crowded");
        for (int i = 0; i < 4000; ++i) std::ofstream(home / "crowded" / ("a-long-enough-entry-name-" + std::to_string(i) + ".txt"));
        fs::create_directories(home / "small");
        for (int i = 0; i < 3; ++i) std::ofstream(home / "small" / ("f" + std::to_string(i))) << std::string(5000, 'x');
        for (int i = 2; i <= 4; ++i) peers.push_back(Peer{"127.0.0." + std::to_string(i)});
    }

    void TearDown() override {
        for (auto& p : peers) leave(p, false);
        AuxServerTest::TearDown();
    }

    // --- Steps -------------------------------------------------------------------

    void join(Peer& p) {
        if (p.viewer) return;
        p.viewer = FileTransferTestViewer::connect(runtime, server, *log, consoleUser, password,
                                                   "Peer-" + p.address, p.address);
        const UUID session = p.viewer->session;
        p.ledger = server->queue.syncValue([&] { return server->ledgerOfSession(session); });
        ASSERT_TRUE(p.ledger) << p.address << " logged in without an account";
        if (std::find(accounts.begin(), accounts.end(), p.ledger) == accounts.end()) accounts.push_back(p.ledger);
    }

    // Without a word: the data channels end with a reset, not a FIN.
    void leave(Peer& p, bool vanish) {
        auto reset = [](int fd) {
            const linger abrupt{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abrupt, sizeof abrupt);
        };
        if (p.quiet >= 0) {
            if (vanish) reset(p.quiet);
            ::close(p.quiet);
            p.quiet = -1;
        }
        if (p.extra) p.extra->close();
        p.extra.reset();
        if (p.viewer) {
            if (vanish && p.viewer->connection) reset(p.viewer->connection->fileDescriptorForTesting());
            p.viewer->disconnect();
            p.viewer.reset();
        }
        p.ledger.reset();
        p.batches.clear();
    }

    void sendOp(Peer& p, FileTransferPacket packet) {
        if (p.quiet >= 0) return writeQuiet(p, FileTransferChannelConnection::encodeFrame(packet.encode()));
        if (!p.viewer) return;
        if (const auto send = p.viewer->service->sendPacket.get()) send(std::move(packet));
    }

    UUID batchOf(Peer& p, StepBytes& in) {
        if (p.batches.empty() || in.pick(4) == 0) p.batches.push_back(UUID::random());
        return p.batches[in.pick(p.batches.size())];
    }

    // The flood table's payload shapes on the control connection, valid and
    // malformed.
    void controlPacket(Peer& p, StepBytes& in) {
        using T = AuxPacketType;
        static const std::vector<std::pair<T, Bytes>> shapes = {
            {T::pointerEvent, {0, 0, 5, 0, 6, 0, 0, 0}}, {T::pointerEvent, {1, 2, 3}},
            {T::gestureEvent, {1}},                      {T::keyEvent, {0x61, 0, 0, 0, 1}},
            {T::keyEvent, {0x61, 0, 0, 0, 0}},           {T::keyEvent, {0x61, 0}},
            {T::systemDefinedKeyEvent, {16, 0}},         {T::systemDefinedKeyEvent, {1}},
            {T::hostIdentityChallenge, Bytes(32, 7)},    {T::hostIdentityChallenge, {1}},
            {T::viewerLogin, Bytes(80, 3)},              {T::unused43, {1}},
            {T::unused46, {}},                           {T::hostStatus, {'h', 'i'}},
            {T::videoFrame, {0, 0, 0, 1, 0x65}},         {T::audioControl, {0x01}},
            {T::audioControl, {0x02, 1, 0, 0, 0}},       {T::audioControl, {}},
            {T::iosBackgroundPresence, {1}},             {T::iosBackgroundPresence, {5}},
            {T::videoFrameAck, {}},                      {T::keyFrameRequest, {}},
            {T::dragSnapshotEnd, {1, 0, 0, 0}},
        };
        const size_t count = 1 + in.pick(40);
        for (size_t i = 0; i < count; ++i) {
            const auto& [type, payload] = shapes[in.pick(shapes.size())];
            p.viewer->control->send(type, payload);
        }
        // File-transfer packets over the control connection, some large.
        if (in.pick(3) == 0) {
            const size_t data = in.pick(2) ? size_t{64} << 10 : size_t{1} << 20;
            p.viewer->control->send(T::fileTransferPacket,
                                    FileTransferPacket{Op::listDirReply, UUID::random(), 0, 0, "x", Bytes(data, 0x5A)}
                                        .encode());
        }
        p.viewer->control->flush();
    }

    // Every file-channel operation, at whatever stage its batch is in.
    void fileOp(Peer& p, StepBytes& in) {
        const size_t count = 1 + in.pick(24);
        for (size_t i = 0; i < count; ++i) {
            const UUID id = batchOf(p, in);
            const std::string file = "d/f" + std::to_string(in.pick(3));
            switch (in.pick(14)) {
                case 0:
                    sendOp(p, {Op::batchStart, id, 4096 * 3, packBatchStartValue2(FileTransferIntent::copy, 3), "", {}});
                    break;
                case 1: sendOp(p, {Op::mkdir, id, 0, 0, "d", {}}); break;
                case 2: sendOp(p, {Op::fileStart, id, 4096, 0, file, {}}); break;
                case 3: sendOp(p, {Op::fileChunk, id, 0, 0, file, Bytes(4096, 1)}); break;
                case 4: sendOp(p, {Op::fileEnd, id, 4096, 0, file, {}}); break;
                case 5: sendOp(p, {Op::batchEnd, id, 0, 0, "", {}}); break;
                case 6: sendOp(p, {Op::batchIntent, id, 3, 0, "", {}}); break;
                case 7: sendOp(p, {Op::cancelBatch, id, 0, 0, "", {}}); break;
                case 8:
                    sendOp(p, {Op::directSave, id, 1, 0, "~/Downloads/stateful-" + std::to_string(in.pick(4)), {}});
                    break;
                case 9: sendOp(p, {Op::listDir, id, 0, 0, in.pick(2) ? "~/crowded" : "~/missing", {}}); break;
                case 10: {
                    const std::string listing = "[{\"n\":\"a\",\"d\":false}]";
                    sendOp(p, {Op::listDirReply, id, 0, 0, "/", Bytes(listing.begin(), listing.end())});
                    break;
                }
                case 11: sendOp(p, {Op::peerSendResponse, id, 0, 0, "", Bytes{'{', '}'}}); break;
                case 12: {
                    const std::string request = std::string("{\"sourcePaths\":[\"~/") +
                                                (in.pick(2) ? "small" : "missing") +
                                                "\"],\"destination\":\"/tmp\",\"deliveryOptionsRawValue\":0}";
                    sendOp(p, {Op::peerSendRequest, id, 0, 0, "", Bytes(request.begin(), request.end())});
                    break;
                }
                default:
                    // Not a packet at all.
                    if (p.quiet >= 0) writeQuiet(p, FileTransferChannelConnection::encodeFrame(Bytes(1 + in.pick(60), 0xEE)));
                    else if (p.viewer && p.viewer->channel) p.viewer->channel->sendFrame(Bytes(1 + in.pick(60), 0xEE));
                    break;
            }
        }
    }

    // A data channel that asks for listings and reads none of the replies.
    void unreadListings(Peer& p, StepBytes& in) {
        if (p.quiet < 0) {
            // The token is the session's: this channel takes the place of
            // the Viewer's own.
            std::optional<FileTransferEndpointPayload> endpoint;
            for (const auto& packet : p.viewer->control->packets())
                if (packet.header.type == AuxPacketType::fileTransferEndpoint)
                    endpoint = FileTransferEndpointPayload::decode(packet.payload);
            if (!endpoint) return;
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            const int small = 4096;
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
            sockaddr_in local{}, to{};
            local.sin_family = to.sin_family = AF_INET;
            local.sin_addr.s_addr = htonl(0x7F000000u | static_cast<uint32_t>(std::stoi(p.address.substr(8))));
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            to.sin_port = htons(endpoint->port);
            if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
                ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
                ::close(fd);
                return;
            }
            p.quiet = fd;
            writeQuiet(p, FileTransferChannelConnection::encodeFrame(endpoint->token));
        }
        const size_t count = 1 + in.pick(128);
        for (size_t i = 0; i < count; ++i) {
            const auto payload = FileTransferPacket{Op::listDir, UUID::random(), 0, 0, "~/crowded", {}}.encode();
            writeQuiet(p, FileTransferChannelConnection::encodeFrame(payload));
        }
    }
    void writeQuiet(Peer& p, const Bytes& bytes) {
        // Never blocks: what does not fit now is simply not asked.
        (void)::send(p.quiet, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    }

    // A packet larger than the budget that stops arriving part-way, on
    // either of two connections of the peer.
    void unfinishedPacket(Peer& p, StepBytes& in) {
        const size_t where = in.pick(3);
        if (where != 0 && !p.extra) {
            p.extra = std::make_unique<AuxTestClient>(runtime, server->boundAudioPort(), 0x01, p.address);
            EXPECT_TRUE(p.extra->waitConnected() && p.extra->logIn(consoleUser, password, "Extra-" + p.address));
        }
        if (where != 1) unfinishedPacketOn(*p.viewer->control, in);
        if (where != 0) unfinishedPacketOn(*p.extra, in);
    }
    void unfinishedPacketOn(AuxTestClient& on, StepBytes& in) {
        const auto payload =
            FileTransferPacket{Op::listDirReply, UUID::random(), 0, 0, "x",
                               Bytes(kLargestPacket - AuxPacketHeader::size - FileTransferPacket::fixedSize - 1, 1)}
                .encode();
        const auto packet = makeAuxPacket(AuxPacketType::fileTransferPacket, 0, payload, 0);
        const size_t cut = in.pick(2) ? packet.size() / (2 + in.pick(6)) : packet.size() - (1 + in.pick(3)) * (256 << 10);
        on.sendRaw({packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(cut)});
        on.flush();
    }

    void step(StepBytes& in) {
        Peer& p = peers[in.pick(peers.size())];
        const size_t kind = in.pick(16);
        if (!p.viewer) {
            // Most steps of a peer that is not there bring it back.
            if (kind < 12) join(p);
            else advance(0.1 + 0.1 * in.pick(20));
            return;
        }
        if (kind < 4) controlPacket(p, in);
        else if (kind < 9) fileOp(p, in);
        else if (kind < 11) unreadListings(p, in);
        else if (kind < 12) unfinishedPacket(p, in);
        else if (kind < 13) leave(p, false);
        else if (kind < 14) leave(p, true);
        else advance(0.1 + 0.1 * in.pick(20));
    }

    // --- Invariants --------------------------------------------------------------

    void expectLiveAccountsWithinBounds(const std::string& where) {
        for (const auto& p : peers) {
            if (!p.ledger) continue;
            const auto& a = *p.ledger;
            // The budget, one packet larger than it, and what each
            // connection may read past it.
            const size_t heldBound = a.limit() + kLargestPacket + 4 * AuxAdmission::readAheadPastBudgetBytes;
            EXPECT_LE(a.bytesInUse(), heldBound) << p.address << " read and held, " << where;
            EXPECT_LE(a.arrivingBytes(), heldBound) << p.address << " arriving, " << where;
            EXPECT_LE(a.jobsInUse(), a.maxJobs()) << p.address << " jobs, " << where;
            EXPECT_LE(a.sendingBytes(), platform::WorkLedger::kMaxSendingBytes + kLargestPacket)
                << p.address << " waiting to be sent, " << where;
        }
    }

    static bool drained(const platform::WorkLedger& a) {
        return a.bytesInUse() == 0 && a.arrivingBytes() == 0 && a.jobsInUse() == 0 && a.sendingBytes() == 0;
    }

    void runSeed(uint32_t seed, size_t steps) {
        std::mt19937 random(seed);
        // More than the steps take.
        Bytes bytes(steps * 256);
        for (auto& b : bytes) b = static_cast<uint8_t>(random());
        runSteps(StepBytes(std::move(bytes)), steps, "seed " + std::to_string(seed));
    }

    void runSteps(StepBytes in, size_t steps, const std::string& name) {
        runUntilIdle();
        const size_t descriptorsBefore = openDescriptors();
        const double residentBefore = residentMiB();
        for (size_t n = 0; n < steps && !in.done(); ++n) {
            step(in);
            runUntil([] { return false; }, 0.02);
            expectLiveAccountsWithinBounds(name + " step " + std::to_string(n) + " before its work ran");
            runUntilIdle();
            expectLiveAccountsWithinBounds(name + " step " + std::to_string(n));
            if (HasFailure()) return;
        }
        for (auto& p : peers) leave(p, p.address.back() == '3');
        // Within 10 s of the clock, every account reads zero.
        bool allDrained = false;
        for (int i = 0; i < 20 && !allDrained; ++i) {
            advance(0.5);
            allDrained = runUntil(
                [&] { return std::all_of(accounts.begin(), accounts.end(), [](const auto& a) { return drained(*a); }); },
                1);
        }
        for (const auto& a : accounts)
            EXPECT_TRUE(drained(*a)) << name << ": " << a->owner() << " still holds " << a->bytesInUse() << " bytes, "
                                     << a->arrivingBytes() << " arriving, " << a->jobsInUse() << " jobs, "
                                     << a->sendingBytes() << " to send";
        EXPECT_TRUE(runUntil([&] { return openDescriptors() <= descriptorsBefore + 2; }, 10))
            << name << ": " << openDescriptors() << " descriptors open, " << descriptorsBefore << " before";
#ifndef NORVESSAL_SANITIZED_BUILD
        // A sanitizer's allocator keeps what was freed in quarantine.
        EXPECT_LE(residentMiB() - residentBefore, 64.0) << name << ": resident memory after every peer left";
#else
        (void)residentBefore;
#endif
        accounts.clear();
    }
};

TEST_F(StatefulPeerAccounts, EveryAccountStaysWithinItsBoundsAndDrainsWhenItsPeersLeave) {
#ifdef NORVESSAL_SANITIZED_BUILD
    constexpr size_t kSteps = 80;
#else
    constexpr size_t kSteps = 200;
#endif
    for (uint32_t seed : {1u, 2u, 3u, 4u}) {
        SCOPED_TRACE(seed);
        runSeed(seed, kSteps);
        if (HasFailure()) break;
    }
}

}  // namespace
