#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "HostApp/AuxServer/BonjourAdvertiser.h"
#include "Platform/Runtime/Dispatch.h"
#include "Platform/Runtime/Log.h"
#include "Platform/Network/NetworkInterfaces.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"
#include "Support/TestSupport.h"

using platform::DnsServiceDescription;
using platform::DnsTxtRecord;

namespace {

// Records what the advertiser hands to the DNS-SD layer, and on which queue.
class FakeRegistration : public platform::DnsServiceRegistration {
public:
    explicit FakeRegistration(platform::DispatchQueue queue) : queue_(std::move(queue)) {}
    void publish(const DnsServiceDescription& service) override {
        EXPECT_TRUE(queue_.isCurrent());
        published.push_back(service);
    }
    void withdraw() override {
        EXPECT_TRUE(queue_.isCurrent());
        withdrawals++;
    }
    std::vector<DnsServiceDescription> published;
    int withdrawals = 0;

private:
    platform::DispatchQueue queue_;
};

std::string txtValue(const DnsTxtRecord& txt, const std::string& key) {
    for (const auto& [k, v] : txt)
        if (k == key) return v;
    return "<absent>";
}

std::vector<std::string> txtKeys(const DnsTxtRecord& txt) {
    std::vector<std::string> keys;
    for (const auto& entry : txt) keys.push_back(entry.first);
    return keys;
}

platform::NetworkInterfaceInfo ethernet(std::string name, std::string address, std::string mac) {
    platform::NetworkInterfaceInfo info;
    info.name = std::move(name);
    info.isUp = info.isRunning = true;
    info.macAddress = std::move(mac);
    info.addresses = {{platform::NetworkInterfaceAddress::Family::ipv4, std::move(address)}};
    return info;
}

class BonjourAdvertiserTest : public platform::testing::VirtualTimeTest {
protected:
    void SetUp() override {
        VirtualTimeTest::SetUp();
        serverQueue = std::make_unique<platform::DispatchQueue>("v230.host.audio.aux");
        registration = std::make_shared<FakeRegistration>(*serverQueue);
        routes.records = {{"lan", "eth0", "192.168.1.10"}, {"wifi", "wlan0", "192.168.1.20"}};
        routes.wakeOnLanAddresses = {"aa:bb:cc:00:00:01", "aa:bb:cc:00:00:02"};
    }
    void TearDown() override {
        if (advertiser) serverQueue->sync([&] { advertiser->stop(); });
        advertiser.reset();
        VirtualTimeTest::TearDown();
    }

    BonjourAdvertiser::Identity identity() const {
        BonjourAdvertiser::Identity id;
        id.hostIdentifier = "7C1E0B9A-3D52-4F8E-9A61-0D2B6C4E8F10";
        id.publicKey = std::vector<uint8_t>(32, 0xff);
        id.audioPort = 7346;
        id.videoPort = 7347;
        id.filesPort = 7348;
        id.serviceName = "studio-mac";
        return id;
    }

    void makeAdvertiser(bool fakeRoutes = true) {
        BonjourAdvertiser::RouteSource source;
        if (fakeRoutes) source = [this] { return routes; };
        advertiser = std::make_shared<BonjourAdvertiser>(
            identity(), *serverQueue, [this](const std::string& text) { lines.push_back(text); }, registration,
            source);
    }
    void onServer(const std::function<void()>& work) { serverQueue->sync(work); }
    size_t linesContaining(const std::string& text) const {
        return std::count_if(lines.begin(), lines.end(),
                             [&](const std::string& l) { return l.find(text) != std::string::npos; });
    }

    std::unique_ptr<platform::DispatchQueue> serverQueue;
    std::shared_ptr<FakeRegistration> registration;
    BonjourAdvertiser::Routes routes;
    std::shared_ptr<BonjourAdvertiser> advertiser;
    std::vector<std::string> lines;
};

}  // namespace

TEST_F(BonjourAdvertiserTest, StartPublishesTheServiceWithTheFullTxtRecord) {
    makeAdvertiser();
    onServer([&] { advertiser->start(); });
    ASSERT_EQ(registration->published.size(), 1u);
    const auto& service = registration->published[0];
    EXPECT_EQ(service.name, "studio-mac");
    EXPECT_EQ(service.type, "_velantrix-host._tcp");
    EXPECT_EQ(service.domain, "local");
    EXPECT_EQ(service.port, 7346);
    EXPECT_EQ(service.txt, (DnsTxtRecord{
                               {"v", "1"},
                               {"id", "7C1E0B9A-3D52-4F8E-9A61-0D2B6C4E8F10"},
                               // 32 bytes of 0xff in the URL-safe alphabet, no padding.
                               {"pk", "__________________________________________8"},
                               {"audio", "7346"},
                               {"video", "7347"},
                               {"files", "7348"},
                               {"r0", "lan,eth0,192.168.1.10"},
                               {"r1", "wifi,wlan0,192.168.1.20"},
                               {"wol", "aa:bb:cc:00:00:01,aa:bb:cc:00:00:02"},
                           }));
    EXPECT_EQ(linesContaining("discovery: publishing the advertisement (start)"), 1u);
}

