// The movie recorder: the sizes and rates it picks, the crop it takes from
// each frame, the 33 ms frame gate, where audio blocks land, and the
// writer's refusals, each checked in the movie file as libavformat reads it.

#include <fcntl.h>
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <fstream>

#include "HostApp/Audio/HostMovieRecorder.h"
#include "Platform/Runtime/Clock.h"
#include "Support/MovieFileReader.h"
#include "Support/TestSupport.h"

using namespace platform;
using platform::testing::MovieFile;

namespace {

constexpr uint64_t kMs = 1'000'000;

// A picture whose four quadrants have their own grey: top left, top right,
// bottom left, bottom right.
std::shared_ptr<PixelBuffer> quadrants(int width, int height, std::array<uint8_t, 4> greys = {255, 0, 200, 60}) {
    auto buffer = std::make_shared<PixelBuffer>(width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const uint8_t g = greys[(y >= height / 2 ? 2 : 0) + (x >= width / 2 ? 1 : 0)];
            uint8_t* p = buffer->data() + static_cast<size_t>(y) * buffer->bytesPerRow() + x * 4;
            p[0] = p[1] = p[2] = g;
            p[3] = 255;
        }
    }
    return buffer;
}

class MovieRecorder : public VirtualTimeTest {
protected:
    ~MovieRecorder() override { MovieWriter::setFaultsForTesting({}); }

    std::filesystem::path file(const std::string& name = "movie.mp4") const { return dataRoot->path() / name; }

    // A recorder of a tall narrow source by default: its movie frames are
    // 108 x 1080 and cheap to encode.
    std::shared_ptr<HostMovieRecorder> recorder(CGRect region = {0, 0, 1, 1}, int width = 20, int height = 200,
                                                const std::string& name = "movie.mp4") {
        start = Clock::uptimeNs();
        auto made = HostMovieRecorder::create(file(name), region, width, height, start);
        EXPECT_TRUE(made.ok()) << (made.ok() ? "" : made.error());
        return made.ok() ? *made : nullptr;
    }
    // Hands one frame over and lets the recorder take it.
    void frame(HostMovieRecorder& r, const std::shared_ptr<PixelBuffer>& buffer, uint64_t atNs) {
        r.appendVideo(buffer, atNs);
        runUntilIdle();
    }
    void audio(HostMovieRecorder& r, std::span<const uint8_t> pcm, uint64_t atNs) {
        r.appendAudio(pcm, atNs);
        runUntilIdle();
    }
    bool finish(HostMovieRecorder& r) {
        std::optional<bool> completed;
        r.finish([&](bool c) { completed = c; });
        runUntilIdle();
        EXPECT_TRUE(completed.has_value()) << "the completion runs once finishing is done";
        return completed.value_or(false);
    }

    uint64_t start = 0;
};

}  // namespace

TEST(MovieRecorderGeometry, FitsEveryRegionIntoTheFullHDBoxWithItsRate) {
    struct Case {
        int width, height;
        CGRect region;
        CGSize output;
        int64_t hevcRate, h264Rate;
    };
    const Case cases[] = {
        {3840, 2160, {0, 0, 1, 1}, {1920, 1080}, 8'294'400, 12'441'600},
        {2560, 1600, {0, 0, 1, 1}, {1728, 1080}, 7'464'960, 11'197'440},
        {1440, 900, {0, 0, 1, 1}, {1728, 1080}, 7'464'960, 11'197'440},
        {3024, 1964, {0, 0, 1, 1}, {1662, 1080}, 7'179'840, 10'769'760},
        {1080, 1920, {0, 0, 1, 1}, {608, 1080}, 4'000'000, 4'000'000},
        {5120, 1440, {0, 0, 1, 1}, {1920, 540}, 4'147'200, 6'220'800},
        // A 100 x 2000 crop: aspect 0.05 counts as 0.1.
        {1000, 2000, {0.2, 0, 0.1, 1}, {108, 1080}, 4'000'000, 4'000'000},
        // An empty region is 0.01 x 0.01 of the frame; a negative origin 0.
        {1920, 1080, {-0.5, -2, 0, 0}, {1920, 1080}, 8'294'400, 12'441'600},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        const auto g = HostMovieRecorder::geometry(c.region, c.width, c.height);
        EXPECT_EQ(g.outputSize, c.output);
        EXPECT_EQ(HostMovieRecorder::averageBitRate(VideoCodec::hevc, g.outputSize), c.hevcRate);
        EXPECT_EQ(HostMovieRecorder::averageBitRate(VideoCodec::h264, g.outputSize), c.h264Rate);
    }
    const auto empty = HostMovieRecorder::geometry({-0.5, -2, 0, 0}, 1920, 1080);
    EXPECT_DOUBLE_EQ(empty.cropRect.x, 0);
    EXPECT_DOUBLE_EQ(empty.cropRect.width, 19.2);
}

