// The shared capture end to end: the default start, restarts, pause and
// retries, and a real stream that Viewers decode while one of them stops
// acknowledging and is pruned.

#include <gtest/gtest.h>

#include "VideoPipelineFixture.h"

namespace {

using CaptureStart = VideoPipelineTest;
using EndToEnd = VideoPipelineTest;

TEST_F(EndToEnd, AnAcknowledgingViewerDecodesTheStreamWhileASilentOneIsPrunedAfterThreeSeconds) {
    auto steady = viewer("Steady");
    auto silent = viewer("Silent");
    run(1.0, {steady.get(), silent.get()});
    silent->acknowledges = false;
    const size_t framesBefore = steady->ofType(AuxPacketType::videoFrame).size();
    run(3.2, {steady.get(), silent.get()});

    EXPECT_TRUE(silent->client->waitClosed());
    EXPECT_TRUE(logContains("video aux client dead: no frame ACK for 3.0s outstanding="));
    EXPECT_TRUE(logContains("; pruning " + silent->id.id8()));
    EXPECT_FALSE(steady->client->isClosed());
    // The steady Viewer kept its frame rate throughout.
    EXPECT_GE(steady->ofType(AuxPacketType::videoFrame).size() - framesBefore, 180u);
    for (auto* v : {steady.get(), silent.get()}) {
        auto order = v->videoOrder();
        ASSERT_FALSE(order.empty());
        EXPECT_EQ(order.front(), AuxPacketType::videoStreamConfig);
    }
    EXPECT_GE(decodeStream(*steady), steady->ofType(AuxPacketType::videoFrame).size());
}

TEST_F(CaptureStart, WithoutARequestTheDefaultStartsAfterAMomentAsHevcAt60WithTwoKeyFrames) {
    const uint64_t loginNs = platform::Clock::uptimeNs();
    auto v = viewer();
    run(0.4, {v.get()});
    EXPECT_TRUE(logContains("video: awaiting initial capture-mode request"));
    EXPECT_TRUE(v->ofType(AuxPacketType::videoFrame).empty());
    run(1.5, {v.get()});
    EXPECT_TRUE(logContains("video: initial capture-mode request not received; starting default Easy"));
    // Easy on a real display captures it at its current mode, 0.1 s later.
    EXPECT_TRUE(logContains("easy adaptive: capturing physical display 7 at current display mode"));
    auto configs = v->ofType(AuxPacketType::videoStreamConfig);
    ASSERT_FALSE(configs.empty());
    EXPECT_EQ(configs.back().payload[0], 2);   // HEVC
    EXPECT_EQ(configs.back().payload[12], 60);  // fps
    // Key frames: the encoder's first picture, which follows the one
    // announcement of the configuration, and the one asked for half a
    // second after the start; nothing in between.
    EXPECT_EQ(configs.size(), 1u);
    std::vector<double> keyFrameSeconds;
    for (auto& f : v->ofType(AuxPacketType::videoFrame))
        if (f.header.flags & 1) keyFrameSeconds.push_back(double(f.header.timestampNs - loginNs) / 1e9);
    ASSERT_EQ(keyFrameSeconds.size(), 2u);
    EXPECT_NEAR(keyFrameSeconds[0], 0.55, 0.04);
    EXPECT_NEAR(keyFrameSeconds[1], 0.95, 0.04);
    EXPECT_TRUE(logContains("aux video config HEVC 4:2:0 Easy Easy backing=320x180 @60 target=8Mb/s"));
    EXPECT_GE(decodeStream(*v), v->ofType(AuxPacketType::videoFrame).size());
}

TEST_F(CaptureStart, ARequestWithinTheWaitLeavesTheDefaultStartNothingToDo) {
    auto v = viewer();
    auto request = smallRequest().encode();
    v->client->send(AuxPacketType::captureModeControl, request);
    run(1.0, {v.get()});
    EXPECT_FALSE(logContains("initial capture-mode request not received"));
    EXPECT_EQ(screenCapture().streamsStarted(), 1u);
}

TEST_F(CaptureStart, TwoRestartsATenthApartBuildOneCapture) {
    auto v = viewer("Mac Viewer", false);
    server->queue.sync([&] { server->restartVideoCapture(0.2); });
    advance(0.1);
    server->queue.sync([&] { server->restartVideoCapture(0.2); });
    run(1.0, {v.get()});
    EXPECT_EQ(screenCapture().streamsStarted(), 1u);
    EXPECT_EQ(logCount("aux video started"), 1u);
}

TEST_F(CaptureStart, PauseHoldsAgainstEveryRoadBackUntilResumed) {
    auto listener = audioClient();
    ASSERT_TRUE(listener->logIn(consoleUser, password, "Mac Viewer"));
    auto v = viewer("Mac Viewer", false);
    auto audioRuns = [&] { return server->queue.syncValue([&] { return server->audio.audioCapture != nullptr; }); };
    server->queue.sync([&] { server->restartVideoCapture(0); });
    run(0.2, {v.get()});
    ASSERT_TRUE(server->queue.syncValue([&] { return server->streamControl.videoCapture != nullptr; }));
    ASSERT_TRUE(audioRuns());
    server->queue.sync([&] {
        server->setPaused(true);
        server->setPaused(true);
        server->restartVideoCapture(0);  // an unlock, a chroma or bit-rate change
        server->startVideoCapture();
    });
    run(1.5, {v.get()});
    const size_t framesWhilePaused = v->ofType(AuxPacketType::videoFrame).size();
    run(0.5, {v.get()});
    EXPECT_EQ(v->ofType(AuxPacketType::videoFrame).size(), framesWhilePaused);
    EXPECT_FALSE(audioRuns());

    server->queue.sync([&] { server->setPaused(false); });
    run(2.0, {v.get()});
    EXPECT_GT(v->ofType(AuxPacketType::videoFrame).size(), framesWhilePaused);
    EXPECT_TRUE(audioRuns());
}

TEST_F(CaptureStart, WithoutPermissionOneRetryASecondWhateverTheCallersAndOnePrompt) {
    platform::SimulatedMachine::current().setPermission(platform::Permission::screenRecording, false);
    auto v = viewer("Mac Viewer", false);
    server->queue.sync([&] {
        for (int i = 0; i < 3; ++i) server->startVideoCapture();
    });
    const std::string retry = "screen recording permission missing for video, will retry in 1s";
    EXPECT_EQ(logCount(retry), 3u);
    advance(2.05);
    EXPECT_EQ(logCount(retry), 5u);
    v->client->settle();
    EXPECT_EQ(v->ofType(AuxPacketType::hostStatus).size(), 1u);
    EXPECT_EQ(v->ofType(AuxPacketType::hostStatus)[0].text(),
              "video: Host needs Screen Recording permission for remote display");

    platform::SimulatedMachine::current().setPermission(platform::Permission::screenRecording, true);
    advance(1.0);
    EXPECT_EQ(screenCapture().streamsStarted(), 1u);
    EXPECT_EQ(logCount(retry), 5u);
}

TEST_F(CaptureStart, HeadlessDisplayMissingFromCaptureIsRetriedSixTimesWithGrowingDelays) {
    auto v = viewer("Mac Viewer", false);
    server->queue.sync([&] {
        server->useHeadlessVirtualDisplay = true;
        for (int i = 0; i < 7; ++i) server->scheduleVideoStartRetryIfNeeded("display 9 unavailable for ScreenCaptureKit");
    });
    for (auto [attempt, delay] : std::vector<std::pair<int, const char*>>{
             {1, "0.40"}, {2, "0.80"}, {3, "1.20"}, {4, "1.60"}, {5, "2.00"}, {6, "2.00"}}) {
        EXPECT_TRUE(logContains("aux video retry " + std::to_string(attempt) + "/6 waiting for display " +
                                std::to_string(monitorID) + " in " + delay + "s"));
    }
    EXPECT_TRUE(logContains("aux video retry exhausted for display 7"));
    // Not on the physical backend, and not once a configuration came.
    server->queue.sync([&] {
        server->streamControl.videoStartRetryAttempts = 0;
        server->useHeadlessVirtualDisplay = false;
        server->scheduleVideoStartRetryIfNeeded("display 9 unavailable for ScreenCaptureKit");
    });
    EXPECT_EQ(logCount("aux video retry 1/6"), 1u);
}

TEST_F(CaptureStart, ARestartWhoseServerIsGoneStillStopsTheOldCapture) {
    auto v = viewer("Mac Viewer", false);
    server->queue.sync([&] { server->restartVideoCapture(0); });
    run(0.2, {v.get()});
    auto capture = server->queue.syncValue([&] { return server->streamControl.videoCapture; });
    ASSERT_TRUE(capture);
    auto stream = capture->streamForTesting();
    ASSERT_TRUE(stream && stream->isRunning());
    // The restart's stop step runs only after the server is gone.
    server->queue.sync([&] { server->restartVideoCapture(0); });
    std::weak_ptr<V230HostAudioAuxServer> weak = server;
    server.reset();
    runUntilIdle();
    ASSERT_TRUE(weak.expired());
    EXPECT_FALSE(stream->isRunning());
}

}  // namespace

