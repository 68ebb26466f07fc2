// The switcher's layout and report operations, and the diagnostics reports
// built on them.

#include "HostApp/Display/DisplayDiagnostics.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>

#include "HostApp/Display/DisplayNumberText.h"
#include "HostApp/Display/HostDisplayModeSwitcher.h"

using namespace platform;

namespace {

using displaytext::roundedHalfAway;
using displaytext::str;

constexpr size_t kMaxListedModes = 32;

std::string refreshText(double rate) {
    if (!(rate > 0)) return "";
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, " %.0fHz", rate);
    return buffer;
}

// Active displays, largest bounds first; ties keep the online-list order.
std::vector<uint32_t> activeDisplaysByArea() {
    std::vector<uint32_t> ids = HostDisplayModeSwitcher::activeDisplayIDs();
    auto area = [](uint32_t id) {
        const CGRect b = CGDisplayBounds(id);
        return std::max(0.0, b.width * b.height);
    };
    std::stable_sort(ids.begin(), ids.end(), [&](uint32_t a, uint32_t b) { return area(a) > area(b); });
    return ids;
}

// Size, refresh and kind of a mode, as the mode list and the mode
// description both begin.
std::string modeListEntry(const CGDisplayMode& m) {
    using Switcher = HostDisplayModeSwitcher;
    return str(m.width) + "x" + str(m.height) + "[px " + str(Switcher::pixelWidth(m)) + "x" +
           str(Switcher::pixelHeight(m)) + "]" + refreshText(m.refreshRate) + (Switcher::isHiDPI(m) ? " HiDPI" : "") +
           (m.usableForDesktopGUI ? "" : " notDesktop");
}

std::string currentModeText(uint32_t id) {
    auto current = CGDisplayCopyDisplayMode(id);
    return current ? HostDisplayModeSwitcher::modeDescription(*current) : std::string("unknown");
}

// "display N[ main] bounds B current M", shared by the report and the picker.
std::string displayTitle(uint32_t id) {
    return "display " + str(id) + (id == CGMainDisplayID() ? " main" : "") + " bounds " +
           HostDisplayModeSwitcher::boundsDescription(id) + " current " + currentModeText(id);
}

}  // namespace

std::optional<DisplayLayoutPayload> HostDisplayModeSwitcher::displayLayout(uint32_t displayID) {
    const CGRect bounds = CGDisplayBounds(displayID);
    if (!(bounds.width > 0) || !(bounds.height > 0)) return std::nullopt;

    std::vector<CGRect> rects;
    for (uint32_t id : activeDisplayIDs()) {
        const CGRect r = CGDisplayBounds(id);
        if (r.width > 0 && r.height > 0) rects.push_back(r);
    }
    CGRect unionRect = bounds;
    for (const auto& r : rects) unionRect = CGRectUnion(unionRect, r);

    DisplayLayoutPayload p;
    p.displayID = displayID;
    if (auto mode = CGDisplayCopyDisplayMode(displayID)) {
        p.targetWidth = std::max(1, mode->width);
        p.targetHeight = std::max(1, mode->height);
        p.pixelWidth = pixelWidth(*mode);
        p.pixelHeight = pixelHeight(*mode);
    } else {
        p.targetWidth = std::max(1LL, roundedHalfAway(bounds.width));
        p.targetHeight = std::max(1LL, roundedHalfAway(bounds.height));
        p.pixelWidth = roundedHalfAway(bounds.width);
        p.pixelHeight = roundedHalfAway(bounds.height);
    }
    if (rects.size() >= 2) {
        p.unionWidth = roundedHalfAway(unionRect.width);
        p.unionHeight = roundedHalfAway(unionRect.height);
    } else {
        p.unionWidth = p.targetWidth;
        p.unionHeight = p.targetHeight;
    }
    p.targetX = roundedHalfAway(bounds.x);
    p.targetY = roundedHalfAway(bounds.y);
    p.unionX = roundedHalfAway(unionRect.x);
    p.unionY = roundedHalfAway(unionRect.y);
    p.flags = static_cast<double>(p.pixelWidth) / static_cast<double>(p.targetWidth) > 1.25
                  ? DisplayLayoutPayload::hiDPIFlag
                  : 0;
    return p;
}

