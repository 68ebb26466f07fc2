// Opening URLs through the workspace of the simulated machine.

#include <cctype>

#include "Platform/Runtime/Log.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"
#include "Platform/AppKit/Workspace.h"

namespace platform {

namespace {
// The scheme before ':', lower-cased; empty when the text has none.
std::string schemeOf(const std::string& url) {
    const size_t colon = url.find(':');
    if (colon == std::string::npos || colon == 0) return {};
    std::string scheme;
    for (char c : url.substr(0, colon)) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return {};
        scheme += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return scheme;
}
}  // namespace

bool Workspace::open(const std::string& url) {
    return SimulatedMachine::current().component<SimulatedWorkspace>().openURL(url);
}

bool SimulatedWorkspace::openURL(const std::string& url) {
    const std::string scheme = schemeOf(url);
    bool opened;
    {
        std::lock_guard<std::mutex> g(lock_);
        opened = !scheme.empty() && !failingURLSchemes_.count(scheme) && !failingURLs_.count(url);
        openedURLs_.push_back(url);
    }
    Log::line(std::string("workspace: open ") + url + (opened ? "" : " refused"));
    return opened;
}

void SimulatedWorkspace::setURLSchemeFails(const std::string& scheme, bool fails) {
    std::string lower;
    for (char c : scheme) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::lock_guard<std::mutex> g(lock_);
    if (fails) {
        failingURLSchemes_.insert(lower);
    } else {
        failingURLSchemes_.erase(lower);
    }
}

void SimulatedWorkspace::setURLFails(const std::string& url, bool fails) {
    std::lock_guard<std::mutex> g(lock_);
    if (fails) {
        failingURLs_.insert(url);
    } else {
        failingURLs_.erase(url);
    }
}

std::vector<std::string> SimulatedWorkspace::openedURLs() const {
    std::lock_guard<std::mutex> g(lock_);
    return openedURLs_;
}

}  // namespace platform
