// Makes the headless virtual display the Mac's main desktop without
// blocking the server queue: the promotion runs on its own queue and its
// result comes back here, and while the display's preset is still being
// activated (or its bounds are not known yet) attempts are re-armed. Every
// attempt and every result carries the generation of its series; a cancel
// or a newer series makes all of them harmless.

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "HostApp/Capture/VideoStreamProfile.h"

namespace {

constexpr double kFirstAttemptDelaySeconds = 0.35;
constexpr double kPendingPollSeconds = 0.15;
// Promotions per series; a display whose bounds never become known would
// otherwise be promoted for as long as the Host runs.
constexpr int kMaxPromotionsPerSeries = 5;

}  // namespace

void V230HostAudioAuxServer::cancelHeadlessDesktopPromotionRetry() {
    queue.dispatchPrecondition();
    auto& dt = displayTarget;
    ++dt.headlessDesktopPromotionGeneration;
    if (dt.headlessDesktopPromotionRetryTask) dt.headlessDesktopPromotionRetryTask->cancel();
    dt.headlessDesktopPromotionRetryTask.reset();
    dt.headlessDesktopPromotionRetryAttempts = 0;
}

void V230HostAudioAuxServer::beginHeadlessDesktopPromotionRetry(uint32_t referenceDisplayID,
                                                                uint32_t virtualDisplayID,
                                                                const HeadlessVirtualDisplay::Preset& preset) {
    queue.dispatchPrecondition();
    // The sleep path promotes synchronously instead.
    if (screensAreSleeping || isPreflightingHeadlessCaptureForSleep) return;
    cancelHeadlessDesktopPromotionRetry();
    const uint64_t generation = ++displayTarget.headlessDesktopPromotionGeneration;
    displayTarget.headlessDesktopPromotionRetryAttempts = 0;
    scheduleHeadlessDesktopPromotionRetry(referenceDisplayID, virtualDisplayID, preset, generation,
                                          kFirstAttemptDelaySeconds);
}

void V230HostAudioAuxServer::scheduleHeadlessDesktopPromotionRetry(uint32_t referenceDisplayID,
                                                                   uint32_t virtualDisplayID,
                                                                   const HeadlessVirtualDisplay::Preset& preset,
                                                                   uint64_t generation, double after) {
    queue.dispatchPrecondition();
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    auto item = platform::makeWorkItem([weak, referenceDisplayID, virtualDisplayID, preset, generation] {
        if (auto self = weak.lock())
            self->runHeadlessDesktopPromotionAttempt(referenceDisplayID, virtualDisplayID, preset, generation);
    });
    auto& task = displayTarget.headlessDesktopPromotionRetryTask;
    if (task) task->cancel();
    task = item;
    queue.asyncAfter(after, item);
}

void V230HostAudioAuxServer::runHeadlessDesktopPromotionAttempt(uint32_t referenceDisplayID,
                                                                uint32_t virtualDisplayID,
                                                                const HeadlessVirtualDisplay::Preset& preset,
                                                                uint64_t generation) {
    queue.dispatchPrecondition();
    auto& dt = displayTarget;
    dt.headlessDesktopPromotionRetryTask.reset();
    auto& headless = HeadlessVirtualDisplay::shared();
    const auto snapshot = headless.stateSnapshot();
    if (dt.headlessDesktopPromotionGeneration != generation || screensAreSleeping ||
        isPreflightingHeadlessCaptureForSleep || !useHeadlessVirtualDisplay || !snapshot.isActive ||
        snapshot.displayID != virtualDisplayID || currentRequestPreset() != preset) {
        return;
    }
    switch (headless.presetReadiness(preset)) {
        case HeadlessVirtualDisplay::PresetReadiness::ready:
            if (dt.headlessDesktopPromotionRetryAttempts >= kMaxPromotionsPerSeries) {
                cancelHeadlessDesktopPromotionRetry();
                publish("headless virtual desktop promotion retries exhausted");
                broadcastHostError("display: headless virtual desktop promotion failed after retries");
                return;
            }
            ++dt.headlessDesktopPromotionRetryAttempts;
            headless.refreshGeometry(preset);
            promoteHeadlessDesktopOffQueue(referenceDisplayID, virtualDisplayID, preset, generation);
            return;
        case HeadlessVirtualDisplay::PresetReadiness::pending:
            scheduleHeadlessDesktopPromotionRetry(referenceDisplayID, virtualDisplayID, preset, generation,
                                                  kPendingPollSeconds);
            return;
        default:
            cancelHeadlessDesktopPromotionRetry();
            publish("headless virtual desktop promotion skipped; " + preset.title +
                    " preset activation settled in fallback");
            return;
    }
}

void V230HostAudioAuxServer::promoteHeadlessDesktopOffQueue(uint32_t referenceDisplayID, uint32_t virtualDisplayID,
                                                            const HeadlessVirtualDisplay::Preset& preset,
                                                            std::optional<uint64_t> generation) {
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    displayTarget.headlessDesktopPromotionQueue.async([weak, referenceDisplayID, virtualDisplayID, preset,
                                                       generation, serverQueue = queue] {
        const auto result = HeadlessVirtualDisplay::shared().promoteToPrimaryDesktop(referenceDisplayID, true,
                                                                                     std::nullopt);
        if (weak.expired()) return;
        serverQueue.async([weak, referenceDisplayID, virtualDisplayID, preset, generation, result] {
            auto self = weak.lock();
            if (!self) return;
            auto& dt = self->displayTarget;
            // A late result of a cancelled series must not end a newer one.
            if (generation && *generation != dt.headlessDesktopPromotionGeneration) return;
            if (result.applied) {
                self->cancelHeadlessDesktopPromotionRetry();
                self->publish("headless virtual desktop ready " + result.message);
            } else if (result.message == HeadlessVirtualDisplay::PromotionResult::boundsUnavailable && generation) {
                // Transient: the same series goes on, so its bound holds.
                self->publish("headless virtual desktop promotion deferred: " + result.message);
                self->scheduleHeadlessDesktopPromotionRetry(referenceDisplayID, virtualDisplayID, preset, *generation,
                                                            kFirstAttemptDelaySeconds);
            } else if (result.message == HeadlessVirtualDisplay::PromotionResult::boundsUnavailable) {
                self->publish("headless virtual desktop promotion deferred: " + result.message);
                self->beginHeadlessDesktopPromotionRetry(referenceDisplayID, virtualDisplayID, preset);
            } else {
                self->cancelHeadlessDesktopPromotionRetry();
                self->publish("headless virtual desktop promotion failed: " + result.message);
                self->broadcastHostError("display: headless virtual desktop promotion failed: " + result.message);
            }
        });
    });
}
