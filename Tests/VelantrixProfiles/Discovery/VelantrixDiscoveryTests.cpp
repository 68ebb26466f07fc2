#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <memory>
#include <string>
#include <vector>

#include "Platform/Network/NetworkInterfaces.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"
#include "VelantrixProfiles/Discovery/VelantrixDiscovery.h"

using platform::NetworkInterfaceAddress;
using platform::NetworkInterfaceInfo;
using platform::NetworkInterfaceTable;

namespace {

using Family = NetworkInterfaceAddress::Family;

NetworkInterfaceAddress v4(std::string a) { return {Family::ipv4, std::move(a)}; }
NetworkInterfaceAddress v6(std::string a, bool deprecated = false, bool tentative = false) {
    return {Family::ipv6, std::move(a), deprecated, tentative};
}

NetworkInterfaceInfo link(std::string name, std::vector<NetworkInterfaceAddress> addresses = {},
                          std::string mac = "") {
    NetworkInterfaceInfo info;
    info.name = std::move(name);
    info.isUp = true;
    info.isRunning = true;
    info.macAddress = std::move(mac);
    info.addresses = std::move(addresses);
    return info;
}

NetworkInterfaceInfo thunderboltPort(std::string name) {
    auto info = link(std::move(name));
    info.driver = "thunderbolt-net";
    return info;
}

NetworkInterfaceInfo bridge(std::string name, std::vector<std::string> ports,
                            std::vector<NetworkInterfaceAddress> addresses) {
    auto info = link(std::move(name), std::move(addresses));
    info.isBridge = true;
    info.bridgePorts = std::move(ports);
    return info;
}

NetworkInterfaceInfo wifi(std::string name, std::vector<NetworkInterfaceAddress> addresses) {
    auto info = link(std::move(name), std::move(addresses));
    info.isWireless = true;
    info.driver = "iwlwifi";
    return info;
}

using R = VelantrixRouteRecord;

}  // namespace

TEST(RouteRecordClassification, ThunderboltBridgeFirstThenWiredThenWifiThenOther) {
    auto infiniband = link("ib0", {v4("10.9.0.1")});
    infiniband.hardwareType = 32;
    NetworkInterfaceTable table{
        infiniband,
        wifi("wlan0", {v4("192.168.1.20"), v6("2001:db8::20")}),
        link("eth0", {v6("2001:db8::10"), v4("192.168.1.10")}),
        bridge("bridge0", {"thunderbolt0", "thunderbolt1"}, {v4("169.254.10.2"), v6("fe80::1:2")}),
        thunderboltPort("thunderbolt0"),
        thunderboltPort("thunderbolt1"),
    };
    EXPECT_EQ(VelantrixDiscovery::routeRecords(table), (std::vector<R>{
                                                          {"thunderbolt", "bridge0", "fe80::1:2%bridge0"},
                                                          {"thunderbolt", "bridge0", "169.254.10.2"},
                                                          {"lan", "eth0", "192.168.1.10"},
                                                          {"lan", "eth0", "2001:db8::10"},
                                                          {"wifi", "wlan0", "192.168.1.20"},
                                                          {"wifi", "wlan0", "2001:db8::20"},
                                                          {"other", "ib0", "10.9.0.1"},
                                                      }));
}

TEST(RouteRecordClassification, ThunderboltNeedsTheDriverOnTheLinkOrOnEveryBridgePort) {
    auto direct = thunderboltPort("thunderbolt0");
    direct.addresses = {v4("169.254.1.1")};
    NetworkInterfaceTable table{
        direct,
        thunderboltPort("thunderbolt1"),
        link("enp3s0"),
        bridge("mixed0", {"thunderbolt1", "enp3s0"}, {v4("10.1.0.1")}),
        bridge("ghost0", {"thunderbolt9"}, {v4("10.2.0.1")}),  // port not in the table
        bridge("empty0", {}, {v4("10.3.0.1")}),
    };
    EXPECT_EQ(VelantrixDiscovery::routeRecords(table), (std::vector<R>{
                                                          {"thunderbolt", "thunderbolt0", "169.254.1.1"},
                                                          {"lan", "mixed0", "10.1.0.1"},
                                                          {"lan", "ghost0", "10.2.0.1"},
                                                          {"lan", "empty0", "10.3.0.1"},
                                                      }));
}

