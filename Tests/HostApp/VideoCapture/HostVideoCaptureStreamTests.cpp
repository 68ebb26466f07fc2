// A running capture of a simulated display: its configuration, frames a
// Viewer's decoder accepts, key frames on request, the congestion drop, idle
// pictures, and rate changes while it runs.

#include <gtest/gtest.h>

#include "HostApp/Capture/HostVideoCapture.h"
#include "Platform/Runtime/Clock.h"
#include "Support/TestSupport.h"
#include "VideoCaptureTestSupport.h"

using namespace platform;
using namespace capturetest;

namespace {

struct StreamCase {
    const char* name;
    int displayWidth, displayHeight;
    CaptureModeControlPayload request;
    AVPixelFormat decodedFormat;
    int canvasWidth, canvasHeight;  // what the profile must come to
};

void PrintTo(const StreamCase& c, std::ostream* os) { *os << c.name; }

StreamCase proHevc4K() {
    return {"ProHEVC3840x2160", 3840, 2160,
            CaptureModeControlPayload::preset(VideoCaptureMode::pro, VideoChromaMode::yuv420, VideoCaptureBackend::physical),
            AV_PIX_FMT_YUV420P, 3840, 2160};
}

class CaptureFixture : public VirtualTimeTest {
protected:
    std::shared_ptr<HostVideoCapture> makeCapture(const CaptureModeControlPayload& request, bool paced = false,
                                                  uint32_t display = kDisplay, bool exact = true) {
        auto profile = VideoStreamProfile::forDisplay(display, request, false, std::nullopt);
        auto capture = HostVideoCapture::create(display, profile, profile, exact, paced);
        recorder.attach(*capture);
        return capture;
    }
    // Every frame so far decodes; returns the pictures.
    std::vector<DecodedPicture> decodeAll(const VideoStreamConfigPayload& config,
                                          const std::vector<RecordedFrame>& frames) {
        ViewerDecoder decoder(config);
        std::vector<DecodedPicture> pictures;
        for (const auto& f : frames) {
            auto picture = decoder.decode(f.bytes);
            EXPECT_TRUE(picture.has_value()) << "frame " << pictures.size() << " did not decode";
            if (!picture) break;
            pictures.push_back(*picture);
        }
        return pictures;
    }
    Recorder recorder;
};

// What the capture's encoder is built with for a profile, as far as the
// pictures it holds go.
VideoEncoderSettings encoderSettings(const VideoStreamProfile& profile) {
    VideoEncoderSettings s;
    s.codec = profile.codec == VideoStreamCodec::hevc ? VideoCodec::hevc : VideoCodec::h264;
    s.width = profile.width;
    s.height = profile.height;
    return s;
}

class CaptureAcceptance : public CaptureFixture, public ::testing::WithParamInterface<StreamCase> {};

}  // namespace

