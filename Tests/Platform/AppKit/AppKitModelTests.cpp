// The headless AppKit model: activation, windows in front of other
// applications, sheets and modal alerts, termination, Apple events and the
// workspace's power notifications.

#include <gtest/gtest.h>

#include "Platform/AppKit/AppKit.h"
#include "Platform/AppKit/AppKitPanel.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"
#include "Platform/AppKit/Workspace.h"
#include "Support/TestSupport.h"

using namespace platform;

namespace {

struct RecordingDelegate : ApplicationDelegate {
    std::vector<std::string> calls;
    TerminateReply reply = TerminateReply::now;
    bool terminateAfterLastWindow = false;
    void applicationDidFinishLaunching() override { calls.push_back("launched"); }
    void applicationDidBecomeActive() override { calls.push_back("active"); }
    bool applicationShouldHandleReopen(bool visible) override {
        calls.push_back(std::string("reopen visible=") + (visible ? "1" : "0"));
        return true;
    }
    bool applicationShouldTerminateAfterLastWindowClosed() override {
        calls.push_back("last window closed");
        return terminateAfterLastWindow;
    }
    TerminateReply applicationShouldTerminate() override {
        calls.push_back("should terminate");
        return reply;
    }
    void applicationWillTerminate() override { calls.push_back("will terminate"); }
};

class AppKitModel : public VirtualTimeTest {
protected:
    AppKitModel() { app.setDelegate(delegate); }
    void onMain(const std::function<void()>& work) { DispatchQueue::main().sync(work); }
    std::shared_ptr<Window> shownWindow() {
        auto w = Window::make({400, 300}, kWindowStyleTitled | kWindowStyleClosable | kWindowStyleMiniaturizable);
        onMain([&] { w->makeKeyAndOrderFront(); });
        return w;
    }
    void observe(const std::vector<const char*>& names) {
        for (auto name : names)
            app.notificationCenter().addObserver(name, [this](const Notification& n) { seen.push_back(n.name); });
    }
    Application& app = Application::shared();
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
    std::vector<std::string> seen;
};

TEST_F(AppKitModel, WindowServerRefusesJoiningAllSpacesWhileMovingToTheActiveOne) {
    struct Case {
        uint32_t behavior;
        bool accepted;
    };
    const Case cases[] = {{0x102, true}, {0x101, true}, {0x100, true}, {0x103, false}, {0x3, false}};
    for (const auto& c : cases) {
        auto w = Window::make({10, 10}, kWindowStyleTitled);
        EXPECT_EQ(w->setCollectionBehavior(c.behavior), c.accepted) << c.behavior;
        EXPECT_EQ(w->collectionBehavior(), c.accepted ? c.behavior : 0u) << c.behavior;
    }
}

TEST_F(AppKitModel, ActivationTakesEffectAsynchronouslyAndBringsTheWindowsForward) {
    observe({kApplicationDidBecomeActiveNotification, kWindowDidBecomeKeyNotification});
    auto w = shownWindow();
    EXPECT_FALSE(w->isInFrontOfOtherApplications()) << "ordered front while another application is active";
    EXPECT_FALSE(w->isKeyWindow());
    onMain([&] { app.activate(true); });
    EXPECT_FALSE(app.isActive());
    runUntilIdle();
    EXPECT_TRUE(app.isActive());
    EXPECT_TRUE(w->isInFrontOfOtherApplications());
    EXPECT_TRUE(w->isKeyWindow());
    EXPECT_EQ(seen, (std::vector<std::string>{kWindowDidBecomeKeyNotification, kApplicationDidBecomeActiveNotification}));
    EXPECT_EQ(delegate->calls, std::vector<std::string>{"active"});
}

TEST_F(AppKitModel, AnotherApplicationComingForwardPutsTheHostBehindUntilOrderedFrontRegardless) {
    auto w = shownWindow();
    auto hiding = shownWindow();
    hiding->hidesOnDeactivate = true;
    onMain([&] { app.activate(true); });
    runUntilIdle();
    observe({kApplicationWillResignActiveNotification, kWindowDidResignKeyNotification,
             kApplicationDidResignActiveNotification});
    app.simulateOtherApplicationCameForwardForTesting();
    EXPECT_EQ(seen, (std::vector<std::string>{kApplicationWillResignActiveNotification, kWindowDidResignKeyNotification,
                                              kApplicationDidResignActiveNotification}));
    EXPECT_FALSE(w->isInFrontOfOtherApplications());
    EXPECT_FALSE(hiding->isVisible());
    onMain([&] { w->orderFront(); });
    EXPECT_FALSE(w->isInFrontOfOtherApplications());
    onMain([&] { w->orderFrontRegardless(); });
    EXPECT_TRUE(w->isInFrontOfOtherApplications());
    onMain([&] { app.activate(true); });
    runUntilIdle();
    EXPECT_TRUE(hiding->isVisible()) << "a window hidden on deactivation comes back";
}

TEST_F(AppKitModel, CloseAnnouncesItselfAndTheLastClosedWindowAsksTheDelegate) {
    auto w = shownWindow();
    int willClose = 0;
    observeWindow(kWindowWillCloseNotification, w, [&](const Notification&) { willClose++; });
    onMain([&] { w->orderOut(); });
    EXPECT_EQ(willClose, 0);
    onMain([&] { w->makeKeyAndOrderFront(); });
    onMain([&] { w->close(); });
    runUntilIdle();
    EXPECT_EQ(willClose, 1);
    EXPECT_FALSE(w->isVisible());
    EXPECT_EQ(delegate->calls, std::vector<std::string>{"last window closed"});
    EXPECT_FALSE(app.isTerminated());

    delegate->terminateAfterLastWindow = true;
    onMain([&] {
        w->makeKeyAndOrderFront();
        w->close();
    });
    runUntilIdle();
    EXPECT_TRUE(app.isTerminated());
}

TEST_F(AppKitModel, MiniaturisedWindowsAreNotVisibleAndNotOrderedFront) {
    auto w = shownWindow();
    onMain([&] { w->miniaturize(); });
    EXPECT_FALSE(w->isVisible());
    onMain([&] { w->orderFrontRegardless(); });
    EXPECT_FALSE(w->isVisible());
    onMain([&] { w->deminiaturize(); });
    EXPECT_TRUE(w->isVisible());
}

TEST_F(AppKitModel, TerminationFollowsTheDelegatesAnswer) {
    struct Case {
        TerminateReply reply;
        std::optional<bool> later;  // the reply given afterwards, if any
        bool terminated;
    };
    const Case cases[] = {{TerminateReply::now, {}, true},
                          {TerminateReply::cancel, {}, false},
                          {TerminateReply::later, {}, false},
                          {TerminateReply::later, false, false},
                          {TerminateReply::later, true, true}};
    for (const auto& c : cases) {
        SimulatedMachine::install(std::make_shared<SimulatedMachine>());
        auto& fresh = Application::shared();
        auto d = std::make_shared<RecordingDelegate>();
        d->reply = c.reply;
        fresh.setDelegate(d);
        onMain([&] { fresh.terminate(); });
        EXPECT_EQ(fresh.isAwaitingTerminateReply(), c.reply == TerminateReply::later);
        if (c.later) onMain([&] { fresh.replyToApplicationShouldTerminate(*c.later); });
        EXPECT_EQ(fresh.isTerminated(), c.terminated);
        EXPECT_EQ(d->calls.back(), c.terminated ? "will terminate" : "should terminate");
    }
}

TEST_F(AppKitModel, SheetsEndByButtonsByEndSheetAndByScriptedAnswers) {
    auto parent = shownWindow();
    std::vector<ModalResponse> responses;
    auto show = [&] {
        auto alert = Alert::make();
        alert->addButton("OK");
        alert->addButton("Cancel");
        onMain([&] { alert->beginSheetModal(parent, [&](ModalResponse r) { responses.push_back(r); }); });
        EXPECT_EQ(parent->attachedSheet(), alert->window());
        EXPECT_EQ(alert->window()->sheetParent(), parent);
        return alert;
    };
    auto pressed = show();
    EXPECT_EQ(app.shownAlerts().size(), 1u);
    onMain([&] { pressed->pressButton(1); });
    auto ended = show();
    onMain([&] { parent->endSheet(ended->window(), 1000); });
    app.scriptAlertResponseForTesting(1001, 2.0);
    auto scripted = show();
    advance(1.9);
    EXPECT_TRUE(scripted->isShown());
    advance(0.2);
    EXPECT_EQ(responses, (std::vector<ModalResponse>{1001, 1000, 1001}));
    EXPECT_EQ(parent->attachedSheet(), nullptr);
    EXPECT_TRUE(app.shownAlerts().empty());
}

TEST_F(AppKitModel, ModalRunKeepsMainQueueTimersRunningAndTerminationAbortsIt) {
    int ticks = 0;
    DispatchTimer timer(DispatchQueue::main(), 0.5, [&] { ticks++; });
    timer.resume();
    app.scriptAlertResponseForTesting(1000, 3.0);
    ModalResponse answered = 0;
    DispatchQueue::main().async([&] {
        auto alert = Alert::make();
        alert->addButton("OK");
        answered = alert->runModal();
    });
    runUntilIdle();
    EXPECT_EQ(answered, 1000);
    EXPECT_GE(ticks, 5);

    ModalResponse aborted = 0;
    DispatchQueue::main().async([&] {
        auto alert = Alert::make();
        alert->addButton("OK");
        aborted = alert->runModal();
    });
    DispatchQueue::main().asyncAfter(1.0, [&] { app.terminate(); });
    runUntilIdle();
    advance(1.0);
    EXPECT_EQ(aborted, kModalResponseAbort);
    EXPECT_TRUE(app.isTerminated());
}

TEST_F(AppKitModel, TerminationAnswersAShownSheetWithAbort) {
    auto parent = shownWindow();
    auto alert = Alert::make();
    alert->addButton("OK");
    std::optional<ModalResponse> response;
    onMain([&] {
        alert->beginSheetModal(parent, [&](ModalResponse r) { response = r; });
        app.terminate();
    });
    EXPECT_EQ(response, kModalResponseAbort);
    EXPECT_EQ(delegate->calls, (std::vector<std::string>{"should terminate", "will terminate"}));
}

TEST_F(AppKitModel, SheetsWaitTheirTurnAndEveryCompletionRunsOnce) {
    auto parent = shownWindow();
    std::vector<std::pair<std::string, ModalResponse>> ended;
    auto begin = [&](const std::string& name) {
        auto alert = Alert::make();
        alert->addButton("OK");
        alert->addButton("Cancel");
        onMain([&] { alert->beginSheetModal(parent, [&, name](ModalResponse r) { ended.emplace_back(name, r); }); });
        return alert;
    };
    auto first = begin("first");
    auto second = begin("second");
    auto third = begin("third");
    EXPECT_EQ(parent->attachedSheet(), first->window());
    EXPECT_EQ(parent->waitingSheetCount(), 2u);
    EXPECT_EQ(app.shownAlerts().size(), 1u) << "a waiting sheet is not on screen";
    EXPECT_EQ(second->window()->sheetParent(), nullptr);

    onMain([&] { second->pressButton(0); });  // nobody can click it yet
    onMain([&] { third->endWithResponse(1001); });  // ended while it waits
    onMain([&] { first->pressButton(0); });
    EXPECT_EQ(parent->attachedSheet(), second->window()) << "the next in line shows when the one before ends";
    EXPECT_TRUE(second->isShown());
    onMain([&] { second->pressButton(1); });
    onMain([&] { parent->endSheet(second->window(), 1000); });  // already ended: nothing runs twice
    using Ended = std::vector<std::pair<std::string, ModalResponse>>;
    EXPECT_EQ(ended, (Ended{{"third", 1001}, {"first", 1000}, {"second", 1001}}));
    EXPECT_EQ(parent->attachedSheet(), nullptr);
    EXPECT_EQ(parent->waitingSheetCount(), 0u);

    // Termination answers the shown sheet and those still waiting, once each.
    ended.clear();
    begin("shown");
    begin("waiting");
    onMain([&] { app.terminate(); });
    EXPECT_EQ(ended, (Ended{{"shown", kModalResponseAbort}, {"waiting", kModalResponseAbort}}));
    EXPECT_EQ(parent->attachedSheet(), nullptr);
}

// A panel attached as a sheet is no alert, yet termination answers it and
// every sheet waiting behind it; a sheet begun afterwards never shows.
TEST_F(AppKitModel, TerminationAnswersAnAttachedPanelAndTheSheetsWaitingBehindIt) {
    auto parent = shownWindow();
    std::vector<std::pair<std::string, ModalResponse>> ended;
    auto panel = OpenPanel::make();
    onMain([&] { panel->beginSheetModal(parent, [&](ModalResponse r) { ended.emplace_back("panel", r); }); });
    std::vector<std::shared_ptr<Alert>> alerts;
    for (const char* name : {"first waiting", "second waiting"}) {
        auto alert = Alert::make();
        alert->addButton("OK");
        onMain([&] { alert->beginSheetModal(parent, [&, name](ModalResponse r) { ended.emplace_back(name, r); }); });
        alerts.push_back(alert);
    }
    ASSERT_EQ(parent->waitingSheetCount(), 2u);

    onMain([&] { app.terminate(); });
    using Ended = std::vector<std::pair<std::string, ModalResponse>>;
    EXPECT_EQ(ended, (Ended{{"panel", kModalResponseAbort},
                            {"first waiting", kModalResponseAbort},
                            {"second waiting", kModalResponseAbort}}));
    EXPECT_EQ(parent->attachedSheet(), nullptr);
    EXPECT_FALSE(panel->isRunning());
    EXPECT_TRUE(app.shownAlerts().empty());

    ended.clear();
    auto late = Alert::make();
    late->addButton("OK");
    onMain([&] { late->beginSheetModal(parent, [&](ModalResponse r) { ended.emplace_back("late", r); }); });
    EXPECT_EQ(ended, (Ended{{"late", kModalResponseAbort}}));
    EXPECT_FALSE(late->isShown());
    EXPECT_EQ(parent->attachedSheet(), nullptr);
}

TEST_F(AppKitModel, AboutPanelShowsTheCreditsAsTheKeyWindow) {
    AttributedString credits("© 2026 Example", Font::system(11));
    onMain([&] {
        app.activate(true);
        app.orderFrontStandardAboutPanel(credits);
    });
    runUntilIdle();
    ASSERT_NE(app.aboutPanel(), nullptr);
    EXPECT_EQ(app.keyWindow(), app.aboutPanel());
    EXPECT_EQ(app.aboutPanelCredits(), credits);
    EXPECT_NE(app.aboutPanel()->contentView->findByText("© 2026 Example"), nullptr);
}

TEST_F(AppKitModel, AppleEventsReachTheirHandlerOnTheMainQueue) {
    auto& events = AppleEventManager::shared();
    std::vector<std::string> received;
    events.setEventHandler(kInternetEventClass, kAEGetURL, [&](const AppleEvent& e, AppleEvent&) {
        EXPECT_TRUE(DispatchQueue::main().isCurrent());
        received.push_back(e.directObject.value_or("<none>"));
    });
    events.deliverFromOutside({kInternetEventClass, kAEGetURL, "norvessalhost://show"});
    events.deliverFromOutside({kCoreEventClass, kAEQuitApplication, std::nullopt});  // no handler: dropped
    EXPECT_TRUE(received.empty());
    runUntilIdle();
    EXPECT_EQ(received, std::vector<std::string>{"norvessalhost://show"});
    EXPECT_EQ(fourCharCode("aevt"), 0x61657674u);
}

TEST_F(AppKitModel, MachineSleepAndWakePostTheWorkspacePowerNotifications) {
    std::vector<std::string> posted;
    for (auto name : {kWorkspaceWillSleepNotification, kWorkspaceDidWakeNotification,
                      kWorkspaceScreensDidSleepNotification, kWorkspaceScreensDidWakeNotification})
        Workspace::notificationCenter().addObserver(name, [&](const Notification& n) { posted.push_back(n.name); });
    auto& machine = SimulatedMachine::current();
    machine.setScreensAsleep(true);
    machine.setAsleep(true);
    machine.setAsleep(true);  // no change, no notification
    machine.setAsleep(false);
    machine.setScreensAsleep(false);
    EXPECT_EQ(posted, (std::vector<std::string>{kWorkspaceScreensDidSleepNotification, kWorkspaceWillSleepNotification,
                                                kWorkspaceDidWakeNotification, kWorkspaceScreensDidWakeNotification}));
}

TEST_F(AppKitModel, WorkspaceFindsApplicationsByBundleIdentifierAndRecordsTerminateRequests) {
    auto& workspace = SimulatedMachine::current().component<SimulatedWorkspace>();
    workspace.addApplication({101, "com.apple.installer", "Installer"});
    workspace.addApplication({102, "com.apple.finder", "Finder"});
    workspace.addApplication({103, "com.apple.installer", "Installer", ApplicationActivationPolicy::regular, true});
    auto installers = Workspace::runningApplications("com.apple.installer");
    ASSERT_EQ(installers.size(), 1u);
    EXPECT_TRUE(installers[0].terminate());
    EXPECT_EQ(workspace.terminateRequests(), std::vector<int32_t>{101});
}

}  // namespace
