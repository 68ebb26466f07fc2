// What one logged-in Viewer sending valid packets as fast as it can leaves
// the others: their turn on the server queue, input posted in order but
// coalesced, identity proofs and log lines bounded.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "AuxServerTestFixture.h"
#include "HostApp/Protocol/VideoControlPayloads.h"

using platform::CGEventType;

namespace {

class Fairness : public AuxServerTest {
protected:
    static std::vector<uint8_t> pointer(uint8_t mask, uint16_t x, uint16_t y) {
        PointerEventControlPayload p;
        p.buttonMask = mask;
        p.x = x;
        p.y = y;
        p.framebufferWidth = 1000;
        p.framebufferHeight = 1000;
        return p.encode();
    }
    static std::vector<uint8_t> rawKey(uint16_t code, bool down) {
        return RawKeyEventControlPayload{code, 0, down}.encode();
    }
    std::vector<platform::PostedEvent> keyEvents() const {
        return platform::SimulatedMachine::current().component<platform::SimulatedEventTap>().keyboardEvents();
    }
};

TEST_F(Fairness, AFloodingConnectionLeavesAnotherViewerItsTurn) {
    auto flooder = audioClient();
    ASSERT_TRUE(flooder->logIn(consoleUser, password, "Flooder"));
    auto other = audioClient();
    ASSERT_TRUE(other->logIn(consoleUser, password, "Other"));
    flooder->settle();
    other->settle();

    // Small enough to be read in one piece, so that without turns it would
    // all be served before the other Viewer's key.
    constexpr int kFloodKeys = 1600;
    for (int i = 0; i < kFloodKeys; ++i) flooder->send(AuxPacketType::rawKeyEvent, rawKey(i / 2 % 50, i % 2 == 0));
    other->send(AuxPacketType::rawKeyEvent, rawKey(99, true));
    const size_t before = runtime->pendingCount();
    flooder->flush();
    other->flush();
    ASSERT_TRUE(waitForPostedWork(before, 2)) << "both connections' bytes reach the queue";
    flooder->settle();
    other->settle();

    const auto keys = keyEvents();
    ASSERT_EQ(keys.size(), size_t{kFloodKeys} + 1) << "no key is ever dropped";
    size_t otherAt = keys.size();
    std::vector<std::pair<uint16_t, bool>> flood;
    for (size_t i = 0; i < keys.size(); ++i) {
        if (keys[i].keyCode == 99) {
            otherAt = i;
        } else {
            flood.emplace_back(keys[i].keyCode, keys[i].keyDown);
        }
    }
    ASSERT_LT(otherAt, keys.size());
    EXPECT_GT(keys.size() - otherAt, size_t{kFloodKeys} / 2)
        << "the other Viewer's key waited for no more than a turn of the flood";
    for (int i = 0; i < kFloodKeys; ++i) {
        ASSERT_EQ(flood[i], std::make_pair(static_cast<uint16_t>(i / 2 % 50), i % 2 == 0)) << "in order at " << i;
    }
}

TEST_F(Fairness, AConnectionThatAlwaysHasMoreTakesABoundedShareOfTime) {
    auto flooder = audioClient();
    ASSERT_TRUE(flooder->logIn(consoleUser, password, "Flooder"));
    flooder->settle();
    // Two hundred full turns past the burst a connection may take at once:
    // half a second of its share.
    const int turns = static_cast<int>(V230HostAudioAuxServer::kFullTurnsPerSecond) + 200;
    for (int i = 0; i < turns * 64; ++i)
        flooder->send(AuxPacketType::pointerEvent, pointer(0, static_cast<uint16_t>(i % 1000), 5));
    flooder->send(AuxPacketType::rawKeyEvent, rawKey(7, true));
    flooder->flush();
    auto keyPosted = [&] { return !keyEvents().empty(); };
    // (A wait for something that must not happen: without a share it
    // happens as soon as the bytes are read.)
    EXPECT_FALSE(runUntil(keyPosted, 1.0)) << "the rest waits for virtual time";
    advance(0.4);
    EXPECT_FALSE(runUntil(keyPosted, 0.2)) << "two hundred turns take half a second";
    advance(0.2);
    EXPECT_TRUE(runUntil(keyPosted));
}

TEST_F(Fairness, ABurstOfMovesIsPostedAsItsLatestPositionAndNeverPassesAClick) {
    auto client = audioClient();
    ASSERT_TRUE(client->logIn(consoleUser, password, "Viewer"));
    client->settle();
    for (uint16_t i = 0; i < 300; ++i) client->send(AuxPacketType::pointerEvent, pointer(0, i, i));
    client->send(AuxPacketType::pointerEvent, pointer(0, 500, 500));
    client->send(AuxPacketType::pointerEvent, pointer(0x01, 500, 500));
    for (uint16_t i = 0; i < 300; ++i) client->send(AuxPacketType::pointerEvent, pointer(0x01, 600, i));
    client->send(AuxPacketType::pointerEvent, pointer(0, 600, 299));
    for (uint16_t i = 0; i < 300; ++i) client->send(AuxPacketType::pointerEvent, pointer(0, 900, i));
    client->settle();

    const auto events = postedEvents();
    EXPECT_LT(events.size(), 60u) << "903 moves coalesce into a few";
    size_t down = events.size(), up = events.size();
    for (size_t i = 0; i < events.size(); ++i) {
        if (events[i].type == CGEventType::leftMouseDown) down = i;
        if (events[i].type == CGEventType::leftMouseUp) up = i;
    }
    ASSERT_GT(down, 0u);
    ASSERT_LT(up, events.size());
    ASSERT_LT(down, up);
    EXPECT_EQ(events[down - 1].type, CGEventType::mouseMoved) << "the move before the press is posted before it";
    EXPECT_EQ(events[down - 1].location, events[down].location);
    for (size_t i = down + 1; i < up; ++i) EXPECT_EQ(events[i].type, CGEventType::leftMouseDragged);
    EXPECT_EQ(events[up - 1].location, events[up].location) << "the last drag lands where the release is";
    EXPECT_EQ(events.back().type, CGEventType::mouseMoved);
    const auto& tap = platform::SimulatedMachine::current().component<platform::SimulatedEventTap>();
    const auto last = tap.cursorLocation();
    // The last move was at the bottom of column 900 of 1000.
    EXPECT_EQ(events.back().location, last);
    EXPECT_GT(last.x, events[up].location.x);
}

TEST_F(Fairness, ScrollsThatPileUpArePostedAsTheirSum) {
    auto client = audioClient();
    ASSERT_TRUE(client->logIn(consoleUser, password, "Viewer"));
    client->settle();
    GestureEventControlPayload scroll;
    scroll.framebufferWidth = scroll.framebufferHeight = 100;
    scroll.deltaY = 3;
    scroll.deltaX = -1;
    for (int i = 0; i < 40; ++i) client->send(AuxPacketType::gestureEvent, scroll.encode());
    client->settle();
    int32_t vertical = 0, horizontal = 0;
    size_t wheels = 0;
    for (const auto& e : postedEvents()) {
        if (e.type != CGEventType::scrollWheel) continue;
        ++wheels;
        vertical += e.wheel1;
        horizontal += e.wheel2;
    }
    EXPECT_LT(wheels, 40u);
    EXPECT_EQ(vertical, 120);
    EXPECT_EQ(horizontal, -40);
}

TEST_F(Fairness, AfterLoginTwoIdentityProofsAreAnsweredAndOneLineTellsTheRest) {
    auto client = audioClient();
    ASSERT_TRUE(client->logIn(consoleUser, password, "Viewer"));
    V230HostAudioAuxServer::setIdentityProofLimitAfterLoginForTesting(true);
    const uint64_t ignoredBefore = V230HostAudioAuxServer::identityChallengesIgnoredForTesting();
    const size_t proofsBefore = client->packets().size();
    std::array<uint8_t, 32> challenge{};
    for (int i = 0; i < 6; ++i) client->send(AuxPacketType::hostIdentityChallenge, challenge);
    client->flush();
    auto proofsReceived = [&] {
        size_t proofs = 0;
        const auto packets = client->packets();
        for (size_t i = proofsBefore; i < packets.size(); ++i)
            proofs += packets[i].header.type == AuxPacketType::hostIdentityProof;
        return proofs;
    };
    // All six served (four ignored), and the answers read off the socket,
    // which may come after the server counted the last ignored one.
    ASSERT_TRUE(runUntil([&] {
        return V230HostAudioAuxServer::identityChallengesIgnoredForTesting() == ignoredBefore + 4 &&
               proofsReceived() >= 2;
    }));
    EXPECT_EQ(proofsReceived(), 2u);
    EXPECT_EQ(logCount("asked for a third identity proof after login; ignoring"), 1u);
    EXPECT_FALSE(client->isClosed());
    V230HostAudioAuxServer::setIdentityProofLimitAfterLoginForTesting(false);
}

TEST_F(Fairness, AnUnchangedVideoPreferenceSaysNothingAndQueuesNothing) {
    auto video = videoClient();
    ASSERT_TRUE(video->logIn(consoleUser, password, "Viewer"));
    video->settle();
    const auto current = server->queue.syncValue([&] { return server->streamControl.currentVideoChromaMode; });
    auto statuses = std::make_shared<std::vector<std::string>>();
    server->queue.sync([&] { server->onStatus = [statuses](const std::string& text) { statuses->push_back(text); }; });
    for (int i = 0; i < 30; ++i)
        video->send(AuxPacketType::videoPreferenceControl, std::vector<uint8_t>{static_cast<uint8_t>(current)});
    video->settle();
    for (const auto& text : *statuses) EXPECT_EQ(text.find("chroma"), std::string::npos) << text;
    EXPECT_FALSE(logContains("video chroma"));
}

// The log budget is the peer's: its other connections share it, another
// peer has its own, and a peer that leaves and comes back starts afresh.
TEST_F(Fairness, AViewersRepeatedLineIsWrittenOnceASecondWithTheRestCounted) {
    const std::vector<uint8_t> kShortPointer = {1, 2, 3};
    auto audio = audioClient();
    ASSERT_TRUE(audio->logIn(consoleUser, password, "Viewer"));
    auto video = videoClient();
    ASSERT_TRUE(video->logIn(consoleUser, password, "Viewer"));
    auto other = audioClient("127.0.0.2");
    ASSERT_TRUE(other->logIn(consoleUser, password, "Other"));
    audio->settle();
    video->settle();
    for (int i = 0; i < 50; ++i) audio->send(AuxPacketType::pointerEvent, kShortPointer);
    audio->settle();
    EXPECT_EQ(logCount("bad pointer event payload"), 1u);
    video->send(AuxPacketType::pointerEvent, kShortPointer);
    video->settle();
    EXPECT_EQ(logCount("bad pointer event payload"), 1u) << "the peer's other connection shares its budget";
    other->send(AuxPacketType::pointerEvent, kShortPointer);
    other->settle();
    EXPECT_EQ(logCount("bad pointer event payload"), 2u) << "another peer has its own budget";
    advance(1.0);
    audio->send(AuxPacketType::pointerEvent, kShortPointer);
    audio->settle();
    EXPECT_EQ(logCount("bad pointer event payload (50 similar lines suppressed)"), 1u);
    // Gone, and back within the second: its scope went with it.
    other->send(AuxPacketType::pointerEvent, kShortPointer);
    other->settle();
    other.reset();
    runUntilIdle();
    auto back = audioClient("127.0.0.2");
    ASSERT_TRUE(back->logIn(consoleUser, password, "Other"));
    back->send(AuxPacketType::pointerEvent, kShortPointer);
    back->settle();
    EXPECT_EQ(logCount("bad pointer event payload"), 5u);
}

}  // namespace
