// Frame delivery: each encoded frame is built once into a shared packet and
// fanned out, on the server queue, to every session bound to its stream.
// A session whose acknowledgements lag, or whose peer has no room to send
// the frame, is skipped until the next key frame, a session gets its
// stream's configuration before its first frame, and a connection that is
// not ready or whose send fails is closed and removed.

#include <vector>

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "Platform/Runtime/Clock.h"
#include "Platform/Runtime/Log.h"

using platform::UUID;

namespace {

// Delivery notes kept before the set is emptied and notes log again.
constexpr size_t kMaxNotedDeliveryKeys = 64;
constexpr uint64_t kSkippedViewerKeyFrameIntervalNs = 500'000'000;

}  // namespace

void V230HostAudioAuxServer::broadcastVideoFrame(std::span<const uint8_t> payload, bool isKeyFrame,
                                                 uint64_t timestampNs, uint64_t generation,
                                                 HostVideoStreamKind stream, AtomicInt* keyFrameRequest) {
    // On the capture's thread: one copy of the frame, into the packet every
    // session will send, then the hop.
    auto& sc = streamControl;
    const bool shared = stream == HostVideoStreamKind::shared;
    if (CadenceProbe::requested())
        (shared ? sc.cadenceDebugSharedEnqueue : sc.cadenceDebugMotionEnqueue).record(platform::Clock::uptimeNs());
    // Each stream has one producing thread, so its count is only ever
    // raised here and the check cannot be overtaken.
    auto& handOff = sc.frameHandOff[shared ? 0 : 1];
    if (handOff.droppingUntilKeyFrame.value() != 0) {
        if (!isKeyFrame) {
            sc.framesDroppedAwaitingServerQueue.increment();
            return;
        }
        handOff.droppingUntilKeyFrame.set(0);
    }
    if (handOff.waiting.value() >= StreamControlState::maxFramesAwaitingServerQueue) {
        handOff.droppingUntilKeyFrame.set(1);
        sc.framesDroppedAwaitingServerQueue.increment();
        if (keyFrameRequest) keyFrameRequest->set(1);
        return;
    }
    handOff.waiting.increment();
    auto packet = sc.framePackets.build(AuxPacketType::videoFrame, isKeyFrame ? 1 : 0, payload, timestampNs);
    const size_t bytes = payload.size();
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    queue.async([weak, packet = std::move(packet), bytes, isKeyFrame, generation, stream] {
        auto self = weak.lock();
        if (!self) return;
        auto& state = self->streamControl;
        const bool isShared = stream == HostVideoStreamKind::shared;
        state.frameHandOff[isShared ? 0 : 1].waiting.decrement();
        if (generation != (isShared ? state.videoCaptureGeneration : state.motionStreamCaptureGeneration)) return;
        if (isShared) {
            state.changePacer.streamFlowing();
            state.videoFramesSent++;
            state.videoBytesSent += static_cast<int64_t>(bytes);
        } else {
            state.motionStreamFramesSent++;
            state.motionStreamBytesSent += static_cast<int64_t>(bytes);
            state.motionStreamMaxFrameBytes = std::max(state.motionStreamMaxFrameBytes, static_cast<int64_t>(bytes));
        }
        const uint64_t now = platform::Clock::uptimeNs();
        if (CadenceProbe::requested())
            (isShared ? state.cadenceDebugSharedSend : state.cadenceDebugMotionSend).record(now);
        if (self->authorizedVideoSessions.empty()) return;
        self->deliverVideoFrame(packet, isKeyFrame, stream, now);
    });
}

