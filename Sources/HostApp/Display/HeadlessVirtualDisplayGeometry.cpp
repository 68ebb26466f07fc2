// The headless virtual display's geometry: reading what the window server
// reports, correcting its two known reporting differences against the
// expected preset, storing it, and the blocking waits for a display to
// leave the display list or to become the main display.
//
// The window server is always queried without stateLock; results are stored
// under it, and only when the display read is still the one held.

#include <algorithm>
#include <cmath>

#include "HostApp/Display/HeadlessVirtualDisplay.h"

using namespace platform;

namespace {

// One step of the waits: the run loop's turn, then the pause.
constexpr double kWaitRunLoopSeconds = 0.08;
constexpr double kWaitPauseSeconds = 0.08;
// A standard preset may be reported up to this many points short in height.
constexpr int kLargestHeightShortfall = 16;

int rounded(double value) { return static_cast<int>(std::lround(value)); }

}  // namespace

std::optional<HeadlessVirtualDisplay::RealizedGeometry> HeadlessVirtualDisplay::currentGeometry(uint32_t id) {
    if (id == 0) return std::nullopt;
    const auto mode = CGDisplayCopyDisplayMode(id);
    if (!mode) return std::nullopt;
    const CGRect bounds = CGDisplayBounds(id);
    RealizedGeometry g;
    g.displayID = id;
    g.x = rounded(bounds.x);
    g.y = rounded(bounds.y);
    g.logicalWidth = std::max(1, rounded(bounds.width));
    g.logicalHeight = std::max(1, rounded(bounds.height));
    g.pixelWidth = mode->pixelWidth > 0 ? mode->pixelWidth : std::max(mode->width, g.logicalWidth);
    g.pixelHeight = mode->pixelHeight > 0 ? mode->pixelHeight : std::max(mode->height, g.logicalHeight);
    g.isHiDPI = static_cast<double>(g.pixelWidth) / static_cast<double>(g.logicalWidth) > 1.25;
    return g;
}

HeadlessVirtualDisplay::RealizedGeometry HeadlessVirtualDisplay::normalizedGeometry(
    const RealizedGeometry& g, const std::optional<Preset>& expectedPreset) {
    if (!expectedPreset) return g;
    const Preset& p = *expectedPreset;

    // A HiDPI preset reported at 1:1.
    if (p.hiDPI && g.pixelWidth == p.pixelWidth && g.pixelHeight == p.pixelHeight &&
        g.logicalWidth == g.pixelWidth && g.logicalHeight == g.pixelHeight) {
        RealizedGeometry n = g;
        n.logicalWidth = p.logicalWidth();
        n.logicalHeight = p.logicalHeight();
        n.isHiDPI = true;
        return n;
    }

    // A standard preset reported slightly short in height.
    const int logicalShort = p.pixelHeight - g.logicalHeight;
    const int pixelShort = p.pixelHeight - g.pixelHeight;
    if (!p.hiDPI && g.pixelWidth == p.pixelWidth && g.logicalWidth == p.logicalWidth() && logicalShort >= 1 &&
        logicalShort <= kLargestHeightShortfall && pixelShort >= 1 && pixelShort <= kLargestHeightShortfall) {
        RealizedGeometry n = g;
        n.logicalWidth = p.pixelWidth;
        n.pixelWidth = p.pixelWidth;
        n.logicalHeight = p.pixelHeight;
        n.pixelHeight = p.pixelHeight;
        return n;
    }
    return g;
}

void HeadlessVirtualDisplay::applyRealizedGeometry(const RealizedGeometry& g) {
    std::lock_guard<std::recursive_mutex> lock(stateLock);
    const RealizedGeometry n = normalizedGeometry(g, currentPreset);
    displayID = n.displayID;
    x = n.x;
    y = n.y;
    logicalWidth = n.logicalWidth;
    logicalHeight = n.logicalHeight;
    pixelWidth = n.pixelWidth;
    pixelHeight = n.pixelHeight;
    isHiDPI = n.isHiDPI;
    // The preset is identified by its point size and scale alone; it need
    // not be one the display was created with.
    currentPreset.reset();
    for (const auto& preset : presets()) {
        if (preset.logicalWidth() == n.logicalWidth && preset.logicalHeight() == n.logicalHeight &&
            preset.hiDPI == n.isHiDPI) {
            currentPreset = preset;
            break;
        }
    }
}

void HeadlessVirtualDisplay::applyVerifiedPresetGeometry(uint32_t id, const Preset& preset) {
    std::lock_guard<std::recursive_mutex> lock(stateLock);
    const CGRect bounds = CGDisplayBounds(id);
    displayID = id;
    x = rounded(bounds.x);
    y = rounded(bounds.y);
    logicalWidth = preset.logicalWidth();
    logicalHeight = preset.logicalHeight();
    pixelWidth = preset.pixelWidth;
    pixelHeight = preset.pixelHeight;
    isHiDPI = preset.hiDPI;
    currentPreset = preset;
}

void HeadlessVirtualDisplay::refreshGeometry() {
    uint32_t id = 0;
    {
        std::lock_guard<std::recursive_mutex> lock(stateLock);
        if (!display) return;
        id = displayID;
    }
    if (id == 0) return;
    const auto g = currentGeometry(id);
    if (!g) return;
    std::lock_guard<std::recursive_mutex> lock(stateLock);
    if (display && displayID == id) applyRealizedGeometry(*g);
}

void HeadlessVirtualDisplay::refreshGeometry(const Preset& preset) {
    uint32_t id = 0;
    {
        std::lock_guard<std::recursive_mutex> lock(stateLock);
        if (!hasDisplayLocked() ||
            std::find(registeredPresets.begin(), registeredPresets.end(), preset) == registeredPresets.end()) {
            return;
        }
        id = displayID;
    }
    const auto mode = CGDisplayCopyDisplayMode(id);
    if (!mode || !displayMode(*mode, preset)) return;
    std::lock_guard<std::recursive_mutex> lock(stateLock);
    if (display && displayID == id) applyVerifiedPresetGeometry(id, preset);
}

std::vector<uint32_t> HeadlessVirtualDisplay::activeDisplayIDs() {
    std::vector<CGDirectDisplayID> ids;
    if (CGGetActiveDisplayList(ids) != kCGErrorSuccess) return {};
    return ids;
}

void HeadlessVirtualDisplay::waitForDisplayRemoval(uint32_t id, double timeout) {
    if (id == 0) return;
    const Date deadline = Clock::now().addingSeconds(timeout);
    for (;;) {
        const auto active = activeDisplayIDs();
        if (std::find(active.begin(), active.end(), id) == active.end()) return;
        sleepFor(kWaitRunLoopSeconds);
        sleepFor(kWaitPauseSeconds);
        if (Clock::now() >= deadline) return;
    }
}

bool HeadlessVirtualDisplay::waitForMainDisplay(uint32_t id, double timeout) {
    const Date deadline = Clock::now().addingSeconds(timeout);
    for (;;) {
        if (CGMainDisplayID() == id) return true;
        sleepFor(kWaitRunLoopSeconds);
        sleepFor(kWaitPauseSeconds);
        if (Clock::now() >= deadline) break;
    }
    return CGMainDisplayID() == id;
}