TEST_P(CaptureAcceptance, StartsConfiguresAndStreamsDecodableFramesAtTheProfileSize) {
    const StreamCase& c = GetParam();
    useMonitor(kDisplay, c.displayWidth, c.displayHeight);
    auto capture = makeCapture(c.request);
    const auto& profile = capture->activeProfile;
    ASSERT_EQ(profile.width, c.canvasWidth);
    ASSERT_EQ(profile.height, c.canvasHeight);
    capture->start();
    // Long enough for two frames even from an encoder that holds two.
    advance(5.5 * kFrame);

    ASSERT_GE(recorder.events.size(), 2u);
    EXPECT_EQ(recorder.events[0], "started");
    ASSERT_EQ(recorder.configs.size(), 1u);
    const auto& config = recorder.configs[0];
    EXPECT_EQ(config.codec, c.request.codec);
    EXPECT_EQ(config.chromaMode, c.request.chromaMode);
    EXPECT_EQ(config.mode, c.request.mode);
    EXPECT_EQ(config.width, uint32_t(profile.width));
    EXPECT_EQ(config.height, uint32_t(profile.height));
    EXPECT_EQ(config.fps, profile.fps);
    EXPECT_EQ(config.bitrate, uint32_t(profile.bitrate));
    EXPECT_EQ(config.vps.empty(), c.request.codec == VideoStreamCodec::h264);
    EXPECT_FALSE(config.sps.empty());
    EXPECT_FALSE(config.pps.empty());
    EXPECT_TRUE(recorder.hasMessageContaining("encoder active: " +
                                              std::string(c.request.codec == VideoStreamCodec::hevc ? "HEVC " : "H264 ") +
                                              std::to_string(profile.width) + "x" + std::to_string(profile.height) +
                                              " 60fps " + std::to_string(profile.bitrate)));
    EXPECT_EQ(capture->sleepPreflightReadiness(), SleepPreflightReadiness::ready(config));

    ASSERT_GE(recorder.frames.size(), 2u);
    EXPECT_TRUE(recorder.frames[0].isKeyFrame);
    EXPECT_FALSE(recorder.frames[1].isKeyFrame);
    const auto pictures = decodeAll(config, recorder.frames);
    ASSERT_EQ(pictures.size(), recorder.frames.size());
    for (const auto& p : pictures) {
        EXPECT_EQ(p.width, profile.width);
        EXPECT_EQ(p.height, profile.height);
        EXPECT_EQ(p.format, c.decodedFormat);
    }
    EXPECT_TRUE(pictures[0].keyFrame);

    // A key-frame request is consumed by the very next picture. An encoder
    // that codes pictures side by side first hands over the frames it held
    // (pictures taken before the request), then the key frame, at once.
    const size_t before = recorder.frames.size();
    capture->forceKeyFrameRequested.set(1);
    advance(2 * kFrame);
    size_t key = before;
    while (key < recorder.frames.size() && !recorder.frames[key].isKeyFrame) ++key;
    ASSERT_LT(key + 1, recorder.frames.size()) << "no key frame, or nothing after it";
    EXPECT_LE(key - before, size_t(VideoEncoder::frameThreads(encoderSettings(profile)) > 1 ? 2 : 0));
    EXPECT_FALSE(recorder.frames[key + 1].isKeyFrame);
    EXPECT_EQ(capture->forceKeyFrameRequested.value(), 0);
    const auto all = decodeAll(config, recorder.frames);
    ASSERT_EQ(all.size(), recorder.frames.size());
    EXPECT_TRUE(all[key].keyFrame);

    // Congestion drops frames before the encoder: no bytes, onSample(false).
    recorder.congested = true;
    recorder.samples.clear();
    const size_t framesBefore = recorder.frames.size();
    const int capturedBefore = recorder.captured;
    advance(3 * kFrame);
    EXPECT_GE(recorder.captured - capturedBefore, 2);
    EXPECT_EQ(recorder.frames.size(), framesBefore);
    ASSERT_FALSE(recorder.samples.empty());
    for (bool submitted : recorder.samples) EXPECT_FALSE(submitted);
    capture->stop(true);
}

INSTANTIATE_TEST_SUITE_P(
    CodecsAndChroma, CaptureAcceptance,
    ::testing::Values(proHevc4K(),
                      StreamCase{"H264_420", 640, 360,
                                 smallRequest(VideoStreamCodec::h264, VideoChromaMode::yuv420, 640, 360),
                                 AV_PIX_FMT_YUV420P, 640, 360},
                      StreamCase{"HEVC_444", 640, 360,
                                 smallRequest(VideoStreamCodec::hevc, VideoChromaMode::yuv444, 640, 360),
                                 AV_PIX_FMT_YUV444P, 640, 360},
                      StreamCase{"H264_444", 640, 360,
                                 smallRequest(VideoStreamCodec::h264, VideoChromaMode::yuv444, 640, 360),
                                 AV_PIX_FMT_YUV444P, 640, 360}),
    [](const ::testing::TestParamInfo<StreamCase>& info) { return std::string(info.param.name); });

