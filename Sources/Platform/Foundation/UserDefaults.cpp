#include "Platform/Foundation/UserDefaults.h"

#include <sys/stat.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <map>
#include <memory>

#include "Platform/Files/FileIO.h"
#include "Platform/Files/Folders.h"
#include "Platform/Runtime/Log.h"

namespace platform {

namespace fs = std::filesystem;

namespace {

constexpr const char* kHostSuite = "com.norvessal.host";

std::string lowercased(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// The number at the start of the text, after blanks and a '+'; anything
// after it is ignored.
template <typename Number>
std::optional<Number> parseNumber(const std::string& s) {
    Number v = 0;
    const char* begin = s.data();
    while (begin < s.data() + s.size() && (*begin == ' ' || *begin == '\t')) ++begin;
    if (begin < s.data() + s.size() && *begin == '+') ++begin;
    auto [end, ec] = std::from_chars(begin, s.data() + s.size(), v);
    if (ec != std::errc() || end == begin) return std::nullopt;
    return v;
}

int64_t clampToInteger(double d) {
    if (std::isnan(d)) return 0;
    if (d >= 9223372036854775807.0) return INT64_MAX;
    if (d <= -9223372036854775808.0) return INT64_MIN;
    return static_cast<int64_t>(d);
}

}  // namespace

UserDefaults::UserDefaults(std::string suiteName) : name_(std::move(suiteName)) {}

UserDefaults& UserDefaults::standard() { return suite(kHostSuite); }

UserDefaults& UserDefaults::suite(const std::string& name) {
    // Suites live for the whole process, like the files they stand for.
    static std::mutex registryLock;
    static auto* registry = new std::map<std::string, std::unique_ptr<UserDefaults>>();
    std::lock_guard<std::mutex> g(registryLock);
    auto& slot = (*registry)[name];
    if (!slot) slot = std::make_unique<UserDefaults>(name);
    return *slot;
}

fs::path UserDefaults::filePath() const { return Folders::preferences() / (name_ + ".plist"); }

fs::path UserDefaults::refreshLocked() const {
    fs::path path = filePath();
    FileStamp stamp = FileStamp::of(path);
    if (path == cachedPath_ && stamp == cachedStamp_) return path;
    cachedPath_ = path;
    cachedStamp_ = stamp;
    values_.clear();
    if (!stamp.exists) return path;
    auto bytes = FileIO::readAll(path);
    if (!bytes) {
        Log::line("defaults: cannot read " + path.string() + ": " + bytes.error());
        return path;
    }
    auto plist = PropertyList::read(*bytes);
    if (!plist || !plist->isDictionary()) {
        Log::line("defaults: ignoring unreadable settings file " + path.string() + ": " +
                  (plist ? std::string("not a dictionary") : plist.error()));
        return path;
    }
    values_ = std::move(*plist->asDictionary());
    return path;
}

void UserDefaults::persistLocked(const fs::path& path) {
    auto bytes = PropertyList::writeBinary(PlistValue(values_));
    auto written = FileIO::writeAtomically(path, bytes, fs::perms::owner_read | fs::perms::owner_write);
    if (!written) {
        // The value stays in effect for this process; only persisting failed.
        Log::line("defaults: cannot save " + path.string() + ": " + written.error());
        return;
    }
    cachedStamp_ = FileStamp::of(path);
}

std::optional<PlistValue> UserDefaults::objectForKey(const std::string& key) const {
    std::lock_guard<std::mutex> g(lock_);
    refreshLocked();
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return it->second;
}

bool UserDefaults::boolForKey(const std::string& key) const {
    auto v = objectForKey(key);
    if (!v) return false;
    if (auto b = v->asBool()) return *b;
    if (v->isInteger()) return v->asInteger() != int64_t{0};
    if (auto d = v->asReal()) return *d != 0;
    if (auto s = v->asString()) {
        std::string l = lowercased(*s);
        if (l == "yes" || l == "true") return true;
        if (auto i = parseNumber<int64_t>(l)) return *i != 0;
    }
    return false;
}

int64_t UserDefaults::integerForKey(const std::string& key) const {
    auto v = objectForKey(key);
    if (!v) return 0;
    if (auto i = v->asInteger()) return *i;
    if (v->isInteger()) return INT64_MAX;  // unsigned beyond the signed range
    if (auto b = v->asBool()) return *b ? 1 : 0;
    if (auto d = v->asReal()) return clampToInteger(*d);
    if (auto s = v->asString()) {
        std::string l = lowercased(*s);
        if (l == "yes" || l == "true") return 1;
        if (auto i = parseNumber<int64_t>(l)) return *i;
        if (auto d = parseNumber<double>(l)) return clampToInteger(*d);
    }
    return 0;
}

double UserDefaults::doubleForKey(const std::string& key) const {
    auto v = objectForKey(key);
    if (!v) return 0;
    if (auto d = v->asReal()) return *d;
    if (auto i = v->asInteger()) return static_cast<double>(*i);
    if (auto u = v->asUnsigned()) return static_cast<double>(*u);
    if (auto b = v->asBool()) return *b ? 1 : 0;
    if (auto s = v->asString()) {
        std::string l = lowercased(*s);
        if (l == "yes" || l == "true") return 1;
        if (auto d = parseNumber<double>(l)) return *d;
    }
    return 0;
}

std::string UserDefaults::stringForKey(const std::string& key) const {
    auto v = objectForKey(key);
    if (!v) return {};
    if (auto s = v->asString()) return *s;
    if (auto i = v->asInteger()) return std::to_string(*i);
    if (auto u = v->asUnsigned()) return std::to_string(*u);
    if (auto d = v->asReal()) {
        char buf[32];
        auto [end, ec] = std::to_chars(buf, buf + sizeof buf, *d);
        return ec == std::errc() ? std::string(buf, end) : std::string();
    }
    return {};
}

void UserDefaults::set(const std::string& key, PlistValue value) {
    std::lock_guard<std::mutex> g(lock_);
    fs::path path = refreshLocked();
    values_.insert_or_assign(key, std::move(value));
    persistLocked(path);
}

void UserDefaults::removeObject(const std::string& key) {
    std::lock_guard<std::mutex> g(lock_);
    fs::path path = refreshLocked();
    if (values_.erase(key) == 0) return;
    persistLocked(path);
}

}  // namespace platform
