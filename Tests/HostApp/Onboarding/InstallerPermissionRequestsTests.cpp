// The installer's and updater's URL requests and their one-slot queue.

#include <gtest/gtest.h>

#include "OnboardingTestFixture.h"

using namespace platform;

namespace {

class InstallerRequestsTest : public OnboardingTest {
protected:
    // Normal mode with both grants missing, so that every request prompts.
    void launchWithoutGrants() {
        launch();
        setGrants(false, false);
        summaryWindow()->close();
        runUntilIdle();
    }
    size_t accessibilityRequests() const {
        return diagnosticsCount("permissions: requesting Accessibility through TCC");
    }
    size_t screenRecordingRequests() const {
        return diagnosticsCount("permissions: requesting Screen Recording through TCC");
    }
};

struct RestartCase {
    const char* url;
    bool quits;
};

TEST_F(InstallerRequestsTest, TheRestartURLOfEitherSchemeQuitsWithoutASheet) {
    const RestartCase cases[] = {
        {"norvessalhost://UPDATE/RESTART", true},
        {"velantrixhost://update/restart", true},
        {"https://update/restart", false},
        {"norvessalhost", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        SimulatedMachine::install(std::make_shared<SimulatedMachine>());
        launch();
        sendURL(c.url);
        EXPECT_EQ(app().isTerminated(), c.quits);
        EXPECT_TRUE(app().shownAlerts().empty());
        EXPECT_EQ(diagnosticsContain("upgrade: received installer restart request"), c.quits);
        if (!app().isTerminated()) {
            onMain([&] { delegate->handleTerminationSignal(15); });
            runUntilIdle();
        }
    }
}

struct WordCase {
    const char* url;
    size_t accessibility;
    size_t screenRecording;
};

TEST_F(InstallerRequestsTest, TheWordsOfHostAndPathChooseThePermission) {
    const WordCase cases[] = {
        {"norvessalhost://accessibility+screen", 1, 0},
        {"velantrixhost://grant/Screen", 0, 1},
        {"norvessalhost://x/recording", 0, 1},
        {"norvessalhost://permissions", 1, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        SimulatedMachine::install(std::make_shared<SimulatedMachine>());
        launchWithoutGrants();
        sendURL(c.url);
        EXPECT_TRUE(summaryWindow()->isVisible()) << "the summary window comes forward";
        EXPECT_TRUE(summaryWindow()->collectionBehavior() & kWindowCanJoinAllSpaces);
        advance(10);
        EXPECT_EQ(accessibilityRequests(), c.accessibility);
        EXPECT_EQ(screenRecordingRequests(), c.screenRecording);
        onMain([&] { delegate->handleTerminationSignal(15); });
        runUntilIdle();
    }
}

TEST_F(InstallerRequestsTest, NoWordQueuesScreenRecordingBehindAccessibilityUntilTheSlotFrees) {
    launchWithoutGrants();
    sendURL("norvessalhost://permissions");
    advance(0.4);
    EXPECT_TRUE(diagnosticsContain("permissions: queued installer permission request screenCapture"));
    advance(5.0);
    EXPECT_FALSE(delegate->relaunch.pendingScreenCaptureRelaunch) << "still queued at 5.4 s";
    advance(0.1);
    EXPECT_TRUE(delegate->relaunch.pendingScreenCaptureRelaunch) << "run at 5.5 s";
}

TEST_F(InstallerRequestsTest, ThreeRequestsRunTheFirstThenTheThird) {
    launchWithoutGrants();
    sendURL("norvessalhost://accessibility");
    advance(1);
    sendURL("norvessalhost://screen");
    advance(1);
    sendURL("norvessalhost://accessibility");
    advance(10);
    EXPECT_EQ(accessibilityRequests(), 2u);
    EXPECT_EQ(screenRecordingRequests(), 0u) << "replaced in the queue";
    EXPECT_FALSE(delegate->onboarding.permissionRequestInProgress);
}

TEST_F(InstallerRequestsTest, DuringOnboardingEveryURLButTheRestartOnlyReopensTheGuide) {
    launchForOnboarding();
    ASSERT_TRUE(guideVisible());
    onMain([&] {
        guide()->window()->orderOut();
        delegate->onboarding.initialInstallOnboardingAwaitingPermissionGrant = true;
    });
    sendURL("norvessalhost://screen");
    EXPECT_TRUE(guideVisible());
    advance(6);
    EXPECT_EQ(screenRecordingRequests(), 0u);
    EXPECT_FALSE(delegate->relaunch.pendingScreenCaptureRelaunch);
    sendURL("norvessalhost://update/restart");
    EXPECT_TRUE(app().isTerminated());
}

}  // namespace
