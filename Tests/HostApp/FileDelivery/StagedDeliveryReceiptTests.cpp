// What a managed copy's receipt and row say when a Cancel races the end of
// its delivery, and what happens when another delivery takes the name an
// item was about to get.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <mutex>

#include "HostApp/Shell/HostShellTestFixture.h"
#include "Platform/AppKit/AppKitAlert.h"
#include "Platform/Files/FileMoves.h"
#include "Platform/Files/Folders.h"
#include "VelantrixProfiles/FileTransfer/FileTransferCenter.h"

using namespace platform;
namespace fs = std::filesystem;

namespace {

class StagedDeliveryReceipt : public HostShellTest {
protected:
    void SetUp() override {
        launch();
        FileTransferCenter::shared().resetForTesting();
        fs::create_directories(Folders::home());
        delegate->components.fileTransferService->routedSendPacket =
            [this](FileTransferPacket p, const std::optional<std::string>&) {
                std::lock_guard lock(sentLock);
                if (p.op == FileTransferOp::peerSendResponse) receipts.push_back(std::move(p));
                return true;
            };
        viewer->routedSendPacket = [this](FileTransferPacket p, const std::optional<std::string>&) {
            delegate->handleIncomingFileTransferPacket(std::move(p), session);
            return true;
        };
        fs::create_directories(sources);
        std::ofstream(sources / "a.txt") << "apple";
        std::ofstream(sources / "b.txt") << "bee";
    }
    ~StagedDeliveryReceipt() override {
        FileMoves::setMoveFailureForTesting(nullptr);
        FileTransferCenter::shared().resetForTesting();
    }

    std::optional<FileTransferPeerSendResponse> receipt() {
        std::lock_guard lock(sentLock);
        if (receipts.size() != 1) return std::nullopt;
        return FileTransferService::peerSendResponse(receipts.front());
    }
    bool stagingEmpty() { return fs::is_empty(delegate->components.fileTransferService->stagingRoot()); }
    static std::string contentOf(const fs::path& path) {
        std::string text;
        std::ifstream(path) >> text;
        return text;
    }

