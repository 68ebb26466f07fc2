#pragma once
// The display services of the Mac as the Host sees them: the online and
// active display lists, each display's state and modes, and configuration
// transactions that change a display's mode, origin or mirroring.
//
// Here they are backed by the simulated machine's display system
// (SimulatedDisplaySystem). Tests shape the displays, decide how a mode change
// turns out (refused, settling after a delay, never settling, landing on a
// different mode) and read back what the Host changed. Every topology or mode
// change, the Host's own included, posts the screen-parameters notification
// on the default notification centre.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Platform/Runtime/Dispatch.h"

namespace platform {

using CGDirectDisplayID = uint32_t;
using CGError = int32_t;

inline constexpr CGError kCGErrorSuccess = 0;
inline constexpr CGError kCGErrorFailure = 1000;
inline constexpr CGError kCGErrorIllegalArgument = 1001;
inline constexpr CGError kCGErrorCannotComplete = 1004;
inline constexpr CGError kCGErrorRangeCheck = 1007;

// Vendor and model numbers of a software display ('unkn' / 'virt').
inline constexpr uint32_t kUnknownDisplayVendor = 0x756E6B6E;
inline constexpr uint32_t kVirtualDisplayModel = 0x76697274;

// Name of the notification posted on every display topology or mode change.
inline constexpr const char* kScreenParametersChangedNotification =
    "NSApplicationDidChangeScreenParametersNotification";

struct CGSize {
    double width = 0;
    double height = 0;
    bool operator==(const CGSize&) const = default;
};

struct CGPoint {
    double x = 0;
    double y = 0;
    bool operator==(const CGPoint&) const = default;
};

// A rectangle in the global display space: points, origin at the top left of
// the main display.
struct CGRect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
    bool operator==(const CGRect&) const = default;
};

// The smallest rectangle holding both; an empty rectangle adds nothing.
CGRect CGRectUnion(const CGRect& a, const CGRect& b);

// One display mode. Logical sizes are points, pixel sizes backing pixels; a
// pixel size of 0 means the display did not report one.
struct CGDisplayMode {
    int width = 0;
    int height = 0;
    int pixelWidth = 0;
    int pixelHeight = 0;
    double refreshRate = 0;
    bool usableForDesktopGUI = true;
    int32_t ioDisplayModeID = 0;
    uint32_t ioFlags = 0;
    bool operator==(const CGDisplayMode&) const = default;
};

// The IO flags a display driver reports for a mode it offers: valid and safe.
inline constexpr uint32_t kModeFlagsUsable = 0x00000003;

struct CGDisplayModeListOptions {
    // Include the scaled (HiDPI) variants whose logical size duplicates a
    // plain mode.
    bool showDuplicateLowResolutionModes = false;
};

enum class CGConfigureOption { forAppOnly, forSession, permanently };

struct DisplayConfiguration;  // the changes of one open transaction
using CGDisplayConfigRef = std::shared_ptr<DisplayConfiguration>;

// --- Queries ------------------------------------------------------------------

// The online displays (active, mirrored or asleep), in system order.
CGError CGGetOnlineDisplayList(std::vector<CGDirectDisplayID>& displays);
// The displays that can be drawn to, in system order.
CGError CGGetActiveDisplayList(std::vector<CGDirectDisplayID>& displays);
// The display with the menu bar; the last main display (0 at first) when the
// machine has none.
CGDirectDisplayID CGMainDisplayID();

bool CGDisplayIsOnline(CGDirectDisplayID display);
bool CGDisplayIsActive(CGDirectDisplayID display);
bool CGDisplayIsBuiltin(CGDirectDisplayID display);
bool CGDisplayIsInMirrorSet(CGDirectDisplayID display);
bool CGDisplayIsAsleep(CGDirectDisplayID display);
// The display this one mirrors, 0 when it mirrors none.
CGDirectDisplayID CGDisplayMirrorsDisplay(CGDirectDisplayID display);
uint32_t CGDisplayVendorNumber(CGDirectDisplayID display);
uint32_t CGDisplayModelNumber(CGDirectDisplayID display);
// Physical size in millimetres; 0 x 0 when unknown.
CGSize CGDisplayScreenSize(CGDirectDisplayID display);
// Bounds in the global space; an empty rectangle for an unknown display.
CGRect CGDisplayBounds(CGDirectDisplayID display);
// The display's UUID in canonical text form; none for an unknown display.
std::optional<std::string> CGDisplayCreateUUIDFromDisplayID(CGDirectDisplayID display);

