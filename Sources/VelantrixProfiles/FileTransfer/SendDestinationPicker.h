#pragma once
// The window in which the user chooses which connected device gets files
// and into which of its folders, and the last choice kept for next time.
// The picker knows nothing of sessions or packets: devices come in as
// options, folders are browsed through a file-transfer service (or not at
// all when none is given), and the answer goes to a completion. Main
// thread only.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class FileTransferService;

struct SendDestinationOption {
    // Identifies the device to the caller.
    std::string id;
    std::string displayName;
    // A second line under the name.
    std::optional<std::string> detailText;
    bool operator==(const SendDestinationOption&) const = default;
};

struct SendDestinationResult {
    SendDestinationOption peer;
    // The folder path, trimmed; never empty when the picker produced it.
    std::string destination;
    // The "Remember this choice for next time" checkbox.
    bool remember = false;
    bool operator==(const SendDestinationResult&) const = default;
};

struct SendDestinationPicker {
    struct Preset {
        std::string title;
        std::string path;
        bool operator==(const Preset&) const = default;
    };
    // Desktop, Downloads and Documents of the device's home folder.
    static const std::vector<Preset>& defaultPresets();

    // Runs the window as an application-modal session; returns after the
    // completion has been called exactly once, with the choice or with
    // nothing (cancelled, closed, or no device to choose).
    static void present(const std::string& windowTitle, const std::string& headerText,
                        const std::vector<SendDestinationOption>& peers, const std::vector<Preset>& presets,
                        const std::optional<SendDestinationResult>& previousChoice,
                        const std::shared_ptr<FileTransferService>& directoryService,
                        std::function<void(std::optional<SendDestinationResult>)> completion);

    SendDestinationPicker() = delete;
};

// The one remembered choice, in the standard user defaults under
// "velantrix.sendDestination.lastChoice".
struct SendDestinationMemory {
    static constexpr const char* defaultsKey = "velantrix.sendDestination.lastChoice";
    static void remember(const SendDestinationResult& result);
    // Nothing when no choice is stored or the stored one lacks a part.
    static std::optional<SendDestinationResult> recall();
    static void forget();

    SendDestinationMemory() = delete;
};
