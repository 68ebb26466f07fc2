// Routes a logged-in Viewer's control messages to the subsystem that acts
// on them. Malformed payloads are logged and dropped; they never end a
// session by themselves.

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "HostApp/Protocol/VideoControlPayloads.h"
#include "Platform/Runtime/Clock.h"

using platform::UUID;

namespace {

std::string captureRouteSummary(const CaptureModeControlPayload& request) {
    std::string route = (request.flags & CaptureModeControlPayload::flagWiFiRoute) ? "wifi" : "wired";
    if (request.flags & CaptureModeControlPayload::flagReduced) route += " reduced";
    return route;
}

// Types only the Host sends; a Viewer sending one is confused or probing.
bool isHostToViewerType(AuxPacketType type) {
    switch (type) {
        case AuxPacketType::audioFrame:
        case AuxPacketType::hostStatus:
        case AuxPacketType::videoStreamConfig:
        case AuxPacketType::videoFrame:
        case AuxPacketType::videoStats:
        case AuxPacketType::displayLayout:
        case AuxPacketType::hostSessionInfo:
        case AuxPacketType::fileTransferEndpoint:
        case AuxPacketType::dragSnapshot:
        case AuxPacketType::dragSnapshotEnd:
        case AuxPacketType::hostIdentityProof:
        case AuxPacketType::hostRecordingState:
            return true;
        default:
            return false;
    }
}

}  // namespace

