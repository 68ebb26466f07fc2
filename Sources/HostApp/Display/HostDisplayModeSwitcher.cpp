#include "HostApp/Display/HostDisplayModeSwitcher.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "HostApp/Display/DisplayNumberText.h"
#include "Platform/Runtime/Clock.h"
#include "Platform/Runtime/Dispatch.h"
#include "Platform/Runtime/Log.h"

using namespace platform;

namespace {

using displaytext::roundedHalfAway;
using displaytext::str;

constexpr double kPollInterval = 0.12;
constexpr double kApplyTimeout = 3.0;
constexpr double kAlreadyCurrentTimeout = 0.8;
constexpr double kAspectTolerance = 0.12;
constexpr size_t kMaxRankedCandidates = 12;
constexpr size_t kMaxQuotedAttempts = 8;

const CGDisplayModeListOptions kAllModes{true};

double boundsArea(uint32_t id) {
    const CGRect b = CGDisplayBounds(id);
    return std::max(0.0, b.width * b.height);
}

// "w x h [px pw x ph" as the attempt notes quote a candidate.
std::string candidateText(const CGDisplayMode& m) {
    return str(m.width) + "x" + str(m.height) + "[px " + str(HostDisplayModeSwitcher::pixelWidth(m)) + "x" +
           str(HostDisplayModeSwitcher::pixelHeight(m));
}

int64_t candidateScore(const CGDisplayMode& m, int w, int h, int pw, int ph, bool preferHiDPI) {
    const int64_t logicalDistance = std::llabs(int64_t(m.width) - w) + std::llabs(int64_t(m.height) - h);
    int64_t pixelDistance = 0;
    if (pw >= 1 && ph >= 1) {
        pixelDistance = std::llabs(int64_t(HostDisplayModeSwitcher::pixelWidth(m)) - pw) +
                        std::llabs(int64_t(HostDisplayModeSwitcher::pixelHeight(m)) - ph);
    }
    const int64_t logicalWeight = preferHiDPI ? 3000 : 300;
    const int64_t pixelWeight = preferHiDPI ? 1500 : 10000;
    const int64_t hiDPIPenalty = HostDisplayModeSwitcher::isHiDPI(m) != preferHiDPI ? 800000 : 0;
    const int64_t rate = m.refreshRate > 0 ? roundedHalfAway(m.refreshRate) : 60;
    const int64_t refreshPenalty = std::max<int64_t>(0, 240 - rate);
    return pixelDistance * pixelWeight + logicalDistance * logicalWeight + hiDPIPenalty + refreshPenalty;
}

void rankCandidates(std::vector<CGDisplayMode>& modes, int w, int h, int pw, int ph, bool preferHiDPI) {
    std::stable_sort(modes.begin(), modes.end(), [&](const CGDisplayMode& a, const CGDisplayMode& b) {
        const int64_t sa = candidateScore(a, w, h, pw, ph, preferHiDPI);
        const int64_t sb = candidateScore(b, w, h, pw, ph, preferHiDPI);
        if (sa != sb) return sa < sb;
        return HostDisplayModeSwitcher::pixelWidth(a) > HostDisplayModeSwitcher::pixelWidth(b);
    });
}

// The desktop modes of one display worth trying, best first: the exact
// sizes when exactness is required, else the closest dozen, preferring the
// target's aspect ratio.
std::vector<CGDisplayMode> rankedCandidates(const std::vector<CGDisplayMode>& all, int w, int h, int pw, int ph,
                                            bool preferHiDPI, bool requireHiDPI, bool requireExactMatch) {
    using Switcher = HostDisplayModeSwitcher;
    std::vector<CGDisplayMode> usable;
    for (const auto& m : all) {
        if (m.usableForDesktopGUI && (!requireHiDPI || Switcher::isHiDPI(m))) usable.push_back(m);
    }
    std::vector<CGDisplayMode> candidates;
    if (requireExactMatch) {
        for (const auto& m : usable) {
            if (m.width != w || m.height != h) continue;
            if (pw >= 1 && ph >= 1 && (Switcher::pixelWidth(m) != pw || Switcher::pixelHeight(m) != ph)) continue;
            candidates.push_back(m);
        }
        rankCandidates(candidates, w, h, pw, ph, preferHiDPI);
        return candidates;
    }
    const double targetAspect = static_cast<double>(pw) / std::max(ph, 1);
    for (const auto& m : usable) {
        if (Switcher::pixelWidth(m) < 1 || Switcher::pixelHeight(m) < 1) continue;
        const double aspect = static_cast<double>(Switcher::pixelWidth(m)) / Switcher::pixelHeight(m);
        if (std::fabs(aspect - targetAspect) < kAspectTolerance) candidates.push_back(m);
    }
    if (candidates.empty()) candidates = usable;
    rankCandidates(candidates, w, h, pw, ph, preferHiDPI);
    if (candidates.size() > kMaxRankedCandidates) candidates.resize(kMaxRankedCandidates);
    return candidates;
}

// Sets the display's mode in one display-configuration transaction for the
// session: none when the transaction could not begin, else the error of
// configuring or completing it.
std::optional<CGError> configureModeForSession(uint32_t displayID, const CGDisplayMode& mode) {
    CGDisplayConfigRef config;
    if (CGBeginDisplayConfiguration(&config) != kCGErrorSuccess || !config) return std::nullopt;
    if (CGError e = CGConfigureDisplayWithDisplayMode(config, displayID, mode); e != kCGErrorSuccess) {
        CGCancelDisplayConfiguration(config);
        return e;
    }
    return CGCompleteDisplayConfiguration(config, CGConfigureOption::forSession);
}

std::string joinedFirst(const std::vector<std::string>& parts, const std::string& separator, size_t limit) {
    std::string out;
    for (size_t i = 0; i < parts.size() && i < limit; ++i) {
        if (i) out += separator;
        out += parts[i];
    }
    return out;
}

}  // namespace

