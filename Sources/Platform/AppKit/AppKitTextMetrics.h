#pragma once
// Text measurement of the headless AppKit model. Nothing is drawn, so the
// metrics are fixed rules rather than a font's: every character (a UTF-8
// code point) advances 0.6 x the point size, a line is ceil(1.25 x the
// point size) high, and text wraps at word boundaries to the box's width
// (a word wider than the box is broken where it no longer fits). Line
// breaks in the text always start a new line.
//
// A push button sized to fit its title is 32 pt high and
// ceil(title width) + 28 pt wide.

#include <string>

#include "Platform/AppKit/AppKitWindow.h"

namespace platform {

inline constexpr double kPushButtonFittingHeight = 32;
inline constexpr double kPushButtonTitlePadding = 28;

// The width of one line of text.
double textWidth(const std::string& text, const Font& font);
// The height of the text laid out in a box `width` wide and of unlimited
// height; at least one line, also for an empty text.
double textHeight(const std::string& text, const Font& font, double width);
// A push button's size after size-to-fit: its frame's size changes, its
// origin stays.
void sizeToFit(View& button);

}  // namespace platform
