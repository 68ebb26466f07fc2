#include "Platform/Foundation/Bundle.h"

#include <algorithm>
#include <memory>
#include <mutex>

#include "Platform/Files/FileIO.h"
#include "Platform/Foundation/Locale.h"
#include "Platform/Runtime/Log.h"
#include "Platform/Foundation/PropertyList.h"
#include "Platform/Foundation/StringsTable.h"

#ifndef NORVESSAL_VERSION
#define NORVESSAL_VERSION "0.0.0"
#endif
#ifndef NORVESSAL_BUILD
#define NORVESSAL_BUILD NORVESSAL_VERSION
#endif

namespace platform {

namespace fs = std::filesystem;

namespace {

std::mutex mainLock;
std::optional<Bundle> mainOverride;

Bundle realMain() {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    std::map<std::string, std::string> info{{"CFBundleShortVersionString", NORVESSAL_VERSION},
                                            {"CFBundleVersion", NORVESSAL_BUILD}};
    if (ec || exe.empty()) return Bundle(fs::current_path(ec), std::nullopt, std::move(info));
    return Bundle(exe.parent_path(), exe, std::move(info));
}

// Parsed tables by file, kept while the file's size and modification time
// stay the same; a missing file is an empty table.
class TableCache {
public:
    std::shared_ptr<const StringsTable::Entries> table(const fs::path& path) {
        const FileStamp stamp = FileStamp::of(path);
        std::lock_guard<std::mutex> g(lock_);
        auto& slot = tables_[path];
        if (slot.entries && slot.stamp == stamp) return slot.entries;
        slot.stamp = stamp;
        slot.entries = std::make_shared<const StringsTable::Entries>(load(path, stamp));
        return slot.entries;
    }

private:
    struct Slot {
        FileStamp stamp;
        std::shared_ptr<const StringsTable::Entries> entries;
    };

    static StringsTable::Entries load(const fs::path& path, const FileStamp& stamp) {
        if (!stamp.exists) return {};
        auto bytes = FileIO::readAll(path, StringsTable::maxBytes);
        std::string error;
        std::optional<StringsTable::Entries> parsed;
        if (!bytes.ok())
            error = bytes.error();
        else
            parsed = StringsTable::parse(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()),
                                         &error);
        if (parsed) return std::move(*parsed);
        Log::line("localization: ignoring table " + path.string() + ": " + error);
        return {};
    }

    std::mutex lock_;
    std::map<fs::path, Slot> tables_;
};

TableCache& tableCache() {
    static auto* cache = new TableCache();
    return *cache;
}

std::string asciiLower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// The identifiers to try for one preferred language, best first.
std::vector<std::string> candidatesFor(const std::string& language) {
    std::vector<std::string> out{language};
    std::vector<std::string> parts;
    for (size_t start = 0; start <= language.size();) {
        size_t dash = language.find('-', start);
        if (dash == std::string::npos) dash = language.size();
        parts.push_back(asciiLower(language.substr(start, dash - start)));
        start = dash + 1;
    }
    if (parts.front() == "zh") {
        for (size_t i = 1; i < parts.size(); ++i) {
            const std::string& p = parts[i];
            if (p == "hans" || p == "cn" || p == "sg") {
                out.push_back("zh-Hans");
                break;
            }
            if (p == "hant" || p == "tw" || p == "hk" || p == "mo") {
                out.push_back("zh-Hant");
                break;
            }
        }
    }
    out.push_back(language.substr(0, language.find('-')));
    return out;
}

// The string values of an information property list; values of other
// kinds count as missing. An information list is a few kilobytes: anything
// far larger is no bundle's.
std::map<std::string, std::string> infoValues(const fs::path& plist) {
    std::map<std::string, std::string> out;
    auto bytes = FileIO::readAll(plist, 1024 * 1024);
    if (!bytes) return out;
    auto root = PropertyList::read(*bytes);
    if (!root || !root->isDictionary()) return out;
    for (const auto& [key, value] : *root->asDictionary())
        if (auto text = value.asString()) out.emplace(key, *text);
    return out;
}

}  // namespace

Bundle::Bundle(fs::path path, std::optional<fs::path> executablePath, std::map<std::string, std::string> info)
    : path_(std::move(path)), executable_(std::move(executablePath)), info_(std::move(info)) {}

Bundle Bundle::main() {
    {
        std::lock_guard<std::mutex> g(mainLock);
        if (mainOverride) return *mainOverride;
    }
    static const Bundle real = realMain();
    return real;
}

void Bundle::setMainForTesting(std::optional<Bundle> bundle) {
    std::lock_guard<std::mutex> g(mainLock);
    mainOverride = std::move(bundle);
}

std::optional<Bundle> Bundle::open(const fs::path& folder) {
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) return std::nullopt;
    return Bundle(folder, std::nullopt, infoValues(folder / "Contents" / "Info.plist"));
}

std::optional<std::string> Bundle::infoString(const std::string& key) const {
    auto it = info_.find(key);
    if (it == info_.end()) return std::nullopt;
    return it->second;
}

fs::path Bundle::resourcePath() const {
    std::error_code ec;
    fs::path inner = path_ / "Resources";
    return fs::is_directory(inner, ec) ? inner : path_;
}

std::optional<fs::path> Bundle::pathForResource(const std::string& name, const std::string& type) const {
    if (name.empty() || name.find('/') != std::string::npos) return std::nullopt;
    fs::path p = resourcePath() / (type.empty() ? name : name + "." + type);
    std::error_code ec;
    if (!fs::exists(p, ec)) return std::nullopt;
    return p;
}

std::vector<std::string> Bundle::localizations() const {
    std::vector<std::string> out;
    std::error_code ec;
    for (fs::directory_iterator it(resourcePath(), ec), end; !ec && it != end; it.increment(ec)) {
        if (it->path().extension() == ".lproj" && it->is_directory(ec)) out.push_back(it->path().stem().string());
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::optional<std::string> Bundle::preferredLocalization() const {
    const std::vector<std::string> carried = localizations();
    for (const std::string& language : Locale::preferredLanguages()) {
        for (const std::string& candidate : candidatesFor(language)) {
            if (std::find(carried.begin(), carried.end(), candidate) != carried.end()) return candidate;
            // English is the language the texts are written in: it needs no
            // table, and preferring it must not fall through to the next one.
            if (candidate == "en") return std::nullopt;
        }
    }
    return std::nullopt;
}

std::string Bundle::localizedString(const std::string& key, const std::string& value, const std::string& table) const {
    const std::string file = (table.empty() ? std::string("Localizable") : table) + ".strings";
    std::vector<fs::path> tables;
    if (auto language = preferredLocalization()) tables.push_back(resourcePath() / (*language + ".lproj") / file);
    tables.push_back(resourcePath() / file);
    for (const fs::path& path : tables) {
        auto entries = tableCache().table(path);
        auto found = entries->find(key);
        if (found != entries->end()) return found->second;
    }
    return value.empty() ? key : value;
}

}  // namespace platform
