// The frame path: the viewport crop, frames whose size changes under a
// viewport set earlier, the recording tap and the recording source size.

#include <gtest/gtest.h>

#include <random>

#include "HostApp/Capture/HostVideoCapture.h"
#include "Platform/Runtime/Dispatch.h"
#include "Support/TestSupport.h"
#include "VideoCaptureTestSupport.h"

using namespace platform;
using namespace capturetest;

namespace {

using Rect = HostVideoCapture::PixelRect;

class FramePath : public VirtualTimeTest {
protected:
    // A capture that is never started: frames are fed to its frame path.
    std::shared_ptr<HostVideoCapture> makeCapture(int width, int height,
                                                  VideoStreamCodec codec = VideoStreamCodec::h264) {
        auto profile = VideoStreamProfile::forDisplay(7, smallRequest(codec, VideoChromaMode::yuv420, width, height),
                                                      false, std::nullopt);
        auto capture = HostVideoCapture::create(7, profile, profile, true, false);
        recorder.attach(*capture);
        return capture;
    }
    void feed(HostVideoCapture& capture, std::shared_ptr<PixelBuffer> buffer) {
        timestamp += 16'666'667;
        capture.processFrameForTesting(completeFrame(std::move(buffer), timestamp));
    }
    DecodedPicture decodeLast(ViewerDecoder& decoder, size_t from, double x = 0.5, double y = 0.5) {
        std::optional<DecodedPicture> last;
        for (size_t i = from; i < recorder.frames.size(); ++i) last = decoder.decode(recorder.frames[i].bytes, x, y);
        EXPECT_TRUE(last.has_value());
        return last.value_or(DecodedPicture{});
    }

    Recorder recorder;
    uint64_t timestamp = 1'000'000'000;
};

}  // namespace

// ------------------------------------------------------------ crop rectangle

TEST(ViewportCrop, MapsTheNormalisedViewportWithItsOriginAtTheBottomLeft) {
    EXPECT_EQ(HostVideoCapture::cropRectangle({0, 0, 1, 1}, 640, 360), (Rect{0, 0, 640, 360}));
    EXPECT_EQ(HostVideoCapture::cropRectangle({0.5, 0, 0.5, 1}, 640, 360), (Rect{320, 0, 320, 360}));
    // The bottom quarter of the viewport is the last rows of the frame.
    EXPECT_EQ(HostVideoCapture::cropRectangle({0, 0, 1, 0.25}, 640, 360), (Rect{0, 270, 640, 90}));
    EXPECT_EQ(HostVideoCapture::cropRectangle({0.25, 0.5, 0.5, 0.5}, 400, 200), (Rect{100, 0, 200, 100}));
}

TEST(ViewportCrop, ClampsHostileViewportsIntoTheFrame) {
    EXPECT_EQ(HostVideoCapture::cropRectangle({0.9, 0.9, 5, 5}, 100, 100), (Rect{90, 0, 10, 10}));
    EXPECT_EQ(HostVideoCapture::cropRectangle({-3, -3, 0.5, 0.5}, 100, 100), (Rect{0, 98, 2, 2}));
    EXPECT_EQ(HostVideoCapture::cropRectangle({1, 1, 0, 0}, 100, 100), (Rect{98, 0, 2, 2}));
    EXPECT_EQ(HostVideoCapture::cropRectangle({std::nan(""), 0, 1, 1}, 100, 50), (Rect{0, 0, 100, 50}));
    EXPECT_EQ(HostVideoCapture::cropRectangle({0, 0, INFINITY, 1}, 100, 50), (Rect{0, 0, 100, 50}));
    EXPECT_EQ(HostVideoCapture::cropRectangle({0.5, 0.5, 0.5, 0.5}, 1, 1), (Rect{0, 0, 1, 1}));
}

