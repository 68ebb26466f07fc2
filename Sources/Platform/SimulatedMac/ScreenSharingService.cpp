#include "Platform/SimulatedMac/ScreenSharingService.h"

#include <stdlib.h>

#include <algorithm>
#include <fstream>
#include <utility>
#include <vector>

#include "Platform/Network/Network.h"
#include "Platform/Runtime/ProcessRunner.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"

namespace platform {

namespace {

const char* stateWord(SimulatedScreenSharingService::JobState state) {
    using S = SimulatedScreenSharingService::JobState;
    switch (state) {
        case S::notLoaded: return "unloaded";
        case S::notRunning: return "not running";
        case S::running: return "running";
        case S::hung: return "hung";
    }
    return "unloaded";
}

// Answers "print system/com.apple.screensharing" the way launchctl lays
// out a job, from the state file beside it.
constexpr const char* kStandInScript = R"(#!/bin/sh
[ "$1" = print ] && [ "$2" = system/com.apple.screensharing ] || exit 64
state=$(cat "$(dirname "$0")/state")
case "$state" in
  unloaded) echo 'Could not find service "com.apple.screensharing" in domain for system' >&2; exit 113 ;;
  hung) exec sleep 3600 ;;
esac
printf 'system/com.apple.screensharing = {\n\tactive count = 0\n\tpath = /System/Library/LaunchDaemons/com.apple.screensharing.plist\n\tstate = %s\n}\n' "$state"
)";

}  // namespace

SimulatedScreenSharingService::~SimulatedScreenSharingService() {
    if (listener_) listener_->cancel();
    std::error_code ec;
    if (!directory_.empty()) std::filesystem::remove_all(directory_, ec);
}

void SimulatedScreenSharingService::writeStandInLocked() {
    if (directory_.empty()) {
        std::string pattern = (std::filesystem::temp_directory_path() / "norvessal-launchctl-XXXXXX").string();
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (!::mkdtemp(buffer.data())) return;
        directory_ = buffer.data();
        std::ofstream(directory_ / "launchctl") << kStandInScript;
        std::filesystem::permissions(directory_ / "launchctl", std::filesystem::perms::owner_all);
    }
    // Renamed into place, so a probe running meanwhile reads one state or
    // the other, never half of one.
    std::ofstream(directory_ / "state.new") << stateWord(state_) << "\n";
    std::error_code ec;
    std::filesystem::rename(directory_ / "state.new", directory_ / "state", ec);
}

void SimulatedScreenSharingService::setJobState(JobState state) {
    std::filesystem::path tool;
    {
        std::lock_guard<std::mutex> g(lock_);
        state_ = state;
        writeStandInLocked();
        tool = directory_ / "launchctl";
    }
    SimulatedMachine::current().component<SimulatedTools>().setTool(launchctlPath, tool.string());
}

SimulatedScreenSharingService::JobState SimulatedScreenSharingService::jobState() const {
    std::lock_guard<std::mutex> g(lock_);
    return state_;
}

CGDirectDisplayID SimulatedScreenSharingService::beginSession(CGDirectDisplayID id, int width, int height) {
    auto& displays = SimulatedMachine::current().component<SimulatedDisplaySystem>();
    double right = 0;
    for (CGDirectDisplayID other : displays.displayIDs())
        if (auto d = displays.display(other)) right = std::max(right, d->bounds.x + d->bounds.width);
    auto display = SimulatedDisplaySystem::plainMonitor(id, width, height, right, 0);
    display.vendorNumber = kUnknownDisplayVendor;
    display.modelNumber = kVirtualDisplayModel;
    display.physicalSizeMM = {};
    {
        std::lock_guard<std::mutex> g(lock_);
        sessionDisplay_ = id;
    }
    displays.addDisplay(display);
    return id;
}

void SimulatedScreenSharingService::endSession() {
    std::optional<CGDirectDisplayID> id;
    {
        std::lock_guard<std::mutex> g(lock_);
        id = std::exchange(sessionDisplay_, std::nullopt);
    }
    if (id) SimulatedMachine::current().component<SimulatedDisplaySystem>().removeDisplay(*id);
}

std::optional<CGDirectDisplayID> SimulatedScreenSharingService::sessionDisplayID() const {
    std::lock_guard<std::mutex> g(lock_);
    return sessionDisplay_;
}

Result<uint16_t> SimulatedScreenSharingService::listen(uint16_t port) {
    stopListening();
    auto listener = TcpListener::listen(port, TcpListenerOptions{false, "127.0.0.1"});
    if (!listener) return Result<uint16_t>::failure(listener.error());
    (*listener)->newConnectionHandler = [](std::shared_ptr<TcpConnection> connection) { connection->cancel(); };
    (*listener)->start(listenerQueue_);
    std::lock_guard<std::mutex> g(lock_);
    listener_ = *listener;
    return listener_->port();
}

void SimulatedScreenSharingService::stopListening() {
    std::shared_ptr<TcpListener> listener;
    {
        std::lock_guard<std::mutex> g(lock_);
        listener = std::move(listener_);
        listener_.reset();
    }
    if (listener) listener->cancel();
}

}  // namespace platform
