// Files both ways between a service wired to the server as the Host wires
// it and a test Viewer: an aux client for the login, a data channel and a
// service of its own.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <sys/statvfs.h>
#include <malloc.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "AuxServerTestFixture.h"
#include "HostApp/AuxServer/AuxAdmission.h"
#include "HostApp/AuxServer/WaitingBatchFrames.h"
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
        server->onFileTransferSessionHeard = [this](const UUID& id, size_t frames, size_t bytes) {
            host->sessionHeard(id.uuidString(), frames, bytes);
        };
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
    GTEST_SKIP() << "4 GiB through the instrumented build outlasts the test's time limit";
#endif
    struct statvfs vfs {};
    ASSERT_EQ(::statvfs(dataRoot->path().c_str(), &vfs), 0);
    const uint64_t freeBytes = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
    if (freeBytes < (6ull << 30)) GTEST_SKIP() << "needs 6 GiB free to stage a file past 4 GiB; " << (freeBytes >> 20) << " MiB free";
    fs::create_directories(source);
    const fs::path sparse = source / "sparse.bin";
    {
        std::ofstream out(sparse, std::ios::binary);
        // Past 4 GiB by a mebibyte: every offset and size that a 32-bit
        // field would wrap, without gibibytes more of the same.
        for (uint64_t at : {0ull, (4ull << 30) - 3, 4ull << 30, (4ull << 30) + 262144, (4ull << 30) + (1u << 20) - 8}) {
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
// answers neither holds another Viewer's listing nor hears of its own. Past
// its peer's places its listings wait their turn, charged to the peer, until
// its account is full and it is read no further; none is answered before its
// folder was read, and once it reads, each is answered whole.
TEST_F(FileTransferEndToEnd, AFloodOfListingsHoldsNeitherAnotherViewerNorReachesIt) {
    wireSessions();
    // About a quarter of a MiB a listing, at a small part of what a plain
    // folder that long costs to list: hundreds of them fill the room of a
    // Viewer that reads none.
    const fs::path crowded = platform::Folders::home() / "crowded";
    constexpr size_t kEntries = 170;
    listingfolders::makeLongListingFolder(crowded, kEntries);
    // Each listing takes 50 ms of the virtual clock, as on a slow disk.
    host->listingHome = [] {
        platform::sleepFor(0.05);
        return platform::Folders::home();
    };
    auto flooder = connectViewer("Flooder");
    auto honest = connectViewer("Honest", "127.0.0.2");
    const auto flood = server->queue.syncValue([&] { return server->ledgerOfSession(flooder->session); });
    ASSERT_TRUE(flood);
    constexpr size_t places = platform::WorkLedger::heldBound(platform::WorkLedger::Held::listings);
    size_t floodArrived = 0;
    // The flood's request being handed in, and the flood's replies.
    std::optional<UUID> arriving;
    size_t floodAnswered = 0;
    std::vector<uint8_t> wholeListing;
    std::vector<std::string> faults;
    auto fault = [&](std::string text) {
        if (faults.size() < 4) faults.push_back(std::move(text));
    };
    server->onFileTransferIncomingPacket = [&](FileTransferPacket p, const UUID& id) {
        const bool isFlood = id == flooder->session && p.op == FileTransferOp::listDir;
        if (isFlood) arriving = p.batchID;
        host->handleIncomingPacket(std::move(p), id.uuidString());
        if (isFlood) ++floodArrived;
        arriving.reset();
    };
    auto toServer = host->routedSendPacket.get();
    host->routedSendPacket = [&, toServer](FileTransferPacket p, const std::optional<std::string>& token) {
        if (p.op == FileTransferOp::listDirReply && token == flooder->session.uuidString()) {
            ++floodAnswered;
            if (arriving && p.batchID == *arriving) fault("a listing was answered as it was handed in");
            if (p.path != crowded.string()) fault("a listing answered for " + p.path);
            if (wholeListing.empty()) wholeListing = p.data;
            if (p.data != wholeListing) fault("a listing answered otherwise than the first");
            // The reply being queued still holds its place.
            if (flood->held(platform::WorkLedger::Held::listings) > places)
                fault(std::to_string(flood->held(platform::WorkLedger::Held::listings)) + " listings held at once");
        }
        return toServer(std::move(p), token);
    };
    // Between handings in, each unanswered listing holds a place or waits
    // for one, charged to its peer, within the peer's bounds.
    auto checkFlood = [&](const std::string& when) {
        using platform::WorkLedger;
        const size_t held = flood->held(WorkLedger::Held::listings), waiting = flood->waitingFor(WorkLedger::Held::listings);
        const size_t unanswered = floodArrived - floodAnswered;
        if (held != std::min(unanswered, places) || held + waiting != unanswered || flood->jobsInUse() < unanswered ||
            flood->jobsInUse() > flood->maxJobs() || flood->sendingBytes() > WorkLedger::kMaxSendingBytes)
            fault(when + ": " + std::to_string(held) + " held, " + std::to_string(waiting) + " waiting, " +
                  std::to_string(unanswered) + " unanswered, " + std::to_string(flood->jobsInUse()) + " jobs, " +
                  std::to_string(flood->sendingBytes()) + " bytes waiting to be sent");
    };
    flooder->channel->pauseReading();
    std::vector<std::pair<UUID, std::string>> listed;
    honest->service->onDirectoryListing = [&](const UUID& id, const std::string& path,
                                              const std::vector<RemoteDirectoryEntry>&) { listed.emplace_back(id, path); };

    auto send = flooder->service->sendPacket.get();
    constexpr size_t kAsks = 400;
    for (size_t i = 0; i < kAsks; ++i) send({FileTransferOp::listDir, UUID::random(), 0, 0, "~/crowded", {}});
    // Until all were taken, or its jobs are spent and it is read no further.
    ASSERT_TRUE(runUntil([&] { return floodArrived == kAsks || flood->overBudget(); }, 60)) << floodArrived;
    runUntilIdle();
    checkFlood("the flood taken");
    EXPECT_GT(floodArrived - floodAnswered, places) << "listings past its places waited";
    EXPECT_EQ(host->listingsComputedForTesting(), floodAnswered) << "none built that was not answered";

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
    checkFlood("the other Viewer answered");

    // Once it reads, every listing it asked is answered, whole, in turn.
    flooder->channel->resumeReading();
    EXPECT_TRUE(runUntil([&] { return floodAnswered == kAsks; }, 120)) << floodAnswered << " of " << kAsks;
    runUntilIdle();
    checkFlood("the flood read");
    EXPECT_TRUE(faults.empty()) << faults.front();
    EXPECT_EQ(RemoteDirectoryEntry::decodeListing(wholeListing).size(), kEntries) << "the folder whole";
    EXPECT_EQ(host->listingsComputedForTesting(), kAsks + 1);
    EXPECT_EQ(flood->held(platform::WorkLedger::Held::listings), 0u);
    EXPECT_EQ(flood->jobsInUse(), 0u);
}

// A peer that does not read gets no more replies: once what waits to be
// sent to it, over all its sessions, leaves no room for a listing, its
// listings are not built. Four wait for room, each with its place and its
// charge; the rest wait their turn for a place, charged too. Once it
// reads, each is answered whole.
TEST_F(FileTransferEndToEnd, APeerThatDoesNotReadGetsNoMoreListings) {
    using platform::WorkLedger;
    wireSessions();
    const fs::path wide = platform::Folders::home() / "wide";
    // About a MiB a listing.
    constexpr size_t kEntries = 700;
    listingfolders::makeLongListingFolder(wide, kEntries);
    std::vector<std::unique_ptr<TestViewer>> viewers;
    viewers.push_back(connectViewer("Reader"));
    viewers.push_back(connectViewer("Reader too"));
    for (auto& viewer : viewers) viewer->stopReading();
    size_t arrived = 0;
    server->onFileTransferIncomingPacket = [&](FileTransferPacket p, const UUID& id) {
        ++arrived;
        host->handleIncomingPacket(std::move(p), id.uuidString());
    };
    size_t answered = 0;
    std::vector<uint8_t> wholeListing;
    bool allAlike = true;
    auto toServer = host->routedSendPacket.get();
    host->routedSendPacket = [&, toServer](FileTransferPacket p, const std::optional<std::string>& token) {
        if (p.op == FileTransferOp::listDirReply) {
            ++answered;
            if (wholeListing.empty()) wholeListing = p.data;
            allAlike = allAlike && p.data == wholeListing && p.path == wide.string();
        }
        return toServer(std::move(p), token);
    };
    const auto peer = server->queue.syncValue([&] { return server->ledgerOfSession(viewers[0]->session); });
    ASSERT_TRUE(peer);
    size_t mostSending = 0, mostHeld = 0;
    constexpr size_t kAsks = 80;
    for (size_t i = 0; i < kAsks; ++i) {
        viewers[i % 2]->service->sendPacket.get()({FileTransferOp::listDir, UUID::random(), 0, 0, "~/wide", {}});
        // However long the listings it caused take to make.
        ASSERT_TRUE(runUntil([&] { return arrived == i + 1; }, 60));
        runUntilIdle();
        mostSending = std::max(mostSending, peer->sendingBytes());
        mostHeld = std::max(mostHeld, peer->held(WorkLedger::Held::listings));
    }
    EXPECT_GT(mostSending, WorkLedger::kMaxSendingBytes / 2) << "the replies filled its room";
    EXPECT_LE(mostSending, WorkLedger::kMaxSendingBytes) << "over both its sessions";
    constexpr size_t places = WorkLedger::heldBound(WorkLedger::Held::listings);
    EXPECT_EQ(mostHeld, places) << "never more than its places held at once";
    ASSERT_LT(answered + places, kAsks) << "listings past its places waited";
    EXPECT_EQ(host->listingsComputedForTesting(), answered) << "none built past its room";
    EXPECT_EQ(peer->held(WorkLedger::Held::listings), places) << "four wait for room, each holding its place";
    EXPECT_EQ(peer->waitingFor(WorkLedger::Held::listings), kAsks - answered - places) << "the rest wait for a place";
    EXPECT_EQ(peer->jobsInUse(), kAsks - answered) << "each charged to its peer";

    for (auto& viewer : viewers) viewer->readAgain();
    EXPECT_TRUE(runUntil([&] {
        return answered == kAsks && peer->jobsInUse() == 0 && peer->sendingBytes() == 0 &&
               peer->held(WorkLedger::Held::listings) == 0;
    }, 30)) << answered << " answered, " << peer->jobsInUse() << " jobs, " << peer->sendingBytes()
            << " bytes waiting to be sent";
    EXPECT_TRUE(allAlike) << "each answered as the first";
    EXPECT_EQ(RemoteDirectoryEntry::decodeListing(wholeListing).size(), kEntries) << "the folder whole";
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

// A Viewer that sends copies side by side, each started before the first
// has ended: the ones past its places wait, and the frames of those already
// open are read on behind them, so every copy is saved and none cancelled.
// So too when the waiting copies' data comes first and is many times the
// Viewer's budget: it must not take the room the open copies' frames need
// to be read, and what the Host holds for the Viewer stays within what its
// account allows all along.
TEST_F(FileTransferEndToEnd, CopiesSentSideBySidePastTheirPlacesAreAllSaved) {
    wireSessions();
    struct Case {
        const char* name;
        // Another machine each, so each starts with an account of its own.
        const char* from;
        size_t bytesPerCopy;
        bool waitingCopiesFirst;
        // Past the Viewer's places.
        size_t waiting;
    };
    for (const Case& c : {Case{"small copies, in the order they started", "", 10, false, 4},
                          Case{"2 MiB copies, the waiting ones' data first", "127.0.0.2", size_t{2} << 20, true, 4},
                          Case{"300 small copies waiting, their data first", "127.0.0.3", 10, true, 300}}) {
        SCOPED_TRACE(c.name);
        hostCompleted.clear();
        auto viewer = connectViewer(c.name, c.from);
        auto send = viewer->service->sendPacket.get();
        const auto ledger = server->queue.syncValue([&] { return server->ledgerOfSession(viewer->session); });
        ASSERT_TRUE(ledger);
        const size_t places = platform::WorkLedger::heldBound(platform::WorkLedger::Held::batches);
        const size_t copies = places + c.waiting;
        const size_t chunk = std::min<size_t>(c.bytesPerCopy, 256 * 1024);
        // What the account holds for the Viewer, looked at whenever a chunk
        // is written, that is while the copies arrive (on a slow machine,
        // while they are still being sent); unhooked however the case ends.
        std::atomic<size_t> mostHeld = 0;
        host->setWriteHookForTesting([&](size_t) {
            size_t held = ledger->bytesInUse();
            for (size_t most = mostHeld; held > most && !mostHeld.compare_exchange_weak(most, held);) {
            }
        });
        struct Unhook {
            decltype(host)& of;
            ~Unhook() { of->setWriteHookForTesting(nullptr); }
        } unhook{host};
        std::vector<UUID> ids;
        for (size_t i = 0; i < copies; ++i) {
            ids.push_back(UUID::random());
            send({FileTransferOp::batchStart, ids.back(), c.bytesPerCopy, packBatchStartValue2(FileTransferIntent::copy, 1),
                  "", {}});
            send({FileTransferOp::fileStart, ids.back(), c.bytesPerCopy, 0, "f" + std::to_string(i) + ".bin", {}});
        }
        std::vector<size_t> order;
        if (c.waitingCopiesFirst)
            for (size_t i = places; i < copies; ++i) order.push_back(i);
        for (size_t i = 0; i < (c.waitingCopiesFirst ? places : copies); ++i) order.push_back(i);
        // A send fails once the Host reads none of the Viewer's backlog
        // for its bound: the rest would only fail the same way.
        for (size_t i : order) {
            const std::string name = "f" + std::to_string(i) + ".bin";
            bool sent = true;
            for (size_t at = 0; sent && at < c.bytesPerCopy; at += chunk)
                sent = send({FileTransferOp::fileChunk, ids[i], at, 0, name,
                             std::vector<uint8_t>(chunk, static_cast<uint8_t>(i))});
            sent = sent && send({FileTransferOp::fileEnd, ids[i], c.bytesPerCopy, 0, name, {}}) &&
                   send({FileTransferOp::batchEnd, ids[i], 0, 0, "", {}});
            ASSERT_TRUE(sent) << "copy " << i;
        }
        // Well before an open batch's idle time would end it.
        EXPECT_TRUE(runUntil([&] { return hostCompleted.size() == copies; }, 20))
            << hostCompleted.size() << " of " << copies;
        // Read and held, at most twice the budget, and one frame being read.
        EXPECT_GT(mostHeld, 0u);
        EXPECT_LE(mostHeld, 2 * ledger->limit() + chunk + FileTransferPacket::fixedSize + 64);
        for (const auto& [id, entries] : hostCompleted) {
            const auto i = static_cast<size_t>(std::find(ids.begin(), ids.end(), id) - ids.begin());
            ASSERT_LT(i, copies);
            ASSERT_EQ(entries.size(), 1u);
            EXPECT_EQ(fs::file_size(entries[0]), c.bytesPerCopy) << i;
        }
        size_t cancelled = 0;
        for (const auto& p : viewer->received) cancelled += p.op == FileTransferOp::cancelBatch;
        EXPECT_EQ(cancelled, 0u);
        EXPECT_TRUE(runUntil([&] {
            return ledger->jobsInUse() == 0 && ledger->waitingFor(platform::WorkLedger::Held::batches) == 0;
        })) << "what waited was given back";
    }
}

// Three machines open batches one after another and keep them open and
// idle, or all but idle: they hold all 32 places, 16, 11 and 5. A fourth
// machine's copy still takes a place, as soon as a batch counts as idle,
// from the machine furthest past its share, whose idle batch is cancelled
// as an idle batch is (its Viewer told, its staging removed); the others
// keep theirs. A small frame a second, to an open copy or to one waiting
// for a place, keeps no sender's places from counting as idle; a sender
// that streams, or sends many small frames, or sent a burst to a waiting
// copy just now, keeps them, and the next machine past its share gives.
TEST_F(FileTransferEndToEnd, AMachineThatCameLastTakesItsPlaceFromIdleBatchesKeptPastAShare) {
    wireSessions();
    host->givePlacesBackTo(server->batchPlaces());
    enum class Sends {
        nothing,
        smallFrames,
        smallFramesToAWaitingCopy,
        manySmallFrames,
        manyFolders,
        manyFoldersToAWaitingCopy,
        framesThatMoveNothingOn,
        framesThatMoveNothingOnToAWaitingCopy,
        stream,
        burstToAWaitingCopy
    };
    struct Case {
        const char* name;
        Sends sends;
        std::vector<size_t> cancels;
    };
    int round = 0;
    for (const Case& c : {Case{"all quiet", Sends::nothing, {1, 0, 0, 0}},
                          Case{"64 bytes a second to an open copy", Sends::smallFrames, {1, 0, 0, 0}},
                          Case{"64 bytes a second to a waiting copy", Sends::smallFramesToAWaitingCopy, {1, 0, 0, 0}},
                          Case{"64 frames a second", Sends::manySmallFrames, {0, 1, 0, 0}},
                          Case{"64 folders a second", Sends::manyFolders, {0, 1, 0, 0}},
                          Case{"64 folders a second to a waiting copy", Sends::manyFoldersToAWaitingCopy, {0, 1, 0, 0}},
                          Case{"64 frames a second that move nothing on", Sends::framesThatMoveNothingOn, {1, 0, 0, 0}},
                          Case{"64 frames a second that will move nothing on, to a waiting copy",
                               Sends::framesThatMoveNothingOnToAWaitingCopy, {1, 0, 0, 0}},
                          Case{"128 KiB a second", Sends::stream, {0, 1, 0, 0}},
                          Case{"a burst to a waiting copy right after a frame", Sends::burstToAWaitingCopy, {0, 1, 0, 0}}}) {
        SCOPED_TRACE(c.name);
        const std::string net = "127.0." + std::to_string(++round) + ".";
        const bool toAWaitingCopy = c.sends == Sends::smallFramesToAWaitingCopy || c.sends == Sends::burstToAWaitingCopy ||
                                    c.sends == Sends::manyFoldersToAWaitingCopy ||
                                    c.sends == Sends::framesThatMoveNothingOnToAWaitingCopy;
        hostCompleted.clear();
        std::vector<std::unique_ptr<TestViewer>> holders;
        std::vector<UUID> sentTo;
        std::vector<uint64_t> sentBytes(3, 0);
        size_t open = 0;
        for (const auto& [from, count] : {std::pair{net + "1", 16}, {net + "2", 11}, {net + "3", 5}}) {
            holders.push_back(connectViewer(from, from));
            for (int i = 0; i < count; ++i, ++open) {
                const UUID id = UUID::random();
                if (i == 0) sentTo.push_back(id);
                holders.back()->service->sendPacket.get()({FileTransferOp::batchStart, id, 1u << 30, 1, "", {}});
                holders.back()->service->sendPacket.get()({FileTransferOp::fileStart, id, 1u << 30, 0, "kept.bin", {}});
            }
            ASSERT_TRUE(runUntil([&] { return host->openInboundBatchCountForTesting() == open; })) << from;
        }
        ASSERT_EQ(server->batchPlaces()->held(), AuxAdmission::maxBatchesInAll);
        auto send = [&](size_t h, size_t bytes) {
            const bool waiting = h == 0 && toAWaitingCopy;
            holders[h]->service->sendPacket.get()({FileTransferOp::fileChunk, sentTo[h], sentBytes[h], 0,
                                                  waiting ? "big.bin" : "kept.bin", std::vector<uint8_t>(bytes, 1)});
            sentBytes[h] += bytes;
        };
        if (toAWaitingCopy) {
            // The first machine is at its own bound: its next copy waits,
            // and its first frame is kept aside.
            const auto first = server->queue.syncValue([&] { return server->ledgerOfSession(holders[0]->session); });
            sentTo[0] = UUID::random();
            holders[0]->service->sendPacket.get()({FileTransferOp::batchStart, sentTo[0], 1u << 30, 1, "", {}});
            holders[0]->service->sendPacket.get()({FileTransferOp::fileStart, sentTo[0], 1u << 30, 0, "big.bin", {}});
            ASSERT_TRUE(runUntil([&] { return first->waitingFor(platform::WorkLedger::Held::batches) == 1; }));
            send(0, 1);
            runUntilIdle();
        }
        auto staged = [&] { return std::distance(fs::directory_iterator(host->stagingRoot()), fs::directory_iterator()); };
        const auto stagedBefore = staged();

        auto newcomer = connectViewer("Newcomer", net + "4");
        fs::create_directories(source);
        std::ofstream(source / "newcomer.txt") << "saved";
        const uint64_t sentNs = platform::Clock::uptimeNs();
        newcomer->service->sendURLs({source / "newcomer.txt"}, FileTransferIntent::copy, std::nullopt, {}, std::nullopt);
        // A second of virtual time a look, and what the holders send in it.
        int second = 0;
        ASSERT_TRUE(runUntil(
            [&] {
                if (hostCompleted.size() == 1) return true;
                double left = 1;
                switch (c.sends) {
                    case Sends::nothing: break;
                    case Sends::smallFrames:
                    case Sends::smallFramesToAWaitingCopy:
                        for (size_t h = 0; h < holders.size(); ++h) send(h, 64);
                        break;
                    case Sends::manySmallFrames:
                        for (int i = 0; i < 64; ++i) send(0, 64);
                        break;
                    case Sends::manyFolders:
                    case Sends::manyFoldersToAWaitingCopy:
                        for (int i = 0; i < 64; ++i)
                            holders[0]->service->sendPacket.get()({FileTransferOp::mkdir, sentTo[0], 0, 0,
                                                                  "tree/" + std::to_string(second * 64 + i), {}});
                        break;
                    case Sends::framesThatMoveNothingOn:
                    case Sends::framesThatMoveNothingOnToAWaitingCopy: {
                        // 64 a second of each: an intent the Host does not
                        // know, a chunk past the file's end that fails it
                        // (and those after it, with no file open), a
                        // folder made before asked for again, new folders
                        // and files at paths the Host refuses, and files
                        // beneath a file. Nothing gets on, whether handled
                        // now or kept for later.
                        const std::string file = toAWaitingCopy ? "big.bin" : "kept.bin";
                        if (second == 0)
                            for (const auto op : {FileTransferOp::fileStart, FileTransferOp::fileEnd})
                                holders[0]->service->sendPacket.get()({op, sentTo[0], 0, 0, "f", {}});
                        for (int i = 0; i < 64; ++i) {
                            const std::string fresh = std::to_string(second * 64 + i);
                            for (const auto& frame :
                                 {FileTransferPacket{FileTransferOp::batchIntent, sentTo[0], 0xFF, 0, "", {}},
                                  FileTransferPacket{FileTransferOp::fileChunk, sentTo[0], 1u << 31, 0, file, {1}},
                                  FileTransferPacket{FileTransferOp::mkdir, sentTo[0], 0, 0, "again", {}},
                                  FileTransferPacket{FileTransferOp::mkdir, sentTo[0], 0, 0, "./" + fresh, {}},
                                  FileTransferPacket{FileTransferOp::mkdir, sentTo[0], 0, 0, fresh + "/", {}},
                                  FileTransferPacket{FileTransferOp::fileStart, sentTo[0], 1, 0, "../" + fresh, {}},
                                  FileTransferPacket{FileTransferOp::fileStart, sentTo[0], 1, 0, "f/" + fresh, {}}})
                                holders[0]->service->sendPacket.get()(frame);
                        }
                        break;
                    }
                    case Sends::stream: send(0, 128 << 10); break;
                    case Sends::burstToAWaitingCopy:
                        if (second > 0) break;
                        send(0, 64);
                        advance(0.5);
                        left -= 0.5;
                        send(0, 1 << 20);
                        break;
                }
                ++second;
                for (; left > 0; left -= 0.25) advance(0.25);
                return false;
            },
            60));
        EXPECT_LT(double(platform::Clock::uptimeNs() - sentNs) / 1e9,
                  FileTransferService::displaceableAfterIdleSeconds + 5);
        std::vector<size_t> cancels;
        for (const auto* viewer : {holders[0].get(), holders[1].get(), holders[2].get(), newcomer.get()})
            cancels.push_back(std::count_if(viewer->received.begin(), viewer->received.end(),
                                            [](const auto& p) { return p.op == FileTransferOp::cancelBatch; }));
        EXPECT_EQ(cancels, c.cancels);
        host->syncRemovalQueueForTesting();
        EXPECT_EQ(staged(), stagedBefore) << "the cancelled batch's folder went, the newcomer's came";
        holders.clear();
        newcomer.reset();
        ASSERT_TRUE(runUntil([&] { return server->batchPlaces()->held() == 0; }));
    }
}

// A logged-in Viewer names a thousand long destinations and opens batch
// after batch: the Host keeps its share bounded (past its places a batch
// waits, its frames on the Viewer's account), serves another Viewer
// meanwhile, and has nothing of it left once the Viewer has gone. A second
// machine flooding beside it takes no more than its share of the Host-wide
// batches, so the third machine's copy still finds a place, and is saved,
// not cancelled.
TEST_F(FileTransferEndToEnd, AThousandOpenBatchesTakeABoundedShareAndLeaveWithTheirViewer) {
    // As the delegate wires it: the engine knows each packet's session, and
    // an ended session's batches go with it.
    auto toHost = [this](FileTransferPacket p, const UUID& id) { host->handleIncomingPacket(std::move(p), id.uuidString()); };
    server->onFileTransferPacket = toHost;
    server->onFileTransferIncomingPacket = toHost;
    server->onFileTransferSessionEnded = [this](const UUID& id) { host->sessionEnded(id.uuidString()); };
    auto flooder = connectViewer("Flooder");
    auto neighbour = connectViewer("Flooder too", "127.0.0.3");
    // Another machine: the batches of one address share its bound.
    auto honest = connectViewer("Honest", "127.0.0.2");
    const fs::path staging = host->stagingRoot();
    runUntilIdle();
    const size_t idleDescriptors = openDescriptors();
    [[maybe_unused]] const int64_t idleResident = residentBytes();  // not compared under a sanitizer

    constexpr auto batches = platform::WorkLedger::Held::batches;
    size_t mostDescriptors = openDescriptors();
    // Up to a thousand batches from `viewer`, each named a long destination
    // first, until one waits for a place, its frames in staging on the
    // Viewer's account. How many it started.
    auto openUntilOneWaits = [&](TestViewer& viewer, const std::shared_ptr<platform::WorkLedger>& ledger) {
        auto send = viewer.service->sendPacket.get();
        int started = 0;
        for (; started < 1000 && ledger->waitingFor(batches) == 0; ++started) {
            const UUID id = UUID::random();
            send({FileTransferOp::directSave, id, 0, 0, "~/" + std::string(60 * 1024 - 2, 'd'), {}});
            send({FileTransferOp::batchStart, id, 10, 1, "", {}});
            send({FileTransferOp::fileStart, id, 10, 0, "f.bin", {}});
            // Until the Host took its start, or holds it waiting.
            const bool taken = runUntil([&] {
                return ledger->held(batches) > static_cast<size_t>(started) || ledger->waitingFor(batches) > 0;
            });
            EXPECT_TRUE(taken) << "batch " << started;
            if (!taken) break;
            runUntilIdle();
            mostDescriptors = std::max(mostDescriptors, openDescriptors());
        }
        return started;
    };
    const auto flood = server->queue.syncValue([&] { return server->ledgerOfSession(flooder->session); });
    ASSERT_TRUE(flood);
    // A thousand long destinations for batches that never come: its oldest
    // are dropped past its bound.
    for (int i = 0; i < 1000; ++i)
        flooder->service->sendPacket.get()({FileTransferOp::directSave, UUID::random(), 0, 0, std::string(60 * 1024, 'p'), {}});
    runUntilIdle();
    const int started = openUntilOneWaits(*flooder, flood);
    EXPECT_EQ(started, static_cast<int>(platform::WorkLedger::heldBound(batches)) + 1) << "the first past its places waits";
    EXPECT_EQ(flood->waitingFor(batches), 1u);
    EXPECT_LT(mostDescriptors, idleDescriptors + 40);
#ifndef NORVESSAL_SANITIZED_BUILD
    // What the bounds let the Viewer hold (4 MiB of destinations, 8 MiB of
    // packets read and held, 16 open batches with a 60 KiB destination each, in
    // the engine, the Host's entry and its row) and the heap's partly used
    // pages, which depend on how many arenas the machine's cores give
    // glibc; unbounded, the flood's 120 MB would all be here.
    EXPECT_LT(residentBytes() - idleResident, int64_t{32} << 20);
#endif
    EXPECT_EQ(host->openInboundBatchCountForTesting(), platform::WorkLedger::heldBound(platform::WorkLedger::Held::batches));
    EXPECT_LE(host->pendingDestinationCountForTesting() * 60 * 1024, FileTransferService::maxPendingDestinationBytesPerPeer);

    // A second machine does the same: with the first holding places, its
    // share of the Host-wide total is a third of it (the total divided
    // among the two machines and one more), and past it its batch waits as
    // past its own places.
    const auto neighbours = server->queue.syncValue([&] { return server->ledgerOfSession(neighbour->session); });
    ASSERT_TRUE(neighbours);
    const size_t share = (AuxAdmission::maxBatchesInAll + 2) / 3;
    EXPECT_EQ(openUntilOneWaits(*neighbour, neighbours), static_cast<int>(share) + 1);
    EXPECT_EQ(neighbours->held(batches), share);
    EXPECT_EQ(neighbours->waitingFor(batches), 1u);
    EXPECT_EQ(host->openInboundBatchCountForTesting(), platform::WorkLedger::heldBound(batches) + share);
    EXPECT_LT(host->openInboundBatchCountForTesting(), AuxAdmission::maxBatchesInAll) << "a place is left for a third";

    // A third machine's Viewer is served meanwhile: its copy takes a place
    // and is saved, never answered with a cancel.
    fs::create_directories(source);
    std::ofstream(source / "honest.txt") << "served";
    honest->service->sendURLs({source / "honest.txt"}, FileTransferIntent::copy, std::nullopt, {}, std::nullopt);
    ASSERT_TRUE(runUntil([&] { return hostCompleted.size() == 1; }));
    const fs::path honestFolder = hostCompleted[0].second.at(0).parent_path();
    for (const auto& packet : honest->received) EXPECT_NE(packet.op, FileTransferOp::cancelBatch);

    for (auto* viewer : {flooder.get(), neighbour.get()}) {
        viewer->connection->cancel();
        viewer->control->close();
    }
    ASSERT_TRUE(runUntil([&] { return host->openInboundBatchCountForTesting() == 0; }));
    host->syncRemovalQueueForTesting();
    runUntilIdle();
    std::vector<fs::path> left;
    for (auto& e : fs::directory_iterator(staging)) left.push_back(e.path());
    EXPECT_EQ(left, std::vector<fs::path>{honestFolder}) << "no staging of the Viewer that left";
    EXPECT_EQ(host->pendingDestinationCountForTesting(), 0u);
    flooder.reset();
    neighbour.reset();
    runUntilIdle();
    EXPECT_LE(openDescriptors(), idleDescriptors + 4);
}

}  // namespace

// A Viewer's data channel taken over by a new one with the same token (a
// reconnect), from `from`: what the Host bound, once it says so.
std::shared_ptr<FileTransferChannelConnection> rebindChannel(const std::shared_ptr<platform::VirtualRuntime>& runtime,
                                                             const LogCapture& log, TestViewer& v, const std::string& from) {
    auto conn = platform::TcpConnection::connect("127.0.0.1", v.endpointPort, from);
    auto channel = std::make_shared<FileTransferChannelConnection>(conn, platform::DispatchQueue("viewer.rebind"), "viewer",
                                                                   [](const std::string&) {});
    channel->onFrame = [](std::span<const uint8_t>) {};
    channel->start();
    const auto before = log.count("file aux: channel authorized");
    channel->sendFrame(v.endpointToken);
    EXPECT_TRUE(runtime->runUntil([&] { return log.count("file aux: channel authorized") > before; }, 10));
    return channel;
}

size_t cancelsReceived(const TestViewer& viewer) {
    return std::count_if(viewer.received.begin(), viewer.received.end(),
                         [](const auto& p) { return p.op == FileTransferOp::cancelBatch; });
}

// Three machines hold every batch place (16, 11 and 5, each copy open and
// idle or its sender busy), and a fourth waits for one. Places are taken
// back only for a wait that is still there, and only from a sender gone
// quiet: a copy queued behind its sender's other data is never cancelled,
// and a wait whose channel went is withdrawn with it rather than left to
// hold the next place and to cost another machine a copy.
TEST_F(FileTransferEndToEnd, PlacesGoBackOnlyToAWaitStillThereAndOnlyFromASenderGoneQuiet) {
    wireSessions();
    host->givePlacesBackTo(server->batchPlaces());
    using platform::WorkLedger;
    // What the first machine sends while a copy waits: the frames of its
    // first copy, its others behind it on the same channel; or those of a
    // copy of its own that waits for a place, none of its open copies
    // hearing from it. Each round's machines are others.
    for (const bool ownWaitingCopy : {false, true}) {
        SCOPED_TRACE(ownWaitingCopy ? "its own waiting copy's frames" : "its first copy's frames");
        const std::string net = ownWaitingCopy ? "127.0.1." : "127.0.0.";
        std::vector<std::unique_ptr<TestViewer>> holders;
        UUID streamed;
        size_t open = 0;
        for (const auto& [from, count] : {std::pair{net + "1", 16}, {net + "2", 11}, {net + "3", 5}}) {
            holders.push_back(connectViewer(from, from));
            for (int i = 0; i < count; ++i, ++open) {
                const UUID id = UUID::random();
                if (open == 0) streamed = id;
                holders.back()->service->sendPacket.get()({FileTransferOp::batchStart, id, 1u << 30, 1, "", {}});
                holders.back()->service->sendPacket.get()({FileTransferOp::fileStart, id, 1u << 30, 0, "big.bin", {}});
            }
            ASSERT_TRUE(runUntil([&] { return host->openInboundBatchCountForTesting() == open; })) << from;
        }
        ASSERT_EQ(server->batchPlaces()->held(), AuxAdmission::maxBatchesInAll);
        auto gone = connectViewer("Gone", net + "4");
        const auto goneLedger = server->queue.syncValue([&] { return server->ledgerOfSession(gone->session); });
        ASSERT_TRUE(goneLedger);
        gone->service->sendPacket.get()({FileTransferOp::batchStart, UUID::random(), 10, 1, "", {}});
        ASSERT_TRUE(runUntil([&] { return goneLedger->waitingFor(WorkLedger::Held::batches) == 1; }));
        auto replaced = rebindChannel(runtime, *log, *gone, net + "4");
        ASSERT_TRUE(runUntil([&] { return goneLedger->waitingFor(WorkLedger::Held::batches) == 0; }))
            << "the wait of a channel that went is left";
        if (ownWaitingCopy) {
            streamed = UUID::random();
            const auto first = server->queue.syncValue([&] { return server->ledgerOfSession(holders[0]->session); });
            holders[0]->service->sendPacket.get()({FileTransferOp::batchStart, streamed, 1u << 30, 1, "", {}});
            holders[0]->service->sendPacket.get()({FileTransferOp::fileStart, streamed, 1u << 30, 0, "big.bin", {}});
            ASSERT_TRUE(runUntil([&] { return first->waitingFor(WorkLedger::Held::batches) == 1; }));
        }
        // The first machine sends for 15 s, past the idle a copy needs to
        // give its place, while a fifth machine's copy waits.
        auto waiter = connectViewer("Waiter", net + "5");
        const auto waiterLedger = server->queue.syncValue([&] { return server->ledgerOfSession(waiter->session); });
        waiter->service->sendPacket.get()({FileTransferOp::batchStart, UUID::random(), 10, 1, "", {}});
        ASSERT_TRUE(runUntil([&] { return waiterLedger->waitingFor(WorkLedger::Held::batches) == 1; }));
        for (uint64_t at = 0; at < 60 * 65536; at += 65536) {
            holders[0]->service->sendPacket.get()(
                {FileTransferOp::fileChunk, streamed, at, 0, "big.bin", std::vector<uint8_t>(65536, 7)});
            advance(0.25);
        }
        runUntilIdle();
        EXPECT_EQ(cancelsReceived(*holders[0]), 0u) << "a copy of a sender that never went quiet";
        // The quiet ones give the waiter its place: one copy, from the
        // machine that holds the most past its share of those gone quiet.
        EXPECT_EQ(cancelsReceived(*holders[0]) + cancelsReceived(*holders[1]) + cancelsReceived(*holders[2]), 1u);
        EXPECT_EQ(waiterLedger->held(WorkLedger::Held::batches), 1u);
        EXPECT_EQ(server->batchPlaces()->held(), AuxAdmission::maxBatchesInAll) << "no place taken back and left empty";
        holders.clear();
        waiter.reset();
        gone.reset();
        replaced.reset();
        ASSERT_TRUE(runUntil([&] { return server->batchPlaces()->held() == 0; }));
    }
}

// Frames of waiting batches side by side in their file: what the disk
// holds for them is on the peer's account whatever order they are taken
// in, and nothing once none waits.
TEST_F(FileTransferEndToEnd, WhatWaitingFramesHoldOnTheDiskIsOnTheirPeersAccount) {
    auto v = connectViewer("Disk");
    const auto ledger = server->queue.syncValue([&] { return server->ledgerOfSession(v->session); });
    ASSERT_TRUE(ledger);
    auto waiting = std::make_shared<WaitingBatchFrames>(ledger);
    const auto onDisk = [] {
        uint64_t bytes = 0;
        for (const auto& e : fs::directory_iterator("/proc/self/fd")) {
            std::error_code ec;
            const auto target = fs::read_symlink(e.path(), ec).string();
            struct stat status {};
            if (!ec && target.find("VelantrixFileInbox") != std::string::npos &&
                target.find("(deleted)") != std::string::npos && ::stat(e.path().c_str(), &status) == 0)
                bytes += uint64_t(status.st_blocks) * 512;
        }
        return bytes;
    };
    const auto staged = [&] { return ledger->held(platform::WorkLedger::Held::stagedBytes); };
    const UUID a = UUID::random(), b = UUID::random();
    server->queue.sync([&] {
        waiting->addBatch(a, 0);
        waiting->addBatch(b, 0);
        for (uint64_t i = 0; i < 2000; ++i) {
            ASSERT_TRUE(waiting->add({FileTransferOp::fileChunk, a, i * 4000, 0, "a", std::vector<uint8_t>(4000, 1)}));
            ASSERT_TRUE(waiting->add({FileTransferOp::fileChunk, b, i, 0, "b", std::vector<uint8_t>(1, 2)}));
        }
    });
    EXPECT_LE(onDisk(), staged());
    server->queue.sync([&] {
        waiting->grant(a);
        size_t taken = 0;
        while (waiting->takeNext(a).packet) ++taken;
        EXPECT_EQ(taken, 2000u);
    });
    EXPECT_LE(onDisk(), staged()) << "blocks kept by the records taken beside the ones still waiting";
    // A third, cancelled while it waits among them: its blocks go back to
    // the disk while the second still keeps the file.
    const UUID c = UUID::random();
    const uint64_t beforeTheThird = onDisk();
    server->queue.sync([&] {
        waiting->addBatch(c, 0);
        for (uint64_t i = 0; i < 500; ++i)
            ASSERT_TRUE(waiting->add({FileTransferOp::fileChunk, c, i * 4000, 0, "c", std::vector<uint8_t>(65536, 3)}));
        waiting->drop(c);
    });
    EXPECT_LE(onDisk(), staged());
    // Given back a mebibyte at a time: at most a block kept at each seam.
    const uint64_t dropped = 500 * 65536;
    EXPECT_LE(onDisk(), beforeTheThird + ((dropped >> 20) + 2) * 4096) << "blocks of a dropped batch's records";
    server->queue.sync([&] {
        waiting->grant(b);
        size_t taken = 0;
        while (waiting->takeNext(b).packet) ++taken;
        EXPECT_EQ(taken, 2000u);
    });
    EXPECT_EQ(onDisk(), 0u);
    EXPECT_EQ(staged(), 0u);
}

// A waiting copy whose frames cannot be read back when its place comes
// (here its file is cut short, before its start or after it): the Viewer
// is told, the copies before it are saved, and every place comes back.
TEST_F(FileTransferEndToEnd, AWaitingCopyWhoseFramesAreLostIsCancelledAndGivesItsPlaceBack) {
    wireSessions();
    using platform::WorkLedger;
    for (const bool startLost : {true, false}) {
        SCOPED_TRACE(startLost ? "its start lost" : "a frame after its start lost");
        hostCompleted.clear();
        auto v = connectViewer("ReadBack", startLost ? "127.0.0.8" : "127.0.0.9");
        const auto ledger = server->queue.syncValue([&] { return server->ledgerOfSession(v->session); });
        ASSERT_TRUE(ledger);
        auto send = v->service->sendPacket.get();
        const size_t copies = WorkLedger::heldBound(WorkLedger::Held::batches) + 1;
        std::vector<UUID> ids;
        // The waiting frames' file, cut to `size` (or only measured).
        const auto cutTo = [&](std::optional<off_t> size) {
            off_t was = -1;
            server->queue.sync([&] {
                for (const auto& e : fs::directory_iterator("/proc/self/fd")) {
                    std::error_code ec;
                    const auto target = fs::read_symlink(e.path(), ec).string();
                    if (ec || target.find("VelantrixFileInbox") == std::string::npos ||
                        target.find("(deleted)") == std::string::npos)
                        continue;
                    const int fd = ::open(e.path().c_str(), O_RDWR);
                    struct stat status {};
                    if (fd >= 0 && ::fstat(fd, &status) == 0 && (!size || ::ftruncate(fd, *size) == 0)) was = status.st_size;
                    if (fd >= 0) ::close(fd);
                }
            });
            return was;
        };
        // The size of the file with its start alone in it.
        off_t startRecord = 0;
        for (size_t i = 0; i < copies; ++i) {
            ids.push_back(UUID::random());
            send({FileTransferOp::batchStart, ids.back(), 10, packBatchStartValue2(FileTransferIntent::copy, 1), "", {}});
            if (i + 1 == copies) {
                ASSERT_TRUE(runUntil([&] {
                    return ledger->waitingFor(WorkLedger::Held::batches) == 1 && (startRecord = cutTo({})) > 0;
                }));
            }
            send({FileTransferOp::fileStart, ids.back(), 10, 0, "f" + std::to_string(i) + ".bin", {}});
        }
        ASSERT_TRUE(runUntil([&] { return cutTo({}) > startRecord; }));
        ASSERT_GT(cutTo(startLost ? 0 : startRecord), 0);
        for (size_t i = 0; i < copies; ++i) {
            const std::string name = "f" + std::to_string(i) + ".bin";
            send({FileTransferOp::fileChunk, ids[i], 0, 0, name, std::vector<uint8_t>(10, 1)});
            send({FileTransferOp::fileEnd, ids[i], 10, 0, name, {}});
            send({FileTransferOp::batchEnd, ids[i], 0, 0, "", {}});
        }
        const auto toldLost = [&] {
            return std::any_of(v->received.begin(), v->received.end(), [&](const auto& p) {
                return p.op == FileTransferOp::cancelBatch && p.batchID == ids.back();
            });
        };
        EXPECT_TRUE(runUntil([&] { return hostCompleted.size() == copies - 1 && toldLost(); }))
            << hostCompleted.size() << " saved";
        EXPECT_TRUE(runUntil([&] {
            return ledger->held(WorkLedger::Held::batches) == 0 && server->batchPlaces()->held() == 0 &&
                   host->openInboundBatchCountForTesting() == 0;
        })) << ledger->held(WorkLedger::Held::batches) << " places held";
        EXPECT_TRUE(std::none_of(hostCompleted.begin(), hostCompleted.end(),
                                 [&](const auto& done) { return done.first == ids.back(); }));
    }
}

// What a waiting batch's frames are judged to do, before they are handled,
// is what the receiver then does with them, frame by frame: whatever a
// sender tries, no frame judged to move its copy on (and so to keep its
// places) leaves the copy where it was once handled, and an honest tree's
// frames are judged as moving it on as they do.
class WaitingFramesJudgement : public VirtualTimeTest {};

TEST_F(WaitingFramesJudgement, EachFrameIsJudgedAsTheReceiverHandlesIt) {
    using Op = FileTransferOp;
    const auto frame = [](Op op, std::string path, uint64_t value = 0, std::string data = {}) {
        return FileTransferPacket{op, {}, value, 0, std::move(path), {data.begin(), data.end()}};
    };
    const auto wholeFile = [&](const std::string& path) {
        return std::vector<FileTransferPacket>{frame(Op::fileStart, path, 2), frame(Op::fileChunk, path, 0, "ab"),
                                               frame(Op::fileEnd, path, 2)};
    };
    std::string deepest;
    for (size_t i = 0; i < FileTransferService::maxReceivedPathDepth; ++i) deepest += i ? "/d" : "d";
    struct Sequence {
        const char* name;
        std::vector<std::vector<FileTransferPacket>> parts;
    };
    std::vector<Sequence> sequences = {
        {"an honest tree",
         {{frame(Op::mkdir, "top"), frame(Op::mkdir, "top/sub")}, wholeFile("top/a"), wholeFile("top/sub/b"),
          {frame(Op::mkdir, "top/empty"), frame(Op::fileStart, "empty", 0), frame(Op::fileEnd, "empty", 0)}}},
        {"files before their folders", {wholeFile("x/y/z"), {frame(Op::mkdir, "x"), frame(Op::mkdir, "x/y"),
                                                              frame(Op::mkdir, "x/w")}}},
        {"unsafe spellings",
         {{frame(Op::mkdir, "./a"), frame(Op::mkdir, "a/"), frame(Op::mkdir, "a//b"), frame(Op::mkdir, "../a"),
           frame(Op::fileStart, "/abs", 1), frame(Op::fileChunk, "/abs", 0, "x"), frame(Op::fileEnd, "/abs", 1),
           frame(Op::mkdir, deepest + "/e"), frame(Op::mkdir, std::string(FileTransferService::maxReceivedNameBytes + 1, 'n'))}}},
        {"beneath and over a file",
         {wholeFile("f"),
          {frame(Op::mkdir, "f"), frame(Op::mkdir, "f/a"), frame(Op::mkdir, "f/b/c"), frame(Op::fileStart, "f/g", 1),
           frame(Op::fileChunk, "f/g", 0, "x"), frame(Op::fileEnd, "f/g", 1)}}},
        {"a file ended over a folder", {{frame(Op::mkdir, "d"), frame(Op::fileStart, "o", 1), frame(Op::mkdir, "o")},
                                         wholeFile("d"),
                                         {frame(Op::fileChunk, "o", 0, "x"), frame(Op::fileEnd, "o", 1)}}},
        {"a file past the disk's free space",
         {{frame(Op::fileStart, "huge", uint64_t{1} << 62), frame(Op::fileChunk, "huge", 0, "x"),
           frame(Op::fileChunk, "huge", 1, "x")}}},
        {"out of order, past the size, another file's",
         {{frame(Op::fileStart, "s", 2), frame(Op::fileChunk, "s", 1, "x"), frame(Op::fileChunk, "s", 0, "x"),
           frame(Op::fileStart, "t", 1), frame(Op::fileChunk, "t", 0, "xy"), frame(Op::fileStart, "u", 1),
           frame(Op::fileChunk, "v", 0, "x"), frame(Op::fileEnd, "u", 1)}}},
    };
    // Started again: the receiver begins the batch afresh.
    sequences.push_back({"started again", {{frame(Op::mkdir, "a")}, wholeFile("g"),
                                           {FileTransferPacket{Op::batchStart, {}, 0,
                                                               packBatchStartValue2(FileTransferIntent::copy, 1), "", {}},
                                            frame(Op::mkdir, "a"), frame(Op::mkdir, "g"), frame(Op::mkdir, "g/x")}}});
    // As many files as a batch remembers, then new folders: files never
    // take the folders' places among what is remembered.
    Sequence manyFiles{"past the files remembered", {}};
    for (size_t i = 0; i < WaitingBatchFrames::maxPathsJudged + 1; ++i)
        manyFiles.parts.push_back({frame(Op::fileStart, "e" + std::to_string(i), 0),
                                   frame(Op::fileEnd, "e" + std::to_string(i), 0)});
    manyFiles.parts.push_back({frame(Op::mkdir, "late"), frame(Op::mkdir, "late/x")});
    sequences.push_back(std::move(manyFiles));
    auto receiver = std::make_shared<FileTransferService>("Viewer", 262144);
    for (const auto& sequence : sequences) {
        SCOPED_TRACE(sequence.name);
        const UUID id = UUID::random();
        WaitingBatchFrames judge(nullptr);
        judge.addBatch(id, 0);
        receiver->handleIncomingPacket(
            {Op::batchStart, id, 0, packBatchStartValue2(FileTransferIntent::copy, 1), "", {}});
        runUntilIdle();
        size_t movedOn = 0, frames = 0;
        for (const auto& part : sequence.parts) {
            frames += part.size();
            for (auto packet : part) {
                packet.batchID = id;
                // The judgement needs its file open, as once the frame is kept.
                ASSERT_TRUE(judge.add(packet));
                const bool judged = judge.movesTheCopyOn(packet);
                const auto before = receiver->batchProgressForTesting("", id);
                receiver->handleIncomingPacket(packet);
                runUntilIdle();
                const auto after = receiver->batchProgressForTesting("", id);
                ASSERT_TRUE(before && after);
                EXPECT_EQ(judged, *after > *before) << int(packet.op) << " \"" << packet.path.substr(0, 40) << "\"";
                movedOn += judged;
            }
        }
        // Every frame of an honest tree moves its copy on.
        if (std::string(sequence.name) == "an honest tree") {
            EXPECT_EQ(movedOn, frames);
        }
        receiver->handleIncomingPacket({Op::cancelBatch, id, 0, 0, "", {}});
        runUntilIdle();
        judge.clear();
    }
}
