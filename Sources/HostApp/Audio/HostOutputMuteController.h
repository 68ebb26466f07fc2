#pragma once
// HostOutputMuteController is responsible for silencing the Mac's own
// output while a Viewer listens, and for giving it back exactly as it was:
// it mutes the default output device (the main element, else each channel
// element), falls back to a volume of 0, and remembers every value it
// changed so that a restore writes those values back to the same device and
// elements, even after the default output changed.
//
// The server keeps two, one per reason to mute (exclusive listening, a
// Viewer's request). They share one record of the output as it was before
// either changed it: the first to mute saves it and changes the device, the
// last to restore writes it back, and in between neither touches the
// device, so the order in which the two end never leaves the Mac muted.
//
// Threads: the server queue only (the device calls are synchronous).

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "Platform/SimulatedMac/CoreAudio.h"

// One element's mute before the change.
struct SavedMuteState {
    uint32_t deviceID = 0;
    uint32_t element = 0;
    uint32_t muteValue = 0;
    uint32_t savedValue() const { return muteValue; }
};

// One element's volume scalar before the change.
struct SavedVolumeState {
    uint32_t deviceID = 0;
    uint32_t element = 0;
    float value = 0;
    float savedValue() const { return value; }
};

// What was changed, in the order it was changed: mutes, or volumes.
using SavedOutputState = std::variant<std::vector<SavedMuteState>, std::vector<SavedVolumeState>>;

class HostOutputMuteController {
public:
    enum class Purpose { exclusiveListening, viewerRequest };

    // The output as it was before the first controller changed it, and the
    // controllers that hold it muted.
    struct SharedOutputState {
        std::optional<SavedOutputState> savedOutputState;
        std::set<Purpose> holders;
    };

    // Elements tried: the main element, then the channel elements 1 to 8.
    static constexpr uint32_t lastChannelElement = 8;

    explicit HostOutputMuteController(Purpose purpose, std::shared_ptr<SharedOutputState> shared =
                                                           std::make_shared<SharedOutputState>());

    // Mutes (or takes part in a mute already made) and returns the sentence
    // for the status texts; lastOperationSucceeded() tells the outcome.
    std::string muteForExclusiveListening();
    // Ends this controller's hold; the last hold writes the saved values
    // back. None when this controller held nothing.
    std::optional<std::string> restoreAfterExclusiveListening();
    bool lastOperationSucceeded() const { return lastOperationSucceeded_; }
    bool isHolding() const;

    static std::vector<uint32_t> outputElements(platform::AudioObjectID device);
    // Sets each element's mute to 1 (volume to 0.0), stopping after the main
    // element; the saved list, or none when nothing could be changed (what
    // was changed is then put back).
    static std::optional<std::vector<SavedMuteState>> muteOutput(platform::AudioObjectID device,
                                                                 const std::vector<uint32_t>& elements);
    static std::optional<std::vector<SavedVolumeState>> silenceOutput(platform::AudioObjectID device,
                                                                      const std::vector<uint32_t>& elements);

private:
    const Purpose purpose_;
    const std::shared_ptr<SharedOutputState> shared_;
    bool lastOperationSucceeded_ = false;
};
