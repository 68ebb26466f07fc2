#pragma once
// Announces a newer Host build before installing it: counts down in whole
// seconds and then starts the update by itself, unless the user skips it or
// starts it at once. What starting means is the owner's: the window only
// counts and reports through its three callbacks. Main queue only.
//
// The window acts as its own window delegate; its owner holds it (the
// platform window is not released when closed), and the timer holds it
// weakly.

#include <functional>
#include <memory>
#include <string>

#include "Platform/AppKit/AppKit.h"
#include "Platform/AppKit/AppKitControls.h"
#include "Platform/Runtime/Dispatch.h"

class HostAutoUpdateCountdownWindow : public platform::WindowDelegate,
                                      public std::enable_shared_from_this<HostAutoUpdateCountdownWindow> {
public:
    // Builds the window (not yet shown) and starts counting at once; the
    // first tick comes one second later. The builds are not shown.
    static std::shared_ptr<HostAutoUpdateCountdownWindow> make(const std::string& currentVersion,
                                                               const std::string& currentBuild,
                                                               const std::string& targetVersion,
                                                               const std::string& targetBuild, int countdownSeconds);
    ~HostAutoUpdateCountdownWindow() override;
    HostAutoUpdateCountdownWindow(const HostAutoUpdateCountdownWindow&) = delete;
    HostAutoUpdateCountdownWindow& operator=(const HostAutoUpdateCountdownWindow&) = delete;

    const std::shared_ptr<platform::Window>& window() const { return window_; }

    // Set by the owner right after construction. The trigger fires at most
    // once; a skip reports onSkipped then onWindowClosed; any close before
    // the trigger reports onWindowClosed, and none after it.
    std::function<void()> onUpdateTriggered;
    std::function<void()> onSkipped;
    std::function<void()> onWindowClosed;

    // Update Now (and Return): starts the update without waiting.
    void triggerNow();
    // Skip This Update.
    void skipUpdate();
    void windowWillClose(platform::Window&) override;

    // The views the window updates; owned by its content view.
    const std::shared_ptr<platform::View> titleLabel = platform::View::label("");
    const std::shared_ptr<platform::View> statusLabel = platform::View::label("");
    const std::shared_ptr<platform::ProgressIndicator> progressBar = platform::ProgressIndicator::make();
    const std::shared_ptr<platform::View> skipButton = platform::View::button("", nullptr);
    const std::shared_ptr<platform::View> updateButton = platform::View::button("", nullptr);

    int remainingSeconds() const { return remainingSeconds_; }
    bool didTriggerUpdate() const { return didTriggerUpdate_; }

private:
    explicit HostAutoUpdateCountdownWindow(int countdownSeconds);
    void setupUI(const std::string& currentVersion, const std::string& targetVersion);
    void startCountdown();
    void tick();
    void triggerUpdate();
    void stopCountdown();

    std::shared_ptr<platform::Window> window_;
    const int countdownSeconds_;
    int remainingSeconds_;
    // The repeating 1 s tick.
    std::unique_ptr<platform::DispatchTimer> countdownTimer_;
    // The update was started; latches.
    bool didTriggerUpdate_ = false;
};
