// The Host tree listed on request: one request per opening, the 6 s and
// 20 s checks, retries, resolved paths and replies that must not land.

#include <gtest/gtest.h>

#include "FileTransferWindowFixture.h"

using Kind = FileTransferNode::Kind;

namespace {

RemoteDirectoryEntry entry(const std::string& name, bool folder, uint64_t size = 0,
                           std::optional<double> date = std::nullopt) {
    RemoteDirectoryEntry e;
    e.name = name;
    e.isDirectory = folder;
    e.size = size;
    if (date) e.modificationDate = platform::Date{*date};
    return e;
}

const std::string kRetry = "No response \u2014 double-click to try again";

}  // namespace

class FileTransferHostListingTest : public FileTransferWindowTest {
protected:
    FileTransferNodePtr root(size_t i) const { return controller->remoteRoots()[i]; }
    void open(const FileTransferNodePtr& node) {
        ui().rightOutlineView->collapseItem(node);
        ui().rightOutlineView->expandItem(node);
    }
    std::string status() const { return ui().rightStatusLabel->text; }
    std::vector<std::string> childNames(const FileTransferNodePtr& node) const {
        return node->children ? names(*node->children) : std::vector<std::string>{"<none>"};
    }
    // Replies to the first two listings (Documents, then Home) once they are
    // stale: the chosen target, the status and the Host's home stay as they were.
    void expectTheFirstTwoRepliesChangeNothing() {
        const auto statusBefore = status();
        handler(listingIDs[0], "/Users/a/Documents", {entry("x", true)});
        handler(listingIDs[1], "/Users/a", {});
        EXPECT_EQ(controller->targetDirectoryPath(), "~/Documents");
        EXPECT_EQ(status(), statusBefore);
        EXPECT_FALSE(controller->remoteHomePath());
    }
};

TEST_F(FileTransferHostListingTest, OpeningAsksOnceAndAReplyListsFoldersFirst) {
    make();
    const auto docs = root(2);
    open(docs);
    open(docs);  // in flight: nothing more
    EXPECT_EQ(listingRequests, (std::vector<std::string>{"~/Documents"}));
    EXPECT_EQ(childNames(docs), (std::vector<std::string>{"Loading..."}));
    EXPECT_EQ(docs->children->front()->kind, Kind::placeholder);

    handler(listingIDs[0], "/Users/u/Documents",
            {entry("b.txt", false, 5, 100.0), entry("Sub", true, 99, 50.0), entry("a.txt", false, 0),
             entry("..", true), entry("../x", false), entry("a/b", true), entry("", false), entry(".", true),
             entry(std::string("n\0l", 3), false)});
    EXPECT_EQ(childNames(docs), (std::vector<std::string>{"Sub", "a.txt", "b.txt"}));
    const auto& sub = docs->children->at(0);
    EXPECT_EQ(sub->path, "/Users/u/Documents/Sub");
    EXPECT_EQ(sub->size, 0u);
    EXPECT_FALSE(sub->modificationDate);
    EXPECT_EQ(docs->children->at(2)->size, 5u);
    EXPECT_EQ(docs->children->at(2)->modificationDate, platform::Date{100.0});
    EXPECT_EQ(docs->path, "/Users/u/Documents");
    EXPECT_EQ(status(), "Loaded: /Users/u/Documents");
    EXPECT_EQ(controller->remoteHomePath(), "/Users/u");

    open(docs);
    handler(listingIDs[0], "/elsewhere", {});  // answered already
    EXPECT_EQ(listingRequests.size(), 1u);
    EXPECT_EQ(docs->path, "/Users/u/Documents");

    open(sub);
    handler(listingIDs[1], "", {});
    EXPECT_EQ(sub->path, "/Users/u/Documents/Sub");
    EXPECT_TRUE(sub->children && sub->children->empty());
    EXPECT_EQ(status(), "No subfolders. This folder is selected.");
}

