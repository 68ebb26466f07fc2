// The Host shortcut table: what each of the 24 kinds posts and says, with
// and without Accessibility trust, and the kinds with timing or state of
// their own (input source, wake, pause, Mission Control).

#include "InputTestSupport.h"

#include "Platform/SimulatedMac/PowerManagement.h"
#include "Platform/AppKit/Workspace.h"

using namespace platform;
using V = std::vector<std::string>;

namespace {

class HostShortcuts : public InputTest {
protected:
    void shortcut(uint8_t raw) {
        auto payload = HostShortcutControlPayload::decode(std::vector<uint8_t>{raw});
        ASSERT_TRUE(payload) << int(raw);
        onQueue([&] { server->applyHostShortcut(*payload, viewer); });
    }
    void freshMachine() {
        SimulatedMachine::install(std::make_shared<SimulatedMachine>());
        server = std::make_shared<V230HostAudioAuxServer>();
        log->clear();
    }
};

const V kSpace = {"59v/40000", "49v/40000", "49^/40000", "59^/40000", "59^"};
V combo(const std::string& key, const V& mods, const V& modUps) {
    V out = mods;
    out.push_back(key + "v/" + modUps.front());
    out.push_back(key + "^/" + modUps.front());
    for (size_t i = 1; i < modUps.size(); ++i) out.push_back(modUps[i]);
    return out;
}
V sys(int key) { return {"S" + std::to_string(key) + "v", "S" + std::to_string(key) + "^"}; }
V withFlags(const std::string& flags, V rest) {
    rest.insert(rest.begin(), "F" + flags);
    return rest;
}

TEST_F(HostShortcuts, EveryKindPostsAndSaysWhatTheTableGives) {
    const V shiftCmd = {"56v/20000", "55v/120000"}, shiftCmdUps = {"120000", "55^/120000", "56^/20000"};
    const V ctrlCmd = {"59v/40000", "55v/140000"}, ctrlCmdUps = {"140000", "55^/140000", "59^/40000"};
    const struct {
        uint8_t raw;
        V trusted, untrusted, texts;
    } rows[] = {
        {1, withFlags("0", sys(160)), {},
         {"remote input: Mission Control requested by Viewer from unknown", "host shortcut: opened Mission Control"}},
        {2, {}, {}, {"host shortcut: Launchpad Dock private toggle"}},
        {3, {"ax59v", "ax124v", "ax124^", "ax59^"}, {},
         {"host shortcut: next desktop requested", "host shortcut: next desktop switched"}},
        {4, {}, {}, {"host shortcut: already at the first desktop"}},
        {5, combo("125", {"59v/40000"}, {"40000", "59^/40000"}), {}, {"host shortcut: Control+Down App Expose"}},
        {10, sys(16), sys(16), {"media activator: no playing app found (play/pause)"}},
        {11, sys(17), sys(17), {"media activator: no playing app found (next track)"}},
        {12, sys(18), sys(18), {"media activator: no playing app found (previous track)"}},
        {13, sys(7), sys(7), {}},
        {14, sys(0), sys(0), {}},
        {15, sys(1), sys(1), {}},
        {16, sys(2), sys(2), {}},
        {17, sys(3), sys(3), {}},
        {18, sys(21), sys(21), {}},
        {19, sys(22), sys(22), {}},
        {20, kSpace, kSpace, {"host shortcut: next input source (Ctrl+Space)"}},
        {22, combo("20", shiftCmd, shiftCmdUps), {}, {"host shortcut: screenshot (Shift+Cmd+3)"}},
        {23, combo("23", shiftCmd, shiftCmdUps), {}, {"host shortcut: recording toggle (Shift+Cmd+5)"}},
        {50, combo("12", ctrlCmd, ctrlCmdUps), {}, {"host shortcut: lock screen (Ctrl+Cmd+Q)"}},
        {51, {}, {}, {"host shortcut: wake display (PM assertion)"}},
        {100, {}, {}, {}},
        {101, {}, {}, {}},
        {160, withFlags("80000", sys(160)), {}, {}},
        {161, withFlags("80000", sys(13)), {}, {}},
    };
    ASSERT_EQ(std::size(rows), 24u);
    for (const auto& row : rows) {
        freshMachine();
        shortcut(row.raw);
        advance(1);
        EXPECT_EQ(described(), row.trusted) << int(row.raw);
        for (const auto& text : row.texts) EXPECT_TRUE(logContains(text)) << int(row.raw) << ": " << text;
    }
    // Untrusted, one run: the system keys still post; the first trust check
    // warns and prompts once, later ones stay silent.
    freshMachine();
    setTrusted(false);
    for (const auto& row : rows) {
        tap().clear();
        shortcut(row.raw);
        advance(1);
        EXPECT_EQ(described(), row.untrusted) << "untrusted " << int(row.raw);
    }
    EXPECT_EQ(log->count("input: Host needs Accessibility permission for direct mouse and gesture control"), 1u);
    EXPECT_EQ(SimulatedMachine::current().component<SimulatedAccessibility>().promptCount(), 1);
}

TEST_F(HostShortcuts, InputSourceReleasesControlAfterAQuarterSecondEvenIfTheViewerHeldIt) {
    onQueue([&] { server->remoteInput.inputKeyboardFlags = kCGEventFlagMaskControl | kCGEventFlagMaskShift; });
    const uint64_t start = Clock::uptimeNs();
    shortcut(20);
    advance(0.249);
    EXPECT_EQ(events().size(), 4u);
    onQueue([&] { EXPECT_TRUE(server->remoteInput.inputKeyboardFlags & kCGEventFlagMaskControl); });
    advance(0.001);
    auto posted = events();
    ASSERT_EQ(posted.size(), 5u);
    const uint64_t atMs[] = {0, 35, 70, 105, 250};
    for (size_t i = 0; i < 5; ++i) EXPECT_EQ(posted[i].uptimeNs - start, atMs[i] * 1'000'000) << i;
    EXPECT_EQ(posted[4].flags, 0u);
    onQueue([&] { EXPECT_EQ(server->remoteInput.inputKeyboardFlags, kCGEventFlagMaskShift); });
}

TEST_F(HostShortcuts, WakeFailureIsReportedWithItsSignedCode) {
    auto& power = SimulatedMachine::current().component<SimulatedPowerManagement>();
    power.setUserActivityError(kIOReturnError);
    shortcut(51);
    EXPECT_TRUE(logContains("host shortcut: wake display failed (-536870212)"));
    ASSERT_EQ(power.userActivityDeclarations().size(), 1u);
    EXPECT_EQ(power.userActivityDeclarations()[0].name, "Norvessal wake request");
    EXPECT_EQ(power.userActivityDeclarations()[0].type, IOPMUserActiveType::local);
}

TEST_F(HostShortcuts, TwoResumesAfterAPauseRestartCaptureOnce) {
    onQueue([&] { server->authorizedAudioSessions.insert(viewer); });
    shortcut(101);  // not paused: nothing
    shortcut(100);
    shortcut(100);
    onQueue([&] { EXPECT_TRUE(server->streamControl.isPaused); });
    shortcut(101);
    shortcut(101);
    advance(1);
    EXPECT_EQ(log->count("audio capture selecting display"), 1u);
    onQueue([&] { EXPECT_FALSE(server->streamControl.isPaused); });
}

TEST_F(HostShortcuts, MissionControlPostsControlUpOnlyWhenTheOpenFailed) {
    onQueue([&] {
        server->viewerSessionNames[viewer] = "Studio";
        server->viewerSessionRemoteAddresses[viewer] = "192.0.2.7";
    });
    auto& workspace = SimulatedMachine::current().component<SimulatedWorkspace>();
    for (int exitStatus : {0, 1}) {
        tap().clear();
        standIn("/usr/bin/open", "open", "exit " + std::to_string(exitStatus));
        workspace.setOpenOutcome({SimulatedWorkspace::OpenOutcome::Kind::error, "no such app"});
        shortcut(1);
        advance(1);
        V expected = withFlags("0", sys(160));
        if (exitStatus) expected = {"F0", "S160v", "59v/40000", "126v/40000", "S160^", "126^/40000", "59^/40000"};
        EXPECT_EQ(described(), expected) << exitStatus;
    }
    EXPECT_EQ(calls("open"), V(2, "/System/Applications/Mission Control.app"));
    EXPECT_EQ(log->count("remote input: Mission Control requested by Studio from 192.0.2.7"), 2u);
    EXPECT_TRUE(logContains("host shortcut open Mission Control.app exited with status 1"));
    EXPECT_TRUE(logContains("host shortcut workspace open failed Mission Control: no such app"));
    EXPECT_EQ(log->count("host shortcut: opened Mission Control"), 2u);
}

// Each request's tool work takes a second (the workspace answers late), and
// the Viewer keeps asking meanwhile. Bound: at most one request of a kind
// waits or runs on the tool queue, so the repeats are dropped, not queued.
TEST_F(HostShortcuts, RepeatedToolRequestsWhileOneIsInFlightAreDroppedNotQueued) {
    const struct {
        const char* name;
        std::function<void(V230HostAudioAuxServer&, const UUID&)> send;  // on the server queue
        const char* answer;
        const char* opened;
    } rows[] = {
        {"Mission Control", [](auto& s, auto& v) { s.applyHostShortcut({HostShortcutKind::missionControl}, v); }, "host shortcut: opened Mission Control",
         "/System/Applications/Mission Control.app"},
        {"Launchpad", [](auto& s, auto& v) { s.applyHostShortcut({HostShortcutKind::launchpad}, v); }, "host shortcut: Launchpad bundle-id activation",
         "/System/Applications/Launchpad.app"},
        {"Launchpad system key", [](auto& s, auto& v) { s.applySystemDefinedKeyEvent({13}, v); },
         "host shortcut: Launchpad bundle-id activation", "/System/Applications/Launchpad.app"},
    };
    constexpr int kBurst = 20;
    for (const auto& row : rows) {
        freshMachine();
        setTrusted(true);
        auto& machine = SimulatedMachine::current();
        machine.component<SimulatedDockExecutable>().setNotificationStatus(5);  // Launchpad goes on to the workspace
        auto& workspace = machine.component<SimulatedWorkspace>();
        workspace.setOpenOutcome({SimulatedWorkspace::OpenOutcome::Kind::success, "", 1});
        const auto runs = [&] {
            const auto requests = workspace.openRequests();
            return std::count_if(requests.begin(), requests.end(), [&](const auto& r) { return r.path == row.opened; });
        };

        onQueue([&] { row.send(*server, viewer); });
        for (int i = 1; i <= kBurst; ++i)
            server->queue.asyncAfter(0.9 * i / kBurst, [this, &row] { row.send(*server, viewer); });
        advance(5);
        EXPECT_EQ(runs(), 1) << row.name;
        EXPECT_EQ(log->count(row.answer), 1u) << row.name;

        // Once the first finished, the next request runs again.
        onQueue([&] { row.send(*server, viewer); });
        advance(5);
        EXPECT_EQ(runs(), 2) << row.name;
        EXPECT_EQ(log->count(row.answer), 2u) << row.name;
    }
}

TEST_F(HostShortcuts, ToolRequestsDoNothingOnceTerminationBegan) {
    setTrusted(true);
    SimulatedMachine::current().component<SimulatedDockExecutable>().setNotificationStatus(5);
    auto& workspace = SimulatedMachine::current().component<SimulatedWorkspace>();
    workspace.setOpenOutcome({SimulatedWorkspace::OpenOutcome::Kind::success, "", 1});

    shortcut(2);  // Launchpad: in flight for a second
    // Mission Control waits behind it.
    server->queue.asyncAfter(0.2, [this] { server->applyHostShortcut({HostShortcutKind::missionControl}, viewer); });
    server->queue.asyncAfter(0.5, [this] { server->beginTermination(nullptr); });
    server->queue.asyncAfter(0.6, [this] { server->applySystemDefinedKeyEvent({13}, viewer); });
    advance(5);

    // Only the work already running when termination began ran, and its
    // answer was not given.
    const auto requests = workspace.openRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].path, "/System/Applications/Launchpad.app");
    EXPECT_FALSE(logContains("host shortcut: Launchpad bundle-id activation"));
    EXPECT_FALSE(logContains("host shortcut: opened Mission Control"));
}

}  // namespace
