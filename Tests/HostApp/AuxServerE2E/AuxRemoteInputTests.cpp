// A Viewer's input, Host shortcuts and the display layout through real
// sockets: what a logged-in Viewer sends lands on the simulated Mac in
// order, what it held is lifted when it leaves, shortcut texts come back,
// and layouts reach the right connections.

#include <gtest/gtest.h>

#include "AuxServerTestFixture.h"
#include "HostApp/Display/HostDisplayModeSwitcher.h"
#include "Platform/SimulatedMac/Accessibility.h"

using namespace platform;
using T = CGEventType;

namespace {

class RemoteInput : public AuxServerTest {
protected:
    static constexpr uint16_t kWidth = 1512, kHeight = 982;  // one to one on display 1

    std::unique_ptr<AuxTestClient> loggedIn(bool audio = true) {
        auto c = audio ? audioClient() : videoClient();
        EXPECT_TRUE(c->logIn(consoleUser, password, "Mac Viewer"));
        return c;
    }
    static void pointer(AuxTestClient& c, uint8_t mask, uint16_t x, uint16_t y) {
        c.send(AuxPacketType::pointerEvent, PointerEventControlPayload{mask, x, y, kWidth, kHeight}.encode());
    }
    static void key(AuxTestClient& c, uint32_t keysym, bool down) {
        c.send(AuxPacketType::keyEvent, KeyEventControlPayload{keysym, down}.encode());
    }
    static SimulatedEventTap& tap() { return SimulatedMachine::current().component<SimulatedEventTap>(); }
    static size_t count(const std::vector<ReceivedAuxPacket>& packets, AuxPacketType type) {
        size_t n = 0;
        for (const auto& p : packets) n += p.header.type == type;
        return n;
    }
};

TEST_F(RemoteInput, BackToBackMessagesLandInOrderAtTheMappedPoints) {
    auto viewer = loggedIn();
    key(*viewer, 0xFFE1, true);
    pointer(*viewer, 0x00, 10, 10);
    pointer(*viewer, 0x01, 20, 20);
    pointer(*viewer, 0x01, 1600, 40);  // past the edge: the last column
    pointer(*viewer, 0x00, 30, 40);
    key(*viewer, 0x61, true);
    key(*viewer, 0x61, false);
    key(*viewer, 0xFFE1, false);
    viewer->settle();

    const struct { T type; double x, y; uint16_t code; uint64_t flags; } expected[] = {
        {T::keyDown, 0, 0, 56, 0x20000},       {T::mouseMoved, 10, 10, 0, 0x20000},
        {T::leftMouseDown, 20, 20, 0, 0x20000}, {T::leftMouseDragged, 1511, 40, 0, 0x20000},
        {T::leftMouseUp, 30, 40, 0, 0x20000},   {T::keyDown, 0, 0, 0, 0x20000},
        {T::keyUp, 0, 0, 0, 0x20000},           {T::keyUp, 0, 0, 56, 0},
    };
    auto posted = postedEvents();
    ASSERT_EQ(posted.size(), std::size(expected));
    for (size_t i = 0; i < posted.size(); ++i) {
        EXPECT_EQ(posted[i].type, expected[i].type) << i;
        EXPECT_EQ(posted[i].flags, expected[i].flags) << i;
        if (posted[i].isKeyboard()) {
            EXPECT_EQ(posted[i].keyCode, expected[i].code) << i;
        } else {
            EXPECT_NEAR(posted[i].location.x, expected[i].x, 1e-9) << i;
            EXPECT_NEAR(posted[i].location.y, expected[i].y, 1e-9) << i;
        }
    }
}

TEST_F(RemoteInput, ALeavingViewersButtonsAndKeysAreLifted) {
    auto viewer = loggedIn();
    pointer(*viewer, 0x01, 100, 200);
    key(*viewer, 0xFFE3, true);                                                        // Control
    viewer->send(AuxPacketType::rawKeyEvent, RawKeyEventControlPayload{55, 0x100000, true}.encode());  // Command
    key(*viewer, 0x61, true);                                                          // a, held
    key(*viewer, 0x62, true);                                                          // b, released
    key(*viewer, 0x62, false);
    viewer->settle();
    const size_t before = postedEvents().size();
    viewer->close();
    ASSERT_TRUE(waitForSessions(0, 0));

    auto posted = postedEvents();
    ASSERT_EQ(posted.size(), before + 4);
    EXPECT_EQ(posted[before].type, T::leftMouseUp);
    EXPECT_NEAR(posted[before].location.y, 200, 1e-9) << "Quartz space, not AppKit's mirrored one";
    const uint16_t keyUps[] = {59, 0, 55};  // the modifier release, then what the session held, by code
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(posted[before + 1 + i].type, T::keyUp);
        EXPECT_EQ(posted[before + 1 + i].keyCode, keyUps[i]);
        EXPECT_EQ(posted[before + 1 + i].flags, 0u);
    }
    EXPECT_TRUE(logContains("input: released 1 held modifier(s) after session disconnected"));
    EXPECT_TRUE(tap().keysDown().empty());
    EXPECT_TRUE(tap().buttonsDown().empty());
}

