#pragma once
// The shared workspace as the Host sees it: the running applications and the
// notifications posted when an application launches, becomes active or is
// unhidden, plus the Host's own bundle identifier.
//
// On the simulated machine the applications are a list tests fill
// (SimulatedWorkspace); launching, activating and unhiding post the
// workspace notification on the poster's thread, as the system does. The
// machine's sleep and wake (SimulatedMachine::setAsleep, setScreensAsleep)
// post the four power notifications here.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Platform/NotificationCenter.h"

namespace platform {

inline constexpr const char* kWorkspaceDidLaunchApplicationNotification = "NSWorkspaceDidLaunchApplicationNotification";
inline constexpr const char* kWorkspaceDidActivateApplicationNotification =
    "NSWorkspaceDidActivateApplicationNotification";
inline constexpr const char* kWorkspaceDidUnhideApplicationNotification = "NSWorkspaceDidUnhideApplicationNotification";
// Posted by the machine as it goes to sleep and wakes, and as its screens do.
inline constexpr const char* kWorkspaceWillSleepNotification = "NSWorkspaceWillSleepNotification";
inline constexpr const char* kWorkspaceDidWakeNotification = "NSWorkspaceDidWakeNotification";
inline constexpr const char* kWorkspaceScreensDidSleepNotification = "NSWorkspaceScreensDidSleepNotification";
inline constexpr const char* kWorkspaceScreensDidWakeNotification = "NSWorkspaceScreensDidWakeNotification";
// userInfo key of the application's process identifier in those notifications.
inline constexpr const char* kWorkspaceApplicationProcessIdentifierKey = "processIdentifier";

enum class ApplicationActivationPolicy { regular, accessory, prohibited };

struct RunningApplication {
    int32_t processIdentifier = 0;
    std::optional<std::string> bundleIdentifier;
    std::string localizedName;
    ApplicationActivationPolicy activationPolicy = ApplicationActivationPolicy::regular;
    bool isTerminated = false;
    bool operator==(const RunningApplication&) const = default;

    // Asks the application to quit; the simulated workspace records the
    // request. True when the request was sent.
    bool terminate() const;
};

struct Workspace {
    // The running applications in the order the system lists them.
    static std::vector<RunningApplication> runningApplications();
    static std::vector<RunningApplication> runningApplications(const std::string& bundleIdentifier);
    // The workspace's own notification centre.
    static NotificationCenter& notificationCenter();
};

// The bundle identifier of the Host's main bundle; none when it has none.
std::optional<std::string> mainBundleIdentifier();

// The workspace of the simulated machine. Reached through
// SimulatedMachine::current().component<SimulatedWorkspace>().
class SimulatedWorkspace {
public:
    // Lists an application without posting anything (already running).
    void addApplication(RunningApplication app);
    // Lists it and posts the launch notification.
    void launchApplication(RunningApplication app);
    void activateApplication(int32_t pid);
    void unhideApplication(int32_t pid);
    void terminateApplication(int32_t pid);
    // The applications asked to quit through RunningApplication::terminate,
    // in order.
    std::vector<int32_t> terminateRequests() const;
    void recordTerminateRequest(int32_t pid);
    void setMainBundleIdentifier(std::optional<std::string> identifier);

    std::vector<RunningApplication> runningApplications() const;
    std::optional<std::string> mainBundleIdentifier() const;
    NotificationCenter& notificationCenter() { return center_; }

private:
    void post(const char* name, int32_t pid);

    mutable std::mutex lock_;
    std::vector<RunningApplication> apps_;
    std::optional<std::string> mainBundleIdentifier_;
    std::vector<int32_t> terminateRequests_;
    NotificationCenter center_;
};

}  // namespace platform
