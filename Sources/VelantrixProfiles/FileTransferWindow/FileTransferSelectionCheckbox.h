#pragma once
// The checkbox of one source-tree row: it carries its row's node and the
// outline view showing the row, so that its action knows what was ticked
// and which tree to redraw.

#include <memory>

#include "Platform/AppKit/AppKitOutlineView.h"
#include "VelantrixProfiles/FileTransferWindow/FileTransferNode.h"

class FileTransferSelectionCheckbox : public platform::View {
public:
    static std::shared_ptr<FileTransferSelectionCheckbox> make() {
        return std::shared_ptr<FileTransferSelectionCheckbox>(new FileTransferSelectionCheckbox());
    }
    // Held strongly: the row's node lives as long as its checkbox.
    FileTransferNodePtr node;
    std::weak_ptr<platform::OutlineView> outlineView;

private:
    FileTransferSelectionCheckbox() : View(Kind::checkbox) {}
};
