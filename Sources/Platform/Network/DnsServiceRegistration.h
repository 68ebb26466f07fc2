#pragma once
// Registration of one DNS-SD service with its TXT record.
//
// The real registration talks to the machine's DNS-SD daemon through the
// Avahi client library. When no daemon answers, the owner is not told to
// stop: the registration logs one line, tries again every 30 s and
// publishes as soon as the daemon is there; it does the same when the daemon
// goes away later. A name already taken on the network is replaced by the
// alternative the daemon's library proposes ("Name #2"), with a log line.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Platform/Runtime/Dispatch.h"

namespace platform {

// TXT entries in the order they are published.
using DnsTxtRecord = std::vector<std::pair<std::string, std::string>>;

struct DnsServiceDescription {
    std::string name;    // instance name, at most 63 bytes
    std::string type;    // "_service._tcp"
    std::string domain;  // "local"
    uint16_t port = 0;
    DnsTxtRecord txt;

    bool operator==(const DnsServiceDescription&) const = default;
};

class DnsServiceRegistration {
public:
    using Logger = std::function<void(const std::string& text)>;
    static constexpr double kRetryIntervalSeconds = 30.0;

    virtual ~DnsServiceRegistration() = default;

    // Publishes the service, or brings the published one up to date: a
    // change of the TXT record alone is sent as a TXT update, anything else
    // re-registers. Called on the registration's queue.
    virtual void publish(const DnsServiceDescription& service) = 0;
    // Takes the service off the network. Called on the registration's queue.
    virtual void withdraw() = 0;

    // The registration backed by the Avahi daemon; publish and withdraw are
    // called on `queue`. Its work, and every report of the daemon, runs on
    // the one queue through which the process makes all its calls into the
    // Avahi client; `log` receives its log lines there.
    static std::shared_ptr<DnsServiceRegistration> makeAvahi(DispatchQueue queue, Logger log);

    // This machine's host name without its domain, cut to the 63 bytes a
    // DNS-SD instance name may hold.
    static std::string defaultServiceName();
    // The instance name for a host name: the part before the first dot, cut
    // to 63 bytes without splitting a character; "Host" when that is empty.
    static std::string serviceNameForHostName(const std::string& hostName);
};

}  // namespace platform
