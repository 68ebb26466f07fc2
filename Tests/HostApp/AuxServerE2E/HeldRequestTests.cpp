// Requests that each set one value of the Host and cost it a rebuild are
// acted on at a bounded rate, the latest one winning: a chroma and a
// recording are paced with the other stream changes, one a hold for the
// whole Host; desktop steps are dropped past theirs.

#include <gtest/gtest.h>

#include "AuxServerTestFixture.h"
#include "HostApp/Capture/CaptureModeControlPayload.h"
#include "HostApp/Protocol/AudioControlPayloads.h"
#include "HostApp/StreamControl/StreamChangePacer.h"

namespace {

class HeldRequests : public AuxServerTest {
protected:
    // A video Viewer on a stream small enough for 4:4:4.
    std::unique_ptr<AuxTestClient> videoViewer(const std::string& name) {
        auto client = videoClient();
        EXPECT_TRUE(client->logIn(consoleUser, password, name));
        client->send(AuxPacketType::captureModeControl,
                     CaptureModeControlPayload::preset(VideoCaptureMode::physical1080, VideoChromaMode::yuv420,
                                                       VideoCaptureBackend::physical)
                         .encode());
        client->settle();
        return client;
    }
    VideoChromaMode chroma() {
        return server->queue.syncValue([&] { return server->streamControl.currentVideoChromaMode; });
    }
    static size_t statusesContaining(const AuxTestClient& client, const std::string& text) {
        size_t n = 0;
        for (const auto& p : client.packets())
            n += p.header.type == AuxPacketType::hostStatus && p.text().find(text) != std::string::npos;
        return n;
    }
};

TEST_F(HeldRequests, PastAnAppliedChromaChangeTheRestWaitAndOnlyTheLatestIsActedOn) {
    auto video = videoViewer("Viewer");
    advanceThroughTheHold();
    ASSERT_EQ(chroma(), VideoChromaMode::yuv420);
    auto prefer = [&](uint8_t value) {
        video->send(AuxPacketType::videoPreferenceControl, std::vector<uint8_t>{value});
        video->settle();
    };
    prefer(1);
    ASSERT_EQ(chroma(), VideoChromaMode::yuv444) << "a change after a quiet hold is acted on at once";
    for (uint8_t value : {0, 1, 0, 0, 1, 0}) prefer(value);
    EXPECT_EQ(chroma(), VideoChromaMode::yuv444) << "while the change holds, the rest wait";
    advanceThroughTheHold();
    video->settle();
    EXPECT_EQ(chroma(), VideoChromaMode::yuv420) << "the latest, once the hold ends";
    prefer(1);
    EXPECT_EQ(chroma(), VideoChromaMode::yuv420) << "that change holds in its turn";
    advanceThroughTheHold();
    video->settle();
    EXPECT_EQ(chroma(), VideoChromaMode::yuv444);
}

// A paused stream is not started again by a change: the next change waits
// the change's own hold, not for a stream that cannot come back.
TEST_F(HeldRequests, WhileTheStreamIsPausedAChangeHoldsOnlyItsOwnHold) {
    auto video = videoViewer("Viewer");
    advanceThroughTheHold();
    // Paused before the change, or after the change stopped the stream.
    for (const bool pausedFirst : {true, false}) {
        SCOPED_TRACE(pausedFirst ? "paused first" : "paused after the change");
        if (pausedFirst) server->queue.sync([&] { server->setPaused(true); });
        for (uint8_t value : {1, 0}) {
            video->send(AuxPacketType::videoPreferenceControl, std::vector<uint8_t>{value});
            video->settle();
            if (!pausedFirst && value == 1) server->queue.sync([&] { server->setPaused(true); });
        }
        ASSERT_EQ(chroma(), VideoChromaMode::yuv444);
        advance(StreamChangePacer::streamHoldSeconds);
        video->settle();
        EXPECT_EQ(chroma(), VideoChromaMode::yuv420);
        server->queue.sync([&] { server->setPaused(false); });
        advanceThroughTheHold();
    }
}

TEST_F(HeldRequests, AnotherSessionsChangeIsAppliedWhenTheHoldEnds) {
    auto first = videoViewer("First");
    auto second = videoViewer("Second");
    // The second login's capture mode waits out the first's hold, then holds.
    advanceThroughTheHold();
    advanceThroughTheHold();
    first->send(AuxPacketType::videoPreferenceControl, std::vector<uint8_t>{1});
    first->settle();
    ASSERT_EQ(chroma(), VideoChromaMode::yuv444);
    second->send(AuxPacketType::videoPreferenceControl, std::vector<uint8_t>{0});
    second->settle();
    advanceThroughTheHold();
    second->settle();
    EXPECT_EQ(chroma(), VideoChromaMode::yuv420);
}

TEST_F(HeldRequests, PastAStartedRecordingTheRestWaitAndTheLatestWins) {
    auto audio = audioClient();
    ASSERT_TRUE(audio->logIn(consoleUser, password, "Viewer"));
    advance(StreamChangePacer::holdSeconds);
    server->recording.hostRecordingSourceSize.set(320, 180);
    const auto start = HostRecordingControlPayload{HostRecordingAction::start, 0, 0, 1, 1}.encode();
    const auto stop = HostRecordingControlPayload{HostRecordingAction::stop, 0, 0, 1, 1}.encode();
    auto startedStates = [&] {
        audio->settle();
        runUntilIdle();
        size_t n = 0;
        for (const auto& p : audio->packets()) {
            auto state = HostRecordingStatePayload::decode(p.payload);
            n += p.header.type == AuxPacketType::hostRecordingState && state &&
                 state->state == HostRecordingState::started;
        }
        return n;
    };
    for (int i = 0; i < 9; ++i) audio->send(AuxPacketType::hostRecordingControl, start);
    audio->send(AuxPacketType::hostRecordingControl, stop);
    EXPECT_EQ(startedStates(), 1u) << "the first start, and no more";
    EXPECT_TRUE(server->recording.hostRecording.load());
    advance(StreamChangePacer::recordingHoldSeconds);
    EXPECT_TRUE(runUntil([&] { return !server->recording.hostRecording.load(); }))
        << "the latest, a stop, once the hold ends";
    EXPECT_EQ(startedStates(), 1u);
    runUntilIdle();
}

TEST_F(HeldRequests, DesktopStepsPastTheirRateAreDropped) {
    auto audio = audioClient();
    ASSERT_TRUE(audio->logIn(consoleUser, password, "Viewer"));
    audio->settle();
    // Each step acted on is answered at once with exactly one of these.
    auto stepAnswers = [&] {
        audio->settle();
        return statusesContaining(*audio, " desktop requested") + statusesContaining(*audio, "already at the ") +
               statusesContaining(*audio, "cannot switch desktops");
    };
    const size_t burst = static_cast<size_t>(V230HostAudioAuxServer::kRateBurst);
    for (size_t i = 0; i < burst + 6; ++i) audio->send(AuxPacketType::hostShortcut, std::vector<uint8_t>{3});
    EXPECT_EQ(stepAnswers(), burst) << "the burst acted on, the rest dropped";
    advance(V230HostAudioAuxServer::kDesktopStepIntervalSeconds);
    audio->send(AuxPacketType::hostShortcut, std::vector<uint8_t>{4});
    audio->send(AuxPacketType::hostShortcut, std::vector<uint8_t>{4});
    EXPECT_EQ(stepAnswers(), burst + 1) << "one step per half second after it";
    runUntilIdle();
}

}  // namespace
