// The Host's update checks end to end: the delegate launched in virtual
// time, the release feed served from loopback, the updater played by the
// spool folder the test creates.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "HostApp/Shell/HostShellTestFixture.h"
#include "Platform/Foundation/Bundle.h"
#include "Platform/Foundation/UserDefaults.h"
#include "Platform/AppKit/Workspace.h"
#include "Support/LoopbackHttpServer.h"
#include "VelantrixProfiles/ReleaseFeed/VelantrixReleaseChannels.h"

using platform::PlistValue;
using platform::UserDefaults;
using platform::testing::LoopbackHttpServer;
namespace fs = std::filesystem;

namespace {

const std::string kNewerFeed = R"({"viewer":{"version":"2.0","build":"7"},"host":{"version":"1.7.0","build":"170"}})";
const std::string kSameFeed = R"({"viewer":{"version":"2.0","build":"7"},"host":{"version":"1.6.0","build":"160"}})";
constexpr const char* kPromptedKey = "host.updateFeed.lastPromptedAvailableBuild";
constexpr const char* kTimestampKey = "host.updateCheck.lastCheckTimestamp";

class HostUpdateChecks : public HostShellTest {
protected:
    HostUpdateChecks() {
        platform::Bundle::setMainForTesting(platform::Bundle(
            "/opt/norvessal", std::nullopt, {{"CFBundleShortVersionString", "1.6.0"}, {"CFBundleVersion", "160"}}));
        VelantrixReleaseChannels::setLatestReleaseFeedURLForTesting(server.url("/feed"));
    }
    ~HostUpdateChecks() override {
        VelantrixReleaseChannels::setLatestReleaseFeedURLForTesting(std::nullopt);
        platform::Bundle::setMainForTesting(std::nullopt);
    }

    static UserDefaults& defaults() { return UserDefaults::standard(); }
    static void enableAutoUpdate() { defaults().set("host.autoUpdate.enabled", PlistValue(true)); }
    static void installUpdater() {
        fs::create_directories(HostOnlineUpdateRequest::requestDirectoryURL());
        fs::create_directories(HostOnlineUpdateRequest::requestServicePlistURL().parent_path());
        std::ofstream(HostOnlineUpdateRequest::requestServicePlistURL()) << "<plist/>";
    }
    static std::vector<std::string> spoolFiles(const std::string& prefix) {
        std::vector<std::string> names;
        std::error_code ec;
        for (fs::directory_iterator it(HostOnlineUpdateRequest::requestDirectoryURL(), ec), end; !ec && it != end;
             it.increment(ec))
            if (it->path().filename().string().rfind(prefix, 0) == 0) names.push_back(it->path().string());
        return names;
    }
    // Runs until the fetch count reaches `requests` and its answer was handled.
    void awaitFetches(int requests) {
        EXPECT_TRUE(runUntil([&] { return server.requestCount() >= requests; }));
        runUntilIdle();
    }
    // An update alert begins this long after the summary window came forward.
    static constexpr double sheetDelay = 0.15;
    void requestUpdate() { onMain([&] { delegate->requestOnlineUpdateAction(); }); }
    std::shared_ptr<platform::Alert> shownAlert() const {
        auto alerts = app().shownAlerts();
        return alerts.empty() ? nullptr : alerts.back();
    }
    std::shared_ptr<platform::View> updateButton() const { return delegate->summary.summaryUpdateButton.lock(); }
    std::optional<std::string> stored(const char* key) const {
        auto value = defaults().objectForKey(key);
        return value ? value->asString() : std::nullopt;
    }

