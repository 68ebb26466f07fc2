#include "Platform/SimulatedMac/CoreAudio.h"

#include "Platform/Runtime/Log.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"

namespace platform {

namespace {

SimulatedAudioHardware& hardware() { return SimulatedMachine::current().component<SimulatedAudioHardware>(); }
SimulatedAudioProcesses& processes() { return SimulatedMachine::current().component<SimulatedAudioProcesses>(); }

bool isProcessList(AudioObjectID object, const AudioObjectPropertyAddress& address) {
    return object == kAudioObjectSystemObject && address.mSelector == kAudioHardwarePropertyProcessObjectList;
}

bool isDeviceControl(uint32_t selector) {
    return selector == kAudioDevicePropertyMute || selector == kAudioDevicePropertyVolumeScalar;
}

// The mute is an integer, the volume a float; the default device an
// integer.
bool isFloatProperty(uint32_t selector) { return selector == kAudioDevicePropertyVolumeScalar; }

}  // namespace

bool AudioObjectHasProperty(AudioObjectID object, const AudioObjectPropertyAddress& address) {
    return hardware().hasProperty(object, address);
}

OSStatus AudioObjectIsPropertySettable(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                       bool& settable) {
    return hardware().isSettable(object, address, settable);
}

OSStatus AudioObjectGetPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                    uint32_t& value) {
    if (address.mSelector == kAudioProcessPropertyIsRunningOutput) return processes().isRunningOutput(object, value);
    double v = 0;
    OSStatus status = hardware().read(object, address, false, v);
    if (status == noErr) value = static_cast<uint32_t>(v);
    return status;
}

OSStatus AudioObjectGetPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address, float& value) {
    double v = 0;
    OSStatus status = hardware().read(object, address, true, v);
    if (status == noErr) value = static_cast<float>(v);
    return status;
}

OSStatus AudioObjectSetPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                    uint32_t value) {
    return hardware().write(object, address, false, value);
}

OSStatus AudioObjectSetPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address, float value) {
    return hardware().write(object, address, true, value);
}

// ---------------------------------------------------------------- the simulated devices

SimulatedAudioHardware::SimulatedAudioHardware() {
    Control mute;
    Control volume;
    volume.value = 0.75;
    controls_[{defaultDeviceID, kAudioDevicePropertyMute, kAudioObjectPropertyElementMain}] = mute;
    controls_[{defaultDeviceID, kAudioDevicePropertyVolumeScalar, kAudioObjectPropertyElementMain}] = volume;
}

void SimulatedAudioHardware::setDefaultOutputDevice(AudioObjectID device) {
    {
        std::lock_guard<std::mutex> g(lock_);
        defaultDevice_ = device;
    }
    Log::raw("[SimulatedMachine] default output device " + std::to_string(device));
}

void SimulatedAudioHardware::setDefaultOutputDeviceError(OSStatus status) {
    std::lock_guard<std::mutex> g(lock_);
    defaultDeviceError_ = status;
}

void SimulatedAudioHardware::setControls(AudioObjectID device, uint32_t selector,
                                         std::map<uint32_t, Control> controls) {
    std::lock_guard<std::mutex> g(lock_);
    std::erase_if(controls_, [&](const auto& entry) {
        return std::get<0>(entry.first) == device && std::get<1>(entry.first) == selector;
    });
    for (auto& [element, control] : controls) controls_[{device, selector, element}] = control;
}

std::optional<SimulatedAudioHardware::Control> SimulatedAudioHardware::control(AudioObjectID device, uint32_t selector,
                                                                               uint32_t element) const {
    std::lock_guard<std::mutex> g(lock_);
    auto it = controls_.find({device, selector, element});
    if (it == controls_.end()) return std::nullopt;
    return it->second;
}

std::vector<SimulatedAudioHardware::Write> SimulatedAudioHardware::writes() const {
    std::lock_guard<std::mutex> g(lock_);
    return writes_;
}

SimulatedAudioHardware::Control* SimulatedAudioHardware::findLocked(AudioObjectID device,
                                                                   const AudioObjectPropertyAddress& address) {
    if (!isDeviceControl(address.mSelector) || address.mScope != kAudioDevicePropertyScopeOutput) return nullptr;
    auto it = controls_.find({device, address.mSelector, address.mElement});
    return it == controls_.end() ? nullptr : &it->second;
}

bool SimulatedAudioHardware::hasProperty(AudioObjectID object, const AudioObjectPropertyAddress& address) {
    std::lock_guard<std::mutex> g(lock_);
    if (object == kAudioObjectSystemObject) return address.mSelector == kAudioHardwarePropertyDefaultOutputDevice;
    return findLocked(object, address) != nullptr;
}

