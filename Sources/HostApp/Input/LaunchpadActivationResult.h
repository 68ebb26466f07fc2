#pragma once
// Which way of opening Launchpad worked, and the sentence the Host reports
// for it to its log and to the Viewers.

#include <string>

enum class LaunchpadActivationResult {
    dockPrivateToggle,
    dockTilePress,
    bundleIdentifierActivation,
    systemKey,
    openCommand,
    appleScript,
    failed,
};

// "host shortcut: Launchpad ..."; a failure names the operating system.
std::string launchpadActivationText(LaunchpadActivationResult result);
