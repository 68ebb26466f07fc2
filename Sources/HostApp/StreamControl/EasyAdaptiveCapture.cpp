// Two small policies of the shared stream. Easy on a Mac with a usable
// physical display captures that display at whatever mode it has (no
// resolution switch), scales the encoded canvas to what the transport
// carries and sizes the bit rate by the encoded pixels. And while any Mac
// Viewer asked for the shared stream over Wi-Fi, the shared encoder runs
// with a tighter burst ceiling. Server queue only.

#include <algorithm>
#include <cmath>

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "HostApp/Capture/HostHardware.h"
#include "HostApp/Capture/VideoStreamProfile.h"
#include "HostApp/Display/HeadlessVirtualDisplay.h"
#include "HostApp/Display/HostDisplayModeSwitcher.h"

using Request = CaptureModeControlPayload;

namespace {

// Bits 1 ("raised") and 6 ("reduced") of the Viewer's request survive
// normalisation; bit 5 marks a canvas kept to 4:2:0 on an Intel Mac.
constexpr uint8_t kCarriedFlags = 0x42;
constexpr uint8_t kIntelChromaFlag = 0x20;

}  // namespace

Request V230HostAudioAuxServer::normalizedEasyAdaptivePhysicalRequest(const Request& base) {
    const bool appleSilicon = HostHardware::isAppleSilicon();
    const VideoChromaMode chroma = appleSilicon ? base.chromaMode : VideoChromaMode::yuv420;
    Request n = Request::preset(VideoCaptureMode::easy, chroma, VideoCaptureBackend::physical);
    n.codec = base.codec;
    n.fps = std::clamp(base.fps >= 1 ? base.fps : n.fps, 1, 60);
    uint8_t flags = n.flags | (base.flags & kCarriedFlags);
    if (!appleSilicon || (base.flags & kIntelChromaFlag)) flags |= kIntelChromaFlag;
    n.flags = flags;
    n.controlIntent = 0;
    return n;
}

std::pair<int, int> V230HostAudioAuxServer::easyAdaptiveEncodedSize(int pixelWidth, int pixelHeight,
                                                                    int transportMax) {
    const int longer = std::max(pixelWidth, pixelHeight);
    const double scale = longer < 1 ? 1.0 : std::min(1.0, static_cast<double>(transportMax) / longer);
    auto side = [scale](int pixels) {
        return std::max(2, static_cast<int>(std::floor(pixels * scale))) & ~1;
    };
    return {side(pixelWidth), side(pixelHeight)};
}

int64_t V230HostAudioAuxServer::adaptiveEasyBitrate(int pixelWidth, int pixelHeight, bool chromaIs444) {
    const int64_t ceiling = chromaIs444 ? 48'000'000 : 36'000'000;
    const int64_t floor = chromaIs444 ? 12'000'000 : 8'000'000;
    const auto& reference = DisplayProfileCatalog::hidpi1080;
    const double referencePixels = static_cast<double>(reference.pixelWidth) * reference.pixelHeight;
    if (referencePixels <= 0) return ceiling;
    const double pixels = static_cast<double>(std::max(pixelWidth, 1)) * std::max(pixelHeight, 1);
    const double ratio = std::min(1.0, pixels / referencePixels);
    const auto value = static_cast<int64_t>(std::round(static_cast<double>(ceiling) * ratio));
    return std::max(floor, std::min(value, ceiling));
}

void V230HostAudioAuxServer::applyEasyAdaptivePhysicalCapture(uint32_t displayID, std::optional<Request> base) {
    queue.dispatchPrecondition();
    auto& sc = streamControl;
    Request request = normalizedEasyAdaptivePhysicalRequest(base.value_or(sc.currentCaptureRequest));

    // Fit to the display as it is now.
    request.flags &= static_cast<uint8_t>(~(Request::flagHiDPI | Request::flagIOSBuiltInDisplay));
    if (const auto layout = HostDisplayModeSwitcher::displayLayout(displayID)) {
        request.logicalWidth = layout->targetWidth;
        request.logicalHeight = layout->targetHeight;
        request.pixelWidth = layout->pixelWidth;
        request.pixelHeight = layout->pixelHeight;
        request.flags |= layout->flags & Request::flagHiDPI;
    }
    // The request keeps the display's size; only the bit rate follows what
    // the transport lets through.
    const auto [encodedWidth, encodedHeight] =
        easyAdaptiveEncodedSize(request.pixelWidth, request.pixelHeight, transportMaxDimension(request));
    request.bitrate =
        adaptiveEasyBitrate(encodedWidth, encodedHeight, request.chromaMode == VideoChromaMode::yuv444);
    request.controlIntent = 0;

    const Request previous = sc.currentCaptureRequest;
    const uint32_t previousDisplay = selectedDisplayID;
    auto& headless = HeadlessVirtualDisplay::shared();
    const bool virtualDisplayWasActive = headless.stateSnapshot().isActive;
    if (useHeadlessVirtualDisplay || virtualDisplayWasActive) headless.stop(false);

    useHeadlessVirtualDisplay = false;
    displaySelectionIsManual = false;
    selectedDisplayID = physicalDisplayID = displayID;
    sc.currentCaptureRequest = request;
    sc.currentVideoMode = VideoCaptureMode::easy;
    sc.currentVideoChromaMode = request.chromaMode;
    resumeAuxVideoCaptureAfterZeroFrameSuspension("easy adaptive physical capture");
    sc.videoStartRetryAttempts = 0;
    headlessRealizeRetryAttempts = 0;
    displayTarget.headlessRealizeSlowRetryAttempts = 0;

    const std::string display = std::to_string(displayID);
    if (request == previous && !virtualDisplayWasActive && previousDisplay == displayID && sc.videoCapture) {
        publish("easy adaptive physical capture unchanged on display " + display);
        return;
    }
    lastDisplayLayout.reset();
    publish("easy adaptive: capturing physical display " + display + " at current display mode " + request.summary());
    broadcastHostError("display: easy adaptive physical capture display=" + display +
                       " at current display mode (no host resolution switch)");
    const auto layout = currentDisplayLayout();
    publish("display layout " + layout.summary());
    broadcastDisplayLayout(layout);
    scheduleDisplayLayoutPublish(0.35);
    restartAudioCaptureOnDisplaySwitch(0.1);
    restartVideoCapture(0.1);
}

bool V230HostAudioAuxServer::sharedCanvasHasWiFiMacSubscriberRequest() const {
    if (authorizedVideoSessions.empty()) return false;
    const auto& requests = streamControl.lastVideoRequestBySource;
    return std::any_of(requests.begin(), requests.end(), [](const auto& entry) {
        return (entry.second.flags & (Request::flagWiFiRoute | Request::flagIOSBuiltInDisplay)) ==
               Request::flagWiFiRoute;
    });
}

void V230HostAudioAuxServer::reconcileSharedCanvasWiFiDeliveryShaping(const std::string& reason) {
    queue.dispatchPrecondition();
    auto& sc = streamControl;
    if (!sc.videoCapture) return;
    const bool wifi = sharedCanvasHasWiFiMacSubscriberRequest();
    // Tightened on every call: a rebuilt encoder starts loose again.
    if (wifi) sc.videoCapture->tightenBurstCeilingForWiFi();
    if (wifi == sc.sharedCanvasWiFiShapingApplied) return;
    sc.sharedCanvasWiFiShapingApplied = wifi;
    publish(std::string("video delivery: shared-canvas Wi-Fi shaping ") + (wifi ? "on" : "off") + " (" + reason + ")");
}
