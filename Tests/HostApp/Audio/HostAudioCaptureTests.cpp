// The system-audio capture stream: which display it takes, how long it
// looks for an exact one, what reaches the owner's closures, and how a stop
// ends a start at any step.

#include <gtest/gtest.h>

#include "AudioTestSupport.h"
#include "HostApp/Audio/HostAudioCapture.h"
#include "Platform/Clock.h"
#include "Platform/CoreGraphicsDisplays.h"
#include "Support/TestSupport.h"

using namespace audiotest;
using platform::SimulatedDisplaySystem;

namespace {

platform::SimulatedDisplaySystem& displays() {
    return platform::SimulatedMachine::current().component<SimulatedDisplaySystem>();
}

class AudioCapture : public VirtualTimeTest {
protected:
    struct Frame {
        std::vector<float> pcm;
        uint64_t timestampNs;
    };
    std::shared_ptr<HostAudioCapture> make(uint32_t displayID, bool exact) {
        HostAudioCapture::Callbacks callbacks;
        callbacks.onStarted = [this] { started++; };
        callbacks.onSampleBuffer = [this] { sampleBuffers++; };
        callbacks.onFrame = [this](std::span<const uint8_t> pcm, uint64_t ts) { frames.push_back({floatsOf(pcm), ts}); };
        callbacks.onError = [this](const std::string& text) { errors.push_back(text); };
        capture = HostAudioCapture::create(displayID, exact, platform::DispatchQueue("v230.host.audio.capture"),
                                           platform::DispatchQueue("v230.host.audio.lifecycle"), std::move(callbacks));
        return capture;
    }
    void TearDown() override {
        if (capture) capture->stop(true);
        VirtualTimeTest::TearDown();
    }
    std::shared_ptr<HostAudioCapture> capture;
    int started = 0;
    int sampleBuffers = 0;
    std::vector<Frame> frames;
    std::vector<std::string> errors;
};

TEST_F(AudioCapture, AnExactDisplayListedFromTheThirdRetryStartsAfter750msSilently) {
    const uint64_t t0 = platform::Clock::uptimeNs();
    make(7, true)->start();
    advance(0.6);
    displays().addDisplay(SimulatedDisplaySystem::plainMonitor(7, 1920, 1080, 3024, 0));
    advance(0.14);
    EXPECT_EQ(started, 0);
    advance(0.02);
    EXPECT_EQ(started, 1);
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(screenCapture().shareableContentFetches(), 4u);
    EXPECT_EQ(capture->streamForTesting()->displayID(), 7u);
    EXPECT_GE(platform::Clock::uptimeNs() - t0, 750000000u);
}

TEST_F(AudioCapture, AnExactDisplayNeverListedIsGivenUpAfterThirteenFetches) {
    make(7, true)->start();
    advance(2.99);
    EXPECT_TRUE(errors.empty());
    advance(0.02);
    EXPECT_EQ(screenCapture().shareableContentFetches(), 13u);
    EXPECT_EQ(errors, std::vector<std::string>{"audio target display 7 unavailable for ScreenCaptureKit. available=1"});
    advance(5);
    EXPECT_EQ(started, 0);
    EXPECT_EQ(screenCapture().shareableContentFetches(), 13u);
}

struct FallbackCase {
    const char* what;
    std::function<void()> machine;
    std::vector<std::string> errors;
    bool starts;
};

TEST_F(AudioCapture, WithoutAnExactDisplayItFallsBackAndSaysSo) {
    const FallbackCase cases[] = {
        {"the main display", [] { displays().configureBuiltInWithExternal1440(); },
         {"audio target display 0 unavailable; using ScreenCaptureKit display 1. available=1,2"}, true},
        {"the first display when the main one is not listed", [] { displays().setMainDisplayOverride(9); },
         {"audio target display 0 unavailable; using ScreenCaptureKit display 1. available=1"}, true},
        {"no display at all", [] { displays().configureHeadless(); },
         {"audio target display 0 unavailable for ScreenCaptureKit. available="}, false},
    };
    for (const auto& c : cases) {
        platform::SimulatedMachine::install(std::make_shared<platform::SimulatedMachine>());
        c.machine();
        errors.clear();
        started = 0;
        make(0, false)->start();
        runUntilIdle();
        EXPECT_EQ(errors, c.errors) << c.what;
        EXPECT_EQ(started, c.starts ? 1 : 0) << c.what;
        EXPECT_EQ(screenCapture().shareableContentFetches(), 1u) << c.what;
        capture->stop(true);
    }
}

TEST_F(AudioCapture, AStopDuringTheLookupPausesEndsTheStartQuietly) {
    make(7, true)->start();
    advance(0.3);
    const uint64_t before = platform::Clock::uptimeNs();
    capture->stop(true);
    EXPECT_EQ(platform::Clock::uptimeNs(), before) << "nothing to wait for without a stream";
    capture->stop(true);
    advance(5);
    EXPECT_EQ(screenCapture().shareableContentFetches(), 2u);
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(started, 0);
}

TEST_F(AudioCapture, AStopRacingTheLastStartStepLeavesNoStreamRunning) {
    make(1, true);
    capture->beforeStoringStreamForTesting = [this] { capture->stop(false); };
    capture->start();
    advance(1);
    EXPECT_EQ(started, 0);
    EXPECT_EQ(systemAudio().runningAudioStreams(), 0u);
    EXPECT_EQ(capture->streamForTesting(), nullptr);
    EXPECT_TRUE(frames.empty());
}

TEST_F(AudioCapture, AudioBlocksArriveAsStereoPcmWithSampleExactTimes) {
    make(1, true)->start();
    runUntilIdle();
    ASSERT_EQ(started, 1);
    const auto firstSample = static_cast<int64_t>(platform::Clock::uptimeNs() * 48000 / 1000000000);
    advance(1.0);
    ASSERT_EQ(frames.size(), 46u);  // whole 1,024-frame blocks played within the second
    EXPECT_EQ(sampleBuffers, 46) << "the 16 x 16 picture is not an audio buffer";
    for (size_t i = 0; i < frames.size(); ++i) {
        const int64_t first = firstSample + static_cast<int64_t>(i) * 1024;
        EXPECT_EQ(frames[i].timestampNs, HostAudioCapture::timestampNs(platform::CMTime::make(first, 48000)));
        ASSERT_EQ(frames[i].pcm.size(), 2048u);
        EXPECT_FLOAT_EQ(frames[i].pcm[0], static_cast<float>(systemAudio().sampleValue(0, first)));
        EXPECT_FLOAT_EQ(frames[i].pcm[1], static_cast<float>(systemAudio().sampleValue(1, first)));
    }
}

struct SpoiledCase {
    const char* what;
    std::function<void(platform::CMSampleBuffer&)> spoil;
    const char* logLine;
    bool counted;  // reaches onSampleBuffer
    std::optional<uint64_t> timestampNs;  // reaches onFrame with this time
};

TEST_F(AudioCapture, SpoiledBuffersAreDroppedWithALine) {
    const SpoiledCase cases[] = {
        {"invalid", [](auto& b) { b.isValid = false; }, "[NorvessalHost] [AUDIO] Invalid or not ready sampleBuffer",
         false, std::nullopt},
        {"not ready", [](auto& b) { b.dataIsReady = false; },
         "[NorvessalHost] [AUDIO] Invalid or not ready sampleBuffer", false, std::nullopt},
        {"not convertible", [](auto& b) { b.formatDescription.reset(); },
         "[NorvessalHost] [AUDIO] drop frame: cannot convert sampleBuffer at ts=", true, std::nullopt},
        {"negative time", [](auto& b) { b.presentationTimeStamp = platform::CMTime::make(-5, 48000); }, nullptr, true,
         0},
    };
    for (const auto& c : cases) {
        log->clear();
        frames.clear();
        sampleBuffers = 0;
        systemAudio().setBufferTransform(c.spoil);
        make(1, true)->start();
        advance(0.05);
        EXPECT_EQ(sampleBuffers > 0, c.counted) << c.what;
        EXPECT_EQ(!frames.empty(), c.timestampNs.has_value()) << c.what;
        if (c.timestampNs && !frames.empty()) {
            EXPECT_EQ(frames[0].timestampNs, *c.timestampNs) << c.what;
        }
        if (c.logLine) {
            EXPECT_TRUE(logContains(c.logLine)) << c.what;
        }
        capture->stop(true);
    }
}

struct FailureCase {
    const char* what;
    std::function<void()> inject;
    std::string error;
    bool starts;
};

TEST_F(AudioCapture, FailuresAndTheSystemsStopReachOnError) {
    const FailureCase cases[] = {
        {"no permission", [] { platform::SimulatedMachine::current().setPermission(platform::Permission::screenRecording, false); },
         "The user declined TCCs for application, window, display capture", false},
        {"audio output refused",
         [] { screenCapture().setAddStreamOutputError(platform::SCStreamOutputType::audio, "no audio output"); },
         "no audio output", false},
        {"screen output refused",
         [] { screenCapture().setAddStreamOutputError(platform::SCStreamOutputType::screen, "no screen output"); },
         "no screen output", false},
        {"start refused", [] { screenCapture().setStartError(1, "start refused"); }, "start refused", false},
        {"stopped by the system", [] { systemAudio().stopStreamsWithError("device lost"); },
         "ScreenCaptureKit stream stopped: device lost", true},
    };
    for (const auto& c : cases) {
        platform::SimulatedMachine::install(std::make_shared<platform::SimulatedMachine>());
        errors.clear();
        started = 0;
        const bool afterStart = c.starts;
        if (!afterStart) c.inject();
        make(1, true)->start();
        runUntilIdle();
        if (afterStart) c.inject();
        runUntilIdle();
        EXPECT_EQ(errors, std::vector<std::string>{c.error}) << c.what;
        EXPECT_EQ(started, c.starts ? 1 : 0) << c.what;
        EXPECT_EQ(systemAudio().runningAudioStreams(), 0u) << c.what;
        capture->stop(true);
    }
}

TEST_F(AudioCapture, OnlyAWaitingStopWaitsForAStreamThatWillNotEnd) {
    for (bool wait : {false, true}) {
        make(1, true)->start();
        runUntilIdle();
        screenCapture().setIgnoresStop(1, true);
        const uint64_t before = platform::Clock::uptimeNs();
        capture->stop(wait);
        EXPECT_EQ(platform::Clock::uptimeNs() - before, wait ? 2000000000u : 0u) << wait;
        screenCapture().releaseIgnoredStops();
        runUntilIdle();
    }
}

}  // namespace
