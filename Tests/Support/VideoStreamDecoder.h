#pragma once
// libavcodec's decoder fed the way a Viewer feeds it: the parameter sets
// with start codes first, then each frame with its 4-byte big-endian
// lengths turned into start codes.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

namespace platform::testing {

// Splits a frame of 4-byte big-endian lengths into its NAL units; fails the
// test when a length runs past the frame.
std::vector<std::vector<uint8_t>> nalUnits(std::span<const uint8_t> frame);

struct DecodedPicture {
    int width = 0, height = 0;
    AVPixelFormat format = AV_PIX_FMT_NONE;
    bool keyFrame = false;
    int profile = -1;
    // Samples at the point asked for, given as fractions of the picture.
    uint8_t y = 0, cb = 0, cr = 0;
};

class VideoStreamDecoder {
public:
    VideoStreamDecoder(bool hevc, std::span<const uint8_t> vps, std::span<const uint8_t> sps,
                       std::span<const uint8_t> pps);
    ~VideoStreamDecoder();
    VideoStreamDecoder(const VideoStreamDecoder&) = delete;
    VideoStreamDecoder& operator=(const VideoStreamDecoder&) = delete;

    // The picture the frame decodes to, or none when the decoder refuses it
    // or holds it back.
    std::optional<DecodedPicture> decode(std::span<const uint8_t> frame, double sampleX = 0.5, double sampleY = 0.5);

private:
    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    std::vector<uint8_t> pending_;
};

}  // namespace platform::testing
