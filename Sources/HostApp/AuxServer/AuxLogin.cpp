// The identity proof (type 41 -> 42) and the sealed login (type 36) of a
// Viewer connection, and what a session gets once it has logged in.

#include "HostApp/AuxServer/AuxLogin.h"

#include <algorithm>

#include "HostApp/Protocol/SessionPayloads.h"
#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "HostApp/Display/DesktopSwitcher.h"
#include "Platform/Runtime/Clock.h"

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

void V230HostAudioAuxServer::armLoginDeadline() {
    queue.dispatchPrecondition();
    if (loginDeadlineTimer_ || stopped_) return;
    const auto deadlineNs = static_cast<uint64_t>(loginDeadlineSeconds * 1e9);
    std::optional<uint64_t> earliest;
    for (const auto& [id, session] : sessionContexts_) {
        if (session->authorized || session->closed) continue;
        earliest = std::min(earliest.value_or(UINT64_MAX), session->acceptedNs + deadlineNs);
    }
    if (!earliest) return;
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    loginDeadlineTimer_ = platform::makeWorkItem([weak] {
        auto self = weak.lock();
        if (!self) return;
        self->loginDeadlineTimer_.reset();
        self->closeSessionsPastLoginDeadline();
        self->armLoginDeadline();
    });
    const uint64_t now = platform::Clock::uptimeNs();
    queue.asyncAfter(*earliest > now ? static_cast<double>(*earliest - now) / 1e9 : 0, loginDeadlineTimer_);
}

void V230HostAudioAuxServer::closeSessionsPastLoginDeadline() {
    const uint64_t now = platform::Clock::uptimeNs();
    const auto deadlineNs = static_cast<uint64_t>(loginDeadlineSeconds * 1e9);
    std::vector<std::shared_ptr<AuxSessionContext>> due;
    for (const auto& [id, session] : sessionContexts_)
        if (!session->authorized && !session->closed && session->acceptedNs + deadlineNs <= now)
            due.push_back(session);
    for (const auto& s : due) {
        if (s->closed) continue;
        closeSessionWithLine(*s, "aux: session " + s->id.id8() + " did not log in within 30 s; closing",
                             "no login within 30 s");
    }
}

void V230HostAudioAuxServer::handleIdentityChallenge(AuxSessionContext& session, std::span<const uint8_t> payload) {
    // Each proof is a signature on this queue: a peer that has not logged in
    // gets two, enough for one retry, and is closed at its third request.
    if (!session.authorized && ++session.challengesBeforeLogin > AuxAdmission::maxChallengesBeforeLogin) {
        return closeSessionWithLine(session,
                                    "aux: session " + session.id.id8() +
                                        " asked for a third identity proof before login; closing",
                                    "too many identity challenges");
    }
    auto challenge = HostIdentityChallengePayload::decode(payload);
    if (!challenge) {
        if (session.authorized) {
            publish("bad identity challenge payload");
        } else {
            session.sentBadChallenge = true;
        }
        return;
    }
    // After login the same two are answered; a logged-in Viewer is not
    // closed for asking more, but nothing more is signed for it, and the
    // refusal is told once. Only challenges that would be answered count: a
    // malformed one costs no signature.
    if (session.authorized && identityProofLimitAfterLogin_ &&
        ++session.challengesAfterLogin > AuxAdmission::maxChallengesAfterLogin) {
        if (session.challengesAfterLogin == AuxAdmission::maxChallengesAfterLogin + 1)
            publish("aux: session " + session.id.id8() + " asked for a third identity proof after login; ignoring");
        identityChallengesIgnored_.fetch_add(1);
        return;
    }
    if (!session.hostEphemeral) session.hostEphemeral = platform::crypto::X25519KeyPair::generate();
    HostIdentityProofPayload proof;
    proof.hostPublicKey = hostIdentity_->signingKey.publicKey();
    proof.hostEphemeralPublicKey = session.hostEphemeral->publicKey();
    proof.signature = hostIdentity_->signingKey.sign(
        HostIdentityProofPayload::signedMessage(challenge->challenge, proof.hostEphemeralPublicKey));
    session.identityAnswered = true;
    sendToSession(session.id, session.channel, session.connection, AuxPacketType::hostIdentityProof, proof.encode());
}

