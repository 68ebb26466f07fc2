#pragma once
// One way to reach the Host: the kind of link, the interface and an address
// on it. Advertised to Viewers and shown in the Host's own menu.

#include <string>

struct VelantrixRouteRecord {
    // "thunderbolt", "lan", "wifi" or "other".
    std::string kind;
    std::string interfaceName;
    // Numeric address; an IPv6 link-local one carries its "%interface" scope.
    std::string address;

    // "Thunderbolt", "Wi-Fi" or "LAN" by kind, then a blank and the
    // interface name when there is one ("Wi-Fi wlan0").
    std::string displayLabel() const;

    bool operator==(const VelantrixRouteRecord&) const = default;
};
