#include <gtest/gtest.h>

#include "DisplayTargetFixture.h"

using platform::SimulatedDisplaySystem;

namespace {

platform::CGDisplayMode scaledMode(int w, int h, int32_t id) {
    return platform::CGDisplayMode{w, h, 2 * w, 2 * h, 60, true, id, 3};
}

}  // namespace

// Pro on a real display: the mode switch, what the display really shows,
// and whether the stream restarts after the settle delay.
TEST_F(DisplayTargetTest, ProOnARealDisplayFollowsWhatTheDisplayCanShow) {
    struct Case {
        const char* name;
        std::function<void()> machine;
        const char* log;
        const char* viewerText;  // prefix of the type 8 text
        bool restarts;
    };
    const Case cases[] = {
        {"HiDPI 1920x1080 available", [] {},
         "video mode requested Pro on display 1; restarting encoder with Pro", "display: switched mode=Pro display=1",
         true},
        {"no HiDPI mode",
         [] { displays().setDisplays({SimulatedDisplaySystem::plainMonitor(1, 1920, 1080, 0, 0)}); },
         "host display switch warning: ", "display switch warning: no HiDPI Pro mode available; keeping Easy", false},
        {"HiDPI, but not at 1920x1080",
         [] { displays().setModes(1, {scaledMode(1512, 982, 1), scaledMode(1280, 800, 2)}); },
         "host display using nearest HiDPI Pro mode display=1 1512x982",
         "display: exact Pro geometry unavailable; using nearest HiDPI mode display=1 1512x982", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HostDisplayModeSwitcher::clearSavedModesForTesting();
        displays().setDisplays({SimulatedDisplaySystem::builtInPanel(1)});
        c.machine();
        onServer([&] {
            server->streamControl.currentVideoMode = VideoCaptureMode::easy;
            server->selectedDisplayID = server->physicalDisplayID = 1;
        });
        advance(1);
        forgetCaptureStarts();
        const size_t logged = logCount(c.log);
        apply(VideoCaptureMode::pro, VideoCaptureBackend::physical);
        EXPECT_EQ(logCount(c.log), logged + 1);
        EXPECT_TRUE(receivedStartingWith(*viewer, c.viewerText));
        advance(0.6);
        EXPECT_FALSE(captureStartAttempted());
        advance(0.1);
        EXPECT_EQ(captureStartAttempted(), c.restarts);
        onServer([&] {
            const auto& request = server->streamControl.currentCaptureRequest;
            EXPECT_EQ(server->streamControl.currentVideoMode,
                      c.restarts ? VideoCaptureMode::pro : VideoCaptureMode::easy);
            if (std::string(c.name) == "HiDPI, but not at 1920x1080") {
                EXPECT_EQ(request.logicalWidth, 1512);
                EXPECT_EQ(request.pixelWidth, 3024);
                EXPECT_TRUE(request.flags & CaptureModeControlPayload::flagHiDPI);
            }
        });
    }
}

TEST_F(DisplayTargetTest, APendingPresetKeepsThePictureAndRestartsCaptureOnceWhenLive) {
    virtualDisplayClasses().setModesAppearAfter(1.0);
    forgetCaptureStarts();
    apply(VideoCaptureMode::pro, VideoCaptureBackend::headlessVirtual);
    EXPECT_EQ(logCount("video mode transition Easy -> Pro pending; keeping current capture visible"), 1u);
    advance(0.9);
    EXPECT_FALSE(captureStartAttempted());
    advance(3);
    EXPECT_EQ(logCount("video mode transition active Pro; restarting capture once"), 1u);
    EXPECT_TRUE(captureStartAttempted());
    onServer([&] { EXPECT_EQ(server->streamControl.currentVideoMode, VideoCaptureMode::pro); });
}

TEST_F(DisplayTargetTest, ANewerRequestCancelsThePendingTransition) {
    virtualDisplayClasses().setModesAppearAfter(1.0);
    apply(VideoCaptureMode::pro, VideoCaptureBackend::headlessVirtual);
    apply(VideoCaptureMode::max, VideoCaptureBackend::headlessVirtual);
    advance(4);
    EXPECT_EQ(logCount("video mode transition active Pro"), 0u);
    EXPECT_EQ(logCount("video mode transition active Max"), 1u);
}

TEST_F(DisplayTargetTest, APresetThatNeverGoesLiveFallsBackToTheOneTheDisplayShows) {
    // The display shows Easy; Pro timed out and no capture has a picture.
    ASSERT_FALSE(HeadlessVirtualDisplay::shared().startPresetDisplay(HeadlessVirtualDisplay::easyPreset(),
                                                                     "Norvessal Presets", 1));
    advance(2);
    forgetCaptureStarts();
    onServer([&] {
        server->useHeadlessVirtualDisplay = true;
        server->finishHeadlessCaptureTransitionInFallback(CaptureModeControlPayload::preset(
            VideoCaptureMode::pro, VideoChromaMode::yuv420, VideoCaptureBackend::headlessVirtual));
        EXPECT_EQ(server->streamControl.currentVideoMode, VideoCaptureMode::easy);
    });
    EXPECT_TRUE(received(*viewer, "display: Pro activation timed out; using Easy fallback"));
    advance(0.1);
    EXPECT_TRUE(captureStartAttempted());

    HeadlessVirtualDisplay::shared().stop(true);
    onServer([&] {
        server->finishHeadlessCaptureTransitionInFallback(CaptureModeControlPayload::preset(
            VideoCaptureMode::max, VideoChromaMode::yuv420, VideoCaptureBackend::headlessVirtual));
    });
    EXPECT_TRUE(received(*viewer, "display: Max activation timed out; no virtual fallback available"));
}

// A virtual display that cannot be created: two fast retries, then the
// real display at its current mode.
TEST_F(DisplayTargetTest, RealiseRetriesThenTheRealDisplay) {
    struct Case {
        const char* name;
        double wakeDeadlineAhead;  // 0: none
        const char* firstRetry;
    };
    const Case cases[] = {
        {"awake", 0, "aux video: headless virtual display retry 1/2 for Pro in 1.60s"},
        {"just after wake", 3, "aux video: headless virtual display retry 1/2 for Pro in 3.15s"},
    };
    platform::VirtualDisplayClassFaults faults;
    faults.displayAllocationFails = true;
    virtualDisplayClasses().setFaults(faults);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        onServer([&] {
            server->useHeadlessVirtualDisplay = false;
            server->headlessRealizeRetryAttempts = 0;
            if (c.wakeDeadlineAhead > 0)
                server->virtualDisplayWakeStabilizationDeadline = platform::Clock::now().addingSeconds(3);
        });
        const size_t fallbacks = logCount("headless physical fallback capturing current physical mode for display 1");
        const size_t secondRetries = logCount("retry 2/2 for Pro in 2.20s");
        apply(VideoCaptureMode::pro, VideoCaptureBackend::headlessVirtual);
        EXPECT_EQ(logCount(c.firstRetry), 1u);
        advance(3.3);
        EXPECT_EQ(logCount("retry 2/2 for Pro in 2.20s"), secondRetries + 1);
        advance(2.3);
        EXPECT_EQ(logCount("headless physical fallback capturing current physical mode for display 1 (headless Pro "
                           "unrealized)"),
                  fallbacks + 1);
        onServer([&] {
            EXPECT_FALSE(server->useHeadlessVirtualDisplay);
            EXPECT_EQ(server->streamControl.currentVideoMode, VideoCaptureMode::physical1080);
            server->displayTarget.headlessRealizeSlowRetryAttempts = 0;
        });
        advance(20);
    }
}