OSStatus SimulatedAudioHardware::isSettable(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                            bool& settable) {
    std::lock_guard<std::mutex> g(lock_);
    const Control* c = findLocked(object, address);
    if (!c) return kAudioHardwareUnknownPropertyError;
    if (c->settableError != noErr) return c->settableError;
    settable = c->settable;
    return noErr;
}

OSStatus SimulatedAudioHardware::read(AudioObjectID object, const AudioObjectPropertyAddress& address, bool asFloat,
                                      double& value) {
    std::lock_guard<std::mutex> g(lock_);
    if (object == kAudioObjectSystemObject && address.mSelector == kAudioHardwarePropertyDefaultOutputDevice) {
        if (asFloat) return kAudioHardwareBadPropertySizeError;
        if (defaultDeviceError_ != noErr) return defaultDeviceError_;
        value = defaultDevice_;
        return noErr;
    }
    Control* c = findLocked(object, address);
    if (!c) return kAudioHardwareUnknownPropertyError;
    if (asFloat != isFloatProperty(address.mSelector)) return kAudioHardwareBadPropertySizeError;
    if (c->readError != noErr) {
        if (c->readsBeforeError <= 0) return c->readError;
        c->readsBeforeError--;
    }
    value = c->value;
    return noErr;
}

OSStatus SimulatedAudioHardware::write(AudioObjectID object, const AudioObjectPropertyAddress& address, bool asFloat,
                                       double value) {
    std::lock_guard<std::mutex> g(lock_);
    Control* c = findLocked(object, address);
    if (!c) return kAudioHardwareUnknownPropertyError;
    if (asFloat != isFloatProperty(address.mSelector)) return kAudioHardwareBadPropertySizeError;
    writes_.push_back({object, address.mSelector, address.mElement, value});
    if (c->writeError != noErr) return c->writeError;
    if (!c->settable) return kAudioHardwareIllegalOperationError;
    if (c->takesWrites) c->value = value;
    return noErr;
}

OSStatus AudioObjectGetPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                        uint32_t& byteSize) {
    if (!isProcessList(object, address)) return kAudioHardwareUnknownPropertyError;
    return processes().listSize(byteSize);
}

OSStatus AudioObjectGetPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                    uint32_t byteSize, std::vector<AudioObjectID>& objects) {
    if (!isProcessList(object, address)) return kAudioHardwareUnknownPropertyError;
    return processes().list(byteSize, objects);
}

OSStatus AudioObjectGetPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                    std::string& value) {
    if (address.mSelector != kAudioProcessPropertyBundleID) return kAudioHardwareUnknownPropertyError;
    return processes().bundleID(object, value);
}

// ---------------------------------------------------------------- the simulated processes

void SimulatedAudioProcesses::setProcesses(std::vector<Process> processes) {
    std::lock_guard<std::mutex> g(lock_);
    processes_ = std::move(processes);
}

void SimulatedAudioProcesses::setListErrors(OSStatus sizeError, OSStatus readError) {
    std::lock_guard<std::mutex> g(lock_);
    sizeError_ = sizeError;
    readError_ = readError;
}

OSStatus SimulatedAudioProcesses::listSize(uint32_t& byteSize) const {
    std::lock_guard<std::mutex> g(lock_);
    if (sizeError_ != noErr) return sizeError_;
    byteSize = static_cast<uint32_t>(processes_.size() * sizeof(AudioObjectID));
    return noErr;
}

OSStatus SimulatedAudioProcesses::list(uint32_t byteSize, std::vector<AudioObjectID>& objects) const {
    std::lock_guard<std::mutex> g(lock_);
    if (readError_ != noErr) return readError_;
    objects.clear();
    // The list may have shrunk since its size was asked.
    for (size_t i = 0; i < byteSize / sizeof(AudioObjectID) && i < processes_.size(); ++i)
        objects.push_back(processes_[i].objectID);
    return noErr;
}

const SimulatedAudioProcesses::Process* SimulatedAudioProcesses::findLocked(AudioObjectID process) const {
    for (const auto& p : processes_) {
        if (p.objectID == process) return &p;
    }
    return nullptr;
}

OSStatus SimulatedAudioProcesses::isRunningOutput(AudioObjectID process, uint32_t& value) const {
    std::lock_guard<std::mutex> g(lock_);
    const Process* p = findLocked(process);
    if (!p) return kAudioHardwareBadObjectError;
    if (p->runningOutputError != noErr) return p->runningOutputError;
    value = p->isRunningOutput;
    return noErr;
}

OSStatus SimulatedAudioProcesses::bundleID(AudioObjectID process, std::string& value) const {
    std::lock_guard<std::mutex> g(lock_);
    const Process* p = findLocked(process);
    if (!p) return kAudioHardwareBadObjectError;
    if (p->bundleIDError != noErr) return p->bundleIDError;
    value = p->bundleID;
    return noErr;
}

}  // namespace platform
