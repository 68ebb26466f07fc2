#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>

#include <sched.h>

#include "Platform/Media/VideoEncoder.h"
#include "Support/VideoStreamDecoder.h"

using namespace platform;

namespace {

using Bytes = std::vector<uint8_t>;

// A BGRA picture with padded rows: a fixed background and a square whose
// position follows `step`, so consecutive frames differ a little.
struct TestPicture {
    int width, height, bytesPerRow;
    Bytes pixels;

    TestPicture(int w, int h) : width(w), height(h), bytesPerRow(w * 4 + 64), pixels(size_t(bytesPerRow) * h) {}

    void fill(uint8_t b, uint8_t g, uint8_t r) {
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) set(x, y, b, g, r);
        }
    }
    void set(int x, int y, uint8_t b, uint8_t g, uint8_t r) {
        uint8_t* p = &pixels[size_t(y) * bytesPerRow + size_t(x) * 4];
        p[0] = b, p[1] = g, p[2] = r, p[3] = 255;
    }
    void drawScene(int step) {
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) set(x, y, uint8_t(x), uint8_t(y), uint8_t(x + y));
        }
        for (int y = 20; y < 80; ++y) {
            for (int x = 0; x < 60; ++x) set((x + step * 8) % width, y, 255, 255, 255);
        }
    }
    void noise(std::mt19937& random) {
        for (auto& byte : pixels) byte = uint8_t(random());
    }
    BGRAImage image() const { return {pixels.data(), width, height, bytesPerRow}; }
};

using platform::testing::nalUnits;

int nalType(VideoCodec codec, const Bytes& nal) {
    return codec == VideoCodec::hevc ? (nal[0] >> 1) & 0x3F : nal[0] & 0x1F;
}

// The decoder a Viewer runs, primed with the encoder's parameter sets.
class StreamDecoder : public platform::testing::VideoStreamDecoder {
public:
    StreamDecoder(VideoCodec codec, const VideoParameterSets& sets)
        : VideoStreamDecoder(codec == VideoCodec::hevc, sets.vps, sets.sps, sets.pps) {}
};

VideoEncoderSettings smallSettings(VideoCodec codec, ChromaSubsampling chroma) {
    VideoEncoderSettings s;
    s.codec = codec;
    s.chroma = chroma;
    s.width = 320;
    s.height = 180;
    s.fps = 30;
    s.bitrate = 2'000'000;
    return s;
}

std::unique_ptr<VideoEncoder> makeEncoder(const VideoEncoderSettings& s) {
    auto created = VideoEncoder::create(s);
    EXPECT_TRUE(created.ok()) << created.error();
    return created.ok() ? std::move(created.value()) : nullptr;
}

// Frame numbers at which encode() is asked for a key frame.
constexpr int kForcedKeyFrame = 4;
constexpr uint64_t kFrameNs = 33'333'333;

struct Variant {
    VideoCodec codec;
    ChromaSubsampling chroma;
    AVPixelFormat decodedFormat;
    int decodedProfile;
};

void PrintTo(const Variant& v, std::ostream* os) {
    *os << (v.codec == VideoCodec::hevc ? "HEVC" : "H.264") << (v.chroma == ChromaSubsampling::yuv444 ? " 4:4:4" : " 4:2:0");
}

class VideoEncoderVariants : public ::testing::TestWithParam<Variant> {};

}  // namespace

