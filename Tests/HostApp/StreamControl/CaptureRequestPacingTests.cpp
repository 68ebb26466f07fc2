// A Viewer's capture-mode requests as the control dispatch receives them:
// a burst rebuilds the shared stream a bounded number of times and the
// stream ends on the latest request.

#include <gtest/gtest.h>

#include "StreamPolicyFixture.h"

namespace {

using Request = CaptureModeControlPayload;

// Physical 1080p on a monitor already at that mode: a frame-rate change is
// an encoder rebuild and nothing else.
class CaptureRequestPacing : public OnAPhysical1080Monitor {
protected:
    size_t announcedRequests(const PipelineViewer& v) const {
        size_t n = 0;
        for (const auto& p : v.ofType(AuxPacketType::hostStatus)) n += p.text().rfind("display: requested ", 0) == 0;
        return n;
    }
};

TEST_F(CaptureRequestPacing, SixtyRequestsInOneSecondAreAppliedAtMostTwiceAndTheLatestHolds) {
    auto v = streamingViewer();
    const size_t announcedBefore = announcedRequests(*v);
    const uint64_t generationBefore = generation();
    Request latest;
    for (int i = 0; i < 60; ++i) {
        latest = explicitly(sharedRequest());
        latest.fps = 20 + i % 7;  // never the 30 in force
        v->client->send(AuxPacketType::captureModeControl, latest.encode());
        run(1.0 / 60, {v.get()});
    }
    run(1.5, {v.get()});

    // Once when the burst began, once with its latest when the hold ended.
    EXPECT_LE(announcedRequests(*v) - announcedBefore, 2u);
    // A rebuild raises the generation twice: the old capture retired, the
    // new one built.
    EXPECT_LE(generation() - generationBefore, 4u);
    EXPECT_EQ(currentRequest().fps, latest.fps);
    EXPECT_TRUE(capturing());
    EXPECT_GT(v->ofType(AuxPacketType::videoFrame).size(), 0u);
}

}  // namespace
