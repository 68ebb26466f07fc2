#include "Platform/AppKit/AppKitSplitView.h"

namespace platform {

void SplitView::addArrangedSubview(std::shared_ptr<View> pane) { addSubview(std::move(pane)); }

}  // namespace platform
