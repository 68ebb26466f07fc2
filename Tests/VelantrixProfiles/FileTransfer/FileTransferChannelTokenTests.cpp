#include <gtest/gtest.h>

#include <set>

#include "VelantrixProfiles/FileTransfer/FileTransferChannelToken.h"

namespace {

TEST(FileTransferChannelToken, FreshTokensAreRandomAndDistinct) {
    std::set<FileTransferChannelToken> seen;
    for (int i = 0; i < 64; ++i) seen.insert(FileTransferChannelToken());
    EXPECT_EQ(seen.size(), 64u);
    // Not a constant pattern: some token has both a zero and a non-zero bit
    // pattern spread over its bytes.
    std::set<uint8_t> values;
    for (const auto& t : seen) values.insert(t.bytes.begin(), t.bytes.end());
    EXPECT_GT(values.size(), 100u);
}

TEST(FileTransferChannelToken, WithBytesTakesExactlySixteen) {
    std::vector<uint8_t> bytes{0x0a, 0x1b, 0x2c, 0x3d, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 0xff};
    auto token = FileTransferChannelToken::withBytes(bytes);
    ASSERT_TRUE(token);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), token->bytes.begin()));
    EXPECT_EQ(token->shortDescription(), "0a1b2c3d");
    EXPECT_EQ(token, FileTransferChannelToken::withBytes(bytes));
    EXPECT_EQ(std::hash<FileTransferChannelToken>{}(*token),
              std::hash<FileTransferChannelToken>{}(*FileTransferChannelToken::withBytes(bytes)));

    EXPECT_FALSE(FileTransferChannelToken::withBytes(std::span(bytes).first(15)));
    bytes.push_back(0);
    EXPECT_FALSE(FileTransferChannelToken::withBytes(bytes));
    EXPECT_FALSE(FileTransferChannelToken::withBytes({}));
}

}  // namespace
