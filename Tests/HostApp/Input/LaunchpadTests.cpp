// Launchpad's chain of ways, one scripted machine per outcome, and the
// application-opening routines it shares with Mission Control.

#include "InputTestSupport.h"

#include <signal.h>

#include <algorithm>
#include <cerrno>

#include "Platform/SimulatedMac/DynamicLoader.h"
#include "Platform/AppKit/Workspace.h"

using namespace platform;
using V = std::vector<std::string>;
using Open = SimulatedWorkspace::OpenOutcome::Kind;

namespace {

constexpr const char* kLaunchpadPath = "/System/Applications/Launchpad.app";

enum class Dock { none, tile, localizedTile, tileWithoutGeometry, noTile };

struct Machine {
    const char* name;
    bool trusted = true;
    bool dockPresent = true, dockFunction = true;
    int32_t dockStatus = 0;
    Dock dock = Dock::none;
    bool launchpadInstalled = true;
    Open workspace = Open::success;
    const char* open = nullptr;       // body of the /usr/bin/open stand-in; none: not there
    const char* osascript = nullptr;  // the same for /usr/bin/osascript
    const char* result = "";
    V lines;
    V events;
};

class Launchpad : public InputTest {
protected:
    void build(const Machine& m) {
        SimulatedMachine::install(std::make_shared<SimulatedMachine>());
        server = std::make_shared<V230HostAudioAuxServer>();
        server->hostShortcuts.toolTimeLimitSeconds = 0.3;
        auto& machine = SimulatedMachine::current();
        machine.setPermission(Permission::accessibility, m.trusted);
        auto& dock = machine.component<SimulatedDockExecutable>();
        dock.setPresent(m.dockPresent);
        dock.setNotificationFunctionPresent(m.dockFunction);
        dock.setNotificationStatus(m.dockStatus);
        auto& workspace = machine.component<SimulatedWorkspace>();
        workspace.setOpenOutcome({m.workspace, "boom"});
        if (!m.launchpadInstalled) workspace.removeInstalledApplication(kLaunchpadPath);
        for (const char* tool : {"open", "osascript"}) std::filesystem::remove(argsFile(tool));
        if (m.open) standIn("/usr/bin/open", "open", m.open);
        if (m.osascript) standIn("/usr/bin/osascript", "osascript", m.osascript);
        tap().setCursorLocation({300, 200});
        if (m.dock != Dock::none) buildDock(m.dock, workspace);
        log->clear();
    }

