// Start and stop of a capture: choosing the display, the failures of a start,
// bounded stops, streams that ignore a stop, and the readiness handshake.

#include <gtest/gtest.h>

#include "HostApp/Capture/HostVideoCapture.h"
#include "Platform/Runtime/Clock.h"
#include "Support/TestSupport.h"
#include "VideoCaptureTestSupport.h"

using namespace platform;
using namespace capturetest;

namespace {

class CaptureLifecycle : public VirtualTimeTest {
protected:
    CaptureLifecycle() { useMonitor(kDisplay, 320, 180); }

    std::shared_ptr<HostVideoCapture> makeCapture(uint32_t display, bool exact) {
        auto profile = VideoStreamProfile::forDisplay(
            display, smallRequest(VideoStreamCodec::h264, VideoChromaMode::yuv420, 320, 180), false, std::nullopt);
        auto capture = HostVideoCapture::create(display, profile, profile, exact, false);
        recorder.attach(*capture);
        return capture;
    }
    double elapsedSince(uint64_t startNs) const { return double(Clock::uptimeNs() - startNs) / 1e9; }

    Recorder recorder;
};

SCDisplay scDisplay(uint32_t id) {
    SCDisplay d;
    d.displayID = id;
    return d;
}

}  // namespace

// ------------------------------------------------------------ display choice

TEST_F(CaptureLifecycle, SelectionPrefersTheDisplayAskedForThenTheMainOneThenTheFirst) {
    const std::vector<SCDisplay> list = {scDisplay(4), scDisplay(9), scDisplay(4)};
    auto pick = [&](uint32_t id, bool exact) {
        auto d = HostVideoCapture::selectTargetDisplay(list, id, exact);
        return d ? d->displayID : 0u;
    };
    EXPECT_EQ(pick(9, true), 9u);
    EXPECT_EQ(pick(9, false), 9u);
    EXPECT_EQ(pick(5, true), 0u);
    // Neither 5 nor the main display (none on this machine's list) is listed.
    EXPECT_EQ(pick(5, false), 4u);
    EXPECT_FALSE(HostVideoCapture::selectTargetDisplay({}, 9, false).has_value());
}

TEST_F(CaptureLifecycle, WithoutTheDisplayAskedForTheMainDisplayIsUsed) {
    displays().setDisplays({SimulatedDisplaySystem::plainMonitor(3, 320, 180, 640, 0),
                            SimulatedDisplaySystem::plainMonitor(kDisplay, 320, 180, 0, 0)});
    ASSERT_EQ(CGMainDisplayID(), kDisplay);
    auto picked = HostVideoCapture::selectTargetDisplay(SCShareableContent::current()->displays, 99, false);
    ASSERT_TRUE(picked.has_value());
    EXPECT_EQ(picked->displayID, kDisplay);

    auto capture = makeCapture(99, false);
    capture->start();
    advance(2.5 * kFrame);
    ASSERT_EQ(recorder.messages.empty(), false);
    EXPECT_EQ(recorder.messages[0],
              "stream-start: video target display 99 unavailable; using ScreenCaptureKit display 7. available=3,7");
    EXPECT_EQ(recorder.events[1], "started");
    EXPECT_FALSE(recorder.frames.empty());
    EXPECT_EQ(recorder.layouts.at(0).displayID, kDisplay);
    capture->stop(true);
}

// ------------------------------------------------------------ start failures

TEST_F(CaptureLifecycle, AnExactDisplayThatNeverAppearsFailsAfterTwelveRetries) {
    auto capture = makeCapture(42, true);
    capture->start();
    advance(2.9);
    EXPECT_TRUE(recorder.messages.empty());
    EXPECT_TRUE(capture->sleepPreflightReadiness().isPending());
    advance(0.2);
    ASSERT_EQ(recorder.messages.size(), 1u);
    EXPECT_EQ(recorder.messages[0], "video target display 42 unavailable for ScreenCaptureKit. available=7");
    EXPECT_EQ(recorder.events, std::vector<std::string>{"error"});
    EXPECT_EQ(capture->sleepPreflightReadiness().kind, SleepPreflightReadiness::Kind::failed);
    EXPECT_EQ(screenCapture().streamsStarted(), 0u);
}

