// The rows both outline views show, the row checkbox's tri-state rule, the
// Select All checkboxes, the source pane's status line and the backup
// option.

#include <limits>

#include "VelantrixProfiles/FileTransferWindow/FileTransferSelectionCheckbox.h"
#include "VelantrixProfiles/FileTransferWindow/FileTransferWindowController.h"
#include "VelantrixProfiles/Localization/VelantrixL10n.h"

using platform::OutlineItem;
using platform::OutlineView;
using platform::View;

// ---- Rows.

const FileTransferWindowController::NodeList& FileTransferWindowController::rootsOf(const OutlineView& view) const {
    return &view == views_.leftOutlineView.get() ? localRoots_ : remoteRoots_;
}

int FileTransferWindowController::outlineViewNumberOfChildrenOfItem(OutlineView& view, const OutlineItem& item) {
    if (!item) return static_cast<int>(rootsOf(view).size());
    auto node = std::dynamic_pointer_cast<FileTransferNode>(item);
    return node && node->children ? static_cast<int>(node->children->size()) : 0;
}

OutlineItem FileTransferWindowController::outlineViewChildOfItem(OutlineView& view, int index, const OutlineItem& item) {
    const NodeList* level = &rootsOf(view);
    if (item) {
        auto node = std::dynamic_pointer_cast<FileTransferNode>(item);
        level = node && node->children ? &*node->children : nullptr;
    }
    if (!level || index < 0 || static_cast<size_t>(index) >= level->size()) return nullptr;
    return (*level)[static_cast<size_t>(index)];
}

bool FileTransferWindowController::outlineViewIsItemExpandable(OutlineView& view, const OutlineItem& item) {
    (void)view;
    auto node = std::dynamic_pointer_cast<FileTransferNode>(item);
    return node && node->isContainer();
}

// ---- Row checkboxes.

void FileTransferWindowController::sourceCheckboxToggled(View& sender) {
    auto* box = dynamic_cast<FileTransferSelectionCheckbox*>(&sender);
    if (!box || !box->node) return;
    auto outline = box->outlineView.lock();
    if (!outline) return;
    const auto node = box->node;
    // The mixed state a click may leave counts as ticked.
    node->isChecked = sender.state() != View::kStateOff;
    node->isMixedState = false;
    propagateCheckDown(node, node->isChecked);
    for (auto parent = node->parent.lock(); parent; parent = parent->parent.lock()) {
        if (!parent->children || parent->children->empty()) break;
        bool all = true, any = false;
        for (const auto& child : *parent->children) {
            all = all && child->isChecked;
            any = any || child->isChecked || child->isMixedState;
        }
        parent->isChecked = all;
        parent->isMixedState = any && !all;
    }
    outline->reloadData();
    updateLeftCheckboxState();
    updateExecuteButton();
}

// ---- Select All and the status line.

void FileTransferWindowController::updateLeftCheckboxState() {
    const auto& roots = sourceRoots();
    const int state = allNodesChecked(roots)                        ? View::kStateOn
                      : anyNodeChecked(roots) || anyNodeMixed(roots) ? View::kStateMixed
                                                                     : View::kStateOff;
    auto& box = direction_ == TransferPanelDirection::sendToHost ? views_.leftTopCheckbox : views_.rightTopCheckbox;
    if (box) box->setState(state);
    updateSourceStatusLabel();
}

void FileTransferWindowController::updateSourceStatusLabel() {
    const auto items = sourceTransferItems();
    int64_t files = 0, folders = 0;
    uint64_t bytes = 0;
    for (const auto& item : items) {
        if (item->kind == FileTransferNode::Kind::file) files++;
        if (item->isContainer()) folders++;
        // Sizes come from the Host's listing: a sum past the range stays at
        // the largest count rather than wrapping to a small one.
        bytes = item->size > std::numeric_limits<uint64_t>::max() - bytes ? std::numeric_limits<uint64_t>::max()
                                                                           : bytes + item->size;
    }
    std::string text;
    if (files + folders == 0) {
        text = VelantrixL10n::text("fileTransfer.selectedNone", "Selected: 0 items");
    } else {
        std::string parts;
        auto add = [&](const std::string& part) { parts += (parts.empty() ? "" : " + ") + part; };
        if (files > 0) add(VelantrixL10n::format("fileTransfer.fileCount", "%d file(s)", files));
        if (folders > 0) add(VelantrixL10n::format("fileTransfer.dirCount", "%d folder(s)", folders));
        add(formatBytes(bytes));
        text = VelantrixL10n::format("fileTransfer.selectedSummary", "Selected: %@", parts);
    }
    setText(sourceStatusLabel(), text);
    updateExecuteButton();
}

void FileTransferWindowController::setAllSourceItemsSelected(bool checked) {
    setAllChecked(sourceRoots(), checked);
    if (auto outline = sourceOutlineView()) {
        outline->deselectAll();
        outline->reloadData();
    }
    updateLeftCheckboxState();
    updateExecuteButton();
}

void FileTransferWindowController::leftSelectAllClicked() {
    setAllSourceItemsSelected(views_.leftTopCheckbox && views_.leftTopCheckbox->state() == View::kStateOn);
}

void FileTransferWindowController::rightSelectAllClicked() {
    setAllSourceItemsSelected(views_.rightTopCheckbox && views_.rightTopCheckbox->state() == View::kStateOn);
}

void FileTransferWindowController::backupToggled() {
    backupEnabled_ = views_.backupCheckbox && views_.backupCheckbox->state() == View::kStateOn;
}
