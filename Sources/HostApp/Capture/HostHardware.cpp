#include "HostApp/Capture/HostHardware.h"

#include "Platform/SimulatedMac/SimulatedMachine.h"
#include "Platform/SimulatedMac/SimulatedProcessor.h"

bool HostHardware::isAppleSilicon() {
    return platform::SimulatedMachine::current().component<platform::SimulatedProcessor>().isAppleSilicon();
}
