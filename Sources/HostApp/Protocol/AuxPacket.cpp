#include "HostApp/Protocol/AuxPacket.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "HostApp/Protocol/AuxWireFormat.h"

std::optional<AuxPacketType> auxPacketTypeFromRaw(uint8_t raw) {
    if ((raw >= 6 && raw <= 8) || (raw >= 18 && raw <= 44) || (raw >= 46 && raw <= 51)) {
        return static_cast<AuxPacketType>(raw);
    }
    return std::nullopt;
}

namespace {

void writeHeader(uint8_t* out, AuxPacketType type, uint8_t flags, uint16_t reserved, uint32_t length,
                 uint64_t timestampNs) {
    auto put = [&out](uint64_t v, int width) {
        for (int i = 0; i < width; ++i) *out++ = static_cast<uint8_t>(v >> (8 * i));
    };
    put(AuxPacketHeader::magic, 4);
    put(static_cast<uint8_t>(type), 1);
    put(flags, 1);
    put(reserved, 2);
    put(length, 4);
    put(timestampNs, 8);
}

constexpr std::array<uint8_t, 4> magicBytes{0x32, 0x4D, 0x32, 0x4D};

uint32_t checkedLength(std::span<const uint8_t> payload) {
    if (payload.size() > UINT32_MAX) throw std::length_error("aux payload of 4 GiB or more");
    return static_cast<uint32_t>(payload.size());
}

}  // namespace

std::array<uint8_t, AuxPacketHeader::size> AuxPacketHeader::encode() const {
    std::array<uint8_t, size> out{};
    writeHeader(out.data(), type, flags, reserved, payloadLength, timestampNs);
    return out;
}

std::optional<AuxPacketHeader> AuxPacketHeader::decode(std::span<const uint8_t> bytes) {
    auxwire::Reader r(bytes);
    uint32_t m = r.u32();
    uint8_t typeRaw = r.u8();
    AuxPacketHeader h;
    h.flags = r.u8();
    h.reserved = r.u16();
    h.payloadLength = r.u32();
    h.timestampNs = r.u64();
    if (!r.ok() || m != magic) return std::nullopt;
    auto type = auxPacketTypeFromRaw(typeRaw);
    if (!type) return std::nullopt;
    h.type = *type;
    return h;
}

std::vector<uint8_t> makeAuxPacket(AuxPacketType type, uint8_t flags, std::span<const uint8_t> payload,
                                   uint64_t timestampNs) {
    std::vector<uint8_t> out;
    makeAuxPacket(out, type, flags, payload, timestampNs);
    return out;
}

void makeAuxPacket(std::vector<uint8_t>& out, AuxPacketType type, uint8_t flags, std::span<const uint8_t> payload,
                   uint64_t timestampNs) {
    uint32_t length = checkedLength(payload);
    size_t start = out.size();
    out.resize(start + AuxPacketHeader::size + payload.size());
    writeHeader(out.data() + start, type, flags, 0, length, timestampNs);
    if (!payload.empty()) std::memcpy(out.data() + start + AuxPacketHeader::size, payload.data(), payload.size());
}

void AuxPacketCutter::append(std::span<const uint8_t> bytes) {
    if (error_ || bytes.empty()) return;
    if (readOffset_ == buffer_.size()) {
        // Everything was handed out: a buffer a large packet left behind is
        // returned rather than held for the life of the connection.
        if (buffer_.capacity() > retainedCapacity) {
            std::vector<uint8_t>().swap(buffer_);
        } else {
            buffer_.clear();
        }
        readOffset_ = 0;
    } else if (readOffset_ > 0 && readOffset_ >= buffer_.size() / 2) {
        // Moving the tail only once the consumed head is at least as large
        // keeps the total copying linear in the bytes received.
        const size_t kept = buffer_.size() - readOffset_ + bytes.size();
        if (buffer_.capacity() > retainedCapacity && buffer_.capacity() / 4 > kept) {
            // A backlog that was served down gives its memory back: a
            // connection that once had megabytes waiting would otherwise keep
            // them resident for as long as it never quite empties.
            std::vector<uint8_t> smaller;
            smaller.reserve(std::max(retainedCapacity, 2 * kept));
            smaller.insert(smaller.end(), buffer_.begin() + static_cast<std::ptrdiff_t>(readOffset_), buffer_.end());
            buffer_.swap(smaller);
        } else {
            buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(readOffset_));
        }
        readOffset_ = 0;
    }
    const size_t needed = buffer_.size() + bytes.size();
    if (needed > buffer_.capacity()) {
        // It grows by doubling what it holds, as a vector does, but never
        // past the end of the packet still arriving when that packet is all
        // it holds: the last bytes of a 16 MiB packet would otherwise copy
        // it into 32 MiB.
        size_t grown = std::max(needed, 2 * buffer_.size());
        // Its header may complete with these bytes.
        std::array<uint8_t, AuxPacketHeader::size> header{};
        const size_t held = std::min(header.size(), buffer_.size() - readOffset_);
        std::copy_n(buffer_.begin() + static_cast<std::ptrdiff_t>(readOffset_), held, header.begin());
        std::copy_n(bytes.begin(), std::min(header.size() - held, bytes.size()), header.begin() + held);
        const auto whole = held + bytes.size() >= header.size() ? auxPacketFraming.wholeBytes(header) : std::nullopt;
        if (whole && needed <= readOffset_ + *whole)
            grown = std::min(grown, readOffset_ + *whole);
        buffer_.reserve(grown);
    }
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