void V230HostAudioAuxServer::handleViewerLogin(const std::shared_ptr<AuxSessionContext>& session,
                                               std::span<const uint8_t> payload) {
    if (session->authorized) {
        publish("aux: second login ignored for session " + session->id.id8() + " channel=" +
                channelName(session->channel));
        return;
    }
    if (session->loginInFlight) {
        session->sentSecondLogin = true;
        return;
    }
    // The Viewer cannot know the key to seal to before it had the proof.
    if (!session->identityAnswered || !session->hostEphemeral)
        return failViewerLogin(*session, auxlogin::identityRequired);

    auto login = ViewerLoginPayload::decode(payload);
    if (!login) return failViewerLogin(*session, auxlogin::malformedLogin);
    auto key = auxlogin::loginKey(*session->hostEphemeral, login->viewerPublicKey);
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

    // A directory can take seconds to answer: the check waits for a slot
    // and its address's turn, runs on a worker queue of its own and comes
    // back with the verdict.
    session->loginInFlight = true;
    waitingPasswordChecks_.push_back({session, std::move(*credentials), session->connection->remoteAddress()});
    startPasswordChecks();
}

void V230HostAudioAuxServer::startPasswordChecks() {
    queue.dispatchPrecondition();
    if (stopped_ || terminating_) return;
    // A login whose deadline falls due with its turn is closed, not checked.
    closeSessionsPastLoginDeadline();
    const uint64_t now = platform::Clock::uptimeNs();
    std::optional<uint64_t> wakeAt;
    // Machines and their addresses take turns: a machine with many logins
    // waiting, or one whose fail delays hold its checks, keeps nobody
    // else's login behind its own.
    for (;;) {
        std::vector<std::string> addresses;
        for (const auto& waiting : waitingPasswordChecks_) addresses.push_back(waiting.address);
        wakeAt.reset();
        const auto next = admission_.nextCheck(addresses, now, wakeAt);
        if (!next) break;
        auto it = waitingPasswordChecks_.begin() + static_cast<std::ptrdiff_t>(*next);
        const size_t slot = static_cast<size_t>(
            std::find(passwordCheckQueueBusy_.begin(), passwordCheckQueueBusy_.end(), false) -
            passwordCheckQueueBusy_.begin());
        passwordCheckQueueBusy_[slot] = true;
        admission_.checkStarted(it->address);
        std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
        passwordCheckQueues_[slot].async(
            [weak, directory = directory_, serverQueue = queue, slot, check = std::move(*it)]() mutable {
                auto verdict = directory->verify(check.credentials.userName, check.credentials.password);
                serverQueue.async([weak, slot, verdict, check = std::move(check)]() mutable {
                    if (auto self = weak.lock()) self->finishPasswordCheck(slot, std::move(check), verdict);
                });
            });
        waitingPasswordChecks_.erase(it);
    }
    if (passwordCheckWakeUp_) passwordCheckWakeUp_->cancel();
    passwordCheckWakeUp_.reset();
    if (!wakeAt) return;
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    passwordCheckWakeUp_ = platform::makeWorkItem([weak] {
        if (auto self = weak.lock()) self->startPasswordChecks();
    });
    queue.asyncAfter(static_cast<double>(*wakeAt - now) / 1e9, passwordCheckWakeUp_);
}

void V230HostAudioAuxServer::finishPasswordCheck(size_t slot, WaitingPasswordCheck check,
                                                 platform::CredentialCheck verdict) {
    queue.dispatchPrecondition();
    passwordCheckQueueBusy_[slot] = false;
    admission_.checkFinished(check.address, verdict, platform::Clock::uptimeNs());
    finishViewerLogin(check.session, verdict, std::move(check.credentials));
    startPasswordChecks();
}

