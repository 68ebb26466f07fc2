// Following a batch: the footer through start, progress, the wait for the
// Host's receipt, cancellation, the outcomes with their refresh and sheet,
// failure, and reports that are not for the followed batch.

#include <gtest/gtest.h>

#include <fstream>

#include "FileTransferWindowFixture.h"
#include "Platform/AppKit/AppKitApplication.h"
#include "Platform/Files/Folders.h"

namespace fs = std::filesystem;
using Direction = TransferPanelDirection;
using platform::UUID;

namespace {

// Everything of the footer a report may change.
struct Footer {
    std::string summary, status, button;
    bool buttonEnabled, rowHidden, cancelHidden, cancelEnabled, indeterminate, animating;
    double minValue, maxValue, value;
    std::optional<UUID> active;
    std::set<UUID> cancelling;
    bool operator==(const Footer&) const = default;
};

}  // namespace

class FileTransferProgressTest : public FileTransferWindowTest {
protected:
    void TearDown() override {
        for (const auto& alert : alerts()) alert->pressButton(0);
        FileTransferWindowTest::TearDown();
    }

    // Two local files to the Host's Documents.
    UUID beginSend() {
        make();
        controller->setLocalRootsForTesting({dir("Desktop", "~/Desktop",
                                                 {file("a.txt", "~/Desktop/a.txt"), file("b.txt", "~/Desktop/b.txt")})});
        for (const auto& f : *controller->localRoots()[0]->children) f->isChecked = true;
        chooseTarget(ui().rightOutlineView, "~/Documents");
        return execute();
    }
    // The Host's Desktop and Documents into this device's Desktop.
    UUID beginReceive() {
        make();
        fs::create_directories(localDesktop());
        controller->setLocalRootsForTesting({dir("Desktop", "~/Desktop")});
        controller->selectDirection(Direction::receiveFromHost);
        controller->remoteRoots()[1]->isChecked = controller->remoteRoots()[2]->isChecked = true;
        chooseTarget(ui().leftOutlineView, "~/Desktop");
        return execute();
    }
    UUID begin(Direction d) { return d == Direction::sendToHost ? beginSend() : beginReceive(); }
    UUID execute() {
        const size_t before = batchIDs.size();
        controller->executeTransfer();
        EXPECT_EQ(batchIDs.size(), before + 1);
        return batchIDs.empty() ? UUID{} : batchIDs.back();
    }
    static fs::path localDesktop() { return platform::Folders::home() / "Desktop"; }

    Footer footer() const {
        const auto& bar = *ui().transferProgressIndicator;
        return {ui().transferSummaryLabel->text, ui().transferStatusLabel->text, ui().executeButton->text,
                ui().executeButton->isEnabled, ui().transferProgressRow->isHidden, ui().cancelTransferButton->isHidden,
                ui().cancelTransferButton->isEnabled, bar.isIndeterminate, bar.isAnimating, bar.minValue,
                bar.maxValue, bar.doubleValue, controller->activeTransferBatchID(),
                controller->cancelledTransferBatchIDs()};
    }
    void expectBar(bool indeterminate, bool animating, double max, double value) const {
        const auto& bar = *ui().transferProgressIndicator;
        EXPECT_EQ(bar.isIndeterminate, indeterminate);
        EXPECT_EQ(bar.isAnimating, animating);
        if (indeterminate) return;
        EXPECT_EQ(bar.minValue, 0);
        EXPECT_EQ(bar.maxValue, max);
        EXPECT_EQ(bar.doubleValue, value);
    }
};

TEST_F(FileTransferProgressTest, BeginAndStartShowTheirTextsInEitherDirection) {
    const struct {
        Direction direction;
        const char *beginSummary, *beginStatus, *startSummary, *startStatus;
    } cases[] = {
        {Direction::sendToHost, "Preparing 2 item(s) for A", "Preparing transfer\u2026", "Copying 3 item(s) to A",
         "Copying\u2026"},
        {Direction::receiveFromHost, "Requesting 2 item(s) from A", "Waiting for Host to begin transfer\u2026",
         "Receiving 3 item(s) from A", "Receiving\u2026"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.beginSummary);
        const UUID id = begin(c.direction);
        EXPECT_EQ(ui().transferSummaryLabel->text, c.beginSummary);
        EXPECT_EQ(ui().transferStatusLabel->text, c.beginStatus);
        EXPECT_FALSE(ui().transferProgressRow->isHidden);
        expectBar(true, true, 0, 0);
        EXPECT_FALSE(ui().cancelTransferButton->isHidden);
        EXPECT_TRUE(ui().cancelTransferButton->isEnabled);
        EXPECT_FALSE(ui().executeButton->isEnabled);
        EXPECT_EQ(ui().executeButton->text, "Copying\u2026");

        controller->transferDidStart(id, 3, 4096);
        EXPECT_EQ(ui().transferSummaryLabel->text, c.startSummary);
        EXPECT_EQ(ui().transferStatusLabel->text, c.startStatus);
        expectBar(false, false, 4096, 0);
    }
}

