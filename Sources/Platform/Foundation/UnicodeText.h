#pragma once
// Unicode-aware text operations on UTF-8 strings.

#include <string>
#include <string_view>

namespace platform {

struct UnicodeText {
    // Lower case by the root locale's rules (so "BONJOUR" and "Ｂonjour"
    // compare as their lower-case forms do in any language).
    static std::string lowercased(std::string_view text);
    // Upper case by the root locale's rules.
    static std::string uppercased(std::string_view text);
    // Without white space and line breaks at either end, in the Unicode
    // sense (no-break space and next-line included).
    static std::string_view trimmingWhitespace(std::string_view text);
    // The same, as a string of its own.
    static std::string trimmed(std::string_view text) { return std::string(trimmingWhitespace(text)); }
    // Whether the bytes are well-formed UTF-8 (no overlong forms, no
    // surrogates, nothing beyond U+10FFFF).
    static bool isValidUTF8(std::string_view bytes);
};

}  // namespace platform
