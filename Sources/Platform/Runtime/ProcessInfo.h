#pragma once
// Facts about the running process and the system it runs on.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct ProcessInfo {
    // The system's version as the Host names it in reports, e.g.
    // "Version 14.5 (Build 23F79)": a setting of the simulated machine.
    static std::string operatingSystemVersionString();
    // The arguments the process was started with, its program first, as
    // the system holds them (/proc/self/cmdline), unless a test set others.
    static std::vector<std::string> arguments();
    static void setArgumentsForTesting(std::optional<std::vector<std::string>> arguments);
    static int32_t processIdentifier();
    // When the process started, in the kernel's clock ticks since boot
    // (/proc/self/stat): with the identifier, names this process apart from
    // an earlier one that had the same identifier. None when unreadable.
    static std::optional<uint64_t> processStartTime();
};

// The simulated machine's system version.
class SimulatedSystemVersion {
public:
    std::string operatingSystemVersionString() const;
    void setOperatingSystemVersionString(std::string text);

private:
    mutable std::mutex lock_;
    std::string text_ = "Version 14.5 (Build 23F79)";
};

}  // namespace platform
