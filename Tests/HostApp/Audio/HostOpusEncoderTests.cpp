// Blocks of any size become 20 ms Opus packets stamped with the time of
// their first sample.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "HostApp/Audio/HostOpusEncoder.h"

namespace {

constexpr uint64_t t0 = 5000000000;
constexpr uint64_t ms20 = 20000000;

std::vector<uint8_t> tone(size_t bytes) {
    std::vector<float> samples(bytes / 4);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = 0.25f * std::sin(0.06f * static_cast<float>(i / 2));
    std::vector<uint8_t> out(bytes);
    if (!out.empty()) std::memcpy(out.data(), samples.data(), samples.size() * 4);
    return out;
}

std::vector<uint64_t> times(const std::vector<HostOpusEncoder::Packet>& packets) {
    std::vector<uint64_t> out;
    for (const auto& p : packets) out.push_back(p.timestampNs);
    return out;
}

struct Block {
    size_t bytes;
    uint64_t timestampNs;
    std::vector<uint64_t> packets;  // their times
};

struct ChainCase {
    const char* what;
    std::vector<Block> blocks;
};

TEST(OpusEncoder, PacketsCarryTheTimeOfTheirFirstSample) {
    const ChainCase cases[] = {
        {"four 5 ms blocks make one packet at the first block's time",
         {{1920, t0, {}}, {1920, t0 + 5000000, {}}, {1920, t0 + 10000000, {}}, {1920, t0 + 15000000, {t0}}}},
        {"two frames and a rest, then the rest leads the next block",
         {{7680 * 2 + 100, t0, {t0, t0 + ms20}}, {7680, t0 + 999, {t0 + 2 * ms20}}}},
        {"a block finding nothing waiting starts a new chain",
         {{7680, t0, {t0}}, {7680, t0 + 7 * ms20, {t0 + 7 * ms20}}}},
        {"an empty block changes nothing", {{0, t0, {}}, {7680, t0 + 3, {t0 + 3}}}},
    };
    for (const auto& c : cases) {
        HostOpusEncoder encoder;
        ASSERT_TRUE(encoder.isActive());
        for (const auto& block : c.blocks)
            EXPECT_EQ(times(encoder.encodeFrames(tone(block.bytes), block.timestampNs)), block.packets) << c.what;
    }
}

TEST(OpusEncoder, ResetAndDiscardForgetTheWaitingSamples) {
    for (bool reset : {true, false}) {
        HostOpusEncoder encoder;
        encoder.encodeFrames(tone(7680 + 1000), t0);
        if (reset) {
            encoder.reset();
        } else {
            encoder.discardPending();
        }
        EXPECT_EQ(times(encoder.encodeFrames(tone(7680), t0 + 10 * ms20)), std::vector<uint64_t>{t0 + 10 * ms20});
    }
}

}  // namespace
