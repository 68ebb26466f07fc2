#pragma once
// The Viewer session server: owns the three listeners (audio and control,
// video and control, file data), every Viewer connection from accept until
// removal, the login and identity exchange, and the control dispatch that
// hands each logged-in Viewer's messages to the subsystem that acts on them.
//
// All session state is confined to `queue` ("v230.host.audio.aux"). Entry
// points meant for other threads hop onto it, and run inline when the
// caller already runs there; who is connected is read from a snapshot the
// server publishes instead, so the interface never waits on the queue. The
// queue itself never waits on a child process: tools and probes run on
// queues of their own and their answers hop back. Subsystems add their own methods to
// this class in their own folders (StreamControl/, Display/, Audio/,
// Input/), each keeping its fields in a small state struct held here.

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "HostApp/Audio/AudioState.h"
#include "HostApp/Audio/RecordingState.h"
#include "HostApp/Protocol/AudioControlPayloads.h"
#include "HostApp/AuxServer/AuxAdmission.h"
#include "HostApp/AuxServer/AuxLogin.h"
#include "HostApp/Protocol/AuxPacket.h"
#include "HostApp/AuxServer/BonjourAdvertiser.h"
#include "HostApp/Protocol/DisplayControlPayloads.h"
#include "HostApp/AuxServer/HostIdentity.h"
#include "HostApp/Protocol/InputControlPayloads.h"
#include "HostApp/Capture/CaptureModeControlPayload.h"
#include "HostApp/Capture/HostDisplayGeometry.h"
#include "HostApp/Capture/HostVideoCapture.h"
#include "HostApp/Capture/StartupCaptureWarmup.h"
#include "HostApp/Display/DesktopSwitcher.h"
#include "HostApp/Display/DisplayTargetState.h"
#include "HostApp/Display/HeadlessVirtualDisplay.h"
#include "HostApp/Input/HostShortcutState.h"
#include "HostApp/StreamControl/StreamControlState.h"
#include "HostApp/Input/LaunchpadActivationResult.h"
#include "HostApp/Input/RemoteInputState.h"
#include "HostApp/Input/RemoteDragState.h"
#include "Platform/SimulatedMac/Accessibility.h"
#include "Platform/Runtime/AtomicInt.h"
#include "Platform/Runtime/Clock.h"
#include "Platform/Security/Directory.h"
#include "Platform/Network/DnsServiceRegistration.h"
#include "Platform/Runtime/Dispatch.h"
#include "Platform/Runtime/Log.h"
#include "Platform/Network/Network.h"
#include "Platform/Foundation/Uuid.h"
#include "HostApp/Protocol/VideoControlPayloads.h"
#include "VelantrixProfiles/Clipboard/ClipboardTransfer.h"
#include "HostApp/AuxServer/FileTransferChannelState.h"
#include "VelantrixProfiles/FileTransfer/FileTransferChannelConnection.h"
#include "VelantrixProfiles/FileTransfer/FileTransferChannelToken.h"
#include "VelantrixProfiles/FileTransfer/FileTransferPacket.h"


// The two control channels a Viewer session can arrive on. The raw values
// are also the one byte of associated data that binds a sealed login to its
// channel.
enum class AuxChannel : uint8_t { audio = 1, video = 2 };

inline const char* channelName(AuxChannel c) { return c == AuxChannel::audio ? "audio" : "video"; }

// The console session as the Host reports it to Viewers and checks logins
// against.
struct HostConsoleSessionState {
    std::string username;  // empty when nobody is logged in at the console
    std::string displayName;
    bool isLoginWindow = false;
    bool isLocked = false;
    bool loginDone = false;
};

// How the server is set up. The defaults are the Host's real ports, all
// interfaces, the machine's console user and PAM.
struct V230HostAudioAuxServerConfiguration {
    uint16_t audioPort = 7346;
    uint16_t videoPort = 7347;
    uint16_t filePort = 7348;  // 0 on any of them: a free port, read back after start()
    // Empty: every interface (dual-stack). Tests bind "127.0.0.1".
    std::string bindAddress;
    // Names the console user instead of the machine's own (--console-user).
    std::optional<std::string> consoleUser;
    // Where passwords are checked; null means PAM.
    std::shared_ptr<platform::Directory> directory;
    // Where the Host identity is kept; empty means HostIdentity::defaultPath().
    std::string identityPath;
    // Where the DNS-SD advertisement goes; null means the Avahi daemon.
    std::shared_ptr<platform::DnsServiceRegistration> dnsRegistration;
    // Where route records come from; null means this machine's interfaces.
    BonjourAdvertiser::RouteSource routeRecordSource;
    // The early drop's random numbers; null means the system's.
    AuxAdmission::RandomSource admissionRandom;
    // What all Viewers' packets and replies may hold in the Host together
    // (platform::HostByteTotal); tests reach it with fewer peers.
    size_t hostByteTotalBytes = platform::HostByteTotal::kDefaultLimitBytes;
    // Where data-channel tokens come from; null means a fresh random token.
    // It may throw, as the system's random source may fail.
    std::function<FileTransferChannelToken()> fileTransferTokenSource;
    // Keeps sessionReleaseCountForTesting() counting; off in a running Host,
    // where the count would grow with every connection.
    bool countSessionReleasesForTesting = false;
};

// One peer that can receive files.
struct FileTransferPeer {
    platform::UUID id;
    std::string name;
    bool operator==(const FileTransferPeer&) const = default;
};

// One logged-in Viewer as the status menu lists it.
struct ViewerConnectionSummary {
    std::string name;
    std::string address;
    bool operator==(const ViewerConnectionSummary&) const = default;
};

// Who is connected, as the server last published it for readers on other
// threads (the status menu and window, the file window).
struct ViewerPresence {
    bool hasConnectedViewer = false;
    std::vector<FileTransferPeer> fileTransferPeers;
    std::vector<std::string> displayNames;
    std::vector<ViewerConnectionSummary> connectionSummaries;
};

class V230HostAudioAuxServer : public std::enable_shared_from_this<V230HostAudioAuxServer> {
public:
    using HostVideoStreamKind = ::HostVideoStreamKind;
    static constexpr const char* defaultViewerName = "Norvessal Viewer";
    static constexpr const char* iosViewerName = "iOS Viewer";
    // A connection that has not logged in by then is closed.
    static constexpr double loginDeadlineSeconds = 30;
    // The macOS major version the Host reports in its session information.
    static constexpr uint16_t hostOSMajorVersion = 14;

    V230HostAudioAuxServer();
    explicit V230HostAudioAuxServer(V230HostAudioAuxServerConfiguration configuration);
    ~V230HostAudioAuxServer();
    V230HostAudioAuxServer(const V230HostAudioAuxServer&) = delete;
    V230HostAudioAuxServer& operator=(const V230HostAudioAuxServer&) = delete;

    // Opens the listeners, loads the Host identity and starts the timers.
    // Returns once the listeners are open. Call once, on an object owned by a
    // std::shared_ptr, after the callbacks below are set.
    void start();
    // Closes every listener and connection and stops every timer, on the
    // server queue, and returns at once. `stopped` runs on a utility queue
    // once that is done and a recording's movie is finished (or its time
    // has passed); on a later call, as soon as the server queue reaches it.
    // Receive work already queued is skipped, so a flood
    // ahead of it does not delay the tear-down. Any thread.
    void beginTermination(platform::Work stopped);
    // The same, waiting for `stopped`; not on the server queue.
    void stopForTermination();
    // How long termination gives the writer to finish a recording's movie.
    static constexpr double terminationMovieFinishSeconds = 3;

    // The ports actually bound (0 before start() or when a listener failed).
    uint16_t boundAudioPort() const;
    uint16_t boundVideoPort() const;
    uint16_t boundFilePort() const;

