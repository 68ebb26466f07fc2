// Entry point of the Host: parses the command line, creates the application
// with its delegate and runs it until it terminates.

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "HostApp/Shell/CommandLine.h"
#include "HostApp/Shell/ConsoleUserSwitch.h"
#include "HostApp/HostProbeDelegate.h"
#include "Platform/Files/InstanceLock.h"

#ifndef NORVESSAL_VERSION
#define NORVESSAL_VERSION "0.0.0"
#endif

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    auto parsed = HostCommandLine::parse(args);
    if (!parsed.ok()) {
        std::fprintf(stderr, "norvessal-host: %s\nTry 'norvessal-host --help' for more information.\n",
                     parsed.error().c_str());
        return 2;
    }
    const HostCommandLine& options = *parsed;
    if (options.showHelp || options.showVersion) {
        if (options.showHelp)
            std::fputs(HostCommandLine::usage().c_str(), stdout);
        else
            std::printf("norvessal-host %s\n", NORVESSAL_VERSION);
        // Output that could not be written (a closed pipe, a full disk) must
        // not end in success.
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
            std::fprintf(stderr, "norvessal-host: write error\n");
            return 1;
        }
        return 0;
    }
    options.applyEnvironment();

    // Before anything else is touched: from here on the kernel decides every
    // right as for a Host the console user started. Started as root for
    // that user, what goes on is a process of its own, out of the session
    // of the terminal it was started from; the one left there only waits.
    if (auto became = ConsoleUserSwitch::becomeConsoleUser(options.consoleUser); !became) {
        std::fprintf(stderr, "norvessal-host: %s\n", became.error().c_str());
        return 1;
    }
    if (auto usable = ConsoleUserSwitch::checkDataRoot(); !usable) {
        std::fprintf(stderr, "norvessal-host: %s\n", usable.error().c_str());
        return 1;
    }

    // Before the Host touches any of its files (settings, identity key,
    // staging) or binds a port: a second Host on the same data root would
    // remove the first one's staged batches and serve beside it. Held until
    // the process ends.
    auto hostLock = platform::InstanceLock::acquire(HostProbeDelegate::hostLockFileURL(), 1.0);
    if (!hostLock) {
        const auto& refusal = hostLock.error();
        if (refusal.heldElsewhere)
            std::fprintf(stderr, "another Host is already running for this user (pid %s)\n",
                         refusal.holderPid ? std::to_string(*refusal.holderPid).c_str() : "unknown");
        else
            std::fprintf(stderr, "norvessal-host: %s\n", refusal.message.c_str());
        return 1;
    }

    V230HostAudioAuxServerConfiguration config;
    config.audioPort = options.audioPort;
    config.videoPort = options.videoPort;
    config.filePort = options.filePort;
    config.consoleUser = options.consoleUser;
    HostProbeDelegate::runUntilTerminated(HostLaunchFlags{options.unattendedUpgrade, options.initialInstall}, config);
}