TEST(MovieRecorderGeometry, CropsInsideTheSourceAndTheFrameCountingTheRegionFromTheBottom) {
    using R = HostMovieRecorder::PixelRect;
    struct Case {
        CGRect region;
        int frameWidth, frameHeight;
        std::optional<R> crop;
    };
    // The recorder was made for a 100 x 50 source.
    const Case cases[] = {
        {{0, 0, 1, 1}, 100, 50, R{0, 0, 100, 50}},
        {{0, 0, 0.5, 0.5}, 100, 50, R{0, 25, 50, 25}},     // bottom left
        {{0.5, 0.5, 0.5, 0.5}, 100, 50, R{50, 0, 50, 25}},  // top right
        // Past the right and top edges: clamped to the source.
        {{0.9, 0.9, 0.5, 0.5}, 100, 50, R{90, 0, 10, 5}},
        // A frame smaller than the source after a mode change: clamped to
        // the frame too, or dropped when under 2 x 2 is left.
        {{0, 0, 1, 1}, 60, 30, R{0, 0, 60, 30}},
        {{0.9, 0.9, 0.5, 0.5}, 60, 30, std::nullopt},
        {{0, 0, 1, 1}, 1, 1, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.region.x) + "," + std::to_string(c.region.y) + " frame " +
                     std::to_string(c.frameWidth));
        EXPECT_EQ(HostMovieRecorder::frameCrop(HostMovieRecorder::geometry(c.region, 100, 50), c.frameWidth,
                                               c.frameHeight),
                  c.crop);
    }
}

TEST_F(MovieRecorder, WritesTheRegionCountedFromTheBottomIntoAnHEVCMovie) {
    auto r = recorder({0, 0, 0.5, 0.5}, 64, 36);
    ASSERT_TRUE(r);
    const auto picture = quadrants(64, 36);
    // One second of a 60 fps capture.
    for (int i = 0; i < 60; ++i) frame(*r, picture, start + 1 + i * 16'666'667ull);
    ASSERT_TRUE(finish(*r));

    auto movie = MovieFile::read(file(), {{0.1, 0.1}, {0.5, 0.5}, {0.9, 0.9}});
    ASSERT_TRUE(movie && movie->video);
    EXPECT_EQ(movie->video->codecTag, MKTAG('h', 'v', 'c', '1'));
    EXPECT_EQ(movie->video->width, 1920);
    EXPECT_EQ(movie->video->height, 1080);
    EXPECT_EQ(movie->video->packets, 30u);
    EXPECT_NEAR(movie->video->durationSeconds, 1.0, 0.05);
    // The bottom-left quadrant (grey 200) fills the whole picture.
    ASSERT_EQ(movie->firstPictureLuma.size(), 3u);
    for (int luma : movie->firstPictureLuma) EXPECT_NEAR(luma, 16 + 219 * 200 / 255, 6);
}

