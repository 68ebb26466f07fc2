// Files both ways between a service wired to the server as the Host wires
// it and a test Viewer: an aux client for the login, a data channel and a
// service of its own.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <sys/statvfs.h>
#include <malloc.h>

#include "AuxServerTestFixture.h"
#include "HostApp/AuxServer/AuxAdmission.h"
#include "Support/FileTransferTestViewer.h"
#include "Support/LongListingFolder.h"
#include "Support/TestSupport.h"
#include "HostApp/Protocol/FileTransferEndpointPayload.h"
#include "Platform/Files/Folders.h"
#include "Platform/Runtime/WorkLedger.h"
#include "Platform/Security/Sha256Stream.h"
#include "VelantrixProfiles/FileTransfer/FileTransferChannelConnection.h"
#include "VelantrixProfiles/FileTransfer/FileTransferService.h"

namespace fs = std::filesystem;
using platform::UUID;

namespace {

using TestViewer = FileTransferTestViewer;

class FileTransferEndToEnd : public AuxServerTest {
protected:
    std::shared_ptr<FileTransferService> host = std::make_shared<FileTransferService>("Viewer", 262144);
    std::vector<std::pair<UUID, std::vector<fs::path>>> hostCompleted;
    std::vector<std::string> hostStatus;
    fs::path source = dataRoot->path() / "source";

    void SetUp() override {
        AuxServerTest::SetUp();
        // As the delegate wires it.
        std::weak_ptr<V230HostAudioAuxServer> weakServer = server;
        host->routedSendPacket = [weakServer](FileTransferPacket p, const std::optional<std::string>& token) {
            auto s = weakServer.lock();
            if (!s) return false;
            if (auto id = token ? UUID::parse(*token) : std::nullopt) return s->sendFileTransferPacket(std::move(p), *id);
            return s->broadcastFileTransferPacket(std::move(p));
        };
        auto toHost = [this](FileTransferPacket p, const UUID&) { host->handleIncomingPacket(std::move(p)); };
        server->onFileTransferPacket = toHost;
        server->onFileTransferIncomingPacket = toHost;
        host->onStatus = [this](const std::string& s) { hostStatus.push_back(s); };
        host->onBatchCompleted = [this](const UUID& id, const std::vector<fs::path>& e, FileTransferIntent,
                                        const FileTransferDeliveryResult&, ReceivedBatchHoldings&) {
            hostCompleted.emplace_back(id, e);
        };
    }

    // As the delegate wires it: each packet with its session, and an ended
    // session's work ended.
    void wireSessions() {
        auto toHost = [this](FileTransferPacket p, const UUID& id) { host->handleIncomingPacket(std::move(p), id.uuidString()); };
        server->onFileTransferPacket = toHost;
        server->onFileTransferIncomingPacket = toHost;
        server->onFileTransferSessionEnded = [this](const UUID& id) { host->sessionEnded(id.uuidString()); };
    }

    // `from`: another loopback address stands in for another machine.
    std::unique_ptr<TestViewer> connectViewer(const std::string& name, const std::string& from = {}) {
        return FileTransferTestViewer::connect(runtime, server, *log, consoleUser, password, name, from);
    }

