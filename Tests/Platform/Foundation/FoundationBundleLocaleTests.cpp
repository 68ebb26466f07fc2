#include <gtest/gtest.h>

#include <fstream>

#include "Platform/Foundation/Bundle.h"
#include "Platform/Foundation/Locale.h"
#include "Platform/Foundation/RegularExpression.h"
#include "Platform/Foundation/StringsTable.h"
#include "Support/TestSupport.h"

using namespace platform;
namespace fs = std::filesystem;

TEST(StringsTableTest, ReadsEntriesCommentsAndEscapes) {
    auto t = StringsTable::parse(
        "\xEF\xBB\xBF/* block\n comment */ \"a\" = \"1\";\n// line comment\n"
        "\"q\\\"k\" = \"x\\\\y\\n\\tz\";  \"u\" = \"\\u00e9\\uD83D\\uDE00\";\n\"a\" = \"2\"; // last wins");
    ASSERT_TRUE(t.has_value());
    EXPECT_EQ(*t, (StringsTable::Entries{{"a", "2"}, {"q\"k", "x\\y\n\tz"}, {"u", "é\xF0\x9F\x98\x80"}}));
    EXPECT_EQ(StringsTable::parse(" \n// nothing\n")->size(), 0u);
}

TEST(StringsTableTest, RefusesMalformedTablesWhole) {
    for (std::string_view bad : {
             "\"a\" = \"1\"", "\"a\" = \"1\";\n\"b\" \"2\";", "\"a\" = \"1", "\"a\" = \"\\q\";",
             "\"a\" = \"\\uD800\";", "\"a\" = \"\\uDC00\";", "\"a\" = \"\\u12\";", "/* open", "a = \"1\";", "\"a\" = 1;"}) {
        std::string error;
        EXPECT_FALSE(StringsTable::parse(bad, &error).has_value()) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
    std::string huge = "\"k\" = \"" + std::string(StringsTable::maxBytes, 'x') + "\";";
    EXPECT_FALSE(StringsTable::parse(huge).has_value());
}

TEST(LocaleTest, PosixNamesBecomeLanguageIdentifiers) {
    const std::pair<const char*, const char*> cases[] = {
        {"de_DE.UTF-8", "de-DE"}, {"fr_CA@euro", "fr-CA"}, {"C", "en"}, {"POSIX", "en"},
        {"C.UTF-8", "en"},        {"ja", "ja"},            {"", ""},
    };
    for (auto [posix, id] : cases) EXPECT_EQ(Locale::identifierFromPosixName(posix), id) << posix;
}

TEST(LocaleTest, PreferredAndCurrentFollowTheEnvironmentOrder) {
    struct Case {
        std::map<std::string, std::string> env;
        std::vector<std::string> preferred;
        std::string current;
    };
    const Case cases[] = {
        {{}, {"en"}, "en"},
        {{{"LANG", "de_DE.UTF-8"}}, {"de-DE"}, "de-DE"},
        {{{"LANGUAGE", "fr_FR:de::fr_FR"}, {"LANG", "es_ES.UTF-8"}}, {"fr-FR", "de"}, "es-ES"},
        {{{"LC_ALL", "ja_JP.UTF-8"}, {"LC_MESSAGES", "ko_KR"}, {"LANG", "de_DE"}}, {"ja-JP"}, "ja-JP"},
        {{{"LC_MESSAGES", "ko_KR"}, {"LC_NUMERIC", "fr_FR"}, {"LANG", "de_DE"}}, {"ko-KR"}, "fr-FR"},
        {{{"LANGUAGE", ""}, {"LANG", "C"}}, {"en"}, "en"},
    };
    for (const Case& c : cases) {
        auto env = [&](const char* name) -> const char* {
            auto it = c.env.find(name);
            return it == c.env.end() ? nullptr : it->second.c_str();
        };
        EXPECT_EQ(Locale::preferredLanguagesIn(env), c.preferred);
        EXPECT_EQ(Locale::currentIdentifierIn(env), c.current);
    }
}

TEST(LocaleTest, DecimalSeparatorComesFromIcuData) {
    const std::pair<const char*, const char*> cases[] = {
        {"de", ","}, {"fr", ","}, {"es", ","}, {"en", "."}, {"ja", "."}, {"zh-Hans", "."}, {"de-CH", "."}};
    for (auto [id, separator] : cases) EXPECT_EQ(Locale(id).decimalSeparator(), separator) << id;
}

TEST(RegularExpressionTest, ClassesAndBoundariesKnowEveryScript) {
    const struct {
        const char* pattern;
        const char* input;
        const char* expected;
    } cases[] = {
        {R"(\b[\w-]+\.local\b)", "host größe-büro.local ready", "host X ready"},
        {R"(\d+)", "a ٤٥ b 12", "a X b X"},
        {R"(\bcat\b)", "cat concat café cat", "X concat café X"},
    };
    for (const auto& c : cases) {
        auto re = RegularExpression::make(c.pattern);
        ASSERT_TRUE(re.ok()) << c.pattern;
        auto out = re->replacingMatches(c.input, "X");
        ASSERT_TRUE(out.ok());
        EXPECT_EQ(*out, c.expected);
    }
    EXPECT_FALSE(RegularExpression::make("(unclosed").ok());
}

TEST(RegularExpressionTest, ExhaustedMatcherFailsInsteadOfReturningTheRestUnreplaced) {
    std::string run;
    while (run.size() < (1u << 20)) run += "1:";
    auto re = RegularExpression::make(R"((?:[0-9]{1,4}:){2,})");
    ASSERT_TRUE(re.ok());
    EXPECT_EQ(*re->replacingMatches("x 1:2:3: y", "N"), "x N y");
    EXPECT_FALSE(re->replacingMatches("x " + run, "N").ok());
}

class BundleTest : public VirtualTimeTest {
protected:
    void SetUp() override {
        root = dataRoot->path() / "App";
        for (const char* language : {"de", "zh-Hans", "zh-Hant", "pt-BR"}) write(language, "\"k\" = \"" + std::string(language) + "\";");
    }
    void TearDown() override { Locale::setPreferredLanguagesForTesting(std::nullopt); }
    void write(const std::string& language, const std::string& text) {
        fs::create_directories(root / "Resources" / (language + ".lproj"));
        std::ofstream(root / "Resources" / (language + ".lproj") / "Localizable.strings") << text;
    }
    std::string lookup(std::vector<std::string> preferred) {
        Locale::setPreferredLanguagesForTesting(std::move(preferred));
        return Bundle(root, std::nullopt, {}).localizedString("k", "english");
    }
    fs::path root;
};

TEST_F(BundleTest, FirstPreferredLanguageWithATableWins) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"fr", "de-AT"}, "de"},      {{"zh-CN"}, "zh-Hans"},     {{"zh-SG"}, "zh-Hans"},
        {{"zh-TW"}, "zh-Hant"},       {{"zh-HK"}, "zh-Hant"},     {{"zh-Hant-TW"}, "zh-Hant"},
        {{"pt-BR", "de"}, "pt-BR"},   {{"en-GB", "de"}, "english"}, {{"sv", "fi"}, "english"},
    };
    for (const auto& [preferred, expected] : cases) EXPECT_EQ(lookup(preferred), expected) << preferred.front();
}

