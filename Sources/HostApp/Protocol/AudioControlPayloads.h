#pragma once
// The Viewer's audio control (7) and the Host recording messages: the
// Viewer's control (50) and the Host's state report (51). Little-endian.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// Type 7, on the audio connection only.
struct AudioControlPayload {
    static constexpr uint8_t listenHereOnlyBit = 0x01;
    static constexpr uint8_t valuePresentBit = 0x02;
    static constexpr uint8_t muteHostOutputBit = 0x04;

    bool listenHereOnly = false;  // deliver audio to this Viewer only, Host speakers silent
    bool muteHostOutput = false;  // mute the Host's output while this Viewer listens
    bool valuePresent = false;    // the Viewer announced `value`; the Host takes no action on it
    uint32_t value = 0;           // 0 unless the flag is set and all four bytes arrived

    // Flags byte, then `value` when `valuePresent`.
    std::vector<uint8_t> encode() const;
    // Empty does not decode; other flag bits and bytes after the fifth are ignored.
    static std::optional<AudioControlPayload> decode(std::span<const uint8_t> bytes);
    bool operator==(const AudioControlPayload&) const = default;
};

enum class HostRecordingAction : uint8_t {
    stop = 0,
    start = 1,
};

// Type 50: start recording a normalised region of the shared capture, or stop.
struct HostRecordingControlPayload {
    static constexpr size_t encodedSize = 9;
    static constexpr double minimumSide = 0.01;

    HostRecordingAction action = HostRecordingAction::stop;
    // The region in [0, 1] units. After decoding, width and height are at
    // least 0.01 and the region lies inside the unit square.
    double x = 0;
    double y = 0;
    double width = 1;
    double height = 1;

    // Action byte, then x, y, width, height as u16 65535ths (clamped to [0, 1]).
    std::vector<uint8_t> encode() const;
    // At least 9 bytes, action 0 or 1; bytes after the ninth are ignored.
    static std::optional<HostRecordingControlPayload> decode(std::span<const uint8_t> bytes);
    bool operator==(const HostRecordingControlPayload&) const = default;
};

enum class HostRecordingState : uint8_t {
    started = 1,
    stopping = 2,  // part of the wire vocabulary; the Host never sends it
    finished = 3,
    failed = 4,
};

// Type 51: what became of the recording a Viewer started.
struct HostRecordingStatePayload {
    HostRecordingState state = HostRecordingState::started;
    uint64_t fileSize = 0;  // bytes of the finished movie
    std::string path;       // full path of the finished movie
    std::string message;    // why it failed

    // State, size, then path and message each as u16 length + UTF-8 (a text
    // over 65,535 bytes is cut at a character boundary): 13 bytes plus the texts.
    std::vector<uint8_t> encode() const;
    // State 1 to 4 and both texts complete; bytes after them are ignored.
    static std::optional<HostRecordingStatePayload> decode(std::span<const uint8_t> bytes);
    bool operator==(const HostRecordingStatePayload&) const = default;
};
