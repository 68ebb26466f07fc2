#pragma once
// The server's audio state: the one system-audio capture and what steers
// its lifecycle, the Opus encoder and the send list that audio delivery
// reads on the capture's queue, the audio counters of the statistics tick,
// and exclusive listening with the two Host-output mutes.
//
// Everything is read and written on the server queue, except where a field
// says otherwise.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "HostApp/Audio/HostAudioCapture.h"
#include "HostApp/Audio/HostOpusEncoder.h"
#include "HostApp/Audio/HostOutputMuteController.h"
#include "Platform/Runtime/AtomicInt.h"
#include "Platform/Runtime/Clock.h"
#include "Platform/Runtime/Dispatch.h"
#include "Platform/Network/Network.h"
#include "Platform/Foundation/Uuid.h"

struct AudioState {
    // --- Capture lifecycle --------------------------------------------------------
    // The live capture; absent while stopped.
    std::shared_ptr<HostAudioCapture> audioCapture;
    // Raised by every start, stop and restart; reports and timers made for
    // an older value do nothing.
    uint64_t audioCaptureGeneration = 0;
    // The display the live capture was asked for; 0 for none in particular,
    // and while stopped.
    uint32_t activeAudioCaptureDisplayID = 0;
    // When the live capture was created, then when it started; the audio
    // watchdog measures silence from here.
    std::optional<platform::Date> audioCaptureWatchdogStartedAt;
    // Failed starts retried so far (0 to 3), and deferrals of the current
    // start while a Viewer's session settles the displays (0 to 12).
    int audioStartRetryAttempts = 0;
    int audioTopologyDeferAttempts = 0;
    // The one waiting permission retry: a second caller must not start a
    // second chain of them.
    platform::DispatchWorkItemRef pendingPermissionRetry;

    // --- Watchdog and statistics ----------------------------------------------------
    // Silent seconds counted by the watchdog, and its recovery bookkeeping.
    int zeroAudioWindows = 0;
    int audioZeroFrameRecoveryAttempts = 0;
    bool audioZeroFrameRecoveryExhausted = false;
    // Raised on the capture's queue: raw sample callbacks, and PCM blocks
    // handed to delivery. The statistics tick reads and clears them.
    AtomicInt audioCaptureCallbacks;
    AtomicInt audioCapturePayloads;
    // Opus packets and payload bytes sent, once per packet however many
    // Viewers received it.
    int64_t framesSent = 0;
    int64_t bytesSent = 0;

    // --- Delivery (read on the capture's queue) ----------------------------------------
    // Lives as long as the server: each capture start resets it.
    HostOpusEncoder opusEncoder;
    // Guards audioSendConnections, which the server queue replaces and the
    // capture's queue copies; never held while encoding or sending.
    std::mutex audioSendLock;
    std::vector<std::shared_ptr<platform::TcpConnection>> audioSendConnections;

    // --- Exclusive listening and the Host output ----------------------------------------
    // The session that listens alone, and the session whose request keeps
    // the Mac's output muted.
    std::optional<platform::UUID> exclusiveAudioSessionID;
    std::optional<platform::UUID> viewerHostOutputMuteSessionID;
    // The two mutes share the record of the output as it was.
    std::shared_ptr<HostOutputMuteController::SharedOutputState> hostOutputState =
        std::make_shared<HostOutputMuteController::SharedOutputState>();
    HostOutputMuteController hostOutputMuteController{HostOutputMuteController::Purpose::exclusiveListening,
                                                      hostOutputState};
    HostOutputMuteController viewerHostOutputMuteController{HostOutputMuteController::Purpose::viewerRequest,
                                                            hostOutputState};
};
