#include "HostApp/HostLaunchAtLogin.h"

void HostLaunchAtLogin::configureDefaultIfNeeded(std::function<void(const std::string&)>) {}

std::string HostLaunchAtLogin::statusText() { return {}; }