TEST_F(CaptureLifecycle, AnExactDisplayThatAppearsDuringTheRetriesIsCapturedWithoutAMessage) {
    auto capture = makeCapture(42, true);
    capture->start();
    advance(0.6);
    displays().addDisplay(SimulatedDisplaySystem::plainMonitor(42, 320, 180, 320, 0));
    advance(0.3);
    EXPECT_TRUE(recorder.messages.empty() || !recorder.hasMessageContaining("unavailable"));
    ASSERT_FALSE(recorder.events.empty());
    EXPECT_EQ(recorder.events[0], "started");
    EXPECT_EQ(recorder.configs.size(), 1u);
    capture->stop(true);
}

TEST_F(CaptureLifecycle, AnEmptyDisplayListFailsAtOnceWhenAnyDisplayWouldDo) {
    displays().setDisplays({});
    auto capture = makeCapture(42, false);
    capture->start();
    runUntilIdle();
    ASSERT_EQ(recorder.messages.size(), 1u);
    EXPECT_EQ(recorder.messages[0], "video target display 42 unavailable for ScreenCaptureKit. available=");
}

TEST_F(CaptureLifecycle, MissingScreenRecordingPermissionAndStreamStartErrorsAreReported) {
    SimulatedMachine::current().setPermission(Permission::screenRecording, false);
    auto denied = makeCapture(kDisplay, true);
    denied->start();
    runUntilIdle();
    ASSERT_EQ(recorder.messages.size(), 1u);
    EXPECT_NE(recorder.messages[0].find("declined"), std::string::npos);
    EXPECT_EQ(denied->sleepPreflightReadiness().kind, SleepPreflightReadiness::Kind::failed);

    SimulatedMachine::current().setPermission(Permission::screenRecording, true);
    screenCapture().setStartError(kDisplay, "The display is asleep");
    recorder = Recorder{};
    auto refused = makeCapture(kDisplay, true);
    refused->start();
    advance(3 * kFrame);
    EXPECT_EQ(recorder.messages, std::vector<std::string>{"The display is asleep"});
    EXPECT_TRUE(recorder.configs.empty());
    EXPECT_EQ(refused->streamForTesting(), nullptr);
    refused->stop(true);
}

TEST_F(CaptureLifecycle, AStopDuringTheDisplayRetriesEndsTheStartSilently) {
    auto capture = makeCapture(42, true);
    capture->start();
    advance(0.6);
    const uint64_t t0 = Clock::uptimeNs();
    capture->stop(true);
    EXPECT_LT(elapsedSince(t0), 0.01);
    displays().addDisplay(SimulatedDisplaySystem::plainMonitor(42, 320, 180, 320, 0));
    advance(4.0);
    EXPECT_TRUE(recorder.events.empty());
    EXPECT_EQ(screenCapture().streamsStarted(), 0u);
}

// ------------------------------------------------------------ stop

TEST_F(CaptureLifecycle, StopWithWaitReturnsOnceTheStreamHasStoppedAndNothingFollows) {
    auto capture = makeCapture(kDisplay, true);
    capture->start();
    advance(3.5 * kFrame);
    auto stream = capture->streamForTesting();
    ASSERT_TRUE(stream && stream->isRunning());

    const uint64_t t0 = Clock::uptimeNs();
    capture->stop(true);
    EXPECT_LE(elapsedSince(t0), HostVideoCapture::streamStopTimeoutSeconds + HostVideoCapture::encoderStopTimeoutSeconds);
    EXPECT_LT(elapsedSince(t0), 0.01);
    EXPECT_FALSE(stream->isRunning());
    EXPECT_EQ(capture->streamForTesting(), nullptr);

    const size_t events = recorder.events.size();
    const int captured = recorder.captured;
    advance(1.0);
    EXPECT_EQ(recorder.events.size(), events);
    EXPECT_EQ(recorder.captured, captured);
    EXPECT_TRUE(recorder.retained.empty());
    EXPECT_TRUE(recorder.recovered.empty());
    // A second stop has nothing left to do.
    capture->stop(true);
    EXPECT_TRUE(recorder.retained.empty());
}

