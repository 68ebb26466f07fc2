// Demo mode: the sample trees on both sides, the fixed Host entry, and a
// copy action that explains instead of sending, for the window's life.

#include <gtest/gtest.h>

#include "FileTransferWindowFixture.h"
#include "Platform/AppKit/AppKitApplication.h"
#include "Platform/Foundation/Calendar.h"
#include "Platform/Runtime/Dispatch.h"

using Kind = FileTransferNode::Kind;

namespace {

const char* kDemoText =
    "This is a sample listing that demonstrates the File Transfer UI. Connect a real Host to transfer files.";

// One row of the expected sample tree, in built order, depth first.
struct Row {
    int depth;
    std::string name, path;
    Kind kind;
    uint64_t size;
    std::optional<int> daysAgo;
    bool ticked;
};

std::vector<Row> expectedRows(const std::string& side) {
    return {
        {0, side, "~/", Kind::volume, 0, {}, false},
        {1, "Documents", "~/Documents", Kind::directory, 0, {}, false},
        {2, "Projects", "~/Documents/Projects", Kind::directory, 0, {}, false},
        {3, "Demo.mov", "~/Documents/Projects/Demo.mov", Kind::file, 96000000, 3, false},
        {3, "App.swift", "~/Documents/Projects/App.swift", Kind::file, 18432, 0, false},
        {3, "Logo.png", "~/Documents/Projects/Logo.png", Kind::file, 524288, 9, false},
        {2, "Notes.txt", "~/Documents/Notes.txt", Kind::file, 2048, 2, true},
        {2, "Budget.xlsx", "~/Documents/Budget.xlsx", Kind::file, 48204, 6, false},
        {2, "Readme.md", "~/Documents/Readme.md", Kind::file, 1024, 1, false},
        {1, "Downloads", "~/Downloads", Kind::directory, 0, {}, false},
        {2, "NorvessalHost-1.6.0.pkg", "~/Downloads/NorvessalHost-1.6.0.pkg", Kind::file, 2800000, 1, false},
        {2, "Screenshot.png", "~/Downloads/Screenshot.png", Kind::file, 1200000, 5, false},
    };
}

void flatten(const FileTransferWindowController::NodeList& nodes, int depth, std::vector<std::pair<int, FileTransferNodePtr>>& out) {
    for (const auto& node : nodes) {
        out.emplace_back(depth, node);
        if (node->children) flatten(*node->children, depth + 1, out);
    }
}

}  // namespace

class FileTransferDemoModeTest : public FileTransferWindowTest {
protected:
    void TearDown() override {
        for (const auto& alert : alerts()) alert->pressButton(0);
        FileTransferWindowTest::TearDown();
    }
    FileTransferNodePtr rightDocuments() const { return controller->remoteRoots()[0]->children->at(0); }
};

TEST_F(FileTransferDemoModeTest, BothPanesHoldTheSampleTreeDatedFromNow) {
    make();
    controller->showDemoListing();
    const auto now = platform::Clock::now();
    for (const auto& [side, roots] : {std::pair{"This Mac", controller->localRoots()},
                                      std::pair{"Demo Host", controller->remoteRoots()}}) {
        SCOPED_TRACE(side);
        std::vector<std::pair<int, FileTransferNodePtr>> rows;
        flatten(roots, 0, rows);
        const auto expected = expectedRows(side);
        ASSERT_EQ(rows.size(), expected.size());
        for (size_t i = 0; i < rows.size(); ++i) {
            const auto& [depth, node] = rows[i];
            const Row& e = expected[i];
            SCOPED_TRACE(e.name);
            EXPECT_EQ(depth, e.depth);
            EXPECT_EQ(node->name, e.name);
            EXPECT_EQ(node->path, e.path);
            EXPECT_EQ(node->kind, e.kind);
            EXPECT_EQ(node->size, e.size);
            EXPECT_EQ(node->isChecked, e.ticked);
            EXPECT_FALSE(node->isMixedState);
            EXPECT_EQ(node->children.has_value(), node->isContainer());
            const auto date = e.daysAgo ? std::optional(platform::Calendar::addingDays(-*e.daysAgo, now)) : std::nullopt;
            EXPECT_EQ(node->modificationDate, date);
            EXPECT_EQ(node->parent.expired(), depth == 0);
        }
    }
    const auto& selector = *ui().hostSelector;
    ASSERT_EQ(selector.items.size(), 1u);
    EXPECT_EQ(selector.items[0].title, "Demo Host");
    EXPECT_FALSE(selector.isEnabled);
    EXPECT_FALSE(controller->selectedPeerID());
    EXPECT_FALSE(controller->selectedPeerName());
    EXPECT_TRUE(controller->demoMode());
    runUntilIdle();
    EXPECT_TRUE(controller->window()->isKeyWindow());
    EXPECT_EQ(controller->window()->orderFrontRegardlessCount(), 1);
    EXPECT_FALSE(ui().executeButton->isEnabled);
}

