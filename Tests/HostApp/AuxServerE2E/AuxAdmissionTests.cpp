// What an unauthenticated peer may cost: the admission's limits on their
// own, then the server holding them on real loopback connections.

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <thread>

#include "AuxServerTestFixture.h"
#include "HostApp/AuxServer/AuxAdmission.h"
#include "Platform/Runtime/Clock.h"

namespace {

using platform::CredentialCheck;
using Verdict = AuxAdmission::Verdict;

// An unstarted connection stands in for an accepted one.
std::shared_ptr<platform::TcpConnection> connection() { return platform::TcpConnection::connect("127.0.0.1", 9); }

TEST(AuxAdmissionLimits, SourcesCurveAndPacingFollowTheirTables) {
    struct Source { const char* address; const char* peer; const char* machine; };
    // After login the exact address: a whole IPv6 LAN shares one /64, and a
    // link-local one shares fe80::/64. Before login the /64, whose low half
    // one machine may choose at will.
    const Source sources[] = {Source{"192.0.2.7", "192.0.2.7", "192.0.2.7"},
                   Source{"2001:db8:1:2:3:4:5:6", "2001:db8:1:2:3:4:5:6", "2001:db8:1:2::/64"},
                   Source{"2001:db8:1:2:ffff::1", "2001:db8:1:2:ffff::1", "2001:db8:1:2::/64"},
                   Source{"2001:DB8:1:3::1", "2001:db8:1:3::1", "2001:db8:1:3::/64"}, Source{"::1", "::1", "::/64"},
                   Source{"fe80::1", "fe80::1", "fe80::/64"}, Source{"FE80:0:0::0:2", "fe80::2", "fe80::/64"},
                   Source{"::ffff:192.0.2.7", "192.0.2.7", "192.0.2.7"},
                   Source{"not an address", "not an address", "not an address"}};
    for (auto c : sources) {
        EXPECT_EQ(AuxAdmission::sourceOf(c.address), c.peer) << c.address;
        EXPECT_EQ(AuxAdmission::machineOf(c.address), c.machine) << c.address;
    }
    // What each peer's account holds counts on the Host's total under its
    // machine: the addresses of one /64 share one part of it.
    {
        AuxAdmission admission([] { return 0.0; });
        std::vector<std::shared_ptr<AuxPeerAccount>> accounts;
        std::vector<std::unique_ptr<platform::WorkLedger::Charge>> held;
        std::map<std::string, size_t> byMachine;
        size_t bytes = 1000;
        for (auto c : sources) {
            accounts.push_back(admission.accountFor(c.address));
            held.push_back(std::make_unique<platform::WorkLedger::Charge>(accounts.back()->ledger, bytes));
            byMachine[c.machine] += bytes;
            bytes += 1000;
        }
        const auto& total = admission.byteTotal();
        for (const auto& [machine, holds] : byMachine) EXPECT_EQ(total->bytesOf(machine), holds) << machine;
        EXPECT_EQ(total->part(), total->limit() / (byMachine.size() + 1));
        held.clear();
        EXPECT_EQ(total->bytesInUse(), 0u);
    }

    struct Drop { size_t pending; double probability; };
    for (auto c : {Drop{0, 0}, Drop{31, 0}, Drop{32, 0.3}, Drop{48, 0.65}, Drop{56, 0.825}, Drop{64, 1}, Drop{90, 1}})
        EXPECT_DOUBLE_EQ(AuxAdmission::earlyDropProbability(c.pending), c.probability) << c.pending;

    const double pacing[] = {0, 0, 0, 1, 2, 4, 8, 16, 30, 30, 30};
    for (size_t failures = 0; failures < std::size(pacing); ++failures)
        EXPECT_EQ(AuxAdmission::pacingDelaySeconds(failures), pacing[failures]) << failures;
    EXPECT_EQ(AuxAdmission::pacingDelaySeconds(1000), 30);
}

TEST(AuxAdmissionLimits, EarlyDropFollowsTheRandomSourceBetweenHalfAndFullCap) {
    double next = 0;
    AuxAdmission admission([&] { return next; });
    std::vector<std::shared_ptr<platform::TcpConnection>> held;
    auto admit = [&](double random, size_t index) {
        next = random;
        auto c = connection();
        auto verdict = admission.admit(c, "10.0.0." + std::to_string(index % 40));
        if (verdict == Verdict::admitted) held.push_back(c);
        return verdict;
    };
    // Below half the cap nothing is dropped, whatever the draw.
    for (size_t i = 0; i < 32; ++i) ASSERT_EQ(admit(0.0, i), Verdict::admitted);
    // From there a draw below the curve drops, one at or above admits.
    for (size_t pending = 32; pending < 64; ++pending) {
        const double p = AuxAdmission::earlyDropProbability(pending);
        EXPECT_EQ(admit(p - 0.01, pending), Verdict::droppedEarly) << pending;
        EXPECT_EQ(admit(p, pending), Verdict::admitted) << pending;
    }
    EXPECT_EQ(admit(0.999, 0), Verdict::overTotalCap);
    EXPECT_EQ(admission.pendingCount(), 64u);
    EXPECT_EQ(*admission.takeSecondSummary(),
              "aux: refused 33 connection(s) in the last second (1 over the cap of 64, 32 dropped early)");
    EXPECT_FALSE(admission.takeSecondSummary());
}

TEST(AuxAdmissionLimits, OneMachineHoldsTwentyFourPlacesUntilItsConnectionsGo) {
    AuxAdmission admission([] { return 0.5; });
    std::vector<std::shared_ptr<platform::TcpConnection>> held;
    for (int i = 0; i < 24; ++i) {
        held.push_back(connection());
        // An IPv4-mapped address is the IPv4 peer it maps.
        ASSERT_EQ(admission.admit(held.back(), i % 2 ? "192.0.2.9" : "::ffff:192.0.2.9"), Verdict::admitted);
    }
    EXPECT_EQ(admission.admit(connection(), "192.0.2.9"), Verdict::overMachineCap);
    EXPECT_EQ(admission.admit(connection(), "192.0.2.10"), Verdict::admitted);
    // A place is given back by release (login), by cancel, and by dropping.
    admission.release(held[0].get());
    held[1]->cancel();
    held[2].reset();
    EXPECT_EQ(admission.pendingCountFrom("192.0.2.9"), 21u);
    admission.countAcceptFailures(2, "Too many open files");
    for (size_t i = 0; i < AuxAdmission::preLoginLinesPerSecond; ++i)
        EXPECT_TRUE(admission.mayLogPreLoginEnd("ended"));
    EXPECT_FALSE(admission.mayLogPreLoginEnd("ended"));
    EXPECT_EQ(*admission.takeSecondSummary(),
              "aux: refused 3 connection(s) in the last second (1 over 24 from one machine, 2 failed accept(s): "
              "Too many open files); 1 more connection(s) ended before login (1 ended)");
    EXPECT_TRUE(admission.mayLogPreLoginEnd("ended"));  // a new second, a new allowance
}

// One machine that takes a new address of its /64 for every connection
// and every guess: what it holds before login, and how fast its passwords
// are checked, are one machine's whatever addresses it rotates through.
TEST(AuxAdmissionLimits, AMachineRotatingThroughItsSlash64GetsOneMachinesShare) {
    struct Rotation {
        const char* name;
        // The address of its n-th connection or guess.
        std::string (*address)(int n);
    };
    // One machine's pace: three at once, then after 1, 2, 4, 8 and 16 s,
    // then one each 30 s (26 in ten minutes, against 600 unpaced).
    constexpr size_t kPacedGuessesInTenMinutes = 3 + 5 + 18;
    const Rotation rotations[] = {
        {"one address", [](int) { return std::string("2001:db8:5:6::9"); }},
        {"an address of the /64 each time",
         [](int n) { return "2001:db8:5:6:" + std::to_string(n % 9000 + 1) + "::" + std::to_string(n / 9000 + 1); }},
        {"link-local addresses", [](int n) { return "fe80::" + std::to_string(n % 9000 + 1); }},
    };
    for (const auto& r : rotations) {
        SCOPED_TRACE(r.name);
        AuxAdmission admission([] { return 0.999; });
        std::vector<std::shared_ptr<platform::TcpConnection>> held;
        for (int n = 0; n < int(AuxAdmission::maxPendingConnections); ++n) {
            auto c = connection();
            if (admission.admit(c, r.address(n)) == Verdict::admitted) held.push_back(c);
        }
        EXPECT_EQ(held.size(), AuxAdmission::maxPendingPerMachine) << "of " << AuxAdmission::maxPendingConnections;
        // A Viewer elsewhere still gets its audio, video and data channel in.
        for (int i = 0; i < 3; ++i) EXPECT_EQ(admission.admit(connection(), "198.51.100.4"), Verdict::admitted);

        // One guess a second when nothing holds it back.
        const uint64_t second = 1'000'000'000;
        size_t guesses = 0;
        for (uint64_t now = 0; now < 600 * second; now += second) {
            const std::string address = r.address(int(guesses) + 1000);
            auto start = admission.checkMayStartAtNs(address, now);
            if (!start || *start > now) continue;
            admission.checkStarted(address);
            admission.checkFinished(address, CredentialCheck::invalid, now);
            guesses++;
        }
        EXPECT_EQ(guesses, kPacedGuessesInTenMinutes);
    }
}

// A neighbour mistyping paces only itself: not a colleague already in, not
// a newcomer of the /64, and a colleague's right password never clears the
// neighbour's count. Once failures come from several of the /64's addresses,
// as a machine rotating its addresses makes them, the /64 is one source to
// every address of it that has not shown it knows the password.
TEST(AuxAdmissionLimits, AMistypingNeighbourPacesOnlyItselfUntilTheSlash64FailsFromSeveralAddresses) {
    const uint64_t second = 1'000'000'000;
    const std::string guesser = "2001:db8:7:8::bad", colleague = "2001:db8:7:8::c0de", newcomer = "2001:db8:7:8::1e",
                      rotated = "2001:db8:7:8::2", elsewhere = "2001:db8:7:9::1";
    auto check = [](AuxAdmission& admission, const std::string& address, CredentialCheck verdict, uint64_t now) {
        admission.checkStarted(address);
        admission.checkFinished(address, verdict, now);
    };
    struct Case {
        const char* name;
        bool rotating;  // one failure from a second address of the /64
        const std::string& asking;
        bool paced;
    };
    for (const auto& c : {Case{"the colleague, in before the guesses", false, colleague, false},
                          Case{"the guesser, after the colleague's right password", false, guesser, true},
                          Case{"an address of the /64 never in", false, newcomer, false},
                          Case{"another /64", false, elsewhere, false},
                          Case{"rotating: the colleague, in before the guesses", true, colleague, false},
                          Case{"rotating: the guesser", true, guesser, true},
                          Case{"rotating: an address of the /64 never in", true, newcomer, true},
                          Case{"rotating: another /64", true, elsewhere, false}}) {
        SCOPED_TRACE(c.name);
        AuxAdmission admission;
        check(admission, colleague, CredentialCheck::valid, 1 * second);
        for (int n = 0; n < 9; ++n) check(admission, guesser, CredentialCheck::invalid, (2 + n) * second);
        if (c.rotating) check(admission, rotated, CredentialCheck::invalid, 12 * second);
        check(admission, colleague, CredentialCheck::valid, 12 * second);
        const auto start = admission.checkMayStartAtNs(c.asking, 13 * second);
        ASSERT_TRUE(start);
        EXPECT_EQ(*start > 13 * second, c.paced) << (*start - 13 * second) / 1e9 << " s";
    }
}

// A machine guessing from its /64 against a directory with a PAM fail
// delay, however it spreads its guesses over its addresses and however
// many it runs at once, gets at most a dozen wrong answers in 20 s; a
// colleague of the /64 already in is checked at once throughout.
TEST(AuxAdmissionLimits, ARotatingSlash64GetsAtMostADozenWrongAnswersInTwentySeconds) {
    const uint64_t tick = 50'000'000, failDelay = 2'000'000'000, window = 20'000'000'000;
    const std::string colleague = "2001:db8:9:9::c0de";
    struct Strategy {
        const char* name;
        size_t addresses;  // guesses rotate through this many; 0: a new one each time
        uint64_t failDelayNs;
    };
    for (const auto& strategy : {Strategy{"one address", 1, failDelay}, Strategy{"two addresses", 2, failDelay},
                                 Strategy{"three addresses", 3, failDelay}, Strategy{"eight addresses", 8, failDelay},
                                 Strategy{"a new address each time", 0, failDelay},
                                 Strategy{"two addresses, no fail delay", 2, 0},
                                 Strategy{"a new address each time, no fail delay", 0, 0}}) {
        SCOPED_TRACE(strategy.name);
        AuxAdmission admission;
        admission.checkStarted(colleague);
        admission.checkFinished(colleague, CredentialCheck::valid, 0);
        std::multimap<uint64_t, std::string> running;  // answer time -> address
        size_t answers = 0, fresh = 0;
        for (uint64_t now = tick; now <= window; now += tick) {
            for (auto due = running.begin(); due != running.end() && due->first <= now; due = running.erase(due)) {
                admission.checkFinished(due->second, CredentialCheck::invalid, due->first);
                answers++;
            }
            // Every address of the rotation that may start a guess does.
            const size_t pool = strategy.addresses ? strategy.addresses : 64;
            for (size_t i = 0; i < pool; ++i) {
                const std::string address =
                    "2001:db8:9:9:" + std::to_string(1 + (strategy.addresses ? i : fresh)) + "::1";
                auto start = admission.checkMayStartAtNs(address, now);
                if (!start || *start > now) continue;
                admission.checkStarted(address);
                running.emplace(now + strategy.failDelayNs, address);
                if (!strategy.addresses) fresh++;
            }
            EXPECT_EQ(admission.checkMayStartAtNs(colleague, now), now) << now / 1e9 << " s";
        }
        EXPECT_LE(answers, 12u);
        EXPECT_GE(answers, 3u) << "a machine's first guesses are not held";
    }
}

// Logins waiting for their checks are served machine by machine, and the
// addresses of a machine in turn, never in arrival order: one address with
// a queue of logins, or a /64 with many addresses, keeps nobody waiting
// behind it.
TEST(AuxAdmissionLimits, WaitingLoginsAreServedByMachineAndAddressInTurn) {
    AuxAdmission admission;
    std::vector<std::string> waiting{"10.0.0.1", "10.0.0.1", "10.0.0.1", "10.0.0.1", "2001:db8::1", "2001:db8::1",
                                     "2001:db8::2", "10.0.0.2"};
    std::vector<std::string> served;
    while (!waiting.empty()) {
        std::optional<uint64_t> wakeAt;
        auto next = admission.nextCheck(waiting, 0, wakeAt);
        ASSERT_TRUE(next);
        served.push_back(waiting[*next]);
        admission.checkStarted(waiting[*next]);
        admission.checkFinished(waiting[*next], CredentialCheck::valid, 0);
        waiting.erase(waiting.begin() + std::ptrdiff_t(*next));
    }
    EXPECT_EQ(served, (std::vector<std::string>{"10.0.0.1", "10.0.0.2", "2001:db8::1", "10.0.0.1", "2001:db8::2",
                                                "10.0.0.1", "2001:db8::1", "10.0.0.1"}));

    // Pacing and a busy address hold only their own: the next in turn goes,
    // and the earliest time pacing lets one through is told.
    const uint64_t second = 1'000'000'000;
    for (int n = 0; n < 4; ++n) {
        admission.checkStarted("10.0.0.1");
        admission.checkFinished("10.0.0.1", CredentialCheck::invalid, 10 * second);
    }
    admission.checkStarted("10.0.0.3");
    std::optional<uint64_t> wakeAt;
    EXPECT_EQ(admission.nextCheck({"10.0.0.1", "10.0.0.3", "10.0.0.4"}, 10 * second, wakeAt), 2u);
    wakeAt.reset();
    EXPECT_FALSE(admission.nextCheck({"10.0.0.1", "10.0.0.3"}, 10 * second, wakeAt));
    EXPECT_EQ(wakeAt, 12 * second);
}

TEST(AuxAdmissionLimits, PasswordChecksRunSideBySideOnePerAddressAndAFewPerMachine) {
    AuxAdmission admission;
    const uint64_t now = 5'000'000'000;
    admission.checkStarted("10.0.0.1");
    EXPECT_FALSE(admission.checkMayStartAtNs("10.0.0.1", now));
    // The addresses of one /64 side by side, up to the machine's few.
    for (size_t i = 1; i <= AuxAdmission::passwordChecksPerMachine; ++i) {
        const std::string address = "2001:db8:3:4::" + std::to_string(i);
        EXPECT_EQ(admission.checkMayStartAtNs(address, now), now) << address;
        admission.checkStarted(address);
    }
    EXPECT_FALSE(admission.checkMayStartAtNs("2001:db8:3:4::99", now));
    for (size_t i = 2 + AuxAdmission::passwordChecksPerMachine; i <= AuxAdmission::passwordCheckSlots; ++i) {
        const std::string source = "10.0.0." + std::to_string(i);
        EXPECT_EQ(admission.checkMayStartAtNs(source, now), now) << source;
        admission.checkStarted(source);
    }
    EXPECT_FALSE(admission.checkMayStartAtNs("10.0.1.1", now));  // every slot busy
    admission.checkFinished("2001:db8:3:4::1", CredentialCheck::unavailable, now);
    EXPECT_EQ(admission.checkMayStartAtNs("10.0.1.1", now), now);
    EXPECT_EQ(admission.checkMayStartAtNs("2001:db8:3:4::99", now), now);
    EXPECT_EQ(admission.checksRunning(), AuxAdmission::passwordCheckSlots - 1);
}

// The places before login are shared: when they are full, a newcomer from a
// machine that holds few takes the place of the oldest connection of the
// machine that holds the most, so three machines renewing their connections
// as they close cannot keep anyone else out; machines holding alike keep
// theirs. Inside a /64 at its cap its addresses share it the same way.
TEST(AuxAdmissionLimits, ANewcomerTakesThePlaceOfTheOldestOfTheMachineHoldingTheMost) {
    double draw = 0.999;  // no early drop while the machines fill the places
    AuxAdmission admission([&] { return draw; });
    std::map<std::string, std::vector<std::shared_ptr<platform::TcpConnection>>> held;
    auto admit = [&](const std::string& address, std::shared_ptr<platform::TcpConnection>* displaced = nullptr) {
        auto c = connection();
        std::shared_ptr<platform::TcpConnection> out;
        auto verdict = admission.admit(c, address, &out);
        if (verdict == Verdict::admitted) held[address].push_back(c);
        if (displaced) *displaced = out;
        return verdict;
    };
    for (const char* machine : {"192.0.2.1", "192.0.2.2", "192.0.2.3"})
        while (admission.pendingCountFrom(machine) < AuxAdmission::maxPendingPerMachine &&
               admission.pendingCount() < AuxAdmission::maxPendingConnections)
            admit(machine);
    ASSERT_EQ(admission.pendingCount(), 64u);
    ASSERT_EQ(admission.pendingCountFrom("192.0.2.3"), 64u - 2 * AuxAdmission::maxPendingPerMachine);
    draw = 0.0;  // from here every early drop that may happen does

    // A Viewer's three connections: each takes the oldest place of a
    // machine holding the most, the oldest of those first.
    const std::shared_ptr<platform::TcpConnection> expected[] = {held["192.0.2.1"][0], held["192.0.2.2"][0],
                                                                 held["192.0.2.1"][1]};
    for (const auto& victim : expected) {
        std::shared_ptr<platform::TcpConnection> displaced;
        ASSERT_EQ(admit("198.51.100.4", &displaced), Verdict::admitted);
        EXPECT_EQ(displaced, victim);
    }
    EXPECT_EQ(admission.pendingCount(), 64u);
    // Renewing, the machines holding the most are refused: nobody holds
    // fewer than they do.
    EXPECT_EQ(admit("192.0.2.1"), Verdict::overTotalCap);
    EXPECT_EQ(admit("192.0.2.2"), Verdict::overTotalCap);
    // The third holds fewer: it takes a place of the second, and below the
    // full room it is not dropped early either.
    std::shared_ptr<platform::TcpConnection> displaced;
    EXPECT_EQ(admit("192.0.2.3", &displaced), Verdict::admitted);
    EXPECT_EQ(displaced, held["192.0.2.2"][1]);
    held["192.0.2.2"].back()->cancel();
    EXPECT_EQ(admit("192.0.2.3"), Verdict::admitted);
    EXPECT_EQ(admit("192.0.2.2"), Verdict::overTotalCap);
    EXPECT_EQ(*admission.takeSecondSummary(), "aux: refused 3 connection(s) in the last second (3 over the cap of 64)");

    // A /64 at its cap, from one address: a colleague's address takes its
    // oldest place, and the address cannot take it back.
    AuxAdmission lan([] { return 0.999; });
    std::vector<std::shared_ptr<platform::TcpConnection>> idle;
    for (size_t i = 0; i < AuxAdmission::maxPendingPerMachine; ++i) {
        idle.push_back(connection());
        ASSERT_EQ(lan.admit(idle.back(), "2001:db8:1:1::bad"), Verdict::admitted);
    }
    std::shared_ptr<platform::TcpConnection> taken, colleague = connection();
    EXPECT_EQ(lan.admit(colleague, "2001:db8:1:1::c0de", &taken), Verdict::admitted);
    EXPECT_EQ(taken, idle.front());
    EXPECT_EQ(lan.admit(connection(), "2001:db8:1:1::bad"), Verdict::overMachineCap);
    EXPECT_EQ(lan.pendingCountFrom("2001:db8:1:1::1"), AuxAdmission::maxPendingPerMachine);
}

// --- The server ------------------------------------------------------------------------

class Admission : public AuxServerTest {
protected:
    void startServer(V230HostAudioAuxServerConfiguration configuration = {}) override {
        // Never an early drop unless a test asks: the caps are what is tested.
        configuration.admissionRandom = [] { return 0.999; };
        if (scripted) configuration.directory = scripted;
        AuxServerTest::startServer(configuration);
    }
    std::shared_ptr<ScriptedDirectory> scripted;

