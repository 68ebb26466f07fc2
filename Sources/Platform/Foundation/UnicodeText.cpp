#include "Platform/Foundation/UnicodeText.h"

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

namespace platform {

namespace {

// Case mapping by the root locale's rules.
std::string caseMapped(std::string_view text, bool upper) {
    icu::UnicodeString s = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    if (upper)
        s.toUpper(icu::Locale::getRoot());
    else
        s.toLower(icu::Locale::getRoot());
    std::string out;
    s.toUTF8String(out);
    return out;
}

}  // namespace

std::string UnicodeText::lowercased(std::string_view text) { return caseMapped(text, false); }

std::string UnicodeText::uppercased(std::string_view text) { return caseMapped(text, true); }

std::string_view UnicodeText::trimmingWhitespace(std::string_view text) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const int32_t length = static_cast<int32_t>(text.size());
    int32_t start = 0;
    while (start < length) {
        int32_t next = start;
        UChar32 c;
        U8_NEXT(bytes, next, length, c);
        if (c < 0 || !u_isUWhiteSpace(c)) break;
        start = next;
    }
    int32_t end = length;
    while (end > start) {
        int32_t previous = end;
        UChar32 c;
        U8_PREV(bytes, start, previous, c);
        if (c < 0 || !u_isUWhiteSpace(c)) break;
        end = previous;
    }
    return text.substr(static_cast<size_t>(start), static_cast<size_t>(end - start));
}

bool UnicodeText::isValidUTF8(std::string_view bytes) {
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    const auto length = static_cast<int32_t>(bytes.size());
    if (static_cast<size_t>(length) != bytes.size()) return false;
    for (int32_t i = 0; i < length;) {
        UChar32 c;
        U8_NEXT(data, i, length, c);
        if (c < 0) return false;
    }
    return true;
}

}  // namespace platform
