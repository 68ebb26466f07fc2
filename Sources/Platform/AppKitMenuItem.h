#pragma once
// A menu item of the headless AppKit model: its title, its check mark and
// the action a click runs. Menus themselves (and the status item) build on
// it. Main thread only, like AppKit.

#include <functional>
#include <memory>
#include <string>

namespace platform {

// A control's check state.
enum class ControlStateValue { off, on, mixed };

class MenuItem : public std::enable_shared_from_this<MenuItem> {
public:
    using Action = std::function<void(MenuItem& sender)>;

    static std::shared_ptr<MenuItem> make(std::string title) {
        auto item = std::shared_ptr<MenuItem>(new MenuItem());
        item->title = std::move(title);
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
