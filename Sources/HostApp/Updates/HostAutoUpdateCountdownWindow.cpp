#include "HostApp/Updates/HostAutoUpdateCountdownWindow.h"

#include <algorithm>

#include "HostApp/Updates/HostUpdateWindowLayout.h"

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
    HostUpdateWindowLayout::configureWindow(*window_, VelantrixL10n::text("update.autoTitle", "Automatic Update"));
}

HostAutoUpdateCountdownWindow::~HostAutoUpdateCountdownWindow() { stopCountdown(); }

void HostAutoUpdateCountdownWindow::setupUI(const std::string& currentVersion, const std::string& targetVersion) {
    using Layout = HostUpdateWindowLayout;
    using platform::Color;
    using platform::Font;
    using platform::FontWeight;
    auto icon = Layout::applicationIcon();
    titleLabel->text =
        VelantrixL10n::format("update.autoTitleFormat", "Norvessal Host %@ Available", "V" + targetVersion);
    Layout::styleLabel(*titleLabel, Font::system(14, FontWeight::semibold), Color::label, 2);

    auto info = View::label(VelantrixL10n::format(
        "update.autoInfoFormat", "You're using %@. The update will be installed automatically.", "V" + currentVersion));
    Layout::styleLabel(*info, Font::system(11), Color::secondaryLabel, 2);
    statusLabel->text = countdownText(remainingSeconds_);
    Layout::styleLabel(*statusLabel, Font::monospacedSystem(18, FontWeight::medium), Color::label);

    progressBar->isIndeterminate = false;
    progressBar->minValue = 0;
    progressBar->maxValue = countdownSeconds_;
    progressBar->doubleValue = countdownSeconds_;

    auto disclaimer =
        View::label(VelantrixL10n::text("update.autoDisclaimer",
                                        "Auto-update is enabled. You can change this in Host preferences.\n"
                                        "The update will download and install via the system updater."));
    Layout::styleLabel(*disclaimer, Font::system(10), Color::tertiaryLabel, 2);

    std::weak_ptr<HostAutoUpdateCountdownWindow> weak = weak_from_this();
    skipButton->text = VelantrixL10n::text("update.autoSkip", "Skip This Update");
    skipButton->action = [weak](View&) {
        if (auto self = weak.lock()) self->skipUpdate();
    };
    updateButton->text = VelantrixL10n::text("update.autoUpdateNow", "Update Now");
    updateButton->action = [weak](View&) {
        if (auto self = weak.lock()) self->triggerNow();
    };
    // GCC 12 at -O3 warns of an overlapping copy inside std::string's
    // assignment of a one-character literal: its -Wrestrict false positive
    // (GCC bug 105329).
#pragma GCC diagnostic push
#if !defined(__clang__)  // a warning only GCC has
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
    updateButton->keyEquivalent = "\r";
#pragma GCC diagnostic pop

    const auto& content = window_->contentView;
    for (const auto& view : std::initializer_list<std::shared_ptr<View>>{icon, titleLabel, info, statusLabel,
                                                                         progressBar, disclaimer, skipButton,
                                                                         updateButton})
        content->addSubview(view);
    using platform::LayoutAttribute;
    using platform::LayoutConstraint;
    using platform::LayoutRelation;
    auto pin = [&](const std::shared_ptr<View>& view, LayoutAttribute edge, double constant) {
        return LayoutConstraint::between(view, edge, LayoutRelation::equal, content, edge, constant);
    };
    Layout::activate({
        Layout::centredBelow(icon, content, content, 24),
        {Layout::size(icon, LayoutAttribute::width, 48), Layout::size(icon, LayoutAttribute::height, 48)},
        Layout::centredBelow(titleLabel, content, icon, 12, 20),
        Layout::centredBelow(info, content, titleLabel, 4, 20),
        Layout::centredBelow(statusLabel, content, info, 16),
        Layout::centredBelow(progressBar, content, statusLabel, 12),
        {Layout::size(progressBar, LayoutAttribute::width, 300), Layout::size(progressBar, LayoutAttribute::height, 6)},
        Layout::centredBelow(disclaimer, content, progressBar, 12, 20),
        {pin(skipButton, LayoutAttribute::leading, 20), pin(skipButton, LayoutAttribute::bottom, -18),
         Layout::size(skipButton, LayoutAttribute::width, 150), pin(updateButton, LayoutAttribute::trailing, -20),
         pin(updateButton, LayoutAttribute::bottom, -18), Layout::size(updateButton, LayoutAttribute::width, 140)},
    });
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
