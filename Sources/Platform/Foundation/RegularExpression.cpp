#include "Platform/Foundation/RegularExpression.h"

#include <unicode/regex.h>
#include <unicode/unistr.h>
#include <unicode/utypes.h>

namespace platform {

struct RegularExpression::Pattern {
    std::unique_ptr<icu::RegexPattern> compiled;
};

Result<RegularExpression> RegularExpression::make(std::string_view pattern) {
    UErrorCode status = U_ZERO_ERROR;
    UParseError where{};
    auto p = std::make_shared<Pattern>();
    p->compiled.reset(icu::RegexPattern::compile(
        icu::UnicodeString::fromUTF8(icu::StringPiece(pattern.data(), static_cast<int32_t>(pattern.size()))), 0, where,
        status));
    if (U_FAILURE(status) || !p->compiled)
        return Failure{std::string("bad pattern (") + u_errorName(status) + " at offset " + std::to_string(where.offset) + ")"};
    return RegularExpression(std::move(p));
}

Result<std::string> RegularExpression::replacingMatches(std::string_view input, std::string_view replacement) const {
    UErrorCode status = U_ZERO_ERROR;
    const icu::UnicodeString text =
        icu::UnicodeString::fromUTF8(icu::StringPiece(input.data(), static_cast<int32_t>(input.size())));
    std::unique_ptr<icu::RegexMatcher> matcher(pattern_->compiled->matcher(text, status));
    if (U_FAILURE(status)) return Failure{std::string("matcher: ") + u_errorName(status)};
    // ICU's own replaceAll stops quietly when a search runs out of
    // backtracking room and hands back the rest unreplaced; searching here
    // with a status makes that a failure.
    const icu::UnicodeString replacementText =
        icu::UnicodeString::fromUTF8(icu::StringPiece(replacement.data(), static_cast<int32_t>(replacement.size())));
    icu::UnicodeString out;
    while (matcher->find(status) && U_SUCCESS(status)) {
        matcher->appendReplacement(out, replacementText, status);
        if (U_FAILURE(status)) break;
    }
    if (U_FAILURE(status)) return Failure{std::string("replace: ") + u_errorName(status)};
    matcher->appendTail(out);
    std::string utf8;
    out.toUTF8String(utf8);
    return utf8;
}

}  // namespace platform
