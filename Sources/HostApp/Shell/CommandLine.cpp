#include "HostApp/Shell/CommandLine.h"

#include <charconv>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "Platform/Files/Folders.h"

namespace {

std::optional<uint16_t> parsePort(const std::string& text) {
    unsigned value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value > 65535) return std::nullopt;
    return static_cast<uint16_t>(value);
}

struct LongOption {
    const char* name;
    bool takesValue;
};

constexpr LongOption kLongOptions[] = {
    {"--audio-port", true},
    {"--video-port", true},
    {"--file-port", true},
    {"--data-root", true},
    {"--console-user", true},
    {"--velantrix-initial-install", false},
    {"--velantrix-unattended-upgrade", false},
    {"--help", false},
    {"--version", false},
};

// The option a long name stands for: the exact name, or the one option it
// is an unambiguous beginning of, as getopt_long allows.
platform::Result<const LongOption*> resolveLong(const std::string& name, const std::string& given) {
    std::vector<const LongOption*> candidates;
    for (const auto& option : kLongOptions) {
        if (name == option.name) return &option;
        if (std::string_view(option.name).starts_with(name)) candidates.push_back(&option);
    }
    if (candidates.size() == 1) return candidates.front();
    if (candidates.empty()) return platform::Failure{"unrecognized option '" + given + "'"};
    std::string message = "option '" + name + "' is ambiguous; possibilities:";
    for (const auto* option : candidates) message += std::string(" '") + option->name + "'";
    return platform::Failure{message};
}

}  // namespace

platform::Result<HostCommandLine> HostCommandLine::parse(const std::vector<std::string>& args) {
    HostCommandLine out;
    std::optional<std::string> firstOperand;
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg == "-" || arg.empty() || arg[0] != '-') {
            // Operands are only refused once every option has been seen, so
            // that a "--help" anywhere still prints the help.
            if (!firstOperand) firstOperand = arg;
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg[1] != '-') {
            // Bundled short options ("-hV"); the first of them decides.
            for (char c : arg.substr(1)) {
                if (c == 'h') {
                    out.showHelp = true;
                    return out;
                }
                if (c == 'V') {
                    out.showVersion = true;
                    return out;
                }
                return platform::Failure{std::string("invalid option -- '") + c + "'"};
            }
        }

        const size_t eq = arg.find('=');
        const std::string name = arg.substr(0, eq);
        std::optional<std::string> inlineValue;
        if (eq != std::string::npos) inlineValue = arg.substr(eq + 1);
        auto resolved = resolveLong(name, arg);
        if (!resolved) return platform::Failure{resolved.error()};
        const LongOption& option = **resolved;
        const std::string canonical = option.name;
        std::string value;
        if (option.takesValue) {
            if (inlineValue) {
                value = *inlineValue;
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                return platform::Failure{"option '" + canonical + "' requires an argument"};
            }
        } else if (inlineValue) {
            return platform::Failure{"option '" + canonical + "' doesn't allow an argument"};
        }

        auto port = [&](uint16_t& target) -> platform::Status {
            auto p = parsePort(value);
            if (!p) return platform::Status::failure("invalid port '" + value + "' for " + canonical);
            target = *p;
            return platform::success();
        };
        if (canonical == "--help") {
            out.showHelp = true;
            return out;
        } else if (canonical == "--version") {
            out.showVersion = true;
            return out;
        } else if (canonical == "--velantrix-initial-install") {
            out.initialInstall = true;
        } else if (canonical == "--velantrix-unattended-upgrade") {
            out.unattendedUpgrade = true;
        } else if (canonical == "--audio-port") {
            if (auto s = port(out.audioPort); !s) return platform::Failure{s.error()};
        } else if (canonical == "--video-port") {
            if (auto s = port(out.videoPort); !s) return platform::Failure{s.error()};
        } else if (canonical == "--file-port") {
            if (auto s = port(out.filePort); !s) return platform::Failure{s.error()};
        } else if (canonical == "--data-root") {
            if (value.empty()) return platform::Failure{"option '--data-root' requires an argument"};
            out.dataRoot = value;
        } else if (canonical == "--console-user") {
            if (value.empty()) return platform::Failure{"option '--console-user' requires an argument"};
            out.consoleUser = value;
        }
    }
    if (firstOperand) return platform::Failure{"extra operand '" + *firstOperand + "'"};
    return out;
}

std::vector<std::string> HostCommandLine::withoutLaunchFlags(const std::vector<std::string>& args) {
    std::vector<std::string> kept;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") {
            kept.insert(kept.end(), args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
            break;
        }
        if (!arg.starts_with("--")) {
            kept.push_back(arg);
            continue;
        }
        const size_t eq = arg.find('=');
        auto resolved = resolveLong(arg.substr(0, eq), arg);
        if (!resolved) {
            kept.push_back(arg);
            continue;
        }
        const LongOption& option = **resolved;
        const std::string_view name = option.name;
        if (name == "--velantrix-initial-install" || name == "--velantrix-unattended-upgrade") continue;
        kept.push_back(arg);
        // A value in the next argument goes with its option.
        if (option.takesValue && eq == std::string::npos && i + 1 < args.size()) kept.push_back(args[++i]);
    }
    return kept;
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
    // Made absolute now, against the folder the Host was started in: the
    // folders must not depend on the working folder of whoever reads them
    // later, and a Host that becomes the console user works in its home.
    std::optional<std::filesystem::path> root;
    if (dataRoot)
        root = *dataRoot;
    else if (const char* named = std::getenv("NORVESSAL_DATA_ROOT"); named && *named)
        root = named;
    if (root) platform::Folders::setOverrideRoot(std::filesystem::absolute(*root));
}
