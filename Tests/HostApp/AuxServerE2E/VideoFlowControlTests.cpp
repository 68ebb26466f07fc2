// The acknowledgement window and the encode gate, on sessions whose counts
// are set directly: when a Viewer is backed up or dead, and which Viewer
// the encoder follows.

#include <gtest/gtest.h>

#include "AuxServerTestFixture.h"
#include "Platform/Runtime/Clock.h"

namespace {

using platform::UUID;

TEST(VideoCongestionWindow, FollowsTheFrameRateTheRouteAndTheEncodedSize) {
    struct Case {
        int width, height, fps;
        uint8_t flags;
        VideoChromaMode chroma;
        int window;
    };
    const Case cases[] = {
        {3840, 2160, 60, 0, VideoChromaMode::yuv420, 8},
        {1920, 1080, 60, CaptureModeControlPayload::flagReduced, VideoChromaMode::yuv420, 14},
        {1920, 1080, 30, CaptureModeControlPayload::flagReduced, VideoChromaMode::yuv420, 10},
        {1920, 1080, 30, 0, VideoChromaMode::yuv420, 6},
        {1600, 1200, 30, 0, VideoChromaMode::yuv420, 4},
        {1600, 1200, 30, 0, VideoChromaMode::yuv444, 6},
        {2560, 1440, 30, 0, VideoChromaMode::yuv420, 8},
        {3840, 2160, 30, 0, VideoChromaMode::yuv420, 10},
        // Larger than the transport carries: the encoded size decides.
        {7680, 4320, 30, 0, VideoChromaMode::yuv420, 10},
    };
    for (const auto& c : cases) {
        auto request = CaptureModeControlPayload::preset(VideoCaptureMode::pro, c.chroma, VideoCaptureBackend::physical);
        request.pixelWidth = c.width;
        request.pixelHeight = c.height;
        request.flags = c.flags;
        EXPECT_EQ(V230HostAudioAuxServer::videoCongestionWindow(request, c.fps), c.window)
            << c.width << "x" << c.height << "@" << c.fps << " flags=" << int(c.flags);
    }
}

class FlowControl : public AuxServerTest {
protected:
    struct Session {
        int outstanding;
        double secondsSinceAck;  // < 0: never acknowledged nor reset
    };
    // Fake logged-in video sessions (no connection) with these counts.
    std::vector<UUID> sessions(const std::vector<Session>& list) {
        std::vector<UUID> ids;
        server->queue.sync([&] {
            const uint64_t now = platform::Clock::uptimeNs();
            for (const auto& s : list) {
                const UUID id = UUID::random();
                server->authorizedVideoSessions.insert(id);
                server->authorizedVideoSessionCount.increment();
                server->streamControl.videoSessionOutstandingAcks[id] = s.outstanding;
                if (s.secondsSinceAck >= 0)
                    server->streamControl.videoSessionLastAckNs[id] = now - uint64_t(s.secondsSinceAck * 1e9);
                ids.push_back(id);
            }
        });
        return ids;
    }
    bool blocked() { return server->streamControl.videoEncodeBlocked.value() != 0; }
    void updateGate() { server->queue.sync([&] { server->updateVideoGateLocked(platform::Clock::uptimeNs()); }); }
};

TEST_F(FlowControl, ASessionIsBackedUpBeyondTwiceTheWindowOrWhenOverItForLong) {
    advance(10);  // so that acknowledgement times lie in the past
    struct Case {
        Session session;
        bool backedUp, dead;
    };
    const Case cases[] = {
        {{8, 10.0}, false, false}, {{17, 0.0}, true, false}, {{12, 1.4}, false, false},
        {{12, 1.6}, true, false},  {{9, 3.1}, true, true},   {{9, -1}, false, false},
    };
    for (const auto& c : cases) {
        auto id = sessions({c.session})[0];
        server->queue.sync([&] {
            const uint64_t now = platform::Clock::uptimeNs();
            EXPECT_EQ(server->videoSessionIsBackedUp(id, now, 8), c.backedUp) << c.session.outstanding;
            EXPECT_EQ(server->videoSessionIsDead(id, now, 8), c.dead) << c.session.outstanding;
        });
    }
}

TEST_F(FlowControl, TheGateFollowsTheLeastLoadedHealthySessionElseTheTotal) {
    advance(10);
    struct Case {
        std::vector<Session> sessions;
        bool blocked;
    };
    const std::vector<Case> cases = {
        {{{8, 0.1}}, false},
        {{{9, 0.1}}, true},
        {{{2, 0.1}, {17, 0.1}}, false},  // the slow one is skipped instead
        {{{9, 2.0}, {9, 2.0}}, true},    // all backed up: 16 < 18
        {{{9, 2.0}, {7, 2.0}}, false},
    };
    for (const auto& c : cases) {
        server->queue.sync([&] {
            server->authorizedVideoSessions.clear();
            server->streamControl.videoSessionOutstandingAcks.clear();
        });
        sessions(c.sessions);
        updateGate();
        EXPECT_EQ(blocked(), c.blocked) << c.sessions.size() << " sessions, first " << c.sessions[0].outstanding;
    }
    // Nine outstanding blocks; one acknowledgement releases the encoder.
    server->queue.sync([&] { server->authorizedVideoSessions.clear(); });
    auto id = sessions({{9, 0.1}})[0];
    updateGate();
    EXPECT_TRUE(blocked());
    server->queue.sync([&] { server->recordVideoFrameAck(id); });
    EXPECT_FALSE(blocked());
    EXPECT_EQ(server->streamControl.videoSendInFlight.value(), 8);
}

TEST_F(FlowControl, DeadSessionsArePrunedExceptWhileTheHostSleepsOrIsLocked) {
    advance(10);
    const std::vector<std::pair<const char*, std::function<void(V230HostAudioAuxServer&)>>> holds = {
        {"screens asleep", [](auto& s) { s.screensAreSleeping = true; }},
        {"console locked", [](auto& s) { s.streamControl.cachedConsoleLocked = true; }},
        {"virtual display waking", [](auto& s) { s.virtualDisplayWakeStabilizationDeadline = platform::Clock::now(); }},
        {"sleep preflight recovery", [](auto& s) { s.isAwaitingSleepPreflightPhysicalRecovery = true; }},
        {"nothing", [](auto&) {}},
    };
    for (const auto& row : holds) {
        // Named copies: the lambda below may not capture structured bindings
        // under every compiler the tree is built with.
        const char* name = row.first;
        const auto& hold = row.second;
        auto id = sessions({{9, 3.1}})[0];
        server->queue.sync([&] {
            hold(*server);
            server->serviceVideoFlowLocked(platform::Clock::uptimeNs());
            EXPECT_EQ(server->authorizedVideoSessions.count(id), std::string(name) == "nothing" ? 0u : 1u) << name;
            // The gate is recomputed either way.
            EXPECT_EQ(server->streamControl.videoSendInFlight.value(), std::string(name) == "nothing" ? 0 : 9) << name;
            server->screensAreSleeping = server->isAwaitingSleepPreflightPhysicalRecovery = false;
            server->streamControl.cachedConsoleLocked = false;
            server->virtualDisplayWakeStabilizationDeadline.reset();
            server->authorizedVideoSessions.clear();
        });
    }
    EXPECT_EQ(logCount("video aux client dead: no frame ACK for 3.0s outstanding=9; pruning "), 1u);
}

TEST_F(FlowControl, AfterAResetAViewerThatNeverAcknowledgesDiesThreeSecondsLater) {
    auto id = sessions({{0, 0.0}})[0];
    server->queue.sync([&] { server->resetVideoAckWindow(); });
    server->queue.sync([&] { server->streamControl.videoSessionOutstandingAcks[id] = 9; });
    advance(1.4);
    updateGate();
    EXPECT_TRUE(server->queue.syncValue([&] { return server->authorizedVideoSessions.count(id) == 1; }));
    advance(1.9);  // the flow timer prunes it
    EXPECT_FALSE(server->queue.syncValue([&] { return server->authorizedVideoSessions.count(id) == 1; }));
    // With nobody left the next tick lifts a gate left set.
    server->streamControl.videoEncodeBlocked.set(1);
    advance(0.25);
    EXPECT_FALSE(blocked());
}

}  // namespace
