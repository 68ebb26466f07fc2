// The execute button: what the owner is handed for a send or a receive, the
// folder-access question before receiving into an ungranted folder, the
// owner refusing a batch, and finding the destination's row afterwards.

#include <gtest/gtest.h>

#include "FileTransferWindowFixture.h"

namespace fs = std::filesystem;
using Direction = TransferPanelDirection;

class FileTransferStartingTest : public FileTransferWindowTest {
protected:
    // This device's Desktop, listed: a folder F holding x.txt, and a.txt.
    void showLocalDesktop() {
        folderF = dir("F", "~/Desktop/F", {file("x.txt", "~/Desktop/F/x.txt")});
        fileA = file("a.txt", "~/Desktop/a.txt");
        controller->setLocalRootsForTesting({dir("Desktop", "~/Desktop", {folderF, fileA})});
    }
    void tick(std::initializer_list<FileTransferNodePtr> nodes) {
        for (const auto& node : nodes) node->isChecked = true;
        controller->updateLeftCheckboxState();
        controller->updateExecuteButton();
    }
    void setBackup(bool on) {
        ui().backupCheckbox->setState(on ? 1 : 0);
        controller->backupToggled();
    }
    // Receiving: the Host's Desktop and Documents ticked, into `folder`.
    void prepareReceive(const std::string& folder) {
        controller->selectDirection(Direction::receiveFromHost);
        tick({controller->remoteRoots()[2], controller->remoteRoots()[1]});
        chooseTarget(ui().leftOutlineView, folder);
    }

    FileTransferNodePtr folderF, fileA;
};

