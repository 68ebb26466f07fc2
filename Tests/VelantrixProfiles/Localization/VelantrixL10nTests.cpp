#include <gtest/gtest.h>

#include <fstream>

#include "Platform/Foundation/Bundle.h"
#include "Platform/Files/FileIO.h"
#include "Platform/Foundation/Locale.h"
#include "Platform/Foundation/NotificationCenter.h"
#include "Platform/Foundation/StringsTable.h"
#include "Platform/Foundation/UserDefaults.h"
#include "Support/TestSupport.h"
#include "VelantrixProfiles/Localization/VelantrixL10n.h"

using namespace platform;
namespace fs = std::filesystem;

namespace {

const char* kKey = VelantrixL10n::languageOverrideKey;
UserDefaults& standardDefaults() { return UserDefaults::standard(); }
UserDefaults& sharedSuite() { return UserDefaults::suite(VelantrixL10n::sharedSuiteName); }

}  // namespace

// A main bundle of the test's own with "de" and "ja" tables; the user's
// languages and locale are fixed to English.
class VelantrixL10nTest : public VirtualTimeTest {
protected:
    void SetUp() override {
        root = dataRoot->path() / "Bundle";
        writeTable("de", "\"greeting\" = \"Hallo\";\n\"count\" = \"%d Dateien\";\n\"wrong\" = \"Name: %d\";\n"
                         "\"ratio\" = \"Anteil %.1f\";\n\"swap\" = \"%2$@ von %1$@\";");
        writeTable("ja", "\"greeting\" = \"こんにちは\";");
        Bundle::setMainForTesting(Bundle(root, std::nullopt, {}));
        Locale::setPreferredLanguagesForTesting(std::vector<std::string>{"en-US"});
        Locale::setCurrentForTesting("en-US");
    }
    void TearDown() override {
        Bundle::setMainForTesting(std::nullopt);
        Locale::setPreferredLanguagesForTesting(std::nullopt);
        Locale::setCurrentForTesting(std::nullopt);
    }
    void writeTable(const std::string& language, const std::string& text) {
        fs::create_directories(root / "Resources" / (language + ".lproj"));
        std::ofstream(root / "Resources" / (language + ".lproj") / "Localizable.strings") << text;
    }
    fs::path root;
};

TEST_F(VelantrixL10nTest, ChoiceReadsStandardDefaultsThenTheSharedSuite) {
    const struct {
        std::optional<PlistValue> standard, suite;
        const char* expected;
    } cases[] = {
        {std::nullopt, std::nullopt, "system"},
        {PlistValue("fr"), PlistValue("de"), "fr"},
        {PlistValue("xx"), PlistValue("de"), "system"},  // the suite is not consulted
        {std::nullopt, PlistValue("ja"), "ja"},
        {PlistValue(int64_t{3}), PlistValue("ko"), "ko"},  // no string in the standard defaults
        {std::nullopt, PlistValue("DE"), "system"},
    };
    for (const auto& c : cases) {
        standardDefaults().removeObject(kKey);
        sharedSuite().removeObject(kKey);
        if (c.standard) standardDefaults().set(kKey, *c.standard);
        if (c.suite) sharedSuite().set(kKey, *c.suite);
        EXPECT_EQ(VelantrixL10n::languageOverride(), c.expected);
    }
}

TEST_F(VelantrixL10nTest, SettersWriteBothStoresAndAnnounceTheChange) {
    std::vector<std::string> local;
    std::vector<std::map<std::string, std::string>> distributed;
    auto t1 = NotificationCenter::defaultCenter().addObserver(
        VelantrixL10n::languageChangedNotification, [&](const Notification& n) { local.push_back(n.name); });
    auto t2 = NotificationCenter::distributedCenter().addObserver(
        VelantrixL10n::languageChangedDistributedNotification,
        [&](const Notification& n) { distributed.push_back(n.userInfo); });

    VelantrixL10n::setLanguageOverride("ko");
    EXPECT_EQ(standardDefaults().stringForKey(kKey), "ko");
    EXPECT_EQ(sharedSuite().stringForKey(kKey), "ko");
    EXPECT_EQ(local.size(), 1u);
    EXPECT_EQ(distributed, (std::vector<std::map<std::string, std::string>>{{{"languageIdentifier", "ko"}}}));

    for (const char* removing : {"system", "pt"}) {
        VelantrixL10n::setLanguageOverride("ko");
        VelantrixL10n::setLanguageOverride(removing);
        EXPECT_FALSE(standardDefaults().objectForKey(kKey).has_value()) << removing;
        EXPECT_FALSE(sharedSuite().objectForKey(kKey).has_value()) << removing;
        EXPECT_EQ(distributed.back().at("languageIdentifier"), "system");
    }

    local.clear();
    distributed.clear();
    VelantrixL10n::applyReceivedLanguageOverride("ko");
    EXPECT_EQ(VelantrixL10n::languageOverride(), "ko");
    EXPECT_EQ(local.size(), 1u);
    EXPECT_TRUE(distributed.empty());
    NotificationCenter::defaultCenter().removeObserver(t1);
    NotificationCenter::distributedCenter().removeObserver(t2);
}

