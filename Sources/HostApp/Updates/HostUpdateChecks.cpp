// The Host's side of keeping itself current: when to read the release feed
// (at launch and hourly while automatic updates are on, and whenever the
// user asks), what to show for each answer, and how an install is handed
// to the privileged updater and then followed. The Host installs nothing
// itself. Automatic checks never show a failure; only a flow the user
// started, or a countdown's trigger, shows an alert.

#include "HostApp/Shell/DiagnosticLogBuffer.h"
#include "HostApp/HostProbeDelegate.h"
#include "HostApp/Shell/HostVersionStrings.h"
#include "Platform/Runtime/Clock.h"
#include "Platform/Foundation/UserDefaults.h"
#include "VelantrixProfiles/Localization/VelantrixL10n.h"
#include "VelantrixProfiles/ReleaseFeed/VelantrixReleaseFeedService.h"

using platform::DispatchQueue;
using platform::UserDefaults;
using Product = VelantrixReleaseFeed::Product;

namespace {
constexpr const char* kAutoUpdateEnabledKey = "host.autoUpdate.enabled";
constexpr const char* kLastPromptedBuildKey = "host.updateFeed.lastPromptedAvailableBuild";
constexpr const char* kLastCheckTimestampKey = "host.updateCheck.lastCheckTimestamp";
constexpr const char* kLastPresentedBuildKey = "host.upgradeNotice.lastPresentedBuild";
constexpr double kHourlyCheckSeconds = 3600.0;
constexpr int kCountdownSeconds = 5;

bool autoUpdateEnabled() { return UserDefaults::standard().boolForKey(kAutoUpdateEnabledKey); }

bool isNewerThanRunningHost(const Product& latest) {
    return VelantrixReleaseFeedService::isUpdateAvailable(hostAppVersionString(), hostBundleVersionString(), latest);
}

// The stored string, compared as text; an absent or non-string value
// matches nothing.
bool storedStringEquals(const char* key, const std::string& value) {
    auto stored = UserDefaults::standard().objectForKey(key);
    auto text = stored ? stored->asString() : std::nullopt;
    return text && *text == value;
}

void writeCheckTimestamp() {
    UserDefaults::standard().set(kLastCheckTimestampKey, platform::PlistValue(platform::Clock::now().secondsSince1970));
}

std::shared_ptr<platform::Alert> makeAlert(platform::Alert::Style style, std::string title, std::string text,
                                           std::initializer_list<std::string> buttons) {
    auto alert = platform::Alert::make();
    alert->alertStyle = style;
    alert->messageText = std::move(title);
    alert->informativeText = std::move(text);
    for (const auto& button : buttons) alert->addButton(button);
    return alert;
}
}  // namespace

void HostProbeDelegate::fetchLatestFeedForUpdateCheck(
    std::function<void(HostProbeDelegate&, std::optional<VelantrixReleaseFeed>)> then) {
    std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
    DispatchQueue::main().async([weak, then = std::move(then)] {
        auto self = weak.lock();
        if (!self) return;
        VelantrixReleaseFeedService::fetchLatestFeed(
            [self, then](std::optional<VelantrixReleaseFeed> feed) { then(*self, std::move(feed)); });
    });
}

void HostProbeDelegate::checkForHostUpdateOnLaunch() {
    assertMainQueue();
    if (!autoUpdateEnabled()) return;
    fetchLatestFeedForUpdateCheck([](HostProbeDelegate& self, std::optional<VelantrixReleaseFeed> feed) {
        if (!feed) return;
        if (!isNewerThanRunningHost(feed->host)) {
            // A Host that caught up forgets the announcement, so a later
            // build with the same number would be announced again.
            UserDefaults::standard().removeObject(kLastPromptedBuildKey);
            return;
        }
        if (storedStringEquals(kLastPromptedBuildKey, feed->host.build)) return;
        UserDefaults::standard().set(kLastPromptedBuildKey, platform::PlistValue(feed->host.build));
        writeCheckTimestamp();
        self.presentAutoUpdateCountdownWindow(feed->host);
    });
}

