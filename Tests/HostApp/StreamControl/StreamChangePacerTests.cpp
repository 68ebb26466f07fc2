// How often Viewers' requests may change the shared stream: each session's
// requests of one kind coalesced to the latest, one application and then a
// hold, repeats of the change in force dropped. On the virtual clock.

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "HostApp/StreamControl/StreamChangePacer.h"
#include "Platform/Clock.h"
#include "Support/TestSupport.h"

namespace {

using Kind = StreamChangePacer::Kind;

struct TimedRequest {
    double at;  // seconds from the start
    char session;
    uint8_t value;
    Kind kind = Kind::captureMode;
};

struct PacingCase {
    const char* name;
    std::vector<TimedRequest> requests;
    // "<session><value>@<tenths of a second>", in the order applied.
    std::vector<std::string> applied;
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
    {"AnotherSessionsChangeMakesARepeatAChangeAgain",
     {{0, 'A', 1}, {0.1, 'B', 7}, {1.5, 'A', 1}},
     {"A1@0", "B7@10", "A1@20"}},
    {"EachSessionsLatestIsAppliedInTheOrderItArrived",
     {{0, 'A', 1}, {0.1, 'B', 5}, {0.2, 'A', 2}, {0.3, 'B', 6}, {0.5, 'A', 3}},
     {"A1@0", "B6@10", "A3@10"}},
    {"KindsOfOneSessionAreCoalescedApart",
     {{0, 'A', 1}, {0.1, 'A', 9, Kind::videoPreference}, {0.2, 'A', 2}, {0.3, 'A', 8, Kind::videoPreference}},
     {"A1@0", "A2@10", "A8@10"}},
    // A display switch rebuilds the stream well after it is made: it holds
    // longer, whatever waits behind it.
    {"ADisplaySwitchHoldsTwice",
     {{0, 'A', 1, Kind::hostDisplayMode}, {0.5, 'A', 2, Kind::hostDisplayMode}, {0.6, 'B', 3}},
     {"A1@0", "A2@20", "B3@20"}},
    {"APhysicalDisplayChoiceHoldsTwice",
     {{0, 'A', 1, Kind::physicalDisplayAction}, {1.5, 'A', 2}},
     {"A1@0", "A2@20"}},
    {"ADisplaySwitchWaitsOnlyForTheHoldOfTheChangeBefore",
     {{0, 'A', 1}, {0.5, 'A', 2, Kind::hostDisplayMode}, {1.5, 'A', 3, Kind::hostDisplayMode}},
     {"A1@0", "A2@10", "A3@30"}},
};

void PrintTo(const PacingCase& c, std::ostream* out) { *out << c.name; }

class Pacing : public VirtualTimeTest, public ::testing::WithParamInterface<PacingCase> {};

TEST_P(Pacing, AppliesWhatTheCaseSays) {
    platform::DispatchQueue queue("pacer-test");
    StreamChangePacer pacer;
    const uint64_t startNs = platform::Clock::uptimeNs();
    const platform::UUID sessionA = platform::UUID::random(), sessionB = platform::UUID::random();
    std::vector<std::string> applied;
    double now = 0;
    for (const auto& r : GetParam().requests) {
        advance(r.at - now);
        now = r.at;
        queue.sync([&] {
            const uint8_t payload[] = {r.value};
            pacer.submit(queue, r.session == 'A' ? sessionA : sessionB, r.kind, payload, [&, r] {
                const double tenths = double(platform::Clock::uptimeNs() - startNs) / 1e8;
                applied.push_back(std::string(1, r.session) + std::to_string(r.value) + "@" +
                                  std::to_string(std::lround(tenths)));
            });
        });
    }
    advance(3 * StreamChangePacer::holdSeconds);
    EXPECT_EQ(applied, GetParam().applied);
    EXPECT_EQ(queue.syncValue([&] { return pacer.pendingCount(); }), 0u);
    EXPECT_EQ(queue.syncValue([&] { return pacer.appliedCount() + pacer.coalescedCount(); }),
              GetParam().requests.size())
        << "every request is applied, coalesced or dropped";
}

INSTANTIATE_TEST_SUITE_P(StreamChangePacer, Pacing, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

using PacerLifetime = VirtualTimeTest;

TEST_F(PacerLifetime, AHoldThatEndsAfterThePacerIsGoneDoesNothing) {
    platform::DispatchQueue queue("pacer-test");
    int applied = 0;
    {
        StreamChangePacer pacer;
        queue.sync([&] {
            const uint8_t one[] = {1}, two[] = {2};
            pacer.submit(queue, platform::UUID::random(), Kind::captureMode, one, [&] { ++applied; });
            pacer.submit(queue, platform::UUID::random(), Kind::captureMode, two, [&] { ++applied; });
        });
    }
    advance(2 * StreamChangePacer::holdSeconds);
    EXPECT_EQ(applied, 1);
}

}  // namespace
