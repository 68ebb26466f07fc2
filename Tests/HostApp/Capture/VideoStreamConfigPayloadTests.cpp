#include <gtest/gtest.h>

#include "HostApp/Capture/VideoStreamConfigPayload.h"

namespace {

using Bytes = std::vector<uint8_t>;

VideoStreamConfigPayload hevcConfig() {
    VideoStreamConfigPayload c;
    c.mode = VideoCaptureMode::pro;
    c.codec = VideoStreamCodec::hevc;
    c.chromaMode = VideoChromaMode::yuv444;
    c.width = 3840;
    c.height = 2160;
    c.fps = 60;
    c.bitrate = 48'000'000;
    c.vps = {0x40, 0x01, 0x0C};
    c.sps = {0x42, 0x01};
    c.pps = {0x44};
    return c;
}

}  // namespace

TEST(VideoStreamConfigPayloadEncode, HevcLayoutByteForByte) {
    const Bytes expected = {
        0x02, 0x04, 0x01, 0x00,              // codec hevc, mode pro, chroma 4:4:4, reserved
        0x00, 0x0F, 0x00, 0x00,              // width 3840
        0x70, 0x08, 0x00, 0x00,              // height 2160
        0x3C, 0x00, 0x00, 0x00,              // fps 60, reserved
        0x00, 0x6C, 0xDC, 0x02,              // bitrate 48,000,000
        0x03, 0x00, 0x02, 0x00, 0x01, 0x00,  // VPS, SPS, PPS lengths
        0x00, 0x00,                          // reserved
        0x40, 0x01, 0x0C, 0x42, 0x01, 0x44};
    EXPECT_EQ(hevcConfig().encode(), expected);
}

TEST(VideoStreamConfigPayloadEncode, H264HasAnEmptyVps) {
    VideoStreamConfigPayload c;
    c.mode = VideoCaptureMode::physical1080;
    c.codec = VideoStreamCodec::h264;
    c.chromaMode = VideoChromaMode::yuv420;
    c.width = 1920;
    c.height = 1080;
    c.fps = 30;
    c.bitrate = 14'000'000;
    c.sps = {0x67, 0x64, 0x00, 0x28};
    c.pps = {0x68, 0xEE};
    const Bytes expected = {
        0x01, 0x00, 0x00, 0x00,
        0x80, 0x07, 0x00, 0x00,
        0x38, 0x04, 0x00, 0x00,
        0x1E, 0x00, 0x00, 0x00,
        0x80, 0x9F, 0xD5, 0x00,              // 14,000,000
        0x00, 0x00, 0x04, 0x00, 0x02, 0x00,
        0x00, 0x00,
        0x67, 0x64, 0x00, 0x28, 0x68, 0xEE};
    EXPECT_EQ(c.encode(), expected);
}

TEST(VideoStreamConfigPayloadEncode, OversizedParameterSetIsCutToItsAnnouncedLength) {
    auto c = hevcConfig();
    c.sps.assign(70'000, 0xAB);
    c.sps[65'534] = 0x11;
    c.sps[65'535] = 0x22;  // first byte past the limit
    auto bytes = c.encode();
    ASSERT_EQ(bytes.size(), 28u + 3 + 65'535 + 1);
    EXPECT_EQ(bytes[22], 0xFF);
    EXPECT_EQ(bytes[23], 0xFF);
    EXPECT_EQ(bytes[28 + 3 + 65'534], 0x11);
    EXPECT_EQ(bytes.back(), 0x44);  // the PPS follows the cut SPS directly
}

TEST(VideoStreamConfigPayloadSummary, HiDPIModesNameTheirBackingCanvas) {
    auto c = hevcConfig();
    EXPECT_EQ(c.resolutionSummary(), "Pro backing=3840x2160");
    c.mode = VideoCaptureMode::physical1440;
    c.width = 2560;
    c.height = 1440;
    EXPECT_EQ(c.resolutionSummary(), "2560x1440");
}
