#include "HostApp/Display/DesktopSwitcher.h"

#include <algorithm>
#include <mutex>

#include "Platform/SimulatedMac/CoreGraphicsDisplays.h"
#include "Platform/Runtime/Dispatch.h"
#include "Platform/SimulatedMac/EventPosting.h"

using namespace platform;

namespace {

constexpr uint16_t kKeyControl = 59;
constexpr uint16_t kKeyLeftArrow = 123;
constexpr uint16_t kKeyRightArrow = 124;
constexpr double kKeyPause = 0.03;

struct ResolvedFunctions {
    std::optional<CGSMainConnectionIDFunction> mainConnectionID;
    std::optional<CGSCopyManagedDisplaySpacesFunction> copyManagedDisplaySpaces;
    std::optional<CGDisplayCreateUUIDFunction> createDisplayUUID;
    std::optional<AXUIElementPostKeyboardEventFunction> postKeyboardEvent;
};

// Resolved on first use and kept while the loaded images stay the same.
// Callers get a copy: a later re-resolution must not change the functions
// under a caller that is still using them.
ResolvedFunctions resolved() {
    static std::mutex lock;
    static uint64_t generation = 0;
    static ResolvedFunctions functions;
    std::lock_guard<std::mutex> g(lock);
    const uint64_t current = dynamicLoaderGeneration();
    if (generation != current) {
        functions = ResolvedFunctions{};
        if (auto skyLight = dlopenLazy(kSkyLightFrameworkPath)) {
            functions.mainConnectionID = lookupFunction<CGSMainConnectionIDFunction>(*skyLight, "CGSMainConnectionID");
            functions.copyManagedDisplaySpaces =
                lookupFunction<CGSCopyManagedDisplaySpacesFunction>(*skyLight, "CGSCopyManagedDisplaySpaces");
        }
        functions.createDisplayUUID =
            lookupFunction<CGDisplayCreateUUIDFunction>(allLoadedImages(), "CGDisplayCreateUUIDFromDisplayID");
        functions.postKeyboardEvent =
            lookupFunction<AXUIElementPostKeyboardEventFunction>(allLoadedImages(), "AXUIElementPostKeyboardEvent");
        generation = current;
    }
    return functions;
}

const DisplaySpaces* findDisplay(const std::vector<DisplaySpaces>& displays, const std::string& identifier) {
    for (const auto& d : displays) {
        if (d.identifier == identifier) return &d;
    }
    return nullptr;
}

}  // namespace

std::optional<CGSMainConnectionIDFunction> DesktopSwitcher::mainConnectionID() { return resolved().mainConnectionID; }

std::optional<CGSCopyManagedDisplaySpacesFunction> DesktopSwitcher::copyManagedDisplaySpaces() {
    return resolved().copyManagedDisplaySpaces;
}

std::optional<CGDisplayCreateUUIDFunction> DesktopSwitcher::createDisplayUUID() { return resolved().createDisplayUUID; }

std::optional<AXUIElementPostKeyboardEventFunction> DesktopSwitcher::postKeyboardEvent() {
    return resolved().postKeyboardEvent;
}

bool DesktopSwitcher::canSwitchDesktops() {
    const ResolvedFunctions f = resolved();
    return f.mainConnectionID && f.copyManagedDisplaySpaces && f.postKeyboardEvent;
}

std::optional<uint64_t> DesktopSwitcher::spaceIdentifier(const PlistValue::Dictionary& space) {
    for (const char* key : {"ManagedSpaceID", "id64"}) {
        auto it = space.find(key);
        if (it == space.end()) continue;
        const PlistValue& v = it->second;
        if (auto u = v.asUnsigned()) return *u;
        // A negative number read as an unsigned 64-bit value.
        if (auto i = v.asInteger()) return static_cast<uint64_t>(*i);
        if (auto r = v.asReal(); r && *r >= 0 && *r < 18446744073709551616.0) return static_cast<uint64_t>(*r);
    }
    return std::nullopt;
}

