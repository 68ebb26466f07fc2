// Keeps the Mac awake for Viewers: the two IOKit assertions held while a
// Viewer is connected or may reconnect, the two reconnect graces (a Viewer
// lost around a sleep, an iOS Viewer sent to the background), and the
// release of the headless virtual display once video has gone idle.

#include <algorithm>

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "HostApp/Display/HeadlessVirtualDisplay.h"
#include "Platform/SimulatedMac/PowerManagement.h"

namespace {

constexpr double kReconnectGraceSeconds = 900;
// A sleep-recovery grace never expires while the screens sleep; it is looked
// at again this often.
constexpr double kGraceSleepRecheckSeconds = 60;

void releaseAssertion(uint32_t& id) {
    platform::IOPMAssertionRelease(id);
    id = 0;
}

}  // namespace

bool V230HostAudioAuxServer::authorizedViewersPresent() const {
    return !authorizedAudioSessions.empty() || !authorizedVideoSessions.empty();
}

void V230HostAudioAuxServer::updateViewerIdleSleepAssertion() {
    queue.dispatchPrecondition();
    const auto now = platform::Clock::now();
    const bool connected = authorizedViewersPresent();
    const bool iosGrace = iosViewerBackgroundSleepGraceDeadline && *iosViewerBackgroundSleepGraceDeadline > now;
    const bool sleepGrace = sleepRecoveryViewerReconnectGraceDeadline &&
                            (screensAreSleeping || *sleepRecoveryViewerReconnectGraceDeadline > now);
    if (!connected && !iosGrace && !sleepGrace) {
        if (viewerIdleSleepAssertionID != 0) {
            releaseAssertion(viewerIdleSleepAssertionID);
            publish("power: released active Viewer idle-sleep assertion");
        }
        if (viewerSystemSleepAssertionID != 0) {
            releaseAssertion(viewerSystemSleepAssertionID);
            publish("power: released active Viewer system-sleep assertion");
        }
        return;
    }
    const char* name = connected  ? "Norvessal active Viewer session"
                       : iosGrace ? "Norvessal iOS Viewer reconnect grace"
                                  : "Norvessal Viewer sleep-recovery reconnect grace";
    // Creates one assertion unless it is held; a refusal is logged and
    // tried again on the next call.
    auto hold = [&](uint32_t& id, const char* type, const char* what) {
        if (id != 0) return;
        uint32_t created = 0;
        const auto result = platform::IOPMAssertionCreateWithName(type, platform::kIOPMAssertionLevelOn, name, created);
        if (result == platform::kIOReturnSuccess) {
            id = created;
            publish(std::string("power: preventing ") + what + " while a Viewer session is active or reconnecting");
        } else {
            publish(std::string("power: could not prevent ") + what + " (" + std::to_string(result) + ")");
        }
    };
    hold(viewerIdleSleepAssertionID, platform::kIOPMAssertionTypePreventUserIdleSystemSleep, "idle system sleep");
    if (suppressSystemSleepAssertionUntilWake) {
        if (viewerSystemSleepAssertionID != 0) releaseAssertion(viewerSystemSleepAssertionID);
        return;
    }
    hold(viewerSystemSleepAssertionID, platform::kIOPMAssertionTypePreventSystemSleep, "system sleep");
}

// --- Sleep-recovery reconnect grace --------------------------------------------------

void V230HostAudioAuxServer::beginSleepRecoveryViewerReconnectGrace(const std::string& reason) {
    queue.dispatchPrecondition();
    // A Host that is going away keeps nothing for a returning Viewer, and
    // must not leave the Mac held awake behind it.
    if (stopped_) return;
    platform::cancelWorkItem(sleepRecoveryViewerReconnectGraceTask);
    const auto deadline = platform::Clock::now().addingSeconds(kReconnectGraceSeconds);
    sleepRecoveryViewerReconnectGraceDeadline = deadline;
    scheduleSleepRecoveryViewerReconnectGraceExpiryCheck(deadline, kReconnectGraceSeconds);
    publish("power: " + reason + "; retaining Host recovery state for " +
            std::to_string(static_cast<int>(kReconnectGraceSeconds)) + " seconds while the Viewer reconnects");
    updateViewerIdleSleepAssertion();
}

void V230HostAudioAuxServer::scheduleSleepRecoveryViewerReconnectGraceExpiryCheck(platform::Date deadline,
                                                                                  double afterSeconds) {
    queue.dispatchPrecondition();
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    auto task = platform::makeWorkItem([weak, deadline] {
        auto self = weak.lock();
        if (!self || self->sleepRecoveryViewerReconnectGraceDeadline != deadline) return;
        if (self->screensAreSleeping) {
            self->scheduleSleepRecoveryViewerReconnectGraceExpiryCheck(deadline, kGraceSleepRecheckSeconds);
            return;
        }
        const auto now = platform::Clock::now();
        if (now < deadline) {
            self->scheduleSleepRecoveryViewerReconnectGraceExpiryCheck(deadline, deadline.timeIntervalSince(now));
            return;
        }
        self->sleepRecoveryViewerReconnectGraceDeadline.reset();
        self->sleepRecoveryViewerReconnectGraceTask.reset();
        self->publish("power: Viewer sleep-recovery reconnect grace expired; restoring normal idle teardown");
        self->updateViewerIdleSleepAssertion();
        self->releaseHeadlessVirtualDisplayIfIdle();
    });
    sleepRecoveryViewerReconnectGraceTask = task;
    queue.asyncAfter(std::max(0.0, afterSeconds), task);
}

