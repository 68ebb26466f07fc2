// Starting the Host at login: the default applied per build, the user's
// wish, the cached status and its invalidation, and failures.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "HostApp/Shell/HostLaunchAtLogin.h"
#include "HostApp/Shell/HostVersionStrings.h"
#include "Platform/SimulatedMac/ServiceManagement.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"
#include "Platform/Foundation/UserDefaults.h"
#include "Support/TestSupport.h"

using namespace platform;

namespace {

class LaunchAtLoginTest : public VirtualTimeTest {
protected:
    LaunchAtLoginTest() { HostLaunchAtLogin::resetCacheForTesting(); }

    std::string configureDefault() {
        std::optional<std::string> text;
        HostLaunchAtLogin::configureDefaultIfNeeded([&](const std::string& t) { text = t; });
        runUntilIdle();
        return text.value_or("<no completion>");
    }
    static bool registered() { return std::filesystem::exists(AppService::entryPath()); }
    static void writeEntry(const std::string& text) {
        std::filesystem::create_directories(AppService::entryPath().parent_path());
        std::ofstream(AppService::entryPath()) << text;
    }
    UserDefaults& defaults = UserDefaults::standard();
    SimulatedLoginItem& item = SimulatedMachine::current().component<SimulatedLoginItem>();
};

TEST_F(LaunchAtLoginTest, DefaultIsAppliedOncePerBuildAndKeepsTheWishOtherwise) {
    struct Case {
        const char* name;
        bool configured;
        std::optional<std::string> lastBuild;  // "current" stands for this build
        bool desired;
        bool entryPresent;
        const char* text;
        bool registeredAfter;
        int registerCalls;
    };
    const Case cases[] = {
        {"first run", false, std::nullopt, false, false, "Start at login enabled", true, 1},
        {"new build after the user turned it off", true, "1", false, false, "Start at login enabled", true, 1},
        {"same build, off", true, "current", false, false, "Start at login is disabled", false, 0},
        {"same build, on, item removed", true, "current", true, false, "Start at login enabled", true, 1},
        {"same build, on, item in place", true, "current", true, true, "Start at login is enabled", true, 0},
    };
    for (const auto& c : cases) {
        SimulatedMachine::install(std::make_shared<SimulatedMachine>());
        HostLaunchAtLogin::resetCacheForTesting();
        std::filesystem::remove(AppService::entryPath());
        if (c.entryPresent) writeEntry("[Desktop Entry]\nExec=/opt/host\n");
        defaults.removeObject("host.launchAtLogin.configured");
        defaults.removeObject("host.launchAtLogin.lastBuild");
        if (c.configured) defaults.set("host.launchAtLogin.configured", PlistValue(true));
        if (c.lastBuild)
            defaults.set("host.launchAtLogin.lastBuild",
                         PlistValue(*c.lastBuild == "current" ? hostBundleVersionString() : *c.lastBuild));
        defaults.set("host.launchAtLogin.desired", PlistValue(c.desired));

        auto& controls = SimulatedMachine::current().component<SimulatedLoginItem>();
        EXPECT_EQ(configureDefault(), c.text) << c.name;
        EXPECT_EQ(registered(), c.registeredAfter) << c.name;
        EXPECT_EQ(controls.registerCount(), c.registerCalls) << c.name;
        EXPECT_TRUE(defaults.boolForKey("host.launchAtLogin.configured")) << c.name;
        EXPECT_EQ(defaults.stringForKey("host.launchAtLogin.lastBuild"), hostBundleVersionString()) << c.name;
        EXPECT_EQ(defaults.boolForKey("host.launchAtLogin.desired"), c.desired || c.lastBuild != "current")
            << c.name;
    }
}

TEST_F(LaunchAtLoginTest, EnablingWhatIsEnabledRegistersNothingAndDisablingAlwaysUnregisters) {
    EXPECT_EQ(HostLaunchAtLogin::setEnabled(true), "Start at login enabled");
    EXPECT_EQ(HostLaunchAtLogin::setEnabled(true), "Start at login enabled");
    EXPECT_EQ(item.registerCount(), 1);
    EXPECT_EQ(HostLaunchAtLogin::setEnabled(false), "Start at login disabled");
    EXPECT_EQ(HostLaunchAtLogin::setEnabled(false), "Start at login disabled");
    EXPECT_EQ(item.unregisterCount(), 2);
    EXPECT_FALSE(defaults.boolForKey("host.launchAtLogin.desired"));
}

TEST_F(LaunchAtLoginTest, StatusIsReadOncePer5SecondsUnlessItChanges) {
    EXPECT_EQ(HostLaunchAtLogin::statusText(), "Start at login is disabled");
    advance(4.9);
    EXPECT_EQ(HostLaunchAtLogin::statusText(), "Start at login is disabled");
    EXPECT_EQ(item.statusReadCount(), 1);
    advance(0.1);
    HostLaunchAtLogin::statusText();
    EXPECT_EQ(item.statusReadCount(), 2) << "expired after 5 s";

    ASSERT_TRUE(AppService::mainApp().registerService());  // a change made elsewhere
    EXPECT_EQ(HostLaunchAtLogin::statusText(), "Start at login is enabled");
    EXPECT_EQ(item.statusReadCount(), 3);

    const std::pair<const char*, const char*> entries[] = {
        {"[Desktop Entry]\nHidden=true\n", "Start at login is waiting for approval in System Settings"},
        {"[Desktop Entry]\nExec=/opt/host\n", "Start at login is enabled"},
    };
    for (const auto& [entry, text] : entries) {
        writeEntry(entry);
        advance(5.0);
        EXPECT_EQ(HostLaunchAtLogin::statusText(), text);
    }
}

TEST_F(LaunchAtLoginTest, AChangeNoticedInsideAStatusReadDoesNotDeadlock) {
    HostLaunchAtLogin::statusText();
    advance(5.0);
    // The desktop's settings turned the entry off: the next read notices the
    // change and tells the observer on the reading thread, inside the read.
    writeEntry("[Desktop Entry]\nX-GNOME-Autostart-enabled=false\n");
    // On a thread of its own, so that a deadlock fails the test instead of
    // hanging it.
    auto promise = std::make_shared<std::promise<std::string>>();
    auto read = promise->get_future();
    std::thread([promise] { promise->set_value(HostLaunchAtLogin::statusText()); }).detach();
    ASSERT_EQ(read.wait_for(std::chrono::seconds(30)), std::future_status::ready) << "deadlocked";
    EXPECT_EQ(read.get(), "Start at login is waiting for approval in System Settings");
    EXPECT_EQ(HostLaunchAtLogin::statusText(), "Start at login is waiting for approval in System Settings");
}

TEST_F(LaunchAtLoginTest, AFailedUpdateIsReportedAndTheWishIsKept) {
    item.setRegisterFailure("Operation not permitted");
    EXPECT_EQ(HostLaunchAtLogin::setEnabled(true), "Start at login update failed: Operation not permitted");
    EXPECT_TRUE(defaults.boolForKey("host.launchAtLogin.desired"));
    EXPECT_FALSE(registered());
    item.setRegisterFailure(std::nullopt);
    defaults.set("host.launchAtLogin.configured", PlistValue(true));
    defaults.set("host.launchAtLogin.lastBuild", PlistValue(hostBundleVersionString()));
    EXPECT_EQ(configureDefault(), "Start at login enabled") << "the next launch tries again";
    EXPECT_TRUE(registered());
}

}  // namespace
