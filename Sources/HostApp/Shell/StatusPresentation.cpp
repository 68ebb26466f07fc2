// Keeps the Host's status texts current: a refresh every 2 s and on demand
// starts three background probes (network routes, the local Screen Sharing
// port, display state), whose results come back to the main queue and are
// dropped when a newer refresh began meanwhile; one coalesced update per
// main-loop turn then writes every text. Also the formatting rules of the
// address and Viewer texts, and the display-selection action.

#include <cstdio>
#include <utility>

#include "HostApp/Shell/DiagnosticLogBuffer.h"
#include "HostApp/Shell/HostLaunchAtLogin.h"
#include "HostApp/HostProbeDelegate.h"
#include "HostApp/Shell/HostVersionStrings.h"
#include "Platform/Runtime/Log.h"
#include "Platform/Network/Network.h"
#include "Platform/Foundation/UserDefaults.h"
#include "VelantrixProfiles/Discovery/VelantrixDiscovery.h"
#include "VelantrixProfiles/Localization/VelantrixL10n.h"

using platform::DispatchQueue;

namespace {
constexpr double kSlowRefreshSeconds = 0.5;
constexpr double kScreenSharingProbeTimeoutSeconds = 1.5;
constexpr double kDisplayDiagnosticsMaxAgeSeconds = 15.0;
constexpr double kDisplaySelectionRefreshDelay = 0.2;
constexpr double kHeadlessToggleRefreshDelay = 0.9;

// Joins the first two texts with ", ".
std::string firstTwoJoined(const std::vector<std::string>& texts) {
    std::string out;
    for (size_t i = 0; i < texts.size() && i < 2; ++i) out += (i ? ", " : "") + texts[i];
    return out;
}

// A decimal integer, optionally signed, and nothing else.
std::optional<int> decimalInteger(std::string_view piece) {
    size_t i = (!piece.empty() && (piece[0] == '+' || piece[0] == '-')) ? 1 : 0;
    if (i == piece.size() || piece.size() - i > 9) return std::nullopt;
    int value = 0;
    for (; i < piece.size(); ++i) {
        if (piece[i] < '0' || piece[i] > '9') return std::nullopt;
        value = value * 10 + (piece[i] - '0');
    }
    return piece[0] == '-' ? -value : value;
}
}  // namespace

// --- Refresh -----------------------------------------------------------------------------

void HostProbeDelegate::refresh(bool forceDisplayDiagnostics, bool probeScreenSharing) {
    assertMainQueue();
    const uint64_t startNs = platform::Clock::uptimeNs();
    triggerScreenCaptureRelaunchIfNeeded("refresh");
    const int64_t generation = ++presentation.checkGeneration;
    log("refresh generation=" + std::to_string(generation));
    probeRoutesAsync(generation);
    if (probeScreenSharing) {
        presentation.statusLabel->text =
            VelantrixL10n::text("host.screenSharingPortChecking", "Screen Sharing port 5900: checking...");
        checkLocalVNC(generation);
    } else {
        auto server = audioServer();
        presentation.statusLabel->text =
            server && server->hasConnectedViewer()
                ? VelantrixL10n::text("host.auxConnectedScreenOptional",
                                      "Norvessal Aux: connected; Screen Sharing optional")
                : VelantrixL10n::text("host.screenSharingOnDemand", "Screen Sharing: optional fallback (check manually)");
    }
    presentation.detailLabel->text = VelantrixL10n::text("host.displayDiagnosticsLoading", "Display diagnostics loading...");
    updateHostPresentation();
    refreshDisplayState(generation, forceDisplayDiagnostics);

    const double seconds = static_cast<double>(platform::Clock::uptimeNs() - startNs) / 1e9;
    if (seconds >= kSlowRefreshSeconds) {
        char text[32];
        std::snprintf(text, sizeof text, "%.2f", seconds);
        log("refresh generation=" + std::to_string(generation) + " took " + text + "s");
        platform::Log::raw("[host-probe] slow refresh generation=" + std::to_string(generation) + " took " + text + "s");
    }
}

