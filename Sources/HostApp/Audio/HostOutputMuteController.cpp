#include "HostApp/Audio/HostOutputMuteController.h"

using namespace platform;

namespace {

AudioObjectPropertyAddress outputAddress(uint32_t selector, uint32_t element) {
    return {selector, kAudioDevicePropertyScopeOutput, element};
}

// What a controller that still holds the output says about it.
std::string remainsMutedSentence(HostOutputMuteController::Purpose holder) {
    return holder == HostOutputMuteController::Purpose::exclusiveListening
               ? "Host output remains muted for exclusive listening"
               : "Host output remains muted at a Viewer's request";
}

template <class State>
void writeBack(const std::vector<State>& saved, uint32_t selector) {
    for (const auto& s : saved) {
        (void)AudioObjectSetPropertyData(s.deviceID, outputAddress(selector, s.element), s.savedValue());
    }
}

// Sets `target` on each settable element in turn and checks the device took
// it; a failure puts back everything changed so far, including an element
// that took a value other than the one written.
template <class State, class Value>
std::optional<std::vector<State>> changeElements(AudioObjectID device, const std::vector<uint32_t>& elements,
                                                 uint32_t selector, Value target, Value readBackStart,
                                                 bool (*applied)(Value)) {
    std::vector<State> saved;
    for (uint32_t element : elements) {
        const auto address = outputAddress(selector, element);
        bool settable = false;
        if (!AudioObjectHasProperty(device, address)) continue;
        if (AudioObjectIsPropertySettable(device, address, settable) != noErr || !settable) continue;
        Value old{};
        if (AudioObjectGetPropertyData(device, address, old) != noErr) {
            writeBack(saved, selector);
            return std::nullopt;
        }
        if (AudioObjectSetPropertyData(device, address, target) != noErr) {
            writeBack(saved, selector);
            return std::nullopt;
        }
        Value readBack = readBackStart;  // a failed read counts as not applied
        (void)AudioObjectGetPropertyData(device, address, readBack);
        // Saved before the check: a device that took some other value gets
        // its old one back with the rest.
        saved.push_back(State{device, element, old});
        if (!applied(readBack)) {
            writeBack(saved, selector);
            return std::nullopt;
        }
        // The channels are touched only when the main element cannot be.
        if (element == kAudioObjectPropertyElementMain) return saved;
    }
    if (saved.empty()) return std::nullopt;
    return saved;
}

// Writes the saved values back in order; false at the first failed write.
template <class State>
bool restore(const std::vector<State>& saved, uint32_t selector) {
    for (const auto& s : saved) {
        if (AudioObjectSetPropertyData(s.deviceID, outputAddress(selector, s.element), s.savedValue()) != noErr)
            return false;
    }
    return true;
}

}  // namespace

HostOutputMuteController::HostOutputMuteController(Purpose purpose, std::shared_ptr<SharedOutputState> shared)
    : purpose_(purpose), shared_(std::move(shared)) {}

bool HostOutputMuteController::isHolding() const { return shared_->holders.count(purpose_) > 0; }

std::vector<uint32_t> HostOutputMuteController::outputElements(AudioObjectID) {
    std::vector<uint32_t> elements;
    for (uint32_t e = kAudioObjectPropertyElementMain; e <= lastChannelElement; ++e) elements.push_back(e);
    return elements;
}

std::optional<std::vector<SavedMuteState>> HostOutputMuteController::muteOutput(AudioObjectID device,
                                                                                const std::vector<uint32_t>& elements) {
    return changeElements<SavedMuteState, uint32_t>(device, elements, kAudioDevicePropertyMute, 1u, 0u,
                                                    [](uint32_t v) { return v != 0; });
}

std::optional<std::vector<SavedVolumeState>> HostOutputMuteController::silenceOutput(
    AudioObjectID device, const std::vector<uint32_t>& elements) {
    return changeElements<SavedVolumeState, float>(device, elements, kAudioDevicePropertyVolumeScalar, 0.0f, 1.0f,
                                                   [](float v) { return v == 0.0f; });
}

std::string HostOutputMuteController::muteForExclusiveListening() {
    lastOperationSucceeded_ = false;
    if (isHolding()) {
        lastOperationSucceeded_ = true;
        return "Host output remains muted for exclusive listening";
    }
    if (!shared_->holders.empty()) {
        // The other controller muted the output already; joining its hold
        // changes nothing on the device.
        const Purpose holder = *shared_->holders.begin();
        shared_->holders.insert(purpose_);
        lastOperationSucceeded_ = true;
        return remainsMutedSentence(holder);
    }
    AudioObjectID device = kAudioObjectUnknown;
    const AudioObjectPropertyAddress defaultOutput{kAudioHardwarePropertyDefaultOutputDevice,
                                                   kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
    if (AudioObjectGetPropertyData(kAudioObjectSystemObject, defaultOutput, device) != noErr ||
        device == kAudioObjectUnknown) {
        return "Host output mute unavailable (no default output device)";
    }
    const auto elements = outputElements(device);
    if (auto muted = muteOutput(device, elements)) {
        shared_->savedOutputState = std::move(*muted);
        shared_->holders.insert(purpose_);
        lastOperationSucceeded_ = true;
        return "Host output muted";
    }
    if (auto silenced = silenceOutput(device, elements)) {
        shared_->savedOutputState = std::move(*silenced);
        shared_->holders.insert(purpose_);
        lastOperationSucceeded_ = true;
        return "Host output volume muted";
    }
    return "Host output mute unavailable on the current output device";
}

std::optional<std::string> HostOutputMuteController::restoreAfterExclusiveListening() {
    lastOperationSucceeded_ = false;
    if (!isHolding()) {
        lastOperationSucceeded_ = true;
        return std::nullopt;
    }
    shared_->holders.erase(purpose_);
    if (!shared_->holders.empty()) {
        // The other controller still wants the output silent; the original
        // goes back when it lets go.
        lastOperationSucceeded_ = true;
        return remainsMutedSentence(*shared_->holders.begin());
    }
    auto saved = std::move(shared_->savedOutputState);
    shared_->savedOutputState.reset();  // forgotten whatever the writes do
    if (!saved) {
        lastOperationSucceeded_ = true;
        return "Host output restored";
    }
    if (auto* volumes = std::get_if<std::vector<SavedVolumeState>>(&*saved)) {
        if (!restore(*volumes, kAudioDevicePropertyVolumeScalar)) return "Host output volume could not be restored";
        lastOperationSucceeded_ = true;
        return "Host output volume restored";
    }
    if (!restore(std::get<std::vector<SavedMuteState>>(*saved), kAudioDevicePropertyMute))
        return "Host output mute state could not be restored";
    lastOperationSucceeded_ = true;
    return "Host output restored";
}
