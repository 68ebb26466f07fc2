#pragma once
// The keyboard input sources as the Host asks about them: the current
// source and its properties, chiefly the languages it types.
//
// On the simulated machine the current source is whatever tests set
// (SimulatedInputSources), possibly none; its languages may be missing or
// of any property-list type. The default is the US layout typing English.
// Setting it posts the selected-source-changed notification.

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Platform/Foundation/PropertyList.h"

namespace platform {

inline constexpr const char* kTISPropertyInputSourceID = "TISPropertyInputSourceID";
inline constexpr const char* kTISPropertyInputSourceLanguages = "TISPropertyInputSourceLanguages";
// Posted on the distributed centre when the current source changes.
inline constexpr const char* kTISNotifySelectedKeyboardInputSourceChanged =
    "com.apple.Carbon.TISNotifySelectedKeyboardInputSourceChanged";

// One input source: its identifier and its languages property as the
// system stores it (normally an array of strings; none when absent).
struct TISInputSource {
    std::string identifier;
    std::optional<PlistValue> languages;
};
using TISInputSourceRef = std::shared_ptr<const TISInputSource>;

// The keyboard input source in use; null when there is none.
TISInputSourceRef TISCopyCurrentKeyboardInputSource();
// A property of the source; none when it does not have it.
std::optional<PlistValue> TISGetInputSourceProperty(const TISInputSourceRef& source, const std::string& key);

// The input sources of the simulated machine. Reached through
// SimulatedMachine::current().component<SimulatedInputSources>().
class SimulatedInputSources {
public:
    SimulatedInputSources();
    std::optional<TISInputSource> current() const;
    void setCurrent(std::optional<TISInputSource> source);

private:
    mutable std::mutex lock_;
    std::optional<TISInputSource> current_;
};

}  // namespace platform
