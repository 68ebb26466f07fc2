#include "VelantrixProfiles/DisplayProfiles/DisplayProfileCatalog.h"

std::string ResolutionProfile::strictGeometrySummary() const {
    std::string text = title + " " + std::to_string(logicalWidth) + "x" + std::to_string(logicalHeight);
    if (hiDPI) {
        text += " (" + std::to_string(pixelWidth) + "x" + std::to_string(pixelHeight) + " backing)";
    }
    return text;
}

const ResolutionProfile DisplayProfileCatalog::fullHD1080{
    ResolutionKind::fullHD1080, "1080p", 1920, 1080, 1920, 1080, false};
const ResolutionProfile DisplayProfileCatalog::qhd1440{
    ResolutionKind::qhd1440, "1440p", 2560, 1440, 2560, 1440, false};
const ResolutionProfile DisplayProfileCatalog::easyCompact{
    ResolutionKind::hidpi1080, "Easy Compact", 1280, 800, 2560, 1600, true};
const ResolutionProfile DisplayProfileCatalog::easyComfortable{
    ResolutionKind::hidpi1080, "Easy Comfortable", 1600, 900, 3200, 1800, true};
const ResolutionProfile DisplayProfileCatalog::hidpi1440{
    ResolutionKind::hidpi1440, "HiDPI 1080", 1920, 1080, 3840, 2160, true};
const ResolutionProfile& DisplayProfileCatalog::hidpi1080 = DisplayProfileCatalog::hidpi1440;
const ResolutionProfile DisplayProfileCatalog::maxCanvas{
    ResolutionKind::canvas2880, "Max Canvas", 2880, 1620, 5760, 3240, true};

const CaptureModeProfileDefinition DisplayProfileCatalog::physical1080{
    CaptureModeKind::physical1080, "Physical 1080p", fullHD1080, false, false, false, 60,
    14'000'000, 20'000'000, 1920, 1920};
const CaptureModeProfileDefinition DisplayProfileCatalog::physical1440{
    CaptureModeKind::physical1440, "Physical 1440p", qhd1440, false, false, false, 60,
    24'000'000, 32'000'000, 2560, 2560};
const CaptureModeProfileDefinition DisplayProfileCatalog::easy{
    CaptureModeKind::easy, "Easy", easyCompact, false, true, true, 60,
    24'000'000, 32'000'000, 3200, 3200};
const CaptureModeProfileDefinition DisplayProfileCatalog::pro{
    CaptureModeKind::pro, "Pro", hidpi1440, true, true, true, 60,
    36'000'000, 48'000'000, 3840, 3840};
const CaptureModeProfileDefinition DisplayProfileCatalog::max{
    CaptureModeKind::max, "Max", maxCanvas, true, true, true, 60,
    48'000'000, 64'000'000, 5760, 5760};

// Function-local statics: other translation units may ask for these lists
// during their own static initialisation.
const std::array<ResolutionProfile, 6>& DisplayProfileCatalog::resolutions() {
    static const std::array<ResolutionProfile, 6> all{
        fullHD1080, qhd1440, easyCompact, easyComfortable, hidpi1440, maxCanvas};
    return all;
}

const std::array<ResolutionProfile, 2>& DisplayProfileCatalog::adaptiveEasyResolutions() {
    static const std::array<ResolutionProfile, 2> adaptive{easyCompact, easyComfortable};
    return adaptive;
}

const std::array<CaptureModeProfileDefinition, 5>& DisplayProfileCatalog::modes() {
    static const std::array<CaptureModeProfileDefinition, 5> all{physical1080, physical1440, easy, pro, max};
    return all;
}

std::optional<CaptureModeProfileDefinition> DisplayProfileCatalog::modeProfile(uint8_t rawValue) {
    for (const auto& definition : modes()) {
        if (static_cast<uint8_t>(definition.kind) == rawValue) return definition;
    }
    return std::nullopt;
}

const CaptureModeProfileDefinition& DisplayProfileCatalog::modeProfileOrEasy(uint8_t rawValue) {
    for (const auto& definition : modes()) {
        if (static_cast<uint8_t>(definition.kind) == rawValue) return definition;
    }
    return easy;
}
