// How often Viewers' requests may change the shared stream: each peer's
// requests of one kind coalesced to the latest, one change and then a hold
// for the whole Host, repeats of the change in force dropped. On the
// virtual clock.

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "HostApp/StreamControl/StreamChangePacer.h"
#include "Platform/Runtime/Clock.h"
#include "Support/TestSupport.h"

namespace {

using Kind = StreamChangePacer::Kind;

struct TimedRequest {
    double at;  // seconds from the start
    char peer;
    uint8_t value;
    Kind kind = Kind::captureMode;
    // Its session has gone by the time its turn comes.
    bool gone = false;
};

struct PacingCase {
    const char* name;
    std::vector<TimedRequest> requests;
    // "<peer><value>@<tenths of a second>", in the order applied.
    std::vector<std::string> applied;
    // How long after each change the shared stream flows again (never,
    // when negative).
    double streamBackAfter = 0;
    // The Host restarts the stream again and again, every half second
    // from then on, and it flows again a moment after each.
    bool restartsOverAndOver = false;
};

std::vector<TimedRequest> burstOfSixtyInOneSecond() {
    std::vector<TimedRequest> burst;
    for (int i = 0; i < 60; ++i) burst.push_back({i / 60.0, 'A', static_cast<uint8_t>(1 + i % 5)});
    return burst;
}

const PacingCase kCases[] = {
    {"AQuietRequestIsAppliedAtOnce", {{0, 'A', 1}, {2.5, 'A', 2}}, {"A1@0", "A2@25"}},
    // 1, 2, 3, 4, 5, 1, ...: the sixtieth is a 5.
    {"ABurstIsAppliedOnceAtOnceAndThenAsItsLatest", burstOfSixtyInOneSecond(), {"A1@0", "A5@10"}},
    {"ARequestAfterTheHoldWaitsForTheNextHoldToEnd",
     {{0, 'A', 1}, {0.5, 'A', 2}, {1.2, 'A', 3}},
     {"A1@0", "A2@10", "A3@20"}},
    {"ALatestThatRepeatsTheChangeInForceIsDropped", {{0, 'A', 1}, {0.2, 'A', 2}, {0.4, 'A', 1}}, {"A1@0"}},
    {"AnotherPeersChangeMakesARepeatAChangeAgain",
     {{0, 'A', 1}, {0.1, 'B', 7}, {1.5, 'A', 1}},
     {"A1@0", "B7@10", "A1@20"}},
    // However many peers wait, one change a hold, each peer's latest in
    // the order it arrived.
    {"EachPeersLatestIsAppliedInItsTurnOneAHold",
     {{0, 'A', 1}, {0.1, 'B', 5}, {0.2, 'A', 2}, {0.3, 'B', 6}, {0.5, 'A', 3}},
     {"A1@0", "B6@10", "A3@20"}},
    {"KindsOfOnePeerAreCoalescedApartAndTakeTurns",
     {{0, 'A', 1}, {0.1, 'A', 9, Kind::videoPreference}, {0.2, 'A', 2}, {0.3, 'A', 8, Kind::videoPreference}},
     {"A1@0", "A2@10", "A8@20"}},
    {"ARepeatThatWaitedIsDroppedAndTheNextTakesItsTurn",
     {{0, 'A', 1}, {0.2, 'A', 2}, {0.4, 'A', 1}, {0.5, 'B', 5}},
     {"A1@0", "B5@10"}},
    // A display switch rebuilds the stream well after it is made: it holds
    // longer, whatever waits behind it.
    {"ADisplaySwitchHoldsTwice",
     {{0, 'A', 1, Kind::hostDisplayMode}, {0.5, 'A', 2, Kind::hostDisplayMode}, {0.6, 'B', 3}},
     {"A1@0", "A2@20", "B3@40"}},
    {"APhysicalDisplayChoiceHoldsTwice",
     {{0, 'A', 1, Kind::physicalDisplayAction}, {1.5, 'A', 2}},
     {"A1@0", "A2@20"}},
    {"ADisplaySwitchWaitsOnlyForTheHoldOfTheChangeBefore",
     {{0, 'A', 1}, {0.5, 'A', 2, Kind::hostDisplayMode}, {1.5, 'A', 3, Kind::hostDisplayMode}},
     {"A1@0", "A2@10", "A3@30"}},
    // A Viewer that left while its display switch waited holds nobody
    // back: its change is dropped before the hold it would have taken.
    {"AGoneSessionsChangeIsDroppedBeforeItTakesAHold",
     {{0, 'A', 1}, {0.2, 'B', 2, Kind::hostDisplayMode, true}, {0.4, 'C', 3}},
     {"A1@0", "C3@10"}},
    {"ARecordingTakesATurnOfItsOwn",
     {{0, 'A', 1, Kind::recording}, {0.5, 'B', 2, Kind::hostDisplayMode}, {0.6, 'A', 3}},
     {"A1@0", "B2@10", "A3@30"}},
    // However long a rebuild takes, the stream then flows a whole hold
    // before the next change stops it.
    {"ARebuildHoldsFromWhenTheStreamFlowsAgain",
     {{0, 'A', 1, Kind::hostDisplayMode}, {0.1, 'B', 2}, {0.2, 'C', 3, Kind::videoPreference}},
     {"A1@0", "B2@29", "C3@48"},
     0.9},
    {"AStreamThatNeverFlowsAgainHoldsTheNextChangeOnlyForItsWait",
     {{0, 'A', 1, Kind::hostDisplayMode}, {0.1, 'B', 2}},
     {"A1@0", "B2@50"},
     -1},
    // A capture restarted over and over, flowing in between, holds the next
    // change back once for each change, not for as long as it restarts.
    {"AStreamStoppedAgainDuringTheHoldHoldsNoLonger",
     {{0, 'A', 1, Kind::hostDisplayMode}, {0.1, 'B', 2}},
     {"A1@0", "B2@25"},
     0.5,
     true},
    // Back past its wait, the stream no longer counts: the hold ran from
    // the wait's end, and a frame long after starts no hold of its own.
    {"AStreamBackPastItsWaitHoldsNoLonger", {{0, 'A', 1, Kind::hostDisplayMode}, {0.1, 'B', 2}}, {"A1@0", "B2@50"}, 4.9},
    {"AStreamBackLongAfterHoldsNoQuietRequest",
     {{0, 'A', 1, Kind::hostDisplayMode}, {30.5, 'B', 2}},
     {"A1@0", "B2@305"},
     30},
    {"ARecordingWaitsForNoStream", {{0, 'A', 1, Kind::recording}, {0.1, 'B', 2, Kind::recording}}, {"A1@0", "B2@10"}, -1},
};

void PrintTo(const PacingCase& c, std::ostream* out) { *out << c.name; }

class Pacing : public VirtualTimeTest, public ::testing::WithParamInterface<PacingCase> {};

TEST_P(Pacing, AppliesWhatTheCaseSays) {
    platform::DispatchQueue queue("pacer-test");
    StreamChangePacer pacer;
    const uint64_t startNs = platform::Clock::uptimeNs();
    std::vector<std::string> applied;
    double now = 0;
    for (const auto& r : GetParam().requests) {
        advance(r.at - now);
        now = r.at;
        queue.sync([&] {
            const uint8_t payload[] = {r.value};
            pacer.submit(queue, std::string("10.0.0.") + r.peer, r.kind, payload, [r] { return !r.gone; }, [&, r] {
                // Each change stops the stream, as a rebuild does.
                pacer.streamStopped();
                const double back = GetParam().streamBackAfter;
                if (back == 0) pacer.streamFlowing();
                if (back > 0) queue.asyncAfter(back, [&] { pacer.streamFlowing(); });
                if (r.gone) return;  // as the server does when its session has gone
                const double tenths = double(platform::Clock::uptimeNs() - startNs) / 1e8;
                applied.push_back(std::string(1, r.peer) + std::to_string(r.value) + "@" +
                                  std::to_string(std::lround(tenths)));
            });
        });
    }
    if (GetParam().restartsOverAndOver)
        for (int i = 0; i < 40; ++i) {
            advance(0.5);
            queue.sync([&] { pacer.streamStopped(); });
            advance(0.05);
            queue.sync([&] { pacer.streamFlowing(); });
        }
    advance(2 * StreamChangePacer::longestHoldSeconds);
    EXPECT_EQ(applied, GetParam().applied);
    EXPECT_EQ(queue.syncValue([&] { return pacer.pendingCount(); }), 0u);
    EXPECT_EQ(queue.syncValue([&] { return pacer.appliedCount() + pacer.coalescedCount(); }),
              GetParam().requests.size())
        << "every request is applied, coalesced or dropped";
}

INSTANTIATE_TEST_SUITE_P(StreamChangePacer, Pacing, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct PeerFlood {
    const char* name;
    Kind kind;
    int peers;
    // How long after each change the stream flows again.
    double streamBackAfter = 0;
};

void PrintTo(const PeerFlood& c, std::ostream* out) { *out << c.name; }

class PeersFlooding : public VirtualTimeTest, public ::testing::WithParamInterface<PeerFlood> {};

// Every peer asks for a new value of the kind twenty times a second: the
// Host applies one change a hold whatever the number of peers, and once
// the flood stops every peer's latest still has its turn, in order.
TEST_P(PeersFlooding, OneChangeAHoldAndEachPeersLatestKept) {
    const auto& c = GetParam();
    constexpr double kSeconds = 10, kStep = 0.05;
    platform::DispatchQueue queue("pacer-test");
    StreamChangePacer pacer;
    std::map<std::string, uint8_t> lastAppliedBy;
    std::vector<std::string> order;
    uint8_t sent = 0;
    std::map<std::string, uint8_t> lastSentBy;
    for (int step = 0; step < int(kSeconds / kStep); ++step) {
        queue.sync([&] {
            for (int p = 0; p < c.peers; ++p) {
                const std::string peer = "fd00::" + std::to_string(p + 2);
                const uint8_t value[] = {++sent};
                lastSentBy[peer] = value[0];
                pacer.submit(queue, peer, c.kind, value, [] { return true; }, [&, peer, v = value[0]] {
                    pacer.streamStopped();
                    queue.asyncAfter(c.streamBackAfter, [&] { pacer.streamFlowing(); });
                    lastAppliedBy[peer] = v;
                    order.push_back(peer);
                });
            }
        });
        advance(kStep);
    }
    const double hold = StreamChangePacer::holdSecondsFor(c.kind) +
                        (StreamChangePacer::rebuildsTheStream(c.kind) ? c.streamBackAfter : 0);
    EXPECT_LE(double(order.size()), 1 + kSeconds / hold) << "changes applied during the flood";
    EXPECT_GE(double(order.size()), kSeconds / hold - 1) << "one each hold, not fewer";
    EXPECT_LE(queue.syncValue([&] { return pacer.pendingCount(); }), size_t(c.peers));
    advance((c.peers + 1) * hold);
    EXPECT_EQ(lastAppliedBy, lastSentBy) << "each peer's latest is applied in its turn";
    EXPECT_EQ(queue.syncValue([&] { return pacer.pendingCount(); }), 0u);
}

const PeerFlood kPeerFloods[] = {
    {"CaptureModeFromOnePeer", Kind::captureMode, 1},
    {"CaptureModeFromFourPeers", Kind::captureMode, 4},
    {"CaptureModeFromSixPeers", Kind::captureMode, 6},
    {"ChromaFromSixPeers", Kind::videoPreference, 6},
    {"DisplayModeFromOnePeer", Kind::hostDisplayMode, 1},
    {"DisplayModeFromFourPeers", Kind::hostDisplayMode, 4},
    {"DisplayModeFromSixPeers", Kind::hostDisplayMode, 6},
    {"PhysicalDisplayFromSixPeers", Kind::physicalDisplayAction, 6},
    {"RecordingFromSixPeers", Kind::recording, 6},
    {"DisplayModeFromSixPeersOnASlowMachine", Kind::hostDisplayMode, 6, 0.9},
    {"CaptureModeFromFourPeersOnASlowMachine", Kind::captureMode, 4, 0.4},
    {"RecordingFromSixPeersOnASlowMachine", Kind::recording, 6, 0.9},
};

INSTANTIATE_TEST_SUITE_P(StreamChangePacer, PeersFlooding, ::testing::ValuesIn(kPeerFloods),
                         [](const auto& info) { return std::string(info.param.name); });

using PacerLifetime = VirtualTimeTest;

TEST_F(PacerLifetime, AHoldThatEndsAfterThePacerIsGoneDoesNothing) {
    platform::DispatchQueue queue("pacer-test");
    int applied = 0;
    {
        StreamChangePacer pacer;
        queue.sync([&] {
            const uint8_t one[] = {1}, two[] = {2};
            pacer.submit(queue, "192.0.2.1", Kind::captureMode, one, [] { return true; }, [&] { ++applied; });
            pacer.submit(queue, "192.0.2.2", Kind::captureMode, two, [] { return true; }, [&] { ++applied; });
        });
    }
    advance(2 * StreamChangePacer::holdSeconds);
    EXPECT_EQ(applied, 1);
}

}  // namespace
