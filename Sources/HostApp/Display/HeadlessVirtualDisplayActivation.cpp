// Preset activation: putting the headless virtual display into one preset's
// mode. The window server offers a new display's modes only after a while
// and applies a mode switch some time after it is requested, so activation
// is a small job on its own queue: wait until the mode is selectable, set it
// once, wait until the display reports it, give up after a fixed time.
//
// The generation under stateLock is the only guard against stale work:
// every cancel raises it, every schedule cancels first and raises it again,
// and each attempt carries the generation it was made for.

#include <algorithm>

#include "HostApp/Display/HeadlessVirtualDisplay.h"
#include "Platform/Runtime/Log.h"

using namespace platform;

namespace {

constexpr uint64_t kActivationDeadlineNs = 8'000'000'000ull;
constexpr double kFirstAttemptDelay = 0.05;
constexpr double kAfterModeRequestDelay = 0.08;
constexpr double kRetryDelay = 0.1;
constexpr double kSettlePollSeconds = 0.04;
constexpr double kLongestSettleSeconds = 24 * 3600;

void logActivation(const std::string& outcome, const HeadlessVirtualDisplay::Preset& preset, uint32_t displayID) {
    Log::raw("[HeadlessVirtualDisplay] preferred preset " + outcome + " " + preset.summary() +
             " display=" + std::to_string(displayID));
}

}  // namespace

std::optional<CGDisplayMode> HeadlessVirtualDisplay::selectableDisplayMode(uint32_t displayID, const Preset& preset) {
    CGDisplayModeListOptions options;
    options.showDuplicateLowResolutionModes = true;
    const auto modes = CGDisplayCopyAllDisplayModes(displayID, options);
    if (!modes) return std::nullopt;
    for (const auto& mode : *modes) {
        if (mode.pixelWidth == preset.pixelWidth && mode.pixelHeight == preset.pixelHeight &&
            mode.width == preset.logicalWidth() && mode.height == preset.logicalHeight()) {
            return mode;
        }
    }
    return std::nullopt;
}

HeadlessVirtualDisplay::PresetReadiness HeadlessVirtualDisplay::presetReadiness(const Preset& preset) const {
    bool registered = false;
    bool pending = false;
    uint32_t id = 0;
    {
        std::lock_guard<std::recursive_mutex> g(stateLock);
        registered = hasDisplayLocked() &&
                     std::find(registeredPresets.begin(), registeredPresets.end(), preset) != registeredPresets.end();
        pending = pendingPresetActivationDisplayID == displayID && pendingPresetActivationPreset == preset;
        id = displayID;
    }
    if (!registered) return PresetReadiness::unavailable;
    const auto mode = CGDisplayCopyDisplayMode(id);
    if (mode && displayMode(*mode, preset)) return PresetReadiness::ready;
    return pending ? PresetReadiness::pending : PresetReadiness::inactive;
}

std::optional<HeadlessVirtualDisplay::Preset> HeadlessVirtualDisplay::activePreset() const {
    uint32_t id = 0;
    std::vector<Preset> registered;
    {
        std::lock_guard<std::recursive_mutex> g(stateLock);
        id = displayID;
        registered = registeredPresets;
    }
    if (id == 0) return std::nullopt;
    const auto mode = CGDisplayCopyDisplayMode(id);
    if (!mode) return std::nullopt;
    for (const auto& preset : registered) {
        if (displayMode(*mode, preset)) return preset;
    }
    return std::nullopt;
}

bool HeadlessVirtualDisplay::activatePreset(const Preset& preset) {
    uint32_t id = 0;
    {
        std::lock_guard<std::recursive_mutex> g(stateLock);
        if (!hasDisplayLocked() ||
            std::find(registeredPresets.begin(), registeredPresets.end(), preset) == registeredPresets.end()) {
            return false;
        }
        id = displayID;
    }
    const auto mode = CGDisplayCopyDisplayMode(id);
    if (mode && displayMode(*mode, preset)) {
        cancelPendingPresetActivation();
        {
            std::lock_guard<std::recursive_mutex> g(stateLock);
            currentPreset = preset;
        }
        refreshGeometry();
        return true;
    }
    // An activation of this very preset keeps its own deadline.
    if (presetReadiness(preset) == PresetReadiness::pending) return true;
    schedulePresetActivation(preset, id);
    return true;
}

void HeadlessVirtualDisplay::schedulePresetActivation(const Preset& preset, uint32_t targetDisplayID) {
    cancelPendingPresetActivation();
    uint64_t generation = 0;
    {
        std::lock_guard<std::recursive_mutex> g(stateLock);
        ++presetActivationGeneration;
        pendingPresetActivationDisplayID = targetDisplayID;
        pendingPresetActivationPreset = preset;
        generation = presetActivationGeneration;
    }
    const uint64_t deadlineNs = Clock::uptimeNs() + kActivationDeadlineNs;
    std::weak_ptr<HeadlessVirtualDisplay> weak = weak_from_this();
    auto task = makeWorkItem([weak, preset, targetDisplayID, generation, deadlineNs] {
        if (auto self = weak.lock()) self->attemptPresetActivation(preset, targetDisplayID, generation, deadlineNs, false);
    });
    {
        std::lock_guard<std::recursive_mutex> g(stateLock);
        pendingPresetActivationTask = task;
    }
    presetActivationQueue.asyncAfter(kFirstAttemptDelay, task);
}

