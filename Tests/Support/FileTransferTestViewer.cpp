#include "Support/FileTransferTestViewer.h"

#include "HostApp/Protocol/FileTransferEndpointPayload.h"
#include "Platform/Clock.h"
#include "Platform/Sha256Stream.h"

namespace fs = std::filesystem;
using platform::UUID;

std::unique_ptr<FileTransferTestViewer> FileTransferTestViewer::connect(
    const std::shared_ptr<platform::VirtualRuntime>& runtime, const std::shared_ptr<V230HostAudioAuxServer>& server,
    const LogCapture& log, const std::string& user, const std::string& password, const std::string& name) {
    auto v = std::make_unique<FileTransferTestViewer>();
    v->control = std::make_unique<AuxTestClient>(runtime, server->boundAudioPort(), 0x01);
    EXPECT_TRUE(v->control->waitConnected());
    EXPECT_TRUE(v->control->logIn(user, password, name));
    auto announced = v->control->waitForPacket(AuxPacketType::fileTransferEndpoint);
    if (!announced) {
        ADD_FAILURE() << "no file-channel endpoint announced";
        return v;
    }
    auto endpoint = *FileTransferEndpointPayload::decode(announced->payload);
    v->session = server->queue.syncValue([&] {
        for (const auto& [id, n] : server->viewerSessionNames)
            if (n == name) return id;
        return UUID{};
    });
    v->connection = platform::TcpConnection::connect("127.0.0.1", endpoint.port);
    v->channel = std::make_shared<FileTransferChannelConnection>(v->connection, platform::DispatchQueue("viewer." + name),
                                                                 "viewer", [](const std::string&) {});
    auto* raw = v.get();
    v->channel->onFrame = [raw](std::span<const uint8_t> p) {
        ++raw->packetsReceived;
        if (auto packet = FileTransferPacket::decode(p)) raw->service->handleIncomingPacket(std::move(*packet));
    };
    v->channel->start();
    const auto before = log.count("file aux: channel authorized");
    v->channel->sendFrame(endpoint.token);
    EXPECT_TRUE(runtime->runUntil([&] { return log.count("file aux: channel authorized") > before; }, 10));
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
    v->service->onBatchCompleted = [raw](const UUID& id, const std::vector<fs::path>& e, FileTransferIntent, size_t) {
        raw->completed.emplace_back(id, e);
    };
    v->service->onPeerSendResponse = [raw](const UUID& id, const FileTransferPeerSendResponse& response) {
        raw->responses.emplace_back(id, response);
    };
    return v;
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
