// The summary window (the Host's one window: that it runs, its status,
// addresses and Viewers), the About panel, and the two ways the Host shows
// an alert in front of other applications. The Host usually runs in the
// background, so both alert paths keep raising the alert for a short while.

#include "HostApp/Shell/DiagnosticLogBuffer.h"
#include "HostApp/Shell/HostLaunchAtLogin.h"
#include "HostApp/HostProbeDelegate.h"
#include "HostApp/Shell/HostVersionStrings.h"
#include "Platform/AppKit/AppKitLayout.h"
#include "Platform/Foundation/UserDefaults.h"
#include "VelantrixProfiles/Localization/VelantrixL10n.h"
#include "VelantrixProfiles/ReleaseFeed/VelantrixLegalEntity.h"

using platform::Application;
using platform::DispatchQueue;
using platform::View;
using platform::Window;

namespace {
// Where a window that must be seen from the background goes: to the active
// Space and beside full-screen windows. Joining all Spaces as well is a
// combination the window server refuses, so the placement bits are set,
// not added to.
constexpr uint32_t kPlacementBits =
    platform::kWindowCanJoinAllSpaces | platform::kWindowMoveToActiveSpace | platform::kWindowFullScreenAuxiliary;
constexpr uint32_t kForegroundPlacement = platform::kWindowMoveToActiveSpace | platform::kWindowFullScreenAuxiliary;
// The second keep-in-front step catches the other application's own raise.
constexpr double kKeepInFrontRetrySeconds = 0.15;
// How long after raising its window a foreground sheet begins.
constexpr double kSheetBeginDelaySeconds = 0.15;
constexpr double kModalSliceSeconds = 0.02;

void configureSummaryLabel(View& label, platform::Font font, platform::Color color) {
    label.font = font;
    label.textColor = color;
    label.isEditable = false;
    label.isSelectable = true;
    label.maximumNumberOfLines = 0;
    label.wrapsWords = true;
    label.horizontalCompressionResistance = 250;
}
}  // namespace

void HostProbeDelegate::raiseWindowLevelAndPlacement(Window& window, int level) {
    window.setLevel(level);
    window.setCollectionBehavior((window.collectionBehavior() & ~kPlacementBits) | kForegroundPlacement);
    window.hidesOnDeactivate = false;
}

void HostProbeDelegate::bringWindowToFront(Window& window) {
    raiseWindowLevelAndPlacement(window, platform::kFloatingWindowLevel);
    window.deminiaturize();
    window.makeKeyAndOrderFront();
    Application::shared().activate(true);
    window.makeKeyAndOrderFront();
}

std::shared_ptr<Window> HostProbeDelegate::makeSummaryWindow() {
    assertMainQueue();
    using platform::Color;
    using platform::Font;
    using platform::FontWeight;
    auto window = Window::make({460, 315}, platform::kWindowStyleTitled | platform::kWindowStyleClosable |
                                               platform::kWindowStyleMiniaturizable);
    window->title = VelantrixL10n::text("host.windowTitle", "Norvessal Host");
    window->center();
    window->isReleasedWhenClosed = false;

    auto title = View::label(VelantrixL10n::text("host.running", "Norvessal Host is running"));
    title->font = Font::system(24, FontWeight::semibold);
    auto subtitle = View::label(
        VelantrixL10n::text("host.summarySubtitle", "Viewers can connect while this Host stays open."));
    subtitle->font = Font::system(13);
    subtitle->textColor = Color::secondaryLabel;
    configureSummaryLabel(*presentation.summaryStatusLabel, Font::system(14, FontWeight::medium), Color::label);
    configureSummaryLabel(*presentation.summaryAddressLabel, Font::monospacedSystem(12), Color::secondaryLabel);
    configureSummaryLabel(*presentation.summaryViewerLabel, Font::system(13), Color::secondaryLabel);

    std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
    auto checkbox = View::checkbox(VelantrixL10n::text("host.startAtLoginCheckbox", "Start Norvessal Host at login"),
                                   [weak](View& sender) {
                                       if (auto self = weak.lock()) self->launchAtLoginCheckboxChanged(sender);
                                   });
    checkbox->isOn = platform::UserDefaults::standard().boolForKey("host.launchAtLogin.desired");
    checkbox->toolTip = HostLaunchAtLogin::statusText();
    auto refreshButton = View::button(VelantrixL10n::text("host.refreshButton", "Refresh"), [weak](View&) {
        if (auto self = weak.lock()) self->refreshButtonPressed();
    });
    auto updateButton = View::button(VelantrixL10n::text("host.updateVersionButton", "Update Version"), [weak](View&) {
        if (auto self = weak.lock()) self->requestOnlineUpdateAction();
    });
    auto buttons = View::stack(View::Orientation::horizontal, {refreshButton, updateButton});
    buttons->alignment = View::Alignment::centerY;
    buttons->spacing = 8;
    // GCC 12 at -O3 warns of an overlapping copy inside the std::string
    // inlines of "literal" + string: its -Wrestrict false positive (GCC bug 105651).
#pragma GCC diagnostic push
#if !defined(__clang__)  // a warning only GCC has
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
    auto version = View::label("V" + hostAppVersionString());
#pragma GCC diagnostic pop
    version->font = Font::system(14, FontWeight::semibold);
    version->textColor = Color::secondaryLabel;

    auto stack = View::stack(View::Orientation::vertical,
                             {title, subtitle, presentation.summaryStatusLabel, presentation.summaryAddressLabel,
                              presentation.summaryViewerLabel, checkbox, buttons, version});
    stack->alignment = View::Alignment::leading;
    stack->spacing = 10;
    stack->edgeInsets = {22, 24, 20, 24};
    const auto& content = window->contentView;
    content->addSubview(stack);
    // Pinned to the top and both sides; the bottom may leave room, so the
    // fixed window never squeezes the rows. The wrapping rows stay within
    // the stack's width.
    using platform::LayoutAttribute;
    using platform::LayoutConstraint;
    using platform::LayoutRelation;
    stack->translatesAutoresizingMaskIntoConstraints = false;
    std::vector<std::shared_ptr<LayoutConstraint>> constraints;
    for (auto edge : {LayoutAttribute::leading, LayoutAttribute::trailing, LayoutAttribute::top})
        constraints.push_back(LayoutConstraint::between(stack, edge, LayoutRelation::equal, content, edge));
    constraints.push_back(LayoutConstraint::between(stack, LayoutAttribute::bottom, LayoutRelation::lessThanOrEqual,
                                                    content, LayoutAttribute::bottom));
    for (const auto& row : {presentation.summaryStatusLabel, presentation.summaryAddressLabel,
                            presentation.summaryViewerLabel}) {
        constraints.push_back(LayoutConstraint::between(row, LayoutAttribute::width, LayoutRelation::lessThanOrEqual,
                                                        stack, LayoutAttribute::width));
    }
    LayoutConstraint::activate(constraints);

    summary.summaryTitleLabel = title;
    summary.summarySubtitleLabel = subtitle;
    summary.summaryRefreshButton = refreshButton;
    summary.summaryUpdateButton = updateButton;
    summary.summaryLaunchAtLoginCheckbox = checkbox;
    return window;
}

