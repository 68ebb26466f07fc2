#include "Platform/AppKit/AppKitScreen.h"

#include "Platform/AppKit/AppKitWindow.h"

namespace platform {

std::optional<Screen> Screen::main() {
    const CGDirectDisplayID display = CGMainDisplayID();
    if (display == 0 || !CGDisplayIsActive(display)) return std::nullopt;
    const CGRect bounds = CGDisplayBounds(display);
    Screen screen;
    screen.frame = CGRect{0, 0, bounds.width, bounds.height};
    screen.visibleFrame = CGRect{0, 0, bounds.width, std::max(0.0, bounds.height - kMenuBarHeight)};
    return screen;
}

// --- Window placement ---------------------------------------------------------------

void Window::center() {
    centered_ = true;
    auto screen = Screen::main();
    if (!screen) return;
    const CGRect& visible = screen->visibleFrame;
    frame.x = visible.x + (visible.width - frame.width) / 2;
    frame.y = visible.y + (visible.height - frame.height) / 2;
}

void Window::setFrameTopLeftPoint(CGPoint point) {
    centered_ = false;
    frame.x = point.x;
    frame.y = point.y - frame.height;
}

void Window::setContentSize(CGSize size) {
    contentSize = size;
    frame.width = size.width;
    frame.height = size.height;
}

}  // namespace platform
