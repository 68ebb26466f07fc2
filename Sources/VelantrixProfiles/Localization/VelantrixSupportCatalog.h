#pragma once
// The fixed catalogue of support codes shared by Host and Viewer builds, so
// that a code seen on one side means the same on the other: for each failure
// a user may have to report, its area, severity, title, text for the user,
// what to try, a diagnosis for support staff and a privacy note. Pure value
// code, safe from any thread.

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

enum class VelantrixSupportArea { hostVerification, network, configuration, permissions, video, audio, fileTransfer, system };

enum class VelantrixSupportSeverity { info, warning, actionRequired, blocked, security };

enum class VelantrixSupportErrorCode {
    invalidHostSignature, missingHostProof, unsupportedHostVersion, replayOrTamperRejected, hostKeyMismatch,
    verificationRelaySuspected,
    hostUnreachable, connectionTimedOut, auxPortUnavailable, rfbPortUnavailable, discoveryFoundNoHosts,
    routeUnavailable, routeCongested, thunderboltNotConfigured, connectionClosed, localNetworkPermissionMissing,
    invalidHostAddress, missingCredentials, keychainReadFailed, keychainWriteFailed, staleSavedRoute,
    loginItemNeedsApproval, unsupportedOS, duplicateInstallServices,
    screenRecordingMissing, accessibilityMissing, fileAccessDenied, automationDenied,
    encoderUnavailable, captureDisplayUnavailable, displayModeSwitchFailed, geometryMismatch, firstFrameTimeout,
    decoderFailed, chromaFallback, adaptiveQualityReduced, multiViewerDisplaySwitchBlocked, virtualDisplayFailed,
    audioCaptureUnavailable, audioDisconnected, audioFormatUnsupported, audioLatencyHigh,
    fileChannelUnavailable, fileTokenMismatch, filePacketMalformed, destinationWriteFailed, handoffExpired,
    finderServiceUnavailable, clipboardSyncFailed,
    unknown, buildMismatch, resourceMissing, appLifecycleUnexpected, crashRecovery,
};

// Raw values ("network", "action-required", "NET-2003"), creation from a raw
// value (nothing for unknown text) and every case in declaration order.
std::string_view rawValue(VelantrixSupportArea area);
std::string_view rawValue(VelantrixSupportSeverity severity);
std::string_view rawValue(VelantrixSupportErrorCode code);
template <class E>
std::optional<E> fromRawValue(std::string_view raw);
template <class E>
std::span<const E> allCases();

struct VelantrixSupportErrorExplanation {
    std::string code;
    VelantrixSupportArea area;
    VelantrixSupportSeverity severity;
    std::string title;
    std::string userSummary;
    std::string userAction;
    std::string supportDiagnosis;
    std::string privacyNote;

    bool operator==(const VelantrixSupportErrorExplanation&) const = default;

    // "Support code: <code>".
    std::string supportFooter() const;
    // Summary, the details (after an empty line) when there are any, then
    // "What to try:", the action and the footer, in lines.
    std::string userFacingText(const std::vector<std::string>& details) const;
    // One machine-readable line: "support-code=… area=… severity=… title=…"
    // and " context=…" for a non-empty context. It stays one line whatever
    // the context holds: a line break there becomes a blank.
    std::string diagnosticLine(const std::optional<std::string>& context = std::nullopt) const;
};

struct VelantrixSupportCatalog {
    static VelantrixSupportErrorExplanation explanation(VelantrixSupportErrorCode code);
    // The row whose code text equals `code` exactly; "SYS-9001" otherwise.
    static VelantrixSupportErrorExplanation explanation(std::string_view code);
    // The code for a failure reason of the Viewer's Host verification.
    static VelantrixSupportErrorCode codeForHostVerificationFailure(const std::optional<std::string>& reason);
};

inline VelantrixSupportErrorExplanation explanation(VelantrixSupportErrorCode code) {
    return VelantrixSupportCatalog::explanation(code);
}
