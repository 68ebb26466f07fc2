// The update progress window played against a scripted updater (status
// files written by the test), and the auto-update countdown, in virtual
// time.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "HostApp/Updates/HostAutoUpdateCountdownWindow.h"
#include "HostApp/Updates/HostUpdateProgressWindow.h"
#include "Platform/Foundation/PropertyList.h"
#include "Support/TestSupport.h"

using platform::PlistValue;
using State = HostOnlineUpdateRequest::Status::State;
namespace fs = std::filesystem;

namespace {

const std::string kFailed = "The system updater could not complete this update.";
const std::string kWaiting = "Waiting for the system updater service…";

class UpdateProgressWindow : public VirtualTimeTest {
protected:
    UpdateProgressWindow() {
        fs::create_directories(HostOnlineUpdateRequest::requestDirectoryURL());
        fs::create_directories(HostOnlineUpdateRequest::requestServicePlistURL().parent_path());
        std::ofstream(HostOnlineUpdateRequest::requestServicePlistURL()) << "<plist/>";
        request = *HostOnlineUpdateRequest::requestImmediateCheck("1.7.0", "170");
    }
    ~UpdateProgressWindow() override {
        window.reset();
        runUntilIdle();
    }

    void open() {
        onMain([&] {
            window = HostUpdateProgressWindow::make(request);
            window->window()->makeKeyAndOrderFront();
        });
    }
    // The updater writes its status file.
    void writeStatus(State state, PlistValue::Dictionary extra = {}, const std::string& id = "") {
        extra.emplace("requestID", id.empty() ? request.identifier : id);
        extra.emplace("state", std::string(HostOnlineUpdateRequest::Status::rawValue(state)));
        auto bytes = platform::PropertyList::writeXML(PlistValue(extra));
        std::ofstream(HostOnlineUpdateRequest::statusURL(), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    size_t cancelFiles() const {
        size_t n = 0;
        for (const auto& entry : fs::directory_iterator(HostOnlineUpdateRequest::requestDirectoryURL()))
            n += entry.path().filename().string().rfind("cancel-", 0) == 0;
        return n;
    }
    static void onMain(const std::function<void()>& work) { platform::DispatchQueue::main().sync(work); }
    bool visible() const { return window->window()->isVisible(); }

    HostOnlineUpdateRequest::Request request;
    std::shared_ptr<HostUpdateProgressWindow> window;
};

TEST_F(UpdateProgressWindow, EachStateHasItsSentenceButtonAndEnding) {
    const PlistValue::Dictionary verified = {{"targetVersion", "1.7.0"}, {"targetBuild", "170"},
                                             {"installedVersion", "1.7.0"}, {"installedBuild", "170"}};
    struct Row {
        State state;
        PlistValue::Dictionary extra;
        std::string text;
        std::string button;  // empty: hidden
        bool closes;
    };
    const Row rows[] = {
        {State::queued, {}, kWaiting, "Cancel", false},
        {State::checking, {}, kWaiting, "Cancel", false},
        {State::downloading, {}, "Downloading update…", "Cancel", false},
        {State::verifying, {}, "Verifying update…", "Cancel", false},
        {State::installing, {}, "Installing update…", "Close", false},
        {State::restarting, {}, "Restarting Host…", "Close", false},
        {State::completed, verified, "Installed version verified. Restarting Host…", "", true},
        // Not verified: the target build is missing.
        {State::completed, {{"targetVersion", "1.7.0"}, {"installedVersion", "1.7.0"}}, kFailed, "Cancel", false},
        {State::noUpdate, {}, "Norvessal Host Is Up to Date", "", true},
        {State::deferred, {}, "A recent installation is still in its safety cooldown.", "", true},
        {State::cancelled, {}, "Update cancelled.", "", true},
        {State::failed, {{"failureReason", "manifest-url-rejected"}},
         "This Host version does not support the update download address.", "", true},
        {State::failed, {{"failureReason", "manifest-download-failed"}},
         "Norvessal Host could not reach the update service. It will try again automatically.", "", true},
        {State::failed, {{"failureReason", "package-download-failed"}},
         "Norvessal Host could not reach the update service. It will try again automatically.", "", true},
        {State::failed, {{"failureReason", "disk-full"}}, kFailed, "", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(HostOnlineUpdateRequest::Status::rawValue(row.state)) + " " + row.text);
        writeStatus(row.state, row.extra);
        open();
        EXPECT_EQ(window->statusLabel->text, row.text);
        EXPECT_EQ(window->titleLabel->text, "Updating to V1.7.0");
        EXPECT_EQ(window->progressBar->isAnimating, row.state < State::completed);
        EXPECT_EQ(window->cancelButton->isHidden, row.button.empty());
        if (!row.button.empty()) {
            EXPECT_EQ(window->cancelButton->text, row.button);
        }
        advance(4.9);
        EXPECT_TRUE(visible());
        advance(0.2);
        EXPECT_EQ(visible(), !row.closes);
        EXPECT_EQ(cancelFiles(), 0u);
        onMain([&] { window->window()->close(); });
    }
}

TEST_F(UpdateProgressWindow, AnEndingIsHandledOnceAndAClosedWindowPollsNoMore) {
    open();
    writeStatus(State::completed, {{"targetVersion", "1.8.0"}, {"targetBuild", "180"},
                                   {"installedVersion", "1.8.0"}, {"installedBuild", "180"}});
    advance(0.5);
    EXPECT_EQ(window->titleLabel->text, "Updating to V1.8.0");
    advance(5.0);
    EXPECT_FALSE(visible());
    // Shown again: no second close was queued by later polls, and the
    // status file is read no more.
    onMain([&] { window->window()->makeKeyAndOrderFront(); });
    writeStatus(State::downloading);
    advance(12);
    EXPECT_TRUE(visible());
    EXPECT_EQ(window->statusLabel->text, "Installed version verified. Restarting Host…");
}

TEST_F(UpdateProgressWindow, ThirtySilentSecondsAreWaitedOutThenTheRequestCountsAsLost) {
    open();
    writeStatus(State::downloading, {}, "00000000-0000-0000-0000-000000000000");  // another request
    advance(30.0);
    EXPECT_EQ(window->statusLabel->text, kWaiting);
    EXPECT_TRUE(window->progressBar->isAnimating);
    advance(0.5);
    EXPECT_EQ(window->statusLabel->text, kFailed);
    EXPECT_FALSE(window->progressBar->isAnimating);
    EXPECT_TRUE(window->cancelButton->isHidden);
    advance(4.9);
    EXPECT_TRUE(visible());
    advance(0.2);
    EXPECT_FALSE(visible());
}

TEST_F(UpdateProgressWindow, AStatusStoppingAfterTheFirstNeverTimesOut) {
    open();
    writeStatus(State::downloading);
    advance(0.5);
    fs::remove(HostOnlineUpdateRequest::statusURL());
    advance(120);
    EXPECT_EQ(window->statusLabel->text, "Downloading update…");
    EXPECT_TRUE(visible());
}

TEST_F(UpdateProgressWindow, CancelWritesOneFileWhileItStillMakesSense) {
    struct Row {
        const char* name;
        State state;
        std::function<void(HostUpdateProgressWindow&)> act;
        size_t cancelFiles;
        bool visibleAfter;
    };
    auto press = [](HostUpdateProgressWindow& w) { w.cancelButton->performClick(); };
    const Row rows[] = {
        {"button once while downloading", State::downloading, press, 1, true},
        {"button twice while downloading", State::downloading, [&](auto& w) { press(w); press(w); }, 1, false},
        {"close box while downloading", State::downloading, [](auto& w) { w.window()->performClose(); }, 1, false},
        {"close box while installing", State::installing, [](auto& w) { w.window()->performClose(); }, 0, false},
        {"button while installing", State::installing, press, 0, false},
        {"quit while downloading", State::downloading, [](auto&) { platform::Application::shared().terminate(); }, 0,
         false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        for (const auto& entry : fs::directory_iterator(HostOnlineUpdateRequest::requestDirectoryURL()))
            if (entry.path().filename().string().rfind("cancel-", 0) == 0) fs::remove(entry.path());
        writeStatus(row.state);
        open();
        onMain([&] { row.act(*window); });
        EXPECT_EQ(cancelFiles(), row.cancelFiles);
        EXPECT_EQ(visible(), row.visibleAfter);
        if (row.visibleAfter) {
            EXPECT_EQ(window->statusLabel->text, "Cancelling update…");
            EXPECT_EQ(window->cancelButton->text, "Close");
        }
        onMain([&] { window->window()->close(); });
    }
}

TEST_F(UpdateProgressWindow, ACancelThatCannotBeWrittenLeavesTheRequestRunning) {
    writeStatus(State::downloading);
    open();
    fs::remove_all(HostOnlineUpdateRequest::requestDirectoryURL());
    onMain([&] { window->cancelButton->performClick(); });
    EXPECT_EQ(window->statusLabel->text, kFailed);
    EXPECT_EQ(window->cancelButton->text, "Cancel");
    EXPECT_FALSE(window->cancellationRequested());
    EXPECT_TRUE(visible());
}

// ------------------------------------------------------------------ countdown

class CountdownWindow : public VirtualTimeTest {
protected:
    ~CountdownWindow() override {
        window.reset();
        runUntilIdle();
    }
    void open(int seconds = 5) {
        onMain([&] {
            window = HostAutoUpdateCountdownWindow::make("1.6.0", "160", "1.7.0", "170", seconds);
            window->onUpdateTriggered = [this] { events.push_back("triggered"); };
            window->onSkipped = [this] { events.push_back("skipped"); };
            window->onWindowClosed = [this] { events.push_back("closed"); };
            window->window()->makeKeyAndOrderFront();
        });
    }
    static void onMain(const std::function<void()>& work) { platform::DispatchQueue::main().sync(work); }

    std::shared_ptr<HostAutoUpdateCountdownWindow> window;
    std::vector<std::string> events;
};

TEST_F(CountdownWindow, CountsDownFromFiveAndStartsTheUpdateOnce) {
    open();
    EXPECT_EQ(window->titleLabel->text, "Norvessal Host V1.7.0 Available");
    EXPECT_TRUE(window->window()->contentView->findByText(
        "You're using V1.6.0. The update will be installed automatically."));
    for (int expected = 5; expected >= 1; --expected) {
        EXPECT_EQ(window->statusLabel->text, "Starting update in " + std::to_string(expected) + " seconds…");
        EXPECT_EQ(window->progressBar->doubleValue, expected);
        EXPECT_TRUE(events.empty());
        advance(expected == 1 ? 0.5 : 1.0);
    }
    EXPECT_TRUE(events.empty());
    advance(0.5);
    EXPECT_EQ(window->statusLabel->text, "Starting update…");
    EXPECT_FALSE(window->skipButton->isEnabled);
    EXPECT_FALSE(window->updateButton->isEnabled);
    advance(10);
    EXPECT_EQ(events, std::vector<std::string>{"triggered"});
    EXPECT_TRUE(window->window()->isVisible());
}

TEST_F(CountdownWindow, EachWayOutReportsItsOwnCallbacks) {
    struct Row {
        const char* name;
        double after;
        std::function<void(HostAutoUpdateCountdownWindow&)> act;
        std::vector<std::string> events;
    };
    const Row rows[] = {
        {"update now", 1.5, [](auto& w) { w.updateButton->performClick(); }, {"triggered"}},
        {"return", 1.5, [](auto& w) { w.window()->performKeyEquivalent("\r"); }, {"triggered"}},
        {"skip", 1.5, [](auto& w) { w.skipButton->performClick(); }, {"skipped", "closed"}},
        {"close box", 1.5, [](auto& w) { w.window()->performClose(); }, {"closed"}},
        {"close box after the trigger", 5.5, [](auto& w) { w.window()->performClose(); }, {"triggered"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        events.clear();
        open();
        advance(row.after);
        onMain([&] { row.act(*window); });
        const int remaining = window->remainingSeconds();
        const std::string status = window->statusLabel->text;
        advance(10);
        EXPECT_EQ(events, row.events);
        // Nothing ticks once the window was answered.
        EXPECT_EQ(window->remainingSeconds(), remaining);
        EXPECT_EQ(window->statusLabel->text, status);
        if (row.events.front() == "triggered") {
            EXPECT_EQ(window->progressBar->doubleValue, 0);
            EXPECT_EQ(status, "Starting update…");
        }
        onMain([&] { window->window()->close(); });
    }
}

TEST_F(CountdownWindow, AZeroCountdownStillWaitsOneSecond) {
    open(0);
    advance(0.5);
    EXPECT_TRUE(events.empty());
    advance(0.5);
    EXPECT_EQ(events, std::vector<std::string>{"triggered"});
    EXPECT_EQ(window->statusLabel->text, "Starting update…");
}

TEST_F(CountdownWindow, AnOwnerDroppingTheWindowFromTheTriggerIsSafe) {
    open(1);
    window->onUpdateTriggered = [this] {
        events.push_back("triggered");
        window->window()->close();
        window.reset();
    };
    advance(3);
    EXPECT_EQ(events, std::vector<std::string>{"triggered"});
    EXPECT_EQ(window, nullptr);
}

}  // namespace
