#include "Platform/Files/Folders.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <mutex>
#include <string>
#include <vector>

#include "Platform/Files/FileHandles.h"
#include "Platform/Files/FileIO.h"
#include "Platform/Runtime/WorkLedger.h"

namespace platform {

namespace fs = std::filesystem;

namespace {

std::mutex gRootLock;
std::optional<fs::path> gOverrideRoot;

// XDG variables only count when they hold an absolute path.
std::optional<fs::path> absoluteEnv(const char* name) {
    const char* v = std::getenv(name);
    if (!v || !*v) return std::nullopt;
    fs::path p(v);
    if (!p.is_absolute()) return std::nullopt;
    return p;
}

fs::path realHome() {
    if (auto h = absoluteEnv("HOME")) return *h;
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd pw{};
    passwd* result = nullptr;
    if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &result) == 0 && result && pw.pw_dir)
        return fs::path(pw.pw_dir);
    return fs::path("/");
}

fs::path realConfigHome() {
    if (auto c = absoluteEnv("XDG_CONFIG_HOME")) return *c;
    return realHome() / ".config";
}

// A folder named in user-dirs.dirs (XDG_VIDEOS_DIR="$HOME/Videos"), read
// directly rather than by running xdg-user-dir, never waiting on something
// else put in its place.
std::optional<fs::path> userDir(const fs::path& home, const fs::path& configHome, const std::string& key) {
    // The Host's own lookup, whoever's work asks for the folder: the file
    // is read and closed at once, in the reserve kept for the Host.
    const WorkLedger::Charged hostsOwn(nullptr);
    auto bytes = FileIO::readAll(configHome / "user-dirs.dirs", 64 * 1024);
    if (!bytes) return std::nullopt;
    std::istringstream in(std::string(bytes->begin(), bytes->end()));
    std::string line;
    const std::string prefix = key + "=";
    while (std::getline(in, line)) {
        size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line.compare(start, prefix.size(), prefix) != 0) continue;
        std::string value = line.substr(start + prefix.size());
        if (value.size() < 2 || value.front() != '"' || value.back() != '"') continue;
        value = value.substr(1, value.size() - 2);
        if (value.rfind("$HOME", 0) == 0) {
            std::string rest = value.substr(5);
            if (!rest.empty() && rest.front() != '/') continue;
            // "$HOME/" alone means the feature is off; the fallback applies.
            if (rest.find_first_not_of('/') == std::string::npos) return std::nullopt;
            return home / rest.substr(1);
        }
        if (!value.empty() && value.front() == '/') return fs::path(value);
    }
    return std::nullopt;
}

}  // namespace

void Folders::setOverrideRoot(std::optional<fs::path> root) {
    std::lock_guard<std::mutex> g(gRootLock);
    gOverrideRoot = std::move(root);
}

std::optional<fs::path> Folders::overrideRoot() {
    {
        std::lock_guard<std::mutex> g(gRootLock);
        if (gOverrideRoot) return gOverrideRoot;
    }
    const char* env = std::getenv("NORVESSAL_DATA_ROOT");
    if (env && *env) return fs::absolute(fs::path(env));
    return std::nullopt;
}

fs::path Folders::home() {
    if (auto r = overrideRoot()) return *r / "home";
    return realHome();
}

std::string Folders::expandingTildeInPath(const std::string& path) {
    if (path.empty() || path[0] != '~') return path;
    const size_t slash = path.find('/');
    const std::string user = path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
    const std::string rest = slash == std::string::npos ? "" : path.substr(slash);
    if (user.empty()) return home().string() + rest;
    struct passwd entry{};
    struct passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found || !found->pw_dir)
        return path;
    return std::string(found->pw_dir) + rest;
}

fs::path Folders::caches() {
    if (auto r = overrideRoot()) return *r / "home" / ".cache";
    if (auto c = absoluteEnv("XDG_CACHE_HOME")) return *c;
    return realHome() / ".cache";
}

fs::path Folders::movies() {
    if (auto r = overrideRoot()) return *r / "home" / "Videos";
    fs::path h = realHome();
    if (auto v = userDir(h, realConfigHome(), "XDG_VIDEOS_DIR")) return *v;
    return h / "Videos";
}

fs::path Folders::applicationSupport() {
    if (auto r = overrideRoot()) return *r / "home" / ".local" / "share" / "NorvessalHost";
    if (auto d = absoluteEnv("XDG_DATA_HOME")) return *d / "NorvessalHost";
    return realHome() / ".local" / "share" / "NorvessalHost";
}

fs::path Folders::machineApplicationSupport() {
    if (auto r = overrideRoot()) return *r / "machine" / "NorvessalHost";
    return fs::path("/var/lib/norvessal-host");
}

fs::path Folders::machineLaunchDaemons() {
    if (auto r = overrideRoot()) return *r / "machine" / "LaunchDaemons";
    return fs::path("/etc/norvessal-host/LaunchDaemons");
}

fs::path Folders::machineApplications() {
    if (auto r = overrideRoot()) return *r / "machine" / "Applications";
    return fs::path("/opt");
}

fs::path Folders::preferences() {
    if (auto r = overrideRoot()) return *r / "home" / ".config" / "NorvessalHost";
    return realConfigHome() / "NorvessalHost";
}

fs::path Folders::autostart() {
    if (auto r = overrideRoot()) return *r / "home" / ".config" / "autostart";
    return realConfigHome() / "autostart";
}

namespace {
// Under an override root the user-dirs file is the one in its home.
fs::path userFolder(const std::string& key, const char* fallback) {
    const auto root = Folders::overrideRoot();
    const fs::path h = root ? *root / "home" : realHome();
    if (auto v = userDir(h, root ? h / ".config" : realConfigHome(), key)) return *v;
    return h / fallback;
}
}  // namespace

fs::path Folders::desktop() { return userFolder("XDG_DESKTOP_DIR", "Desktop"); }

fs::path Folders::downloads() { return userFolder("XDG_DOWNLOAD_DIR", "Downloads"); }

fs::path Folders::ensure(const fs::path& folder) {
    std::error_code ignored;
    fs::create_directories(folder, ignored);
    return folder;
}

bool Folders::contains(const fs::path& folder, const fs::path& item) {
    const fs::path a = item.lexically_normal(), b = folder.lexically_normal();
    auto [folderEnd, itemAt] = std::mismatch(b.begin(), b.end(), a.begin(), a.end());
    // A folder given with a trailing separator ends in an empty element.
    return folderEnd == b.end() || (std::next(folderEnd) == b.end() && folderEnd->empty());
}

}  // namespace platform
