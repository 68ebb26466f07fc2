#include "Platform/ProcessInfo.h"

#include <sys/utsname.h>

#include <fstream>

namespace platform {

namespace {

// PRETTY_NAME of os-release, without its quotes.
std::string prettySystemName() {
    std::ifstream in("/etc/os-release");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("PRETTY_NAME=", 0) != 0) continue;
        std::string v = line.substr(12);
        if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) v = v.substr(1, v.size() - 2);
        return v;
    }
    return {};
}

}  // namespace

std::string ProcessInfo::operatingSystemVersionString() {
    std::string name = prettySystemName();
    if (name.empty()) name = "Linux";
    utsname u{};
    std::string release = ::uname(&u) == 0 ? u.release : "unknown";
    return name + " (kernel " + release + ")";
}

}  // namespace platform
