// The status refresh: the address and Viewer texts, the route, Screen
// Sharing and display probes with their generations, and the coalesced
// presentation update.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "HostShellTestFixture.h"
#include "Platform/Network/Network.h"
#include "Platform/Network/NetworkInterfaces.h"
#include "Platform/SimulatedMac/CoreGraphicsDisplays.h"
#include "Platform/Foundation/UserDefaults.h"
#include "VelantrixProfiles/Discovery/VelantrixDiscovery.h"

using namespace platform;

namespace {

const std::vector<VelantrixRouteRecord> kRoutes = {
    {"thunderbolt", "bridge0", "169.254.3.9"}, {"lan", "en1", "10.0.0.5"}, {"wifi", "en0", "192.168.1.20"}};

class StatusTextTest : public VirtualTimeTest {};

TEST_F(StatusTextTest, AddressTextsNameTheRoutesAndMarkTheOneAViewerUses) {
    const std::vector<std::string> viewer = {"192.168.1.77"};
    EXPECT_EQ(HostProbeDelegate::summaryAddressText({}, viewer), "Host IPs: none found");
    EXPECT_EQ(HostProbeDelegate::menuAddressText({}, viewer), "Host IPs: none found");
    EXPECT_EQ(HostProbeDelegate::menuAddressText(kRoutes, viewer),
              "Host IPs: Thunderbolt bridge0: 169.254.3.9, LAN en1: 10.0.0.5 + 1 more");
    EXPECT_EQ(HostProbeDelegate::summaryAddressText(kRoutes, viewer),
              "Host IPs:\n  Thunderbolt bridge0: 169.254.3.9\n  LAN en1: 10.0.0.5\n  Wi-Fi en0: 192.168.1.20 (current)");
    EXPECT_EQ(HostProbeDelegate::menuAddressText({kRoutes[1]}, {}), "Host IPs: LAN en1: 10.0.0.5");

    const std::pair<const char*, bool> marks[] = {
        {"169.254.3.200", true}, {"169.254.4.1", false}, {"fe80::1", false}, {"[169.254.3.1]", true}};
    for (const auto& [address, marked] : marks)
        EXPECT_EQ(HostProbeDelegate::routeAddressText(kRoutes[0], {address}).ends_with(" (current)"), marked)
            << address;
    EXPECT_EQ(HostProbeDelegate::routeAddressText({"lan", "en1", "fe80::2"}, {"fe80::3"}), "LAN en1: fe80::2");
}

TEST_F(StatusTextTest, Ipv4OctetsNeedsFourDecimalPiecesInRange) {
    using Octets = std::optional<std::array<int, 4>>;
    const std::pair<const char*, Octets> cases[] = {
        {"[192.168.1.5]", std::array{192, 168, 1, 5}}, {" 192.168.1.5 ", std::array{192, 168, 1, 5}},
        {"192.168..1.5", std::array{192, 168, 1, 5}},  {"192.168.1", std::nullopt},
        {"192.168.1.256", std::nullopt},                {"192.168.x.5", std::nullopt},
        {"1.2.3.4.5", std::nullopt},                    {"99999999999.1.1.1", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [text, octets] : cases) EXPECT_EQ(HostProbeDelegate::ipv4Octets(text), octets) << text;
}

TEST_F(StatusTextTest, ViewerNamesAreSummarisedOnceEachFirstSpellingWins) {
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{}, "Norvessal"},
        {{"  ", "\n"}, "Norvessal"},
        {{" iPad \n", "IPAD"}, "iPad"},
        {{"iPad", "Studio"}, "iPad, Studio"},
        {{"iPad", "Studio", "studio", "Air"}, "iPad + 2 Viewers"},
    };
    for (const auto& [names, text] : cases) EXPECT_EQ(HostProbeDelegate::viewerDisplayNameSummary(names), text);
}

