#include "Platform/AppKit/AppKitMenu.h"

#include "Platform/AppKit/AppKitApplication.h"

namespace platform {

std::shared_ptr<MenuItem> MenuItem::make(std::string title) {
    auto item = std::shared_ptr<MenuItem>(new MenuItem());
    item->title = std::move(title);
    return item;
}

std::shared_ptr<MenuItem> MenuItem::separator() {
    auto item = std::shared_ptr<MenuItem>(new MenuItem());
    item->separator_ = true;
    item->isEnabled = false;
    return item;
}

void MenuItem::setAction(std::string selector, Handler answer) {
    action = std::move(selector);
    handler = std::move(answer);
    target = Target::object;
}

void MenuItem::setFirstResponderAction(std::string selector) {
    action = std::move(selector);
    handler = nullptr;
    target = Target::firstResponder;
}

void MenuItem::setSubmenu(std::shared_ptr<Menu> menu) {
    if (submenu_) submenu_->supermenu_.reset();
    submenu_ = std::move(menu);
    if (submenu_) submenu_->supermenu_ = menu_;
}

std::shared_ptr<Menu> Menu::make(std::string title) { return std::shared_ptr<Menu>(new Menu(std::move(title))); }

std::shared_ptr<MenuItem> Menu::itemAtIndex(size_t index) const {
    return index < items_.size() ? items_[index] : nullptr;
}

void Menu::addItem(std::shared_ptr<MenuItem> item) {
    item->menu_ = weak_from_this();
    if (item->submenu_) item->submenu_->supermenu_ = weak_from_this();
    items_.push_back(std::move(item));
}

void Menu::removeAllItems() {
    for (auto& item : items_) item->menu_.reset();
    items_.clear();
}

void Menu::open() {
    if (auto d = delegate.lock()) d->menuWillOpen(*this);
}

bool Menu::performActionForItemAtIndex(size_t index) {
    auto item = itemAtIndex(index);
    if (!item || !item->isEnabled || item->action.empty()) return false;
    if (item->target == MenuItem::Target::firstResponder)
        return Application::shared().sendActionToFirstResponder(item->action);
    if (!item->handler) return false;
    item->handler(*item);
    return true;
}

// --- The application's standard actions ---------------------------------------------

bool Application::sendActionToFirstResponder(const std::string& selector) {
    if (selector == "hide:") {
        hide();
    } else if (selector == "hideOtherApplications:") {
        hideOtherApplications();
    } else if (selector == "unhideAllApplications:") {
        unhideAllApplications();
    } else if (selector == "performMiniaturize:" || selector == "performZoom:") {
        auto key = keyWindow();
        if (!key) return false;
        if (selector == "performZoom:") {
            key->zoom();
        } else {
            key->miniaturize();
        }
    } else if (selector == "arrangeInFront:") {
        for (const auto& window : windows())
            if (window->isVisible()) window->orderFront();
    } else {
        return false;
    }
    return true;
}

void Application::hide() {
    if (hidden_) return;
    hidden_ = true;
    for (const auto& window : windows()) {
        if (!window->isVisible()) continue;
        hiddenWindows_.push_back(window);
        window->orderOut();
    }
}

void Application::unhideAllApplications() {
    otherApplicationsHidden_ = false;
    if (!hidden_) return;
    hidden_ = false;
    auto windows = std::move(hiddenWindows_);
    hiddenWindows_.clear();
    for (const auto& weak : windows)
        if (auto window = weak.lock()) window->orderFront();
}

void Application::hideOtherApplications() { otherApplicationsHidden_ = true; }

}  // namespace platform
