// The outline view and controls of the headless AppKit model, and the
// Foundation texts the file views use: byte counts and tilde expansion.

#include <gtest/gtest.h>

#include "Platform/AppKit/AppKitControls.h"
#include "Platform/AppKit/AppKitOutlineView.h"
#include "Platform/Files/Folders.h"
#include "Platform/Foundation/Formatters.h"
#include "Support/TestSupport.h"

using namespace platform;

namespace {

struct Item : Object {
    explicit Item(std::string n) : name(std::move(n)) {}
    std::string name;
    std::vector<std::shared_ptr<Item>> children;
};

// Serves a small tree; refuses to expand or select items named "locked".
struct Source : OutlineViewDataSource, OutlineViewDelegate {
    std::vector<std::shared_ptr<Item>> roots;
    std::vector<std::vector<SortDescriptor>> sortChanges;
    int selectionChanges = 0;

    const std::vector<std::shared_ptr<Item>>& level(const OutlineItem& item) {
        return item ? std::static_pointer_cast<Item>(item)->children : roots;
    }
    int outlineViewNumberOfChildrenOfItem(OutlineView&, const OutlineItem& item) override {
        return static_cast<int>(level(item).size());
    }
    OutlineItem outlineViewChildOfItem(OutlineView&, int index, const OutlineItem& item) override {
        return level(item)[static_cast<size_t>(index)];
    }
    bool outlineViewIsItemExpandable(OutlineView&, const OutlineItem& item) override {
        return !std::static_pointer_cast<Item>(item)->children.empty();
    }
    void outlineViewSortDescriptorsDidChange(OutlineView& view, const std::vector<SortDescriptor>&) override {
        sortChanges.push_back(view.sortDescriptors());
    }
    bool outlineViewShouldExpandItem(OutlineView&, const OutlineItem& item) override {
        return std::static_pointer_cast<Item>(item)->name != "locked";
    }
    bool outlineViewShouldSelectItem(OutlineView&, const OutlineItem& item) override {
        return std::static_pointer_cast<Item>(item)->name != "locked";
    }
    void outlineViewSelectionDidChange(OutlineView&) override { selectionChanges++; }
};

}  // namespace

class AppKitOutline : public VirtualTimeTest {};

TEST_F(AppKitOutline, RowsFollowExpansionSelectionAndTheirItemsLifetime) {
    auto source = std::make_shared<Source>();
    auto folder = std::make_shared<Item>("folder");
    folder->children = {std::make_shared<Item>("inner")};
    auto locked = std::make_shared<Item>("locked");
    locked->children = {std::make_shared<Item>("hidden")};
    source->roots = {folder, locked};
    auto view = OutlineView::make();
    view->dataSource = source;
    view->delegate = source;
    view->reloadData();
    ASSERT_EQ(view->numberOfRows(), 2);

    view->expandItem(folder);
    view->expandItem(locked);
    ASSERT_EQ(view->numberOfRows(), 3);
    EXPECT_EQ(view->itemAtRow(1), folder->children[0]);
    EXPECT_EQ(view->levelForRow(1), 1);

    view->selectRow(2);  // refused by the delegate
    EXPECT_EQ(view->selectedRow(), -1);
    view->selectRow(1);
    EXPECT_EQ(view->selectedRow(), 1);
    EXPECT_EQ(source->selectionChanges, 1);
    view->collapseItem(folder);
    EXPECT_EQ(view->numberOfRows(), 2);
    EXPECT_EQ(view->selectedRow(), -1);  // its item is no longer shown
    view->deselectAll();
    EXPECT_EQ(source->selectionChanges, 1);

    // The view does not keep its items alive.
    source->roots.clear();
    folder.reset();
    EXPECT_EQ(view->itemAtRow(0), nullptr);
    view->doubleClickRow(7);
    EXPECT_EQ(view->clickedRow(), -1);
}

