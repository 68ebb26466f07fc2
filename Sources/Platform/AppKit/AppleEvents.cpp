#include "Platform/AppKit/AppleEvents.h"

#include "Platform/Runtime/Dispatch.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"

namespace platform {

AppleEventManager& AppleEventManager::shared() { return SimulatedMachine::current().component<AppleEventManager>(); }

void AppleEventManager::setEventHandler(uint32_t eventClass, uint32_t eventID, Handler handler) {
    handlers_[{eventClass, eventID}] = std::move(handler);
}

void AppleEventManager::removeEventHandler(uint32_t eventClass, uint32_t eventID) {
    handlers_.erase({eventClass, eventID});
}

bool AppleEventManager::hasEventHandler(uint32_t eventClass, uint32_t eventID) const {
    return handlers_.count({eventClass, eventID}) > 0;
}

void AppleEventManager::deliverFromOutside(AppleEvent event) {
    // Handlers are only touched on the main queue, so the lookup waits
    // until the event is there.
    DispatchQueue::main().async([this, machine = SimulatedMachine::currentShared(), event = std::move(event)] {
        auto it = handlers_.find({event.eventClass, event.eventID});
        if (it == handlers_.end()) return;
        auto handler = it->second;  // a handler may replace itself
        AppleEvent reply;
        handler(event, reply);
    });
}

}  // namespace platform