TEST_F(DisplayTargetTest, ANewerRequestCancelsAPendingRealiseRetry) {
    platform::VirtualDisplayClassFaults faults;
    faults.displayAllocationFails = true;
    virtualDisplayClasses().setFaults(faults);
    apply(VideoCaptureMode::pro, VideoCaptureBackend::headlessVirtual);
    ASSERT_EQ(logCount("retry 1/2 for Pro"), 1u);
    // The display can be made again, and Max is asked for before the retry.
    virtualDisplayClasses().setFaults({});
    apply(VideoCaptureMode::max, VideoCaptureBackend::headlessVirtual);
    advance(20);
    EXPECT_EQ(logCount("retry 2/2 for Pro"), 0u);
    EXPECT_EQ(logCount("video mode requested Pro"), 0u);
    onServer([&] { EXPECT_EQ(server->streamControl.currentVideoMode, VideoCaptureMode::max); });
}

TEST_F(HeadlessMacTest, SlowRealiseRetriesAtFourAndTwelveSecondsAndNoThird) {
    platform::VirtualDisplayClassFaults faults;
    faults.displayAllocationFails = true;
    virtualDisplayClasses().setFaults(faults);
    apply(VideoCaptureMode::pro, VideoCaptureBackend::headlessVirtual);
    advance(3.9);
    EXPECT_EQ(logCount("aux video: slow headless realize retry 1/2 for Pro in 4s (fallback picture stays meanwhile)"),
              1u);
    EXPECT_EQ(logCount("headless physical fallback skipped: no real display (headless Pro unrealized)"), 1u);
    advance(4.1 + 3.9);
    EXPECT_EQ(logCount("slow headless realize retry 2/2 for Pro in 12s"), 1u);
    advance(60);
    EXPECT_EQ(logCount("slow headless realize retry"), 2u);
    onServer([&] { EXPECT_TRUE(server->useHeadlessVirtualDisplay); });
}

