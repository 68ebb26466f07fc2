// Session life: deadlines, removal, shutdown, framing errors, who hears
// broadcasts, and what the server reports about connected Viewers.

#include <gtest/gtest.h>

#include "AuxServerTestFixture.h"
#include "HostApp/Display/HeadlessVirtualDisplay.h"
#include "Platform/SimulatedMac/CoreGraphicsDisplays.h"
#include "Platform/Runtime/Runtime.h"
#include "Platform/Runtime/WorkLedger.h"

namespace {

using Sessions = AuxServerTest;
using Framing = AuxServerTest;
class Broadcasts : public AuxServerTest {
protected:
    // Whether a clipboard broadcast reached anybody, as the server queue
    // answers once it sent it.
    bool clipboardDelivered(const ClipboardTransfer& transfer) {
        auto outcome = std::make_shared<std::optional<bool>>();
        server->broadcastClipboardTransfer(transfer, [outcome](bool delivered) { *outcome = delivered; });
        EXPECT_TRUE(runUntil([&] { return outcome->has_value(); }));
        return outcome->value_or(false);
    }
};

TEST_F(Sessions, ConnectionThatDoesNotLogInIsClosedAfterThirtySeconds) {
    // The logged-in Viewer listens on the audio channel: a video one that
    // never acknowledges a frame would be pruned long before.
    auto idle = videoClient();
    auto loggedIn = audioClient();
    ASSERT_TRUE(loggedIn->logIn(consoleUser, password, "Viewer"));
    ASSERT_TRUE(waitForSessions(1, 1));

    advance(29.5);
    runUntilIdle();
    EXPECT_FALSE(idle->isClosed());
    advance(1);
    EXPECT_TRUE(idle->waitClosed());
    EXPECT_TRUE(logContains("did not log in within 30 s; closing"));
    EXPECT_TRUE(waitForSessions(1, 0));
    EXPECT_FALSE(loggedIn->isClosed());
}

TEST_F(Sessions, TwoRemovalsRunTheReleaseStepsOnce) {
    auto client = videoClient();
    ASSERT_TRUE(client->logIn(consoleUser, password, "Viewer"));
    ASSERT_EQ(server->authorizedVideoSessionCount.value(), 1);
    auto id = server->queue.syncValue([&] { return *server->authorizedVideoSessions.begin(); });
    server->queue.sync([&] { server->restartVideoCapture(0); });
    runUntilIdle();

    server->queue.sync([&] {
        server->removeSession(id, AuxChannel::video);
        server->removeSession(id, AuxChannel::video);
    });
    EXPECT_EQ(server->sessionReleaseCountForTesting(id), 1u);
    EXPECT_EQ(server->authorizedVideoSessionCount.value(), 0);
    EXPECT_EQ(logCount("viewer media idle; holding capture warm"), 1u);

    // Once forgotten, the connection is dropped; its end of stream finds
    // nothing left to release.
    EXPECT_TRUE(client->waitClosed());
    runUntilIdle();
    EXPECT_EQ(server->sessionReleaseCountForTesting(id), 1u);
    EXPECT_EQ(server->authorizedVideoSessionCount.value(), 0);
}

TEST_F(Sessions, RemovingAnUnauthorisedSessionLeavesTheCountAlone) {
    auto loggedIn = videoClient();
    ASSERT_TRUE(loggedIn->logIn(consoleUser, password, "Viewer"));
    auto anonymous = videoClient();
    ASSERT_TRUE(waitForSessions(0, 2));
    anonymous->close();
    ASSERT_TRUE(waitForSessions(0, 1));
    EXPECT_EQ(server->authorizedVideoSessionCount.value(), 1);
    EXPECT_EQ(logCount("viewer media idle"), 0u);
}

TEST_F(Sessions, ViewerClosingItsConnectionIsRemovedOnce) {
    auto client = audioClient();
    ASSERT_TRUE(client->logIn(consoleUser, password, "Viewer"));
    auto id = server->queue.syncValue([&] { return *server->authorizedAudioSessions.begin(); });
    client->close();
    ASSERT_TRUE(waitForSessions(0, 0));
    EXPECT_EQ(server->sessionReleaseCountForTesting(id), 1u);
    EXPECT_FALSE(server->hasConnectedViewer());
    // An audio session takes its file-channel token with it.
    EXPECT_TRUE(server->queue.syncValue(
        [&] { return server->fileTransferTokens.empty() && server->fileTransferTokenIndex.empty(); }));
}

TEST_F(Sessions, StopForTerminationClosesEveryConnection) {
    auto audio = audioClient();
    ASSERT_TRUE(audio->logIn(consoleUser, password, "Viewer"));
    auto video = videoClient();
    ASSERT_TRUE(video->logIn(consoleUser, password, "Viewer"));
    auto anonymousAudio = audioClient();
    auto anonymousVideo = videoClient();
    ASSERT_TRUE(waitForSessions(2, 2));

    server->stopForTermination();
    for (auto* c : {audio.get(), video.get(), anonymousAudio.get(), anonymousVideo.get()}) {
        EXPECT_TRUE(c->waitClosed());
    }
    EXPECT_TRUE(server->queue.syncValue([&] {
        return server->audioSessions.empty() && server->videoSessions.empty() &&
               server->authorizedAudioSessions.empty() && server->authorizedVideoSessions.empty();
    }));
    EXPECT_EQ(server->authorizedVideoSessionCount.value(), 0);
    EXPECT_TRUE(logContains("aux: server stopped; closed 4 Viewer connection(s)"));

    // Nobody gets in afterwards.
    auto late = std::make_unique<AuxTestClient>(runtime, server->boundAudioPort(), 1);
    EXPECT_FALSE(late->waitConnected() && !late->waitClosed());
    server->stopForTermination();  // a second call is harmless
}

TEST_F(Sessions, SecondLoginOnAnAuthorisedSessionIsIgnored) {
    auto client = audioClient();
    ASSERT_TRUE(client->logIn(consoleUser, password, "Viewer"));
    client->send(AuxPacketType::viewerLogin,
                 client->sealedLogin(ViewerLoginCredentials{consoleUser, "wrong", "Other", std::nullopt}));
    client->settle();
    EXPECT_TRUE(logContains("aux: second login ignored for session "));
    EXPECT_FALSE(client->isClosed());
    EXPECT_FALSE(logContains("code=invalid-credentials"));
    auto names = server->connectedViewerDisplayNames();
    EXPECT_EQ(names, std::vector<std::string>{"Viewer"});
}

TEST_F(Sessions, ControlBeforeLoginHasNoEffect) {
    auto client = audioClient();
    PointerEventControlPayload pointer{1, 10, 20, 100, 100};
    client->send(AuxPacketType::pointerEvent, pointer.encode());
    client->send(AuxPacketType::pointerEvent, pointer.encode());
    client->settle();
    EXPECT_TRUE(postedEvents().empty());
    EXPECT_FALSE(logContains("dropped"));  // nothing is logged before the connection ends
    EXPECT_FALSE(client->isClosed());
    // The same message after login is handed on.
    ASSERT_TRUE(client->logIn(consoleUser, password, "Viewer"));
    client->send(AuxPacketType::pointerEvent, pointer.encode());
    client->settle();
    EXPECT_EQ(postedEvents().size(), 1u);
}

TEST_F(Framing, OversizedPayloadBeforeLoginClosesWithoutWaitingForIt) {
    auto client = audioClient();
    AuxPacketHeader header;
    header.type = AuxPacketType::clipboardTransfer;
    header.payloadLength = 65'537;
    auto bytes = header.encode();
    client->sendRaw({bytes.begin(), bytes.end()});
    EXPECT_TRUE(client->waitClosed());
    EXPECT_TRUE(logContains("aux: payload too large (65537) from "));
    EXPECT_TRUE(waitForSessions(0, 0));
}

TEST_F(Framing, LengthOfFourGigabytesClosesTheConnection) {
    auto client = videoClient();
    ASSERT_TRUE(client->logIn(consoleUser, password, "Viewer"));
    AuxPacketHeader header;
    header.type = AuxPacketType::clipboardTransfer;
    header.payloadLength = 0xFFFFFFFF;
    auto bytes = header.encode();
    client->sendRaw({bytes.begin(), bytes.end()});
    EXPECT_TRUE(client->waitClosed());
    EXPECT_TRUE(logContains("aux: payload too large (4294967295) from "));
    EXPECT_EQ(server->authorizedVideoSessionCount.value(), 0);
}

TEST_F(Framing, LargePayloadAfterLoginIsAccepted) {
    std::optional<ClipboardTransfer> received;
    server->onClipboardTransfer = [&](const ClipboardTransfer& transfer) { received = transfer; };
    auto client = audioClient();
    ASSERT_TRUE(client->logIn(consoleUser, password, "Viewer"));
    std::vector<uint8_t> big(200'000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
    ClipboardTransfer transfer{"A", 1, 0, {{ClipboardTransferItemKind::files, {}, {}, {}, {{"big.bin", "public.data", big}}}}};
    client->send(AuxPacketType::clipboardTransfer, *transfer.encodedData());
    client->settle();
    EXPECT_EQ(received, transfer);
    EXPECT_FALSE(client->isClosed());
}

TEST_F(Framing, InvalidTypeClosesWithTheLogLine) {
    auto client = audioClient();
    AuxPacketHeader header;
    header.type = AuxPacketType::hostStatus;
    auto bytes = header.encode();
    bytes[4] = 45;  // not a type
    client->sendRaw({bytes.begin(), bytes.end()});
    EXPECT_TRUE(client->waitClosed());
    EXPECT_TRUE(logContains("aux: invalid header from session "));
    EXPECT_TRUE(logContains("(type=45); closing"));
}

TEST_F(Framing, BadMagicClosesTheConnection) {
    auto client = videoClient();
    ASSERT_TRUE(client->logIn(consoleUser, password, "Viewer"));
    client->sendRaw(std::vector<uint8_t>(20, 0x41));
    EXPECT_TRUE(client->waitClosed());
    EXPECT_TRUE(logContains("aux: invalid header from session "));
    EXPECT_TRUE(waitForSessions(0, 0));
}

TEST_F(Framing, SeveralPacketsInOneWriteAreAllHandled) {
    auto client = audioClient();
    ASSERT_TRUE(client->logIn(consoleUser, password, "Viewer"));
    std::vector<uint8_t> burst;
    for (uint8_t key = 1; key <= 3; ++key) {
        auto packet = makeAuxPacket(AuxPacketType::keyEvent, 0, KeyEventControlPayload{key, true}.encode(), 0);
        burst.insert(burst.end(), packet.begin(), packet.end());
    }
    client->sendRaw(burst);
    client->settle();
    EXPECT_TRUE(logContains("input: unsupported keysym 0x1"));
    // The other two were handled within the same second and are counted
    // into the next such line.
    advance(1.0);
    client->send(AuxPacketType::keyEvent, KeyEventControlPayload{4, true}.encode());
    client->settle();
    EXPECT_TRUE(logContains("input: unsupported keysym 0x4 (2 similar lines suppressed)"));
}

TEST_F(Broadcasts, HostErrorReachesOnlyLoggedInSessions) {
    auto loggedIn = audioClient();
    ASSERT_TRUE(loggedIn->logIn(consoleUser, password, "Viewer"));
    auto loggedInVideo = videoClient();
    ASSERT_TRUE(loggedInVideo->logIn(consoleUser, password, "Viewer"));
    auto stranger = audioClient();
    auto strangerVideo = videoClient();
    ASSERT_TRUE(waitForSessions(2, 2));

    server->broadcastHostError("display: lock screen active");
    auto a = loggedIn->waitForPacket(AuxPacketType::hostStatus);
    auto v = loggedInVideo->waitForPacket(AuxPacketType::hostStatus);
    ASSERT_TRUE(a && v);
    EXPECT_EQ(a->text(), "display: lock screen active");
    EXPECT_EQ(v->text(), "display: lock screen active");

    stranger->settle();
    strangerVideo->settle();
    for (auto* c : {stranger.get(), strangerVideo.get()}) {
        for (const auto& p : c->packets()) EXPECT_EQ(p.header.type, AuxPacketType::hostIdentityProof);
    }
}

TEST_F(Broadcasts, SessionInfoAndFileAndClipboardPacketsSkipStrangers) {
    auto loggedIn = audioClient();
    ASSERT_TRUE(loggedIn->logIn(consoleUser, password, "Viewer"));
    auto stranger = audioClient();
    ASSERT_TRUE(waitForSessions(2, 0));
    auto strangerID = server->queue.syncValue([&] {
        for (const auto& [id, c] : server->audioSessions)
            if (!server->authorizedAudioSessions.count(id)) return id;
        return platform::UUID{};
    });

    server->broadcastHostSessionInfo();
    EXPECT_TRUE(clipboardDelivered(ClipboardTransfer{"H", 1, 0, {}}));
    EXPECT_TRUE(server->broadcastFileTransferPacket({FileTransferOp::batchEnd, {}, 0, 0, "", {9, 9}}));
    EXPECT_FALSE(server->sendFileTransferPacket({FileTransferOp::batchEnd, {}, 0, 0, "", {7}}, strangerID));
    EXPECT_TRUE(loggedIn->waitForPacket(AuxPacketType::clipboardTransfer));
    EXPECT_TRUE(loggedIn->waitForPacket(AuxPacketType::fileTransferPacket));
    loggedIn->settle();
    size_t infos = 0;
    for (const auto& p : loggedIn->packets()) infos += p.header.type == AuxPacketType::hostSessionInfo;
    EXPECT_EQ(infos, 2u);  // at login and on the broadcast

    stranger->settle();
    for (const auto& p : stranger->packets()) EXPECT_EQ(p.header.type, AuxPacketType::hostIdentityProof);
    EXPECT_TRUE(logContains("file transfer: target session " + strangerID.id8() + " is unavailable"));
}

// Work a peer's packets left on a queue that runs it even once the peer is
// gone (the receive queue) may still try to answer: with its ledger
// cancelled, its packets for a session go nowhere at once, and no line is
// written for each.
TEST_F(Broadcasts, AGonePeersLeftoverWorkSendsNothingAndSaysNothing) {
    auto viewer = audioClient();
    ASSERT_TRUE(viewer->logIn(consoleUser, password, "Viewer"));
    ASSERT_TRUE(waitForSessions(1, 0));
    const auto id = server->queue.syncValue([&] { return *server->authorizedAudioSessions.begin(); });
    const platform::UUID unknown = platform::UUID::random();
    auto gone = std::make_shared<platform::WorkLedger>("gone peer", size_t{1} << 20);
    gone->cancel();
    {
        const platform::WorkLedger::Charged charged(gone);
        EXPECT_FALSE(server->sendFileTransferPacket({FileTransferOp::batchEnd, {}, 0, 0, "", {1}}, id));
        EXPECT_FALSE(server->sendFileTransferPacket({FileTransferOp::batchEnd, {}, 0, 0, "", {2}}, unknown));
    }
    EXPECT_FALSE(logContains("file transfer: target session " + unknown.id8() + " is unavailable"));
    // The Host's own packet reaches the same session.
    EXPECT_TRUE(server->sendFileTransferPacket({FileTransferOp::batchEnd, {}, 0, 0, "", {3}}, id));
    ASSERT_TRUE(viewer->waitForPacket(AuxPacketType::fileTransferPacket));
    viewer->settle();
    size_t fileTransferPackets = 0;
    for (const auto& p : viewer->packets()) fileTransferPackets += p.header.type == AuxPacketType::fileTransferPacket;
    EXPECT_EQ(fileTransferPackets, 1u);
}

TEST_F(Broadcasts, ClipboardReportsNobodyWhenNoLoggedInConnectionTakesIt) {
    // A logged-in session whose connection can no longer take a packet has
    // reached nobody: the bridge must keep the change pending.
    struct Case {
        const char* name;
        std::function<void(const platform::UUID&)> breakConnection;
    };
    const Case cases[] = {
        {"cancelled", [&](const platform::UUID& id) { server->audioSessions.at(id)->cancel(); }},
        {"gone from the table", [&](const platform::UUID& id) { server->audioSessions.erase(id); }},
    };
    const ClipboardTransfer transfer{"H", 8, 0, {}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto viewer = audioClient();
        ASSERT_TRUE(viewer->logIn(consoleUser, password, "Viewer"));
        ASSERT_TRUE(clipboardDelivered(transfer));
        server->queue.sync([&] { c.breakConnection(*server->authorizedAudioSessions.begin()); });
        EXPECT_FALSE(clipboardDelivered(transfer));
        viewer.reset();
        server->stopForTermination();
        startServer();
    }
}

TEST_F(Broadcasts, ClipboardFallsBackToVideoAndReportsNobody) {
    const ClipboardTransfer transfer{"H", 7, 0, {}};
    EXPECT_FALSE(clipboardDelivered(transfer));
    auto video = videoClient();
    ASSERT_TRUE(video->logIn(consoleUser, password, "Viewer"));
    EXPECT_TRUE(clipboardDelivered(transfer));
    auto packet = video->waitForPacket(AuxPacketType::clipboardTransfer);
    ASSERT_TRUE(packet);
    auto decoded = ClipboardTransfer::decode(packet->payload);
    ASSERT_TRUE(decoded.ok());
    EXPECT_EQ(*decoded, transfer);
}

TEST_F(Sessions, ConnectedViewerListsNameEachViewerOnce) {
    auto audio = audioClient();
    ASSERT_TRUE(audio->logIn(consoleUser, password, "  Anna's iPad\n"));
    auto video = videoClient();
    ASSERT_TRUE(video->logIn(consoleUser, password, "anna's ipad"));
    auto unnamed = audioClient();
    ASSERT_TRUE(unnamed->logIn(consoleUser, password, ""));

    EXPECT_EQ(server->connectedViewerDisplayNames(), std::vector<std::string>{"Anna's iPad"});
    auto peers = server->connectedFileTransferPeers();
    ASSERT_EQ(peers.size(), 2u);  // the two audio sessions; video sessions carry no files
    std::set<std::string> peerNames{peers[0].name, peers[1].name};
    EXPECT_EQ(peerNames, (std::set<std::string>{"Anna's iPad", "Norvessal Viewer"}));

    auto summaries = server->connectedViewerConnectionSummaries();
    std::set<std::string> summaryNames;
    for (const auto& s : summaries) {
        summaryNames.insert(s.name);
        EXPECT_EQ(s.address, "127.0.0.1");
    }
    EXPECT_TRUE(summaryNames.count("Anna's iPad"));
    EXPECT_TRUE(summaryNames.count("Norvessal Viewer"));
}

TEST_F(Sessions, IOSViewerIsRecognisedWithoutRegardToCase) {
    auto client = audioClient();
    ASSERT_TRUE(client->logIn(consoleUser, password, "ios viewer"));
    auto id = server->queue.syncValue([&] { return *server->authorizedAudioSessions.begin(); });
    EXPECT_TRUE(server->queue.syncValue([&] { return server->isIOSViewerSession(id); }));
    EXPECT_FALSE(server->queue.syncValue([&] { return server->isIOSViewerSession(platform::UUID::random()); }));
}

TEST_F(Sessions, ConsoleUserOverrideDecidesWhoMayLogIn) {
    server->stopForTermination();
    V230HostAudioAuxServerConfiguration configuration;
    configuration.consoleUser = "alice";
    directory->setUser("alice", "wonderland");
    startServer(configuration);
    auto refused = audioClient();
    ASSERT_TRUE(refused->requestIdentity());
    refused->send(AuxPacketType::viewerLogin,
                  refused->sealedLogin(ViewerLoginCredentials{consoleUser, password, "V", std::nullopt}));
    auto status = refused->waitForPacket(AuxPacketType::hostStatus);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->text(), "login failed: code=not-console-user");

    auto accepted = audioClient();
    ASSERT_TRUE(accepted->logIn("alice", "wonderland", "V"));
    auto info = HostSessionInfoPayload::decode(accepted->packets()[1].payload);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->consoleUserName, "alice");
}

