// What peer sessions may keep open on the receiving side of the engine:
// open batches per session and in all, idle batches, what an ended session
// leaves, the bounded bookkeeping of names a peer sends ahead, staging
// that a planted link cannot redirect, listings and queued bytes per
// session, and sends for a session that ended.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>

#include "Platform/Files/Folders.h"
#include "Platform/Runtime/WorkLedger.h"
#include "Support/ChildConditions.h"
#include "Support/TestSupport.h"
#include "VelantrixProfiles/FileTransfer/FileTransferService.h"
#include "VelantrixProfiles/FileTransfer/FileTransferStagedItems.h"

namespace fs = std::filesystem;
using platform::UUID;
using Held = platform::WorkLedger::Held;

namespace {

// Listings a peer may have waiting, being made or waiting for room.
constexpr size_t kListingsPerPeer = platform::WorkLedger::heldBound(platform::WorkLedger::Held::listings);

class InboundLimits : public VirtualTimeTest {
protected:
    std::shared_ptr<FileTransferService> receiver = std::make_shared<FileTransferService>("Viewer", 262144);
    // What the receiver sent back, with the session it was routed to.
    std::vector<std::pair<FileTransferPacket, std::optional<std::string>>> replies;
    std::vector<std::string> lines;
    std::vector<UUID> abandoned;
    struct Completed {
        UUID id;
        std::vector<fs::path> entries;
    };
    std::vector<Completed> completed;

    InboundLimits() {
        receiver->routedSendPacket = [this](FileTransferPacket p, const std::optional<std::string>& token) {
            replies.emplace_back(std::move(p), token);
            return true;
        };
        receiver->onLogLine = [this](const std::string& line) { lines.push_back(line); };
        receiver->onInboundBatchAbandoned = [this](const UUID& id) { abandoned.push_back(id); };
        receiver->onBatchCompleted = [this](const UUID& id, const std::vector<fs::path>& entries, FileTransferIntent,
                                            const FileTransferDeliveryResult&, ReceivedBatchHoldings&) { completed.push_back({id, entries}); };
    }

    void packet(const std::string& session, FileTransferOp op, const UUID& id, std::string path = {},
                uint64_t value1 = 0) {
        receiver->handleIncomingPacket({op, id, value1, 0, std::move(path), {}}, session);
    }
    // A batch that starts a file and never ends it.
    UUID openBatch(const std::string& session) {
        const UUID id = UUID::random();
        packet(session, FileTransferOp::batchStart, id);
        packet(session, FileTransferOp::fileStart, id, "f.bin", 10);
        return id;
    }
    // A whole batch of one file of one byte, from session "A".
    void receiveOneByteFile(const UUID& id, const std::string& path) {
        packet("A", FileTransferOp::batchStart, id);
        packet("A", FileTransferOp::fileStart, id, path, 1);
        receiver->handleIncomingPacket({FileTransferOp::fileChunk, id, 0, 0, path, {'x'}}, "A");
        packet("A", FileTransferOp::fileEnd, id, path, 1);
        packet("A", FileTransferOp::batchEnd, id);
        runUntilIdle();
    }
    std::vector<UUID> cancelsSentTo(const std::string& session) const {
        std::vector<UUID> out;
        for (const auto& [p, token] : replies)
            if (p.op == FileTransferOp::cancelBatch && token == session) out.push_back(p.batchID);
        return out;
    }
    size_t stagedFolders() {
        receiver->syncRemovalQueueForTesting();
        runUntilIdle();
        const auto root = receiver->stagingRoot();
        return static_cast<size_t>(std::distance(fs::directory_iterator(root), fs::directory_iterator()));
    }
};

TEST_F(InboundLimits, BatchesPastSixteenAPeerOrThirtyTwoInAllAreRefusedToTheirSender) {
    receiver->stagingRoot();
    const size_t idle = openDescriptors();
    const size_t perPeer = platform::WorkLedger::heldBound(Held::batches);
    std::map<std::string, std::shared_ptr<platform::WorkLedger>> peers;
    struct Step {
        std::string session;
        std::string peer;
        size_t batches;
        size_t refused;
    };
    // Two peers fill the Host, the first over two sessions; a third finds
    // no room left.
    const Step steps[] = {{"A", "192.0.2.1", perPeer - 4, 0},
                          {"B", "192.0.2.1", 6, 2},
                          {"C", "192.0.2.2", perPeer, 0},
                          {"E", "192.0.2.3", 3, 3}};
    for (const auto& step : steps) {
        auto& ledger = peers[step.peer];
        if (!ledger) ledger = std::make_shared<platform::WorkLedger>(step.peer, size_t{1} << 30, 100000);
        {
            const platform::WorkLedger::Charged charged(ledger);
            for (size_t i = 0; i < step.batches; ++i) openBatch(step.session);
        }
        runUntilIdle();
        EXPECT_EQ(cancelsSentTo(step.session).size(), step.refused) << step.session;
    }
    EXPECT_EQ(receiver->openInboundBatchCountForTesting(), FileTransferService::maxOpenInboundBatches);
    // A batch holds its folder and the file being written, nothing more,
    // each on its peer's account.
    EXPECT_LE(openDescriptors(), idle + 2 * FileTransferService::maxOpenInboundBatches);
    for (const char* peer : {"192.0.2.1", "192.0.2.2"}) {
        EXPECT_EQ(peers[peer]->held(Held::batches), perPeer) << peer;
        EXPECT_EQ(peers[peer]->held(Held::descriptors), 2 * perPeer) << peer;
    }
    EXPECT_EQ(peers["192.0.2.3"]->held(Held::batches), 0u);
    ASSERT_EQ(lines.size(), 1u) << "five refusals within a second make one line";
    ASSERT_FALSE(cancelsSentTo("B").empty());
    EXPECT_EQ(lines[0], "file transfer: too many open batches; refused batch " + cancelsSentTo("B")[0].id8());
    advance(1.0);
    UUID late;
    {
        const platform::WorkLedger::Charged charged(peers["192.0.2.3"]);
        late = openBatch("E");
    }
    runUntilIdle();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "file transfer: too many open batches; refused batch " + late.id8());

