#pragma once
// The audio system's process objects, as the Host reads them to find the
// application that is playing sound: the list of process objects on the
// system object ('prs#'), and for each whether it is producing output
// ('piro', a 32-bit unsigned) and its bundle identifier ('pbid', a string).
//
// On the simulated machine the processes are a list tests set
// (SimulatedAudioProcesses), empty by default; every read can be made to
// fail with a status of the test's choice.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform {

using AudioObjectID = uint32_t;
using OSStatus = int32_t;

inline constexpr uint32_t kAudioHardwarePropertyProcessObjectList = 0x70727323;  // 'prs#'
inline constexpr uint32_t kAudioProcessPropertyIsRunningOutput = 0x7069726F;     // 'piro'
inline constexpr uint32_t kAudioProcessPropertyBundleID = 0x70626964;            // 'pbid'

// The size in bytes of the system object's process object list.
OSStatus AudioHardwareGetProcessObjectListSize(uint32_t& byteSize);
// Reads byteSize / 4 process objects of the list.
OSStatus AudioHardwareGetProcessObjectList(uint32_t byteSize, std::vector<AudioObjectID>& objects);
// 'piro' of one process object: non-zero while it plays audio.
OSStatus AudioProcessGetIsRunningOutput(AudioObjectID process, uint32_t& isRunningOutput);
// 'pbid' of one process object.
OSStatus AudioProcessGetBundleID(AudioObjectID process, std::string& bundleID);

// The audio processes of the simulated machine.
class SimulatedAudioProcesses {
public:
    static constexpr OSStatus kBadObjectError = 0x216F626A;  // '!obj'

    struct Process {
        AudioObjectID objectID = 0;
        std::string bundleID;
        uint32_t isRunningOutput = 0;
        OSStatus runningOutputError = 0;  // reading 'piro' fails with it
        OSStatus bundleIDError = 0;       // reading 'pbid' fails with it
    };

    void setProcesses(std::vector<Process> processes);
    // Asking the list's size, or reading it, fails with the status.
    void setListErrors(OSStatus sizeError, OSStatus readError);

    OSStatus listSize(uint32_t& byteSize) const;
    OSStatus list(uint32_t byteSize, std::vector<AudioObjectID>& objects) const;
    OSStatus isRunningOutput(AudioObjectID process, uint32_t& value) const;
    OSStatus bundleID(AudioObjectID process, std::string& value) const;

private:
    const Process* findLocked(AudioObjectID process) const;

    mutable std::mutex lock_;
    std::vector<Process> processes_;
    OSStatus sizeError_ = 0;
    OSStatus readError_ = 0;
};

}  // namespace platform
