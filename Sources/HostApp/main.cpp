// Entry point of the Host: parses the command line, starts the runtime and
// runs the main queue until a termination signal.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "HostApp/CommandLine.h"
#include "HostApp/HostComponentWiring.h"
#include "HostApp/Input/HostInputSourceKind.h"
#include "Platform/Dispatch.h"
#include "Platform/Log.h"
#include "Platform/Pasteboard.h"
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

    platform::installTerminationHandler([](int sig) {
        platform::Log::line(std::string("host: received ") + (sig == 2 ? "SIGINT" : "SIGTERM") + ", shutting down");
        platform::stopMainLoop();
    });

    platform::Log::line(std::string("host: started") + (options.initialInstall ? " (initial install)" : "") +
                        (options.unattendedUpgrade ? " (unattended upgrade)" : ""));

    // Whether punctuation is typed as text or pressed as a key depends on
    // the input source; read once here until its changes are observed.
    HostInputSourceKind::refreshCachedCJKInputMethod();

    V230HostAudioAuxServerConfiguration config;
    config.audioPort = options.audioPort;
    config.videoPort = options.videoPort;
    config.filePort = options.filePort;
    config.consoleUser = options.consoleUser;
    auto server = std::make_shared<V230HostAudioAuxServer>(config);
    // 32 MiB a received file, 48 MiB a transfer.
    auto clipboardBridge =
        std::make_shared<ClipboardSyncBridge>("Viewer", platform::Pasteboard::general(), 33554432, 50331648);
    wireClipboardAndDrag(server, clipboardBridge);
    server->start();
    if (server->boundAudioPort() == 0 || server->boundVideoPort() == 0) {
        // Without its control ports no Viewer can reach the Host: say so and
        // stop rather than run deaf.
        platform::Log::line("host: cannot serve Viewers (a control port could not be opened); exiting");
        server->stopForTermination();
        return 1;
    }

    clipboardBridge->start();

    platform::runMainLoop();
    clipboardBridge->stop();
    server->stopForTermination();
    platform::Log::line("host: stopped");
    return 0;
}
