// The Viewer's display commands and the sleep policy's entry points as the
// session server reaches them, and the display layout a Viewer is sent.

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "HostApp/Display/HostDisplayModeSwitcher.h"

void V230HostAudioAuxServer::applyHostDisplayMode(HostDisplayMode mode) {
    publish("display: host display mode " + std::to_string(static_cast<int>(mode)) + " requested");
}

void V230HostAudioAuxServer::applyHostPhysicalDisplayAction(HostPhysicalDisplayAction action) {
    publish(std::string("display: physical display action ") +
            (action == HostPhysicalDisplayAction::main ? "main" : "next") + " requested");
}

void V230HostAudioAuxServer::beginIOSViewerBackgroundSleepGrace() {
    publish("power: iOS Viewer background sleep grace begins");
}

void V230HostAudioAuxServer::endIOSViewerBackgroundSleepGrace(const std::string& reason) {
    publish("power: iOS Viewer background sleep grace ends (" + reason + ")");
}

void V230HostAudioAuxServer::updateViewerIdleSleepAssertion() {
    // Runs after every login and removal; the assertion policy decides
    // quietly until it has something to change.
}

std::optional<DisplayLayoutPayload> V230HostAudioAuxServer::currentDisplayLayout() const {
    if (startupPhysicalDisplayID == 0) return std::nullopt;
    return HostDisplayModeSwitcher::displayLayout(startupPhysicalDisplayID);
}
