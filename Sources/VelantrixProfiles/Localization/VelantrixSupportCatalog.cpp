#include "VelantrixProfiles/Localization/VelantrixSupportCatalog.h"

#include <array>

namespace {

using Area = VelantrixSupportArea;
using Severity = VelantrixSupportSeverity;
using Code = VelantrixSupportErrorCode;

constexpr const char* kPrivacyNote =
    "No sensitive data is required for first-line support. Collect logs only after user consent.";

struct AreaRow {
    Area area;
    const char* raw;
    const char* prefix;
};
constexpr std::array<AreaRow, 8> kAreas{{
    {Area::hostVerification, "host-verification", "IP-"},
    {Area::network, "network", "NET-"},
    {Area::configuration, "configuration", "CFG-"},
    {Area::permissions, "permissions", "PERM-"},
    {Area::video, "video", "VID-"},
    {Area::audio, "audio", "AUD-"},
    {Area::fileTransfer, "file-transfer", "FILE-"},
    {Area::system, "system", "SYS-"},
}};

constexpr std::array<const char*, 5> kSeverities{"info", "warning", "action-required", "blocked", "security"};

struct Row {
    Code code;
    const char* raw;
    Severity severity;
    const char* title;
    const char* summary;
    const char* action;
    const char* diagnosis;
};

// In case order; the area follows from the code's prefix.
constexpr std::array<Row, 54> kRows{{
    {Code::invalidHostSignature, "IP-1001", Severity::security, "Host identity proof rejected",
     "A device answered at this address, but it could not prove it is a genuine Norvessal Host.",
     "Install or update Norvessal Host from the official Norvessal download page, then connect again.",
     "Ed25519 proof validation failed. Treat as counterfeit, wrong product, corrupted Host build, or unsupported "
     "pre-identity Host."},
    {Code::missingHostProof, "IP-1002", Severity::security, "Host identity proof missing",
     "The Host did not return the required Norvessal identity proof.",
     "Make sure the Host Mac is running the current Norvessal Host, then retry.",
     "Aux port responded but no hostIdentityProof frame was received before the verification gate closed."},
    {Code::unsupportedHostVersion, "IP-1003", Severity::blocked, "Host version unsupported",
     "This Host appears to be older than the required Norvessal verification protocol.",
     "Update Norvessal Host on the Host Mac and reconnect.",
     "Likely pre-V1.4.8 Host or a compatible service without packet types 41/42."},
    {Code::replayOrTamperRejected, "IP-1004", Severity::security, "Host proof replay or tamper rejected",
     "Norvessal rejected an identity proof that did not answer this connection's challenge.",
     "Reconnect on a trusted local network. If it repeats, send an error report.",
     "Signature did not cover the current challenge nonce; possible replayed or modified hostIdentityProof frame."},
    {Code::hostKeyMismatch, "IP-1005", Severity::security, "Host key mismatch",
     "This Host proved an identity different from the one Norvessal saw here before.",
     "Confirm the Host Mac was reinstalled or replaced, then remove and add it again.",
     "Ed25519 public key differs from the pinned key for this Host identifier."},
    {Code::verificationRelaySuspected, "IP-1006", Severity::security, "Verification route changed",
     "Norvessal saw a verification pattern that should be reviewed before trusting this connection.",
     "Reconnect on a trusted local network and avoid VPN/proxy routes for the Host.",
     "Reserved for future channel-binding and relay-risk detection. Current Ed25519 proof protects against "
     "counterfeit Hosts, not authorized relay forwarding."},
    {Code::hostUnreachable, "NET-2001", Severity::actionRequired, "Host unreachable",
     "Norvessal could not reach the Host at this address.",
     "Make sure the Host Mac is awake, Norvessal Host is open and both devices share a network.",
     "TCP connect to the aux port failed or was refused before any reply."},
    {Code::connectionTimedOut, "NET-2002", Severity::actionRequired, "Connection timed out",
     "The Host did not answer in time.",
     "Move closer to the network or use a wired route, then connect again.",
     "Connect or verification deadline expired without a complete reply from the Host."},
    {Code::auxPortUnavailable, "NET-2003", Severity::actionRequired, "Aux control port unavailable",
     "The Host was found, but Norvessal could not open the auxiliary control channel.",
     "Restart Norvessal Host and make sure local firewalls allow the Norvessal aux port.",
     "Port 7346 failed or was blocked. Without aux, verification, video, audio, and file features cannot start "
     "correctly."},
    {Code::rfbPortUnavailable, "NET-2004", Severity::actionRequired, "Remote-control port unavailable",
     "The Host's remote-control port did not accept a connection.",
     "Turn on Screen Sharing on the Host Mac or restart Norvessal Host, then retry.",
     "Port 5900 refused or timed out; the Screen Sharing fallback is unavailable."},
    {Code::discoveryFoundNoHosts, "NET-2005", Severity::info, "No Hosts discovered",
     "Norvessal did not find any Host on this network.",
     "Open Norvessal Host on the Host Mac, or enter its address by hand.",
     "Bonjour browse for _velantrix-host._tcp returned no services before the browse window ended."},
    {Code::routeUnavailable, "NET-2006", Severity::warning, "Selected route unavailable",
     "The chosen way to reach the Host is not available right now.",
     "Pick another route to the Host, or reconnect the cable or network it uses.",
     "Selected route record's interface or address is down or missing from the current path."},
    {Code::routeCongested, "NET-2007", Severity::warning, "Network route congested",
     "The network to the Host is too busy for smooth video.",
     "Use a wired or Thunderbolt route, or close other heavy network traffic.",
     "Acknowledgement window stayed full and frames were skipped repeatedly on this route."},
    {Code::thunderboltNotConfigured, "NET-2008", Severity::actionRequired, "Thunderbolt Bridge not configured",
     "The Thunderbolt cable is connected, but the Thunderbolt Bridge has no address.",
     "Turn on Thunderbolt Bridge in System Settings > Network on both Macs, then reconnect.",
     "bridge0 present without a usable IPv4 address; no Thunderbolt route record was advertised."},
    {Code::connectionClosed, "NET-2009", Severity::warning, "Connection closed",
     "The connection to the Host ended unexpectedly.",
     "Connect again. If it keeps closing, restart Norvessal Host.",
     "Peer closed the aux or video socket outside a requested disconnect."},
    {Code::localNetworkPermissionMissing, "NET-2010", Severity::actionRequired, "Local Network permission missing",
     "The device may not have permission to find Hosts on the local network.",
     "Allow Local Network access for Norvessal in system settings, then refresh Hosts.",
     "Most relevant to iOS/iPadOS discovery and Bonjour access."},
    {Code::invalidHostAddress, "CFG-4001", Severity::actionRequired, "Invalid Host address",
     "The Host address entered is not a valid address.",
     "Check the address for typing mistakes and enter it again.",
     "Address failed to parse as an IPv4, IPv6 or host name before any connection was attempted."},
    {Code::missingCredentials, "CFG-4002", Severity::actionRequired, "Missing credentials",
     "Norvessal needs the Host Mac's user name and password to log in.",
     "Enter the name and password of the user signed in on the Host Mac.",
     "Login was requested with an empty user name or password; no sealed login was sent."},
    {Code::keychainReadFailed, "CFG-4003", Severity::warning, "Keychain read failed",
     "Norvessal could not read the saved password for this Host.",
     "Enter the password again and save it.",
     "Keychain lookup for the Host credential returned an error other than item-not-found."},
    {Code::keychainWriteFailed, "CFG-4004", Severity::warning, "Keychain save failed",
     "Norvessal could not save the password for this Host.",
     "Unlock the keychain or allow Norvessal to use it, then save again.",
     "Keychain add or update for the Host credential returned an error."},
    {Code::staleSavedRoute, "CFG-4005", Severity::warning, "Saved route is stale",
     "The saved way to reach this Host no longer works.",
     "Refresh Hosts and choose the Host again to save its current route.",
     "Saved route address no longer appears in the Host's advertised route records."},
    {Code::loginItemNeedsApproval, "CFG-4006", Severity::info, "Login item needs approval",
     "macOS may require approval before Norvessal Host can start at login.",
     "Open System Settings > Login Items and allow Norvessal Host.",
     "SMAppService registration requested but system approval is pending or disabled."},
    {Code::unsupportedOS, "CFG-4007", Severity::blocked, "Unsupported system version",
     "This system version is older than Norvessal supports.",
     "Update the system to a supported version, then open Norvessal again.",
     "Operating-system major version below the minimum the build requires."},
    {Code::duplicateInstallServices, "CFG-4008", Severity::warning, "Duplicate service installation",
     "More than one copy of Norvessal Host is installed on this Mac.",
     "Keep only the copy in the Applications folder and remove the others.",
     "Several bundles register the same service or login item; launches may start the wrong build."},
    {Code::screenRecordingMissing, "PERM-5001", Severity::actionRequired, "Screen Recording permission missing",
     "The Host needs Screen Recording permission before video can be streamed.",
     "Allow Norvessal Host in System Settings > Privacy & Security > Screen Recording, then restart Host.",
     "ScreenCaptureKit capture failed due to missing or revoked permission."},
    {Code::accessibilityMissing, "PERM-5002", Severity::actionRequired, "Accessibility permission missing",
     "The Host needs Accessibility permission for remote keyboard and mouse control.",
     "Allow Norvessal Host in System Settings > Privacy & Security > Accessibility.",
     "Input injection path failed or is expected to fail without TCC approval."},
    {Code::fileAccessDenied, "PERM-5003", Severity::actionRequired, "File access denied",
     "Norvessal was not allowed to open the chosen file or folder.",
     "Choose the folder again and allow access, or pick a folder you own.",
     "Sandbox or TCC refused read or write access to the path; the security-scoped bookmark may be stale."},
    {Code::automationDenied, "PERM-5004", Severity::actionRequired, "Automation permission denied",
     "Norvessal Host is not allowed to control Finder.",
     "Allow Norvessal Host to control Finder in System Settings > Privacy & Security > Automation.",
     "Apple event to Finder returned a not-permitted error."},
    {Code::encoderUnavailable, "VID-6001", Severity::warning, "Video encoder unavailable",
     "The Host could not start its video encoder.",
     "Restart Norvessal Host. If it repeats, choose a lower quality mode.",
     "Compression session creation failed for the requested codec, chroma and size."},
    {Code::captureDisplayUnavailable, "VID-6002", Severity::actionRequired, "Capture display unavailable",
     "The Host has no display it can share right now.",
     "Wake the Host Mac's display or connect one, then reconnect.",
     "No shareable display matched the requested target; the capture stream could not start."},
    {Code::displayModeSwitchFailed, "VID-6003", Severity::warning, "Display mode switch failed",
     "The Host could not change its display to the requested resolution.",
     "Pick another mode, or restart Norvessal Host and try again.",
     "Display configuration transaction failed or the mode was not found after the switch."},
    {Code::geometryMismatch, "VID-6004", Severity::warning, "Video geometry mismatch",
     "The video size did not match the Host's display.",
     "Reconnect to refresh the display layout.",
     "Captured frame size differs from the announced stream configuration; the Viewer should re-read the layout."},
    {Code::firstFrameTimeout, "VID-6005", Severity::warning, "First video frame timed out",
     "The Host started sharing, but no picture arrived in time.",
     "Wake the Host Mac's display and reconnect.",
     "No encoded frame reached the Viewer before the first-frame deadline after the stream configuration."},
    {Code::decoderFailed, "VID-6006", Severity::warning, "Video decoder failed",
     "This device could not show the Host's video.",
     "Reconnect. If it repeats, choose a different quality mode.",
     "Decompression session rejected the stream's parameter sets or a frame."},
    {Code::chromaFallback, "VID-6007", Severity::info, "Color mode fallback",
     "The Host is sending video with standard color detail instead of full color detail.",
     "No action is needed. Use a faster route for full color detail.",
     "4:4:4 chroma was requested but the stream fell back to 4:2:0."},
    {Code::adaptiveQualityReduced, "VID-6008", Severity::info, "Adaptive quality reduced",
     "Video quality was lowered to keep the picture smooth.",
     "Use a wired or Thunderbolt route for higher quality.",
     "Rate control lowered the bit rate after sustained congestion on the route."},
    {Code::multiViewerDisplaySwitchBlocked, "VID-6009", Severity::info, "Display switch blocked for multiple Viewers",
     "The Host did not switch physical displays because more than one Viewer is connected.",
     "Disconnect extra Viewers before changing the Host physical display.",
     "Host protects concurrent Viewer sessions by refusing physical-display mutations while multiple sessions are "
     "active."},
    {Code::virtualDisplayFailed, "VID-6010", Severity::warning, "Virtual display failed",
     "The Host could not create a virtual display for sharing.",
     "Open the Host Mac's lid or connect a display, then reconnect.",
     "Headless virtual display creation or activation failed; physical capture is the only path."},
    {Code::audioCaptureUnavailable, "AUD-7001", Severity::warning, "Audio capture unavailable",
     "The Host could not capture its sound.",
     "Allow system audio for Norvessal Host in Screen Recording settings, then restart Host.",
     "System audio capture stream failed to start or delivered no samples."},
    {Code::audioDisconnected, "AUD-7002", Severity::warning, "Audio stream disconnected",
     "Sound from the Host stopped.",
     "Reconnect to restore sound.",
     "Audio aux connection closed or no audio frames arrived within the expected interval."},
    {Code::audioFormatUnsupported, "AUD-7003", Severity::warning, "Audio format unsupported",
     "This device could not play the Host's sound format.",
     "Update Norvessal on both devices.",
     "Opus stream parameters (rate or channel count) were rejected by the decoder."},
    {Code::audioLatencyHigh, "AUD-7004", Severity::info, "Audio latency high",
     "Sound from the Host is arriving late.",
     "Use a wired or Thunderbolt route, or close other heavy network traffic.",
     "Audio jitter buffer grew past its target; packets are arriving late or in bursts."},
    {Code::fileChannelUnavailable, "FILE-8001", Severity::actionRequired, "File channel unavailable",
     "Norvessal could not open the file-transfer channel to the Host.",
     "Make sure local firewalls allow the Norvessal file port, then reconnect.",
     "Port 7348 refused or timed out; file packets fall back to the aux connection."},
    {Code::fileTokenMismatch, "FILE-8002", Severity::security, "File-transfer token mismatch",
     "Norvessal rejected a file-transfer channel that did not match this session.",
     "Reconnect and try again. If it repeats, send an error report.",
     "Per-session file-transfer token mismatch; drop channel to prevent cross-session injection."},
    {Code::filePacketMalformed, "FILE-8003", Severity::warning, "Malformed file-transfer packet",
     "A file transfer was stopped because its data was damaged.",
     "Send the files again.",
     "File-transfer packet failed to decode (bad length, operation or path); the batch was dropped."},
    {Code::destinationWriteFailed, "FILE-8004", Severity::actionRequired, "Destination write failed",
     "Norvessal could not save the received files in the chosen folder.",
     "Choose another folder or free some disk space, then send the files again.",
     "Moving staged items into the destination failed (permissions, disk full or read-only volume)."},
    {Code::handoffExpired, "FILE-8005", Severity::info, "Transfer handoff expired",
     "A queued file-transfer handoff expired before the target Viewer claimed it.",
     "Send the files again from the active Viewer window.",
     "Cross-process handoff JSON older than the allowed claim window."},
    {Code::finderServiceUnavailable, "FILE-8006", Severity::warning, "Finder service unavailable",
     "The Finder menu entry for sending files to a Viewer is not available.",
     "Open Norvessal Host once, then log out and back in so Finder picks up its services.",
     "Services entry not registered or the provider did not answer the Finder message."},
    {Code::clipboardSyncFailed, "FILE-8007", Severity::warning, "Clipboard sync failed",
     "The clipboard could not be shared with the other device.",
     "Copy the item again. Large items may need to be sent as files.",
     "Clipboard transfer failed to encode, decode or apply to the pasteboard."},
    {Code::unknown, "SYS-9001", Severity::warning, "Unknown error",
     "Norvessal hit an error that is not classified yet.",
     "Copy the error report and contact support with this code.",
     "Fallback code for unclassified conditions."},
    {Code::buildMismatch, "SYS-9002", Severity::warning, "Build mismatch",
     "The Host and this device run different Norvessal builds.",
     "Update Norvessal on both devices to the latest version.",
     "Host and Viewer build numbers differ; some features may be unavailable."},
    {Code::resourceMissing, "SYS-9003", Severity::warning, "Required resource missing",
     "A file Norvessal needs is missing from the installation.",
     "Reinstall Norvessal from the official Norvessal download page.",
     "Bundle resource lookup returned nothing; the installation is incomplete or damaged."},
    {Code::appLifecycleUnexpected, "SYS-9004", Severity::warning, "Unexpected app state",
     "Norvessal reached a state it did not expect.",
     "Quit and reopen Norvessal, then try again.",
     "Application lifecycle callback arrived out of order; state was reset."},
    {Code::crashRecovery, "SYS-9005", Severity::warning, "Recovered after restart",
     "Norvessal restarted after an unexpected stop.",
     "If this repeats, copy the error report and contact support with this code.",
     "Previous process ended without a clean termination; state was restored on launch."},
}};

constexpr bool rowsInCaseOrder() {
    for (size_t i = 0; i < kRows.size(); ++i)
        if (kRows[i].code != static_cast<Code>(i)) return false;
    return true;
}
static_assert(rowsInCaseOrder(), "catalogue rows must follow the order of the code cases");

const Row& rowOf(Code code) { return kRows[static_cast<size_t>(code)]; }

Area areaOf(std::string_view raw) {
    for (const AreaRow& a : kAreas)
        if (raw.starts_with(a.prefix)) return a.area;
    return Area::system;
}

template <class E, size_t N, class RawOf>
std::optional<E> findRaw(std::string_view raw, RawOf rawOf) {
    for (size_t i = 0; i < N; ++i)
        if (rawOf(static_cast<E>(i)) == raw) return static_cast<E>(i);
    return std::nullopt;
}

template <class E, size_t N>
constexpr std::array<E, N> enumerate() {
    std::array<E, N> out{};
    for (size_t i = 0; i < N; ++i) out[i] = static_cast<E>(i);
    return out;
}

constexpr auto kAllAreas = enumerate<Area, kAreas.size()>();
constexpr auto kAllSeverities = enumerate<Severity, kSeverities.size()>();
constexpr auto kAllCodes = enumerate<Code, kRows.size()>();

}  // namespace

