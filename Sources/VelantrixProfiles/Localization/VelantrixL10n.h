#pragma once
// Every user-visible text of the Host and the shared library is looked up
// here by a dotted key with its English text as default. The interface
// language is the user's choice ("app.languageOverride", kept both in the
// Host's own defaults and in the suite shared with the sibling Viewer app),
// or "system" to follow the user's languages. Nothing is kept in memory:
// every lookup reads the stored choice afresh, so a change applies to the
// next text looked up.

#include <string>
#include <vector>

#include "Platform/Foundation/Bundle.h"
#include "Platform/Foundation/Locale.h"
#include "VelantrixProfiles/Localization/VelantrixFormatter.h"

// One entry of the language menu.
struct VelantrixLanguage {
    // Also the name of the "<identifier>.lproj" folder of its table.
    std::string identifier;
    // Written in the language itself.
    std::string displayName;
    bool operator==(const VelantrixLanguage&) const = default;
};

class VelantrixL10n {
public:
    VelantrixL10n() = delete;

    static constexpr const char* systemLanguageIdentifier = "system";
    static constexpr const char* languageChangedNotification = "VelantrixLanguageChanged";
    static constexpr const char* languageChangedDistributedNotification = "VelantrixLanguageChangedDistributed";
    static constexpr const char* languageChangedDistributedIdentifierKey = "languageIdentifier";
    // The stored choice and the suite shared with the sibling app.
    static constexpr const char* languageOverrideKey = "app.languageOverride";
    static constexpr const char* sharedSuiteName = "com.qarvex.velantrix.shared";

    // The language menu, in its order.
    static const std::vector<VelantrixLanguage>& availableLanguages();

    // The text for `key` in the chosen language, else `defaultText`.
    static std::string text(const std::string& key, const std::string& defaultText);
    // The format for `key` (used only when its conversions agree with the
    // English default's), filled with the arguments in the chosen
    // language's number conventions.
    template <class... Args>
    static std::string format(const std::string& key, const std::string& defaultFormat, Args&&... arguments) {
        const VelantrixFormatArgument list[] = {VelantrixFormatArgument(std::forward<Args>(arguments))..., ""};
        return formatArguments(key, defaultFormat, std::span(list, sizeof...(Args)));
    }
    static std::string formatArguments(const std::string& key, const std::string& defaultFormat,
                                       std::span<const VelantrixFormatArgument> arguments);

    // Where texts are looked up: the chosen language's ".lproj" folder of
    // the main bundle, or the main bundle itself for "system" and for a
    // language it carries no folder for.
    static platform::Bundle localizedBundle();
    // The locale numbers are written in: the user's for "system", else the
    // chosen language's.
    static platform::Locale formattingLocale();

    // The current choice: always one of the identifiers of the menu.
    static std::string languageOverride();
    // Stores a choice made in this app; announces it here and to the
    // sibling app.
    static void setLanguageOverride(const std::string& identifier);
    // Stores a choice that came from the sibling app; announces it here
    // only, so that it is not sent back.
    static void applyReceivedLanguageOverride(const std::string& identifier);

    static std::string currentLanguageDisplayName();
    // The languages for legal texts: the user's own list for "system",
    // else just the chosen one.
    static std::vector<std::string> legalNoticeLanguages();

private:
    static std::string normalized(const std::string& identifier);
    static void writeLanguageOverride(const std::string& identifier);
};
