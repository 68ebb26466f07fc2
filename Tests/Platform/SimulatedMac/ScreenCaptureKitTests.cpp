#include <gtest/gtest.h>

#include <cstring>

#include "Platform/SimulatedMac/ScreenCaptureKit.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"
#include "Support/TestSupport.h"

using namespace platform;

namespace {
class ScreenCaptureTest : public VirtualTimeTest {
protected:
    SimulatedScreenCapture& controls() { return SimulatedMachine::current().component<SimulatedScreenCapture>(); }

    std::shared_ptr<SCStream> makeStream(int w, int h, std::vector<SCCapturedFrame>& frames) {
        auto content = SCShareableContent::current();
        EXPECT_TRUE(content.ok());
        EXPECT_FALSE(content->displays.empty());
        SCStreamConfiguration config;
        config.width = w;
        config.height = h;
        auto stream = SCStream::create(content->displays.front(), config);
        stream->setFrameHandler(queue, [&frames](const SCCapturedFrame& f) { frames.push_back(f); });
        return stream;
    }
    DispatchQueue queue{"test.capture"};
};
}  // namespace

TEST_F(ScreenCaptureTest, ShareableContentListsTheBuiltInPanelWithItsBackingSize) {
    auto content = SCShareableContent::current();
    ASSERT_TRUE(content.ok());
    ASSERT_EQ(content->displays.size(), 1u);
    EXPECT_EQ(content->displays[0].width, 1512);
    EXPECT_EQ(content->displays[0].pixelWidth, 3024);
    EXPECT_EQ(content->displays[0].pixelHeight, 1964);

    SimulatedMachine::current().setPermission(Permission::screenRecording, false);
    EXPECT_FALSE(SCShareableContent::current().ok());
}

TEST_F(ScreenCaptureTest, DeliversFramesAtTheConfiguredRateWithAMovingPicture) {
    std::vector<SCCapturedFrame> frames;
    auto stream = makeStream(320, 200, frames);
    std::string startError = "unset";
    stream->startCapture([&](const std::string& e) { startError = e; });
    advance(1.0);
    EXPECT_EQ(startError, "");
    ASSERT_GE(frames.size(), 59u);
    ASSERT_LE(frames.size(), 61u);
    const auto& a = frames[10];
    const auto& b = frames[11];
    ASSERT_TRUE(a.buffer && b.buffer);
    EXPECT_EQ(a.buffer->width(), 320);
    EXPECT_EQ(b.timestampNs - a.timestampNs, 16666666u);
    EXPECT_EQ(frames.back().timestampNs - a.timestampNs, (frames.size() - 11) * 16666666u) << "a refresh apart";
    // Only part of the picture moves between two frames; the rest is the
    // fixed background.
    size_t rowBytes = static_cast<size_t>(a.buffer->width()) * 4;
    int changedRows = 0;
    for (int y = 0; y < a.buffer->height(); ++y) {
        if (std::memcmp(a.buffer->data() + y * a.buffer->bytesPerRow(), b.buffer->data() + y * b.buffer->bytesPerRow(),
                        rowBytes) != 0)
            changedRows++;
    }
    EXPECT_GT(changedRows, 0);
    EXPECT_LT(changedRows, a.buffer->height() / 2);
}

TEST(ScreenCaptureRefreshInstant, FramesAreStampedWithTheRefreshTheyBelongTo) {
    constexpr uint64_t t = 1'000'000'000;
    struct Case {
        const char* what;
        uint64_t due, now, last, expected;
    } cases[] = {
        {"on time", t, t, t - 16'666'666, t},
        {"late: the refresh it was due at", t, t + 9'000'000, t - 16'666'666, t},
        {"no timer: the capture time", 0, t + 5, t - 1, t + 5},
        {"never later than the capture", t + 10, t, 0, t},
        {"always after the stamp before", t, t + 3, t, t + 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SCStream::refreshInstant(c.due, c.now, c.last), c.expected) << c.what;
    }
}

