// One Viewer sending capture-mode requests as fast as it can while another
// watches the shared stream over real loopback: the watcher keeps at least
// half its frame rate, and the stream ends on the flooder's latest request.

#include <gtest/gtest.h>

#include "VideoPipelineFixture.h"

namespace {

using CaptureModeFlood = VideoPipelineTest;

TEST_F(CaptureModeFlood, AWatcherKeepsHalfItsFrameRateWhileAnotherViewerFloodsCaptureModes) {
    auto watcher = viewer("Watcher");
    run(2.0, {watcher.get()});
    auto flooder = viewer("Flooder");
    const size_t atStart = watcher->ofType(AuxPacketType::videoFrame).size();
    run(2.0, {watcher.get(), flooder.get()});
    const double before = double(watcher->ofType(AuxPacketType::videoFrame).size() - atStart) / 2.0;
    ASSERT_GT(before, 10.0) << "the watcher's stream runs before the flood";

    // Every request a rebuild of the encoder: the codec and the chroma
    // change each time, each marked as the user's choice.
    std::vector<std::vector<uint8_t>> requests;
    for (auto codec : {VideoStreamCodec::h264, VideoStreamCodec::hevc}) {
        for (auto chroma : {VideoChromaMode::yuv420, VideoChromaMode::yuv444}) {
            auto r = smallRequest();
            r.codec = codec;
            r.chromaMode = chroma;
            r.fps = 60;
            r.controlIntent = CaptureModeControlPayload::intentExplicit;
            requests.push_back(r.encode());
        }
    }
    const size_t duringFrom = watcher->ofType(AuxPacketType::videoFrame).size();
    constexpr int kSteps = 5 * 60;  // five seconds in frame steps
    size_t sent = 0;
    for (int step = 0; step < kSteps; ++step) {
        for (int i = 0; i < 4; ++i) flooder->client->send(AuxPacketType::captureModeControl, requests[sent++ % 4]);
        run(1.0 / 60, {watcher.get(), flooder.get()});
    }
    const double during = double(watcher->ofType(AuxPacketType::videoFrame).size() - duringFrom) / 5.0;
    EXPECT_GE(during, 0.5 * before) << "before " << before << " fps, during " << during << " fps";

    run(1.5, {watcher.get(), flooder.get()});
    const auto latest = CaptureModeControlPayload::decode(requests[(sent - 1) % 4]);
    const auto current = server->queue.syncValue([&] { return server->streamControl.currentCaptureRequest; });
    EXPECT_EQ(current.codec, latest->codec);
    EXPECT_EQ(current.chromaMode, latest->chromaMode);
    EXPECT_FALSE(watcher->client->isClosed());
    EXPECT_GE(decodeStream(*watcher), 1u);
}

}  // namespace
