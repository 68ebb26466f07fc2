// What a rebuilt shared stream gives back: the frame buffers no connection
// holds any longer, and the memory its closed encoder freed, which the
// allocator would otherwise keep in its threads' arenas or heaps.

#include <gtest/gtest.h>

#include <malloc.h>

#include <cstdlib>
#include <vector>

#include "Support/TestSupport.h"
#include "Platform/Media/VideoEncoder.h"
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

// A sanitizer brings its own allocator, which glibc's settings do not reach.
#if defined(__GLIBC__) && !defined(NORVESSAL_SANITIZED_BUILD)
// Left to itself, glibc serves a block of a picture's size from a thread's
// heap once a larger one has been freed, and a rebuilt stream's pictures
// then stay resident in the heaps they fragment.
TEST(EncoderMemory, OnceAnEncoderHasBeenBuiltABlockOfAPicturesSizeIsMappedOnItsOwn) {
    platform::VideoEncoderSettings settings;
    settings.codec = platform::VideoCodec::h264;
    settings.width = 64;
    settings.height = 64;
    settings.bitrate = 1'000'000;
    ASSERT_TRUE(platform::VideoEncoder::create(settings).ok());
    // Kept from the optimiser, which may drop an allocation nobody reads.
    auto allocate = [](size_t bytes) {
        void* block = std::malloc(bytes);
        asm volatile("" : : "r"(block) : "memory");
        return block;
    };
    // A freed block of a large frame's size would raise the bar above the
    // next ones. Free room the heap already has serves the first of them
    // either way (earlier cases leave some); past it, each is mapped.
    std::free(allocate(24 << 20));
    const size_t mappedBefore = mallinfo2().hblkhd;
    std::vector<void*> pictures;
    for (int i = 0; i < 128; ++i) pictures.push_back(allocate(3 << 20));
    const size_t mappedWhileHeld = mallinfo2().hblkhd;
    for (void* picture : pictures) std::free(picture);
    EXPECT_GE(mappedWhileHeld - mappedBefore, size_t{3} << 20);
}
#endif

}  // namespace
