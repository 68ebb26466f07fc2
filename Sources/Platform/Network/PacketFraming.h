#pragma once
// How a framed stream's packets say how long they are: a header of fixed
// size holding the payload's length as a little-endian 32-bit field. The
// one reading of a packet's size, for the cutter that serves a stream's
// packets and for the account of what its reader holds (ReceiveTurns)
// alike, so that the two never disagree about where a packet ends.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace platform {

struct PacketFraming {
    // Bytes of the header, the length field included.
    size_t headerBytes = 0;
    // Where the payload's length sits in the header.
    size_t lengthOffset = 0;

    // The payload's length as the header `bytes` begin with announces it;
    // nothing while that header is incomplete.
    std::optional<uint32_t> payloadBytes(std::span<const uint8_t> bytes) const {
        if (bytes.size() < headerBytes) return std::nullopt;
        uint32_t length = 0;
        for (size_t i = 0; i < 4; ++i) length |= static_cast<uint32_t>(bytes[lengthOffset + i]) << (8 * i);
        return length;
    }
    // The whole size (header and payload) of the packet `bytes` begin
    // with; nothing while its header is incomplete.
    std::optional<size_t> wholeBytes(std::span<const uint8_t> bytes) const {
        const auto payload = payloadBytes(bytes);
        if (!payload) return std::nullopt;
        return headerBytes + size_t{*payload};
    }
};

}  // namespace platform
