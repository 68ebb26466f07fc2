#include "HostApp/Updates/HostAutoUpdateCountdownWindow.h"

#include <algorithm>

#include "VelantrixProfiles/Localization/VelantrixL10n.h"

using platform::View;

namespace {
std::string countdownText(int seconds) {
    return VelantrixL10n::format("update.autoCountdownFormat", "Starting update in %d seconds…", seconds);
}
}  // namespace

std::shared_ptr<HostAutoUpdateCountdownWindow> HostAutoUpdateCountdownWindow::make(const std::string& currentVersion,
                                                                                   const std::string&,
                                                                                   const std::string& targetVersion,
                                                                                   const std::string&,
                                                                                   int countdownSeconds) {
    auto self = std::shared_ptr<HostAutoUpdateCountdownWindow>(new HostAutoUpdateCountdownWindow(countdownSeconds));
    self->window_->setDelegate(self);
    self->setupUI(currentVersion, targetVersion);
    self->startCountdown();
    return self;
}

HostAutoUpdateCountdownWindow::HostAutoUpdateCountdownWindow(int countdownSeconds)
    : window_(platform::Window::make({420, 280}, platform::kWindowStyleTitled | platform::kWindowStyleClosable)),
      countdownSeconds_(countdownSeconds),
      remainingSeconds_(countdownSeconds) {
    window_->title = VelantrixL10n::text("update.autoTitle", "Automatic Update");
    window_->isReleasedWhenClosed = false;
    window_->setLevel(platform::kFloatingWindowLevel);
    window_->setCollectionBehavior(258);
    window_->hidesOnDeactivate = false;
    window_->center();
}

HostAutoUpdateCountdownWindow::~HostAutoUpdateCountdownWindow() { stopCountdown(); }

void HostAutoUpdateCountdownWindow::setupUI(const std::string& currentVersion, const std::string& targetVersion) {
    using platform::Color;
    using platform::Font;
    using platform::FontWeight;
    using platform::TextAlignment;
    auto icon = View::image("NSApplicationIcon", {48, 48});
    icon->scalesProportionallyDown = true;
    icon->constraints = {"top 24 below content top", "centre x", "width 48", "height 48"};

    titleLabel->text =
        VelantrixL10n::format("update.autoTitleFormat", "Norvessal Host %@ Available", "V" + targetVersion);
    titleLabel->font = Font::system(14, FontWeight::semibold);
    titleLabel->textColor = Color::label;
    titleLabel->textAlignment = TextAlignment::center;
    titleLabel->maximumNumberOfLines = 2;
    titleLabel->constraints = {"top 12 below icon", "centre x", "leading >= 20", "trailing >= 20"};

    auto info = View::label(VelantrixL10n::format(
        "update.autoInfoFormat", "You're using %@. The update will be installed automatically.", "V" + currentVersion));
    info->font = Font::system(11);
    info->textColor = Color::secondaryLabel;
    info->textAlignment = TextAlignment::center;
    info->maximumNumberOfLines = 2;
    info->constraints = {"top 4 below title", "centre x", "leading >= 20", "trailing >= 20"};

    statusLabel->text = countdownText(remainingSeconds_);
    statusLabel->font = Font::monospacedSystem(18, FontWeight::medium);
    statusLabel->textColor = Color::label;
    statusLabel->textAlignment = TextAlignment::center;
    statusLabel->constraints = {"top 16 below info", "centre x"};

    progressBar->isIndeterminate = false;
    progressBar->minValue = 0;
    progressBar->maxValue = countdownSeconds_;
    progressBar->doubleValue = countdownSeconds_;
    progressBar->constraints = {"top 12 below status", "centre x", "width 300", "height 6"};

    auto disclaimer =
        View::label(VelantrixL10n::text("update.autoDisclaimer",
                                        "Auto-update is enabled. You can change this in Host preferences.\n"
                                        "The update will download and install via the system updater."));
    disclaimer->font = Font::system(10);
    disclaimer->textColor = Color::tertiaryLabel;
    disclaimer->textAlignment = TextAlignment::center;
    disclaimer->maximumNumberOfLines = 2;
    disclaimer->constraints = {"top 12 below bar", "centre x", "leading >= 20", "trailing >= 20"};

    std::weak_ptr<HostAutoUpdateCountdownWindow> weak = weak_from_this();
    skipButton->text = VelantrixL10n::text("update.autoSkip", "Skip This Update");
    skipButton->action = [weak](View&) {
        if (auto self = weak.lock()) self->skipUpdate();
    };
    skipButton->constraints = {"leading 20", "bottom 18 above content bottom", "width 150"};
    updateButton->text = VelantrixL10n::text("update.autoUpdateNow", "Update Now");
    updateButton->action = [weak](View&) {
        if (auto self = weak.lock()) self->triggerNow();
    };
    updateButton->keyEquivalent = "\r";
    updateButton->constraints = {"trailing 20", "bottom 18 above content bottom", "width 140"};

    for (const auto& view : {icon, titleLabel, info, statusLabel, progressBar, disclaimer, skipButton, updateButton})
        window_->contentView->addSubview(view);
}

void HostAutoUpdateCountdownWindow::startCountdown() {
    std::weak_ptr<HostAutoUpdateCountdownWindow> weak = weak_from_this();
    // The owner may drop its last reference from the trigger callback; the
    // locked pointer keeps the window until the tick has returned.
    countdownTimer_ = std::make_unique<platform::DispatchTimer>(platform::DispatchQueue::main(), 1.0, [weak] {
        if (auto self = weak.lock()) self->tick();
    });
    countdownTimer_->resume();
}

void HostAutoUpdateCountdownWindow::tick() {
    remainingSeconds_ -= 1;
    progressBar->doubleValue = remainingSeconds_;
    statusLabel->text = countdownText(std::max(remainingSeconds_, 0));
    if (remainingSeconds_ <= 0) {
        stopCountdown();
        triggerUpdate();
    }
}

void HostAutoUpdateCountdownWindow::triggerUpdate() {
    if (didTriggerUpdate_) return;
    didTriggerUpdate_ = true;
    skipButton->isEnabled = false;
    updateButton->isEnabled = false;
    statusLabel->text = VelantrixL10n::text("update.autoStarting", "Starting update…");
    if (onUpdateTriggered) onUpdateTriggered();
}

void HostAutoUpdateCountdownWindow::triggerNow() {
    stopCountdown();
    progressBar->doubleValue = 0;
    remainingSeconds_ = 0;
    triggerUpdate();
}

void HostAutoUpdateCountdownWindow::skipUpdate() {
    stopCountdown();
    if (onSkipped) onSkipped();
    window_->close();
}

void HostAutoUpdateCountdownWindow::windowWillClose(platform::Window&) {
    stopCountdown();
    if (!didTriggerUpdate_ && onWindowClosed) onWindowClosed();
}

void HostAutoUpdateCountdownWindow::stopCountdown() {
    if (countdownTimer_) countdownTimer_->cancel();
}
