#include "Platform/SimulatedMac/TextInputSources.h"

#include "Platform/Runtime/Log.h"
#include "Platform/Foundation/NotificationCenter.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"

namespace platform {

TISInputSourceRef TISCopyCurrentKeyboardInputSource() {
    auto source = SimulatedMachine::current().component<SimulatedInputSources>().current();
    if (!source) return nullptr;
    return std::make_shared<const TISInputSource>(std::move(*source));
}

std::optional<PlistValue> TISGetInputSourceProperty(const TISInputSourceRef& source, const std::string& key) {
    if (!source) return std::nullopt;
    if (key == kTISPropertyInputSourceID) return PlistValue(source->identifier);
    if (key == kTISPropertyInputSourceLanguages) return source->languages;
    return std::nullopt;
}

SimulatedInputSources::SimulatedInputSources()
    : current_(TISInputSource{"com.apple.keylayout.US", PlistValue(PlistValue::Array{PlistValue("en")})}) {}

std::optional<TISInputSource> SimulatedInputSources::current() const {
    std::lock_guard<std::mutex> g(lock_);
    return current_;
}

void SimulatedInputSources::setCurrent(std::optional<TISInputSource> source) {
    const std::string name = source ? source->identifier : "none";
    {
        std::lock_guard<std::mutex> g(lock_);
        current_ = std::move(source);
    }
    Log::raw("[SimulatedMachine] input source " + name);
    // As on a Mac, every process hears of the change.
    NotificationCenter::distributedCenter().post(Notification{kTISNotifySelectedKeyboardInputSourceChanged, {}});
}

}  // namespace platform
