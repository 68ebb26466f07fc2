#pragma once
// The shared workspace as the Host sees it: the running applications and the
// notifications posted when an application launches, becomes active or is
// unhidden, plus the Host's own bundle identifier; the installed
// application bundles, found by bundle identifier or path, and opening one.
//
// On the simulated machine the applications are a list tests fill
// (SimulatedWorkspace); launching, activating and unhiding post the
// workspace notification on the poster's thread, as the system does. The
// machine's sleep and wake (SimulatedMachine::setAsleep, setScreensAsleep)
// post the four power notifications here. Installed bundles are records of
// the machine too, never the Linux file system; by default Mission Control
// and Launchpad are installed. An open answers as tests set (success, an
// error, or never), on a queue of its own.

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Platform/Runtime/Dispatch.h"
#include "Platform/Foundation/NotificationCenter.h"
#include "Platform/Foundation/PropertyList.h"

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

// Activation option: bring all of the application's windows forward.
inline constexpr uint32_t kApplicationActivateAllWindows = 1;

struct RunningApplication {
    // Asks the system to bring the application to the front; false when the
    // application refused.
    bool activate(uint32_t options) const;

    int32_t processIdentifier = 0;
    std::optional<std::string> bundleIdentifier;
    std::string localizedName;
    ApplicationActivationPolicy activationPolicy = ApplicationActivationPolicy::regular;
    bool isTerminated = false;
    // Whether it is the frontmost application when listed.
    bool isActive = false;
    // Path of its application bundle; none for a bare executable.
    std::optional<std::string> bundleURL;
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

    // The installed application with that bundle identifier (its bundle's
    // path); none when nothing installed has it.
    static std::optional<std::string> urlForApplication(const std::string& bundleIdentifier);
    // Whether an application bundle is installed at the path.
    static bool applicationBundleExists(const std::string& path);
    // Opens the application at the path, bringing it forward when
    // `activates`; the completion gets none or the error's description, on
    // a queue of the system, or is never called when the system does not
    // answer.
    using OpenApplicationCompletion = std::function<void(const std::optional<std::string>& error)>;
    static void openApplication(const std::string& path, bool activates, OpenApplicationCompletion completion);
    // Opens the URL with its default application (a web page in the
    // browser); false when no application could open it.
    static bool open(const std::string& url);
};

// An installed application bundle: where it is, its identifier and its
// information dictionaries as its bundle reads them.
struct ApplicationBundle {
    std::string path;
    std::optional<std::string> bundleIdentifier;
    std::optional<PlistValue::Dictionary> infoDictionary;
    std::optional<PlistValue::Dictionary> localizedInfoDictionary;

    // The bundle at the path, as Bundle(url:) makes it; none when nothing is
    // installed there.
    static std::optional<ApplicationBundle> at(const std::string& path);
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

    // --- Installed bundles, activation and opening -------------------------
    SimulatedWorkspace();
    void installApplication(ApplicationBundle bundle);
    void removeInstalledApplication(const std::string& path);
    std::optional<ApplicationBundle> installedApplication(const std::string& path) const;
    std::optional<std::string> installedApplicationPath(const std::string& bundleIdentifier) const;
    // The application refuses (or again accepts) activation.
    void setActivationRefused(int32_t pid, bool refused);
    struct Activation {
        int32_t processIdentifier = 0;
        uint32_t options = 0;
        bool operator==(const Activation&) const = default;
    };
    // Activations asked for through RunningApplication::activate, refused
    // ones included.
    std::vector<Activation> activationRequests() const;
    bool requestActivation(int32_t pid, uint32_t options);

    // How the system answers opens: success (the application runs and, when
    // asked, comes forward), an error with its description, or no answer;
    // after a delay.
    struct OpenOutcome {
        enum class Kind { success, error, noAnswer };
        Kind kind = Kind::success;
        std::string errorDescription;
        double delaySeconds = 0;
    };
    void setOpenOutcome(OpenOutcome outcome);
    struct OpenRequest {
        std::string path;
        bool activates = false;
        bool startedOnMainQueue = false;
        bool operator==(const OpenRequest&) const = default;
    };
    std::vector<OpenRequest> openRequests() const;
    void open(const std::string& path, bool activates, Workspace::OpenApplicationCompletion completion);

    // --- Opening URLs (WorkspaceOpenURL.cpp) ---------------------------------
    // Every URL opened is recorded and logged; nothing reaches a desktop. A
    // URL whose scheme tests made fail is refused (and recorded too).
    bool openURL(const std::string& url);
    void setURLSchemeFails(const std::string& scheme, bool fails);
    // One exact URL that no application opens.
    void setURLFails(const std::string& url, bool fails);
    std::vector<std::string> openedURLs() const;

private:
    void post(const char* name, int32_t pid);

    mutable std::mutex lock_;
    std::vector<RunningApplication> apps_;
    std::optional<std::string> mainBundleIdentifier_;
    std::vector<int32_t> terminateRequests_;
    NotificationCenter center_;
    std::vector<ApplicationBundle> installed_;
    std::optional<int32_t> activePid_;
    std::set<int32_t> refusingActivation_;
    std::vector<Activation> activations_;
    OpenOutcome openOutcome_;
    std::vector<OpenRequest> openRequests_;
    int32_t nextLaunchedPid_ = 41000;
    std::set<std::string> failingURLSchemes_;
    std::set<std::string> failingURLs_;
    std::vector<std::string> openedURLs_;
    // Where open answers arrive; made on first use, on the machine's runtime.
    std::optional<DispatchQueue> openCompletionQueue_;
};

}  // namespace platform
