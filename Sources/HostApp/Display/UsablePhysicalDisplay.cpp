// Which real display can be captured now, as audio capture asks it.

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "HostApp/Display/HostDisplayModeSwitcher.h"

std::optional<uint32_t> V230HostAudioAuxServer::usablePhysicalDisplayID() const {
    auto displays = HostDisplayModeSwitcher::activePhysicalDisplayIDs();
    if (displays.empty()) return std::nullopt;
    return displays.front();
}
