// Main menu and status item: built by their own change; these are the
// entry points the lifecycle and the summary window call.

#include "HostApp/HostProbeDelegate.h"
#include "Platform/Workspace.h"
#include "VelantrixProfiles/ReleaseFeed/VelantrixReleaseChannels.h"

void HostProbeDelegate::configureMainMenu() { assertMainQueue(); }

void HostProbeDelegate::configureStatusItem() { assertMainQueue(); }

void HostProbeDelegate::refreshHostLocalization() {
    assertMainQueue();
    refreshOnlineUpdateButtonPresentation();
}

void HostProbeDelegate::launchAtLoginCheckboxChanged(platform::View&) { assertMainQueue(); }

void HostProbeDelegate::openHostWebsite(const std::string& path, const std::optional<std::string>& fragment) {
    assertMainQueue();
    auto url = VelantrixReleaseChannels::localizedProductURL(
        path, fragment ? std::optional<std::string_view>(*fragment) : std::nullopt, std::nullopt);
    if (url) platform::Workspace::open(*url);
}
