#pragma once
// The texts the status refresh keeps current and the probes behind them:
// the labels (three shown in the summary window, four kept as state), the
// display-selection controls, and the generation that drops a probe's late
// result.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/AppKit/AppKitWindow.h"
#include "Platform/Runtime/Clock.h"
#include "Platform/Runtime/Dispatch.h"
#include "Platform/Network/Network.h"
#include "VelantrixProfiles/Discovery/VelantrixRouteRecord.h"

struct StatusPresentationState {
    // Kept as state; no window shows them.
    std::shared_ptr<platform::View> statusLabel;
    std::shared_ptr<platform::View> audioStatusLabel;
    std::shared_ptr<platform::View> addressLabel = platform::View::label("");
    std::shared_ptr<platform::View> detailLabel = platform::View::label("");
    // Shown in the summary window.
    std::shared_ptr<platform::View> summaryStatusLabel;
    std::shared_ptr<platform::View> summaryAddressLabel;
    std::shared_ptr<platform::View> summaryViewerLabel;
    std::weak_ptr<platform::View> physicalDisplayLabel;
    // Display selection: each item's represented object is a display ID.
    std::shared_ptr<platform::View> displayPopup = platform::View::popUpButton();
    std::shared_ptr<platform::View> virtualDisplayCheckbox;
    std::shared_ptr<platform::View> useDisplayButton;
    std::shared_ptr<platform::View> launchAtLoginCheckbox;
    // Raised by every refresh; a probe result of an older one is dropped.
    int64_t checkGeneration = 0;
    // The Screen Sharing port probe now running.
    std::shared_ptr<platform::TcpConnection> activeVNCProbe;
    std::vector<VelantrixRouteRecord> latestRouteRecords;
    std::optional<std::string> cachedDisplayDiagnosticsText;
    platform::Date lastDisplayDiagnosticsRefresh = platform::Date{-1e12};  // the distant past
    // A coalesced presentation update is already queued.
    bool presentationRefreshScheduled = false;
    // Presentation updates written so far.
    uint64_t presentationUpdateCountForTesting = 0;
    platform::DispatchQueue routeProbeQueue{"v230.hostprobe.routes"};
    bool routeProbeInFlight = false;
    // A display-state probe is out: each one makes up to three synchronous
    // hops onto the server queue, so a stalled server queue must not pile
    // them up one per refresh.
    bool displayProbeInFlight = false;
    // A forced display probe was asked for while one was out; it runs when
    // that one ends.
    bool forcedDisplayProbeWaiting = false;
    // Where the Screen Sharing probe connects (127.0.0.1); tests point it
    // at a port of their own.
    uint16_t screenSharingProbePortForTesting = 5900;
};
