#include "Platform/Media/CoreMedia.h"

#include <cmath>
#include <limits>

namespace platform {

double CMTimeGetSeconds(const CMTime& time) {
    if (!(time.flags & CMTime::kValid) || (time.flags & CMTime::kIndefinite))
        return std::numeric_limits<double>::quiet_NaN();
    if (time.flags & CMTime::kPositiveInfinity) return std::numeric_limits<double>::infinity();
    if (time.flags & CMTime::kNegativeInfinity) return -std::numeric_limits<double>::infinity();
    if (time.timescale == 0) return std::numeric_limits<double>::quiet_NaN();
    return static_cast<double>(time.value) / time.timescale;
}

bool CMSampleBufferIsValid(const CMSampleBuffer& buffer) { return buffer.isValid; }
bool CMSampleBufferDataIsReady(const CMSampleBuffer& buffer) { return buffer.dataIsReady; }
CMTime CMSampleBufferGetPresentationTimeStamp(const CMSampleBuffer& buffer) { return buffer.presentationTimeStamp; }

const CMAudioFormatDescription* CMSampleBufferGetFormatDescription(const CMSampleBuffer& buffer) {
    return buffer.formatDescription.get();
}

const AudioStreamBasicDescription* CMAudioFormatDescriptionGetStreamBasicDescription(
    const CMAudioFormatDescription* description) {
    if (!description || !description->streamBasicDescription) return nullptr;
    return &*description->streamBasicDescription;
}

OSStatus CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer(const CMSampleBuffer& buffer,
                                                                  AudioBufferList& list,
                                                                  std::shared_ptr<const CMBlockBuffer>& retainedBlock) {
    retainedBlock.reset();
    list.mNumberBuffers = 0;
    if (!buffer.dataBuffer) return kCMSampleBufferError_BufferHasNoSampleSizes;
    const CMBlockBuffer& block = *buffer.dataBuffer;
    if (block.fetchStatus != noErr) return block.fetchStatus;
    if (block.blocks.size() > list.mBuffers.size()) return kCMSampleBufferError_ArrayTooSmall;
    for (size_t i = 0; i < block.blocks.size(); ++i) {
        const auto& b = block.blocks[i];
        list.mBuffers[i] = AudioBuffer{b.channels, static_cast<uint32_t>(b.bytes.size()),
                                       b.dataPointerMissing ? nullptr : b.bytes.data()};
    }
    list.mNumberBuffers = static_cast<uint32_t>(block.blocks.size());
    retainedBlock = buffer.dataBuffer;
    return noErr;
}

}  // namespace platform