class StatusPresentationTest : public HostShellTest {
protected:
    // Viewers as the server knows them after login: name and address.
    // Session identifiers ascend in the order given, which is the order the
    // server lists them in.
    void addViewers(const std::vector<std::pair<std::string, std::string>>& viewers) {
        auto server = delegate->audioServer();
        server->queue.sync([&] {
            for (const auto& [name, address] : viewers) {
                char text[40];
                std::snprintf(text, sizeof text, "00000000-0000-4000-8000-%012zu", added.size() + 1);
                const auto id = *UUID::parse(text);
                added.push_back(id);
                server->authorizedAudioSessions.insert(id);
                server->viewerSessionNames[id] = name;
                if (!address.empty()) server->viewerSessionRemoteAddresses[id] = address;
            }
            server->publishViewerPresence();
        });
    }
    void removeViewers() {
        auto server = delegate ? delegate->audioServer() : nullptr;
        if (!server) return;
        server->queue.sync([&] {
            for (const auto& id : added) server->authorizedAudioSessions.erase(id);
            server->publishViewerPresence();
        });
    }
    ~StatusPresentationTest() override { removeViewers(); }
    const std::string& label(const std::shared_ptr<View>& view) const { return view->text; }
    std::vector<UUID> added;
};

TEST_F(StatusPresentationTest, ViewerLineCountsViewersAndListsTwoAddresses) {
    launch();
    struct Case {
        std::vector<std::pair<std::string, std::string>> viewers;
        const char* line;
    };
    const Case cases[] = {
        {{}, "Viewer: none connected"},
        {{{"iPad", ""}}, "Viewer: iPad connected"},
        {{{"Studio", "10.0.0.7"}, {"Air", ""}}, "Viewers: Studio, Air connected from 10.0.0.7"},
        {{{"Studio", "10.0.0.7"}, {"Air", "10.0.0.8"}, {"Mini", "10.0.0.9"}},
         "Viewers: Studio + 2 Viewers connected from 10.0.0.7, 10.0.0.8 + 1 more"},
    };
    for (const auto& c : cases) {
        addViewers(c.viewers);
        onMain([&] { EXPECT_EQ(delegate->connectedViewerText(), c.line); });
        removeViewers();
    }
}

TEST_F(StatusPresentationTest, ARefreshReadsWhoIsConnectedWithoutWaitingOnABusyServer) {
    // The busy server's seconds include the start-up capture warm-up's:
    // on a small display it encodes small pictures, as nothing here looks
    // at them.
    SimulatedMachine::current().component<SimulatedDisplaySystem>().setDisplays(
        {SimulatedDisplaySystem::plainMonitor(1, 320, 180, 0, 0)});
    launch();
    auto server = delegate->audioServer();
    struct Case {
        std::vector<std::pair<std::string, std::string>> viewers;
        const char* status;
        const char* line;
    };
    const Case cases[] = {
        {{}, "Screen Sharing: optional fallback (check manually)", "Viewer: none connected"},
        {{{"Studio", "10.0.0.7"}}, "Norvessal Aux: connected; Screen Sharing optional",
         "Viewer: Studio connected from 10.0.0.7"},
    };
    for (const auto& c : cases) {
        addViewers(c.viewers);
        // The server queue is held for seconds (a mode switch, a tool).
        bool held = true;
        server->queue.async([&] {
            platform::sleepFor(3);
            held = false;
        });
        DispatchQueue::main().resetLongestWorkItemForTesting();
        onMain([&] { delegate->refresh(false, false); });
        EXPECT_TRUE(held);
        EXPECT_LT(DispatchQueue::main().longestWorkItemSecondsForTesting(), 0.1);
        EXPECT_EQ(label(delegate->presentation.statusLabel), c.status);
        onMain([&] { EXPECT_EQ(delegate->connectedViewerText(), c.line); });
        advance(3);
        removeViewers();
    }
}