std::string HostDisplayModeSwitcher::displayDiagnostics() {
    const auto ids = activeDisplaysByArea();
    if (ids.empty()) return "Displays: none";
    std::string text = "Displays:\n";
    for (size_t i = 0; i < ids.size(); ++i) {
        if (i) text += "\n";
        text += "  " + displayTitle(ids[i]) + "\n    modes: " + displayModeListDescription(candidateModes(ids[i]));
    }
    return text;
}

std::string HostDisplayModeSwitcher::displayModeListDescription(const std::vector<CGDisplayMode>& modes) {
    std::vector<std::string> texts;
    std::set<std::string> seen;
    for (const auto& m : modes) {
        std::string t = modeListEntry(m);
        if (!seen.insert(t).second) continue;
        texts.push_back(std::move(t));
        if (texts.size() == kMaxListedModes) break;
    }
    std::string out;
    for (size_t i = 0; i < texts.size(); ++i) {
        if (i) out += ", ";
        out += texts[i];
    }
    return out;
}

std::vector<DisplaySelectionOption> HostDisplayModeSwitcher::displaySelectionOptions() {
    std::vector<DisplaySelectionOption> options;
    for (uint32_t id : activeDisplaysByArea()) options.push_back(DisplaySelectionOption{id, displayTitle(id)});
    return options;
}

std::string HostDisplayModeSwitcher::modeDescription(const CGDisplayMode& m) {
    return modeListEntry(m) + " id=" + str(m.ioDisplayModeID) + " flags=" + str(m.ioFlags);
}

std::string HostDisplayModeSwitcher::boundsDescription(uint32_t displayID) {
    const CGRect b = CGDisplayBounds(displayID);
    return str(roundedHalfAway(b.width)) + "x" + str(roundedHalfAway(b.height)) + "@" + str(roundedHalfAway(b.x)) +
           "," + str(roundedHalfAway(b.y));
}

HeadlessVirtualDisplayTarget HeadlessVirtualDisplayTarget::forResolution(const ResolutionProfile& resolution) {
    return HeadlessVirtualDisplayTarget{resolution.logicalWidth, resolution.logicalHeight,
                                        std::max(1, resolution.pixelWidth / std::max(1, resolution.logicalWidth))};
}

std::string HeadlessVirtualDisplayTarget::summary() const {
    const std::string logical = "logical=" + str(logicalWidth) + "x" + str(logicalHeight);
    const std::string px = "px=" + str(static_cast<long long>(logicalWidth) * scale) + "x" +
                           str(static_cast<long long>(logicalHeight) * scale);
    if (scale < 2) return logical + " " + px;
    return logical + " @" + str(scale) + "x " + px + " HiDPI";
}

std::string displaySelectionReport(const DisplaySelectionState& s) {
    std::string backend = "real display";
    std::string details;
    if (s.useHeadlessVirtualDisplay) {
        backend = s.headlessDisplayIsActive ? "headless virtual active" : "headless virtual requested (fallback active)";
        details = "\nVirtual template: " + s.virtualTemplate.summary() + "\nVirtual actual: " + s.virtualActualSummary +
                  "\nPhysical display: " + str(s.physicalDisplayID);
    }
    return "Selected display: " + str(s.selectedDisplayID) + " (" + (s.displaySelectionIsManual ? "manual" : "auto") +
           "; backend " + backend + "; switch fallback " + (s.displaySelectionIsManual ? "off" : "on") + ")" + details +
           "\n" + HostDisplayModeSwitcher::displayDiagnostics();
}