TEST(ViewportCrop, NeverLeavesTheFrameWhateverTheViewportAndSize) {
    std::mt19937 random(6);
    std::uniform_real_distribution<double> unit(-0.5, 1.5);
    std::uniform_int_distribution<int> size(1, 5000);
    for (int i = 0; i < 20000; ++i) {
        const CGRect roi{unit(random), unit(random), unit(random), unit(random)};
        const int w = size(random), h = size(random);
        const Rect r = HostVideoCapture::cropRectangle(roi, w, h);
        ASSERT_GE(r.x, 0);
        ASSERT_GE(r.y, 0);
        ASSERT_GE(r.width, std::min(2, w));
        ASSERT_GE(r.height, std::min(2, h));
        ASSERT_LE(r.x + r.width, w);
        ASSERT_LE(r.y + r.height, h);
    }
}

// ------------------------------------------------------------ crop on the frame path

TEST_F(FramePath, TheViewportCropsTheFrameBeforeItIsScaledIntoTheCanvas) {
    auto capture = makeCapture(320, 180);
    feed(*capture, twoColourBuffer(320, 180));
    ASSERT_EQ(recorder.configs.size(), 1u);
    ViewerDecoder decoder(recorder.configs[0]);
    auto whole = decodeLast(decoder, 0, 0.25);
    EXPECT_TRUE(looksRed(whole));

    capture->setViewportROI(CGRect{0.5, 0, 0.5, 1});
    ASSERT_TRUE(capture->viewportROINormalized().has_value());
    size_t from = recorder.frames.size();
    feed(*capture, twoColourBuffer(320, 180));
    // The right half now fills the canvas: blue even at its left quarter.
    auto cropped = decodeLast(decoder, from, 0.25);
    EXPECT_EQ(cropped.width, 320);
    EXPECT_EQ(cropped.height, 180);
    EXPECT_TRUE(looksBlue(cropped));

    capture->setViewportROI(std::nullopt);
    from = recorder.frames.size();
    feed(*capture, twoColourBuffer(320, 180));
    EXPECT_TRUE(looksRed(decodeLast(decoder, from, 0.25)));
}

TEST_F(FramePath, AViewportOfAFewPixelsIsBlownUpToTheWholeCanvas) {
    // A Viewer zoomed in as far as it goes: the smallest crop (2 x 2 pixels)
    // must still scale into the canvas and decode, not fail every frame.
    auto capture = makeCapture(320, 180, VideoStreamCodec::hevc);
    capture->setViewportROI(CGRect{0.999, 0.0, 0.0001, 0.0001});
    feed(*capture, twoColourBuffer(320, 180));
    feed(*capture, twoColourBuffer(320, 180));
    EXPECT_EQ(recorder.countMessagesStartingWith("video encoder:"), 0u);
    ASSERT_EQ(recorder.frames.size(), 2u);
    ViewerDecoder decoder(recorder.configs.at(0));
    auto picture = decodeLast(decoder, 0, 0.1, 0.1);
    EXPECT_EQ(picture.width, 320);
    EXPECT_EQ(picture.height, 180);
    EXPECT_TRUE(looksBlue(picture));  // the bottom-right corner is blue
}

TEST_F(FramePath, AViewportSetForALargerFrameIsWorkedOutAgainForASmallerOne) {
    auto capture = makeCapture(640, 360);
    capture->setViewportROI(CGRect{0.75, 0, 0.25, 1});
    feed(*capture, twoColourBuffer(640, 360, 0.875));
    ASSERT_EQ(recorder.configs.size(), 1u);
    ViewerDecoder decoder(recorder.configs[0]);
    // Left half of the viewport is red, right half blue.
    EXPECT_TRUE(looksRed(decodeLast(decoder, 0, 0.25)));

    // The frame shrinks to a quarter; rows are unpadded, so a crop at the old
    // pixel offsets would read the next rows and finally past the buffer.
    auto small = twoColourBuffer(160, 90, 0.875);
    ASSERT_EQ(small->bytesPerRow(), 160 * 4);
    const size_t from = recorder.frames.size();
    feed(*capture, small);
    EXPECT_EQ(recorder.configs.size(), 1u);  // same shape: the canvas stays
    auto left = decodeLast(decoder, from, 0.25);
    EXPECT_EQ(left.width, 640);
    EXPECT_TRUE(looksRed(left));
    const size_t next = recorder.frames.size();
    feed(*capture, small);
    EXPECT_TRUE(looksBlue(decodeLast(decoder, next, 0.8)));
    EXPECT_FALSE(recorder.hasMessageContaining("capture canvas changed"));
}

