#include <gtest/gtest.h>

#include <random>

#include "Support/TestSupport.h"
#include "VelantrixProfiles/FileTransfer/FileTransferChannelConnection.h"

namespace {

class FrameCutter : public VirtualTimeTest {
protected:
    std::vector<std::vector<uint8_t>> frames;
    std::vector<std::string> lines;
    int ends = 0;
    // Never started: bytes reach the cutter only through receiveForTesting.
    std::shared_ptr<FileTransferChannelConnection> channel = std::make_shared<FileTransferChannelConnection>(
        platform::TcpConnection::connect("127.0.0.1", 9), platform::DispatchQueue("test.channel"), "file aux",
        [this](const std::string& line) { lines.push_back(line); });

    FrameCutter() {
        channel->onFrame = [this](std::span<const uint8_t> p) { frames.emplace_back(p.begin(), p.end()); };
        channel->onEnded = [this](const std::optional<std::string>&) { ++ends; };
    }
    static std::vector<uint8_t> header(uint32_t length) {
        return {'F', 'T', 'R', 'X', uint8_t(length), uint8_t(length >> 8), uint8_t(length >> 16), uint8_t(length >> 24)};
    }
};

TEST_F(FrameCutter, DeliversSplitAndMergedFramesWhole) {
    const std::vector<uint8_t> a{1, 2, 3, 4, 5, 6}, b{7}, empty;
    auto frameA = FileTransferChannelConnection::encodeFrame(a);
    // Header in one read, payload over three.
    channel->receiveForTesting(std::span(frameA).first(8));
    channel->receiveForTesting(std::span(frameA).subspan(8, 2));
    channel->receiveForTesting(std::span(frameA).subspan(10, 1));
    EXPECT_TRUE(frames.empty());
    channel->receiveForTesting(std::span(frameA).subspan(11));
    // Three frames in one read, then a partial fourth header.
    std::vector<uint8_t> merged;
    for (const auto& p : {b, empty, a}) {
        auto f = FileTransferChannelConnection::encodeFrame(p);
        merged.insert(merged.end(), f.begin(), f.end());
    }
    merged.insert(merged.end(), {'F', 'T'});
    channel->receiveForTesting(merged);
    EXPECT_EQ(frames, (std::vector<std::vector<uint8_t>>{a, b, empty, a}));
    EXPECT_EQ(ends, 0);
}

TEST_F(FrameCutter, AcceptsTheLargestPayloadAndClosesOnAnythingLarger) {
    std::vector<uint8_t> big(FileTransferChannelConstants::maxPayloadSize, 0x5A);
    auto frame = FileTransferChannelConnection::encodeFrame(big);
    channel->receiveForTesting(frame);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].size(), 8388608u);

    channel->receiveForTesting(header(8388609));
    EXPECT_EQ(ends, 1);
    EXPECT_EQ(lines.back(), "file aux payload too large (8388609); closing");
    // Ended: nothing further is cut, and the end is told once.
    channel->receiveForTesting(FileTransferChannelConnection::encodeFrame(big));
    channel->cancel();
    EXPECT_EQ(frames.size(), 1u);
    EXPECT_EQ(ends, 1);
}

TEST_F(FrameCutter, GarbageEndsTheChannelAtTheNextFrameBoundary) {
    auto frame = FileTransferChannelConnection::encodeFrame(std::vector<uint8_t>{9});
    frame.insert(frame.end(), {'X', 'X', 'X', 'X', 0, 0, 0, 0, 'F', 'T', 'R', 'X', 0, 0, 0, 0});
    channel->receiveForTesting(frame);
    EXPECT_EQ(frames.size(), 1u);
    EXPECT_EQ(ends, 1);
    EXPECT_EQ(lines.back(), "file aux magic mismatch; closing");
}

TEST_F(FrameCutter, ALengthTheOwnerRefusesEndsBeforeThePayloadArrives) {
    channel->acceptsPayloadLength = [](uint32_t length) { return length == 16; };
    channel->receiveForTesting(header(8388608));
    EXPECT_EQ(ends, 1);
    EXPECT_TRUE(frames.empty());
}

TEST_F(FrameCutter, APausedChannelCutsNoFrameUntilResumedAndAHandlerMayPauseMidRead) {
    const std::vector<uint8_t> a{1}, b{2, 2}, c{3, 3, 3};
    std::vector<uint8_t> three;
    for (const auto& p : {a, b, c}) {
        auto f = FileTransferChannelConnection::encodeFrame(p);
        three.insert(three.end(), f.begin(), f.end());
    }
    // The handler stops reading after the first frame of one read.
    channel->onFrame = [this](std::span<const uint8_t> p) {
        frames.emplace_back(p.begin(), p.end());
        if (frames.size() == 1) channel->pauseReading();
    };
    channel->receiveForTesting(three);
    EXPECT_EQ(frames, (std::vector<std::vector<uint8_t>>{a}));
    EXPECT_TRUE(channel->isReadingPaused());
    // Bytes that were already read wait too.
    channel->receiveForTesting(FileTransferChannelConnection::encodeFrame(a));
    EXPECT_EQ(frames.size(), 1u);
    channel->resumeReading();
    EXPECT_EQ(frames, (std::vector<std::vector<uint8_t>>{a, b, c, a}));
    EXPECT_FALSE(channel->isReadingPaused());
    EXPECT_EQ(ends, 0);
}

// However frames are split over reads, whatever turns and pauses come
// between them, every frame arrives whole, once and in order, and nothing
// stays buffered once all are served.
TEST_F(FrameCutter, FramesSplitAnyWayOverTurnsAndPausesArriveWholeAndInOrder) {
    for (uint32_t seed = 1; seed <= 20; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 random(seed);
        frames.clear();
        std::vector<std::vector<uint8_t>> sent;
        std::vector<uint8_t> stream;
        // More frames than a few turns serve, of sizes from empty to larger
        // than one read.
        for (int i = 0; i < 400; ++i) {
            std::vector<uint8_t> payload(random() % 10 ? random() % 40 : random() % 70000, uint8_t(i));
            auto frame = FileTransferChannelConnection::encodeFrame(payload);
            stream.insert(stream.end(), frame.begin(), frame.end());
            sent.push_back(std::move(payload));
        }
        bool paused = false;
        for (size_t at = 0; at < stream.size();) {
            const size_t n = std::min(stream.size() - at, size_t{1} + random() % 300000);
            channel->receiveForTesting(std::span(stream).subspan(at, n));
            at += n;
            switch (random() % 4) {
                case 0: runUntilIdle(); break;
                case 1: channel->pauseReading(), paused = true; break;
                case 2: channel->resumeReading(), paused = false; break;
                default: break;
            }
            // Whatever turns still wait, the served bytes kept in front
            // never outgrow the waiting ones its peer's account counts.
            const size_t waiting = channel->bufferedBytesForTesting();
            ASSERT_LE(channel->heldBytesForTesting() - waiting, waiting) << "after " << at << " bytes";
            if (paused) continue;
            // Once the turns have run, what stays is the unfinished frame
            // alone: served bytes never wait behind it.
            runUntilIdle();
            size_t served = 0;
            for (size_t i = 0; i < frames.size(); ++i) served += 8 + sent[i].size();
            ASSERT_EQ(channel->heldBytesForTesting(), at - served) << "after " << at << " bytes";
        }
        channel->resumeReading();
        runUntilIdle();
        EXPECT_EQ(frames, sent);
        EXPECT_EQ(channel->bufferedBytesForTesting(), 0u);
        EXPECT_EQ(ends, 0);
    }
}

}  // namespace
