#include "Platform/Foundation/PropertyList.h"
#include "Platform/Foundation/UnicodeText.h"

#include <plist/plist.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

namespace platform {

// ---------------------------------------------------------------------------
// PlistValue

std::optional<bool> PlistValue::asBool() const {
    if (auto b = std::get_if<bool>(&v_)) return *b;
    return std::nullopt;
}

std::optional<int64_t> PlistValue::asInteger() const {
    if (auto i = std::get_if<int64_t>(&v_)) return *i;
    return std::nullopt;
}

std::optional<uint64_t> PlistValue::asUnsigned() const {
    if (auto u = std::get_if<uint64_t>(&v_)) return *u;
    if (auto i = std::get_if<int64_t>(&v_); i && *i >= 0) return static_cast<uint64_t>(*i);
    return std::nullopt;
}

std::optional<double> PlistValue::asReal() const {
    if (auto d = std::get_if<double>(&v_)) return *d;
    return std::nullopt;
}

std::optional<std::string> PlistValue::asString() const {
    if (auto s = std::get_if<std::string>(&v_)) return *s;
    return std::nullopt;
}

std::optional<Date> PlistValue::asDate() const {
    if (auto d = std::get_if<Date>(&v_)) return *d;
    return std::nullopt;
}

const PlistValue::Data* PlistValue::asData() const { return std::get_if<Data>(&v_); }
const PlistValue::Array* PlistValue::asArray() const { return std::get_if<Array>(&v_); }
PlistValue::Array* PlistValue::asArray() { return std::get_if<Array>(&v_); }
const PlistValue::Dictionary* PlistValue::asDictionary() const { return std::get_if<Dictionary>(&v_); }
PlistValue::Dictionary* PlistValue::asDictionary() { return std::get_if<Dictionary>(&v_); }

const PlistValue* PlistValue::operator[](const std::string& key) const {
    auto d = asDictionary();
    if (!d) return nullptr;
    auto it = d->find(key);
    return it == d->end() ? nullptr : &it->second;
}

const PlistValue* PlistValue::at(size_t index) const {
    auto a = asArray();
    return a && index < a->size() ? &(*a)[index] : nullptr;
}

PlistValue& PlistValue::set(const std::string& key, PlistValue value) {
    if (!isDictionary()) v_ = Dictionary{};
    std::get<Dictionary>(v_)[key] = std::move(value);
    return *this;
}

PlistValue& PlistValue::append(PlistValue value) {
    if (!isArray()) v_ = Array{};
    std::get<Array>(v_).push_back(std::move(value));
    return *this;
}

// ---------------------------------------------------------------------------
// Encoding through libplist

namespace {

// Dates travel as seconds since 2001-01-01 00:00:00 UTC.
constexpr double kSeconds1970To2001 = 978307200.0;

// What one node costs once expanded, beyond its payload bytes; a generous
// estimate of the parser's node plus our own value.
constexpr uint64_t kNodeCost = 128;

// Property-list strings are Unicode. Bytes that are not valid UTF-8 (a
// Linux file name may hold any bytes; a hostile list may declare any bytes
// ASCII) would make the encoder write a list that cannot be read back, so
// each invalid sequence becomes U+FFFD on the way in and on the way out.
std::string validUtf8(std::string_view s) {
    if (UnicodeText::isValidUTF8(s)) return std::string(s);
    std::string out;
    out.reserve(s.size() + 8);
    size_t i = 0;
    while (i < s.size()) {
        // Take the longest valid sequence starting here, else one bad byte.
        size_t taken = 0;
        for (size_t len = 1; len <= 4 && i + len <= s.size(); ++len) {
            if (UnicodeText::isValidUTF8(s.substr(i, len))) {
                taken = len;
                break;
            }
        }
        if (taken) {
            out.append(s.substr(i, taken));
            i += taken;
        } else {
            out.append("\xEF\xBF\xBD");
            ++i;
        }
    }
    return out;
}

struct PlistDeleter {
    void operator()(void* p) const { plist_free(static_cast<plist_t>(p)); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

// libplist keeps integers as 64 bits plus a width; values above INT64_MAX
// only keep their unsigned meaning when parsed, so build them that way.
plist_t newUnsignedAboveInt64(uint64_t u) {
    char xml[160];
    int n = std::snprintf(xml, sizeof xml, "<plist version=\"1.0\"><integer>%llu</integer></plist>",
                          static_cast<unsigned long long>(u));
    plist_t node = nullptr;
    plist_from_xml(xml, static_cast<uint32_t>(n), &node);
    return node ? node : plist_new_uint(u);
}

// Dates are whole microseconds since 2001 as far as libplist goes (seconds
// and microseconds, the seconds an int32). The conversions run in long
// double so that a date read back converts to exactly the microseconds it
// was written with.
constexpr int64_t kMicrosPerSecond = 1000000;
constexpr int64_t kMinDateMicros = int64_t{std::numeric_limits<int32_t>::min()} * kMicrosPerSecond;
constexpr int64_t kMaxDateMicros = int64_t{std::numeric_limits<int32_t>::max()} * kMicrosPerSecond + 999999;

int64_t microsSince2001(Date d) {
    long double s = static_cast<long double>(d.secondsSince1970) - static_cast<long double>(kSeconds1970To2001);
    if (!std::isfinite(s)) return 0;
    long double micros = std::round(s * 1e6L);
    if (micros < static_cast<long double>(kMinDateMicros)) return kMinDateMicros;
    if (micros > static_cast<long double>(kMaxDateMicros)) return kMaxDateMicros;
    return static_cast<int64_t>(micros);
}

Date dateFromMicros(int64_t micros) {
    return Date{static_cast<double>(static_cast<long double>(kSeconds1970To2001) +
                                    static_cast<long double>(micros) / 1e6L)};
}

plist_t newDate(Date d, bool wholeSeconds) {
    int64_t micros = microsSince2001(d);
    int64_t sec = micros / kMicrosPerSecond, usec = micros % kMicrosPerSecond;
    if (usec < 0) sec -= 1, usec += kMicrosPerSecond;
    if (wholeSeconds) usec = 0;
    return plist_new_date(static_cast<int32_t>(sec), static_cast<int32_t>(usec));
}

plist_t toNode(const PlistValue& v, bool wholeSecondDates) {
    if (auto b = v.asBool()) return plist_new_bool(*b ? 1 : 0);
    if (auto i = v.asInteger()) return plist_new_uint(static_cast<uint64_t>(*i));
    if (auto u = v.asUnsigned()) return newUnsignedAboveInt64(*u);
    if (auto r = v.asReal()) return plist_new_real(*r);
    if (auto s = v.asString()) return plist_new_string(validUtf8(*s).c_str());
    if (auto d = v.asDate()) return newDate(*d, wholeSecondDates);
    if (auto data = v.asData())
        return plist_new_data(reinterpret_cast<const char*>(data->data()), data->size());
    if (auto a = v.asArray()) {
        plist_t node = plist_new_array();
        for (const auto& e : *a) plist_array_append_item(node, toNode(e, wholeSecondDates));
        return node;
    }
    plist_t node = plist_new_dict();
    for (const auto& [k, e] : *v.asDictionary()) plist_dict_set_item(node, validUtf8(k).c_str(), toNode(e, wholeSecondDates));
    return node;
}

// A node with the top bit set is either a negative signed value or an
// unsigned one above INT64_MAX; only its written form tells them apart.
bool isNegativeSigned(plist_t node) {
    PlistPtr copy(plist_copy(node));
    char* xml = nullptr;
    uint32_t len = 0;
    plist_to_xml(static_cast<plist_t>(copy.get()), &xml, &len);
    if (!xml) return true;
    bool negative = std::strstr(xml, "<integer>-") != nullptr;
    plist_to_xml_free(xml);
    return negative;
}

Result<PlistValue> fromNode(plist_t node, size_t depth) {
    using R = Result<PlistValue>;
    if (depth > PropertyList::kMaxDepth) return R::failure("property list nested too deeply");
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            uint8_t b = 0;
            plist_get_bool_val(node, &b);
            return PlistValue(b != 0);
        }
        case PLIST_UINT:
        case PLIST_UID: {
            uint64_t u = 0;
            if (plist_get_node_type(node) == PLIST_UID) plist_get_uid_val(node, &u);
            else plist_get_uint_val(node, &u);
            if (u > static_cast<uint64_t>(INT64_MAX) && plist_get_node_type(node) == PLIST_UINT &&
                isNegativeSigned(node))
                return PlistValue(static_cast<int64_t>(u));
            return PlistValue(u);
        }
        case PLIST_REAL: {
            double d = 0;
            plist_get_real_val(node, &d);
            return PlistValue(d);
        }
        case PLIST_STRING:
        case PLIST_KEY: {
            uint64_t len = 0;
            const char* s = plist_get_string_ptr(node, &len);
            return PlistValue(validUtf8(std::string_view(s ? s : "", s ? len : 0)));
        }
        case PLIST_DATE: {
            int32_t sec = 0, usec = 0;
            plist_get_date_val(node, &sec, &usec);
            // Before 2001 the parser counts both parts toward zero:
            // -4.75 s arrives as -4 s and 750000 us.
            int64_t micros = int64_t{sec} * kMicrosPerSecond + (sec < 0 ? -std::abs(int64_t{usec}) : int64_t{usec});
            return PlistValue(dateFromMicros(std::clamp(micros, kMinDateMicros, kMaxDateMicros)));
        }
        case PLIST_DATA: {
            uint64_t len = 0;
            auto p = reinterpret_cast<const uint8_t*>(plist_get_data_ptr(node, &len));
            return PlistValue(PlistValue::Data(p, p + (p ? len : 0)));
        }
        case PLIST_ARRAY: {
            PlistValue::Array out;
            uint32_t n = plist_array_get_size(node);
            out.reserve(n);
            for (uint32_t i = 0; i < n; ++i) {
                plist_t item = plist_array_get_item(node, i);
                if (!item) return R::failure("property list array is damaged");
                auto e = fromNode(item, depth + 1);
                if (!e) return e;
                out.push_back(std::move(*e));
            }
            return PlistValue(std::move(out));
        }
        case PLIST_DICT: {
            PlistValue::Dictionary out;
            plist_dict_iter it = nullptr;
            plist_dict_new_iter(node, &it);
            if (!it) return R::failure("property list dictionary is damaged");
            std::unique_ptr<void, decltype(&std::free)> iterGuard(it, &std::free);
            for (;;) {
                // The key is fetched separately: libplist asserts when asked
                // for the key text of a key node that is not a string, which
                // a hostile binary list can produce.
                plist_t val = nullptr;
                plist_dict_next_item(node, it, nullptr, &val);
                if (!val) break;
                plist_t keyNode = plist_dict_item_get_key(val);
                if (!keyNode || plist_get_node_type(keyNode) != PLIST_KEY)
                    return R::failure("property list dictionary has a key that is not a string");
                char* key = nullptr;
                plist_get_key_val(keyNode, &key);
                std::unique_ptr<char, decltype(&std::free)> keyGuard(key, &std::free);
                if (!key) return R::failure("property list dictionary has a key that is not a string");
                auto e = fromNode(val, depth + 1);
                if (!e) return e;
                out.insert_or_assign(validUtf8(key), std::move(*e));
            }
            return PlistValue(std::move(out));
        }
        default:
            return R::failure("property list holds an unsupported value");
    }
}

// --- Checks made before the parser sees the bytes ---------------------------
// The parser recurses once per nesting level and expands every reference of
// a binary list into its own copy, so deep or self-multiplying documents
// could exhaust the stack or memory. These scans bound both.

uint64_t readBigEndian(const uint8_t* p, size_t n) {
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v = v << 8 | p[i];
    return v;
}

uint64_t saturatingAdd(uint64_t a, uint64_t b) {
    return a > std::numeric_limits<uint64_t>::max() - b ? std::numeric_limits<uint64_t>::max() : a + b;
}

// Checks the structure of a binary list; `dates` receives the position of
// every reachable 8-byte date.
Status checkBinary(std::span<const uint8_t> b, std::vector<uint64_t>& dates) {
    auto bad = [](const char* why) { return Status::failure(std::string("malformed binary property list: ") + why); };
    constexpr size_t kHeader = 8, kTrailer = 32;
    if (b.size() < kHeader + kTrailer + 1) return bad("too short");
    const uint8_t* t = b.data() + b.size() - kTrailer;
    const size_t offsetSize = t[6], refSize = t[7];
    const uint64_t numObjects = readBigEndian(t + 8, 8);
    const uint64_t topObject = readBigEndian(t + 16, 8);
    const uint64_t tableOffset = readBigEndian(t + 24, 8);
    const uint64_t trailerStart = b.size() - kTrailer;
    if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8) return bad("bad field widths");
    if (numObjects == 0 || numObjects > b.size() || topObject >= numObjects) return bad("bad object count");
    if (tableOffset < kHeader || tableOffset > trailerStart ||
        numObjects * offsetSize > trailerStart - tableOffset)
        return bad("bad offset table");