TEST_F(CaptureFixture, CountsCapturedSubmittedAndCongestedFramesOneForOne) {
    useMonitor(kDisplay, 320, 180);
    auto capture = makeCapture(smallRequest(VideoStreamCodec::h264, VideoChromaMode::yuv420, 320, 180));
    // Every other frame is dropped.
    int calls = 0;
    capture->checkNetworkCongestion = [&calls] { return (calls++ % 2) == 1; };
    capture->start();
    advance(10.5 * kFrame);
    ASSERT_EQ(recorder.captured, 10);
    ASSERT_EQ(recorder.samples.size(), 10u);
    size_t submitted = 0;
    for (bool s : recorder.samples) submitted += s ? 1 : 0;
    EXPECT_EQ(submitted, 5u);
    EXPECT_EQ(recorder.frames.size(), 5u);
    // The recording sees every captured frame, dropped or not.
    EXPECT_EQ(recorder.recordings.size(), 10u);
    capture->stop(true);
}

TEST_F(CaptureFixture, AStillPictureSendsIdleFramesAndAnsweredKeyFrameRequestsWithTheLastPicture) {
    useMonitor(kDisplay, 320, 180);
    auto capture = makeCapture(smallRequest(VideoStreamCodec::hevc, VideoChromaMode::yuv420, 320, 180));
    capture->start();
    advance(3.5 * kFrame);
    ASSERT_GE(recorder.frames.size(), 2u);

    screenCapture().setPictureHeldStill(true);
    const size_t framesBefore = recorder.frames.size();
    advance(5 * kFrame);
    EXPECT_GE(recorder.idle, 4);
    EXPECT_EQ(recorder.frames.size(), framesBefore);

    capture->forceKeyFrameRequested.set(1);
    advance(5 * kFrame);
    ASSERT_EQ(recorder.frames.size(), framesBefore + 1);
    EXPECT_TRUE(recorder.frames.back().isKeyFrame);
    EXPECT_EQ(capture->forceKeyFrameRequested.value(), 0);
    const auto pictures = decodeAll(recorder.configs.back(), recorder.frames);
    ASSERT_EQ(pictures.size(), recorder.frames.size());
    EXPECT_EQ(pictures.back().width, 320);
    capture->stop(true);
}

TEST_F(CaptureFixture, ReportsTheDisplayLayoutOfTheCapturedDisplay) {
    useMonitor(kDisplay, 640, 360);
    auto capture = makeCapture(smallRequest(VideoStreamCodec::h264, VideoChromaMode::yuv420, 640, 360));
    capture->start();
    advance(2.5 * kFrame);
    ASSERT_EQ(recorder.layouts.size(), 1u);
    EXPECT_EQ(recorder.layouts[0].displayID, kDisplay);
    EXPECT_EQ(recorder.layouts[0].pixelWidth, 640);
    EXPECT_TRUE(recorder.hasMessageContaining("capture frame geometry: 640x360 display=7"));
    capture->stop(true);
}

// ------------------------------------------------------------ steering

TEST_F(CaptureFixture, ARateChangeThatRebuildsTheEncoderAnnouncesItsNewConfiguration) {
    useMonitor(kDisplay, 320, 180);
    auto capture = makeCapture(smallRequest(VideoStreamCodec::hevc, VideoChromaMode::yuv420, 320, 180));
    capture->start();
    advance(3.5 * kFrame);
    ASSERT_EQ(recorder.configs.size(), 1u);

    capture->updateRateControl(30, 4'000'000);
    const size_t framesBefore = recorder.frames.size();
    const int capturedBefore = recorder.captured;
    advance(1.0);
    ASSERT_EQ(recorder.configs.size(), 2u);
    EXPECT_EQ(recorder.configs[1].fps, 30);
    EXPECT_EQ(recorder.configs[1].bitrate, 4'000'000u);
    EXPECT_EQ(recorder.countMessagesStartingWith("encoder active:"), 2u);
    // The stream itself now runs at the new rate.
    EXPECT_NEAR(recorder.captured - capturedBefore, 30, 2);
    ASSERT_GT(recorder.frames.size(), framesBefore);
    EXPECT_TRUE(recorder.frames[framesBefore].isKeyFrame);
    // The new parameter sets decode the frames after the change.
    std::vector<RecordedFrame> after(recorder.frames.begin() + long(framesBefore), recorder.frames.end());
    EXPECT_EQ(decodeAll(recorder.configs[1], after).size(), after.size());
    capture->stop(true);
}

