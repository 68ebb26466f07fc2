#pragma once
// Keeps the Host's DNS-SD advertisement in step with the machine: the
// service "_velantrix-host._tcp" on the audio port, named after the host,
// whose TXT record carries the Host's identity, its three ports, the route
// records and the Wake-on-LAN addresses. It publishes only what changed, and
// watches the network path so that a new or lost address is advertised
// without waiting for the next check.
//
// Owned by a std::shared_ptr. Lives on its owner's queue (the server queue):
// every method is called there, and the path monitor's reports hop there
// holding the advertiser weakly.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Runtime/Dispatch.h"
#include "Platform/Network/DnsServiceRegistration.h"
#include "Platform/Network/NetworkPathMonitor.h"
#include "VelantrixProfiles/Discovery/VelantrixRouteRecord.h"

class BonjourAdvertiser : public std::enable_shared_from_this<BonjourAdvertiser> {
public:
    // At most this many route records go into the TXT record ("r0".."r7").
    static constexpr size_t kMaxRouteRecords = 8;
    // The queue of the network path monitor.
    static constexpr const char* kNetworkPathQueueLabel = "v230.host.audio.aux.network-path";

    struct Identity {
        std::string hostIdentifier;
        std::vector<uint8_t> publicKey;  // Ed25519, 32 bytes
        // The ports actually bound.
        uint16_t audioPort = 0;
        uint16_t videoPort = 0;
        uint16_t filesPort = 0;
        // Instance name; the host name without its domain by default.
        std::string serviceName = platform::DnsServiceRegistration::defaultServiceName();
    };

    // How the Host can be reached right now.
    struct Routes {
        std::vector<VelantrixRouteRecord> records;
        std::vector<std::string> wakeOnLanAddresses;
    };
    using RouteSource = std::function<Routes()>;
    using Logger = std::function<void(const std::string& text)>;

    // `registration` and `source` default to the Avahi daemon and the
    // machine's interfaces.
    BonjourAdvertiser(Identity identity, platform::DispatchQueue ownerQueue, Logger log,
                      std::shared_ptr<platform::DnsServiceRegistration> registration = nullptr,
                      RouteSource source = nullptr);
    ~BonjourAdvertiser();
    BonjourAdvertiser(const BonjourAdvertiser&) = delete;
    BonjourAdvertiser& operator=(const BonjourAdvertiser&) = delete;

    // Called on the owner queue after the network path changed. When unset,
    // the advertiser updates itself with the reason "network path changed".
    std::function<void()> onNetworkPathChanged;

    // Publishes the first advertisement and starts the path monitor.
    void start();
    // Stops the monitor and takes the service off the network.
    void stop();
    // Rebuilds the advertisement from fresh routes and publishes it when it
    // differs from the last one, logging the reason. True when published.
    bool update(const std::string& reason);

    // The routes behind the advertisement in force.
    const Routes& currentRoutes() const { return routes_; }

    // The TXT record for an identity and a set of routes, in publishing order.
    static platform::DnsTxtRecord makeTxtRecord(const Identity& identity, const Routes& routes);
    // The machine's routes: its route records and the hardware addresses
    // behind them, from one reading of the interface table.
    static Routes localRoutes();

private:
    const Identity identity_;
    const platform::DispatchQueue ownerQueue_;
    const Logger log_;
    const std::shared_ptr<platform::DnsServiceRegistration> registration_;
    const RouteSource source_;
    std::shared_ptr<platform::NetworkPathMonitor> monitor_;
    // The description last handed to the registration; nothing before the
    // first publish and after stop().
    std::optional<platform::DnsServiceDescription> published_;
    Routes routes_;
    bool running_ = false;
};