void HostProbeDelegate::refreshButtonPressed() {
    assertMainQueue();
    log("UI refresh requested");
    refresh(true, true);
}

// --- Presentation --------------------------------------------------------------------------

void HostProbeDelegate::updateHostPresentation() {
    std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
    if (!DispatchQueue::main().isCurrent()) {
        DispatchQueue::main().async([weak] {
            if (auto self = weak.lock()) self->updateHostPresentation();
        });
        return;
    }
    if (presentation.presentationRefreshScheduled) return;
    presentation.presentationRefreshScheduled = true;
    DispatchQueue::main().async([weak] {
        auto self = weak.lock();
        if (!self) return;
        self->presentation.presentationRefreshScheduled = false;
        self->updateHostPresentationNow();
    });
}

void HostProbeDelegate::updateHostPresentationNow() {
    assertMainQueue();
    presentation.presentationUpdateCountForTesting++;
    const std::string running = VelantrixL10n::text("host.running", "Norvessal Host is running");
    const auto addresses = connectedViewerAddresses();
    const std::string summaryText = summaryAddressText(presentation.latestRouteRecords, addresses);
    const std::string menuText = menuAddressText(presentation.latestRouteRecords, addresses);
    const std::string viewers = connectedViewerText();
    const bool desired = platform::UserDefaults::standard().boolForKey("host.launchAtLogin.desired");
    const std::string login = desired ? VelantrixL10n::text("host.startAtLoginOn", "Start at login: on")
                                      : VelantrixL10n::text("host.startAtLoginOff", "Start at login: off");
    const std::string loginStatus = HostLaunchAtLogin::statusText();

    presentation.summaryStatusLabel->text = running + " \u00B7 " + login;
    presentation.summaryAddressLabel->text = summaryText;
    presentation.addressLabel->text = summaryText;
    presentation.summaryViewerLabel->text = viewers;
    for (const auto& checkbox : {summary.summaryLaunchAtLoginCheckbox.lock(), presentation.launchAtLoginCheckbox}) {
        if (!checkbox) continue;
        checkbox->isOn = desired;
        checkbox->toolTip = loginStatus;
    }
    for (const auto& item : {menus.statusLaunchAtLoginMenuItem.lock(), menus.launchAtLoginMenuItem.lock()}) {
        if (!item) continue;
        item->state = desired ? platform::ControlStateValue::on : platform::ControlStateValue::off;
        item->toolTip = loginStatus;
    }
    if (auto item = menus.statusMenuStatusItem.lock()) item->title = running;
    if (auto item = menus.statusMenuAddressItem.lock()) item->title = menuText;
    if (auto item = menus.statusMenuViewerItem.lock()) item->title = viewers;
    if (menus.statusItem) {
        auto& button = *menus.statusItem->button;
        updateStatusItemButtonTitle(button);
        button.toolTip = running + "\n" + login + "\n" + menuText + "\n" + viewers;
    }
}

// --- Texts ---------------------------------------------------------------------------------

std::vector<std::string> HostProbeDelegate::connectedViewerAddresses() const {
    std::vector<std::string> addresses;
    auto server = audioServer();
    if (!server) return addresses;
    for (const auto& summary : server->connectedViewerConnectionSummaries())
        if (!summary.address.empty()) addresses.push_back(summary.address);
    return addresses;
}

std::string HostProbeDelegate::connectedViewerText() const {
    auto server = audioServer();
    const auto summaries = server ? server->connectedViewerConnectionSummaries() : std::vector<ViewerConnectionSummary>{};
    if (summaries.empty()) return VelantrixL10n::text("host.viewerNone", "Viewer: none connected");
    std::vector<std::string> names;
    std::vector<std::string> addresses;
    for (const auto& summary : summaries) {
        names.push_back(summary.name);
        if (!summary.address.empty()) addresses.push_back(summary.address);
    }
    std::string suffix;
    if (!addresses.empty()) {
        std::string list = firstTwoJoined(addresses);
        if (addresses.size() >= 3)
            list += VelantrixL10n::format("host.moreSuffixFormat", " + %d more", static_cast<int>(addresses.size() - 2));
        suffix = VelantrixL10n::format("host.viewerAddressSuffixFormat", " from %@", list);
    }
    const std::string nameText = viewerDisplayNameSummary(names);
    return summaries.size() == 1
               ? VelantrixL10n::format("host.viewerConnectedFormat", "Viewer: %@ connected%@", nameText, suffix)
               : VelantrixL10n::format("host.viewersConnectedFormat", "Viewers: %@ connected%@", nameText, suffix);
}

