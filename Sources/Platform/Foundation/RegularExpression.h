#pragma once
// Regular expressions in ICU syntax over UTF-8 text, with Unicode classes
// (\w, \d and \b know every script). The standard library's engine knows
// only ASCII classes and recurses per character, which overflows the stack
// on a long line; ICU keeps its backtracking state on the heap with a limit.

#include <memory>
#include <string>
#include <string_view>

#include "Platform/Foundation/Result.h"

namespace platform {

class RegularExpression {
public:
    // Fails with ICU's reason when the pattern does not compile.
    static Result<RegularExpression> make(std::string_view pattern);

    // The input with every match replaced by `replacement` (a template in
    // which "$1" names a group and a backslash quotes the next character).
    // Fails, rather than giving a half-replaced text, when the matcher gives
    // up on hostile input (its backtracking limit).
    Result<std::string> replacingMatches(std::string_view input, std::string_view replacement) const;

private:
    struct Pattern;
    explicit RegularExpression(std::shared_ptr<const Pattern> p) : pattern_(std::move(p)) {}
    // Compiled once; ICU lets any number of threads make matchers from it.
    std::shared_ptr<const Pattern> pattern_;
};

}  // namespace platform
