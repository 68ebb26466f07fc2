#pragma once
// Turns the process, for good, into another account: a Host started as
// root for the console user becomes that user before it touches a file,
// a socket or a child process, so the kernel decides every right exactly
// as for a Host the user started, and nothing afterwards can take root
// back.

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Foundation/Result.h"

namespace platform {

struct ProcessUser {
    // An account as the directory service knows it.
    struct Account {
        std::string name;
        uid_t uid = 0;
        gid_t gid = 0;
        // Supplementary groups, the primary one among them.
        std::vector<gid_t> groups;
        std::filesystem::path home;
    };

    // The account named so; none when the directory does not know it.
    static std::optional<Account> named(const std::string& name);

    // Takes the account's groups, gid and uid for every thread of the
    // process, then checks that root cannot be had back; HOME, USER,
    // LOGNAME come from the account and the XDG folders follow its home.
    // Call it before any thread is started. A failure says which step
    // failed; the process must not go on then.
    static Status become(const Account& account);
};

}  // namespace platform
