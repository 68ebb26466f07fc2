#pragma once
// Keeps the places of connections that wait for something only the peer can
// show (a login, a data channel's token), shared among the machines that
// hold them, so that a few machines can never hold them all.
//
// A machine (AuxAdmission::machineOf: an IPv4 address, an IPv6 /64) holds
// at most its cap. When every place is taken, a newcomer from a machine that
// holds fewer than the one holding the most takes the place of that
// machine's oldest connection; inside a /64 at its cap, a newcomer from an
// address that holds fewer takes the place of the oldest of the address
// holding the most. A machine that renews its connections as they close
// thus keeps at most an even share, and a newcomer never waits for it.
//
// Not thread-safe: the server uses it on its queue only.

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Network/Network.h"

class AuxWaitingRoom {
public:
    AuxWaitingRoom(size_t capacity, size_t perMachine) : capacity_(capacity), perMachine_(perMachine) {}

    enum class Outcome : uint8_t { admitted, overTotalCap, overMachineCap };
    struct Entry {
        Outcome outcome = Outcome::admitted;
        // The connection whose place the newcomer took: the caller closes it
        // (it was taken out of the room already).
        std::shared_ptr<platform::TcpConnection> displaced;
    };

    // Takes a place for `connection` from `address` of `machine`, displacing
    // as above, or says which cap it would pass.
    Entry enter(const std::shared_ptr<platform::TcpConnection>& connection, const std::string& machine,
                const std::string& address);
    // Whether a newcomer from `machine` would take someone's place if the
    // room were full: its machine holds fewer than the one holding the most.
    bool holdsFewerThanTheMost(const std::string& machine);
    void leave(const platform::TcpConnection* connection);
    size_t count();
    size_t countOf(const std::string& machine);
    size_t capacity() const { return capacity_; }

private:
    struct Place {
        std::weak_ptr<platform::TcpConnection> connection;
        const platform::TcpConnection* key;
        std::string machine;
        std::string address;
    };
    // Forgets connections that were dropped, closed or failed.
    void sweep();
    // The oldest place among those whose `key` (machine or address) holds
    // the most, when `newcomerHolds` + 1 is fewer than that; nothing else.
    std::optional<size_t> placeToTake(std::string Place::*key, size_t newcomerHolds,
                                      const std::string& within) const;
    std::shared_ptr<platform::TcpConnection> takePlace(size_t index);

    const size_t capacity_;
    const size_t perMachine_;
    // In arrival order: the first of a machine is its oldest.
    std::vector<Place> places_;
};
