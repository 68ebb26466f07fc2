// The once-a-second statistics tick: the Host's heartbeat for media health.
// It follows the console's lock, takes and resets the per-second counters,
// watches for captures that deliver nothing, sends the video statistics
// (type 22) and writes the statistics lines of the log.

#include <algorithm>
#include <cstdio>

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "Platform/Runtime/Clock.h"
#include "Platform/Runtime/FreedMemory.h"
#include "Platform/Runtime/Log.h"

using platform::UUID;

namespace {

constexpr double kAudioWatchdogGraceSeconds = 5.0;
constexpr int kSilentAudioWindows = 3;
constexpr int kMaxAudioRecoveries = 3;
constexpr int kMotionLowCadenceFps = 50;
constexpr int kMotionLowCadenceStreak = 3;

template <class... Args>
std::string format(const char* pattern, Args... args) {
    char text[512];
    std::snprintf(text, sizeof text, pattern, args...);
    return text;
}

// One second's worth of every per-second counter.
struct StatsWindow {
    int64_t audioFramesSent = 0;
    int64_t audioBytesSent = 0;
    int64_t audioCallbacks = 0;
    int64_t audioPayloads = 0;
    int videoFramesSent = 0;
    int64_t videoBytesSent = 0;
    int motionFramesSent = 0;
    int64_t motionBytesSent = 0;
    int motionCaptureFrames = 0;
    int motionIdleFrames = 0;
    int captureFrames = 0;
    int idleFrames = 0;
    int encodeSubmits = 0;
    int encodeDrops = 0;
};

}  // namespace

