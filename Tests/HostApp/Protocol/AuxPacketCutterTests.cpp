// This file replaces the global allocation functions to watch allocation
// sizes; once they are inlined into GoogleTest's factories, GCC takes the
// matching malloc/free pair for a mismatch.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "AuxTestBytes.h"
#include "HostApp/Protocol/AuxPacket.h"

using namespace auxtest;
using Status = AuxPacketCutter::Status;

// Records the largest single allocation while a test asks for it, so a test
// can show that a hostile length never turns into an allocation.
namespace {
std::atomic<bool> gTrackAllocations{false};
std::atomic<size_t> gLargestAllocation{0};
}  // namespace

void* operator new(size_t size) {
    if (gTrackAllocations.load(std::memory_order_relaxed)) {
        size_t seen = gLargestAllocation.load(std::memory_order_relaxed);
        while (size > seen && !gLargestAllocation.compare_exchange_weak(seen, size)) {
        }
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace {

std::vector<uint8_t> packet(uint8_t type, std::vector<uint8_t> payload, uint8_t flags = 0) {
    // Header bytes written out field by field for the test.
    std::vector<uint8_t> out = hex("32 4D 32 4D");
    out.push_back(type);
    out.push_back(flags);
    out.insert(out.end(), {0, 0});
    uint32_t n = static_cast<uint32_t>(payload.size());
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(n >> (8 * i)));
    out.insert(out.end(), {1, 0, 0, 0, 0, 0, 0, 0});
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

std::vector<uint8_t> payloadOf(const AuxPacketCutter::Result& r) { return {r.payload.begin(), r.payload.end()}; }

TEST(AuxPacketCutter, DeliversThreePacketsFromOneRead) {
    AuxPacketCutter cutter;
    cutter.append(cat({packet(25, hex("01 02 00 03 00 80 07 38 04")), packet(26, {}), packet(8, ascii("ok"))}));

    auto a = cutter.next();
    ASSERT_EQ(a.status, Status::packet);
    EXPECT_EQ(a.header.type, AuxPacketType::pointerEvent);
    EXPECT_EQ(a.header.timestampNs, 1u);
    auto b = cutter.next();
    auto c = cutter.next();
    ASSERT_EQ(b.status, Status::packet);
    ASSERT_EQ(c.status, Status::packet);
    // Earlier views stay valid while no further bytes are appended.
    EXPECT_EQ(payloadOf(a), hex("01 02 00 03 00 80 07 38 04"));
    EXPECT_EQ(b.header.type, AuxPacketType::videoFrameAck);
    EXPECT_TRUE(b.payload.empty());
    EXPECT_EQ(c.header.type, AuxPacketType::hostStatus);
    EXPECT_EQ(payloadOf(c), ascii("ok"));
    EXPECT_EQ(cutter.next().status, Status::needMoreData);
    EXPECT_EQ(cutter.bufferedBytes(), 0u);
}

TEST(AuxPacketCutter, JoinsOnePacketSplitOverFourReads) {
    auto whole = packet(30, hex("0D FF 00 00 01"));
    AuxPacketCutter cutter;
    size_t cuts[] = {0, 3, 13, 22, whole.size()};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(cutter.next().status, Status::needMoreData) << i;
        cutter.append(std::span(whole).subspan(cuts[i], cuts[i + 1] - cuts[i]));
    }
    auto r = cutter.next();
    ASSERT_EQ(r.status, Status::packet);
    EXPECT_EQ(r.header.type, AuxPacketType::keyEvent);
    EXPECT_EQ(payloadOf(r), hex("0D FF 00 00 01"));
    EXPECT_EQ(cutter.next().status, Status::needMoreData);
}

TEST(AuxPacketCutter, KeepsOrderAndContentAcrossArbitraryReadBoundaries) {
    std::vector<uint8_t> stream;
    for (int i = 0; i < 300; ++i) {
        stream = cat({stream, packet(8, repeat(static_cast<uint8_t>(i), static_cast<size_t>(i % 37)))});
    }
    AuxPacketCutter cutter;
    uint32_t lcg = 12345;
    size_t offset = 0;
    int seen = 0;
    while (offset < stream.size()) {
        lcg = lcg * 1103515245u + 12345u;
        size_t n = std::min<size_t>(stream.size() - offset, 1 + (lcg >> 16) % 90);
        cutter.append(std::span(stream).subspan(offset, n));
        offset += n;
        for (auto r = cutter.next(); r.status == Status::packet; r = cutter.next()) {
            ASSERT_EQ(payloadOf(r), repeat(static_cast<uint8_t>(seen), static_cast<size_t>(seen % 37))) << seen;
            ++seen;
        }
    }
    EXPECT_EQ(seen, 300);
    EXPECT_EQ(cutter.bufferedBytes(), 0u);
}

TEST(AuxPacketCutter, ReportsAnAllOnesLengthAtOnceWithoutAllocatingForIt) {
    AuxPacketCutter cutter;
    cutter.setPayloadLimit(AuxPacketCutter::postLoginPayloadLimit);
    auto header = hex("32 4D 32 4D 14 00 00 00 FF FF FF FF 00 00 00 00 00 00 00 00");
    auto trailing = repeat(0, 4096);

    gLargestAllocation = 0;
    gTrackAllocations = true;
    cutter.append(header);
    auto r = cutter.next();
    cutter.append(trailing);  // bytes after the error are dropped
    auto again = cutter.next();
    gTrackAllocations = false;

    ASSERT_EQ(r.status, Status::payloadTooLarge);
    EXPECT_EQ(r.payloadLength, 0xFFFFFFFFu);
    EXPECT_EQ(again.status, Status::payloadTooLarge);
    EXPECT_EQ(cutter.bufferedBytes(), 20u);
    EXPECT_LT(gLargestAllocation.load(), 1024u);
}

TEST(AuxPacketCutter, AppliesTheLimitInForce) {
    AuxPacketCutter before;
    before.append(hex("32 4D 32 4D 1F 00 00 00 01 00 01 00 00 00 00 00 00 00 00 00"));  // 65,537
    auto r = before.next();
    ASSERT_EQ(r.status, Status::payloadTooLarge);
    EXPECT_EQ(r.payloadLength, 65537u);
    EXPECT_EQ(r.header.type, AuxPacketType::fileTransferPacket);

    AuxPacketCutter atLimit;  // exactly 65,536 is accepted before login
    atLimit.append(hex("32 4D 32 4D 1F 00 00 00 00 00 01 00 00 00 00 00 00 00 00 00"));
    EXPECT_EQ(atLimit.next().status, Status::needMoreData);
    atLimit.append(repeat(7, 65536));
    auto big = atLimit.next();
    ASSERT_EQ(big.status, Status::packet);
    EXPECT_EQ(big.payload.size(), 65536u);

    AuxPacketCutter after;
    after.setPayloadLimit(AuxPacketCutter::postLoginPayloadLimit);
    after.append(hex("32 4D 32 4D 1F 00 00 00 00 00 00 04 00 00 00 00 00 00 00 00"));  // 64 MiB
    EXPECT_EQ(after.next().status, Status::needMoreData);
    after.append(hex("32 4D 32 4D"));
    after.setPayloadLimit(AuxPacketCutter::postLoginPayloadLimit - 1);
    EXPECT_EQ(after.next().status, Status::payloadTooLarge);
}

TEST(AuxPacketCutter, RejectsBadMagicFromTheFirstWrongByte) {
    AuxPacketCutter cutter;
    cutter.append(ascii("GE"));
    auto r = cutter.next();
    EXPECT_EQ(r.status, Status::invalidHeader);
    cutter.append(packet(8, ascii("late")));
    EXPECT_EQ(cutter.next().status, Status::invalidHeader);  // terminal

    AuxPacketCutter partial;
    partial.append(hex("32 4D 32"));
    EXPECT_EQ(partial.next().status, Status::needMoreData);
    EXPECT_EQ(partial.arrivalLimit(), AuxPacketCutter::preLoginPayloadLimit) << "so far a header on its way";
    partial.append(hex("4E"));
    EXPECT_EQ(partial.arrivalLimit(), 0u) << "garbage is no packet on its way, before next() saw it too";
    EXPECT_EQ(partial.next().status, Status::invalidHeader);
}

// The account and the cutter read a packet's size in one place: the
// framing reads what the header's length field says, and nothing before
// the whole header is there.
TEST(AuxPacketCutter, TheFramingReadsTheLengthTheHeaderCarries) {
    AuxPacketHeader header;
    header.type = AuxPacketType::clipboardTransfer;
    header.payloadLength = 0x04030201;
    header.timestampNs = ~uint64_t{0};
    const auto bytes = header.encode();
    for (size_t cut = 0; cut < bytes.size(); ++cut)
        EXPECT_EQ(auxPacketFraming.wholeBytes(std::span(bytes).first(cut)), std::nullopt) << cut << " bytes";
    EXPECT_EQ(auxPacketFraming.payloadBytes(bytes), header.payloadLength);
    EXPECT_EQ(auxPacketFraming.wholeBytes(bytes), AuxPacketHeader::size + header.payloadLength);
}

TEST(AuxPacketCutter, RejectsAnInvalidTypeAndNamesIt) {
    for (uint8_t t : {0, 9, 17, 45, 52, 200}) {
        AuxPacketCutter cutter;
        cutter.append(hex("32 4D 32 4D"));
        cutter.append(std::vector<uint8_t>{t});
        auto r = cutter.next();
        ASSERT_EQ(r.status, Status::invalidHeader) << int(t);
        EXPECT_EQ(r.invalidTypeRaw, t);
    }
    // A good packet ahead of a bad header is still delivered first.
    AuxPacketCutter cutter;
    cutter.append(cat({packet(44, {}), packet(45, {})}));
    EXPECT_EQ(cutter.next().status, Status::packet);
    auto bad = cutter.next();
    EXPECT_EQ(bad.status, Status::invalidHeader);
    EXPECT_EQ(bad.invalidTypeRaw, 45);
}

TEST(AuxPacketCutter, AcceptsReservedBytesAndTheIgnoredTypes) {
    AuxPacketCutter cutter;
    cutter.append(hex("32 4D 32 4D 2B 09 FF FF 01 00 00 00 00 00 00 00 00 00 00 00 5A"));
    auto r = cutter.next();
    ASSERT_EQ(r.status, Status::packet);
    EXPECT_EQ(r.header.type, AuxPacketType::unused43);
    EXPECT_EQ(r.header.flags, 9);
    EXPECT_EQ(r.header.reserved, 0xFFFF);
    EXPECT_EQ(payloadOf(r), hex("5A"));
}

}  // namespace

TEST(AuxPacketCutter, GrowsWithWhatArrivesAndGivesALargeBufferBack) {
    AuxPacketCutter cutter(AuxPacketCutter::postLoginPayloadLimit);
    const auto big = packet(27, repeat(0x5A, 4 * 1024 * 1024));
    const size_t chunk = 64 * 1024;
    // A header announcing 4 MiB reserves nothing; the buffer follows the
    // bytes as they come.
    for (size_t offset = 0; offset + chunk < big.size(); offset += chunk) {
        cutter.append(std::span(big).subspan(offset, chunk));
        ASSERT_EQ(cutter.next().status, Status::needMoreData);
        ASSERT_LE(cutter.capacity(), 2 * (offset + chunk)) << offset;
    }
    cutter.append(std::span(big).subspan(big.size() / chunk * chunk));
    // Its last bytes fill it to the packet's end, not to twice that.
    EXPECT_EQ(cutter.capacity(), big.size());
    ASSERT_EQ(cutter.next().status, Status::packet);
    // The next bytes land in a buffer of their own size, not the 4 MiB one.
    cutter.append(packet(30, repeat(1, 5)));
    EXPECT_EQ(cutter.next().status, Status::packet);
    EXPECT_LE(cutter.capacity(), AuxPacketCutter::retainedCapacity);

    // Served, and nothing more comes (a Viewer that sent one large packet
    // and waits): the buffer goes once the packet's reader asks for the
    // next, not when the peer next sends.
    cutter.append(big);
    ASSERT_EQ(cutter.next().status, Status::packet);
    ASSERT_GT(cutter.capacity(), AuxPacketCutter::retainedCapacity);
    EXPECT_EQ(cutter.next().status, Status::needMoreData);
    EXPECT_LE(cutter.capacity(), AuxPacketCutter::retainedCapacity);

    // A buffer kept after a packet grows from what it holds, not from its
    // capacity: one read past that capacity takes room for itself alone.
    cutter.append(packet(27, repeat(1, 120 * 1024)));
    ASSERT_EQ(cutter.next().status, Status::packet);
    std::vector<uint8_t> read;
    for (int i = 0; i < 130; ++i) {
        const auto one = packet(30, repeat(2, 1000));
        read.insert(read.end(), one.begin(), one.end());
    }
    const auto half = packet(30, repeat(3, 2000));
    read.insert(read.end(), half.begin(), half.begin() + 1000);
    ASSERT_GT(read.size(), cutter.capacity());
    cutter.append(read);
    EXPECT_LE(cutter.capacity(), read.size());
}

TEST(AuxPacketCutter, ABacklogServedDownGivesItsMemoryBackThoughItNeverEmpties) {
    AuxPacketCutter cutter(AuxPacketCutter::postLoginPayloadLimit);
    // 4 MiB of small packets waiting, as a flooding connection leaves them;
    // each payload names its place in the stream.
    auto numbered = [](uint32_t n) {
        std::vector<uint8_t> payload(40, 7);
        std::memcpy(payload.data(), &n, sizeof n);
        return packet(30, payload);
    };
    std::vector<uint8_t> backlog;
    uint32_t count = 0;
    while (backlog.size() < 4 * 1024 * 1024) {
        const auto one = numbered(count++);
        backlog.insert(backlog.end(), one.begin(), one.end());
    }
    cutter.append(backlog);
    const size_t high = cutter.capacity();
    ASSERT_GE(high, backlog.size());
    uint32_t seen = 0;
    auto expectNext = [&] {
        const auto r = cutter.next();
        ASSERT_EQ(r.status, Status::packet) << seen;
        const auto expected = numbered(seen);
        ASSERT_EQ(std::vector<uint8_t>(r.payload.begin(), r.payload.end()),
                  std::vector<uint8_t>(expected.begin() + AuxPacketHeader::size, expected.end()))
            << seen;
        ++seen;
    };
    // Served down to a few packets, with half of the next one arrived: the
    // cutter never empties, as a connection that is still sending does not.
    while (cutter.bufferedBytes() > 3 * 60) expectNext();
    const auto next = numbered(count);
    cutter.append(std::span(next).first(30));
    EXPECT_LE(cutter.capacity(), AuxPacketCutter::retainedCapacity) << "kept " << high << " bytes for a few packets";
    // Nothing waiting was lost or reordered on the way.
    while (seen < count) expectNext();
    EXPECT_EQ(cutter.next().status, Status::needMoreData);
    cutter.append(std::span(next).subspan(30));
    expectNext();
    EXPECT_EQ(cutter.bufferedBytes(), 0u);
}

// Packets cut out of turn leave the others, byte for byte and in their
// order, for next(); the cut stops at a packet still arriving, which is
// then the one announced, and only a packet taken from the front counts as
// taken.
TEST(AuxPacketCutter, CutsOutOfTurnWhatIsWantedAndLeavesTheRestInOrder) {
    AuxPacketCutter cutter(AuxPacketCutter::postLoginPayloadLimit);
    const auto waiting = packet(31, ascii("work"));
    const auto later = packet(30, hex("0D FF 00 00 01"));
    const auto arriving = packet(27, std::vector<uint8_t>(100, 7));
    cutter.append(cat({packet(26, {}), waiting, packet(26, ascii("x")), packet(44, {}), later, packet(26, {}),
                       std::vector<uint8_t>(arriving.begin(), arriving.begin() + 30)}));
    auto ackOrKeyFrame = [](AuxPacketType t) {
        return t == AuxPacketType::videoFrameAck || t == AuxPacketType::keyFrameRequest;
    };
    std::vector<std::pair<AuxPacketType, std::vector<uint8_t>>> served;
    auto serve = [&](const AuxPacketHeader& h, std::span<const uint8_t> p) {
        served.emplace_back(h.type, std::vector<uint8_t>(p.begin(), p.end()));
    };
    EXPECT_EQ(cutter.cutOutOfTurn(ackOrKeyFrame, 2, serve), 2u);
    EXPECT_EQ(cutter.packetsTaken(), 1u) << "the first ack was first";
    EXPECT_EQ(cutter.cutOutOfTurn(ackOrKeyFrame, 64, serve), 2u);
    ASSERT_EQ(served.size(), 4u);
    EXPECT_EQ(served[1], std::make_pair(AuxPacketType::videoFrameAck, ascii("x")));
    EXPECT_EQ(served[2].first, AuxPacketType::keyFrameRequest);
    EXPECT_EQ(cutter.packetsTaken(), 1u);
    EXPECT_EQ(cutter.bufferedBytes(), waiting.size() + later.size() + 30);
    EXPECT_EQ(auxPacketFraming.wholeBytes(cutter.buffered()), waiting.size()) << "the first packet is whole";

    auto first = cutter.next();
    ASSERT_EQ(first.status, Status::packet);
    EXPECT_EQ(payloadOf(first), ascii("work"));
    auto second = cutter.next();
    ASSERT_EQ(second.status, Status::packet);
    EXPECT_EQ(payloadOf(second), hex("0D FF 00 00 01"));
    EXPECT_EQ(cutter.next().status, Status::needMoreData);
    EXPECT_EQ(cutter.packetsTaken(), 3u);
    EXPECT_EQ(cutter.buffered().size(), 30u);
    EXPECT_EQ(auxPacketFraming.wholeBytes(cutter.buffered()), arriving.size()) << "the one still arriving";
    EXPECT_EQ(cutter.arrivalLimit(), AuxPacketCutter::postLoginPayloadLimit);
    cutter.append(std::span(arriving).subspan(30));
    EXPECT_EQ(payloadOf(cutter.next()), std::vector<uint8_t>(100, 7));
}
