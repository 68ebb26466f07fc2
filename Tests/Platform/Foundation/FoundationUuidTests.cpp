#include <gtest/gtest.h>

#include <set>
#include <unordered_set>

#include "Platform/Foundation/Uuid.h"

using platform::UUID;

TEST(FoundationUuid, RandomIdentifiersAreVersion4WithTheStandardVariant) {
    std::set<UUID> seen;
    for (int i = 0; i < 200; ++i) {
        UUID u = UUID::random();
        EXPECT_EQ(u.bytes[6] >> 4, 4);
        EXPECT_EQ(u.bytes[8] & 0xC0, 0x80);
        std::string s = u.uuidString();
        EXPECT_EQ(s[14], '4');
        EXPECT_NE(std::string("89AB").find(s[19]), std::string::npos) << s;
        seen.insert(u);
    }
    EXPECT_EQ(seen.size(), 200u);
}

TEST(FoundationUuid, CanonicalTextIsUpperCase8_4_4_4_12AndRoundTrips) {
    UUID u{{0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x6A, 0x7B, 0x8C, 0x9D, 0xAE, 0xBF, 0xD0, 0xE1, 0xF2, 0x03}};
    EXPECT_EQ(u.uuidString(), "0A1B2C3D-4E5F-6A7B-8C9D-AEBFD0E1F203");
    EXPECT_EQ(u.id8(), "0A1B2C3D");
    EXPECT_EQ(UUID::parse(u.uuidString()), u);
    EXPECT_EQ(UUID::parse("0a1b2c3d-4e5f-6a7b-8c9d-aebfd0e1f203"), u);

    UUID r = UUID::random();
    EXPECT_EQ(UUID::parse(r.uuidString()), r);
}

TEST(FoundationUuid, ParseRefusesAnythingButTheCanonicalForm) {
    const char* bad[] = {
        "",
        "0A1B2C3D-4E5F-6A7B-8C9D-AEBFD0E1F20",    // short
        "0A1B2C3D-4E5F-6A7B-8C9D-AEBFD0E1F2033",  // long
        "0A1B2C3D4E5F-6A7B-8C9D-AEBFD0E1F2030",   // dash misplaced
        "0A1B2C3D-4E5F-6A7B-8C9D-AEBFD0E1F20G",   // not hex
        "0A1B2C3D-4E5F-6A7B-8C9D+AEBFD0E1F203",   // wrong separator
        "{A1B2C3D-4E5F-6A7B-8C9D-AEBFD0E1F203}",
    };
    for (const char* s : bad) EXPECT_FALSE(UUID::parse(s).has_value()) << s;
}

TEST(FoundationUuid, OrderingAndHashFollowTheBytes) {
    UUID a, b;
    b.bytes[15] = 1;
    EXPECT_LT(a, b);
    EXPECT_NE(a, b);
    std::unordered_set<UUID> set{a, b, a};
    EXPECT_EQ(set.size(), 2u);
    EXPECT_NE(std::hash<UUID>{}(a), std::hash<UUID>{}(b));
}