void V230HostAudioAuxServer::statsTick() {
    queue.dispatchPrecondition();
    auto& sc = streamControl;

    // The console's lock: Viewers stay connected; an unlock rebuilds capture.
    const auto console = currentConsoleSessionState();
    const bool locked = console.isLocked || !console.loginDone || console.isLoginWindow;
    if (locked && !sc.cachedConsoleLocked) {
        sc.cachedConsoleLocked = true;
        publish("power: console locked; preserving viewer sessions and waiting for unlock");
        broadcastHostError("power: host locked; the lock screen is showing");
    } else if (!locked && sc.cachedConsoleLocked) {
        sc.cachedConsoleLocked = false;
        publish("power: console unlocked; rebuilding capture");
        broadcastHostError("power: host unlocked; rebuilding the desktop capture");
        if (!authorizedVideoSessions.empty()) {
            resumeAuxVideoCaptureAfterZeroFrameSuspension("console unlock");
            restartVideoCapture(0.2);
        }
        if (!authorizedAudioSessions.empty()) restartAudioCapture(0.5);
    }

    // Screen Sharing and the advertisement may have changed meanwhile.
    reconcileHeadlessScreenSharingCapture("timer");
    updateBonjourAdvertisement("timer");
    publishAdmissionSummary();

    // Serving a backlog of a Viewer's packets (a flood) allocates in the
    // threads that read and serve them; once freed, those pages stay
    // resident. A second with no backlog after one gives them back.
    const uint64_t fullTurns = platform::ReceiveTurnBudget::fullTurnsTakenEver();
    if (fullTurns != fullTurnsAtLastTick_) {
        backlogSinceMemoryReturn_ = true;
    } else if (backlogSinceMemoryReturn_) {
        backlogSinceMemoryReturn_ = false;
        platform::FreedMemory::returnSoon();
    }
    fullTurnsAtLastTick_ = fullTurns;

    // Every counter covers exactly the second since the last tick.
    StatsWindow w;
    w.audioFramesSent = std::exchange(audio.framesSent, 0);
    w.audioBytesSent = std::exchange(audio.bytesSent, 0);
    w.audioCallbacks = audio.audioCaptureCallbacks.readAndClear();
    w.audioPayloads = audio.audioCapturePayloads.readAndClear();
    w.videoFramesSent = std::exchange(sc.videoFramesSent, 0);
    w.videoBytesSent = std::exchange(sc.videoBytesSent, 0);
    w.motionFramesSent = std::exchange(sc.motionStreamFramesSent, 0);
    w.motionBytesSent = std::exchange(sc.motionStreamBytesSent, 0);
    sc.motionStreamWindowMaxFrameBytes = std::exchange(sc.motionStreamMaxFrameBytes, 0);
    w.motionCaptureFrames = std::exchange(sc.motionStreamCaptureFrames, 0);
    w.motionIdleFrames = std::exchange(sc.motionStreamIdleCaptureFrames, 0);
    w.captureFrames = std::exchange(sc.videoCaptureFrames, 0);
    w.idleFrames = std::exchange(sc.videoCaptureIdleFrames, 0);
    w.encodeSubmits = std::exchange(sc.videoEncodeSubmits, 0);
    w.encodeDrops = std::exchange(sc.videoEncodeDrops, 0) +
                    static_cast<int>(sc.framesDroppedAwaitingServerQueue.readAndClear());

    // Audio that delivers no samples is rebuilt, a few times.
    auto resetAudioWatchdog = [this] {
        audio.zeroAudioWindows = 0;
        audio.audioZeroFrameRecoveryAttempts = 0;
        audio.audioZeroFrameRecoveryExhausted = false;
    };
    if (!audio.audioCapture || authorizedAudioSessions.empty() || screensAreSleeping) {
        resetAudioWatchdog();
    } else if (!audio.audioCaptureWatchdogStartedAt ||
               platform::Clock::now().timeIntervalSince(*audio.audioCaptureWatchdogStartedAt) < kAudioWatchdogGraceSeconds) {
        audio.zeroAudioWindows = 0;
    } else if (w.audioCallbacks == 0) {
        if (++audio.zeroAudioWindows >= kSilentAudioWindows) {
            audio.zeroAudioWindows = 0;
            const uint32_t display =
                useHeadlessVirtualDisplay ? 0 : (physicalDisplayID != 0 ? physicalDisplayID : selectedDisplayID);
            const std::string prefix =
                "audio: no valid ScreenCaptureKit samples for 3s on display=" + std::to_string(display) + "; ";
            if (audio.audioZeroFrameRecoveryAttempts < kMaxAudioRecoveries) {
                ++audio.audioZeroFrameRecoveryAttempts;
                publish(prefix + "rebuilding capture attempt " + std::to_string(audio.audioZeroFrameRecoveryAttempts) + "/3");
                restartAudioCapture(0.2);
            } else if (!audio.audioZeroFrameRecoveryExhausted) {
                audio.audioZeroFrameRecoveryExhausted = true;
                publish(prefix + "recovery exhausted");
            }
        }
    } else {
        resetAudioWatchdog();
    }

    // A capture that delivers nothing at all goes to zero-frame recovery.
    watchVideoZeroFrameWindow(w.captureFrames, w.idleFrames);

    VideoStatsPayload stats;
    stats.captureFrames = w.captureFrames;
    stats.encodeSubmits = w.encodeSubmits;
    stats.encodeDrops = w.encodeDrops;
    stats.framesSent = w.videoFramesSent;
    stats.bytesSent = w.videoBytesSent;
    broadcastVideoStats(stats);

    publish(sc.videoConfigSummary + " | " +
            format("audio=tx:%lld pcm:%lld raw:%lld %.1fKB/s clients=%d cap=%dfps idle=%dfps enc=%dfps encDrop=%d "
                   "tx=%dfps %.2fMb/s clients=%d",
                   static_cast<long long>(w.audioFramesSent), static_cast<long long>(w.audioPayloads),
                   static_cast<long long>(w.audioCallbacks), static_cast<double>(w.audioBytesSent) / 1024.0,
                   static_cast<int>(audioSessions.size()), w.captureFrames, w.idleFrames, w.encodeSubmits,
                   w.encodeDrops, w.videoFramesSent, static_cast<double>(w.videoBytesSent) * 8 / 1'000'000.0,
                   static_cast<int>(videoSessions.size())));

    if (auto line = motionStreamStatsLine(w.motionFramesSent, w.motionBytesSent, w.motionCaptureFrames,
                                          w.motionIdleFrames)) {
        publish(*line);
        const int cadence = w.motionCaptureFrames + w.motionIdleFrames;
        if (cadence < kMotionLowCadenceFps) {
            if (++sc.motionStreamLowCadenceStreak == kMotionLowCadenceStreak) {
                const int target = sc.lastMotionStreamVideoConfig ? sc.lastMotionStreamVideoConfig->fps : 0;
                publish("Motion stream: capture cadence low (" + std::to_string(cadence) + "fps of " +
                        std::to_string(target) + "fps target)");
            }
        } else {
            sc.motionStreamLowCadenceStreak = 0;
        }
    }
    if (auto line = videoSessionDeliveryStatsLine()) publish(*line);

    for (const auto& line : cadenceDebugLines()) publish(line);
}

