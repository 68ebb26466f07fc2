#pragma once
// The normal-mode status item, its menu and the menu items whose texts and
// check marks the Host updates.

#include <memory>
#include <optional>

#include "Platform/AppKit/AppKitMenu.h"
#include "Platform/AppKit/AppKitStatusBar.h"
#include "Platform/AppKit/AppKitWindow.h"

struct MainMenuState {
    std::shared_ptr<platform::StatusItem> statusItem;
    std::shared_ptr<platform::Menu> statusMenu;
    // The status item's display symbol, looked up on first use and kept,
    // also when the system has none (then the inner pointer is null).
    std::optional<std::shared_ptr<platform::Image>> statusItemDisplaySymbol;
    // Items owned by their menus.
    std::weak_ptr<platform::MenuItem> launchAtLoginMenuItem;
    std::weak_ptr<platform::MenuItem> statusLaunchAtLoginMenuItem;
    // "Automatically Install Updates" in the main menu and the status menu:
    // choosing either sets both check marks.
    std::weak_ptr<platform::MenuItem> autoUpdateMenuItem;
    std::weak_ptr<platform::MenuItem> statusAutoUpdateMenuItem;
    std::weak_ptr<platform::MenuItem> statusMenuStatusItem;
    std::weak_ptr<platform::MenuItem> statusMenuAddressItem;
    std::weak_ptr<platform::MenuItem> statusMenuViewerItem;
};
