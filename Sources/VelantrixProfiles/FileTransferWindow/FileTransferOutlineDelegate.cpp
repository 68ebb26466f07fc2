// How the rows of both trees look and respond: the name cell with its
// checkbox, size and target marker, which rows may be selected, loading on
// expansion, choosing the destination folder, and double-click retries and
// folder grants.

#include "Platform/AppKit/AppKitLayout.h"
#include "Platform/Files/FileSystemAccess.h"
#include "Platform/Files/Folders.h"
#include "VelantrixProfiles/FileTransferWindow/FileTransferSelectionCheckbox.h"
#include "VelantrixProfiles/FileTransferWindow/FileTransferWindowController.h"
#include "VelantrixProfiles/Localization/VelantrixL10n.h"

using platform::LayoutAttribute;
using platform::LayoutConstraint;
using platform::LayoutRelation;
using platform::OutlineItem;
using platform::OutlineView;
using platform::View;

namespace {

const char* iconOf(FileTransferNode::Kind kind) {
    switch (kind) {
        case FileTransferNode::Kind::volume: return "\U0001F5A5";
        case FileTransferNode::Kind::directory: return "\U0001F4C1";
        case FileTransferNode::Kind::file: return "\U0001F4C4";
        case FileTransferNode::Kind::placeholder: return "\u23F3";
    }
    return "";
}

bool startsWithPlaceholder(const FileTransferNode& node) {
    return node.children && !node.children->empty() &&
           node.children->front()->kind == FileTransferNode::Kind::placeholder;
}

}  // namespace

bool FileTransferWindowController::isSourceTree(const OutlineView& view) const {
    return &view == sourceOutlineView().get();
}

std::shared_ptr<View> FileTransferWindowController::outlineViewViewFor(OutlineView& view,
                                                                       const platform::TableColumn* column,
                                                                       const OutlineItem& item) {
    auto node = std::dynamic_pointer_cast<FileTransferNode>(item);
    if (!node) return nullptr;
    if (column && column->identifier != "files") return makeMetadataCell(column->identifier, *node);
    const bool source = isSourceTree(view);
    const bool placeholder = node->kind == FileTransferNode::Kind::placeholder;
    const auto eq = LayoutRelation::equal;
    using A = LayoutAttribute;

    auto cell = View::plain();
    cell->identifier = "fileTransfer.row";
    auto add = [&cell](const std::shared_ptr<View>& child, std::vector<std::shared_ptr<LayoutConstraint>> constraints) {
        child->translatesAutoresizingMaskIntoConstraints = false;
        cell->addSubview(child);
        LayoutConstraint::activate(constraints);
    };
    if (source && !placeholder) {
        auto box = FileTransferSelectionCheckbox::make();
        box->allowsMixedState = true;
        box->setState(node->isChecked ? View::kStateOn : node->isMixedState ? View::kStateMixed : View::kStateOff);
        box->node = node;
        box->outlineView = std::static_pointer_cast<OutlineView>(view.shared_from_this());
        box->actionName = "sourceCheckboxToggled:";
        std::weak_ptr<FileTransferWindowController> weak = weak_from_this();
        box->action = [weak](View& sender) {
            if (auto self = weak.lock()) self->sourceCheckboxToggled(sender);
        };
        add(box, {LayoutConstraint::between(box, A::leading, eq, cell, A::leading, 2),
                  LayoutConstraint::between(box, A::centerY, eq, cell, A::centerY),
                  LayoutConstraint::size(box, A::width, eq, 18), LayoutConstraint::size(box, A::height, eq, 18)});
    }
    auto name = View::label(std::string(iconOf(node->kind)) + "  " + node->name);
    name->font = platform::Font::system(13);
    name->textColor = source && !placeholder ? platform::Color::label : platform::Color::secondaryLabel;
    name->lineBreakMode = View::LineBreakMode::truncatingTail;
    add(name, {LayoutConstraint::between(name, A::leading, eq, cell, A::leading, source ? 24 : 4),
               LayoutConstraint::between(name, A::trailing, eq, cell, A::trailing, -4),
               LayoutConstraint::between(name, A::centerY, eq, cell, A::centerY)});
    if (node->kind == FileTransferNode::Kind::file && node->size != 0) {
        auto size = View::label(formatBytes(node->size));
        size->font = platform::Font::system(11);
        size->textColor = platform::Color::tertiaryLabel;
        size->textAlignment = platform::TextAlignment::right;
        add(size, {LayoutConstraint::between(size, A::trailing, eq, cell, A::trailing, -6),
                   LayoutConstraint::between(size, A::centerY, eq, cell, A::centerY),
                   LayoutConstraint::size(size, A::width, eq, 70)});
    }
    if (!source && node->kind == FileTransferNode::Kind::directory && targetDirectoryPath_ == node->path) {
        auto marker = View::label(VelantrixL10n::text("fileTransfer.target", "\u25C0\u2500\u2500 Target"));
        marker->font = platform::Font::system(10, platform::FontWeight::medium);
        marker->textColor = platform::Color::systemBlue;
        marker->textAlignment = platform::TextAlignment::right;
        add(marker, {LayoutConstraint::between(marker, A::trailing, eq, cell, A::trailing, -6),
                     LayoutConstraint::between(marker, A::centerY, eq, cell, A::centerY)});
    }
    return cell;
}