TEST_F(FramePath, AFrameOfAnotherShapeRebuildsTheEncoderForANewCanvas) {
    auto capture = makeCapture(320, 180, VideoStreamCodec::hevc);
    capture->setViewportROI(CGRect{0.5, 0, 0.5, 1});
    feed(*capture, twoColourBuffer(320, 180));
    feed(*capture, twoColourBuffer(240, 180, 0.25));
    ASSERT_EQ(recorder.configs.size(), 2u);
    EXPECT_EQ(recorder.configs[1].width, 320u);
    EXPECT_EQ(recorder.configs[1].height, 240u);
    EXPECT_EQ(recorder.countMessagesStartingWith("capture canvas changed: 320x240"), 1u);
    EXPECT_EQ(recorder.countMessagesStartingWith("encoder active:"), 2u);
    ASSERT_EQ(recorder.frames.size(), 2u);
    EXPECT_TRUE(recorder.frames[1].isKeyFrame);
    ViewerDecoder decoder(recorder.configs[1]);
    auto picture = decoder.decode(recorder.frames[1].bytes, 0.1);
    ASSERT_TRUE(picture.has_value());
    EXPECT_EQ(picture->width, 320);
    EXPECT_EQ(picture->height, 240);
    EXPECT_TRUE(looksBlue(*picture));
}

TEST_F(FramePath, AFrameWhoseShapeDiffersFromTheCanvasIsNoted) {
    auto capture = makeCapture(320, 180);
    feed(*capture, twoColourBuffer(300, 300));
    EXPECT_EQ(recorder.countMessagesStartingWith("capture frame geometry: 300x300"), 1u);
    EXPECT_EQ(recorder.countMessagesStartingWith("capture canvas mismatch: frame 300x300 encoded 320x180"), 1u);
    EXPECT_EQ(recorder.configs.at(0).width, 320u);
}

// ------------------------------------------------------------ recording

TEST_F(FramePath, TheRecordingTapGetsTheWholeUncroppedBufferEvenWhenTheFrameIsDropped) {
    auto capture = makeCapture(320, 180);
    capture->setViewportROI(CGRect{0.5, 0.5, 0.5, 0.5});
    recorder.congested = true;
    auto buffer = twoColourBuffer(320, 180);
    feed(*capture, buffer);
    ASSERT_EQ(recorder.recordings.size(), 1u);
    EXPECT_EQ(recorder.recordings[0].first, buffer);
    EXPECT_EQ(recorder.recordings[0].second, timestamp);
    EXPECT_TRUE(recorder.frames.empty());
    EXPECT_EQ(recorder.samples, std::vector<bool>{false});
}

TEST_F(FramePath, FramesArrivingWhileTheEncoderIsBusyReachTheRecordingAndOnlyTheNewestTheEncoder) {
    auto capture = makeCapture(320, 180);
    // The capture queue has not run yet: the encoder is busy, as far as the
    // stream can tell, while three pictures and an idle report arrive.
    std::vector<std::shared_ptr<PixelBuffer>> buffers;
    for (double split : {0.1, 0.5, 0.9}) {
        buffers.push_back(twoColourBuffer(320, 180, split));
        capture->deliverFrameForTesting(completeFrame(buffers.back(), timestamp += 16'666'667));
    }
    SCCapturedFrame idle;
    idle.status = SCFrameStatus::idle;
    idle.timestampNs = timestamp += 16'666'667;
    capture->deliverFrameForTesting(idle);
    ASSERT_EQ(recorder.recordings.size(), 3u);
    for (size_t i = 0; i < buffers.size(); ++i) EXPECT_EQ(recorder.recordings[i].first, buffers[i]);
    EXPECT_EQ(recorder.captured, 3);
    EXPECT_EQ(recorder.idle, 1);
    EXPECT_TRUE(recorder.frames.empty());

    runUntilIdle();
    // One encode, of the newest picture (blue from 90 % of the width on);
    // the idle report did not push it aside.
    ASSERT_EQ(recorder.frames.size(), 1u);
    ViewerDecoder decoder(recorder.configs.at(0));
    auto picture = decoder.decode(recorder.frames[0].bytes, 0.7);
    ASSERT_TRUE(picture.has_value());
    EXPECT_TRUE(looksRed(*picture));

    // The next picture finds the encoder free and is encoded on its own.
    capture->deliverFrameForTesting(completeFrame(twoColourBuffer(320, 180, 0.2), timestamp += 16'666'667));
    runUntilIdle();
    ASSERT_EQ(recorder.frames.size(), 2u);
    auto next = decoder.decode(recorder.frames[1].bytes, 0.7);
    ASSERT_TRUE(next.has_value());
    EXPECT_TRUE(looksBlue(*next));
}

