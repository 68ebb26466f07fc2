#pragma once
// The machine's network interface table: names, link flags, hardware kind,
// MAC address and the IP addresses of every interface. Route records and the
// network path monitor are computed from it.
//
// Tests set a table of their own on the simulated machine
// (SimulatedNetworkInterfaces); otherwise the table is read from the kernel
// (getifaddrs, /sys/class/net and /proc/net/if_inet6).

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct NetworkInterfaceAddress {
    enum class Family : uint8_t { ipv4, ipv6 };
    Family family = Family::ipv4;
    // Numeric text without a scope ("192.168.1.4", "fe80::1").
    std::string address;
    // IPv6 only: an address that should no longer be used for new
    // connections, and one whose duplicate detection has not finished.
    bool isDeprecated = false;
    bool isTentative = false;

    bool operator==(const NetworkInterfaceAddress&) const = default;
};

struct NetworkInterfaceInfo {
    // Link-layer types (the kernel's ARPHRD values) that matter here.
    static constexpr uint16_t kHardwareEthernet = 1;
    static constexpr uint16_t kHardwareLoopback = 772;

    std::string name;
    bool isUp = false;
    bool isRunning = false;
    bool isLoopback = false;
    bool isPointToPoint = false;
    uint16_t hardwareType = kHardwareEthernet;
    // An 802.11 device (the kernel shows it with a wireless or phy80211 entry).
    bool isWireless = false;
    // Name of the kernel driver bound to the device ("thunderbolt-net");
    // empty for virtual interfaces.
    std::string driver;
    // A bridge, and the names of the ports enslaved to it.
    bool isBridge = false;
    std::vector<std::string> bridgePorts;
    // Six-byte hardware address, lower case, colon separated; empty when the
    // link has none of that form.
    std::string macAddress;
    std::vector<NetworkInterfaceAddress> addresses;

    // IP-in-IP, GRE, SIT, IPv6 tunnels and the header-less links of TUN
    // devices and WireGuard.
    bool isTunnel() const;

    bool operator==(const NetworkInterfaceInfo&) const = default;
};

using NetworkInterfaceTable = std::vector<NetworkInterfaceInfo>;

// The table in force: the simulated machine's when a test set one, else the
// kernel's. Callable on any thread.
NetworkInterfaceTable currentNetworkInterfaces();
// The kernel's table, in interface index order. A read that fails
// (getifaddrs, or /proc and /sys for lack of descriptors) returns the last
// table read in full, and logs once until a read succeeds again: a machine
// short of descriptors has not lost its interfaces.
NetworkInterfaceTable readMachineNetworkInterfaces();

// One line of /proc/net/if_inet6.
struct Inet6AddressState {
    std::string interfaceName;
    std::string address;  // numeric text, compressed form
    uint32_t flags = 0;   // IFA_F_* bits
};
// Parses /proc/net/if_inet6 text; malformed lines are skipped.
std::vector<Inet6AddressState> parseProcIfInet6(std::string_view text);

// A test's stand-in for the machine's interfaces, held by the simulated
// machine. Unset means "read the kernel".
class SimulatedNetworkInterfaces {
public:
    void setTable(NetworkInterfaceTable table);
    void clear();
    std::optional<NetworkInterfaceTable> table() const;

private:
    mutable std::mutex lock_;
    std::optional<NetworkInterfaceTable> table_;
};

}  // namespace platform