    // --- Callbacks, set once by the owner before start() -------------------
    // Every published line, bare, on the thread that published it.
    std::function<void(const std::string&)> onStatus;
    // A Viewer's clipboard change (type 27), decoded. Called on the server
    // queue.
    std::function<void(const ClipboardTransfer& transfer)> onClipboardTransfer;
    // A file-transfer packet (type 31) from a logged-in control connection,
    // decoded, with the sending session. Called on the server queue.
    std::function<void(FileTransferPacket packet, const platform::UUID& sessionID)> onFileTransferPacket;
    // A file-transfer packet that arrived on an authorised file channel.
    std::function<void(FileTransferPacket packet, const platform::UUID& sessionID)> onFileTransferIncomingPacket;
    // The session can no longer take part in a transfer: its audio session
    // was removed, its video session with no audio one left, or its bound
    // channel ended without a replacement.
    // Called on the server queue.
    // A session's data channel brought frames of its batches that wait for
    // a place: it is sending, though its open batches hear nothing.
    std::function<void(const platform::UUID& sessionID, size_t frames, size_t bytes)> onFileTransferSessionHeard;
    std::function<void(const platform::UUID& sessionID)> onFileTransferSessionEnded;
    // The Host-wide batch places all peers' accounts share: whoever stages
    // the batches gives places back when the pool wants them
    // (FileTransferService::givePlacesBackTo). Any thread.
    const std::shared_ptr<platform::HeldPool>& batchPlaces() const { return admission_.batchPlaces(); }
    // A drag pull (type 39): snapshot identifier, item index and the
    // session that asked, which alone is to be served. Called on the server
    // queue.
    std::function<void(uint32_t snapshotID, uint32_t index, const platform::UUID& sessionID)> onDragPullRequest;

    // Full turns (of kPacketsPerReceiveTurn packets) the connections of one
    // source (AuxAdmission::sourceOf) may take a second together, after a
    // burst of as many: far above what a person's input needs, low enough
    // that a flood leaves the encoder and the other Viewers most of the
    // Host's time, however many connections it comes on.
    static constexpr double kFullTurnsPerSecond = platform::ReceiveTurnBudget::kDefaultFullTurnsPerSecond;
    // The room a packet the Host answers at once (audio control, Host
    // shortcut) needs in its peer's send budget before it is served: its
    // status texts and what each queued send holds beside them. Until the
    // peer has it the connection's turn waits at that packet, so a peer that
    // does not read is answered no further than its budget, and TCP holds
    // the rest of what it sends.
    static constexpr size_t kAnswerRoomBytes = 4096;
    // Desktop steps a connection may take at once, then one per
    // kDesktopStepIntervalSeconds (each step is verified with timers for up
    // to 1.6 s). Changes to the shared stream, the displays and recording
    // are paced Host-wide instead (StreamChangePacer).
    static constexpr double kRateBurst = 4;
    static constexpr double kDesktopStepIntervalSeconds = 0.5;
    // Identity challenges of logged-in connections ignored past their two,
    // by every server of the process.
    static uint64_t identityChallengesIgnoredForTesting();
    // Test clients wait for an identity proof to know the server has
    // handled what they sent before it, as often as they like; they lift
    // the limit after login for every server of the process, and a test of
    // the limit puts it back.
    static void setIdentityProofLimitAfterLoginForTesting(bool enforced);

    // --- Reporting -------------------------------------------------------------
    // Logs the line and passes it to onStatus. Any thread. A line written
    // while work is charged to a Viewer's peer (its packet is served, or
    // work that packet started runs, on whatever queue) is that peer's: it
    // is written once a second per kind of line at most (its text with the
    // numbers folded), the rest counted into the next one.
    void publish(const std::string& text);
    // A line about a session written from outside its packets' work (a
    // send to it): that session's peer's, as above. Any thread.
    void publishForViewer(const platform::UUID& session, const std::string& text);
    // Type 8 to every logged-in session, audio first, then video. Any thread.
    void broadcastHostError(const std::string& text);
    // Type 8 on one connection; the completion fires once it is written or
    // failed. Server queue.
    void sendHostStatus(const std::string& text, const std::shared_ptr<platform::TcpConnection>& connection,
                        platform::TcpConnection::SendCompletion completion = {});
    // Type 35 to every logged-in audio, then video session. Any thread.
    void broadcastHostSessionInfo();
    HostConsoleSessionState currentConsoleSessionState() const;
    // The session information message as a Viewer receives it now.
    std::vector<uint8_t> currentHostSessionInfoPayload() const;

    // --- Clipboard and files ------------------------------------------------------
    // Type 27 to every logged-in audio session, or, when there is none, to
    // every logged-in video session. Encoded on the caller's thread and
    // sent on the server queue without waiting for it; `delivered` then
    // learns there whether anybody received it (false too when the
    // transfer could not be encoded). Any thread.
    void broadcastClipboardTransfer(const ClipboardTransfer& transfer, std::function<void(bool)> delivered = nullptr);
    // One packet to a session: a frame on its file channel, else type 31 on
    // its audio connection, else on its video one. Off the server queue it
    // returns once the packet fits the send window; on it, never waits.
    // True when a connection took the packet. Any thread; from the main
    // queue the packet is handed over without waiting and the answer is
    // true (no main-thread sender acts on it).
    bool sendFileTransferPacket(FileTransferPacket packet, const platform::UUID& sessionID);
    // To every authorised file channel, or, when there is none, as type 31
    // to the logged-in audio sessions, else the video ones. Waits and
    // answers as above.
    bool broadcastFileTransferPacket(FileTransferPacket packet);
    // Issues (or reuses) the session's data-channel token and announces it
    // with the file port in use (type 37). Server queue.
    void sendFileTransferEndpoint(const platform::UUID& sessionID,
                                  const std::shared_ptr<platform::TcpConnection>& connection);
    // A connection accepted on the file port. Server queue.
    void handleFileTransferConnection(const std::shared_ptr<platform::TcpConnection>& connection);

    // --- Who is connected (any thread) ---------------------------------------------
    // Read from the snapshot the server publishes, never by a hop onto its
    // queue, which may be busy for seconds.
    bool hasConnectedViewer() const;
    std::vector<FileTransferPeer> connectedFileTransferPeers() const;
    std::vector<std::string> connectedViewerDisplayNames() const;
    std::vector<ViewerConnectionSummary> connectedViewerConnectionSummaries() const;
    // Publishes who is connected now, when that changed; called wherever
    // the logged-in sessions, their names or the file channels change (and
    // by tests that edit those tables directly). Server queue.
    void publishViewerPresence();
    // Server queue.
    bool isIOSViewerSession(const platform::UUID& id) const;

    // --- Discovery ---------------------------------------------------------------
    void updateBonjourAdvertisement(const std::string& reason);
    void refreshBonjourAdvertisement();
    void startBonjourAdvertisement();

    // --- Sessions (server queue) -------------------------------------------------
    // Everything a newly logged-in session gets after its session info.
    void authorizeAuxSession(const platform::UUID& id, AuxChannel channel,
                             const std::shared_ptr<platform::TcpConnection>& connection,
                             const std::optional<CaptureModeControlPayload>& request);
    // Forgets the session on that channel and runs the release steps.
    // Idempotent: a second call for the same session does nothing. The id
    // is taken by value: a caller may pass a field of the session context,
    // which this frees.
    void removeSession(platform::UUID id, AuxChannel channel);
    void dispatchControl(const AuxPacketHeader& header, std::span<const uint8_t> payload,
                         const platform::UUID& sourceID);

    // --- State, read and written only on `queue` -------------------------------------
    platform::DispatchQueue queue{"v230.host.audio.aux"};
    // Where detached capture objects are stopped.
    platform::DispatchQueue captureLifecycleQueue{"v230.host.capture.lifecycle"};
    // Where Viewers' clipboard transfers are decoded, off this queue; it
    // serves Viewers only, so a gone peer's transfers are dropped there.
    platform::DispatchQueue clipboardDecodeQueue{"v230.host.clipboard.decode"};
    // Raised by every clipboard transfer a Viewer sends: a decode whose
    // number is no longer the latest is superseded and skipped. Any thread.
    std::atomic<uint64_t> clipboardTransferSerial{0};

    // Every accepted connection per channel, logged in or not.
    std::map<platform::UUID, std::shared_ptr<platform::TcpConnection>> audioSessions;
    std::map<platform::UUID, std::shared_ptr<platform::TcpConnection>> videoSessions;
    // The sessions that passed login, per channel.
    std::set<platform::UUID> authorizedAudioSessions;
    std::set<platform::UUID> authorizedVideoSessions;
    // The display name and the remote address each Viewer gave at login.
    std::map<platform::UUID, std::string> viewerSessionNames;
    std::map<platform::UUID, std::string> viewerSessionRemoteAddresses;
    // Logged-in video sessions, for readers on other threads.
    AtomicInt authorizedVideoSessionCount;
    // The real display selected at start; 0 on a Mac without one.
    uint32_t startupPhysicalDisplayID = 0;

