#include <gtest/gtest.h>

#include "DisplayTargetFixture.h"
#include "HostApp/StreamControl/StreamChangePacer.h"
#include "Platform/Foundation/NotificationCenter.h"

using platform::SimulatedDisplaySystem;

namespace {

struct Command {
    const char* name;
    AuxPacketType type;
    uint8_t value;
    const char* text;
};

void send(AuxTestClient& client, const Command& c) {
    const uint8_t payload[] = {c.value};
    client.send(c.type, payload);
    client.settle();
}

}  // namespace

// Types 24 and 34 never take the Host's own virtual display for a real one,
// even when the state names it as the physical display.
TEST_F(HeadlessMacTest, DisplayCommandsWithoutARealDisplayChangeNothing) {
    apply(VideoCaptureMode::pro, VideoCaptureBackend::headlessVirtual);
    advance(2);
    const uint32_t virtualID = virtualDisplayID();
    ASSERT_NE(virtualID, 0u);
    onServer([&] { server->physicalDisplayID = server->selectedDisplayID = virtualID; });
    const Command commands[] = {
        {"1080p", AuxPacketType::hostDisplayModeControl, 0,
         "display: host display control ignored; no real display selected"},
        {"native", AuxPacketType::hostDisplayModeControl, 2,
         "display: host display control ignored; no real display selected"},
        {"main", AuxPacketType::hostPhysicalDisplayControl, 1,
         "display: host physical display control ignored; no real display available"},
        {"next", AuxPacketType::hostPhysicalDisplayControl, 2,
         "display: host physical display control ignored; no real display available"},
    };
    for (const auto& c : commands) {
        SCOPED_TRACE(c.name);
        // Each command after the hold of the one before.
        advance(StreamChangePacer::holdSeconds);
        send(*viewer, c);
        EXPECT_TRUE(received(*viewer, c.text));
        EXPECT_EQ(virtualDisplayID(), virtualID);
        onServer([&] {
            EXPECT_TRUE(server->useHeadlessVirtualDisplay);
            EXPECT_EQ(server->selectedDisplayID, virtualID);
        });
    }
}

TEST_F(DisplayTargetTest, DisplayCommandsOnAnUnchangedDisplayOnlyReport) {
    const Command commands[] = {
        {"native with nothing saved", AuxPacketType::hostDisplayModeControl, 2,
         "display: no saved original mode for display=1"},
        {"next with one display", AuxPacketType::hostPhysicalDisplayControl, 2,
         "display: physical next already selected display=1"},
        {"main", AuxPacketType::hostPhysicalDisplayControl, 1, "display: physical main already selected display=1"},
    };
    for (const auto& c : commands) {
        SCOPED_TRACE(c.name);
        forgetCaptureStarts();
        send(*viewer, c);
        EXPECT_TRUE(received(*viewer, c.text));
        // Past the hold of this display change, before the next one.
        advance(StreamChangePacer::holdSeconds);
        EXPECT_FALSE(captureStartAttempted());
    }
}

TEST_F(DisplayTargetTest, HostDisplayModeLeavesTheVirtualDisplayForTheRealOne) {
    apply(VideoCaptureMode::pro, VideoCaptureBackend::headlessVirtual);
    advance(2);
    ASSERT_NE(virtualDisplayID(), 0u);
    forgetCaptureStarts();
    send(*viewer, {"1080p", AuxPacketType::hostDisplayModeControl, 0, ""});
    EXPECT_EQ(virtualDisplayID(), 0u);
    EXPECT_TRUE(received(*viewer, "display: headless virtual display disabled; selected real display=1"));
    EXPECT_TRUE(receivedStartingWith(*viewer, "display: switched physical mode=1080p display=1 1920x1080"));
    EXPECT_TRUE(logContains("host display request Host 1080 using capture Physical 1080p; restarting encoder"));
    onServer([&] {
        EXPECT_FALSE(server->useHeadlessVirtualDisplay);
        EXPECT_TRUE(server->displaySelectionIsManual);
        EXPECT_EQ(server->selectedDisplayID, 1u);
        EXPECT_EQ(server->streamControl.currentCaptureRequest.backend, VideoCaptureBackend::physical);
    });
    advance(0.5);
    EXPECT_FALSE(captureStartAttempted());
    advance(0.3);
    EXPECT_TRUE(captureStartAttempted());

    // Native puts the display's own mode back, once the switch has held:
    // its stream never flows again here (the capture has no permission),
    // so its hold runs once the stream's wait is over, and no sooner.
    advance(StreamChangePacer::streamWaitSeconds);
    send(*viewer, {"native", AuxPacketType::hostDisplayModeControl, 2, ""});
    EXPECT_FALSE(receivedStartingWith(*viewer, "display: restored original display=1 1512x982"));
    advance(StreamChangePacer::holdSeconds);
    EXPECT_TRUE(receivedStartingWith(*viewer, "display: restored original display=1 1512x982"));
}

TEST_F(DisplayTargetTest, OnlyLoggedInViewersCountAsMultiple) {
    const Command next{"next", AuxPacketType::hostPhysicalDisplayControl, 2, ""};
    const std::string refusal = "display: ignored remote physical display action next while multiple viewers are active";
    auto pending1 = videoClient();
    auto pending2 = audioClient();
    ASSERT_TRUE(waitForSessions(1, 2));
    send(*viewer, next);
    EXPECT_FALSE(received(*viewer, refusal));
    EXPECT_TRUE(received(*viewer, "display: physical next already selected display=1"));

    auto second = loggedInViewer();
    advance(StreamChangePacer::holdSeconds);
    send(*viewer, next);
    EXPECT_TRUE(received(*viewer, refusal));
}

