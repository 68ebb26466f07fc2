#include "HostApp/AuxServer/AuxAdmission.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "Platform/Security/Crypto.h"

namespace {

AuxAdmission::RandomSource systemRandom() {
    auto seed = platform::crypto::randomBytes(8);
    uint64_t value = 0;
    for (uint8_t b : seed) value = (value << 8) | b;
    auto engine = std::make_shared<std::mt19937_64>(value);
    return [engine] { return std::uniform_real_distribution<double>(0.0, 1.0)(*engine); };
}

bool isLive(const std::shared_ptr<platform::TcpConnection>& connection) {
    if (!connection) return false;
    auto state = connection->state();
    return state != platform::ConnectionState::failed && state != platform::ConnectionState::cancelled;
}

}  // namespace

AuxPeerAccount::AuxPeerAccount(std::string peer, size_t workBudgetBytes)
    : peer(std::move(peer)),
      ledger(std::make_shared<platform::WorkLedger>(this->peer, workBudgetBytes)),
      turns(std::make_shared<platform::ReceiveTurnBudget>()) {}

AuxPeerAccount::~AuxPeerAccount() {
    ledger->cancel();
    if (onGone) onGone(peer);
}

AuxAdmission::AuxAdmission(RandomSource random, size_t byteTotalBytes)
    : random_(random ? std::move(random) : systemRandom()),
      byteTotal_(std::make_shared<platform::HostByteTotal>(byteTotalBytes)) {}

std::string AuxAdmission::sourceOf(const std::string& address) {
    in6_addr v6{};
    if (address.find(':') == std::string::npos || inet_pton(AF_INET6, address.c_str(), &v6) != 1) return address;
    char text[INET6_ADDRSTRLEN] = {};
    // One peer, whichever family its connection came in on.
    if (IN6_IS_ADDR_V4MAPPED(&v6)) {
        inet_ntop(AF_INET, v6.s6_addr + 12, text, sizeof text);
        return text;
    }
    // The canonical spelling, so that one address is one peer however it
    // was written.
    inet_ntop(AF_INET6, &v6, text, sizeof text);
    return text;
}

std::string AuxAdmission::machineOf(const std::string& address) {
    const std::string peer = sourceOf(address);
    in6_addr v6{};
    if (peer.find(':') == std::string::npos || inet_pton(AF_INET6, peer.c_str(), &v6) != 1) return peer;
    std::fill(v6.s6_addr + 8, v6.s6_addr + 16, 0);
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, &v6, text, sizeof text);
    return std::string(text) + "/64";
}

double AuxAdmission::earlyDropProbability(size_t pending) {
    if (pending < earlyDropThreshold) return 0;
    if (pending >= maxPendingConnections) return 1;
    return earlyDropMinimum + (1 - earlyDropMinimum) * static_cast<double>(pending - earlyDropThreshold) /
                                  static_cast<double>(maxPendingConnections - earlyDropThreshold);
}

double AuxAdmission::pacingDelaySeconds(size_t failures) {
    if (failures < failuresBeforePacing) return 0;
    const size_t doublings = failures - failuresBeforePacing;
    if (doublings >= 16) return maxPacingSeconds;
    return std::min(maxPacingSeconds, std::ldexp(1.0, static_cast<int>(doublings)));
}

// --- Connections ---------------------------------------------------------------------

void AuxAdmission::sweep() {
    std::erase_if(loggedIn_, [](const Pending& p) { return !isLive(p.connection.lock()); });
}

std::optional<AuxAdmission::Verdict> AuxAdmission::loggedInCapFor(const std::string& peer) {
    if (loggedIn_.size() >= maxLoggedInConnections) return Verdict::overLoggedInTotalCap;
    const auto fromPeer =
        std::count_if(loggedIn_.begin(), loggedIn_.end(), [&](const Pending& p) { return p.owner == peer; });
    if (static_cast<size_t>(fromPeer) >= maxLoggedInPerSource) return Verdict::overLoggedInSourceCap;
    return std::nullopt;
}

