// The window's layout, the shared order of both trees and the metadata
// column texts.

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "FileTransferWindowFixture.h"
#include "Platform/AppKit/AppKitLayout.h"
#include "Platform/Foundation/Locale.h"

using namespace platform;
using Kind = FileTransferNode::Kind;

namespace {

std::optional<double> widthOf(const std::shared_ptr<View>& view) {
    auto c = activeConstraint(*view, LayoutAttribute::width);
    return c ? std::optional(c->constant) : std::nullopt;
}

// The pane container around an outline view (scroll view, pane stack,
// container).
std::shared_ptr<View> paneOf(const std::shared_ptr<OutlineView>& outline) {
    return outline->superview()->superview()->superview();
}

}  // namespace

TEST_F(FileTransferWindowTest, BothPanesCarryTheFourSortableColumns) {
    make();
    for (const auto& outline : {ui().leftOutlineView, ui().rightOutlineView}) {
        const auto& columns = outline->tableColumns();
        ASSERT_EQ(columns.size(), 4u);
        const struct {
            const char* id;
            const char* title;
            double width;
            const char* key;
        } expected[] = {{"files", "", 400, "name"},
                        {"date", "Date Modified", 150, "modificationDate"},
                        {"size", "Size", 90, "size"},
                        {"kind", "Kind", 110, "kind"}};
        for (size_t i = 0; i < 4; ++i) {
            EXPECT_EQ(columns[i]->identifier, expected[i].id);
            EXPECT_EQ(columns[i]->title, expected[i].title);
            EXPECT_EQ(columns[i]->width, expected[i].width);
            EXPECT_EQ(columns[i]->sortDescriptorPrototype, (SortDescriptor{expected[i].key, true}));
        }
        EXPECT_EQ(outline->outlineTableColumn, columns[0]);
        EXPECT_EQ(outline->rowHeight, 22);
        EXPECT_EQ(outline->doubleActionName, "outlineViewDoubleClicked:");
        EXPECT_EQ(widthOf(paneOf(outline)), 405);
        auto scroll = std::static_pointer_cast<ScrollView>(outline->superview());
        EXPECT_TRUE(scroll->hasVerticalScroller);
        EXPECT_EQ(activeConstraint(*scroll, LayoutAttribute::height)->constant, 200);
    }
    auto arrow = controller->window()->contentView->viewWithTag(999);
    ASSERT_TRUE(arrow);
    EXPECT_EQ(arrow->text, "\u2192");
    EXPECT_EQ(widthOf(arrow->superview()), 50);
    EXPECT_EQ(activeConstraint(*arrow->superview()->superview(), LayoutAttribute::height)->constant, 380);
}

TEST_F(FileTransferWindowTest, FooterStartsIdleWithADisabledRedButton) {
    make();
    EXPECT_TRUE(ui().transferProgressRow->isHidden);
    EXPECT_TRUE(ui().transferProgressIndicator->isIndeterminate);
    EXPECT_EQ(widthOf(ui().transferProgressIndicator), 600);
    const auto& button = *ui().executeButton;
    EXPECT_FALSE(button.isEnabled);
    EXPECT_EQ(button.font, Font::system(16, FontWeight::bold));
    EXPECT_EQ(button.contentTintColor, Color::systemRed);
    EXPECT_EQ(button.keyEquivalent, "\r");
    EXPECT_FALSE(controller->window()->performKeyEquivalent("\r"));
    EXPECT_FALSE(ui().backupCheckbox->isOn);
    EXPECT_EQ(ui().leftTopCheckbox->text, "Select All");
    EXPECT_EQ(ui().rightTopCheckbox->text, "Select All");
}

TEST_F(FileTransferWindowTest, EachControlNamesItsActionMethod) {
    make();
    auto content = controller->window()->contentView;
    const std::pair<std::shared_ptr<View>, const char*> controls[] = {
        {ui().hostSelector, "hostSelectionChanged"},
        {content->findByText("Refresh"), "refreshClicked"},
        {ui().directionControl, "directionChanged"},
        {ui().leftTopCheckbox, "leftSelectAllClicked"},
        {ui().rightTopCheckbox, "rightSelectAllClicked"},
        {content->findByText("Grant Folder Access\u2026"), "addLocalFolder"},
        {ui().backupCheckbox, "backupToggled"},
        {ui().cancelTransferButton, "cancelActiveTransfer"},
        {ui().executeButton, "executeTransfer"},
    };
    for (const auto& [control, name] : controls) {
        ASSERT_TRUE(control) << name;
        EXPECT_EQ(control->actionName, name);
        EXPECT_TRUE(control->action) << name;
    }
    // Only the left pane offers folder access.
    int grants = 0;
    for (const auto& v : content->allViews()) grants += v->actionName == "addLocalFolder";
    EXPECT_EQ(grants, 1);
}

