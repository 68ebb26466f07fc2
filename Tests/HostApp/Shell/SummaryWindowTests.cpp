// The summary window, the About panel and the two alert paths that keep an
// alert in front of other applications.

#include <gtest/gtest.h>

#include "HostShellTestFixture.h"
#include "HostApp/Shell/HostVersionStrings.h"
#include "Platform/AppKit/AppKitLayout.h"
#include "Platform/Foundation/UserDefaults.h"
#include "VelantrixProfiles/Discovery/VelantrixDiscovery.h"

using namespace platform;

namespace {

std::shared_ptr<Alert> twoButtonAlert() {
    auto alert = Alert::make();
    alert->messageText = "Send files?";
    alert->addButton("Send");
    alert->addButton("Cancel");
    return alert;
}

TEST_F(HostShellTest, SummaryWindowShowsItsRowsAsTheFirstRefreshWroteThem) {
    UserDefaults::standard().set("host.launchAtLogin.desired", PlistValue(true));
    launch();
    auto window = summaryWindow();
    EXPECT_EQ(window->title, "Norvessal Host");
    EXPECT_EQ(window->contentSize, (CGSize{460, 315}));
    EXPECT_FALSE(window->isReleasedWhenClosed);
    auto stack = window->contentView->subviews().at(0);
    std::vector<std::string> rows;
    for (const auto& row : stack->subviews()) rows.push_back(row->kind == View::Kind::stack ? "<buttons>" : row->text);
    EXPECT_EQ(rows, (std::vector<std::string>{"Norvessal Host is running",
                                              "Viewers can connect while this Host stays open.",
                                              "Norvessal Host is running \u00B7 Start at login: on",
                                              HostProbeDelegate::summaryAddressText(
                                                  VelantrixDiscovery::localRouteRecords(), {}),
                                              "Viewer: none connected", "Start Norvessal Host at login", "<buttons>",
                                              "V" + hostAppVersionString()}));
    EXPECT_TRUE(stack->subviews().at(5)->isOn);
    EXPECT_EQ(stack->edgeInsets, (View::EdgeInsets{22, 24, 20, 24}));
    EXPECT_EQ(delegate->summary.summaryUpdateButton.lock()->text, "Update Version");
}

TEST_F(HostShellTest, SummaryWindowPinsItsStackAndKeepsTheWrappingRowsWithinIt) {
    launch();
    const auto& content = summaryWindow()->contentView;
    auto stack = content->subviews().at(0);
    EXPECT_FALSE(stack->translatesAutoresizingMaskIntoConstraints);
    struct Pin {
        std::shared_ptr<View> view;
        LayoutAttribute attribute;
        LayoutRelation relation;
        std::shared_ptr<View> to;
    };
    const auto& p = delegate->presentation;
    const Pin pins[] = {
        {stack, LayoutAttribute::leading, LayoutRelation::equal, content},
        {stack, LayoutAttribute::trailing, LayoutRelation::equal, content},
        {stack, LayoutAttribute::top, LayoutRelation::equal, content},
        {stack, LayoutAttribute::bottom, LayoutRelation::lessThanOrEqual, content},
        {p.summaryStatusLabel, LayoutAttribute::width, LayoutRelation::lessThanOrEqual, stack},
        {p.summaryAddressLabel, LayoutAttribute::width, LayoutRelation::lessThanOrEqual, stack},
        {p.summaryViewerLabel, LayoutAttribute::width, LayoutRelation::lessThanOrEqual, stack},
    };
    for (const auto& pin : pins) {
        SCOPED_TRACE(static_cast<int>(pin.attribute));
        auto c = activeConstraint(*pin.view, pin.attribute, pin.attribute);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->relation, pin.relation);
        EXPECT_EQ(c->secondItem.lock(), pin.to);
        EXPECT_EQ(c->constant, 0);
    }
}