AuxAdmission::Verdict AuxAdmission::admit(const std::shared_ptr<platform::TcpConnection>& connection,
                                          const std::string& address,
                                          std::shared_ptr<platform::TcpConnection>* displaced) {
    sweep();
    const std::string machine = machineOf(address);
    const size_t pending = pending_.count();
    Verdict verdict = Verdict::admitted;
    // A peer whose logged-in connections fill its share could not log this
    // one in: it is refused before it costs a login.
    if (auto cap = loggedInCapFor(sourceOf(address))) {
        verdict = *cap;
    } else if (pending < maxPendingConnections && pending >= earlyDropThreshold &&
               !pending_.holdsFewerThanTheMost(machine) && random_() < earlyDropProbability(pending)) {
        // The early drop thins a crowd of machines holding alike; one that
        // holds less than another is let in, as it would be when full.
        verdict = Verdict::droppedEarly;
    } else {
        auto entry = pending_.enter(connection, machine, sourceOf(address));
        if (entry.outcome == AuxWaitingRoom::Outcome::overTotalCap) verdict = Verdict::overTotalCap;
        if (entry.outcome == AuxWaitingRoom::Outcome::overMachineCap) verdict = Verdict::overMachineCap;
        if (entry.displaced && displaced) {
            *displaced = std::move(entry.displaced);
        } else if (entry.displaced) {
            entry.displaced->cancel();
        }
    }
    if (verdict != Verdict::admitted) refusals_[verdict]++;
    return verdict;
}

void AuxAdmission::release(const platform::TcpConnection* connection) {
    pending_.leave(connection);
    std::erase_if(loggedIn_, [connection](const Pending& p) { return p.key == connection; });
}

AuxAdmission::Verdict AuxAdmission::logIn(const std::shared_ptr<platform::TcpConnection>& connection,
                                          const std::string& address) {
    sweep();
    release(connection.get());
    const std::string peer = sourceOf(address);
    if (auto cap = loggedInCapFor(peer)) {
        refusals_[*cap]++;
        return *cap;
    }
    loggedIn_.push_back({connection, connection.get(), peer});
    return Verdict::admitted;
}

size_t AuxAdmission::loggedInCount() {
    sweep();
    return loggedIn_.size();
}

size_t AuxAdmission::loggedInCountFrom(const std::string& address) {
    sweep();
    const std::string peer = sourceOf(address);
    return std::count_if(loggedIn_.begin(), loggedIn_.end(), [&](const Pending& p) { return p.owner == peer; });
}

std::shared_ptr<AuxPeerAccount> AuxAdmission::accountFor(const std::string& address,
                                                         const std::function<void(const std::string& peer)>& onGone) {
    // Peers whose connections have all gone are forgotten, so the table
    // holds only the peers connected now.
    std::erase_if(accounts_, [](const auto& entry) { return entry.second.expired(); });
    const std::string peer = sourceOf(address);
    auto& slot = accounts_[peer];
    auto account = slot.lock();
    if (!account) {
        slot = account = std::make_shared<AuxPeerAccount>(peer, workBudgetBytesPerPeer);
        account->ledger->shareTotal(byteTotal_, machineOf(address));
        account->ledger->shareHostWide(platform::WorkLedger::Held::batches, batchPlaces_, machineOf(address));
        account->onGone = onGone;
    }
    return account;
}

std::vector<std::shared_ptr<AuxPeerAccount>> AuxAdmission::liveAccounts() {
    std::vector<std::shared_ptr<AuxPeerAccount>> live;
    for (const auto& [peer, weak] : accounts_)
        if (auto account = weak.lock()) live.push_back(std::move(account));
    return live;
}

size_t AuxAdmission::pendingCount() { return pending_.count(); }

size_t AuxAdmission::pendingCountFrom(const std::string& address) { return pending_.countOf(machineOf(address)); }

// --- Password checks --------------------------------------------------------------------

