#include "Platform/Network/NetworkInterfaces.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <map>
#include <net/if.h>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>

#include "Platform/Runtime/Log.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"

namespace platform {

namespace {

// Bits of an IPv6 address's kernel flags (IFA_F_*).
constexpr uint32_t kIfaDadFailed = 0x08;
constexpr uint32_t kIfaDeprecated = 0x20;
constexpr uint32_t kIfaTentative = 0x40;

namespace fs = std::filesystem;

bool isHex(const std::string& s) {
    return std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isxdigit(c) != 0; });
}

bool isDescriptorShortage(int error) { return error == EMFILE || error == ENFILE; }

// What a read of the kernel's table ran into: the first error that makes
// its result untrustworthy. Files that are simply absent (a virtual link has
// no device/driver) are not errors.
struct ReadProblem {
    std::string text;
    void note(const std::string& what, int error) {
        if (text.empty() && isDescriptorShortage(error)) text = what + ": " + std::strerror(error);
    }
};

std::string readFirstLine(const fs::path& path, ReadProblem& problem) {
    std::ifstream in(path);
    if (!in) problem.note(path.string(), errno);
    std::string line;
    std::getline(in, line);
    return line;
}

std::string macText(const unsigned char* bytes, size_t length) {
    if (length != 6) return {};
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", bytes[0], bytes[1], bytes[2], bytes[3],
                  bytes[4], bytes[5]);
    return text;
}

// What /sys/class/net tells about one interface beyond getifaddrs.
void addSysfsFacts(NetworkInterfaceInfo& info, bool haveHardwareType, ReadProblem& problem) {
    std::error_code ec;
    const fs::path dir = fs::path("/sys/class/net") / info.name;
    info.isWireless = fs::exists(dir / "wireless", ec) || fs::exists(dir / "phy80211", ec);
    auto driverLink = fs::read_symlink(dir / "device" / "driver", ec);
    if (!ec) info.driver = driverLink.filename().string();
    ec.clear();
    info.isBridge = fs::exists(dir / "bridge", ec);
    if (info.isBridge) {
        for (const auto& entry : fs::directory_iterator(dir / "brif", ec))
            info.bridgePorts.push_back(entry.path().filename().string());
        if (ec) problem.note((dir / "brif").string(), ec.value());
        std::sort(info.bridgePorts.begin(), info.bridgePorts.end());
    }
    if (!haveHardwareType) {
        auto type = readFirstLine(dir / "type", problem);
        if (!type.empty()) info.hardwareType = static_cast<uint16_t>(std::strtoul(type.c_str(), nullptr, 10));
    }
}

// One full read of the kernel's table, or why it could not be trusted.
std::optional<NetworkInterfaceTable> readKernelTable(std::string& failure) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        failure = std::string("getifaddrs: ") + std::strerror(errno);
        return std::nullopt;
    }

    std::map<std::string, NetworkInterfaceInfo> byName;
    std::map<std::string, bool> haveHardwareType;
    for (ifaddrs* ifa = list; ifa; ifa = ifa->ifa_next) {
        if (!ifa->ifa_name) continue;
        auto& info = byName[ifa->ifa_name];
        info.name = ifa->ifa_name;
        info.isUp = ifa->ifa_flags & IFF_UP;
        info.isRunning = ifa->ifa_flags & IFF_RUNNING;
        info.isLoopback = ifa->ifa_flags & IFF_LOOPBACK;
        info.isPointToPoint = ifa->ifa_flags & IFF_POINTOPOINT;
        if (!ifa->ifa_addr) continue;
        char buf[INET6_ADDRSTRLEN];
        switch (ifa->ifa_addr->sa_family) {
            case AF_PACKET: {
                auto* ll = reinterpret_cast<const sockaddr_ll*>(ifa->ifa_addr);
                info.hardwareType = ll->sll_hatype;
                info.macAddress = macText(ll->sll_addr, ll->sll_halen);
                haveHardwareType[info.name] = true;
                break;
            }
            case AF_INET: {
                auto* sin = reinterpret_cast<const sockaddr_in*>(ifa->ifa_addr);
                if (inet_ntop(AF_INET, &sin->sin_addr, buf, sizeof buf))
                    info.addresses.push_back({NetworkInterfaceAddress::Family::ipv4, buf});
                break;
            }
            case AF_INET6: {
                auto* sin6 = reinterpret_cast<const sockaddr_in6*>(ifa->ifa_addr);
                if (inet_ntop(AF_INET6, &sin6->sin6_addr, buf, sizeof buf))
                    info.addresses.push_back({NetworkInterfaceAddress::Family::ipv6, buf});
                break;
            }
            default:
                break;
        }
    }
    freeifaddrs(list);

    ReadProblem problem;
    std::ifstream inet6File("/proc/net/if_inet6");
    if (!inet6File) problem.note("/proc/net/if_inet6", errno);
    std::stringstream inet6Text;
    inet6Text << inet6File.rdbuf();
    for (const auto& state : parseProcIfInet6(inet6Text.str())) {
        auto it = byName.find(state.interfaceName);
        if (it == byName.end()) continue;
        for (auto& address : it->second.addresses) {
            if (address.family != NetworkInterfaceAddress::Family::ipv6 || address.address != state.address)
                continue;
            address.isDeprecated = state.flags & kIfaDeprecated;
            // An address whose duplicate detection failed is as unusable as
            // one still being checked.
            address.isTentative = state.flags & (kIfaTentative | kIfaDadFailed);
        }
    }

    std::vector<std::pair<unsigned, NetworkInterfaceInfo>> indexed;
    for (auto& [name, info] : byName) {
        addSysfsFacts(info, haveHardwareType[name], problem);
        const unsigned index = if_nametoindex(name.c_str());
        if (index == 0) problem.note("if_nametoindex", errno);
        indexed.emplace_back(index, std::move(info));
    }
    if (!problem.text.empty()) {
        failure = problem.text;
        return std::nullopt;
    }
    std::stable_sort(indexed.begin(), indexed.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    NetworkInterfaceTable table;
    for (auto& entry : indexed) table.push_back(std::move(entry.second));
    return table;
}

}  // namespace