TEST_F(HostShellTest, ModalAlertReturnsTheAnswerWhileMainQueueWorkGoesOn) {
    launch({true, false});  // unattended: no summary window yet
    ASSERT_EQ(summaryWindow(), nullptr);
    int ticks = 0;
    DispatchTimer timer(DispatchQueue::main(), 0.25, [&] { ticks++; });
    timer.resume();
    app().scriptAlertResponseForTesting(kAlertSecondButtonReturn, 1.0);
    std::optional<ModalResponse> response;
    std::shared_ptr<Window> parent;
    DispatchQueue::main().async([&] {
        auto alert = twoButtonAlert();
        response = delegate->runHostModalAlert(alert);
        parent = summaryWindow();
    });
    runUntilIdle();
    EXPECT_EQ(response, kAlertSecondButtonReturn);
    EXPECT_GE(ticks, 3) << "timers fire while the alert waits";
    EXPECT_NE(parent, nullptr) << "the summary window was made to carry the sheet";
}

TEST_F(HostShellTest, ModalAlertComesBackInFrontWhenAnotherApplicationComesForward) {
    launch();
    std::shared_ptr<Alert> alert = twoButtonAlert();
    std::optional<ModalResponse> response;
    DispatchQueue::main().async([&] { response = delegate->runHostModalAlert(alert); });
    DispatchQueue::main().asyncAfter(1.0, [&] {
        app().simulateOtherApplicationCameForwardForTesting();
        EXPECT_FALSE(summaryWindow()->isInFrontOfOtherApplications());
    });
    DispatchQueue::main().asyncAfter(1.001, [&] {
        EXPECT_TRUE(summaryWindow()->isInFrontOfOtherApplications()) << "raised at once";
        EXPECT_TRUE(alert->window()->isInFrontOfOtherApplications());
        summaryWindow()->orderBack();
    });
    DispatchQueue::main().asyncAfter(1.1, [&] { EXPECT_FALSE(summaryWindow()->isInFrontOfOtherApplications()); });
    DispatchQueue::main().asyncAfter(1.2, [&] {
        EXPECT_TRUE(summaryWindow()->isInFrontOfOtherApplications()) << "and again 0.15 s later";
        alert->pressButton(0);
    });
    advance(2);
    EXPECT_EQ(response, kAlertFirstButtonReturn);
}

TEST_F(HostShellTest, AutoCloseSparesTheWindowWhileASheetIsUp) {
    launch();
    std::optional<ModalResponse> response;
    onMain([&] {
        delegate->beginHostForegroundSheet(twoButtonAlert(), summaryWindow(), [&](ModalResponse r) { response = r; });
    });
    advance(6);
    EXPECT_TRUE(summaryWindow()->isVisible());
    ASSERT_NE(summaryWindow()->attachedSheet(), nullptr);
    onMain([&] { app().shownAlerts().front()->pressButton(1); });
    EXPECT_EQ(response, kAlertSecondButtonReturn);
}

TEST_F(HostShellTest, AForegroundSheetBeginsAMomentAfterItsWindowCameForward) {
    launch();
    auto alert = twoButtonAlert();
    onMain([&] { summaryWindow()->orderOut(); });
    std::optional<ModalResponse> response;
    onMain([&] { delegate->beginHostForegroundSheet(alert, summaryWindow(), [&](ModalResponse r) { response = r; }); });
    EXPECT_TRUE(summaryWindow()->isKeyWindow()) << "the window comes forward at once";
    EXPECT_EQ(summaryWindow()->level(), kFloatingWindowLevel);
    advance(0.149);
    EXPECT_EQ(summaryWindow()->attachedSheet(), nullptr);
    EXPECT_FALSE(alert->isShown());
    advance(0.001);
    EXPECT_EQ(summaryWindow()->attachedSheet(), alert->window());
    EXPECT_TRUE(alert->isShown());
    onMain([&] { alert->pressButton(0); });
    EXPECT_EQ(response, kAlertFirstButtonReturn);
}

TEST_F(HostShellTest, AboutPanelOpensKeyAndAtTheModalPanelLevel) {
    launch();
    onMain([&] { delegate->showAboutPanelAction(HostActionSender::menuItem); });
    runUntilIdle();
    auto panel = app().aboutPanel();
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(app().keyWindow(), panel);
    EXPECT_EQ(panel->level(), kModalPanelWindowLevel);
    EXPECT_EQ(panel->collectionBehavior(), kWindowMoveToActiveSpace | kWindowFullScreenAuxiliary);
    EXPECT_TRUE(panel->isInFrontOfOtherApplications());
    EXPECT_GE(panel->orderFrontRegardlessCount(), 1);
    EXPECT_EQ(summaryWindow()->level(), kFloatingWindowLevel) << "the summary window is left as it was";
}

}  // namespace
