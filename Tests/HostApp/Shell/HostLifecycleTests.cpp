// Launch modes, the normal start, reopen, sleep and wake, and quitting.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <fstream>

#include "HostShellTestFixture.h"
#include "HostApp/Input/HostInputSourceKind.h"
#include "Platform/Files/Folders.h"
#include "Platform/Network/Network.h"
#include "Platform/SimulatedMac/TextInputSources.h"
#include "Platform/Foundation/UserDefaults.h"
#include "Platform/AppKit/Workspace.h"

using namespace platform;

namespace {

bool cachedCJK() {
    std::lock_guard<std::mutex> g(HostInputSourceKind::lock);
    return HostInputSourceKind::cachedCJKInputMethod;
}

TEST_F(HostShellTest, PlainLaunchStartsNormalModeWithTheSummaryWindowInFront) {
    launch();
    auto& events = AppleEventManager::shared();
    EXPECT_TRUE(events.hasEventHandler(kCoreEventClass, kAEQuitApplication));
    EXPECT_TRUE(events.hasEventHandler(kInternetEventClass, kAEGetURL));
    EXPECT_TRUE(delegate->lifecycle.hostNormalModeStarted);
    EXPECT_TRUE(diagnosticsContain("build marker: V"));
    EXPECT_TRUE(diagnosticsContain("aux: aux: server started"));
    EXPECT_EQ(app().servicesProvider(), delegate);

    auto window = summaryWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isKeyWindow());
    EXPECT_TRUE(window->isInFrontOfOtherApplications());
    EXPECT_EQ(window->level(), kFloatingWindowLevel);
    EXPECT_EQ(window->collectionBehavior(), kWindowMoveToActiveSpace | kWindowFullScreenAuxiliary);
    EXPECT_FALSE(window->hidesOnDeactivate);

    auto viewer = loggedInViewer();
    advance(4.9);
    EXPECT_TRUE(window->isVisible());
    advance(0.1);
    EXPECT_FALSE(window->isVisible()) << "closed by itself 5 s after the launch";
    EXPECT_FALSE(app().isTerminated());
    EXPECT_FALSE(viewer->isClosed());
}

TEST_F(HostShellTest, ShowHostStatusBeforeTheAutoCloseKeepsTheWindowOpen) {
    launch();
    advance(3);
    onMain([&] { delegate->showSummaryWindowAction(HostActionSender::menuItem); });
    advance(10);
    EXPECT_TRUE(summaryWindow()->isVisible());
    EXPECT_TRUE(diagnosticsContain("ui: show Host status requested source=menu"));
}

TEST_F(HostShellTest, ClosedSummaryWindowLeavesTheHostRunningAndADockClickBringsItBack) {
    launch();
    onMain([&] { summaryWindow()->close(); });
    runUntilIdle();
    EXPECT_FALSE(app().isTerminated());
    app().simulateDockClickForTesting();
    runUntilIdle();
    EXPECT_TRUE(summaryWindow()->isVisible());
    EXPECT_TRUE(summaryWindow()->isInFrontOfOtherApplications());
    EXPECT_EQ(delegate->summary.summaryAutoCloseWorkItem, nullptr) << "a reopen cancels the pending auto-close";
    advance(10);
    EXPECT_TRUE(summaryWindow()->isVisible());
}

TEST_F(HostShellTest, CJKInputSourceIsCachedOnChangeAndByTheRefreshTimer) {
    launch();
    EXPECT_FALSE(cachedCJK());
    auto& sources = SimulatedMachine::current().component<SimulatedInputSources>();
    sources.setCurrent(TISInputSource{"com.apple.inputmethod.Kotoeri", PlistValue(PlistValue::Array{PlistValue("ja")})});
    runUntilIdle();
    EXPECT_TRUE(cachedCJK()) << "the change notification probes at once";
    HostInputSourceKind::storeCachedCJKInputMethod(false);
    advance(2.0);
    EXPECT_TRUE(cachedCJK()) << "the 2 s refresh probes again";
}

