// The model of the headless virtual display: the single instance, the
// presets and their families, and the two read-only views of its state.

#include "HostApp/Display/HeadlessVirtualDisplay.h"

#include <algorithm>

namespace {

std::mutex sharedDisplayLock;
std::shared_ptr<HeadlessVirtualDisplay>& sharedDisplay() {
    static std::shared_ptr<HeadlessVirtualDisplay> instance;
    return instance;
}

}  // namespace

HeadlessVirtualDisplay& HeadlessVirtualDisplay::shared() {
    std::lock_guard<std::mutex> g(sharedDisplayLock);
    auto& instance = sharedDisplay();
    if (!instance) instance = std::make_shared<HeadlessVirtualDisplay>(ConstructionKey{});
    return *instance;
}

void HeadlessVirtualDisplay::resetSharedForTesting() {
    std::shared_ptr<HeadlessVirtualDisplay> old;
    {
        std::lock_guard<std::mutex> g(sharedDisplayLock);
        old = std::move(sharedDisplay());
        sharedDisplay() = std::make_shared<HeadlessVirtualDisplay>(ConstructionKey{});
    }
    // The old instance (and the display it may hold) goes away outside the lock.
}

HeadlessVirtualDisplay::HeadlessVirtualDisplay(ConstructionKey)
    : eventQueue("com.velantrix.virtualdisplay.events"),
      presetActivationQueue("com.velantrix.virtualdisplay.preset-activation") {}

// --- Presets ---------------------------------------------------------------------------

HeadlessVirtualDisplay::Preset HeadlessVirtualDisplay::Preset::from(const ResolutionProfile& resolution) {
    return Preset{resolution.title, resolution, resolution.pixelWidth, resolution.pixelHeight, resolution.hiDPI};
}

int HeadlessVirtualDisplay::Preset::logicalWidth() const { return std::max(1, hiDPI ? pixelWidth / 2 : pixelWidth); }

int HeadlessVirtualDisplay::Preset::logicalHeight() const {
    return std::max(1, hiDPI ? pixelHeight / 2 : pixelHeight);
}

std::string HeadlessVirtualDisplay::Preset::summary() const {
    std::string text = title + " logical=" + std::to_string(logicalWidth()) + "x" + std::to_string(logicalHeight()) +
                       " px=" + std::to_string(pixelWidth) + "x" + std::to_string(pixelHeight);
    if (hiDPI) text += " HiDPI";
    return text;
}

const HeadlessVirtualDisplay::Preset& HeadlessVirtualDisplay::standard1080Preset() {
    static const Preset preset = Preset::from(DisplayProfileCatalog::fullHD1080);
    return preset;
}

const HeadlessVirtualDisplay::Preset& HeadlessVirtualDisplay::standard1440Preset() {
    static const Preset preset = Preset::from(DisplayProfileCatalog::qhd1440);
    return preset;
}

const HeadlessVirtualDisplay::Preset& HeadlessVirtualDisplay::easyPreset() {
    static const Preset preset = Preset::from(DisplayProfileCatalog::easy.resolution);
    return preset;
}

const HeadlessVirtualDisplay::Preset& HeadlessVirtualDisplay::easyComfortablePreset() {
    static const Preset preset = Preset::from(DisplayProfileCatalog::easyComfortable);
    return preset;
}

const HeadlessVirtualDisplay::Preset& HeadlessVirtualDisplay::hidpi1440Preset() {
    static const Preset preset = Preset::from(DisplayProfileCatalog::hidpi1440);
    return preset;
}

const HeadlessVirtualDisplay::Preset& HeadlessVirtualDisplay::maxCanvasPreset() {
    static const Preset preset = Preset::from(DisplayProfileCatalog::maxCanvas);
    return preset;
}

const std::vector<HeadlessVirtualDisplay::Preset>& HeadlessVirtualDisplay::presets() {
    static const std::vector<Preset> list{standard1080Preset(), standard1440Preset(),    easyPreset(),
                                          easyComfortablePreset(), hidpi1440Preset(), maxCanvasPreset()};
    return list;
}

const std::vector<HeadlessVirtualDisplay::Preset>& HeadlessVirtualDisplay::standardPresets() {
    static const std::vector<Preset> list{standard1080Preset(), standard1440Preset()};
    return list;
}

const std::vector<HeadlessVirtualDisplay::Preset>& HeadlessVirtualDisplay::hidpiPresets() {
    static const std::vector<Preset> list{easyPreset(), easyComfortablePreset(), hidpi1440Preset(), maxCanvasPreset()};
    return list;
}

std::vector<HeadlessVirtualDisplay::Preset> HeadlessVirtualDisplay::familyPresets(const Preset& preferred) {
    std::vector<Preset> family{preferred};
    for (const auto& member : preferred.hiDPI ? hidpiPresets() : standardPresets()) {
        if (!(member == preferred)) family.push_back(member);
    }
    return family;
}

bool HeadlessVirtualDisplay::displayMode(const platform::CGDisplayMode& mode, const Preset& matches) {
    return mode.width == matches.logicalWidth() && mode.height == matches.logicalHeight() &&
           mode.pixelWidth == matches.pixelWidth && mode.pixelHeight == matches.pixelHeight;
}

// --- State views ----------------------------------------------------------------------------

HeadlessVirtualDisplay::StateSnapshot HeadlessVirtualDisplay::stateSnapshot() const {
    std::lock_guard<std::recursive_mutex> g(stateLock);
    return StateSnapshot{hasDisplayLocked(), displayID,  x,          y,      logicalWidth,
                         logicalHeight,      pixelWidth, pixelHeight, isHiDPI};
}

std::string HeadlessVirtualDisplay::summary() const {
    std::lock_guard<std::recursive_mutex> g(stateLock);
    if (!hasDisplayLocked()) return "virtual display inactive";
    std::string text = "virtual display=" + std::to_string(displayID) + " logical=" + std::to_string(logicalWidth) +
                       "x" + std::to_string(logicalHeight) + " px=" + std::to_string(pixelWidth) + "x" +
                       std::to_string(pixelHeight);
    if (isHiDPI) text += " HiDPI";
    if (currentPreset) text += " preset=" + currentPreset->title;
    return text;
}

std::vector<HeadlessVirtualDisplay::Preset> HeadlessVirtualDisplay::registeredPresetsOfLiveDisplay() const {
    std::lock_guard<std::recursive_mutex> g(stateLock);
    return hasDisplayLocked() ? registeredPresets : std::vector<Preset>{};
}
