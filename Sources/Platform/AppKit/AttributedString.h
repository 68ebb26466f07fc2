#pragma once
// Styled text as AppKit hands it around: runs of text in a font, colour and
// paragraph alignment, and image attachments with their bounds. Nothing is laid out or drawn; the runs are
// kept so that tests can read what a panel would show.

#include <optional>
#include <string>
#include <vector>

#include "Platform/SimulatedMac/CoreGraphicsDisplays.h"

namespace platform {

enum class FontWeight { regular, medium, semibold, bold };

struct Font {
    double pointSize = 13;
    FontWeight weight = FontWeight::regular;
    bool monospaced = false;
    static Font system(double size, FontWeight weight = FontWeight::regular) { return Font{size, weight, false}; }
    static Font monospacedSystem(double size, FontWeight weight = FontWeight::regular) {
        return Font{size, weight, true};
    }
    bool operator==(const Font&) const = default;
};

// The semantic colours the Host's texts use.
enum class Color { label, secondaryLabel, tertiaryLabel, systemRed, systemBlue, systemGreen, systemOrange };

// The paragraph alignment of a run's text.
enum class TextAlignment { natural, center, right };

class AttributedString {
public:
    // An image in the text flow, standing for one object-replacement character.
    struct Attachment {
        std::string imageName;
        CGRect bounds;
        bool operator==(const Attachment&) const = default;
    };
    struct Run {
        std::string text;  // empty for an attachment
        Font font;
        std::optional<Attachment> attachment;
        Color color = Color::label;
        TextAlignment alignment = TextAlignment::natural;
        bool operator==(const Run&) const = default;
    };

    AttributedString() = default;
    AttributedString(std::string text, Font font, Color color = Color::label,
                     TextAlignment alignment = TextAlignment::natural);

    void append(std::string text, Font font, Color color = Color::label,
                TextAlignment alignment = TextAlignment::natural);
    void appendAttachment(Attachment attachment, Font font = {});
    const std::vector<Run>& runs() const { return runs_; }
    // The plain text; each attachment reads as U+FFFC.
    std::string string() const;
    bool empty() const { return runs_.empty(); }
    bool operator==(const AttributedString&) const = default;

private:
    std::vector<Run> runs_;
};

}  // namespace platform