TEST_F(FramePath, TheRecordingSourceSizeFollowsTheFramesSeenFromAnotherQueue) {
    HostRecordingSourceSize sourceSize;
    auto capture = makeCapture(320, 180);
    capture->onRecordingFrame = [&sourceSize](const std::shared_ptr<PixelBuffer>& b, uint64_t) {
        sourceSize.set(b->width(), b->height());
    };
    EXPECT_EQ(sourceSize.value(), (CGSize{0, 0}));
    feed(*capture, twoColourBuffer(240, 180));
    DispatchQueue server("test.server");
    CGSize seen;
    server.sync([&] { seen = sourceSize.value(); });
    EXPECT_EQ(seen, (CGSize{240, 180}));
}

// Real threads: one queue writes sizes whose height is twice the width while
// another reads; a reader must never see half of one write and half of another.
TEST(HostRecordingSourceSizeTest, ReadersOnAnotherThreadAlwaysSeeAWholeSize) {
    HostRecordingSourceSize size;
    DispatchQueue writer("test.capture.writer"), reader("test.server.reader");
    DispatchSemaphore done(0);
    std::atomic<bool> writing{true};
    std::atomic<int> torn{0}, reads{0};
    writer.async([&] {
        // Writing goes on until the reader has had its turns, so a busy
        // machine cannot finish before the reader ever runs.
        for (int i = 1; i <= 300000 || reads.load() < 1000; ++i) size.set(i, 2 * i);
        writing = false;
        done.signal();
    });
    reader.async([&] {
        while (writing) {
            const CGSize s = size.value();
            if (s.height != 2 * s.width) torn++;
            reads++;
        }
        done.signal();
    });
    done.wait();
    done.wait();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GE(reads.load(), 1000);
    const CGSize last = size.value();
    EXPECT_GE(last.width, 300000);
    EXPECT_EQ(last.height, 2 * last.width);
}

// ------------------------------------------------------------ failed encoder builds

TEST_F(FramePath, AFailedEncoderBuildIsRetriedOnLaterFramesFurtherApartUntilOneSucceeds) {
    auto capture = makeCapture(64, 36);
    int attempts = 0, failuresLeft = 4;
    capture->encoderFactoryForTesting = [&](const VideoEncoderSettings& settings) {
        ++attempts;
        if (failuresLeft-- > 0) return Result<std::unique_ptr<VideoEncoder>>::failure("video encoder: out of memory");
        return VideoEncoder::create(settings);
    };
    auto buffer = twoColourBuffer(64, 36);
    // Attempts on frames 1, 2, 4, 8 and 16: gaps of 1, 2, 4 and 8 frames.
    std::vector<int> attemptsAfterFrame;
    for (int frame = 1; frame <= 16; ++frame) {
        feed(*capture, buffer);
        attemptsAfterFrame.push_back(attempts);
    }
    EXPECT_EQ(attemptsAfterFrame, (std::vector<int>{1, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 5}));
    // The error once for its kind, then the stream again.
    EXPECT_EQ(recorder.countMessagesStartingWith("video encoder: out of memory"), 1u);
    EXPECT_EQ(recorder.configs.size(), 1u);
    ASSERT_EQ(recorder.frames.size(), 1u);
    EXPECT_TRUE(recorder.frames[0].isKeyFrame);
}

