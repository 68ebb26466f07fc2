// What login, removal and termination set in motion in the other
// subsystems, and in which order: a wrong order leaves a returning Viewer
// without a picture, or a leaving one with a stuck button.

#include <gtest/gtest.h>

#include <algorithm>

#include "AuxServerTestFixture.h"
#include "HostApp/Capture/HostVideoCapture.h"
#include "HostApp/Capture/VideoStreamProfile.h"

namespace {

class SessionSteps : public AuxServerTest {
protected:
    // Index of the first log line containing `text` after line `from`;
    // fails the test when there is none.
    size_t lineOf(const std::string& text, size_t from = 0) {
        auto lines = logLines();
        for (size_t i = from; i < lines.size(); ++i)
            if (lines[i].find(text) != std::string::npos) return i;
        ADD_FAILURE() << "no log line contains: " << text;
        return lines.size();
    }
    // Checks that the texts appear in the log in this order.
    void expectInOrder(const std::vector<std::string>& texts) {
        size_t at = 0;
        for (const auto& text : texts) {
            at = lineOf(text, at);
            ++at;
        }
    }
    platform::UUID onlyVideoSession() {
        return server->queue.syncValue([&] { return *server->authorizedVideoSessions.begin(); });
    }
    platform::UUID onlyAudioSession() {
        return server->queue.syncValue([&] { return *server->authorizedAudioSessions.begin(); });
    }
    std::shared_ptr<HostVideoCapture> makeCapture() {
        auto request = CaptureModeControlPayload::preset(VideoCaptureMode::easy, VideoChromaMode::yuv420,
                                                         VideoCaptureBackend::headlessVirtual);
        auto display = server->startupPhysicalDisplayID;
        auto profile = VideoStreamProfile::forDisplay(display, request, false, std::nullopt);
        return HostVideoCapture::create(display, profile, profile, true, false);
    }
    static std::array<uint8_t, 20> requestBytes(const CaptureModeControlPayload& request) {
        std::array<uint8_t, 20> bytes{};
        auto encoded = request.encode();
        std::copy_n(encoded.begin(), bytes.size(), bytes.begin());
        return bytes;
    }
};

TEST_F(SessionSteps, VideoLoginPreparesTheAckWindowAndResendsTheLastConfigurationBeforeTheLayout) {
    VideoStreamConfigPayload config;
    config.codec = VideoStreamCodec::h264;
    config.sps = {0x67, 1};
    config.pps = {0x68, 2};
    server->queue.sync([&] {
        server->streamControl.lastVideoConfig = config;
        server->beginSleepRecoveryViewerReconnectGrace("test");
    });
    auto client = videoClient();
    ASSERT_TRUE(client->logIn(consoleUser, password, "Mac Viewer"));
    ASSERT_TRUE(client->waitForPacket(AuxPacketType::displayLayout));

    std::vector<AuxPacketType> order;
    for (const auto& p : client->packets())
        if (p.header.type != AuxPacketType::hostIdentityProof) order.push_back(p.header.type);
    EXPECT_EQ(order, (std::vector<AuxPacketType>{AuxPacketType::hostSessionInfo, AuxPacketType::videoStreamConfig,
                                                 AuxPacketType::displayLayout}));
    EXPECT_EQ(client->waitForPacket(AuxPacketType::videoStreamConfig)->payload, config.encode());

    auto id = onlyVideoSession();
    server->queue.sync([&] {
        EXPECT_EQ(server->streamControl.videoSessionOutstandingAcks.at(id), 0);
        EXPECT_EQ(server->streamControl.videoSessionLastAckNs.count(id), 1u);
        EXPECT_EQ(server->streamControl.videoSessionLastFrameSentNs.at(id), 0u);
    });
    expectInOrder({"video: awaiting initial capture-mode request",
                   "power: ended Viewer sleep-recovery reconnect grace (Viewer video session reconnected)"});
    EXPECT_FALSE(logContains("waiting for the physical display to return"));
    EXPECT_FALSE(logContains("audio capture selecting display"));
}

TEST_F(SessionSteps, VideoLoginOnlyAsksForAKeyFrameWhenTheSharedCaptureRuns) {
    auto capture = makeCapture();
    server->queue.sync([&] { server->streamControl.videoCapture = capture; });
    auto client = videoClient();
    ASSERT_TRUE(client->logIn(consoleUser, password, "Mac Viewer"));
    client->settle();
    EXPECT_EQ(capture->forceKeyFrameRequested.value(), 1);
    EXPECT_FALSE(logContains("video: awaiting initial capture-mode request"));
    EXPECT_FALSE(logContains("capture preset backend requested"));
}

TEST_F(SessionSteps, VideoLoginReappliesARequestedModeWhenNoCaptureRuns) {
    server->queue.sync([&] {
        server->streamControl.videoCaptureModeWasRequested = true;
        server->streamControl.currentVideoMode = VideoCaptureMode::pro;
    });
    auto client = videoClient();
    ASSERT_TRUE(client->logIn(consoleUser, password, "Mac Viewer"));
    client->settle();
    EXPECT_TRUE(logContains("capture preset backend requested virtual display"));
    EXPECT_FALSE(logContains("video: awaiting initial capture-mode request"));
}

TEST_F(SessionSteps, IOSBuiltInDisplayRequestInTheLoginIsAppliedAsSuchWithAKeyFrame) {
    auto request = CaptureModeControlPayload::preset(VideoCaptureMode::easy, VideoChromaMode::yuv420,
                                                     VideoCaptureBackend::headlessVirtual);
    request.flags |= CaptureModeControlPayload::flagIOSBuiltInDisplay;
    server->queue.sync([&] { server->beginIOSViewerBackgroundSleepGrace(); });
    auto client = videoClient();
    ASSERT_TRUE(client->logIn(consoleUser, password, "iOS Viewer", requestBytes(request)));
    client->settle();
    expectInOrder({"iOS built-in display capture using physical display",
                   "power: ended iOS Viewer reconnect grace (iOS Viewer reconnected)"});
    // Not through the arbitration between Viewers.
    EXPECT_TRUE(server->queue.syncValue([&] { return server->streamControl.lastVideoRequestBySource.empty(); }));
    EXPECT_FALSE(logContains("video: awaiting initial capture-mode request"));
}

TEST_F(SessionSteps, VideoLoginAfterTheLidOpenedRecoversTheSavedPhysicalRequest) {
    server->queue.sync([&] {
        server->sleepPreflightPhysicalCaptureRequest = CaptureModeControlPayload::preset(
            VideoCaptureMode::easy, VideoChromaMode::yuv420, VideoCaptureBackend::physical);
        server->beginSleepRecoveryViewerReconnectGrace("test");
    });
    auto client = videoClient();
    ASSERT_TRUE(client->logIn(consoleUser, password, "Mac Viewer"));
    client->settle();
    // The built-in display is back, so the first check restores it.
    expectInOrder({"power: ended Viewer sleep-recovery reconnect grace (Viewer video session reconnected)",
                   "power: Viewer video session reconnected; waiting for the physical display to return",
                   "power: Viewer video session reconnected; restored pre-lid physical capture on display 1"});
    server->queue.sync([&] {
        EXPECT_FALSE(server->isAwaitingSleepPreflightPhysicalRecovery);
        EXPECT_FALSE(server->sleepPreflightPhysicalCaptureRequest);
    });
}

TEST_F(SessionSteps, AudioLoginStartsAudioCaptureAfterAnnouncingTheEndpoint) {
    auto client = audioClient();
    ASSERT_TRUE(client->logIn(consoleUser, password, "Mac Viewer"));
    ASSERT_TRUE(client->waitForPacket(AuxPacketType::fileTransferEndpoint));
    client->settle();
    expectInOrder({"file aux: endpoint advertised", "audio capture selecting display"});
    EXPECT_FALSE(logContains("video: awaiting initial capture-mode request"));
}

TEST_F(SessionSteps, RemovalReleasesWhatTheViewerHeldThenDecidesTheWarmHold) {
    auto client = audioClient();
    ASSERT_TRUE(client->logIn(consoleUser, password, "Mac Viewer"));
    auto id = onlyAudioSession();
    auto capture = makeCapture();
    server->queue.sync([&] {
        server->streamControl.videoCapture = capture;  // something to hold warm
        server->remoteInput.inputButtonMasks[id] = 3;
        server->remoteInput.inputKeyboardFlags = platform::kCGEventFlagMaskControl;
        server->audio.exclusiveAudioSessionID = id;
        server->audio.viewerHostOutputMuteSessionID = id;
        server->recording.hostRecordingSessionID = id;
        server->removeSession(id, AuxChannel::audio);
    });
    const auto released = postedEvents();
    ASSERT_GE(released.size(), 3u);
    EXPECT_EQ(released[released.size() - 3].type, platform::CGEventType::leftMouseUp);
    EXPECT_EQ(released[released.size() - 2].type, platform::CGEventType::otherMouseUp);
    EXPECT_EQ(released[released.size() - 1].type, platform::CGEventType::keyUp);
    expectInOrder({"aux: session " + id.id8() + " removed channel=audio (logged in)",
                   "input: released 1 held modifier(s) after session disconnected",
                   "exclusive audio released: Viewer disconnected",
                   "audio: viewer Host-output mute released on disconnect; ",
                   "recording: session " + id.id8() + " left; stopping Host-side recording",
                   "viewer media idle; holding capture warm for 120s"});
    server->queue.sync([&] {
        EXPECT_FALSE(server->remoteInput.inputButtonMasks.count(id));
        EXPECT_FALSE(server->audio.viewerHostOutputMuteSessionID.has_value());
        EXPECT_FALSE(server->audio.exclusiveAudioSessionID.has_value());
    });
}

TEST_F(SessionSteps, VideoRemovalForgetsTheAckWindow) {
    auto client = videoClient();
    ASSERT_TRUE(client->logIn(consoleUser, password, "Mac Viewer"));
    auto id = onlyVideoSession();
    server->queue.sync([&] {
        auto& sc = server->streamControl;
        sc.videoSessionsAwaitingKeyFrame.insert(id);
        sc.videoStreamKindAnnounced[id] = HostVideoStreamKind::shared;
        sc.videoSessionDeliveredFrames[id] = 3;
        sc.videoSessionSkippedFrames[id] = 1;
        server->removeSession(id, AuxChannel::video);
        EXPECT_FALSE(sc.videoStreamKindAnnounced.count(id));
        EXPECT_FALSE(sc.videoSessionDeliveredFrames.count(id));
        EXPECT_FALSE(sc.videoSessionSkippedFrames.count(id));
        EXPECT_FALSE(server->streamControl.videoSessionOutstandingAcks.count(id));
        EXPECT_FALSE(server->streamControl.videoSessionLastAckNs.count(id));
        EXPECT_FALSE(server->streamControl.videoSessionLastFrameSentNs.count(id));
        EXPECT_FALSE(server->streamControl.videoSessionsAwaitingKeyFrame.count(id));
    });
}

TEST_F(SessionSteps, AStrangerLeavingDoesNotLiftALoggedInViewersKeys) {
    auto viewer = audioClient();
    ASSERT_TRUE(viewer->logIn(consoleUser, password, "Mac Viewer"));
    server->queue.sync([&] { server->remoteInput.inputKeyboardFlags = platform::kCGEventFlagMaskShift; });
    auto stranger = audioClient();
    ASSERT_TRUE(waitForSessions(2, 0));
    stranger->close();
    ASSERT_TRUE(waitForSessions(1, 0));
    EXPECT_FALSE(logContains("input: released"));
    EXPECT_TRUE(postedEvents().empty());
    server->queue.sync([&] { EXPECT_EQ(server->remoteInput.inputKeyboardFlags, platform::kCGEventFlagMaskShift); });
    EXPECT_FALSE(logContains("viewer media idle"));
}

TEST_F(SessionSteps, LastViewerLeavingDuringSleepRecoveryBeginsTheReconnectGrace) {
    auto client = videoClient();
    ASSERT_TRUE(client->logIn(consoleUser, password, "Mac Viewer"));
    auto id = onlyVideoSession();
    server->queue.sync([&] {
        server->screensAreSleeping = true;
        server->removeSession(id, AuxChannel::video);
    });
    expectInOrder({"power: last Viewer transport disconnected during sleep recovery; retaining Host recovery "
                   "state for 900 seconds"});
}

TEST_F(SessionSteps, KeyFrameRequestReachesTheSharedAndTheMotionCapture) {
    auto shared = makeCapture();
    auto motion = makeCapture();
    server->queue.sync([&] {
        server->streamControl.videoCapture = shared;
        server->streamControl.motionStreamCapture = motion;
    });
    auto client = videoClient();
    ASSERT_TRUE(client->logIn(consoleUser, password, "Mac Viewer"));
    client->send(AuxPacketType::keyFrameRequest, {});
    client->settle();
    EXPECT_EQ(shared->forceKeyFrameRequested.value(), 1);
    EXPECT_EQ(motion->forceKeyFrameRequested.value(), 1);
    server->queue.sync([&] {
        server->streamControl.videoCapture.reset();
        server->streamControl.motionStreamCapture.reset();
    });
}

TEST_F(SessionSteps, KeyFrameRequestsOfOneConnectionAreActedOnTwiceASecondAtMost) {
    auto shared = makeCapture();
    server->queue.sync([&] { server->streamControl.videoCapture = shared; });
    auto client = videoClient();
    ASSERT_TRUE(client->logIn(consoleUser, password, "Mac Viewer"));
    auto requested = [&] { return shared->forceKeyFrameRequested.value(); };
    auto consume = [&] { shared->forceKeyFrameRequested.set(0); };
    client->send(AuxPacketType::keyFrameRequest, {});
    client->settle();
    EXPECT_EQ(requested(), 1) << "the first is acted on at once";
    consume();
    for (int i = 0; i < 20; ++i) client->send(AuxPacketType::keyFrameRequest, {});
    client->settle();
    EXPECT_EQ(requested(), 0) << "a request sooner than 0.5 s after the last waits";
    advance(0.4);
    client->settle();
    EXPECT_EQ(requested(), 0);
    advance(0.1);
    EXPECT_EQ(requested(), 1) << "the twenty are acted on once, when the time is up";
    consume();
    advance(2);
    EXPECT_EQ(requested(), 0) << "nothing more was left waiting";
    client->send(AuxPacketType::keyFrameRequest, {});
    client->settle();
    EXPECT_EQ(requested(), 1) << "after a quiet while, at once again";
    server->queue.sync([&] { server->streamControl.videoCapture.reset(); });
}

TEST_F(SessionSteps, TerminationGivesBackAudioAndEndsTheWarmHoldItsOwnRemovalsBegan) {
    auto client = videoClient();
    ASSERT_TRUE(client->logIn(consoleUser, password, "Mac Viewer"));
    auto shared = makeCapture();
    auto motion = makeCapture();
    server->queue.sync([&] {
        server->audio.exclusiveAudioSessionID = platform::UUID::random();
        server->streamControl.videoCapture = shared;
        server->streamControl.motionStreamCapture = motion;
    });
    server->stopForTermination();
    expectInOrder({"Motion stream: closing (Host terminating)", "exclusive audio released: Host service stopped",
                   "viewer media idle; holding capture warm for 120s", "aux: server stopped"});
    EXPECT_EQ(server->streamControl.mediaIdleWarmHoldTask, nullptr);
}

TEST_F(SessionSteps, ViewerNamesAreTrimmedOfUnicodeSpaceAndLineBreaks) {
    auto client = audioClient();
    // A no-break space in front, a line separator and a line feed behind.
    ASSERT_TRUE(client->logIn(consoleUser, password, "\xC2\xA0" "Anna's Mac\xE2\x80\xA8\n"));
    EXPECT_EQ(server->connectedViewerDisplayNames(), std::vector<std::string>{"Anna's Mac"});
    auto peers = server->connectedFileTransferPeers();
    ASSERT_EQ(peers.size(), 1u);
    EXPECT_EQ(peers[0].name, "Anna's Mac");

    auto blank = audioClient();
    ASSERT_TRUE(blank->logIn(consoleUser, password, "\xE3\x80\x80\t"));
    EXPECT_EQ(server->connectedViewerDisplayNames(), std::vector<std::string>{"Anna's Mac"});
    peers = server->connectedFileTransferPeers();
    ASSERT_EQ(peers.size(), 2u);
    EXPECT_TRUE(std::any_of(peers.begin(), peers.end(), [](const auto& p) { return p.name == "Norvessal Viewer"; }));
}

}  // namespace
