// The one order of both trees, re-sorting their loaded levels, the texts of
// the date, size and kind columns, and the direction arrow.

#include <algorithm>
#include <cstdint>
#include <limits>

#include "Platform/AppKit/AppKitLayout.h"
#include "Platform/Foundation/Formatters.h"
#include "Platform/Foundation/TextCollation.h"
#include "Platform/Foundation/UnicodeText.h"
#include "VelantrixProfiles/FileTransferWindow/FileTransferWindowController.h"
#include "VelantrixProfiles/Localization/VelantrixL10n.h"

using platform::UnicodeText;

bool FileTransferWindowController::compareNodes(const FileTransferNode& a, const FileTransferNode& b) const {
    // Containers first, whichever way the sort runs.
    if (a.isContainer() != b.isContainer()) return a.isContainer();
    for (const auto& descriptor : fileTreeSortDescriptors_) {
        const std::string key = descriptor.key.value_or("");
        const bool ascending = descriptor.ascending;
        if (key == "modificationDate") {
            const auto da = a.modificationDate.value_or(platform::kDistantPast);
            const auto db = b.modificationDate.value_or(platform::kDistantPast);
            if (da == db) continue;
            return ascending ? da < db : da > db;
        }
        if (key == "size") {
            if (a.size == b.size) continue;
            return ascending ? a.size < b.size : a.size > b.size;
        }
        if (key == "kind") {
            const auto ka = a.kindSortKey(), kb = b.kindSortKey();
            if (ka == kb) continue;
            return ascending ? ka < kb : kb < ka;
        }
        const int order = nameCollation().compareCaseInsensitive(a.name, b.name);
        if (order == 0) continue;
        return ascending ? order < 0 : order > 0;
    }
    return nameCollation().compareCaseInsensitive(a.name, b.name) < 0;
}

const platform::TextCollation& FileTransferWindowController::nameCollation() const {
    if (!nameCollation_) nameCollation_ = std::make_unique<platform::TextCollation>();
    return *nameCollation_;
}

void FileTransferWindowController::sortLoadedTree(const FileTransferNodePtr& node) {
    if (!node->children) return;
    for (const auto& child : *node->children) sortLoadedTree(child);
    std::stable_sort(node->children->begin(), node->children->end(),
                     [this](const FileTransferNodePtr& a, const FileTransferNodePtr& b) { return compareNodes(*a, *b); });
}

void FileTransferWindowController::resortBothTrees() {
    // Each re-sort follows the locale in force now.
    nameCollation_.reset();
    auto byOrder = [this](const FileTransferNodePtr& a, const FileTransferNodePtr& b) { return compareNodes(*a, *b); };
    std::stable_sort(localRoots_.begin(), localRoots_.end(), byOrder);
    std::stable_sort(remoteRoots_.begin(), remoteRoots_.end(), byOrder);
    for (const auto& root : localRoots_) sortLoadedTree(root);
    for (const auto& root : remoteRoots_) sortLoadedTree(root);
}

void FileTransferWindowController::outlineViewSortDescriptorsDidChange(
    platform::OutlineView& view, const std::vector<platform::SortDescriptor>& old) {
    (void)old;
    if (view.sortDescriptors().empty()) return;
    fileTreeSortDescriptors_ = view.sortDescriptors();
    resortBothTrees();
    reload(views_.leftOutlineView);
    reload(views_.rightOutlineView);
}

std::string FileTransferWindowController::metadataText(const std::string& columnIdentifier,
                                                       const FileTransferNode& node) {
    static const std::string kDash = "\u2014";
    using Kind = FileTransferNode::Kind;
    if (columnIdentifier == "date")
        return node.modificationDate ? platform::DateFormatter::mediumDateShortTime(*node.modificationDate) : kDash;
    if (columnIdentifier == "size") {
        if (node.kind != Kind::file) return kDash;
        // The formatter takes a signed count: sizes past its range show as
        // the largest it can.
        const auto clamped = std::min<uint64_t>(node.size, std::numeric_limits<int64_t>::max());
        return platform::ByteCountFormatter::fileStyle(static_cast<int64_t>(clamped));
    }
    if (columnIdentifier == "kind") {
        switch (node.kind) {
            case Kind::volume:
                return VelantrixL10n::text("fileTransfer.kindVolume", "Drive");
            case Kind::directory:
                return VelantrixL10n::text("fileTransfer.kindFolder", "Folder");
            case Kind::file: {
                auto extension = FileTransferNode::pathExtension(node.name);
                return extension.empty() ? VelantrixL10n::text("fileTransfer.kindFile", "File")
                                         : UnicodeText::uppercased(extension);
            }
            case Kind::placeholder:
                return "";
        }
    }
    return node.name;
}

std::shared_ptr<platform::View> FileTransferWindowController::makeMetadataCell(const std::string& columnIdentifier,
                                                                                const FileTransferNode& node) {
    using platform::LayoutAttribute;
    using platform::LayoutConstraint;
    using platform::LayoutRelation;
    auto cell = platform::View::plain();
    cell->identifier = "fileTransfer.meta";
    auto label = platform::View::label(metadataText(columnIdentifier, node));
    label->font = platform::Font::system(11);
    label->textColor = platform::Color::secondaryLabel;
    label->lineBreakMode = platform::View::LineBreakMode::truncatingTail;
    label->translatesAutoresizingMaskIntoConstraints = false;
    cell->addSubview(label);
    LayoutConstraint::activate({
        LayoutConstraint::between(label, LayoutAttribute::leading, LayoutRelation::equal, cell, LayoutAttribute::leading, 4),
        LayoutConstraint::between(label, LayoutAttribute::trailing, LayoutRelation::lessThanOrEqual, cell,
                                  LayoutAttribute::trailing, -4),
        LayoutConstraint::between(label, LayoutAttribute::centerY, LayoutRelation::equal, cell, LayoutAttribute::centerY),
    });
    return cell;
}

void FileTransferWindowController::updateArrowLabel() {
    const auto& window = this->window();
    if (!window || !window->contentView) return;
    auto arrow = window->contentView->viewWithTag(999);
    if (!arrow || arrow->kind != platform::View::Kind::label) return;
    arrow->text = direction_ == TransferPanelDirection::sendToHost ? "\u2192" : "\u2190";
}
