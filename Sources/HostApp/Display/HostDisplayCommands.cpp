// The Viewer's direct commands for the Host's real display (types 24 and
// 34): switch it to a physical capture mode, put its original mode back,
// capture the main display or step to the next one, and the restore step
// the display-selection paths share. Every outcome is logged and sent to
// every Viewer; none ends a session.

#include <algorithm>

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "HostApp/Display/HostDisplayModeSwitcher.h"

namespace {

constexpr double kUnchangedDisplayRestartSeconds = 0.2;
constexpr double kHeadlessGivenUpRestartSeconds = 0.35;
constexpr double kSwitchedRestartSeconds = 0.65;

bool listsDisplayID(const std::vector<uint32_t>& ids, uint32_t id) {
    return id != 0 && std::find(ids.begin(), ids.end(), id) != ids.end();
}

}  // namespace

std::vector<uint32_t> V230HostAudioAuxServer::commandablePhysicalDisplayIDs() const {
    return HostDisplayModeSwitcher::activePhysicalDisplayIDs(HeadlessVirtualDisplay::shared().stateSnapshot().displayID);
}

void V230HostAudioAuxServer::restoreOriginalDisplayModeIfNeeded(uint32_t displayID, const std::string& reason) {
    queue.dispatchPrecondition();
    const auto restored = HostDisplayModeSwitcher::restoreOriginalMode(displayID);
    if (!restored) return;
    if (restored->isSuccess()) {
        const std::string summary = restored->geometry().summary();
        publish(reason + "; restored original " + summary);
        broadcastHostError("display: restored original " + summary);
        return;
    }
    const std::string id = std::to_string(displayID);
    publish(reason + "; failed to restore original display " + id + ": " + restored->message());
    broadcastHostError("display: restore original display " + id + " failed: " + restored->message());
}

void V230HostAudioAuxServer::applyHostDisplayMode(HostDisplayMode m) {
    queue.dispatchPrecondition();
    auto& sc = streamControl;
    // Only a real display is a target: the Host's own virtual display would
    // be destroyed below, and Screen Sharing's is not the Host's to switch.
    const auto real = commandablePhysicalDisplayIDs();
    const uint32_t target = listsDisplayID(real, physicalDisplayID)   ? physicalDisplayID
                            : listsDisplayID(real, selectedDisplayID) ? selectedDisplayID
                                                                      : 0;
    if (target == 0) {
        publish("host display control ignored: no real display selected");
        broadcastHostError("display: host display control ignored; no real display selected");
        return;
    }
    const std::string targetText = std::to_string(target);
    const VideoCaptureMode newMode = m == HostDisplayMode::physical1080   ? VideoCaptureMode::physical1080
                                     : m == HostDisplayMode::physical1440 ? VideoCaptureMode::physical1440
                                                                          : sc.currentVideoMode;
    double delay = kUnchangedDisplayRestartSeconds;
    bool headlessGivenUp = false;
    if (useHeadlessVirtualDisplay || selectedDisplayID != target) {
        HeadlessVirtualDisplay::shared().stop(true);
        useHeadlessVirtualDisplay = false;
        displaySelectionIsManual = true;
        selectedDisplayID = physicalDisplayID = target;
        publish("physical display control targeting real display " + targetText);
        broadcastHostError("display: headless virtual display disabled; selected real display=" + targetText);
        delay = kHeadlessGivenUpRestartSeconds;
        headlessGivenUp = true;
    }

    const char* label = "Host Native";
    if (m != HostDisplayMode::nativeRestore) {
        const std::string l = m == HostDisplayMode::physical1080 ? "1080" : "1440";
        label = m == HostDisplayMode::physical1080 ? "Host 1080" : "Host 1440";
        const auto t = HostDisplayModeSwitcher::displayModeTarget(newMode);
        const auto result = HostDisplayModeSwitcher::switchDisplayMode(
            t.logicalWidth, t.logicalHeight, t.pixelWidth, t.pixelHeight, t.preferHiDPI, false, false, target, false);
        if (result.isSuccess()) {
            const auto& g = result.geometry();
            selectedDisplayID = physicalDisplayID = g.displayID;
            publish("host physical display switched " + g.summary());
            broadcastHostError("display: switched physical mode=" + l + "p " + g.summary());
            delay = kSwitchedRestartSeconds;
        } else {
            publish("host physical " + l + " switch failed: " + result.message());
            broadcastHostError("display: physical " + l + " switch failed: " + result.message());
            if (!headlessGivenUp) return;
        }
    } else {
        const auto restored = HostDisplayModeSwitcher::restoreOriginalMode(target);
        if (!restored) {
            publish("host physical native restore skipped: no saved original mode for display " + targetText);
            broadcastHostError("display: no saved original mode for display=" + targetText);
            if (!headlessGivenUp) return;
        } else if (restored->isSuccess()) {
            const auto& g = restored->geometry();
            selectedDisplayID = physicalDisplayID = g.displayID;
            publish("host physical display restored original " + g.summary());
            broadcastHostError("display: restored original " + g.summary());
            delay = kSwitchedRestartSeconds;
        } else {
            publish("host physical native restore failed: " + restored->message());
            broadcastHostError("display: restore original display " + targetText + " failed: " + restored->message());
            if (!headlessGivenUp) return;
        }
    }

    sc.currentVideoMode = newMode;
    auto request = sc.currentCaptureRequest.withMode(newMode);
    if (sc.currentCaptureRequest.backend != VideoCaptureBackend::physical) request.controlIntent = 0;
    request.backend = VideoCaptureBackend::physical;
    sc.currentCaptureRequest = request;
    resumeAuxVideoCaptureAfterZeroFrameSuspension("host physical display mode request");
    sc.videoStartRetryAttempts = 0;
    lastDisplayLayout.reset();
    publish(std::string("host display request ") + label + " using capture " + modeTitle(sc.currentVideoMode) +
            "; restarting encoder");
    restartVideoCapture(delay);
}

