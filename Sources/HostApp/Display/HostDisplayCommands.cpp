// The Viewer's display commands and the sleep policy's entry points as the
// session server reaches them.

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "HostApp/Capture/VideoStreamProfile.h"
#include "HostApp/Display/HeadlessVirtualDisplay.h"

void V230HostAudioAuxServer::applyVideoCaptureMode(VideoCaptureMode mode) {
    // Until displays are prepared for a mode, the selected display is
    // captured with the request as it stands.
    publish("display: capture mode " + modeTitle(mode) + " requested");
    auto& sc = streamControl;
    if (sc.currentCaptureRequest.mode != mode) sc.currentCaptureRequest = sc.currentCaptureRequest.withMode(mode);
    sc.currentVideoMode = mode;
    if (useHeadlessVirtualDisplay && !HeadlessVirtualDisplay::shared().stateSnapshot().isActive) {
        publish("display: headless virtual display not prepared; capture waits");
        return;
    }
    restartVideoCapture(0);
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

bool V230HostAudioAuxServer::reconcileHeadlessScreenSharingCapture(const std::string& reason) {
    // The statistics tick asks every second; only other reasons are noted.
    if (reason != "timer") publish("display: screen sharing capture reconcile requested (" + reason + ")");
    return false;
}

std::optional<uint32_t> V230HostAudioAuxServer::activeScreenSharingDisplayID() const {
    // Until Screen Sharing is recognised, no display counts as its own.
    return std::nullopt;
}

void V230HostAudioAuxServer::applyScreenSharingDisplayCapture(uint32_t displayID,
                                                              const CaptureModeControlPayload& base) {
    publish("display: Screen Sharing display capture requested display=" + std::to_string(displayID) + " " +
            base.summary());
}

void V230HostAudioAuxServer::scheduleScreenSharingRecoveryAfterModeSwitchIfNeeded() {}

bool V230HostAudioAuxServer::headlessPresetActivationIsPending() const {
    if (!useHeadlessVirtualDisplay) return false;
    auto& headless = HeadlessVirtualDisplay::shared();
    if (!headless.stateSnapshot().isActive) return false;
    const auto preset =
        HeadlessVirtualDisplay::Preset::from(resolvedAdaptiveResolution(streamControl.currentCaptureRequest));
    return headless.presetReadiness(preset) == HeadlessVirtualDisplay::PresetReadiness::pending;
}

void V230HostAudioAuxServer::cancelPendingHeadlessCaptureTransition() {}

void V230HostAudioAuxServer::releaseHeadlessVirtualDisplayIfIdle() {
    publish("display: idle headless virtual display release requested");
}

void V230HostAudioAuxServer::updateViewerIdleSleepAssertion() {
    // Runs after every login and removal; the assertion policy decides
    // quietly until it has something to change.
}
