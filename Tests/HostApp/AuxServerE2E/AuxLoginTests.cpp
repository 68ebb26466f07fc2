// The identity proof and the sealed login, end to end over loopback.

#include <gtest/gtest.h>

#include "AuxServerTestFixture.h"
#include "HostApp/Protocol/FileTransferEndpointPayload.h"
#include "HostApp/AuxServer/HostIdentity.h"
#include "Platform/Security/Crypto.h"
#include "Platform/Files/FileIO.h"

namespace {

using Identity = AuxServerTest;
using Login = AuxServerTest;

TEST_F(Identity, ProofVerifiesWithTheStoredKeyAndCoversTheEphemeralKey) {
    auto client = audioClient();
    HostIdentityChallengePayload challenge;
    challenge.challenge.fill(0x5A);
    client->send(AuxPacketType::hostIdentityChallenge, challenge.encode());
    auto reply = client->waitForPacket(AuxPacketType::hostIdentityProof);
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->payload.size(), 128u);
    auto proof = HostIdentityProofPayload::decode(reply->payload);
    ASSERT_TRUE(proof);

    auto stored = platform::FileIO::readAll(HostIdentity::defaultPath());
    ASSERT_TRUE(stored.ok());
    auto identity = HostIdentity::decode(*stored);
    ASSERT_TRUE(identity);
    EXPECT_EQ(proof->hostPublicKey, identity->signingKey.publicKey());

    auto message = HostIdentityProofPayload::signedMessage(challenge.challenge, proof->hostEphemeralPublicKey);
    EXPECT_TRUE(platform::crypto::ed25519Verify(identity->signingKey.publicKey(), message, proof->signature));
    // A substituted ephemeral key breaks the signature.
    auto forged = proof->hostEphemeralPublicKey;
    forged[0] ^= 1;
    EXPECT_FALSE(platform::crypto::ed25519Verify(
        identity->signingKey.publicKey(), HostIdentityProofPayload::signedMessage(challenge.challenge, forged),
        proof->signature));
}

TEST_F(Identity, EachConnectionGetsItsOwnEphemeralKey) {
    auto a = audioClient();
    auto b = videoClient();
    auto pa = a->requestIdentity();
    auto pb = b->requestIdentity();
    ASSERT_TRUE(pa && pb);
    EXPECT_EQ(pa->hostPublicKey, pb->hostPublicKey);
    EXPECT_NE(pa->hostEphemeralPublicKey, pb->hostEphemeralPublicKey);
}

TEST_F(Identity, ChallengeOfWrongSizeIsDroppedWithoutClosing) {
    auto client = audioClient();
    std::vector<uint8_t> shortChallenge(31, 1);
    client->send(AuxPacketType::hostIdentityChallenge, shortChallenge);
    ASSERT_TRUE(client->requestIdentity());  // the connection still answers
    EXPECT_EQ(client->packets().size(), 1u);
    EXPECT_FALSE(client->isClosed());
    // Before login it is told in the connection's one line, at its end.
    EXPECT_FALSE(logContains("bad identity challenge payload"));
    client->close();
    ASSERT_TRUE(waitForSessions(0, 0));
    EXPECT_EQ(logCount("ended [before login from 127.0.0.1; bad identity challenge payload]"), 1u);
}

