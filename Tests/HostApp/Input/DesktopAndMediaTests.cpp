// Desktop switch requests and their verification, and the media player
// activator that follows the play/pause and track keys.

#include "InputTestSupport.h"

#include "HostApp/Input/HostMediaPlayerActivator.h"
#include "Platform/SimulatedMac/CoreAudio.h"
#include "Platform/SimulatedMac/SkyLightSpaces.h"
#include "Platform/AppKit/Workspace.h"

using namespace platform;
using V = std::vector<std::string>;

namespace {

using Desktops = InputTest;

TEST_F(Desktops, EachStepIsReportedAndCheckedUntilItLandsOrIsGivenUp) {
    const struct {
        const char* name;
        SimulatedSpacesDisplay display;
        SpacesKeyResponse response;
        bool forward;
        V texts;
        double lastTextAfter;  // seconds after the first check
        size_t keys;
    } rows[] = {
        {"one Space", {"A", {1}, 1}, SpacesKeyResponse::apply, true,
         {"host shortcut: this host cannot switch desktops (no space row or no Accessibility permission)"}, 0, 0},
        {"back from the first", {"A", {1, 2}, 1}, SpacesKeyResponse::apply, false,
         {"host shortcut: already at the first desktop"}, 0, 0},
        {"on from the last", {"A", {1, 2}, 2}, SpacesKeyResponse::apply, true,
         {"host shortcut: already at the last desktop"}, 0, 0},
        {"lands at once", {"A", {1, 2, 3}, 1}, SpacesKeyResponse::apply, true,
         {"host shortcut: next desktop requested", "host shortcut: next desktop switched"}, 0, 4},
        {"lands back", {"A", {1, 2, 3}, 3}, SpacesKeyResponse::apply, false,
         {"host shortcut: previous desktop requested", "host shortcut: previous desktop switched"}, 0, 4},
        {"lands late", {"A", {1, 2, 3}, 1}, SpacesKeyResponse::applyLate, true,
         {"host shortcut: next desktop requested", "host shortcut: next desktop switched"}, 0.6, 4},
        {"never lands", {"A", {1, 2}, 1}, SpacesKeyResponse::ignore, true,
         {"host shortcut: next desktop requested",
          "host shortcut: next desktop did not change (the system hot key was ignored)"},
         1.6, 4},
    };
    for (const auto& row : rows) {
        SimulatedMachine::install(std::make_shared<SimulatedMachine>());
        auto& spaces = SimulatedMachine::current().component<SimulatedSpaces>();
        spaces.setDisplays({row.display});
        spaces.setKeyResponse(row.response);
        log->clear();
        onQueue([&] { server->requestDesktopSwitch(row.forward); });
        if (row.lastTextAfter > 0) {
            advance(row.lastTextAfter - 0.001);
            EXPECT_FALSE(logContains(row.texts.back())) << row.name;
            advance(0.001);
        }
        for (const auto& text : row.texts) EXPECT_TRUE(logContains(text)) << row.name << ": " << text;
        EXPECT_EQ(events().size(), row.keys) << row.name;
        EXPECT_FALSE(logContains("desktop-switched")) << "broadcast only";
        advance(3);
        EXPECT_EQ(log->count("host shortcut: "), row.texts.size()) << row.name << ": nothing after the end";
    }
}

class MediaActivator : public InputTest {
protected:
    static SimulatedWorkspace& workspace() { return SimulatedMachine::current().component<SimulatedWorkspace>(); }
    static void play(std::vector<SimulatedAudioProcesses::Process> processes) {
        SimulatedMachine::current().component<SimulatedAudioProcesses>().setProcesses(std::move(processes));
    }
    static void run(int32_t pid, const char* id, std::optional<std::string> url = std::nullopt) {
        workspace().addApplication({.processIdentifier = pid, .bundleIdentifier = id, .bundleURL = std::move(url)});
    }
};

TEST_F(MediaActivator, ThePlayingKnownPlayerComesForwardByTheBestWayThatWorks) {
    using Open = SimulatedWorkspace::OpenOutcome::Kind;
    const char* safariURL = "/Applications/Safari.app";
    const struct {
        const char* name;
        std::function<void()> setUp;
        std::string line;
        double after;
    } rows[] = {
        {"known beats an earlier unknown",
         [] {
             play({{1, "com.example.game", 1}, {2, "com.spotify.client", 1}});
             run(100, "com.example.game");
             run(200, "com.spotify.client");
         },
         "brought com.spotify.client to the front", 0},
        {"an unknown one when no known one plays",
         [] {
             play({{1, "com.example.game", 1}, {2, "com.apple.Music", 0}});
             run(100, "com.example.game");
             run(300, "com.apple.Music");
         },
         "brought com.example.game to the front", 0},
        {"none playing: the highest pid",
         [] {
             run(500, "org.videolan.vlc");
             run(300, "com.apple.Music");
             run(400, "com.example.game");
         },
         "brought org.videolan.vlc to the front", 0},
        {"unreadable processes are skipped",
         [] {
             play({{1, "com.apple.Music", 1, -1}, {2, "", 1}, {3, "org.videolan.vlc", 1, 0, -1}, {4, "com.apple.TV", 1}});
             run(100, "com.apple.TV");
         },
         "brought com.apple.TV to the front", 0},
        {"an unreadable process list leaves the running players",
         [] {
             play({{1, "com.example.game", 1}});
             SimulatedMachine::current().component<SimulatedAudioProcesses>().setListErrors(-3, noErr);
             run(100, "com.example.game");
             run(300, "com.apple.Music");
         },
         "brought com.apple.Music to the front", 0},
        {"already in front",
         [] {
             play({{1, "com.apple.Safari", 1}});
             run(100, "com.apple.Safari");
             workspace().activateApplication(100);
         },
         "com.apple.Safari already frontmost", 0},
        {"refused: the workspace opens it",
         [&] {
             run(100, "com.apple.Safari", safariURL);
             workspace().setActivationRefused(100, true);
         },
         "brought com.apple.Safari to the front (launch services)", 0},
        {"refused without a bundle",
         [] {
             run(100, "com.apple.Safari");
             workspace().setActivationRefused(100, true);
         },
         "could not activate com.apple.Safari (no bundle URL)", 0},
        {"refused, the workspace fails",
         [&] {
             run(100, "com.apple.Safari", safariURL);
             workspace().setActivationRefused(100, true);
             workspace().setOpenOutcome({Open::error, "boom"});
         },
         "could not activate com.apple.Safari (boom)", 0},
        {"refused, the workspace is silent",
         [&] {
             run(100, "com.apple.Safari", safariURL);
             workspace().setActivationRefused(100, true);
             workspace().setOpenOutcome({Open::noAnswer});
         },
         "asked launch services to open com.apple.Safari (no answer within 2 s)", 2},
        {"nothing at all", [] {}, "no playing app found", 0},
    };
    for (const auto& row : rows) {
        SimulatedMachine::install(std::make_shared<SimulatedMachine>());
        row.setUp();
        log->clear();
        const uint64_t start = Clock::uptimeNs();
        HostMediaPlayerActivator::shared()->bringPlayingAppToFront("play/pause");
        runUntilIdle();
        EXPECT_TRUE(logContains("media activator: " + row.line + " (play/pause)")) << row.name;
        EXPECT_EQ(Clock::uptimeNs() - start, static_cast<uint64_t>(row.after * 1e9)) << row.name;
        EXPECT_EQ(HostMediaPlayerActivator::shared()->lastActivationDescription(), row.line) << row.name;
    }
}

TEST_F(MediaActivator, RequestsRunInOrderEachToItsEnd) {
    EXPECT_EQ(HostMediaPlayerActivator::shared()->lastActivationDescription(), "never");
    run(100, "com.apple.Music", "/System/Applications/Music.app");
    workspace().setActivationRefused(100, true);
    workspace().setOpenOutcome({SimulatedWorkspace::OpenOutcome::Kind::noAnswer});
    play({{7, "com.apple.Music", 1}});
    const uint64_t start = Clock::uptimeNs();
    for (const char* reason : {"play/pause", "next track"}) HostMediaPlayerActivator::shared()->bringPlayingAppToFront(reason);
    runUntilIdle();
    // One after the other: two full waits, the lines in request order.
    EXPECT_EQ(Clock::uptimeNs() - start, 4'000'000'000u);
    V lines;
    for (const auto& l : logLines())
        if (l.find("media activator: ") != l.npos) lines.push_back(l.substr(l.find("media activator: ")));
    const std::string line = "media activator: asked launch services to open com.apple.Music (no answer within 2 s)";
    EXPECT_EQ(lines, (V{line + " (play/pause)", line + " (next track)"}));
    EXPECT_EQ(workspace().activationRequests(), (std::vector<SimulatedWorkspace::Activation>(2, {100, 1})));
}

// A Viewer pressing play/pause as fast as it can queues one activation,
// not one per press: the presses that find one waiting join it.
TEST_F(MediaActivator, PressesWhileOneWaitsJoinIt) {
    const size_t before = runtime->pendingCount();
    for (int i = 0; i < 500; ++i) HostMediaPlayerActivator::shared()->bringPlayingAppToFront("play/pause");
    HostMediaPlayerActivator::shared()->bringPlayingAppToFront("next track");
    EXPECT_EQ(runtime->pendingCount(), before + 2);
    EXPECT_EQ(HostMediaPlayerActivator::shared()->waitingRequestsForTesting(), 2u);
    runUntilIdle();
    EXPECT_EQ(log->count("media activator: no playing app found (play/pause)"), 1u);
    EXPECT_EQ(HostMediaPlayerActivator::shared()->waitingRequestsForTesting(), 0u);
    // Once it has started, the next press is a request of its own.
    HostMediaPlayerActivator::shared()->bringPlayingAppToFront("play/pause");
    runUntilIdle();
    EXPECT_EQ(log->count("media activator: no playing app found (play/pause)"), 2u);
}

}  // namespace
