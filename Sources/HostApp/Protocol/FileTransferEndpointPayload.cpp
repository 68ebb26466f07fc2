#include "HostApp/Protocol/FileTransferEndpointPayload.h"

#include "HostApp/Protocol/AuxWireFormat.h"

std::vector<uint8_t> FileTransferEndpointPayload::encode() const {
    std::vector<uint8_t> out;
    out.reserve(encodedSize);
    auxwire::Writer w(out);
    w.u16(port);
    w.bytes(token);
    return out;
}

std::optional<FileTransferEndpointPayload> FileTransferEndpointPayload::decode(std::span<const uint8_t> bytes) {
    if (bytes.size() != encodedSize) return std::nullopt;
    auxwire::Reader r(bytes);
    FileTransferEndpointPayload p;
    p.port = r.u16();
    r.copy(p.token);
    return p;
}