// --- Mode measurements ---------------------------------------------------------

int HostDisplayModeSwitcher::pixelWidth(const CGDisplayMode& mode) {
    return mode.pixelWidth >= 1 ? mode.pixelWidth : mode.width;
}

int HostDisplayModeSwitcher::pixelHeight(const CGDisplayMode& mode) {
    return mode.pixelHeight >= 1 ? mode.pixelHeight : mode.height;
}

bool HostDisplayModeSwitcher::isHiDPI(const CGDisplayMode& mode) {
    if (mode.width < 1) return false;
    return static_cast<double>(pixelWidth(mode)) / mode.width > 1.25;
}

// --- Displays ---------------------------------------------------------------------

std::vector<uint32_t> HostDisplayModeSwitcher::activeDisplayIDs() {
    std::vector<CGDirectDisplayID> online;
    if (CGGetOnlineDisplayList(online) != kCGErrorSuccess || online.empty()) return {};
    std::vector<uint32_t> result;
    for (CGDirectDisplayID id : online) {
        if (CGDisplayIsOnline(id) && CGDisplayIsActive(id)) result.push_back(id);
    }
    return result;
}

uint32_t HostDisplayModeSwitcher::defaultDisplayID() {
    const uint32_t main = CGMainDisplayID();
    const auto active = activeDisplayIDs();
    if (std::find(active.begin(), active.end(), main) != active.end()) return main;
    if (!active.empty()) return active.front();
    return main;
}

std::vector<uint32_t> HostDisplayModeSwitcher::activePhysicalDisplayIDs(uint32_t excluding) {
    std::vector<uint32_t> result;
    for (uint32_t id : activeDisplayIDs()) {
        if (excluding != 0 && id == excluding) continue;
        if (!CGDisplayIsBuiltin(id) && CGDisplayIsInMirrorSet(id)) continue;
        if (CGDisplayIsAsleep(id)) continue;
        if (CGDisplayVendorNumber(id) == kUnknownDisplayVendor && CGDisplayModelNumber(id) == kVirtualDisplayModel)
            continue;
        const CGSize size = CGDisplayScreenSize(id);
        if (size.width == 0 && size.height == 0) continue;
        result.push_back(id);
    }
    return result;
}

