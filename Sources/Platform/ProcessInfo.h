#pragma once
// Facts about the running process and the system it runs on.

#include <mutex>
#include <string>

namespace platform {

struct ProcessInfo {
    // The system's version as the Host names it in reports, e.g.
    // "Version 14.5 (Build 23F79)": a setting of the simulated machine.
    static std::string operatingSystemVersionString();
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