AuxPacketCutter::Result AuxPacketCutter::next() {
    if (error_) return *error_;
    if (readOffset_ == buffer_.size() && buffer_.capacity() > retainedCapacity) {
        // Everything was handed out, and its reader is done with it (it asks
        // for the next): a buffer a large packet left behind goes now, not
        // when the peer next sends, which may be never.
        std::vector<uint8_t>().swap(buffer_);
        readOffset_ = 0;
    }
    std::span<const uint8_t> pending(buffer_.data() + readOffset_, buffer_.size() - readOffset_);
    if (pending.empty()) return {};

    // Garbage is recognised from its first wrong byte, so a stray client
    // that never sends a full header is closed at once.
    size_t magicSeen = std::min(pending.size(), magicBytes.size());
    bool magicOk = std::memcmp(pending.data(), magicBytes.data(), magicSeen) == 0;
    if (!magicOk || (pending.size() > 4 && !auxPacketTypeFromRaw(pending[4]))) {
        Result e;
        e.status = Status::invalidHeader;
        e.invalidTypeRaw = pending.size() > 4 ? pending[4] : 0;
        error_ = e;
        return e;
    }
    if (pending.size() < AuxPacketHeader::size) return {};

    auto header = AuxPacketHeader::decode(pending);  // magic and type were checked above
    const size_t whole = *auxPacketFraming.wholeBytes(pending);
    if (header->payloadLength > payloadLimit_) {
        Result e;
        e.status = Status::payloadTooLarge;
        e.header = *header;
        e.payloadLength = header->payloadLength;
        error_ = e;
        return e;
    }
    if (pending.size() < whole) return {};

    Result r;
    r.status = Status::packet;
    r.header = *header;
    r.payload = pending.subspan(AuxPacketHeader::size, whole - AuxPacketHeader::size);
    readOffset_ += whole;
    ++packetsTaken_;
    return r;
}

uint32_t AuxPacketCutter::arrivalLimit() const {
    if (error_) return 0;
    const auto pending = buffered();
    const size_t magicSeen = std::min(pending.size(), magicBytes.size());
    // An empty buffer may have no storage at all.
    if (magicSeen > 0 && std::memcmp(pending.data(), magicBytes.data(), magicSeen) != 0) return 0;
    if (pending.size() > 4 && !auxPacketTypeFromRaw(pending[4])) return 0;
    return payloadLimit_;
}

size_t AuxPacketCutter::cutOutOfTurn(
    const std::function<bool(AuxPacketType)>& wanted, size_t most,
    const std::function<void(const AuxPacketHeader&, std::span<const uint8_t>)>& serve) {
    if (error_) return 0;
    size_t served = 0;
    // Packets kept move down over those served, in one pass: `kept` is
    // where the next kept byte goes, `at` the packet looked at.
    size_t kept = readOffset_;
    size_t at = readOffset_;
    while (served < most) {
        const std::span<const uint8_t> rest(buffer_.data() + at, buffer_.size() - at);
        auto header = AuxPacketHeader::decode(rest);
        if (!header || header->payloadLength > payloadLimit_) break;
        const size_t whole = *auxPacketFraming.wholeBytes(rest);
        if (rest.size() < whole) break;
        if (wanted(header->type)) {
            serve(*header, rest.subspan(AuxPacketHeader::size, whole - AuxPacketHeader::size));
            ++served;
            if (kept == readOffset_) {
                // Nothing waits before it: it was first, and is taken as
                // next() would have taken it.
                readOffset_ += whole;
                kept = readOffset_;
                ++packetsTaken_;
            }
        } else {
            if (kept != at) std::memmove(buffer_.data() + kept, buffer_.data() + at, whole);
            kept += whole;
        }
        at += whole;
    }
    if (kept != at)
        buffer_.erase(buffer_.begin() + static_cast<std::ptrdiff_t>(kept),
                      buffer_.begin() + static_cast<std::ptrdiff_t>(at));
    return served;
}