TEST_F(FileTransferProgressTest, PercentagesRoundHalvesUpAndNeverPassAHundred) {
    const struct {
        Direction direction;
        uint64_t sent, total;
        const char* status;
        double barValue;
    } cases[] = {
        {Direction::sendToHost, 1, 200, "Copying\u2026 1%", 1},
        {Direction::sendToHost, 1, 1000, "Copying\u2026 0%", 1},
        {Direction::sendToHost, 995, 1000, "Copying\u2026 100%", 995},
        {Direction::sendToHost, 150, 100, "Copying\u2026 100%", 100},
        {Direction::receiveFromHost, 3, 8, "Receiving\u2026 38%", 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        const UUID id = begin(c.direction);
        // A first progress report turns the waiting bar determinate.
        controller->transferDidUpdateProgress(id, c.sent, c.total);
        EXPECT_EQ(ui().transferStatusLabel->text, c.status);
        expectBar(false, false, static_cast<double>(c.total), c.barValue);
    }
}

TEST_F(FileTransferProgressTest, AnUnknownTotalKeepsTheBarWaitingAndIgnoresProgress) {
    const UUID id = beginSend();
    controller->transferDidStart(id, 2, 0);
    expectBar(true, true, 0, 0);
    const Footer before = footer();
    controller->transferDidUpdateProgress(id, 10, 0);
    EXPECT_EQ(footer(), before);
}

TEST_F(FileTransferProgressTest, AllSentWaitsForTheReceiptUntilARecheckPutsBackCopying) {
    const UUID id = beginSend();
    controller->transferDidStart(id, 2, 100);
    controller->transferDidUpdateProgress(id, 100, 100);
    controller->transferDidFinishSending(id);
    expectBar(false, false, 1, 1);
    EXPECT_FALSE(ui().transferProgressRow->isHidden);
    EXPECT_TRUE(ui().cancelTransferButton->isHidden);
    EXPECT_FALSE(ui().executeButton->isEnabled);
    EXPECT_EQ(ui().executeButton->text, "Waiting for Save\u2026");
    EXPECT_EQ(ui().transferSummaryLabel->text, "Sent. Waiting for the Host to save the files\u2026");
    EXPECT_EQ(ui().transferStatusLabel->text, "The Host is writing the files into the selected destination folder.");
    EXPECT_EQ(controller->activeTransferBatchID(), id);

    controller->updateExecuteButton();
    EXPECT_EQ(ui().executeButton->text, "Copying\u2026");
    EXPECT_FALSE(ui().executeButton->isEnabled);
}

// Whatever state the followed batch is in, the end of the Host's session
// ends it failed; with no batch followed it changes nothing.
TEST_F(FileTransferProgressTest, TheHostSessionEndingEndsTheWaitWithTheFailureText) {
    const struct {
        const char* what;
        std::function<void(Controller&, const UUID&)> reach;
    } cases[] = {
        {"preparing", [](Controller&, const UUID&) {}},
        {"waiting for save", [](Controller& c, const UUID& id) {
             c.transferDidStart(id, 2, 100);
             c.transferDidFinishSending(id);
         }},
        {"cancelling", [](Controller& c, const UUID& id) { c.transferDidRequestCancellation(id); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const UUID id = beginSend();
        c.reach(*controller, id);
        controller->hostSessionDidEnd();
        EXPECT_FALSE(controller->activeTransferBatchID());
        EXPECT_TRUE(controller->cancelledTransferBatchIDs().empty());
        EXPECT_EQ(ui().transferSummaryLabel->text, "Connection to the Host lost");
        EXPECT_EQ(ui().transferStatusLabel->text,
                  "The connection to the Host ended before it confirmed the transfer. Check the selected destination "
                  "folder.");
        EXPECT_NE(ui().executeButton->text, "Waiting for Save…");
        EXPECT_TRUE(ui().transferProgressRow->isHidden);
        EXPECT_TRUE(alerts().empty());
    }
    const std::string idle = ui().transferStatusLabel->text;
    controller->hostSessionDidEnd();
    EXPECT_EQ(ui().transferStatusLabel->text, idle);
}

TEST_F(FileTransferProgressTest, CancelShowsCancellingBeforeTheServiceIsAskedAndEndsCancelled) {
    make();
    ui().cancelTransferButton->performClick();  // nothing to cancel
    EXPECT_TRUE(cancelRequests.empty());

    const UUID id = beginSend();
    ui().cancelTransferButton->performClick();
    ASSERT_EQ(cancelRequests.size(), 1u);
    EXPECT_EQ(cancelRequests[0].batchID, id);
    EXPECT_EQ(cancelRequests[0].statusShown, "Cancelling transfer\u2026");
    EXPECT_FALSE(ui().cancelTransferButton->isEnabled);
    EXPECT_FALSE(ui().cancelTransferButton->isHidden);

    // The batch starts anyway: still cancelling.
    controller->transferDidStart(id, 2, 100);
    EXPECT_FALSE(ui().cancelTransferButton->isHidden);
    EXPECT_FALSE(ui().cancelTransferButton->isEnabled);
    EXPECT_EQ(ui().transferStatusLabel->text, "Cancelling transfer\u2026");
    EXPECT_EQ(ui().transferSummaryLabel->text, "Copying 2 item(s) to A");
    controller->transferDidUpdateProgress(id, 50, 100);
    EXPECT_EQ(ui().transferStatusLabel->text, "Copying\u2026 50%");
    EXPECT_FALSE(ui().cancelTransferButton->isEnabled);

    // The owner reports a plain end: the cancel asked here decides.
    const size_t listings = listingRequests.size();
    controller->transferDidComplete(id, false, true);
    expectBar(false, false, 1, 0);
    EXPECT_EQ(ui().transferSummaryLabel->text, "Transfer cancelled");
    EXPECT_EQ(ui().transferStatusLabel->text, "The transfer was cancelled before it finished.");
    EXPECT_TRUE(ui().cancelTransferButton->isHidden);
    EXPECT_TRUE(controller->cancelledTransferBatchIDs().empty());
    EXPECT_EQ(listingRequests.size(), listings) << "no refresh";
    EXPECT_TRUE(alerts().empty());
    EXPECT_FALSE(controller->activeTransferBatchID());
    EXPECT_TRUE(ui().executeButton->isEnabled);
}

TEST_F(FileTransferProgressTest, AReportedCancelKeepsTheBatchInTheCancellingSet) {
    const UUID id = beginReceive();
    controller->transferDidRequestCancellation(id);
    controller->transferDidComplete(id, true, false);
    EXPECT_EQ(ui().transferSummaryLabel->text, "Transfer cancelled");
    EXPECT_EQ(controller->cancelledTransferBatchIDs(), std::set<UUID>{id});
    EXPECT_TRUE(alerts().empty());
}

TEST_F(FileTransferProgressTest, ReportsForAnotherBatchOrNoneChangeNothing) {
    const UUID other = UUID::random();
    const std::vector<std::pair<const char*, std::function<void(Controller&, const UUID&)>>> reports = {
        {"start", [](Controller& c, const UUID& id) { c.transferDidStart(id, 9, 900); }},
        {"progress", [](Controller& c, const UUID& id) { c.transferDidUpdateProgress(id, 5, 10); }},
        {"all sent", [](Controller& c, const UUID& id) { c.transferDidFinishSending(id); }},
        {"cancellation", [](Controller& c, const UUID& id) { c.transferDidRequestCancellation(id); }},
        {"complete", [](Controller& c, const UUID& id) { c.transferDidComplete(id, false, true); }},
        {"fail", [](Controller& c, const UUID& id) { c.transferDidFail(id, "boom", "Failed"); }},
    };
    for (const bool active : {true, false}) {
        const UUID id = beginSend();
        controller->transferDidStart(id, 2, 100);
        if (!active) controller->transferDidFail(id, "gone", std::nullopt);
        for (const auto& [what, report] : reports) {
            SCOPED_TRACE(std::string(what) + (active ? " for another batch" : " with none active"));
            const Footer before = footer();
            report(*controller, other);
            if (!active) report(*controller, id);  // late reports of the ended batch
            EXPECT_EQ(footer(), before);
            EXPECT_TRUE(alerts().empty());
        }
    }
}

TEST_F(FileTransferProgressTest, ANewBatchReplacesTheFollowedOne) {
    const UUID first = beginSend();
    const UUID second = execute();
    ASSERT_NE(first, second);
    EXPECT_EQ(controller->activeTransferBatchID(), second);
    controller->transferDidComplete(first, false, true);
    EXPECT_EQ(controller->activeTransferBatchID(), second);
    EXPECT_TRUE(alerts().empty());
}

TEST_F(FileTransferProgressTest, CompletionTextsSheetAndRefreshFollowTheOutcome) {
    const struct {
        const char* what;
        Direction direction;
        bool confirmed;
        const char *summary, *status, *title, *message;
    } cases[] = {
        {"confirmed send", Direction::sendToHost, true, "\U0001F4E4 Copied 2 item(s) to A",
         "\u2705 2 items transferred \u2014 ready for another copy.", "Transfer Complete",
         "2 items successfully transferred to A."},
        {"confirmed receive", Direction::receiveFromHost, true, "\U0001F4E5 Copied 2 item(s) to A",
         "\u2705 2 items transferred \u2014 ready for another copy.", "Transfer Complete",
         "2 items successfully transferred to A."},
        {"unconfirmed send", Direction::sendToHost, false, "\U0001F4E4 Sent 2 item(s) to A",
         "The Host did not send its final save confirmation. Check the selected destination folder.", "Transfer Sent",
         "The transfer bytes were sent, but the Host did not return a final save receipt. Verify the selected folder "
         "before sending another copy."},
        {"unconfirmed receive", Direction::receiveFromHost, false, "\U0001F4E5 Sent 2 item(s) to A",
         "The Host did not send its final save confirmation. Check the selected destination folder.", "Transfer Sent",
         "The transfer bytes were sent, but the Host did not return a final save receipt. Verify the selected folder "
         "before sending another copy."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const UUID id = begin(c.direction);
        const auto window = controller->window();
        const int level = window->level();
        const uint32_t behavior = window->collectionBehavior();
        controller->transferDidStart(id, 2, 10);
        fs::remove_all(localDesktop());
        fs::create_directories(localDesktop());
        std::ofstream(localDesktop() / "arrived.txt") << "x";
        const size_t listings = listingRequests.size();
        controller->transferDidComplete(id, false, c.confirmed);

        EXPECT_EQ(ui().transferSummaryLabel->text, c.summary);
        EXPECT_EQ(ui().transferStatusLabel->text, c.status);
        expectBar(false, false, 1, 1);
        EXPECT_TRUE(ui().cancelTransferButton->isHidden);
        EXPECT_FALSE(ui().transferProgressRow->isHidden);
        EXPECT_FALSE(controller->activeTransferBatchID());
        if (c.direction == Direction::sendToHost) {
            // The Host folder is asked for again.
            auto docs = controller->remoteRoots()[2];
            EXPECT_EQ(listingRequests.size(), listings + 1);
            EXPECT_EQ(listingRequests.back(), "~/Documents");
            ASSERT_TRUE(docs->children);
            EXPECT_EQ(names(*docs->children), std::vector<std::string>{"Loading..."});
            EXPECT_TRUE(ui().rightOutlineView->isItemExpanded(docs));
        } else {
            // This device's folder is listed again at once.
            auto desktop = controller->localRoots()[0];
            ASSERT_TRUE(desktop->children);
            EXPECT_EQ(names(*desktop->children), std::vector<std::string>{"arrived.txt"});
            EXPECT_TRUE(ui().leftOutlineView->isItemExpanded(desktop));
            EXPECT_EQ(listingRequests.size(), listings);
        }

        const auto shown = alerts();
        ASSERT_EQ(shown.size(), 1u);
        const auto& alert = shown[0];
        EXPECT_EQ(alert->messageText, c.title);
        EXPECT_EQ(alert->informativeText, c.message);
        EXPECT_EQ(alert->alertStyle, platform::Alert::Style::informational);
        EXPECT_EQ(alert->iconImageName, "NSFolder");
        EXPECT_EQ(alert->buttonTitles(), std::vector<std::string>{"OK"});
        EXPECT_EQ(alert->window()->sheetParent(), window);
        EXPECT_EQ(window->level(), platform::kFloatingWindowLevel);
        alert->pressButton(0);
        EXPECT_EQ(window->level(), level);
        EXPECT_EQ(window->collectionBehavior(), behavior);
        EXPECT_TRUE(alerts().empty());
    }
}

TEST_F(FileTransferProgressTest, TheNounFollowsTheLastCountReported) {
    const struct {
        std::optional<int64_t> started;  // none: the count handed to the owner
        const char* status;
    } cases[] = {
        {1, "\u2705 1 item transferred \u2014 ready for another copy."},
        {0, "\u2705 0 items transferred \u2014 ready for another copy."},
        {7, "\u2705 7 items transferred \u2014 ready for another copy."},
        {std::nullopt, "\u2705 2 items transferred \u2014 ready for another copy."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        const UUID id = beginSend();
        if (c.started) controller->transferDidStart(id, *c.started, 10);
        controller->transferDidComplete(id, false, true);
        EXPECT_EQ(ui().transferStatusLabel->text, c.status);
        for (const auto& alert : alerts()) alert->pressButton(0);
    }
}

TEST_F(FileTransferProgressTest, TheRowHidesTwoSecondsLaterUnlessANewBatchBegan) {
    UUID id = beginSend();
    controller->transferDidComplete(id, false, true);
    advance(1.9);
    EXPECT_FALSE(ui().transferProgressRow->isHidden);
    advance(0.2);
    EXPECT_TRUE(ui().transferProgressRow->isHidden);

    // A batch begun within the two seconds keeps its bar and Cancel button.
    for (const auto& alert : alerts()) alert->pressButton(0);
    id = execute();
    controller->transferDidComplete(id, true, false);
    advance(1.0);
    const UUID next = execute();
    advance(1.5);
    EXPECT_FALSE(ui().transferProgressRow->isHidden);
    EXPECT_FALSE(ui().cancelTransferButton->isHidden);
    EXPECT_EQ(controller->activeTransferBatchID(), next);

    // A window gone before the step: nothing happens.
    controller->transferDidComplete(next, true, false);
    std::weak_ptr<Controller> weak = controller;
    controller.reset();
    advance(2.5);
    EXPECT_TRUE(weak.expired());
}

TEST_F(FileTransferProgressTest, FailureHidesTheRowAtOnceAndShowsTheOwnersWords) {
    const struct {
        std::optional<std::string> summary;
        std::string message, shownSummary;
    } cases[] = {
        {"Host refused", "The destination folder is not available on this device.", "Host refused"},
        {std::nullopt, "", "Transfer could not start"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shownSummary);
        const UUID id = beginSend();
        controller->transferDidStart(id, 2, 100);
        controller->transferDidRequestCancellation(id);
        const size_t listings = listingRequests.size();
        controller->transferDidFail(id, c.message, c.summary);
        EXPECT_EQ(ui().transferSummaryLabel->text, c.shownSummary);
        EXPECT_EQ(ui().transferStatusLabel->text, c.message);
        EXPECT_TRUE(ui().transferProgressRow->isHidden);
        EXPECT_TRUE(ui().cancelTransferButton->isHidden);
        EXPECT_FALSE(ui().transferProgressIndicator->isAnimating);
        EXPECT_TRUE(ui().executeButton->isEnabled);
        EXPECT_EQ(ui().executeButton->text, "Copy 2 Item(s) to A");
        EXPECT_TRUE(controller->cancelledTransferBatchIDs().empty());
        EXPECT_EQ(listingRequests.size(), listings);
        EXPECT_TRUE(alerts().empty());
    }
}

TEST_F(FileTransferProgressTest, WithoutAWindowTheOutcomeShowsButNoAlert) {
    const UUID id = beginSend();
    controller->setWindow(nullptr);
    EXPECT_FALSE(controller->foregroundWindow());
    controller->transferDidComplete(id, false, true);
    EXPECT_EQ(ui().transferSummaryLabel->text, "\U0001F4E4 Copied 2 item(s) to A");
    EXPECT_TRUE(alerts().empty());
}
