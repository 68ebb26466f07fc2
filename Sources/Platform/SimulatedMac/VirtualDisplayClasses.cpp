#include "Platform/SimulatedMac/VirtualDisplayClasses.h"

#include <algorithm>
#include <cstdio>

#include "Platform/SimulatedMac/SimulatedMachine.h"

namespace platform {

// --- Classes and objects ---------------------------------------------------------

ObjCClass::ObjCClass(std::string name, std::map<std::string, ObjCMethodImp> methods, Allocator allocator,
                     MissingSelectors missing)
    : name_(std::move(name)), methods_(std::move(methods)), allocator_(std::move(allocator)), missing_(std::move(missing)) {
    methods_.emplace("init", [](const ObjCObjectRef& self, const std::vector<ObjCValue>&) -> ObjCValue { return self; });
}

ObjCObjectRef ObjCClass::createInstance() const {
    if (allocator_ && !allocator_()) return nullptr;
    return std::make_shared<ObjCObject>(shared_from_this());
}

std::optional<ObjCMethodImp> ObjCClass::instanceMethod(const std::string& selector) const {
    if (missing_ && missing_().count(selector)) return std::nullopt;
    auto it = methods_.find(selector);
    if (it == methods_.end()) return std::nullopt;
    return it->second;
}

ObjCObjectRef ObjCClass::newObject() const {
    auto instance = createInstance();
    if (!instance) return nullptr;
    auto init = instanceMethod("init");
    auto result = (*init)(instance, {});
    auto* object = std::get_if<ObjCObjectRef>(&result);
    return object ? *object : nullptr;
}

ObjCObject::ObjCObject(ObjCClassRef cls) : class_(std::move(cls)) {}

bool ObjCObject::respondsToSelector(const std::string& selector) const {
    return class_ && class_->instanceMethod(selector).has_value();
}

void ObjCObject::setValue(const std::string& key, ObjCValue value) {
    std::lock_guard<std::mutex> g(lock_);
    assignments_.emplace_back(key, value);
    values_[key] = std::move(value);
}

ObjCValue ObjCObject::valueForKey(const std::string& key) const {
    std::lock_guard<std::mutex> g(lock_);
    auto it = values_.find(key);
    return it == values_.end() ? ObjCValue{} : it->second;
}

std::vector<std::pair<std::string, ObjCValue>> ObjCObject::assignments() const {
    std::lock_guard<std::mutex> g(lock_);
    return assignments_;
}

void ObjCObject::setBacking(std::shared_ptr<void> backing) {
    std::lock_guard<std::mutex> g(lock_);
    backing_ = std::move(backing);
}

ObjCClassRef NSClassFromString(const std::string& name) {
    return SimulatedMachine::current().component<SimulatedVirtualDisplayClasses>().lookUp(name);
}

// --- The simulated classes ---------------------------------------------------------

namespace {

using MachineRef = std::weak_ptr<SimulatedMachine>;

// Runs f on the virtual-display classes of the machine that made an object,
// when that machine still exists.
template <class F>
auto onMachine(const MachineRef& machine, F f) -> decltype(f(std::declval<SimulatedVirtualDisplayClasses&>())) {
    using R = decltype(f(std::declval<SimulatedVirtualDisplayClasses&>()));
    auto m = machine.lock();
    if (!m) return R{};
    return f(m->component<SimulatedVirtualDisplayClasses>());
}

int64_t integerValue(const ObjCValue& v) {
    if (auto* i = std::get_if<int64_t>(&v)) return *i;
    if (auto* d = std::get_if<double>(&v)) return static_cast<int64_t>(*d);
    return 0;
}

double realValue(const ObjCValue& v) {
    if (auto* d = std::get_if<double>(&v)) return *d;
    if (auto* i = std::get_if<int64_t>(&v)) return static_cast<double>(*i);
    return 0;
}

// Keeps a display attached for as long as its object lives.
struct DisplayAttachment {
    MachineRef machine;
    CGDirectDisplayID id = 0;
    ~DisplayAttachment() {
        onMachine(machine, [&](SimulatedVirtualDisplayClasses& c) {
            c.detachDisplay(id);
            return 0;
        });
    }
};

}  // namespace

SimulatedVirtualDisplayClasses::SimulatedVirtualDisplayClasses()
    : machine_(SimulatedMachine::currentShared()), queue_("platform.virtual-display-classes") {
    MachineRef machine = machine_;
    // The classes look their faults up at call time, so a test may change
    // them after the Host found the classes.
    auto faults = [machine] {
        return onMachine(machine, [](SimulatedVirtualDisplayClasses& c) { return c.faults(); });
    };

    classes_["CGVirtualDisplayDescriptor"] =
        std::make_shared<ObjCClass>("CGVirtualDisplayDescriptor", std::map<std::string, ObjCMethodImp>{});
    classes_["CGVirtualDisplaySettings"] =
        std::make_shared<ObjCClass>("CGVirtualDisplaySettings", std::map<std::string, ObjCMethodImp>{});

    std::map<std::string, ObjCMethodImp> modeMethods;
    modeMethods["initWithWidth:height:refreshRate:"] = [faults](const ObjCObjectRef& self,
                                                                const std::vector<ObjCValue>& args) -> ObjCValue {
        if (faults().modeInitReturnsNil || args.size() < 3) return {};
        self->setValue("width", integerValue(args[0]));
        self->setValue("height", integerValue(args[1]));
        self->setValue("refreshRate", realValue(args[2]));
        return self;
    };
    classes_["CGVirtualDisplayMode"] = std::make_shared<ObjCClass>(
        "CGVirtualDisplayMode", std::move(modeMethods), [faults] { return !faults().modeAllocationFails; },
        [faults] {
            return faults().modeInitMissing ? std::set<std::string>{"initWithWidth:height:refreshRate:"}
                                            : std::set<std::string>{};
        });

    std::map<std::string, ObjCMethodImp> displayMethods;
    displayMethods["initWithDescriptor:"] = [machine, faults](const ObjCObjectRef& self,
                                                              const std::vector<ObjCValue>& args) -> ObjCValue {
        const auto f = faults();
        auto* descriptor = args.empty() ? nullptr : std::get_if<ObjCObjectRef>(&args[0]);
        if (f.displayInitReturnsNil || !descriptor || !*descriptor) return {};
        const CGDirectDisplayID id =
            onMachine(machine, [&](SimulatedVirtualDisplayClasses& c) { return c.attachDisplay(*descriptor); });
        if (id == 0) return {};
        auto attachment = std::make_shared<DisplayAttachment>();
        attachment->machine = machine;
        attachment->id = id;
        self->setBacking(attachment);
        self->setValue("simulatedDisplayID", int64_t{id});
        if (!f.displayIDMissing) self->setValue("displayID", int64_t{f.displayIDZero ? 0 : id});
        return self;
    };
    displayMethods["applySettings:"] = [machine, faults](const ObjCObjectRef& self,
                                                         const std::vector<ObjCValue>& args) -> ObjCValue {
        auto* settings = args.empty() ? nullptr : std::get_if<ObjCObjectRef>(&args[0]);
        if (faults().applySettingsRejects || !settings || !*settings) return int64_t{0};
        const auto id = static_cast<CGDirectDisplayID>(integerValue(self->valueForKey("simulatedDisplayID")));
        const bool ok =
            onMachine(machine, [&](SimulatedVirtualDisplayClasses& c) { return c.applySettings(id, *settings); });
        return int64_t{ok ? 1 : 0};
    };
    classes_["CGVirtualDisplay"] = std::make_shared<ObjCClass>(
        "CGVirtualDisplay", std::move(displayMethods), [faults] { return !faults().displayAllocationFails; },
        [faults] {
            const auto f = faults();
            std::set<std::string> missing;
            if (f.displayInitMissing) missing.insert("initWithDescriptor:");
            if (f.applySettingsMissing) missing.insert("applySettings:");
            return missing;
        });
}

SimulatedVirtualDisplayClasses::~SimulatedVirtualDisplayClasses() = default;

ObjCClassRef SimulatedVirtualDisplayClasses::lookUp(const std::string& name) const {
    {
        std::lock_guard<std::mutex> g(lock_);
        if (absent_.count(name)) return nullptr;
    }
    auto it = classes_.find(name);
    return it == classes_.end() ? nullptr : it->second;
}

void SimulatedVirtualDisplayClasses::setClassPresent(const std::string& name, bool present) {
    std::lock_guard<std::mutex> g(lock_);
    if (present) {
        absent_.erase(name);
    } else {
        absent_.insert(name);
    }
}

void SimulatedVirtualDisplayClasses::setFaults(const VirtualDisplayClassFaults& faults) {
    std::lock_guard<std::mutex> g(lock_);
    faults_ = faults;
}

VirtualDisplayClassFaults SimulatedVirtualDisplayClasses::faults() const {
    std::lock_guard<std::mutex> g(lock_);
    return faults_;
}

void SimulatedVirtualDisplayClasses::setModesAppearAfter(double seconds) {
    std::lock_guard<std::mutex> g(lock_);
    modesDelay_ = seconds;
}

void SimulatedVirtualDisplayClasses::setRemovalDelay(double seconds) {
    std::lock_guard<std::mutex> g(lock_);
    removalDelay_ = seconds;
}

void SimulatedVirtualDisplayClasses::setNextDisplayID(CGDirectDisplayID id) {
    std::lock_guard<std::mutex> g(lock_);
    nextID_ = id;
}

std::vector<ObjCObjectRef> SimulatedVirtualDisplayClasses::descriptors() const {
    std::lock_guard<std::mutex> g(lock_);
    return descriptors_;
}

std::vector<ObjCObjectRef> SimulatedVirtualDisplayClasses::appliedSettings() const {
    std::lock_guard<std::mutex> g(lock_);
    return settings_;
}

size_t SimulatedVirtualDisplayClasses::displaysCreated() const {
    std::lock_guard<std::mutex> g(lock_);
    return created_;
}

std::vector<CGDirectDisplayID> SimulatedVirtualDisplayClasses::attachedDisplayIDs() const {
    std::lock_guard<std::mutex> g(lock_);
    std::vector<CGDirectDisplayID> ids;
    for (const auto& [id, size] : maxPixels_) ids.push_back(id);
    return ids;
}

CGDirectDisplayID SimulatedVirtualDisplayClasses::attachDisplay(const ObjCObjectRef& descriptor) {
    auto machine = machine_.lock();
    if (!machine) return 0;
    auto& system = machine->component<SimulatedDisplaySystem>();
    SimulatedDisplay d;
    {
        std::lock_guard<std::mutex> g(lock_);
        d.id = nextID_++;
        descriptors_.push_back(descriptor);
        ++created_;
        maxPixels_[d.id] = CGSize{realValue(descriptor->valueForKey("maxPixelsWide")),
                                  realValue(descriptor->valueForKey("maxPixelsHigh"))};
    }
    char uuid[40];
    std::snprintf(uuid, sizeof uuid, "E3A91C55-7F20-4B6D-A0C4-0000%08X", d.id);
    d.uuid = uuid;
    d.vendorNumber = static_cast<uint32_t>(integerValue(descriptor->valueForKey("vendorID")));
    d.modelNumber = static_cast<uint32_t>(integerValue(descriptor->valueForKey("productID")));
    const ObjCValue size = descriptor->valueForKey("sizeInMillimeters");
    if (auto* mm = std::get_if<CGSize>(&size)) d.physicalSizeMM = *mm;
    // A new display joins to the right of the others; it has no size until
    // its modes arrive.
    double right = 0;
    std::vector<CGDirectDisplayID> active;
    system.activeList(active);
    for (auto other : active) {
        if (auto b = system.display(other)) right = std::max(right, b->bounds.x + b->bounds.width);
    }
    d.bounds = CGRect{right, 0, 0, 0};
    const CGDirectDisplayID id = d.id;
    system.addDisplay(std::move(d));
    return id;
}

bool SimulatedVirtualDisplayClasses::applySettings(CGDirectDisplayID id, const ObjCObjectRef& settings) {
    CGSize maxPixels;
    double delay = 0;
    {
        std::lock_guard<std::mutex> g(lock_);
        auto it = maxPixels_.find(id);
        if (it == maxPixels_.end()) return false;
        maxPixels = it->second;
        delay = modesDelay_;
        settings_.push_back(settings);
    }
    const bool hiDPI = integerValue(settings->valueForKey("hiDPI")) != 0;
    std::vector<CGDisplayMode> modes;
    int32_t nextModeID = 1;
    const ObjCValue modeObjects = settings->valueForKey("modes");
    if (auto* list = std::get_if<std::vector<ObjCObjectRef>>(&modeObjects)) {
        for (const auto& m : *list) {
            if (!m) continue;
            const int w = static_cast<int>(integerValue(m->valueForKey("width")));
            const int h = static_cast<int>(integerValue(m->valueForKey("height")));
            const double hz = realValue(m->valueForKey("refreshRate"));
            // A 2x variant exists only within the descriptor's pixel limits;
            // the 1x variant is always listed.
            if (hiDPI && 2.0 * w <= maxPixels.width && 2.0 * h <= maxPixels.height) {
                modes.push_back(CGDisplayMode{w, h, 2 * w, 2 * h, hz, true, nextModeID++, kModeFlagsUsable});
            }
            modes.push_back(CGDisplayMode{w, h, w, h, hz, true, nextModeID++, kModeFlagsUsable});
        }
    }
    auto land = [id, modes](SimulatedDisplaySystem& system) {
        system.updateDisplay(id, [&](SimulatedDisplay& d) {
            d.modes = modes;
            d.currentMode = modes.empty() ? std::nullopt : std::optional<CGDisplayMode>(modes.front());
            if (!modes.empty()) {
                d.bounds.width = modes.front().width;
                d.bounds.height = modes.front().height;
            }
        });
    };
    MachineRef machine = machine_;
    if (delay <= 0) {
        if (auto m = machine.lock()) land(m->component<SimulatedDisplaySystem>());
    } else {
        queue_.asyncAfter(delay, [machine, land] {
            if (auto m = machine.lock()) land(m->component<SimulatedDisplaySystem>());
        });
    }
    return true;
}

void SimulatedVirtualDisplayClasses::detachDisplay(CGDirectDisplayID id) {
    double delay = 0;
    {
        std::lock_guard<std::mutex> g(lock_);
        if (maxPixels_.erase(id) == 0) return;
        delay = removalDelay_;
    }
    MachineRef machine = machine_;
    // Even an immediate removal is delivered later, never inside the
    // caller's own locks.
    queue_.asyncAfter(std::max(delay, 0.0), [machine, id] {
        if (auto m = machine.lock()) m->component<SimulatedDisplaySystem>().removeDisplay(id);
    });
}

}  // namespace platform
