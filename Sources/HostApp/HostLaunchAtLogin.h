#pragma once
// Starting the Host at login: the shell's entry points, filled by their own
// change.

#include <functional>
#include <string>

struct HostLaunchAtLogin {
    HostLaunchAtLogin() = delete;
    // Applies the default choice once per build; the completion gets a
    // line for the log.
    static void configureDefaultIfNeeded(std::function<void(const std::string&)> completion);
    // The state as a tooltip.
    static std::string statusText();
};
