#pragma once
// A Host started as root for another console user becomes that user before
// it does anything with files, sockets or child processes; every file of
// the Host's and of the Viewers' is then made and read with the user's own
// rights and umask, as if the user had started it, in a session of its own
// with a login's environment, out of reach of the terminal root started it
// from. Then the data root is checked as that user can use it.

#include <optional>
#include <string>

#include "Platform/Foundation/Result.h"

struct ConsoleUserSwitch {
    // Becomes `consoleUser` when the process is root and the name is
    // another account's; nothing when the account is the process's own, or
    // root's. Another account asked of a process that is not root fails, as
    // do, for root, an unknown name or IDs that did not take: a Host must
    // not serve that user's Viewers as root, nor with another account's
    // password check.
    static platform::Status becomeConsoleUser(const std::optional<std::string>& consoleUser);
    // The data root's home, when a data root is set, made if missing and
    // usable (read, write, search) by the process; a failure names the path
    // and what is missing.
    static platform::Status checkDataRoot();
};
