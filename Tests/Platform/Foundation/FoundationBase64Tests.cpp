// Standard Base64 and its strict decoding.

#include <gtest/gtest.h>

#include "Platform/Foundation/Base64.h"

TEST(Base64Test, EncodesAndDecodesStrictly) {
    const struct {
        std::string bytes, text;
    } pairs[] = {{"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"\xfb\xff", "+/8="}};
    for (const auto& p : pairs) {
        const std::vector<uint8_t> bytes(p.bytes.begin(), p.bytes.end());
        EXPECT_EQ(platform::base64Encode(bytes), p.text);
        EXPECT_EQ(platform::base64Decode(p.text), bytes) << p.text;
    }
    for (const char* bad : {"Zg", "Zg=", "Z===", "Zh==", "Zm9v\n", "Zg==Zg==", "-_8=", "Zm 9", "=Zm9"})
        EXPECT_FALSE(platform::base64Decode(bad)) << bad;
}
