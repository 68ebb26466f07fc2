#include "Support/FileTransferTestViewer.h"

#include <sys/socket.h>

#include "HostApp/Protocol/FileTransferEndpointPayload.h"
#include "Platform/Runtime/Clock.h"
#include "Platform/Security/Sha256Stream.h"

namespace fs = std::filesystem;
using platform::UUID;

std::unique_ptr<FileTransferTestViewer> FileTransferTestViewer::connect(
    const std::shared_ptr<platform::VirtualRuntime>& runtime, const std::shared_ptr<V230HostAudioAuxServer>& server,
    const LogCapture& log, const std::string& user, const std::string& password, const std::string& name,
    const std::string& from) {
    auto v = std::make_unique<FileTransferTestViewer>();
    // Each Viewer stages in a folder of its own, so two may take one batch.
    v->service = std::make_shared<FileTransferService>("Host-" + name, 262144);
    v->control = std::make_unique<AuxTestClient>(runtime, server->boundAudioPort(), 0x01, from);
    EXPECT_TRUE(v->control->waitConnected());
    EXPECT_TRUE(v->control->logIn(user, password, name));
    auto announced = v->control->waitForPacket(AuxPacketType::fileTransferEndpoint);
    if (!announced) {
        ADD_FAILURE() << "no file-channel endpoint announced";
        return v;
    }
    auto endpoint = *FileTransferEndpointPayload::decode(announced->payload);
    v->endpointPort = endpoint.port;
    std::copy(endpoint.token.begin(), endpoint.token.end(), v->endpointToken.begin());
    v->session = server->queue.syncValue([&] {
        for (const auto& [id, n] : server->viewerSessionNames)
            if (n == name) return id;
        return UUID{};
    });
    v->connection = platform::TcpConnection::connect("127.0.0.1", endpoint.port, from);
    v->channel = std::make_shared<FileTransferChannelConnection>(v->connection, platform::DispatchQueue("viewer." + name),
                                                                 "viewer", [](const std::string&) {});
    auto* raw = v.get();
    v->channel->onFrame = [raw](std::span<const uint8_t> p) {
        ++raw->packetsReceived;
        if (auto packet = FileTransferPacket::decode(p)) {
            raw->received.push_back(*packet);
            raw->service->handleIncomingPacket(std::move(*packet));
        }
    };
    v->channel->start();
    const auto before = log.count("file aux: channel authorized");
    v->channel->sendFrame(endpoint.token);
    EXPECT_TRUE(runtime->runUntil([&] { return log.count("file aux: channel authorized") > before; }, 10));
    std::weak_ptr<FileTransferChannelConnection> weakChannel = v->channel;
    std::weak_ptr<platform::VirtualRuntime> weakRuntime = runtime;
    v->service->sendPacket = [weakChannel, weakRuntime](FileTransferPacket p) {
        auto c = weakChannel.lock();
        if (!c || c->didEnd()) return false;
        // The test Viewer keeps its own backlog small, as the Host does. A
        // Host that never reads it again fails the send, and the test,
        // within a minute rather than holding it for ever.
        auto drained = [&] { return c->unsentBytes() <= (8u << 20) || c->didEnd(); };
        if (!drained()) {
            auto runtime = weakRuntime.lock();
            const bool done = runtime && runtime->runUntil(
                                             [&] {
                                                 if (drained()) return true;
                                                 platform::sleepFor(0.001);
                                                 return false;
                                             },
                                             60);
            if (!done) {
                ADD_FAILURE() << "the Host read none of the test Viewer's backlog for a minute";
                return false;
            }
        }
        std::vector<uint8_t> frame(FileTransferChannelConstants::headerSize);
        p.appendEncoded(frame);
        c->sendPreparedFrame(std::move(frame));
        return true;
    };
    v->service->onBatchCompleted = [raw](const UUID& id, const std::vector<fs::path>& e, FileTransferIntent intent,
                                         const FileTransferDeliveryResult&, ReceivedBatchHoldings&) {
        raw->completed.emplace_back(id, e);
        raw->completedIntents.push_back(intent);
    };
    v->service->onPeerSendResponse = [raw](const UUID& id, const FileTransferPeerSendResponse& response) {
        raw->responses.emplace_back(id, response);
    };
    return v;
}

FileTransferTestViewer::~FileTransferTestViewer() {
    service->onBatchCompleted = nullptr;
    service->onPeerSendResponse = nullptr;
    service->sendPacket = nullptr;
    if (channel) {
        channel->onFrame = nullptr;
        channel->cancel();
    }
    if (control) control->close();
}

void FileTransferTestViewer::stopReading() {
    channel->pauseReading();
    // Whatever it grew to while the Viewer read (tens of MiB, where the
    // Host's send budget is 32), as a socket starts; not less, or the
    // window it stays at makes reading again crawl.
    const int small = 128 << 10;
    if (const int fd = connection->fileDescriptorForTesting(); fd >= 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
}

void FileTransferTestViewer::readAgain() {
    const int large = 4 << 20;
    if (const int fd = connection->fileDescriptorForTesting(); fd >= 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &large, sizeof large);
    channel->resumeReading();
}

void FileTransferTestViewer::disconnect() {
    if (connection) connection->cancel();
    control->close();
}

std::map<std::string, std::string> digestsBelow(const fs::path& root) {
    std::map<std::string, std::string> out;
    for (auto& e : fs::recursive_directory_iterator(root)) {
        std::string digest = "<dir>";
        if (e.is_regular_file()) {
            auto d = platform::crypto::Sha256Stream::ofFile(e.path());
            digest = d ? std::string(d->begin(), d->end()) : "<unreadable>";
        }
        out[fs::relative(e.path(), root).string()] = digest;
    }
    return out;
}