TEST_F(FileTransferDemoModeTest, EveryCallBuildsFreshTreesWithTheTickBack) {
    make();
    controller->showDemoListing();
    const auto first = controller->localRoots()[0];
    auto notes = first->children->at(0)->children->at(1);
    ASSERT_EQ(notes->name, "Notes.txt");
    notes->isChecked = false;
    controller->showDemoListing();
    EXPECT_NE(controller->localRoots()[0], first);
    EXPECT_TRUE(controller->localRoots()[0]->children->at(0)->children->at(1)->isChecked);
    EXPECT_NE(Controller::demoRoots("x")[0], Controller::demoRoots("x")[0]);
}

TEST_F(FileTransferDemoModeTest, TheCopyActionExplainsAndSendsNothingEvenAfterRefresh) {
    make();
    controller->showDemoListing();
    const auto window = controller->window();
    for (const char* when : {"in the sample", "after Refresh"}) {
        SCOPED_TRACE(when);
        const int level = window->level();
        const uint32_t behavior = window->collectionBehavior();
        controller->executeTransfer();
        const auto shown = alerts();
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0]->messageText, "Demo Listing");
        EXPECT_EQ(shown[0]->informativeText, kDemoText);
        EXPECT_EQ(shown[0]->buttonTitles(), std::vector<std::string>{"OK"});
        EXPECT_EQ(shown[0]->window()->sheetParent(), window);
        EXPECT_EQ(window->level(), platform::kFloatingWindowLevel);
        EXPECT_FALSE(window->hidesOnDeactivate);
        shown[0]->pressButton(0);
        EXPECT_EQ(window->level(), level);
        EXPECT_EQ(window->collectionBehavior(), behavior);
        EXPECT_TRUE(sends.empty());
        EXPECT_TRUE(receives.empty());
        EXPECT_FALSE(controller->activeTransferBatchID());
        controller->refreshClicked();
    }
    EXPECT_TRUE(controller->demoMode());
}

TEST_F(FileTransferDemoModeTest, WithoutAWindowTheAlertRunsModallyAtTheModalPanelLevel) {
    make();
    controller->showDemoListing();
    controller->setWindow(nullptr);
    std::vector<std::pair<std::string, int>> seen;
    platform::DispatchQueue::main().asyncAfter(0.5, [&seen] {
        for (const auto& alert : alerts()) {
            seen.emplace_back(alert->messageText, alert->window()->level());
            alert->pressButton(0);
        }
    });
    controller->executeTransfer();
    EXPECT_EQ(seen, (std::vector<std::pair<std::string, int>>{{"Demo Listing", platform::kModalPanelWindowLevel}}));
    EXPECT_TRUE(alerts().empty());
}

TEST_F(FileTransferDemoModeTest, HostSampleFoldersOpenWithoutAskingAnyHost) {
    make();
    // A listing asked of the real Host before the sample replaced it.
    ui().rightOutlineView->expandItem(controller->remoteRoots()[2]);
    ASSERT_EQ(listingRequests.size(), 1u);
    controller->showDemoListing();
    EXPECT_EQ(controller->pendingRemoteRequestCount(), 0u);
    handler(listingIDs[0], "/Users/u/Documents", {});

    const auto docs = rightDocuments();
    ui().rightOutlineView->expandItem(controller->remoteRoots()[0]);
    ui().rightOutlineView->expandItem(docs);
    ui().rightOutlineView->doubleClickRow(ui().rightOutlineView->rowForItem(docs));
    EXPECT_EQ(listingRequests.size(), 1u);
    EXPECT_EQ(names(*docs->children), (std::vector<std::string>{"Projects", "Notes.txt", "Budget.xlsx", "Readme.md"}));
}

TEST_F(FileTransferDemoModeTest, TickingDocumentsCountsOneFolder) {
    make();
    controller->showDemoListing();
    auto documents = controller->localRoots()[0]->children->at(0);
    clickRowBox(documents, ui().leftOutlineView, 0);
    EXPECT_TRUE(documents->isChecked);
    EXPECT_EQ(ui().leftStatusLabel->text, "Selected: 1 folder(s) + 0 B");
}

TEST_F(FileTransferDemoModeTest, AHeaderClickResortsBothSampleTrees) {
    make();
    controller->showDemoListing();
    ui().leftOutlineView->clickHeader("files");
    for (const auto* roots : {&controller->localRoots(), &controller->remoteRoots()}) {
        const auto& documents = roots->at(0)->children->at(0);
        EXPECT_EQ(names(*documents->children),
                  (std::vector<std::string>{"Projects", "Budget.xlsx", "Notes.txt", "Readme.md"}));
    }
}
