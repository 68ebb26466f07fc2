#pragma once
// The menu bar's status items in the headless AppKit model, and the system
// symbol images they show. A status item has a length, a button (font,
// image and where it sits, styled title, tool tip, enabled) and a menu; the
// status bar lists the items in the order they were added. Nothing is
// drawn: tests read the button and open the menu.
//
// The status bar and the symbols belong to the simulated machine (a fresh
// machine has none of the Host's items); the machine offers the symbols
// "display" and "lock.shield", and tests remove either. Main thread only.

#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Platform/AppKit/AttributedString.h"
#include "Platform/SimulatedMac/CoreGraphicsDisplays.h"

namespace platform {

class Menu;

// A status item that is as wide as its button's contents.
inline constexpr double kVariableStatusItemLength = -1;

// The menu bar's own font: `size` 0 means its default size.
Font menuBarFont(double size = 0);

// A named image of the system's symbol set.
struct Image {
    std::string symbolName;
    std::string accessibilityDescription;
    CGSize size;

    // The symbol, or none when the system has no symbol of that name.
    static std::shared_ptr<Image> systemSymbol(const std::string& name, std::string accessibilityDescription);
};

enum class ImagePosition { noImage, imageOnly, imageLeft, imageRight };

class StatusBarButton {
public:
    // None: the menu bar's default font.
    std::optional<Font> font;
    std::shared_ptr<Image> image;
    ImagePosition imagePosition = ImagePosition::imageLeft;
    AttributedString attributedTitle;
    std::string toolTip;
    bool isEnabled = true;
    // The title as plain text (an image attachment reads as U+FFFC).
    std::string title() const { return attributedTitle.string(); }
};

class StatusItem {
public:
    explicit StatusItem(double itemLength) : length(itemLength) {}
    double length;
    const std::shared_ptr<StatusBarButton> button = std::make_shared<StatusBarButton>();
    std::shared_ptr<Menu> menu;
};

class StatusBar {
public:
    // The simulated machine's menu bar.
    static StatusBar& system();

    std::shared_ptr<StatusItem> statusItem(double length);
    void removeStatusItem(const std::shared_ptr<StatusItem>& item);
    // The items in the menu bar, oldest first.
    std::vector<std::shared_ptr<StatusItem>> items() const;

private:
    mutable std::mutex lock_;
    std::vector<std::shared_ptr<StatusItem>> items_;
};

// The symbol set of the simulated machine.
class SimulatedSystemSymbols {
public:
    bool has(const std::string& name) const;
    void remove(const std::string& name);

private:
    mutable std::mutex lock_;
    std::set<std::string> names_{"display", "lock.shield"};
};

}  // namespace platform