TEST_F(StatusPresentationTest, RouteProbeRunsOnceAtATimeAndAppliesOnlyTheCurrentGeneration) {
    auto config = serverConfiguration();
    config.routeRecordSource = [] { return BonjourAdvertiser::Routes{VelantrixDiscovery::localRouteRecords(), {}}; };
    auto& interfaces = SimulatedMachine::current().component<SimulatedNetworkInterfaces>();
    auto table = [](const std::string& address) {
        NetworkInterfaceInfo eth;
        eth.name = "en1";
        eth.isUp = eth.isRunning = true;
        eth.addresses = {{NetworkInterfaceAddress::Family::ipv4, address}};
        return NetworkInterfaceTable{eth};
    };
    interfaces.setTable(table("10.0.0.5"));
    launch({}, config);
    EXPECT_EQ(delegate->presentation.latestRouteRecords, (std::vector<VelantrixRouteRecord>{{"lan", "en1", "10.0.0.5"}}));

    interfaces.setTable(table("10.0.0.6"));
    delegate->presentation.routeProbeQueue.suspend();
    onMain([&] { delegate->refresh(false, false); });
    onMain([&] { delegate->refresh(false, false); });
    delegate->presentation.routeProbeQueue.resume();
    runUntilIdle();
    EXPECT_EQ(delegate->presentation.latestRouteRecords[0].address, "10.0.0.5")
        << "the second refresh started no probe, and the first one's result was dropped";
    EXPECT_FALSE(delegate->presentation.routeProbeInFlight);

    advance(2.0);
    EXPECT_EQ(delegate->presentation.latestRouteRecords[0].address, "10.0.0.6");
    EXPECT_EQ(delegate->presentation.addressLabel->text, "Host IPs:\n  LAN en1: 10.0.0.6");
    ASSERT_FALSE(registration->published.empty());
    const auto& txt = registration->published.back().txt;
    EXPECT_TRUE(std::any_of(txt.begin(), txt.end(), [](const auto& kv) { return kv.second.find("10.0.0.6") != std::string::npos; }))
        << "the advertisement carries the new route";
}

class ScreenSharingProbeTest : public StatusPresentationTest {
protected:
    // A port with a listener, or (listening = false) one just closed.
    uint16_t port(bool listening) {
        auto result = TcpListener::listen(0, TcpListenerOptions{false, "127.0.0.1"});
        EXPECT_TRUE(result.ok());
        listener = *result;
        listener->start(DispatchQueue("test.vnc"));
        if (!listening) listener->cancel();
        return listener->port();
    }
    // Launches and stops right after a 2 s refresh tick, so that the probe's
    // 1.5 s run meets no other refresh.
    void launchProbingPort(bool listening) {
        launch();
        delegate->presentation.screenSharingProbePortForTesting = port(listening);
        advance(2.0);
    }
    std::string status() const { return delegate->presentation.statusLabel->text; }
    std::shared_ptr<TcpListener> listener;
};

TEST_F(ScreenSharingProbeTest, AListeningPortIsReachable) {
    launchProbingPort(true);
    onMain([&] { delegate->refreshButtonPressed(); });
    EXPECT_EQ(status(), "Screen Sharing port 5900: checking...");
    ASSERT_TRUE(runUntil([&] { return delegate->presentation.activeVNCProbe == nullptr; }));
    EXPECT_EQ(status(), "Screen Sharing port 5900: reachable on this Host");
    EXPECT_TRUE(diagnosticsContain("UI refresh requested"));
    listener->cancel();
}

TEST_F(ScreenSharingProbeTest, AClosedPortWaitsThenTimesOutAndTheNextTimerRefreshReplacesTheLine) {
    launchProbingPort(false);
    onMain([&] { delegate->refreshButtonPressed(); });
    ASSERT_TRUE(runUntil([&] { return status() != "Screen Sharing port 5900: checking..."; }));
    EXPECT_EQ(status(), "Screen Sharing port 5900: waiting (Connection refused)");
    EXPECT_TRUE(diagnosticsContain("Screen Sharing port 5900 waiting: Connection refused"));
    advance(1.49);
    EXPECT_EQ(status(), "Screen Sharing port 5900: waiting (Connection refused)");
    advance(0.01);
    EXPECT_EQ(status(), "Screen Sharing port 5900: not reachable (timeout). Enable macOS Screen Sharing.");
    advance(0.5);
    EXPECT_EQ(status(), "Screen Sharing: optional fallback (check manually)");
}

TEST_F(ScreenSharingProbeTest, ASecondRefreshKeepsOnlyItsOwnResult) {
    launchProbingPort(true);
    onMain([&] {
        delegate->refreshButtonPressed();
        delegate->refreshButtonPressed();
    });
    ASSERT_TRUE(runUntil([&] { return delegate->presentation.activeVNCProbe == nullptr; }));
    runUntilIdle();
    EXPECT_EQ(diagnosticsCount("Screen Sharing port 5900: reachable on this Host"), 1u);
    listener->cancel();
}

