#include "HostApp/Capture/HostHardware.h"

#include "Platform/SimulatedMachine.h"
#include "Platform/SimulatedProcessor.h"

bool HostHardware::isAppleSilicon() {
    return platform::SimulatedMachine::current().component<platform::SimulatedProcessor>().isAppleSilicon();
}
