#include "HostApp/AuxServer/AuxWaitingRoom.h"

#include <algorithm>
#include <map>

namespace {

bool stillWaiting(const std::shared_ptr<platform::TcpConnection>& connection) {
    if (!connection) return false;
    auto state = connection->state();
    return state != platform::ConnectionState::failed && state != platform::ConnectionState::cancelled;
}

}  // namespace

void AuxWaitingRoom::sweep() {
    std::erase_if(places_, [](const Place& p) { return !stillWaiting(p.connection.lock()); });
}

std::optional<size_t> AuxWaitingRoom::placeToTake(std::string Place::*key, size_t newcomerHolds,
                                                  const std::string& within) const {
    std::map<std::string, size_t> held;
    size_t most = 0;
    for (const auto& p : places_)
        if (within.empty() || p.machine == within) most = std::max(most, ++held[p.*key]);
    // Taking a place from an equal would only trade places.
    if (newcomerHolds + 1 >= most) return std::nullopt;
    // The first place of a holder of the most is the oldest of theirs.
    for (size_t i = 0; i < places_.size(); ++i)
        if ((within.empty() || places_[i].machine == within) && held[places_[i].*key] == most) return i;
    return std::nullopt;
}

std::shared_ptr<platform::TcpConnection> AuxWaitingRoom::takePlace(size_t index) {
    auto displaced = places_[index].connection.lock();
    places_.erase(places_.begin() + static_cast<std::ptrdiff_t>(index));
    return displaced;
}

AuxWaitingRoom::Entry AuxWaitingRoom::enter(const std::shared_ptr<platform::TcpConnection>& connection,
                                            const std::string& machine, const std::string& address) {
    sweep();
    Entry entry;
    const auto fromMachine = countOf(machine);
    if (fromMachine >= perMachine_) {
        // The machine's own share is full: shared the same way among its
        // addresses (the machines of one IPv6 LAN).
        const auto fromAddress = static_cast<size_t>(std::count_if(
            places_.begin(), places_.end(), [&](const Place& p) { return p.address == address; }));
        auto index = placeToTake(&Place::address, fromAddress, machine);
        if (!index) return {Outcome::overMachineCap, nullptr};
        entry.displaced = takePlace(*index);
    } else if (places_.size() >= capacity_) {
        auto index = placeToTake(&Place::machine, fromMachine, {});
        if (!index) return {Outcome::overTotalCap, nullptr};
        entry.displaced = takePlace(*index);
    }
    places_.push_back({connection, connection.get(), machine, address});
    return entry;
}

bool AuxWaitingRoom::holdsFewerThanTheMost(const std::string& machine) {
    sweep();
    return placeToTake(&Place::machine, countOf(machine), {}).has_value();
}

void AuxWaitingRoom::leave(const platform::TcpConnection* connection) {
    std::erase_if(places_, [connection](const Place& p) { return p.key == connection; });
}

size_t AuxWaitingRoom::count() {
    sweep();
    return places_.size();
}

size_t AuxWaitingRoom::countOf(const std::string& machine) {
    sweep();
    return static_cast<size_t>(
        std::count_if(places_.begin(), places_.end(), [&](const Place& p) { return p.machine == machine; }));
}
