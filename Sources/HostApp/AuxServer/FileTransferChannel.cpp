// The file-data port of the server: the endpoint announcement, the token
// handshake of each data connection, and the carrier every outgoing
// file-transfer packet takes (a frame on the session's channel, else aux
// type 31 on its control connection) within the send window.

#include <atomic>
#include <exception>
#include <utility>

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "HostApp/Protocol/FileTransferEndpointPayload.h"
#include "VelantrixProfiles/FileTransfer/FileTransferService.h"

using platform::UUID;
using ConnectionRef = std::shared_ptr<platform::TcpConnection>;

void V230HostAudioAuxServer::sendFileTransferEndpoint(const UUID& sessionID, const ConnectionRef& connection) {
    queue.dispatchPrecondition();
    auto existing = fileTransferTokens.find(sessionID);
    if (existing == fileTransferTokens.end()) {
        std::optional<FileTransferChannelToken> token;
        try {
            token = configuration_.fileTransferTokenSource ? configuration_.fileTransferTokenSource()
                                                           : FileTransferChannelToken();
        } catch (const std::exception& e) {
            // Without a secret token the channel cannot be offered; the
            // Viewer keeps sending files over its control connection.
            publish("file aux: no endpoint for session " + sessionID.id8() + ": " + e.what());
            return;
        }
        existing = fileTransferTokens.emplace(sessionID, *token).first;
        fileTransferTokenIndex[*token] = sessionID;
    }
    FileTransferEndpointPayload endpoint;
    endpoint.port = fileListener_ ? fileListener_->port() : configuration_.filePort;
    endpoint.token = existing->second.bytes;
    connection->send(makeAuxPacket(AuxPacketType::fileTransferEndpoint, 0, endpoint.encode(), platform::Clock::uptimeNs()));
    publish("file aux: endpoint advertised session=" + sessionID.id8() + " port=" + std::to_string(endpoint.port) +
            " token=" + existing->second.shortDescription());
}

void V230HostAudioAuxServer::handleFileTransferConnection(const ConnectionRef& connection) {
    queue.dispatchPrecondition();
    const std::string address = connection->remoteAddress();
    auto place = fileTransferChannel.room.enter(connection, AuxAdmission::machineOf(address),
                                                AuxAdmission::sourceOf(address));
    if (place.outcome != AuxWaitingRoom::Outcome::admitted) {
        logUnboundFileChannelEnd("file aux: too many pending data connections; dropping connection");
        connection->cancel();
        admission_.release(connection.get());
        return;
    }
    if (place.displaced) closeDisplaced(place.displaced);
    auto channel = std::make_shared<FileTransferChannelConnection>(connection, queue, "file aux", weakPublisher());
    // Its peer's account: its turns, and once it showed its token its
    // read-ahead and the work its frames start. Held by the frame handler
    // for the channel's life.
    auto peer = peerAccount(connection->remoteAddress());
    channel->setReceiveTurnBudget(peer->turns);
    // Shared by the handlers: unknown until the token frame matched.
    auto session = std::make_shared<std::optional<UUID>>();
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    std::weak_ptr<FileTransferChannelConnection> weakChannel = channel;
    channel->acceptsPayloadLength = [weak, session](uint32_t length) {
        // Before its token a connection gets no room: a frame of any other
        // length is a mismatch before a byte of it is buffered.
        if (session->has_value() || length == FileTransferChannelConstants::tokenSize) return true;
        if (auto self = weak.lock()) self->logUnboundFileChannelEnd("file aux: token mismatch; dropping connection");
        return false;
    };
    auto waiting = std::make_shared<WaitingBatchFrames>(peer->ledger);
    channel->onFrame = [weak, weakChannel, session, peer, waiting](std::span<const uint8_t> payload) {
        auto self = weak.lock();
        auto ch = weakChannel.lock();
        if (self && ch) self->handleFileTransferFrame(ch, peer, *session, waiting, payload);
    };
    // Holds the channel strongly until it ends; what waited goes with it.
    channel->onEnded = [weak, channel, session, waiting](const std::optional<std::string>&) {
        waiting->clear();
        if (auto self = weak.lock()) self->fileTransferChannelEnded(channel, *session);
    };
    fileTransferChannel.pending[channel.get()] = channel;
    queue.asyncAfter(FileTransferChannelState::tokenDeadlineSeconds, [weak, weakChannel, session] {
        auto self = weak.lock();
        auto ch = weakChannel.lock();
        if (!self || !ch || ch->didEnd() || session->has_value()) return;
        self->logUnboundFileChannelEnd("file aux: no token within 10 s; dropping connection");
        ch->cancel();
    });
    channel->start();
}