std::string_view rawValue(VelantrixSupportArea area) { return kAreas[static_cast<size_t>(area)].raw; }
std::string_view rawValue(VelantrixSupportSeverity severity) { return kSeverities[static_cast<size_t>(severity)]; }
std::string_view rawValue(VelantrixSupportErrorCode code) { return rowOf(code).raw; }

template <>
std::optional<Area> fromRawValue<Area>(std::string_view raw) {
    return findRaw<Area, kAreas.size()>(raw, [](Area a) { return rawValue(a); });
}
template <>
std::optional<Severity> fromRawValue<Severity>(std::string_view raw) {
    return findRaw<Severity, kSeverities.size()>(raw, [](Severity s) { return rawValue(s); });
}
template <>
std::optional<Code> fromRawValue<Code>(std::string_view raw) {
    return findRaw<Code, kRows.size()>(raw, [](Code c) { return rawValue(c); });
}
template <>
std::span<const Area> allCases<Area>() { return kAllAreas; }
template <>
std::span<const Severity> allCases<Severity>() { return kAllSeverities; }
template <>
std::span<const Code> allCases<Code>() { return kAllCodes; }

std::string VelantrixSupportErrorExplanation::supportFooter() const { return "Support code: " + code; }

std::string VelantrixSupportErrorExplanation::userFacingText(const std::vector<std::string>& details) const {
    std::string text = userSummary;
    if (!details.empty()) {
        text += "\n";
        for (const std::string& d : details) text += "\n" + d;
    }
    return text + "\n\nWhat to try:\n" + userAction + "\n\n" + supportFooter();
}

