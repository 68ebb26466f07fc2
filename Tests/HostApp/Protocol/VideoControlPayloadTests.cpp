#include <gtest/gtest.h>

#include "AuxTestBytes.h"
#include "HostApp/Protocol/VideoControlPayloads.h"

using namespace auxtest;

namespace {

TEST(VideoPreferenceControlPayload, TakesTheTwoChromaModes) {
    EXPECT_EQ(VideoPreferenceControlPayload::decode(hex("00"))->chromaMode, VideoChromaMode::yuv420);
    EXPECT_EQ(VideoPreferenceControlPayload::decode(hex("01 05"))->chromaMode, VideoChromaMode::yuv444);
    EXPECT_FALSE(VideoPreferenceControlPayload::decode(hex("02")));
    EXPECT_FALSE(VideoPreferenceControlPayload::decode({}));
    EXPECT_EQ(VideoPreferenceControlPayload{VideoChromaMode::yuv444}.encode(), hex("01"));
}

TEST(VideoStatsPayload, MatchesTheTwelveWireBytes) {
    VideoStatsPayload p{30, 31, 2, 29, 1'234'567};
    auto bytes = hex("1E 00 | 1F 00 | 02 00 | 1D 00 | 87 D6 12 00");
    EXPECT_EQ(p.encode(), bytes);
    EXPECT_EQ(VideoStatsPayload::decode(bytes), p);
    EXPECT_FALSE(VideoStatsPayload::decode(prefix(bytes, 11)));
}

TEST(VideoStatsPayload, ClampsEachCounterToItsWidth) {
    VideoStatsPayload p{70'000, -1, 65'535, 65'536, 5'000'000'000};
    EXPECT_EQ(p.encode(), hex("FF FF | 00 00 | FF FF | FF FF | FF FF FF FF"));
}

}  // namespace