    std::vector<uint64_t> offsets(numObjects);
    for (uint64_t i = 0; i < numObjects; ++i) {
        offsets[i] = readBigEndian(b.data() + tableOffset + i * offsetSize, offsetSize);
        if (offsets[i] < kHeader || offsets[i] >= tableOffset) return bad("object outside the object area");
    }

    // The references of a container object (dictionaries: keys then values)
    // and the payload bytes of any other object.
    struct Shape {
        uint8_t kind = 0;
        uint64_t count = 0, dataAt = 0;  // element count and where elements start
        uint64_t refsAt = 0, refCount = 0, payload = 0;
    };
    auto shape = [&](uint64_t obj, Shape& s) -> bool {
        uint64_t at = offsets[obj];
        uint8_t marker = b[at++];
        uint8_t kind = marker >> 4;
        uint64_t count = marker & 0x0F;
        bool counted = kind == 0x4 || kind == 0x5 || kind == 0x6 || kind == 0xA || kind == 0xC || kind == 0xD;
        if (counted && count == 0x0F) {
            if (at >= tableOffset) return false;
            uint8_t intMarker = b[at++];
            if ((intMarker >> 4) != 0x1 || (intMarker & 0x0F) > 3) return false;
            size_t width = size_t{1} << (intMarker & 0x0F);
            if (width > tableOffset - at) return false;
            count = readBigEndian(b.data() + at, width);
            at += width;
        }
        s = Shape{};
        s.kind = kind;
        s.count = count;
        s.dataAt = at;
        if (marker == 0x33) {
            if (8 > tableOffset - at) return false;
            dates.push_back(at);
        }
        if (kind == 0xA || kind == 0xC || kind == 0xD) {
            uint64_t refs = kind == 0xD ? count * 2 : count;
            if (count > tableOffset || refs * refSize > tableOffset - at) return false;
            s.refsAt = at;
            s.refCount = refs;
        } else if (counted) {
            uint64_t stored = kind == 0x6 ? saturatingAdd(count, count) : count;
            if (stored > tableOffset - at) return false;
            // UTF-16 units may grow to three UTF-8 bytes each.
            s.payload = kind == 0x6 ? count * 3 : count;
        }
        return true;
    };