    std::string feed = kNewerFeed;
    LoopbackHttpServer server{[this](const std::string&) { return LoopbackHttpServer::Reply{200, feed, {}}; }};
};

TEST_F(HostUpdateChecks, WithThePreferenceAbsentNoCheckAsksTheFeedYetTheNewBuildIsNoted) {
    launch();
    EXPECT_EQ(stored("host.upgradeNotice.lastPresentedBuild"), "160");
    onMain([&] { delegate->presentUpgradeNoticeIfNeeded(); });
    EXPECT_EQ(diagnosticsCount("host updated to build 160"), 1u);
    advance(3600);
    runUntilIdle();
    EXPECT_EQ(server.requestCount(), 0);
    EXPECT_EQ(delegate->updates.autoUpdateCountdownWindow, nullptr);
}

TEST_F(HostUpdateChecks, ANewerBuildIsAnnouncedOnceWithACountdownInFront) {
    enableAutoUpdate();
    const double before = platform::Clock::now().secondsSince1970;
    launch();
    awaitFetches(1);
    auto countdown = delegate->updates.autoUpdateCountdownWindow;
    ASSERT_NE(countdown, nullptr);
    EXPECT_EQ(stored(kPromptedKey), "170");
    EXPECT_GE(defaults().doubleForKey(kTimestampKey), before);
    EXPECT_LE(defaults().doubleForKey(kTimestampKey), platform::Clock::now().secondsSince1970);
    auto& window = *countdown->window();
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(window.level(), platform::kFloatingWindowLevel);
    EXPECT_EQ(window.collectionBehavior() & 0x102u, 0x102u);
    EXPECT_TRUE(diagnosticsContain("auto-update countdown presented for build 170"));

    // Skipped: logged, and the same feed at the next launch shows nothing.
    onMain([&] { countdown->skipButton->performClick(); });
    EXPECT_EQ(delegate->updates.autoUpdateCountdownWindow, nullptr);
    EXPECT_TRUE(diagnosticsContain("auto-update skipped by user"));
    onMain([&] { delegate->checkForHostUpdateOnLaunch(); });
    awaitFetches(2);
    EXPECT_EQ(delegate->updates.autoUpdateCountdownWindow, nullptr);
    EXPECT_EQ(diagnosticsCount("auto-update countdown presented"), 1u);
}

TEST_F(HostUpdateChecks, NoUpdateForgetsTheAnnouncementAtLaunchButNotHourly) {
    enableAutoUpdate();
    feed = kSameFeed;
    defaults().set(kPromptedKey, PlistValue("150"));
    launch();
    awaitFetches(1);
    EXPECT_EQ(stored(kPromptedKey), std::nullopt);
    EXPECT_FALSE(defaults().objectForKey(kTimestampKey));

    defaults().set(kPromptedKey, PlistValue("150"));
    advance(3600);
    awaitFetches(2);
    EXPECT_EQ(stored(kPromptedKey), "150");
    EXPECT_DOUBLE_EQ(defaults().doubleForKey(kTimestampKey), platform::Clock::now().secondsSince1970);
    EXPECT_EQ(delegate->updates.autoUpdateCountdownWindow, nullptr);
}

TEST_F(HostUpdateChecks, TheHourlyGatesHoldInOrder) {
    struct Row {
        const char* name;
        std::function<void(HostUpdateState&)> close;
    };
    const Row rows[] = {
        {"countdown up",
         [](HostUpdateState& s) {
             s.autoUpdateCountdownWindow = HostAutoUpdateCountdownWindow::make("1", "1", "2", "2", 5);
         }},
        {"a progress window held, closed",
         [](HostUpdateState& s) {
             s.onlineUpdateProgressWindow = HostUpdateProgressWindow::make({"id", "1.7.0", "170"});
             s.onlineUpdateProgressWindow->window()->close();
         }},
        {"a flow running", [](HostUpdateState& s) { s.onlineUpdateRequestInProgress = true; }},
    };
    feed = kSameFeed;
    launch();
    enableAutoUpdate();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        onMain([&] {
            delegate->updates = {};
            row.close(delegate->updates);
            delegate->performHourlyUpdateCheck();
        });
        runUntilIdle();
        EXPECT_EQ(server.requestCount(), 0);
    }
    onMain([&] {
        delegate->updates.autoUpdateCountdownWindow.reset();
        delegate->updates.onlineUpdateProgressWindow.reset();
        delegate->updates.onlineUpdateRequestInProgress = false;
        delegate->performHourlyUpdateCheck();
    });
    awaitFetches(1);
}

TEST_F(HostUpdateChecks, AnUnreachableServiceIsReportedOnANewSummaryWindow) {
    launch();
    VelantrixReleaseChannels::setLatestReleaseFeedURLForTesting("http://127.0.0.1:9/feed");
    onMain([&] {
        delegate->summary.summaryWindow->close();
        delegate->summary.summaryWindow.reset();
    });
    requestUpdate();
    // The check has failed once the action is offered again; its alert
    // follows a moment later as a sheet.
    ASSERT_TRUE(runUntil([&] { return updateButton()->isEnabled; }));
    runUntilIdle();
    advance(sheetDelay);
    auto alert = shownAlert();
    ASSERT_NE(alert, nullptr);
    EXPECT_EQ(alert->messageText, "Unable to Check for Update");
    EXPECT_EQ(alert->buttonTitles(), std::vector<std::string>{"OK"});
    ASSERT_NE(summaryWindow(), nullptr);
    EXPECT_EQ(alert->window()->sheetParent(), summaryWindow());
    EXPECT_EQ(updateButton()->text, "Update Version");
    EXPECT_TRUE(updateButton()->isEnabled);
}

TEST_F(HostUpdateChecks, ASecondActionWhileOneRunsDoesNothing) {
    feed = kSameFeed;
    launch();
    requestUpdate();
    EXPECT_EQ(updateButton()->text, "Checking for Update…");
    EXPECT_FALSE(updateButton()->isEnabled);
    requestUpdate();
    awaitFetches(1);
    advance(sheetDelay);
    EXPECT_EQ(server.requestCount(), 1);
    auto alert = shownAlert();
    ASSERT_NE(alert, nullptr);
    EXPECT_EQ(alert->messageText, "Norvessal Host Is Up to Date");
    EXPECT_EQ(alert->informativeText, "V1.6.0 is already the latest version.");
    EXPECT_EQ(app().shownAlerts().size(), 1u);
    EXPECT_TRUE(updateButton()->isEnabled);
}