TEST_P(VideoEncoderVariants, FramesDecodeAtTheEncodedSizeWithKeyFramesWhereAsked) {
    const Variant v = GetParam();
    auto encoder = makeEncoder(smallSettings(v.codec, v.chroma));
    ASSERT_TRUE(encoder);
    const auto& sets = encoder->parameterSets();
    EXPECT_EQ(sets.vps.empty(), v.codec == VideoCodec::h264);
    ASSERT_FALSE(sets.sps.empty());
    ASSERT_FALSE(sets.pps.empty());
    // Raw NAL units: the header byte follows directly, no start code.
    EXPECT_EQ(nalType(v.codec, sets.sps), v.codec == VideoCodec::hevc ? 33 : 7);
    EXPECT_EQ(nalType(v.codec, sets.pps), v.codec == VideoCodec::hevc ? 34 : 8);
    if (v.codec == VideoCodec::hevc) {
        EXPECT_EQ(nalType(v.codec, sets.vps), 32);
    }

    StreamDecoder decoder(v.codec, sets);
    TestPicture picture(640, 360);  // scaled down by the encoder
    for (int i = 0; i < 8; ++i) {
        picture.drawScene(i);
        const uint64_t pts = 1'000'000'000 + uint64_t(i) * kFrameNs;
        auto encoded = encoder->encode(picture.image(), pts, i == kForcedKeyFrame);
        ASSERT_TRUE(encoded.ok()) << encoded.error();
        ASSERT_TRUE(encoded->has_value()) << "frame " << i << " held back";
        const EncodedVideoFrame& frame = **encoded;
        EXPECT_EQ(frame.presentationTimeNs, pts);
        EXPECT_EQ(frame.isKeyFrame, i == 0 || i == kForcedKeyFrame) << "frame " << i;
        for (const auto& nal : nalUnits(frame.data)) {
            const int type = nalType(v.codec, nal);
            const bool parameterSet = v.codec == VideoCodec::hevc ? (type >= 32 && type <= 34) : (type == 7 || type == 8);
            EXPECT_FALSE(parameterSet) << "parameter set of type " << type << " inside frame " << i;
        }
        auto picture_ = decoder.decode(frame.data);
        ASSERT_TRUE(picture_) << "frame " << i << " did not decode";
        EXPECT_EQ(picture_->width, 320);
        EXPECT_EQ(picture_->height, 180);
        EXPECT_EQ(picture_->format, v.decodedFormat);
        EXPECT_EQ(picture_->profile, v.decodedProfile);
        EXPECT_EQ(picture_->keyFrame, i == 0 || i == kForcedKeyFrame) << "frame " << i;
    }
}

TEST_P(VideoEncoderVariants, ConvertsColoursAsBT709LimitedRange) {
    const Variant v = GetParam();
    auto encoder = makeEncoder(smallSettings(v.codec, v.chroma));
    ASSERT_TRUE(encoder);
    StreamDecoder decoder(v.codec, encoder->parameterSets());
    TestPicture picture(320, 180);
    picture.fill(0, 0, 255);  // pure red
    auto encoded = encoder->encode(picture.image(), 0, false);
    ASSERT_TRUE(encoded.ok() && encoded->has_value());
    auto decoded = decoder.decode((*encoded)->data);
    ASSERT_TRUE(decoded);
    // BT.709 limited range red: Y 63, Cb 102, Cr 240.
    EXPECT_NEAR(decoded->y, 63, 3);
    EXPECT_NEAR(decoded->cb, 102, 3);
    EXPECT_NEAR(decoded->cr, 240, 3);
}

