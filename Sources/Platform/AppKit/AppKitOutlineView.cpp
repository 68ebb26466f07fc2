#include "Platform/AppKit/AppKitOutlineView.h"

#include <algorithm>
#include <utility>

namespace platform {

namespace {
// Deeper nesting than any file tree shows; guards against a data source
// whose items contain themselves.
constexpr int kMaximumDepth = 256;
}  // namespace

std::shared_ptr<OutlineView> OutlineView::make() { return std::shared_ptr<OutlineView>(new OutlineView()); }

std::shared_ptr<TableColumn> OutlineView::column(const std::string& identifier) const {
    for (const auto& c : columns_)
        if (c->identifier == identifier) return c;
    return nullptr;
}

void OutlineView::setSortDescriptors(std::vector<SortDescriptor> descriptors) {
    if (descriptors == sortDescriptors_) return;
    auto old = std::exchange(sortDescriptors_, std::move(descriptors));
    auto keep = std::static_pointer_cast<OutlineView>(shared_from_this());
    if (auto source = dataSource.lock()) source->outlineViewSortDescriptorsDidChange(*this, old);
}

void OutlineView::clickHeader(const std::string& columnIdentifier) {
    auto c = column(columnIdentifier);
    if (!c || !c->sortDescriptorPrototype) return;
    const auto& prototype = *c->sortDescriptorPrototype;
    std::vector<SortDescriptor> next;
    if (!sortDescriptors_.empty() && sortDescriptors_.front().key == prototype.key)
        next.push_back(sortDescriptors_.front().reversed());
    else
        next.push_back(prototype);
    for (const auto& d : sortDescriptors_)
        if (d.key != prototype.key) next.push_back(d);
    setSortDescriptors(std::move(next));
}

void OutlineView::appendRows(const OutlineItem& parent, int level, std::shared_ptr<OutlineViewDataSource>& source,
                             int depth) {
    if (depth > kMaximumDepth) return;
    const int count = source->outlineViewNumberOfChildrenOfItem(*this, parent);
    for (int i = 0; i < count; ++i) {
        auto child = source->outlineViewChildOfItem(*this, i, parent);
        rows_.push_back(Row{child, level});
        if (child && isItemExpanded(child) && source->outlineViewIsItemExpandable(*this, child))
            appendRows(child, level + 1, source, depth + 1);
    }
}

void OutlineView::rebuildRows() {
    // The selection follows its items, as the platform's does.
    std::vector<OutlineItem> selected;
    for (int row : selectedRows_)
        if (auto item = itemAtRow(row)) selected.push_back(item);
    rows_.clear();
    std::erase_if(expanded_, [](const auto& w) { return w.expired(); });
    if (auto source = dataSource.lock()) appendRows(nullptr, 0, source, 0);
    selectedRows_.clear();
    for (const auto& item : selected)
        if (int row = rowForItem(item); row >= 0) selectedRows_.push_back(row);
    std::sort(selectedRows_.begin(), selectedRows_.end());
    reloadCount_++;
}

void OutlineView::reloadData() { rebuildRows(); }

void OutlineView::reloadItem(const OutlineItem& item, bool reloadChildren) {
    (void)item, (void)reloadChildren;
    // Nothing is drawn, so reloading one row costs what reloading all does.
    rebuildRows();
}

OutlineItem OutlineView::itemAtRow(int row) const {
    if (row < 0 || row >= numberOfRows()) return nullptr;
    return rows_[static_cast<size_t>(row)].item.lock();
}

int OutlineView::rowForItem(const OutlineItem& item) const {
    if (!item) return -1;
    for (size_t i = 0; i < rows_.size(); ++i)
        if (rows_[i].item.lock() == item) return static_cast<int>(i);
    return -1;
}

int OutlineView::levelForRow(int row) const {
    if (row < 0 || row >= numberOfRows()) return -1;
    return rows_[static_cast<size_t>(row)].level;
}

bool OutlineView::isItemExpanded(const OutlineItem& item) const {
    return std::any_of(expanded_.begin(), expanded_.end(), [&](const auto& w) { return w.lock() == item; });
}

void OutlineView::expandItem(const OutlineItem& item) {
    auto source = dataSource.lock();
    if (!item || !source || isItemExpanded(item) || !source->outlineViewIsItemExpandable(*this, item)) return;
    if (auto d = delegate.lock(); d && !d->outlineViewShouldExpandItem(*this, item)) return;
    expanded_.push_back(item);
    rebuildRows();
}

void OutlineView::collapseItem(const OutlineItem& item) {
    if (!isItemExpanded(item)) return;
    std::erase_if(expanded_, [&](const auto& w) { return w.lock() == item; });
    rebuildRows();
}

void OutlineView::selectRow(int row, bool byExtendingSelection) {
    clickedRow_ = row;
    auto item = itemAtRow(row);
    if (!item) return;
    if (auto d = delegate.lock(); d && !d->outlineViewShouldSelectItem(*this, item)) return;
    auto before = selectedRows_;
    if (!(byExtendingSelection && allowsMultipleSelection)) selectedRows_.clear();
    if (std::find(selectedRows_.begin(), selectedRows_.end(), row) == selectedRows_.end()) {
        selectedRows_.push_back(row);
        std::sort(selectedRows_.begin(), selectedRows_.end());
    }
    if (selectedRows_ != before) notifySelectionChanged();
}

void OutlineView::deselectAll() {
    if (selectedRows_.empty()) return;
    selectedRows_.clear();
    notifySelectionChanged();
}

void OutlineView::notifySelectionChanged() {
    auto keep = shared_from_this();
    if (auto d = delegate.lock()) d->outlineViewSelectionDidChange(*this);
}

void OutlineView::doubleClickRow(int row) {
    clickedRow_ = row >= 0 && row < numberOfRows() ? row : -1;
    if (doubleAction) {
        auto keep = shared_from_this();
        auto run = doubleAction;
        run(*this);
    }
}

std::shared_ptr<View> OutlineView::viewAt(const std::string& columnIdentifier, int row) {
    auto item = itemAtRow(row);
    auto d = delegate.lock();
    if (!item || !d) return nullptr;
    auto c = column(columnIdentifier);
    return d->outlineViewViewFor(*this, c.get(), item);
}

}  // namespace platform