bool NetworkInterfaceInfo::isTunnel() const {
    switch (hardwareType) {
        case 768:     // ARPHRD_TUNNEL (ipip)
        case 769:     // ARPHRD_TUNNEL6
        case 776:     // ARPHRD_SIT
        case 778:     // ARPHRD_IPGRE
        case 823:     // ARPHRD_IP6GRE
        case 0xFFFE:  // ARPHRD_NONE (tun, wireguard)
        case 0xFFFF:  // ARPHRD_VOID
            return true;
        default:
            return false;
    }
}

std::vector<Inet6AddressState> parseProcIfInet6(std::string_view text) {
    std::vector<Inet6AddressState> out;
    std::istringstream in{std::string(text)};
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string hex, index, prefix, scope, flags, name;
        if (!(fields >> hex >> index >> prefix >> scope >> flags >> name)) continue;
        if (hex.size() != 32 || !isHex(hex)) continue;
        if (flags.empty() || flags.size() > 8 || !isHex(flags)) continue;
        in6_addr raw{};
        for (size_t i = 0; i < 16; ++i)
            raw.s6_addr[i] = static_cast<uint8_t>(std::stoul(hex.substr(i * 2, 2), nullptr, 16));
        char buf[INET6_ADDRSTRLEN];
        if (!inet_ntop(AF_INET6, &raw, buf, sizeof buf)) continue;
        out.push_back({name, buf, static_cast<uint32_t>(std::stoul(flags, nullptr, 16))});
    }
    return out;
}

NetworkInterfaceTable readMachineNetworkInterfaces() {
    // The last table read in full, shared by every reader in the process.
    static std::mutex mutex;
    static NetworkInterfaceTable lastKnown;
    static bool failing = false;

    std::string failure;
    auto table = readKernelTable(failure);
    std::lock_guard<std::mutex> g(mutex);
    if (table) {
        lastKnown = *table;
        failing = false;
        return std::move(*table);
    }
    if (!failing) {
        failing = true;
        Log::line("network: cannot read the interface table (" + failure + "); keeping the last known " +
                  std::to_string(lastKnown.size()) + " interface(s)");
    }
    return lastKnown;
}

NetworkInterfaceTable currentNetworkInterfaces() {
    if (auto simulated = SimulatedMachine::current().component<SimulatedNetworkInterfaces>().table())
        return *simulated;
    return readMachineNetworkInterfaces();
}

void SimulatedNetworkInterfaces::setTable(NetworkInterfaceTable table) {
    std::lock_guard<std::mutex> g(lock_);
    table_ = std::move(table);
}

void SimulatedNetworkInterfaces::clear() {
    std::lock_guard<std::mutex> g(lock_);
    table_.reset();
}

std::optional<NetworkInterfaceTable> SimulatedNetworkInterfaces::table() const {
    std::lock_guard<std::mutex> g(lock_);
    return table_;
}

}  // namespace platform