    // Dictionary keys must be well-formed strings without NUL characters:
    // the parser asserts (ending the process) when a key's text is not as
    // long as it recorded.
    auto isPlainKey = [&](uint64_t obj) -> bool {
        Shape k;
        if (!shape(obj, k)) return false;
        if (k.kind == 0x5) {
            return std::memchr(b.data() + k.dataAt, 0, k.count) == nullptr;
        }
        if (k.kind == 0x6) {
            // Also whole surrogate pairs only: the parser converts a broken
            // pair into text whose length disagrees with what it records.
            for (uint64_t i = 0; i < k.count; ++i) {
                auto unit = static_cast<uint16_t>(b[k.dataAt + 2 * i] << 8 | b[k.dataAt + 2 * i + 1]);
                if (unit == 0 || (unit >= 0xDC00 && unit <= 0xDFFF)) return false;
                if (unit >= 0xD800 && unit <= 0xDBFF) {
                    if (++i == k.count) return false;
                    auto low = static_cast<uint16_t>(b[k.dataAt + 2 * i] << 8 | b[k.dataAt + 2 * i + 1]);
                    if (low < 0xDC00 || low > 0xDFFF) return false;
                }
            }
            return true;
        }
        return false;
    };

    // Depth-first over the object graph without recursion. A cycle is
    // malformed; shared objects are charged once per reference, as the
    // parser will copy them.
    enum : uint8_t { unseen, open, done };
    std::vector<uint8_t> state(numObjects, unseen);
    std::vector<uint16_t> height(numObjects, 0);
    std::vector<uint64_t> cost(numObjects, 0);
    struct Frame {
        uint64_t obj;
        Shape s;
        uint64_t next;
    };
    std::vector<Frame> stack;
    auto push = [&](uint64_t obj) -> bool {
        Shape s;
        if (!shape(obj, s)) return false;
        state[obj] = open;
        cost[obj] = saturatingAdd(kNodeCost, s.payload);
        stack.push_back(Frame{obj, s, 0});
        return true;
    };
    if (!push(topObject)) return bad("damaged object");
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (f.next == f.s.refCount) {
            uint64_t obj = f.obj;
            state[obj] = done;
            stack.pop_back();
            if (!stack.empty()) {
                uint64_t parent = stack.back().obj;
                cost[parent] = saturatingAdd(cost[parent], cost[obj]);
                height[parent] = std::max<uint16_t>(height[parent], static_cast<uint16_t>(height[obj] + 1));
                if (cost[parent] > PropertyList::kMaxExpandedBytes) return bad("expands beyond the memory limit");
            }
            continue;
        }
        uint64_t child = readBigEndian(b.data() + f.s.refsAt + f.next * refSize, refSize);
        bool isKey = f.s.kind == 0xD && f.next < f.s.count;
        ++f.next;
        if (child >= numObjects) return bad("reference to a missing object");
        if (isKey && !isPlainKey(child)) return bad("dictionary key is not a plain string");
        if (state[child] == open) return bad("object refers to itself");
        if (state[child] == done) {
            uint64_t parent = f.obj;
            cost[parent] = saturatingAdd(cost[parent], cost[child]);
            height[parent] = std::max<uint16_t>(height[parent], static_cast<uint16_t>(height[child] + 1));
            if (cost[parent] > PropertyList::kMaxExpandedBytes) return bad("expands beyond the memory limit");
            continue;
        }
        if (stack.size() > PropertyList::kMaxDepth) return bad("nested too deeply");
        if (!push(child)) return bad("damaged object");
    }
    if (height[topObject] > PropertyList::kMaxDepth) return bad("nested too deeply");
    // Two table entries may name the same bytes; each date is moved once.
    std::sort(dates.begin(), dates.end());
    dates.erase(std::unique(dates.begin(), dates.end()), dates.end());
    return success();
}

