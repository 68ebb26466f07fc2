#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>

#include "Platform/Foundation/PropertyList.h"
#include "Support/TestSupport.h"

using namespace platform;

namespace {

PlistValue sampleDocument() {
    PlistValue::Data blob;
    for (int i = 0; i < 300; ++i) blob.push_back(static_cast<uint8_t>(i * 7));
    PlistValue nested;
    nested.set("data", blob)
        .set("empty data", PlistValue::Data{})
        .set("when", Date{1767603600.0})
        .set("list", PlistValue::Array{int64_t{1}, "two", 3.5, false, PlistValue::Array{}});
    PlistValue root;
    root.set("bool", true)
        .set("no", false)
        .set("small", 42)
        .set("negative", int64_t{-123456789012})
        .set("over32bits", int64_t{5000000000})
        .set("int64 max", std::numeric_limits<int64_t>::max())
        .set("int64 min", std::numeric_limits<int64_t>::min())
        .set("above int64", uint64_t{18446744073709551000ull})
        .set("real", 3.25)
        .set("negative real", -1.0e-3)
        .set("text", "Grüße & <tags>")
        .set("nested", nested)
        .set("deeper", PlistValue().set("a", PlistValue().set("b", PlistValue().set("c", "leaf"))));
    return root;
}

}  // namespace

TEST(FoundationPropertyList, ValueAccessorsAnswerOnlyForTheirKind) {
    PlistValue v = sampleDocument();
    ASSERT_TRUE(v.isDictionary());
    EXPECT_EQ(v["bool"]->asBool(), true);
    EXPECT_EQ(v["small"]->asInteger(), 42);
    EXPECT_FALSE(v["small"]->asReal().has_value());
    EXPECT_FALSE(v["text"]->asInteger().has_value());
    EXPECT_EQ(v["missing"], nullptr);
    EXPECT_EQ((*v["nested"])["list"]->at(1)->asString(), "two");
    EXPECT_EQ((*v["nested"])["list"]->at(9), nullptr);
    EXPECT_EQ(v["bool"]->at(0), nullptr);
    EXPECT_EQ((*v["bool"])["x"], nullptr);

    // Unsigned values keep their meaning on both sides of INT64_MAX.
    EXPECT_EQ(v["above int64"]->asUnsigned(), 18446744073709551000ull);
    EXPECT_FALSE(v["above int64"]->asInteger().has_value());
    EXPECT_FALSE(v["negative"]->asUnsigned().has_value());
    EXPECT_EQ(PlistValue(uint64_t{7}), PlistValue(7));
    EXPECT_NE(PlistValue(1), PlistValue(true));
    EXPECT_NE(PlistValue(1), PlistValue(1.0));
}

TEST(FoundationPropertyList, BinaryRoundTripKeepsEveryValue) {
    PlistValue doc = sampleDocument();
    auto bytes = PropertyList::writeBinary(doc);
    ASSERT_GE(bytes.size(), 8u);
    EXPECT_EQ(std::memcmp(bytes.data(), "bplist00", 8), 0);
    auto back = PropertyList::read(bytes);
    ASSERT_TRUE(back.ok()) << back.error();
    EXPECT_EQ(*back, doc);
}

TEST(FoundationPropertyList, XmlRoundTripKeepsEveryValueWithDatesToTheSecond) {
    PlistValue doc = sampleDocument();
    auto bytes = PropertyList::writeXML(doc);
    std::string text(bytes.begin(), bytes.end());
    EXPECT_NE(text.find("<plist"), std::string::npos);
    EXPECT_NE(text.find("<integer>18446744073709551000</integer>"), std::string::npos);
    EXPECT_NE(text.find("<integer>-123456789012</integer>"), std::string::npos);
    auto back = PropertyList::read(bytes);
    ASSERT_TRUE(back.ok()) << back.error();
    EXPECT_EQ(*back, doc);
}

TEST(FoundationPropertyList, DatesKeepMicrosecondsThroughRepeatedBinaryRoundTrips) {
    // Each value is written and read back ten times, as a settings file is
    // rewritten; none may creep by a microsecond.
    const double dates[] = {1767603600.123456, 1767603600.000997, 978307200.009968, 1767603600.999999,
                            978307195.25 /* 4.75 s before 2001 */, 0.0, -86400.5, 3000000000.000001};
    for (double when : dates) {
        PlistValue v;
        v.set("when", Date{when});
        std::vector<uint8_t> first = PropertyList::writeBinary(v);
        for (int pass = 0; pass < 10; ++pass) {
            auto back = PropertyList::read(PropertyList::writeBinary(v));
            ASSERT_TRUE(back.ok()) << back.error();
            v = *back;
        }
        EXPECT_NEAR(v["when"]->asDate()->secondsSince1970, when, 5e-7) << std::fixed << when;
        EXPECT_EQ(PropertyList::writeBinary(v), first) << std::fixed << when;
    }
}

