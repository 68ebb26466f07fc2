#include "Platform/AppKit/AppKitControls.h"

namespace platform {

void ScrollView::setDocumentView(std::shared_ptr<View> view) {
    documentView_ = view;
    if (view) addSubview(std::move(view));
}

std::shared_ptr<SegmentedControl> SegmentedControl::make(std::vector<std::string> labels, TrackingMode mode,
                                                         Action action) {
    auto control = std::shared_ptr<SegmentedControl>(new SegmentedControl());
    control->labels_ = std::move(labels);
    control->trackingMode = mode;
    control->action = std::move(action);
    return control;
}

void SegmentedControl::clickSegment(int segment) {
    if (!isEnabled || segment < 0 || segment >= static_cast<int>(labels_.size())) return;
    selectedSegment = segment;
    if (action) {
        auto keep = shared_from_this();
        auto run = action;
        run(*this);
    }
}

}  // namespace platform