    // --- Fields of other subsystems that login, removal and termination read -------
    // Stream control (StreamControl/): the request in force, the captures,
    // the announced configuration and each video session's delivery state.
    StreamControlState streamControl;
    // Display target: the display captured when capture is physical, the
    // physical display in use (audio and fallback while the virtual display
    // is captured), whether a display was chosen explicitly, whether capture
    // comes from the headless virtual display, and the one shared request.
    uint32_t selectedDisplayID = 0;
    uint32_t physicalDisplayID = 0;
    bool displaySelectionIsManual = false;
    bool useHeadlessVirtualDisplay = false;
    // The display Screen Sharing's capture uses; 0 while it holds none.
    uint32_t screenSharingCaptureDisplayID = 0;
    // The display side's own bookkeeping (Display/DisplayTargetState.h).
    DisplayTargetState displayTarget;

    // The server's view of a real display and a capture mode.
    VideoCaptureMode physicalFallbackMode(VideoCaptureMode mode, const HostDisplayGeometry& geometry) const;
    bool geometrySatisfiesStrictMode(const HostDisplayGeometry& geometry, VideoCaptureMode mode) const;
    std::string strictGeometrySummary(VideoCaptureMode mode) const;
    bool physicalDisplayLayout(const DisplayLayoutPayload& layout, const CaptureModeControlPayload& request) const;
    // "Selected display: ..." with the switcher's display report; hops onto
    // the server queue.
    std::string displayDiagnostics();

    // Power: whether the screens sleep, and the capture request saved before
    // the lid closed, which a returning Viewer's video login recovers.
    bool screensAreSleeping = false;
    // While the capture is moved ahead of sleep, display switches leave the
    // audio capture alone.
    bool isPreflightingHeadlessCaptureForSleep = false;
    std::optional<CaptureModeControlPayload> sleepPreflightPhysicalCaptureRequest;
    bool isAwaitingSleepPreflightPhysicalRecovery = false;
    // Set while the virtual display settles after a wake; no Viewer is
    // pruned meanwhile.
    std::optional<platform::Date> virtualDisplayWakeStabilizationDeadline;
    // A preflight failed: the Mac sleeps natively, so the system-sleep
    // assertion stays released until the next wake.
    bool suppressSystemSleepAssertionUntilWake = false;
    // The capture mode that went with the saved pre-lid request.
    std::optional<VideoCaptureMode> sleepPreflightPhysicalVideoMode;
    // The return to the physical display after wake: the pending check, the
    // end of the 45 s window and the checks made in it.
    platform::DispatchWorkItemRef sleepPreflightPhysicalRecoveryTask;
    std::optional<platform::Date> sleepPreflightPhysicalRecoveryDeadline;
    int sleepPreflightPhysicalRecoveryRetryCount = 0;
    // Raised by every sleep and wake; a wake pass carrying an older value
    // belongs to an earlier wake and does nothing.
    uint64_t hostPowerTransitionGeneration = 0;
    // Reconnect graces: the sleep-recovery grace and the iOS background
    // grace, each a deadline and its pending expiry check.
    std::optional<platform::Date> sleepRecoveryViewerReconnectGraceDeadline;
    platform::DispatchWorkItemRef sleepRecoveryViewerReconnectGraceTask;
    std::optional<platform::Date> iosViewerBackgroundSleepGraceDeadline;
    platform::DispatchWorkItemRef iosViewerBackgroundSleepGraceTask;
    // The IOKit assertions keeping the Mac awake for Viewers; 0 = not held.
    uint32_t viewerIdleSleepAssertionID = 0;
    uint32_t viewerSystemSleepAssertionID = 0;
    // Screen Sharing coexistence on a Mac that started headless: the
    // headless request parked while Screen Sharing's display is captured,
    // the last service probe's answer and when it came (reused for 1 s; 0
    // before the first), whether a probe runs now, and the last heal
    // request (uptime, 0 none). When Screen
    // Sharing's display was last seen is display-target state.
    std::optional<CaptureModeControlPayload> deferredHeadlessCaptureRequestForScreenSharing;
    mutable uint64_t screenSharingServiceActivityCheckedAtNs = 0;
    mutable bool screenSharingServiceWasActive = false;
    mutable bool screenSharingProbeInFlight = false;
    // Where launchctl runs, so that its time limit never holds `queue`.
    platform::DispatchQueue screenSharingProbeQueue{"v230.host.screensharing.probe"};
    uint64_t lastScreenSharingRecoveryRequestNs = 0;
    // Headless realisation retries since the last accepted configuration.
    int headlessRealizeRetryAttempts = 0;
    // Display layout: the last layout computed or accepted from the
    // capture, so an unchanged one is not sent again; absent until the
    // first and after stop.
    std::optional<DisplayLayoutPayload> lastDisplayLayout;
    // Audio (Audio/AudioState.h), and the recording on the Host
    // (Audio/RecordingState.h).
    AudioState audio;
    RecordingState recording;
    // Input: what each session holds down, released when it leaves so no
    // button or key stays stuck, and the injection caches.
    RemoteInputState remoteInput;

    // Data-channel admission: the token each audio session was given, the
    // reverse index the handshake looks tokens up in, and the channels that
    // presented a valid token.
    std::map<platform::UUID, FileTransferChannelToken> fileTransferTokens;
    std::map<FileTransferChannelToken, platform::UUID> fileTransferTokenIndex;
    std::map<platform::UUID, std::shared_ptr<FileTransferChannelConnection>> fileTransferChannels;
    // Unbound data connections and the send window (AuxServer/FileTransferChannel.cpp).
    FileTransferChannelState fileTransferChannel;

    // --- Test entry points ---------------------------------------------------------
    // The Host identity in use (after start()).
    const HostIdentity& hostIdentityForTesting() const { return *hostIdentity_; }
    // The release steps removeSession ran, counted per session, when the
    // configuration asks for it.
    size_t sessionReleaseCountForTesting(const platform::UUID& id) const;
    // Connections admitted that have not logged in (or shown a token).
    size_t pendingConnectionCountForTesting();
    // Bytes read from the peer's connections that wait in them to be cut
    // and served. Server queue.
    size_t bytesWaitingToBeServedForTesting(const std::string& peer) const;
    // What the Host really holds for `peer`, read from the holders
    // themselves rather than from its account: the bytes its logged-in
    // connections and bound data channels buffer unserved, the bytes
    // queued on them to be sent, and how many they are. Server queue.
    struct PeerHoldingsForTesting {
        size_t bufferedBytes = 0;
        size_t unsentBytes = 0;
        size_t connections = 0;
    };
    PeerHoldingsForTesting holdingsOfPeerForTesting(const std::string& peer) const;
    // The ledger of the peer the session belongs to; null once it is gone.
    // Server queue.
    std::shared_ptr<platform::WorkLedger> ledgerOfSession(const platform::UUID& session) const;
    // The ledger of `peer` (its address) while any of its sessions is
    // there; null otherwise. Server queue.
    std::shared_ptr<platform::WorkLedger> ledgerOfPeerForTesting(const std::string& peer) const;

