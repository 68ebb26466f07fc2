// Arbitration between Viewers: the refresh gate, the decisions on an
// unchanged shape, the rates a Viewer sends, the 4:4:4 budget, and the
// mode handed back once an iOS Viewer has left.

#include <gtest/gtest.h>

#include "StreamPolicyFixture.h"

namespace {

using Request = CaptureModeControlPayload;

// Easy on a real display is its own road; these cases are about what is
// decided for the other modes, on a monitor that already runs Physical 1080p
// so such a request needs no switch.
class Arbitration : public OnAPhysical1080Monitor {};

TEST_F(Arbitration, ALaterViewersRequestIsAppliedOnlyWhenMarkedOrAModeChange) {
    struct Case {
        const char* name;
        std::vector<Request> sends;
        size_t ignored;
        bool reachesDisplay;
    };
    auto automatic = [](Request r) {
        r.flags |= Request::flagAutomaticRefresh;
        return r;
    };
    const Request other = sharedRequest().withMode(VideoCaptureMode::physical1440);
    const std::string physical1440Refused = "host display logical-mode mismatch: mode=Physical 1440p";
    const std::vector<Case> cases{
        {"first unmarked request", {sharedRequest()}, 1, false},
        {"explicit bit", {explicitly(other)}, 0, true},
        {"mode change without the refresh bit", {sharedRequest(), other}, 1, true},
        {"mode change marked as a refresh", {sharedRequest(), automatic(other)}, 2, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto first = streamingViewer();
        log->clear();
        auto second = viewer("Mac Viewer", false);
        for (const auto& r : c.sends) apply(r, *second);
        second->client->settle();
        EXPECT_EQ(logCount(ignoredLine(*second)), c.ignored);
        // An applied 1440p request reaches the 1080p monitor, which cannot
        // take it: the shared mode stays as it was either way.
        EXPECT_EQ(logContains(physical1440Refused), c.reachesDisplay);
        EXPECT_EQ(currentRequest().mode, VideoCaptureMode::physical1080);
        EXPECT_EQ(logContains("capture mode inferred as explicit legacy selection from " + second->id.id8() +
                              ": Physical 1440p"),
                  c.sends.size() == 2 && c.ignored == 1);
        if (c.ignored > 0) {
            // Answered with the running stream's configuration and a key frame.
            EXPECT_TRUE(logContains("video config resent (ignored automatic capture mode refresh)"));
            EXPECT_GE(second->ofType(AuxPacketType::videoStreamConfig).size(), 2u);
        }
        first->client->close();
        second->client->close();
        ASSERT_TRUE(waitForSessions(0, 0));
    }
}

TEST_F(Arbitration, AnUnchangedShapeChangesTheEncoderOnlyAsFarAsNeeded) {
    struct Case {
        const char* name;
        Request request;
        std::string line;
        bool restarts;
    };
    Request wifi = explicitly(sharedRequest());
    wifi.flags |= Request::flagWiFiRoute;
    Request bitrate = explicitly(sharedRequest());
    bitrate.bitrate = 6'000'000;
    Request fps = explicitly(sharedRequest());
    fps.fps = 24;
    const std::vector<Case> cases{
        {"Wi-Fi mark alone", wifi, "capture mode unchanged; resending video config", false},
        {"bit rate alone", bitrate, "dynamic bitrate update: bitrate=6000000", false},
        {"frame rate", fps, "capture format changed; restarting stream with", true},
    };
    auto v = streamingViewer();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        apply(explicitly(sharedRequest()), *v);
        run(0.5, {v.get()});
        const uint64_t before = generation();
        apply(c.request, *v);
        EXPECT_TRUE(logContains(c.line));
        EXPECT_EQ(generation() != before, c.restarts);
    }
}

TEST_F(Arbitration, AViewersFrameRateAndBitRateAreBroughtWithinWhatTheEncoderRuns) {
    struct Case {
        int fps;
        int64_t bitrate;
        int expectedFps;
        int64_t expectedBitrate;
    };
    auto v = streamingViewer();
    for (const auto& c : std::vector<Case>{{0, 0, 1, 1'000'000},
                                           {-5, 999'999, 1, 1'000'000},
                                           {120, 4'000'000'000, 60, 64'000'000},
                                           {60, 0, 60, 1'000'000}}) {
        SCOPED_TRACE(c.fps);
        Request r = explicitly(sharedRequest());
        r.fps = c.fps;
        r.bitrate = c.bitrate;
        apply(r, *v);
        EXPECT_EQ(currentRequest().fps, c.expectedFps);
        EXPECT_EQ(currentRequest().bitrate, c.expectedBitrate);
        run(0.3, {v.get()});
    }
    // Frame rate unchanged: the clamped bit rate went to the running encoder.
    EXPECT_TRUE(logContains("dynamic bitrate update: bitrate=1000000"));
}

TEST_F(Arbitration, FourFourFourIsKeptUpToALongerEncodedSideOf1920) {
    auto v = streamingViewer();
    for (auto [width, kept] : std::vector<std::pair<int, bool>>{{1920, true}, {1921, false}}) {
        SCOPED_TRACE(width);
        log->clear();
        Request r = explicitly(Request::preset(VideoCaptureMode::easy, VideoChromaMode::yuv444,
                                               VideoCaptureBackend::physical));
        r.pixelWidth = width;
        r.pixelHeight = 1080;
        apply(r, *v);
        EXPECT_EQ(logContains("video request 4:4:4 demoted to 4:2:0"), !kept);
        EXPECT_EQ(currentRequest().chromaMode, kept ? VideoChromaMode::yuv444 : VideoChromaMode::yuv420);
    }
}

TEST_F(Arbitration, ALeavingViewersRequestsNoLongerShapeTheStream) {
    auto stays = streamingViewer();
    auto leaves = viewer("Mac Viewer", false);
    Request wifi = explicitly(sharedRequest());
    wifi.flags |= Request::flagWiFiRoute;
    apply(wifi, *leaves);
    run(0.5, {stays.get(), leaves.get()});
    EXPECT_TRUE(logContains("video delivery: shared-canvas Wi-Fi shaping on"));
    leaves->client->close();
    ASSERT_TRUE(waitForSessions(0, 1));
    EXPECT_TRUE(logContains("video delivery: shared-canvas Wi-Fi shaping off (session " + leaves->id.id8()));
    EXPECT_FALSE(server->queue.syncValue([&] {
        return server->streamControl.lastVideoRequestBySource.count(leaves->id) +
               server->streamControl.lastCaptureModeBySource.count(leaves->id);
    }));
}

TEST_F(Arbitration, WhenTheIOSViewerLeavesTheMacViewerSortingFirstGetsItsModeBack) {
    auto a = viewer("Mac Viewer", false);
    auto b = viewer("Mac Viewer", false);
    auto ios = viewer("iOS Viewer", false);
    const auto& first = a->id.uuidString() < b->id.uuidString() ? a : b;
    const auto& second = first == a ? b : a;
    Request own = explicitly(sharedRequest().withMode(VideoCaptureMode::physical1440));
    apply(own, *first);
    apply(explicitly(sharedRequest()), *second);
    Request iosRequest = explicitly(sharedRequest());
    iosRequest.flags |= Request::flagIOSBuiltInDisplay;
    apply(iosRequest, *ios);
    ASSERT_TRUE(currentRequest().flags & Request::flagIOSBuiltInDisplay);

    const size_t before = logCount("host display logical-mode mismatch: mode=Physical 1440p");
    ios->client->close();
    ASSERT_TRUE(waitForSessions(0, 2));
    EXPECT_TRUE(logContains("display: iOS capture ended; restoring Physical 1440p for remaining Viewer " +
                            first->id.id8()));
    // The 1080p monitor cannot take 1440p, so the restored request is tried
    // on it and the display keeps Physical 1080p.
    EXPECT_EQ(logCount("host display logical-mode mismatch: mode=Physical 1440p"), before + 1);
    EXPECT_EQ(currentRequest().mode, VideoCaptureMode::physical1080);
    EXPECT_FALSE(currentRequest().flags & Request::flagIOSBuiltInDisplay);
}

}  // namespace