TEST_F(VelantrixL10nTest, DisplayNameAndLegalLanguagesFollowTheChoice) {
    Locale::setPreferredLanguagesForTesting(std::vector<std::string>{"fr-CA", "en"});
    EXPECT_EQ(VelantrixL10n::currentLanguageDisplayName(), "System Default");
    EXPECT_EQ(VelantrixL10n::legalNoticeLanguages(), (std::vector<std::string>{"fr-CA", "en"}));
    VelantrixL10n::setLanguageOverride("ja");
    EXPECT_EQ(VelantrixL10n::currentLanguageDisplayName(), "日本語");
    EXPECT_EQ(VelantrixL10n::legalNoticeLanguages(), (std::vector<std::string>{"ja"}));
    EXPECT_EQ(VelantrixL10n::availableLanguages().size(), 9u);
}

TEST_F(VelantrixL10nTest, LookupUsesTheChosenTableOrTheEnglishDefault) {
    const struct {
        const char* language;
        const char* key;
        const char* expected;
    } cases[] = {
        {"de", "greeting", "Hallo"},
        {"de", "farewell", "Goodbye"},  // not in the de table
        {"ja", "greeting", "こんにちは"},
        {"es", "greeting", "Hello"},  // no es table: the main bundle, which follows English
        {"system", "greeting", "Hello"},
    };
    for (const auto& c : cases) {
        VelantrixL10n::setLanguageOverride(c.language);
        EXPECT_EQ(VelantrixL10n::text(c.key, std::string(c.key) == "farewell" ? "Goodbye" : "Hello"), c.expected)
            << c.language;
    }
    VelantrixL10n::setLanguageOverride("de");
    EXPECT_EQ(VelantrixL10n::localizedBundle().bundlePath(), root / "Resources" / "de.lproj");
    VelantrixL10n::setLanguageOverride("es");
    EXPECT_EQ(VelantrixL10n::localizedBundle().bundlePath(), root);
}

TEST_F(VelantrixL10nTest, SystemFollowsTheEnvironmentsLanguage) {
    Locale::setPreferredLanguagesForTesting(std::nullopt);
    Locale::setCurrentForTesting(std::nullopt);
    std::map<std::string, std::optional<std::string>> saved;
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LC_NUMERIC", "LANG"}) {
        const char* v = std::getenv(name);
        saved[name] = v ? std::optional<std::string>(v) : std::nullopt;
        unsetenv(name);
    }
    setenv("LANG", "de_DE.UTF-8", 1);
    EXPECT_EQ(VelantrixL10n::text("greeting", "Hello"), "Hallo");
    EXPECT_EQ(VelantrixL10n::format("ratio", "Share %.1f", 3.5), "Anteil 3,5");
    for (const auto& [name, value] : saved) {
        if (value) setenv(name.c_str(), value->c_str(), 1);
        else unsetenv(name.c_str());
    }
}

TEST_F(VelantrixL10nTest, FormatUsesTheChosenLocaleAndRefusesMismatchedTables) {
    const struct {
        const char* language;
        const char* key;
        const char* defaultFormat;
        std::vector<VelantrixFormatArgument> arguments;
        const char* expected;
    } cases[] = {
        {"de", "ratio", "Share %.1f", {3.5}, "Anteil 3,5"},
        {"system", "ratio", "Share %.1f", {3.5}, "Share 3.5"},
        {"fr", "ratio", "Share %.1f", {3.5}, "Share 3,5"},  // no fr table, but the fr locale
        {"de", "count", "%d files", {7}, "7 Dateien"},
        {"de", "wrong", "Name: %@", {"Ann"}, "Name: Ann"},  // the table's %d for a %@: English
        {"de", "swap", "%1$@ of %2$@", {"Ann", "Bob"}, "Bob von Ann"},
    };
    for (const auto& c : cases) {
        VelantrixL10n::setLanguageOverride(c.language);
        EXPECT_EQ(VelantrixL10n::formatArguments(c.key, c.defaultFormat, c.arguments), c.expected)
            << c.language << " " << c.key;
    }
    // A choice found only in the shared suite formats in its locale too.
    VelantrixL10n::setLanguageOverride("system");
    sharedSuite().set(kKey, PlistValue("es"));
    EXPECT_EQ(VelantrixL10n::format("ratio", "Share %.2f", 1234.5), "Share 1234,50");
}