void V230HostAudioAuxServer::finishViewerLogin(const std::shared_ptr<AuxSessionContext>& session,
                                               platform::CredentialCheck verdict, ViewerLoginCredentials credentials) {
    queue.dispatchPrecondition();
    session->loginInFlight = false;
    credentials.password.assign(credentials.password.size(), '\0');
    // The connection may have gone while the directory was asked; its one
    // line has been written.
    auto live = sessionContexts_.find(session->id);
    if (stopped_ || terminating_ || session->closed || live == sessionContexts_.end() || live->second != session)
        return;
    if (verdict == platform::CredentialCheck::invalid) return failViewerLogin(*session, auxlogin::invalidCredentials);
    if (verdict == platform::CredentialCheck::unavailable) return failViewerLogin(*session, auxlogin::authUnavailable);

    const UUID id = session->id;
    const AuxChannel channel = session->channel;
    // Its source may have filled its logged-in share while the password was
    // checked; the Viewer hears end of stream, as at a refused accept.
    if (const char* cap = admitLoggedIn(session->connection, *session->account))
        return closeSessionWithLine(*session,
                                    "aux: session " + id.id8() + " channel=" + channelName(channel) + " over " +
                                        cap + "; closing",
                                    std::string("over ") + cap);
    session->authorized = true;
    session->cutter.setPayloadLimit(AuxPacketCutter::postLoginPayloadLimit);
    // From now on its packets' work is its peer's: its turns wait while
    // that is over budget (before, it is served its login whatever its peer
    // holds), and it reads a little past the budget for what keeps its
    // stream going meanwhile.
    session->turns.setLedger(session->account->ledger);
    session->connection->setReadAheadPastBudget(AuxAdmission::readAheadPastBudgetBytes);
    authorizedFor(channel).insert(id);
    if (channel == AuxChannel::video) authorizedVideoSessionCount.increment();
    viewerSessionNames[id] = credentials.viewerDisplayName;
    viewerSessionRemoteAddresses[id] = session->connection->remoteAddress();
    publishViewerPresence();
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
    // The refusal is the connection's one line.
    if (!terminating_ && admission_.mayLogPreLoginEnd("login failed"))
        publish(preLoginLine(session, "aux session authorization failed session=" + id.id8() +
                                          " channel=" + channelName(channel) + " code=" + code));
    // Close only once the refusal is written, so the Viewer can read why.
    auto connection = session.connection;
    session.closed = true;
    sendHostStatus("login failed: code=" + code, connection,
                   [connection](const std::string&) { connection->cancel(); });
    removeSession(id, channel);
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

    beginVideoSessionAckWindow(id);
    // The running stream's configuration now, so the first frame finds the
    // session ready for it; the frame path announces it again only if the
    // session is bound to another stream by then.
    const auto& sc = streamControl;
    if (sc.lastVideoConfig) sendVideoStreamConfig(id, connection, *sc.lastVideoConfig, HostVideoStreamKind::shared);
    sendLayout();
    if (request && (request->flags & CaptureModeControlPayload::flagIOSBuiltInDisplay)) {
        applyIOSBuiltInDisplayCaptureRequest(*request);
        requestVideoKeyframeWithDelayedRetry();
    } else if (request) {
        // The Viewer asked for its mode in the login itself: arbitration
        // settles it with everybody else's and starts what it needs.
        applyVideoCaptureRequest(*request, id);
    } else if (sc.videoCapture) {
        requestVideoKeyframeWithDelayedRetry();
    } else if (sc.videoCaptureModeWasRequested) {
        applyVideoCaptureMode(sc.currentVideoMode);
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

uint64_t V230HostAudioAuxServer::identityChallengesIgnoredForTesting() { return identityChallengesIgnored_.load(); }

void V230HostAudioAuxServer::setIdentityProofLimitAfterLoginForTesting(bool enforced) {
    identityProofLimitAfterLogin_ = enforced;
}