TEST_F(Login, RightPasswordOnAudioGetsSessionInfoFirstThenLayoutThenEndpoint) {
    auto client = audioClient();
    ASSERT_TRUE(client->logIn(consoleUser, password, "Anna's iPad"));
    auto layout = client->waitForPacket(AuxPacketType::displayLayout);
    auto endpoint = client->waitForPacket(AuxPacketType::fileTransferEndpoint);
    ASSERT_TRUE(layout && endpoint);

    auto packets = client->packets();
    ASSERT_GE(packets.size(), 4u);
    EXPECT_EQ(packets[0].header.type, AuxPacketType::hostIdentityProof);
    EXPECT_EQ(packets[1].header.type, AuxPacketType::hostSessionInfo);
    EXPECT_EQ(packets[2].header.type, AuxPacketType::displayLayout);
    EXPECT_EQ(packets[3].header.type, AuxPacketType::fileTransferEndpoint);

    auto info = HostSessionInfoPayload::decode(packets[1].payload);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->consoleUserName, consoleUser);
    EXPECT_EQ(info->hostIdentifier, server->hostIdentityForTesting().hostIdentifier.uuidString());
    EXPECT_TRUE(info->loginDone);

    auto decodedLayout = DisplayLayoutPayload::decode(layout->payload);
    ASSERT_TRUE(decodedLayout);
    EXPECT_EQ(decodedLayout->displayID, server->startupPhysicalDisplayID);

    auto announced = FileTransferEndpointPayload::decode(endpoint->payload);
    ASSERT_TRUE(announced);
    EXPECT_EQ(announced->port, server->boundFilePort());
    auto token = server->queue.syncValue([&] { return server->fileTransferTokens.begin()->second; });
    EXPECT_EQ(announced->token, token.bytes);
    EXPECT_TRUE(logContains("aux session authorized session="));
    EXPECT_TRUE(logContains("file aux: endpoint advertised session="));
    EXPECT_TRUE(server->hasConnectedViewer());
}

TEST_F(Login, VideoLoginCountsTheSessionAndAnnouncesNoEndpoint) {
    auto client = videoClient();
    ASSERT_TRUE(client->logIn(consoleUser, password, "Mac Viewer"));
    ASSERT_TRUE(client->waitForPacket(AuxPacketType::displayLayout));
    client->settle();
    for (const auto& p : client->packets()) EXPECT_NE(p.header.type, AuxPacketType::fileTransferEndpoint);
    EXPECT_EQ(server->authorizedVideoSessionCount.value(), 1);
    EXPECT_TRUE(logContains("video: awaiting initial capture-mode request"));
}

TEST_F(Login, CaptureRequestInsideTheLoginIsAppliedAfterVideoLogin) {
    auto client = videoClient();
    std::array<uint8_t, 20> request{};
    auto encoded = CaptureModeControlPayload::preset(VideoCaptureMode::pro, VideoChromaMode::yuv444,
                                                     VideoCaptureBackend::physical)
                       .encode();
    std::copy(encoded.begin(), encoded.end(), request.begin());
    ASSERT_TRUE(client->logIn(consoleUser, password, "Mac Viewer", request));
    client->settle();
    EXPECT_TRUE(logContains("video request 4:4:4 demoted to 4:2:0"));
    EXPECT_EQ(server->queue.syncValue([&] { return server->streamControl.currentCaptureRequest.mode; }),
              VideoCaptureMode::pro);
    EXPECT_FALSE(logContains("video: awaiting initial capture-mode request"));
}

class LoginRefusal : public AuxServerTest {
protected:
    // Sends the payload as the login and expects the refusal with the code.
    void expectRefused(AuxTestClient& client, const std::vector<uint8_t>& loginPayload, const std::string& code,
                       const char* channel = "audio") {
        client.send(AuxPacketType::viewerLogin, loginPayload);
        auto status = client.waitForPacket(AuxPacketType::hostStatus);
        ASSERT_TRUE(status) << code;
        EXPECT_EQ(status->text(), "login failed: code=" + code);
        EXPECT_TRUE(client.waitClosed());
        EXPECT_TRUE(logContains(std::string("channel=") + channel + " code=" + code));
        EXPECT_TRUE(waitForSessions(0, 0));
        for (const auto& p : client.packets()) EXPECT_NE(p.header.type, AuxPacketType::hostSessionInfo);
        EXPECT_FALSE(server->hasConnectedViewer());
    }
    ViewerLoginCredentials credentials(const std::string& user, const std::string& pw) {
        return ViewerLoginCredentials{user, pw, "Viewer", std::nullopt};
    }
};