TEST(VelantrixFormatterTest, FillsEachConversionFromItsTypedArgument) {
    const struct {
        const char* format;
        std::vector<VelantrixFormatArgument> arguments;
        const char* expected;
    } cases[] = {
        {"%@ has %d items", {"box", 3}, "box has 3 items"},
        {"%i %ld %lld %u %lu %llu", {-1, -2L, -3LL, 4u, 5UL, 18446744073709551615ULL},
         "-1 -2 -3 4 5 18446744073709551615"},
        {"100%% of %f", {1.5}, "100% of 1.500000"},
        {"%.0f|%.3f|%.1f", {2.5, 2, -0.25}, "2|2.000|-0.2"},
        {"%@ %@ %d", {42, 2.5, 2.9}, "42 2.5 2"},
        {"%2$@, %1$@", {"first", "second"}, "second, first"},
        {"%5d %s %q end%", {1}, "%5d %s %q end%"},  // not ours: copied as written
        {"", {1, "unused"}, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(VelantrixFormatter::format(c.format, c.arguments, "."), c.expected) << c.format;
    EXPECT_EQ(VelantrixFormatter::format("%.2f", std::vector<VelantrixFormatArgument>{0.5}, "٫"), "0٫50");
}

TEST(VelantrixFormatterTest, AConversionWithoutArgumentPrintsNothing) {
    const std::vector<VelantrixFormatArgument> one{"x"};
#ifdef NDEBUG
    EXPECT_EQ(VelantrixFormatter::format("%@ and %@ and %9$d", one), "x and  and ");
#else
    EXPECT_DEATH(VelantrixFormatter::format("%@ and %@", one), "without an argument");
#endif
}

TEST(VelantrixFormatterTest, TablesStandInOnlyWithTheSameKindsAtTheSamePositions) {
    const struct {
        const char* candidate;
        const char* reference;
        bool agree;
    } cases[] = {
        {"%d %@", "%i %@", true},       {"%ld", "%lld", true},        {"%2$@ %1$d", "%d %@", true},
        {"%.1f", "%f", true},           {"no args", "none", true},    {"%d", "%@", false},
        {"%u", "%d", false},            {"%@", "%@ %@", false},       {"%@ %@", "%@", false},
        {"%1$@ %1$d", "%@", false},     {"%0$d", "%d", false},        {"%65$d", "%d", false},
        {"%x", "%x", false},            {"%.1d", "%d", false},        {"%@ %%", "%@", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(VelantrixFormatter::conversionsAgree(c.candidate, c.reference), c.agree)
            << c.candidate << " / " << c.reference;
}

TEST(ShippedTablesTest, EveryTableParsesAndConversionsAgreeAcrossTables) {
    const fs::path resources = fs::path(NORVESSAL_SOURCE_DIR) / "Sources/HostApp/Resources";
    std::map<std::string, std::map<std::string, std::string>> byKey;  // key -> language -> text
    size_t tables = 0;
    for (const auto& entry : fs::directory_iterator(resources)) {
        const std::string language = entry.path().stem().string();
        auto bytes = FileIO::readAll(entry.path() / "Localizable.strings");
        ASSERT_TRUE(bytes.ok()) << language;
        std::string error;
        auto table = StringsTable::parse(std::string(bytes->begin(), bytes->end()), &error);
        ASSERT_TRUE(table.has_value()) << language << ": " << error;
        EXPECT_GE(table->size(), 90u) << language;
        for (const auto& [key, text] : *table) byKey[key][language] = text;
        ++tables;
    }
    EXPECT_EQ(tables, 7u);
    for (const auto& [key, texts] : byKey) {
        EXPECT_TRUE(key.starts_with("host.") || key.starts_with("menu.") || key.starts_with("language.")) << key;
        EXPECT_EQ(texts.size(), tables) << key;
        const std::string& first = texts.begin()->second;
        EXPECT_TRUE(VelantrixFormatter::signature(first).has_value()) << key;
        for (const auto& [language, text] : texts)
            EXPECT_TRUE(VelantrixFormatter::conversionsAgree(text, first)) << key << " in " << language;
    }
}