void V230HostAudioAuxServer::applyHostPhysicalDisplayAction(HostPhysicalDisplayAction a) {
    queue.dispatchPrecondition();
    auto& sc = streamControl;
    const std::string action = a == HostPhysicalDisplayAction::main ? "main" : "next";
    // Viewers that have not logged in do not share the display yet.
    if (authorizedAudioSessions.size() > 1 || authorizedVideoSessions.size() > 1) {
        const std::string text = "display: ignored remote physical display action " + action +
                                 " while multiple viewers are active";
        publish(text);
        broadcastHostError(text);
        return;
    }
    // Real displays only, in try order.
    const auto real = commandablePhysicalDisplayIDs();
    std::vector<uint32_t> order;
    for (uint32_t id : HostDisplayModeSwitcher::orderedActiveDisplayIDs(std::nullopt, true))
        if (listsDisplayID(real, id)) order.push_back(id);
    const uint32_t fallbackDefault = listsDisplayID(order, HostDisplayModeSwitcher::defaultDisplayID())
                                         ? HostDisplayModeSwitcher::defaultDisplayID()
                                     : order.empty() ? 0
                                                     : order.front();
    const uint32_t current = listsDisplayID(order, physicalDisplayID)   ? physicalDisplayID
                             : listsDisplayID(order, selectedDisplayID) ? selectedDisplayID
                                                                        : fallbackDefault;
    uint32_t target = fallbackDefault;
    if (a == HostPhysicalDisplayAction::next && !order.empty()) {
        const auto at = std::find(order.begin(), order.end(), current);
        target = at == order.end() ? order.front() : (std::next(at) == order.end() ? order.front() : *std::next(at));
    }
    if (target == 0) {
        publish("host physical display control ignored: no real display available");
        broadcastHostError("display: host physical display control ignored; no real display available");
        return;
    }
    const std::string targetText = std::to_string(target);
    bool headlessGivenUp = false;
    if (!useHeadlessVirtualDisplay) {
        if (selectedDisplayID == target && physicalDisplayID == target) {
            publish("remote physical display " + action + " already targeting display " + targetText);
            broadcastHostError("display: physical " + action + " already selected display=" + targetText);
            return;
        }
        if (selectedDisplayID != 0 && selectedDisplayID != target)
            restoreOriginalDisplayModeIfNeeded(selectedDisplayID, "switching remote physical target to " + targetText);
    } else {
        headlessGivenUp = true;
        HeadlessVirtualDisplay::shared().stop(true);
        useHeadlessVirtualDisplay = false;
    }
    const uint32_t oldSelected = selectedDisplayID;
    const CaptureModeControlPayload oldRequest = sc.currentCaptureRequest;
    physicalDisplayID = selectedDisplayID = target;
    displaySelectionIsManual = true;
    if (oldRequest.backend != VideoCaptureBackend::physical) sc.currentCaptureRequest.controlIntent = 0;
    sc.currentCaptureRequest.backend = VideoCaptureBackend::physical;
    if (!(sc.currentCaptureRequest == oldRequest) || oldSelected != target) {
        const std::string text = headlessGivenUp
                                     ? "headless virtual display disabled; selected real display " + targetText
                                     : "selected display " + targetText + "; display switch fallback disabled";
        publish("remote physical display " + action + ": " + text);
        broadcastHostError("display: " + text);
        restartVideoCapture(0.1);
        applyVideoCaptureMode(sc.currentVideoMode);
        return;
    }
    publish("remote physical display " + action + " already using display " + targetText);
    broadcastHostError("display: physical " + action + " already using display=" + targetText);
}
