// Which geometry a Viewer is told about, and when a scheduled layout goes
// out. (Sending to sessions is covered end to end with the server.)

#include <gtest/gtest.h>

#include "DisplayTestSupport.h"
#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "HostApp/Display/HeadlessVirtualDisplay.h"

using namespace platform;

namespace {

class LayoutPublishing : public DisplayTest {
protected:
    LayoutPublishing() { HeadlessVirtualDisplay::resetSharedForTesting(); }
    DisplayLayoutPayload current() {
        return server->queue.syncValue([&] { return server->currentDisplayLayout(); });
    }
    static DisplayLayoutPayload sized(uint32_t id, int64_t w, int64_t h, int64_t pw, int64_t ph, uint8_t flags) {
        DisplayLayoutPayload p;
        p.displayID = id;
        p.targetWidth = p.unionWidth = w;
        p.targetHeight = p.unionHeight = h;
        p.pixelWidth = pw;
        p.pixelHeight = ph;
        p.flags = flags;
        return p;
    }
    std::shared_ptr<V230HostAudioAuxServer> server = std::make_shared<V230HostAudioAuxServer>();
};

TEST_F(LayoutPublishing, RealDisplayUnlessTheVirtualDisplayIsLiveAndInUse) {
    server->queue.sync([&] {
        EXPECT_FALSE(server->lastDisplayLayout.has_value());
        server->selectedDisplayID = 1;
        server->useHeadlessVirtualDisplay = true;  // selected, but no virtual display exists
    });
    EXPECT_EQ(current(), HostDisplayModeSwitcher::displayLayout(1).value());
    server->queue.sync([&] { EXPECT_EQ(server->lastDisplayLayout, HostDisplayModeSwitcher::displayLayout(1)); });

    ASSERT_FALSE(HeadlessVirtualDisplay::shared().startPresetDisplay(HeadlessVirtualDisplay::easyPreset(),
                                                                     "Norvessal Presets", 1));
    const auto snapshot = HeadlessVirtualDisplay::shared().stateSnapshot();
    // The virtual display is placed at the Viewer's origin whatever its place.
    EXPECT_EQ(current(), sized(snapshot.displayID, 1280, 800, 2560, 1600, 1));
    server->queue.sync([&] { server->useHeadlessVirtualDisplay = false; });
    EXPECT_EQ(current(), HostDisplayModeSwitcher::displayLayout(1).value());
}

TEST_F(LayoutPublishing, WithoutADisplayTheModesOwnSizeStandsIn) {
    const struct { VideoCaptureMode mode; int64_t w, h; } cases[] = {{VideoCaptureMode::max, 2880, 1620},
                 {VideoCaptureMode::physical1080, 1920, 1080},
                 {static_cast<VideoCaptureMode>(2), 1280, 800}};  // no such mode: Easy's
    // With the virtual display chosen but not made, there is no HiDPI
    // display to describe either: the request's headless preset (Easy,
    // 2560 pixels wide) must not stand in for it.
    for (bool headlessSelected : {false, true}) {
        for (const auto& c : cases) {
            server->queue.sync([&] {
                server->selectedDisplayID = 77;
                server->useHeadlessVirtualDisplay = headlessSelected;
                server->streamControl.currentVideoMode = c.mode;
            });
            EXPECT_EQ(current(), sized(77, c.w, c.h, c.w, c.h, 0)) << c.w << " headless " << headlessSelected;
        }
    }
}

TEST_F(LayoutPublishing, ManagedLayoutFallsBackToTheAdaptiveProfile) {
    const struct { VideoCaptureMode mode; VideoCaptureBackend backend; DisplayLayoutPayload expected; } cases[] = {
        // 1280 x 800 points at 2560 pixels: twice, so HiDPI.
        {VideoCaptureMode::easy, VideoCaptureBackend::headlessVirtual, sized(9, 1280, 800, 2560, 1600, 1)},
        {VideoCaptureMode::physical1080, VideoCaptureBackend::physical, sized(9, 1920, 1080, 1920, 1080, 0)},
    };
    for (const auto& c : cases) {
        auto layout = server->queue.syncValue([&] {
            server->streamControl.currentCaptureRequest =
                CaptureModeControlPayload::preset(c.mode, VideoChromaMode::yuv420, c.backend);
            return server->managedHeadlessDisplayLayout(9);
        });
        EXPECT_EQ(layout, c.expected) << layout.summary();
    }
}

TEST_F(LayoutPublishing, ScheduledPublishWaitsAtLeast50Ms) {
    server->queue.sync([&] {
        server->selectedDisplayID = 1;
        server->scheduleDisplayLayoutPublish(0);
    });
    const std::string line = "display layout " + HostDisplayModeSwitcher::displayLayout(1)->summary();
    advance(0.049);
    EXPECT_FALSE(logContains(line));
    advance(0.001);
    EXPECT_TRUE(logContains(line));
}

}  // namespace
