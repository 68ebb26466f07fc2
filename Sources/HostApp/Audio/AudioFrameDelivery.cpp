// Captured audio on its way to a running recording and to the Viewers:
// each PCM block is encoded into 20 ms Opus packets and each packet goes out
// as one type 6 message to the send list, on the capture's own queue so
// that audio never waits for the server queue. The send list is every
// logged-in audio session, or the one that listens exclusively.

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"

void V230HostAudioAuxServer::broadcastAudioFrame(std::span<const uint8_t> pcm, uint64_t timestampNs) {
    audio.audioCapturePayloads.increment();
    // A running recording receives every block, whoever listens.
    if (auto recorder = recording.hostRecording.load()) recorder->appendAudio(pcm, timestampNs);

    std::vector<std::shared_ptr<platform::TcpConnection>> connections;
    {
        std::lock_guard<std::mutex> guard(audio.audioSendLock);
        connections = audio.audioSendConnections;
    }
    if (connections.empty()) {
        // Nobody listens: nothing is encoded, and samples held back from the
        // last block must not lend their stale time to the first packet
        // after the gap.
        audio.opusEncoder.discardPending();
        return;
    }
    auto packets = audio.opusEncoder.encodeFrames(pcm, timestampNs);
    if (packets.empty()) return;

    int64_t bytes = 0;
    for (const auto& packet : packets) {
        bytes += static_cast<int64_t>(packet.payload.size());
        auto message = makeAuxPacket(AuxPacketType::audioFrame, 1, packet.payload, packet.timestampNs);
        // The same bytes to every listener; a connection not ready yet (or
        // any more) is skipped, and a failed send is left to the session's
        // own receive path. So is a listener whose peer has no room for the
        // packet: audio is a stream, and what a peer that does not read
        // would be sent is dropped rather than kept for it.
        for (size_t i = 0; i < connections.size(); ++i) {
            if (connections[i]->state() != platform::ConnectionState::ready) continue;
            if (!connections[i]->budgetHasRoomFor(message.size())) continue;
            connections[i]->send(i + 1 == connections.size() ? std::move(message) : message);
        }
    }
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    queue.async([weak, count = static_cast<int64_t>(packets.size()), bytes] {
        auto self = weak.lock();
        if (!self) return;
        self->audio.framesSent += count;
        self->audio.bytesSent += bytes;
    });
}

void V230HostAudioAuxServer::updateAudioSendConnections() {
    queue.dispatchPrecondition();
    std::vector<std::shared_ptr<platform::TcpConnection>> list;
    const auto& exclusive = audio.exclusiveAudioSessionID;
    auto exclusiveConnection = exclusive ? audioSessions.find(*exclusive) : audioSessions.end();
    if (exclusive && authorizedAudioSessions.count(*exclusive) && exclusiveConnection != audioSessions.end()) {
        list.push_back(exclusiveConnection->second);
    } else {
        for (const auto& id : authorizedAudioSessions) {
            if (auto it = audioSessions.find(id); it != audioSessions.end()) list.push_back(it->second);
        }
    }
    std::lock_guard<std::mutex> guard(audio.audioSendLock);
    audio.audioSendConnections.swap(list);
}
