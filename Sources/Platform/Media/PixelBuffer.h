#pragma once
// BGRA pixel buffers and a pool that hands the same buffers out again, so the
// frame path never allocates pixels per frame.

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace platform {

class PixelBuffer {
public:
    PixelBuffer(int width, int height);
    int width() const { return width_; }
    int height() const { return height_; }
    int bytesPerRow() const { return bytesPerRow_; }
    uint8_t* data() { return data_.data(); }
    const uint8_t* data() const { return data_.data(); }
    // Free for the producer's own bookkeeping (the screen simulation keeps
    // where it last drew into this buffer).
    int64_t producerTag = -1;

private:
    int width_, height_, bytesPerRow_;
    std::vector<uint8_t> data_;
};

// Buffers go back to the pool when the last user lets go of them. A pool of
// one size: asking for another size drops the idle buffers of the old one.
class PixelBufferPool : public std::enable_shared_from_this<PixelBufferPool> {
public:
    static std::shared_ptr<PixelBufferPool> create(size_t maxIdle = 4);
    std::shared_ptr<PixelBuffer> acquire(int width, int height);
    size_t buffersCreated() const;

private:
    explicit PixelBufferPool(size_t maxIdle) : maxIdle_(maxIdle) {}
    void giveBack(PixelBuffer* buffer);

    mutable std::mutex lock_;
    size_t maxIdle_;
    std::vector<std::unique_ptr<PixelBuffer>> idle_;
    size_t created_ = 0;
};

}  // namespace platform