    void writeTree() {
        fs::create_directories(source / "tree" / "nested" / "deeper");
        std::ofstream(source / "tree" / "empty");
        std::ofstream(source / "tree" / "caf\xC3\xA9") << "composed";
        std::ofstream(source / "tree" / "cafe\xCC\x81") << "decomposed";
        std::string bulk(700000, '\0');
        for (size_t i = 0; i < bulk.size(); ++i) bulk[i] = static_cast<char>(i % 251);
        std::ofstream(source / "tree" / "nested" / "deeper" / "bulk.bin", std::ios::binary) << bulk;
    }
};

TEST_F(FileTransferEndToEnd, ATreeStagesWithEqualDigestsBothWays) {
    writeTree();
    auto viewer = connectViewer("Viewer");
    auto other = connectViewer("Other");

    // Viewer to Host.
    viewer->service->sendURLs({source / "tree"}, FileTransferIntent::copy, std::nullopt, {}, std::nullopt);
    ASSERT_TRUE(runUntil([&] { return hostCompleted.size() == 1; }));
    EXPECT_EQ(digestsBelow(hostCompleted[0].second.at(0)), digestsBelow(source / "tree"));

    // Host to the one Viewer the routing token names; the other hears nothing.
    const auto otherBefore = other->packetsReceived;
    host->sendURLs({source / "tree"}, FileTransferIntent::copy, std::nullopt, {}, viewer->session.uuidString());
    ASSERT_TRUE(runUntil([&] { return viewer->completed.size() == 1; }));
    EXPECT_EQ(digestsBelow(viewer->completed[0].second.at(0)), digestsBelow(source / "tree"));
    runUntilIdle();
    EXPECT_EQ(other->packetsReceived, otherBefore);
    EXPECT_TRUE(other->completed.empty());
}

TEST_F(FileTransferEndToEnd, AViewerLeavingMidTransferLeavesNoPartialFiles) {
    auto viewer = connectViewer("Viewer");
    // Closing mid-file: nothing appears under the file's name.
    const UUID id = UUID::random();
    viewer->service->sendPacket.get()({FileTransferOp::batchStart, id, 10, 1, "", {}});
    viewer->service->sendPacket.get()({FileTransferOp::fileStart, id, 10, 0, "half.bin", {}});
    viewer->service->sendPacket.get()({FileTransferOp::fileChunk, id, 0, 0, "half.bin", {1, 2, 3}});
    ASSERT_TRUE(runUntil([&] { return !hostStatus.empty(); }));
    viewer->connection->cancel();
    viewer->control->close();
    runUntilIdle();
    for (auto& e : fs::recursive_directory_iterator(host->stagingRoot()))
        EXPECT_NE(e.path().filename(), "half.bin");

    // Leaving while the Host sends: the batch is given up.
    viewer = connectViewer("Second");
    fs::create_directories(source);
    {
        std::ofstream big(source / "big.bin", std::ios::binary);
        big.seekp((64 << 20) - 1);
        big.put('x');
    }
    host->onOutgoingBatchProgress = [&](const UUID&, uint64_t, uint64_t) {
        if (viewer->connection) viewer->connection->cancel();
        viewer->control->close();
    };
    auto batch = host->sendURLs({source / "big.bin"}, FileTransferIntent::copy, std::nullopt, {}, viewer->session.uuidString());
    const double start = platform::Clock::uptimeSeconds();
    ASSERT_TRUE(runUntil([&] {
        return std::find(hostStatus.begin(), hostStatus.end(), "send cancelled for batch " + batch->id8()) !=
               hostStatus.end();
    }));
    EXPECT_LT(platform::Clock::uptimeSeconds() - start, 1.0);
}

TEST_F(FileTransferEndToEnd, AFileAcrossFourGibibytesArrivesIntact) {
#ifdef NORVESSAL_SANITIZED_BUILD
    GTEST_SKIP() << "5 GiB through the instrumented build outlasts the test's time limit";
#endif
    struct statvfs vfs {};
    ASSERT_EQ(::statvfs(dataRoot->path().c_str(), &vfs), 0);
    const uint64_t freeBytes = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
    if (freeBytes < (6ull << 30)) GTEST_SKIP() << "needs 6 GiB free to stage a 5 GiB file; " << (freeBytes >> 20) << " MiB free";
    fs::create_directories(source);
    const fs::path sparse = source / "sparse.bin";
    {
        std::ofstream out(sparse, std::ios::binary);
        for (uint64_t at : {0ull, (4ull << 30) - 3, 4ull << 30, (4ull << 30) + 262144, (5ull << 30) - 8}) {
            out.seekp(static_cast<std::streamoff>(at));
            out << "MARKER!!";
        }
    }
    auto viewer = connectViewer("Viewer");
    viewer->service->sendURLs({sparse}, FileTransferIntent::copy, std::nullopt, {}, std::nullopt);
    ASSERT_TRUE(runUntil([&] { return hostCompleted.size() == 1; }, 600));
    const auto staged = hostCompleted[0].second.at(0);
    EXPECT_EQ(fs::file_size(staged), fs::file_size(sparse));
    EXPECT_EQ(platform::crypto::Sha256Stream::ofFile(staged), platform::crypto::Sha256Stream::ofFile(sparse));
}

// One Viewer asking for hundreds of large listings and reading none of the
// answers neither holds another Viewer's listing nor hears of its own.
TEST_F(FileTransferEndToEnd, AFloodOfListingsHoldsNeitherAnotherViewerNorReachesIt) {
    wireSessions();
    const fs::path crowded = platform::Folders::home() / "crowded";
    fs::create_directories(crowded);
    for (int i = 0; i < 5000; ++i) std::ofstream(crowded / ("entry-" + std::to_string(i) + ".txt"));
    // Each listing takes 50 ms of the virtual clock, as on a slow disk.
    host->listingHome = [] {
        platform::sleepFor(0.05);
        return platform::Folders::home();
    };
    auto flooder = connectViewer("Flooder");
    auto honest = connectViewer("Honest", "127.0.0.2");
    size_t floodArrived = 0;
    // Which of the flood's requests were answered while they were handed
    // in, and how many listings of the flood were unanswered then.
    std::optional<UUID> arriving;
    size_t listingsAnswered = 0;
    std::vector<std::pair<FileTransferPacket, size_t>> answeredAtOnce;
    server->onFileTransferIncomingPacket = [&](FileTransferPacket p, const UUID& id) {
        const bool flood = id == flooder->session && p.op == FileTransferOp::listDir;
        if (flood) arriving = p.batchID;
        const size_t unanswered = floodArrived - answeredAtOnce.size() - listingsAnswered;
        host->handleIncomingPacket(std::move(p), id.uuidString());
        if (flood) ++floodArrived;
        arriving.reset();
        if (!answeredAtOnce.empty() && answeredAtOnce.back().second == SIZE_MAX)
            answeredAtOnce.back().second = unanswered;
    };
    auto toServer = host->routedSendPacket.get();
    host->routedSendPacket = [&, toServer](FileTransferPacket p, const std::optional<std::string>& token) {
        if (p.op == FileTransferOp::listDirReply && token == flooder->session.uuidString()) {
            if (arriving && p.batchID == *arriving) {
                answeredAtOnce.emplace_back(p, SIZE_MAX);
            } else {
                ++listingsAnswered;
            }
        }
        return toServer(std::move(p), token);
    };
    flooder->channel->pauseReading();
    std::vector<std::pair<UUID, std::string>> listed;
    honest->service->onDirectoryListing = [&](const UUID& id, const std::string& path,
                                              const std::vector<RemoteDirectoryEntry>&) { listed.emplace_back(id, path); };

    auto send = flooder->service->sendPacket.get();
    std::vector<UUID> asks;
    for (int i = 0; i < 400; ++i) {
        asks.push_back(UUID::random());
        send({FileTransferOp::listDir, asks.back(), 0, 0, "~/crowded", {}});
    }
    ASSERT_TRUE(runUntil([&] { return floodArrived == 400; }, 60));
    const double start = platform::Clock::uptimeSeconds();
    const UUID asked = honest->service->requestDirectoryListing("~");
    ASSERT_TRUE(runUntil([&] { return !listed.empty(); }, 60));
    EXPECT_LT(platform::Clock::uptimeSeconds() - start, 0.5);
    EXPECT_EQ(listed[0].first, asked);
    EXPECT_EQ(listed[0].second, platform::Folders::home().string());
    runUntilIdle();
    EXPECT_EQ(listed.size(), 1u) << "the other Viewer's listings never reach this one";
    EXPECT_EQ(std::count_if(honest->received.begin(), honest->received.end(),
                            [](const FileTransferPacket& p) { return p.op == FileTransferOp::listDirReply; }),
              1);

    // A request that comes while four of the session's wait is answered
    // at once, with the empty listing, without touching the disk.
    ASSERT_FALSE(answeredAtOnce.empty()) << "the bound answered the flood's surplus at once";
    EXPECT_EQ(answeredAtOnce.size() + host->listingsComputedForTesting(), asks.size() + 1);
    constexpr size_t places = platform::WorkLedger::heldBound(platform::WorkLedger::Held::listings);
    for (const auto& [reply, unanswered] : answeredAtOnce) {
        // A place is given back once its reply is queued: the one reply
        // of the session's queue seen going may still hold its place.
        EXPECT_LE(unanswered, places);
        EXPECT_GE(unanswered, places - 1);
        EXPECT_TRUE(std::string(reply.data.begin(), reply.data.end()) == "[]") << "the empty listing";
        EXPECT_EQ(reply.path, "~/crowded");
    }
}

// A peer that does not read gets no more replies: once what waits to be
// sent to it, over all its sessions, leaves no room for a listing, its
// listings are not built; they wait, each with its place and its charge,
// and its other requests are refused. Once it reads, they are answered.
TEST_F(FileTransferEndToEnd, APeerThatDoesNotReadGetsNoMoreListings) {
    wireSessions();
    const fs::path wide = platform::Folders::home() / "wide";
    // About a MiB a listing.
    listingfolders::makeLongListingFolder(wide, 700);
    std::vector<std::unique_ptr<TestViewer>> viewers;
    viewers.push_back(connectViewer("Reader"));
    viewers.push_back(connectViewer("Reader too"));
    for (auto& viewer : viewers) viewer->stopReading();
    size_t arrived = 0;
    server->onFileTransferIncomingPacket = [&](FileTransferPacket p, const UUID& id) {
        ++arrived;
        host->handleIncomingPacket(std::move(p), id.uuidString());
    };
    const auto peer = server->queue.syncValue([&] { return server->ledgerOfSession(viewers[0]->session); });
    ASSERT_TRUE(peer);
    size_t mostSending = 0;
    constexpr size_t kAsks = 80;
    for (size_t i = 0; i < kAsks; ++i) {
        viewers[i % 2]->service->sendPacket.get()({FileTransferOp::listDir, UUID::random(), 0, 0, "~/wide", {}});
        // However long the listings it caused take to make.
        ASSERT_TRUE(runUntil([&] { return arrived == i + 1; }, 60));
        runUntilIdle();
        mostSending = std::max(mostSending, peer->sendingBytes());
    }
    EXPECT_GT(mostSending, platform::WorkLedger::kMaxSendingBytes / 2) << "the replies filled its room";
    EXPECT_LE(mostSending, platform::WorkLedger::kMaxSendingBytes) << "over both its sessions";
    constexpr size_t places = platform::WorkLedger::heldBound(platform::WorkLedger::Held::listings);
    EXPECT_EQ(peer->jobsInUse(), places) << "its listings wait, each charged";
    EXPECT_EQ(peer->held(platform::WorkLedger::Held::listings), places) << "each holding its place";

    for (auto& viewer : viewers) viewer->readAgain();
    EXPECT_TRUE(runUntil([&] {
        return peer->jobsInUse() == 0 && peer->sendingBytes() == 0 && peer->held(platform::WorkLedger::Held::listings) == 0;
    }, 30)) << peer->jobsInUse() << " jobs, " << peer->sendingBytes() << " bytes waiting to be sent";
}

// A Viewer copying onto a slow disk waits in its own socket: what its peer
// holds in the Host, read and waiting for the disk, stays within its budget
// and every byte arrives.
TEST_F(FileTransferEndToEnd, ACopyOntoASlowDiskKeepsItsQueuedBytesBoundedAndArrivesWhole) {
    wireSessions();
    fs::create_directories(source);
    std::string bulk(size_t{32} << 20, '\0');
    for (size_t i = 0; i < bulk.size(); ++i) bulk[i] = static_cast<char>((i * 7) % 253);
    std::ofstream(source / "large.bin", std::ios::binary) << bulk;
    auto viewer = connectViewer("Viewer");
    const std::string session = viewer->session.uuidString();
    const auto ledger = server->queue.syncValue([&] { return server->ledgerOfSession(viewer->session); });
    ASSERT_TRUE(ledger);
    std::atomic<size_t> mostHeld{0};
    host->setWriteHookForTesting([&](size_t bytes) {
        mostHeld = std::max(mostHeld.load(), ledger->bytesInUse());
        platform::sleepFor(double(bytes) / double(size_t{5} << 20));  // a disk taking 5 MiB/s
    });
    viewer->service->sendURLs({source / "large.bin"}, FileTransferIntent::copy, std::nullopt, {}, std::nullopt);
    ASSERT_TRUE(runUntil([&] { return hostCompleted.size() == 1; }, 120));
    // Read and held together, past the budget by at most the chunk that
    // crossed it.
    EXPECT_LE(mostHeld.load(), AuxAdmission::workBudgetBytesPerPeer + 262144 + 1024);
    EXPECT_GE(mostHeld.load(), AuxAdmission::workBudgetBytesPerPeer / 2) << "the sender never outran the disk";
    EXPECT_EQ(digestsBelow(hostCompleted[0].second.at(0).parent_path()), digestsBelow(source));
}

// Frames read from a Viewer's data channel and waiting for their turns are
// its peer's budget's, as a control connection's packets are: the Host holds
// no more of them than the budget (and one read) before serving them, and
// serves them all in the end.
TEST_F(FileTransferEndToEnd, FramesWaitingForTheirTurnsAreHeldWithinThePeersBudget) {
    int received = 0;
    server->onFileTransferIncomingPacket = [&](FileTransferPacket, const UUID&) { ++received; };
    // Two Viewers of one machine: two channels, one peer.
    std::vector<std::unique_ptr<TestViewer>> viewers;
    viewers.push_back(connectViewer("First"));
    viewers.push_back(connectViewer("Second"));
    const auto ledger = server->queue.syncValue([&] { return server->ledgerOfSession(viewers[0]->session); });
    auto waiting = [&] {
        size_t bytes = 0;
        for (auto& viewer : viewers)
            if (auto channel = server->fileTransferChannels.find(viewer->session);
                channel != server->fileTransferChannels.end())
                bytes += channel->second->bufferedBytesForTesting();
        return bytes;
    };
    expectHeldWithinThePeersBudgetThenServed(
        ledger, [&](int i, std::vector<uint8_t> bytes) { viewers[size_t(i)]->channel->connection()->send(std::move(bytes)); },
        [](size_t dataBytes) {
            return FileTransferChannelConnection::encodeFrame(
                FileTransferPacket{FileTransferOp::listDirReply, UUID::random(), 0, 0, "flood",
                                   std::vector<uint8_t>(dataBytes, 'x')}
                    .encode());
        },
        waiting, [&] { return received; });
}

}  // namespace