void V230HostAudioAuxServer::deliverVideoFrame(const platform::TcpConnection::SharedBytes& packet, bool isKeyFrame,
                                               HostVideoStreamKind stream, uint64_t now) {
    queue.dispatchPrecondition();
    auto& sc = streamControl;
    const int window = sc.currentVideoCongestionWindow;
    // Pruning edits the session sets: walk a snapshot, and look each
    // session up again when its turn comes.
    const std::vector<UUID> ids(authorizedVideoSessions.begin(), authorizedVideoSessions.end());
    for (const UUID& id : ids) {
        if (!authorizedVideoSessions.count(id)) continue;
        if (videoStreamKind(id) != stream) {
            noteVideoDeliveryOnce(id, stream, "kind-mismatch");
            continue;
        }
        auto found = videoSessions.find(id);
        if (found == videoSessions.end()) {
            noteVideoDeliveryOnce(id, stream, "no-connection");
            continue;
        }
        const auto connection = found->second;
        if (connection->state() != platform::ConnectionState::ready) {
            noteVideoDeliveryOnce(id, stream, "stale-connection");
            publish("video session " + id.id8() + " connection is not ready; pruning");
            closeSession(id, AuxChannel::video);
            continue;
        }
        // A session bound to a stream it has not had the configuration of
        // gets it just before the frame, on the same connection: the room
        // asked for below covers both sends, or neither goes.
        const bool shared = stream == HostVideoStreamKind::shared;
        const auto announced = sc.videoStreamKindAnnounced.find(id);
        const bool mustAnnounce = announced == sc.videoStreamKindAnnounced.end() || announced->second != stream;
        const auto& config = shared ? sc.lastVideoConfig : sc.lastMotionStreamVideoConfig;
        std::vector<uint8_t> configPacket;
        if (mustAnnounce && config)
            configPacket =
                makeAuxPacket(AuxPacketType::videoStreamConfig, 0, config->encode(), platform::Clock::uptimeNs());
        // The room check counts one send's overhead; the configuration is
        // a second send.
        const size_t room =
            packet->size() +
            (configPacket.empty() ? 0 : configPacket.size() + platform::TcpConnection::kQueuedSendOverhead);
        // A frame its peer has no room for is skipped, key frame or not,
        // whatever the acknowledgements say (a peer may send them unread):
        // the session waits for a key frame, asked for once room is back.
        // The announcement is not recorded, so the next frame that fits
        // takes it along.
        if (!connection->budgetHasRoomFor(room)) {
            awaitKeyFrameOnceRoomIsBackLocked(id, *connection, room);
            sc.videoSessionSkippedFrames[id]++;
            noteVideoDeliveryOnce(id, stream, "no-room");
            continue;
        }
        if (isKeyFrame) {
            sc.videoSessionsAwaitingKeyFrame.erase(id);
            sc.videoSessionsWaitingForRoom.erase(id);
        } else if (sc.videoSessionsAwaitingKeyFrame.count(id)) {
            sc.videoSessionSkippedFrames[id]++;
            noteVideoDeliveryOnce(id, stream, "awaiting-keyframe");
            // It shows nothing until one comes: asked for (at the pace
            // above) whatever it waited for, room included.
            requestKeyFrameForSkippedViewerLocked(stream, now);
            continue;
        } else if (videoSessionIsBackedUp(id, now, window)) {
            sc.videoSessionsAwaitingKeyFrame.insert(id);
            sc.videoSessionSkippedFrames[id]++;
            noteVideoDeliveryOnce(id, stream, "backed-up");
            requestKeyFrameForSkippedViewerLocked(stream, now);
            continue;
        }

        noteVideoDeliveryOnce(id, stream, "sending");
        if (mustAnnounce) {
            sc.videoStreamKindAnnounced[id] = stream;
            if (!configPacket.empty()) {
                connection->send(std::move(configPacket));
                const auto& capture = shared ? sc.videoCapture : sc.motionStreamCapture;
                if (capture) capture->forceKeyFrameRequested.set(1);
                publish("video config re-announced to " + id.id8() + " for stream=" + streamKindName(stream));
            }
        }
        sc.videoSessionOutstandingAcks[id]++;
        sc.videoSessionDeliveredFrames[id]++;
        sc.videoSessionLastFrameSentNs[id] = now;
        std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
        std::weak_ptr<platform::TcpConnection> sentOn = connection;
        connection->send(
            packet,
            [weak, id, sentOn](const std::string& error) {
                auto self = weak.lock();
                if (!self || error.empty()) return;
                // Only the connection the frame went out on: a session that
                // is gone, or has moved on, is nobody's business here.
                auto current = self->videoSessions.find(id);
                if (current == self->videoSessions.end() || current->second != sentOn.lock()) return;
                self->publish("video aux client send failed; pruning stale media session " + id.id8());
                self->closeSession(id, AuxChannel::video);
            },
            platform::TcpConnection::CompletionReport::failureOnly);
    }
    serviceVideoFlowLocked(now);
}

void V230HostAudioAuxServer::awaitKeyFrameOnceRoomIsBackLocked(const UUID& id,
                                                                const platform::TcpConnection& connection,
                                                                size_t room) {
    auto& sc = streamControl;
    sc.videoSessionsAwaitingKeyFrame.insert(id);
    // Its key frame is asked for once room is back, frame or not: a still
    // screen sends none that would ask for it.
    if (!sc.videoSessionsWaitingForRoom.insert(id).second) return;
    const auto peer = connection.sendBudget();
    if (!peer) return;
    // Ends with the watcher's connection, whose session's wait is gone.
    peer->whenRoomToSend(room, [weak = weak_from_this(), id] {
        auto self = weak.lock();
        if (!self) return;
        const platform::WorkLedger::Charged nobody(nullptr);
        self->queue.async([weak, id] {
            auto self = weak.lock();
            // The wait is over: a skip from here (the key frame asked for
            // may not fit what came back) waits again.
            if (!self || self->terminating_ || !self->streamControl.videoSessionsWaitingForRoom.erase(id)) return;
            // Once a wait: never held back by another Viewer's request just
            // before.
            self->streamControl.lastSkippedViewerKeyFrameRequestNs = 0;
            // The stream the session receives now: the wait may have been
            // set for the other one.
            self->requestKeyFrameForSkippedViewerLocked(self->videoStreamKind(id), platform::Clock::uptimeNs());
        });
    }, connection.weak_from_this());
}

void V230HostAudioAuxServer::noteVideoDeliveryOnce(const UUID& sessionID, HostVideoStreamKind stream,
                                                   const std::string& reason) {
    auto& keys = streamControl.videoDeliveryNotedKeys;
    std::string key = sessionID.id8() + "-" + reason;
    if (keys.count(key)) return;
    if (keys.size() > kMaxNotedDeliveryKeys) keys.clear();
    keys.insert(std::move(key));
    publish("video delivery: session " + sessionID.id8() + " " + reason + " stream=" + streamKindName(stream));
}

void V230HostAudioAuxServer::requestKeyFrameForSkippedViewerLocked(HostVideoStreamKind stream, uint64_t nowNs) {
    auto& sc = streamControl;
    if (nowNs - sc.lastSkippedViewerKeyFrameRequestNs <= kSkippedViewerKeyFrameIntervalNs) return;
    sc.lastSkippedViewerKeyFrameRequestNs = nowNs;
    const auto& capture = stream == HostVideoStreamKind::motionStream ? sc.motionStreamCapture : sc.videoCapture;
    if (capture) capture->forceKeyFrameRequested.set(1);
    // Straight to the log, not to the status line: it can come often.
    platform::Log::line("video: viewer backlog skipped a frame; requesting keyframe");
}
