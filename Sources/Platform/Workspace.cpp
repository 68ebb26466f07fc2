#include "Platform/Workspace.h"

#include <algorithm>

#include "Platform/SimulatedMachine.h"

namespace platform {

namespace {
SimulatedWorkspace& workspace() { return SimulatedMachine::current().component<SimulatedWorkspace>(); }
}  // namespace

std::vector<RunningApplication> Workspace::runningApplications() { return workspace().runningApplications(); }
NotificationCenter& Workspace::notificationCenter() { return workspace().notificationCenter(); }
std::optional<std::string> mainBundleIdentifier() { return workspace().mainBundleIdentifier(); }

std::vector<RunningApplication> Workspace::runningApplications(const std::string& bundleIdentifier) {
    auto apps = runningApplications();
    std::erase_if(apps, [&](const auto& app) { return app.isTerminated || app.bundleIdentifier != bundleIdentifier; });
    return apps;
}

bool RunningApplication::terminate() const {
    if (isTerminated) return false;
    workspace().recordTerminateRequest(processIdentifier);
    return true;
}

std::vector<int32_t> SimulatedWorkspace::terminateRequests() const {
    std::lock_guard<std::mutex> g(lock_);
    return terminateRequests_;
}

void SimulatedWorkspace::recordTerminateRequest(int32_t pid) {
    std::lock_guard<std::mutex> g(lock_);
    terminateRequests_.push_back(pid);
}

void SimulatedWorkspace::addApplication(RunningApplication app) {
    std::lock_guard<std::mutex> g(lock_);
    apps_.push_back(std::move(app));
}

void SimulatedWorkspace::launchApplication(RunningApplication app) {
    const int32_t pid = app.processIdentifier;
    addApplication(std::move(app));
    post(kWorkspaceDidLaunchApplicationNotification, pid);
}

void SimulatedWorkspace::activateApplication(int32_t pid) { post(kWorkspaceDidActivateApplicationNotification, pid); }
void SimulatedWorkspace::unhideApplication(int32_t pid) { post(kWorkspaceDidUnhideApplicationNotification, pid); }

void SimulatedWorkspace::terminateApplication(int32_t pid) {
    std::lock_guard<std::mutex> g(lock_);
    for (auto& app : apps_) {
        if (app.processIdentifier == pid) app.isTerminated = true;
    }
}

void SimulatedWorkspace::setMainBundleIdentifier(std::optional<std::string> identifier) {
    std::lock_guard<std::mutex> g(lock_);
    mainBundleIdentifier_ = std::move(identifier);
}

std::vector<RunningApplication> SimulatedWorkspace::runningApplications() const {
    std::lock_guard<std::mutex> g(lock_);
    return apps_;
}

std::optional<std::string> SimulatedWorkspace::mainBundleIdentifier() const {
    std::lock_guard<std::mutex> g(lock_);
    return mainBundleIdentifier_;
}

void SimulatedWorkspace::post(const char* name, int32_t pid) {
    center_.post(Notification{name, {{kWorkspaceApplicationProcessIdentifierKey, std::to_string(pid)}}});
}

}  // namespace platform
