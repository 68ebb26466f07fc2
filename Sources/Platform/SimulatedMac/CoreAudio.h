#pragma once
// The audio hardware properties the Host touches: which device is the
// default output, and each output device's mute (32-bit unsigned) and
// volume scalar (32-bit float) per element, element 0 being the main one
// and 1 to 8 the channels; and the process objects, to find the
// application playing sound: the system object's list of them ('prs#'),
// and per process whether it produces output ('piro', 32-bit unsigned) and
// its bundle identifier ('pbid', a string).
//
// Backed by the simulated machine's audio devices (SimulatedAudioHardware).
// The default is one output device whose main element has a settable mute
// (0) and a settable volume (0.75). Tests shape devices control by control,
// inject every failure a caller can meet (no property, a failing or negative
// settable query, a failing read or write, a device that does not take a
// value, a failing default-device read) and read back every write. The
// process objects are a list tests set (SimulatedAudioProcesses), empty by
// default, each read of which can fail.

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "Platform/Media/CoreMedia.h"

namespace platform {

using AudioObjectID = uint32_t;

inline constexpr AudioObjectID kAudioObjectUnknown = 0;
inline constexpr AudioObjectID kAudioObjectSystemObject = 1;

inline constexpr uint32_t kAudioHardwarePropertyDefaultOutputDevice = 0x644F7574;  // 'dOut'
inline constexpr uint32_t kAudioDevicePropertyMute = 0x6D757465;                   // 'mute'
inline constexpr uint32_t kAudioDevicePropertyVolumeScalar = 0x766F6C6D;           // 'volm'
inline constexpr uint32_t kAudioHardwarePropertyProcessObjectList = 0x70727323;   // 'prs#'
inline constexpr uint32_t kAudioProcessPropertyIsRunningOutput = 0x7069726F;      // 'piro'
inline constexpr uint32_t kAudioProcessPropertyBundleID = 0x70626964;             // 'pbid'
inline constexpr uint32_t kAudioObjectPropertyScopeGlobal = 0x676C6F62;            // 'glob'
inline constexpr uint32_t kAudioDevicePropertyScopeOutput = 0x6F757470;            // 'outp'
inline constexpr uint32_t kAudioObjectPropertyElementMain = 0;

inline constexpr OSStatus kAudioHardwareUnknownPropertyError = 0x77686F3F;     // 'who?'
inline constexpr OSStatus kAudioHardwareBadObjectError = 0x216F626A;           // '!obj'
inline constexpr OSStatus kAudioHardwareBadPropertySizeError = 0x2173697A;     // '!siz'
inline constexpr OSStatus kAudioHardwareIllegalOperationError = 0x6E6F7065;    // 'nope'
inline constexpr OSStatus kAudioHardwareUnspecifiedError = 0x77686174;         // 'what'

struct AudioObjectPropertyAddress {
    uint32_t mSelector = 0;
    uint32_t mScope = kAudioObjectPropertyScopeGlobal;
    uint32_t mElement = kAudioObjectPropertyElementMain;
};

bool AudioObjectHasProperty(AudioObjectID object, const AudioObjectPropertyAddress& address);
OSStatus AudioObjectIsPropertySettable(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                       bool& settable);
// Typed reads and writes: the mute and the default device are 32-bit
// unsigned, the volume a 32-bit float; the wrong type is a size error.
OSStatus AudioObjectGetPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                    uint32_t& value);
OSStatus AudioObjectGetPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address, float& value);
OSStatus AudioObjectSetPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                    uint32_t value);
OSStatus AudioObjectSetPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address, float value);

// The byte size of a list property (the process object list).
OSStatus AudioObjectGetPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                        uint32_t& byteSize);
// Reads byteSize / 4 objects of a list property.
OSStatus AudioObjectGetPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                    uint32_t byteSize, std::vector<AudioObjectID>& objects);
// A string property (a process's bundle identifier).
OSStatus AudioObjectGetPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                    std::string& value);

// The audio devices of the simulated machine.
class SimulatedAudioHardware {
public:
    static constexpr AudioObjectID defaultDeviceID = 73;

    // One output control (a mute or a volume on one element).
    struct Control {
        bool settable = true;
        OSStatus settableError = noErr;  // the settable query fails with it
        OSStatus readError = noErr;      // every read fails with it ...
        int readsBeforeError = 0;        // ... after this many good reads
        OSStatus writeError = noErr;
        bool takesWrites = true;  // false: writes succeed but the value stays
        double value = 0;
    };
    // One recorded write, successful or not.
    struct Write {
        AudioObjectID device = 0;
        uint32_t selector = 0;
        uint32_t element = 0;
        double value = 0;
        bool operator==(const Write&) const = default;
    };

    SimulatedAudioHardware();

    void setDefaultOutputDevice(AudioObjectID device);
    // Reading the default device fails with the status (noErr: it works).
    void setDefaultOutputDeviceError(OSStatus status);
    // Replaces a device's controls of one kind (mute or volume selector);
    // elements left out do not have the property.
    void setControls(AudioObjectID device, uint32_t selector, std::map<uint32_t, Control> controls);
    std::optional<Control> control(AudioObjectID device, uint32_t selector, uint32_t element) const;
    std::vector<Write> writes() const;

    // The functions above, on this machine's devices.
    bool hasProperty(AudioObjectID object, const AudioObjectPropertyAddress& address);
    OSStatus isSettable(AudioObjectID object, const AudioObjectPropertyAddress& address, bool& settable);
    OSStatus read(AudioObjectID object, const AudioObjectPropertyAddress& address, bool asFloat, double& value);
    OSStatus write(AudioObjectID object, const AudioObjectPropertyAddress& address, bool asFloat, double value);

private:
    // The control a device property names, or null.
    Control* findLocked(AudioObjectID device, const AudioObjectPropertyAddress& address);

    mutable std::mutex lock_;
    AudioObjectID defaultDevice_ = defaultDeviceID;
    OSStatus defaultDeviceError_ = noErr;
    std::map<std::tuple<AudioObjectID, uint32_t, uint32_t>, Control> controls_;
    std::vector<Write> writes_;
};

// The audio processes of the simulated machine.
class SimulatedAudioProcesses {
public:
    struct Process {
        AudioObjectID objectID = 0;
        std::string bundleID;
        uint32_t isRunningOutput = 0;
        OSStatus runningOutputError = noErr;  // reading 'piro' fails with it
        OSStatus bundleIDError = noErr;       // reading 'pbid' fails with it
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
    OSStatus sizeError_ = noErr;
    OSStatus readError_ = noErr;
};

}  // namespace platform
