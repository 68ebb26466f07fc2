// The server's one system-audio capture: when it starts, which display it
// follows, how a missing permission, an unsettled display topology and
// failed starts are waited out, and how it is stopped and restarted. All on
// the server queue; the samples themselves take the path of
// AudioFrameDelivery.cpp.

#include <algorithm>
#include <cstdio>

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "HostApp/Display/HeadlessVirtualDisplay.h"

namespace {

// Failed starts are retried this many times, 0.5 s further apart each time.
constexpr int maxAudioStartRetries = 3;
constexpr double audioStartRetryStepSeconds = 0.5;
// A start waits up to this many half seconds for a Viewer's session to
// bring up the display it will capture.
constexpr int maxAudioTopologyDeferrals = 12;
constexpr double audioTopologyDeferralSeconds = 0.5;
constexpr double audioPermissionRetrySeconds = 1.0;

// Takes the capture out and clears what belonged to it, as every stop and
// restart does; a waiting permission retry is dropped with it.
std::shared_ptr<HostAudioCapture> detachAudioCapture(AudioState& audio, bool resetRetryAttempts) {
    auto capture = std::move(audio.audioCapture);
    audio.activeAudioCaptureDisplayID = 0;
    audio.audioCaptureWatchdogStartedAt.reset();
    audio.zeroAudioWindows = 0;
    audio.audioTopologyDeferAttempts = 0;
    if (resetRetryAttempts) audio.audioStartRetryAttempts = 0;
    if (audio.pendingPermissionRetry) {
        audio.pendingPermissionRetry->cancel();
        audio.pendingPermissionRetry.reset();
    }
    return capture;
}

}  // namespace

uint32_t V230HostAudioAuxServer::audioCaptureDisplayID() const {
    if (useHeadlessVirtualDisplay) return 0;
    return physicalDisplayID != 0 ? physicalDisplayID : selectedDisplayID;
}

bool V230HostAudioAuxServer::shouldDeferAudioCaptureForSessionTopology() const {
    if (startupPhysicalDisplayID != 0 || screensAreSleeping || isPreflightingHeadlessCaptureForSleep ||
        sleepPreflightPhysicalCaptureRequest || usablePhysicalDisplayID()) {
        return false;
    }
    return !useHeadlessVirtualDisplay || !HeadlessVirtualDisplay::shared().stateSnapshot().isActive;
}

void V230HostAudioAuxServer::startAudioCapture() {
    queue.dispatchPrecondition();
    if (screensAreSleeping || audio.audioCapture || authorizedAudioSessions.empty()) return;
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();

    if (!platform::CGPreflightScreenCaptureAccess()) {
        // The waiting retry asks again; a second caller joins it.
        if (audio.pendingPermissionRetry) return;
        publish("requesting Screen/System Audio Recording permission");
        platform::CGRequestScreenCaptureAccess();
        publish("screen/system audio permission pending, will retry in 1s");
        audio.pendingPermissionRetry = platform::makeWorkItem([weak] {
            auto self = weak.lock();
            if (!self) return;
            self->audio.pendingPermissionRetry.reset();
            self->startAudioCapture();
        });
        queue.asyncAfter(audioPermissionRetrySeconds, audio.pendingPermissionRetry);
        return;
    }

    if (shouldDeferAudioCaptureForSessionTopology()) {
        if (audio.audioTopologyDeferAttempts < maxAudioTopologyDeferrals) {
            audio.audioTopologyDeferAttempts++;
            publish("audio capture: deferring until the viewer session owns the topology (attempt " +
                    std::to_string(audio.audioTopologyDeferAttempts) + ")");
            queue.asyncAfter(audioTopologyDeferralSeconds, [weak] {
                auto self = weak.lock();
                if (!self || self->audio.audioCapture || self->authorizedAudioSessions.empty() ||
                    self->screensAreSleeping || self->streamControl.isPaused) {
                    return;
                }
                self->startAudioCapture();
            });
            return;
        }
        publish("audio capture: session topology did not settle; starting on the current display");
        audio.audioTopologyDeferAttempts = 0;
    }

    const uint32_t display = audioCaptureDisplayID();
    const uint64_t generation = ++audio.audioCaptureGeneration;
    publish("audio capture selecting display " + std::to_string(display) + " while video display is " +
            std::to_string(selectedDisplayID));

    HostAudioCapture::Callbacks callbacks;
    callbacks.onStarted = [weak, generation] {
        if (auto self = weak.lock()) self->queue.async([weak, generation] {
            auto self = weak.lock();
            if (!self || self->audio.audioCaptureGeneration != generation) return;
            self->audio.audioStartRetryAttempts = 0;
            self->audio.audioTopologyDeferAttempts = 0;
            self->audio.audioCaptureWatchdogStartedAt = platform::Clock::now();
            self->audio.opusEncoder.reset();
            self->publish("audio capture started");
        });
    };
    callbacks.onSampleBuffer = [weak] {
        if (auto self = weak.lock()) self->audio.audioCaptureCallbacks.increment();
    };
    callbacks.onFrame = [weak](std::span<const uint8_t> pcm, uint64_t timestampNs) {
        if (auto self = weak.lock()) self->broadcastAudioFrame(pcm, timestampNs);
    };
    callbacks.onError = [weak, generation](const std::string& message) {
        if (auto self = weak.lock()) self->handleAudioCaptureStartupMessage(message, generation);
    };
    audio.audioCapture = HostAudioCapture::create(display, display != 0, platform::DispatchQueue("v230.host.audio.capture"),
                                                  platform::DispatchQueue("v230.host.audio.lifecycle"),
                                                  std::move(callbacks));
    audio.activeAudioCaptureDisplayID = display;
    audio.audioCaptureWatchdogStartedAt = platform::Clock::now();
    audio.audioCapture->start();
}

