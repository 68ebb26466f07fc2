#pragma once
// The application object of the headless AppKit model: its delegate, the
// activation policy and state, the main loop, termination with the
// delegate's now / cancel / later answer, reopen, the Services provider, the
// standard About panel, and the list of windows and shown alerts.
//
// One application per simulated machine (a fresh machine gives a fresh
// application). Main thread only, like AppKit; the test controls say so in
// their names.

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Platform/AppKit/AppKitWindow.h"
#include "Platform/AppKit/AttributedString.h"
#include "Platform/Foundation/NotificationCenter.h"
#include "Platform/AppKit/Workspace.h"

namespace platform {

class Alert;
class Menu;
class ServicesProvider;

inline constexpr const char* kApplicationDidBecomeActiveNotification = "NSApplicationDidBecomeActiveNotification";
inline constexpr const char* kApplicationWillResignActiveNotification = "NSApplicationWillResignActiveNotification";
inline constexpr const char* kApplicationDidResignActiveNotification = "NSApplicationDidResignActiveNotification";
// Posted on the application's centre as termination begins, after the
// delegate's will-terminate and before the application counts as terminated.
inline constexpr const char* kApplicationWillTerminateNotification = "NSApplicationWillTerminateNotification";

enum class TerminateReply { now, cancel, later };

// What the application asks of its delegate. Every call comes on the main
// queue.
class ApplicationDelegate {
public:
    virtual ~ApplicationDelegate() = default;
    virtual void applicationDidFinishLaunching() {}
    virtual void applicationDidBecomeActive() {}
    virtual bool applicationShouldHandleReopen(bool hasVisibleWindows) { return true; }
    virtual bool applicationShouldTerminateAfterLastWindowClosed() { return false; }
    virtual TerminateReply applicationShouldTerminate() { return TerminateReply::now; }
    virtual void applicationWillTerminate() {}
};

class Application {
public:
    // The application of the simulated machine in force.
    static Application& shared();

    // The application holds its delegate weakly; the owner keeps it alive.
    void setDelegate(std::weak_ptr<ApplicationDelegate> delegate) { delegate_ = std::move(delegate); }
    void setActivationPolicy(ApplicationActivationPolicy policy) { activationPolicy_ = policy; }
    ApplicationActivationPolicy activationPolicy() const { return activationPolicy_; }

    // Finishes launching (the delegate's did-finish-launching, on the main
    // queue), then runs the main queue until the application terminated;
    // returns the exit status.
    int run();
    // The launch alone, for tests that drive time themselves.
    void finishLaunchingForTesting();

    bool isActive() const { return active_; }
    // Takes effect asynchronously on the main queue: the Host's windows come
    // in front, then did-become-active.
    void activate(bool ignoringOtherApps);

    // Asks the delegate; now terminates, later waits for the reply.
    void terminate();
    void replyToApplicationShouldTerminate(bool shouldTerminate);
    bool isTerminated() const { return terminated_; }
    // From the moment termination begins (before the delegate hears of it).
    bool isTerminating() const { return terminating_; }
    bool isAwaitingTerminateReply() const { return awaitingReply_; }
    int exitStatus() const { return exitStatus_; }
    void setExitStatus(int status) { exitStatus_ = status; }

    // Runs the main queue nested (a modal loop) for at most `seconds`, or
    // until `until` holds or the application terminated.
    void runModalSlice(double seconds, const std::function<bool()>& until);

    // Windows the application knows, in creation order.
    std::vector<std::shared_ptr<Window>> windows() const;
    std::shared_ptr<Window> keyWindow() const;
    bool hasVisibleWindows() const;

    // The Services provider, recorded; and how often the Services were
    // refreshed.
    void setServicesProvider(std::shared_ptr<ServicesProvider> provider) { servicesProvider_ = std::move(provider); }
    std::shared_ptr<ServicesProvider> servicesProvider() const { return servicesProvider_.lock(); }
    void updateDynamicServices() { dynamicServicesUpdates_++; }
    int dynamicServicesUpdateCount() const { return dynamicServicesUpdates_; }

