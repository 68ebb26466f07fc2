#pragma once
// The aux packet framing shared by the audio (7346) and video (7347)
// connections: the 20-byte header, the packet types, the builder every sender
// uses, and the cutter that turns a TCP byte stream back into packets.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "Platform/Network/PacketFraming.h"

// Every type a header may carry. Any other raw value makes the header
// invalid; 43, 46, 47 and 48 are valid on the wire but carry nothing the
// Host acts on.
enum class AuxPacketType : uint8_t {
    audioFrame = 6,
    audioControl = 7,
    hostStatus = 8,
    captureModeControl = 18,
    videoStreamConfig = 19,
    videoFrame = 20,
    videoPreferenceControl = 21,
    videoStats = 22,
    displayLayout = 23,
    hostDisplayModeControl = 24,
    pointerEvent = 25,
    videoFrameAck = 26,
    clipboardTransfer = 27,
    gestureEvent = 28,
    hostShortcut = 29,
    keyEvent = 30,
    fileTransferPacket = 31,
    rawKeyEvent = 32,
    systemDefinedKeyEvent = 33,
    hostPhysicalDisplayControl = 34,
    hostSessionInfo = 35,
    viewerLogin = 36,
    fileTransferEndpoint = 37,
    dragSnapshot = 38,
    dragPull = 39,
    dragSnapshotEnd = 40,
    hostIdentityChallenge = 41,
    hostIdentityProof = 42,
    unused43 = 43,
    keyFrameRequest = 44,
    unused46 = 46,
    unused47 = 47,
    unused48 = 48,
    iosBackgroundPresence = 49,
    hostRecordingControl = 50,
    hostRecordingState = 51,
};

std::optional<AuxPacketType> auxPacketTypeFromRaw(uint8_t raw);

// The header in front of every aux packet; all fields little-endian.
struct AuxPacketHeader {
    static constexpr size_t size = 20;
    static constexpr uint32_t magic = 0x4D324D32;  // the bytes "2M2M"

    AuxPacketType type = AuxPacketType::hostStatus;
    uint8_t flags = 0;
    uint16_t reserved = 0;  // sent as 0; other values are accepted
    uint32_t payloadLength = 0;
    uint64_t timestampNs = 0;

    std::array<uint8_t, size> encode() const;
    // Nothing when fewer than 20 bytes are given, the magic is wrong or the
    // type is not one of AuxPacketType.
    static std::optional<AuxPacketHeader> decode(std::span<const uint8_t> bytes);

    bool operator==(const AuxPacketHeader&) const = default;
};

// Where an aux packet's header says how long its payload is: the one
// reading of its size, for the cutter and the account of what is read.
inline constexpr platform::PacketFraming auxPacketFraming{AuxPacketHeader::size, 8};

// Header plus payload as one buffer. A payload must stay below 4 GiB (the
// width of the length field); larger ones throw std::length_error rather
// than send a length that would desynchronise the stream.
std::vector<uint8_t> makeAuxPacket(AuxPacketType type, uint8_t flags, std::span<const uint8_t> payload,
                                   uint64_t timestampNs);

// The same, appended to `out` (which keeps its capacity between calls), for
// the frame path that builds one packet per frame without allocating.
void makeAuxPacket(std::vector<uint8_t>& out, AuxPacketType type, uint8_t flags, std::span<const uint8_t> payload,
                   uint64_t timestampNs);

// Cuts complete aux packets out of the bytes of one connection, in the order
// they arrived. A TCP stream cannot resynchronise after a bad header, so the
// first bad header or over-long length is terminal: the owner closes the
// connection.
class AuxPacketCutter {
public:
    static constexpr uint32_t preLoginPayloadLimit = 65'536;
    static constexpr uint32_t postLoginPayloadLimit = 64u * 1024 * 1024;

    enum class Status : uint8_t {
        needMoreData,     // no complete packet buffered yet
        packet,           // `header` and `payload` hold the next packet
        invalidHeader,    // bad magic or unknown type; `invalidTypeRaw` is byte 4 as received
        payloadTooLarge,  // `payloadLength` exceeds the limit in force
    };

    struct Result {
        Status status = Status::needMoreData;
        AuxPacketHeader header;
        // Points into the cutter's buffer: valid until the next append().
        std::span<const uint8_t> payload;
        uint8_t invalidTypeRaw = 0;
        uint32_t payloadLength = 0;
    };

    explicit AuxPacketCutter(uint32_t payloadLimit = preLoginPayloadLimit) : payloadLimit_(payloadLimit) {}

    // The largest payload accepted from now on; the server raises it once
    // the connection has logged in.
    void setPayloadLimit(uint32_t limit) { payloadLimit_ = limit; }
    uint32_t payloadLimit() const { return payloadLimit_; }

    // Adds received bytes. Ignored once an error has been reported.
    void append(std::span<const uint8_t> bytes);

    // The next complete packet, or why there is none. A bad magic or type is
    // reported as soon as the offending byte has arrived, a too-large length
    // as soon as the header is complete, before any payload is buffered for
    // it. Errors repeat on every later call.
    Result next();

    // Hands to `serve`, in order, up to `most` of the complete packets
    // buffered whose type `wanted` picks, wherever they sit behind packets
    // that wait, and removes them; the others stay, in their order, for
    // next(). Stops at the first packet still arriving or header that is
    // bad (next() reports it in its turn). `serve` must not append. Returns
    // how many it served.
    size_t cutOutOfTurn(const std::function<bool(AuxPacketType)>& wanted, size_t most,
                        const std::function<void(const AuxPacketHeader&, std::span<const uint8_t>)>& serve);

    // Bytes received but not yet handed out as packets.
    size_t bufferedBytes() const { return buffer_.size() - readOffset_; }
    // Packets handed out from the front of the buffer so far.
    uint64_t packetsTaken() const { return packetsTaken_; }
    // The bytes received and not yet handed out, first packet first.
    std::span<const uint8_t> buffered() const { return {buffer_.data() + readOffset_, bufferedBytes()}; }
    // The largest payload the first packet buffered may announce and still
    // be a packet on its way: the limit in force, or 0 once the stream is
    // bad (a bad header found, or the first one's magic or type wrong).
    uint32_t arrivalLimit() const;
    // Memory the cutter holds: it grows by doubling with what is buffered,
    // and falls back to at most retainedCapacity once a large packet has
    // been handed out and the next is asked for or more bytes arrive, or to
    // twice what it still holds once a backlog has been served down to a
    // quarter of it.
    size_t capacity() const { return buffer_.capacity(); }

    // A buffer emptied of a packet larger than this is given back instead
    // of being kept for the next one.
    static constexpr size_t retainedCapacity = 128 * 1024;

private:
    // Received bytes; [readOffset_, end) is not yet consumed. Consumed bytes
    // are dropped lazily in append(), so cutting many small packets out of
    // one read copies nothing. It grows with the bytes that arrive, never
    // ahead of them to a length a header merely announces.
    std::vector<uint8_t> buffer_;
    size_t readOffset_ = 0;
    uint64_t packetsTaken_ = 0;
    uint32_t payloadLimit_;
    // Set once a terminal error is found; replayed by next().
    std::optional<Result> error_;
};