Status checkXML(std::string_view x) {
    size_t depth = 0, elements = 0;
    for (size_t i = 0; i < x.size(); ++i) {
        if (x[i] != '<') continue;
        size_t j = i + 1;
        bool closing = j < x.size() && x[j] == '/';
        if (closing) ++j;
        size_t nameStart = j;
        while (j < x.size() && ((x[j] >= 'a' && x[j] <= 'z') || (x[j] >= 'A' && x[j] <= 'Z'))) ++j;
        std::string_view name = x.substr(nameStart, j - nameStart);
        if (name.empty()) continue;
        if (!closing) ++elements;
        if (name != "array" && name != "dict") continue;
        size_t close = x.find('>', j);
        bool selfClosing = close != std::string_view::npos && close > j && x[close - 1] == '/';
        if (closing) {
            if (depth > 0) --depth;
        } else if (!selfClosing && ++depth > PropertyList::kMaxDepth) {
            return Status::failure("property list nested too deeply");
        }
    }
    if (saturatingAdd(elements * kNodeCost, x.size()) > PropertyList::kMaxExpandedBytes)
        return Status::failure("property list too large");
    return success();
}

// The parser splits a date by truncating toward zero, so a date stored a hair
// below its microsecond would lose that microsecond on every round trip.
// Moving each stored date to the middle of its microsecond makes the
// truncation land on it. The parser cannot express dates less than a second
// before 2001 (the sign is lost); those become 2001-01-01 00:00:00.
void centreDateInItsMicrosecond(uint8_t* p) {
    uint64_t bits = readBigEndian(p, 8);
    double stored;
    std::memcpy(&stored, &bits, 8);
    if (!std::isfinite(stored) || std::fabs(stored) > 4e9) return;
    long double micros = std::round(static_cast<long double>(stored) * 1e6L);
    if (micros < 0 && micros > -1e6L) micros = 0;
    double centred = static_cast<double>((micros + (micros < 0 ? -0.5L : 0.5L)) / 1e6L);
    std::memcpy(&bits, &centred, 8);
    for (int i = 7; i >= 0; --i, bits >>= 8) p[i] = static_cast<uint8_t>(bits & 0xFF);
}

