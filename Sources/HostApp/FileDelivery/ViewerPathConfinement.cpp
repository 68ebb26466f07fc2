#include "HostApp/FileDelivery/ViewerPathConfinement.h"

#include <pwd.h>
#include <unistd.h>

#include <mutex>
#include <system_error>
#include <vector>

#include "Platform/Files/Folders.h"

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

std::mutex accountLookupLock;
std::function<std::optional<ViewerPathConfinement::Account>(const std::string&)> accountLookup;

}  // namespace

void ViewerPathConfinement::setAccountLookupForTesting(
    std::function<std::optional<Account>(const std::string& userName)> lookup) {
    std::lock_guard lock(accountLookupLock);
    accountLookup = std::move(lookup);
}

std::optional<ViewerPathConfinement> ViewerPathConfinement::forConsoleUser(const std::string& consoleUserName) {
    std::vector<char> buffer;
    if (processUserName() && consoleUserName == *processUserName()) return std::nullopt;
    std::optional<Account> account;
    bool directoryStoodIn = false;
    {
        std::lock_guard lock(accountLookupLock);
        directoryStoodIn = static_cast<bool>(accountLookup);
        if (accountLookup && !consoleUserName.empty()) account = accountLookup(consoleUserName);
    }
    const bool injected = account.has_value();
    if (!directoryStoodIn && !consoleUserName.empty()) {
        if (auto entry = userEntry(&consoleUserName, 0, buffer); entry && entry->pw_dir)
            account = Account{entry->pw_dir};
    }
    fs::path home;
    if (account && !account->home.empty()) {
        home = account->home;
    }
    // A data root stands for the whole machine, the console user's home
    // included, unless a test has named the account's own.
    if (platform::Folders::overrideRoot() && !injected) home = platform::Folders::home();
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

std::string ViewerPathConfinement::expandingTilde(const std::string& path) const {
    if (path == "~") return home_.string();
    if (path.starts_with("~/")) return home_.string() + path.substr(1);
    return path;
}

platform::Result<std::shared_ptr<platform::ConfinedFolder>> ViewerPathConfinement::openHome() const {
    using R = platform::Result<std::shared_ptr<platform::ConfinedFolder>>;
    if (home_.empty()) return R::failure("no home is allowed");
    return platform::ConfinedFolder::openTop(home_);
}

platform::Result<std::shared_ptr<platform::ConfinedFolder>> ViewerPathConfinement::openFolder(const fs::path& path,
                                                                                             bool create) const {
    using R = platform::Result<std::shared_ptr<platform::ConfinedFolder>>;
    const fs::path normal = path.lexically_normal();
    if (home_.empty() || !normal.is_absolute() || !platform::Folders::contains(home_, normal))
        return R::failure(path.string() + " is outside the console user's home");
    auto top = openHome();
    if (!top) return top;
    return (*top)->openBeneath(normal.lexically_relative(home_), create);
}
