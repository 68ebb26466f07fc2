#include "VelantrixProfiles/FileTransfer/RemoteDirectoryEntry.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string_view>

#include "Platform/Foundation/Json.h"

namespace {

// Whether a name goes into the JSON text as its own bytes: valid UTF-8
// without a quote, a backslash or a control character, as nearly every
// name is. The others are escaped by the JSON library, which also puts
// U+FFFD in place of bytes that are not UTF-8.
bool writtenAsItIs(std::string_view name) {
    const auto* p = reinterpret_cast<const unsigned char*>(name.data());
    const auto* end = p + name.size();
    while (p < end) {
        const unsigned char c = *p;
        if (c < 0x80) {
            if (c < 0x20 || c == '"' || c == '\\') return false;
            ++p;
            continue;
        }
        // The lead byte's sequence length and the range of its second byte
        // (which rules out overlong forms, surrogates and past U+10FFFF).
        size_t length = 0;
        unsigned char low = 0x80, high = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) length = 2;
        else if (c == 0xE0) length = 3, low = 0xA0;
        else if (c >= 0xE1 && c <= 0xEC) length = 3;
        else if (c == 0xED) length = 3, high = 0x9F;
        else if (c >= 0xEE && c <= 0xEF) length = 3;
        else if (c == 0xF0) length = 4, low = 0x90;
        else if (c >= 0xF1 && c <= 0xF3) length = 4;
        else if (c == 0xF4) length = 4, high = 0x8F;
        else return false;
        if (static_cast<size_t>(end - p) < length || p[1] < low || p[1] > high) return false;
        for (size_t i = 2; i < length; ++i)
            if (p[i] < 0x80 || p[i] > 0xBF) return false;
        p += length;
    }
    return true;
}

void put(std::vector<uint8_t>& out, std::string_view text) { out.insert(out.end(), text.begin(), text.end()); }

// One entry as the JSON library writes the object {"n", "d", "s", "t"}:
// its keys in their sorted order, no spaces. Written here rather than built
// as a document and dumped, which cost several allocations and a map an
// entry: a listing of a crowded folder is made on every request for it.
void appendEntry(std::vector<uint8_t>& out, const RemoteDirectoryEntry& e) {
    put(out, e.isDirectory ? "{\"d\":true,\"n\":" : "{\"d\":false,\"n\":");
    if (writtenAsItIs(e.name)) {
        out.push_back('"');
        put(out, e.name);
        out.push_back('"');
    } else {
        put(out, platform::Json(e.name).dump(-1, ' ', false, platform::Json::error_handler_t::replace));
    }
    put(out, ",\"s\":");
    char digits[24];
    put(out, {digits, std::to_chars(digits, digits + sizeof digits, e.size).ptr});
    if (e.modificationDate) {
        put(out, ",\"t\":");
        // The library's own number writer, the one its dump uses.
        const double t = e.modificationDate->secondsSince1970;
        char number[64];
        if (std::isfinite(t)) put(out, {number, nlohmann::detail::to_chars(number, number + sizeof number, t)});
        else put(out, "null");
    }
    out.push_back('}');
}

}  // namespace

std::vector<uint8_t> RemoteDirectoryEntry::encodeListing(const std::vector<RemoteDirectoryEntry>& entries,
                                                         size_t maxBytes, size_t* kept) {
    // Room for what a name written as it is takes, and the rest of its
    // entry, up to what the reply may hold: one allocation in most cases.
    size_t expected = 2;
    for (const auto& e : entries) {
        expected += e.name.size() + 64;
        if (expected >= maxBytes) break;
    }
    std::vector<uint8_t> text;
    text.reserve(std::min(expected, maxBytes));
    text.push_back('[');
    // Each entry is written apart and taken only if it fits, so that the
    // one that does not never grows the reply past its reserve.
    std::vector<uint8_t> one;
    size_t count = 0;
    for (const auto& e : entries) {
        one.clear();
        appendEntry(one, e);
        // With its comma and the closing bracket.
        if (text.size() + (count ? 1 : 0) + one.size() + 1 > maxBytes) break;
        if (count) text.push_back(',');
        text.insert(text.end(), one.begin(), one.end());
        ++count;
    }
    text.push_back(']');
    if (kept) *kept = count;
    return text;
}

std::vector<RemoteDirectoryEntry> RemoteDirectoryEntry::decodeListing(std::span<const uint8_t> data) {
    auto parsed = platform::parseJson(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
    if (!parsed || !parsed->is_array()) return {};
    std::vector<RemoteDirectoryEntry> entries;
    entries.reserve(parsed->size());
    for (const auto& item : *parsed) {
        if (!item.is_object()) return {};
        auto n = item.find("n");
        auto d = item.find("d");
        if (n == item.end() || !n->is_string() || d == item.end() || !d->is_boolean()) return {};
        RemoteDirectoryEntry entry;
        entry.name = n->get<std::string>();
        entry.isDirectory = d->get<bool>();
        if (auto s = item.find("s"); s != item.end()) {
            if (!s->is_number_unsigned()) return {};
            entry.size = s->get<uint64_t>();
        }
        if (auto t = item.find("t"); t != item.end()) {
            if (!t->is_number()) return {};
            entry.modificationDate = platform::Date{t->get<double>()};
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

size_t std::hash<RemoteDirectoryEntry>::operator()(const RemoteDirectoryEntry& e) const noexcept {
    size_t h = std::hash<std::string>{}(e.name);
    h = h * 31 + (e.isDirectory ? 1 : 0);
    h = h * 31 + std::hash<uint64_t>{}(e.size);
    if (e.modificationDate) h = h * 31 + std::hash<double>{}(e.modificationDate->secondsSince1970);
    return h;
}

bool RemoteDirectoryEntry::hasUnsafeName() const {
    return name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
           name.find('\0') != std::string::npos;
}

std::string RemoteDirectoryEntry::childPath(const std::string& folder, const std::string& name) {
    if (folder == "/") return "/" + name;
    if (folder == "~") return "~/" + name;
    return folder + "/" + name;
}