// The movie's encoder threads free their buffers into heaps of their own,
// which keep them resident until trimmed: a stopped recording left tens of
// MiB behind.
TEST_F(MovieRecorder, AFinishedMovieGivesWhatItsEncodersFreedBackToTheSystem) {
    auto r = recorder();
    ASSERT_TRUE(r);
    const auto picture = quadrants(20, 200);
    for (int i = 0; i < 5; ++i) frame(*r, picture, start + 1 + i * 40 * kMs);
    ASSERT_TRUE(finish(*r));
    advance(2);
    const int returnsBefore = VideoEncoder::freedMemoryReturnsForTesting();
    r.reset();
    advance(2);
    EXPECT_GE(VideoEncoder::freedMemoryReturnsForTesting() - returnsBefore, 1);
}

TEST_F(MovieRecorder, APictureAtTheMoviesOwnSizeKeepsEveryQuadrantInPlace) {
    // A whole 1920 x 1080 capture is the movie's size: it is converted
    // without the scaler, and must come out neither flipped nor mirrored.
    auto r = recorder({0, 0, 1, 1}, 1920, 1080);
    ASSERT_TRUE(r);
    const std::array<uint8_t, 4> greys = {255, 0, 200, 60};
    frame(*r, quadrants(1920, 1080, greys), start + 1);
    ASSERT_TRUE(finish(*r));

    auto movie = MovieFile::read(file(), {{0.25, 0.25}, {0.75, 0.25}, {0.25, 0.75}, {0.75, 0.75}});
    ASSERT_TRUE(movie && movie->video);
    EXPECT_EQ(movie->video->width, 1920);
    EXPECT_EQ(movie->video->height, 1080);
    ASSERT_EQ(movie->firstPictureLuma.size(), 4u);
    for (size_t i = 0; i < greys.size(); ++i) {
        EXPECT_NEAR(movie->firstPictureLuma[i], 16 + 219 * greys[i] / 255, 6) << "quadrant " << i;
    }
}

TEST_F(MovieRecorder, LetsAtMostOneFrameIn33MsReachTheMovie) {
    struct Case {
        const char* what;
        std::vector<int64_t> framesAtMs;
        bool drainEach;
        size_t kept;
    };
    std::vector<int64_t> at60, at100;
    for (int i = 0; i < 20; ++i) at60.push_back(i * 50 / 3);
    for (int i = 0; i < 20; ++i) at100.push_back(i * 10);
    const Case cases[] = {
        {"60 fps: every second frame", at60, true, 10},
        {"10 ms apart: every fourth frame", at100, true, 5},
        {"an older frame is dropped", {1000, 1040, 900, 1020, 1080}, true, 3},
        {"a burst queues two frames and drops the rest", {0, 40, 80, 120, 160}, false, 2},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto r = recorder({0, 0, 1, 1}, 20, 200, "gate" + std::to_string(++n) + ".mp4");
        ASSERT_TRUE(r);
        const auto picture = quadrants(20, 200);
        for (int64_t ms : c.framesAtMs) {
            r->appendVideo(picture, start + 1 + static_cast<uint64_t>(ms) * kMs);
            if (c.drainEach) runUntilIdle();
        }
        ASSERT_TRUE(finish(*r));
        auto movie = MovieFile::read(file("gate" + std::to_string(n) + ".mp4"));
        ASSERT_TRUE(movie && movie->video);
        EXPECT_EQ(movie->video->packets, c.kept);
    }
}