TEST_F(DisplayTargetTest, MainRestoresTheSecondaryDisplayItLeaves) {
    displays().configureBuiltInWithExternal1440();
    advance(1);
    onServer([&] {
        ASSERT_TRUE(HostDisplayModeSwitcher::switchDisplayMode(1920, 1080, 0, 0, false, false, false, 2u, false)
                        .isSuccess());
        server->selectedDisplayID = server->physicalDisplayID = 2;
    });
    forgetCaptureStarts();
    send(*viewer, {"main", AuxPacketType::hostPhysicalDisplayControl, 1, ""});
    EXPECT_TRUE(logContains("switching remote physical target to 1; restored original display=2 2560x1440"));
    EXPECT_TRUE(received(*viewer, "display: selected display 1; display switch fallback disabled"));
    onServer([&] {
        EXPECT_EQ(server->selectedDisplayID, 1u);
        EXPECT_EQ(HostDisplayModeSwitcher::savedModes.count(2), 0u);
    });
}

TEST_F(DisplayTargetTest, SelectingADisplayTakesRealDisplaysOnly) {
    apply(VideoCaptureMode::pro, VideoCaptureBackend::headlessVirtual);
    advance(2);
    const uint32_t virtualID = virtualDisplayID();
    ASSERT_NE(virtualID, 0u);

    server->selectDisplayID(virtualID);
    server->selectDisplayID(77);
    advance(0.1);
    EXPECT_EQ(logCount("is not an active real display"), 2u);
    EXPECT_EQ(server->physicalDisplayIDSnapshot(), 1u);

    // While the virtual display is captured only the audio and fallback
    // display changes.
    server->selectDisplayID(1);
    advance(0.1);
    EXPECT_TRUE(received(*viewer, "display: selected physical display=1 while virtual display remains active"));
    EXPECT_TRUE(server->headlessVirtualDisplayEnabledSnapshot());
    EXPECT_EQ(server->selectedDisplayIDSnapshot(), virtualID);
}

TEST_F(DisplayTargetTest, SwitchingTheVirtualDisplayOnAndOff) {
    // Easy would take the real display at once; Pro stays on the virtual one.
    onServer([&] { server->streamControl.currentVideoMode = VideoCaptureMode::pro; });
    server->setHeadlessVirtualDisplayEnabled(true);
    server->setHeadlessVirtualDisplayEnabled(true);
    advance(2);
    EXPECT_EQ(logCount("] headless virtual display enabled"), 1u);
    EXPECT_NE(virtualDisplayID(), 0u);
    EXPECT_EQ(server->selectedDisplayIDSnapshot(), virtualDisplayID());

    onServer([&] { server->physicalDisplayID = 0; });
    server->setHeadlessVirtualDisplayEnabled(false);
    advance(2);
    EXPECT_TRUE(received(*viewer, "display: headless virtual display disabled; selected real display=0"));
    onServer([&] {
        EXPECT_FALSE(server->useHeadlessVirtualDisplay);
        EXPECT_EQ(server->streamControl.currentCaptureRequest.backend, VideoCaptureBackend::physical);
    });
}

TEST_F(DisplayTargetTest, ABurstOfDisplayChangesGivesOneRecoveryAfterTheLast) {
    advance(1);
    const auto post = [] {
        platform::NotificationCenter::defaultCenter().post(
            platform::Notification{platform::kScreenParametersChangedNotification, {}});
    };
    const size_t before = logCount("display layout ");
    for (int i = 0; i < 10; ++i) {
        post();
        advance(0.04);
    }
    advance(0.45);
    EXPECT_EQ(logCount("display layout "), before);
    advance(0.1);
    EXPECT_EQ(logCount("display layout "), before + 1);

    onServer([&] { server->screensAreSleeping = true; });
    post();
    advance(1);
    EXPECT_EQ(logCount("display layout "), before + 1);
}

// Screen Sharing's own display is no real display, even as the main one.
class ScreenSharingDisplayTest : public DisplayTargetTest {
protected:
    static constexpr uint32_t sharingID = 40;
    void prepareMachine() override {
        auto sharing = SimulatedDisplaySystem::plainMonitor(sharingID, 1920, 1080, 0, 0);
        sharing.vendorNumber = platform::kUnknownDisplayVendor;
        sharing.modelNumber = platform::kVirtualDisplayModel;
        displays().setDisplays({sharing, SimulatedDisplaySystem::plainMonitor(3, 1280, 720, 1920, 0)});
    }
};

TEST_F(ScreenSharingDisplayTest, StartupChoosesTheRealDisplay) {
    onServer([&] {
        EXPECT_EQ(platform::CGMainDisplayID(), sharingID);
        EXPECT_EQ(server->startupPhysicalDisplayID, 3u);
        EXPECT_EQ(server->usablePhysicalDisplayID(), 3u);
        // Its service is not running, so it is not reported.
        EXPECT_EQ(server->activeScreenSharingDisplayID(), std::nullopt);
    });
}
