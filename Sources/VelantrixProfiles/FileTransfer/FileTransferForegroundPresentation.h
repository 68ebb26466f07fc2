#pragma once
// Bringing a window in front of the user's work before a sheet goes on it,
// and putting it back afterwards. Main thread only.

#include <functional>
#include <memory>

#include "Platform/AppKitWindow.h"

struct FileTransferForegroundPresentation {
    // Activates the application and raises `window` (floating level, moves
    // to the active Space, shown while inactive, key and front). The
    // returned step restores the window's level, collection behaviour and
    // hides-on-deactivate flag, if the window still exists.
    static std::function<void()> prepareSheetParent(const std::shared_ptr<platform::Window>& window);
};
