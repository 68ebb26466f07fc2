#pragma once
// The Host's command line: GNU-style options, the two launch flags the
// installer passes, and the options that make the Host runnable on Linux.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Foundation/Result.h"

struct HostCommandLine {
    bool showHelp = false;
    bool showVersion = false;
    // Noted by plain presence, as the installer and updater pass them.
    bool initialInstall = false;     // "--velantrix-initial-install"
    bool unattendedUpgrade = false;  // "--velantrix-unattended-upgrade"
    uint16_t audioPort = 7346;
    uint16_t videoPort = 7347;
    uint16_t filePort = 7348;
    std::optional<std::string> dataRoot;     // redirects every folder the Host writes
    std::optional<std::string> consoleUser;  // the simulated console user's name

    static platform::Result<HostCommandLine> parse(const std::vector<std::string>& args);
    // The arguments less every one that parse() takes for one of the two
    // launch flags (abbreviations included); option values, operands and
    // everything after "--" stay as they are.
    static std::vector<std::string> withoutLaunchFlags(const std::vector<std::string>& args);
    static std::string usage();
    // Applies the options that act process-wide (the data root).
    void applyEnvironment() const;
};
