#include "Platform/AppKitAlert.h"

#include "Platform/AppKitApplication.h"

namespace platform {

std::shared_ptr<Alert> Alert::make() {
    auto alert = std::shared_ptr<Alert>(new Alert());
    alert->window_ = Window::make({420, 160}, kWindowStyleTitled);
    return alert;
}

void Alert::beginSheetModal(const std::shared_ptr<Window>& parent, std::function<void(ModalResponse)> completion) {
    if (shown_ || !parent) return;
    shown_ = true;
    modal_ = false;
    std::weak_ptr<Alert> weak = weak_from_this();
    parent->beginSheet(window_, [weak, completion = std::move(completion)](ModalResponse response) {
        if (auto self = weak.lock()) {
            self->shown_ = false;
            Application::shared().alertEnded(*self);
        }
        if (completion) completion(response);
    });
    if (window_->sheetParent() != parent) {
        // The parent already carries a sheet: this one never shows.
        shown_ = false;
        return;
    }
    Application::shared().alertShown(shared_from_this());
}

ModalResponse Alert::runModal() {
    auto& app = Application::shared();
    if (shown_) return kModalResponseAbort;
    if (app.isTerminated()) return kModalResponseAbort;
    auto keep = shared_from_this();
    shown_ = true;
    modal_ = true;
    modalResponse_.reset();
    window_->center();
    window_->setLevel(kModalPanelWindowLevel);
    window_->makeKeyAndOrderFront();
    app.alertShown(keep);
    while (!modalResponse_) {
        if (app.isTerminated()) modalResponse_ = kModalResponseAbort;
        else app.runModalSlice(1.0, [this] { return modalResponse_.has_value(); });
    }
    window_->orderOut();
    shown_ = false;
    modal_ = false;
    app.alertEnded(*this);
    return *modalResponse_;
}

void Alert::pressButton(size_t index) {
    if (index < buttonTitles_.size()) endWithResponse(kAlertFirstButtonReturn + static_cast<ModalResponse>(index));
}

void Alert::endWithResponse(ModalResponse response) {
    if (!shown_) return;
    if (modal_) {
        if (!modalResponse_) modalResponse_ = response;
        return;
    }
    if (auto parent = window_->sheetParent()) parent->endSheet(window_, response);
}

}  // namespace platform