TEST_F(MovieRecorder, PlacesEachAudioBlockAtItsOwnTime) {
    struct Block {
        int64_t atMs;  // after the session start; negative: before it
        size_t bytes;
    };
    struct Case {
        const char* what;
        std::vector<Block> blocks;
        double seconds;  // decoded length; 0: nothing was written
    };
    const size_t block = 4800 * 8;  // 100 ms
    const Case cases[] = {
        {"back to back", {{0, block}, {100, block}, {200, block}}, 0.3},
        {"a gap is filled with silence", {{0, block}, {500, block}}, 0.6},
        {"a block starting well before the end is dropped", {{0, block}, {100, block}, {150, block}}, 0.2},
        {"a little overlap is taken", {{0, block}, {100, block}, {199, block}}, 0.3},
        {"samples from before the session are dropped", {{-100, block}, {0, block}}, 0.1},
        {"part of a frame is cut off", {{0, 48000 * 8 + 3}}, 1.0},
        {"a block under one frame is nothing", {{0, 7}}, 0},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        MovieWriter::setFaultsForTesting({});
        const std::string name = "audio" + std::to_string(++n) + ".mp4";
        auto r = recorder({0, 0, 1, 1}, 20, 200, name);
        ASSERT_TRUE(r);
        for (const auto& b : c.blocks) {
            const auto at = static_cast<uint64_t>(static_cast<int64_t>(start) + 1 + b.atMs * int64_t{kMs});
            audio(*r, std::vector<uint8_t>(b.bytes), at);
        }
        const bool completed = finish(*r);
        EXPECT_EQ(completed, c.seconds > 0);
        if (!completed) {
            EXPECT_FALSE(std::filesystem::exists(file(name))) << "a movie never started leaves no file";
            continue;
        }
        auto movie = MovieFile::read(file(name));
        ASSERT_TRUE(movie && movie->audio);
        ASSERT_EQ(movie->decodedAudio.size(), 2u);
        // The last AAC frame is padded out to its 1,024 samples.
        const auto samples = static_cast<double>(movie->decodedAudio[0].size());
        EXPECT_GE(samples, c.seconds * 48000);
        EXPECT_LT(samples, c.seconds * 48000 + 1024);
    }
}

TEST_F(MovieRecorder, AFailedAppendFailsTheMovieAndATakenNameRefusesTheWriter) {
    MovieWriter::setFaultsForTesting({.failAppend = true});
    auto r = recorder();
    ASSERT_TRUE(r);
    frame(*r, quadrants(20, 200), start + 1);
    EXPECT_FALSE(finish(*r));
    EXPECT_EQ(r->failureMessage(), "video append failed");
    EXPECT_FALSE(MovieFile::read(file())) << "a movie without its index";

    std::ofstream(file("taken.mp4")) << "an earlier movie";
    auto refused = HostMovieRecorder::create(file("taken.mp4"), {0, 0, 1, 1}, 20, 200, start);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error(), "cannot create movie writer");
    EXPECT_EQ(std::filesystem::file_size(file("taken.mp4")), 16u) << "the earlier movie is left alone";
}

// A movie made by the caller is written through the descriptor it came
// with, never reached again by its path: one moved away and replaced by a
// link between its making and the writer's is whole where it went, and
// what the link leads to is untouched. A writer that never writes takes its file away once.
TEST_F(MovieRecorder, AMovieIsWrittenThroughItsDescriptorWhateverItsPathLeadsToLater) {
    const auto made = file("made.mp4"), moved = file("moved.mp4"), target = file("target.txt");
    std::ofstream(target) << "someone else's";
    int discarded = 0;
    auto open = [&] {
        return MovieOutput{FileHandle(::open(made.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644)), made,
                           [&] { discarded++; }};
    };
    start = Clock::uptimeNs();
    auto output = open();
    std::filesystem::rename(made, moved);
    std::filesystem::create_symlink(target, made);
    auto created = HostMovieRecorder::create(std::move(output), {0, 0, 1, 1}, 20, 200, start);
    ASSERT_TRUE(created.ok()) << created.error();
    frame(**created, quadrants(20, 200), start + 1);
    frame(**created, quadrants(20, 200), start + 40 * kMs);
    ASSERT_TRUE(finish(**created));
    EXPECT_EQ((*created)->movieSize(), std::filesystem::file_size(moved));
    EXPECT_TRUE(MovieFile::read(moved));
    std::ifstream in(target);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "someone else's");
    EXPECT_EQ(discarded, 0);

    std::filesystem::remove(made);
    {
        auto unused = HostMovieRecorder::create(open(), {0, 0, 1, 1}, 20, 200, start);
        ASSERT_TRUE(unused.ok());
    }
    EXPECT_EQ(discarded, 1);
}