    // --- Subsystem entry points the dispatch and login reach ------------------------
    // Stream control (StreamControl/).
    void applyVideoCaptureRequest(const CaptureModeControlPayload& request, const platform::UUID& sourceID);
    void applyIOSBuiltInDisplayCaptureRequest(const CaptureModeControlPayload& request);
    void applyVideoChromaMode(VideoChromaMode mode);
    void restoreSharedModeAfterIOSCaptureEnded();
    // The refresh gate (records the session's mode, answers an ignored
    // request itself), the guard of a running iOS built-in capture, and
    // whether an unchanged request must still prepare its display again.
    bool shouldApplyVideoCaptureRequest(const CaptureModeControlPayload& request, const platform::UUID& sourceID);
    bool shouldPreserveIOSBuiltInCapture(const CaptureModeControlPayload& request,
                                         const platform::UUID& sourceID) const;
    bool shouldReapplyCaptureMode(const CaptureModeControlPayload& request) const;
    // The Viewer's frame rate and bit rate brought within what the encoder
    // can run with.
    static CaptureModeControlPayload clampedRateControl(CaptureModeControlPayload request);
    // Easy adaptive capture and Wi-Fi shaping (EasyAdaptiveCapture.cpp).
    void applyEasyAdaptivePhysicalCapture(uint32_t displayID, std::optional<CaptureModeControlPayload> base);
    static CaptureModeControlPayload normalizedEasyAdaptivePhysicalRequest(const CaptureModeControlPayload& base);
    // The encoded size of a canvas under a transport limit: scaled down in
    // proportion, at least 2, even.
    static std::pair<int, int> easyAdaptiveEncodedSize(int pixelWidth, int pixelHeight, int transportMax);
    static int64_t adaptiveEasyBitrate(int pixelWidth, int pixelHeight, bool chromaIs444);
    bool sharedCanvasHasWiFiMacSubscriberRequest() const;
    // The shared capture's life (CaptureLifecycle.cpp).
    void scheduleInitialVideoCaptureStart();
    void startVideoCapture();
    void scheduleVideoStartRetryIfNeeded(const std::string& afterError);
    void restartVideoCapture(double afterSeconds);
    void retireVideoCaptureOnLifecycleQueue();
    void setPaused(bool paused);
    void performVideoCaptureIdleTeardown();
    void requestVideoKeyframeWithDelayedRetry();
    void recordCapturedVideoFrame(uint64_t generation);
    void recordCapturedIdleVideoFrame(uint64_t generation);
    void recordVideoSample(bool submitted, uint64_t generation);
    // The stream configuration (VideoStreamConfiguration.cpp).
    void acceptVideoCaptureConfig(const VideoStreamConfigPayload& config, uint64_t generation,
                                  const CaptureModeControlPayload& request, uint32_t displayID);
    void broadcastVideoConfig(const VideoStreamConfigPayload& config, HostVideoStreamKind kind);
    void resendCurrentVideoConfigIfAvailable(const std::string& reason);
    // "HEVC 4:2:0 Easy 2560x1600 @60 target=24Mb/s": how the log names a
    // stream's configuration.
    static std::string videoConfigText(const VideoStreamConfigPayload& config);
    // One type 19 to a video session, recorded as the configuration of
    // `kind` that the session now has; a send error closes the session. A
    // peer without room for it gets it with the next frame that fits, which
    // is a key frame: it never passes the peer's send budget.
    void sendVideoStreamConfig(const platform::UUID& id, const std::shared_ptr<platform::TcpConnection>& connection,
                               const VideoStreamConfigPayload& config, HostVideoStreamKind kind);
    // The stream a session's frames and configurations come from now.
    HostVideoStreamKind videoStreamKind(const platform::UUID& id) const;
    // Frame delivery (FrameDelivery.cpp). broadcastVideoFrame is called on a
    // capture's thread; the rest on the server queue.
    // `keyFrameRequest` is the producing capture's, raised when frames are
    // dropped because the server queue has not taken the earlier ones.
    void broadcastVideoFrame(std::span<const uint8_t> payload, bool isKeyFrame, uint64_t timestampNs,
                             uint64_t generation, HostVideoStreamKind stream, AtomicInt* keyFrameRequest = nullptr);
    void noteVideoDeliveryOnce(const platform::UUID& sessionID, HostVideoStreamKind stream,
                               const std::string& reason);
    void requestKeyFrameForSkippedViewerLocked(HostVideoStreamKind stream, uint64_t nowNs);
    // A session sent nothing for want of its peer's room (`room` bytes):
    // it takes no frame but a key frame from here, asked for once that room
    // is back.
    void awaitKeyFrameOnceRoomIsBackLocked(const platform::UUID& id, const platform::TcpConnection& connection,
                                           size_t room);
    // One frame's packet to every session bound to its stream.
    void deliverVideoFrame(const platform::TcpConnection::SharedBytes& packet, bool isKeyFrame,
                           HostVideoStreamKind stream, uint64_t nowNs);
    // The acknowledgement window and encode gate (VideoFlowControl.cpp).
    static int videoCongestionWindow(const CaptureModeControlPayload& request, int targetFPS);
    // `count` acknowledgements that arrived together count as that many.
    void recordVideoFrameAck(const platform::UUID& from, uint32_t count = 1);
    void resetVideoAckWindow();
    bool videoSessionIsBackedUp(const platform::UUID& id, uint64_t nowNs, int window) const;
    bool videoSessionIsDead(const platform::UUID& id, uint64_t nowNs, int window) const;
    void updateVideoGateLocked(uint64_t nowNs);
    void serviceVideoFlowLocked(uint64_t nowNs);
    void startVideoFlowTimer();
    // A new video login's window (nothing outstanding, acknowledged now), and
    // everything stream control keeps for a video session that leaves.
    void beginVideoSessionAckWindow(const platform::UUID& id);
    void forgetVideoSessionDeliveryState(const platform::UUID& id);
    // The statistics tick and its lines (VideoStatistics.cpp).
    void statsTick();
    void publishAdmissionSummary();
    void broadcastVideoStats(const VideoStatsPayload& payload);
    std::optional<std::string> motionStreamStatsLine(int frames, int64_t bytes, int capture, int idle) const;
    std::optional<std::string> videoSessionDeliveryStatsLine();
    std::vector<std::string> cadenceDebugLines();
    static std::string logTimestamp();
    static bool isVideoDiagnosticNotice(const std::string& message);
    // The Motion stream for iOS Viewers (MotionStream.cpp).
    void ensureMotionStream(const std::string& reason);
    void scheduleMotionStreamIdleRelease(const std::string& reason, std::optional<double> delay);
    void stopMotionStream(const std::string& reason, bool resetAttempts);
    void restartMotionStream(const std::string& reason, double afterSeconds);
    bool sendMotionStreamConfig(const platform::UUID& sessionID, const std::string& reason);
    void attachMotionStreamSubscribers(const std::string& reason);
    void acceptMotionStreamConfig(const VideoStreamConfigPayload& config, uint64_t generation,
                                  const CaptureModeControlPayload& request, uint32_t displayID);
    CaptureModeControlPayload preferredMotionStreamBaseRequest() const;
    CaptureModeControlPayload motionStreamEncodedRequest(const CaptureModeControlPayload& request) const;
    std::pair<int, int> motionStreamEncodedPixels(const CaptureModeControlPayload& request) const;
    bool motionStreamNeedsSupersampledUpgrade(const CaptureModeControlPayload& request) const;
    void reconcileSharedCanvasMotionBudget(const std::string& reason);
    static bool isMotionStreamDiagnosticNotice(const std::string& message);
    // The authorised iOS Viewers' video sessions, which the Motion stream serves.
    std::vector<platform::UUID> motionStreamSubscribers() const;
    void updateMotionStreamGateLocked(uint64_t nowNs);
    void recordMotionStreamCapturedFrame(uint64_t generation);
    void recordMotionStreamCapturedIdleFrame(uint64_t generation);
    void reconcileSharedCanvasWiFiDeliveryShaping(const std::string& reason);
    // Zero-frame recovery (ZeroFrameRecovery.cpp).
    void attemptVideoZeroFrameRecovery(uint32_t displayID);
    void suspendAuxVideoCaptureForZeroFrames(uint32_t displayID);
    void resumeAuxVideoCaptureAfterZeroFrameSuspension(const std::string& reason);
    // One statistics window of the shared capture: its captured and idle
    // frame counts feed the watchdog.
    void watchVideoZeroFrameWindow(int capturedFrames, int idleFrames);
    // The warm hold after the last Viewer left (MediaWarmHold.cpp).
    void endMediaIdleWarmHoldForViewerReturn(const platform::UUID& id);
    bool canHoldMediaWarm() const;
    void beginMediaIdleWarmHold();
    void endMediaIdleWarmHoldAndTeardown(const std::string& reason);
    void cancelMediaIdleWarmHold();
    // Audio capture stopped with its retry and zero-frame recovery counts
    // back at 0, as when nobody listens any more.
    void stopAudioCaptureAndResetRecovery();
    // Display and power (Display/).
    void applyVideoCaptureMode(VideoCaptureMode mode);
    void applyHostDisplayMode(HostDisplayMode mode);
    void applyHostPhysicalDisplayAction(HostPhysicalDisplayAction action);
    void beginIOSViewerBackgroundSleepGrace();
    void endIOSViewerBackgroundSleepGrace(const std::string& reason);
    void beginSleepRecoveryViewerReconnectGrace(const std::string& reason);
    void endSleepRecoveryViewerReconnectGrace(const std::string& reason);
    bool shouldBeginSleepRecoveryViewerReconnectGraceAfterLastSessionDisconnect() const;
    void startSleepPreflightPhysicalRecovery(const std::string& reason);
    // The application's sleep and wake observers report here; Viewer
    // sessions stay connected. Any thread: with a preflight it returns only
    // once the preflight has run on the server queue.
    void noteHostPowerState(const std::string& reason, bool screensSleeping, bool preflightHeadlessCapture);
    // Termination: the sleep-preflight physical recovery and both reconnect
    // graces are cancelled and their deadlines cleared.
    void cancelSleepRecoveryWorkForTermination();

