// What an unauthenticated peer may cost: the admission's limits on their
// own, then the server holding them on real loopback connections.

#include <gtest/gtest.h>

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
    for (auto c : {Source{"192.0.2.7", "192.0.2.7", "192.0.2.7"},
                   Source{"2001:db8:1:2:3:4:5:6", "2001:db8:1:2:3:4:5:6", "2001:db8:1:2::/64"},
                   Source{"2001:db8:1:2:ffff::1", "2001:db8:1:2:ffff::1", "2001:db8:1:2::/64"},
                   Source{"2001:DB8:1:3::1", "2001:db8:1:3::1", "2001:db8:1:3::/64"}, Source{"::1", "::1", "::/64"},
                   Source{"fe80::1", "fe80::1", "fe80::/64"}, Source{"FE80:0:0::0:2", "fe80::2", "fe80::/64"},
                   Source{"::ffff:192.0.2.7", "192.0.2.7", "192.0.2.7"},
                   Source{"not an address", "not an address", "not an address"}}) {
        EXPECT_EQ(AuxAdmission::sourceOf(c.address), c.peer) << c.address;
        EXPECT_EQ(AuxAdmission::machineOf(c.address), c.machine) << c.address;
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

// A neighbour guessing on the same /64 paces the machine's new addresses,
// as one machine is paced, but not a colleague who is already in; and a
// colleague's right password clears only its own count, never the guesser's.
TEST(AuxAdmissionLimits, ANeighboursGuessesHoldBackNoOneAlreadyInAndNoOneElsesLoginClearsThem) {
    const uint64_t second = 1'000'000'000;
    const std::string guesser = "2001:db8:7:8::bad", colleague = "2001:db8:7:8::c0de", newcomer = "2001:db8:7:8::1e";
    auto check = [](AuxAdmission& admission, const std::string& address, CredentialCheck verdict, uint64_t now) {
        admission.checkStarted(address);
        admission.checkFinished(address, verdict, now);
    };
    struct Case {
        const char* name;
        const std::string& asking;
        bool paced;
    };
    for (const auto& c : {Case{"the colleague, in before the guesses", colleague, false},
                          Case{"the guesser, after the colleague's right password", guesser, true},
                          Case{"an address of the /64 never in", newcomer, true}}) {
        SCOPED_TRACE(c.name);
        AuxAdmission admission;
        check(admission, colleague, CredentialCheck::valid, 1 * second);
        for (int n = 0; n < 9; ++n) check(admission, guesser, CredentialCheck::invalid, (2 + n) * second);
        check(admission, colleague, CredentialCheck::valid, 12 * second);
        const auto start = admission.checkMayStartAtNs(c.asking, 13 * second);
        ASSERT_TRUE(start);
        EXPECT_EQ(*start > 13 * second, c.paced) << (*start - 13 * second) / 1e9 << " s";
    }
}

TEST(AuxAdmissionLimits, PasswordChecksShareFourSlotsOnePerSource) {
    AuxAdmission admission;
    const uint64_t now = 5'000'000'000;
    admission.checkStarted("10.0.0.1");
    EXPECT_FALSE(admission.checkMayStartAtNs("10.0.0.1", now));
    for (auto source : {"10.0.0.2", "10.0.0.3", "10.0.0.4"}) {
        EXPECT_EQ(admission.checkMayStartAtNs(source, now), now);
        admission.checkStarted(source);
    }
    EXPECT_FALSE(admission.checkMayStartAtNs("10.0.0.5", now));  // every slot busy
    admission.checkFinished("10.0.0.2", CredentialCheck::unavailable, now);
    EXPECT_EQ(admission.checkMayStartAtNs("10.0.0.5", now), now);
    EXPECT_EQ(admission.checksRunning(), 3u);
}

// --- The server ------------------------------------------------------------------------

// Answers "right..." passwords as valid and others as invalid, after
// `delaySeconds` of virtual time, and records when each check ran.
class ScriptedDirectory : public platform::Directory {
public:
    struct Check {
        std::string password;
        double start, end;
    };
    platform::CredentialCheck verify(const std::string&, const std::string& password) override {
        const double start = platform::Clock::uptimeSeconds();
        if (gate) gate();
        platform::sleepFor(delaySeconds);
        std::lock_guard lock(mutex);
        checks.push_back({password, start, platform::Clock::uptimeSeconds()});
        return password.rfind("right", 0) == 0 ? CredentialCheck::valid : CredentialCheck::invalid;
    }
    std::vector<Check> snapshot() {
        std::lock_guard lock(mutex);
        return checks;
    }
    double delaySeconds = 0;
    std::function<void()> gate;  // runs before the delay

private:
    std::mutex mutex;
    std::vector<Check> checks;
};

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
    auto sixtyFifth = open("127.0.0.6");

    for (auto* refused : {twentyFifth, sixtyFifth}) {
        refused->send(AuxPacketType::hostIdentityChallenge, std::vector<uint8_t>(32, 1));
        EXPECT_TRUE(refused->waitClosed());
        EXPECT_TRUE(refused->packets().empty());  // no proof: nothing was read
    }
    EXPECT_TRUE(strangers.front()->requestIdentity());  // the admitted ones are served
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
