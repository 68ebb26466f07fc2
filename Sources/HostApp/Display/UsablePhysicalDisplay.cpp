// Which real display can be captured now, as audio capture asks it.

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "HostApp/Display/HeadlessVirtualDisplay.h"
#include "HostApp/Display/HostDisplayModeSwitcher.h"

std::optional<uint32_t> V230HostAudioAuxServer::usablePhysicalDisplayID() const {
    // The Host's own virtual display is never the physical one.
    auto displays =
        HostDisplayModeSwitcher::activePhysicalDisplayIDs(HeadlessVirtualDisplay::shared().stateSnapshot().displayID);
    if (displays.empty()) return std::nullopt;
    return displays.front();
}