TEST(FoundationPropertyList, XmlDatesAreWholeSecondsAndFarDatesAreClamped) {
    PlistValue v;
    v.set("after", Date{1767603600.75}).set("before", Date{978307195.25}).set("far", Date{1e12});
    auto text = PropertyList::writeXML(v);
    std::string xml(text.begin(), text.end());
    EXPECT_NE(xml.find("<date>2026-01-05T09:00:00Z</date>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<date>2000-12-31T23:59:55Z</date>"), std::string::npos) << xml;
    auto back = PropertyList::read(text);
    ASSERT_TRUE(back.ok()) << back.error();
    EXPECT_EQ((*back)["after"]->asDate()->secondsSince1970, 1767603600.0);
    EXPECT_EQ((*back)["before"]->asDate()->secondsSince1970, 978307195.0);

    auto bin = PropertyList::read(PropertyList::writeBinary(v));
    ASSERT_TRUE(bin.ok());
    // The far future is held back at the last representable moment (2069).
    EXPECT_NEAR((*bin)["far"]->asDate()->secondsSince1970, 978307200.0 + 2147483647.999999, 1e-6);
}

TEST(FoundationPropertyList, ReadsListsWrittenByOtherProducers) {
    const std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<plist version=\"1.0\"><dict>"
        "<key>state</key><string>installing</string>"
        "<key>progress</key><real>0.5</real>"
        "<key>build</key><integer>1234</integer>"
        "<key>payload</key><data>AAEC/w==</data>"
        "<key>at</key><date>2026-01-05T09:00:00Z</date>"
        "</dict></plist>";
    auto v = PropertyList::read(bytesOf(xml));
    ASSERT_TRUE(v.ok()) << v.error();
    EXPECT_EQ((*v)["state"]->asString(), "installing");
    EXPECT_EQ((*v)["progress"]->asReal(), 0.5);
    EXPECT_EQ((*v)["build"]->asInteger(), 1234);
    EXPECT_EQ(*(*v)["payload"]->asData(), (PlistValue::Data{0, 1, 2, 255}));
    EXPECT_EQ((*v)["at"]->asDate()->secondsSince1970, 1767603600.0);

    // A binary list whose top object is a bare string, laid out by hand.
    std::vector<uint8_t> bin = bytesOf("bplist00");
    bin.push_back(0x52);  // ASCII string, 2 characters
    bin.push_back('h');
    bin.push_back('i');
    bin.push_back(8);  // offset table: object 0 at byte 8
    std::vector<uint8_t> trailer(32, 0);
    trailer[6] = 1;   // offset width
    trailer[7] = 1;   // reference width
    trailer[15] = 1;  // one object
    trailer[31] = 11; // offset table at byte 11
    bin.insert(bin.end(), trailer.begin(), trailer.end());
    auto s = PropertyList::read(bin);
    ASSERT_TRUE(s.ok()) << s.error();
    EXPECT_EQ(s->asString(), "hi");
}

TEST(FoundationPropertyList, CorruptOrTruncatedInputFailsCleanly) {
    EXPECT_FALSE(PropertyList::read({}).ok());
    EXPECT_FALSE(PropertyList::read(bytesOf("hello")).ok());
    EXPECT_FALSE(PropertyList::read(bytesOf("bplist00")).ok());
    EXPECT_FALSE(PropertyList::read(bytesOf("<plist><dict><key>a</key>")).ok());

    auto good = PropertyList::writeBinary(sampleDocument());
    // Every truncation of a valid binary list is refused or yields some value,
    // without crashing; the whole list still reads.
    for (size_t n = 0; n < good.size(); ++n) {
        auto r = PropertyList::read(std::span<const uint8_t>(good.data(), n));
        EXPECT_FALSE(r.ok() && *r == sampleDocument()) << n;
    }
    // Flipping bytes, one at a time, must never crash.
    for (size_t i = 0; i < good.size(); ++i) {
        auto damaged = good;
        damaged[i] ^= 0xFF;
        (void)PropertyList::read(damaged);
    }
    auto xml = PropertyList::writeXML(sampleDocument());
    for (size_t n = 0; n < xml.size(); n += 7) (void)PropertyList::read(std::span<const uint8_t>(xml.data(), n));
    ASSERT_TRUE(PropertyList::read(good).ok());
}

TEST(FoundationPropertyList, DeepNestingIsRefusedBeforeParsing) {
    std::string deep = "<plist version=\"1.0\">";
    for (int i = 0; i < 100000; ++i) deep += "<array>";
    for (int i = 0; i < 100000; ++i) deep += "</array>";
    deep += "</plist>";
    auto r = PropertyList::read(bytesOf(deep));
    ASSERT_FALSE(r.ok());
    EXPECT_NE(r.error().find("deep"), std::string::npos) << r.error();

    // Unclosed openings count as well.
    std::string unclosed(200000, ' ');
    for (size_t i = 0; i + 7 <= unclosed.size(); i += 7) unclosed.replace(i, 7, "<dict>\n");
    EXPECT_FALSE(PropertyList::read(bytesOf(unclosed)).ok());

    // Nesting within the limit still reads, in both encodings.
    PlistValue v = "leaf";
    for (size_t i = 0; i < PropertyList::kMaxDepth - 1; ++i) v = PlistValue(PlistValue::Array{v});
    auto fromXml = PropertyList::read(PropertyList::writeXML(v));
    ASSERT_TRUE(fromXml.ok()) << fromXml.error();
    EXPECT_EQ(*fromXml, v);
    auto fromBin = PropertyList::read(PropertyList::writeBinary(v));
    ASSERT_TRUE(fromBin.ok()) << fromBin.error();
    EXPECT_EQ(*fromBin, v);

    // One level more is refused in binary too.
    v = PlistValue(PlistValue::Array{v, v});
    v = PlistValue(PlistValue::Array{v});
    EXPECT_FALSE(PropertyList::read(PropertyList::writeBinary(v)).ok());
}

