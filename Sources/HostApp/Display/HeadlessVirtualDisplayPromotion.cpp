// Desktop promotion and window migration: making the headless virtual
// display the Mac's main display in one display-configuration transaction,
// then moving other applications' windows onto it through Accessibility,
// and, while migration stays on, sweeping again 0.65 s after every launch,
// activation or unhiding of an application.
//
// stateLock is held only to read the display and its identifier, never
// across configuration, waits or Accessibility calls. The three migration
// fields are reached from the promotion caller's queue, the workspace
// notification thread and eventQueue, so migrationLock guards them; it is
// never held while a sweep runs.

#include <algorithm>
#include <cmath>

#include "HostApp/Display/HeadlessVirtualDisplay.h"
#include "Platform/Runtime/Log.h"
#include "Platform/AppKit/Workspace.h"

using namespace platform;

namespace {

constexpr double kMainDisplayWaitSeconds = 2.0;
constexpr double kWindowSweepDelay = 0.65;
constexpr double kShortestSweepDelay = 0.1;
constexpr double kSleepPreflightPause = 0.04;
constexpr float kAccessibilityTimeout = 0.2f;
constexpr double kSmallestHandledWindowSide = 40;
constexpr double kTargetMargin = 20;
constexpr double kTargetWidthAllowance = 40;
constexpr double kTargetHeightAllowance = 40;
constexpr double kNarrowestMovedWindow = 240;
constexpr double kLowestMovedWindow = 160;

// Whole points, halves away from zero, never less than one.
int advanceOf(double width) { return std::max(1, static_cast<int>(std::lround(width))); }

bool containsPoint(const CGRect& r, double px, double py) {
    return px >= r.x && px < r.x + r.width && py >= r.y && py < r.y + r.height;
}

std::string joinedWith(const std::vector<std::string>& parts, const std::string& separator) {
    std::string text;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) text += separator;
        text += parts[i];
    }
    return text;
}

// Applications whose windows stay where they are.
bool isSkippedApplication(const RunningApplication& app, const std::string& ownBundleIdentifier) {
    if (app.processIdentifier <= 0 || app.isTerminated ||
        app.activationPolicy == ApplicationActivationPolicy::prohibited) {
        return true;
    }
    if (!app.bundleIdentifier) return false;
    const std::string& id = *app.bundleIdentifier;
    return id == ownBundleIdentifier || id == "com.apple.dock" || id == "com.apple.systemuiserver" ||
           id == "com.apple.WindowManager";
}

}  // namespace