    // Logs in and returns "logged in", the refusal's text or "closed",
    // letting virtual time run while the check waits for its turn.
    std::string logInWith(AuxTestClient& client, const std::string& pw) {
        if (!client.requestIdentity()) return "no proof";
        const size_t checksBefore = scripted->snapshot().size();
        // Login and a second challenge in one write: the second proof
        // coming back means the login has been read too.
        client.send(AuxPacketType::viewerLogin, client.sealedLogin({consoleUser, pw, "Viewer", std::nullopt}));
        client.send(AuxPacketType::hostIdentityChallenge, std::vector<uint8_t>(32, 3));
        if (!client.waitForPacket(AuxPacketType::hostIdentityProof)) return "closed";
        for (int i = 0; i < 200 && scripted->snapshot().size() == checksBefore && !client.isClosed(); ++i)
            advance(0.25);
        runUntil([&] {
            for (const auto& p : client.packets())
                if (p.header.type == AuxPacketType::hostSessionInfo || p.header.type == AuxPacketType::hostStatus)
                    return true;
            return client.isClosed();
        });
        for (const auto& p : client.packets()) {
            if (p.header.type == AuxPacketType::hostSessionInfo) return "logged in";
            if (p.header.type == AuxPacketType::hostStatus) return p.text();
        }
        return "closed";
    }
};

TEST_F(Admission, SixtyFifthAndTwentyFifthFromOneMachineAreClosedUnreadWhileViewersStay) {
    // Over its cap, and over the total while no machine holds more than it,
    // a machine's connection is closed unread.
    auto audio = audioClient("127.0.0.9");
    auto video = std::make_unique<AuxTestClient>(runtime, server->boundVideoPort(), 0x02, "127.0.0.9");
    ASSERT_TRUE(audio->logIn(consoleUser, password, "Viewer"));
    ASSERT_TRUE(video->logIn(consoleUser, password, "Viewer"));

    std::vector<std::unique_ptr<AuxTestClient>> strangers;
    auto open = [&](const std::string& from) {
        strangers.push_back(audioClient(from));
        return strangers.back().get();
    };
    for (int i = 0; i < 24; ++i) open("127.0.0.2");
    ASSERT_TRUE(runUntil([&] { return server->pendingConnectionCountForTesting() == 24; }));
    auto twentyFifth = open("127.0.0.2");
    for (int i = 0; i < 24; ++i) open("127.0.0.3");
    for (int i = 0; i < 16; ++i) open("127.0.0.4");
    ASSERT_TRUE(runUntil([&] { return server->pendingConnectionCountForTesting() == 64; }));
    // A machine that holds none takes the oldest place of one that holds
    // the most; that one, renewing, is refused: it holds no fewer than any.
    auto newcomer = open("127.0.0.6");
    EXPECT_TRUE(strangers.front()->waitClosed());
    EXPECT_TRUE(logContains("gave its place to another machine's; closing [before login from 127.0.0.2]"));
    EXPECT_TRUE(newcomer->requestIdentity());
    auto sixtyFifth = open("127.0.0.2");

    for (auto* refused : {twentyFifth, sixtyFifth}) {
        refused->send(AuxPacketType::hostIdentityChallenge, std::vector<uint8_t>(32, 1));
        EXPECT_TRUE(refused->waitClosed());
        EXPECT_TRUE(refused->packets().empty());  // no proof: nothing was read
    }
    EXPECT_TRUE(strangers[1]->requestIdentity());  // the admitted ones are served
    audio->settle();
    video->settle();
    EXPECT_FALSE(audio->isClosed() || video->isClosed());
    EXPECT_EQ(server->pendingConnectionCountForTesting(), 64u);

    advance(1);
    EXPECT_EQ(logCount("aux: refused 2 connection(s) in the last second (1 over the cap of 64, "
                       "1 over 24 from one machine)"),
              1u);
    // Once admitted connections go, their places are free again.
    strangers.clear();
    ASSERT_TRUE(runUntil([&] { return server->pendingConnectionCountForTesting() == 0; }));
    EXPECT_TRUE(audioClient("127.0.0.6")->requestIdentity());
}

// Three machines hold 24 silent connections each and open a new one as
// each closes: a Viewer elsewhere still logs in on audio and video, ten
// times out of ten, each within a second.
TEST_F(Admission, AViewerLogsInPastThreeMachinesRenewingTwentyFourSilentConnectionsEach) {
    std::map<std::string, std::vector<std::unique_ptr<AuxTestClient>>> silent;
    // Every machine back to 24 open connections, as far as the Host lets it.
    auto renew = [&] {
        for (const char* machine : {"127.0.0.2", "127.0.0.3", "127.0.0.4"}) {
            auto& held = silent[machine];
            std::erase_if(held, [](const auto& c) { return c->isClosed(); });
            while (held.size() < AuxAdmission::maxPendingPerMachine) held.push_back(audioClient(machine));
        }
        runUntil([] { return false; }, 0.05);
    };
    renew();
    ASSERT_TRUE(runUntil([&] { return server->pendingConnectionCountForTesting() == 64; }));
    for (int attempt = 0; attempt < 10; ++attempt) {
        SCOPED_TRACE("attempt " + std::to_string(attempt));
        const double start = platform::Clock::uptimeSeconds();
        auto audio = audioClient("127.0.0.9");
        auto video = std::make_unique<AuxTestClient>(runtime, server->boundVideoPort(), 0x02, "127.0.0.9");
        EXPECT_TRUE(audio->logIn(consoleUser, password, "Viewer"));
        EXPECT_TRUE(video->logIn(consoleUser, password, "Viewer"));
        EXPECT_LE(platform::Clock::uptimeSeconds() - start, 1.0);
        audio->close();
        video->close();
        renew();
        EXPECT_EQ(server->pendingConnectionCountForTesting(), 64u);
    }
}

TEST_F(Admission, ConnectionsThatNeverLogInWriteAtMostOneLineEachAndAreSummed) {
    std::vector<std::unique_ptr<AuxTestClient>> strangers;
    for (int i = 0; i < 8; ++i) strangers.push_back(audioClient());
    ASSERT_TRUE(waitForSessions(8, 0));
    const size_t before = logLines().size();
    for (auto& c : strangers) c->close();
    ASSERT_TRUE(waitForSessions(0, 0));
    EXPECT_EQ(logLines().size() - before, AuxAdmission::preLoginLinesPerSecond);
    EXPECT_EQ(logCount("ended [before login from 127.0.0.1]"), AuxAdmission::preLoginLinesPerSecond);
    EXPECT_FALSE(logContains("removed channel="));
    advance(1);
    const size_t quiet = 8 - AuxAdmission::preLoginLinesPerSecond;
    EXPECT_EQ(logCount("aux: " + std::to_string(quiet) + " more connection(s) ended before login (" +
                       std::to_string(quiet) + " ended)"),
              1u);
}

TEST_F(Admission, ThirdChallengeBeforeLoginClosesAndBothProofsCarryOneEphemeralKey) {
    auto client = audioClient();
    auto first = client->requestIdentity();
    auto second = client->requestIdentity();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->hostEphemeralPublicKey, second->hostEphemeralPublicKey);
    client->send(AuxPacketType::hostIdentityChallenge, std::vector<uint8_t>(32, 7));
    EXPECT_TRUE(client->waitClosed());
    EXPECT_EQ(client->packets().size(), 2u);
    EXPECT_TRUE(logContains("asked for a third identity proof before login; closing"));
}

