#pragma once
// HostVideoCapture is responsible for one screen capture with its encoder:
// it starts a capture stream of one display, matches an encoder to the
// frames' geometry, crops each frame to the Viewer's viewport and scales it
// into the encoded canvas, encodes it and hands the length-prefixed NAL
// units to its owner. It decides no policy: what happened is reported
// through the closures below and the owner decides what to do.
//
// Threads: the closures run on the capture's own queues (frame work on the
// capture queue, start reports on the lifecycle queue, paced frames on the
// pacer queue, and the captured-frame reports and the recording tap on the
// capture's frames queue), never on the owner's queue. Frames arrive on the
// frames queue at the stream's rate whatever the encoder costs: the
// encoder on the capture queue takes the newest picture each time it is
// free, so a slow encoder thins the stream, not the recording. start() and stop(wait:) are
// called from the owner's queues; stop(wait: true) may block its caller for
// its bounded time-outs, so the server calls it on its capture lifecycle
// queue.
//
// Lifetime: owned by a std::shared_ptr. A stream that would not stop keeps
// the object alive until the system finally ends it.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "HostApp/Protocol/DisplayControlPayloads.h"
#include "HostApp/Capture/VideoStreamConfigPayload.h"
#include "HostApp/Capture/VideoStreamProfile.h"
#include "Platform/Runtime/AtomicInt.h"
#include "Platform/SimulatedMac/CoreGraphicsDisplays.h"
#include "Platform/Runtime/Dispatch.h"
#include "Platform/Media/PixelBuffer.h"
#include "Platform/SimulatedMac/ScreenCaptureKit.h"
#include "Platform/Media/VideoEncoder.h"

// Whether a capture's encoder has produced its first stream configuration.
struct SleepPreflightReadiness {
    enum class Kind : uint8_t { pending, ready, failed };
    Kind kind = Kind::pending;
    std::optional<VideoStreamConfigPayload> config;  // set when ready

    static SleepPreflightReadiness pending() { return {}; }
    static SleepPreflightReadiness ready(VideoStreamConfigPayload c) { return {Kind::ready, std::move(c)}; }
    static SleepPreflightReadiness failed() { return {Kind::failed, std::nullopt}; }
    bool isPending() const { return kind == Kind::pending; }
    bool operator==(const SleepPreflightReadiness&) const = default;
};

// The condition guarding a capture's readiness: the capture changes the value
// under its lock and signals; a waiter (the server's sleep preflight) waits
// while it is pending. Waits pass time through the platform semaphore, so
// they advance virtual time in tests.
class SleepPreflightReadinessCondition {
public:
    SleepPreflightReadiness value() const;
    // Changes the value under the lock and wakes a waiter.
    void set(SleepPreflightReadiness readiness);
    // Waits while the value is pending, at most `timeoutSeconds`; returns the
    // value at the end.
    SleepPreflightReadiness waitWhilePending(double timeoutSeconds);

private:
    mutable std::mutex lock_;
    SleepPreflightReadiness value_;
    platform::DispatchSemaphore changed_{0};
};

// The pixel size of the shared capture's latest frame. The recording tap
// writes it on the capture's thread while the server queue reads it, so the
// two sides always see a whole value. Never cleared: a recording started
// after the capture stopped still finds the last size.
class HostRecordingSourceSize {
public:
    void set(int width, int height);
    platform::CGSize value() const;

private:
    mutable std::mutex lock_;
    platform::CGSize size_;
};

class HostVideoCapture : public std::enable_shared_from_this<HostVideoCapture> {
public:
    // The capture's three serial queues.
    struct Queues {
        platform::DispatchQueue capture;    // frames, encoder, frame callbacks
        platform::DispatchQueue lifecycle;  // start sequence, steering
        platform::DispatchQueue pacer;      // paced delivery of encoded frames
        // Fresh queues with the capture's labels.
        static Queues make();
    };

    // How long stop(wait: true) waits for the stream, then for the frame path
    // to let go of the encoder.
    static constexpr double streamStopTimeoutSeconds = 2.0;
    static constexpr double encoderStopTimeoutSeconds = 1.0;
    // With an exact display, the start looks for it this many more times,
    // this far apart, before it gives up.
    static constexpr int displayLookupRetries = 12;
    static constexpr double displayLookupRetryDelaySeconds = 0.25;
    // A pixel rectangle inside a frame.
    struct PixelRect {
        int x = 0, y = 0, width = 0, height = 0;
        bool operator==(const PixelRect&) const = default;
    };

    static std::shared_ptr<HostVideoCapture> create(uint32_t displayID, VideoStreamProfile requestedProfile,
                                                    VideoStreamProfile activeProfile, bool requireExactDisplay,
                                                    bool pacedDelivery, Queues queues = Queues::make());
    ~HostVideoCapture();
    HostVideoCapture(const HostVideoCapture&) = delete;
    HostVideoCapture& operator=(const HostVideoCapture&) = delete;