TEST_F(FileTransferWindowTest, NodeOrderFollowsTheSortDescriptors) {
    make();
    auto node = [](const char* name, Kind kind, uint64_t size, std::optional<double> date) {
        auto n = makeNode(name, std::string("/v/") + name, kind, size);
        if (date) n->modificationDate = Date{*date};
        return n;
    };
    const Controller::NodeList nodes = {
        node("cherry", Kind::file, 5, 300),       node("Banana", Kind::file, 5, 100),
        node("apple", Kind::file, 7, std::nullopt), node("zeta", Kind::directory, 0, 200),
        node("Loading...", Kind::placeholder, 0, std::nullopt), node("notes.txt", Kind::file, 1, 50),
        node("README", Kind::file, 9, 60),        node("Alpha", Kind::volume, 0, std::nullopt),
    };
    const struct {
        std::vector<SortDescriptor> descriptors;
        std::vector<std::string> order;
    } cases[] = {
        {{{"name", true}}, {"Alpha", "zeta", "apple", "Banana", "cherry", "Loading...", "notes.txt", "README"}},
        {{{"name", false}}, {"zeta", "Alpha", "README", "notes.txt", "Loading...", "cherry", "Banana", "apple"}},
        {{{"modificationDate", true}}, {"Alpha", "zeta", "apple", "Loading...", "notes.txt", "README", "Banana", "cherry"}},
        {{{"modificationDate", false}}, {"zeta", "Alpha", "cherry", "Banana", "README", "notes.txt", "apple", "Loading..."}},
        // Equal sizes fall through to the name, ascending even here.
        {{{"size", false}}, {"Alpha", "zeta", "README", "apple", "Banana", "cherry", "notes.txt", "Loading..."}},
        {{{"kind", true}}, {"Alpha", "zeta", "Loading...", "notes.txt", "apple", "Banana", "cherry", "README"}},
    };
    for (const auto& c : cases) {
        controller->setLocalRootsForTesting(nodes);
        ui().leftOutlineView->setSortDescriptors(c.descriptors);
        EXPECT_EQ(names(controller->localRoots()), c.order) << *c.descriptors[0].key << c.descriptors[0].ascending;
        ui().leftOutlineView->setSortDescriptors({});
        EXPECT_EQ(controller->fileTreeSortDescriptors(), c.descriptors) << "an empty list changes nothing";
    }
}

TEST_F(FileTransferWindowTest, AHeaderClickResortsBothTreesAndTheirLoadedLevels) {
    make();
    auto dated = [](const char* name, double date) {
        auto n = file(name, std::string("/v/") + name);
        n->modificationDate = Date{date};
        return n;
    };
    controller->setLocalRootsForTesting({dated("new", 300), dated("old", 100)});
    auto folder = dir("f", "~/f", std::vector{dated("b-late", 20), dated("a-early", 10)});
    controller->setRemoteRootsForTesting({dated("z-first", 1), folder});
    ui().leftOutlineView->clickHeader("date");
    EXPECT_EQ(controller->fileTreeSortDescriptors(), (std::vector<SortDescriptor>{{"modificationDate", true}}));
    EXPECT_EQ(names(controller->localRoots()), (std::vector<std::string>{"old", "new"}));
    EXPECT_EQ(names(controller->remoteRoots()), (std::vector<std::string>{"f", "z-first"}));
    EXPECT_EQ(names(*folder->children), (std::vector<std::string>{"a-early", "b-late"}));
    ui().rightOutlineView->clickHeader("date");  // its own list starts empty
    ui().leftOutlineView->clickHeader("date");
    EXPECT_EQ(names(controller->localRoots()), (std::vector<std::string>{"new", "old"}));
}

TEST_F(FileTransferWindowTest, MetadataColumnsShowDateSizeAndKind) {
    const char* savedTz = std::getenv("TZ");
    const std::string restore = savedTz ? savedTz : "";
    setenv("TZ", "UTC", 1);
    tzset();
    make();
    auto dated = file("archive.tar.gz", "/v/archive.tar.gz", 18400);
    dated->modificationDate = Date{1767603600};  // 2026-01-05 09:00 UTC
    auto huge = file("huge.bin", "/v/huge.bin", UINT64_MAX);
    const struct {
        FileTransferNodePtr node;
        const char* column;
        const char* text;
    } cases[] = {
        {dated, "date", "Jan 5, 2026, 9:00\u202fAM"},
        {dated, "size", "18 KB"},
        {dated, "kind", "GZ"},
        {huge, "size", "9.22 EB"},
        {file("README", "/v/README"), "kind", "File"},
        {file("empty", "/v/empty"), "size", "Zero KB"},
        {dir("Docs", "/v/Docs"), "size", "\u2014"},
        {dir("Docs", "/v/Docs"), "date", "\u2014"},
        {dir("Docs", "/v/Docs"), "kind", "Folder"},
        {makeNode("Disk", "/", Kind::volume), "kind", "Drive"},
        {placeholder("Loading...", "/v"), "kind", ""},
        {dir("Docs", "/v/Docs"), "files", "Docs"},
    };
    for (const auto& c : cases) EXPECT_EQ(controller->metadataText(c.column, *c.node), c.text) << c.column;
    auto cell = controller->makeMetadataCell("kind", *dated);
    EXPECT_EQ(cell->identifier, "fileTransfer.meta");
    EXPECT_EQ(cell->subviews().at(0)->text, "GZ");

    // The date follows the user's locale, in that locale's own order and
    // clock; the zone still comes from the environment.
    const struct {
        const char* locale;
        const char* text;
    } locales[] = {
        {"de-DE", "05.01.2026, 09:00"},
        {"fr-FR", "5 janv. 2026, 09:00"},
        {"en-GB", "5 Jan 2026, 09:00"},
    };
    for (const auto& l : locales) {
        Locale::setCurrentForTesting(l.locale);
        EXPECT_EQ(controller->metadataText("date", *dated), l.text) << l.locale;
    }
    Locale::setCurrentForTesting(std::nullopt);
    if (savedTz) setenv("TZ", restore.c_str(), 1); else unsetenv("TZ");
    tzset();
}
