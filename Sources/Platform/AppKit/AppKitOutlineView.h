#pragma once
// The outline view of the headless AppKit model: rows of items asked of a
// data source, expanded on request, selected as a delegate allows, with
// columns whose headers set sort descriptors. Nothing is drawn; the view
// keeps the visible rows in order so that tests can find, expand, select,
// click and double-click them. Like AppKit's, it does not retain its items:
// a row whose item was released reads as empty until the next reload.
// Main thread only.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/AppKit/AppKitWindow.h"

namespace platform {

// The root object class: anything an outline view shows as an item.
class Object {
public:
    virtual ~Object() = default;
};
using OutlineItem = std::shared_ptr<Object>;

// A sort key (absent counts as no key) and its direction.
struct SortDescriptor {
    std::optional<std::string> key;
    bool ascending = true;
    SortDescriptor reversed() const { return SortDescriptor{key, !ascending}; }
    bool operator==(const SortDescriptor&) const = default;
};

struct TableColumn {
    explicit TableColumn(std::string id) : identifier(std::move(id)) {}
    std::string identifier;
    std::string title;
    double width = 100;
    std::optional<SortDescriptor> sortDescriptorPrototype;
};

class OutlineView;

// What the rows are. A null item stands for the top level.
class OutlineViewDataSource {
public:
    virtual ~OutlineViewDataSource() = default;
    virtual int outlineViewNumberOfChildrenOfItem(OutlineView& view, const OutlineItem& item) = 0;
    virtual OutlineItem outlineViewChildOfItem(OutlineView& view, int index, const OutlineItem& item) = 0;
    virtual bool outlineViewIsItemExpandable(OutlineView& view, const OutlineItem& item) = 0;
    virtual void outlineViewSortDescriptorsDidChange(OutlineView& view, const std::vector<SortDescriptor>& old) {
        (void)view, (void)old;
    }
};

// How rows look and which may be expanded or selected.
class OutlineViewDelegate {
public:
    virtual ~OutlineViewDelegate() = default;
    virtual std::shared_ptr<View> outlineViewViewFor(OutlineView& view, const TableColumn* column,
                                                     const OutlineItem& item) {
        (void)view, (void)column, (void)item;
        return nullptr;
    }
    virtual bool outlineViewShouldSelectItem(OutlineView& view, const OutlineItem& item) {
        (void)view, (void)item;
        return true;
    }
    virtual bool outlineViewShouldExpandItem(OutlineView& view, const OutlineItem& item) {
        (void)view, (void)item;
        return true;
    }
    // The selection-did-change notification; its object is `view`.
    virtual void outlineViewSelectionDidChange(OutlineView& view) { (void)view; }
};

class OutlineView : public View {
public:
    static std::shared_ptr<OutlineView> make();

    // Held weakly, as AppKit does.
    std::weak_ptr<OutlineViewDataSource> dataSource;
    std::weak_ptr<OutlineViewDelegate> delegate;

    bool hasHeaderView = false;
    double rowHeight = 17;
    double indentationPerLevel = 16;
    bool allowsMultipleSelection = false;
    bool autoresizesOutlineColumn = true;
    // The double action's method name and handler (the target's method).
    std::string doubleActionName;
    Action doubleAction;

    void addTableColumn(std::shared_ptr<TableColumn> column) { columns_.push_back(std::move(column)); }
    const std::vector<std::shared_ptr<TableColumn>>& tableColumns() const { return columns_; }
    std::shared_ptr<TableColumn> column(const std::string& identifier) const;
    std::shared_ptr<TableColumn> outlineTableColumn;

    const std::vector<SortDescriptor>& sortDescriptors() const { return sortDescriptors_; }
    // Stores the list; a change is reported to the data source with the old
    // list.
    void setSortDescriptors(std::vector<SortDescriptor> descriptors);
    // The user clicks a column's header: its prototype goes first, or the
    // first descriptor flips when it already has that key. A column without
    // a prototype changes nothing.
    void clickHeader(const std::string& columnIdentifier);

    // Rows afresh from the data source (expanded items stay expanded).
    void reloadData();
    void reloadItem(const OutlineItem& item, bool reloadChildren);
    // How many reloads of any kind happened (tests see redraws).
    int reloadCount() const { return reloadCount_; }

    int numberOfRows() const { return static_cast<int>(rows_.size()); }
    OutlineItem itemAtRow(int row) const;
    int rowForItem(const OutlineItem& item) const;
    int levelForRow(int row) const;
    bool isItemExpanded(const OutlineItem& item) const;
    // Expands an expandable item the delegate lets expand.
    void expandItem(const OutlineItem& item);
    void collapseItem(const OutlineItem& item);

    // The first selected row, or -1.
    int selectedRow() const { return selectedRows_.empty() ? -1 : selectedRows_.front(); }
    const std::vector<int>& selectedRowIndexes() const { return selectedRows_; }
    // The user clicks a row: selected when the delegate allows it (added to
    // the selection when extending and multiple selection is allowed);
    // selection-did-change follows a change.
    void selectRow(int row, bool byExtendingSelection = false);
    void deselectAll();

    // The row of the last click or double click, -1 when outside the rows.
    int clickedRow() const { return clickedRow_; }
    // The user double-clicks a row (-1: below the rows).
    void doubleClickRow(int row);

    // The cell the delegate makes for a row in a column.
    std::shared_ptr<View> viewAt(const std::string& columnIdentifier, int row);

private:
    OutlineView() : View(Kind::outlineView) {}
    struct Row {
        std::weak_ptr<Object> item;
        int level = 0;
    };
    void appendRows(const OutlineItem& parent, int level, std::shared_ptr<OutlineViewDataSource>& source, int depth);
    void rebuildRows();
    void notifySelectionChanged();

    std::vector<std::shared_ptr<TableColumn>> columns_;
    std::vector<SortDescriptor> sortDescriptors_;
    std::vector<Row> rows_;
    std::vector<std::weak_ptr<Object>> expanded_;
    std::vector<int> selectedRows_;
    int clickedRow_ = -1;
    int reloadCount_ = 0;
};

}  // namespace platform
