#pragma once
// The video pipeline with the policies between Viewers in reach: requests
// applied as the control dispatch applies them, and a shared capture that
// is already running before the case starts.

#include <string>

#include "HostApp/AuxServerE2E/VideoPipelineFixture.h"
#include "Platform/SimulatedMac/SimulatedProcessor.h"

class StreamPolicyTest : public VideoPipelineTest {
protected:
    void TearDown() override {
        processor().setAppleSilicon(true);
        VideoPipelineTest::TearDown();
    }

    // A display without a physical size is no physical display: the Host
    // counts as headless, yet there is a screen to capture.
    static void presentSoftwareDisplayOnly() {
        auto software = platform::SimulatedDisplaySystem::plainMonitor(monitorID, 320, 180, 0, 0);
        software.physicalSizeMM = {0, 0};
        machineDisplays().setDisplays({software});
    }

    static platform::SimulatedProcessor& processor() {
        return platform::SimulatedMachine::current().component<platform::SimulatedProcessor>();
    }

    void apply(const CaptureModeControlPayload& request, const PipelineViewer& from) {
        server->queue.sync([&] { server->applyVideoCaptureRequest(request, from.id); });
    }

    static CaptureModeControlPayload explicitly(CaptureModeControlPayload request) {
        request.controlIntent = CaptureModeControlPayload::intentExplicit;
        return request;
    }

    // The first Viewer, whose explicit request the running capture serves.
    std::unique_ptr<PipelineViewer> streamingViewer() {
        auto v = viewer("Mac Viewer", false);
        apply(explicitly(sharedRequest()), *v);
        // The request may find nothing to change; the capture starts anyway.
        server->queue.sync([&] {
            if (!server->streamControl.videoCapture) server->restartVideoCapture(0);
        });
        run(0.5, {v.get()});
        EXPECT_TRUE(capturing());
        return v;
    }

    bool capturing() {
        return server->queue.syncValue([&] { return server->streamControl.videoCapture != nullptr; });
    }
    CaptureModeControlPayload currentRequest() {
        return server->queue.syncValue([&] { return server->streamControl.currentCaptureRequest; });
    }
    std::string ignoredLine(const PipelineViewer& v) const {
        return "capture mode refresh ignored from " + v.id.id8() + "; keeping shared " +
               modeTitle(sharedRequest().mode);
    }
};

// A monitor that already runs Physical 1080p, shared at 30 fps in H.264: a
// request of that mode needs no display switch, so what a case sees is
// the policy's own decision (or a plain encoder rebuild).
class OnAPhysical1080Monitor : public StreamPolicyTest {
protected:
    platform::SimulatedDisplay monitor() const override {
        return platform::SimulatedDisplaySystem::plainMonitor(monitorID, 1920, 1080, 0, 0);
    }
    CaptureModeControlPayload sharedRequest() const override {
        auto r = CaptureModeControlPayload::preset(VideoCaptureMode::physical1080, VideoChromaMode::yuv420,
                                                   VideoCaptureBackend::physical);
        r.codec = VideoStreamCodec::h264;
        r.fps = 30;
        r.logicalWidth = r.pixelWidth = 1920;
        r.logicalHeight = r.pixelHeight = 1080;
        return r;
    }
};