TEST_F(BonjourAdvertiserTest, UnchangedStateOnTheOneSecondTimerPublishesNothing) {
    makeAdvertiser();
    onServer([&] { advertiser->start(); });
    platform::DispatchTimer tick(*serverQueue, 1.0, [&] { advertiser->update("timer"); });
    tick.resume();
    advance(30);
    tick.cancel();
    EXPECT_EQ(registration->published.size(), 1u);
    EXPECT_EQ(linesContaining("discovery:"), 1u);
}

TEST_F(BonjourAdvertiserTest, ChangedAddressSetPublishesExactlyOneUpdateNamingTheReason) {
    makeAdvertiser();
    onServer([&] { advertiser->start(); });
    platform::DispatchTimer tick(*serverQueue, 1.0, [&] { advertiser->update("timer"); });
    tick.resume();
    advance(5);
    routes.records[1].address = "192.168.1.21";
    advance(10);
    tick.cancel();
    ASSERT_EQ(registration->published.size(), 2u);
    const auto& second = registration->published[1];
    EXPECT_EQ(txtValue(second.txt, "r1"), "wifi,wlan0,192.168.1.21");
    EXPECT_EQ(txtValue(second.txt, "r0"), "lan,eth0,192.168.1.10");
    EXPECT_EQ(second.port, registration->published[0].port);
    EXPECT_EQ(linesContaining("discovery: updating the advertisement (timer)"), 1u);
    EXPECT_EQ(advertiser->currentRoutes().records[1].address, "192.168.1.21");
}

TEST_F(BonjourAdvertiserTest, NoRoutesAndNoWakeAddressesLeaveOnlyTheFixedKeys) {
    routes = {};
    makeAdvertiser();
    onServer([&] { advertiser->start(); });
    ASSERT_EQ(registration->published.size(), 1u);
    EXPECT_EQ(txtKeys(registration->published[0].txt),
              (std::vector<std::string>{"v", "id", "pk", "audio", "video", "files"}));
}

TEST(BonjourTxtRecord, KeepsAtMostEightRoutesAndEveryEntryWithinTheTxtLimit) {
    BonjourAdvertiser::Identity id;
    id.hostIdentifier = "host";
    id.publicKey = {0xfb, 0xef, 0xbe};
    BonjourAdvertiser::Routes routes;
    for (int i = 0; i < 10; ++i) routes.records.push_back({"lan", "eth" + std::to_string(i), "10.0.0." + std::to_string(i)});
    // A route whose entry would pass 255 bytes is left out, and the next one
    // takes its key.
    routes.records.insert(routes.records.begin() + 1, {"lan", std::string(300, 'x'), "10.9.9.9"});
    for (int i = 0; i < 20; ++i) {
        char mac[18];
        std::snprintf(mac, sizeof mac, "02:00:00:00:00:%02x", i);
        routes.wakeOnLanAddresses.push_back(mac);
    }
    auto txt = BonjourAdvertiser::makeTxtRecord(id, routes);
    EXPECT_EQ(txtValue(txt, "pk"), "----");
    EXPECT_EQ(txtValue(txt, "r0"), "lan,eth0,10.0.0.0");
    EXPECT_EQ(txtValue(txt, "r1"), "lan,eth1,10.0.0.1");
    EXPECT_EQ(txtValue(txt, "r7"), "lan,eth7,10.0.0.7");
    EXPECT_EQ(txtValue(txt, "r8"), "<absent>");
    for (const auto& [key, value] : txt) EXPECT_LE(key.size() + 1 + value.size(), 255u) << key;
    // Fourteen 17-byte addresses and their commas fill 251 bytes after "wol=".
    auto wol = txtValue(txt, "wol");
    EXPECT_EQ(std::count(wol.begin(), wol.end(), ',') + 1, 14);
    EXPECT_EQ(wol.substr(0, 35), "02:00:00:00:00:00,02:00:00:00:00:01");
}

TEST_F(BonjourAdvertiserTest, NetworkPathChangeHopsToTheOwnerQueueAndCallsTheOwnersClosure) {
    auto& simulated = platform::SimulatedMachine::current().component<platform::SimulatedNetworkInterfaces>();
    simulated.setTable({ethernet("eth0", "192.168.1.10", "aa:bb:cc:00:00:01")});
    makeAdvertiser();
    int calls = 0;
    advertiser->onNetworkPathChanged = [&] {
        EXPECT_TRUE(serverQueue->isCurrent());
        calls++;
    };
    onServer([&] { advertiser->start(); });
    advance(10);
    EXPECT_EQ(calls, 0) << "the table at start is the baseline";

    simulated.setTable({ethernet("eth0", "192.168.1.11", "aa:bb:cc:00:00:01")});
    advance(2.5);
    EXPECT_EQ(calls, 1);
    advance(20);
    EXPECT_EQ(calls, 1);

    onServer([&] { advertiser->stop(); });
    EXPECT_EQ(registration->withdrawals, 1);
    simulated.setTable({});
    advance(10);
    EXPECT_EQ(calls, 1);
}