void HostProbeDelegate::startHourlyUpdateCheck() {
    assertMainQueue();
    if (updates.hourlyUpdateTimer) updates.hourlyUpdateTimer->cancel();
    std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
    updates.hourlyUpdateTimer =
        std::make_unique<platform::DispatchTimer>(DispatchQueue::main(), kHourlyCheckSeconds, [weak] {
            if (auto self = weak.lock()) self->performHourlyUpdateCheck();
        });
    updates.hourlyUpdateTimer->resume();
}

void HostProbeDelegate::performHourlyUpdateCheck() {
    assertMainQueue();
    // Tested when the timer fires only, not again when the feed arrives.
    if (!autoUpdateEnabled() || updates.autoUpdateCountdownWindow || updates.onlineUpdateProgressWindow ||
        updates.onlineUpdateRequestInProgress)
        return;
    fetchLatestFeedForUpdateCheck([](HostProbeDelegate& self, std::optional<VelantrixReleaseFeed> feed) {
        if (!feed) return;
        writeCheckTimestamp();
        if (!isNewerThanRunningHost(feed->host)) return;
        if (storedStringEquals(kLastPromptedBuildKey, feed->host.build)) return;
        UserDefaults::standard().set(kLastPromptedBuildKey, platform::PlistValue(feed->host.build));
        self.presentAutoUpdateCountdownWindow(feed->host);
    });
}

void HostProbeDelegate::presentAutoUpdateCountdownWindow(const Product& latest) {
    assertMainQueue();
    if (auto previous = updates.autoUpdateCountdownWindow) previous->window()->close();
    auto countdown = HostAutoUpdateCountdownWindow::make(hostAppVersionString(), hostBundleVersionString(),
                                                         latest.version, latest.build, kCountdownSeconds);
    updates.autoUpdateCountdownWindow = countdown;
    std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
    countdown->onUpdateTriggered = [weak] {
        auto self = weak.lock();
        if (!self) return;
        if (auto held = std::exchange(self->updates.autoUpdateCountdownWindow, nullptr)) held->window()->close();
        if (self->updates.onlineUpdateRequestInProgress) return;
        self->updates.onlineUpdateRequestInProgress = true;
        self->refreshOnlineUpdateButtonPresentation();
        self->runOnlineUpdateFlow();
    };
    countdown->onSkipped = [weak] {
        auto self = weak.lock();
        if (!self) return;
        self->updates.autoUpdateCountdownWindow.reset();
        self->log("auto-update skipped by user");
    };
    countdown->onWindowClosed = [weak] {
        if (auto self = weak.lock()) self->updates.autoUpdateCountdownWindow.reset();
    };
    bringWindowToFront(*countdown->window());
    log("auto-update countdown presented for build " + latest.build);
}

void HostProbeDelegate::requestOnlineUpdateAction() {
    assertMainQueue();
    if (updates.onlineUpdateRequestInProgress) return;
    updates.onlineUpdateRequestInProgress = true;
    refreshOnlineUpdateButtonPresentation();
    runOnlineUpdateFlow();
}

void HostProbeDelegate::runOnlineUpdateFlow() {
    fetchLatestFeedForUpdateCheck([](HostProbeDelegate& self, std::optional<VelantrixReleaseFeed> feed) {
        if (!feed) {
            self.presentUpdateCheckFailedAlert();
        } else if (!isNewerThanRunningHost(feed->host)) {
            self.presentHostUpToDateAlert();
        } else if (auto request = HostOnlineUpdateRequest::requestImmediateCheck(feed->host.version, feed->host.build);
                   !request.ok()) {
            self.presentAutomaticUpdaterUnavailableAlert();
        } else {
            // The older request goes on; only its window makes way.
            if (auto older = self.updates.onlineUpdateProgressWindow) {
                older->suppressCancellationOnClose = true;
                older->window()->close();
            }
            self.updates.onlineUpdateProgressWindow = HostUpdateProgressWindow::make(*request);
            bringWindowToFront(*self.updates.onlineUpdateProgressWindow->window());
        }
        self.updates.onlineUpdateRequestInProgress = false;
        self.refreshOnlineUpdateButtonPresentation();
    });
}

