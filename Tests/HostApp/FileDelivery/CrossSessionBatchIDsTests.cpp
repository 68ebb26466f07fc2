// A Viewer session that sends packets under another session's batch ID, fed
// to the Host's packet hook beside that session's own managed copy: the copy
// lands where its own Viewer named, byte for byte, and its receipt goes to
// that Viewer alone. An ID is a session's only while its batch lasts.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>

#include "HostApp/Shell/HostShellTestFixture.h"
#include "Platform/Files/Folders.h"
#include "VelantrixProfiles/FileTransfer/FileTransferCenter.h"

using namespace platform;
namespace fs = std::filesystem;
using Op = FileTransferOp;

namespace {

class CrossSessionBatchIDs : public HostShellTest {
protected:
    void SetUp() override {
        launch();
        FileTransferCenter::shared().resetForTesting();
        fs::create_directories(Folders::home());
        delegate->components.fileTransferService->routedSendPacket =
            [this](FileTransferPacket p, const std::optional<std::string>& token) {
                std::lock_guard lock(sentLock);
                sent.emplace_back(std::move(p), token.value_or(""));
                return true;
            };
        fs::create_directories(source.parent_path());
        std::ofstream(source, std::ios::binary) << "hello";
    }
    ~CrossSessionBatchIDs() override { FileTransferCenter::shared().resetForTesting(); }

    std::vector<std::pair<FileTransferPacket, std::string>> sentOf(Op op) {
        std::lock_guard lock(sentLock);
        std::vector<std::pair<FileTransferPacket, std::string>> out;
        for (const auto& s : sent)
            if (s.first.op == op) out.push_back(s);
        return out;
    }
    static std::string contents(const fs::path& file) {
        std::ifstream in(file, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }

    std::shared_ptr<FileTransferService> viewerA = std::make_shared<FileTransferService>("Host", 262144);
    UUID sessionA = UUID::random();
    UUID sessionB = UUID::random();
    fs::path source = dataRoot->path() / "viewer" / "a.txt";
    std::mutex sentLock;
    std::vector<std::pair<FileTransferPacket, std::string>> sent;
};

TEST_F(CrossSessionBatchIDs, AnotherSessionsPacketsLeaveAManagedCopyAndItsReceiptToItsOwnViewer) {
    struct Case {
        const char* name;
        // B's packets go in just before A's packet of this op, once the
        // Host has done all that A's earlier ones lead to: one under A's
        // batch ID, or a flood of them under IDs of B's own.
        Op before;
        Op op;
        std::string path;
        uint64_t value1;
        std::string data;
        size_t flood = 0;
    };
    const Case cases[] = {
        {"cancel before the start", Op::batchStart, Op::cancelBatch, "", 0, ""},
        {"directSave before the start", Op::batchStart, Op::directSave, "~/B", 0, ""},
        {"directSave flood before the start", Op::batchStart, Op::directSave, "~/B", 0, "",
         FileTransferService::maxPendingDestinationsPerPeer + 44},
        {"directSave during the batch", Op::fileChunk, Op::directSave, "~/B", 0, ""},
        {"cancel during the batch", Op::fileChunk, Op::cancelBatch, "", 0, ""},
        {"chunk", Op::fileChunk, Op::fileChunk, "a.txt", 0, "XXXX"},
        {"end", Op::fileChunk, Op::fileEnd, "a.txt", 5, ""},
        {"batchStart", Op::fileChunk, Op::batchStart, "", 0, ""},
        {"batchEnd", Op::fileChunk, Op::batchEnd, "", 0, ""},
    };
    const fs::path staging = delegate->components.fileTransferService->stagingRoot();
    auto runCase = [&](const Case& c, const UUID& owner, const UUID& other) {
        {
            std::lock_guard lock(sentLock);
            sent.clear();
        }
        const fs::path folder = Folders::home() / "A";
        fs::remove_all(folder);
        fs::remove_all(Folders::home() / "B");
        const std::set<fs::path> stagedBefore(fs::directory_iterator(staging), {});
        // A's packets from `before` on wait until B's have gone in and the
        // Host has done what they lead to.
        std::vector<FileTransferPacket> heldOfA;
        viewerA->routedSendPacket = [&](FileTransferPacket p, const std::optional<std::string>&) {
            if (p.op == c.before || !heldOfA.empty()) {
                heldOfA.push_back(std::move(p));
            } else {
                delegate->handleIncomingFileTransferPacket(std::move(p), owner);
            }
            return true;
        };
        auto batch = viewerA->sendURLs({source}, FileTransferIntent::managedCopy, "~/A", {}, std::nullopt);
        ASSERT_TRUE(batch);
        runUntilIdle();
        ASSERT_FALSE(heldOfA.empty());
        DispatchQueue server("test.server");
        server.sync([&] {
            for (size_t i = 0; i < std::max<size_t>(c.flood, 1); ++i)
                delegate->handleIncomingFileTransferPacket(
                    {c.op, c.flood ? UUID::random() : *batch, c.value1, 0, c.path, {c.data.begin(), c.data.end()}}, other);
        });
        runUntilIdle();
        server.sync([&] {
            for (auto& p : heldOfA) delegate->handleIncomingFileTransferPacket(std::move(p), owner);
        });
        runUntilIdle();

        EXPECT_EQ(contents(folder / "a.txt"), "hello");
        std::error_code error;
        EXPECT_EQ(std::distance(fs::directory_iterator(folder, error), {}), 1);
        EXPECT_FALSE(fs::exists(Folders::home() / "B"));
        const auto receipts = sentOf(Op::peerSendResponse);
        ASSERT_EQ(receipts.size(), 1u);
        EXPECT_EQ(receipts[0].second, owner.uuidString()) << "the receipt goes to A alone";
        EXPECT_EQ(receipts[0].first.batchID, *batch);
        EXPECT_TRUE(FileTransferService::peerSendResponse(receipts[0].first)->accepted);
        EXPECT_EQ(FileTransferCenter::shared().rows.at(*batch)->statusLbl->text, "Saved 1 item(s) to A");
        for (const auto& [cancel, to] : sentOf(Op::cancelBatch))
            EXPECT_EQ(to, other.uuidString()) << "only B's own start is refused";
        EXPECT_EQ(std::set<fs::path>(fs::directory_iterator(staging), {}), stagedBefore) << "nothing stays staged";
    };
    // Each row on its own, so one that fails leaves the others theirs; in
    // both orders of the sessions' IDs, so that an entry found by batch ID
    // alone is the wrong one in one of them.
    struct Order {
        const char* name;
        UUID a;
        UUID b;
    };
    const Order orders[] = {
        {", A's session sorts first", *UUID::parse("00000000-0000-4000-8000-000000000001"),
         *UUID::parse("FFFFFFFF-FFFF-4FFF-BFFF-FFFFFFFFFFFF")},
        {", B's session sorts first", *UUID::parse("FFFFFFFF-FFFF-4FFF-BFFF-FFFFFFFFFFFE"),
         *UUID::parse("00000000-0000-4000-8000-000000000002")},
    };
    for (const auto& order : orders) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.name) + order.name);
            runCase(c, order.a, order.b);
        }
        onMain([&] { delegate->handleFileTransferSessionEnded(order.b); });
        runUntilIdle();
    }
}