TEST_F(Admission, FailedLoginsFromOneSourcePaceItsChecksUntilOneSucceeds) {
    server->stopForTermination();
    scripted = std::make_shared<ScriptedDirectory>();
    startServer();
    // The pause before each check, after the failures before it.
    const double expectedWaits[] = {0, 0, 0, 1, 2, 4, 8, 16};
    double lastEnd = platform::Clock::uptimeSeconds();
    for (double expected : expectedWaits) {
        auto client = audioClient();
        ASSERT_EQ(logInWith(*client, "wrong"), "login failed: code=invalid-credentials");
        const auto check = scripted->snapshot().back();
        EXPECT_NEAR(check.start - lastEnd, expected, 1e-6);
        lastEnd = check.end;
    }
    // Another source is not held back.
    auto other = audioClient("127.0.0.3");
    EXPECT_EQ(logInWith(*other, "right"), "logged in");
    EXPECT_NEAR(scripted->snapshot().back().start, lastEnd, 1e-6);

    // After eight failures the pause is 30 s: a login that waits that long
    // meets the 30 s deadline first, and its password is never checked.
    auto late = audioClient();
    EXPECT_EQ(logInWith(*late, "right"), "closed");
    EXPECT_TRUE(logContains("did not log in within 30 s; closing"));
    EXPECT_EQ(scripted->snapshot().size(), 9u);

    // Pacing lets the next one through; its success clears the count.
    advance(1);
    auto patient = audioClient();
    EXPECT_EQ(logInWith(*patient, "right"), "logged in");
    auto again = audioClient();
    EXPECT_EQ(logInWith(*again, "wrong"), "login failed: code=invalid-credentials");
    EXPECT_NEAR(scripted->snapshot().back().start, scripted->snapshot()[9].end, 1e-6);
}