void V230HostAudioAuxServer::broadcastVideoStats(const VideoStatsPayload& payload) {
    queue.dispatchPrecondition();
    if (authorizedVideoSessions.empty()) return;
    const auto packet = std::make_shared<const std::vector<uint8_t>>(
        makeAuxPacket(AuxPacketType::videoStats, 0, payload.encode(), platform::Clock::uptimeNs()));
    for (const UUID& id : authorizedVideoSessions) {
        auto connection = videoSessions.find(id);
        if (connection == videoSessions.end()) continue;
        // Kept for no peer that has no room for it: the next second's
        // statistics say more.
        if (!connection->second->budgetHasRoomFor(packet->size())) continue;
        connection->second->send(packet, {});
    }
}

std::optional<std::string> V230HostAudioAuxServer::motionStreamStatsLine(int frames, int64_t bytes, int capture,
                                                                         int idle) const {
    const auto& sc = streamControl;
    if (!sc.motionStreamCapture || !sc.lastMotionStreamVideoConfig) return std::nullopt;
    const auto& config = *sc.lastMotionStreamVideoConfig;
    std::string labels;
    int subscribers = 0;
    for (const UUID& id : authorizedVideoSessions) {
        if (!isIOSViewerSession(id)) continue;
        ++subscribers;
        if (!labels.empty()) labels += ",";
        labels += id.id8();
    }
    return format("Motion stream %s %s %s @%dfps target=%.0fMb/s | cap=%dfps idle=%dfps tx=%dfps %.2fMb/s "
                  "maxFrame=%lldKB subs=%d[%s]",
                  config.codec == VideoStreamCodec::hevc ? "HEVC" : "H264",
                  config.chromaMode == VideoChromaMode::yuv444 ? "4:4:4" : "4:2:0",
                  config.resolutionSummary().c_str(), static_cast<int>(config.fps), config.bitrate / 1'000'000.0,
                  capture, idle, frames, static_cast<double>(bytes) * 8 / 1'000'000.0,
                  static_cast<long long>(sc.motionStreamWindowMaxFrameBytes / 1024), subscribers, labels.c_str());
}

std::optional<std::string> V230HostAudioAuxServer::videoSessionDeliveryStatsLine() {
    auto& sc = streamControl;
    // Both maps count one second, whether or not a line comes of them.
    const auto delivered = std::exchange(sc.videoSessionDeliveredFrames, {});
    const auto skipped = std::exchange(sc.videoSessionSkippedFrames, {});
    auto count = [](const std::map<UUID, int>& map, const UUID& id) {
        auto it = map.find(id);
        return it == map.end() ? 0 : it->second;
    };
    const bool anySkipped = std::any_of(authorizedVideoSessions.begin(), authorizedVideoSessions.end(),
                                        [&](const UUID& id) { return count(skipped, id) >= 1; });
    if (!anySkipped) return std::nullopt;
    std::string line = "video delivery per session";
    for (const UUID& id : authorizedVideoSessions) {
        auto name = viewerSessionNames.find(id);
        const std::string label = name != viewerSessionNames.end() ? name->second.substr(0, 16) : id.id8();
        const int outstanding = std::max(0, count(sc.videoSessionOutstandingAcks, id));
        line += " | " + label + "[" + streamKindName(videoStreamKind(id)) + "]:tx=" +
                std::to_string(count(delivered, id)) + "fps skip=" + std::to_string(count(skipped, id)) +
                "fps out=" + std::to_string(outstanding);
    }
    return line;
}

std::vector<std::string> V230HostAudioAuxServer::cadenceDebugLines() {
    std::vector<std::string> lines;
    if (!CadenceProbe::requested()) return lines;
    auto& sc = streamControl;
    for (auto* probe : {&sc.cadenceDebugSharedCapture, &sc.cadenceDebugMotionCapture, &sc.cadenceDebugSharedEnqueue,
                        &sc.cadenceDebugMotionEnqueue, &sc.cadenceDebugSharedSend, &sc.cadenceDebugMotionSend}) {
        if (auto line = probe->reportAndReset()) lines.push_back(std::move(*line));
    }
    return lines;
}

std::string V230HostAudioAuxServer::logTimestamp() { return platform::Log::timestamp(); }

bool V230HostAudioAuxServer::isVideoDiagnosticNotice(const std::string& message) {
    for (const char* prefix : {"stream-start:", "capture frame geometry:", "capture canvas mismatch:",
                               "capture canvas changed:", "hidpi source not ready:"}) {
        if (message.starts_with(prefix)) return true;
    }
    return false;
}
