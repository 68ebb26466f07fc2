#include "Platform/SimulatedMac/PermissionPrompts.h"

#include "Platform/Runtime/Dispatch.h"
#include "Platform/Runtime/Log.h"

namespace platform {

namespace {
// The wait's step: short enough for a dismissal to end it soon.
constexpr double kWaitStepSeconds = 0.25;
}  // namespace

void SimulatedPermissionPrompts::setPolicy(Permission permission, PermissionPromptPolicy policy) {
    std::lock_guard<std::mutex> g(lock_);
    policies_[permission] = policy;
}

int SimulatedPermissionPrompts::requestCount(Permission permission) const {
    std::lock_guard<std::mutex> g(lock_);
    auto it = requests_.find(permission);
    return it == requests_.end() ? 0 : it->second;
}

int SimulatedPermissionPrompts::waitingCount() const {
    std::lock_guard<std::mutex> g(lock_);
    return waiting_;
}

void SimulatedPermissionPrompts::dismissWaitingPrompts() {
    std::lock_guard<std::mutex> g(lock_);
    dismissals_++;
}

bool SimulatedPermissionPrompts::request(Permission permission) {
    auto& machine = SimulatedMachine::current();
    PermissionPromptPolicy policy;
    unsigned dismissals;
    {
        std::lock_guard<std::mutex> g(lock_);
        requests_[permission]++;
        if (machine.permissionGranted(permission)) return true;
        if (auto it = policies_.find(permission); it != policies_.end()) policy = it->second;
        dismissals = dismissals_;
        waiting_++;
    }
    Log::raw(std::string("[SimulatedMachine] ") + permissionName(permission) + " prompt shown");
    const bool never = policy.answer == PermissionPromptPolicy::Answer::never;
    const double limit = never ? kUnansweredPromptLimitSeconds : policy.delaySeconds;
    for (double waited = 0; waited < limit;) {
        {
            std::lock_guard<std::mutex> g(lock_);
            if (dismissals_ != dismissals) break;
        }
        const double step = never ? kWaitStepSeconds : std::min(kWaitStepSeconds, limit - waited);
        sleepFor(step);
        waited += step;
    }
    {
        std::lock_guard<std::mutex> g(lock_);
        waiting_--;
    }
    switch (policy.answer) {
        case PermissionPromptPolicy::Answer::grant: machine.setPermission(permission, true); break;
        case PermissionPromptPolicy::Answer::deny: return false;
        default: break;
    }
    return machine.permissionGranted(permission);
}

}  // namespace platform
