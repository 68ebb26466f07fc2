// Log lines a logged-in Viewer's packets cause, wherever the server writes
// them (the server queue, the data channel, the media activator's queue):
// at most about one a second for that Viewer and kind, never keyed by the
// Viewer's own text; and the identity proofs a logged-in connection is owed.

#include <gtest/gtest.h>

#include <functional>

#include "AuxServerTestFixture.h"
#include "HostApp/Protocol/FileTransferEndpointPayload.h"
#include "Platform/Foundation/PropertyList.h"
#include "VelantrixProfiles/Clipboard/ClipboardTransfer.h"
#include "VelantrixProfiles/FileTransfer/FileTransferChannelConnection.h"

namespace {

// A bad clipboard transfer whose unknown kind is text the Viewer chose, a
// different one for each `n` (letters only, so folding numbers does not
// merge them).
std::vector<uint8_t> clipboardWithUnknownKind(int n) {
    std::string kind = "kind-";
    for (int rest = n;; rest /= 26) {
        kind.push_back(static_cast<char>('a' + rest % 26));
        if (rest < 26) break;
    }
    ClipboardTransfer transfer{"6F1C2D3E-0000-4000-8000-000000000001", 1, 2, {}};
    transfer.items.push_back({ClipboardTransferItemKind::text, "hi", {}, {}, {}});
    platform::PlistValue document = transfer.propertyList();
    (*document.asDictionary()->at("items").asArray())[0].set("kind", kind);
    return platform::PropertyList::writeBinary(document);
}

class ViewerLines : public AuxServerTest {
protected:
    // One logged-in Viewer and, once asked for, its bound data channel.
    struct Viewer {
        std::unique_ptr<AuxTestClient> control;
        std::shared_ptr<platform::TcpConnection> data;
        std::shared_ptr<FileTransferChannelConnection> channel;
    };

