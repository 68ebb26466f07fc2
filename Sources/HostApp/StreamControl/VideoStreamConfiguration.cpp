// The stream configuration (type 19): accepting the shared capture's
// configuration, announcing it to the sessions bound to its stream, and
// re-announcing the current ones on request. A Viewer cannot decode a frame
// before it has had its stream's configuration.

#include <algorithm>
#include <cstdio>

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "Platform/Runtime/Clock.h"

using platform::UUID;

namespace {

// Shared canvases above this many pixels are beyond the Easy class, and iOS
// Viewers get the Motion stream instead.
constexpr int64_t kEasyClassMaxPixels = 5'760'000;

}  // namespace

std::string V230HostAudioAuxServer::videoConfigText(const VideoStreamConfigPayload& config) {
    char text[512];
    std::snprintf(text, sizeof text, "%s %s %s %s @%d target=%.0fMb/s",
                  config.codec == VideoStreamCodec::hevc ? "HEVC" : "H264",
                  config.chromaMode == VideoChromaMode::yuv444 ? "4:4:4" : "4:2:0", modeTitle(config.mode).c_str(),
                  config.resolutionSummary().c_str(), static_cast<int>(config.fps), config.bitrate / 1'000'000.0);
    return text;
}

void V230HostAudioAuxServer::sendVideoStreamConfig(const UUID& id,
                                                   const std::shared_ptr<platform::TcpConnection>& connection,
                                                   const VideoStreamConfigPayload& config, HostVideoStreamKind kind) {
    auto payload = config.encode();
    const size_t room = AuxPacketHeader::size + payload.size();
    if (!connection->budgetHasRoomFor(room)) {
        // Not announced: the frame path sends it before the next frame that
        // fits, and a Viewer whose decoder it resets then needs a key frame.
        streamControl.videoStreamKindAnnounced.erase(id);
        awaitKeyFrameOnceRoomIsBackLocked(id, *connection, room);
        return;
    }
    // The session now has this stream's configuration: the frame path
    // announces again only when the stream the session receives changes.
    streamControl.videoStreamKindAnnounced[id] = kind;
    sendToSession(id, AuxChannel::video, connection, AuxPacketType::videoStreamConfig, std::move(payload));
}

V230HostAudioAuxServer::HostVideoStreamKind V230HostAudioAuxServer::videoStreamKind(const UUID& id) const {
    return streamControl.motionStreamCapture && isIOSViewerSession(id) ? HostVideoStreamKind::motionStream
                                                                         : HostVideoStreamKind::shared;
}

void V230HostAudioAuxServer::acceptVideoCaptureConfig(const VideoStreamConfigPayload& config, uint64_t generation,
                                                      const CaptureModeControlPayload& request, uint32_t displayID) {
    queue.dispatchPrecondition();
    auto& sc = streamControl;
    if (generation != sc.videoCaptureGeneration) return;
    if (sc.acceptedVideoConfig && sc.acceptedVideoConfig->generation == generation &&
        sc.acceptedVideoConfig->config == config) {
        return;
    }
    sc.acceptedVideoConfig = StreamControlState::AcceptedConfig{generation, config};
    sc.videoStartRetryAttempts = 0;
    headlessRealizeRetryAttempts = 0;
    sc.lastVideoConfig = config;
    sc.activeVideoCaptureRequest = request;
    sc.activeVideoCaptureDisplayID = displayID;

    sc.videoConfigSummary = videoConfigText(config);
    publish("aux video config " + sc.videoConfigSummary);
    broadcastVideoConfig(config, HostVideoStreamKind::shared);

    if (sc.videoCapture && static_cast<int64_t>(config.width) * config.height > kEasyClassMaxPixels) {
        ensureMotionStream("shared capture " + config.resolutionSummary() + " is beyond the Easy class");
        return;
    }
    const bool iosViewer = std::any_of(authorizedVideoSessions.begin(), authorizedVideoSessions.end(),
                                       [this](const UUID& id) { return isIOSViewerSession(id); });
    if (sc.motionStreamCapture && !iosViewer) {
        scheduleMotionStreamIdleRelease("shared canvas returned to the Easy class", 3.0);
    }
}

void V230HostAudioAuxServer::broadcastVideoConfig(const VideoStreamConfigPayload& config, HostVideoStreamKind kind) {
    queue.dispatchPrecondition();
    for (const UUID& id : authorizedVideoSessions) {
        if (videoStreamKind(id) != kind) continue;
        auto connection = videoSessions.find(id);
        if (connection != videoSessions.end()) sendVideoStreamConfig(id, connection->second, config, kind);
    }
}

void V230HostAudioAuxServer::resendCurrentVideoConfigIfAvailable(const std::string& reason) {
    queue.dispatchPrecondition();
    auto& sc = streamControl;
    if (!sc.lastVideoConfig && !sc.lastMotionStreamVideoConfig) {
        publish("video config resend skipped (" + reason + "); no active config yet");
        return;
    }
    bool sharedSent = false, motionSent = false;
    for (const UUID& id : authorizedVideoSessions) {
        auto connection = videoSessions.find(id);
        if (connection == videoSessions.end()) continue;
        const auto kind = videoStreamKind(id);
        const bool motion = kind == HostVideoStreamKind::motionStream;
        const auto& config = motion ? sc.lastMotionStreamVideoConfig : sc.lastVideoConfig;
        if (!config) continue;
        sendVideoStreamConfig(id, connection->second, *config, kind);
        (motion ? motionSent : sharedSent) = true;
    }
    // A Viewer that gets a configuration resets its decoder: it needs a key
    // frame next.
    if (sharedSent && sc.videoCapture) sc.videoCapture->forceKeyFrameRequested.set(1);
    if (motionSent && sc.motionStreamCapture) sc.motionStreamCapture->forceKeyFrameRequested.set(1);
    publish("video config resent (" + reason + ")");
}