TEST_F(AppKitOutline, HeaderClicksPutTheColumnFirstThenFlipIt) {
    auto source = std::make_shared<Source>();
    auto view = OutlineView::make();
    view->dataSource = source;
    for (auto [id, key] : {std::pair{"name", "name"}, {"size", "size"}, {"plain", ""}}) {
        auto column = std::make_shared<TableColumn>(id);
        if (*key) column->sortDescriptorPrototype = SortDescriptor{key, true};
        view->addTableColumn(column);
    }
    view->clickHeader("name");
    view->clickHeader("size");
    view->clickHeader("size");
    view->clickHeader("plain");
    const std::vector<std::vector<SortDescriptor>> expected = {
        {{"name", true}}, {{"size", true}, {"name", true}}, {{"size", false}, {"name", true}}};
    EXPECT_EQ(source->sortChanges, expected);
}

TEST_F(AppKitOutline, CheckboxesStepThroughTheirStatesAndReturnFindsTheEnabledButton) {
    auto box = View::checkbox("", nullptr);
    const std::vector<int> twoState = {View::kStateOn, View::kStateOff, View::kStateOn};
    for (int expected : twoState) {
        box->performClick();
        EXPECT_EQ(box->state(), expected);
    }
    box->allowsMixedState = true;
    const std::vector<int> threeState = {View::kStateOff, View::kStateMixed, View::kStateOn};
    for (int expected : threeState) {
        box->performClick();
        EXPECT_EQ(box->state(), expected);
    }

    auto window = Window::make(CGSize{400, 300}, kWindowStyleTitled);
    int presses = 0;
    auto hidden = View::button("Hidden", [&](View&) { presses += 10; });
    // GCC 12 at -O3 warns of an overlapping copy inside std::string's
    // assignment of a one-character literal: its -Wrestrict false positive
    // (GCC bug 105329).
#pragma GCC diagnostic push
#if !defined(__clang__)  // a warning only GCC has
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
    hidden->keyEquivalent = "\r";
#pragma GCC diagnostic pop
    hidden->isHidden = true;
    auto row = View::stack(View::Orientation::horizontal, {hidden});
    auto button = View::button("Go", [&](View&) { presses++; });
    // GCC 12 at -O3 warns of an overlapping copy inside std::string's
    // assignment of a one-character literal: its -Wrestrict false positive
    // (GCC bug 105329).
#pragma GCC diagnostic push
#if !defined(__clang__)  // a warning only GCC has
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
    button->keyEquivalent = "\r";
#pragma GCC diagnostic pop
    window->contentView->addSubview(row);
    window->contentView->addSubview(button);
    EXPECT_TRUE(window->performKeyEquivalent("\r"));
    button->isEnabled = false;
    EXPECT_FALSE(window->performKeyEquivalent("\r"));
    EXPECT_EQ(presses, 1);
}

TEST_F(AppKitOutline, ByteCountsInTheFileStyle) {
    const std::pair<int64_t, const char*> cases[] = {
        {0, "Zero KB"},          {1, "1 byte"},          {999, "999 bytes"},      {1000, "1 KB"},
        {18400, "18 KB"},        {999499, "999 KB"},     {999999, "1 MB"},        {2800000, "2.8 MB"},
        {3000000, "3 MB"},       {1250000000, "1.25 GB"}, {-1500000, "-1.5 MB"},
        {INT64_MAX, "9.22 EB"},  {INT64_MIN, "-9.22 EB"},
    };
    for (const auto& [bytes, text] : cases) EXPECT_EQ(ByteCountFormatter::fileStyle(bytes), text) << bytes;
}

TEST_F(AppKitOutline, TildeExpansion) {
    const std::string home = Folders::home().string();
    const std::pair<std::string, std::string> paths[] = {
        {"~", home},          {"~/Documents", home + "/Documents"}, {"~root/x", "/root/x"},
        {"~no-such-user-here/x", "~no-such-user-here/x"},         {"/a/~b", "/a/~b"}, {"", ""},
    };
    for (const auto& [path, expanded] : paths) EXPECT_EQ(Folders::expandingTildeInPath(path), expanded) << path;
}
