#include "VelantrixProfiles/FileTransfer/RemoteDirectoryEntry.h"

#include <string_view>

#include "Platform/Foundation/Json.h"

std::vector<uint8_t> RemoteDirectoryEntry::encodeListing(const std::vector<RemoteDirectoryEntry>& entries,
                                                         size_t maxBytes, size_t* kept) {
    // One entry's document at a time: a whole folder's as one document
    // would cost hundreds of bytes an entry on top of the text.
    std::vector<uint8_t> text{'['};
    size_t count = 0;
    for (const auto& e : entries) {
        platform::Json item = {{"n", e.name}, {"d", e.isDirectory}, {"s", e.size}};
        if (e.modificationDate) item["t"] = e.modificationDate->secondsSince1970;
        const auto one = item.dump(-1, ' ', false, platform::Json::error_handler_t::replace);
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