namespace {

// After giving freed heap back, so only what is held counts.
int64_t residentBytes() {
    ::malloc_trim(0);
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::atoll(line.c_str() + 6) * 1024;
    return 0;
}

// A logged-in Viewer opens a thousand batches and names a thousand long
// destinations: the Host keeps its share bounded, serves another Viewer
// meanwhile, and has nothing of it left once the Viewer has gone.
TEST_F(FileTransferEndToEnd, AThousandOpenBatchesTakeABoundedShareAndLeaveWithTheirViewer) {
    // As the delegate wires it: the engine knows each packet's session, and
    // an ended session's batches go with it.
    auto toHost = [this](FileTransferPacket p, const UUID& id) { host->handleIncomingPacket(std::move(p), id.uuidString()); };
    server->onFileTransferPacket = toHost;
    server->onFileTransferIncomingPacket = toHost;
    server->onFileTransferSessionEnded = [this](const UUID& id) { host->sessionEnded(id.uuidString()); };
    auto flooder = connectViewer("Flooder");
    // Another machine: the batches of one address share its bound.
    auto honest = connectViewer("Honest", "127.0.0.2");
    const fs::path staging = host->stagingRoot();
    runUntilIdle();
    const size_t idleDescriptors = openDescriptors();
    [[maybe_unused]] const int64_t idleResident = residentBytes();  // not compared under a sanitizer

    auto send = flooder->service->sendPacket.get();
    size_t mostDescriptors = 0;
    for (int i = 0; i < 1000; ++i) {
        const UUID id = UUID::random();
        send({FileTransferOp::directSave, id, 0, 0, "~/" + std::string(60 * 1024 - 2, 'd'), {}});
        send({FileTransferOp::batchStart, id, 10, 1, "", {}});
        send({FileTransferOp::fileStart, id, 10, 0, "f.bin", {}});
        if (i % 100 == 99) {
            runUntilIdle();
            mostDescriptors = std::max(mostDescriptors, openDescriptors());
        }
    }
    for (int i = 0; i < 1000; ++i) send({FileTransferOp::directSave, UUID::random(), 0, 0, std::string(60 * 1024, 'p'), {}});
    runUntilIdle();
    mostDescriptors = std::max(mostDescriptors, openDescriptors());
    EXPECT_LT(mostDescriptors, idleDescriptors + 40);
#ifndef NORVESSAL_SANITIZED_BUILD
    // What the bounds let the Viewer hold (4 MiB of destinations, 8 MiB of
    // waiting packets, 16 open batches with a 60 KiB destination each, in
    // the engine, the Host's entry and its row) and the heap's partly used
    // pages, which depend on how many arenas the machine's cores give
    // glibc; unbounded, the flood's 120 MB would all be here.
    EXPECT_LT(residentBytes() - idleResident, int64_t{32} << 20);
#endif
    EXPECT_EQ(host->openInboundBatchCountForTesting(), platform::WorkLedger::heldBound(platform::WorkLedger::Held::batches));
    EXPECT_LE(host->pendingDestinationCountForTesting() * 60 * 1024, FileTransferService::maxPendingDestinationBytesPerPeer);

    // Another Viewer is served meanwhile.
    fs::create_directories(source);
    std::ofstream(source / "honest.txt") << "served";
    honest->service->sendURLs({source / "honest.txt"}, FileTransferIntent::copy, std::nullopt, {}, std::nullopt);
    ASSERT_TRUE(runUntil([&] { return hostCompleted.size() == 1; }));
    const fs::path honestFolder = hostCompleted[0].second.at(0).parent_path();

    flooder->connection->cancel();
    flooder->control->close();
    ASSERT_TRUE(runUntil([&] { return host->openInboundBatchCountForTesting() == 0; }));
    host->syncRemovalQueueForTesting();
    runUntilIdle();
    std::vector<fs::path> left;
    for (auto& e : fs::directory_iterator(staging)) left.push_back(e.path());
    EXPECT_EQ(left, std::vector<fs::path>{honestFolder}) << "no staging of the Viewer that left";
    EXPECT_EQ(host->pendingDestinationCountForTesting(), 0u);
    flooder.reset();
    runUntilIdle();
    EXPECT_LE(openDescriptors(), idleDescriptors + 4);
}

}  // namespace
