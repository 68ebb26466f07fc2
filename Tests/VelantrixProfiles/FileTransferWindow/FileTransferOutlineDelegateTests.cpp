// Row cells, selection, expansion and double clicks of both trees.

#include <gtest/gtest.h>

#include "FileTransferWindowFixture.h"
#include "Platform/AppKit/AppKitLayout.h"
#include "Platform/Files/FileSystemAccess.h"
#include "Platform/Files/Folders.h"

using platform::Color;
using platform::LayoutAttribute;
using platform::View;
using Kind = FileTransferNode::Kind;

namespace {

std::shared_ptr<View> subviewWhere(const std::shared_ptr<View>& cell, const std::function<bool(const View&)>& p) {
    for (const auto& v : cell->subviews())
        if (p(*v)) return v;
    return nullptr;
}

std::shared_ptr<View> labelEndingWith(const std::shared_ptr<View>& cell, const std::string& text) {
    return subviewWhere(cell, [&](const View& v) { return v.kind == View::Kind::label && v.text.ends_with(text); });
}

double leadingOf(const std::shared_ptr<View>& view) {
    auto c = platform::activeConstraint(*view, LayoutAttribute::leading, LayoutAttribute::leading);
    return c ? c->constant : -1;
}

}  // namespace

class FileTransferOutlineDelegateTest : public FileTransferWindowTest {
protected:
    void SetUp() override {
        FileTransferWindowTest::SetUp();
        make();
        local = dir("Desktop", "~/Desktop",
                    {file("big.bin", "~/Desktop/big.bin", 2048), file("empty.txt", "~/Desktop/empty.txt"),
                     placeholder("Loading...", "~/Desktop")});
        controller->setLocalRootsForTesting({local});
        ui().leftOutlineView->expandItem(local);
        remote = dir("Projects", "/srv/Projects", {file("r.txt", "/srv/Projects/r.txt", 10)});
        volume = makeNode("Disk", "/", Kind::volume);
        remote->childrenLoaded = true;
        controller->setRemoteRootsForTesting({remote, volume});
        ui().rightOutlineView->expandItem(remote);
    }
    std::shared_ptr<View> cell(const std::shared_ptr<platform::OutlineView>& outline, const FileTransferNodePtr& node,
                               const std::string& column = "files") {
        return outline->viewAt(column, outline->rowForItem(node));
    }
    FileTransferNodePtr local, remote, volume;
};

TEST_F(FileTransferOutlineDelegateTest, CellsFollowTheTreeRoleAndTheRowKind) {
    const auto& left = ui().leftOutlineView;
    const auto& right = ui().rightOutlineView;
    const auto isBox = [](const View& v) { return v.kind == View::Kind::checkbox; };
    const struct {
        std::shared_ptr<platform::OutlineView> outline;
        FileTransferNodePtr node;
        bool box;
        double nameLeading;
        Color color;
        const char* size;
    } cases[] = {
        {left, local, true, 24, Color::label, nullptr},
        {left, (*local->children)[0], true, 24, Color::label, "2.0 KB"},
        {left, (*local->children)[1], true, 24, Color::label, nullptr},
        {left, (*local->children)[2], false, 24, Color::secondaryLabel, nullptr},
        {right, remote, false, 4, Color::secondaryLabel, nullptr},
        {right, (*remote->children)[0], false, 4, Color::secondaryLabel, "10 B"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.node->name);
        auto row = cell(c.outline, c.node);
        ASSERT_TRUE(row);
        EXPECT_EQ(row->identifier, "fileTransfer.row");
        EXPECT_EQ(subviewWhere(row, isBox) != nullptr, c.box);
        auto name = labelEndingWith(row, "  " + c.node->name);
        ASSERT_TRUE(name);
        EXPECT_EQ(leadingOf(name), c.nameLeading);
        EXPECT_EQ(name->textColor, c.color);
        EXPECT_FALSE(name->translatesAutoresizingMaskIntoConstraints);
        auto size = subviewWhere(row, [](const View& v) { return v.textColor == Color::tertiaryLabel; });
        EXPECT_EQ(size ? size->text : "", c.size ? c.size : "");
    }
    local->isMixedState = true;
    auto box = std::dynamic_pointer_cast<FileTransferSelectionCheckbox>(subviewWhere(cell(left, local), isBox));
    ASSERT_TRUE(box);
    EXPECT_EQ(box->state(), View::kStateMixed);
    box->performClick();  // mixed → on: the whole folder ticks
    EXPECT_TRUE((*local->children)[0]->isChecked && local->isChecked);
    EXPECT_EQ(cell(right, remote, "size")->identifier, "fileTransfer.meta");
}

