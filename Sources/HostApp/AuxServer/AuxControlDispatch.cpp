// Routes a logged-in Viewer's control messages to the subsystem that acts
// on them. Malformed payloads are logged and dropped; they never end a
// session by themselves.

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "HostApp/Protocol/VideoControlPayloads.h"
#include "Platform/Clock.h"

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
    // ignored tail is not kept). A change waiting for the hold is dropped if
    // its session has gone.
    auto paceStreamChange = [&](StreamChangePacer::Kind kind, const std::vector<uint8_t>& value, auto change) {
        std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
        streamControl.changePacer.submit(queue, sourceID, kind, value, [weak, sourceID, change = std::move(change)] {
            auto self = weak.lock();
            if (!self) return;
            auto it = self->sessionContexts_.find(sourceID);
            if (it != self->sessionContexts_.end() && it->second->authorized) change(*self);
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
        // These four rebuild the shared stream or switch a display: each
        // session's latest is applied, at most once a hold (StreamChangePacer).
        case AuxPacketType::captureModeControl: {
            auto request = CaptureModeControlPayload::decode(payload);
            if (!request) return publish("bad capture mode payload");
            publish("capture mode control received: " + request->summary() + " route=" + captureRouteSummary(*request));
            return paceStreamChange(StreamChangePacer::Kind::captureMode, request->encode(),
                                    [request = *request, sourceID](V230HostAudioAuxServer& s) {
                                        s.broadcastHostError("display: requested " + request.summary());
                                        s.applyVideoCaptureRequest(request, sourceID);
                                    });
        }
        case AuxPacketType::videoPreferenceControl: {
            auto preference = VideoPreferenceControlPayload::decode(payload);
            if (!preference) return publish("bad video preference payload");
            return paceStreamChange(StreamChangePacer::Kind::videoPreference, {rawValue(preference->chromaMode)},
                                    [chroma = preference->chromaMode](V230HostAudioAuxServer& s) {
                                        s.applyVideoChromaMode(chroma);
                                    });
        }
        case AuxPacketType::hostDisplayModeControl: {
            auto control = HostDisplayModeControlPayload::decode(payload);
            if (!control) return publish("bad host display mode payload");
            return paceStreamChange(StreamChangePacer::Kind::hostDisplayMode, {static_cast<uint8_t>(control->mode)},
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
            auto transfer = ClipboardTransfer::decode(payload);
            // The decoder's reason can quote the Viewer's bytes: the kind is
            // fixed here, never taken from it.
            if (!transfer.ok())
                return publish("bad clipboard payload: " + transfer.error());
            if (onClipboardTransfer) onClipboardTransfer(*transfer);
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
            return paceStreamChange(StreamChangePacer::Kind::physicalDisplayAction,
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
        case AuxPacketType::hostRecordingControl:
            // A malformed one is refused at once, never held.
            if (HostRecordingControlPayload::decode(payload) && holdForLatest(session, header.type, payload)) return;
            handleHostRecordingControl(payload, sourceID);
            return;
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

// Only a recording is held this way today; stream changes are paced by
// StreamChangePacer.
double intervalFor(AuxPacketType) { return V230HostAudioAuxServer::kHeldRequestIntervalSeconds; }

}  // namespace

bool V230HostAudioAuxServer::holdForLatest(AuxSessionContext& session, AuxPacketType type,
                                           std::span<const uint8_t> payload, bool changesNothing) {
    queue.dispatchPrecondition();
    auto& bucket = session.rateBuckets[static_cast<uint8_t>(type)];
    if (bucket.releasing) {
        bucket.releasing = false;
        return false;
    }
    // Nothing waits that it would overtake, and it costs nothing.
    if (changesNothing && !bucket.latest) return false;
    const double interval = intervalFor(type);
    refill(bucket, interval, platform::Clock::uptimeNs());
    if (!bucket.latest && *bucket.tokens >= 1) {
        *bucket.tokens -= 1;
        return false;
    }
    // These payloads are a few bytes; whatever follows them is ignored, so
    // a long one is not worth keeping.
    constexpr size_t kKeptBytes = 64;
    const bool timerSet = bucket.latest.has_value();
    bucket.latest.emplace(payload.begin(), payload.begin() + static_cast<long>(std::min(payload.size(), kKeptBytes)));
    if (timerSet) return true;
    queue.asyncAfter((1 - *bucket.tokens) * interval, [weak = weak_from_this(), id = session.id, type] {
        if (auto self = weak.lock()) self->actOnHeldRequest(id, type);
    });
    return true;
}

void V230HostAudioAuxServer::actOnHeldRequest(const UUID& sessionID, AuxPacketType type) {
    queue.dispatchPrecondition();
    if (terminating_) return;
    auto found = sessionContexts_.find(sessionID);
    if (found == sessionContexts_.end() || found->second->closed) return;
    auto& bucket = found->second->rateBuckets[static_cast<uint8_t>(type)];
    if (!bucket.latest) return;
    refill(bucket, intervalFor(type), platform::Clock::uptimeNs());
    // The timer's own rounding may leave a hair short of a token.
    bucket.tokens = std::max(0.0, *bucket.tokens - 1);
    const std::vector<uint8_t> payload = std::move(*bucket.latest);
    bucket.latest.reset();
    bucket.releasing = true;
    AuxPacketHeader header;
    header.type = type;
    const platform::WorkLedger::Charged charged(found->second->account->ledger);
    dispatchControl(header, payload, sessionID);
    if (auto again = sessionContexts_.find(sessionID); again != sessionContexts_.end())
        again->second->rateBuckets[static_cast<uint8_t>(type)].releasing = false;
}

bool V230HostAudioAuxServer::desktopStepTooSoon(AuxSessionContext& session) {
    queue.dispatchPrecondition();
    // Its own bucket: a shortcut's other actions are not counted.
    constexpr uint8_t kDesktopStepKey = 0;
    auto& bucket = session.rateBuckets[kDesktopStepKey];
    refill(bucket, kDesktopStepIntervalSeconds, platform::Clock::uptimeNs());
    if (*bucket.tokens < 1) return true;
    *bucket.tokens -= 1;
    return false;
}