    Viewer logInViewer(const std::string& name, bool withDataChannel) {
        Viewer viewer;
        viewer.control = audioClient();
        EXPECT_TRUE(viewer.control->logIn(consoleUser, password, name));
        if (!withDataChannel) return viewer;
        auto announced = viewer.control->waitForPacket(AuxPacketType::fileTransferEndpoint);
        EXPECT_TRUE(announced);
        if (!announced) return viewer;
        const auto endpoint = *FileTransferEndpointPayload::decode(announced->payload);
        viewer.data = platform::TcpConnection::connect("127.0.0.1", endpoint.port);
        viewer.channel = std::make_shared<FileTransferChannelConnection>(
            viewer.data, platform::DispatchQueue("test.channel"), "viewer channel", [](const std::string&) {});
        viewer.channel->start();
        EXPECT_TRUE(runUntil([&] { return viewer.data->state() == platform::ConnectionState::ready; }));
        const auto before = logCount("file aux: channel authorized");
        viewer.channel->sendFrame(endpoint.token);
        EXPECT_TRUE(runUntil([&] { return logCount("file aux: channel authorized") > before; }));
        return viewer;
    }
};

// Each road a Viewer can flood: whatever rate it sends at and whatever text
// it puts in, the lines it causes are written about once a second, the rest
// counted; and another Viewer's line of the same kind is still written.
TEST_F(ViewerLines, AFloodOnAnyRoadWritesAboutOneLineASecondForThatViewer) {
    struct Road {
        const char* name;
        const char* line;  // every line of the road contains it
        bool dataChannel;
        std::function<void(Viewer&, int)> send;
    };
    const Road roads[] = {
        {"malformed data-channel frames", "file aux: malformed packet", true,
         [](Viewer& v, int) { v.channel->sendFrame(std::vector<uint8_t>{1, 2, 3}); }},
        {"play/pause shortcuts", "media activator: ", false,
         [](Viewer& v, int) {
             v.control->send(AuxPacketType::hostShortcut,
                             HostShortcutControlPayload{HostShortcutKind::playPause}.encode());
         }},
        {"bad clipboard kinds, each a new text", "bad clipboard payload", false,
         [](Viewer& v, int n) { v.control->send(AuxPacketType::clipboardTransfer, clipboardWithUnknownKind(n)); }},
    };
    constexpr int kSeconds = 4, kBurstsASecond = 4, kPacketsABurst = 150;
    int road = 0;
    for (const auto& r : roads) {
        SCOPED_TRACE(r.name);
        auto flooder = logInViewer("Flooder" + std::string(1, char('A' + road)), r.dataChannel);
        auto other = logInViewer("Other" + std::string(1, char('A' + road++)), r.dataChannel);
        if (r.dataChannel) {
            ASSERT_TRUE(flooder.channel && other.channel);
        }
        flooder.control->settle();
        other.control->settle();
        log->clear();
        int sent = 0;
        for (int burst = 0; burst < kSeconds * kBurstsASecond; ++burst) {
            for (int i = 0; i < kPacketsABurst; ++i) r.send(flooder, sent++);
            flooder.control->flush();
            flooder.control->settle();
            advance(1.0 / kBurstsASecond);
        }
        runUntilIdle();
        const size_t written = logCount(r.line);
        EXPECT_GE(written, 1u);
        EXPECT_LE(written, size_t{kSeconds} + 2) << "out of " << sent << " packets";
        EXPECT_TRUE(logContains("similar lines suppressed")) << "the held-back lines are counted";

        // The flooder's held-back lines are its own: the other Viewer's
        // first one of the same kind is written in the same second.
        const size_t before = logCount(r.line);
        r.send(other, 0);
        other.control->flush();
        other.control->settle();
        EXPECT_TRUE(runUntil([&] { return logCount(r.line) > before; })) << "another Viewer keeps its own budget";
        advance(1.1);
    }
}

// Replies still on their way to a Viewer that has left (its backlog being
// served, at a few hundred a second) find no session: the line that says
// so is written about once a second, not once a reply.
TEST_F(ViewerLines, RepliesToAViewerThatLeftWriteAboutOneLineASecond) {
    auto viewer = logInViewer("Leaving", false);
    const auto gone = server->queue.syncValue([&] { return *server->authorizedAudioSessions.begin(); });
    viewer.control.reset();
    ASSERT_TRUE(runUntil([&] { return server->sessionReleaseCountForTesting(gone) == 1; }));
    const std::string line = "file transfer: target session " + gone.id8() + " is unavailable";
    constexpr int kSeconds = 4, kRepliesASecond = 500, kSlicesASecond = 20;
    int sent = 0;
    for (int slice = 0; slice < kSeconds * kSlicesASecond; ++slice) {
        for (int i = 0; i < kRepliesASecond / kSlicesASecond; ++i, ++sent)
            EXPECT_FALSE(server->sendFileTransferPacket({FileTransferOp::batchEnd, {}, 0, 0, "", {1}}, gone));
        advance(1.0 / kSlicesASecond);
    }
    runUntilIdle();
    const size_t written = logCount(line);
    EXPECT_GE(written, 1u);
    EXPECT_LE(written, size_t{kSeconds} + 2) << "out of " << sent << " replies";
}

// A clipboard kind the Viewer made up is never the key of its line: distinct
// texts do not buy distinct lines.
TEST_F(ViewerLines, DistinctViewerTextsShareTheirLinesBudget) {
    auto viewer = logInViewer("Viewer", false);
    viewer.control->settle();
    log->clear();
    for (int n = 0; n < 40; ++n) viewer.control->send(AuxPacketType::clipboardTransfer, clipboardWithUnknownKind(n));
    viewer.control->settle();
    EXPECT_EQ(logCount("bad clipboard payload"), 1u);
}

// Malformed challenges after login are dropped without using up the two
// proofs a logged-in connection is owed.
TEST_F(ViewerLines, MalformedChallengesAfterLoginLeaveTheProofsOwed) {
    auto client = audioClient();
    ASSERT_TRUE(client->logIn(consoleUser, password, "Viewer"));
    // Test clients run with the limit lifted; it is back on for this test
    // only, whatever way it ends.
    struct LimitEnforced {
        LimitEnforced() { V230HostAudioAuxServer::setIdentityProofLimitAfterLoginForTesting(true); }
        ~LimitEnforced() { V230HostAudioAuxServer::setIdentityProofLimitAfterLoginForTesting(false); }
    } enforced;
    const std::vector<uint8_t> shortChallenge(5, 0x42);
    for (int i = 0; i < 3; ++i) client->send(AuxPacketType::hostIdentityChallenge, shortChallenge);
    client->flush();
    EXPECT_TRUE(client->requestIdentity()) << "the first well-formed challenge is answered";
    EXPECT_TRUE(client->requestIdentity()) << "and the second";
    EXPECT_FALSE(client->isClosed());
}

}  // namespace