TEST_F(FileTransferOutlineDelegateTest, ChoosingADestinationFolderMovesTheTarget) {
    const auto& right = ui().rightOutlineView;
    const auto marker = [&](const FileTransferNodePtr& node) {
        return labelEndingWith(cell(right, node), "\u25C0\u2500\u2500 Target") != nullptr;
    };
    right->selectRow(right->rowForItem(remote->children->front()));
    EXPECT_FALSE(controller->targetDirectoryPath());
    right->selectRow(right->rowForItem(remote));
    EXPECT_EQ(controller->targetDirectoryPath(), "/srv/Projects");
    EXPECT_EQ(ui().rightStatusLabel->text, "Target: /srv/Projects");
    EXPECT_TRUE(marker(remote));
    right->selectRow(right->rowForItem(remote->children->front()));  // a file: target stays
    EXPECT_EQ(controller->targetDirectoryPath(), "/srv/Projects");
    right->selectRow(right->rowForItem(volume));
    EXPECT_EQ(controller->targetDirectoryPath(), "/");
    EXPECT_EQ(ui().rightStatusLabel->text, "Target: /");
    EXPECT_FALSE(marker(volume));
    EXPECT_FALSE(marker(remote));

    controller->selectDirection(TransferPanelDirection::receiveFromHost);
    const auto& left = ui().leftOutlineView;
    left->selectRow(left->rowForItem(local));
    EXPECT_EQ(ui().leftStatusLabel->text, "Target: ~/Desktop");
    EXPECT_TRUE(labelEndingWith(cell(left, local), "Target"));
}

TEST_F(FileTransferOutlineDelegateTest, ExpansionAsksAgainOnlyForUnlistedFolders) {
    const auto& right = ui().rightOutlineView;
    right->collapseItem(remote);
    right->expandItem(remote);
    EXPECT_TRUE(listingRequests.empty());
    auto waiting = dir("W", "/srv/W", {placeholder("x", "/srv/W")});
    waiting->childrenLoaded = true;
    controller->setRemoteRootsForTesting({waiting});
    right->expandItem(waiting);
    EXPECT_EQ(listingRequests, (std::vector<std::string>{"/srv/W"}));

    auto emptyLocal = dir("E", "~/E", {});
    controller->setLocalRootsForTesting({emptyLocal});
    ui().leftOutlineView->expandItem(emptyLocal);
    EXPECT_TRUE(emptyLocal->children->empty());
}

TEST_F(FileTransferOutlineDelegateTest, DoubleClickingALocalPlaceholderAsksForItsFolder) {
    const auto& left = ui().leftOutlineView;
    left->doubleClickRow(left->rowForItem((*local->children)[0]));  // a file: nothing
    EXPECT_FALSE(controller->folderAuthorizationPanel());
    left->doubleClickRow(left->rowForItem((*local->children)[2]));
    ASSERT_TRUE(controller->folderAuthorizationPanel());
    EXPECT_EQ(controller->folderAuthorizationPanel()->directoryURL, platform::Folders::home().string() + "/Desktop");
    controller->folderAuthorizationPanel()->answerCancel();

    // A readable folder needs nothing; a refused one opens the panel.
    std::filesystem::create_directories(platform::Folders::home() / "Ok");
    auto ok = dir("Ok", "~/Ok");
    controller->setLocalRootsForTesting({ok});
    left->doubleClickRow(left->rowForItem(ok));
    EXPECT_FALSE(controller->folderAuthorizationPanel());
    platform::FileSystemAccess::setListingFailureForTesting((platform::Folders::home() / "Ok").string(), true);
    left->doubleClickRow(left->rowForItem(ok));
    EXPECT_TRUE(controller->folderAuthorizationPanel());
}
