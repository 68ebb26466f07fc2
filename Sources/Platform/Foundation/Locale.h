#pragma once
// The user's language preferences and number conventions, read from the
// POSIX locale environment. Number symbols come from ICU's own data, which
// is complete even where the system carries almost no locales.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

class Locale {
public:
    // A locale by identifier: "de", "de-DE", "zh-Hans".
    explicit Locale(std::string identifier) : identifier_(std::move(identifier)) {}
    const std::string& identifier() const { return identifier_; }
    // The decimal separator of this locale's numbers ("," for "de").
    std::string decimalSeparator() const;

    // The locale for formatting: LC_ALL, else LC_NUMERIC, else LANG.
    static Locale current();
    // The user's languages in order of preference: the colon list of
    // LANGUAGE, else LC_ALL, LC_MESSAGES or LANG; "en" when none is set.
    static std::vector<std::string> preferredLanguages();

    // "de_DE.UTF-8" -> "de-DE"; "C" and "POSIX" -> "en"; "" for an empty name.
    static std::string identifierFromPosixName(std::string_view name);
    using Environment = std::function<const char*(const char* name)>;
    static std::vector<std::string> preferredLanguagesIn(const Environment& env);
    static std::string currentIdentifierIn(const Environment& env);

    // Replace what the environment says, for tests; nullopt restores it.
    static void setPreferredLanguagesForTesting(std::optional<std::vector<std::string>> languages);
    static void setCurrentForTesting(std::optional<std::string> identifier);

private:
    std::string identifier_;
};

}  // namespace platform
