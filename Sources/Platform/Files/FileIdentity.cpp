#include "Platform/Files/FileIdentity.h"

#include <grp.h>
#include <pwd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace platform {

namespace {

// The calls that take 32-bit ids where the kernel also has 16-bit ones.
#ifdef SYS_setfsuid32
constexpr long kSetFsUid = SYS_setfsuid32;
constexpr long kSetFsGid = SYS_setfsgid32;
constexpr long kSetGroups = SYS_setgroups32;
#else
constexpr long kSetFsUid = SYS_setfsuid;
constexpr long kSetFsGid = SYS_setfsgid;
constexpr long kSetGroups = SYS_setgroups;
#endif

// Each returns the value the thread had; calling one twice with the same
// value reads back whether the first call took.
long setFsUid(uid_t uid) { return ::syscall(kSetFsUid, uid); }
long setFsGid(gid_t gid) { return ::syscall(kSetFsGid, gid); }
// The raw call: this thread's groups only.
int setThreadGroups(const std::vector<gid_t>& groups) {
    return static_cast<int>(::syscall(kSetGroups, groups.size(), groups.data()));
}

std::optional<std::vector<gid_t>> threadGroups() {
    const int count = ::getgroups(0, nullptr);
    if (count < 0) return std::nullopt;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    if (count > 0 && ::getgroups(count, groups.data()) != count) return std::nullopt;
    return groups;
}

std::vector<gid_t> groupsOf(const char* name, gid_t gid) {
    int count = 32;
    std::vector<gid_t> groups;
    for (int attempt = 0; attempt < 8; ++attempt) {
        groups.resize(static_cast<size_t>(count));
        int found = count;
        if (::getgrouplist(name, gid, groups.data(), &found) >= 0) {
            groups.resize(static_cast<size_t>(found));
            return groups;
        }
        count = found > count ? found : count * 2;
    }
    return {gid};
}

// `lookup` is getpwnam_r or getpwuid_r bound to its key.
template <class Lookup>
std::optional<FileIdentity::Account> accountFrom(Lookup lookup, std::optional<gid_t> group) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    int failed = 0;
    while ((failed = lookup(&entry, buffer.data(), buffer.size(), &found)) == ERANGE && buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    if (failed != 0 || !found) return std::nullopt;
    const gid_t gid = group.value_or(entry.pw_gid);
    return FileIdentity::Account{entry.pw_uid, gid, groupsOf(entry.pw_name, gid),
                                 entry.pw_dir ? std::filesystem::path(entry.pw_dir) : std::filesystem::path()};
}

}  // namespace

std::optional<FileIdentity::Account> FileIdentity::Account::named(const std::string& userName) {
    if (userName.empty()) return std::nullopt;
    return accountFrom(
        [&](passwd* entry, char* buffer, size_t size, passwd** found) {
            return ::getpwnam_r(userName.c_str(), entry, buffer, size, found);
        },
        std::nullopt);
}

FileIdentity::Account FileIdentity::Account::ofOwner(uid_t uid, gid_t gid) {
    auto known = accountFrom(
        [&](passwd* entry, char* buffer, size_t size, passwd** found) {
            return ::getpwuid_r(uid, entry, buffer, size, found);
        },
        gid);
    if (known) return *known;
    return Account{uid, gid, {gid}};
}

FileIdentity::FileIdentity(const Account& account) {
    if (::geteuid() == account.uid) return;
    auto groups = threadGroups();
    if (!groups) {
        error_ = std::string("could not read this thread's groups: ") + std::strerror(errno);
        return;
    }
    if (setThreadGroups(account.groups) != 0) {
        error_ = std::string("could not take the user's groups: ") + std::strerror(errno);
        return;
    }
    switched_ = true;
    previousGroups_ = std::move(*groups);
    // The group before the user: once the user ID is no longer root's, the
    // thread may not have the right to change its group.
    previousGid_ = static_cast<gid_t>(setFsGid(account.gid));
    if (setFsGid(account.gid) != static_cast<long>(account.gid)) {
        error_ = "could not take the user's group " + std::to_string(account.gid);
        restore();
        return;
    }
    previousUid_ = static_cast<uid_t>(setFsUid(account.uid));
    if (setFsUid(account.uid) != static_cast<long>(account.uid)) {
        error_ = "could not take the user ID " + std::to_string(account.uid);
        restore();
    }
}

FileIdentity::~FileIdentity() { restore(); }

void FileIdentity::restore() {
    if (!switched_) return;
    switched_ = false;
    // A thread left with someone else's rights would go on making files as
    // that user (or failing to reach the Host's own): nothing is safe after.
    auto fail = [](const char* what) {
        std::fprintf(stderr, "file identity: could not give back the thread's %s\n", what);
        std::abort();
    };
    // The user ID first: back at root's, the thread regains the right to
    // change the rest.
    if (previousUid_) {
        setFsUid(*previousUid_);
        if (setFsUid(*previousUid_) != static_cast<long>(*previousUid_)) fail("user ID");
    }
    if (previousGid_) {
        setFsGid(*previousGid_);
        if (setFsGid(*previousGid_) != static_cast<long>(*previousGid_)) fail("group");
    }
    if (previousGroups_ && setThreadGroups(*previousGroups_) != 0) fail("groups");
    previousUid_.reset();
    previousGid_.reset();
    previousGroups_.reset();
}

}  // namespace platform
