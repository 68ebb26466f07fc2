// Captured audio buffers of every accepted kind and layout become
// interleaved float stereo; everything else is refused without reading past
// a buffer.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "AudioTestSupport.h"
#include "HostApp/Audio/HostAudioCapture.h"
#include "Support/TestSupport.h"

using namespace audiotest;
using platform::CMSampleBuffer;
using platform::CMTime;

namespace {

constexpr uint32_t kFloat = platform::kAudioFormatFlagIsFloat;
constexpr uint32_t kInt = platform::kAudioFormatFlagIsSignedInteger;
constexpr uint32_t kNonInterleaved = platform::kAudioFormatFlagIsNonInterleaved;

class Conversion : public VirtualTimeTest {
protected:
    std::shared_ptr<HostAudioCapture> capture = HostAudioCapture::create(
        1, true, platform::DispatchQueue("test.sample"), platform::DispatchQueue("test.lifecycle"), {});
    size_t formatLines() const { return log->count("[NorvessalHost] ASBD rate="); }
};

struct ConversionCase {
    const char* what;
    CMSampleBuffer input;
    std::optional<std::vector<float>> expected;  // left, right, left, right, ...
};

// A stereo float buffer (one per channel unless `interleaved`) with an
// edit applied to it and its data.
CMSampleBuffer edited(const std::function<void(CMSampleBuffer&, platform::CMBlockBuffer&)>& edit) {
    auto b = audioBuffer(kFloat | kNonInterleaved, 32, 2, {bytesOf<float>({1}), bytesOf<float>({2})});
    auto data = std::make_shared<platform::CMBlockBuffer>(*b.dataBuffer);
    edit(b, *data);
    b.dataBuffer = data;
    return b;
}
const auto noFetch = [](CMSampleBuffer&, platform::CMBlockBuffer& d) { d.fetchStatus = -12731; };
const auto firstDataMissing = [](CMSampleBuffer&, platform::CMBlockBuffer& d) { d.blocks[0].dataPointerMissing = true; };

std::vector<float> ramp(size_t n) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<float>(i) / static_cast<float>(n);
    return v;
}
CMSampleBuffer interleavedRamp(size_t samples) {
    auto v = ramp(samples);
    Bytes bytes(samples * 4);
    std::memcpy(bytes.data(), v.data(), bytes.size());
    return audioBuffer(kFloat, 32, 2, {bytes});
}

TEST_F(Conversion, AcceptedKindsAndLayoutsBecomeInterleavedStereo) {
    const ConversionCase cases[] = {
        {"stereo float, one buffer per channel", audioBuffer(kFloat | kNonInterleaved, 32, 2,
                                                             {bytesOf<float>({0.1f, 0.2f}), bytesOf<float>({-0.3f, 0.4f})}),
         std::vector<float>{0.1f, -0.3f, 0.2f, 0.4f}},
        {"float outside [-1, 1] passes unchanged", audioBuffer(kFloat, 32, 2, {bytesOf<float>({1.5f, -2.0f})}),
         std::vector<float>{1.5f, -2.0f}},
        {"mono 16-bit on both sides, divided by 32767",
         audioBuffer(kInt, 16, 1, {bytesOf<int16_t>({32767, -32768, 16384})}),
         std::vector<float>{1, 1, -1, -1, 0.50001526f, 0.50001526f}},
        {"32-bit integers at full scale", audioBuffer(kInt, 32, 2, {bytesOf<int32_t>({2147483647, -2147483647 - 1})}),
         std::vector<float>{1, -1}},
        {"both flags at 16 bits are integers", audioBuffer(kFloat | kInt, 16, 2, {bytesOf<int16_t>({16384, -16384})}),
         std::vector<float>{0.50001526f, -0.50001526f}},
        {"both flags at 32 bits are floats", audioBuffer(kFloat | kInt, 32, 2, {bytesOf<float>({0.25f, 3.0f})}),
         std::vector<float>{0.25f, 3.0f}},
        {"six interleaved channels keep the first two",
         audioBuffer(kFloat, 32, 6, {bytesOf<float>({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12})}),
         std::vector<float>{1, 2, 7, 8}},
        {"a part frame at the end is dropped", audioBuffer(kFloat, 32, 2, {bytesOf<float>({1, 2, 3, 4, 5})}),
         std::vector<float>{1, 2, 3, 4}},
        {"fewer samples than channels make one frame", audioBuffer(kFloat, 32, 3, {bytesOf<float>({1, 2})}),
         std::vector<float>{1, 2}},
        {"unequal buffers give the shorter length",
         audioBuffer(kFloat | kNonInterleaved, 32, 2, {bytesOf<float>({1, 2, 3}), bytesOf<float>({4, 5})}),
         std::vector<float>{1, 4, 2, 5}},
        {"44.1 kHz converts like any rate", audioBuffer(kInt, 16, 2, {bytesOf<int16_t>({0, 32767})}, 44100),
         std::vector<float>{0, 1}},
        {"4,096 interleaved bytes are 512 frames", interleavedRamp(1024), ramp(1024)},
    };
    for (const auto& c : cases) {
        auto out = capture->interleavedFloat32Stereo(c.input);
        ASSERT_TRUE(out.has_value()) << c.what;
        EXPECT_EQ(out->size(), c.expected->size() * 4) << c.what;
        auto floats = floatsOf(*out);
        for (size_t i = 0; i < floats.size() && i < c.expected->size(); ++i)
            EXPECT_FLOAT_EQ(floats[i], (*c.expected)[i]) << c.what << " at " << i;
    }
}