void V230HostAudioAuxServer::handleAudioCaptureStartupMessage(const std::string& message, uint64_t generation) {
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    queue.async([weak, message, generation] {
        auto self = weak.lock();
        if (!self || self->audio.audioCaptureGeneration != generation) return;
        if (message.find("using ScreenCaptureKit display") != std::string::npos) {
            self->publish("audio capture notice: " + message);
            return;
        }
        self->publish("audio capture error: " + message);
        self->stopAudioCapture(false);
        if (self->authorizedAudioSessions.empty() || self->streamControl.isPaused) return;
        auto& attempts = self->audio.audioStartRetryAttempts;
        if (attempts >= maxAudioStartRetries) {
            self->publish("audio capture retry exhausted after " + std::to_string(maxAudioStartRetries) + " attempts");
            return;
        }
        attempts++;
        const double delay = attempts * audioStartRetryStepSeconds;
        char text[64];
        std::snprintf(text, sizeof text, "audio capture retry %d/%d in %.1fs", attempts, maxAudioStartRetries, delay);
        self->publish(text);
        const uint64_t retryGeneration = self->audio.audioCaptureGeneration;
        self->queue.asyncAfter(delay, [weak, retryGeneration] {
            auto self = weak.lock();
            if (!self || self->screensAreSleeping || self->audio.audioCaptureGeneration != retryGeneration ||
                self->audio.audioCapture || self->authorizedAudioSessions.empty() || self->streamControl.isPaused) {
                return;
            }
            // Through the lifecycle queue, so that the failed capture's stop
            // queued there has finished first.
            self->captureLifecycleQueue.async([weak] {
                if (auto self = weak.lock()) self->queue.async([weak] {
                    if (auto self = weak.lock()) self->startAudioCapture();
                });
            });
        });
    });
}

void V230HostAudioAuxServer::stopAudioCapture(bool resetRetryAttempts) {
    queue.dispatchPrecondition();
    audio.audioCaptureGeneration++;
    auto capture = detachAudioCapture(audio, resetRetryAttempts);
    // The stop may block for its time-out; never on the server queue.
    if (capture) captureLifecycleQueue.async([capture] { capture->stop(true); });
}

void V230HostAudioAuxServer::restartAudioCapture(double delaySeconds) {
    queue.dispatchPrecondition();
    if (screensAreSleeping) return;
    const uint64_t generation = ++audio.audioCaptureGeneration;
    auto capture = detachAudioCapture(audio, true);
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    captureLifecycleQueue.async([weak, capture, generation, delaySeconds] {
        if (capture) capture->stop(true);
        auto self = weak.lock();
        if (!self) return;
        self->queue.asyncAfter(std::max(0.0, delaySeconds), [weak, generation] {
            auto self = weak.lock();
            if (!self || self->screensAreSleeping || self->audio.audioCaptureGeneration != generation ||
                self->audio.audioCapture) {
                return;
            }
            self->startAudioCapture();
        });
    });
}

void V230HostAudioAuxServer::restartAudioCaptureOnDisplaySwitch(double delaySeconds) {
    queue.dispatchPrecondition();
    if (isPreflightingHeadlessCaptureForSleep || authorizedAudioSessions.empty()) return;
    const uint32_t display = audioCaptureDisplayID();
    if (!audio.audioCapture || audio.activeAudioCaptureDisplayID != display) {
        restartAudioCapture(delaySeconds);
        return;
    }
    publish("audio capture unchanged on display " + std::to_string(display) + "; skipping display-switch restart");
}