void V230HostAudioAuxServer::logUnboundFileChannelEnd(const std::string& line) {
    // Anyone can reach the file port: its refusals share the pre-login
    // allowance of lines, the rest is counted in the summary.
    if (admission_.mayLogPreLoginEnd("file channel refused")) publish(line);
}

void V230HostAudioAuxServer::handleFileTransferFrame(const std::shared_ptr<FileTransferChannelConnection>& channel,
                                                     const std::shared_ptr<AuxPeerAccount>& peer,
                                                     std::optional<UUID>& session,
                                                     const std::shared_ptr<WaitingBatchFrames>& waiting,
                                                     std::span<const uint8_t> payload) {
    queue.dispatchPrecondition();
    if (!session) {
        auto token = FileTransferChannelToken::withBytes(payload);
        auto owner = token ? fileTransferTokenIndex.find(*token) : fileTransferTokenIndex.end();
        if (owner == fileTransferTokenIndex.end()) {
            logUnboundFileChannelEnd("file aux: token mismatch; dropping connection");
            channel->cancel();
            return;
        }
        const UUID id = owner->second;
        fileTransferChannel.pending.erase(channel.get());
        fileTransferChannel.room.leave(channel->connection().get());
        if (auto older = fileTransferChannels.find(id); older != fileTransferChannels.end()) {
            // Out of the table before it ends, so its end is no session end.
            auto replaced = older->second;
            fileTransferChannels.erase(older);
            replaced->cancel();
        }
        if (const char* cap = admitLoggedIn(channel->connection(), *peer)) {
            logUnboundFileChannelEnd(std::string("file aux: over ") + cap + "; dropping connection");
            channel->cancel();
            return;
        }
        // Its token is served whatever its peer holds; its frames' work
        // waits while that is over budget.
        channel->setLedger(peer->ledger);
        session = id;
        fileTransferChannels[id] = channel;
        publishViewerPresence();
        publish("file aux: channel authorized for session " + id.id8() + " token=" + token->shortDescription());
        return;
    }
    // What a bound channel's frame causes is its peer's, as a control
    // packet's is.
    const platform::WorkLedger::Charged charged(peer->ledger);
    auto packet = FileTransferPacket::decode(payload);
    if (!packet) return publish("file aux: malformed packet from session " + session->id8());
    const bool waits = waiting->waits(packet->batchID) ||
                       (packet->op == FileTransferOp::batchStart &&
                        batchStartWaitsForPlace(channel, peer, *session, waiting, packet->batchID));
    if (waits && peer->ledger) {
        // Refused at its start: what follows it is dropped here, as the
        // receive queue would drop frames of a batch it does not have.
        if (!waiting->waits(packet->batchID)) return;
        if (auto kept = waiting->add(*packet); !kept) refuseWaitingBatch(waiting, *session, packet->batchID, kept.error());
        // Its sender is not idle, though none of its open batches hears
        // from it: said at most once a second, with the frames and bytes
        // since.
        if (waiting->movesTheCopyOn(*packet)) ++waiting->heardFrames;
        waiting->heardBytes += payload.size();
        tellSessionHeard(waiting, *session);
        return;
    }
    // A Viewer that sends faster than its packets are handled waits in its
    // own socket once its peer's ledger is full, not in this process's memory.
    if (onFileTransferIncomingPacket) onFileTransferIncomingPacket(std::move(*packet), *session);
}

