// The user's choice of display target and the reads of it that the status
// refresh makes from the main queue. The choice only records the target
// here; applying it to the capture comes with display target selection.

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"

void V230HostAudioAuxServer::selectDisplayID(uint32_t displayID) {
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    queue.async([weak, displayID] {
        auto self = weak.lock();
        if (!self) return;
        self->physicalDisplayID = displayID;
        if (!self->useHeadlessVirtualDisplay) self->selectedDisplayID = displayID;
        self->displaySelectionIsManual = true;
    });
}

void V230HostAudioAuxServer::setHeadlessVirtualDisplayEnabled(bool enabled) {
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    queue.async([weak, enabled] {
        auto self = weak.lock();
        if (!self || self->useHeadlessVirtualDisplay == enabled) return;
        self->useHeadlessVirtualDisplay = enabled;
        if (!enabled) self->selectedDisplayID = self->physicalDisplayID;
    });
}

uint32_t V230HostAudioAuxServer::selectedDisplayIDSnapshot() const {
    return queue.syncValue([this] { return selectedDisplayID; });
}

uint32_t V230HostAudioAuxServer::physicalDisplayIDSnapshot() const {
    return queue.syncValue([this] { return physicalDisplayID; });
}

bool V230HostAudioAuxServer::headlessVirtualDisplayEnabledSnapshot() const {
    return queue.syncValue([this] { return useHeadlessVirtualDisplay; });
}
