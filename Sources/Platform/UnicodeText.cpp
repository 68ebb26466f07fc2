#include "Platform/UnicodeText.h"

#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <memory>

#include "Platform/Locale.h"

namespace platform {

std::string UnicodeText::lowercased(std::string_view text) {
    icu::UnicodeString s = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    s.toLower(icu::Locale::getRoot());
    std::string out;
    s.toUTF8String(out);
    return out;
}

std::string UnicodeText::uppercased(std::string_view text) {
    icu::UnicodeString s = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    s.toUpper(icu::Locale::getRoot());
    std::string out;
    s.toUTF8String(out);
    return out;
}

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

int UnicodeText::localizedCaseInsensitiveCompare(std::string_view a, std::string_view b) {
    // A collator is costly to open and not to be shared between threads:
    // one per thread, reopened when the locale changes.
    thread_local std::string collatorLocale;
    thread_local std::unique_ptr<icu::Collator> collator;
    const std::string identifier = Locale::current().identifier();
    if (!collator || collatorLocale != identifier) {
        UErrorCode status = U_ZERO_ERROR;
        auto locale = icu::Locale::forLanguageTag(identifier, status);
        if (U_FAILURE(status)) locale = icu::Locale::getRoot();
        status = U_ZERO_ERROR;
        collator.reset(icu::Collator::createInstance(locale, status));
        if (U_FAILURE(status)) collator.reset();
        if (collator) collator->setStrength(icu::Collator::SECONDARY);
        collatorLocale = identifier;
    }
    if (!collator) {
        const auto la = lowercased(a), lb = lowercased(b);
        return la < lb ? -1 : (lb < la ? 1 : 0);
    }
    UErrorCode status = U_ZERO_ERROR;
    const auto r = collator->compareUTF8(icu::StringPiece(a.data(), static_cast<int32_t>(a.size())),
                                         icu::StringPiece(b.data(), static_cast<int32_t>(b.size())), status);
    return r == UCOL_LESS ? -1 : (r == UCOL_GREATER ? 1 : 0);
}

}  // namespace platform