TEST_F(Admission, TwoSourcesCheckAtOnceWhileOneSourceWaitsItsTurn) {
    server->stopForTermination();
    scripted = std::make_shared<ScriptedDirectory>();
    scripted->delaySeconds = 2;  // a directory's delay on every answer
    // The first check lets the others reach the directory before it ends,
    // as they would while it waits for its answer.
    bool gated = false;
    scripted->gate = [&] {
        if (std::exchange(gated, true)) return;
        runUntil([&] { return scripted->snapshot().size() >= 1; }, 5);
    };
    startServer();
    auto a1 = audioClient("127.0.0.2");
    auto a2 = audioClient("127.0.0.2");
    auto b1 = audioClient("127.0.0.3");
    for (auto* c : {a1.get(), a2.get(), b1.get()}) ASSERT_TRUE(c->requestIdentity());
    a1->send(AuxPacketType::viewerLogin, a1->sealedLogin({consoleUser, "right-a1", "A", std::nullopt}));
    b1->send(AuxPacketType::viewerLogin, b1->sealedLogin({consoleUser, "right-b1", "B", std::nullopt}));
    a2->send(AuxPacketType::viewerLogin, a2->sealedLogin({consoleUser, "right-a2", "A", std::nullopt}));
    for (auto* c : {a1.get(), b1.get(), a2.get()}) c->flush();
    for (auto* c : {a1.get(), b1.get(), a2.get()}) ASSERT_TRUE(c->waitForPacket(AuxPacketType::hostSessionInfo));

    std::map<std::string, ScriptedDirectory::Check> checks;
    for (const auto& c : scripted->snapshot()) checks[c.password] = c;
    ASSERT_EQ(checks.size(), 3u);
    EXPECT_LT(checks["right-b1"].start, checks["right-a1"].end);   // two sources at once
    EXPECT_GE(checks["right-a2"].start, checks["right-a1"].end);   // one source in turn
}