TEST_F(LoginRefusal, WrongPasswordIsInvalidCredentials) {
    auto client = audioClient();
    ASSERT_TRUE(client->requestIdentity());
    expectRefused(*client, client->sealedLogin(credentials(consoleUser, "wrong")), "invalid-credentials");
    EXPECT_TRUE(logContains("aux session authorization failed session="));
}

TEST_F(LoginRefusal, LoginBeforeTheIdentityProofIsIdentityRequired) {
    auto client = videoClient();
    expectRefused(*client, client->sealedLogin(credentials(consoleUser, password)), "identity-required", "video");
}

TEST_F(LoginRefusal, SomeoneElseThanTheConsoleUserIsRefused) {
    directory->setUser("mallory", "pw");
    auto client = audioClient();
    ASSERT_TRUE(client->requestIdentity());
    expectRefused(*client, client->sealedLogin(credentials("mallory", "pw")), "not-console-user");
}

TEST_F(LoginRefusal, UnreachableDirectoryIsAuthUnavailable) {
    directory->setUnavailable(true);
    auto client = audioClient();
    ASSERT_TRUE(client->requestIdentity());
    expectRefused(*client, client->sealedLogin(credentials(consoleUser, password)), "auth-unavailable");
}

TEST_F(LoginRefusal, GarbageIsMalformed) {
    auto client = audioClient();
    ASSERT_TRUE(client->requestIdentity());
    expectRefused(*client, std::vector<uint8_t>(70, 0xAB), "malformed-login");
}

TEST_F(LoginRefusal, TooShortIsMalformed) {
    auto client = audioClient();
    ASSERT_TRUE(client->requestIdentity());
    expectRefused(*client, std::vector<uint8_t>(10, 0), "malformed-login");
}

TEST_F(LoginRefusal, LoginSealedForTheOtherChannelIsMalformed) {
    auto client = audioClient();
    ASSERT_TRUE(client->requestIdentity());
    expectRefused(*client, client->sealedLogin(credentials(consoleUser, password), 0x02), "malformed-login");
}

TEST_F(LoginRefusal, AllZeroViewerKeyIsRefused) {
    auto client = audioClient();
    ASSERT_TRUE(client->requestIdentity());
    auto payload = client->sealedLogin(credentials(consoleUser, password));
    std::fill(payload.begin(), payload.begin() + 32, 0);  // a low-order point
    expectRefused(*client, payload, "malformed-login");
}

TEST_F(LoginRefusal, ReplayedLoginOnANewConnectionIsRefused) {
    auto first = audioClient();
    ASSERT_TRUE(first->requestIdentity());
    auto captured = first->sealedLogin(credentials(consoleUser, password));
    first->send(AuxPacketType::viewerLogin, captured);
    ASSERT_TRUE(first->waitForPacket(AuxPacketType::hostSessionInfo));

    // The same bytes on a connection that has had its proof: sealed to
    // another key, they do not open.
    auto second = audioClient();
    ASSERT_TRUE(second->requestIdentity());
    second->send(AuxPacketType::viewerLogin, captured);
    auto refused = second->waitForPacket(AuxPacketType::hostStatus);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->text(), "login failed: code=malformed-login");
    EXPECT_TRUE(second->waitClosed());
    // And on a connection that has not: refused before any opening.
    auto third = audioClient();
    third->send(AuxPacketType::viewerLogin, captured);
    auto status = third->waitForPacket(AuxPacketType::hostStatus);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->text(), "login failed: code=identity-required");
    EXPECT_TRUE(third->waitClosed());
    EXPECT_FALSE(first->isClosed());
    EXPECT_TRUE(waitForSessions(1, 0));
    EXPECT_EQ(server->queue.syncValue([&] { return server->authorizedAudioSessions.size(); }), 1u);
}

}  // namespace
