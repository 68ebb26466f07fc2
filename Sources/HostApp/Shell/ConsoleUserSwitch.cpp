#include "HostApp/Shell/ConsoleUserSwitch.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "Platform/Files/Folders.h"
#include "Platform/Runtime/ProcessUser.h"

namespace fs = std::filesystem;

platform::Status ConsoleUserSwitch::becomeConsoleUser(const std::optional<std::string>& consoleUser) {
    if (!consoleUser) return platform::success();
    const auto account = platform::ProcessUser::named(*consoleUser);
    if (::geteuid() != 0) {
        // Only root can become another account; served as this one, every
        // login for the other would fail, the password check being this
        // account's. A lookup that found nothing (a directory not yet
        // answering at boot) is no reason to stop a Host that may be this
        // account's own.
        if (account && account->uid != ::geteuid())
            return platform::Status::failure("only root can run the Host for another account (" + *consoleUser +
                                             "); run it as that account");
        return platform::success();
    }
    if (!account) return platform::Status::failure("no account is named " + *consoleUser);
    if (account->uid == 0) return platform::success();
    if (auto became = platform::ProcessUser::become(*account); !became)
        return platform::Status::failure("cannot become " + *consoleUser + ": " + became.error());
    return platform::success();
}

platform::Status ConsoleUserSwitch::checkDataRoot() {
    const auto root = platform::Folders::overrideRoot();
    if (!root) return platform::success();
    auto refused = [&](const std::string& why) {
        return platform::Status::failure("cannot use the data root " + root->string() + ": " + why);
    };
    // The user's files all lie below its home; the machine's part may be
    // an administrator's, as on a real machine, so only the home must be
    // the user's to use.
    const fs::path home = platform::Folders::home();
    std::error_code error;
    fs::create_directories(home, error);
    if (error) return refused("cannot make " + home.string() + ": " + error.message());
    if (::access(home.c_str(), R_OK | W_OK | X_OK) != 0)
        return refused("no right to read, write and enter " + home.string() + " (" + std::strerror(errno) + ")");
    return platform::success();
}
