#include "Platform/SimulatedMac/SimulatedSystemAudio.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include "Platform/Runtime/Log.h"
#include "Platform/SimulatedMac/ScreenCaptureKit.h"

namespace platform {

namespace {

// Stores one sample in the format's kind; formats the Host does not accept
// still get bytes of the right width.
void writeSample(uint8_t* out, double v, const SimulatedSystemAudio::Format& f) {
    const uint32_t bytes = std::max<uint32_t>(1, f.bitsPerChannel / 8);
    if ((f.formatFlags & kAudioFormatFlagIsFloat) && f.bitsPerChannel == 32) {
        const float s = static_cast<float>(v);
        std::memcpy(out, &s, 4);
    } else if ((f.formatFlags & kAudioFormatFlagIsFloat) && f.bitsPerChannel == 64) {
        std::memcpy(out, &v, 8);
    } else if ((f.formatFlags & kAudioFormatFlagIsSignedInteger) && f.bitsPerChannel == 16) {
        const auto s = static_cast<int16_t>(std::lround(std::clamp(v, -1.0, 1.0) * 32767.0));
        std::memcpy(out, &s, 2);
    } else if ((f.formatFlags & kAudioFormatFlagIsSignedInteger) && f.bitsPerChannel == 32) {
        const auto s = static_cast<int32_t>(std::llround(std::clamp(v, -1.0, 1.0) * 2147483647.0));
        std::memcpy(out, &s, 4);
    } else {
        std::memset(out, 0, bytes);
    }
}

double toneValue(const std::vector<SimulatedSystemAudio::Tone>& tones, double rate, uint32_t channel,
                 int64_t sampleIndex) {
    if (tones.empty()) return 0;
    const auto& tone = tones[channel % tones.size()];
    // The phase in cycles, reduced before the sine so that large sample
    // numbers keep their precision.
    const double cycles = std::fmod(tone.frequency * static_cast<double>(sampleIndex), rate);
    return tone.amplitude * std::sin(2 * std::numbers::pi * cycles / rate);
}

// A tone's values over one of its cycles of whole samples, for the usual
// case of a whole frequency at a whole rate: there the phase of sample n is
// the whole number (frequency * n) mod rate, so the table holds exactly the
// values toneValue computes, and a block costs a lookup a sample instead of
// a sine, which long simulated runs otherwise spend most of their time on.
struct ToneTable {
    double frequency = 0, amplitude = 0, rate = 0;
    std::vector<double> values;  // indexed by the phase in samples' cycles