TEST_F(Conversion, RefusedBuffersYieldNothing) {
    const ConversionCase cases[] = {
        {"24-bit integers", audioBuffer(kInt, 24, 2, {Bytes(12, 0)}), std::nullopt},
        {"64-bit floats", audioBuffer(kFloat, 64, 2, {Bytes(32, 0)}), std::nullopt},
        {"neither float nor integer", audioBuffer(0, 32, 2, {Bytes(16, 0)}), std::nullopt},
        {"8-bit integers", audioBuffer(kInt, 8, 2, {Bytes(4, 0)}), std::nullopt},
        {"no channels", audioBuffer(kFloat, 32, 0, {Bytes(8, 0)}), std::nullopt},
        {"more channels than any device has", audioBuffer(kFloat, 32, 65, {Bytes(65 * 4, 0)}), std::nullopt},
        {"no format description", edited([](auto& b, auto&) { b.formatDescription.reset(); }), std::nullopt},
        {"no stream description",
         edited([](auto& b, auto&) { b.formatDescription = std::make_shared<platform::CMAudioFormatDescription>(); }),
         std::nullopt},
        {"the buffer list cannot be fetched", edited(noFetch), std::nullopt},
        {"more buffers than channels", audioBuffer(kFloat, 32, 1, {Bytes(4, 0), Bytes(4, 0)}), std::nullopt},
        {"no buffer at all", edited([](auto&, auto& d) { d.blocks.clear(); }), std::nullopt},
        {"first data pointer missing", edited(firstDataMissing), std::nullopt},
        {"second data pointer missing", edited([](auto&, auto& d) { d.blocks[1].dataPointerMissing = true; }),
         std::nullopt},
        {"a single buffer shorter than one sample", audioBuffer(kInt, 16, 1, {Bytes(1, 0)}), std::nullopt},
        {"an interleaved stereo buffer of one sample", audioBuffer(kFloat, 32, 2, {bytesOf<float>({1})}),
         std::nullopt},
        {"per-channel buffers with no common frame",
         audioBuffer(kFloat | kNonInterleaved, 32, 2, {bytesOf<float>({1}), Bytes(2, 0)}), std::nullopt},
    };
    for (const auto& c : cases) EXPECT_FALSE(capture->interleavedFloat32Stereo(c.input).has_value()) << c.what;
}