namespace {

// A binary list of `levels` arrays, each holding `fanOut` references to the
// next one: tiny on disk, fanOut^levels nodes once every reference is
// expanded.
std::vector<uint8_t> multiplyingBinaryList(int levels, int fanOut) {
    std::vector<uint8_t> b = bytesOf("bplist00");
    std::vector<uint8_t> offsets;
    for (int i = 0; i < levels; ++i) {
        offsets.push_back(static_cast<uint8_t>(b.size()));
        b.push_back(static_cast<uint8_t>(0xA0 | fanOut));
        for (int k = 0; k < fanOut; ++k) b.push_back(static_cast<uint8_t>(i + 1));
    }
    offsets.push_back(static_cast<uint8_t>(b.size()));
    b.push_back(0x09);  // true
    uint8_t table = static_cast<uint8_t>(b.size());
    b.insert(b.end(), offsets.begin(), offsets.end());
    std::vector<uint8_t> trailer(32, 0);
    trailer[6] = 1;
    trailer[7] = 1;
    trailer[15] = static_cast<uint8_t>(levels + 1);
    trailer[31] = table;
    b.insert(b.end(), trailer.begin(), trailer.end());
    return b;
}

}  // namespace

TEST(FoundationPropertyList, SharedReferencesCannotMultiplyMemory) {
    // 2^3 leaves: fine, and shared objects come back as separate copies.
    auto small = PropertyList::read(multiplyingBinaryList(3, 2));
    ASSERT_TRUE(small.ok()) << small.error();
    EXPECT_EQ(small->at(1)->at(0)->at(1)->asBool(), true);

    // 14^12 nodes would never fit; refused up front.
    auto huge = PropertyList::read(multiplyingBinaryList(12, 14));
    ASSERT_FALSE(huge.ok());
    EXPECT_NE(huge.error().find("memory"), std::string::npos) << huge.error();
}

TEST(FoundationPropertyList, ObjectsReferringToThemselvesAreRefused) {
    auto b = multiplyingBinaryList(2, 1);
    // Point the second array back at the first.
    b[8 + 2 + 1] = 0;
    auto r = PropertyList::read(b);
    EXPECT_FALSE(r.ok());
}

TEST(FoundationPropertyList, DictionaryKeysThatAreNotStringsAreRefused) {
    // { 5: true } laid out by hand; the parser itself would abort on it.
    std::vector<uint8_t> b = bytesOf("bplist00");
    b.insert(b.end(), {0xD1, 0x01, 0x02, 0x10, 0x05, 0x09, 8, 11, 13});
    std::vector<uint8_t> trailer(32, 0);
    trailer[6] = 1;
    trailer[7] = 1;
    trailer[15] = 3;
    trailer[31] = 14;
    b.insert(b.end(), trailer.begin(), trailer.end());
    auto r = PropertyList::read(b);
    ASSERT_FALSE(r.ok());
    EXPECT_NE(r.error().find("key"), std::string::npos) << r.error();

    // The same list with a string key reads.
    b[11] = 0x51;  // ASCII string of one character...
    b[12] = 'k';   // ...which takes the place of the integer
    auto fixed = PropertyList::read(b);
    ASSERT_TRUE(fixed.ok()) << fixed.error();
    EXPECT_EQ((*fixed)["k"]->asBool(), true);

    // A key with a NUL character inside makes the parser abort the process
    // if it ever sees one; it must be refused before.
    b[11] = 0x51;
    b[12] = 0;
    auto nul = PropertyList::read(b);
    ASSERT_FALSE(nul.ok());
    EXPECT_NE(nul.error().find("key"), std::string::npos) << nul.error();
}

TEST(FoundationPropertyList, TextThatIsNotUtf8IsWrittenReadably) {
    PlistValue v;
    v.set("name", std::string("caf\xE9 \xF0\x9F\x98\x80 ok"));  // Latin-1 byte, then a valid emoji
    v.set(std::string("bad\xC0\xAFkey"), 1);                   // overlong encoding of '/'
    for (auto bytes : {PropertyList::writeBinary(v), PropertyList::writeXML(v)}) {
        auto back = PropertyList::read(bytes);
        ASSERT_TRUE(back.ok()) << back.error();
        EXPECT_EQ((*back)["name"]->asString(), "caf\xEF\xBF\xBD \xF0\x9F\x98\x80 ok");
        EXPECT_EQ((*back)["bad\xEF\xBF\xBD\xEF\xBF\xBDkey"]->asInteger(), 1);
    }
}
