#include "Platform/ComputerName.h"

#include <unistd.h>

#include <fstream>
#include <mutex>

#include "Platform/SimulatedMachine.h"

namespace platform {

namespace {

// The simulated machine's computer-name setting.
struct SimulatedComputerName {
    std::mutex lock;
    std::optional<std::string> name;
};

std::string prettyHostName() {
    std::ifstream file("/etc/machine-info");
    std::string line;
    while (std::getline(file, line)) {
        static constexpr std::string_view kKey = "PRETTY_HOSTNAME=";
        if (line.rfind(kKey, 0) != 0) continue;
        std::string value = line.substr(kKey.size());
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        return value;
    }
    return "";
}

}  // namespace

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
