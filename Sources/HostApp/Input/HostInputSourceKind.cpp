#include "HostApp/Input/HostInputSourceKind.h"

#include <cctype>
#include <string>

#include "Platform/SimulatedMac/TextInputSources.h"

bool HostInputSourceKind::probeCurrentInputSource() {
    auto source = platform::TISCopyCurrentKeyboardInputSource();
    if (!source) return false;
    auto languages = platform::TISGetInputSourceProperty(source, platform::kTISPropertyInputSourceLanguages);
    const platform::PlistValue::Array* list = languages ? languages->asArray() : nullptr;
    if (!list || list->empty()) return false;
    // Read as a list of strings: one entry of another type spoils the list.
    for (const auto& entry : *list)
        if (!entry.isString()) return false;
    for (const auto& entry : *list) {
        std::string language = *entry.asString();
        for (auto& c : language) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        for (const char* prefix : {"zh", "ja", "ko"})
            if (language.rfind(prefix, 0) == 0) return true;
    }
    return false;
}

void HostInputSourceKind::refreshCachedCJKInputMethod() { storeCachedCJKInputMethod(probeCurrentInputSource()); }

void HostInputSourceKind::storeCachedCJKInputMethod(bool value) {
    std::lock_guard<std::mutex> g(lock);
    cachedCJKInputMethod = value;
}

bool HostInputSourceKind::readCachedCJKInputMethod() {
    std::lock_guard<std::mutex> g(lock);
    return cachedCJKInputMethod;
}