void HostProbeDelegate::presentUpdateCheckFailedAlert() {
    assertMainQueue();
    presentHostAlertSheet(makeAlert(
        platform::Alert::Style::warning,
        VelantrixL10n::text("host.updateCheckFailedTitle", "Unable to Check for Update"),
        VelantrixL10n::text("host.updateCheckFailedMessage",
                            "Norvessal Host could not reach the update service. It will try again automatically."),
        {VelantrixL10n::text("common.ok", "OK")}));
}

void HostProbeDelegate::presentHostUpToDateAlert() {
    assertMainQueue();
    // GCC 12 at -O3 warns of an overlapping copy inside the std::string
    // inlines of "literal" + string: its -Wrestrict false positive (GCC bug 105651).
#pragma GCC diagnostic push
#if !defined(__clang__)  // a warning only GCC has
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
    presentHostAlertSheet(
        makeAlert(platform::Alert::Style::informational,
                  VelantrixL10n::text("host.upToDateTitle", "Norvessal Host Is Up to Date"),
                  VelantrixL10n::format("host.upToDateMessageFormat", "%@ is already the latest version.",
                                        "V" + hostAppVersionString()),
                  {VelantrixL10n::text("common.ok", "OK")}));
#pragma GCC diagnostic pop
}

void HostProbeDelegate::presentAutomaticUpdaterUnavailableAlert() {
    assertMainQueue();
    auto alert =
        makeAlert(platform::Alert::Style::warning,
                  VelantrixL10n::text("host.automaticUpdaterUnavailableTitle", "Automatic Update Is Not Ready"),
                  VelantrixL10n::text("host.automaticUpdaterUnavailableMessage",
                                      "Install the latest Host package once to enable future background updates."),
                  {VelantrixL10n::text("host.openDownloadPage", "Open Download Page"),
                   VelantrixL10n::text("common.cancel", "Cancel")});
    std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
    presentHostAlertSheet(alert, [weak](platform::ModalResponse response) {
        auto self = weak.lock();
        if (self && response == platform::kAlertFirstButtonReturn) self->openHostWebsite("download", std::nullopt);
    });
}

void HostProbeDelegate::refreshOnlineUpdateButtonPresentation() {
    assertMainQueue();
    auto button = summary.summaryUpdateButton.lock();
    if (!button) return;
    const bool busy = updates.onlineUpdateRequestInProgress;
    button->text = busy ? VelantrixL10n::text("host.checkingUpdateButton", "Checking for Update…")
                        : VelantrixL10n::text("host.updateVersionButton", "Update Version");
    button->isEnabled = !busy;
}

void HostProbeDelegate::setHostAutoUpdateEnabled(bool enabled) {
    assertMainQueue();
    UserDefaults::standard().set(kAutoUpdateEnabledKey, platform::PlistValue(enabled));
    log(std::string("auto-update preference set to ") + (enabled ? "enabled" : "disabled"));
}

void HostProbeDelegate::toggleAutoUpdateMenuAction(platform::MenuItem& sender) {
    assertMainQueue();
    using platform::ControlStateValue;
    const bool enabled = sender.state != ControlStateValue::on;
    setHostAutoUpdateEnabled(enabled);
    const auto state = enabled ? ControlStateValue::on : ControlStateValue::off;
    sender.state = state;
    // Both menus show the preference, whichever was chosen.
    for (const auto& weakItem : {menus.autoUpdateMenuItem, menus.statusAutoUpdateMenuItem})
        if (auto item = weakItem.lock()) item->state = state;
}

void HostProbeDelegate::presentUpgradeNoticeIfNeeded() {
    assertMainQueue();
    const std::string build = hostBundleVersionString();
    if (storedStringEquals(kLastPresentedBuildKey, build)) return;
    UserDefaults::standard().set(kLastPresentedBuildKey, platform::PlistValue(build));
    log("host updated to build " + build);
    updateHostPresentation();
}
