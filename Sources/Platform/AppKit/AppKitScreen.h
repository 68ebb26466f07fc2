#pragma once
// The screens of the headless AppKit model: the main screen is the
// simulated machine's main display, in points with the origin at the
// bottom left; its visible frame leaves out the 25 pt menu bar at the top.
// Also the name of the application's icon image, as image views show it.

#include <optional>

#include "Platform/SimulatedMac/CoreGraphicsDisplays.h"

namespace platform {

inline constexpr double kMenuBarHeight = 25;
// The image name that stands for the application's own icon.
inline constexpr const char* kApplicationIconImageName = "NSApplicationIcon";

struct Screen {
    CGRect frame;
    CGRect visibleFrame;

    // The screen of the main display; none when the machine has no active
    // display.
    static std::optional<Screen> main();
};

}  // namespace platform