// A slow retry counts when it runs: a second application while one waits
// takes its place instead of spending it.
TEST_F(HeadlessMacTest, AnApplicationWhileASlowRetryWaitsSpendsNoneOfThem) {
    platform::VirtualDisplayClassFaults faults;
    faults.displayAllocationFails = true;
    virtualDisplayClasses().setFaults(faults);
    const std::string fastRetry = "headless virtual display retry 1/2 for Pro";
    apply(VideoCaptureMode::pro, VideoCaptureBackend::headlessVirtual);
    advance(4.0);  // fast retries used up at 3.8 s; the first slow one waits
    ASSERT_EQ(logCount("slow headless realize retry 1/2 for Pro in 4s"), 1u);
    apply(VideoCaptureMode::pro, VideoCaptureBackend::headlessVirtual);
    EXPECT_EQ(logCount("slow headless realize retry 1/2 for Pro in 4s"), 2u) << "the cancelled one was given back";
    EXPECT_EQ(logCount("slow headless realize retry 2/2"), 0u);

    // The first runs 4 s after the last application...
    advance(3.95);
    EXPECT_EQ(logCount(fastRetry), 1u);
    advance(0.1);
    EXPECT_EQ(logCount(fastRetry), 2u);
    // ...and, its fast retries used up too, the second 12 s after that.
    advance(3.8);
    ASSERT_EQ(logCount("slow headless realize retry 2/2 for Pro in 12s"), 1u);
    advance(11.9);
    EXPECT_EQ(logCount(fastRetry), 2u);
    advance(0.2);
    EXPECT_EQ(logCount(fastRetry), 3u);
    advance(60);
    EXPECT_EQ(logCount("slow headless realize retry"), 3u) << "two ran; none beyond the second";
}

TEST_F(HeadlessMacTest, ARealBackendRequestWithNoRealDisplayKeepsTheVirtualDisplay) {
    apply(VideoCaptureMode::pro, VideoCaptureBackend::headlessVirtual);
    advance(2);
    const uint32_t virtualID = virtualDisplayID();
    ASSERT_NE(virtualID, 0u);
    apply(VideoCaptureMode::physical1080, VideoCaptureBackend::physical);
    advance(2);
    EXPECT_TRUE(received(*viewer, "display: headless physical fallback skipped; no real display"));
    EXPECT_NE(virtualDisplayID(), 0u);
    onServer([&] {
        EXPECT_TRUE(server->useHeadlessVirtualDisplay);
        EXPECT_EQ(server->streamControl.currentCaptureRequest.backend, VideoCaptureBackend::headlessVirtual);
    });
}

// The physical request kept on the virtual display while no real display
// was there is applied again once one appears, unless a newer request took
// its place meanwhile.
TEST_F(HeadlessMacTest, APhysicalRequestKeptOnTheVirtualDisplayIsAppliedWhenARealDisplayAppears) {
    struct Case {
        const char* name;
        std::function<void()> meanwhile;
        bool givenBack;
    };
    const Case cases[] = {
        {"nothing else asked", [] {}, true},
        {"a newer request for the virtual display",
         [&] {
             auto request = CaptureModeControlPayload::preset(VideoCaptureMode::pro, VideoChromaMode::yuv420,
                                                              VideoCaptureBackend::headlessVirtual);
             request.controlIntent = CaptureModeControlPayload::intentExplicit;
             onServer([&] { server->applyVideoCaptureRequest(request, platform::UUID::random()); });
         },
         false},
    };
    const std::string givenBackLine =
        "display topology found real display 1; applying the held physical capture request again";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        displays().configureHeadless();
        advance(1);
        apply(VideoCaptureMode::physical1080, VideoCaptureBackend::physical);
        advance(2);
        ASSERT_TRUE(received(*viewer, "display: headless physical fallback skipped; no real display"));
        c.meanwhile();
        advance(2);
        const size_t before = logCount(givenBackLine);
        displays().setDisplays({SimulatedDisplaySystem::builtInPanel(1)});
        advance(1);  // the topology recovery runs 0.5 s after the change
        EXPECT_EQ(logCount(givenBackLine), before + (c.givenBack ? 1 : 0));
        onServer([&] {
            EXPECT_EQ(server->useHeadlessVirtualDisplay, !c.givenBack);
            EXPECT_EQ(server->streamControl.currentCaptureRequest.backend,
                      c.givenBack ? VideoCaptureBackend::physical : VideoCaptureBackend::headlessVirtual);
            EXPECT_FALSE(server->displayTarget.physicalRequestHeldOnVirtualDisplay) << "given back once at most";
        });
        advance(5);
    }
}

TEST_F(HeadlessMacTest, WithoutAViewerOnlyTheModeIsRecorded) {
    viewer.reset();
    ASSERT_TRUE(waitForSessions(0, 0));
    apply(VideoCaptureMode::max, VideoCaptureBackend::headlessVirtual);
    EXPECT_TRUE(logContains("capture display preparation deferred until an authorized Viewer connects"));
    EXPECT_EQ(virtualDisplayID(), 0u);
    onServer([&] { EXPECT_EQ(server->streamControl.currentVideoMode, VideoCaptureMode::max); });
}

TEST_F(HeadlessMacTest, ALoginWithoutARealDisplayStillGetsALayout) {
    auto layout = viewer->waitForPacket(AuxPacketType::displayLayout);
    ASSERT_TRUE(layout);
    auto decoded = DisplayLayoutPayload::decode(layout->payload);
    ASSERT_TRUE(decoded);
    EXPECT_GT(decoded->targetWidth, 0);
    EXPECT_GT(decoded->pixelHeight, 0);
}
