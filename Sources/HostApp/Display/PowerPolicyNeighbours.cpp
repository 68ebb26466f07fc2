// The display and stream operations the power policy calls whose own
// behaviour is still to come: each does the least that keeps the policy
// sound until then.

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "HostApp/Display/HeadlessVirtualDisplay.h"
#include "HostApp/Display/HostDisplayModeSwitcher.h"
#include "Platform/CoreGraphicsDisplays.h"

std::optional<uint32_t> V230HostAudioAuxServer::activeScreenSharingDisplayID() const {
    const uint32_t own = HeadlessVirtualDisplay::shared().stateSnapshot().displayID;
    std::vector<uint32_t> active;
    platform::CGGetActiveDisplayList(active);
    for (uint32_t id : active) {
        if (id == 0 || id == own) continue;
        if (platform::CGDisplayVendorNumber(id) != platform::kUnknownDisplayVendor ||
            platform::CGDisplayModelNumber(id) != platform::kVirtualDisplayModel)
            continue;
        // A display left behind by a Screen Sharing that no longer runs is
        // not reported.
        if (isScreenSharingServiceActive()) return id;
        return std::nullopt;
    }
    return std::nullopt;
}

void V230HostAudioAuxServer::restoreOriginalDisplayModeIfNeeded(uint32_t displayID, const std::string& reason) {
    queue.dispatchPrecondition();
    const auto restored = HostDisplayModeSwitcher::restoreOriginalMode(displayID);
    if (restored && restored->isSuccess()) publish(reason + "; restored original " + restored->geometry().summary());
}

void V230HostAudioAuxServer::cancelHeadlessDesktopPromotionRetry() {}

void V230HostAudioAuxServer::restartMotionStream(const std::string& reason, double afterSeconds) {
    publish("motion stream: restart requested (" + reason + ") after " + std::to_string(afterSeconds) + " s");
}