TEST_F(Admission, TerminationSkipsTheReceiveWorkQueuedAheadOfIt) {
    auto viewer = audioClient();
    ASSERT_TRUE(viewer->logIn(consoleUser, password, "Viewer"));
    auto stranger = videoClient();
    ASSERT_TRUE(waitForSessions(1, 1));
    const size_t packetsBefore = viewer->packets().size();
    // 10,000 challenges, each a signature if answered, and one more from a
    // connection that has not logged in.
    const auto challenge = makeAuxPacket(AuxPacketType::hostIdentityChallenge, 0, std::vector<uint8_t>(32, 5), 0);
    std::vector<uint8_t> flood;
    for (int i = 0; i < 10'000; ++i) flood.insert(flood.end(), challenge.begin(), challenge.end());
    const size_t queuedBefore = runtime->pendingCount();
    viewer->sendRaw(flood);
    stranger->sendRaw(challenge);
    viewer->flush();
    stranger->flush();
    // The socket thread queues the receive work; nothing runs it until the
    // test drives the runtime, here inside stopForTermination().
    for (long spins = 0; runtime->pendingCount() < queuedBefore + 2; ++spins) {
        ASSERT_LT(spins, 100'000'000L) << "the packets never arrived";
        std::this_thread::yield();
    }
    server->stopForTermination();
    EXPECT_TRUE(viewer->waitClosed());
    EXPECT_TRUE(stranger->waitClosed());
    runUntilIdle();
    EXPECT_EQ(viewer->packets().size(), packetsBefore);
    EXPECT_TRUE(stranger->packets().empty());
    EXPECT_TRUE(logContains("aux: server stopped; closed 2 Viewer connection(s)"));
    EXPECT_FALSE(logContains("before login"));
}

}  // namespace
