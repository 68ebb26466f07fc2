// Requests that rebuild the one shared stream, switch a display or open a
// movie writer, flooded by one or more connections from one or more peers:
// the Host applies one a hold whoever asks, and every request sent is a
// real change that the Host acts on (the opposite of what is in force, or a
// new rate or region), so what is counted is what the Host did. And the
// legitimate use: Viewers taking turns each get their change, the last one
// holding.

#include <gtest/gtest.h>

#include "AuxServerTestFixture.h"
#include "HostApp/Capture/CaptureModeControlPayload.h"
#include "HostApp/Protocol/AudioControlPayloads.h"
#include "HostApp/StreamControl/StreamChangePacer.h"
#include "Platform/SimulatedMac/CoreGraphicsDisplays.h"

namespace {

using Kind = StreamChangePacer::Kind;

constexpr double kFloodSeconds = 6;
constexpr double kStepSeconds = 0.1;

struct FloodCase {
    const char* name;
    Kind kind;
    int connections;
    int peers;
};

void PrintTo(const FloodCase& c, std::ostream* out) { *out << c.name; }

class StreamChangeViewers : public AuxServerTest {
protected:
    // Logged-in Viewers' connections, peer i on 127.0.0.(2 + i); audio
    // ones (a video connection that never acknowledges a frame is closed
    // as stalled), or one Viewer's audio and video with `twoChannels`.
    void connect(int connections, int peers, bool twoChannels = false) {
        for (int i = 0; i < connections; ++i) {
            const bool video = twoChannels && i % 2 == 1;
            const std::string from = "127.0.0." + std::to_string(2 + i % peers);
            auto client = std::make_unique<AuxTestClient>(
                runtime, video ? server->boundVideoPort() : server->boundAudioPort(), video ? 0x02 : 0x01, from);
            ASSERT_TRUE(client->waitConnected());
            ASSERT_TRUE(client->logIn(consoleUser, password, "Viewer " + std::to_string(i)));
            clients.push_back(std::move(client));
        }
        for (auto& c : clients) c->settle();
    }
    void settleAll() {
        for (auto& c : clients) c->settle();
    }
    template <class F>
    auto onServer(F&& f) {
        return server->queue.syncValue(std::forward<F>(f));
    }
    size_t startedRecordings() const {
        size_t n = 0;
        for (const auto& c : clients)
            for (const auto& p : c->packets()) {
                auto state = HostRecordingStatePayload::decode(p.payload);
                n += p.header.type == AuxPacketType::hostRecordingState && state &&
                     state->state == HostRecordingState::started;
            }
        return n;
    }
    // What the kind's changes change, read on the server queue.
    uint64_t stateOf(Kind kind) {
        return onServer([&]() -> uint64_t {
            const auto& sc = server->streamControl;
            switch (kind) {
                case Kind::captureMode:
                    return sc.currentCaptureRequest.bitrate;
                case Kind::videoPreference:
                    return uint64_t(sc.currentVideoChromaMode);
                case Kind::hostDisplayMode:
                    return uint64_t(sc.currentVideoMode);
                case Kind::physicalDisplayAction:
                    return server->selectedDisplayID;
                case Kind::recording:
                    return 0;
            }
            return 0;
        });
    }
    // The request connection `i` sends at `step`: never what is in force.
    std::pair<AuxPacketType, std::vector<uint8_t>> request(Kind kind, int step, int i) {
        switch (kind) {
            case Kind::captureMode: {
                auto r = CaptureModeControlPayload::preset(VideoCaptureMode::physical1080, VideoChromaMode::yuv420,
                                                           VideoCaptureBackend::physical);
                r.controlIntent = CaptureModeControlPayload::intentExplicit;
                r.bitrate = 3'000'000 + uint32_t(step * 16 + i) * 1000;
                return {AuxPacketType::captureModeControl, r.encode()};
            }
            case Kind::videoPreference: {
                const bool is444 = onServer([&] {
                    return server->streamControl.currentVideoChromaMode == VideoChromaMode::yuv444;
                });
                return {AuxPacketType::videoPreferenceControl, {uint8_t(is444 ? 0 : 1)}};
            }
            case Kind::hostDisplayMode: {
                const bool is1440 = onServer([&] {
                    return server->streamControl.currentVideoMode == VideoCaptureMode::physical1440;
                });
                const auto mode = is1440 ? HostDisplayMode::physical1080 : HostDisplayMode::physical1440;
                return {AuxPacketType::hostDisplayModeControl, {uint8_t(mode)}};
            }
            case Kind::physicalDisplayAction: {
                const bool onSecond = onServer([&] { return server->selectedDisplayID == 2; });
                const auto action = onSecond ? HostPhysicalDisplayAction::main : HostPhysicalDisplayAction::next;
                return {AuxPacketType::hostPhysicalDisplayControl, {uint8_t(action)}};
            }
            case Kind::recording: {
                // Each one a new region: a start restarts the recording.
                const double x = double((step * 16 + i) % 100) / 200;
                return {AuxPacketType::hostRecordingControl,
                        HostRecordingControlPayload{HostRecordingAction::start, x, 0, 0.5, 0.5}.encode()};
            }
        }
        return {};
    }