std::optional<CGDisplayMode> CGDisplayCopyDisplayMode(CGDirectDisplayID display);
// None when the display is unknown or the list cannot be read.
std::optional<std::vector<CGDisplayMode>> CGDisplayCopyAllDisplayModes(
    CGDirectDisplayID display, const CGDisplayModeListOptions& options);

// --- Configuration transactions ---------------------------------------------------

// On success `config` holds a new transaction (which may be null when the
// system gives none).
CGError CGBeginDisplayConfiguration(CGDisplayConfigRef* config);
CGError CGConfigureDisplayWithDisplayMode(const CGDisplayConfigRef& config,
                                          CGDirectDisplayID display, const CGDisplayMode& mode);
CGError CGConfigureDisplayOrigin(const CGDisplayConfigRef& config, CGDirectDisplayID display,
                                 int32_t x, int32_t y);
// master 0 ends the display's mirroring.
CGError CGConfigureDisplayMirrorOfDisplay(const CGDisplayConfigRef& config,
                                          CGDirectDisplayID display, CGDirectDisplayID master);
CGError CGCompleteDisplayConfiguration(const CGDisplayConfigRef& config, CGConfigureOption option);
CGError CGCancelDisplayConfiguration(const CGDisplayConfigRef& config);
// Switches one display's mode at once, outside any open transaction: a
// one-change transaction whose outcome the display's behaviour decides.
CGError CGDisplaySetDisplayMode(CGDirectDisplayID display, const CGDisplayMode& mode);

// --- The simulated display system ---------------------------------------------

// One display of the simulated machine.
struct SimulatedDisplay {
    CGDirectDisplayID id = 0;
    std::string uuid;  // canonical UUID text
    bool builtin = false;
    uint32_t vendorNumber = 0;
    uint32_t modelNumber = 0;
    CGSize physicalSizeMM;
    // Bounds in the global space. Applying a mode resizes them to the mode's
    // logical size and keeps the origin.
    CGRect bounds;
    CGDirectDisplayID mirrorOf = 0;  // 0: mirrors nothing
    bool asleep = false;
    bool online = true;
    bool active = true;
    std::vector<CGDisplayMode> modes;
    std::optional<CGDisplayMode> currentMode;
};

// How a display answers configuration transactions. The default accepts every
// mode of its list and shows it at once.
struct DisplayConfigurationBehaviour {
    CGError configureError = kCGErrorSuccess;  // every configure call fails with it
    CGError completeError = kCGErrorSuccess;   // completing a change of this display fails
    std::set<int32_t> rejectedModeIDs;         // configure fails with kCGErrorIllegalArgument
    // Seconds until an applied mode becomes current; none: it never does.
    std::optional<double> settleDelaySeconds = 0.0;
    // What the display really shows for a requested mode (a wrong outcome);
    // none leaves the current mode as it is. Unset: the requested mode.
    std::function<std::optional<CGDisplayMode>(const CGDisplayMode& requested)> outcome;
    CGError originError = kCGErrorSuccess;     // configuring this display's origin fails
    CGError mirrorError = kCGErrorSuccess;     // making this display a mirror fails
};

// A completed change, as tests read it back.
struct AppliedDisplayChange {
    CGDirectDisplayID display = 0;
    std::optional<CGDisplayMode> mode;
    std::optional<CGRect> originOnly;  // set for an origin change (x, y used)
    std::optional<CGDirectDisplayID> mirrorOf;
    CGConfigureOption option = CGConfigureOption::forSession;
    uint64_t uptimeNs = 0;
};

// The display state of the simulated machine. Reached through
// SimulatedMachine::current().component<SimulatedDisplaySystem>(); the
// default is a laptop with its built-in HiDPI panel (see builtInPanel()).
// Adding and removing displays and replacing mode lists is generic so that
// software displays can come and go the same way.
class SimulatedDisplaySystem {
public:
    SimulatedDisplaySystem();
    ~SimulatedDisplaySystem();

