#include "HostApp/Updates/HostUpdateProgressWindow.h"

#include "HostApp/Updates/HostUpdateWindowLayout.h"
#include "Platform/Runtime/Clock.h"
#include "VelantrixProfiles/Localization/VelantrixL10n.h"

using platform::View;

namespace {
std::string waitingText() {
    return VelantrixL10n::text("update.progressWaiting", "Waiting for the system updater service…");
}
std::string failedText() {
    return VelantrixL10n::text("update.progressFailed", "The system updater could not complete this update.");
}
std::string titleText(const std::string& version) {
    return VelantrixL10n::format("update.progressTitleFormat", "Updating to %@", "V" + version);
}

// The exact fields of the status, not the request: the updater says what it
// installed and what it meant to.
bool isVerifiedCompletion(const HostOnlineUpdateRequest::Status& status) {
    return !status.targetVersion.empty() && !status.targetBuild.empty() &&
           status.installedVersion == status.targetVersion && status.installedBuild == status.targetBuild;
}
}  // namespace

std::shared_ptr<HostUpdateProgressWindow> HostUpdateProgressWindow::make(Request request) {
    auto self = std::shared_ptr<HostUpdateProgressWindow>(new HostUpdateProgressWindow(std::move(request)));
    self->window_->setDelegate(self);
    self->setupUI(self->request_.targetVersion);
    self->startStatusObservation();
    std::weak_ptr<HostUpdateProgressWindow> weak = self;
    // Delivered while the application terminates, before it counts as
    // terminated: a quitting Host leaves the request to the updater.
    self->terminationObserver_ = platform::Application::shared().notificationCenter().addObserver(
        platform::kApplicationWillTerminateNotification, [weak](const platform::Notification&) {
            auto self = weak.lock();
            if (!self) return;
            self->suppressCancellationOnClose = true;
            self->window_->close();
        });
    return self;
}

HostUpdateProgressWindow::HostUpdateProgressWindow(Request request)
    : window_(platform::Window::make({400, 244}, platform::kWindowStyleTitled | platform::kWindowStyleClosable)),
      request_(std::move(request)) {
    HostUpdateWindowLayout::configureWindow(*window_, VelantrixL10n::text("update.progressTitle", "Updating Host"));
}

HostUpdateProgressWindow::~HostUpdateProgressWindow() {
    stopPolling();
    if (terminationObserver_)
        platform::Application::shared().notificationCenter().removeObserver(*terminationObserver_);
}

void HostUpdateProgressWindow::setupUI(const std::string& version) {
    using Layout = HostUpdateWindowLayout;
    using platform::Color;
    using platform::Font;
    auto icon = Layout::applicationIcon();
    titleLabel->text = titleText(version);
    Layout::styleLabel(*titleLabel, Font::system(14, platform::FontWeight::semibold), Color::label);
    statusLabel->text = waitingText();
    Layout::styleLabel(*statusLabel, Font::system(12), Color::secondaryLabel);

    progressBar->isIndeterminate = true;

    auto note =
        View::label(VelantrixL10n::text("update.progressNote",
                                        "This window reflects the state reported by the system updater service.\n"
                                        "Host restarts only after the installed version is verified."));
    Layout::styleLabel(*note, Font::system(10), Color::tertiaryLabel, 2);

    std::weak_ptr<HostUpdateProgressWindow> weak = weak_from_this();
    cancelButton->action = [weak](View&) {
        if (auto self = weak.lock()) self->cancelUpdate();
    };

    const auto& content = window_->contentView;
    for (const auto& view : std::initializer_list<std::shared_ptr<View>>{icon, titleLabel, statusLabel, progressBar,
                                                                         note, cancelButton})
        content->addSubview(view);
    using platform::LayoutAttribute;
    Layout::activate({
        Layout::centredBelow(icon, content, content, 24),
        {Layout::size(icon, LayoutAttribute::width, 48), Layout::size(icon, LayoutAttribute::height, 48)},
        Layout::centredBelow(titleLabel, content, icon, 12, 20),
        Layout::centredBelow(statusLabel, content, titleLabel, 6),
        Layout::centredBelow(progressBar, content, statusLabel, 16),
        {Layout::size(progressBar, LayoutAttribute::width, 300), Layout::size(progressBar, LayoutAttribute::height, 6)},
        Layout::centredBelow(note, content, progressBar, 12, 20),
        Layout::centredBelow(cancelButton, content, note, 14),
        {Layout::size(cancelButton, LayoutAttribute::width, 104, platform::LayoutRelation::greaterThanOrEqual),
         platform::LayoutConstraint::between(cancelButton, LayoutAttribute::bottom, platform::LayoutRelation::equal,
                                             content, LayoutAttribute::bottom, -18)},
    });
    retitleCancelButton();
}

void HostUpdateProgressWindow::startStatusObservation() {
    progressBar->isAnimating = true;
    observationStartUptimeNs_ = platform::Clock::uptimeNs();
    hasReceivedStatus_ = false;
    timedOut_ = false;
    refreshUpdaterStatus();
    if (pollingStopped_) return;
    std::weak_ptr<HostUpdateProgressWindow> weak = weak_from_this();
    statusTimer_ =
        std::make_unique<platform::DispatchTimer>(platform::DispatchQueue::main(), kPollIntervalSeconds, [weak] {
            if (auto self = weak.lock()) self->refreshUpdaterStatus();
        });
    statusTimer_->resume();
}