TEST_F(CaptureFixture, AnH264BitRateChangeAppliesInPlaceWithoutANewConfiguration) {
    useMonitor(kDisplay, 320, 180);
    auto capture = makeCapture(smallRequest(VideoStreamCodec::h264, VideoChromaMode::yuv420, 320, 180));
    capture->start();
    advance(3.5 * kFrame);
    const size_t framesBefore = recorder.frames.size();
    capture->updateRateControl(60, 2'000'000);
    advance(3 * kFrame);
    EXPECT_EQ(recorder.configs.size(), 1u);
    ASSERT_GT(recorder.frames.size(), framesBefore);
    EXPECT_FALSE(recorder.frames[framesBefore].isKeyFrame);
    EXPECT_EQ(decodeAll(recorder.configs[0], recorder.frames).size(), recorder.frames.size());
    capture->stop(true);
}

TEST_F(CaptureFixture, TighteningTheBurstCeilingForWiFiTakesEffectOnceAndOnlyLowersIt) {
    useMonitor(kDisplay, 320, 180);
    auto capture = makeCapture(smallRequest(VideoStreamCodec::hevc, VideoChromaMode::yuv420, 320, 180));
    capture->start();
    advance(2.5 * kFrame);
    ASSERT_EQ(recorder.configs.size(), 1u);
    capture->tightenBurstCeilingForWiFi();
    advance(2 * kFrame);
    // HEVC fixes its rate control when it opens: the ceiling rebuilds it.
    EXPECT_EQ(recorder.configs.size(), 2u);
    capture->tightenBurstCeilingForWiFi();
    capture->tightenBurstCeilingForWiFi();
    advance(3 * kFrame);
    EXPECT_EQ(recorder.configs.size(), 2u);
    capture->stop(true);

    // A profile already at or below the Wi-Fi ratio is left alone.
    Recorder second;
    auto profile = VideoStreamProfile::forDisplay(
        kDisplay, smallRequest(VideoStreamCodec::hevc, VideoChromaMode::yuv420, 320, 180), false, std::nullopt);
    profile.burstBitrateRatio = 1.2;
    auto motion = HostVideoCapture::create(kDisplay, profile, profile, true, false);
    second.attach(*motion);
    motion->start();
    advance(2.5 * kFrame);
    motion->tightenBurstCeilingForWiFi();
    advance(3 * kFrame);
    EXPECT_EQ(second.configs.size(), 1u);
    motion->stop(true);
}

TEST_F(CaptureFixture, PacedDeliveryHandsFramesOverOnThePacerQueueAndStopsWithTheCapture) {
    useMonitor(kDisplay, 320, 180);
    auto capture = makeCapture(smallRequest(VideoStreamCodec::h264, VideoChromaMode::yuv420, 320, 180), true);
    std::vector<uint64_t> deliveredAt;
    std::vector<bool> onPacer;
    auto record = capture->onFrame;
    capture->onFrame = [&, record](std::span<const uint8_t> bytes, bool key, uint64_t ts) {
        deliveredAt.push_back(Clock::uptimeNs());
        onPacer.push_back(capture->queues.pacer.isCurrent());
        record(bytes, key, ts);
    };
    capture->start();
    advance(6.5 * kFrame);
    ASSERT_GE(deliveredAt.size(), 4u);
    for (bool b : onPacer) EXPECT_TRUE(b);
    for (size_t i = 1; i < deliveredAt.size(); ++i) EXPECT_GE(deliveredAt[i] - deliveredAt[i - 1], 16'000'000u);
    EXPECT_EQ(decodeAll(recorder.configs[0], recorder.frames).size(), recorder.frames.size());
    capture->stop(true);
    const size_t after = recorder.frames.size();
    advance(0.5);
    EXPECT_EQ(recorder.frames.size(), after);
}