    // Opens (or brings back) the standard About panel as the key window.
    void orderFrontStandardAboutPanel(const AttributedString& credits);
    std::shared_ptr<Window> aboutPanel() const { return aboutPanel_; }
    const AttributedString& aboutPanelCredits() const { return aboutCredits_; }

    // --- Menus (AppKitMenu.cpp) -------------------------------------------------
    // The menu bar's menu and the menus the application fills itself.
    std::shared_ptr<Menu> mainMenu;
    std::shared_ptr<Menu> servicesMenu;
    std::shared_ptr<Menu> windowsMenu;
    std::shared_ptr<Menu> helpMenu;
    // Answers a standard action of the menus ("hide:", "hideOtherApplications:",
    // "unhideAllApplications:", "performMiniaturize:", "performZoom:",
    // "arrangeInFront:"); false for any other.
    bool sendActionToFirstResponder(const std::string& selector);
    // Hiding orders the application's visible windows out; unhiding shows
    // them again.
    void hide();
    void unhideAllApplications();
    void hideOtherApplications();
    bool isHidden() const { return hidden_; }
    bool otherApplicationsHidden() const { return otherApplicationsHidden_; }

    // The notification centre of the application's and its windows'
    // notifications.
    NotificationCenter& notificationCenter() { return center_; }

    // --- Test controls ---------------------------------------------------------
    // Another application comes forward: will-resign-active, the Host's
    // windows fall behind and lose key, did-resign-active.
    void simulateOtherApplicationCameForwardForTesting();
    // The Dock icon is clicked (the reopen question, on the main queue).
    void simulateDockClickForTesting();
    // The alerts now shown, as sheets or modally, oldest first.
    std::vector<std::shared_ptr<Alert>> shownAlerts() const;
    // Answers the next alert shown with this response, after the delay.
    void scriptAlertResponseForTesting(ModalResponse response, double afterSeconds = 0);

    // --- Internal: used by windows and alerts ------------------------------------
    uint64_t registerWindow(const std::shared_ptr<Window>& window);
    void retainShownWindow(const std::shared_ptr<Window>& window);
    void forgetWindow(const Window& window);
    void windowDidClose();
    void setKeyCandidate(const std::shared_ptr<Window>& window);
    std::shared_ptr<Window> keyCandidate() const { return keyCandidate_.lock(); }
    void alertShown(const std::shared_ptr<Alert>& alert);
    void alertEnded(const Alert& alert);

private:
    std::shared_ptr<ApplicationDelegate> delegate() const { return delegate_.lock(); }
    void didFinishLaunching();
    void terminateNow();

    std::weak_ptr<ApplicationDelegate> delegate_;
    ApplicationActivationPolicy activationPolicy_ = ApplicationActivationPolicy::prohibited;
    bool launched_ = false;
    bool active_ = false;
    bool awaitingReply_ = false;
    bool terminating_ = false;
    bool terminated_ = false;
    int exitStatus_ = 0;
    uint64_t nextWindowNumber_ = 1;
    // Every window, weakly, and the shown ones strongly (a shown window
    // stays on screen while nobody else holds it).
    std::vector<std::weak_ptr<Window>> windows_;
    std::vector<std::shared_ptr<Window>> retained_;
    std::weak_ptr<Window> keyCandidate_;
    // Windows that hide while another application is active, to show again.
    std::set<uint64_t> hiddenByDeactivation_;
    std::vector<std::shared_ptr<Alert>> shownAlerts_;
    std::deque<std::pair<ModalResponse, double>> scriptedResponses_;
    std::weak_ptr<ServicesProvider> servicesProvider_;
    int dynamicServicesUpdates_ = 0;
    std::shared_ptr<Window> aboutPanel_;
    AttributedString aboutCredits_;
    bool hidden_ = false;
    bool otherApplicationsHidden_ = false;
    // The windows hiding ordered out, to show again.
    std::vector<std::weak_ptr<Window>> hiddenWindows_;
    NotificationCenter center_;
};

}  // namespace platform
