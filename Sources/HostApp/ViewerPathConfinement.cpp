#include "HostApp/ViewerPathConfinement.h"

#include <pwd.h>
#include <unistd.h>

#include <system_error>
#include <vector>

#include "Platform/Folders.h"

namespace fs = std::filesystem;

namespace {

std::optional<passwd> userEntry(const std::string* name, uid_t uid, std::vector<char>& buffer) {
    passwd entry{};
    passwd* found = nullptr;
    buffer.assign(16384, 0);
    const int failed = name ? getpwnam_r(name->c_str(), &entry, buffer.data(), buffer.size(), &found)
                            : getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
    if (failed != 0 || !found) return std::nullopt;
    return entry;
}

// The user this process runs as never changes, and a directory service may
// be slow to ask: looked up once, not on every Viewer request.
const std::optional<std::string>& processUserName() {
    static const std::optional<std::string> name = [] {
        std::vector<char> buffer;
        const auto process = userEntry(nullptr, ::geteuid(), buffer);
        return process && process->pw_name ? std::optional<std::string>(process->pw_name) : std::nullopt;
    }();
    return name;
}

}  // namespace

std::optional<ViewerPathConfinement> ViewerPathConfinement::forConsoleUser(const std::string& consoleUserName) {
    std::vector<char> buffer;
    if (processUserName() && consoleUserName == *processUserName()) return std::nullopt;
    fs::path home;
    if (platform::Folders::overrideRoot()) {
        home = platform::Folders::home();
    } else if (auto console = consoleUserName.empty() ? std::nullopt : userEntry(&consoleUserName, 0, buffer);
               console && console->pw_dir) {
        home = console->pw_dir;
    }
    std::error_code error;
    if (!home.empty()) home = fs::weakly_canonical(home, error);
    if (error) home.clear();
    return ViewerPathConfinement(home);
}

bool ViewerPathConfinement::allows(const fs::path& path) const {
    if (home_.empty() || !path.is_absolute()) return false;
    std::error_code error;
    const fs::path resolved = fs::weakly_canonical(path, error);
    if (error) return false;
    return platform::Folders::contains(home_, resolved);
}
