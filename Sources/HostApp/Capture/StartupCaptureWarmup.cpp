#include "HostApp/Capture/StartupCaptureWarmup.h"

#include <array>
#include <string_view>

#include "HostApp/Capture/CaptureModeControlPayload.h"
#include "HostApp/Capture/VideoStreamProfile.h"
#include "Platform/Runtime/Clock.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"

using namespace platform;

namespace {

// Capture messages that report progress rather than a failure.
bool isProgressNotice(const std::string& message) {
    static constexpr std::array<std::string_view, 6> prefixes = {
        "stream-start:",          "capture frame geometry:", "capture canvas mismatch:",
        "capture canvas changed:", "hidpi source not ready:", "encoder active:"};
    for (auto prefix : prefixes) {
        if (message.starts_with(prefix)) return true;
    }
    return false;
}

}  // namespace

std::shared_ptr<StartupCaptureWarmup> StartupCaptureWarmup::create(Environment environment) {
    return std::shared_ptr<StartupCaptureWarmup>(new StartupCaptureWarmup(std::move(environment)));
}

void StartupCaptureWarmup::schedule() {
    env_.serverQueue.dispatchPrecondition();
    if (state_.scheduled) return;
    state_.scheduled = true;
    std::weak_ptr<StartupCaptureWarmup> weak = weak_from_this();
    env_.serverQueue.asyncAfter(startDelaySeconds, [weak] {
        if (auto self = weak.lock()) self->begin();
    });
}

void StartupCaptureWarmup::begin() {
    if (state_.finished) return;
    if (env_.isVideoSessionAuthorized && env_.isVideoSessionAuthorized()) {
        skip("video session already authorized");
        return;
    }
    const bool granted = env_.screenRecordingGranted
                             ? env_.screenRecordingGranted()
                             : SimulatedMachine::current().permissionGranted(Permission::screenRecording);
    if (!granted) {
        skip("screen recording permission missing");
        return;
    }
    const uint32_t display = env_.startupPhysicalDisplayID ? env_.startupPhysicalDisplayID() : 0;
    if (display == 0) {
        skip("no physical display");
        return;
    }

    const auto request =
        CaptureModeControlPayload::preset(VideoCaptureMode::easy, VideoChromaMode::yuv420, VideoCaptureBackend::physical);
    // The canvas follows the display's own shape: the picture is thrown away,
    // only the work of loading the services counts.
    const auto profile = VideoStreamProfile::forDisplay(display, request, true, std::nullopt);
    auto capture = HostVideoCapture::create(display, profile, profile, true, false);
    std::weak_ptr<StartupCaptureWarmup> weak = weak_from_this();
    const DispatchQueue serverQueue = env_.serverQueue;
    capture->onConfig = [weak, serverQueue](const VideoStreamConfigPayload&) {
        serverQueue.async([weak] {
            auto self = weak.lock();
            if (!self || self->state_.finished) return;
            const uint64_t elapsedNs = Clock::uptimeNs() - self->state_.startedNs;
            self->finish("video: start-up capture warm-up complete (" + std::to_string(elapsedNs / 1'000'000) +
                         " ms)");
        });
    };
    capture->onError = [weak, serverQueue](const std::string& message) {
        if (isProgressNotice(message)) return;
        serverQueue.async([weak, message] {
            if (auto self = weak.lock()) self->skip("capture error: " + message);
        });
    };
    state_.capture = capture;
    state_.startedNs = Clock::uptimeNs();
    capture->start();

    env_.serverQueue.asyncAfter(deadlineSeconds, [weak] {
        if (auto self = weak.lock()) self->skip("no stream configuration within 3 s");
    });
    watchForVideoLogin();
}

void StartupCaptureWarmup::watchForVideoLogin() {
    std::weak_ptr<StartupCaptureWarmup> weak = weak_from_this();
    env_.serverQueue.asyncAfter(loginCheckSeconds, [weak] {
        auto self = weak.lock();
        if (!self || self->state_.finished) return;
        // The Viewer's own capture takes over; the warm-up must not compete.
        if (self->env_.isVideoSessionAuthorized && self->env_.isVideoSessionAuthorized()) {
            self->skip("video login arrived");
            return;
        }
        self->watchForVideoLogin();
    });
}

void StartupCaptureWarmup::skip(const std::string& reason) {
    finish("video: start-up capture warm-up skipped (" + reason + ")");
}

void StartupCaptureWarmup::finish(const std::string& line) {
    if (state_.finished) return;
    state_.finished = true;
    if (auto capture = std::move(state_.capture)) {
        state_.capture.reset();
        env_.captureLifecycleQueue.async([capture] { capture->stop(true); });
    }
    if (env_.publish) env_.publish(line);
}
