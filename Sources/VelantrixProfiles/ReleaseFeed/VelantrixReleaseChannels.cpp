#include "VelantrixProfiles/ReleaseFeed/VelantrixReleaseChannels.h"

#include <mutex>

#include "Platform/Foundation/Locale.h"
#include "Platform/Foundation/URLComponents.h"
#include "Platform/Foundation/UnicodeText.h"
#include "VelantrixProfiles/Localization/VelantrixL10n.h"

using platform::UnicodeText;

namespace {

std::mutex feedOverrideLock;
std::optional<std::string> feedOverride;

}  // namespace

std::optional<std::string> VelantrixReleaseChannels::latestReleaseFeedURL() {
    std::string url = "https://velantrix.example/latest.json";
    {
        std::lock_guard<std::mutex> g(feedOverrideLock);
        if (feedOverride) url = *feedOverride;
    }
    if (!platform::URLComponents::parse(url)) return std::nullopt;
    return url;
}

void VelantrixReleaseChannels::setLatestReleaseFeedURLForTesting(std::optional<std::string> url) {
    std::lock_guard<std::mutex> g(feedOverrideLock);
    feedOverride = std::move(url);
}

const std::vector<std::string>& VelantrixReleaseChannels::websiteLocales() {
    static const std::vector<std::string> locales{"zh-Hant", "zh", "ja", "ko", "de", "fr", "es", "en"};
    return locales;
}

std::string VelantrixReleaseChannels::websiteLocaleForLanguageCode(std::string_view code) {
    static const std::pair<std::string_view, const char*> rows[] = {
        {"zh-hant", "zh-Hant"}, {"zh-tw", "zh-Hant"}, {"zh-hk", "zh-Hant"}, {"zh-mo", "zh-Hant"},
        {"zh", "zh"}, {"ja", "ja"}, {"ko", "ko"}, {"de", "de"}, {"fr", "fr"}, {"es", "es"},
    };
    for (const auto& [prefix, locale] : rows)
        if (code.starts_with(prefix)) return locale;
    return "en";
}

std::string VelantrixReleaseChannels::websiteLocale(std::optional<std::string_view> identifier) {
    const std::string code = UnicodeText::lowercased(UnicodeText::trimmingWhitespace(identifier.value_or("")));
    if (!code.empty() && code != VelantrixL10n::systemLanguageIdentifier) return websiteLocaleForLanguageCode(code);
    const std::vector<std::string> preferred = platform::Locale::preferredLanguages();
    if (preferred.empty()) return "en";
    return websiteLocaleForLanguageCode(UnicodeText::lowercased(preferred.front()));
}

std::string VelantrixReleaseChannels::preferredWebsiteLocale() { return websiteLocale(VelantrixL10n::languageOverride()); }

std::optional<std::string> VelantrixReleaseChannels::localizedURL(const char* root, std::string_view path,
                                                                  std::optional<std::string_view> fragment,
                                                                  std::optional<std::string_view> languageIdentifier) {
    auto components = platform::URLComponents::parse(root);
    if (!components) return std::nullopt;
    const size_t first = path.find_first_not_of('/');
    path = first == std::string_view::npos ? std::string_view{} : path.substr(first, path.find_last_not_of('/') - first + 1);
    const std::string locale = languageIdentifier ? websiteLocale(languageIdentifier) : preferredWebsiteLocale();
    components->setPath(path.empty() ? "/" + locale : "/" + locale + "/" + std::string(path));
    components->setFragment(fragment);
    return components->string();
}

std::optional<std::string> VelantrixReleaseChannels::localizedProductURL(std::string_view path,
                                                                         std::optional<std::string_view> fragment,
                                                                         std::optional<std::string_view> languageIdentifier) {
    return localizedURL(productWebsiteRoot, path, fragment, languageIdentifier);
}

std::optional<std::string> VelantrixReleaseChannels::localizedMainURL(std::string_view path) {
    return localizedURL(mainWebsiteRoot, path, std::nullopt, std::nullopt);
}

std::optional<std::string> VelantrixReleaseChannels::officialSiteURL() {
    return localizedProductURL("control-center", std::nullopt, std::nullopt);
}
std::optional<std::string> VelantrixReleaseChannels::guideURL(std::optional<std::string_view> languageIdentifier) {
    return localizedProductURL("guide", std::nullopt, languageIdentifier);
}
std::optional<std::string> VelantrixReleaseChannels::faqURL(std::optional<std::string_view> languageIdentifier) {
    return localizedProductURL("faq", std::nullopt, languageIdentifier);
}
std::optional<std::string> VelantrixReleaseChannels::operationsGuideURL() {
    return localizedProductURL("guide", "clipboard", std::nullopt);
}
std::optional<std::string> VelantrixReleaseChannels::shortcutsGuideURL() {
    return localizedProductURL("guide", "shortcuts", std::nullopt);
}
std::optional<std::string> VelantrixReleaseChannels::versionComparisonURL() {
    return localizedProductURL("comparison", std::nullopt, std::nullopt);
}
std::optional<std::string> VelantrixReleaseChannels::supportPageURL() {
    return localizedProductURL("support", std::nullopt, std::nullopt);
}
std::optional<std::string> VelantrixReleaseChannels::downloadUpdateURL() {
    return localizedProductURL("download", std::nullopt, std::nullopt);
}
std::optional<std::string> VelantrixReleaseChannels::releaseNotesURL() {
    return localizedProductURL("download", "release-notes", std::nullopt);
}
std::optional<std::string> VelantrixReleaseChannels::privacyPolicyURL() { return localizedMainURL("legal/privacy"); }
std::optional<std::string> VelantrixReleaseChannels::termsOfServiceURL() { return localizedMainURL("legal/terms"); }
