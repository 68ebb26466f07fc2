#pragma once
// What stream control keeps between calls: the shared capture and its
// generation, the request it serves, the announced stream configuration,
// each video session's delivery and acknowledgement state, the encode
// gates, the per-second counters the statistics tick reads and resets, and
// the retry and recovery bookkeeping around them. Held by the server as one
// field and touched only on its queue, except the AtomicInt gates and the
// cadence probes, which the captures' threads read or record.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "HostApp/Capture/CaptureModeControlPayload.h"
#include "HostApp/Capture/HostVideoCapture.h"
#include "HostApp/Capture/VideoStreamConfigPayload.h"
#include "HostApp/Protocol/DisplayControlPayloads.h"
#include "HostApp/StreamControl/FramePacketPool.h"
#include "HostApp/StreamControl/StreamChangePacer.h"
#include "Platform/Runtime/AtomicInt.h"
#include "Platform/Media/CadenceProbe.h"
#include "Platform/Runtime/Clock.h"
#include "Platform/Runtime/Dispatch.h"
#include "Platform/Foundation/Uuid.h"

// The two streams a video session can be bound to: the capture all Viewers
// share, and the dedicated capture for iOS Viewers.
enum class HostVideoStreamKind : uint8_t { shared = 0, motionStream = 1 };

inline const char* streamKindName(HostVideoStreamKind kind) {
    return kind == HostVideoStreamKind::shared ? "shared" : "motion";
}

struct StreamControlState {
    // --- The request in force -----------------------------------------------------
    // The one shared request after arbitration, its mode and chroma, and the
    // request the running capture was built from.
    VideoCaptureMode currentVideoMode = VideoCaptureMode::easy;
    VideoChromaMode currentVideoChromaMode = VideoChromaMode::yuv420;
    CaptureModeControlPayload currentCaptureRequest = CaptureModeControlPayload::preset(
        VideoCaptureMode::easy, VideoChromaMode::yuv420, VideoCaptureBackend::headlessVirtual);
    CaptureModeControlPayload activeVideoCaptureRequest = currentCaptureRequest;
    // A Viewer's capture-mode request has been applied since the last idle
    // teardown, so a new login re-applies it instead of the default start.
    bool videoCaptureModeWasRequested = false;
    // The Host-side pause: no capture is built while it holds.
    bool isPaused = false;
    // The sessions that asked for the pause: it belongs to them and ends,
    // as a resume would, when the last of them has left.
    std::set<platform::UUID> pausingSessions;

    // --- The shared capture ----------------------------------------------------------
    std::shared_ptr<HostVideoCapture> videoCapture;
    // Raised whenever a capture is retired or a start is cancelled; every
    // callback carries the value of its capture, so a retired one is ignored.
    uint64_t videoCaptureGeneration = 0;
    // Captures whose stream ignored the stop; kept until they report recovery.
    std::vector<std::shared_ptr<HostVideoCapture>> retiredVideoCaptures;
    // The default start pending after a login without a request.
    platform::DispatchWorkItemRef initialVideoCaptureStartTask;
    // The one pending retry of a start waiting for the Screen Recording
    // permission, and the one waiting for a headless preset to go live:
    // arming either again replaces it, so retries never multiply.
    platform::DispatchWorkItemRef videoStartPermissionRetryTask;
    platform::DispatchWorkItemRef videoStartPresetRetryTask;
    int videoStartRetryAttempts = 0;
    // The permission prompt was shown since the permission was last seen.
    bool didRequestScreenCaptureTrust = false;
    std::string videoConfigSummary;
    bool sharedCanvasMotionBudgetApplied = false;
    uint32_t activeVideoCaptureDisplayID = 0;

    // --- Stream configuration ------------------------------------------------------
    // What `shared` sessions are told before frames; cleared with the capture.
    std::optional<VideoStreamConfigPayload> lastVideoConfig;
    // The last accepted configuration and its capture's generation, so that
    // one capture's repeats are announced once.
    struct AcceptedConfig {
        uint64_t generation = 0;
        VideoStreamConfigPayload config;
    };
    std::optional<AcceptedConfig> acceptedVideoConfig;

    // --- Per-session delivery (keyed by the video session) ---------------------------
    std::set<platform::UUID> videoSessionsAwaitingKeyFrame;
    // Of those, the ones skipped because their peer had no room to send:
    // their key frame is asked for once it has.
    std::set<platform::UUID> videoSessionsWaitingForRoom;
    std::map<platform::UUID, int> videoSessionDeliveredFrames;
    std::map<platform::UUID, int> videoSessionSkippedFrames;
    // The stream whose configuration the frame path last gave the session.
    std::map<platform::UUID, HostVideoStreamKind> videoStreamKindAnnounced;
    // Delivery decisions already logged ("id8-reason"), at most 65.
    std::set<std::string> videoDeliveryNotedKeys;
    uint64_t lastSkippedViewerKeyFrameRequestNs = 0;
    // Every frame is built once into a buffer all connections share.
    FramePacketPool framePackets;
    // Frames handed from a capture's thread to the server queue and not yet
    // taken there, one count per stream (shared, Motion). Past the bound a
    // stream drops what it encodes up to its next key frame, so a busy
    // server queue costs no memory and a Viewer never decodes across a gap.
    static constexpr int maxFramesAwaitingServerQueue = 3;
    struct FrameHandOff {
        AtomicInt waiting;
        // Set by the capture's thread when it starts dropping; cleared by
        // the key frame that ends the gap.
        AtomicInt droppingUntilKeyFrame;
    };
    FrameHandOff frameHandOff[2];
    // Frames dropped before the server queue took them, counted with the
    // encoder's drops by the statistics tick.
    AtomicInt framesDroppedAwaitingServerQueue;

