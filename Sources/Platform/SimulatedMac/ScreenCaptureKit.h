#pragma once
// Screen capture of the simulated machine: the shareable content (its active
// displays) and capture streams that deliver BGRA frames of a display at the
// configured rate, and, with audio switched on, the machine's system audio
// (SimulatedSystemAudio) in sample buffers. Each display shows a test picture: a fixed background with
// one small moving square, drawn into pooled buffers so that only the square's
// old and new places are touched per frame. When the picture does not change
// the stream reports idle frames without a buffer, as the real one does.
//
// Tests steer streams through SimulatedScreenCapture: hold the picture still,
// stop delivering frames, make a stream ignore a stop (and let it stop later),
// fail or delay a start, fail adding an output; they count content fetches
// and permission requests.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Platform/SimulatedMac/CoreGraphicsDisplays.h"
#include "Platform/Media/CoreMedia.h"
#include "Platform/Runtime/Dispatch.h"
#include "Platform/Media/PixelBuffer.h"
#include "Platform/Foundation/Result.h"

namespace platform {

struct SCDisplay {
    CGDirectDisplayID displayID = 0;
    int width = 0;   // points
    int height = 0;  // points
    CGRect frame;
    int pixelWidth = 0;  // backing pixels of the current mode
    int pixelHeight = 0;
};

struct SCShareableContent {
    std::vector<SCDisplay> displays;
    // Fails without the Screen Recording permission.
    static Result<SCShareableContent> current();
};

// Whether the Host may capture the screen and system audio (the Screen
// Recording permission), and the request that shows the system's prompt;
// the request answers as the simulated user does (PermissionPrompts.h).
bool CGPreflightScreenCaptureAccess();
bool CGRequestScreenCaptureAccess();

struct SCStreamConfiguration {
    int width = 0;  // output pixels; 0 = the display's backing size
    int height = 0;
    double minimumFrameInterval = 1.0 / 60.0;  // seconds
    bool showsCursor = true;
    int queueDepth = 3;
    // Source rectangle in display points; empty = the whole display.
    CGRect sourceRect;
    // System audio, delivered to the audio output.
    bool capturesAudio = false;
    bool excludesCurrentProcessAudio = false;
    int sampleRate = 48000;
    int channelCount = 2;
};

enum class SCStreamOutputType : int { screen = 0, audio = 1 };

enum class SCFrameStatus { complete, idle, blank, suspended, started, stopped };

struct SCCapturedFrame {
    SCFrameStatus status = SCFrameStatus::complete;
    std::shared_ptr<PixelBuffer> buffer;  // null for idle frames
    uint64_t timestampNs = 0;             // uptime
    CGRect contentRect;                   // in output pixels
    double scaleFactor = 1.0;
};

class SCStream : public std::enable_shared_from_this<SCStream> {
public:
    static std::shared_ptr<SCStream> create(SCDisplay display, SCStreamConfiguration configuration);
    ~SCStream();

    // Frames arrive on `queue`.
    void setFrameHandler(DispatchQueue queue, std::function<void(const SCCapturedFrame&)> handler);
    // Called on the frame queue when the system stops the stream by itself.
    std::function<void(const std::string& error)> onStoppedWithError;

    // Sample outputs, one per type, each delivering on its queue: screen
    // frames as sample buffers with a picture, system audio blocks (when the
    // configuration captures audio). Adding replaces setFrameHandler's
    // handler; adding a type twice or removing an absent one fails.
    using SampleHandler = std::function<void(const CMSampleBuffer&, SCStreamOutputType)>;
    Status addStreamOutput(SCStreamOutputType type, DispatchQueue queue, SampleHandler handler);
    Status removeStreamOutput(SCStreamOutputType type);

    // Completions run on the frame queue; an empty error means success.
    void startCapture(std::function<void(const std::string& error)> completion);
    void stopCapture(std::function<void(const std::string& error)> completion);
    void updateConfiguration(SCStreamConfiguration configuration,
                             std::function<void(const std::string& error)> completion);

