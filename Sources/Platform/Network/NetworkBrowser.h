#pragma once
// Browsing for DNS-SD services of one type in one domain, as the Network
// framework's browser does: a state handler (ready, waiting, failed with
// an error, cancelled) and a results handler, both on the queue the browse
// started on; cancel() ends it with the cancelled state.
//
// The browse is the Avahi daemon's: ready once its service browser runs,
// failed when the client cannot reach the daemon. Tests script the states
// instead (SimulatedBonjourBrowsing), and every browse started is recorded
// either way.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Platform/Runtime/Dispatch.h"

namespace platform {

struct NetworkBrowseDescriptor {
    std::string type;    // "_service._tcp"
    std::string domain;  // "local"
    bool operator==(const NetworkBrowseDescriptor&) const = default;
};

struct NetworkBrowserState {
    enum class Kind { setup, ready, waiting, failed, cancelled };
    Kind kind = Kind::setup;
    // The error of failed and waiting.
    std::string error;
    // "ready", "cancelled", "setup", or "failed: " / "waiting: " and the error.
    std::string description() const;
    bool operator==(const NetworkBrowserState&) const = default;
};

struct NetworkBrowseResult {
    std::string name;
    std::string type;
    std::string domain;
    bool operator==(const NetworkBrowseResult&) const = default;
};

class NetworkBrowser {
public:
    virtual ~NetworkBrowser() = default;

    // `includePeerToPeer`: browse over peer-to-peer links as well.
    static std::shared_ptr<NetworkBrowser> make(NetworkBrowseDescriptor descriptor, bool includePeerToPeer);

    // Set before start(); called on the start queue.
    std::function<void(const NetworkBrowserState&)> stateUpdateHandler;
    std::function<void(const std::vector<NetworkBrowseResult>&)> browseResultsChangedHandler;

    // Once; later calls do nothing.
    virtual void start(DispatchQueue queue) = 0;
    // Ends the browse; the state handler then hears cancelled, once.
    virtual void cancel() = 0;
};

// Scripted browsing of the simulated machine. Reached through
// SimulatedMachine::current().component<SimulatedBonjourBrowsing>().
class SimulatedBonjourBrowsing {
public:
    // What a scripted browse reports: each state after its delay (seconds
    // from the start), then the results, if any, with the first ready.
    struct Script {
        std::vector<std::pair<double, NetworkBrowserState>> states;
        std::vector<NetworkBrowseResult> results;
    };
    // None (the default): browses go to the Avahi daemon.
    void setScript(std::optional<Script> script);
    std::optional<Script> script() const;

    struct Browse {
        NetworkBrowseDescriptor descriptor;
        bool includePeerToPeer = false;
    };
    // Every browser made, in order.
    std::vector<Browse> browses() const;
    void noteBrowse(Browse browse);

private:
    mutable std::mutex lock_;
    std::optional<Script> script_;
    std::vector<Browse> browses_;
};

}  // namespace platform
