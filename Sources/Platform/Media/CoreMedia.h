#pragma once
// Media sample buffers as the capture streams hand them over: a presentation
// time, an optional audio format (its stream basic description) and the
// audio data as a list of buffers, or a picture for screen output.
//
// The buffer list is fetched the way the Mac's API hands it out: the caller
// brings a list with room for a number of buffers, and the data stays valid
// while the retained block is held. Tests build odd buffers directly (a
// missing format, a missing data pointer, a failing fetch).

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "Platform/Media/PixelBuffer.h"

namespace platform {

using OSStatus = int32_t;
inline constexpr OSStatus noErr = 0;
// The caller's buffer list has room for fewer buffers than the sample holds.
inline constexpr OSStatus kCMSampleBufferError_ArrayTooSmall = -12737;
inline constexpr OSStatus kCMSampleBufferError_BufferHasNoSampleSizes = -12735;

// A rational time: value / timescale seconds, with flags for the special
// values.
struct CMTime {
    static constexpr uint32_t kValid = 1;
    static constexpr uint32_t kPositiveInfinity = 4;
    static constexpr uint32_t kNegativeInfinity = 8;
    static constexpr uint32_t kIndefinite = 16;

    int64_t value = 0;
    int32_t timescale = 0;
    uint32_t flags = 0;

    static CMTime make(int64_t value, int32_t timescale) { return {value, timescale, kValid}; }
    static CMTime invalid() { return {}; }
    static CMTime positiveInfinity() { return {0, 0, kValid | kPositiveInfinity}; }
    static CMTime indefinite() { return {0, 0, kValid | kIndefinite}; }
};
// NaN for an invalid or indefinite time, +-infinity for the infinities.
double CMTimeGetSeconds(const CMTime& time);

inline constexpr uint32_t kAudioFormatLinearPCM = 0x6C70636D;  // 'lpcm'
inline constexpr uint32_t kAudioFormatFlagIsFloat = 0x1;
inline constexpr uint32_t kAudioFormatFlagIsSignedInteger = 0x4;
inline constexpr uint32_t kAudioFormatFlagIsPacked = 0x8;
inline constexpr uint32_t kAudioFormatFlagIsNonInterleaved = 0x20;

struct AudioStreamBasicDescription {
    double mSampleRate = 0;
    uint32_t mFormatID = kAudioFormatLinearPCM;
    uint32_t mFormatFlags = 0;
    uint32_t mBytesPerPacket = 0;
    uint32_t mFramesPerPacket = 1;
    uint32_t mBytesPerFrame = 0;
    uint32_t mChannelsPerFrame = 0;
    uint32_t mBitsPerChannel = 0;
};

struct CMAudioFormatDescription {
    std::optional<AudioStreamBasicDescription> streamBasicDescription;
};

struct AudioBuffer {
    uint32_t mNumberChannels = 0;
    uint32_t mDataByteSize = 0;
    const void* mData = nullptr;
};

// A buffer list with room for `capacity` buffers, of which the fetch fills
// mNumberBuffers.
struct AudioBufferList {
    explicit AudioBufferList(uint32_t capacity) : mBuffers(capacity) {}
    uint32_t mNumberBuffers = 0;
    std::vector<AudioBuffer> mBuffers;
};

// The storage behind a sample buffer's audio: one byte block per buffer.
struct CMBlockBuffer {
    struct Block {
        uint32_t channels = 1;
        std::vector<uint8_t> bytes;
        bool dataPointerMissing = false;  // the buffer lists its size but no data
    };
    std::vector<Block> blocks;
    // What fetching the buffer list reports; noErr fills the list.
    OSStatus fetchStatus = noErr;
};

struct CMSampleBuffer {
    bool isValid = true;
    bool dataIsReady = true;
    CMTime presentationTimeStamp;
    std::shared_ptr<const CMAudioFormatDescription> formatDescription;  // audio only
    std::shared_ptr<const CMBlockBuffer> dataBuffer;                    // audio only
    std::shared_ptr<PixelBuffer> imageBuffer;                           // screen only
};

bool CMSampleBufferIsValid(const CMSampleBuffer& buffer);
bool CMSampleBufferDataIsReady(const CMSampleBuffer& buffer);
CMTime CMSampleBufferGetPresentationTimeStamp(const CMSampleBuffer& buffer);
const CMAudioFormatDescription* CMSampleBufferGetFormatDescription(const CMSampleBuffer& buffer);
const AudioStreamBasicDescription* CMAudioFormatDescriptionGetStreamBasicDescription(
    const CMAudioFormatDescription* description);
// Fills `list` with the sample's buffers; `retainedBlock` keeps their data
// alive. Fails when the list has room for fewer buffers than the sample
// holds, or with the sample's own fetch status.
OSStatus CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer(const CMSampleBuffer& buffer,
                                                                  AudioBufferList& list,
                                                                  std::shared_ptr<const CMBlockBuffer>& retainedBlock);

}  // namespace platform
