#include <gtest/gtest.h>

#include "AuxTestBytes.h"
#include "HostApp/Protocol/AudioControlPayloads.h"

using namespace auxtest;

namespace {

TEST(AudioControlPayload, ReadsTheFlagBitsAndTheValue) {
    auto p = AudioControlPayload::decode(hex("07 44 33 22 11"));
    ASSERT_TRUE(p);
    EXPECT_TRUE(p->listenHereOnly);
    EXPECT_TRUE(p->muteHostOutput);
    EXPECT_TRUE(p->valuePresent);
    EXPECT_EQ(p->value, 0x11223344u);
    EXPECT_EQ(p->encode(), hex("07 44 33 22 11"));

    auto listen = AudioControlPayload::decode(hex("01"));
    ASSERT_TRUE(listen);
    EXPECT_TRUE(listen->listenHereOnly);
    EXPECT_FALSE(listen->muteHostOutput);
    EXPECT_FALSE(listen->valuePresent);
    EXPECT_EQ(listen->encode(), hex("01"));
}

TEST(AudioControlPayload, TreatsAnIncompleteValueAsZero) {
    auto shortValue = AudioControlPayload::decode(hex("02 AA BB"));
    ASSERT_TRUE(shortValue);
    EXPECT_TRUE(shortValue->valuePresent);
    EXPECT_EQ(shortValue->value, 0u);
    // The value bit alone, with no byte after it, announces nothing.
    EXPECT_FALSE(AudioControlPayload::decode(hex("02"))->valuePresent);
    // A value without its bit is not read.
    EXPECT_EQ(AudioControlPayload::decode(hex("04 01 02 03 04"))->value, 0u);
}

TEST(AudioControlPayload, IgnoresOtherBitsAndRejectsEmpty) {
    auto p = AudioControlPayload::decode(hex("F8"));
    ASSERT_TRUE(p);
    EXPECT_EQ(*p, AudioControlPayload{});
    EXPECT_FALSE(AudioControlPayload::decode({}));
}

TEST(HostRecordingControlPayload, MatchesTheWireBytes) {
    auto bytes = hex("01 | 00 40 | 00 20 | 00 80 | 00 80");
    auto p = HostRecordingControlPayload::decode(bytes);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->action, HostRecordingAction::start);
    EXPECT_DOUBLE_EQ(p->x, 16384.0 / 65535.0);
    EXPECT_DOUBLE_EQ(p->y, 8192.0 / 65535.0);
    EXPECT_DOUBLE_EQ(p->width, 32768.0 / 65535.0);
    EXPECT_EQ(p->encode(), bytes);

    HostRecordingControlPayload stop;
    stop.action = HostRecordingAction::stop;
    stop.x = 0.25;
    stop.y = -1;  // out of range values are clamped into [0, 1]
    stop.width = 0.5;
    stop.height = 7;
    EXPECT_EQ(stop.encode(), hex("00 | 00 40 | 00 00 | 00 80 | FF FF"));
}

TEST(HostRecordingControlPayload, KeepsTheRegionInsideTheUnitSquare) {
    // Zero sides become 0.01; an origin that would push the region out is pulled back.
    auto p = HostRecordingControlPayload::decode(hex("01 | FF FF | FF FF | 00 00 | 00 80"));
    ASSERT_TRUE(p);
    EXPECT_DOUBLE_EQ(p->width, 0.01);
    EXPECT_DOUBLE_EQ(p->height, 32768.0 / 65535.0);
    EXPECT_DOUBLE_EQ(p->x, 1.0 - 0.01);
    EXPECT_DOUBLE_EQ(p->y, 1.0 - 32768.0 / 65535.0);
    EXPECT_LE(p->x + p->width, 1.0 + 1e-12);
    EXPECT_LE(p->y + p->height, 1.0 + 1e-12);
}

TEST(HostRecordingControlPayload, RejectsShortInputAndUnknownActions) {
    EXPECT_FALSE(HostRecordingControlPayload::decode(hex("01 00 40 00 20 00 80 00")));
    EXPECT_FALSE(HostRecordingControlPayload::decode(hex("02 00 40 00 20 00 80 00 80")));
    EXPECT_TRUE(HostRecordingControlPayload::decode(hex("00 00 40 00 20 00 80 00 80 EE")));
}

TEST(HostRecordingStatePayload, MatchesTheWireBytes) {
    HostRecordingStatePayload finished{HostRecordingState::finished, 1'234'567, "/m.mp4", ""};
    auto bytes = hex("03 | 87 D6 12 00 00 00 00 00 | 06 00 2F 6D 2E 6D 70 34 | 00 00");
    EXPECT_EQ(finished.encode(), bytes);
    EXPECT_EQ(HostRecordingStatePayload::decode(bytes), finished);

    HostRecordingStatePayload failed{HostRecordingState::failed, 0, "", "no capture source"};
    auto failedBytes = cat({hex("04 00 00 00 00 00 00 00 00 00 00 11 00"), ascii("no capture source")});
    EXPECT_EQ(failed.encode(), failedBytes);
    EXPECT_EQ(HostRecordingStatePayload::decode(failedBytes), failed);
}

TEST(HostRecordingStatePayload, CutsAnOverlongTextAtACharacterBoundary) {
    std::string path;
    for (int i = 0; i < 40'000; ++i) path += "\xC3\xA9";  // "é", two bytes each
    HostRecordingStatePayload p{HostRecordingState::finished, 0, path, "x"};
    auto bytes = p.encode();
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 9, bytes.begin() + 11), hex("FE FF"));  // 65,534
    auto back = HostRecordingStatePayload::decode(bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->path, path.substr(0, 65'534));
    EXPECT_EQ(back->message, "x");
}

TEST(HostRecordingStatePayload, RejectsTruncatedTextsAndUnknownStates) {
    EXPECT_FALSE(HostRecordingStatePayload::decode(hex("03 00 00 00 00 00 00 00 00 0A 00 41 42 43 00 00")));
    EXPECT_FALSE(HostRecordingStatePayload::decode(hex("03 00 00 00 00 00 00 00 00 00 00 02 00 41")));
    EXPECT_FALSE(HostRecordingStatePayload::decode(hex("03 00 00 00 00 00 00 00 00 00 00")));
    EXPECT_FALSE(HostRecordingStatePayload::decode(hex("00 00 00 00 00 00 00 00 00 00 00 00 00")));
    EXPECT_FALSE(HostRecordingStatePayload::decode(hex("05 00 00 00 00 00 00 00 00 00 00 00 00")));
    EXPECT_EQ(HostRecordingStatePayload::decode(hex("02 00 00 00 00 00 00 00 00 00 00 00 00"))->state,
              HostRecordingState::stopping);
}

}  // namespace
