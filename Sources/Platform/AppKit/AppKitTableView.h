#pragma once
// The table view of the headless AppKit model: rows counted by a data
// source, cells made by a delegate, one selected row at most. Nothing is
// drawn; tests select rows as a click would. Main thread only.

#include <memory>
#include <string>
#include <vector>

#include "Platform/AppKit/AppKitOutlineView.h"

namespace platform {

class TableView;

// The rows and how they look and react.
class TableViewDelegate {
public:
    virtual ~TableViewDelegate() = default;
    virtual int numberOfRowsInTableView(TableView& view) = 0;
    virtual std::shared_ptr<View> tableViewViewFor(TableView& view, const TableColumn* column, int row) {
        (void)view, (void)column, (void)row;
        return nullptr;
    }
    // The selection-did-change notification; its object is `view`.
    virtual void tableViewSelectionDidChange(TableView& view) { (void)view; }
};

class TableView : public View {
public:
    static std::shared_ptr<TableView> make();

    // Data source and delegate in one, held weakly as AppKit does.
    std::weak_ptr<TableViewDelegate> delegate;
    bool hasHeaderView = true;
    double rowHeight = 17;

    void addTableColumn(std::shared_ptr<TableColumn> column) { columns_.push_back(std::move(column)); }
    const std::vector<std::shared_ptr<TableColumn>>& tableColumns() const { return columns_; }

    // Asks the delegate for the row count again; a selection past the rows
    // is dropped.
    void reloadData();
    int numberOfRows() const { return rows_; }
    int selectedRow() const { return selectedRow_; }
    // Selects a row (the user's click, or the program's choice); -1 or a row
    // past the end clears the selection (a click below the rows).
    // Selection-did-change follows a change.
    void selectRow(int row);
    void deselectAll() { selectRow(-1); }
    // The cell the delegate makes for a row of the first column.
    std::shared_ptr<View> viewAt(int row);

private:
    TableView() : View(Kind::plain) {}
    std::vector<std::shared_ptr<TableColumn>> columns_;
    int rows_ = 0;
    int selectedRow_ = -1;
};

}  // namespace platform