void V230HostAudioAuxServer::tellSessionHeard(const std::shared_ptr<WaitingBatchFrames>& waiting, const UUID& session) {
    queue.dispatchPrecondition();
    if (!onFileTransferSessionHeard || (waiting->heardFrames == 0 && waiting->heardBytes == 0)) return;
    const uint64_t now = platform::Clock::uptimeNs();
    constexpr uint64_t kNoticeNs = 1000000000;
    if (now - waiting->heardNoticeNs >= kNoticeNs) {
        waiting->heardNoticeNs = now;
        onFileTransferSessionHeard(session, std::exchange(waiting->heardFrames, 0),
                                   std::exchange(waiting->heardBytes, 0));
        return;
    }
    // What came since is told once the second is up, whether or not more
    // comes: a burst right after a notice pays for its time all the same.
    if (waiting->heardNoticeQueued) return;
    waiting->heardNoticeQueued = true;
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    const platform::WorkLedger::Charged own(nullptr);
    queue.asyncAfter(static_cast<double>(waiting->heardNoticeNs + kNoticeNs - now) / 1e9,
                     [weak, weakWaiting = std::weak_ptr<WaitingBatchFrames>(waiting), session] {
                         auto self = weak.lock();
                         auto waiting = weakWaiting.lock();
                         if (!self || !waiting || self->terminating_) return;
                         waiting->heardNoticeQueued = false;
                         self->tellSessionHeard(waiting, session);
                     });
}

bool V230HostAudioAuxServer::batchStartWaitsForPlace(const std::shared_ptr<FileTransferChannelConnection>& channel,
                                                     const std::shared_ptr<AuxPeerAccount>& peer, const UUID& session,
                                                     const std::shared_ptr<WaitingBatchFrames>& waiting,
                                                     const UUID& batchID) {
    queue.dispatchPrecondition();
    using platform::WorkLedger;
    const auto ledger = peer->ledger;
    if (!ledger) return false;
    // 0 while asking, 1 once waiting, 2 when the place came while asking.
    auto state = std::make_shared<std::atomic<int>>(0);
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    std::weak_ptr<FileTransferChannelConnection> weakChannel = channel;
    std::weak_ptr<WaitingBatchFrames> weakWaiting = waiting;
    const uint64_t ticket = ledger->whenHeldFree(WorkLedger::Held::batches, [weak, weakChannel, weakWaiting, state, session, batchID,
                                                     weakLedger = std::weak_ptr<WorkLedger>(ledger)](
                                                        WorkLedger::Holding place) {
        auto ledger = weakLedger.lock();
        if (!ledger) return;
        int asking = 0;
        if (state->compare_exchange_strong(asking, 2)) {
            ledger->setAside(std::move(place));
            return;
        }
        auto self = weak.lock();
        if (!self) return;
        // The Host's own step, on the queue that reads the channel; a place
        // whose channel went meanwhile passes on to the next waiter.
        const WorkLedger::Charged own(nullptr);
        auto held = std::make_shared<WorkLedger::Holding>(std::move(place));
        self->queue.async([weak, weakChannel, weakWaiting, held, ledger, session, batchID] {
            auto self = weak.lock();
            auto ch = weakChannel.lock();
            auto waiting = weakWaiting.lock();
            // A batch refused meanwhile gives its place back here, with
            // `held`, to the next waiter.
            if (!self || !ch || ch->didEnd() || !waiting || !waiting->waits(batchID)) return;
            ledger->setAside(std::move(*held));
            waiting->grant(batchID);
            self->handOnWaitingFrames(ch, waiting, ledger, session, batchID);
        });
    });
    int asking = 0;
    if (!state->compare_exchange_strong(asking, 1)) return false;
    waiting->addBatch(batchID, ticket);
    return true;
}

