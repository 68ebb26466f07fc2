#pragma once
// The product's public web addresses in one place: the product website's
// pages and the maker's legal pages, each under a language segment
// ("https://velantrix.example/fr/download"), and the release feed.
//
// The language is the one given, else the app's choice
// (VelantrixL10n::languageOverride), else for "system" the user's first
// preferred language. Nothing is kept: every call reads the choice afresh,
// so the functions may be called from any thread.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

class VelantrixReleaseChannels {
public:
    VelantrixReleaseChannels() = delete;

    static constexpr const char* productWebsiteRoot = "https://velantrix.example";
    static constexpr const char* mainWebsiteRoot = "https://qarvex.example";

    // The release feed document; fixed, without a language segment.
    static std::optional<std::string> latestReleaseFeedURL();
    // Points the feed at another address (a test server); nullopt restores
    // the real one. An address that does not parse makes the feed absent.
    static void setLatestReleaseFeedURLForTesting(std::optional<std::string> url);

    // The language segments the websites carry.
    static const std::vector<std::string>& websiteLocales();

    // "<product root>/<locale>/<path>#<fragment>"; leading and trailing
    // slashes of `path` are dropped, and an empty path gives
    // "<root>/<locale>".
    static std::optional<std::string> localizedProductURL(std::string_view path,
                                                          std::optional<std::string_view> fragment,
                                                          std::optional<std::string_view> languageIdentifier);
    // The same on the main website, in the app's language, without fragment.
    static std::optional<std::string> localizedMainURL(std::string_view path);

    static std::optional<std::string> officialSiteURL();
    static std::optional<std::string> guideURL(std::optional<std::string_view> languageIdentifier);
    static std::optional<std::string> faqURL(std::optional<std::string_view> languageIdentifier);
    static std::optional<std::string> operationsGuideURL();
    static std::optional<std::string> shortcutsGuideURL();
    static std::optional<std::string> versionComparisonURL();
    static std::optional<std::string> supportPageURL();
    static std::optional<std::string> downloadUpdateURL();
    static std::optional<std::string> releaseNotesURL();
    static std::optional<std::string> privacyPolicyURL();
    static std::optional<std::string> termsOfServiceURL();

    // The website locale for a language identifier; an absent, blank or
    // "system" one means the user's first preferred language.
    static std::string websiteLocale(std::optional<std::string_view> identifier);
    // The locale for the app's language.
    static std::string preferredWebsiteLocale();

private:
    static std::string websiteLocaleForLanguageCode(std::string_view lowercasedCode);
    static std::optional<std::string> localizedURL(const char* root, std::string_view path,
                                                   std::optional<std::string_view> fragment,
                                                   std::optional<std::string_view> languageIdentifier);
};
