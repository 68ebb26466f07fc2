// The server's audio capture lifecycle in virtual time: waiting for the
// permission and for the display topology, retrying failed starts, and
// following display switches.

#include <gtest/gtest.h>

#include "AudioTestSupport.h"
#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "Platform/SimulatedMac/CoreGraphicsDisplays.h"
#include "Platform/Security/Directory.h"
#include "Support/TestSupport.h"

using namespace audiotest;
using platform::SimulatedDisplaySystem;

namespace {

class AudioLifecycle : public VirtualTimeTest {
protected:
    void SetUp() override {
        V230HostAudioAuxServerConfiguration configuration;
        configuration.directory = std::make_shared<platform::InMemoryDirectory>();
        server = std::make_shared<V230HostAudioAuxServer>(configuration);
        onServer([&] {
            server->startupPhysicalDisplayID = server->physicalDisplayID = server->selectedDisplayID = 1;
            server->authorizedAudioSessions.insert(platform::UUID::random());
        });
    }
    void TearDown() override {
        onServer([&] { server->stopAudioCapture(true); });
        runUntilIdle();
        server.reset();
        VirtualTimeTest::TearDown();
    }
    void onServer(const std::function<void()>& work) { server->queue.sync(work); }
    void start() { onServer([&] { server->startAudioCapture(); }); }
    std::shared_ptr<HostAudioCapture> capture() {
        return server->queue.syncValue([&] { return server->audio.audioCapture; });
    }
    size_t count(const std::string& text) const { return log->count(text); }

    std::shared_ptr<V230HostAudioAuxServer> server;
};

TEST_F(AudioLifecycle, AMissingPermissionIsAskedForOnceASecondHoweverManyCallers) {
    platform::SimulatedMachine::current().setPermission(platform::Permission::screenRecording, false);
    start();
    advance(0.3);
    start();
    advance(2.8);
    EXPECT_EQ(count("requesting Screen/System Audio Recording permission"), 4u);
    EXPECT_EQ(count("screen/system audio permission pending, will retry in 1s"), 4u);
    EXPECT_EQ(screenCapture().screenCaptureAccessRequests(), 4u);
    EXPECT_EQ(capture(), nullptr);

    platform::SimulatedMachine::current().setPermission(platform::Permission::screenRecording, true);
    advance(1);
    EXPECT_NE(capture(), nullptr);
    EXPECT_TRUE(logContains("audio capture started"));

    // A stop ends the waiting retry with everything else.
    onServer([&] { server->stopAudioCapture(true); });
    platform::SimulatedMachine::current().setPermission(platform::Permission::screenRecording, false);
    start();
    onServer([&] { server->stopAudioCapture(true); });
    advance(3);
    EXPECT_EQ(count("requesting Screen/System Audio Recording permission"), 5u);
}

TEST_F(AudioLifecycle, AHostWithoutARealDisplayWaitsSixSecondsForTheTopology) {
    platform::SimulatedMachine::current().component<SimulatedDisplaySystem>().configureHeadless();
    onServer([&] { server->startupPhysicalDisplayID = server->physicalDisplayID = server->selectedDisplayID = 0; });
    start();
    advance(5.6);
    for (int attempt = 1; attempt <= 12; ++attempt) {
        EXPECT_EQ(count("audio capture: deferring until the viewer session owns the topology (attempt " +
                        std::to_string(attempt) + ")"),
                  1u);
    }
    EXPECT_EQ(capture(), nullptr);
    advance(0.5);
    EXPECT_TRUE(logContains("audio capture: session topology did not settle; starting on the current display"));
    EXPECT_TRUE(logContains("audio capture selecting display 0 while video display is 0"));
    // At once, without the lookups an exact display would get.
    EXPECT_TRUE(logContains("audio capture error: audio target display 0 unavailable for ScreenCaptureKit. available="));
}

TEST_F(AudioLifecycle, AFailingStartIsRetriedThreeTimesThenGivenUp) {
    screenCapture().setStartError(1, "start refused");
    start();
    // (seconds to wait, starts made by then)
    const std::pair<double, size_t> timeline[] = {{0.0, 1}, {0.49, 1}, {0.02, 2}, {0.98, 2}, {0.02, 3},
                                                  {1.48, 3}, {0.02, 4}, {10, 4}};
    for (const auto& [wait, starts] : timeline) {
        advance(wait);
        EXPECT_EQ(count("audio capture selecting display 1"), starts);
    }
    EXPECT_EQ(count("audio capture error: start refused"), 4u);
    for (const char* line : {"audio capture retry 1/3 in 0.5s", "audio capture retry 2/3 in 1.0s",
                             "audio capture retry 3/3 in 1.5s", "audio capture retry exhausted after 3 attempts"})
        EXPECT_EQ(count(line), 1u) << line;
    EXPECT_EQ(capture(), nullptr);
}

TEST_F(AudioLifecycle, ANoticeIsNoFailureAndAnOldCapturesErrorIsIgnored) {
    onServer([&] { server->useHeadlessVirtualDisplay = true; });
    start();
    runUntilIdle();
    EXPECT_TRUE(logContains(
        "audio capture notice: audio target display 0 unavailable; using ScreenCaptureKit display 1. available=1"));
    EXPECT_TRUE(logContains("audio capture started"));
    auto running = capture();
    const uint64_t generation = server->queue.syncValue([&] { return server->audio.audioCaptureGeneration; });
    server->handleAudioCaptureStartupMessage("late failure", generation - 1);
    runUntilIdle();
    EXPECT_FALSE(logContains("audio capture error"));
    EXPECT_EQ(capture(), running);
    server->handleAudioCaptureStartupMessage("stream gone", generation);
    runUntilIdle();
    EXPECT_TRUE(logContains("audio capture error: stream gone"));
    EXPECT_TRUE(logContains("audio capture retry 1/3 in 0.5s"));
}

TEST_F(AudioLifecycle, ADisplaySwitchRestartsOnlyWhenTheAudioDisplayChanged) {
    platform::SimulatedMachine::current().component<SimulatedDisplaySystem>().configureBuiltInWithExternal1440();
    start();
    runUntilIdle();
    auto first = capture();
    onServer([&] { server->restartAudioCaptureOnDisplaySwitch(0.1); });
    EXPECT_TRUE(logContains("audio capture unchanged on display 1; skipping display-switch restart"));
    onServer([&] {
        server->isPreflightingHeadlessCaptureForSleep = true;
        server->physicalDisplayID = 2;
        server->restartAudioCaptureOnDisplaySwitch(0.1);
    });
    advance(1);
    EXPECT_EQ(capture(), first) << "a sleep preflight leaves audio alone";

    onServer([&] {
        server->isPreflightingHeadlessCaptureForSleep = false;
        server->restartAudioCaptureOnDisplaySwitch(0.1);
    });
    EXPECT_EQ(capture(), nullptr);
    advance(0.09);
    EXPECT_EQ(capture(), nullptr);
    advance(0.02);
    ASSERT_NE(capture(), nullptr);
    EXPECT_EQ(capture()->displayID, 2u);
    EXPECT_EQ(systemAudio().runningAudioStreams(), 1u) << "the old stream was stopped";

    // Sleeping screens leave even a restart alone.
    auto second = capture();
    onServer([&] {
        server->screensAreSleeping = true;
        server->restartAudioCapture(0);
    });
    advance(1);
    EXPECT_EQ(capture(), second);
}

}  // namespace
