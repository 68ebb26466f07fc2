// Feeds arbitrary bytes to the aux packet cutter in arbitrary read sizes and
// checks that cutting is independent of how the stream was split, that no
// packet exceeds the limit in force, that an error is terminal, and that
// packets cut out of turn leave the others as they were.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "HostApp/Protocol/AuxPacket.h"

namespace {

struct Cut {
    std::vector<std::vector<uint8_t>> packets;  // header bytes + payload, as delivered
    AuxPacketCutter::Status end = AuxPacketCutter::Status::needMoreData;
};

void drain(AuxPacketCutter& cutter, Cut& cut) {
    for (;;) {
        auto r = cutter.next();
        if (r.status != AuxPacketCutter::Status::packet) {
            cut.end = r.status;
            if (r.status != AuxPacketCutter::Status::needMoreData && cutter.next().status != r.status) std::abort();
            return;
        }
        if (r.payload.size() != r.header.payloadLength || r.header.payloadLength > cutter.payloadLimit()) std::abort();
        auto header = r.header.encode();
        std::vector<uint8_t> bytes(header.begin(), header.end());
        bytes.insert(bytes.end(), r.payload.begin(), r.payload.end());
        cut.packets.push_back(std::move(bytes));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint32_t limit = (data[0] & 1) ? AuxPacketCutter::postLoginPayloadLimit : 4096;
    const size_t step = 1 + data[1] % 64;
    std::span<const uint8_t> stream(data + 2, size - 2);

    AuxPacketCutter whole(limit);
    Cut a;
    whole.append(stream);
    drain(whole, a);

    AuxPacketCutter pieces(limit);
    Cut b;
    for (size_t offset = 0; offset < stream.size(); offset += step) {
        pieces.append(stream.subspan(offset, std::min(step, stream.size() - offset)));
        drain(pieces, b);
    }

    if (a.packets != b.packets || a.end != b.end) std::abort();
    // Every delivered packet re-reads as the bytes it was cut from.
    size_t offset = 0;
    for (const auto& p : a.packets) {
        if (offset + p.size() > stream.size()) std::abort();
        std::span<const uint8_t> original = stream.subspan(offset, p.size());
        // Header bytes re-encode exactly (reserved and all), payload is the same.
        if (!std::equal(p.begin(), p.end(), original.begin())) std::abort();
        offset += p.size();
    }

    // Packets of some types cut out of turn as the pieces arrive leave the
    // others to next(), in their order: the two are the stream's packets,
    // each kind in its order, and the end is the same.
    const uint8_t parity = (data[0] >> 1) & 1;
    auto wanted = [parity](AuxPacketType type) { return (static_cast<uint8_t>(type) & 1) == parity; };
    AuxPacketCutter outOfTurn(limit);
    std::vector<std::vector<uint8_t>> early;
    for (size_t at = 0; at < stream.size(); at += step) {
        outOfTurn.append(stream.subspan(at, std::min(step, stream.size() - at)));
        outOfTurn.cutOutOfTurn(wanted, 1 + data[1] % 3, [&](const AuxPacketHeader& header, std::span<const uint8_t> payload) {
            auto bytes = header.encode();
            std::vector<uint8_t> packet(bytes.begin(), bytes.end());
            packet.insert(packet.end(), payload.begin(), payload.end());
            early.push_back(std::move(packet));
        });
        if (outOfTurn.packetsTaken() > a.packets.size()) std::abort();
    }
    Cut rest;
    drain(outOfTurn, rest);
    if (rest.end != a.end) std::abort();
    // The cut takes a few at a time: the wanted packets it left come to
    // next() in their place among the rest.
    std::vector<std::vector<uint8_t>> merged;
    size_t e = 0;
    for (const auto& p : a.packets) {
        if (wanted(static_cast<AuxPacketType>(p[4])) && e < early.size() && early[e] == p) {
            ++e;
            continue;
        }
        merged.push_back(p);
    }
    if (e != early.size() || merged != rest.packets) std::abort();
    return 0;
}