TEST_F(BundleTest, ResourcesAndFoldersOpenAsBundles) {
    Bundle b(root, std::nullopt, {});
    EXPECT_EQ(b.localizations(), (std::vector<std::string>{"de", "pt-BR", "zh-Hans", "zh-Hant"}));
    auto lproj = b.pathForResource("de", "lproj");
    ASSERT_TRUE(lproj.has_value());
    EXPECT_EQ(*lproj, root / "Resources" / "de.lproj");
    EXPECT_FALSE(b.pathForResource("es", "lproj").has_value());
    auto flat = Bundle::open(*lproj);
    ASSERT_TRUE(flat.has_value());
    EXPECT_EQ(flat->localizedString("k", "english"), "de");
    EXPECT_EQ(flat->localizedString("absent", "english"), "english");
    EXPECT_EQ(flat->localizedString("absent", ""), "absent");
    EXPECT_FALSE(Bundle::open(root / "missing").has_value());
}

TEST_F(BundleTest, MalformedTableIsEmptyWithOneLogLineAndEditsShowAtOnce) {
    write("de", "\"k\" = \"broken");
    EXPECT_EQ(lookup({"de"}), "english");
    EXPECT_EQ(lookup({"de"}), "english");
    EXPECT_EQ(log->count("localization: ignoring table"), 1u);
    write("de", "\"k\" = \"repaired and longer\";");
    EXPECT_EQ(lookup({"de"}), "repaired and longer");
}