const std::shared_ptr<Window>& HostProbeDelegate::ensureSummaryWindow() {
    if (!summary.summaryWindow) summary.summaryWindow = makeSummaryWindow();
    return summary.summaryWindow;
}

void HostProbeDelegate::showSummaryWindowAction(HostActionSender sender) {
    assertMainQueue();
    if (summary.summaryAutoCloseWorkItem) summary.summaryAutoCloseWorkItem->cancel();
    summary.summaryAutoCloseWorkItem.reset();
    log(std::string("ui: show Host status requested source=") +
        (sender == HostActionSender::menuItem ? "menu" : "unknown"));
    auto& window = *ensureSummaryWindow();
    updateHostPresentation();
    raiseWindowLevelAndPlacement(window, platform::kFloatingWindowLevel);
    window.deminiaturize();
    window.orderFront();
    if (hasPendingInitialInstallOnboarding()) {
        onboarding.initialInstallGuideDismissed = false;
        onboarding.initialInstallOnboardingAwaitingReturn = false;
        if (!isFinishingStep(onboarding.initialInstallOnboardingStep)) {
            observeInitialInstallPermissionCompletion();
            advanceInitialInstallOnboarding();
        }
    }
}

void HostProbeDelegate::scheduleSummaryWindowAutoClose(double after) {
    assertMainQueue();
    if (summary.summaryAutoCloseWorkItem) summary.summaryAutoCloseWorkItem->cancel();
    std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
    summary.summaryAutoCloseWorkItem = platform::makeWorkItem([weak] {
        auto self = weak.lock();
        if (!self) return;
        auto& window = self->summary.summaryWindow;
        // An alert in progress keeps its parent open.
        if (window && window->isVisible() && !window->attachedSheet()) window->close();
    });
    DispatchQueue::main().asyncAfter(after, summary.summaryAutoCloseWorkItem);
}

void HostProbeDelegate::showAboutPanelAction(HostActionSender) {
    assertMainQueue();
    auto& app = Application::shared();
    app.activate(true);
    app.orderFrontStandardAboutPanel(VelantrixLegalEntity::aboutPanelCredits(11, VelantrixL10n::legalNoticeLanguages()));
    std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
    DispatchQueue::main().async([weak] {
        auto self = weak.lock();
        auto key = Application::shared().keyWindow();
        if (!self || !key || key == self->summary.summaryWindow) return;
        raiseWindowLevelAndPlacement(*key, platform::kModalPanelWindowLevel);
        key->makeKeyAndOrderFront();
        key->orderFrontRegardless();
    });
}

