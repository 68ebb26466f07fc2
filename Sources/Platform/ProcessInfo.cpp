#include "Platform/ProcessInfo.h"

#include "Platform/SimulatedMachine.h"

namespace platform {

std::string ProcessInfo::operatingSystemVersionString() {
    return SimulatedMachine::current().component<SimulatedSystemVersion>().operatingSystemVersionString();
}

std::string SimulatedSystemVersion::operatingSystemVersionString() const {
    std::lock_guard<std::mutex> g(lock_);
    return text_;
}

void SimulatedSystemVersion::setOperatingSystemVersionString(std::string text) {
    std::lock_guard<std::mutex> g(lock_);
    text_ = std::move(text);
}

}  // namespace platform