void HostUpdateProgressWindow::refreshUpdaterStatus() {
    if (timedOut_) return;
    auto status = HostOnlineUpdateRequest::status(request_);
    if (!status) {
        if (hasReceivedStatus_) return;
        const uint64_t waitedNs = platform::Clock::uptimeNs() - observationStartUptimeNs_;
        if (static_cast<double>(waitedNs) / 1e9 <= kFirstStatusTimeoutSeconds) return;
        timedOut_ = true;
        stopPolling();
        progressBar->isAnimating = false;
        statusLabel->text = failedText();
        retitleCancelButton();
        scheduleAutoDismiss(kAutoDismissSeconds);
        return;
    }
    hasReceivedStatus_ = true;
    currentState_ = status->state;
    if (!status->targetVersion.empty() && !status->targetBuild.empty())
        titleLabel->text = titleText(status->targetVersion);

    bool ended = true;
    switch (status->state) {
        case State::queued:
        case State::checking:
            statusLabel->text = waitingText();
            ended = false;
            break;
        case State::downloading:
            statusLabel->text = VelantrixL10n::text("update.progressDownloading", "Downloading update…");
            ended = false;
            break;
        case State::verifying:
            statusLabel->text = VelantrixL10n::text("update.progressVerifying", "Verifying update…");
            ended = false;
            break;
        case State::installing:
            statusLabel->text = VelantrixL10n::text("update.progressInstalling", "Installing update…");
            ended = false;
            break;
        case State::restarting:
            statusLabel->text = VelantrixL10n::text("update.progressRestarting", "Restarting Host…");
            ended = false;
            break;
        case State::completed:
            progressBar->isAnimating = false;
            if (!isVerifiedCompletion(*status)) {
                // The updater says it finished yet installed something else:
                // the window stays, with its button as it was, and keeps
                // listening in case a corrected status follows.
                statusLabel->text = failedText();
                return;
            }
            statusLabel->text = VelantrixL10n::text("update.progressVerifiedRestarting",
                                                    "Installed version verified. Restarting Host…");
            cancelButton->text = VelantrixL10n::text("common.close", "Close");
            break;
        case State::noUpdate:
            statusLabel->text = VelantrixL10n::text("host.upToDateTitle", "Norvessal Host Is Up to Date");
            break;
        case State::deferred:
            statusLabel->text = VelantrixL10n::text("update.progressDeferred",
                                                    "A recent installation is still in its safety cooldown.");
            break;
        case State::cancelled:
            statusLabel->text = VelantrixL10n::text("update.progressCancelled", "Update cancelled.");
            break;
        case State::failed: statusLabel->text = failureMessage(*status); break;
    }
    if (ended) {
        progressBar->isAnimating = false;
        // One delayed close per window, not one per poll until it runs.
        stopPolling();
        scheduleAutoDismiss(kAutoDismissSeconds);
    }
    retitleCancelButton();
}

std::string HostUpdateProgressWindow::failureMessage(const HostOnlineUpdateRequest::Status& status) {
    if (status.failureReason == "manifest-url-rejected")
        return VelantrixL10n::text("update.progressFailedManifestURL",
                                   "This Host version does not support the update download address.");
    if (status.failureReason == "manifest-download-failed" || status.failureReason == "package-download-failed")
        return VelantrixL10n::text(
            "host.updateCheckFailedMessage",
            "Norvessal Host could not reach the update service. It will try again automatically.");
    return failedText();
}

void HostUpdateProgressWindow::scheduleAutoDismiss(double seconds) {
    cancelButton->isHidden = true;
    std::weak_ptr<HostUpdateProgressWindow> weak = weak_from_this();
    platform::DispatchQueue::main().asyncAfter(seconds, [weak] {
        auto self = weak.lock();
        if (!self) return;
        self->suppressCancellationOnClose = true;
        self->window_->close();
    });
}

bool HostUpdateProgressWindow::isCancellable() const {
    if (!currentState_) return true;
    switch (*currentState_) {
        case State::queued:
        case State::checking:
        case State::downloading:
        case State::verifying: return true;
        default: return false;
    }
}

void HostUpdateProgressWindow::retitleCancelButton() {
    cancelButton->text = !cancellationRequested_ && isCancellable() ? VelantrixL10n::text("common.cancel", "Cancel")
                                                                    : VelantrixL10n::text("common.close", "Close");
}

void HostUpdateProgressWindow::requestCancellationIfPossible() {
    if (cancellationRequested_ || !isCancellable()) return;
    if (!HostOnlineUpdateRequest::cancel(request_).ok()) {
        // The request goes on; a later press may try again.
        statusLabel->text = failedText();
        return;
    }
    cancellationRequested_ = true;
    statusLabel->text = VelantrixL10n::text("update.progressCancelling", "Cancelling update…");
    retitleCancelButton();
}

void HostUpdateProgressWindow::cancelUpdate() {
    if (!cancellationRequested_ && isCancellable()) {
        requestCancellationIfPossible();
        return;
    }
    window_->close();
}

bool HostUpdateProgressWindow::windowShouldClose(platform::Window&) {
    if (!suppressCancellationOnClose) requestCancellationIfPossible();
    return true;
}

void HostUpdateProgressWindow::windowWillClose(platform::Window&) { stopPolling(); }

void HostUpdateProgressWindow::stopPolling() {
    pollingStopped_ = true;
    if (statusTimer_) statusTimer_->cancel();
}
