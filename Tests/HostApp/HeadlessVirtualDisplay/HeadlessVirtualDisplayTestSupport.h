#pragma once
// Shared fixture for the headless virtual display's tests: virtual time, a
// fresh machine and a fresh single instance per test, plus a peer that
// reaches the class's private steps and fields.

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "HostApp/Display/HeadlessVirtualDisplay.h"
#include "Platform/SimulatedMac/Accessibility.h"
#include "Platform/SimulatedMac/CoreGraphicsDisplays.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"
#include "Platform/SimulatedMac/VirtualDisplayClasses.h"
#include "Platform/AppKit/Workspace.h"
#include "Support/TestSupport.h"

struct HeadlessVirtualDisplayTestPeer {
    using Preset = HeadlessVirtualDisplay::Preset;
    using Geometry = HeadlessVirtualDisplay::RealizedGeometry;

    static std::vector<Preset> familyPresets(const Preset& p) { return HeadlessVirtualDisplay::familyPresets(p); }
    static uint32_t descriptorSerialNumber(int w, int h, bool hiDPI) {
        return HeadlessVirtualDisplay::descriptorSerialNumber(w, h, hiDPI);
    }
    static std::vector<double> preferredRefreshRates(uint32_t id) {
        return HeadlessVirtualDisplay::preferredRefreshRates(id);
    }
    static std::optional<platform::CGSize> scaledPhysicalSize(int w, int h, uint32_t id) {
        return HeadlessVirtualDisplay::scaledPhysicalSize(w, h, id);
    }
    static Geometry normalizedGeometry(const Geometry& g, const std::optional<Preset>& p) {
        return HeadlessVirtualDisplay::normalizedGeometry(g, p);
    }
    static std::optional<Geometry> currentGeometry(uint32_t id) { return HeadlessVirtualDisplay::currentGeometry(id); }
    static void applyRealizedGeometry(HeadlessVirtualDisplay& d, const Geometry& g) { d.applyRealizedGeometry(g); }
    static void waitForDisplayRemoval(uint32_t id, double timeout) {
        HeadlessVirtualDisplay::waitForDisplayRemoval(id, timeout);
    }
    static bool waitForMainDisplay(uint32_t id, double timeout) {
        return HeadlessVirtualDisplay::waitForMainDisplay(id, timeout);
    }
    static std::optional<Preset> currentPreset(HeadlessVirtualDisplay& d) {
        std::lock_guard<std::recursive_mutex> g(d.stateLock);
        return d.currentPreset;
    }
    // A display object held with identifier 0.
    static void holdObjectWithoutIdentifier(HeadlessVirtualDisplay& d) {
        std::lock_guard<std::recursive_mutex> g(d.stateLock);
        d.display = std::make_shared<platform::ObjCObject>(nullptr);
        d.displayID = 0;
    }
    static std::string eventQueueLabel(HeadlessVirtualDisplay& d) { return d.eventQueue.label(); }
    static std::string activationQueueLabel(HeadlessVirtualDisplay& d) { return d.presetActivationQueue.label(); }
    static bool isEventQueue(HeadlessVirtualDisplay& d, const platform::DispatchQueue& q) { return d.eventQueue == q; }
    static bool migrationEnabled(HeadlessVirtualDisplay& d) {
        std::lock_guard<std::mutex> g(d.migrationLock);
        return d.virtualDesktopWindowMigrationEnabled;
    }
    static void enableMigration(HeadlessVirtualDisplay& d) {
        std::lock_guard<std::mutex> g(d.migrationLock);
        d.virtualDesktopWindowMigrationEnabled = true;
    }
    static size_t observerCount(HeadlessVirtualDisplay& d) {
        std::lock_guard<std::mutex> g(d.migrationLock);
        return d.workspaceWindowMigrationObservers.size();
    }
    static bool hasPendingSweep(HeadlessVirtualDisplay& d) {
        std::lock_guard<std::mutex> g(d.migrationLock);
        return d.pendingWindowMigrationTask && !d.pendingWindowMigrationTask->isCancelled();
    }
};

using Preset = HeadlessVirtualDisplay::Preset;
using Readiness = HeadlessVirtualDisplay::PresetReadiness;
using Peer = HeadlessVirtualDisplayTestPeer;

// Virtual time, a fresh machine (one built-in 3024 x 1964 panel, display 1)
// and a fresh HeadlessVirtualDisplay for every test.
class HeadlessDisplayTest : public VirtualTimeTest {
protected:
    HeadlessDisplayTest() { HeadlessVirtualDisplay::resetSharedForTesting(); }

    static HeadlessVirtualDisplay& hvd() { return HeadlessVirtualDisplay::shared(); }
    static platform::SimulatedDisplaySystem& displays() {
        return platform::SimulatedMachine::current().component<platform::SimulatedDisplaySystem>();
    }
    static platform::SimulatedVirtualDisplayClasses& classes() {
        return platform::SimulatedMachine::current().component<platform::SimulatedVirtualDisplayClasses>();
    }
    static platform::SimulatedAccessibility& accessibility() {
        return platform::SimulatedMachine::current().component<platform::SimulatedAccessibility>();
    }
    static platform::SimulatedWorkspace& workspace() {
        return platform::SimulatedMachine::current().component<platform::SimulatedWorkspace>();
    }

    // Creates the display the way the display policy does.
    static std::optional<std::string> start(const Preset& preset, uint32_t matching = 1) {
        return hvd().startPresetDisplay(preset, "Norvessal Presets", matching);
    }
    // Creates it and returns its identifier (0 on failure).
    static uint32_t startAndGetID(const Preset& preset, uint32_t matching = 1) {
        return start(preset, matching) ? 0 : hvd().stateSnapshot().displayID;
    }
    double now() const { return platform::Clock::uptimeSeconds(); }
    // Virtual seconds since `before`, to the microsecond, so that a wait of
    // exactly 2.4 s compares equal to 2.4.
    double elapsedSince(double before) const { return std::round((now() - before) * 1e6) / 1e6; }
    size_t logCount(const std::string& text) const { return log->count(text); }
    // Mode changes the Host applied to one display.
    static std::vector<platform::CGDisplayMode> appliedModes(uint32_t id) {
        std::vector<platform::CGDisplayMode> modes;
        for (const auto& c : displays().appliedChanges()) {
            if (c.display == id && c.mode) modes.push_back(*c.mode);
        }
        return modes;
    }
};
