#include <gtest/gtest.h>

#include <vector>

#include "HostApp/Capture/CaptureModeControlPayload.h"

namespace {

using Bytes = std::vector<uint8_t>;

// pro, physical, h264, 4:4:4, 1920x1080 pt, 3840x2160 px, 60 fps,
// 48,000,000 b/s, flags 0x89, intent 1 — written out byte by byte.
const Bytes kProRequest = {
    0x04, 0x00, 0x01, 0x01,              // mode, backend, codec, chroma
    0x80, 0x07, 0x38, 0x04,              // logical 1920 x 1080
    0x00, 0x0F, 0x70, 0x08,              // pixel 3840 x 2160
    0x3C, 0x00,                          // fps 60
    0x00, 0x6C, 0xDC, 0x02,              // bitrate 48,000,000
    0x89, 0x01};                         // flags, controlIntent

CaptureModeControlPayload proRequest() {
    CaptureModeControlPayload p;
    p.mode = VideoCaptureMode::pro;
    p.backend = VideoCaptureBackend::physical;
    p.codec = VideoStreamCodec::h264;
    p.chromaMode = VideoChromaMode::yuv444;
    p.logicalWidth = 1920;
    p.logicalHeight = 1080;
    p.pixelWidth = 3840;
    p.pixelHeight = 2160;
    p.fps = 60;
    p.bitrate = 48'000'000;
    p.flags = 0x89;
    p.controlIntent = 1;
    return p;
}

std::optional<CaptureModeControlPayload> decode(const Bytes& b) { return CaptureModeControlPayload::decode(b); }

CaptureModeControlPayload headlessPreset(VideoCaptureMode m) {
    return CaptureModeControlPayload::preset(m, VideoChromaMode::yuv420, VideoCaptureBackend::headlessVirtual);
}

}  // namespace

TEST(CaptureModeControlPayloadDecode, FullRequestTakesEveryFieldAsSent) {
    auto decoded = decode(kProRequest);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, proRequest());
}

TEST(CaptureModeControlPayloadDecode, EmptyOrUnknownModeGivesNothing) {
    EXPECT_FALSE(decode({}));
    for (uint8_t mode : {2, 5, 7, 0xFF}) {
        Bytes b = kProRequest;
        b[0] = mode;
        EXPECT_FALSE(decode(b)) << int(mode);
    }
}

TEST(CaptureModeControlPayloadDecode, ShortPayloadGivesThePresetOfItsMode) {
    EXPECT_EQ(decode({0x04, 0x00, 0x01, 0x01, 0x80}), headlessPreset(VideoCaptureMode::pro));
    EXPECT_EQ(decode({0x00}), headlessPreset(VideoCaptureMode::physical1080));
    Bytes nineteen(kProRequest.begin(), kProRequest.end() - 1);
    EXPECT_EQ(decode(nineteen), headlessPreset(VideoCaptureMode::pro));
}

TEST(CaptureModeControlPayloadDecode, UnknownBackendCodecOrChromaGivesThePreset) {
    for (auto [offset, value] : std::vector<std::pair<size_t, uint8_t>>{{1, 2}, {2, 0}, {2, 3}, {3, 2}}) {
        Bytes b = kProRequest;
        b[offset] = value;
        EXPECT_EQ(decode(b), headlessPreset(VideoCaptureMode::pro)) << offset << "=" << int(value);
    }
}

TEST(CaptureModeControlPayloadDecode, BytesAfterTheTwentiethAreIgnored) {
    Bytes b = kProRequest;
    b.push_back(0xEE);
    EXPECT_EQ(decode(b), proRequest());
}

TEST(CaptureModeControlPayloadEncode, WritesTheTwentyByteLayout) {
    EXPECT_EQ(proRequest().encode(), kProRequest);
}

