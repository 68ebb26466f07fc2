#include "Platform/SimulatedMac/SkyLightSpaces.h"

#include <algorithm>

#include "Platform/Runtime/Log.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"

namespace platform {

namespace {

constexpr uint16_t kKeyLeftArrow = 123;
constexpr uint16_t kKeyRightArrow = 124;

PlistValue spaceDictionary(uint64_t id) {
    PlistValue d;
    d.set("ManagedSpaceID", id);
    d.set("id64", id);
    d.set("type", 0);
    return d;
}

}  // namespace

void SimulatedSpaces::setFrameworkPresent(bool present) {
    {
        std::lock_guard<std::mutex> g(lock_);
        frameworkPresent_ = present;
    }
    Log::raw(std::string("[SimulatedSpaces] SkyLight ") + (present ? "present" : "absent"));
}

void SimulatedSpaces::setSymbolPresent(const std::string& symbol, bool present) {
    {
        std::lock_guard<std::mutex> g(lock_);
        if (present) {
            absentSymbols_.erase(symbol);
        } else {
            absentSymbols_.insert(symbol);
        }
    }
    Log::raw("[SimulatedSpaces] symbol " + symbol + (present ? " present" : " absent"));
}

bool SimulatedSpaces::frameworkPresent() const {
    std::lock_guard<std::mutex> g(lock_);
    return frameworkPresent_;
}

bool SimulatedSpaces::symbolPresent(const std::string& symbol) const {
    std::lock_guard<std::mutex> g(lock_);
    return absentSymbols_.count(symbol) == 0;
}

void SimulatedSpaces::ensureInitialised() {
    {
        std::lock_guard<std::mutex> g(lock_);
        if (initialised_) return;
    }
    std::vector<SimulatedSpacesDisplay> defaults;
    std::vector<CGDirectDisplayID> active;
    CGGetActiveDisplayList(active);
    const CGDirectDisplayID main = CGMainDisplayID();
    uint64_t nextID = 1;
    for (CGDirectDisplayID id : active) {
        auto uuid = CGDisplayCreateUUIDFromDisplayID(id);
        if (!uuid) continue;
        SimulatedSpacesDisplay d{*uuid, {nextID}, nextID};
        ++nextID;
        if (id == main) d.spaceIDs.push_back(nextID++);
        defaults.push_back(std::move(d));
    }
    std::lock_guard<std::mutex> g(lock_);
    if (initialised_) return;
    displays_ = std::move(defaults);
    initialised_ = true;
}

void SimulatedSpaces::setDisplays(std::vector<SimulatedSpacesDisplay> displays) {
    {
        std::lock_guard<std::mutex> g(lock_);
        displays_ = std::move(displays);
        initialised_ = true;
    }
    Log::raw("[SimulatedSpaces] displays set");
}

std::vector<SimulatedSpacesDisplay> SimulatedSpaces::displays() {
    ensureInitialised();
    std::lock_guard<std::mutex> g(lock_);
    return displays_;
}

void SimulatedSpaces::setFocusedDisplay(std::string identifier) {
    std::lock_guard<std::mutex> g(lock_);
    focused_ = std::move(identifier);
}

void SimulatedSpaces::setKeyResponse(SpacesKeyResponse response, double lateSeconds) {
    std::lock_guard<std::mutex> g(lock_);
    response_ = response;
    lateSeconds_ = lateSeconds;
}

void SimulatedSpaces::setManagedDisplaySpacesOverride(std::optional<PlistValue> list) {
    std::lock_guard<std::mutex> g(lock_);
    override_ = std::move(list);
}

PlistValue SimulatedSpaces::managedDisplaySpaces() {
    ensureInitialised();
    std::lock_guard<std::mutex> g(lock_);
    if (override_) return *override_;
    PlistValue list{PlistValue::Array{}};
    for (const auto& d : displays_) {
        PlistValue entry;
        entry.set("Display Identifier", d.identifier);
        entry.set("Current Space", spaceDictionary(d.currentSpaceID));
        PlistValue spacesList{PlistValue::Array{}};
        for (uint64_t id : d.spaceIDs) spacesList.append(spaceDictionary(id));
        entry.set("Spaces", std::move(spacesList));
        list.append(std::move(entry));
    }
    return list;
}

uint64_t SimulatedSpaces::switchCount() const {
    std::lock_guard<std::mutex> g(lock_);
    return switches_;
}

void SimulatedSpaces::handleKeyEvent(const PostedEvent& event) {
    if (!event.keyDown || (event.keyCode != kKeyLeftArrow && event.keyCode != kKeyRightArrow)) return;
    if ((event.flags & kCGEventFlagMaskControl) == 0) return;
    ensureInitialised();
    const bool forward = event.keyCode == kKeyRightArrow;
    std::string target;
    SpacesKeyResponse response;
    double late;
    {
        std::lock_guard<std::mutex> g(lock_);
        response = response_;
        late = lateSeconds_;
        target = focused_;
        if (target.empty()) {
            for (const auto& d : displays_) {
                if (d.spaceIDs.size() >= 2) {
                    target = d.identifier;
                    break;
                }
            }
        }
        if (response == SpacesKeyResponse::applyLate && !lateQueue_) lateQueue_.emplace("platform.spaces.late");
    }
    if (target.empty()) return;
    switch (response) {
        case SpacesKeyResponse::ignore:
            Log::raw("[SimulatedSpaces] shortcut ignored");
            return;
        case SpacesKeyResponse::apply:
            step(forward, target);
            return;
        case SpacesKeyResponse::applyLate: {
            std::weak_ptr<SimulatedMachine> machine = SimulatedMachine::currentShared();
            lateQueue_->asyncAfter(late, [machine, forward, target] {
                if (auto m = machine.lock()) m->component<SimulatedSpaces>().step(forward, target);
            });
            return;
        }
    }
}

void SimulatedSpaces::step(bool forward, std::string identifier) {
    std::string line;
    {
        std::lock_guard<std::mutex> g(lock_);
        for (auto& d : displays_) {
            if (d.identifier != identifier) continue;
            auto it = std::find(d.spaceIDs.begin(), d.spaceIDs.end(), d.currentSpaceID);
            if (it == d.spaceIDs.end()) return;
            const auto index = it - d.spaceIDs.begin();
            const auto next = forward ? index + 1 : index - 1;
            if (next < 0 || next >= static_cast<long>(d.spaceIDs.size())) return;  // no wrapping
            d.currentSpaceID = d.spaceIDs[static_cast<size_t>(next)];
            ++switches_;
            line = "[SimulatedSpaces] display " + identifier + " now on space " + std::to_string(d.currentSpaceID);
            break;
        }
    }
    if (!line.empty()) Log::raw(line);
}

}  // namespace platform