void V230HostAudioAuxServer::endSleepRecoveryViewerReconnectGrace(const std::string& reason) {
    queue.dispatchPrecondition();
    if (!sleepRecoveryViewerReconnectGraceDeadline) return;
    platform::cancelWorkItem(sleepRecoveryViewerReconnectGraceTask);
    sleepRecoveryViewerReconnectGraceDeadline.reset();
    publish("power: ended Viewer sleep-recovery reconnect grace (" + reason + ")");
    updateViewerIdleSleepAssertion();
}

bool V230HostAudioAuxServer::shouldBeginSleepRecoveryViewerReconnectGraceAfterLastSessionDisconnect() const {
    if (authorizedViewersPresent()) return false;
    return screensAreSleeping || isPreflightingHeadlessCaptureForSleep || sleepPreflightPhysicalCaptureRequest ||
           isAwaitingSleepPreflightPhysicalRecovery || virtualDisplayWakeStabilizationDeadline ||
           sleepPreflightPhysicalRecoveryDeadline;
}

// --- iOS background grace -------------------------------------------------------------

void V230HostAudioAuxServer::beginIOSViewerBackgroundSleepGrace() {
    queue.dispatchPrecondition();
    if (stopped_) return;
    platform::cancelWorkItem(iosViewerBackgroundSleepGraceTask);
    const auto deadline = platform::Clock::now().addingSeconds(kReconnectGraceSeconds);
    iosViewerBackgroundSleepGraceDeadline = deadline;
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    iosViewerBackgroundSleepGraceTask = platform::makeWorkItem([weak, deadline] {
        auto self = weak.lock();
        if (!self || self->iosViewerBackgroundSleepGraceDeadline != deadline) return;
        self->iosViewerBackgroundSleepGraceDeadline.reset();
        self->iosViewerBackgroundSleepGraceTask.reset();
        self->publish("power: iOS Viewer reconnect grace expired; restoring normal sleep policy");
        self->updateViewerIdleSleepAssertion();
    });
    queue.asyncAfter(kReconnectGraceSeconds, iosViewerBackgroundSleepGraceTask);
    publish("power: iOS Viewer backgrounded; keeping Host awake for up to " +
            std::to_string(static_cast<int>(kReconnectGraceSeconds / 60)) + " minutes while it reconnects");
    updateViewerIdleSleepAssertion();
}

void V230HostAudioAuxServer::endIOSViewerBackgroundSleepGrace(const std::string& reason) {
    queue.dispatchPrecondition();
    if (!iosViewerBackgroundSleepGraceDeadline) return;
    platform::cancelWorkItem(iosViewerBackgroundSleepGraceTask);
    iosViewerBackgroundSleepGraceDeadline.reset();
    publish("power: ended iOS Viewer reconnect grace (" + reason + ")");
    updateViewerIdleSleepAssertion();
}

void V230HostAudioAuxServer::cancelSleepRecoveryWorkForTermination() {
    queue.dispatchPrecondition();
    cancelSleepPreflightPhysicalRecovery();
    platform::cancelWorkItem(sleepRecoveryViewerReconnectGraceTask);
    platform::cancelWorkItem(iosViewerBackgroundSleepGraceTask);
    sleepRecoveryViewerReconnectGraceDeadline.reset();
    iosViewerBackgroundSleepGraceDeadline.reset();
}

// --- Idle release of the virtual display ----------------------------------------------

bool V230HostAudioAuxServer::shouldRetainHeadlessVirtualDisplayForSleepRecovery() const {
    if (screensAreSleeping || isPreflightingHeadlessCaptureForSleep || virtualDisplayWakeStabilizationDeadline ||
        isAwaitingSleepPreflightPhysicalRecovery || sleepPreflightPhysicalRecoveryDeadline ||
        (sleepRecoveryViewerReconnectGraceDeadline &&
         *sleepRecoveryViewerReconnectGraceDeadline > platform::Clock::now())) {
        return true;
    }
    return sleepPreflightPhysicalCaptureRequest && authorizedViewersPresent();
}

void V230HostAudioAuxServer::releaseHeadlessVirtualDisplayIfIdle() {
    queue.dispatchPrecondition();
    if (!authorizedVideoSessions.empty()) return;
    if (shouldRetainHeadlessVirtualDisplayForSleepRecovery()) {
        publish("viewer video idle; retaining headless virtual display for Viewer sleep recovery");
        return;
    }
    cancelSleepPreflightPhysicalRecovery();
    if (sleepPreflightPhysicalCaptureRequest) {
        restorePreLidCaptureRequest();
        if (physicalDisplayID != 0) selectedDisplayID = physicalDisplayID;
        publish("viewer video idle; restored pre-lid physical capture request");
    }
    sleepPreflightPhysicalCaptureRequest.reset();
    sleepPreflightPhysicalVideoMode.reset();
    deferredHeadlessCaptureRequestForScreenSharing.reset();
    screenSharingCaptureDisplayID = 0;
    auto& headless = HeadlessVirtualDisplay::shared();
    if (headless.stateSnapshot().isActive) {
        headless.stop(true);
        if (physicalDisplayID != 0) selectedDisplayID = physicalDisplayID;
        lastDisplayLayout.reset();
        publish("viewer video idle; released headless virtual display");
        requestScreenSharingRecoveryAfterVirtualDisplayReleaseIfNeeded(false);
    } else if (physicalDisplayID != 0) {
        restoreOriginalDisplayModeIfNeeded(physicalDisplayID, "viewer video idle");
        lastDisplayLayout.reset();
    }
}