    std::shared_ptr<FileTransferService> viewer = std::make_shared<FileTransferService>("Host", 262144);
    UUID session = UUID::random();
    fs::path sources = dataRoot->path() / "viewer";
    std::mutex sentLock;
    std::vector<FileTransferPacket> receipts;
};

TEST_F(StagedDeliveryReceipt, ACancelAfterTheLastItemMovedChangesNothingInTheReceipt) {
    // The Cancel is set while an item moves: read before the next item
    // (a real stop), or queued on the main queue behind the moves (it
    // lands after the last item moved, before the completion runs).
    enum class Stop { duringFirstItem, afterLastItem };
    struct Case {
        const char* name;
        bool prompted;
        bool firstItemFails;
        Stop stop;
        std::string row;
        bool accepted;
        std::optional<std::string> detail;
        bool secondItemDelivered;
        bool stagingLeft;
    };
    const std::vector<Case> cases = {
        {"late, all saved", false, false, Stop::afterLastItem, "Saved 2 item(s) to Late0", true, std::nullopt, true,
         false},
        {"late, one failed", false, true, Stop::afterLastItem, "Saved 1 item(s); 1 could not be saved", false,
         "Saved 1 item(s); 1 could not be saved: a.txt.", true, false},
        {"late, prompted, all saved", true, false, Stop::afterLastItem, "Saved 2 item(s) to Late2", true,
         std::nullopt, true, false},
        {"late, prompted, one failed", true, true, Stop::afterLastItem, "Saved 1 item(s); 1 could not be saved",
         false, "Saved 1 item(s); 1 could not be saved: a.txt.", true, false},
        {"real stop", false, false, Stop::duringFirstItem, "Stopped after saving 1 item(s)", false,
         "Stopped after saving 1 item(s).", false, false},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string folderName = "Late" + std::to_string(index++);
        {
            std::lock_guard lock(sentLock);
            receipts.clear();
        }
        std::optional<UUID> batch;
        FileMoves::setMoveFailureForTesting([&](const fs::path& from) {
            if (from.filename() == "a.txt") {
                if (c.stop == Stop::duringFirstItem) delegate->fileDelivery.inboundBatches.at(*batch).deliveryStop->store(true);
                return c.firstItemFails;
            }
            if (c.stop == Stop::afterLastItem)
                DispatchQueue::main().async([this, id = *batch] { EXPECT_TRUE(delegate->stopInboundDelivery(id)); });
            return false;
        });
        const auto options = c.prompted ? FileTransferDeliveryOptions::promptForConflicts : FileTransferDeliveryOptions();
        batch = viewer->sendURLs({sources / "a.txt", sources / "b.txt"}, FileTransferIntent::managedCopy,
                                 "~/" + folderName, options, std::nullopt);
        ASSERT_TRUE(batch);
        runUntilIdle();
        FileMoves::setMoveFailureForTesting(nullptr);

        EXPECT_EQ(FileTransferCenter::shared().rows.at(*batch)->statusLbl->text, c.row);
        auto verdict = receipt();
        ASSERT_TRUE(verdict);
        EXPECT_EQ(verdict->accepted, c.accepted);
        EXPECT_EQ(verdict->message, c.detail);
        const fs::path folder = Folders::home() / folderName;
        EXPECT_EQ(fs::exists(folder / "a.txt"), !c.firstItemFails);
        EXPECT_EQ(fs::exists(folder / "b.txt"), c.secondItemDelivered);
        EXPECT_EQ(!stagingEmpty(), c.stagingLeft) << "a failed item goes with its batch";
    }
}

TEST_F(StagedDeliveryReceipt, ANameTakenBetweenTheCheckAndTheMoveGoesToTheNextFreeName) {
    // Another delivery into the same folder takes "a.txt", then "a 1.txt",
    // each just after this one found it free.
    const fs::path folder = Folders::home() / "Race";
    int taken = 0;
    FileMoves::setMoveFailureForTesting([&](const fs::path& from) {
        if (from.filename() == "a.txt" && taken < 2)
            std::ofstream(folder / (taken++ == 0 ? "a.txt" : "a 1.txt")) << "theirs";
        return false;
    });
    auto batch = viewer->sendURLs({sources / "a.txt"}, FileTransferIntent::managedCopy, "~/Race", {}, std::nullopt);
    ASSERT_TRUE(batch);
    runUntilIdle();
    FileMoves::setMoveFailureForTesting(nullptr);
    EXPECT_EQ(taken, 2);
    EXPECT_EQ(contentOf(folder / "a.txt"), "theirs");
    EXPECT_EQ(contentOf(folder / "a 1.txt"), "theirs");
    EXPECT_EQ(contentOf(folder / "a 2.txt"), "apple");
    EXPECT_EQ(FileTransferCenter::shared().rows.at(*batch)->statusLbl->text, "Saved 1 item(s) to Race");
    auto verdict = receipt();
    ASSERT_TRUE(verdict);
    EXPECT_TRUE(verdict->accepted);
    EXPECT_TRUE(stagingEmpty());
}

TEST_F(StagedDeliveryReceipt, ANameTakenBeforeAPromptingDeliveryMovesIsAskedAbout) {
    // Found free, then taken by another delivery just before the move: a
    // clash like any other, asked about instead of failing the item.
    const fs::path folder = Folders::home() / "RaceAsk";
    bool taken = false;
    FileMoves::setMoveFailureForTesting([&](const fs::path& from) {
        if (from.filename() == "a.txt" && !taken) {
            taken = true;
            std::ofstream(folder / "a.txt") << "theirs";
        }
        return false;
    });
    auto batch = viewer->sendURLs({sources / "a.txt"}, FileTransferIntent::managedCopy, "~/RaceAsk",
                                  FileTransferDeliveryOptions::promptForConflicts, std::nullopt);
    ASSERT_TRUE(batch);
    runUntilIdle();
    auto alerts = app().shownAlerts();
    ASSERT_EQ(alerts.size(), 1u) << "the clash is asked about";
    onMain([&] { alerts[0]->pressButton(0); });  // Keep Both
    runUntilIdle();
    FileMoves::setMoveFailureForTesting(nullptr);
    EXPECT_EQ(contentOf(folder / "a.txt"), "theirs");
    EXPECT_EQ(contentOf(folder / "a copy.txt"), "apple");
    EXPECT_EQ(FileTransferCenter::shared().rows.at(*batch)->statusLbl->text, "Saved 1 item(s) to RaceAsk");
    auto verdict = receipt();
    ASSERT_TRUE(verdict);
    EXPECT_TRUE(verdict->accepted);
}

}  // namespace
