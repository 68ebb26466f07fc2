#pragma once
// IOKit power management as the Host uses it: declaring user activity, so
// that remote input wakes a sleeping or locked display the way local input
// would.
//
// On the simulated machine every declaration is recorded with its name, type
// and virtual time (SimulatedPowerManagement); tests can make declarations
// fail with an error of their choice.

#include <cstdint>
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

private:
    mutable std::mutex lock_;
    std::vector<UserActivityDeclaration> declarations_;
    IOReturn userActivityError_ = kIOReturnSuccess;
    IOPMAssertionID nextAssertionID_ = 1;
};

}  // namespace platform
