#include "Platform/CoreAudioProcesses.h"

#include "Platform/SimulatedMachine.h"

namespace platform {

namespace {
SimulatedAudioProcesses& processes() { return SimulatedMachine::current().component<SimulatedAudioProcesses>(); }
}  // namespace

OSStatus AudioHardwareGetProcessObjectListSize(uint32_t& byteSize) { return processes().listSize(byteSize); }

OSStatus AudioHardwareGetProcessObjectList(uint32_t byteSize, std::vector<AudioObjectID>& objects) {
    return processes().list(byteSize, objects);
}

OSStatus AudioProcessGetIsRunningOutput(AudioObjectID process, uint32_t& isRunningOutput) {
    return processes().isRunningOutput(process, isRunningOutput);
}

OSStatus AudioProcessGetBundleID(AudioObjectID process, std::string& bundleID) {
    return processes().bundleID(process, bundleID);
}

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
    if (sizeError_ != 0) return sizeError_;
    byteSize = static_cast<uint32_t>(processes_.size() * sizeof(AudioObjectID));
    return 0;
}

OSStatus SimulatedAudioProcesses::list(uint32_t byteSize, std::vector<AudioObjectID>& objects) const {
    std::lock_guard<std::mutex> g(lock_);
    if (readError_ != 0) return readError_;
    objects.clear();
    // The list may have shrunk since its size was asked.
    for (size_t i = 0; i < byteSize / sizeof(AudioObjectID) && i < processes_.size(); ++i)
        objects.push_back(processes_[i].objectID);
    return 0;
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
    if (!p) return kBadObjectError;
    if (p->runningOutputError != 0) return p->runningOutputError;
    value = p->isRunningOutput;
    return 0;
}

OSStatus SimulatedAudioProcesses::bundleID(AudioObjectID process, std::string& value) const {
    std::lock_guard<std::mutex> g(lock_);
    const Process* p = findLocked(process);
    if (!p) return kBadObjectError;
    if (p->bundleIDError != 0) return p->bundleIDError;
    value = p->bundleID;
    return 0;
}

}  // namespace platform