void AuxAdmission::forgetOldFailures(MachineRecord& record, uint64_t nowNs) {
    const auto window = static_cast<uint64_t>(failureWindowSeconds * 1e9);
    while (!record.failures.empty() && record.failures.front().first + window <= nowNs) record.failures.pop_front();
    std::erase_if(record.provenNs, [&](const auto& proven) { return proven.second + window <= nowNs; });
}

std::optional<uint64_t> AuxAdmission::checkMayStartAtNs(const std::string& address, uint64_t nowNs) {
    if (checksRunning_ >= passwordCheckSlots) return std::nullopt;
    auto it = machines_.find(machineOf(address));
    if (it == machines_.end()) return nowNs;
    MachineRecord& record = it->second;
    const std::string exact = sourceOf(address);
    if (record.running.contains(exact)) return std::nullopt;
    forgetOldFailures(record, nowNs);
    const bool proven = record.provenNs.contains(exact);
    // An address that gave a right password is not held by those that have
    // not: their burst is bounded, its checks are not.
    const auto unproven = static_cast<size_t>(std::count_if(
        record.running.begin(), record.running.end(), [](const auto& running) { return !running.second; }));
    if (!proven && unproven >= passwordChecksPerMachine) return std::nullopt;
    // Its own failures pace the address.
    size_t own = 0;
    uint64_t ownLastNs = 0;
    std::map<std::string, size_t> byAddress;
    uint64_t lastNs = 0;
    for (const auto& [atNs, from] : record.failures) {
        if (from == exact) {
            own++;
            ownLastNs = atNs;
        }
        byAddress[from]++;
        lastNs = atNs;
    }
    uint64_t startNs = nowNs;
    if (own > 0) startNs = std::max(startNs, ownLastNs + static_cast<uint64_t>(pacingDelaySeconds(own) * 1e9));
    // Failing from several addresses, the /64 is one source to all of its
    // addresses that have not shown they know the password: one check at a
    // time, paced by what its addresses failed together.
    if (!proven && byAddress.size() >= failingAddressesBeforeMachinePacing) {
        if (unproven > 0) return std::nullopt;
        size_t together = 0;
        for (const auto& [from, count] : byAddress) together += std::min(count, failuresBeforePacing);
        startNs = std::max(startNs, lastNs + static_cast<uint64_t>(pacingDelaySeconds(together) * 1e9));
    }
    return startNs;
}

std::optional<size_t> AuxAdmission::nextCheck(const std::vector<std::string>& waitingAddresses, uint64_t nowNs,
                                              std::optional<uint64_t>& wakeAtNs) {
    // The first waiting login of each address, grouped by machine.
    std::map<std::string, std::map<std::string, size_t>> firstOf;
    for (size_t i = 0; i < waitingAddresses.size(); ++i)
        firstOf[machineOf(waitingAddresses[i])].try_emplace(sourceOf(waitingAddresses[i]), i);
    // Keys after `last` first, then the rest: the next turn of a round robin.
    auto inTurn = [](const auto& map, const std::string& last) {
        std::vector<typename std::decay_t<decltype(map)>::const_iterator> order;
        for (auto it = map.upper_bound(last); it != map.end(); ++it) order.push_back(it);
        for (auto it = map.begin(); it != map.end() && it->first <= last; ++it) order.push_back(it);
        return order;
    };
    for (auto machine : inTurn(firstOf, checkTurns_.machine)) {
        for (auto address : inTurn(machine->second, checkTurns_.addressOf[machine->first])) {
            auto startAt = checkMayStartAtNs(address->first, nowNs);
            if (startAt && *startAt > nowNs) wakeAtNs = std::min(wakeAtNs.value_or(*startAt), *startAt);
            if (!startAt || *startAt > nowNs) continue;
            checkTurns_.machine = machine->first;
            checkTurns_.addressOf[machine->first] = address->first;
            return address->second;
        }
    }
    // Turns of machines with nobody waiting are forgotten.
    std::erase_if(checkTurns_.addressOf, [&](const auto& turn) { return !firstOf.contains(turn.first); });
    return std::nullopt;
}

