#pragma once
// The Mac's own Screen Sharing service as the Host meets it: a system
// launchd job whose state "launchctl print" reports, a display of its own
// (vendor 'unkn', model 'virt') that appears while someone is connected,
// and its VNC port on the loopback interface.
//
// Here it is part of the simulated machine (SimulatedScreenSharingService).
// The job state is answered by a small stand-in for "/bin/launchctl" that
// the service installs in the machine's tool table, so the Host runs a real
// child process and reads its real output; the "hung" state makes that
// child never answer. The port is a real listening socket.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>

#include "Platform/SimulatedMac/CoreGraphicsDisplays.h"
#include "Platform/Runtime/Dispatch.h"
#include "Platform/Foundation/Result.h"

namespace platform {

class TcpListener;

class SimulatedScreenSharingService {
public:
    enum class JobState {
        notLoaded,   // launchctl fails: the job is unknown
        notRunning,  // "state = not running"
        running,     // "state = running"
        hung,        // launchctl never answers
    };
    static constexpr const char* launchctlPath = "/bin/launchctl";
    static constexpr uint16_t vncPort = 5900;

    SimulatedScreenSharingService() = default;
    ~SimulatedScreenSharingService();
    SimulatedScreenSharingService(const SimulatedScreenSharingService&) = delete;
    SimulatedScreenSharingService& operator=(const SimulatedScreenSharingService&) = delete;

    // Until the first call no launchctl exists on the machine, so every
    // probe fails to launch. Call on the test's thread, not from inside
    // another component.
    void setJobState(JobState state);
    JobState jobState() const;

    // Someone connected with Screen Sharing: its display of that pixel size
    // joins the display list (at the right of the others). Returns the ID.
    CGDirectDisplayID beginSession(CGDirectDisplayID id, int width, int height);
    // The session's display leaves; nothing without one.
    void endSession();
    std::optional<CGDirectDisplayID> sessionDisplayID() const;

    // Opens the VNC port on 127.0.0.1 (0: any free port) and returns the
    // port bound; connections are accepted and closed.
    Result<uint16_t> listen(uint16_t port = vncPort);
    void stopListening();

private:
    void writeStandInLocked();

    mutable std::mutex lock_;
    JobState state_ = JobState::notLoaded;
    // The stand-in and its state file, removed with the service.
    std::filesystem::path directory_;
    std::optional<CGDirectDisplayID> sessionDisplay_;
    std::shared_ptr<TcpListener> listener_;
    DispatchQueue listenerQueue_{"platform.screensharing.vnc"};
};

}  // namespace platform
