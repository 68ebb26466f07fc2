#pragma once
// The shared discovery code: the DNS-SD service type of the Host and the
// route records that tell a Viewer how to reach it.

#include <string>
#include <vector>

#include "Platform/Network/NetworkInterfaces.h"
#include "VelantrixProfiles/Discovery/VelantrixRouteRecord.h"

struct VelantrixDiscovery {
    static constexpr const char* serviceType = "_velantrix-host._tcp";
    static constexpr const char* serviceDomain = "local";

    // The usable addresses of the usable interfaces of this machine, ordered
    // Thunderbolt, wired, Wi-Fi, other. Callable on any queue.
    static std::vector<VelantrixRouteRecord> localRouteRecords();

    // The classification and ordering behind localRouteRecords, over a given
    // table. Usable: up and running, not loopback, point-to-point or a
    // tunnel. Thunderbolt: the thunderbolt-net driver, or a bridge whose
    // ports all are. Addresses: IPv4, and IPv6 that is neither deprecated nor
    // tentative; IPv6 link-local only on Thunderbolt, where IPv6 also comes
    // first. Interfaces keep their table order within a kind.
    static std::vector<VelantrixRouteRecord> routeRecords(const platform::NetworkInterfaceTable& table);

    // The Wake-on-LAN hardware addresses of the interfaces behind the
    // records, in record order: lower case, no duplicates, none all zero.
    static std::vector<std::string> wakeOnLanAddresses(const std::vector<VelantrixRouteRecord>& records,
                                                       const platform::NetworkInterfaceTable& table);
};
