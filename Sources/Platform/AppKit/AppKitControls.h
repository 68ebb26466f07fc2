#pragma once
// Controls of the headless AppKit model beyond labels and buttons: the scroll
// view around a document view, the segmented control, the progress
// indicator, and the window controller that owns a window. Records only;
// nothing is drawn. Main thread only.

#include <memory>
#include <string>
#include <vector>

#include "Platform/AppKit/AppKitWindow.h"

namespace platform {

class ScrollView : public View {
public:
    static std::shared_ptr<ScrollView> make() { return std::shared_ptr<ScrollView>(new ScrollView()); }
    bool hasVerticalScroller = false;
    bool hasHorizontalScroller = false;
    std::shared_ptr<View> documentView() const { return documentView_; }
    // The document view becomes the scroll view's only subview.
    void setDocumentView(std::shared_ptr<View> view);

private:
    ScrollView() : View(Kind::scrollView) {}
    std::shared_ptr<View> documentView_;
};

class SegmentedControl : public View {
public:
    enum class TrackingMode { selectOne, selectAny, momentary };
    static std::shared_ptr<SegmentedControl> make(std::vector<std::string> labels, TrackingMode mode, Action action);
    const std::vector<std::string>& labels() const { return labels_; }
    TrackingMode trackingMode = TrackingMode::selectOne;
    // -1 when no segment is selected.
    int selectedSegment = -1;
    // The user clicks a segment: it is selected and the action runs (an
    // enabled control only).
    void clickSegment(int segment);

private:
    SegmentedControl() : View(Kind::segmentedControl) {}
    std::vector<std::string> labels_;
};

class ProgressIndicator : public View {
public:
    enum class Style { bar, spinning };
    static std::shared_ptr<ProgressIndicator> make() {
        return std::shared_ptr<ProgressIndicator>(new ProgressIndicator());
    }
    Style style = Style::bar;
    bool isIndeterminate = true;
    double minValue = 0;
    double maxValue = 100;
    double doubleValue = 0;
    bool isAnimating = false;

private:
    ProgressIndicator() : View(Kind::progressIndicator) {}
};

// Owns one window for the life of the controller.
class WindowController {
public:
    explicit WindowController(std::shared_ptr<Window> window) : window_(std::move(window)) {}
    virtual ~WindowController() = default;
    const std::shared_ptr<Window>& window() const { return window_; }
    // Replaces the window; none leaves the controller without one.
    void setWindow(std::shared_ptr<Window> window) { window_ = std::move(window); }

private:
    std::shared_ptr<Window> window_;
};

}  // namespace platform