// The real runtime: a synchronous hop onto the server queue from work that
// already runs there must run inline instead of waiting for itself.
TEST(ServerQueueHops, EntryPointsCalledFromTheServerQueueDoNotDeadlock) {
    platform::testing::TemporaryDataRoot root;
    platform::Runtime::install(nullptr);
    V230HostAudioAuxServerConfiguration configuration;
    configuration.audioPort = configuration.videoPort = configuration.filePort = 0;
    configuration.bindAddress = "127.0.0.1";
    configuration.directory = std::make_shared<platform::InMemoryDirectory>();
    auto server = std::make_shared<V230HostAudioAuxServer>(configuration);
    server->start();
    platform::DispatchSemaphore done;
    bool answered = false;
    server->queue.async([&] {
        std::optional<bool> clipboardDelivered;
        server->broadcastClipboardTransfer(ClipboardTransfer{}, [&](bool delivered) { clipboardDelivered = delivered; });
        answered = !server->hasConnectedViewer() && server->connectedViewerDisplayNames().empty() &&
                   server->connectedFileTransferPeers().empty() &&
                   server->connectedViewerConnectionSummaries().empty() && clipboardDelivered == false &&
                   server->boundAudioPort() != 0;
        server->broadcastHostError("x");
        server->broadcastHostSessionInfo();
        server->refreshBonjourAdvertisement();
        done.signal();
    });
    ASSERT_TRUE(done.wait(10)) << "a synchronous hop from the server queue deadlocked";
    EXPECT_TRUE(answered);
    server->stopForTermination();
}

}  // namespace

TEST_F(AuxServerTest, TerminationReleasesTheHeadlessVirtualDisplay) {
    auto& display = HeadlessVirtualDisplay::shared();
    auto failure = display.startPresetDisplay(HeadlessVirtualDisplay::easyPreset(), "Norvessal Presets", 0);
    ASSERT_FALSE(failure.has_value()) << *failure;
    advance(2);
    ASSERT_TRUE(display.stateSnapshot().isActive);
    server->stopForTermination();
    EXPECT_FALSE(display.stateSnapshot().isActive);
    std::vector<platform::CGDirectDisplayID> active;
    platform::CGGetActiveDisplayList(active);
    EXPECT_EQ(active.size(), 1u);  // only the built-in panel is left
}
