#include "Support/FileTransferTestViewer.h"

#include "HostApp/Protocol/FileTransferEndpointPayload.h"

bool FileTransferTestViewer::connect(const std::shared_ptr<platform::VirtualRuntime>& runtime, uint16_t auxPort,
                                     const std::string& user, const std::string& password, const std::string& name,
                                     const platform::testing::LogCapture& log) {
    auto* v = this;
    v->control = std::make_unique<AuxTestClient>(runtime, auxPort, 0x01);
    if (!v->control->waitConnected() || !v->control->logIn(user, password, name)) return false;
    auto announced = v->control->waitForPacket(AuxPacketType::fileTransferEndpoint);
    auto endpoint = announced ? FileTransferEndpointPayload::decode(announced->payload) : std::nullopt;
    if (!endpoint) return false;
    v->connection = platform::TcpConnection::connect("127.0.0.1", endpoint->port);
    v->channel = std::make_shared<FileTransferChannelConnection>(v->connection, platform::DispatchQueue("viewer." + name),
                                                                 "viewer", [](const std::string&) {});
    auto* raw = this;
    v->channel->onFrame = [raw](std::span<const uint8_t> p) {
        ++raw->packetsReceived;
        if (auto packet = FileTransferPacket::decode(p)) raw->service->handleIncomingPacket(std::move(*packet));
    };
    v->channel->start();
    const auto before = log.count("file aux: channel authorized");
    v->channel->sendFrame(endpoint->token);
    if (!runtime->runUntil([&] { return log.count("file aux: channel authorized") > before; }, 10)) return false;
    std::weak_ptr<FileTransferChannelConnection> weakChannel = v->channel;
    v->service->sendPacket = [weakChannel](FileTransferPacket p) {
        auto c = weakChannel.lock();
        if (!c || c->didEnd()) return false;
        // The test Viewer keeps its own backlog small, as the Host does.
        while (c->unsentBytes() > (8u << 20) && !c->didEnd()) platform::sleepFor(0.001);
        std::vector<uint8_t> frame(FileTransferChannelConstants::headerSize);
        p.appendEncoded(frame);
        c->sendPreparedFrame(std::move(frame));
        return true;
    };
    return true;
}
