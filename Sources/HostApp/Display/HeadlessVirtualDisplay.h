#pragma once
// Owns the Host's headless virtual display: a software display the Host
// streams from when no physical display can be captured, or when a Viewer
// asks for a canvas the physical display cannot show. It creates the display
// with a whole family of preset modes, switches it between them, keeps its
// realised geometry, and promotes it to the main desktop with the other
// applications' windows moved onto it.
//
// One instance for the process (`shared()`). The display and power policy
// drives it; every other component only reads `stateSnapshot()`. Callers may
// come from any queue: the display, geometry, preset and activation fields
// are guarded by the recursive `stateLock`, the window-migration fields by
// their own `migrationLock`. Creation, teardown and promotion block their
// caller; preset activation runs on its own queue.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Platform/SimulatedMac/Accessibility.h"
#include "Platform/Runtime/Clock.h"
#include "Platform/SimulatedMac/CoreGraphicsDisplays.h"
#include "Platform/Runtime/Dispatch.h"
#include "Platform/Foundation/NotificationCenter.h"
#include "Platform/SimulatedMac/VirtualDisplayClasses.h"
#include "VelantrixProfiles/DisplayProfiles/DisplayProfileCatalog.h"

class HeadlessVirtualDisplay : public std::enable_shared_from_this<HeadlessVirtualDisplay> {
    struct ConstructionKey {};

public:
    // One mode the display can show, made from a catalogue resolution.
    struct Preset {
        std::string title;
        ResolutionProfile resolution;
        int pixelWidth = 0;
        int pixelHeight = 0;
        bool hiDPI = false;

        static Preset from(const ResolutionProfile& resolution);
        // The mode size in points: half the pixel size for a 2x mode, at least 1.
        int logicalWidth() const;
        int logicalHeight() const;
        // "{title} logical=WxH px=WxH" and " HiDPI" for a 2x mode.
        std::string summary() const;
        bool operator==(const Preset&) const = default;
    };

    // The value copy of the display's state handed to other components.
    struct StateSnapshot {
        bool isActive = false;
        uint32_t displayID = 0;
        int x = 0;
        int y = 0;
        int logicalWidth = 0;
        int logicalHeight = 0;
        int pixelWidth = 0;
        int pixelHeight = 0;
        bool isHiDPI = false;
        bool operator==(const StateSnapshot&) const = default;
    };

    // Whether a preset is live on the display; raw values are what the
    // display policy compares.
    enum class PresetReadiness : uint8_t { ready = 0, pending = 1, inactive = 2, unavailable = 3 };

    struct PromotionResult {
        // The message of a promotion that found the display's bounds not yet
        // known: the caller may try again once the display has settled.
        static constexpr const char* boundsUnavailable = "virtual display bounds unavailable";

        bool applied = false;
        std::string message;
    };
    struct WindowMoveResult {
        int movedCount = 0;
        std::string message;
    };

    // The single instance, created on first use and kept for the process.
    static HeadlessVirtualDisplay& shared();
    // Replaces the single instance with a fresh one made on the runtime in
    // force (each test installs its own runtime and machine).
    static void resetSharedForTesting();

    explicit HeadlessVirtualDisplay(ConstructionKey);
    HeadlessVirtualDisplay(const HeadlessVirtualDisplay&) = delete;
    HeadlessVirtualDisplay& operator=(const HeadlessVirtualDisplay&) = delete;

    // --- Presets -------------------------------------------------------------------
    static const Preset& standard1080Preset();
    static const Preset& standard1440Preset();
    static const Preset& easyPreset();
    static const Preset& easyComfortablePreset();
    static const Preset& hidpi1440Preset();
    static const Preset& maxCanvasPreset();
    // All six, in the order a realised geometry is matched back to a preset.
    static const std::vector<Preset>& presets();
    static const std::vector<Preset>& standardPresets();
    static const std::vector<Preset>& hidpiPresets();

    // --- State views (any thread) -------------------------------------------------
    StateSnapshot stateSnapshot() const;
    // "virtual display=ID logical=WxH px=WxH[ HiDPI][ preset=T]" or
    // "virtual display inactive".
    std::string summary() const;
    // The presets registered on the live display (empty without one).
    std::vector<Preset> registeredPresetsOfLiveDisplay() const;

    // --- Creation and teardown (blocking) -------------------------------------------
    // Makes the display show the preset, creating it when needed; none on
    // success, else the reason.
    std::optional<std::string> startPresetDisplay(const Preset& preferredPreset, const std::string& name,
                                                  uint32_t matchingDisplayID);
    void stop(bool waitForRemoval);

    // --- Preset activation ----------------------------------------------------------
    PresetReadiness presetReadiness(const Preset& preset) const;
    std::optional<Preset> activePreset() const;
    bool activatePreset(const Preset& preset);
    // Waits (polling every 40 ms) for a pending activation; blocks the caller.
    PresetReadiness settlePresetActivationBeforeSleep(const Preset& preset, double timeout);
    void cancelPendingPresetActivation();

    // --- Geometry -------------------------------------------------------------------
    void refreshGeometry();
    void refreshGeometry(const Preset& preset);

