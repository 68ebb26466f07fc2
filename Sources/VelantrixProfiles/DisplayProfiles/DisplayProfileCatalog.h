#pragma once
// The fixed catalogue of display resolutions and capture-mode definitions
// that the Host's capture, stream control and display management share.
// Every value here is a constant; nothing in the catalogue changes at run time.

#include <array>
#include <cstdint>
#include <optional>
#include <string>

enum class ResolutionKind : uint8_t { fullHD1080, qhd1440, hidpi1080, hidpi1440, canvas2880 };

// One catalogue resolution: its size in points and in backing pixels.
struct ResolutionProfile {
    ResolutionKind kind = ResolutionKind::fullHD1080;
    std::string title;
    int logicalWidth = 0;
    int logicalHeight = 0;
    int pixelWidth = 0;
    int pixelHeight = 0;
    bool hiDPI = false;

    // Names what a strict mode requires of a display, e.g.
    // "HiDPI 1080 1920x1080 (3840x2160 backing)".
    std::string strictGeometrySummary() const;

    bool operator==(const ResolutionProfile&) const = default;
};

// Wire and catalogue codes of the capture modes.
enum class CaptureModeKind : uint8_t { physical1080 = 0, physical1440 = 1, easy = 3, pro = 4, max = 6 };

// One capture-mode definition: the resolution a mode asks for and the
// encoder budget the Host gives it.
struct CaptureModeProfileDefinition {
    CaptureModeKind kind = CaptureModeKind::easy;
    std::string title;
    ResolutionProfile resolution;
    bool requireStrictGeometry = false;
    bool preferHiDPIPhysicalSwitch = false;
    bool defaultUsesHeadlessVirtualDisplay = false;
    int fps = 60;
    int64_t bitrate420 = 0;  // bits per second
    int64_t bitrate444 = 0;
    int streamMaxDimension420 = 0;  // longest encoded side the transport carries
    int streamMaxDimension444 = 0;

    int64_t bitrate(bool chromaIs444) const { return chromaIs444 ? bitrate444 : bitrate420; }
    int streamMaxDimension(bool chromaIs444) const {
        return chromaIs444 ? streamMaxDimension444 : streamMaxDimension420;
    }

    bool operator==(const CaptureModeProfileDefinition&) const = default;
};

struct DisplayProfileCatalog {
    static const ResolutionProfile fullHD1080;
    static const ResolutionProfile qhd1440;
    static const ResolutionProfile easyCompact;
    static const ResolutionProfile easyComfortable;
    static const ResolutionProfile hidpi1440;
    // "HiDPI 1080" is catalogued once: both names denote the same value, so a
    // preset built from either matches a display realised from the other.
    static const ResolutionProfile& hidpi1080;
    static const ResolutionProfile maxCanvas;

    // All six resolutions, in the order a realised geometry is matched back.
    static const std::array<ResolutionProfile, 6>& resolutions();
    // The resolutions an Easy request may take without becoming another mode.
    static const std::array<ResolutionProfile, 2>& adaptiveEasyResolutions();

    static const CaptureModeProfileDefinition physical1080;
    static const CaptureModeProfileDefinition physical1440;
    static const CaptureModeProfileDefinition easy;
    static const CaptureModeProfileDefinition pro;
    static const CaptureModeProfileDefinition max;

    static const std::array<CaptureModeProfileDefinition, 5>& modes();
    // The definition for a capture-mode code (0, 1, 3, 4, 6); none otherwise.
    static std::optional<CaptureModeProfileDefinition> modeProfile(uint8_t rawValue);
    // The definition for a code, or `easy` when the catalogue has none.
    static const CaptureModeProfileDefinition& modeProfileOrEasy(uint8_t rawValue);
};
