#include <gtest/gtest.h>

#include <string>

#include "Platform/Foundation/Json.h"

using namespace platform;

TEST(FoundationJson, ParsesDocuments) {
    auto j = parseJson(R"({"version":"2.1.0","build":210,"assets":[{"url":"https://x/y","size":12}]})");
    ASSERT_TRUE(j.ok()) << j.error();
    EXPECT_EQ((*j)["version"], "2.1.0");
    EXPECT_EQ((*j)["assets"][0]["size"], 12);
}

TEST(FoundationJson, MalformedInputIsAFailureNotAnException) {
    const char* bad[] = {"", "{", "{\"a\":}", "[1,2", "nul", "{\"a\":1} trailing", "\"\\uD800\""};
    for (const char* s : bad) {
        auto r = parseJson(s);
        EXPECT_FALSE(r.ok()) << s;
        if (!r.ok()) {
            EXPECT_FALSE(r.error().empty());
        }
    }
}

TEST(FoundationJson, NestingIsBounded) {
    std::string deep(100000, '[');
    auto r = parseJson(deep + std::string(100000, ']'));
    ASSERT_FALSE(r.ok());
    EXPECT_NE(r.error().find("deeper"), std::string::npos);

    std::string ok = std::string(kMaxJsonDepth, '[') + std::string(kMaxJsonDepth, ']');
    EXPECT_TRUE(parseJson(ok).ok());
    // Brackets inside strings do not count.
    EXPECT_TRUE(parseJson("\"" + std::string(100000, '[') + "\"").ok());
}
