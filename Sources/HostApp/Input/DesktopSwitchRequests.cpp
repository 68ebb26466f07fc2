// The server's side of the next- and previous-desktop shortcuts: ask the
// desktop switcher for one step, tell the Viewers, then check until the
// display shows the expected Space and tell them where it now stands. The
// pending step travels in the scheduled check; the server keeps no state.

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"

namespace {
constexpr double kVerifyInterval = 0.2;
constexpr int kLastVerifyAttempt = 8;
}  // namespace

void V230HostAudioAuxServer::requestDesktopSwitch(bool forward) {
    queue.dispatchPrecondition();
    if (!ensureInputTrust()) return;
    const auto outcome = DesktopSwitcher::requestStep(forward, selectedDisplayID);
    switch (outcome.kind) {
        case DesktopSwitcher::RequestOutcome::Kind::unavailable:
            publishAndBroadcast("host shortcut: this host cannot switch desktops (no space row or no Accessibility permission)");
            return;
        case DesktopSwitcher::RequestOutcome::Kind::atEdge:
            publishAndBroadcast(forward ? "host shortcut: already at the last desktop" : "host shortcut: already at the first desktop");
            return;
        case DesktopSwitcher::RequestOutcome::Kind::requested:
            publishAndBroadcast(forward ? "host shortcut: next desktop requested" : "host shortcut: previous desktop requested");
            verifyDesktopSwitch(*outcome.request, forward, 0);
            return;
    }
}

void V230HostAudioAuxServer::verifyDesktopSwitch(const DesktopSwitcher::Request& request, bool forward, int attempt) {
    queue.dispatchPrecondition();
    const std::string direction = forward ? "next" : "previous";
    if (DesktopSwitcher::didReach(request)) {
        publishAndBroadcast("host shortcut: " + direction + " desktop switched");
        // A machine-readable line for the Viewers' desktop indicator only.
        if (auto at = DesktopSwitcher::position(request))
            broadcastHostError("desktop-switched:" + std::to_string(at->index) + "/" + std::to_string(at->total));
        return;
    }
    if (attempt >= kLastVerifyAttempt) {
        publishAndBroadcast("host shortcut: " + direction + " desktop did not change (the system hot key was ignored)");
        return;
    }
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    queue.asyncAfter(kVerifyInterval, [weak, request, forward, attempt] {
        if (auto self = weak.lock()) self->verifyDesktopSwitch(request, forward, attempt + 1);
    });
}
