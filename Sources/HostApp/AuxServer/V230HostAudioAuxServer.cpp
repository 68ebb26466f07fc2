#include "HostApp/AuxServer/V230HostAudioAuxServer.h"


#include <algorithm>
#include <limits>
#include <cctype>
#include <utility>

#include "HostApp/Protocol/FileTransferEndpointPayload.h"
#include "Platform/Runtime/Clock.h"
#include "Platform/Runtime/FreedMemory.h"
#include "HostApp/Display/HostDisplayModeSwitcher.h"
#include "HostApp/Display/HeadlessVirtualDisplay.h"
#include "Platform/Runtime/Log.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"

using platform::UUID;

namespace {

// Unicode white space and line breaks, as a Viewer's name may carry them
// (a pasted no-break space, a line separator).
bool isWhitespaceOrNewline(uint32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

// The code point starting at s[i] and its length in bytes; a byte that does
// not start a well-formed sequence counts as itself.
std::pair<uint32_t, size_t> codePointAt(const std::string& s, size_t i) {
    const auto b = static_cast<unsigned char>(s[i]);
    const size_t len = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
    if (len <= 1 || i + len > s.size()) return {b, 1};
    uint32_t c = b & (0x7F >> len);
    for (size_t k = 1; k < len; ++k) {
        const auto cont = static_cast<unsigned char>(s[i + k]);
        if ((cont & 0xC0) != 0x80) return {b, 1};
        c = (c << 6) | (cont & 0x3F);
    }
    return {c, len};
}

std::string trimmed(const std::string& s) {
    size_t begin = 0;
    while (begin < s.size()) {
        auto [c, len] = codePointAt(s, begin);
        if (!isWhitespaceOrNewline(c)) break;
        begin += len;
    }
    // Walk forward, remembering where the last non-space character ends.
    size_t end = begin;
    for (size_t i = begin; i < s.size();) {
        auto [c, len] = codePointAt(s, i);
        i += len;
        if (!isWhitespaceOrNewline(c)) end = i;
    }
    return s.substr(begin, end - begin);
}

std::string lowercased(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::span<const uint8_t> textBytes(const std::string& text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

}  // namespace

V230HostAudioAuxServer::V230HostAudioAuxServer() : V230HostAudioAuxServer(V230HostAudioAuxServerConfiguration{}) {}

V230HostAudioAuxServer::V230HostAudioAuxServer(V230HostAudioAuxServerConfiguration configuration)
    : configuration_(std::move(configuration)),
      directory_(configuration_.directory ? configuration_.directory
                                          : std::make_shared<platform::PamDirectory>()),
      admission_(configuration_.admissionRandom, configuration_.hostByteTotalBytes) {
    for (size_t slot = 1; slot <= AuxAdmission::passwordCheckSlots; ++slot)
        passwordCheckQueues_.emplace_back("v230.host.audio.aux.login." + std::to_string(slot));
    passwordCheckQueueBusy_.assign(passwordCheckQueues_.size(), false);
    clipboardDecodeQueue.setDropsWorkOfGonePeers(true);
}

V230HostAudioAuxServer::~V230HostAudioAuxServer() {
    // The owner is expected to call stopForTermination(); a server dropped
    // without it must still not leave sockets open or a timer firing.
    if (statsTimer_) statsTimer_->cancel();
    if (streamControl.videoFlowTimer) streamControl.videoFlowTimer->cancel();
    for (auto* listener : {&audioListener_, &videoListener_, &fileListener_})
        if (*listener) (*listener)->cancel();
    for (auto& [id, session] : sessionContexts_) session->connection->cancel();
}

// --- Start and stop ------------------------------------------------------------------

void V230HostAudioAuxServer::start() {
    queue.sync([this] { startOnQueue(); });
}

void V230HostAudioAuxServer::startOnQueue() {
    queue.dispatchPrecondition();
    if (started_ || stopped_) return;
    started_ = true;
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    hostIdentity_ = HostIdentity::loadOrCreate(
        configuration_.identityPath.empty() ? HostIdentity::defaultPath()
                                            : std::filesystem::path(configuration_.identityPath),
        weakPublisher());

    // A virtual display left behind by an earlier run of the Host would be
    // taken for a real one.
    HeadlessVirtualDisplay::shared().stop(false);

    // Among real displays only: the main display may be a virtual one
    // (Screen Sharing's), which is no display to start from.
    const auto physicalDisplays = HostDisplayModeSwitcher::activePhysicalDisplayIDs();
    const uint32_t mainDisplay = HostDisplayModeSwitcher::defaultDisplayID();
    startupPhysicalDisplayID =
        physicalDisplays.empty() ? 0
        : std::find(physicalDisplays.begin(), physicalDisplays.end(), mainDisplay) != physicalDisplays.end()
            ? mainDisplay
            : physicalDisplays.front();
    selectedDisplayID = physicalDisplayID = startupPhysicalDisplayID;
    registerDisplayChangeObserverIfNeeded();

    audioListener_ = openListener(configuration_.audioPort, true, "audio");
    videoListener_ = openListener(configuration_.videoPort, true, "video");
    fileListener_ = openListener(configuration_.filePort, false, "file");
    if (audioListener_) {
        audioListener_->newConnectionHandler = [weak](std::shared_ptr<platform::TcpConnection> c) {
            if (auto self = weak.lock()) self->acceptAuxConnection(c, AuxChannel::audio);
        };
        audioListener_->start(queue);
    }
    if (videoListener_) {
        videoListener_->newConnectionHandler = [weak](std::shared_ptr<platform::TcpConnection> c) {
            if (auto self = weak.lock()) self->acceptAuxConnection(c, AuxChannel::video);
        };
        videoListener_->start(queue);
    }
    if (fileListener_) {
        fileListener_->newConnectionHandler = [weak](std::shared_ptr<platform::TcpConnection> c) {
            auto self = weak.lock();
            if (self && self->admitUnauthenticated(c)) self->handleFileTransferConnection(c);
        };
        fileListener_->start(queue);
    }

    statsTimer_ = std::make_unique<platform::DispatchTimer>(queue, 1.0, [weak] {
        if (auto self = weak.lock()) self->statsTick();
    });
    statsTimer_->resume();
    startVideoFlowTimer();
    startDragPollingTimer();

    publish("aux: server started audio=" + std::to_string(boundAudioPort()) +
            " video=" + std::to_string(boundVideoPort()) + " file=" + std::to_string(boundFilePort()) +
            " host=" + hostIdentity_->hostIdentifier.uuidString());
    // Whoever started the Host learns here whose password a Viewer needs.
    publish("aux: Viewers log in as " + currentConsoleSessionState().username);
    startBonjourAdvertisement();

    startupCaptureWarmup = StartupCaptureWarmup::create(
        {queue, captureLifecycleQueue,
         [weak] {
             auto self = weak.lock();
             return self && self->authorizedVideoSessionCount.value() > 0;
         },
         [weak] {
             auto self = weak.lock();
             return self ? self->startupPhysicalDisplayID : 0u;
         },
         weakPublisher(),
         {}});
    startupCaptureWarmup->schedule();
}

void V230HostAudioAuxServer::startBonjourAdvertisement() {
    queue.dispatchPrecondition();
    BonjourAdvertiser::Identity id;
    id.hostIdentifier = hostIdentity_->hostIdentifier.uuidString();
    auto pk = hostIdentity_->signingKey.publicKey();
    id.publicKey.assign(pk.begin(), pk.end());
    id.audioPort = boundAudioPort();
    id.videoPort = boundVideoPort();
    id.filesPort = boundFilePort();
    bonjourAdvertiser_ = std::make_shared<BonjourAdvertiser>(id, queue, weakPublisher(), configuration_.dnsRegistration,
                                                             configuration_.routeRecordSource);
    // A change of interfaces reaches the server's own update, like every
    // other reason to look at the advertisement again.
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    bonjourAdvertiser_->onNetworkPathChanged = [weak] {
        if (auto self = weak.lock()) self->updateBonjourAdvertisement("network path changed");
    };
    bonjourAdvertiser_->start();
}

std::shared_ptr<platform::TcpListener> V230HostAudioAuxServer::openListener(uint16_t port, bool noDelay,
                                                                            const char* what) {
    platform::TcpListenerOptions options;
    options.noDelay = noDelay;
    options.bindAddress = configuration_.bindAddress;
    auto listener = platform::TcpListener::listen(port, options);
    if (!listener.ok()) {
        publish(std::string("aux: cannot listen for ") + what + " on port " + std::to_string(port) + ": " +
                listener.error());
        return nullptr;
    }
    return *listener;
}

void V230HostAudioAuxServer::stopForTermination() {
    auto stopped = std::make_shared<platform::DispatchSemaphore>(0);
    beginTermination([stopped] { stopped->signal(); });
    stopped->wait();
}

void V230HostAudioAuxServer::beginTermination(platform::Work stopped) {
    terminating_ = true;
    queue.async([self = shared_from_this(), stopped = std::move(stopped)] {
        if (!self->tearDownForTermination()) {
            if (stopped) stopped();
            return;
        }
        // A movie without its index plays nowhere: the writer gets its time,
        // also for a movie stopped just before, on a queue that may wait.
        platform::DispatchQueue::global(platform::QualityOfService::utility)
            .async([finish = self->recording.lastFinish, stopped] {
                if (finish) finish->wait(terminationMovieFinishSeconds);
                if (stopped) stopped();
            });
    });
}

bool V230HostAudioAuxServer::tearDownForTermination() {
    queue.dispatchPrecondition();
    {
        if (stopped_) return false;
        stopped_ = true;
        // What Viewers' packets left waiting on their queues is dropped: a
        // backlog of them must not hold the stop.
        for (const auto& account : admission_.liveAccounts()) account->ledger->cancel();
        if (statsTimer_) statsTimer_->cancel();
        if (loginDeadlineTimer_) loginDeadlineTimer_->cancel();
        if (passwordCheckWakeUp_) passwordCheckWakeUp_->cancel();
        for (auto& waiting : waitingPasswordChecks_)
            waiting.credentials.password.assign(waiting.credentials.password.size(), '\0');
        waitingPasswordChecks_.clear();
        if (streamControl.videoFlowTimer) streamControl.videoFlowTimer->cancel();
        if (remoteDrag.dragPollTimer) remoteDrag.dragPollTimer->cancel();
        stopMotionStream("Host terminating", true);
        stopHostRecordingForTermination();
        cancelSleepRecoveryWorkForTermination();
        // The Mac's audio goes back to how it was before any Viewer took it.
        releaseExclusiveAudioListening("Host service stopped");
        if (auto restored = restoreViewerHostOutputAfterExclusiveListening()) publish(*restored);
        // Restored here, so closing the sessions below has no mute left to
        // give back.
        audio.viewerHostOutputMuteSessionID.reset();
        stopAudioCapture(true);
        if (bonjourAdvertiser_) bonjourAdvertiser_->stop();
        for (auto* listener : {&audioListener_, &videoListener_, &fileListener_}) {
            if (*listener) (*listener)->cancel();
        }
        // Removal edits the maps, so walk copies of their keys. Connections
        // that never logged in go without a line each.
        std::vector<std::pair<UUID, AuxChannel>> sessions;
        for (const auto& [id, c] : audioSessions) sessions.emplace_back(id, AuxChannel::audio);
        for (const auto& [id, c] : videoSessions) sessions.emplace_back(id, AuxChannel::video);
        for (const auto& [id, channel] : sessions) closeSession(id, channel);
        // A channel's end handler edits these tables: cancel from copies.
        auto channels = std::exchange(fileTransferChannels, {});
        auto pendingChannels = std::exchange(fileTransferChannel.pending, {});
        for (const auto& [id, channel] : channels) channel->cancel();
        for (const auto& [key, channel] : pendingChannels) channel->cancel();
        updateViewerIdleSleepAssertion();
        // Removing the last sessions above may have begun a hold; nobody
        // returns to a Host that is going away.
        cancelMediaIdleWarmHold();
        cancelPendingHeadlessCaptureTransition();
        cancelHeadlessRealizeRetries();
        cancelHeadlessDesktopPromotionRetry();
        if (displayTarget.displayTopologyRecoveryTask) displayTarget.displayTopologyRecoveryTask->cancel();
        if (displayTarget.displayParametersObserver)
            platform::NotificationCenter::defaultCenter().removeObserver(*displayTarget.displayParametersObserver);
        retireVideoCaptureOnLifecycleQueue();
        HeadlessVirtualDisplay::shared().stop(true);
        lastDisplayLayout.reset();
        for (const auto& line : HostDisplayModeSwitcher::restoreAllOriginalModes()) publish("shutdown " + line);
        publishViewerPresence();
        publish("aux: server stopped; closed " + std::to_string(sessions.size()) + " Viewer connection(s)");
    }
    return true;
}

uint16_t V230HostAudioAuxServer::boundAudioPort() const {
    return queue.syncValue([this] { return audioListener_ ? audioListener_->port() : uint16_t{0}; });
}
uint16_t V230HostAudioAuxServer::boundVideoPort() const {
    return queue.syncValue([this] { return videoListener_ ? videoListener_->port() : uint16_t{0}; });
}
uint16_t V230HostAudioAuxServer::boundFilePort() const {
    return queue.syncValue([this] { return fileListener_ ? fileListener_->port() : uint16_t{0}; });
}

// --- Connections ---------------------------------------------------------------------

bool V230HostAudioAuxServer::admitUnauthenticated(const ConnectionRef& connection) {
    queue.dispatchPrecondition();
    ConnectionRef displaced;
    if (!stopped_ && !terminating_ &&
        admission_.admit(connection, connection->remoteAddress(), &displaced) == AuxAdmission::Verdict::admitted) {
        if (displaced) closeDisplaced(displaced);
        return true;
    }
    // Never started: nothing is read from it and nothing is sent.
    connection->cancel();
    return false;
}

void V230HostAudioAuxServer::closeDisplaced(const ConnectionRef& displaced) {
    queue.dispatchPrecondition();
    for (const auto& [id, session] : sessionContexts_) {
        if (session->connection != displaced || session->closed) continue;
        auto context = session;
        return closeSessionWithLine(*context,
                                    "aux: session " + id.id8() + " gave its place to another machine's; closing",
                                    "gave its place to another machine's");
    }
    for (const auto& [key, channel] : fileTransferChannel.pending) {
        if (channel->connection() != displaced) continue;
        logUnboundFileChannelEnd("file aux: gave its place to another machine's; dropping connection");
        auto held = channel;
        return held->cancel();
    }
    displaced->cancel();
}

const char* V230HostAudioAuxServer::admitLoggedIn(const ConnectionRef& connection, const AuxPeerAccount& account) {
    queue.dispatchPrecondition();
    if (admission_.logIn(connection, connection->remoteAddress()) != AuxAdmission::Verdict::admitted)
        return "the logged-in connection cap";
    // Its socket is one of its peer's descriptors: past their bound, or
    // the Host-wide total, it is refused, and says which.
    if (!connection->setReadAheadBudget(account.ledger))
        return platform::WorkLedger::refusedByHostDescriptorTotal(account.ledger) ? "the Host-wide descriptor total"
                                                                                   : "its peer's descriptor bound";
    connection->setMaxUndeliveredBytes(platform::TcpConnection::kMaxUndeliveredBytes);
    connection->setSendBudget(account.ledger);
    connection->enableKeepAlive(kKeepAliveIdleSeconds, kKeepAliveIntervalSeconds, kKeepAliveProbes);
    return nullptr;
}

std::shared_ptr<AuxPeerAccount> V230HostAudioAuxServer::peerAccount(const std::string& address) {
    queue.dispatchPrecondition();
    return admission_.accountFor(address, [weak = weak_from_this()](const std::string& peer) {
        if (auto self = weak.lock()) self->peerGone(peer);
    });
}

void V230HostAudioAuxServer::peerGone(const std::string& peer) {
    std::lock_guard<std::mutex> g(viewerLinesLock_);
    viewerLines_.dropScope(peer);
}

std::shared_ptr<platform::WorkLedger> V230HostAudioAuxServer::ledgerOfSession(const UUID& session) const {
    queue.dispatchPrecondition();
    auto it = sessionContexts_.find(session);
    return it == sessionContexts_.end() ? nullptr : it->second->account->ledger;
}

void V230HostAudioAuxServer::acceptAuxConnection(const ConnectionRef& connection, AuxChannel channel) {
    if (!admitUnauthenticated(connection)) return;
    const UUID id = UUID::random();
    const std::string address = connection->remoteAddress();
    auto session = std::make_shared<AuxSessionContext>(id, channel, connection, queue, peerAccount(address));
    sessionContexts_[id] = session;
    sessionsFor(channel)[id] = connection;

    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    connection->stateUpdateHandler = [weak, id, channel](platform::ConnectionState state, const std::string& error) {
        auto self = weak.lock();
        if (!self || state != platform::ConnectionState::failed) return;
        auto it = self->sessionContexts_.find(id);
        if (it == self->sessionContexts_.end() || it->second->closed) return;
        self->closeSessionWithLine(*it->second,
                                   "aux: " + std::string(channelName(channel)) + " session " + id.id8() +
                                       " failed: " + error,
                                   "failed");
    };
    connection->receiveHandler = [weak, id](std::span<const uint8_t> data, bool isComplete,
                                            const std::string& error) {
        if (auto self = weak.lock()) self->handleReceive(id, data, isComplete, error);
    };
    // Until login, only a little is read ahead of the server.
    connection->setMaxUndeliveredBytes(AuxAdmission::preLoginReadAheadBytes);
    connection->start(queue);
    armLoginDeadline();
}

void V230HostAudioAuxServer::handleReceive(const UUID& id, std::span<const uint8_t> data, bool isComplete,
                                           const std::string& error) {
    queue.dispatchPrecondition();
    // Once termination has begun nothing more is read: the connections are
    // about to be closed, and a flood queued here must not hold it up.
    if (terminating_) return;
    auto it = sessionContexts_.find(id);
    if (it == sessionContexts_.end()) return;
    // Held for the whole turn: a handler may remove the session, and the
    // payload spans point into this session's cutter.
    std::shared_ptr<AuxSessionContext> session = it->second;
    if (session->closed) return;
    if (!data.empty()) session->cutter.append(data);
    session->turns.delivered(data.size());
    if (isComplete) session->endOfStream = error;
    // A connection with no turn waiting whose peer's work is past its
    // budget would queue one to wait for that work, end and all.
    if (session->turns.waitingForThePeer() || (isComplete && session->turns.mustWaitForWork())) {
        // A peer that left is not waited for: what it sent that waits for
        // its work goes with it.
        if (isComplete) return closeEndedSession(*session);
        serveOutOfTurn(session);
        settleReadBytes(*session);
        return;
    }
    // Bytes read before reading was held wait for the connection's turn
    // already queued; they take none of their own, and stay charged.
    if (session->turns.turnQueued()) return;
    serveReceiveTurn(session);
}

void V230HostAudioAuxServer::settleReadBytes(AuxSessionContext& session) {
    // A closed session's bytes go with it.
    if (session.closed) return session.turns.settle({{}, session.cutter.packetsTaken(), 0});
    session.turns.settle({session.cutter.buffered(), session.cutter.packetsTaken(), session.cutter.arrivalLimit()});
}

namespace {

// What a connection is served while its peer's work is over budget: what
// keeps the peer's own stream going and its input, none of which starts
// work of the peer's (input is coalesced and posted at once). Served as it
// arrives, all of it, it is never held: only the packets that start work
// wait, within what the connection may read past the budget.
bool servedPastTheBudget(AuxPacketType type) {
    switch (type) {
        case AuxPacketType::videoFrameAck:
        case AuxPacketType::keyFrameRequest:
        case AuxPacketType::pointerEvent:
        case AuxPacketType::gestureEvent:
        case AuxPacketType::keyEvent:
        case AuxPacketType::rawKeyEvent:
        case AuxPacketType::systemDefinedKeyEvent:
            return true;
        default:
            return false;
    }
}

// Packets the Host answers at once, on the server queue: an audio control
// (status texts to its sender, and to the Viewer it displaced) and a Host
// shortcut (status texts to every Viewer). The others are answered in a
// paced change of the stream (its configuration, a recording's state), on
// the file channel's own terms, at most twice a connection (identity
// proofs), or not at all.
bool answeredAtOnce(AuxPacketType type) {
    return type == AuxPacketType::audioControl || type == AuxPacketType::hostShortcut;
}

}  // namespace

size_t V230HostAudioAuxServer::roomToAnswer(const AuxSessionContext& session) const {
    if (!session.authorized) return 0;
    const auto header = AuxPacketHeader::decode(session.cutter.buffered());
    return header && answeredAtOnce(header->type) ? kAnswerRoomBytes : 0;
}

void V230HostAudioAuxServer::serveOutOfTurn(const std::shared_ptr<AuxSessionContext>& session) {
    queue.dispatchPrecondition();
    if (session->closed || terminating_) return;
    session->cutter.cutOutOfTurn(servedPastTheBudget, std::numeric_limits<size_t>::max(),
                                 [&](const AuxPacketHeader& header, std::span<const uint8_t> payload) {
                                     servePacket(session, header, payload);
                                 });
    if (!session->closed) flushCoalescedInput(*session);
}

void V230HostAudioAuxServer::closeEndedSession(AuxSessionContext& session) {
    const std::string error = session.endOfStream.value_or(std::string());
    closeSessionWithLine(session,
                         "aux: " + std::string(channelName(session.channel)) + " session " + session.id.id8() +
                             " ended" + (error.empty() ? std::string() : " (" + error + ")"),
                         "ended");
}

void V230HostAudioAuxServer::serveReceiveTurn(const std::shared_ptr<AuxSessionContext>& session) {
    queue.dispatchPrecondition();
    // However the turn ends, what it served is given back, and what waits
    // for the next turn stays charged.
    struct Settle {
        AuxSessionContext& session;
        ~Settle() { settleReadBytes(session); }
    } settle{*session};
    const UUID id = session->id;
    for (int served = 0;; ++served) {
        // Past its turn, or past what its peer's work may hold: the rest
        // waits behind the others, and for that work to return.
        // Or at a packet whose answers its peer has no room for: it waits
        // until the peer has read enough.
        const size_t answerRoom = roomToAnswer(*session);
        const bool forRoom = answerRoom > 0 && session->turns.mustWaitForRoomToSend(answerRoom);
        if (served == kPacketsPerReceiveTurn || session->turns.mustWaitForWork() || forRoom) {
            flushCoalescedInput(*session);
            if (session->closed || terminating_) return;
            session->turns.yield(
                [weak = weak_from_this(), id] {
                    auto self = weak.lock();
                    if (!self || self->terminating_) return;
                    auto found = self->sessionContexts_.find(id);
                    if (found == self->sessionContexts_.end()) return;
                    std::shared_ptr<AuxSessionContext> next = found->second;
                    if (!next->closed) self->serveReceiveTurn(next);
                },
                forRoom ? answerRoom : 0);
            // What keeps the stream going does not wait behind the work,
            // nor behind the answers.
            if (session->turns.waitingForThePeer()) serveOutOfTurn(session);
            return;
        }
        auto next = session->cutter.next();
        if (next.status == AuxPacketCutter::Status::needMoreData) break;
        if (next.status == AuxPacketCutter::Status::invalidHeader) {
            flushCoalescedInput(*session);
            if (session->closed) return;
            closeSessionWithLine(*session,
                                 "aux: invalid header from session " + id.id8() +
                                     " (type=" + std::to_string(next.invalidTypeRaw) + "); closing",
                                 "invalid header");
            return;
        }
        if (next.status == AuxPacketCutter::Status::payloadTooLarge) {
            flushCoalescedInput(*session);
            if (session->closed) return;
            closeSessionWithLine(*session,
                                 "aux: payload too large (" + std::to_string(next.payloadLength) + ") from " +
                                     id.id8() + "; closing",
                                 "payload too large");
            return;
        }
        servePacket(session, next.header, next.payload);
        if (session->closed || terminating_) return;
    }
    flushCoalescedInput(*session);
    if (session->closed || terminating_) return;
    session->turns.caughtUp();
    if (session->endOfStream) closeEndedSession(*session);
}

void V230HostAudioAuxServer::servePacket(const std::shared_ptr<AuxSessionContext>& session,
                                         const AuxPacketHeader& header, std::span<const uint8_t> payload) {
    if (!session->authorized) return handleAuxPacket(session, header, payload);
    // Whatever this packet costs, here or on any queue its work hops to, is
    // its peer's.
    const platform::WorkLedger::Charged charged(session->account->ledger);
    const auto buttons = remoteInput.inputButtonMasks.find(session->id);
    const uint8_t heldButtons = buttons == remoteInput.inputButtonMasks.end() ? 0 : buttons->second;
    for (;;) {
        switch (session->coalescedInput.fold(header.type, payload, heldButtons)) {
            case CoalescedInput::Fold::absorbed:
                return;
            case CoalescedInput::Fold::flushThenRetry:
                flushCoalescedInput(*session);
                if (session->closed) return;
                continue;
            case CoalescedInput::Fold::dispatch:
                flushCoalescedInput(*session);
                if (session->closed) return;
                handleAuxPacket(session, header, payload);
                return;
        }
    }
}

void V230HostAudioAuxServer::handleAuxPacket(const std::shared_ptr<AuxSessionContext>& session,
                                             const AuxPacketHeader& header, std::span<const uint8_t> payload) {
    switch (header.type) {
        case AuxPacketType::hostIdentityChallenge:
            handleIdentityChallenge(*session, payload);
            return;
        case AuxPacketType::viewerLogin:
            handleViewerLogin(session, payload);
            return;
        default:
            break;
    }
    if (!session->authorized) {
        // Before login a connection is served its identity proof and its
        // login, nothing else; what it sent instead goes into its one line.
        session->notedTypes.insert(static_cast<uint8_t>(header.type));
        return;
    }
    dispatchControl(header, payload, session->id);
}

void V230HostAudioAuxServer::noteOnce(AuxSessionContext& session, uint8_t type, const std::string& text) {
    if (session.notedTypes.insert(type).second) publish(text);
}

void V230HostAudioAuxServer::closeSessionWithLine(AuxSessionContext& session, const std::string& line,
                                                  const std::string& reason) {
    queue.dispatchPrecondition();
    if (session.authorized) {
        publish(line);
    } else if (!terminating_ && admission_.mayLogPreLoginEnd(reason)) {
        publish(preLoginLine(session, line));
    }
    closeSession(session.id, session.channel);
}

std::string V230HostAudioAuxServer::preLoginLine(const AuxSessionContext& session, const std::string& line) const {
    std::vector<std::string> notes;
    if (session.sentBadChallenge) notes.push_back("bad identity challenge payload");
    if (session.sentSecondLogin) notes.push_back("second login ignored");
    if (!session.notedTypes.empty()) {
        std::string types;
        // GCC 12 at -O3 warns of an overlapping copy inside the std::string
        // inlines of "literal" + string: its -Wrestrict false positive (GCC bug 105651).
#pragma GCC diagnostic push
#if !defined(__clang__)  // a warning only GCC has
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
        for (uint8_t type : session.notedTypes) types += (types.empty() ? "" : ",") + std::to_string(type);
#pragma GCC diagnostic pop
        notes.push_back("dropped type(s) " + types);
    }
    std::string text = line + " [before login from " + session.connection->remoteAddress();
    for (const auto& note : notes) text += "; " + note;
    return text + "]";
}

void V230HostAudioAuxServer::closeSession(UUID id, AuxChannel channel) {
    queue.dispatchPrecondition();
    if (auto it = sessionContexts_.find(id); it != sessionContexts_.end()) {
        it->second->closed = true;
        it->second->connection->cancel();
    } else if (auto& map = sessionsFor(channel); map.count(id)) {
        map[id]->cancel();
    }
    removeSession(id, channel);
}

void V230HostAudioAuxServer::removeSession(UUID id, AuxChannel channel) {
    queue.dispatchPrecondition();
    auto& sessions = sessionsFor(channel);
    const bool wasConnected = sessions.erase(id) > 0;
    const bool wasAuthorized = authorizedFor(channel).erase(id) > 0;
    auto context = sessionContexts_.find(id);
    const bool hadContext = context != sessionContexts_.end() && context->second->channel == channel;
    if (!wasConnected && !wasAuthorized && !hadContext) return;  // already removed

    if (hadContext) {
        context->second->closed = true;
        admission_.release(context->second->connection.get());
        sessionContexts_.erase(context);
    }
    // A login still waiting for its password check goes with its session.
    std::erase_if(waitingPasswordChecks_, [&](WaitingPasswordCheck& waiting) {
        if (waiting.session->id != id) return false;
        waiting.credentials.password.assign(waiting.credentials.password.size(), '\0');
        return true;
    });
    // A connection that never logged in changed nothing the release steps
    // undo, and its end was already told in its one line.
    if (!wasAuthorized) return;
    if (channel == AuxChannel::video) {
        // Lowered only for a session that raised it, so the count never
        // drifts below the number of logged-in video sessions.
        authorizedVideoSessionCount.decrement();
        forgetVideoSessionDeliveryState(id);
        updateVideoGateLocked(platform::Clock::uptimeNs());
        // A Viewer logged in on video alone may have opened batches (type
        // 31): they end with its last session, not at the idle timer.
        if (!authorizedAudioSessions.count(id) && onFileTransferSessionEnded) onFileTransferSessionEnded(id);
    } else {
        if (auto token = fileTransferTokens.find(id); token != fileTransferTokens.end()) {
            fileTransferTokenIndex.erase(token->second);
            fileTransferTokens.erase(token);
        }
        if (auto fileChannel = fileTransferChannels.find(id); fileChannel != fileTransferChannels.end()) {
            // Out of the table first: cancelling runs the end handler.
            auto ended = fileChannel->second;
            fileTransferChannels.erase(fileChannel);
            ended->cancel();
        }
        if (onFileTransferSessionEnded) onFileTransferSessionEnded(id);
    }
    if (configuration_.countSessionReleasesForTesting) releaseCounts_[id]++;
    publish("aux: session " + id.id8() + " removed channel=" + channelName(channel) + " (logged in)");
    // What the connection held (frames it had not taken, packets read
    // ahead) is freed with it, and without a pass it stays resident in the
    // heaps of the threads that made it until an encoder next closes.
    platform::FreedMemory::returnSoon();

    // What the leaving Viewer held must not outlive it.
    if (auto buttons = remoteInput.inputButtonMasks.find(id); buttons != remoteInput.inputButtonMasks.end()) {
        const uint8_t mask = buttons->second;
        remoteInput.inputButtonMasks.erase(buttons);
        if (mask != 0) releasePointerButtons(mask);
    }
    const bool stillAuthorized = authorizedAudioSessions.count(id) || authorizedVideoSessions.count(id);
    // Held modifiers are the Mac's, not the session's: they are lifted once
    // the Viewer's last logged-in connection has gone.
    if (!stillAuthorized) {
        releaseHeldKeyboardModifiers("session disconnected");
        releaseSessionHeldKeys(id);
    }
    if (audio.exclusiveAudioSessionID == id) {
        releaseExclusiveAudioListening("Viewer disconnected");
    } else {
        updateAudioSendConnections();
    }
    if (audio.viewerHostOutputMuteSessionID == id) {
        audio.viewerHostOutputMuteSessionID.reset();
        publish("audio: viewer Host-output mute released on disconnect; " +
                restoreViewerHostOutputAfterExclusiveListening().value_or("Host output restored"));
    }
    if (recording.hostRecordingSessionID == id && !stillAuthorized) {
        publish("recording: session " + id.id8() + " left; stopping Host-side recording");
        stopHostRecording(false);
    }
    if (!stillAuthorized) {
        viewerSessionNames.erase(id);
        viewerSessionRemoteAddresses.erase(id);
        // A pause nobody is left to lift would hold every later Viewer.
        auto& pausing = streamControl.pausingSessions;
        if (pausing.erase(id) > 0 && pausing.empty() && streamControl.isPaused) {
            publish("stream: pause ended; session " + id.id8() + " that asked for it left");
            // With nobody logged in there is nothing to restart: the next
            // login starts its capture as on an unpaused Host.
            if (authorizedVideoSessions.empty() && authorizedAudioSessions.empty())
                streamControl.isPaused = false;
            else
                setPaused(false);
        }
    }

    // A departed Viewer's request must neither keep the Wi-Fi shaping on
    // nor size a later Motion stream.
    if (channel == AuxChannel::video || !stillAuthorized) {
        streamControl.lastVideoRequestBySource.erase(id);
        streamControl.lastCaptureModeBySource.erase(id);
    }
    const bool iosVideoSessionRemains = std::any_of(authorizedVideoSessions.begin(), authorizedVideoSessions.end(),
                                                    [this](const UUID& s) { return isIOSViewerSession(s); });
    if (!iosVideoSessionRemains) scheduleMotionStreamIdleRelease("last Motion stream subscriber left", std::nullopt);
    reconcileSharedCanvasWiFiDeliveryShaping("session " + id.id8() + " removed");
    restoreSharedModeAfterIOSCaptureEnded();
    if (authorizedFor(channel).empty()) {
        if (canHoldMediaWarm()) {
            beginMediaIdleWarmHold();
        } else {
            endMediaIdleWarmHoldAndTeardown("Host cannot hold the capture warm");
        }
    }
    if (shouldBeginSleepRecoveryViewerReconnectGraceAfterLastSessionDisconnect()) {
        beginSleepRecoveryViewerReconnectGrace("last Viewer transport disconnected during sleep recovery");
    }
    updateViewerIdleSleepAssertion();
    publishViewerPresence();
}

size_t V230HostAudioAuxServer::bytesWaitingToBeServedForTesting(const std::string& peer) const {
    queue.dispatchPrecondition();
    size_t bytes = 0;
    for (const auto& [id, session] : sessionContexts_)
        if (session->account->peer == peer) bytes += session->cutter.bufferedBytes();
    return bytes;
}

V230HostAudioAuxServer::PeerHoldingsForTesting V230HostAudioAuxServer::holdingsOfPeerForTesting(
    const std::string& peer) const {
    queue.dispatchPrecondition();
    PeerHoldingsForTesting held;
    for (const auto& [id, session] : sessionContexts_) {
        if (session->account->peer != peer || !session->authorized) continue;
        held.bufferedBytes += session->cutter.bufferedBytes();
        held.unsentBytes += session->connection->unsentBytes();
        ++held.connections;
        const auto channel = fileTransferChannels.find(id);
        if (channel == fileTransferChannels.end() || !channel->second) continue;
        held.bufferedBytes += channel->second->bufferedBytesForTesting();
        held.unsentBytes += channel->second->unsentBytes();
        ++held.connections;
    }
    return held;
}

std::shared_ptr<platform::WorkLedger> V230HostAudioAuxServer::ledgerOfPeerForTesting(const std::string& peer) const {
    queue.dispatchPrecondition();
    for (const auto& [id, session] : sessionContexts_)
        if (session->account->peer == peer) return session->account->ledger;
    return nullptr;
}

size_t V230HostAudioAuxServer::pendingConnectionCountForTesting() {
    return queue.syncValue([this] {
        // Accepted and not yet taken by this queue are pending too.
        size_t accepted = 0;
        for (const auto* listener : {&audioListener_, &videoListener_, &fileListener_})
            if (*listener) accepted += (*listener)->waitingToBeTaken();
        return admission_.pendingCount() + accepted;
    });
}

size_t V230HostAudioAuxServer::sessionReleaseCountForTesting(const UUID& id) const {
    return queue.syncValue([&] {
        auto it = releaseCounts_.find(id);
        return it == releaseCounts_.end() ? size_t{0} : it->second;
    });
}

std::map<UUID, V230HostAudioAuxServer::ConnectionRef>& V230HostAudioAuxServer::sessionsFor(AuxChannel channel) {
    return channel == AuxChannel::audio ? audioSessions : videoSessions;
}

std::set<UUID>& V230HostAudioAuxServer::authorizedFor(AuxChannel channel) {
    return channel == AuxChannel::audio ? authorizedAudioSessions : authorizedVideoSessions;
}

void V230HostAudioAuxServer::sendToSession(const UUID& id, AuxChannel channel, const ConnectionRef& connection,
                                           std::vector<uint8_t> packet) {
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    connection->send(std::move(packet), [weak, id](const std::string& error) {
        if (error.empty()) return;
        auto self = weak.lock();
        if (!self) return;
        // A closed session reports its pending sends as cancelled; only a
        // session still listed has a send error worth acting on.
        auto it = self->sessionContexts_.find(id);
        if (it == self->sessionContexts_.end()) return;
        self->closeSessionWithLine(*it->second, "aux: send to session " + id.id8() + " failed: " + error,
                                   "send failed");
    });
}

void V230HostAudioAuxServer::sendToSession(const UUID& id, AuxChannel channel, const ConnectionRef& connection,
                                           AuxPacketType type, std::span<const uint8_t> payload) {
    sendToSession(id, channel, connection, makeAuxPacket(type, 0, payload, platform::Clock::uptimeNs()));
}

void V230HostAudioAuxServer::sendToAuthorizedSessions(AuxPacketType type, std::span<const uint8_t> payload) {
    queue.dispatchPrecondition();
    auto packet = makeAuxPacket(type, 0, payload, platform::Clock::uptimeNs());
    for (AuxChannel channel : {AuxChannel::audio, AuxChannel::video}) sendToAuthorizedSessionsOf(channel, packet);
}

bool V230HostAudioAuxServer::sendToFirstAuthorizedChannel(AuxPacketType type, std::span<const uint8_t> payload) {
    queue.dispatchPrecondition();
    auto packet = makeAuxPacket(type, 0, payload, platform::Clock::uptimeNs());
    for (AuxChannel channel : {AuxChannel::audio, AuxChannel::video}) {
        if (sendToAuthorizedSessionsOf(channel, packet)) return true;
    }
    return false;
}

bool V230HostAudioAuxServer::sendToAuthorizedSessionsOf(AuxChannel channel, const std::vector<uint8_t>& packet) {
    // Sending can fail a session, which edits the maps: walk a copy.
    std::vector<UUID> ids(authorizedFor(channel).begin(), authorizedFor(channel).end());
    // Success means some connection took the packet: an authorised session
    // whose connection on this channel is gone reached nobody, and callers
    // (the clipboard bridge) settle a change only when it reached a Viewer.
    bool taken = false;
    for (const UUID& id : ids) {
        auto& sessions = sessionsFor(channel);
        auto it = sessions.find(id);
        if (it == sessions.end()) continue;
        const auto state = it->second->state();
        if (state == platform::ConnectionState::failed || state == platform::ConnectionState::cancelled) continue;
        // What goes to everyone is not kept for a peer with no room for it:
        // another Viewer's packets would grow it a backlog it never reads.
        if (!it->second->budgetHasRoomFor(packet.size())) continue;
        sendToSession(id, channel, it->second, packet);
        taken = true;
    }
    return taken;
}

// --- Reporting -----------------------------------------------------------------------------

namespace {
// The kind of a line for rate limiting: its text with every number folded,
// so "volume 31" and "volume 32" are one kind and a different message is
// another.
std::string lineKind(const std::string& text) {
    std::string kind;
    kind.reserve(text.size());
    for (char c : text) {
        const bool digit = c >= '0' && c <= '9';
        if (!digit) {
            kind.push_back(c);
        } else if (kind.empty() || kind.back() != '#') {
            kind.push_back('#');
        }
    }
    return kind;
}
}  // namespace

void V230HostAudioAuxServer::publish(const std::string& text) {
    if (auto ledger = platform::WorkLedger::current()) return publishLimited(ledger->owner(), text);
    platform::Log::line(text);
    if (onStatus) onStatus(text);
}

void V230HostAudioAuxServer::publishForViewer(const UUID& session, const std::string& text) {
    std::shared_ptr<platform::WorkLedger> ledger;
    if (queue.isCurrent()) ledger = ledgerOfSession(session);
    if (!ledger) ledger = platform::WorkLedger::current();
    // A session already gone has no peer left to charge: its lines share
    // the common scope, limited all the same.
    const std::string scope = ledger ? ledger->owner() : std::string();
    const platform::WorkLedger::Charged charged(std::move(ledger));
    publishLimited(scope, text);
}

void V230HostAudioAuxServer::publishLimited(const std::string& scope, const std::string& text) {
    std::optional<std::string> admitted;
    {
        std::lock_guard<std::mutex> g(viewerLinesLock_);
        admitted = viewerLines_.admit(scope, lineKind(text), text);
    }
    if (!admitted) return;
    platform::Log::line(*admitted);
    if (onStatus) onStatus(*admitted);
}

std::function<void(const std::string&)> V230HostAudioAuxServer::weakPublisher() {
    return [weak = weak_from_this()](const std::string& text) {
        if (auto self = weak.lock()) self->publish(text);
    };
}

void V230HostAudioAuxServer::broadcastHostError(const std::string& text) {
    // Only logged-in sessions: these texts describe the Host's state, which
    // is none of an unauthenticated peer's business.
    queue.sync([&] { sendToAuthorizedSessions(AuxPacketType::hostStatus, textBytes(text)); });
}

void V230HostAudioAuxServer::sendHostStatus(const std::string& text, const ConnectionRef& connection,
                                            platform::TcpConnection::SendCompletion completion) {
    connection->send(makeAuxPacket(AuxPacketType::hostStatus, 0, textBytes(text), platform::Clock::uptimeNs()),
                     std::move(completion));
}

HostConsoleSessionState V230HostAudioAuxServer::currentConsoleSessionState() const {
    auto console = platform::SimulatedMachine::current().consoleSession();
    HostConsoleSessionState state;
    state.username = console.userName;
    state.displayName = console.displayName;
    state.isLoginWindow = console.isLoginWindow;
    state.isLocked = console.isLocked;
    state.loginDone = console.loginDone;
    if (configuration_.consoleUser && !console.userName.empty()) {
        state.username = *configuration_.consoleUser;
        if (state.username != console.userName) state.displayName = state.username;
    }
    return state;
}

void V230HostAudioAuxServer::broadcastHostSessionInfo() {
    queue.sync([&] {
        auto payload = currentHostSessionInfoPayload();
        sendToAuthorizedSessions(AuxPacketType::hostSessionInfo, payload);
    });
}

// --- Clipboard and files ------------------------------------------------------------------

void V230HostAudioAuxServer::broadcastClipboardTransfer(const ClipboardTransfer& transfer,
                                                        std::function<void(bool)> delivered) {
    // Encoded on the caller's thread: the server queue only sends.
    auto encoded = transfer.encodedData();
    if (!encoded.ok()) {
        publish("clipboard encode failed: " + encoded.error());
        if (delivered) delivered(false);
        return;
    }
    auto send = [weak = weak_from_this(), payload = std::move(*encoded), delivered = std::move(delivered)] {
        auto self = weak.lock();
        const bool taken = self && self->sendToFirstAuthorizedChannel(AuxPacketType::clipboardTransfer, payload);
        if (delivered) delivered(taken);
    };
    // The caller (the pasteboard poll on the main queue) must not wait for
    // a server queue that can be busy for seconds.
    if (queue.isCurrent()) {
        send();
    } else {
        queue.async(std::move(send));
    }
}

// --- Who is connected --------------------------------------------------------------------------

std::string V230HostAudioAuxServer::viewerName(const UUID& id) const {
    auto it = viewerSessionNames.find(id);
    return it == viewerSessionNames.end() ? std::string() : trimmed(it->second);
}

bool V230HostAudioAuxServer::hasConnectedViewer() const { return viewerPresence_.load()->hasConnectedViewer; }

std::vector<FileTransferPeer> V230HostAudioAuxServer::connectedFileTransferPeers() const {
    return viewerPresence_.load()->fileTransferPeers;
}

std::vector<std::string> V230HostAudioAuxServer::connectedViewerDisplayNames() const {
    return viewerPresence_.load()->displayNames;
}

std::vector<ViewerConnectionSummary> V230HostAudioAuxServer::connectedViewerConnectionSummaries() const {
    return viewerPresence_.load()->connectionSummaries;
}

void V230HostAudioAuxServer::publishViewerPresence() {
    queue.dispatchPrecondition();
    auto presence = std::make_shared<ViewerPresence>();
    presence->hasConnectedViewer =
        !authorizedAudioSessions.empty() || !authorizedVideoSessions.empty() || !fileTransferChannels.empty();
    auto addPeer = [&](const UUID& id) {
        auto& peers = presence->fileTransferPeers;
        if (std::any_of(peers.begin(), peers.end(), [&](const FileTransferPeer& p) { return p.id == id; })) return;
        auto name = viewerName(id);
        peers.push_back({id, name.empty() ? defaultViewerName : name});
    };
    for (const auto& id : authorizedAudioSessions) addPeer(id);
    for (const auto& [id, channel] : fileTransferChannels) addPeer(id);

    std::set<std::string> seen;
    auto addName = [&](const UUID& id) {
        auto name = viewerName(id);
        if (name.empty() || !seen.insert(lowercased(name)).second) return;
        presence->displayNames.push_back(name);
    };
    for (const auto& id : authorizedAudioSessions) addName(id);
    for (const auto& id : authorizedVideoSessions) addName(id);
    for (const auto& [id, channel] : fileTransferChannels) addName(id);

    auto addSummary = [&](const UUID& id) {
        auto name = viewerName(id);
        auto address = viewerSessionRemoteAddresses.find(id);
        ViewerConnectionSummary summary{name.empty() ? defaultViewerName : name,
                                        address == viewerSessionRemoteAddresses.end() ? "" : address->second};
        // A Viewer's audio and video connections describe one Viewer.
        auto& out = presence->connectionSummaries;
        if (std::find(out.begin(), out.end(), summary) == out.end()) out.push_back(summary);
    };
    for (const auto& id : authorizedAudioSessions) addSummary(id);
    for (const auto& id : authorizedVideoSessions) addSummary(id);

    viewerPresence_.store(std::move(presence));
}

bool V230HostAudioAuxServer::isIOSViewerSession(const UUID& id) const {
    auto it = viewerSessionNames.find(id);
    return it != viewerSessionNames.end() && lowercased(it->second) == lowercased(iosViewerName);
}

// --- Discovery -----------------------------------------------------------------------

void V230HostAudioAuxServer::updateBonjourAdvertisement(const std::string& reason) {
    queue.dispatchPrecondition();
    // The advertiser logs the reason itself, and only when something changed.
    if (bonjourAdvertiser_) bonjourAdvertiser_->update(reason);
}

void V230HostAudioAuxServer::refreshBonjourAdvertisement() {
    // Asynchronous: a caller on the main queue must never wait on the server
    // queue, which may itself be waiting on the main queue.
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    queue.async([weak] {
        if (auto self = weak.lock()) self->updateBonjourAdvertisement("refresh");
    });
}

// Accept failures and refusals of the last second, summed into one line.
void V230HostAudioAuxServer::publishAdmissionSummary() {
    for (auto* listener : {&audioListener_, &videoListener_, &fileListener_}) {
        if (!*listener) continue;
        auto failures = (*listener)->takeAcceptFailures();
        admission_.countAcceptFailures(failures.count, failures.lastError);
    }
    if (auto summary = admission_.takeSecondSummary()) publish(*summary);
}
