#include "Platform/AppKit/AppKitPanel.h"

#include <map>

#include "Platform/SimulatedMac/SimulatedMachine.h"

namespace platform {

namespace {
// The window server's record of child windows, by parent window number;
// children are held weakly.
struct SimulatedChildWindows {
    std::map<uint64_t, std::vector<std::weak_ptr<Window>>> byParent;
};
std::map<uint64_t, std::vector<std::weak_ptr<Window>>>& children() {
    return SimulatedMachine::current().component<SimulatedChildWindows>().byParent;
}
}  // namespace

std::shared_ptr<Panel> Panel::make(CGSize contentSize, uint32_t styleMask) {
    return std::shared_ptr<Panel>(new Panel(Window::make(contentSize, styleMask)));
}

void Panel::clickCloseBox() {
    if (!(window_->styleMask & kWindowStyleClosable)) return;
    if (closeBoxAction)
        closeBoxAction();
    else
        window_->close();
}

void addChildWindow(const std::shared_ptr<Window>& parent, const std::shared_ptr<Window>& child) {
    auto& list = children()[parent->windowNumber()];
    for (const auto& weak : list)
        if (weak.lock() == child) return;
    list.push_back(child);
    child->orderFront();
}

void removeChildWindow(const std::shared_ptr<Window>& parent, const std::shared_ptr<Window>& child) {
    auto it = children().find(parent->windowNumber());
    if (it == children().end()) return;
    std::erase_if(it->second, [&](const std::weak_ptr<Window>& weak) { return weak.expired() || weak.lock() == child; });
    if (it->second.empty()) children().erase(it);
}

std::vector<std::shared_ptr<Window>> childWindows(const Window& parent) {
    std::vector<std::shared_ptr<Window>> out;
    if (auto it = children().find(parent.windowNumber()); it != children().end())
        for (const auto& weak : it->second)
            if (auto child = weak.lock()) out.push_back(child);
    return out;
}

OpenPanel::OpenPanel() : window_(Window::make(CGSize{640, 420}, kWindowStyleTitled | kWindowStyleResizable)) {
    window_->isReleasedWhenClosed = false;
}

std::shared_ptr<OpenPanel> OpenPanel::make() { return std::shared_ptr<OpenPanel>(new OpenPanel()); }

void OpenPanel::beginSheetModal(const std::shared_ptr<Window>& parent, std::function<void(ModalResponse)> handler,
                                std::function<void()> didBegin) {
    handler_ = std::move(handler);
    sheetParent_ = parent;
    std::weak_ptr<OpenPanel> weak = weak_from_this();
    parent->beginSheet(
        window_, [weak](ModalResponse response) {
            if (auto self = weak.lock()) self->finish(response);
        },
        std::move(didBegin));
}

void OpenPanel::begin(std::function<void(ModalResponse)> handler) {
    handler_ = std::move(handler);
    window_->makeKeyAndOrderFront();
}

void OpenPanel::answerOK(const std::string& path) {
    if (!handler_) return;
    url_ = path;
    if (auto parent = sheetParent_.lock())
        parent->endSheet(window_, kModalResponseOK);
    else
        finish(kModalResponseOK);
}

void OpenPanel::answerCancel() {
    if (!handler_) return;
    if (auto parent = sheetParent_.lock())
        parent->endSheet(window_, kModalResponseCancel);
    else
        finish(kModalResponseCancel);
}

void OpenPanel::finish(ModalResponse response) {
    auto keep = shared_from_this();
    auto handler = std::move(handler_);
    handler_ = nullptr;
    sheetParent_.reset();
    window_->orderOut();
    if (handler) handler(response);
}

}  // namespace platform
