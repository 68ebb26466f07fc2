#pragma once
// The server on a machine with one small monitor, so that real captures
// encode small pictures, and Viewers on the video channel that acknowledge
// every frame they receive, or stop doing so.

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "AuxServerTestFixture.h"
#include "Platform/SimulatedMac/CoreGraphicsDisplays.h"
#include "Platform/SimulatedMac/ScreenCaptureKit.h"
#include "Support/VideoStreamDecoder.h"

struct PipelineViewer {
    std::unique_ptr<AuxTestClient> client;
    platform::UUID id;
    bool acknowledges = true;
    size_t acknowledged = 0;

    std::vector<ReceivedAuxPacket> ofType(AuxPacketType type) const {
        std::vector<ReceivedAuxPacket> out;
        for (auto& p : client->packets())
            if (p.header.type == type) out.push_back(p);
        return out;
    }
    // Types 19 and 20 in the order they arrived.
    std::vector<AuxPacketType> videoOrder() const {
        std::vector<AuxPacketType> out;
        for (auto& p : client->packets())
            if (p.header.type == AuxPacketType::videoStreamConfig || p.header.type == AuxPacketType::videoFrame)
                out.push_back(p.header.type);
        return out;
    }
};

class VideoPipelineTest : public AuxServerTest {
protected:
    static constexpr uint32_t monitorID = 7;

    void SetUp() override {
        machineDisplays().setDisplays({monitor()});
        AuxServerTest::SetUp();
        server->queue.sync([&] {
            server->streamControl.currentCaptureRequest = sharedRequest();
            server->streamControl.currentVideoMode = sharedRequest().mode;
        });
    }

    virtual platform::SimulatedDisplay monitor() const {
        return platform::SimulatedDisplaySystem::plainMonitor(monitorID, 320, 180, 0, 0);
    }
    // What the shared stream serves before any Viewer asked.
    virtual CaptureModeControlPayload sharedRequest() const { return smallRequest(); }

    static platform::SimulatedDisplaySystem& machineDisplays() {
        return platform::SimulatedMachine::current().component<platform::SimulatedDisplaySystem>();
    }
    static platform::SimulatedScreenCapture& screenCapture() {
        return platform::SimulatedMachine::current().component<platform::SimulatedScreenCapture>();
    }

    // The whole small monitor, as H.264 at 30 fps: a default start turns it
    // into HEVC at 60.
    static CaptureModeControlPayload smallRequest() {
        auto request = CaptureModeControlPayload::preset(VideoCaptureMode::easy, VideoChromaMode::yuv420,
                                                         VideoCaptureBackend::physical);
        request.codec = VideoStreamCodec::h264;
        request.fps = 30;
        request.logicalWidth = request.pixelWidth = 320;
        request.logicalHeight = request.pixelHeight = 180;
        return request;
    }

    // A logged-in video Viewer. Without `defaultStart` the pending default
    // capture start is cancelled, for tests that feed frames themselves.
    std::unique_ptr<PipelineViewer> viewer(const std::string& name = "Mac Viewer", bool defaultStart = true) {
        auto v = std::make_unique<PipelineViewer>();
        v->client = videoClient();
        EXPECT_TRUE(v->client->logIn(consoleUser, password, name));
        server->queue.sync([&] {
            for (const auto& id : server->authorizedVideoSessions)
                if (!known_.count(id)) v->id = id;
            known_.insert(v->id);
            auto& task = server->streamControl.initialVideoCaptureStartTask;
            if (!defaultStart && task) task->cancel();
        });
        return v;
    }

    // Runs virtual time in frame steps (of a 60 fps stream unless said);
    // after each, every Viewer has what the server sent so far, and those
    // that acknowledge have acknowledged it.
    void run(double seconds, const std::vector<PipelineViewer*>& viewers, double stepsPerSecond = 60) {
        const long steps = std::lround(seconds * stepsPerSecond);
        for (long i = 0; i < steps; ++i) {
            advance(1.0 / stepsPerSecond);
            for (auto* v : viewers) {
                if (v->client->isClosed()) continue;
                v->client->settle();
                if (!v->acknowledges) continue;
                for (size_t frames = v->ofType(AuxPacketType::videoFrame).size(); v->acknowledged < frames;
                     ++v->acknowledged)
                    v->client->send(AuxPacketType::videoFrameAck, {});
            }
        }
    }

    uint64_t generation() {
        return server->queue.syncValue([&] { return server->streamControl.videoCaptureGeneration; });
    }

    // A frame as the shared capture would hand it over, delivered.
    void feedFrame(bool keyFrame, uint64_t timestampNs, std::optional<uint64_t> gen = std::nullopt) {
        const std::vector<uint8_t> nal{0, 0, 0, 2, 0x26, keyFrame ? uint8_t(1) : uint8_t(2)};
        server->broadcastVideoFrame(nal, keyFrame, timestampNs, gen.value_or(generation()),
                                    V230HostAudioAuxServer::HostVideoStreamKind::shared);
        runUntilIdle();
    }

    static VideoStreamConfigPayload fakeConfig(uint32_t width = 320) {
        VideoStreamConfigPayload config;
        config.mode = VideoCaptureMode::physical1080;
        config.codec = VideoStreamCodec::h264;
        config.width = width;
        config.height = 180;
        config.fps = 60;
        config.bitrate = 14'000'000;
        config.sps = {0x67, 0x64};
        config.pps = {0x68};
        return config;
    }

    void acceptConfig(const VideoStreamConfigPayload& config, std::optional<uint64_t> gen = std::nullopt) {
        server->queue.sync([&] {
            server->acceptVideoCaptureConfig(config, gen.value_or(server->streamControl.videoCaptureGeneration),
                                             smallRequest(), monitorID);
        });
    }

    // Decodes what a Viewer received, resetting at every configuration;
    // returns the pictures decoded and fails on a frame that does not decode.
    static size_t decodeStream(const PipelineViewer& v) {
        std::unique_ptr<platform::testing::VideoStreamDecoder> decoder;
        size_t pictures = 0;
        for (const auto& p : v.client->packets()) {
            if (p.header.type == AuxPacketType::videoStreamConfig) {
                const auto& b = p.payload;
                auto u16 = [&](size_t at) { return size_t(b[at] | (b[at + 1] << 8)); };
                const size_t vps = u16(20), sps = u16(22), pps = u16(24);
                std::span<const uint8_t> bytes(b);
                decoder = std::make_unique<platform::testing::VideoStreamDecoder>(
                    b[0] == 2, bytes.subspan(28, vps), bytes.subspan(28 + vps, sps), bytes.subspan(28 + vps + sps, pps));
            } else if (p.header.type == AuxPacketType::videoFrame && decoder) {
                auto picture = decoder->decode(p.payload);
                EXPECT_TRUE(picture.has_value());
                if (picture) {
                    EXPECT_EQ(picture->keyFrame, (p.header.flags & 1) != 0);
                    ++pictures;
                }
            }
        }
        return pictures;
    }

private:
    std::set<platform::UUID> known_;
};