    // Sleep and wake (Display/HostPowerIntake.cpp, SleepPreflight.cpp,
    // SleepPreflightPhysicalRecovery.cpp). All on the server queue.
    void handleHostPowerState(const std::string& reason, bool screensSleeping, bool preflightHeadlessCapture);
    void runWakeMediaRecoveryPass(const std::string& reason, bool firstPass);
    // Zero-frame counters back to 0 for a new power state; `restartRecovery`
    // also resets the audio recovery and restarts its watchdog clock.
    void resetZeroFrameStateForPowerChange(bool restartRecovery);
    bool preflightHeadlessCaptureBeforeSleep(const std::string& reason);
    bool waitForHeadlessVideoCaptureBeforeSleep(const std::string& reason);
    void fallBackToNativeSleepAfterFailedPreflight(const std::string& reason);
    void switchPhysicalCaptureToHeadlessIfNeeded(const std::string& reason);
    // The saved pre-lid request put back as the physical request in force;
    // returns its mode. The saved request itself stays.
    VideoCaptureMode restorePreLidCaptureRequest();
    void scheduleSleepPreflightPhysicalRecovery(const std::string& reason, double afterSeconds);
    void attemptSleepPreflightPhysicalRecovery(const std::string& reason);
    void cancelSleepPreflightPhysicalRecovery();
    bool restorePhysicalCaptureAfterSleepIfAvailable(const std::string& reason);
    // Any thread: queues the recovery's restart after a display change.
    void scheduleSleepPreflightPhysicalRecoveryAfterDisplayChange();

    // Reconnect graces and sleep assertions (Display/ReconnectGraces.cpp).
    bool authorizedViewersPresent() const;
    void updateViewerIdleSleepAssertion();
    void scheduleSleepRecoveryViewerReconnectGraceExpiryCheck(platform::Date deadline, double afterSeconds);
    bool shouldRetainHeadlessVirtualDisplayForSleepRecovery() const;

    // Screen Sharing coexistence (Display/ScreenSharingCoexistence.cpp).
    // True when coexistence took or keeps charge of capture, so the caller
    // skips its own display preparation.
    bool reconcileHeadlessScreenSharingCapture(const std::string& reason);
    // The last probe's answer; a stale one (over 1 s) starts a probe on
    // screenSharingProbeQueue unless one runs, carrying the reason its answer
    // is looked at again with if it changes. Server queue.
    bool isScreenSharingServiceActive(const std::string& reason = {}) const;
    void takeScreenSharingServiceProbeAnswer(bool active, const std::string& reason);
    // Runs launchctl and reads its state line; blocks up to the time limit.
    static bool probeScreenSharingService();
    void applyScreenSharingDisplayCapture(uint32_t displayID, const CaptureModeControlPayload& base);
    bool restoreHeadlessTemplateAfterScreenSharingCapture(const std::string& reason);
    void scheduleScreenSharingRecoveryAfterModeSwitchIfNeeded();
    void requestScreenSharingRecoveryAfterVirtualDisplayReleaseIfNeeded(bool immediate);
    // A launchctl probe that runs longer than this counts as "not running".
    static constexpr double screenSharingProbeTimeLimitSeconds = 2;


    // Display target selection and topology (Display/DisplayTargetSelection.cpp).
    // The user's choices hop onto the queue; the snapshots hop synchronously
    // and must not be called from it.
    void selectDisplayID(uint32_t displayID);
    void setHeadlessVirtualDisplayEnabled(bool enabled);
    uint32_t selectedDisplayIDSnapshot();
    uint32_t physicalDisplayIDSnapshot();
    bool headlessVirtualDisplayEnabledSnapshot();
    // A real display that can be captured now.
    std::optional<uint32_t> usablePhysicalDisplayID() const;
    // The display a running Screen Sharing session created; `reason` goes
    // with any service probe this starts.
    std::optional<uint32_t> activeScreenSharingDisplayID(const std::string& reason = {}) const;
    void registerDisplayChangeObserverIfNeeded();
    void scheduleDisplayTopologyRecovery(const std::string& reason, double delay, bool resetRetryCount);
    void recoverVirtualDisplayTopology(const std::string& reason);
    // Applies a physical request held on the virtual display again when a
    // real display has become usable; true when it did.
    bool givePhysicalRequestBackIfDisplayAppeared();

    // The headless virtual display's preparation (Display/HeadlessDisplayPreparation.cpp):
    // seconds to wait before capturing, none when it could not be prepared.
    std::optional<double> prepareHeadlessVirtualDisplay(VideoCaptureMode mode);
    DisplayTransitionResult applyHeadlessVirtualDisplayTemplate(VideoCaptureMode requestedMode);
    double enableHeadlessVirtualDisplay(VideoCaptureMode mode);
    bool headlessPresetActivationIsPending() const;
    // The preset the shared request asks the virtual display for.
    HeadlessVirtualDisplay::Preset currentRequestPreset() const;

    // Desktop promotion of the virtual display (Display/HeadlessDesktopPromotion.cpp).
    void cancelHeadlessDesktopPromotionRetry();
    void beginHeadlessDesktopPromotionRetry(uint32_t referenceDisplayID, uint32_t virtualDisplayID,
                                            const HeadlessVirtualDisplay::Preset& preset);
    void scheduleHeadlessDesktopPromotionRetry(uint32_t referenceDisplayID, uint32_t virtualDisplayID,
                                               const HeadlessVirtualDisplay::Preset& preset, uint64_t generation,
                                               double after);
    void runHeadlessDesktopPromotionAttempt(uint32_t referenceDisplayID, uint32_t virtualDisplayID,
                                            const HeadlessVirtualDisplay::Preset& preset, uint64_t generation);
    void promoteHeadlessDesktopOffQueue(uint32_t referenceDisplayID, uint32_t virtualDisplayID,
                                        const HeadlessVirtualDisplay::Preset& preset,
                                        std::optional<uint64_t> generation);

    // Headless capture transitions and fallbacks (Display/HeadlessCaptureTransitions.cpp).
    void beginHeadlessCaptureTransition(const CaptureModeControlPayload& request,
                                        const HeadlessVirtualDisplay::Preset& preset, VideoCaptureMode previousMode);
    void scheduleHeadlessCaptureTransition(const CaptureModeControlPayload& request,
                                           const HeadlessVirtualDisplay::Preset& preset, uint32_t displayID,
                                           uint64_t generation, double after);
    void finishHeadlessCaptureTransitionInFallback(const CaptureModeControlPayload& request);
    HeadlessRealizeDecision scheduleHeadlessRealizeRetryIfNeeded(VideoCaptureMode mode);
    DisplayTransitionResult fallbackToPhysicalNativeCapture(const std::string& reason);
    DisplayTransitionResult resolvePhysicalFallback(VideoCaptureMode mode, VideoCaptureMode previousMode,
                                                    const std::string& reason);
    std::optional<DisplayTransitionResult> nativePhysicalFallbackResult(const std::string& reason);

    // Applying a capture mode (Display/CaptureModeApplication.cpp). A mode
    // application cancels the pending realise retries; the retries
    // themselves go through the second entry, which keeps their series.
    void applyVideoCaptureModeFromRealizeRetry(VideoCaptureMode mode);
    void cancelHeadlessRealizeRetries();
    void scheduleHeadlessRealizeSlowRetry(VideoCaptureMode mode);
    void completeVideoCaptureMode(VideoCaptureMode requestedMode, VideoCaptureMode previousMode,
                                  const DisplayTransitionResult& result);

