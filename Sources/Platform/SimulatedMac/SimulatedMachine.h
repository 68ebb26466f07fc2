#pragma once
// The one object standing for what only exists on a Mac: the console
// session, the privacy permissions, the power state, and (through typed
// components that each platform layer adds) displays, Spaces, virtual
// displays, windows and the audio device.
//
// Tests install a fresh machine per test with SimulatedMachine::install();
// every setter logs one line so a run's story can be read from its log.

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <typeindex>
#include <unordered_map>

namespace platform {

struct ConsoleSession {
    std::string userName;     // short name; empty when nobody is logged in
    std::string displayName;  // full name
    bool isLoginWindow = false;
    bool isLocked = false;
    bool loginDone = true;
};

enum class Permission { accessibility, screenRecording, localNetwork };

// The permission's name in the simulated machine's log lines.
const char* permissionName(Permission permission);

class SimulatedMachine {
public:
    SimulatedMachine();

    // The machine in force; a default one is created on first use.
    static SimulatedMachine& current();
    static std::shared_ptr<SimulatedMachine> currentShared();
    // Replaces the machine in force (tests: a fresh one per test).
    static void install(std::shared_ptr<SimulatedMachine> machine);

    ConsoleSession consoleSession() const;
    void setConsoleSession(const ConsoleSession& session);
    void setLocked(bool locked);

    bool permissionGranted(Permission p) const;
    void setPermission(Permission p, bool granted);

    bool isAsleep() const;
    bool screensAsleep() const;
    void setAsleep(bool asleep);
    void setScreensAsleep(bool asleep);

    // A platform layer's own state on this machine, created on first use.
    // Each layer keeps its simulated state in its own class T.
    template <class T>
    T& component() {
        std::lock_guard<std::mutex> g(componentsLock_);
        auto it = components_.find(std::type_index(typeid(T)));
        if (it == components_.end()) {
            auto p = std::make_shared<T>();
            it = components_.emplace(std::type_index(typeid(T)), p).first;
        }
        return *static_cast<T*>(it->second.get());
    }

private:
    mutable std::mutex lock_;
    ConsoleSession console_;
    bool accessibility_ = true, screenRecording_ = true, localNetwork_ = true;
    bool asleep_ = false, screensAsleep_ = false;

    std::mutex componentsLock_;
    std::unordered_map<std::type_index, std::shared_ptr<void>> components_;
};

}  // namespace platform
