#include "Platform/Runtime/ProcessUser.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace platform {
namespace {

Status failed(const std::string& what) { return Status::failure(what + ": " + std::strerror(errno)); }

std::vector<gid_t> groupsOf(const std::string& name, gid_t gid) {
    int count = 32;
    std::vector<gid_t> groups;
    for (int attempt = 0; attempt < 8; ++attempt) {
        groups.resize(static_cast<size_t>(count));
        int found = count;
        if (::getgrouplist(name.c_str(), gid, groups.data(), &found) >= 0) {
            groups.resize(static_cast<size_t>(found));
            return groups;
        }
        count = found > count ? found : count * 2;
    }
    return {gid};
}

}  // namespace

std::optional<ProcessUser::Account> ProcessUser::named(const std::string& name) {
    if (name.empty()) return std::nullopt;
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return std::nullopt;
    Account account;
    account.name = name;
    account.uid = entry.pw_uid;
    account.gid = entry.pw_gid;
    account.home = entry.pw_dir ? entry.pw_dir : "";
    account.groups = groupsOf(name, entry.pw_gid);
    return account;
}

Status ProcessUser::become(const Account& account) {
    // Groups first and uid last: once the uid is the user's, nothing else
    // may be changed any more. The C library's calls apply to every thread.
    if (::setgroups(account.groups.size(), account.groups.data()) != 0) return failed("set the groups of " + account.name);
    if (::setresgid(account.gid, account.gid, account.gid) != 0) return failed("set the group ID of " + account.name);
    if (::setresuid(account.uid, account.uid, account.uid) != 0) return failed("set the user ID of " + account.name);
    // A kernel or filter that let the calls succeed without effect, or a
    // saved ID left behind, would leave the way back to root open.
    uid_t ruid = 0, euid = 0, suid = 0;
    gid_t rgid = 0, egid = 0, sgid = 0;
    if (::getresuid(&ruid, &euid, &suid) != 0 || ::getresgid(&rgid, &egid, &sgid) != 0)
        return failed("read back the IDs");
    if (ruid != account.uid || euid != account.uid || suid != account.uid || rgid != account.gid ||
        egid != account.gid || sgid != account.gid)
        return Status::failure("the IDs of " + account.name + " did not take");
    if (account.uid != 0 && (::setuid(0) == 0 || ::seteuid(0) == 0))
        return Status::failure("root could be taken back after becoming " + account.name);
    if (account.gid != 0 && account.uid != 0 && (::setgid(0) == 0 || ::setegid(0) == 0))
        return Status::failure("root's group could be taken back after becoming " + account.name);

    ::setenv("HOME", account.home.c_str(), 1);
    ::setenv("USER", account.name.c_str(), 1);
    ::setenv("LOGNAME", account.name.c_str(), 1);
    // Root's own XDG folders would send the user's files into root's home;
    // unset, they follow the home above.
    for (const char* variable : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME",
                                 "XDG_RUNTIME_DIR"})
        ::unsetenv(variable);
    const std::string runtime = "/run/user/" + std::to_string(account.uid);
    if (::access(runtime.c_str(), W_OK | X_OK) == 0) ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    return success();
}

}  // namespace platform
