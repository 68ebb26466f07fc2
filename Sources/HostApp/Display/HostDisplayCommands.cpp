// The Viewer's display commands and the sleep policy's entry points as the
// session server reaches them.

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"

void V230HostAudioAuxServer::applyVideoCaptureMode(VideoCaptureMode mode) {
    publish("display: capture mode " + std::to_string(static_cast<int>(mode)) + " requested");
}

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

void V230HostAudioAuxServer::reconcileHeadlessScreenSharingCapture(const std::string& reason) {
    publish("display: screen sharing capture reconcile requested (" + reason + ")");
}

void V230HostAudioAuxServer::updateViewerIdleSleepAssertion() {
    // Runs after every login and removal; the assertion policy decides
    // quietly until it has something to change.
}
