// Which display the server captures: the user's choice of a real display or
// of the headless virtual display, the reads the Host's window shows, the
// real and Screen Sharing displays the capture paths look for, and the
// re-announcement of the layout when the Mac's displays change. Also the
// server's questions about real displays and capture modes, and its
// display-selection report (the geometry rules live in PhysicalDisplayGeometry).

#include <algorithm>

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "HostApp/Display/DisplayDiagnostics.h"
#include "HostApp/Display/HeadlessVirtualDisplay.h"
#include "HostApp/Display/HostDisplayModeSwitcher.h"
#include "HostApp/Display/PhysicalDisplayGeometry.h"

VideoCaptureMode V230HostAudioAuxServer::physicalFallbackMode(VideoCaptureMode mode,
                                                              const HostDisplayGeometry& geometry) const {
    return PhysicalDisplayGeometry::physicalFallbackMode(mode, geometry);
}

bool V230HostAudioAuxServer::geometrySatisfiesStrictMode(const HostDisplayGeometry& geometry,
                                                         VideoCaptureMode mode) const {
    return PhysicalDisplayGeometry::geometrySatisfiesStrictMode(geometry, mode);
}

std::string V230HostAudioAuxServer::strictGeometrySummary(VideoCaptureMode mode) const {
    return PhysicalDisplayGeometry::strictGeometrySummary(mode);
}

bool V230HostAudioAuxServer::physicalDisplayLayout(const DisplayLayoutPayload& layout,
                                                   const CaptureModeControlPayload& request) const {
    return PhysicalDisplayGeometry::physicalDisplayLayout(layout, request);
}

std::string V230HostAudioAuxServer::displayDiagnostics() {
    return queue.syncValue([this] {
        DisplaySelectionState state;
        state.selectedDisplayID = selectedDisplayID;
        state.physicalDisplayID = physicalDisplayID;
        state.displaySelectionIsManual = displaySelectionIsManual;
        state.useHeadlessVirtualDisplay = useHeadlessVirtualDisplay;
        if (useHeadlessVirtualDisplay) {
            auto& headless = HeadlessVirtualDisplay::shared();
            state.headlessDisplayIsActive = headless.stateSnapshot().isActive;
            state.virtualTemplate =
                HeadlessVirtualDisplayTarget::forResolution(resolvedAdaptiveResolution(streamControl.currentCaptureRequest));
            state.virtualActualSummary = headless.summary();
        }
        return displaySelectionReport(state);
    });
}

// --- Which display is captured -----------------------------------------------------------

