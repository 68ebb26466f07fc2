#pragma once
// The computer's name as the user gave it (the name a Mac shows in its
// sharing settings). A setting of the simulated machine; by default the
// PRETTY_HOSTNAME of /etc/machine-info, else the host name.

#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

struct ComputerName {
    // None when the machine has no name at all.
    static std::optional<std::string> localizedName();
    // PRETTY_HOSTNAME of machine-info text (shell-style KEY=VALUE lines,
    // the value optionally quoted); none when absent or empty.
    static std::optional<std::string> prettyHostnameFromMachineInfo(std::string_view text);
};

class SimulatedComputerName {
public:
    // What localizedName() answers; `std::nullopt` inside means no name.
    void setLocalizedName(std::optional<std::string> name);
    std::optional<std::string> localizedName() const;

private:
    mutable std::mutex lock_;
    // Unset: the machine's own name.
    std::optional<std::optional<std::string>> name_;
};

}  // namespace platform
