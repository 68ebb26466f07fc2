// Coexistence with the Mac's Screen Sharing on a Mac that started without a
// physical display: the service probe, yielding the desktop while nobody is
// connected, taking it back, and the heal requests for the updater.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>

#include "HostApp/Updates/HostOnlineUpdateRequest.h"
#include "Platform/Runtime/ProcessRunner.h"
#include "Platform/SimulatedMac/ScreenSharingService.h"
#include "Platform/SimulatedMac/SimulatedProcessor.h"
#include "Platform/Media/VideoEncoder.h"
#include "PowerTestFixture.h"

namespace fs = std::filesystem;
using JobState = platform::SimulatedScreenSharingService::JobState;

class HeadlessMacTest : public PowerTest {
protected:
    static constexpr uint32_t sharedDisplayID = 40;

    void SetUp() override {
        VideoPipelineTest::SetUp();
        // Restarted on a machine without a real display.
        server->stopForTermination();
        machineDisplays().setDisplays({});
        startServer();
        // The privileged updater is installed, so heal requests can be filed.
        fs::create_directories(HostOnlineUpdateRequest::requestServicePlistURL().parent_path());
        std::ofstream(HostOnlineUpdateRequest::requestServicePlistURL()) << "<plist/>";
        fs::create_directories(HostOnlineUpdateRequest::requestDirectoryURL());
    }

    static platform::SimulatedScreenSharingService& screenSharing() {
        return platform::SimulatedMachine::current().component<platform::SimulatedScreenSharingService>();
    }
    static size_t healRequests() {
        size_t n = 0;
        for (const auto& entry : fs::directory_iterator(HostOnlineUpdateRequest::requestDirectoryURL()))
            n += entry.path().filename().string().rfind("request-", 0) == 0;
        return n;
    }
    // What the server believes once a probe asked now has answered: the
    // question starts one (unless the last answer is fresh), the probe's
    // queue runs it, and its answer hops back.
    bool serviceActive() {
        onQueue([&] { return server->isScreenSharingServiceActive(); });
        runUntilIdle();
        return onQueue([&] { return server->isScreenSharingServiceActive(); });
    }
    // A launchctl stand-in that notes each run in a file, then runs the body.
    std::string countingLaunchctl(const std::string& body) {
        const auto tool = dataRoot->path() / "launchctl";
        std::ofstream(tool) << "#!/bin/sh\necho run >> \"$0.runs\"\n" << body << "\n";
        fs::permissions(tool, fs::perms::owner_all);
        platform::SimulatedMachine::current().component<platform::SimulatedTools>().setTool("/bin/launchctl", tool);
        return tool.string() + ".runs";
    }
    static size_t lineCount(const std::string& path) {
        std::ifstream in(path);
        size_t n = 0;
        for (std::string line; std::getline(in, line);) ++n;
        return n;
    }
};

TEST_F(HeadlessMacTest, EveryServiceProbeAnswerIsReusedForOneSecond) {
    const struct {
        JobState state;
        double afterSeconds;
        bool active;
    } steps[] = {
        {JobState::running, 0, true},
        {JobState::notRunning, 0.5, true},  // an answer holds for 1 s
        {JobState::notRunning, 0.6, false},
        {JobState::running, 0, false},  // a negative one as well
        {JobState::running, 0.9, false},
        {JobState::running, 0.2, true},
        {JobState::notLoaded, 1.1, false},
    };
    for (const auto& step : steps) {
        screenSharing().setJobState(step.state);
        advance(step.afterSeconds);
        EXPECT_EQ(serviceActive(), step.active) << static_cast<int>(step.state) << " after " << step.afterSeconds;
    }
}

TEST_F(HeadlessMacTest, ProbeTakesOnlyAnExactRunningStateLineFromACleanExit) {
    const struct {
        const char* script;  // the body of the launchctl stand-in
        bool active;
    } cases[] = {
        {"printf 'x = {\\n\\n   state = running  \\n}\\n'", true},
        {"printf 'state = running (stale)\\nstate = running\\n'", false},  // the first state line decides
        {"printf 'state = running\\n'; exit 1", false},
        {"printf '\\377\\nstate = running\\n'", false},  // not UTF-8: no output at all
    };
    const auto tool = dataRoot->path() / "launchctl";
    for (const auto& c : cases) {
        std::ofstream(tool) << "#!/bin/sh\n" << c.script << "\n";
        fs::permissions(tool, fs::perms::owner_all);
        platform::SimulatedMachine::current().component<platform::SimulatedTools>().setTool("/bin/launchctl", tool);
        advance(1.1);  // past the reuse of an earlier answer
        EXPECT_EQ(serviceActive(), c.active) << c.script;
    }
}

