#include "Platform/Runtime/HeldPool.h"

#include <algorithm>

namespace platform {

HeldPool::HeldPool(size_t total) : total_(std::max<size_t>(total, 1)) {}

size_t HeldPool::held() const {
    std::lock_guard lock(mutex_);
    return held_;
}

size_t HeldPool::heldBy(const std::string& machine) const {
    std::lock_guard lock(mutex_);
    auto it = machines_.find(machine);
    return it == machines_.end() ? 0 : it->second.held;
}

size_t HeldPool::machinesSharing() const {
    std::lock_guard lock(mutex_);
    return sharingLocked();
}

size_t HeldPool::waiting() const {
    std::lock_guard lock(mutex_);
    size_t count = 0;
    for (const auto& [name, machine] : machines_) count += machine.waiting.size();
    return count;
}

size_t HeldPool::sharingLocked() const {
    size_t count = 0;
    for (const auto& [name, machine] : machines_) count += machine.held > 0 || !machine.waiting.empty();
    return count;
}

bool HeldPool::tryTake(const std::string& machine, size_t amount) {
    if (amount == 0) return true;
    std::lock_guard lock(mutex_);
    auto found = machines_.find(machine);
    const size_t held = found == machines_.end() ? 0 : found->second.held;
    const bool counted = held > 0 || (found != machines_.end() && !found->second.waiting.empty());
    // The asker counts among the machines sharing, as it will once it holds.
    const size_t machines = sharingLocked() + (counted ? 0 : 1);
    if (held_ + amount > total_ || !underShareLocked(held + amount - 1, machines)) return false;
    machines_[machine].held += amount;
    held_ += amount;
    return true;
}

void HeldPool::addWaiterLocked(Machine& machine, const std::weak_ptr<WorkLedger>& ledger, const WorkLedger* key) {
    for (const auto& waiter : machine.waiting)
        if (waiter.key == key) return;
    if (machine.waiting.empty()) machine.waitingSince = ++nextWaitSerial_;
    machine.waiting.push_back({ledger, key});
}

HeldPool::Offers HeldPool::wait(const std::string& machine, const std::weak_ptr<WorkLedger>& ledger,
                                const WorkLedger* key) {
    std::lock_guard lock(mutex_);
    addWaiterLocked(machines_[machine], ledger, key);
    return serveLocked();
}

HeldPool::Offers HeldPool::give(const std::string& machine, size_t amount, const std::weak_ptr<WorkLedger>& waiter,
                                const WorkLedger* key) {
    std::lock_guard lock(mutex_);
    auto& entry = machines_[machine];
    amount = std::min(amount, entry.held);
    entry.held -= amount;
    held_ -= std::min(held_, amount);
    if (key) addWaiterLocked(entry, waiter, key);
    return serveLocked();
}

HeldPool::Offers HeldPool::stopWaiting(const std::string& machine, const WorkLedger* key) {
    std::lock_guard lock(mutex_);
    auto it = machines_.find(machine);
    if (it == machines_.end()) return {};
    std::erase_if(it->second.waiting, [key](const Waiter& waiter) { return waiter.key == key; });
    // One machine fewer may leave the others a larger share.
    return serveLocked();
}

HeldPool::Offers HeldPool::serveLocked() {
    Offers offers;
    while (held_ < total_) {
        const size_t machines = sharingLocked();
        Machine* next = nullptr;
        const std::string* nextName = nullptr;
        for (auto& [name, machine] : machines_) {
            if (machine.waiting.empty() || !underShareLocked(machine.held, machines)) continue;
            if (!next || machine.held < next->held ||
                (machine.held == next->held && machine.waitingSince < next->waitingSince))
            {
                next = &machine;
                nextName = &name;
            }
        }
        if (!next) break;
        Waiter waiter = std::move(next->waiting.front());
        next->waiting.pop_front();
        if (!next->waiting.empty()) next->waitingSince = ++nextWaitSerial_;
        // A ledger that went without a word waits for nothing.
        if (waiter.ledger.expired()) continue;
        next->held += 1;
        held_ += 1;
        offers.push_back({std::move(waiter.ledger), *nextName});
    }
    forgetIdleLocked();
    if (askForPlaces_ && asking_ == Asking::none && !takeBackFromLocked().empty()) asking_ = Asking::due;
    return offers;
}

std::vector<std::string> HeldPool::takeBackFromLocked() const {
    // Whatever is free has just been handed on: a waiter under its share
    // finds none.
    if (held_ < total_) return {};
    const size_t machines = sharingLocked();
    const Machine* needy = nullptr;
    for (const auto& [name, machine] : machines_)
        if (!machine.waiting.empty() && underShareLocked(machine.held, machines) &&
            (!needy || machine.held < needy->held))
            needy = &machine;
    if (!needy) return {};
    // After giving one back a machine still holds more than the waiter did:
    // when the total does not divide evenly, some hold one more than
    // others, and taking that one would only move the wait to its giver.
    std::vector<std::pair<size_t, std::string>> over;
    for (const auto& [name, machine] : machines_)
        if (overShareLocked(machine.held, machines) && machine.held >= needy->held + 2)
            over.emplace_back(machine.held, name);
    std::stable_sort(over.begin(), over.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    std::vector<std::string> names;
    for (auto& entry : over) names.push_back(std::move(entry.second));
    return names;
}

void HeldPool::whenPlacesWanted(std::function<void()> ask) {
    std::lock_guard lock(mutex_);
    askForPlaces_ = std::move(ask);
}

void HeldPool::askForPlacesBackIfWanted() {
    std::function<void()> ask;
    {
        std::lock_guard lock(mutex_);
        if (asking_ != Asking::due) return;
        asking_ = Asking::out;
        ask = askForPlaces_;
    }
    if (ask) ask();
}

std::vector<std::string> HeldPool::takeBackFrom() {
    std::lock_guard lock(mutex_);
    // Once looked at, the next change that finds places still wanted asks
    // again.
    asking_ = Asking::none;
    return takeBackFromLocked();
}

void HeldPool::forgetIdleLocked() {
    std::erase_if(machines_, [](const auto& entry) { return entry.second.held == 0 && entry.second.waiting.empty(); });
}

}  // namespace platform
