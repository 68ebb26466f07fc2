#pragma once
// Keeps what a Viewer can reach within the console user's rights. A Viewer
// logs in as the console user, but the Host may run as another (root, a
// service account): then every path a Viewer names must lie, links
// resolved, inside the console user's home, or the Host would act with
// rights the Viewer's user does not have.

#include <filesystem>
#include <optional>
#include <string>

class ViewerPathConfinement {
public:
    // None when the Host runs as the console user: what that user can
    // reach stays reachable. With a data root the console user's home is
    // the data root's. An unknown console user confines to nothing.
    static std::optional<ViewerPathConfinement> forConsoleUser(const std::string& consoleUserName);

    // Whether `path`, with the links of its existing part resolved and the
    // rest taken as written, lies in the home.
    bool allows(const std::filesystem::path& path) const;
    // The home, links resolved; empty when nothing is allowed.
    const std::filesystem::path& home() const { return home_; }

private:
    explicit ViewerPathConfinement(std::filesystem::path home) : home_(std::move(home)) {}
    std::filesystem::path home_;
};
