#include "Platform/AppKit/AppKitTableView.h"

#include <algorithm>

namespace platform {

std::shared_ptr<TableView> TableView::make() { return std::shared_ptr<TableView>(new TableView()); }

void TableView::reloadData() {
    auto d = delegate.lock();
    rows_ = d ? std::max(0, d->numberOfRowsInTableView(*this)) : 0;
    if (selectedRow_ >= rows_) selectedRow_ = -1;
}

void TableView::selectRow(int row) {
    const int next = row >= 0 && row < rows_ ? row : -1;
    if (next == selectedRow_) return;
    selectedRow_ = next;
    auto keep = shared_from_this();
    if (auto d = delegate.lock()) d->tableViewSelectionDidChange(*this);
}

std::shared_ptr<View> TableView::viewAt(int row) {
    auto d = delegate.lock();
    if (!d || row < 0 || row >= rows_) return nullptr;
    return d->tableViewViewFor(*this, columns_.empty() ? nullptr : columns_.front().get(), row);
}

}  // namespace platform
