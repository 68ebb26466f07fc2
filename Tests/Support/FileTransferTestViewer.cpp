#include "Support/FileTransferTestViewer.h"

#include <gtest/gtest.h>

#include "HostApp/Protocol/FileTransferEndpointPayload.h"

std::unique_ptr<FileTransferTestViewer> FileTransferTestViewer::connect(
    const std::shared_ptr<platform::VirtualRuntime>& runtime, V230HostAudioAuxServer& server, const std::string& user,
    const std::string& password, const std::string& name) {
    auto v = std::make_unique<FileTransferTestViewer>();
    // Each Viewer stages in a folder of its own.
    v->service = std::make_shared<FileTransferService>("Host-" + name, 262144);
    v->control = std::make_unique<AuxTestClient>(runtime, server.boundAudioPort(), 0x01);
    EXPECT_TRUE(v->control->waitConnected());
    EXPECT_TRUE(v->control->logIn(user, password, name));
    auto announced = v->control->waitForPacket(AuxPacketType::fileTransferEndpoint);
    if (!announced) return v;
    auto endpoint = FileTransferEndpointPayload::decode(announced->payload);
    if (!endpoint) return v;
    v->connection = platform::TcpConnection::connect("127.0.0.1", endpoint->port);
    v->channel = std::make_shared<FileTransferChannelConnection>(
        v->connection, platform::DispatchQueue("viewer." + name), "viewer", [](const std::string&) {});
    auto* raw = v.get();
    v->channel->onFrame = [raw](std::span<const uint8_t> bytes) {
        if (auto packet = FileTransferPacket::decode(bytes)) {
            raw->received.push_back(*packet);
            raw->service->handleIncomingPacket(std::move(*packet));
        }
    };
    v->channel->start();
    v->channel->sendFrame(endpoint->token);
    // The channel counts once the server lists the session among the peers
    // with a channel open.
    EXPECT_TRUE(runtime->runUntil([&] {
        return server.queue.syncValue([&] {
            for (const auto& [id, n] : server.viewerSessionNames)
                if (n == name && server.fileTransferChannels.count(id)) {
                    raw->session = id;
                    return true;
                }
            return false;
        });
    }));
    std::weak_ptr<FileTransferChannelConnection> weakChannel = v->channel;
    v->service->sendPacket = [weakChannel](FileTransferPacket p) {
        auto c = weakChannel.lock();
        if (!c || c->didEnd()) return false;
        std::vector<uint8_t> frame(FileTransferChannelConstants::headerSize);
        p.appendEncoded(frame);
        c->sendPreparedFrame(std::move(frame));
        return true;
    };
    v->service->onBatchCompleted = [raw](const platform::UUID& id, const std::vector<std::filesystem::path>& staged,
                                         FileTransferIntent intent, size_t) {
        raw->completed.push_back({id, staged, intent});
    };
    return v;
}

FileTransferTestViewer::~FileTransferTestViewer() {
    if (service) {
        service->onBatchCompleted = nullptr;
        service->sendPacket = nullptr;
    }
    if (channel) {
        channel->onFrame = nullptr;
        channel->cancel();
    }
    if (control) control->close();
}
