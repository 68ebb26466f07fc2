#include <gtest/gtest.h>

#include "Platform/Foundation/Locale.h"
#include "Platform/Foundation/UserDefaults.h"
#include "Support/TestSupport.h"
#include "VelantrixProfiles/Localization/VelantrixL10n.h"
#include "VelantrixProfiles/ReleaseFeed/VelantrixLegalEntity.h"
#include "VelantrixProfiles/ReleaseFeed/VelantrixReleaseChannels.h"

using platform::Locale;
using platform::UserDefaults;
using C = VelantrixReleaseChannels;

namespace {

class ReleaseChannels : public VirtualTimeTest {
protected:
    ~ReleaseChannels() override { Locale::setPreferredLanguagesForTesting(std::nullopt); }
    static void chooseLanguage(const std::string& identifier) {
        UserDefaults::standard().set(VelantrixL10n::languageOverrideKey, platform::PlistValue(identifier));
    }
};

TEST_F(ReleaseChannels, WebsiteLocaleFollowsTheGivenLanguageElseTheSystems) {
    struct Row {
        std::optional<std::string> identifier;
        std::vector<std::string> system;
        const char* locale;
    };
    const Row rows[] = {
        {"system", {"zh-Hant-TW", "en"}, "zh-Hant"},
        {"system", {"zh-Hans-CN"}, "zh"},
        {"system", {"pt-BR", "fr"}, "en"},
        {"system", {}, "en"},
        {std::nullopt, {"ZH-HK"}, "zh-Hant"},
        {" \tsystem\n", {"ja-JP"}, "ja"},
        {" FR ", {"de"}, "fr"},
        {"fr-CA", {"de"}, "fr"},
        {"zh_TW", {"de"}, "zh"},
        {"es-419", {"de"}, "es"},
        {"\u00A0de\u00A0", {"fr"}, "de"},
    };
    for (const Row& row : rows) {
        Locale::setPreferredLanguagesForTesting(row.system);
        EXPECT_EQ(C::websiteLocale(row.identifier), row.locale) << row.identifier.value_or("(none)");
    }
    Locale::setPreferredLanguagesForTesting(std::vector<std::string>{"ko"});
    EXPECT_EQ(C::preferredWebsiteLocale(), "ko");
    chooseLanguage("zh-Hant");
    EXPECT_EQ(C::preferredWebsiteLocale(), "zh-Hant");
}

TEST_F(ReleaseChannels, PagesCarryTheLocaleSegmentPathAndFragment) {
    chooseLanguage("fr");
    const std::pair<std::optional<std::string>, const char*> rows[] = {
        {C::officialSiteURL(), "https://velantrix.example/fr/control-center"},
        {C::guideURL(std::nullopt), "https://velantrix.example/fr/guide"},
        {C::guideURL("ja"), "https://velantrix.example/ja/guide"},
        {C::faqURL("de-DE"), "https://velantrix.example/de/faq"},
        {C::operationsGuideURL(), "https://velantrix.example/fr/guide#clipboard"},
        {C::shortcutsGuideURL(), "https://velantrix.example/fr/guide#shortcuts"},
        {C::versionComparisonURL(), "https://velantrix.example/fr/comparison"},
        {C::supportPageURL(), "https://velantrix.example/fr/support"},
        {C::downloadUpdateURL(), "https://velantrix.example/fr/download"},
        {C::releaseNotesURL(), "https://velantrix.example/fr/download#release-notes"},
        {C::privacyPolicyURL(), "https://qarvex.example/fr/legal/privacy"},
        {C::termsOfServiceURL(), "https://qarvex.example/fr/legal/terms"},
        {C::localizedProductURL("//guide/", std::nullopt, "en"), "https://velantrix.example/en/guide"},
        {C::localizedProductURL("", std::nullopt, "en"), "https://velantrix.example/en"},
        {C::localizedProductURL("///", "top", "en"), "https://velantrix.example/en#top"},
        {C::localizedProductURL("a b/ü", "x y#z", "en"), "https://velantrix.example/en/a%20b/%C3%BC#x%20y%23z"},
        {C::localizedMainURL("/legal/"), "https://qarvex.example/fr/legal"},
        {C::latestReleaseFeedURL(), "https://velantrix.example/latest.json"},
    };
    for (const auto& [url, expected] : rows) EXPECT_EQ(url, std::optional<std::string>(expected));
}

TEST(VelantrixLegalEntityNames, FirstChineseEntryPicksTheScript) {
    const std::pair<std::vector<std::string>, const char*> rows[] = {
        {{"en-US", "zh-Hant"}, VelantrixLegalEntity::traditionalChineseName},
        {{"zh-TW"}, VelantrixLegalEntity::traditionalChineseName},
        {{"ZH-HK"}, VelantrixLegalEntity::traditionalChineseName},
        {{"zh-Hans-MO"}, VelantrixLegalEntity::traditionalChineseName},
        {{"zh-Hans", "zh-Hant"}, VelantrixLegalEntity::simplifiedChineseName},
        {{"zh"}, VelantrixLegalEntity::simplifiedChineseName},
        {{"ja", "de"}, VelantrixLegalEntity::englishName},
        {{}, VelantrixLegalEntity::englishName},
    };
    for (const auto& [languages, name] : rows) EXPECT_EQ(VelantrixLegalEntity::localizedName(languages), name);
    EXPECT_EQ(VelantrixLegalEntity::localizedCopyright({"de"}), "\u00A9 2026 Qarvex Software Ltd.");
    EXPECT_EQ(VelantrixLegalEntity::aboutPanelCredits(11, {"zh-CN"}).runs(),
              (std::vector<platform::AttributedString::Run>{{"\u00A9 2026 夸维克斯软件有限公司", platform::Font::system(11),
                                                             std::nullopt, platform::Color::secondaryLabel,
                                                             platform::TextAlignment::center}}));
}

}  // namespace
