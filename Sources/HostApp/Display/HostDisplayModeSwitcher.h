#pragma once
// Changes the mode of the Mac's real displays when a Viewer asks for a size
// they do not show, waits until the window server really shows it, reports
// the resulting geometry, and puts every display back the way it found it.
// Also answers the display questions around that job: which displays there
// are and in which order to try them, each capture mode's target size, the
// layout sent to Viewers, and the display reports of the diagnostics.
//
// A namespace of static operations: the only state is the remembered
// original modes, guarded by savedModeLock. Switches and restores block
// their caller while they wait for a mode to settle (the Host runs them on
// the server queue); every other operation only queries the displays and
// may run on any thread.

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "HostApp/Protocol/DisplayControlPayloads.h"
#include "HostApp/Capture/HostDisplayGeometry.h"
#include "HostApp/Capture/VideoCaptureMode.h"
#include "Platform/SimulatedMac/CoreGraphicsDisplays.h"

// A display's mode from before the Host first changed it.
struct SavedDisplayMode {
    platform::CGDisplayMode mode;
};

// The display size a capture mode asks a real display for.
struct DisplayModeTarget {
    int logicalWidth = 0;
    int logicalHeight = 0;
    int pixelWidth = 0;
    int pixelHeight = 0;
    bool preferHiDPI = false;
    bool requireExactMatch = false;
    bool operator==(const DisplayModeTarget&) const = default;
};

// One entry of the display picker.
struct DisplaySelectionOption {
    uint32_t id = 0;
    std::string title;
    bool operator==(const DisplaySelectionOption&) const = default;
};

class HostDisplayModeSwitcher {
public:
    HostDisplayModeSwitcher() = delete;

    // The outcome of a switch or restore: the display's geometry, or a
    // human-readable reason for logs and Viewer messages.
    class SwitchResult {
    public:
        static SwitchResult success(HostDisplayGeometry geometry) { return SwitchResult(std::move(geometry)); }
        static SwitchResult failure(std::string message) { return SwitchResult(std::move(message)); }
        bool isSuccess() const { return v_.index() == 0; }
        const HostDisplayGeometry& geometry() const { return std::get<0>(v_); }
        const std::string& message() const { return std::get<1>(v_); }

    private:
        explicit SwitchResult(HostDisplayGeometry g) : v_(std::move(g)) {}
        explicit SwitchResult(std::string m) : v_(std::move(m)) {}
        std::variant<HostDisplayGeometry, std::string> v_;
    };

    // Each display's original mode, from its first change by the Host until
    // that original has been restored successfully. Only touched while
    // savedModeLock is held, and the lock is held for single map operations.
    static inline std::mutex savedModeLock;
    static inline std::map<uint32_t, SavedDisplayMode> savedModes;

    // --- Mode measurements ---
    // Pixel size, falling back to the logical size when the mode reports none.
    static int pixelWidth(const platform::CGDisplayMode& mode);
    static int pixelHeight(const platform::CGDisplayMode& mode);
    // Pixel width / logical width > 1.25, with a logical width of at least 1.
    static bool isHiDPI(const platform::CGDisplayMode& mode);

    // --- Displays ---
    // Online displays that are online and active, in online-list order.
    static std::vector<uint32_t> activeDisplayIDs();
    // The main display when active, else the first active, else the main ID.
    static uint32_t defaultDisplayID();
    // Active displays that are real, awake hardware, minus `excluding` (0: none).
    static std::vector<uint32_t> activePhysicalDisplayIDs(uint32_t excluding = 0);
    // The order in which displays are tried.
    static std::vector<uint32_t> orderedActiveDisplayIDs(std::optional<uint32_t> preferredDisplayID,
                                                         bool allowFallback);
    // Appends id to list when source holds it and list does not yet.
    static void appendUnique(uint32_t id, std::vector<uint32_t>& list, const std::vector<uint32_t>& source);
    // The display after the given one in the try order, wrapping; the first
    // one for an unknown or absent ID; none when there is no display.
    static std::optional<uint32_t> nextDisplayID(std::optional<uint32_t> after);

    // --- Modes and geometry ---
    static bool isSameMode(const platform::CGDisplayMode& a, const platform::CGDisplayMode& b);
    static HostDisplayGeometry currentGeometry(uint32_t displayID,
                                               const std::optional<platform::CGDisplayMode>& fallbackMode);
    // Polls every 0.12 s until the display shows the mode or the timeout passes.
    static bool waitForDisplay(uint32_t displayID, const platform::CGDisplayMode& mode, double timeout);
    static std::string actualDisplayDescription(uint32_t displayID);
    // All modes of the display, scaled variants included; empty when none.
    static std::vector<platform::CGDisplayMode> candidateModes(uint32_t displayID);
    static DisplayModeTarget displayModeTarget(VideoCaptureMode mode);

    // --- Switching and restoring ---
    static void rememberOriginalModeIfNeeded(uint32_t displayID);
    static SwitchResult applyDisplayMode(const platform::CGDisplayMode& mode, uint32_t displayID,
                                         const std::string& purpose);
    // Chooses, applies and verifies the best mode over the candidate
    // displays. A pixel target of 0 or less means none.
    static SwitchResult switchDisplayMode(int logicalWidth, int logicalHeight, int targetPixelWidth,
                                          int targetPixelHeight, bool preferHiDPI, bool requireHiDPI,
                                          bool requireExactMatch, std::optional<uint32_t> preferredDisplayID,
                                          bool allowFallback);
    // None when the ID is 0 or nothing is saved for it.
    static std::optional<SwitchResult> restoreOriginalMode(uint32_t displayID);
    // Restores every saved original in ID order; one log line per display.
    static std::vector<std::string> restoreAllOriginalModes();

    // --- Layout and reports ---
    static std::optional<DisplayLayoutPayload> displayLayout(uint32_t displayID);
    static std::string displayDiagnostics();
    static std::string displayModeListDescription(const std::vector<platform::CGDisplayMode>& modes);
    static std::vector<DisplaySelectionOption> displaySelectionOptions();
    static std::string modeDescription(const platform::CGDisplayMode& mode);
    static std::string boundsDescription(uint32_t displayID);

    // Forgets every saved original (each test starts from a fresh machine).
    static void clearSavedModesForTesting();
};
