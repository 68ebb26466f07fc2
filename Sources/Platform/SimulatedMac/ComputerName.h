#pragma once
// The computer's names: the user-facing name the machine shows (what a Mac
// calls its computer name) and the network host name of the process. The
// computer name is a setting of the simulated machine; by default it is the
// PRETTY_HOSTNAME of /etc/machine-info, else the host name.

#include <optional>
#include <string>
#include <string_view>

namespace platform {

struct ComputerName {
    // The localised name of the current host; may be empty.
    static std::string localizedName();
    // The host name of the process (gethostname); may be empty.
    static std::string processHostName();
    // Sets the simulated machine's computer name; nullopt restores the
    // default.
    static void setLocalizedNameForTesting(std::optional<std::string> name);
    // PRETTY_HOSTNAME of machine-info text (shell-style KEY=VALUE lines,
    // the value optionally quoted or escaped); none when absent or empty.
    static std::optional<std::string> prettyHostnameFromMachineInfo(std::string_view text);
};

}  // namespace platform
