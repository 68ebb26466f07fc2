#pragma once
// The server with one logged-in video Viewer whose default start is
// cancelled, so each test applies the modes itself. Screen Recording is
// refused: capture restarts are observed, but no capture encodes the
// virtual display's large canvas.

#include <memory>
#include <string>
#include <vector>

#include "HostApp/AuxServerE2E/AuxServerTestFixture.h"
#include "HostApp/Display/HeadlessVirtualDisplay.h"
#include "HostApp/Display/HostDisplayModeSwitcher.h"
#include "Platform/SimulatedMac/CoreGraphicsDisplays.h"
#include "Platform/SimulatedMac/VirtualDisplayClasses.h"

class DisplayTargetTest : public AuxServerTest {
protected:
    void SetUp() override {
        HostDisplayModeSwitcher::clearSavedModesForTesting();
        prepareMachine();
        AuxServerTest::SetUp();
        platform::SimulatedMachine::current().setPermission(platform::Permission::screenRecording, false);
        viewer = loggedInViewer();
    }
    void TearDown() override {
        viewer.reset();
        AuxServerTest::TearDown();
        HostDisplayModeSwitcher::clearSavedModesForTesting();
    }
    // The machine as the server finds it at start.
    virtual void prepareMachine() {}

    static platform::SimulatedDisplaySystem& displays() {
        return platform::SimulatedMachine::current().component<platform::SimulatedDisplaySystem>();
    }
    static platform::SimulatedVirtualDisplayClasses& virtualDisplayClasses() {
        return platform::SimulatedMachine::current().component<platform::SimulatedVirtualDisplayClasses>();
    }

    std::unique_ptr<AuxTestClient> loggedInViewer() {
        auto client = videoClient();
        EXPECT_TRUE(client->logIn(consoleUser, password, "Mac Viewer"));
        server->queue.sync([&] {
            auto& task = server->streamControl.initialVideoCaptureStartTask;
            if (task) task->cancel();
        });
        return client;
    }

    void onServer(const std::function<void()>& work) { server->queue.sync(work); }

    // A request for the mode on that backend, applied as arbitration would.
    void apply(VideoCaptureMode mode, VideoCaptureBackend backend) {
        onServer([&] {
            server->streamControl.currentCaptureRequest =
                CaptureModeControlPayload::preset(mode, VideoChromaMode::yuv420, backend);
            server->applyVideoCaptureMode(mode);
        });
    }

    // A capture start leaves its permission retry armed; a restart clears
    // it at once and the delayed start arms it again.
    bool captureStartAttempted() {
        return server->queue.syncValue([&] { return server->streamControl.videoStartPermissionRetryTask != nullptr; });
    }
    void forgetCaptureStarts() {
        onServer([&] {
            auto& task = server->streamControl.videoStartPermissionRetryTask;
            if (task) task->cancel();
            task.reset();
        });
    }

    std::vector<std::string> texts(AuxTestClient& client) {
        client.settle();
        std::vector<std::string> out;
        for (auto& p : client.packets())
            if (p.header.type == AuxPacketType::hostStatus) out.push_back(p.text());
        return out;
    }
    bool received(AuxTestClient& client, const std::string& text) {
        auto all = texts(client);
        return std::find(all.begin(), all.end(), text) != all.end();
    }
    bool receivedStartingWith(AuxTestClient& client, const std::string& prefix) {
        for (const auto& t : texts(client))
            if (t.rfind(prefix, 0) == 0) return true;
        return false;
    }

    uint32_t virtualDisplayID() { return HeadlessVirtualDisplay::shared().stateSnapshot().displayID; }

    std::unique_ptr<AuxTestClient> viewer;
};

// A Mac that started without any real display.
class HeadlessMacTest : public DisplayTargetTest {
protected:
    void prepareMachine() override { displays().configureHeadless(); }
};
