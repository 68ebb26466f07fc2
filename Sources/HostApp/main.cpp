// Entry point of the Host: parses the command line, starts the runtime and
// runs the main queue until a termination signal.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "HostApp/CommandLine.h"
#include "Platform/Dispatch.h"
#include "Platform/Log.h"
#include "Platform/Runtime.h"
#include "Platform/Signals.h"

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
    if (options.showHelp) {
        std::fputs(HostCommandLine::usage().c_str(), stdout);
        return 0;
    }
    if (options.showVersion) {
        std::printf("norvessal-host %s\n", NORVESSAL_VERSION);
        return 0;
    }
    options.applyEnvironment();

    platform::installTerminationHandler([](int sig) {
        platform::Log::line(std::string("host: received ") + (sig == 2 ? "SIGINT" : "SIGTERM") + ", shutting down");
        platform::stopMainLoop();
    });

    platform::Log::line(std::string("host: started") + (options.initialInstall ? " (initial install)" : "") +
                        (options.unattendedUpgrade ? " (unattended upgrade)" : ""));
    platform::runMainLoop();
    platform::Log::line("host: stopped");
    return 0;
}
