#pragma once
// Payloads about the Host's displays: the layout the Host announces (23) and
// the Viewer's display-mode (24) and physical-display (34) commands.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// Where the captured display lies in the Host's global display space
// (points, origin top left of the main display) and how large the union of
// all displays is, so a Viewer can size its view and map pointer positions.
struct DisplayLayoutPayload {
    static constexpr size_t encodedSize = 45;
    static constexpr uint8_t hiDPIFlag = 0x01;

    uint32_t displayID = 0;
    // Wide in memory; clamped to i32 (origins) or u32 (sizes) when encoded.
    int64_t targetX = 0;
    int64_t targetY = 0;
    int64_t targetWidth = 0;
    int64_t targetHeight = 0;
    int64_t unionX = 0;
    int64_t unionY = 0;
    int64_t unionWidth = 0;
    int64_t unionHeight = 0;
    int64_t pixelWidth = 0;
    int64_t pixelHeight = 0;
    uint8_t flags = 0;  // bit 0: the captured display is HiDPI

    bool isHiDPI() const { return (flags & hiDPIFlag) != 0; }

    // One-line log text, e.g. "display 1 target=1512x982@0,0 union=3432x1080@0,-98
    // logical=1512x982 backing=3024x1964 flags=0x01 HiDPI".
    std::string summary() const;

    std::vector<uint8_t> encode() const;
    // At least 45 bytes; bytes after them are ignored.
    static std::optional<DisplayLayoutPayload> decode(std::span<const uint8_t> bytes);

    bool operator==(const DisplayLayoutPayload&) const = default;
};

// The display mode a Viewer asks the Host's real display to take.
enum class HostDisplayMode : uint8_t {
    physical1080 = 0,
    physical1440 = 1,
    nativeRestore = 2,  // put back the mode the display had before the Host changed it
};

// Type 24: one byte, a HostDisplayMode.
struct HostDisplayModeControlPayload {
    HostDisplayMode mode = HostDisplayMode::physical1080;

    std::vector<uint8_t> encode() const;
    // The first byte must be 0, 1 or 2; bytes after it are ignored.
    static std::optional<HostDisplayModeControlPayload> decode(std::span<const uint8_t> bytes);

    bool operator==(const HostDisplayModeControlPayload&) const = default;
};

// Which real display a Viewer asks the Host to capture.
enum class HostPhysicalDisplayAction : uint8_t {
    main = 1,  // the default display
    next = 2,  // the next display in try order
};

// Type 34: one byte, a HostPhysicalDisplayAction.
struct HostPhysicalDisplayControlPayload {
    HostPhysicalDisplayAction action = HostPhysicalDisplayAction::main;

    std::vector<uint8_t> encode() const;
    // The first byte must be 1 or 2; bytes after it are ignored.
    static std::optional<HostPhysicalDisplayControlPayload> decode(std::span<const uint8_t> bytes);

    bool operator==(const HostPhysicalDisplayControlPayload&) const = default;
};