void AuxAdmission::checkStarted(const std::string& address) {
    auto& record = machines_[machineOf(address)];
    const std::string exact = sourceOf(address);
    record.running[exact] = record.provenNs.contains(exact);
    checksRunning_++;
}

void AuxAdmission::checkFinished(const std::string& address, platform::CredentialCheck verdict, uint64_t nowNs) {
    auto it = machines_.find(machineOf(address));
    const std::string exact = sourceOf(address);
    if (it == machines_.end() || it->second.running.erase(exact) == 0) return;
    checksRunning_--;
    MachineRecord& record = it->second;
    if (verdict == platform::CredentialCheck::valid) {
        std::erase_if(record.failures, [&](const auto& failure) { return failure.second == exact; });
        record.provenNs[exact] = nowNs;
    }
    if (verdict == platform::CredentialCheck::invalid) record.failures.emplace_back(nowNs, exact);
    // Machines with nothing to remember are forgotten, so the table only
    // holds those failing now.
    for (auto entry = machines_.begin(); entry != machines_.end();) {
        forgetOldFailures(entry->second, nowNs);
        if (entry->second.running.empty() && entry->second.failures.empty() && entry->second.provenNs.empty()) {
            entry = machines_.erase(entry);
        } else {
            ++entry;
        }
    }
}

// --- Log ---------------------------------------------------------------------------------------

bool AuxAdmission::mayLogPreLoginEnd(const std::string& reason) {
    if (linesThisSecond_ < preLoginLinesPerSecond) {
        linesThisSecond_++;
        return true;
    }
    quietEnds_[reason]++;
    return false;
}

void AuxAdmission::countAcceptFailures(uint64_t count, const std::string& lastError) {
    if (count == 0) return;
    acceptFailures_ += count;
    lastAcceptError_ = lastError;
}

std::optional<std::string> AuxAdmission::takeSecondSummary() {
    linesThisSecond_ = 0;
    uint64_t refused = acceptFailures_;
    for (const auto& [verdict, count] : refusals_) refused += count;
    uint64_t quiet = 0;
    for (const auto& [reason, count] : quietEnds_) quiet += count;
    if (refused == 0 && quiet == 0) return std::nullopt;

    auto list = [](const std::vector<std::string>& parts) {
        std::string out;
        for (const auto& part : parts) out += (out.empty() ? "" : ", ") + part;
        return out;
    };
    std::string line = "aux: ";
    if (refused > 0) {
        static const std::map<Verdict, std::string> names{
            {Verdict::overTotalCap, "over the cap of " + std::to_string(maxPendingConnections)},
            {Verdict::overMachineCap, "over " + std::to_string(maxPendingPerMachine) + " from one machine"},
            {Verdict::droppedEarly, "dropped early"},
            {Verdict::overLoggedInTotalCap, "over the cap of " + std::to_string(maxLoggedInConnections) + " logged in"},
            {Verdict::overLoggedInSourceCap, "over " + std::to_string(maxLoggedInPerSource) + " logged in from one source"},
        };
        std::vector<std::string> parts;
        for (const auto& [verdict, count] : refusals_) parts.push_back(std::to_string(count) + " " + names.at(verdict));
        if (acceptFailures_ > 0)
            parts.push_back(std::to_string(acceptFailures_) + " failed accept(s): " + lastAcceptError_);
        line += "refused " + std::to_string(refused) + " connection(s) in the last second (" + list(parts) + ")";
    }
    if (quiet > 0) {
        std::vector<std::string> parts;
        for (const auto& [reason, count] : quietEnds_) parts.push_back(std::to_string(count) + " " + reason);
        line += std::string(refused > 0 ? "; " : "") + std::to_string(quiet) +
                " more connection(s) ended before login (" + list(parts) + ")";
    }
    refusals_.clear();
    acceptFailures_ = 0;
    lastAcceptError_.clear();
    quietEnds_.clear();
    return line;
}