    // --- Desktop promotion and window migration (blocking) ----------------------------
    PromotionResult promoteToPrimaryDesktop(uint32_t referenceDisplayID, bool allowWindowMigration,
                                            std::optional<platform::Date> mainDisplayDeadline);
    PromotionResult promoteToPrimaryDesktopBeforeSleep(uint32_t referenceDisplayID, platform::Date deadline);
    void cancelVirtualDesktopWindowMigration();
    void ensureWindowMigrationObservers();
    void scheduleVirtualDesktopWindowMigration(const std::string& reason, double delay);
    std::string enforceVirtualDesktopWindowPlacement(const std::string& reason);
    WindowMoveResult moveApplicationWindows(uint32_t from, uint32_t to);
    static std::optional<platform::CGRect> axWindowFrame(const platform::AXUIElement& window);
    static platform::CGRect translatedWindowFrame(const platform::CGRect& frame, const platform::CGRect& from,
                                                  const platform::CGRect& to);
    static bool setAXWindowFrame(const platform::AXUIElement& window, const platform::CGRect& frame);

private:
    friend struct HeadlessVirtualDisplayTestPeer;

    // One reading of a display as the window server reports it.
    struct RealizedGeometry {
        uint32_t displayID = 0;
        int x = 0;
        int y = 0;
        int logicalWidth = 0;
        int logicalHeight = 0;
        int pixelWidth = 0;
        int pixelHeight = 0;
        bool isHiDPI = false;
        bool operator==(const RealizedGeometry&) const = default;
    };

    struct CreatedDisplay {
        platform::ObjCObjectRef display;
        std::optional<std::string> error;
    };

    static std::vector<Preset> familyPresets(const Preset& preferred);
    static bool displayMode(const platform::CGDisplayMode& mode, const Preset& matches);
    bool hasDisplayLocked() const { return display != nullptr && displayID != 0; }

    // Creation.
    CreatedDisplay createDisplay(int descriptorPixelWidth, int descriptorPixelHeight, const std::vector<Preset>& presets,
                                 const std::string& name, uint32_t matchingDisplayID);
    static uint32_t descriptorSerialNumber(int width, int height, bool hiDPI);
    static std::vector<double> preferredRefreshRates(uint32_t matchingDisplayID);
    static std::optional<platform::CGSize> scaledPhysicalSize(int pixelWidth, int pixelHeight,
                                                              uint32_t matchingDisplayID);

    // Activation.
    void schedulePresetActivation(const Preset& preset, uint32_t displayID);
    void attemptPresetActivation(const Preset& preset, uint32_t displayID, uint64_t generation, uint64_t deadlineNs,
                                 bool didSubmitMode);
    void schedulePresetActivationAttempt(const Preset& preset, uint32_t displayID, uint64_t generation,
                                         uint64_t deadlineNs, bool didSubmitMode, double after);
    bool presetActivationIsCurrentLocked(const Preset& preset, uint32_t displayID, uint64_t generation) const;
    void finishPresetActivation(const Preset& preset, uint32_t displayID, uint64_t generation);
    void clearPendingPresetActivationLocked();
    static std::optional<platform::CGDisplayMode> selectableDisplayMode(uint32_t displayID, const Preset& preset);

    // Geometry.
    static std::optional<RealizedGeometry> currentGeometry(uint32_t displayID);
    static RealizedGeometry normalizedGeometry(const RealizedGeometry& g, const std::optional<Preset>& expectedPreset);
    void applyRealizedGeometry(const RealizedGeometry& g);
    void applyVerifiedPresetGeometry(uint32_t displayID, const Preset& preset);
    static std::vector<uint32_t> activeDisplayIDs();
    static void waitForDisplayRemoval(uint32_t displayID, double timeout);
    static bool waitForMainDisplay(uint32_t displayID, double timeout);

    // --- State guarded by stateLock ---
    // The system's display object; holding it keeps the display attached.
    platform::ObjCObjectRef display;
    // CoreGraphics identifier of the display; 0 means none.
    uint32_t displayID = 0;
    // Origin in global display coordinates and size, in points and pixels.
    int x = 0;
    int y = 0;
    int logicalWidth = 0;
    int logicalHeight = 0;
    int pixelWidth = 0;
    int pixelHeight = 0;
    bool isHiDPI = false;
    // The preset the display is known to show.
    std::optional<Preset> currentPreset;
    // The presets whose modes the display was created with, preferred first.
    std::vector<Preset> registeredPresets;

    // The display's own queue, handed to the system; window sweeps run here.
    platform::DispatchQueue eventQueue;
    // Every preset activation attempt runs here, one at a time.
    platform::DispatchQueue presetActivationQueue;
    // Recursive: an operation holding it may call another that takes it.
    mutable std::recursive_mutex stateLock;

    // The only guard against stale activation work: raised by every cancel.
    uint64_t presetActivationGeneration = 0;
    platform::DispatchWorkItemRef pendingPresetActivationTask;
    uint32_t pendingPresetActivationDisplayID = 0;
    std::optional<Preset> pendingPresetActivationPreset;

    // --- Window migration, guarded by migrationLock ---
    // Reached from the promotion caller's queue, the workspace-notification
    // thread and eventQueue, so they need a lock of their own; it is never
    // held while calling out.
    mutable std::mutex migrationLock;
    std::vector<platform::NotificationCenter::Token> workspaceWindowMigrationObservers;
    platform::DispatchWorkItemRef pendingWindowMigrationTask;
    bool virtualDesktopWindowMigrationEnabled = false;
};
