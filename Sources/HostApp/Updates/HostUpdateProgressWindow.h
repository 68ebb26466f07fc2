#pragma once
// Follows one update request the Host handed to the privileged updater: it
// polls the updater's status file twice a second, says in one sentence where
// the request stands, notices an updater that never answers, lets the user
// cancel while cancelling still makes sense, and closes itself a few
// seconds after the request reached an end. Main queue only.
//
// The window acts as its own window delegate; its owner holds it (the
// platform window is not released when closed), and every timer, delayed
// close and observer holds it weakly.

#include <cstdint>
#include <memory>
#include <optional>

#include "HostApp/Updates/HostOnlineUpdateRequest.h"
#include "Platform/AppKit/AppKit.h"
#include "Platform/AppKit/AppKitControls.h"
#include "Platform/Runtime/Dispatch.h"
#include "Platform/Foundation/NotificationCenter.h"

class HostUpdateProgressWindow : public platform::WindowDelegate,
                                 public std::enable_shared_from_this<HostUpdateProgressWindow> {
public:
    using Request = HostOnlineUpdateRequest::Request;
    using State = HostOnlineUpdateRequest::Status::State;

    // How long the updater may stay silent before the request counts as
    // lost, the poll interval, and the pause before an ended request's
    // window closes.
    static constexpr double kFirstStatusTimeoutSeconds = 30.0;
    static constexpr double kPollIntervalSeconds = 0.5;
    static constexpr double kAutoDismissSeconds = 5.0;

    // Builds the window (not yet shown) and starts polling at once.
    static std::shared_ptr<HostUpdateProgressWindow> make(Request request);
    ~HostUpdateProgressWindow() override;
    HostUpdateProgressWindow(const HostUpdateProgressWindow&) = delete;
    HostUpdateProgressWindow& operator=(const HostUpdateProgressWindow&) = delete;

    const std::shared_ptr<platform::Window>& window() const { return window_; }
    const Request& request() const { return request_; }

    // Set by the owner before it closes a window it replaces: that close
    // must leave the request running.
    bool suppressCancellationOnClose = false;

    // The button: cancels while that still makes sense, else closes.
    void cancelUpdate();

    // Window delegate: the close box cancels when still possible, and
    // closes in any case, also when the cancel file could not be written.
    bool windowShouldClose(platform::Window&) override;
    void windowWillClose(platform::Window&) override;

    // The views the Host updates; owned by the window's content view.
    const std::shared_ptr<platform::View> titleLabel = platform::View::label("");
    const std::shared_ptr<platform::View> statusLabel = platform::View::label("");
    const std::shared_ptr<platform::ProgressIndicator> progressBar = platform::ProgressIndicator::make();
    const std::shared_ptr<platform::View> cancelButton = platform::View::button("", nullptr);

    std::optional<State> currentState() const { return currentState_; }
    bool cancellationRequested() const { return cancellationRequested_; }
    bool timedOut() const { return timedOut_; }

private:
    explicit HostUpdateProgressWindow(Request request);
    void setupUI(const std::string& version);
    void startStatusObservation();
    void refreshUpdaterStatus();
    void scheduleAutoDismiss(double seconds);
    void requestCancellationIfPossible();
    static std::string failureMessage(const HostOnlineUpdateRequest::Status& status);
    // Cancel while cancelling still makes sense, else Close.
    void retitleCancelButton();
    bool isCancellable() const;
    void stopPolling();

    std::shared_ptr<platform::Window> window_;
    const Request request_;
    // The repeating poll; stops once the window closed or an ending state
    // was handled, so a window kept by its owner costs nothing afterwards.
    std::unique_ptr<platform::DispatchTimer> statusTimer_;
    bool pollingStopped_ = false;
    // The will-terminate observation on the application's centre.
    std::optional<platform::NotificationCenter::Token> terminationObserver_;
    // State of the last status about this request; none before the first.
    std::optional<State> currentState_;
    // A cancel file was written for this request; latches.
    bool cancellationRequested_ = false;
    // Uptime when polling began: the wait for a first status must not
    // follow changes of the wall clock.
    uint64_t observationStartUptimeNs_ = UINT64_MAX;
    bool hasReceivedStatus_ = false;
    // The wait for a first status ran out; polling is frozen.
    bool timedOut_ = false;
};
