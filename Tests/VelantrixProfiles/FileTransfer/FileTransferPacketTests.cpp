#include <gtest/gtest.h>

#include <cmath>

#include "Platform/Foundation/Json.h"
#include "VelantrixProfiles/FileTransfer/FileTransferPacket.h"
#include "VelantrixProfiles/FileTransfer/FileTransferPeerSend.h"
#include "VelantrixProfiles/FileTransfer/RemoteDirectoryEntry.h"

namespace {

std::vector<uint8_t> bytes(std::string_view s) { return {s.begin(), s.end()}; }

FileTransferPacket samplePacket() {
    FileTransferPacket p;
    p.op = FileTransferOp::fileChunk;
    p.batchID = *platform::UUID::parse("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    p.value1 = 0x0102030405060708ull;
    p.value2 = 7;
    p.path = "Photos/2024/a.jpg";
    p.data = {9, 8, 7};
    return p;
}

TEST(FileTransferPacket, EncodesTheDocumentedLayout) {
    auto wire = samplePacket().encode();
    ASSERT_EQ(wire.size(), 39u + 17 + 3);
    EXPECT_EQ(wire[0], 4);
    EXPECT_EQ(wire[1], 0xE6);  // first two hex digits of the text form
    EXPECT_EQ(wire[16], 0x5F);
    EXPECT_EQ(wire[17], 0x08);  // value1 little-endian
    EXPECT_EQ(wire[24], 0x01);
    EXPECT_EQ(wire[25], 7);
    EXPECT_EQ(wire[33], 17);
    EXPECT_EQ(wire[34], 0);
    EXPECT_EQ(std::string(wire.begin() + 35, wire.begin() + 52), "Photos/2024/a.jpg");
    EXPECT_EQ(wire[52], 3);
    EXPECT_EQ(wire.back(), 7);
    EXPECT_EQ(FileTransferPacket::decode(wire), samplePacket());

    FileTransferPacket empty;
    empty.op = FileTransferOp::batchEnd;
    auto minimal = empty.encode();
    ASSERT_EQ(minimal.size(), 39u);
    EXPECT_TRUE(std::all_of(minimal.begin() + 33, minimal.end(), [](uint8_t b) { return b == 0; }));
}

TEST(FileTransferPacket, DecodeRejectsShortAndUnknownBuffers) {
    const auto good = samplePacket().encode();
    struct Case {
        const char* name;
        std::vector<uint8_t> wire;
    };
    auto with = [&](size_t offset, uint8_t value) {
        auto w = good;
        w[offset] = value;
        return w;
    };
    const Case cases[] = {
        {"38 bytes", std::vector<uint8_t>(38, 1)},
        {"op 0", with(0, 0)},
        {"op 14", with(0, 14)},
        {"op 255", with(0, 255)},
        {"path past end", with(33, 200)},
        {"data past end", with(52, 4)},
        {"data length huge", with(55, 0xFF)},
        {"truncated data", std::vector<uint8_t>(good.begin(), good.end() - 1)},
    };
    for (const auto& c : cases) EXPECT_FALSE(FileTransferPacket::decode(c.wire)) << c.name;

    auto padded = good;
    padded.insert(padded.end(), 10, 0xAA);
    EXPECT_EQ(FileTransferPacket::decode(padded), samplePacket());
}

TEST(FileTransferPacket, BadUtf8PathReadsEmptyAndLongPathsCutAtCharacters) {
    auto p = samplePacket();
    p.path = std::string("ok\xC3\x28", 4);
    auto decoded = FileTransferPacket::decode(p.encode());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->path, "");
    EXPECT_EQ(decoded->data, p.data);
    EXPECT_EQ(decoded->value1, p.value1);

    struct Case {
        std::string path;
        size_t expectedBytes;
    };
    const Case cases[] = {
        {std::string(70000, 'a'), 65535},
        {std::string(65534, 'a') + "\xC3\xA9", 65534},          // 2-byte char across the limit
        {std::string(65533, 'a') + "\xF0\x9F\x98\x80", 65533},  // emoji across the limit
        {std::string(65533, 'a') + "\xC3\xA9", 65535},          // fits exactly
    };
    for (const auto& c : cases) {
        p.path = c.path;
        auto round = FileTransferPacket::decode(p.encode());
        ASSERT_TRUE(round);
        EXPECT_EQ(round->path, c.path.substr(0, c.expectedBytes));
        EXPECT_EQ(p.encodedSize(), p.encode().size());
    }
}

TEST(FileTransferPacket, BatchStartValue2PacksIntentAndCount) {
    const uint64_t packed = packBatchStartValue2(FileTransferIntent::managedCopy, 5);
    EXPECT_EQ(packed >> 56, 3u);
    EXPECT_EQ(packed & 0x00FFFFFFFFFFFFFFull, 5u);
    struct Case {
        uint64_t value2;
        uint64_t files;
        FileTransferIntent intent;
    };
    const Case cases[] = {
        {packed, 5, FileTransferIntent::managedCopy},
        {(5ull << 56) | 5, 5, FileTransferIntent::copy},
        {(0xFCull << 56) | 9, 9, FileTransferIntent::copy},
        {(1ull << 56) | 0x00FFFFFFFFFFFFFFull, 0x00FFFFFFFFFFFFFFull, FileTransferIntent::dropToFinder},
        {packBatchStartValue2(FileTransferIntent::pullForPromise, ~0ull), 0x00FFFFFFFFFFFFFFull,
         FileTransferIntent::pullForPromise},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(batchStartFileCount(c.value2), c.files);
        EXPECT_EQ(batchStartIntent(c.value2), c.intent);
    }
}

TEST(FileTransferDeliveryOptions, SetAlgebraOnRawValue) {
    using O = FileTransferDeliveryOptions;
    O both{O::promptForConflicts, O::backupBeforeOverwrite};
    EXPECT_EQ(both.rawValue, 3u);
    EXPECT_TRUE(both.contains(O::backupBeforeOverwrite));
    EXPECT_TRUE(O::promptForConflicts.isSubset(both));
    EXPECT_TRUE(O::promptForConflicts.isDisjoint(O::backupBeforeOverwrite));
    EXPECT_EQ(both.subtracting(O::promptForConflicts), O::backupBeforeOverwrite);
    EXPECT_EQ((both ^ O(6)).rawValue, 5u);  // unknown bits travel unchanged
    O set;
    EXPECT_TRUE(set.isEmpty());
    set.insert(O(0x80));
    set.remove(O::promptForConflicts);
    EXPECT_EQ(set.rawValue, 0x80u);
}

TEST(RemoteDirectoryEntry, ListingJsonRoundTripsAndReadsOptionalKeys) {
    const std::vector<RemoteDirectoryEntry> entries{
        {"A", true, 0, platform::Date{1700000000.5}},
        {"b.txt", false, 1ull << 40, std::nullopt},
    };
    EXPECT_EQ(RemoteDirectoryEntry::decodeListing(RemoteDirectoryEntry::encodeListing(entries)), entries);
    EXPECT_EQ(RemoteDirectoryEntry::encodeListing({}), bytes("[]"));

    struct Case {
        const char* json;
        std::vector<RemoteDirectoryEntry> expected;
    };
    const Case cases[] = {
        {R"([{"n":"x","d":false}])", {{"x", false, 0, std::nullopt}}},
        {R"([{"n":"x","d":true,"t":12}])", {{"x", true, 0, platform::Date{12}}}},
        {R"([{"n":"x","d":false},{"d":false}])", {}},
        {R"([{"n":"x","d":"no"}])", {}},
        {R"([{"n":"x","d":false,"s":-1}])", {}},
        {R"({"n":"x","d":false})", {}},
        {"[", {}},
        {"", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(RemoteDirectoryEntry::decodeListing(bytes(c.json)), c.expected) << c.json;

    // Written byte for byte as the JSON library writes each entry's object,
    // whatever the name holds: escapes, characters of every length, bytes
    // that are not UTF-8 (overlong, surrogate, past U+10FFFF, cut short).
    const char* names[] = {"plain.txt", "quote\"d", "back\\slash", "tab\tnew\nline", "\x01\x1F", "del\x7F",
                           "caf\xC3\xA9", "\xE6\x97\xA5\xE6\x9C\xAC", "\xF0\x9F\x98\x80", "\xEF\xBF\xBF",
                           "a\xFF", "\xC0\xAF", "\xC1\xBF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                           "\xF5\x80\x80\x80", "\xE6\x97", "\xF0\x9F\x98", "x\x80y", ""};
    const std::optional<platform::Date> dates[] = {std::nullopt, platform::Date{1700000000.5}, platform::Date{12},
                                                   platform::Date{-1.25}, platform::Date{1e20}, platform::Date{0.001},
                                                   platform::Date{std::nan("")}};
    const uint64_t sizes[] = {0, 1, 1ull << 40, UINT64_MAX};
    std::vector<RemoteDirectoryEntry> every;
    std::string expected = "[";
    size_t i = 0;
    for (const char* name : names)
        for (const bool folder : {false, true}) {
            RemoteDirectoryEntry e{name, folder, sizes[i % 4], dates[i % 7]};
            ++i;
            platform::Json item = {{"n", e.name}, {"d", e.isDirectory}, {"s", e.size}};
            if (e.modificationDate) item["t"] = e.modificationDate->secondsSince1970;
            expected += (every.empty() ? "" : ",") + item.dump(-1, ' ', false, platform::Json::error_handler_t::replace);
            every.push_back(std::move(e));
        }
    expected += "]";
    EXPECT_EQ(RemoteDirectoryEntry::encodeListing(every), bytes(expected));
    // Cut at its last byte, or one short of it (the last entry then goes),
    // and the reply's buffer never holds more than the bound allows.
    size_t kept = 0;
    EXPECT_EQ(RemoteDirectoryEntry::encodeListing(every, expected.size(), &kept), bytes(expected));
    EXPECT_EQ(kept, every.size());
    const auto cut = RemoteDirectoryEntry::encodeListing(every, expected.size() - 1, &kept);
    EXPECT_EQ(kept, every.size() - 1);
    const auto lastComma = expected.rfind(",{");
    EXPECT_EQ(cut, bytes(expected.substr(0, lastComma) + "]"));
    std::vector<RemoteDirectoryEntry> wide;
    for (int n = 0; n < 1000; ++n) wide.push_back({std::string(200, 'w') + std::to_string(n), false, 7, std::nullopt});
    for (const size_t bound : {size_t{1000}, size_t{65536}, size_t{100000}}) {
        const auto reply = RemoteDirectoryEntry::encodeListing(wide, bound, &kept);
        EXPECT_LE(reply.size(), bound);
        EXPECT_LE(reply.capacity(), bound) << "the reply's buffer grew past its bound";
    }

    // A name that is not UTF-8 still produces a listing.
    auto odd = RemoteDirectoryEntry::decodeListing(
        RemoteDirectoryEntry::encodeListing({{std::string("a\xFF", 2), false, 1, std::nullopt}}));
    ASSERT_EQ(odd.size(), 1u);
    EXPECT_EQ(odd[0].name, "a\xEF\xBF\xBD");
}

TEST(FileTransferPeerSend, BodiesRoundTripAndRequireTheirKeys) {
    FileTransferPeerSendRequest request({"/a", "/b c"}, "/dest", FileTransferDeliveryOptions::backupBeforeOverwrite);
    EXPECT_EQ(FileTransferPeerSendRequest::decode(request.encode()), request);
    EXPECT_EQ(request.deliveryOptions(), FileTransferDeliveryOptions::backupBeforeOverwrite);
    for (const char* bad : {R"({"sourcePaths":["/a"],"destination":"/d"})",
                            R"({"sourcePaths":[1],"destination":"/d","deliveryOptionsRawValue":0})",
                            R"({"sourcePaths":[],"destination":null,"deliveryOptionsRawValue":0})", "[]"})
        EXPECT_FALSE(FileTransferPeerSendRequest::decode(bytes(bad))) << bad;

    FileTransferPeerSendResponse noMessage{true, std::nullopt};
    EXPECT_EQ(noMessage.encode(), bytes(R"({"accepted":true})"));
    FileTransferPeerSendResponse refused{false, "no such file"};
    EXPECT_EQ(FileTransferPeerSendResponse::decode(refused.encode()), refused);
    for (const char* bad : {R"({"message":"x"})", R"({"accepted":1})", R"({"accepted":true,"message":2})", "x"})
        EXPECT_FALSE(FileTransferPeerSendResponse::decode(bytes(bad))) << bad;
}

}  // namespace
