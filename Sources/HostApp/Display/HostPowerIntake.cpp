// The power intake of the application's sleep and wake observers, and the
// sleep, reconnect-grace and Screen Sharing entry points the session server
// and the display paths reach. That policy comes with its own change; for
// now each entry point is noted and changes nothing.

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"

void V230HostAudioAuxServer::noteHostPowerState(const std::string& reason, bool screensSleeping,
                                                bool preflightHeadlessCapture) {
    publish("power: noted " + reason + " screensSleeping=" + (screensSleeping ? "1" : "0") +
            " preflightHeadlessCapture=" + (preflightHeadlessCapture ? "1" : "0"));
}

void V230HostAudioAuxServer::beginIOSViewerBackgroundSleepGrace() {
    publish("power: iOS Viewer background sleep grace begins");
}

void V230HostAudioAuxServer::endIOSViewerBackgroundSleepGrace(const std::string& reason) {
    publish("power: iOS Viewer background sleep grace ends (" + reason + ")");
}

void V230HostAudioAuxServer::beginSleepRecoveryViewerReconnectGrace(const std::string& reason) {
    publish("power: sleep recovery reconnect grace begins (" + reason + ")");
}

void V230HostAudioAuxServer::endSleepRecoveryViewerReconnectGrace(const std::string& reason) {
    publish("power: sleep recovery reconnect grace ends (" + reason + ")");
}

bool V230HostAudioAuxServer::shouldBeginSleepRecoveryViewerReconnectGraceAfterLastSessionDisconnect() const {
    // Only a Host recovering from sleep holds a grace for a returning Viewer.
    if (!authorizedAudioSessions.empty() || !authorizedVideoSessions.empty()) return false;
    return screensAreSleeping || sleepPreflightPhysicalCaptureRequest.has_value() ||
           isAwaitingSleepPreflightPhysicalRecovery;
}

void V230HostAudioAuxServer::startSleepPreflightPhysicalRecovery(const std::string& reason) {
    publish("power: sleep preflight physical recovery requested (" + reason + ")");
}

void V230HostAudioAuxServer::cancelSleepRecoveryWorkForTermination() {
    isAwaitingSleepPreflightPhysicalRecovery = false;
}

bool V230HostAudioAuxServer::reconcileHeadlessScreenSharingCapture(const std::string& reason) {
    // The statistics tick asks every second; only other reasons are noted.
    // Until coexistence with Screen Sharing is built the Host keeps capture
    // to itself, so the caller always goes on.
    if (reason != "timer") publish("display: screen sharing capture reconcile requested (" + reason + ")");
    return false;
}

bool V230HostAudioAuxServer::isScreenSharingServiceActive() const { return false; }

void V230HostAudioAuxServer::scheduleSleepPreflightPhysicalRecoveryAfterDisplayChange() {
    // No sleep preflight moves capture yet, so there is nothing to resume.
}

void V230HostAudioAuxServer::releaseHeadlessVirtualDisplayIfIdle() {
    publish("display: idle headless virtual display release requested");
}

void V230HostAudioAuxServer::updateViewerIdleSleepAssertion() {
    // Runs after every login and removal; the assertion policy decides
    // quietly until it has something to change.
}
