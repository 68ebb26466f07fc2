#pragma once
// The split view of the headless AppKit model: panes side by side (a
// vertical divider) or stacked, with the divider's style. Records only.

#include <memory>
#include <vector>

#include "Platform/AppKit/AppKitWindow.h"

namespace platform {

class SplitView : public View {
public:
    enum class DividerStyle { thick, thin, paneSplitter };
    static std::shared_ptr<SplitView> make() { return std::shared_ptr<SplitView>(new SplitView()); }
    // Panes side by side, as the platform calls a vertical divider.
    bool isVertical = false;
    DividerStyle dividerStyle = DividerStyle::thick;
    // The frame size the owner gave it.
    CGSize size;
    // Adds a pane after the others (it becomes a subview too).
    void addArrangedSubview(std::shared_ptr<View> pane);
    const std::vector<std::shared_ptr<View>>& arrangedSubviews() const { return subviews(); }

private:
    SplitView() : View(Kind::plain) {}
};

}  // namespace platform
