#pragma once
// The server's Host recording state: the running recorder and the session
// that owns it, and the size of the shared capture's latest frame, from
// which a start sizes its movie.

#include <atomic>
#include <memory>
#include <optional>

#include "HostApp/Audio/HostMovieRecorder.h"
#include "HostApp/Capture/HostVideoCapture.h"
#include "Platform/Runtime/Dispatch.h"
#include "Platform/Runtime/WorkLedger.h"
#include "Platform/Foundation/Uuid.h"

struct RecordingState {
    // The running recorder. The video tap and the audio path read it on
    // their capture queues while the server queue replaces it, so it is
    // only ever loaded and stored whole.
    std::atomic<std::shared_ptr<HostMovieRecorder>> hostRecording;
    // The session whose control message started the recording; set and
    // cleared with hostRecording. Server queue.
    std::optional<platform::UUID> hostRecordingSessionID;
    // The folder and the movie a recorder keeps open: on the account of
    // the peer that asked for it until its writer has closed both.
    static constexpr size_t kDescriptors = 2;
    // Written by the recording tap on the capture's queue; never cleared.
    HostRecordingSourceSize hostRecordingSourceSize;
    // Signalled on the writer's thread once the last stopped recording's
    // movie is finished, before the hop to the server queue: termination
    // waits on it on a utility queue. Set on the server queue.
    std::shared_ptr<platform::DispatchSemaphore> lastFinish;
};