TEST_F(FileTransferStartingTest, SendingHandsTheOwnerFileURLsAndTheHostFolderAsItStands) {
    const struct {
        const char* what;
        bool folder, fileInFolder, looseFile, backup;
        std::vector<std::string> urls;  // below this device's home
        uint64_t options;
    } cases[] = {
        {"a folder and a loose file", true, false, true, false, {"Desktop/a.txt", "Desktop/F"}, 1},
        {"a folder and a file inside it, with backup", true, true, false, true, {"Desktop/F"}, 3},
        {"one file inside a folder", false, true, false, false, {"Desktop/F/x.txt"}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sends.clear();
        make();
        showLocalDesktop();
        if (c.folder) tick({folderF});
        if (c.fileInFolder) tick({folderF->children->front()});
        if (c.looseFile) tick({fileA});
        setBackup(c.backup);
        chooseTarget(ui().rightOutlineView, "~/Documents");
        controller->executeTransfer();

        ASSERT_EQ(sends.size(), 1u);
        std::vector<fs::path> expected;
        for (const auto& u : c.urls) expected.push_back(fs::path(home()) / u);
        EXPECT_EQ(sends[0].urls, expected);
        EXPECT_EQ(sends[0].intent, FileTransferIntent::managedCopy);
        EXPECT_EQ(sends[0].target, "~/Documents");
        EXPECT_EQ(sends[0].peer, "a");
        EXPECT_EQ(sends[0].options, c.options);
        EXPECT_FALSE(controller->authorizationConfirmationPanel());
        EXPECT_EQ(controller->activeTransferBatchID(), batchIDs.back());
        EXPECT_EQ(ui().transferSummaryLabel->text,
                  "Preparing " + std::to_string(c.urls.size()) + " item(s) for A");
        EXPECT_EQ(ui().transferStatusLabel->text, "Preparing transfer\u2026");
        EXPECT_EQ(ui().executeButton->text, "Copying\u2026");
        EXPECT_FALSE(ui().executeButton->isEnabled);
    }
}

TEST_F(FileTransferStartingTest, ReceivingIntoACoveredFolderPassesHostPathsUnexpanded) {
    make();
    const std::string in = home() + "/In";
    controller->setLocalRootsForTesting({dir("In", in)});
    setBackup(true);
    prepareReceive(in);
    controller->executeTransfer();

    EXPECT_FALSE(controller->authorizationConfirmationPanel());
    ASSERT_EQ(receives.size(), 1u);
    EXPECT_EQ(receives[0].paths, (std::vector<std::string>{"~/Desktop", "~/Documents"}));
    EXPECT_EQ(receives[0].target, in);
    EXPECT_EQ(receives[0].options, 3u);
    EXPECT_TRUE(sends.empty());
    EXPECT_EQ(ui().transferSummaryLabel->text, "Requesting 2 item(s) from A");
    EXPECT_EQ(ui().transferStatusLabel->text, "Waiting for Host to begin transfer\u2026");
}

TEST_F(FileTransferStartingTest, AnUngrantedFolderIsAskedForAndAllowRunsTheWholeSequenceOnce) {
    // Cancel first: an Allow stores a grant that later windows would see.
    for (const bool allow : {false, true}) {
        SCOPED_TRACE(allow ? "Allow" : "Cancel");
        receives.clear();
        make();
        const std::string elsewhere = home() + "/Elsewhere";
        fs::create_directories(elsewhere);
        controller->setLocalRootsForTesting({dir("Elsewhere", elsewhere + "/sub/..")});
        prepareReceive(elsewhere + "/sub/..");
        // The target stays chosen while the roots no longer cover it.
        ui().leftOutlineView->deselectAll();
        controller->setLocalRootsForTesting({dir("Other", home() + "/Other")});
        const std::string statusBefore = ui().transferStatusLabel->text;

        controller->executeTransfer();
        auto panel = controller->authorizationConfirmationPanel();
        ASSERT_TRUE(panel);
        EXPECT_TRUE(panel->window()->contentView->findByText(elsewhere)) << "the standardised path is shown";
        EXPECT_TRUE(receives.empty());

        if (allow)
            controller->authorizationConfirmationAllowPressed();
        else
            controller->authorizationConfirmationCancelPressed();
        EXPECT_TRUE(receives.empty()) << "the new run waits for the main queue";
        runUntilIdle();
        if (!allow) {
            EXPECT_TRUE(receives.empty());
            EXPECT_FALSE(controller->activeTransferBatchID());
            EXPECT_EQ(ui().transferStatusLabel->text, statusBefore);
            continue;
        }
        ASSERT_EQ(receives.size(), 1u);
        EXPECT_EQ(receives[0].target, elsewhere + "/sub/..");
        EXPECT_TRUE(controller->isFolderAuthorized(elsewhere));
        EXPECT_FALSE(controller->authorizationConfirmationPanel());
        EXPECT_EQ(controller->activeTransferBatchID(), batchIDs.back());
    }
}

TEST_F(FileTransferStartingTest, AllowDoesNotStartAgainOverATransferBegunWhileItWasAsked) {
    make();
    const std::string elsewhere = home() + "/Elsewhere";
    fs::create_directories(elsewhere);
    controller->setLocalRootsForTesting({dir("Elsewhere", elsewhere)});
    prepareReceive(elsewhere);
    ui().leftOutlineView->deselectAll();
    controller->setLocalRootsForTesting({dir("Other", home() + "/Other")});
    controller->executeTransfer();
    ASSERT_TRUE(controller->authorizationConfirmationPanel());

    // A send begins while the question is up.
    controller->selectDirection(Direction::sendToHost);
    showLocalDesktop();
    tick({fileA});
    chooseTarget(ui().rightOutlineView, "~/Documents");
    controller->executeTransfer();
    ASSERT_EQ(sends.size(), 1u);
    const auto followed = controller->activeTransferBatchID();
    ASSERT_TRUE(followed);

    controller->authorizationConfirmationAllowPressed();
    runUntilIdle();
    EXPECT_EQ(sends.size(), 1u);
    EXPECT_TRUE(receives.empty());
    EXPECT_EQ(controller->activeTransferBatchID(), followed);
    EXPECT_TRUE(controller->isFolderAuthorized(elsewhere)) << "the grant itself is kept";
}

TEST_F(FileTransferStartingTest, ARefusedBatchLeavesTheWindowIdleAndReady) {
    for (const auto direction : {Direction::sendToHost, Direction::receiveFromHost}) {
        SCOPED_TRACE(direction == Direction::sendToHost ? "send" : "receive");
        make();
        ownerAccepts = false;
        const std::string in = home() + "/In";
        if (direction == Direction::sendToHost) {
            showLocalDesktop();
            tick({fileA});
            chooseTarget(ui().rightOutlineView, "~/Documents");
        } else {
            controller->setLocalRootsForTesting({dir("In", in)});
            prepareReceive(in);
        }
        const std::string title = ui().executeButton->text;
        controller->executeTransfer();

        EXPECT_EQ(sends.size() + receives.size(), 1u);
        EXPECT_EQ(ui().transferStatusLabel->text, "The transfer could not be started.");
        EXPECT_FALSE(controller->activeTransferBatchID());
        EXPECT_TRUE(ui().transferProgressRow->isHidden);
        EXPECT_TRUE(ui().executeButton->isEnabled);
        EXPECT_EQ(ui().executeButton->text, title);
        const auto& source = direction == Direction::sendToHost ? controller->localRoots() : controller->remoteRoots();
        EXPECT_FALSE(Controller::collectCheckedFileNodes(source).empty()) << "the ticks stay";
        EXPECT_TRUE(controller->targetDirectoryPath());
        sends.clear();
        receives.clear();
    }
}

TEST_F(FileTransferStartingTest, NothingStartsWithoutItemsADestinationOrAHost) {
    const struct {
        const char* what;
        bool items, target, host;
    } cases[] = {
        {"nothing ticked", false, true, true},
        {"no destination", true, false, true},
        {"no Host", true, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        make();
        showLocalDesktop();
        if (c.items) tick({fileA});
        if (c.target) chooseTarget(ui().rightOutlineView, "~/Documents");
        if (!c.host) {
            peers.clear();
            controller->refreshHostSelector();
        }
        controller->executeTransfer();
        EXPECT_TRUE(sends.empty());
        EXPECT_FALSE(controller->activeTransferBatchID());
    }
}

TEST_F(FileTransferStartingTest, TheDestinationRowIsAListedFolderUnderEitherSpellingOfItsPath) {
    auto docs = dir("Documents", "~/Documents",
                    {file("Report", "~/Documents/Report"), dir("Sub", home() + "/Documents/Sub")});
    const Controller::NodeList roots = {file("Notes", "~/Notes"), placeholder("Loading...", "~/Pending"), docs,
                                        dir("Home", "~")};
    const struct {
        const char* what;
        std::string path;
        FileTransferNodePtr expected;
    } cases[] = {
        {"as the tree holds it", "~/Documents", docs},
        {"expanded", home() + "/Documents", docs},
        {"a listed child, in tilde form", "~/Documents/Sub", docs->children->at(1)},
        {"the home itself", home(), roots[3]},
        {"a file row", "~/Notes", nullptr},
        {"a file inside a listed folder", "~/Documents/Report", nullptr},
        {"a placeholder row", "~/Pending", nullptr},
        {"no row", "~/Music", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Controller::destinationNode(roots, c.path), c.expected);
    }
}