void HostDisplayModeSwitcher::appendUnique(uint32_t id, std::vector<uint32_t>& list,
                                           const std::vector<uint32_t>& source) {
    if (std::find(source.begin(), source.end(), id) == source.end()) return;
    if (std::find(list.begin(), list.end(), id) != list.end()) return;
    list.push_back(id);
}

std::vector<uint32_t> HostDisplayModeSwitcher::orderedActiveDisplayIDs(std::optional<uint32_t> preferredDisplayID,
                                                                       bool allowFallback) {
    std::vector<uint32_t> base = activeDisplayIDs();
    if (base.empty()) base = {CGMainDisplayID()};
    if (!allowFallback && preferredDisplayID) {
        if (std::find(base.begin(), base.end(), *preferredDisplayID) != base.end()) return {*preferredDisplayID};
        return {};
    }
    std::vector<uint32_t> result;
    if (preferredDisplayID) appendUnique(*preferredDisplayID, result, base);
    appendUnique(CGMainDisplayID(), result, base);
    std::vector<uint32_t> byArea = base;
    std::stable_sort(byArea.begin(), byArea.end(),
                     [](uint32_t a, uint32_t b) { return boundsArea(a) > boundsArea(b); });
    for (uint32_t id : byArea) appendUnique(id, result, base);
    return result;
}

std::optional<uint32_t> HostDisplayModeSwitcher::nextDisplayID(std::optional<uint32_t> after) {
    const auto order = orderedActiveDisplayIDs(std::nullopt, true);
    if (order.empty()) return std::nullopt;
    if (after) {
        auto it = std::find(order.begin(), order.end(), *after);
        if (it != order.end()) {
            ++it;
            return it == order.end() ? order.front() : *it;
        }
    }
    return order.front();
}

// --- Modes and geometry ----------------------------------------------------------

bool HostDisplayModeSwitcher::isSameMode(const CGDisplayMode& a, const CGDisplayMode& b) {
    if (a.ioDisplayModeID != 0 && b.ioDisplayModeID != 0 && a.ioDisplayModeID == b.ioDisplayModeID) return true;
    return a.width == b.width && a.height == b.height && pixelWidth(a) == pixelWidth(b) &&
           pixelHeight(a) == pixelHeight(b) && std::fabs(a.refreshRate - b.refreshRate) < 0.6;
}

HostDisplayGeometry HostDisplayModeSwitcher::currentGeometry(uint32_t displayID,
                                                            const std::optional<CGDisplayMode>& fallbackMode) {
    std::optional<CGDisplayMode> mode = CGDisplayCopyDisplayMode(displayID);
    if (!mode) mode = fallbackMode;
    const CGRect bounds = CGDisplayBounds(displayID);
    const CGDisplayMode m = mode.value_or(CGDisplayMode{});
    HostDisplayGeometry g;
    g.displayID = displayID;
    g.logicalWidth = m.width >= 1 ? m.width : static_cast<int>(std::max<long long>(1, roundedHalfAway(bounds.width)));
    g.logicalHeight =
        m.height >= 1 ? m.height : static_cast<int>(std::max<long long>(1, roundedHalfAway(bounds.height)));
    // Without any mode there is no pixel size to report but the logical one.
    g.pixelWidth = mode ? pixelWidth(m) : g.logicalWidth;
    g.pixelHeight = mode ? pixelHeight(m) : g.logicalHeight;
    if (g.pixelWidth < 1) g.pixelWidth = g.logicalWidth;
    if (g.pixelHeight < 1) g.pixelHeight = g.logicalHeight;
    g.refreshRate = m.refreshRate;
    g.isHiDPI = static_cast<double>(g.pixelWidth) / g.logicalWidth > 1.25;
    return g;
}

bool HostDisplayModeSwitcher::waitForDisplay(uint32_t displayID, const CGDisplayMode& mode, double timeout) {
    const uint64_t deadline = Clock::uptimeNs() + static_cast<uint64_t>(std::max(0.0, timeout) * 1e9);
    auto shows = [&] {
        auto current = CGDisplayCopyDisplayMode(displayID);
        return current && isSameMode(*current, mode);
    };
    do {
        if (shows()) return true;
        sleepFor(kPollInterval);
    } while (Clock::uptimeNs() < deadline);
    return shows();
}

