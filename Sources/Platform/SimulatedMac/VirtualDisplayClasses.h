#pragma once
// The window server's virtual-display classes, reached the way the Host
// reaches them on a Mac: looked up by class name at run time, configured by
// key-value coding, and initialised through instance-method implementations
// found by selector name.
//
// The simulated machine offers the four classes "CGVirtualDisplayDescriptor",
// "CGVirtualDisplaySettings", "CGVirtualDisplayMode" and "CGVirtualDisplay".
// A display object made with "initWithDescriptor:" registers a display with
// SimulatedDisplaySystem; "applySettings:" gives it its modes (at once or
// after a delay); dropping the last reference to the object removes the
// display again after a delay. Tests remove classes, make any step fail and
// read back what the Host configured through SimulatedVirtualDisplayClasses.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "Platform/SimulatedMac/CoreGraphicsDisplays.h"
#include "Platform/Runtime/Dispatch.h"

namespace platform {

class SimulatedMachine;
class ObjCObject;
class ObjCClass;
using ObjCObjectRef = std::shared_ptr<ObjCObject>;
using ObjCClassRef = std::shared_ptr<const ObjCClass>;

// A value set or read by key-value coding, or passed to and returned from a
// method: nothing, an integer number, a real number, text, a size value, a
// dispatch queue, an object, or a list of objects.
using ObjCValue = std::variant<std::monostate, int64_t, double, std::string, CGSize, DispatchQueue, ObjCObjectRef,
                               std::vector<ObjCObjectRef>>;

// An instance method's implementation: the receiver, then the arguments.
using ObjCMethodImp = std::function<ObjCValue(const ObjCObjectRef& self, const std::vector<ObjCValue>& args)>;

// A class found by name. Every class answers "init".
class ObjCClass : public std::enable_shared_from_this<ObjCClass> {
public:
    using Allocator = std::function<bool()>;                      // false: allocation fails
    using MissingSelectors = std::function<std::set<std::string>()>;  // methods the class lacks now
    ObjCClass(std::string name, std::map<std::string, ObjCMethodImp> methods, Allocator allocator = nullptr,
              MissingSelectors missing = nullptr);

    const std::string& name() const { return name_; }
    // An uninitialised instance; none when allocation fails.
    ObjCObjectRef createInstance() const;
    // The implementation of an instance method; none when the class has no
    // method of that selector.
    std::optional<ObjCMethodImp> instanceMethod(const std::string& selector) const;
    // alloc + init; none when either fails.
    ObjCObjectRef newObject() const;

private:
    std::string name_;
    std::map<std::string, ObjCMethodImp> methods_;
    Allocator allocator_;
    MissingSelectors missing_;
};

// An instance of a looked-up class with key-value storage.
class ObjCObject {
public:
    explicit ObjCObject(ObjCClassRef cls);

    const ObjCClassRef& objectClass() const { return class_; }
    bool respondsToSelector(const std::string& selector) const;

    // setValue:forKey: / valueForKey: (nothing when the key was never set).
    void setValue(const std::string& key, ObjCValue value);
    ObjCValue valueForKey(const std::string& key) const;
    // Every setValue:forKey: in call order, as tests read it back.
    std::vector<std::pair<std::string, ObjCValue>> assignments() const;

    // State the class keeps with the instance (a display's attachment). Its
    // lifetime is the object's.
    void setBacking(std::shared_ptr<void> backing);

private:
    ObjCClassRef class_;
    mutable std::mutex lock_;
    std::vector<std::pair<std::string, ObjCValue>> assignments_;
    std::map<std::string, ObjCValue> values_;
    std::shared_ptr<void> backing_;
};

// The class of that name; none when the system has no such class.
ObjCClassRef NSClassFromString(const std::string& name);

// Which step of the virtual-display classes misbehaves.
struct VirtualDisplayClassFaults {
    bool displayInitMissing = false;      // the display class has no "initWithDescriptor:"
    bool displayAllocationFails = false;  // no display instance can be made
    bool displayInitReturnsNil = false;   // "initWithDescriptor:" returns nothing
    bool modeInitMissing = false;         // the mode class has no "initWithWidth:height:refreshRate:"
    bool modeAllocationFails = false;     // no mode instance can be made
    bool modeInitReturnsNil = false;      // the mode initialiser returns nothing
    bool applySettingsMissing = false;    // the display does not respond to "applySettings:"
    bool applySettingsRejects = false;    // "applySettings:" returns false
    bool displayIDMissing = false;        // "displayID" reads as nothing
    bool displayIDZero = false;           // "displayID" reads as 0
};

// The virtual-display classes of the simulated machine. Reached through
// SimulatedMachine::current().component<SimulatedVirtualDisplayClasses>().
class SimulatedVirtualDisplayClasses {
public:
    SimulatedVirtualDisplayClasses();
    ~SimulatedVirtualDisplayClasses();

    // The class of that name, none when absent (removed by a test).
    ObjCClassRef lookUp(const std::string& name) const;
    void setClassPresent(const std::string& name, bool present);

    void setFaults(const VirtualDisplayClassFaults& faults);
    VirtualDisplayClassFaults faults() const;
    // Seconds after "applySettings:" until the modes appear in the display's
    // list and the first becomes current; 0 (the default): at once.
    void setModesAppearAfter(double seconds);
    // Seconds after the display object is dropped until the display leaves
    // the display lists (default 0.3).
    void setRemovalDelay(double seconds);
    // The identifier the next display gets (then counting up).
    void setNextDisplayID(CGDirectDisplayID id);

    // Read back: every descriptor handed to "initWithDescriptor:" and every
    // settings object handed to "applySettings:", in order.
    std::vector<ObjCObjectRef> descriptors() const;
    std::vector<ObjCObjectRef> appliedSettings() const;
    // Displays made so far, and those whose objects are still held.
    size_t displaysCreated() const;
    std::vector<CGDirectDisplayID> attachedDisplayIDs() const;

    // Used by the classes' methods.
    CGDirectDisplayID attachDisplay(const ObjCObjectRef& descriptor);
    bool applySettings(CGDirectDisplayID id, const ObjCObjectRef& settings);
    void detachDisplay(CGDirectDisplayID id);

private:
    // The machine this component belongs to; displays are added to and
    // removed from its display system only.
    std::weak_ptr<SimulatedMachine> machine_;
    std::map<std::string, ObjCClassRef> classes_;
    mutable std::mutex lock_;
    std::set<std::string> absent_;
    VirtualDisplayClassFaults faults_;
    double modesDelay_ = 0;
    double removalDelay_ = 0.3;
    CGDirectDisplayID nextID_ = 0x5A0001;
    std::vector<ObjCObjectRef> descriptors_;
    std::vector<ObjCObjectRef> settings_;
    std::map<CGDirectDisplayID, CGSize> maxPixels_;  // per attached display
    size_t created_ = 0;
    DispatchQueue queue_;  // where delayed mode lists and removals land
};

}  // namespace platform