TEST_P(VideoEncoderVariants, APictureConvertedInBandsSideBySideKeepsEveryRowInPlace) {
    const Variant v = GetParam();
    auto settings = smallSettings(v.codec, v.chroma);
    settings.height = 512;  // unscaled, tall enough for four bands
    ASSERT_GT(VideoEncoder::conversionBands(320, 512, settings), 1);
    auto encoder = makeEncoder(settings);
    ASSERT_TRUE(encoder);
    struct Stripe {
        uint8_t b, g, r;
        int y, cb, cr;  // BT.709 limited range
    };
    const Stripe stripes[] = {{0, 0, 255, 63, 102, 240}, {0, 255, 0, 173, 42, 26},
                              {255, 0, 0, 32, 240, 118}, {255, 255, 255, 235, 128, 128}};
    TestPicture picture(320, 512);
    for (int y = 0; y < 512; ++y) {
        const auto& stripe = stripes[y / 128];
        for (int x = 0; x < 320; ++x) picture.set(x, y, stripe.b, stripe.g, stripe.r);
    }
    auto encoded = encoder->encode(picture.image(), 0, false);
    ASSERT_TRUE(encoded.ok() && encoded->has_value());
    const auto data = (*encoded)->data;
    for (int i = 0; i < 4; ++i) {
        // A fresh decoder per sample point: decode() samples one point.
        StreamDecoder sampler(v.codec, encoder->parameterSets());
        auto decoded = sampler.decode(data, 0.5, (i * 128 + 64) / 512.0);
        ASSERT_TRUE(decoded);
        EXPECT_NEAR(decoded->y, stripes[i].y, 4) << "stripe " << i;
        EXPECT_NEAR(decoded->cb, stripes[i].cb, 4) << "stripe " << i;
        EXPECT_NEAR(decoded->cr, stripes[i].cr, 4) << "stripe " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    AllProfiles, VideoEncoderVariants,
    ::testing::Values(Variant{VideoCodec::h264, ChromaSubsampling::yuv420, AV_PIX_FMT_YUV420P, FF_PROFILE_H264_HIGH},
                      Variant{VideoCodec::h264, ChromaSubsampling::yuv444, AV_PIX_FMT_YUV444P,
                              FF_PROFILE_H264_HIGH_444_PREDICTIVE},
                      Variant{VideoCodec::hevc, ChromaSubsampling::yuv420, AV_PIX_FMT_YUV420P, FF_PROFILE_HEVC_MAIN},
                      Variant{VideoCodec::hevc, ChromaSubsampling::yuv444, AV_PIX_FMT_YUV444P, FF_PROFILE_HEVC_REXT}),
    [](const auto& info) {
        return std::string(info.param.codec == VideoCodec::hevc ? "HEVC" : "H264") +
               (info.param.chroma == ChromaSubsampling::yuv444 ? "444" : "420");
    });

TEST(VideoEncoderRateControl, H264BitRateChangesInPlaceAndTakesEffect) {
    auto s = smallSettings(VideoCodec::h264, ChromaSubsampling::yuv420);
    s.bitrate = 20'000'000;
    auto encoder = makeEncoder(s);
    ASSERT_TRUE(encoder);
    std::mt19937 random(7);
    TestPicture picture(320, 180);
    auto encodeNoise = [&](int frames, uint64_t& pts) {
        size_t bytes = 0;
        for (int i = 0; i < frames; ++i) {
            picture.noise(random);
            auto encoded = encoder->encode(picture.image(), pts += kFrameNs, false);
            EXPECT_TRUE(encoded.ok() && encoded->has_value());
            if (encoded.ok() && encoded->has_value()) bytes += (*encoded)->data.size();
        }
        return bytes;
    };
    uint64_t pts = 0;
    encodeNoise(5, pts);
    const size_t before = encodeNoise(10, pts);

    const uint64_t build = encoder->buildNumber();
    auto change = encoder->updateRateControl(30, 300'000);
    ASSERT_TRUE(change.ok()) << change.error();
    EXPECT_EQ(*change, RateControlChange::inPlace);
    EXPECT_EQ(encoder->buildNumber(), build);
    encodeNoise(10, pts);
    const size_t after = encodeNoise(10, pts);
    EXPECT_LT(after * 4, before) << "before " << before << " after " << after;
}

TEST(VideoEncoderRateControl, ChangesTheEncoderCannotTakeInPlaceRebuildWithAKeyFrame) {
    for (auto [codec, fps] : std::vector<std::pair<VideoCodec, int>>{{VideoCodec::hevc, 30}, {VideoCodec::h264, 60}}) {
        auto encoder = makeEncoder(smallSettings(codec, ChromaSubsampling::yuv420));
        ASSERT_TRUE(encoder);
        TestPicture picture(320, 180);
        picture.drawScene(0);
        ASSERT_TRUE(encoder->encode(picture.image(), 1, false).ok());
        ASSERT_TRUE(encoder->encode(picture.image(), 2, false).ok());

        auto change = encoder->updateRateControl(fps, 1'000'000);
        ASSERT_TRUE(change.ok()) << change.error();
        EXPECT_EQ(*change, RateControlChange::rebuilt);
        EXPECT_EQ(encoder->buildNumber(), 2u);
        EXPECT_EQ(encoder->settings().fps, fps);
        EXPECT_EQ(encoder->settings().bitrate, 1'000'000);

        StreamDecoder decoder(codec, encoder->parameterSets());
        auto next = encoder->encode(picture.image(), 3, false);
        ASSERT_TRUE(next.ok() && next->has_value());
        EXPECT_TRUE((*next)->isKeyFrame);
        EXPECT_TRUE(decoder.decode((*next)->data));

        auto same = encoder->updateRateControl(fps, 1'000'000);
        ASSERT_TRUE(same.ok());
        EXPECT_EQ(*same, RateControlChange::unchanged);
    }
}

TEST(VideoEncoderKeyFrames, ComeEveryKeyFrameIntervalWithoutBeingAsked) {
    for (auto codec : {VideoCodec::h264, VideoCodec::hevc}) {
        auto s = smallSettings(codec, ChromaSubsampling::yuv420);
        s.fps = 5;
        s.keyframeIntervalSeconds = 2;
        auto encoder = makeEncoder(s);
        ASSERT_TRUE(encoder);
        TestPicture picture(320, 180);
        for (int i = 0; i <= 20; ++i) {
            picture.drawScene(i);
            auto encoded = encoder->encode(picture.image(), uint64_t(i) * 200'000'000, false);
            ASSERT_TRUE(encoded.ok() && encoded->has_value());
            EXPECT_EQ((*encoded)->isKeyFrame, i % 10 == 0) << "frame " << i;
        }
    }
}

TEST(VideoEncoderRateControl, TighterBurstCeilingIsKept) {
    auto encoder = makeEncoder(smallSettings(VideoCodec::hevc, ChromaSubsampling::yuv420));
    ASSERT_TRUE(encoder);
    auto change = encoder->setBurstBitrateRatio(1.2);
    ASSERT_TRUE(change.ok()) << change.error();
    EXPECT_DOUBLE_EQ(encoder->settings().burstBitrateRatio, 1.2);
    EXPECT_FALSE(encoder->setBurstBitrateRatio(0.5).ok());
}

TEST(VideoEncoderInput, RefusesSettingsAndPicturesItCannotEncode) {
    auto odd = smallSettings(VideoCodec::h264, ChromaSubsampling::yuv420);
    odd.width = 321;
    EXPECT_FALSE(VideoEncoder::create(odd).ok());
    auto noRate = smallSettings(VideoCodec::hevc, ChromaSubsampling::yuv420);
    noRate.bitrate = 0;
    EXPECT_FALSE(VideoEncoder::create(noRate).ok());
    auto noFps = smallSettings(VideoCodec::h264, ChromaSubsampling::yuv420);
    noFps.fps = 0;
    EXPECT_FALSE(VideoEncoder::create(noFps).ok());

    auto encoder = makeEncoder(smallSettings(VideoCodec::h264, ChromaSubsampling::yuv420));
    ASSERT_TRUE(encoder);
    TestPicture picture(64, 64);
    BGRAImage shortRows = picture.image();
    shortRows.bytesPerRow = 64 * 4 - 1;
    EXPECT_FALSE(encoder->encode(shortRows, 0, false).ok());
    EXPECT_FALSE(encoder->encode(BGRAImage{}, 0, false).ok());
    // A failed reconfiguration leaves the running encoder as it was.
    EXPECT_FALSE(encoder->updateRateControl(0, 1'000'000).ok());
    EXPECT_EQ(encoder->settings().fps, 30);
    EXPECT_TRUE(encoder->encode(picture.image(), 0, false).ok());
}

TEST(VideoEncoderInput, RepeatedTimesAreNudgedForward) {
    auto encoder = makeEncoder(smallSettings(VideoCodec::h264, ChromaSubsampling::yuv420));
    ASSERT_TRUE(encoder);
    TestPicture picture(320, 180);
    picture.drawScene(1);
    auto first = encoder->encode(picture.image(), 5'000, false);
    ASSERT_TRUE(first.ok() && first->has_value());
    EXPECT_EQ((*first)->presentationTimeNs, 5'000u);
    auto second = encoder->encode(picture.image(), 5'000, false);
    ASSERT_TRUE(second.ok()) << second.error();
    ASSERT_TRUE(second->has_value());
    EXPECT_EQ((*second)->presentationTimeNs, 5'001u);
}

// ------------------------------------------------------------ pictures in flight

TEST(VideoEncoderInput, AnUnchangedPictureIsSubmittedFromItsConversionAndNothingElseIs) {
    // The picture is red when first encoded and blue in memory afterwards:
    // the colour decoded shows whether the second call converted it again.
    // (A caller only says "unchanged" of pixels it did not touch.)
    struct Case {
        const char* name;
        bool unchanged;
        bool otherRows;  // the second call names the rows differently
        bool redAgain;
    };
    const Case cases[] = {
        {"said unchanged", true, false, true},
        {"not said", false, false, false},
        {"said of another picture", true, true, false},
    };
    for (const auto& c : cases) {
        auto encoder = makeEncoder(smallSettings(VideoCodec::h264, ChromaSubsampling::yuv420));
        ASSERT_TRUE(encoder);
        StreamDecoder decoder(VideoCodec::h264, encoder->parameterSets());
        TestPicture picture(320, 180);
        picture.fill(0, 0, 255);
        auto first = encoder->encode(picture.image(), 0, false);
        ASSERT_TRUE(first.ok() && first->has_value()) << c.name;
        ASSERT_TRUE(decoder.decode((*first)->data)) << c.name;
        picture.fill(255, 0, 0);
        BGRAImage again = picture.image();
        if (c.otherRows) again.height -= 2;  // scaled up to the same size
        auto second = encoder->encode(again, kFrameNs, false, c.unchanged);
        ASSERT_TRUE(second.ok() && second->has_value()) << c.name;
        auto decoded = decoder.decode((*second)->data);
        ASSERT_TRUE(decoded) << c.name;
        // BT.709 limited range: red has Cr 240, blue Cr 118.
        EXPECT_NEAR(decoded->cr, c.redAgain ? 240 : 118, 6) << c.name;
    }
}

TEST(VideoEncoderFrameThreads, SoftwareHEVCEncodesTwoPicturesSideBySideOnlyAbove1080p) {
    struct Case {
        VideoCodec codec;
        int width, height;
        int frameThreads;
    };
    for (const Case& c : {Case{VideoCodec::hevc, 3024, 1964, 2}, Case{VideoCodec::hevc, 1920, 1088, 2},
                          Case{VideoCodec::hevc, 1920, 1080, 1}, Case{VideoCodec::hevc, 1080, 1920, 1},
                          Case{VideoCodec::h264, 3024, 1964, 1}}) {
        auto s = smallSettings(c.codec, ChromaSubsampling::yuv420);
        s.width = c.width;
        s.height = c.height;
        EXPECT_EQ(VideoEncoder::frameThreads(s), c.frameThreads) << c.width << "x" << c.height;
        if (c.codec != VideoCodec::hevc) continue;
        // The library is told the same number the caller plans for.
        std::string params;
        for (const auto& option : VideoEncoder::libraryOptions(s)) {
            if (option.name == "x265-params") params = option.value;
        }
        EXPECT_NE(params.find("frame-threads=" + std::to_string(c.frameThreads) + ":"), std::string::npos) << params;
    }
}

TEST(VideoEncoderFrameThreads, AboveFullHDFramesComeBackLaterInOrderAndTheLastPictureAgainBringsThemOut) {
    auto s = smallSettings(VideoCodec::hevc, ChromaSubsampling::yuv420);
    s.width = 1920;
    s.height = 1088;
    auto encoder = makeEncoder(s);
    ASSERT_TRUE(encoder);
    StreamDecoder decoder(VideoCodec::hevc, encoder->parameterSets());
    TestPicture picture(480, 272);  // scaled up: cheap to draw
    std::vector<uint64_t> returned;
    auto take = [&](const Result<std::optional<EncodedVideoFrame>>& encoded) {
        ASSERT_TRUE(encoded.ok()) << encoded.error();
        if (!encoded->has_value()) return;
        returned.push_back((*encoded)->presentationTimeNs);
        EXPECT_EQ((*encoded)->isKeyFrame, returned.size() == 1);
        EXPECT_TRUE(decoder.decode((*encoded)->data)) << "frame " << returned.size();
    };
    constexpr int kPictures = 6;
    for (int i = 0; i < kPictures; ++i) {
        picture.drawScene(i);
        take(encoder->encode(picture.image(), 1'000 + uint64_t(i) * kFrameNs, false));
        EXPECT_EQ(returned.size() + size_t(encoder->framesInFlight()), size_t(i + 1));
    }
    // Something is held: that is what the side-by-side pictures cost.
    const int held = encoder->framesInFlight();
    EXPECT_GE(held, 1);
    EXPECT_LE(held, 2);
    // The same picture once per held frame brings every real one out.
    for (int i = 0; i < held; ++i) take(encoder->encode(picture.image(), 1'000 + uint64_t(kPictures + i) * kFrameNs, false));
    ASSERT_EQ(returned.size(), size_t(kPictures));
    for (size_t i = 0; i < returned.size(); ++i) EXPECT_EQ(returned[i], 1'000 + i * kFrameNs);
}

// ------------------------------------------------------------ the process's CPU set

namespace {

// Narrows the test process to a few of its CPUs, as a service manager or
// `taskset` would start the Host, and gives the process its set back after.
class NarrowedProcessCPUs {
public:
    NarrowedProcessCPUs() {
        CPU_ZERO(&original_);
        CPU_ZERO(&narrowed_);
        if (sched_getaffinity(0, sizeof original_, &original_) != 0) return;
        // At least one CPU stays out, so a thread spread over the machine shows.
        const int keep = std::min(2, CPU_COUNT(&original_) - 1);
        for (int cpu = 0, kept = 0; cpu < CPU_SETSIZE && kept < keep; ++cpu) {
            if (!CPU_ISSET(cpu, &original_)) continue;
            CPU_SET(cpu, &narrowed_);
            ++kept;
        }
        narrowedOK_ = keep > 0 && sched_setaffinity(0, sizeof narrowed_, &narrowed_) == 0;
    }
    ~NarrowedProcessCPUs() { sched_setaffinity(0, sizeof original_, &original_); }
    bool narrowed() const { return narrowedOK_; }
    int count() const { return CPU_COUNT(&narrowed_); }

    // The threads of the process that may run on a CPU outside the set.
    std::vector<std::string> threadsOutside() const {
        std::vector<std::string> outside;
        for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
            const auto tid = task.path().filename().string();
            cpu_set_t set;
            CPU_ZERO(&set);
            if (sched_getaffinity(std::stoi(tid), sizeof set, &set) != 0) continue;  // it has ended
            if (!CPU_EQUAL(&set, &narrowed_)) outside.push_back(tid + " on " + std::to_string(CPU_COUNT(&set)) + " CPUs");
        }
        return outside;
    }

private:
    cpu_set_t original_, narrowed_;
    bool narrowedOK_ = false;
};

}  // namespace

TEST(VideoEncoderCPUSet, EveryThreadOfAnEncodingProcessStaysOnTheCPUsItWasGivenAndTheStreamRuns) {
    struct Case {
        VideoCodec codec;
        int width, height;  // 512 rows convert in bands on helper threads
    };
    for (const Case& c : {Case{VideoCodec::hevc, 320, 180}, Case{VideoCodec::hevc, 640, 512},
                          Case{VideoCodec::h264, 640, 512}}) {
        const std::string name = std::string(c.codec == VideoCodec::hevc ? "HEVC " : "H.264 ") +
                                 std::to_string(c.width) + "x" + std::to_string(c.height);
        NarrowedProcessCPUs cpus;
        if (!cpus.narrowed()) GTEST_SKIP() << "this machine gives the process a single CPU";
        auto s = smallSettings(c.codec, ChromaSubsampling::yuv420);
        s.width = c.width;
        s.height = c.height;
        // The library's threads are as many as the set has CPUs.
        EXPECT_EQ(VideoEncoder::processCPUCount(), cpus.count());
        if (c.codec == VideoCodec::h264) {
            EXPECT_EQ(VideoEncoder::libraryThreadCount(s), cpus.count()) << name;
        }
        auto encoder = makeEncoder(s);
        ASSERT_TRUE(encoder) << name;
        StreamDecoder decoder(c.codec, encoder->parameterSets());
        TestPicture picture(c.width, c.height);
        for (int i = 0; i < 3; ++i) {
            picture.drawScene(i);
            auto encoded = encoder->encode(picture.image(), uint64_t(i) * kFrameNs, false);
            ASSERT_TRUE(encoded.ok() && encoded->has_value()) << name;
            EXPECT_TRUE(decoder.decode((*encoded)->data)) << name << " frame " << i;
        }
        EXPECT_EQ(cpus.threadsOutside(), std::vector<std::string>{}) << name;
    }
}

// ------------------------------------------------------------ hardware first

namespace {

class VideoEncoderHardware : public ::testing::Test {
protected:
    ~VideoEncoderHardware() override { VideoEncoder::setHardwareForTesting(std::nullopt); }
};

}  // namespace

TEST_F(VideoEncoderHardware, TheFirstDeviceThatOpensInOrderIsUsedElseSoftware) {
    using H = HardwareVideoEncoder;
    struct Case {
        VideoCodec codec;
        ChromaSubsampling chroma;
        std::vector<H> devices;
        std::string expected;
    };
    const Case cases[] = {
        {VideoCodec::hevc, ChromaSubsampling::yuv420, {}, "libx265"},
        {VideoCodec::h264, ChromaSubsampling::yuv420, {}, "libx264"},
        {VideoCodec::hevc, ChromaSubsampling::yuv420, {H::quickSync}, "hevc_qsv"},
        {VideoCodec::hevc, ChromaSubsampling::yuv420, {H::quickSync, H::nvenc}, "hevc_nvenc"},
        {VideoCodec::h264, ChromaSubsampling::yuv420, {H::nvenc, H::vaapi, H::quickSync}, "h264_vaapi"},
        // 4:4:4 stays with software, whatever the machine has.
        {VideoCodec::hevc, ChromaSubsampling::yuv444, {H::vaapi, H::nvenc}, "libx265"},
    };
    for (const Case& c : cases) {
        VideoEncoder::setHardwareForTesting(VideoHardwareForTesting{c.devices, 0});
        auto encoder = makeEncoder(smallSettings(c.codec, c.chroma));
        ASSERT_TRUE(encoder);
        EXPECT_EQ(encoder->encoderName(), c.expected);
        EXPECT_FALSE(encoder->hardwareFailure().has_value());
        StreamDecoder decoder(c.codec, encoder->parameterSets());
        TestPicture picture(320, 180);
        picture.drawScene(1);
        auto encoded = encoder->encode(picture.image(), 0, false);
        ASSERT_TRUE(encoded.ok() && encoded->has_value()) << c.expected;
        EXPECT_TRUE(decoder.decode((*encoded)->data)) << c.expected;
    }
}

TEST_F(VideoEncoderHardware, AFailureWhileRunningGivesASoftwareKeyFrameTheDecoderTakesWithoutAGap) {
    for (auto codec : {VideoCodec::hevc, VideoCodec::h264}) {
        constexpr int kFailingCall = 4;
        VideoEncoder::setHardwareForTesting(VideoHardwareForTesting{{HardwareVideoEncoder::nvenc}, kFailingCall});
        auto encoder = makeEncoder(smallSettings(codec, ChromaSubsampling::yuv420));
        ASSERT_TRUE(encoder);
        const std::string hardwareName = encoder->encoderName();
        EXPECT_EQ(hardwareName, VideoEncoder::libraryEncoderName(HardwareVideoEncoder::nvenc, codec));
        // A Viewer starts a decoder from each set of parameter sets it is
        // told about and feeds it every frame after.
        uint64_t announced = encoder->buildNumber();
        auto decoder = std::make_unique<StreamDecoder>(codec, encoder->parameterSets());
        TestPicture picture(320, 180);
        for (int call = 1; call <= 8; ++call) {
            picture.drawScene(call);
            auto encoded = encoder->encode(picture.image(), uint64_t(call) * kFrameNs, false);
            ASSERT_TRUE(encoded.ok()) << encoded.error();
            ASSERT_TRUE(encoded->has_value()) << "call " << call;
            const bool switched = encoder->buildNumber() != announced;
            EXPECT_EQ(switched, call == kFailingCall) << "call " << call;
            if (switched) {
                announced = encoder->buildNumber();
                decoder = std::make_unique<StreamDecoder>(codec, encoder->parameterSets());
            }
            EXPECT_EQ((*encoded)->isKeyFrame, call == 1 || call == kFailingCall) << "call " << call;
            EXPECT_EQ((*encoded)->presentationTimeNs, uint64_t(call) * kFrameNs);
            EXPECT_TRUE(decoder->decode((*encoded)->data)) << "frame of call " << call << " refused";
        }
        EXPECT_EQ(encoder->encoderName(), codec == VideoCodec::hevc ? "libx265" : "libx264");
        ASSERT_TRUE(encoder->hardwareFailure().has_value());
        EXPECT_NE(encoder->hardwareFailure()->find(hardwareName + " failed"), std::string::npos);
        // The session stays on software through later rebuilds.
        ASSERT_TRUE(encoder->updateRateControl(24, 1'500'000).ok());
        EXPECT_EQ(encoder->encoderName(), codec == VideoCodec::hevc ? "libx265" : "libx264");
    }
}

TEST(VideoEncoderLifetime, EveryLibraryEncoderBuiltIsClosedByARebuildOrTheEncodersEnd) {
    const int before = VideoEncoder::openLibraryEncoderCountForTesting();
    for (auto codec : {VideoCodec::hevc, VideoCodec::h264}) {
        {
            auto encoder = makeEncoder(smallSettings(codec, ChromaSubsampling::yuv420));
            ASSERT_TRUE(encoder);
            EXPECT_EQ(VideoEncoder::openLibraryEncoderCountForTesting(), before + 1);
            // A rebuild closes the encoder it replaces.
            ASSERT_TRUE(encoder->updateRateControl(15, 500'000).ok());
            ASSERT_TRUE(encoder->reconfigure(smallSettings(codec, ChromaSubsampling::yuv444)).ok());
            EXPECT_GE(encoder->buildNumber(), 2u);
            EXPECT_EQ(VideoEncoder::openLibraryEncoderCountForTesting(), before + 1);
        }
        EXPECT_EQ(VideoEncoder::openLibraryEncoderCountForTesting(), before);
    }
    // Settings the library refuses leave nothing open either.
    auto refused = smallSettings(VideoCodec::hevc, ChromaSubsampling::yuv420);
    refused.width = 0;
    EXPECT_FALSE(VideoEncoder::create(refused).ok());
    EXPECT_EQ(VideoEncoder::openLibraryEncoderCountForTesting(), before);
}