std::string HostDisplayModeSwitcher::actualDisplayDescription(uint32_t displayID) {
    const CGRect b = CGDisplayBounds(displayID);
    std::string text = "bounds " + str(roundedHalfAway(b.width)) + "x" + str(roundedHalfAway(b.height));
    auto current = CGDisplayCopyDisplayMode(displayID);
    if (!current) return text + " mode unknown";
    return text + " current " + candidateText(*current) + "]";
}

std::vector<CGDisplayMode> HostDisplayModeSwitcher::candidateModes(uint32_t displayID) {
    return CGDisplayCopyAllDisplayModes(displayID, kAllModes).value_or(std::vector<CGDisplayMode>{});
}

DisplayModeTarget HostDisplayModeSwitcher::displayModeTarget(VideoCaptureMode mode) {
    const CaptureModeProfileDefinition& definition = captureModeDefinition(mode);
    const ResolutionProfile& r = definition.resolution;
    return DisplayModeTarget{r.logicalWidth,   r.logicalHeight, r.pixelWidth, r.pixelHeight,
                             definition.preferHiDPIPhysicalSwitch, false};
}

// --- Switching and restoring --------------------------------------------------------

void HostDisplayModeSwitcher::rememberOriginalModeIfNeeded(uint32_t displayID) {
    std::lock_guard<std::mutex> g(savedModeLock);
    if (savedModes.count(displayID)) return;
    if (auto current = CGDisplayCopyDisplayMode(displayID)) savedModes[displayID] = SavedDisplayMode{*current};
}

HostDisplayModeSwitcher::SwitchResult HostDisplayModeSwitcher::applyDisplayMode(const CGDisplayMode& mode,
                                                                                uint32_t displayID,
                                                                                const std::string& purpose) {
    if (auto current = CGDisplayCopyDisplayMode(displayID); current && isSameMode(*current, mode)) {
        return SwitchResult::success(currentGeometry(displayID, mode));
    }
    const auto change = configureModeForSession(displayID, mode);
    if (!change) return SwitchResult::failure("display configuration could not begin for " + purpose);
    const std::string modeText = purpose + " mode id=" + str(mode.ioDisplayModeID);
    if (*change != kCGErrorSuccess) return SwitchResult::failure(modeText + " CG " + str(*change));
    if (waitForDisplay(displayID, mode, kApplyTimeout)) return SwitchResult::success(currentGeometry(displayID, mode));
    return SwitchResult::failure(modeText + " applied but actual is " + actualDisplayDescription(displayID));
}

