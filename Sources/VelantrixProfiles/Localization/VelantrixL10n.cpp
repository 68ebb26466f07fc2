#include "VelantrixProfiles/Localization/VelantrixL10n.h"

#include <algorithm>

#include "Platform/Foundation/NotificationCenter.h"
#include "Platform/Foundation/UserDefaults.h"

using platform::UserDefaults;

const std::vector<VelantrixLanguage>& VelantrixL10n::availableLanguages() {
    static const std::vector<VelantrixLanguage> languages{
        {"system", "System Default"}, {"en", "English"},  {"zh-Hans", "简体中文"},
        {"zh-Hant", "繁體中文"},      {"ja", "日本語"},   {"ko", "한국어"},
        {"de", "Deutsch"},            {"fr", "Français"}, {"es", "Español"},
    };
    return languages;
}

std::string VelantrixL10n::normalized(const std::string& identifier) {
    const auto& all = availableLanguages();
    bool known = std::any_of(all.begin(), all.end(), [&](const VelantrixLanguage& l) { return l.identifier == identifier; });
    return known ? identifier : systemLanguageIdentifier;
}

std::string VelantrixL10n::languageOverride() {
    // The Host's own defaults win whenever they hold a string, even one
    // that is no language: the suite is then not read at all.
    auto stored = UserDefaults::standard().objectForKey(languageOverrideKey);
    if (!stored || !stored->isString()) stored = UserDefaults::suite(sharedSuiteName).objectForKey(languageOverrideKey);
    if (!stored || !stored->isString()) return systemLanguageIdentifier;
    return normalized(*stored->asString());
}

platform::Bundle VelantrixL10n::localizedBundle() {
    platform::Bundle main = platform::Bundle::main();
    const std::string language = languageOverride();
    if (language == systemLanguageIdentifier) return main;
    if (auto folder = main.pathForResource(language, "lproj"))
        if (auto bundle = platform::Bundle::open(*folder)) return *bundle;
    return main;
}

platform::Locale VelantrixL10n::formattingLocale() {
    const std::string language = languageOverride();
    return language == systemLanguageIdentifier ? platform::Locale::current() : platform::Locale(language);
}

std::string VelantrixL10n::text(const std::string& key, const std::string& defaultText) {
    return localizedBundle().localizedString(key, defaultText);
}

std::string VelantrixL10n::formatArguments(const std::string& key, const std::string& defaultFormat,
                                           std::span<const VelantrixFormatArgument> arguments) {
    std::string format = text(key, defaultFormat);
    if (format != defaultFormat && !VelantrixFormatter::conversionsAgree(format, defaultFormat)) format = defaultFormat;
    return VelantrixFormatter::format(format, arguments, formattingLocale().decimalSeparator());
}

void VelantrixL10n::writeLanguageOverride(const std::string& identifier) {
    for (UserDefaults* store : {&UserDefaults::standard(), &UserDefaults::suite(sharedSuiteName)}) {
        if (identifier == systemLanguageIdentifier)
            store->removeObject(languageOverrideKey);
        else
            store->set(languageOverrideKey, platform::PlistValue(identifier));
    }
}

void VelantrixL10n::applyReceivedLanguageOverride(const std::string& identifier) {
    writeLanguageOverride(normalized(identifier));
    platform::NotificationCenter::defaultCenter().post({languageChangedNotification, {}});
}

void VelantrixL10n::setLanguageOverride(const std::string& identifier) {
    const std::string language = normalized(identifier);
    applyReceivedLanguageOverride(language);
    platform::NotificationCenter::distributedCenter().post(
        {languageChangedDistributedNotification, {{languageChangedDistributedIdentifierKey, language}}});
}

std::string VelantrixL10n::currentLanguageDisplayName() {
    const std::string language = languageOverride();
    for (const auto& l : availableLanguages())
        if (l.identifier == language) return l.displayName;
    return "System Default";
}

std::vector<std::string> VelantrixL10n::legalNoticeLanguages() {
    const std::string language = languageOverride();
    if (language == systemLanguageIdentifier) return platform::Locale::preferredLanguages();
    return {language};
}
