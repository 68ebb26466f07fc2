// What a logged-in Viewer's control messages reach, and how malformed ones
// are answered.

#include <gtest/gtest.h>

#include "AuxServerTestFixture.h"
#include "HostApp/Protocol/VideoControlPayloads.h"

namespace {

class Dispatch : public AuxServerTest {
protected:
    void SetUp() override {
        AuxServerTest::SetUp();
        audio = audioClient();
        ASSERT_TRUE(audio->logIn(consoleUser, password, "Viewer"));
        video = videoClient();
        ASSERT_TRUE(video->logIn(consoleUser, password, "Viewer"));
    }
    void sendAndSettle(AuxTestClient& client, AuxPacketType type, std::vector<uint8_t> payload) {
        client.send(type, payload);
        client.settle();
        EXPECT_FALSE(client.isClosed()) << "a control message must never end the session";
    }
    std::unique_ptr<AuxTestClient> audio;
    std::unique_ptr<AuxTestClient> video;
};

struct BadPayloadCase {
    AuxPacketType type;
    std::vector<uint8_t> payload;
    const char* logText;
};

TEST_F(Dispatch, MalformedPayloadsAreLoggedAndDropped) {
    const BadPayloadCase cases[] = {
        {AuxPacketType::audioControl, {}, "bad audio control payload"},
        {AuxPacketType::captureModeControl, {2}, "bad capture mode payload"},
        {AuxPacketType::videoPreferenceControl, {2}, "bad video preference payload"},
        {AuxPacketType::hostDisplayModeControl, {3}, "bad host display mode payload"},
        {AuxPacketType::pointerEvent, {1, 2, 3}, "bad pointer event payload"},
        {AuxPacketType::gestureEvent, std::vector<uint8_t>(15, 0), "bad gesture event payload"},
        {AuxPacketType::hostShortcut, {}, "bad host shortcut payload"},
        {AuxPacketType::keyEvent, {1, 2, 3, 4}, "bad key event payload"},
        {AuxPacketType::rawKeyEvent, std::vector<uint8_t>(10, 0), "bad raw key event payload"},
        {AuxPacketType::systemDefinedKeyEvent, {1}, "bad system-defined key payload"},
        {AuxPacketType::hostPhysicalDisplayControl, {0}, "bad host physical display payload"},
        {AuxPacketType::dragPull, std::vector<uint8_t>(7, 0), "bad drag pull payload"},
        {AuxPacketType::fileTransferPacket, {}, "bad file transfer payload"},
        {AuxPacketType::clipboardTransfer, {'n', 'o', 'p', 'e'}, "bad clipboard payload: "},
    };
    for (const auto& c : cases) {
        sendAndSettle(*audio, c.type, c.payload);
        EXPECT_TRUE(logContains(c.logText)) << c.logText;
    }
    EXPECT_TRUE(postedEvents().empty());
    EXPECT_TRUE(server->queue.syncValue([&] { return server->streamControl.lastVideoRequestBySource.empty(); }));
}

TEST_F(Dispatch, CaptureRequestIsAnnouncedToLoggedInViewersAndApplied) {
    auto request = CaptureModeControlPayload::preset(VideoCaptureMode::max, VideoChromaMode::yuv420,
                                                     VideoCaptureBackend::headlessVirtual);
    request.flags |= CaptureModeControlPayload::flagWiFiRoute;
    sendAndSettle(*video, AuxPacketType::captureModeControl, request.encode());
    EXPECT_TRUE(logContains("capture mode control received: " + request.summary() + " route=wifi"));
    auto announced = audio->waitForPacket(AuxPacketType::hostStatus);
    ASSERT_TRUE(announced);
    EXPECT_EQ(announced->text(), "display: requested " + request.summary());
    // Arbitration took it as the first request: the shared request is now Max.
    EXPECT_EQ(server->queue.syncValue([&] { return server->streamControl.currentCaptureRequest.mode; }),
              VideoCaptureMode::max);
}

TEST_F(Dispatch, ShortCaptureRequestFallsBackToThePreset) {
    sendAndSettle(*video, AuxPacketType::captureModeControl, {4, 0, 1});
    auto preset = CaptureModeControlPayload::preset(VideoCaptureMode::pro, VideoChromaMode::yuv420,
                                                    VideoCaptureBackend::headlessVirtual);
    EXPECT_TRUE(logContains("capture mode control received: " + preset.summary() + " route=wired"));
}

TEST_F(Dispatch, EachMessageReachesItsHandler) {
    std::vector<std::pair<uint32_t, uint32_t>> pulls;
    server->onDragPullRequest = [&](uint32_t snapshot, uint32_t index, const platform::UUID&) {
        pulls.emplace_back(snapshot, index);
    };
    std::vector<FileTransferPacket> filePackets;
    server->onFileTransferPacket = [&](FileTransferPacket p, const platform::UUID&) { filePackets.push_back(p); };

    sendAndSettle(*audio, AuxPacketType::audioControl, {0x05});
    EXPECT_TRUE(logContains("audio: Host output muted for Viewer; Host output muted"));
    EXPECT_TRUE(logContains("exclusive audio enabled for Viewer"));
    sendAndSettle(*video, AuxPacketType::videoPreferenceControl, {1});
    EXPECT_TRUE(logContains("video chroma 4:4:4 exceeds the 4:4:4 encode budget on this canvas; keeping 4:2:0"));
    GestureEventControlPayload gesture;
    gesture.framebufferWidth = gesture.framebufferHeight = 100;
    sendAndSettle(*video, AuxPacketType::gestureEvent, gesture.encode());
    ASSERT_EQ(postedEvents().size(), 1u);
    EXPECT_EQ(postedEvents().back().type, platform::CGEventType::mouseMoved);
    sendAndSettle(*audio, AuxPacketType::hostShortcut, {13});
    EXPECT_EQ(postedEvents().back().data1, (7 << 16) | 0x0A00);
    sendAndSettle(*audio, AuxPacketType::rawKeyEvent, RawKeyEventControlPayload{36, 0, true}.encode());
    EXPECT_EQ(postedEvents().back().keyCode, 36);
    sendAndSettle(*audio, AuxPacketType::systemDefinedKeyEvent, {16, 0});
    EXPECT_EQ(postedEvents().back().data1, (16 << 16) | 0x0A00);
    sendAndSettle(*audio, AuxPacketType::dragPull, {7, 0, 0, 0, 2, 0, 0, 0});
    EXPECT_EQ(pulls, (std::vector<std::pair<uint32_t, uint32_t>>{{7, 2}}));
    sendAndSettle(*video, AuxPacketType::fileTransferPacket, {1, 2});
    EXPECT_TRUE(logContains("bad file transfer payload"));
    const FileTransferPacket listing{FileTransferOp::listDir, platform::UUID::random(), 0, 0, "~", {}};
    sendAndSettle(*video, AuxPacketType::fileTransferPacket, listing.encode());
    EXPECT_EQ(filePackets, std::vector<FileTransferPacket>{listing});
    // The video preference above changed the stream, and so does each of
    // these: an applied change holds for a moment before the next is taken.
    advanceThroughTheHold();
    sendAndSettle(*video, AuxPacketType::hostDisplayModeControl, {2});
    EXPECT_TRUE(logContains("host physical native restore skipped: no saved original mode for display 1"));
    advanceThroughTheHold();
    sendAndSettle(*video, AuxPacketType::hostPhysicalDisplayControl, {2});
    EXPECT_TRUE(logContains("remote physical display next already targeting display 1"));
    // A recording is paced with them (after the hold of the display choice).
    advanceThroughTheHold();
    sendAndSettle(*audio, AuxPacketType::hostRecordingControl, {1, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF});
    // By now the stream runs, so there is a picture to record.
    EXPECT_TRUE(logContains("recording: started "));
}

TEST_F(Dispatch, AudioControlOnTheVideoChannelIsRejected) {
    sendAndSettle(*video, AuxPacketType::audioControl, {0x01});
    EXPECT_TRUE(logContains("audio control rejected on video channel"));
    EXPECT_FALSE(logContains("exclusive audio"));
}

TEST_F(Dispatch, UnusedTypesAreIgnoredAndLoggedOncePerSessionAndType) {
    // A second apart: within one, the peer's log budget for this kind of
    // line (numbers folded) holds the next one back.
    for (int i = 0; i < 3; ++i) sendAndSettle(*audio, AuxPacketType::unused43, {1});
    advance(1);
    sendAndSettle(*audio, AuxPacketType::unused47, {});
    advance(1);
    sendAndSettle(*video, AuxPacketType::unused43, {});
    EXPECT_EQ(logCount("aux: ignoring type 43 from session"), 2u);
    EXPECT_EQ(logCount("aux: ignoring type 47 from session"), 1u);
}

TEST_F(Dispatch, HostToViewerTypesFromAViewerAreDropped) {
    sendAndSettle(*audio, AuxPacketType::hostStatus, {'h', 'i'});
    sendAndSettle(*audio, AuxPacketType::hostStatus, {'h', 'i'});
    sendAndSettle(*video, AuxPacketType::videoFrame, std::vector<uint8_t>(100, 0));
    EXPECT_EQ(logCount("aux: host-to-viewer type 8 from session"), 1u);
    EXPECT_EQ(logCount("aux: host-to-viewer type 20 from session"), 1u);
}

TEST_F(Dispatch, BackgroundPresenceIsHeardOnlyFromAnIOSViewersAudioLink) {
    sendAndSettle(*audio, AuxPacketType::iosBackgroundPresence, {1});
    EXPECT_FALSE(logContains("iOS Viewer backgrounded"));

    auto ios = audioClient();
    ASSERT_TRUE(ios->logIn(consoleUser, password, "iOS Viewer"));
    sendAndSettle(*ios, AuxPacketType::iosBackgroundPresence, {1, 0});  // not exactly one byte
    EXPECT_FALSE(logContains("iOS Viewer backgrounded"));
    sendAndSettle(*ios, AuxPacketType::iosBackgroundPresence, {1});
    EXPECT_TRUE(logContains("power: iOS Viewer backgrounded; keeping Host awake"));
    sendAndSettle(*ios, AuxPacketType::iosBackgroundPresence, {0});
    EXPECT_TRUE(logContains("power: ended iOS Viewer reconnect grace (iOS Viewer returned to foreground)"));
    sendAndSettle(*ios, AuxPacketType::iosBackgroundPresence, {5});
    EXPECT_TRUE(logContains("bad iOS background presence state"));
}

TEST_F(Dispatch, EndpointTokenIsReusedForTheSameSession) {
    auto id = server->queue.syncValue([&] { return *server->authorizedAudioSessions.begin(); });
    auto first = server->queue.syncValue([&] { return server->fileTransferTokens.at(id); });
    server->queue.sync([&] { server->sendFileTransferEndpoint(id, server->audioSessions.at(id)); });
    auto again = server->queue.syncValue([&] { return server->fileTransferTokens.at(id); });
    EXPECT_EQ(first, again);
    EXPECT_EQ(server->queue.syncValue([&] { return server->fileTransferTokenIndex.at(first); }), id);
    // The Viewer has now heard the same token twice.
    auto a = audio->waitForPacket(AuxPacketType::fileTransferEndpoint);
    auto b = audio->waitForPacket(AuxPacketType::fileTransferEndpoint);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->payload, b->payload);
}

}  // namespace