TEST_F(FileTransferHostListingTest, UnansweredRequestsTimeOutAndRetriesGetTheirOwnTime) {
    make();
    const auto home = root(0);
    open(home);
    advance(6.0);
    EXPECT_EQ(status(), "Still loading this Host folder...");
    EXPECT_EQ(childNames(home), (std::vector<std::string>{"Loading..."}));
    advance(14.0);
    EXPECT_EQ(status(), "No response for directory listing");
    EXPECT_EQ(childNames(home), (std::vector<std::string>{kRetry}));
    handler(listingIDs[0], "/home/u", {entry("late", true)});
    EXPECT_EQ(childNames(home), (std::vector<std::string>{kRetry}));
    EXPECT_EQ(home->path, "~");

    // Double-clicking the retry row asks again; a retry at 19 s keeps its
    // own 20 s.
    ui().rightOutlineView->doubleClickRow(ui().rightOutlineView->rowForItem(home->children->front()));
    ASSERT_EQ(listingRequests.size(), 2u);
    advance(19.0);
    ui().rightOutlineView->doubleClickRow(ui().rightOutlineView->rowForItem(home));
    ASSERT_EQ(listingRequests.size(), 3u);
    advance(1.0);
    EXPECT_EQ(childNames(home), (std::vector<std::string>{"Loading..."}));
    handler(listingIDs[1], "/home/u", {entry("old", true)});  // replaced: ignored
    EXPECT_EQ(childNames(home), (std::vector<std::string>{"Loading..."}));
    advance(18.0);
    EXPECT_EQ(childNames(home), (std::vector<std::string>{"Loading..."}));
    advance(1.0);
    EXPECT_EQ(childNames(home), (std::vector<std::string>{kRetry}));
    EXPECT_EQ(controller->pendingRemoteRequestCount(), 0u);
}

TEST_F(FileTransferHostListingTest, AResolvedHomeCarriesItsRowsAndTheTarget) {
    make();
    chooseTarget(ui().rightOutlineView, "~");
    open(root(0));
    handler(listingIDs[0], "/home/u", {entry("Music", true)});
    EXPECT_EQ(root(0)->path, "/home/u");
    EXPECT_EQ(root(0)->children->front()->path, "/home/u/Music");
    EXPECT_EQ(controller->targetDirectoryPath(), "/home/u");
    EXPECT_EQ(status(), "Target: /home/u");

    const struct {
        std::string folder, child;
    } joins[] = {{"/", "/etc"}, {"~", "~/etc"}, {"/srv/", "/srv//etc"}};
    for (const auto& j : joins) {
        auto folder = dir("F", j.folder);
        controller->setRemoteRootsForTesting({folder});
        open(folder);
        handler(listingIDs.back(), "", {entry("etc", true)});
        EXPECT_EQ(folder->children->front()->path, j.child);
    }
}

TEST_F(FileTransferHostListingTest, ListedChildrenOfATickedSourceFolderStartUnticked) {
    make();
    controller->selectDirection(TransferPanelDirection::receiveFromHost);
    for (const auto& r : controller->remoteRoots()) r->isChecked = true;
    controller->updateLeftCheckboxState();
    EXPECT_EQ(ui().rightTopCheckbox->state(), platform::View::kStateOn);
    open(root(1));
    handler(listingIDs[0], "/home/u/Desktop", {entry("a.txt", false, 4)});
    EXPECT_TRUE(root(1)->isChecked);
    EXPECT_FALSE(root(1)->children->front()->isChecked);
    EXPECT_EQ(ui().rightTopCheckbox->state(), platform::View::kStateMixed);
}

TEST_F(FileTransferHostListingTest, RepliesForThePreviousHostChangeNothing) {
    make();
    open(root(2));
    open(root(0));
    ui().hostSelector->selectedIndex = 1;
    controller->hostSelectionChanged();
    EXPECT_EQ(controller->pendingRemoteRequestCount(), 0u);
    chooseTarget(ui().rightOutlineView, "~/Documents");
    expectTheFirstTwoRepliesChangeNothing();

    // Refresh forgets too.
    open(root(2));
    controller->refreshClicked();
    handler(listingIDs.back(), "/Users/b/Documents", {});
    EXPECT_EQ(controller->targetDirectoryPath(), "~/Documents");
    EXPECT_EQ(controller->pendingRemoteRequestCount(), 0u);
}

TEST_F(FileTransferHostListingTest, RepliesAfterTheLastHostLeftChangeNothing) {
    make();
    open(root(2));
    open(root(0));
    chooseTarget(ui().rightOutlineView, "~/Documents");
    ASSERT_EQ(controller->pendingRemoteRequestCount(), 2u);
    peers.clear();
    controller->show();
    EXPECT_EQ(controller->pendingRemoteRequestCount(), 0u);
    expectTheFirstTwoRepliesChangeNothing();
}