    // --- Acknowledgement window and encode gate ------------------------------------
    std::map<platform::UUID, int> videoSessionOutstandingAcks;
    std::map<platform::UUID, uint64_t> videoSessionLastAckNs;
    std::map<platform::UUID, uint64_t> videoSessionLastFrameSentNs;
    int currentVideoCongestionWindow = 8;
    // Read by the captures' threads: the frames in flight, and whether the
    // shared capture must drop frames before encoding them.
    AtomicInt videoSendInFlight;
    AtomicInt videoEncodeBlocked;
    std::unique_ptr<platform::DispatchTimer> videoFlowTimer;

    // --- Per-second counters, read and reset by the statistics tick -----------------
    int videoFramesSent = 0;
    int64_t videoBytesSent = 0;
    int videoCaptureFrames = 0;
    int videoCaptureIdleFrames = 0;
    int videoEncodeSubmits = 0;
    int videoEncodeDrops = 0;
    int motionStreamFramesSent = 0;
    int64_t motionStreamBytesSent = 0;
    int64_t motionStreamMaxFrameBytes = 0;
    // The largest Motion frame of the window the last tick took.
    int64_t motionStreamWindowMaxFrameBytes = 0;
    int motionStreamCaptureFrames = 0;
    int motionStreamIdleCaptureFrames = 0;

    // --- Kept across statistics ticks ----------------------------------------------
    bool cachedConsoleLocked = false;
    int zeroVideoWindows = 0;
    int motionStreamLowCadenceStreak = 0;

    // Frame-cadence probes, reported only when "VELANTRIX_DEBUG_CADENCE" is set.
    CadenceProbe cadenceDebugSharedCapture{"shared-capture"};
    CadenceProbe cadenceDebugMotionCapture{"motion-capture"};
    CadenceProbe cadenceDebugSharedEnqueue{"shared-enqueue"};
    CadenceProbe cadenceDebugMotionEnqueue{"motion-enqueue"};
    CadenceProbe cadenceDebugSharedSend{"shared-send"};
    CadenceProbe cadenceDebugMotionSend{"motion-send"};

    // --- Arbitration between Viewers ---------------------------------------------------
    // Viewers' capture-mode, chroma and display requests reach arbitration
    // through this: coalesced per session and applied at most once a hold.
    StreamChangePacer changePacer;
    // Each session's last request as it arrived, and its last mode, which
    // tells a refresh from a choice; both forgotten when the session leaves.
    std::map<platform::UUID, CaptureModeControlPayload> lastVideoRequestBySource;
    std::map<platform::UUID, VideoCaptureMode> lastCaptureModeBySource;
    // The iOS Viewer whose request owns a capture of the Mac's display at
    // its current mode.
    std::optional<platform::UUID> iosBuiltInCaptureSessionID;
    // Whether the Wi-Fi shaping was last reported on; the encoder keeps its
    // own burst setting.
    bool sharedCanvasWiFiShapingApplied = false;

    // --- The Motion stream for iOS Viewers ------------------------------------------
    std::shared_ptr<HostVideoCapture> motionStreamCapture;
    uint64_t motionStreamCaptureGeneration = 0;
    // What the Motion stream is sized from; an iOS request sets it.
    std::optional<CaptureModeControlPayload> motionStreamRequest;
    std::optional<VideoStreamConfigPayload> lastMotionStreamVideoConfig;
    std::optional<AcceptedConfig> acceptedMotionStreamConfig;
    AtomicInt motionStreamEncodeBlocked;
    // An open was issued and neither its start nor a configuration came back.
    bool motionStreamStartInFlight = false;
    // Opens since the last successful start: a failing stream is tried at
    // most three times.
    int motionStreamStartAttempts = 0;
    platform::DispatchWorkItemRef motionStreamIdleReleaseTask;
    // The reopen a restart schedules; a close that resets the attempts
    // cancels it, so a stream closed for good stays closed.
    platform::DispatchWorkItemRef motionStreamRestartTask;

    // --- Warm hold ---------------------------------------------------------------------
    // The pending end of the hold that keeps capture for a returning Viewer.
    platform::DispatchWorkItemRef mediaIdleWarmHoldTask;
    // The running capture is being held for a returning Viewer.
    bool videoCaptureIsWarmIdle = false;

    // --- Zero-frame recovery ---------------------------------------------------------
    // Capture handed to Screen Sharing's display after repeated silent windows.
    bool auxVideoCaptureSuspendedForZeroFrames = false;
    std::optional<CaptureModeControlPayload> suspendedVideoCaptureRequest;
    int videoZeroFrameRecoveryAttempts = 0;
    uint64_t nextVideoZeroFrameRecoveryNs = 0;
    std::optional<platform::Date> wakeRapidZeroFrameRecoveryDeadline;
};
