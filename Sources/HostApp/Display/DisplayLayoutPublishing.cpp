// The layout of the captured display as Viewers receive it (type 23): where
// the display lies among the Host's displays, how large it is in points and
// pixels, and whether it is HiDPI, computed from the managed virtual
// display, the real display or the capture mode's profile, in that order.

#include <algorithm>

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "HostApp/Capture/VideoStreamProfile.h"
#include "HostApp/Display/HeadlessVirtualDisplay.h"
#include "HostApp/Display/HostDisplayModeSwitcher.h"
#include "Platform/Runtime/Clock.h"

DisplayLayoutPayload V230HostAudioAuxServer::currentDisplayLayout() {
    queue.dispatchPrecondition();
    HeadlessVirtualDisplay& headless = HeadlessVirtualDisplay::shared();
    DisplayLayoutPayload layout;
    // Only a live virtual display has the headless geometry: one not yet made
    // (or gone) would announce a HiDPI display that is not there, and the
    // pointer input placed on it would be dropped.
    if (useHeadlessVirtualDisplay && headless.stateSnapshot().isActive) {
        headless.refreshGeometry();
        layout = managedHeadlessDisplayLayout(selectedDisplayID);
    } else if (auto real = HostDisplayModeSwitcher::displayLayout(selectedDisplayID)) {
        layout = *real;
    } else {
        // Nothing to measure: the mode's own size, in points, stands in for
        // every size, so a Viewer can still place its pointer.
        const auto& resolution = DisplayProfileCatalog::modeProfileOrEasy(rawValue(streamControl.currentVideoMode)).resolution;
        layout.displayID = selectedDisplayID;
        layout.targetWidth = layout.unionWidth = layout.pixelWidth = resolution.logicalWidth;
        layout.targetHeight = layout.unionHeight = layout.pixelHeight = resolution.logicalHeight;
    }
    lastDisplayLayout = layout;
    return layout;
}

DisplayLayoutPayload V230HostAudioAuxServer::managedHeadlessDisplayLayout(uint32_t displayID) {
    HeadlessVirtualDisplay& headless = HeadlessVirtualDisplay::shared();
    headless.refreshGeometry();
    const ResolutionProfile adaptive = resolvedAdaptiveResolution(streamControl.currentCaptureRequest);
    const int scale = adaptive.pixelWidth / std::max(adaptive.logicalWidth, 1);
    const int s = std::max(scale, 1);
    const auto snapshot = headless.stateSnapshot();

    DisplayLayoutPayload layout;
    layout.displayID = snapshot.displayID != 0 ? snapshot.displayID : displayID;
    layout.pixelWidth = snapshot.pixelWidth > 0 ? snapshot.pixelWidth : int64_t{adaptive.logicalWidth} * s;
    layout.pixelHeight = snapshot.pixelHeight > 0 ? snapshot.pixelHeight : int64_t{adaptive.logicalHeight} * s;
    // The virtual display is shown alone: its origin is the Viewer's origin.
    layout.targetWidth = layout.unionWidth = snapshot.logicalWidth > 0 ? snapshot.logicalWidth : adaptive.logicalWidth;
    layout.targetHeight = layout.unionHeight =
        snapshot.logicalHeight > 0 ? snapshot.logicalHeight : adaptive.logicalHeight;
    layout.flags = (snapshot.isHiDPI || scale >= 2) ? DisplayLayoutPayload::hiDPIFlag : 0;
    return layout;
}

void V230HostAudioAuxServer::broadcastDisplayLayout(const DisplayLayoutPayload& layout) {
    queue.dispatchPrecondition();
    const auto payload = layout.encode();
    for (AuxChannel channel : {AuxChannel::audio, AuxChannel::video}) {
        // A failed send removes its session: walk a copy.
        const std::vector<platform::UUID> ids(authorizedFor(channel).begin(), authorizedFor(channel).end());
        for (const auto& id : ids) {
            auto& sessions = sessionsFor(channel);
            auto it = sessions.find(id);
            if (it == sessions.end()) continue;
            const auto connection = it->second;
            // Each packet stamped as it is framed.
            sendToSession(id, channel, connection, AuxPacketType::displayLayout, payload);
        }
    }
}

void V230HostAudioAuxServer::scheduleDisplayLayoutPublish(double afterSeconds) {
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    // Each call sends its own packet with the geometry of its own moment.
    queue.asyncAfter(std::max(afterSeconds, 0.05), [weak] {
        auto self = weak.lock();
        if (!self || self->screensAreSleeping) return;
        const auto layout = self->currentDisplayLayout();
        self->publish("display layout " + layout.summary());
        self->broadcastDisplayLayout(layout);
    });
}