    // Display builders (values only; add them with addDisplay or setDisplays).
    // The built-in panel: 1512 x 982 points, 3024 x 1964 pixels, 120 Hz.
    static SimulatedDisplay builtInPanel(CGDirectDisplayID id = 1);
    // An external 2560 x 1440 monitor with its origin at (x, y).
    static SimulatedDisplay external1440(CGDirectDisplayID id, double x, double y);
    // A plain monitor with one mode per given size (non-HiDPI, 60 Hz).
    static SimulatedDisplay plainMonitor(CGDirectDisplayID id, int width, int height, double x,
                                         double y);

    // Machines: built-in panel plus an external 1440p monitor to its right;
    // a headless Mac; the built-in panel mirrored by an external monitor.
    void configureBuiltInWithExternal1440();
    void configureHeadless();
    void configureMirroredPair();

    void setDisplays(std::vector<SimulatedDisplay> displays);  // replaces all
    void addDisplay(SimulatedDisplay display);                 // appended to the list order
    void removeDisplay(CGDirectDisplayID id);
    std::optional<SimulatedDisplay> display(CGDirectDisplayID id) const;
    std::vector<CGDirectDisplayID> displayIDs() const;
    // Edits one display in place (no-op for an unknown ID) and posts the
    // notification.
    void updateDisplay(CGDirectDisplayID id, const std::function<void(SimulatedDisplay&)>& edit);
    void setModes(CGDirectDisplayID id, std::vector<CGDisplayMode> modes);
    void setCurrentMode(CGDirectDisplayID id, std::optional<CGDisplayMode> mode);
    // Forces the main display; 0 returns to the rule (the active display at
    // the global origin, else the first active one).
    void setMainDisplayOverride(CGDirectDisplayID id);

    // Failure injection.
    void setDisplayListError(CGError error);  // the two display lists fail
    void setBeginError(CGError error);
    void setBeginReturnsNullConfiguration(bool null);
    void setModeListUnavailable(CGDirectDisplayID id, bool unavailable);
    void setBehaviour(CGDirectDisplayID id, DisplayConfigurationBehaviour behaviour);
    DisplayConfigurationBehaviour behaviour(CGDirectDisplayID id) const;

    std::vector<AppliedDisplayChange> appliedChanges() const;
    uint64_t notificationCount() const;

    // Used by the CG functions above.
    CGError onlineList(std::vector<CGDirectDisplayID>& out) const;
    CGError activeList(std::vector<CGDirectDisplayID>& out) const;
    CGDirectDisplayID mainDisplayID() const;
    bool inMirrorSet(CGDirectDisplayID id) const;
    std::optional<std::vector<CGDisplayMode>> modeList(CGDirectDisplayID id, bool includeDuplicates) const;
    CGError begin(CGDisplayConfigRef* config);
    CGError configureMode(const CGDisplayConfigRef& config, CGDirectDisplayID id, const CGDisplayMode& mode);
    CGError configureOrigin(const CGDisplayConfigRef& config, CGDirectDisplayID id, int32_t x, int32_t y);
    CGError configureMirror(const CGDisplayConfigRef& config, CGDirectDisplayID id, CGDirectDisplayID master);
    CGError complete(const CGDisplayConfigRef& config, CGConfigureOption option);
    CGError cancel(const CGDisplayConfigRef& config);

private:
    void postChanged();
    void landMode(CGDirectDisplayID id, const CGDisplayMode& mode, uint64_t token);

    mutable std::mutex lock_;
    std::vector<SimulatedDisplay> displays_;  // in online-list order
    std::map<CGDirectDisplayID, DisplayConfigurationBehaviour> behaviours_;
    std::set<CGDirectDisplayID> modeListUnavailable_;
    CGDirectDisplayID mainOverride_ = 0;
    mutable CGDirectDisplayID lastMain_ = 0;
    CGError listError_ = kCGErrorSuccess;
    CGError beginError_ = kCGErrorSuccess;
    bool beginNull_ = false;
    std::vector<AppliedDisplayChange> applied_;
    // A later change of the same display supersedes a mode still settling.
    std::map<CGDirectDisplayID, uint64_t> pendingToken_;
    uint64_t nextToken_ = 1;
    uint64_t notifications_ = 0;
    // Where delayed mode changes land; created on first use.
    std::optional<DispatchQueue> settleQueue_;
    // Where change notifications are delivered from; created on first use.
    std::optional<DispatchQueue> notifyQueue_;
};

}  // namespace platform