namespace {

uint32_t virtualDisplayID() { return HeadlessVirtualDisplay::shared().stateSnapshot().displayID; }

bool containsDisplayID(const std::vector<uint32_t>& ids, uint32_t id) {
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

}  // namespace

void V230HostAudioAuxServer::selectDisplayID(uint32_t id) {
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    queue.async([weak, id] {
        auto self = weak.lock();
        if (!self) return;
        auto& s = *self;
        const std::string text = std::to_string(id);
        // The picker lists real displays only, but an ID can go stale between
        // listing and choosing; the Host's own virtual display or Screen
        // Sharing's would be captured as if it were real.
        if (!containsDisplayID(HostDisplayModeSwitcher::activePhysicalDisplayIDs(virtualDisplayID()), id)) {
            s.publish("display selection ignored: display " + text + " is not an active real display");
            return;
        }
        if (s.useHeadlessVirtualDisplay) {
            s.physicalDisplayID = id;
            s.displaySelectionIsManual = true;
            s.publish("selected physical display " + text + " for audio/fallback while virtual display remains active");
            s.broadcastHostError("display: selected physical display=" + text + " while virtual display remains active");
            s.restartAudioCapture(0.1);
            const auto layout = s.currentDisplayLayout();
            s.publish("display layout " + layout.summary());
            s.broadcastDisplayLayout(layout);
            return;
        }
        if (s.selectedDisplayID != 0 && s.selectedDisplayID != id)
            s.restoreOriginalDisplayModeIfNeeded(s.selectedDisplayID, "switching physical target to " + text);
        s.physicalDisplayID = s.selectedDisplayID = id;
        s.displaySelectionIsManual = true;
        s.publish("selected display " + text + "; display switch fallback disabled");
        s.broadcastHostError("display: selected display=" + text + "; fallback disabled");
        s.restartAudioCapture(0.1);
        s.applyVideoCaptureMode(s.streamControl.currentVideoMode);
    });
}

void V230HostAudioAuxServer::setHeadlessVirtualDisplayEnabled(bool enabled) {
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    queue.async([weak, enabled] {
        auto self = weak.lock();
        if (!self || enabled == self->useHeadlessVirtualDisplay) return;
        auto& s = *self;
        // The user's own choice replaces a request held for a real display.
        s.displayTarget.physicalRequestHeldOnVirtualDisplay.reset();
        s.useHeadlessVirtualDisplay = enabled;
        auto& request = s.streamControl.currentCaptureRequest;
        const auto backend = enabled ? VideoCaptureBackend::headlessVirtual : VideoCaptureBackend::physical;
        if (request.backend != backend) request.controlIntent = 0;
        request.backend = backend;
        if (enabled) {
            s.restoreOriginalDisplayModeIfNeeded(s.selectedDisplayID, "headless virtual display enabled");
            s.displaySelectionIsManual = true;
            s.publish("headless virtual display enabled");
            s.publish("warning: headless virtual display changes WindowServer topology; Apple Screen Sharing may show "
                      "artifacts during debugging");
            s.broadcastHostError("display: headless virtual display enabled");
        } else {
            HeadlessVirtualDisplay::shared().stop(true);
            s.selectedDisplayID = s.physicalDisplayID;
            s.displaySelectionIsManual = false;
            const std::string text = std::to_string(s.selectedDisplayID);
            s.publish("headless virtual display disabled; selected real display " + text);
            s.broadcastHostError("display: headless virtual display disabled; selected real display=" + text);
        }
        s.applyVideoCaptureMode(s.streamControl.currentVideoMode);
    });
}

uint32_t V230HostAudioAuxServer::selectedDisplayIDSnapshot() {
    return queue.syncValue([this] { return selectedDisplayID; });
}

uint32_t V230HostAudioAuxServer::physicalDisplayIDSnapshot() {
    return queue.syncValue([this] { return physicalDisplayID; });
}

bool V230HostAudioAuxServer::headlessVirtualDisplayEnabledSnapshot() {
    return queue.syncValue([this] { return useHeadlessVirtualDisplay; });
}

std::optional<uint32_t> V230HostAudioAuxServer::usablePhysicalDisplayID() const {
    const uint32_t v = virtualDisplayID();
    const auto ids = HostDisplayModeSwitcher::activePhysicalDisplayIDs(v);
    if (ids.empty()) return std::nullopt;
    if (physicalDisplayID != 0 && physicalDisplayID != v && containsDisplayID(ids, physicalDisplayID))
        return physicalDisplayID;
    const uint32_t main = platform::CGMainDisplayID();
    if (main != v && containsDisplayID(ids, main)) return main;
    return ids.front();
}

std::optional<uint32_t> V230HostAudioAuxServer::activeScreenSharingDisplayID(const std::string& reason) const {
    const uint32_t v = virtualDisplayID();
    std::vector<uint32_t> active;
    platform::CGGetActiveDisplayList(active);
    for (uint32_t id : active) {
        if (id == 0 || id == v) continue;
        if (platform::CGDisplayVendorNumber(id) != platform::kUnknownDisplayVendor ||
            platform::CGDisplayModelNumber(id) != platform::kVirtualDisplayModel)
            continue;
        // A display left behind by a Screen Sharing that no longer runs is
        // not reported.
        if (isScreenSharingServiceActive(reason)) return id;
        return std::nullopt;
    }
    return std::nullopt;
}

// --- Topology changes ----------------------------------------------------------------------

void V230HostAudioAuxServer::registerDisplayChangeObserverIfNeeded() {
    queue.dispatchPrecondition();
    if (displayTarget.displayParametersObserver) return;
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    // Runs on the posting thread: both actions hop to the server queue.
    displayTarget.displayParametersObserver = platform::NotificationCenter::defaultCenter().addObserver(
        platform::kScreenParametersChangedNotification, [weak](const platform::Notification&) {
            auto self = weak.lock();
            if (!self) return;
            self->scheduleDisplayTopologyRecovery("screen-parameters-changed", 0.5, true);
            self->scheduleSleepPreflightPhysicalRecoveryAfterDisplayChange();
        });
}

void V230HostAudioAuxServer::scheduleDisplayTopologyRecovery(const std::string& reason, double delay,
                                                             bool /*resetRetryCount: no retry count exists*/) {
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    queue.async([weak, reason, delay] {
        auto self = weak.lock();
        if (!self || self->screensAreSleeping || self->isPreflightingHeadlessCaptureForSleep) return;
        auto& task = self->displayTarget.displayTopologyRecoveryTask;
        if (task) task->cancel();
        task = platform::makeWorkItem([weak, reason] {
            if (auto s = weak.lock()) s->recoverVirtualDisplayTopology(reason);
        });
        self->queue.asyncAfter(delay, task);
    });
}

void V230HostAudioAuxServer::recoverVirtualDisplayTopology(const std::string& reason) {
    queue.dispatchPrecondition();
    displayTarget.displayTopologyRecoveryTask.reset();
    if (screensAreSleeping || isPreflightingHeadlessCaptureForSleep) return;
    if (sleepPreflightPhysicalCaptureRequest) {
        HeadlessVirtualDisplay::shared().refreshGeometry();
        lastDisplayLayout.reset();
        publish("display topology changed during sleep preflight; preserving the temporary virtual mirror without "
                "desktop promotion");
    } else {
        if (reconcileHeadlessScreenSharingCapture(reason)) return;
        if (givePhysicalRequestBackIfDisplayAppeared()) return;
        lastDisplayLayout.reset();
    }
    const auto layout = currentDisplayLayout();
    publish("display layout " + layout.summary());
    broadcastDisplayLayout(layout);
}

bool V230HostAudioAuxServer::givePhysicalRequestBackIfDisplayAppeared() {
    queue.dispatchPrecondition();
    auto& held = displayTarget.physicalRequestHeldOnVirtualDisplay;
    if (!held) return false;
    // Another road has left the virtual display meanwhile: nothing to give back.
    if (!useHeadlessVirtualDisplay) {
        held.reset();
        return false;
    }
    const auto display = usablePhysicalDisplayID();
    if (!display) return false;
    const CaptureModeControlPayload request = *held;
    held.reset();
    publish("display topology found real display " + std::to_string(*display) +
            "; applying the held physical capture request again " + request.summary());
    streamControl.currentCaptureRequest = request;
    applyVideoCaptureMode(request.mode);
    return true;
}
