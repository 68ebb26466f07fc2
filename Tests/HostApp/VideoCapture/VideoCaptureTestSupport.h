#pragma once
// Helpers of the capture tests: a display set-up on the simulated machine, a
// recorder of every capture callback, and libavcodec's decoder fed the way a
// Viewer feeds it.

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "HostApp/Capture/HostVideoCapture.h"
#include "Platform/CoreGraphicsDisplays.h"
#include "Platform/ScreenCaptureKit.h"
#include "Platform/SimulatedMachine.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

namespace capturetest {

using Bytes = std::vector<uint8_t>;

inline platform::SimulatedDisplaySystem& displays() {
    return platform::SimulatedMachine::current().component<platform::SimulatedDisplaySystem>();
}
inline platform::SimulatedScreenCapture& screenCapture() {
    return platform::SimulatedMachine::current().component<platform::SimulatedScreenCapture>();
}

// A machine with one plain monitor of the given size.
inline void useMonitor(uint32_t id, int width, int height) {
    displays().setDisplays({platform::SimulatedDisplaySystem::plainMonitor(id, width, height, 0, 0)});
}

// A request for a small canvas, so that encoding stays cheap.
inline CaptureModeControlPayload smallRequest(VideoStreamCodec codec, VideoChromaMode chroma, int width, int height) {
    auto request = CaptureModeControlPayload::preset(VideoCaptureMode::physical1080, chroma, VideoCaptureBackend::physical);
    request.codec = codec;
    request.logicalWidth = request.pixelWidth = width;
    request.logicalHeight = request.pixelHeight = height;
    return request;
}

struct RecordedFrame {
    Bytes bytes;
    bool isKeyFrame = false;
    uint64_t timestampNs = 0;
};

// Every callback of a capture, in order.
struct Recorder {
    std::vector<std::string> events;  // "started", "config", "frame", "error"
    std::vector<VideoStreamConfigPayload> configs;
    std::vector<RecordedFrame> frames;
    std::vector<std::string> messages;
    std::vector<bool> samples;
    std::vector<DisplayLayoutPayload> layouts;
    int captured = 0;
    int idle = 0;
    std::vector<std::pair<std::shared_ptr<platform::PixelBuffer>, uint64_t>> recordings;
    std::vector<HostVideoCapture*> retained, recovered;
    bool congested = false;

    void attach(HostVideoCapture& c) {
        c.checkNetworkCongestion = [this] { return congested; };
        c.onStarted = [this] { events.push_back("started"); };
        c.onConfig = [this](const VideoStreamConfigPayload& config) {
            events.push_back("config");
            configs.push_back(config);
        };
        c.onFrame = [this](std::span<const uint8_t> bytes, bool key, uint64_t ts) {
            events.push_back("frame");
            frames.push_back({Bytes(bytes.begin(), bytes.end()), key, ts});
        };
        c.onDisplayLayout = [this](const DisplayLayoutPayload& layout) { layouts.push_back(layout); };
        c.onCapturedFrame = [this] { captured++; };
        c.onCapturedIdleFrame = [this] { idle++; };
        c.onSample = [this](bool submitted) { samples.push_back(submitted); };
        c.onError = [this](const std::string& message) {
            events.push_back("error");
            messages.push_back(message);
        };
        c.onRetiredStreamRetained = [this](const std::shared_ptr<HostVideoCapture>& s) { retained.push_back(s.get()); };
        c.onRetiredStreamRecovered = [this](const std::shared_ptr<HostVideoCapture>& s) { recovered.push_back(s.get()); };
        c.onRecordingFrame = [this](const std::shared_ptr<platform::PixelBuffer>& b, uint64_t ts) {
            recordings.emplace_back(b, ts);
        };
    }