TEST(CaptureModeControlPayloadEncode, ClampsOutOfRangeValuesToTheirWireWidths) {
    auto p = proRequest();
    p.logicalWidth = 70'000;
    p.logicalHeight = -5;
    p.fps = 1'000'000;
    p.bitrate = 5'000'000'000LL;
    auto decoded = decode(p.encode());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->logicalWidth, 0xFFFF);
    EXPECT_EQ(decoded->logicalHeight, 0);
    EXPECT_EQ(decoded->fps, 0xFFFF);
    EXPECT_EQ(decoded->bitrate, 0xFFFF'FFFFLL);
}

TEST(CaptureModeControlPayloadPreset, TakesTheCatalogueDefaults) {
    auto pro = CaptureModeControlPayload::preset(VideoCaptureMode::pro, VideoChromaMode::yuv444,
                                                 VideoCaptureBackend::physical);
    EXPECT_EQ(pro.codec, VideoStreamCodec::hevc);
    EXPECT_EQ(pro.backend, VideoCaptureBackend::physical);
    EXPECT_EQ(pro.chromaMode, VideoChromaMode::yuv444);
    EXPECT_EQ(pro.logicalWidth, 1920);
    EXPECT_EQ(pro.pixelHeight, 2160);
    EXPECT_EQ(pro.fps, 60);
    EXPECT_EQ(pro.bitrate, 48'000'000);
    EXPECT_EQ(pro.flags, CaptureModeControlPayload::flagHiDPI);
    EXPECT_EQ(pro.controlIntent, 0);

    auto p1080 = headlessPreset(VideoCaptureMode::physical1080);
    EXPECT_EQ(p1080.flags, 0);
    EXPECT_EQ(p1080.bitrate, 14'000'000);
    EXPECT_EQ(headlessPreset(VideoCaptureMode::easy).pixelWidth, 2560);
    EXPECT_EQ(headlessPreset(VideoCaptureMode::max).bitrate, 48'000'000);
}

TEST(CaptureModeControlPayloadWithMode, MovesToTheNewModesSizesAndChromaBitrate) {
    auto request = CaptureModeControlPayload::preset(VideoCaptureMode::easy, VideoChromaMode::yuv444,
                                                     VideoCaptureBackend::physical);
    request.flags = 0x48;
    request.controlIntent = 1;
    request.codec = VideoStreamCodec::h264;
    auto pro = request.withMode(VideoCaptureMode::pro);
    EXPECT_EQ(pro.mode, VideoCaptureMode::pro);
    EXPECT_EQ(pro.logicalWidth, 1920);
    EXPECT_EQ(pro.logicalHeight, 1080);
    EXPECT_EQ(pro.pixelWidth, 3840);
    EXPECT_EQ(pro.pixelHeight, 2160);
    EXPECT_EQ(pro.bitrate, 48'000'000);
    EXPECT_EQ(pro.fps, 60);
    EXPECT_EQ(pro.flags, 0x48);  // kept, not rewritten from the resolution
    EXPECT_EQ(pro.controlIntent, 0);
    EXPECT_EQ(pro.codec, VideoStreamCodec::h264);
    EXPECT_EQ(pro.backend, VideoCaptureBackend::physical);
}

TEST(CaptureModeControlPayloadWithMode, SameModeLeavesTheRequestUntouched) {
    auto request = proRequest();
    request.pixelWidth = 1234;
    EXPECT_EQ(request.withMode(VideoCaptureMode::pro), request);
}

TEST(CaptureModeControlPayloadShape, IgnoresOnlyTheIntent) {
    auto a = proRequest();
    auto b = a;
    b.controlIntent = 0;
    EXPECT_TRUE(a.matchesCaptureShape(b));
    EXPECT_NE(a, b);
    b.flags ^= CaptureModeControlPayload::flagWiFiRoute;
    EXPECT_FALSE(a.matchesCaptureShape(b));
}

TEST(CaptureModeControlPayloadShape, SummaryNamesModeBackendCodecChromaSizesAndBitrate) {
    EXPECT_EQ(proRequest().summary(),
              "Pro backend=physical codec=h264 chroma=4:4:4 logical=1920x1080 pixel=3840x2160 bitrate=48000000");
}