    // Closures, set by the owner before start(); see the file comment for
    // their threads.
    // True drops the frame before encoding (reported as onSample(false)).
    std::function<bool()> checkNetworkCongestion;
    std::function<void()> onStarted;
    // Whenever the encoder has (re)built its parameter sets.
    std::function<void(const VideoStreamConfigPayload&)> onConfig;
    // The frame's NAL units, each behind a 4-byte big-endian length. The
    // bytes are valid only during the call.
    std::function<void(std::span<const uint8_t> bytes, bool isKeyFrame, uint64_t timestampNs)> onFrame;
    std::function<void(const DisplayLayoutPayload&)> onDisplayLayout;
    std::function<void()> onCapturedFrame;
    std::function<void()> onCapturedIdleFrame;
    std::function<void(bool submitted)> onSample;
    // Failures and notices as text.
    std::function<void(const std::string&)> onError;
    // A stream that did not stop when asked, and the moment it finally did.
    std::function<void(const std::shared_ptr<HostVideoCapture>&)> onRetiredStreamRetained;
    std::function<void(const std::shared_ptr<HostVideoCapture>&)> onRetiredStreamRecovered;
    // Each complete captured buffer at full capture size, before any crop,
    // as it arrives, before the encoder sees it.
    std::function<void(const std::shared_ptr<platform::PixelBuffer>&, uint64_t timestampNs)> onRecordingFrame;

    // Starts the stream and, with its first frame, the encoder; returns at once.
    // One object serves one start.
    void start();
    // Stops the pacer, the stream and the encoder. With `wait` the caller is
    // blocked until the stream has stopped and the frame path has let go of
    // the encoder, each wait bounded by its time-out. A stream that does not
    // stop in time is reported through onRetiredStreamRetained, and through
    // onRetiredStreamRecovered when it ends after all. Never called on this
    // capture's own queues, whose work the waits are for.
    void stop(bool wait);

    // Hands a new frame rate and bit rate to the running encoder; applied on
    // the frame path before the next frame.
    void updateRateControl(int fps, int64_t bitrate);
    // Caps the encoder's burst ratio for a Wi-Fi route; asynchronous on the
    // lifecycle queue; calling it again changes nothing.
    void tightenBurstCeilingForWiFi();

    // The Viewer's viewport (normalised 0 to 1, origin at the bottom left);
    // none captures the whole frame.
    void setViewportROI(std::optional<platform::CGRect> roi);
    std::optional<platform::CGRect> viewportROINormalized() const;

    SleepPreflightReadiness sleepPreflightReadiness() const { return sleepPreflightReadinessCondition.value(); }

    // The display-selection rule shared by every screen-capture class: in
    // list order, the display `displayID`; else nothing when the display is
    // required exactly; else the main display; else the first one.
    static std::optional<platform::SCDisplay> selectTargetDisplay(const std::vector<platform::SCDisplay>& displays,
                                                                  uint32_t displayID, bool requireExactDisplay);
    // The displays' identifiers in list order, joined by "," (the
    // "available=" part of the display messages).
    static std::string displayList(const std::vector<platform::SCDisplay>& displays);
    // The frame rectangle a normalised viewport covers in a frame of the
    // given size: always inside the frame and at least 2 x 2 (or the whole
    // frame when it is smaller).
    static PixelRect cropRectangle(const platform::CGRect& roi, int frameWidth, int frameHeight);

    // Builds the encoder in place of VideoEncoder::create, for tests that
    // make builds fail. Set before start().
    std::function<platform::Result<std::unique_ptr<platform::VideoEncoder>>(const platform::VideoEncoderSettings&)>
        encoderFactoryForTesting;
    // When the encoder holds frames, the last picture is fed again this many
    // frame intervals after it arrived unless a newer one came: a quarter
    // interval of slack keeps a capture a little late from causing repeats.
    static constexpr double heldFrameRepeatDelayFrames = 1.25;
    // Frames between build attempts once builds keep failing.
    static constexpr int maxBuildRetryGapFrames = 64;

    // Runs one captured frame through the frame path on the calling thread,
    // reports and encoder alike; for tests and benchmarks only.
    void processFrameForTesting(const platform::SCCapturedFrame& frame) {
        noteCapturedFrame(frame);
        handleFrame(frame);
    }
    // Hands a frame over as the stream does, on the calling thread: the
    // encoder gets it on the capture queue.
    void deliverFrameForTesting(const platform::SCCapturedFrame& frame) { takeFrame(frame); }
    std::shared_ptr<platform::SCStream> streamForTesting() const;

    // The display the capture was asked for.
    const uint32_t displayID;
    // The profile the capture was started with (readers look at its mode),
    // and the one its encoder follows.
    const VideoStreamProfile requestedProfile;
    const VideoStreamProfile activeProfile;
    const bool requireExactDisplay;
    const bool pacedDelivery;
    const Queues queues;

