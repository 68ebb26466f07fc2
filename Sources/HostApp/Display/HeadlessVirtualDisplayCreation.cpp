// Bringing the headless virtual display into being for a preferred preset
// and taking it away again. The display is made through the window server's
// private virtual-display classes, found by name at run time, once with the
// whole family of the preferred preset, so that switches inside the family
// only change the display mode.

#include <algorithm>
#include <cmath>
#include <limits>

#include "HostApp/Display/HeadlessVirtualDisplay.h"
#include "Platform/Runtime/Log.h"

using namespace platform;

namespace {

// The fixed letter in the top byte of every serial number the Host gives.
constexpr uint32_t kSerialNumberLetter = 'N';
// "QVR", first letter in the highest byte.
constexpr int64_t kDescriptorVendorID = (int64_t{'Q'} << 16) | (int64_t{'V'} << 8) | int64_t{'R'};
constexpr int64_t kDescriptorProductID = 0x484456;
// Millimetres per point when no physical display gives a density.
constexpr double kMillimetresPerPointFallback = 25.4 / 110.0;
constexpr double kRemovalWaitSeconds = 2.4;

std::string joinedTitles(const std::vector<HeadlessVirtualDisplay::Preset>& presets, const std::string& separator) {
    std::string text;
    for (size_t i = 0; i < presets.size(); ++i) {
        if (i > 0) text += separator;
        text += presets[i].title;
    }
    return text;
}

// The display identifier read by key-value coding; 0 when missing, not a
// number or not a valid unsigned 32-bit value.
uint32_t displayIdentifier(const ObjCValue& value) {
    double number = 0;
    if (auto* i = std::get_if<int64_t>(&value)) {
        number = static_cast<double>(*i);
    } else if (auto* d = std::get_if<double>(&value)) {
        number = *d;
    } else {
        return 0;
    }
    if (!(number >= 1) || number > std::numeric_limits<uint32_t>::max()) return 0;
    return static_cast<uint32_t>(number);
}

}  // namespace

std::optional<std::string> HeadlessVirtualDisplay::startPresetDisplay(const Preset& preferredPreset,
                                                                      const std::string& name,
                                                                      uint32_t matchingDisplayID) {
    const std::vector<Preset> family = familyPresets(preferredPreset);
    if (family.empty()) return std::string("no virtual display presets configured");

    bool reusable = false;
    {
        std::lock_guard<std::recursive_mutex> g(stateLock);
        reusable = hasDisplayLocked() &&
                   std::find(registeredPresets.begin(), registeredPresets.end(), preferredPreset) !=
                       registeredPresets.end();
    }
    if (reusable && activatePreset(preferredPreset)) return std::nullopt;

    stop(true);

    int descriptorWidth = 0;
    int descriptorHeight = 0;
    for (const auto& preset : family) {
        descriptorWidth = std::max(descriptorWidth, preset.pixelWidth);
        descriptorHeight = std::max(descriptorHeight, preset.pixelHeight);
    }

    CreatedDisplay created;
    {
        // Snapshots wait for the system call rather than see a half-made display.
        std::lock_guard<std::recursive_mutex> g(stateLock);
        created = createDisplay(descriptorWidth, descriptorHeight, family, name, matchingDisplayID);
    }
    if (!created.display) return created.error.value_or("unknown virtual display error");

    const uint32_t newDisplayID = displayIdentifier(created.display->valueForKey("displayID"));
    if (newDisplayID == 0) {
        stop(true);
        created.display.reset();
        return std::string("CGVirtualDisplay returned displayID 0");
    }

    {
        std::lock_guard<std::recursive_mutex> g(stateLock);
        display = std::move(created.display);
        displayID = newDisplayID;
        currentPreset = preferredPreset;
        registeredPresets = family;
    }

    const std::string titles = joinedTitles(family, ",");
    if (presetReadiness(preferredPreset) == PresetReadiness::ready) {
        {
            std::lock_guard<std::recursive_mutex> g(stateLock);
            applyVerifiedPresetGeometry(newDisplayID, preferredPreset);
        }
        Log::raw("[HeadlessVirtualDisplay] created preset display " + summary() + " presets=" + titles);
    } else {
        const auto geometry = currentGeometry(newDisplayID);
        {
            std::lock_guard<std::recursive_mutex> g(stateLock);
            if (!geometry) {
                applyVerifiedPresetGeometry(newDisplayID, preferredPreset);
            } else {
                applyRealizedGeometry(*geometry);
            }
        }
        schedulePresetActivation(preferredPreset, newDisplayID);
        Log::raw("[HeadlessVirtualDisplay] created pending " + summary() + " presets=" + titles);
    }
    return std::nullopt;
}