bool FileTransferWindowController::outlineViewShouldSelectItem(OutlineView& view, const OutlineItem& item) {
    auto node = std::dynamic_pointer_cast<FileTransferNode>(item);
    if (!node) return false;
    return isSourceTree(view) || node->isContainer();
}

bool FileTransferWindowController::outlineViewShouldExpandItem(OutlineView& view, const OutlineItem& item) {
    auto node = std::dynamic_pointer_cast<FileTransferNode>(item);
    if (!node) return false;
    if (&view == views_.rightOutlineView.get()) {
        if (!node->childrenLoaded || startsWithPlaceholder(*node)) loadRemoteChildren(node);
    } else if (!node->children) {
        loadLocalChildren(node);
    }
    return true;
}

void FileTransferWindowController::outlineViewSelectionDidChange(OutlineView& view) {
    if (isSourceTree(view)) {
        updateSourceStatusLabel();
        return;
    }
    const int row = view.selectedRow();
    auto node = row < 0 ? nullptr : std::dynamic_pointer_cast<FileTransferNode>(view.itemAtRow(row));
    if (!node || !node->isContainer()) return;
    targetDirectoryPath_ = node->path;
    const bool right = &view == views_.rightOutlineView.get();
    setText(right ? views_.rightStatusLabel : views_.leftStatusLabel,
            VelantrixL10n::format("fileTransfer.targetSelected", "Target: %@", node->path));
    updateExecuteButton();
    if (previousTargetNode_ != node) {
        if (previousTargetNode_) view.reloadItem(previousTargetNode_, false);
        view.reloadItem(node, false);
        previousTargetNode_ = node;
    }
}

void FileTransferWindowController::outlineViewDoubleClicked(View& sender) {
    auto* view = dynamic_cast<OutlineView*>(&sender);
    if (!view) return;
    const int row = view->clickedRow();
    auto node = row < 0 ? nullptr : std::dynamic_pointer_cast<FileTransferNode>(view->itemAtRow(row));
    if (!node || node->kind == FileTransferNode::Kind::file) return;
    const bool placeholder = node->kind == FileTransferNode::Kind::placeholder;
    if (view == views_.rightOutlineView.get()) {
        if (placeholder) {
            if (auto parent = node->parent.lock()) reloadRemoteChildren(parent);
        } else if (startsWithPlaceholder(*node) || !node->childrenLoaded) {
            reloadRemoteChildren(node);
        }
        return;
    }
    FileTransferNodePtr folder = node;
    if (placeholder) {
        folder = node->parent.lock();
        for (const auto& root : localRoots_)
            if (!folder && root->path == node->path) folder = root;
        if (!folder) return;
    } else if (!localDirectoryNeedsAuthorization(*node)) {
        return;
    }
    presentFolderAuthorizationPanel(normalizedLocalPath(folder->path));
}