TEST(RouteRecordClassification, UnusableInterfacesGiveNoRecords) {
    auto loopback = link("lo", {v4("127.0.0.1"), v6("::1")});
    loopback.isLoopback = true;
    loopback.hardwareType = NetworkInterfaceInfo::kHardwareLoopback;
    auto tunnel = link("tun0", {v4("10.8.0.2")});
    tunnel.hardwareType = 0xFFFE;
    auto gre = link("gre1", {v4("10.7.0.2")});
    gre.hardwareType = 778;
    auto sit = link("sit1", {v6("2001:db8:5::1")});
    sit.hardwareType = 776;
    auto ppp = link("ppp0", {v4("10.6.0.2")});
    ppp.isPointToPoint = true;
    auto down = link("eth1", {v4("10.5.0.2")});
    down.isUp = false;
    auto noCarrier = link("eth2", {v4("10.4.0.2")});
    noCarrier.isRunning = false;
    NetworkInterfaceTable table{loopback, tunnel, gre, sit, ppp, down, noCarrier, link("eth0", {v4("192.168.7.7")})};
    EXPECT_EQ(VelantrixDiscovery::routeRecords(table), (std::vector<R>{{"lan", "eth0", "192.168.7.7"}}));
}

TEST(RouteRecordClassification, Ipv6AddressesMustBeSettledAndLinkLocalOnlyOverThunderbolt) {
    auto tb = thunderboltPort("thunderbolt0");
    tb.addresses = {v6("fe80::aa"), v6("fe80::bb", false, true), v4("169.254.2.2")};
    NetworkInterfaceTable table{
        link("eth0", {v6("fe80::1"), v6("2001:db8::1", true), v6("2001:db8::2", false, true), v6("2001:db8::3"),
                      v6("fd00::4")}),
        tb,
    };
    EXPECT_EQ(VelantrixDiscovery::routeRecords(table), (std::vector<R>{
                                                          {"thunderbolt", "thunderbolt0", "fe80::aa%thunderbolt0"},
                                                          {"thunderbolt", "thunderbolt0", "169.254.2.2"},
                                                          {"lan", "eth0", "2001:db8::3"},
                                                          {"lan", "eth0", "fd00::4"},
                                                      }));
}

TEST(RouteRecordClassification, MalformedAndMeaninglessAddressesAreSkipped) {
    NetworkInterfaceTable table{link("eth0", {v4("not-an-address"), v4("0.0.0.0"), v4("127.0.0.5"), v4("10.0.0.300"),
                                              v6("::"), v6("::1"), v6("2001:db8::zz"), v4("2001:db8::9"),
                                              v4("10.0.0.1"), v4("10.0.0.1")})};
    EXPECT_EQ(VelantrixDiscovery::routeRecords(table), (std::vector<R>{{"lan", "eth0", "10.0.0.1"}}));
}

TEST(RouteRecordLabel, NamesTheKindAndTheInterface) {
    EXPECT_EQ((R{"wifi", "wlan0", "10.0.0.2"}).displayLabel(), "Wi-Fi wlan0");
    EXPECT_EQ((R{"thunderbolt", "bridge0", "fe80::1%bridge0"}).displayLabel(), "Thunderbolt bridge0");
    EXPECT_EQ((R{"lan", "eth0", "10.0.0.3"}).displayLabel(), "LAN eth0");
    EXPECT_EQ((R{"other", "ib0", "10.0.0.4"}).displayLabel(), "LAN ib0");
    EXPECT_EQ((R{"wifi", "", "10.0.0.5"}).displayLabel(), "Wi-Fi");
    EXPECT_EQ((R{"", "", ""}).displayLabel(), "LAN");
}