TEST_F(HeadlessMacTest, AHungLaunchctlCountsAsNotRunningOnceItsTimeLimitPassesAndNeverHoldsTheServer) {
    screenSharing().setJobState(JobState::hung);
    server->queue.resetLongestWorkItemForTesting();
    const uint64_t start = platform::Clock::uptimeNs();
    EXPECT_FALSE(serviceActive());
    EXPECT_GE(platform::Clock::uptimeNs() - start, 2'000'000'000u);
    EXPECT_LT(server->queue.longestWorkItemSecondsForTesting(), 0.25);
}

TEST_F(HeadlessMacTest, NoProbeStartsWhileOneRunsAndTheAnswerComesBackToTheServerQueue) {
    const auto runs = countingLaunchctl("exec sleep 30");
    std::vector<std::pair<double, bool>> answers;
    // Askers on the server queue while the first probe hangs (until its
    // 2 s limit), while its answer is fresh, and after.
    for (double at : {0.0, 0.5, 1.5, 2.5, 3.1, 3.5}) {
        server->queue.asyncAfter(at, [&, at] { answers.emplace_back(at, server->isScreenSharingServiceActive()); });
    }
    // Meanwhile launchctl recovers.
    platform::DispatchQueue("test.tools").asyncAfter(2.2, [&] { countingLaunchctl("printf 'state = running\\n'"); });
    advance(4);
    // Two probes: the hung one, and the one asked for at 3.1 s; none
    // started while the first ran or while its answer was fresh.
    EXPECT_EQ(lineCount(runs), 2u);
    EXPECT_EQ(answers, (std::vector<std::pair<double, bool>>{
                           {0.0, false}, {0.5, false}, {1.5, false}, {2.5, false}, {3.1, false}, {3.5, true}}));
}

TEST_F(HeadlessMacTest, AHungLaunchctlForTenSecondsNeitherSlowsAStreamingViewerNorHoldsTheServerQueue) {
    const int encodersBefore = platform::VideoEncoder::openLibraryEncoderCountForTesting();
    screenSharing().setJobState(JobState::notRunning);
    startVirtualDisplay();
    onQueue([&] { server->useHeadlessVirtualDisplay = true; });
    // Screen Sharing's display is there, so every statistics tick asks
    // whether the service runs.
    screenSharing().beginSession(sharedDisplayID, 1920, 1080);
    // A small, slow H.264 stream, so the test spends its time on the
    // queues, not on pictures.
    auto request = smallRequest();
    request.backend = VideoCaptureBackend::headlessVirtual;
    request.fps = 10;
    const auto bytes = request.encode();
    std::array<uint8_t, 20> login{};
    ASSERT_EQ(bytes.size(), login.size());
    std::copy(bytes.begin(), bytes.end(), login.begin());
    PipelineViewer viewer;
    viewer.client = videoClient();
    ASSERT_TRUE(viewer.client->logIn(consoleUser, password, "Mac Viewer", login));
    auto* v = &viewer;
    // Steps of half a frame: every frame is acknowledged before the next is
    // due, and each step's round trip to the server is not spent six times
    // a frame.
    const double stepsPerSecond = 2.0 * request.fps;
    run(1, {v}, stepsPerSecond);
    auto frames = [&] { return v->ofType(AuxPacketType::videoFrame).size(); };
    const size_t atStart = frames();
    run(3, {v}, stepsPerSecond);
    const double ratePerSecondBefore = static_cast<double>(frames() - atStart) / 3;
    ASSERT_GE(ratePerSecondBefore, 5);

    screenSharing().setJobState(JobState::hung);
    server->queue.resetLongestWorkItemForTesting();
    const size_t atHang = frames();
    run(10, {v}, stepsPerSecond);
    const double ratePerSecondHung = static_cast<double>(frames() - atHang) / 10;
    EXPECT_GE(ratePerSecondHung, 0.9 * ratePerSecondBefore);
    EXPECT_LT(server->queue.longestWorkItemSecondsForTesting(), 0.25);

    // The stream's encoders are all closed once the Host stops: whatever a
    // leak checker finds in the encoder library afterwards is the library's.
    server->stopForTermination();
    advance(2);
    EXPECT_EQ(platform::VideoEncoder::openLibraryEncoderCountForTesting(), encodersBefore);
}

TEST_F(HeadlessMacTest, YieldsToScreenSharingWhileNobodyIsConnectedAndTakesBackAfterFiveSeconds) {
    screenSharing().setJobState(JobState::running);
    startVirtualDisplay();
    onQueue([&] { server->useHeadlessVirtualDisplay = true; });
    screenSharing().beginSession(sharedDisplayID, 1920, 1080);
    advance(1.1);  // the display change, or else the statistics tick, reconciles
    EXPECT_TRUE(logContains("; yielding headless virtual display"));
    EXPECT_FALSE(HeadlessVirtualDisplay::shared().stateSnapshot().isActive);
    onQueue([&] {
        EXPECT_EQ(server->screenSharingCaptureDisplayID, sharedDisplayID);
        EXPECT_EQ(server->selectedDisplayID, sharedDisplayID);
        EXPECT_FALSE(server->useHeadlessVirtualDisplay);
        const auto& request = server->streamControl.currentCaptureRequest;
        EXPECT_EQ(request.backend, VideoCaptureBackend::physical);
        EXPECT_EQ(std::pair(request.pixelWidth, request.pixelHeight), std::pair(1920, 1080));
        ASSERT_TRUE(server->deferredHeadlessCaptureRequestForScreenSharing);
        EXPECT_EQ(server->deferredHeadlessCaptureRequestForScreenSharing->backend,
                  VideoCaptureBackend::headlessVirtual);
    });

    screenSharing().endSession();
    advance(4);  // Screen Sharing's display may come back meanwhile
    onQueue([&] { EXPECT_TRUE(server->deferredHeadlessCaptureRequestForScreenSharing); });
    advance(2);
    onQueue([&] {
        // Nobody watches: the request is forgotten, nothing is rebuilt.
        EXPECT_FALSE(server->deferredHeadlessCaptureRequestForScreenSharing);
        EXPECT_EQ(server->screenSharingCaptureDisplayID, 0u);
        EXPECT_EQ(server->selectedDisplayID, 0u);
    });
    EXPECT_EQ(healRequests(), 0u);
}

TEST_F(HeadlessMacTest, AViewerLoginTakesTheDesktopBackAndHealsAreFiledAtMostOncePerMinute) {
    screenSharing().setJobState(JobState::running);
    startVirtualDisplay();
    onQueue([&] { server->useHeadlessVirtualDisplay = true; });
    screenSharing().beginSession(sharedDisplayID, 1920, 1080);
    advance(1.1);
    ASSERT_TRUE(onQueue([&] { return server->screenSharingCaptureDisplayID == sharedDisplayID; }));

    advance(3);  // the removed virtual display has left the display list
    auto v = viewer("Mac Viewer", false);
    EXPECT_TRUE(logContains("screen sharing surface released after viewer video session authorized; restoring "
                            "headless Easy template"));
    onQueue([&] {
        EXPECT_TRUE(server->useHeadlessVirtualDisplay);
        EXPECT_EQ(server->screenSharingCaptureDisplayID, 0u);
        // Nothing below needs pictures: spare the minute of encoding.
        server->setPaused(true);
    });
    advance(2.9);
    EXPECT_EQ(healRequests(), 0u);
    advance(0.2);
    EXPECT_EQ(healRequests(), 1u);
    EXPECT_TRUE(logContains("screen sharing heal: requesting service restart after virtual display mode switch"));

    onQueue([&] { server->scheduleScreenSharingRecoveryAfterModeSwitchIfNeeded(); });
    advance(3.1);
    EXPECT_EQ(healRequests(), 1u);
    advance(55);
    onQueue([&] { server->scheduleScreenSharingRecoveryAfterModeSwitchIfNeeded(); });
    advance(3.1);
    EXPECT_EQ(healRequests(), 2u);

    // A spool the Host may no longer write takes no request: the line says
    // so rather than that a restart is being requested.
    struct SpoolUnwritable {
        SpoolUnwritable() { platform::FileIO::setMayWriteForTesting(false); }
        ~SpoolUnwritable() { platform::FileIO::setMayWriteForTesting(std::nullopt); }
    } unwritable;
    const std::string requesting = "screen sharing heal: requesting service restart after virtual display mode switch";
    auto requested = [&] {
        const auto lines = logLines();
        return std::count_if(lines.begin(), lines.end(),
                             [&](const std::string& line) { return line.find(requesting) != std::string::npos; });
    };
    const auto requestedBefore = requested();
    advance(58);
    onQueue([&] { server->scheduleScreenSharingRecoveryAfterModeSwitchIfNeeded(); });
    advance(3.1);
    EXPECT_EQ(healRequests(), 2u);
    EXPECT_EQ(requested(), requestedBefore);
    EXPECT_TRUE(logContains("screen sharing heal: no service restart requested after virtual display mode switch: the "
                            "updater is not installed or its spool is not writable"));
}

TEST_F(HeadlessMacTest, ScreenSharingCaptureUsesTheSharedDisplayAsItStands) {
    screenSharing().setJobState(JobState::running);
    screenSharing().beginSession(sharedDisplayID, 1921, 1081);
    auto& processor = platform::SimulatedMachine::current().component<platform::SimulatedProcessor>();
    const struct {
        bool appleSilicon;
        VideoStreamCodec codec;
        int fps;
        VideoChromaMode chroma;
        int expectedFps;
    } cases[] = {
        {true, VideoStreamCodec::hevc, 0, VideoChromaMode::yuv444, 1},
        {true, VideoStreamCodec::h264, 120, VideoChromaMode::yuv420, 60},
        {false, VideoStreamCodec::hevc, 30, VideoChromaMode::yuv420, 30},
    };
    for (const auto& c : cases) {
        processor.setAppleSilicon(c.appleSilicon);
        auto base = CaptureModeControlPayload::preset(VideoCaptureMode::pro, VideoChromaMode::yuv444,
                                                      VideoCaptureBackend::headlessVirtual);
        base.codec = c.codec;
        base.fps = c.fps;
        base.flags |= CaptureModeControlPayload::flagIOSBuiltInDisplay | CaptureModeControlPayload::flagWiFiRoute;
        const auto request = onQueue([&] {
            server->applyScreenSharingDisplayCapture(sharedDisplayID, base);
            return server->streamControl.currentCaptureRequest;
        });
        EXPECT_EQ(std::pair(request.pixelWidth, request.pixelHeight), std::pair(1920, 1080));
        EXPECT_EQ(request.logicalWidth, 1920);
        EXPECT_EQ(request.chromaMode, c.chroma);
        EXPECT_EQ(request.fps, c.expectedFps);
        // HiDPI comes from the shared display (a plain one here); the iOS
        // built-in bit never survives; route bits stay.
        EXPECT_EQ(request.flags, base.flags & ~(CaptureModeControlPayload::flagHiDPI |
                                                CaptureModeControlPayload::flagIOSBuiltInDisplay));
        EXPECT_TRUE(request.flags & CaptureModeControlPayload::flagWiFiRoute);
        EXPECT_EQ(request.mode, VideoCaptureMode::pro);
    }
}

TEST_F(PowerTest, AMacWithAPhysicalDisplayAtStartNeverYieldsNorHeals) {
    auto& service = platform::SimulatedMachine::current().component<platform::SimulatedScreenSharingService>();
    service.setJobState(JobState::running);
    service.beginSession(40, 1920, 1080);
    startVirtualDisplay();
    advance(1.1);
    EXPECT_FALSE(onQueue([&] { return server->reconcileHeadlessScreenSharingCapture("capture request"); }));
    onQueue([&] {
        server->displayTarget.screenSharingDisplayLastSeenNs = platform::Clock::uptimeNs();
        server->scheduleScreenSharingRecoveryAfterModeSwitchIfNeeded();
    });
    advance(5);
    EXPECT_FALSE(logContains("screen sharing heal"));
    EXPECT_TRUE(HeadlessVirtualDisplay::shared().stateSnapshot().isActive);
}

// A Viewer's rates reach the encoder of Screen Sharing's display, and the
// request kept for afterwards, within what the encoder runs, as on every
// other road.
TEST_F(HeadlessMacTest, TheScreenSharingHandOffTakesAViewersRatesClamped) {
    screenSharing().setJobState(JobState::running);
    screenSharing().beginSession(sharedDisplayID, 1920, 1080);
    ASSERT_TRUE(serviceActive());
    const struct {
        int fps;
        int64_t bitrate;
        int expectedFps;
        int64_t expectedBitrate;
    } cases[] = {{240, 4'000'000'000, 60, 64'000'000}, {0, 0, 1, 1'000'000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bitrate);
        auto request = CaptureModeControlPayload::preset(VideoCaptureMode::pro, VideoChromaMode::yuv420,
                                                         VideoCaptureBackend::headlessVirtual);
        request.fps = c.fps;
        request.bitrate = c.bitrate;
        request.controlIntent = CaptureModeControlPayload::intentExplicit;
        onQueue([&] {
            server->applyVideoCaptureRequest(request, platform::UUID::random());
            ASSERT_EQ(server->screenSharingCaptureDisplayID, sharedDisplayID) << "the hand-off road was taken";
            const auto& captured = server->streamControl.currentCaptureRequest;
            EXPECT_EQ(captured.fps, c.expectedFps);
            EXPECT_EQ(captured.bitrate, c.expectedBitrate);
            ASSERT_TRUE(server->deferredHeadlessCaptureRequestForScreenSharing);
            EXPECT_EQ(server->deferredHeadlessCaptureRequestForScreenSharing->fps, c.expectedFps);
            EXPECT_EQ(server->deferredHeadlessCaptureRequestForScreenSharing->bitrate, c.expectedBitrate);
        });
    }
}
