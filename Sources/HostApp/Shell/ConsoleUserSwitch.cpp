#include "HostApp/Shell/ConsoleUserSwitch.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "Platform/Files/Folders.h"
#include "Platform/Runtime/ProcessUser.h"

namespace fs = std::filesystem;

platform::Status ConsoleUserSwitch::becomeConsoleUser(const std::optional<std::string>& consoleUser) {
    if (!consoleUser || ::geteuid() != 0) return platform::success();
    const auto account = platform::ProcessUser::named(*consoleUser);
    if (!account) return platform::Status::failure("no account is named " + *consoleUser);
    if (account->uid == 0) return platform::success();
    if (auto became = platform::ProcessUser::become(*account); !became)
        return platform::Status::failure("cannot become " + *consoleUser + ": " + became.error());
    return platform::success();
}

platform::Status ConsoleUserSwitch::checkDataRoot() {
    const auto root = platform::Folders::overrideRoot();
    if (!root) return platform::success();
    std::error_code error;
    fs::create_directories(*root, error);
    if (error) return platform::Status::failure("cannot use the data root " + root->string() + ": cannot make it: " +
                                                error.message());
    if (!fs::is_directory(*root, error))
        return platform::Status::failure("cannot use the data root " + root->string() + ": it is not a folder");
    if (::access(root->c_str(), R_OK | W_OK | X_OK) != 0)
        return platform::Status::failure("cannot use the data root " + root->string() +
                                         ": no right to read, write and enter it (" + std::strerror(errno) + ")");
    return platform::success();
}
