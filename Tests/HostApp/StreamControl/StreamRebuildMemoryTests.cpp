// What a rebuilt shared stream gives back: the frame buffers no connection
// holds any longer, and the memory its closed encoder freed, which the
// allocator would otherwise keep in its threads' arenas or heaps.

#include <gtest/gtest.h>

#include <malloc.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "Support/TestSupport.h"
#include "Platform/Media/VideoEncoder.h"
#include "StreamPolicyFixture.h"

namespace {

[[maybe_unused]] double residentMiB() { return static_cast<double>(residentBytes()) / (1024 * 1024); }

// A 720p stream: blocks of a picture's size are mapped on their own and go
// back when freed, but its encoder also frees a few MiB of smaller ones,
// which stay resident in the arenas of the threads that made them unless
// something gives them back.
class StreamRebuildMemory : public StreamPolicyTest {
protected:
    platform::SimulatedDisplay monitor() const override {
        return platform::SimulatedDisplaySystem::plainMonitor(monitorID, 1280, 720, 0, 0);
    }
    CaptureModeControlPayload sharedRequest() const override {
        auto r = smallRequest();
        r.logicalWidth = r.pixelWidth = 1280;
        r.logicalHeight = r.pixelHeight = 720;
        return r;
    }
};

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
    EXPECT_LE(returns, 2) << "closes that come together share a pass";
    EXPECT_TRUE(capturing());

    // A rebuild whose new capture starts a second later: the old encoder
    // closes at once, and what it freed is back with the system before the
    // new one is built (it would otherwise take the same blocks again).
    // A sanitizer's allocator keeps what is freed in its quarantine.
#if defined(__GLIBC__) && !defined(NORVESSAL_SANITIZED_BUILD)
    server->queue.sync([&] { server->restartVideoCapture(1.0); });
    run(0.25, {v.get()});
    const double closed = residentMiB();
    run(0.5, {v.get()});
    const double returned = residentMiB();
    ASSERT_FALSE(capturing()) << "read before the new capture starts";
    std::printf("resident once the encoder closed %.1f MiB, after the give-back %.1f MiB\n", closed, returned);
    EXPECT_GE(closed - returned, 0.5) << "MiB of what the closed encoder freed given back to the system";
    run(1.0, {v.get()});
    EXPECT_TRUE(capturing());
#endif
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
