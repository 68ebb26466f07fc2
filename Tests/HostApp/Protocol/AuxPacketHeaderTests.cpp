#include <gtest/gtest.h>

#include <set>

#include "AuxTestBytes.h"
#include "HostApp/Protocol/AuxPacket.h"

using namespace auxtest;

namespace {

// type 8, flags 0, reserved 0, length 5, timestamp 0x0102030405060708, "hello"
const std::vector<uint8_t> kStatusPacket =
    hex("32 4D 32 4D | 08 | 00 | 00 00 | 05 00 00 00 | 08 07 06 05 04 03 02 01 | 68 65 6C 6C 6F");

TEST(AuxPacketHeader, EncodesTheTwentyByteLittleEndianLayout) {
    AuxPacketHeader h;
    h.type = AuxPacketType::audioFrame;
    h.flags = 1;
    h.reserved = 0xBEEF;
    h.payloadLength = 0x00A1B2C3;
    h.timestampNs = 0x1122334455667788ull;
    auto bytes = h.encode();
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.end()),
              hex("32 4D 32 4D 06 01 EF BE C3 B2 A1 00 88 77 66 55 44 33 22 11"));
}

TEST(AuxPacketHeader, DecodesEveryField) {
    auto h = AuxPacketHeader::decode(hex("32 4D 32 4D 06 01 EF BE C3 B2 A1 00 88 77 66 55 44 33 22 11"));
    ASSERT_TRUE(h);
    EXPECT_EQ(h->type, AuxPacketType::audioFrame);
    EXPECT_EQ(h->flags, 1);
    EXPECT_EQ(h->reserved, 0xBEEF);  // non-zero reserved bytes are accepted
    EXPECT_EQ(h->payloadLength, 0x00A1B2C3u);
    EXPECT_EQ(h->timestampNs, 0x1122334455667788ull);
}

TEST(AuxPacketHeader, RejectsShortInputBadMagicAndUnknownTypes) {
    auto good = hex("32 4D 32 4D 08 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
    EXPECT_TRUE(AuxPacketHeader::decode(good));
    EXPECT_FALSE(AuxPacketHeader::decode(prefix(good, 19)));
    EXPECT_FALSE(AuxPacketHeader::decode({}));
    auto badMagic = good;
    badMagic[3] = 0x4E;
    EXPECT_FALSE(AuxPacketHeader::decode(badMagic));
    for (uint8_t t : {0, 5, 9, 17, 45, 52, 255}) {
        auto bad = good;
        bad[4] = t;
        EXPECT_FALSE(AuxPacketHeader::decode(bad)) << int(t);
    }
}

TEST(AuxPacketType, OnlyTheListedRawValuesAreTypes) {
    std::set<int> valid;
    for (int t = 6; t <= 8; ++t) valid.insert(t);
    for (int t = 18; t <= 44; ++t) valid.insert(t);
    for (int t = 46; t <= 51; ++t) valid.insert(t);
    for (int raw = 0; raw < 256; ++raw) {
        auto t = auxPacketTypeFromRaw(static_cast<uint8_t>(raw));
        EXPECT_EQ(t.has_value(), valid.count(raw) == 1) << raw;
        if (t) {
            EXPECT_EQ(static_cast<int>(*t), raw);
        }
    }
}

TEST(MakeAuxPacket, FramesThePayloadBehindTheHeader) {
    EXPECT_EQ(makeAuxPacket(AuxPacketType::hostStatus, 0, ascii("hello"), 0x0102030405060708ull), kStatusPacket);
    EXPECT_EQ(makeAuxPacket(AuxPacketType::videoFrameAck, 0, {}, 0),
              hex("32 4D 32 4D 1A 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"));
}

TEST(MakeAuxPacket, AppendsIntoAReusedBuffer) {
    std::vector<uint8_t> buffer = hex("AA BB");
    makeAuxPacket(buffer, AuxPacketType::hostStatus, 0, ascii("hello"), 0x0102030405060708ull);
    EXPECT_EQ(buffer, cat({hex("AA BB"), kStatusPacket}));

    buffer.clear();
    const auto* storage = buffer.data();
    makeAuxPacket(buffer, AuxPacketType::hostStatus, 0, ascii("hi"), 0x0102030405060708ull);
    EXPECT_EQ(buffer.data(), storage);  // the capacity is kept, nothing is reallocated
    EXPECT_EQ(buffer, hex("32 4D 32 4D 08 00 00 00 02 00 00 00 08 07 06 05 04 03 02 01 68 69"));
}

}  // namespace
