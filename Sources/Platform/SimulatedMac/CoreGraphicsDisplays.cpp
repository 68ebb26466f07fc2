#include "Platform/SimulatedMac/CoreGraphicsDisplays.h"

#include <algorithm>
#include <cstdio>

#include "Platform/Runtime/Clock.h"
#include "Platform/Runtime/Log.h"
#include "Platform/Foundation/NotificationCenter.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"

namespace platform {

// One open transaction: the changes it will make, by display.
struct DisplayConfiguration {
    struct Change {
        std::optional<CGDisplayMode> mode;
        std::optional<std::pair<int32_t, int32_t>> origin;
        std::optional<CGDirectDisplayID> mirrorOf;
    };
    std::map<CGDirectDisplayID, Change> changes;
    bool finished = false;
};

namespace {

SimulatedDisplaySystem& sys() { return SimulatedMachine::current().component<SimulatedDisplaySystem>(); }

// The usable flags plus "default", for the mode the display starts in.
constexpr uint32_t kModeFlagsDefault = 0x00000007;
constexpr uint32_t kModeFlagsNotDesktop = 0x00000001;

CGDisplayMode mode(int w, int h, int pw, int ph, double hz, int32_t id, uint32_t flags = kModeFlagsUsable,
                   bool usable = true) {
    return CGDisplayMode{w, h, pw, ph, hz, usable, id, flags};
}

bool isScaledVariant(const CGDisplayMode& m) { return m.pixelWidth > m.width; }

std::string describeIDs(const std::vector<CGDirectDisplayID>& ids) {
    if (ids.empty()) return "none";
    std::string text;
    // GCC 12 at -O3 warns of an overlapping copy inside the std::string
    // inlines of "literal" + string: its -Wrestrict false positive (GCC bug 105651).
#pragma GCC diagnostic push
#if !defined(__clang__)  // a warning only GCC has
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
    for (CGDirectDisplayID id : ids) text += (text.empty() ? "" : ",") + std::to_string(id);
#pragma GCC diagnostic pop
    return text;
}

}  // namespace

CGRect CGRectUnion(const CGRect& a, const CGRect& b) {
    const bool aEmpty = a.width <= 0 || a.height <= 0;
    const bool bEmpty = b.width <= 0 || b.height <= 0;
    if (aEmpty) return bEmpty ? CGRect{} : b;
    if (bEmpty) return a;
    const double minX = std::min(a.x, b.x), minY = std::min(a.y, b.y);
    const double maxX = std::max(a.x + a.width, b.x + b.width);
    const double maxY = std::max(a.y + a.height, b.y + b.height);
    return CGRect{minX, minY, maxX - minX, maxY - minY};
}

// --- Builders ---------------------------------------------------------------------

SimulatedDisplay SimulatedDisplaySystem::builtInPanel(CGDirectDisplayID id) {
    SimulatedDisplay d;
    d.id = id;
    char uuid[40];
    std::snprintf(uuid, sizeof uuid, "37D8832A-2D66-02CA-B9F7-8F30%08X", id);
    d.uuid = uuid;
    d.builtin = true;
    d.vendorNumber = 0x610;
    d.modelNumber = 0xA050;
    d.physicalSizeMM = {302, 196};
    // Scaled modes first (the panel's native family), then the plain ones,
    // each resolution at the panel's 120 Hz and at 60 Hz.
    int32_t next = 1;
    auto both = [&](int w, int h, int pw, int ph, uint32_t flags120 = kModeFlagsUsable) {
        d.modes.push_back(mode(w, h, pw, ph, 120, next++, flags120));
        d.modes.push_back(mode(w, h, pw, ph, 60, next++));
    };
    both(1512, 982, 3024, 1964, kModeFlagsDefault);
    both(1147, 745, 2294, 1490);
    both(1352, 878, 2704, 1756);
    both(1800, 1169, 3600, 2338);
    both(1280, 800, 2560, 1600);
    both(1600, 900, 3200, 1800);
    both(1920, 1080, 3840, 2160);
    both(3024, 1964, 3024, 1964);
    both(1512, 982, 1512, 982);  // the duplicate low-resolution variant
    both(1920, 1080, 1920, 1080);
    both(2560, 1440, 2560, 1440);
    both(1280, 800, 1280, 800);
    d.modes.push_back(mode(640, 480, 640, 480, 60, next++, kModeFlagsNotDesktop, false));
    d.currentMode = d.modes.front();
    d.bounds = CGRect{0, 0, 1512, 982};
    return d;
}

SimulatedDisplay SimulatedDisplaySystem::external1440(CGDirectDisplayID id, double x, double y) {
    SimulatedDisplay d;
    d.id = id;
    char uuid[40];
    std::snprintf(uuid, sizeof uuid, "9A1F6C3E-5B2D-4E70-8C11-0000%08X", id);
    d.uuid = uuid;
    d.vendorNumber = 0x10AC;
    d.modelNumber = 0xA0C3;
    d.physicalSizeMM = {597, 336};
    int32_t next = 100;
    d.modes = {
        mode(2560, 1440, 2560, 1440, 60, next++, kModeFlagsDefault),
        mode(2560, 1440, 2560, 1440, 50, next++),
        mode(1920, 1080, 1920, 1080, 60, next++),
        mode(1920, 1080, 1920, 1080, 50, next++),
        mode(1280, 720, 2560, 1440, 60, next++),
        mode(1600, 900, 1600, 900, 60, next++),
        mode(1280, 720, 1280, 720, 60, next++),
        mode(1024, 768, 1024, 768, 60, next++),
    };
    d.currentMode = d.modes.front();
    d.bounds = CGRect{x, y, 2560, 1440};
    return d;
}

SimulatedDisplay SimulatedDisplaySystem::plainMonitor(CGDirectDisplayID id, int width, int height, double x,
                                                      double y) {
    SimulatedDisplay d;
    d.id = id;
    char uuid[40];
    std::snprintf(uuid, sizeof uuid, "5E0C2B7D-13A4-4F9B-9D20-0000%08X", id);
    d.uuid = uuid;
    d.vendorNumber = 0x4C2D;
    d.modelNumber = 0x0F00 + id;
    d.physicalSizeMM = {width * 0.25, height * 0.25};
    d.modes = {mode(width, height, width, height, 60, 200 + static_cast<int32_t>(id), kModeFlagsDefault)};
    d.currentMode = d.modes.front();
    d.bounds = CGRect{x, y, static_cast<double>(width), static_cast<double>(height)};
    return d;
}

SimulatedDisplaySystem::SimulatedDisplaySystem() { displays_.push_back(builtInPanel()); }

SimulatedDisplaySystem::~SimulatedDisplaySystem() = default;

void SimulatedDisplaySystem::configureBuiltInWithExternal1440() {
    setDisplays({builtInPanel(1), external1440(2, 1512, 0)});
}

void SimulatedDisplaySystem::configureHeadless() { setDisplays({}); }

void SimulatedDisplaySystem::configureMirroredPair() {
    SimulatedDisplay ext = external1440(2, 0, 0);
    // A mirror shows the master's picture at the master's size.
    ext.mirrorOf = 1;
    ext.bounds = CGRect{0, 0, 1512, 982};
    setDisplays({builtInPanel(1), ext});
}

// --- Test controls ------------------------------------------------------------

void SimulatedDisplaySystem::setDisplays(std::vector<SimulatedDisplay> displays) {
    {
        std::lock_guard<std::mutex> g(lock_);
        displays_ = std::move(displays);
        pendingToken_.clear();
    }
    Log::raw("[SimulatedDisplays] displays set: " + describeIDs(displayIDs()));
    postChanged();
}

void SimulatedDisplaySystem::addDisplay(SimulatedDisplay display) {
    {
        std::lock_guard<std::mutex> g(lock_);
        auto it = std::find_if(displays_.begin(), displays_.end(),
                               [&](const SimulatedDisplay& d) { return d.id == display.id; });
        if (it != displays_.end()) {
            *it = std::move(display);
        } else {
            displays_.push_back(std::move(display));
        }
    }
    Log::raw("[SimulatedDisplays] display added; now " + describeIDs(displayIDs()));
    postChanged();
}

void SimulatedDisplaySystem::removeDisplay(CGDirectDisplayID id) {
    bool removed = false;
    {
        std::lock_guard<std::mutex> g(lock_);
        auto it = std::remove_if(displays_.begin(), displays_.end(),
                                 [&](const SimulatedDisplay& d) { return d.id == id; });
        removed = it != displays_.end();
        displays_.erase(it, displays_.end());
        pendingToken_.erase(id);
        // Displays that mirrored it stand on their own again.
        for (auto& d : displays_) {
            if (d.mirrorOf == id) d.mirrorOf = 0;
        }
    }
    if (!removed) return;
    Log::raw("[SimulatedDisplays] display " + std::to_string(id) + " removed; now " + describeIDs(displayIDs()));
    postChanged();
}

std::optional<SimulatedDisplay> SimulatedDisplaySystem::display(CGDirectDisplayID id) const {
    std::lock_guard<std::mutex> g(lock_);
    for (const auto& d : displays_) {
        if (d.id == id) return d;
    }
    return std::nullopt;
}

std::vector<CGDirectDisplayID> SimulatedDisplaySystem::displayIDs() const {
    std::lock_guard<std::mutex> g(lock_);
    std::vector<CGDirectDisplayID> ids;
    for (const auto& d : displays_) ids.push_back(d.id);
    return ids;
}

void SimulatedDisplaySystem::updateDisplay(CGDirectDisplayID id, const std::function<void(SimulatedDisplay&)>& edit) {
    bool found = false;
    {
        std::lock_guard<std::mutex> g(lock_);
        for (auto& d : displays_) {
            if (d.id == id) {
                edit(d);
                found = true;
            }
        }
    }
    if (found) postChanged();
}

void SimulatedDisplaySystem::setModes(CGDirectDisplayID id, std::vector<CGDisplayMode> modes) {
    updateDisplay(id, [&](SimulatedDisplay& d) { d.modes = std::move(modes); });
}

void SimulatedDisplaySystem::setCurrentMode(CGDirectDisplayID id, std::optional<CGDisplayMode> mode) {
    updateDisplay(id, [&](SimulatedDisplay& d) {
        d.currentMode = mode;
        if (mode) {
            d.bounds.width = mode->width;
            d.bounds.height = mode->height;
        }
    });
}

void SimulatedDisplaySystem::setMainDisplayOverride(CGDirectDisplayID id) {
    std::lock_guard<std::mutex> g(lock_);
    mainOverride_ = id;
}

void SimulatedDisplaySystem::setDisplayListError(CGError error) {
    std::lock_guard<std::mutex> g(lock_);
    listError_ = error;
}

void SimulatedDisplaySystem::setBeginError(CGError error) {
    std::lock_guard<std::mutex> g(lock_);
    beginError_ = error;
}

void SimulatedDisplaySystem::setBeginReturnsNullConfiguration(bool null) {
    std::lock_guard<std::mutex> g(lock_);
    beginNull_ = null;
}

void SimulatedDisplaySystem::setModeListUnavailable(CGDirectDisplayID id, bool unavailable) {
    std::lock_guard<std::mutex> g(lock_);
    if (unavailable) {
        modeListUnavailable_.insert(id);
    } else {
        modeListUnavailable_.erase(id);
    }
}

void SimulatedDisplaySystem::setBehaviour(CGDirectDisplayID id, DisplayConfigurationBehaviour behaviour) {
    std::lock_guard<std::mutex> g(lock_);
    behaviours_[id] = std::move(behaviour);
}

DisplayConfigurationBehaviour SimulatedDisplaySystem::behaviour(CGDirectDisplayID id) const {
    std::lock_guard<std::mutex> g(lock_);
    auto it = behaviours_.find(id);
    return it == behaviours_.end() ? DisplayConfigurationBehaviour{} : it->second;
}

std::vector<AppliedDisplayChange> SimulatedDisplaySystem::appliedChanges() const {
    std::lock_guard<std::mutex> g(lock_);
    return applied_;
}

uint64_t SimulatedDisplaySystem::notificationCount() const {
    std::lock_guard<std::mutex> g(lock_);
    return notifications_;
}

void SimulatedDisplaySystem::postChanged() {
    std::optional<DispatchQueue> queue;
    {
        std::lock_guard<std::mutex> g(lock_);
        ++notifications_;
        if (!notifyQueue_) notifyQueue_.emplace("platform.displays.notify");
        queue = notifyQueue_;
    }
    // Delivered later from a queue of its own, as the window server does:
    // the caller may hold its own locks (the virtual display changes modes
    // under its state lock), and an observer must never run inside them.
    queue->async([] { NotificationCenter::defaultCenter().post(Notification{kScreenParametersChangedNotification, {}}); });
}

// --- Queries ------------------------------------------------------------------

CGError SimulatedDisplaySystem::onlineList(std::vector<CGDirectDisplayID>& out) const {
    std::lock_guard<std::mutex> g(lock_);
    out.clear();
    if (listError_ != kCGErrorSuccess) return listError_;
    for (const auto& d : displays_) {
        if (d.online) out.push_back(d.id);
    }
    return kCGErrorSuccess;
}

CGError SimulatedDisplaySystem::activeList(std::vector<CGDirectDisplayID>& out) const {
    std::lock_guard<std::mutex> g(lock_);
    out.clear();
    if (listError_ != kCGErrorSuccess) return listError_;
    for (const auto& d : displays_) {
        if (d.online && d.active) out.push_back(d.id);
    }
    return kCGErrorSuccess;
}

CGDirectDisplayID SimulatedDisplaySystem::mainDisplayID() const {
    std::lock_guard<std::mutex> g(lock_);
    auto usable = [](const SimulatedDisplay& d) { return d.online && d.active; };
    CGDirectDisplayID found = 0;
    for (const auto& d : displays_) {
        if (d.id == mainOverride_ && usable(d)) found = d.id;
    }
    if (found == 0) {
        for (const auto& d : displays_) {
            if (usable(d) && d.bounds.x == 0 && d.bounds.y == 0 && d.mirrorOf == 0) {
                found = d.id;
                break;
            }
        }
    }
    if (found == 0) {
        for (const auto& d : displays_) {
            if (usable(d)) {
                found = d.id;
                break;
            }
        }
    }
    // Without any display the system keeps answering with the last main one.
    if (found == 0) return lastMain_;
    lastMain_ = found;
    return found;
}

bool SimulatedDisplaySystem::inMirrorSet(CGDirectDisplayID id) const {
    std::lock_guard<std::mutex> g(lock_);
    for (const auto& d : displays_) {
        if (d.id == id && d.mirrorOf != 0) return true;
        if (d.mirrorOf == id && d.id != id) return true;
    }
    return false;
}

std::optional<std::vector<CGDisplayMode>> SimulatedDisplaySystem::modeList(CGDirectDisplayID id,
                                                                           bool includeDuplicates) const {
    std::lock_guard<std::mutex> g(lock_);
    if (modeListUnavailable_.count(id)) return std::nullopt;
    for (const auto& d : displays_) {
        if (d.id != id) continue;
        if (includeDuplicates) return d.modes;
        // Without the option a scaled mode is hidden when a plain mode of the
        // same logical size exists.
        std::vector<CGDisplayMode> out;
        for (const auto& m : d.modes) {
            const bool hidden = isScaledVariant(m) &&
                                std::any_of(d.modes.begin(), d.modes.end(), [&](const CGDisplayMode& o) {
                                    return !isScaledVariant(o) && o.width == m.width && o.height == m.height;
                                });
            if (!hidden) out.push_back(m);
        }
        return out;
    }
    return std::nullopt;
}

// --- Transactions ---------------------------------------------------------------

CGError SimulatedDisplaySystem::begin(CGDisplayConfigRef* config) {
    std::lock_guard<std::mutex> g(lock_);
    if (!config) return kCGErrorIllegalArgument;
    *config = nullptr;
    if (beginError_ != kCGErrorSuccess) return beginError_;
    if (!beginNull_) *config = std::make_shared<DisplayConfiguration>();
    return kCGErrorSuccess;
}

CGError SimulatedDisplaySystem::configureMode(const CGDisplayConfigRef& config, CGDirectDisplayID id,
                                              const CGDisplayMode& mode) {
    std::lock_guard<std::mutex> g(lock_);
    if (!config || config->finished) return kCGErrorIllegalArgument;
    auto it = std::find_if(displays_.begin(), displays_.end(), [&](const SimulatedDisplay& d) { return d.id == id; });
    if (it == displays_.end()) return kCGErrorIllegalArgument;
    auto b = behaviours_.find(id);
    if (b != behaviours_.end()) {
        if (b->second.configureError != kCGErrorSuccess) return b->second.configureError;
        if (b->second.rejectedModeIDs.count(mode.ioDisplayModeID)) return kCGErrorIllegalArgument;
    }
    // Only a mode of the display's own list can be applied.
    if (std::find(it->modes.begin(), it->modes.end(), mode) == it->modes.end()) return kCGErrorIllegalArgument;
    config->changes[id].mode = mode;
    return kCGErrorSuccess;
}

CGError SimulatedDisplaySystem::configureOrigin(const CGDisplayConfigRef& config, CGDirectDisplayID id, int32_t x,
                                                int32_t y) {
    std::lock_guard<std::mutex> g(lock_);
    if (!config || config->finished) return kCGErrorIllegalArgument;
    if (std::none_of(displays_.begin(), displays_.end(), [&](const SimulatedDisplay& d) { return d.id == id; }))
        return kCGErrorIllegalArgument;
    if (auto b = behaviours_.find(id); b != behaviours_.end() && b->second.originError != kCGErrorSuccess)
        return b->second.originError;
    config->changes[id].origin = std::make_pair(x, y);
    return kCGErrorSuccess;
}

CGError SimulatedDisplaySystem::configureMirror(const CGDisplayConfigRef& config, CGDirectDisplayID id,
                                                CGDirectDisplayID master) {
    std::lock_guard<std::mutex> g(lock_);
    if (!config || config->finished || id == master) return kCGErrorIllegalArgument;
    auto known = [&](CGDirectDisplayID x) {
        return std::any_of(displays_.begin(), displays_.end(), [&](const SimulatedDisplay& d) { return d.id == x; });
    };
    if (!known(id) || (master != 0 && !known(master))) return kCGErrorIllegalArgument;
    if (auto b = behaviours_.find(id); b != behaviours_.end() && b->second.mirrorError != kCGErrorSuccess)
        return b->second.mirrorError;
    config->changes[id].mirrorOf = master;
    return kCGErrorSuccess;
}

CGError SimulatedDisplaySystem::cancel(const CGDisplayConfigRef& config) {
    std::lock_guard<std::mutex> g(lock_);
    if (!config || config->finished) return kCGErrorIllegalArgument;
    config->finished = true;
    config->changes.clear();
    return kCGErrorSuccess;
}

CGError SimulatedDisplaySystem::complete(const CGDisplayConfigRef& config, CGConfigureOption option) {
    struct Delayed {
        CGDirectDisplayID id;
        CGDisplayMode mode;
        double delay;
        uint64_t token;
    };
    std::vector<Delayed> delayed;
    bool changedNow = false;
    {
        std::lock_guard<std::mutex> g(lock_);
        if (!config || config->finished) return kCGErrorIllegalArgument;
        for (const auto& [id, change] : config->changes) {
            auto b = behaviours_.find(id);
            if (b != behaviours_.end() && b->second.completeError != kCGErrorSuccess) {
                config->finished = true;
                return b->second.completeError;
            }
        }
        config->finished = true;
        const uint64_t now = Clock::uptimeNs();
        for (const auto& [id, change] : config->changes) {
            auto it = std::find_if(displays_.begin(), displays_.end(),
                                   [&, id = id](const SimulatedDisplay& d) { return d.id == id; });
            if (it == displays_.end()) continue;
            applied_.push_back(AppliedDisplayChange{
                id, change.mode,
                change.origin ? std::optional<CGRect>(CGRect{double(change.origin->first), double(change.origin->second), 0, 0})
                              : std::nullopt,
                change.mirrorOf, option, now});
            if (change.origin) {
                it->bounds.x = change.origin->first;
                it->bounds.y = change.origin->second;
                changedNow = true;
            }
            if (change.mirrorOf) {
                it->mirrorOf = *change.mirrorOf;
                changedNow = true;
            }
            if (!change.mode) continue;
            DisplayConfigurationBehaviour beh = behaviours_.count(id) ? behaviours_[id] : DisplayConfigurationBehaviour{};
            std::optional<CGDisplayMode> shown = beh.outcome ? beh.outcome(*change.mode) : change.mode;
            const uint64_t token = nextToken_++;
            pendingToken_[id] = token;
            if (!shown || !beh.settleDelaySeconds) continue;  // never shows up
            if (*beh.settleDelaySeconds <= 0) {
                it->currentMode = *shown;
                it->bounds.width = shown->width;
                it->bounds.height = shown->height;
                changedNow = true;
            } else {
                delayed.push_back(Delayed{id, *shown, *beh.settleDelaySeconds, token});
            }
        }
        // A mirror shows its master's picture at the master's place, taken
        // once every origin of the transaction has moved.
        for (const auto& [id, change] : config->changes) {
            if (!change.mirrorOf || *change.mirrorOf == 0) continue;
            auto mirror = std::find_if(displays_.begin(), displays_.end(),
                                       [&, id = id](const SimulatedDisplay& d) { return d.id == id; });
            const CGDirectDisplayID masterID = *change.mirrorOf;
            auto master = std::find_if(displays_.begin(), displays_.end(),
                                       [masterID](const SimulatedDisplay& d) { return d.id == masterID; });
            if (mirror != displays_.end() && master != displays_.end()) mirror->bounds = master->bounds;
        }
        if (!delayed.empty() && !settleQueue_) settleQueue_.emplace("platform.displays.settle");
    }
    for (const auto& d : delayed) {
        std::weak_ptr<SimulatedMachine> machine = SimulatedMachine::currentShared();
        settleQueue_->asyncAfter(d.delay, [machine, d] {
            auto m = machine.lock();
            if (!m) return;
            m->component<SimulatedDisplaySystem>().landMode(d.id, d.mode, d.token);
        });
    }
    if (changedNow) postChanged();
    return kCGErrorSuccess;
}

void SimulatedDisplaySystem::landMode(CGDirectDisplayID id, const CGDisplayMode& mode, uint64_t token) {
    {
        std::lock_guard<std::mutex> g(lock_);
        auto p = pendingToken_.find(id);
        if (p == pendingToken_.end() || p->second != token) return;  // superseded
        auto it = std::find_if(displays_.begin(), displays_.end(), [&](const SimulatedDisplay& d) { return d.id == id; });
        if (it == displays_.end()) return;
        it->currentMode = mode;
        it->bounds.width = mode.width;
        it->bounds.height = mode.height;
    }
    postChanged();
}

// --- Free functions ------------------------------------------------------------------

CGError CGGetOnlineDisplayList(std::vector<CGDirectDisplayID>& displays) { return sys().onlineList(displays); }
CGError CGGetActiveDisplayList(std::vector<CGDirectDisplayID>& displays) { return sys().activeList(displays); }
CGDirectDisplayID CGMainDisplayID() { return sys().mainDisplayID(); }

bool CGDisplayIsOnline(CGDirectDisplayID id) {
    auto d = sys().display(id);
    return d && d->online;
}
bool CGDisplayIsActive(CGDirectDisplayID id) {
    auto d = sys().display(id);
    return d && d->online && d->active;
}
bool CGDisplayIsBuiltin(CGDirectDisplayID id) {
    auto d = sys().display(id);
    return d && d->builtin;
}
bool CGDisplayIsInMirrorSet(CGDirectDisplayID id) { return sys().inMirrorSet(id); }
bool CGDisplayIsAsleep(CGDirectDisplayID id) {
    auto d = sys().display(id);
    return d && d->asleep;
}
CGDirectDisplayID CGDisplayMirrorsDisplay(CGDirectDisplayID id) {
    auto d = sys().display(id);
    return d ? d->mirrorOf : 0;
}
uint32_t CGDisplayVendorNumber(CGDirectDisplayID id) {
    auto d = sys().display(id);
    return d ? d->vendorNumber : 0;
}
uint32_t CGDisplayModelNumber(CGDirectDisplayID id) {
    auto d = sys().display(id);
    return d ? d->modelNumber : 0;
}
CGSize CGDisplayScreenSize(CGDirectDisplayID id) {
    auto d = sys().display(id);
    return d ? d->physicalSizeMM : CGSize{};
}
CGRect CGDisplayBounds(CGDirectDisplayID id) {
    auto d = sys().display(id);
    return d ? d->bounds : CGRect{};
}
std::optional<std::string> CGDisplayCreateUUIDFromDisplayID(CGDirectDisplayID id) {
    auto d = sys().display(id);
    if (!d || d->uuid.empty()) return std::nullopt;
    return d->uuid;
}
std::optional<CGDisplayMode> CGDisplayCopyDisplayMode(CGDirectDisplayID id) {
    auto d = sys().display(id);
    return d ? d->currentMode : std::nullopt;
}
std::optional<std::vector<CGDisplayMode>> CGDisplayCopyAllDisplayModes(CGDirectDisplayID id,
                                                                       const CGDisplayModeListOptions& options) {
    return sys().modeList(id, options.showDuplicateLowResolutionModes);
}

CGError CGBeginDisplayConfiguration(CGDisplayConfigRef* config) { return sys().begin(config); }
CGError CGConfigureDisplayWithDisplayMode(const CGDisplayConfigRef& config, CGDirectDisplayID id,
                                          const CGDisplayMode& mode) {
    return sys().configureMode(config, id, mode);
}
CGError CGConfigureDisplayOrigin(const CGDisplayConfigRef& config, CGDirectDisplayID id, int32_t x, int32_t y) {
    return sys().configureOrigin(config, id, x, y);
}
CGError CGConfigureDisplayMirrorOfDisplay(const CGDisplayConfigRef& config, CGDirectDisplayID id,
                                          CGDirectDisplayID master) {
    return sys().configureMirror(config, id, master);
}
CGError CGCompleteDisplayConfiguration(const CGDisplayConfigRef& config, CGConfigureOption option) {
    return sys().complete(config, option);
}
CGError CGCancelDisplayConfiguration(const CGDisplayConfigRef& config) { return sys().cancel(config); }

CGError CGDisplaySetDisplayMode(CGDirectDisplayID id, const CGDisplayMode& mode) {
    CGDisplayConfigRef config;
    if (const CGError error = sys().begin(&config); error != kCGErrorSuccess) return error;
    if (!config) return kCGErrorCannotComplete;
    if (const CGError error = sys().configureMode(config, id, mode); error != kCGErrorSuccess) {
        sys().cancel(config);
        return error;
    }
    return sys().complete(config, CGConfigureOption::forAppOnly);
}

}  // namespace platform