std::optional<std::array<int, 4>> HostProbeDelegate::ipv4Octets(const std::string& text) {
    const size_t first = text.find_first_not_of("[] ");
    if (first == std::string::npos) return std::nullopt;
    const std::string_view trimmed =
        std::string_view(text).substr(first, text.find_last_not_of("[] ") - first + 1);
    std::vector<std::string_view> pieces;
    size_t start = 0;
    while (start <= trimmed.size()) {
        const size_t dot = trimmed.find('.', start);
        const size_t end = dot == std::string_view::npos ? trimmed.size() : dot;
        if (end > start) pieces.push_back(trimmed.substr(start, end - start));
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    if (pieces.size() != 4) return std::nullopt;
    std::vector<int> numbers;
    for (auto piece : pieces)
        if (auto number = decimalInteger(piece)) numbers.push_back(*number);
    if (numbers.size() != 4) return std::nullopt;
    std::array<int, 4> octets{};
    for (size_t i = 0; i < 4; ++i) {
        if (numbers[i] < 0 || numbers[i] > 255) return std::nullopt;
        octets[i] = numbers[i];
    }
    return octets;
}

std::string HostProbeDelegate::routeAddressText(const VelantrixRouteRecord& route,
                                                const std::vector<std::string>& currentViewerAddresses) {
    std::string text = route.displayLabel() + ": " + route.address;
    const auto routeOctets = ipv4Octets(route.address);
    if (!routeOctets) return text;
    for (const auto& address : currentViewerAddresses) {
        const auto viewer = ipv4Octets(address);
        if (viewer && std::equal(viewer->begin(), viewer->begin() + 3, routeOctets->begin()))
            return text + VelantrixL10n::text("host.currentRouteMarker", " (current)");
    }
    return text;
}

std::string HostProbeDelegate::summaryAddressText(const std::vector<VelantrixRouteRecord>& routes,
                                                  const std::vector<std::string>& currentViewerAddresses) {
    if (routes.empty()) return VelantrixL10n::text("host.ipsNone", "Host IPs: none found");
    std::string text = VelantrixL10n::text("host.ipsHeader", "Host IPs:");
    for (const auto& route : routes) text += "\n  " + routeAddressText(route, currentViewerAddresses);
    return text;
}

std::string HostProbeDelegate::menuAddressText(const std::vector<VelantrixRouteRecord>& routes,
                                               const std::vector<std::string>& currentViewerAddresses) {
    if (routes.empty()) return VelantrixL10n::text("host.ipsNone", "Host IPs: none found");
    std::vector<std::string> texts;
    for (const auto& route : routes) texts.push_back(routeAddressText(route, currentViewerAddresses));
    const std::string shown = firstTwoJoined(texts);
    if (texts.size() <= 2) return VelantrixL10n::format("host.ipsInlineFormat", "Host IPs: %@", shown);
    return VelantrixL10n::format("host.ipsInlineMoreFormat", "Host IPs: %@ + %d more", shown,
                                 static_cast<int>(texts.size() - 2));
}

// --- Probes --------------------------------------------------------------------------------

void HostProbeDelegate::probeRoutesAsync(int64_t generation) {
    assertMainQueue();
    if (presentation.routeProbeInFlight) return;
    presentation.routeProbeInFlight = true;
    std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
    presentation.routeProbeQueue.async([weak, generation] {
        auto records = VelantrixDiscovery::localRouteRecords();
        DispatchQueue::main().async([weak, generation, records = std::move(records)] {
            auto self = weak.lock();
            if (!self) return;
            self->presentation.routeProbeInFlight = false;
            // An older generation's result is dropped; the next tick probes again.
            if (self->presentation.checkGeneration != generation) return;
            self->presentation.latestRouteRecords = records;
            if (auto server = self->audioServer()) server->refreshBonjourAdvertisement();
            self->presentation.addressLabel->text = summaryAddressText(records, self->connectedViewerAddresses());
            self->updateHostPresentation();
        });
    });
}

void HostProbeDelegate::checkLocalVNC(int64_t generation) {
    assertMainQueue();
    using platform::ConnectionState;
    using platform::TcpConnection;
    // The handler of a replaced probe is left to the connection: cancelling
    // stops every delivery but the `cancelled` one, which it ignores, and
    // its late result no longer matches `activeVNCProbe`.
    if (presentation.activeVNCProbe) presentation.activeVNCProbe->cancel();
    auto connection = TcpConnection::connect("127.0.0.1", presentation.screenSharingProbePortForTesting);
    connection->setWaitsWhenUnreachable(true);
    presentation.activeVNCProbe = connection;
    DispatchQueue probeQueue("v230.hostprobe.check." + std::to_string(generation));
    // Touched only on the probe's queue.
    auto finished = std::make_shared<bool>(false);
    std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
    std::weak_ptr<TcpConnection> weakConnection = connection;

    auto finish = [weak, weakConnection, generation](const std::string& message) {
        if (auto c = weakConnection.lock()) c->cancel();
        DispatchQueue::main().async([weak, weakConnection, generation, message] {
            auto self = weak.lock();
            auto c = weakConnection.lock();
            if (!self || !c || self->presentation.activeVNCProbe != c) return;
            self->presentation.activeVNCProbe.reset();
            if (self->presentation.checkGeneration != generation) return;
            self->log(message);
            self->presentation.statusLabel->text = message;
            self->updateHostPresentation();
        });
    };
    connection->stateUpdateHandler = [finished, finish, weak, generation](ConnectionState state,
                                                                          const std::string& error) {
        switch (state) {
            case ConnectionState::ready:
                if (*finished) return;
                *finished = true;
                finish("Screen Sharing port 5900: reachable on this Host");
                break;
            case ConnectionState::failed:
                if (*finished) return;
                *finished = true;
                finish("Screen Sharing port 5900: not reachable (" + error + ")");
                break;
            case ConnectionState::waiting:
                // The probe goes on; the time-out still applies.
                DispatchQueue::main().async([weak, generation, error] {
                    auto self = weak.lock();
                    if (!self || self->presentation.checkGeneration != generation) return;
                    self->log("Screen Sharing port 5900 waiting: " + error);
                    self->presentation.statusLabel->text = VelantrixL10n::format(
                        "host.screenSharingWaitingFormat", "Screen Sharing port 5900: waiting (%@)", error);
                    self->updateHostPresentation();
                });
                break;
            case ConnectionState::setup:
            case ConnectionState::preparing:
            case ConnectionState::cancelled:
                break;
        }
    };
    connection->start(probeQueue);
    probeQueue.asyncAfter(kScreenSharingProbeTimeoutSeconds, [finished, finish] {
        if (*finished) return;
        *finished = true;
        finish("Screen Sharing port 5900: not reachable (timeout). Enable macOS Screen Sharing.");
    });
}

void HostProbeDelegate::refreshDisplayState(int64_t generation, bool forceDisplayDiagnostics) {
    assertMainQueue();
    if (presentation.displayProbeInFlight) {
        // The running probe's result will be stale; a forced request (a new
        // display chosen, a wake) must not be lost with it, so it runs as
        // soon as that probe ends.
        if (forceDisplayDiagnostics) presentation.forcedDisplayProbeWaiting = true;
        return;
    }
    presentation.displayProbeInFlight = true;
    auto server = audioServer();
    const auto cached = presentation.cachedDisplayDiagnosticsText;
    const bool needsNew = forceDisplayDiagnostics || !cached ||
                          platform::Clock::now().timeIntervalSince(presentation.lastDisplayDiagnosticsRefresh) >=
                              kDisplayDiagnosticsMaxAgeSeconds;
    std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
    DispatchQueue::global(platform::QualityOfService::userInitiated).async([weak, server, cached, needsNew,
                                                                           generation] {
        bool headless = false;
        uint32_t selected = 0;
        if (server) {
            headless = server->headlessVirtualDisplayEnabledSnapshot();
            selected = headless ? server->physicalDisplayIDSnapshot() : server->selectedDisplayIDSnapshot();
        }
        // Checked, not locked: the delegate must not end its life here.
        const bool made = needsNew && !weak.expired();
        const std::string text =
            made ? hostDisplayDiagnostics(server) : cached.value_or("Display diagnostics unavailable");
        auto options = HostDisplayModeSwitcher::displaySelectionOptions();
        DispatchQueue::main().async([weak, generation, headless, selected, text, made, options = std::move(options)] {
            auto self = weak.lock();
            if (!self) return;
            auto& state = self->presentation;
            state.displayProbeInFlight = false;
            if (std::exchange(state.forcedDisplayProbeWaiting, false)) self->refreshDisplayState(state.checkGeneration, true);
            if (state.checkGeneration != generation) return;
            if (state.virtualDisplayCheckbox) {
                state.virtualDisplayCheckbox->isOn = headless;
                state.virtualDisplayCheckbox->isEnabled = true;
            }
            state.displayPopup->isEnabled = true;
            if (state.useDisplayButton) state.useDisplayButton->isEnabled = true;
            self->updateDisplayPopup(options, selected);
            state.detailLabel->text = text;
            if (made) {
                state.cachedDisplayDiagnosticsText = text;
                state.lastDisplayDiagnosticsRefresh = platform::Clock::now();
            }
            self->log(std::string("display diagnostics updated headless=") + (headless ? "true" : "false") +
                      " selected=" + std::to_string(selected));
        });
    });
}

std::string HostProbeDelegate::hostDisplayDiagnostics(const std::shared_ptr<V230HostAudioAuxServer>& server) {
    return VelantrixL10n::format("host.diagnosticsDefaultIntroFormat",
                                 "V%@ Host defaults to fixed virtual display templates. The physical display menu "
                                 "controls audio and real-display fallback.",
                                 hostAppVersionString()) +
           "\n" + (server ? server->displayDiagnostics() : HostDisplayModeSwitcher::displayDiagnostics());
}

void HostProbeDelegate::updateDisplayPopup(const std::vector<DisplaySelectionOption>& options, uint32_t selectedID) {
    assertMainQueue();
    auto& popup = *presentation.displayPopup;
    popup.items.clear();
    popup.selectedIndex.reset();
    for (const auto& option : options) {
        if (!popup.selectedIndex && option.id == selectedID) popup.selectedIndex = popup.items.size();
        popup.items.push_back({option.title, option.id});
    }
    // A pop-up always shows an item: with no match, the first one, so that
    // "Use Selected Physical Display" acts on what is shown.
    if (!popup.selectedIndex && !popup.items.empty()) popup.selectedIndex = 0;
}

// --- Display selection ----------------------------------------------------------------------

void HostProbeDelegate::useDisplayButtonPressed() {
    assertMainQueue();
    const auto& popup = *presentation.displayPopup;
    if (!popup.selectedIndex || *popup.selectedIndex >= popup.items.size()) return;
    const uint32_t displayID = popup.items[*popup.selectedIndex].representedObject;
    log("UI selected physical display " + std::to_string(displayID));
    if (auto server = audioServer()) server->selectDisplayID(displayID);
    std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
    DispatchQueue::main().asyncAfter(kDisplaySelectionRefreshDelay, [weak] {
        if (auto self = weak.lock()) self->refresh(true, false);
    });
}

void HostProbeDelegate::virtualDisplayCheckboxChanged(platform::View& checkbox) {
    assertMainQueue();
    const bool enabled = checkbox.isOn;
    log(std::string("UI headless virtual display ") + (enabled ? "enabled" : "disabled"));
    if (auto server = audioServer()) server->setHeadlessVirtualDisplayEnabled(enabled);
    std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
    DispatchQueue::main().asyncAfter(kHeadlessToggleRefreshDelay, [weak] {
        if (auto self = weak.lock()) self->refresh(true, false);
    });
}
