// The acknowledgement window and the encode gate. Each video session's
// unacknowledged frames decide whether it is backed up (the frame path
// skips it until a key frame) or dead (it is closed); the least-loaded
// healthy session decides whether the shared encoder drops frames before
// encoding them, so one slow Viewer never throttles the others.

#include <algorithm>
#include <cstdio>
#include <limits>

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "HostApp/Capture/VideoStreamProfile.h"
#include "Platform/Runtime/Clock.h"

using platform::UUID;

namespace {

constexpr uint64_t kBackedUpAfterNs = 1'500'000'000;
constexpr uint64_t kDeadAfterNs = 3'000'000'000;
constexpr double kFlowTimerSeconds = 0.25;
constexpr uint8_t kReducedRouteFlag = CaptureModeControlPayload::flagReduced;

template <class Map>
auto valueOr(const Map& map, const UUID& id, typename Map::mapped_type fallback) {
    auto it = map.find(id);
    return it == map.end() ? fallback : it->second;
}

}  // namespace

int V230HostAudioAuxServer::videoCongestionWindow(const CaptureModeControlPayload& request, int targetFPS) {
    if (request.flags & kReducedRouteFlag) return targetFPS >= 60 ? 14 : 10;
    if (targetFPS >= 60) return 8;
    // Larger pictures take longer to send: the window grows with the
    // encoded size.
    const int64_t maxDimension = transportMaxDimension(request);
    const int64_t longer = std::max<int64_t>(1, std::max(request.pixelWidth, request.pixelHeight));
    const double scale = std::min(1.0, static_cast<double>(maxDimension) / static_cast<double>(longer));
    auto side = [scale](int pixels) {
        auto encoded = static_cast<int64_t>(static_cast<double>(std::max(2, pixels)) * scale);
        if (encoded < 3) encoded = 2;
        return encoded & ~int64_t{1};
    };
    const int64_t pixels = side(request.pixelWidth) * side(request.pixelHeight);
    if (pixels >= 12'000'000) return 12;
    if (pixels >= 7'000'000) return 10;
    if (pixels >= 3'500'000) return 8;
    if (request.chromaMode == VideoChromaMode::yuv444) return 6;
    return pixels >= 2'000'000 ? 6 : 4;
}

void V230HostAudioAuxServer::beginVideoSessionAckWindow(const UUID& id) {
    auto& sc = streamControl;
    sc.videoSessionOutstandingAcks[id] = 0;
    sc.videoSessionLastAckNs[id] = platform::Clock::uptimeNs();
    sc.videoSessionLastFrameSentNs[id] = 0;
}

void V230HostAudioAuxServer::forgetVideoSessionDeliveryState(const UUID& id) {
    auto& sc = streamControl;
    sc.videoSessionOutstandingAcks.erase(id);
    sc.videoSessionLastAckNs.erase(id);
    sc.videoSessionLastFrameSentNs.erase(id);
    sc.videoSessionsAwaitingKeyFrame.erase(id);
    sc.videoSessionsWaitingForRoom.erase(id);
    sc.videoStreamKindAnnounced.erase(id);
    sc.videoSessionDeliveredFrames.erase(id);
    sc.videoSessionSkippedFrames.erase(id);
}

void V230HostAudioAuxServer::recordVideoFrameAck(const UUID& from, uint32_t count) {
    queue.dispatchPrecondition();
    if (!authorizedVideoSessions.count(from) || count == 0) return;
    auto& sc = streamControl;
    int& outstanding = sc.videoSessionOutstandingAcks[from];
    outstanding = static_cast<int>(std::max<int64_t>(0, int64_t{outstanding} - int64_t{count}));
    const uint64_t now = platform::Clock::uptimeNs();
    sc.videoSessionLastAckNs[from] = now;
    updateVideoGateLocked(now);
}

void V230HostAudioAuxServer::resetVideoAckWindow() {
    queue.dispatchPrecondition();
    auto& sc = streamControl;
    const uint64_t now = platform::Clock::uptimeNs();
    for (const UUID& id : authorizedVideoSessions) {
        sc.videoSessionOutstandingAcks[id] = 0;
        sc.videoSessionLastAckNs[id] = now;
        sc.videoSessionLastFrameSentNs[id] = 0;
    }
    sc.videoSendInFlight.set(0);
    sc.videoEncodeBlocked.set(0);
}

