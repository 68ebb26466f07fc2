// What every kind of remote input shares: the Accessibility gate, waking a
// locked Host, lifting what a leaving Viewer still holds, and acting on the
// input a connection's burst was coalesced into.

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
    if (held.keyFrameRequested) passOnKeyFrameRequest();
}

void V230HostAudioAuxServer::passOnKeyFrameRequest() {
    queue.dispatchPrecondition();
    const uint64_t now = platform::Clock::uptimeNs();
    const auto intervalNs = static_cast<uint64_t>(kKeyFrameRequestIntervalSeconds * 1e9);
    auto& last = lastKeyFrameRequestNs_;
    if (!last || now - *last >= intervalNs) {
        last = now;
        forceKeyFrames();
        return;
    }
    if (keyFrameRequestWaiting_) return;
    keyFrameRequestWaiting_ = true;
    const double wait = static_cast<double>(*last + intervalNs - now) / 1e9;
    // The Host's own: the key frame it forces serves every Viewer.
    const platform::WorkLedger::Charged nobody(nullptr);
    queue.asyncAfter(wait, [weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self || self->terminating_) return;
        self->keyFrameRequestWaiting_ = false;
        self->passOnKeyFrameRequest();
    });
}

void V230HostAudioAuxServer::forceKeyFrames() {
    queue.dispatchPrecondition();
    // Each capture consumes the request on its own frame path.
    for (const auto& capture : {streamControl.videoCapture, streamControl.motionStreamCapture})
        if (capture) capture->forceKeyFrameRequested.set(1);
}
