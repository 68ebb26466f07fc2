#pragma once
// A menu item of the headless AppKit model: its title, its check mark and
// the action a click runs. Menus themselves (and the status item) build on
// it. Main thread only, like AppKit.

#include <functional>
#include <memory>
#include <string>

namespace platform {

// A control's check state, with the values the platform gives them.
enum class ControlStateValue : int { mixed = -1, off = 0, on = 1 };

class MenuItem : public std::enable_shared_from_this<MenuItem> {
public:
    using Action = std::function<void(MenuItem& sender)>;

    static std::shared_ptr<MenuItem> make(std::string title, Action action) {
        auto item = std::shared_ptr<MenuItem>(new MenuItem());
        item->title = std::move(title);
        item->action = std::move(action);
        return item;
    }

    std::string title;
    ControlStateValue state = ControlStateValue::off;
    bool isEnabled = true;
    Action action;

    // The user chooses the item: an enabled item runs its action with
    // itself as the sender.
    void performAction() {
        if (!isEnabled || !action) return;
        auto keep = shared_from_this();  // the action may drop the last owner
        auto run = action;
        run(*this);
    }

private:
    MenuItem() = default;
};

}  // namespace platform