HostDisplayModeSwitcher::SwitchResult HostDisplayModeSwitcher::switchDisplayMode(
    int w, int h, int pw, int ph, bool preferHiDPI, bool requireHiDPI, bool requireExactMatch,
    std::optional<uint32_t> preferredDisplayID, bool allowFallback) {
    const auto order = orderedActiveDisplayIDs(preferredDisplayID, allowFallback);
    if (order.empty()) return SwitchResult::failure("Host has no active displays");

    const std::string targetText = "logical " + str(w) + "x" + str(h) + " / pixel " + str(pw) + "x" + str(ph);
    std::vector<std::string> rejectionNotes;
    for (uint32_t id : order) {
        auto all = CGDisplayCopyAllDisplayModes(id, kAllModes);
        if (!all || all->empty()) {
            rejectionNotes.push_back("display " + str(id) + " has no switchable modes");
            continue;
        }
        const auto candidates = rankedCandidates(*all, w, h, pw, ph, preferHiDPI, requireHiDPI, requireExactMatch);
        if (candidates.empty()) {
            rejectionNotes.push_back("display " + str(id) + " bounds " + boundsDescription(id) + " has no " +
                                     (requireExactMatch ? "exact" : "best") + (requireHiDPI ? " HiDPI" : "") +
                                     " candidate for " + targetText + "; modes: " + displayModeListDescription(*all));
            continue;
        }

        std::vector<std::string> attemptNotes;
        for (const auto& candidate : candidates) {
            Log::raw("[NorvessalHost] display switch try display=" + str(id) + " target=" + str(w) + "x" + str(h) +
                     " px=" + str(pw) + "x" + str(ph) + " preferHiDPI=" + (preferHiDPI ? "true" : "false") +
                     " -> point=" + str(candidate.width) + "x" + str(candidate.height) + " pixel=" +
                     str(pixelWidth(candidate)) + "x" + str(pixelHeight(candidate)) +
                     " id=" + str(candidate.ioDisplayModeID));
            const std::string c = candidateText(candidate);

            if (auto current = CGDisplayCopyDisplayMode(id); current && isSameMode(*current, candidate)) {
                if (waitForDisplay(id, candidate, kAlreadyCurrentTimeout)) {
                    return SwitchResult::success(currentGeometry(id, candidate));
                }
                attemptNotes.push_back(c + "] already current but did not settle");
                continue;
            }
            if (id != 0) rememberOriginalModeIfNeeded(id);

            const auto change = configureModeForSession(id, candidate);
            if (!change) return SwitchResult::failure("display configuration could not begin");
            if (*change != kCGErrorSuccess) {
                attemptNotes.push_back(c + "] CG " + str(*change));
                continue;
            }
            if (!waitForDisplay(id, candidate, kApplyTimeout)) {
                attemptNotes.push_back(c + "] applied but actual is " + actualDisplayDescription(id));
                continue;
            }
            const HostDisplayGeometry g = currentGeometry(id, candidate);
            if (!requireExactMatch) return SwitchResult::success(g);
            bool exact = g.logicalWidth == w && g.logicalHeight == h;
            if (exact && pw >= 1 && ph >= 1) {
                exact = g.pixelWidth == pw && g.pixelHeight == ph && g.isHiDPI == preferHiDPI;
            }
            if (exact) return SwitchResult::success(g);
            attemptNotes.push_back(c + "] settled as " + str(g.logicalWidth) + "x" + str(g.logicalHeight) + "[px " +
                                   str(g.pixelWidth) + "x" + str(g.pixelHeight) + "] and is not exact target");
        }
        rejectionNotes.push_back("display " + str(id) + " rejected candidates: " +
                                 joinedFirst(attemptNotes, ", ", kMaxQuotedAttempts));
    }
    return SwitchResult::failure("no active display switched to " + targetText +
                                 (requireExactMatch ? " (exact required)" : "") + "; " +
                                 joinedFirst(rejectionNotes, " | ", rejectionNotes.size()));
}

std::optional<HostDisplayModeSwitcher::SwitchResult> HostDisplayModeSwitcher::restoreOriginalMode(
    uint32_t displayID) {
    if (displayID == 0) return std::nullopt;
    std::optional<CGDisplayMode> saved;
    {
        std::lock_guard<std::mutex> g(savedModeLock);
        auto it = savedModes.find(displayID);
        if (it != savedModes.end()) saved = it->second.mode;
    }
    if (!saved) return std::nullopt;
    SwitchResult result = applyDisplayMode(*saved, displayID, "restore");
    if (result.isSuccess()) {
        std::lock_guard<std::mutex> g(savedModeLock);
        savedModes.erase(displayID);
    }
    return result;
}

std::vector<std::string> HostDisplayModeSwitcher::restoreAllOriginalModes() {
    std::vector<uint32_t> ids;
    {
        std::lock_guard<std::mutex> g(savedModeLock);
        for (const auto& entry : savedModes) ids.push_back(entry.first);
    }
    std::sort(ids.begin(), ids.end());
    std::vector<std::string> lines;
    for (uint32_t id : ids) {
        auto result = restoreOriginalMode(id);
        if (!result) continue;
        lines.push_back(result->isSuccess() ? "restored " + result->geometry().summary()
                                            : "restore display " + str(id) + " failed: " + result->message());
    }
    return lines;
}

void HostDisplayModeSwitcher::clearSavedModesForTesting() {
    std::lock_guard<std::mutex> g(savedModeLock);
    savedModes.clear();
}