    // Host display commands (Display/HostDisplayCommands.cpp).
    void restoreOriginalDisplayModeIfNeeded(uint32_t displayID, const std::string& reason);
    // The real displays a command may target: active, physical, and not
    // the Host's own virtual display.
    std::vector<uint32_t> commandablePhysicalDisplayIDs() const;
    // Display layout (Display/DisplayLayoutPublishing.cpp): computes the
    // layout and stores it in lastDisplayLayout; the managed virtual
    // display's layout; sends one layout to every logged-in session; and
    // computes and sends it later (at least 0.05 s), unless the screens sleep.
    DisplayLayoutPayload currentDisplayLayout();
    DisplayLayoutPayload managedHeadlessDisplayLayout(uint32_t displayID);
    void broadcastDisplayLayout(const DisplayLayoutPayload& layout);
    void scheduleDisplayLayoutPublish(double afterSeconds);
    void cancelPendingHeadlessCaptureTransition();
    void releaseHeadlessVirtualDisplayIfIdle();
    // Audio and recording (Audio/).
    void applyAudioControl(const AudioControlPayload& control, const platform::UUID& sourceID,
                           const std::shared_ptr<platform::TcpConnection>& connection);
    void handleHostRecordingControl(std::span<const uint8_t> payload, const platform::UUID& sourceID);
    void updateAudioSendConnections();
    // One captured PCM block to the recording and, encoded, to the send
    // list; on the capture's sample queue.
    void broadcastAudioFrame(std::span<const uint8_t> pcm, uint64_t timestampNs);
    void startAudioCapture();
    void stopAudioCapture(bool resetRetryAttempts);
    void restartAudioCapture(double delaySeconds);
    void restartAudioCaptureOnDisplaySwitch(double delaySeconds);
    bool shouldDeferAudioCaptureForSessionTopology() const;
    // A capture's error or notice; any thread.
    void handleAudioCaptureStartupMessage(const std::string& message, uint64_t generation);
    // The display audio is captured from now: 0 with the headless display.
    uint32_t audioCaptureDisplayID() const;
    void releaseExclusiveAudioListening(const std::string& reason);
    // Ends the Viewer-requested mute; the sentence says what became of the
    // Mac's output, none when that mute held nothing.
    std::optional<std::string> restoreViewerHostOutputAfterExclusiveListening();
    // Host recording (Audio/HostRecording.cpp): starts a recording of a
    // normalised region for the initiator, taking over any running one;
    // stops the running one, telling its owner how it ended when asked;
    // and, for termination, stops it (beginTermination waits for the movie
    // off the server queue).
    void startHostRecording(const platform::CGRect& region, const platform::UUID& initiator);
    void stopHostRecording(bool notifyStopped);
    void stopHostRecordingForTermination();
    // The tear-down itself; false when it already ran. Server queue.
    bool tearDownForTermination();
    // Type 51 on the session's audio connection; nothing without one.
    void sendHostRecordingState(const platform::UUID& sessionID, const HostRecordingStatePayload& state);
    // Remote input (Input/). Everything runs on the server queue and posts
    // from remoteInput.inputEventSource at the HID tap.
    void applyPointerEvent(const PointerEventControlPayload& event, const platform::UUID& sourceID);
    void applyGestureEvent(const GestureEventControlPayload& event, const platform::UUID& sourceID);
    void applyHostShortcut(const HostShortcutControlPayload& shortcut, const platform::UUID& sourceID);
    void applyKeyEvent(const KeyEventControlPayload& event, const platform::UUID& sourceID);
    void applyRawKeyEvent(const RawKeyEventControlPayload& event, const platform::UUID& sourceID);
    void applySystemDefinedKeyEvent(const SystemDefinedKeyEventControlPayload& event,
                                    const platform::UUID& sourceID);
    // The Accessibility gate of all direct input: false drops the event; the
    // first refusal of a run warns everybody and asks for the prompt.
    bool ensureInputTrust();
    // Declares user activity (at most every 600 ms) while the console is
    // locked (probed at most every 250 ms).
    void wakeHostForRemoteInputIfLocked();
    // A Viewer's framebuffer point on the captured display, in Quartz space.
    std::optional<platform::CGPoint> displayPoint(int x, int y, int framebufferWidth, int framebufferHeight) const;
    void postScrollIfNeeded(uint8_t mask, platform::CGPoint at);
    void postPointerTransition(uint8_t from, uint8_t to, platform::CGPoint at);
    void postMouse(platform::CGEventType type, platform::CGMouseButton button, platform::CGPoint at);
    void postSmoothScroll(int deltaX, int deltaY, bool useLineUnits);
    int64_t mouseClickState(platform::CGEventType type, platform::CGMouseButton button, platform::CGPoint at);
    // Button-ups for the mask at the pointer's current location.
    void releasePointerButtons(uint8_t mask);
    // Keysyms: modifiers, punctuation typed as text, key codes of the US
    // layout, and text for everything else.
    static std::optional<ModifierKey> modifierKey(uint32_t keysym);
    static std::optional<std::string> exactPrintableASCIIPunctuation(uint32_t keysym);
    static std::optional<KeyCodeMapping> keyCode(uint32_t keysym);
    static std::optional<KeyCodeMapping> asciiKeyCode(char32_t character);
    static std::optional<std::string> unicodeText(uint32_t keysym);
    // One key-down carrying the text; no key-up follows.
    void postUnicodeText(const std::string& text, uint64_t flags);
    // One keyboard event; false when it could not be created. Every key-up
    // clears its code from the sessions' held keys.
    bool postKeyboardEvent(uint16_t code, bool keyDown, uint64_t flags);
    // Lifts the modifiers the key path holds, logging how many.
    void releaseHeldKeyboardModifiers(const std::string& reason);
    // Lifts the keys a leaving session still holds and forgets them.
    void releaseSessionHeldKeys(const platform::UUID& sessionID);
    // System-defined keys and key combinations.
    bool postSystemDefinedKey(int keyType);
    static std::vector<ModifierKey> modifierKeys(uint64_t flags);
    static std::vector<KeyComboEvent> keyComboEvents(uint16_t key, uint64_t flags);
    void postKeyCombo(uint16_t key, uint64_t flags);
    // The same steps 35 ms apart on the server queue.
    void postDelayedKeyCombo(uint16_t key, uint64_t flags);
    // Host shortcuts (Input/HostShortcuts.cpp and its neighbours). Publishes
    // the line and sends it to every Viewer as type 8.
    void publishAndBroadcast(const std::string& text);
    // A flags-changed event with these modifier flags, from no source.
    void postFlagsChanged(uint64_t flags);
    // Runs `work` on hostShortcuts.toolQueue and what it returns, if
    // anything, back on the server queue; the server is held weakly. A
    // request of a kind whose work already waits or runs is dropped, and
    // once termination began nothing runs. Server queue.
    using ShortcutToolAnswer = std::function<void(V230HostAudioAuxServer&)>;
    void runOnShortcutTools(HostShortcutTool kind,
                            std::function<ShortcutToolAnswer(V230HostAudioAuxServer&)> work);
    // Launchpad: the chain of ways to open it, first success wins. The
    // chain runs on hostShortcuts.toolQueue, hopping onto the server queue
    // for the steps that post input or read the input state; the first
    // entry queues it there and
    // tells the Viewers the result once it is in. Server queue.
    void activateLaunchpadForViewers();
    LaunchpadActivationResult activateLaunchpad();
    bool toggleLaunchpadViaDockNotification();
    bool clickDockLaunchpadItem();
    std::vector<std::string> launchpadDockItemCandidateTitles();
    // Depth-limited walks of an Accessibility tree, the element before its
    // children; titles are matched lower-cased.
    static std::optional<platform::AXUIElement> findAXElement(const platform::AXUIElement& element,
                                                              const std::set<std::string>& matchingTitles,
                                                              int remainingDepth);
    static std::vector<std::string> collectAXTitles(const platform::AXUIElement& element, int remainingDepth);
    static std::optional<std::string> axStringAttribute(const std::string& attribute,
                                                        const platform::AXUIElement& element);
    static std::optional<std::string> axElementLabel(const platform::AXUIElement& element);
    static std::vector<platform::AXUIElement> axChildren(const platform::AXUIElement& element);
    static std::optional<platform::CGPoint> axElementCenter(const platform::AXUIElement& element);
    // Opening applications (Input/ApplicationOpening.cpp). Each reports its
    // own failure with one published line. They wait (a workspace open at
    // most 2 s, a tool for hostShortcuts.toolTimeLimitSeconds), so they run
    // on hostShortcuts.toolQueue, never on the server queue.
    bool openSystemApplication(const std::string& name, const std::optional<std::string>& bundleIdentifier);
    bool openApplicationViaWorkspace(const std::string& url, const std::string& label);
    bool openApplicationByBundleIdentifierViaWorkspace(const std::string& bundleIdentifier);
    bool activateApplicationByBundleIdentifierViaAppleScript(const std::string& bundleIdentifier);
    bool runToolAndWait(const std::string& executablePath, const std::vector<std::string>& arguments,
                        const std::string& failureLabel);
    // The command-line opener, the fallback of both the application and the
    // Launchpad paths.
    static constexpr const char* openToolPath = "/usr/bin/open";
    // Desktop stepping (Input/DesktopSwitchRequests.cpp): one step, then
    // checks 0.2 s apart until the display shows the expected Space.
    void requestDesktopSwitch(bool forward);
    void verifyDesktopSwitch(const DesktopSwitcher::Request& request, bool forward, int attempt);
    HostShortcutState hostShortcuts;
    // Drag from Host to Viewer (Input/RemoteDrag.cpp).
    using DragItem = HostDragItem;
    void startDragPollingTimer();
    void pollDragPasteboard();
    // Reads the drag pasteboard's files and their attributes; dragPollQueue.
    std::vector<DragItem> readLocalDragItems() const;
    void applyDragItems(const std::vector<DragItem>& items);
    void broadcastDragSnapshot(uint32_t snapshotID, const std::vector<DragItem>& items);
    void broadcastDragSnapshotEnd(uint32_t snapshotID);
    // To every logged-in audio session, or, when there is none, to every
    // logged-in video session.
    void sendDragControlPacket(const std::vector<uint8_t>& packet);
    // The file of the current snapshot at that index; none for another
    // snapshot or an index past its end. Any thread, the server queue too.
    std::optional<std::filesystem::path> dragSourceURL(uint32_t snapshotID, uint32_t index);
    RemoteDragState remoteDrag;

private:
    using ConnectionRef = std::shared_ptr<platform::TcpConnection>;

