#include "HostApp/Capture/VideoStreamProfile.h"

#include <algorithm>
#include <cmath>

#include "HostApp/Capture/HostHardware.h"
#include "HostApp/Display/HostDisplayModeSwitcher.h"
#include "Platform/SimulatedMac/CoreGraphicsDisplays.h"

namespace {

bool sameSizes(const ResolutionProfile& r, const CaptureModeControlPayload& request) {
    return r.logicalWidth == request.logicalWidth && r.logicalHeight == request.logicalHeight &&
           r.pixelWidth == request.pixelWidth && r.pixelHeight == request.pixelHeight;
}

}  // namespace

ResolutionProfile resolvedAdaptiveResolution(const CaptureModeControlPayload& request) {
    if ((request.flags & CaptureModeControlPayload::flagSupersampled) && HostHardware::isAppleSilicon()) {
        return DisplayProfileCatalog::hidpi1080;
    }
    if (request.mode == VideoCaptureMode::easy) {
        for (const auto& r : DisplayProfileCatalog::adaptiveEasyResolutions()) {
            if (sameSizes(r, request)) return r;
        }
    }
    return captureModeDefinition(request.mode).resolution;
}

int transportMaxDimension(const CaptureModeControlPayload& request) {
    if (request.flags & CaptureModeControlPayload::flagSupersampled) return 2880;
    int limit = captureModeDefinition(request.mode).streamMaxDimension(request.chromaMode == VideoChromaMode::yuv444);
    if (request.flags & CaptureModeControlPayload::flagReduced) limit = std::min(limit, 1920);
    if (request.flags & CaptureModeControlPayload::flagWiFiRoute) limit = std::min(limit, 3840);
    if (!HostHardware::isAppleSilicon()) limit = std::min(limit, 3840);
    return limit;
}

std::pair<int, int> VideoStreamProfile::scaledSize(int width, int height, int maxDimension) {
    // Integer arithmetic: a floating scale of maxDimension / longer side can
    // land a hair below the exact product and lose a pixel.
    const int64_t w = std::max(width, 0);
    const int64_t h = std::max(height, 0);
    const int64_t longer = std::max(w, h);
    const int64_t limit = std::max(maxDimension, 0);
    int64_t sw = w, sh = h;
    if (longer >= 1 && limit < longer) {
        sw = w * limit / longer;
        sh = h * limit / longer;
    }
    auto even = [](int64_t v) { return static_cast<int>(std::max<int64_t>(v, 2) & ~int64_t{1}); };
    return {even(sw), even(sh)};
}

VideoStreamProfile VideoStreamProfile::forDisplay(uint32_t displayID, const CaptureModeControlPayload& request,
                                                  bool permitsAdaptivePhysicalGeometry,
                                                  std::optional<int> maxDimensionCap) {
    const auto& definition = captureModeDefinition(request.mode);
    VideoStreamProfile p;
    p.displayID = displayID;
    p.mode = request.mode;
    p.requestedResolution = resolvedAdaptiveResolution(request);
    p.codec = request.codec;
    p.chromaMode = request.chromaMode;

    int limit = transportMaxDimension(request);
    if (maxDimensionCap) limit = std::min(limit, std::max(*maxDimensionCap, 2));
    p.validationMaxDimension = limit;

    const auto shape = displayShape(displayID);
    if (shape) {
        p.displayPixelWidth = shape->pixelWidth;
        p.displayPixelHeight = shape->pixelHeight;
    }
    int sourceWidth = request.pixelWidth, sourceHeight = request.pixelHeight;
    if (sourceWidth < 1 || sourceHeight < 1) {
        sourceWidth = p.requestedResolution.pixelWidth;
        sourceHeight = p.requestedResolution.pixelHeight;
    }
    // Adaptive geometry: the display keeps whatever mode it has, and the
    // canvas follows it instead of the catalogue size.
    if (permitsAdaptivePhysicalGeometry && shape && shape->pixelWidth > 0 && shape->pixelHeight > 0) {
        sourceWidth = shape->pixelWidth;
        sourceHeight = shape->pixelHeight;
    }
    std::tie(p.width, p.height) = scaledSize(sourceWidth, sourceHeight, limit);
    p.strictEncodedSizeRequired = definition.requireStrictGeometry && !permitsAdaptivePhysicalGeometry;

    p.fps = request.fps >= 1 ? std::min(request.fps, VideoStreamProfile::maximumFps) : definition.fps;
    // A Viewer's bit rate is taken as sent, but a value too small for any
    // encoder to open with (a few hundred bits a second) would break the one
    // shared stream for every Viewer: it is raised to a floor instead.
    p.bitrate = request.bitrate > 0 ? std::max<int64_t>(request.bitrate, minimumBitrate)
                                    : definition.bitrate(request.chromaMode == VideoChromaMode::yuv444);
    return p;
}

bool VideoStreamProfile::matchesDisplayAspectAtLongEdge(int longEdge) const {
    if (std::max(width, height) != longEdge) return false;
    if (width < 1 || height < 1 || displayPixelWidth < 1 || displayPixelHeight < 1) return false;
    const bool landscape = width >= height;
    const bool displayLandscape = displayPixelWidth >= displayPixelHeight;
    if (landscape != displayLandscape) return false;
    const double aspect = static_cast<double>(width) / height;
    const double displayAspect = static_cast<double>(displayPixelWidth) / displayPixelHeight;
    return std::fabs(aspect - displayAspect) <= 0.02;
}

std::string VideoStreamProfile::title() const {
    return std::string(codec == VideoStreamCodec::hevc ? "HEVC" : "H264") + " " + std::to_string(width) + "x" +
           std::to_string(height) + " @" + std::to_string(fps) + "fps";
}

std::optional<std::string> VideoStreamProfile::validationErrorForRequestedMode() const {
    if (!captureModeDefinition(mode).requireStrictGeometry || !strictEncodedSizeRequired) return std::nullopt;
    const auto [expectedWidth, expectedHeight] =
        scaledSize(requestedResolution.pixelWidth, requestedResolution.pixelHeight, validationMaxDimension);
    if (width == expectedWidth && height == expectedHeight) return std::nullopt;
    if (matchesDisplayAspectAtLongEdge(std::max(expectedWidth, expectedHeight))) return std::nullopt;
    return requestedResolution.title + " mode requires encoded " + std::to_string(expectedWidth) + "x" +
           std::to_string(expectedHeight) + (requestedResolution.hiDPI ? " backing" : "") + ", got " +
           (codec == VideoStreamCodec::hevc ? "HEVC" : "H264") + " " + std::to_string(width) + "x" +
           std::to_string(height) + " on display " + std::to_string(displayID);
}

std::optional<VideoStreamProfile::DisplayShape> VideoStreamProfile::displayShape(uint32_t displayID) {
    if (const auto layout = HostDisplayModeSwitcher::displayLayout(displayID);
        layout && layout->pixelWidth > 0 && layout->pixelHeight > 0) {
        return DisplayShape{static_cast<int>(layout->pixelWidth), static_cast<int>(layout->pixelHeight)};
    }
    const auto bounds = platform::CGDisplayBounds(displayID);
    if (bounds.width >= 1 && bounds.height >= 1) {
        return DisplayShape{static_cast<int>(std::lround(bounds.width)), static_cast<int>(std::lround(bounds.height))};
    }
    return std::nullopt;
}
