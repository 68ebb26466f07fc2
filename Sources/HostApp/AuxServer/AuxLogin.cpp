// The identity proof (type 41 -> 42) and the sealed login (type 36) of a
// Viewer connection, and what a session gets once it has logged in.

#include "HostApp/AuxServer/AuxLogin.h"

#include "HostApp/Protocol/SessionPayloads.h"
#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "HostApp/Display/DesktopSwitcher.h"
#include "Platform/Clock.h"

using platform::UUID;

std::optional<std::vector<uint8_t>> auxlogin::loginKey(const platform::crypto::X25519KeyPair& hostEphemeral,
                                                       const std::array<uint8_t, 32>& viewerPublicKey) {
    auto secret = hostEphemeral.sharedSecret(viewerPublicKey);
    if (!secret) return std::nullopt;
    auto salt = ViewerLoginPayload::keyDerivationSalt(viewerPublicKey, hostEphemeral.publicKey());
    const auto& info = ViewerLoginPayload::keyDerivationInfo;
    auto key = platform::crypto::hkdfSha256(
        *secret, salt, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(info.data()), info.size()), 32);
    secret->fill(0);
    return key;
}

void V230HostAudioAuxServer::armLoginDeadline(const std::shared_ptr<AuxSessionContext>& session) {
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    std::weak_ptr<AuxSessionContext> weakSession = session;
    session->loginDeadline = platform::makeWorkItem([weak, weakSession] {
        auto self = weak.lock();
        auto s = weakSession.lock();
        if (!self || !s || s->closed || s->authorized) return;
        self->publish("aux: session " + s->id.id8() + " did not log in within 30 s; closing");
        self->closeSession(s->id, s->channel);
    });
    queue.asyncAfter(loginDeadlineSeconds, session->loginDeadline);
}

void V230HostAudioAuxServer::handleIdentityChallenge(AuxSessionContext& session, std::span<const uint8_t> payload) {
    auto challenge = HostIdentityChallengePayload::decode(payload);
    if (!challenge) {
        publish("bad identity challenge payload");
        return;
    }
    HostIdentityProofPayload proof;
    proof.hostPublicKey = hostIdentity_->signingKey.publicKey();
    proof.hostEphemeralPublicKey = session.hostEphemeral.publicKey();
    proof.signature = hostIdentity_->signingKey.sign(
        HostIdentityProofPayload::signedMessage(challenge->challenge, proof.hostEphemeralPublicKey));
    session.identityAnswered = true;
    sendToSession(session.id, session.channel, session.connection, AuxPacketType::hostIdentityProof, proof.encode());
}

void V230HostAudioAuxServer::handleViewerLogin(const std::shared_ptr<AuxSessionContext>& session,
                                               std::span<const uint8_t> payload) {
    if (session->authorized || session->loginInFlight) {
        publish("aux: second login ignored for session " + session->id.id8() + " channel=" +
                channelName(session->channel));
        return;
    }
    // The Viewer cannot know the key to seal to before it had the proof.
    if (!session->identityAnswered) return failViewerLogin(*session, auxlogin::identityRequired);

    auto login = ViewerLoginPayload::decode(payload);
    if (!login) return failViewerLogin(*session, auxlogin::malformedLogin);
    auto key = auxlogin::loginKey(session->hostEphemeral, login->viewerPublicKey);
    if (!key) return failViewerLogin(*session, auxlogin::malformedLogin);
    const uint8_t associatedData[1] = {static_cast<uint8_t>(session->channel)};
    auto plaintext = platform::crypto::chachaPolyOpen(login->sealedBox, *key, associatedData);
    std::fill(key->begin(), key->end(), 0);
    if (!plaintext) return failViewerLogin(*session, auxlogin::malformedLogin);
    auto credentials = ViewerLoginCredentials::decode(*plaintext);
    std::fill(plaintext->begin(), plaintext->end(), 0);
    if (!credentials) return failViewerLogin(*session, auxlogin::malformedLogin);

    auto console = currentConsoleSessionState();
    if (!console.username.empty() && credentials->userName != console.username) {
        return failViewerLogin(*session, auxlogin::notConsoleUser);
    }

    // A directory can take seconds to answer: ask it off the server queue and
    // come back with the verdict.
    session->loginInFlight = true;
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    auto directory = directory_;
    auto serverQueue = queue;
    loginQueue_.async([weak, directory, serverQueue, session, creds = std::move(*credentials)]() mutable {
        auto verdict = directory->verify(creds.userName, creds.password);
        serverQueue.async([weak, session, verdict, creds = std::move(creds)]() mutable {
            if (auto self = weak.lock()) self->finishViewerLogin(session, verdict, std::move(creds));
        });
    });
}