void V230HostAudioAuxServer::handOnWaitingFrames(const std::shared_ptr<FileTransferChannelConnection>& channel,
                                                 const std::shared_ptr<WaitingBatchFrames>& waiting,
                                                 const std::shared_ptr<platform::WorkLedger>& ledger, const UUID& session,
                                                 const UUID& batchID) {
    queue.dispatchPrecondition();
    using platform::WorkLedger;
    if (channel->didEnd()) return;
    // Each frame goes on as if it had just come, on its peer's account; the
    // next only while the peer's work has room. What it handed on is
    // handled by the receive queue whatever else waits, so that room comes
    // back by itself: this never waits on the frames still to be read.
    size_t handed = 0;
    for (size_t frames = 0; frames < WaitingBatchFrames::framesPerTurn &&
                            handed < FileTransferChannelState::handOnBytesPerTurn && !ledger->overBudget();
         ++frames) {
        auto next = waiting->takeNext(batchID);
        if (next.lost) return loseWaitingBatch(ledger, session, batchID, next.startGivenBack);
        if (!next.packet) return;  // all handed on: its next frames go straight on
        handed += FileTransferPacket::fixedSize + next.packet->path.size() + next.packet->data.size();
        const WorkLedger::Charged charged(ledger);
        if (onFileTransferIncomingPacket) onFileTransferIncomingPacket(std::move(*next.packet), session);
    }
    // The rest in a later turn; frames of the batch that come meanwhile go
    // behind it, in their order.
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    std::weak_ptr<FileTransferChannelConnection> weakChannel = channel;
    std::weak_ptr<WaitingBatchFrames> weakWaiting = waiting;
    auto resume = [weak, weakChannel, weakWaiting, ledger, session, batchID] {
        auto self = weak.lock();
        if (!self) return;
        // The Host's own step, whichever thread gave the room back.
        const WorkLedger::Charged own(nullptr);
        self->queue.async([weak, weakChannel, weakWaiting, ledger, session, batchID] {
            auto self = weak.lock();
            auto ch = weakChannel.lock();
            auto waiting = weakWaiting.lock();
            if (self && ch && waiting) self->handOnWaitingFrames(ch, waiting, ledger, session, batchID);
        });
    };
    ledger->whenUnderBudget(std::move(resume));
}

void V230HostAudioAuxServer::loseWaitingBatch(const std::shared_ptr<platform::WorkLedger>& ledger, const UUID& session,
                                              const UUID& batchID, bool started) {
    queue.dispatchPrecondition();
    using platform::WorkLedger;
    if (started) {
        // Its start went on and holds its place there: the batch is ended
        // there as its Viewer would end it, which gives the place back.
        const WorkLedger::Charged charged(ledger);
        FileTransferPacket cancel;
        cancel.op = FileTransferOp::cancelBatch;
        cancel.batchID = batchID;
        if (onFileTransferIncomingPacket) onFileTransferIncomingPacket(std::move(cancel), session);
    } else {
        // The place set aside for its start, which never went on.
        if (auto place = ledger->claimSetAside(WorkLedger::Held::batches)) place->reset();
    }
    refuseWaitingBatch(nullptr, session, batchID, "waiting frames could not be read back");
}

void V230HostAudioAuxServer::refuseWaitingBatch(const std::shared_ptr<WaitingBatchFrames>& waiting, const UUID& session,
                                                const UUID& batchID, const std::string& why) {
    queue.dispatchPrecondition();
    // What it could never keep: answered as the receive queue answers a
    // start it cannot take, to its session only, and at most a line a
    // second.
    if (waiting) waiting->drop(batchID);
    FileTransferPacket cancel;
    cancel.op = FileTransferOp::cancelBatch;
    cancel.batchID = batchID;
    trySendFileTransferPacket(cancel, session, false);
    const uint64_t now = platform::Clock::uptimeNs();
    if (now - fileTransferChannel.lastWaitingRefusalLineNs < uint64_t{1000000000} &&
        fileTransferChannel.lastWaitingRefusalLineNs != 0)
        return;
    fileTransferChannel.lastWaitingRefusalLineNs = now;
    publish("file transfer: " + why + "; refused batch " + batchID.id8());
}

void V230HostAudioAuxServer::fileTransferChannelEnded(const std::shared_ptr<FileTransferChannelConnection>& channel,
                                                      const std::optional<UUID>& session) {
    queue.dispatchPrecondition();
    fileTransferChannel.pending.erase(channel.get());
    fileTransferChannel.room.leave(channel->connection().get());
    if (!session) {
        admission_.release(channel->connection().get());
        return;
    }
    auto it = fileTransferChannels.find(*session);
    const bool wasBound = it != fileTransferChannels.end() && it->second == channel;
    if (wasBound) {
        fileTransferChannels.erase(it);
        publishViewerPresence();
    }
    publish("file aux: channel closed for session " + session->id8());
    if (wasBound && onFileTransferSessionEnded) onFileTransferSessionEnded(*session);
}