TEST_F(StatusPresentationTest, DisplayDiagnosticsAreRemadeWhenForcedOrAfter15Seconds) {
    launch();
    const Date made = delegate->presentation.lastDisplayDiagnosticsRefresh;
    ASSERT_TRUE(delegate->presentation.cachedDisplayDiagnosticsText);
    EXPECT_TRUE(delegate->presentation.detailLabel->text.starts_with("V"));
    advance(14.0);
    EXPECT_EQ(delegate->presentation.lastDisplayDiagnosticsRefresh, made) << "timer refreshes reuse the text";
    EXPECT_EQ(delegate->presentation.detailLabel->text, *delegate->presentation.cachedDisplayDiagnosticsText);
    advance(2.0);
    EXPECT_EQ(delegate->presentation.lastDisplayDiagnosticsRefresh, made.addingSeconds(16.0));
    advance(0.5);
    onMain([&] { delegate->refresh(true, false); });
    runUntilIdle();
    EXPECT_EQ(delegate->presentation.lastDisplayDiagnosticsRefresh, made.addingSeconds(16.5));
}

TEST_F(StatusPresentationTest, PopUpSelectsTheCapturedDisplayOrThePhysicalOneWhileHeadless) {
    launch();
    const auto options = HostDisplayModeSwitcher::displaySelectionOptions();
    ASSERT_FALSE(options.empty());
    const uint32_t real = options[0].id;
    auto server = delegate->audioServer();
    struct Case {
        bool headless;
        uint32_t selected, physical;
        std::optional<size_t> index;
    };
    // No item for the captured display: the pop-up shows its first item,
    // as the real control does.
    const Case cases[] = {{false, real, 0, 0}, {true, 77, real, 0}, {false, 77, real, 0}};
    for (const auto& c : cases) {
        server->queue.sync([&] {
            server->useHeadlessVirtualDisplay = c.headless;
            server->selectedDisplayID = c.selected;
            server->physicalDisplayID = c.physical;
        });
        onMain([&] { delegate->refresh(false, false); });
        runUntilIdle();
        const auto& popup = *delegate->presentation.displayPopup;
        ASSERT_EQ(popup.items.size(), options.size());
        EXPECT_EQ(popup.items[0].representedObject, real);
        EXPECT_EQ(popup.selectedIndex, c.index) << c.headless << " " << c.selected;
    }
    // So "Use Selected Physical Display" acts on the item shown.
    onMain([&] { delegate->useDisplayButtonPressed(); });
    EXPECT_TRUE(diagnosticsContain("UI selected physical display " + std::to_string(real)));
}

TEST_F(StatusPresentationTest, AHeldDisplayProbeIsNotJoinedByMoreWhileTimerTicksGoOn) {
    launch();
    auto probes = DispatchQueue::global(QualityOfService::userInitiated);
    probes.suspend();
    onMain([&] { delegate->refresh(false, false); });
    const size_t before = diagnosticsCount("display diagnostics updated");
    advance(10.0);  // five timer refreshes
    probes.resume();
    runUntilIdle();
    EXPECT_EQ(diagnosticsCount("display diagnostics updated"), before)
        << "only the held probe ran, and its generation is old";
    EXPECT_EQ(delegate->presentation.detailLabel->text, "Display diagnostics loading...");
    advance(2.0);
    EXPECT_EQ(diagnosticsCount("display diagnostics updated"), before + 1);
}

TEST_F(StatusPresentationTest, AForcedRefreshDuringADisplayProbeRunsWhenThatProbeEnds) {
    launch();
    advance(2.0);
    const std::string before = delegate->presentation.detailLabel->text;
    auto probes = DispatchQueue::global(QualityOfService::userInitiated);
    probes.suspend();
    onMain([&] { delegate->refresh(false, false); });  // a timer refresh's probe, held
    ASSERT_TRUE(delegate->presentation.displayPopup->selectedIndex);
    onMain([&] { delegate->useDisplayButtonPressed(); });
    advance(0.2);  // its forced refresh comes while that probe is out
    probes.resume();
    runUntilIdle();
    const std::string fresh = HostProbeDelegate::hostDisplayDiagnostics(delegate->audioServer());
    EXPECT_NE(fresh, before) << "the chosen display is now a manual choice";
    EXPECT_EQ(delegate->presentation.detailLabel->text, fresh) << "not the cached text, nor still loading";
    EXPECT_EQ(delegate->presentation.cachedDisplayDiagnosticsText, fresh);
    EXPECT_FALSE(delegate->presentation.forcedDisplayProbeWaiting);
}

