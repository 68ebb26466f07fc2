#pragma once
// What remote input injection remembers between a Viewer's messages: the
// buttons and keys each session holds down, the modifiers the key path
// believes are held, the click-count sequence, and the caches that keep the
// Accessibility warning to one per run and the lock wake to a few per
// second. Held by the server and touched only on its queue.

#include <cstdint>
#include <map>
#include <optional>
#include <set>

#include "Platform/SimulatedMac/EventPosting.h"
#include "Platform/Foundation/Uuid.h"

// A modifier key and the event flag it sets.
struct ModifierKey {
    uint16_t keyCode = 0;
    uint64_t flag = 0;
    bool operator==(const ModifierKey&) const = default;
};

// A virtual key code and the flags that must accompany it (Shift for the
// shifted character of a key).
struct KeyCodeMapping {
    uint16_t keyCode = 0;
    uint64_t extraFlags = 0;
    bool operator==(const KeyCodeMapping&) const = default;
};

// One step of a key combination.
struct KeyComboEvent {
    uint16_t keyCode = 0;
    bool keyDown = false;
    uint64_t flags = 0;
    bool operator==(const KeyComboEvent&) const = default;
};

struct RemoteInputState {
    // Last button mask (0x01, 0x02, 0x04 only) of each session; absent: no
    // button held. Lets a leaving Viewer's buttons be released.
    std::map<platform::UUID, uint8_t> inputButtonMasks;
    // Key codes each session's key and raw-key events left down; a key-up of
    // a code, from anyone, clears it. Lets a leaving Viewer's keys be lifted,
    // raw keys and non-modifiers included.
    std::map<platform::UUID, std::set<uint16_t>> heldKeyCodes;
    // Modifiers held through the key path, one value for the whole Host;
    // mouse events and key-path keys carry them.
    uint64_t inputKeyboardFlags = 0;
    // Source of every injected event, with the HID system state.
    platform::CGEventSourceRef inputEventSource =
        platform::CGEventSourceCreate(platform::CGEventSourceStateID::hidSystemState);
    // Uptime of the last injected left-button up (0: never) and where it
    // was: the next left down within reach counts as a double click.
    uint64_t lastLeftClickUpNs = 0;
    std::optional<platform::CGPoint> lastLeftClickPoint;
    // Click count of the current left click sequence (1 or 2).
    int64_t activeLeftClickState = 0;
    // The Accessibility warning was given in this run.
    bool didWarnInputTrust = false;
    // The console-lock probe: when it last ran (0: never) and its answer.
    uint64_t lastLockInputProbeNs = 0;
    bool lastLockInputWasLocked = false;
    // When user activity was last declared for remote input (0: never).
    uint64_t lastLockWakeNs = 0;
};
