#include "HostApp/Shell/HostVersionStrings.h"

#include "Platform/Foundation/Bundle.h"
#include "Platform/Runtime/ProcessInfo.h"

namespace {

std::string nonEmptyInfo(const platform::Bundle& bundle, const std::string& key) {
    auto value = bundle.infoString(key);
    return value ? *value : std::string();
}

}  // namespace

std::string hostAppVersionString() {
    std::string v = nonEmptyInfo(platform::Bundle::main(), "CFBundleShortVersionString");
    return v.empty() ? "unknown" : v;
}

std::string hostBundleVersionString() {
    std::string v = nonEmptyInfo(platform::Bundle::main(), "CFBundleVersion");
    return v.empty() ? hostAppVersionString() : v;
}

std::string hostBuildMarkerString() {
    const platform::Bundle bundle = platform::Bundle::main();
    const std::string version = hostAppVersionString();
    const auto& exec = bundle.executablePath();
    return "V" + version + " build=" + hostBundleVersionString() + " version=" + version +
           " os=" + platform::ProcessInfo::operatingSystemVersionString() + " bundle=" + bundle.bundlePath().string() +
           " exec=" + (exec ? exec->string() : std::string("unknown"));
}
