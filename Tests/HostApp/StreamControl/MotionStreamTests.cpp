// The Motion stream on a Host without a physical display: who opens it,
// how it is sized, what an iOS Viewer receives from it, how often a
// failing one is tried, and when an unused one is released.

#include <gtest/gtest.h>

#include "Platform/Media/CadenceProbe.h"
#include "StreamPolicyFixture.h"

namespace {

using Request = CaptureModeControlPayload;

class MotionStream : public StreamPolicyTest {
protected:
    void SetUp() override {
        StreamPolicyTest::SetUp();
        presentSoftwareDisplayOnly();
    }

    // A supersampled request of an iOS Viewer for its built-in display, in
    // HEVC, which tells its frames from the shared stream's H.264.
    static Request iosRequest() {
        Request r = explicitly(smallRequest());
        r.codec = VideoStreamCodec::hevc;
        r.logicalWidth = r.pixelWidth = 1920;
        r.logicalHeight = r.pixelHeight = 1080;
        r.flags = Request::flagIOSBuiltInDisplay | Request::flagSupersampled;
        return r;
    }

    // The shared stream as if it captured a 4K canvas.
    void sharedCanvasIs4K() {
        server->queue.sync([&] {
            auto& active = server->streamControl.activeVideoCaptureRequest;
            active.pixelWidth = 3840;
            active.pixelHeight = 2160;
        });
    }

