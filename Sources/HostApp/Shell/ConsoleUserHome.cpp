#include "HostApp/Shell/ConsoleUserHome.h"

#include <unistd.h>

#include "HostApp/FileDelivery/ViewerPathConfinement.h"
#include "Platform/Files/Folders.h"
#include "Platform/Files/HomeFiles.h"

namespace fs = std::filesystem;

platform::Status ConsoleUserHome::adopt(const std::string& consoleUserName) {
    if (::geteuid() != 0) return platform::success();
    const auto confinement = ViewerPathConfinement::forConsoleUser(consoleUserName);
    if (!confinement || !confinement->owner() || confinement->home().empty()) return platform::success();
    const auto& owner = *confinement->owner();
    // The Host saves there on a Viewer's behalf with the user's rights,
    // which a home of root's would refuse.
    auto made = platform::Folders::makeOverrideHomeFor(owner.uid, owner.gid);
    // Below a data root the Host's own folders are its home's, as the data
    // root spells it; else the user's own home.
    const fs::path home = platform::Folders::overrideRoot() ? platform::Folders::home() : confinement->home();
    platform::HomeFiles::setOwner(platform::HomeFiles::Owner{home, owner});
    return made;
}
