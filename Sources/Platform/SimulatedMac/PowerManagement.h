#pragma once
// IOKit power management as the Host uses it: declaring user activity, so
// that remote input wakes a sleeping or locked display the way local input
// would, and holding named assertions that keep the Mac from sleeping while
// Viewers depend on it.
//
// On the simulated machine every declaration is recorded with its name, type
// and virtual time, and the assertions held are kept as a set
// (SimulatedPowerManagement); tests can make declarations and assertion
// creation fail with an error of their choice.

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

using IOReturn = int32_t;
inline constexpr IOReturn kIOReturnSuccess = 0;
inline constexpr IOReturn kIOReturnError = static_cast<IOReturn>(0xE00002BC);

using IOPMAssertionID = uint32_t;

enum class IOPMUserActiveType : uint32_t { local = 0, remote = 1 };

// Declares that a user is active; on success `assertionID` names the
// declaration.
IOReturn IOPMAssertionDeclareUserActivity(const std::string& name, IOPMUserActiveType type,
                                          IOPMAssertionID& assertionID);

// The two assertion types the Host holds, and the level that turns one on.
inline constexpr const char* kIOPMAssertionTypePreventUserIdleSystemSleep = "PreventUserIdleSystemSleep";
inline constexpr const char* kIOPMAssertionTypePreventSystemSleep = "PreventSystemSleep";
using IOPMAssertionLevel = uint32_t;
inline constexpr IOPMAssertionLevel kIOPMAssertionLevelOn = 255;

// Creates a named assertion; on success `assertionID` (never 0) names it
// until it is released.
IOReturn IOPMAssertionCreateWithName(const std::string& type, IOPMAssertionLevel level, const std::string& name,
                                     IOPMAssertionID& assertionID);
// Releases an assertion; kIOReturnError for an identifier not held.
IOReturn IOPMAssertionRelease(IOPMAssertionID assertionID);

// One assertion the simulated machine holds.
struct PowerAssertion {
    std::string type;
    IOPMAssertionLevel level = 0;
    std::string name;
    bool operator==(const PowerAssertion&) const = default;
};

// One recorded declaration and what it returned.
struct UserActivityDeclaration {
    std::string name;
    IOPMUserActiveType type = IOPMUserActiveType::local;
    uint64_t uptimeNs = 0;
    IOReturn result = kIOReturnSuccess;
};

// The power-management side of the simulated machine. Reached through
// SimulatedMachine::current().component<SimulatedPowerManagement>().
class SimulatedPowerManagement {
public:
    // Every declaration asked for, failed ones included, in order.
    std::vector<UserActivityDeclaration> userActivityDeclarations() const;
    // Later declarations fail with this (kIOReturnSuccess: they succeed).
    void setUserActivityError(IOReturn error);

    IOReturn declareUserActivity(const std::string& name, IOPMUserActiveType type, IOPMAssertionID& assertionID);

    // The assertions held now, by identifier.
    std::map<IOPMAssertionID, PowerAssertion> heldAssertions() const;
    // Later assertion creations fail with this (kIOReturnSuccess: they succeed).
    void setAssertionCreationError(IOReturn error);
    IOReturn createAssertion(const std::string& type, IOPMAssertionLevel level, const std::string& name,
                             IOPMAssertionID& assertionID);
    IOReturn releaseAssertion(IOPMAssertionID assertionID);

private:
    mutable std::mutex lock_;
    std::vector<UserActivityDeclaration> declarations_;
    IOReturn userActivityError_ = kIOReturnSuccess;
    IOPMAssertionID nextAssertionID_ = 1;
    std::map<IOPMAssertionID, PowerAssertion> assertions_;
    IOReturn assertionCreationError_ = kIOReturnSuccess;
};

}  // namespace platform