std::string VelantrixSupportErrorExplanation::diagnosticLine(const std::optional<std::string>& context) const {
    std::string line = "support-code=" + code + " area=" + std::string(rawValue(area)) +
                       " severity=" + std::string(rawValue(severity)) + " title=" + title;
    if (context && !context->empty()) {
        std::string flat = *context;
        for (char& c : flat)
            if (c == '\n' || c == '\r') c = ' ';
        line += " context=" + flat;
    }
    return line;
}

VelantrixSupportErrorExplanation VelantrixSupportCatalog::explanation(VelantrixSupportErrorCode code) {
    const Row& r = rowOf(code);
    return {r.raw, areaOf(r.raw), r.severity, r.title, r.summary, r.action, r.diagnosis, kPrivacyNote};
}

VelantrixSupportErrorExplanation VelantrixSupportCatalog::explanation(std::string_view code) {
    return explanation(fromRawValue<Code>(code).value_or(Code::unknown));
}

VelantrixSupportErrorCode VelantrixSupportCatalog::codeForHostVerificationFailure(const std::optional<std::string>& reason) {
    if (!reason) return Code::hostUnreachable;
    if (*reason == "invalid-address") return Code::invalidHostAddress;
    if (*reason == "timed-out") return Code::connectionTimedOut;
    if (*reason == "invalid-signature") return Code::invalidHostSignature;
    return Code::hostUnreachable;
}
