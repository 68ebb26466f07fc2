#include "HostApp/Protocol/FileTransferEndpointPayload.h"

#include "HostApp/Protocol/AuxWireFormat.h"

// GCC 12 at -O3 sees the copy inside vector::insert reach past a
// bound it made up: a known false positive of its -Warray-bounds on
// the std::vector inlines.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
std::vector<uint8_t> FileTransferEndpointPayload::encode() const {
    std::vector<uint8_t> out;
    out.reserve(encodedSize);
    auxwire::Writer w(out);
    w.u16(port);
    w.bytes(token);
    return out;
}
#pragma GCC diagnostic pop

std::optional<FileTransferEndpointPayload> FileTransferEndpointPayload::decode(std::span<const uint8_t> bytes) {
    if (bytes.size() != encodedSize) return std::nullopt;
    auxwire::Reader r(bytes);
    FileTransferEndpointPayload p;
    p.port = r.u16();
    r.copy(p.token);
    return p;
}
