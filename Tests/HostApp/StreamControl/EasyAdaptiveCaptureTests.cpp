// Easy on a physical display: the canvas the transport carries, the bit
// rate that follows it, and the request an Apple silicon or an Intel Mac
// makes of a Viewer's Easy request.

#include <gtest/gtest.h>

#include "StreamPolicyFixture.h"

namespace {

using EasyAdaptive = StreamPolicyTest;
using Request = CaptureModeControlPayload;
using Server = V230HostAudioAuxServer;

TEST(EasyAdaptiveSizing, TheBitRateFollowsTheEncodedPixelsBetweenFloorAndCeiling) {
    struct Case {
        int width, height;
        int64_t bitrate420, bitrate444;
    };
    for (const auto& c : std::vector<Case>{{1280, 720, 8'000'000, 12'000'000},
                                           {1920, 1080, 9'000'000, 12'000'000},
                                           {2560, 1440, 16'000'000, 21'333'333},
                                           {2880, 1800, 22'500'000, 30'000'000},
                                           {3840, 2160, 36'000'000, 48'000'000},
                                           {6016, 3384, 36'000'000, 48'000'000},
                                           {0, 0, 8'000'000, 12'000'000}}) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        EXPECT_EQ(Server::adaptiveEasyBitrate(c.width, c.height, false), c.bitrate420);
        EXPECT_EQ(Server::adaptiveEasyBitrate(c.width, c.height, true), c.bitrate444);
    }
}

TEST(EasyAdaptiveSizing, ADisplayBeyondTheTransportLimitIsEncodedSmallerInProportion) {
    struct Case {
        int width, height, limit, encodedWidth, encodedHeight;
    };
    for (const auto& c : std::vector<Case>{{3024, 1964, 2560, 2560, 1662},
                                           {1920, 1080, 3200, 1920, 1080},
                                           {3, 3, 1, 2, 2},
                                           {0, 0, 3200, 2, 2}}) {
        SCOPED_TRACE(c.width);
        EXPECT_EQ(Server::easyAdaptiveEncodedSize(c.width, c.height, c.limit),
                  std::make_pair(c.encodedWidth, c.encodedHeight));
    }
    EXPECT_EQ(Server::adaptiveEasyBitrate(2560, 1662, false), 18'466'667);
}

TEST_F(EasyAdaptive, AnEasyRequestCapturesThePhysicalDisplayAsItIs) {
    struct Case {
        const char* name;
        bool appleSilicon;
        int fps;
        VideoChromaMode chroma;
        bool intelFlag;
        int expectedFps;
    };
    const std::vector<Case> cases{
        {"Apple silicon keeps 4:4:4; fps 0 takes the preset's", true, 0, VideoChromaMode::yuv444, false, 60},
        {"Intel encodes 4:2:0 and says so; 120 fps becomes 60", false, 120, VideoChromaMode::yuv420, true, 60},
    };
    auto v = streamingViewer();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        processor().setAppleSilicon(c.appleSilicon);
        log->clear();
        Request r = explicitly(Request::preset(VideoCaptureMode::easy, VideoChromaMode::yuv444,
                                               VideoCaptureBackend::headlessVirtual));
        r.pixelWidth = 1920;  // within the 4:4:4 budget
        r.pixelHeight = 1080;
        r.fps = c.fps;
        r.codec = VideoStreamCodec::h264;
        apply(r, *v);
        const Request now = currentRequest();
        EXPECT_EQ(now.chromaMode, c.chroma);
        EXPECT_EQ((now.flags & 0x20) != 0, c.intelFlag);
        EXPECT_EQ(now.fps, c.expectedFps);
        EXPECT_EQ(now.backend, VideoCaptureBackend::physical);
        // The display's own size; the bit rate is the floor for so small a canvas.
        EXPECT_EQ(std::make_pair(now.pixelWidth, now.pixelHeight), std::make_pair(320, 180));
        EXPECT_EQ(now.bitrate, c.chroma == VideoChromaMode::yuv444 ? 12'000'000 : 8'000'000);
        EXPECT_TRUE(logContains("easy adaptive: capturing physical display 7 at current display mode"));
        run(0.5, {v.get()});
        ASSERT_TRUE(capturing());

        apply(r, *v);
        EXPECT_TRUE(logContains("easy adaptive physical capture unchanged on display 7"));
    }
}

}  // namespace
