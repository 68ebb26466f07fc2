#pragma once
// Helpers of the capture tests: a display set-up on the simulated machine, a
// recorder of every capture callback, and a Viewer's decoder.

#include <gtest/gtest.h>

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "HostApp/Capture/HostVideoCapture.h"
#include "Platform/SimulatedMac/CoreGraphicsDisplays.h"
#include "Platform/SimulatedMac/ScreenCaptureKit.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"
#include "Support/VideoStreamDecoder.h"

namespace capturetest {

using Bytes = std::vector<uint8_t>;

// The display the tests capture, and one frame at 60 a second.
constexpr uint32_t kDisplay = 7;
constexpr double kFrame = 1.0 / 60.0;

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

using platform::testing::DecodedPicture;

// The decoder a Viewer runs, primed with a configuration's parameter sets.
class ViewerDecoder : public platform::testing::VideoStreamDecoder {
public:
    explicit ViewerDecoder(const VideoStreamConfigPayload& config)
        : VideoStreamDecoder(config.codec == VideoStreamCodec::hevc, config.vps, config.sps, config.pps) {}
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