TEST_F(ScreenCaptureTest, ReusedBuffersCarryNoTraceOfEarlierFrames) {
    std::vector<SCCapturedFrame> frames;
    auto stream = makeStream(64, 64, frames);
    std::shared_ptr<PixelBuffer> last;
    stream->setFrameHandler(queue, [&last](const SCCapturedFrame& f) { last = f.buffer; });
    stream->startCapture(nullptr);
    advance(2.0);
    EXPECT_GE(stream->framesDelivered(), 119u);
    ASSERT_TRUE(last);
    // The pool handed the same few buffers out again and again...
    // ...and each still shows exactly one 8 x 8 white square: a square left
    // behind from an earlier frame would show up as extra white pixels.
    int white = 0;
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x) {
            const uint8_t* p = last->data() + y * last->bytesPerRow() + x * 4;
            if (p[0] == 255 && p[1] == 255 && p[2] == 255) white++;
        }
    EXPECT_EQ(white, 64);
}

TEST_F(ScreenCaptureTest, StillPictureGivesIdleFramesAndStoppedFramesGiveNothing) {
    std::vector<SCCapturedFrame> frames;
    auto stream = makeStream(64, 64, frames);
    controls().setPictureHeldStill(true);
    stream->startCapture(nullptr);
    advance(0.1);
    ASSERT_GE(frames.size(), 3u);
    EXPECT_EQ(frames[0].status, SCFrameStatus::complete);
    EXPECT_TRUE(frames[0].buffer != nullptr);
    for (size_t i = 1; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].status, SCFrameStatus::idle);
        EXPECT_EQ(frames[i].buffer, nullptr);
    }
    controls().setFramesStopped(true);
    size_t before = frames.size();
    advance(1.0);
    EXPECT_EQ(frames.size(), before);
}

TEST_F(ScreenCaptureTest, StopIsAnsweredOrHeldUntilReleased) {
    std::vector<SCCapturedFrame> frames;
    auto stream = makeStream(64, 64, frames);
    stream->startCapture(nullptr);
    advance(0.1);
    controls().setIgnoresStop(stream->displayID(), true);
    bool stopped = false;
    stream->stopCapture([&](const std::string& e) { stopped = e.empty(); });
    advance(5);
    EXPECT_FALSE(stopped);
    EXPECT_TRUE(stream->isRunning());
    size_t count = frames.size();
    advance(1);
    EXPECT_EQ(frames.size(), count);  // no frames while the stop hangs
    controls().releaseIgnoredStops();
    runUntilIdle();
    EXPECT_TRUE(stopped);
    EXPECT_FALSE(stream->isRunning());
}

TEST_F(ScreenCaptureTest, StartFailsForInjectedErrorsAndMissingDisplays) {
    std::vector<SCCapturedFrame> frames;
    auto stream = makeStream(64, 64, frames);
    controls().setStartError(stream->displayID(), "boom");
    std::string error;
    stream->startCapture([&](const std::string& e) { error = e; });
    runUntilIdle();
    EXPECT_EQ(error, "boom");
    EXPECT_FALSE(stream->isRunning());

    controls().setStartError(stream->displayID(), std::nullopt);
    SimulatedMachine::current().component<SimulatedDisplaySystem>().configureHeadless();
    stream->startCapture([&](const std::string& e) { error = e; });
    runUntilIdle();
    EXPECT_NE(error.find("not available"), std::string::npos);
}

TEST(PixelBufferSize, RowsArePaddedAndANegativeSizeGivesAnEmptyBuffer) {
    PixelBuffer odd(17, 3);
    EXPECT_EQ(odd.bytesPerRow(), 128);
    PixelBuffer negative(-5, -1'000'000);
    EXPECT_EQ(negative.width(), 0);
    EXPECT_EQ(negative.height(), 0);
    PixelBuffer noRows(4, -2);
    EXPECT_EQ(noRows.height(), 0);
}