    CGDirectDisplayID displayID() const { return display_.displayID; }
    bool isRunning() const;
    uint64_t framesDelivered() const;

    // Used by SimulatedScreenCapture and SimulatedSystemAudio.
    void finishIgnoredStop();
    void stopBySystem(const std::string& error);

    // The time a frame captured at nowNs is stamped with: when the frame
    // timer's firing was due (dueNs, 0 when unknown), never later than nowNs
    // and always later than the stamp before.
    static uint64_t refreshInstant(uint64_t dueNs, uint64_t nowNs, uint64_t lastStampNs);

private:
    SCStream(SCDisplay display, SCStreamConfiguration configuration);
    void startNow(DispatchQueue queue, std::function<void(const std::string& error)> completion);
    void tick();
    void startFrameTimerLocked(const DispatchQueue& queue);
    // Delivers every audio block whose last sample has played by now.
    void pumpAudio();
    void renderInto(PixelBuffer& buffer, int64_t position);

    SCDisplay display_;
    mutable std::mutex lock_;
    SCStreamConfiguration configuration_;
    std::optional<DispatchQueue> queue_;
    std::function<void(const SCCapturedFrame&)> handler_;
    std::unique_ptr<DispatchTimer> timer_;
    std::shared_ptr<PixelBufferPool> pool_ = PixelBufferPool::create(4);
    bool running_ = false;
    int64_t position_ = 0;  // where the moving square is, in steps
    uint64_t delivered_ = 0;
    // The last stamp given.
    uint64_t lastFrameStampNs_ = 0;
    std::function<void(const std::string&)> pendingStop_;
    bool hasScreenOutput_ = false;
    // The audio output and where the next block starts on the sample clock.
    std::optional<DispatchQueue> audioQueue_;
    SampleHandler audioHandler_;
    std::unique_ptr<DispatchTimer> audioTimer_;
    int64_t nextAudioSample_ = 0;
    int64_t audioRate_ = 48000;
    uint32_t audioBlockFrames_ = 1024;
};

// Test controls of the simulated screen capture, kept on the machine.
class SimulatedScreenCapture {
public:
    void setPictureHeldStill(bool still);
    bool pictureHeldStill() const;
    // No frames at all (neither complete nor idle) while set.
    void setFramesStopped(bool stopped);
    bool framesStopped() const;
    // Streams of this display ignore stop requests until releaseIgnoredStops().
    void setIgnoresStop(CGDirectDisplayID display, bool ignores);
    bool ignoresStop(CGDirectDisplayID display) const;
    void releaseIgnoredStops();
    // The next starts of streams of this display fail with the text.
    void setStartError(CGDirectDisplayID display, std::optional<std::string> error);
    std::optional<std::string> startError(CGDirectDisplayID display) const;

    // Starts complete this long after they were asked for (0: at once).
    void setStartDelay(double seconds);
    double startDelay() const;
    // Adding an output of this type fails with the text.
    void setAddStreamOutputError(SCStreamOutputType type, std::optional<std::string> error);
    std::optional<std::string> addStreamOutputError(SCStreamOutputType type) const;

    void noteIgnoredStop(const std::shared_ptr<SCStream>& stream);
    size_t streamsStarted() const;
    void noteStarted();
    size_t shareableContentFetches() const;
    void noteShareableContentFetch();
    size_t screenCaptureAccessRequests() const;
    void noteScreenCaptureAccessRequest();

private:
    mutable std::mutex lock_;
    bool still_ = false;
    bool stopped_ = false;
    std::map<CGDirectDisplayID, bool> ignoresStop_;
    std::map<CGDirectDisplayID, std::string> startErrors_;
    std::vector<std::weak_ptr<SCStream>> ignoredStops_;
    size_t started_ = 0;
    double startDelay_ = 0;
    std::map<SCStreamOutputType, std::string> addOutputErrors_;
    size_t fetches_ = 0;
    size_t accessRequests_ = 0;
};

}  // namespace platform
