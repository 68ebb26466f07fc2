#pragma once
// Watches the machine's interfaces and addresses and reports every change.
//
// It compares the interface table every 2 s on its own serial queue: a poll
// needs no socket thread, sees everything the table holds (links going up or
// down, addresses coming and going, IPv6 addresses turning deprecated) and
// runs on virtual time in tests.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Platform/Runtime/Dispatch.h"
#include "Platform/Network/NetworkInterfaces.h"

namespace platform {

class NetworkPathMonitor : public std::enable_shared_from_this<NetworkPathMonitor> {
public:
    static constexpr double kPollIntervalSeconds = 2.0;

    explicit NetworkPathMonitor(std::string queueLabel);
    ~NetworkPathMonitor();
    NetworkPathMonitor(const NetworkPathMonitor&) = delete;
    NetworkPathMonitor& operator=(const NetworkPathMonitor&) = delete;

    // Set once before start(); called on the monitor's queue after each
    // change. The table seen at start() is the baseline, not a change.
    std::function<void()> pathUpdateHandler;

    // Takes the baseline and begins polling. Later calls are ignored.
    void start();
    // Idempotent; the handler is not called once cancel() returned.
    void cancel();

    const DispatchQueue& queue() const { return queue_; }

private:
    void poll();

    DispatchQueue queue_;
    // The table of the last poll; only touched on queue_.
    std::optional<NetworkInterfaceTable> last_;
    std::unique_ptr<DispatchTimer> timer_;
    bool started_ = false;
};

}  // namespace platform
