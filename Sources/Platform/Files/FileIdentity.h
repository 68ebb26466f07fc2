#pragma once
// Takes another user's file-system identity on the calling thread for as
// long as it lives: the kernel then checks every open, listing and create
// of that thread against that user's ids and groups (ACLs included), and
// what the thread makes belongs to that user from the start. Other threads
// keep the process's rights throughout. A Host run as root does a Viewer's
// file work under one, so the kernel itself refuses what the console user
// could not do.
//
// The file-system ids and the supplementary groups are per thread in the
// kernel; only the raw system calls change them for the caller alone (the
// C library's setgroups changes every thread of the process). A thread
// started while one is held inherits it: hold one around file work only.

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace platform {

class FileIdentity {
public:
    // Whose rights the kernel is to apply.
    struct Account {
        uid_t uid = 0;
        gid_t gid = 0;
        // Supplementary groups, the primary one among them.
        std::vector<gid_t> groups;
        // The user's home, where what the Host keeps for that user (backups)
        // goes; empty when not known.
        std::filesystem::path home;

        // As the directory service knows the user; none when it does not.
        static std::optional<Account> named(const std::string& userName);
        // The account with this user ID, `gid` as its group; its
        // supplementary groups are those of the name the directory gives
        // the ID, else `gid` alone.
        static Account ofOwner(uid_t uid, gid_t gid);
    };

    // Switches this thread to `account`; ok() tells whether it took. Does
    // nothing (and is ok) when the process already runs as that user.
    explicit FileIdentity(const Account& account);
    // Gives the thread back the ids and groups it had. Must end on the
    // thread it began on.
    ~FileIdentity();
    FileIdentity(const FileIdentity&) = delete;
    FileIdentity& operator=(const FileIdentity&) = delete;

    bool ok() const { return error_.empty(); }
    explicit operator bool() const { return ok(); }
    // Why the switch did not take; empty when it did.
    const std::string& error() const { return error_; }
    // Whether this thread's rights were changed (false when the process
    // already is the user, or when the switch failed).
    bool switched() const { return switched_; }

private:
    void restore();

    std::string error_;
    bool switched_ = false;
    // What the thread had, restored at the end; each set only once changed.
    std::optional<std::vector<gid_t>> previousGroups_;
    std::optional<gid_t> previousGid_;
    std::optional<uid_t> previousUid_;
};

}  // namespace platform
