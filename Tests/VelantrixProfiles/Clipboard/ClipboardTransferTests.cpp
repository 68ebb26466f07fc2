// The clipboard transfer's property-list form: what survives a round trip,
// and which documents a receiver must refuse whole.

#include <gtest/gtest.h>

#include <functional>

#include "Platform/Foundation/PropertyList.h"
#include "VelantrixProfiles/Clipboard/ClipboardTransfer.h"

using platform::PlistValue;

namespace {

ClipboardTransfer sample() {
    ClipboardTransfer t{"6F1C2D3E-0000-4000-8000-000000000001", UINT64_MAX, 123456789, {}};
    t.items.push_back({ClipboardTransferItemKind::text, "Grüße", {}, {}, {}});
    t.items.push_back({ClipboardTransferItemKind::image, {}, std::vector<uint8_t>{1, 2, 3}, "public.png", {}});
    t.items.push_back({ClipboardTransferItemKind::files, {}, {}, {}, {{"a.txt", "public.plain-text", {9, 8}}}});
    return t;
}

std::span<const uint8_t> bytes(const std::vector<uint8_t>& v) { return v; }

TEST(ClipboardTransferFormat, RoundTripKeepsAbsentOptionalsAbsent) {
    const ClipboardTransfer t = sample();
    auto encoded = t.encodedData();
    ASSERT_TRUE(encoded.ok());
    EXPECT_EQ(std::string(encoded->begin(), encoded->begin() + 8), "bplist00");
    auto decoded = ClipboardTransfer::decode(*encoded);
    ASSERT_TRUE(decoded.ok()) << decoded.error();
    EXPECT_EQ(*decoded, t);
    EXPECT_FALSE(decoded->items[0].imageData);
    EXPECT_FALSE(decoded->items[1].text);

    // Absent values are left out of the document, not written empty.
    auto plist = platform::PropertyList::read(*encoded);
    const PlistValue* item = (*plist)["items"]->at(0);
    EXPECT_FALSE((*item)["imageData"]);
    EXPECT_FALSE((*item)["imageTypeIdentifier"]);
    ASSERT_TRUE((*item)["files"]);
}

TEST(ClipboardTransferFormat, EncodesTheDocumentedExampleByteForByte) {
    // The example of the protocol document.
    const std::string hex =
        "62706C6973743030D401030C0E02040D0F5D67656E65726174656441744E731002556974"
        "656D73A105D306080A07090B5566696C6573A0546B696E64547465787454746578745268"
        "695873657175656E6365100158736F757263654944514108111F2127293036373C414649"
        "52545D000000000000010100000000000000100000000000000000000000000000005F";
    std::vector<uint8_t> expected;
    for (size_t i = 0; i < hex.size(); i += 2)
        expected.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    ClipboardTransfer t{"A", 1, 2, {{ClipboardTransferItemKind::text, "hi", {}, {}, {}}}};
    EXPECT_EQ(*t.encodedData(), expected);
}

TEST(ClipboardTransferFormat, XmlDecodesToo) {
    auto xml = platform::PropertyList::writeXML(sample().propertyList());
    auto decoded = ClipboardTransfer::decode(xml);
    ASSERT_TRUE(decoded.ok()) << decoded.error();
    EXPECT_EQ(*decoded, sample());
}

TEST(ClipboardTransferFormat, TextWithANulCharacterIsNotEncoded) {
    ClipboardTransfer t{"S", 1, 0, {{ClipboardTransferItemKind::text, std::string("a\0b", 3), {}, {}, {}}}};
    EXPECT_FALSE(t.encodedData().ok());
}

struct DocumentCase {
    const char* name;
    std::function<void(PlistValue&)> edit;
    bool decodes;
};

TEST(ClipboardTransferFormat, RequiredKeysTypesAndKindsDecideTheWholeTransfer) {
    auto item = [](PlistValue& root, size_t i) -> PlistValue& { return (*root.asDictionary()->at("items").asArray())[i]; };
    auto erase = [](PlistValue& v, const char* key) { v.asDictionary()->erase(key); };
    const DocumentCase cases[] = {
        {"extra keys at every level", [&](PlistValue& r) {
             r.set("future", 1);
             item(r, 0).set("colour", "red");
             (*item(r, 2).asDictionary()->at("files").asArray())[0].set("mode", 420);
         }, true},
        {"empty items", [](PlistValue& r) { r.set("items", PlistValue::Array{}); }, true},
        {"text kind without text", [&](PlistValue& r) { erase(item(r, 0), "text"); }, true},
        {"no files in a text item", [&](PlistValue& r) { erase(item(r, 0), "files"); }, false},
        {"no sourceID", [&](PlistValue& r) { erase(r, "sourceID"); }, false},
        {"sequence as text", [](PlistValue& r) { r.set("sequence", "1"); }, false},
        {"negative sequence", [](PlistValue& r) { r.set("sequence", -1); }, false},
        {"real generatedAtNs", [](PlistValue& r) { r.set("generatedAtNs", 1.5); }, false},
        {"items not an array", [](PlistValue& r) { r.set("items", PlistValue()); }, false},
        {"item not a dictionary", [](PlistValue& r) { r.set("items", PlistValue::Array{"text"}); }, false},
        {"unknown kind", [&](PlistValue& r) { item(r, 1).set("kind", "Image"); }, false},
        {"text of the wrong type", [&](PlistValue& r) { item(r, 0).set("text", 5); }, false},
        {"imageData as text", [&](PlistValue& r) { item(r, 1).set("imageData", "AQID"); }, false},
        {"file without data", [&](PlistValue& r) {
             erase((*item(r, 2).asDictionary()->at("files").asArray())[0], "data");
         }, false},
        {"root is an array", [](PlistValue& r) { r = PlistValue(PlistValue::Array{}); }, false},
    };
    for (const auto& c : cases) {
        PlistValue doc = sample().propertyList();
        c.edit(doc);
        auto decoded = ClipboardTransfer::decode(platform::PropertyList::writeBinary(doc));
        EXPECT_EQ(decoded.ok(), c.decodes) << c.name << (decoded.ok() ? "" : ": " + decoded.error());
    }
    EXPECT_FALSE(ClipboardTransfer::decode(bytes({'b', 'p', 'l', 'i', 's', 't'})).ok());
}

// A failure is logged: it names the key and its place, never the sender's
// text (a kind of any length and content gives the same short line).
TEST(ClipboardTransferFormat, FailuresNameTheKeyAndItsPlace) {
    PlistValue doc = sample().propertyList();
    const std::string kinds[] = {"folder", std::string(4000, 'k') + "\n[NorvessalHost 00:00:00.000] forged"};
    for (const auto& kind : kinds) {
        (*doc.asDictionary()->at("items").asArray())[2].set("kind", kind);
        auto decoded = ClipboardTransfer::decode(platform::PropertyList::writeBinary(doc));
        ASSERT_FALSE(decoded.ok());
        EXPECT_EQ(decoded.error(), "unknown kind (" + std::to_string(kind.size()) + " bytes) in items[2]");
    }
    doc = sample().propertyList();
    doc.set("sequence", -4);
    EXPECT_EQ(ClipboardTransfer::decode(platform::PropertyList::writeBinary(doc)).error(),
              "wrong type for \"sequence\" in transfer (expected unsigned integer)");
}

}  // namespace