HeadlessVirtualDisplay::CreatedDisplay HeadlessVirtualDisplay::createDisplay(int descriptorPixelWidth,
                                                                             int descriptorPixelHeight,
                                                                             const std::vector<Preset>& presetList,
                                                                             const std::string& name,
                                                                             uint32_t matchingDisplayID) {
    const auto descriptorClass = NSClassFromString("CGVirtualDisplayDescriptor");
    const auto settingsClass = NSClassFromString("CGVirtualDisplaySettings");
    const auto modeClass = NSClassFromString("CGVirtualDisplayMode");
    const auto displayClass = NSClassFromString("CGVirtualDisplay");
    if (!descriptorClass || !settingsClass || !modeClass || !displayClass) {
        return {nullptr, "CGVirtualDisplay private SPI unavailable"};
    }

    const int pixelW = std::max(descriptorPixelWidth, 16);
    const int pixelH = std::max(descriptorPixelHeight, 16);
    const bool hiDPI = !presetList.empty() && presetList.front().hiDPI;
    const int pointW = hiDPI ? pixelW / 2 : pixelW;
    const int pointH = hiDPI ? pixelH / 2 : pixelH;
    const CGSize physicalSize = scaledPhysicalSize(pointW, pointH, matchingDisplayID)
                                    .value_or(CGSize{pointW * kMillimetresPerPointFallback,
                                                     pointH * kMillimetresPerPointFallback});

    const ObjCObjectRef descriptor = descriptorClass->newObject();
    if (!descriptor) return {nullptr, "CGVirtualDisplay private SPI unavailable"};
    descriptor->setValue("name", name);
    descriptor->setValue("maxPixelsWide", int64_t{pixelW});
    descriptor->setValue("maxPixelsHigh", int64_t{pixelH});
    descriptor->setValue("sizeInMillimeters", physicalSize);
    descriptor->setValue("vendorID", kDescriptorVendorID);
    descriptor->setValue("productID", kDescriptorProductID);
    descriptor->setValue("serialNum", int64_t{descriptorSerialNumber(pixelW, pixelH, hiDPI)});
    descriptor->setValue("queue", eventQueue);

    const auto displayInit = displayClass->instanceMethod("initWithDescriptor:");
    const ObjCObjectRef instance = displayClass->createInstance();
    if (!displayInit || !instance) return {nullptr, "CGVirtualDisplay init unavailable"};
    const ObjCValue initialised = (*displayInit)(instance, {descriptor});
    const auto* newDisplay = std::get_if<ObjCObjectRef>(&initialised);
    if (!newDisplay || !*newDisplay) return {nullptr, "CGVirtualDisplay init failed"};
    ObjCObjectRef created = *newDisplay;

    const auto modeInit = modeClass->instanceMethod("initWithWidth:height:refreshRate:");
    if (!modeInit) return {nullptr, "CGVirtualDisplayMode init unavailable"};
    const std::vector<double> rates = preferredRefreshRates(matchingDisplayID);
    std::vector<ObjCObjectRef> modes;
    for (const auto& preset : presetList) {
        for (double rate : rates) {
            const ObjCObjectRef mode = modeClass->createInstance();
            if (!mode) return {nullptr, "CGVirtualDisplayMode allocation failed"};
            const ObjCValue made =
                (*modeInit)(mode, {int64_t{preset.logicalWidth()}, int64_t{preset.logicalHeight()}, rate});
            const auto* madeMode = std::get_if<ObjCObjectRef>(&made);
            if (!madeMode || !*madeMode) return {nullptr, "CGVirtualDisplayMode init failed"};
            modes.push_back(*madeMode);
        }
    }

    const ObjCObjectRef settings = settingsClass->newObject();
    if (!settings) return {nullptr, "CGVirtualDisplay private SPI unavailable"};
    settings->setValue("modes", modes);
    settings->setValue("hiDPI", int64_t{hiDPI ? 1 : 0});

    // The implementation is called only through the looked-up value checked
    // here, never through a second look-up that might come back empty.
    const auto applySettings = created->respondsToSelector("applySettings:") && created->objectClass()
                                   ? created->objectClass()->instanceMethod("applySettings:")
                                   : std::nullopt;
    if (!applySettings) return {nullptr, "CGVirtualDisplay applySettings unavailable"};
    const ObjCValue applied = (*applySettings)(created, {settings});
    const auto* accepted = std::get_if<int64_t>(&applied);
    if (accepted && *accepted != 0) return {created, std::nullopt};
    // Dropping the object detaches the half-made display.
    return {nullptr, "CGVirtualDisplay rejected preset display [" + joinedTitles(presetList, ", ") + "]"};
}