HeadlessVirtualDisplay::PromotionResult HeadlessVirtualDisplay::promoteToPrimaryDesktop(
    uint32_t referenceDisplayID, bool allowWindowMigration, std::optional<Date> mainDisplayDeadline) {
    uint32_t virtualID = 0;
    {
        std::lock_guard<std::recursive_mutex> g(stateLock);
        if (!hasDisplayLocked()) return {false, "virtual display inactive"};
        virtualID = displayID;
    }
    cancelVirtualDesktopWindowMigration();

    const uint32_t reference = referenceDisplayID != 0 ? referenceDisplayID : CGMainDisplayID();
    const CGRect virtualBounds = CGDisplayBounds(virtualID);
    if (!(virtualBounds.width > 0 && virtualBounds.height > 0)) return {false, PromotionResult::boundsUnavailable};

    const auto active = activeDisplayIDs();
    auto isActive = [&](uint32_t id) { return std::find(active.begin(), active.end(), id) != active.end(); };
    if (!isActive(virtualID)) return {false, "virtual display " + std::to_string(virtualID) + " is not active"};

    CGDisplayConfigRef config;
    if (CGBeginDisplayConfiguration(&config) != kCGErrorSuccess || !config) {
        return {false, "display configuration could not begin"};
    }

    bool mirrored = false;
    std::string mirrorNote = "physical mirror not requested";
    if (reference != 0 && reference != virtualID && isActive(reference)) {
        const CGError error = CGConfigureDisplayMirrorOfDisplay(config, reference, virtualID);
        if (error == kCGErrorSuccess) {
            mirrored = true;
            mirrorNote = "display " + std::to_string(reference) + " mirrored to virtual desktop";
        } else {
            // A failed mirror falls back to the extended layout.
            mirrorNote = "display " + std::to_string(reference) + " mirror failed CG " + std::to_string(error) +
                         "; using extended layout";
        }
    }

    std::vector<uint32_t> others;
    for (uint32_t id : active) {
        if (id == virtualID || (mirrored && id == reference)) continue;
        others.push_back(id);
    }
    std::stable_sort(others.begin(), others.end(), [&](uint32_t a, uint32_t b) {
        return std::make_pair(a != reference, a) < std::make_pair(b != reference, b);
    });

    // The display at the origin becomes the main display.
    if (const CGError error = CGConfigureDisplayOrigin(config, virtualID, 0, 0); error != kCGErrorSuccess) {
        CGCancelDisplayConfiguration(config);
        return {false, "virtual display origin update failed CG " + std::to_string(error)};
    }
    int nextX = advanceOf(virtualBounds.width);
    for (uint32_t id : others) {
        const CGRect bounds = CGDisplayBounds(id);
        if (const CGError error = CGConfigureDisplayOrigin(config, id, nextX, 0); error != kCGErrorSuccess) {
            CGCancelDisplayConfiguration(config);
            return {false, "display " + std::to_string(id) + " origin update failed CG " + std::to_string(error)};
        }
        nextX += advanceOf(bounds.width);
    }
    if (const CGError error = CGCompleteDisplayConfiguration(config, CGConfigureOption::forSession);
        error != kCGErrorSuccess) {
        return {false, "display layout apply failed CG " + std::to_string(error)};
    }

    double timeout = kMainDisplayWaitSeconds;
    if (mainDisplayDeadline) timeout = std::max(0.0, mainDisplayDeadline->timeIntervalSince(Clock::now()));
    const bool becameMain = waitForMainDisplay(virtualID, timeout);
    refreshGeometry();

    int movedCount = 0;
    std::string migrationNote = "window migration skipped for sleep preflight";
    if (allowWindowMigration) {
        const WindowMoveResult moved = moveApplicationWindows(reference, virtualID);
        movedCount = moved.movedCount;
        migrationNote = moved.message;
        {
            std::lock_guard<std::mutex> g(migrationLock);
            virtualDesktopWindowMigrationEnabled = true;
        }
        ensureWindowMigrationObservers();
        scheduleVirtualDesktopWindowMigration("desktop promotion", kWindowSweepDelay);
    }

    const std::string outcome =
        becameMain ? "virtual display " + std::to_string(virtualID) + " promoted to main desktop"
                   : "display layout applied but main display is still " + std::to_string(CGMainDisplayID());
    return {becameMain || movedCount > 0, outcome + "; " + mirrorNote + "; " + migrationNote};
}

HeadlessVirtualDisplay::PromotionResult HeadlessVirtualDisplay::promoteToPrimaryDesktopBeforeSleep(
    uint32_t referenceDisplayID, Date deadline) {
    for (;;) {
        // Checked before every attempt, so a deadline that passes while the
        // bounds are still unknown is reported as such.
        if (!(deadline > Clock::now())) return {false, "sleep preflight deadline expired before desktop promotion"};

        uint32_t id = 0;
        {
            std::lock_guard<std::recursive_mutex> g(stateLock);
            if (hasDisplayLocked()) id = displayID;
        }
        if (id != 0) {
            if (const auto geometry = currentGeometry(id)) {
                std::lock_guard<std::recursive_mutex> g(stateLock);
                if (display && displayID == id) applyRealizedGeometry(*geometry);
            }
        }

        PromotionResult result = promoteToPrimaryDesktop(referenceDisplayID, false, deadline);
        if (result.applied || result.message != PromotionResult::boundsUnavailable) return result;
        sleepFor(kSleepPreflightPause);
    }
}

void HeadlessVirtualDisplay::cancelVirtualDesktopWindowMigration() {
    DispatchWorkItemRef task;
    std::vector<NotificationCenter::Token> observers;
    {
        std::lock_guard<std::mutex> g(migrationLock);
        virtualDesktopWindowMigrationEnabled = false;
        task = std::move(pendingWindowMigrationTask);
        pendingWindowMigrationTask.reset();
        observers = std::move(workspaceWindowMigrationObservers);
        workspaceWindowMigrationObservers.clear();
    }
    if (task) task->cancel();
    for (auto token : observers) Workspace::notificationCenter().removeObserver(token);
}

