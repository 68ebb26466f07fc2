// The system-audio capture stream: which display it takes, how long it
// looks for an exact one, what reaches the owner's closures, and how a stop
// ends a start at any step.

#include <gtest/gtest.h>

#include <cmath>

#include "AudioTestSupport.h"
#include "HostApp/Audio/HostAudioCapture.h"
#include "Platform/Runtime/Clock.h"
#include "Platform/SimulatedMac/CoreGraphicsDisplays.h"
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

struct SelectionCase {
    const char* what;
    std::function<void()> machine;
    uint32_t displayID;
    bool exact;
    std::optional<double> seventhDisplayAppearsAt;
    std::vector<std::string> errors;
    size_t fetches;
    std::optional<double> startsAt;  // seconds after start()
};

TEST_F(AudioCapture, TheDisplayIsLookedForFallenBackFromOrGivenUpOnAsItsRuleSays) {
    const SelectionCase cases[] = {
        {"exact, listed from the third retry", [] {}, 7, true, 0.6, {}, 4, 0.75},
        {"exact, never listed", [] {}, 7, true, std::nullopt,
         {"audio target display 7 unavailable for ScreenCaptureKit. available=1"}, 13, std::nullopt},
        {"the main display", [] { displays().configureBuiltInWithExternal1440(); }, 0, false, std::nullopt,
         {"audio target display 0 unavailable; using ScreenCaptureKit display 1. available=1,2"}, 1, 0.0},
        {"the first display when the main one is not listed", [] { displays().setMainDisplayOverride(9); }, 0, false,
         std::nullopt, {"audio target display 0 unavailable; using ScreenCaptureKit display 1. available=1"}, 1, 0.0},
        {"no display at all", [] { displays().configureHeadless(); }, 0, false, std::nullopt,
         {"audio target display 0 unavailable for ScreenCaptureKit. available="}, 1, std::nullopt},
    };
    for (const auto& c : cases) {
        platform::SimulatedMachine::install(std::make_shared<platform::SimulatedMachine>());
        c.machine();
        errors.clear();
        started = 0;
        make(c.displayID, c.exact)->start();
        std::optional<double> startedAt;
        for (int ms = 0; ms <= 4000; ms += 10) {
            if (c.seventhDisplayAppearsAt && ms == std::lround(*c.seventhDisplayAppearsAt * 1000))
                displays().addDisplay(SimulatedDisplaySystem::plainMonitor(7, 1920, 1080, 3024, 0));
            runUntilIdle();
            if (started && !startedAt) startedAt = ms / 1000.0;
            advance(0.01);
        }
        EXPECT_EQ(errors, c.errors) << c.what;
        EXPECT_EQ(screenCapture().shareableContentFetches(), c.fetches) << c.what;
        EXPECT_NEAR(startedAt.value_or(-1), c.startsAt.value_or(-1), 0.011) << c.what;
        capture->stop(true);
    }
}

TEST_F(AudioCapture, AStopDuringTheLookupPausesEndsTheStartQuietly) {
    make(7, true)->start();
    advance(0.3);
    const uint64_t before = platform::Clock::uptimeNs();
    capture->stop(true);
    capture->stop(true);
    EXPECT_EQ(platform::Clock::uptimeNs(), before) << "nothing to wait for without a stream";
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

struct ReportCase {
    const char* what;
    std::function<void()> beforeStart;
    std::function<void()> onceRunning;
    std::vector<std::string> errors;
    bool starts;
    bool counted;                             // buffers reach onSampleBuffer
    std::optional<uint64_t> firstTimestamp;  // frames reach onFrame (0: any time)
    const char* logLine;
};

TEST_F(AudioCapture, FailuresNoticesAndSpoiledBuffersReachTheOwnerAsTheyShould) {
    auto spoil = [](std::function<void(platform::CMSampleBuffer&)> edit) {
        return [edit] { systemAudio().setBufferTransform(edit); };
    };
    auto none = [] {};
    const ReportCase cases[] = {
        {"healthy", none, none, {}, true, true, 1, nullptr},
        {"no permission",
         [] { platform::SimulatedMachine::current().setPermission(platform::Permission::screenRecording, false); }, none,
         {"The user declined TCCs for application, window, display capture"}, false, false, std::nullopt, nullptr},
        {"audio output refused",
         [] { screenCapture().setAddStreamOutputError(platform::SCStreamOutputType::audio, "no audio output"); }, none,
         {"no audio output"}, false, false, std::nullopt, nullptr},
        {"screen output refused",
         [] { screenCapture().setAddStreamOutputError(platform::SCStreamOutputType::screen, "no screen output"); },
         none, {"no screen output"}, false, false, std::nullopt, nullptr},
        {"start refused", [] { screenCapture().setStartError(1, "start refused"); }, none, {"start refused"}, false,
         false, std::nullopt, nullptr},
        {"stopped by the system", none, [] { systemAudio().stopStreamsWithError("device lost"); },
         {"ScreenCaptureKit stream stopped: device lost"}, true, false, std::nullopt, nullptr},
        {"invalid", spoil([](auto& b) { b.isValid = false; }), none, {}, true, false, std::nullopt,
         "[NorvessalHost] [AUDIO] Invalid or not ready sampleBuffer"},
        {"not ready", spoil([](auto& b) { b.dataIsReady = false; }), none, {}, true, false, std::nullopt,
         "[NorvessalHost] [AUDIO] Invalid or not ready sampleBuffer"},
        {"not convertible", spoil([](auto& b) { b.formatDescription.reset(); }), none, {}, true, true, std::nullopt,
         "[NorvessalHost] [AUDIO] drop frame: cannot convert sampleBuffer at ts="},
        {"negative time", spoil([](auto& b) { b.presentationTimeStamp = platform::CMTime::make(-5, 48000); }), none,
         {}, true, true, 0, nullptr},
    };
    for (const auto& c : cases) {
        platform::SimulatedMachine::install(std::make_shared<platform::SimulatedMachine>());
        log->clear();
        errors.clear();
        frames.clear();
        started = sampleBuffers = 0;
        c.beforeStart();
        make(1, true)->start();
        runUntilIdle();
        c.onceRunning();
        advance(0.05);
        EXPECT_EQ(errors, c.errors) << c.what;
        EXPECT_EQ(started, c.starts ? 1 : 0) << c.what;
        EXPECT_EQ(sampleBuffers > 0, c.counted) << c.what;
        EXPECT_EQ(!frames.empty(), c.firstTimestamp.has_value()) << c.what;
        if (c.firstTimestamp == 0u && !frames.empty()) {
            EXPECT_EQ(frames[0].timestampNs, 0u) << c.what;
        }
        EXPECT_TRUE(!c.logLine || logContains(c.logLine)) << c.what;
        capture->stop(true);
        EXPECT_EQ(systemAudio().runningAudioStreams(), 0u) << c.what;
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
