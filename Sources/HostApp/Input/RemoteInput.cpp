// What every kind of remote input shares: the Accessibility gate, waking a
// locked Host, lifting what a leaving Viewer still holds, and acting on the
// input a connection's burst was coalesced into.

#include <algorithm>

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "Platform/SimulatedMac/Accessibility.h"
#include "Platform/Runtime/Clock.h"
#include "Platform/SimulatedMac/PowerManagement.h"

namespace {
constexpr const char* kInputTrustWarning =
    "input: Host needs Accessibility permission for direct mouse and gesture control";
constexpr uint64_t kLockProbeIntervalNs = 250'000'000;
constexpr uint64_t kLockWakeIntervalNs = 600'000'000;
}  // namespace

bool V230HostAudioAuxServer::ensureInputTrust() {
    queue.dispatchPrecondition();
    // Asked anew for every event, so permission granted later works at once.
    if (platform::AXIsProcessTrusted()) return true;
    if (!remoteInput.didWarnInputTrust) {
        remoteInput.didWarnInputTrust = true;
        publishAndBroadcast(kInputTrustWarning);
        platform::AXIsProcessTrustedWithOptions({{platform::kAXTrustedCheckOptionPrompt, true}});
    }
    return false;
}

void V230HostAudioAuxServer::wakeHostForRemoteInputIfLocked() {
    queue.dispatchPrecondition();
    const uint64_t now = platform::Clock::uptimeNs();
    RemoteInputState& s = remoteInput;
    if (s.lastLockInputProbeNs == 0 || now - s.lastLockInputProbeNs > kLockProbeIntervalNs) {
        s.lastLockInputProbeNs = now;
        const auto console = currentConsoleSessionState();
        s.lastLockInputWasLocked = console.isLocked || console.isLoginWindow || !console.loginDone;
    }
    if (!s.lastLockInputWasLocked) return;
    if (s.lastLockWakeNs != 0 && now - s.lastLockWakeNs < kLockWakeIntervalNs) return;
    s.lastLockWakeNs = now;
    platform::IOPMAssertionID assertion = 0;
    platform::IOPMAssertionDeclareUserActivity("Norvessal remote input", platform::IOPMUserActiveType::local,
                                               assertion);
}

void V230HostAudioAuxServer::releaseSessionHeldKeys(const platform::UUID& sessionID) {
    queue.dispatchPrecondition();
    auto held = remoteInput.heldKeyCodes.find(sessionID);
    if (held == remoteInput.heldKeyCodes.end()) return;
    // Whatever the modifier release just lifted is gone from the set already.
    const std::set<uint16_t> codes = std::move(held->second);
    remoteInput.heldKeyCodes.erase(held);
    for (uint16_t code : codes) postKeyboardEvent(code, false, 0);
}

void V230HostAudioAuxServer::flushCoalescedInput(AuxSessionContext& session) {
    queue.dispatchPrecondition();
    if (session.coalescedInput.empty()) return;
    const CoalescedInput held = session.coalescedInput.take();
    const platform::UUID id = session.id;
    // What the held input does is the Viewer's doing, line for line, as its
    // packets' would have been. A move and a scroll are never held
    // together, so no order is lost here.
    const platform::WorkLedger::Charged charged(session.account->ledger);
    if (held.pointerMove) applyPointerEvent(*held.pointerMove, id);
    if (held.scroll) applyGestureEvent(*held.scroll, id);
    if (held.frameAcks > 0) recordVideoFrameAck(id, held.frameAcks);
    if (held.keyFrameRequested) passOnKeyFrameRequest(session);
}

void V230HostAudioAuxServer::passOnKeyFrameRequest(AuxSessionContext& session, std::optional<bool> quiet) {
    queue.dispatchPrecondition();
    const uint64_t now = platform::Clock::uptimeNs();
    auto dueAfter = [now](const std::optional<uint64_t>& previous, double interval) {
        return previous ? *previous + static_cast<uint64_t>(interval * 1e9) : now;
    };
    // A request that waited keeps what it was when it came.
    if (!quiet) {
        auto& asked = session.account->lastKeyFrameAskNs;
        quiet = dueAfter(asked, kQuietKeyFrameAskSeconds) <= now;
        asked = now;
    }
    const uint64_t due =
        dueAfter(lastKeyFrameRequestNs_, *quiet ? kQuietKeyFrameRequestGapSeconds : kKeyFrameRequestIntervalSeconds);
    if (due <= now) {
        lastKeyFrameRequestNs_ = now;
        AuxPacketHeader header;
        header.type = AuxPacketType::keyFrameRequest;
        const platform::WorkLedger::Charged charged(session.account->ledger);
        dispatchControl(header, {}, session.id);
        return;
    }
    if (session.keyFrameRequestWaiting) return;
    session.keyFrameRequestWaiting = true;
    const double wait = static_cast<double>(due - now) / 1e9;
    queue.asyncAfter(wait, [weak = weak_from_this(), id = session.id, quiet] {
        auto self = weak.lock();
        if (!self || self->terminating_) return;
        auto found = self->sessionContexts_.find(id);
        if (found == self->sessionContexts_.end() || found->second->closed) return;
        found->second->keyFrameRequestWaiting = false;
        self->passOnKeyFrameRequest(*found->second, quiet);
    });
}
