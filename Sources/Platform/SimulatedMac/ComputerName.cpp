#include "Platform/SimulatedMac/ComputerName.h"

#include <unistd.h>

#include <fstream>
#include <mutex>
#include <sstream>

#include "Platform/SimulatedMac/SimulatedMachine.h"

namespace platform {

namespace {

// The simulated machine's computer-name setting.
struct SimulatedComputerName {
    std::mutex lock;
    std::optional<std::string> name;
};

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

std::string prettyHostName() {
    std::ifstream file("/etc/machine-info");
    std::stringstream text;
    text << file.rdbuf();
    return ComputerName::prettyHostnameFromMachineInfo(text.str()).value_or("");
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

std::string ComputerName::localizedName() {
    auto& state = SimulatedMachine::current().component<SimulatedComputerName>();
    {
        std::lock_guard<std::mutex> g(state.lock);
        if (state.name) return *state.name;
    }
    if (auto pretty = prettyHostName(); !pretty.empty()) return pretty;
    return processHostName();
}

std::string ComputerName::processHostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return "";
    return name;
}

void ComputerName::setLocalizedNameForTesting(std::optional<std::string> name) {
    auto& state = SimulatedMachine::current().component<SimulatedComputerName>();
    std::lock_guard<std::mutex> g(state.lock);
    state.name = std::move(name);
}

}  // namespace platform
