#include "Platform/AppKit/Workspace.h"

#include <algorithm>
#include <filesystem>

#include "Platform/Runtime/Log.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"

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

void SimulatedWorkspace::activateApplication(int32_t pid) {
    {
        std::lock_guard<std::mutex> g(lock_);
        activePid_ = pid;
    }
    post(kWorkspaceDidActivateApplicationNotification, pid);
}
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
    std::vector<RunningApplication> apps = apps_;
    for (auto& app : apps) app.isActive = activePid_ == app.processIdentifier;
    return apps;
}

std::optional<std::string> SimulatedWorkspace::mainBundleIdentifier() const {
    std::lock_guard<std::mutex> g(lock_);
    return mainBundleIdentifier_;
}

void SimulatedWorkspace::post(const char* name, int32_t pid) {
    center_.post(Notification{name, {{kWorkspaceApplicationProcessIdentifierKey, std::to_string(pid)}}});
}

}  // namespace platform

// --- Installed bundles, activation and opening ---------------------------------------

namespace platform {

namespace {

ApplicationBundle systemApplication(const std::string& name, const std::string& identifier) {
    PlistValue::Dictionary info{{"CFBundleName", PlistValue(name)}, {"CFBundleIdentifier", PlistValue(identifier)}};
    return ApplicationBundle{"/System/Applications/" + name + ".app", identifier, info, std::nullopt};
}

}  // namespace

std::optional<std::string> Workspace::urlForApplication(const std::string& bundleIdentifier) {
    return workspace().installedApplicationPath(bundleIdentifier);
}

bool Workspace::applicationBundleExists(const std::string& path) {
    return workspace().installedApplication(path).has_value();
}

void Workspace::openApplication(const std::string& path, bool activates, OpenApplicationCompletion completion) {
    workspace().open(path, activates, std::move(completion));
}

std::optional<ApplicationBundle> ApplicationBundle::at(const std::string& path) {
    return workspace().installedApplication(path);
}

bool RunningApplication::activate(uint32_t options) const {
    return workspace().requestActivation(processIdentifier, options);
}

SimulatedWorkspace::SimulatedWorkspace()
    : installed_{systemApplication("Mission Control", "com.apple.exposelauncher"),
                 systemApplication("Launchpad", "com.apple.launchpad.launcher")} {}

void SimulatedWorkspace::installApplication(ApplicationBundle bundle) {
    std::lock_guard<std::mutex> g(lock_);
    std::erase_if(installed_, [&](const ApplicationBundle& b) { return b.path == bundle.path; });
    installed_.push_back(std::move(bundle));
}

void SimulatedWorkspace::removeInstalledApplication(const std::string& path) {
    std::lock_guard<std::mutex> g(lock_);
    std::erase_if(installed_, [&](const ApplicationBundle& b) { return b.path == path; });
}

std::optional<ApplicationBundle> SimulatedWorkspace::installedApplication(const std::string& path) const {
    std::lock_guard<std::mutex> g(lock_);
    for (const auto& b : installed_) {
        if (b.path == path) return b;
    }
    return std::nullopt;
}

std::optional<std::string> SimulatedWorkspace::installedApplicationPath(const std::string& bundleIdentifier) const {
    std::lock_guard<std::mutex> g(lock_);
    for (const auto& b : installed_) {
        if (b.bundleIdentifier == bundleIdentifier) return b.path;
    }
    return std::nullopt;
}

void SimulatedWorkspace::setActivationRefused(int32_t pid, bool refused) {
    std::lock_guard<std::mutex> g(lock_);
    if (refused) {
        refusingActivation_.insert(pid);
    } else {
        refusingActivation_.erase(pid);
    }
}

std::vector<SimulatedWorkspace::Activation> SimulatedWorkspace::activationRequests() const {
    std::lock_guard<std::mutex> g(lock_);
    return activations_;
}

bool SimulatedWorkspace::requestActivation(int32_t pid, uint32_t options) {
    {
        std::lock_guard<std::mutex> g(lock_);
        activations_.push_back({pid, options});
        auto app = std::find_if(apps_.begin(), apps_.end(), [&](const auto& a) { return a.processIdentifier == pid; });
        if (app == apps_.end() || app->isTerminated || refusingActivation_.count(pid)) return false;
    }
    activateApplication(pid);
    return true;
}

void SimulatedWorkspace::setOpenOutcome(OpenOutcome outcome) {
    std::lock_guard<std::mutex> g(lock_);
    openOutcome_ = std::move(outcome);
}

std::vector<SimulatedWorkspace::OpenRequest> SimulatedWorkspace::openRequests() const {
    std::lock_guard<std::mutex> g(lock_);
    return openRequests_;
}

void SimulatedWorkspace::open(const std::string& path, bool activates, Workspace::OpenApplicationCompletion completion) {
    OpenOutcome outcome;
    std::optional<DispatchQueue> answers;
    {
        std::lock_guard<std::mutex> g(lock_);
        openRequests_.push_back({path, activates, DispatchQueue::main().isCurrent()});
        outcome = openOutcome_;
        if (!openCompletionQueue_) openCompletionQueue_.emplace("platform.workspace.open-answers");
        answers = openCompletionQueue_;
    }
    Log::raw("[SimulatedWorkspace] open " + path);
    if (outcome.kind == OpenOutcome::Kind::noAnswer) return;
    std::weak_ptr<SimulatedMachine> machine = SimulatedMachine::currentShared();
    answers->asyncAfter(outcome.delaySeconds, [machine, path, activates, outcome, completion = std::move(completion)] {
        auto m = machine.lock();
        if (!m) return;
        if (outcome.kind == OpenOutcome::Kind::error) {
            if (completion) completion(outcome.errorDescription);
            return;
        }
        auto& self = m->component<SimulatedWorkspace>();
        std::optional<int32_t> pid;
        for (const auto& app : self.runningApplications()) {
            if (!app.isTerminated && app.bundleURL == path) pid = app.processIdentifier;
        }
        if (!pid) {
            auto bundle = self.installedApplication(path);
            RunningApplication app;
            {
                std::lock_guard<std::mutex> g(self.lock_);
                app.processIdentifier = self.nextLaunchedPid_++;
            }
            app.bundleIdentifier = bundle ? bundle->bundleIdentifier : std::nullopt;
            app.localizedName = std::filesystem::path(path).stem().string();
            app.bundleURL = path;
            pid = app.processIdentifier;
            self.launchApplication(std::move(app));
        }
        if (activates) self.activateApplication(*pid);
        if (completion) completion(std::nullopt);
    });
}

}  // namespace platform
