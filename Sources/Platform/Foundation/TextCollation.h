#pragma once
// Locale-aware comparison and user-perceived character counts, for names
// shown to a person and texts cut to a length a person would count.

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>


namespace platform {

class TextCollation {
public:
    // Uses the locale `Locale::current()` names at construction; build one
    // per sort, not per comparison.
    TextCollation();
    ~TextCollation();
    TextCollation(const TextCollation&) = delete;
    TextCollation& operator=(const TextCollation&) = delete;

    // Case-insensitive order (collation strength secondary: accents count,
    // case does not). Negative, zero or positive like strcmp.
    int compareCaseInsensitive(std::string_view a, std::string_view b) const;
    // A key whose bytewise order is compareCaseInsensitive's: to order
    // many texts, each key made once instead of each text compared anew.
    std::string sortKeyCaseInsensitive(std::string_view text) const;

    // The first `maxCharacters` grapheme clusters of `text` (all of it when
    // it holds no more).
    static std::string prefixOfCharacters(std::string_view text, size_t maxCharacters);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform
