// The start-up capture warm-up: when it runs, what stops it, and its lines.

#include <gtest/gtest.h>

#include <regex>

#include "HostApp/Capture/StartupCaptureWarmup.h"
#include "Platform/Runtime/Log.h"
#include "Support/TestSupport.h"
#include "VideoCaptureTestSupport.h"

using namespace platform;
using namespace capturetest;

namespace {

class Warmup : public VirtualTimeTest {
protected:
    Warmup() { useMonitor(kDisplay, 640, 360); }

    std::shared_ptr<StartupCaptureWarmup> make() {
        StartupCaptureWarmup::Environment env{
            serverQueue,
            lifecycleQueue,
            [this] { return authorizedVideoSessions > 0; },
            [this] { return startupDisplay; },
            [this](const std::string& line) {
                published.push_back(line);
                Log::line(line);
            },
            {},
        };
        return StartupCaptureWarmup::create(env);
    }
    std::shared_ptr<StartupCaptureWarmup> scheduled() {
        auto warmup = make();
        serverQueue.sync([&] { warmup->schedule(); });
        return warmup;
    }
    bool captureRunning(const StartupCaptureWarmup& w) {
        bool running = false;
        serverQueue.sync([&] {
            if (auto c = w.state().capture)
                if (auto s = c->streamForTesting()) running = s->isRunning();
        });
        return running;
    }

    DispatchQueue serverQueue{"v230.host.audio.aux"};
    DispatchQueue lifecycleQueue{"v230.host.capture.lifecycle"};
    int authorizedVideoSessions = 0;
    uint32_t startupDisplay = kDisplay;
    std::vector<std::string> published;
};

}  // namespace

TEST_F(Warmup, CapturesTheStartupDisplayASecondAfterStartAndStopsAfterItsConfiguration) {
    auto warmup = scheduled();
    advance(0.99);
    EXPECT_EQ(screenCapture().streamsStarted(), 0u);
    EXPECT_TRUE(published.empty());
    advance(0.02);
    EXPECT_EQ(screenCapture().streamsStarted(), 1u);
    EXPECT_TRUE(captureRunning(*warmup));
    std::shared_ptr<SCStream> stream;
    serverQueue.sync([&] { stream = warmup->state().capture->streamForTesting(); });

    advance(0.2);
    ASSERT_EQ(published.size(), 1u);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(published[0], m, std::regex(R"(video: start-up capture warm-up complete \((\d+) ms\))")))
        << published[0];
    // The configuration comes with the first frame, a frame interval after the start.
    EXPECT_GE(std::stoi(m[1]), 16);
    EXPECT_LE(std::stoi(m[1]), 50);
    EXPECT_TRUE(logContains("video: start-up capture warm-up complete ("));
    EXPECT_FALSE(stream->isRunning());
    serverQueue.sync([&] {
        EXPECT_TRUE(warmup->state().finished);
        EXPECT_EQ(warmup->state().capture, nullptr);
    });
    // Nothing more: no deadline line, no second capture.
    advance(5.0);
    EXPECT_EQ(published.size(), 1u);
    EXPECT_EQ(screenCapture().streamsStarted(), 1u);
}

TEST_F(Warmup, IsSkippedWhenAViewerIsAlreadyWatchingOrNothingCanBeCaptured) {
    // The server keeps its warm-up; a dropped one never runs.
    std::vector<std::shared_ptr<StartupCaptureWarmup>> kept;
    scheduled();
    advance(1.1);
    EXPECT_TRUE(published.empty());
    authorizedVideoSessions = 1;
    kept.push_back(scheduled());
    advance(1.1);
    startupDisplay = 0;
    authorizedVideoSessions = 0;
    kept.push_back(scheduled());
    advance(1.1);
    startupDisplay = kDisplay;
    SimulatedMachine::current().setPermission(Permission::screenRecording, false);
    kept.push_back(scheduled());
    advance(1.1);
    EXPECT_EQ(published, (std::vector<std::string>{
                             "video: start-up capture warm-up skipped (video session already authorized)",
                             "video: start-up capture warm-up skipped (no physical display)",
                             "video: start-up capture warm-up skipped (screen recording permission missing)"}));
    EXPECT_EQ(screenCapture().streamsStarted(), 0u);
}

TEST_F(Warmup, IsAbandonedWhenAVideoLoginArrivesBeforeItsConfiguration) {
    screenCapture().setFramesStopped(true);
    auto warmup = scheduled();
    advance(1.1);
    ASSERT_TRUE(captureRunning(*warmup));
    authorizedVideoSessions = 1;
    advance(0.3);
    EXPECT_EQ(published, std::vector<std::string>{"video: start-up capture warm-up skipped (video login arrived)"});
    EXPECT_FALSE(captureRunning(*warmup));
    advance(5.0);
    EXPECT_EQ(published.size(), 1u);
}

TEST_F(Warmup, GivesUpAfterThreeSecondsWithoutAConfiguration) {
    screenCapture().setFramesStopped(true);
    auto warmup = scheduled();
    advance(3.9);
    EXPECT_TRUE(published.empty());
    advance(0.2);
    EXPECT_EQ(published,
              std::vector<std::string>{"video: start-up capture warm-up skipped (no stream configuration within 3 s)"});
    EXPECT_FALSE(captureRunning(*warmup));
}

TEST_F(Warmup, ACaptureFailureEndsItWithTheReason) {
    screenCapture().setStartError(kDisplay, "The display is asleep");
    auto warmup = scheduled();
    advance(1.1);
    EXPECT_EQ(published,
              std::vector<std::string>{"video: start-up capture warm-up skipped (capture error: The display is asleep)"});
    advance(4.0);
    EXPECT_EQ(published.size(), 1u);
}

TEST_F(Warmup, SchedulingTwiceRunsOneWarmup) {
    auto warmup = make();
    serverQueue.sync([&] {
        warmup->schedule();
        warmup->schedule();
    });
    advance(1.5);
    EXPECT_EQ(screenCapture().streamsStarted(), 1u);
    EXPECT_EQ(published.size(), 1u);
}
