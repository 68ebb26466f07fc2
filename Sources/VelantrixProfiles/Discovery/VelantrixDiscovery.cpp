#include "VelantrixProfiles/Discovery/VelantrixDiscovery.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <netinet/in.h>

using platform::NetworkInterfaceAddress;
using platform::NetworkInterfaceInfo;
using platform::NetworkInterfaceTable;

namespace {

constexpr const char* kThunderboltDriver = "thunderbolt-net";

const NetworkInterfaceInfo* findInterface(const NetworkInterfaceTable& table, const std::string& name) {
    for (const auto& info : table)
        if (info.name == name) return &info;
    return nullptr;
}

std::string kindOf(const NetworkInterfaceInfo& info, const NetworkInterfaceTable& table) {
    if (info.driver == kThunderboltDriver) return "thunderbolt";
    // A Thunderbolt bridge joins the Thunderbolt ports into one network;
    // a bridge that also holds some other port is an ordinary wired one.
    if (info.isBridge && !info.bridgePorts.empty() &&
        std::all_of(info.bridgePorts.begin(), info.bridgePorts.end(), [&](const std::string& port) {
            const auto* member = findInterface(table, port);
            return member && member->driver == kThunderboltDriver;
        }))
        return "thunderbolt";
    if (info.isWireless) return "wifi";
    if (info.hardwareType == NetworkInterfaceInfo::kHardwareEthernet) return "lan";
    return "other";
}

int rankOf(const std::string& kind) {
    if (kind == "thunderbolt") return 0;
    if (kind == "lan") return 1;
    if (kind == "wifi") return 2;
    return 3;
}

bool isUsableInterface(const NetworkInterfaceInfo& info) {
    return info.isUp && info.isRunning && !info.isLoopback && !info.isPointToPoint && !info.isTunnel() &&
           info.hardwareType != NetworkInterfaceInfo::kHardwareLoopback;
}

// The address as text fit for a record, or empty when it must not be
// offered: unparsable, unspecified, loopback, or IPv6 that is deprecated,
// tentative, or link-local away from Thunderbolt.
std::string usableAddress(const NetworkInterfaceAddress& address, const std::string& interfaceName,
                          bool thunderbolt) {
    if (address.family == NetworkInterfaceAddress::Family::ipv4) {
        in_addr v4{};
        if (inet_pton(AF_INET, address.address.c_str(), &v4) != 1) return {};
        uint32_t host = ntohl(v4.s_addr);
        if (host == 0 || (host >> 24) == 127) return {};
        return address.address;
    }
    if (address.isDeprecated || address.isTentative) return {};
    in6_addr v6{};
    if (inet_pton(AF_INET6, address.address.c_str(), &v6) != 1) return {};
    if (IN6_IS_ADDR_UNSPECIFIED(&v6) || IN6_IS_ADDR_LOOPBACK(&v6)) return {};
    if (IN6_IS_ADDR_LINKLOCAL(&v6)) {
        if (!thunderbolt) return {};
        // Without its scope a link-local address names no interface.
        return address.address + "%" + interfaceName;
    }
    return address.address;
}

bool isMacAddress(const std::string& mac) {
    if (mac.size() != 17) return false;
    for (size_t i = 0; i < mac.size(); ++i) {
        bool colon = i % 3 == 2;
        if (colon ? mac[i] != ':' : !std::isxdigit(static_cast<unsigned char>(mac[i]))) return false;
    }
    return true;
}

}  // namespace

std::vector<VelantrixRouteRecord> VelantrixDiscovery::localRouteRecords() {
    return routeRecords(platform::currentNetworkInterfaces());
}

std::vector<VelantrixRouteRecord> VelantrixDiscovery::routeRecords(const NetworkInterfaceTable& table) {
    std::vector<VelantrixRouteRecord> records;
    for (const auto& info : table) {
        if (!isUsableInterface(info)) continue;
        const std::string kind = kindOf(info, table);
        const bool thunderbolt = kind == "thunderbolt";
        // IPv6 first over Thunderbolt (its link-local addresses work without
        // any configuration), IPv4 first elsewhere.
        const auto firstFamily =
            thunderbolt ? NetworkInterfaceAddress::Family::ipv6 : NetworkInterfaceAddress::Family::ipv4;
        for (int pass = 0; pass < 2; ++pass) {
            for (const auto& address : info.addresses) {
                if ((address.family == firstFamily) != (pass == 0)) continue;
                auto text = usableAddress(address, info.name, thunderbolt);
                if (text.empty()) continue;
                VelantrixRouteRecord record{kind, info.name, std::move(text)};
                if (std::find(records.begin(), records.end(), record) == records.end())
                    records.push_back(std::move(record));
            }
        }
    }
    std::stable_sort(records.begin(), records.end(),
                     [](const auto& a, const auto& b) { return rankOf(a.kind) < rankOf(b.kind); });
    return records;
}

std::vector<std::string> VelantrixDiscovery::wakeOnLanAddresses(const std::vector<VelantrixRouteRecord>& records,
                                                                const NetworkInterfaceTable& table) {
    std::vector<std::string> macs;
    for (const auto& record : records) {
        const auto* info = findInterface(table, record.interfaceName);
        if (!info) continue;
        std::string mac = info->macAddress;
        std::transform(mac.begin(), mac.end(), mac.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (!isMacAddress(mac) || mac == "00:00:00:00:00:00") continue;
        if (std::find(macs.begin(), macs.end(), mac) == macs.end()) macs.push_back(std::move(mac));
    }
    return macs;
}