std::vector<DisplaySpaces> DesktopSwitcher::managedDisplays() {
    const ResolvedFunctions f = resolved();
    if (!f.mainConnectionID || !f.copyManagedDisplaySpaces) return {};
    const std::optional<PlistValue> list = (*f.copyManagedDisplaySpaces)((*f.mainConnectionID)());
    if (!list || !list->isArray()) return {};
    const PlistValue::Array& entries = *list->asArray();
    // Only an array made entirely of dictionaries counts as the list.
    if (!std::all_of(entries.begin(), entries.end(), [](const PlistValue& v) { return v.isDictionary(); })) return {};

    std::vector<DisplaySpaces> result;
    for (const PlistValue& entry : entries) {
        const PlistValue* identifier = entry["Display Identifier"];
        std::optional<std::string> text = identifier ? identifier->asString() : std::nullopt;
        if (!text || text->empty()) continue;
        DisplaySpaces d;
        d.identifier = *text;
        if (const PlistValue* current = entry["Current Space"]; current && current->isDictionary()) {
            d.currentSpaceID = spaceIdentifier(*current->asDictionary()).value_or(0);
        }
        if (const PlistValue* spaces = entry["Spaces"]; spaces && spaces->isArray()) {
            for (const PlistValue& space : *spaces->asArray()) {
                if (!space.isDictionary()) continue;
                if (auto id = spaceIdentifier(*space.asDictionary())) d.spaceIDs.push_back(*id);
            }
        }
        result.push_back(std::move(d));
    }
    return result;
}

std::optional<DisplaySpaces> DesktopSwitcher::targetDisplay(uint32_t preferredDisplayID,
                                                            const std::vector<DisplaySpaces>& displays) {
    std::vector<std::string> candidates;
    auto add = [&](const std::string& identifier) {
        if (std::find(candidates.begin(), candidates.end(), identifier) == candidates.end()) {
            candidates.push_back(identifier);
        }
    };
    if (const auto uuidOf = resolved().createDisplayUUID) {
        if (auto uuid = (*uuidOf)(preferredDisplayID)) add(*uuid);
        if (auto uuid = (*uuidOf)(CGMainDisplayID())) add(*uuid);
    }
    for (const auto& d : displays) add(d.identifier);
    for (const auto& identifier : candidates) {
        const DisplaySpaces* d = findDisplay(displays, identifier);
        if (d && d->spaceIDs.size() >= 2) return *d;
    }
    return std::nullopt;
}

DesktopSwitcher::RequestOutcome DesktopSwitcher::requestStep(bool forward, uint32_t preferredDisplayID) {
    const ResolvedFunctions f = resolved();
    if (!f.mainConnectionID || !f.copyManagedDisplaySpaces || !f.postKeyboardEvent) return RequestOutcome::unavailable();
    const auto target = targetDisplay(preferredDisplayID, managedDisplays());
    if (!target) return RequestOutcome::unavailable();
    const auto& ids = target->spaceIDs;
    auto current = std::find(ids.begin(), ids.end(), target->currentSpaceID);
    if (current == ids.end()) return RequestOutcome::unavailable();
    const long index = static_cast<long>(current - ids.begin()) + (forward ? 1 : -1);
    if (index < 0 || index >= static_cast<long>(ids.size())) return RequestOutcome::atEdge();

    const AXUIElementRef systemWide = AXUIElementCreateSystemWide();
    const uint16_t arrow = forward ? kKeyRightArrow : kKeyLeftArrow;
    const AXUIElementPostKeyboardEventFunction& post = *f.postKeyboardEvent;
    post(systemWide, 0, kKeyControl, true);
    sleepFor(kKeyPause);
    post(systemWide, 0, arrow, true);
    sleepFor(kKeyPause);
    post(systemWide, 0, arrow, false);
    sleepFor(kKeyPause);
    post(systemWide, 0, kKeyControl, false);
    return RequestOutcome::requested(Request{target->identifier, ids[static_cast<size_t>(index)], ids});
}

bool DesktopSwitcher::didReach(const Request& request) {
    const auto displays = managedDisplays();
    const DisplaySpaces* d = findDisplay(displays, request.displayIdentifier);
    return d && d->currentSpaceID == request.expectedSpaceID;
}

std::optional<DesktopSwitcher::Position> DesktopSwitcher::position(const Request& request) {
    const auto displays = managedDisplays();
    const DisplaySpaces* d = findDisplay(displays, request.displayIdentifier);
    if (!d || d->spaceIDs.size() < 2) return std::nullopt;
    auto it = std::find(d->spaceIDs.begin(), d->spaceIDs.end(), d->currentSpaceID);
    if (it == d->spaceIDs.end()) return std::nullopt;
    return Position{static_cast<int>(it - d->spaceIDs.begin()) + 1, static_cast<int>(d->spaceIDs.size())};
}