    void startOnQueue();
    std::shared_ptr<platform::TcpListener> openListener(uint16_t port, bool noDelay, const char* what);
    void acceptAuxConnection(const ConnectionRef& connection, AuxChannel channel);
    // Admits an unauthenticated connection or closes it at once, unread.
    bool admitUnauthenticated(const ConnectionRef& connection);
    // Closes a connection that waited for its login or token and whose place
    // a newcomer of a machine holding fewer took (AuxWaitingRoom).
    void closeDisplaced(const ConnectionRef& displaced);
    void handleReceive(const platform::UUID& id, std::span<const uint8_t> data, bool isComplete,
                       const std::string& error);
    void handleAuxPacket(const std::shared_ptr<AuxSessionContext>& session, const AuxPacketHeader& header,
                         std::span<const uint8_t> payload);
    // Serves at most kPacketsPerReceiveTurn of a connection's cut packets;
    // with more left it stops reading the socket and queues the next turn
    // behind whatever else waits, so every connection gets its turn.
    void serveReceiveTurn(const std::shared_ptr<AuxSessionContext>& session);
    // While a connection's turn waits for its peer's work, or for room to
    // send its answers: serves, out of turn, every packet buffered that
    // keeps its own stream going or is input (frame acknowledgements,
    // key-frame requests, pointer, gesture and key events), none of which
    // carries work or waits for room, however many came at once; only what
    // starts work or is answered at once waits for the turn.
    void serveOutOfTurn(const std::shared_ptr<AuxSessionContext>& session);
    // The room in its peer's send budget that the packet first in line on a
    // logged-in connection waits for: kAnswerRoomBytes when serving it
    // queues answers at once, 0 otherwise.
    size_t roomToAnswer(const AuxSessionContext& session) const;
    // Gives back what a connection's turn served, keeping charged what
    // waits, and a packet still arriving as such (platform::ReceiveTurns).
    static void settleReadBytes(AuxSessionContext& session);
    // The connection's stream ended: its one line, and the session goes.
    void closeEndedSession(AuxSessionContext& session);
    // Takes a connection that logged in (or showed its token) into the
    // logged-in ones, charges what is read ahead for it to its peer's
    // ledger and watches it for a vanished peer. Past a cap it names the
    // cap it would pass, for the caller's line ("over ..."), and the caller
    // closes it. Server queue.
    const char* admitLoggedIn(const ConnectionRef& connection, const AuxPeerAccount& account);
    // One packet of a logged-in connection: folded into its held input when
    // it only restates that, otherwise handled after what is held.
    void servePacket(const std::shared_ptr<AuxSessionContext>& session, const AuxPacketHeader& header,
                     std::span<const uint8_t> payload);
    // Acts on the input a connection held back (Input/RemoteInput.cpp).
    void flushCoalescedInput(AuxSessionContext& session);
    // Passes a connection's key-frame request on at once, or, within
    // kKeyFrameRequestIntervalSeconds of the last one passed on (whoever
    // asked), once that time is up, merged with any others of the connection
    // meanwhile. A peer that had not asked for kQuietKeyFrameAskSeconds
    // (`quiet`: one that lost a frame, not one that keeps asking) waits only
    // kQuietKeyFrameRequestGapSeconds.
    void passOnKeyFrameRequest(AuxSessionContext& session, std::optional<bool> quiet = std::nullopt);
    // True when a desktop step is past the connection's rate (kRateBurst at
    // once, then one per kDesktopStepIntervalSeconds): it is dropped.
    bool desktopStepTooSoon(AuxSessionContext& session);
    // Cancels the connection and removes the session (the id by value, as
    // for removeSession).
    void closeSession(platform::UUID id, AuxChannel channel);
    // Writes why the session ends, then closes it. A session that never
    // logged in gets its one line only while the admission allows, and
    // `reason` names it in the summary otherwise.
    void closeSessionWithLine(AuxSessionContext& session, const std::string& line, const std::string& reason);
    // The line a session that never logged in leaves, with what it did.
    std::string preLoginLine(const AuxSessionContext& session, const std::string& line) const;
    // Sends on a session's connection; a send error closes the session.
    void sendToSession(const platform::UUID& id, AuxChannel channel, const ConnectionRef& connection,
                       std::vector<uint8_t> packet);
    // The same for one packet of that type, stamped now.
    void sendToSession(const platform::UUID& id, AuxChannel channel, const ConnectionRef& connection,
                       AuxPacketType type, std::span<const uint8_t> payload);
    void sendToAuthorizedSessions(AuxPacketType type, std::span<const uint8_t> payload);
    // Sends to the logged-in sessions of the first channel (audio, then
    // video) that has any; false when nobody is logged in.
    bool sendToFirstAuthorizedChannel(AuxPacketType type, std::span<const uint8_t> payload);
    // Sends to every logged-in session of the channel; false when it has none.
    bool sendToAuthorizedSessionsOf(AuxChannel channel, const std::vector<uint8_t>& packet);
    std::map<platform::UUID, ConnectionRef>& sessionsFor(AuxChannel channel);
    std::set<platform::UUID>& authorizedFor(AuxChannel channel);
    std::string viewerName(const platform::UUID& id) const;
    // A logger that publishes while the server lives, for objects it owns.
    std::function<void(const std::string&)> weakPublisher();
    // File-data channel (FileTransferChannel.cpp): the token frame, then
    // packets; and the carrier choice behind the two send calls.
    void handleFileTransferFrame(const std::shared_ptr<FileTransferChannelConnection>& channel,
                                 const std::shared_ptr<AuxPeerAccount>& peer, std::optional<platform::UUID>& session,
                                 const std::shared_ptr<WaitingBatchFrames>& waiting, std::span<const uint8_t> payload);
    void logUnboundFileChannelEnd(const std::string& line);
    // Whether a bound channel's batch start waits for a place: a start
    // takes one of its peer's batch places at the door, set aside on its
    // account for the batch. With none free the start and the frames of
    // its batch wait in `waiting` (on disk, see WaitingBatchFrames) until
    // one frees, and then go on, in their order, as if they had just come.
    // Past the batches that may wait, the start is refused (and `waiting`
    // does not have it).
    bool batchStartWaitsForPlace(const std::shared_ptr<FileTransferChannelConnection>& channel,
                                 const std::shared_ptr<AuxPeerAccount>& peer, const platform::UUID& session,
                                 const std::shared_ptr<WaitingBatchFrames>& waiting, const platform::UUID& batchID);
    // Hands on a granted batch's waiting frames, a turn's worth at a time
    // and while its peer's work has room, until none is left.
    // Tells onFileTransferSessionHeard of the frames kept in `waiting`
    // since its last notice: at once when a second has passed since, else
    // once it has.
    void tellSessionHeard(const std::shared_ptr<WaitingBatchFrames>& waiting, const platform::UUID& session);
    void handOnWaitingFrames(const std::shared_ptr<FileTransferChannelConnection>& channel,
                             const std::shared_ptr<WaitingBatchFrames>& waiting,
                             const std::shared_ptr<platform::WorkLedger>& ledger, const platform::UUID& session,
                             const platform::UUID& batchID);
    // A waiting batch that cannot be kept: dropped from `waiting` (when
    // given) and answered with a cancelBatch to its session.
    // A waiting batch whose frames could not be read back: ended where its
    // start went on (`started`), else its set-aside place given back; its
    // Viewer told.
    void loseWaitingBatch(const std::shared_ptr<platform::WorkLedger>& ledger, const platform::UUID& session,
                          const platform::UUID& batchID, bool started);
    void refuseWaitingBatch(const std::shared_ptr<WaitingBatchFrames>& waiting, const platform::UUID& session,
                            const platform::UUID& batchID, const std::string& why);
    void fileTransferChannelEnded(const std::shared_ptr<FileTransferChannelConnection>& channel,
                                  const std::optional<platform::UUID>& session);
    enum class FileTransferSendOutcome { sent, noTarget, windowFull, overLimit };
    // A target without room: its session, and the bytes it has not taken
    // yet: its connection's when its window is full, else its peer's.
    struct FileTransferBacklog {
        platform::UUID session;
        size_t unsent = 0;
        bool window = true;
    };
    FileTransferSendOutcome trySendFileTransferPacket(const FileTransferPacket& packet,
                                                      const std::optional<platform::UUID>& sessionID, bool mayWait,
                                                      std::optional<FileTransferBacklog>* backlog = nullptr);
    // A target that took nothing for the stall time: its batch fails and
    // its data connection closes.
    void failStalledFileTransferTarget(const platform::UUID& session, const platform::UUID& batchID);
    bool sendFileTransferPacketWithinWindow(const FileTransferPacket& packet,
                                            const std::optional<platform::UUID>& sessionID);
    // Sends a packet from the server queue when it is free, never waiting
    // for window space.
    void handOverFileTransferPacket(FileTransferPacket packet, const std::optional<platform::UUID>& sessionID);
    void noteOnce(AuxSessionContext& session, uint8_t type, const std::string& text);

