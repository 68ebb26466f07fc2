#include <gtest/gtest.h>

#include <set>

#include "AuxTestBytes.h"
#include "HostApp/Protocol/InputControlPayloads.h"

using namespace auxtest;

namespace {

TEST(PointerEventControlPayload, MatchesTheWireBytes) {
    auto bytes = hex("05 | 02 01 | 04 03 | 80 07 | 38 04");
    PointerEventControlPayload p{0x05, 0x0102, 0x0304, 1920, 1080};
    EXPECT_EQ(p.encode(), bytes);
    EXPECT_EQ(PointerEventControlPayload::decode(bytes), p);
    EXPECT_EQ(PointerEventControlPayload::decode(cat({bytes, hex("FF FF")})), p);  // trailing bytes ignored
    EXPECT_FALSE(PointerEventControlPayload::decode(prefix(bytes, 8)));
    EXPECT_FALSE(PointerEventControlPayload::decode({}));
}

TEST(GestureEventControlPayload, MatchesTheWireBytesWithSignedValues) {
    auto bytes = hex("01 | 64 00 | C8 00 | 80 07 | 38 04 | FD FF | 78 00 | 01 00");
    GestureEventControlPayload p{GestureEventKind::scroll, 100, 200, 1920, 1080, -3, 120, 1};
    EXPECT_EQ(p.encode(), bytes);
    EXPECT_EQ(GestureEventControlPayload::decode(bytes), p);

    auto magnify = GestureEventControlPayload::decode(hex("02 00 00 00 00 00 00 00 00 00 00 00 00 70 FE"));
    ASSERT_TRUE(magnify);
    EXPECT_EQ(magnify->kind, GestureEventKind::magnify);
    EXPECT_EQ(magnify->unitsOrAmount, -400);
}

TEST(GestureEventControlPayload, RejectsShortInputAndUnknownKinds) {
    auto bytes = hex("01 64 00 C8 00 80 07 38 04 FD FF 78 00 01 00");
    EXPECT_FALSE(GestureEventControlPayload::decode(prefix(bytes, 14)));
    for (uint8_t kind : {0, 3, 255}) {
        auto bad = bytes;
        bad[0] = kind;
        EXPECT_FALSE(GestureEventControlPayload::decode(bad)) << int(kind);
    }
}

TEST(HostShortcutControlPayload, AcceptsExactlyTheTwentyFourKinds) {
    const std::set<int> valid = {1,  2,  3,  4,  5,  10, 11, 12, 13, 14, 15,  16,
                                 17, 18, 19, 20, 22, 23, 50, 51, 100, 101, 160, 161};
    for (int raw = 0; raw < 256; ++raw) {
        auto p = HostShortcutControlPayload::decode(std::vector<uint8_t>{static_cast<uint8_t>(raw), 0xEE});
        EXPECT_EQ(p.has_value(), valid.count(raw) == 1) << raw;
        if (p) {
            EXPECT_EQ(p->encode(), std::vector<uint8_t>{static_cast<uint8_t>(raw)});
        }
    }
    EXPECT_FALSE(HostShortcutControlPayload::decode({}));
    EXPECT_EQ(HostShortcutControlPayload::decode(hex("64"))->kind, HostShortcutKind::pauseStreaming);
    EXPECT_EQ(HostShortcutControlPayload::decode(hex("A1"))->kind, HostShortcutKind::optionLaunchpadKey);
}

TEST(KeyEventControlPayload, MatchesTheWireBytesAndReadsAnyNonZeroAsDown) {
    auto bytes = hex("0D FF 00 00 | 01");
    KeyEventControlPayload p{0xFF0D, true};
    EXPECT_EQ(p.encode(), bytes);
    EXPECT_EQ(KeyEventControlPayload::decode(bytes), p);
    EXPECT_TRUE(KeyEventControlPayload::decode(hex("61 00 00 00 7F"))->down);
    EXPECT_FALSE(KeyEventControlPayload::decode(hex("61 00 00 00 00"))->down);
    EXPECT_EQ((KeyEventControlPayload{0x1F600, false}.encode()), hex("00 F6 01 00 00"));
    EXPECT_FALSE(KeyEventControlPayload::decode(hex("0D FF 00 00")));
}

TEST(RawKeyEventControlPayload, MatchesTheWireBytes) {
    auto bytes = hex("31 00 | 00 00 14 00 00 00 00 80 | 00");
    RawKeyEventControlPayload p{49, 0x8000000000140000ull, false};
    EXPECT_EQ(p.encode(), bytes);
    EXPECT_EQ(RawKeyEventControlPayload::decode(bytes), p);
    EXPECT_FALSE(RawKeyEventControlPayload::decode(prefix(bytes, 10)));
}

TEST(SystemDefinedKeyEventControlPayload, MatchesTheWireBytes) {
    EXPECT_EQ(SystemDefinedKeyEventControlPayload{0x0010}.encode(), hex("10 00"));
    EXPECT_EQ(SystemDefinedKeyEventControlPayload::decode(hex("0D 01 FF"))->keyType, 0x010D);
    EXPECT_FALSE(SystemDefinedKeyEventControlPayload::decode(hex("10")));
}

TEST(DragPullRequestPayload, MatchesTheWireBytes) {
    auto bytes = hex("07 00 00 00 | 02 00 00 00");
    DragPullRequestPayload p{7, 2};
    EXPECT_EQ(p.encode(), bytes);
    EXPECT_EQ(DragPullRequestPayload::decode(cat({bytes, hex("00")})), p);
    EXPECT_EQ(DragPullRequestPayload::decode(hex("FF FF FF FF 00 00 00 80"))->index, 0x80000000u);
    EXPECT_FALSE(DragPullRequestPayload::decode(prefix(bytes, 7)));
}

}  // namespace