    // When a session ends, room opens for others, and its peer's account
    // holds only what its other session still has.
    receiver->sessionEnded("A");
    runUntilIdle();
    EXPECT_EQ(peers["192.0.2.1"]->held(Held::batches), 4u);
    EXPECT_EQ(peers["192.0.2.1"]->held(Held::descriptors), 8u);
    {
        const platform::WorkLedger::Charged charged(peers["192.0.2.3"]);
        openBatch("E");
    }
    runUntilIdle();
    EXPECT_EQ(cancelsSentTo("E").size(), 4u);
    EXPECT_EQ(peers["192.0.2.3"]->held(Held::batches), 1u);
}

// Whatever road a peer's batches take (completed and let go of by their
// owner, cancelled, idle, ended with their session, started again, their
// files failed or whole), the peer's account holds, after every step, what
// is really there: a place for each batch open or still kept by the owner,
// the bytes in staging as the disk has them, a descriptor for each folder
// and file held open; also when its other work leaves it little room, and
// batches are refused and files fail for want of it. Once all of them have
// ended it holds nothing of theirs.
TEST_F(InboundLimits, APeersAccountHoldsWhatItsBatchesReallyHoldOnEveryRoad) {
    const fs::path staging = receiver->stagingRoot();
    const size_t idleDescriptors = openDescriptors();
    // The owner keeps a completed batch's items, and what it holds, until
    // it lets go of it, as the Host does.
    struct Kept {
        UUID id;
        std::vector<fs::path> items;
        ReceivedBatchHoldings held;
    };
    std::vector<Kept> kept;
    receiver->onBatchCompleted = [&](const UUID& id, const std::vector<fs::path>& items, FileTransferIntent,
                                     const FileTransferDeliveryResult&, ReceivedBatchHoldings& held) {
        kept.push_back({id, items, std::move(held)});
    };
    auto letGo = [&](size_t index) {
        Kept gone = std::move(kept[index]);
        kept.erase(kept.begin() + static_cast<std::ptrdiff_t>(index));
        FileTransferStagedItems::remove(gone.items);
        FileTransferStagedItems::removeBatchFolderOf(gone.items);
        receiver->releaseInboundBatch(gone.id);
    };
    auto stagedOnDisk = [&] {
        uint64_t bytes = 0;
        for (const auto& entry : fs::recursive_directory_iterator(staging))
            if (entry.is_regular_file()) bytes += entry.file_size();
        return bytes;
    };
    auto settle = [&] {
        runUntilIdle();
        receiver->syncRemovalQueueForTesting();
        runUntilIdle();
    };
    // The file each batch is sending, as its sender knows it.
    struct Sending {
        std::string path;
        uint64_t size = 0, sent = 0;
    };
    std::vector<std::string> said;
    receiver->onStatus = [&](const std::string& line) { said.push_back(line); };
    // The hooks let go of what they write into before it goes, whichever
    // way the test ends.
    struct Unhook {
        FileTransferService& service;
        ~Unhook() {
            service.onBatchCompleted = nullptr;
            service.onStatus = nullptr;
        }
    } unhook{*receiver};
    const std::string sessions[] = {"A", "B", "C"};
    const UUID ids[] = {UUID::random(), UUID::random()};
    // What the peer's other work holds, by seed: nothing, all descriptors
    // but the two one batch's folder is made with, all staged bytes but a
    // chunk's.
    const std::pair<Held, size_t> others[] = {
        {Held::batches, 0},
        {Held::descriptors, platform::WorkLedger::heldBound(Held::descriptors) - 2},
        {Held::stagedBytes, platform::WorkLedger::heldBound(Held::stagedBytes) - 40000}};
    for (const uint32_t seed : {0u, 1u, 2u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 random(seed);
        auto ledger = std::make_shared<platform::WorkLedger>("192.0.2.1", size_t{1} << 30, 100000);
        const Held otherKind = others[seed].first;
        const size_t otherAmount = others[seed].second;
        auto other = platform::WorkLedger::Holding::take(ledger, otherKind, otherAmount);
        auto ofBatches = [&](Held kind) { return ledger->held(kind) - (kind == otherKind ? otherAmount : 0); };
        said.clear();
        lines.clear();
        auto below = [&](uint64_t n) { return std::uniform_int_distribution<uint64_t>(0, n - 1)(random); };
        std::map<std::pair<std::string, UUID>, Sending> sending;
        size_t files = 0;
        // Mostly the batch of the step before, so that batches get far.
        size_t sender = 0;
        // Packets of a batch far more often than the roads that end many.
        std::discrete_distribution<int> roads({2, 3, 9, 2, 1, 2, 1, 1, 2});
        for (int step = 0; step < 500; ++step) {
            if (below(4) == 0) sender = below(6);
            const std::string& session = sessions[sender % 3];
            const UUID& id = ids[sender % 2];
            auto& file = sending[{session, id}];
            auto send = [&](FileTransferOp op, uint64_t value1 = 0, std::string path = {}, size_t bytes = 0) {
                const platform::WorkLedger::Charged charged(ledger);
                receiver->handleIncomingPacket({op, id, value1, 0, std::move(path), std::vector<uint8_t>(bytes, 'b')},
                                               session);
            };
            std::string road;
            switch (roads(random)) {
                case 0: road = "batchStart"; send(FileTransferOp::batchStart); break;
                case 1:
                    road = "fileStart";
                    file = {(below(2) ? "d/f" : "f") + std::to_string(++files), 1 + below(100000), 0};
                    send(FileTransferOp::fileStart, file.size, file.path);
                    break;
                case 2: {
                    road = "fileChunk";
                    // Mostly in order and within the size; now and then
                    // out of order or past it, which fails the file.
                    const uint64_t left = file.size - std::min(file.size, file.sent);
                    const uint64_t length = below(8) == 0 ? left + 1 : std::min<uint64_t>(left, 1 + below(65536));
                    send(FileTransferOp::fileChunk, below(8) == 0 ? file.sent + 1 : file.sent, file.path, length);
                    file.sent += length;
                    break;
                }
                case 3: road = "fileEnd"; send(FileTransferOp::fileEnd, file.size, file.path); break;
                case 4: road = "mkdir"; send(FileTransferOp::mkdir, 0, "d"); break;
                case 5: road = "batchEnd"; send(FileTransferOp::batchEnd); break;
                case 6: road = "cancelBatch"; send(FileTransferOp::cancelBatch); break;
                case 7:
                    road = below(3) ? "session ended" : "idle";
                    if (road == "idle") {
                        advance(FileTransferService::inboundBatchIdleSeconds + 1);
                    } else {
                        receiver->sessionEnded(session);
                    }
                    break;
                case 8:
                    road = "owner lets go";
                    if (!kept.empty()) letGo(below(kept.size()));
                    break;
            }
            settle();
            SCOPED_TRACE("step " + std::to_string(step) + ": " + road);
            ASSERT_EQ(ofBatches(Held::batches), receiver->openInboundBatchCountForTesting() + kept.size());
            ASSERT_EQ(ofBatches(Held::stagedBytes), stagedOnDisk());
            ASSERT_EQ(ofBatches(Held::descriptors), openDescriptors() - idleDescriptors);
        }
        for (const auto& session : sessions) receiver->sessionEnded(session);
        while (!kept.empty()) letGo(0);
        settle();
        // Where little room was left, it ran out on the way, and was said.
        auto anySays = [](const std::vector<std::string>& texts, const std::string& text) {
            return std::any_of(texts.begin(), texts.end(),
                               [&](const std::string& t) { return t.find(text) != std::string::npos; });
        };
        if (otherKind == Held::descriptors) {
            EXPECT_TRUE(anySays(lines, "file transfer: too many open descriptors; refused batch "));
            EXPECT_TRUE(anySays(said, "\": too many open descriptors"));
            EXPECT_FALSE(anySays(said, "could not be staged: ")) << "a batch its peer could not stage was refused";
        }
        if (otherKind == Held::stagedBytes) {
            EXPECT_TRUE(anySays(said, "\": write: no room left in its peer's staging"));
        }
        for (const Held kind : {Held::batches, Held::stagedBytes, Held::descriptors})
            EXPECT_EQ(ofBatches(kind), 0u) << platform::WorkLedger::heldName(kind);
        EXPECT_TRUE(fs::is_empty(staging));
        EXPECT_EQ(openDescriptors(), idleDescriptors);
    }
}

// Sessions of one peer (its work charged to one ledger, as the Host does
// for every Viewer address) share the per-peer bounds: more sessions buy no
// more open batches nor listings; another peer keeps its own.
TEST_F(InboundLimits, SessionsOfOnePeerShareItsBatchesAndListings) {
    fs::create_directories(platform::Folders::home() / "listed");
    auto peer = std::make_shared<platform::WorkLedger>("192.0.2.1", size_t{1} << 30, 100000);
    auto other = std::make_shared<platform::WorkLedger>("192.0.2.2", size_t{1} << 30, 100000);
    auto asPeer = [&](const std::shared_ptr<platform::WorkLedger>& ledger, auto work) {
        const platform::WorkLedger::Charged charged(ledger);
        work();
    };
    const size_t perPeer = platform::WorkLedger::heldBound(Held::batches);
    for (const char* session : {"A", "B"})
        asPeer(peer, [&] {
            for (size_t i = 0; i < perPeer; ++i) openBatch(session);
        });
    asPeer(other, [&] { openBatch("D"); });
    runUntilIdle();
    EXPECT_EQ(cancelsSentTo("A").size(), 0u);
    EXPECT_EQ(cancelsSentTo("B").size(), perPeer);
    EXPECT_EQ(cancelsSentTo("D").size(), 0u) << "another peer has its own";

    asPeer(peer, [&] {
        for (const char* session : {"A", "B", "C"})
            for (size_t i = 0; i < kListingsPerPeer; ++i)
                packet(session, FileTransferOp::listDir, UUID::random(), "~/listed");
    });
    EXPECT_EQ(peer->held(Held::listings), kListingsPerPeer);
    EXPECT_EQ(peer->waitingFor(Held::listings), 2 * kListingsPerPeer) << "more sessions buy no more places";
    runUntilIdle();
    EXPECT_EQ(receiver->listingsComputedForTesting(), 3 * kListingsPerPeer) << "each waited its turn";
}

TEST_F(InboundLimits, AnEndedSessionLeavesNoBatchNoStagingAndNoPendingNames) {
    receiver->stagingRoot();
    const size_t idle = openDescriptors();
    std::vector<UUID> ofA;
    for (int i = 0; i < 3; ++i) ofA.push_back(openBatch("A"));
    // One of them named a destination first, one is a plain copy.
    const UUID named = UUID::random();
    packet("A", FileTransferOp::directSave, named, "~/Inbox", 0);
    packet("A", FileTransferOp::batchStart, named);
    ofA.push_back(named);
    packet("A", FileTransferOp::directSave, UUID::random(), "~/Later");
    packet("A", FileTransferOp::cancelBatch, UUID::random());
    const UUID ofB = openBatch("B");
    packet("B", FileTransferOp::directSave, UUID::random(), "~/B");
    runUntilIdle();
    ASSERT_EQ(stagedFolders(), 5u);

    receiver->sessionEnded("A");
    runUntilIdle();
    std::sort(ofA.begin(), ofA.end());
    std::sort(abandoned.begin(), abandoned.end());
    EXPECT_EQ(abandoned, ofA);
    EXPECT_TRUE(cancelsSentTo("A").empty()) << "nobody is left to tell";
    EXPECT_EQ(receiver->openInboundBatchCountForTesting(), 1u);
    EXPECT_EQ(receiver->pendingDestinationCountForTesting(), 1u) << "B's pending destination stays";
    EXPECT_EQ(receiver->peerCancelledCountForTesting(), 0u);
    EXPECT_EQ(stagedFolders(), 1u);
    EXPECT_TRUE(receiver->intent(ofB).has_value()) << "B's batch stays open";

    receiver->sessionEnded("B");
    runUntilIdle();
    EXPECT_EQ(stagedFolders(), 0u);
    EXPECT_EQ(receiver->pendingDestinationCountForTesting(), 0u);
    EXPECT_LE(openDescriptors(), idle);
}

// A failed batch's staging that could not be removed (the process was out
// of descriptors) is tried again, after a pause or at the next removal,
// until nothing of it stays.
TEST_F(InboundLimits, StagingAFailedRemovalLeftIsTriedAgainUntilNothingStays) {
    receiver->stagingRoot();
    auto cancelWhileOutOfDescriptors = [&](const std::vector<UUID>& batches) {
        for (const auto& id : batches) packet("A", FileTransferOp::cancelBatch, id);
        // Dropped on the receiving queue; their removals wait on theirs.
        receiver->openInboundBatchCountForTesting();
        platform::testing::DescriptorsUsedUp usedUp;
        ASSERT_TRUE(usedUp.reached());
        receiver->syncRemovalQueueForTesting();
    };
    cancelWhileOutOfDescriptors({openBatch("A"), openBatch("A")});
    EXPECT_EQ(stagedFolders(), 2u) << "the removals failed";
    EXPECT_EQ(receiver->stagingLeftForTesting(), 2u);
    advance(FileTransferService::stagingRemovalRetrySeconds);
    EXPECT_EQ(stagedFolders(), 0u) << "tried again after a pause";
    EXPECT_EQ(receiver->stagingLeftForTesting(), 0u);

    cancelWhileOutOfDescriptors({openBatch("A")});
    EXPECT_EQ(stagedFolders(), 1u);
    const UUID next = openBatch("A");
    packet("A", FileTransferOp::cancelBatch, next);
    EXPECT_EQ(stagedFolders(), 0u) << "tried again with the next batch's removal";
    EXPECT_EQ(receiver->stagingLeftForTesting(), 0u);
}

TEST_F(InboundLimits, ABatchWithoutAPacketForTwoMinutesIsCancelled) {
    const UUID quiet = openBatch("A");
    const UUID busy = openBatch("A");
    advance(100);
    packet("A", FileTransferOp::fileChunk, busy, "f.bin", 0);  // any packet counts
    advance(20.5);
    EXPECT_EQ(abandoned, std::vector<UUID>{quiet});
    EXPECT_EQ(cancelsSentTo("A"), std::vector<UUID>{quiet}) << "the sender hears of it";
    advance(99);
    EXPECT_EQ(abandoned.size(), 1u);
    advance(1);
    EXPECT_EQ(abandoned.size(), 2u);
    EXPECT_EQ(stagedFolders(), 0u);
}

TEST_F(InboundLimits, NamesSentAheadAreBoundedOldestFirst) {
    struct BoundCase {
        FileTransferOp op;
        size_t pathBytes;
        size_t bound;
        std::function<size_t()> held;
    };
    auto destinations = [&] { return receiver->pendingDestinationCountForTesting(); };
    const BoundCase cases[] = {
        {FileTransferOp::directSave, 100, FileTransferService::maxPendingDestinationsPerPeer, destinations},
        // Long destinations are bounded by their bytes first.
        {FileTransferOp::directSave, 60 * 1024, FileTransferService::maxPendingDestinationBytesPerPeer / (60 * 1024),
         destinations},
        {FileTransferOp::cancelBatch, 60 * 1024, FileTransferService::maxPeerCancelledBatches,
         [&] { return receiver->peerCancelledCountForTesting(); }},
    };
    for (const auto& c : cases) {
        std::vector<UUID> ids;
        for (size_t i = 0; i < c.bound + 44; ++i) {
            ids.push_back(UUID::random());
            packet("A", c.op, ids.back(), std::string(c.pathBytes, 'p'));
        }
        runUntilIdle();
        EXPECT_EQ(c.held(), c.bound);
        receiver->sessionEnded("A");
        runUntilIdle();
        EXPECT_EQ(c.held(), 0u);
    }
    // The newest named destination is still the one its batch finds.
    const UUID kept = UUID::random();
    for (int i = 0; i < 300; ++i) packet("A", FileTransferOp::directSave, i == 299 ? kept : UUID::random(), "/d");
    packet("A", FileTransferOp::batchStart, kept);
    runUntilIdle();
    EXPECT_EQ(receiver->destinationHint(kept), "/d");
}

// A peer's destinations are bounded over all its sessions, and its flood
// pushes out only its own: another peer's destination waits for its batch.
TEST_F(InboundLimits, ADirectSaveFloodPushesOutOnlyItsOwnPeersDestinations) {
    auto flooder = std::make_shared<platform::WorkLedger>("192.0.2.1", size_t{1} << 30, 100000);
    auto other = std::make_shared<platform::WorkLedger>("192.0.2.2", size_t{1} << 30, 100000);
    const UUID waiting = UUID::random();
    {
        const platform::WorkLedger::Charged charged(other);
        packet("C", FileTransferOp::directSave, waiting, "/waiting");
    }
    {
        const platform::WorkLedger::Charged charged(flooder);
        for (const char* session : {"A", "B"})
            for (size_t i = 0; i < FileTransferService::maxPendingDestinationsPerPeer + 44; ++i)
                packet(session, FileTransferOp::directSave, UUID::random(), "/flood");
    }
    runUntilIdle();
    EXPECT_EQ(receiver->pendingDestinationCountForTesting(), FileTransferService::maxPendingDestinationsPerPeer + 1)
        << "the flooding peer's sessions share one bound";
    {
        const platform::WorkLedger::Charged charged(other);
        packet("C", FileTransferOp::batchStart, waiting);
    }
    runUntilIdle();
    EXPECT_EQ(receiver->destinationHint(waiting), "/waiting");
}

TEST_F(InboundLimits, ADestinationStillWaitingOutlivesManyBatchesThatTookTheirs) {
    // Batches that found their destination leave nothing behind that would
    // count against the bound and push out one still waiting.
    const UUID waiting = UUID::random();
    packet("A", FileTransferOp::directSave, waiting, "/waiting");
    for (size_t i = 0; i < FileTransferService::maxPendingDestinationsPerPeer + 44; ++i) {
        const UUID id = UUID::random();
        packet("A", FileTransferOp::directSave, id, "/d");
        packet("A", FileTransferOp::batchStart, id);
        packet("A", FileTransferOp::cancelBatch, id);
    }
    runUntilIdle();
    EXPECT_EQ(receiver->pendingDestinationCountForTesting(), 1u);
    packet("A", FileTransferOp::batchStart, waiting);
    runUntilIdle();
    EXPECT_EQ(receiver->destinationHint(waiting), "/waiting");
}

TEST_F(InboundLimits, APlantedLinkCannotLeadAReceivedFileOutOfStaging) {
    const fs::path elsewhere = dataRoot->path() / "elsewhere";
    fs::create_directories(elsewhere);
    const fs::path inbox = platform::Folders::caches() / "VelantrixFileInbox";
    fs::create_directories(platform::Folders::caches());
    struct Plant {
        const char* name;
        std::function<void()> plant;
    };
    const Plant plants[] = {
        {"the inbox folder itself", [&] { fs::create_symlink(elsewhere, inbox); }},
        {"the peer's folder", [&] {
             fs::create_directories(inbox);
             fs::create_symlink(elsewhere, inbox / "Viewer");
         }},
    };
    for (const auto& p : plants) {
        fs::remove_all(inbox);
        p.plant();
        receiveOneByteFile(UUID::random(), "x.txt");
        EXPECT_TRUE(fs::is_empty(elsewhere)) << p.name;
    }
    // The caches folder itself is the user's own, reached as the user's
    // programs reach it: their link there is followed, with their rights.
    const fs::path caches = platform::Folders::caches();
    fs::remove_all(caches);
    fs::create_directory_symlink(elsewhere, caches);
    const size_t before = completed.size();
    receiveOneByteFile(UUID::random(), "x.txt");
    EXPECT_EQ(completed.size(), before + 1) << "received through the user's own caches link";
    EXPECT_TRUE(fs::exists(elsewhere / "VelantrixFileInbox")) << "the caches folder";
    EXPECT_TRUE(FileTransferStagedItems::open(FileTransferStagedItems::inboxRoot())) << "delivery reaches staging too";
    fs::remove(caches);
    fs::remove_all(elsewhere);
    fs::create_directories(elsewhere);
    // With an honest inbox, a name guessed ahead for a batch's folder is
    // never the one used.
    fs::remove_all(inbox);
    fs::create_directories(inbox / "Viewer");
    const UUID id = UUID::random();
    const auto seconds = static_cast<long long>(platform::Clock::now().secondsSince1970);
    for (long long s = seconds - 1; s <= seconds + 1; ++s)
        fs::create_symlink(elsewhere, inbox / "Viewer" / (std::to_string(s) + "-" + id.id8()));
    receiveOneByteFile(id, "a/b/c.txt");
    EXPECT_TRUE(fs::is_empty(elsewhere));
    ASSERT_EQ(completed.size(), 4u) << "one batch a plant, and the honest one";
    // The folder made only by the file's path is an item of the batch.
    ASSERT_EQ(completed.back().entries.size(), 1u);
    EXPECT_EQ(completed.back().entries[0].filename(), "a");
    EXPECT_TRUE(fs::is_regular_file(completed.back().entries[0] / "b" / "c.txt"));
}

// Staging is checked once, at start, by a real attempt. Under a sandbox
// that refuses the access question itself, no batch reads that refusal as
// "may not write": nothing is set aside, however many batches start.
TEST_F(InboundLimits, UnderAFilterRefusingTheAccessQuestionNoBatchSetsStagingAside) {
    const fs::path inbox = FileTransferStagedItems::inboxRoot();
    EXPECT_TRUE(testsupport::runInChild({.refuseFaccessat2 = true}, [&] {
        EXPECT_NE(::faccessat(AT_FDCWD, dataRoot->path().c_str(), W_OK, AT_EACCESS), 0);
        EXPECT_EQ(errno, EPERM) << "the filter answers the question itself";
        EXPECT_TRUE(receiver->prepareStaging().ok());
        for (int i = 0; i < 500; ++i) {
            const UUID id = UUID::random();
            packet("A", FileTransferOp::batchStart, id);
            packet("A", FileTransferOp::cancelBatch, id);
        }
        runUntilIdle();
        size_t aside = 0;
        for (const auto& folder : {inbox.parent_path(), inbox})
            for (const auto& entry : fs::directory_iterator(folder))
                aside += entry.path().filename().string().find(".unusable-") != std::string::npos;
        EXPECT_EQ(aside, 0u);
        for (const auto& line : logLines()) EXPECT_EQ(line.find("set aside"), std::string::npos) << line;
        receiveOneByteFile(UUID::random(), "x.txt");
        EXPECT_EQ(completed.size(), 1u) << "staging still takes files";
        return !::testing::Test::HasFailure();
    }));
}

// Staging the user may not write (left by a Host that ran as root) is set
// aside once, at start, with what it holds; staging that cannot be set
// aside either is named in one line, and each file says it could not be
// staged.
TEST_F(InboundLimits, StagingTheUserMayNotWriteIsSetAsideAtStartOrSaidPlainly) {
    const fs::path caches = platform::Folders::caches();
    const fs::path inbox = FileTransferStagedItems::inboxRoot();
    for (fs::path up = caches; up != dataRoot->path().parent_path(); up = up.parent_path()) {
        fs::create_directories(up);
        ASSERT_EQ(::chmod(up.c_str(), 0755), 0);
    }
    fs::create_directories(inbox / "Viewer");
    std::ofstream(inbox / "Viewer" / "left.bin") << "left";
    ASSERT_EQ(::chmod((inbox / "Viewer").c_str(), 0555), 0);
    ASSERT_EQ(::chmod(inbox.c_str(), 0555), 0);
    // Set aside: the caches folder is the user's.
    testsupport::giveToUnprivileged(caches.c_str());
    ASSERT_EQ(::chown(inbox.c_str(), ::geteuid(), ::getegid()), 0);
    EXPECT_TRUE(testsupport::runInChild({.unprivileged = true}, [&] {
        EXPECT_TRUE(receiver->prepareStaging().ok());
        std::vector<fs::path> aside;
        for (const auto& entry : fs::directory_iterator(caches))
            if (entry.path().filename().string().starts_with("VelantrixFileInbox.unusable-")) aside.push_back(entry);
        EXPECT_EQ(aside.size(), 1u);
        if (aside.size() == 1) {
            EXPECT_TRUE(fs::exists(aside[0] / "Viewer" / "left.bin")) << "what it held stays";
        }
        EXPECT_TRUE(logContains("files: staging folder " + inbox.string() + " is not this user's to write; set aside as"));
        receiveOneByteFile(UUID::random(), "x.txt");
        EXPECT_EQ(completed.size(), 1u);
        return !::testing::Test::HasFailure();
    }));
    // Cannot be set aside: the caches folder is not the user's either.
    for (const auto& folder : {inbox / "Viewer", inbox, caches}) {
        ASSERT_EQ(::chown(folder.c_str(), ::geteuid(), ::getegid()), 0);
        ASSERT_EQ(::chmod(folder.c_str(), 0555), 0);
    }
    EXPECT_TRUE(testsupport::runInChild({.unprivileged = true}, [&] {
        std::vector<std::string> status;
        receiver->onStatus = [&](const std::string& line) { status.push_back(line); };
        EXPECT_FALSE(receiver->prepareStaging().ok());
        size_t said = 0;
        for (const auto& line : logLines())
            said += line.find("files: staging folder " + inbox.string() + " cannot be used (") != std::string::npos &&
                    line.find("received files cannot be staged") != std::string::npos;
        EXPECT_EQ(said, 1u);
        receiveOneByteFile(UUID::random(), "x.txt");
        EXPECT_TRUE(std::any_of(status.begin(), status.end(), [](const std::string& line) {
            return line.find("receive failed for \"x.txt\": could not be staged: ") != std::string::npos;
        }));
        return !::testing::Test::HasFailure();
    }));
    ::chmod(caches.c_str(), 0755);
    ::chmod(inbox.c_str(), 0755);
    ::chmod((inbox / "Viewer").c_str(), 0755);
}

// Each session here is a peer of its own, as a Viewer at its own address.
// Past its four places a peer's listings wait their turn, charged to it;
// none is answered before it is made, and none as an empty folder.
TEST_F(InboundLimits, ListingsPastFourAPeerWaitTheirTurnAndAnEndedSessionsAreNotComputed) {
    fs::create_directories(platform::Folders::home() / "listed");
    std::ofstream(platform::Folders::home() / "listed" / "held.txt") << "x";
    std::map<std::string, std::shared_ptr<platform::WorkLedger>> peers;
    auto ask = [&](const std::string& session, size_t count) {
        auto& ledger = peers[session];
        if (!ledger) ledger = std::make_shared<platform::WorkLedger>(session, size_t{1} << 30, 100000);
        const platform::WorkLedger::Charged charged(ledger);
        for (size_t i = 0; i < count; ++i) packet(session, FileTransferOp::listDir, UUID::random(), " ~/listed ");
    };
    auto repliesTo = [&](const std::string& session) {
        std::vector<FileTransferPacket> out;
        for (const auto& [p, token] : replies)
            if (p.op == FileTransferOp::listDirReply && token == session) out.push_back(p);
        return out;
    };
    ask("A", 10);
    EXPECT_TRUE(repliesTo("A").empty()) << "nothing is answered before it was made";
    EXPECT_EQ(peers["A"]->held(platform::WorkLedger::Held::listings), kListingsPerPeer);
    EXPECT_EQ(peers["A"]->waitingFor(platform::WorkLedger::Held::listings), 10 - kListingsPerPeer);
    EXPECT_GE(peers["A"]->jobsInUse(), 10u) << "those waiting are charged to their peer";
    ask("B", 1);  // another peer has its own four
    runUntilIdle();
    EXPECT_EQ(receiver->listingsComputedForTesting(), 10u + 1);
    ASSERT_EQ(repliesTo("A").size(), 10u);
    for (const auto& reply : repliesTo("A")) {
        const auto entries = RemoteDirectoryEntry::decodeListing(reply.data);
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries[0].name, "held.txt");
    }
    ASSERT_EQ(repliesTo("B").size(), 1u);
    EXPECT_EQ(repliesTo("B")[0].path, (platform::Folders::home() / "listed").string());
    EXPECT_EQ(replies.size(), 11u) << "every reply goes to the session that asked";
    EXPECT_TRUE(lines.empty());

    // Once answered, a session may ask again; one that ended is not served.
    ask("A", 2);
    ask("C", 3);
    receiver->sessionEnded("C");
    runUntilIdle();
    EXPECT_EQ(receiver->listingsComputedForTesting(), 10u + 1 + 2);
    EXPECT_EQ(repliesTo("A").size(), 12u);
    EXPECT_TRUE(repliesTo("C").empty());
    for (const auto& [session, ledger] : peers)
        EXPECT_EQ(ledger->held(platform::WorkLedger::Held::listings), 0u) << session << ": every place given back";

    // A peer whose other work holds its descriptors but one: its listings
    // wait for the two a folder's reading takes, with their places, and are
    // answered whole once they are given back, never as an empty folder;
    // one whose session ends meanwhile is dropped with its place.
    using Held = platform::WorkLedger::Held;
    peers["D"] = std::make_shared<platform::WorkLedger>("D", size_t{1} << 30, 100000);
    auto elsewhere = platform::WorkLedger::Holding::take(peers["D"], Held::descriptors,
                                                         platform::WorkLedger::heldBound(Held::descriptors) - 1);
    ASSERT_TRUE(elsewhere);
    ask("D", 2);
    ask("E", 1);
    {
        // A folder outside home is opened by nobody: answered at once.
        const platform::WorkLedger::Charged charged(peers["D"]);
        packet("D", FileTransferOp::listDir, UUID::random(), "/");
    }
    runUntilIdle();
    ASSERT_EQ(repliesTo("D").size(), 1u) << "the refused folder is answered";
    EXPECT_TRUE(RemoteDirectoryEntry::decodeListing(repliesTo("D")[0].data).empty());
    std::erase_if(replies, [](const auto& reply) { return reply.second == "D"; });
    advance(1);
    EXPECT_TRUE(repliesTo("D").empty()) << "a listing without its descriptors is not answered";
    EXPECT_EQ(repliesTo("E").size(), 1u) << "another peer's listing does not wait for it";
    EXPECT_EQ(peers["D"]->held(Held::listings), 2u);
    // Answered when they are given back, not when it next looks.
    elsewhere.reset();
    runUntilIdle();
    ASSERT_EQ(repliesTo("D").size(), 2u);
    for (const auto& reply : repliesTo("D")) {
        const auto entries = RemoteDirectoryEntry::decodeListing(reply.data);
        ASSERT_EQ(entries.size(), 1u) << "the folder whole";
        EXPECT_EQ(entries[0].name, "held.txt");
    }
    EXPECT_EQ(peers["D"]->held(Held::listings), 0u);
    EXPECT_EQ(peers["D"]->held(Held::descriptors), 0u);
    const size_t jobsBefore = peers["D"]->jobsInUse();
    auto taken = platform::WorkLedger::Holding::take(peers["D"], Held::descriptors,
                                                     platform::WorkLedger::heldBound(Held::descriptors) - 1);
    ask("D", 1);
    advance(1);
    EXPECT_GT(peers["D"]->jobsInUse(), jobsBefore) << "a waiting listing is charged to its peer";
    receiver->sessionEnded("D");
    runUntilIdle();
    EXPECT_EQ(peers["D"]->held(Held::listings), 0u) << "its place went with its session";
    EXPECT_EQ(peers["D"]->jobsInUse(), jobsBefore) << "and its charge, its descriptors still taken";
    ask("H", 1);
    runUntilIdle();
    EXPECT_EQ(platform::WorkLedger::descriptorWaitersForTesting(), 0u)
        << "and its wait, once others' descriptors come and go";
    taken.reset();
    advance(1);
    EXPECT_EQ(repliesTo("D").size(), 2u) << "an ended session's listing is not made";

    // Past the Host-wide total, another peer's descriptors given back are
    // what a listing waits for.
    peers["F"] = std::make_shared<platform::WorkLedger>("F", size_t{1} << 30, 100000);
    auto others = platform::WorkLedger::Holding::take(peers["F"], Held::descriptors, 2);
    ASSERT_TRUE(others);
    struct TotalRestored {
        ~TotalRestored() { platform::WorkLedger::setHostDescriptorTotal(SIZE_MAX, 0); }
    } restored;
    platform::WorkLedger::setHostDescriptorTotal(platform::WorkLedger::hostDescriptorsHeld() + 1, 0);
    ask("G", 1);
    advance(1);
    EXPECT_TRUE(repliesTo("G").empty()) << "one descriptor is not enough";
    others->reset();
    runUntilIdle();
    EXPECT_EQ(repliesTo("G").size(), 1u);
}