    static void buildDock(Dock kind, SimulatedWorkspace& workspace) {
        workspace.addApplication({.processIdentifier = 500, .bundleIdentifier = "com.apple.dock"});
        auto& ax = SimulatedMachine::current().component<SimulatedAccessibility>();
        const AXAttributeValue position = AXValueCreate(CGPoint{100, 950}), size = AXValueCreate(CGSize{60, 60});
        const uint64_t list = ax.addElement(500, 0, {{kAXDescriptionAttribute, std::string("Dock")}}).window;
        ax.addElement(500, list, {{kAXTitleAttribute, std::string("Finder")}});
        switch (kind) {
            case Dock::tile:  // a title of the wrong type, the label in the description
                ax.addElement(500, list, {{kAXTitleAttribute, position}, {kAXDescriptionAttribute, std::string(" Launchpad\n")},
                                          {kAXPositionAttribute, position}, {kAXSizeAttribute, size}});
                break;
            case Dock::localizedTile:
                workspace.installApplication({kLaunchpadPath, "com.apple.launchpad.launcher",
                                              PlistValue::Dictionary{{"CFBundleName", PlistValue("Launchpad")}},
                                              PlistValue::Dictionary{{"CFBundleDisplayName", PlistValue("Startfeld")}}});
                ax.addElement(500, list, {{kAXTitleAttribute, std::string("STARTFELD")}, {kAXPositionAttribute, position},
                                          {kAXSizeAttribute, size}});
                break;
            case Dock::tileWithoutGeometry:
                ax.addElement(500, list, {{kAXTitleAttribute, std::string("Launchpad")}, {kAXPositionAttribute, size}});
                break;
            default:
                ax.addElement(500, list, {{kAXTitleAttribute, std::string("Trash")}});
        }
    }
};

TEST_F(Launchpad, EachMachineEndsTheChainWhereItsFirstWayWorks) {
    const char* exitOne = "exit 1";
    const char* onlyOpenA = "[ \"$1\" = \"-a\" ] && exit 0; exit 1";
    const char* hangOnB = "[ \"$1\" = \"-b\" ] && { echo $$ > \"$0.pid\"; exec sleep 30; }; exit 1";
    const V tilePress = {"F0", "M5@130,980", "M1@130,980", "M2@130,980", "M5@300,200"};
    const Machine machines[] = {
        {.name = "Dock toggles", .trusted = false, .result = "host shortcut: Launchpad Dock private toggle"},
        {.name = "Dock says 5, tile pressed", .dockStatus = 5, .dock = Dock::tile,
         .result = "host shortcut: Launchpad Dock tile press",
         .lines = {"host shortcut Launchpad Dock private toggle returned 5"}, .events = tilePress},
        {.name = "no Dock library, localized tile", .dockPresent = false, .dock = Dock::localizedTile,
         .result = "host shortcut: Launchpad Dock tile press",
         .lines = {"host shortcut Launchpad Dock private toggle dlopen failed: dlopen(/System/Library/CoreServices/"
                   "Dock.app/Contents/MacOS/Dock, 2)"},
         .events = tilePress},
        {.name = "no geometry, AppleScript fails", .dockFunction = false, .dock = Dock::tileWithoutGeometry,
         .osascript = exitOne, .result = "host shortcut: Launchpad bundle-id activation",
         .lines = {"host shortcut Launchpad Dock private toggle dlsym failed: dlsym(", "tile geometry unavailable",
                   "host shortcut AppleScript activate com.apple.launchpad.launcher exited with status 1"},
         .events = {"F0"}},
        {.name = "workspace and AppleScript", .dockStatus = 5, .osascript = "exit 0",
         .result = "host shortcut: Launchpad AppleScript fallback",
         .lines = {"host shortcut Launchpad Dock process not found"}, .events = {"F0"}},
        {.name = "no tile, open -b", .dockStatus = 5, .dock = Dock::noTile, .workspace = Open::error, .open = "exit 0",
         .result = "host shortcut: Launchpad bundle-id activation",
         .lines = {"host shortcut Launchpad Dock tile not found; Dock titles=Dock, Finder, Trash",
                   "host shortcut workspace open failed com.apple.launchpad.launcher: boom",
                   "host shortcut AppleScript activate com.apple.launchpad.launcher failed: The file \u201Cosascript\u201D "
                   "doesn\u2019t exist."},
         .events = {"F0"}},
        {.name = "open -a", .dockStatus = 5, .launchpadInstalled = false, .open = onlyOpenA,
         .result = "host shortcut: Launchpad open -a fallback",
         .lines = {"host shortcut no app URL for bundle id com.apple.launchpad.launcher",
                   "host shortcut open -b com.apple.launchpad.launcher exited with status 1"},
         .events = {"F0"}},
        {.name = "system key", .dockStatus = 5, .launchpadInstalled = false,
         .result = "host shortcut: Launchpad system key", .events = {"F0", "S13v", "S13^"}},
        {.name = "untrusted, all fail", .trusted = false, .dockStatus = 5, .dock = Dock::tile, .launchpadInstalled = false,
         .result = "host shortcut: Launchpad trigger failed on Version 14.5 (Build 23F79)"},
        {.name = "hung open", .dockStatus = 5, .launchpadInstalled = false, .open = hangOnB,
         .result = "host shortcut: Launchpad system key",
         .lines = {"host shortcut open -b com.apple.launchpad.launcher timed out",
                   "host shortcut open -a Launchpad exited with status 1"},
         .events = {"F0", "S13v", "S13^"}},
    };
    for (const auto& m : machines) {
        build(m);
        const uint64_t start = Clock::uptimeNs();
        onQueue([&] { server->applyHostShortcut({HostShortcutKind::launchpad}, viewer); });
        advance(1);
        EXPECT_TRUE(logContains(m.result)) << m.name;
        for (const auto& line : m.lines) EXPECT_TRUE(logContains(line)) << m.name << ": " << line;
        EXPECT_EQ(described(), m.events) << m.name;
        const auto posted = events();
        if (m.events.size() == 5) {  // the press: up 30 ms after down, pointer back 50 ms later
            EXPECT_EQ(posted[3].uptimeNs - posted[2].uptimeNs, 30'000'000u) << m.name;
            EXPECT_EQ(posted[4].uptimeNs - start, 80'000'000u) << m.name;
        }
        const int prompts = !m.trusted && m.dockStatus != 0 ? 1 : 0;  // a working toggle never asks
        EXPECT_EQ(SimulatedMachine::current().component<SimulatedAccessibility>().promptCount(), prompts) << m.name;
        EXPECT_EQ(SimulatedMachine::current().component<SimulatedDynamicLoader>().openCount(kDockExecutablePath), 0)
            << m.name;
    }
    // The last machine's Dock was asked once, with the toggle.
    EXPECT_EQ(SimulatedMachine::current().component<SimulatedDockExecutable>().calls(),
              (std::vector<SimulatedDockExecutable::Call>{{"com.apple.launchpad.toggle", 0}}));
    // The hung tool and its process group are gone.
    std::ifstream pidFile(dataRoot->path() / "open.sh.pid");
    pid_t pid = 0;
    ASSERT_TRUE(pidFile >> pid);
    EXPECT_EQ(::kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
    EXPECT_EQ(calls("open"), (V{"-b com.apple.launchpad.launcher", "-a Launchpad"}));
}

TEST_F(Launchpad, WorkspaceOpensAreBoundedAndNeverWaitOnTheMainQueue) {
    auto& workspace = SimulatedMachine::current().component<SimulatedWorkspace>();
    bool opened = true;
    DispatchQueue::main().sync([&] { opened = server->openApplicationViaWorkspace(kLaunchpadPath, "Launchpad"); });
    EXPECT_FALSE(opened);
    EXPECT_TRUE(logContains("host shortcut workspace open skipped on main thread for Launchpad"));
    EXPECT_TRUE(workspace.openRequests().empty());

    workspace.setOpenOutcome({Open::noAnswer});
    const uint64_t start = Clock::uptimeNs();
    onQueue([&] { opened = server->openApplicationViaWorkspace(kLaunchpadPath, "Launchpad"); });
    EXPECT_FALSE(opened);
    EXPECT_EQ(Clock::uptimeNs() - start, 2'000'000'000u);
    EXPECT_TRUE(logContains("host shortcut workspace open timed out Launchpad"));
    ASSERT_EQ(workspace.openRequests().size(), 1u);
    EXPECT_EQ(workspace.openRequests()[0], (SimulatedWorkspace::OpenRequest{kLaunchpadPath, true, true}));

    // An answer after the wait gave up lands harmlessly in the shared box.
    workspace.setOpenOutcome({Open::error, "late", 3});
    onQueue([&] { opened = server->openApplicationViaWorkspace(kLaunchpadPath, "Launchpad"); });
    EXPECT_FALSE(opened);
    advance(2);
    EXPECT_TRUE(logContains("host shortcut workspace open failed Launchpad: late"));
}

TEST_F(Launchpad, EveryToolHangingHoldsNeitherTheServerNorTheMainQueueAndTheNextRequestWaitsItsTurn) {
    const char* hang = "exec sleep 30";
    // The Dock neither toggles nor has a tile; the workspace opens after a
    // second; open and osascript never answer.
    build({.name = "all hung", .dockStatus = 5, .open = hang, .osascript = hang});
    server->hostShortcuts.toolTimeLimitSeconds = 10;
    SimulatedMachine::current().component<SimulatedWorkspace>().setOpenOutcome({Open::success, "", 1});
    // The status refresh's reads of who is connected, every 2 s on the main
    // queue, as the application shell does them.
    size_t refreshes = 0;
    DispatchTimer refresh(DispatchQueue::main(), 2, [&] {
        if (!server->hasConnectedViewer() && server->connectedViewerDisplayNames().empty()) ++refreshes;
    });
    refresh.resume();
    server->queue.resetLongestWorkItemForTesting();
    DispatchQueue::main().resetLongestWorkItemForTesting();

    onQueue([&] { server->applyHostShortcut({HostShortcutKind::launchpad}, viewer); });
    // Mission Control, asked for while Launchpad's chain runs.
    server->queue.asyncAfter(0.5, [&] { server->applyHostShortcut({HostShortcutKind::missionControl}, viewer); });
    advance(30);

    EXPECT_FALSE(logContains("workspace open timed out"));
    EXPECT_TRUE(logContains("host shortcut AppleScript activate com.apple.launchpad.launcher timed out"));
    const auto lines = logLines();
    const auto at = [&](const std::string& text) {
        return std::find_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; });
    };
    ASSERT_NE(at("host shortcut: Launchpad bundle-id activation"), lines.end());
    ASSERT_NE(at("host shortcut: opened Mission Control"), lines.end());
    EXPECT_LT(at("host shortcut: Launchpad bundle-id activation"), at("host shortcut: opened Mission Control"));
    EXPECT_GE(refreshes, 7u);
    EXPECT_LT(server->queue.longestWorkItemSecondsForTesting(), 0.25);
    EXPECT_LT(DispatchQueue::main().longestWorkItemSecondsForTesting(), 0.1);
    refresh.cancel();
}

TEST_F(Launchpad, AnUnresolvableSystemApplicationIsNotOpenedByName) {
    standIn("/usr/bin/open", "open", "exit 0");
    bool opened = true;
    onQueue([&] { opened = server->openSystemApplication("Ticket Viewer", std::string("com.example.nothing")); });
    EXPECT_FALSE(opened);
    EXPECT_TRUE(calls("open").empty());
    // Without a bundle identifier the name goes to open -a.
    onQueue([&] { opened = server->openSystemApplication("Ticket Viewer", std::nullopt); });
    EXPECT_TRUE(opened);
    EXPECT_EQ(calls("open"), V{"-a Ticket Viewer"});
}

}  // namespace
