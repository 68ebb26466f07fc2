// What a rebuilt shared stream gives back: the frame buffers no connection
// holds any longer, and the memory its closed encoder freed, which the
// allocator would otherwise keep in its threads' arenas.

#include <gtest/gtest.h>

#include "Platform/VideoEncoder.h"
#include "StreamPolicyFixture.h"

namespace {

using StreamRebuildMemory = StreamPolicyTest;

TEST_F(StreamRebuildMemory, ARebuildLetsGoOfIdleFrameBuffersAndReturnsWhatItsEncoderFreed) {
    auto v = streamingViewer();
    run(0.5, {v.get()});
    ASSERT_GT(server->queue.syncValue([&] { return server->streamControl.framePackets.pooledCountForTesting(); }), 0u);
    // The Viewer has read and acknowledged everything: no buffer is held.
    const auto releasedAtRebuild = server->queue.syncValue([&] {
        server->restartVideoCapture(0.1);
        return server->streamControl.framePackets.pooledCountForTesting();
    });
    EXPECT_EQ(releasedAtRebuild, 0u);

    const int returnsBefore = platform::VideoEncoder::freedMemoryReturnsForTesting();
    // Three rebuilds a tenth apart close their encoders close together.
    for (int i = 0; i < 2; ++i) {
        run(0.1, {v.get()});
        server->queue.sync([&] { server->restartVideoCapture(0.1); });
    }
    run(1.5, {v.get()});
    const int returns = platform::VideoEncoder::freedMemoryReturnsForTesting() - returnsBefore;
    EXPECT_GE(returns, 1) << "a closed encoder's memory goes back to the system";
    EXPECT_LE(returns, 2) << "closes that come together share a pass";
    EXPECT_TRUE(capturing());
}

}  // namespace
