#pragma once
// Bringing a window in front of the user's work while a sheet is on it,
// and putting it back afterwards. Main thread only.

#include <functional>
#include <memory>

#include "Platform/AppKit/AppKitWindow.h"

struct FileTransferForegroundPresentation {
    // Activates the application and raises `window` (floating level, moves
    // to the active Space, shown while inactive, key and front). The
    // returned step restores the window's level, collection behaviour and
    // hides-on-deactivate flag, if the window still exists.
    static std::function<void()> prepareSheetParent(const std::shared_ptr<platform::Window>& window);

    // The two ends of one sheet on a raised window. Sheets on one window
    // queue, so the window is raised when this sheet shows (`didBegin`,
    // taking the window as it is then) and put back when it ends
    // (`didEnd`, which does nothing for a sheet that never showed): the
    // window ends as it was before the first of them, whatever their number.
    struct RaisedSheet {
        std::function<void()> didBegin;
        std::function<void()> didEnd;
    };
    static RaisedSheet raisedSheet(const std::shared_ptr<platform::Window>& window);
};