TEST_F(RemoteInput, UntrustedHostWarnsEveryConnectionOnceAndDropsInput) {
    auto audio = loggedIn(true);
    auto video = loggedIn(false);
    SimulatedMachine::current().setPermission(Permission::accessibility, false);
    pointer(*audio, 0x01, 1, 1);
    key(*video, 0x61, true);
    audio->send(AuxPacketType::rawKeyEvent, RawKeyEventControlPayload{1, 0, true}.encode());
    audio->send(AuxPacketType::systemDefinedKeyEvent, SystemDefinedKeyEventControlPayload{7}.encode());
    audio->send(AuxPacketType::gestureEvent, GestureEventControlPayload{GestureEventKind::scroll, 1, 1, 9, 9, 1, 1, 0}.encode());
    audio->settle();
    video->settle();
    const std::string warning = "input: Host needs Accessibility permission for direct mouse and gesture control";
    for (auto* c : {audio.get(), video.get()}) {
        size_t warnings = 0;
        for (const auto& p : c->packets()) warnings += p.header.type == AuxPacketType::hostStatus && p.text() == warning;
        EXPECT_EQ(warnings, 1u);
    }
    EXPECT_EQ(SimulatedMachine::current().component<SimulatedAccessibility>().promptCount(), 1);
    EXPECT_TRUE(postedEvents().empty());
    server->queue.sync([&] { EXPECT_TRUE(server->remoteInput.inputButtonMasks.empty()); });

    SimulatedMachine::current().setPermission(Permission::accessibility, true);
    key(*video, 0x61, true);
    video->settle();
    EXPECT_EQ(postedEvents().size(), 1u) << "trust granted later works from the next event";
}

TEST_F(RemoteInput, HostShortcutsActOnTheMacAndAnswerTheViewer) {
    auto viewer = loggedIn();
    for (uint8_t bad : {0, 6, 21, 99, 162}) viewer->send(AuxPacketType::hostShortcut, std::vector<uint8_t>{bad});
    viewer->send(AuxPacketType::hostShortcut, std::vector<uint8_t>{3});  // two Spaces on the main display
    viewer->settle();
    // One line for the five: a Viewer's repeated line is written once a second.
    EXPECT_EQ(logCount("bad host shortcut payload"), 1u);
    std::vector<std::string> texts;
    for (const auto& p : viewer->packets()) {
        if (p.header.type == AuxPacketType::hostStatus && p.text().find("desktop") != std::string::npos)
            texts.push_back(p.text());
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"host shortcut: next desktop requested",
                                               "host shortcut: next desktop switched", "desktop-switched:2/2"}));
    EXPECT_FALSE(logContains("desktop-switched")) << "for the Viewers only";

    tap().clear();
    viewer->send(AuxPacketType::hostShortcut, std::vector<uint8_t>{22, 99});  // the trailing byte is ignored
    viewer->settle();
    advance(0.2);
    const struct { uint16_t code; bool down; uint64_t flags; } expected[] = {
        {56, true, 0x20000}, {55, true, 0x120000}, {20, true, 0x120000},
        {20, false, 0x120000}, {55, false, 0x120000}, {56, false, 0x20000}};
    auto posted = postedEvents();
    ASSERT_EQ(posted.size(), std::size(expected));
    for (size_t i = 0; i < posted.size(); ++i) {
        EXPECT_EQ(posted[i].keyCode, expected[i].code) << i;
        EXPECT_EQ(posted[i].keyDown, expected[i].down) << i;
        EXPECT_EQ(posted[i].flags, expected[i].flags) << i;
        EXPECT_EQ(posted[i].uptimeNs - posted[0].uptimeNs, i * 35'000'000u) << i;
    }
    EXPECT_TRUE(logContains("host shortcut: screenshot (Shift+Cmd+3)"));
}

TEST_F(RemoteInput, LayoutsReachLoggedInConnectionsOnly) {
    auto audio = loggedIn(true);
    auto video = loggedIn(false);  // the audio connection gets no second login layout
    auto stranger = audioClient();
    for (auto* c : {audio.get(), video.get()}) {
        c->settle();
        ASSERT_EQ(count(c->packets(), AuxPacketType::displayLayout), 1u);
        auto layout = c->waitForPacket(AuxPacketType::displayLayout);
        EXPECT_EQ(layout->payload.size(), 45u);
        EXPECT_EQ(DisplayLayoutPayload::decode(layout->payload), HostDisplayModeSwitcher::displayLayout(1));
    }
    // Two publishes: two packets each; none while the screens sleep.
    server->queue.sync([&] {
        server->scheduleDisplayLayoutPublish(0);
        server->scheduleDisplayLayoutPublish(0);
    });
    advance(0.05);
    server->queue.sync([&] {
        server->screensAreSleeping = true;
        server->scheduleDisplayLayoutPublish(0);
    });
    advance(0.1);
    for (auto* c : {audio.get(), video.get(), stranger.get()}) c->settle();
    EXPECT_EQ(count(audio->packets(), AuxPacketType::displayLayout), 3u);
    EXPECT_EQ(count(video->packets(), AuxPacketType::displayLayout), 3u);
    EXPECT_EQ(count(stranger->packets(), AuxPacketType::displayLayout), 0u);
}

}  // namespace
