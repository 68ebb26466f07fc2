#include "Platform/AppKit/Pasteboard.h"

#include <algorithm>

#include "Platform/Foundation/HexDigits.h"
#include "Platform/Foundation/PropertyList.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"

namespace platform {

namespace {

SimulatedPasteboards& pasteboards() { return SimulatedMachine::current().component<SimulatedPasteboards>(); }

std::vector<uint8_t> bytesOf(const std::string& s) { return {s.begin(), s.end()}; }

bool isUnreservedInPath(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~' || c == '/';
}

}  // namespace

Pasteboard Pasteboard::general() { return Pasteboard(generalName); }
Pasteboard Pasteboard::drag() { return Pasteboard(dragName); }

int Pasteboard::changeCount() const {
    return pasteboards().withContents(name_, [](SimulatedPasteboards::Contents& c) { return c.changeCount; });
}

int Pasteboard::clearContents() {
    return pasteboards().withContents(name_, [](SimulatedPasteboards::Contents& c) {
        c.items.clear();
        return ++c.changeCount;
    });
}

std::vector<PasteboardType> Pasteboard::types() const {
    return pasteboards().withContents(name_, [](SimulatedPasteboards::Contents& c) {
        std::vector<PasteboardType> types;
        for (const auto& item : c.items)
            for (const auto& [type, data] : item)
                if (std::find(types.begin(), types.end(), type) == types.end()) types.push_back(type);
        return types;
    });
}

std::optional<std::vector<uint8_t>> Pasteboard::dataForType(const PasteboardType& type) const {
    return pasteboards().withContents(
        name_, [&](SimulatedPasteboards::Contents& c) -> std::optional<std::vector<uint8_t>> {
            for (const auto& item : c.items)
                if (auto it = item.find(type); it != item.end()) return it->second;
            return std::nullopt;
        });
}

std::optional<std::string> Pasteboard::stringForType(const PasteboardType& type) const {
    auto data = dataForType(type);
    if (!data) return std::nullopt;
    return std::string(data->begin(), data->end());
}

void Pasteboard::setData(std::span<const uint8_t> data, const PasteboardType& type) {
    pasteboards().withContents(name_, [&](SimulatedPasteboards::Contents& c) {
        if (c.items.empty()) c.items.emplace_back();
        c.items.front()[type].assign(data.begin(), data.end());
    });
}

void Pasteboard::setString(const std::string& text, const PasteboardType& type) { setData(bytesOf(text), type); }

bool Pasteboard::writeFileURLs(const std::vector<std::filesystem::path>& paths) {
    std::vector<SimulatedPasteboards::Item> items;
    for (const auto& path : paths) {
        if (!path.is_absolute()) return false;
        items.push_back({{kPasteboardTypeFileURL, bytesOf(fileURLString(path))}});
    }
    pasteboards().withContents(name_, [&](SimulatedPasteboards::Contents& c) {
        c.items.insert(c.items.end(), items.begin(), items.end());
    });
    return true;
}

std::vector<std::filesystem::path> Pasteboard::readFileURLs() const {
    std::vector<std::filesystem::path> paths;
    const auto items = pasteboards().withContents(name_, [](SimulatedPasteboards::Contents& c) { return c.items; });
    for (const auto& item : items) {
        auto url = item.find(kPasteboardTypeFileURL);
        if (url == item.end()) continue;
        if (auto path = pathFromFileURLString(std::string(url->second.begin(), url->second.end())))
            paths.push_back(*path);
    }
    if (!paths.empty()) return paths;
    auto legacy = dataForType(kPasteboardTypeLegacyFilenames);
    if (!legacy) return paths;
    auto list = PropertyList::read(*legacy);
    if (!list.ok() || !list->isArray()) return paths;
    for (const auto& entry : *list->asArray()) {
        auto text = entry.asString();
        if (text && !text->empty() && text->front() == '/') paths.emplace_back(*text);
    }
    return paths;
}

bool Pasteboard::writeImage(const BitmapImage& image) {
    auto tiff = image.tiffRepresentation();
    if (!tiff.ok()) return false;
    pasteboards().withContents(name_, [&](SimulatedPasteboards::Contents& c) {
        c.items.push_back({{kPasteboardTypeTIFF, std::move(*tiff)}});
    });
    return true;
}

std::string Pasteboard::fileURLString(const std::filesystem::path& path) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string url = "file://";
    for (unsigned char c : path.string()) {
        if (isUnreservedInPath(c)) {
            url += static_cast<char>(c);
        } else {
            url += '%';
            url += hex[c >> 4];
            url += hex[c & 0xF];
        }
    }
    return url;
}

std::optional<std::filesystem::path> Pasteboard::pathFromFileURLString(const std::string& url) {
    std::string_view rest(url);
    if (rest.substr(0, 7) != "file://") return std::nullopt;
    rest.remove_prefix(7);
    if (rest.substr(0, 9) == "localhost") rest.remove_prefix(9);
    if (rest.empty() || rest.front() != '/') return std::nullopt;
    std::string path;
    for (size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] != '%') {
            path += rest[i];
            continue;
        }
        if (i + 2 >= rest.size()) return std::nullopt;
        const int hi = hexDigitValue(rest[i + 1]), lo = hexDigitValue(rest[i + 2]);
        if (hi < 0 || lo < 0 || (hi == 0 && lo == 0)) return std::nullopt;
        path += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return std::filesystem::path(path);
}

}  // namespace platform
