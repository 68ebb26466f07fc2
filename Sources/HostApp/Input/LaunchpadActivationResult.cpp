#include "HostApp/Input/LaunchpadActivationResult.h"

#include "Platform/Runtime/ProcessInfo.h"

std::string launchpadActivationText(LaunchpadActivationResult result) {
    switch (result) {
        case LaunchpadActivationResult::dockPrivateToggle: return "host shortcut: Launchpad Dock private toggle";
        case LaunchpadActivationResult::dockTilePress: return "host shortcut: Launchpad Dock tile press";
        case LaunchpadActivationResult::bundleIdentifierActivation:
            return "host shortcut: Launchpad bundle-id activation";
        case LaunchpadActivationResult::systemKey: return "host shortcut: Launchpad system key";
        case LaunchpadActivationResult::openCommand: return "host shortcut: Launchpad open -a fallback";
        case LaunchpadActivationResult::appleScript: return "host shortcut: Launchpad AppleScript fallback";
        case LaunchpadActivationResult::failed: break;
    }
    return "host shortcut: Launchpad trigger failed on " + platform::ProcessInfo::operatingSystemVersionString();
}
