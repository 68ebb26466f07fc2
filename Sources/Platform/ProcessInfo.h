#pragma once
// Facts about the running process and the system it runs on.

#include <string>

namespace platform {

struct ProcessInfo {
    // The system's name and version for reports, e.g.
    // "Debian GNU/Linux 12 (bookworm) (kernel 6.1.0-18-amd64)".
    static std::string operatingSystemVersionString();
};

}  // namespace platform
