#pragma once
// Keeps what a Viewer can reach within the console user's rights. A Viewer
// logs in as the console user, but the Host may run as another (root, a
// service account): then every path a Viewer names must lie inside the
// console user's home, is opened beneath it without following a link, and
// what the Host makes there on the Viewer's behalf belongs to that user.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Platform/Files/ConfinedFolder.h"
#include "Platform/Files/FileIdentity.h"
#include "Platform/Foundation/Result.h"

class ViewerPathConfinement {
public:
    // What the directory service says of a user.
    struct Account {
        std::filesystem::path home;
        platform::FileOwner owner;
    };

    // None when the Host runs as the console user: what that user can
    // reach stays reachable. With a data root the console user's home is
    // the data root's. An unknown console user confines to nothing.
    static std::optional<ViewerPathConfinement> forConsoleUser(const std::string& consoleUserName);

    // Whether `path`, with the links of its existing part resolved and the
    // rest taken as written, lies in the home.
    bool allows(const std::filesystem::path& path) const;
    // The home, links resolved; empty when nothing is allowed.
    const std::filesystem::path& home() const { return home_; }
    // Who gets what the Host makes in the home; none when the directory
    // service does not know the console user.
    const std::optional<platform::FileOwner>& owner() const { return owner_; }
    // Whose rights the Host's reads on a Viewer's behalf are to have: the
    // console user's ids and groups; none when the directory service does
    // not know the user (reads then have the process's rights).
    const std::optional<platform::FileIdentity::Account>& readAs() const { return readAs_; }
    // The home itself, opened as its path says: it comes from the system.
    // It and every folder opened beneath it act with readAs()'s rights.
    platform::Result<std::shared_ptr<platform::ConfinedFolder>> openHome() const;
    // "~" and "~/..." as the console user's home; anything else unchanged.
    std::string expandingTilde(const std::string& path) const;
    // The folder at `path` (absolute, lexically normal), opened beneath the
    // home one component at a time without following a link, its missing
    // part made for the console user when `create` is set; then it must be
    // a folder the console user may write.
    platform::Result<std::shared_ptr<platform::ConfinedFolder>> openFolder(const std::filesystem::path& path,
                                                                           bool create) const;

    // Stands in for the directory service (the home and owner of an
    // account the machine does not have); tests only. While set it is the
    // whole directory: a name it does not know is no account, whatever
    // accounts the machine has.
    static void setAccountLookupForTesting(
        std::function<std::optional<Account>(const std::string& userName)> lookup);

private:
    ViewerPathConfinement(std::filesystem::path home, std::optional<platform::FileOwner> owner,
                          std::optional<platform::FileIdentity::Account> readAs)
        : home_(std::move(home)), owner_(owner), readAs_(std::move(readAs)) {}
    std::filesystem::path home_;
    std::optional<platform::FileOwner> owner_;
    std::optional<platform::FileIdentity::Account> readAs_;
};
