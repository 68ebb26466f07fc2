#include "Platform/SimulatedMac/SimulatedMachine.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "Platform/Runtime/Log.h"
#include "Platform/AppKit/Workspace.h"

namespace platform {

namespace {
std::mutex currentLock;
std::shared_ptr<SimulatedMachine>& currentMachine() {
    static std::shared_ptr<SimulatedMachine> m;
    return m;
}

std::string unixUserName() {
    if (passwd* pw = getpwuid(getuid()); pw && pw->pw_name) return pw->pw_name;
    if (const char* u = std::getenv("USER")) return u;
    return "user";
}

std::string unixFullName(const std::string& fallback) {
    if (passwd* pw = getpwuid(getuid()); pw && pw->pw_gecos && *pw->pw_gecos) {
        std::string gecos = pw->pw_gecos;
        auto comma = gecos.find(',');
        if (comma != std::string::npos) gecos.resize(comma);
        if (!gecos.empty()) return gecos;
    }
    return fallback;
}
}  // namespace

const char* permissionName(Permission p) {
    switch (p) {
        case Permission::accessibility: return "Accessibility";
        case Permission::screenRecording: return "Screen Recording";
        case Permission::localNetwork: return "Local Network";
    }
    return "?";
}

SimulatedMachine::SimulatedMachine() {
    console_.userName = unixUserName();
    console_.displayName = unixFullName(console_.userName);
}

SimulatedMachine& SimulatedMachine::current() { return *currentShared(); }

std::shared_ptr<SimulatedMachine> SimulatedMachine::currentShared() {
    std::lock_guard<std::mutex> g(currentLock);
    if (!currentMachine()) currentMachine() = std::make_shared<SimulatedMachine>();
    return currentMachine();
}

void SimulatedMachine::install(std::shared_ptr<SimulatedMachine> machine) {
    std::lock_guard<std::mutex> g(currentLock);
    currentMachine() = std::move(machine);
}

ConsoleSession SimulatedMachine::consoleSession() const {
    std::lock_guard<std::mutex> g(lock_);
    return console_;
}

void SimulatedMachine::setConsoleSession(const ConsoleSession& session) {
    {
        std::lock_guard<std::mutex> g(lock_);
        console_ = session;
    }
    Log::raw("[SimulatedMachine] console user=" + (session.userName.empty() ? std::string("none") : session.userName) +
             " loginWindow=" + (session.isLoginWindow ? "yes" : "no") + " locked=" + (session.isLocked ? "yes" : "no") +
             " loginDone=" + (session.loginDone ? "yes" : "no"));
}

void SimulatedMachine::setLocked(bool locked) {
    {
        std::lock_guard<std::mutex> g(lock_);
        console_.isLocked = locked;
    }
    Log::raw(std::string("[SimulatedMachine] screen ") + (locked ? "locked" : "unlocked"));
}

bool SimulatedMachine::permissionGranted(Permission p) const {
    std::lock_guard<std::mutex> g(lock_);
    switch (p) {
        case Permission::accessibility: return accessibility_;
        case Permission::screenRecording: return screenRecording_;
        case Permission::localNetwork: return localNetwork_;
    }
    return false;
}

void SimulatedMachine::setPermission(Permission p, bool granted) {
    {
        std::lock_guard<std::mutex> g(lock_);
        switch (p) {
            case Permission::accessibility: accessibility_ = granted; break;
            case Permission::screenRecording: screenRecording_ = granted; break;
            case Permission::localNetwork: localNetwork_ = granted; break;
        }
    }
    Log::raw(std::string("[SimulatedMachine] permission ") + permissionName(p) + (granted ? " granted" : " denied"));
}

bool SimulatedMachine::isAsleep() const {
    std::lock_guard<std::mutex> g(lock_);
    return asleep_;
}

bool SimulatedMachine::screensAsleep() const {
    std::lock_guard<std::mutex> g(lock_);
    return screensAsleep_;
}

// The workspace hears of each change: "will sleep" before the system
// sleeps, "did wake" after it woke, and the same for the screens.
void SimulatedMachine::setAsleep(bool asleep) {
    bool changed;
    {
        std::lock_guard<std::mutex> g(lock_);
        changed = asleep_ != asleep;
    }
    auto& center = component<SimulatedWorkspace>().notificationCenter();
    if (changed && asleep) center.post(Notification{kWorkspaceWillSleepNotification, {}});
    {
        std::lock_guard<std::mutex> g(lock_);
        asleep_ = asleep;
    }
    Log::raw(std::string("[SimulatedMachine] system ") + (asleep ? "asleep" : "awake"));
    if (changed && !asleep) center.post(Notification{kWorkspaceDidWakeNotification, {}});
}

void SimulatedMachine::setScreensAsleep(bool asleep) {
    bool changed;
    {
        std::lock_guard<std::mutex> g(lock_);
        changed = screensAsleep_ != asleep;
        screensAsleep_ = asleep;
    }
    Log::raw(std::string("[SimulatedMachine] screens ") + (asleep ? "asleep" : "awake"));
    if (changed)
        component<SimulatedWorkspace>().notificationCenter().post(
            Notification{asleep ? kWorkspaceScreensDidSleepNotification : kWorkspaceScreensDidWakeNotification, {}});
}

}  // namespace platform
