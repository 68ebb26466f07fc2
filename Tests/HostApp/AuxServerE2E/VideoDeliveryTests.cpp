// The stream configuration, frame delivery and statistics, fed with frames
// and configurations as the shared capture hands them over.

#include <gtest/gtest.h>

#include <thread>

#include "HostApp/Protocol/VideoControlPayloads.h"
#include "VideoPipelineFixture.h"

namespace {

using StreamConfiguration = VideoPipelineTest;
using FrameDelivery = VideoPipelineTest;
using Statistics = VideoPipelineTest;

size_t countOf(const PipelineViewer& v, AuxPacketType type) { return v.ofType(type).size(); }

TEST(FramePacketPoolTest, ABufferIsReusedOnceNoSenderHoldsItAndNeverBefore) {
    FramePacketPool pool(2);
    const std::vector<uint8_t> frame{1, 2, 3};
    auto first = pool.build(AuxPacketType::videoFrame, 1, frame, 42);
    EXPECT_EQ(*first, makeAuxPacket(AuxPacketType::videoFrame, 1, frame, 42));
    const auto* firstBuffer = first.get();
    auto second = pool.build(AuxPacketType::videoFrame, 0, frame, 43);
    auto third = pool.build(AuxPacketType::videoFrame, 0, frame, 44);  // beyond the pool: a buffer of its own
    EXPECT_NE(second.get(), firstBuffer);
    EXPECT_NE(third.get(), firstBuffer);
    EXPECT_EQ(pool.pooledCountForTesting(), 2u);
    first.reset();
    auto fourth = pool.build(AuxPacketType::videoFrame, 0, std::vector<uint8_t>{9}, 45);
    EXPECT_EQ(fourth.get(), firstBuffer);
    EXPECT_EQ(*fourth, makeAuxPacket(AuxPacketType::videoFrame, 0, std::vector<uint8_t>{9}, 45));
    EXPECT_EQ(*second, makeAuxPacket(AuxPacketType::videoFrame, 0, frame, 43));
}

// A connection on the I/O thread reads a frame and lets go of it, with
// nothing but the buffer's own reference count between it and the capture
// that then rebuilds into the same buffer: the last read must be ordered
// before those writes, which the race detector run checks.
TEST(FramePacketPoolTest, ABufferLetGoOnAnotherThreadIsRewrittenOnlyAfterItsLastRead) {
    FramePacketPool pool(1);
    const std::vector<uint8_t> frame(4096, 7);
    auto sent = pool.build(AuxPacketType::videoFrame, 0, frame, 1);
    const auto* buffer = sent.get();
    std::vector<uint8_t> seen;
    std::thread connection([&seen, held = std::move(sent)]() mutable {
        seen.assign(held->begin(), held->end());
        held.reset();
    });
    platform::TcpConnection::SharedBytes reused;
    while (!reused) {
        auto next = pool.build(AuxPacketType::videoFrame, 0, std::vector<uint8_t>{9}, 2);
        if (next.get() == buffer) reused = std::move(next);
    }
    connection.join();
    EXPECT_EQ(seen, makeAuxPacket(AuxPacketType::videoFrame, 0, frame, 1));
    EXPECT_EQ(*reused, makeAuxPacket(AuxPacketType::videoFrame, 0, std::vector<uint8_t>{9}, 2));
}

TEST_F(StreamConfiguration, EachCaptureGenerationIsAnnouncedOnceAndStaleOnesNever) {
    auto v = viewer("Mac Viewer", false);
    const auto config = fakeConfig();
    const uint64_t g = generation();
    struct Step {
        uint64_t generation;
        VideoStreamConfigPayload config;
        size_t announced;  // type 19 messages received so far
    };
    const Step steps[] = {
        {g, config, 1},
        {g, config, 1},              // the same capture repeating itself
        {g, fakeConfig(480), 2},     // the same capture with a new encoder
        {g + 5, fakeConfig(640), 2},  // not the current capture
    };
    for (const auto& step : steps) {
        acceptConfig(step.config, step.generation);
        v->client->settle();
        EXPECT_EQ(countOf(*v, AuxPacketType::videoStreamConfig), step.announced);
    }
    EXPECT_EQ(v->ofType(AuxPacketType::videoStreamConfig).back().payload, fakeConfig(480).encode());
    EXPECT_TRUE(logContains("aux video config H264 4:2:0 Physical 1080p 320x180 @60 target=14Mb/s"));
    // A restarted capture announces an equal configuration again.
    server->queue.sync([&] { ++server->streamControl.videoCaptureGeneration; });
    acceptConfig(fakeConfig(480));
    v->client->settle();
    EXPECT_EQ(countOf(*v, AuxPacketType::videoStreamConfig), 3u);
}

TEST_F(StreamConfiguration, ResendNeedsAConfigurationAndAsksForNothingWithoutACapture) {
    auto v = viewer("Mac Viewer", false);
    server->queue.sync([&] { server->resendCurrentVideoConfigIfAvailable("unchanged capture mode"); });
    EXPECT_TRUE(logContains("video config resend skipped (unchanged capture mode); no active config yet"));
    acceptConfig(fakeConfig());
    server->queue.sync([&] { server->resendCurrentVideoConfigIfAvailable("bitrate update"); });
    v->client->settle();
    EXPECT_EQ(countOf(*v, AuxPacketType::videoStreamConfig), 2u);
    EXPECT_TRUE(logContains("video config resent (bitrate update)"));
}

TEST_F(FrameDelivery, EveryViewerHearsTheConfigurationBeforeItsFirstFrameAndStaleFramesNever) {
    auto early = viewer("Early", false);
    acceptConfig(fakeConfig());
    auto late = viewer("Late", false);
    feedFrame(true, 1'000);
    feedFrame(false, 2'000);
    feedFrame(false, 3'000, generation() - 1);
    for (auto* v : {early.get(), late.get()}) {
        v->client->settle();
        // Once, at the announcement or at login: the first frame finds the
        // session with its stream's configuration already.
        EXPECT_EQ(v->videoOrder(), (std::vector<AuxPacketType>{AuxPacketType::videoStreamConfig,
                                                                AuxPacketType::videoFrame, AuxPacketType::videoFrame}));
        auto frames = v->ofType(AuxPacketType::videoFrame);
        EXPECT_EQ(frames[0].header.flags, 1);
        EXPECT_EQ(frames[1].header.flags, 0);
        EXPECT_EQ(frames[0].header.timestampNs, 1'000u);
        EXPECT_EQ(frames[1].payload, (std::vector<uint8_t>{0, 0, 0, 2, 0x26, 2}));
    }
    EXPECT_EQ(logCount("video config re-announced to "), 0u);
    EXPECT_EQ(server->queue.syncValue([&] { return server->streamControl.videoFramesSent; }), 2);
}

TEST_F(FrameDelivery, ABackedUpViewerWaitsForAKeyFrameAndTwoOfThemAskForOne) {
    auto a = viewer("A", false);
    auto b = viewer("B", false);
    acceptConfig(fakeConfig());
    // Window 8: seventeen frames outstanding is more than twice the window.
    for (int i = 0; i < 17; ++i) feedFrame(i == 0, 1'000 + i);
    feedFrame(false, 2'000);
    EXPECT_EQ(logCount("video: viewer backlog skipped a frame; requesting keyframe"), 1u);
    EXPECT_EQ(logCount("video delivery: session " + a->id.id8() + " backed-up stream=shared"), 1u);

    // Catching up does not end the wait; only a key frame does.
    server->queue.sync([&] {
        for (int i = 0; i < 17; ++i) {
            server->recordVideoFrameAck(a->id);
            server->recordVideoFrameAck(b->id);
        }
    });
    feedFrame(false, 3'000);
    feedFrame(true, 4'000);
    feedFrame(false, 5'000);
    for (auto* v : {a.get(), b.get()}) {
        v->client->settle();
        auto frames = v->ofType(AuxPacketType::videoFrame);
        ASSERT_EQ(frames.size(), 19u);
        EXPECT_EQ(frames[17].header.timestampNs, 4'000u);
        EXPECT_EQ(frames[18].header.timestampNs, 5'000u);
    }
    auto line = server->queue.syncValue([&] { return server->videoSessionDeliveryStatsLine(); });
    ASSERT_TRUE(line);
    EXPECT_NE(line->find("A[shared]:tx=19fps skip=2fps out=2"), std::string::npos) << *line;
    EXPECT_FALSE(server->queue.syncValue([&] { return server->videoSessionDeliveryStatsLine(); }));
}

TEST_F(FrameDelivery, AConnectionThatIsNotReadyIsClosedAndItsSessionRemoved) {
    auto v = viewer("Mac Viewer", false);
    // A session whose connection never became ready.
    auto stale = platform::TcpConnection::connect("127.0.0.1", server->boundVideoPort());
    const auto staleID = platform::UUID::random();
    server->queue.sync([&] {
        server->videoSessions[staleID] = stale;
        server->authorizedVideoSessions.insert(staleID);
        server->authorizedVideoSessionCount.increment();
        server->beginVideoSessionAckWindow(staleID);
    });
    feedFrame(true, 1'000);
    EXPECT_TRUE(logContains("video session " + staleID.id8() + " connection is not ready; pruning"));
    EXPECT_EQ(stale->state(), platform::ConnectionState::cancelled);
    server->queue.sync([&] {
        EXPECT_FALSE(server->authorizedVideoSessions.count(staleID));
        EXPECT_FALSE(server->streamControl.videoSessionOutstandingAcks.count(staleID));
    });
    v->client->settle();
    EXPECT_EQ(countOf(*v, AuxPacketType::videoFrame), 1u);
}

TEST_F(Statistics, OneClampedMessageASecondAndTheStatisticsLine) {
    auto v = viewer("Mac Viewer", false);
    advance(1.0);  // a first, empty window
    v->client->settle();
    const size_t before = countOf(*v, AuxPacketType::videoStats);
    server->queue.sync([&] {
        auto& sc = server->streamControl;
        sc.videoConfigSummary = "summary";
        sc.videoCaptureFrames = 70'000;
        sc.videoEncodeSubmits = 59;
        sc.videoEncodeDrops = 1;
        sc.videoFramesSent = 58;
        sc.videoBytesSent = 5'000'000'000;
    });
    advance(1.0);
    v->client->settle();
    auto stats = v->ofType(AuxPacketType::videoStats);
    ASSERT_EQ(stats.size(), before + 1);
    ASSERT_EQ(stats.back().payload.size(), 12u);
    auto decoded = VideoStatsPayload::decode(stats.back().payload);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, (VideoStatsPayload{65'535, 59, 1, 58, 4'294'967'295}));
    EXPECT_TRUE(logContains("summary | audio=tx:0 pcm:0 raw:0 0.0KB/s clients=0 cap=70000fps idle=0fps enc=59fps "
                            "encDrop=1 tx=58fps 40000.00Mb/s clients=1"));
    // The next window starts from nothing; without Viewers nothing is sent.
    v->client->close();
    ASSERT_TRUE(waitForSessions(0, 0));
    advance(1.0);
    EXPECT_TRUE(logContains("cap=0fps idle=0fps enc=0fps encDrop=0 tx=0fps 0.00Mb/s clients=0"));
}

TEST_F(Statistics, TheConsoleLockIsAnnouncedOnceEachWayAndAnUnlockRebuildsCapture) {
    auto v = viewer("Mac Viewer", false);
    platform::SimulatedMachine::current().setLocked(true);
    advance(2.0);
    platform::SimulatedMachine::current().setLocked(false);
    advance(1.0);
    EXPECT_EQ(logCount("power: console locked; preserving viewer sessions and waiting for unlock"), 1u);
    EXPECT_EQ(logCount("power: console unlocked; rebuilding capture"), 1u);
    v->client->settle();
    std::vector<std::string> texts;
    for (auto& p : v->ofType(AuxPacketType::hostStatus)) texts.push_back(p.text());
    EXPECT_EQ(texts, (std::vector<std::string>{"power: host locked; the lock screen is showing",
                                               "power: host unlocked; rebuilding the desktop capture"}));
    advance(0.3);
    EXPECT_EQ(screenCapture().streamsStarted(), 1u);
}

}  // namespace