namespace {

using PauseOwnership = VideoPipelineTest;

// A pause belongs to the Viewers that asked for it: it holds while one of
// them stays and ends when the last has gone, so the next Viewer is served.
TEST_F(PauseOwnership, APauseEndsWhenTheLastViewerThatAskedForItLeaves) {
    auto pause = [](PipelineViewer& v) {
        v.client->send(AuxPacketType::hostShortcut,
                       std::vector<uint8_t>{static_cast<uint8_t>(HostShortcutKind::pauseStreaming)});
    };
    auto paused = [&] { return server->queue.syncValue([&] { return server->streamControl.isPaused; }); };
    auto first = viewer("First");
    auto second = viewer("Second");
    run(1.0, {first.get(), second.get()});
    pause(*first);
    pause(*second);
    run(0.2, {first.get(), second.get()});
    ASSERT_TRUE(paused());

    first->client->close();
    ASSERT_TRUE(waitForSessions(0, 1));
    run(0.5, {second.get()});
    EXPECT_TRUE(paused()) << "the second Viewer asked for the pause too";

    second->client->close();
    ASSERT_TRUE(waitForSessions(0, 0));
    EXPECT_FALSE(paused());
    EXPECT_TRUE(logContains("stream: pause ended; session " + second->id.id8() + " that asked for it left"));

    auto next = viewer("Next");
    run(2.0, {next.get()});
    EXPECT_FALSE(next->ofType(AuxPacketType::videoStreamConfig).empty());
    EXPECT_FALSE(next->ofType(AuxPacketType::videoFrame).empty());
    EXPECT_GE(decodeStream(*next), 1u);
}

}  // namespace

