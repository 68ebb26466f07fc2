// What a Viewer sends on the file-data port: the frame cutter over the raw
// stream, and each payload through the packet decoder and the JSON bodies
// a packet may carry. A packet that decodes must encode to bytes that
// decode to the same packet.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "Platform/Runtime/Dispatch.h"
#include "VelantrixProfiles/FileTransfer/FileTransferChannelConnection.h"
#include "VelantrixProfiles/FileTransfer/FileTransferPacket.h"
#include "VelantrixProfiles/FileTransfer/FileTransferPeerSend.h"
#include "VelantrixProfiles/FileTransfer/RemoteDirectoryEntry.h"

namespace {

void checkPayload(std::span<const uint8_t> payload) {
    auto packet = FileTransferPacket::decode(payload);
    if (!packet) return;
    auto again = FileTransferPacket::decode(packet->encode());
    if (!again || !(*again == *packet)) std::abort();
    RemoteDirectoryEntry::decodeListing(packet->data);
    FileTransferPeerSendRequest::decode(packet->data);
    FileTransferPeerSendResponse::decode(packet->data);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    checkPayload(std::span<const uint8_t>(data, size));
    // The same bytes as a stream, cut in two reads at a point they choose.
    // Never started: nothing is connected and nothing is posted to the queue.
    static auto connection = platform::TcpConnection::connect("127.0.0.1", 9);
    static platform::DispatchQueue queue("fuzz.channel");
    auto channel = std::make_shared<FileTransferChannelConnection>(connection, queue, "fuzz", [](const std::string&) {});
    channel->onFrame = [](std::span<const uint8_t> payload) { checkPayload(payload); };
    const size_t split = size == 0 ? 0 : data[0] % (size + 1);
    channel->receiveForTesting(std::span<const uint8_t>(data, split));
    channel->receiveForTesting(std::span<const uint8_t>(data + split, size - split));
    return 0;
}
