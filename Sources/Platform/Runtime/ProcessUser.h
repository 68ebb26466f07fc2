#pragma once
// Turns the process, for good, into another account: a Host started as
// root for the console user becomes that user before it touches a file,
// a socket or a child process, so the kernel decides every right exactly
// as for a Host the user started, and nothing afterwards can take root
// back, nor reach the terminal root started it from.

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
        // The login shell; empty when the directory names none.
        std::string shell;
    };

    // The account named so; none when the directory does not know it.
    static std::optional<Account> named(const std::string& name);

    // First leaves the session the process was started in: the process
    // forks, and the parent stays behind in that session as a guard that
    // runs nothing else: it hands SIGINT, SIGTERM, SIGHUP and SIGQUIT on to
    // the child, and when the child ends, ends the same way (its exit
    // status, or its fatal signal). The child goes on in a session of its
    // own with no controlling terminal, standard input from /dev/null and
    // no descriptor above standard error, so whatever runs in it can
    // neither open /dev/tty nor type into the terminal (TIOCSTI), while its
    // output still shows there and a Ctrl-C there still ends it.
    // Then the child takes the account's groups, gid and uid, checks that
    // root cannot be had back, and takes the environment and working
    // folder a login of the account gives: HOME, USER, LOGNAME, SHELL and
    // PATH from the account, the terminal type, language, time zone and the
    // Host's own settings kept, nothing else of the starter's; it gets
    // SIGTERM if the guard is killed. Call it before any thread is started
    // (a process with more than one thread is refused: a thread would go on
    // as root in the guard). A failure says which step failed; the process
    // must not go on then. Only the child returns.
    static Status become(const Account& account);
    // Whether this process's standard output or error (`fd`) goes through
    // the guard become() left behind, which ends with this process: a
    // program it leaves running would write to nobody there.
    static bool outputEndsWithThisProcess(int fd);
    // Copies to `to` (none when negative) what the pipe `from` holds now,
    // and no more: a writer that goes on writing cannot keep it copying.
    static void relayWhatIsHeld(int from, int to);
    static void setOutputEndsWithThisProcessForTesting(int fd, bool ends);
};

}  // namespace platform