TEST(WakeOnLanAddresses, OneLowerCaseAddressPerInterfaceInRecordOrder) {
    auto bridged = bridge("bridge0", {"thunderbolt0"}, {v4("169.254.1.1")});
    bridged.macAddress = "82:0A:0B:0C:0D:0E";
    NetworkInterfaceTable table{
        link("eth0", {v4("10.0.0.1"), v4("10.0.0.2")}, "AA:BB:CC:DD:EE:01"),
        link("eth1", {v4("10.1.0.1")}, "aa:bb:cc:dd:ee:01"),  // same card seen twice
        link("dummy0", {v4("10.2.0.1")}, "00:00:00:00:00:00"),
        link("ib0", {v4("10.3.0.1")}, "80:00:00:48:fe:80"),
        link("veth7", {v4("10.4.0.1")}, "zz:bb:cc:dd:ee:ff"),
        bridged,
    };
    table[3].macAddress = "80:00:00:48:fe:80:00:00:00:00";  // not a six-byte address
    std::vector<R> records{
        {"thunderbolt", "bridge0", "169.254.1.1"}, {"lan", "eth0", "10.0.0.1"}, {"lan", "eth0", "10.0.0.2"},
        {"lan", "eth1", "10.1.0.1"}, {"lan", "dummy0", "10.2.0.1"}, {"other", "ib0", "10.3.0.1"},
        {"lan", "veth7", "10.4.0.1"}, {"lan", "gone0", "10.5.0.1"},
    };
    EXPECT_EQ(VelantrixDiscovery::wakeOnLanAddresses(records, table),
              (std::vector<std::string>{"82:0a:0b:0c:0d:0e", "aa:bb:cc:dd:ee:01"}));
    EXPECT_TRUE(VelantrixDiscovery::wakeOnLanAddresses({}, table).empty());
}

TEST(ProcIfInet6, ReadsAddressFlagsAndSkipsMalformedLines) {
    const std::string text =
        "00000000000000000000000000000001 01 80 10 80       lo\n"
        "fe8000000000000000fc00fffe000001 04 40 20 80     eth0\n"
        "20010db8000000000000000000000001 04 40 00 20     eth0\n"
        "20010db8000000000000000000000002 04 40 00 40     eth0\n"
        "20010db80000000000000000000003 04 40 00 40     eth0\n"     // short address
        "20010db8000000000000000000000g04 04 40 00 40     eth0\n"   // not hex
        "20010db8000000000000000000000005 04 40 00 zz     eth0\n"   // flags not hex
        "20010db8000000000000000000000006 04 40 00\n"               // missing name
        "\n";
    auto states = platform::parseProcIfInet6(text);
    ASSERT_EQ(states.size(), 4u);
    EXPECT_EQ(states[0].interfaceName, "lo");
    EXPECT_EQ(states[0].address, "::1");
    EXPECT_EQ(states[1].address, "fe80::fc:ff:fe00:1");
    EXPECT_EQ(states[1].flags, 0x80u);
    EXPECT_EQ(states[2].address, "2001:db8::1");
    EXPECT_EQ(states[2].flags, 0x20u);
    EXPECT_EQ(states[3].interfaceName, "eth0");
    EXPECT_EQ(states[3].flags, 0x40u);
}

class MachineInterfaces : public ::testing::Test {
protected:
    void SetUp() override { platform::SimulatedMachine::install(std::make_shared<platform::SimulatedMachine>()); }
    void TearDown() override { platform::SimulatedMachine::install(nullptr); }
};

TEST_F(MachineInterfaces, KernelTableShowsLoopbackAndRoutesNeverUseIt) {
    auto table = platform::readMachineNetworkInterfaces();
    const NetworkInterfaceInfo* lo = nullptr;
    for (const auto& info : table)
        if (info.isLoopback) lo = &info;
    ASSERT_NE(lo, nullptr) << "every Linux machine has a loopback interface";
    EXPECT_TRUE(lo->isUp);
    EXPECT_EQ(lo->hardwareType, NetworkInterfaceInfo::kHardwareLoopback);
    bool has127 = false;
    for (const auto& a : lo->addresses) has127 |= a.family == Family::ipv4 && a.address == "127.0.0.1";
    EXPECT_TRUE(has127);

    for (const auto& record : VelantrixDiscovery::localRouteRecords()) {
        EXPECT_NE(record.interfaceName, lo->name);
        std::string bare = record.address.substr(0, record.address.find('%'));
        unsigned char buf[16];
        EXPECT_TRUE(inet_pton(AF_INET, bare.c_str(), buf) == 1 || inet_pton(AF_INET6, bare.c_str(), buf) == 1)
            << record.address;
    }
}

TEST_F(MachineInterfaces, SimulatedTableStandsInForTheKernel) {
    auto& simulated = platform::SimulatedMachine::current().component<platform::SimulatedNetworkInterfaces>();
    simulated.setTable({wifi("wlp2s0", {v4("172.16.4.4")})});
    EXPECT_EQ(VelantrixDiscovery::localRouteRecords(), (std::vector<R>{{"wifi", "wlp2s0", "172.16.4.4"}}));
    simulated.clear();
    EXPECT_EQ(platform::currentNetworkInterfaces().empty(), platform::readMachineNetworkInterfaces().empty());
}
