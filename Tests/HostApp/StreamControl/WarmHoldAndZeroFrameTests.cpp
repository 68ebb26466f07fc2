// The warm hold after the last Viewer left, and the recovery of a capture
// that delivers no frames: restarts kept apart, the Screen Sharing
// fallback, and the way back out of it.

#include <gtest/gtest.h>

#include "StreamPolicyFixture.h"

namespace {

using WarmHold = StreamPolicyTest;
using ZeroFrames = StreamPolicyTest;

TEST_F(WarmHold, TheLastViewerLeavingKeepsTheCaptureForAReturnWithin120s) {
    struct Case {
        const char* name;
        bool paused;
        double away;
        bool returns;
        const char* line;
        bool captureAfter;
    };
    const std::vector<Case> cases{
        {"back after 30 s", false, 30, true, "connected; reusing the warm capture", true},
        {"nobody back", false, 121, false, "viewer media idle; warm capture hold expired", false},
        {"paused", true, 1, false, nullptr, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto v = streamingViewer();
        log->clear();
        const uint64_t capture = generation();
        screenCapture().setPictureHeldStill(true);
        if (c.paused) server->queue.sync([&] { server->setPaused(true); });
        v->client->close();
        ASSERT_TRUE(waitForSessions(0, 0));
        EXPECT_EQ(logContains("viewer media idle; holding capture warm for 120s so a reconnect does not rebuild "
                              "the stream"),
                  !c.paused);
        advance(c.away);
        std::unique_ptr<PipelineViewer> back;
        if (c.returns) {
            back = viewer("Mac Viewer", false);
            EXPECT_TRUE(logContains("viewer session " + back->id.id8() + " connected; reusing the warm capture"));
            EXPECT_TRUE(logContains("video config resent (reused warm capture)"));
        } else if (c.line) {
            EXPECT_TRUE(logContains(c.line));
        }
        EXPECT_EQ(capturing(), c.captureAfter);
        // Reused means the very capture that ran before, not a rebuilt one.
        EXPECT_EQ(generation() == capture, c.captureAfter);
        // A teardown forgets the request, so a new login starts afresh.
        EXPECT_EQ(server->queue.syncValue([&] { return server->streamControl.videoCaptureModeWasRequested; }),
                  c.captureAfter);
        screenCapture().setPictureHeldStill(false);
        server->queue.sync([&] { server->setPaused(false); });
        if (back) back->client->close();
        ASSERT_TRUE(waitForSessions(0, 0));
    }
}

TEST_F(ZeroFrames, ACaptureWithoutFramesIsRestartedOnceThenLeftToScreenSharingEvenWhenItsStopIsSlow) {
    auto v = streamingViewer();
    screenCapture().setFramesStopped(true);
    // The restart's stop hangs for its whole time-out, so ticks find no capture.
    screenCapture().setIgnoresStop(monitorID, true);
    advance(20);
    const std::string attempt = "video: no frames captured on display=7; recovery attempt 1, next retry in 5s";
    EXPECT_EQ(logCount(attempt), 1u);
    EXPECT_EQ(logCount("recovery attempt"), 1u);
    EXPECT_TRUE(logContains("video: no valid ScreenCaptureKit frames on display=7; using Screen Sharing fallback until "
                            "video mode changes"));
    EXPECT_FALSE(capturing());
    v->client->settle();
    std::vector<std::string> statuses;
    for (const auto& p : v->ofType(AuxPacketType::hostStatus)) statuses.push_back(p.text());
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), attempt), statuses.end());

    // Restarts are refused, and a Viewer's automatic refresh changes nothing.
    server->queue.sync([&] { server->restartVideoCapture(0); });
    EXPECT_TRUE(logContains("video: restart skipped while Screen Sharing fallback is active"));
    screenCapture().setFramesStopped(false);
    screenCapture().releaseIgnoredStops();
    apply(smallRequest(), *v);
    EXPECT_TRUE(logContains(ignoredLine(*v)));
    EXPECT_FALSE(capturing());

    // A changed request resumes and captures again (Easy on the real
    // display: a mode this monitor cannot take would leave nothing running).
    auto changed = explicitly(smallRequest());
    changed.fps = 24;
    apply(changed, *v);
    EXPECT_TRUE(logContains("video: retrying Aux capture after fallback suspension (viewer changed capture request)"));
    run(1.0, {v.get()});
    EXPECT_TRUE(capturing());
}

TEST_F(ZeroFrames, WithNoUsableScreenTheMoveToTheHeadlessDisplayIsAskedAtMostEveryFiveSeconds) {
    // Captured while the screen still counted as real; then it stops counting.
    auto v = streamingViewer();
    presentSoftwareDisplayOnly();
    screenCapture().setFramesStopped(true);
    advance(10);
    EXPECT_EQ(logCount("video: no frames on physical display=7; switching to headless virtual capture instead of "
                       "restart loop"),
              1u);
    // The first ask moves capture off the physical display for good.
    EXPECT_TRUE(server->queue.syncValue([&] { return server->useHeadlessVirtualDisplay; }));
    screenCapture().setFramesStopped(false);
}

}  // namespace