V230HostAudioAuxServer::FileTransferSendOutcome V230HostAudioAuxServer::trySendFileTransferPacket(
    const FileTransferPacket& packet, const std::optional<UUID>& sessionID, bool mayWait,
    std::optional<FileTransferBacklog>* backlog) {
    queue.dispatchPrecondition();
    std::vector<std::pair<UUID, std::shared_ptr<FileTransferChannelConnection>>> channels;
    std::vector<std::pair<UUID, ConnectionRef>> controls;
    auto addControl = [&](const UUID& id) {
        for (AuxChannel aux : {AuxChannel::audio, AuxChannel::video}) {
            if (!authorizedFor(aux).count(id)) continue;
            if (auto it = sessionsFor(aux).find(id); it != sessionsFor(aux).end()) {
                controls.emplace_back(id, it->second);
                return;
            }
        }
    };
    if (sessionID) {
        if (auto it = fileTransferChannels.find(*sessionID); it != fileTransferChannels.end() && !it->second->didEnd())
            channels.emplace_back(*sessionID, it->second);
        else
            addControl(*sessionID);
    } else {
        for (const auto& [id, channel] : fileTransferChannels)
            if (!channel->didEnd()) channels.emplace_back(id, channel);
        for (AuxChannel aux : {AuxChannel::audio, AuxChannel::video}) {
            if (!channels.empty() || !controls.empty()) break;
            for (const auto& id : authorizedFor(aux))
                if (auto it = sessionsFor(aux).find(id); it != sessionsFor(aux).end()) controls.emplace_back(id, it->second);
        }
    }
    if (channels.empty() && controls.empty()) return FileTransferSendOutcome::noTarget;

    const size_t size = packet.encodedSize() + AuxPacketHeader::size;
    // Anything goes only while its peer has room to be sent more (over all
    // its connections). A packet of a batch being sent also waits for its
    // connection's window; a connection with nothing queued always takes
    // one, so a chunk larger than the window still goes.
    auto full = [&](const UUID& id, const ConnectionRef& connection) {
        auto peer = connection->sendBudget();
        const bool peerFull = peer && !peer->hasRoomToSend(size);
        if (!mayWait) return peerFull;
        const size_t unsent = connection->unsentBytes();
        const bool windowFull = unsent != 0 && unsent + size > FileTransferChannelState::sendWindowBytes;
        if (!peerFull && !windowFull) return false;
        // What it waits on: whether that shrinks is how a stalled Viewer
        // is told from a slow one.
        if (backlog) *backlog = FileTransferBacklog{id, windowFull ? unsent : peer->sendingBytes(), windowFull};
        return true;
    };
    const auto refused = mayWait ? FileTransferSendOutcome::windowFull : FileTransferSendOutcome::overLimit;
    for (const auto& [id, c] : channels)
        if (full(id, c->connection())) return refused;
    for (const auto& [id, c] : controls)
        if (full(id, c)) return refused;
    auto window = fileTransferChannel.sendWindow;
    auto completion = [window](const std::string&) { window->writeCompleted(); };
    if (!channels.empty()) {
        std::vector<uint8_t> frame(FileTransferChannelConstants::headerSize);
        packet.appendEncoded(frame);
        for (size_t i = 0; i < channels.size(); ++i) {
            channels[i].second->sendPreparedFrame(i + 1 == channels.size() ? std::move(frame) : frame, completion);
        }
    } else {
        auto aux = makeAuxPacket(AuxPacketType::fileTransferPacket, 0, packet.encode(), platform::Clock::uptimeNs());
        for (size_t i = 0; i < controls.size(); ++i)
            controls[i].second->send(i + 1 == controls.size() ? std::move(aux) : aux, completion);
    }
    return FileTransferSendOutcome::sent;
}

void V230HostAudioAuxServer::failStalledFileTransferTarget(const UUID& session, const UUID& batchID) {
    queue.dispatchPrecondition();
    publish("file transfer: session " + session.id8() + " stopped reading; batch " + batchID.id8() + " failed");
    if (auto it = fileTransferChannels.find(session); it != fileTransferChannels.end()) it->second->cancel();
}