    static bool fits(const SimulatedSystemAudio::Tone& tone, double rate) {
        return rate >= 1 && rate <= 1 << 20 && rate == std::floor(rate) && tone.frequency >= 0 &&
               tone.frequency < rate && tone.frequency == std::floor(tone.frequency);
    }
    ToneTable(const SimulatedSystemAudio::Tone& tone, double sampleRate)
        : frequency(tone.frequency), amplitude(tone.amplitude), rate(sampleRate), values(size_t(sampleRate)) {
        for (size_t c = 0; c < values.size(); ++c)
            values[c] = tone.amplitude * std::sin(2 * std::numbers::pi * static_cast<double>(c) / rate);
    }
};

}  // namespace

struct SimulatedSystemAudio::ToneTables {
    std::vector<std::shared_ptr<const ToneTable>> tables;
};

std::shared_ptr<const SimulatedSystemAudio::ToneTables> SimulatedSystemAudio::toneTablesLocked() const {
    const double rate = format_.sampleRate;
    const bool current = toneTables_ && toneTables_->tables.size() == tones_.size() &&
                         std::equal(tones_.begin(), tones_.end(), toneTables_->tables.begin(),
                                    [&](const Tone& tone, const std::shared_ptr<const ToneTable>& table) {
                                        return table ? table->frequency == tone.frequency &&
                                                           table->amplitude == tone.amplitude && table->rate == rate
                                                     : !ToneTable::fits(tone, rate);
                                    });
    if (current) return toneTables_;
    auto tables = std::make_shared<ToneTables>();
    for (const Tone& tone : tones_)
        tables->tables.push_back(ToneTable::fits(tone, rate) ? std::make_shared<const ToneTable>(tone, rate) : nullptr);
    toneTables_ = tables;
    return tables;
}

void SimulatedSystemAudio::setTones(std::vector<Tone> tones) {
    std::lock_guard<std::mutex> g(lock_);
    tones_ = std::move(tones);
}

std::vector<SimulatedSystemAudio::Tone> SimulatedSystemAudio::tones() const {
    std::lock_guard<std::mutex> g(lock_);
    return tones_;
}

void SimulatedSystemAudio::setFormat(Format format) {
    std::lock_guard<std::mutex> g(lock_);
    format_ = format;
}

SimulatedSystemAudio::Format SimulatedSystemAudio::format() const {
    std::lock_guard<std::mutex> g(lock_);
    return format_;
}

void SimulatedSystemAudio::setBufferTransform(std::function<void(CMSampleBuffer&)> transform) {
    std::lock_guard<std::mutex> g(lock_);
    transform_ = std::move(transform);
}

double SimulatedSystemAudio::sampleValue(uint32_t channel, int64_t sampleIndex) const {
    std::lock_guard<std::mutex> g(lock_);
    return toneValue(tones_, format_.sampleRate, channel, sampleIndex);
}

CMSampleBuffer SimulatedSystemAudio::makeBlock(int64_t sampleIndex, uint32_t frames) const {
    Format f;
    std::vector<Tone> tones;
    std::function<void(CMSampleBuffer&)> transform;
    std::shared_ptr<const ToneTables> tables;
    {
        std::lock_guard<std::mutex> g(lock_);
        f = format_;
        tones = tones_;
        transform = transform_;
        tables = toneTablesLocked();
    }
    const uint32_t bytesPerSample = std::max<uint32_t>(1, f.bitsPerChannel / 8);
    auto description = std::make_shared<CMAudioFormatDescription>();
    AudioStreamBasicDescription asbd;
    asbd.mSampleRate = f.sampleRate;
    asbd.mFormatFlags = f.formatFlags;
    asbd.mChannelsPerFrame = f.channels;
    asbd.mBitsPerChannel = f.bitsPerChannel;
    asbd.mBytesPerFrame = f.bufferPerChannel ? bytesPerSample : bytesPerSample * f.channels;
    asbd.mBytesPerPacket = asbd.mBytesPerFrame;
    description->streamBasicDescription = asbd;

    auto data = std::make_shared<CMBlockBuffer>();
    const uint32_t buffers = f.bufferPerChannel ? f.channels : 1;
    const uint32_t channelsPerBuffer = f.bufferPerChannel ? 1 : f.channels;
    data->blocks.resize(buffers);
    for (uint32_t b = 0; b < buffers; ++b) {
        auto& block = data->blocks[b];
        block.channels = channelsPerBuffer;
        block.bytes.resize(static_cast<size_t>(frames) * channelsPerBuffer * bytesPerSample);
        for (uint32_t c = 0; c < channelsPerBuffer; ++c) {
            const ToneTable* table = tones.empty() ? nullptr : tables->tables[(b + c) % tones.size()].get();
            // The phase steps by the frequency each sample; the products
            // stay exact far past any simulated run's length.
            const auto step = table ? static_cast<uint64_t>(table->frequency) : 0;
            const auto rate = table ? static_cast<uint64_t>(table->rate) : 0;
            const bool stepped = table && sampleIndex >= 0 && step * (uint64_t(sampleIndex) + frames) < (uint64_t{1} << 53);
            uint64_t phase = stepped ? step * uint64_t(sampleIndex) % rate : 0;
            for (uint32_t i = 0; i < frames; ++i) {
                double v;
                if (stepped) {
                    v = table->values[phase];
                    phase += step;
                    if (phase >= rate) phase -= rate;
                } else {
                    v = toneValue(tones, f.sampleRate, b + c, sampleIndex + i);
                }
                writeSample(block.bytes.data() + (static_cast<size_t>(i) * channelsPerBuffer + c) * bytesPerSample, v,
                            f);
            }
        }
    }

    CMSampleBuffer sample;
    sample.presentationTimeStamp = CMTime::make(sampleIndex, static_cast<int32_t>(f.sampleRate));
    sample.formatDescription = std::move(description);
    sample.dataBuffer = std::move(data);
    if (transform) transform(sample);
    return sample;
}

void SimulatedSystemAudio::noteStreamStarted(const std::shared_ptr<SCStream>& stream) {
    std::lock_guard<std::mutex> g(lock_);
    std::erase_if(streams_, [](const std::weak_ptr<SCStream>& s) { return s.expired(); });
    streams_.push_back(stream);
}

void SimulatedSystemAudio::stopStreamsWithError(const std::string& error) {
    std::vector<std::weak_ptr<SCStream>> streams;
    {
        std::lock_guard<std::mutex> g(lock_);
        streams = streams_;
    }
    Log::raw("[SimulatedMachine] system audio streams stopped: " + error);
    for (auto& weak : streams)
        if (auto stream = weak.lock(); stream && stream->isRunning()) stream->stopBySystem(error);
}

size_t SimulatedSystemAudio::runningAudioStreams() const {
    std::vector<std::weak_ptr<SCStream>> streams;
    {
        std::lock_guard<std::mutex> g(lock_);
        streams = streams_;
    }
    return static_cast<size_t>(std::count_if(streams.begin(), streams.end(), [](const std::weak_ptr<SCStream>& w) {
        auto s = w.lock();
        return s && s->isRunning();
    }));
}

}  // namespace platform
