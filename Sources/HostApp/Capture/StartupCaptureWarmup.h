#pragma once
// StartupCaptureWarmup is responsible for the start-up capture warm-up: a
// second after the server starts, while no Viewer is watching, it runs one
// throw-away capture of the Mac's real display at the Easy preset, so that
// the screen-capture service and the encoder are loaded before the first
// Viewer asks for a picture. It touches no server state: the server hands it
// the few values it reads as closures, and it reports only through publish.
//
// Runs on the server queue; the capture is stopped on the server's capture
// lifecycle queue, because stopping may block.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "HostApp/Capture/HostVideoCapture.h"
#include "Platform/Runtime/Dispatch.h"

// The warm-up's state; read and written on the server queue only.
struct StartupCaptureWarmupState {
    std::shared_ptr<HostVideoCapture> capture;  // the throw-away capture while it runs
    uint64_t startedNs = 0;                     // uptime when the capture was started
    bool scheduled = false;
    bool finished = false;
};

class StartupCaptureWarmup : public std::enable_shared_from_this<StartupCaptureWarmup> {
public:
    // What the server provides.
    struct Environment {
        platform::DispatchQueue serverQueue;
        platform::DispatchQueue captureLifecycleQueue;
        std::function<bool()> isVideoSessionAuthorized;  // e.g. authorizedVideoSessionCount > 0
        std::function<uint32_t()> startupPhysicalDisplayID;
        std::function<void(const std::string&)> publish;
        // Screen Recording permission; unset: the machine's own answer.
        std::function<bool()> screenRecordingGranted;
    };

    static constexpr double startDelaySeconds = 1.0;
    // Without a stream configuration by then, the warm-up gives up.
    static constexpr double deadlineSeconds = 3.0;
    // How often a running warm-up looks for a video login, which ends it.
    static constexpr double loginCheckSeconds = 0.25;

    static std::shared_ptr<StartupCaptureWarmup> create(Environment environment);

    // Schedules the warm-up startDelaySeconds from now; the server's start()
    // calls it once, on the server queue. Later calls do nothing.
    void schedule();

    // Server queue only.
    const StartupCaptureWarmupState& state() const { return state_; }

private:
    explicit StartupCaptureWarmup(Environment environment) : env_(std::move(environment)) {}
    void begin();
    void watchForVideoLogin();
    void finish(const std::string& line);
    void skip(const std::string& reason);

    Environment env_;
    StartupCaptureWarmupState state_;
};