// What a peer's packet leaves waiting on the engine's queues is charged to
// the ledger current when it came (its peer's, on the Host), its bytes
// included, until it has been handled; a listing whose peer is gone by its
// turn is not made, and its bytes still count as handled.
TEST_F(InboundLimits, APacketsBytesAreChargedToItsPeerUntilHandledAndAGonePeersListingIsNotMade) {
    fs::create_directories(platform::Folders::home() / "listed");
    const UUID id = openBatch("A");
    runUntilIdle();
    struct Row {
        const char* name;
        FileTransferPacket packet;
    };
    const Row rows[] = {
        {"a file chunk", {FileTransferOp::fileChunk, id, 0, 0, "f.bin", std::vector<uint8_t>(size_t{1} << 20)}},
        {"a listing", {FileTransferOp::listDir, UUID::random(), 0, 0, "~/listed/" + std::string(60000, 'x'), {}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto ledger = std::make_shared<platform::WorkLedger>("peer", size_t{16} << 20);
        {
            const platform::WorkLedger::Charged charged(ledger);
            receiver->handleIncomingPacket(row.packet, "A");
        }
        EXPECT_GE(ledger->bytesInUse(), row.packet.data.size() + row.packet.path.size());
        runUntilIdle();
        EXPECT_EQ(ledger->bytesInUse(), 0u);
        EXPECT_EQ(ledger->jobsInUse(), 0u);
    }
    const size_t computed = receiver->listingsComputedForTesting();
    const size_t repliesBefore = replies.size();
    auto ledger = std::make_shared<platform::WorkLedger>("peer", size_t{16} << 20);
    {
        const platform::WorkLedger::Charged charged(ledger);
        packet("A", FileTransferOp::listDir, UUID::random(), "~/listed");
    }
    ledger->cancel();
    runUntilIdle();
    EXPECT_EQ(receiver->listingsComputedForTesting(), computed) << "nobody is left to read it";
    EXPECT_EQ(replies.size(), repliesBefore);
    EXPECT_EQ(ledger->bytesInUse(), 0u);
}

TEST_F(InboundLimits, ASendForASessionThatEndedIsRefusedAtOnceAndAnotherIsPendingUntilSent) {
    const fs::path file = platform::Folders::home() / "sent.txt";
    fs::create_directories(file.parent_path());
    std::ofstream(file) << "bytes";
    receiver->sessionEnded("A");
    EXPECT_EQ(receiver->sendURLs({file}, FileTransferIntent::copy, std::nullopt, {}, "A"), std::nullopt);
    const auto sent = receiver->sendURLs({file}, FileTransferIntent::copy, std::nullopt, {}, "B");
    ASSERT_TRUE(sent);
    EXPECT_TRUE(receiver->isOutgoingBatchPending(*sent));
    runUntilIdle();
    EXPECT_FALSE(receiver->isOutgoingBatchPending(*sent));
    size_t toA = 0, startsToB = 0;
    for (const auto& [p, token] : replies) {
        toA += token == "A";
        startsToB += token == "B" && p.op == FileTransferOp::batchStart;
    }
    EXPECT_EQ(toA, 0u);
    EXPECT_EQ(startsToB, 1u);
}

}  // namespace