TEST_F(FramePath, ParameterSetsTooLongToAnnounceStopTheStreamWithAnError) {
    auto capture = makeCapture(64, 36);
    capture->encoderFactoryForTesting = [](const VideoEncoderSettings& settings) {
        auto encoder = VideoEncoder::create(settings);
        if (encoder) (*encoder)->parameterSetsForTesting().sps.resize(70'000);
        return encoder;
    };
    auto buffer = twoColourBuffer(64, 36);
    for (int frame = 0; frame < 8; ++frame) feed(*capture, buffer);
    EXPECT_TRUE(recorder.configs.empty());
    EXPECT_TRUE(recorder.frames.empty());
    EXPECT_EQ(recorder.countMessagesStartingWith("video encoder: a parameter set of 70000 bytes"), 1u);
}

// ------------------------------------------------------------ frames held inside the encoder

namespace {

// Above 1080p, where HEVC holds each picture's frame until the next call.
constexpr int kHeldWidth = 1920, kHeldHeight = 1088;
constexpr double kFrameInterval = 1.0 / 60;

class HeldFrames : public FramePath {
protected:
    std::shared_ptr<HostVideoCapture> makeHoldingCapture() {
        auto capture = makeCapture(kHeldWidth, kHeldHeight, VideoStreamCodec::hevc);
        EXPECT_EQ(capture->activeProfile.width, kHeldWidth);
        EXPECT_EQ(capture->activeProfile.fps, 60);
        return capture;
    }
    // A picture that differs from the one before: the red part grows.
    void feedMoving(HostVideoCapture& capture) {
        ++pictures;
        feed(capture, twoColourBuffer(kHeldWidth, kHeldHeight, 0.1 + 0.05 * pictures));
    }
    // Every frame delivered decodes, with the one configuration announced.
    void expectEveryFrameDecodes() {
        ASSERT_EQ(recorder.configs.size(), 1u);
        ViewerDecoder decoder(recorder.configs[0]);
        for (size_t i = 0; i < recorder.frames.size(); ++i) {
            EXPECT_TRUE(decoder.decode(recorder.frames[i].bytes).has_value()) << "frame " << i;
        }
    }
    int pictures = 0;
};

}  // namespace

TEST_F(HeldFrames, WhenThePictureStopsTheHeldFramesComeOutAfterOneFrameIntervalAndNothingMore) {
    auto capture = makeHoldingCapture();
    std::vector<uint64_t> fed;
    for (int i = 0; i < 4; ++i) {
        feedMoving(*capture);
        fed.push_back(timestamp);
    }
    // The last pictures' frames are still inside the encoder.
    ASSERT_LT(recorder.frames.size(), fed.size());

    const double due = kFrameInterval * HostVideoCapture::heldFrameRepeatDelayFrames;
    EXPECT_GT(due, kFrameInterval);
    advance(due * 0.95);
    EXPECT_LT(recorder.frames.size(), fed.size()) << "fed again before the next picture was overdue";
    advance(due * 0.1);
    ASSERT_EQ(recorder.frames.size(), fed.size());
    for (size_t i = 0; i < fed.size(); ++i) EXPECT_EQ(recorder.frames[i].timestampNs, fed[i]) << "frame " << i;

    // The repeats' own frames stay held: they show nothing new.
    advance(1.0);
    EXPECT_EQ(recorder.frames.size(), fed.size());
    expectEveryFrameDecodes();
}

TEST_F(HeldFrames, NothingIsFedAgainWhilePicturesKeepComing) {
    auto capture = makeHoldingCapture();
    std::vector<uint64_t> fed;
    for (int i = 0; i < 8; ++i) {
        feedMoving(*capture);
        fed.push_back(timestamp);
        advance(kFrameInterval);
    }
    // Only the pictures' own frames, in order, a frame or two behind.
    ASSERT_GE(recorder.frames.size(), fed.size() - 2);
    ASSERT_LT(recorder.frames.size(), fed.size());
    for (size_t i = 0; i < recorder.frames.size(); ++i) EXPECT_EQ(recorder.frames[i].timestampNs, fed[i]);
    expectEveryFrameDecodes();
}

TEST_F(HeldFrames, AKeyFrameAskedForLeavesTheEncoderAtOnce) {
    auto capture = makeHoldingCapture();
    for (int i = 0; i < 3; ++i) feedMoving(*capture);
    capture->forceKeyFrameRequested.set(1);
    feedMoving(*capture);
    // Every picture's frame is out, the key frame last, with no time passed.
    ASSERT_EQ(recorder.frames.size(), 4u);
    EXPECT_TRUE(recorder.frames[3].isKeyFrame);
    EXPECT_EQ(recorder.frames[3].timestampNs, timestamp);

    // While the picture stands still, a request re-encodes the last picture;
    // its key frame too arrives without waiting for a repeat.
    capture->forceKeyFrameRequested.set(1);
    SCCapturedFrame idle;
    idle.status = SCFrameStatus::idle;
    idle.timestampNs = timestamp += 16'666'667;
    const size_t before = recorder.frames.size();
    capture->processFrameForTesting(idle);
    ASSERT_GT(recorder.frames.size(), before);
    EXPECT_TRUE(recorder.frames.back().isKeyFrame);
    for (size_t i = before; i + 1 < recorder.frames.size(); ++i) EXPECT_FALSE(recorder.frames[i].isKeyFrame);
    expectEveryFrameDecodes();
}

// ------------------------------------------------------------ hardware encoder failing

TEST_F(FramePath, AHardwareEncoderThatFailsIsReplacedBySoftwareBehindANewConfigurationAndAKeyFrame) {
    constexpr int kFailingPicture = 3;
    VideoEncoder::setHardwareForTesting(VideoHardwareForTesting{{HardwareVideoEncoder::vaapi}, kFailingPicture});
    auto capture = makeCapture(320, 180, VideoStreamCodec::hevc);
    for (int i = 0; i < 5; ++i) feed(*capture, twoColourBuffer(320, 180, 0.2 + 0.1 * i));
    VideoEncoder::setHardwareForTesting(std::nullopt);

    EXPECT_TRUE(recorder.hasMessageContaining("encoder active: HEVC 320x180 60fps"));
    ASSERT_EQ(recorder.countMessagesStartingWith("encoder active:"), 2u);
    EXPECT_EQ(recorder.countMessagesStartingWith("hevc_vaapi failed ("), 1u);
    EXPECT_TRUE(recorder.hasMessageContaining("; falling back to libx265"));
    std::vector<std::string> active;
    for (const auto& m : recorder.messages) {
        if (m.starts_with("encoder active:")) active.push_back(m.substr(m.rfind(' ') + 1));
    }
    EXPECT_EQ(active, (std::vector<std::string>{"encoder=hevc_vaapi", "encoder=libx265"}));

    // The Viewer sees: configuration, two frames, configuration, a key frame
    // and the rest, every frame decoded by the configuration before it.
    std::vector<std::string> stream;
    for (const auto& e : recorder.events) {
        if (e != "error") stream.push_back(e);
    }
    EXPECT_EQ(stream, (std::vector<std::string>{"config", "frame", "frame", "config", "frame", "frame", "frame"}));
    ASSERT_EQ(recorder.configs.size(), 2u);
    ASSERT_EQ(recorder.frames.size(), 5u);
    EXPECT_TRUE(recorder.frames[kFailingPicture - 1].isKeyFrame);
    // A fresh decoder per configuration, as a Viewer starts one.
    std::unique_ptr<ViewerDecoder> decoder;
    for (size_t i = 0; i < recorder.frames.size(); ++i) {
        if (i == 0 || i == kFailingPicture - 1) decoder = std::make_unique<ViewerDecoder>(recorder.configs[i == 0 ? 0 : 1]);
        EXPECT_TRUE(decoder->decode(recorder.frames[i].bytes).has_value()) << "frame " << i;
    }
}
