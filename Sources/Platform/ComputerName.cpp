#include "Platform/ComputerName.h"

#include <unistd.h>

#include <climits>
#include <fstream>
#include <sstream>

#include "Platform/Log.h"
#include "Platform/SimulatedMachine.h"

namespace platform {

namespace {

// One shell-style value: double quotes keep all but \" \\ \$ \`, single
// quotes keep everything, a bare backslash escapes the next character.
std::string unquoteShellValue(std::string_view value) {
    std::string out;
    char quote = 0;
    for (size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (quote == '\'') {
            if (c == '\'') quote = 0;
            else out += c;
        } else if (c == '\\' && i + 1 < value.size() &&
                   (quote == 0 || std::string_view("\"\\$`").find(value[i + 1]) != std::string_view::npos)) {
            out += value[++i];
        } else if (quote == '"' && c == '"') {
            quote = 0;
        } else if (quote == 0 && (c == '"' || c == '\'')) {
            quote = c;
        } else {
            out += c;
        }
    }
    return out;
}

std::optional<std::string> machineName() {
    std::ifstream in("/etc/machine-info");
    if (in) {
        std::stringstream text;
        text << in.rdbuf();
        if (auto pretty = ComputerName::prettyHostnameFromMachineInfo(text.str())) return pretty;
    }
    char host[HOST_NAME_MAX + 1] = {};
    if (gethostname(host, sizeof host - 1) == 0 && host[0] != '\0') return std::string(host);
    return std::nullopt;
}

}  // namespace

std::optional<std::string> ComputerName::prettyHostnameFromMachineInfo(std::string_view text) {
    std::optional<std::string> result;
    constexpr std::string_view key = "PRETTY_HOSTNAME=";
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        const size_t start = line.find_first_not_of(" \t");
        if (start == std::string_view::npos || line.substr(start, key.size()) != key) continue;
        std::string value = unquoteShellValue(line.substr(start + key.size()));
        result = value.empty() ? std::nullopt : std::optional<std::string>(std::move(value));
    }
    return result;
}

std::optional<std::string> ComputerName::localizedName() {
    return SimulatedMachine::current().component<SimulatedComputerName>().localizedName();
}

void SimulatedComputerName::setLocalizedName(std::optional<std::string> name) {
    Log::line("simulated machine: computer name " + (name ? "\"" + *name + "\"" : std::string("none")));
    std::lock_guard<std::mutex> g(lock_);
    name_ = std::move(name);
}

std::optional<std::string> SimulatedComputerName::localizedName() const {
    {
        std::lock_guard<std::mutex> g(lock_);
        if (name_) return *name_;
    }
    return machineName();
}

}  // namespace platform