uint32_t HeadlessVirtualDisplay::descriptorSerialNumber(int width, int height, bool hiDPI) {
    // The fields are ORed, not packed: a width of 2048 or more reaches into
    // the HiDPI bit. Serial numbers only need to be stable per size.
    const auto w = static_cast<uint32_t>(std::clamp(width, 0, 4095));
    const auto h = static_cast<uint32_t>(std::clamp(height, 0, 4095));
    return (kSerialNumberLetter << 24) | (hiDPI ? (1u << 23) : 0u) | (w << 12) | h;
}

std::vector<double> HeadlessVirtualDisplay::preferredRefreshRates(uint32_t matchingDisplayID) {
    std::vector<double> candidates;
    if (matchingDisplayID != 0) {
        const auto mode = CGDisplayCopyDisplayMode(matchingDisplayID);
        if (mode && mode->refreshRate > 0) candidates.push_back(mode->refreshRate);
    }
    candidates.push_back(60);
    std::vector<double> kept;
    for (double rate : candidates) {
        const bool near = std::any_of(kept.begin(), kept.end(), [&](double k) { return std::fabs(k - rate) < 0.5; });
        if (!near) kept.push_back(rate);
    }
    return kept;
}

std::optional<CGSize> HeadlessVirtualDisplay::scaledPhysicalSize(int pointWidth, int pointHeight,
                                                                 uint32_t matchingDisplayID) {
    if (matchingDisplayID == 0) return std::nullopt;
    const auto mode = CGDisplayCopyDisplayMode(matchingDisplayID);
    if (!mode) return std::nullopt;
    const CGSize screen = CGDisplayScreenSize(matchingDisplayID);
    if (!(screen.width > 10 && screen.height > 10)) return std::nullopt;
    const CGRect bounds = CGDisplayBounds(matchingDisplayID);
    const double referenceWidth =
        mode->pixelWidth > 0 ? mode->pixelWidth : std::max(1.0, static_cast<double>(std::lround(bounds.width)));
    const double referenceHeight =
        mode->pixelHeight > 0 ? mode->pixelHeight : std::max(1.0, static_cast<double>(std::lround(bounds.height)));
    return CGSize{screen.width * pointWidth / referenceWidth, screen.height * pointHeight / referenceHeight};
}

void HeadlessVirtualDisplay::stop(bool waitForRemoval) {
    cancelPendingPresetActivation();
    cancelVirtualDesktopWindowMigration();

    bool wasPresent = false;
    uint32_t stoppedID = 0;
    {
        std::lock_guard<std::recursive_mutex> g(stateLock);
        wasPresent = display != nullptr || displayID != 0;
        stoppedID = displayID;
        display.reset();
        displayID = 0;
        x = y = 0;
        logicalWidth = logicalHeight = 0;
        pixelWidth = pixelHeight = 0;
        isHiDPI = false;
        currentPreset.reset();
        registeredPresets.clear();
    }
    if (!wasPresent) return;
    Log::raw("[HeadlessVirtualDisplay] stopping display=" + std::to_string(stoppedID));
    if (waitForRemoval) waitForDisplayRemoval(stoppedID, kRemovalWaitSeconds);
}
