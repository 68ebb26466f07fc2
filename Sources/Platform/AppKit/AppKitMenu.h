#pragma once
// Menus of the headless AppKit model: a menu with its title, identifier,
// items and delegate, and a menu item with its title, action, target, key
// equivalent, state and represented object. Nothing is drawn; tests open a
// menu and press its items as a user would.
//
// An item's action is a selector name, by which code finds and compares
// items, plus the handler that answers it when the item targets an object.
// Items that target the first responder send the standard actions the
// application answers itself ("hide:", "performZoom:" ...). Main thread
// only, like AppKit.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

namespace platform {

// Key-equivalent modifier flags.
inline constexpr uint32_t kEventModifierShift = 1u << 17;
inline constexpr uint32_t kEventModifierControl = 1u << 18;
inline constexpr uint32_t kEventModifierOption = 1u << 19;
inline constexpr uint32_t kEventModifierCommand = 1u << 20;

enum class ControlStateValue { off, on, mixed };

// The state of an item that carries a check mark while a setting is on.
inline ControlStateValue checkMarkState(bool on) { return on ? ControlStateValue::on : ControlStateValue::off; }

class Menu;

// Hears a menu open, before it shows.
class MenuDelegate {
public:
    virtual ~MenuDelegate() = default;
    virtual void menuWillOpen(Menu& menu) = 0;
};

class MenuItem : public std::enable_shared_from_this<MenuItem> {
public:
    using Handler = std::function<void(MenuItem& sender)>;
    enum class Target { object, firstResponder };
    // No represented object, a string, or a display identifier.
    using RepresentedObject = std::variant<std::monostate, std::string, uint32_t>;

    static std::shared_ptr<MenuItem> make(std::string title);
    static std::shared_ptr<MenuItem> separator();

    std::string title;
    // The selector's name ("refreshButtonPressed", "hide:"); empty: none.
    std::string action;
    // Answers the action when the target is an object.
    Handler handler;
    Target target = Target::object;
    // Empty: none. Modifiers apply only with a key.
    std::string keyEquivalent;
    uint32_t keyEquivalentModifierMask = kEventModifierCommand;
    ControlStateValue state = ControlStateValue::off;
    bool isEnabled = true;
    RepresentedObject representedObject;
    std::string toolTip;

    // An action answered by `handler`.
    void setAction(std::string selector, Handler answer);
    // A standard action sent to the first responder.
    void setFirstResponderAction(std::string selector);

    bool isSeparatorItem() const { return separator_; }
    std::shared_ptr<Menu> submenu() const { return submenu_; }
    void setSubmenu(std::shared_ptr<Menu> menu);
    // The menu that holds the item, while one does.
    std::shared_ptr<Menu> menu() const { return menu_.lock(); }

private:
    friend class Menu;
    MenuItem() = default;
    bool separator_ = false;
    std::shared_ptr<Menu> submenu_;
    std::weak_ptr<Menu> menu_;
};

class Menu : public std::enable_shared_from_this<Menu> {
public:
    static std::shared_ptr<Menu> make(std::string title);

    std::string title;
    std::string identifier;
    // Held weakly; the owner keeps it alive.
    std::weak_ptr<MenuDelegate> delegate;

    const std::vector<std::shared_ptr<MenuItem>>& items() const { return items_; }
    size_t numberOfItems() const { return items_.size(); }
    // Null beyond the last item.
    std::shared_ptr<MenuItem> itemAtIndex(size_t index) const;
    void addItem(std::shared_ptr<MenuItem> item);
    void removeAllItems();
    // The menu that holds this one as a submenu, while one does.
    std::shared_ptr<Menu> supermenu() const { return supermenu_.lock(); }

    // The user opens the menu: the delegate hears menu-will-open.
    void open();
    // The user chooses the item: an enabled item with an action sends it to
    // its target. False when nothing answered.
    bool performActionForItemAtIndex(size_t index);

private:
    friend class MenuItem;
    explicit Menu(std::string t) : title(std::move(t)) {}
    std::vector<std::shared_ptr<MenuItem>> items_;
    std::weak_ptr<Menu> supermenu_;
};

}  // namespace platform
