#pragma once
// Helpers of the audio tests: sample buffers built by hand, the simulated
// machine's audio parts, and PCM read back as floats.

#include <cstring>
#include <initializer_list>
#include <memory>
#include <span>
#include <vector>

#include "Platform/SimulatedMac/CoreAudio.h"
#include "Platform/Media/CoreMedia.h"
#include "Platform/SimulatedMac/ScreenCaptureKit.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"
#include "Platform/SimulatedMac/SimulatedSystemAudio.h"

namespace audiotest {

using Bytes = std::vector<uint8_t>;

inline platform::SimulatedSystemAudio& systemAudio() {
    return platform::SimulatedMachine::current().component<platform::SimulatedSystemAudio>();
}
inline platform::SimulatedScreenCapture& screenCapture() {
    return platform::SimulatedMachine::current().component<platform::SimulatedScreenCapture>();
}
inline platform::SimulatedAudioHardware& audioHardware() {
    return platform::SimulatedMachine::current().component<platform::SimulatedAudioHardware>();
}

template <class T>
Bytes bytesOf(std::initializer_list<T> values) {
    Bytes out(values.size() * sizeof(T));
    std::memcpy(out.data(), values.begin(), out.size());
    return out;
}

inline std::vector<float> floatsOf(std::span<const uint8_t> pcm) {
    std::vector<float> out(pcm.size() / 4);
    std::memcpy(out.data(), pcm.data(), out.size() * 4);
    return out;
}

// An audio sample buffer of the given format whose buffers hold `buffers`.
inline platform::CMSampleBuffer audioBuffer(uint32_t flags, uint32_t bits, uint32_t channels, std::vector<Bytes> buffers,
                                            double rate = 48000) {
    platform::AudioStreamBasicDescription asbd{rate, platform::kAudioFormatLinearPCM, flags, 0, 1, 0, channels, bits};
    auto data = std::make_shared<platform::CMBlockBuffer>();
    for (auto& b : buffers) data->blocks.push_back({buffers.size() == 1 ? channels : 1, std::move(b), false});
    return {true, true, platform::CMTime::make(48000, 48000),
            std::make_shared<platform::CMAudioFormatDescription>(platform::CMAudioFormatDescription{asbd}), data, nullptr};
}

}  // namespace audiotest