TEST_F(StatusPresentationTest, UseSelectedPhysicalDisplaySelectsOnTheServerAndRefreshesAfterAMoment) {
    launch();
    advance(2.0);
    auto& popup = *delegate->presentation.displayPopup;
    ASSERT_FALSE(popup.items.empty());
    popup.selectedIndex = popup.items.size() - 1;
    const uint32_t chosen = popup.items.back().representedObject;
    const int64_t generation = delegate->presentation.checkGeneration;
    auto hostMenu = app().mainMenu->itemAtIndex(1)->submenu();
    onMain([&] { EXPECT_TRUE(hostMenu->performActionForItemAtIndex(5)); });
    EXPECT_EQ(delegate->audioServer()->selectedDisplayIDSnapshot(), chosen);
    EXPECT_TRUE(diagnosticsContain("UI selected physical display " + std::to_string(chosen)));
    advance(0.19);
    EXPECT_EQ(delegate->presentation.checkGeneration, generation);
    advance(0.01);
    EXPECT_EQ(delegate->presentation.checkGeneration, generation + 1);
}

TEST_F(StatusPresentationTest, ManyRequestsFromManyQueuesInOneTurnGiveOneUpdate) {
    launch();
    runUntilIdle();
    const uint64_t before = delegate->presentation.presentationUpdateCountForTesting;
    std::vector<DispatchQueue> queues;
    for (int q = 0; q < 4; ++q) queues.emplace_back("test.presentation." + std::to_string(q));
    for (auto& queue : queues)
        queue.async([&] {
            for (int i = 0; i < 25; ++i) delegate->updateHostPresentation();
        });
    runUntilIdle();
    EXPECT_EQ(delegate->presentation.presentationUpdateCountForTesting, before + 1);
}

TEST_F(StatusPresentationTest, PresentationWritesEveryLabelMenuLineCheckMarkAndToolTip) {
    launch();
    EXPECT_TRUE(diagnosticsContain("launch-at-login: Start at login enabled")) << "the first run turns it on";
    addViewers({{"iPad", "192.0.2.77"}});
    onMain([&] { delegate->updateHostPresentationNow(); });
    const auto& p = delegate->presentation;
    EXPECT_EQ(p.summaryStatusLabel->text, "Norvessal Host is running \u00B7 Start at login: on");
    EXPECT_EQ(p.summaryViewerLabel->text, "Viewer: iPad connected from 192.0.2.77");
    EXPECT_EQ(p.summaryAddressLabel->text, p.addressLabel->text);
    const std::string menuLine = delegate->menus.statusMenuAddressItem.lock()->title;
    EXPECT_TRUE(menuLine.starts_with("Host IPs: ")) << menuLine;
    EXPECT_EQ(delegate->menus.statusMenuStatusItem.lock()->title, "Norvessal Host is running");
    EXPECT_EQ(delegate->menus.statusMenuViewerItem.lock()->title, p.summaryViewerLabel->text);
    EXPECT_EQ(delegate->menus.statusItem->button->toolTip,
              "Norvessal Host is running\nStart at login: on\n" + menuLine + "\n" + p.summaryViewerLabel->text);
    const std::string loginStatus = HostLaunchAtLogin::statusText();
    for (const auto& item : {delegate->menus.launchAtLoginMenuItem.lock(), delegate->menus.statusLaunchAtLoginMenuItem.lock()}) {
        EXPECT_EQ(item->state, ControlStateValue::on);
        EXPECT_EQ(item->toolTip, loginStatus);
    }
    EXPECT_EQ(delegate->summary.summaryLaunchAtLoginCheckbox.lock()->toolTip, loginStatus);
}

}  // namespace
