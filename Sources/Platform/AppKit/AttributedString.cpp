#include "Platform/AppKit/AttributedString.h"

namespace platform {

AttributedString::AttributedString(std::string text, Font font, Color color, TextAlignment alignment) {
    append(std::move(text), font, color, alignment);
}

void AttributedString::append(std::string text, Font font, Color color, TextAlignment alignment) {
    if (text.empty()) return;
    // Neighbouring text of the same style is one run, as AppKit coalesces it.
    if (!runs_.empty() && !runs_.back().attachment && runs_.back().font == font && runs_.back().color == color &&
        runs_.back().alignment == alignment) {
        runs_.back().text += text;
        return;
    }
    runs_.push_back(Run{std::move(text), font, std::nullopt, color, alignment});
}

void AttributedString::appendAttachment(Attachment attachment, Font font) {
    runs_.push_back(Run{{}, font, std::move(attachment)});
}

std::string AttributedString::string() const {
    std::string out;
    for (const auto& run : runs_) out += run.attachment ? "\xEF\xBF\xBC" : run.text;
    return out;
}

}  // namespace platform
