#include <gtest/gtest.h>

#include "AuxTestBytes.h"
#include "HostApp/Protocol/DisplayControlPayloads.h"

using namespace auxtest;

namespace {

DisplayLayoutPayload leftExternal() {
    DisplayLayoutPayload p;
    p.displayID = 2;
    p.targetX = -1920;
    p.targetY = 0;
    p.targetWidth = 1920;
    p.targetHeight = 1080;
    p.unionX = -1920;
    p.unionY = 0;
    p.unionWidth = 3432;
    p.unionHeight = 1080;
    p.pixelWidth = 3840;
    p.pixelHeight = 2160;
    p.flags = 1;
    return p;
}

const std::vector<uint8_t> kLeftExternalBytes = hex(
    "02 00 00 00 | 80 F8 FF FF | 00 00 00 00 | 80 07 00 00 | 38 04 00 00 |"
    "80 F8 FF FF | 00 00 00 00 | 68 0D 00 00 | 38 04 00 00 | 00 0F 00 00 | 70 08 00 00 | 01");

TEST(DisplayLayoutPayload, MatchesTheFortyFiveWireBytes) {
    ASSERT_EQ(kLeftExternalBytes.size(), 45u);
    EXPECT_EQ(leftExternal().encode(), kLeftExternalBytes);
    EXPECT_EQ(DisplayLayoutPayload::decode(kLeftExternalBytes), leftExternal());
    EXPECT_EQ(DisplayLayoutPayload::decode(cat({kLeftExternalBytes, hex("99")})), leftExternal());
}

TEST(DisplayLayoutPayload, ClampsValuesToTheirWireTypes) {
    DisplayLayoutPayload p;
    p.targetX = -3'000'000'000;
    p.targetY = 3'000'000'000;
    p.targetWidth = -5;
    p.pixelWidth = 5'000'000'000;
    auto bytes = p.encode();
    EXPECT_EQ(prefix(bytes, 16), hex("00 00 00 00 | 00 00 00 80 | FF FF FF 7F | 00 00 00 00"));
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 36, bytes.begin() + 40), hex("FF FF FF FF"));
}

TEST(DisplayLayoutPayload, RejectsATruncatedPayload) {
    EXPECT_FALSE(DisplayLayoutPayload::decode(prefix(kLeftExternalBytes, 44)));
    EXPECT_FALSE(DisplayLayoutPayload::decode({}));
}

TEST(DisplayLayoutPayload, EqualityComparesEveryField) {
    auto a = leftExternal();
    auto b = a;
    EXPECT_EQ(a, b);
    b.flags = 0;
    EXPECT_NE(a, b);
    b = a;
    b.unionHeight += 1;
    EXPECT_NE(a, b);
}

TEST(DisplayLayoutPayload, SummaryNamesTargetUnionSizesAndFlags) {
    EXPECT_EQ(leftExternal().summary(),
              "display 2 target=1920x1080@-1920,0 union=3432x1080@-1920,0 logical=1920x1080 "
              "backing=3840x2160 flags=0x01 HiDPI");
    auto plain = leftExternal();
    plain.flags = 0;
    EXPECT_EQ(plain.summary().find("HiDPI"), std::string::npos);
    EXPECT_NE(plain.summary().find(" flags=0x00"), std::string::npos);
}

TEST(HostDisplayModeControlPayload, TakesZeroToTwo) {
    EXPECT_EQ(HostDisplayModeControlPayload::decode(hex("00"))->mode, HostDisplayMode::physical1080);
    EXPECT_EQ(HostDisplayModeControlPayload::decode(hex("01"))->mode, HostDisplayMode::physical1440);
    EXPECT_EQ(HostDisplayModeControlPayload::decode(hex("02 FF"))->mode, HostDisplayMode::nativeRestore);
    EXPECT_FALSE(HostDisplayModeControlPayload::decode(hex("03")));
    EXPECT_FALSE(HostDisplayModeControlPayload::decode({}));
    EXPECT_EQ(HostDisplayModeControlPayload{HostDisplayMode::nativeRestore}.encode(), hex("02"));
}

TEST(HostPhysicalDisplayControlPayload, TakesMainOrNext) {
    EXPECT_EQ(HostPhysicalDisplayControlPayload::decode(hex("01"))->action, HostPhysicalDisplayAction::main);
    EXPECT_EQ(HostPhysicalDisplayControlPayload::decode(hex("02"))->action, HostPhysicalDisplayAction::next);
    EXPECT_FALSE(HostPhysicalDisplayControlPayload::decode(hex("00")));
    EXPECT_FALSE(HostPhysicalDisplayControlPayload::decode(hex("03")));
    EXPECT_FALSE(HostPhysicalDisplayControlPayload::decode({}));
    EXPECT_EQ(HostPhysicalDisplayControlPayload{HostPhysicalDisplayAction::next}.encode(), hex("02"));
}

}  // namespace