std::vector<uint8_t> takeBuffer(char* p, uint32_t len, void (*release)(char*)) {
    std::vector<uint8_t> out;
    if (p) {
        out.assign(reinterpret_cast<uint8_t*>(p), reinterpret_cast<uint8_t*>(p) + len);
        release(p);
    }
    return out;
}

}  // namespace

Result<PlistValue> PropertyList::read(std::span<const uint8_t> bytes) {
    using R = Result<PlistValue>;
    if (bytes.empty()) return R::failure("empty property list");
    if (bytes.size() > kMaxExpandedBytes) return R::failure("property list too large");
    static constexpr char kMagic[] = "bplist00";
    plist_t root = nullptr;
    if (bytes.size() >= 8 && std::memcmp(bytes.data(), kMagic, 8) == 0) {
        std::vector<uint64_t> dates;
        if (auto ok = checkBinary(bytes, dates); !ok) return R::failure(ok.error());
        if (dates.empty()) {
            plist_from_bin(reinterpret_cast<const char*>(bytes.data()), static_cast<uint32_t>(bytes.size()), &root);
        } else {
            std::vector<uint8_t> copy(bytes.begin(), bytes.end());
            for (uint64_t at : dates) centreDateInItsMicrosecond(copy.data() + at);
            plist_from_bin(reinterpret_cast<const char*>(copy.data()), static_cast<uint32_t>(copy.size()), &root);
        }
    } else {
        // A terminated copy, so the text parser can never run off the end.
        std::string text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        if (auto ok = checkXML(text); !ok) return R::failure(ok.error());
        plist_from_xml(text.c_str(), static_cast<uint32_t>(text.size()), &root);
    }
    if (!root) return R::failure("not a valid property list");
    PlistPtr guard(root);
    return fromNode(root, 0);
}

std::vector<uint8_t> PropertyList::writeXML(const PlistValue& value) {
    // The XML form holds whole seconds; cutting them here keeps dates
    // before 2001 from being rounded the other way by the encoder.
    PlistPtr root(toNode(value, true));
    char* out = nullptr;
    uint32_t len = 0;
    plist_to_xml(static_cast<plist_t>(root.get()), &out, &len);
    return takeBuffer(out, len, plist_to_xml_free);
}

std::vector<uint8_t> PropertyList::writeBinary(const PlistValue& value) {
    PlistPtr root(toNode(value, false));
    char* out = nullptr;
    uint32_t len = 0;
    plist_to_bin(static_cast<plist_t>(root.get()), &out, &len);
    return takeBuffer(out, len, plist_to_bin_free);
}

}  // namespace platform