void HeadlessVirtualDisplay::attemptPresetActivation(const Preset& preset, uint32_t targetDisplayID,
                                                     uint64_t generation, uint64_t deadlineNs, bool didSubmitMode) {
    // Held for the whole attempt, mode query and mode switch included, so a
    // stop or a new schedule cannot slip in between the check and the act.
    std::lock_guard<std::recursive_mutex> g(stateLock);
    if (!presetActivationIsCurrentLocked(preset, targetDisplayID, generation)) return;

    const auto current = CGDisplayCopyDisplayMode(targetDisplayID);
    if (current && displayMode(*current, preset)) {
        finishPresetActivation(preset, targetDisplayID, generation);
        return;
    }

    if (!didSubmitMode) {
        const auto selectable = selectableDisplayMode(targetDisplayID, preset);
        if (selectable && displayMode(*selectable, preset)) {
            const CGError error = CGDisplaySetDisplayMode(targetDisplayID, *selectable);
            if (error != kCGErrorSuccess) {
                if (presetActivationGeneration == generation) {
                    clearPendingPresetActivationLocked();
                    logActivation("mode switch failed", preset, targetDisplayID);
                }
                return;
            }
            schedulePresetActivationAttempt(preset, targetDisplayID, generation, deadlineNs, true,
                                            kAfterModeRequestDelay);
            return;
        }
    }

    if (Clock::uptimeNs() < deadlineNs) {
        schedulePresetActivationAttempt(preset, targetDisplayID, generation, deadlineNs, didSubmitMode, kRetryDelay);
        return;
    }

    if (presetActivationGeneration == generation) {
        clearPendingPresetActivationLocked();
        logActivation(didSubmitMode ? "did not settle" : "never became selectable", preset, targetDisplayID);
    }
}

void HeadlessVirtualDisplay::schedulePresetActivationAttempt(const Preset& preset, uint32_t targetDisplayID,
                                                             uint64_t generation, uint64_t deadlineNs,
                                                             bool didSubmitMode, double after) {
    std::weak_ptr<HeadlessVirtualDisplay> weak = weak_from_this();
    auto task = makeWorkItem([weak, preset, targetDisplayID, generation, deadlineNs, didSubmitMode] {
        if (auto self = weak.lock()) {
            self->attemptPresetActivation(preset, targetDisplayID, generation, deadlineNs, didSubmitMode);
        }
    });
    std::lock_guard<std::recursive_mutex> g(stateLock);
    if (!presetActivationIsCurrentLocked(preset, targetDisplayID, generation)) return;
    pendingPresetActivationTask = task;
    presetActivationQueue.asyncAfter(after, task);
}

bool HeadlessVirtualDisplay::presetActivationIsCurrentLocked(const Preset& preset, uint32_t targetDisplayID,
                                                             uint64_t generation) const {
    return presetActivationGeneration == generation && display != nullptr && displayID == targetDisplayID &&
           pendingPresetActivationDisplayID == targetDisplayID && pendingPresetActivationPreset == preset;
}

void HeadlessVirtualDisplay::finishPresetActivation(const Preset& preset, uint32_t targetDisplayID,
                                                    uint64_t generation) {
    std::lock_guard<std::recursive_mutex> g(stateLock);
    if (!presetActivationIsCurrentLocked(preset, targetDisplayID, generation)) return;
    clearPendingPresetActivationLocked();
    // The geometry is left to the policy, which refreshes it once it sees
    // the preset ready.
    logActivation("ready", preset, targetDisplayID);
}

void HeadlessVirtualDisplay::clearPendingPresetActivationLocked() {
    // The finished work item is dropped, not cancelled: it is the one running.
    pendingPresetActivationTask.reset();
    pendingPresetActivationDisplayID = 0;
    pendingPresetActivationPreset.reset();
}

void HeadlessVirtualDisplay::cancelPendingPresetActivation() {
    DispatchWorkItemRef task;
    {
        std::lock_guard<std::recursive_mutex> g(stateLock);
        ++presetActivationGeneration;
        task = std::move(pendingPresetActivationTask);
        pendingPresetActivationTask.reset();
        pendingPresetActivationDisplayID = 0;
        pendingPresetActivationPreset.reset();
    }
    if (task) task->cancel();
}

HeadlessVirtualDisplay::PresetReadiness HeadlessVirtualDisplay::settlePresetActivationBeforeSleep(
    const Preset& preset, double timeout) {
    // A negative or not-a-number time-out means none; an absurd one is capped
    // so the deadline cannot overflow.
    const double seconds = timeout > 0 ? std::min(timeout, kLongestSettleSeconds) : 0.0;
    const uint64_t deadlineNs = Clock::uptimeNs() + static_cast<uint64_t>(seconds * 1e9);
    const PresetReadiness first = presetReadiness(preset);
    if (first != PresetReadiness::pending) return first;

    while (Clock::uptimeNs() < deadlineNs) {
        sleepFor(kSettlePollSeconds);
        bool registered = false;
        bool pending = false;
        uint32_t id = 0;
        {
            std::lock_guard<std::recursive_mutex> g(stateLock);
            registered = hasDisplayLocked() && std::find(registeredPresets.begin(), registeredPresets.end(),
                                                         preset) != registeredPresets.end();
            pending = pendingPresetActivationDisplayID == displayID && pendingPresetActivationPreset == preset;
            id = displayID;
        }
        if (!registered) return PresetReadiness::unavailable;
        const auto mode = CGDisplayCopyDisplayMode(id);
        if (mode && displayMode(*mode, preset)) return PresetReadiness::ready;
        if (!pending) return PresetReadiness::inactive;
    }
    cancelPendingPresetActivation();
    refreshGeometry();
    return presetReadiness(preset);
}
