#include "Platform/Runtime/HostByteTotal.h"

#include <algorithm>

namespace platform {

HostByteTotal::HostByteTotal(size_t limitBytes) : limit_(std::max<size_t>(limitBytes, kReserveFraction)) {}

size_t HostByteTotal::bytesInUse() const {
    std::lock_guard lock(mutex_);
    return total_;
}

size_t HostByteTotal::bytesOf(const std::string& machine) const {
    std::lock_guard lock(mutex_);
    auto it = machines_.find(machine);
    return it == machines_.end() ? 0 : it->second.bytes;
}

size_t HostByteTotal::part() const {
    std::lock_guard lock(mutex_);
    return partLocked();
}

size_t HostByteTotal::partLocked() const {
    // One part more than there are machines: the newcomer's, free whatever
    // the others hold within theirs.
    return limit_ / (machines_.size() + 1);
}

size_t HostByteTotal::roomLocked(const Machine& machine, Use use) const {
    const size_t reserve = limit_ / kReserveFraction;
    if (use == Use::reserve) {
        // What keeps a machine within its part going (its acknowledgements
        // and input read past a budget) has room whatever the others hold
        // within theirs, but only below the limit: parts shrink as machines
        // join, so what all machines hold within their parts of their time
        // may add up to far more than the limit. Replies stop half the
        // reserve lower (mayQueue), so that last half is left to these.
        const size_t part = partLocked();
        const size_t withinPart = machine.bytes < part ? part - machine.bytes : 0;
        return std::max(roomBelowLocked(machine, limit_), std::min(withinPart, leftBelowLocked(limit_)));
    }
    const size_t room = roomBelowLocked(machine, limit_ - reserve);
    if (room > 0 || machine.bytes >= reserve / 8) return room;
    // A machine that holds next to nothing still reads its first packets
    // (a newcomer's) from half the reserve, where those holding the total
    // cannot follow it.
    const size_t ceiling = limit_ - reserve / 2;
    return std::min(leftBelowLocked(ceiling), reserve / 8 - machine.bytes);
}

size_t HostByteTotal::leftBelowLocked(size_t ceiling) const { return total_ < ceiling ? ceiling - total_ : 0; }

size_t HostByteTotal::roomBelowLocked(const Machine& machine, size_t ceiling) const {
    const size_t part = partLocked();
    if (total_ >= ceiling) return 0;
    // Within its part a machine takes what the total has left.
    const size_t withinPart = machine.bytes < part ? part - machine.bytes : 0;
    if (ceiling - total_ <= withinPart) return ceiling - total_;
    // Past its part a machine stops the earlier the more it holds, so the
    // one holding the most gives way first: each byte it takes both fills
    // the total and lowers its own ceiling by one. Never lower than a part
    // below the ceiling, so that those past their parts still share what
    // the others leave.
    const size_t total = total_ + withinPart;
    const size_t over = machine.bytes + withinPart - part;
    const size_t lowered = ceiling - std::min(ceiling, std::min(part, over));
    if (total >= lowered) return withinPart;
    const size_t untilTheLowest = part > over ? part - over : 0;
    const size_t halved = (ceiling - total - std::min(ceiling - total, over)) / 2;
    if (halved <= untilTheLowest) return withinPart + halved;
    return withinPart + (ceiling - part > total ? ceiling - part - total : 0);
}

void HostByteTotal::join(const std::string& machine) {
    std::lock_guard lock(mutex_);
    machines_[machine].ledgers += 1;
}

void HostByteTotal::leave(const std::string& machine, std::vector<std::weak_ptr<WorkLedger>>& wake) {
    std::lock_guard lock(mutex_);
    auto it = machines_.find(machine);
    if (it == machines_.end()) return;
    it->second.ledgers -= std::min<size_t>(it->second.ledgers, 1);
    if (it->second.ledgers != 0 || it->second.bytes != 0) return;
    machines_.erase(it);
    releases_ += 1;
    // One machine fewer: every part grows, and a machine stopped past its
    // old one may have room now though nobody gave any back.
    wakeThoseWithRoomLocked(wake);
}

void HostByteTotal::adjust(const std::string& machine, size_t before, size_t now,
                           std::vector<std::weak_ptr<WorkLedger>>& wake) {
    std::lock_guard lock(mutex_);
    auto& m = machines_[machine];
    m.bytes = m.bytes - std::min(m.bytes, before) + now;
    total_ = total_ - std::min(total_, before) + now;
    if (now >= before) return;
    releases_ += 1;
    // Room returned: to every machine that has some now, not only this one
    // (a machine past its part may have held everyone's).
    wakeThoseWithRoomLocked(wake);
}

void HostByteTotal::wakeThoseWithRoomLocked(std::vector<std::weak_ptr<WorkLedger>>& wake) {
    for (auto& [name, waiting] : machines_) {
        if (waiting.waiting.empty()) continue;
        // Its ledgers wait for either kind of room (a read, or a reply or a
        // read past the budget); one that finds too little asks again.
        if (roomLocked(waiting, Use::read) == 0 && roomLocked(waiting, Use::reserve) == 0) continue;
        for (auto& ledger : waiting.waiting) wake.push_back(std::move(ledger));
        waiting.waiting.clear();
    }
}

size_t HostByteTotal::roomFor(const std::string& machine, Use use) const {
    std::lock_guard lock(mutex_);
    auto it = machines_.find(machine);
    static const Machine none;
    return roomLocked(it == machines_.end() ? none : it->second, use);
}

bool HostByteTotal::takePlace(const std::string& machine, const void* holder, size_t rest) {
    std::lock_guard lock(mutex_);
    auto it = machines_.find(machine);
    if (it == machines_.end()) return false;
    if (it->second.placeHolder == holder) return true;
    const size_t ceiling = limit_ - limit_ / kReserveFraction / 2;
    if (it->second.placeHolder || total_ >= ceiling || ceiling - total_ < rest) return false;
    it->second.placeHolder = holder;
    return true;
}

void HostByteTotal::givePlace(const std::string& machine, const void* holder,
                              std::vector<std::weak_ptr<WorkLedger>>& wake) {
    std::lock_guard lock(mutex_);
    auto it = machines_.find(machine);
    if (it == machines_.end() || it->second.placeHolder != holder) return;
    it->second.placeHolder = nullptr;
    releases_ += 1;
    // Another of the machine's packets may take it.
    for (auto& ledger : it->second.waiting) wake.push_back(std::move(ledger));
    it->second.waiting.clear();
}

size_t HostByteTotal::placeRoom() const {
    std::lock_guard lock(mutex_);
    const size_t ceiling = limit_ - limit_ / kReserveFraction / 2;
    return total_ < ceiling ? ceiling - total_ : 0;
}

bool HostByteTotal::mayQueue(const std::string& machine, size_t bytes) const {
    std::lock_guard lock(mutex_);
    auto it = machines_.find(machine);
    static const Machine none;
    const Machine& m = it == machines_.end() ? none : it->second;
    // Replies stop half the reserve below the limit, within its part or
    // not: what is left above is the reads past a budget's alone.
    const size_t ceiling = limit_ - limit_ / kReserveFraction / 2;
    if (leftBelowLocked(ceiling) < bytes) return false;
    return roomBelowLocked(m, ceiling) >= bytes || m.bytes + bytes <= partLocked();
}

uint64_t HostByteTotal::releases() const {
    std::lock_guard lock(mutex_);
    return releases_;
}

bool HostByteTotal::wakeWhenRoom(const std::string& machine, const std::weak_ptr<WorkLedger>& ledger,
                                 uint64_t seen) {
    std::lock_guard lock(mutex_);
    auto& waiting = machines_[machine].waiting;
    const bool listed = std::any_of(waiting.begin(), waiting.end(), [&](const std::weak_ptr<WorkLedger>& w) {
        return !w.owner_before(ledger) && !ledger.owner_before(w);
    });
    if (!listed) waiting.push_back(ledger);
    if (releases_ == seen) return false;
    const Machine& m = machines_[machine];
    return roomLocked(m, Use::read) > 0 || roomLocked(m, Use::reserve) > 0;
}

}  // namespace platform
