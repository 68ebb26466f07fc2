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

AuxAdmission::AuxAdmission(RandomSource random) : random_(random ? std::move(random) : systemRandom()) {}

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
    std::erase_if(pending_, [](const Pending& p) { return !isLive(p.connection.lock()); });
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
                                          const std::string& address) {
    sweep();
    const std::string machine = machineOf(address);
    const size_t fromMachine =
        std::count_if(pending_.begin(), pending_.end(), [&](const Pending& p) { return p.owner == machine; });
    Verdict verdict = Verdict::admitted;
    // A peer whose logged-in connections fill its share could not log this
    // one in: it is refused before it costs a login.
    if (auto cap = loggedInCapFor(sourceOf(address))) {
        verdict = *cap;
    } else if (pending_.size() >= maxPendingConnections) {
        verdict = Verdict::overTotalCap;
    } else if (fromMachine >= maxPendingPerMachine) {
        verdict = Verdict::overMachineCap;
    } else if (pending_.size() >= earlyDropThreshold && random_() < earlyDropProbability(pending_.size())) {
        verdict = Verdict::droppedEarly;
    }
    if (verdict == Verdict::admitted) {
        pending_.push_back({connection, connection.get(), machine});
    } else {
        refusals_[verdict]++;
    }
    return verdict;
}

void AuxAdmission::release(const platform::TcpConnection* connection) {
    std::erase_if(pending_, [connection](const Pending& p) { return p.key == connection; });
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

size_t AuxAdmission::pendingCount() {
    sweep();
    return pending_.size();
}

size_t AuxAdmission::pendingCountFrom(const std::string& address) {
    sweep();
    const std::string machine = machineOf(address);
    return std::count_if(pending_.begin(), pending_.end(), [&](const Pending& p) { return p.owner == machine; });
}

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
    if (record.checkRunning) return std::nullopt;
    forgetOldFailures(record, nowNs);
    const std::string exact = sourceOf(address);
    const bool proven = record.provenNs.contains(exact);
    size_t counted = 0;
    uint64_t lastNs = 0;
    for (const auto& [atNs, from] : record.failures) {
        if (proven && from != exact) continue;
        counted++;
        lastNs = atNs;
    }
    if (counted == 0) return nowNs;
    const double delay = pacingDelaySeconds(counted);
    return std::max(nowNs, lastNs + static_cast<uint64_t>(delay * 1e9));
}

void AuxAdmission::checkStarted(const std::string& address) {
    machines_[machineOf(address)].checkRunning = true;
    checksRunning_++;
}

void AuxAdmission::checkFinished(const std::string& address, platform::CredentialCheck verdict, uint64_t nowNs) {
    auto it = machines_.find(machineOf(address));
    if (it == machines_.end() || !it->second.checkRunning) return;
    checksRunning_--;
    MachineRecord& record = it->second;
    record.checkRunning = false;
    const std::string exact = sourceOf(address);
    if (verdict == platform::CredentialCheck::valid) {
        std::erase_if(record.failures, [&](const auto& failure) { return failure.second == exact; });
        record.provenNs[exact] = nowNs;
    }
    if (verdict == platform::CredentialCheck::invalid) record.failures.emplace_back(nowNs, exact);
    // Machines with nothing to remember are forgotten, so the table only
    // holds those failing now.
    for (auto entry = machines_.begin(); entry != machines_.end();) {
        forgetOldFailures(entry->second, nowNs);
        if (!entry->second.checkRunning && entry->second.failures.empty() && entry->second.provenNs.empty()) {
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
