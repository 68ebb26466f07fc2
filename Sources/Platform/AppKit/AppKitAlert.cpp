#include "Platform/AppKit/AppKitAlert.h"

#include "Platform/AppKit/AppKitApplication.h"
#include "Platform/AppKit/AppKitModal.h"

namespace platform {

std::shared_ptr<Alert> Alert::make() {
    auto alert = std::shared_ptr<Alert>(new Alert());
    alert->window_ = Window::make({420, 160}, kWindowStyleTitled);
    return alert;
}

void Alert::beginSheetModal(const std::shared_ptr<Window>& parent, std::function<void(ModalResponse)> completion,
                            std::function<void()> didBegin) {
    if (shown_ || sheetParent_.lock() || !parent) return;
    modal_ = false;
    sheetParent_ = parent;
    std::weak_ptr<Alert> weak = weak_from_this();
    // Behind another sheet the alert waits its turn; it counts as shown
    // (and takes a scripted answer) only once it is on screen.
    parent->beginSheet(
        window_,
        [weak, completion = std::move(completion)](ModalResponse response) {
            if (auto self = weak.lock()) {
                self->shown_ = false;
                self->sheetParent_.reset();
                Application::shared().alertEnded(*self);
            }
            if (completion) completion(response);
        },
        // Held while it waits, as the window server holds a queued sheet;
        // once shown, the application holds it.
        [self = shared_from_this(), didBegin = std::move(didBegin)] {
            self->shown_ = true;
            Application::shared().alertShown(self);
            if (didBegin) didBegin();
        });
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
    runModalLoop(modalResponse_);
    window_->orderOut();
    shown_ = false;
    modal_ = false;
    app.alertEnded(*this);
    return *modalResponse_;
}

void Alert::pressButton(size_t index) {
    // Nobody can click an alert that is not on screen.
    if (shown_ && index < buttonTitles_.size())
        endWithResponse(kAlertFirstButtonReturn + static_cast<ModalResponse>(index));
}

void Alert::endWithResponse(ModalResponse response) {
    if (modal_) {
        if (shown_ && !modalResponse_) modalResponse_ = response;
        return;
    }
    if (auto parent = sheetParent_.lock()) parent->endSheet(window_, response);
}

}  // namespace platform
