#pragma once
// The console user's home when the Host runs as root for that user: the
// Host keeps its own files there (settings, identity key, lock, caches,
// login item), and the user, who owns the home, may swap any folder of it
// for a link. Set up before the Host touches any of those files.

#include <string>

#include "Platform/Foundation/Result.h"

struct ConsoleUserHome {
    // Run as root for another console user: makes the home below a data
    // root as that user's when it is missing, and has every file of the
    // Host's own below the user's home reached from the home down, never
    // through a link, and made as the user's. Nothing when the Host runs as
    // the console user or not as root, or when the user is unknown. A
    // failure says what could not be done; the rest is done all the same.
    static platform::Status adopt(const std::string& consoleUserName);
};