namespace {

// How long the session has gone without an acknowledgement (or, before its
// first, since its last frame); nothing when its reference time has no age.
std::optional<uint64_t> referenceAge(const StreamControlState& sc, const UUID& id, uint64_t nowNs) {
    auto ack = sc.videoSessionLastAckNs.find(id);
    const uint64_t reference =
        ack != sc.videoSessionLastAckNs.end() ? ack->second : valueOr(sc.videoSessionLastFrameSentNs, id, uint64_t{0});
    if (reference == 0 || reference >= nowNs) return std::nullopt;
    return nowNs - reference;
}

}  // namespace

bool V230HostAudioAuxServer::videoSessionIsBackedUp(const UUID& id, uint64_t nowNs, int window) const {
    const int outstanding = valueOr(streamControl.videoSessionOutstandingAcks, id, 0);
    if (outstanding > 2 * window) return true;
    if (outstanding <= window) return false;
    const auto age = referenceAge(streamControl, id, nowNs);
    return age && *age > kBackedUpAfterNs;
}

bool V230HostAudioAuxServer::videoSessionIsDead(const UUID& id, uint64_t nowNs, int window) const {
    if (valueOr(streamControl.videoSessionOutstandingAcks, id, 0) <= window) return false;
    const auto age = referenceAge(streamControl, id, nowNs);
    return age && *age > kDeadAfterNs;
}

void V230HostAudioAuxServer::updateVideoGateLocked(uint64_t nowNs) {
    auto& sc = streamControl;
    int64_t total = 0;
    int64_t sessions = 0, healthy = 0;
    int leastOutstanding = std::numeric_limits<int>::max();
    for (const UUID& id : authorizedVideoSessions) {
        const int outstanding = std::max(0, valueOr(sc.videoSessionOutstandingAcks, id, 0));
        total += outstanding;
        ++sessions;
        if (!videoSessionIsBackedUp(id, nowNs, sc.currentVideoCongestionWindow)) {
            ++healthy;
            leastOutstanding = std::min(leastOutstanding, outstanding);
        }
    }
    sc.videoSendInFlight.set(total);
    const int64_t window = std::max(1, sc.currentVideoCongestionWindow);
    const bool blocked = healthy > 0 ? window < leastOutstanding : sessions > 0 && window * sessions < total;
    sc.videoEncodeBlocked.set(blocked ? 1 : 0);
    updateMotionStreamGateLocked(nowNs);
}

void V230HostAudioAuxServer::serviceVideoFlowLocked(uint64_t nowNs) {
    queue.dispatchPrecondition();
    auto& sc = streamControl;
    // Sleep, a waking virtual display or the lock screen stop a Viewer's
    // acknowledgements through no fault of its own.
    const bool holdPruning = screensAreSleeping || virtualDisplayWakeStabilizationDeadline ||
                             isAwaitingSleepPreflightPhysicalRecovery || sc.cachedConsoleLocked;
    if (!holdPruning) {
        std::vector<UUID> dead;
        for (const UUID& id : authorizedVideoSessions)
            if (videoSessionIsDead(id, nowNs, sc.currentVideoCongestionWindow)) dead.push_back(id);
        for (const UUID& id : dead) {
            char seconds[16];
            std::snprintf(seconds, sizeof seconds, "%.1f", kDeadAfterNs / 1e9);
            publish(std::string("video aux client dead: no frame ACK for ") + seconds + "s outstanding=" +
                    std::to_string(valueOr(sc.videoSessionOutstandingAcks, id, 0)) + "; pruning " + id.id8());
            closeSession(id, AuxChannel::video);
        }
    }
    updateVideoGateLocked(nowNs);
}

void V230HostAudioAuxServer::startVideoFlowTimer() {
    queue.dispatchPrecondition();
    auto& timer = streamControl.videoFlowTimer;
    if (timer) timer->cancel();
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    timer = std::make_unique<platform::DispatchTimer>(
        queue, kFlowTimerSeconds,
        [weak] {
            auto self = weak.lock();
            if (!self) return;
            if (self->authorizedVideoSessions.empty()) {
                if (self->streamControl.videoEncodeBlocked.value() != 0) self->streamControl.videoEncodeBlocked.set(0);
                return;
            }
            self->serviceVideoFlowLocked(platform::Clock::uptimeNs());
        },
        kFlowTimerSeconds);
    timer->resume();
}
