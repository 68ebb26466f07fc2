#include "Platform/Runtime/ProcessInfo.h"

#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "Platform/SimulatedMac/SimulatedMachine.h"

namespace platform {

namespace {
std::mutex argumentsLock;
std::optional<std::vector<std::string>> argumentsOverride;
}  // namespace

std::vector<std::string> ProcessInfo::arguments() {
    {
        std::lock_guard<std::mutex> g(argumentsLock);
        if (argumentsOverride) return *argumentsOverride;
    }
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> out;
    size_t start = 0;
    while (start < all.size()) {
        const size_t end = all.find('\0', start);
        out.push_back(all.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return out;
}

void ProcessInfo::setArgumentsForTesting(std::optional<std::vector<std::string>> arguments) {
    std::lock_guard<std::mutex> g(argumentsLock);
    argumentsOverride = std::move(arguments);
}

int32_t ProcessInfo::processIdentifier() { return static_cast<int32_t>(::getpid()); }

std::optional<uint64_t> ProcessInfo::processStartTime() {
    std::ifstream in("/proc/self/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The command name (field 2) is in parentheses and may hold spaces or
    // parentheses itself: count fields from the last ')'.
    const auto close = text.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream fields(text.substr(close + 1));
    std::string field;
    // Fields 3 to 21, then the start time (field 22).
    for (int i = 3; i <= 21; ++i)
        if (!(fields >> field)) return std::nullopt;
    uint64_t start = 0;
    if (!(fields >> start)) return std::nullopt;
    return start;
}

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