void V230HostAudioAuxServer::finishViewerLogin(const std::shared_ptr<AuxSessionContext>& session,
                                               platform::CredentialCheck verdict, ViewerLoginCredentials credentials) {
    queue.dispatchPrecondition();
    session->loginInFlight = false;
    credentials.password.assign(credentials.password.size(), '\0');
    // The connection may have gone while the directory was asked.
    auto live = sessionContexts_.find(session->id);
    if (stopped_ || session->closed || live == sessionContexts_.end() || live->second != session) {
        publish("aux: login result for session " + session->id.id8() + " dropped; session is gone");
        return;
    }
    if (verdict == platform::CredentialCheck::invalid) return failViewerLogin(*session, auxlogin::invalidCredentials);
    if (verdict == platform::CredentialCheck::unavailable) return failViewerLogin(*session, auxlogin::authUnavailable);

    const UUID id = session->id;
    const AuxChannel channel = session->channel;
    session->authorized = true;
    if (session->loginDeadline) session->loginDeadline->cancel();
    session->cutter.setPayloadLimit(AuxPacketCutter::postLoginPayloadLimit);
    authorizedFor(channel).insert(id);
    if (channel == AuxChannel::video) authorizedVideoSessionCount.increment();
    viewerSessionNames[id] = credentials.viewerDisplayName;
    viewerSessionRemoteAddresses[id] = session->connection->remoteAddress();
    publish("aux session authorized session=" + id.id8() + " channel=" + channelName(channel) + " viewer=" +
            credentials.viewerDisplayName + " from " + session->connection->remoteAddress());

    // The session information is the first thing a logged-in Viewer hears.
    sendToSession(id, channel, session->connection, AuxPacketType::hostSessionInfo, currentHostSessionInfoPayload());
    std::optional<CaptureModeControlPayload> request;
    if (credentials.captureRequest) request = CaptureModeControlPayload::decode(*credentials.captureRequest);
    authorizeAuxSession(id, channel, session->connection, request);
    updateViewerIdleSleepAssertion();
}

void V230HostAudioAuxServer::failViewerLogin(AuxSessionContext& session, const std::string& code) {
    const UUID id = session.id;
    const AuxChannel channel = session.channel;
    publish("aux session authorization failed session=" + id.id8() + " channel=" + channelName(channel) +
            " code=" + code);
    // Close only once the refusal is written, so the Viewer can read why.
    auto connection = session.connection;
    session.closed = true;
    sendHostStatus("login failed: code=" + code, connection,
                   [connection](const std::string&) { connection->cancel(); });
    removeSession(id, channel);
    updateViewerIdleSleepAssertion();
}

void V230HostAudioAuxServer::authorizeAuxSession(const UUID& id, AuxChannel channel,
                                                 const std::shared_ptr<platform::TcpConnection>& connection,
                                                 const std::optional<CaptureModeControlPayload>& request) {
    queue.dispatchPrecondition();
    endMediaIdleWarmHoldForViewerReturn(id);
    auto sendLayout = [&] {
        sendToSession(id, channel, connection, AuxPacketType::displayLayout, currentDisplayLayout().encode());
    };
    if (channel == AuxChannel::audio) {
        updateAudioSendConnections();
        sendLayout();
        sendFileTransferEndpoint(id, connection);
        startAudioCapture();
        return;
    }

    // A fresh acknowledgement window: nothing outstanding, acknowledged now.
    videoSessionOutstandingAcks[id] = 0;
    videoSessionLastAckNs[id] = platform::Clock::uptimeNs();
    videoSessionLastFrameSentNs[id] = 0;
    // The stream kind is not recorded as announced, so the frame path
    // announces the configuration again before this session's first frame.
    if (lastVideoConfig) sendToSession(id, channel, connection, AuxPacketType::videoStreamConfig, *lastVideoConfig);
    sendLayout();
    if (request && (request->flags & CaptureModeControlPayload::flagIOSBuiltInDisplay)) {
        applyIOSBuiltInDisplayCaptureRequest(*request);
        requestVideoKeyframeWithDelayedRetry();
    } else if (request) {
        // The Viewer asked for its mode in the login itself: arbitration
        // settles it with everybody else's and starts what it needs.
        applyVideoCaptureRequest(*request, id);
    } else if (videoCapture) {
        requestVideoKeyframeWithDelayedRetry();
    } else if (videoCaptureModeWasRequested) {
        applyVideoCaptureMode(currentVideoMode);
        requestVideoKeyframeWithDelayedRetry();
    } else {
        scheduleInitialVideoCaptureStart();
    }
    endSleepRecoveryViewerReconnectGrace("Viewer video session reconnected");
    if (!screensAreSleeping && sleepPreflightPhysicalCaptureRequest) {
        isAwaitingSleepPreflightPhysicalRecovery = true;
        startSleepPreflightPhysicalRecovery("Viewer video session reconnected");
    }
    reconcileHeadlessScreenSharingCapture("viewer video session authorized");
    if (isIOSViewerSession(id)) endIOSViewerBackgroundSleepGrace("iOS Viewer reconnected");
}

std::vector<uint8_t> V230HostAudioAuxServer::currentHostSessionInfoPayload() const {
    auto console = currentConsoleSessionState();
    HostSessionInfoPayload info;
    info.isLoginWindow = console.isLoginWindow;
    info.isLocked = console.isLocked;
    info.loginDone = console.loginDone;
    info.canSwitchDesktops = DesktopSwitcher::canSwitchDesktops();
    info.osMajorVersion = hostOSMajorVersion;
    info.consoleUserName = console.username;
    info.consoleDisplayName = console.displayName;
    info.hostIdentifier = hostIdentity_ ? hostIdentity_->hostIdentifier.uuidString() : std::string();
    return info.encode();
}