bool V230HostAudioAuxServer::sendFileTransferPacketWithinWindow(const FileTransferPacket& packet,
                                                                const std::optional<UUID>& sessionID) {
    if (packet.encodedSize() == 0) {
        publish("file transfer: packet too large to encode; dropped");
        return false;
    }
    // Work of a peer that has gone, still running where shared state must
    // be kept right (the receive queue), has nobody left to answer: its
    // packets for a session go nowhere at once, without a turn of the
    // server queue or a line each.
    if (auto ledger = platform::WorkLedger::current(); sessionID && ledger && ledger->isCancelled()) return false;
    // The main thread (a row's Cancel, a receipt) never waits on the server
    // queue, which can be busy for seconds: its packets go when the queue
    // is free. None of them is a chunk, the one packet that waits.
    if (platform::DispatchQueue::main().isCurrent() && !queue.isCurrent()) {
        handOverFileTransferPacket(packet, sessionID);
        return true;
    }
    // What a batch being sent is made of waits for room, and only on the
    // target's own send queue: dropped, an entry's start or end or the
    // batch's end would leave the receiver with a batch that never ends
    // right. Replies, receipts and cancellations go at once from whichever
    // queue sends them (the receive queue among them). On the server queue
    // nobody could release a waiter.
    const bool mayWait = FileTransferChannelState::waitsForRoom(packet.op) && !queue.isCurrent();
    auto window = fileTransferChannel.sendWindow;
    uint64_t lastTakenNs = platform::Clock::uptimeNs();
    std::optional<size_t> lastUnsent;
    bool lastWindow = false;
    while (true) {
        std::optional<FileTransferBacklog> backlog;
        auto outcome = queue.syncValue([&] {
            auto o = trySendFileTransferPacket(packet, sessionID, mayWait, &backlog);
            if (o == FileTransferSendOutcome::windowFull) window->waiting.fetch_add(1);
            return o;
        });
        // No line per dropped packet: the target is stalled, and the line
        // that fails its batch says so once.
        if (outcome == FileTransferSendOutcome::overLimit) return false;
        if (outcome != FileTransferSendOutcome::windowFull) {
            if (outcome == FileTransferSendOutcome::noTarget && sessionID)
                publishForViewer(*sessionID, "file transfer: target session " + sessionID->id8() + " is unavailable");
            return outcome == FileTransferSendOutcome::sent;
        }
        const uint64_t now = platform::Clock::uptimeNs();
        if (!lastUnsent || backlog->window != lastWindow || backlog->unsent < *lastUnsent) lastTakenNs = now;
        lastUnsent = backlog->unsent;
        lastWindow = backlog->window;
        if (double(now - lastTakenNs) / 1e9 >= FileTransferChannelState::stalledTargetSeconds) {
            window->waiting.fetch_sub(1);
            queue.sync([&] { failStalledFileTransferTarget(backlog->session, packet.batchID); });
            return false;
        }
        window->writes.wait(FileTransferChannelState::sendWindowRecheckSeconds);
        window->waiting.fetch_sub(1);
    }
}

void V230HostAudioAuxServer::handOverFileTransferPacket(FileTransferPacket packet,
                                                        const std::optional<UUID>& sessionID) {
    queue.async([weak = weak_from_this(), packet = std::move(packet), sessionID] {
        auto self = weak.lock();
        if (!self) return;
        const auto outcome = self->trySendFileTransferPacket(packet, sessionID, false);
        if (outcome == FileTransferSendOutcome::noTarget && sessionID)
            self->publishForViewer(*sessionID, "file transfer: target session " + sessionID->id8() + " is unavailable");
    });
}

bool V230HostAudioAuxServer::sendFileTransferPacket(FileTransferPacket packet, const UUID& sessionID) {
    return sendFileTransferPacketWithinWindow(packet, sessionID);
}

bool V230HostAudioAuxServer::broadcastFileTransferPacket(FileTransferPacket packet) {
    return sendFileTransferPacketWithinWindow(packet, std::nullopt);
}