// A saved batch's ID is free again for any session, and a Viewer that lost
// its session in the middle of a batch sends it again under the same ID
// from its new one.
TEST_F(CrossSessionBatchIDs, AnIDIsFreeOnceItsBatchWasSavedOrLeftWithItsSession) {
    const UUID id = UUID::random();
    struct Step {
        const char* name;
        UUID session;
        bool leavesMidBatch;
        const char* folder;
    };
    const UUID sessionC = UUID::random(), sessionD = UUID::random();
    const Step steps[] = {
        {"A's copy", sessionA, false, "A"},
        {"B's copy under A's saved ID", sessionB, false, "B"},
        {"C's copy, its session gone before the end", sessionC, true, "C"},
        {"the same Viewer back as D", sessionD, false, "C"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        {
            std::lock_guard lock(sentLock);
            sent.clear();
        }
        viewerA->routedSendPacket = [&](FileTransferPacket p, const std::optional<std::string>&) {
            if (!step.leavesMidBatch || (p.op != Op::fileEnd && p.op != Op::batchEnd))
                delegate->handleIncomingFileTransferPacket(std::move(p), step.session);
            return true;
        };
        const std::string destination = std::string("~/") + step.folder;
        ASSERT_EQ(viewerA->sendURLs({source}, FileTransferIntent::managedCopy, destination, {}, std::nullopt, id), id);
        runUntilIdle();
        if (step.leavesMidBatch) {
            onMain([&] { delegate->handleFileTransferSessionEnded(step.session); });
            runUntilIdle();
            EXPECT_FALSE(fs::exists(Folders::home() / step.folder / "a.txt"));
            continue;
        }
        EXPECT_TRUE(sentOf(Op::cancelBatch).empty()) << "the start is not refused";
        EXPECT_EQ(contents(Folders::home() / step.folder / "a.txt"), "hello");
        const auto receipts = sentOf(Op::peerSendResponse);
        ASSERT_EQ(receipts.size(), 1u);
        EXPECT_EQ(receipts[0].second, step.session.uuidString());
        EXPECT_TRUE(FileTransferService::peerSendResponse(receipts[0].first)->accepted);
    }
    EXPECT_TRUE(fs::is_empty(delegate->components.fileTransferService->stagingRoot()));
}

}  // namespace