TEST_F(Conversion, TheFormatLineIsWrittenOnceForTheFirstFetchedBuffer) {
    EXPECT_FALSE(capture->interleavedFloat32Stereo(edited(noFetch)));
    EXPECT_EQ(formatLines(), 0u);
    // Fetched, then refused for its missing data: the line is written anyway.
    EXPECT_FALSE(capture->interleavedFloat32Stereo(edited(firstDataMissing)));
    EXPECT_TRUE(capture->interleavedFloat32Stereo(audioBuffer(kInt | kFloat, 16, 2, {Bytes(8, 0)}, 44100)));
    EXPECT_EQ(formatLines(), 1u);
    EXPECT_TRUE(logContains(
        "[NorvessalHost] ASBD rate=48000.0 channels=2 bits=32 float=true int=false interleaved=false buffers=2"));
    auto another = HostAudioCapture::create(1, true, platform::DispatchQueue("s"), platform::DispatchQueue("l"), {});
    EXPECT_TRUE(another->interleavedFloat32Stereo(audioBuffer(kInt | kFloat, 16, 2, {Bytes(8, 0)}, 44100.5)));
    EXPECT_TRUE(logContains("ASBD rate=44100.5 channels=2 bits=16 float=true int=true interleaved=true buffers=1"));
}

TEST(AudioTimestamp, PresentationTimesBecomeNanosecondsOrZero) {
    const std::pair<CMTime, uint64_t> cases[] = {
        {CMTime::make(48015360, 48000), 1000320000000ull},  // exact, no rounding below the nanosecond
        {CMTime::make(1, 3), 333333333ull},
        {CMTime::make(-1, 48000), 0},
        {CMTime::invalid(), 0},
        {CMTime::indefinite(), 0},
        {CMTime::positiveInfinity(), 0},
        {CMTime::make(18446744073, 1), 18446744073000000000ull},
        {CMTime::make(18446744074, 1), 0},  // beyond 2^64 ns
        {CMTime::make(std::numeric_limits<int64_t>::max(), 1), 0},
    };
    for (const auto& [time, ns] : cases) EXPECT_EQ(HostAudioCapture::timestampNs(time), ns) << time.value;
}

TEST_F(Conversion, EveryGeneratedFormatConvertsBackToItsTones) {
    using Format = platform::SimulatedSystemAudio::Format;
    const std::pair<Format, double> cases[] = {  // format, tolerance
        {Format{}, 1e-7},
        {Format{48000, 1, 16, kInt, false, 256}, 1e-4},
        {Format{44100, 6, 32, kInt | kNonInterleaved, true, 256}, 1e-6},
    };
    systemAudio().setTones({{440, 0.25}, {660, 0.5}, {1000, 0.9}});
    for (const auto& [format, tolerance] : cases) {
        systemAudio().setFormat(format);
        auto floats = floatsOf(*capture->interleavedFloat32Stereo(systemAudio().makeBlock(1234567, format.framesPerBlock)));
        ASSERT_EQ(floats.size(), format.framesPerBlock * 2u);
        for (uint32_t i = 0; i < format.framesPerBlock; ++i) {
            EXPECT_NEAR(floats[2 * i], systemAudio().sampleValue(0, 1234567 + i), tolerance);
            EXPECT_NEAR(floats[2 * i + 1], systemAudio().sampleValue(format.channels == 1 ? 0 : 1, 1234567 + i), tolerance);
        }
    }
    // Sixty-four-bit samples are the generator's values bit for bit, a
    // whole frequency's and a fractional one's, however far into a stream.
    systemAudio().setTones({{440, 0.25}, {440.5, 0.5}, {44100, 0.5}});
    systemAudio().setFormat(Format{48000, 3, 64, kFloat | kNonInterleaved, true, 512});
    for (const int64_t start : {int64_t{0}, int64_t{1234567}, int64_t{1} << 40, int64_t{1} << 50}) {
        const auto block = systemAudio().makeBlock(start, 512);
        for (uint32_t c = 0; c < 3; ++c) {
            const auto& bytes = block.dataBuffer->blocks[c].bytes;
            ASSERT_EQ(bytes.size(), 512 * 8u);
            for (uint32_t i = 0; i < 512; ++i) {
                double v;
                std::memcpy(&v, bytes.data() + i * 8, 8);
                ASSERT_EQ(v, systemAudio().sampleValue(c, start + i)) << "channel " << c << " sample " << start + i;
            }
        }
    }
}

}  // namespace
