#pragma once
// The Viewer's input messages: pointer (25), gesture (28), Host shortcut
// (29), key (30), raw key (32), system-defined key (33) and drag pull (39).
// All little-endian; each decoder takes a minimum length and ignores bytes
// after the fields it knows.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// Type 25: button state, position and wheel clicks in the Viewer's
// framebuffer coordinates.
struct PointerEventControlPayload {
    static constexpr size_t encodedSize = 9;

    // 0x01 left, 0x02 middle, 0x04 right; 0x08 / 0x10 wheel up / down,
    // 0x40 / 0x20 wheel right / left.
    uint8_t buttonMask = 0;
    uint16_t x = 0;
    uint16_t y = 0;
    uint16_t framebufferWidth = 0;
    uint16_t framebufferHeight = 0;

    std::vector<uint8_t> encode() const;
    static std::optional<PointerEventControlPayload> decode(std::span<const uint8_t> bytes);
    bool operator==(const PointerEventControlPayload&) const = default;
};

enum class GestureEventKind : uint8_t {
    scroll = 1,
    magnify = 2,
};

// Type 28: a trackpad scroll or pinch.
struct GestureEventControlPayload {
    static constexpr size_t encodedSize = 15;

    GestureEventKind kind = GestureEventKind::scroll;
    uint16_t x = 0;
    uint16_t y = 0;
    uint16_t framebufferWidth = 0;
    uint16_t framebufferHeight = 0;
    int16_t deltaX = 0;  // scroll only
    int16_t deltaY = 0;  // scroll only
    // Scroll: 1 = line units, anything else pixel units. Magnify: the zoom amount.
    int16_t unitsOrAmount = 0;

    std::vector<uint8_t> encode() const;
    static std::optional<GestureEventControlPayload> decode(std::span<const uint8_t> bytes);
    bool operator==(const GestureEventControlPayload&) const = default;
};

// The named actions a Viewer can fire on the Host.
enum class HostShortcutKind : uint8_t {
    missionControl = 1,
    launchpad = 2,
    nextDesktop = 3,
    previousDesktop = 4,
    appExpose = 5,
    playPause = 10,
    nextTrack = 11,
    previousTrack = 12,
    mute = 13,
    volumeUp = 14,
    volumeDown = 15,
    brightnessUp = 16,
    brightnessDown = 17,
    keyboardIlluminationUp = 18,
    keyboardIlluminationDown = 19,
    nextInputSource = 20,
    screenshot = 22,
    recordingToggle = 23,
    lockScreen = 50,
    wakeDisplay = 51,
    pauseStreaming = 100,
    resumeStreaming = 101,
    optionMissionControlKey = 160,
    optionLaunchpadKey = 161,
};

std::optional<HostShortcutKind> hostShortcutKindFromRaw(uint8_t raw);

// Type 29: one byte, a HostShortcutKind.
struct HostShortcutControlPayload {
    HostShortcutKind kind = HostShortcutKind::missionControl;

    std::vector<uint8_t> encode() const;
    static std::optional<HostShortcutControlPayload> decode(std::span<const uint8_t> bytes);
    bool operator==(const HostShortcutControlPayload&) const = default;
};

// Type 30: a key named by its X11 keysym (or a Unicode scalar).
struct KeyEventControlPayload {
    static constexpr size_t encodedSize = 5;

    uint32_t keysym = 0;
    bool down = false;  // any non-zero byte on the wire

    std::vector<uint8_t> encode() const;
    static std::optional<KeyEventControlPayload> decode(std::span<const uint8_t> bytes);
    bool operator==(const KeyEventControlPayload&) const = default;
};

// Type 32: a macOS virtual key code with Quartz event flags, posted as sent.
struct RawKeyEventControlPayload {
    static constexpr size_t encodedSize = 11;

    uint16_t keyCode = 0;
    uint64_t flags = 0;
    bool down = false;

    std::vector<uint8_t> encode() const;
    static std::optional<RawKeyEventControlPayload> decode(std::span<const uint8_t> bytes);
    bool operator==(const RawKeyEventControlPayload&) const = default;
};

// Type 33: a media, volume or brightness key by its NX key type.
struct SystemDefinedKeyEventControlPayload {
    static constexpr size_t encodedSize = 2;

    uint16_t keyType = 0;

    std::vector<uint8_t> encode() const;
    static std::optional<SystemDefinedKeyEventControlPayload> decode(std::span<const uint8_t> bytes);
    bool operator==(const SystemDefinedKeyEventControlPayload&) const = default;
};

// Type 39: the Viewer asks for one item of a drag the Host announced.
struct DragPullRequestPayload {
    static constexpr size_t encodedSize = 8;

    uint32_t snapshotID = 0;
    uint32_t index = 0;  // zero-based position in the snapshot

    std::vector<uint8_t> encode() const;
    static std::optional<DragPullRequestPayload> decode(std::span<const uint8_t> bytes);
    bool operator==(const DragPullRequestPayload&) const = default;
};
