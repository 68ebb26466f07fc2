#pragma once
// What the display side of the server keeps between calls while it moves
// capture between real displays and the headless virtual display: the
// display-change observer and its pending topology recovery, the pending
// headless capture transition, the realise retries, the desktop promotion
// series, and the sleep and Screen Sharing facts those paths consult.
// Held by the server as one field and touched only on its queue.

#include <cstdint>
#include <optional>

#include "HostApp/Capture/CaptureModeControlPayload.h"
#include "HostApp/Capture/VideoCaptureMode.h"
#include "Platform/Runtime/Clock.h"
#include "Platform/Runtime/Dispatch.h"
#include "Platform/Foundation/NotificationCenter.h"

struct DisplayTargetState {
    // --- Topology ----------------------------------------------------------------------
    // The screen-parameters observer, registered once by the server's start.
    std::optional<platform::NotificationCenter::Token> displayParametersObserver;
    // The one pending recovery; a newer display change replaces it, so a
    // burst of changes gives one recovery.
    platform::DispatchWorkItemRef displayTopologyRecoveryTask;

    // --- Headless capture transition ---------------------------------------------------
    // Raised by every cancel, begin and end; a poll carrying another value
    // does nothing.
    uint64_t headlessCaptureTransitionGeneration = 0;
    platform::DispatchWorkItemRef headlessCaptureTransitionTask;

    // --- Realise retries -----------------------------------------------------------------
    // Slow retries used on a Host that started without a real display (0 to 2).
    int headlessRealizeSlowRetryAttempts = 0;
    // The pending fast and slow retries. Kept so that a mode application
    // started from anywhere else cancels them: a retry carries the mode it
    // was scheduled with and would otherwise revert a newer request.
    platform::DispatchWorkItemRef headlessRealizeRetryTask;
    platform::DispatchWorkItemRef headlessRealizeSlowRetryTask;

    // A physical request served from the virtual display because no real
    // display was usable; the topology recovery applies it again once one
    // is. A newer request or a choice of the user drops it.
    std::optional<CaptureModeControlPayload> physicalRequestHeldOnVirtualDisplay;

    // --- Desktop promotion ---------------------------------------------------------------
    // Raised by every cancel and every new series; an attempt or a result
    // carrying another value is dropped.
    uint64_t headlessDesktopPromotionGeneration = 0;
    platform::DispatchWorkItemRef headlessDesktopPromotionRetryTask;
    // Promotions started in the current series, bounded per series.
    int headlessDesktopPromotionRetryAttempts = 0;
    // The promotion blocks while the window server settles, so it runs here.
    platform::DispatchQueue headlessDesktopPromotionQueue{"com.norvessal.host.headless-desktop-promotion"};

    // --- Sleep and Screen Sharing facts read here -------------------------------------
    // The deadline of a running sleep preflight, and whether it made the
    // virtual display the desktop.
    std::optional<platform::Date> sleepPreflightDeadline;
    bool sleepPreflightDesktopIsReady = false;
    // Uptime at which Screen Sharing's own display was last seen; 0 never.
    uint64_t screenSharingDisplayLastSeenNs = 0;
};

// What a headless or fallback step hands to the completion of a mode
// application: how long to let the display settle, the mode the stream
// ends up in, and whether the capture is to be restarted.
struct DisplayTransitionResult {
    double delay = 0;
    VideoCaptureMode mode = VideoCaptureMode::easy;
    bool restart = false;
    bool operator==(const DisplayTransitionResult&) const = default;
};

// Whether a fast realise retry was arranged.
enum class HeadlessRealizeDecision : uint8_t {
    scheduledOrWaitingForWake = 0,
    exhausted = 1,
    notNeeded = 2,
};

// Gives the request the resolution's four sizes and HiDPI flag when it
// differs from them; such a request is no longer the Viewer's explicit
// choice. True when anything changed.
// The request with the resolution's sizes and HiDPI flag.
inline CaptureModeControlPayload withResolution(CaptureModeControlPayload request, const ResolutionProfile& resolution) {
    request.logicalWidth = resolution.logicalWidth;
    request.logicalHeight = resolution.logicalHeight;
    request.pixelWidth = resolution.pixelWidth;
    request.pixelHeight = resolution.pixelHeight;
    request.flags = static_cast<uint8_t>(resolution.hiDPI ? (request.flags | CaptureModeControlPayload::flagHiDPI)
                                                          : (request.flags & ~CaptureModeControlPayload::flagHiDPI));
    return request;
}

inline bool conformRequestToResolution(CaptureModeControlPayload& request, const ResolutionProfile& resolution) {
    const bool hiDPI = (request.flags & CaptureModeControlPayload::flagHiDPI) != 0;
    if (request.logicalWidth == resolution.logicalWidth && request.logicalHeight == resolution.logicalHeight &&
        request.pixelWidth == resolution.pixelWidth && request.pixelHeight == resolution.pixelHeight &&
        hiDPI == resolution.hiDPI) {
        return false;
    }
    request = withResolution(request, resolution);
    request.controlIntent = 0;
    return true;
}