struct LaunchModeCase {
    const char* name;
    HostLaunchFlags flags;
    bool accessibility;
    bool normalMode;
    bool summaryShown;
    std::vector<const char*> logLines;
};

TEST_F(HostShellTest, LaunchFlagsAndGrantsChooseTheMode) {
    const LaunchModeCase cases[] = {
        {"initial install, both grants", {false, true}, true, true, true,
         {"permissions: both grants already active — auto-completing onboarding (headless-safe)",
          "permissions: closing Installer app (guide closed)"}},
        {"unattended upgrade", {true, false}, true, true, false,
         {"upgrade: unattended installer relaunch",
          "permissions: deferred interactive prompts for unattended upgrade launch"}},
        {"initial install, no Accessibility", {false, true}, false, false, false,
         {"permissions: setup mode — permission guide only",
          "permissions: no onboarding pending; skipping first-run prompts"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SimulatedMachine::install(std::make_shared<SimulatedMachine>());
        auto& workspace = SimulatedMachine::current().component<SimulatedWorkspace>();
        workspace.addApplication({4242, "com.apple.installer", "Installer"});
        SimulatedMachine::current().setPermission(Permission::accessibility, c.accessibility);
        launch(c.flags);
        EXPECT_EQ(delegate->lifecycle.hostNormalModeStarted, c.normalMode);
        EXPECT_EQ(delegate->audioServer() != nullptr, c.normalMode);
        EXPECT_EQ(summaryWindow() != nullptr, c.summaryShown);
        EXPECT_EQ(AppleEventManager::shared().hasEventHandler(kCoreEventClass, kAEQuitApplication), c.normalMode);
        EXPECT_TRUE(AppleEventManager::shared().hasEventHandler(kInternetEventClass, kAEGetURL));
        for (auto line : c.logLines) EXPECT_TRUE(diagnosticsContain(line)) << line;
        const bool installerAsked = c.flags.initialInstall && c.accessibility;
        EXPECT_EQ(workspace.terminateRequests(), installerAsked ? std::vector<int32_t>{4242} : std::vector<int32_t>{});
        onMain([&] { delegate->handleTerminationSignal(15); });
        runUntilIdle();
    }
}

// Another Host holds the data root: its staged batches wait there for a save
// location, and nothing of this process may remove them.
TEST_F(HostShellTest, StagingOfEarlierRunsStaysWhileAnotherProcessHoldsTheDataRoot) {
    const auto lockFile = HostProbeDelegate::hostLockFileURL();
    std::filesystem::create_directories(lockFile.parent_path());
    const int otherHost = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(otherHost, 0);
    ASSERT_EQ(::flock(otherHost, LOCK_EX | LOCK_NB), 0);
    const auto staged = Folders::caches() / "VelantrixFileInbox" / "Viewer" / "1796464807-ABCDEF12" / "waiting.txt";
    std::filesystem::create_directories(staged.parent_path());
    std::ofstream(staged) << "waiting";
    launch();
    runUntilIdle();
    EXPECT_TRUE(std::filesystem::exists(staged));
    EXPECT_TRUE(diagnosticsContain("files: staging of earlier runs kept"));
    ::close(otherHost);
}

TEST_F(HostShellTest, SleepAndWakeAreLoggedAndReachTheServerWhileViewersStayConnected) {
    launch();
    auto viewer = loggedInViewer();
    struct Case {
        std::function<void()> change;
        const char* logLine;
        const char* serverLine;
    };
    auto& machine = SimulatedMachine::current();
    const Case cases[] = {
        {[&] { machine.setAsleep(true); }, "power: system will sleep; keeping Host Aux viewer sessions connected",
         "power: system will sleep; keeping viewer sessions connected"},
        {[&] { machine.setScreensAsleep(true); }, "power: screens did sleep; keeping Host Aux viewer sessions connected",
         "power: screens did sleep; keeping viewer sessions connected"},
        {[&] { machine.setAsleep(false); }, "power: system did wake",
         "power: system did wake; waiting 4.0s for WindowServer"},
        // Absorbed by the server: the first wake already rebuilds.
        {[&] { machine.setScreensAsleep(false); }, "power: screens did wake", "power: system did wake; waiting 4.0s"},
    };
    // The server's own lines reach the diagnostics too, and begin alike.
    auto delegateLines = [&](const std::string& text) {
        size_t n = 0;
        for (const auto& entry : delegate->components.diagnosticLog->entries())
            n += entry.text.size() > 13 && entry.text.substr(13) == text;  // after "HH:mm:ss.SSS "
        return n;
    };
    for (const auto& c : cases) {
        c.change();
        runUntilIdle();
        EXPECT_EQ(delegateLines(c.logLine), 1u) << c.logLine;
        EXPECT_EQ(log->count(c.serverLine), 1u) << c.serverLine;
    }
    viewer->settle();
    EXPECT_FALSE(viewer->isClosed());
}

TEST_F(HostShellTest, UnreachableControlPortsEndTheHostWithStatusOne) {
    auto blocker = TcpListener::listen(0, TcpListenerOptions{.bindAddress = "127.0.0.1"});
    ASSERT_TRUE(blocker.ok());
    auto config = serverConfiguration();
    config.videoPort = (*blocker)->port();
    launch({}, config);
    EXPECT_TRUE(logContains("host: cannot serve Viewers"));
    EXPECT_TRUE(app().isTerminated());
    EXPECT_EQ(app().exitStatus(), 1);
    EXPECT_EQ(summaryWindow(), nullptr) << "a Host nobody can reach must not say it is running";
    EXPECT_TRUE(app().shownAlerts().empty());
}

// --- Quitting ---------------------------------------------------------------------

class HostQuitTest : public HostShellTest {
protected:
    // A foreground sheet begins this long after its window came forward.
    static constexpr double sheetDelay = 0.15;

    void SetUp() override { launch(); }
    std::shared_ptr<Alert> quitSheet() {
        auto alerts = app().shownAlerts();
        return alerts.size() == 1 ? alerts.front() : nullptr;
    }
    void quitFromInstaller() {
        AppleEventManager::shared().deliverFromOutside({kCoreEventClass, kAEQuitApplication, std::nullopt});
    }
    // An alert of another flow, up on the summary window with nobody
    // answering it.
    std::shared_ptr<Alert> unrelatedSheet() {
        auto alert = Alert::make();
        alert->messageText = "Norvessal Host Is Up to Date";
        alert->addButton("OK");
        onMain([&] { delegate->presentHostAlertSheet(alert, [](ModalResponse) {}); });
        advance(sheetDelay);
        EXPECT_EQ(summaryWindow()->attachedSheet(), alert->window());
        return alert;
    }
};

TEST_F(HostQuitTest, QuitAsksOnceAndKeepRunningCancels) {
    onMain([&] { delegate->requestQuitMenuAction(HostActionSender::menuItem); });
    onMain([&] { app().terminate(); });
    advance(sheetDelay);
    auto sheet = quitSheet();
    ASSERT_NE(sheet, nullptr) << "one sheet even after a second request";
    EXPECT_EQ(sheet->messageText, "Quit Norvessal Host?");
    EXPECT_EQ(sheet->informativeText,
              "After quitting, Viewer will not be able to connect to this Host device until Norvessal Host is opened "
              "again.");
    EXPECT_EQ(sheet->buttonTitles(), (std::vector<std::string>{"Quit Host", "Keep Running"}));
    EXPECT_EQ(sheet->window()->sheetParent(), summaryWindow());
    EXPECT_TRUE(sheet->window()->isInFrontOfOtherApplications());
    EXPECT_EQ(sheet->window()->level(), kModalPanelWindowLevel);

    onMain([&] { sheet->pressButton(1); });
    EXPECT_FALSE(app().isTerminated());
    EXPECT_FALSE(app().isAwaitingTerminateReply());
    EXPECT_FALSE(delegate->lifecycle.terminationConfirmationInProgress);
    onMain([&] { app().terminate(); });
    advance(sheetDelay);
    EXPECT_NE(quitSheet(), nullptr) << "asked again after Keep Running";
}

TEST_F(HostQuitTest, QuitHostTearsDownInOrder) {
    auto viewer = loggedInViewer();
    onMain([&] { app().terminate(); });
    advance(sheetDelay);
    ASSERT_NE(quitSheet(), nullptr);
    onMain([&] { quitSheet()->pressButton(0); });
    EXPECT_TRUE(app().isTerminated());
    EXPECT_EQ(delegate->lifecycle.timer, nullptr);
    EXPECT_TRUE(delegate->lifecycle.workspacePowerObservers.empty());
    EXPECT_FALSE(delegate->lifecycle.languageObserver || delegate->lifecycle.inputSourceObserver);
    EXPECT_EQ(delegate->audioServer(), nullptr);
    // The server's tear-down runs on its own queue, after the main thread
    // has moved on; the process waits for it once its run loop has ended.
    EXPECT_TRUE(delegate->waitForServerStopAfterRunLoop(10));
    EXPECT_TRUE(logContains("aux: server stopped"));
    EXPECT_TRUE(viewer->waitClosed());
}

TEST_F(HostQuitTest, QuitWhileTheServerQueueIsBusyNeverHoldsTheMainQueue) {
    auto viewer = loggedInViewer();
    auto server = delegate->audioServer();
    // As a display mode switch holds the server queue, 3 s per candidate.
    bool switched = false;
    server->queue.async([&] {
        platform::sleepFor(3);
        switched = true;
    });
    const uint64_t start = platform::Clock::uptimeNs();
    DispatchQueue::main().resetLongestWorkItemForTesting();
    onMain([&] { delegate->handleTerminationSignal(15); });
    EXPECT_TRUE(app().isTerminated());
    EXPECT_FALSE(switched);
    EXPECT_FALSE(logContains("aux: server stopped"));
    EXPECT_LT(DispatchQueue::main().longestWorkItemSecondsForTesting(), 0.25);

    EXPECT_TRUE(delegate->waitForServerStopAfterRunLoop(10));
    EXPECT_TRUE(switched);
    EXPECT_TRUE(logContains("aux: server stopped"));
    EXPECT_LT(platform::Clock::uptimeNs() - start, 3'500'000'000u);
    EXPECT_TRUE(viewer->waitClosed());
}

TEST_F(HostQuitTest, InstallersQuitConfirmsItselfAfterFiveSeconds) {
    quitFromInstaller();
    advance(sheetDelay);
    EXPECT_TRUE(diagnosticsContain("quit: external quit request (installer/updater)"));
    auto sheet = quitSheet();
    ASSERT_NE(sheet, nullptr);
    EXPECT_NE(sheet->informativeText.find("\n\nThe installer is restarting Norvessal Host. Without any action the Host "
                                          "quits and reopens automatically in 5 seconds."),
              std::string::npos);
    advance(4.9 - sheetDelay);
    EXPECT_TRUE(sheet->isShown());
    advance(0.1);
    EXPECT_TRUE(app().isTerminated());
    EXPECT_TRUE(diagnosticsContain("quit: auto-confirmed the external quit request"));
}

TEST_F(HostQuitTest, InstallersQuitDuringTheUsersQuitSheetAlsoConfirmsItself) {
    onMain([&] { app().terminate(); });
    advance(sheetDelay);
    auto sheet = quitSheet();
    ASSERT_NE(sheet, nullptr);
    advance(1);
    AppleEventManager::shared().deliverFromOutside({kCoreEventClass, kAEQuitApplication, std::nullopt});
    runUntilIdle();
    EXPECT_EQ(quitSheet(), sheet) << "no second sheet";
    advance(4.9);
    EXPECT_FALSE(app().isTerminated());
    advance(0.1);
    EXPECT_TRUE(app().isTerminated());
}

TEST_F(HostQuitTest, KeepRunningAnswersTheInstallerAndCancelsTheAutomaticConfirmation) {
    quitFromInstaller();
    advance(sheetDelay);
    ASSERT_NE(quitSheet(), nullptr);
    onMain([&] { quitSheet()->pressButton(1); });
    advance(10);
    EXPECT_FALSE(app().isTerminated());
    EXPECT_FALSE(delegate->lifecycle.quitRequestedByExternalTool);
    onMain([&] { app().terminate(); });
    advance(sheetDelay);
    EXPECT_EQ(quitSheet()->informativeText.find("installer"), std::string::npos) << "a later quit asks plainly";
}

TEST_F(HostQuitTest, PendingScreenRecordingRelaunchQuitsWithoutASheet) {
    onMain([&] { delegate->relaunch.pendingScreenCaptureRelaunch = true; });
    onMain([&] { app().terminate(); });
    EXPECT_TRUE(app().isTerminated());
    EXPECT_EQ(quitSheet(), nullptr);
}

TEST_F(HostQuitTest, TerminationSignalsQuitWithoutAskingAndAbortAShownSheet) {
    for (int signal : {2, 15}) {
        SCOPED_TRACE(signal);
        if (app().isTerminated()) {
            SimulatedMachine::install(std::make_shared<SimulatedMachine>());
            launch();
        }
        onMain([&] { app().terminate(); });
        advance(sheetDelay);
        auto sheet = quitSheet();
        ASSERT_NE(sheet, nullptr);
        onMain([&] { delegate->handleTerminationSignal(signal); });
        EXPECT_TRUE(app().isTerminated());
        EXPECT_FALSE(sheet->isShown());
        EXPECT_TRUE(logContains(signal == 2 ? "received SIGINT" : "received SIGTERM"));
        EXPECT_EQ(delegate->audioServer(), nullptr);
    }
}

// A quit while another sheet is up waits its turn: the quit sheet shows once
// that sheet is answered, and the installer's request is answered 5.0 s
// after it came whether or not its sheet ever showed.
TEST_F(HostQuitTest, AQuitBehindAnotherSheetShowsWhenThatSheetEnds) {
    auto other = unrelatedSheet();
    onMain([&] { app().terminate(); });
    advance(sheetDelay);
    EXPECT_EQ(summaryWindow()->attachedSheet(), other->window()) << "one sheet at a time";
    EXPECT_EQ(summaryWindow()->waitingSheetCount(), 1u);
    onMain([&] { app().terminate(); });
    advance(sheetDelay);
    EXPECT_EQ(summaryWindow()->waitingSheetCount(), 1u) << "a second request shows nothing new";

    onMain([&] { other->pressButton(0); });
    auto sheet = quitSheet();
    ASSERT_NE(sheet, nullptr);
    EXPECT_EQ(sheet->messageText, "Quit Norvessal Host?");
    EXPECT_EQ(summaryWindow()->attachedSheet(), sheet->window());
    onMain([&] { sheet->pressButton(0); });
    EXPECT_TRUE(app().isTerminated());
}

TEST_F(HostQuitTest, InstallersQuitBehindAnUnansweredSheetEndsFiveSecondsAfterTheRequest) {
    auto other = unrelatedSheet();
    quitFromInstaller();
    advance(4.9);
    EXPECT_FALSE(app().isTerminated());
    EXPECT_TRUE(other->isShown());
    advance(0.1);
    EXPECT_TRUE(app().isTerminated());
    EXPECT_TRUE(diagnosticsContain("quit: auto-confirmed the external quit request"));
    EXPECT_FALSE(other->isShown()) << "the unrelated sheet is answered by the termination";
    EXPECT_EQ(summaryWindow()->waitingSheetCount(), 0u);
}

}  // namespace