    size_t countMessagesStartingWith(const std::string& prefix) const {
        size_t n = 0;
        for (const auto& m : messages) n += m.starts_with(prefix) ? 1 : 0;
        return n;
    }
    bool hasMessageContaining(const std::string& text) const {
        for (const auto& m : messages) {
            if (m.find(text) != std::string::npos) return true;
        }
        return false;
    }
};

// Splits a frame of 4-byte big-endian lengths into its NAL units; fails the
// test when a length runs past the frame.
inline std::vector<Bytes> nalUnits(std::span<const uint8_t> frame) {
    std::vector<Bytes> units;
    size_t at = 0;
    while (at < frame.size()) {
        if (frame.size() - at < 4) {
            ADD_FAILURE() << "truncated length at " << at;
            return units;
        }
        const size_t length = (size_t(frame[at]) << 24) | (size_t(frame[at + 1]) << 16) |
                              (size_t(frame[at + 2]) << 8) | frame[at + 3];
        at += 4;
        if (length == 0 || length > frame.size() - at) {
            ADD_FAILURE() << "NAL length " << length << " runs past the frame";
            return units;
        }
        units.emplace_back(frame.begin() + long(at), frame.begin() + long(at + length));
        at += length;
    }
    return units;
}

inline void appendAnnexB(Bytes& out, std::span<const uint8_t> nal) {
    static const uint8_t startCode[] = {0, 0, 0, 1};
    out.insert(out.end(), std::begin(startCode), std::end(startCode));
    out.insert(out.end(), nal.begin(), nal.end());
}

struct DecodedPicture {
    int width = 0, height = 0;
    AVPixelFormat format = AV_PIX_FMT_NONE;
    bool keyFrame = false;
    // Samples at a point given as fractions of the picture.
    uint8_t y = 0, cb = 0, cr = 0;
};

// libavcodec's decoder, given the configuration's parameter sets with start
// codes, then each frame with its lengths turned into start codes.
class ViewerDecoder {
public:
    explicit ViewerDecoder(const VideoStreamConfigPayload& config) {
        const AVCodec* decoder =
            avcodec_find_decoder(config.codec == VideoStreamCodec::hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
        context_ = avcodec_alloc_context3(decoder);
        EXPECT_EQ(avcodec_open2(context_, decoder, nullptr), 0);
        frame_ = av_frame_alloc();
        packet_ = av_packet_alloc();
        if (!config.vps.empty()) appendAnnexB(pending_, config.vps);
        appendAnnexB(pending_, config.sps);
        appendAnnexB(pending_, config.pps);
    }
    ~ViewerDecoder() {
        av_packet_free(&packet_);
        av_frame_free(&frame_);
        avcodec_free_context(&context_);
    }
    ViewerDecoder(const ViewerDecoder&) = delete;
    ViewerDecoder& operator=(const ViewerDecoder&) = delete;

    std::optional<DecodedPicture> decode(std::span<const uint8_t> frame, double sampleX = 0.5, double sampleY = 0.5) {
        Bytes stream = std::move(pending_);
        pending_.clear();
        for (const auto& nal : nalUnits(frame)) appendAnnexB(stream, nal);
        packet_->data = stream.data();
        packet_->size = int(stream.size());
        if (avcodec_send_packet(context_, packet_) < 0) return std::nullopt;
        if (avcodec_receive_frame(context_, frame_) < 0) return std::nullopt;
        DecodedPicture p;
        p.width = frame_->width;
        p.height = frame_->height;
        p.format = AVPixelFormat(frame_->format);
        p.keyFrame = frame_->key_frame != 0;
        const int x = std::min(frame_->width - 1, int(sampleX * frame_->width));
        const int y = std::min(frame_->height - 1, int(sampleY * frame_->height));
        const bool subsampled = p.format == AV_PIX_FMT_YUV420P;
        p.y = frame_->data[0][y * frame_->linesize[0] + x];
        const int cx = subsampled ? x / 2 : x, cy = subsampled ? y / 2 : y;
        p.cb = frame_->data[1][cy * frame_->linesize[1] + cx];
        p.cr = frame_->data[2][cy * frame_->linesize[2] + cx];
        av_frame_unref(frame_);
        return p;
    }

private:
    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    Bytes pending_;
};

// A BGRA buffer whose left part is red and right part blue, split at `split`
// (a fraction of the width).
inline std::shared_ptr<platform::PixelBuffer> twoColourBuffer(int width, int height, double split = 0.5) {
    auto buffer = std::make_shared<platform::PixelBuffer>(width, height);
    const int edge = int(split * width);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = buffer->data() + size_t(y) * buffer->bytesPerRow();
        for (int x = 0; x < width; ++x) {
            uint8_t* p = row + x * 4;
            const bool red = x < edge;
            p[0] = red ? 0 : 255;  // B
            p[1] = 0;              // G
            p[2] = red ? 255 : 0;  // R
            p[3] = 255;
        }
    }
    return buffer;
}

inline platform::SCCapturedFrame completeFrame(std::shared_ptr<platform::PixelBuffer> buffer, uint64_t timestampNs) {
    platform::SCCapturedFrame frame;
    frame.status = platform::SCFrameStatus::complete;
    frame.buffer = std::move(buffer);
    frame.timestampNs = timestampNs;
    return frame;
}

// Blue reads as high Cb and low Cr, red the other way round.
inline bool looksBlue(const DecodedPicture& p) { return p.cb > 200 && p.cr < 140; }
inline bool looksRed(const DecodedPicture& p) { return p.cr > 200 && p.cb < 140; }

}  // namespace capturetest