void V230HostAudioAuxServer::dispatchControl(const AuxPacketHeader& header, std::span<const uint8_t> payload,
                                             const UUID& sourceID) {
    queue.dispatchPrecondition();
    auto contextIt = sessionContexts_.find(sourceID);
    if (contextIt == sessionContexts_.end() || !contextIt->second->authorized) return;
    AuxSessionContext& session = *contextIt->second;
    const auto raw = static_cast<uint8_t>(header.type);

    if (isHostToViewerType(header.type)) {
        noteOnce(session, raw, "aux: host-to-viewer type " + std::to_string(raw) + " from session " + sourceID.id8() +
                                   "; dropped");
        return;
    }

    // `value` is the decoded request in its wire form (a long payload's
    // ignored tail is not kept). The pacer is the Host's, and charges the
    // request to the Viewer's peer, so that neither more connections nor
    // more sessions buy more changes. A change waiting for its turn is
    // dropped, before it takes a hold, if its session has gone.
    auto paceChange = [&](StreamChangePacer::Kind kind, const std::vector<uint8_t>& value, auto change) {
        std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
        auto liveSession = [weak, sourceID]() -> AuxSessionContext* {
            auto self = weak.lock();
            if (!self || self->terminating_) return nullptr;
            auto it = self->sessionContexts_.find(sourceID);
            if (it == self->sessionContexts_.end() || !it->second->authorized || it->second->closed) return nullptr;
            return it->second.get();
        };
        streamControl.changePacer.submit(
            queue, session.account->peer, kind, value, [liveSession] { return liveSession() != nullptr; },
            [weak, liveSession, change = std::move(change)] {
                auto self = weak.lock();
                auto* live = liveSession();
                if (!self || !live) return;
                const platform::WorkLedger::Charged charged(live->account->ledger);
                change(*self);
            });
    };

    switch (header.type) {
        case AuxPacketType::audioControl: {
            if (session.channel != AuxChannel::audio) {
                publish("audio control rejected on video channel");
                return;
            }
            auto control = AudioControlPayload::decode(payload);
            if (!control) return publish("bad audio control payload");
            applyAudioControl(*control, sourceID, session.connection);
            return;
        }
        // These four rebuild the shared stream or switch a display: one
        // change a hold for the whole Host, each peer's latest waiting its
        // turn (StreamChangePacer).
        case AuxPacketType::captureModeControl: {
            auto request = CaptureModeControlPayload::decode(payload);
            if (!request) return publish("bad capture mode payload");
            publish("capture mode control received: " + request->summary() + " route=" + captureRouteSummary(*request));
            return paceChange(StreamChangePacer::Kind::captureMode, request->encode(),
                                    [request = *request, sourceID](V230HostAudioAuxServer& s) {
                                        s.broadcastHostError("display: requested " + request.summary());
                                        s.applyVideoCaptureRequest(request, sourceID);
                                    });
        }
        case AuxPacketType::videoPreferenceControl: {
            auto preference = VideoPreferenceControlPayload::decode(payload);
            if (!preference) return publish("bad video preference payload");
            return paceChange(StreamChangePacer::Kind::videoPreference, {rawValue(preference->chromaMode)},
                                    [chroma = preference->chromaMode](V230HostAudioAuxServer& s) {
                                        s.applyVideoChromaMode(chroma);
                                    });
        }
        case AuxPacketType::hostDisplayModeControl: {
            auto control = HostDisplayModeControlPayload::decode(payload);
            if (!control) return publish("bad host display mode payload");
            return paceChange(StreamChangePacer::Kind::hostDisplayMode, {static_cast<uint8_t>(control->mode)},
                                    [mode = control->mode](V230HostAudioAuxServer& s) {
                                        s.applyHostDisplayMode(mode);
                                    });
        }
        case AuxPacketType::pointerEvent: {
            auto event = PointerEventControlPayload::decode(payload);
            if (!event) return publish("bad pointer event payload");
            applyPointerEvent(*event, sourceID);
            return;
        }
        case AuxPacketType::videoFrameAck:
            recordVideoFrameAck(sourceID);
            return;
        case AuxPacketType::clipboardTransfer: {
            // A property list of many files takes long to decode: it is
            // decoded on a queue of its own, charged to the sender's peer
            // with its bytes, and not at all when a newer transfer (from any
            // Viewer: the clipboard is one value) came before its turn.
            const uint64_t serial = ++clipboardTransferSerial;
            clipboardDecodeQueue.async(
                [weak = weak_from_this(), serial, bytes = std::vector<uint8_t>(payload.begin(), payload.end())] {
                    auto self = weak.lock();
                    if (!self || self->terminating_ || serial != self->clipboardTransferSerial) return;
                    auto transfer = ClipboardTransfer::decode(bytes);
                    // The decoder's reason can quote the Viewer's bytes: the
                    // kind is fixed here, never taken from it.
                    if (!transfer.ok()) return self->publish("bad clipboard payload: " + transfer.error());
                    self->queue.async([weak, transfer = std::move(*transfer)] {
                        auto server = weak.lock();
                        if (server && !server->terminating_ && server->onClipboardTransfer)
                            server->onClipboardTransfer(transfer);
                    });
                },
                payload.size());
            return;
        }
        case AuxPacketType::gestureEvent: {
            auto event = GestureEventControlPayload::decode(payload);
            if (!event) return publish("bad gesture event payload");
            applyGestureEvent(*event, sourceID);
            return;
        }
        case AuxPacketType::hostShortcut: {
            auto shortcut = HostShortcutControlPayload::decode(payload);
            if (!shortcut) return publish("bad host shortcut payload");
            if ((shortcut->kind == HostShortcutKind::nextDesktop || shortcut->kind == HostShortcutKind::previousDesktop) &&
                desktopStepTooSoon(session))
                return;
            applyHostShortcut(*shortcut, sourceID);
            return;
        }
        case AuxPacketType::keyEvent: {
            auto event = KeyEventControlPayload::decode(payload);
            if (!event) return publish("bad key event payload");
            applyKeyEvent(*event, sourceID);
            return;
        }
        case AuxPacketType::fileTransferPacket: {
            auto packet = FileTransferPacket::decode(payload);
            if (!packet) return publish("bad file transfer payload");
            if (onFileTransferPacket) onFileTransferPacket(std::move(*packet), sourceID);
            return;
        }
        case AuxPacketType::rawKeyEvent: {
            auto event = RawKeyEventControlPayload::decode(payload);
            if (!event) return publish("bad raw key event payload");
            applyRawKeyEvent(*event, sourceID);
            return;
        }
        case AuxPacketType::systemDefinedKeyEvent: {
            auto event = SystemDefinedKeyEventControlPayload::decode(payload);
            if (!event) return publish("bad system-defined key payload");
            applySystemDefinedKeyEvent(*event, sourceID);
            return;
        }
        case AuxPacketType::hostPhysicalDisplayControl: {
            auto control = HostPhysicalDisplayControlPayload::decode(payload);
            if (!control) return publish("bad host physical display payload");
            return paceChange(StreamChangePacer::Kind::physicalDisplayAction,
                                    {static_cast<uint8_t>(control->action)},
                                    [action = control->action](V230HostAudioAuxServer& s) {
                                        s.applyHostPhysicalDisplayAction(action);
                                    });
        }
        case AuxPacketType::dragPull: {
            auto pull = DragPullRequestPayload::decode(payload);
            if (!pull) return publish("bad drag pull payload");
            if (onDragPullRequest) onDragPullRequest(pull->snapshotID, pull->index, sourceID);
            return;
        }
        case AuxPacketType::keyFrameRequest:
            // Each capture consumes the request on its own frame path.
            for (const auto& capture : {streamControl.videoCapture, streamControl.motionStreamCapture})
                if (capture) capture->forceKeyFrameRequested.set(1);
            return;
        case AuxPacketType::iosBackgroundPresence:
            // Only an iOS Viewer's audio link reports its app's presence.
            if (session.channel != AuxChannel::audio || !isIOSViewerSession(sourceID) || payload.size() != 1) return;
            if (payload[0] == 1) {
                beginIOSViewerBackgroundSleepGrace();
            } else if (payload[0] == 0) {
                endIOSViewerBackgroundSleepGrace("iOS Viewer returned to foreground");
            } else {
                publish("bad iOS background presence state");
            }
            return;
        case AuxPacketType::hostRecordingControl: {
            // A malformed one is refused at once, never held; a start opens
            // a movie writer and encodes the shared picture a second time,
            // so it is paced with the stream's changes.
            if (!HostRecordingControlPayload::decode(payload)) return handleHostRecordingControl(payload, sourceID);
            const auto kept = payload.first(HostRecordingControlPayload::encodedSize);
            std::vector<uint8_t> value(kept.begin(), kept.end());
            return paceChange(StreamChangePacer::Kind::recording, value,
                              [value, sourceID](V230HostAudioAuxServer& s) {
                                  s.handleHostRecordingControl(value, sourceID);
                              });
        }
        default:
            // 43, 46, 47, 48: valid on the wire, nothing for the Host to do.
            noteOnce(session, raw, "aux: ignoring type " + std::to_string(raw) + " from session " + sourceID.id8());
            return;
    }
}

namespace {

// Adds the tokens `intervalSeconds` earned since the last refill, up to the
// burst.
void refill(AuxSessionContext::RateBucket& bucket, double intervalSeconds, uint64_t now) {
    const double burst = V230HostAudioAuxServer::kRateBurst;
    if (!bucket.tokens) {
        bucket.tokens = burst;
    } else {
        const double earned = static_cast<double>(now - bucket.refilledNs) / 1e9 / intervalSeconds;
        bucket.tokens = std::min(burst, *bucket.tokens + earned);
    }
    bucket.refilledNs = now;
}

}  // namespace

bool V230HostAudioAuxServer::desktopStepTooSoon(AuxSessionContext& session) {
    queue.dispatchPrecondition();
    // A shortcut's other actions are not counted.
    auto& bucket = session.desktopSteps;
    refill(bucket, kDesktopStepIntervalSeconds, platform::Clock::uptimeNs());
    if (*bucket.tokens < 1) return true;
    *bucket.tokens -= 1;
    return false;
}
