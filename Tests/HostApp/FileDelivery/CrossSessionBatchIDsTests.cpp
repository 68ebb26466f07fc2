// A Viewer session that sends packets under another session's batch ID, fed
// to the Host's packet hook beside that session's own managed copy: the copy
// lands where its own Viewer named, byte for byte, and its receipt goes to
// that Viewer alone.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>

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
        // B's packet goes in just before A's packet of this op.
        Op before;
        Op op;
        std::string path;
        uint64_t value1;
        std::string data;
    };
    const Case cases[] = {
        {"cancel before the start", Op::batchStart, Op::cancelBatch, "", 0, ""},
        {"directSave before the start", Op::batchStart, Op::directSave, "~/B", 0, ""},
        {"directSave during the batch", Op::fileChunk, Op::directSave, "~/B", 0, ""},
        {"cancel during the batch", Op::fileChunk, Op::cancelBatch, "", 0, ""},
        {"chunk", Op::fileChunk, Op::fileChunk, "a.txt", 0, "XXXX"},
        {"end", Op::fileChunk, Op::fileEnd, "a.txt", 5, ""},
        {"batchStart", Op::fileChunk, Op::batchStart, "", 0, ""},
        {"batchEnd", Op::fileChunk, Op::batchEnd, "", 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        {
            std::lock_guard lock(sentLock);
            sent.clear();
        }
        const fs::path folder = Folders::home() / "A";
        fs::remove_all(folder);
        fs::remove_all(Folders::home() / "B");
        bool injected = false;
        viewerA->routedSendPacket = [&](FileTransferPacket p, const std::optional<std::string>&) {
            if (!injected && p.op == c.before) {
                injected = true;
                delegate->handleIncomingFileTransferPacket(
                    {c.op, p.batchID, c.value1, 0, c.path, {c.data.begin(), c.data.end()}}, sessionB);
            }
            delegate->handleIncomingFileTransferPacket(std::move(p), sessionA);
            return true;
        };
        auto batch = viewerA->sendURLs({source}, FileTransferIntent::managedCopy, "~/A", {}, std::nullopt);
        ASSERT_TRUE(batch);
        runUntilIdle();
        EXPECT_TRUE(injected);

        EXPECT_EQ(contents(folder / "a.txt"), "hello");
        EXPECT_EQ(std::distance(fs::directory_iterator(folder), {}), 1);
        EXPECT_FALSE(fs::exists(Folders::home() / "B"));
        const auto receipts = sentOf(Op::peerSendResponse);
        ASSERT_EQ(receipts.size(), 1u);
        EXPECT_EQ(receipts[0].second, sessionA.uuidString()) << "the receipt goes to A alone";
        EXPECT_EQ(receipts[0].first.batchID, *batch);
        EXPECT_TRUE(FileTransferService::peerSendResponse(receipts[0].first)->accepted);
        EXPECT_EQ(FileTransferCenter::shared().rows.at(*batch)->statusLbl->text, "Saved 1 item(s) to A");
        for (const auto& [cancel, to] : sentOf(Op::cancelBatch))
            EXPECT_EQ(to, sessionB.uuidString()) << "only B's own start is refused";
        EXPECT_TRUE(fs::is_empty(delegate->components.fileTransferService->stagingRoot()));
    }
}

}  // namespace
