#include "Platform/AppKit/AppKitTextMetrics.h"

#include <cmath>
#include <vector>

namespace platform {

namespace {

double advance(const Font& font) { return 0.6 * font.pointSize; }
double lineHeight(const Font& font) { return std::ceil(1.25 * font.pointSize); }

// Code points, each counted once: UTF-8 continuation bytes add nothing.
size_t characterCount(std::string_view text) {
    size_t n = 0;
    for (unsigned char c : text)
        if ((c & 0xC0) != 0x80) n++;
    return n;
}

// How many lines one paragraph (no line breaks) takes in a box of that
// many characters.
size_t paragraphLines(std::string_view paragraph, size_t perLine) {
    size_t lines = 1;
    size_t used = 0;
    size_t i = 0;
    while (i < paragraph.size()) {
        const size_t wordEnd = std::min(paragraph.find(' ', i), paragraph.size());
        size_t word = characterCount(paragraph.substr(i, wordEnd - i));
        const size_t needed = used == 0 ? word : used + 1 + word;
        if (needed <= perLine) {
            used = needed;
        } else {
            if (used > 0) {
                lines++;
                used = 0;
            }
            // A word longer than a line is broken where it no longer fits.
            while (word > perLine) {
                lines++;
                word -= perLine;
            }
            used = word;
        }
        i = wordEnd + 1;
    }
    return lines;
}

}  // namespace

double textWidth(const std::string& text, const Font& font) {
    return static_cast<double>(characterCount(text)) * advance(font);
}

double textHeight(const std::string& text, const Font& font, double width) {
    const size_t perLine = std::max<size_t>(1, static_cast<size_t>(std::floor(width / advance(font) + 1e-9)));
    size_t lines = 0;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find('\n', start);
        lines += paragraphLines(std::string_view(text).substr(start, end == std::string::npos ? std::string::npos
                                                                                              : end - start),
                                perLine);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return static_cast<double>(lines) * lineHeight(font);
}

void sizeToFit(View& button) {
    // Less a hair, so that 5 x 7.8 is 39 and not 40 for its rounding.
    button.frame.width = std::ceil(textWidth(button.text, button.font) - 1e-9) + kPushButtonTitlePadding;
    button.frame.height = kPushButtonFittingHeight;
}

}  // namespace platform