TEST_F(CaptureLifecycle, AStreamThatIgnoresTheStopIsRetainedThenRecovered) {
    auto capture = makeCapture(kDisplay, true);
    capture->start();
    advance(3.5 * kFrame);
    screenCapture().setIgnoresStop(kDisplay, true);
    auto stream = capture->streamForTesting();
    std::weak_ptr<HostVideoCapture> weakCapture = capture;

    const uint64_t t0 = Clock::uptimeNs();
    capture->stop(true);
    const double waited = elapsedSince(t0);
    EXPECT_GE(waited, HostVideoCapture::streamStopTimeoutSeconds);
    EXPECT_LE(waited, HostVideoCapture::streamStopTimeoutSeconds + HostVideoCapture::encoderStopTimeoutSeconds);
    ASSERT_EQ(recorder.retained.size(), 1u);
    EXPECT_EQ(recorder.retained[0], capture.get());
    EXPECT_TRUE(recorder.recovered.empty());

    // The owner lets go; the unfinished stop keeps the capture alive.
    HostVideoCapture* raw = capture.get();
    stream.reset();
    capture.reset();
    EXPECT_FALSE(weakCapture.expired());

    screenCapture().releaseIgnoredStops();
    runUntilIdle();
    ASSERT_EQ(recorder.recovered.size(), 1u);
    EXPECT_EQ(recorder.recovered[0], raw);
    EXPECT_EQ(recorder.retained.size(), 1u);
    EXPECT_TRUE(weakCapture.expired());
}

TEST_F(CaptureLifecycle, StopWithoutWaitReturnsAtOnceAndStillReportsAStuckStream) {
    auto capture = makeCapture(kDisplay, true);
    capture->start();
    advance(3.5 * kFrame);
    screenCapture().setIgnoresStop(kDisplay, true);
    const uint64_t t0 = Clock::uptimeNs();
    capture->stop(false);
    EXPECT_EQ(Clock::uptimeNs(), t0);
    advance(HostVideoCapture::streamStopTimeoutSeconds - 0.1);
    EXPECT_TRUE(recorder.retained.empty());
    advance(0.2);
    EXPECT_EQ(recorder.retained.size(), 1u);
    screenCapture().releaseIgnoredStops();
    runUntilIdle();
    EXPECT_EQ(recorder.recovered.size(), 1u);
}

TEST_F(CaptureLifecycle, AStreamThatStopsInTimeIsNeverReportedRetained) {
    auto capture = makeCapture(kDisplay, true);
    capture->start();
    advance(3.5 * kFrame);
    capture->stop(false);
    advance(5.0);
    EXPECT_TRUE(recorder.retained.empty());
    EXPECT_TRUE(recorder.recovered.empty());
}

// ------------------------------------------------------------ readiness

TEST_F(CaptureLifecycle, AWaiterOnTheReadinessConditionWakesWithTheFirstConfiguration) {
    auto capture = makeCapture(kDisplay, true);
    EXPECT_TRUE(capture->sleepPreflightReadiness().isPending());
    capture->start();
    const uint64_t t0 = Clock::uptimeNs();
    // The wait lets the capture's own queues run; it ends with the config.
    const auto readiness = capture->sleepPreflightReadinessCondition.waitWhilePending(4.0);
    EXPECT_LT(elapsedSince(t0), 0.1);
    ASSERT_EQ(readiness.kind, SleepPreflightReadiness::Kind::ready);
    ASSERT_EQ(recorder.configs.size(), 1u);
    EXPECT_EQ(readiness.config, recorder.configs[0]);
    capture->stop(true);
}

TEST_F(CaptureLifecycle, AReadinessWaitEndsAtItsTimeOutOrWhenTheStartFails) {
    auto capture = makeCapture(42, true);
    capture->start();
    uint64_t t0 = Clock::uptimeNs();
    EXPECT_TRUE(capture->sleepPreflightReadinessCondition.waitWhilePending(1.0).isPending());
    EXPECT_NEAR(elapsedSince(t0), 1.0, 1e-6);
    t0 = Clock::uptimeNs();
    const auto readiness = capture->sleepPreflightReadinessCondition.waitWhilePending(10.0);
    EXPECT_EQ(readiness.kind, SleepPreflightReadiness::Kind::failed);
    EXPECT_LT(elapsedSince(t0), 2.5);
}

TEST_F(CaptureLifecycle, AStoppedCaptureCanNoLongerBecomeReady) {
    screenCapture().setFramesStopped(true);
    auto capture = makeCapture(kDisplay, true);
    capture->start();
    advance(0.5);
    EXPECT_TRUE(capture->sleepPreflightReadiness().isPending());
    capture->stop(true);
    EXPECT_EQ(capture->sleepPreflightReadiness().kind, SleepPreflightReadiness::Kind::failed);
}
