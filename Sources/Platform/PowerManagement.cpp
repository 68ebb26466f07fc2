#include "Platform/PowerManagement.h"

#include "Platform/Clock.h"
#include "Platform/SimulatedMachine.h"

namespace platform {

IOReturn IOPMAssertionDeclareUserActivity(const std::string& name, IOPMUserActiveType type,
                                          IOPMAssertionID& assertionID) {
    return SimulatedMachine::current().component<SimulatedPowerManagement>().declareUserActivity(name, type,
                                                                                                  assertionID);
}

std::vector<UserActivityDeclaration> SimulatedPowerManagement::userActivityDeclarations() const {
    std::lock_guard<std::mutex> g(lock_);
    return declarations_;
}

void SimulatedPowerManagement::setUserActivityError(IOReturn error) {
    std::lock_guard<std::mutex> g(lock_);
    userActivityError_ = error;
}

IOReturn SimulatedPowerManagement::declareUserActivity(const std::string& name, IOPMUserActiveType type,
                                                       IOPMAssertionID& assertionID) {
    std::lock_guard<std::mutex> g(lock_);
    declarations_.push_back({name, type, Clock::uptimeNs(), userActivityError_});
    if (userActivityError_ != kIOReturnSuccess) return userActivityError_;
    assertionID = nextAssertionID_++;
    return kIOReturnSuccess;
}

}  // namespace platform
