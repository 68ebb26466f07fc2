// Row checkboxes, Select All, the source status line and the backup option.

#include <gtest/gtest.h>

#include "FileTransferWindowFixture.h"

using platform::View;

namespace {

struct Marks {
    bool checked, mixed;
    bool operator==(const Marks&) const = default;
};
Marks marks(const FileTransferNodePtr& n) { return {n->isChecked, n->isMixedState}; }

// An unlisted folder whose size the listing gave.
FileTransferNodePtr folderOf(uint64_t size) {
    auto folder = dir("d", "/d");
    folder->size = size;
    return folder;
}

}  // namespace

TEST_F(FileTransferWindowTest, RowToggleRollsUpThroughEveryAncestor) {
    make();
    auto a = file("a", "/r/m/a"), b = file("b", "/r/m/b"), c = file("c", "/r/c");
    auto mid = dir("m", "/r/m", std::vector{a, b});
    auto root = dir("r", "/r", std::vector{mid, c});
    controller->setLocalRootsForTesting({root});
    const auto& left = ui().leftOutlineView;
    const Marks on{true, false}, off{false, false}, mixed{false, true};

    clickRowBox(root, left, View::kStateOff);  // off -> mixed, which counts as ticked
    EXPECT_EQ(marks(root), on);
    EXPECT_EQ(marks(a), on);
    EXPECT_EQ(ui().leftTopCheckbox->state(), View::kStateOn);

    const struct {
        FileTransferNodePtr node;
        int shown;
        Marks a, mid, root;
    } steps[] = {
        {a, View::kStateOn, off, mixed, mixed},
        {b, View::kStateOn, off, off, mixed},  // c still ticks the root partly
        {c, View::kStateOn, off, off, off},
        {mid, View::kStateMixed, on, on, mixed},  // a mixed box clicked turns on with its subtree
        {c, View::kStateOff, on, on, on},
    };
    for (const auto& s : steps) {
        clickRowBox(s.node, left, s.shown);
        EXPECT_EQ(marks(a), s.a) << s.node->name;
        EXPECT_EQ(marks(mid), s.mid) << s.node->name;
        EXPECT_EQ(marks(root), s.root) << s.node->name;
    }

    // A box that lost its outline view does nothing.
    auto gone = platform::OutlineView::make();
    std::weak_ptr<platform::OutlineView> weak = gone;
    gone.reset();
    clickRowBox(c, weak.lock(), View::kStateOn);
    EXPECT_EQ(marks(c), on);
}

TEST_F(FileTransferWindowTest, SelectAllOfEitherPaneActsOnTheSourceTree) {
    make();
    auto local = dir("L", "/L", std::vector{file("x", "/L/x")});
    auto remote = file("r", "~/r");
    controller->setLocalRootsForTesting({local});
    controller->setRemoteRootsForTesting({remote});
    for (const auto& box : {ui().rightTopCheckbox, ui().leftTopCheckbox}) {
        ui().leftOutlineView->selectRow(0);
        box->setState(View::kStateOff);
        box->performClick();
        EXPECT_TRUE(controller->allNodesChecked(controller->localRoots()));
        EXPECT_FALSE(remote->isChecked);
        EXPECT_EQ(ui().leftOutlineView->selectedRow(), -1);
        EXPECT_EQ(ui().leftTopCheckbox->state(), View::kStateOn);
        box->performClick();  // on -> off
        EXPECT_FALSE(controller->anyNodeChecked(controller->localRoots()));
    }
    ui().directionControl->clickSegment(1);
    ui().leftTopCheckbox->setState(View::kStateOff);
    ui().leftTopCheckbox->performClick();
    EXPECT_TRUE(remote->isChecked);
    EXPECT_FALSE(local->isChecked);
    EXPECT_EQ(ui().rightStatusLabel->text, "Selected: 1 file(s) + 0 B");
}

TEST_F(FileTransferWindowTest, StatusLineSummarisesTheUniqueItems) {
    make();
    const uint64_t half = uint64_t{1} << 63;
    const struct {
        const char* what;
        std::vector<std::pair<FileTransferNodePtr, bool>> roots;  // node, ticked
        const char* status;
        int selectAll;
    } cases[] = {
        {"empty tree", {}, "Selected: 0 items", View::kStateOn},
        {"nothing ticked", {{file("f", "/f", 3), false}}, "Selected: 0 items", View::kStateOff},
        {"files and a folder",
         {{file("a", "/a", 1000000), true}, {file("b", "/b", 2000000), true}, {folderOf(500000), true},
          {file("c", "/c", 7), false}},
         "Selected: 2 file(s) + 1 folder(s) + 3.5 MB",
         View::kStateMixed},
        {"an unlisted folder", {{dir("d", "/d"), true}}, "Selected: 1 folder(s) + 0 B", View::kStateOn},
        {"sizes past the range saturate",
         {{file("a", "/a", half), true}, {file("b", "/b", half), true}},
         "Selected: 2 file(s) + 18446744073.7 GB",
         View::kStateOn},
    };
    for (const auto& c : cases) {
        Controller::NodeList roots;
        for (const auto& [node, ticked] : c.roots) {
            node->isChecked = ticked;
            roots.push_back(node);
        }
        controller->setLocalRootsForTesting(roots);
        EXPECT_EQ(ui().leftStatusLabel->text, c.status) << c.what;
        EXPECT_EQ(ui().leftTopCheckbox->state(), c.selectAll) << c.what;
    }
}

TEST_F(FileTransferWindowTest, HostHomeFoldsItsFullPathsIntoTheHomeRoot) {
    make();
    ui().directionControl->clickSegment(1);
    auto home = dir("Home", "~");
    auto deep = file("a", "/Users/host/Desktop/a", 5);
    home->isChecked = deep->isChecked = true;
    controller->setRemoteRootsForTesting({home, deep});
    EXPECT_EQ(ui().rightStatusLabel->text, "Selected: 1 file(s) + 1 folder(s) + 5 B");
    controller->setRemoteHomePathForTesting("/Users/host");
    controller->updateLeftCheckboxState();
    EXPECT_EQ(ui().rightStatusLabel->text, "Selected: 1 folder(s) + 0 B");
}

TEST_F(FileTransferWindowTest, BackupOptionFollowsItsCheckbox) {
    make();
    ui().backupCheckbox->performClick();
    EXPECT_TRUE(controller->backupEnabled());
    ui().backupCheckbox->performClick();
    EXPECT_FALSE(controller->backupEnabled());
}
