#include "Platform/SimulatedMac/PowerManagement.h"

#include "Platform/Runtime/Clock.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"

namespace platform {

IOReturn IOPMAssertionDeclareUserActivity(const std::string& name, IOPMUserActiveType type,
                                          IOPMAssertionID& assertionID) {
    return SimulatedMachine::current().component<SimulatedPowerManagement>().declareUserActivity(name, type,
                                                                                                  assertionID);
}

IOReturn IOPMAssertionCreateWithName(const std::string& type, IOPMAssertionLevel level, const std::string& name,
                                     IOPMAssertionID& assertionID) {
    return SimulatedMachine::current().component<SimulatedPowerManagement>().createAssertion(type, level, name,
                                                                                             assertionID);
}

IOReturn IOPMAssertionRelease(IOPMAssertionID assertionID) {
    return SimulatedMachine::current().component<SimulatedPowerManagement>().releaseAssertion(assertionID);
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

std::map<IOPMAssertionID, PowerAssertion> SimulatedPowerManagement::heldAssertions() const {
    std::lock_guard<std::mutex> g(lock_);
    return assertions_;
}

void SimulatedPowerManagement::setAssertionCreationError(IOReturn error) {
    std::lock_guard<std::mutex> g(lock_);
    assertionCreationError_ = error;
}

IOReturn SimulatedPowerManagement::createAssertion(const std::string& type, IOPMAssertionLevel level,
                                                   const std::string& name, IOPMAssertionID& assertionID) {
    std::lock_guard<std::mutex> g(lock_);
    if (assertionCreationError_ != kIOReturnSuccess) return assertionCreationError_;
    assertionID = nextAssertionID_++;
    assertions_[assertionID] = PowerAssertion{type, level, name};
    return kIOReturnSuccess;
}

IOReturn SimulatedPowerManagement::releaseAssertion(IOPMAssertionID assertionID) {
    std::lock_guard<std::mutex> g(lock_);
    return assertions_.erase(assertionID) == 1 ? kIOReturnSuccess : kIOReturnError;
}

}  // namespace platform