    // Writing 1 asks for a key frame; the frame path reads and clears it.
    AtomicInt forceKeyFrameRequested;
    SleepPreflightReadinessCondition sleepPreflightReadinessCondition;
    // Guards the viewport rectangle, which the server's queue sets while the
    // frame path reads it.
    mutable std::mutex viewportROILock;

private:
    HostVideoCapture(uint32_t displayID, VideoStreamProfile requestedProfile, VideoStreamProfile activeProfile,
                     bool requireExactDisplay, bool pacedDelivery, Queues queues);

    // Start sequence, on the lifecycle queue.
    void startStep(int retriesLeft);
    void beginStream(const platform::SCDisplay& display);
    void reportStartFailure(const std::string& message);

    // Frames queue: reports, the recording tap, and the hand-over of the
    // newest frame to the encoder.
    void takeFrame(const platform::SCCapturedFrame& frame);
    void noteCapturedFrame(const platform::SCCapturedFrame& frame);
    // Frame path, on the capture queue.
    void encodeWaitingFrame();
    void handleFrame(const platform::SCCapturedFrame& frame);
    bool matchEncoderToFrame(int width, int height);
    bool buildEncoder(int canvasWidth, int canvasHeight);
    bool retryEncoderBuild();
    // Drops the encoder, reports the error once per kind and plans the next
    // attempt; always false.
    bool encoderBuildFailed(const std::string& error);
    void applyPendingRateControl();
    // Whether a frame may be encoded now: rate changes applied, an encoder
    // in place and the network not congested; reports the sample taken.
    bool readyToEncode();
    // Encodes a new picture and sees that its frame does not stay inside the
    // encoder: a key frame is pushed out at once, any other frame by
    // repeats of the picture if no new one comes within a frame interval.
    void encodeAndDeliver(const platform::PixelBuffer& buffer, uint64_t timestampNs, bool forceKeyFrame);
    // Plans the repeats for picture `serial`, due a little more than a frame
    // interval after `fromNs`.
    void armHeldFrameRepeat(uint64_t serial, int held, uint64_t fromNs);
    // Feeds the picture again, once for each of the `held` frames.
    void pushOutHeldFrames(const platform::PixelBuffer& buffer, int held);
    // `repeat`: the picture encoded last, fed again.
    void encodePicture(const platform::PixelBuffer& buffer, uint64_t timestampNs, bool forceKeyFrame,
                       bool repeat = false);
    void deliverPaced(std::span<const uint8_t> bytes, bool isKeyFrame, uint64_t timestampNs);
    // False (and no configuration) when the parameter sets cannot be announced.
    bool announceConfig();
    void notice(const std::string& text);

    platform::VideoEncoderSettings encoderSettings(int canvasWidth, int canvasHeight) const;

    // Guards the fields shared between the owner's, lifecycle and capture
    // threads.
    mutable std::mutex lock_;
    std::shared_ptr<platform::SCStream> stream_;  // set once the stream exists
    bool started_ = false;                        // start() was called
    // Steering handed from other threads to the frame path.
    std::optional<std::pair<int, int64_t>> pendingRateControl_;
    bool wifiBurstCeiling_ = false;
    int fps_;
    int64_t bitrate_;
    // Set by stop(): the start sequence, frame path and pacer stand down.
    std::atomic<bool> stopped_{false};
    std::optional<platform::CGRect> viewportROI_;  // guarded by viewportROILock

    uint32_t capturedDisplayID_ = 0;  // the display the stream reads; under lock_

    // The stream's frames arrive here (see the file comment).
    platform::DispatchQueue framesQueue_{"v230.host.video.frames"};
    // The newest frame the encoder has not taken yet, and whether its turn
    // on the capture queue is planned; under waitingLock_.
    std::mutex waitingLock_;
    std::optional<platform::SCCapturedFrame> waitingFrame_;
    bool waitingFrameScheduled_ = false;

    // Capture-queue state.
    std::unique_ptr<platform::VideoEncoder> encoder_;
    int frameWidth_ = 0, frameHeight_ = 0;  // geometry the encoder was matched to
    int canvasWidth_ = 0, canvasHeight_ = 0;
    // The canvas the last build was for, kept to retry a failed one.
    int wantedCanvasWidth_ = 0, wantedCanvasHeight_ = 0;
    // 0 while builds succeed; else frames to wait before the next attempt.
    int buildRetryGapFrames_ = 0;
    int framesSinceBuildFailure_ = 0;
    // Build errors already reported since the last successful build.
    std::set<std::string> reportedBuildErrors_;
    uint64_t announcedBuild_ = 0;
    // The last complete buffer, re-encoded when a key frame is asked for
    // while the picture stands still (the stream then sends idle frames only).
    std::shared_ptr<platform::PixelBuffer> lastBuffer_;
    // Counts the pictures encoded, so a planned repeat knows whether a newer
    // picture came first.
    uint64_t pictureSerial_ = 0;
    // The hardware encoder's failure has been told (once per capture).
    bool hardwareFailureReported_ = false;

    // The time slot of the last paced delivery (planned on the capture queue).
    uint64_t lastPacedDeliveryNs_ = 0;
};