namespace {

using HeldServerQueue = VideoPipelineTest;

// While the server queue takes nothing, at most three frames wait for it;
// the rest are dropped and counted, a key frame is asked for at once, and
// the Viewer's stream picks up at that key frame and decodes throughout.
TEST_F(HeldServerQueue, AtMostThreeFramesWaitAndTheStreamResumesOnAKeyFrame) {
    auto v = viewer();
    run(1.5, {v.get()});
    ASSERT_FALSE(v->ofType(AuxPacketType::videoFrame).empty()) << "the default start streams";
    const uint64_t holdStart = platform::Clock::uptimeNs();
    const size_t before = v->ofType(AuxPacketType::videoFrame).size();
    server->queue.suspend();
    advance(2.0);
    const uint64_t holdEnd = platform::Clock::uptimeNs();
    server->queue.resume();
    run(1.0, {v.get()});

    auto frames = v->ofType(AuxPacketType::videoFrame);
    size_t capturedWhileHeld = 0;
    std::optional<bool> firstAfterHoldIsKey;
    for (size_t i = before; i < frames.size(); ++i) {
        const uint64_t at = frames[i].header.timestampNs;
        if (at >= holdStart && at < holdEnd) ++capturedWhileHeld;
        if (at >= holdEnd && !firstAfterHoldIsKey) firstAfterHoldIsKey = (frames[i].header.flags & 1) != 0;
    }
    EXPECT_LE(capturedWhileHeld, size_t(StreamControlState::maxFramesAwaitingServerQueue));
    ASSERT_TRUE(firstAfterHoldIsKey.has_value()) << "frames flow again";
    EXPECT_TRUE(*firstAfterHoldIsKey);
    EXPECT_GE(decodeStream(*v), frames.size());
    // Two seconds at 60 fps less the three that waited: reported as drops.
    int reportedDrops = 0;
    for (const auto& line : log->lines()) {
        if (auto at = line.find("encDrop="); at != std::string::npos) reportedDrops += std::atoi(line.c_str() + at + 8);
    }
    EXPECT_GE(reportedDrops, 60);
    server->queue.sync([&] {
        for (const auto& handOff : server->streamControl.frameHandOff) EXPECT_EQ(handOff.waiting.value(), 0);
    });
}

}  // namespace