TEST_F(BonjourAdvertiserTest, WithoutAnOwnerClosureAPathChangeUpdatesTheAdvertisement) {
    auto& simulated = platform::SimulatedMachine::current().component<platform::SimulatedNetworkInterfaces>();
    simulated.setTable({ethernet("eth0", "192.168.1.10", "AA:BB:CC:00:00:01")});
    makeAdvertiser(false);
    onServer([&] { advertiser->start(); });
    ASSERT_EQ(registration->published.size(), 1u);
    EXPECT_EQ(txtValue(registration->published[0].txt, "r0"), "lan,eth0,192.168.1.10");
    EXPECT_EQ(txtValue(registration->published[0].txt, "wol"), "aa:bb:cc:00:00:01");

    auto wifi = ethernet("wlan0", "10.0.0.7", "aa:bb:cc:00:00:02");
    wifi.isWireless = true;
    simulated.setTable({wifi, ethernet("eth0", "192.168.1.10", "AA:BB:CC:00:00:01")});
    advance(2);
    ASSERT_EQ(registration->published.size(), 2u);
    EXPECT_EQ(txtValue(registration->published[1].txt, "r0"), "lan,eth0,192.168.1.10");
    EXPECT_EQ(txtValue(registration->published[1].txt, "r1"), "wifi,wlan0,10.0.0.7");
    EXPECT_EQ(txtValue(registration->published[1].txt, "wol"), "aa:bb:cc:00:00:01,aa:bb:cc:00:00:02");
    EXPECT_EQ(linesContaining("discovery: updating the advertisement (network path changed)"), 1u);
}

TEST_F(BonjourAdvertiserTest, StoppedAdvertiserIgnoresUpdatesAndRestartsWithAFreshPublish) {
    makeAdvertiser();
    onServer([&] { advertiser->start(); });
    onServer([&] { advertiser->stop(); });
    onServer([&] { EXPECT_FALSE(advertiser->update("timer")); });
    EXPECT_EQ(registration->published.size(), 1u);
    onServer([&] { advertiser->start(); });
    EXPECT_EQ(registration->published.size(), 2u) << "a restart must publish even though nothing changed";
}

TEST(BonjourServiceName, IsTheHostNameWithoutDomainCutBetweenCharacters) {
    using platform::DnsServiceRegistration;
    EXPECT_EQ(DnsServiceRegistration::serviceNameForHostName("studio-mac.example.org"), "studio-mac");
    EXPECT_EQ(DnsServiceRegistration::serviceNameForHostName(""), "Host");
    EXPECT_EQ(DnsServiceRegistration::serviceNameForHostName(".local"), "Host");
    EXPECT_EQ(DnsServiceRegistration::serviceNameForHostName(std::string(70, 'a')), std::string(63, 'a'));
    // 62 ASCII bytes and a two-byte "é" straddling the limit: the whole
    // character goes, never half of it.
    const std::string straddling = std::string(62, 'b') + "\xC3\xA9" + "cd";
    EXPECT_EQ(DnsServiceRegistration::serviceNameForHostName(straddling), std::string(62, 'b'));
    // Three-byte characters, 21 of them exactly fill 63 bytes.
    std::string snowmen;
    for (int i = 0; i < 22; ++i) snowmen += "\xE2\x98\x83";
    EXPECT_EQ(DnsServiceRegistration::serviceNameForHostName(snowmen), snowmen.substr(0, 63));
}

namespace {

// Runs in a child process, which it leaves without a descriptor to spare:
// the interface table cannot be read, and the last one read stands.
[[noreturn]] void routesWithoutDescriptors() {
    LogCapture log;
    platform::Log::line("interfaces: reading with descriptors to spare");  // the runtime is up before they run out
    const auto table = platform::readMachineNetworkInterfaces();
    const auto routes = BonjourAdvertiser::localRoutes();
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    const rlim_t original = limit.rlim_cur;
    limit.rlim_cur = 64;
    setrlimit(RLIMIT_NOFILE, &limit);
    std::vector<int> fillers;
    for (int fd; (fd = ::dup(0)) >= 0;) fillers.push_back(fd);

    bool held = !table.empty();
    for (int i = 0; i < 2; ++i) {
        held &= platform::readMachineNetworkInterfaces() == table;
        const auto again = BonjourAdvertiser::localRoutes();
        held &= again.records == routes.records && again.wakeOnLanAddresses == routes.wakeOnLanAddresses;
    }
    const size_t lines = log.count("network: cannot read the interface table");
    for (int fd : fillers) ::close(fd);
    limit.rlim_cur = original;
    setrlimit(RLIMIT_NOFILE, &limit);
    held &= platform::readMachineNetworkInterfaces() == table;
    std::fprintf(stderr, "held=%d lines=%zu\n", held, lines);
    std::_Exit(held && lines == 1 ? 0 : 1);
}

}  // namespace

TEST(BonjourRoutes, ATableThatCannotBeReadForLackOfDescriptorsKeepsTheLastRoutes) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(routesWithoutDescriptors(), ::testing::ExitedWithCode(0), "held=1 lines=1");
}