    // Login and identity (AuxLogin.cpp).
    void handleIdentityChallenge(AuxSessionContext& session, std::span<const uint8_t> payload);
    void handleViewerLogin(const std::shared_ptr<AuxSessionContext>& session, std::span<const uint8_t> payload);
    // Starts every waiting password check whose source and slot allow it,
    // and wakes up again when pacing holds one back.
    void startPasswordChecks();
    void finishPasswordCheck(size_t slot, WaitingPasswordCheck check, platform::CredentialCheck verdict);
    void finishViewerLogin(const std::shared_ptr<AuxSessionContext>& session, platform::CredentialCheck verdict,
                           ViewerLoginCredentials credentials);
    void failViewerLogin(AuxSessionContext& session, const std::string& code);
    // One timer serves every connection that has not logged in: it fires at
    // the earliest deadline, closes what is due and re-arms for the next, so
    // a flood of short connections leaves no timer behind each.
    void armLoginDeadline();
    void closeSessionsPastLoginDeadline();

    const V230HostAudioAuxServerConfiguration configuration_;
    // Answers password checks; verify() blocks (a fail delay of seconds), so
    // it runs on the check queues, one per slot, never on the server queue.
    std::shared_ptr<platform::Directory> directory_;
    std::vector<platform::DispatchQueue> passwordCheckQueues_;
    std::vector<bool> passwordCheckQueueBusy_;
    // Logins whose password has not been checked yet, in arrival order;
    // started machine by machine in turn (AuxAdmission::nextCheck).
    std::deque<WaitingPasswordCheck> waitingPasswordChecks_;
    // Armed while a connection that has not logged in exists.
    platform::DispatchWorkItemRef loginDeadlineTimer_;
    // Runs startPasswordChecks() when pacing lets the next check start.
    platform::DispatchWorkItemRef passwordCheckWakeUp_;
    // Caps, early drop, pacing and the summed log of unauthenticated peers.
    AuxAdmission admission_;
    // Set by stopForTermination() before it waits for the queue, so the
    // receive work queued ahead of it is skipped.
    std::atomic<bool> terminating_{false};
    // Loaded by start().
    std::optional<HostIdentity> hostIdentity_;
    // Packets of one connection served before the others get a turn: few
    // enough that a flood delays another Viewer's frame or login by well
    // under a frame interval.
    static constexpr int kPacketsPerReceiveTurn = platform::ReceiveTurns::kPacketsPerTurn;
    static constexpr double kKeyFrameRequestIntervalSeconds = 0.5;
    // Every key frame costs the one encoder everyone's stream comes from,
    // and one serves every Viewer of it: peers that keep asking, on however
    // many connections, share one pace of kKeyFrameRequestIntervalSeconds (two
    // a second); a peer that had been quiet this long is let in between them
    // after this gap, so that it is never held a whole interval behind
    // another's requests. Whatever the peers do, four a second at most.
    static constexpr double kQuietKeyFrameAskSeconds = 2;
    static constexpr double kQuietKeyFrameRequestGapSeconds = 0.25;
    // When a key-frame request was last passed on, whoever asked. Server
    // queue.
    std::optional<uint64_t> lastKeyFrameRequestNs_;
    static inline std::atomic<uint64_t> identityChallengesIgnored_{0};
    static inline std::atomic<bool> identityProofLimitAfterLogin_{true};
    // Writes a Viewer's line once a second per kind of line in `scope` (a
    // peer; empty: the common scope), counting the rest into the next one.
    void publishLimited(const std::string& scope, const std::string& text);
    // The peer's last connection closed: its log scope is forgotten.
    void peerGone(const std::string& peer);
    // The peer's account for a new connection from `address`.
    std::shared_ptr<AuxPeerAccount> peerAccount(const std::string& address);
    // A logged-in connection whose peer vanished without a word (no FIN)
    // fails within about idle + interval x probes = 30 s, so its place
    // under the caps comes back.
    static constexpr int kKeepAliveIdleSeconds = 10;
    static constexpr int kKeepAliveIntervalSeconds = 5;
    static constexpr int kKeepAliveProbes = 4;
    // Guards viewerLines_: Viewers' lines come from every queue.
    std::mutex viewerLinesLock_;
    // A Viewer's lines, once a second per peer and kind of line at most,
    // so the log grows with time and not with a Viewer's packet rate; each
    // peer has its own scope, forgotten when the peer goes.
    platform::LineRateLimiter viewerLines_;
    // Per-connection receive and login state, keyed like the session maps.
    std::map<platform::UUID, std::shared_ptr<AuxSessionContext>> sessionContexts_;
    std::shared_ptr<platform::TcpListener> audioListener_;
    std::shared_ptr<platform::TcpListener> videoListener_;
    std::shared_ptr<platform::TcpListener> fileListener_;
    std::unique_ptr<platform::DispatchTimer> statsTimer_;
    // Full turns the process's connections had taken at the last tick, and
    // whether a backlog was served since freed memory was last given back
    // (statsTick). Server queue.
    uint64_t fullTurnsAtLastTick_ = 0;
    bool backlogSinceMemoryReturn_ = false;
    // The throw-away capture that loads capture and encoder before the
    // first Viewer asks; scheduled by start().
    std::shared_ptr<StartupCaptureWarmup> startupCaptureWarmup;
    // The DNS-SD advertisement of the three bound ports; built at start().
    std::shared_ptr<BonjourAdvertiser> bonjourAdvertiser_;
    std::map<platform::UUID, size_t> releaseCounts_;
    bool started_ = false;
    bool stopped_ = false;
    // The last published presence; never null.
    std::atomic<std::shared_ptr<const ViewerPresence>> viewerPresence_{std::make_shared<const ViewerPresence>()};
};
