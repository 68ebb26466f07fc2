#include "Platform/Foundation/TextCollation.h"

#include <algorithm>

#include <unicode/brkiter.h>
#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

#include "Platform/Foundation/Locale.h"

namespace platform {

struct TextCollation::Impl {
    std::unique_ptr<icu::Collator> collator;
};

TextCollation::TextCollation() : impl_(std::make_unique<Impl>()) {
    UErrorCode status = U_ZERO_ERROR;
    auto locale = icu::Locale::forLanguageTag(Locale::current().identifier(), status);
    if (U_FAILURE(status)) locale = icu::Locale::getRoot();
    status = U_ZERO_ERROR;
    impl_->collator.reset(icu::Collator::createInstance(locale, status));
    if (U_FAILURE(status)) impl_->collator.reset();
    if (impl_->collator) impl_->collator->setStrength(icu::Collator::SECONDARY);
}

TextCollation::~TextCollation() = default;

int TextCollation::compareCaseInsensitive(std::string_view a, std::string_view b) const {
    if (!impl_->collator) return a < b ? -1 : (a == b ? 0 : 1);
    UErrorCode status = U_ZERO_ERROR;
    auto result = impl_->collator->compareUTF8(icu::StringPiece(a.data(), static_cast<int32_t>(a.size())),
                                               icu::StringPiece(b.data(), static_cast<int32_t>(b.size())), status);
    return result == UCOL_LESS ? -1 : (result == UCOL_EQUAL ? 0 : 1);
}

std::string TextCollation::sortKeyCaseInsensitive(std::string_view text) const {
    if (!impl_->collator) return std::string(text);
    const auto unicode = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    std::string key(text.size() * 2 + 16, '\0');
    int32_t length = impl_->collator->getSortKey(unicode, reinterpret_cast<uint8_t*>(key.data()),
                                                 static_cast<int32_t>(key.size()));
    if (length > static_cast<int32_t>(key.size())) {
        key.resize(static_cast<size_t>(length));
        length = impl_->collator->getSortKey(unicode, reinterpret_cast<uint8_t*>(key.data()), length);
    }
    key.resize(static_cast<size_t>(std::max(length, 0)));
    return key;
}

std::string TextCollation::prefixOfCharacters(std::string_view text, size_t maxCharacters) {
    const auto unicode = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> it(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status) || !it) return std::string(text.substr(0, maxCharacters));
    it->setText(unicode);
    size_t count = 0;
    int32_t end = it->first();
    for (int32_t next = it->next(); next != icu::BreakIterator::DONE && count < maxCharacters; next = it->next()) {
        end = next;
        ++count;
    }
    if (end >= unicode.length()) return std::string(text);
    std::string out;
    unicode.tempSubString(0, end).toUTF8String(out);
    return out;
}

}  // namespace platform