    bool motionRuns() {
        return server->queue.syncValue([&] { return server->streamControl.motionStreamCapture != nullptr; });
    }
};

TEST_F(MotionStream, AnIOSViewerBesideAnotherViewerGetsItsOwnStreamOnAppleSiliconOnly) {
    for (bool appleSilicon : {true, false}) {
        SCOPED_TRACE(appleSilicon);
        processor().setAppleSilicon(appleSilicon);
        log->clear();
        auto mac = streamingViewer();
        auto ios = viewer("iOS Viewer", false);
        sharedCanvasIs4K();
        apply(iosRequest(), *ios);
        run(1.0, {mac.get(), ios.get()});

        EXPECT_EQ(motionRuns(), appleSilicon);
        EXPECT_EQ(logContains("display: kept shared virtual mode for concurrent iOS viewer on headless Host from " +
                              ios->id.id8()),
                  !appleSilicon);
        if (appleSilicon) {
            const auto motion = server->queue.syncValue([&] { return *server->streamControl.motionStreamRequest; });
            EXPECT_EQ(std::make_pair(motion.pixelWidth, motion.pixelHeight), std::make_pair(2304, 1296));
            EXPECT_EQ(motion.bitrate, 18'000'000);
            EXPECT_TRUE(logContains("Motion stream: opening"));
            // After its first Motion configuration the iOS Viewer gets only
            // Motion configurations, and every frame decodes against them.
            bool onMotion = false;
            size_t motionFrames = 0;
            for (const auto& p : ios->client->packets()) {
                if (p.header.type == AuxPacketType::videoStreamConfig) {
                    const bool hevc = p.payload[0] == rawValue(VideoStreamCodec::hevc);
                    EXPECT_TRUE(hevc || !onMotion);
                    onMotion = onMotion || hevc;
                } else if (p.header.type == AuxPacketType::videoFrame && onMotion) {
                    ++motionFrames;
                }
            }
            EXPECT_GT(motionFrames, 10u);
            EXPECT_GE(decodeStream(*ios), ios->ofType(AuxPacketType::videoFrame).size());
            for (const auto& config : mac->ofType(AuxPacketType::videoStreamConfig))
                EXPECT_EQ(config.payload[0], rawValue(VideoStreamCodec::h264));
        }
        server->queue.sync([&] { server->stopMotionStream("test case over", true); });
        mac->client->close();
        ios->client->close();
        ASSERT_TRUE(waitForSessions(0, 0));
    }
}

TEST_F(MotionStream, TheCadenceProbeCountsEachHandedOverFrameOnce) {
    CadenceProbe::setRequestedForTesting(true);
    auto mac = streamingViewer();
    auto ios = viewer("iOS Viewer", false);
    apply(iosRequest(), *ios);
    run(3.0, {mac.get(), ios.get()});
    CadenceProbe::setRequestedForTesting(false);
    ASSERT_TRUE(motionRuns());
    // Each statistics tick reports the intervals since the last one.
    auto intervals = [&](const std::string& label) {
        uint64_t total = 0;
        size_t ticks = 0;
        const std::string prefix = "cadence " + label + " n=";
        for (const auto& line : logLines()) {
            const auto at = line.find(prefix);
            if (at == std::string::npos) continue;
            total += std::stoull(line.substr(at + prefix.size()));
            ++ticks;
        }
        return std::make_pair(total, ticks);
    };
    const auto [handedOver, enqueueTicks] = intervals("motion-enqueue");
    const auto [delivered, sendTicks] = intervals("motion-send");
    ASSERT_GT(delivered, 30u);
    // A frame handed over at a tick may be delivered after it: one apart
    // per tick at most.
    EXPECT_LE(handedOver, delivered + enqueueTicks);
    EXPECT_GE(handedOver + sendTicks, delivered);
    server->queue.sync([&] { server->stopMotionStream("test case over", true); });
}

TEST_F(MotionStream, AFourthOpenAfterThreeFailedOnesIsRefused) {
    auto mac = streamingViewer();
    auto ios = viewer("iOS Viewer", false);
    // Without a real display both streams capture the virtual one.
    const uint32_t captured = server->queue.syncValue([&] { return server->selectedDisplayID; });
    ASSERT_NE(captured, monitorID);
    screenCapture().setStartError(captured, "display refused the stream");
    for (int i = 0; i < 4; ++i) {
        server->queue.sync([&] { server->ensureMotionStream("test"); });
        run(0.5, {mac.get(), ios.get()});
    }
    EXPECT_EQ(logCount("Motion stream: opening"), 3u);
    EXPECT_EQ(logCount("Motion stream error: "), 3u);
    EXPECT_FALSE(motionRuns());
    screenCapture().setStartError(captured, std::nullopt);
}

TEST_F(MotionStream, ARestartReopensAfterItsDelayUnlessTheStreamIsClosedForGoodMeanwhile) {
    auto mac = streamingViewer();
    auto ios = viewer("iOS Viewer", false);
    for (bool closedMeanwhile : {false, true}) {
        SCOPED_TRACE(closedMeanwhile);
        apply(iosRequest(), *ios);
        run(0.5, {mac.get(), ios.get()});
        ASSERT_TRUE(motionRuns());
        server->queue.sync([&] { server->restartMotionStream("screens woke", 1.0); });
        EXPECT_FALSE(motionRuns());
        if (closedMeanwhile) server->queue.sync([&] { server->stopMotionStream("media idle teardown", true); });
        run(1.5, {mac.get(), ios.get()});
        EXPECT_EQ(motionRuns(), !closedMeanwhile);
    }
}

TEST_F(MotionStream, AnUnusedStreamIsReleasedAfter120sOr3sOnceTheCanvasIsSmallAgain) {
    struct Case {
        const char* reason;
        bool canvasBackInEasyClass;
        double notYet, due;
    };
    for (const auto& c : std::vector<Case>{{"last Motion stream subscriber left", false, 119, 1.5},
                                           {"shared canvas returned to the Easy class", true, 2.8, 0.4}}) {
        SCOPED_TRACE(c.reason);
        auto mac = streamingViewer();
        auto ios = viewer("iOS Viewer", false);
        apply(iosRequest(), *ios);
        run(0.5, {mac.get(), ios.get()});
        ASSERT_TRUE(motionRuns());
        // Nothing changes on the screen: no frames need acknowledging.
        screenCapture().setPictureHeldStill(true);
        ios->client->close();
        ASSERT_TRUE(waitForSessions(0, 1));
        if (c.canvasBackInEasyClass) acceptConfig(fakeConfig());
        advance(c.notYet);
        EXPECT_TRUE(motionRuns());
        advance(c.due);
        EXPECT_FALSE(motionRuns());
        EXPECT_TRUE(logContains(std::string("Motion stream: closing (") + c.reason + ")"));
        screenCapture().setPictureHeldStill(false);
        mac->client->close();
        ASSERT_TRUE(waitForSessions(0, 0));
    }
}

}  // namespace