    std::vector<std::unique_ptr<AuxTestClient>> clients;
};

class StreamChangeFlood : public StreamChangeViewers, public ::testing::WithParamInterface<FloodCase> {};

const FloodCase kFloods[] = {
    {"CaptureModeFromOneConnection", Kind::captureMode, 1, 1},
    {"CaptureModeFromFourConnections", Kind::captureMode, 4, 1},
    {"CaptureModeFromSixConnectionsOfThreePeers", Kind::captureMode, 6, 3},
    {"ChromaFromOneConnection", Kind::videoPreference, 1, 1},
    {"ChromaFromFourConnections", Kind::videoPreference, 4, 1},
    {"ChromaFromSixPeers", Kind::videoPreference, 6, 6},
    {"DisplayModeFromOneConnection", Kind::hostDisplayMode, 1, 1},
    {"DisplayModeFromFourConnections", Kind::hostDisplayMode, 4, 1},
    {"DisplayModeFromSixConnections", Kind::hostDisplayMode, 6, 1},
    {"DisplayModeFromSixPeers", Kind::hostDisplayMode, 6, 6},
    // The Host acts on a display choice only while one Viewer is logged
    // in: its two connections are the most that can ask.
    {"PhysicalDisplayFromOneConnection", Kind::physicalDisplayAction, 1, 1},
    {"PhysicalDisplayFromAViewersTwoConnections", Kind::physicalDisplayAction, 2, 1},
    {"RecordingFromOneConnection", Kind::recording, 1, 1},
    {"RecordingFromFourConnections", Kind::recording, 4, 1},
    {"RecordingFromSixConnectionsOfTwoPeers", Kind::recording, 6, 2},
};

TEST_P(StreamChangeFlood, OneChangeAHoldIsAppliedWhateverAsks) {
    const auto& c = GetParam();
    const bool physical = c.kind == Kind::physicalDisplayAction;
    if (physical) {
        platform::SimulatedMachine::current().component<platform::SimulatedDisplaySystem>()
            .configureBuiltInWithExternal1440();
        advance(1);
    }
    server->recording.hostRecordingSourceSize.set(320, 180);
    connect(c.connections, c.peers, physical);
    if (HasFatalFailure()) return;
    // A stream small enough for 4:4:4, so that a chroma change is made.
    auto small = CaptureModeControlPayload::preset(VideoCaptureMode::physical1080, VideoChromaMode::yuv420,
                                                   VideoCaptureBackend::physical);
    small.controlIntent = CaptureModeControlPayload::intentExplicit;
    clients[0]->send(AuxPacketType::captureModeControl, small.encode());
    clients[0]->settle();
    // What the logins themselves asked for has held.
    advance(StreamChangePacer::holdSeconds);
    settleAll();

    const uint64_t appliedBefore = onServer([&] { return server->streamControl.changePacer.appliedCount(); });
    const size_t startedBefore = startedRecordings();
    uint64_t state = stateOf(c.kind);
    size_t transitions = 0;
    const double hold = StreamChangePacer::holdSecondsFor(c.kind);
    const int steps = int(kFloodSeconds / kStepSeconds);
    // The connections join the flood one after another, spread over a
    // hold: a hold of each connection's own, or of each peer's, would end at
    // a moment of its own and let its change through, several a hold in
    // all. Only one hold for the whole Host keeps it to one.
    const int holdSteps = int(hold / kStepSeconds + 0.5);
    auto joins = [&](int i) { return i * holdSteps / c.connections; };
    for (int step = 0; step < steps; ++step) {
        for (int i = 0; i < c.connections; ++i) {
            if (step < joins(i)) continue;
            auto [type, payload] = request(c.kind, step, i);
            clients[size_t(i)]->send(type, payload);
            clients[size_t(i)]->flush();
        }
        settleAll();
        // The flood ends with the last step's requests sent and served.
        if (step + 1 < steps) advance(kStepSeconds);
        const uint64_t now = stateOf(c.kind);
        transitions += now != state;
        state = now;
    }
    const double bound = 1 + kFloodSeconds / hold;
    const uint64_t applied =
        onServer([&] { return server->streamControl.changePacer.appliedCount(); }) - appliedBefore;
    EXPECT_LE(double(applied), bound) << "changes applied in " << kFloodSeconds << " s";
    if (c.kind == Kind::recording) {
        const size_t started = startedRecordings() - startedBefore;
        EXPECT_LE(double(started), bound) << "recordings started";
        EXPECT_GE(double(started), kFloodSeconds / hold - 1) << "the starts are acted on";
    } else {
        EXPECT_LE(double(transitions), bound) << "changes the Host made";
        // A change is dropped when its turn comes if it repeats the one in
        // force; the rest are acted on.
        EXPECT_GE(double(transitions), kFloodSeconds / hold / 2) << "the requests are acted on";
    }
    EXPECT_LE(onServer([&] { return server->streamControl.changePacer.pendingCount(); }),
              size_t(c.peers) * 5)
        << "at most each peer's latest of each kind waits";
    for (const auto& client : clients) EXPECT_FALSE(client->isClosed());
    if (c.kind == Kind::recording) onServer([&] { server->stopHostRecording(false); });
    runUntilIdle();
}

INSTANTIATE_TEST_SUITE_P(StreamChangeFlood, StreamChangeFlood, ::testing::ValuesIn(kFloods),
                         [](const auto& info) { return std::string(info.param.name); });

using StreamChangeTurns = StreamChangeViewers;

// Six Viewers, each on its own machine, change the Host's display mode one
// after another, half a second apart: each change is applied in its turn,
// one a hold, and the last one is what the display keeps.
TEST_F(StreamChangeTurns, SixViewersChangingModesInTurnEachGetTheirsAndTheLastHolds) {
    connect(6, 6);
    if (HasFatalFailure()) return;
    advance(StreamChangePacer::holdSeconds);
    settleAll();
    const bool startsOn1440 =
        onServer([&] { return server->streamControl.currentVideoMode == VideoCaptureMode::physical1440; });
    const uint64_t appliedBefore = onServer([&] { return server->streamControl.changePacer.appliedCount(); });
    auto modeFor = [&](int i) {
        return (i % 2 == 0) == startsOn1440 ? HostDisplayMode::physical1080 : HostDisplayMode::physical1440;
    };
    constexpr double kSpacing = 0.5;
    for (int i = 0; i < 6; ++i) {
        clients[size_t(i)]->send(AuxPacketType::hostDisplayModeControl, std::vector<uint8_t>{uint8_t(modeFor(i))});
        settleAll();
        const double elapsed = i * kSpacing;
        const uint64_t applied =
            onServer([&] { return server->streamControl.changePacer.appliedCount(); }) - appliedBefore;
        EXPECT_LE(double(applied), 1 + elapsed / StreamChangePacer::displayHoldSeconds)
            << "one change a hold, " << elapsed << " s in";
        advance(kSpacing);
    }
    // Every one had its turn: each a hold once the stream it rebuilt flows.
    for (double waited = 0; waited < 6 * StreamChangePacer::longestHoldSeconds &&
                            onServer([&] { return server->streamControl.changePacer.appliedCount(); }) - appliedBefore < 6;
         waited += kSpacing) {
        advance(kSpacing);
        settleAll();
    }
    EXPECT_EQ(onServer([&] { return server->streamControl.changePacer.appliedCount(); }) - appliedBefore, 6u);
    size_t switches = 0;
    std::vector<std::string> order;
    for (const auto& p : clients[0]->packets()) {
        if (p.header.type != AuxPacketType::hostStatus) continue;
        const std::string text = p.text();
        if (text.rfind("display: switched physical mode=", 0) == 0) {
            ++switches;
            order.push_back(text.substr(32, 5));
        }
    }
    EXPECT_EQ(switches, 6u) << "each Viewer's change switched the display";
    ASSERT_FALSE(order.empty());
    for (size_t i = 1; i < order.size(); ++i) EXPECT_NE(order[i], order[i - 1]) << "in the order they were asked";
    EXPECT_EQ(onServer([&] { return server->streamControl.currentVideoMode; }),
              modeFor(5) == HostDisplayMode::physical1080 ? VideoCaptureMode::physical1080
                                                          : VideoCaptureMode::physical1440)
        << "the last Viewer's mode holds";
    runUntilIdle();
}

}  // namespace