platform::ModalResponse HostProbeDelegate::runHostModalAlert(const std::shared_ptr<platform::Alert>& alert) {
    assertMainQueue();
    auto alertWindow = alert->window();
    auto summaryWindow = ensureSummaryWindow();
    auto& app = Application::shared();

    // Another application coming forward puts the summary window with its
    // sheet back in front, at once and once more a moment later.
    std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
    std::weak_ptr<Window> weakAlertWindow = alertWindow;
    auto keepInFront = [weak, weakAlertWindow] {
        auto self = weak.lock();
        auto alertWindow = weakAlertWindow.lock();
        if (!self || !alertWindow || !self->summary.summaryWindow || !alertWindow->isVisible()) return;
        raiseWindowLevelAndPlacement(*self->summary.summaryWindow, platform::kFloatingWindowLevel);
        self->summary.summaryWindow->orderFrontRegardless();
    };
    auto scheduleKeepInFront = [keepInFront](const platform::Notification&) {
        DispatchQueue::main().async(keepInFront);
        DispatchQueue::main().asyncAfter(kKeepInFrontRetrySeconds, keepInFront);
    };
    auto& center = app.notificationCenter();
    const platform::NotificationCenter::Token observers[] = {
        center.addObserver(platform::kApplicationWillResignActiveNotification, scheduleKeepInFront, DispatchQueue::main()),
        center.addObserver(platform::kApplicationDidResignActiveNotification, scheduleKeepInFront, DispatchQueue::main()),
        platform::observeWindow(platform::kWindowDidResignKeyNotification, alertWindow, scheduleKeepInFront,
                                DispatchQueue::main()),
    };

    raiseWindowLevelAndPlacement(*summaryWindow, platform::kFloatingWindowLevel);
    summaryWindow->deminiaturize();
    summaryWindow->makeKeyAndOrderFront();
    app.activate(true);
    summaryWindow->makeKey();

    auto waiting = std::make_shared<bool>(true);
    auto response = std::make_shared<platform::ModalResponse>(platform::kModalResponseAbort);
    alert->beginSheetModal(summaryWindow, [waiting, response](platform::ModalResponse r) {
        *response = r;
        *waiting = false;
    });
    // The nested run returns at once when the application terminates; the
    // sheet is answered with the abort response then.
    while (*waiting && !app.isTerminated()) app.runModalSlice(kModalSliceSeconds, [waiting] { return !*waiting; });
    for (auto token : observers) center.removeObserver(token);
    return *response;
}

void HostProbeDelegate::beginHostForegroundSheet(const std::shared_ptr<platform::Alert>& alert,
                                                 const std::shared_ptr<Window>& window,
                                                 std::function<void(platform::ModalResponse)> completion) {
    assertMainQueue();
    auto& app = Application::shared();
    raiseWindowLevelAndPlacement(*window, platform::kFloatingWindowLevel);
    window->deminiaturize();
    window->makeKeyAndOrderFront();
    app.activate(true);
    window->makeKey();

    std::weak_ptr<Window> weakWindow = window;
    std::weak_ptr<platform::Alert> weakAlert = alert;
    auto keepInFront = [weakWindow, weakAlert] {
        auto window = weakWindow.lock();
        auto alert = weakAlert.lock();
        if (!window || !alert || !Application::shared().isActive()) return;
        auto alertWindow = alert->window();
        if (!alertWindow->isVisible() || alertWindow->sheetParent() != window) return;
        raiseWindowLevelAndPlacement(*window, platform::kFloatingWindowLevel);
        raiseWindowLevelAndPlacement(*alertWindow, platform::kModalPanelWindowLevel);
        window->orderFrontRegardless();
        alertWindow->orderFrontRegardless();
    };
    auto& center = app.notificationCenter();
    auto observers = std::make_shared<std::vector<platform::NotificationCenter::Token>>();
    auto scheduleOnce = [keepInFront](const platform::Notification&) { DispatchQueue::main().async(keepInFront); };
    observers->push_back(
        center.addObserver(platform::kApplicationDidBecomeActiveNotification, scheduleOnce, DispatchQueue::main()));
    observers->push_back(platform::observeWindow(platform::kWindowDidBecomeKeyNotification, alert->window(),
                                                 scheduleOnce, DispatchQueue::main()));

    auto finish = [observers, completion = std::move(completion)](platform::ModalResponse response) {
        for (auto token : *observers) Application::shared().notificationCenter().removeObserver(token);
        observers->clear();
        if (completion) completion(response);
    };
    // The sheet follows a moment after the window came forward, once the
    // activation has settled; the caller's completion runs exactly once
    // even when the application ends first.
    DispatchQueue::main().asyncAfter(kSheetBeginDelaySeconds, [alert, window, finish, keepInFront]() mutable {
        if (Application::shared().isTerminating()) {
            finish(platform::kModalResponseAbort);
            return;
        }
        alert->beginSheetModal(window, std::move(finish));
        DispatchQueue::main().async(keepInFront);
        DispatchQueue::main().asyncAfter(kKeepInFrontRetrySeconds, keepInFront);
    });
}

void HostProbeDelegate::presentHostAlertSheet(const std::shared_ptr<platform::Alert>& alert,
                                              std::function<void(platform::ModalResponse)> completion) {
    assertMainQueue();
    beginHostForegroundSheet(alert, ensureSummaryWindow(), std::move(completion));
}
