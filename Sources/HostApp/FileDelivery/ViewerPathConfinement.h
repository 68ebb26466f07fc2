#pragma once
// Keeps what a Viewer can reach within the console user's home. A Viewer
// logs in as the console user; a Host started as root for that user has
// become them, but one run by another account (a service account) cannot:
// then every path a Viewer names must lie inside the console user's home
// and is opened beneath it without following a link.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Platform/Files/ConfinedFolder.h"
#include "Platform/Foundation/Result.h"

class ViewerPathConfinement {
public:
    // What the directory service says of a user.
    struct Account {
        std::filesystem::path home;
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
    // The home itself, opened as its path says: it comes from the system.
    platform::Result<std::shared_ptr<platform::ConfinedFolder>> openHome() const;
    // "~" and "~/..." as the console user's home; anything else unchanged.
    std::string expandingTilde(const std::string& path) const;
    // The folder at `path` (absolute, lexically normal), opened beneath the
    // home one component at a time without following a link, its missing
    // part made when `create` is set.
    platform::Result<std::shared_ptr<platform::ConfinedFolder>> openFolder(const std::filesystem::path& path,
                                                                           bool create) const;

    // Stands in for the directory service (the home of an account the
    // machine does not have); tests only. While set it is the
    // whole directory: a name it does not know is no account, whatever
    // accounts the machine has.
    static void setAccountLookupForTesting(
        std::function<std::optional<Account>(const std::string& userName)> lookup);

private:
    explicit ViewerPathConfinement(std::filesystem::path home) : home_(std::move(home)) {}
    std::filesystem::path home_;
};