TEST_F(HostUpdateChecks, WithoutTheUpdaterTheDownloadPageIsOffered) {
    launch();
    requestUpdate();
    awaitFetches(1);
    advance(sheetDelay);
    auto alert = shownAlert();
    ASSERT_NE(alert, nullptr);
    EXPECT_EQ(alert->messageText, "Automatic Update Is Not Ready");
    EXPECT_EQ(alert->buttonTitles(), (std::vector<std::string>{"Open Download Page", "Cancel"}));
    onMain([&] { alert->pressButton(0); });
    auto opened = platform::SimulatedMachine::current().component<platform::SimulatedWorkspace>().openedURLs();
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_TRUE(opened[0].ends_with("/download")) << opened[0];
}

TEST_F(HostUpdateChecks, HandOversReplaceTheWindowWithoutCancelling) {
    installUpdater();
    launch();
    requestUpdate();
    awaitFetches(1);
    auto first = delegate->updates.onlineUpdateProgressWindow;
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->request().targetVersion, "1.7.0");
    EXPECT_EQ(first->request().targetBuild, "170");
    EXPECT_EQ(spoolFiles("request-").size(), 1u);
    EXPECT_TRUE(first->window()->isVisible());
    EXPECT_EQ(first->window()->level(), platform::kFloatingWindowLevel);
    EXPECT_TRUE(first->window()->isKeyWindow());
    EXPECT_EQ(app().shownAlerts().size(), 0u);

    requestUpdate();
    awaitFetches(2);
    auto second = delegate->updates.onlineUpdateProgressWindow;
    EXPECT_NE(second, first);
    EXPECT_FALSE(first->window()->isVisible());
    EXPECT_TRUE(second->window()->isVisible());
    EXPECT_EQ(spoolFiles("request-").size(), 2u);
    EXPECT_TRUE(spoolFiles("cancel-").empty());
}

TEST_F(HostUpdateChecks, ACountdownRunningOutDuringAFlowStartsNothing) {
    installUpdater();
    enableAutoUpdate();
    launch();
    awaitFetches(1);
    auto countdown = delegate->updates.autoUpdateCountdownWindow;
    ASSERT_NE(countdown, nullptr);
    onMain([&] { delegate->updates.onlineUpdateRequestInProgress = true; });
    advance(5);
    runUntilIdle();
    EXPECT_TRUE(countdown->didTriggerUpdate());
    EXPECT_FALSE(countdown->window()->isVisible());
    EXPECT_EQ(delegate->updates.autoUpdateCountdownWindow, nullptr);
    EXPECT_EQ(server.requestCount(), 1);
    EXPECT_TRUE(spoolFiles("request-").empty());

    // Without a flow running, the trigger hands the install over.
    onMain([&] {
        delegate->updates.onlineUpdateRequestInProgress = false;
        delegate->presentAutoUpdateCountdownWindow({"1.7.0", "170"});
    });
    advance(5);
    awaitFetches(2);
    EXPECT_EQ(spoolFiles("request-").size(), 1u);
    EXPECT_NE(delegate->updates.onlineUpdateProgressWindow, nullptr);
}

TEST_F(HostUpdateChecks, TheToggleWritesThePreferenceAndTicksBothItems) {
    launch();
    std::shared_ptr<platform::MenuItem> mainItem, statusItem;
    onMain([&] {
        mainItem = delegate->menus.autoUpdateMenuItem.lock();
        statusItem = delegate->menus.statusAutoUpdateMenuItem.lock();
    });
    ASSERT_TRUE(mainItem && statusItem) << "both menus hold the item";
    ASSERT_NE(mainItem, statusItem);
    using platform::ControlStateValue;
    const struct {
        platform::MenuItem* sender;
        ControlStateValue state;
        bool enabled;
        const char* log;
    } steps[] = {
        {statusItem.get(), ControlStateValue::on, true, "auto-update preference set to enabled"},
        {mainItem.get(), ControlStateValue::off, false, "auto-update preference set to disabled"},
    };
    for (const auto& step : steps) {
        onMain([&] { delegate->toggleAutoUpdateMenuAction(*step.sender); });
        EXPECT_EQ(defaults().boolForKey("host.autoUpdate.enabled"), step.enabled);
        EXPECT_EQ(mainItem->state, step.state);
        EXPECT_EQ(statusItem->state, step.state);
        EXPECT_TRUE(diagnosticsContain(step.log));
    }
}

TEST_F(HostUpdateChecks, AnUnattendedUpgradeLaunchChecksOnlyHourly) {
    enableAutoUpdate();
    launch({.unattendedUpgrade = true});
    runUntilIdle();
    EXPECT_EQ(server.requestCount(), 0);
    EXPECT_FALSE(diagnosticsContain("host updated to build"));
    ASSERT_NE(delegate->updates.hourlyUpdateTimer, nullptr);
    advance(3600);
    awaitFetches(1);
    EXPECT_NE(delegate->updates.autoUpdateCountdownWindow, nullptr);
}

}  // namespace