void HeadlessVirtualDisplay::ensureWindowMigrationObservers() {
    std::weak_ptr<HeadlessVirtualDisplay> weak = weak_from_this();
    auto observer = [weak](const char* reason) {
        return [weak, reason](const Notification&) {
            if (auto self = weak.lock()) self->scheduleVirtualDesktopWindowMigration(reason, kWindowSweepDelay);
        };
    };
    // Registering never runs a handler, so it may happen under the lock;
    // handlers run later on the posting thread and take the lock themselves.
    std::lock_guard<std::mutex> g(migrationLock);
    if (!virtualDesktopWindowMigrationEnabled || !workspaceWindowMigrationObservers.empty()) return;
    auto& center = Workspace::notificationCenter();
    workspaceWindowMigrationObservers = {
        center.addObserver(kWorkspaceDidLaunchApplicationNotification, observer("app launch")),
        center.addObserver(kWorkspaceDidActivateApplicationNotification, observer("app activate")),
        center.addObserver(kWorkspaceDidUnhideApplicationNotification, observer("app unhide")),
    };
}

void HeadlessVirtualDisplay::scheduleVirtualDesktopWindowMigration(const std::string& reason, double delay) {
    std::weak_ptr<HeadlessVirtualDisplay> weak = weak_from_this();
    auto task = makeWorkItem([weak, reason] {
        auto self = weak.lock();
        if (!self) return;
        {
            std::lock_guard<std::mutex> g(self->migrationLock);
            if (!self->virtualDesktopWindowMigrationEnabled) return;
        }
        const std::string text = self->enforceVirtualDesktopWindowPlacement(reason);
        if (!text.empty()) Log::raw("[HeadlessVirtualDisplay] " + text);
    });
    std::lock_guard<std::mutex> g(migrationLock);
    if (!virtualDesktopWindowMigrationEnabled) return;
    // A burst of notifications ends in one sweep after the last of them.
    if (pendingWindowMigrationTask) pendingWindowMigrationTask->cancel();
    pendingWindowMigrationTask = task;
    eventQueue.asyncAfter(std::max(delay, kShortestSweepDelay), task);
}

std::string HeadlessVirtualDisplay::enforceVirtualDesktopWindowPlacement(const std::string& reason) {
    uint32_t virtualID = 0;
    {
        std::lock_guard<std::recursive_mutex> g(stateLock);
        if (!hasDisplayLocked()) return "";
        virtualID = displayID;
    }
    {
        std::lock_guard<std::mutex> g(migrationLock);
        if (!virtualDesktopWindowMigrationEnabled) return "";
    }
    std::vector<std::string> kept;
    for (uint32_t id : activeDisplayIDs()) {
        if (id == virtualID) continue;
        const WindowMoveResult result = moveApplicationWindows(id, virtualID);
        if (result.movedCount >= 1 || result.message.find("tried") != std::string::npos ||
            result.message.find("found") != std::string::npos) {
            kept.push_back(result.message);
        }
    }
    if (kept.empty()) return "";
    return "window sweep after " + reason + ": " + joinedWith(kept, "; ");
}

