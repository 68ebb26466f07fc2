#include "HostApp/CommandLine.h"

#include <charconv>

#include "Platform/Folders.h"

namespace {
std::optional<uint16_t> parsePort(const std::string& text) {
    unsigned value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value > 65535) return std::nullopt;
    return static_cast<uint16_t>(value);
}
}  // namespace

platform::Result<HostCommandLine> HostCommandLine::parse(const std::vector<std::string>& args) {
    HostCommandLine out;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        std::optional<std::string> inlineValue;
        if (arg.rfind("--", 0) == 0) {
            if (auto eq = arg.find('='); eq != std::string::npos) {
                inlineValue = arg.substr(eq + 1);
                arg.resize(eq);
            }
        }
        auto value = [&]() -> std::optional<std::string> {
            if (inlineValue) return inlineValue;
            if (i + 1 < args.size()) return args[++i];
            return std::nullopt;
        };
        auto port = [&](uint16_t& target) -> platform::Status {
            auto v = value();
            if (!v) return platform::Status::failure("option '" + arg + "' requires an argument");
            auto p = parsePort(*v);
            if (!p) return platform::Status::failure("invalid port '" + *v + "' for " + arg);
            target = *p;
            return platform::success();
        };
        if (arg == "--help" || arg == "-h") {
            out.showHelp = true;
        } else if (arg == "--version" || arg == "-V") {
            out.showVersion = true;
        } else if (arg == "--velantrix-initial-install") {
            out.initialInstall = true;
        } else if (arg == "--velantrix-unattended-upgrade") {
            out.unattendedUpgrade = true;
        } else if (arg == "--audio-port") {
            if (auto s = port(out.audioPort); !s) return platform::Failure{s.error()};
        } else if (arg == "--video-port") {
            if (auto s = port(out.videoPort); !s) return platform::Failure{s.error()};
        } else if (arg == "--file-port") {
            if (auto s = port(out.filePort); !s) return platform::Failure{s.error()};
        } else if (arg == "--data-root") {
            auto v = value();
            if (!v || v->empty()) return platform::Failure{"option '--data-root' requires an argument"};
            out.dataRoot = *v;
        } else if (arg == "--console-user") {
            auto v = value();
            if (!v || v->empty()) return platform::Failure{"option '--console-user' requires an argument"};
            out.consoleUser = *v;
        } else {
            return platform::Failure{"unrecognized option '" + args[i] + "'"};
        }
    }
    return out;
}

std::string HostCommandLine::usage() {
    return "Usage: norvessal-host [OPTION]...\n"
           "Share this computer's screen, sound and input with Viewers on the local network.\n"
           "\n"
           "      --audio-port=PORT     audio and control port (default 7346; 0 = any free port)\n"
           "      --video-port=PORT     video and control port (default 7347; 0 = any free port)\n"
           "      --file-port=PORT      file data port (default 7348; 0 = any free port)\n"
           "      --data-root=DIR       keep every file the Host writes under DIR\n"
           "                            (also NORVESSAL_DATA_ROOT)\n"
           "      --console-user=NAME   the console user Viewers must log in as\n"
           "                            (default: the user running the Host)\n"
           "      --velantrix-initial-install\n"
           "                            started by the installer after a first install\n"
           "      --velantrix-unattended-upgrade\n"
           "                            started by the updater after an unattended upgrade\n"
           "  -h, --help                display this help and exit\n"
           "  -V, --version             output version information and exit\n"
           "\n"
           "Environment: VELANTRIX_DEBUG_CADENCE turns on frame-cadence probes.\n";
}

void HostCommandLine::applyEnvironment() const {
    if (dataRoot) platform::Folders::setOverrideRoot(std::filesystem::path(*dataRoot));
}
