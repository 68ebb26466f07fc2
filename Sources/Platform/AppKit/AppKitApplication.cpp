#include "Platform/AppKit/AppKitApplication.h"

#include <algorithm>

#include "Platform/AppKit/AppKitAlert.h"
#include "Platform/Runtime/Dispatch.h"
#include "Platform/Runtime/Runtime.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"

namespace platform {

namespace {
// Work the application queues for itself keeps its machine alive.
void onMainQueue(Work work) {
    DispatchQueue::main().async([machine = SimulatedMachine::currentShared(), work = std::move(work)] { work(); });
}
}  // namespace

Application& Application::shared() { return SimulatedMachine::current().component<Application>(); }

int Application::run() {
    onMainQueue([this] { didFinishLaunching(); });
    while (!terminated_) Runtime::current().runMainQueue(3600, [this] { return terminated_; });
    return exitStatus_;
}

void Application::finishLaunchingForTesting() { onMainQueue([this] { didFinishLaunching(); }); }

void Application::didFinishLaunching() {
    if (launched_) return;
    launched_ = true;
    if (auto d = delegate()) d->applicationDidFinishLaunching();
}

void Application::activate(bool) {
    onMainQueue([this] {
        if (active_ || terminated_) return;
        active_ = true;
        for (const auto& window : windows()) {
            if (window->hidesOnDeactivate && hiddenByDeactivation_.count(window->windowNumber())) window->orderFront();
            if (window->isVisible()) window->setInFrontOfOtherApplications(true);
        }
        hiddenByDeactivation_.clear();
        if (auto key = keyWindow()) key->postForModel(kWindowDidBecomeKeyNotification);
        center_.post(Notification{kApplicationDidBecomeActiveNotification, {}});
        if (auto d = delegate()) d->applicationDidBecomeActive();
    });
}

void Application::simulateOtherApplicationCameForwardForTesting() {
    const bool wasActive = active_;
    if (wasActive) center_.post(Notification{kApplicationWillResignActiveNotification, {}});
    auto key = keyWindow();
    active_ = false;
    for (const auto& window : windows()) {
        window->setInFrontOfOtherApplications(false);
        if (window->hidesOnDeactivate && window->isVisible()) {
            hiddenByDeactivation_.insert(window->windowNumber());
            window->orderOut();
        }
    }
    if (key) key->postForModel(kWindowDidResignKeyNotification);
    if (wasActive) center_.post(Notification{kApplicationDidResignActiveNotification, {}});
}

void Application::simulateDockClickForTesting() {
    activate(true);
    onMainQueue([this] {
        if (auto d = delegate()) d->applicationShouldHandleReopen(hasVisibleWindows());
    });
}

void Application::terminate() {
    if (terminating_ || terminated_) return;
    auto d = delegate();
    const TerminateReply reply = d ? d->applicationShouldTerminate() : TerminateReply::now;
    if (reply == TerminateReply::now) {
        terminateNow();
    } else if (reply == TerminateReply::later) {
        awaitingReply_ = true;
    }
}

void Application::replyToApplicationShouldTerminate(bool shouldTerminate) {
    if (!awaitingReply_) return;
    awaitingReply_ = false;
    if (shouldTerminate) terminateNow();
}

void Application::terminateNow() {
    if (terminating_) return;
    terminating_ = true;
    awaitingReply_ = false;
    // Whatever still waits for an answer is answered for the user: the
    // shown alerts, then every sheet still attached (a panel, say), which
    // ends those waiting behind it too.
    for (const auto& alert : shownAlerts()) alert->endWithResponse(kModalResponseAbort);
    for (const auto& window : windows())
        if (auto sheet = window->attachedSheet()) window->endSheet(sheet, kModalResponseAbort);
    if (auto d = delegate()) d->applicationWillTerminate();
    center_.post(Notification{kApplicationWillTerminateNotification, {}});
    terminated_ = true;
}

void Application::runModalSlice(double seconds, const std::function<bool()>& until) {
    Runtime::current().runMainQueue(seconds, [&] { return terminated_ || (until && until()); });
}

std::vector<std::shared_ptr<Window>> Application::windows() const {
    std::vector<std::shared_ptr<Window>> out;
    for (const auto& weak : windows_)
        if (auto w = weak.lock()) out.push_back(std::move(w));
    return out;
}

std::shared_ptr<Window> Application::keyWindow() const {
    auto candidate = keyCandidate_.lock();
    return candidate && candidate->isKeyWindow() ? candidate : nullptr;
}

bool Application::hasVisibleWindows() const {
    auto all = windows();
    return std::any_of(all.begin(), all.end(), [](const auto& w) { return w->isVisible(); });
}

void Application::orderFrontStandardAboutPanel(const AttributedString& credits) {
    aboutCredits_ = credits;
    if (!aboutPanel_) {
        aboutPanel_ = Window::make({285, 320}, kWindowStyleTitled | kWindowStyleClosable);
        aboutPanel_->isReleasedWhenClosed = false;
        aboutPanel_->center();
    }
    auto credit = View::label(credits.string());
    credit->isSelectable = true;
    credit->maximumNumberOfLines = 0;
    aboutPanel_->contentView = View::stack(View::Orientation::vertical, {credit});
    aboutPanel_->makeKeyAndOrderFront();
}

std::vector<std::shared_ptr<Alert>> Application::shownAlerts() const { return shownAlerts_; }

void Application::scriptAlertResponseForTesting(ModalResponse response, double afterSeconds) {
    scriptedResponses_.emplace_back(response, afterSeconds);
}

uint64_t Application::registerWindow(const std::shared_ptr<Window>& window) {
    std::erase_if(windows_, [](const auto& weak) { return weak.expired(); });
    windows_.push_back(window);
    return nextWindowNumber_++;
}

void Application::retainShownWindow(const std::shared_ptr<Window>& window) {
    if (std::find(retained_.begin(), retained_.end(), window) == retained_.end()) retained_.push_back(window);
}

void Application::forgetWindow(const Window& window) {
    std::erase_if(retained_, [&](const auto& w) { return w.get() == &window; });
}

void Application::windowDidClose() {
    if (hasVisibleWindows()) return;
    onMainQueue([this] {
        auto d = delegate();
        if (d && !terminated_ && !hasVisibleWindows() && d->applicationShouldTerminateAfterLastWindowClosed())
            terminate();
    });
}

void Application::setKeyCandidate(const std::shared_ptr<Window>& window) {
    auto old = keyCandidate_.lock();
    if (old == window) return;
    const bool oldWasKey = old && old->isKeyWindow();
    keyCandidate_ = window;
    if (oldWasKey) old->postForModel(kWindowDidResignKeyNotification);
    if (window && window->isKeyWindow()) window->postForModel(kWindowDidBecomeKeyNotification);
}

void Application::alertShown(const std::shared_ptr<Alert>& alert) {
    shownAlerts_.push_back(alert);
    if (scriptedResponses_.empty()) return;
    auto [response, delay] = scriptedResponses_.front();
    scriptedResponses_.pop_front();
    std::weak_ptr<Alert> weak = alert;
    DispatchQueue::main().asyncAfter(delay, [weak, response = response] {
        if (auto a = weak.lock()) a->endWithResponse(response);
    });
}

void Application::alertEnded(const Alert& alert) {
    std::erase_if(shownAlerts_, [&](const auto& a) { return a.get() == &alert; });
}

}  // namespace platform
