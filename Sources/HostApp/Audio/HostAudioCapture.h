#pragma once
// HostAudioCapture is responsible for one system-audio capture: it runs one
// capture stream of one display with audio switched on (its picture held to
// 16 x 16 at most once a second and thrown away), converts every audio
// buffer to interleaved float32 stereo and hands it, with its presentation
// time in nanoseconds, to its owner. It never retries and decides no
// policy: what happened is reported through the closures and the owner
// decides.
//
// Threads: start() and stop(wait:) are called from the owner's queues, never
// from `lifecycleQueue`, which guards the stream and the start sequence.
// The start sequence runs as a chain of steps on `sampleQueue`, which
// carries nothing else until the stream runs; samples, conversion and the
// frame callbacks run there too. onError may come from the start sequence
// or from the stream's stop notice; the owner moves every report to its own
// queue. No closure is called while a lifecycle-queue block is held.
//
// Lifetime: owned by a std::shared_ptr; one object serves one start. The
// owner calls stop(wait:) before dropping it; destruction does no work.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Platform/Media/CoreMedia.h"
#include "Platform/Runtime/Dispatch.h"
#include "Platform/SimulatedMac/ScreenCaptureKit.h"

class HostAudioCapture : public std::enable_shared_from_this<HostAudioCapture> {
public:
    // With an exact display the start looks for it this many more times,
    // this far apart, before it gives up.
    static constexpr int displayLookupRetries = 12;
    static constexpr double displayLookupRetryDelaySeconds = 0.25;
    // How long stop(wait: true) waits for the stream to end.
    static constexpr double stopTimeoutSeconds = 2.0;
    // More channels than this is not a format any device delivers; such a
    // buffer is refused before anything is sized by its channel count.
    static constexpr uint32_t maximumChannels = 64;

    struct Callbacks {
        std::function<void()> onStarted;       // once, when the stream runs
        std::function<void()> onSampleBuffer;  // every valid audio buffer, before conversion
        // Converted PCM (interleaved float32 stereo) and its time.
        std::function<void(std::span<const uint8_t> pcm, uint64_t timestampNs)> onFrame;
        std::function<void(const std::string&)> onError;  // failures and notices
    };

    static std::shared_ptr<HostAudioCapture> create(uint32_t displayID, bool requireExactDisplay,
                                                    platform::DispatchQueue sampleQueue,
                                                    platform::DispatchQueue lifecycleQueue, Callbacks callbacks);
    HostAudioCapture(const HostAudioCapture&) = delete;
    HostAudioCapture& operator=(const HostAudioCapture&) = delete;

    // Begins the start sequence and returns at once; results arrive through
    // onStarted and onError.
    void start();
    // Cancels a running start sequence and stops the stream; with `wait`,
    // blocks until the stream has stopped or stopTimeoutSeconds passed.
    void stop(bool wait);

    // The sample callback of the stream's outputs, on sampleQueue.
    void handleSampleBuffer(const platform::CMSampleBuffer& buffer, platform::SCStreamOutputType type);
    // The stream's stop notice.
    void handleStreamStopped(const std::string& error);

    // The buffer as interleaved float32 stereo (left, right; 8 bytes a
    // frame), or nothing when it cannot be converted. The first buffer whose
    // list could be fetched writes the format line, once per object.
    std::optional<std::vector<uint8_t>> interleavedFloat32Stereo(const platform::CMSampleBuffer& buffer);
    // A presentation time in nanoseconds: 0 for a time that is not a
    // number, negative, infinite or beyond 64 bits.
    static uint64_t timestampNs(const platform::CMTime& time);

    // Runs between the start sequence's cancellation check and the step that
    // stores the stream, where a stop can still slip in; tests only.
    std::function<void()> beforeStoringStreamForTesting;
    std::shared_ptr<platform::SCStream> streamForTesting() const;

    const uint32_t displayID;
    const bool requireExactDisplay;
    const platform::DispatchQueue sampleQueue;
    const platform::DispatchQueue lifecycleQueue;

private:
    // The start sequence as the stop cancels it: a flag its steps look at,
    // and the pending pause between display lookups.
    struct StartTask {
        std::atomic<bool> cancelled{false};
        platform::DispatchWorkItemRef pause;  // under lifecycleQueue
    };

    HostAudioCapture(uint32_t displayID, bool requireExactDisplay, platform::DispatchQueue sampleQueue,
                     platform::DispatchQueue lifecycleQueue, Callbacks callbacks);

    void lookUpDisplay(const std::shared_ptr<StartTask>& task, int retriesDone);
    void beginStream(const std::shared_ptr<StartTask>& task, const platform::SCDisplay& display);
    void finishStart(const std::shared_ptr<StartTask>& task, const std::shared_ptr<platform::SCStream>& stream);
    // The end of the start sequence: the task is forgotten.
    void endStart(const std::shared_ptr<StartTask>& task);
    static void stopAndDetach(const std::shared_ptr<platform::SCStream>& stream, std::function<void()> done);
    void reportError(const std::string& text) const;

    const Callbacks callbacks_;
    // Under lifecycleQueue: the running stream (set only after a complete
    // start), the start sequence while it runs, and whether stop() was
    // called, which a start finishing late must see.
    std::shared_ptr<platform::SCStream> stream_;
    std::shared_ptr<StartTask> startTask_;
    bool stopped_ = false;
    // On sampleQueue: the format line has been written.
    bool didLogFormat_ = false;
};
