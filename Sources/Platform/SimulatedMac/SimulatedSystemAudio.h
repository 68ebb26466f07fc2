#pragma once
// The simulated Mac's system audio: a generator that feeds every running
// capture stream with audio switched on. By default it plays 48 kHz float32
// stereo, one buffer per channel, in 1,024-frame blocks: a 440 Hz sine on
// the left and a 660 Hz sine on the right, both at amplitude 0.25.
//
// Samples are numbered on the uptime clock (sample n plays at n / rate
// seconds of uptime), so a block's presentation time is sample-exact and the
// signal at any time is known in advance: tests compare what the Host sends
// with sampleValue(). Blocks are paced by that clock: a stream delivers every
// block whose last sample has played, however late its timer fires.
//
// Tests set the tones, the sample format and layout, reshape or spoil the
// delivered buffers, stop every audio stream with an error, and count the
// running audio streams. Reached through
// SimulatedMachine::current().component<SimulatedSystemAudio>().

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Platform/Media/CoreMedia.h"

namespace platform {

class SCStream;

class SimulatedSystemAudio {
public:
    struct Tone {
        double frequency = 440;
        double amplitude = 0.25;
    };
    // The format the generator delivers. The sample kind and layout follow
    // the flags and widths of a stream basic description, so a test can ask
    // for any format, accepted by the Host or not.
    struct Format {
        double sampleRate = 48000;
        uint32_t channels = 2;
        uint32_t bitsPerChannel = 32;
        uint32_t formatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked | kAudioFormatFlagIsNonInterleaved;
        // One buffer per channel (true) or one interleaved buffer.
        bool bufferPerChannel = true;
        uint32_t framesPerBlock = 1024;
    };

    // Channel c plays tones[c % tones.size()]; an empty list is silence.
    void setTones(std::vector<Tone> tones);
    std::vector<Tone> tones() const;
    // Read when a stream starts (rate, block size) and for every block.
    void setFormat(Format format);
    Format format() const;
    // Applied to every delivered buffer just before it is handed over
    // (a spoiled time, a missing format, an odd buffer); empty: none.
    void setBufferTransform(std::function<void(CMSampleBuffer&)> transform);

    // The generator's value of channel `channel` at sample `sampleIndex`.
    double sampleValue(uint32_t channel, int64_t sampleIndex) const;
    // The block of `frames` samples starting at sampleIndex, in the current
    // format, with its presentation time.
    CMSampleBuffer makeBlock(int64_t sampleIndex, uint32_t frames) const;

    // Stops every running audio stream as the system would, with the error
    // as its reason.
    void stopStreamsWithError(const std::string& error);
    size_t runningAudioStreams() const;

    // Used by SCStream.
    void noteStreamStarted(const std::shared_ptr<SCStream>& stream);

private:
    mutable std::mutex lock_;
    std::vector<Tone> tones_{{440, 0.25}, {660, 0.25}};
    Format format_;
    std::function<void(CMSampleBuffer&)> transform_;
    std::vector<std::weak_ptr<SCStream>> streams_;
    // Each tone's values over its cycle, made once for the current rate.
    struct ToneTables;
    mutable std::shared_ptr<const ToneTables> toneTables_;
    std::shared_ptr<const ToneTables> toneTablesLocked() const;
};

}  // namespace platform