HeadlessVirtualDisplay::WindowMoveResult HeadlessVirtualDisplay::moveApplicationWindows(uint32_t from, uint32_t to) {
    if (from == to || from == 0) {
        return {0, "window migration skipped; source display already matches virtual desktop"};
    }
    const CGRect source = CGDisplayBounds(from);
    const CGRect target = CGDisplayBounds(to);
    if (!(source.width > 0 && source.height > 0 && target.width > 0 && target.height > 0)) {
        return {0, "window migration skipped; display bounds unavailable"};
    }
    if (!AXIsProcessTrusted()) return {0, "window migration skipped; Accessibility permission missing"};

    const std::string ownBundleIdentifier = mainBundleIdentifier().value_or("");
    int candidates = 0;
    int moved = 0;
    for (const auto& app : Workspace::runningApplications()) {
        if (isSkippedApplication(app, ownBundleIdentifier)) continue;
        const AXUIElement application = AXUIElementCreateApplication(app.processIdentifier);
        AXUIElementSetMessagingTimeout(application, kAccessibilityTimeout);
        AXAttributeValue value;
        std::vector<AXUIElement> windows;
        if (AXUIElementCopyAttributeValue(application, kAXWindowsAttribute, value) == kAXErrorSuccess) {
            if (auto* list = std::get_if<std::vector<AXUIElement>>(&value)) windows = *list;
        }
        for (const auto& window : windows) {
            AXUIElementSetMessagingTimeout(window, kAccessibilityTimeout);
            const auto frame = axWindowFrame(window);
            if (!frame) continue;
            if (!containsPoint(source, frame->x + frame->width / 2, frame->y + frame->height / 2)) continue;
            ++candidates;
            if (setAXWindowFrame(window, translatedWindowFrame(*frame, source, target))) ++moved;
        }
    }
    if (moved > 0) {
        return {moved, "moved " + std::to_string(moved) + " window(s) from display " + std::to_string(from) +
                           " to virtual display " + std::to_string(to)};
    }
    if (candidates > 0) {
        return {0, "window migration tried " + std::to_string(candidates) + " window(s) from display " +
                       std::to_string(from) + " but none accepted repositioning"};
    }
    return {0, "window migration found no app windows centered on display " + std::to_string(from)};
}

std::optional<CGRect> HeadlessVirtualDisplay::axWindowFrame(const AXUIElement& window) {
    AXAttributeValue position;
    AXAttributeValue size;
    if (AXUIElementCopyAttributeValue(window, kAXPositionAttribute, position) != kAXErrorSuccess ||
        AXUIElementCopyAttributeValue(window, kAXSizeAttribute, size) != kAXErrorSuccess) {
        return std::nullopt;
    }
    const auto* positionValue = std::get_if<AXValue>(&position);
    const auto* sizeValue = std::get_if<AXValue>(&size);
    if (!positionValue || !sizeValue) return std::nullopt;
    CGPoint origin;
    CGSize extent;
    if (AXValueGetType(*positionValue) != AXValueType::cgPoint || !AXValueGetValue(*positionValue, origin)) {
        return std::nullopt;
    }
    if (AXValueGetType(*sizeValue) != AXValueType::cgSize || !AXValueGetValue(*sizeValue, extent)) return std::nullopt;
    if (!(extent.width > kSmallestHandledWindowSide && extent.height > kSmallestHandledWindowSide)) {
        return std::nullopt;
    }
    return CGRect{origin.x, origin.y, extent.width, extent.height};
}

CGRect HeadlessVirtualDisplay::translatedWindowFrame(const CGRect& frame, const CGRect& from, const CGRect& to) {
    // A window never grows; it keeps its offset within its display where it
    // fits, and ends at least the margin inside the target's edges.
    const double width = std::min(std::max(to.width - kTargetWidthAllowance, kNarrowestMovedWindow), frame.width);
    const double height = std::min(std::max(to.height - kTargetHeightAllowance, kLowestMovedWindow), frame.height);
    auto place = [](double proposed, double targetMin, double targetMax, double size) {
        const double low = targetMin + kTargetMargin;
        const double high = std::max(low, targetMax - size - kTargetMargin);
        return std::min(std::max(proposed, low), high);
    };
    const double x = place(to.x + (frame.x - from.x), to.x, to.x + to.width, width);
    const double y = place(to.y + (frame.y - from.y), to.y, to.y + to.height, height);
    return CGRect{x, y, width, height};
}

bool HeadlessVirtualDisplay::setAXWindowFrame(const AXUIElement& window, const CGRect& frame) {
    const AXValue position = AXValueCreate(CGPoint{frame.x, frame.y});
    const AXValue size = AXValueCreate(CGSize{frame.width, frame.height});
    // Size first, so a window shrunk to fit can then be placed inside.
    const bool sized = AXUIElementSetAttributeValue(window, kAXSizeAttribute, size) == kAXErrorSuccess;
    const bool placed = AXUIElementSetAttributeValue(window, kAXPositionAttribute, position) == kAXErrorSuccess;
    return sized || placed;
}
